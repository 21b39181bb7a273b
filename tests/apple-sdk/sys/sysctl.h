// Declarations of the sysctl interfaces the macOS sources use (see ../README.md).
#pragma once

#include <mach/mach.h>
#include <stddef.h>
#include <stdint.h>

#define CTL_VM 2
#define VM_SWAPUSAGE 5

typedef unsigned int u_int;

struct xsw_usage {
    uint64_t xsu_total;
    uint64_t xsu_avail;
    uint64_t xsu_used;
    uint32_t xsu_pagesize;
    boolean_t xsu_encrypted;
};

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(int* name, u_int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen);
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen);

#ifdef __cplusplus
}
#endif
