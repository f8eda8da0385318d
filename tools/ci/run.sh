#!/usr/bin/env bash
# Builds the Windows programs the demonstration starts and starts them under Wine with the bundled
# dropper scenario: the program's real window recording the scenario through the simulated trace
# service (Wine has no event tracing).
#   - With a display ($DISPLAY): the window opens; press "Start Monitoring" and use it.
#   - Without one: under Xvfb, olvetta-demo-run.exe presses Start itself, waits for the
#     recording to end, exports the CSV and the JSON through the real dialogs, and the screenshots
#     of the main window, the process tree and the summary are taken; all go to build/run/.
# Before the window, the console program's twin, olvetta-cli-demo.exe, records the same scenario
# without a window and prints its result line and the files it wrote (build/run/cli/).
# Only those programs are built (nothing native, no test): tools/ci/test-all.sh builds and tests
# everything. Installs missing packages; the cross build's yaml-cpp and PCRE2 are built once and
# then cached (build/deps/mingw, see tools/deps/mingw-deps.sh). Prints the time of every step.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/ci/common.sh

JOBS=${OLV_JOBS:-2}
run_start=$(date +%s)
step_start=$run_start
steps=()
# Ends the step begun at $step_start: says and keeps its time, then starts the next one.
step_done() {
    local took
    took=$(olv_seconds_since "$step_start")
    steps+=("$(printf '%-34s %4s s' "$1" "$took")")
    olv_log "$1: $took s"
    step_start=$(date +%s)
}
step_summary() {
    olv_log "steps (total $(olv_seconds_since "$run_start") s):"
    printf '  %s\n' "${steps[@]}"
}

olv_ensure_packages "${OLV_RUN_PACKAGES[@]}"
step_done "packages"

mkdir -p build/windows build/run
# The tests' Wine prefix, made while the programs build: its first start is mostly waiting.
wine_log=build/run/wine-prefix.log
(olv_prepare_wine "$PWD/build/windows/wine" unmanaged) </dev/null >"$wine_log" 2>&1 &
wine_pid=$!
# A prefix whose first start was cut off would be incomplete: an early end waits for it.
trap 'wait "$wine_pid" 2>/dev/null || true' EXIT

# The cross build's static yaml-cpp, PCRE2 and libyara (built once, then cached in build/deps).
tools/deps/mingw-deps.sh </dev/null
step_done "yaml-cpp, PCRE2 and libyara for MinGW"

# The programs this script starts: the console twin, and the demonstration (with a display) or
# its driver, which starts the demonstration (without one).
targets=(olvetta-cli-demo olvetta-demo)
[[ -n ${DISPLAY:-} ]] || targets+=(olvetta-demo-run)
olv_log "[windows] configure"
cmake --preset windows </dev/null >build/windows.log 2>&1 || { cat build/windows.log; exit 1; }
step_done "configure (windows)"
olv_log "[windows] build ${targets[*]}"
cmake --build --preset windows -j"$JOBS" --target "${targets[@]}" \
    </dev/null >build/windows-build.log 2>&1 ||
    { grep -v '^\[[0-9]*/[0-9]*\] ' build/windows-build.log | tail -n 80; exit 1; }
step_done "build (${#targets[@]} programs)"
olv_log "built ${targets[*]/%/.exe} in build/windows; Olvetta.exe, the program for Windows, is" \
    "built by: cmake --build --preset windows --target Olvetta"

if ! wait "$wine_pid"; then
    cat "$wine_log"
    echo "the Wine prefix build/windows/wine could not be made" >&2
    exit 1
fi
trap - EXIT
step_done "Wine prefix (while building)"

export WINEDEBUG=-all
# The console program's demonstration twin records the same scenario without a window, as a
# sandbox runs olvetta-cli.exe: its result line, then the folder it wrote.
cli_out=build/run/cli
rm -rf "$cli_out" build/run/cli-result.txt
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
step_done "olvetta-cli-demo.exe record"
if [[ $cli_status -ne 0 ]]; then
    step_summary
    exit "$cli_status"
fi

demo=build/windows/olvetta-demo.exe
if [[ -n ${DISPLAY:-} ]]; then
    olv_prepare_wine ""
    step_done "Wine prefix of the display"
    step_summary
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
step_done "demonstration under Xvfb"
step_summary
exit "$status"
