#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LegacySMC.h"
#include "PrivilegedRequests.h"
#include "RecordingSmcUserClient.h"
#include "platform/posix/SpawnedProcess.h"
#include "platform/posix/TrustedProgram.h"
#include "platform/privileged/PrivilegedSession.h"
#include "platform/privileged/PrivilegedSmcUserClient.h"

namespace {

namespace fs = std::filesystem;
using Write = ScriptedSmcUserClient::Write;
using Writes = std::vector<Write>;
using platform::PrivilegedRequests;
using platform::PrivilegedSession;
using platform::privileged::version;

// What a command's environment needs to run on a kernel that fails the call named after it.
const std::string kFaultyKernel =
    "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" QUORVEL_FAULTY_KERNEL
    " QUORVEL_FAILING_CALL=";

// An SMC with two fans: fan 0 from 1200 to 6000 rpm, fan 1 from 1300 to 5800.
std::unique_ptr<ScriptedSmcUserClient> twoFans() {
    auto client = std::make_unique<ScriptedSmcUserClient>();
    client->values = {{"FNum", {2}},
                      {"F0Mn", {0x04, 0xB0}},
                      {"F0Mx", {0x17, 0x70}},
                      {"F1Mn", {0x05, 0x14}},
                      {"F1Mx", {0x16, 0xA8}}};
    return client;
}

// The helper's side: its checks, over a scripted SMC and a clean-up that only counts its runs.
class HelperRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        auto owned = twoFans();
        client = owned.get();
        smc = std::make_unique<LegacySMC>(std::move(owned));
        requests = std::make_unique<PrivilegedRequests>(*smc, [this] {
            ++cleanUps;
            return cleanUpOutcome;
        });
    }

    ScriptedSmcUserClient* client = nullptr;
    std::unique_ptr<LegacySMC> smc;
    std::unique_ptr<PrivilegedRequests> requests;
    int cleanUps = 0;
    LegacyReclaimOutcome cleanUpOutcome = LegacyReclaimOutcome::toolEnded;
};

TEST_F(HelperRequests, MakesTheWritesTheProgramMakesAndThoseAlone) {
    const std::pair<const char*, Write> accepted[] = {
        {"write F0Tg 0bb8", {"F0Tg", "ui16", {0x0B, 0xB8}}},
        {"write F0Tg 04b0", {"F0Tg", "ui16", {0x04, 0xB0}}},  // the fan's minimum
        {"write F0Tg 1770", {"F0Tg", "ui16", {0x17, 0x70}}},  // and its maximum
        {"write F1Tg 16A8", {"F1Tg", "ui16", {0x16, 0xA8}}},
        {"write FS!  00", {"FS! ", "ui8 ", {0x00}}},
    };
    for (const auto& [line, write] : accepted) {
        client->writes.clear();
        EXPECT_EQ(requests->answer(line), "ok") << line;
        EXPECT_EQ(client->writes, Writes{write}) << line;
    }
    EXPECT_EQ(cleanUps, 0);
}

TEST_F(HelperRequests, RefusesEverythingElseAndChangesNothing) {
    const std::pair<std::string, const char*> refused[] = {
        {"write F2Tg 0bb8", "error fan"},  // there are two fans
        {"write F9Tg 0bb8", "error fan"},
        {"write F0Tg 04af", "error speed"},  // 1199, under fan 0's minimum
        {"write F0Tg 1771", "error speed"},  // 6001, over its maximum
        {"write F1Tg 04b0", "error speed"},  // 1200 is fan 0's minimum, not fan 1's
        {"write F0Tg 0bb8bb", "error length"},
        {"write F0Tg 0b", "error length"},
        {"write FS!  0000", "error length"},
        {"write FS!  01", "error value"},
        {"write F0Mn 0100", "error key"},
        {"write BCLM 50", "error key"},
        {"write F0Md 01", "error key"},
        {"write FS! 00", "error malformed"},
        {"write F0Tg 0bbx", "error malformed"},
        {"write F0Tg 0bb", "error malformed"},
        {"write F0Tg  0bb8", "error malformed"},
        {"write F0Tg ", "error malformed"},
        {"write F0Tg", "error malformed"},
        {"write F0Tg " + std::string(66, '0'), "error malformed"},  // 33 bytes
        {std::string("write F\x01Tg 0bb8"), "error malformed"},
        {"WRITE F0Tg 0bb8", "error malformed"},
        {"reclaim now", "error malformed"},
        {"", "error malformed"},
    };
    for (const auto& [line, answer] : refused) {
        EXPECT_EQ(requests->answer(line), answer) << line;
    }

    // What the helper reads itself decides: no fan count, or no limits, no target.
    client->values.erase("F0Mx");
    EXPECT_EQ(requests->answer("write F0Tg 0bb8"), "error speed");
    client->values.erase("FNum");
    EXPECT_EQ(requests->answer("write F0Tg 0bb8"), "error fan");
    EXPECT_TRUE(client->writes.empty());
    EXPECT_EQ(cleanUps, 0);

    client->writeAnswer = platform::kKernFailure;
    EXPECT_EQ(requests->answer("write FS!  00"), "error failed");
}

