#!/usr/bin/env bash
# The Debian 13 stage refuses, as they are, folders it did not make and a root with a link.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exit 77
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/{mistyped/etc,other.partial,made/usr/bin,made/etc,elsewhere}
touch "$scratch"/{mistyped,other.partial,elsewhere}/kept "$scratch/made/.made-by-quorvel-legacy-debian13"
install -m 755 /dev/null "$scratch/made/usr/bin/apt-get"
echo 13.2 | tee "$scratch"/{made,mistyped}/etc/debian_version >/dev/null  # someone else's too
ln -s "$scratch/elsewhere" "$scratch/made/root"
before=$(cd "$scratch" && find . | sort)
for root in mistyped other made; do
    QUORVEL_DEBIAN13_ROOT=$scratch/$root bash "$(dirname "$0")/../scripts/test-debian13.sh" && exit 1
done
[ "$(cd "$scratch" && find . | sort)" = "$before" ]
