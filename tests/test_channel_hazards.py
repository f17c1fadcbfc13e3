"""The channel against what a tmux configuration, a fork, a signal, a stopped or dying server and busy
panes can do to it: no call hangs, nothing is written where it should not be, and everything a
channel held is let go."""

import os
import re
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tempfile

import pytest

import vordalin
from helpers import REAL_TMUX, UNDER_ASAN, child_pids, clients, in_child, kept, needs_tmux, open_fds, wait_for

pytestmark = needs_tmux


@pytest.fixture
def channel(tmux_session, monkeypatch, tmp_path):
    """The plugin's server with its channel open; its capture directory is made under tmp_path."""
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    server = vordalin.Server(tmux_session.socket)
    assert server.connect()
    yield server
    server.disconnect()


def within(seconds, act):
    """What `act` returns, run on a thread; a failure when it has not returned in time. A call waiting on
    the channel lets the interpreter's other threads run, so this one can tell."""
    outcome = []

    def run():
        try:
            outcome.append(("value", act()))
        except Exception as error:  # handed to the test's thread
            outcome.append(("error", error))

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds)
    if worker.is_alive():
        pytest.fail(f"no answer within {seconds} s")
    kind, value = outcome[0]
    if kind == "error":
        raise value
    return value


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"^VmRSS:\s+(\d+)", status.read(), re.M).group(1))


def tmux_pid(server):
    return int(server.cmd("display-message", "-p", "#{pid}", check=True).stdout)


def reconnect(server):
    server.disconnect()
    return server.connect()


# A hook's block arrives right after its command's, before the block that proves where the
# command's ends; one that prints leaves a block behind for the next call to find.
HOOKED = {
    "split": ("after-split-window", "select-layout tiled", lambda server, session, pane: pane.split().pane_id),
    "new window": ("after-new-window", "set -g @seen 1", lambda server, session, pane: session.new_window("n").name),
    "display": ("after-display-message", "set -g @seen 1", lambda server, session, pane: pane.is_alive),
    "listing": ("after-list-panes", "set -g @seen 1", lambda server, session, pane: len(session.windows[0].panes)),
    "capture": ("after-capture-pane", "set -g @seen 1", lambda server, session, pane: pane.capture() is not None),
    "printing": ("after-send-keys", "display-message -p printed-by-a-hook",
                 lambda server, session, pane: pane.send_keys("")),
    "connect": ("after-show-options", "set -g @seen 1", lambda server, session, pane: reconnect(server)),
}


@pytest.mark.parametrize("hook, command, act", HOOKED.values(), ids=HOOKED.keys())
def test_hooks_neither_hang_a_call_nor_drop_the_channel(channel, tmux_session, hook, command, act):
    channel.cmd("set-hook", "-g", hook, command, check=True)
    pane = tmux_session.windows[0].panes[0]
    client = clients(channel)
    answers = [within(10, lambda: act(channel, tmux_session, pane)) for _ in range(3)]
    assert all(answer not in (None, False) for answer in answers), answers
    assert channel.connected
    if act is not HOOKED["connect"][2]:
        assert kept(channel, client)  # never dropped and opened again


def test_disconnect_from_a_signal_handler_ends_the_call_it_interrupted(tmux_session):
    # The server is stopped, so the call waits; the handler disconnects, then lets the server go
    # on. The waiting call must end, with the answer a process gives.
    out = in_child("""
        import os, signal, vordalin
        server = vordalin.Server(os.environ["SOCKET"])
        tmux = int(server.cmd("display-message", "-p", "#{pid}", check=True).stdout)
        assert server.connect()

        def disconnect(*_):
            server.disconnect()
            os.kill(tmux, signal.SIGCONT)

        signal.signal(signal.SIGALRM, disconnect)
        os.kill(tmux, signal.SIGSTOP)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        print(server.has_session("test"), server.connected, server.has_session("test"))
    """, tmux_session.socket, timeout=30)
    assert out == "True False True\n"


