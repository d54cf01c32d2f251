#!/bin/sh
# Runs a Windows program under Wine in a prefix of its own with Wine's null graphics driver, where
# top-level windows exist without a display (as end_session.sh sets it up), and ends every
# process of that prefix afterwards. The program's output is collected in a file and shown at the
# end: Wine's desktop process, which the first window starts, would otherwise keep the caller's
# pipes open. Usage: null_display.sh PREFIX_DIR PROGRAM [ARGUMENT...]
set -eu
export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift
work=$(mktemp -d)
stop() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT
if [ ! -e "$WINEPREFIX/.onefile-null-driver" ]; then
  mkdir -p "$WINEPREFIX"
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.onefile-null-driver"
fi
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
status=0
wine "$@" </dev/null >"$work/out" 2>&1 || status=$?
cat "$work/out"
exit $status
