#!/usr/bin/python3
"""Damaged volumes: an mkntfs image with a small tree, one structure edited
before it is mounted, then the same commands run from the file table and by
the build that always walks, on fresh copies of the image. The file table
must give the walk's exit status, console and result files (reading the
table, or walking with the reason), and never change a folder.

    damaged_volume.py CASE TAVRIN TAVRIN_WALK_ONLY

CASE is one of:
  extension_record  an in-use record whose base reference names top/victim
                    (0x3127), which no attribute list names, holding a
                    $STANDARD_INFORMATION with 0x20
  quota_entry       the $Quota entry of $Extend's index edited to name the
                    folder top/plain/sub (a suspect inside)
  dotdot_name       a file of top/Norvane/d renamed `..` in its record and its
                    folder's index; repair must leave top/Norvane (0x16) alone
  huge_allocation   the $INDEX_ALLOCATION of top/big claiming 2^38 bytes
  mft_claim         the file table's own size claiming 2^32 records
Exit 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

import ntfs_edit
import table_runs
from oracle import word
from volume import ATTRIBUTE

SUSPECT = 0x3127
BIG_FILES = 3000


def set_word(path, value):
    os.setxattr(path, ATTRIBUTE, value.to_bytes(4, "big"), follow_symlinks=False)


def make_file(path, value=None):
    with open(path, "wb") as f:
        f.write(b"xx")  # 0 or 1 byte with the system bit reads as a FIFO or socket
    if value is not None:
        set_word(path, value)


def build(mnt):
    """The tree every case starts from; {name: record} of what they edit."""
    top = os.path.join(mnt, "top")
    for folder in ["top", "top/Norvane", "top/Norvane/d", "top/plain", "top/plain/sub", "top/big"]:
        os.mkdir(os.path.join(mnt, folder))
    make_file(os.path.join(top, "victim"), SUSPECT)
    make_file(os.path.join(top, "donor"), 0x20)
    make_file(os.path.join(top, "Norvane", "d", "xx"), 0x21)
    make_file(os.path.join(top, "Norvane", "d", "kept"), 0x21)
    make_file(os.path.join(top, "plain", "sub", "s1"), SUSPECT)
    make_file(os.path.join(top, "plain", "sub", "s2"))
    make_file(os.path.join(top, "plain", "p1"), SUSPECT)
    make_file(os.path.join(top, "plain", "p2"))
    folder = os.open(os.path.join(top, "big"), os.O_DIRECTORY)
    for i in range(BIG_FILES):
        os.close(os.open(f"f{i:05d}", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=folder))
    os.close(folder)
    make_file(os.path.join(top, "big", "a_bad"), SUSPECT)
    records = {name: os.lstat(os.path.join(top, name)).st_ino
               for name in ["victim", "donor", "plain/sub", "big", "Norvane/d", "Norvane/d/xx"]}
    os.remove(os.path.join(top, "donor"))  # its record keeps its attributes, no longer in use
    set_word(os.path.join(top, "Norvane"), 0x16)
    return records


def extension_record(image, records):
    donor = records["donor"]
    record = image.read(donor)
    base = image.read(records["victim"])
    struct.pack_into("<H", record, 0x16, struct.unpack_from("<H", record, 0x16)[0] | ntfs_edit.IN_USE)
    struct.pack_into("<Q", record, 0x20, image.reference(base, records["victim"]))
    image.write(donor, record)


def quota_entry(image, records):
    extend = image.read(11)
    folder = image.read(records["plain/sub"])
    at = next(at for at, _, name in image.root_entries(extend) if name == "$Quota")
    struct.pack_into("<Q", extend, at, image.reference(folder, records["plain/sub"]))
    image.write(11, extend)


def dotdot_name(image, records):
    """`xx` becomes `..` in the file's $FILE_NAME and in d's index root."""
    number = records["Norvane/d/xx"]
    record = image.read(number)
    at = image.attribute(record, ntfs_edit.FILE_NAME)
    start, _ = image.value(record, at)
    record[start + 0x42:start + 0x46] = "..".encode("utf-16-le")
    image.write(number, record)
    folder = image.read(records["Norvane/d"])
    entry = next(at for at, _, name in image.root_entries(folder) if name == "xx")
    folder[entry + 0x10 + 0x42:entry + 0x10 + 0x46] = "..".encode("utf-16-le")
    image.write(records["Norvane/d"], folder)


def huge_allocation(image, records):
    number = records["big"]
    record = image.read(number)
    at = image.attribute(record, ntfs_edit.INDEX_ALLOCATION)
    struct.pack_into("<QQQ", record, at + 0x28, 1 << 38, 1 << 38, 1 << 38)
    image.write(number, record)


def mft_claim(image, records):
    """The file table's $DATA claims 2^32 records (its runs unchanged)."""
    record = image.read(0)
    at = image.attribute(record, ntfs_edit.DATA)
    struct.pack_into("<QQ", record, at + 0x30, image.record_size << 32, image.record_size << 32)
    image.write(0, record)


