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

// Where a folder lies on the way from the program up to "/".
enum class Folder { inBundle, aboveBundle, anywhere };

// A folder that root owns and that nobody else could empty of what root keeps there: in a
// bundle, nobody else may write it at all; above one, its group may (macOS's /Applications is
// the admin group's), since nobody but root can put a bundle of root's in place of another;
// elsewhere, others may only where it is sticky, like /tmp.
bool folderTrusted(const struct stat& status, Folder where) {
    if (!S_ISDIR(status.st_mode) || !ownedByRoot(status)) {
        return false;
    }
    switch (where) {
        case Folder::inBundle:
            return !writableByOthers(status);
        case Folder::aboveBundle:
            return (status.st_mode & S_IWOTH) == 0 || sticky(status);
        case Folder::anywhere:
            break;
    }
    return !writableByOthers(status) || sticky(status);
}

// The program at `path`, resolved, when root may run it; `bundle`, resolved, the folder it lies
// in whose every part must be root's alone, or empty.
std::string trusted(const std::string& path, const std::string& bundle) {
    const std::string program = realPath(path);
    struct stat status = {};
    if (program.empty() || ::lstat(program.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        !ownedByRoot(status) || writableByOthers(status) ||
        (!bundle.empty() && program.rfind(bundle + "/", 0) != 0)) {
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
        const Folder where = bundle.empty()                   ? Folder::anywhere
                             : folder.size() >= bundle.size() ? Folder::inBundle
                                                              : Folder::aboveBundle;
        if (::lstat(checked.c_str(), &status) != 0 || !folderTrusted(status, where)) {
            return {};
        }
    } while (!folder.empty());
    return program;
}

}  // namespace

std::string trustedForRoot(const std::string& path) {
    return trusted(path, {});
}

std::string trustedInBundle(const std::string& path, const std::string& bundle) {
    const std::string folder = realPath(bundle);
    return folder.empty() || folder == "/" ? std::string() : trusted(path, folder);
}

bool isTrustedForRoot(const std::string& path) {
    return !trustedForRoot(path).empty();
}

}  // namespace platform::posix
