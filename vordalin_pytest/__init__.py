"""pytest fixtures for testing programs that run in a terminal, each on a private tmux server.

Installed with vordalin and registered with pytest, so the fixtures need no import:

    def test_greeting(tmux_pane):
        tmux_pane.send_keys("python3 my_tui.py", enter=True)
        tmux_pane.wait_for("Welcome")

- ``tmux_server``: a ``vordalin.Server`` on a fresh socket in a temporary directory, with an
  empty configuration, so nothing of the user's tmux setup or server is involved. It is
  killed at teardown, through its own socket only.
- ``tmux_session``: a session named ``test`` on that server, 80 columns by 24 lines.
- ``tmux_pane``: the session's first pane, once its screen shows something (the shell's
  prompt).
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from collections.abc import Iterator

import pytest

import vordalin

SESSION_NAME = "test"
WIDTH, HEIGHT = 80, 24
# How long the shell may take to show its first prompt.
PROMPT_TIMEOUT = 30.0
# A Unix socket path holds at most 107 bytes.
LONGEST_SOCKET_PATH = 100

__all__ = ["tmux_server", "tmux_session", "tmux_pane"]


def _private_directory() -> str:
    directory = tempfile.mkdtemp(prefix="vordalin-")
    if len(os.path.join(directory, "tmux.sock")) > LONGEST_SOCKET_PATH:
        os.rmdir(directory)
        directory = tempfile.mkdtemp(prefix="vordalin-", dir="/tmp")
    return directory


@pytest.fixture
def tmux_server() -> Iterator[vordalin.Server]:
    """A private tmux server: a fresh socket in a temporary directory, an empty configuration."""
    directory = _private_directory()
    server = vordalin.Server(os.path.join(directory, "tmux.sock"), config=os.devnull)
    try:
        yield server
    finally:
        server.kill()
        shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def tmux_session(tmux_server: vordalin.Server) -> vordalin.Session:
    """A session named "test", 80x24, on the private server."""
    return tmux_server.new_session(SESSION_NAME, width=WIDTH, height=HEIGHT)


@pytest.fixture
def tmux_pane(tmux_session: vordalin.Session) -> vordalin.Pane:
    """The session's first pane, once its screen is no longer blank."""
    (window,) = tmux_session.windows
    pane = window.panes[0]
    pane.wait_for(re.compile(r"\S"), timeout=PROMPT_TIMEOUT)
    return pane
