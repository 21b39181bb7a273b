#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LegacyMemory.h"
#include "platform/ReclaimPort.h"
#include "platform/posix/SpawnedProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A clean-up that starts real processes, with the tool the test names, and notes its calls.
class RecordingReclaimPort : public platform::ReclaimPort {
  public:
    explicit RecordingReclaimPort(std::string tool) : tool_(std::move(tool)) {}

    std::vector<std::string> calls;
    std::vector<std::string> spawnedArguments;
    int spawned = -1;
    std::optional<platform::ToolRun> told;  // what the run comes to, without running anything

    void relieveAllocator() override { calls.push_back("relieveAllocator"); }
    std::string memoryPressureTool() override { return tool_; }
    platform::ToolRun runTool(const std::string& path, const std::vector<std::string>& arguments,
                              std::chrono::milliseconds limit) override {
        calls.push_back("runTool " + path);
        spawnedArguments = arguments;
        if (told) {
            return *told;
        }
        spawned = platform::posix::spawnProcess(
            path, arguments, platform::posix::Inheritance::streamsAndFixedEnvironment);
        if (spawned < 0) {
            return platform::ToolRun::notStarted;
        }
        return platform::posix::waitForProcess(spawned, limit) ? platform::ToolRun::ended
                                                               : platform::ToolRun::stillRunning;
    }

  private:
    std::string tool_;
};

