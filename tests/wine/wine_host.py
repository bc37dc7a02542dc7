"""The end-to-end suite's host under Wine: tavrin.exe runs in the suite's
private prefix, C:\\t is a folder of the prefix's drive_c, and what Windows
would keep in a file's attributes or ACL is made with Linux's own means
(modes, Wine's DOSATTRIB attribute, chattr +i)."""

import array
import fcntl
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import termios
import time
from pathlib import Path

from wineprefix import PrefixError, WinePrefix
from suite_base import Skip


class WineHost:
    name = "wine"
    # The first drive is C:, the prefix's drive_c; runs start in its root.
    base = "C:\\t"
    start_folder = "C:\\"

    def __init__(self, state, exe):
        self.prefix = WinePrefix(state)
        self.exe = Path(exe).resolve() if exe else None

    # -- the prefix ----------------------------------------------------------

    def setup(self):
        reason = self.prefix.missing_tools()
        if reason:
            raise Skip(reason)
        try:
            self.prefix.create()
        except (PrefixError, OSError) as e:
            raise Skip("cannot make a Wine prefix: %s" % e)
        self.prefix.start_server()

    def shutdown(self):
        self.prefix.stop_server()

    def open(self):
        """Before a case: the prefix must be there, its server running."""
        reason = self.prefix.missing_tools()
        if reason:
            raise Skip(reason)
        if not self.prefix.ready():
            raise Skip("no Wine prefix (its setup was skipped or failed)")
        self.prefix.start_server()

    def needs_wine(self, what):
        pass

    def needs_windows(self, what):
        raise Skip("%s needs Windows itself; the Windows CI job runs it (docs/ci.md)" % what)

    # -- files -----------------------------------------------------------------

    def local(self, windows_path):
        return self.prefix.unix_path(windows_path)

    def clear(self, local):
        """Removes a tree the suite made, whatever a case left locked in it."""
        if local.exists() or local.is_symlink():
            subprocess.run(["chattr", "-R", "-i", str(local)], capture_output=True)
            if local.is_symlink() or not local.is_dir():
                local.unlink()
            else:
                shutil.rmtree(local)

    def read_only(self, local, on=True):
        os.chmod(local, 0o444 if on else 0o644)

    def hidden_system(self, local):
        """Word 0x26: hidden and system as Wine keeps them."""
        try:
            os.setxattr(local, "user.DOSATTRIB", b"0x6")
        except OSError as e:
            raise Skip("user xattrs are not supported here (%s)" % e.strerror)

    def lock(self, local):
        """Makes the file refuse every attribute change, even for root;
        returns what undoes it."""
        if not shutil.which("chattr"):
            raise Skip("chattr is not installed")
        proc = subprocess.run(["chattr", "+i", str(local)], capture_output=True)
        if proc.returncode != 0:
            raise Skip("chattr +i is refused here: " + proc.stderr.decode(errors="replace").strip())
        return lambda: subprocess.run(["chattr", "-i", str(local)], capture_output=True)

    def small_volume(self, local):
        """Mounts a 4 KiB file system on the folder `local`; returns what
        unmounts it."""
        if os.geteuid() != 0 or not shutil.which("mount"):
            raise Skip("mounting a small file system needs root")
        proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "tavrin-test", str(local)],
                              capture_output=True)
        if proc.returncode != 0:
            raise Skip("cannot mount tmpfs: " + proc.stderr.decode(errors="replace").strip())
        return lambda: subprocess.run(["umount", "-l", str(local)])

    @staticmethod
    def now_ms():
        """The clock Wine's tick count follows, in milliseconds."""
        return int(time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000)

    # -- runs ------------------------------------------------------------------

    def run(self, args, cwd=None):
        """Runs tavrin.exe from `cwd` (a Windows folder; C:\\ if None);
        returns (exit code, stdout bytes, stderr bytes)."""
        folder = self.local(cwd) if cwd else self.prefix.drive_c
        return self.prefix._run([self.prefix.wine, str(self.exe)] + list(args), folder, 600)

    def cmd(self, args):
        """cmd /c with `args`, from C:\\."""
        return self.prefix.run("cmd", ["/c"] + list(args))

    def start(self, args, stdout, stderr=subprocess.DEVNULL):
        """Starts tavrin.exe in the background, its Ctrl+C left to it
        (background jobs of a shell ignore SIGINT)."""
        return subprocess.Popen(["env", "--default-signal=INT", self.prefix.wine, str(self.exe)] + list(args),
                                env=self.prefix.env(), cwd=self.prefix.drive_c, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=stderr)

    @staticmethod
    def interrupt(proc):
        """Ctrl+C: Wine turns SIGINT into a CTRL_C_EVENT."""
        proc.send_signal(signal.SIGINT)

    @staticmethod
    def hold(proc):
        os.kill(proc.pid, signal.SIGSTOP)

    @staticmethod
    def release(proc):
        os.kill(proc.pid, signal.SIGCONT)

    # A pipe holds this much before its writer waits.
    PIPE_BYTES = 65536

    @staticmethod
    def pipe():
        return os.pipe()

    @staticmethod
    def waiting_in_pipe(read_end):
        waiting = array.array("i", [0])
        fcntl.ioctl(read_end, termios.FIONREAD, waiting)
        return waiting[0]

    @staticmethod
    def has_open(proc, local_folder):
        """Whether the run holds `local_folder` open (its walk is inside)."""
        try:
            fds = os.listdir("/proc/%d/fd" % proc.pid)
        except OSError:
            return False
        try:
            wanted = os.stat(local_folder)
        except OSError:
            return False
        for fd in fds:
            try:
                # Device and inode: a link's text names the host's path in a chroot.
                st = os.stat("/proc/%d/fd/%s" % (proc.pid, fd))
            except OSError:
                continue
            if (st.st_dev, st.st_ino) == (wanted.st_dev, wanted.st_ino):
                return True
        return False

    def without_output(self, args, how):
        """Runs tavrin.exe with no standard output ("closed") or one open
        for reading only ("read-only"); returns the exit code."""
        redirect = {"closed": ">&-", "read-only": "1</dev/null"}[how]
        command = "exec %s %s %s %s" % (shlex.quote(self.prefix.wine), shlex.quote(str(self.exe)),
                                       " ".join(shlex.quote(a) for a in args), redirect)
        proc = subprocess.run(["sh", "-c", command], env=self.prefix.env(), cwd=self.prefix.drive_c,
                              stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        return proc.returncode

    def console_run(self, args, stderr_to_console=True):
        """Runs tavrin.exe with a terminal (`script`) as its console, 200
        columns wide; returns what the terminal showed, Wine's own escapes
        and carriage returns left in."""
        if not shutil.which("script"):
            raise Skip("script (util-linux) is not installed")
        command = " ".join(shlex.quote(a) for a in [self.prefix.wine, str(self.exe), *args])
        if not stderr_to_console:
            command += " 2>/dev/null"
        with tempfile.TemporaryFile() as out:
            subprocess.run(["script", "-qec", "stty cols 200 rows 50; " + command, "/dev/null"],
                           env=self.prefix.env(), cwd=self.prefix.drive_c, stdin=subprocess.DEVNULL,
                           stdout=out, stderr=subprocess.STDOUT, timeout=120)
            out.seek(0)
            return out.read()

    def copy_of_tavrin(self, windows_path):
        shutil.copyfile(self.exe, self.local(windows_path))
