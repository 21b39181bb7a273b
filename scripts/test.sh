#!/usr/bin/env bash
# Builds Quorvel Legacy with its tests and runs every test, headless.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}" libgtest-dev locales clang-format fonts-dejavu-core

echo "== format"
sources=()
for folder in Sources tests tools bench fuzz; do
    [ -d "$folder" ] && sources+=("$folder")
done
unformatted=$(find "${sources[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | while read -r file; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || echo "$file"
done)
if [ -n "$unformatted" ]; then
    echo "Not clang-format clean:"
    echo "$unformatted"
    exit 1
fi

echo "== build"
cmake -S . -B build -DQUORVEL_BUILD_TESTS=ON >/dev/null
cmake --build build --parallel "$(nproc)"

echo "== test"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure --timeout 120
