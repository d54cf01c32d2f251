#!/usr/bin/env bash
# Builds launchers the two ways a user would, outside this build tree, and runs them under Wine:
# onefile-build, and find_package(onefile) from an installed copy of this build.
set -euo pipefail
build_dir=$1 source_dir=$2 bin_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wine_run="$build_dir/wine-run"
expect_exit() {  # expected, then the command
  local expected=$1; shift
  set +e; "$@" >"$work/out" 2>&1; local status=$?; set -e
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: $* exited $status, expected $expected"; cat "$work/out"; exit 1
  fi
}

"$bin_dir/onefile-build" --main "$build_dir/examples/demo_main.dll" \
  --dir "$source_dir/examples/demo/files" -o "$work/Built App.exe" --level 3 --version 1.2.3.4
expect_exit 5 "$wine_run" "$work/Built App.exe" --exit 5
grep -q "readme.txt" "$work/out" || { echo "FAIL: files missing"; cat "$work/out"; exit 1; }

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/tests/launcher/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -Donefile_DIR="$work/prefix/share/onefile/cmake" >/dev/null
cmake --build "$work/consumer" >/dev/null
expect_exit 9 "$wine_run" "$work/consumer/ConsumerApp.exe" --exit 9
grep -q "sub\\\\deeper\\\\empty.bin" "$work/out" || { echo "FAIL: files missing"; cat "$work/out"; exit 1; }
echo "both ways build working launchers"
