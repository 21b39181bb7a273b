#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef __APPLE__
#include <mach/mach.h>
#endif

#include "LegacyMemory.h"
#include "platform/MemoryProbe.h"

namespace {

// A probe that answers with set figures and records how it was asked.
class FakeMemoryProbe : public platform::MemoryProbe {
  public:
    int pageBytes = 4096;
    std::uint64_t physicalBytes = 17179869184ULL;
    int hostResult = 0;
    std::uint32_t active = 0, wired = 0, compressor = 0;
    int sysctlResult = 0;
    std::uint64_t swapUsed = 0;

    std::vector<std::string> calls;
    bool hostBufferWasZeroed = false;
    std::uint32_t hostCountOnEntry = 0;
    int hostFlavor = -1;
    std::vector<int> sysctlName;
    std::size_t sysctlLengthOnEntry = 0;
    bool sysctlBufferWasZeroed = false;
    bool sysctlHadNewValue = true;

    int pageSize() override {
        calls.push_back("pageSize");
        return pageBytes;
    }
    std::uint64_t physicalMemory() override {
        calls.push_back("physicalMemory");
        return physicalBytes;
    }
    int hostStatistics64(int flavor, std::uint32_t* info, std::uint32_t* count) override {
        calls.push_back("hostStatistics64");
        hostFlavor = flavor;
        hostCountOnEntry = *count;
        hostBufferWasZeroed = true;
        for (std::uint32_t i = 0; i < *count; ++i) {
            hostBufferWasZeroed = hostBufferWasZeroed && info[i] == 0;
        }
        if (hostResult == 0) {
            std::memcpy(reinterpret_cast<std::uint8_t*>(info) + 4, &active, 4);
            std::memcpy(reinterpret_cast<std::uint8_t*>(info) + 12, &wired, 4);
            std::memcpy(reinterpret_cast<std::uint8_t*>(info) + 128, &compressor, 4);
            // Words the snapshot must not count.
            info[0] = 111111;  // free
            info[2] = 222222;  // inactive
        }
        return hostResult;
    }
    int sysctl(const int* name, unsigned nameLength, void* oldValue, std::size_t* oldLength,
               const void* newValue, std::size_t newLength) override {
        calls.push_back("sysctl");
        sysctlName.assign(name, name + nameLength);
        sysctlLengthOnEntry = *oldLength;
        sysctlHadNewValue = newValue != nullptr || newLength != 0;
        const auto* bytes = static_cast<const std::uint8_t*>(oldValue);
        sysctlBufferWasZeroed =
            std::all_of(bytes, bytes + *oldLength, [](auto b) { return b == 0; });
        if (sysctlResult == 0) {
            platform::XswUsage usage{};
            usage.xsu_total = 999;
            usage.xsu_avail = 888;
            usage.xsu_used = swapUsed;
            std::memcpy(oldValue, &usage, sizeof usage);
        }
        return sysctlResult;
    }
};

TEST(MemorySnapshot, CountsActiveWiredAndCompressorPages) {
    FakeMemoryProbe probe;
    probe.active = 100000;
    probe.wired = 50000;
    probe.compressor = 25000;
    probe.swapUsed = 536870912;
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot(probe);
    EXPECT_EQ(snapshot.totalBytes, 17179869184ULL);
    EXPECT_EQ(snapshot.usedBytes, 716800000ULL);
    EXPECT_EQ(snapshot.swapUsedBytes, 536870912ULL);
    EXPECT_DOUBLE_EQ(snapshot.usedPercent, 4.172325134277344);
}

TEST(MemorySnapshot, AsksTheProbeInOrderWithZeroedBuffers) {
    FakeMemoryProbe probe;
    LegacyMemory::snapshot(probe);
    const std::vector<std::string> expected = {"pageSize", "physicalMemory", "hostStatistics64",
                                               "sysctl"};
    EXPECT_EQ(probe.calls, expected);
    EXPECT_EQ(probe.hostFlavor, 4);
    EXPECT_EQ(probe.hostCountOnEntry, 62u);
    EXPECT_TRUE(probe.hostBufferWasZeroed);
    EXPECT_EQ(probe.sysctlName, (std::vector<int>{2, 5}));
    EXPECT_EQ(probe.sysctlLengthOnEntry, 32u);
    EXPECT_TRUE(probe.sysctlBufferWasZeroed);
    EXPECT_FALSE(probe.sysctlHadNewValue);
}

TEST(MemorySnapshot, AFailedHostQueryGivesZerosBesideTheTotalAndSkipsSwap) {
    FakeMemoryProbe probe;
    probe.active = 100000;
    probe.swapUsed = 4096;
    probe.hostResult = 5;
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot(probe);
    EXPECT_EQ(snapshot.totalBytes, 17179869184ULL);
    EXPECT_EQ(snapshot.usedBytes, 0u);
    EXPECT_EQ(snapshot.swapUsedBytes, 0u);
    EXPECT_EQ(snapshot.usedPercent, 0.0);
    EXPECT_EQ(probe.calls.back(), "hostStatistics64");
}

TEST(MemorySnapshot, AFailedSwapQueryZeroesSwapAlone) {
    FakeMemoryProbe probe;
    probe.active = 262144;
    probe.swapUsed = 4096;
    probe.sysctlResult = -1;
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot(probe);
    EXPECT_EQ(snapshot.swapUsedBytes, 0u);
    EXPECT_EQ(snapshot.usedBytes, 1073741824ULL);
    EXPECT_DOUBLE_EQ(snapshot.usedPercent, 6.25);
}

TEST(MemorySnapshot, NoPhysicalMemoryGivesZeroPercentWithoutDividing) {
    FakeMemoryProbe probe;
    probe.physicalBytes = 0;
    probe.active = 10;
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot(probe);
    EXPECT_EQ(snapshot.usedBytes, 40960u);
    EXPECT_EQ(snapshot.usedPercent, 0.0);
}

TEST(MemorySnapshot, UsesSixtyFourBitArithmeticAndDoesNotClamp) {
    FakeMemoryProbe probe;
    probe.pageBytes = 16384;
    probe.active = 0xFFFFFFFFu;
    probe.wired = 0xFFFFFFFFu;
    probe.compressor = 0xFFFFFFFFu;
    probe.physicalBytes = 1ULL << 30;
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot(probe);
    EXPECT_EQ(snapshot.usedBytes, 3ULL * 0xFFFFFFFFULL * 16384ULL);
    EXPECT_GT(snapshot.usedPercent, 100.0);
}

TEST(MemorySnapshot, ANonPositivePageSizeCountsNothing) {
    FakeMemoryProbe probe;
    probe.pageBytes = -4096;
    probe.active = 100;
    EXPECT_EQ(LegacyMemory::snapshot(probe).usedBytes, 0u);
}

TEST(MemorySnapshot, OfThisMachineIsPlausible) {
    const LegacyMemorySnapshot snapshot = LegacyMemory::snapshot();
    EXPECT_GT(snapshot.totalBytes, 0u);
    EXPECT_GT(snapshot.usedBytes, 0u);
    EXPECT_LT(snapshot.usedBytes, snapshot.totalBytes);
    EXPECT_GT(snapshot.usedPercent, 0.0);
    EXPECT_LT(snapshot.usedPercent, 100.0);
}

#ifdef __APPLE__
// This Mac's own figures: the whole of hw.memsize (a 32-bit read of it gives nothing), and every
// reading through the one host port, taken once, so that the port's references do not grow.
TEST(MemorySnapshot, ThisMacsFiguresComeThroughOneHostPort) {
    const LegacyMemorySnapshot first = LegacyMemory::snapshot();
    EXPECT_GT(first.totalBytes, 0u);
    EXPECT_GT(first.usedBytes, 0u);
    const mach_port_t host = mach_host_self();
    mach_port_urefs_t before = 0;
    mach_port_urefs_t after = 0;
    ASSERT_EQ(mach_port_get_refs(mach_task_self(), host, MACH_PORT_RIGHT_SEND, &before),
              KERN_SUCCESS);
    for (int i = 0; i < 20; ++i) {
        LegacyMemory::snapshot();
    }
    ASSERT_EQ(mach_port_get_refs(mach_task_self(), host, MACH_PORT_RIGHT_SEND, &after),
              KERN_SUCCESS);
    EXPECT_EQ(after, before) << "the host port taken anew for each reading";
    mach_port_deallocate(mach_task_self(), host);
}
#endif

}  // namespace
