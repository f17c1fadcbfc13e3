"""Small helpers every part of the benchmark uses: progress lines, polling with a deadline,
and the memory figures /proc gives."""

import re
import sys
import time


def log(message):
    print(message, file=sys.stderr, flush=True)


def wait_for(predicate, what, timeout=60.0):
    """Polls predicate until it returns something true; fails after the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def peak_kib():
    with open("/proc/self/status") as status:
        return int(re.search(r"^VmHWM:\s+(\d+)", status.read(), re.M).group(1))


def resident_kib(pid="self"):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"^VmRSS:\s+(\d+)", status.read(), re.M).group(1))


def reset_peak():
    # Writing 5 resets VmHWM to the current resident size, so a peak reached while
    # importing cannot hide what the measured call adds.
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass
