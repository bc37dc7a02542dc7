"""The suite's cases about a run that is still going on: Ctrl+C, the result
file read by others, a folder swapped under the walk. Each holds the run
where the case needs it (an output pipe nobody reads, the process held)
instead of hoping to be quicker than it."""

import os
import re
import tempfile
import threading
import time

from suite_base import TOOL_FOLDER, Skip, SuiteBase, crlf, expect_equal, wait_for

# Seconds given to the host to pass Ctrl+C on, the run held or blocked;
# more only makes the case slower, less may let the run end first.
HANDLER_SECONDS = 1
# Between two pages read from a held run's output: its records take a few
# hundred pages, so a late handler still comes long before the end.
DRAIN_PAUSE = 0.02


class HeldRun:
    """tavrin.exe started with `args`, its standard output a pipe nobody
    reads until the case says so, or a file."""

    def __init__(self, host, args, stdout_pipe=False):
        self.host = host
        self.out_file = None if stdout_pipe else tempfile.TemporaryFile()
        self.out_read, out_write = host.pipe() if stdout_pipe else (None, self.out_file.fileno())
        self.proc = host.start(args, out_write)
        if stdout_pipe:
            os.close(out_write)
        self.chunks = []
        self.reader = None

    def drain(self):
        """Reads the output pipe to its end from now on, a page at a time:
        a run that has not seen its Ctrl+C yet is still held back."""
        def read():
            while True:
                chunk = os.read(self.out_read, 4096)
                if not chunk:
                    return
                self.chunks.append(chunk)
                time.sleep(DRAIN_PAUSE)
        self.reader = threading.Thread(target=read, daemon=True)
        self.reader.start()

    def interrupt_held(self):
        """Ctrl+C while the run is held, so it comes before another file."""
        self.host.hold(self.proc)
        try:
            self.host.interrupt(self.proc)
            # The handler is under way before the walk may go on.
            time.sleep(HANDLER_SECONDS)
        finally:
            self.host.release(self.proc)

    def finish(self):
        """Ends the run (the pipe drained); returns its exit status and output."""
        if self.out_read is not None and not self.reader:
            self.drain()
        rc = self.proc.wait(timeout=300)
        if self.reader:
            self.reader.join(timeout=60)
            return rc, b"".join(self.chunks)
        self.out_file.seek(0)
        return rc, self.out_file.read()

    def close(self):
        if self.proc.poll() is None:
            self.host.release(self.proc)
            self.proc.kill()
            self.proc.wait()
        if self.out_read is not None:
            os.close(self.out_read)
        if self.out_file:
            self.out_file.close()


