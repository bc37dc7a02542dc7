#!/usr/bin/env python3
"""End-to-end checks of tavrin.exe under Wine, one case per CTest test.

    wine_suite.py --state DIR --exe tavrin.exe CASE

CASE "setup" makes the prefix and starts its server, "shutdown" stops the
server; every other case checks one behaviour, byte for byte where there is
output. Exit 0 passes, 1 fails, 77 skips (with a one-line reason).
"""

import argparse
import array
import fcntl
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

from wineprefix import PrefixError, WinePrefix

SKIP = 77

USAGE = (
    "\n\ttavrin.exe list [path]"
    "\n\t\t- lits all attributes for all files form each drive"
    "\n\t\t- saves output to output.txt"
    "\n\t\t- if you add a path, only files in that folder will be processed"
    "\n\n\ttavrin.exe repair [path]"
    "\n\t\t- repairs all attributes for all files form each drive"
    "\n\t\t- if it fails, output is saved to notRepaired.txt"
    "\n\t\t- if you add a path, only files in that folder will be processed"
    "\n\t\t- repair means removing the following attributes:"
    "\n\tle trec aici"
    "\n\n\ttavrin.exe set DWORD path >>testing purpose only"
    "\n\n\ttavrin.exe listall [path] >>testing purpose only"
)
TOOL_FOLDER = "C:\\ProgramData\\Norvane\\Wickline"
MAKE_TOOL_FOLDER = ('mkdir "{0}" && icacls "{0}" /inheritance:r /grant:r "*S-1-5-32-544:(OI)(CI)F" '
                    '"*S-1-5-18:(OI)(CI)F" "*S-1-5-32-545:(OI)(CI)RX" (in a command prompt run as '
                    'administrator)').format(TOOL_FOLDER)
WARNING = "\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"


class Skip(Exception):
    pass


def crlf(text):
    """What the program writes for `text`: UTF-8, line feeds as CRLF."""
    return text.replace("\n", "\r\n").encode("utf-8")


def records(*pairs):
    return "".join("\n%d, %s" % (word, path) for word, path in pairs)


def expect_equal(what, actual, expected):
    if actual != expected:
        raise AssertionError("%s differs\n  expected: %r\n  actual:   %r" % (what, expected, actual))


