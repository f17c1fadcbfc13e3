"""Server.snapshot: every session, window and pane from one tmux process."""

import pickle

import pytest

import vordalin
from helpers import escaped, free, needs_tmux, wait_for

S_FORMAT = ("S|#{session_id}|" + free("session_name") + "|#{session_created}|#{session_attached}|"
            "#{session_width}|#{session_height}|#{session_windows}")
W_FORMAT = ("W|" + free("session_name") + "|#{window_id}|#{window_panes}|#{window_index}|" + free("window_name") +
            "|#{window_active}|#{window_layout}|#{window_width}|#{window_height}|#{window_flags}")
P_FORMAT = ("P|" + free("session_name") + "|#{window_index}|#{pane_index}|#{pane_id}|" + free("pane_title") +
            "|#{pane_pid}|" + free("pane_current_command") + "|" + free("pane_current_path") +
            "|#{pane_active}|#{pane_dead}|#{pane_width}|#{pane_height}")


def pane_line(session, window, pane, pane_id, title, pid, command, path, rest="1|0|80|24"):
    return "|".join(["P", escaped(session), window, pane, pane_id, escaped(title), pid, escaped(command),
                     escaped(path), rest])


def test_one_process_and_the_framing(classes, fake_tmux):
    fake_tmux.respond(stdout="\n".join([
        "S|$1|" + escaped("a|b") + "|17|0|80|24|1",
        "W|" + escaped("a|b") + "|@1|2|0|" + escaped("x\nW|0|@9") + "|1|L|80|24|##*",
        pane_line("a|b", "0", "0", "%1", "t|%9|forged", "41", "sh\nP|x", "/a\n|b"),
        pane_line("a|b", "0", "1", "%2", "", "", "", "", rest="0|1|x|"),
        pane_line("a|b", "x", "1", "%3", "", "1", "", ""),  # an index that does not read: skipped
        "P|too|few", "X|unknown kind", "",
    ]) + "\n")
    fake_tmux.respond(program="ps", stdout=" 41 /bin/sh -c 'x' \n")
    snap = classes.Server("/s").snapshot(commandlines=True)
    assert fake_tmux.calls == [["-S", "/s", "list-sessions", "-F", S_FORMAT, ";", "list-windows", "-a", "-F", W_FORMAT,
                                ";", "list-panes", "-a", "-F", P_FORMAT]]
    assert fake_tmux.calls_of("ps") == [["-p", "41", "-o", "pid=,args="]]
    assert [(s.id, s.name, s.windows) for s in snap.sessions] == [("$1", "a|b", 1)]
    (window,) = snap.windows
    assert (window.session_name, window.id, window.pane_count, window.index, window.name, window.flags) == (
        "a|b", "@1", 2, 0, "x\nW|0|@9", "#*")
    assert window.window == classes.Window("a|b", 0, "/s", "x\nW|0|@9")
    first, second = snap.panes
    assert (first.title, first.pid, first.current_command, first.current_path, first.commandline) == (
        "t|%9|forged", 41, "sh\nP|x", "/a\n|b", "/bin/sh -c 'x'")
    assert (second.pid, second.active, second.dead, second.width, second.height, second.commandline) == (
        None, False, True, None, None, None)
    assert first.pane == classes.Pane("a|b", 0, 0, "%1", "t|%9|forged", "/s")


def test_without_a_server_or_without_ps(classes, fake_tmux):
    fake_tmux.respond(code=1, stderr="no server running on /s\n")
    fake_tmux.respond(stdout=pane_line("s", "0", "0", "%1", "", "41", "sh", "/") + "\n")
    fake_tmux.respond(program="ps", code=1)
    server = classes.Server("/s")
    empty = server.snapshot()
    assert (empty.sessions, empty.windows, empty.panes) == ([], [], [])
    assert repr(empty) == "Snapshot(sessions=[], windows=[], panes=[])"
    assert server.snapshot(commandlines=True).panes[0].commandline is None


