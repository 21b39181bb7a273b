#include "TrustedProgram.h"

#include <sys/stat.h>

#include "RealPath.h"

namespace platform::posix {

namespace {

bool ownedByRootAndWritableByRootAlone(const struct stat& status) {
    return status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool isTrustedForRoot(const std::string& path) {
    const std::string program = realPath(path);
    if (program.empty()) {
        return false;
    }
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    struct stat file {};
    struct stat directory {};
    return ::lstat(program.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
           ownedByRootAndWritableByRootAlone(file) && ::stat(folder.c_str(), &directory) == 0 &&
           S_ISDIR(directory.st_mode) && ownedByRootAndWritableByRootAlone(directory);
}

}  // namespace platform::posix
