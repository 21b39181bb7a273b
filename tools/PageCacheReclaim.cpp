#include "PageCacheReclaim.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

namespace memory_pressure {

namespace {

// A figure of a cgroup's memory.stat, in bytes; 0 when absent.
unsigned long long statFigure(const std::string& statText, const std::string& name) {
    std::istringstream lines(statText);
    std::string key;
    unsigned long long value = 0;
    while (lines >> key >> value) {
        if (key == name) {
            return value;
        }
    }
    return 0;
}

}  // namespace

std::string lockOfThisUser() {
    const uid_t user = ::geteuid();
    if (user == 0) {
        return kRootLock;
    }
    const std::string folder = "/run/user/" + std::to_string(user);
    struct stat status = {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != user || (status.st_mode & 077) != 0) {
        return {};
    }
    return folder + "/quorvel-memory-pressure.lock";
}

Status reclaimPageCache(const std::string& cgroupFolder, bool critical, const KernelWrite& write) {
    std::ifstream statFile(cgroupFolder + "/memory.stat");
    std::stringstream stat;
    stat << statFile.rdbuf();
    unsigned long long bytes = statFigure(stat.str(), "inactive_file");
    if (critical) {
        bytes += statFigure(stat.str(), "active_file");
    }
    if (bytes == 0) {
        return kDone;
    }
    // A kernel older than swappiness in memory.reclaim would take the plain amount from
    // anonymous memory as well, that is, from programs into swap: it is not asked at all.
    const int error =
        write(cgroupFolder + "/memory.reclaim", std::to_string(bytes) + " swappiness=0");
    return error == EINVAL ? kUnavailable : kDone;
}

}  // namespace memory_pressure
