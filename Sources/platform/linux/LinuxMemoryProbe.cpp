#include "LinuxMemoryProbe.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "KernelFiles.h"

namespace platform {

namespace {

constexpr int kKernSuccess = 0;
constexpr int kKernInvalidArgument = 4;
constexpr int kKernFailure = 5;

constexpr std::uint64_t kMaxKilobytes = std::numeric_limits<std::uint64_t>::max() / 1024;

// A figure in kB as a count of pages; false when it does not fit a 32-bit page count.
bool toPages(std::uint64_t kilobytes, std::uint64_t pageKilobytes, std::uint32_t& pages) {
    const std::uint64_t count = kilobytes / pageKilobytes;
    if (count > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    pages = static_cast<std::uint32_t>(count);
    return true;
}

}  // namespace

LinuxMemoryProbe::LinuxMemoryProbe(const char* meminfoPath) {
    // A regular file only: a FIFO in its place must not hold the window.
    char buffer[kReadLimit];
    const long length =
        kernel_files::read(meminfoPath, buffer, sizeof buffer, kernel_files::kAnyFileSystem);
    if (length > 0) {
        readable_ = true;
        meminfo_ = LinuxMeminfo::parse(std::string_view(buffer, static_cast<std::size_t>(length)));
    }
}

int LinuxMemoryProbe::pageSize() {
    return ::getpagesize();
}

std::uint64_t LinuxMemoryProbe::physicalMemory() {
    if (meminfo_.has(LinuxMeminfo::MemTotal)) {
        const std::uint64_t kilobytes = meminfo_.value(LinuxMeminfo::MemTotal);
        return kilobytes <= kMaxKilobytes ? kilobytes * 1024 : 0;
    }
    // Without the file the kernel still tells how much there is (glibc asks sysinfo).
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long bytesPerPage = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || bytesPerPage <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(bytesPerPage);
}

int LinuxMemoryProbe::hostStatistics64(int flavor, std::uint32_t* info, std::uint32_t* count) {
    if (flavor != kHostVmInfo64 || info == nullptr || count == nullptr ||
        *count <= kCompressorPageCountWord) {
        return kKernInvalidArgument;
    }
    const int bytesPerPage = pageSize();
    if (!readable_ || bytesPerPage < 1024) {
        return kKernFailure;
    }
    const auto pageKilobytes = static_cast<std::uint64_t>(bytesPerPage) / 1024;

    std::uint64_t wiredKilobytes = 0;
    for (const auto field : {LinuxMeminfo::Unevictable, LinuxMeminfo::SUnreclaim,
                             LinuxMeminfo::KernelStack, LinuxMeminfo::PageTables}) {
        const std::uint64_t part = meminfo_.value(field);
        wiredKilobytes =
            part > kMaxKilobytes - wiredKilobytes ? kMaxKilobytes : wiredKilobytes + part;
    }

    // A count too large for its 32-bit word is not a reading: it stays zero, as a field the
    // kernel leaves unfilled does.
    std::uint32_t pages = 0;
    if (toPages(meminfo_.value(LinuxMeminfo::Active), pageKilobytes, pages)) {
        info[kActiveCountWord] = pages;
    }
    if (toPages(wiredKilobytes, pageKilobytes, pages)) {
        info[kWireCountWord] = pages;
    }
    if (toPages(meminfo_.value(LinuxMeminfo::Zswap), pageKilobytes, pages)) {
        info[kCompressorPageCountWord] = pages;
    }
    *count = kCompressorPageCountWord + 1;
    return kKernSuccess;
}

int LinuxMemoryProbe::sysctl(const int* name, unsigned nameLength, void* oldValue,
                             std::size_t* oldLength, const void* newValue, std::size_t newLength) {
    if (name == nullptr || nameLength != 2 || name[0] != kCtlVm || name[1] != kVmSwapUsage ||
        oldValue == nullptr || oldLength == nullptr || *oldLength < sizeof(XswUsage) ||
        newValue != nullptr || newLength != 0) {
        return -1;
    }
    if (!readable_ || !meminfo_.has(LinuxMeminfo::SwapTotal) ||
        !meminfo_.has(LinuxMeminfo::SwapFree)) {
        return -1;
    }
    const std::uint64_t total = meminfo_.value(LinuxMeminfo::SwapTotal);
    const std::uint64_t free = meminfo_.value(LinuxMeminfo::SwapFree);
    if (free > total || total > kMaxKilobytes) {
        return -1;
    }
    XswUsage usage{};
    usage.xsu_total = total * 1024;
    usage.xsu_avail = free * 1024;
    usage.xsu_used = (total - free) * 1024;
    usage.xsu_pagesize = static_cast<std::uint32_t>(pageSize());
    std::memcpy(oldValue, &usage, sizeof usage);
    *oldLength = sizeof(XswUsage);
    return 0;
}

std::unique_ptr<MemoryProbe> makeMemoryProbe() {
    return std::make_unique<LinuxMemoryProbe>();
}

}  // namespace platform
