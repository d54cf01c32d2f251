#!/usr/bin/env bash
# Runs every benchmark and writes bench/results/results.md (the table) and chart.png.
# Installs what it needs first: Debian's gnuplot, zip and zstd, the peers from npm (into
# build/bench-npm), the host tool, and the Windows programs in their own tree (build/bench,
# or BENCH_BUILD). Settings: BENCH_ROUNDS (5), BENCH_MEMORY_ROUNDS (3), BENCH_PACK_ROUNDS (5),
# BENCH_PACK_CORPORA ("corpus1"), BENCH_LIGHT_REPEATS (5: the launches of a tenth of a second,
# taken that many times a round), BENCH_BASELINES ("name=/path/to/onefile-build ...": launchers
# of another kit measured in the same run; the launcher of this tree built with all of its
# unpacking on the main thread, ONEFILE_UNPACK_THREADS=1, is always among them as "serial", from
# build/bench-serial or BENCH_SERIAL_BUILD), BENCH_ONLY (keep: only the kept launcher's rows and
# what they are compared with; small: only the small launch's rows, of this tree's launcher and
# the BENCH_BASELINES kits; both printed and not written to the results). `python3 bench/bench.py
# --report-only` writes the table and the chart again from bench/results/results.json without
# measuring.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export BENCH_BUILD=${BENCH_BUILD:-$root/build/bench}
npm_dir=$root/build/bench-npm
caxa_version=3.0.1
seven_zip_version=5.2.0

bash scripts/setup.sh
sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for p in gnuplot-nox zip gzip tar zstd; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench: installing ${missing[*]}" >&2
  sudo_if_needed apt-get update -qq </dev/null >/dev/null
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" </dev/null >/dev/null
fi
command -v npm >/dev/null || { echo "bench: npm is needed for the peers" >&2; exit 1; }

# The peers' npm packages, unpacked only (their Windows binaries are all that is used).
mkdir -p "$npm_dir"
for spec in "caxa@$caxa_version:caxa" "7zip-bin@$seven_zip_version:7zip-bin"; do
  package=${spec%%:*}
  name=${spec##*:}
  if [ ! -d "$npm_dir/$name/package" ]; then
    echo "bench: fetching $package from npm" >&2
    tarball=$(cd "$npm_dir" && npm pack --silent "$package")
    mkdir -p "$npm_dir/$name"
    tar -xzf "$npm_dir/$tarball" -C "$npm_dir/$name"
  fi
done
chmod +x "$npm_dir/7zip-bin/package/linux/x64/7za"

if [ ! -x build/bin/onefile ]; then
  cmake --preset host >/dev/null
  cmake --build --preset host --target onefile_tool
fi
export BENCH_TOOL=$root/build/bin/onefile
cmake --preset cross -B "$BENCH_BUILD" -DONEFILE_BUILD_TESTS=OFF -DONEFILE_BUILD_BENCH=ON \
  -DONEFILE_TOOL="$BENCH_TOOL" -DONEFILE_BIN_DIR="$BENCH_BUILD/bin" >/dev/null
cmake --build "$BENCH_BUILD" -j2 --target onefile_bench onefile_stubs
if [ -z "${BENCH_ONLY:-}" ]; then
  serial_build=${BENCH_SERIAL_BUILD:-$root/build/bench-serial}
  cmake --preset cross -B "$serial_build" -DONEFILE_BUILD_TESTS=OFF -DONEFILE_BUILD_BENCH=OFF \
    -DONEFILE_UNPACK_THREADS=1 -DONEFILE_TOOL="$BENCH_TOOL" -DONEFILE_BIN_DIR="$serial_build/bin" \
    >/dev/null
  cmake --build "$serial_build" -j2 --target onefile_stubs
  export BENCH_BASELINES="serial=$serial_build/bin/onefile-build ${BENCH_BASELINES:-}"
fi

python3 bench/corpus.py "${BENCH_DATA:-$root/build/bench-data}"
stop_wine() { WINEPREFIX="$BENCH_BUILD/wineprefix" wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT
"$BENCH_BUILD/wine-run" cmd /c exit </dev/null >/dev/null 2>&1
python3 bench/bench.py
