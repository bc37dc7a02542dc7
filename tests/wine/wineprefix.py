"""A private, headless Wine prefix for running tavrin.exe: C: is its only
fixed drive, D: is a CD-ROM, and a kept-alive wineserver makes runs fast."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

READY_MARK = ".tavrin-ready"
# Changes whenever the layout below changes, so an older prefix is remade.
LAYOUT = "3"
# The server outlives its last client by this many seconds, so a run that
# never reaches its shutdown step still leaves nothing behind for long.
SERVER_LINGER_SECONDS = 60


# Every letter is in use, so the drive list (104 characters) is longer than
# a buffer of 100 would hold; Z:, past that length, is the only other fixed
# drive. Letter -> (folder in the state folder, type in the registry).
DRIVES = {letter: ("drives/cdrom-empty", "cdrom") for letter in "efghijklmnopqrstuvwx"}
DRIVES.update({
    "a": ("drives/floppy", "floppy"),
    "b": ("drives/floppy", "floppy"),
    "d": ("drives/cdrom", "cdrom"),
    "y": ("drives/network", "network"),
    "z": ("drives/fixed", None),
})
# Folder -> the one file it holds, if any.
DRIVE_FOLDERS = {"drives/cdrom-empty": None, "drives/floppy": "onfloppy.txt",
                 "drives/cdrom": "oncd.txt", "drives/fixed": "onz.txt",
                 "drives/network": "onnet.txt"}


class PrefixError(Exception):
    """The prefix cannot be made or used on this machine."""


class WinePrefix:
    def __init__(self, state_dir):
        self.state = Path(state_dir).resolve()
        self.prefix = self.state / "prefix"
        self.home = self.state / "home"
        self.drive_c = self.prefix / "drive_c"
        self.wine = shutil.which("wine")
        self.wineserver = shutil.which("wineserver")

    # -- environment -------------------------------------------------------

    def missing_tools(self):
        """Why Wine cannot run here, or None."""
        if not self.wine or not self.wineserver:
            return "wine is not installed"
        return None

    def env(self):
        # The server's socket folder goes here too, not into the machine's /tmp.
        tmp = self.state / "tmp"
        tmp.mkdir(parents=True, exist_ok=True)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(
            WINEPREFIX=str(self.prefix),
            HOME=str(self.home),
            TMPDIR=str(tmp),
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",
            LC_ALL="C.UTF-8",
        )
        return env

    def ready(self):
        mark = self.prefix / READY_MARK
        return mark.is_file() and mark.read_text().strip() == LAYOUT

    # -- prefix ------------------------------------------------------------

    def create(self):
        """Makes the prefix unless an earlier run left a ready one."""
        reason = self.missing_tools()
        if reason:
            raise PrefixError(reason)
        if self.ready():
            return
        self.stop_server()
        shutil.rmtree(self.state, ignore_errors=True)
        self.home.mkdir(parents=True)
        for folder, marker in DRIVE_FOLDERS.items():
            (self.state / folder).mkdir(parents=True)
            if marker:
                (self.state / folder / marker).write_bytes(b"x\n")
        try:
            self._wine_tool(["wineboot", "-i"], 300)
            # The walk must see plain folders, not links into $HOME.
            for users in (self.drive_c / "users").iterdir():
                for entry in users.iterdir():
                    if entry.is_symlink():
                        entry.unlink()
                        entry.mkdir()
            # Z: (the whole Linux tree) becomes a small folder: a fixed-drive
            # scan must not reach the machine's files.
            dosdevices = self.prefix / "dosdevices"
            for letter, (folder, _) in DRIVES.items():
                link = dosdevices / (letter + ":")
                if link.is_symlink() or link.exists():
                    link.unlink()
                link.symlink_to(self.state / folder)
            reg = self.drive_c / "drives.reg"
            reg.write_text(
                "Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n"
                + "".join('"%s:"="%s"\r\n' % (l, t) for l, (_, t) in DRIVES.items() if t)
            )
            self._wine_tool(["reg", "import", "C:\\drives.reg"], 120)
            reg.unlink()
        finally:
            self.stop_server()
        if not (self.drive_c / "windows").is_dir():
            raise PrefixError("wineboot made no prefix")
        (self.drive_c / "ProgramData").mkdir(exist_ok=True)
        (self.prefix / READY_MARK).write_text(LAYOUT + "\n")

    def _wine_tool(self, argv, timeout):
        try:
            cwd = self.drive_c if self.drive_c.is_dir() else self.state
            rc, _, err = self._run([self.wine] + argv, cwd, timeout)
        except subprocess.TimeoutExpired:
            raise PrefixError("'wine %s' did not finish in %d s" % (argv[0], timeout))
        if rc != 0:
            raise PrefixError(
                "'wine %s' failed (%d): %s" % (" ".join(argv), rc, err.decode(errors="replace").strip())
            )

    def _run(self, argv, cwd, timeout):
        # Output goes through files, not pipes: the helper processes Wine
        # starts with the first program inherit them and outlive it.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(
                argv, env=self.env(), cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                timeout=timeout,
            )
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()

    # -- server ------------------------------------------------------------

    def start_server(self):
        """Starts a persistent wineserver; one already running is kept."""
        if not self.prefix.is_dir():
            return
        subprocess.run(
            [self.wineserver, "-p%d" % SERVER_LINGER_SECONDS],
            env=self.env(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
            timeout=60,
        )

    def stop_server(self):
        if not self.wineserver or not self.prefix.is_dir():
            return
        for flag in ("-k", "-w"):
            subprocess.run(
                [self.wineserver, flag],
                env=self.env(),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                timeout=60,
            )

    # -- running -----------------------------------------------------------

    def unix_path(self, windows_path):
        r"""The Linux path of a C:\ path inside the prefix."""
        drive, _, rest = windows_path.partition(":")
        if drive.upper() != "C":
            raise ValueError("not on C: " + windows_path)
        parts = [p for p in rest.split("\\") if p]
        return self.drive_c.joinpath(*parts)

    def run(self, exe, args, timeout=600):
        """Runs `exe` with `args` from C:\\; returns (exit code, stdout bytes, stderr bytes)."""
        return self._run([self.wine, str(exe)] + list(args), self.drive_c, timeout)