class Reclaim : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvel-reclaim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        log = folder / "runs";
        tool = folder / "memory_pressure";
        // A tool that takes a while, then notes the arguments it was given.
        std::ofstream(tool) << "#!/bin/sh\nsleep 0.4\nprintf '%s|' \"$@\" >> '" << log.string()
                            << "'\necho >> '" << log.string() << "'\n";
        fs::permissions(tool, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string runs() {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path folder, log, tool;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(Reclaim, RelievesTheAllocatorThenWaitsForTheToolWithItsFiveArguments) {
    RecordingReclaimPort port(tool.string());
    const auto start = Clock::now();
    EXPECT_EQ(LegacyMemory::reclaim(port), LegacyReclaimOutcome::toolEnded);
    EXPECT_GE(secondsSince(start), 0.4) << "the tool is waited for";
    EXPECT_EQ(runs(), "-S|-l|critical|-s|3|\n") << "and has ended when reclaim returns";
    const std::vector<std::string> expected = {"relieveAllocator", "runTool " + tool.string()};
    EXPECT_EQ(port.calls, expected);
}

TEST_F(Reclaim, TwoCleanUpsRunTheToolTwice) {
    RecordingReclaimPort port(tool.string());
    LegacyMemory::reclaim(port);
    LegacyMemory::reclaim(port);
    EXPECT_EQ(runs(), "-S|-l|critical|-s|3|\n-S|-l|critical|-s|3|\n");

    port.told = platform::ToolRun::notPermitted;  // a refusal is no failure of the tool
    EXPECT_EQ(LegacyMemory::reclaim(port), LegacyReclaimOutcome::notPermitted);
}

TEST_F(Reclaim, AToolThatCannotStartEndsTheCleanUpAtOnce) {
    for (const fs::path& missing : {folder / "absent", folder}) {
        RecordingReclaimPort port(missing.string());
        const auto start = Clock::now();
        EXPECT_EQ(LegacyMemory::reclaim(port), LegacyReclaimOutcome::toolNotStarted);
        EXPECT_LT(secondsSince(start), 0.3);
        EXPECT_EQ(port.calls.back(), "runTool " + missing.string());
        EXPECT_EQ(port.calls.front(), "relieveAllocator");
    }

    fs::permissions(tool, fs::perms::owner_read | fs::perms::owner_write);
    RecordingReclaimPort notExecutable(tool.string());
    LegacyMemory::reclaim(notExecutable);
    EXPECT_EQ(notExecutable.calls.back(), "runTool " + tool.string());
    EXPECT_EQ(runs(), "");
}

TEST_F(Reclaim, AToolThatHangsIsWaitedForUntilTheLimitAndReapedOnceItEnds) {
    std::ofstream(tool, std::ios::trunc) << "#!/bin/sh\nexec sleep 1.5\n";
    RecordingReclaimPort port(tool.string());
    const auto start = Clock::now();
    EXPECT_EQ(LegacyMemory::reclaim(port, std::chrono::milliseconds(300)),
              LegacyReclaimOutcome::toolStillRunning);
    EXPECT_LT(secondsSince(start), 1.0) << "the wait gives up at its limit";
    ASSERT_GT(port.spawned, 0);

    // Once the tool ends it is reaped: no zombie is left behind.
    const fs::path entry = "/proc/" + std::to_string(port.spawned);
    while (fs::exists(entry) && secondsSince(start) < 6.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(fs::exists(entry)) << "the tool is still there, or a zombie";

    // The clean-up's own limit leaves a tool of two seconds to end.
    std::ofstream(tool, std::ios::trunc) << "#!/bin/sh\nexec sleep 2\n";
    EXPECT_EQ(LegacyMemory::reclaim(port), LegacyReclaimOutcome::toolEnded);
}

TEST_F(Reclaim, TheToolIsRunByPathWithoutAShell) {
    // A name without a folder is not looked up on PATH.
    RecordingReclaimPort port("sh");
    LegacyMemory::reclaim(port);
    EXPECT_EQ(port.calls.back(), "runTool sh");
}

// What root runs sees descriptors 0-2 and the fixed environment, whatever the caller left open
// without close-on-exec or set in its own environment.
TEST_F(Reclaim, RootsToolGetsTheStandardStreamsAndTheFixedEnvironmentAlone) {
    ASSERT_EQ(dup2(STDERR_FILENO, 40), 40);  // left open across exec
    setenv("QUORVEL_CALLERS_OWN", "1", 1);
    signal(SIGUSR2, SIG_IGN);  // nor the signals the caller ignores
    EXPECT_EQ(platform::posix::runProcess(
                  "/bin/sh",
                  {"-c",
                   "{ [ -e /proc/$$/fd/40 ] && echo fd40; env; grep ^SigIgn /proc/$$/status | "
                   "cut -c1-8,18-; } | grep -v ^PWD= >>" +
                       log.string()},
                  std::chrono::seconds(5)),
              platform::ToolRun::ended);
    signal(SIGUSR2, SIG_DFL);
    unsetenv("QUORVEL_CALLERS_OWN");
    close(40);
    // The shell adds PWD; the C library keeps its own signals, 32 and up, to itself.
    EXPECT_EQ(runs(), "PATH=/usr/bin:/bin:/usr/sbin:/sbin\nSigIgn:\t0000000\n");
    for (const auto& [script, run] : std::vector<std::pair<const char*, platform::ToolRun>>{
             {"exit 75", platform::ToolRun::failed},           // it says it did not do its work
             {"kill -TERM $$", platform::ToolRun::failed},     // ended by a signal
             {"exit 80", platform::ToolRun::stillRunning}}) {  // its work still goes on
        EXPECT_EQ(platform::posix::runProcess("/bin/sh", {"-c", script}, std::chrono::seconds(5)),
                  run)
            << script;
    }
}

// A signal does not end the wait, which keeps no descriptor and takes an ended tool at its word.
TEST_F(Reclaim, TheWaitOutlastsSignalsKeepsNoDescriptorAndTakesAnEndedToolAtItsWord) {
    const auto open = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open();
    struct sigaction interrupting = {};
    interrupting.sa_handler = [](int) {};
    sigaction(SIGUSR1, &interrupting, nullptr);  // no SA_RESTART: the wait sees EINTR
    std::thread signals([waiting = pthread_self()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiting, SIGUSR1);
    });
    EXPECT_EQ(platform::posix::runProcess("/bin/sh", {"-c", "sleep 0.4"}, std::chrono::seconds(5)),
              platform::ToolRun::ended);
    signals.join();
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(open(), before);

    const int ended = platform::posix::spawnProcess(
        "/bin/sh", {"-c", "exit 7"}, platform::posix::Inheritance::streamsAndFixedEnvironment);
    siginfo_t info = {};
    ASSERT_EQ(waitid(P_PID, ended, &info, WEXITED | WNOWAIT), 0);  // ended, not yet reaped
    int status = -1;
    EXPECT_TRUE(platform::posix::waitForProcess(ended, std::chrono::seconds(1), &status));
    EXPECT_EQ(status, 7);
}

TEST(ReclaimPort, FindsTheStandInBesideTheProgram) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const fs::path expected = fs::path(self).parent_path() / "quorvel-memory-pressure";
    EXPECT_EQ(platform::makeReclaimPort()->memoryPressureTool(), expected.string());
}

}  // namespace
