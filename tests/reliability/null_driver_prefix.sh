# Sourced by the tests that need top-level windows without a display: makes $prefix the Wine
# prefix, with Wine's null graphics driver (set once per prefix), starts its server and services
# detached, and ends every process of that prefix when the script exits. Sets $work to a scratch
# folder, removed at exit.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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
