"""Server: creating and listing sessions, and control of a real private server."""

import pytest

import vordalin
from helpers import needs_tmux, wait_for


@pytest.mark.parametrize("socket", [None, "/tmp/vd/sock", ""], ids=["default", "path", "empty"])
def test_new_session_and_listing_carry_the_socket(classes, fake_tmux, socket):
    server = vordalin.Server(socket)
    fake_tmux.respond(stdout=b"  odd_name \n")  # the name tmux made, not the one asked for
    made = server.new_session("  odd:name ")
    fake_tmux.respond(stdout=b"main\n\n   \nwork\r\ncaf\xc3\xa9 \xff\n\x1cctl\n sp \nlast")
    listed = server.sessions
    assert made.name == "  odd_name "
    assert [s.name for s in listed] == ["main", "   ", "work", "caf\u00e9 \ufffd", "\x1cctl", " sp ", "last"]
    assert {(type(s), s.socket) for s in [made, *listed]} == {(classes.Session, socket)}


def test_control_of_a_real_server(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    assert (server.is_running, server.has_session("main"), server.start()) == (True, True, True)
    work = server.new_session("work")
    assert (work.name, work.socket, tmux_cli.session_names()) == ("work", tmux_cli.socket, ["main", "work"])
    assert [s.name for s in server.sessions] == ["main", "work"]
    with pytest.raises(RuntimeError) as info:
        server.new_session("work")
    assert str(info.value) == "new session failed: duplicate session: work\n"
    for probe in ["wor", "w*", "*", "ma", "", "=work"]:  # session names match exactly
        assert server.has_session(probe) is False, probe
    assert server.kill() is True
    wait_for(lambda: tmux_cli.run("list-sessions", check=False).returncode != 0, message="server exit")
    assert (server.is_running, server.has_session("main"), server.sessions, server.kill()) == (False, False, [], False)


@needs_tmux
def test_fresh_servers(spare_socket):
    for socket in (spare_socket, None):  # None: the default server, which lives in the private TMUX_TMPDIR
        server = vordalin.Server(socket)
        assert (server.is_running, server.has_session("fresh"), server.start()) == (False, False, True)
        wait_for(lambda: not server.is_running, message="the server without sessions to exit")
        assert server.new_session("fresh").socket == socket
        assert (server.is_running, server.has_session("fresh"), server.kill()) == (True, True, True)
