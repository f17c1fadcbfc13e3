"""Helpers the tests import directly (fixtures live in conftest.py)."""

import asyncio
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import unicodedata
from contextlib import contextmanager
from pathlib import Path

import pytest

try:
    import numpy  # its scalars are the foreign ints and bools that arguments must take or refuse
except ImportError:
    numpy = None

# What the suite needs from the machine. Tests that lack one skip and say why; with
# VORDALIN_REQUIRE_ALL=1 (CI sets it) a missing one stops the run before any test.
REAL_TMUX = shutil.which("tmux")
C_COMPILER = shutil.which("cc") or shutil.which("gcc")
PREREQUISITES = {"tmux": REAL_TMUX, "a C compiler (cc or gcc) to build the fake tmux": C_COMPILER, "numpy": numpy,
                 "mypy": importlib.util.find_spec("mypy"), "pytest-xdist": importlib.util.find_spec("xdist")}
REQUIRE_ALL = os.environ.get("VORDALIN_REQUIRE_ALL") == "1"
# The OpenSSH server the remote tests start (tests/sshd.py); Debian's openssh-server.
from sshd import SSH, SSH_KEYGEN, SSHD  # noqa: E402

PREREQUISITES["OpenSSH (sshd, ssh and ssh-keygen, from openssh-server)"] = SSHD and SSH and SSH_KEYGEN
needs_tmux = pytest.mark.skipif(REAL_TMUX is None, reason="tmux is not installed")
needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")
# The plugin's panes run /bin/sh; a test that needs bash (fc, readline's long lines) says so.
BASH = shutil.which("bash") or "/bin/bash"
uses_bash = pytest.mark.parametrize("tmux_shell", [BASH], ids=["bash"])


def numpy_scalar(kind, value):
    """numpy.<kind>(value), or None where numpy is missing: the case holding it is marked needs_numpy."""
    return getattr(numpy, kind)(value) if numpy else None


# What tmux's "q" format modifier puts a backslash before.
QUOTED = set("|&;<>()$`\\\"'*?[# =%")


def free(variable):
    """The format of a free-text field in the listings: read once, escaped by "q", line ends as "\\n"."""
    return "#{s/\n/\\\\n/:#{q:" + variable + "}}"


def escaped(text):
    """A free-text field as tmux prints it for free(): a backslash before what "q" escapes, line ends as "\\n"."""
    return "".join("\\" + c if c in QUOTED else c for c in text).replace("\n", "\\n")


def wait_for(predicate, timeout=5.0, interval=0.02, message="condition"):
    """Poll `predicate` until it returns something truthy, and return that; fail after `timeout`."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {message}")
        time.sleep(interval)
    return value


@contextmanager
def ticking(handler, interval):
    """Run `handler` on SIGALRM every `interval` seconds for the block's length.

    On the way out the signal is ignored before the timer stops: a tick already delivered
    but not yet handled (Python runs handlers later) must not reach a handler that re-arms
    the timer, nor the default action, which ends the process."""
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, interval, interval)
    try:
        yield
    finally:
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)


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


async def loop_turns(count):
    """Counts the running loop's turns into count[0] until cancelled: a wait that blocked the
    loop leaves the count low."""
    while True:
        count[0] += 1
        await asyncio.sleep(0.01)


def clients(server):
    """The pids of the server's control clients, as tmux itself lists them (one process, never a channel)."""
    listed = server.cmd("list-clients", "-F", "#{client_control_mode} #{client_pid}").stdout.split("\n")
    return [int(line.split()[1]) for line in listed if line.startswith("1 ")]


def kept(server, before):
    """Whether every control client listed before is still there: the channel was never dropped
    and opened again (streams that waits share may have joined it)."""
    return set(before) <= set(clients(server))


def both_ways(server, read):
    """What `read` gives over the server's open channel and then as processes; the channel is open again after."""
    over = read()
    server.disconnect()
    try:
        return over, read()
    finally:
        assert server.connect()


def in_child(code, socket, timeout=60, **env):
    """Runs Python code in a child interpreter with SOCKET (and `env`) set; returns what it printed."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, SOCKET=socket, **env))
    assert done.returncode == 0, done.stderr
    return done.stdout


# AddressSanitizer keeps freed memory in quarantine: resident sizes mean nothing under it.
UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()

def open_fds():
    return sorted(int(fd) for fd in os.listdir("/proc/self/fd"))


# The Unicode version of the module's tables, named on the generated header's first line, and
# of this Python's unicodedata, which may be older or newer.
TABLES = Path(__file__).resolve().parent.parent / "src" / "text" / "unicode_tables.hpp"
TABLES_UNICODE = tuple(map(int, re.search(r"Unicode (\d+)\.(\d+)\.(\d+)", TABLES.read_text()).groups()))
PYTHON_UNICODE = tuple(map(int, unicodedata.unidata_version.split(".")))


def noncharacter(c):
    return 0xFDD0 <= ord(c) <= 0xFDEF or ord(c) & 0xFFFE == 0xFFFE


def assigned_alike(c):
    """Whether the tables' Unicode version assigns c exactly when this Python's unicodedata does."""
    # Assignments are never withdrawn: an older unicodedata is right about what it assigns, a
    # newer one about what it leaves unassigned. Of what a newer one assigns, only what Unicode
    # 3.2 (the one older database Python carries) already had is surely in the tables.
    assigned = unicodedata.category(c) != "Cn"
    if PYTHON_UNICODE < TABLES_UNICODE:
        return assigned or noncharacter(c)
    return PYTHON_UNICODE == TABLES_UNICODE or not assigned or unicodedata.ucd_3_2_0.category(c) != "Cn"
