#!/usr/bin/env python3
"""The packaging tool against the linked build it replaced, on the application-like corpus.

Run through bench/build_time.sh, which builds both kits. Measures, alternating within each round
(medians of BENCH_BUILD_ROUNDS):
- making a launcher: `onefile build` (packing, then writing the image from the stub) against the
  older tree's onefile-build (packing, then compiling the settings, assembling the payload and
  linking), both at level 19 on all cores;
- launching the two launchers, which hold the same payload: bench_timer.exe from the Windows side,
  to run_code and to the end, as bench/bench.py measures its launch rows.
Writes bench/results/build_time.md and .json, and the table into results.md (bench/bench.py's
report includes it too).
"""
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  (the shared paths, the Windows-side timer)

ROUNDS = int(os.environ.get("BENCH_BUILD_ROUNDS", "3"))
LAUNCH_ROUNDS = int(os.environ.get("BENCH_LAUNCH_ROUNDS", "15"))
TOOL = os.environ.get("BENCH_TOOL", os.path.join(bench.ROOT, "build", "bin", "onefile"))
STUB = os.path.join(bench.BUILD, "bin", "stubs", "launcher.exe")
LINKED_KIT = os.environ["BENCH_LINKED_KIT"]
LINKED_COMMIT = os.environ.get("BENCH_LINKED_COMMIT", "")


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    main_module = os.path.join(bench.PROGRAMS, "bench_main.dll")
    corpus = os.path.join(bench.DATA, "corpus1")
    os.makedirs(bench.WORK, exist_ok=True)
    outputs = {"tool": os.path.join(bench.WORK, "tool", "App.exe"),
               "linked": os.path.join(bench.WORK, "linked", "App.exe")}
    for output in outputs.values():
        os.makedirs(os.path.dirname(output), exist_ok=True)
    common = ["--main", main_module, "--dir", corpus, "--level", "19"]
    commands = {"tool": [TOOL, "build", "--stub", STUB, *common, "-o", outputs["tool"]],
                "linked": [LINKED_KIT, *common, "-o", outputs["linked"]]}
    samples = {}
    for round_number in range(ROUNDS + 1):
        for name, command in commands.items():
            seconds = timed(command)
            bench.log(f"build_time: round {round_number} {name} {seconds:.2f} s")
            if round_number > 0:  # the first round warms the caches
                samples.setdefault(f"build/{name}", []).append(seconds)

    timer = bench.Timer()
    for round_number in range(LAUNCH_ROUNDS + 1):
        for name, output in outputs.items():
            result = timer.run([bench.windows_path(output)])
            if result["exit"] != 0:
                raise RuntimeError(f"{name} launcher failed: {result['stderr']}")
            if round_number > 0:
                samples.setdefault(f"launch/{name}", []).append(result["total"])
                samples.setdefault(f"run_code/{name}", []).append(result["to_stamp"])

    m = {key: statistics.median(values) for key, values in samples.items()}
    sizes = {name: os.path.getsize(output) for name, output in outputs.items()}
    files = sum(len(names) for _, _, names in os.walk(corpus))
    data = {"rounds": ROUNDS, "launch_rounds": LAUNCH_ROUNDS, "medians": m, "samples": samples,
            "sizes": sizes, "linked_commit": LINKED_COMMIT, "threads": os.cpu_count(),
            "files": files, "date": time.strftime("%Y-%m-%d")}
    lines = [
        "## Making a launcher: the packaging tool against the linked build",
        "",
        f"Made by `bash bench/build_time.sh` on {data['date']}, {os.cpu_count()} cores; the "
        f"application-like corpus ({files} files) with bench_main.dll, level 19 on every core. "
        f"`tool`: `onefile build` on the prebuilt stub; `linked`: onefile-build of the tree before "
        f"the tool{' (' + LINKED_COMMIT[:10] + ')' if LINKED_COMMIT else ''}, which compiles the "
        "settings, assembles the payload and links a launcher each time. Medians of "
        f"{ROUNDS} builds and {LAUNCH_ROUNDS} launches, alternating.",
        "",
        "| what | tool | linked | tool / linked |",
        "|---|---:|---:|---:|",
        f"| make the launcher | {m['build/tool']:.2f} s | {m['build/linked']:.2f} s | "
        f"{m['build/tool'] / m['build/linked']:.2f} |",
        f"| launch to run_code | {1000 * m['run_code/tool']:.1f} ms | "
        f"{1000 * m['run_code/linked']:.1f} ms | {m['run_code/tool'] / m['run_code/linked']:.2f} |",
        f"| launch to the end (cleanup included) | {1000 * m['launch/tool']:.1f} ms | "
        f"{1000 * m['launch/linked']:.1f} ms | {m['launch/tool'] / m['launch/linked']:.2f} |",
        f"| launcher size | {sizes['tool'] / 2**20:.2f} MiB | {sizes['linked'] / 2**20:.2f} MiB | "
        f"{sizes['tool'] / sizes['linked']:.3f} |",
        "",
    ]
    results = bench.RESULTS
    json.dump(data, open(os.path.join(results, "build_time.json"), "w"), indent=1)
    open(os.path.join(results, "build_time.md"), "w").write("\n".join(lines))
    # Into results.md as well, in place of an earlier run's table (bench.py adds it when it
    # writes results.md anew).
    results_md = os.path.join(results, "results.md")
    text = open(results_md).read() if os.path.exists(results_md) else ""
    text = text.split(lines[0])[0].rstrip("\n") + "\n\n" if text else ""
    open(results_md, "w").write(text + "\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
