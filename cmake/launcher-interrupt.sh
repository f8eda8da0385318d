#!/bin/sh
# Ctrl+C pressed in the recorder's terminal while the examined console program runs, under Wine:
#   launcher-interrupt.sh <wine> <olv_test_launcher_win32.exe> <folder>
# A terminal's Ctrl+C is SIGINT to every process of its foreground process group, and Wine turns
# it into CTRL_C_EVENT in each. A console program that shares the recorder's console runs in that
# group; one given a console of its own runs in a session of its own. The suite's test case
# (asked for by OLV_TERMINAL_INTERRUPT) launches a console program through the real launcher,
# prints "ready", waits for the interrupt and checks that the program outlives it until Stop.
wine=$1 exe=$2 dir=$3
: "${WINEDEBUG:=-all}"
export WINEDEBUG
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1

# The suite gets a process group (and session) of its own, as a terminal's foreground job has a
# group of its own; Wine's server, started by then or detaching itself, is not in it.
OLV_TERMINAL_INTERRUPT=1 setsid "$wine" "$exe" \
    "--test-case=*keeps running through the recorder's Ctrl+C*" >out.txt 2>&1 &
pid=$!
fail() {
    echo "FAILED: $*"
    echo "--- output"; cat out.txt
    /bin/kill -s KILL -- "-$pid" 2>/dev/null
    exit 1
}
waited=0
while ! grep -q "^ready" out.txt 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || fail "the suite ended before the program was launched"
    waited=$((waited + 1))
    [ "$waited" -gt 600 ] && fail "the program was not launched within 60 s"
    sleep 0.1
done
[ "$(ps -o pgid= -p "$pid" | tr -d ' ')" = "$pid" ] || fail "the suite has no process group of its own"
/bin/kill -s INT -- "-$pid"
waited=0
while kill -0 "$pid" 2>/dev/null; do
    waited=$((waited + 1))
    [ "$waited" -gt 600 ] && fail "the suite did not end within 60 s of the interrupt"
    sleep 0.1
done
wait "$pid"
rc=$?
[ "$rc" = 0 ] || fail "the suite ended with $rc"
grep -Eq "test cases: +1 \| +1 passed" out.txt || fail "the test case did not run and pass"
cat out.txt
exit 0
