# Installs the Debian packages given as arguments that are not installed yet:
# with apt-get as root, else through sudo.
# Sourced by the build scripts: ensure_packages PACKAGE...
ensure_packages() {
    local missing=()
    local package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        if [ "$status" != "install ok installed" ]; then
            missing+=("$package")
        fi
    done
    [ "${#missing[@]}" -eq 0 ] && return 0

    local apt=(apt-get)
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "These packages are missing and there is no sudo to install them: ${missing[*]}" >&2
            return 1
        fi
        apt=(sudo apt-get)
    fi
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# What every build needs.
BUILD_PACKAGES=(cmake make g++ qt6-base-dev libgl-dev)
# What the unit and window suites and the benchmarks need besides.
UNIT_TEST_PACKAGES=(libgtest-dev libbenchmark-dev locales qt6-qpa-plugins fonts-dejavu-core)
# What the Debian package is built and checked with: dpkg-dev and file read its dependencies
# off the binaries; devscripts brings hardening-check.
PACKAGE_PACKAGES=(dpkg-dev file lintian devscripts appstream desktop-file-utils)

# The sanitizer runtime of the clang this release installs (clang 14 on Debian 12, 19 on
# Debian 13, 18 on Ubuntu 24.04): clang first, then its own runtime.
ensure_clang() {
    ensure_packages clang
    local major
    major=$(clang -dumpversion | cut -d. -f1)
    ensure_packages "libclang-rt-$major-dev"
}

# Unpacks a pinned npm package into FOLDER/node_modules/NAME, as npm would but running none of
# its scripts, and only once its tarball matches the integrity hash pinned by the caller (npm's
# own sha512 form); again only when missing or pinned anew.
#   ensure_npm_package NAME VERSION INTEGRITY FOLDER
ensure_npm_package() {
    local name=$1 version=$2 integrity=$3 target=$4/node_modules/$1
    [ "$(cat "$target/.integrity" 2>/dev/null)" = "$integrity" ] && return 0
    command -v npm >/dev/null 2>&1 || ensure_packages nodejs npm
    local scratch tarball actual
    scratch=$(mktemp -d)
    tarball=$(cd "$scratch" && npm pack --ignore-scripts --loglevel=error "$name@$version")
    actual="sha512-$(sha512sum "$scratch/$tarball" | cut -c1-128 | tr a-f A-F |
        basenc --base16 -d | base64 -w0)"
    if [ "$actual" != "$integrity" ]; then
        echo "$name@$version: the registry's tarball is $actual, not the pinned $integrity" >&2
        rm -rf "$scratch"
        return 1
    fi
    rm -rf "$target"
    mkdir -p "$target"
    tar -xzf "$scratch/$tarball" -C "$target" --strip-components=1 --no-same-owner
    echo "$integrity" >"$target/.integrity"
    rm -rf "$scratch"
}
