#!/bin/sh
# Launches by an unprivileged Linux user with a Wine prefix of that user's own. Wine enforces a
# DACL only through Linux modes, so this is where a directory's descriptor could turn it unusable:
# every launch must work, and while it runs its directory must grant nothing to other users. Under
# Wine every token is elevated, so the elevated level's descriptor (Administrators and the system
# in full, the user read and execute) is the one a launch takes; the seam ONEFILE_TEST_LEVEL=user
# takes the user level's. A launcher that keeps its files runs twice: unpacking, then from the
# kept directory.
# Usage: unprivileged.sh LAUNCHER_EXE KEPT_LAUNCHER_EXE. Exit 77 (skipped) where no other user can
# be had. Everything the user needs (its prefix, copies of the launchers) lies in a folder under
# /tmp, which that user can reach whatever the permissions of the build tree.
set -eu
uid=47111
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: running Wine as another user needs root and setpriv"
  exit 77
fi

work=$(mktemp -d /tmp/onefile-unprivileged.XXXXXX)
mkdir -p "$work/home"
cp "$1" "$work/launcher.exe"
cp "$2" "$work/kept_launcher.exe"
chown -R "$uid:$uid" "$work"
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
windows_work="Z:$(printf '%s' "$work" | tr / '\\')"
status=0

# launch NAME EXE [VARIABLE=VALUE...]: runs EXE as the user and waits in the application until its
# directory has been looked at; leaves that directory's Linux path in $target.
launch() {
  name=$1
  exe=$2
  shift 2
  rm -f "$work/ready" "$work/go" "$work/exit"
  {
    printf "ONEFILE_TEST_READY='%s\\\\ready' ONEFILE_TEST_GO='%s\\\\go' " "$windows_work" "$windows_work"
    for setting in "$@"; do printf "%s " "$setting"; done
    printf "wine '%s/%s' >'%s/out' 2>&1\n" "$work" "$exe" "$work"
    printf "echo \$? >'%s/exit'\n" "$work"
  } >"$work/run.sh"
  chown "$uid:$uid" "$work/run.sh"
  as_user sh "$work/run.sh" </dev/null &
  waited=0
  until [ -e "$work/ready" ]; do
    waited=$((waited + 1))
    if [ $waited -gt 1200 ]; then
      echo "FAIL ($name): the application never ran"
      cat "$work/out" 2>/dev/null || true
      exit 1
    fi
    sleep 0.1
  done
  # The application wrote "<process id>|<target directory>", a path on drive C: of the prefix.
  target=$(cut -d'|' -f2 "$work/ready" | sed 's|^C:|drive_c|' | tr '\\' /)
  target="$work/prefix/$target"
  mode=$(stat -c %a "$target")
  owner=$(stat -c %u "$target")
  echo "$name: directory mode $mode, owner $owner"
  case $mode in
    *0) ;;
    *) echo "FAIL ($name): other users have access (mode $mode)"; status=1 ;;
  esac
  [ "$owner" = "$uid" ] || { echo "FAIL ($name): owned by $owner"; status=1; }
  as_user touch "$work/go"
  wait
  code=$(cat "$work/exit")
  echo "$name: exit code $code"
  if [ "$code" != 0 ]; then
    echo "FAIL ($name): the launch failed"
    cat "$work/out"
    status=1
  fi
}

launch elevated launcher.exe
[ ! -e "$target" ] || { echo "FAIL (elevated): the target directory was left"; status=1; }
launch user launcher.exe ONEFILE_TEST_LEVEL=user
[ ! -e "$target" ] || { echo "FAIL (user): the target directory was left"; status=1; }
launch kept kept_launcher.exe
kept=$target
launch "kept, again" kept_launcher.exe
[ "$target" = "$kept" ] || { echo "FAIL: the second launch ran from $target"; status=1; }
[ -e "$kept/onefile.kept" ] || { echo "FAIL: the kept directory is gone"; status=1; }
exit $status
