// The memory probe of macOS: the Mach host statistics, the swap-usage sysctl and hw.memsize.

#include <mach/mach.h>
#include <sys/sysctl.h>
#include <unistd.h>

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
        const kern_return_t result = ::host_statistics64(
            ::mach_host_self(), flavor, reinterpret_cast<host_info64_t>(info), &machCount);
        *count = machCount;
        return result;
    }

    int sysctl(const int* name, unsigned nameLength, void* oldValue, std::size_t* oldLength,
               const void* newValue, std::size_t newLength) override {
        return ::sysctl(const_cast<int*>(name), nameLength, oldValue, oldLength,
                        const_cast<void*>(newValue), newLength);
    }
};

static_assert(sizeof(xsw_usage) == sizeof(XswUsage), "xsw_usage is 32 bytes");

}  // namespace

std::unique_ptr<MemoryProbe> makeMemoryProbe() {
    return std::make_unique<DarwinMemoryProbe>();
}

}  // namespace platform
