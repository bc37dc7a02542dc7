#!/usr/bin/env python3
"""The fleet playbook run for real by ansible-playbook against Linux hosts.

Two hosts of one inventory, alpha and beta, each with a local connection and
its own ntfs-3g volume; beta's second path is a read-only view of a folder on
its volume, so one of its files cannot be fixed. A third host, delta, has no
program to copy and must fail without stopping the others (first run only). Each
ansible-playbook run happens in a private mount namespace with a folder of the
test on /var/lib, so the machine's own /var/lib is never touched; the hosts
share that tool folder, so each must pick its own result file.

Runs: list; --check repair with the tool folder read-only (console only);
repair; list again.

Usage: run_fleet_tests.py PATH-TO-TAVRIN DEPLOY-ANSIBLE-FOLDER
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ntfs"))
from run_ntfs_tests import (ATTRIBUTE, Failures, preconditions as ntfs_preconditions, skip,  # noqa: E402
                            stop_on_signals, verdict, word)

SUSPECT = 0x3127
TOOL = "Norvane/Wickline"


def make_file(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"x")
    os.setxattr(path, ATTRIBUTE, value.to_bytes(4, "big"), follow_symlinks=False)


def records(*paths):
    return [b"\n%d, %s" % (SUSPECT, os.fsencode(p)) for p in paths]


def same_records(expected, actual):
    """actual is the records of the list expected, in any order (the walk's)."""
    left = sorted(expected, key=len, reverse=True)
    while left:
        found = next((r for r in left if actual.startswith(r)), None)
        if found is None:
            return False
        actual = actual[len(found):]
        left.remove(found)
    return actual == b""


class Fleet:
    def __init__(self, tavrin, playbook_dir):
        self.tavrin = tavrin
        self.playbook = os.path.join(playbook_dir, "tavrin.yml")
        self.work = tempfile.mkdtemp(prefix="tavrin-fleet-")
        self.varlib = os.path.join(self.work, "varlib")
        self.tool = os.path.join(self.varlib, TOOL)
        self.results = os.path.join(self.work, "tavrin-results")  # the default, in the current folder
        self.ro = os.path.join(self.work, "ro-locked")
        self.mounts = []
        self.f = Failures()
        self.fetched = {}  # host -> names fetched so far, in order

    # --- volumes ----------------------------------------------------------
    def volume(self, name):
        image = os.path.join(self.work, f"{name}.img")
        mnt = os.path.join(self.work, f"mnt-{name}")
        os.mkdir(mnt)
        with open(image, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", "-L", name, image], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        mounted = subprocess.run(["ntfs-3g", image, mnt], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if mounted.returncode != 0:
            skip(f"ntfs-3g mount refused: {mounted.stdout.decode(errors='replace').strip()[:200]}")
        self.mounts.append(mnt)
        return mnt

    def cleanup(self):
        for mnt in self.mounts:
            if subprocess.run(["fusermount", "-u", mnt], stderr=subprocess.DEVNULL).returncode:
                subprocess.run(["umount", "-l", mnt], stderr=subprocess.DEVNULL)
        if not any(os.path.ismount(m) for m in self.mounts):  # never delete through a mount
            subprocess.run(["rm", "-rf", "--one-file-system", self.work])

    def build(self):
        a, b = self.volume("a"), self.volume("b")
        self.alpha = [f"{a}/bad.exe", f"{a}/two\nlines.exe", f"{a}/café.sys", f"{a}/sub/deep.sys"]
        self.fixable = [f"{b}/data/x.exe", f"{b}/data/with space/y.dll"]
        self.locked = [f"{self.ro}/z.exe"]  # read-only: cannot be fixed
        self.beta = self.fixable + self.locked
        for path in self.alpha + self.fixable + [f"{b}/locked/z.exe"]:
            make_file(path, SUSPECT)
        make_file(f"{a}/good.txt", 0x20)
        make_file(f"{a}/near.dll", 0x3126)
        make_file(f"{b}/data/plain.txt", 0x20)
        self.volume_b = b
        os.mkdir(self.ro)
        os.makedirs(self.varlib)
        os.makedirs(os.path.join(self.work, "ansible", "tmp"))
        with open(os.path.join(self.work, "ansible.cfg"), "w") as f:
            f.write("[defaults]\n")  # none of the machine's settings
        host = {"tavrin_linux_binary": self.tavrin}
        hosts = {"alpha": {"tavrin_paths": [a]}, "beta": {"tavrin_paths": [f"{b}/data", self.ro]}}
        common = {"ansible_connection": "local", "ansible_python_interpreter": sys.executable,
                  "tavrin_linux_install_path": os.path.join(self.work, "bin", "tavrin"), **host}
        for name, extra in [("inventory.yml", {}),
                            ("inventory-delta.yml", {"delta": {"tavrin_linux_binary": "/nonexistent/tavrin"}})]:
            inventory = {"fleet": {"hosts": {**hosts, **extra}, "vars": common}}
            with open(os.path.join(self.work, name), "w") as f:
                json.dump(inventory, f)

    # --- runs -------------------------------------------------------------
    def play(self, inventory, *args, tool_read_only=False):
        """ansible-playbook in a private mount namespace; returns (status, json output)."""
        script = ('mount --bind "$1" /var/lib || exit 90; '
                  'mount --bind "$2" "$3" && mount -o remount,bind,ro "$3" || exit 91; '
                  'if [ "$4" = ro ]; then mount --bind /var/lib/$5 /var/lib/$5 && '
                  'mount -o remount,bind,ro /var/lib/$5 || exit 92; fi; shift 5; exec "$@"')
        env = dict(os.environ, ANSIBLE_HOME=os.path.join(self.work, "ansible"),
                   ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible", "tmp"),
                   ANSIBLE_REMOTE_TMP=os.path.join(self.work, "ansible", "tmp"),
                   ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
                   ANSIBLE_DEPRECATION_WARNINGS="0", ANSIBLE_CONFIG=os.path.join(self.work, "ansible.cfg"),
                   ANSIBLE_PIPELINING="1", PYTHONDONTWRITEBYTECODE="1", HOME=os.path.join(self.work, "ansible"))
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                   self.varlib, f"{self.volume_b}/locked", self.ro, "ro" if tool_read_only else "rw", TOOL,
                   "ansible-playbook", "-i", os.path.join(self.work, inventory), "--forks", "1",
                   self.playbook, *args]
        started = time.monotonic()
        result = subprocess.run(command, cwd=self.work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        print(f"     ansible-playbook {' '.join(args)}: {time.monotonic() - started:.1f} s")
        try:
            output = json.loads(result.stdout)
        except ValueError:
            output = {}
            print(result.stdout.decode(errors="replace")[-3000:], result.stderr.decode(errors="replace")[-3000:])
        return result.returncode, output

    def new_files(self):
        """What the last play fetched: host -> {name: bytes}."""
        found = {}
        for host in sorted(os.listdir(self.results)) if os.path.isdir(self.results) else []:
            folder = os.path.join(self.results, host)
            if not os.path.isdir(folder):
                continue
            seen = self.fetched.setdefault(host, [])
            new = sorted(set(os.listdir(folder)) - set(seen))
            seen.extend(sorted(new, key=lambda n: os.stat(os.path.join(folder, n)).st_mtime_ns))
            found[host] = {}
            for name in new:
                with open(os.path.join(folder, name), "rb") as f:
                    found[host][name] = f.read()
        return found

    def summary(self, output):
        for play in output.get("plays", []):
            for task in play.get("tasks", []):
                if task["task"]["name"] == "Summary":
                    return task["hosts"]["localhost"].get("msg")
        return None

    def check_stats(self, output, changed, failed=()):
        stats = output.get("stats", {})
        for host, count in changed.items():
            self.f.equal(count, stats.get(host, {}).get("changed"), f"changed tasks on {host}")
        for host in stats:
            self.f.equal(1 if host in failed else 0, stats[host].get("failures"), f"failures on {host}")

    def check_result(self, files, host, suffix, content):
        """The host got exactly one new file <tick><suffix> holding content; returns its name."""
        names = list(files.get(host, {}))
        pattern = re.compile(r"-?[0-9]+" + re.escape(suffix))
        matching = [n for n in names if pattern.fullmatch(n)]
        self.f.expect(len(matching) == 1, f"{host}: no single new <tick>{suffix} in {names}")
        if matching:
            actual = files[host][matching[0]]
            self.f.expect(same_records(content, actual),
                          f"{host}: content of {matching[0]}\n  expected (any order): {content!r}\n  actual: {actual!r}")
            return matching[0]
        return None

    def check_report(self, rows):
        with open(os.path.join(self.results, "report.csv"), "rb") as f:
            report = f.read()
        expected = b"host,command,records,result_file\n" + b"".join(
            b"%s,%s,%d,%s\n" % (h.encode(), c.encode(), n, (name or "?").encode()) for h, c, n, name in rows)
        self.f.equal(expected, report, "report.csv")

    # --- the administrator's sequence -------------------------------------
    def run_all(self):
        rows = []
        f = self.f
        hosts = [("alpha", self.alpha), ("beta", self.beta)]

        f.section = "list"
        status, out = self.play("inventory-delta.yml", "-e", "tavrin_command=list")
        f.equal(2, status, "exit status with a failing host")
        files = self.new_files()
        f.equal(["alpha", "beta", "report.csv"], sorted(os.listdir(self.results)) if os.path.isdir(self.results)
                else None, "results folder")
        for host, paths in hosts:
            f.equal(1, len(files.get(host, {})), f"{host}: files fetched")
            rows.append((host, "list", len(paths), self.check_result(files, host, "badFiles.txt", records(*paths))))
        self.check_report(rows)
        self.check_stats(out, {}, failed=["delta"])
        f.equal(["hosts: 2 done, 1 failed: delta", "records: 7 (list 7)", "hosts with could-not-fix records: none",
                 f"report: {self.results}/report.csv"], self.summary(out), "summary")
        f.expect(os.path.isdir(self.tool), "the play did not make the tool folder")
        f.equal(0o755, os.stat(self.tool).st_mode & 0o7777 if os.path.isdir(self.tool) else None,
                "mode of the tool folder")
        f.expect(os.path.isfile(os.path.join(self.work, "bin", "tavrin")), "tavrin not installed")

        f.section = "check repair, tool folder read-only"
        os.unlink(os.path.join(self.work, "bin", "tavrin"))  # check mode must copy it again to list
        status, out = self.play("inventory.yml", "--check", "-e", "tavrin_command=repair", tool_read_only=True)
        f.equal(0, status, "exit status")
        files = self.new_files()
        for host, paths in hosts:
            names = list(files.get(host, {}))
            f.expect(len(names) == 1 and re.fullmatch(r"-?[0-9]+badFiles\.console\.txt", names[0]),
                     f"{host}: console only, got {names}")
            if names:
                expected = (b"Could not open file to write results /var/lib/" + TOOL.encode() + b"/" +
                            names[0].replace(".console", "").encode())
                console = files[host][names[0]]
                f.expect(console.startswith(expected) and same_records(records(*paths), console[len(expected):]),
                         f"{host}: console of list: {console!r}")
            rows.append((host, "list", len(paths), names[0] if names else None))
        self.check_report(sorted(rows, key=lambda r: r[0]))
        # alpha copies the program the hosts share, then both would repair
        self.check_stats(out, {"alpha": 2, "beta": 1, "localhost": 0})
        f.equal(SUSPECT, word(self.alpha[0]), "check mode changed a word")
        f.equal("records: 7 (list 7)", (self.summary(out) or [None, None])[1], "summary")

        f.section = "repair"
        decoys = ["2147483647badFiles.txt", "-1couldNotFix.txt", "7couldNotFix.txt.old"]
        for decoy in decoys:
            with open(os.path.join(self.tool, decoy), "wb") as d:
                d.write(b"\n12583, decoy")
        status, out = self.play("inventory.yml", "-e", "tavrin_command=repair")
        f.equal(0, status, "exit status")
        files = self.new_files()
        for host, paths in hosts:
            rows.append((host, "list", len(paths), self.check_result(files, host, "badFiles.txt", records(*paths))))
            left = self.locked if host == "beta" else []
            rows.append((host, "repair", len(left), self.check_result(files, host, "couldNotFix.txt", records(*left))))
        flags = [n for n in files.get("beta", {}) if n.endswith(".console.txt")]
        f.equal(1, len(flags), "beta: console of repair fetched")
        if flags:
            f.equal(b"\n FlagsR: 12583, File: " + os.fsencode(self.locked[0]), files["beta"][flags[0]],
                    "beta: console of repair")
        self.check_report(sorted(rows, key=lambda r: r[0]))
        self.check_stats(out, {"alpha": 1, "beta": 1})
        f.equal(["hosts: 2 done", "records: 8 (list 7, repair 1)", "hosts with could-not-fix records: beta (1)"],
                (self.summary(out) or [])[:3], "summary")
        f.equal([0x80] * 6 + [SUSPECT], [word(p) for p in self.alpha + self.fixable + [f"{self.volume_b}/locked/z.exe"]],
                "words after repair")

        f.section = "list again"
        status, out = self.play("inventory.yml")  # list is the default command
        f.equal(0, status, "exit status")
        files = self.new_files()
        for host, paths in [("alpha", []), ("beta", self.locked)]:
            rows.append((host, "list", len(paths), self.check_result(files, host, "badFiles.txt", records(*paths))))
        self.check_report(sorted(rows, key=lambda r: r[0]))
        self.check_stats(out, {"alpha": 0, "beta": 0, "localhost": 0})
        f.equal("records: 1 (list 1)", (self.summary(out) or [None, None])[1], "summary")
        for decoy in decoys:
            f.expect(os.path.exists(os.path.join(self.tool, decoy)), f"decoy {decoy} gone")
        fetched = [n for names in self.fetched.values() for n in names]
        f.expect(not set(decoys) & set(fetched), "a decoy was fetched")


def preconditions():
    if shutil.which("ansible-playbook") is None:
        skip("ansible-playbook not found (package ansible)")
    ntfs_preconditions()  # root, ntfs-3g, FUSE, a private mount namespace


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    preconditions()
    stop_on_signals()

    fleet = Fleet(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    try:
        fleet.build()
        fleet.run_all()
    finally:
        fleet.cleanup()
    return verdict(fleet.f)


if __name__ == "__main__":
    sys.exit(main())
