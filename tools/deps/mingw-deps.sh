#!/usr/bin/env bash
# Builds the static yaml-cpp and PCRE2 (8- and 16-bit, with JIT) that the MinGW-w64 cross build
# links, and libyara (the file facts: its pe, hash and console modules, digests through the
# Windows crypto API), from Debian's source packages, into OLV_MINGW_DEPS (default
# build/deps/mingw):
#   lib/libyaml-cpp.a  lib/libpcre2-8.a  lib/libpcre2-16.a  lib/libyara.a  include/
# which is where cmake/OlvDeps.cmake looks for them. Olvetta.exe stays one static file.
# libyara is optional: when its source cannot be fetched or built, the prefix is made without
# it (said loudly, and recorded in the stamp as "built yara none"), and the cross build reads no
# file facts; delete the stamp to try again.
#
# The sources come from `apt-get source`, so they are the versions of the machine's Debian suites;
# when those suites have no deb-src entries the script writes them
# (/etc/apt/sources.list.d/olvetta-deb-src.sources) and runs apt-get update. A run whose source
# versions (and recipe) match the stamp of the last build does nothing. Work files and logs go to
# build/deps/work; a failing step shows the tail of its log. The prefix is replaced only by a
# complete build.
#
# Needs: dpkg-dev (dpkg-source), cmake, ninja-build, mingw-w64 and g++-mingw-w64-x86-64-posix;
# for libyara also autoconf, automake, libtool and pkg-config.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
root=$PWD
source tools/ci/common.sh

prefix=${OLV_MINGW_DEPS:-$root/build/deps/mingw}
deps=$root/build/deps
work=$deps/work
logs=$deps/logs
stamp_name=.olv-deps-stamp
triple=x86_64-w64-mingw32
packages=(yaml-cpp pcre2)
optional=(yara)
started=$(date +%s)

say() { olv_log "mingw-deps: $*"; }
die() {
    echo "mingw-deps: $*" >&2
    exit 1
}

# run <log> <what> <command...>: the command's output goes to the log; on failure its tail is shown.
run() {
    local log=$logs/$1 what=$2
    shift 2
    say "$what (log: ${log#"$root"/})"
    if ! "$@" </dev/null >"$log" 2>&1; then
        echo "---- last lines of $log" >&2
        tail -n 40 "$log" >&2
        die "$what failed"
    fi
}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    else
        sudo "$@"
    fi
}

for tool in "$triple-gcc-posix:g++-mingw-w64-x86-64-posix" "$triple-g++-posix:g++-mingw-w64-x86-64-posix" \
            "$triple-ar:binutils-mingw-w64-x86-64" "dpkg-source:dpkg-dev" "cmake:cmake" \
            "ninja:ninja-build" "apt-get:apt" "flock:util-linux"; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || die "${tool%%:*} not found (Debian package ${tool##*:})"
done

mkdir -p "$deps" "$logs"
exec 9>"$deps/.lock"
flock 9

# The Debian suites apt installs binaries from, as "URI suite component" lines.
# shellcheck disable=SC2016  # apt's $(FIELD) placeholders, not shell
debian_suites() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' 'Created-By: Packages' |
        awk '$4 == "Debian" || $1 ~ /debian/ { print $1, $2, $3 }' | sort -u
}
# shellcheck disable=SC2016
source_suites() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Sources' | sort -u
}

# Writes deb-src entries for every Debian suite that has none, then updates apt's lists.
ensure_deb_src() {
    local missing
    missing=$(comm -23 <(debian_suites) <(source_suites))
    if [[ -z $missing ]]; then
        return 0
    fi
    local file=/etc/apt/sources.list.d/olvetta-deb-src.sources keyring="" text="" uri suite
    [[ -r /usr/share/keyrings/debian-archive-keyring.gpg ]] && keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    # One stanza per repository and suite, with the components it lacks.
    while read -r uri suite; do
        local components
        components=$(awk -v u="$uri" -v s="$suite" '$1 == u && $2 == s { printf "%s%s", sep, $3; sep = " " }' <<<"$missing")
        text+="Types: deb-src"$'\n'"URIs: $uri"$'\n'"Suites: $suite"$'\n'"Components: $components"$'\n'
        [[ -n $keyring ]] && text+="Signed-By: $keyring"$'\n'
        text+=$'\n'
    done < <(awk '{ print $1, $2 }' <<<"$missing" | sort -u)
    if [[ -e $file ]]; then
        # Ours already: add what is missing after what is there.
        text="$(cat "$file")"$'\n\n'"$text"
    fi
    say "enabling deb-src for:"
    printf '    %s\n' "${missing//$'\n'/$'\n'    }"
    printf '%s' "$text" | as_root tee "$file.tmp" >/dev/null
    as_root mv "$file.tmp" "$file"
    export DEBIAN_FRONTEND=noninteractive
    run apt-update.log "apt-get update" as_root apt-get update -q
    missing=$(comm -23 <(debian_suites) <(source_suites))
    [[ -z $missing ]] || die "deb-src still missing after writing $file for: $missing"
}

