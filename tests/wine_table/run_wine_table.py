#!/usr/bin/env python3
"""tavrin.exe reading an NTFS volume's file table under Wine.

Makes an NTFS image, fills it through ntfs-3g, and gives it to a private Wine
prefix as drive X: (the mounted folder) whose device X:: is the image, as Wine
maps raw devices. `tavrin.exe listall X:\\` must then find every file with the
word ntfs-3g reports, in the order of the folders' indexes (Windows' order).
A walk through Wine could not show those words (Wine keeps only hidden,
system and read-only, and reads 0x20 for these files), so they show that the
table was read.

Usage: run_wine_table.py TAVRIN.EXE
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
from wineprefix import PrefixError, WinePrefix  # noqa: E402

SKIP = 77
ATTRIBUTE = "system.ntfs_attrib_be"


def skip(reason):
    print(f"SKIP: {reason}")
    sys.exit(SKIP)


def word(path):
    value = int.from_bytes(os.getxattr(path, ATTRIBUTE, follow_symlinks=False), "big")
    return value or 0x80


def make_tree(mnt):
    """A few folders, a hard link, non-ASCII names and a folder of 300 names
    (index blocks, listed by ntfs-3g in block order, not name order)."""
    os.makedirs(os.path.join(mnt, "a", "b"))
    os.mkdir(os.path.join(mnt, "big"))
    files = {"a/f1": 0x3127, "a/b/g": 0x20, "é-name": 0x21, "Zeta": 0x3127}
    files.update({f"big/name_{i}": 0x20 for i in range(300)})
    for name, value in files.items():
        path = os.path.join(mnt, name)
        with open(path, "wb") as f:
            f.write(b"xx")
        os.setxattr(path, ATTRIBUTE, value.to_bytes(4, "big"))
    os.link(os.path.join(mnt, "a", "f1"), os.path.join(mnt, "a", "b", "second name"))


def expected_records(mnt):
    """(word, path) of every file, each folder's entries in collation order."""
    records = []

    def walk(folder, shown):
        for name in sorted(os.listdir(folder), key=lambda n: n.upper()):
            path = os.path.join(folder, name)
            if os.path.isdir(path):
                walk(path, shown + name + "\\")
            else:
                records.append((word(path), shown + name))
    walk(mnt, "X:\\")
    return records


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    exe = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        skip("needs root to mount NTFS (run as root)")
    for tool in ["mkntfs", "ntfs-3g", "fusermount"]:
        if shutil.which(tool) is None:
            skip(f"{tool} not found (apt-get install ntfs-3g)")
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        skip(f"/dev/fuse cannot be opened ({error.strerror}): run where FUSE is available")
    work = tempfile.mkdtemp(prefix="tavrin-wine-table-")
    image, mnt = os.path.join(work, "x.img"), os.path.join(work, "mnt")
    wine = WinePrefix(os.path.join(work, "state"))
    if wine.missing_tools():
        skip(wine.missing_tools() + " (apt-get install wine64 wine)")
    mounted = False
    try:
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", "X", image], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.mkdir(mnt)
        if subprocess.run(["ntfs-3g", image, mnt]).returncode != 0:
            skip("ntfs-3g refused the mount")
        mounted = True
        make_tree(mnt)
        try:
            wine.create()
        except PrefixError as error:
            skip(f"no Wine prefix: {error}")
        devices = wine.prefix / "dosdevices"
        for link, target in [("x:", mnt), ("x::", image)]:
            if (devices / link).is_symlink():
                (devices / link).unlink()
            (devices / link).symlink_to(target)
        shutil.copy(exe, wine.drive_c / "tavrin.exe")
        tool = wine.drive_c / "ProgramData" / "Norvane" / "Wickline"
        tool.mkdir(parents=True, exist_ok=True)
        rc, _, err = wine.run("C:\\tavrin.exe", ["listall", "X:\\"], timeout=300)
        wine.stop_server()
        results = list(tool.iterdir())
        out = results[0].read_bytes() if len(results) == 1 else b""
        expected = "".join(f"\r\n{w - (1 << 32) if w >= 1 << 31 else w}, {p}" for w, p in expected_records(mnt))
        actual = out.decode("utf-8", errors="replace")
        if rc != 0 or actual != expected:
            print(f"FAIL tavrin.exe listall X:\\ (exit {rc}, stderr {err!r}, result files {results})")
            missing = [line for line in expected.split("\r\n") if line not in actual.split("\r\n")]
            print(f"  expected {len(expected.splitlines())} lines, missing: {missing[:5]}")
            print(f"  actual (first lines): {actual[:400]!r}")
            return 1
        print(f"passed: {expected.count(chr(10))} files from the file table, in the index's order")
        return 0
    finally:
        if mounted:
            subprocess.run(["fusermount", "-u", mnt])
        if not mounted or not os.path.ismount(mnt):
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
