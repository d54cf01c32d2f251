#!/usr/bin/env bash
# The packaging tool's time and peak memory on a large application-like tree, against
# `tar | zstd -T0` at the same level (with the same long-distance matching and window) on the
# same tree: many small files and a few large incompressible ones. Not a test: it prints a table
# row per level (Markdown) and wants the tool and the stubs built (bash scripts/build.sh).
#   BENCH_PACK_MIB   size of the large files together (default 1024)
#   BENCH_PACK_LEVELS  levels to measure (default "3 19")
#   BENCH_PACK_DIR   where the tree and the outputs go (default build/bench-pack)
#   BENCH_PACK_TOOL  the tool to measure (default build/bin/onefile)
#   BENCH_PACK_TREE_ONLY=1  make the tree and stop (bench/big_tree.sh)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=${BENCH_PACK_TOOL:-$root/build/bin/onefile}
dir=${BENCH_PACK_DIR:-$root/build/bench-pack}
mib=${BENCH_PACK_MIB:-1024}
levels=${BENCH_PACK_LEVELS:-3 19}
tree=$dir/tree
if [ ! -f "$tree/.complete-$mib" ]; then
  rm -rf "$tree" && mkdir -p "$tree/lib" "$tree/models"
  # Four incompressible files, and 4000 small, compressible ones (text-like) in 40 folders.
  for i in 1 2 3 4; do head -c $((mib * 1024 * 1024 / 4)) /dev/urandom >"$tree/models/weights$i.bin"; done
  python3 - "$tree/lib" <<'PY'
import os, random, sys
random.seed(1)
words = [f"symbol_{i}" for i in range(5000)]
for d in range(40):
    os.makedirs(os.path.join(sys.argv[1], f"pkg{d}"), exist_ok=True)
    for f in range(100):
        text = " ".join(random.choice(words) for _ in range(random.randint(50, 4000)))
        open(os.path.join(sys.argv[1], f"pkg{d}", f"module{f}.py"), "w").write(text)
PY
  cp "$root/build/bin/stubs/launcher.exe" "$tree/app.exe"
  touch "$tree/.complete-$mib"
fi
[ "${BENCH_PACK_TREE_ONLY:-0}" = 1 ] && exit 0
input=$(du -sb --exclude=.complete-* "$tree" | cut -f1)
measure() {  # label, output file, then the command (through sh -c)
  local label=$1 output=$2; shift 2
  /usr/bin/time -v -o "$dir/time.txt" sh -c "$*" >/dev/null 2>&1
  local wall rss size
  wall=$(awk -F': ' '/Elapsed/ {print $2}' "$dir/time.txt")
  rss=$(awk -F': ' '/Maximum resident/ {printf "%.0f", $2 / 1024}' "$dir/time.txt")
  cpu=$(awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} END {printf "%.1f", u + s}' "$dir/time.txt")
  size=$(stat -c %s "$output")
  printf '| %s | %s | %s s | %s MiB | %.1f MiB |\n' "$label" "$wall" "$cpu" "$rss" "$(echo "$size / 1048576" | bc -l)"
}
echo "Input: $((input / 1048576)) MiB in $(find "$tree" -type f | wc -l) files; $(nproc) cores"
echo
echo "| what | wall | CPU | peak RSS | output |"
echo "|---|---:|---:|---:|---:|"
for level in $levels; do
  measure "onefile build, level $level" "$dir/App.exe" \
    "'$tool' build --run app.exe --dir '$tree' -o '$dir/App.exe' --level $level"
  measure "tar | zstd -T0 --long=25, level $level" "$dir/tree.tar.zst" \
    "tar -C '$tree' -cf - . | zstd -q -T0 --long=25 -$level $( [ "$level" -gt 19 ] && echo --ultra) -o '$dir/tree.tar.zst' -f"
done
