#!/bin/sh
# Ctrl+C during a recording of the console demonstration under Wine:
#   cli-interrupt.sh <wine> <olvetta-cli-demo.exe> <scenario> <folder> <presses>
# A terminal's Ctrl+C reaches a Wine program as SIGINT, which Wine turns into CTRL_C_EVENT for
# the program's console control handler (GenerateConsoleCtrlEvent between two Wine programs is
# accepted but not delivered by Wine 8, so the interrupt is sent the terminal's way). Once the
# first progress line shows the recording running, the interrupt is sent once or twice:
#   once:  a clean stop well before the scenario's end, every file written (exit 0, or 3 when
#          the early stop left a file operation without its result)
#   twice: the record itself written, the exports left out and said so (exit 3)
# Either way result.json tells the outcome, and the folder's lock file is gone.
wine=$1 exe=$2 scenario=$3 dir=$4 presses=$5
: "${WINEDEBUG:=-all}"
export WINEDEBUG
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1

"$wine" "$exe" --scenario "$scenario" record --formats session,json,csv --out out \
    >out.txt 2>err.txt &
pid=$!
fail() {
    echo "FAILED: $*"
    echo "--- stdout"; cat out.txt; echo "--- stderr"; cat err.txt
    kill -9 "$pid" 2>/dev/null
    exit 1
}
waited=0
while ! grep -q " rows (high " err.txt 2>/dev/null; do
    waited=$((waited + 1))
    [ "$waited" -gt 300 ] && fail "no progress line within 30 s"
    sleep 0.1
done
kill -INT "$pid"
if [ "$presses" = 2 ]; then
    # Within the second the demonstration gives a person after the first (before the files), and
    # late enough not to merge with the first signal.
    sleep 0.3
    kill -INT "$pid"
fi
# Bounded wait for the program's end (60 s).
waited=0
while kill -0 "$pid" 2>/dev/null; do
    waited=$((waited + 1))
    [ "$waited" -gt 600 ] && fail "the program did not end within 60 s of the interrupt"
    sleep 0.1
done
wait "$pid"
rc=$?

grep -q " in 44 s;" out.txt && fail "the recording ran to the scenario's end: the interrupt was not seen"
[ -f out/recording.ols ] || fail "recording.ols was not written"
[ -f out/result.json ] || fail "result.json was not written"
grep -q "\"exitCode\": $rc," out/result.json || fail "result.json does not hold the exit code $rc"
if [ "$presses" = 2 ]; then
    [ "$rc" = 3 ] || fail "exit code $rc, expected 3"
    grep -q '"result": "incomplete"' out/result.json || fail "result.json does not say incomplete"
    grep -q 'recording.json was not written: stopped at once.' out/result.json ||
        fail "result.json does not note the left-out export"
    [ -f out/recording.json ] && fail "recording.json was written after the second interrupt"
    grep -q "Stopped at once: recording.json was not written." err.txt || fail "no word of the left-out files"
else
    [ "$rc" = 0 ] || [ "$rc" = 3 ] || fail "exit code $rc, expected 0 or 3"
    [ -f out/recording.json ] || fail "recording.json was not written"
    [ -f out/recording.csv ] || fail "recording.csv was not written"
fi
ls -A out | grep -qv '^\(recording\.\(ols\|json\|csv\)\|result\.json\)$' &&
    fail "something else was left in the folder"
grep "olvetta: " out.txt
echo "exit code $rc"
exit 0
