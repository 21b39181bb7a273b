// The memory-pressure tool of Quorvel Legacy on Linux: asks the kernel to give memory back.
//
//   quorvel-memory-pressure [-S] [-l warn|critical] [-s seconds]
//
// As root it writes dirty pages out, drops clean caches and, at the critical level, compacts
// memory; otherwise it asks for proactive reclaim of page cache in the caller's own cgroup
// (cgroup v2 memory.reclaim) where that is writable; otherwise it does nothing. It never
// allocates memory to create pressure and never kills anything. It ends within the given
// seconds even when the kernel is slow: the work is left to finish on its own.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr int kUsageStatus = 64;
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
    return kUsageStatus;
}

bool writeFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int writeError = errno;
    ::close(fd);
    errno = writeError;
    return written == static_cast<ssize_t>(text.size());
}

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

void dropCaches(Level level) {
    ::sync();
    writeFile("/proc/sys/vm/drop_caches", level == Level::Critical ? "3" : "1");
    if (level == Level::Critical) {
        writeFile("/proc/sys/vm/compact_memory", "1");
    }
}

void reclaimOwnCgroup(Level level) {
    const std::string folder = ownCgroupFolder();
    if (folder.empty() || ::access((folder + "/memory.reclaim").c_str(), W_OK) != 0) {
        return;
    }
    std::ifstream statFile(folder + "/memory.stat");
    std::stringstream stat;
    stat << statFile.rdbuf();
    // Page cache only: what is in use by programs stays where it is.
    unsigned long long bytes = statFigure(stat.str(), "inactive_file");
    if (level == Level::Critical) {
        bytes += statFigure(stat.str(), "active_file");
    }
    if (bytes == 0) {
        return;
    }
    const std::string amount = std::to_string(bytes);
    if (!writeFile(folder + "/memory.reclaim", amount + " swappiness=0") && errno == EINVAL) {
        writeFile(folder + "/memory.reclaim", amount);  // kernels that take no swappiness
    }
}

void relieve(Level level) {
    if (::geteuid() == 0) {
        dropCaches(level);
    } else {
        reclaimOwnCgroup(level);
    }
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

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    const pid_t worker = ::fork();
    if (worker == 0) {
        relieve(options.level);
        ::_exit(0);
    }
    if (worker < 0) {
        relieve(options.level);
        return 0;
    }
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(worker, nullptr, WNOHANG) != 0) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}
