#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: host tests natively and under the
# sanitizers (with a short fuzz run), Windows tests under Wine with the build tree's own prefix.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/build.sh
ctest --preset host
# The host code again under AddressSanitizer and UBSan, with a short run of the payload fuzzer.
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan
ctest --preset host-asan
stop_wine() { WINEPREFIX="$root/build/cross/wineprefix" wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT
# Start Wine's server and services once, detached, before any test process.
"$root/build/cross/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
ctest --preset cross
