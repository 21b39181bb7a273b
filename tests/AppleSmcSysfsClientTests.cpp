#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ios>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "LegacySMC.h"
#include "platform/linux/AppleSmcSysfsClient.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using platform::AppleSmcSysfsClient;

// A folder in the shape of sysfs, made by the test.
class SysfsTree : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvel-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }

    void put(const std::string& relative, const std::string& text) {
        const fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    std::string contents(const std::string& relative) {
        std::ifstream in(root / relative, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The driver's files as older kernels lay them out, on the platform device.
    std::string platformScheme() {
        const std::string device = "devices/platform/applesmc.768/";
        put(device + "name", "applesmc\n");
        put(device + "fan1_label", "Left side  \n");
        put(device + "fan1_input", "2150\n");
        put(device + "fan1_min", "1200\n");
        put(device + "fan1_max", "6200\n");
        put(device + "fan1_manual", "0\n");
        put(device + "fan1_output", "1200\n");
        put(device + "fan1_safe", "");
        put(device + "fan2_input", "1999\n");
        put(device + "fan2_min", "1300\n");
        put(device + "fan2_max", "5800\n");
        put(device + "fan2_manual", "0\n");
        put(device + "fan2_output", "1300\n");
        put(device + "temp1_label", "TB0T\n");
        put(device + "temp1_input", "30000\n");
        put(device + "temp2_label", "TC0P\n");
        put(device + "temp2_input", "48000\n");
        put(device + "temp3_label", "TC0D\n");
        put(device + "temp3_input", "45500\n");
        fs::create_directories(root / device / "hwmon/hwmon0");
        return device;
    }

    // The files of newer kernels: an ACPI device with a hwmon folder of standard names.
    std::string hwmonScheme() {
        const std::string device = "devices/LNXSYSTM:00/LNXSYBUS:00/APP0001:00/";
        const std::string hwmon = device + "hwmon/hwmon3/";
        put(hwmon + "name", "applesmc\n");
        put(hwmon + "fan1_input", "1800\n");
        put(hwmon + "fan1_min", "1000\n");
        put(hwmon + "fan1_max", "5000\n");
        put(hwmon + "fan1_target", "1000\n");
        put(hwmon + "pwm1_enable", "2\n");
        put(hwmon + "temp1_label", "TCPU\n");
        put(hwmon + "temp1_input", "61199\n");
        fs::create_directories(root / "bus/acpi/drivers/applesmc");
        fs::create_directory_symlink(root / "devices/LNXSYSTM:00/LNXSYBUS:00/APP0001:00",
                                     root / "bus/acpi/drivers/applesmc/APP0001:00");
        fs::create_directory_symlink(root / "devices", root / "bus/acpi/drivers/applesmc/module");
        put("bus/acpi/drivers/applesmc/uevent", "");
        return hwmon;
    }

    std::unique_ptr<LegacySMC> openSmc() {
        auto client = std::make_unique<AppleSmcSysfsClient>(root.string());
        sysfs = client.get();
        return std::make_unique<LegacySMC>(std::move(client));
    }

    fs::path root;
    AppleSmcSysfsClient* sysfs = nullptr;
};

TEST_F(SysfsTree, WithoutTheDriverThereIsNoService) {
    auto smc = openSmc();
    EXPECT_FALSE(smc->isAvailable());
    EXPECT_EQ(sysfs->folder(), "");

    put("bus/acpi/drivers/applesmc/uevent", "");
    EXPECT_FALSE(openSmc()->isAvailable()) << "a driver without a device is not a service";

    // A device that leads out of the sysfs root is not taken, whatever it holds, even from a
    // folder whose name begins with the root's.
    const fs::path elsewhere = root.string() + "2";
    fs::create_directory(elsewhere);
    std::ofstream(elsewhere / "fan1_input") << "2000\n";
    fs::create_directory_symlink(elsewhere, root / "bus/acpi/drivers/applesmc/APP0001:00");
    EXPECT_FALSE(openSmc()->isAvailable());
    fs::remove_all(elsewhere);
}

TEST_F(SysfsTree, ThePlatformDeviceAnswersInTheProgramsEncodings) {
    const std::string device = platformScheme();
    auto smc = openSmc();
    ASSERT_TRUE(smc->isAvailable());
    EXPECT_EQ(sysfs->folder(), (fs::canonical(root) / "devices/platform/applesmc.768").string());
    EXPECT_EQ(smc->readKey("FNum"), Bytes{2});
    EXPECT_EQ(smc->readKey("F0Ac"), (Bytes{0x08, 0x66}));
    EXPECT_EQ(smc->rpm("F0Mn"), 1200);
    EXPECT_EQ(smc->rpm("F0Mx"), 6200);
    EXPECT_EQ(smc->rpm("F1Ac"), 1999);
    EXPECT_EQ(smc->rpm("F2Ac"), std::nullopt) << "there is no third fan";
    EXPECT_EQ(smc->readKey("TC0D"), (Bytes{0x2D, 0x80}));
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.0);
    EXPECT_EQ(smc->readKey("TB0T"), (Bytes{0x1E, 0x00}));
    EXPECT_EQ(smc->readKey("TCPU"), std::nullopt);
    EXPECT_EQ(smc->readKey("F0Tg"), std::nullopt);
    EXPECT_EQ(smc->readKey("ABCD"), std::nullopt);
}

TEST_F(SysfsTree, ATargetSwitchesThatFanToManualAndHandingBackSwitchesEveryFanBack) {
    const std::string device = platformScheme();
    auto smc = openSmc();
    ASSERT_TRUE(smc->setFanTargetRPM(0, 3000));
    EXPECT_EQ(contents(device + "fan1_manual"), "1\n");
    EXPECT_EQ(contents(device + "fan1_output"), "3000\n");
    EXPECT_EQ(contents(device + "fan2_manual"), "0\n");
    EXPECT_EQ(contents(device + "fan2_output"), "1300\n");

    ASSERT_TRUE(smc->setFanTargetRPM(1, 70000));
    EXPECT_EQ(contents(device + "fan2_output"), "65535\n");

    ASSERT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n");
    EXPECT_EQ(contents(device + "fan2_manual"), "0\n");
    EXPECT_EQ(contents(device + "fan1_output"), "3000\n") << "the target is left as it was";
}

TEST_F(SysfsTree, WritesOtherThanATargetOrAHandBackFailAndTouchNothing) {
    const std::string device = platformScheme();
    auto smc = openSmc();
    EXPECT_FALSE(smc->setFanTargetRPM(2, 3000)) << "no third fan";
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8 ", {0x01}));
    EXPECT_FALSE(smc->writeKey("FS! ", "ui16", {0x00, 0x00, 0x00}));
    EXPECT_FALSE(smc->writeKey("F0Mn", "ui16", {0x01, 0x00}));
    EXPECT_FALSE(smc->writeKey("F0Tg", "ui8 ", {0x10}));
    EXPECT_FALSE(smc->writeKey("ABCD", "ui8 ", {0x00}));
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n");
    EXPECT_EQ(contents(device + "fan1_output"), "1200\n");
    EXPECT_EQ(contents(device + "fan1_min"), "1200\n");
    EXPECT_EQ(contents(device + "fan2_manual"), "0\n");
}

TEST_F(SysfsTree, TheHwmonSchemeOfTheAcpiDeviceWorksAlike) {
    const std::string hwmon = hwmonScheme();
    auto smc = openSmc();
    ASSERT_TRUE(smc->isAvailable());
    EXPECT_EQ(sysfs->folder(), (fs::canonical(root) / hwmon).parent_path().string())
        << "the driver's link is resolved once";
    EXPECT_EQ(smc->readKey("FNum"), Bytes{1});
    EXPECT_EQ(smc->rpm("F0Ac"), 1800);
    EXPECT_EQ(smc->rpm("F0Mn"), 1000);
    EXPECT_EQ(smc->rpm("F0Mx"), 5000);
    // 61.199 degrees: 15666.944 units, rounded (not cut) to 15667.
    EXPECT_EQ(smc->readKey("TCPU"), (Bytes{0x3D, 0x33}));

    ASSERT_TRUE(smc->setFanTargetRPM(0, 2500));
    EXPECT_EQ(contents(hwmon + "pwm1_enable"), "1\n");
    EXPECT_EQ(contents(hwmon + "fan1_target"), "2500\n");
    ASSERT_TRUE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    // Handing back is 2 here: 0 on this switch would run the fan at full speed.
    EXPECT_EQ(contents(hwmon + "pwm1_enable"), "2\n");

    // The driver bound again (a resume, a module reload): its folder gone, the device left
    // behind, then back under a new number, and looked for again at the next refresh.
    const std::string moved = hwmon.substr(0, hwmon.size() - 7) + "hwmon4/";
    fs::rename(root / hwmon, root / "unbound");
    EXPECT_EQ(smc->rpm("F0Ac"), std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    fs::rename(root / "unbound", root / moved);
    EXPECT_EQ(smc->rpm("F0Ac"), 1800);
    ASSERT_TRUE(smc->setFanTargetRPM(0, 3000));
    EXPECT_EQ(contents(moved + "fan1_target"), "3000\n");
}

TEST_F(SysfsTree, AFileThatIsNotARightNumberFailsThatKeyAlone) {
    const std::string device = platformScheme();
    auto smc = openSmc();
    const std::pair<const char*, const char*> badSpeeds[] = {
        {"", "empty"},
        {"\n", "a bare line end"},
        {"fast\n", "not a number"},
        {"12x\n", "trailing junk"},
        {"70000\n", "beyond 16 bits"},
        {"-5\n", "negative"},
        {"99999999999999999999999\n", "far too long"},
        {"1 2\n", "two numbers"},
    };
    for (const auto& [text, what] : badSpeeds) {
        put(device + "fan1_input", text);
        EXPECT_EQ(smc->rpm("F0Ac"), std::nullopt) << what;
        EXPECT_EQ(smc->rpm("F0Mn"), 1200) << "other keys still answer";
    }
    put(device + "fan1_input", "  2150 \n");
    EXPECT_EQ(smc->rpm("F0Ac"), 2150) << "blanks around a number are fine";

    fs::remove(root / device / "fan1_max");
    EXPECT_EQ(smc->rpm("F0Mx"), std::nullopt);

    const std::pair<const char*, const char*> badTemperatures[] = {{"-1000\n", "below zero"},
                                                                   {"300000\n", "beyond 8.8"},
                                                                   {"hot\n", "not a number"},
                                                                   {"", "empty"}};
    for (const auto& [text, what] : badTemperatures) {
        put(device + "temp2_input", text);
        EXPECT_EQ(smc->readKey("TC0P"), std::nullopt) << what;
        EXPECT_EQ(smc->cpuTemperatureCelsius(), 45.5) << "the next key is used: " << what;
    }
}

TEST_F(SysfsTree, ATemperatureKeyIsFoundAgainWhenTheSensorsAreRenumbered) {
    const std::string device = platformScheme();
    auto smc = openSmc();
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 48.0);
    put(device + "temp2_label", "TB1T\n");
    put(device + "temp4_label", "TC0P\n");
    put(device + "temp4_input", "50000\n");
    EXPECT_EQ(smc->readKey("TC0P"), (Bytes{0x32, 0x00}));
    put(device + "temp4_label", "TB2T\n");
    put(device + "temp1_label", "TC0P\n");
    EXPECT_EQ(smc->readKey("TC0P"), (Bytes{0x1E, 0x00}));
    put(device + "temp1_label", "TB0T\n");
    EXPECT_EQ(smc->readKey("TC0P"), std::nullopt);
}

TEST_F(SysfsTree, AFolderThatVanishesFailsEveryKeyWithoutACrash) {
    platformScheme();
    auto smc = openSmc();
    ASSERT_TRUE(smc->isAvailable());
    fs::remove_all(root / "devices");
    EXPECT_EQ(smc->readKey("FNum"), std::nullopt);
    EXPECT_EQ(smc->rpm("F0Ac"), std::nullopt);
    EXPECT_EQ(smc->cpuTemperatureCelsius(), std::nullopt);
    EXPECT_FALSE(smc->setFanTargetRPM(0, 2000));
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    EXPECT_FALSE(fs::exists(root / "devices")) << "nothing is created";
}

TEST_F(SysfsTree, AWriteTheKernelRefusesFails) {
    const std::string device = platformScheme();
    auto smc = openSmc();
    // A folder in a file's place cannot be written, even by root; the fan is not left manual.
    fs::remove(root / device / "fan1_output");
    fs::create_directory(root / device / "fan1_output");
    EXPECT_FALSE(smc->setFanTargetRPM(0, 2000));
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n");

    fs::remove(root / device / "fan2_manual");
    fs::create_directory(root / device / "fan2_manual");
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n") << "the other fans are still handed back";

    // Files only root may write: an ordinary user's write is refused for want of rights, which
    // is what sends it to the privileged helper. As root, the test makes itself such a user.
    put(device + "fan1_manual", "0\n");
    fs::remove_all(root / device / "fan1_output");
    put(device + "fan1_output", "1200\n");
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    const bool asRoot = geteuid() == 0;
    if (!asRoot) {
        for (const char* file : {"fan1_output", "fan1_manual"}) {
            fs::permissions(root / device / file, fs::perms::owner_read);
        }
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (asRoot && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        const bool refused =
            smc->setFanTargetRPM(0, 2000) == LegacySMCWriteResult::notPermitted &&
            smc->writeKey("FS! ", "ui8 ", {0x00}) == LegacySMCWriteResult::notPermitted;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(contents(device + "fan1_output"), "1200\n");
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n");
}

TEST_F(SysfsTree, ALinkOrAFifoInAFilesPlaceIsNeitherFollowedNorWaitedOn) {
    const std::string device = platformScheme();
    const fs::path victim = root / "victim";
    put("victim", "precious\n");
    auto smc = openSmc();

    fs::remove(root / device / "fan1_output");
    fs::create_symlink(victim, root / device / "fan1_output");
    EXPECT_FALSE(smc->setFanTargetRPM(0, 2500));
    EXPECT_EQ(contents("victim"), "precious\n");
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n") << "the fan is handed back";

    put(device + "fan1_manual", "1\n");
    fs::remove(root / device / "fan2_manual");
    fs::create_symlink(victim, root / device / "fan2_manual");
    EXPECT_FALSE(smc->writeKey("FS! ", "ui8 ", {0x00}));
    EXPECT_EQ(contents("victim"), "precious\n");
    EXPECT_EQ(contents(device + "fan1_manual"), "0\n");

    put("hot", "90000\n");
    fs::remove(root / device / "temp2_input");
    fs::create_symlink(root / "hot", root / device / "temp2_input");
    EXPECT_EQ(smc->readKey("TC0P"), std::nullopt);
    EXPECT_EQ(smc->cpuTemperatureCelsius(), 45.5);

    // No writer will ever come: a read that waited would never end.
    fs::remove(root / device / "fan1_input");
    ASSERT_EQ(mkfifo((root / device / "fan1_input").c_str(), 0600), 0);
    EXPECT_EQ(smc->rpm("F0Ac"), std::nullopt);
    EXPECT_EQ(smc->readKey("FNum"), Bytes{2});
    fs::remove(root / device / "fan2_output");
    ASSERT_EQ(mkfifo((root / device / "fan2_output").c_str(), 0600), 0);
    EXPECT_FALSE(smc->setFanTargetRPM(1, 2500));
    // Nor is one written that has a reader on its other end, which would take the target.
    fs::remove(root / device / "fan2_manual");
    put(device + "fan2_manual", "0\n");
    const int reader = open((root / device / "fan2_output").c_str(), O_RDWR | O_NONBLOCK);
    EXPECT_FALSE(smc->setFanTargetRPM(1, 2500));
    char taken[8];
    EXPECT_EQ(read(reader, taken, sizeof taken), -1) << "the target went into the FIFO";
    close(reader);
}

// A file of another file system mounted in a driver file's place is not the driver's.
TEST_F(SysfsTree, AFileMountedFromAnotherFileSystemIsNotRead) {
    const std::string device = platformScheme();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const fs::path elsewhere = root / "elsewhere";
        fs::create_directory(elsewhere);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_PRIVATE | MS_REC, nullptr) ||
            mount("tmpfs", elsewhere.c_str(), "tmpfs", 0, nullptr) != 0) {
            _exit(77);
        }
        std::ofstream(elsewhere / "fan") << "4321\n";
        if (mount((elsewhere / "fan").c_str(), (root / device / "fan1_input").c_str(), nullptr,
                  MS_BIND, nullptr) != 0) {
            _exit(77);
        }
        auto smc = openSmc();
        _exit(smc->rpm("F0Ac") == std::nullopt && smc->rpm("F0Mn") == 1200 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no mount namespace here";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SysfsTree, AFanWithoutAManualSwitchTakesNoTarget) {
    const std::string device = platformScheme();
    fs::remove(root / device / "fan1_manual");
    auto smc = openSmc();
    EXPECT_FALSE(smc->setFanTargetRPM(0, 2000));
    EXPECT_EQ(contents(device + "fan1_output"), "1200\n");
}

}  // namespace
