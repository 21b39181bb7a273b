// A hundred thousand refreshes of the real polling path against SMCs that fail at random.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "LegacyMainViewController.h"
#include "LegacySMC.h"
#include "platform/emulated/EmulatedSmcDevice.h"
#include "platform/linux/AppleSmcSysfsClient.h"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasuresMemory = false;  // freed memory is held back in quarantine
#else
constexpr bool kMeasuresMemory = true;
#endif

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Passes exchanges on to an SMC, but now and then fails the call or mangles the reply.
class FaultyClient : public platform::SmcUserClient {
  public:
    FaultyClient(std::unique_ptr<platform::SmcUserClient> inner, std::uint32_t seed)
        : inner_(std::move(inner)), random_(seed) {}

    std::uint32_t matchingService(const char* n) override { return inner_->matchingService(n); }
    platform::KernReturn serviceOpen(std::uint32_t s, std::uint32_t t, std::uint32_t* c) override {
        return inner_->serviceOpen(s, t, c);
    }
    platform::KernReturn objectRelease(std::uint32_t o) override {
        return inner_->objectRelease(o);
    }
    platform::KernReturn serviceClose(std::uint32_t c) override { return inner_->serviceClose(c); }
    platform::KernReturn callStructMethod(std::uint32_t c, std::uint32_t s, const void* in,
                                          std::size_t inSize, void* out,
                                          std::size_t* outSize) override {
        const unsigned roll = random_() % 100;
        if (roll < 5) {
            return platform::kKernFailure;
        }
        const platform::KernReturn result =
            inner_->callStructMethod(c, s, in, inSize, out, outSize);
        if (roll < 15) {
            LegacySMCParamRecord reply;
            std::memcpy(&reply, out, sizeof reply);
            reply.replyLength = random_() % 40;
            for (auto& byte : reply.payload) {
                byte = static_cast<std::uint8_t>(random_());
            }
            std::memcpy(out, &reply, sizeof reply);
        }
        return result;
    }

  private:
    std::unique_ptr<platform::SmcUserClient> inner_;
    std::mt19937 random_;
};

// Checks that every line of the window is one of its fixed forms.
void expectKnownForms(const LegacyMainViewController& controller) {
    static const QRegularExpression ramLine(
        QStringLiteral(u"^RAM: [0-9]+\\.[0-9] / [0-9]+\\.[0-9] GB \\([0-9]+%\\)$"));
    static const QRegularExpression swapLine(QStringLiteral(u"^Swap: [0-9]+\\.[0-9] MB$"));
    static const QRegularExpression tempLine(QStringLiteral(
        u"^(CPU: ([5-9]|[1-9][0-9]|1[01][0-9]|120)\u00B0C|CPU: \u043D\u0435\u0442 "
        u"\u0434\u0430\u0442\u0447\u0438\u043A\u0430 \\(\u043D\u043E\u0440\u043C\u0430\u043B"
        u"\u044C\u043D\u043E \u0434\u043B\u044F \u043C\u043D\u043E\u0433\u0438\u0445 "
        u"M\u2011\u0447\u0438\u043F\u043E\u0432\\))$"));
    static const QRegularExpression fanLine(QString::fromUtf8(
        "^(Вентиляторов: ([1-9][0-9]{0,2}) \u00B7 Fan1: [0-9]{1,5} об/мин|"
        "Вентиляторы: не найдены \\(пассивное охлаждение\\)|AppleSMC недоступен)$"));
    ASSERT_TRUE(ramLine.match(controller.ramLabel()->text()).hasMatch())
        << controller.ramLabel()->text().toStdString();
    ASSERT_TRUE(swapLine.match(controller.swapLabel()->text()).hasMatch())
        << controller.swapLabel()->text().toStdString();
    ASSERT_TRUE(tempLine.match(controller.tempLabel()->text()).hasMatch())
        << controller.tempLabel()->text().toStdString();
    ASSERT_TRUE(fanLine.match(controller.fanLabel()->text()).hasMatch())
        << controller.fanLabel()->text().toStdString();
}

