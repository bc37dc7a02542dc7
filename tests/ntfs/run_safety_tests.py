#!/usr/bin/env python3
"""End-to-end runs of the Linux tavrin where data could be lost or misdirected:
a stop signal mid-run, a non-blocking, closed or blocked stdout, mount points
inside a tree, a folder swapped for a link mid-run (above the walk, too), a
full disk and a file-size limit, a FUSE mount whose daemon never answers (and
another user's with an NTFS source), a damaged folder index, a daemon that
stalls, a sandbox without getxattrat or /proc, and a memory limit.

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
from held_volume import CONTROL_MISSING, HeldVolume, control_folder, daemon_replies, in_syscall, wait_for
from run_ntfs_tests import (TOOL_FOLDER, Suite, daemon_of, make_volume, preconditions, records, set_word,
                            skip, stop_on_signals, verdict, word)

BULK_FILES = 60000
SUSPECTS = 50
SWAP_FILES = 2000
LONG_FILES = 3000
PIPE_FILES = 20000
READ_ONLY_FILES = 400
BULK_IMAGE = "bulk-60000.img"
LONG_SUSPECTS = 1500  # long names: more FlagsR lines than a pipe holds
INDEX_FILES = 3001    # enough for the folder's index to need many blocks
HUGE_FILES = 12000    # names of 255 three-byte characters: a 9 MB listing
HUGE_IMAGE = "huge-12000.img"

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
owner = int(os.environ.get("FUSE_OWNER", "0"))  # another user's shares its mount
options = b"fd=%d,rootmode=40000,user_id=%d,group_id=%d" % (fd, owner, owner)
if owner:
    options += b",allow_other"
if libc.mount(sys.argv[2].encode(), sys.argv[1].encode(), b"fuse", 0, options) != 0:
    sys.exit("fuse mount: " + os.strerror(ctypes.get_errno()))
os.execvp(sys.argv[3], sys.argv[3:])
"""


