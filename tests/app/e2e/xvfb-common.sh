# Shared by the drivers that run a program on the display xvfb-run made.
# Source it, then call: start_on_display PROGRAM OUTDIR RESULTFILE
# It waits for the display (writing "no X display" to OUTDIR/RESULTFILE and
# ending the driver when none comes) and starts PROGRAM in the background,
# its standard error in OUTDIR/stderr; $pid is the program's.

start_on_display() {
    tries=0
    until xdpyinfo >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ]; then
            echo "no X display" > "$2/$3"
            exit 0
        fi
        sleep 0.1
    done
    # No session bus on the virtual display: without this, the D-Bus library
    # forks a bus launcher from the running program, and under the sanitizers
    # a child forked from a threaded process can hang in the allocator's lock.
    DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus" "$1" 2> "$2/stderr" &
    pid=$!
}
