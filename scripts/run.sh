#!/usr/bin/env bash
# Builds Quorvel Legacy and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}" qt6-qpa-plugins fonts-dejavu-core
cmake -S . -B build -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build --parallel "$(nproc)" --target quorvel-legacy

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display here: the window opens on a virtual X screen (Xvfb)."
    ensure_packages xvfb xauth
    exec xvfb-run -a -s "-screen 0 1280x800x24" build/quorvel-legacy
fi
exec build/quorvel-legacy
