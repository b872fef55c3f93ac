#!/bin/sh
# Starts a program on the X display that xvfb-run made, waits until it shows
# a window, writes the names of its visible windows to OUTDIR/titles and
# ends the program. Writes "timeout" instead when no window came.
#
# Usage: xvfb-run -a window-titles-under-xvfb.sh PROGRAM OUTDIR SECONDS

program=$1
outdir=$2
limit=$3

. "$(dirname "$0")/xvfb-common.sh"
start_on_display "$program" "$outdir" titles

waited=0
while kill -0 "$pid" 2>/dev/null; do
    windows=$(xdotool search --onlyvisible --pid "$pid" --name '.' 2>/dev/null)
    if [ -n "$windows" ]; then
        for window in $windows; do
            xdotool getwindowname "$window"
        done > "$outdir/titles"
        kill "$pid"
        wait "$pid"
        exit 0
    fi
    sleep 0.1
    waited=$((waited + 1))
    if [ "$waited" -gt $((limit * 10)) ]; then
        break
    fi
done
kill "$pid" 2>/dev/null
wait "$pid"
echo timeout > "$outdir/titles"
