#!/usr/bin/env python3
"""End-to-end runs of the Linux tavrin where data could be lost or misdirected:
a stop signal mid-run, a non-blocking or closed stdout, mount points inside a
tree, a folder swapped for a link mid-run, a full disk, and a FUSE mount whose
daemon never answers.

Works like run_ntfs_tests.py (same volume and tree, every run in a private
mount namespace with its own /var/lib), plus a second NTFS volume and a
volume of 60,000 files in one folder. Making that one takes long on ntfs-3g,
so its image is kept in CACHE-DIR and reused by later runs.

Usage: run_safety_tests.py PATH-TO-TAVRIN CACHE-DIR
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # importing the other suite leaves nothing in the source tree
from run_ntfs_tests import (TOOL_FOLDER, Suite, make_volume, preconditions, records, set_word, skip,
                            stop_on_signals, verdict, word)

BULK_FILES = 60000
SUSPECTS = 50
SWAP_FILES = 2000
LONG_FILES = 3000
PIPE_FILES = 20000
READ_ONLY_FILES = 400
BULK_IMAGE = "bulk-60000.img"

# Runs inside the private namespace: /var/lib replaced, then the case's own
# set-up (more mounts), then the program.
NAMESPACE = 'mount --rbind "$1" /var/lib || exit 90; eval "$2" || exit 92; shift 2; exec "$@"'

# Mounts a FUSE file system whose daemon never answers on argv[1], with the
# source argv[2], then runs argv[3:] holding the only descriptor of its
# connection: every call into the mount waits for good, until the program ends.
UNANSWERED_FUSE = """
import ctypes, os, sys
fd = os.open("/dev/fuse", os.O_RDWR)
os.set_inheritable(fd, True)
libc = ctypes.CDLL(None, use_errno=True)
options = b"fd=%d,rootmode=40000,user_id=0,group_id=0" % fd
if libc.mount(sys.argv[2].encode(), sys.argv[1].encode(), b"fuse", 0, options) != 0:
    sys.exit("fuse mount: " + os.strerror(ctypes.get_errno()))
