#!/usr/bin/env bash
# The tree on Debian 13, from a Debian 12 or 13 machine: in a Debian 13 root made with
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
# At the top of every root this stage makes, from the moment its folder exists: the stage
# deletes no folder without it.
mark=.made-by-quorvel-legacy-debian13

refuse() {
    echo "test-debian13.sh: $*" >&2
    exit 1
}
absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }
made_here() { [ -f "$1/$mark" ] && [ ! -L "$1/$mark" ]; }
debian13() { grep -q '^13\.' "$1/etc/debian_version" 2>/dev/null; }
# Gone already, an empty folder, or made here: anything else at a path of ours is refused.
may_delete() {
    absent "$1" || made_here "$1" || { [ -d "$1" ] && [ ! -L "$1" ] && [ -z "$(ls -A "$1")" ]; }
}
# This machine's Debian suites (by code name or by role) moved to trixie's, main alone: the
# mirrors its apt already uses.
debian13_sources() {
    local codename uri suite component base
    codename=$(. /etc/os-release && [ "$ID" = debian ] && echo "${VERSION_CODENAME:-}" || true)
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
        while read -r uri suite component; do
            base=${suite%-updates}
            base=${base%-security}
            case $base in
            "$codename" | stable | oldstable | testing | unstable | sid) ;;
            *) continue ;;
            esac
            if [ "$component" = main ]; then
                echo "deb $uri trixie${suite#"$base"} main"
            fi
        done | sort -u
}

# What is written into the root from this machine goes through none of the root's own links.
for folder in root root/quorvel-legacy proc dev sys run tmp; do
    [ ! -L "$root/$folder" ] ||
        refuse "$root/$folder is a link, which this stage does not follow: delete $root to have" \
            "it made again"
done
# A root made before the mark was written: a Debian 13 root with this stage's copy of the tree.
if [ -d "$root" ] && absent "$root/$mark" && debian13 "$root" &&
    [ -f "$root/root/quorvel-legacy/scripts/test-debian13.sh" ]; then
    touch "$root/$mark"
fi
if made_here "$root" && [ -x "$root/usr/bin/apt-get" ] && debian13 "$root"; then
    echo "== the Debian 13 root in $root, made before"
else
    for folder in "$root" "$root.partial"; do
        may_delete "$folder" ||
            refuse "$folder was not made by this stage (it holds no $mark), so it stays as it" \
                "is: move it away, or name another folder in QUORVEL_DEBIAN13_ROOT"
    done
    rm -rf "$root" "$root.partial"
    ensure_packages mmdebstrap debian-archive-keyring
    mapfile -t sources < <(debian13_sources)
    [ "${#sources[@]}" -gt 0 ] ||
        refuse "this machine's apt names no Debian suite to take Debian 13 from: run it on Debian"
    # Through this machine's apt proxy, if it has one.
    mapfile -t proxies < <(apt-config dump |
        sed -n 's/^Acquire::\(http\|https\|ftp\)::Proxy/--aptopt=&/p')
    echo "== a Debian 13 root in $root, from ${sources[*]}"
    mkdir -p "$root.partial"
    touch "$root.partial/$mark"
    packages="${BUILD_PACKAGES[*]} ${UNIT_TEST_PACKAGES[*]} ${PACKAGE_PACKAGES[*]}"
    mmdebstrap --quiet --variant=apt --skip=check/empty "${proxies[@]}" \
        --include="${packages// /,}" trixie "$root.partial" "${sources[@]}"
    mv "$root.partial" "$root"
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
