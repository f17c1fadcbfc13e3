"""Values compare: snapshots and results by their fields, every record's socket by the path it names."""

import copy
import os
import pickle

import pytest
from hypothesis import given, strategies as st

import vordalin

VALUES = {  # each value class, with fields for vordalin._restore
    "SessionMetadata": ("$1", "work", 17, False, 80, None, 2),
    "WindowMetadata": (0, "ed", True, "L", None, 24, "*"),
    "WindowInfo": ("work", "@1", 2, 0, "ed", True, "L", 80, 24, "*", "/s"),
    "PaneInfo": ("work", 0, 1, "%1", "t", 42, "sh", "/home", True, False, 80, 24, None, "/s"),
    "CommandResult": (0, "out\n", ""),
}


def made(name, *fields):
    return vordalin._restore(name, *fields)


def another(field):
    if isinstance(field, bool):
        return not field
    return field + 1 if isinstance(field, int) else 7 if field is None else field + "x"


@pytest.mark.parametrize("name", VALUES)
def test_values_equal_by_every_field(name):
    fields = VALUES[name]
    value = made(name, *fields)
    for same in (made(name, *fields), copy.copy(value), pickle.loads(pickle.dumps(value))):
        assert same == value and not same != value and hash(same) == hash(value)
    assert len({value, made(name, *fields)}) == 1
    for at, field in enumerate(fields):
        try:
            changed = made(name, *fields[:at], another(field), *fields[at + 1:])
        except TypeError:  # an absent text
            changed = made(name, *fields[:at], "x", *fields[at + 1:])
        assert changed != value and not changed == value, (name, at)
    with pytest.raises(TypeError):
        value < value  # noqa: B015 (no order)


def test_values_of_two_classes_never_equal():
    meta = made("WindowMetadata", *VALUES["WindowMetadata"])
    info = made("WindowInfo", "work", "@1", 2, *VALUES["WindowMetadata"], "/s")
    assert meta != info and info != meta and meta != tuple(VALUES["WindowMetadata"])


@given(a=st.lists(st.sampled_from(["a", "b"]), max_size=2), b=st.lists(st.sampled_from(["a", "b"]), max_size=2))
def test_a_snapshot_equals_by_its_lists(a, b):
    def snapshot(names):
        sessions = [made("SessionMetadata", "$1", name, 1, False, None, None, 1) for name in names]
        return made("Snapshot", sessions, [], [])

    assert (snapshot(a) == snapshot(b)) == (a == b)
    assert hash(snapshot(a)) == hash(snapshot(a))


def test_two_snapshots_of_an_unchanged_server_are_equal(tmux_session):
    server = vordalin.Server(tmux_session.socket)
    first = server.snapshot(commandlines=True)
    assert first == server.snapshot(commandlines=True) and hash(first) == hash(server.snapshot(commandlines=True))
    assert {tmux_session.metadata(), first.sessions[0]} == {first.sessions[0]}
    assert tmux_session.windows[0].metadata == server.target_window("=test:0").metadata
    tmux_session.new_window("more")
    assert server.snapshot(commandlines=True) != first


def test_command_results_compare(fake_tmux, classes):
    for _ in range(3):
        fake_tmux.respond(stdout="out", stderr="err", code=2)
    server = classes.Server("/s")
    assert server.cmd("x") == server.cmd("x") and len({server.cmd("x")}) == 1


# Each way of writing the same socket path, from the directory the test runs in.
SPELLINGS = ["tmux.sock", "./tmux.sock", ".//tmux.sock", "{d}/tmux.sock", "{d}//./tmux.sock", "/{d}/./tmux.sock"]


def records(socket):
    server_made = [vordalin._restore("Session", "w", socket), vordalin._restore("Window", "w", 1, "n", socket),
                   vordalin._restore("Pane", "w", 1, 0, "%1", "t", socket)]
    info = made("PaneInfo", *VALUES["PaneInfo"][:-1], socket)
    return [*server_made, info, made("Snapshot", [], [], [info])]


def test_sockets_compare_by_the_path_they_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    d = str(tmp_path)
    spelled = [records(s.format(d=d)) for s in SPELLINGS]
    for kind, first in enumerate(spelled[0]):
        for other in spelled[1:]:
            assert other[kind] == first, (kind, other[kind].socket)
            if kind:  # a session's name can change: it has no hash
                assert hash(other[kind]) == hash(first)
    assert [r[0].socket for r in spelled] == [s.format(d=d) for s in SPELLINGS]  # shown as given
    # A relative path is taken against the directory the record was made in.
    made_here = records("tmux.sock")
    monkeypatch.chdir("/")
    assert records("tmux.sock")[0] != made_here[0] and records(f"{d}/tmux.sock") == made_here
    assert copy.copy(made_here[1]) == made_here[1]
    # ".." and symbolic links are left alone, and the default server is no path.
    assert records(f"{d}/x/../tmux.sock")[0] != made_here[0] and records(None)[0] != made_here[0]


def test_a_walk_from_a_relative_socket_meets_the_absolute_one(tmux_server, monkeypatch):
    directory, name = os.path.split(tmux_server.current_socket)
    monkeypatch.chdir(directory)
    relative = vordalin.Server(name, config=os.devnull)
    session = relative.new_session("w")
    absolute = vordalin.Server(tmux_server.current_socket)
    assert absolute.sessions == [session] and session.windows == absolute.sessions[0].windows
    assert {*session.windows[0].panes} == {*absolute.sessions[0].windows[0].panes}
    assert relative.snapshot() == absolute.snapshot() and session.socket == name
