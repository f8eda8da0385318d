#!/bin/sh
# ctest's emulator for the Windows build: wine-run.sh <wine> <program.exe> [args...]
#
# The first Wine program of a session starts Wine's system processes
# (services.exe, winedevice.exe, ...), which inherit its stdout and stderr and
# live as long as the wineserver. Run directly under ctest they would hold the
# test's output pipe open and stall the test until the server exits. So the
# program writes to a file instead, and the file is replayed afterwards.
#
# Under load the Wine server itself has been seen to crash ("wineserver crashed"); every program
# of that Wine session then waits for it forever, a suite that was merely running beside the one
# that met the crash included. So each run is bounded (OLV_WINE_SECONDS, set by ctest a little
# above the test main's own watchdog, which names a hang of the suite itself). A run that ends
# with the server's crash, or that Wine left hanging without the suite's watchdog having spoken,
# is a failure of Wine rather than of the suite: it is said so and run once more (the next
# program starts a fresh server). The test main creates the file OLV_TEST_STARTED_FILE names once
# its watchdog runs, and that watchdog needs nothing of Wine's server to speak: a silent hang is
# told apart as one before the suite's main ran or one in which Wine stopped the whole process.
#
# Wine under load also loses a program's start now and then: it ends with status 0 before any of
# the program ran. Every program run here writes something when it runs (a suite its doctest
# summary, the replay tool a line for each file it writes or its error), so status 0 with no output
# at all is such a lost start, not a pass: it is run once more, and fails, saying so, when that
# start is lost too.
wine=$1
shift
: "${WINEDEBUG:=-all}"
export WINEDEBUG
# GUI suites get the X server of the xvfb fixture (see xvfb-fixture.sh).
if [ -n "${OLV_XVFB_STATE:-}" ] && [ -s "$OLV_XVFB_STATE/xvfb.display" ]; then
    DISPLAY=":$(cat "$OLV_XVFB_STATE/xvfb.display")"
    export DISPLAY
fi
limit=${OLV_WINE_SECONDS:-0}

# The session's server writes its own crash only to its standard error, which is the log of the
# program that started it: a suite running beside that one, waiting on the dead server, would not
# see it. So with OLV_WINESERVER set (by ctest) the server, when none runs, is started here with
# its standard error going to one log of the session in the prefix, and each run looks there too.
server_log=""
if [ -n "${OLV_WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    server_log="$WINEPREFIX/olv-wineserver.log"
fi
server_crashes() {
    if [ -n "$server_log" ] && [ -f "$server_log" ]; then
        grep -c "wineserver crashed" "$server_log"
    else
        echo 0
    fi
}

log=$(mktemp "${TMPDIR:-/tmp}/olv-wine.XXXXXX") || exit 125
started="$log.started"
# Under Wine a host path is reached through drive Z:.
OLV_TEST_STARTED_FILE="Z:$started"
export OLV_TEST_STARTED_FILE
run() {
    rm -f "$started"
    crashes_before=$(server_crashes)
    # Kept for 10 s after its last program: the next suite finds it still running.
    # (Status 2: one runs already.)
    if [ -n "$server_log" ]; then
        "$OLV_WINESERVER" -p10 </dev/null >/dev/null 2>>"$server_log"
    fi
    if [ "$limit" -gt 0 ]; then
        timeout -k 5 "$limit" "$wine" "$@" </dev/null >"$log" 2>&1
    else
        "$wine" "$@" </dev/null >"$log" 2>&1
    fi
}

run "$@"
status=$?
wine_failed=""
if grep -q "wineserver crashed" "$log"; then
    wine_failed="the Wine server crashed"
elif { [ "$status" -ne 0 ] || grep -q "^watchdog:" "$log"; } &&
    [ "$(server_crashes)" -gt "$crashes_before" ]; then
    # (A run that passed all the same stands.)
    wine_failed="the Wine server crashed while it ran (see $server_log)"
elif [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    if grep -q "^watchdog:" "$log"; then
        echo "wine-run: $1 hung and its watchdog named where (below)" >&2
    else
        if [ -e "$started" ]; then
            where="after its main started its watchdog, which Wine then kept from speaking"
        else
            where="before any test main of it started"
        fi
        wine_failed="Wine left $1 hanging for $limit s $where"
    fi
elif [ "$status" -eq 0 ] && grep -q "^watchdog:" "$log"; then
    # The watchdog ends the suite with status 3; Wine can lose that status when it ends a
    # process's threads, and a hang must never pass.
    echo "wine-run: $1 hung and its watchdog ended it, with a status of 0 from Wine" >&2
    status=3
elif [ "$status" -eq 0 ] && [ ! -s "$log" ]; then
    wine_failed="Wine ended $1 with status 0 before it wrote anything (a lost start)"
fi
if [ -n "$wine_failed" ]; then
    cat "$log"
    echo "wine-run: $wine_failed; this is a fault of Wine, not of the suite: running it once more" >&2
    # No wineserver -k: the crashed server is gone, and a new program starts a new one (which a
    # suite running beside this one may already be using).
    run "$@"
    status=$?
    if [ "$status" -eq 0 ] && [ ! -s "$log" ]; then
        echo "wine-run: Wine lost the start of $1 twice (status 0, no output at all): it never ran" >&2
        rm -f "$log" "$started"
        exit 125
    fi
fi
cat "$log"
rm -f "$log" "$started"
exit $status
