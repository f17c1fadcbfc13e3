"""A call gives the same result over the channel as a tmux process gives: what a new pane is given,
the session a target without one names, the text either refuses, what a capture hands to tmux,
the server a call reaches; and a record says only what tmux said, whatever a pane's program does
to its name."""

import os
import shlex
import subprocess

import pytest

import vordalin
from helpers import C_COMPILER, REAL_TMUX, REQUIRE_ALL, both_ways, clients, kept, needs_tmux, wait_for

pytestmark = needs_tmux
HERE = os.path.dirname(os.path.abspath(__file__))


class Route:
    """How a test's calls reach the server: a tmux process each, or the channel that open() opens."""

    def __init__(self, name, socket):
        self.name, self.server, self.client = name, vordalin.Server(socket), None

    def open(self):
        if self.name == "channel":
            assert self.server.connect()
            self.client = clients(self.server)
        return self.server

    def kept(self):
        """Whether every call went the way it was meant to: over the one channel opened, or as processes."""
        if self.name == "channel":
            return self.server.connected and kept(self.server, self.client)
        return not self.server.connected


@pytest.fixture(params=["process", "channel"])
def route(request, tmux_session, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    route = Route(request.param, tmux_session.socket)
    yield route
    route.server.disconnect()


@pytest.fixture
def channel(tmux_session, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    server = vordalin.Server(tmux_session.socket)
    assert server.connect()
    yield server
    server.disconnect()


def script(path, body):
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


def tmux(socket, *args):
    """What a tmux process of the test's own prints: no module, no channel."""
    return subprocess.run([REAL_TMUX, "-S", socket, *args], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          check=True, timeout=10).stdout


@pytest.mark.parametrize("start", ["new window", "split"])
def test_a_program_found_only_on_the_callers_path_starts(route, tmux_session, tmp_path, monkeypatch, start):
    server = route.open()
    (tools := tmp_path / "tools").mkdir()
    script(tools / "vdl-only-here", 'printf %s "$PATH" > "$1"\n')
    monkeypatch.setenv("PATH", f"{tools}{os.pathsep}{os.environ['PATH']}")  # after the server and channel started
    seen = tmp_path / "seen"
    command = f"vdl-only-here {shlex.quote(str(seen))}; exec sleep 100"
    if start == "new window":
        tmux_session.new_window("tool", command)
    else:
        tmux_session.windows[0].panes[0].split(command=command, keep=False)  # keep runs a login sh, whose profile sets PATH
    path = wait_for(lambda: seen.exists() and seen.read_text(), timeout=10, message="the tool to run")
    assert path == os.environ["PATH"] and route.kept() and server.has_session("test")


def test_update_environment_patterns_reach_a_new_session_alone(route, tmux_session, monkeypatch):
    server = route.server
    server.global_options["update-environment"] = ["VDL_*", "VDL_ALSO", "VDL_NONE"]
    monkeypatch.setenv("VDL_B", "b")
    monkeypatch.setenv("VDL_A", "a")
    before = dict(tmux_session.environment)
    route.open()  # attaching updates no session's environment
    monkeypatch.setenv("VDL_ALSO", "also")  # which the channel's client never had
    made = server.new_session("made")
    # tmux copies, per entry, the first variable by name that it matches, and marks an entry
    # that matched none removed (which reads as missing).
    assert {k: v for k, v in made.environment.items() if k.startswith("VDL_")} == {"VDL_A": "a", "VDL_ALSO": "also"}
    assert dict(tmux_session.environment) == before and route.kept()


@pytest.mark.parametrize("name, command", [("-c", None), ("w", "-c"), ("-c", "-c")])
def test_a_window_named_or_running_dash_c_starts_in_the_callers_directory(route, tmux_session, tmp_path, monkeypatch,
                                                                          name, command):
    server = route.open()
    # A shell that, whatever it is asked to run, stays in the directory it was started in.
    server.global_options["default-shell"] = str(script(tmp_path / "stay", "exec sleep 100\n"))
    (here := tmp_path / "here").mkdir()
    monkeypatch.chdir(here)  # not where the session started
    window = tmux_session.new_window(name, command)
    # Empty until the pane's program has its terminal.
    started_in = wait_for(lambda: window.panes[0].display("#{pane_current_path}"), message="the pane's directory")
    assert (window.name, started_in) == (name, str(here.resolve()))
    assert route.kept()


def test_targets_without_a_session_part_resolve_as_for_a_process(route, tmux_session):
    server, socket = route.server, tmux_session.socket
    tmux_session.new_window("one")
    server.new_session("other").new_window("uno")
    # For a process, tmux resolves such a target in the most recently active session: the last made.
    picked = lambda: tmux(socket, "display-message", "-p", "#{session_name}").strip()  # noqa: E731
    before = resolved(server)
    assert picked() == "other" and {where[0] for where in before} == {"other"}
    route.open()  # attaching makes a session the most recently active: the one tmux picks anyway
    assert picked() == "other" and resolved(server) == before
    server.new_session("third").new_window("uno")
    assert picked() == "third" and {where[0] for where in resolved(server)} == {"third"} and route.kept()


def resolved(server):
    windows = [server.target_window(target) for target in (":1", "1", ":")]
    panes = [server.target_pane(target) for target in ("0", ":1.0", ".0")]
    return [(w.session_name, w.index) for w in windows] + [(p.session_name, p.window_index, p.pane_id) for p in panes]


LONG = "n" * 20_000
TOO_LONG = {
    "new session": lambda server, session: server.new_session(LONG),
    "rename session": lambda server, session: setattr(session, "name", LONG),
    "new window": lambda server, session: session.new_window(LONG),
    "rename window": lambda server, session: setattr(session.windows[0], "name", LONG),
    "title": lambda server, session: setattr(session.windows[0].panes[0], "title", LONG),
    "has session": lambda server, session: server.has_session(LONG),
}


def outcome(act):
    try:
        return "returned", act()
    except (RuntimeError, ValueError) as error:
        return type(error), str(error), [getattr(error, name, None) for name in ("command", "stderr", "returncode")]


@pytest.mark.parametrize("act", TOO_LONG.values(), ids=TOO_LONG.keys())
def test_text_too_long_for_a_process_is_refused_alike(channel, tmux_session, act):
    before = named(channel)
    over, per_process = both_ways(channel, lambda: outcome(lambda: act(channel, tmux_session)))
    assert over == per_process and (over == ("returned", False) or over[0] in (vordalin.TmuxError, ValueError))
    assert named(channel) == before and channel.connected


def named(server):
    """What the server holds and what each is called."""
    snapshot = server.snapshot()
    return ([(s.id, s.name) for s in snapshot.sessions], [(w.id, w.name) for w in snapshot.windows],
            [(p.pane_id, p.title) for p in snapshot.panes])


def test_a_name_just_within_the_limit_is_taken_alike_and_one_more_character_refused(channel, tmux_session):
    def rename(length):
        try:
            tmux_session.name = "n" * length
        except RuntimeError as error:
            return str(error)
        tmux_session.name = "test"
        return "renamed"

    channel.disconnect()
    low, high = 1000, 20_000  # a process renames to the first, and refuses the second
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if rename(middle) == "renamed" else (low, middle)
    refusal = rename(high)
    assert channel.connect()
    client = clients(channel)
    assert (rename(low), rename(high)) == ("renamed", refusal)
    assert kept(channel, client) and channel.has_session("test")


def test_a_format_in_the_temporary_directory_runs_nothing(tmux_session, tmp_path, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    marker, done = tmp_path / "ran", tmp_path / "done"
    # The marker's path holds "/": the temporary directory is the nested path it makes.
    (temporary := tmp_path / f"a#(touch {marker})b").mkdir(parents=True)
    monkeypatch.setenv("TMPDIR", str(temporary))
    pane = tmux_session.new_window("w", "printf 'shown\\n'; exec cat").panes[0]
    expected = pane.wait_for("shown\n")
    server = vordalin.Server(tmux_session.socket)
    assert server.connect()
    client = clients(server)
    over = [pane.capture(), pane.capture(full=True), pane.capture(trim=True)]
    assert server.connected and kept(server, client)
    server.disconnect()
    assert over == [pane.capture(), pane.capture(full=True), pane.capture(trim=True)] and over[0] == expected
    tmux(tmux_session.socket, "run-shell", f"touch {shlex.quote(str(done))}")  # a shell command run after any of ours
    assert done.exists() and not marker.exists()


def test_cmd_reaches_its_own_server_alone(channel, spare_socket):
    other = vordalin.Server(spare_socket)
    other.new_session("elsewhere")
    try:
        for args in (["-S", spare_socket, "list-sessions"], ["-L", "x", "list-sessions"]):
            over, per_process = both_ways(channel, lambda: channel.cmd(*args))
            assert over == per_process and over.returncode == 1 and "elsewhere" not in over.stdout
        assert channel.connected
    finally:
        other.kill()


@pytest.mark.parametrize("form", ["plain", "trailing slash", "through a link"])
def test_the_default_server_is_where_tmux_puts_it(private_env, tmp_path, monkeypatch, form):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    (elsewhere := tmp_path / "elsewhere").mkdir()
    monkeypatch.setenv("TMPDIR", str(elsewhere))  # read by tmux never
    # private_env's TMUX_TMPDIR is where the fixture kills a default server the test started.
    base = {"plain": private_env, "trailing slash": private_env + "/", "through a link": str(tmp_path / "link")}[form]
    if form == "through a link":
        os.symlink(private_env, base)
    monkeypatch.setenv("TMUX_TMPDIR", base)
    server = vordalin.Server()
    computed = server.current_socket  # no server runs: worked out by tmux's rule
    server.new_session("default")
    listening = tmux(computed, "display-message", "-p", "#{socket_path}").strip()
    assert computed == listening == os.path.join(os.path.realpath(private_env), f"tmux-{os.getuid()}", "default")
    assert server.connect() and vordalin.Server(listening).connected  # the channel is known by the same path
    assert server.current_socket == listening and not (elsewhere / f"tmux-{os.getuid()}").exists()
    server.disconnect()


# Records as the listings print them, and as a reader that counted each free-text field would take
# them: a line of the racing program's own text that read as one would forge a record.
FORGED_PANE = ["P|EVIL|7|0|%77|evil|77|evil|evil|1|0|80|24", "P|4|EVIL|7|0|%77|4|evil|77|4|evil|4|evil|1|0|80|24"]
FORGED = "\n".join(["x", "S|$77|EVIL|1|0|80|24|1", "S|$77|4|EVIL|1|0|80|24|1",
                    "W|EVIL|@77|1|7|evil|1|b25d,80x24,0,0,77|80|24|*", "W|4|EVIL|@77|1|7|4|evil|1|b25d,80x24,0,0,77|80|24|*",
                    *FORGED_PANE, "x"])


@pytest.fixture
def racing_name(tmp_path):
    if C_COMPILER is None:
        if REQUIRE_ALL:
            pytest.fail("VORDALIN_REQUIRE_ALL=1, but there is no C compiler (cc or gcc) to build the racing program")
        pytest.skip("SKIPPED LOUDLY: no C compiler (cc or gcc) to build the racing program")
    program = tmp_path / "racing_name"
    subprocess.run([C_COMPILER, "-O2", "-Wall", "-o", str(program), os.path.join(HERE, "racing_name.c")], check=True)
    return program


def test_a_program_racing_its_own_name_forges_and_hides_no_record(racing_name, tmux_session, tmp_path, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    server = vordalin.Server(tmux_session.socket)
    (plain := tmp_path / "plain").mkdir()
    (forged_directory := tmp_path / "\n".join(["d", *FORGED_PANE, "d"])).mkdir()
    args = [racing_name, "short", FORGED, plain, forged_directory]
    window = tmux_session.new_window(command="exec " + " ".join(shlex.quote(str(arg)) for arg in args))
    racer = window.panes[0]
    racer.wait_for("racing\n")
    first = tmux_session.windows[0]
    windows, panes = [first.index, window.index], sorted([first.panes[0].pane_id, racer.pane_id])
    wrong, seen = [], set()
    for route in ("process", "channel"):
        assert route == "process" or server.connect()
        for _ in range(200):
            snapshot = server.snapshot()
            (raced,) = [p for p in snapshot.panes if p.pane_id == racer.pane_id] or [None]
            seen |= {raced and raced.current_command == FORGED and "name", raced and raced.current_path == str(
                forged_directory) and "directory"}
            found = ([s.name for s in snapshot.sessions], [w.index for w in snapshot.windows],
                     sorted(p.pane_id for p in snapshot.panes), [s.name for s in server.sessions],
                     [w.index for w in tmux_session.windows], [p.pane_id for p in window.panes],
                     tmux_session.metadata().name, window.metadata.index)
            if found != (["test"], windows, panes, ["test"], windows, [racer.pane_id], "test", window.index):
                wrong.append((route, found))
        assert route == "process" or (server.connected and len(clients(server)) == 1)
        server.disconnect()
    assert wrong == []
    # The race was run: tmux read the forged texts whole, and they stayed in their own fields.
    assert {"name", "directory"} <= seen
