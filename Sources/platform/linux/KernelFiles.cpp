#include "KernelFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace platform::kernel_files {

namespace {

// Opens a regular file without following a link or waiting; -1 for anything else, with errno
// set (EINVAL for something that is not such a file).
int openRegularFile(const char* path, int access, long fileSystem) {
    const int fd = ::open(path, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat status = {};
    struct statfs holder = {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const bool onItsFileSystem =
        fileSystem == kAnyFileSystem ||
        (::fstatfs(fd, &holder) == 0 && static_cast<long>(holder.f_type) == fileSystem);
    if (!regular || !onItsFileSystem) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

long fileSystemType(const std::string& path) {
    struct statfs holder = {};
    return ::statfs(path.c_str(), &holder) == 0 ? static_cast<long>(holder.f_type) : 0;
}

bool exists(const std::string& path) {
    struct stat status = {};
    return ::fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

long read(const char* path, char* buffer, std::size_t capacity, long fileSystem) {
    const int fd = openRegularFile(path, O_RDONLY, fileSystem);
    if (fd < 0) {
        return -1;
    }
    std::size_t filled = 0;
    while (filled < capacity) {
        const ssize_t n = ::read(fd, buffer + filled, capacity - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            return -1;
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return static_cast<long>(filled);
}

int write(const std::string& path, const std::string& text, long fileSystem) {
    const int fd = openRegularFile(path.c_str(), O_WRONLY, fileSystem);
    if (fd < 0) {
        return errno;
    }
    ssize_t written;
    do {
        written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    int error = written < 0 ? errno : written == static_cast<ssize_t>(text.size()) ? 0 : EIO;
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

}  // namespace platform::kernel_files