// Runs the window's own timer as fast as it goes until `refreshes` refreshes have been made,
// calling `between` after each one.
template <typename Between>
void soak(LegacyMainViewController& controller, int& refreshes, int target, Between between) {
    controller.startPolling();
    controller.timer()->setInterval(0);
    int seen = refreshes;
    while (refreshes < target) {
        QApplication::processEvents();
        if (refreshes != seen) {
            seen = refreshes;
            between();
            if (::testing::Test::HasFatalFailure()) {
                break;
            }
        }
    }
    delete controller.timer();
}

TEST(Soak, AHundredThousandRefreshesOfAFaultyEmulatedSmc) {
    double now = 0.0;
    auto device = std::make_unique<platform::EmulatedSmcDevice>([&now] { return now; });
    auto smc = std::make_shared<LegacySMC>(std::make_unique<FaultyClient>(std::move(device), 7));
    std::mt19937_64 random(11);
    int refreshes = 0;
    LegacyMainViewController controller(
        smc,
        [&] {
            ++refreshes;
            now += 0.5;
            LegacyMemorySnapshot snapshot;
            if (random() % 10 != 0) {  // sometimes nothing can be read
                snapshot.totalBytes = random() % (1ULL << 40);
                snapshot.usedBytes = random() % (1ULL << 40);
                snapshot.swapUsedBytes = random() % (1ULL << 36);
                snapshot.usedPercent = snapshot.totalBytes == 0
                                           ? 0.0
                                           : 100.0 * static_cast<double>(snapshot.usedBytes) /
                                                 static_cast<double>(snapshot.totalBytes);
            }
            return snapshot;
        },
        [] { return LegacyReclaimOutcome::toolEnded; });
    controller.view();

    long residentAfterWarmUp = 0;
    soak(controller, refreshes, 100000, [&] {
        if (refreshes == 2000) {
            residentAfterWarmUp = residentKilobytes();
        }
        if (refreshes % 7 == 0) {
            expectKnownForms(controller);
        }
        if (refreshes % 997 == 0) {
            controller.fanManual()->click();
            controller.applyFanButton()->click();
        }
    });
    EXPECT_GE(refreshes, 100000);
    if (kMeasuresMemory) {
        EXPECT_LT(residentKilobytes() - residentAfterWarmUp, 2048) << "memory stays flat";
    }
}

TEST(Soak, RefreshesWhileTheApplesmcFilesComeAndGo) {
    char pattern[] = "/tmp/quorvel-soak-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const fs::path device = root / "devices/platform/applesmc.768";
    const auto write = [&](const char* file, const std::string& text) {
        std::ofstream(device / file) << text;
    };
    const auto build = [&] {
        fs::create_directories(device);
        write("fan1_input", "2150\n");
        write("fan1_min", "1200\n");
        write("fan1_max", "6200\n");
        write("fan1_manual", "0\n");
        write("fan1_output", "1200\n");
        write("temp1_label", "TC0P\n");
        write("temp1_input", "48000\n");
    };
    build();
    auto smc =
        std::make_shared<LegacySMC>(std::make_unique<platform::AppleSmcSysfsClient>(root.string()));
    ASSERT_TRUE(smc->isAvailable());

    std::mt19937 random(5);
    int refreshes = 0;
    LegacyMainViewController controller(
        smc,
        [&] {
            ++refreshes;
            return LegacyMemorySnapshot{1ULL << 34, 1ULL << 33, 0, 50.0};
        },
        [] { return LegacyReclaimOutcome::toolEnded; });
    controller.view();
    const char* files[] = {"fan1_input", "fan1_min", "fan1_max", "temp1_label", "temp1_input"};
    const char* texts[] = {"", "junk\n", "-1\n", "99999999\n", "3000\n", "TC0P\n"};
    soak(controller, refreshes, 10000, [&] {
        expectKnownForms(controller);
        switch (random() % 8) {
            case 0:
                fs::remove_all(root / "devices");
                break;
            case 1:
                build();
                break;
            default:
                if (fs::exists(device)) {
                    write(files[random() % 5], texts[random() % 6]);
                }
        }
    });
    fs::remove_all(root);
}

}  // namespace
