#!/usr/bin/env bash
# The tree on Debian 13, from a Debian 12 machine or any other: in a Debian 13 root made with
# mmdebstrap and kept for the next run (QUORVEL_DEBIAN13_ROOT, /var/cache/quorvel-legacy/debian13
# unless set), builds the program with its tests, warnings as errors, runs every suite but the
# end-to-end ones, and builds the Debian 13 package and checks it with lintian and
# hardening-check. As root; CI runs it after the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

if [ $# -gt 0 ] && [ "$1" != "--inside" ]; then
    echo "usage: scripts/test-debian13.sh" >&2
    exit 2
fi
if [ "${1:-}" = "--inside" ]; then
    # In the root, on a copy of the tree.
    ensure_packages "${BUILD_PACKAGES[@]}" "${UNIT_TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    export QT_QPA_PLATFORM=offscreen
    jobs=$(nproc)
    echo "== build on Debian $(cat /etc/debian_version)"
    cmake -S . -B build -DQUORVEL_BUILD_TESTS=ON -DQUORVEL_BUILD_BENCH=ON \
        -DQUORVEL_WARNINGS_AS_ERRORS=ON >/dev/null
    cmake --build build --parallel "$jobs"
    grep -q -- ' -Werror ' build/compile_commands.json || { echo "build/ lets warnings pass"; exit 1; }
    echo "== test"
    log=$(mktemp)
    ctest --test-dir build --output-on-failure --timeout 600 -LE e2e | tee "$log"
    passed=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$log")
    echo "== the Debian 13 package"
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF >/dev/null
    cmake --build build-release --parallel "$jobs"
    if grep -q -- ' -Werror ' build-release/compile_commands.json; then
        echo "a user's build stops on warnings"
        exit 1
    fi
    (cd build-release && cpack -G DEB >/dev/null)
    bash tests/package/check-package.sh build-release/quorvel-legacy_*+deb13_amd64.deb
    echo "debian13: $((passed + 1)) passed, 0 failed"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "The Debian 13 stage makes and enters a root of its own: run it as root." >&2
    exit 1
fi
root=${QUORVEL_DEBIAN13_ROOT:-/var/cache/quorvel-legacy/debian13}
if [ ! -x "$root/usr/bin/apt-get" ] ||
    ! grep -q '^13\.' "$root/etc/debian_version" 2>/dev/null; then
    ensure_packages mmdebstrap debian-archive-keyring
    echo "== a Debian 13 root in $root"
    rm -rf "$root" "$root.partial"
    mkdir -p "$(dirname "$root")"
    packages="${BUILD_PACKAGES[*]} ${UNIT_TEST_PACKAGES[*]} ${PACKAGE_PACKAGES[*]}"
    mmdebstrap --quiet --variant=apt --include="${packages// /,}" trixie "$root.partial" \
        "deb http://deb.debian.org/debian trixie main" \
        "deb http://deb.debian.org/debian trixie-updates main" \
        "deb http://deb.debian.org/debian-security trixie-security main"
    mv "$root.partial" "$root"
else
    echo "== the Debian 13 root in $root, made before"
fi

# A fresh copy of the tree as it stands, committed or not, without its build folders.
copy="$root/root/quorvel-legacy"
rm -rf "$copy"
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
    tar --null -T - -cf - | tar -xf - -C "$copy"

# The root's own /proc, /dev, /sys, /run and /tmp, in a mount namespace that ends with it.
unshare --mount --propagation private -- bash -c '
    set -e
    root=$1
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs "$root/tmp"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 CI="${CI:-}" bash /root/quorvel-legacy/scripts/test-debian13.sh --inside
' unshare-root "$root"
