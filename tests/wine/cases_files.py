"""The suite's cases about what a run reads and writes: usage, records,
roots as typed, links, the tool folder, set and repair, exit statuses.
Each runs through the host, so the same code checks Wine and Windows."""

import os
import re
import shutil

from suite_base import (MAKE_TOOL_FOLDER, TOOL_FOLDER, USAGE, WARNING, Skip, SuiteBase, crlf, expect_equal,  # noqa: F401
                        records)


class FileCases(SuiteBase):
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
        self.host.needs_wine("the prefix's drive layout (every letter in use, Z: a small fixed drive)")
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

    def case_tool_folder(self):
        # A Wickline or Norvane that is a link to elsewhere is refused, and
        # nothing is written through it; a plain folder takes the records.
        root = self.tree("tf", {"a.txt": b"a"})
        elsewhere = self.local(self.tree("tf-else", {}))
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
                self.tool_folder.symlink_to(elsewhere, target_is_directory=True)
            elif level == "Norvane":
                self.tool_folder.mkdir()
                norvane.rename(real)
                norvane.symlink_to(elsewhere, target_is_directory=True)
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
        unix = self.local(root)
        (unix / "dirlink").symlink_to("target", target_is_directory=True)  # a reparse-point directory (0x410)
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
        (unix / "target" / "away").symlink_to(self.local(outside), target_is_directory=True)
        (unix / "target" / "loop").symlink_to(unix, target_is_directory=True)
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
        root, expected = self.big_tree("wfail", 1000)
        # A 4 KiB file system holding the tool folder: the first chunk of
        # records does not fit. It is mounted on the application-data folder,
        # since a mount point at Norvane or Wickline is refused for itself.
        app_data = self.tool_folder.parent.parent
        self.cleanups.append(self.host.small_volume(app_data))
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
        os.chmod(self.local(root + "\\a.txt"), 0o444)
        for word, decimal in (("0x80", 128), ("0x20", 32)):
            error = "tavrin: %s is not a decimal number (%s is %d)\n" % (word, word, decimal)
            expect_equal("set " + word, self.tavrin("set", word, root + "\\a.txt", status=2, errors=error), b"")
        # An incomplete set is a usage error.
        for args in (["set"], ["set", "33"]):
            error = "tavrin: set needs a word and at least one path: tavrin set WORD path ...\n"
            expect_equal("console for %r" % args, self.tavrin(*args, status=2, errors=error), b"")
        self.no_result()
        expect_equal("words after", self.listall(root + "\\a.txt"), records((33, root + "\\a.txt")))
        os.chmod(self.local(root + "\\a.txt"), 0o644)

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
            os.chmod(self.local(root + "\\" + name), 0o644)
        self.fresh_tool_folder()
        out = self.tavrin("set", "1", root).decode("utf-8").replace("\r\n", "\n")
        expect_equal("set messages", sorted(out.split(WARNING)[1:]), sorted(
            "\n Attributes 1 successfully set to %s\\%s" % (root, name) for name in self.LITERAL_FILES))
        writable = [name for name in self.LITERAL_FILES
                    if os.stat(self.local(root + "\\" + name)).st_mode & 0o222]
        expect_equal("files left writable by set", writable, [])

    def case_exit_statuses(self):
        # What a batch file sees in %ERRORLEVEL%: cmd /c hands on the status.
        root = self.tree("status", {"a.txt": b"a", "locked.txt": b"l"})
        self.immutable(root + "\\locked.txt")
        exe = self.host.base + "\\tavrin.exe"
        self.host.copy_of_tavrin(exe)
        self.cleanups.append(lambda: self.local(exe).unlink())
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
            rc, _, _ = self.host.cmd([exe] + args)
            expect_equal("status of cmd /c tavrin.exe %s" % " ".join(args), rc, status)
        expect_equal("words after", self.listall(root), records((33, root + "\\a.txt"),
                                                               (32, root + "\\locked.txt")))

    def case_path_limit(self):
        # The literal form lifts no limit: a path as built that reaches
        # MAX_PATH (260) is refused as Windows refuses it without the prefix.
        base = self.host.base + "\\lim\\"
        near = "a" * (257 - len(base))    # a folder of 257: its pattern is 259
        over = "b" * (258 - len(base))    # a folder of 258: its pattern is 260
        root = self.tree("lim", {near + "\\x": b"x", near + "\\xy": b"x", over + "\\z": b"x"})
        self.dropped_later(root)
        self.fresh_tool_folder()
        out = self.tavrin("listall", root, status=1,
                          errors="tavrin: could not list %s%s: the path is too long\n"
                                 "tavrin: 1 folder could not be listed, named above\n"
                                 "tavrin: 1 file could not be read: see the INVALID_FILE_ATTRIBUTES lines on "
                                 "standard output\n" % (base, over))
        expect_equal("console", out, crlf("\nINVALID_FILE_ATTRIBUTES for %s%s\\xy" % (base, near)))
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        expect_equal("records", content, crlf(records((32, base + near + "\\x"))))


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
            os.chmod(self.local(root + "\\" + name), 0o644)
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
        drive = root[:2]  # the drive the base is on

        def run(*args, status=0):
            rc, out, err = self.host.run(args, root)
            expect_equal("status of %s" % " ".join(args), rc, status)
            expect_equal("stderr of %s" % " ".join(args), err, b"")
            return out

        self.fresh_tool_folder()
        expect_equal("listall %s %ssub" % (drive, drive), run("listall", drive, drive + "sub"), b"")
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        expect_equal("records", content, crlf(records((32, drive + "a.txt"), (32, drive + "sub\\b.txt"),
                                                      (32, drive + "sub\\b.txt"))))
        self.fresh_tool_folder()
        expect_equal("set 1 " + drive, run("set", "1", drive), crlf(
            WARNING + "\n Attributes 1 successfully set to " + drive + "a.txt" +
            WARNING + "\n Attributes 1 successfully set to " + drive + "sub\\b.txt"))
        expect_equal("words after", self.listall(root), records((33, root + "\\a.txt"),
                                                               (33, root + "\\sub\\b.txt")))

