"""Layouts, resizing, moving panes and windows, and finding things, each checked against tmux's own listing."""

import os
import re
import subprocess

import pytest

import vordalin
from helpers import REAL_TMUX, needs_tmux, wait_for

LAYOUTS = ["even-horizontal", "even-vertical", "main-horizontal", "main-vertical", "tiled"]


def layout_checksum(body):
    total = 0
    for byte in body.encode():
        total = ((total >> 1) + ((total & 1) << 15) + byte) & 0xFFFF
    return f"{total:04x}"


@pytest.fixture
def server(tmux_cli):
    return vordalin.Server(tmux_cli.socket)


@pytest.fixture
def window(server):
    """The first window of "main", split in three."""
    window = server.session("main").active_window
    first = window.active_pane
    first.split(horizontal=True).split()
    return window


def panes_of(tmux_cli, target):
    return tmux_cli.lines("list-panes", "-t", target, "-F", "#{pane_id}")


def test_every_layout_name_and_a_layout_string(tmux_cli, window):
    target = f"=main:={window.index}"
    shown = {}
    for name in LAYOUTS:
        window.select_layout(name)
        shown[name] = tmux_cli.run("display-message", "-p", "-t", target, "#{window_layout}").stdout.strip()
        assert window.metadata.layout == shown[name]
    assert len(set(shown.values())) == len(LAYOUTS)
    window.select_layout(shown["tiled"].upper()[:4] + shown["tiled"][4:])  # tmux reads the checksum either case
    assert window.metadata.layout == shown["tiled"]
    body = "120x40,0,0{60x40,0,0,0,59x40,61,0[59x20,61,0,1,59x19,61,21,2]}"
    window.select_layout(f"{layout_checksum(body)},{body}")
    assert [p.pane_id for p in window.panes] == panes_of(tmux_cli, target)


@pytest.mark.parametrize("layout", ["sideways", "", "even", "main", "mainv", "-x", "even-h", "Tiled",
                                    "0000,120x40,0,0,0", "c194,80x24,0,0[80x12,0,0,0,80x11,0,13,1]", " tiled"])
def test_layouts_that_crash_tmux_are_refused_before_anything_runs(tmux_cli, window, layout):
    with pytest.raises(ValueError, match="^not a layout: "):
        window.select_layout(layout)
    assert tmux_cli.session_names() == ["main"]  # the server lives


@needs_tmux
def test_the_refused_names_do_crash_tmux_3_3a(spare_socket):
    # Why the module refuses them: run on a throwaway server of its own.
    tmux = [REAL_TMUX, "-S", spare_socket, "-f", os.devnull]
    subprocess.run([*tmux, "new-session", "-d", "-s", "x"], check=True)
    subprocess.run([*tmux, "split-window", "-t", "=x:"], check=True)
    version = subprocess.run([*tmux, "-V"], capture_output=True, text=True).stdout.strip()
    subprocess.run([*tmux, "select-layout", "-t", "=x:", "sideways"], capture_output=True)
    alive = subprocess.run([*tmux, "has-session", "-t", "=x"], capture_output=True).returncode == 0
    assert alive == (version != "tmux 3.3a"), version


def test_tmux_refusals_of_a_layout_are_value_errors(window):
    body = "120x40,0,0,0"  # one pane, in a window of three
    with pytest.raises(ValueError, match=r"^have 3 panes but need 1: "):
        window.select_layout(f"{layout_checksum(body)},{body}")


def test_resize(tmux_cli, window):
    target = f"=main:={window.index}"
    window.resize(width=90)
    window.resize(height=30)
    assert tmux_cli.run("display-message", "-p", "-t", target, "#{window_width}x#{window_height}").stdout == "90x30\n"
    window.resize(70, 20)
    assert (window.metadata.width, window.metadata.height) == (70, 20)
    with pytest.raises(ValueError, match="^resize needs a width, a height or both$"):
        window.resize()
    with pytest.raises(ValueError, match="^argument 'width': must be positive, not 0$"):
        window.resize(0, 10)


def test_swap_and_move_windows(tmux_cli, server):
    session = server.session("main")
    first = session.active_window
    second = session.new_window("second")
    ids = dict(row.split() for row in tmux_cli.lines("list-windows", "-t", "=main:", "-F", "#{window_index} #{window_id}"))
    first.swap(second)
    swapped = dict(row.split() for row in tmux_cli.lines("list-windows", "-t", "=main:", "-F", "#{window_index} #{window_id}"))
    assert swapped == {str(first.index): ids[str(second.index)], str(second.index): ids[str(first.index)]}
    # The current window stays current, at its new index.
    assert tmux_cli.run("display-message", "-p", "-t", "=main:", "#{window_id}").stdout.strip() == ids[str(first.index)]
    moved = first.move(index=second.index + 5)
    assert (moved.session_name, moved.index) == ("main", second.index + 5)
    assert tmux_cli.run("display-message", "-p", "-t", f"=main:={moved.index}", "#{window_id}").stdout.strip() == \
        ids[str(second.index)]
    other = server.new_session("other")
    away = moved.move(session=other)
    assert away.session_name == "other" and away in other.windows and moved not in session.windows
    with pytest.raises(RuntimeError, match="^tmux move-window failed: "):
        away.move(index=other.windows[0].index)  # an index in use
    with pytest.raises(RuntimeError, match="^tmux swap-window failed: "):
        first.swap(moved)  # gone from "main"
    foreign = vordalin.Server(tmux_cli.socket + "-elsewhere")
    with pytest.raises(ValueError, match="^the session is on another server$"):
        away.move(session=foreign.new_session("x"))
    foreign.kill()


