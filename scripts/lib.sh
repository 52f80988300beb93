# Shared by scripts/run and scripts/test: package check and the build.
# shellcheck shell=bash

VORL_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgtest-dev libgmock-dev
               libbenchmark-dev lrzsz socat ser2net python3-serial xvfb xauth ccache
               dpkg-dev file desktop-file-utils man-db libgit2-dev git lintian systemd
               adduser dbus at-spi2-core python3-pyatspi)

# Installs the Debian packages that are missing; a second run installs nothing.
ensure_packages() {
    local missing=() p
    for p in "${VORL_PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || { echo "Run as root to install: ${missing[*]}" >&2; exit 1; }
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures (once) and builds into $1; extra arguments go to the configure step.
build_tree() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja "$@"
    fi
    cmake --build "$dir"
}
