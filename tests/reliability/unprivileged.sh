#!/bin/sh
# A launch by an unprivileged Linux user with a Wine prefix of that user's own. Wine enforces a
# DACL only through Linux modes, so this is where an owner-only directory could turn unusable: the
# launch must work, and while it runs its target directory must grant nothing to other users.
# Usage: unprivileged.sh LAUNCHER_EXE. Exit 77 (skipped) where no other user can be had.
# Everything the user needs (its prefix, a copy of the launcher) lies in a folder under /tmp, which
# that user can reach whatever the permissions of the build tree.
set -eu
uid=47111
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: running Wine as another user needs root and setpriv"
  exit 77
fi

work=$(mktemp -d /tmp/onefile-unprivileged.XXXXXX)
mkdir -p "$work/home"
launcher="$work/launcher.exe"
cp "$1" "$launcher"
as_user() {
  setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    env HOME="$work/home" USER=onefile-test WINEPREFIX="$work/prefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
}
stop() {
  as_user wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT

# The launch waits in the application until the test has looked at its directory.
windows_work="Z:$(printf '%s' "$work" | tr / '\\')"
{
  printf "ONEFILE_TEST_READY='%s\\\\ready' ONEFILE_TEST_GO='%s\\\\go' " "$windows_work" "$windows_work"
  printf "wine '%s' >'%s/out' 2>&1\n" "$launcher" "$work"
  printf "echo \$? >'%s/exit'\n" "$work"
} >"$work/run.sh"
chown -R "$uid:$uid" "$work"
as_user sh "$work/run.sh" </dev/null &
waited=0
until [ -e "$work/ready" ]; do
  waited=$((waited + 1))
  if [ $waited -gt 1200 ]; then
    echo "FAIL: the application never ran"
    cat "$work/out" 2>/dev/null || true
    exit 1
  fi
  sleep 0.1
done

# The application wrote "<process id>|<target directory>", a path on drive C: of the prefix.
target=$(cut -d'|' -f2 "$work/ready" | sed 's|^C:|drive_c|' | tr '\\' /)
target="$work/prefix/$target"
status=0
mode=$(stat -c %a "$target")
owner=$(stat -c %u "$target")
echo "target directory mode $mode, owner $owner"
case $mode in
  *0) ;;
  *) echo "FAIL: other users have access (mode $mode)"; status=1 ;;
esac
[ "$owner" = "$uid" ] || { echo "FAIL: owned by $owner"; status=1; }
as_user touch "$work/go"
wait
code=$(cat "$work/exit")
echo "launch exit code $code"
if [ "$code" != 0 ]; then
  echo "FAIL: the launch failed"
  cat "$work/out"
  status=1
fi
if [ -e "$target" ]; then
  echo "FAIL: the target directory was left"
  status=1
fi
exit $status
