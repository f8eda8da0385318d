#!/bin/sh
# ctest's emulator for the Windows build: wine-run.sh <wine> <program.exe> [args...]
#
# The first Wine program of a session starts Wine's system processes
# (services.exe, winedevice.exe, ...), which inherit its stdout and stderr and
# live as long as the wineserver. Run directly under ctest they would hold the
# test's output pipe open and stall the test until the server exits. So the
# program writes to a file instead, and the file is replayed afterwards.
wine=$1
shift
: "${WINEDEBUG:=-all}"
export WINEDEBUG
# GUI suites get the X server of the xvfb fixture (see xvfb-fixture.sh).
if [ -n "${OLV_XVFB_STATE:-}" ] && [ -s "$OLV_XVFB_STATE/xvfb.display" ]; then
    DISPLAY=":$(cat "$OLV_XVFB_STATE/xvfb.display")"
    export DISPLAY
fi

log=$(mktemp "${TMPDIR:-/tmp}/olv-wine.XXXXXX") || exit 125
"$wine" "$@" </dev/null >"$log" 2>&1
status=$?
cat "$log"
rm -f "$log"
exit $status
