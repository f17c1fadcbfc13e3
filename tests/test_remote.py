"""Servers on another machine over ssh: a real OpenSSH server on 127.0.0.1 (tests/sshd.py) stands in for it."""

import copy
import os
import pickle
import re
import subprocess
import sys
import time

import pytest

import sshd
import vordalin
from helpers import wait_for

# Bounds only a hang could cross: every failure below answers within seconds.
HANG = 60


def remote(sshd_server, socket=None, host=sshd.HOST, **kwargs):
    return vordalin.Server(socket, host=host, ssh_options=sshd_server.options, **kwargs)


@pytest.mark.parametrize("over_channel", [False, True], ids=["process", "channel"])
def test_the_core_walk_runs_on_the_host(remote_server, over_channel):
    session = remote_server.new_session("work", width=80, height=24)
    if over_channel:
        assert remote_server.connect() and remote_server.connected
    assert remote_server.clients == []  # the channel's client, on the host, is the module's own
    (window,) = session.windows
    assert (session.host, window.host, remote_server.host) == (sshd.HOST,) * 3
    logs = session.new_window("logs")
    assert [w.index for w in session.windows] == [window.index, logs.index] and session.windows[1].name == "logs"
    (pane,) = window.panes
    pane.title = "main"
    right = pane.split(horizontal=True)
    assert [p.pane_id for p in window.panes] == [pane.pane_id, right.pane_id] and right.host == sshd.HOST
    pane.send_keys("echo remote $((6 * 7))", enter=True)
    assert "remote 42" in pane.wait_for("remote 42", timeout=20)
    assert pane.capture() and pane.is_alive and pane.current_command
    wait_for(lambda: pane.current_commandline, timeout=10, message="the command line read by ps on the host")
    snap = remote_server.snapshot(commandlines=True)
    assert [s.name for s in snap.sessions] == ["work"] and {p.pane_id for p in snap.panes} >= {pane.pane_id}
    assert all(p.host == sshd.HOST for p in snap.panes) and any(p.commandline for p in snap.panes)
    assert remote_server.cmd("display-message", "-p", "#{session_name}", check=True).returncode == 0
    assert logs.kill() and right.kill() and [w.index for w in session.windows] == [window.index]
    with pytest.raises(vordalin.NotFoundError, match="^tmux kill-pane failed: can't find pane"):
        right.kill()
    assert remote_server.connected is (over_channel or os.environ.get("VORDALIN_CHANNEL") == "1")
    assert remote_server.kill() and not remote_server.is_running


def test_start_directory_and_environment_are_the_hosts(remote_server, sshd_server, tmp_path):
    session = remote_server.new_session("work")
    made = session.new_window("here", start_directory=str(tmp_path), environment={"ON_HOST": "yes #1; $(x)"})
    wait_for(lambda: made.panes[0].display("#{pane_current_path}") == str(tmp_path), message="the start directory")
    made.panes[0].send_keys('echo "[$ON_HOST]"', enter=True)
    made.panes[0].wait_for("[yes #1; $(x)]", timeout=20)
    with pytest.raises(FileNotFoundError):
        session.new_window(start_directory=str(tmp_path / "missing"))
    with pytest.raises(NotADirectoryError):
        (tmp_path / "file").write_text("")
        session.new_window(start_directory=str(tmp_path / "file"))


HOSTILE = ["$(touch {m})", "`touch {m}`", "x; touch {m}", "#(touch {m})", "'; touch {m}; '", '"$(touch {m})"',
           "-t =x", "a\\;", "tab\there", "  spaced  ", "it's ~ * ? [a] {{b}} | & < >"]


@pytest.mark.parametrize("template", HOSTILE)
def test_caller_text_stays_data_through_the_remote_shell(remote_server, tmp_path, template):
    marker = tmp_path / "marker"
    text = template.format(m=marker)
    # tmux itself stores a name holding "\" or a tab otherwise; those go only where it keeps them.
    named = not re.search(r"[\\\t]", text)
    session = remote_server.new_session("s" + text if named else "plain", width=400)
    assert remote_server.has_session(session.name)
    (window,) = session.windows
    pane = window.panes[0]
    if named:
        assert session.name == "s" + text.replace(":", "_").replace(".", "_")
        window.name = text
        assert [w.name for w in session.windows] == [text]
        pane.title = text
        assert pane.display("#{pane_title}") == text
    pane.send_keys("cat", enter=True)
    pane.send_keys(text, literal=True)
    pane.wait_for(text.rstrip().split("\t")[-1], timeout=20)  # a terminal shows a tab as blanks
    session.environment["HOSTILE"] = text
    assert session.environment["HOSTILE"] == text
    assert not marker.exists()


