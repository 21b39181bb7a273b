// Declarations of the Mach interfaces the macOS sources use (see ../README.md).
#pragma once

#include <stdint.h>

typedef int kern_return_t;
typedef unsigned int natural_t;
typedef int integer_t;
typedef natural_t mach_port_t;
typedef mach_port_t task_t;
typedef mach_port_t task_port_t;
typedef mach_port_t host_t;
typedef natural_t mach_msg_type_number_t;
typedef integer_t host_flavor_t;
typedef integer_t* host_info64_t;
typedef int boolean_t;

#define KERN_SUCCESS 0
#define MACH_PORT_NULL 0
#define HOST_VM_INFO64 4

#ifdef __cplusplus
extern "C" {
#endif

extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

mach_port_t mach_host_self(void);
kern_return_t host_statistics64(host_t host_priv, host_flavor_t flavor,
                                host_info64_t host_info64_out,
                                mach_msg_type_number_t* host_info64_outCnt);

#ifdef __cplusplus
}
#endif
