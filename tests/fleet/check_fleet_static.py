#!/usr/bin/env python3
"""Checks of the fleet playbook that need neither root nor a Windows host.

- ansible-playbook --syntax-check with the Windows and the Linux example inventories;
- ansible-lint (no failures) on the playbook folder;
- the controller's filters: record counts, report.csv, summary;
- the Linux host script picking this run's result file among older ones and look-alikes;
- where the plays take the packages from (a release's folder, a checkout's dist/,
  tavrin_dist) and where the results go by default (outside the checkout).

Usage: check_fleet_static.py DEPLOY-ANSIBLE-FOLDER
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ntfs"))
from run_ntfs_tests import SKIP, Failures  # noqa: E402


def write(path, content, mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def check_ansible(f, deploy, work):
    env = dict(os.environ, HOME=work, ANSIBLE_HOME=os.path.join(work, "ansible"), ANSIBLE_NOCOLOR="1",
               NO_COLOR="1", PYTHONDONTWRITEBYTECODE="1")
    for inventory in ["windows.example.yml", "linux.example.yml"]:
        result = subprocess.run(["ansible-playbook", "--syntax-check", "-i",
                                 os.path.join(deploy, "inventory", inventory), os.path.join(deploy, "tavrin.yml")],
                                env=env, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        f.expect(result.returncode == 0, f"syntax check with {inventory}:\n{result.stdout.decode(errors='replace')}")
    result = subprocess.run(["ansible-lint", "--offline", "--nocolor", deploy], env=env, cwd=deploy,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text = result.stdout.decode(errors="replace")
    f.expect(result.returncode == 0 and "0 failure(s), 0 warning(s)" in text, f"ansible-lint:\n{text[-3000:]}")


def load_filters(deploy):
    found = importlib.util.spec_from_file_location(
        "tavrin_results", os.path.join(deploy, "filter_plugins", "tavrin_results.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def check_counts_and_report(f, filters, work):
    results = os.path.join(work, "results")
    w = os.path.join(results, "pc-1")
    x = os.path.join(results, "rescue-1")
    # Windows: CRLF line ends; a run whose folder could not be used.
    write(f"{w}/84210531badFiles.txt", b"\r\n12583, C:\\data\\a.exe\r\n12583, C:\\data\\b c.dll", 100)
    write(f"{w}/84219999badFiles.console.txt",
          b"Could not open file to write results C:\\ProgramData\\Norvane\\Wickline\\84219999badFiles.txt"
          b"\r\n12583, C:\\data\\a.exe", 200)
    write(f"{w}/-5allFiles.txt", b"\r\n32, C:\\x\r\n12583, C:\\y\r\n16, C:\\z", 300)
    # Linux: a name with a line feed; a repair whose console holds FlagsR lines;
    # a full disk, with the later records on the console.
    write(f"{x}/900badFiles.txt", b"\n12583, /mnt/win/two\nlines.exe\n12583, /mnt/win/x", 100)
    write(f"{x}/950couldNotFix.txt", b"\n12583, /mnt/win/x", 200)
    write(f"{x}/950couldNotFix.console.txt", b"\n FlagsR: 12583, File: /mnt/win/x", 201)
    write(f"{x}/990badFiles.txt", b"\n12583, /a", 300)
    write(f"{x}/990badFiles.console.txt",
          b"\nCould not write to the result file /var/lib/Norvane/Wickline/990badFiles.txt, the records follow here"
          b"\n12583, /b\n12583, /c", 301)
    write(f"{x}/995couldNotFix.txt", b"", 400)
    # Not runs: left out of the report.
    for name in ["notes.txt", "5badFiles.txt.old", "x5badFiles.txt", "5-3badFiles.txt", "5badfiles.txt"]:
        write(f"{x}/{name}", b"\n12583, /nope", 50)
    os.makedirs(os.path.join(results, "empty-host"))
    write(os.path.join(results, "report.csv"), b"old report")

    f.equal(2, filters.tavrin_record_count(f"{x}/900badFiles.txt"), "records of a name holding a line feed")
    f.equal(0, filters.tavrin_record_count([f"{x}/995couldNotFix.txt", f"{x}/missing.txt"]), "empty and missing")
    f.equal("host,command,records,result_file\n"
            "pc-1,list,2,84210531badFiles.txt\n"
            "pc-1,list,1,84219999badFiles.console.txt\n"
            "pc-1,listall,3,-5allFiles.txt\n"
            "rescue-1,list,2,900badFiles.txt\n"
            "rescue-1,repair,1,950couldNotFix.txt\n"
            "rescue-1,list,3,990badFiles.txt\n"
            "rescue-1,repair,0,995couldNotFix.txt\n",
            filters.tavrin_report_csv(results), "report.csv")
    f.equal("host,command,records,result_file\n", filters.tavrin_report_csv(os.path.join(work, "none")),
            "report of a missing folder")

    hostvars = {"pc-1": {"tavrin_done": True, "tavrin_runs": [{"command": "list", "records": 3, "status": 0},
                                                              {"command": "repair", "records": "2", "status": 1}]},
                # failed after a partial list: counted as failed only
                "pc-2": {"tavrin_runs": [{"command": "list", "records": 9, "status": 1}],
                         "tavrin_failure": "tavrin repair ended with status 2: tavrin: cannot read\n/mnt/x: not found"},
                "pc-3": {"tavrin_done": True, "tavrin_runs": [{"command": "list", "records": 0, "status": 1}]},
                "pc-5": {"tavrin_done": True, "tavrin_runs": [{"command": "listall", "records": 4}]}}
    f.equal(["hosts: 3 done, 2 failed: pc-2, pc-4", "records: 9 (list 3, listall 4, repair 2)",
             "hosts with could-not-fix records: pc-1 (2)", "partial runs: pc-1 (repair), pc-3 (list)",
             "pc-2 failed: tavrin repair ended with status 2: tavrin: cannot read /mnt/x: not found",
             "pc-4 failed: did not finish (unreachable, or the play was stopped)"],
            filters.tavrin_summary(["pc-1", "pc-2", "pc-3", "pc-4", "pc-5"], hostvars), "summary")
    f.equal(["hosts: 1 done", "records: 0", "hosts with could-not-fix records: none", "partial runs: none"],
            filters.tavrin_summary(["pc-3"], {"pc-3": {"tavrin_done": True, "tavrin_runs": []}}),
            "summary of a host with no runs")


def check_not_opened_pattern(f, deploy):
    with open(os.path.join(deploy, "vars", "tavrin.yml")) as v:
        line = next(l for l in v if l.startswith("tavrin_not_opened:"))
    pattern = re.compile(line.split(":", 1)[1].strip()[1:-1].replace("''", "'"))
    for first, name in [
            ("Could not open file to write results C:\\ProgramData\\Norvane\\Wickline\\77badFiles.txt",
             "77badFiles.txt"),
            ("Could not open file to write results /var/lib/Norvane/Wickline/-3couldNotFix.txt", "-3couldNotFix.txt"),
            ("Could not open file to write results 12allFiles.txt", "12allFiles.txt"),
            ("Could not open file to write results /x/12allFiles.txt.tmp", None),
            ("Could not write to the result file /x/12allFiles.txt", None)]:
        match = pattern.search(first)
        f.equal(name, match.group(1) if match else None, f"name in {first!r}")


def check_host_script(f, deploy, work):
    """run_tavrin.sh names only the result file that appeared during the run."""
    folder = os.path.join(work, "tool")
    os.makedirs(folder)
    for name in ["100badFiles.txt", "2147483647badFiles.txt", "-1badFiles.txt"]:
        write(os.path.join(folder, name), b"")
    fake = os.path.join(work, "fake-tavrin")
    # Leaves what a run and its look-alikes would; prints its arguments.
    write(fake, b'#!/bin/sh\ncd "$FOLDER" || exit 9\n: >555badFiles.txt; : >556couldNotFix.txt; : >5-5badFiles.txt\n'
                b': >x5badFiles.txt; : >5badFiles.txt.old; mkdir 6badFiles.txt; ln -s 100badFiles.txt 7badFiles.txt\n'
                b'printf "Could not open file \\351\\n"; printf "%s|" "$@"\n'
                b'printf "tavrin: /a b: No such file or directory\\ntavrin: bell\\007 tab\\t end\\n\\n" >&2\n'
                b'printf "tavrin: no line feed" >&2\nexit 3\n')
    os.chmod(fake, 0o755)
    script = os.path.join(deploy, "files", "run_tavrin.sh")
    result = subprocess.run(["sh", script, fake, folder, "list", "/a b", ""], env=dict(os.environ, FOLDER=folder),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = result.stdout.decode().splitlines()
    f.equal(0, result.returncode, "exit status of run_tavrin.sh")
    f.equal(["status 3", "first Could not open file ?", "new 555badFiles.txt",
             "error tavrin: /a b: No such file or directory", "error tavrin: bell tab end", "error ",
             "error tavrin: no line feed"],
            [l for l in lines if not l.startswith("console ")], "what run_tavrin.sh says")
    console = [l.split(" ") for l in lines if l.startswith("console ")]
    f.equal(1, len(console), "console lines")
    if len(console) == 1:
        with open(console[0][1], "rb") as c:
            content = c.read()
        f.equal(b"Could not open file \xe9\nlist|/a b||", content, "console file, byte for byte")
        f.equal(str(len(content)), console[0][2], "console size")
        os.unlink(console[0][1])

    quiet = os.path.join(work, "quiet-tavrin")
    write(quiet, b"#!/bin/sh\n: >\"$FOLDER/$1.txt\"\n")  # writes no console at all
    os.chmod(quiet, 0o755)
    result = subprocess.run(["sh", script, quiet, folder, "listall"], env=dict(os.environ, FOLDER=folder),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = result.stdout.decode().splitlines()
    f.equal(["status 0", "first "], [l for l in lines if not l.startswith("console ")], "a run that made no file")
    console = [l.split(" ") for l in lines if l.startswith("console ")]
    f.expect(len(console) == 1 and console[0][2] == "0" and not os.path.exists(console[0][1]),
             f"an empty console is not removed: {console}")


PROBE = """- name: Where the packages and results are
  hosts: localhost
  gather_facts: false
  vars_files: [vars/tavrin.yml]
  tasks:
    - name: Show them
      ansible.builtin.debug:
        msg: "{{ {'deb': tavrin_run_deb, 'msi': tavrin_run_msi, 'results': tavrin_run_results} | to_json }}"