def test_records_carry_the_host(sshd_server, remote_server):
    session = remote_server.new_session("work")
    (window,) = session.windows
    text = repr(session)
    assert text == f'Session(name="work", socket=Some("{remote_server.current_socket}"), host="{sshd.HOST}")'
    assert str(window).endswith(f', host="{sshd.HOST}")')
    local = type(session)("work", remote_server.current_socket)
    assert repr(local) == f'Session(name="work", socket=Some("{remote_server.current_socket}"))' and local.host is None
    assert local != session and window != type(window)("work", 0, remote_server.current_socket, window.name)
    for record in (session, window, window.panes[0], remote_server.snapshot()):
        assert copy.copy(record) == record == pickle.loads(pickle.dumps(record))
    again = pickle.loads(pickle.dumps(remote_server))
    assert (again.host, again.ssh_options, again.sessions) == (sshd.HOST, list(sshd_server.options), [session])
    with pytest.raises(ValueError, match="another server"):
        window.swap(type(window)("work", 0, remote_server.current_socket, window.name))


@pytest.mark.parametrize("host", ["", "-oProxyCommand=touch x", "two words", "line\nend"])
def test_hosts_ssh_would_misread_are_refused(host):
    with pytest.raises(ValueError, match="^not a host ssh can reach: "):
        vordalin.Server(host=host)


@pytest.mark.parametrize("options, error", [("-p 22", TypeError), ([1], TypeError), (b"-p", TypeError)])
def test_ssh_options_are_a_sequence_of_str(options, error):
    with pytest.raises(error, match="ssh_options"):
        vordalin.Server(host="box", ssh_options=options)


def test_ssh_options_need_a_host():
    with pytest.raises(ValueError, match="^ssh_options need a host$"):
        vordalin.Server(ssh_options=["-p", "2222"])


def test_the_default_server_and_its_socket_are_the_hosts(sshd_server):
    server = remote(sshd_server)
    expected = os.path.join(os.path.realpath(sshd_server.tmux_tmpdir), f"tmux-{os.getuid()}", "default")
    assert server.current_socket == expected
    try:
        server.new_session("x")
        assert server.current_socket == expected and os.path.exists(expected)
    finally:
        server.kill()


def test_ssh_command_lines(fake_tmux):
    server = vordalin.Server("/s o'ck", host="user@box", ssh_options=["-o", "ConnectTimeout=3", "-p", "2222"])
    assert server.has_session("a b;$(x)") is True
    (argv,) = fake_tmux.calls_of("ssh")
    control = next(a for a in argv if a.startswith("ControlPath="))
    assert re.fullmatch(r"ControlPath=/\S+/vordalin-ssh-\d+/[0-9a-f]{16}", control)
    assert argv == ["-T", "-n", "-o", "BatchMode=yes", "-o", "ControlMaster=auto", "-o", control, "-o",
                    "ControlPersist=30", "-o", "ConnectTimeout=3", "-p", "2222", "-o", "ConnectTimeout=10", "-o",
                    "ServerAliveInterval=10", "-o", "LogLevel=ERROR", "--", "user@box",
                    "exec tmux -u -S '/s o'\\''ck' has-session -t '=a b;$(x)'"]
    assert not fake_tmux.calls
    vordalin.Server(host="user@box", ssh_options=["-p", "2222"]).is_running  # noqa: B018
    vordalin.Server(host="user@box").is_running  # noqa: B018
    paths = [next(a for a in argv if a.startswith("ControlPath=")) for argv in fake_tmux.calls_of("ssh")[1:]]
    assert paths[0] != paths[1] != control  # other options, another connection


@pytest.mark.parametrize("status, stderr, raised, message", [
    (255, "ssh: connect to host box port 22: Connection refused\r\n", RuntimeError,
     "ssh to box failed: ssh: connect to host box port 22: Connection refused"),
    (255, "", RuntimeError, "ssh to box failed: ssh exited with status 255"),
    (127, "bash: line 1: exec: tmux: not found\n", vordalin.TmuxError,
     "Failed to run tmux on box: bash: line 1: exec: tmux: not found"),
    (1, "no server running on /x\n", vordalin.NotFoundError, "new session failed: no server running on /x\n"),
])
def test_what_fails_where(fake_tmux, status, stderr, raised, message):
    fake_tmux.respond(code=status, stderr=stderr, program="ssh")
    with pytest.raises(raised) as info:
        vordalin.Server(host="box").new_session("x")
    assert str(info.value) == message and type(info.value) is raised