# The version `apt-get source` would fetch for the source package $1.
source_version() {
    local dsc
    dsc=$(apt-get source --only-source --print-uris "$1" 2>/dev/null |
        awk -v p="$1" 'index($2, p "_") == 1 && $2 ~ /\.dsc$/ { print $2; exit }')
    [[ -n $dsc ]] || return 1
    dsc=${dsc#"$1"_}
    printf '%s\n' "${dsc%.dsc}"
}

ensure_deb_src
declare -A version built
for pkg in "${packages[@]}"; do
    version[$pkg]=$(source_version "$pkg") || die "apt-get source knows no $pkg (are the deb-src lists current? try apt-get update)"
done
for pkg in "${optional[@]}"; do
    version[$pkg]=$(source_version "$pkg") || version[$pkg]=none
done

# What the result depends on: the source versions, this recipe and the compiler.
stamp=$(
    for pkg in "${packages[@]}" "${optional[@]}"; do echo "$pkg ${version[$pkg]}"; done
    echo "recipe $(sha256sum "$root/tools/deps/mingw-deps.sh" | cut -c1-16)"
    echo "compiler $("$triple-g++-posix" -dumpfullversion 2>/dev/null || "$triple-g++-posix" -dumpversion)"
)
libs=(lib/libyaml-cpp.a lib/libpcre2-8.a lib/libpcre2-16.a include/yaml-cpp/yaml.h include/pcre2.h)
up_to_date=1
for lib in "${libs[@]}"; do
    [[ -f $prefix/$lib ]] || up_to_date=0
done
# The stamp holds the above, then the versions actually built ("built <package> <version>").
if ((up_to_date)) && [[ -f $prefix/$stamp_name && $(grep -v '^built ' "$prefix/$stamp_name") == "$stamp" ]]; then
    say "up to date in ${prefix#"$root"/} ($(grep '^built ' "$prefix/$stamp_name" | cut -d' ' -f2- | paste -sd,))"
    exit 0
fi
# The prefix is replaced as a whole: never one this script did not make (say, an MSYS2 prefix).
if [[ -e $prefix && ! -f $prefix/$stamp_name ]] && [[ -n $(ls -A "$prefix" 2>/dev/null) ]]; then
    die "$prefix exists and was not made by this script (no $stamp_name): refusing to replace it"
fi
say "building into ${prefix#"$root"/}: $(for pkg in "${packages[@]}"; do printf '%s %s  ' "$pkg" "${version[$pkg]}"; done)"

rm -rf "$work"
mkdir -p "$work/src"
stage=$work/stage
jobs=${OLV_JOBS:-2}

# Fetches and unpacks (Debian's patches applied) the source package $1 into $fetched; with $2 =
# optional it returns 1 instead of stopping when nothing can be fetched. The version
# apt-get source picks comes first; should its files be missing from the mirror (a suite's index
# can be ahead of its pool), the other versions the suites list are tried, newest first, then the
# next Debian release's; the one used is said and recorded in the stamp.
fetch() {
    local pkg=$1 ver dir try=0
    [[ ${version[$pkg]} != none ]] || { [[ ${2:-} == optional ]] && return 1; die "no source of $pkg"; }
    for ver in "${version[$pkg]}" $(other_versions "$pkg" "${version[$pkg]}"); do
        try=$((try + 1))
        dir=$work/src/$pkg.$try
        mkdir -p "$dir"
        if [[ $ver != "${version[$pkg]}" ]]; then
            say "WARNING: $pkg ${version[$pkg]} could not be fetched; trying $ver"
        fi
        if (cd "$dir" && run "fetch-$pkg.$try.log" "apt-get source $pkg=$ver" \
                apt-get source -q --only-source "$pkg=$ver"); then
            fetched=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -n 1)
            [[ -n $fetched ]] || die "apt-get source $pkg=$ver unpacked nothing"
            built[$pkg]=$ver
            return 0
        fi
    done
    fetch_from_next_release "$pkg" && return 0
    [[ ${2:-} == optional ]] && return 1
    die "no source of $pkg could be fetched"
}