os.execvp(sys.argv[3], sys.argv[3:])
"""


def decode_mount_field(field):
    return re.sub(r"\\([0-3][0-7][0-7])", lambda m: chr(int(m.group(1), 8)), field)


class SafetySuite(Suite):
    def __init__(self, tavrin, cache):
        super().__init__(tavrin)
        self.cache = cache
        self.image2 = os.path.join(self.work, "second.img")
        self.mnt2 = os.path.join(self.work, "mnt2")
        self.bulk = os.path.join(self.work, "bulk")
        self.mounted_here = []  # extra mount points, unmounted at the end

    # --- volumes ----------------------------------------------------------
    def ntfs_mount(self, image, point, read_only=False):
        options = ["-o", "ro"] if read_only else []
        subprocess.run(["ntfs-3g", *options, image, point], check=True)
        self.mounted_here.append(point)

    def ntfs_unmount(self, point):
        if subprocess.run(["fusermount", "-u", point], stderr=subprocess.DEVNULL).returncode:
            subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
        self.mounted_here.remove(point)

    def cleanup(self):
        for point in list(self.mounted_here):
            self.ntfs_unmount(point)
        super().cleanup()

    def make_second_volume(self):
        """mnt2: a/ with the suspect files, v/x for the swap."""
        with open(self.image2, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", "S", self.image2], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.mkdir(self.mnt2)
        self.ntfs_mount(self.image2, self.mnt2)
        os.mkdir(self.q("a"))
        for i in range(SUSPECTS):
            make_file(self.q("a", f"s{i:02d}"), 0x3127)

    def bulk_image(self):
        """The cached image of b/ with BULK_FILES empty files, made once."""
        image = os.path.join(self.cache, BULK_IMAGE)
        if os.path.exists(image):
            return image
        os.makedirs(self.cache, exist_ok=True)
        partial = image + ".partial"
        with open(partial, "wb") as f:
            f.truncate(256 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", "B", partial], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.mkdir(self.bulk)
        print(f"making {BULK_FILES} files on ntfs-3g once, kept in {image} ...", flush=True)
        self.ntfs_mount(partial, self.bulk)
        try:
            os.mkdir(os.path.join(self.bulk, "b"))
            folder = os.open(os.path.join(self.bulk, "b"), os.O_DIRECTORY)
            for i in range(BULK_FILES):
                os.mknod(f"f{i:05d}", stat.S_IFREG | 0o644, dir_fd=folder)
            os.close(folder)
        finally:
            self.ntfs_unmount(self.bulk)
        os.rename(partial, image)
        return image

    def q(self, *parts):
        return os.path.join(self.mnt2, *parts)

    def a_records(self):
        """The suspect files of a/, in the order the volume lists them."""
        return records(*[(12583, self.q("a", name)) for name in os.listdir(self.q("a"))])

    def other_ntfs_mounts(self):
        """Shell lines that hide, inside the run's namespace, every NTFS or
        FUSE mount but this suite's: the no-path form then sees only ours."""
        points = []
        with open("/proc/self/mountinfo") as f:
            for line in f:
                fields = line.split()
                fs_type = fields[fields.index("-") + 1]
                point = decode_mount_field(fields[4])
                if (fs_type.startswith("fuse") or fs_type.startswith("ntfs")) and \
                        not point.startswith(self.work + "/"):
                    points.append(point)
        return "".join(f"umount -l {shlex.quote(p)} 2>/dev/null; " for p in reversed(points))

    # --- runs -------------------------------------------------------------
    def start(self, *args, tool_folder=True, setup="", wrap=(), fds=None, varlib=None, **popen):
        """Starts tavrin in its namespace, with a fresh /var/lib unless
        `varlib` is given; `fds` is shell redirections for it."""
        if varlib is None:
            self.runs += 1
            varlib = os.path.join(self.work, f"varlib{self.runs}")
            os.mkdir(varlib)
            if tool_folder:
                os.makedirs(os.path.join(varlib, TOOL_FOLDER))
        script = NAMESPACE if not fds else NAMESPACE + " " + fds
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                   varlib, setup, *wrap, self.tavrin, *[os.fsencode(a) for a in args]]
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        # A stop signal must reach tavrin as the user's would, whatever the
        # suite itself inherited (a background job ignores SIGINT).
        process = subprocess.Popen(command, preexec_fn=default_signals, **popen)
        return process, varlib

    def files_of(self, varlib):
        folder = os.path.join(varlib, TOOL_FOLDER)
        files = {}
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), "rb") as f:
                    files[name] = f.read()
        return files

    def finish(self, process, varlib, what, timeout=120, status=0, errors=b""):
        """Waits for the run; its stdout bytes, its result files. `errors` is
        what standard error must hold: the bytes, or a pattern for the whole."""
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            stdout, stderr = process.communicate()
            self.f.expect(False, f"{what}: still running after {timeout} s")
        else:
            self.f.equal(status, process.returncode, f"exit status of {what}")
        if isinstance(errors, bytes):
            self.f.equal(errors, stderr or b"", f"stderr of {what}")
        else:
            self.f.expect(errors.fullmatch(stderr or b""), f"stderr of {what}: {stderr!r}")
        return stdout, self.files_of(varlib)

    def only_file(self, files, suffix, what):
        pattern = re.compile(r"-?[0-9]+" + re.escape(suffix))
        names = [n for n in files if pattern.fullmatch(n)]
        self.f.expect(len(files) == 1 and len(names) == 1, f"{what}: result files {list(files)}")
        return files[names[0]] if names else None

    # --- 1. stop signals --------------------------------------------------
    def case_stop_signals(self):
        self.f.section = "stop signals"
        image = self.bulk_image()
        os.makedirs(self.bulk, exist_ok=True)
        self.ntfs_mount(image, self.bulk, read_only=True)
        b = os.path.join(self.bulk, "b")
        no_folder = re.compile(rb"Could not open file to write results /var/lib/Norvane/Wickline/"
                               rb"-?[0-9]+badFiles\.txt")
        try:
            # 0.5 s in, before the first timed write: the stop itself writes.
            for signum, delay, tool_folder in [
                    (signal.SIGINT, 1.5, True), (signal.SIGTERM, 1.5, True), (signal.SIGTERM, 0.5, True),
                    (signal.SIGINT, 1.5, False), (signal.SIGHUP, 1.5, False)]:
                what = f"list a b, {signum.name} {delay} s in" + ("" if tool_folder else ", no tool folder")
                with open(os.path.join(self.work, "stdout"), "w+b") as out:
                    process, varlib = self.start("list", self.q("a"), b, tool_folder=tool_folder,
                                                 stdout=out)
                    time.sleep(delay)
                    sent = time.monotonic()
                    process.send_signal(signum)
                    no_file = re.compile(rb"tavrin: could not create the result file .*\n")
                    _, files = self.finish(process, varlib, what, status=-signum,
                                           errors=b"" if tool_folder else no_file)
                    ended = time.monotonic() - sent
                    out.seek(0)
                    stdout = out.read()
                self.f.expect(ended < 2.0, f"{what}: ended {ended:.2f} s after the signal")
                if tool_folder:
                    self.f.equal(self.a_records(), self.only_file(files, "badFiles.txt", what),
                                 f"badFiles of {what}")
                    self.f.equal(b"", stdout, f"console of {what}")
                else:
                    match = no_folder.match(stdout)
                    self.f.expect(match is not None, f"{what}: console starts {stdout[:120]!r}")
                    self.f.equal(self.a_records(), stdout[match.end():] if match else b"",
                                 f"records on the console of {what}")
        finally:
            self.ntfs_unmount(self.bulk)

    # --- 2. non-blocking stdout -------------------------------------------
    def case_nonblocking_stdout(self):
        self.f.section = "non-blocking stdout"
        folder = os.path.join(self.work, "many")
        os.mkdir(folder)
        for i in range(PIPE_FILES):
            os.close(os.open(os.path.join(folder, f"file{i:05d}"), os.O_CREAT | os.O_WRONLY, 0o644))
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)  # as a parent may leave it
        process, varlib = self.start("listall", folder, tool_folder=False, stdout=write_end)
        os.close(write_end)
        chunks = []
        while chunk := os.read(read_end, 4096):  # a reader a little slower than tavrin
            chunks.append(chunk)
            time.sleep(0.0005)
        os.close(read_end)
        # The folder is on the test's own file system, not NTFS, and there is
        # no tool folder: both said on standard error.
        self.finish(process, varlib, "listall to a non-blocking pipe", status=2,
                    errors=re.compile(rb"tavrin: could not create the result file .*\n"
                                      rb"tavrin: .* is not on an NTFS volume; is the disk mounted\?\n"))
        stdout = b"".join(chunks)
        lines = stdout.split(b"\n")
        self.f.expect(re.fullmatch(rb"Could not open file to write results /var/lib/Norvane/"
                                   rb"Wickline/-?[0-9]+allFiles\.txt", lines[0]),
                      f"first console line {lines[0]!r}")
        expected = sorted(b"32, %s/file%05d" % (os.fsencode(folder), i) for i in range(PIPE_FILES))
        got = sorted(lines[1:])
        self.f.expect(expected == got, f"{len(got)} records of {PIPE_FILES} reached the pipe")

    # --- 3. closed standard descriptors -----------------------------------
    def case_closed_stdout(self):
        # More console text than one buffer's worth, so some goes out mid-run
        # while the result file is open.
        self.f.section = "closed stdout"
        ro = self.q("ro")
        os.mkdir(ro)
        for i in range(READ_ONLY_FILES):
            make_file(os.path.join(ro, f"{i:03d}_" + "n" * 200), 0x3127)
        failed = records(*[(12583, os.path.join(ro, name)) for name in os.listdir(ro)])
        self.ntfs_unmount(self.mnt2)
        self.ntfs_mount(self.image2, self.mnt2, read_only=True)
        try:
            for fds in [">&-", "<&- >&- 2>&-"]:
                what = f"repair of a read-only volume, {fds}"
                process, varlib = self.start("repair", ro, fds=fds)
                stdout, files = self.finish(process, varlib, what, status=1)
                self.f.equal(failed, self.only_file(files, "couldNotFix.txt", what),
                             f"couldNotFix of {what}")
        finally:
            self.ntfs_unmount(self.mnt2)
            self.ntfs_mount(self.image2, self.mnt2)
            shutil.rmtree(ro)

    # --- 4. mount points inside a tree ------------------------------------
    def case_mount_points(self):
        self.f.section = "mount points"
        for name in ["inner", "selfbind", "tm", "hang"]:
            os.mkdir(self.p(name))
        m = shlex.quote(self.mnt)
        hide = self.other_ntfs_mounts()
        # The second volume inside the first: each once, under its own root.
        process, varlib = self.start("list", setup=hide + f"mount --bind {shlex.quote(self.mnt2)} {m}/inner")
        _, files = self.finish(process, varlib, "list with a volume mounted inside another")
        self.f.equal(self.suspects(self.mnt) + self.a_records(),
                     self.only_file(files, "badFiles.txt", "list"),
                     "badFiles of the no-path form with a volume inside another")
        # The volume bound onto a folder of itself, a tmpfs and a FUSE mount
        # that never answers inside it: none entered, the last not even asked.
        setup = (f"mount --bind {m} {m}/selfbind && mount -t tmpfs none {m}/tm && "
                 f"echo x > {m}/tm/f")
        process, varlib = self.start("listall", self.mnt, setup=setup,
                                     wrap=["python3", "-c", UNANSWERED_FUSE, self.p("hang"),
                                           self.p("hang", "img")])
        _, files = self.finish(process, varlib, "listall over mount points", timeout=30)
        self.f.equal(self.everything(self.mnt), self.only_file(files, "allFiles.txt", "listall"),
                     "allFiles of a tree with mount points in it")
        # A mount point named as the root is walked.
        process, varlib = self.start("listall", self.p("tm"), setup=setup)
        _, files = self.finish(process, varlib, "listall of a mount point", status=2,
                               errors=b"tavrin: %s is not on an NTFS volume; is the disk mounted?\n"
                               % os.fsencode(self.p("tm")))
        self.f.equal(records((32, self.p("tm", "f"))), self.only_file(files, "allFiles.txt", "tm"),
                     "allFiles of a mount point named as the root")

    # --- 7. a FUSE mount that never answers ------------------------------
    def case_unanswered_fuse(self):
        self.f.section = "unanswered FUSE"
        hang = os.path.join(self.work, "hang")
        os.mkdir(hang)
        what = "list beside a FUSE mount that never answers"
        process, varlib = self.start("list", setup=self.other_ntfs_mounts(),
                                     wrap=["python3", "-c", UNANSWERED_FUSE, hang, "x"])
        _, files = self.finish(process, varlib, what, timeout=30)
        self.f.equal(self.suspects(self.mnt) + self.a_records(),
                     self.only_file(files, "badFiles.txt", what), f"badFiles of {what}")

    # --- 5. a folder swapped for a link mid-run ---------------------------
    def case_swapped_folder(self):
        self.f.section = "swapped folder"
        x = self.q("v", "x")
        os.makedirs(x)
        folder = os.open(x, os.O_DIRECTORY)
        for i in range(SWAP_FILES):
            os.mknod(f"f{i:05d}", stat.S_IFREG | 0o644, dir_fd=folder)
        os.close(folder)
        make_file(os.path.join(x, "zbad"), 0x3127)
        os.mkdir(self.p("other"))
        make_file(self.p("other", "zbad"), 0x3127)
        process, varlib = self.start("repair", self.q("v"))
        swapped = False
        # Caught between two files of x (its folder open), x becomes a link
        # to a folder of the other volume before the walk reaches zbad.
        while not swapped and process.poll() is None:
            process.send_signal(signal.SIGSTOP)
            wait_stopped(process.pid)
            if x in open_folders(process.pid):
                os.rename(x, x + ".old")
                os.symlink(self.p("other"), x)
                swapped = True
            process.send_signal(signal.SIGCONT)
            time.sleep(0.001)
        self.f.expect(swapped, "the run ended before x could be swapped")
        stdout, files = self.finish(process, varlib, "repair while x is swapped")
        self.f.equal(b"", self.only_file(files, "couldNotFix.txt", "repair"), "couldNotFix")
        self.f.equal(b"", stdout, "console of the repair")
        self.f.equal(0x3127, word(self.p("other", "zbad")), "word of the other volume's zbad")
        self.f.equal(0x80, word(os.path.join(x + ".old", "zbad")), "word of the tree's zbad")

    # --- 6. full disk -----------------------------------------------------
    def case_full_disk(self):
        self.f.section = "full disk"
        folder = os.path.join(self.work, "long")
        os.mkdir(folder)
        stem = "file_with_a_rather_long_name_" + "x" * 150
        paths = [os.path.join(folder, f"{stem}{i:04d}") for i in range(LONG_FILES)]
        for path in paths:
            os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))
        self.runs += 1
        varlib = os.path.join(self.work, f"full{self.runs}")
        tool = os.path.join(varlib, TOOL_FOLDER)
        os.makedirs(tool)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "none", tool], check=True)
        try:
            process, _ = self.start("listall", folder, varlib=varlib)
            stdout, files = self.finish(
                process, varlib, "listall onto a full disk", status=2,
                errors=re.compile(rb"tavrin: .* is not on an NTFS volume; is the disk mounted\?\n"
                                  rb"tavrin: could not write to the result file /var/lib/Norvane/Wickline/"
                                  rb"-?[0-9]+allFiles\.txt: no space left on the disk; the records follow "
                                  rb"on standard output\n"))
        finally:
            subprocess.run(["umount", "-l", tool])
        content = self.only_file(files, "allFiles.txt", "full disk") or b""
        match = re.match(rb"\nCould not write to the result file /var/lib/Norvane/Wickline/"
                         rb"-?[0-9]+allFiles\.txt, the records follow here", stdout)
        self.f.expect(match is not None, f"console starts {stdout[:150]!r}")
        in_file = content.split(b"\n")
        on_console = stdout[match.end():].split(b"\n") if match else [b""]
        self.f.expect(in_file[0] == b"" and on_console[0] == b"", "records start with a line feed")
        expected = [b"32, " + os.fsencode(path) for path in paths]
        known = set(expected)
        cut = [r for r in in_file[1:] if r not in known]
        self.f.equal([], cut[:3], "records in the file that are not whole")
        self.f.expect(len(in_file) > 1 and len(on_console) > 1,
                      f"records in the file: {len(in_file) - 1}, on the console: {len(on_console) - 1}")
        self.f.equal(sorted(expected), sorted(in_file[1:] + on_console[1:]),
                     "every record once, in the file or on the console")


