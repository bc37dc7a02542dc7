#!/usr/bin/env python3
"""End-to-end runs of the Linux tavrin on a real NTFS volume.

Makes an NTFS image with mkntfs, mounts it with ntfs-3g and runs the real
program on it. Every run happens inside a private mount namespace with a
folder of the test bind-mounted on /var/lib, so the test decides whether the
tool folder exists and never touches the machine's own /var/lib.

Usage: run_ntfs_tests.py PATH-TO-TAVRIN
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

SKIP = 77
ATTRIBUTE = "system.ntfs_attrib_be"
REPARSE = "system.ntfs_reparse_data"
# Junctions to \??\C:\tgt and to \??\C:\ as NTFS stores them.
JUNCTION_TO_TGT = bytes.fromhex(
    "030000a02c0000000000140016000c005c003f003f005c0043003a005c00740067007400000043003a005c007400670074000000")
JUNCTION_TO_ROOT = bytes.fromhex(
    "030000a02000000000000e00100006005c003f003f005c0043003a005c00000043003a005c000000")
DEPTH = 1150  # directories below the root of the deep tree
TOOL_FOLDER = "Norvane/Wickline"
WARNING = b"\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"


# What standard error says of a run without the tool folder.
NO_TOOL_FOLDER = (rb"tavrin: could not create the result file /var/lib/Norvane/Wickline/-?[0-9]+"
                  rb"[a-zA-Z]*\.txt: the folder /var/lib/Norvane/Wickline does not exist; create it "
                  rb"with: install -d -m 0750 /var/lib/Norvane/Wickline; the records follow on standard output\n")
# The closing line of a run whose records went to standard output.
NO_RESULT_FILE = rb"tavrin: no result file: the [0-9,]+ records? (is|are) on standard output\n"
MARKER_REASON = (b": a repair resets every file whose path contains \"Norvane\" (the name of the folder that "
                 b"holds tavrin's own result files), whatever its attributes\n")


def skip(reason):
    print(f"SKIP: {reason}")
    sys.exit(SKIP)


def word(path):
    return int.from_bytes(os.getxattr(path, ATTRIBUTE, follow_symlinks=False), "big")


def set_word(path, value):
    os.setxattr(path, ATTRIBUTE, value.to_bytes(4, "big"), follow_symlinks=False)


def records(*pairs):
    """The bytes of a result file holding these (word, path) records."""
    return b"".join(b"\n%d, %s" % (w, os.fsencode(p)) for w, p in pairs)


class Failures:
    def __init__(self):
        self.count = 0
        self.section = ""

    def expect(self, condition, message):
        if not condition:
            self.count += 1
            print(f"FAIL [{self.section}] {message}")

    def equal(self, expected, actual, what):
        self.expect(expected == actual, f"{what}\n  expected: {expected!r}\n  actual:   {actual!r}")


class Run:
    def __init__(self, stdout, files, varlib_entries):
        self.stdout = stdout
        self.files = files                  # result files by name
        self.varlib_entries = varlib_entries  # what the run left in /var/lib


class Suite:
    def __init__(self, tavrin):
        self.tavrin = tavrin
        self.work = tempfile.mkdtemp(prefix="tavrin-ntfs-")
        self.image = os.path.join(self.work, "volume.img")
        self.mnt = os.path.join(self.work, "mnt")
        self.mounted = False
        self.runs = 0
        self.f = Failures()

    # --- volume -----------------------------------------------------------
    def mount(self, read_only=False):
        options = ["-o", "ro"] if read_only else []
        result = subprocess.run(["ntfs-3g", *options, self.image, self.mnt],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            return result.stdout.decode(errors="replace").strip().splitlines()[:1]
        self.mounted = True
        return None

    def unmount(self):
        if not self.mounted:
            return
        if subprocess.run(["fusermount", "-u", self.mnt], stderr=subprocess.DEVNULL).returncode:
            subprocess.run(["umount", "-l", self.mnt], stderr=subprocess.DEVNULL)
        self.mounted = False

    def remount(self, read_only=False):
        self.unmount()
        refused = self.mount(read_only)
        if refused is not None:
            raise RuntimeError(f"remount refused: {refused}")

    def cleanup(self):
        self.unmount()
        if not self.mounted:  # never delete through a mount that would not go
            subprocess.run(["rm", "-rf", "--one-file-system", self.work])

    # --- runs -------------------------------------------------------------
    def run(self, *args, tool_folder=True, descriptors=None, status=0, errors=b""):
        """Runs tavrin with /var/lib replaced by a fresh folder of the test.
        `status` and `errors` are the exit status and standard error expected:
        `errors` the exact bytes, or a compiled pattern the whole must match."""
        self.runs += 1
        varlib = os.path.join(self.work, f"varlib{self.runs}")
        os.mkdir(varlib)
        folder = os.path.join(varlib, TOOL_FOLDER)
        if tool_folder:
            os.makedirs(folder)
        limit = f"ulimit -n {descriptors} || exit 91; " if descriptors else ""
        script = 'mount --bind "$1" /var/lib || exit 90; shift; ' + limit + 'exec "$@"'
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                   varlib, self.tavrin, *[os.fsencode(a) for a in args]]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        shown = " ".join(repr(a) if isinstance(a, bytes) else a for a in args)
        self.f.equal(status, result.returncode, f"exit code of tavrin {shown}")
        if isinstance(errors, bytes):
            self.f.equal(errors, result.stderr, f"stderr of tavrin {shown}")
        else:
            self.f.expect(errors.fullmatch(result.stderr), f"stderr of tavrin {shown}: {result.stderr!r}")
        files = {}
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), "rb") as f:
                    files[name] = f.read()
        return Run(result.stdout, files, sorted(os.listdir(varlib)))

    def result(self, run, suffix):
        """The content of the run's only result file, named tick digits + suffix."""
        names = list(run.files)
        self.f.equal(1, len(names), f"number of result files ({names})")
        pattern = re.compile(r"-?[0-9]+" + re.escape(suffix))
        matching = [n for n in names if pattern.fullmatch(n)]
        self.f.expect(len(matching) == 1, f"no result file named <tick>{suffix} in {names}")
        return run.files[matching[0]] if matching else None

    # --- the tree ---------------------------------------------------------
    def p(self, *parts):
        return os.path.join(self.mnt, *parts)

    def build_tree(self):
        m = self.p
        for d in ["sub", "dirbad", "Norvane", "tgt", "junc", "loop", ".NTFS-3G"]:
            os.mkdir(m(d))
        for name, value in [("bad.exe", 0x3127), ("good.txt", 0x20), ("near.dll", 0x3126),
                            ("sub/deep.sys", 0x3127), ("dirbad/plain.txt", 0x20),
                            ("Norvane/x.txt", 0x21), ("tgt/t.exe", 0x3127)]:
            with open(m(name), "wb") as f:
                f.write(b"x")
            set_word(m(name), value)
        set_word(m("dirbad"), 0x3127)
        # ntfs-3g shows junctions to C:\... as links into .NTFS-3G/C:, which
        # here leads back to the volume's root.
        os.symlink(self.mnt, m(".NTFS-3G", "C:"))
        os.setxattr(m("junc"), REPARSE, JUNCTION_TO_TGT, follow_symlinks=False)
        os.setxattr(m("loop"), REPARSE, JUNCTION_TO_ROOT, follow_symlinks=False)
        os.symlink("bad.exe", m("slink"))
        set_word(m("slink"), 0x3127)
        self.remount()  # the FUSE cache still has the junctions as directories

    def check_tree(self):
        """The tree is what the cases below assume."""
        m = self.p
        f = self.f
        f.section = "tree"
        f.equal(0x3137, word(m("dirbad")), "0x3127 set on a directory reads")
        for junction in ["junc", "loop"]:
            f.equal(0x430, word(m(junction)), f"word of the junction {junction}")
            f.expect(os.path.islink(m(junction)), f"{junction} is not shown as a link")
        f.expect(os.path.exists(m("junc", "t.exe")), "junc does not lead to tgt")
        f.expect(os.path.exists(m("loop", "junc")), "loop does not lead to the root")
        f.equal(0x3127, word(m("slink")), "word of the ntfs-3g link")
        f.expect(os.path.islink(m("slink")), "slink is not a link")

    # --- cases ------------------------------------------------------------
    def suspects(self, root):
        return records((12583, f"{root}/bad.exe"), (12583, f"{root}/slink"),
                       (12583, f"{root}/sub/deep.sys"), (12583, f"{root}/tgt/t.exe"))

    def everything(self, root):
        # .NTFS-3G/C: is an ntfs-3g link (word 0x24, no reparse bit): a plain
        # file to Windows and to ntfs3, though it leads to a folder here.
        return records((36, f"{root}/.NTFS-3G/C:"), (12583, f"{root}/bad.exe"), (32, f"{root}/dirbad/plain.txt"),
                       (32, f"{root}/good.txt"), (12582, f"{root}/near.dll"),
                       (33, f"{root}/Norvane/x.txt"), (12583, f"{root}/slink"),
                       (12583, f"{root}/sub/deep.sys"), (12583, f"{root}/tgt/t.exe"))

    def case_list(self):
        self.f.section = "list"
        for typed in [self.mnt, self.mnt + "/"]:
            run = self.run("list", typed)
            self.f.equal(self.suspects(self.mnt), self.result(run, "badFiles.txt"),
                         f"badFiles of list {typed}")
            self.f.equal(b"", run.stdout, "console of list")

    def case_listall(self):
        self.f.section = "listall"
        run = self.run("listall", self.mnt)
        self.f.equal(self.everything(self.mnt), self.result(run, "allFiles.txt"), "allFiles")
        self.f.equal(b"", run.stdout, "console of listall")
        # A file root goes to the rule alone.
        run = self.run("listall", self.p("near.dll"), self.p("sub"))
        self.f.equal(records((12582, self.p("near.dll")), (12583, self.p("sub/deep.sys"))),
                     self.result(run, "allFiles.txt"), "allFiles of a file root and a folder")

    def case_fixed_drives(self):
        self.f.section = "fixed drives"
        run = self.run("list")
        content = self.result(run, "badFiles.txt") or b""
        lines = content.split(b"\n")
        self.f.equal(b"", lines[0], "start of badFiles")
        ours = [line for line in lines[1:] if b", " + os.fsencode(self.mnt + "/") in line]
        self.f.equal(self.suspects(self.mnt), b"".join(b"\n" + line for line in ours),
                     "records of the test volume in the fixed-drive list")
        self.f.equal(b"", run.stdout, "console of the fixed-drive list")

    def case_missing_tool_folder(self):
        self.f.section = "no tool folder"
        run = self.run("list", self.mnt, tool_folder=False, status=1,
                       errors=re.compile(NO_TOOL_FOLDER + NO_RESULT_FILE))
        pattern = (rb"Could not open file to write results /var/lib/Norvane/Wickline/-?[0-9]+"
                   rb"badFiles\.txt" + re.escape(self.suspects(self.mnt)))
        self.f.expect(re.fullmatch(pattern, run.stdout),
                      f"console without the tool folder: {run.stdout!r}")
        self.f.equal([], run.varlib_entries, "what the run left in /var/lib")

    def case_read_only(self):
        self.f.section = "read-only"
        self.remount(read_only=True)
        try:
            # The reason is on standard error as well: how many, and where listed.
            run = self.run("repair", self.mnt, status=1, errors=re.compile(
                rb"tavrin: 5 files could not be repaired: listed in /var/lib/Norvane/Wickline/-?[0-9]+"
                rb"couldNotFix\.txt and as FlagsR lines on standard output\n"))
            m = self.mnt
            failed = [(12583, f"{m}/bad.exe"), (33, f"{m}/Norvane/x.txt"),
                      (12583, f"{m}/slink"), (12583, f"{m}/sub/deep.sys"),
                      (12583, f"{m}/tgt/t.exe")]
            self.f.equal(records(*failed), self.result(run, "couldNotFix.txt"), "couldNotFix")
            self.f.equal(b"".join(b"\n FlagsR: %d, File: %s" % (w, os.fsencode(p))
                                  for w, p in failed), run.stdout, "console of the repair")
            run = self.run("set", "128", self.p("good.txt"), status=1,
                           errors=b"tavrin: 1 file could not be set: see the \"Could not set attributes\" "
                                  b"lines on standard output\n")
            self.f.equal(WARNING + b"\n Could not set attributes to " + os.fsencode(self.p("good.txt")),
                         run.stdout, "console of a refused set")
        finally:
            self.remount()
        self.f.equal(0x3127, word(self.p("bad.exe")), "word after the refused repair")

    def case_repair(self):
        self.f.section = "repair"
        run = self.run("repair", self.mnt)
        self.f.equal(b"", self.result(run, "couldNotFix.txt"), "couldNotFix of a good repair")
        self.f.equal(b"", run.stdout, "console of a good repair")
        # A repaired ntfs-3g link is a plain file now; the FUSE cache would
        # still show the link.
        self.remount()
        expected = {"bad.exe": 0x80, "slink": 0x80, "sub/deep.sys": 0x80, "tgt/t.exe": 0x80,
                    "Norvane/x.txt": 0x20, "near.dll": 0x3126, "good.txt": 0x20,
                    "dirbad": 0x3137, "dirbad/plain.txt": 0x20, "junc": 0x430, "loop": 0x430}
        for name, value in expected.items():
            self.f.equal(value, word(self.p(name)), f"word of {name} after repair")
        run = self.run("list", self.mnt)
        self.f.equal(b"", self.result(run, "badFiles.txt"), "badFiles after repair")
        self.f.equal(b"", run.stdout, "console of list after repair")

    def case_set(self):
        self.f.section = "set"
        sub_before = word(self.p("sub"))
        run = self.run("set", "12583", self.p("sub"), self.p("good.txt"))
        self.f.equal(WARNING + b"\n Attributes 12583 successfully set to " +
                     os.fsencode(self.p("sub/deep.sys")) +
                     WARNING + b"\n Attributes 12583 successfully set to " +
                     os.fsencode(self.p("good.txt")), run.stdout, "console of set")
        self.f.equal(b"", self.result(run, ""), "the set command's result file")
        self.f.equal(0x3127, word(self.p("sub/deep.sys")), "word set in the folder")
        self.f.equal(0x3127, word(self.p("good.txt")), "word set on the file")
        self.f.equal(sub_before, word(self.p("sub")), "word of the folder named by set")

    def case_deep_tree(self):
        # On the volume, with few descriptors: none may be held per level, and
        # a walk this deep must not ask ntfs-3g about every level of every path.
        self.f.section = "deep tree"
        top = self.p("deep")
        os.mkdir(top)
        levels = {1, DEPTH // 2, DEPTH}
        fd = os.open(top, os.O_DIRECTORY)
        try:
            for level in range(1, DEPTH + 1):
                os.mkdir("d", dir_fd=fd)
                below = os.open("d", os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = below
                if level in levels:
                    os.close(os.open("f", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
        finally:
            os.close(fd)
        run = self.run("listall", top, descriptors=64)
        expected = sorted(b"32, " + os.fsencode(top + "/d" * level + "/f") for level in levels)
        content = self.result(run, "allFiles.txt") or b""
        self.f.equal(b"\n", content[:1], "start of allFiles")
        self.f.equal(expected, sorted(content[1:].split(b"\n")), f"allFiles of a tree {DEPTH} deep")
        self.f.equal(b"", run.stdout, "console of the deep walk")

    def case_names_not_utf8(self):
        self.f.section = "bytes"
        e = os.path.join(self.work, "plain")  # the test folder's file system, not NTFS
        os.makedirs(os.path.join(e, "sub"))
        cafe = os.fsencode(e) + b"/caf\xe9.txt"
        odd = os.fsencode(e) + b"/sub/\xff\xfe"
        for name, mode in [(cafe, 0o644), (odd, 0o444)]:
            with open(name, "wb") as f:
                f.write(b"x")
            os.chmod(name, mode)
        os.symlink(b"caf\xe9.txt", os.fsencode(e) + b"/tofile")
        os.symlink("sub", os.path.join(e, "tosub"))

        off = b"tavrin: %s is not on an NTFS volume; is the disk mounted?\n"
        run = self.run("listall", e, status=2, errors=off % os.fsencode(e))
        content = self.result(run, "allFiles.txt") or b""
        self.f.equal(b"\n", content[:1], "start of allFiles")
        self.f.equal(sorted([b"32, " + cafe, b"33, " + odd, b"1056, " + os.fsencode(e) + b"/tofile"]),
                     sorted(content[1:].split(b"\n")), "allFiles of names that are not UTF-8")
        run = self.run("listall", os.fsencode(e) + b"/tosub", status=2,
                       errors=off % (os.fsencode(e) + b"/tosub"))
        self.f.equal(b"\n33, " + os.fsencode(e) + b"/tosub/\xff\xfe",
                     self.result(run, "allFiles.txt"), "a root linking to a folder is walked")
        run = self.run("listall", cafe, tool_folder=False, status=2,
                       errors=re.compile(NO_TOOL_FOLDER + re.escape(off % cafe) + NO_RESULT_FILE))
        self.f.expect(re.fullmatch(rb"Could not open file to write results /var/lib/Norvane/Wickline/"
                                   rb"-?[0-9]+allFiles\.txt" + re.escape(b"\n32, " + cafe), run.stdout),
                      f"console record of a name that is not UTF-8: {run.stdout!r}")

    def case_honest_outcomes(self):
        # Runs that could not do what was asked: standard output and the
        # result file as ever, the reason on standard error, and the status.
        self.f.section = "outcomes"
        typo = self.mnt + "x"
        run = self.run("list", typo, status=2, errors=b"tavrin: cannot read %s: not found\n" % os.fsencode(typo))
        # Failed with nothing recorded: no empty file to pass for "no suspects".
        self.f.equal({}, run.files, "result files of a typo")
        self.f.equal(b"", run.stdout, "console of a typo")
        unmounted = os.path.join(self.work, "unmounted")  # where a disk was meant to be mounted
        os.makedirs(unmounted, exist_ok=True)
        run = self.run("list", unmounted, status=2,
                       errors=b"tavrin: %s is not on an NTFS volume; is the disk mounted?\n" % os.fsencode(unmounted))
        self.f.equal({}, run.files, "result files of an empty mount point")
        self.f.equal(b"", run.stdout, "console of an empty mount point")
        # A typo beside a real root: the real one is scanned whole all the same.
        alone = self.result(self.run("list", self.mnt), "badFiles.txt")
        run = self.run("list", typo, self.mnt, status=2,
                       errors=b"tavrin: cannot read %s: not found\n" % os.fsencode(typo))
        self.f.equal(alone, self.result(run, "badFiles.txt"), "badFiles beside a typo")
        run = self.run("lst", self.mnt, status=2,
                       errors=b"tavrin: lst is not a command (list, repair, listall, set)\n")
        self.f.expect(run.stdout.startswith(b"\n\ttavrin.exe list [path]"), "usage on a wrong command")
        self.f.equal({}, run.files, "result files of an unknown command")
        before = word(self.p("good.txt"))
        run = self.run("set", "0x3127", self.p("good.txt"), status=2,
                       errors=b"tavrin: 0x3127 is not a decimal number (0x3127 is 12583)\n")
        self.f.equal(b"", run.stdout, "console of a hex word")
        self.f.equal(before, word(self.p("good.txt")), "word after a refused hex word")
        self.f.equal({}, run.files, "result files of a refused set")
        self.run("set", "12583", status=2,
                 errors=b"tavrin: set needs a word and at least one path: tavrin set WORD path ...\n")

    def case_marked_root(self):
        # A root under "Norvane" is reset whole by a repair: said first.
        self.f.section = "marked root"
        marked = os.fsencode(self.p("Norvane"))
        self.run("list", self.p("Norvane"), self.p("sub"),
                 errors=b"tavrin: repair would reset every file under %s to archive only (32)" % marked +
                 MARKER_REASON)
        self.run("listall", self.p("Norvane"))
        before = word(self.p("Norvane/x.txt"))
        self.run("repair", self.p("Norvane"),
                 errors=b"tavrin: every file under %s will be reset to archive only (32)" % marked + MARKER_REASON)
        self.f.equal(0x20, word(self.p("Norvane/x.txt")), "word under a marked root after repair")
        set_word(self.p("Norvane/x.txt"), before)

    def run_all(self):
        self.build_tree()
        self.check_tree()
        for case in [self.case_fixed_drives, self.case_list, self.case_listall,
                     self.case_missing_tool_folder, self.case_read_only, self.case_repair,
                     self.case_set, self.case_deep_tree, self.case_names_not_utf8,
                     self.case_honest_outcomes, self.case_marked_root]:
            before = self.f.count
            case()
            print(f"{'ok  ' if self.f.count == before else 'FAIL'} {case.__name__[5:]}")


def preconditions():
    if os.geteuid() != 0:
        skip("needs root to mount NTFS and to use a private mount namespace")
    for tool in ["mkntfs", "ntfs-3g", "fusermount", "unshare", "mount"]:
        if shutil.which(tool) is None:
            skip(f"{tool} not found (packages ntfs-3g, util-linux)")
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        skip(f"/dev/fuse cannot be opened: {error.strerror}")
    private_mounts()


def private_mounts():
    """Skips where runs cannot have mount namespaces of their own."""
    if subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                      stderr=subprocess.DEVNULL).returncode != 0:
        if not root_is_mount_point():
            skip("the root directory is not a mount point (a chroot made from a plain folder), so "
                 "unshare cannot make the mounts private; bind-mount the folder onto itself before "
                 "entering it (mount --bind DIR DIR), or use unshare -R DIR or systemd-nspawn")
        skip("unshare -m is refused here")


def root_is_mount_point():
    """False where / is a plain folder of a bigger mount, as in a chroot:
    mountinfo then names no mount at /."""
    try:
        with open("/proc/self/mountinfo") as f:
            return any(line.split()[4:5] == ["/"] for line in f)
    except OSError:
        return True  # no /proc to tell: the plain reason


def daemon_of(point):
    """The pid of the ntfs-3g process that serves `point`: the one started
    last, as the daemon of an earlier mount there may still be exiting."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if argv and os.path.basename(argv[0]).startswith(b"ntfs-3g") and os.fsencode(point) in argv \
                and fields[0] != "Z":
            found.append((int(fields[19]), int(entry)))  # start time, pid
    if not found:
        raise RuntimeError(f"no ntfs-3g process serves {point}")
    return max(found)[1]


def stop_on_signals():
    """Ends the suite through its cleanup (unmounts included) on a stop signal."""
    def stop(signum, _frame):
        raise SystemExit(f"stopped by signal {signum}")
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)


def make_volume(suite):
    """Makes the suite's empty NTFS image and mounts it, or skips."""
    os.mkdir(suite.mnt)
    with open(suite.image, "wb") as f:
        f.truncate(64 << 20)
    made = subprocess.run(["mkntfs", "-F", "-Q", "-L", "T", suite.image],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if made.returncode != 0:
        raise SystemExit(f"FAIL mkntfs: {made.stderr.decode(errors='replace')}")
    refused = suite.mount()
    if refused is not None:
        skip(f"ntfs-3g mount refused: {refused}")


def verdict(failures):
    """The exit code for what `failures` counted, with the closing line."""
    if failures.count:
        print(f"{failures.count} check(s) failed")
        return 1
    print("all checks passed")
    return 0


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    tavrin = os.path.abspath(sys.argv[1])
    preconditions()
    stop_on_signals()
    suite = Suite(tavrin)
    try:
        make_volume(suite)
        suite.run_all()
    finally:
        suite.cleanup()
    return verdict(suite.f)


if __name__ == "__main__":
    sys.exit(main())
