#!/bin/sh
# The end of a desktop session: a graphical launch gets the end-session messages (Wine's null
# graphics driver gives top-level windows without a display, and wineboot --end-session sends
# WM_QUERYENDSESSION and WM_ENDSESSION), then every process of the session is ended, as Windows
# does after the messages. The launch's directory must be gone. The prefix is the test's own,
# kept in the build tree: ending every process would disturb the other tests' prefix.
#
# Before that, another process sends the launcher's window the same messages while the session
# goes on (plain, and as the Restart Manager's close request): the launch must go on untouched.
# Wine never reports the session as shutting down (SM_SHUTTINGDOWN), so the launcher's test seam
# stands a file in for that flag, which the test makes just before the real end.
# Usage: end_session.sh LAUNCHER_EXE PREFIX_DIR SENDER_EXE
set -eu
launcher=$1
sender=$3
prefix=$2
. "$(dirname "$0")/null_driver_prefix.sh"

windows_work="Z:$(printf '%s' "$work" | tr / '\\')"
ONEFILE_TEST_READY="$windows_work\\ready" ONEFILE_TEST_GO="$windows_work\\go" \
  ONEFILE_TEST_SESSION_ENDING="$windows_work\\ending" \
  wine "$launcher" </dev/null >"$work/out" 2>&1 &
waited=0
until [ -e "$work/ready" ]; do
  waited=$((waited + 1))
  if [ $waited -gt 600 ]; then
    echo "FAIL: the application never ran"; cat "$work/out"; exit 1
  fi
  sleep 0.1
done
# The application wrote "<process id>|<target directory>", a path on drive C: of the prefix.
target="$WINEPREFIX/$(cut -d'|' -f2 "$work/ready" | sed 's|^C:|drive_c|' | tr '\\' /)"
[ -d "$target" ] || { echo "FAIL: no unpack directory $target while the application runs"; exit 1; }

# Forged: the sender returns once the window procedure has, which would have removed the
# directory had it obeyed.
for flags in 0 1; do
  wine "$sender" $flags </dev/null >"$work/sent" 2>&1 || {
    echo "FAIL: no end-of-session window reached"; cat "$work/sent"; exit 1; }
  [ -d "$target" ] || { echo "FAIL: a forged WM_ENDSESSION (lParam $flags) removed $target"; exit 1; }
done
echo "forged end-of-session messages changed nothing"

touch "$work/ending"
wineboot --end-session </dev/null >/dev/null 2>&1
wineserver -k
wait || true
if [ -e "$target" ]; then
  echo "FAIL: the session's end left $target"; exit 1
fi
echo "the session's end removed the directory"
