#include "AppleSmcSysfsClient.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../posix/RealPath.h"
#include "KernelFiles.h"

namespace platform {

namespace {

// The most fans and temperature sensors looked for.
constexpr int kMostFans = 255;
constexpr int kMostTemperatures = 255;
// Above this, a temperature in millidegrees does not fit unsigned 8.8.
constexpr long long kMostMillidegrees = 255996;

bool isDirectory(const std::string& path) {
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* directory = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(directory);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A decimal integer with optional blanks around it and an optional minus sign.
std::optional<long long> parseInteger(const std::string& text) {
    std::size_t i = 0;
    const std::size_t end = text.find_last_not_of(" \t") + 1;
    while (i < end && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    const bool negative = i < end && text[i] == '-';
    if (negative) {
        ++i;
    }
    const std::size_t digits = end > i ? end - i : 0;
    if (digits == 0 || digits > 18) {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

bool hasSensorFiles(const std::string& folder) {
    return kernel_files::exists(folder + "/fan1_input") ||
           kernel_files::exists(folder + "/temp1_input");
}

std::string fanFile(int fan, const char* name) {
    return "fan" + std::to_string(fan) + "_" + name;
}

}  // namespace

AppleSmcSysfsClient::AppleSmcSysfsClient(std::string sysfsRoot) : root_(std::move(sysfsRoot)) {}

std::string AppleSmcSysfsClient::findFolder() const {
    // The platform device of older kernels, then the driver's ACPI and platform devices.
    std::vector<std::string> devices = {root_ + "/devices/platform/applesmc.768"};
    const std::string acpiDriver = root_ + "/bus/acpi/drivers/applesmc";
    for (const std::string& name : entriesOf(acpiDriver)) {
        if (name.find(':') != std::string::npos) {
            devices.push_back(acpiDriver + "/" + name);
        }
    }
    const std::string platformDriver = root_ + "/bus/platform/drivers/applesmc";
    for (const std::string& name : entriesOf(platformDriver)) {
        if (name.rfind("applesmc", 0) == 0) {
            devices.push_back(platformDriver + "/" + name);
        }
    }

    for (const std::string& device : devices) {
        if (!isDirectory(device)) {
            continue;
        }
        if (hasSensorFiles(device)) {
            return device;
        }
        // Newer kernels keep the files in the device's hwmon folder.
        for (const std::string& name : entriesOf(device + "/hwmon")) {
            const std::string hwmon = device + "/hwmon/" + name;
            if (name.rfind("hwmon", 0) == 0 && hasSensorFiles(hwmon)) {
                return hwmon;
            }
        }
        return device;
    }
    return {};
}

// The driver's folder, resolved, when it lies under the root; empty otherwise.
std::string AppleSmcSysfsClient::checkedFolder() const {
    const std::string root = posix::realPath(root_);
    const std::string folder = posix::realPath(findFolder());
    if (root.empty() || folder.empty() || folder.rfind(root == "/" ? root : root + "/", 0) != 0) {
        return {};
    }
    return folder;
}

bool AppleSmcSysfsClient::findDevice() {
    // The folder is resolved and must lie under the root; its files are then taken only from
    // the file system the root is (sysfs on a real machine), and never through a link.
    const std::string folder = checkedFolder();
    if (folder.empty()) {
        return false;
    }
    fileSystem_ = kernel_files::fileSystemType(posix::realPath(root_));
    if (fileSystem_ == kernel_files::kAnyFileSystem) {
        return false;
    }
    folder_ = folder;
    return true;
}

// Whether the folder, found gone, lies elsewhere now with its files; looked for at most once a
// second.
bool AppleSmcSysfsClient::foundElsewhere() {
    constexpr std::chrono::seconds kBetweenLooks{1};
    const auto now = std::chrono::steady_clock::now();
    if (isDirectory(folder_) || (lastLook_ && now - *lastLook_ < kBetweenLooks)) {
        return false;
    }
    lastLook_ = now;
    const std::string folder = checkedFolder();
    if (folder.empty() || !hasSensorFiles(folder)) {
        return false;
    }
    folder_ = folder;
    return true;
}

// A write the kernel refused: for want of the rights to make it, or for anything else.
KernReturn AppleSmcSysfsClient::refusal(int error) {
    return error == EACCES || error == EPERM ? kNotPrivileged : kRefused;
}

// The text of a small file of the driver without its line end; nothing when it cannot be read
// or is longer than any value the driver writes.
std::optional<std::string> AppleSmcSysfsClient::readText(const std::string& file) const {
    char buffer[64];
    const long length = kernel_files::read(path(file).c_str(), buffer, sizeof buffer, fileSystem_);
    if (length < 0 || static_cast<std::size_t>(length) == sizeof buffer) {
        return std::nullopt;
    }
    std::string text(buffer, static_cast<std::size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::optional<long long> AppleSmcSysfsClient::readInteger(const std::string& file) const {
    const auto text = readText(file);
    return text ? parseInteger(*text) : std::nullopt;
}

int AppleSmcSysfsClient::writeText(const std::string& file, const std::string& text) const {
    return kernel_files::write(path(file), text, fileSystem_);
}

bool AppleSmcSysfsClient::exists(const std::string& file) const {
    return kernel_files::exists(path(file));
}

int AppleSmcSysfsClient::fanCount() const {
    int count = 0;
    while (count < kMostFans && exists(fanFile(count + 1, "input"))) {
        ++count;
    }
    return count;
}

std::optional<int> AppleSmcSysfsClient::temperatureIndex(const std::string& key) {
    const auto labelOf = [this](int index) {
        return readText("temp" + std::to_string(index) + "_label");
    };
    const auto cached = temperatureIndexes_.find(key);
    if (cached != temperatureIndexes_.end()) {
        if (labelOf(cached->second) == key) {
            return cached->second;
        }
        temperatureIndexes_.erase(cached);
    }
    for (int index = 1; index <= kMostTemperatures; ++index) {
        const auto label = labelOf(index);
        if (!label) {
            break;
        }
        if (*label == key) {
            temperatureIndexes_[key] = index;
            return index;
        }
    }
    return std::nullopt;
}

KernReturn AppleSmcSysfsClient::readKey(const std::string& key, std::uint32_t& length,
                                        std::uint8_t* payload) {
    const KernReturn result = readFromFolder(key, length, payload);
    return result != kKernSuccess && foundElsewhere() ? readFromFolder(key, length, payload)
                                                      : result;
}

KernReturn AppleSmcSysfsClient::readFromFolder(const std::string& key, std::uint32_t& length,
                                               std::uint8_t* payload) {
    if (key == "FNum") {
        if (!isDirectory(folder_)) {
            return kUnreadable;
        }
        payload[0] = static_cast<std::uint8_t>(fanCount());
        length = 1;
        return kKernSuccess;
    }

    const char* speedFile = nullptr;
    int index = -1;
    if ((index = fanIndex(key, "Ac")) >= 0) {
        speedFile = "input";
    } else if ((index = fanIndex(key, "Mn")) >= 0) {
        speedFile = "min";
    } else if ((index = fanIndex(key, "Mx")) >= 0) {
        speedFile = "max";
    }
    if (speedFile != nullptr) {
        const auto rpm = readInteger(fanFile(index + 1, speedFile));
        if (!rpm || *rpm < 0 || *rpm > 0xFFFF) {
            return kUnreadable;
        }
        putUint16(static_cast<std::uint32_t>(*rpm), length, payload);
        return kKernSuccess;
    }

    if (key[0] == 'T') {
        const auto sensor = temperatureIndex(key);
        if (!sensor) {
            return kKeyNotFound;
        }
        const auto millidegrees = readInteger("temp" + std::to_string(*sensor) + "_input");
        if (!millidegrees || *millidegrees < 0 || *millidegrees > kMostMillidegrees) {
            return kUnreadable;
        }
        putUint16(static_cast<std::uint32_t>((*millidegrees * 256 + 500) / 1000), length, payload);
        return kKernSuccess;
    }
    return kKeyNotFound;
}

int AppleSmcSysfsClient::writeManualSwitch(int fan, bool manual) const {
    const std::string manualFile = fanFile(fan, "manual");
    if (exists(manualFile)) {
        return writeText(manualFile, manual ? "1\n" : "0\n");
    }
    // The hwmon switch: 1 is manual, 2 the SMC's own control (0 would mean full speed).
    const std::string enableFile = "pwm" + std::to_string(fan) + "_enable";
    if (exists(enableFile)) {
        return writeText(enableFile, manual ? "1\n" : "2\n");
    }
    return ENOENT;
}

KernReturn AppleSmcSysfsClient::writeKey(const std::string& key, std::uint32_t length,
                                         const std::uint8_t* payload) {
    if (const int index = fanIndex(key, "Tg"); index >= 0) {
        const int fan = index + 1;
        if (length != 2) {
            return kBadArgument;
        }
        if (!exists(fanFile(fan, "input"))) {
            return kKeyNotFound;
        }
        std::string targetFile = fanFile(fan, "output");
        if (!exists(targetFile)) {
            targetFile = fanFile(fan, "target");
        }
        if (!exists(targetFile)) {
            return kRefused;
        }
        if (const int error = writeManualSwitch(fan, true); error != 0) {
            return refusal(error);
        }
        const int rpm = payload[0] * 256 + payload[1];
        const int error = writeText(targetFile, std::to_string(rpm) + "\n");
        if (error == 0) {
            return kKernSuccess;
        }
        // A fan left in manual at its old target would stay so after the window is gone.
        writeManualSwitch(fan, false);
        return refusal(error);
    }

    if (key == "FS! ") {
        const bool handBack = (length == 1 || length == 2) &&
                              std::all_of(payload, payload + length, [](auto b) { return b == 0; });
        if (!handBack) {
            return kBadArgument;
        }
        if (!isDirectory(folder_)) {
            return kRefused;
        }
        // Every fan is handed back even when one of them refuses.
        int firstError = 0;
        for (int fan = 1, count = fanCount(); fan <= count; ++fan) {
            const int error = writeManualSwitch(fan, false);
            firstError = firstError != 0 ? firstError : error;
        }
        return firstError == 0 ? kKernSuccess : refusal(firstError);
    }
    return kKeyNotFound;
}

std::unique_ptr<SmcUserClient> makeDirectSmcUserClient() {
    return std::make_unique<AppleSmcSysfsClient>();
}

}  // namespace platform
