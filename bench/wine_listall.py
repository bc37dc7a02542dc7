#!/usr/bin/env python3
"""Times `tavrin.exe listall C:\\tree` against Wine's own `attrib /s C:\\tree\\*`
and against the same-calls floor (bench/wine_same_calls.c: the least a walk
making tavrin's calls can do) on a tree of 20,000 files, under one warm
wineserver.

    bench/wine_listall.py [--exe build/mingw/tavrin.exe] [--state DIR] [--runs 5]

Each round runs the three once, in turn first and last; the table gives the
median of the rounds. Targets: tavrin ahead of attrib (below 1.0 of its
time), and at most 1.2x the floor's.
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))

from wineprefix import PrefixError, WinePrefix  # noqa: E402

TREE = "C:\\tree"
ATTRIB_TARGET = 1.0  # below: ahead of attrib
FLOOR_TARGET = 1.2   # at most this many times the same-calls floor


def make_tree(wine, files):
    """20 folders of 10 folders each, the files spread over them; kept
    between runs when it already has the right size."""
    root = wine.unix_path(TREE)
    mark = root / (".files-%d" % files)
    if mark.exists():
        return
    shutil.rmtree(root, ignore_errors=True)
    folders = [root / ("d%02d" % a) / ("e%02d" % b) for a in range(20) for b in range(10)]
    for folder in folders:
        folder.mkdir(parents=True)
    for i in range(files - 1):  # the mark is a file too
        (folders[i % len(folders)] / ("file%05d.dat" % i)).write_bytes(b"")
    mark.write_bytes(b"")


def build_floor(state):
    """The same-calls floor, cross-compiled into the state folder."""
    compiler = shutil.which("x86_64-w64-mingw32-gcc")
    if not compiler:
        raise SystemExit("x86_64-w64-mingw32-gcc is not installed (package gcc-mingw-w64-x86-64)")
    exe = Path(state) / "wine_same_calls.exe"
    subprocess.run([compiler, "-O2", "-municode", "-static", "-o", str(exe),
                    str(ROOT / "bench" / "wine_same_calls.c"), "-lshell32", "-lntdll"], check=True)
    return exe


def timed(wine, exe, args):
    start = time.perf_counter()
    rc, out, _ = wine.run(exe, args)
    elapsed = time.perf_counter() - start
    if rc != 0:
        raise SystemExit("%s %s exited with %d" % (exe, " ".join(args), rc))
    return elapsed, out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default=str(ROOT / "build" / "mingw" / "tavrin.exe"))
    parser.add_argument("--state", default=str(ROOT / "build" / "mingw" / "bench-wine"))
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=5)
    opts = parser.parse_args()

    wine = WinePrefix(opts.state)
    try:
        wine.create()
    except PrefixError as e:
        raise SystemExit("no Wine prefix: %s" % e)
    tool_folder = wine.unix_path("C:\\ProgramData\\Norvane\\Wickline")
    shutil.rmtree(tool_folder, ignore_errors=True)
    tool_folder.mkdir(parents=True)
    make_tree(wine, opts.files)
    floor = build_floor(opts.state)
    commands = {
        "tavrin": ("tavrin.exe listall " + TREE, opts.exe, ["listall", TREE]),
        "attrib": ("attrib /s " + TREE + "\\*", "attrib", ["/s", TREE + "\\*"]),
        "floor": ("same calls (wine_same_calls.exe)", floor, [TREE]),
    }
    wine.start_server()
    try:
        # Warm up each, and check that they see the same files.
        _, listing = timed(wine, "attrib", ["/s", TREE + "\\*"])
        timed(wine, floor, [TREE])
        timed(wine, opts.exe, ["listall", TREE])

        def count(pattern):
            return sum(p.read_bytes().count(b"\n") for p in tool_folder.glob(pattern))
        records = count("*allFiles.txt")
        seen = (listing.count(b"\n"), count("*sameCalls.txt"))
        if records != opts.files or seen != (opts.files, opts.files):
            raise SystemExit("expected %d files; tavrin recorded %d, attrib showed %d, the floor %d"
                             % ((opts.files, records) + seen))
        times = {name: [] for name in commands}
        names = list(commands)
        for i in range(opts.runs):
            order = names[i % len(names):] + names[:i % len(names)]
            for name in order:
                _, exe, args = commands[name]
                times[name].append(timed(wine, exe, args)[0])
            for result in tool_folder.iterdir():
                result.unlink()
    finally:
        wine.stop_server()

    median = {name: statistics.median(t) for name, t in times.items()}
    print("%d files, median of %d rounds, one warm wineserver" % (opts.files, opts.runs))
    print("%-34s %9s %9s %9s" % ("command", "median s", "min s", "max s"))
    for name, (label, _, _) in commands.items():
        t = times[name]
        print("%-34s %9.3f %9.3f %9.3f" % (label, median[name], min(t), max(t)))
    to_attrib = median["tavrin"] / median["attrib"]
    to_floor = median["tavrin"] / median["floor"]
    print("ratio tavrin/attrib: %.2f (target below %.1f): %s"
          % (to_attrib, ATTRIB_TARGET, "met" if to_attrib < ATTRIB_TARGET else "MISSED"))
    print("ratio tavrin/floor:  %.2f (target at most %.1f): %s"
          % (to_floor, FLOOR_TARGET, "met" if to_floor <= FLOOR_TARGET else "MISSED"))
    return 0 if to_attrib < ATTRIB_TARGET and to_floor <= FLOOR_TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
