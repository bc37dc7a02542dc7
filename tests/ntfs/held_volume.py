"""Holding a run where a case needs it, whatever the machine's speed: the
ntfs-3g daemon of a volume is stopped, so every call into that volume waits
until it goes on, and the kernel's FUSE control folder tells when a request
waits on it. Conditions are polled with generous deadlines, never slept for.
"""

import os
import signal
import subprocess
import time

CONNECTIONS = "/sys/fs/fuse/connections"


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def in_syscall(pid, numbers):
    """True when the process's main thread sleeps in one of these calls."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open(f"/proc/{pid}/syscall") as f:
            number = f.read().split()[0]
    except (OSError, IndexError):
        return False
    return state in ("S", "D") and number.lstrip("-").isdigit() and int(number) in numbers


def control_folder():
    """The FUSE control folder, mounted when it is not; None (with the reason
    printed) where it cannot be."""
    if os.path.isdir(CONNECTIONS) and not os.path.ismount(CONNECTIONS):
        subprocess.run(["mount", "-t", "fusectl", "fusectl", CONNECTIONS], stderr=subprocess.DEVNULL)
    if os.path.ismount(CONNECTIONS):
        return CONNECTIONS
    return None


CONTROL_MISSING = ("the FUSE control folder cannot be mounted (mount -t fusectl fusectl "
                   f"{CONNECTIONS}; needs /sys)")


def daemon_replies(pid):
    """How many answers the daemon has written to its FUSE connection."""
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            if line.startswith("syscw:"):
                return int(line.split()[1])
    return 0


class HeldVolume:
    """A mounted ntfs-3g volume whose daemon can be stopped and let go.
    Its connection is found while the daemon answers: stat would wait later."""

    def __init__(self, point, daemon):
        self.point, self.daemon = point, daemon
        device = os.stat(point).st_dev
        self.connection = os.major(device) << 20 | os.minor(device)  # as the kernel names it
        self.held = False

    def hold(self):
        os.kill(self.daemon, signal.SIGSTOP)
        self.held = True

    def release(self):
        if self.held:
            os.kill(self.daemon, signal.SIGCONT)
            self.held = False

    def waiting(self):
        """Requests sent to the stopped daemon and not yet answered."""
        try:
            with open(os.path.join(CONNECTIONS, str(self.connection), "waiting")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return 0

    def waits_on_it(self, pid, calls):
        """True when `pid` sleeps in one of `calls` and a request waits here."""
        return self.waiting() > 0 and in_syscall(pid, calls)
