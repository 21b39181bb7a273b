// The memory-pressure tool of Quorvel Legacy on Linux: asks the kernel to give memory back.
//
//   quorvel-memory-pressure [-S] [-l warn|critical] [-s seconds]
//
// As root it writes dirty pages out, drops clean caches and, at the critical level, compacts
// memory; otherwise it asks for proactive reclaim of page cache in the caller's own cgroup
// (cgroup v2 memory.reclaim) where that is writable; otherwise it does nothing. It never
// allocates memory to create pressure and never kills anything; an ordinary user's run asks for
// nothing but page cache, and a kernel that cannot be told so is asked nothing (status 69). It
// ends within the given seconds even when the kernel is slow: the work is left to finish on its
// own and the run ends with status 80, and while it goes on a new run starts no more (status 75).
// Work that could not begin, that the kernel refused, or whose end was lost ends with status 74.
// Root's runs lock a file under /run, other users' one in their own runtime folder; a user
// without one is refused (status 74).

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "PageCacheReclaim.h"
#include "platform/ReclaimPort.h"
#include "platform/linux/KernelFiles.h"

namespace {

using memory_pressure::Status;

static_assert(memory_pressure::kStillWorking == platform::kToolStillWorkingStatus,
              "the program reads this status as a tool still at work");

constexpr long kMostSeconds = 3600;

enum class Level { Warn, Critical };

struct Options {
    Level level = Level::Warn;
    long seconds = 3;
};

int usage(const char* problem) {
    std::fprintf(stderr,
                 "quorvel-memory-pressure: %s\n"
                 "usage: quorvel-memory-pressure [-S] [-l warn|critical] [-s seconds]\n",
                 problem);
    return memory_pressure::kUsage;
}

// One write into a regular file of the kernel, never through a link and never waiting to open.
int writeKernelFile(const std::string& path, const std::string& text) {
    return platform::kernel_files::write(path, text, platform::kernel_files::kAnyFileSystem);
}

std::string ownCgroupFolder() {
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        if (line.rfind("0::", 0) == 0) {
            return "/sys/fs/cgroup" + line.substr(3);
        }
    }
    return {};
}

Status dropCaches(Level level) {
    ::sync();
    if (writeKernelFile("/proc/sys/vm/drop_caches", level == Level::Critical ? "3" : "1") != 0) {
        return memory_pressure::kFailed;
    }
    if (level == Level::Critical) {
        writeKernelFile("/proc/sys/vm/compact_memory", "1");  // not every kernel compacts
    }
    return memory_pressure::kDone;
}

Status reclaimOwnCgroup(Level level) {
    const std::string folder = ownCgroupFolder();
    if (folder.empty() || ::access((folder + "/memory.reclaim").c_str(), W_OK) != 0) {
        return memory_pressure::kDone;
    }
    return memory_pressure::reclaimPageCache(folder, level == Level::Critical, writeKernelFile);
}

Status relieve(Level level) {
    return ::geteuid() == 0 ? dropCaches(level) : reclaimOwnCgroup(level);
}

// The file whose lock the worker holds: this user's own (see lockOfThisUser), created 0600, never
// through a link, and taken only while it is this user's alone, a regular file with no other
// name. -1 when it cannot be taken, and for a user without one: no work is done unlocked.
int openLock() {
    const std::string path = memory_pressure::lockOfThisUser();
    if (path.empty()) {
        return -1;
    }
    const int lock =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat status = {};
    if (lock >= 0 &&
        (::fstat(lock, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
         (status.st_mode & 077) != 0 || status.st_nlink != 1)) {
        ::close(lock);
        return -1;
    }
    return lock;
}

bool parseSeconds(const char* text, long& seconds) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > kMostSeconds) {
        return false;
    }
    seconds = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The worker's end is waited for: a parent that ignored SIGCHLD (a shell script, a service
    // manager's unit) would have the kernel reap it and lose its end.
    ::signal(SIGCHLD, SIG_DFL);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-S") {
            continue;  // pressure here is always simulated: nothing is allocated
        }
        if (option == "-l" || option == "-s") {
            if (i + 1 >= argc) {
                return usage(("option " + option + " needs a value").c_str());
            }
            const char* value = argv[++i];
            if (option == "-s") {
                if (!parseSeconds(value, options.seconds)) {
                    return usage("-s takes a whole number of seconds from 1 to 3600");
                }
            } else if (std::strcmp(value, "critical") == 0) {
                options.level = Level::Critical;
            } else if (std::strcmp(value, "warn") == 0) {
                options.level = Level::Warn;
            } else {
                return usage("-l takes warn or critical");
            }
            continue;
        }
        return usage(("unknown argument " + option).c_str());
    }

    // One worker at a time: the worker holds a lock for as long as it runs, so a run that finds
    // it held (a sync stuck on a dead mount) starts nothing new.
    const int lock = openLock();
    if (lock == -1) {
        return memory_pressure::kFailed;
    }
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock);
        return memory_pressure::kBusy;
    }

    // The work runs in a child, so that this run ends within its seconds even when the kernel is
    // slow; a worker still at work then is left to finish on its own, and this run says so.
    // Without a worker there is no work: never any without the lock or past the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    const pid_t worker = ::fork();
    if (worker == 0) {
        ::_exit(relieve(options.level));
    }
    ::close(lock);  // the worker's copy keeps it
    if (worker < 0) {
        return memory_pressure::kFailed;
    }
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t ended = ::waitpid(worker, &status, WNOHANG);
        if (ended == worker) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : memory_pressure::kFailed;
        }
        if (ended < 0 && errno != EINTR) {
            return memory_pressure::kFailed;  // its end is lost (ECHILD): nothing says it worked
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return memory_pressure::kStillWorking;
}
