#!/usr/bin/env python3
"""The Linux tavrin on a real terminal: what a person sees.

Runs the program in a tmux pane (a real pseudo-terminal, 120 x 40) on an
ntfs-3g volume large enough for a run of a few seconds, and reads the screen:
the status line with a growing count mid-run, the console messages as whole
lines, the summary (count, result file, the mistyped root), the shell's
prompt on a line of its own. With standard output or standard error
redirected, the redirected bytes are what they are without a terminal.

Usage: run_terminal_tests.py PATH-TO-TAVRIN
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_ntfs_tests import (TOOL_FOLDER, Failures, Suite, daemon_of, preconditions, set_word,  # noqa: E402
                            skip, verdict)

FOLDERS = 100
FILES = 100                 # per folder
PASSES = 3                  # the volume is given this many times, for a run of a few seconds
SUSPECTS = ["d005/f050", "d037/f050", "d071/f050", "d093/f050"]
PROMPT = "PROMPT$ "


class Pane:
    """A shell in a tmux session of its own (own socket), 120 x 40."""

    def __init__(self, work):
        self.socket = os.path.join(work, "tmux.sock")
        shell = f"env PS1={shlex.quote(PROMPT)} bash --norc --noprofile"
        self.tmux("new-session", "-d", "-s", "t", "-x", "120", "-y", "40", shell)
        self.wait_for(lambda screen: screen.rstrip().endswith(PROMPT.rstrip()), 10)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], check=True,
                              stdout=subprocess.PIPE).stdout.decode("utf-8", errors="replace")

    def screen(self, history=True):
        """The pane (and its history) as a person reads it, wrapped lines joined."""
        start = ["-S", "-200"] if history else []
        return self.tmux("capture-pane", "-p", "-J", *start, "-t", "t")

    def clear(self):
        self.type("clear")
        end = time.monotonic() + 10
        while self.screen(history=False).strip() != PROMPT.strip() and time.monotonic() < end:
            time.sleep(0.1)
        self.tmux("clear-history", "-t", "t")

    def type(self, line):
        self.tmux("send-keys", "-t", "t", "-l", line)
        self.tmux("send-keys", "-t", "t", "Enter")

    def wait_for(self, done, seconds, each=None):
        end = time.monotonic() + seconds
        while True:
            screen = self.screen()
            if each:
                each(screen)
            if done(screen):
                return screen
            if time.monotonic() > end:
                raise AssertionError(f"timed out; the screen:\n{screen}")
            time.sleep(0.2)

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], stderr=subprocess.DEVNULL)


def finished(screen):
    """The run is over: its summary is up and the prompt is back after it."""
    lines = screen.rstrip("\n").split("\n")
    return lines[-1] == PROMPT and any(" done in " in line for line in lines)


class TerminalSuite:
    def __init__(self, tavrin):
        self.volume = Suite(tavrin)  # the image, the mount and their cleanup
        self.tavrin = tavrin
        self.work = self.volume.work
        self.f = Failures()
        self.varlib = os.path.join(self.work, "varlib")
        self.typo = os.path.join(self.volume.mnt + "x", "nothing")  # a root that is not there

    def build_volume(self):
        os.mkdir(self.volume.mnt)
        with open(self.volume.image, "wb") as f:
            f.truncate(256 << 20)
        made = subprocess.run(["mkntfs", "-F", "-Q", "-L", "T", self.volume.image],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if made.returncode != 0:
            raise RuntimeError(f"mkntfs: {made.stderr.decode(errors='replace')}")
        refused = self.volume.mount()
        if refused is not None:
            skip(f"ntfs-3g mount refused: {refused}")
        for d in range(FOLDERS):
            folder = self.volume.p(f"d{d:03d}")
            os.mkdir(folder)
            for n in range(FILES):
                open(os.path.join(folder, f"f{n:03d}"), "wb").close()
        for name in SUSPECTS:
            set_word(self.volume.p(name), 0x3127)
        # Read-only: every repair fails, so messages come all through the run.
        self.volume.remount(read_only=True)
        os.makedirs(os.path.join(self.varlib, TOOL_FOLDER))

    def command(self, redirect=""):
        """The shell line that runs the repair with /var/lib replaced by the test's folder."""
        roots = [self.volume.mnt] * PASSES + [self.typo]
        inner = "mount --bind \"$0\" /var/lib && exec " + " ".join(
            shlex.quote(a) for a in [self.tavrin, "repair", *roots])
        return ("unshare -m --propagation private sh -c " + shlex.quote(inner) + " " +
                shlex.quote(self.varlib) + redirect)

    def result_files(self):
        folder = os.path.join(self.varlib, TOOL_FOLDER)
        return sorted(os.listdir(folder))

    def newest_records(self, before):
        folder = os.path.join(self.varlib, TOOL_FOLDER)
        new = [n for n in self.result_files() if n not in before]
        self.f.equal(1, len(new), f"one new result file ({new})")
        if not new:
            return None, b""
        with open(os.path.join(folder, new[0]), "rb") as f:
            return new[0], f.read()

    def expected_console(self, records):
        """The console text of this repair: one FlagsR line per record."""
        return re.sub(rb"\n(12583), ", rb"\n FlagsR: \1, File: ", records)

    # --- cases ------------------------------------------------------------
    def case_live_run(self, pane):
        f = self.f
        f.section = "live run"
        before = self.result_files()
        pane.clear()
        pane.type(self.command())
        counts = []

        def note_count(screen):
            for line in screen.split("\n"):
                match = re.match(r"repair \d+:\d\d  ([\d,]+) files, ", line)
                if match:
                    count = int(match.group(1).replace(",", ""))
                    if not counts or counts[-1] != count:
                        counts.append(count)

        # The screen is read while the volume's daemon is stopped: the run
        # waits on the volume, its status line holds still, and however
        # fast the run, each pause adds time enough for the next redraw.
        daemon = daemon_of(self.volume.mnt)
        end = time.monotonic() + 180
        try:
            while not finished(pane.screen()) and time.monotonic() < end:
                os.kill(daemon, signal.SIGSTOP)
                time.sleep(0.15)
                note_count(pane.screen())
                os.kill(daemon, signal.SIGCONT)
                time.sleep(0.05)
        finally:
            os.kill(daemon, signal.SIGCONT)
        screen = pane.wait_for(finished, 180, note_count)
        total = FOLDERS * FILES * PASSES
        print(f"counts seen mid-run: {counts}")
        f.expect(len(counts) >= 2, f"a growing count mid-run, saw {counts}")
        f.expect(counts == sorted(counts) and all(0 < c < total for c in counts),
                 f"counts mid-run grow and stay below {total}: {counts}")
        name, records = self.newest_records(before)
        f.equal(len(SUSPECTS) * PASSES, records.count(b"\n"), "records in the result file")

        lines = screen.rstrip("\n").split("\n")
        f.equal(PROMPT + self.command(), lines[0], "the command line")
        messages = self.expected_console(records).decode().split("\n")  # starts with ""
        shown = lines[1:1 + len(messages)]
        f.equal(messages, shown, "the console messages, each a whole line")
        error = lines[1 + len(messages)] if len(lines) > 1 + len(messages) else ""
        f.equal(f"tavrin: cannot read {self.typo}: not found", error, "the mistyped root's error line")
        summary = lines[2 + len(messages):]
        f.expect(len(summary) == 4, f"summary and prompt: {summary}")
        summary += [""] * 4
        f.expect(re.fullmatch(rf"repair done in \d+\.\d s: {total:,} files checked, 0 repaired, "
                              rf"{len(SUSPECTS) * PASSES} could not be fixed, 0 unreadable\.",
                              summary[0]) is not None, f"summary line: {summary[0]!r}")
        f.equal(f"Records: /var/lib/{TOOL_FOLDER}/{name}", summary[1], "where the records are")
        f.equal(f"Could not read: {self.typo}", summary[2], "the mistyped root, as typed")
        f.equal(PROMPT, summary[3], "the prompt on a line of its own")

    def case_redirected(self, pane):
        f = self.f
        f.section = "redirected"
        out = os.path.join(self.work, "out.txt")
        err = os.path.join(self.work, "err.txt")
        # Standard error redirected: only the error line there, standard
        # output as without a terminal, and the mistyped root in the status.
        before = self.result_files()
        pane.clear()
        pane.type(self.command(f" >{out} 2>{err}; echo finished-$?"))
        pane.wait_for(lambda screen: "finished-2" in screen, 180)
        name, records = self.newest_records(before)
        with open(out, "rb") as o, open(err, "rb") as e:
            f.equal(self.expected_console(records), o.read(), "standard output, stderr redirected")
            # Without a summary on the screen, a closing line counts the failures.
            f.equal((f"tavrin: cannot read {self.typo}: not found\n"
                     f"tavrin: {len(SUSPECTS) * PASSES:,} files could not be repaired: listed in "
                     f"/var/lib/{TOOL_FOLDER}/{name} and as FlagsR lines on standard output\n").encode(),
                    e.read(), "standard error redirected")
        # Standard output redirected: its bytes unchanged, the summary on the
        # screen right under the command, no status line left behind.
        before = self.result_files()
        pane.clear()
        pane.type(self.command(f" >{out}"))
        screen = pane.wait_for(finished, 180)
        _, records = self.newest_records(before)
        with open(out, "rb") as o:
            f.equal(self.expected_console(records), o.read(), "standard output, stderr a terminal")
        lines = screen.rstrip("\n").split("\n")
        f.expect(len(lines) == 6 and lines[1].startswith("tavrin: cannot read ") and
                 lines[2].startswith("repair done in "),
                 f"only the error line and the summary under the command: {lines}")

    def run(self):
        self.build_volume()
        pane = Pane(self.work)
        try:
            self.case_live_run(pane)
            self.case_redirected(pane)
        finally:
            pane.close()


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    tavrin = os.path.abspath(sys.argv[1])
    preconditions()
    if shutil.which("tmux") is None:
        skip("tmux not found (package tmux)")
    suite = TerminalSuite(tavrin)
    try:
        suite.run()
    finally:
        suite.volume.cleanup()
    return verdict(suite.f)


if __name__ == "__main__":
    sys.exit(main())
