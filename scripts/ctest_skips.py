#!/usr/bin/env python3
"""Prints one line per skip found in CTest JUnit reports (ctest --output-junit):
"<suite> (<reason>)" when a whole suite skipped for one reason, else
"<suite>: <test> (<reason>)". Parts of a passing test that were left out
("SKIP part: <reason>") count too. Prints nothing when nothing was skipped."""

import sys
import xml.etree.ElementTree as ET

SUITES = (("ntfs_", "NTFS suite"), ("wine.", "Wine suite"), ("release.", "release checks"))


def suite_of(test):
    for prefix, suite in SUITES:
        if test.startswith(prefix):
            return suite
    return "unit tests"


def reason_of(output):
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    for line in lines:
        if line.lower().startswith(("skip:", "skipped:")):
            return line.split(":", 1)[1].strip()
    return lines[-1] if lines else "no reason given"


def main(paths):
    runs = {}  # suite -> [(test, reason or None)]
    for path in paths:
        try:
            root = ET.parse(path).getroot()
        except (OSError, ET.ParseError):
            continue
        for case in root.iter("testcase"):
            test = case.get("name", "?")
            output = case.findtext("system-out") or ""
            reason = reason_of(output) if case.find("skipped") is not None else None
            runs.setdefault(suite_of(test), []).append((test, reason))
            for line in output.splitlines():
                if line.startswith("SKIP part:"):
                    print("%s: %s (%s)" % (suite_of(test), test, line.split(":", 1)[1].strip()))
    for suite, cases in runs.items():
        skipped = [(test, reason) for test, reason in cases if reason is not None]
        reasons = {reason for _, reason in skipped}
        if skipped and len(skipped) == len(cases) and len(reasons) == 1:
            print("%s (%s)" % (suite, reasons.pop()))
            continue
        for test, reason in skipped:
            print("%s: %s (%s)" % (suite, test, reason))


if __name__ == "__main__":
    main(sys.argv[1:])
