#!/usr/bin/env python3
"""Builds tavrin-<version>-x64.msi from tavrin.exe with msitools (wixl, msibuild).

    build_msi.py EXE VERSION UNIX_TIME OUTPUT

wixl writes the package from tavrin.wxs. It has no element for an environment
variable or for permissions, and ignores a component's Permanent attribute, so
the rest is added to the database afterwards: the PATH entry (Environment.idt),
the tool folder's protected ACL (MsiLockPermissionsEx.idt, Windows Installer
5.0: Windows 7 and later), the tool folder's component marked permanent (kept
on uninstall), and the file's version (so its MsiFileHash row goes). Last, the summary gets a package code
derived from the contents and UNIX_TIME as its times, so equal inputs give
equal bytes; the cabinet's file time is the exe's modification time.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import uuid

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from msi_summary import set_summary  # noqa: E402

# Product and package codes are derived from this, the version and the exe.
NAMESPACE = uuid.UUID("A6FAF020-286B-4CC3-BEE0-5CA4B3CCDD6A")
PERMANENT_64BIT = 16 | 256  # msidbComponentAttributesPermanent | 64bit


def guid(text):
    return "{%s}" % str(uuid.uuid5(NAMESPACE, text)).upper()


def run(*argv, cwd=None):
    result = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        sys.exit(f"build_msi: {' '.join(argv)} failed:\n{result.stdout.decode(errors='replace')}")


def build(exe, version, unix_time, output):
    parts = version.split(".")
    if len(parts) != 3 or not all(p.isdigit() for p in parts):
        sys.exit(f"build_msi: the version {version!r} is not MAJOR.MINOR.PATCH")
    with open(exe, "rb") as f:
        exe_hash = hashlib.sha256(f.read()).hexdigest()
    work = tempfile.mkdtemp(prefix="tavrin-msi-")
    try:
        shutil.copyfile(exe, os.path.join(work, "tavrin.exe"))
        os.utime(os.path.join(work, "tavrin.exe"), (unix_time, unix_time))
        msi = os.path.join(work, "tavrin.msi")
        # wixl takes a file's source relative to the current folder.
        run("wixl", "--arch", "x64", "-D", f"Version={version}", "-D", f"ProductCode={guid('product ' + version)}",
            "-o", msi, os.path.join(HERE, "tavrin.wxs"), cwd=work)
        for table in ("Environment.idt", "MsiLockPermissionsEx.idt"):
            run("msibuild", msi, "-i", os.path.join(HERE, table))
        # A file with a version has no MsiFileHash row (the table is for
        # unversioned files only); wixl writes one for every file.
        run("msibuild", msi,
            "-q", f"UPDATE `Component` SET `Attributes` = {PERMANENT_64BIT} WHERE `Component` = 'ToolFolder'",
            "-q", f"UPDATE `File` SET `Version` = '{version}.0', `Language` = '1033' WHERE `File` = 'tavrin.exe'",
            "-q", "DELETE FROM `MsiFileHash` WHERE `File_` = 'tavrin.exe'")
        with open(msi, "rb") as f:
            data = bytearray(f.read())
        set_summary(data, guid(f"package {version} {exe_hash}"), unix_time)
        with open(output, "wb") as f:
            f.write(data)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    if len(argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    build(argv[1], argv[2], int(argv[3]), argv[4])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
