#!/bin/sh
# Stands in for a Wine session that fails a program, as cmake/wine-run.sh's Wine:
#   wine_faults.sh <counter file> crash_elsewhere|crash_elsewhere_passed|watchdog_status_0
# crash_elsewhere: the first run ends with status 1 while the session's server log (in
# $WINEPREFIX) gains a server crash, as when the server a suite beside it started crashes; the
# later runs print "ran". crash_elsewhere_passed: the same, but the first run prints "ran" and
# ends with 0. watchdog_status_0: every run prints a watchdog's report and ends with 0.
counter=$1
done=$(cat "$counter" 2>/dev/null || echo 0)
echo $((done + 1)) >"$counter"
case $2 in
crash_elsewhere*)
    if [ "$done" -eq 0 ]; then
        echo "wineserver crashed, please enable coredumps (ulimit -c unlimited) and restart." \
            >>"$WINEPREFIX/olv-wineserver.log"
        [ "$2" = crash_elsewhere ] && exit 1
    fi
    echo "ran (run $((done + 1)))"
    ;;
watchdog_status_0)
    printf '\nwatchdog: the suite did not finish within 3 s\n'
    ;;
esac
exit 0
