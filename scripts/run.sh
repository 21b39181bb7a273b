#!/usr/bin/env bash
# Builds Quorvel Legacy and starts it; with --emulated, the build over the emulated SMC.
set -euo pipefail
program=quorvel-legacy
if [ "${1:-}" = "--emulated" ]; then
    program=quorvel-legacy-emulated
elif [ $# -gt 0 ]; then
    echo "usage: scripts/run.sh [--emulated]" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
. scripts/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}" qt6-qpa-plugins fonts-dejavu-core
cmake -S . -B build -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build --parallel "$(nproc)" --target "$program"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display here: the window opens on a virtual X screen (Xvfb)."
    ensure_packages xvfb xauth
    exec xvfb-run -a -s "-screen 0 1280x800x24" "build/$program"
fi
exec "build/$program"
