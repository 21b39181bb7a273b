#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "PageCacheReclaim.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ToolRun {
    int status;
    std::string output;
    double seconds;
};

// Waits until no earlier run's worker is at work any more.
void waitForEarlierWorkers() {
    const int lock = open(memory_pressure::lockOfThisUser().c_str(), O_RDONLY | O_CLOEXEC);
    if (lock >= 0) {
        flock(lock, LOCK_EX);
        close(lock);
    }
}

// Runs the stand-in tool with the given arguments (and variables of its environment), once
// earlier runs' work has ended; its exit status and what it printed.
ToolRun runTool(const std::string& arguments, const std::string& environment = "") {
    waitForEarlierWorkers();
    const auto start = Clock::now();
    const std::string command =
        environment + " " + QUORVEL_MEMORY_PRESSURE_TOOL + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[256];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output,
            std::chrono::duration<double>(Clock::now() - start).count()};
}

// As root, a /run of their own: root's runs lock a file there, which a real clean-up may hold.
struct MemoryPressureTool : ::testing::Test {
    static void SetUpTestSuite() {
        ASSERT_TRUE(geteuid() != 0 ||
                    (unshare(CLONE_NEWNS) == 0 &&
                     mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0))
            << "as root these cases need a mount namespace of their own";
    }
};

TEST_F(MemoryPressureTool, TakesTheArgumentsOfTheCleanUp) {
    for (const char* arguments :
         {"-S -l critical -s 3", "-l critical -S -s 1", "-S -l warn -s 1", "-S", ""}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.status, 0) << arguments << ": " << run.output;
        EXPECT_EQ(run.output, "") << arguments;
    }
}

TEST_F(MemoryPressureTool, RejectsAnythingElseWithAUsageMessage) {
    for (const char* arguments :
         {"-l critical -t 3", "-l", "-l severe", "-s", "-s 0", "-s -1", "-s three", "-s 3x",
          "-s 99999", "-p 50", "extra", "-S -l critical -s 3 more"}) {
        const ToolRun run = runTool(arguments);
        EXPECT_NE(run.status, 0) << arguments;
        EXPECT_NE(run.output.find("usage: quorvel-memory-pressure"), std::string::npos)
            << arguments << ": " << run.output;
    }
}

TEST_F(MemoryPressureTool, EndsWithinItsSeconds) {
    const ToolRun run = runTool("-S -l critical -s 1");
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(run.seconds, 1.5);

    // A worker still at work then (root's, whose sync takes its time) has not done its work;
    // nor has one that could not start, or whose end was lost.
    const std::string faulty =
        " LD_PRELOAD=" QUORVEL_FAULTY_KERNEL " ASAN_OPTIONS=verify_asan_link_order=0";
    if (geteuid() == 0) {
        const ToolRun slow = runTool("-S -l warn -s 1 >/dev/null", faulty);  // before its worker
        EXPECT_EQ(slow.status, memory_pressure::kStillWorking) << slow.output;
        EXPECT_EQ(WEXITSTATUS(std::system(QUORVEL_MEMORY_PRESSURE_TOOL " -s 1")),
                  memory_pressure::kBusy);
    }
    for (const std::string call : {"fork", "waitpid"}) {
        EXPECT_EQ(runTool("-S -l warn -s 1", "QUORVEL_FAILING_CALL=" + call + faulty).status,
                  memory_pressure::kFailed)
            << call;
    }
    // Started by a parent that ignores SIGCHLD, its worker's end is still its own to wait for.
    EXPECT_EQ(runTool("-S -l warn -s 1", "env --ignore-signal=CHLD").status, 0);
}

TEST_F(MemoryPressureTool, StartsNoNewWorkWhileAnEarlierWorkerIsStillAtIt) {
    // As root, another user holding a lock on the tool's file, which anybody may read, does
    // not stop the clean-up.
    if (geteuid() == 0) {
        struct stat ours = {}, machines = {};
        const std::string parents = "/proc/" + std::to_string(getppid()) + "/root/run";
        ASSERT_EQ(stat("/run", &ours) | stat(parents.c_str(), &machines), 0);
        EXPECT_NE(ours.st_dev, machines.st_dev) << "the machine's own /run, as ctest's";
        waitForEarlierWorkers();
        const pid_t stranger = fork();
        if (stranger == 0) {
            const bool held = setuid(65534) == 0 &&
                              flock(open(QUORVEL_MEMORY_PRESSURE_TOOL, O_RDONLY), LOCK_EX) == 0;
            _exit(held ? (pause(), 0) : 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(runTool("-S -l warn -s 1").status, 0) << "stopped by another user's lock";
        kill(stranger, SIGKILL);
        waitpid(stranger, nullptr, 0);

        // A user without a runtime folder has no lock, and so does no work.
        char copy[] = "/tmp/quorvel-tool-XXXXXX";
        ASSERT_NE(mkdtemp(copy), nullptr);
        chmod(copy, 0755);
        const fs::path tool = fs::path(copy) / "quorvel-memory-pressure";
        fs::copy_file(QUORVEL_MEMORY_PRESSURE_TOOL, tool);
        const int status = std::system(
            ("setpriv --reuid=65534 --regid=65534 --clear-groups " + tool.string() + " -s 1")
                .c_str());
        EXPECT_EQ(WEXITSTATUS(status), memory_pressure::kFailed);  // not in a /run of their own
        // Nor is its lock taken through a link planted in its place.
        waitForEarlierWorkers();
        const std::string lock = memory_pressure::lockOfThisUser();
        const fs::path planted = fs::path(copy) / "planted";
        std::ofstream{planted};
        chmod(planted.c_str(), 0600);
        fs::remove(lock);
        fs::create_symlink(planted, lock);
        EXPECT_EQ(runTool("-S -l warn -s 1").status, memory_pressure::kFailed);
        fs::remove(lock);
        fs::remove_all(copy);
    }
    // A worker holds this lock for as long as it runs; here the test stands in for a stuck one.
    // A shared hold is enough to keep a second worker out.
    waitForEarlierWorkers();
    const std::string lock = memory_pressure::lockOfThisUser();
    if (lock.empty()) {
        GTEST_SKIP() << "a user without a runtime folder has no lock";
    }
    const int held = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_SH | LOCK_NB), 0);
    const auto start = Clock::now();
    FILE* pipe =
        popen((std::string(QUORVEL_MEMORY_PRESSURE_TOOL) + " -S -l critical -s 3").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    const int status = pclose(pipe);
    const ToolRun busy = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "",
                          std::chrono::duration<double>(Clock::now() - start).count()};
    close(held);
    EXPECT_EQ(busy.status, memory_pressure::kBusy);
    EXPECT_LT(busy.seconds, 1.0);
    EXPECT_EQ(runTool("-S -l critical -s 1").status, 0) << "once it has ended, work starts again";
}

