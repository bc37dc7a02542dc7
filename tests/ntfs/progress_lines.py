"""Progress lines of the long suites (fleet, release, property).

ctest shows a test's output only once the test has ended, so a suite that
runs for minutes looks stuck. Each line goes to the test's own output, and,
when ctest was started from a terminal, to that terminal as it happens.
Without one (a log, a CI job) the output alone keeps it.
"""

import os
import sys


def say(text, suite=None):
    print(text, flush=True)
    try:
        tty = os.open("/dev/tty", os.O_WRONLY | os.O_NOCTTY)
    except OSError:
        return
    try:
        name = suite or os.path.splitext(os.path.basename(sys.argv[0]))[0]
        os.write(tty, f"    {name}: {text.strip()}\n".encode(errors="replace"))
    except OSError:
        pass
    finally:
        os.close(tty)
