// The memory probe of macOS: the Mach host statistics, the swap-usage sysctl and hw.memsize.

#include <mach/mach.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../MemoryProbe.h"

namespace platform {

namespace {

class DarwinMemoryProbe final : public MemoryProbe {
  public:
    int pageSize() override { return ::getpagesize(); }

    std::uint64_t physicalMemory() override {
        std::uint64_t bytes = 0;
        std::size_t length = sizeof bytes;
        if (::sysctlbyname("hw.memsize", &bytes, &length, nullptr, 0) != 0 ||
            length != sizeof bytes) {
            return 0;
        }
        return bytes;
    }

    int hostStatistics64(int flavor, std::uint32_t* info, std::uint32_t* count) override {
        mach_msg_type_number_t machCount = *count;
        const kern_return_t result =
            ::host_statistics64(host(), flavor, reinterpret_cast<host_info64_t>(info), &machCount);
        *count = machCount;
        return result;
    }

    int sysctl(const int* name, unsigned nameLength, void* oldValue, std::size_t* oldLength,
               const void* newValue, std::size_t newLength) override {
        return ::sysctl(const_cast<int*>(name), nameLength, oldValue, oldLength,
                        const_cast<void*>(newValue), newLength);
    }

  private:
    // The host port, taken once for the whole run: each mach_host_self() adds a reference to it
    // that would otherwise have to be given back.
    static host_t host() {
        static const host_t port = ::mach_host_self();
        return port;
    }
};

static_assert(sizeof(xsw_usage) == sizeof(XswUsage), "xsw_usage is 32 bytes");
// The words a snapshot reads are those of the fields the system means, and the kernel's record
// fits the buffer.
static_assert(offsetof(vm_statistics64, active_count) == 4 * kActiveCountWord,
              "active_count is the word read");
static_assert(offsetof(vm_statistics64, wire_count) == 4 * kWireCountWord,
              "wire_count is the word read");
static_assert(offsetof(vm_statistics64, compressor_page_count) == 4 * kCompressorPageCountWord,
              "compressor_page_count is the word read");
static_assert(HOST_VM_INFO64_COUNT <= kHostVmInfo64Count, "the record fits the buffer");

}  // namespace

std::unique_ptr<MemoryProbe> makeMemoryProbe() {
    return std::make_unique<DarwinMemoryProbe>();
}

}  // namespace platform
