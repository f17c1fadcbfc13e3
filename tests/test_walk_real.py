"""The walk Server -> Session -> Window -> Pane on a real private tmux server, and stale records."""

import pytest

import vordalin
from helpers import wait_for


def active_window(tmux_cli, session):
    rows = tmux_cli.lines("list-windows", "-t", f"={session}", "-F", "#{window_active}|#{window_index}")
    return [int(index) for active, index in (row.split("|") for row in rows) if active == "1"]


def test_walk_with_a_rename_and_a_kill_at_each_level(tmux_cli):
    sock = tmux_cli.socket
    session = vordalin.Server(sock).new_session("work")
    tmux_cli.run("new-window", "-d", "-t", "=work:", "-n", "logs")
    zero, logs = session.windows
    assert (zero.index, logs.index, logs.name, logs.session_name, logs.socket) == (0, 1, "logs", "work", sock)
    assert logs.select is True and active_window(tmux_cli, "work") == [1]
    logs.name = "tail"
    assert logs.name == "tail" and (1, "tail") in tmux_cli.windows("work")

    tmux_cli.run("split-window", "-d", "-t", "=work:=1")
    first, second = logs.panes
    assert [(p.pane_index, p.session_name, p.window_index, p.socket) for p in (first, second)] == [
        (0, "work", 1, sock), (1, "work", 1, sock)]
    first.title = "hello"
    assert (first.title, second.select, second.clear, first.is_alive) == ("hello", True, True, True)
    assert tmux_cli.lines("list-panes", "-t", "=work:=1", "-F", "#{pane_id}|#{pane_active}|#{pane_title}") == [
        f"{first.pane_id}|0|hello", f"{second.pane_id}|1|{second.title}"]
    assert second.kill() is True
    assert [p.pane_id for p in logs.panes] == [first.pane_id]
    for act, prefix in [(second.kill, "tmux kill-pane"), (lambda: second.select, "select pane"),
                        (lambda: second.clear, "tmux clear-history"), (lambda: second.is_alive, "tmux display-message"),
                        (lambda: setattr(second, "title", "late"), "tmux select-pane -T")]:
        with pytest.raises(RuntimeError) as info:
            act()
        assert str(info.value) == f"{prefix} failed: can't find pane: {second.pane_id}"
    assert second.title != "late"

    assert logs.kill() is True and [w.index for w in session.windows] == [0]
    assert (logs.kill(), logs.select, logs.panes) == (False, False, [])
    with pytest.raises(ValueError, match="^failed to rename window to 'again'$"):
        logs.name = "again"

    older = type(session)("work", sock)
    session.name = "job"
    assert tmux_cli.session_names() == ["job", "main"]
    assert [w.session_name for w in session.windows] == ["job"]
    assert (older.windows, older.kill()) == ([], False)
    with pytest.raises(RuntimeError) as info:
        session.name = "main"
    assert (str(info.value), session.name) == ("rename session failed: duplicate session: main\n", "job")
    assert session.kill() is True and tmux_cli.session_names() == ["main"]
    assert (session.kill(), session.windows) == (False, [])
    with pytest.raises(RuntimeError, match="^rename session failed: can't find session"):
        session.name = "again"


def test_stale_records_never_act_on_another_session_or_window(classes, tmux_cli):
    sock = tmux_cli.socket
    tmux_cli.run("new-session", "-d", "-s", "ab")
    tmux_cli.run("new-window", "-d", "-t", "=ab:5", "-n", "7log")
    for name in ["a", "a*", "?b", "[a]b"]:  # tmux would resolve these to "ab" by prefix or pattern
        stale = classes.Session(name, sock)
        assert (stale.kill(), stale.windows, vordalin.Server(sock).has_session(name)) == (False, [], False)
        with pytest.raises(RuntimeError, match="^rename session failed: "):
            stale.name = "z"
        assert classes.Window(name, 0, sock, "x").kill() is False
    stale = classes.Window("ab", 7, sock, "old")  # tmux would read "7" as the start of the name "7log"
    assert (stale.select, stale.panes) == (False, [])
    with pytest.raises(ValueError):
        stale.name = "renamed"
    assert stale.kill() is False
    windows = tmux_cli.windows("ab")
    assert (tmux_cli.session_names(), [i for i, _ in windows], windows[-1]) == (["ab", "main"], [0, 5], (5, "7log"))
    assert active_window(tmux_cli, "ab") == [0]


def test_is_alive_tells_a_dead_pane_from_a_missing_one(classes, tmux_cli):
    (pane_id,) = tmux_cli.lines("list-panes", "-t", "=main:=0", "-F", "#{pane_id}")
    pane = classes.Pane("main", 0, 0, pane_id, "", tmux_cli.socket)
    assert pane.is_alive is True
    tmux_cli.run("set-option", "-w", "-t", "=main:=0", "remain-on-exit", "on")
    tmux_cli.run("respawn-pane", "-k", "-t", pane_id, "true")
    wait_for(lambda: tmux_cli.lines("display-message", "-p", "-t", pane_id, "#{pane_dead}") == ["1"],
             message="the pane's program to exit")
    assert pane.is_alive is False
    with pytest.raises(RuntimeError, match="^tmux display-message failed: can't find pane: %999$"):
        classes.Pane("main", 0, 0, "%999", "", tmux_cli.socket).is_alive
