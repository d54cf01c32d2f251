#!/usr/bin/env bash
# A large application-like tree (bench/pack_memory.sh's: four incompressible files of a quarter
# of BENCH_BIG_MIB each and 4000 small text-like files) packed and launched once for real:
#  - packing: `onefile build` against `tar | zstd -T0` at the same level, long-distance matching
#    and window (wall time, CPU, peak RSS);
#  - the first launch of the packed launcher under Wine (its main module is the benchmark's,
#    bench_main.dll), against the floor of unpacking on several threads: two process starts,
#    the minimal writer of the same entries from memory on the launcher's writer threads, and
#    the removal on as many threads (bench/programs, as bench/bench.py measures them);
#  - the launcher's peak memory: the launching process's peak working set (bench_timer --memory,
#    GetProcessMemoryInfo) and the largest Wine process's peak RSS on the Linux side.
# Prints figures against targets. Not a test. Needs the tool, the stubs and the benchmark
# programs built (bash scripts/build.sh), about 4.5 times BENCH_BIG_MIB of free disk, and as
# much free memory as the payload (the floor's writer holds the whole entry list). Removes the
# tree, the launcher and the lists at the end unless BENCH_BIG_KEEP=1.
#   BENCH_BIG_MIB    size of the large files together (default 4096)
#   BENCH_BIG_LEVEL  level of both compressors (default 3)
#   BENCH_BIG_ROUNDS launches and floors measured, median taken (default 3)
#   BENCH_BIG_PACK_ROUNDS  packings of each side, median taken (default 3)
#   BENCH_BIG_DIR    where everything goes (default build/bench-big)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool=$root/build/bin/onefile
cross=$root/build/cross
programs=$cross/bench
mib=${BENCH_BIG_MIB:-4096}
level=${BENCH_BIG_LEVEL:-3}
rounds=${BENCH_BIG_ROUNDS:-3}
pack_rounds=${BENCH_BIG_PACK_ROUNDS:-3}
dir=${BENCH_BIG_DIR:-$root/build/bench-big}
writers=$(($(nproc) > 1 ? ($(nproc) * 2 < 4 ? $(nproc) * 2 : 4) : 1))  # payload/writer_pool.cpp
export WINEPREFIX=$cross/wineprefix WINEDEBUG=-all
wine_run=$cross/wine-run
for need in "$tool" "$programs/bench_timer.exe" "$programs/bench_main.dll" \
  "$programs/floor_starts.exe" "$programs/floor_write_threads.exe" \
  "$programs/floor_remove_threads.exe"; do
  [ -e "$need" ] || { echo "big_tree: $need is missing: bash scripts/build.sh" >&2; exit 1; }
done
mkdir -p "$dir"
BENCH_PACK_DIR=$dir BENCH_PACK_MIB=$mib BENCH_PACK_TREE_ONLY=1 bash "$root/bench/pack_memory.sh"
tree=$dir/tree
launcher=$dir/Big.exe
cleanup() {
  [ "${BENCH_BIG_KEEP:-0}" = 1 ] && return
  rm -rf "$tree" "$launcher" "$dir/tree.tar.zst" "$dir/block" "$dir/frame.zst" "$dir/entries"
}
trap cleanup EXIT
input=$(du -sb --exclude='.complete-*' "$tree" | cut -f1)
files=$(find "$tree" -type f ! -name '.complete-*' | wc -l)

