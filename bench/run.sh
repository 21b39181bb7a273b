#!/usr/bin/env bash
# Runs one benchmark of Quorvel Legacy in a Release build (build-bench/):
#   bench/run.sh refresh     one refresh against one read of /proc/meminfo (Google Benchmark)
#   bench/run.sh callgrind   instructions per refresh, counted by callgrind
#   bench/run.sh window      start-up against the same rows without logic and against one label,
#                            resident memory and idle CPU against one label
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

what=${1:-}
case "$what" in
    refresh | callgrind | window) ;;
    *)
        echo "usage: bench/run.sh refresh|callgrind|window" >&2
        exit 2
        ;;
esac

ensure_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev fonts-dejavu-core qt6-qpa-plugins
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
    -DQUORVEL_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --parallel "$(nproc)" \
    --target bench_refresh minimal_label plain_rows quorvel-legacy >/dev/null

case "$what" in
    refresh)
        build-bench/bench/bench_refresh --benchmark_repetitions=5 --benchmark_color=false \
            --benchmark_report_aggregates_only=true
        ;;
    callgrind)
        ensure_packages valgrind
        count=2000
        instructions() {
            valgrind --tool=callgrind --callgrind-out-file=/dev/null \
                build-bench/bench/bench_refresh --count "$1" "$2" 2>&1 |
                sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
        }
        for case in floor nosmc emulated; do
            none=$(instructions "$case" 0)
            many=$(instructions "$case" "$count")
            echo "$case: $(((many - none) / count)) instructions in user space per run"
        done
        ;;
    window)
        ensure_packages xvfb xauth python3 libx11-6
        display=:$((90 + RANDOM % 9))
        Xvfb "$display" -screen 0 1280x800x24 >/dev/null 2>&1 &
        xvfb=$!
        trap 'kill $xvfb' EXIT
        sleep 1
        DISPLAY=$display python3 bench/measure-window.py build-bench/quorvel-legacy \
            build-bench/bench/plain_rows build-bench/bench/minimal_label
        ;;
esac