def make_file(path, value):
    with open(path, "wb") as f:
        f.write(b"x")
    set_word(path, value)


def default_signals():
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def wait_stopped(pid):
    for _ in range(2000):
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] in ("T", "t", "Z"):
                return
        time.sleep(0.0005)


def open_folders(pid):
    folders = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            folders.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            pass
    return folders


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    tavrin = os.path.abspath(sys.argv[1])
    preconditions()
    stop_on_signals()
    suite = SafetySuite(tavrin, os.path.abspath(sys.argv[2]))
    try:
        make_volume(suite)
        suite.build_tree()
        suite.make_second_volume()
        cases = [suite.case_nonblocking_stdout, suite.case_full_disk, suite.case_closed_stdout,
                 suite.case_mount_points, suite.case_unanswered_fuse, suite.case_swapped_folder,
                 suite.case_stop_signals]
        chosen = os.environ.get("CASES", "").split()
        for case in cases:
            name = case.__name__[5:]
            if chosen and name not in chosen:
                continue
            before = suite.f.count
            started = time.monotonic()
            case()
            print(f"{'ok  ' if suite.f.count == before else 'FAIL'} {name} "
                  f"({time.monotonic() - started:.1f} s)", flush=True)
    finally:
        suite.cleanup()
    return verdict(suite.f)


if __name__ == "__main__":
    sys.exit(main())
