"""Runs of the program for the cases that compare a run read from the file
table with the walk: each in a private mount namespace with its own
/var/lib, standard error on a terminal (where the program says whether it
read a root from the file table or walked it), and a volume's image mounted
with ntfs-3g."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # importing the suites leaves nothing in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
from property_test import run_with_terminal  # noqa: E402
from run_ntfs_tests import preconditions, skip as skip_run  # noqa: E402,F401

TOOL_FOLDER = "Norvane/Wickline"
NAMESPACE = 'mount --bind "$1" /var/lib || exit 90; shift; exec "$@"'


class Run:
    """One finished run: exit status, console, what the terminal showed and
    the result files by suffix (the tick of the name left out)."""

    def __init__(self, code, console, shown, files):
        self.code, self.console, self.shown, self.files = code, console, shown, files

    def result(self, suffix):
        return self.files.get(suffix)

    def how(self):
        """The terminal's lines that say how each root was read."""
        text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", self.shown)
        return [found.group(0).decode(errors="replace") for line in re.split(rb"[\r\n]", text)
                for found in [re.search(rb"(Read from|Walked without) the file table.*", line)] if found]


def prepared(program, args, work):
    """(command, varlib): `program args` in its namespace, a fresh /var/lib."""
    varlib = tempfile.mkdtemp(prefix="varlib", dir=work)
    os.makedirs(os.path.join(varlib, TOOL_FOLDER))
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE, "sh", varlib,
            program, *[os.fsencode(a) for a in args]], varlib


def start(program, args, work, **popen):
    """Starts `program args` in its namespace; (process, varlib)."""
    command, varlib = prepared(program, args, work)
    return subprocess.Popen(command, **popen), varlib


def collect(varlib):
    """The result files of a finished run by suffix; the folder removed."""
    folder = os.path.join(varlib, TOOL_FOLDER)
    files = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            files[re.sub(r"^-?[0-9]+", "", name)] = f.read()
    shutil.rmtree(varlib)
    return files


def run(program, args, work):
    """Runs `program args` to its end with standard error on a terminal."""
    command, varlib = prepared(program, args, work)
    code, console, shown = run_with_terminal(command)
    return Run(code, console, shown, collect(varlib))


def ntfs_mount(image, point, read_only=False):
    os.makedirs(point, exist_ok=True)
    options = ["-o", "ro"] if read_only else []
    subprocess.run(["ntfs-3g", *options, image, point], check=True)


def ntfs_unmount(point):
    if subprocess.run(["fusermount", "-u", point], stderr=subprocess.DEVNULL).returncode:
        subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)


def mkntfs(image, size, label="T"):
    with open(image, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkntfs", "-F", "-Q", "-L", label, image], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def records_of(text):
    """[(word, path)] of records as the result files hold them."""
    return [tuple(line.split(b", ", 1)) for line in text.split(b"\n")[1:]] if text else []


class Verdict:
    """Failed checks of one case, each printed as it is found."""

    def __init__(self, name):
        self.name, self.failures = name, 0

    def expect(self, condition, message):
        if not condition:
            self.failures += 1
            print(f"FAIL [{self.name}] {message}", flush=True)
        return condition

    def equal(self, expected, actual, message):
        if expected == actual:
            return True
        self.failures += 1
        print(f"FAIL [{self.name}] {message}\n  expected: {expected!r}\n  actual:   {actual!r}", flush=True)
        return False


def run_differences(expected, actual, console=True):
    """What differs between two runs (exit status, console unless told not
    to, each result file), the records that differ listed, not whole files."""
    found = []
    if expected.code != actual.code:
        found.append(f"exit status {actual.code}, not {expected.code}")
    if console and expected.console != actual.console:
        found.append(f"console {actual.console[:300]!r}, not {expected.console[:300]!r}")
    if sorted(expected.files) != sorted(actual.files):
        found.append(f"result files {sorted(actual.files)}, not {sorted(expected.files)}")
    for suffix, text in expected.files.items():
        other = actual.files.get(suffix)
        if other is None or other == text:
            continue
        lines, others = text.split(b"\n")[1:], other.split(b"\n")[1:]
        missing = [line for line in lines if line not in set(others)]
        extra = [line for line in others if line not in set(lines)]
        found.append(f"{suffix}: {len(others)} records, not {len(lines)}; missing {missing[:5]}, "
                     f"extra {extra[:5]}" + ("" if missing or extra else " (order or count differs)"))
    return found
