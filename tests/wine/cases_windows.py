"""The suite's cases that only Windows itself can show: Wine keeps no ACLs,
no change journal, no privileges, no 8.3 names and no per-folder case
sensitivity. Under Wine each skips with its reason; the Windows CI job runs
them on the NTFS volume the host made (docs/ci.md)."""

import os
import re
import threading

from suite_base import TOOL_FOLDER, SuiteBase, expect_equal, records

# The words `set` is given, as typed, and the word each must read back as.
UNUSUAL_WORDS = ("16", "0", "-1", "-2147483648")


class WindowsCases(SuiteBase):
    def volume_records(self, run, under):
        """The records of a whole-volume listall that lie under `under`
        (the volume's own system folders may differ by rights)."""
        self.fresh_tool_folder()
        rc, _, err = run(["listall", self.host.base[:3]])
        if rc not in (0, 1):
            raise AssertionError("listall of the volume exited with %d: %r" % (rc, err[-500:]))
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        return [line for line in content.decode("utf-8").split("\r\n") if ", %s\\" % under in line]

    def case_table_reader(self):
        # The whole volume read from its file table (elevated) gives the
        # walk's records (not elevated: no volume handle) byte for byte.
        self.host.needs_windows("reading a volume's file table through an elevated volume handle")
        files = {"d%02d\\f%03d.txt" % (d, i): b"x" for d in range(10) for i in range(200)}
        files.update({"ro.txt": b"r", "sub\\deeper\\c.txt": b"c", "empty": None})
        root = self.tree("table", files)
        self.read_only(root + "\\ro.txt")
        elevated = self.volume_records(self.host.run, root)
        walked = self.volume_records(self.host.run_limited, root)
        expect_equal("records from the file table and from the walk", elevated, walked)
        expect_equal("records of the tree", len(elevated), len(files) - 1)

    def case_unusual_words(self):
        # A root file is set through SetFileAttributesW, a walked entry
        # through NtSetInformationFile: each word reads back the same either way.
        self.host.needs_windows("words Windows keeps but Wine does not")
        for word in UNUSUAL_WORDS:
            root = self.tree("words", {"root.txt": b"r", "walked\\entry.txt": b"w"})
            self.tavrin("set", word, root + "\\root.txt", root + "\\walked")
            got = self.listall(root).split("\n")[1:]
            words = {line.split(", ", 1)[1][len(root) + 1:]: line.split(", ", 1)[0] for line in got}
            expect_equal("word after set %s, root and walked" % word, words.get("root.txt"),
                         words.get("walked\\entry.txt"))
            self.host.reset_attributes(self.local(root))

    def case_case_sensitive(self):
        # A folder made case-sensitive holds a.txt beside A.txt: each is
        # listed and changed as itself.
        self.host.needs_windows("per-folder case sensitivity (fsutil file setCaseSensitiveInfo)")
        root = self.tree("cs", {"folder": None})
        self.host.checked(["fsutil", "file", "setCaseSensitiveInfo", root + "\\folder", "enable"])
        for name in ("a.txt", "A.txt"):
            (self.local(root + "\\folder") / name).write_bytes(name.encode())
        expect_equal("listall of a case-sensitive folder", sorted(self.listall(root).split("\n")[1:]),
                     sorted(["32, %s\\folder\\A.txt" % root, "32, %s\\folder\\a.txt" % root]))
        self.tavrin("set", "33", root + "\\folder\\a.txt")
        expect_equal("words after set of a.txt only", sorted(self.listall(root).split("\n")[1:]),
                     sorted(["32, %s\\folder\\A.txt" % root, "33, %s\\folder\\a.txt" % root]))

    def case_short_names(self):
        # With 8.3 names on, a long name has a short one too: listed once, by its long name.
        self.host.needs_windows("8.3 short names")
        self.host.checked(["fsutil", "8dot3name", "set", self.host.base[:2], "0"])
        root = self.tree("short", {})
        (self.local(root) / "a rather long file name.text").write_bytes(b"l")
        expect_equal("listall with 8.3 names", self.listall(root),
                     records((32, root + "\\a rather long file name.text")))

    def case_subst_root(self):
        # A SUBST drive given as a root is walked as its folder is.
        self.host.needs_windows("SUBST drives")
        root = self.tree("subst", {"a.txt": b"a", "sub\\b.txt": b"b"})
        letter = self.host.free_letter()
        self.host.checked(["subst", letter, root])
        self.cleanups.append(lambda: self.host.cmd(["subst", letter, "/d"]))
        expect_equal("listall of a SUBST drive", self.listall(letter + "\\"),
                     records((32, letter + "\\a.txt"), (32, letter + "\\sub\\b.txt")))

    def case_journal_churn(self):
        # Files moved between folders while the whole volume is read from
        # its file table: every file that never moved is listed exactly once.
        self.host.needs_windows("the change journal")
        files = {"still\\s%04d.txt" % i: b"s" for i in range(2000)}
        files.update({"a\\m%04d.txt" % i: b"m" for i in range(500)})
        files["b"] = None
        root = self.tree("churn", files)
        stop = threading.Event()

        def churn():
            a, b = self.local(root + "\\a"), self.local(root + "\\b")
            while not stop.is_set():
                for name in os.listdir(a):
                    os.replace(a / name, b / name)
                a, b = b, a
        for _ in range(5):
            mover = threading.Thread(target=churn, daemon=True)
            stop.clear()
            mover.start()
            try:
                got = self.listall(self.host.base[:3])
            finally:
                stop.set()
                mover.join()
            still = [line for line in got.split("\n") if "\\churn\\still\\" in line]
            expect_equal("unchanged files listed once", sorted(still), sorted(
                "32, %s\\%s" % (root, name) for name in files if name.startswith("still\\")))

    def case_msi_lifecycle(self):
        # The installer with real msiexec: an older build, this one over it,
        # the tool folder's ACL, a downgrade refused, the uninstall.
        self.host.needs_windows("msiexec and ACLs")
        current, older = self.host.installers()
        self.host.msiexec("/i", older)
        self.host.msiexec("/i", current)
        program = self.host.program_path()
        rc, out, _ = self.host.run_program(program, ["--version"])
        expect_equal("version after the upgrade", (rc, out.strip()), (0, b"tavrin " + self.host.version()))
        # Three explicit entries, none inherited: SYSTEM, Administrators, Users.
        acl = self.host.checked(["icacls", TOOL_FOLDER]).decode("utf-8", errors="replace")
        entries = re.findall(r"^\s*(?:%s)?\s*(\S[^:\r\n]*):(\S+)" % re.escape(TOOL_FOLDER), acl, re.M)
        if len(entries) != 3 or any("(I)" in rights for _, rights in entries):
            raise AssertionError("the tool folder's ACL is not three explicit entries:\n" + acl)
        if "Users" not in acl or "(RX)" not in acl:
            raise AssertionError("Users may do more than read and list:\n" + acl)
        if self.host.msiexec("/i", older, check=False) == 0:
            raise AssertionError("installing the older build over this one was not refused")
        self.host.msiexec("/x", current)
        if os.path.exists(program):
            raise AssertionError("the uninstall left " + program)
        if not os.path.isdir(self.tool_folder):
            raise AssertionError("the uninstall removed the tool folder")
        if self.host.machine_path_has(os.path.dirname(program)):
            raise AssertionError("the uninstall left the PATH entry")

    def case_open_tool_folder(self):
        # A tool folder that lets users add files: the run warns about it.
        self.host.needs_windows("ACLs")
        root = self.tree("acl", {"a.txt": b"a"})
        self.fresh_tool_folder()
        self.host.checked(["icacls", TOOL_FOLDER, "/grant", "*S-1-5-32-545:(OI)(CI)(W)"])
        self.cleanups.append(lambda: self.host.cmd(["icacls", TOOL_FOLDER, "/reset", "/t"]))
        self.tavrin("listall", root, errors=re.compile(r"tavrin: .*Wickline.*\n"))

    def case_authenticode(self):
        # Signed with a throwaway certificate that the machine trusts, the
        # program's signature is valid and the program still runs.
        self.host.needs_windows("Authenticode")
        exe = self.host.base + "\\signed\\tavrin.exe"
        self.local(self.host.base + "\\signed").mkdir(parents=True, exist_ok=True)
        self.host.copy_of_tavrin(exe)
        status = self.host.sign_and_verify(self.local(exe))
        expect_equal("Get-AuthenticodeSignature", status, "Valid")
        rc, out, _ = self.host.run_program(str(self.local(exe)), ["--version"])
        expect_equal("the signed program's --version", (rc, out.strip()), (0, b"tavrin " + self.host.version()))