def test_a_fork_keeps_the_parents_channel_and_nothing_is_written_through_a_planted_link(channel, tmux_session,
                                                                                         tmp_path):
    pane = tmux_session.new_window("still", "printf 'ready\\n'; exec cat").panes[0]
    expected = pane.wait_for("ready\n")
    (directory,) = tmp_path.glob("vordalin-channel-*")
    client = clients(channel)
    pid = os.fork()
    if pid == 0:  # the child's calls run as processes; its parent's channel and files are not its own
        os._exit(0 if vordalin.Server(tmux_session.socket).has_session("test") and not channel.connected else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    subprocess.run(["true"], preexec_fn=lambda: None, check=True)  # a fork that execs
    assert directory.is_dir() and channel.connected and kept(channel, client)
    # Another hand plants a link at every name the next captures could take.
    victim = tmp_path / "victim"
    victim.write_text("untouched")
    victim.chmod(0o600)
    for name in map(str, range(1, 200)):
        if not (directory / name).exists():
            (directory / name).symlink_to(victim)
    assert {pane.capture() for _ in range(20)} == {expected}
    assert victim.read_text() == "untouched" and channel.connected and kept(channel, client)


def test_servers_killed_from_outside_let_go_of_everything(monkeypatch, tmp_path):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    fds, children = open_fds(), child_pids()
    servers = []
    for _ in range(5):
        server = vordalin.Server(os.path.join(tempfile.mkdtemp(dir="/tmp"), "s"), config=os.devnull)
        server.new_session("x")
        assert server.connect()
        servers.append(server)
    assert len(list(tmp_path.glob("vordalin-channel-*"))) == 5
    for server in servers:
        subprocess.run([REAL_TMUX, "-S", server.current_socket, "kill-server"], check=True)
    wait_for(lambda: not any(server.connected for server in servers), message="the channels to end")
    wait_for(lambda: (open_fds(), child_pids(), list(tmp_path.glob("vordalin-channel-*"))) == (fds, children, []),
             message="descriptors, clients and directories let go")


def test_idle_noise_neither_stalls_the_next_call_nor_grows_the_server(channel, tmux_session):
    channel.cmd("set-option", "-g", "allow-rename", "on", check=True)
    tmux_session.new_window("noise", "i=0; while :; do printf '\\033k%d\\033\\\\' $i; i=$((i+1)); done")
    server = tmux_pid(channel)
    before = resident_kib(server)
    time.sleep(6)  # the channel sits idle while the pane renames its window without pause
    started = time.monotonic()
    assert channel.has_session("test")
    # Wide bounds, crossed only by a stall or a pile-up: 6 s unread grew the server by tens of
    # MiB and the next call took seconds.
    assert time.monotonic() - started < 1.0
    assert resident_kib(server) - before < 16 * 1024


def read_line(stream, seconds):
    ready, _, _ = select.select([stream], [], [], seconds)
    assert ready, f"nothing within {seconds} s"
    return stream.readline()


def test_a_call_waiting_on_a_stopped_server_lets_other_threads_run(tmux_session):
    server = vordalin.Server(tmux_session.socket)
    tmux = tmux_pid(server)
    code = textwrap.dedent("""
        import os, sys, threading, time, vordalin
        server = vordalin.Server(os.environ["SOCKET"])
        assert server.connect()
        print("ready", flush=True)
        sys.stdin.readline()  # until the server is stopped
        answers = []
        worker = threading.Thread(target=lambda: answers.append(server.has_session("test")))
        worker.start()
        counted, deadline = 0, time.monotonic() + 0.5
        while time.monotonic() < deadline:
            counted += 1
        print("counted", counted > 1000, worker.is_alive(), flush=True)
        sys.stdin.readline()  # until the server runs again
        worker.join(30)
        print(answers, flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, SOCKET=tmux_session.socket))
    try:
        assert read_line(child.stdout, 30) == "ready\n"
        os.kill(tmux, signal.SIGSTOP)
        try:
            child.stdin.write("\n")
            child.stdin.flush()
            assert read_line(child.stdout, 30) == "counted True True\n"
        finally:
            os.kill(tmux, signal.SIGCONT)
        child.stdin.write("\n")
        child.stdin.flush()
        assert read_line(child.stdout, 30) == "[True]\n"
    finally:
        child.kill()
        child.wait()


POOL = """
    import gc, os, re, threading, vordalin
    from concurrent.futures import ThreadPoolExecutor

    def resident():
        with open("/proc/self/status") as status:
            return int(re.search(r"^VmRSS:\\s+(\\d+)", status.read(), re.M).group(1))

    server = vordalin.Server(os.environ["SOCKET"])
    assert os.environ["ROUTE"] == "process" or server.connect()
    pane = server.target_pane(os.environ["PANE"])
    pane.capture(full=True)
    gc.collect()
    before = resident()
    started = threading.Barrier(16)

    def share(_):
        started.wait()
        return {len(pane.capture(full=True)) for _ in range(4)}

    with ThreadPoolExecutor(16) as pool:
        sizes = set().union(*pool.map(share, range(16)))
        gc.collect()
        print(len(sizes), resident() - before)
"""


@pytest.mark.skipif(UNDER_ASAN, reason="resident sizes mean nothing under AddressSanitizer")
def test_idle_threads_hold_no_more_after_captures_over_the_channel(tmux_session):
    # The pool's memory once its threads sit idle: over the channel, threads wait at once, and
    # whatever each kept of its captures would show once per thread.
    server = vordalin.Server(tmux_session.socket)
    server.cmd("set-option", "-g", "history-limit", "50000", check=True)
    window = tmux_session.new_window("big", "seq -f 'line %06g: the quick brown fox jumps over the lazy dog' "
                                            "1 30000; exec cat")
    pane = window.panes[0]
    wait_for(lambda: "line 030000" in pane.capture(), timeout=30, message="the history")
    growth = {}
    for route in ("process", "channel"):
        held = [in_child(POOL, tmux_session.socket, ROUTE=route, PANE=pane.pane_id).split() for _ in range(3)]
        assert {sizes for sizes, _ in held} == {"1"}
        growth[route] = sorted(int(kib) for _, kib in held)[1]
    # Sixteen captures of 1.7 MB each kept by their threads would add 27 MiB.
    assert growth["channel"] < growth["process"] + 8 * 1024, growth


def test_connect_gives_up_on_a_client_that_never_attaches(fake_tmux):
    fake_tmux.respond(stdout="$0\n")  # the current session, as a process finds it
    fake_tmux.respond(hang=True, timeout=60)  # the control client, which never says a word
    server = vordalin.Server("/s")
    started = time.monotonic()
    try:
        assert within(30, server.connect) is False
        assert time.monotonic() - started < 20 and not server.connected
    finally:
        server.disconnect()  # no longer wanted: later calls on "/s" try no channel


def test_a_positive_count_asks_for_its_index_once(fake_tmux):
    class Width:
        calls = 0

        def __index__(self):
            Width.calls += 1
            return 80

    fake_tmux.respond(stdout="s\n")
    vordalin.Server("/s").new_session("s", width=Width())
    assert Width.calls == 1 and fake_tmux.calls[0][-2:] == ["-x", "80"]


def test_running_out_of_memory_is_a_memory_error(fake_tmux):
    fake_tmux.respond(stdout=b"x" * (64 << 20))
    out = in_child("""
        import re, resource, vordalin
        with open("/proc/self/status") as status:
            size = int(re.search(r"^VmSize:\\s+(\\d+)", status.read(), re.M).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), resource.RLIM_INFINITY))
        try:
            vordalin.Server("/s").cmd("show-buffer")
        except BaseException as error:
            print(type(error).__name__)
    """, "/s")
    assert out == "MemoryError\n"


def test_keys_sent_to_a_pane_in_a_mode_go_as_a_process_would_send_them(channel, tmux_session):
    # A mode's key bindings run with the sending client as their client: a prompt opened so
    # would hold the channel's own queue until answered, which nobody can do. Such keys go as a
    # process sends them, and the channel stays as it was.
    pane = tmux_session.windows[0].panes[0]
    in_mode = ["display-message", "-p", "-t", pane.pane_id, "#{pane_in_mode}"]
    channel.cmd("copy-mode", "-t", pane.pane_id, check=True)
    client = clients(channel)
    assert within(10, lambda: pane.send_keys("q")) is True
    assert channel.cmd(*in_mode).stdout == "0\n"
    assert within(10, lambda: channel.has_session("test")) is True
    assert channel.connected and kept(channel, client)
    assert within(10, lambda: pane.send_keys("echo typed", enter=True)) is True
    assert within(10, lambda: pane.wait_for("typed\n", timeout=5)).count("typed") >= 1
