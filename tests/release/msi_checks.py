#!/usr/bin/env python3
"""Checks of tavrin-<version>-x64.msi.

- Its tables, read with msitools: the folders, components, file, tool folder
  and its ACL, PATH entry, upgrade rows and sequence, and the summary.
- Under Wine (which applies no ACL; the tables above are what shows it):
  an older version installed, then this one over it silently (one product,
  one program, the new one), tavrin.exe run by its full path and through
  PATH, a result file written to the tool folder, a downgrade refused, and
  a silent uninstall that removes the program and the PATH entry and keeps
  the tool folder with its file.

Usage: msi_checks.py DIST VERSION SOURCE_DIR WORK_DIR
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
from run_ntfs_tests import Failures, skip, verdict  # noqa: E402
from wineprefix import PrefixError, WinePrefix  # noqa: E402

UPGRADE_CODE = "{5F737E79-4E3B-4406-A305-DCB8FC9C573F}"
TOOL_ACL = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
ENVIRONMENT = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
PROGRAM = "C:\\Program Files\\tavrin\\tavrin.exe"
TOOL = "C:\\ProgramData\\Norvane\\Wickline"
# The tables of the package as wixl and build_msi.py write them.
WIXL_TABLES = """ServiceControl Signature Error RemoveFile InstallExecuteSequence FeatureComponents
    AdvtExecuteSequence Property Feature AppSearch InstallUISequence File LaunchCondition Component
    ServiceInstall CustomAction Upgrade Media MsiFileHash Binary Icon AdminExecuteSequence CreateFolder
    Directory RegLocator AdminUISequence Registry Shortcut Environment MsiLockPermissionsEx""".split()


def table(msi, name):
    """The rows of a table as lists of columns (msiinfo export, without its three header lines)."""
    out = subprocess.run(["msiinfo", "export", msi, name], stdout=subprocess.PIPE, check=True).stdout
    return [line.split("\t") for line in out.decode().split("\r\n")[3:] if line]


def check_tables(f, msi, exe, version, epoch):
    f.section = "tables"
    tables = subprocess.run(["msiinfo", "tables", msi], stdout=subprocess.PIPE, check=True).stdout.decode().split()
    for name in ["Directory", "Component", "File", "CreateFolder", "MsiLockPermissionsEx", "Environment",
                 "Upgrade", "Property", "InstallExecuteSequence"]:
        f.expect(name in tables, f"no table {name}")
    f.expect("LockPermissions" not in tables, "LockPermissions beside MsiLockPermissionsEx fails the install")
    # Every table wixl writes stays; MsiFileHash is for unversioned files
    # only, and tavrin.exe has a version: no row for it.
    f.equal(sorted(WIXL_TABLES), sorted(n for n in tables if not n.startswith("_")), "tables of the package")
    f.equal([], [row for row in table(msi, "MsiFileHash") if row[0] == "tavrin.exe"], "MsiFileHash rows of tavrin.exe")

    directories = {row[0]: (row[1], row[2]) for row in table(msi, "Directory")}
    for key, expected in [("INSTALLDIR", ("ProgramFiles64Folder", "tavrin")),
                          ("TOOLFOLDER", ("NORVANE", "Wickline")), ("NORVANE", ("CommonAppDataFolder", "Norvane"))]:
        f.equal(expected, directories.get(key), f"Directory {key}")
    components = {row[0]: row[2:] for row in table(msi, "Component")}
    # 256: 64-bit; 16: permanent, never removed (the tool folder and its files stay).
    f.equal(["INSTALLDIR", "256", "", "tavrin.exe"], components.get("Program"), "Component Program")
    f.equal(["TOOLFOLDER", "272", "", ""], components.get("ToolFolder"), "Component ToolFolder")
    with open(exe, "rb") as e:
        size = len(e.read())
    f.equal([["tavrin.exe", "Program", "tavrin.exe", str(size), version + ".0", "1033", "512", "1"]],
            table(msi, "File"), "File")
    f.equal([["TOOLFOLDER", "ToolFolder"]], table(msi, "CreateFolder"), "CreateFolder")
    f.equal([["ToolFolder", "TOOLFOLDER", "CreateFolder", TOOL_ACL, ""]], table(msi, "MsiLockPermissionsEx"),
            "MsiLockPermissionsEx: owner Administrators; protected: Administrators and SYSTEM full, Users read")
    f.equal([["Path", "=-*PATH", "[~];[INSTALLDIR]", "Program"]], table(msi, "Environment"),
            "Environment: INSTALLDIR appended to the machine's PATH, removed on uninstall")
    f.equal(sorted([[UPGRADE_CODE, "", version, "", "1", "", "WIX_UPGRADE_DETECTED"],
                    [UPGRADE_CODE, version, "", "", "2", "", "WIX_DOWNGRADE_DETECTED"]]),
            sorted(table(msi, "Upgrade")), "Upgrade: older versions removed, newer ones detected")
    properties = dict(row[:2] for row in table(msi, "Property"))
    for name, value in [("ProductVersion", version), ("ProductName", "tavrin"), ("ALLUSERS", "1"),
                        ("UpgradeCode", UPGRADE_CODE)]:
        f.equal(value, properties.get(name, "").upper() if name == "UpgradeCode" else properties.get(name),
                f"Property {name}")
    f.equal([["NOT WIX_DOWNGRADE_DETECTED", "A newer version of tavrin is installed already."],
             ["Installed OR VersionNT >= 601", "tavrin needs Windows 7 or later."]],
            sorted(table(msi, "LaunchCondition"), reverse=True), "LaunchCondition")
    sequence = {row[0]: int(row[2]) for row in table(msi, "InstallExecuteSequence")}
    # The older product goes entirely before this one is installed.
    f.expect(sequence.get("InstallValidate", 0) < sequence.get("RemoveExistingProducts", 0)
             < sequence.get("InstallInitialize", 0), "RemoveExistingProducts is not before InstallInitialize")
    for action in ["WriteEnvironmentStrings", "RemoveEnvironmentStrings", "CreateFolders", "InstallFiles"]:
        f.expect(action in sequence, f"InstallExecuteSequence lacks {action}")

    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    info = subprocess.run(["msiinfo", "suminfo", msi], stdout=subprocess.PIPE, env=env, check=True).stdout.decode()
    stamp = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(epoch))
    for line in ["Template: x64;1033", f"Created: {stamp}", f"Last saved: {stamp}", "Version: 500 (1f4)"]:
        f.expect(line in info.splitlines(), f"summary lacks {line!r}:\n{info}")

    # The program in the installer is the one in the zip.
    out = tempfile.mkdtemp(prefix="msi-extract-")
    try:
        subprocess.run(["msiextract", "-C", out, msi], stdout=subprocess.DEVNULL, check=True)
        found = [os.path.join(d, n) for d, _, names in os.walk(out) for n in names]
        f.equal(["tavrin.exe"], [os.path.basename(p) for p in found], "files in the installer")
        if found:
            with open(found[0], "rb") as a, open(exe, "rb") as b:
                f.expect(a.read() == b.read(), "tavrin.exe in the installer differs from the zip's")
    finally:
        shutil.rmtree(out)


def older_exe(exe, path):
    """A copy of exe that tells the version 0.9.0.0 and has other bytes: an older release."""
    with open(exe, "rb") as e:
        data = bytearray(e.read())
    at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO
    if at < 0:
        raise SystemExit("FAIL: tavrin.exe has no version resource")
    struct.pack_into("<IIII", data, at + 8, 9, 0, 9, 0)  # file and product version 0.9.0.0
    with open(path, "wb") as e:
        e.write(data + b"older")


class Machine:
    """The prefix as a Windows machine: msiexec, the registry, the program."""

    def __init__(self, prefix):
        self.prefix = prefix

    def msiexec(self, *args):
        rc, _, _ = self.prefix.run("msiexec", list(args) + ["/qn"])
        return rc

    def query(self, key, *args):
        rc, out, _ = self.prefix.run("reg", ["query", key, *args])
        return out.decode(errors="replace") if rc == 0 else ""

    def products(self):
        """(name, version) of each program in Add/Remove Programs."""
        found, name = [], None
        for line in self.query(UNINSTALL, "/s").splitlines():
            parts = line.split(None, 2)
            if line.startswith("HKEY_"):
                name = None
            elif len(parts) == 3 and parts[0] == "DisplayName":
                name = parts[2]
            elif len(parts) == 3 and parts[0] == "DisplayVersion" and name:
                found.append((name, parts[2]))
        return sorted(found)

    def path_entries(self):
        match = re.search(r"^\s*PATH\s+REG_\w+\s+(.*)$", self.query(ENVIRONMENT, "/v", "PATH"), re.M | re.I)
        return [p.rstrip("\\") for p in (match.group(1).strip().split(";") if match else []) if p]

    def file(self, windows_path):
        path = self.prefix.unix_path(windows_path)
        if not path.is_file():
            return None
        return path.read_bytes()


def check_removed(f, machine, prefix, results):
    """What an uninstall leaves: no product, program or PATH entry; the tool folder with its files."""
    f.equal([], machine.products(), "products after the uninstall")
    f.expect(not prefix.unix_path("C:\\Program Files\\tavrin").exists(), "the uninstall left the program")
    f.equal(0, machine.path_entries().count("C:\\Program Files\\tavrin"), "PATH entries after the uninstall")
    tool = prefix.unix_path(TOOL)
    f.equal(results, sorted(os.listdir(tool)) if tool.is_dir() else None,
            "the tool folder and its result file after the uninstall")


def check_wine(f, msi, exe, version, source, work):
    f.section = "wine"
    prefix = WinePrefix(os.path.join(work, "wine"))
    reason = prefix.missing_tools()
    if reason:
        print(f"SKIP part: {reason}, the installer was not run")
        return
    try:
        prefix.create()
    except PrefixError as error:
        print(f"SKIP part: no Wine prefix ({error}), the installer was not run")
        return
    prefix.start_server()
    try:
        machine = Machine(prefix)
        old_exe, old_msi = os.path.join(work, "old.exe"), str(prefix.unix_path("C:\\old.msi"))
        older_exe(exe, old_exe)
        subprocess.run([sys.executable, os.path.join(source, "packaging", "msi", "build_msi.py"),
                        old_exe, "0.9.0", "1600000000", old_msi], check=True)
        shutil.copyfile(msi, prefix.unix_path("C:\\new.msi"))
        with open(exe, "rb") as e:
            new_bytes = e.read()
        with open(old_exe, "rb") as e:
            old_bytes = e.read()

        # A new machine: install, run, uninstall.
        f.equal(0, machine.msiexec("/i", "C:\\new.msi"), f"msiexec /i of version {version}")
        f.equal([("tavrin", version)], machine.products(), "products after the install")
        f.expect(machine.file(PROGRAM) == new_bytes, f"{PROGRAM} is not the zip's tavrin.exe")
        f.equal(1, machine.path_entries().count("C:\\Program Files\\tavrin"),
                f"C:\\Program Files\\tavrin in PATH once: {machine.path_entries()}")
        f.expect(prefix.unix_path(TOOL).is_dir(), "no tool folder after the install")
        said = f"tavrin {version}\r\n".encode()
        rc, out, _ = prefix.run(PROGRAM, ["--version"])
        f.equal((0, said), (rc, out), "tavrin.exe --version by its full path")
        rc, out, _ = prefix.run("cmd", ["/c", "tavrin", "--version"])
        f.equal((0, said), (rc, out), "tavrin --version through PATH")
        data = prefix.unix_path("C:\\data")
        data.mkdir(exist_ok=True)
        (data / "a.txt").write_bytes(b"x")
        rc, out, _ = prefix.run(PROGRAM, ["list", "C:\\data"])
        results = sorted(os.listdir(prefix.unix_path(TOOL)))
        f.expect(rc == 0 and len(results) == 1 and re.fullmatch(r"-?[0-9]+badFiles\.txt", results[0]),
                 f"tavrin.exe list: status {rc}, console {out!r}, tool folder {results}")
        f.equal(0, machine.msiexec("/x", "C:\\new.msi"), "msiexec /x")
        check_removed(f, machine, prefix, results)

        # An older version, then this one over it, then the older one again.
        f.equal(0, machine.msiexec("/i", "C:\\old.msi"), "msiexec /i of version 0.9.0")
        f.equal([("tavrin", "0.9.0")], machine.products(), "products after installing 0.9.0")
        f.expect(machine.file(PROGRAM) == old_bytes, "0.9.0 did not install its tavrin.exe")
        f.equal(0, machine.msiexec("/i", "C:\\new.msi"), f"msiexec /i of version {version} over 0.9.0")
        f.equal([("tavrin", version)], machine.products(), "products after the upgrade")
        f.expect(machine.file(PROGRAM) == new_bytes, "the upgrade did not put the new tavrin.exe in place")
        f.equal(["tavrin.exe"], sorted(os.listdir(prefix.unix_path("C:\\Program Files\\tavrin"))),
                "files in C:\\Program Files\\tavrin after the upgrade")
        f.equal(1, machine.path_entries().count("C:\\Program Files\\tavrin"),
                f"C:\\Program Files\\tavrin in PATH once after the upgrade: {machine.path_entries()}")
        f.expect(machine.msiexec("/i", "C:\\old.msi") != 0, "msiexec /i of 0.9.0 over the newer version succeeded")
        f.equal([("tavrin", version)], machine.products(), "products after the refused downgrade")
        for name in results:  # an empty tool folder stays too
            os.unlink(prefix.unix_path(TOOL) / name)
        f.equal(0, machine.msiexec("/x", "C:\\new.msi"), "msiexec /x after the upgrade")
        check_removed(f, machine, prefix, [])
    finally:
        prefix.stop_server()


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    dist, version, source, work = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3]), os.path.abspath(sys.argv[4])
    msi = os.path.join(dist, f"tavrin-{version}-x64.msi")
    zip_path = os.path.join(dist, f"tavrin-{version}-win64.zip")
    if not os.path.isfile(msi):
        skip("no installer: the case release.reproducible did not build it")
    for tool in ["msiinfo", "msiextract", "unzip"]:
        if shutil.which(tool) is None:
            skip(f"{tool} is not installed (bash scripts/test.sh installs it as root)")
    epoch = int(subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"], stdout=subprocess.PIPE,
                               check=True).stdout)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    exe = os.path.join(work, "tavrin.exe")
    with open(exe, "wb") as e:
        e.write(subprocess.run(["unzip", "-p", zip_path, "tavrin.exe"], stdout=subprocess.PIPE, check=True).stdout)
    f = Failures()
    check_tables(f, msi, exe, version, epoch)
    check_wine(f, msi, exe, version, source, work)
    code = verdict(f)
    shutil.rmtree(os.path.join(work, "wine"), ignore_errors=True)  # hundreds of MB
    return code


if __name__ == "__main__":
    sys.exit(main())