# The last resort of fetch: the source package $1 of the Debian release after the machine's
# (a suite's pool can lack the files its index names, as bookworm's did for yara). Its deb-src
# index is read into a private apt state under $work, checked against the same archive keyring
# as the machine's own, so the machine's apt configuration and lists are left as they are.
fetch_from_next_release() {
    local pkg=$1 codename next uri state=$work/apt-next dir=$work/src/$1.next ver
    codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    case $codename in
        bookworm) next=trixie ;;
        *) return 1 ;;
    esac
    uri=$(debian_suites | awk '$2 == c { print $1; exit }' c="$codename")
    [[ -n $uri ]] || return 1
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$dir"
    local keyring=""
    [[ -r /usr/share/keyrings/debian-archive-keyring.gpg ]] &&
        keyring="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
    printf 'deb-src %s%s %s main\n' "$keyring" "$uri" "$next" >"$state/sources.list"
    local apt_next=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
                    -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache"
                    -o "APT::Sandbox::User=$(id -un)")
    say "WARNING: no source of $pkg that $codename lists could be fetched; trying $next's"
    (run "fetch-$pkg-next-update.log" "apt-get update ($next deb-src, private lists)" \
        apt-get "${apt_next[@]}" update -q) || return 1
    ver=$(apt-cache "${apt_next[@]}" showsrc --only-source "$pkg" 2>/dev/null |
        awk '/^Version:/ { print $2; exit }')
    [[ -n $ver ]] || return 1
    (cd "$dir" && run "fetch-$pkg-next.log" "apt-get source $pkg=$ver ($next)" \
        apt-get "${apt_next[@]}" source -q --only-source "$pkg=$ver") || return 1
    fetched=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -n 1)
    [[ -n $fetched ]] || return 1
    built[$pkg]=$ver
}

