#include "TrustedProgram.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace platform::posix {

namespace {

bool ownedByRootAndWritableByRootAlone(const struct stat& status) {
    return status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool isTrustedForRoot(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (!real) {
        return false;
    }
    const std::string program = real.get();
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    struct stat file {};
    struct stat directory {};
    return ::lstat(program.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
           ownedByRootAndWritableByRootAlone(file) && ::stat(folder.c_str(), &directory) == 0 &&
           S_ISDIR(directory.st_mode) && ownedByRootAndWritableByRootAlone(directory);
}

}  // namespace platform::posix
