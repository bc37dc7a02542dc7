#!/usr/bin/python3
"""Property tests of the Linux tavrin on random ntfs-3g volumes, each command
compared byte for byte with an oracle written from the documented rules.

    property_test.py TAVRIN [--walk-only TAVRIN_WALK_ONLY] [--seeds N] [--first SEED] [--seed SEED]

Each seed makes a fresh NTFS image, a random tree on it, and runs listall,
list, a repair on a read-only remount, repair, list, set and listall again.
Both listall runs read from the file table are also compared with what
libyal's independent NTFS reader (pyfsntfs) finds in the image.
TAVRIN reads the volume's file table (at a terminal, which the test gives its
standard error, it would say if it walked instead: that fails the test).
With --walk-only, every seed runs again with the build that always walks,
and the two runs must agree byte for byte: console, result files and words.
On failure it prints the seed, shrinks the tree to a minimal one that still
fails and prints it as a shell script. Exit 0 passed, 1 failed, 77 skipped.
"""

import argparse
import os
import pty
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
import oracle  # noqa: E402
import third_opinion  # noqa: E402
import volume  # noqa: E402
from progress_lines import say  # noqa: E402
from run_ntfs_tests import SKIP, preconditions  # noqa: E402

TOOL_FOLDER = "Norvane/Wickline"
SHRINK_SECONDS = 120


class Mismatch(Exception):
    def __init__(self, step, expected, actual, commands):
        super().__init__(step)
        self.step, self.expected, self.actual, self.commands = step, expected, actual, commands


