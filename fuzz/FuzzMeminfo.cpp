// The Linux memory probe over any /proc/meminfo text: the input becomes the file it reads.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "LegacyMemory.h"
#include "platform/linux/LinuxMeminfo.h"
#include "platform/linux/LinuxMemoryProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const platform::LinuxMeminfo meminfo = platform::LinuxMeminfo::parse(text);
    for (unsigned field = 0; field < platform::LinuxMeminfo::FieldCount; ++field) {
        if (!meminfo.has(static_cast<platform::LinuxMeminfo::Field>(field)) &&
            meminfo.kilobytes[field] != 0) {
            __builtin_trap();
        }
    }

    static const int file = memfd_create("meminfo", 0);
    if (file < 0 || ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != ssize_t(size)) {
        return 0;
    }
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    platform::LinuxMemoryProbe probe(path.c_str());
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot(probe);
    if (snapshot.totalBytes == 0 && snapshot.usedPercent != 0.0) {
        __builtin_trap();
    }
    return 0;
}
