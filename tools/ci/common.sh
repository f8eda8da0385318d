# shellcheck shell=bash
# Shared by tools/ci/test-all.sh and tools/ci/run.sh (sourced, not run).

# The packages the dev, tsan, fuzz and windows builds need on Debian 12 (clang and its
# sanitizer runtimes, libFuzzer included, for the fuzz preset; nlohmann/json for the tools and
# tests; yaml-cpp and PCRE2 for the native builds, and dpkg-dev for tools/deps/mingw-deps.sh,
# which builds them for the windows preset from Debian's source packages).
# shellcheck disable=SC2034  # used by the scripts that source this file
OLV_PACKAGES=(cmake ninja-build g++ doctest-dev nlohmann-json3-dev clang libclang-rt-14-dev
              libyaml-cpp-dev libpcre2-dev dpkg-dev
              mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth imagemagick)

olv_log() { printf '==> %s\n' "$*"; }

# Installs whatever of "$@" is missing; apt-get update only when needed.
olv_ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]} == 0)); then
        olv_log "packages present"
        return 0
    fi
    olv_log "installing: ${missing[*]}"
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q </dev/null
    "${sudo[@]}" apt-get install -y -q "${missing[@]}" </dev/null
}

# Creates a Wine prefix once: $1, else $WINEPREFIX, else ~/.wine. With $2 = unmanaged, its
# windows are not handed to a window manager (for a display that has none: the tests' Xvfb).
olv_prepare_wine() {
    export WINEDEBUG=-all
    if [[ -n ${1:-} ]]; then
        mkdir -p "$(dirname "$1")"
        export WINEPREFIX=$1
    fi
    : "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
    export HOME
    local wine
    wine=$(command -v wine || command -v wine64 || true)
    if [[ -z $wine ]]; then
        echo "wine not found" >&2
        return 1
    fi
    local unmanaged=OFF
    [[ ${2:-} == unmanaged ]] && unmanaged=ON
    cmake "-DWINE=$wine" "-DUNMANAGED=$unmanaged" -P cmake/OlvWinePrefix.cmake </dev/null
}

olv_seconds_since() { echo $(($(date +%s) - $1)); }