"""


def check_release_folder(f, deploy, work):
    """Which packages the plays take, from a release's folder or a checkout's dist/, and the results folder."""
    def layout(playbook_dir, files):
        shutil.copytree(deploy, playbook_dir)
        with open(os.path.join(playbook_dir, "probe.yml"), "w") as probe:
            probe.write(PROBE)
        for path in files:
            write(path, b"")
        return os.path.join(playbook_dir, "probe.yml")

    def probe(playbook, *args):
        env = dict(os.environ, HOME=os.path.join(work, "home"), ANSIBLE_HOME=os.path.join(work, "ansible"),
                   ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_NOCOLOR="1", PYTHONDONTWRITEBYTECODE="1",
                   ANSIBLE_LOCALHOST_WARNING="0", ANSIBLE_INVENTORY_UNPARSED_WARNING="0")
        done = subprocess.run(["ansible-playbook", playbook, *args], env=env, cwd=work,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            tasks = json.loads(done.stdout)["plays"][0]["tasks"]
            return json.loads(tasks[0]["hosts"]["localhost"]["msg"])
        except (ValueError, KeyError, IndexError):
            return {"error": done.stdout.decode(errors="replace")[-1500:] + done.stderr.decode(errors="replace")}

    release = os.path.join(work, "Downloads", "tavrin-2.0.0")
    released = layout(os.path.join(release, "tavrin-2.0.0-ansible"),
                      [f"{release}/SHA256SUMS", f"{release}/tavrin_2.0.0_amd64.deb", f"{release}/tavrin-2.0.0-x64.msi",
                       f"{release}/tavrin-2.0.0-win64.zip"])
    f.equal({"deb": [f"{release}/tavrin_2.0.0_amd64.deb"], "msi": [f"{release}/tavrin-2.0.0-x64.msi"],
             "results": os.path.join(work, "home", "tavrin-results")},
            probe(released), "a release's files with the playbook's folder beside them")

    checkout = os.path.join(work, "checkout")
    checked_out = layout(os.path.join(checkout, "deploy", "ansible"),
                         [f"{checkout}/dist/SHA256SUMS", f"{checkout}/dist/tavrin_2.1.0_amd64.deb",
                          f"{checkout}/dist/tavrin_2.0.0_amd64.deb"])
    f.equal({"deb": [f"{checkout}/dist/tavrin_2.0.0_amd64.deb", f"{checkout}/dist/tavrin_2.1.0_amd64.deb"],
             "msi": [], "results": os.path.join(work, "elsewhere")},
            probe(checked_out, "-e", "tavrin_results_dir=elsewhere"),
            "a checkout's dist/ with two versions (the play then fails the hosts), results given relative")
    f.equal({"deb": [f"{release}/tavrin_2.0.0_amd64.deb"], "msi": [f"{release}/tavrin-2.0.0-x64.msi"],
             "results": os.path.join(work, "home", "tavrin-results")},
            probe(checked_out, "-e", "tavrin_dist=" + release), "tavrin_dist given")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    deploy = os.path.abspath(sys.argv[1])
    for tool in ["ansible-playbook", "ansible-lint"]:
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} not found (packages ansible, ansible-lint)")
            return SKIP
    f = Failures()
    work = tempfile.mkdtemp(prefix="tavrin-fleet-static-")
    try:
        f.section = "ansible"
        check_ansible(f, deploy, work)
        f.section = "report"
        check_counts_and_report(f, load_filters(deploy), work)
        f.section = "console"
        check_not_opened_pattern(f, deploy)
        f.section = "host script"
        check_host_script(f, deploy, work)
        f.section = "release folder"
        check_release_folder(f, deploy, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if f.count:
        print(f"{f.count} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
