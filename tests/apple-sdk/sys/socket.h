// The socket interface as macOS has it (see ../README.md): this system's own, and the one
// option macOS adds that the macOS sources set.
#pragma once
#pragma GCC system_header  // for #include_next, which -Wpedantic would refuse

#include_next <sys/socket.h>

#ifndef SO_NOSIGPIPE
#define SO_NOSIGPIPE 0x1022
#endif