# The versions of source package $1 the suites list other than $2, newest first (dpkg's order).
other_versions() {
    local v i sorted=()
    while read -r v; do
        [[ -n $v && $v != "$2" ]] || continue
        for ((i = 0; i < ${#sorted[@]}; i++)); do
            dpkg --compare-versions "$v" gt "${sorted[i]}" && break
        done
        sorted=("${sorted[@]:0:i}" "$v" "${sorted[@]:i}")
    done < <(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u)
    ((${#sorted[@]} == 0)) || printf '%s\n' "${sorted[@]}"
}

cmake_cross=(-G Ninja "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64-x86_64.cmake"
             -DCMAKE_BUILD_TYPE=Release "-DCMAKE_INSTALL_PREFIX=$stage" -DCMAKE_INSTALL_LIBDIR=lib
             -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF)

fetch yaml-cpp
yaml_src=$fetched
run yaml-cpp-configure.log "yaml-cpp: configure (static, no tests or tools)" \
    cmake -S "$yaml_src" -B "$work/yaml-cpp" "${cmake_cross[@]}" \
        -DYAML_BUILD_SHARED_LIBS=OFF -DYAML_CPP_BUILD_TESTS=OFF -DYAML_CPP_BUILD_TOOLS=OFF \
        -DYAML_CPP_BUILD_CONTRIB=ON -DYAML_CPP_INSTALL=ON
run yaml-cpp-build.log "yaml-cpp: build" cmake --build "$work/yaml-cpp" -j"$jobs"
run yaml-cpp-install.log "yaml-cpp: install" cmake --install "$work/yaml-cpp"

fetch pcre2
pcre2_src=$fetched
run pcre2-configure.log "pcre2: configure (8- and 16-bit, JIT, static, no programs or tests)" \
    cmake -S "$pcre2_src" -B "$work/pcre2" "${cmake_cross[@]}" \
        -DBUILD_STATIC_LIBS=ON -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=ON \
        -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_SUPPORT_JIT=ON -DPCRE2_BUILD_PCRE2GREP=OFF \
        -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SUPPORT_LIBBZ2=OFF -DPCRE2_SUPPORT_LIBZ=OFF \
        -DPCRE2_SUPPORT_LIBEDIT=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF
run pcre2-build.log "pcre2: build" cmake --build "$work/pcre2" -j"$jobs"
run pcre2-install.log "pcre2: install" cmake --install "$work/pcre2"

for lib in "${libs[@]}"; do
    [[ -f $stage/$lib ]] || die "the build installed no $lib (see $logs)"
done

# libyara: autotools, static, only what the facts need. Its digests (hash module, import hash)
# come from the Windows crypto API, not OpenSSL; the modules that need other libraries are off.
# The library is copied by hand (not `make install`), so its command-line programs are not built.
build_yara() {
    local src=$1 dir=$work/yara
    for tool in autoreconf libtoolize pkg-config; do
        command -v "$tool" >/dev/null 2>&1 || die "$tool not found (Debian packages autoconf, automake, libtool, pkg-config)"
    done
    # shellcheck disable=SC2016  # the inner shell expands them
    run yara-autoreconf.log "yara: autoreconf" sh -c 'cd "$1" && autoreconf -fi' sh "$src"
    mkdir -p "$dir"
    # shellcheck disable=SC2016
    run yara-configure.log "yara: configure (static; pe, hash, console; Windows crypto API)" \
        sh -c 'cd "$1" && shift && exec "$@"' sh "$dir" "$src/configure" --host="$triple" \
            --prefix="$stage" --disable-shared --enable-static --without-crypto \
            --disable-magic --disable-cuckoo --disable-dotnet --disable-macho --disable-dex \
            CC="$triple-gcc-posix" AR="$triple-ar" RANLIB="$triple-ranlib" \
            CPPFLAGS="-DHAVE_WINCRYPT_H" CFLAGS="-O2" LIBS="-ladvapi32 -lcrypt32"
    run yara-build.log "yara: build" make -C "$dir" -j"$jobs" libyara.la
    local lib
    lib=$(find "$dir" -name libyara.a -path '*/.libs/*' | head -n 1)
    [[ -n $lib ]] || die "yara: the build made no libyara.a (see $logs/yara-build.log)"
    # The facts need these modules in the library; a configure that left one out is a failure.
    local symbols
    symbols=$("$triple-nm" -g --defined-only "$lib" 2>/dev/null)
    for module in pe hash console; do
        grep -q "${module}__load" <<<"$symbols" || die "yara: the library has no $module module"
    done
    grep -q "CryptCreateHash" <<<"$("$triple-nm" -u "$lib" 2>/dev/null)" ||
        say "WARNING: yara: the library calls no Windows crypto API: digests may be missing"
    # The caller's `if` switches errexit off here: every step says its own failure.
    mkdir -p "$stage/lib" "$stage/include/yara" || die "yara: cannot make $stage/include/yara"
    if ! cp "$lib" "$stage/lib/libyara.a" || ! cp "$src/libyara/include/yara.h" "$stage/include/" ||
        ! cp "$src"/libyara/include/yara/*.h "$stage/include/yara/"; then
        die "yara: installing failed"
    fi
}

for pkg in "${optional[@]}"; do built[$pkg]=none; done
yara_started=$(date +%s)
if fetch yara optional; then
    yara_src=$fetched
    # A subshell: a failing step stops the libyara build, not the script.
    if (build_yara "$yara_src"); then
        say "yara: built in $(olv_seconds_since "$yara_started") s"
    else
        built[yara]=none
        rm -f "$stage/lib/libyara.a"
        rm -rf "$stage/include/yara" "$stage/include/yara.h"
        say "WARNING: yara could not be built: the cross build will read no file facts"
    fi
else
    say "WARNING: the source of yara could not be fetched: the cross build will read no file facts"
fi

{
    printf '%s\n' "$stamp"
    for pkg in "${packages[@]}" "${optional[@]}"; do echo "built $pkg ${built[$pkg]}"; done
} >"$stage/$stamp_name"

# Replace the prefix with the complete build.
mkdir -p "$(dirname "$prefix")"
rm -rf "$prefix.old"
[[ -e $prefix ]] && mv "$prefix" "$prefix.old"
mv "$stage" "$prefix"
rm -rf "$prefix.old" "$work"
say "built $(for pkg in "${packages[@]}" "${optional[@]}"; do printf '%s %s, ' "$pkg" "${built[$pkg]}"; done)in $(olv_seconds_since "$started") s: ${prefix#"$root"/}/{$(IFS=,; echo "${libs[*]}")}"
