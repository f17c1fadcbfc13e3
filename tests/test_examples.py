"""Every example runs to completion on a private server and removes what it started."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import REAL_TMUX, needs_tmux, wait_for

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PROBE = Path(__file__).resolve().parent / "typed_probe.py"  # what `make typecheck` checks, run for real


def run_example(name, *args, **env):
    command, env = [sys.executable, str(EXAMPLES / name), *args], {**os.environ, **env}
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL, env=env)
    return done.returncode, done.stdout + done.stderr


@needs_tmux
def test_tour_runs_on_its_own_server_and_kills_it():
    code, out = run_example("tour.py")
    assert code == 0 and "hello from 42" in out, out
    assert out.splitlines()[-1].split() == ["kill()", "True"]


CASES = [
    ("dev_layout.py", [], 0, "pane 2 %"),
    ("layout.py", [], 0, "pane 3 %"),
    ("wait_for_output.py", ["echo", "$((6 * 7))0; false"], 1, "420"),
    ("wait_for_output.py", ["--timeout", "0.3", "sleep", "30"], 124, "no answer within 0.3s"),
    ("tree.py", [], 0, "└── 0 %0"),
    ("channel.py", ["--calls", "5"], 0, "window metadata"),
    ("agent.py", [], 0, "status 0\n'/ kept\\nno newline at the end'"),
    ("agent.py", ["--timeout", "0.3", "true", "sleep 30"], 124, "still running after 0.3s"),
    ("follow.py", [], 0, "3\n2\n1\nliftoff\n"),
    # The last of a burst, written just before the program ends, and a command that exits.
    ("follow.py", ["seq", "1", "5000"], 0, "4999\n5000\n"),
    ("follow.py", ["echo", "gone;", "exit", "3"], 0, "gone\n"),
    ("follow.py", ["--timeout", "0.5", "echo", "started;", "sleep", "30"], 124, "started\n\nstill running after 0.5s"),
]


@pytest.mark.parametrize("name, args, code, expected", CASES)
def test_example_leaves_a_running_server_as_it_found_it(tmux_cli, name, args, code, expected):
    got, out = run_example(name, *args, VORDALIN_SOCKET=tmux_cli.socket)
    assert got == code and expected in out, out
    assert tmux_cli.session_names() == ["main"]


@needs_tmux
@pytest.mark.parametrize("name", ["dev_layout.py", "layout.py", "wait_for_output.py", "agent.py", "follow.py"])
def test_example_kills_the_server_it_started(spare_socket, name):
    assert run_example(name, "--socket", spare_socket, SHELL="/bin/sh")[0] == 0
    probe = [REAL_TMUX, "-S", spare_socket, "list-sessions"]
    wait_for(lambda: subprocess.run(probe, capture_output=True).returncode != 0, message="the server to exit")


@needs_tmux
def test_the_typed_probe_runs_as_it_is_typed():
    done = subprocess.run([sys.executable, str(PROBE)], capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0 and done.stdout.endswith("new session failed: duplicate session: probe\n\n"), (
        done.stdout + done.stderr)
