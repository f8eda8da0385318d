#!/bin/sh
# Stands in for a Wine session that loses program starts, as the scenario tests' emulator:
#   lose_starts.sh <counter file> <starts to lose> <command...>
# The first runs (counted in the file) end with status 0 before the command starts, writing
# nothing at all; the later ones run it.
counter=$1
lose=$2
shift 2
done=$(cat "$counter" 2>/dev/null || echo 0)
if [ "$done" -lt "$lose" ]; then
    echo $((done + 1)) >"$counter"
    exit 0
fi
exec "$@"
