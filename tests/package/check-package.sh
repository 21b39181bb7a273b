#!/usr/bin/env bash
# Checks a built Debian package as Debian checks its own: lintian with no error, no warning and
# no hardening tag at any level, and the three programs (the window, the helper that runs as
# root and the memory-pressure tool) hardened as dpkg-buildflags asks, by hardening-check.
#   check-package.sh PACKAGE.deb
set -euo pipefail
package=$1
lint=$(lintian --fail-on error,warning --display-info "$package") ||
    { echo "lintian: $lint"; exit 1; }
if grep 'hardening' <<<"$lint"; then
    echo "lintian: hardening tags"
    exit 1
fi

# The five features dpkg-buildflags hardens with, each "yes" for each program. Not control-flow
# or branch protection: the compiler's -fcf-protection is there, but a program is marked so only
# when every object it links is, and the C library's start files are not (on Debian 13 not even
# a one-line C program is); branch protection is AArch64's.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$package" "$unpacked"
report=$(hardening-check "$unpacked/usr/bin/quorvel-legacy" \
    "$unpacked/usr/bin/quorvel-memory-pressure" \
    "$unpacked/usr/libexec/quorvel-legacy/quorvel-legacy-helper" || true)
echo "$report"
for feature in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
    "Read-only relocations" "Immediate binding"; do
    if [ "$(grep -c "^ $feature: yes" <<<"$report")" -ne 3 ]; then
        echo "hardening-check: not every program has $feature"
        exit 1
    fi
done
# A Wayland desktop without X needs Qt's Wayland plugin, which the package brings.
dpkg-deb --field "$package" Recommends | grep -Eqw 'qt6-wayland|qtwayland5' ||
    { echo "the package does not recommend Qt's Wayland plugin"; exit 1; }
echo "package checked: $(basename "$package")"
