#!/usr/bin/env bash
# Builds Quorvel Legacy as a Debian package, installs it (again only when it changed, through
# sudo where not root) and starts the installed program as the user who ran this, so that its
# privileged helper and polkit action are where the program needs them. With --emulated, starts
# the build over the emulated SMC from the tree instead: only the build's packages are installed.
set -euo pipefail
emulated=false
if [ "${1:-}" = "--emulated" ]; then
    emulated=true
elif [ $# -gt 0 ]; then
    echo "usage: scripts/run.sh [--emulated]" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
. scripts/packages.sh

# dpkg-dev and file read the package's dependencies off its binaries; qt6-wayland opens the
# window on a Wayland desktop without X.
ensure_packages "${BUILD_PACKAGES[@]}" qt6-qpa-plugins qt6-wayland fonts-dejavu-core dpkg-dev file

if $emulated; then
    cmake -S . -B build-emulated -DQUORVEL_BUILD_TESTS=OFF >/dev/null
    cmake --build build-emulated --parallel "$(nproc)" --target quorvel-legacy-emulated
    program=build-emulated/quorvel-legacy-emulated
else
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF >/dev/null
    cmake --build build-release --parallel "$(nproc)"
    rm -f build-release/quorvel-legacy_*.deb
    (cd build-release && cpack -G DEB >/dev/null)
    package=$(ls build-release/quorvel-legacy_*.deb)
    # The files of the built package against those installed: the same, nothing to do.
    status=$(dpkg-query -W -f='${Status}' quorvel-legacy 2>/dev/null || true)
    installed=/var/lib/dpkg/info/quorvel-legacy.md5sums
    if [ "$status" != "install ok installed" ] || [ ! -f "$installed" ] ||
        ! cmp -s <(dpkg-deb -I "$package" md5sums) "$installed"; then
        apt=(apt-get)
        [ "$(id -u)" -eq 0 ] || apt=(sudo apt-get)
        reinstall=()
        [ "$status" = "install ok installed" ] && reinstall=(--reinstall)
        echo "Installing $package"
        DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "${reinstall[@]}" "./$package"
    fi
    program=/usr/bin/quorvel-legacy
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display here: the window opens on a virtual X screen (Xvfb)."
    ensure_packages xvfb xauth
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$program"
fi
exec "$program"