def test_quiet_members_raise_for_ssh_but_answer_for_tmux(fake_tmux):
    fake_tmux.respond(code=255, stderr="Permission denied (publickey).\n", program="ssh")
    with pytest.raises(RuntimeError, match="^ssh to box failed: Permission denied"):
        vordalin.Server(host="box").is_running  # noqa: B018
    fake_tmux.respond(code=1, stderr="no server running on /x\n", program="ssh")
    fake_tmux.respond(code=127, stderr="sh: 1: exec: tmux: not found\n", program="ssh")
    assert vordalin.Server(host="box").is_running is False
    assert vordalin.Server(host="box").sessions == []


@pytest.mark.parametrize("host, message", [
    (sshd.CLOSED_HOST, r"^ssh to vordalin-closed failed: ssh: connect to host 127\.0\.0\.1 port \d+: "
                       r"Connection refused$"),
    (sshd.WRONG_KEY_HOST, r"^ssh to vordalin-wrong-key failed: \S+@127\.0\.0\.1: Permission denied "
                          r"\(publickey\)\.$"),
])
def test_unreachable_hosts_raise_with_sshs_message(sshd_server, host, message):
    started = time.monotonic()
    for member in (lambda s: s.is_running, lambda s: s.new_session("x"), lambda s: s.snapshot()):
        with pytest.raises(RuntimeError, match=message) as info:
            member(remote(sshd_server, host=host))
        assert type(info.value) is RuntimeError
    assert time.monotonic() - started < HANG


def test_a_host_without_tmux(sshd_server):
    server = remote(sshd_server, host=sshd.NO_TMUX_HOST)
    assert (server.is_running, server.sessions) == (False, [])
    with pytest.raises(vordalin.TmuxError, match=r"^Failed to run tmux on vordalin-no-tmux: .*tmux.*not found"):
        server.new_session("x")


def test_a_connection_killed_mid_call(sshd_server, remote_server):
    remote_server.new_session("work")
    started = time.monotonic()
    # The call holds the interpreter lock while ssh runs: another process drops the connection.
    drop = f"import os, time; time.sleep(1); [os.kill(p, 9) for p in {sshd_server.connections()!r}]"
    dropper = subprocess.Popen([sys.executable, "-c", drop])
    try:
        with pytest.raises(RuntimeError, match="^ssh to vordalin-test failed: ") as info:
            remote_server.cmd("run-shell", "sleep 20")
        assert type(info.value) is RuntimeError
    finally:
        dropper.wait(timeout=HANG)
    assert time.monotonic() - started < 15
    # The next call makes a new connection.
    assert remote_server.has_session("work")


def test_snapshot_all_reports_each_server_in_its_slot(sshd_server, remote_server, tmux_server):
    tmux_server.new_session("here")
    remote_server.new_session("there")
    unreachable = remote(sshd_server, host=sshd.CLOSED_HOST)
    answers = vordalin.snapshot_all([tmux_server, remote_server, unreachable, tmux_server], commandlines=True)
    assert list(answers) == [tmux_server, remote_server, unreachable]
    assert [s.name for s in answers[tmux_server].sessions] == ["here"]
    assert [s.name for s in answers[remote_server].sessions] == ["there"]
    assert answers[remote_server].panes[0].host == sshd.HOST and answers[remote_server].panes[0].commandline
    assert type(answers[unreachable]) is RuntimeError and str(answers[unreachable]).startswith("ssh to vordalin-closed")
    # Window flags are left out: an alert (monitor-activity) may clear between the two.
    again = tmux_server.snapshot(commandlines=True)
    assert (answers[tmux_server].sessions, answers[tmux_server].panes) == (again.sessions, again.panes)


def test_snapshot_all_gives_up_on_a_server_at_the_timeout(fake_tmux):
    fake_tmux.respond(hang=True)
    server = vordalin.Server("/nowhere")
    started = time.monotonic()
    (answer,) = vordalin.snapshot_all([server], timeout=0.5).values()
    assert time.monotonic() - started < HANG
    assert type(answer) is TimeoutError and str(answer) == "the snapshot of /nowhere did not finish within 0.5 seconds"


@pytest.mark.parametrize("servers, error", [([1], "'int' object cannot be cast as 'Server'"), (3, "Iterable")])
def test_snapshot_all_takes_servers(servers, error):
    with pytest.raises(TypeError, match=error):
        vordalin.snapshot_all(servers)
    assert vordalin.snapshot_all([]) == {}
