#!/usr/bin/env python3
"""The packaging tool against the linked build it replaced, on the application-like corpus.

Run through bench/build_time.sh, which builds both kits. Measures, the two taking turns within
each round:
- making a launcher at each of BENCH_BUILD_LEVELS ("19 3"; BENCH_BUILD_ROUNDS rounds):
  `onefile build` (packing, then writing the image from the stub) against the older tree's
  onefile-build (packing, then compiling the settings, assembling the payload and linking), on
  all cores;
- launching the two launchers of the first level, which hold the same payload
  (BENCH_LAUNCH_ROUNDS rounds): bench_timer.exe from the Windows side, to run_code and to the
  end, as bench/bench.py measures its launch rows.
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
LEVELS = [int(level) for level in os.environ.get("BENCH_BUILD_LEVELS", "19 3").split()]
LAUNCH_ROUNDS = int(os.environ.get("BENCH_LAUNCH_ROUNDS", "30"))
TOOL = bench.TOOL
STUB = os.path.join(bench.BUILD, "bin", "stubs", "launcher.exe")
LINKED_KIT = os.environ["BENCH_LINKED_KIT"]
LINKED_COMMIT = os.environ.get("BENCH_LINKED_COMMIT", "")
NAMES = ("tool", "linked")


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def alternating(round_number):
    """Which of the two goes first: each in turn, so that neither always meets the other's
    leftovers (caches, a busier machine)."""
    return NAMES if round_number % 2 == 0 else NAMES[::-1]


def ratio_figures(samples, key):
    """The median of the per-round ratios tool / linked, and the middle half of them: the rounds
    alternate, so a machine that is busier in one round slows both alike."""
    ratios = sorted(t / l for t, l in zip(samples[f"{key}/tool"], samples[f"{key}/linked"]))
    quarter = len(ratios) // 4
    middle = ratios[quarter:len(ratios) - quarter] or ratios
    return statistics.median(ratios), middle[0], middle[-1]


def main():
    main_module = os.path.join(bench.PROGRAMS, "bench_main.dll")
    corpus = os.path.join(bench.DATA, "corpus1")
    os.makedirs(bench.WORK, exist_ok=True)
    samples = {}
    outputs = {}
    for level in LEVELS:
        outputs[level] = {name: os.path.join(bench.WORK, f"{name}-{level}", "App.exe")
                          for name in NAMES}
        for output in outputs[level].values():
            os.makedirs(os.path.dirname(output), exist_ok=True)
        common = ["--main", main_module, "--dir", corpus, "--level", str(level)]
        commands = {"tool": [TOOL, "build", "--stub", STUB, *common, "-o", outputs[level]["tool"]],
                    "linked": [LINKED_KIT, *common, "-o", outputs[level]["linked"]]}
        for round_number in range(ROUNDS + 1):
            for name in alternating(round_number):
                seconds = timed(commands[name])
                bench.log(f"build_time: level {level} round {round_number} {name} {seconds:.2f} s")
                if round_number > 0:  # the first round warms the caches
                    samples.setdefault(f"build{level}/{name}", []).append(seconds)

    launched = outputs[LEVELS[0]]
    timer = bench.Timer()
    for round_number in range(LAUNCH_ROUNDS + 1):
        for name in alternating(round_number):
            result = timer.run([bench.windows_path(launched[name])])
            if result["exit"] != 0:
                raise RuntimeError(f"{name} launcher failed: {result['stderr']}")
            if round_number > 0:
                samples.setdefault(f"launch/{name}", []).append(result["total"])
                samples.setdefault(f"run_code/{name}", []).append(result["to_stamp"])

    m = {key: statistics.median(values) for key, values in samples.items()}
    sizes = {name: os.path.getsize(output) for name, output in launched.items()}
    files = sum(len(names) for _, _, names in os.walk(corpus))
    data = {"rounds": ROUNDS, "launch_rounds": LAUNCH_ROUNDS, "levels": LEVELS, "medians": m,
            "samples": samples, "sizes": sizes, "linked_commit": LINKED_COMMIT,
            "threads": os.cpu_count(), "files": files, "date": time.strftime("%Y-%m-%d")}

    def row(what, key, scale, unit):
        ratio, low, high = ratio_figures(samples, key)
        return (f"| {what} | {scale * m[key + '/tool']:.{1 if unit == 'ms' else 2}f} {unit} | "
                f"{scale * m[key + '/linked']:.{1 if unit == 'ms' else 2}f} {unit} | "
                f"{ratio:.2f} ({low:.2f}-{high:.2f}) |")

    lines = [
        "## Making a launcher: the packaging tool against the linked build",
        "",
        f"Made by `bash bench/build_time.sh` on {data['date']}, {os.cpu_count()} cores; the "
        f"application-like corpus ({files} files) with bench_main.dll, compressed on every core. "
        "`tool`: `onefile build` on the prebuilt stub; `linked`: onefile-build of the tree before "
        f"the tool{' (' + LINKED_COMMIT[:10] + ')' if LINKED_COMMIT else ''}, which packs the same "
        "way, then compiles the settings, assembles the payload and links a launcher each time. "
        f"Medians of {ROUNDS} builds per level and of {LAUNCH_ROUNDS} launches of the level "
        f"{LEVELS[0]} launchers (from the Windows side, as bench.py measures), the two taking "
        "turns within each round; the ratio is the median of the rounds' own ratios, with the "
        "middle half of them.",
        "",
        "| what | tool | linked | tool / linked |",
        "|---|---:|---:|---:|",
    ]
    for level in LEVELS:
        lines.append(row(f"make the launcher, level {level}", f"build{level}", 1, "s"))
    lines += [
        row("launch to run_code", "run_code", 1000, "ms"),
        row("launch to the end (cleanup included)", "launch", 1000, "ms"),
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