class Suite:
    def __init__(self, wine, exe):
        self.wine = wine
        self.exe = Path(exe).resolve()
        self.tool_folder = wine.unix_path(TOOL_FOLDER)
        self.cleanups = []

    # -- helpers -----------------------------------------------------------

    def tavrin(self, *args, status=0, errors=""):
        """Runs tavrin.exe; returns its standard output. The exit status must
        be `status` and standard error `errors` (text, CRLF line ends added),
        or match it when it is a compiled pattern."""
        rc, out, err = self.wine.run(self.exe, args)
        if rc != status:
            raise AssertionError(
                "tavrin.exe %s exited with %d, not %d; stderr: %r" % (" ".join(args), rc, status, err[-2000:])
            )
        if isinstance(errors, str):
            expect_equal("stderr of tavrin.exe %s" % " ".join(args), err, crlf(errors))
        elif not errors.fullmatch(err.decode("utf-8", errors="replace").replace("\r\n", "\n")):
            raise AssertionError("stderr of tavrin.exe %s: %r" % (" ".join(args), err[-2000:]))
        return out

    def tree(self, root, files):
        r"""Makes a fresh C:\t\<root> with `files`: relative path -> bytes, or
        None for a directory. Returns its Windows path."""
        path = "C:\\t\\" + root
        unix = self.wine.unix_path(path)
        if unix.exists():
            subprocess.run(["chattr", "-R", "-i", str(unix)], capture_output=True)
            shutil.rmtree(unix)
        unix.mkdir(parents=True)
        for name, content in files.items():
            target = unix.joinpath(*name.split("\\"))
            if content is None:
                target.mkdir(parents=True, exist_ok=True)
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(content)
        return path

    def unix(self, windows_path):
        return self.wine.unix_path(windows_path)

    def fresh_tool_folder(self):
        if self.tool_folder.exists():
            shutil.rmtree(self.tool_folder)
        self.tool_folder.mkdir(parents=True)

    def only_result(self, name_pattern):
        """The one result file of the run; its name must match `name_pattern`."""
        names = sorted(p.name for p in self.tool_folder.iterdir())
        if len(names) != 1 or not re.fullmatch(name_pattern, names[0]):
            raise AssertionError("expected one result file like %s, found %r" % (name_pattern, names))
        return names[0], (self.tool_folder / names[0]).read_bytes()

    def no_result(self):
        names = sorted(p.name for p in self.tool_folder.iterdir())
        expect_equal("result files", names, [])

    def read_only(self, windows_path):
        os.chmod(self.unix(windows_path), 0o444)

    def hidden_system(self, windows_path):
        """Word 0x26: hidden and system as Wine keeps them."""
        try:
            os.setxattr(self.unix(windows_path), "user.DOSATTRIB", b"0x6")
        except OSError as e:
            raise Skip("user xattrs are not supported here (%s)" % e.strerror)

    def immutable(self, windows_path):
        """Makes the file refuse every attribute change, even for root."""
        unix = str(self.unix(windows_path))
        if not shutil.which("chattr"):
            raise Skip("chattr is not installed")
        proc = subprocess.run(["chattr", "+i", unix], capture_output=True)
        if proc.returncode != 0:
            raise Skip("chattr +i is refused here: " + proc.stderr.decode(errors="replace").strip())
        self.cleanups.append(lambda: subprocess.run(["chattr", "-i", unix], capture_output=True))

    def listall(self, *roots, status=0, errors=""):
        """The allFiles records of a listall over `roots`, as text."""
        self.fresh_tool_folder()
        expect_equal("listall console", self.tavrin("listall", *roots, status=status, errors=errors), b"")
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        text = content.decode("utf-8")
        if text.count("\n") != text.count("\r\n"):
            raise AssertionError("a line end that is not CRLF in %r" % content[:200])
        return text.replace("\r\n", "\n")

    # -- cases -------------------------------------------------------------

    def case_usage(self):
        self.fresh_tool_folder()
        expected = crlf(USAGE)
        for args in ([], ["/?"], ["/help"], ["-help"], ["--help"], ["-h"]):
            expect_equal("usage for %r" % args, self.tavrin(*args), expected)
        # An unknown word shows the usage too, but the run failed.
        for args in (["frobnicate"], ["LIST"], ["-?"], ["list2"]):
            error = "tavrin: %s is not a command (list, repair, listall, set)\n" % args[0]
            expect_equal("usage for %r" % args, self.tavrin(*args, status=2, errors=error), expected)
        # A usage request or an unknown word never creates a result file.
        self.no_result()

    def case_list(self):
        root = self.tree("list", {"a.txt": b"a", "ro.txt": b"r", ".dot": b"d", "hs.txt": b"h",
                                  "sub\\b.txt": b"b"})
        self.read_only(root + "\\ro.txt")
        self.hidden_system(root + "\\hs.txt")
        self.fresh_tool_folder()
        # Wine cannot produce the suspect word: nothing matches, and the
        # file is still created, empty.
        expect_equal("list console", self.tavrin("list", root), b"")
        _, content = self.only_result(r"-?\d+badFiles\.txt")
        expect_equal("badFiles content", content, b"")

    def case_listall(self):
        root = self.tree("la", {"a.txt": b"a", "ro.txt": b"r", ".dot": b"d", "hs.txt": b"h",
                                "sub\\b.txt": b"b", "sub\\deeper\\c.txt": b"c", "z.txt": b"z",
                                "empty": None})
        self.read_only(root + "\\ro.txt")
        self.hidden_system(root + "\\hs.txt")
        # Wine lists a folder sorted without regard to case; a subfolder's
        # whole tree comes where the subfolder is met.
        tree_records = records(
            (34, root + "\\.dot"),
            (32, root + "\\a.txt"),
            (38, root + "\\hs.txt"),
            (33, root + "\\ro.txt"),
            (32, root + "\\sub\\b.txt"),
            (32, root + "\\sub\\deeper\\c.txt"),
            (32, root + "\\z.txt"),
        )
        expect_equal("listall of a tree", self.listall(root), tree_records)

        # Roots in command-line order, each as typed: a file root, a trailing
        # backslash, a relative root (the current folder is C:\), a root that
        # does not exist, and the same root twice.
        got = self.listall(root + "\\ro.txt", root + "\\sub\\", "t\\la\\sub\\deeper",
                           root + "\\nothing-here", root + "\\z.txt", root + "\\z.txt", status=2,
                           errors="tavrin: cannot read %s\\nothing-here: not found\n" % root)
        expect_equal("listall of several roots", got, records(
            (33, root + "\\ro.txt"),
            (32, root + "\\sub\\b.txt"),
            (32, root + "\\sub\\deeper\\c.txt"),
            (32, "t\\la\\sub\\deeper\\c.txt"),
            (32, root + "\\z.txt"),
            (32, root + "\\z.txt"),
        ))

    def case_fixed_drives(self):
        # The prefix has every drive letter in use; C: and Z: are fixed.
        root = self.tree("fixed", {"marker.txt": b"m", "sub\\in.txt": b"i"})
        self.fresh_tool_folder()
        expect_equal("listall console", self.tavrin("listall"), b"")
        name, content = self.only_result(r"-?\d+allFiles\.txt")
        lines = content.decode("utf-8").split("\r\n")
        expect_equal("first line", lines[0], "")
        bad = [l for l in lines[1:] if not re.fullmatch(r"-?\d+, [CZ]:\\[^\\].*", l)]
        if bad:
            raise AssertionError("records not under C:\\ or Z:\\: %r" % bad[:5])
        for wanted in ("32, %s\\marker.txt" % root, "32, %s\\sub\\in.txt" % root,
                       # the run's own result file is a file like any other
                       "32, %s\\%s" % (TOOL_FOLDER, name),
                       # the last fixed drive of a list longer than 100 characters
                       "32, Z:\\onz.txt"):
            if wanted not in lines:
                raise AssertionError("missing record %r" % wanted)
        if lines[-1] != "32, Z:\\onz.txt":
            raise AssertionError("Z: is not walked after C:")
        for unwanted in (root, root + "\\sub"):
            if any(l.endswith(", " + unwanted) for l in lines):
                raise AssertionError("a directory was recorded: %r" % unwanted)
        # The other drives are readable: the fixed-drive form left them out by type.
        for drive, file in (("A", "onfloppy.txt"), ("D", "oncd.txt"), ("Y", "onnet.txt")):
            expect_equal("listall %s:\\" % drive, self.listall(drive + ":\\"),
                         "\n32, %s:\\%s" % (drive, file))

    def case_no_overwrite(self):
        # Every name the run can pick already exists, as a file or as a link:
        # it must use none of them, neither truncating nor writing through.
        root = self.tree("keep", {"walk\\a.txt": b"a"})
        target = self.unix(root) / "target"
        target.write_bytes(b"keep")

        def now():
            return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)

        offset, _ = self.tick_offset(root)
        # In the folder itself: a link or a mount in its place would be
        # refused for itself. Files are hard links of one: quick to make.
        self.fresh_tool_folder()
        keep = self.unix(root) / "keep"
        keep.write_bytes(b"keep")
        first = now() + offset - 1000
        tick = first
        while tick < now() + offset + 3000:  # stay well ahead of the clock
            taken = self.tool_folder / ("%dallFiles.txt" % tick)
            if tick % 2:
                taken.symlink_to(target)
            else:
                os.link(keep, taken)
            tick += 1
        rc, out, err = self.wine.run(self.exe, ("listall", root + "\\walk"))
        match = re.fullmatch(rb"Could not open file to write results (.*?)\r\n32, (.*)", out)
        if match:
            expect_equal("exit status with every name taken", rc, 1)
            expect_equal("stderr with every name taken", err, crlf(
                "tavrin: could not create the result file %s: the name and the next 100 are taken; "
                "the records follow on standard output\n"
                "tavrin: no result file: the 1 record is on standard output\n" % match.group(1).decode("utf-8")))
        else:
            created = sorted(p.name for p in self.tool_folder.iterdir()
                             if not re.fullmatch(r"\d+allFiles\.txt", p.name)
                             or not first <= int(p.name[:-12]) < tick)
            if created:
                raise Skip("the run's tick fell outside the names made (made %s)" % created)
            raise AssertionError("unexpected console %r" % out[:300])
        path = match.group(1).decode("utf-8")
        expect_equal("record", match.group(2).decode("utf-8"), root + "\\walk\\a.txt")
        name = re.fullmatch(re.escape(TOOL_FOLDER) + r"\\(\d+allFiles\.txt)", path).group(1)
        expect_equal("link target", target.read_bytes(), b"keep")
        # The message names the run's own tick; it and the next 100 were
        # tried, and every one is as it was planted.
        for number in range(int(name[:-12]), int(name[:-12]) + 101):
            planted = self.tool_folder / ("%dallFiles.txt" % number)
            expect_equal("name %s" % planted.name,
                         os.readlink(planted) if number % 2 else planted.read_bytes(),
                         str(target) if number % 2 else b"keep")
        expect_equal("names in the folder", len(list(self.tool_folder.iterdir())), tick - first)

    def tick_offset(self, root):
        """Wine's tick count minus this clock, from the name a list run of an
        empty folder picks (its empty file stays): at most the first number,
        at least the second."""
        empty = self.tree(root.rsplit("\\", 1)[-1] + "-empty", {})
        self.fresh_tool_folder()
        before = int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)
        self.tavrin("list", empty)
        after = int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)
        tick = int(self.only_result(r"\d+badFiles\.txt")[0][:-len("badFiles.txt")])
        return tick - before, tick - after

    def case_next_tick(self):
        # Every even name is taken: a run whose own tick is even takes the
        # next number, one whose tick is odd its own. Over several runs both
        # come up (each run has an even chance); never the console.
        root = self.tree("next", {"a.txt": b"a"})
        high, low = self.tick_offset(root)
        self.fresh_tool_folder()
        keep = self.unix(root).parent / "next-keep"
        keep.write_bytes(b"keep")

        def now():
            return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)
        first = now() + low - 500
        first -= first % 2
        last = first
        for _ in range(6):
            # Taken names well ahead of the clock, made as time goes on.
            while last < now() + high + 3000:
                os.link(keep, self.tool_folder / ("%dallFiles.txt" % last))
                last += 2
            expect_equal("console", self.tavrin("listall", root), b"")
            made = [p for p in self.tool_folder.iterdir() if p.read_bytes() != b"keep"]
            if len(made) != 1:
                raise AssertionError("expected one new result file, found %r" % made)
            number = int(re.fullmatch(r"(\d+)allFiles\.txt", made[0].name).group(1))
            if not first <= number < last:
                raise Skip("the run's tick fell outside the names made (%d not in %d..%d)"
                           % (number, first, last))
            expect_equal("number of the new file is odd", number % 2, 1)
            expect_equal("records", made[0].read_bytes(), crlf(records((32, root + "\\a.txt"))))
            made[0].unlink()
        expect_equal("names in the folder", len(list(self.tool_folder.iterdir())),
                     (last - first) // 2)

    def case_tool_folder(self):
        # A Wickline or Norvane that is a link to elsewhere is refused, and
        # nothing is written through it; a plain folder takes the records.
        root = self.tree("tf", {"a.txt": b"a"})
        elsewhere = self.unix(self.tree("tf-else", {}))
        norvane = self.tool_folder.parent
        real = norvane.parent / "NorvaneReal"

        def relink(level):
            if self.tool_folder.is_symlink():
                self.tool_folder.unlink()
            if norvane.is_symlink():
                norvane.unlink()
                real.rename(norvane)
            shutil.rmtree(self.tool_folder, ignore_errors=True)
            if level == "Wickline":
                self.tool_folder.symlink_to(elsewhere)
            elif level == "Norvane":
                self.tool_folder.mkdir()
                norvane.rename(real)
                norvane.symlink_to(elsewhere)
                (elsewhere / "Wickline").mkdir()
            else:
                self.tool_folder.mkdir()
        self.cleanups.append(lambda: relink(None))

        for level in ("Wickline", "Norvane"):
            relink(level)
            out = self.tavrin("listall", root, status=1, errors=re.compile(
                r"tavrin: could not create the result file .*: the folder .* is a link or belongs to "
                r"another user; the records follow on standard output\n"
                r"tavrin: no result file: the 1 record is on standard output\n")).decode("utf-8")
            match = re.fullmatch(r"Could not open file to write results (.*)\r\n32, (.*)", out)
            if not match:
                raise AssertionError("%s as a link: unexpected console %r" % (level, out[:300]))
            if not re.fullmatch(re.escape(TOOL_FOLDER) + r"\\-?\d+allFiles\.txt", match.group(1)):
                raise AssertionError("unexpected result path %r" % match.group(1))
            expect_equal("record", match.group(2), root + "\\a.txt")
            written = sorted(str(p.relative_to(elsewhere)) for p in elsewhere.rglob("*")
                             if not p.is_dir())
            expect_equal("files written through the %s link" % level, written, [])
        relink(None)
        expect_equal("listall into a plain folder", self.listall(root), records((32, root + "\\a.txt")))

    def case_links(self):
        root = self.tree("links", {"a.txt": b"a", "target\\in.txt": b"i"})
        unix = self.unix(root)
        (unix / "dirlink").symlink_to("target")  # a reparse-point directory (0x410)
        (unix / "filelink").symlink_to("a.txt")
        (unix / "dangling").symlink_to("nowhere")
        expect_equal("listall over links", self.listall(root), records(
            (32, root + "\\a.txt"),
            (32, root + "\\filelink"),
            (32, root + "\\target\\in.txt"),
        ))
        # Given as a root, the linked directory is walked.
        expect_equal("listall of a linked root", self.listall(root + "\\dirlink"),
                     records((32, root + "\\dirlink\\in.txt")))

        # Links deeper in, to a folder outside the tree and back to the root
        # (a loop), are not entered by set either: nothing outside changes.
        outside = self.tree("links-out", {"out.txt": b"o"})
        (unix / "target" / "away").symlink_to(self.unix(outside))
        (unix / "target" / "loop").symlink_to(unix)
        self.fresh_tool_folder()
        out = self.tavrin("set", "1", root).decode("utf-8").replace("\r\n", "\n")
        expect_equal("set over links", out, "".join(
            WARNING + "\n Attributes 1 successfully set to " + root + "\\" + name
            for name in ("a.txt", "filelink", "target\\in.txt")))
        expect_equal("words outside", self.listall(outside), records((32, outside + "\\out.txt")))
        os.chmod(unix / "a.txt", 0o644)
        os.chmod(unix / "target" / "in.txt", 0o644)

    def case_wildcard(self):
        root = self.tree("wild", {"a.txt": b"a", "ab.txt": b"b"})
        for args in ([root + "\\*.txt"], [root + "\\a?.txt"], [""]):
            self.fresh_tool_folder()
            error = ("tavrin: an empty path names no file or folder\n" if args == [""]
                     else "tavrin: cannot read %s: not found\n" % args[0])
            expect_equal("console for %r" % args, self.tavrin("listall", *args, status=2, errors=error), b"")
            # Failed with nothing recorded: no empty file is left behind.
            self.no_result()

    def big_tree(self, name, count):
        """A tree whose records exceed every buffer on the way out."""
        files = {"f%05d_%s.txt" % (i, "x" * 60): b"" for i in range(count)}
        root = self.tree(name, files)
        return root, records(*((32, root + "\\" + f) for f in sorted(files)))

    def case_missing_folder(self):
        root, expected = self.big_tree("miss", 2000)
        if self.tool_folder.exists():
            shutil.rmtree(self.tool_folder)
        self.cleanups.append(lambda: self.tool_folder.mkdir(parents=True, exist_ok=True))
        out = self.tavrin("listall", root, status=1, errors=re.compile(
            r"tavrin: could not create the result file .*allFiles\.txt: the folder "
            + re.escape(TOOL_FOLDER) + r" does not exist; create it with: " + re.escape(MAKE_TOOL_FOLDER)
            + r"; the records follow on standard output\n"
            r"tavrin: no result file: the 2,000 records are on standard output\n"))
        match = re.match(rb"Could not open file to write results (.*?)(\r\n|$)", out)
        if not match:
            raise AssertionError("no open-failure message: %r" % out[:200])
        path = match.group(1).decode("utf-8")
        if not re.fullmatch(re.escape(TOOL_FOLDER) + r"\\-?\d+allFiles\.txt", path):
            raise AssertionError("unexpected result path %r" % path)
        # Every record follows on the console, none lost (well over 64 KiB).
        expect_equal("console after the message", out[match.end(1):], crlf(expected))
        if self.tool_folder.exists():
            raise AssertionError("the tool folder was created")

    def case_write_failure(self):
        if os.geteuid() != 0 or not shutil.which("mount"):
            raise Skip("mounting a small file system needs root")
        root, expected = self.big_tree("wfail", 1000)
        # A 4 KiB file system holding the tool folder: the first chunk of
        # records does not fit. It is mounted on the application-data folder,
        # since a mount point at Norvane or Wickline is refused for itself.
        app_data = self.tool_folder.parent.parent
        proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "tavrin-test",
                               str(app_data)], capture_output=True)
        if proc.returncode != 0:
            raise Skip("cannot mount tmpfs: " + proc.stderr.decode(errors="replace").strip())
        self.cleanups.append(lambda: subprocess.run(["umount", "-l", str(app_data)]))
        self.tool_folder.mkdir(parents=True)
        out = self.tavrin("listall", root, status=1, errors=re.compile(
            r"tavrin: could not write to the result file .*: no space left on the disk; the records "
            r"follow on standard output\n"
            r"tavrin: the result file .*allFiles\.txt holds the records up to where it could not be "
            r"written; the rest are on standard output\n"))
        name, content = self.only_result(r"-?\d+allFiles\.txt")
        message = "\nCould not write to the result file %s\\%s, the records follow here" % (
            TOOL_FOLDER, name)
        expect_equal("console", out, crlf(message + expected))
        if not crlf(expected).startswith(content):
            raise AssertionError("the partial file is not a prefix of the records")

    def case_repair(self):
        root = self.tree("rep", {"Norvane\\ro.txt": b"r", "Norvane\\hs.txt": b"h",
                                 "Norvane\\plain.txt": b"p", "Norvane\\deep\\ro.txt": b"r",
                                 "lower-norvane\\ro.txt": b"r", "other\\ro.txt": b"r",
                                 "other\\hs.txt": b"h"})
        for f in ("Norvane\\ro.txt", "Norvane\\deep\\ro.txt", "lower-norvane\\ro.txt",
                  "other\\ro.txt"):
            self.read_only(root + "\\" + f)
        self.hidden_system(root + "\\Norvane\\hs.txt")
        self.hidden_system(root + "\\other\\hs.txt")
        self.fresh_tool_folder()
        expect_equal("repair console", self.tavrin("repair", root), b"")
        _, content = self.only_result(r"-?\d+couldNotFix\.txt")
        expect_equal("couldNotFix content", content, b"")
        # Under "Norvane" (exact case) everything is archive only; elsewhere
        # only the suspect word would be touched.
        expect_equal("words after repair", self.listall(root), records(
            (33, root + "\\lower-norvane\\ro.txt"),
            (32, root + "\\Norvane\\deep\\ro.txt"),
            (32, root + "\\Norvane\\hs.txt"),
            (32, root + "\\Norvane\\plain.txt"),
            (32, root + "\\Norvane\\ro.txt"),
            (38, root + "\\other\\hs.txt"),
            (33, root + "\\other\\ro.txt"),
        ))

    def case_refused(self):
        root = self.tree("ref", {"Norvane\\locked.txt": b"l", "Norvane\\ok.txt": b"o",
                                 "free.txt": b"f"})
        for f in ("Norvane\\locked.txt", "Norvane\\ok.txt", "free.txt"):
            self.read_only(root + "\\" + f)
        locked = root + "\\Norvane\\locked.txt"
        self.immutable(locked)
        self.fresh_tool_folder()
        expect_equal("repair console", self.tavrin("repair", root, status=1, errors=re.compile(
            r"tavrin: 1 file could not be repaired: listed in " + re.escape(TOOL_FOLDER) +
            r"\\-?\d+couldNotFix\.txt and as FlagsR lines on standard output\n")),
                     crlf("\n FlagsR: 33, File: " + locked))
        _, content = self.only_result(r"-?\d+couldNotFix\.txt")
        expect_equal("couldNotFix content", content, crlf(records((33, locked))))

        self.fresh_tool_folder()
        expect_equal("set console", self.tavrin("set", "0", locked, root + "\\free.txt", status=1, errors=(
            'tavrin: 1 file could not be set: see the "Could not set attributes" lines on standard output\n')), crlf(
            WARNING + "\n Could not set attributes to " + locked +
            WARNING + "\n Attributes 0 successfully set to " + root + "\\free.txt"))
        expect_equal("words after", self.listall(root), records(
            (32, root + "\\free.txt"), (33, locked), (32, root + "\\Norvane\\ok.txt")))

    def case_set(self):
        root = self.tree("set", {"a.txt": b"a", "dir\\b.txt": b"b", "dir\\c.txt": b"c"})
        self.fresh_tool_folder()
        out = self.tavrin("set", "33", root + "\\a.txt", root + "\\dir", root + "\\nothing", status=2,
                          errors="tavrin: cannot read %s\\nothing: not found\n" % root)
        expect_equal("set console", out, crlf(
            WARNING + "\n Attributes 33 successfully set to " + root + "\\a.txt" +
            WARNING + "\n Attributes 33 successfully set to " + root + "\\dir\\b.txt" +
            WARNING + "\n Attributes 33 successfully set to " + root + "\\dir\\c.txt"))
        # The run failed (a root is missing) and recorded nothing: the
        # empty file named by the tick alone is taken back.
        self.no_result()
        expect_equal("words after set", self.listall(root), records(
            (33, root + "\\a.txt"), (33, root + "\\dir\\b.txt"), (33, root + "\\dir\\c.txt")))

        # A word written in hex is refused, with its decimal equivalent: nothing is written.
        self.fresh_tool_folder()
        os.chmod(self.unix(root + "\\a.txt"), 0o444)
        for word, decimal in (("0x80", 128), ("0x20", 32)):
            error = "tavrin: %s is not a decimal number (%s is %d)\n" % (word, word, decimal)
            expect_equal("set " + word, self.tavrin("set", word, root + "\\a.txt", status=2, errors=error), b"")
        # An incomplete set is a usage error.
        for args in (["set"], ["set", "33"]):
            error = "tavrin: set needs a word and at least one path: tavrin set WORD path ...\n"
            expect_equal("console for %r" % args, self.tavrin(*args, status=2, errors=error), b"")
        self.no_result()
        expect_equal("words after", self.listall(root + "\\a.txt"), records((33, root + "\\a.txt")))
        os.chmod(self.unix(root + "\\a.txt"), 0o644)

    def case_unicode(self):
        names = ["Привет_世界.txt", "café.txt", "smile_\U0001F600.txt"]
        root = self.tree("uni", {n: b"u" for n in names})
        expected = records(*((32, root + "\\" + n) for n in sorted(names, key=str.casefold)))
        self.fresh_tool_folder()
        expect_equal("listall console", self.tavrin("listall", root), b"")
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        # UTF-8 throughout, a character beyond the BMP as one 4-byte sequence.
        expect_equal("allFiles bytes", content, crlf(expected))
        path = root + "\\" + names[0]
        self.fresh_tool_folder()
        expect_equal("set console", self.tavrin("set", "1", path),
                     crlf(WARNING + "\n Attributes 1 successfully set to " + path))


    def console_run(self, *args, stderr=""):
        """Runs tavrin.exe with a terminal (`script`) as its console, 200
        columns wide; returns what the terminal showed, Wine's own escapes and
        carriage returns taken out."""
        if not shutil.which("script"):
            raise Skip("script (util-linux) is not installed")
        command = " ".join(shlex.quote(a) for a in [self.wine.wine, str(self.exe), *args])
        with tempfile.TemporaryFile() as out:
            subprocess.run(["script", "-qec", "stty cols 200 rows 50; " + command + stderr, "/dev/null"],
                           env=self.wine.env(), cwd=self.wine.drive_c, stdin=subprocess.DEVNULL,
                           stdout=out, stderr=subprocess.STDOUT, timeout=120)
            out.seek(0)
            shown = out.read()
        shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|\r", b"", shown)
        return shown.decode("utf-8", errors="replace")

    # Names Win32 path parsing would change (a trailing dot or blank, several
    # dots, device names) beside the names they would turn into. Read-only
    # marks one of each pair, so a mix-up shows in the word.
    LITERAL_FILES = {
        "foo.": True, "foo": False, "bar ": True, "bar": False, "a...": True, "a": False,
        "dev\\CON": True, "dev\\COM1": True, "dev\\nul.txt": True, "dev\\plain": False,
        "sub.\\x.txt": True, "sub\\y.txt": False, "dir \\w.txt": True, "dir\\v.txt": False,
        "CON\\z.txt": True, "COM1\\z.txt": True, "nul.txt\\z.txt": True,
    }

    def literal_tree(self):
        root = self.tree("lit", {name: b"x" for name in self.LITERAL_FILES})
        for name, read_only in self.LITERAL_FILES.items():
            if read_only:
                self.read_only(root + "\\" + name)
        return root

    def case_literal_names(self):
        root = self.literal_tree()
        got = sorted(self.listall(root).split("\n")[1:])
        expect_equal("listall of look-alike names", got, sorted(
            "%d, %s\\%s" % (33 if ro else 32, root, name) for name, ro in self.LITERAL_FILES.items()))
        # set reaches each file as itself: every one ends read-only, and each
        # is named once.
        for name in self.LITERAL_FILES:
            os.chmod(self.unix(root + "\\" + name), 0o644)
        self.fresh_tool_folder()
        out = self.tavrin("set", "1", root).decode("utf-8").replace("\r\n", "\n")
        expect_equal("set messages", sorted(out.split(WARNING)[1:]), sorted(
            "\n Attributes 1 successfully set to %s\\%s" % (root, name) for name in self.LITERAL_FILES))
        writable = [name for name in self.LITERAL_FILES
                    if os.stat(self.unix(root + "\\" + name)).st_mode & 0o222]
        expect_equal("files left writable by set", writable, [])

    def case_exit_statuses(self):
        # What a batch file sees in %ERRORLEVEL%: cmd /c hands on the status.
        root = self.tree("status", {"a.txt": b"a", "locked.txt": b"l"})
        self.immutable(root + "\\locked.txt")
        exe = self.unix("C:\\t\\tavrin.exe")
        shutil.copyfile(self.exe, exe)
        self.cleanups.append(lambda: exe.unlink())
        cases = [
            (["list", root], 0),
            (["lst", root], 2),
            (["list", root + "\\nothing"], 2),
            (["set", "0x20", root + "\\a.txt"], 2),
            (["set", "32"], 2),
            (["set", "33", root + "\\locked.txt", root + "\\a.txt"], 1),
            (["/?"], 0),
            (["--help"], 0),
            (["-h"], 0),
        ]
        for args, status in cases:
            self.fresh_tool_folder()
            rc, _, _ = self.wine.run("cmd", ["/c", "C:\\t\\tavrin.exe"] + args)
            expect_equal("status of cmd /c tavrin.exe %s" % " ".join(args), rc, status)
        expect_equal("words after", self.listall(root), records((33, root + "\\a.txt"),
                                                               (32, root + "\\locked.txt")))

    def case_path_limit(self):
        # The literal form lifts no limit: a path as built that reaches
        # MAX_PATH (260) is refused as Windows refuses it without the prefix.
        base = "C:\\t\\lim\\"
        near = "a" * (257 - len(base))    # a folder of 257: its pattern is 259
        over = "b" * (258 - len(base))    # a folder of 258: its pattern is 260
        root = self.tree("lim", {near + "\\x": b"x", near + "\\xy": b"x", over + "\\z": b"x"})
        self.cleanups.append(lambda: shutil.rmtree(self.unix(root)))  # not for later scans
        self.fresh_tool_folder()
        out = self.tavrin("listall", root, status=1,
                          errors="tavrin: could not list %s%s: the path is too long\n"
                                 "tavrin: 1 folder could not be listed, named above\n"
                                 "tavrin: 1 file could not be read: see the INVALID_FILE_ATTRIBUTES lines on "
                                 "standard output\n" % (base, over))
        expect_equal("console", out, crlf("\nINVALID_FILE_ATTRIBUTES for %s%s\\xy" % (base, near)))
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        expect_equal("records", content, crlf(records((32, base + near + "\\x"))))

    def interrupted_listall(self, root, started):
        """Runs listall over `root` and sends SIGINT (which Wine delivers as
        a CTRL_C_EVENT) once `started(console file)` says the walk is under
        way. Returns the exit status and the console bytes."""
        with tempfile.TemporaryFile() as out:
            # Background jobs of a shell ignore SIGINT; the run must not.
            proc = subprocess.Popen(["env", "--default-signal=INT", self.wine.wine, str(self.exe),
                                     "listall", root], env=self.wine.env(), cwd=self.wine.drive_c,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 60
                while proc.poll() is None and time.monotonic() < deadline and not started(out):
                    time.sleep(0.01)
                proc.send_signal(signal.SIGINT)
                rc = proc.wait(timeout=120)
            finally:
                if proc.poll() is None:
                    proc.kill()
            out.seek(0)
            return rc, out.read()

    def case_interrupt(self):
        # Ctrl+C in the middle of a large listall: the run stops at a file
        # boundary, every record found is written whole, and the run ends
        # with STATUS_CONTROL_C_EXIT (0xC000013A), whose low byte the shell sees.
        folders, per_folder = 20, 1000
        files = {"d%02d\\f%05d.txt" % (d, i): b"" for d in range(folders) for i in range(per_folder)}
        root = self.tree("intr", files)
        expected = ["\n32, %s\\%s" % (root, f) for f in sorted(files)]

        def whole_prefix(what, text):
            count = text.count("\n")
            if count >= len(expected):
                raise Skip("the run ended before the signal came (%d records)" % count)
            if count == 0 or text != "".join(expected[:count]):
                raise AssertionError("%s is not a whole prefix of the records: %d records, ends %r"
                                     % (what, count, text[-200:]))

        # Into the result file: the first chunk of records is there.
        self.fresh_tool_folder()

        def file_started(_):
            results = list(self.tool_folder.iterdir())
            return results and results[0].stat().st_size > 0
        rc, console = self.interrupted_listall(root, file_started)
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        whole_prefix("the result file", content.decode("utf-8").replace("\r\n", "\n"))
        expect_equal("exit status", rc, 0x3A)
        expect_equal("console", console, b"")

        # No tool folder, the output redirected: the records buffered for the
        # console come out before the run ends.
        shutil.rmtree(self.tool_folder)
        self.cleanups.append(lambda: self.tool_folder.mkdir(parents=True, exist_ok=True))
        # The open-failure message comes out at once; the first block of
        # records (64 KiB) says the walk is under way.
        rc, console = self.interrupted_listall(root, lambda out: os.fstat(out.fileno()).st_size > 65536)
        text = console.decode("utf-8").replace("\r\n", "\n")
        match = re.match(r"Could not open file to write results [^\n]*allFiles\.txt", text)
        if not match:
            raise AssertionError("no open-failure message: %r" % text[:200])
        whole_prefix("the console", text[match.end():])
        expect_equal("exit status without a tool folder", rc, 0x3A)

    def case_closed_output(self):
        # No standard output at all: the run still does its work, ends with 0,
        # and no console text lands anywhere else (the result file).
        root = self.tree("closed", {"a.txt": b"a", "sub\\b.txt": b"b"})
        for redirect in (">&-", "1</dev/null"):
            self.fresh_tool_folder()
            command = "exec %s %s set 1 %s %s" % (
                shlex.quote(self.wine.wine), shlex.quote(str(self.exe)), shlex.quote(root),
                redirect)
            proc = subprocess.run(["sh", "-c", command], env=self.wine.env(), cwd=self.wine.drive_c,
                                  stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
            expect_equal("exit code with %s" % redirect, proc.returncode, 0)
            _, content = self.only_result(r"-?\d+")
            expect_equal("set result file with %s" % redirect, content, b"")
            expect_equal("words after set", self.listall(root), records(
                (33, root + "\\a.txt"), (33, root + "\\sub\\b.txt")))
            for f in ("a.txt", "sub/b.txt"):
                os.chmod(self.unix(root) / f, 0o644)

    def case_console(self):
        # On a terminal the text goes through WriteConsoleW to Wine's console,
        # which draws it on the tty (with its own escapes and carriage returns).
        # Standard error goes elsewhere: the summary is not part of this case.
        name = "Привет_世界.txt"  # Wine's console cannot show beyond the BMP
        root = self.tree("con", {name: b"c"})
        path = root + "\\" + name
        self.fresh_tool_folder()
        # At a terminal the last message ends with a line feed: the prompt
        # starts a line of its own.
        expect_equal("console text", self.console_run("set", "1", path, stderr=" 2>/dev/null"),
                     WARNING + "\n Attributes 1 successfully set to " + path + "\n")

    def case_console_summary(self):
        # Standard error on the console too: the summary follows the
        # console text on a line of its own, and says where the records are.
        root = self.tree("sum", {"a.txt": b"a", "b.txt": b"b"})
        missing = "C:\\t\\nosuch"
        self.fresh_tool_folder()
        # A loaded machine may take the half second after which the status
        # line shows; it is erased before the summary.
        shown = re.sub(r"listall [0-9]+:[0-9]{2}  [^\n]*?(?=listall done)", "",
                       self.console_run("listall", root, missing))
        name, _ = self.only_result(r"-?[0-9]+allFiles\.txt")
        summary = re.fullmatch(
            r"tavrin: cannot read (.*): not found\n"
            r"listall done in [0-9]+\.[0-9] s: 2 files checked, 2 records, 0 unreadable\.\n"
            r"Records: (.*)\nCould not read: (.*)\n", shown)
        if not summary:
            raise AssertionError("unexpected screen %r" % shown)
        expect_equal("error line", summary.group(1), missing)
        expect_equal("result file", summary.group(2), TOOL_FOLDER + "\\" + name)
        expect_equal("missing root", summary.group(3), missing)
        # Without a tool folder the records come to the console, and the
        # summary says which folder to create.
        shutil.rmtree(self.tool_folder)
        shown = self.console_run("listall", root)
        # The error line (which the console may wrap) on its own, before the records.
        error = re.search(r"\n(tavrin: could not create the result file .*?standard output)\n", shown, re.S)
        expect_equal("error line in %r" % shown, error and error.group(1).replace("\n", "").endswith(
            "does not exist; create it with: %s; the records follow on standard output" % MAKE_TOOL_FOLDER),
            True)
        shown = shown[:error.start()] + shown[error.end():] if error else shown
        expect_equal("records on the console", shown.split("\nlistall done")[0],
                     "Could not open file to write results " + TOOL_FOLDER + "\\" +
                     re.search(r"results C:.*Wickline\\(-?[0-9]+allFiles\.txt)", shown).group(1) +
                     records((32, root + "\\a.txt"), (32, root + "\\b.txt")))
        expect_equal("where the records are", shown.split("\n")[-2],
                     "Records: on the screen above; no result file: the folder " + TOOL_FOLDER +
                     " does not exist; create it to keep them")


    # -- typed paths, the result file while it grows, stops, names on a console

    def case_typed_roots(self):
        # A path typed back from a record names that record's entry: "dot."
        # beside "dot" and "sub." beside "sub", given absolute or relative
        # (the current folder is C:\), are read and changed as themselves.
        root = self.tree("typed", {"dot": b"a", "dot.": b"b", "sub\\x.txt": b"c", "sub.\\x.txt": b"d",
                                   "only": b"e"})
        relative = root[3:]
        self.read_only(root + "\\dot.")
        self.read_only(root + "\\sub.\\x.txt")
        for typed in (root + "\\dot.", relative + "\\dot.", root + "\\sub\\..\\dot.",
                      root + "\\sub.\\x.txt", relative + "\\.\\sub.\\x.txt"):
            expect_equal("listall " + typed, self.listall(typed), records((33, typed)))
        for typed in (root + "\\sub.", relative + "\\sub.\\"):
            expect_equal("listall " + typed, self.listall(typed),
                         records((33, typed.rstrip("\\") + "\\x.txt")))
        # With no such entry, the path means what Win32 makes of it, and the
        # record still shows it as typed.
        expect_equal("listall of a trimmed name", self.listall(root + "\\only."),
                     records((32, root + "\\only.")))

        # set changes the entry named, and only that one.
        for name in ("dot.", "sub.\\x.txt"):
            os.chmod(self.unix(root + "\\" + name), 0o644)
        self.fresh_tool_folder()
        out = self.tavrin("set", "1", root + "\\dot.", relative + "\\sub.")
        expect_equal("set console", out, crlf(
            WARNING + "\n Attributes 1 successfully set to " + root + "\\dot." +
            WARNING + "\n Attributes 1 successfully set to " + relative + "\\sub.\\x.txt"))
        expect_equal("words after set", sorted(self.listall(root).split("\n")[1:]), sorted([
            "32, %s\\dot" % root, "33, %s\\dot." % root, "32, %s\\only" % root,
            "32, %s\\sub\\x.txt" % root, "33, %s\\sub.\\x.txt" % root]))

    def case_drive_relative(self):
        # "C:" is the current folder of drive C: (dir C: lists it), not the
        # drive's root: from a folder, "C:" and "C:sub" walk that folder only,
        # and the records keep the typed form.
        root = self.tree("drel", {"a.txt": b"a", "sub\\b.txt": b"b"})
        folder = self.unix(root)

        def run(*args, status=0):
            rc, out, err = self.wine._run([self.wine.wine, str(self.exe)] + list(args), folder, 600)
            expect_equal("status of %s" % " ".join(args), rc, status)
            expect_equal("stderr of %s" % " ".join(args), err, b"")
            return out

        self.fresh_tool_folder()
        expect_equal("listall C: C:sub", run("listall", "C:", "C:sub"), b"")
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        expect_equal("records", content, crlf(records((32, "C:a.txt"), (32, "C:sub\\b.txt"),
                                                      (32, "C:sub\\b.txt"))))
        self.fresh_tool_folder()
        expect_equal("set 1 C:", run("set", "1", "C:"), crlf(
            WARNING + "\n Attributes 1 successfully set to C:a.txt" +
            WARNING + "\n Attributes 1 successfully set to C:sub\\b.txt"))
        expect_equal("words after", self.listall(root), records((33, root + "\\a.txt"),
                                                               (33, root + "\\sub\\b.txt")))

    def running(self, args, stdout):
        """Starts tavrin.exe with `args` in the background (SIGINT left to it)."""
        return subprocess.Popen(["env", "--default-signal=INT", self.wine.wine, str(self.exe)] + args,
                                env=self.wine.env(), cwd=self.wine.drive_c, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=subprocess.DEVNULL)

    @staticmethod
    def wait_for(what, condition, proc, seconds=60):
        deadline = time.monotonic() + seconds
        while not condition():
            if proc.poll() is not None:
                raise Skip("the run ended before %s" % what)
            if time.monotonic() > deadline:
                raise AssertionError("no %s within %d s" % (what, seconds))
            time.sleep(0.005)

    def case_watched_result(self):
        # The result file of a run still going on can be read (type, copy, a
        # script collecting it), but neither written nor deleted by others.
        root = self.tree("watch", {"d%02d\\f%05d.txt" % (d, i): b"" for d in range(20) for i in range(1000)})
        self.cleanups.append(lambda: shutil.rmtree(self.unix(root)))  # not for later scans
        self.fresh_tool_folder()
        with tempfile.TemporaryFile() as out:
            proc = self.running(["listall", root], out)
            try:
                def has_records():
                    found = list(self.tool_folder.iterdir())
                    return found and found[0].stat().st_size > 0
                self.wait_for("records in the result file", has_records, proc)
                os.kill(proc.pid, signal.SIGSTOP)  # held open mid-run
                try:
                    result = next(self.tool_folder.iterdir())
                    windows = TOOL_FOLDER + "\\" + result.name
                    # Wine's type asks that nobody write: copy reads as a watcher does.
                    copy = self.unix("C:\\t\\watch-copy.txt")
                    rc, _, _ = self.wine.run("cmd", ["/c", "copy", windows, "C:\\t\\watch-copy.txt"])
                    before = result.read_bytes()
                    expect_equal("copy of the growing result file",
                                 (rc, copy.read_bytes() if copy.exists() else None), (0, before))
                    copy.unlink()
                    self.wine.run("cmd", ["/c", "echo planted>>" + windows])
                    if result.read_bytes() != before:
                        raise AssertionError("another program wrote to the result file")
                    rc, _, _ = self.wine.run("cmd", ["/c", "del", windows])
                    if not result.exists():
                        raise AssertionError("another program deleted the result file (%d)" % rc)
                finally:
                    os.kill(proc.pid, signal.SIGCONT)
                expect_equal("exit status", proc.wait(timeout=300), 0)
            finally:
                if proc.poll() is None:
                    proc.kill()
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        expect_equal("records", content.count(b"\r\n"), 20000)

    def case_second_interrupt(self):
        # A run stuck writing to a pipe nobody reads: the first Ctrl+C asks
        # it to stop at the next file, which never comes; the second ends it.
        root = self.tree("stuck", {"f%05d_%s.txt" % (i, "x" * 60): b"" for i in range(3000)})
        self.cleanups.append(lambda: shutil.rmtree(self.unix(root)))
        read_end, write_end = os.pipe()
        try:
            proc = self.running(["set", "1", root], write_end)
            os.close(write_end)
            write_end = None
            try:
                def pipe_full():
                    waiting = array.array("i", [0])
                    fcntl.ioctl(read_end, termios.FIONREAD, waiting)
                    return waiting[0] >= 65536
                self.wait_for("a full pipe", pipe_full, proc)
                time.sleep(0.5)  # the run is blocked in its write, not between files
                proc.send_signal(signal.SIGINT)
                time.sleep(1)
                if proc.poll() is not None:
                    raise AssertionError("the first Ctrl+C ended a run blocked on its output (%d)"
                                         % proc.returncode)
                proc.send_signal(signal.SIGINT)
                try:
                    rc = proc.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    raise AssertionError("a second Ctrl+C did not end the run")
                expect_equal("exit status", rc, 0x3A)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)

    def case_escaped_names(self):
        # A name holding ESC cannot steer the console it is shown on: there
        # it is shown as \x1b; redirected, the bytes are kept. Wine lists
        # such a name but refuses to open it, so it comes up unreadable.
        name = "e\x1b[31mred\x07.txt"
        root = self.tree("esc", {name: b"e"})
        # Unreadable under Wine: a later scan of C:\ must not meet it.
        self.cleanups.append(lambda: shutil.rmtree(self.unix(root)))
        path = root + "\\" + name
        shown = path.replace("\x1b", "\\x1b").replace("\x07", "\\x07")
        missing = root + "\\gone\x1b[2J"
        self.fresh_tool_folder()
        screen = self.console_run("listall", root, missing)
        expect_equal("console of a name with ESC", screen.split("\nlistall done")[0],
                     "\nINVALID_FILE_ATTRIBUTES for %s\ntavrin: cannot read %s: not found"
                     % (shown, missing.replace("\x1b", "\\x1b")))
        if "\x1b[31m" in screen or "\x1b[2J" in screen or "\x07" in screen:
            raise AssertionError("control characters reached the console: %r" % screen)
        self.fresh_tool_folder()
        out = self.tavrin("listall", root, missing, status=2,
                          errors="tavrin: cannot read %s: not found\n"
                                 "tavrin: 1 file could not be read: see the INVALID_FILE_ATTRIBUTES lines on "
                                 "standard output\n" % missing)
        expect_equal("redirected console", out, crlf("\nINVALID_FILE_ATTRIBUTES for " + path))

    def case_swapped_folder(self):
        # set and repair reach each file through the folder that listed it:
        # a folder swapped for a link to elsewhere while the run is inside it
        # (the run stopped there, the folder moved, a link put in its place)
        # never leads a change outside the tree.
        count = 3000
        names = ["f%05d" % i for i in range(count)]
        for command, root_name, before, after in (("set", "swap", 0o644, 0o444),
                                                  ("repair", "Norvane-swap", 0o444, 0o644)):
            root = self.tree(root_name, {"x\\" + n: b"" for n in names})
            outside = self.tree(root_name + "-out", {n: b"" for n in names})
            for made in (root, outside):
                self.cleanups.append(lambda made=made: shutil.rmtree(self.unix(made)))
            folder, moved = self.unix(root) / "x", self.unix(root) / "x.moved"
            for f in names:
                os.chmod(folder / f, before)
                os.chmod(self.unix(outside) / f, before)
            args = ["set", "1", root] if command == "set" else ["repair", root]
            self.fresh_tool_folder()
            with tempfile.TemporaryFile() as out:
                proc = self.running(args, out)
                try:
                    def inside():
                        try:
                            fds = os.listdir("/proc/%d/fd" % proc.pid)
                        except OSError:
                            return False
                        for fd in fds:
                            try:
                                if os.readlink("/proc/%d/fd/%s" % (proc.pid, fd)) == str(folder):
                                    return True
                            except OSError:
                                pass
                        return False
                    self.wait_for("the walk in %s" % folder, inside, proc)
                    os.kill(proc.pid, signal.SIGSTOP)
                    changed = sum(1 for f in names if (folder / f).stat().st_mode & 0o777 == after)
                    folder.rename(moved)
                    folder.symlink_to(self.unix(outside))
                    os.kill(proc.pid, signal.SIGCONT)
                    rc = proc.wait(timeout=300)
                finally:
                    if proc.poll() is None:
                        os.kill(proc.pid, signal.SIGCONT)
                        proc.kill()
            if changed == count:
                raise Skip("%s had changed every file before it was stopped" % command)
            expect_equal("%s: exit status" % command, rc, 0)
            touched = [f for f in names if (self.unix(outside) / f).stat().st_mode & 0o777 != before]
            expect_equal("%s: files changed outside the tree (%d changed before the swap)"
                         % (command, changed), touched[:5], [])
            left = [f for f in names if (moved / f).stat().st_mode & 0o777 != after]
            expect_equal("%s: files of the moved folder left unchanged" % command, left[:5], [])


def pe_resource(data, type_id, name_id):
    """The bytes of resource (`type_id`, `name_id`) of a PE image, or None."""
    def u16(o):
        return int.from_bytes(data[o:o + 2], "little")

    def u32(o):
        return int.from_bytes(data[o:o + 4], "little")

    pe = u32(0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("not a PE image")
    sections, opt_size = u16(pe + 6), u16(pe + 20)
    opt = pe + 24
    data_dirs = opt + (112 if u16(opt) == 0x20B else 96)
    rsrc_rva = u32(data_dirs + 2 * 8)

    def offset(rva):
        for i in range(sections):
            s = opt + opt_size + 40 * i
            va, raw_size, raw = u32(s + 12), u32(s + 16), u32(s + 20)
            if va <= rva < va + max(raw_size, u32(s + 8)):
                return rva - va + raw
        raise AssertionError("RVA %#x is in no section" % rva)

    base = offset(rsrc_rva)

    def child(directory, wanted):
        named, ids = u16(directory + 12), u16(directory + 14)
        for i in range(named + ids):
            entry = directory + 16 + 8 * i
            if wanted is None or (i >= named and u32(entry) == wanted):
                return u32(entry + 4)
        return None

    level = 0
    for wanted in (type_id, name_id, None):
        ref = child(base + level, wanted)
        if ref is None:
            return None
        level = ref & 0x7FFFFFFF
    rva, size = u32(base + level), u32(base + level + 4)
    return data[offset(rva):offset(rva) + size]


# supportedOS ids: Windows 7, 8, 8.1, and 10 and 11.
SUPPORTED_OS = ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")


def pe_versions(data):
    """(OS version, subsystem version, subsystem) from the optional header."""
    pe = int.from_bytes(data[0x3C:0x40], "little")
    opt = pe + 24

    def u16(o):
        return int.from_bytes(data[opt + o:opt + o + 2], "little")
    return (u16(40), u16(42)), (u16(48), u16(50)), u16(68)


def case_manifest(exe):
    data = Path(exe).read_bytes()
    # Windows 7 at least: before it the fast listing flag is refused.
    expect_equal("PE versions", pe_versions(data), ((6, 1), (6, 1), 3))
    manifest = pe_resource(data, 24, 1)
    if manifest is None:
        raise AssertionError("no RT_MANIFEST resource 1")
    text = manifest.decode("utf-8")
    if not re.search(r'<requestedExecutionLevel\s+level="asInvoker"', text):
        raise AssertionError("the manifest does not request asInvoker")
    if "longPathAware" in text:
        raise AssertionError("the manifest declares long-path awareness")
    ids = re.findall(r'<supportedOS\s+Id="\{([0-9a-f-]+)\}"\s*/>', text)
    expect_equal("supportedOS ids", sorted(ids), sorted(SUPPORTED_OS))
    version = pe_resource(data, 16, 1)
    if version is None:
        raise AssertionError("no version resource")
    for key, value in (("ProductName", "tavrin"), ("OriginalFilename", "tavrin.exe")):
        if (key + "\0").encode("utf-16-le") not in version or \
                (value + "\0").encode("utf-16-le") not in version:
            raise AssertionError("version resource lacks %s %s" % (key, value))


SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll",
               "ucrtbase.dll", "ntdll.dll"}


def case_imports(exe, objdump):
    if not objdump or not shutil.which(objdump):
        raise Skip("objdump for PE images is not installed")
    out = subprocess.run([objdump, "-p", str(exe)], capture_output=True, check=True).stdout
    dlls = re.findall(rb"DLL Name: (\S+)", out)
    if not dlls:
        raise AssertionError("objdump listed no imports")
    foreign = [d.decode() for d in dlls
               if d.decode().lower() not in SYSTEM_DLLS and not d.lower().startswith(b"api-ms-win-")]
    if foreign:
        raise AssertionError("imports DLLs that are not part of Windows: %r" % foreign)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state", required=True, help="folder for the prefix and its home")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--objdump")
    parser.add_argument("case")
    opts = parser.parse_args()

    try:
        if opts.case == "manifest":
            case_manifest(opts.exe)
        elif opts.case == "imports":
            case_imports(opts.exe, opts.objdump)
        else:
            run_wine_case(opts)
    except Skip as e:
        print("skipped: %s" % e)
        return SKIP
    except AssertionError as e:
        print("FAIL %s: %s" % (opts.case, e))
        return 1
    print("ok %s" % opts.case)
    return 0


def run_wine_case(opts):
    wine = WinePrefix(opts.state)
    if opts.case == "shutdown":
        wine.stop_server()
        return
    reason = wine.missing_tools()
    if reason:
        raise Skip(reason)
    if opts.case == "setup":
        try:
            wine.create()
        except (PrefixError, OSError) as e:
            raise Skip("cannot make a Wine prefix: %s" % e)
        wine.start_server()
        return
    if not wine.ready():
        raise Skip("no Wine prefix (its setup was skipped or failed)")
    suite = Suite(wine, opts.exe)
    method = getattr(suite, "case_" + opts.case, None)
    if method is None:
        raise AssertionError("unknown case " + opts.case)
    wine.start_server()
    try:
        method()
    finally:
        for cleanup in reversed(suite.cleanups):
            cleanup()


if __name__ == "__main__":
    sys.exit(main())