# Runs a command under /usr/bin/time -v; sets wall (s), cpu (s), rss (MiB).
timed() {
  /usr/bin/time -v -o "$dir/time.txt" sh -c "$*" >"$dir/out.txt" 2>&1 ||
    { cat "$dir/out.txt" >&2; return 1; }
  wall=$(awk -F': ' '/Elapsed/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s}' "$dir/time.txt")
  cpu=$(awk -F': ' '/User time/ {u=$2} /System time/ {s=$2} END {printf "%.1f", u + s}' "$dir/time.txt")
  rss=$(awk -F': ' '/Maximum resident/ {printf "%.0f", $2 / 1024}' "$dir/time.txt")
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
verdict() { awk -v v="$1" -v t="$2" -v way="$3" 'BEGIN {ok = way == "max" ? v <= t : v >= t; print ok ? "met" : "NOT met"}'; }

echo "Input: $((input / 1048576)) MiB in $files files; level $level; $(nproc) cores; $writers writer threads"
echo
# Packing, BENCH_BIG_PACK_ROUNDS times each side, alternating, medians taken (the wall times of a
# shared machine vary by half from one run to the next); the launcher last, so that it is what
# the launches below unpack.
cp "$programs/bench_main.dll" "$dir/bench_main.dll"
tool_walls=() tool_cpus=() tool_rsss=() zstd_walls=() zstd_cpus=() zstd_rsss=()
for round in $(seq "$pack_rounds"); do
  timed "tar -C '$tree' -cf - . | zstd -q -T0 --long=25 -$level -o '$dir/tree.tar.zst' -f"
  zstd_walls+=("$wall") zstd_cpus+=("$cpu") zstd_rsss+=("$rss")
  zstd_size=$(stat -c %s "$dir/tree.tar.zst")
  rm -f "$dir/tree.tar.zst"
  rm -f "$launcher"
  timed "'$tool' build --main '$dir/bench_main.dll' --dir '$tree' -o '$launcher' --level $level --no-progress"
  tool_walls+=("$wall") tool_cpus+=("$cpu") tool_rsss+=("$rss")
  tool_size=$(stat -c %s "$launcher")
  echo "pack round $round: onefile $wall s, zstd ${zstd_walls[-1]} s" >&2
done
tool_wall=$(median "${tool_walls[@]}") tool_cpu=$(median "${tool_cpus[@]}")
tool_rss=$(median "${tool_rsss[@]}") zstd_wall=$(median "${zstd_walls[@]}")
zstd_cpu=$(median "${zstd_cpus[@]}") zstd_rss=$(median "${zstd_rsss[@]}")
echo "| packing (median of $pack_rounds) | wall | CPU | peak RSS | output |"
echo "|---|---:|---:|---:|---:|"
printf '| onefile build, level %s | %.1f s | %s s | %s MiB | %.0f MiB |\n' "$level" "$tool_wall" \
  "$tool_cpu" "$tool_rss" "$(ratio "$tool_size" 1048576)"
printf '| tar \\| zstd -T0 --long=25, level %s | %.1f s | %s s | %s MiB | %.0f MiB |\n' "$level" \
  "$zstd_wall" "$zstd_cpu" "$zstd_rss" "$(ratio "$zstd_size" 1048576)"
speed=$(ratio "$zstd_wall" "$tool_wall")
echo
echo "Packing speed x zstd: $speed (target >= 0.9: $(verdict "$speed" 0.9 min))"
echo "Packing peak RSS: $tool_rss MiB (target <= 256 MiB + the compressor's windows; zstd's own: $zstd_rss MiB)"
echo

# The floor's entries: the same tree and main module packed by `onefile pack` (its entry list is
# the launcher's), decompressed.
"$tool" pack --main "$dir/bench_main.dll" --dir "$tree" -o "$dir/block" --level 1 >/dev/null
block_size=$(stat -c %s "$dir/block")
tail -c +4 "$dir/block" | head -c $((block_size - 12)) >"$dir/frame.zst"
rm -f "$dir/block"
zstd -q -d --long=25 -f "$dir/frame.zst" -o "$dir/entries"
rm -f "$dir/frame.zst"

winpath() { echo "Z:${1//\//\\}"; }
"$wine_run" cmd /c exit </dev/null >/dev/null 2>&1
temp_windows=$("$wine_run" cmd /c echo %TEMP% </dev/null | tr -d '\r')
temp=$(winepath -u "$temp_windows" 2>/dev/null | sed 's|/$||')
floor_windows="$temp_windows\\onefile_bench_floor"
floor=$temp/onefile_bench_floor
timer() {  # the bench_timer.exe figures of one command line: total seconds, peak_ws, stderr
  "$wine_run" "$programs/bench_timer.exe" "$@" </dev/null 2>"$dir/timer.err" >"$dir/timer.out"
  total=$(awk '{for (i = 1; i <= NF; i++) {split($i, kv, "="); f[kv[1]] = kv[2]}}
    END {printf "%.3f", (f["end"] - f["start"]) / f["frequency"]}' "$dir/timer.out")
  peak_ws=$(grep -o 'peak_ws=[0-9]*' "$dir/timer.out" | cut -d= -f2 || true)
}
figure() { grep -o "$1=[0-9.]*" "$dir/timer.err" | tail -1 | cut -d= -f2; }
launches=() starts=() writes=() removes=()
for round in $(seq 0 "$rounds"); do  # round 0 warms up
  rm -rf "$floor" "$temp"/onefile_*
  timed "'$wine_run' '$programs/bench_timer.exe' -- '$(winpath "$launcher")' </dev/null"
  launch_time=$(awk '{for (i = 1; i <= NF; i++) {split($i, kv, "="); f[kv[1]] = kv[2]}}
    END {printf "%.3f", (f["end"] - f["start"]) / f["frequency"]}' "$dir/out.txt")
  grep -q 'exit=0' "$dir/out.txt" || { echo "big_tree: the launch failed:" >&2; cat "$dir/out.txt" >&2; exit 1; }
  if [ -n "$(find "$temp" -maxdepth 1 -name 'onefile_*')" ]; then
    echo "big_tree: the launch left its directory behind" >&2; exit 1
  fi
  timer -- "$(winpath "$programs/floor_starts.exe")"
  start_time=$total
  timer -- "$(winpath "$programs/floor_write_threads.exe")" "$(winpath "$dir/entries")" \
    "$floor_windows" "$writers"
  write_time=$(printf '%.3f' "$(figure write)")
  timer -- "$(winpath "$programs/floor_remove_threads.exe")" "$floor_windows" "$writers"
  remove_time=$(printf '%.3f' "$(figure remove)")
  [ ! -e "$floor" ] || { echo "big_tree: the floor's removal left the tree" >&2; exit 1; }
  echo "round $round: launch $launch_time s, starts $start_time s, write $write_time s, remove $remove_time s" >&2
  if [ "$round" -gt 0 ]; then
    launches+=("$launch_time") starts+=("$start_time") writes+=("$write_time")
    removes+=("$remove_time")
  fi
done
# The launcher's peak memory, in a run of its own (the sampling costs time): its peak working set
# as the launching process reports it, and the Linux side's peak RSS (VmHWM) of every process
# whose command line names the launcher (the launching process and its child), sampled.
rm -rf "$temp"/onefile_* "$dir/sampled" "$dir/sampled.stop"
python3 -c '
import os, sys, time
name, out = sys.argv[1].encode(), sys.argv[2]
peak = 0
while not os.path.exists(out + ".stop"):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if name not in open(f"/proc/{pid}/cmdline", "rb").read():
                continue
            for line in open(f"/proc/{pid}/status"):
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    time.sleep(0.05)
open(out, "w").write(str(peak // 1024))
' "$(basename "$launcher")" "$dir/sampled" &
sampler=$!
timer --memory -- "$(winpath "$launcher")"
touch "$dir/sampled.stop"
wait "$sampler"
launch_rss=$(cat "$dir/sampled")
rm -f "$dir/sampled" "$dir/sampled.stop"
launch=$(median "${launches[@]}") start=$(median "${starts[@]}") write=$(median "${writes[@]}")
remove=$(median "${removes[@]}")
floor_total=$(awk -v a="$start" -v b="$write" -v c="$remove" 'BEGIN {printf "%.3f", a + b + c}')
launch_ratio=$(ratio "$launch" "$floor_total")
echo "| first launch under Wine (median of $rounds) | time | x floor |"
echo "|---|---:|---:|"
echo "| launcher: start to exit, directory gone | $launch s | $launch_ratio |"
echo "| floor: two process starts | $start s | |"
echo "| floor: the writer on $writers threads from memory | $write s | |"
echo "| floor: the removal on $writers threads | $remove s | |"
echo "| floor of the whole launch on $writers threads | $floor_total s | 1.00 |"
echo
echo "First launch x parallel floor: $launch_ratio (target <= 1.10: $(verdict "$launch_ratio" 1.10 max))"
peak_ws_mib=$(awk -v b="${peak_ws:-0}" 'BEGIN {printf "%.0f", b / 1048576}')
echo "Launcher peak working set: $peak_ws_mib MiB; its processes' largest peak RSS (Linux): $launch_rss MiB" \
  "(target: bounded, <= 256 MiB at any payload size: $(verdict "$launch_rss" 256 max))"
