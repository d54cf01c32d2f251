#!/usr/bin/env bash
# Builds the host tool (build/bin/onefile) and the Windows side (the stubs, the tool for Windows,
# the demo, the tests).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset cross -DONEFILE_TOOL="$root/build/bin/onefile" >/dev/null
cmake --build --preset cross "$@"
