"""The suite's cases about how a run meets the world around it: result
names already taken, the tick, no standard output, the console."""

import os
import re
import shutil

from suite_base import MAKE_TOOL_FOLDER, TOOL_FOLDER, WARNING, Skip, SuiteBase, crlf, expect_equal, records


# Names planted at most, each a link of one file (ext4 allows 65,000).
MAX_NAMES = 30000


class RunCases(SuiteBase):
    def keep_file(self):
        """A file beside the tool folder (the same volume, so hard links of
        it can take result names), removed after the case."""
        keep = self.tool_folder.parent / "tavrin-keep"
        keep.write_bytes(b"keep")
        self.cleanups.append(lambda: keep.unlink())
        return keep

    def case_no_overwrite(self):
        # Every name the run can pick already exists, as a file or as a link:
        # it must use none of them, neither truncating nor writing through.
        root = self.tree("keep", {"walk\\a.txt": b"a"})
        target = self.local(root) / "target"
        target.write_bytes(b"keep")

        now = self.host.now_ms
        offset, _ = self.tick_offset(root)
        # In the folder itself: a link or a mount in its place would be
        # refused for itself. Files are hard links of one: quick to make.
        self.fresh_tool_folder()
        keep = self.keep_file()
        first = now() + offset - 1000
        tick = first
        # Well ahead of the clock; a machine slower than the clock stops at
        # a number of names a file can have links (the case then skips).
        while tick < now() + offset + 3000 and tick - first < MAX_NAMES:
            taken = self.tool_folder / ("%dallFiles.txt" % tick)
            if tick % 2:
                taken.symlink_to(target)  # a file link
            else:
                os.link(keep, taken)
            tick += 1
        rc, out, err = self.host.run(("listall", root + "\\walk"))
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
        before = self.host.now_ms()
        self.tavrin("list", empty)
        after = self.host.now_ms()
        tick = int(self.only_result(r"\d+badFiles\.txt")[0][:-len("badFiles.txt")])
        return tick - before, tick - after

    def case_next_tick(self):
        # Every even name is taken: a run whose own tick is even takes the
        # next number, one whose tick is odd its own. Over several runs both
        # come up (each run has an even chance); never the console.
        root = self.tree("next", {"a.txt": b"a"})
        high, low = self.tick_offset(root)
        self.fresh_tool_folder()
        keep = self.keep_file()

        now = self.host.now_ms
        first = now() + low - 500
        first -= first % 2
        last = first
        for _ in range(6):
            # Taken names well ahead of the clock, made as time goes on.
            while last < now() + high + 3000 and last - first < MAX_NAMES:
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

    def case_closed_output(self):
        # No standard output at all: the run still does its work, ends with 0,
        # and no console text lands anywhere else (the result file).
        root = self.tree("closed", {"a.txt": b"a", "sub\\b.txt": b"b"})
        for how in ("read-only", "closed"):
            self.fresh_tool_folder()
            rc = self.host.without_output(["set", "1", root], how)
            expect_equal("exit code with the output %s" % how, rc, 0)
            _, content = self.only_result(r"-?\d+")
            expect_equal("set result file with the output %s" % how, content, b"")
            expect_equal("words after set", self.listall(root), records(
                (33, root + "\\a.txt"), (33, root + "\\sub\\b.txt")))
            for f in ("a.txt", "sub/b.txt"):
                os.chmod(self.local(root) / f, 0o644)

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
        expect_equal("console text", self.console_run("set", "1", path, stderr_to_console=False),
                     WARNING + "\n Attributes 1 successfully set to " + path + "\n")

    def case_console_summary(self):
        # Standard error on the console too: the summary follows the
        # console text on a line of its own, and says where the records are.
        root = self.tree("sum", {"a.txt": b"a", "b.txt": b"b"})
        missing = self.host.base + "\\nosuch"
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


    def case_escaped_names(self):
        # A name holding ESC cannot steer the console it is shown on: there
        # it is shown as \x1b; redirected, the bytes are kept. Wine lists
        # such a name but refuses to open it, so it comes up unreadable.
        name = "e\x1b[31mred\x07.txt"
        root = self.tree("esc", {name: b"e"})
        # Unreadable under Wine: a later scan of C:\ must not meet it.
        self.dropped_later(root)
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

