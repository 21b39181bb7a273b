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

# Control-flow protection only where this release's dpkg-buildflags gives it (not Debian 12's).
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$package" "$unpacked"
features=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --query-features hardening)
optional=()
grep -qz 'Feature: branch.Enabled: yes' <<<"$features" || optional=(--nocfprotection)
hardening-check "${optional[@]}" "$unpacked/usr/bin/quorvel-legacy" \
    "$unpacked/usr/bin/quorvel-memory-pressure" \
    "$unpacked/usr/libexec/quorvel-legacy/quorvel-legacy-helper"
echo "package checked: $(basename "$package")"