@needs_tmux
def test_a_real_server_field_by_field(tmux_cli):
    sock = tmux_cli.socket
    tmux_cli.run("new-session", "-d", "-s", "two", "-x", "90", "-y", "20")
    tmux_cli.run("new-window", "-d", "-t", "=two:", "-n", "logs")
    tmux_cli.run("split-window", "-d", "-t", "=main:0")
    snap = vordalin.Server(sock).snapshot()

    sessions = tmux_cli.lines("list-sessions", "-F", "#{session_id} #{session_name} #{session_windows}")
    assert [f"{s.id} {s.name} {s.windows}" for s in snap.sessions] == sessions
    assert [repr(s) for s in snap.sessions] == [repr(vordalin.Server(sock).sessions[i].metadata()) for i in range(2)]

    windows = tmux_cli.lines("list-windows", "-a", "-F", "#{session_name} #{window_id} #{window_panes} #{window_index}")
    assert [f"{w.session_name} {w.id} {w.pane_count} {w.index}" for w in snap.windows] == windows
    for info in snap.windows:
        metadata = info.window.metadata
        assert [getattr(info, f) for f in ("index", "name", "active", "layout", "width", "height", "flags")] == [
            getattr(metadata, f) for f in ("index", "name", "active", "layout", "width", "height", "flags")]

    fmt = "#{pane_id} #{session_name} #{window_index} #{pane_index} #{pane_pid} #{pane_active} #{pane_width}x" \
          "#{pane_height} #{pane_current_command} #{pane_current_path}"
    panes = tmux_cli.lines("list-panes", "-a", "-F", fmt)
    assert [f"{p.pane_id} {p.session_name} {p.window_index} {p.pane_index} {p.pid} {int(p.active)} {p.width}x"
            f"{p.height} {p.current_command} {p.current_path}" for p in snap.panes] == panes
    windows = [vordalin.Server(sock).target_window(target) for target in ("main:0", "two:0", "two:1")]
    assert {p.pane for p in snap.panes} == {p for w in windows for p in w.panes}
    assert repr(pickle.loads(pickle.dumps(snap))) == repr(snap)


@needs_tmux
def test_hostile_names_titles_commands_and_directories(tmux_cli, tmp_path):
    sock = tmux_cli.socket
    server = vordalin.Server(sock)
    directory = tmp_path / "a\nP|9|%9|x"
    directory.mkdir()
    session = server.new_session("s|1|$9")
    window = session.new_window("w\nW|x", "exec -a 'cmd|x\n9' sleep 1000", start_directory=str(directory))
    pane = server.target_pane("s|1|$9:0.0")
    pane.send_keys("printf '\\033]2;%s\\033\\\\' 't|%99|forged'", enter=True)
    wait_for(lambda: server.target_pane(pane.pane_id).title == "t|%99|forged", message="the title the program set")
    def renamed():
        taken = server.snapshot(commandlines=True)
        return taken if any(p.current_command == "cmd|x\n9" for p in taken.panes) else None

    snap = wait_for(renamed, message="the command under its new name")
    assert [s.name for s in snap.sessions] == sorted(["main", "s|1|$9"])
    assert [w.name for w in snap.windows if w.session_name == "s|1|$9"][1] == "w\nW|x" == window.name
    by_id = {p.pane_id: p for p in snap.panes}
    assert by_id[pane.pane_id].title == "t|%99|forged"
    (moved,) = [p for p in snap.panes if p.current_command == "cmd|x\n9"]
    assert moved.current_path == str(directory) and len(snap.panes) == 3
    assert moved.commandline.startswith("cmd|x")  # ps shows the line end as it likes


@needs_tmux
def test_a_pane_whose_process_ended_and_a_server_that_died(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    tmux_cli.run("set-option", "-g", "remain-on-exit", "on")
    session = server.new_session("gone", "true")
    wait_for(lambda: [p.dead for p in server.snapshot().panes if p.session_name == "gone"] == [True],
             message="the pane's program to end")
    def reaped():  # until tmux reaps the program, ps still shows it, as defunct
        taken = server.snapshot(commandlines=True)
        return taken if [p.commandline for p in taken.panes if p.session_name == "gone"] == [None] else None

    # tmux 3.3a now and then never reaps a pane's program (it stays a zombie until the server
    # ends; plain tmux commands show it too): the snapshot then gives what ps says of it.
    try:
        snap = wait_for(reaped, timeout=2, message="the program to be reaped")
    except AssertionError:
        snap = server.snapshot(commandlines=True)
    (dead,) = [p for p in snap.panes if p.session_name == "gone"]
    (alive,) = [p for p in snap.panes if p.session_name == "main"]
    assert dead.commandline is None or dead.commandline.endswith("<defunct>")
    assert alive.commandline is not None and dead.pane.session_name == session.name
    assert server.kill() is True
    wait_for(lambda: not server.is_running, message="the server to end")
    empty = server.snapshot(commandlines=True)
    assert (empty.sessions, empty.windows, empty.panes) == ([], [], [])
