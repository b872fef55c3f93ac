#!/bin/sh
# Runs the updater on the X display that xvfb-run made, photographs its
# window and any error box (captioned in German or English), and answers an
# error box with Return, as a user would. Leaves in OUTDIR: window.png,
# box.png (when seen), box-title (the box's caption), exit-code (or
# "timeout").
#
# Usage: xvfb-run -a run-under-xvfb.sh UPDATER OUTDIR SECONDS

updater=$1
outdir=$2
limit=$3

# The server may still be coming up when xvfb-run starts us.
. "$(dirname "$0")/xvfb-common.sh"
start_on_display "$updater" "$outdir" exit-code

find_window() {
    xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1
}

waited=0
while kill -0 "$pid" 2>/dev/null; do
    if [ ! -e "$outdir/window.png" ]; then
        window=$(find_window '^Programmaktualisierung$')
        if [ -n "$window" ]; then
            import -window root "$outdir/window.png" 2>/dev/null
        fi
    fi
    box=$(find_window '^(Fehler|Error)$')
    if [ -n "$box" ] && [ ! -e "$outdir/box.png" ]; then
        xdotool getwindowname "$box" > "$outdir/box-title"
        import -window root "$outdir/box.png" 2>/dev/null
        xdotool windowfocus --sync "$box" 2>/dev/null
        xdotool key --clearmodifiers Return
    fi
    sleep 0.1
    waited=$((waited + 1))
    if [ "$waited" -gt $((limit * 10)) ]; then
        kill "$pid"
        wait "$pid"
        echo timeout > "$outdir/exit-code"
        exit 0
    fi
done
wait "$pid"
echo $? > "$outdir/exit-code"
