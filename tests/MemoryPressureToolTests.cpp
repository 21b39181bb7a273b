#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct ToolRun {
    int status;
    std::string output;
    double seconds;
};

// Runs the stand-in tool with the given arguments; its exit status and what it printed.
ToolRun runTool(const std::string& arguments) {
    const auto start = Clock::now();
    const std::string command =
        std::string(QUORVEL_MEMORY_PRESSURE_TOOL) + " " + arguments + " 2>&1";
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

TEST(MemoryPressureTool, TakesTheArgumentsOfTheCleanUp) {
    for (const char* arguments :
         {"-S -l critical -s 3", "-l critical -S -s 1", "-S -l warn -s 1", "-S", ""}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.status, 0) << arguments << ": " << run.output;
        EXPECT_EQ(run.output, "") << arguments;
    }
}

TEST(MemoryPressureTool, RejectsAnythingElseWithAUsageMessage) {
    for (const char* arguments :
         {"-l critical -t 3", "-l", "-l severe", "-s", "-s 0", "-s -1", "-s three", "-s 3x",
          "-s 99999", "-p 50", "extra", "-S -l critical -s 3 more"}) {
        const ToolRun run = runTool(arguments);
        EXPECT_NE(run.status, 0) << arguments;
        EXPECT_NE(run.output.find("usage: quorvel-memory-pressure"), std::string::npos)
            << arguments << ": " << run.output;
    }
}

TEST(MemoryPressureTool, EndsWithinItsSeconds) {
    const ToolRun run = runTool("-S -l critical -s 1");
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(run.seconds, 1.5);
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

TEST(MemoryPressureTool, AsRootACriticalRunGivesPageCacheBack) {
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