TEST_F(MemoryPressureTool, AsksACgroupForPageCacheAloneOrForNothing) {
    char pattern[] = "/tmp/quorvel-cgroup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    std::vector<std::pair<std::string, std::string>> writes;
    int answer = 0;
    const memory_pressure::KernelWrite write = [&](const std::string& path,
                                                   const std::string& text) {
        writes.emplace_back(path, text);
        return answer;
    };
    const auto reclaim = [&](bool critical) {
        writes.clear();
        return memory_pressure::reclaimPageCache(folder.string(), critical, write);
    };
    std::ofstream(folder / "memory.stat")
        << "anon 9000000\nfile 7000\nactive_file 4096\ninactive_file 2048\nshmem 0\n";
    const std::string reclaimFile = (folder / "memory.reclaim").string();

    EXPECT_EQ(reclaim(false), memory_pressure::kDone);
    EXPECT_EQ(writes, (decltype(writes){{reclaimFile, "2048 swappiness=0"}}));
    EXPECT_EQ(reclaim(true), memory_pressure::kDone);
    EXPECT_EQ(writes, (decltype(writes){{reclaimFile, "6144 swappiness=0"}}));

    // A kernel that does not take swappiness would reclaim programs' memory too: not asked.
    answer = EINVAL;
    EXPECT_EQ(reclaim(true), memory_pressure::kUnavailable);
    EXPECT_EQ(writes.size(), 1u) << "no second request without swappiness";

    // Less reclaimed than asked (EAGAIN) is still work done; no page cache, nothing to ask.
    answer = EAGAIN;
    EXPECT_EQ(reclaim(true), memory_pressure::kDone);
    std::ofstream(folder / "memory.stat", std::ios::trunc) << "anon 9000000\nactive_file 0\n";
    EXPECT_EQ(reclaim(true), memory_pressure::kDone);
    EXPECT_TRUE(writes.empty());
    fs::remove_all(folder);
}

std::uint64_t cachedKilobytes() {
    std::ifstream in("/proc/meminfo");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::uint64_t cached = 0;
    // "Cached" is not among the probe's figures; read it here directly.
    const std::size_t at = text.find("\nCached:");
    if (at != std::string::npos) {
        cached = std::stoull(text.substr(at + 8));
    }
    return cached;
}

TEST_F(MemoryPressureTool, AsRootACriticalRunGivesPageCacheBack) {
    if (geteuid() != 0 || access("/proc/sys/vm/drop_caches", W_OK) != 0) {
        GTEST_SKIP() << "needs root and a writable /proc/sys/vm/drop_caches";
    }
    // Page cache of our own making, on a disk-backed folder (not tmpfs, whose pages stay).
    const fs::path file = fs::current_path() / "quorvel-page-cache.bin";
    constexpr std::size_t kMegabytes = 128;
    {
        std::ofstream out(file, std::ios::binary);
        const std::vector<char> chunk(1 << 20, 'q');
        for (std::size_t i = 0; i < kMegabytes; ++i) {
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }
    sync();
    {
        std::ifstream in(file, std::ios::binary);
        std::vector<char> chunk(1 << 20);
        while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
        }
    }
    const std::uint64_t before = cachedKilobytes();
    const ToolRun run = runTool("-S -l critical -s 3");
    const std::uint64_t after = cachedKilobytes();
    fs::remove(file);
    EXPECT_EQ(run.status, 0);
    ASSERT_GE(before, kMegabytes * 1024) << "the file should be in the page cache";
    EXPECT_LT(after + kMegabytes * 1024 / 2, before)
        << "Cached went from " << before << " kB to " << after << " kB";
}

}  // namespace
