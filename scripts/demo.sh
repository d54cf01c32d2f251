#!/usr/bin/env bash
# Builds the demo application into build/bin/Marrowvale-installer.exe and runs it under Wine.
# Extra arguments go to the demo (try: --exit 7).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/build.sh" --target demo_launcher >/dev/null
exe="$root/build/bin/Marrowvale-installer.exe"
echo "Running $exe under Wine:"
set +e
# A graphical-subsystem program's output reaches the terminal through a pipe.
"$root/build/cross/wine-run" "$exe" "hello world" "$@" | cat
status=${PIPESTATUS[0]}
set -e
echo "Exit code: $status"
