#!/bin/sh
# Runs a window suite and takes the screenshots it asks for:
#   gui-screenshots.sh <dir> <command...>
# The suite (tests/support/win32_gui.h, PauseForScreenshot) writes <dir>/<name>.ready when its
# windows show what a person should see; this script then photographs the whole screen of the
# tests' X server into <dir>/<name>.png and answers with <dir>/<name>.done. The suite's status is
# this script's status.
dir=$1
shift
mkdir -p "$dir" || exit 125
rm -f "$dir"/*.ready "$dir"/*.done
if [ -n "${OLV_XVFB_STATE:-}" ] && [ -s "$OLV_XVFB_STATE/xvfb.display" ]; then
    DISPLAY=":$(cat "$OLV_XVFB_STATE/xvfb.display")"
    export DISPLAY
fi
# The suite runs under Wine: the folder as a Windows path on drive Z:.
OLV_SCREENSHOTS="Z:$(printf '%s' "$dir" | tr '/' '\\')"
export OLV_SCREENSHOTS

"$@" &
suite=$!
answer() {
    for ready in "$dir"/*.ready; do
        [ -e "$ready" ] || continue
        name=$(basename "$ready" .ready)
        if [ -n "${DISPLAY:-}" ] && command -v import >/dev/null 2>&1; then
            if import -window root "$dir/$name.png" 2>/dev/null; then
                echo "screenshot: $dir/$name.png"
            else
                echo "screenshot $name could not be taken"
            fi
        else
            echo "screenshot $name skipped: no display or no ImageMagick import"
        fi
        rm -f "$ready"
        : >"$dir/$name.done"
    done
}
while kill -0 "$suite" 2>/dev/null; do
    answer
    sleep 0.1
done
wait "$suite"
