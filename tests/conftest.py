"""Fixtures: a private environment for every test, a scripted fake tmux, and private real servers."""

import contextlib
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest
import vordalin_pytest

import sshd
from helpers import BASH, C_COMPILER, PREREQUISITES, REAL_TMUX, REQUIRE_ALL, escaped

HERE = Path(__file__).resolve().parent
FAKE_PROGRAMS = ("tmux", "id", "ps", "ssh")


# The tests that drive a real tmux server: CI runs them a second time with VORDALIN_CHANNEL=1.
REAL_SERVER_FIXTURES = {"tmux_cli", "tmux_server", "tmux_session", "tmux_pane", "spare_socket", "remote_server"}


def pytest_collection_modifyitems(items):
    for item in items:
        if REAL_SERVER_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker("real")


def pytest_configure(config):
    config.addinivalue_line("markers", "real: drives a real tmux server (CI runs these over the channel too)")
    if REQUIRE_ALL and (missing := [what for what, found in PREREQUISITES.items() if not found]):
        raise pytest.UsageError("VORDALIN_REQUIRE_ALL=1, but the suite lacks: " + ", ".join(missing))


def _short_tempdir():
    # Unix socket paths hold at most 107 bytes; pytest's tmp_path can be longer.
    return tempfile.mkdtemp(prefix="vd", dir="/tmp")


