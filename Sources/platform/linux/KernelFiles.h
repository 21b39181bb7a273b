#pragma once

#include <cstddef>
#include <string>

namespace platform::kernel_files {

// Files the kernel publishes (sysfs attributes, /proc/meminfo) are opened so that nothing put
// in their place can hold the caller or send a write elsewhere: no link is followed, no open
// or read waits, only a regular file is taken and, where a file system type is given, only
// one on a file system of that type. A write never truncates.

// Takes a regular file on any file system.
constexpr long kAnyFileSystem = 0;

// The type of the file system that holds `path` (statfs's f_type); 0 when it cannot be told.
long fileSystemType(const std::string& path);

// Whether something, of any kind, is at `path` itself; a link is not followed.
bool exists(const std::string& path);

// Reads up to `capacity` bytes of the file; the count read, or -1 when it cannot be opened,
// is not such a file or cannot be read. Allocates nothing.
long read(const char* path, char* buffer, std::size_t capacity, long fileSystem);

// Writes the text in one write; 0, or the errno of the failure (EIO when the file took less
// than all of it, EINVAL when what is there is not such a file).
int write(const std::string& path, const std::string& text, long fileSystem);

}  // namespace platform::kernel_files
