#pragma once

// libproc, as Apple's public headers declare what the macOS sources call.
#include <sys/types.h>

extern "C" {
// The process ids of the children of `ppid`, written into `buffer`; their count, or -1.
int proc_listchildpids(pid_t ppid, void* buffer, int buffersize);
}
