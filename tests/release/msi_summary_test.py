#!/usr/bin/env python3
"""packaging/msi/msi_summary.py on a real installer and on damaged copies of it.

- The package code and times it writes are what msitools reads back, and the
  rest of the file is unchanged but for those bytes.
- A package code of another length, a truncated file and any file with bytes
  changed at random (a fixed seed) end in FormatError or a good write, never
  in another exception.

Usage: msi_summary_test.py MSI
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "packaging", "msi"))
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
from msi_summary import FormatError, set_summary  # noqa: E402
from run_ntfs_tests import Failures, skip, verdict  # noqa: E402

CODE = "{01234567-89AB-CDEF-0123-456789ABCDEF}"
WHEN = 1234567890  # 2009-02-13 23:31:30 UTC


def looping_difat(original):
    """The header claims 2**32-1 DIFAT sectors, the first of which names itself as the next."""
    data = bytearray(original)
    data[0x44:0x48] = (1).to_bytes(4, "little")
    data[0x48:0x4C] = (0xFFFFFFFF).to_bytes(4, "little")
    size = 1 << int.from_bytes(data[0x1E:0x20], "little")
    data[3 * size - 4:3 * size] = (1).to_bytes(4, "little")  # sector 1 ends at 3 * size
    return data


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not os.path.isfile(sys.argv[1]):
        skip("no installer: the case release.reproducible did not build it")
    if shutil.which("msiinfo") is None:
        skip("msiinfo is not installed (bash scripts/test.sh installs it as root)")
    with open(sys.argv[1], "rb") as m:
        original = m.read()
    f = Failures()

    f.section = "written"
    data = bytearray(original)
    set_summary(data, CODE, WHEN)
    f.expect(len(data) == len(original), "the size changed")
    changed = sum(a != b for a, b in zip(data, original))
    f.expect(0 < changed <= 38 + 16, f"{changed} bytes changed, more than a code and two times")
    with tempfile.NamedTemporaryFile(suffix=".msi") as out:
        out.write(data)
        out.flush()
        info = subprocess.run(["msiinfo", "suminfo", out.name], stdout=subprocess.PIPE,
                              env=dict(os.environ, TZ="UTC", LC_ALL="C")).stdout.decode()
        stamp = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(WHEN))
        for line in [f"Revision number (UUID): {CODE}", f"Created: {stamp}", f"Last saved: {stamp}"]:
            f.expect(line in info.splitlines(), f"msiinfo does not read {line!r}:\n{info}")
        tables = subprocess.run(["msiinfo", "tables", out.name], stdout=subprocess.PIPE).stdout.split()
        f.expect(b"File" in tables, "the database no longer opens")

    f.section = "refused"
    for what, buffer, code in [("a longer code", bytearray(original), CODE + "0"),
                               ("a truncated file", bytearray(original[:len(original) // 3]), CODE),
                               ("no compound file", bytearray(b"\0" * 4096), CODE),
                               ("a DIFAT chain that loops", looping_difat(original), CODE)]:
        try:
            set_summary(buffer, code, WHEN)
            f.expect(False, f"{what}: no FormatError")
        except FormatError:
            pass

    f.section = "damaged"
    rng = random.Random(20)
    others = []
    for _ in range(400):
        damaged = bytearray(original)
        for _ in range(rng.randint(1, 8)):
            # Mostly the header and directory, where a bad number leads astray.
            at = rng.randrange(512) if rng.random() < 0.5 else rng.randrange(len(damaged))
            damaged[at] = rng.randrange(256)
        try:
            set_summary(damaged, CODE, WHEN)
        except FormatError:
            pass
        except Exception as error:  # noqa: BLE001 - any other is the fault looked for
            others.append(repr(error))
    f.equal([], others[:5], "exceptions other than FormatError on damaged files")
    return verdict(f)


if __name__ == "__main__":
    sys.exit(main())