def _kill_server(socket_path):
    if REAL_TMUX and os.path.exists(socket_path):
        subprocess.run([REAL_TMUX, "-S", socket_path, "kill-server"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)


@pytest.fixture(autouse=True)
def private_env(monkeypatch, pytestconfig):
    """No test may see the user's tmux: its own TMUX_TMPDIR, HOME and no TMUX. A server a test
    starts without a configuration file reads that HOME's, which sources the plugin's
    configuration (the ini option vordalin_config) when one is named."""
    home = _short_tempdir()
    for name in ("TMUX", "TMUX_PANE"):
        monkeypatch.delenv(name, raising=False)
    for name in ("TMUX_TMPDIR", "HOME", "XDG_CONFIG_HOME"):
        monkeypatch.setenv(name, home)
    if named := pytestconfig.getini("vordalin_config"):
        path = (pytestconfig.rootpath / named).resolve()
        # Quoted for tmux's parser, and a glob's special characters escaped for source-file.
        pattern = "".join("\\" + c if c in '*?[\\"$' else c for c in str(path))
        Path(home, ".tmux.conf").write_text(f'source-file "{pattern}"\n')
    yield home
    _kill_server(os.path.join(home, f"tmux-{os.getuid()}", "default"))  # a test's "default" server
    shutil.rmtree(home, ignore_errors=True)


@pytest.fixture(scope="session")
def fake_binary(tmp_path_factory):
    if C_COMPILER is None:
        pytest.skip("no C compiler (cc or gcc) to build the fake tmux")
    out = tmp_path_factory.mktemp("fake-build") / "fake_tool"
    subprocess.run([C_COMPILER, "-O2", "-Wall", "-o", str(out), str(HERE / "fake_tool.c")], check=True)
    return out


class FakeTmux:
    """Scripted tmux, id and ps; fake_tool.c describes the files in `state_dir`."""

    def __init__(self, bin_dir, state_dir):
        self.bin_dir, self.state_dir = bin_dir, state_dir
        self._queued = dict.fromkeys(FAKE_PROGRAMS, 0)

    def respond(self, stdout=b"", stderr=b"", code=0, signal=None, hang=False, signal_parent=None, timeout=30,
                program="tmux", linger_ms=0):
        """Queue the next answer of `program`: print, then exit, die by `signal` or hang; maybe signal the caller.
        With `linger_ms` it closes its output after printing and exits only that much later."""
        out, err = (s.encode() if isinstance(s, str) else s for s in (stdout, stderr))
        n = max(self._queued[program], self._consumed(program))  # runs answered by default took no answer
        self._queued[program] = n + 1
        header = (f"{code} {int(signal or 0)} {int(hang)} {int(signal_parent or 0)} {timeout} {len(out)} {len(err)} "
                  f"{linger_ms}\n")
        (self.state_dir / f"{program}.{n}").write_bytes(header.encode() + out + err)

    def entries(self):
        log = self.state_dir / "log"
        text = log.read_bytes().decode("utf-8", "surrogateescape") if log.exists() else ""
        # Only "\n" ends a record: arguments may hold U+0085 or U+2028 unescaped.
        return [json.loads(line) for line in text.split("\n") if line]

    def calls_of(self, program):
        """The arguments of each run of `program`; tmux's own leading "-u" (UTF-8 output) is checked and left out."""
        calls = [e["argv"] for e in self.entries() if e["prog"] == program]
        if program == "tmux":
            assert all(argv[:1] == ["-u"] for argv in calls), calls
            return [argv[1:] for argv in calls]
        return calls

    @property
    def calls(self):
        return self.calls_of("tmux")

    def last(self):
        """The log entry of the last tmux run."""
        return [e for e in self.entries() if e["prog"] == "tmux"][-1]

    def _consumed(self, program):
        count = self.state_dir / f"{program}.count"
        return int(count.read_text()) if count.exists() else 0

    def unanswered(self, program="tmux"):
        return max(0, self._queued[program] - self._consumed(program))


def _install_fake(fake_binary, root, env):
    """Puts the fake in root/bin under every name it plays and points `env` (a MonkeyPatch) at it."""
    (bin_dir := root / "bin").mkdir()
    (state_dir := root / "state").mkdir()
    for name in FAKE_PROGRAMS:
        shutil.copy2(fake_binary, bin_dir / name)
    env.setenv("VORDALIN_FAKE_DIR", str(state_dir))
    env.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    return FakeTmux(bin_dir, state_dir)


@pytest.fixture
def fake_tmux(fake_binary, monkeypatch):
    # The fake answers one process at a time: it has no control mode for a channel to use.
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    root = Path(_short_tempdir())
    yield _install_fake(fake_binary, root, monkeypatch)
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def no_tmux(monkeypatch, tmp_path):
    (empty := tmp_path / "empty-path").mkdir()
    monkeypatch.setenv("PATH", str(empty))
    return empty


class TmuxServer:
    def __init__(self, socket_path):
        self.socket = socket_path

    def run(self, *args, check=True):
        """Run real tmux on this server's socket; returns the CompletedProcess."""
        return subprocess.run([REAL_TMUX, "-S", self.socket, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, check=check, timeout=10)

    def lines(self, *args):
        return self.run(*args).stdout.splitlines()

    def session_names(self):
        return self.lines("list-sessions", "-F", "#{session_name}")

    def windows(self, session):
        rows = self.lines("list-windows", "-t", f"={session}", "-F", "#{window_index}|#{window_name}")
        return [(int(i), name) for i, name in (row.split("|", 1) for row in rows)]


@contextlib.contextmanager
def _private_socket():
    socket_path = os.path.join(directory := _short_tempdir(), "sock")
    try:
        yield socket_path
    finally:
        _kill_server(socket_path)
        shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def spare_socket():
    """A socket path with no server behind it; any server started there is killed."""
    with _private_socket() as socket_path:
        yield socket_path


@pytest.fixture
def tmux_cli(private_env, request):
    """tmux itself on the private server of the module's pytest plugin, with one session "main" (120x40, bash).

    The server starts with the plugin's configuration (the ini option vordalin_config), but its panes
    run bash, which the tests that read the last command or exec bash need."""
    if REAL_TMUX is None:
        pytest.skip("tmux is not installed")
    cli = TmuxServer(request.getfixturevalue("tmux_server").current_socket)
    config = vordalin_pytest.server_config(request.config, os.path.dirname(cli.socket), BASH)
    cli.run("-f", config, "new-session", "-d", "-s", "main", "-x", "120", "-y", "40")
    return cli


@pytest.fixture(scope="session")
def classes(fake_binary):
    """Server, Session, Window and Pane, the last three reached as a user reaches them: by a walk (on a fake)."""
    import vordalin

    root = Path(_short_tempdir())
    try:
        with pytest.MonkeyPatch.context() as env:
            env.delenv("VORDALIN_CHANNEL", raising=False)
            fake = _install_fake(fake_binary, root, env)
            for answer in ("work\n", f"0|{escaped('editor')}\n", f"0|%1|{escaped('title')}\n"):
                fake.respond(stdout=answer)
            (session,) = vordalin.Server().sessions
            (window,) = session.windows
            (pane,) = window.panes
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return type("Classes", (), {"Server": vordalin.Server, "Session": type(session), "Window": type(window),
                                "Pane": type(pane)})


@pytest.fixture(scope="session")
def sshd_server():
    """A private OpenSSH server on 127.0.0.1 (tests/sshd.py); the suite's remote host."""
    if REAL_TMUX is None:
        pytest.skip("tmux is not installed")
    if reason := sshd.unavailable():
        if REQUIRE_ALL:
            pytest.fail(reason)
        pytest.skip(f"SKIPPED LOUDLY: no ssh server for the remote tests: {reason}")
    try:
        with sshd.running_sshd() as server:
            yield server
    except RuntimeError as error:
        if REQUIRE_ALL:
            raise
        pytest.skip(f"SKIPPED LOUDLY: the ssh server for the remote tests did not start: {error}")


@pytest.fixture
def remote_server(sshd_server, request):
    """A private tmux server on the ssh host (this machine, through sshd), as a vordalin.Server with host=."""
    import vordalin

    with _private_socket() as socket_path:
        config = vordalin_pytest.server_config(request.config, os.path.dirname(socket_path), BASH)
        yield vordalin.Server(socket_path, config=config, host=sshd.HOST, ssh_options=sshd_server.options)
