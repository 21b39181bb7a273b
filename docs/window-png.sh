#!/usr/bin/env bash
# Makes docs/window.png, the README's picture of the window, again: the emulated build (an SMC
# with two fans, so that every line has a reading) on a private X server, a few refreshes after
# it opened, cut to the window. Run it whenever the window looks different.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" qt6-qpa-plugins fonts-dejavu-core xvfb xauth xdotool python3
cmake -S . -B build-emulated -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build-emulated --parallel "$(nproc)" --target quorvel-legacy-emulated
# The whole screen is grabbed by the end-to-end tests' own code, then cut to the window.
exec xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    QT_QPA_PLATFORM=xcb build-emulated/quorvel-legacy-emulated &
    window=$(xdotool search --sync --name "^Quorvel Legacy$" | head -n 1)
    sleep 5
    eval "$(xdotool getwindowgeometry --shell "$window")"
    /usr/bin/python3 -B -c "import sys; sys.path.insert(0, \"tests/e2e\"); import test_window
test_window.screenshot(\"docs/window.png\", $X, $Y, $WIDTH, $HEIGHT)"
    kill %1
'
