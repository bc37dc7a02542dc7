#!/usr/bin/env python3
"""A fresh Debian 12 root, made once per machine with debootstrap and kept as
a tarball in /var/cache/tavrin-tests, for the suites that install the .deb as
a new user would (the release suite) and deploy it with Ansible (the fleet suite).

    debian_root.py DEST    unpacks a fresh root into DEST (making the tarball first
                           if there is none); exits 77 with the reason when it cannot

The root is debootstrap's minbase variant of bookworm plus python3-apt, which
Ansible's apt module needs on a host. Making it downloads about 50 MB and takes
one to three minutes; unpacking it takes a few seconds.
"""

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time

CACHE = "/var/cache/tavrin-tests"
# Changes with what the root holds, so an older tarball is never taken.
TARBALL = os.path.join(CACHE, "debian12-minbase-python3-apt-1.tar.gz")
MIRROR = os.environ.get("TAVRIN_DEBIAN_MIRROR", "http://deb.debian.org/debian")
SKIP = 77


class Unavailable(Exception):
    """No root can be made on this machine; the message says why and how to fix it."""


def _make_tarball():
    if os.geteuid() != 0:
        raise Unavailable("making a Debian root needs root (debootstrap)")
    if shutil.which("debootstrap") is None:
        raise Unavailable("debootstrap is not installed (bash scripts/test.sh installs it as root)")
    os.makedirs(CACHE, exist_ok=True)
    work = tempfile.mkdtemp(prefix="debootstrap-", dir=CACHE)
    started = time.monotonic()
    try:
        root = os.path.join(work, "root")
        made = subprocess.run(
            ["debootstrap", "--variant=minbase", "--include=python3-apt", "bookworm", root, MIRROR],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if made.returncode != 0:
            last = made.stdout.decode(errors="replace").strip().splitlines()[-1:] or ["no output"]
            raise Unavailable(f"debootstrap could not make a bookworm root from {MIRROR} "
                              f"(no network? set TAVRIN_DEBIAN_MIRROR): {last[0][:160]}")
        # What a fresh install has: an empty package cache, no logs of the making.
        subprocess.run(["chroot", root, "apt-get", "clean"], check=False)
        partial = TARBALL + ".partial"
        subprocess.run(["tar", "--numeric-owner", "-C", root, "-czf", partial, "."], check=True)
        os.rename(partial, TARBALL)
        print(f"made {TARBALL} in {time.monotonic() - started:.0f} s "
              f"({os.path.getsize(TARBALL) >> 20} MiB)")
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", work])


def fresh_root(dest):
    """Unpacks a fresh Debian 12 root into dest (an empty or missing folder)."""
    if os.geteuid() == 0:
        os.makedirs(CACHE, exist_ok=True)
    if not os.path.isfile(TARBALL):
        if not os.path.isdir(CACHE):
            raise Unavailable(f"{CACHE} does not exist and cannot be made (run as root)")
        with open(os.path.join(CACHE, "debian12-root.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)  # another suite may be making it
            if not os.path.isfile(TARBALL):
                _make_tarball()
    os.makedirs(dest, exist_ok=True)
    subprocess.run(["tar", "--numeric-owner", "-C", dest, "-xzf", TARBALL], check=True)


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    try:
        fresh_root(argv[1])
    except Unavailable as reason:
        print(f"SKIP: {reason}")
        return SKIP
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
