"""The persistent channel: the same answers as a process per call, safely framed, and a clean lifecycle."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vordalin
from helpers import both_ways, clients, in_child, needs_tmux, ticking, uses_bash, wait_for

pytestmark = needs_tmux


@pytest.fixture
def channel(tmux_session, monkeypatch):
    """The plugin's server with its channel open (the switch off: connect() alone opens it)."""
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    server = vordalin.Server(tmux_session.socket)
    assert server.connect() is True and server.connected is True
    yield server
    server.disconnect()


def test_connect_and_disconnect(tmux_server, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    assert (tmux_server.connect(), tmux_server.connected) == (False, False)  # no server, no session
    assert not tmux_server.is_running  # and trying started none
    tmux_server.new_session("one")
    assert tmux_server.connect() is True and tmux_server.connect() is True
    (pid,) = clients(tmux_server)
    assert vordalin.Server(tmux_server.current_socket).connected  # another record, the same socket
    tmux_server.disconnect()
    assert tmux_server.connected is False and clients(tmux_server) == []
    assert not os.path.exists(f"/proc/{pid}") or open(f"/proc/{pid}/stat").read().split()[2] == "Z"
    tmux_server.disconnect()  # nothing open: nothing happens


def test_the_same_answers_as_processes(channel, tmux_session):
    server = channel
    window = tmux_session.new_window("w|1")
    pane = window.panes[0]
    pane.title = "t é"
    pane.send_keys("printf 'a\\tb  \\n%%end 1 2 1\\n'", enter=True)
    pane.wait_for("%end 1 2 1\n")
    reads = {
        "sessions": lambda: [repr(s) for s in server.sessions],
        "metadata": lambda: repr(tmux_session.metadata()),
        "windows": lambda: [repr(w) for w in tmux_session.windows],
        "window metadata": lambda: repr(window.metadata),
        "panes": lambda: [repr(p) for p in window.panes],
        "targets": lambda: (repr(server.target_pane(pane.pane_id)), repr(server.target_window("test:1"))),
        "capture": lambda: (pane.capture(), pane.capture(trim=True), pane.capture(full=True)),
        "process": lambda: (pane.pid, pane.current_command, pane.is_alive),
        "snapshot": lambda: repr(server.snapshot()),
        "missing": lambda: (server.has_session("nope"), type(tmux_session)("nope", server.current_socket).windows),
    }
    for name, read in reads.items():
        over, per_process = both_ways(server, read)
        assert over == per_process, name
    assert server.connected


@pytest.mark.parametrize("act", [
    lambda s, p: type(s)("nope", s.socket).metadata(),
    lambda s, p: setattr(type(s)("nope", s.socket), "name", "x"),
    lambda s, p: type(p)("x", 0, 0, "%99", "", p.socket).kill(),
    lambda s, p: type(p)("x", 0, 0, "%99", "", p.socket).is_alive,
    lambda s, p: p.resize("up", 4294967295),
    lambda s, p: vordalin.Server(s.socket).target_window("nope:7"),
    lambda s, p: vordalin.Server(s.socket).new_session("test"),
], ids=["metadata", "rename", "kill", "is_alive", "resize", "target", "duplicate"])
def test_the_same_errors_as_processes(channel, tmux_session, act):
    pane = tmux_session.windows[0].panes[0]

    def error():
        with pytest.raises((RuntimeError, ValueError)) as info:
            act(tmux_session, pane)
        carried = [getattr(info.value, name, None) for name in ("command", "stderr", "returncode")]
        return type(info.value), str(info.value), carried

    over, per_process = both_ways(channel, error)
    assert over == per_process


def test_text_reaches_tmux_exactly_over_the_channel(channel, tmux_session, tmp_path):
    # Every character a str can hold, line ends and the command language's own syntax included,
    # in a command as long as a process of ours may send.
    value = "".join(map(chr, range(1, 0x80))) + " ;{}#%if $HOME ~ \\ \" ' é日本\U0001f600\n" + "x" * 15_000
    out = tmp_path / "value"
    made = tmux_session.new_window("env", f"printf %s \"$V\" > {out}; exec sleep 100", environment={"V": value})
    wait_for(lambda: out.exists() and out.stat().st_size >= len(value.encode()), message="the value written")
    assert out.read_bytes() == value.encode() and made.name == "env" and channel.connected


@uses_bash  # the typed line is longer than a terminal's line discipline takes; readline takes it
def test_forged_guards_change_no_result(channel, tmux_session, tmp_path):
    server = channel
    pane = tmux_session.windows[0].panes[0]
    # Lines that look like the end (or start, or failure) of the current and the next blocks.
    now = int(time.time())
    forged = "".join(f"%{word} {t} {n} 1\\n" for word in ("end", "error", "begin") for t in (now, now + 1)
                     for n in range(200, 400, 7))
    pane.send_keys(f"printf '{forged}'; printf 'done\\n'", enter=True)
    pane.wait_for("done\n", full=True)
    # tmux names the window after the shell only a while after it starts: compared only then.
    wait_for(lambda: tmux_session.windows[0].name == "bash", timeout=30, message="the window named after the shell")
    directory = tmp_path / f"d\n%end {now} 300 1\n%begin {now} 301 1"
    directory.mkdir()
    tmux_session.new_window(f"w\n%end {now} 302 1", f"exec -a 'c\n%error {now} 303 1' sleep 100",
                            start_directory=str(directory))
    reads = [lambda: pane.capture(full=True), lambda: pane.capture(), lambda: repr(server.snapshot()),
             lambda: [repr(w) for w in tmux_session.windows], lambda: [repr(p.metadata) for p in tmux_session.windows]]
    for read in reads * 3:
        over, per_process = both_ways(server, read)
        assert over == per_process
    assert server.connected  # nothing was taken for the channel's end


def test_attachment_is_ours_and_not_counted(channel, tmux_session):
    assert tmux_session.metadata().attached is False
    assert [s.attached for s in channel.snapshot().sessions] == [False]
    assert len(clients(channel)) == 1  # what other tools can see


def test_the_channel_ends_with_its_session_and_the_next_call_reconnects(channel, tmux_session):
    other = channel.new_session("other")
    tmux_session.kill()  # the channel's own session: its client leaves
    assert channel.has_session("other") is True  # the call finds the channel gone and runs as a process
    wait_for(lambda: channel.has_session("other") and channel.connected, message="the channel opened again")
    assert other.kill() is True
    wait_for(lambda: not channel.is_running, message="the server to end")
    assert channel.connected is False


def test_kill_server_reads_to_the_end(channel):
    (pid,) = clients(channel)
    assert channel.kill() is True and channel.connected is False
    wait_for(lambda: not channel.is_running, message="the server to end")
    assert channel.sessions == []
    wait_for(lambda: not os.path.exists(f"/proc/{pid}"), message="the control client to end")


def test_a_client_that_dies_between_calls(channel, tmux_session):
    (pid,) = clients(channel)
    os.kill(pid, signal.SIGKILL)
    # The server itself reads and writes a control client's standard streams, so the channel
    # answers until the server has noticed the client's end; a change sent before then may
    # meet that end in flight (the next test). Once the server has let the client go:
    wait_for(lambda: not clients(channel), message="the server to let the killed client go")
    # A query finds it gone and runs as a process; so does a change, which was never sent.
    assert channel.has_session("test") is True
    assert tmux_session.windows[0].panes[0].send_keys("x") is True


def test_a_change_in_flight_when_the_client_dies_is_not_retried(channel, tmux_session):
    pane = tmux_session.windows[0].panes[0]
    target = clients(channel)

    def kill_the_client(*_):
        if target:
            os.kill(target.pop(), signal.SIGKILL)

    # The handler runs while a call waits for tmux's answer, or between calls; only the first
    # kind of kill is wanted, so a kill between calls is followed by a new channel and a retry.
    with ticking(kill_the_client, 0.0003):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if not channel.connected:
                assert channel.connect()
                target[:] = clients(channel)
            try:
                pane.send_keys("")
            except RuntimeError as error:  # not a TmuxError: tmux may well have done it
                assert (type(error), str(error)) == (RuntimeError, "tmux send-keys failed: the channel to the server "
                                                     "ended before tmux answered, so whether it took effect is unknown")
                break
        else:
            pytest.skip("the timer never landed inside a call")
    assert channel.connected is False and pane.send_keys("") is True


def test_a_call_from_a_signal_handler_runs_as_a_process(channel, tmux_session):
    answers = []

    def ask(*_):
        signal.setitimer(signal.ITIMER_REAL, 0)  # no handler inside the handler's own call
        answers.append(channel.has_session("test"))
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)

    with ticking(ask, 0.0005):
        results = [channel.has_session("test") for _ in range(300)]
    assert set(results) == {True} and set(answers) <= {True} and answers and channel.connected