TEST_F(HelperRequests, TakesLinesAsTheyComeAndAnOverlongOneAsOneBadLine) {
    EXPECT_TRUE(requests->take("write F0").empty());
    EXPECT_EQ(requests->take("Tg 0bb8\nrecl"), std::vector<std::string>{"ok"});
    EXPECT_EQ(requests->take("aim\n"), std::vector<std::string>{"ok"});
    EXPECT_EQ(cleanUps, 1);

    // Eighty bytes are a line; eighty-one are too many.
    EXPECT_EQ(requests->take(std::string(80, 'x') + "\n" + std::string(81, 'x') + "\n"),
              (std::vector<std::string>{"error malformed", "error too-long"}));

    // The rest of a line too long is not taken for a request of its own.
    const std::string overlong = std::string(200, 'x') + "write F0Tg 0bb8";
    EXPECT_EQ(requests->take(overlong + "\nwrite FS!  00\n"),
              (std::vector<std::string>{"error too-long", "ok"}));
    EXPECT_EQ(client->writes, (Writes{{"F0Tg", "ui16", {0x0B, 0xB8}}, {"FS! ", "ui8 ", {0x00}}}));
}

TEST_F(HelperRequests, RunsTheCleanUpAndSaysHowItEnded) {
    const std::pair<LegacyReclaimOutcome, const char*> outcomes[] = {
        {LegacyReclaimOutcome::toolEnded, "ok"},
        {LegacyReclaimOutcome::toolStillRunning, "error running"},
        {LegacyReclaimOutcome::toolNotStarted, "error tool"},
    };
    for (const auto& [outcome, answer] : outcomes) {
        cleanUpOutcome = outcome;
        EXPECT_EQ(requests->answer("reclaim"), answer);
    }
    EXPECT_EQ(cleanUps, 3);
    EXPECT_TRUE(client->writes.empty());
}

