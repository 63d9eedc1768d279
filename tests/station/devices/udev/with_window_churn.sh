#!/bin/sh
# Runs a command on a display of its own while window_churn makes and destroys windows there.
#
# usage: with_window_churn.sh WINDOW_CHURN COMMAND [ARGUMENT...]
set -eu
[ $# -ge 2 ] || { sed -n '2,4p' "$0"; exit 2; }
if [ -z "${WITH_WINDOW_CHURN_DISPLAY:-}" ]; then
    WITH_WINDOW_CHURN_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1600x1000x24" sh "$0" "$@"
fi
churn=$1
shift
"$churn" &
churn_pid=$!
status=0
"$@" || status=$?
kill "$churn_pid"
wait "$churn_pid" 2>/dev/null || true
exit "$status"