class Volume:
    """One NTFS image in a work folder, mounted with ntfs-3g at `mnt`."""

    def __init__(self, work):
        self.image = os.path.join(work, "volume.img")
        self.mnt = os.path.join(work, "mnt")
        os.mkdir(self.mnt)
        self.mounted = False

    def fresh(self):
        self.unmount()
        with open(self.image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", "P", self.image], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mount()

    def mount(self, read_only=False):
        options = ["-o", "ro"] if read_only else []
        result = subprocess.run(["ntfs-3g", *options, self.image, self.mnt],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            raise RuntimeError("ntfs-3g refused: " + result.stdout.decode(errors="replace"))
        self.mounted = True

    def unmount(self):
        if self.mounted:
            if subprocess.run(["fusermount", "-u", self.mnt], stderr=subprocess.DEVNULL).returncode:
                subprocess.run(["umount", "-l", self.mnt], stderr=subprocess.DEVNULL)
            self.mounted = False

    def remount(self, read_only=False):
        self.unmount()
        self.mount(read_only)


def run_with_terminal(args):
    """Runs `args` with standard error on a terminal: (exit code, stdout, what
    the terminal showed)."""
    master, slave = pty.openpty()
    shown = []

    def drain():
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:
                return
            if not data:
                return
            shown.append(data)

    reader = threading.Thread(target=drain)
    reader.start()
    env = dict(os.environ, TERM="xterm")
    try:
        result = subprocess.run(args, stdout=subprocess.PIPE, stderr=slave, env=env)
    finally:
        os.close(slave)
        reader.join()
        os.close(master)
    return result.returncode, result.stdout, b"".join(shown)


class Check:
    """Runs every command of one seed's plan on its tree and compares."""

    def __init__(self, tavrin, vol, work, reader):
        self.tavrin, self.vol, self.work, self.reader = tavrin, vol, work, reader
        self.runs = 0
        self.commands = []
        self.outputs = []  # (step, console, result file), for comparing two runs

    def path(self, parts, slash=False):
        p = os.fsencode(os.path.join(self.vol.mnt, volume.ROOT, *parts))
        return p + b"/" if slash else p

    def run(self, *args, status=0, errors=b"", scans=True):
        """Runs tavrin with a private /var/lib; returns (console, {name: content})."""
        self.runs += 1
        self.commands.append([os.fsdecode(a) for a in args])
        varlib = tempfile.mkdtemp(prefix="varlib", dir=self.work)
        os.makedirs(os.path.join(varlib, TOOL_FOLDER))
        script = 'mount --bind "$1" /var/lib || exit 90; shift; exec "$@"'
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", varlib,
                   self.tavrin, *args]
        if self.reader:
            code, stdout, shown = run_with_terminal(command)
            text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown)
            lines = re.split(rb"[\r\n]", text)
            walked = [line for line in lines if b"Walked without the file table" in line]
            # A pattern stands for the closing lines of a run, which the
            # summary replaces at a terminal.
            missing = [] if isinstance(errors, re.Pattern) else [
                line for line in errors.splitlines() if line not in lines]
            folders = [a for a in args[1:] if scans and a and os.path.isdir(a) and not os.path.islink(a)]
            checks = [("exit code, errors shown, no root walked", (status, [], []), (code, missing, walked)),
                      ("roots read from the file table", len(folders), text.count(b"Read from the file table: "))]
        else:
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if isinstance(errors, re.Pattern) and errors.fullmatch(result.stderr):
                errors = result.stderr
            checks = [("exit code and stderr", (status, errors), (result.returncode, result.stderr))]
            stdout = result.stdout
        folder = os.path.join(varlib, TOOL_FOLDER)
        files = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                files[name] = f.read()
        shutil.rmtree(varlib)
        for step, expected, actual in checks:
            self.equal(step, expected, actual)
        return stdout, files

    def equal(self, step, expected, actual):
        if expected != actual:
            raise Mismatch(step, expected, actual, list(self.commands))

    def result(self, step, files, suffix):
        names = [n for n in files if re.fullmatch(r"-?[0-9]+" + re.escape(suffix), n)]
        self.equal(step + ": result files", [f"<tick>{suffix}"],
                   [re.sub(r"^-?[0-9]+", "<tick>", n) for n in files])
        return files[names[0]]

    def command(self, step, args, suffix, expected_records, expected_console=b"", status=0,
                errors=b""):
        console, files = self.run(*args, status=status, errors=errors)
        if status == 2 and not expected_records:
            # Failed with nothing recorded: no empty file is left to pass for "nothing found".
            self.equal(step + ": result files", {}, files)
            records = b""
        else:
            records = self.result(step, files, suffix)
        self.outputs.append((step, console, records))
        self.equal(step + ": console", expected_console, console)
        self.equal(step + ": " + (suffix or "<tick>"), expected_records, records)
        return records

    def third_opinion(self, records):
        """The records of a run read from the file table, against pyfsntfs."""
        if self.reader and third_opinion.pyfsntfs is not None:
            wrong = third_opinion.disagreements(self.vol.image, records, self.path(()), (volume.ROOT,))
            self.equal("the file table and pyfsntfs", [], wrong[:5])

    def words(self, nodes):
        words = {node.parts: oracle.word(self.path(node.parts)) for node in nodes
                 if node.kind != "deleted" and os.path.lexists(self.path(node.parts))}
        self.outputs.append(("words", words, None))
        return words

    def walk(self, root):
        return oracle.walk(root, self.reader)

    def everything(self, plan, nodes):
        root = self.path(())
        self.vol.fresh()
        volume.build(nodes, self.vol.mnt)
        self.vol.remount()  # the FUSE cache keeps junctions as folders

        files = self.walk(root)
        self.third_opinion(self.command("listall", [b"listall", root], "allFiles.txt", oracle.records(files)))
        self.command("list", [b"list", root], "badFiles.txt", oracle.records(oracle.suspects(files)))
        arguments = [b"" if parts is None else self.path(parts, slash) for parts, slash in plan["listall"]
                     if parts is None or any(n.parts == parts for n in nodes) or parts == ()]
        empty = arguments.count(b"")
        self.command("listall of arguments", [b"listall", *arguments], "allFiles.txt",
                     oracle.records(oracle.covered(arguments, self.reader)), status=2 if empty else 0,
                     errors=oracle.EMPTY_ARGUMENT * empty)

        before = self.words(nodes)
        self.vol.remount(read_only=True)
        failed_records, failed_console = oracle.repair_failures(files)
        failures = failed_records.count(b"\n")
        self.command("repair, read-only", [b"repair", root], "couldNotFix.txt", failed_records,
                     failed_console, status=1 if failed_records else 0,
                     errors=re.compile(b"tavrin: %s could not be repaired: listed in /var/lib/Norvane/Wickline/"
                                       b"-?[0-9]+couldNotFix\\.txt and as FlagsR lines on standard output\n"
                                       % counted(failures, "file", "files")) if failures else b"")
        first_two = oracle.walk(root)[:2]  # files as roots, whatever the reader sees
        some = [path for path, _ in first_two]
        self.command("set, read-only", [b"set", b"128", *some], "",
                     b"", oracle.set_console(first_two, 0x80, succeeded=False), status=1,
                     errors=re.compile(re.escape(b"tavrin: %s could not be set: see the \"Could not set attributes\" "
                                                 b"lines on standard output\n" % counted(len(first_two), "file", "files"))))
        self.vol.remount()
        self.equal("words after the read-only runs", before, self.words(nodes))

        expected = dict(before)
        for path, value in oracle.repaired_words(files, volume.stored).items():
            expected[self.parts_of(path)] = value
        self.command("repair", [b"repair", root], "couldNotFix.txt", b"")
        self.vol.remount()  # a repaired ntfs-3g link is a plain file now
        self.equal("words after repair", expected, self.words(nodes))
        files = self.walk(root)
        self.command("list after repair", [b"list", root], "badFiles.txt",
                     oracle.records(oracle.suspects(files)))

        text = plan["set"][0]
        value = oracle.set_value(text)
        arguments = [self.path(parts) for parts in plan["set"][1]
                     if parts == () or any(n.parts == parts for n in nodes)]
        if value is None:  # refused: nothing run, nothing made
            console, made = self.run(b"set", os.fsencode(text), *arguments, status=2,
                                     errors=oracle.set_refusal(text), scans=False)
            self.equal("set of no word: console and files", (b"", {}), (console, made))
        else:
            covered = oracle.covered(arguments, self.reader)
            inodes = {}  # every name of a file that was set shows the new word
            for path, before in covered:
                inode = os.lstat(path).st_ino
                inodes[inode] = volume.stored(value, inodes.get(inode, before))
            for node in nodes:
                path = self.path(node.parts)
                if node.kind != "deleted" and os.path.lexists(path) and os.lstat(path).st_ino in inodes:
                    expected[node.parts] = inodes[os.lstat(path).st_ino]
            self.command("set", [b"set", os.fsencode(text), *arguments], "", b"",
                         oracle.set_console(covered, value))
        self.vol.remount()
        self.equal("words after set", expected, self.words(nodes))
        files = self.walk(root)
        self.third_opinion(self.command("listall after set", [b"listall", root], "allFiles.txt",
                                        oracle.records(files)))

    def parts_of(self, path):
        rel = os.path.relpath(os.fsdecode(path), os.path.join(self.vol.mnt, volume.ROOT))
        return () if rel == "." else tuple(rel.split("/"))


