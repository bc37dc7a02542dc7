"""The end-to-end suite's host on Windows itself (the CI job, elevated):
tavrin.exe runs natively, and the trees live on an NTFS volume the suite
makes for itself (a VHD through diskpart, formatted NTFS, a drive letter of
its own), so a run never walks the runner's own C:."""

import ctypes
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from suite_base import Skip

VHD_MEGABYTES = 1024
CREATE_NEW_PROCESS_GROUP = 0x00000200


def kernel32():
    return ctypes.WinDLL("kernel32", use_last_error=True)


class WindowsHost:
    name = "windows"
    PIPE_BYTES = 65536

    def __init__(self, state, exe):
        self.state = Path(state).resolve()
        self.exe = Path(exe).resolve() if exe else None
        self.record = self.state / "volume.json"
        letter = json.loads(self.record.read_text())["letter"] if self.record.exists() else "C:"
        self.base = letter + "\\t"
        self.start_folder = letter + "\\"

    # -- the volume ------------------------------------------------------------

    def diskpart(self, lines):
        script = self.state / "diskpart.txt"
        script.write_text("\r\n".join(lines) + "\r\n")
        proc = subprocess.run(["diskpart", "/s", str(script)], capture_output=True)
        if proc.returncode != 0:
            raise AssertionError("diskpart failed: " + proc.stdout.decode(errors="replace")[-800:])

    def setup(self):
        if not ctypes.windll.shell32.IsUserAnAdmin():
            raise Skip("making an NTFS volume needs an elevated prompt")
        self.shutdown()
        self.state.mkdir(parents=True, exist_ok=True)
        letter = self.free_letter()
        vhd = self.state / "tavrin-test.vhdx"
        self.diskpart(["create vdisk file=\"%s\" maximum=%d type=expandable" % (vhd, VHD_MEGABYTES),
                       "select vdisk file=\"%s\"" % vhd, "attach vdisk", "create partition primary",
                       "format fs=ntfs quick label=TAVRIN", "assign letter=%s" % letter[0]])
        self.record.write_text(json.dumps({"letter": letter, "vhd": str(vhd)}))

    def shutdown(self):
        if not self.record.exists():
            return
        vhd = json.loads(self.record.read_text())["vhd"]
        self.diskpart(["select vdisk file=\"%s\"" % vhd, "detach vdisk"])
        self.record.unlink()
        os.unlink(vhd)

    def open(self):
        if not self.record.exists():
            raise Skip("no test volume (its setup was skipped or failed)")

    @staticmethod
    def free_letter():
        used = kernel32().GetLogicalDrives()
        for letter in "TUVWXRQPON":
            if not used & (1 << (ord(letter) - ord("A"))):
                return letter + ":"
        raise Skip("no free drive letter")

    def needs_wine(self, what):
        raise Skip("%s is the Wine prefix's; on Windows it would reach the runner's own drives" % what)

    def needs_windows(self, what):
        pass

    # -- files -----------------------------------------------------------------

    @staticmethod
    def local(windows_path):
        return Path(windows_path)

    def clear(self, local):
        if local.is_symlink() or local.is_file():
            local.chmod(0o666)
            local.unlink()
        elif local.exists():
            subprocess.run(["attrib", "-r", "-s", "-h", str(local / "*"), "/s", "/d"], capture_output=True)
            shutil.rmtree(local)

    @staticmethod
    def read_only(local, on=True):
        os.chmod(local, 0o444 if on else 0o666)

    @staticmethod
    def hidden_system(local):
        if not kernel32().SetFileAttributesW(str(local), 0x26):
            raise AssertionError("SetFileAttributesW(%s) failed" % local)

    def lock(self, local):
        """Denies everyone changing the file's attributes; returns what undoes it."""
        self.checked(["icacls", str(local), "/deny", "*S-1-1-0:(WA,WEA)"])
        return lambda: self.cmd(["icacls", str(local), "/reset"])

    def reset_attributes(self, local):
        subprocess.run(["attrib", "-r", "-s", "-h", str(local / "*"), "/s", "/d"], capture_output=True)

    @staticmethod
    def small_volume(local):
        raise Skip("a full volume under the tool folder is made only under Wine")

    @staticmethod
    def now_ms():
        """The tick count the run names its files by (GetTickCount's)."""
        tick = kernel32().GetTickCount
        tick.restype = ctypes.c_uint32
        return int(tick())

    # -- runs ------------------------------------------------------------------

    def run(self, args, cwd=None):
        return self.run_program(str(self.exe), args, cwd)

    def run_program(self, program, args, cwd=None):
        proc = subprocess.run([program] + list(args), cwd=cwd or self.start_folder, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=600)
        return proc.returncode, proc.stdout, proc.stderr

    def cmd(self, args):
        proc = subprocess.run(["cmd", "/c"] + list(args), cwd=self.start_folder, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=600)
        return proc.returncode, proc.stdout, proc.stderr

    def checked(self, argv):
        proc = subprocess.run(argv, capture_output=True, timeout=600)
        if proc.returncode != 0:
            raise AssertionError("%s failed (%d): %r" % (" ".join(argv), proc.returncode, proc.stdout[-500:]))
        return proc.stdout

    def start(self, args, stdout, stderr=subprocess.DEVNULL):
        # Its own console, so Ctrl+C reaches this run alone.
        return subprocess.Popen([str(self.exe)] + list(args), cwd=self.start_folder, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=stderr, creationflags=subprocess.CREATE_NEW_CONSOLE)

    @staticmethod
    def interrupt(proc):
        """Ctrl+C to the run's console, sent by a helper attached to it."""
        helper = ("import ctypes,sys;k=ctypes.windll.kernel32;k.FreeConsole();"
                  "k.AttachConsole(%d) or sys.exit(1);k.SetConsoleCtrlHandler(None,1);"
                  "sys.exit(0 if k.GenerateConsoleCtrlEvent(0,0) else 2)" % proc.pid)
        subprocess.run([shutil.which("python") or "python", "-c", helper], timeout=60,
                       creationflags=subprocess.CREATE_NO_WINDOW)

    @staticmethod
    def _suspend(proc, name):
        ntdll = ctypes.WinDLL("ntdll")
        handle = kernel32().OpenProcess(0x0800, False, proc.pid)  # PROCESS_SUSPEND_RESUME
        try:
            getattr(ntdll, name)(handle)
        finally:
            kernel32().CloseHandle(handle)

    def hold(self, proc):
        self._suspend(proc, "NtSuspendProcess")

    def release(self, proc):
        if proc.poll() is None:
            self._suspend(proc, "NtResumeProcess")

    @staticmethod
    def pipe():
        import _winapi
        import msvcrt
        read_handle, write_handle = _winapi.CreatePipe(None, WindowsHost.PIPE_BYTES)
        return msvcrt.open_osfhandle(read_handle, os.O_RDONLY), msvcrt.open_osfhandle(write_handle, 0)

    @staticmethod
    def waiting_in_pipe(read_end):
        import msvcrt
        available = ctypes.c_ulong(0)
        kernel32().PeekNamedPipe(ctypes.c_void_p(msvcrt.get_osfhandle(read_end)), None, 0, None,
                                 ctypes.byref(available), None)
        return available.value

    @staticmethod
    def has_open(proc, local_folder):
        raise Skip("seeing which folders a run holds open needs /proc; made only under Wine")

    def without_output(self, args, how):
        if how == "closed":
            raise Skip("a run with no standard output handle at all is started only under Wine")
        # cmd opens NUL for reading as the standard output.
        return self.cmd([str(self.exe)] + list(args) + ["1<nul"])[0]

    @staticmethod
    def console_run(args, stderr_to_console):
        raise Skip("reading back what a Windows console shows needs a pseudo console; made only under Wine")

    def copy_of_tavrin(self, windows_path):
        shutil.copyfile(self.exe, windows_path)

    def run_limited(self, args):
        """Runs tavrin.exe as a standard user would: a restricted copy of
        this elevated token, Administrators for denying only, no privileges.
        Returns (exit code, output and errors, b"")."""
        from ctypes import wintypes
        advapi32 = ctypes.WinDLL("advapi32", use_last_error=True)
        k32 = kernel32()
        token, limited = wintypes.HANDLE(), wintypes.HANDLE()
        # TOKEN_ALL_ACCESS on this process's token.
        k32.GetCurrentProcess.restype = wintypes.HANDLE
        if not advapi32.OpenProcessToken(k32.GetCurrentProcess(), 0xF01FF, ctypes.byref(token)):
            raise AssertionError("OpenProcessToken failed (%d)" % ctypes.get_last_error())
        admins = ctypes.create_string_buffer(68)
        size = wintypes.DWORD(68)
        advapi32.CreateWellKnownSid(26, None, admins, ctypes.byref(size))  # WinBuiltinAdministratorsSid

        class SidAndAttributes(ctypes.Structure):
            _fields_ = [("sid", ctypes.c_void_p), ("attributes", wintypes.DWORD)]
        disabled = SidAndAttributes(ctypes.cast(admins, ctypes.c_void_p), 0)
        # DISABLE_MAX_PRIVILEGE | LUA_TOKEN
        if not advapi32.CreateRestrictedToken(token, 0x1 | 0x4, 1, ctypes.byref(disabled), 0, None, 0, None,
                                              ctypes.byref(limited)):
            raise AssertionError("CreateRestrictedToken failed (%d)" % ctypes.get_last_error())

        class StartupInfo(ctypes.Structure):
            _fields_ = [("cb", wintypes.DWORD), ("reserved", wintypes.LPWSTR), ("desktop", wintypes.LPWSTR),
                        ("title", wintypes.LPWSTR)] + [(n, wintypes.DWORD) for n in (
                            "x", "y", "width", "height", "columns", "rows", "fill", "flags")] + [
                        ("show", wintypes.WORD), ("reserved2_size", wintypes.WORD),
                        ("reserved2", ctypes.c_void_p), ("input", wintypes.HANDLE),
                        ("output", wintypes.HANDLE), ("error", wintypes.HANDLE)]

        class ProcessInformation(ctypes.Structure):
            _fields_ = [("process", wintypes.HANDLE), ("thread", wintypes.HANDLE),
                        ("pid", wintypes.DWORD), ("tid", wintypes.DWORD)]
        out = self.state / "limited.out"
        command = ctypes.create_unicode_buffer('cmd /c ""%s" %s > "%s" 2>&1"' % (
            self.exe, " ".join(args), out))
        startup, info = StartupInfo(), ProcessInformation()
        startup.cb = ctypes.sizeof(StartupInfo)
        if not advapi32.CreateProcessAsUserW(limited, None, command, None, None, False, 0x08000000, None,
                                             self.start_folder, ctypes.byref(startup), ctypes.byref(info)):
            raise AssertionError("CreateProcessAsUserW failed (%d)" % ctypes.get_last_error())
        k32.WaitForSingleObject(info.process, 0xFFFFFFFF)
        code = wintypes.DWORD()
        k32.GetExitCodeProcess(info.process, ctypes.byref(code))
        for handle in (info.process, info.thread, limited, token):
            k32.CloseHandle(handle)
        return code.value, out.read_bytes() if out.exists() else b"", b""

    # -- installing ------------------------------------------------------------

    @staticmethod
    def installers():
        folder = os.environ.get("TAVRIN_CI_MSI")
        if not folder:
            raise Skip("TAVRIN_CI_MSI names no folder with the installers (the workflow's msi job makes them)")
        found = sorted(Path(folder).glob("*.msi"))
        older = [p for p in found if "older" in p.name]
        current = [p for p in found if "older" not in p.name]
        if len(older) != 1 or len(current) != 1:
            raise AssertionError("expected one installer and one older one in %s: %r" % (folder, found))
        return str(current[0]), str(older[0])

    def msiexec(self, action, msi, check=True):
        log = self.state / "msiexec.log"
        rc = subprocess.run(["msiexec", action, msi, "/qn", "/l*v", str(log)], timeout=600).returncode
        if check and rc not in (0, 3010):
            raise AssertionError("msiexec %s %s failed (%d); log: %s" % (action, msi, rc, log))
        return rc

    @staticmethod
    def program_path():
        return os.path.join(os.environ.get("ProgramW6432", "C:\\Program Files"), "tavrin", "tavrin.exe")

    @staticmethod
    def version():
        return os.environ.get("TAVRIN_CI_VERSION", "1.0.0").encode()

    @staticmethod
    def machine_path_has(folder):
        import winreg
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE,
                             r"System\CurrentControlSet\Control\Session Manager\Environment")
        value, _ = winreg.QueryValueEx(key, "Path")
        return any(p.rstrip("\\").lower() == folder.rstrip("\\").lower() for p in value.split(";"))

    def sign_and_verify(self, exe):
        """Signs `exe` with a throwaway code-signing certificate the machine
        is made to trust; returns Get-AuthenticodeSignature's status."""
        script = tempfile.NamedTemporaryFile("w", suffix=".ps1", delete=False, dir=self.state)
        script.write(
            "$c = New-SelfSignedCertificate -Type CodeSigningCert -Subject 'CN=tavrin test' "
            "-CertStoreLocation Cert:\\LocalMachine\\My\n"
            "foreach ($s in 'Root','TrustedPublisher') {\n"
            "  $st = New-Object System.Security.Cryptography.X509Certificates.X509Store $s,'LocalMachine'\n"
            "  $st.Open('ReadWrite'); $st.Add($c); $st.Close() }\n"
            "$null = Set-AuthenticodeSignature -FilePath '%s' -Certificate $c -HashAlgorithm SHA256\n"
            "(Get-AuthenticodeSignature -FilePath '%s').Status\n" % (exe, exe))
        script.close()
        out = self.checked(["powershell", "-NoProfile", "-ExecutionPolicy", "Bypass", "-File", script.name])
        return out.decode(errors="replace").strip().splitlines()[-1]