TEST_F(HelperRequests, ActsOnlyWhileTheProgramStillListens) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    // Looking whether it still listens takes nothing of a request that waits.
    ASSERT_EQ(write(ends[0], "reclaim\n", 8), 8);
    EXPECT_FALSE(platform::privileged::peerHungUp(ends[1], ends[1]));
    char waiting[16];
    EXPECT_EQ(read(ends[1], waiting, sizeof waiting), 8);
    const std::string stale = "write F0Tg 0bb8\nreclaim\n";
    ASSERT_EQ(write(ends[0], stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    close(ends[0]);                     // the program gave up waiting and went
    requests->serve(ends[1], ends[1]);  // one that listens is served: see HelperProgram
    close(ends[1]);
    EXPECT_TRUE(client->writes.empty());
    EXPECT_EQ(cleanUps, 0);
}

// The helper program itself, on this machine (which has no SMC), beside a stand-in tool: answers
// on its standard output, one line a request, and ends when its input does, as root only; a
// clean-up that worked is done whether its parent ignored SIGCHLD or it has no pipe or thread.
TEST(HelperProgram, AnswersEachRequestAndEndsWithItsInput) {
    if (fs::exists("/sys/devices/platform/applesmc.768")) {
        GTEST_SKIP() << "this machine has an SMC, which the helper would write";
    }
    char pattern[] = "/tmp/quorvel-helper-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    // Laid out as installed: the helper in <prefix>/libexec/quorvel-legacy, the tool in bin.
    const fs::path helper = folder / "libexec/quorvel-legacy/quorvel-legacy-helper";
    const fs::path tool = folder / "bin/quorvel-memory-pressure";
    for (const fs::path& made :
         {folder, folder / "libexec", helper.parent_path(), tool.parent_path()}) {
        fs::create_directory(made);
        chmod(made.c_str(), 0755);
    }
    fs::copy_file(QUORVEL_LEGACY_HELPER, helper);
    std::ofstream(tool) << "#!/bin/sh\nsleep 0.3\n";
    chmod(tool.c_str(), 0755);
    const std::string runs[][3] = {
        {"", "write F0Tg 0bb8\\nnonsense\\nwrite FS!  00\\n",
         "error fan\nerror malformed\nerror failed\n"},
        {"env --ignore-signal=CHLD", "reclaim\\n", "ok\n"},
        {kFaultyKernel + "pipe2", "reclaim\\n", "ok\n"},
        {kFaultyKernel + "pthread_create", "reclaim\\n", "ok\n"},
    };
    for (const auto& [shortOf, requests, answers] : runs) {
        // The input stays open until the answers are out: a program that has gone is not served.
        const std::string command = "{ printf '" + requests + "'; sleep 1; } | " + shortOf + " " +
                                    helper.string() + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        const int status = pclose(pipe);
        if (geteuid() == 0) {
            const auto ready =
                platform::privileged::parseReady(output.substr(0, output.find('\n')));
            EXPECT_TRUE(ready && ready->version == version()) << output;
            EXPECT_EQ(output.substr(output.find('\n') + 1), answers) << shortOf;
            EXPECT_EQ(WEXITSTATUS(status), 0);
        } else {
            EXPECT_EQ(output, "quorvel-legacy-helper: runs as root, started by Quorvel Legacy\n");
            EXPECT_EQ(WEXITSTATUS(status), 1);
        }
    }
    fs::remove_all(folder);
}

// A launcher whose helper is a thread of this test, serving the requests over a socket pair as
// the real helper would over its standard input and output (or misbehaving, as told). Like the
// macOS launcher, it gives one descriptor for both ways and no process id.
class ThreadLauncher : public platform::HelperLauncher {
  public:
    // authorizesSlowly: the user takes a while to type the password, and the helper goes after
    // one answer; launchWaits: the launcher itself waits for the user, as macOS's does;
    // process: a real child process that tells its id and never answers; userAsked: a real
    // launcher process (as pkexec) that waits for the user's authorization until it is ended.
    enum class Helper {
        serves,
        refused,
        answersOnceThenGoes,
        slow,
        silent,
        missing,
        authorizesSlowly,
        launchWaits,
        process,
        userAsked,
        otherVersion,
    };

    ThreadLauncher(Helper helper, std::unique_ptr<ScriptedSmcUserClient> client)
        : smc_(std::move(client)), helper_(helper) {}
    ~ThreadLauncher() override {
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    std::optional<platform::HelperChannel> launch() override {
        ++launches;
        if (helper_ == Helper::missing) {
            return std::nullopt;
        }
        if (helper_ == Helper::launchWaits) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return std::nullopt;
        }
        if (helper_ == Helper::process || helper_ == Helper::userAsked) {
            processId = platform::posix::spawnProcess(
                "/bin/sh",
                {"-c", helper_ == Helper::process
                           ? "echo ready $$ " + std::string(version()) + "; exec cat >/dev/null"
                           : "exec sleep 30"},
                platform::posix::Inheritance::streamsAndEnvironment, ends[1]);
            close(ends[1]);
            if (helper_ == Helper::userAsked) {
                return platform::HelperChannel{ends[0], processId};
            }
        } else {
            threads_.emplace_back([this, end = ends[1]] { serve(end); });
        }
        return platform::HelperChannel{ends[0], -1};
    }

    std::atomic<int> launches{0};
    std::atomic<int> linesReceived{0};  // by a helper
    int processId = -1;
    LegacySMC smc_;

  private:
    void serve(int end) {
        PrivilegedRequests requests(smc_, [] { return LegacyReclaimOutcome::toolEnded; });
        if (helper_ == Helper::authorizesSlowly) {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
        const std::string first = helper_ == Helper::otherVersion
                                      ? "ready 0 0.9\n"
                                      : platform::privileged::readyLine(0) + "\n";
        const bool ready =
            helper_ != Helper::refused && send(end, first.data(), first.size(), MSG_NOSIGNAL) > 0;
        char buffer[256];
        ssize_t n;
        while (ready && (n = read(end, buffer, sizeof buffer)) > 0) {
            linesReceived += static_cast<int>(std::count(buffer, buffer + n, '\n'));
            if (helper_ == Helper::silent) {
                continue;
            }
            if (helper_ == Helper::slow) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            for (const std::string& answer :
                 requests.take(std::string_view(buffer, static_cast<std::size_t>(n)))) {
                const std::string line = answer + "\n";
                if (send(end, line.data(), line.size(), MSG_NOSIGNAL) < 0) {
                    break;
                }
            }
            if (helper_ == Helper::answersOnceThenGoes || helper_ == Helper::authorizesSlowly) {
                break;
            }
        }
        close(end);
    }

    Helper helper_;
    std::vector<std::thread> threads_;
};

struct SessionOver {
    explicit SessionOver(ThreadLauncher::Helper helper,
                         std::chrono::milliseconds answerLimit = std::chrono::seconds(5),
                         std::chrono::milliseconds authorizationLimit = std::chrono::seconds(5)) {
        auto owned = std::make_unique<ThreadLauncher>(helper, twoFans());
        launcher = owned.get();
        session =
            std::make_unique<PrivilegedSession>(std::move(owned), authorizationLimit, answerLimit);
    }
    ThreadLauncher* launcher = nullptr;
    std::unique_ptr<PrivilegedSession> session;
};

const std::string kTarget = platform::privileged::writeLine("F0Tg", {0x0B, 0xB8});

TEST(PrivilegedSession, StartsOneHelperOnFirstNeedAndKeepsItForTheRun) {
    SessionOver over(ThreadLauncher::Helper::serves);
    EXPECT_EQ(over.launcher->launches, 0) << "nothing is started before it is needed";
    EXPECT_EQ(kTarget, "write F0Tg 0bb8");
    EXPECT_EQ(over.session->ask(kTarget), "ok");
    EXPECT_EQ(over.session->ask("write FS!  00"), "ok");
    EXPECT_EQ(over.session->ask("reclaim"), "ok");
    EXPECT_EQ(over.session->ask("write F0Tg 2000"), "error speed");
    EXPECT_EQ(over.launcher->launches, 1);
    EXPECT_EQ(over.session->launches(), 1);

    // A launcher that waits for the user wakes the session as soon as it is done.
    SessionOver waits(ThreadLauncher::Helper::launchWaits);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waits.session->ask(kTarget), "ok");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(PrivilegedSession, NoHelperARefusedOneOrOneGoneIsNoAnswerAndTheNextNeedStartsAnother) {
    SessionOver missing(ThreadLauncher::Helper::missing);
    EXPECT_EQ(missing.session->ask(kTarget), std::nullopt);
    EXPECT_EQ(missing.session->ask(kTarget), std::nullopt);
    EXPECT_EQ(missing.launcher->launches, 2);

    SessionOver refused(ThreadLauncher::Helper::refused);
    EXPECT_EQ(refused.session->ask(kTarget), std::nullopt);
    EXPECT_EQ(refused.session->ask(kTarget), std::nullopt);
    EXPECT_EQ(refused.launcher->launches, 2) << "a refusal is asked again at the next need";
    EXPECT_EQ(platform::privileged::toolRunOf(refused.session->ask("reclaim")),
              platform::ToolRun::notPermitted)
        << "a clean-up refused is one the user has no rights for";

    // A helper of another version is sent nothing, as though none were there.
    SessionOver older(ThreadLauncher::Helper::otherVersion);
    EXPECT_EQ(older.session->ask(kTarget), std::nullopt);
    EXPECT_EQ(older.launcher->linesReceived, 0);

    // A helper found gone (ended, killed) is started again for the same request.
    SessionOver gone(ThreadLauncher::Helper::answersOnceThenGoes);
    EXPECT_EQ(gone.session->ask(kTarget), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // it ends meanwhile
    EXPECT_EQ(gone.session->ask(kTarget), "ok");
    EXPECT_EQ(gone.launcher->launches, 2);
}

TEST(PrivilegedSession, KeepsTheWindowAliveWhileItWaitsAndGivesUpOnASilentHelper) {
    int keptAlive = 0;
    PrivilegedSession::setKeepAlive({[&keptAlive](int descriptor, std::chrono::milliseconds limit) {
                                         ++keptAlive;
                                         pollfd readable{descriptor, POLLIN, 0};
                                         poll(&readable, 1, std::min(30, int(limit.count())));
                                     },
                                     {}});
    {
        SessionOver slow(ThreadLauncher::Helper::slow);
        EXPECT_EQ(slow.session->ask(kTarget), "ok");
        EXPECT_GE(keptAlive, 3) << "while a slow answer comes";

        // An authorized helper that does not answer in time failed; it refused nothing.
        SessionOver silent(ThreadLauncher::Helper::silent, std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(silent.session->ask(kTarget), "error no-answer");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

        // The user's authorization has the long limit, whether the launcher or the helper waits
        // for it, and the window is kept alive meanwhile.
        for (const auto helper :
             {ThreadLauncher::Helper::launchWaits, ThreadLauncher::Helper::authorizesSlowly}) {
            SessionOver authorizing(helper, std::chrono::milliseconds(200),
                                    std::chrono::seconds(5));
            keptAlive = 0;
            EXPECT_EQ(authorizing.session->ask(kTarget), "ok");
            EXPECT_GE(keptAlive, 8);
        }
        // A helper started again waits for the user with the long limit too.
        SessionOver again(ThreadLauncher::Helper::authorizesSlowly, std::chrono::milliseconds(200),
                          std::chrono::seconds(5));
        EXPECT_EQ(again.session->ask(kTarget), "ok");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // it ends meanwhile
        EXPECT_EQ(again.session->ask(kTarget), "ok");
        EXPECT_EQ(again.launcher->launches, 2);
    }
    PrivilegedSession::setKeepAlive({});
}

// The window closed while the user is asked (by the helper, or by the launcher as on macOS): the
// wait ends at once and nothing reaches a helper, authorized or not; a call from within the wait
// (the event loop it runs) gets nothing at once.
TEST(PrivilegedSession, SendsNothingOnceTheProgramQuits) {
    for (const auto helper :
         {ThreadLauncher::Helper::authorizesSlowly, ThreadLauncher::Helper::launchWaits}) {
        SessionOver over(helper);
        bool quit = false;
        std::optional<std::string> nested = "not asked";
        PrivilegedSession::setKeepAlive({[&](int, std::chrono::milliseconds) {
                                             nested = over.session->ask(kTarget);
                                             quit = true;
                                         },
                                         [&] { return quit; }});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(over.session->ask(kTarget), "error no-answer");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_EQ(nested, std::nullopt);
        if (helper == ThreadLauncher::Helper::launchWaits) {
            EXPECT_TRUE(PrivilegedSession::launchUnderway()) << "so the run skips the statics";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(900));  // the helper ends meanwhile
        EXPECT_EQ(over.launcher->linesReceived, 0);
        EXPECT_FALSE(PrivilegedSession::launchUnderway());
    }
    // A helper that runs already is sent nothing once the program quits.
    PrivilegedSession::setKeepAlive({});
    SessionOver running(ThreadLauncher::Helper::serves);
    EXPECT_EQ(running.session->ask(kTarget), "ok");
    PrivilegedSession::setKeepAlive({{}, [] { return true; }});
    EXPECT_EQ(running.session->ask(kTarget), "error no-answer");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(running.launcher->linesReceived, 1);
    PrivilegedSession::setKeepAlive({});
}

// No thread: no helper, nothing left open or under way, a tool still waited for (on such a kernel).
TEST(PrivilegedSession, StartsNoHelperWithoutAThread) {
    if (std::getenv("QUORVEL_FAILING_CALL") == nullptr) {
        const std::string again = kFaultyKernel + "pthread_create /proc/" +
                                  std::to_string(getpid()) +
                                  "/exe --gtest_filter=PrivilegedSession.StartsNoHelper*";
        EXPECT_EQ(std::system(again.c_str()), 0);
        return;
    }
    const auto open = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open();
    SessionOver over(ThreadLauncher::Helper::serves);
    EXPECT_EQ(over.session->ask(kTarget), std::nullopt);
    EXPECT_FALSE(PrivilegedSession::launchUnderway());
    EXPECT_EQ(platform::posix::runProcess("/bin/sh", {"-c", "sleep 0.1"}, std::chrono::seconds(5)),
              platform::ToolRun::ended);
    EXPECT_EQ(open(), before);
}

// A helper that ends after its session dropped it is reaped: it was started as this process's
// child and told its process id in its first line.
TEST(PrivilegedSession, LeavesNoZombieOfADroppedHelper) {
    SessionOver over(ThreadLauncher::Helper::process, std::chrono::milliseconds(200));
    EXPECT_EQ(over.session->ask(kTarget), "error no-answer");
    const int helper = over.launcher->processId;
    for (int tries = 0; helper > 0 && kill(helper, 0) == 0 && tries < 250; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(helper > 0 && kill(helper, 0) != 0) << "still there, or a zombie";

    // A launcher still waiting for the user when its session gives up is ended, and reaped.
    SessionOver asked(ThreadLauncher::Helper::userAsked, std::chrono::seconds(5),
                      std::chrono::milliseconds(200));
    EXPECT_EQ(asked.session->ask(kTarget), std::nullopt);
    for (int tries = 0; kill(asked.launcher->processId, 0) == 0 && tries < 250; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(kill(asked.launcher->processId, 0), 0) << "still waiting, or a zombie";
}

// The program's SMC client: a write refused for lack of rights goes to the helper.
TEST(PrivilegedSmcUserClient, HandsAWriteRefusedForRightsToTheHelper) {
    auto direct = twoFans();
    direct->writeAnswer = platform::kNotPrivileged;
    ScriptedSmcUserClient* machine = direct.get();
    SessionOver over(ThreadLauncher::Helper::serves);
    LegacySMC smc(std::make_unique<platform::PrivilegedSmcUserClient>(std::move(direct),
                                                                      *over.session, false));
    EXPECT_EQ(smc.setFanTargetRPM(0, 3000), LegacySMCWriteResult::written);
    EXPECT_EQ(smc.writeKey("FS! ", "ui8 ", {0x00}), LegacySMCWriteResult::written);
    EXPECT_EQ(smc.rpm("F0Mx"), 6000) << "reads are the machine's own";
    EXPECT_EQ(smc.setFanTargetRPM(0, 9000), LegacySMCWriteResult::failed) << "the helper refuses";
    EXPECT_EQ(over.launcher->launches, 1);
    EXPECT_EQ(machine->writes.size(), 3u) << "each was tried directly first";

    // A write refused for anything else is not the helper's business.
    machine->writeAnswer = platform::kKernFailure;
    EXPECT_EQ(smc.setFanTargetRPM(0, 3000), LegacySMCWriteResult::failed);

    // Without a helper, the refusal stands; as root there is nothing a helper could add.
    machine->writeAnswer = platform::kNotPrivileged;
    SessionOver missing(ThreadLauncher::Helper::missing);
    auto refusedDirect = twoFans();
    refusedDirect->writeAnswer = platform::kNotPrivileged;
    LegacySMC withoutHelper(std::make_unique<platform::PrivilegedSmcUserClient>(
        std::move(refusedDirect), *missing.session, false));
    EXPECT_EQ(withoutHelper.setFanTargetRPM(0, 3000), LegacySMCWriteResult::notPermitted);
    auto rootDirect = twoFans();
    rootDirect->writeAnswer = platform::kNotPrivileged;
    LegacySMC asRoot(std::make_unique<platform::PrivilegedSmcUserClient>(std::move(rootDirect),
                                                                         *over.session, true));
    EXPECT_EQ(asRoot.setFanTargetRPM(0, 3000), LegacySMCWriteResult::notPermitted);
    EXPECT_EQ(over.launcher->launches, 1);
}

// pkexec is not even started on a helper at its installed place that others could have replaced.
TEST(TrustedProgram, NoHelperIsLaunchedThatOthersCouldHaveReplaced) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const fs::path libexec = fs::path(self).parent_path().parent_path() / "libexec";
    ASSERT_FALSE(fs::exists(libexec));
    fs::create_directories(libexec / "quorvel-legacy");
    const fs::path helper = libexec / "quorvel-legacy" / "quorvel-legacy-helper";
    std::ofstream(helper) << "#!/bin/sh\necho ready 0\n";
    chmod(helper.c_str(), 0777);
    EXPECT_EQ(platform::makeHelperLauncher()->launch(), std::nullopt);
    fs::remove_all(libexec);
}

// Root runs only a program that root owns and nobody else may write, in such a folder.
TEST(TrustedProgram, RootRunsOnlyWhatNobodyElseCouldHaveReplaced) {
    char pattern[] = "/tmp/quorvel-trusted-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    const fs::path tool = folder / "tool";
    std::ofstream(tool) << "#!/bin/sh\n";
    chmod(folder.c_str(), 0755);
    chmod(tool.c_str(), 0755);
    fs::create_symlink(tool, folder / "link");
    const bool root = geteuid() == 0;

    EXPECT_EQ(platform::posix::isTrustedForRoot(tool.string()), root);
    EXPECT_EQ(platform::posix::isTrustedForRoot((folder / "link").string()), root);
    EXPECT_FALSE(platform::posix::isTrustedForRoot((folder / "absent").string()));
    EXPECT_FALSE(platform::posix::isTrustedForRoot(folder.string())) << "not a regular file";
    chmod(tool.c_str(), 0775);
    EXPECT_FALSE(platform::posix::isTrustedForRoot(tool.string())) << "its group may write it";
    chmod(tool.c_str(), 0757);
    EXPECT_FALSE(platform::posix::isTrustedForRoot(tool.string())) << "anybody may write it";
    chmod(tool.c_str(), 0755);
    chmod(folder.c_str(), 0777);
    EXPECT_FALSE(platform::posix::isTrustedForRoot(tool.string())) << "anybody may replace it";
    chmod(folder.c_str(), 0755);
    if (root) {
        ASSERT_EQ(chown(tool.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::posix::isTrustedForRoot(tool.string())) << "another user's";
        ASSERT_EQ(chown(tool.c_str(), 0, 0), 0);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::posix::isTrustedForRoot(tool.string())) << "in another's folder";
        ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
    }
    // Every folder up to "/" counts: one that others may write could have the tool's folder
    // swapped, unless it is sticky.
    const fs::path deeper = folder / "lib" / "tool";
    fs::create_directory(folder / "lib");
    fs::copy_file(tool, deeper);
    chmod((folder / "lib").c_str(), 0755);
    EXPECT_EQ(platform::posix::trustedForRoot(deeper.string()), root ? deeper.string() : "");
    chmod(folder.c_str(), 0777);
    EXPECT_FALSE(platform::posix::isTrustedForRoot(deeper.string())) << "its grandparent";
    chmod(folder.c_str(), 0775);  // as macOS's /Applications is the admin group's
    EXPECT_FALSE(platform::posix::isTrustedForRoot(deeper.string())) << "its group may swap it";
    chmod(folder.c_str(), 01777);
    EXPECT_EQ(platform::posix::isTrustedForRoot(deeper.string()), root) << "sticky, like /tmp";
    // Nothing on a nosuid mount, which a user may have made, whoever it names as the owner.
    const pid_t mounted = root ? fork() : -1;
    if (mounted == 0) {
        const bool made = unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID, "mode=0755") == 0;
        std::ofstream(tool) << "#!/bin/sh\n";
        _exit(!made ? 77
              : chmod(tool.c_str(), 0755) == 0 && !platform::posix::isTrustedForRoot(tool.string())
                  ? 0
                  : 1);
    }
    int mountedStatus = 0;
    if (mounted > 0 && waitpid(mounted, &mountedStatus, 0) == mounted &&
        WEXITSTATUS(mountedStatus) != 77) {
        EXPECT_EQ(WEXITSTATUS(mountedStatus), 0) << "a program on a nosuid mount is trusted";
    }

    fs::remove_all(folder);
}

}  // namespace