def counted(number, one, many):
    """48213 files as the closing lines count them: "48,213 files"."""
    return f"{number:,} {one if number == 1 else many}".encode()


def make_plan(rng, nodes):
    plain = [n.parts for n in nodes if n.kind in ("dir", "file")]
    folders = {n.parts for n in nodes if n.kind == "dir"} | {()}
    listall = []
    for _ in range(rng.randint(1, 3)):
        parts = rng.choice(plain + [()])
        listall.append((parts, parts in folders and rng.random() < 0.3))
    if rng.random() < 0.3:
        listall.insert(rng.randrange(len(listall) + 1), (None, False))  # an empty argument
    value = rng.choice([0x3127, 0x3126, 0x3123, 0x3027, 0x2127, 0x1127, 0x3107, 0x3125,
                        0x20, 0x80, 0x21])
    text = rng.choice(["%d", " %d", "+%d", "%dx", "00%d", "%d", "%d 7"]) % value
    if rng.random() < 0.15:
        text = rng.choice(["0x20", "-0", "abc"])  # -0 gives 0, which reads back as NORMAL
    targets = [rng.choice(plain + [()]) for _ in range(rng.randint(1, 3))]
    return {"listall": listall, "set": (text, targets)}


def attempt(tavrin, walk_only, vol, work, seed, nodes=None):
    """The first mismatch of a seed's runs (on `nodes`, when given), or None:
    the program that reads the file table, then the one that walks, each
    against the oracle and then against each other."""
    rng = random.Random(seed)
    generated = volume.generate(rng)
    plan = make_plan(rng, generated)
    tree = generated if nodes is None else nodes
    checks = []
    for program, reader in [(tavrin, True)] + ([(walk_only, False)] if walk_only else []):
        check = Check(program, vol, work, reader)
        try:
            check.everything(plan, tree)
        except Mismatch as mismatch:
            if not reader:
                mismatch.step = "walk only: " + mismatch.step
            return mismatch, generated
        checks.append(check)
    # Only entries that ntfs-3g shows as links to nowhere may differ.
    if len(checks) == 2 and not any(n.kind == "unknown" for n in tree):
        for (step, console, records), other in zip(checks[0].outputs, checks[1].outputs):
            if (step, console, records) != other:
                return Mismatch("table and walk differ: " + step, other, (step, console, records),
                                checks[0].commands), generated
    return None, generated


