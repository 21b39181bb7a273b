#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

// The buffer a snapshot hands to host_statistics64: 62 32-bit words, zero-filled. It is larger
// than the vm_statistics64 record the kernel writes into its start (38 words on macOS 10.15 and
// later); the words past the record stay zero. Only three words are read, at the byte offsets of
// active_count (4), wire_count (12) and compressor_page_count (128).
constexpr int kHostVmInfo64 = 4;
constexpr std::uint32_t kHostVmInfo64Count = 62;
constexpr std::size_t kActiveCountWord = 4 / 4;
constexpr std::size_t kWireCountWord = 12 / 4;
constexpr std::size_t kCompressorPageCountWord = 128 / 4;

// The sysctl name of the swap usage figure: {CTL_VM, VM_SWAPUSAGE}.
constexpr int kCtlVm = 2;
constexpr int kVmSwapUsage = 5;

// The swap usage record that sysctl fills.
struct XswUsage {
    std::uint64_t xsu_total;
    std::uint64_t xsu_avail;
    std::uint64_t xsu_used;
    std::uint32_t xsu_pagesize;
    std::uint32_t xsu_encrypted;
};
static_assert(sizeof(XswUsage) == 32, "xsw_usage is 32 bytes");

// The memory figures of the machine, one function per platform call a snapshot makes.
// A probe may take its reading when it is made; make a fresh one for each snapshot.
class MemoryProbe {
  public:
    virtual ~MemoryProbe() = default;

    // getpagesize(): the virtual-memory page size in bytes.
    virtual int pageSize() = 0;
    // Physical memory in bytes.
    virtual std::uint64_t physicalMemory() = 0;
    // host_statistics64 on this host: fills `info` (up to *count words) and returns 0 on success.
    virtual int hostStatistics64(int flavor, std::uint32_t* info, std::uint32_t* count) = 0;
    // sysctl: reads the value named by `name` into `oldValue`; returns 0 on success.
    virtual int sysctl(const int* name, unsigned nameLength, void* oldValue, std::size_t* oldLength,
                       const void* newValue, std::size_t newLength) = 0;
};

// A probe of this machine, holding one reading.
std::unique_ptr<MemoryProbe> makeMemoryProbe();

}  // namespace platform
