#!/usr/bin/python3
"""Folders that change while a run reads the volume's file table, on ntfs-3g:
every file that stays unchanged throughout must be listed exactly once, as
the walk lists it.

    live_change.py CASE TAVRIN TAVRIN_WALK_ONLY

CASE is one of:
  churn         files moved between folders all the while `listall` runs,
                TAVRIN_CHURN_RUNS times (10; 100 for a soak), the walk a
                few times beside it
  paused_index  the run held (under gdb) at its first read of a folder's
                index blocks, after the file table's records were read;
                100 files are moved into that folder, then the run goes on:
                the folder's 60 untouched files (one 0x3127) must be listed
                (the walk lists them all afterwards)
  replaced_file repair of a Norvane tree whose file becomes a folder (0x16)
                as the run first reads that file's word (held under gdb):
                the folder's word must stay, from the file table and by
                the walk
Exit 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import collections
import os
import random
import stat
import subprocess
import sys
import tempfile
import threading

import held_run
import ntfs_edit
import table_runs
from volume import ATTRIBUTE

SUSPECT = 0x3127
CHURN_FOLDERS, CHURN_STAYING, CHURN_MOVING = 16, 1500, 2000
UNTOUCHED, MOVED = 60, 100
SUSPECT_AT = 45  # among the names the moves push into new index blocks


def make_files(folder, names):
    descriptor = os.open(folder, os.O_DIRECTORY)
    for name in names:
        os.mknod(name, stat.S_IFREG | 0o644, dir_fd=descriptor)
    os.close(descriptor)


def unchanged_once(verdict, run, paths, what):
    """Every path of `paths` recorded exactly once."""
    counts = collections.Counter(path for _, path in table_runs.records_of(run.result("allFiles.txt") or b""))
    missing = [p for p in paths if counts[p] == 0]
    twice = [p for p in paths if counts[p] > 1]
    verdict.expect(not missing and not twice,
                   f"{what}: {len(missing)} unchanged files missing {missing[:3]}, {len(twice)} listed twice "
                   f"{twice[:3]}; " + "; ".join(run.how()))


class Mover(threading.Thread):
    """Moves files between the folders until told to stop."""

    def __init__(self, folders, names):
        super().__init__(daemon=True)
        self.where = {name: folders[i % len(folders)] for i, name in enumerate(names)}
        self.folders, self.stop, self.moves = folders, threading.Event(), 0
        self.random = random.Random(24)

    def run(self):
        names = sorted(self.where)
        while not self.stop.is_set():
            name = self.random.choice(names)
            target = self.random.choice(self.folders)
            if target != self.where[name]:
                os.rename(os.path.join(self.where[name], name), os.path.join(target, name))
                self.where[name] = target
                self.moves += 1


def churn(tavrin, walk_only, work, mnt, verdict):
    runs = int(os.environ.get("TAVRIN_CHURN_RUNS", "10"))
    top = os.path.join(mnt, "top")
    folders = [os.path.join(top, f"d{i:02d}") for i in range(CHURN_FOLDERS)]
    staying = []
    for i, folder in enumerate(folders):
        os.makedirs(folder)
        names = [f"s{i:02d}_{n:05d}" for n in range(CHURN_STAYING)]
        make_files(folder, names)
        staying += [os.fsencode(os.path.join(folder, name)) for name in names]
    moving = [f"m{n:05d}" for n in range(CHURN_MOVING)]
    for i, name in enumerate(moving):
        make_files(folders[i % len(folders)], [name])
    print(f"{len(staying)} files stay, {len(moving)} move; {runs} runs", flush=True)
    mover = Mover(folders, moving)
    mover.start()
    try:
        for n in range(runs):
            unchanged_once(verdict, table_runs.run(tavrin, ["listall", top], work), staying, f"file table, run {n + 1}")
            if n % 5 == 0:
                unchanged_once(verdict, table_runs.run(walk_only, ["listall", top], work), staying, f"walk, run {n + 1}")
    finally:
        mover.stop.set()
        mover.join()
    print(f"{mover.moves} moves during the runs")


def paused_index(tavrin, walk_only, work, mnt, image, verdict):
    held_run.usable()
    top = os.path.join(mnt, "top")
    target, source, other = (os.path.join(top, name) for name in ["t", "src", "other"])
    for folder in [target, source, other]:
        os.makedirs(folder)
    make_files(target, [f"keep{i:03d}" for i in range(UNTOUCHED)])
    os.setxattr(os.path.join(target, f"keep{SUSPECT_AT:03d}"), ATTRIBUTE, SUSPECT.to_bytes(4, "big"))
    make_files(source, [f"keep{i:03d}m" for i in range(MOVED)])  # between the kept names
    make_files(other, [f"o{i:03d}" for i in range(200)])
    record = os.stat(target).st_ino
    table_runs.ntfs_unmount(mnt)  # every byte on the image before it is read
    table_runs.ntfs_mount(image, mnt)
    volume = ntfs_edit.Image(image, writable=False)
    blocks = volume.allocation(record)
    volume.close()
    def move_in():
        for i in range(MOVED):
            os.rename(os.path.join(source, f"keep{i:03d}m"), os.path.join(target, f"keep{i:03d}m"))
        os.sync()  # on the disk too, for a reader that reads past the page cache
    reads = " || ".join(f"($r10 < {at + length} && $r10 + $rdx > {at})" for at, length in blocks)
    run, stopped = held_run.held_run(tavrin, ["listall", top], work, [("pread64", reads)], move_in)
    print("; ".join(run.how()))
    read_from_table = any("Read from the file table" in line for line in run.how())
    verdict.expect(stopped or not read_from_table, "the run read from the file table, never the folder's "
                   f"index blocks {blocks}: it was not held")
    untouched = [os.fsencode(os.path.join(target, f"keep{i:03d}")) for i in range(UNTOUCHED)]
    others = [os.fsencode(os.path.join(other, f"o{i:03d}")) for i in range(200)]
    unchanged_once(verdict, run, untouched + others, f"file table, {MOVED} files moved in while held")
    suspect = b"12583, " + untouched[SUSPECT_AT]
    verdict.expect(suspect in (run.result("allFiles.txt") or b"").split(b"\n"), f"{suspect!r} recorded")
    walk = table_runs.run(walk_only, ["listall", top], work)
    unchanged_once(verdict, walk, untouched + others, "walk, afterwards")


def replaced_file(tavrin, walk_only, work, mnt, image, verdict):
    """repair of a Norvane tree whose file `swapme` becomes a folder (0x16)
    at the run's first call on that name after listing it: the folder's
    word must stay, from the file table and by the walk."""
    held_run.usable()
    top = os.path.join(mnt, "top")
    norvane, swapme = os.path.join(top, "Norvane"), os.path.join(top, "Norvane", "swapme")
    # Whatever first names it after the listing: a read of its word by name
    # in the listed folder (getxattrat) or by path, an open, a stat.
    named = '$_regex((char *)${}, "(.*/)?swapme$")'
    catches = [(call, named.format("rsi")) for call in ["openat", "newfstatat", "statx", "openat2", 464]]
    catches += [(call, named.format("rdi")) for call in ["getxattr", "lgetxattr", "open", "lstat", "stat"]]

    def swap():
        os.rename(swapme, os.path.join(top, "moved"))
        os.mkdir(swapme)
        os.setxattr(swapme, ATTRIBUTE, (0x16).to_bytes(4, "big"))
    runs = {}
    for name, program in [("file table", tavrin), ("walk", walk_only)]:
        table_runs.ntfs_unmount(mnt)
        table_runs.mkntfs(image, 64 << 20, "L")
        table_runs.ntfs_mount(image, mnt)
        os.makedirs(norvane)
        make_files(norvane, ["a", "swapme", "z"])
        for file in ["a", "swapme", "z"]:
            os.setxattr(os.path.join(norvane, file), ATTRIBUTE, (0x21).to_bytes(4, "big"))
        table_runs.ntfs_unmount(mnt)  # a fresh mount: no folder cached as it was
        table_runs.ntfs_mount(image, mnt)
        run, stopped = held_run.held_run(program, ["repair", top], work, catches, swap)
        runs[name] = run
        print(f"{name}: repair {run.code}; " + "; ".join(run.how()))
        verdict.expect(stopped, f"{name}: the run never read the word of swapme")
        table_runs.ntfs_unmount(mnt)
        table_runs.ntfs_mount(image, mnt)
        verdict.equal(0x16, int.from_bytes(os.getxattr(swapme, ATTRIBUTE), "big"),
                      f"{name}: the word of the folder that took the file's place")
        verdict.equal(0x20, int.from_bytes(os.getxattr(os.path.join(norvane, "a"), ATTRIBUTE), "big"),
                      f"{name}: the word of a, repaired")
    # The console holds gdb's own lines too.
    verdict.equal([], table_runs.run_differences(runs["walk"], runs["file table"], console=False),
                  "repair from the file table against the walk")


CASES = {"churn": churn, "paused_index": paused_index, "replaced_file": replaced_file}


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in CASES:
        print(__doc__)
        return 2
    case = sys.argv[1]
    tavrin, walk_only = (os.path.abspath(a) for a in sys.argv[2:])
    table_runs.preconditions()
    verdict = table_runs.Verdict(case)
    work = tempfile.mkdtemp(prefix="tavrin-live-")
    image, mnt = os.path.join(work, "live.img"), os.path.join(work, "mnt")
    try:
        table_runs.mkntfs(image, (256 if case == "churn" else 64) << 20, "L")
        table_runs.ntfs_mount(image, mnt)
        try:
            if case == "churn":
                churn(tavrin, walk_only, work, mnt, verdict)
            else:
                CASES[case](tavrin, walk_only, work, mnt, image, verdict)
        finally:
            table_runs.ntfs_unmount(mnt)
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", work])
    print("passed" if verdict.failures == 0 else f"{verdict.failures} check(s) failed")
    return 1 if verdict.failures else 0


if __name__ == "__main__":
    sys.exit(main())