class HeldCases(SuiteBase):
    def wide_tree(self, name):
        """20 folders of 1,000 files, gone after the case; and its records."""
        files = {"d%02d\\f%05d.txt" % (d, i): b"" for d in range(20) for i in range(1000)}
        root = self.tree(name, files)
        self.dropped_later(root)
        return root, ["\n32, %s\\%s" % (root, f) for f in sorted(files)]

    def result_started(self):
        found = list(self.tool_folder.iterdir())
        return len(found) == 1 and found[0].stat().st_size > 0

    @staticmethod
    def whole_prefix(what, text, expected):
        """`text` must be the first records of `expected`, whole, and not all of them."""
        count = text.count("\n")
        if count >= len(expected):
            raise AssertionError("%s: the run did not stop (%d records)" % (what, count))
        if count == 0 or text != "".join(expected[:count]):
            raise AssertionError("%s is not a whole prefix of the records: %d records, ends %r"
                                 % (what, count, text[-200:]))

    def case_interrupt(self):
        # Ctrl+C in the middle of a large listall: the run stops at a file
        # boundary, every record found is written whole, and the run ends
        # with STATUS_CONTROL_C_EXIT (0xC000013A), whose low byte the shell sees.
        root, listed = self.wide_tree("intr")
        missing = root + "\\nothing-here"

        # Into the result file: once the first records are there, the run is
        # held while Ctrl+C comes, so the walk cannot end before it.
        self.fresh_tool_folder()
        run = HeldRun(self.host, ["listall", root])
        try:
            wait_for("records in the result file", self.result_started, run.proc)
            run.interrupt_held()
            rc, console = run.finish()
        finally:
            run.close()
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        self.whole_prefix("the result file", content.decode("utf-8").replace("\r\n", "\n"), listed)
        expect_equal("exit status", rc, 0x3A)
        expect_equal("console", console, b"")

        # No tool folder, the output a pipe nobody reads until Ctrl+C came:
        # the records buffered for the console come out before the run ends.
        self.host.clear(self.tool_folder)
        self.cleanups.append(lambda: self.tool_folder.mkdir(parents=True, exist_ok=True))
        run = HeldRun(self.host, ["listall", root], stdout_pipe=True)
        try:
            # Half a pipe waiting: the run can write little more before it
            # waits (its records are ten times a pipe).
            wait_for("records waiting in the output pipe",
                     lambda: self.host.waiting_in_pipe(run.out_read) >= self.host.PIPE_BYTES // 2, run.proc)
            self.host.interrupt(run.proc)
            time.sleep(HANDLER_SECONDS)  # blocked in its write: no file passes meanwhile
            rc, console = run.finish()
        finally:
            run.close()
        text = console.decode("utf-8").replace("\r\n", "\n")
        match = re.match(r"Could not open file to write results [^\n]*allFiles\.txt", text)
        if not match:
            raise AssertionError("no open-failure message: %r" % text[:200])
        self.whole_prefix("the console", text[match.end():], listed)
        expect_equal("exit status without a tool folder", rc, 0x3A)

    def case_watched_result(self):
        # The result file of a run still going on can be read (type, copy, a
        # script collecting it), but neither written nor deleted by others.
        # The run is held once its first records are in the file.
        root, listed = self.wide_tree("watch")
        self.fresh_tool_folder()
        run = HeldRun(self.host, ["listall", root])
        try:
            wait_for("records in the result file", self.result_started, run.proc)
            self.host.hold(run.proc)
            try:
                result = next(self.tool_folder.iterdir())
                windows = TOOL_FOLDER + "\\" + result.name
                before = result.read_bytes()
                # Wine's type asks that nobody write: copy reads as a watcher does.
                copy = self.host.base + "\\watch-copy.txt"
                self.host.clear(self.local(copy))
                rc, out, _ = self.host.cmd(["copy", windows, copy])
                got = self.local(copy).read_bytes() if self.local(copy).exists() else None
                expect_equal("copy of the growing result file (copy said %r)" % out[-200:], (rc, got),
                             (0, before))
                self.local(copy).unlink()
                self.host.cmd(["echo planted>>" + windows])
                if result.read_bytes() != before:
                    raise AssertionError("another program wrote to the result file")
                rc, _, _ = self.host.cmd(["del", windows])
                if not result.exists():
                    raise AssertionError("another program deleted the result file (%d)" % rc)
            finally:
                self.host.release(run.proc)
            rc, console = run.finish()
        finally:
            run.close()
        expect_equal("exit status", rc, 0)
        expect_equal("console", console, b"")
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        expect_equal("records", content, crlf("".join(listed)))

    def case_second_interrupt(self):
        # A run stuck writing to a pipe nobody reads: the first Ctrl+C asks
        # it to stop at the next file, which never comes; the second ends it.
        root = self.tree("stuck", {"f%05d_%s.txt" % (i, "x" * 60): b"" for i in range(3000)})
        self.dropped_later(root)
        read_end, write_end = self.host.pipe()
        try:
            proc = self.host.start(["set", "1", root], write_end)
            os.close(write_end)
            write_end = None
            try:
                wait_for("a full pipe", lambda: self.host.waiting_in_pipe(read_end) >= self.host.PIPE_BYTES,
                         proc)
                self.host.interrupt(proc)
                # Blocked in its write: the handler comes, no file passes.
                time.sleep(HANDLER_SECONDS)
                if proc.poll() is not None:
                    raise AssertionError("the first Ctrl+C ended a run blocked on its output (%d)"
                                         % proc.returncode)
                self.host.interrupt(proc)
                try:
                    rc = proc.wait(timeout=120)
                except Exception:
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

    def case_swapped_folder(self):
        # set and repair reach each file through the folder that listed it:
        # a folder swapped for a link to elsewhere while the run is inside it
        # (the run held there, the folder moved, a link put in its place)
        # never leads a change outside the tree.
        count = 3000
        names = ["f%05d" % i for i in range(count)]
        for command, root_name, before in (("set", "swap", False), ("repair", "Norvane-swap", True)):
            after = not before
            root = self.tree(root_name, {"x\\" + n: b"" for n in names})
            outside = self.tree(root_name + "-out", {n: b"" for n in names})
            self.dropped_later(root)
            self.dropped_later(outside)
            folder, moved = self.local(root) / "x", self.local(root) / "x.moved"
            for f in names:
                self.host.read_only(folder / f, before)
                self.host.read_only(self.local(outside) / f, before)

            def read_only(path):
                return not os.stat(path).st_mode & 0o222
            args = ["set", "1", root] if command == "set" else ["repair", root]
            self.fresh_tool_folder()
            with tempfile.TemporaryFile() as out:
                proc = self.host.start(args, out.fileno())
                try:
                    wait_for("the walk in %s" % folder, lambda: self.host.has_open(proc, folder), proc)
                    self.host.hold(proc)
                    changed = sum(1 for f in names if read_only(folder / f) == after)
                    folder.rename(moved)
                    folder.symlink_to(self.local(outside), target_is_directory=True)
                    self.host.release(proc)
                    rc = proc.wait(timeout=300)
                finally:
                    if proc.poll() is None:
                        self.host.release(proc)
                        proc.kill()
            if changed == count:
                raise Skip("%s had changed every file before it was held" % command)
            expect_equal("%s: exit status" % command, rc, 0)
            touched = [f for f in names if read_only(self.local(outside) / f) != before]
            expect_equal("%s: files changed outside the tree (%d changed before the swap)"
                         % (command, changed), touched[:5], [])
            left = [f for f in names if read_only(moved / f) != after]
            expect_equal("%s: files of the moved folder left unchanged" % command, left[:5], [])
