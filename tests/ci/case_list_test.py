#!/usr/bin/env python3
"""The Windows CI job runs the end-to-end cases that `ctest --preset mingw`
runs under Wine, and no fewer:

- tests/wine's CMakeLists.txt, configured for each host (a stub project with
  an imported tavrin), registers the same tests, each the same case of
  suite.py, only --host differing; the Windows-only cases are among them;
- the workflow's Windows job runs `ctest --preset mingw` and `ctest --preset
  msvc` with no filter, and those test presets have none either.

Usage: case_list_test.py SOURCE_DIR WORK_DIR
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

STUB = """cmake_minimum_required(VERSION 3.25)
project(stub NONE)
add_executable(tavrin IMPORTED)
set_target_properties(tavrin PROPERTIES IMPORTED_LOCATION ${CMAKE_CURRENT_BINARY_DIR}/tavrin.exe)
set(CMAKE_OBJDUMP objdump)
enable_testing()
add_subdirectory(%s wine)
"""


def registered(source, work, host):
    """{test name: (case argument, --host value)} as CTest would run them."""
    stub, build = work / ("stub-" + host), work / ("build-" + host)
    shutil.rmtree(stub, ignore_errors=True)
    shutil.rmtree(build, ignore_errors=True)
    stub.mkdir(parents=True)
    (stub / "CMakeLists.txt").write_text(STUB % (source / "tests" / "wine").as_posix())
    subprocess.run(["cmake", "-S", str(stub), "-B", str(build), "-DTAVRIN_E2E_HOST=" + host],
                   check=True, stdout=subprocess.DEVNULL)
    shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                           stdout=subprocess.PIPE).stdout
    tests = {}
    for test in json.loads(shown)["tests"]:
        command = test["command"]
        tests[test["name"]] = (command[-1], command[command.index("--host") + 1])
    return tests


def workflow_ctest_lines(source):
    lines = []
    for path in sorted((source / ".github" / "workflows").glob("*.y*ml")):
        lines += [l.strip() for l in path.read_text().splitlines() if re.search(r"\bctest\b", l)]
    return lines


def main(source, work):
    source, work = Path(source).resolve(), Path(work).resolve()
    if not shutil.which("cmake") or not shutil.which("ctest"):
        print("skipped: cmake is not installed")
        return 77
    failures = []
    wine, windows = registered(source, work, "wine"), registered(source, work, "windows")
    if sorted(wine) != sorted(windows):
        failures.append("test names differ: only under Wine %s, only on Windows %s"
                        % (sorted(set(wine) - set(windows)), sorted(set(windows) - set(wine))))
    for name in sorted(set(wine) & set(windows)):
        if wine[name][0] != windows[name][0]:
            failures.append("%s runs case %s under Wine, %s on Windows" % (name, wine[name][0], windows[name][0]))
    if {h for _, h in wine.values()} != {"wine"} or {h for _, h in windows.values()} != {"windows"}:
        failures.append("--host is not the configured host in every test")
    listed = subprocess.run([sys.executable, str(source / "tests" / "wine" / "suite.py"), "--list"],
                            check=True, stdout=subprocess.PIPE).stdout.decode().split()
    missing = sorted(set(listed) - {case for case, _ in wine.values()})
    if missing:
        failures.append("cases suite.py lists that CTest does not run: %s" % missing)
    for case in ("table_reader", "msi_lifecycle", "authenticode", "journal_churn"):
        if case not in listed:
            failures.append("the Windows-only case %s is not in the list" % case)

    lines = workflow_ctest_lines(source)
    for preset in ("mingw", "msvc"):
        if "ctest --preset %s" % preset not in lines:
            failures.append("the workflow does not run `ctest --preset %s` as it is: %r" % (preset, lines))
    filtered = [l for l in lines if re.search(r"\s-(R|E|L|LE|I|-tests-regex|-exclude-regex|-label)\b", l)]
    if filtered:
        failures.append("the workflow filters the tests: %r" % filtered)
    presets = json.loads((source / "CMakePresets.json").read_text())
    for preset in presets["testPresets"]:
        if preset["name"] in ("mingw", "msvc") and "filter" in preset:
            failures.append("the %s test preset filters the tests" % preset["name"])

    for failure in failures:
        print("FAIL " + failure)
    if not failures:
        print("passed: %d tests, the same cases on both hosts" % len(wine))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