def shrink(tavrin, walk_only, vol, work, seed, nodes, step):
    """Removes subtrees while the same step still fails."""
    deadline = time.monotonic() + SHRINK_SECONDS
    progress = True
    while progress and time.monotonic() < deadline:
        progress = False
        for node in list(nodes):
            if node not in nodes or time.monotonic() > deadline:
                continue
            fewer = [n for n in nodes if n.parts[:len(node.parts)] != node.parts
                     and (n.target is None or n.target[:len(node.parts)] != node.parts or n.kind != "hardlink")]
            mismatch, _ = attempt(tavrin, walk_only, vol, work, seed, fewer)
            if mismatch is not None and mismatch.step == step:
                nodes, progress = fewer, True
    mismatch, _ = attempt(tavrin, walk_only, vol, work, seed, nodes)
    return nodes, mismatch


def report(seed, mismatch, nodes, tavrin, mnt):
    print(f"FAIL seed {seed}: {mismatch.step}")
    expected, actual = mismatch.expected, mismatch.actual
    if isinstance(expected, bytes) and isinstance(actual, bytes):
        e, a = expected.split(b"\n"), actual.split(b"\n")
        print("  expected lines:", *[repr(x) for x in e if x not in a] or ["(none missing)"], sep="\n    ")
        extra = [repr(x) for x in a if x not in e]
        print("  unexpected lines:", *extra or ["(none)" if len(a) != len(e) else "(order differs)"],
              sep="\n    ")
    print(f"  expected: {expected!r}\n  actual:   {actual!r}")
    print(f"rerun: {sys.argv[0]} {tavrin} --seed {seed}")
    print("minimal reproduction (the tree and the commands up to the failing one):")
    print(volume.script(nodes, mismatch.commands, mnt))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tavrin")
    parser.add_argument("--walk-only", help="the build that never reads a file table")
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--first", type=int, help="first seed (default: from the clock)")
    parser.add_argument("--seed", type=int, help="run this seed only")
    options = parser.parse_args()
    tavrin = os.path.abspath(options.tavrin)
    walk_only = os.path.abspath(options.walk_only) if options.walk_only else None
    preconditions()
    if third_opinion.pyfsntfs is None:
        print(f"SKIP part: the records against pyfsntfs: {third_opinion.MISSING}")
    first = options.seed if options.seed is not None else (
        options.first if options.first is not None else int(time.time()) % 1000000 * 100)
    count = 1 if options.seed is not None else options.seeds
    work = tempfile.mkdtemp(prefix="tavrin-property-")
    vol = Volume(work)
    start = time.monotonic()
    failed = False
    try:
        for seed in range(first, first + count):
            mismatch, nodes = attempt(tavrin, walk_only, vol, work, seed)
            if mismatch is not None:
                say(f"seed {seed} failed at {mismatch.step}; shrinking the tree ({len(nodes)} entries)", "property")
                small, smaller_mismatch = shrink(tavrin, walk_only, vol, work, seed, nodes, mismatch.step)
                report(seed, smaller_mismatch or mismatch, small if smaller_mismatch else nodes, tavrin,
                       vol.mnt)
                failed = True
                break
            kinds = {k: sum(n.kind == k for n in nodes) for k in ("dir", "file", "link", "junction", "winlink", "unknown",
                                                         "hardlink", "deleted")}
            say(f"ok   seed {seed} ({seed - first + 1} of {count}): {kinds}", "property")
    finally:
        vol.unmount()
        if not vol.mounted:
            subprocess.run(["rm", "-rf", "--one-file-system", work])
    print(f"{'FAILED' if failed else 'passed'}: seeds from {first}, {time.monotonic() - start:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
