// The applesmc translator over any contents of the driver's files: the input is split at
// 0xFF bytes into the texts of the files, which are rewritten before every run.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "LegacySMC.h"
#include "platform/linux/AppleSmcSysfsClient.h"

namespace {

namespace fs = std::filesystem;

const char* const kFiles[] = {"fan1_input",  "fan1_min",    "fan1_max",    "fan1_manual",
                              "fan1_output", "temp1_label", "temp1_input", "temp2_label",
                              "temp2_input", "fan2_input"};

// A folder of its own under $TMPDIR, made once per run.
const fs::path& root() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "quorvel-fuzz-applesmc-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        return fs::path(made != nullptr ? made : pattern);
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path device = root() / "devices/platform/applesmc.768";
    fs::create_directories(device);
    std::size_t start = 0;
    for (const char* file : kFiles) {
        std::size_t end = start;
        while (end < size && data[end] != 0xFF) {
            ++end;
        }
        std::ofstream(device / file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data) + start,
                   static_cast<std::streamsize>(end - start));
        start = end < size ? end + 1 : size;
    }

    LegacySMC smc(std::make_unique<platform::AppleSmcSysfsClient>(root().string()));
    if (!smc.isAvailable()) {
        __builtin_trap();
    }
    if (const auto count = smc.readKey("FNum")) {
        if (count->size() != 1) {
            __builtin_trap();
        }
    }
    for (const char* key : {"F0Ac", "F0Mn", "F0Mx", "F1Ac"}) {
        if (const auto rpm = smc.rpm(key); rpm && (*rpm < 0 || *rpm > 65535)) {
            __builtin_trap();
        }
    }
    smc.cpuTemperatureCelsius();
    smc.readKey("TB0T");
    smc.setFanTargetRPM(0, 1500);
    smc.writeKey("FS! ", "ui8 ", {0x00});
    return 0;
}
