"""One way to run a fetch or build step of the testbed's firmware tools: its
output goes to a log file, its time to the console, and a failure names the
step with the log's last lines."""

import subprocess
import time


def log_tail(path, lines=25):
    with open(path, errors="replace") as handle:
        return "".join(handle.readlines()[-lines:])


def run_logged(command, log, what, tool, failure, mode="w", **options):
    """Runs `command` with its output in `log` (opened with `mode`: "a" keeps
    the steps before it) and prints "tool: what: N s"; raises `failure` with
    the log's last lines if the command fails."""
    started = time.monotonic()
    with open(log, mode) as handle:
        handle.write("$ %s\n" % " ".join(command))
        handle.flush()
        done = subprocess.run(command, stdout=handle, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              **options)
    if done.returncode != 0:
        raise failure("%s failed (status %d); the last lines of %s:\n%s"
                      % (what, done.returncode, log, log_tail(log)))
    print("%s: %s: %.1f s" % (tool, what, time.monotonic() - started), flush=True)
