#!/usr/bin/env bash
# The compression level against payload size and time: a tar of the application-like corpus
# (bench/corpus.py's corpus1) through zstd on every core, at each level with and without
# long-distance matching (the packer's window, 32 MiB). Not a test: prints a Markdown table, the
# sizes and times also as a ratio to level 19's.
#   BENCH_LEVELS  levels to measure (default "1 3 6 9 12 15 17 19")
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
data=${BENCH_DATA:-$root/build/bench-data}
python3 "$root/bench/corpus.py" "$data" >/dev/null
tar_file=$data/corpus1.tar
[ -f "$tar_file" ] || tar -C "$data/corpus1" -cf "$tar_file" .
levels=${BENCH_LEVELS:-1 3 6 9 12 15 17 19}
declare -A size seconds
for long in "" "--long=25"; do
  for level in $levels; do
    start=$(date +%s.%N)
    zstd -q -f -T0 $long -"$level" "$tar_file" -o "$data/levels.zst"
    end=$(date +%s.%N)
    size[$level$long]=$(stat -c %s "$data/levels.zst")
    seconds[$level$long]=$(echo "$end - $start" | bc -l)
  done
done
echo "Input: $(($(stat -c %s "$tar_file") / 1048576)) MiB (tar of corpus1); $(nproc) cores; zstd $(zstd -V | grep -o 'v[0-9.]*')"
echo
echo "| level | long | size | size / level 19 long | time | level 19 long's time / this |"
echo "|---:|:---:|---:|---:|---:|---:|"
reference=19--long=25
for level in $levels; do
  for long in "" "--long=25"; do
    key=$level$long
    printf '| %s | %s | %.2f MiB | %.3f | %.1f s | %.1f |\n' "$level" "${long:+yes}" \
      "$(echo "${size[$key]} / 1048576" | bc -l)" \
      "$(echo "${size[$key]} / ${size[$reference]}" | bc -l)" "${seconds[$key]}" \
      "$(echo "${seconds[$reference]} / ${seconds[$key]}" | bc -l)"
  done
done
