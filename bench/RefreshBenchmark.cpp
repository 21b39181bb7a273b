// One refresh of the window against the floor of one read of /proc/meminfo, side by side.
//
//   bench_refresh                      Google Benchmark timings and the ratios to the floor
//   bench_refresh --count CASE N       N runs of one case and nothing else, for callgrind
//
// A refresh is measured as the program makes it: the polling timer fires, the refresh is
// handed to the event loop, the labels change and the window repaints them (offscreen).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LegacyMainViewController.h"
#include "LegacySMC.h"
#include "platform/emulated/EmulatedSmcDevice.h"

namespace {

// An SMC user client that finds no service, as on a machine without an Apple SMC.
class NoSmc : public platform::SmcUserClient {
  public:
    std::uint32_t matchingService(const char*) override { return 0; }
    platform::KernReturn serviceOpen(std::uint32_t, std::uint32_t, std::uint32_t*) override {
        return platform::kKernFailure;
    }
    platform::KernReturn objectRelease(std::uint32_t) override { return 0; }
    platform::KernReturn callStructMethod(std::uint32_t, std::uint32_t, const void*, std::size_t,
                                          void*, std::size_t*) override {
        return platform::kKernFailure;
    }
    platform::KernReturn serviceClose(std::uint32_t) override { return 0; }
};

void readMeminfoOnce() {
    char buffer[8192];
    const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    ssize_t length = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    benchmark::DoNotOptimize(length);
    benchmark::DoNotOptimize(buffer);
}

// A shown dashboard over this machine's memory and the given SMC, polling as fast as it can.
class PollingWindow {
  public:
    explicit PollingWindow(std::unique_ptr<platform::SmcUserClient> client)
        : controller_(
              std::make_shared<LegacySMC>(std::move(client)),
              [this] {
                  ++refreshes_;
                  return LegacyMemory::snapshot();
              },
              [] { return LegacyReclaimOutcome::toolEnded; }) {
        controller_.view()->show();
        controller_.startPolling();
        controller_.timer()->setInterval(0);
        refreshOnce();
    }
    ~PollingWindow() { delete controller_.timer(); }

    void refreshOnce() {
        const long target = refreshes_ + 1;
        while (refreshes_ < target) {
            QApplication::processEvents();
        }
    }

  private:
    long refreshes_ = 0;
    LegacyMainViewController controller_;
};

std::unique_ptr<platform::SmcUserClient> emulatedSmc() {
    return std::make_unique<platform::EmulatedSmcDevice>();
}

void Floor_ReadProcMeminfo(benchmark::State& state) {
    for (auto _ : state) {
        readMeminfoOnce();
    }
}
BENCHMARK(Floor_ReadProcMeminfo);

void Refresh_NoSmc(benchmark::State& state) {
    PollingWindow window(std::make_unique<NoSmc>());
    for (auto _ : state) {
        window.refreshOnce();
    }
}
BENCHMARK(Refresh_NoSmc);

void Refresh_EmulatedSmcTwoFans(benchmark::State& state) {
    PollingWindow window(emulatedSmc());
    for (auto _ : state) {
        window.refreshOnce();
    }
}
BENCHMARK(Refresh_EmulatedSmcTwoFans);

// Prints what the console reporter prints, and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions, the median stands for the benchmark.
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                nanoseconds[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> nanoseconds;
};

int countMode(const char* which, long count) {
    if (std::strcmp(which, "floor") == 0) {
        for (long i = 0; i < count; ++i) {
            readMeminfoOnce();
        }
        return 0;
    }
    std::unique_ptr<platform::SmcUserClient> client;
    if (std::strcmp(which, "nosmc") == 0) {
        client = std::make_unique<NoSmc>();
    } else if (std::strcmp(which, "emulated") == 0) {
        client = emulatedSmc();
    } else {
        std::fprintf(stderr, "cases: floor, nosmc, emulated\n");
        return 2;
    }
    PollingWindow window(std::move(client));
    for (long i = 0; i < count; ++i) {
        window.refreshOnce();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The offscreen platform's notes about window hints would drown the table.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication application(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--count") == 0) {
        return countMode(argv[2], std::atol(argv[3]));
    }

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double floor = reporter.nanoseconds["Floor_ReadProcMeminfo"];
    if (floor > 0) {
        std::printf("\nrefresh, no SMC / floor:               %.2fx (target at most 2x)\n",
                    reporter.nanoseconds["Refresh_NoSmc"] / floor);
        std::printf("refresh, emulated SMC, 2 fans / floor: %.2fx (target at most 3x)\n",
                    reporter.nanoseconds["Refresh_EmulatedSmcTwoFans"] / floor);
    }
    benchmark::Shutdown();
    return 0;
}
