#!/usr/bin/env bash
# Builds Olvetta (native `dev` and the Windows cross build) and starts the demonstration,
# olvetta-demo.exe, under Wine with the bundled dropper scenario: the program's real window
# recording the scenario through the simulated trace service (Wine has no event tracing).
#   - With a display ($DISPLAY): the window opens; press "Start Monitoring" and use it.
#   - Without one: under Xvfb, olvetta-demo-run.exe presses Start itself, waits for the
#     recording to end, exports the CSV and the JSON through the real dialogs, and the screenshots
#     of the main window, the process tree and the summary are taken; all go to build/run/.
# Before the window, the console program's twin, olvetta-cli-demo.exe, records the same scenario
# without a window and prints its result line and the files it wrote (build/run/cli/).
# Installs missing packages. Olvetta.exe itself (build/windows/Olvetta.exe) is for Windows.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/ci/common.sh

JOBS=${OLV_JOBS:-2}
olv_ensure_packages "${OLV_PACKAGES[@]}"

mkdir -p build
for preset in dev windows; do
    # The cross build's static yaml-cpp and PCRE2 (built once, then cached in build/deps).
    if [[ $preset == windows ]]; then
        tools/deps/mingw-deps.sh </dev/null
    fi
    olv_log "[$preset] configure and build"
    cmake --preset "$preset" </dev/null >"build/$preset.log" 2>&1 || { cat "build/$preset.log"; exit 1; }
    cmake --build --preset "$preset" -j"$JOBS" </dev/null >"build/$preset-build.log" 2>&1 ||
        { grep -v '^\[[0-9]*/[0-9]*\] ' "build/$preset-build.log" | tail -n 80; exit 1; }
done
olv_log "built build/windows/Olvetta.exe (the program, for Windows) and build/windows/olvetta-demo.exe"

export WINEDEBUG=-all
# The console program's demonstration twin records the same scenario without a window, as a
# sandbox runs olvetta-cli.exe: its result line, then the folder it wrote.
cli_out=build/run/cli
rm -rf "$cli_out" build/run/cli-result.txt
mkdir -p build/run
olv_log "olvetta-cli-demo.exe record --out $cli_out (the dropper scenario, no window):"
cli_status=0
# In the tests' Wine prefix; the output goes to a file, since Wine's system processes, which the
# first program of a session starts, would hold a pipe open.
(olv_prepare_wine "$PWD/build/windows/wine" unmanaged
 status=0
 timeout 120 wine build/windows/olvetta-cli-demo.exe record --quiet \
     --formats session,json,jsonl,csv --out "Z:$(printf '%s' "$PWD/$cli_out" | tr '/' '\\')" \
     </dev/null >build/run/cli-result.txt 2>&1 || status=$?
 olv_end_wine_prefix "$WINEPREFIX" || true
 exit "$status") || cli_status=$?
tr -d '\r' <build/run/cli-result.txt
olv_log "exit code $cli_status; $cli_out holds:"
find "$cli_out" -maxdepth 1 -type f -printf '  %p (%s bytes)\n' | sort
[[ $cli_status -eq 0 ]] || exit "$cli_status"

demo=build/windows/olvetta-demo.exe
if [[ -n ${DISPLAY:-} ]]; then
    olv_prepare_wine ""
    olv_log "starting $demo with the dropper scenario: press \"Start Monitoring\""
    exec wine "$demo"
fi

# No display: play the scenario under Xvfb, in the tests' Wine prefix (made for a display
# without a window manager).
out=$PWD/build/run
mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.csv "$out"/*.json
export WINEPREFIX=$PWD/build/windows/wine
# Every process of that prefix is ended when this script ends, found by its environment (a
# crashed Wine server leaves its device processes running); one that will not end is a failure.
trap 'olv_end_wine_prefix "$WINEPREFIX" || true' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
olv_prepare_wine "$WINEPREFIX" unmanaged
windows_out="Z:$(printf '%s' "$out" | tr '/' '\\')"
olv_log "no display: playing the dropper scenario in the demonstration under Xvfb"
status=0
timeout 300 xvfb-run -a -s "-screen 0 1280x1024x24" \
    sh cmake/gui-screenshots.sh "$out" wine build/windows/olvetta-demo-run.exe "$windows_out" \
    </dev/null || status=$?
trap - EXIT
olv_end_wine_prefix "$WINEPREFIX" || status=1
olv_log "wrote:"
find "$out" -maxdepth 1 -type f \( -name '*.csv' -o -name '*.json' -o -name '*.png' \) -printf '  %p\n' | sort
exit "$status"
