#include "TrustedProgram.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <string>

#include "RealPath.h"

namespace platform::posix {

namespace {

bool ownedByRoot(const struct stat& status) {
    return status.st_uid == 0;
}

bool writableByOthers(const struct stat& status) {
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool sticky(const struct stat& status) {
    return (status.st_mode & S_ISVTX) != 0;
}

// A folder that root owns and that nobody else could empty of what root keeps there: nobody else
// may write it, unless it is sticky, like /tmp.
bool folderTrusted(const struct stat& status) {
    return S_ISDIR(status.st_mode) && ownedByRoot(status) &&
           (!writableByOthers(status) || sticky(status));
}

}  // namespace

std::string trustedForRoot(const std::string& path) {
    const std::string program = realPath(path);
    struct stat status = {};
    if (program.empty() || ::lstat(program.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        !ownedByRoot(status) || writableByOthers(status)) {
        return {};
    }
    // A mount that a user may make (FUSE, a stick the desktop mounts, a tmpfs of theirs) names
    // whatever owner it likes; such mounts are nosuid, and nothing on them is root's to run.
    struct statvfs mount = {};
    if (::statvfs(program.c_str(), &mount) != 0 || (mount.f_flag & ST_NOSUID) != 0) {
        return {};
    }
    // "/usr/bin/tool": "/usr/bin", "/usr", then "/".
    std::string folder = program;
    do {
        folder.erase(folder.rfind('/'));
        const std::string checked = folder.empty() ? "/" : folder;
        if (::lstat(checked.c_str(), &status) != 0 || !folderTrusted(status)) {
            return {};
        }
    } while (!folder.empty());
    return program;
}

bool isTrustedForRoot(const std::string& path) {
    return !trustedForRoot(path).empty();
}

}  // namespace platform::posix
