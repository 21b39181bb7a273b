#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands where:
#   check-install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

expected="bin/quorvel-legacy
bin/quorvel-memory-pressure
libexec/quorvel-legacy/quorvel-legacy-helper
share/applications/org.quorvel.legacy.desktop
share/doc/quorvel-legacy/changelog.gz
share/doc/quorvel-legacy/copyright
share/icons/hicolor/128x128/apps/quorvel-legacy.png
share/icons/hicolor/16x16/apps/quorvel-legacy.png
share/icons/hicolor/256x256/apps/quorvel-legacy.png
share/icons/hicolor/32x32/apps/quorvel-legacy.png
share/icons/hicolor/48x48/apps/quorvel-legacy.png
share/icons/hicolor/512x512/apps/quorvel-legacy.png
share/icons/hicolor/64x64/apps/quorvel-legacy.png
share/icons/hicolor/scalable/apps/quorvel-legacy.svg
share/man/man1/quorvel-legacy.1.gz
share/man/man8/quorvel-memory-pressure.8.gz
share/metainfo/org.quorvel.legacy.metainfo.xml
share/polkit-1/actions/org.quorvel.legacy.policy"
# The lintian override, there only where the release's lintian knows its tag, aside.
installed=$(cd "$prefix" && find . -type f ! -path './share/lintian/*' | sed 's|^\./||' |
    LC_ALL=C sort)
if [ "$installed" != "$(echo "$expected" | LC_ALL=C sort)" ]; then
    echo "installed files differ from the layout:"
    diff <(echo "$expected" | LC_ALL=C sort) <(echo "$installed") || true
    exit 1
fi

for program in bin/quorvel-legacy bin/quorvel-memory-pressure \
    libexec/quorvel-legacy/quorvel-legacy-helper; do
    [ -x "$prefix/$program" ] || { echo "$program is not executable"; exit 1; }
done

# The polkit action names the helper where this install put it, and lets only the user of an
# active local session start it, as an administrator.
policy="$prefix/share/polkit-1/actions/org.quorvel.legacy.policy"
python3 - "$policy" "$prefix/libexec/quorvel-legacy/quorvel-legacy-helper" <<'PYTHON'
import sys
import xml.etree.ElementTree as tree
action = tree.parse(sys.argv[1]).getroot().find("action")
assert action.get("id") == "org.quorvel.legacy.helper", action.get("id")
defaults = {child.tag: child.text for child in action.find("defaults")}
assert defaults == {"allow_any": "no", "allow_inactive": "no",
                    "allow_active": "auth_admin_keep"}, defaults
annotations = {a.get("key"): a.text for a in action.findall("annotate")}
assert annotations == {"org.freedesktop.policykit.exec.path": sys.argv[2]}, annotations
PYTHON

# Each PNG is as large as the folder it sits in says.
for folder in "$prefix"/share/icons/hicolor/*x*/apps; do
    size=${folder%/apps}
    size=${size##*/}
    png="$folder/quorvel-legacy.png"
    width=$(od -An -tu1 -j16 -N4 "$png" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
    height=$(od -An -tu1 -j20 -N4 "$png" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
    if [ "${width}x${height}" != "$size" ]; then
        echo "$png is ${width}x${height}, not $size"
        exit 1
    fi
done

grep -qx 'Name=Quorvel Legacy' "$prefix/share/applications/org.quorvel.legacy.desktop"
grep -qx 'Categories=System;Monitor;' "$prefix/share/applications/org.quorvel.legacy.desktop"
desktop-file-validate "$prefix/share/applications/org.quorvel.legacy.desktop"
# Every issue the validator reports fails but two: no homepage, since the project has no public
# address yet (the package's lintian override says the same), and, from a validator older than
# the current developer tag (Debian 12's), that tag unknown.
metainfo="$prefix/share/metainfo/org.quorvel.legacy.metainfo.xml"
report=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) && valid=true || valid=false
others=$(grep -E '^[EWIP]: ' <<<"$report" |
    grep -Ev ': (url-homepage-missing|unknown-tag developer)$' || true)
if [ -n "$others" ] || { ! $valid && ! grep -q ': url-homepage-missing$' <<<"$report"; }; then
    echo "$report"
    exit 1
fi

# The stand-in answers its usage from where it was installed.
if "$prefix/bin/quorvel-memory-pressure" -t 3 2>/dev/null; then
    echo "the installed stand-in took an argument it should refuse"
    exit 1
fi
echo "installed layout: ok"
