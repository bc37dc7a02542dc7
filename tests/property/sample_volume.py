#!/usr/bin/python3
"""A volume made elsewhere: the NTFS image of Debian's forensics-samples-ntfs
(files copied by another system, then folders deleted). listall of the whole
volume read from its file table must give the walk's records, byte for
byte, and pyfsntfs must agree with them.

    sample_volume.py TAVRIN TAVRIN_WALK_ONLY

The image is a disk whose partition starts at sector 2048: the partition's
bytes are copied out and mounted read-only with ntfs-3g.
Exit 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import lzma
import os
import shutil
import subprocess
import sys
import tempfile

import table_runs
import third_opinion

SAMPLE = "/usr/share/forensics-samples/fs.ntfs.xz"
PARTITION = 2048 * 512


def partition(work):
    """The partition's bytes in a file of their own."""
    image = os.path.join(work, "sample.img")
    with lzma.open(SAMPLE) as disk, open(image, "wb") as out:
        disk.seek(PARTITION)
        shutil.copyfileobj(disk, out, 1 << 20)
    with open(image, "rb") as f:
        if f.read(11)[3:] != b"NTFS    ":
            print(f"FAIL no NTFS boot sector at byte {PARTITION} of {SAMPLE}")
            sys.exit(1)
    return image


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    tavrin, walk_only = (os.path.abspath(a) for a in sys.argv[1:])
    if not os.path.exists(SAMPLE):
        table_runs.skip_run(f"{SAMPLE} is missing (apt-get install forensics-samples-ntfs)")
    table_runs.preconditions()
    verdict = table_runs.Verdict("sample volume")
    work = tempfile.mkdtemp(prefix="tavrin-sample-")
    point = os.path.join(work, "mnt")
    try:
        image = partition(work)
        table_runs.ntfs_mount(image, point, read_only=True)
        try:
            table = table_runs.run(tavrin, ["listall", point], work)
            walk = table_runs.run(walk_only, ["listall", point], work)
        finally:
            table_runs.ntfs_unmount(point)
        print("\n".join(table.how()))
        verdict.equal([f"Read from the file table: {point}"], [line.strip() for line in table.how()],
                      "the root read from the file table")
        verdict.equal((0, b"", walk.files), (table.code, table.console, table.files),
                      "listall from the file table against the walk: status, console, result files")
        records = table.result("allFiles.txt") or b""
        verdict.expect(len(table_runs.records_of(records)) > 0, "no records at all")
        if third_opinion.pyfsntfs is None:
            print(f"SKIP part: the records against pyfsntfs: {third_opinion.MISSING}")
        else:
            verdict.equal([], third_opinion.disagreements(image, records, os.fsencode(point), ()),
                          "the file table and pyfsntfs")
        print(f"{len(table_runs.records_of(records))} files")
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", work])
    print("passed" if verdict.failures == 0 else f"{verdict.failures} check(s) failed")
    return 1 if verdict.failures else 0


if __name__ == "__main__":
    sys.exit(main())