def test_threads_get_their_own_answers(channel, tmux_session):
    names = [f"s{i}" for i in range(6)]
    for name in names:
        channel.new_session(name)
    wrong = []

    def ask(name):
        for _ in range(100):
            if channel.has_session(name) is not True or type(tmux_session)(name, channel.current_socket).metadata().name != name:
                wrong.append(name)

    threads = [threading.Thread(target=ask, args=(name,)) for name in names]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert wrong == [] and channel.connected


def test_no_client_outlives_the_interpreter(tmux_session):
    server = vordalin.Server(tmux_session.socket)
    out = in_child("""
        import os, vordalin
        server = vordalin.Server(os.environ["SOCKET"])
        print(server.connect(), server.has_session("test"))
    """, tmux_session.socket)
    assert out == "True True\n" and clients(server) == []


def test_a_forked_child_never_uses_its_parents_channel(tmux_session):
    out = in_child("""
        import os, vordalin
        server = vordalin.Server(os.environ["SOCKET"])
        assert server.connect()
        pid = os.fork()
        if pid == 0:
            os._exit(0 if (not server.connected and server.has_session("test")) else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), server.connected, server.has_session("test"))
    """, tmux_session.socket)
    assert out == "0 True True\n"


def test_ctrl_c_while_waiting_drops_the_channel(tmux_session):
    # A stopped server never answers, so the child's call waits until Ctrl-C ends it. The
    # signal comes from this process: the waiting child holds its interpreter lock.
    server = vordalin.Server(tmux_session.socket)
    tmux = int(server.cmd("display-message", "-p", "#{pid}", check=True).stdout)
    code = textwrap.dedent("""
        import os, vordalin
        server = vordalin.Server(os.environ["SOCKET"])
        assert server.connect()
        print("ready", flush=True)
        input()  # until the server is stopped
        try:
            server.has_session("test")
            print("answered")
        except KeyboardInterrupt:
            print("interrupted", server.connected)
        input()  # until the server runs again
        print(server.has_session("test"), server.connect())
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, SOCKET=tmux_session.socket))
    try:
        assert child.stdout.readline() == "ready\n"
        os.kill(tmux, signal.SIGSTOP)
        child.stdin.write("\n")
        child.stdin.flush()
        try:
            wait_for(lambda: "poll" in open(f"/proc/{child.pid}/wchan").read(), message="the call's wait")
            child.send_signal(signal.SIGINT)
            assert child.stdout.readline() == "interrupted False\n"
        finally:
            os.kill(tmux, signal.SIGCONT)
        assert child.communicate("\n", timeout=30)[0] == "True True\n"
    finally:
        child.kill()


def test_the_switch_connects_and_reconnects(tmux_server, monkeypatch):
    monkeypatch.setenv("VORDALIN_CHANNEL", "1")
    assert tmux_server.has_session("x") is False and not tmux_server.is_running  # no server was started
    session = tmux_server.new_session("x")
    wait_for(lambda: tmux_server.has_session("x") and tmux_server.connected, message="the channel")
    session.kill()  # the last session: the server and the channel end
    wait_for(lambda: not tmux_server.is_running, message="the server to end")  # a new one races a dying one
    other = tmux_server.new_session("y")
    wait_for(lambda: tmux_server.has_session("y") and tmux_server.connected, message="the channel again")
    assert other.kill() is True


def test_a_nul_is_refused_as_without_the_channel(channel, tmux_session):
    with pytest.raises(RuntimeError, match="^failed to run tmux: nul byte found in provided data$"):
        tmux_session.windows[0].panes[0].send_keys("a\0b")
    assert channel.connected


@pytest.mark.parametrize("text", ["", "   ", "# comment"])
def test_lines_that_would_detach_are_never_sent(channel, tmux_session, text):
    pane = tmux_session.windows[0].panes[0]
    assert pane.send_keys(text) is True and channel.connected and re.match(r"%\d+", pane.pane_id)
