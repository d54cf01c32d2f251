#!/usr/bin/env bash
# Makes both downloads from a fresh clone, into build/cross/packages:
#   onefile-<version>-windows-x64.zip      the tool for Windows, built here with MinGW-w64
#   onefile-<version>-linux-x86_64.tar.gz  the tool for Linux (static)
# each with the stubs, the user's README, the licence, the notices and the CMake package. Builds
# only what they hold (not the tests), after the same set-up as the other scripts.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target onefile_tool
cmake --preset cross -DONEFILE_TOOL="$root/build/bin/onefile" >/dev/null
cmake --build --preset cross --target onefile_downloads
ls -l build/cross/packages/onefile-*
