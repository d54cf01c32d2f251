#!/usr/bin/env bash
# Measures the packaging tool against the linked build that it replaced (bench/build_time.py):
# the time to make a launcher of the application-like corpus, and the launch times of the two
# launchers. The linked kit is built from an older commit of this repository (BENCH_LINKED_COMMIT,
# by default the last one before the tool) into build/bench-linked; this tree's tool and stubs
# come from build/bin and BENCH_BUILD (build/bench). Writes bench/results/build_time.md and .json.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export BENCH_BUILD=${BENCH_BUILD:-$root/build/bench}
export BENCH_LINKED_COMMIT=${BENCH_LINKED_COMMIT:-36b49c8}
linked=$root/build/bench-linked

bash scripts/setup.sh
zstd_source=$(ls -d "$root"/build/_deps/libzstd-*/ | head -1)
if [ ! -x "$linked/bin/onefile-build" ]; then
  echo "bench: building the linked kit of $BENCH_LINKED_COMMIT" >&2
  rm -rf "$linked/src"
  mkdir -p "$linked/src"
  git -C "$root" archive "$BENCH_LINKED_COMMIT" | tar -x -C "$linked/src"
  cmake -S "$linked/src" -B "$linked/host" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DONEFILE_BIN_DIR="$linked/bin" -DONEFILE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$linked/host" --target onefile-pack
  cmake -S "$linked/src" -B "$linked/cross" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$linked/src/cmake/mingw-w64-x86_64.cmake" -DONEFILE_BUILD_TESTS=OFF \
    -DONEFILE_BUILD_BENCH=OFF -DONEFILE_ZSTD_SOURCE_DIR="$zstd_source" \
    -DONEFILE_PACK="$linked/bin/onefile-pack" -DONEFILE_BIN_DIR="$linked/bin" >/dev/null
  cmake --build "$linked/cross" --target onefile_build_kit
fi
export BENCH_LINKED_KIT=$linked/bin/onefile-build

cmake --preset host >/dev/null
cmake --build --preset host --target onefile_tool
export BENCH_TOOL=$root/build/bin/onefile
cmake --preset cross -B "$BENCH_BUILD" -DONEFILE_BUILD_TESTS=OFF -DONEFILE_BUILD_BENCH=ON \
  -DONEFILE_TOOL="$BENCH_TOOL" -DONEFILE_BIN_DIR="$BENCH_BUILD/bin" >/dev/null
cmake --build "$BENCH_BUILD" --target onefile_bench onefile_stubs
python3 bench/corpus.py "${BENCH_DATA:-$root/build/bench-data}"
stop_wine() { WINEPREFIX="$BENCH_BUILD/wineprefix" wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT
"$BENCH_BUILD/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
python3 bench/build_time.py
