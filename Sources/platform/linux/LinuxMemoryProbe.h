#pragma once

#include <cstddef>
#include <cstdint>
#include "../MemoryProbe.h"
#include "LinuxMeminfo.h"

namespace platform {

// Memory figures from one read of /proc/meminfo, taken when the probe is made, answered in
// the shape of the Mach host statistics and the swap-usage sysctl:
// active = Active; wired = Unevictable + SUnreclaim + KernelStack + PageTables;
// compressor = Zswap; physical memory = MemTotal; swap in use = SwapTotal - SwapFree.
class LinuxMemoryProbe final : public MemoryProbe {
  public:
    explicit LinuxMemoryProbe(const char* meminfoPath = "/proc/meminfo");

    int pageSize() override;
    std::uint64_t physicalMemory() override;
    int hostStatistics64(int flavor, std::uint32_t* info, std::uint32_t* count) override;
    int sysctl(const int* name, unsigned nameLength, void* oldValue, std::size_t* oldLength,
               const void* newValue, std::size_t newLength) override;

    // The most of /proc/meminfo that is read; the file is about a fifth of this.
    static constexpr std::size_t kReadLimit = 8192;

  private:
    bool readable_ = false;
    LinuxMeminfo meminfo_;
};

}  // namespace platform
