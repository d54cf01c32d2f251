#!/bin/sh
# Runs a Windows program under Wine in a prefix of its own with Wine's null graphics driver, where
# top-level windows exist without a display (as end_session.sh sets it up), and ends every
# process of that prefix afterwards. The program's output is collected in a file and shown at the
# end: Wine's desktop process, which the first window starts, would otherwise keep the caller's
# pipes open. Usage: null_display.sh PREFIX_DIR PROGRAM [ARGUMENT...]
set -eu
prefix=$1
. "$(dirname "$0")/null_driver_prefix.sh"
shift
status=0
wine "$@" </dev/null >"$work/out" 2>&1 || status=$?
cat "$work/out"
exit $status
