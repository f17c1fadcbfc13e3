"""Helpers the tests import directly (fixtures live in conftest.py)."""

import os
import shutil
import time

import pytest

REAL_TMUX = shutil.which("tmux")
needs_tmux = pytest.mark.skipif(REAL_TMUX is None, reason="tmux is not installed")


def counted(text):
    """A free-text field as the listings frame it: its length in UTF-8 bytes, a bar, the text."""
    return f"{len(text.encode())}|{text}"


def wait_for(predicate, timeout=5.0, interval=0.02, message="condition"):
    """Poll `predicate` until it returns something truthy, and return that; fail after `timeout`."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {message}")
        time.sleep(interval)
    return value


def child_pids():
    """Pids (zombies included) whose parent is this process."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                data = f.read()
        except OSError:
            continue
        if int(data[data.rindex(b")") + 2 :].split()[1]) == os.getpid():  # the name in brackets may hold blanks
            found.append(int(entry))
    return sorted(found)


def open_fds():
    return sorted(int(fd) for fd in os.listdir("/proc/self/fd"))
