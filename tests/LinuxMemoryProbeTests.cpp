#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ios>
#include <string>

#include "LegacyMemory.h"
#include "platform/linux/LinuxMeminfo.h"
#include "platform/linux/LinuxMemoryProbe.h"

namespace {

using platform::LinuxMeminfo;
using platform::LinuxMemoryProbe;

const char* const kSample =
    "MemTotal:       16384000 kB\n"
    "MemFree:         9000000 kB\n"
    "MemAvailable:   12000000 kB\n"
    "Buffers:          100000 kB\n"
    "Cached:          2000000 kB\n"
    "SwapCached:            0 kB\n"
    "Active:          4096000 kB\n"
    "Inactive:        1000000 kB\n"
    "Active(anon):    3000000 kB\n"
    "Active(file):    1096000 kB\n"
    "Unevictable:       40960 kB\n"
    "Mlocked:           40000 kB\n"
    "SwapTotal:       8388608 kB\n"
    "SwapFree:        7864320 kB\n"
    "Zswap:             20480 kB\n"
    "Zswapped:          81920 kB\n"
    "SUnreclaim:       204800 kB\n"
    "KernelStack:       16384 kB\n"
    "PageTables:        65536 kB\n"
    "HugePages_Total:       0\n"
    "Hugepagesize:       2048 kB\n";

class MeminfoFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvel-meminfo-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path = pattern;
    }
    void TearDown() override { std::remove(path.c_str()); }

    // Physical memory as the kernel tells it without /proc/meminfo.
    static std::uint64_t systemTotal() {
        return static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
               static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    }

    void write(const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    LegacyMemorySnapshot snapshotOf(const std::string& text) {
        write(text);
        LinuxMemoryProbe probe(path.c_str());
        return LegacyMemory::snapshot(probe);
    }

    std::string path;
    const std::uint64_t pageKilobytes = static_cast<std::uint64_t>(getpagesize()) / 1024;
};

std::uint64_t pagesAsBytes(std::uint64_t kilobytes, std::uint64_t pageKilobytes) {
    return kilobytes / pageKilobytes * pageKilobytes * 1024;
}

TEST_F(MeminfoFile, ASampleGivesTheFiguresOfTheMapping) {
    const LegacyMemorySnapshot snapshot = snapshotOf(kSample);
    const std::uint64_t wiredKilobytes = 40960 + 204800 + 16384 + 65536;
    EXPECT_EQ(snapshot.totalBytes, 16384000ULL * 1024);
    EXPECT_EQ(snapshot.usedBytes, pagesAsBytes(4096000, pageKilobytes) +
                                      pagesAsBytes(wiredKilobytes, pageKilobytes) +
                                      pagesAsBytes(20480, pageKilobytes));
    EXPECT_EQ(snapshot.swapUsedBytes, (8388608ULL - 7864320ULL) * 1024);
    EXPECT_DOUBLE_EQ(snapshot.usedPercent, static_cast<double>(snapshot.usedBytes) /
                                               static_cast<double>(snapshot.totalBytes) * 100.0);
}

TEST_F(MeminfoFile, AnswersInTheShapeOfTheMachQueries) {
    write(kSample);
    LinuxMemoryProbe probe(path.c_str());
    std::uint32_t info[62] = {};
    std::uint32_t count = 62;
    ASSERT_EQ(probe.hostStatistics64(4, info, &count), 0);
    EXPECT_EQ(info[1], 4096000 / pageKilobytes);
    EXPECT_EQ(info[3], (40960 + 204800 + 16384 + 65536) / pageKilobytes);
    EXPECT_EQ(info[32], 20480 / pageKilobytes);
    EXPECT_EQ(info[0], 0u);
    EXPECT_EQ(info[2], 0u);

    std::uint32_t shortBuffer[8] = {};
    count = 8;
    EXPECT_NE(probe.hostStatistics64(4, shortBuffer, &count), 0);
    count = 32;  // one word short of the compressor's
    EXPECT_NE(probe.hostStatistics64(4, info, &count), 0);
    count = 62;
    EXPECT_NE(probe.hostStatistics64(2, info, &count), 0);

    platform::XswUsage usage{};
    std::size_t length = sizeof usage;
    const int swapName[2] = {2, 5};
    ASSERT_EQ(probe.sysctl(swapName, 2, &usage, &length, nullptr, 0), 0);
    EXPECT_EQ(usage.xsu_total, 8388608ULL * 1024);
    EXPECT_EQ(usage.xsu_avail, 7864320ULL * 1024);
    EXPECT_EQ(usage.xsu_used, 524288ULL * 1024);
    const int otherName[2] = {2, 4};
    EXPECT_NE(probe.sysctl(otherName, 2, &usage, &length, nullptr, 0), 0);
}

TEST_F(MeminfoFile, AnUnreadableFileGivesZerosBesideTheSystemsOwnTotal) {
    const std::uint64_t physical = systemTotal();
    ASSERT_GT(physical, 0u);
    LinuxMemoryProbe missing("/nonexistent/quorvel/meminfo");
    const LegacyMemorySnapshot fromMissing = LegacyMemory::snapshot(missing);
    EXPECT_EQ(fromMissing.totalBytes, physical);
    EXPECT_EQ(fromMissing.usedBytes, 0u);
    EXPECT_EQ(fromMissing.swapUsedBytes, 0u);
    EXPECT_EQ(fromMissing.usedPercent, 0.0);

    const LegacyMemorySnapshot fromEmpty = snapshotOf("");
    EXPECT_EQ(fromEmpty.totalBytes, physical);
    EXPECT_EQ(fromEmpty.usedBytes, 0u);

    LinuxMemoryProbe directory("/tmp");
    EXPECT_EQ(LegacyMemory::snapshot(directory).totalBytes, physical);

    // A FIFO in the file's place, with no writer, is refused at once rather than waited on.
    std::remove(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    LinuxMemoryProbe fifo(path.c_str());
    const LegacyMemorySnapshot fromFifo = LegacyMemory::snapshot(fifo);
    EXPECT_EQ(fromFifo.totalBytes, physical);
    EXPECT_EQ(fromFifo.usedBytes, 0u);
}

TEST_F(MeminfoFile, MissingSwapLinesZeroSwapAlone) {
    const LegacyMemorySnapshot noSwapTotal =
        snapshotOf("MemTotal: 1048576 kB\nActive: 262144 kB\nSwapFree: 10 kB\n");
    EXPECT_EQ(noSwapTotal.swapUsedBytes, 0u);
    EXPECT_EQ(noSwapTotal.usedBytes, pagesAsBytes(262144, pageKilobytes));
    EXPECT_DOUBLE_EQ(noSwapTotal.usedPercent, 25.0);

    // More free than there is: not a reading.
    EXPECT_EQ(snapshotOf("MemTotal: 1048576 kB\nSwapTotal: 10 kB\nSwapFree: 20 kB\n").swapUsedBytes,
              0u);
}

TEST_F(MeminfoFile, MissingUsageLinesCountAsZeroPages) {
    const LegacyMemorySnapshot onlyTotal = snapshotOf("MemTotal: 1048576 kB\n");
    EXPECT_EQ(onlyTotal.totalBytes, 1048576ULL * 1024);
    EXPECT_EQ(onlyTotal.usedBytes, 0u);
    EXPECT_EQ(onlyTotal.usedPercent, 0.0);

    const LegacyMemorySnapshot noZswap =
        snapshotOf("MemTotal: 1048576 kB\nActive: 4096 kB\nKernelStack: 4096 kB\n");
    EXPECT_EQ(noZswap.usedBytes, pagesAsBytes(4096, pageKilobytes) * 2);
}

TEST_F(MeminfoFile, ATruncatedFileLosesOnlyTheLineThatWasCut) {
    const LegacyMemorySnapshot snapshot =
        snapshotOf("MemTotal: 1048576 kB\nActive: 4096 kB\nKernelStack: 40");
    EXPECT_EQ(snapshot.totalBytes, 1048576ULL * 1024);
    EXPECT_EQ(snapshot.usedBytes, pagesAsBytes(4096, pageKilobytes));

    EXPECT_EQ(snapshotOf("MemTot").totalBytes, systemTotal()) << "no MemTotal: the system's";
}

TEST(LinuxMeminfoParse, GarbledValuesAreAbsent) {
    const LinuxMeminfo meminfo = LinuxMeminfo::parse(
        "MemTotal: lots kB\n"
        "Active: 12x kB\n"
        "Unevictable: -5 kB\n"
        "SUnreclaim: 99999999999999999999999 kB\n"
        "Zswap: 18446744073709551616 kB\n"  // 2^64: one past the largest, not 0
        "KernelStack: 16 MB\n"
        "PageTables:\n"
        "Zswap 1000 kB\n"
        ": 1000 kB\n"
        "SwapTotal: 1 2 kB\n"
        "SwapFree:\t\t7 kB \n");
    EXPECT_EQ(meminfo.presentMask, 1U << LinuxMeminfo::SwapFree);
    EXPECT_EQ(meminfo.value(LinuxMeminfo::SwapFree), 7u);
    EXPECT_EQ(meminfo.value(LinuxMeminfo::MemTotal), 0u);
}

TEST(LinuxMeminfoParse, TakesTheFirstGoodLineOfEachNameAndMatchesNamesExactly) {
    const LinuxMeminfo meminfo = LinuxMeminfo::parse(
        "Active(anon): 1 kB\n"
        "Active: bad\n"
        "Active: 20 kB\n"
        "Active: 30 kB\n"
        "MemTotalX: 5 kB\n"
        "memtotal: 6 kB\n"
        "HugePages_Total:       0\n");
    EXPECT_EQ(meminfo.value(LinuxMeminfo::Active), 20u);
    EXPECT_FALSE(meminfo.has(LinuxMeminfo::MemTotal));
}

TEST(LinuxMeminfoParse, SurvivesBytesThatAreNotText) {
    std::string noise;
    for (int i = 0; i < 5000; ++i) {
        noise.push_back(static_cast<char>((i * 7919) % 256));
    }
    const LinuxMeminfo meminfo = LinuxMeminfo::parse(noise + "\nMemTotal: 8 kB\n");
    EXPECT_EQ(meminfo.value(LinuxMeminfo::MemTotal), 8u);
    EXPECT_EQ(LinuxMeminfo::parse(std::string_view("\0\0\n:\n", 5)).presentMask, 0u);
}

TEST_F(MeminfoFile, ReadsNoMoreThanItsLimitAndStillAnswers) {
    std::string text(LinuxMemoryProbe::kReadLimit, '#');
    text += "\nMemTotal: 1048576 kB\n";
    EXPECT_EQ(snapshotOf("MemTotal: 2048 kB\n" + text).totalBytes, 2048ULL * 1024);
    EXPECT_EQ(snapshotOf(text).totalBytes, systemTotal()) << "the line beyond was not read";
}

TEST_F(MeminfoFile, APageCountBeyondThirtyTwoBitsIsNotAReading) {
    const std::uint64_t huge = (1ULL << 32) * pageKilobytes;
    const LegacyMemorySnapshot snapshot = snapshotOf(
        "MemTotal: 1048576 kB\nActive: " + std::to_string(huge) + " kB\nKernelStack: 8 kB\n");
    EXPECT_EQ(snapshot.usedBytes, pagesAsBytes(8, pageKilobytes));
}

TEST(LinuxMemoryProbe, ReadsThisMachine) {
    LinuxMemoryProbe probe;
    EXPECT_GT(probe.physicalMemory(), 0u);
    EXPECT_EQ(probe.pageSize(), getpagesize());
}

}  // namespace
