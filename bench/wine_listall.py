#!/usr/bin/env python3
"""Times `tavrin.exe listall C:\\tree` against Wine's own `attrib /s C:\\tree\\*`
on a tree of 20,000 files, under one warm wineserver.

    bench/wine_listall.py [--exe build/mingw/tavrin.exe] [--state DIR] [--runs 5]

Each round runs both programs once, alternating which goes first; the table
gives the median of the rounds. Target: tavrin at most 0.8x attrib's time.
"""

import argparse
import shutil
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))

from wineprefix import PrefixError, WinePrefix  # noqa: E402

TREE = "C:\\tree"
TARGET_RATIO = 0.8


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
    wine.start_server()
    try:
        # Warm up both, and check that they see the same files.
        _, listing = timed(wine, "attrib", ["/s", TREE + "\\*"])
        timed(wine, opts.exe, ["listall", TREE])
        records = sum(p.read_bytes().count(b"\n") for p in tool_folder.glob("*allFiles.txt"))
        seen = listing.count(b"\n")
        if records != opts.files or seen != opts.files:
            raise SystemExit("expected %d files; tavrin recorded %d, attrib showed %d"
                             % (opts.files, records, seen))
        times = {"tavrin": [], "attrib": []}
        for i in range(opts.runs):
            order = ["tavrin", "attrib"] if i % 2 == 0 else ["attrib", "tavrin"]
            for name in order:
                if name == "tavrin":
                    elapsed, _ = timed(wine, opts.exe, ["listall", TREE])
                else:
                    elapsed, _ = timed(wine, "attrib", ["/s", TREE + "\\*"])
                times[name].append(elapsed)
            for result in tool_folder.glob("*allFiles.txt"):
                result.unlink()
    finally:
        wine.stop_server()

    tavrin = statistics.median(times["tavrin"])
    attrib = statistics.median(times["attrib"])
    print("%d files, median of %d alternated runs, one warm wineserver" % (opts.files, opts.runs))
    print("%-34s %9s %9s %9s" % ("command", "median s", "min s", "max s"))
    for label, name in (("tavrin.exe listall " + TREE, "tavrin"),
                        ("attrib /s " + TREE + "\\*", "attrib")):
        t = times[name]
        print("%-34s %9.3f %9.3f %9.3f" % (label, statistics.median(t), min(t), max(t)))
    ratio = tavrin / attrib
    print("ratio tavrin/attrib: %.2f (target at most %.1f): %s"
          % (ratio, TARGET_RATIO, "met" if ratio <= TARGET_RATIO else "MISSED"))
    return 0 if ratio <= TARGET_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
