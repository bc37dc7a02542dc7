#!/usr/bin/env python3
"""Runs a Windows program in the Wine suite's private prefix (never ~/.wine).

    run_in_prefix.py --state DIR PROGRAM.exe [ARG ...]

Its output and exit code pass through; exit 77 with a one-line reason when
Wine or the prefix is not available.
"""

import argparse
import sys

from wineprefix import PrefixError, WinePrefix

SKIP = 77


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state", required=True)
    parser.add_argument("program")
    parser.add_argument("args", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    wine = WinePrefix(options.state)
    reason = wine.missing_tools()
    if reason:
        print("skipped: " + reason)
        return SKIP
    try:
        wine.create()  # kept when the suite's setup made it already
    except PrefixError as error:
        print("skipped: " + str(error))
        return SKIP
    rc, out, err = wine.run(options.program, options.args)
    sys.stdout.buffer.write(out)
    sys.stdout.buffer.write(err)
    return rc


if __name__ == "__main__":
    sys.exit(main())
