#!/bin/sh
# Runs a command on an Xvfb display of its own: with-xvfb.sh COMMAND [ARGS...]
set -eu
. "$(dirname "$0")/../../tools/xvfb.sh"
log=$(mktemp)
trap 'stop_xvfb; rm -f "$log"' EXIT
start_xvfb "$log"
set +e
"$@"
code=$?
set -e
exit "$code"
