#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: host tests natively and under the
# sanitizers (with a short fuzz run), Windows tests under Wine with the build tree's own prefix.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh

# The host code again under AddressSanitizer and UBSan, with a short run of the payload fuzzer:
# built and run at low priority beside the Windows build and tests, whose processes spend much of
# their time waiting on Wine. Its output follows theirs; it ends with the script.
mkdir -p build
asan_log="$root/build/host-asan.log"
# Its own session puts it in a scheduling group of its own where Linux groups by session
# (autogroup), so that group's priority is lowered too.
setsid nice -n 10 bash -c '{ echo 10 >/proc/self/autogroup; } 2>/dev/null
  cmake --preset host-asan >/dev/null && cmake --build --preset host-asan &&
  ctest --preset host-asan' >"$asan_log" 2>&1 </dev/null &
asan=$!
stop_wine() { WINEPREFIX="$root/build/cross/wineprefix" wineserver -k 2>/dev/null || true; }
finish() {
  kill -- -"$asan" 2>/dev/null || true
  stop_wine
}
trap finish EXIT

bash scripts/build.sh
ctest --preset host
# Start Wine's server and services once, detached, before any test process.
"$root/build/cross/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
cross_status=0
ctest --preset cross || cross_status=$?
stop_wine

asan_status=0
wait "$asan" || asan_status=$?
echo "--- the host code under AddressSanitizer and UBSan (build/host-asan.log)"
cat "$asan_log"
[ "$cross_status" -eq 0 ] || { echo "Windows tests failed" >&2; exit "$cross_status"; }
[ "$asan_status" -eq 0 ] || { echo "sanitizer build or tests failed" >&2; exit "$asan_status"; }
