#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "../SmcKeyDevice.h"

namespace platform {

// The AppleSMC user client on Linux: the kernel's applesmc driver, through its sysfs files.
// Each exchange of the parameter record is answered from the few files it needs, in the
// program's own encodings: the fan count as one byte, fan speeds as plain 16-bit big-endian rpm,
// temperatures as unsigned 8.8 degrees.
//
// Reads: "FNum" counts the fans present; "F<i>Ac", "F<i>Mn", "F<i>Mx" come from fan<i+1>_input,
// _min and _max; a temperature key from the temp<N>_input whose temp<N>_label names it.
// Writes: "F<i>Tg" switches fan <i+1> to manual and sets its target; "FS! " = 0 hands every fan
// back to the SMC. Anything else, or a write the kernel refuses, fails (kNotPrivileged when it is
// refused for want of rights); a target that cannot be written hands its fan back rather than
// leave it in manual at its old speed.
//
// Nothing but a regular file on the root's file system is read or written: no link, no FIFO.
// When the driver is bound again (a resume, a module reload), its hwmon folder comes back under a
// new number: a read that finds the folder gone looks for it again, at most once a second (so
// once a refresh), and reads and writes go where it now lies. What start-up found decides the
// rest: without a driver then, there is none for the whole run.
class AppleSmcSysfsClient final : public SmcKeyDevice {
  public:
    // `sysfsRoot` is where sysfs is mounted: "/sys" but for tests.
    explicit AppleSmcSysfsClient(std::string sysfsRoot = "/sys");

    // The folder of the driver's files once the service is found; empty before or without one.
    const std::string& folder() const { return folder_; }

  private:
    bool findDevice() override;
    KernReturn readKey(const std::string& key, std::uint32_t& length,
                       std::uint8_t* payload) override;
    KernReturn writeKey(const std::string& key, std::uint32_t length,
                        const std::uint8_t* payload) override;
    KernReturn readFromFolder(const std::string& key, std::uint32_t& length, std::uint8_t* payload);
    bool foundElsewhere();
    std::string findFolder() const;
    std::string checkedFolder() const;
    std::optional<std::string> readText(const std::string& file) const;
    std::optional<long long> readInteger(const std::string& file) const;
    int writeText(const std::string& file, const std::string& text) const;
    bool exists(const std::string& file) const;
    std::optional<int> temperatureIndex(const std::string& key);
    int fanCount() const;
    int writeManualSwitch(int fan, bool manual) const;
    static KernReturn refusal(int error);
    std::string path(const std::string& file) const { return folder_ + "/" + file; }

    std::string root_;
    std::string folder_;
    // The type of the file system the root is, the only one files are taken from.
    long fileSystem_ = 0;
    // Which temp<N> carries each temperature key, learnt on first use and checked on each.
    std::map<std::string, int> temperatureIndexes_;
    // When the folder, found gone, was last looked for.
    std::optional<std::chrono::steady_clock::time_point> lastLook_;
};

}  // namespace platform
