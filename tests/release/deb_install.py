#!/usr/bin/env python3
"""The .deb on a fresh Debian 12 root, as a new user installs it: apt installs
it, `tavrin list` on an ntfs-3g volume writes its result file with no other
step, remove keeps the tool folder and its files, purge deletes the folder
only when it is empty.

Usage: deb_install.py DEB WORK_DIR
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
from debian_root import Unavailable, fresh_root  # noqa: E402
from run_ntfs_tests import Failures, preconditions, set_word, skip, stop_on_signals, verdict  # noqa: E402

TOOL = "/var/lib/Norvane/Wickline"


class Root:
    def __init__(self, deb, work):
        self.deb = deb
        self.work = work
        self.root = os.path.join(work, "root")
        self.image = os.path.join(work, "win.img")
        self.mnt = os.path.join(work, "mnt")
        self.f = Failures()

    def make(self):
        subprocess.run(["rm", "-rf", "--one-file-system", self.work])
        os.makedirs(self.mnt)
        fresh_root(self.root)
        shutil.copyfile(self.deb, os.path.join(self.root, "tmp", os.path.basename(self.deb)))
        os.makedirs(os.path.join(self.root, "mnt", "win"))
        with open(self.image, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", "WIN", self.image], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        mounted = subprocess.run(["ntfs-3g", self.image, self.mnt], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if mounted.returncode != 0:
            skip(f"ntfs-3g mount refused: {mounted.stdout.decode(errors='replace').strip()[:200]}")
        for name, value in [("Users/ana/invoice.pdf.exe", 0x3127), ("Users/ana/report.docx", 0x20)]:
            path = os.path.join(self.mnt, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"x")
            set_word(path, value)

    def cleanup(self):
        if os.path.ismount(self.mnt):
            if subprocess.run(["fusermount", "-u", self.mnt], stderr=subprocess.DEVNULL).returncode:
                subprocess.run(["umount", "-l", self.mnt], stderr=subprocess.DEVNULL)
        if not os.path.ismount(self.mnt):  # never delete through a mount
            subprocess.run(["rm", "-rf", "--one-file-system", self.work])

    def chroot(self, *argv):
        """argv inside the root, in a private mount namespace with /proc and the volume on /mnt/win."""
        script = ('mount --bind "$1" "$2/mnt/win" && mount -t proc proc "$2/proc" || exit 90; '
                  'root=$2; shift 2; exec chroot "$root" "$@"')
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C", "DEBIAN_FRONTEND": "noninteractive"}
        return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                               self.mnt, self.root, *argv], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def apt(self, *argv):
        done = self.chroot("apt-get", "-y", "-q", "--no-install-recommends", *argv)
        self.f.equal(0, done.returncode, f"apt-get {' '.join(argv)}: {done.stderr.decode(errors='replace')[-800:]}")
        return done

    def path(self, inside):
        return os.path.join(self.root, inside.lstrip("/"))

    def tool_state(self):
        """None when the tool folder is missing, else (mode, uid, gid, sorted names)."""
        folder = self.path(TOOL)
        if not os.path.isdir(folder):
            return None
        st = os.stat(folder)
        return (oct(st.st_mode & 0o7777), st.st_uid, st.st_gid, sorted(os.listdir(folder)))

    def run_all(self):
        f = self.f
        deb = "/tmp/" + os.path.basename(self.deb)

        f.section = "install"
        f.equal(None, self.tool_state(), "tool folder before the install")
        self.apt("install", deb)
        f.equal(("0o750", 0, 0, []), self.tool_state(), "tool folder after the install (mode, owner, group, files)")
        f.equal(("0o755", 0, 0), self.tool_state_of("/var/lib/Norvane"), "/var/lib/Norvane")

        f.section = "list"
        run = self.chroot("tavrin", "list", "/mnt/win")
        f.equal((0, b"", b""), (run.returncode, run.stdout, run.stderr), "tavrin list /mnt/win (status, stdout, stderr)")
        names = (self.tool_state() or (0, 0, 0, []))[3]
        f.expect(len(names) == 1 and re.fullmatch(r"-?[0-9]+badFiles\.txt", names[0]), f"result files: {names}")
        if names:
            with open(os.path.join(self.path(TOOL), names[0]), "rb") as result:
                f.equal(b"\n12583, /mnt/win/Users/ana/invoice.pdf.exe", result.read(), "the result file")

        f.section = "remove, reinstall, purge"
        self.apt("remove", "tavrin")
        f.expect(not os.path.exists(self.path("/usr/bin/tavrin")), "remove left /usr/bin/tavrin")
        f.equal(("0o750", 0, 0, names), self.tool_state(), "tool folder after remove")
        os.chmod(self.path(TOOL), 0o700)  # the administrator's choice, kept by a new install
        self.apt("install", deb)
        f.equal(("0o700", 0, 0, names), self.tool_state(), "tool folder after a new install")
        purge = self.apt("purge", "tavrin")
        f.equal(("0o700", 0, 0, names), self.tool_state(), "tool folder with a result file after purge")
        f.expect(b"tavrin: /var/lib/Norvane/Wickline holds result files: left in place" in purge.stderr,
                 f"purge does not say why the folder stays: {purge.stderr[-400:]!r}")
        for name in names:
            os.unlink(os.path.join(self.path(TOOL), name))
        self.apt("install", deb)
        self.apt("purge", "tavrin")
        f.equal(None, self.tool_state(), "tool folder after purge, empty")
        f.expect(not os.path.exists(self.path("/var/lib/Norvane")), "purge left /var/lib/Norvane")

    def tool_state_of(self, inside):
        st = os.stat(self.path(inside))
        return (oct(st.st_mode & 0o7777), st.st_uid, st.st_gid)


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    preconditions()  # root, ntfs-3g, FUSE, a private mount namespace
    stop_on_signals()
    root = Root(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    try:
        try:
            root.make()
        except Unavailable as reason:
            skip(str(reason))
        root.run_all()
    finally:
        root.cleanup()
    return verdict(root.f)


if __name__ == "__main__":
    sys.exit(main())