def test_swap_join_and_break_panes(tmux_cli, server, window):
    target = f"=main:={window.index}"
    a, b, c = window.panes
    a.swap(c)
    assert panes_of(tmux_cli, target) == [c.pane_id, b.pane_id, a.pane_id]
    broken = b.break_out(name="#{pid};")
    assert broken.name == "#{pid};" and broken.session_name == "main"
    assert panes_of(tmux_cli, f"=main:={broken.index}") == [b.pane_id]
    assert server.session("main").active_window.index == window.index  # select=False
    joined = b.join(window, horizontal=True, size=10)
    assert (joined.pane_id, joined.window_index) == (b.pane_id, window.index)
    assert tmux_cli.run("display-message", "-p", "-t", b.pane_id, "#{pane_width}").stdout == "10\n"
    assert b.pane_id in panes_of(tmux_cli, target) and joined == window.active_pane
    alone = server.session("main").new_window("alone").active_pane
    moved = alone.break_out(select=True)  # a pane alone in its window moves with it
    assert moved.name == "alone" and server.session("main").active_window == moved
    c.kill()
    for act in (lambda: a.swap(c), lambda: c.join(window), lambda: c.break_out()):
        with pytest.raises(RuntimeError, match="can't find pane"):
            act()


def test_split_options(tmux_cli, tmp_path, window):
    first = window.active_pane
    before = tmux_cli.run("display-message", "-p", "-t", f"=main:={window.index}", "#{pane_id}").stdout.strip()
    out = tmp_path / "out"
    new = first.split(horizontal=True, command=f"echo \"$PWD|$X\" > {out}; exec sleep 100", keep=False,
                      select=False, size=17, start_directory=str(tmp_path), environment={"X": "#{pid};"})
    assert tmux_cli.run("display-message", "-p", "-t", f"=main:={window.index}", "#{pane_id}").stdout.strip() == before
    assert tmux_cli.run("display-message", "-p", "-t", new.pane_id, "#{pane_width}").stdout == "17\n"
    wait_for(lambda: out.exists() and out.read_text() == f"{tmp_path}|#{{pid}};\n", message="the new pane's output")
    assert first.split(select=True) == window.active_pane


def test_capture_escapes_and_join(tmux_cli, server):
    pane = server.new_session("cap", "printf '\\033[31mred\\033[0m %s' $(printf 'x%.0s' $(seq 100)); exec sleep 100",
                              width=40, height=10).active_window.active_pane
    wait_for(lambda: "red" in (pane.capture() or ""), message="the output")
    assert "\x1b[31mred" in pane.capture(escapes=True) and "\x1b" not in pane.capture()
    joined = pane.capture(join=True, trim=True)
    assert "red " + "x" * 100 in joined and len(pane.capture(trim=True).splitlines()) > 1


def test_finders_on_renamed_and_missing_objects(tmux_cli, server):
    session = server.session("main")
    assert session == vordalin.Server(tmux_cli.socket).session("main")
    assert server.session("mai") is None and server.session("main:0") is None and server.session("$0") is None
    window = session.active_window
    pane = window.active_pane
    assert (pane.window, window.session) == (window, session)
    assert pane.display("#{pane_id}|#{session_name}") == f"{pane.pane_id}|main"
    assert window.display("-#{window_index}") == f"-{window.index}"
    assert session.display("#{session_name}") == "main"
    assert server.display("#{socket_path}") == tmux_cli.socket
    server.new_session("main-2")
    tmux_cli.run("rename-session", "-t", "=main", "renamed")
    assert server.session("main") is None and pane.window.session_name == "renamed"
    for find in (lambda: session.active_window, lambda: window.active_pane, lambda: window.session,
                 lambda: session.display("x"), lambda: window.display("x")):
        with pytest.raises(RuntimeError, match="can't find session: main"):
            find()
    tmux_cli.run("kill-pane", "-t", pane.pane_id)
    for find in (lambda: pane.window, lambda: pane.display("#{pane_id}")):
        with pytest.raises(RuntimeError, match=f"can't find pane: {re.escape(pane.pane_id)}"):
            find()


def test_clients_leave_out_the_module_s_own(tmux_cli, server):
    assert server.clients == []
    control = subprocess.Popen([REAL_TMUX, "-S", tmux_cli.socket, "-C", "attach", "-t", "=main"],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    try:
        wait_for(lambda: server.clients, message="the control client")
        (client,) = server.clients
        assert (client.session_name, client.control, client.tty, client.width, client.height) == \
            ("main", True, "", None, None)
        names = dict(row.split(" ", 1) for row in tmux_cli.lines("list-clients", "-F", "#{client_pid} #{client_name}"))
        assert client.name == names[str(control.pid)]
    finally:
        control.stdin.close()
        control.wait(timeout=10)


def test_the_typed_script_runs(spare_socket):
    from typed_use import use

    seen = use(spare_socket)
    assert "monitor-activity=True" in seen and "status='off'" in seen and "vi" in seen
    assert "after-new-window[0]" in seen and "lone 9 0 typed" in seen and "typed" in seen
    assert not vordalin.Server(spare_socket).is_running


def test_the_with_block_kills_the_server(spare_socket):
    with vordalin.Server(spare_socket, config=os.devnull) as server:
        server.new_session("w")
        assert server.is_running
    assert not server.is_running
    with pytest.raises(ZeroDivisionError):
        with vordalin.Server(spare_socket, config=os.devnull) as server:
            server.new_session("w")
            1 / 0
    assert not server.is_running
    # A kill returns once the server has gone: a new one on the same socket starts at once
    # (tmux answers kill-server first, and a client that reaches the exiting server fails).
    for _ in range(30):
        with vordalin.Server(spare_socket, config=os.devnull) as server:
            server.new_session("w")
