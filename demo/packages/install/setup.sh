#!/bin/sh
# The demo's follow-up program: the updater starts it after installing the
# install package, from the folder it was unpacked into. The first argument
# names the file it reports to.
log="$1"
shift
{
    echo "follow-up program started in: $(pwd)"
    echo "its arguments:"
    for arg in "$@"; do
        echo "  [$arg]"
    done
} > "$log"
