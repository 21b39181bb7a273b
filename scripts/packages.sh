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
