# shellcheck shell=bash
# Shared by tools/ci/test-all.sh and tools/ci/run.sh (sourced, not run).

# The packages the dev, tsan, fuzz and windows builds need on Debian 12 (clang and its
# sanitizer runtimes, libFuzzer included, for the fuzz preset; nlohmann/json for the tools and
# tests; yaml-cpp, PCRE2 and libyara for the native builds, and dpkg-dev for tools/deps/mingw-deps.sh,
# which builds them for the windows preset from Debian's source packages, with autoconf, automake,
# libtool and pkg-config for libyara's).
# shellcheck disable=SC2034  # used by the scripts that source this file
OLV_PACKAGES=(cmake ninja-build g++ doctest-dev nlohmann-json3-dev clang libclang-rt-14-dev
              libyaml-cpp-dev libpcre2-dev libyara-dev dpkg-dev autoconf automake libtool pkg-config
              mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth imagemagick)
# What tools/ci/run.sh needs: the cross build of the programs it starts (its static yaml-cpp and
# PCRE2 from Debian's source packages), Wine, and Xvfb with ImageMagick for the screenshots. No
# native compiler or library: nothing native is built. doctest and nlohmann/json are headers the
# windows preset's configure looks for (it configures the tests and tools it does not build).
# shellcheck disable=SC2034
OLV_RUN_PACKAGES=(cmake ninja-build doctest-dev nlohmann-json3-dev dpkg-dev autoconf automake libtool pkg-config
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

# Sets OLV_PREFIX_PIDS to the processes whose environment has WINEPREFIX=$1 (the path as given or
# resolved, with or without a trailing slash): every Wine process of that prefix, its server and
# system processes included, whatever they are called and whoever their parent is now. This shell
# and its ancestors are left out (they may carry the variable themselves). /proc is read with
# shell built-ins only, so no helper process of the scan can be among the results.
olv_prefix_processes() {
    local given=${1%/} resolved pid dir var stat
    resolved=$(realpath -m -- "$given")
    local -A skip=([$$]=1)
    pid=$BASHPID
    while [[ $pid =~ ^[0-9]+$ ]] && ((pid > 1)); do
        skip[$pid]=1
        { read -r stat <"/proc/$pid/stat"; } 2>/dev/null || break
        stat=${stat##*) }         # after "pid (name) ": state ppid ...
        stat=${stat#* }
        pid=${stat%% *}
        [[ -z ${skip[$pid]:-} ]] || break
    done
    OLV_PREFIX_PIDS=()
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [[ -n ${skip[$pid]:-} ]] && continue
        { while IFS= read -r -d '' var; do
            [[ $var == WINEPREFIX=* ]] || continue
            var=${var#WINEPREFIX=}
            var=${var%/}
            if [[ $var == "$given" || $var == "$resolved" ]]; then
                OLV_PREFIX_PIDS+=("$pid")
            fi
            break
        done <"$dir/environ"; } 2>/dev/null || true
    done
}

# Describes the processes "$@" (pid, name, command line), one a line.
olv_describe_processes() {
    local pid name cmdline
    for pid in "$@"; do
        name=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
        cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null || true)
        printf '  %s %s: %s\n' "$pid" "$name" "${cmdline%"${cmdline##*[! ]}"}"
    done
}

# Ends every process of the Wine prefix $1 (found by its environment, see olv_prefix_processes):
# first politely, wineserver -k with that prefix, then SIGTERM, then SIGKILL, each followed by a
# bounded wait (about 5 s). A crashed server leaves its device processes behind, which only the
# signals reach. Returns 1, naming them, if any process of the prefix remains.
olv_end_wine_prefix() {
    local prefix=$1 step server="" i
    olv_prefix_processes "$prefix"
    ((${#OLV_PREFIX_PIDS[@]})) || return 0
    for server in wineserver /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver ""; do
        [[ -n $server ]] && command -v "$server" >/dev/null 2>&1 && break
    done
    for step in server TERM KILL; do
        olv_prefix_processes "$prefix"
        ((${#OLV_PREFIX_PIDS[@]})) || break
        if [[ $step == server ]]; then
            [[ -n $server ]] || continue
            olv_log "ending the Wine session of $prefix (processes: ${#OLV_PREFIX_PIDS[@]})"
            # Fails at once when the prefix has no server (it crashed): then on to the signals.
            WINEPREFIX=$prefix timeout -k 2 10 "$server" -k </dev/null >/dev/null 2>&1 || continue
        else
            olv_log "SIG$step to what remains of the Wine session of $prefix:"
            olv_describe_processes "${OLV_PREFIX_PIDS[@]}"
            kill "-$step" "${OLV_PREFIX_PIDS[@]}" 2>/dev/null || true
        fi
        for ((i = 0; i < 25; i++)); do
            olv_prefix_processes "$prefix"
            ((${#OLV_PREFIX_PIDS[@]})) || break
            sleep 0.2
        done
    done
    olv_prefix_processes "$prefix"
    if ((${#OLV_PREFIX_PIDS[@]})); then
        echo "processes of the Wine prefix $prefix remain:" >&2
        olv_describe_processes "${OLV_PREFIX_PIDS[@]}" >&2
        return 1
    fi
    return 0
}
