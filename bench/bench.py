#!/usr/bin/env python3
"""Benchmarks of the launcher against its floors and its peers, and of the packer.

Run through bench/run.sh, which installs what this needs and builds the programs. Every timing
figure is a median over BENCH_ROUNDS rounds after one warm-up round (the short launches: over
BENCH_LIGHT_REPEATS runs in each); within a round the measurements alternate, so that a noisy
machine shifts them all alike and their ratios hold.
Writes bench/results/results.md, results.json and chart.png.
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BENCH_BUILD", os.path.join(ROOT, "build", "bench"))
DATA = os.environ.get("BENCH_DATA", os.path.join(ROOT, "build", "bench-data"))
NPM = os.environ.get("BENCH_NPM", os.path.join(ROOT, "build", "bench-npm"))
RESULTS = os.environ.get("BENCH_RESULTS", os.path.join(ROOT, "bench", "results"))
TOOL = os.environ.get("BENCH_TOOL", os.path.join(ROOT, "build", "bin", "onefile"))
PACKER = [TOOL, "pack"]
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
MEMORY_ROUNDS = int(os.environ.get("BENCH_MEMORY_ROUNDS", "3"))
PACK_ROUNDS = int(os.environ.get("BENCH_PACK_ROUNDS", "5"))
PACK_CORPORA = os.environ.get("BENCH_PACK_CORPORA", "corpus1").split()
LIGHT_REPEATS = int(os.environ.get("BENCH_LIGHT_REPEATS", "5"))
LEVEL = 19
THREADS = int(os.environ.get("BENCH_THREADS", str(os.cpu_count() or 2)))
# The writer threads that the launcher chooses on this machine (payload/writer_pool.cpp), for the
# floor of unpacking on several threads.
WRITERS = int(os.environ.get("BENCH_WRITERS",
                             str(min(2 * os.cpu_count(), 4) if (os.cpu_count() or 1) > 1 else 1)))
# Launchers built with another kit (onefile-build of an older tree), measured beside this one's:
# "name=path/to/onefile-build ...".
BASELINES = [item.split("=", 1) for item in os.environ.get("BENCH_BASELINES", "").split()]
# "keep": only the rows of the kept launcher and what they are compared with (the launch without
# keeping, the floor of two process starts, caxa's first and cached runs); printed, not written
# to the results.
ONLY = os.environ.get("BENCH_ONLY", "")

# The mark that a launch writes into its directory (cleanup/cleanup.h).
LEFTOVER_MARK = b"This folder was unpacked by a onefile launcher and is removed when it ends.\r\n"

PROGRAMS = os.path.join(BUILD, "bench")
WINE_RUN = os.path.join(BUILD, "wine-run")
KIT = os.path.join(BUILD, "bin", "onefile-build")
WORK = os.path.join(DATA, "work")
CAXA_STUB = os.path.join(NPM, "caxa", "package", "stubs", "stub--win32--x64")
SEVEN_ZIP_WIN = os.path.join(NPM, "7zip-bin", "package", "win", "x64", "7za.exe")
SEVEN_ZIP_LINUX = os.path.join(NPM, "7zip-bin", "package", "linux", "x64", "7za")
CORPORA = {"corpus1": "application-like", "corpus2": "many small files"}


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(command, **options):
    return subprocess.run(command, check=True, **options)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env():
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.join(BUILD, "wineprefix")
    return env


# ---------------------------------------------------------------------------------------------
# Preparation: corpora, launchers, frames, archives.

def newer(target, sources):
    if not os.path.exists(target):
        return True
    mtime = os.path.getmtime(target)
    return any(os.path.getmtime(s) > mtime for s in sources if os.path.exists(s))


def kit_inputs(kit):
    text = open(kit, encoding="utf-8").read()
    return [kit] + re.findall(r'"?(/[^" ]+\.(?:a|obj|exe))"?', text)


def build_launcher(kit, corpus, output, options=()):
    """corpus None: the main module alone."""
    main = os.path.join(PROGRAMS, "bench_main.dll")
    if not newer(output, kit_inputs(kit) + [main, TOOL]):
        return
    log(f"bench: building {os.path.basename(output)}")
    # The kept launchers' directory is named after the company and product (Timer.kept_root).
    files = ["--dir", os.path.join(DATA, corpus)] if corpus else []
    run([kit, "--main", main, *files, "-o", output, "--company", "Marrowvale", "--product",
         "Marrowvale", *options], stdout=subprocess.DEVNULL)


def archive_sizes_and_files(corpus):
    """The tree as a plain tar, a .zip, a .7z, and (corpus 1) the caxa self-extractor."""
    source = os.path.join(DATA, corpus)
    tar = os.path.join(WORK, f"{corpus}.tar")
    if not os.path.exists(tar):
        run(["tar", "-C", source, "--sort=name", "--format=gnu", "-cf", tar + ".tmp", "."])
        os.rename(tar + ".tmp", tar)
    archive_zip = os.path.join(WORK, f"{corpus}.zip")
    if not os.path.exists(archive_zip):
        run(["zip", "-q", "-r", "-X", archive_zip + ".tmp.zip", "."], cwd=source)
        os.rename(archive_zip + ".tmp.zip", archive_zip)
    archive_7z = os.path.join(WORK, f"{corpus}.7z")
    if not os.path.exists(archive_7z):
        run([SEVEN_ZIP_LINUX, "a", "-bso0", "-bsp0", archive_7z + ".tmp.7z", "."], cwd=source)
        os.rename(archive_7z + ".tmp.7z", archive_7z)
    return tar, archive_zip, archive_7z


def make_caxa(corpus):
    """Stub, then a tar.gz of the tree with the stamping program at its top, then a newline and
    the JSON footer that names the command to run."""
    output = os.path.join(WORK, f"caxa-{corpus}.exe")
    stamp = os.path.join(PROGRAMS, "bench_stamp.exe")
    if not newer(output, [stamp, CAXA_STUB]):
        return output
    staging = os.path.join(WORK, f"caxa-{corpus}-tree")
    shutil.rmtree(staging, ignore_errors=True)
    shutil.copytree(os.path.join(DATA, corpus), staging)
    shutil.copyfile(stamp, os.path.join(staging, "bench_stamp.exe"))
    with open(output + ".tmp", "wb") as out:
        out.write(open(CAXA_STUB, "rb").read())
        out.flush()
        tar = subprocess.Popen(["tar", "-C", staging, "--sort=name", "-cf", "-", "."],
                               stdout=subprocess.PIPE)
        run(["gzip", "-6", "-n"], stdin=tar.stdout, stdout=out)
        tar.wait()
        footer = {"identifier": f"onefile-bench/{corpus}", "command": ["{{caxa}}/bench_stamp.exe"]}
        out.write(b"\n" + json.dumps(footer).encode())
    os.rename(output + ".tmp", output)
    shutil.rmtree(staging)
    return output


def split_block(block_path, corpus):
    """The zstd frame of a payload block, and the decompressed entry list for the floor writer."""
    frame = os.path.join(WORK, f"{corpus}.frame.zst")
    entry_list = os.path.join(WORK, f"{corpus}.entries")
    if newer(frame, [block_path]):
        data = open(block_path, "rb").read()
        assert data[:3] == b"JIV"
        open(frame, "wb").write(data[3:-9])
        run(["zstd", "-q", "-d", "-f", frame, "-o", entry_list])
    return frame, entry_list


# ---------------------------------------------------------------------------------------------
# Measurements.

class Timer:
    """Runs Windows command lines under bench_timer.exe and reads its figures."""

    def __init__(self):
        self.env = wine_env()
        self.stamp = os.path.join(WORK, "stamp.txt")
        self.env["ONEFILE_BENCH_STAMP"] = windows_path(self.stamp)
        self.timer = windows_path(os.path.join(PROGRAMS, "bench_timer.exe"))
        temp = subprocess.run([WINE_RUN, "cmd", "/c", "echo", "%TEMP%"], env=self.env,
                              capture_output=True, text=True, check=True).stdout.strip()
        self.temp_windows = temp
        self.temp = subprocess.run(["winepath", "-u", temp], env=self.env, capture_output=True,
                                   text=True, check=True).stdout.strip().rstrip("/")
        # Where launchers built with --keep keep their files (the default spec, company and
        # product).
        local = subprocess.run([WINE_RUN, "cmd", "/c", "echo", "%LOCALAPPDATA%"], env=self.env,
                               capture_output=True, text=True, check=True).stdout.strip()
        self.kept_root = os.path.join(
            subprocess.run(["winepath", "-u", local], env=self.env, capture_output=True,
                           text=True, check=True).stdout.strip().rstrip("/"), "Marrowvale")

    def run(self, command, memory=False, core=None):
        """command: the program's Windows path, then its arguments. core: the processor that the
        run and everything it starts are held to."""
        if os.path.exists(self.stamp):
            os.remove(self.stamp)
        arguments = [WINE_RUN, self.timer] + (["--memory"] if memory else []) + ["--"] + command
        pin = None if core is None else (lambda: os.sched_setaffinity(0, {core}))
        result = subprocess.run(arguments, env=self.env, capture_output=True, text=True,
                                preexec_fn=pin)
        figures = dict(re.findall(r"(\w+)=(\d+)", result.stdout))
        if "start" not in figures:
            raise RuntimeError(f"bench_timer failed: {result.stdout} {result.stderr}")
        frequency = int(figures["frequency"])
        out = {
            "total": (int(figures["end"]) - int(figures["start"])) / frequency,
            "exit": int(figures["exit"]),
            "stderr": result.stderr,
        }
        if memory:
            out["peak_ws"] = int(figures["peak_ws"])
            out["peak_pf"] = int(figures["peak_pf"])
        if os.path.exists(self.stamp):
            stamp = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", open(self.stamp).read())}
            out["to_stamp"] = (stamp["qpc"] - int(figures["start"])) / frequency
            out["handoff"] = (stamp["now"] - stamp["created"]) / 1e7
            out["stamp_peak_ws"] = stamp["peak_ws"]
            out["stamp_peak_pf"] = stamp["peak_pf"]
        return out

    def server_pid(self):
        """The process id of this prefix's Wine server (started by wine-run with the prefix in
        its environment)."""
        wanted = ("WINEPREFIX=" + self.env["WINEPREFIX"]).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if (open(f"/proc/{pid}/comm").read().startswith("wineserver") and
                        wanted in open(f"/proc/{pid}/environ", "rb").read().split(b"\0")):
                    return int(pid)
            except OSError:
                continue
        raise RuntimeError("bench: this prefix's wineserver is not running")

    def leftovers(self, prefix):
        return [n for n in os.listdir(self.temp) if n.startswith(prefix)]


class OneCore:
    """Holds the prefix's Wine server to one processor while the block runs, for the runs that
    are held to the same one (Timer.run's core). Every Wine call is a round trip to the server;
    on this virtual machine, waking the other processor for it takes tens of microseconds at
    random, which adds 10-40 ms to a process start at random. On one processor the short
    launches vary by a millisecond or two, and measure the work done rather than the wake-ups;
    what runs on several threads at once is not measured this way."""

    def __init__(self, timer):
        self.server = timer.server_pid()
        self.core = min(os.sched_getaffinity(0))

    def __enter__(self):
        self.saved = os.sched_getaffinity(self.server)
        os.sched_setaffinity(self.server, {self.core})
        return self.core

    def __exit__(self, *exception):
        os.sched_setaffinity(self.server, self.saved)


def native_seconds(command):
    start = time.perf_counter()
    run(command, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


class Samples:
    def __init__(self):
        self.values = {}

    def add(self, key, value):
        self.values.setdefault(key, []).append(value)

    def median(self, key):
        values = self.values.get(key)
        return statistics.median(values) if values else None


def loaded_libraries(exe):
    """The libraries that a launch's parent and child load beyond the image itself, kernelbase,
    kernel32 and msvcrt (what a bare process loads), from Wine's loader trace of one run."""
    env = wine_env()
    env["WINEDEBUG"] = "+loaddll,+pid"  # wine-run would silence it
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("ONEFILE_BENCH_STAMP", None)
    trace = subprocess.run(["wine", windows_path(exe)], env=env, capture_output=True,
                           text=True).stderr
    order, loaded = [], {}
    for process, path in re.findall(r"^([0-9a-f]{4}):[0-9a-f]{4}:trace:loaddll:build_module "
                                    r'Loaded L"([^"]*)"', trace, re.M):
        if process not in loaded:
            order.append(process)
            loaded[process] = []
        name = path.replace("\\\\", "\\").rsplit("\\", 1)[-1].lower()
        if name not in ("kernelbase.dll", "kernel32.dll", "msvcrt.dll") and not name.endswith(".exe"):
            loaded[process].append(name)
    return [loaded[process] for process in order]


def measure(launchers, blocks, frames, entry_lists, caxa, archives, kept, small):
    timer = Timer()
    samples = Samples()
    floor_dir = timer.temp_windows + "\\onefile_bench_floor"
    floor_linux = os.path.join(timer.temp, "onefile_bench_floor")
    peer_dir = timer.temp_windows + "\\onefile_bench_7z"
    peer_linux = os.path.join(timer.temp, "onefile_bench_7z")
    caxa_cache = os.path.join(timer.temp, "caxa")
    programs = {name: windows_path(os.path.join(PROGRAMS, name)) for name in
                ("floor_starts.exe", "floor_write.exe", "floor_remove.exe", "bench_stamp.exe",
                 "floor_write_threads.exe", "floor_remove_threads.exe",
                 "launcher_decode.exe", "launcher_remove.exe")}

    def figure(result, name):
        match = re.search(name + r"=([\d.]+)", result["stderr"])
        if result["exit"] != 0 or not match:
            raise RuntimeError(f"{name}: exit {result['exit']}: {result['stderr']}")
        return float(match.group(1))
    for leftover in timer.leftovers("onefile_"):
        shutil.rmtree(os.path.join(timer.temp, leftover), ignore_errors=True)

    def launcher_run(key, exe, memory=False, core=None):
        result = timer.run([windows_path(exe)], memory=memory, core=core)
        left = timer.leftovers("onefile_")
        if result["exit"] != 0 or "to_stamp" not in result or left:
            raise RuntimeError(f"{key}: exit {result['exit']}, left {left}: {result['stderr']}")
        return result

    for round_number in range(ROUNDS + 1):
        keep = round_number > 0  # round 0 warms caches up
        log(f"bench: round {round_number}/{ROUNDS}" + ("" if keep else " (warm-up)"))

        def add(key, value):
            if keep:
                samples.add(key, value)

        # A kept launcher's first launch (application-like corpus), which unpacks and keeps; its
        # later launches come below, after light measurements, so that they do not meet the
        # writing of this one still under way in the system.
        shutil.rmtree(timer.kept_root, ignore_errors=True)
        if kept:
            result = launcher_run("keep, first", kept["keep"])
            add(("corpus1", "keep", "first_run_code"), result["to_stamp"])
            add(("corpus1", "keep", "first_launch"), result["total"])
        if ONLY == "keep":
            result = launcher_run("current", launchers["corpus1"]["current"])
            add(("corpus1", "current", "run_code"), result["to_stamp"])
            add(("corpus1", "current", "launch"), result["total"])

        for corpus in CORPORA if not ONLY else ():
            for variant, exe in launchers[corpus].items():
                result = launcher_run(variant, exe)
                add((corpus, variant, "run_code"), result["to_stamp"])
                add((corpus, variant, "launch"), result["total"])
                add((corpus, variant, "handoff"), result["handoff"])
            # Floors: the writer and the removal of the same tree, then the native decoder. The
            # tree is written twice: once for the floor's removal, once for the launcher's walk.
            for remover, key in (("floor_remove.exe", "floor"), ("launcher_remove.exe", "parts")):
                shutil.rmtree(floor_linux, ignore_errors=True)
                result = timer.run([programs["floor_write.exe"], windows_path(entry_lists[corpus]),
                                    floor_dir])
                add((corpus, "floor", "write"), figure(result, "write"))
                result = timer.run([programs[remover], floor_dir])
                add((corpus, key, "remove"), figure(result, "remove"))
                if os.path.exists(floor_linux):
                    raise RuntimeError(f"{remover} left the tree behind")
            # The floors of unpacking on several threads: the writer and the removal on as many
            # threads as the launcher uses.
            shutil.rmtree(floor_linux, ignore_errors=True)
            result = timer.run([programs["floor_write_threads.exe"],
                                windows_path(entry_lists[corpus]), floor_dir, str(WRITERS)])
            add((corpus, "floor", "write_threads"), figure(result, "write"))
            result = timer.run([programs["floor_remove_threads.exe"], floor_dir, str(WRITERS)])
            add((corpus, "floor", "remove_threads"), figure(result, "remove"))
            if os.path.exists(floor_linux):
                raise RuntimeError("floor_remove_threads left the tree behind")
            # What the fixed 32 KiB chunk costs: the same writer with 1 MiB chunks; the tree then
            # goes with the launcher's own walk and as many helpers as the launcher takes.
            shutil.rmtree(floor_linux, ignore_errors=True)
            result = timer.run([programs["floor_write.exe"], windows_path(entry_lists[corpus]),
                                floor_dir, str(1 << 20)])
            add((corpus, "parts", "write_1m"), figure(result, "write"))
            result = timer.run([programs["launcher_remove.exe"], floor_dir, str(WRITERS)])
            add((corpus, "parts", "remove_threads"), figure(result, "remove"))
            if os.path.exists(floor_linux):
                raise RuntimeError("launcher_remove left the tree behind")
            add((corpus, "floor", "decode"),
                native_seconds(["zstd", "-q", "-d", "-c", frames[corpus]]))
            result = timer.run([programs["launcher_decode.exe"], windows_path(blocks[corpus])])
            add((corpus, "parts", "decode"), figure(result, "decode"))

        # Ten leftovers of killed launches of the same application in the temporary folder: the
        # launch sweeps them on a thread of its own, at idle priority, while the child runs and
        # while the parent removes its own directory; what is left then, a later launch takes up.
        # Against the same launch beside the same ten trees under names that no sweep takes, so
        # that the file system is in the same state for both.
        if not ONLY:
            others = [f"other_{i}" for i in range(10)]
            leftovers = [f"onefile_4000000_000000_leftover-0{i}" for i in range(10)]
            for name in others:
                shutil.copytree(os.path.join(DATA, "corpus1"), os.path.join(timer.temp, name))
            result = launcher_run("current", launchers["corpus1"]["current"])
            add(("corpus1", "current", "run_code_beside"), result["to_stamp"])
            add(("corpus1", "current", "launch_beside"), result["total"])
            # A sweep takes only what a launch made: a directory that nobody else may use (Wine
            # reads mode 750 as the user's alone), marked with a launch's own text.
            for other, leftover in zip(others, leftovers):
                path = os.path.join(timer.temp, leftover)
                os.rename(os.path.join(timer.temp, other), path)
                os.chmod(path, 0o750)
                with open(os.path.join(path, "onefile.lock"), "wb") as mark:
                    mark.write(LEFTOVER_MARK)
            result = timer.run([windows_path(launchers["corpus1"]["current"])])
            if result["exit"] != 0 or "to_stamp" not in result:
                raise RuntimeError(f"ten leftovers: exit {result['exit']}: {result['stderr']}")
            add(("corpus1", "current", "run_code_leftovers"), result["to_stamp"])
            add(("corpus1", "current", "launch_leftovers"), result["total"])
            # Counted as taken: removed, or claimed for removal by a later sweep (renamed, in
            # part).
            remaining = timer.leftovers("onefile_")
            add(("corpus1", "current", "swept_leftovers"),
                len([n for n in leftovers if n not in remaining]))
            add(("corpus1", "current", "removed_leftovers"), 10 - len(remaining))
            for name in remaining:
                shutil.rmtree(os.path.join(timer.temp, name))

        # The light measurements, a tenth of a second each, are taken LIGHT_REPEATS times a
        # round, alternating: a Wine process start varies by tens of milliseconds from one
        # run to the next, more than the differences that these rows are there to show.
        for _ in range(LIGHT_REPEATS):
            result = timer.run([programs["floor_starts.exe"]])
            add(("all", "floor", "starts"), result["total"])
            result = timer.run([programs["bench_stamp.exe"]])
            add(("all", "bare", "handoff"), result["handoff"])
            add(("all", "bare", "start"), result["total"])
            # The small launch (the main module alone), beside the floor and the bare process.
            for variant, exe in small.items():
                result = launcher_run(f"{variant}, small", exe)
                add(("small", variant, "run_code"), result["to_stamp"])
                add(("small", variant, "launch"), result["total"])
                add(("small", variant, "handoff"), result["handoff"])

            # The kept launcher's later launches, plain and verified, from what its first one
            # kept.
            for variant, exe in kept.items():
                result = launcher_run(f"{variant}, later", exe)
                add(("corpus1", variant, "kept_run_code"), result["to_stamp"])
                add(("corpus1", variant, "kept_launch"), result["total"])
                add(("corpus1", variant, "kept_handoff"), result["handoff"])
        # The same on one processor (OneCore).
        with OneCore(timer) as core:
            for _ in range(LIGHT_REPEATS):
                result = timer.run([programs["floor_starts.exe"]], core=core)
                add(("one_core", "floor", "starts"), result["total"])
                result = timer.run([programs["bench_stamp.exe"]], core=core)
                add(("one_core", "bare", "handoff"), result["handoff"])
                for variant, exe in small.items():
                    result = launcher_run(f"{variant}, small, one core", exe, core=core)
                    add(("one_core", variant, "small_run_code"), result["to_stamp"])
                    add(("one_core", variant, "small_launch"), result["total"])
                    add(("one_core", variant, "small_handoff"), result["handoff"])
                if "keep" in kept:
                    result = launcher_run("keep, later, one core", kept["keep"], core=core)
                    add(("one_core", "keep", "kept_run_code"), result["to_stamp"])
                    add(("one_core", "keep", "kept_launch"), result["total"])
        shutil.rmtree(timer.kept_root, ignore_errors=True)

        # Peers, application-like corpus: caxa's first run (cache removed beforehand) and its
        # cached run, and 7-Zip.
        shutil.rmtree(caxa_cache, ignore_errors=True)
        for run_kind in ("",) + ("cached_",) * LIGHT_REPEATS if caxa else ():
            result = timer.run([windows_path(caxa)])
            if result["exit"] != 0 or "to_stamp" not in result:
                raise RuntimeError(f"caxa: exit {result['exit']}: {result['stderr']}")
            add(("corpus1", "caxa", run_kind + "run_code"), result["to_stamp"])
            add(("corpus1", "caxa", run_kind + "launch"), result["total"])
        with OneCore(timer) as core:
            for _ in range(LIGHT_REPEATS if caxa else 0):
                result = timer.run([windows_path(caxa)], core=core)
                if result["exit"] != 0 or "to_stamp" not in result:
                    raise RuntimeError(f"caxa, one core: exit {result['exit']}: {result['stderr']}")
                add(("one_core", "caxa", "cached_run_code"), result["to_stamp"])
        shutil.rmtree(caxa_cache, ignore_errors=True)
        for kind, archive in archives.items() if archives else ():
            shutil.rmtree(peer_linux, ignore_errors=True)
            result = timer.run([windows_path(SEVEN_ZIP_WIN), "x", "-y", "-bso0", "-bsp0",
                                f"-o{peer_dir}", windows_path(archive)])
            if result["exit"] != 0:
                raise RuntimeError(f"7za {kind}: exit {result['exit']}: {result['stderr']}")
            add(("corpus1", "7za", kind), result["total"])
        shutil.rmtree(peer_linux, ignore_errors=True)

    for round_number in range(MEMORY_ROUNDS if not ONLY else 0):
        log(f"bench: memory round {round_number + 1}/{MEMORY_ROUNDS}")
        for corpus in CORPORA:
            for variant, exe in launchers[corpus].items():
                result = launcher_run(variant, exe, memory=True)
                samples.add((corpus, variant, "parent_peak"), result["peak_ws"])
                samples.add((corpus, variant, "parent_private"), result["peak_pf"])
                samples.add((corpus, variant, "child_peak"), result["stamp_peak_ws"])
                samples.add((corpus, variant, "child_private"), result["stamp_peak_pf"])
        result = timer.run([programs["bench_stamp.exe"]], memory=True)
        samples.add(("all", "bare", "peak"), result["stamp_peak_ws"])
        samples.add(("all", "bare", "private"), result["stamp_peak_pf"])
    return samples


def measure_packer(corpus, tar):
    """Packing time of the packer and of the zstd tool on a tar of the same tree, alternating."""
    samples = Samples()
    main = os.path.join(PROGRAMS, "bench_main.dll")
    block = os.path.join(WORK, f"{corpus}.timing.bin")
    frame = os.path.join(WORK, f"{corpus}.tar.timing.zst")
    pack = [*PACKER, "--main", main, "--dir", os.path.join(DATA, corpus), "--level",
            str(LEVEL), "--threads", str(THREADS), "-o", block]
    zstd = ["zstd", "-q", "-f", f"-{LEVEL}", "--long=27", f"-T{THREADS}", tar, "-o", frame]
    for round_number in range(PACK_ROUNDS):
        log(f"bench: packer round {round_number + 1}/{PACK_ROUNDS} ({corpus})")
        samples.add("pack", native_seconds(pack))
        samples.add("zstd", native_seconds(zstd))
    for path in (block, frame):
        os.remove(path)
    return samples


# ---------------------------------------------------------------------------------------------
# Report.

def fmt_s(value):
    return "-" if value is None else f"{value:.3f} s"


def fmt_ms(value):
    return "-" if value is None else f"{value * 1000:.1f} ms"


def fmt_mib(value):
    return "-" if value is None else f"{value / 2**20:.1f} MiB"


def verdict(ok):
    return "meets" if ok else "**misses**"


def kept_rows(m):
    """The kept launcher's rows and targets: its first launch against a launch without keeping,
    its later launches against two bare process starts and caxa's cached run."""
    starts = m(("all", "floor", "starts"))
    caxa = m(("corpus1", "caxa", "cached_run_code"))
    plain_run_code = m(("corpus1", "current", "run_code"))
    plain_launch = m(("corpus1", "current", "launch"))
    first_run_code = m(("corpus1", "keep", "first_run_code"))
    first_launch = m(("corpus1", "keep", "first_launch"))
    lines = [
        f"| launcher `--keep`, first launch: start to `run_code`; whole launch, files kept | "
        f"{fmt_s(first_run_code)}; {fmt_s(first_launch)} | {first_run_code / plain_run_code:.2f}; "
        f"{first_launch / plain_launch:.2f} x without keeping | |"]
    targets = [("Application-like, `--keep`: first launch to `run_code` <= 1.1 x a launch without it",
                f"{first_run_code / plain_run_code:.2f} x", first_run_code <= 1.1 * plain_run_code)]
    for variant, flag in (("keep", "--keep"), ("keep_verify", "--keep-verify")):
        run_code = m(("corpus1", variant, "kept_run_code"))
        if run_code is None:
            continue
        lines.append(
            f"| launcher `{flag}`, a later launch: start to `run_code`; whole launch | "
            f"{fmt_s(run_code)}; {fmt_s(m(('corpus1', variant, 'kept_launch')))} | "
            f"{run_code / caxa:.2f} x caxa cached; starts + {(run_code - starts) * 1000:.1f} ms | |")
        if variant == "keep":
            targets.append(("Application-like, `--keep`: a later launch to `run_code` <= 0.5 x "
                            "caxa's cached run", f"{run_code / caxa:.2f} x", run_code <= 0.5 * caxa))
            targets.append(("Application-like, `--keep`: a later launch to `run_code` <= two "
                            "process starts + 10 ms", f"+{(run_code - starts) * 1000:.1f} ms",
                            run_code - starts <= 0.010))
    lines.append(f"| caxa cached run, start to its command | {fmt_s(caxa)} | | |")
    return lines, targets


def one_core_rows(m, variants):
    """The short launches measured on one processor (OneCore), with their targets."""
    starts = m(("one_core", "floor", "starts"))
    bare = m(("one_core", "bare", "handoff"))
    if starts is None:
        return [], []
    lines = ["| what | time | above two process starts (hand-off: above a bare process) |",
             "|---|---:|---:|",
             f"| floor: two process starts | {fmt_ms(starts)} | |",
             f"| bare process: creation to its entry point | {fmt_ms(bare)} | |"]
    targets = []
    for variant in variants:
        launch = m(("one_core", variant, "small_launch"))
        if launch is None:
            continue
        run_code = m(("one_core", variant, "small_run_code"))
        handoff = m(("one_core", variant, "small_handoff"))
        lines.append(f"| small launch, `{variant}`: start to `run_code`; whole launch | "
                     f"{fmt_ms(run_code)}; {fmt_ms(launch)} | {fmt_ms(run_code - starts)}; "
                     f"{fmt_ms(launch - starts)} |")
        lines.append(f"| small launch, `{variant}`: hand-off | {fmt_ms(handoff)} | "
                     f"{fmt_ms(handoff - bare)} |")
        if variant in TARGET_VARIANTS:
            targets.append((f"one core, small launch, `{variant}`: whole launch <= two process "
                            "starts + 10 ms", f"+{(launch - starts) * 1000:.1f} ms",
                            launch - starts <= 0.010))
            targets.append((f"one core, small launch, `{variant}`: hand-off <= bare + 3 ms",
                            f"+{(handoff - bare) * 1000:.1f} ms", handoff - bare <= 0.003))
    kept = m(("one_core", "keep", "kept_run_code"))
    caxa = m(("one_core", "caxa", "cached_run_code"))
    if kept is not None:
        lines.append(f"| `--keep`, a later launch (application-like): start to `run_code`; whole "
                     f"launch | {fmt_ms(kept)}; {fmt_ms(m(('one_core', 'keep', 'kept_launch')))} | "
                     f"{fmt_ms(kept - starts)} |")
        targets.append(("one core, `--keep`: a later launch to `run_code` <= two process starts + "
                        "10 ms", f"+{(kept - starts) * 1000:.1f} ms", kept - starts <= 0.010))
    if caxa is not None:
        lines.append(f"| caxa cached run, start to its command | {fmt_ms(caxa)} | "
                     f"{fmt_ms(caxa - starts)} |")
        if kept is not None:
            targets.append(("one core, `--keep`: a later launch to `run_code` <= 0.5 x caxa's "
                            "cached run", f"{kept / caxa:.2f} x", kept <= 0.5 * caxa))
    return lines, targets


# The variants held to the targets; other baselines (an older tree's kit) are shown beside them.
TARGET_VARIANTS = ("current", "serial")


def libraries_text(processes):
    """"parent: a, b; child: c" for the libraries of one traced launch."""
    roles = ("parent", "child")
    return "; ".join(f"{role}: {', '.join(names) if names else 'none'}"
                     for role, names in zip(roles, processes))


def small_rows(m, variants, libraries, low=None):
    """The small launch's rows (the main module alone) against two bare process starts, and the
    libraries that its processes load beyond a bare process's. With low (the lowest of the
    rounds, which a busy machine adds the least to), those figures beside the medians."""
    low = low or (lambda key: None)
    starts = m(("all", "floor", "starts"))
    lines = ["| what | time | above two process starts | lowest of the rounds, above the lowest "
             "starts |", "|---|---:|---:|---:|"]
    targets = []
    for variant in variants:
        run_code = m(("small", variant, "run_code"))
        launch = m(("small", variant, "launch"))
        if run_code is None:
            continue
        lowest = low(("all", "floor", "starts"))
        low_text = {kind: (fmt_ms(low(("small", variant, kind)) - lowest) if lowest else "")
                    for kind in ("run_code", "launch")}
        lines.append(f"| launcher `{variant}`: start to `run_code` | {fmt_s(run_code)} | "
                     f"{fmt_ms(run_code - starts)} | {low_text['run_code']} |")
        lines.append(f"| launcher `{variant}`: whole launch, directory gone | {fmt_s(launch)} | "
                     f"{fmt_ms(launch - starts)} | {low_text['launch']} |")
        if variant in TARGET_VARIANTS:
            targets.append((f"small launch, `{variant}`: whole launch <= two process starts + 10 ms",
                            f"+{(launch - starts) * 1000:.1f} ms", launch - starts <= 0.010))
    lines.append(f"| floor: two process starts | {fmt_s(starts)} | | |")
    lines.append("")
    lines.append("Libraries that the launch loads beyond the image, kernelbase, kernel32 and msvcrt "
                 "(what a bare process loads), from Wine's loader trace (`WINEDEBUG=+loaddll`) of "
                 "one launch:")
    lines.append("")
    for key, processes in sorted(libraries.items()):
        kind, variant = key.split("/")
        what = ("small launch" if kind == "small" else "`--keep`, a later launch, application-like")
        lines.append(f"- {what}, `{variant}`: {libraries_text(processes)}")
    return lines, targets


# The prebuilt stubs beside their goals: every launcher carries the launcher stub, every --run
# launcher the runner too.
STUB_GOALS = (("launcher.exe", "launcher stub", 200 * 1024),
              ("onefile_run.dll", "stock runner (`--run`)", 64 * 1024))


def stub_size_rows():
    """The stubs' sizes against their goals (bench/results/stub_size.md says what the bytes are)."""
    lines = ["| stub | size | goal |", "|---|---:|---:|"]
    targets = []
    for name, what, goal in STUB_GOALS:
        path = os.path.join(BUILD, "bin", "stubs", name)
        if not os.path.exists(path):
            continue
        size = os.path.getsize(path)
        lines.append(f"| {what}, `{name}` | {size:,} B | {goal:,} B |")
        targets.append((f"{what}: size <= {goal // 1024} KiB", f"{size:,} B", size <= goal))
    return lines, targets


def report_only(samples, libraries):
    """BENCH_ONLY=keep or small: those rows alone, on standard output."""
    m = samples.median
    if ONLY == "small":
        variants = ["current"] + [name for name, _ in BASELINES]
        low = lambda key: min(samples.values[key]) if samples.values.get(key) else None
        lines, targets = small_rows(m, variants, libraries, low)
        lines.append("")
        for name, figure in (("medians", m), ("lowest", low)):
            bare = figure(("all", "bare", "handoff"))
            lines.append(f"Hand-off (child's creation to `run_code`), {name}: bare process "
                         f"{fmt_ms(bare)}; " + "; ".join(
                             f"`{v}` {fmt_ms(figure(('small', v, 'handoff')))} "
                             f"(+{fmt_ms(figure(('small', v, 'handoff')) - bare)})"
                             for v in variants))
        core_lines, core_targets = one_core_rows(m, variants)
        lines += ["", "On one processor:", ""] + core_lines
        targets += core_targets
        size_lines, size_targets = stub_size_rows()
        lines += ["", "Stubs:", ""] + size_lines
        targets += size_targets
        print(f"Medians of {ROUNDS} rounds, {LIGHT_REPEATS} runs each.\n")
        print("\n".join(lines))
        print("\n| target | measured | |\n|---|---:|---|")
        for name, measured, ok in targets:
            print(f"| {name} | {measured} | {verdict(ok)} |")
        for key in sorted(samples.values):
            print("/".join(key), " ".join(f"{v:.4f}" for v in samples.values[key]))
        return
    lines, targets = kept_rows(m)
    core_lines, core_targets = one_core_rows(m, [])
    lines += ["", "On one processor:", ""] + core_lines
    targets += core_targets
    print(f"Medians of {ROUNDS} rounds ({LIGHT_REPEATS} runs each of the short launches); "
          f"two process starts: {fmt_s(m(('all', 'floor', 'starts')))}; "
          f"a launch without keeping: {fmt_s(m(('corpus1', 'current', 'run_code')))} to "
          f"`run_code`, {fmt_s(m(('corpus1', 'current', 'launch')))} whole; caxa first run: "
          f"{fmt_s(m(('corpus1', 'caxa', 'run_code')))}.\n")
    print("| what | time | compared | |\n|---|---:|---:|---:|")
    print("\n".join(lines))
    print("\n| target | measured | |\n|---|---:|---|")
    for name, measured, ok in targets:
        print(f"| {name} | {measured} | {verdict(ok)} |")
    for key, processes in sorted(libraries.items()):
        print(f"libraries, {key}: {libraries_text(processes)}")
    for key in sorted(samples.values):
        print("/".join(key), " ".join(f"{v:.4f}" for v in samples.values[key]))


def report(samples, pack_samples, sizes, content_sizes, variants, counts, libraries=None,
           date=None):
    m = samples.median
    lines = []
    data = {"rounds": ROUNDS, "light_repeats": LIGHT_REPEATS, "memory_rounds": MEMORY_ROUNDS,
            "pack_rounds": PACK_ROUNDS,
            "threads": THREADS, "writers": WRITERS, "medians": {}, "sizes": sizes, "variants": variants,
            "counts": counts, "content_sizes": content_sizes, "libraries": libraries or {},
            "date": date or time.strftime("%Y-%m-%d")}
    data["samples"] = {}
    for key, values in samples.values.items():
        data["medians"]["/".join(key)] = statistics.median(values)
        data["samples"]["/".join(key)] = values
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    lines.append("# Benchmark results")
    lines.append("")
    lines.append(f"Made by `bash bench/run.sh` on {data['date']}: {wine}, "
                 f"{os.cpu_count()} cores. Medians of {ROUNDS} rounds after a warm-up round, "
                 "the measurements alternating within each round (the short launches: two "
                 "process starts, a bare process, the small launch, the kept launcher's later "
                 f"launches and caxa's cached run, {LIGHT_REPEATS} times a round; memory: "
                 "medians of "
                 f"{MEMORY_ROUNDS}; packer: {PACK_ROUNDS} rounds). The machine is shared and "
                 "noisy: the ratios are what counts. Launcher variants: `current` is this tree's "
                 f"launcher, which unpacks with {WRITERS} writer threads here"
                 + "".join(f", `{v}` " + ("this tree's launcher built with all of its unpacking "
                                          "on the main thread (`ONEFILE_UNPACK_THREADS=1`)"
                                          if v == "serial" else "one made by another tree's kit")
                           for v in variants[1:])
                 + " (`BENCH_BASELINES`).")
    lines.append("")
    starts = m(("all", "floor", "starts"))
    targets = []
    for corpus, title in CORPORA.items():
        files, size = counts[corpus]
        decode = m((corpus, "floor", "decode"))
        write = m((corpus, "floor", "write"))
        remove = m((corpus, "floor", "remove"))
        floor_run = starts + decode + write
        floor_launch = floor_run + remove
        # The floor of unpacking on several threads: the decoding runs beside the writing.
        write_threads = m((corpus, "floor", "write_threads"))
        remove_threads = m((corpus, "floor", "remove_threads"))
        threads_run = starts + write_threads
        threads_launch = threads_run + remove_threads
        lines.append(f"## {title.capitalize()} corpus ({files} files, {size / 2**20:.1f} MiB)")
        lines.append("")
        lines.append(f"| what | time | x floor | x floor, {WRITERS} threads |")
        lines.append("|---|---:|---:|---:|")
        for variant in variants:
            run_code = m((corpus, variant, "run_code"))
            launch = m((corpus, variant, "launch"))
            lines.append(f"| launcher `{variant}`: start to `run_code` | {fmt_s(run_code)} | "
                         f"{run_code / floor_run:.2f} | {run_code / threads_run:.2f} |")
            lines.append(f"| launcher `{variant}`: whole launch, directory gone | {fmt_s(launch)} | "
                         f"{launch / floor_launch:.2f} | {launch / threads_launch:.2f} |")
        lines.append(f"| floor: two process starts | {fmt_s(starts)} | | |")
        lines.append(f"| floor: native `zstd -d` of the same frame | {fmt_s(decode)} | | |")
        lines.append(f"| floor: minimal writer of the tree from memory | {fmt_s(write)} | | |")
        lines.append(f"| floor: direct removal walk | {fmt_s(remove)} | | |")
        lines.append(f"| floor: the same writer on {WRITERS} threads taking whole files in order | "
                     f"{fmt_s(write_threads)} | | |")
        lines.append(f"| floor: the same removal with {WRITERS} threads deleting the files | "
                     f"{fmt_s(remove_threads)} | | |")
        lines.append(f"| the launcher's own stream reader over the block, no disk | "
                     f"{fmt_s(m((corpus, 'parts', 'decode')))} | | |")
        lines.append(f"| the launcher's own removal walk (names checked) | "
                     f"{fmt_s(m((corpus, 'parts', 'remove')))} | | |")
        lines.append(f"| the same walk with {WRITERS} threads deleting the files beside it | "
                     f"{fmt_s(m((corpus, 'parts', 'remove_threads')))} | | |")
        lines.append(f"| the minimal writer with 1 MiB chunks instead of 32 KiB | "
                     f"{fmt_s(m((corpus, 'parts', 'write_1m')))} | | |")
        lines.append(f"| floor to `run_code` (starts + decode + write) | {fmt_s(floor_run)} | 1.00 | |")
        lines.append(f"| floor of the whole launch (+ removal) | {fmt_s(floor_launch)} | 1.00 | |")
        lines.append(f"| floor to `run_code` on {WRITERS} threads (starts + write; decoding beside "
                     f"it) | {fmt_s(threads_run)} | {threads_run / floor_run:.2f} | 1.00 |")
        lines.append(f"| floor of the whole launch on {WRITERS} threads (+ removal on as many) | "
                     f"{fmt_s(threads_launch)} | {threads_launch / floor_launch:.2f} | 1.00 |")
        if corpus == "corpus1" and m((corpus, "current", "run_code_leftovers")) is not None:
            run_code = m((corpus, "current", "run_code_leftovers"))
            launch = m((corpus, "current", "launch_leftovers"))
            beside_run_code = m((corpus, "current", "run_code_beside"))
            beside_launch = m((corpus, "current", "launch_beside"))
            claimed = m((corpus, "current", "swept_leftovers"))
            removed = m((corpus, "current", "removed_leftovers"))
            lines.append(f"| launcher `current` beside ten copies of the tree that no sweep takes: "
                         f"start to `run_code`; whole launch | {fmt_s(beside_run_code)}; "
                         f"{fmt_s(beside_launch)} | | |")
            lines.append(f"| the same beside the same ten as leftovers of killed launches: start to "
                         f"`run_code` | {fmt_s(run_code)} | "
                         f"{run_code / beside_run_code:.2f} x the launch before | |")
            lines.append(f"| the same: whole launch; its sweep claimed {claimed:.0f} and removed "
                         f"{removed:.0f} of the ten | {fmt_s(launch)} | "
                         f"{launch / beside_launch:.2f} x the launch before | |")
        if corpus == "corpus1" and m((corpus, "keep", "kept_run_code")) is not None:
            keep_lines, keep_targets = kept_rows(m)
            lines += [line + " |" for line in keep_lines]  # the table has a column more
            targets += keep_targets
        if corpus == "corpus1":
            caxa = m((corpus, "caxa", "run_code"))
            lines.append(f"| caxa first run, start to its command | {fmt_s(caxa)} | "
                         f"{caxa / floor_run:.2f} | |")
            lines.append(f"| caxa first run, whole (it keeps its cache) | "
                         f"{fmt_s(m((corpus, 'caxa', 'launch')))} | | |")
            for kind in ("7z", "zip", "tar"):
                value = m((corpus, "7za", kind))
                lines.append(f"| 7za extracting the `.{kind}` | {fmt_s(value)} | "
                             f"{value / floor_run:.2f} | |")
        lines.append("")
        for variant in variants:
            run_code = m((corpus, variant, "run_code"))
            launch = m((corpus, variant, "launch"))
            # This tree's launcher unpacks on several threads: it is to stay well below the
            # floor of one thread. Launchers that unpack on one thread are held to that floor.
            if variant == "current":
                limit = 0.75 if corpus == "corpus1" else 0.8
                launch_limit = 0.8
            else:
                limit = 1.15 if corpus == "corpus1" else 1.2
                launch_limit = 1.15
            targets.append((f"{title}, `{variant}`: start to `run_code` <= {limit} x floor",
                            f"{run_code / floor_run:.2f} x", run_code <= limit * floor_run))
            targets.append((f"{title}, `{variant}`: whole launch <= {launch_limit} x floor",
                            f"{launch / floor_launch:.2f} x", launch <= launch_limit * floor_launch))
            if corpus == "corpus1":
                caxa = m((corpus, "caxa", "run_code"))
                targets.append((f"{title}, `{variant}`: start to `run_code` <= 0.45 x caxa",
                                f"{run_code / caxa:.2f} x", run_code <= 0.45 * caxa))

    if m(("small", "current", "run_code")) is not None:
        lines.append("## Small launch (the main module alone; `run_code` returns at once)")
        lines.append("")
        low = lambda key: min(samples.values[key]) if samples.values.get(key) else None
        small_lines, small_targets = small_rows(m, variants, libraries or {}, low)
        lines += small_lines
        targets += small_targets
        lines.append("")

    lines.append("## Child hand-off (child's process start to `run_code`)")
    lines.append("")
    bare = m(("all", "bare", "handoff"))
    lines.append("| what | time | above a bare process |")
    lines.append("|---|---:|---:|")
    lines.append(f"| bare process: creation to its entry point | {fmt_ms(bare)} | |")
    for corpus, title in list(CORPORA.items()) + [("small", "main module alone")]:
        for variant in variants:
            value = m((corpus, variant, "handoff"))
            if value is None:
                continue
            lines.append(f"| launcher `{variant}`, {title}: child's creation to `run_code` | "
                         f"{fmt_ms(value)} | {fmt_ms(value - bare)} |")
            if variant in TARGET_VARIANTS:
                targets.append((f"{title}, `{variant}`: hand-off <= bare + 3 ms",
                                f"+{(value - bare) * 1000:.1f} ms", value - bare <= 0.003))
    lines.append("")

    core_lines, core_targets = one_core_rows(m, variants)
    if core_lines:
        lines.append("## Short launches on one processor")
        lines.append("")
        lines.append("The same short launches with Wine's server and every process of the run held "
                     "to one processor. On this virtual machine a Wine call that wakes the other "
                     "processor waits for it at random, which adds 10-40 ms to a process start "
                     "and makes the figures above vary by as much; on one processor they vary by "
                     "a millisecond or two. What runs on two threads at once (the kept "
                     "launcher's parent judges its directory while the child starts) takes turns "
                     "here instead.")
        lines.append("")
        lines += core_lines
        targets += core_targets
        lines.append("")

    lines.append("## Peak memory (working set; private bytes in brackets)")
    lines.append("")
    bare_peak = m(("all", "bare", "peak"))
    lines.append("| process | peak | above a bare process |")
    lines.append("|---|---:|---:|")
    lines.append(f"| bare process | {fmt_mib(bare_peak)} ({fmt_mib(m(('all', 'bare', 'private')))}) "
                 "| |")
    for corpus, title in CORPORA.items():
        limit = min(content_sizes[corpus], 128 * 2**20) + 16 * 2**20
        for variant in variants:
            parent = m((corpus, variant, "parent_peak"))
            child = m((corpus, variant, "child_peak"))
            lines.append(f"| parent `{variant}`, {title} (limit {fmt_mib(limit)}) | {fmt_mib(parent)} "
                         f"({fmt_mib(m((corpus, variant, 'parent_private')))}) | "
                         f"{fmt_mib(parent - bare_peak)} |")
            lines.append(f"| child `{variant}`, {title}, at `run_code` | {fmt_mib(child)} "
                         f"({fmt_mib(m((corpus, variant, 'child_private')))}) | "
                         f"{fmt_mib(child - bare_peak)} |")
            targets.append((f"{title}, `{variant}`: parent peak <= min(content, 128 MiB) + 16 MiB",
                            f"{fmt_mib(parent)} of {fmt_mib(limit)}", parent <= limit))
            targets.append((f"{title}, `{variant}`: child peak <= bare + 16 MiB",
                            f"+{fmt_mib(child - bare_peak)}", child - bare_peak <= 16 * 2**20))
    lines.append("")
    lines.append("Peaks are Wine's counters: working set is the resident set's high-water mark, "
                 "private bytes the committed private memory. The parent's is sampled every "
                 "millisecond by the harness, the child's read by the main module itself.")
    lines.append("")

    lines.append("## Launcher executable")
    lines.append("")
    size_lines, size_targets = stub_size_rows()
    lines += size_lines + [""]
    targets += size_targets
    lines.append("| variant | launcher with the application-like payload | payload block | "
                 "the launcher's own bytes |")
    lines.append("|---|---:|---:|---:|")
    for variant in variants:
        exe = sizes["corpus1"].get(f"exe/{variant}")
        if exe is not None:
            block = sizes["corpus1"]["block"]
            lines.append(f"| `{variant}` | {exe:,} B | {block:,} B | {exe - block:,} B |")
    lines.append("")

    lines.append("## Packer")
    lines.append("")
    lines.append(f"Block size at the default level ({LEVEL}), against other containers of the "
                 "same tree:")
    lines.append("")
    lines.append("| corpus | content | payload block | `zstd -19 --long=27` of a tar | x | .zip | x | "
                 ".7z | x |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for corpus, title in CORPORA.items():
        s = sizes[corpus]
        lines.append(f"| {title} | {fmt_mib(content_sizes[corpus])} | {fmt_mib(s['block'])} | "
                     f"{fmt_mib(s['tar.zst'])} | {s['block'] / s['tar.zst']:.3f} | "
                     f"{fmt_mib(s['zip'])} | {s['block'] / s['zip']:.3f} | {fmt_mib(s['7z'])} | "
                     f"{s['block'] / s['7z']:.3f} |")
        targets.append((f"{title}: block <= 1.02 x zstd of the tar",
                        f"{s['block'] / s['tar.zst']:.3f} x", s["block"] <= 1.02 * s["tar.zst"]))
        targets.append((f"{title}: block <= 0.65 x .zip", f"{s['block'] / s['zip']:.3f} x",
                        s["block"] <= 0.65 * s["zip"]))
    lines.append("")
    if pack_samples:
        lines.append(f"Packing time, level {LEVEL}, {THREADS} threads (`onefile pack` from the "
                     "files; the `zstd` tool on a tar of them, `--long=27`):")
        lines.append("")
        lines.append("| corpus | onefile pack | zstd tool | speed x zstd |")
        lines.append("|---|---:|---:|---:|")
        for corpus, ps in pack_samples.items():
            pack, zstd = ps.median("pack"), ps.median("zstd")
            lines.append(f"| {CORPORA[corpus]} | {fmt_s(pack)} | {fmt_s(zstd)} | {zstd / pack:.2f} |")
            data["medians"][f"{corpus}/pack"] = pack
            data["medians"][f"{corpus}/zstd"] = zstd
            data["samples"][f"{corpus}/pack"] = ps.values["pack"]
            data["samples"][f"{corpus}/zstd"] = ps.values["zstd"]
            targets.append((f"{CORPORA[corpus]}: packer speed >= 0.9 x zstd tool",
                            f"{zstd / pack:.2f} x", pack <= zstd / 0.9))
        lines.append("")

    lines.append("## Targets")
    lines.append("")
    lines.append("| target | measured | |")
    lines.append("|---|---:|---|")
    for name, measured, ok in targets:
        lines.append(f"| {name} | {measured} | {verdict(ok)} |")
    lines.append("")
    lines.append("![chart](chart.png)")
    lines.append("")
    # The packaging tool against the linked build (bench/build_time.sh), measured apart.
    build_time = os.path.join(RESULTS, "build_time.md")
    if os.path.exists(build_time):
        lines.append(open(build_time).read())
    os.makedirs(RESULTS, exist_ok=True)
    open(os.path.join(RESULTS, "results.md"), "w").write("\n".join(lines))
    json.dump(data, open(os.path.join(RESULTS, "results.json"), "w"), indent=1, sort_keys=True)
    chart(samples, variants)


def chart(samples, variants):
    m = samples.median
    rows = []  # label, seconds, colour
    starts = m(("all", "floor", "starts"))
    palette = ["#3366aa", "#99bbdd", "#6699cc", "#aaccee"]
    for corpus in CORPORA:
        decode, write = m((corpus, "floor", "decode")), m((corpus, "floor", "write"))
        remove = m((corpus, "floor", "remove"))
        label = "app-like" if corpus == "corpus1" else "small files"
        rows.append((f"floor to run_code ({label})", starts + decode + write, "#999999"))
        write_threads = m((corpus, "floor", "write_threads"))
        remove_threads = m((corpus, "floor", "remove_threads"))
        rows.append((f"floor, {WRITERS} threads, to run_code ({label})", starts + write_threads,
                     "#777777"))
        for index, variant in enumerate(variants):
            rows.append((f"{variant}: to run_code ({label})", m((corpus, variant, "run_code")),
                         palette[index % len(palette)]))
        rows.append((f"floor, whole launch ({label})", starts + decode + write + remove, "#bbbbbb"))
        rows.append((f"floor, {WRITERS} threads, whole launch ({label})",
                     starts + write_threads + remove_threads, "#999999"))
        for index, variant in enumerate(variants):
            rows.append((f"{variant}: whole launch ({label})", m((corpus, variant, "launch")),
                         palette[index % len(palette)]))
    if m(("corpus1", "keep", "kept_run_code")) is not None:
        rows.append(("keep: a later launch to run_code (app-like)",
                     m(("corpus1", "keep", "kept_run_code")), palette[0]))
        rows.append(("caxa cached run (app-like)", m(("corpus1", "caxa", "cached_run_code")),
                     "#dd8844"))
    rows.append(("caxa first run (app-like)", m(("corpus1", "caxa", "run_code")), "#dd8844"))
    for kind in ("7z", "zip", "tar"):
        rows.append((f"7za .{kind} (app-like)", m(("corpus1", "7za", kind)), "#dd8844"))
    table = os.path.join(RESULTS, "chart.dat")
    with open(table, "w") as out:
        for index, (label, value, colour) in enumerate(rows):
            out.write(f'{index} "{label}" {value:.4f} 0x{colour[1:]}\n')
    script = f"""
set terminal pngcairo noenhanced size 1000,{180 + 24 * len(rows)} font "sans,10"
set output "{os.path.join(RESULTS, 'chart.png')}"
set title "Time under Wine, medians in seconds (shorter is better)"
set style fill solid 0.9 border -1
set yrange [{len(rows) - 0.4}:-0.6]
set xrange [0:*]
set grid xtics
unset key
set ytics nomirror
set lmargin 36
plot "{table}" using 3:1:(0):3:($1-0.35):($1+0.35):4:ytic(2) with boxxyerror lc rgb variable, \\
     "" using 3:1:(sprintf("%.3f", $3)) with labels left offset 0.5,0
"""
    run(["gnuplot"], input=script.encode())
    os.remove(table)


def report_again():
    """Writes the table and the chart again from results.json, without measuring."""
    data = json.load(open(os.path.join(RESULTS, "results.json")))
    samples = Samples()
    pack_samples = {}
    for key, values in data["samples"].items():
        parts = key.split("/")
        if len(parts) == 2:
            pack_samples.setdefault(parts[0], Samples()).values[parts[1]] = values
        else:
            samples.values[tuple(parts)] = values
    for name in ("rounds", "light_repeats", "memory_rounds", "pack_rounds", "threads", "writers"):
        globals()[name.upper()] = data.get(name, globals()[name.upper()])
    report(samples, pack_samples, data["sizes"], data["content_sizes"], data["variants"],
           data["counts"], data.get("libraries"), date=data.get("date"))


def main():
    if sys.argv[1:] == ["--report-only"]:
        report_again()
        return
    os.makedirs(WORK, exist_ok=True)
    counts, content_sizes, sizes = {}, {}, {}
    launchers, blocks, frames, entry_lists = {}, {}, {}, {}
    variants = ["current"] + [name for name, _ in BASELINES]
    archives = None
    tars = {}
    for corpus in CORPORA if not ONLY else ("corpus1",) if ONLY == "keep" else ():
        files = [os.path.join(r, n) for r, _, ns in os.walk(os.path.join(DATA, corpus)) for n in ns]
        counts[corpus] = (len(files), sum(os.path.getsize(f) for f in files))
        launchers[corpus] = {"current": os.path.join(WORK, f"launcher-{corpus}.exe")}
        build_launcher(KIT, corpus, launchers[corpus]["current"])
        for name, kit in BASELINES if not ONLY else ():
            launchers[corpus][name] = os.path.join(WORK, f"launcher-{corpus}-{name}.exe")
            build_launcher(kit, corpus, launchers[corpus][name])
        if ONLY:
            continue  # the kept rows need no floors of writing, removal or decoding, nor archives
        block = os.path.join(WORK, f"{corpus}.block.bin")
        if newer(block, [TOOL, os.path.join(PROGRAMS, "bench_main.dll")]):
            log(f"bench: packing {corpus}")
            run([*PACKER, "--main", os.path.join(PROGRAMS, "bench_main.dll"), "--dir",
                 os.path.join(DATA, corpus), "-o", block])
        blocks[corpus] = block
        frames[corpus], entry_lists[corpus] = split_block(block, corpus)
        content_sizes[corpus] = os.path.getsize(entry_lists[corpus])
        log(f"bench: archives of {corpus}")
        tar, archive_zip, archive_7z = archive_sizes_and_files(corpus)
        tars[corpus] = tar
        tar_zst = tar + ".zst"
        if newer(tar_zst, [tar]):
            run(["zstd", "-q", "-f", f"-{LEVEL}", "--long=27", f"-T{THREADS}", tar, "-o", tar_zst])
        sizes[corpus] = {"block": os.path.getsize(block), "tar.zst": os.path.getsize(tar_zst),
                         "zip": os.path.getsize(archive_zip), "7z": os.path.getsize(archive_7z),
                         "tar": os.path.getsize(tar)}
        for variant, exe in launchers[corpus].items():
            sizes[corpus][f"exe/{variant}"] = os.path.getsize(exe)
        if corpus == "corpus1":
            archives = {"7z": archive_7z, "zip": archive_zip, "tar": tar}
    small = {"current": os.path.join(WORK, "launcher-small.exe")}
    build_launcher(KIT, None, small["current"])
    for name, kit in BASELINES if ONLY != "keep" else ():
        small[name] = os.path.join(WORK, f"launcher-small-{name}.exe")
        build_launcher(kit, None, small[name])
    caxa = make_caxa("corpus1") if ONLY != "small" else None
    kept = {}
    for variant, flag in (("keep", "--keep"), ("keep_verify", "--keep-verify")):
        if ONLY == "small":
            break
        kept[variant] = os.path.join(WORK, f"launcher-corpus1-{variant}.exe")
        build_launcher(KIT, "corpus1", kept[variant], [flag])
    samples = measure(launchers, blocks, frames, entry_lists, caxa, archives, kept, small)
    libraries = {f"small/{variant}": loaded_libraries(exe) for variant, exe in small.items()}
    if kept:
        timer = Timer()
        loaded_libraries(kept["keep"])  # the first launch keeps the files
        libraries["keep/current"] = loaded_libraries(kept["keep"])
        shutil.rmtree(timer.kept_root, ignore_errors=True)
    if ONLY:
        report_only(samples, libraries)
        return
    pack_samples = {corpus: measure_packer(corpus, tars[corpus]) for corpus in PACK_CORPORA
                    if PACK_ROUNDS > 0}
    report(samples, pack_samples, sizes, content_sizes, variants, counts, libraries)
    print(open(os.path.join(RESULTS, "results.md")).read())


if __name__ == "__main__":
    main()
