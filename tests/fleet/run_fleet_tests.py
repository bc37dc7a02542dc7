"""The fleet playbook run for real by ansible-playbook, deploying from a dist/
folder alone, as an administrator does with a release.

The release folder holds the .deb (made by packaging/make_deb.sh from the
program under test), SHA256SUMS and the playbook as its archive unpacks. Two
hosts, alpha and beta, are fresh Debian 12 roots (tests/release/debian_root.py)
reached with Ansible's chroot connection: the play installs the .deb there
with apt, which makes the tool folder. Each has its own ntfs-3g volume on
/mnt/win; beta's second path, /mnt/ro, is a read-only view of a folder of its
volume, so one of its files cannot be fixed. A third host, delta (in alpha's
root), is given a path with a typo and must fail with tavrin's reason without
stopping the others (first run only). Each ansible-playbook run happens in a
private mount namespace.

Runs: list; --check repair with the package removed and the tool folders
read-only (console only); repair; list again; list with a typo on every host
(the report and the summary all the same).

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
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "ntfs"))
sys.path.insert(0, os.path.join(HERE, "..", "release"))
from debian_root import Unavailable, fresh_root  # noqa: E402
from progress_lines import say  # noqa: E402
from run_ntfs_tests import (ATTRIBUTE, Failures, preconditions as ntfs_preconditions, skip,  # noqa: E402
                            stop_on_signals, verdict, word)

PACKAGING = os.path.join(HERE, "..", "..", "packaging")
SUSPECT = 0x3127
TOOL = "/var/lib/Norvane/Wickline"


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
        self.deploy = playbook_dir
        self.work = tempfile.mkdtemp(prefix="tavrin-fleet-")
        self.home = os.path.join(self.work, "home")
        self.results = os.path.join(self.home, "tavrin-results")  # the default: outside any checkout
        self.hosts = {name: os.path.join(self.work, "hosts", name) for name in ["alpha", "beta"]}
        self.mounts = []
        self.f = Failures()
        self.fetched = {}  # host -> names fetched so far, in order
        said = subprocess.run([tavrin, "lst"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A program that tells a usage error by status 2 tells the rest too.
        self.statuses = said.returncode == 2

    # --- volumes, release, hosts --------------------------------------------
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

    def release(self):
        """dist/ as a release gives it: the .deb, SHA256SUMS and the playbook's folder."""
        version = subprocess.run([self.tavrin, "--version"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode().split()[-1]
        dist = os.path.join(self.work, "dist")
        os.makedirs(dist)
        deb = f"tavrin_{version}_amd64.deb"
        made = subprocess.run(["bash", os.path.join(PACKAGING, "make_deb.sh"), self.tavrin, version,
                               os.path.join(self.work, "deb"), os.path.join(dist, deb)],
                              env=dict(os.environ, SOURCE_DATE_EPOCH="0"),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if made.returncode != 0:
            raise SystemExit(f"FAIL make_deb.sh: {made.stdout.decode(errors='replace')}")
        subprocess.run(f"sha256sum {deb} >SHA256SUMS", shell=True, cwd=dist, check=True)
        playbook = os.path.join(dist, f"tavrin-{version}-ansible")
        shutil.copytree(self.deploy, playbook, ignore=shutil.ignore_patterns("__pycache__"))
        self.playbook = os.path.join(playbook, "tavrin.yml")

    def build(self):
        a, b = self.volume("a"), self.volume("b")
        self.volumes = {"alpha": a, "beta": b}
        # Paths as the hosts see them.
        self.alpha = ["/mnt/win/bad.exe", "/mnt/win/two\nlines.exe", "/mnt/win/café.sys", "/mnt/win/sub/deep.sys"]
        self.fixable = ["/mnt/win/data/x.exe", "/mnt/win/data/with space/y.dll"]
        self.locked = ["/mnt/ro/z.exe"]  # read-only: cannot be fixed
        self.beta = self.fixable + self.locked
        for path in self.alpha:
            make_file(a + path[len("/mnt/win"):], SUSPECT)
        for path in self.fixable + ["/mnt/win/locked/z.exe"]:
            make_file(b + path[len("/mnt/win"):], SUSPECT)
        make_file(f"{a}/good.txt", 0x20)
        make_file(f"{a}/near.dll", 0x3126)
        make_file(f"{b}/data/plain.txt", 0x20)
        self.release()
        say("volumes and the release made; making the hosts' Debian roots", "fleet")
        try:
            for root in self.hosts.values():
                fresh_root(root)
                os.makedirs(os.path.join(root, "mnt", "win"))
                os.makedirs(os.path.join(root, "mnt", "ro"))
        except Unavailable as reason:
            skip(str(reason))
        os.makedirs(os.path.join(self.work, "ansible", "tmp"))
        os.makedirs(self.home)
        with open(os.path.join(self.work, "ansible.cfg"), "w") as f:
            f.write("[defaults]\n")  # none of the machine's settings
        hosts = {"alpha": {"ansible_host": self.hosts["alpha"], "tavrin_paths": ["/mnt/win"]},
                 "beta": {"ansible_host": self.hosts["beta"], "tavrin_paths": ["/mnt/win/data", "/mnt/ro"]}}
        common = {"ansible_connection": "community.general.chroot", "ansible_python_interpreter": "/usr/bin/python3"}
        typo = {"delta": {"ansible_host": self.hosts["alpha"], "tavrin_paths": ["/mnt/wni"]}}
        typos = {name: {**host, "tavrin_paths": ["/mnt/wni"]} for name, host in hosts.items()}
        for name, inventory_hosts in [("inventory.yml", hosts), ("inventory-delta.yml", {**hosts, **typo}),
                                      ("inventory-typos.yml", typos)]:
            inventory = {"fleet": {"hosts": inventory_hosts, "vars": common}}
            with open(os.path.join(self.work, name), "w") as f:
                json.dump(inventory, f)

    def host_path(self, host, inside):
        return os.path.join(self.hosts[host], inside.lstrip("/"))

    def tool(self, host):
        return self.host_path(host, TOOL)

    # --- runs -------------------------------------------------------------
    def play(self, inventory, *args, tool_read_only=False):
        """ansible-playbook in a private mount namespace; returns (status, json output)."""
        alpha, beta = self.hosts["alpha"], self.hosts["beta"]
        script = ('for root in "$1" "$2"; do mount -t proc proc "$root/proc" || exit 90; done; '
                  'mount --bind "$3" "$1/mnt/win" && mount --bind "$4" "$2/mnt/win" || exit 91; '
                  'mount --bind "$4/locked" "$2/mnt/ro" && mount -o remount,bind,ro "$2/mnt/ro" || exit 92; '
                  'if [ "$5" = ro ]; then for root in "$1" "$2"; do mount --bind "$root$6" "$root$6" && '
                  'mount -o remount,bind,ro "$root$6" || exit 93; done; fi; shift 6; exec "$@"')
        env = dict(os.environ, ANSIBLE_HOME=os.path.join(self.work, "ansible"),
                   ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible", "tmp"),
                   ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
                   ANSIBLE_DEPRECATION_WARNINGS="0", ANSIBLE_CONFIG=os.path.join(self.work, "ansible.cfg"),
                   ANSIBLE_PIPELINING="1", PYTHONDONTWRITEBYTECODE="1", HOME=self.home)
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                   alpha, beta, self.volumes["alpha"], self.volumes["beta"], "ro" if tool_read_only else "rw", TOOL,
                   "ansible-playbook", "-i", os.path.join(self.work, inventory), "--forks", "1",
                   self.playbook, *args]
        started = time.monotonic()
        result = subprocess.run(command, cwd=self.work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        say(f"{self.f.section}: ansible-playbook {' '.join(args)}: {time.monotonic() - started:.1f} s, "
            f"status {result.returncode}", "fleet")
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

    def task_results(self, output, name):
        """host -> result of the task called name (the last run of it)."""
        found = {}
        for play in output.get("plays", []):
            for task in play.get("tasks", []):
                if task["task"]["name"] == name:
                    found.update(task["hosts"])
        return found

    def summary(self, output):
        return self.task_results(output, "Summary").get("localhost", {}).get("msg")

    def check_stats(self, output, changed, failed=()):
        stats = output.get("stats", {})
        for host, count in changed.items():
            self.f.equal(count, stats.get(host, {}).get("changed"), f"changed tasks on {host}")
        for host in stats:
            self.f.equal(1 if host in failed else 0, stats[host].get("failures"), f"failures on {host}")

    def check_partial(self, output, expected):
        """The hosts whose last run was reported partial: host -> the report's message, as a pattern."""
        reported = {h: r.get("msg", "") for h, r in self.task_results(output, "Report a partial run").items()
                    if not r.get("skipped")}
        if not self.statuses:
            return
        self.f.equal(sorted(expected), sorted(reported), "hosts reported partial")
        for host, msg in reported.items():
            self.f.expect(re.fullmatch(expected.get(host, ""), msg), f"{host}: partial: {msg!r}")

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

    def partial_line(self, *runs):
        return "partial runs: " + (", ".join(runs) if runs and self.statuses else "none")

    # --- the administrator's sequence -------------------------------------
    def run_all(self):
        rows = []
        f = self.f
        hosts = [("alpha", self.alpha), ("beta", self.beta)]
        if not self.statuses:
            print("SKIP part: the program ends with status 0 after a usage error, so the failing "
                  "host delta and the partial runs are not checked (the program predates its exit statuses)")

        f.section = "list"
        status, out = self.play("inventory-delta.yml", "-e", "tavrin_command=list")
        files = self.new_files()
        f.expect(not os.path.exists(os.path.join(self.work, "tavrin-results")), "results in the current folder")
        if self.statuses:
            f.equal(2, status, "exit status with a failing host")
            f.equal(["alpha", "beta", "report.csv"], sorted(os.listdir(self.results))
                    if os.path.isdir(self.results) else None, "results folder")
            reason = self.task_results(out, "Check that the run ended well").get("delta", {}).get("msg", "")
            f.equal("tavrin list ended with status 2: tavrin: cannot read /mnt/wni: not found", reason,
                    "delta fails with tavrin's reason")
        for host, paths in hosts:
            f.equal(1, len(files.get(host, {})), f"{host}: files fetched")
            rows.append((host, "list", len(paths), self.check_result(files, host, "badFiles.txt", records(*paths))))
        if not self.statuses and "delta" in files:
            rows += [("delta", "list", 0, name) for name in files["delta"]]
        self.check_report(sorted(rows, key=lambda r: r[0]))
        # The package installed on each root; delta, in alpha's root, finds it there.
        self.check_stats(out, {"alpha": 1, "beta": 1, "delta": 0}, failed=["delta"] if self.statuses else [])
        self.check_partial(out, {})
        f.equal(["hosts: 2 done, 1 failed: delta" if self.statuses else "hosts: 3 done", "records: 7 (list 7)",
                 "hosts with could-not-fix records: none", self.partial_line()] +
                (["delta failed: tavrin list ended with status 2: tavrin: cannot read /mnt/wni: not found"]
                 if self.statuses else []) + [f"report: {self.results}/report.csv"],
                self.summary(out), "summary")
        for host in self.hosts:
            tool = self.tool(host)
            f.equal(0o750, os.stat(tool).st_mode & 0o7777 if os.path.isdir(tool) else None,
                    f"{host}: mode of the tool folder the package made")
            f.expect(os.path.isfile(self.host_path(host, "/usr/bin/tavrin")), f"{host}: tavrin not installed")

        f.section = "check repair, tool folder read-only"
        removed = subprocess.run(["chroot", self.hosts["alpha"], "dpkg", "--remove", "tavrin"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        f.equal(0, removed.returncode, f"dpkg --remove tavrin on alpha: {removed.stderr[-300:]!r}")
        status, out = self.play("inventory.yml", "--check", "-e", "tavrin_command=repair", tool_read_only=True)
        f.equal(0, status, "exit status")
        files = self.new_files()
        for host, paths in hosts:
            names = list(files.get(host, {}))
            f.expect(len(names) == 1 and re.fullmatch(r"-?[0-9]+badFiles\.console\.txt", names[0]),
                     f"{host}: console only, got {names}")
            if names:
                expected = (b"Could not open file to write results " + TOOL.encode() + b"/" +
                            names[0].replace(".console", "").encode())
                console = files[host][names[0]]
                f.expect(console.startswith(expected) and same_records(records(*paths), console[len(expected):]),
                         f"{host}: console of list: {console!r}")
            rows.append((host, "list", len(paths), names[0] if names else None))
        self.check_report(sorted(rows, key=lambda r: r[0]))
        # alpha installs the package again, then both would repair
        self.check_stats(out, {"alpha": 2, "beta": 1, "localhost": 0})
        # The result file could not be made: partial.
        self.check_partial(out, {host: r"tavrin list partial \(status 1\): tavrin: .*" + re.escape(TOOL) + ".*"
                                 for host in self.hosts})
        f.equal(0x3127, word(self.volumes["alpha"] + "/bad.exe"), "check mode changed a word")
        f.equal(["records: 7 (list 7)", self.partial_line("alpha (list)", "beta (list)")],
                (self.summary(out) or [None] * 4)[1:4:2], "summary")

        f.section = "repair"
        decoys = ["2147483647badFiles.txt", "-1couldNotFix.txt", "7couldNotFix.txt.old"]
        for host in self.hosts:
            for decoy in decoys:
                with open(os.path.join(self.tool(host), decoy), "wb") as d:
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
        # tavrin's closing line says how many could not be fixed, and where.
        self.check_partial(out, {"beta": r"tavrin repair partial \(status 1\): tavrin: 1 file could not be "
                                         r"repaired: listed in " + re.escape(TOOL) + r"/-?[0-9]+couldNotFix\.txt "
                                         r"and as FlagsR lines on standard output"})
        f.equal(["hosts: 2 done", "records: 8 (list 7, repair 1)", "hosts with could-not-fix records: beta (1)",
                 self.partial_line("beta (repair)")], (self.summary(out) or [])[:4], "summary")
        a, b = self.volumes["alpha"], self.volumes["beta"]
        on_volume = [a + p[len("/mnt/win"):] for p in self.alpha] + [b + p[len("/mnt/win"):] for p in self.fixable]
        f.equal([0x80] * 6 + [SUSPECT], [word(p) for p in on_volume + [f"{b}/locked/z.exe"]], "words after repair")

        f.section = "list again"
        status, out = self.play("inventory.yml")  # list is the default command
        f.equal(0, status, "exit status")
        files = self.new_files()
        for host, paths in [("alpha", []), ("beta", self.locked)]:
            rows.append((host, "list", len(paths), self.check_result(files, host, "badFiles.txt", records(*paths))))
        self.check_report(sorted(rows, key=lambda r: r[0]))
        self.check_stats(out, {"alpha": 0, "beta": 0, "localhost": 0})
        self.check_partial(out, {})
        f.equal("records: 1 (list 1)", (self.summary(out) or [None, None])[1], "summary")
        for host in self.hosts:
            for decoy in decoys:
                f.expect(os.path.exists(os.path.join(self.tool(host), decoy)), f"{host}: decoy {decoy} gone")
        fetched = [n for names in self.fetched.values() for n in names]
        f.expect(not set(decoys) & set(fetched), "a decoy was fetched")

        f.section = "every host fails"
        if not self.statuses:
            return
        status, out = self.play("inventory-typos.yml")
        f.equal(2, status, "exit status")
        f.equal({}, {h: n for h, n in self.new_files().items() if n}, "files fetched")
        self.check_report(sorted(rows, key=lambda r: r[0]))  # written again, from what was fetched before
        f.equal(["hosts: 0 done, 2 failed: alpha, beta", "records: 0", "hosts with could-not-fix records: none",
                 "partial runs: none",
                 "alpha failed: tavrin list ended with status 2: tavrin: cannot read /mnt/wni: not found",
                 "beta failed: tavrin list ended with status 2: tavrin: cannot read /mnt/wni: not found",
                 f"report: {self.results}/report.csv"], self.summary(out), "summary")
        self.check_stats(out, {}, failed=["alpha", "beta"])


def preconditions():
    if shutil.which("ansible-playbook") is None:
        skip("ansible-playbook not found (package ansible)")
    for tool in ["dpkg-deb", "dpkg-shlibdeps"]:
        if shutil.which(tool) is None:
            skip(f"{tool} not found, the .deb cannot be made (package dpkg-dev)")
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
