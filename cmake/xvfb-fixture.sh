#!/bin/sh
# ctest fixture of the Windows build: one private X server for the whole test
# run, so every window the tests open renders somewhere and Wine's desktop
# process keeps one display throughout.
#   xvfb-fixture.sh start <state-dir>   starts Xvfb, writes <state-dir>/xvfb.display
#   xvfb-fixture.sh stop <state-dir>    ends the tests' Wine session ($WINESERVER -k,
#                                       only with the tests' own $WINEPREFIX), stops Xvfb
state=$2
case $1 in
start)
    sh "$0" stop "$state"
    if ! command -v Xvfb >/dev/null 2>&1; then
        echo "Xvfb not found: GUI tests run without a display"
        exit 0
    fi
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
        3>"$state/xvfb.display.tmp" </dev/null >/dev/null 2>&1 &
    echo $! >"$state/xvfb.pid"
    i=0
    while [ ! -s "$state/xvfb.display.tmp" ] && [ $i -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    if [ ! -s "$state/xvfb.display.tmp" ]; then
        echo "Xvfb did not start"
        sh "$0" stop "$state"
        exit 1
    fi
    mv "$state/xvfb.display.tmp" "$state/xvfb.display"
    echo "Xvfb on :$(cat "$state/xvfb.display")"
    ;;
stop)
    if [ -n "${WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        "$WINESERVER" -k </dev/null >/dev/null 2>&1
    fi
    if [ -s "$state/xvfb.pid" ]; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    fi
    rm -f "$state/xvfb.pid" "$state/xvfb.display" "$state/xvfb.display.tmp"
    ;;
*)
    echo "usage: $0 start|stop <state-dir>" >&2
    exit 2
    ;;
esac
exit 0