# Runs argv[1:] under a seccomp filter that refuses getxattrat and setxattrat
# with EPERM, as systemd's SystemCallFilter= does.
NO_XATTRAT = """
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
def op(code, jt, jf, k):
    return struct.pack("HBBI", code, jt, jf, k)
program = (op(0x20, 0, 0, 0) + op(0x15, 2, 0, 463) + op(0x15, 1, 0, 464) +
           op(0x06, 0, 0, 0x7fff0000) + op(0x06, 0, 0, 0x00050000 | 1))
buffer = ctypes.create_string_buffer(program)
fprog = struct.pack("HxxxxxxQ", len(program) // 8, ctypes.addressof(buffer))
if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, ctypes.c_char_p(fprog), 0, 0) != 0:
    sys.exit("seccomp: " + os.strerror(ctypes.get_errno()))
os.execvp(sys.argv[1], sys.argv[1:])
"""
HIDE_PROC = "mount -t tmpfs none /proc"
# The ways a run may have to reach entries: as the kernel offers, and in
# sandboxes that refuse the *at calls or hide /proc.
SANDBOXES = [("native", "", ()), ("seccomp EPERM", "", ("python3", "-c", NO_XATTRAT)),
             ("hidden /proc", HIDE_PROC, ()),
             ("seccomp EPERM, hidden /proc", HIDE_PROC, ("python3", "-c", NO_XATTRAT))]


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

    def cached_image(self, name, size, label, folder, names, point):
        """The image `name` in the cache, whose `folder` holds empty files of
        `names`; made once, mounted on `point` while it is filled."""
        image = os.path.join(self.cache, name)
        if os.path.exists(image):
            return image
        os.makedirs(self.cache, exist_ok=True)
        partial = image + ".partial"
        with open(partial, "wb") as f:
            f.truncate(size)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", label, partial], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.makedirs(point, exist_ok=True)
        print(f"making {len(names)} files on ntfs-3g once, kept in {image} ...", flush=True)
        self.ntfs_mount(partial, point)
        try:
            os.mkdir(os.path.join(point, folder))
            descriptor = os.open(os.path.join(point, folder), os.O_DIRECTORY)
            for file in names:
                os.mknod(file, stat.S_IFREG | 0o644, dir_fd=descriptor)
            os.close(descriptor)
        finally:
            self.ntfs_unmount(point)
        os.rename(partial, image)
        return image

    def bulk_image(self):
        """The cached image of b/ with BULK_FILES empty files."""
        return self.cached_image(BULK_IMAGE, 256 << 20, "B", "b",
                                 [f"f{i:05d}" for i in range(BULK_FILES)], self.bulk)

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
        """`list a b` stopped while it waits on b (its daemon held): a's
        records whole, in the result file or on the console, and the run
        asks b nothing more once the daemon goes on."""
        self.f.section = "stop signals"
        if control_folder() is None:
            print(f"SKIP part: stop signals: {CONTROL_MISSING}")
            return
        image = self.bulk_image()
        os.makedirs(self.bulk, exist_ok=True)
        self.ntfs_mount(image, self.bulk, read_only=True)
        b = os.path.join(self.bulk, "b")
        volume = HeldVolume(self.bulk, daemon_of(self.bulk))
        expected = self.a_records()
        no_folder = re.compile(rb"Could not open file to write results /var/lib/Norvane/Wickline/"
                               rb"-?[0-9]+badFiles\.txt")
        no_file = re.compile(rb"tavrin: could not create the result file .*\n"
                             rb"tavrin: no result file: .* on standard output\n")
        try:
            # "at once": as soon as the run waits on b, most often before the
            # first timed write, so the stop itself writes; "written": once
            # a's records are in the result file. Without one the console
            # gets them when the run ends.
            for signum, moment, tool_folder in [
                    (signal.SIGINT, "written", True), (signal.SIGTERM, "written", True),
                    (signal.SIGTERM, "at once", True), (signal.SIGINT, "at once", False),
                    (signal.SIGHUP, "at once", False)]:
                what = f"list a b, {signum.name} {moment} while b waits" + \
                    ("" if tool_folder else ", no tool folder")
                with open(os.path.join(self.work, "stdout"), "w+b") as out:
                    volume.hold()
                    try:
                        process, varlib = self.start("list", self.q("a"), b, tool_folder=tool_folder,
                                                     stdout=out)
                        held = wait_for(lambda: volume.waits_on_it(process.pid, FILE_CALLS), 60)
                        self.f.expect(held, f"{what}: never waited on b")

                        if moment == "written":
                            written = wait_for(lambda: expected in self.files_of(varlib).values(), 60)
                            self.f.expect(written, f"{what}: a's records never written")
                        process.send_signal(signum)
                        replies = daemon_replies(volume.daemon)
                    finally:
                        volume.release()
                    _, files = self.finish(process, varlib, what, status=-signum,
                                           errors=b"" if tool_folder else no_file)
                    asked = daemon_replies(volume.daemon) - replies
                    out.seek(0)
                    stdout = out.read()
                # A walk of b on to its end asks its daemon twice per file.
                self.f.expect(asked < 1000, f"{what}: b's daemon answered {asked} requests after the stop")
                if tool_folder:
                    self.f.equal(expected, self.only_file(files, "badFiles.txt", what),
                                 f"badFiles of {what}")
                    self.f.equal(b"", stdout, f"console of {what}")
                else:
                    match = no_folder.match(stdout)
                    self.f.expect(match is not None, f"{what}: console starts {stdout[:120]!r}")
                    self.f.equal(expected, stdout[match.end():] if match else b"",
                                 f"records on the console of {what}")
        finally:
            volume.release()
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
                                      rb"tavrin: .* is not on an NTFS volume; is the disk mounted\?\n"
                                      rb"tavrin: no result file: the [0-9,]+ records are on standard output\n"))
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
                # With standard error open, the closing line counts what could not be fixed.
                closing = re.compile(rb"tavrin: %s files could not be repaired: listed in /var/lib/Norvane/"
                                     rb"Wickline/-?[0-9]+couldNotFix\.txt and as FlagsR lines on standard output\n"
                                     % f"{READ_ONLY_FILES:,}".encode())
                stdout, files = self.finish(process, varlib, what, status=1,
                                            errors=b"" if "2>&-" in fds else closing)
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
        folder = identity(x)
        # Caught between two files of x (its folder open), x becomes a link
        # to a folder of the other volume before the walk reaches zbad.
        while not swapped and process.poll() is None:
            process.send_signal(signal.SIGSTOP)
            wait_stopped(process.pid)
            if folder in open_folders(process.pid):
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
        shutil.rmtree(self.p("other"))  # its suspect is no part of the later cases' volume

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
                                  rb"on standard output\n"
                                  rb"tavrin: the result file /var/lib/Norvane/Wickline/-?[0-9]+allFiles\.txt holds "
                                  rb"the records up to where it could not be written; the rest are on standard "
                                  rb"output\n"))
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


    # --- 8. the way back up: a subfolder moved away mid-walk -------------
    def case_swap_above(self):
        """Inside x/d, d is moved away and x swapped for a link to another
        volume: the walk must go on in x itself, or give up the rest of x
        when x was closed for want of descriptors; never follow the link."""
        self.f.section = "swap above the walk"
        v = self.q("w")
        x = os.path.join(v, "x")
        os.makedirs(os.path.join(x, "d"))
        folder = os.open(os.path.join(x, "d"), os.O_DIRECTORY)
        for i in range(SWAP_FILES):
            os.mknod(f"f{i:05d}", stat.S_IFREG | 0o644, dir_fd=folder)
        os.close(folder)
        os.makedirs(self.p("other2"), exist_ok=True)
        variants = [("folders kept open", "", (), 0, b""),
                    ("one descriptor for the walk", "ulimit -n 17", (), 1,
                     b"tavrin: could not list %s: the folder was moved or replaced during the walk\n"
                     b"tavrin: 1 folder could not be listed, named above\n" % os.fsencode(x))]
        variants += [(name, setup, wrap, 0, b"") for name, setup, wrap in SANDBOXES[1:]]
        for name, setup, wrap, status, errors in variants:
            make_file(os.path.join(x, "zbad"), 0x3127)
            make_file(self.p("other2", "zbad"), 0x3127)
            what = f"repair while x/d moves and x is swapped ({name})"
            process, varlib = self.start("repair", v, setup=setup, wrap=wrap)
            swapped = self.swap_when_open(process, os.path.join(x, "d"), [
                (os.path.join(x, "d"), os.path.join(v, "moved")), (x, x + ".old")], x, self.p("other2"))
            self.f.expect(swapped, f"{what}: the run ended before d was open")
            stdout, files = self.finish(process, varlib, what, status=status, errors=errors)
            self.f.equal(b"", self.only_file(files, "couldNotFix.txt", what), f"couldNotFix of {what}")
            self.f.equal(b"", stdout[:300], f"console of {what}")
            self.f.equal(0x3127, word(self.p("other2", "zbad")), f"{what}: word of the other volume's zbad")
            if status == 0:
                self.f.equal(0x80, word(os.path.join(x + ".old", "zbad")), f"{what}: word of the tree's zbad")
            # Back as it was for the next variant.
            if os.path.islink(x):
                os.unlink(x)
            if os.path.isdir(x + ".old"):
                os.rename(x + ".old", x)
            if os.path.isdir(os.path.join(v, "moved")):
                os.rename(os.path.join(v, "moved"), os.path.join(x, "d"))
        shutil.rmtree(self.p("other2"))

    def swap_when_open(self, process, inner, renames, link, target):
        """Catches the run with `inner` open, does `renames` and puts a link
        to `target` at `link`; False when the run ended first."""
        folder = identity(inner)
        while process.poll() is None:
            process.send_signal(signal.SIGSTOP)
            wait_stopped(process.pid)
            if folder in open_folders(process.pid):
                for old, new in renames:
                    os.rename(old, new)
                os.symlink(target, link)
                process.send_signal(signal.SIGCONT)
                return True
            process.send_signal(signal.SIGCONT)
            time.sleep(0.001)
        return False

    # --- 9. a damaged folder index --------------------------------------
    def case_damaged_index(self):
        self.f.section = "damaged index"
        image = os.path.join(self.work, "index.img")
        point = os.path.join(self.work, "index")
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", "I", image], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.mkdir(point)
        self.ntfs_mount(image, point)
        big = os.path.join(point, "big")
        os.mkdir(big)
        folder = os.open(big, os.O_DIRECTORY)
        for i in range(INDEX_FILES):
            os.mknod(f"f{i:05d}", stat.S_IFREG | 0o644, dir_fd=folder)
        os.close(folder)
        make_file(os.path.join(big, "a_bad"), 0x3127)  # in the index root or an early block
        make_file(os.path.join(point, "bad"), 0x3127)
        self.ntfs_unmount(point)
        # The last index block that holds a name of the folder, overwritten.
        with open(image, "r+b") as f:
            data = f.read()
            marker = "f02900".encode("utf-16-le")
            blocks = [at for at in range(0, len(data), 4096)
                      if data[at:at + 4] == b"INDX" and marker in data[at:at + 4096]]
            f.seek(blocks[-1])
            f.write(b"\xff" * 4096)
        self.ntfs_mount(image, point)
        try:
            listed = subprocess.run(["ls", big], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.f.expect(b"Input/output error" in listed.stderr, f"ls of the damaged folder: {listed.stderr!r}")
            what = "list of a volume with a damaged folder index"
            process, varlib = self.start("list", point)
            _, files = self.finish(process, varlib, what, status=1,
                                   errors=b"tavrin: could not list %s: I/O error\n"
                                          b"tavrin: 1 folder could not be listed, named above\n" % os.fsencode(big))
            content = self.only_file(files, "badFiles.txt", what) or b""
            self.f.expect(content.endswith(records((12583, os.path.join(point, "bad")))),
                          f"badFiles of {what}: {content[-200:]!r}")
        finally:
            self.ntfs_unmount(point)

    # --- 10. another user's FUSE mount with an NTFS source ---------------
    def case_other_users_fuse(self):
        self.f.section = "another user's FUSE mount"
        hang = os.path.join(self.work, "userhang")
        os.makedirs(hang, exist_ok=True)
        what = "list beside another user's NTFS-sourced FUSE mount that never answers"
        process, varlib = self.start("list", setup=self.other_ntfs_mounts(),
                                     wrap=["env", "FUSE_OWNER=1000", "python3", "-c", UNANSWERED_FUSE,
                                           hang, self.image2])
        _, files = self.finish(process, varlib, what, timeout=30)
        self.f.equal(self.suspects(self.mnt) + self.a_records(),
                     self.only_file(files, "badFiles.txt", what), f"badFiles of {what}")

    # --- 11. a stop while stdout is blocked -------------------------------
    def long_suspects(self):
        """mnt2/long: LONG_SUSPECTS suspects with long names, made once."""
        folder = self.q("long")
        if not os.path.isdir(folder):
            os.mkdir(folder)
            for i in range(LONG_SUSPECTS):
                make_file(os.path.join(folder, f"{i:04d}_" + "n" * 200), 0x3127)
        return folder

    def case_blocked_stdout(self):
        self.f.section = "stop with stdout blocked"
        folder = self.long_suspects()
        self.ntfs_unmount(self.mnt2)
        self.ntfs_mount(self.image2, self.mnt2, read_only=True)
        read_end, write_end = os.pipe()
        try:
            what = "repair of a read-only volume, stdout a pipe nobody reads, SIGTERM"
            process, varlib = self.start("repair", folder, stdout=write_end)
            os.close(write_end)
            # write, or poll and ppoll while it waits for the pipe to take more
            blocked = wait_for(lambda: in_syscall(process.pid, {1, 7, 271}), 60)
            self.f.expect(blocked, f"{what}: never blocked on its output")
            sent = time.monotonic()
            process.send_signal(signal.SIGTERM)
            _, files = self.finish(process, varlib, what, status=-signal.SIGTERM, timeout=30, errors=re.compile(
                rb"tavrin: [0-9,]+ files? could not be repaired: listed in /var/lib/Norvane/Wickline/-?[0-9]+"
                rb"couldNotFix\.txt and as FlagsR lines on standard output\n"))
            ended = time.monotonic() - sent
            # Blocked for good would end at the deadline above; a loaded machine may take seconds.
            self.f.expect(ended < 20.0, f"{what}: ended {ended:.2f} s after the signal")
            os.set_blocking(read_end, False)
            console = b""
            while True:
                try:
                    chunk = os.read(read_end, 65536)
                except BlockingIOError:
                    break
                if not chunk:
                    break
                console += chunk
            content = self.only_file(files, "couldNotFix.txt", what) or b""
            expected = [b"12583, " + os.fsencode(os.path.join(folder, name)) for name in os.listdir(folder)]
            kept = content.split(b"\n")[1:]
            self.f.expect(len(kept) > 0 and kept == expected[:len(kept)],
                          f"{what}: couldNotFix is not whole records in listing order ({len(kept)})")
            shown = re.findall(rb"\n FlagsR: 12583, File: ([^\n]*)(?=\n)", console)
            missing = [path for path in shown if b"12583, " + path not in set(kept)]
            self.f.equal([], missing[:3], f"{what}: paths on the console without their record")
        finally:
            os.close(read_end)
            self.ntfs_unmount(self.mnt2)
            self.ntfs_mount(self.image2, self.mnt2)

    # --- 12. a file-size limit --------------------------------------------
    def case_file_size_limit(self):
        self.f.section = "file-size limit"
        folder = self.long_suspects()
        what = "listall under ulimit -f"
        process, varlib = self.start("listall", folder, setup="ulimit -f 200")
        stdout, files = self.finish(
            process, varlib, what, status=1,
            errors=re.compile(rb"tavrin: could not write to the result file /var/lib/Norvane/Wickline/"
                              rb"-?[0-9]+allFiles\.txt: the file reached the size limit for files; "
                              rb"the records follow on standard output\n"
                              rb"tavrin: the result file /var/lib/Norvane/Wickline/-?[0-9]+allFiles\.txt holds "
                              rb"the records up to where it could not be written; the rest are on standard "
                              rb"output\n"))
        content = self.only_file(files, "allFiles.txt", what) or b""
        match = re.match(rb"\nCould not write to the result file /var/lib/Norvane/Wickline/"
                         rb"-?[0-9]+allFiles\.txt, the records follow here", stdout)
        self.f.expect(match is not None, f"{what}: console starts {stdout[:150]!r}")
        in_file = content.split(b"\n")
        on_console = stdout[match.end():].split(b"\n") if match else [b""]
        expected = [b"12583, " + os.fsencode(os.path.join(folder, name)) for name in os.listdir(folder)]
        self.f.expect(len(in_file) > 1 and len(on_console) > 1,
                      f"{what}: records in the file: {len(in_file) - 1}, on the console: {len(on_console) - 1}")
        self.f.equal(expected, in_file[1:] + on_console[1:], f"{what}: every record once, whole, in order")

    # --- 13. a daemon that stalls, then tavrin killed -------------------
    def case_stalled_daemon(self):
        """While the walk waits on a stalled volume, the records found so far
        reach the result file: a kill then loses none of them."""
        self.f.section = "stalled daemon"
        if control_folder() is None:
            print(f"SKIP part: stalled daemon: {CONTROL_MISSING}")
            return
        image = self.bulk_image()
        os.makedirs(self.bulk, exist_ok=True)
        self.ntfs_mount(image, self.bulk, read_only=True)
        volume = HeldVolume(self.bulk, daemon_of(self.bulk))
        expected = self.a_records()
        what = "list a b with b's daemon stopped, then SIGKILL"
        try:
            volume.hold()
            process, varlib = self.start("list", self.q("a"), os.path.join(self.bulk, "b"))
            # Waiting on the stopped daemon, for as long as a disk retrying a read.
            waiting = wait_for(lambda: volume.waits_on_it(process.pid, FILE_CALLS), 60)
            self.f.expect(waiting, f"{what}: never waited on the daemon")
            written = wait_for(lambda: expected in self.files_of(varlib).values(), 60)
            self.f.expect(written, f"{what}: a's records never reached the result file")
            process.kill()
            _, files = self.finish(process, varlib, what, status=-signal.SIGKILL)
            self.f.equal(expected, self.only_file(files, "badFiles.txt", what), f"badFiles of {what}")
        finally:
            volume.release()
            self.ntfs_unmount(self.bulk)

    # --- 14. sandboxes: no getxattrat, no /proc ---------------------------
    def case_sandboxes(self):
        self.f.section = "sandboxes"
        box = self.q("box")
        os.mkdir(box)
        names = [f"s{i}" for i in range(5)]
        for name, setup, wrap in SANDBOXES:
            for file in names:
                make_file(os.path.join(box, file), 0x3127)
            # The whole first volume: junctions, links, folders with the word.
            process, varlib = self.start("listall", self.mnt, setup=setup, wrap=wrap)
            _, files = self.finish(process, varlib, f"listall ({name})")
            self.f.equal(self.everything(self.mnt), self.only_file(files, "allFiles.txt", name),
                         f"allFiles ({name})")
            process, varlib = self.start("repair", box, setup=setup, wrap=wrap)
            stdout, files = self.finish(process, varlib, f"repair ({name})")
            self.f.equal(b"", self.only_file(files, "couldNotFix.txt", name), f"couldNotFix ({name})")
            self.f.equal(b"", stdout[:300], f"console of the repair ({name})")
            self.f.equal([0x80] * len(names), [word(os.path.join(box, n)) for n in names],
                         f"words after the repair ({name})")

    # --- 15. out of memory ------------------------------------------------
    def huge_image(self):
        """The cached image of h/ with HUGE_FILES files of very long names."""
        return self.cached_image(HUGE_IMAGE, 512 << 20, "H", "h",
                                 [f"{i:05d}" + "\u20ac" * 250 for i in range(HUGE_FILES)],
                                 os.path.join(self.work, "huge"))

    def case_out_of_memory(self):
        self.f.section = "out of memory"
        image = self.huge_image()
        point = os.path.join(self.work, "huge")
        os.makedirs(point, exist_ok=True)
        self.ntfs_mount(image, point, read_only=True)
        huge = os.path.join(point, "h")
        try:
            # The least memory a run over a/ alone needs, then 4 MiB more:
            # far from enough to list h/ whole.
            def fits(kib):
                process, _ = self.start("list", self.q("a"), setup=f"ulimit -v {kib}")
                process.communicate(timeout=60)
                return process.returncode == 0
            low, high = 1024, 1 << 20
            while high - low > 256:
                middle = (low + high) // 2
                low, high = (low, middle) if fits(middle) else (middle, high)
            what = f"list a h under ulimit -v {high + 4096}"
            process, varlib = self.start("list", self.q("a"), huge, setup=f"ulimit -v {high + 4096}")
            _, files = self.finish(process, varlib, what, status=1,
                                   errors=b"tavrin: out of memory in %s; the run ended there\n" % os.fsencode(huge))
            self.f.equal(self.a_records(), self.only_file(files, "badFiles.txt", what), f"badFiles of {what}")
        finally:
            self.ntfs_unmount(point)


# System calls a walk makes on a file or folder (x86_64): openat, newfstatat,
# getxattr, lgetxattr, statx, getdents64, getxattrat.
FILE_CALLS = {257, 262, 191, 192, 332, 217, 464}


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
    """(device, inode) of each folder the process holds open: the text of a
    /proc link names the host's path inside a chroot, the file is the same."""
    folders = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            info = os.stat(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if stat.S_ISDIR(info.st_mode):
            folders.add((info.st_dev, info.st_ino))
    return folders


def identity(path):
    info = os.stat(path)
    return info.st_dev, info.st_ino


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
                 suite.case_stop_signals, suite.case_swap_above, suite.case_damaged_index,
                 suite.case_other_users_fuse, suite.case_blocked_stdout, suite.case_file_size_limit,
                 suite.case_stalled_daemon, suite.case_sandboxes, suite.case_out_of_memory]
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
