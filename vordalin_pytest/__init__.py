"""pytest fixtures for testing programs that run in a terminal, each on a private tmux server.

Installed with vordalin and registered with pytest as ``vordalin_pytest`` (``-p no:vordalin_pytest``
turns it off), so the fixtures need no import:

    def test_greeting(tmux_pane):
        tmux_pane.send_keys("python3 my_tui.py", enter=True)
        tmux_pane.wait_for("Welcome")

- ``tmux_server``: a ``vordalin.Server`` on a fresh socket in a temporary directory. It is
  killed at teardown, through its own socket only.
- ``tmux_session``: a session named ``test`` on that server, 80 columns by 24 lines.
- ``tmux_pane``: the session's first pane, once its screen shows something (the shell's
  prompt).
- ``tmux_shell``: the shell the server's panes run; override it (in a conftest.py, or with
  ``@pytest.mark.parametrize("tmux_shell", ["/bin/bash"])``) for the tests that need another.

Nothing of the user's own setup reaches the server: it reads no tmux configuration but the
one named by the ini option ``vordalin_config`` (none by default), its panes get a private,
empty ``HOME``, and they run ``/bin/sh`` unless ``vordalin_shell`` names another shell.
``vordalin_prompt_timeout`` (10 seconds by default) bounds the wait for the first prompt.
Every test gets servers of its own, so the fixtures work under pytest-xdist.
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pytest

import vordalin

SESSION_NAME = "test"
WIDTH, HEIGHT = 80, 24
DEFAULT_SHELL = "/bin/sh"
DEFAULT_PROMPT_TIMEOUT = 10.0
# A Unix socket path holds at most 107 bytes.
LONGEST_SOCKET_PATH = 100

# What a login shell reads when it starts (tmux starts every pane's shell as one).
_PROFILE = "/etc/profile, ~/.profile and the file $ENV names"
STARTUP_FILES = {
    "sh": _PROFILE,
    "dash": _PROFILE,
    "ksh": _PROFILE,
    "mksh": _PROFILE,
    "bash": "/etc/profile and the first of ~/.bash_profile, ~/.bash_login and ~/.profile",
    "zsh": "/etc/zsh/zshenv, ~/.zshenv, /etc/zsh/zprofile, ~/.zprofile, /etc/zsh/zshrc, ~/.zshrc and ~/.zlogin",
    "fish": "/etc/fish/config.fish and ~/.config/fish/config.fish",
}

__all__ = ["tmux_server", "tmux_session", "tmux_pane", "tmux_shell", "server_config"]


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addini("vordalin_config", "tmux configuration file for the vordalin fixtures' servers (default: none)",
                  default="")
    parser.addini("vordalin_shell", f"the shell the vordalin fixtures' panes run (default: {DEFAULT_SHELL})",
                  default=DEFAULT_SHELL)
    parser.addini("vordalin_prompt_timeout",
                  f"seconds tmux_pane waits for the shell's first prompt (default: {DEFAULT_PROMPT_TIMEOUT:g})",
                  default=str(DEFAULT_PROMPT_TIMEOUT))


def _ini_path(config: pytest.Config, name: str) -> Path:
    """An ini option's path; a relative one counts from the ini file's directory."""
    base = config.inipath.parent if config.inipath else config.rootpath
    return base / os.path.expanduser(config.getini(name))


def _quoted(text: str) -> str:
    """`text` in double quotes, as tmux's configuration parser reads it back exactly."""
    return '"' + "".join("\\" + c if c in '\\"$' else c for c in text) + '"'


def _shell_path(config: pytest.Config) -> str:
    shell = config.getini("vordalin_shell") or DEFAULT_SHELL
    found = shutil.which(shell) if os.sep not in shell else shell
    if found is None or not os.access(found, os.X_OK):
        raise pytest.UsageError(f"vordalin_shell: {shell!r} is no program that can be run")
    return os.path.abspath(found)


def _prompt_timeout(config: pytest.Config) -> float:
    value = config.getini("vordalin_prompt_timeout")
    try:
        timeout = float(value)
    except ValueError:
        timeout = -1.0
    if not timeout > 0:
        raise pytest.UsageError(f"vordalin_prompt_timeout: {value!r} is no number of seconds above 0")
    return timeout


def server_config(config: pytest.Config, directory: str | os.PathLike[str], shell: str) -> str:
    """Writes the tmux configuration of a private server into `directory` and returns its path.

    It reads the file named by the ini option ``vordalin_config``, if any, and then gives the
    panes `shell` and a private, empty HOME (the directory's ``home``). A fixture that starts a
    server of its own (``tmux -f PATH ...``) gets the same setup from it.
    """
    home = Path(directory, "home")
    home.mkdir(exist_ok=True)
    lines = []
    if config.getini("vordalin_config"):
        named = _ini_path(config, "vordalin_config")
        if not named.is_file():
            raise pytest.UsageError(f"vordalin_config: no such file: {named}")
        # source-file takes a glob pattern: its special characters are escaped to stand for themselves.
        pattern = "".join("\\" + c if c in "*?[\\" else c for c in str(named.resolve()))
        lines.append(f"source-file {_quoted(pattern)}")
    lines.append(f"set-option -g default-shell {_quoted(shell)}")
    lines.append(f"set-environment -g HOME {_quoted(str(home))}")
    path = Path(directory, "tmux.conf")
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def _private_directory() -> str:
    directory = tempfile.mkdtemp(prefix="vordalin-")
    if len(os.path.join(directory, "tmux.sock")) > LONGEST_SOCKET_PATH:
        os.rmdir(directory)
        directory = tempfile.mkdtemp(prefix="vordalin-", dir="/tmp")
    return directory


@pytest.fixture
def tmux_shell(pytestconfig: pytest.Config) -> str:
    """The shell the private server's panes run: vordalin_shell, or /bin/sh."""
    return _shell_path(pytestconfig)


@pytest.fixture
def tmux_server(pytestconfig: pytest.Config, tmux_shell: str) -> Iterator[vordalin.Server]:
    """A private tmux server: a fresh socket in a temporary directory, the configuration of server_config."""
    directory = _private_directory()
    try:
        config = server_config(pytestconfig, directory, tmux_shell)
        server = vordalin.Server(os.path.join(directory, "tmux.sock"), config=config)
        try:
            yield server
        finally:
            server.kill()
    finally:
        shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def tmux_session(tmux_server: vordalin.Server) -> vordalin.Session:
    """A session named "test", 80x24, on the private server."""
    return tmux_server.new_session(SESSION_NAME, width=WIDTH, height=HEIGHT)


@pytest.fixture
def tmux_pane(pytestconfig: pytest.Config, tmux_session: vordalin.Session, tmux_shell: str) -> vordalin.Pane:
    """The session's first pane, once its screen is no longer blank."""
    (window,) = tmux_session.windows
    pane = window.panes[0]
    timeout = _prompt_timeout(pytestconfig)
    try:
        pane.wait_for(re.compile(r"\S"), timeout=timeout)
    except TimeoutError as error:
        socket = tmux_session.socket or ""
        home = os.path.join(os.path.dirname(socket), "home")
        files = STARTUP_FILES.get(os.path.basename(tmux_shell).lstrip("-"), "its start-up files")
        raise TimeoutError(
            f"the shell {tmux_shell} showed no prompt in pane {pane.pane_id} within {timeout:g} seconds. "
            f"As a login shell it reads {files} when it starts (~ is the private HOME {home}); one of them may be "
            "slow. Set the ini option vordalin_prompt_timeout to wait longer, or vordalin_shell to run another "
            "shell.") from error
    return pane