CASES = {"extension_record": (extension_record, "list"), "quota_entry": (quota_entry, "list"),
         "dotdot_name": (dotdot_name, "repair"), "huge_allocation": (huge_allocation, "listall"),
         "mft_claim": (mft_claim, "list")}


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in CASES:
        print(__doc__)
        return 2
    case = sys.argv[1]
    tavrin, walk_only = (os.path.abspath(a) for a in sys.argv[2:])
    table_runs.preconditions()
    verdict = table_runs.Verdict(case)
    work = tempfile.mkdtemp(prefix="tavrin-damaged-")
    image, mnt = os.path.join(work, "damaged.img"), os.path.join(work, "mnt")
    edit, command = CASES[case]
    try:
        table_runs.mkntfs(image, 64 << 20, "D")
        table_runs.ntfs_mount(image, mnt)
        try:
            records = build(mnt)
        finally:
            table_runs.ntfs_unmount(mnt)
        volume = ntfs_edit.Image(image)
        edit(volume, records)
        volume.close()
        top = os.path.join(mnt, "top")
        outcomes = {}
        for name, program in [("file table", tavrin), ("walk", walk_only)]:
            copy = os.path.join(work, f"{name}.img")
            shutil.copyfile(image, copy)
            table_runs.ntfs_mount(copy, mnt)
            try:
                listed = table_runs.run(program, ["listall", top], work)
                done = table_runs.run(program, [command, top], work)
                folder_word = word(os.path.join(top, "Norvane"))
            finally:
                table_runs.ntfs_unmount(mnt)
            print(f"{name}: listall {listed.code}, {command} {done.code}; " + "; ".join(listed.how() + done.how()))
            outcomes[name] = (listed, done, folder_word)
        (table_all, table_done, table_word), (walk_all, walk_done, walk_word) = \
            outcomes["file table"], outcomes["walk"]
        for what, table, walk in [("listall", table_all, walk_all), (command, table_done, walk_done)]:
            verdict.equal([], table_runs.run_differences(walk, table), f"{what} from the file table against the walk")
        verdict.expect(len(table_runs.records_of(table_all.result("allFiles.txt"))) > BIG_FILES,
                       "listall from the file table: records of the whole tree")
        if command == "list":
            suspect = b"\n12583, " + os.fsencode(os.path.join(top, "victim" if case == "extension_record"
                                                             else "plain/sub/s1"))
            verdict.expect(suspect in (walk_done.result("badFiles.txt") or b""),
                           f"the walk's list names {suspect!r}: the damage fools ntfs-3g too")
        verdict.equal((0x16, 0x16), (table_word, walk_word),
                      "the word of top/Norvane after the runs (file table, walk)")
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", work])
    print("passed" if verdict.failures == 0 else f"{verdict.failures} check(s) failed")
    return 1 if verdict.failures else 0


if __name__ == "__main__":
    sys.exit(main())
