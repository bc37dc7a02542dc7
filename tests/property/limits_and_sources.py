#!/usr/bin/python3
"""Runs read from the file table where the machine or the mount is not what
the reader hopes: each must end with the walk's exit status and records.

    limits_and_sources.py CASE TAVRIN TAVRIN_WALK_ONLY

CASE is one of:
  memory_limit     60,000 files under the least memory limit (ulimit -v, in
                   8 MiB steps from 16 MiB) in which the walk lists them all
  fifo_source      the image a root mount was made from, in a user's folder,
                   replaced by a FIFO: the run must not wait in its open (a
                   run found waiting there is let go, and fails)
  symlink_source   that image replaced by a link to a root-only image with
                   the same root names: none of its names may be recorded
Exit 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import stat
import subprocess
import sys
import tempfile
import threading

import table_runs

BULK_FILES = 60000
USER = 1000
SECRET = "SECRET_NAME_payroll"


def limited(program, kib):
    """`program` under a memory limit, as table_runs.run's program and its
    leading arguments."""
    return "sh", ["-c", f'ulimit -v {kib} && exec "$0" "$@"', program]


def memory_limit(tavrin, walk_only, work, verdict):
    image, mnt = os.path.join(work, "bulk.img"), os.path.join(work, "mnt")
    table_runs.mkntfs(image, 256 << 20, "B")
    table_runs.ntfs_mount(image, mnt)
    try:
        os.mkdir(os.path.join(mnt, "b"))
        folder = os.open(os.path.join(mnt, "b"), os.O_DIRECTORY)
        for i in range(BULK_FILES):
            os.mknod(f"f{i:05d}", stat.S_IFREG | 0o644, dir_fd=folder)
        os.close(folder)
        table_runs.ntfs_unmount(mnt)
        table_runs.ntfs_mount(image, mnt, read_only=True)
        root = os.path.join(mnt, "b")
        for kib in range(16 << 10, 256 << 10, 8 << 10):
            shell, head = limited(walk_only, kib)
            walk = table_runs.run(shell, head + ["listall", root], work)
            if walk.code == 0 and len(table_runs.records_of(walk.result("allFiles.txt"))) == BULK_FILES:
                break
        else:
            verdict.expect(False, "the walk never listed the volume under 256 MiB")
            return
        shell, head = limited(tavrin, kib)
        table = table_runs.run(shell, head + ["listall", root], work)
        print(f"ulimit -v {kib}: " + "; ".join(table.how()))
        verdict.equal([], table_runs.run_differences(walk, table),
                      f"listall from the file table under ulimit -v {kib}, against the walk")
    finally:
        table_runs.ntfs_unmount(mnt)


def make_image(path, secret):
    """A volume with the root names a and d; d holds a secret name or not."""
    mnt = path + ".mnt"
    table_runs.mkntfs(path, 16 << 20, "S")
    table_runs.ntfs_mount(path, mnt)
    try:
        with open(os.path.join(mnt, "a"), "wb") as f:
            f.write(b"xx")
        os.mkdir(os.path.join(mnt, "d"))
        with open(os.path.join(mnt, "d", SECRET if secret else "plain"), "wb") as f:
            f.write(b"xx")
    finally:
        table_runs.ntfs_unmount(mnt)
        os.rmdir(mnt)


def waits_on_fifo(pid):
    """True when the process sleeps in an open of a FIFO, for a writer."""
    try:
        with open(f"/proc/{pid}/wchan") as f:
            return f.read().strip() in ("wait_for_partner", "fifo_open")
    except OSError:
        return False


def finished(program, args, work, fifo):
    """Runs to its end: (Run, whether it waited in an open of `fifo`).
    Such a run is let go by a writer that opens the FIFO and closes it."""
    process, varlib = table_runs.start(program, args, work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    outcome = {}
    reader = threading.Thread(target=lambda: outcome.update(zip(("console", "errors"), process.communicate())))
    reader.start()
    waited = False
    while reader.is_alive():
        if fifo and waits_on_fifo(process.pid):
            waited = True
            try:
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass
        reader.join(0.05)
    return table_runs.Run(process.returncode, outcome["console"], outcome["errors"], table_runs.collect(varlib)), waited


def replaced_source(tavrin, walk_only, work, verdict, how):
    """Root mounts the user's image, then the user replaces it."""
    home = os.path.join(work, "home")
    os.mkdir(home)
    os.chown(home, USER, USER)
    image, mnt = os.path.join(home, "vol.img"), os.path.join(work, "mnt")
    make_image(image, secret=False)
    os.chown(image, USER, USER)
    vault = os.path.join(work, "vault")
    os.mkdir(vault, 0o700)
    secret = os.path.join(vault, "secret.img")
    make_image(secret, secret=True)
    os.chmod(secret, 0o600)
    table_runs.ntfs_mount(image, mnt, read_only=True)
    try:
        os.rename(image, image + ".old")  # the mount keeps the image it opened
        if how == "fifo":
            os.mkfifo(image)
        else:
            os.symlink(secret, image)
        os.lchown(image, USER, USER)
        fifo = image if how == "fifo" else None
        runs = {name: finished(program, ["listall", mnt], work, fifo)
                for name, program in [("file table", tavrin), ("walk", walk_only)]}
    finally:
        table_runs.ntfs_unmount(mnt)
    for name, (_, waited) in runs.items():
        verdict.expect(not waited, f"{name}: listall waited in an open of the FIFO (let go by a writer)")
    table, walk = runs["file table"][0], runs["walk"][0]
    verdict.equal([], table_runs.run_differences(walk, table), f"listall with the source a {how}, against the walk")
    verdict.expect(SECRET.encode() not in (table.result("allFiles.txt") or b""),
                   f"a name of the root-only image recorded: {table.result('allFiles.txt')!r}")


CASES = {"memory_limit": memory_limit,
         "fifo_source": lambda *a: replaced_source(*a, how="fifo"),
         "symlink_source": lambda *a: replaced_source(*a, how="link")}


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in CASES:
        print(__doc__)
        return 2
    case = sys.argv[1]
    tavrin, walk_only = (os.path.abspath(a) for a in sys.argv[2:])
    table_runs.preconditions()
    verdict = table_runs.Verdict(case)
    work = tempfile.mkdtemp(prefix="tavrin-limits-")
    os.chmod(work, 0o755)  # the user's folder inside is theirs to reach
    try:
        CASES[case](tavrin, walk_only, work, verdict)
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", work])
    print("passed" if verdict.failures == 0 else f"{verdict.failures} check(s) failed")
    return 1 if verdict.failures else 0


if __name__ == "__main__":
    sys.exit(main())
