"""A run held at a chosen system call, whatever the machine's speed: the
program runs under gdb, which stops it at the first call that matches one of
the catches; the case changes the volume, then the run goes on. Nothing
here depends on how long the run takes."""

import os
import shutil
import subprocess
import threading

import table_runs
from held_volume import wait_for

SCRIPT_HEAD = "set pagination off\nset confirm off\n"
CATCH = """catch syscall {call}
condition {number} {condition}
commands {number}
shell touch {held}; while [ ! -e {go} ]; do sleep 0.05; done
delete
continue
end
"""


def usable():
    """Skips the case where gdb is missing or cannot run a program."""
    if shutil.which("gdb") is None:
        table_runs.skip_run("gdb is not installed (apt-get install gdb): it holds the run at its call")
    traced = subprocess.run(["gdb", "-nx", "-q", "-batch", "-ex", "run", "--args", "true"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if b"exited normally" not in traced.stdout:
        table_runs.skip_run("gdb cannot run a program here (ptrace refused?): "
                            + traced.stdout.decode(errors="replace").strip().replace("\n", " ")[:200])


def held_run(program, args, work, catches, action):
    """Runs `program args` to its end; at the first call that matches one of
    `catches` ([(system call name or number, gdb condition)]) it is held
    while `action()` runs. (Run, whether it was held.)"""
    held, go = os.path.join(work, "held"), os.path.join(work, "go")
    for flag in (held, go):
        if os.path.exists(flag):
            os.remove(flag)
    script = os.path.join(work, "hold.gdb")
    with open(script, "w") as f:
        f.write(SCRIPT_HEAD)
        for number, (call, condition) in enumerate(catches, 1):
            f.write(CATCH.format(call=call, number=number, condition=condition, held=held, go=go))
        f.write("run\n")
    outcome = {}
    runner = threading.Thread(target=lambda: outcome.update(run=table_runs.run(
        "gdb", ["-nx", "-q", "-batch", "-x", script, "--args", program, *args], work)))
    runner.start()
    try:
        stopped = wait_for(lambda: os.path.exists(held) or not runner.is_alive(), 300) and os.path.exists(held)
        if stopped:
            action()
    finally:
        open(go, "w").close()
        runner.join()
    return outcome["run"], stopped
