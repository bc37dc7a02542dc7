#!/usr/bin/env python3
"""End-to-end checks of tavrin.exe, one case per CTest test, on a host that
is either a private Wine prefix or the Windows machine it runs on:

    suite.py --host wine|windows --state DIR --exe tavrin.exe CASE
    suite.py --list [--host wine|windows]

CASE "setup" makes the host ready (the prefix and its server, or an NTFS
volume of its own), "shutdown" undoes it; every other case checks one
behaviour, byte for byte where there is output. The cases are the same code
on both hosts; those that need Windows itself skip under Wine with the
reason. Exit 0 passes, 1 fails, 77 skips (with a one-line reason).
"""

import argparse
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
from cases_files import FileCases  # noqa: E402
from cases_held import HeldCases
from cases_runs import RunCases
from cases_windows import WindowsCases
from pe_checks import case_imports, case_manifest
from suite_base import SKIP, Skip

# The cases every host runs, in the order CTest runs them.
CASES = ("usage list listall fixed_drives links wildcard missing_folder no_overwrite write_failure "
         "repair refused set unicode console console_summary "
         "interrupt closed_output literal_names path_limit tool_folder next_tick exit_statuses "
         "typed_roots drive_relative watched_result second_interrupt escaped_names swapped_folder").split()
# What only Windows can show; under Wine each skips with its reason.
WINDOWS_CASES = [name[len("case_"):] for name in vars(WindowsCases) if name.startswith("case_")]
# Checks of the image, no host needed.
IMAGE_CASES = ["manifest", "imports"]


class Suite(FileCases, RunCases, HeldCases, WindowsCases):
    pass


def host_for(name, state, exe):
    if name == "windows":
        from windows_host import WindowsHost
        return WindowsHost(state, exe)
    from wine_host import WineHost
    return WineHost(state, exe)


def run_case(opts):
    if opts.case == "manifest":
        case_manifest(opts.exe)
        return
    if opts.case == "imports":
        case_imports(opts.exe)
        return
    host = host_for(opts.host, opts.state, opts.exe)
    if opts.case == "setup":
        host.setup()
        return
    if opts.case == "shutdown":
        host.shutdown()
        return
    if opts.case not in CASES + WINDOWS_CASES:
        raise AssertionError("unknown case " + opts.case)
    host.open()
    suite = Suite(host)
    try:
        getattr(suite, "case_" + opts.case)()
    finally:
        for cleanup in reversed(suite.cleanups):
            cleanup()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", choices=("wine", "windows"), default="wine")
    parser.add_argument("--state", help="folder for the host's own state (prefix, volume)")
    parser.add_argument("--exe")
    parser.add_argument("--list", action="store_true", help="print the cases, setup first, shutdown last")
    parser.add_argument("case", nargs="?")
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(["setup"] + CASES + WINDOWS_CASES + ["shutdown"] + IMAGE_CASES))
        return 0
    if not opts.case or not opts.exe or (opts.case not in IMAGE_CASES and not opts.state):
        parser.error("a case, --exe and --state are needed")
    try:
        run_case(opts)
    except Skip as e:
        print("skipped: %s" % e)
        return SKIP
    except AssertionError as e:
        print("FAIL %s: %s" % (opts.case, e))
        return 1
    print("ok %s" % opts.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
