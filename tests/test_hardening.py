"""Hardening: a short soak, threads on shared objects, faults, and an untouched environment."""

import ctypes
import inspect
import itertools
import os
import resource
import signal
import sys
import threading
import time
from pathlib import Path

import pytest

import vordalin
from helpers import UNDER_ASAN, child_pids, needs_tmux, open_fds

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import soak  # noqa: E402


def test_short_soak(tmux_cli, fake_tmux, tmp_path):
    bench = soak.Bench.beside(tmux_cli.socket, fake_tmux, str(tmp_path))
    figures = soak.soak(bench, int(os.environ.get("VORDALIN_SOAK_CALLS", "2000")))
    assert figures["fds_unchanged"] and figures["children_unchanged"], figures
    assert figures["rss_growth_kib"] < 1024 or UNDER_ASAN, figures


def environment():  # os.environ, and the real environment that C code sees
    environ = ctypes.POINTER(ctypes.c_char_p).in_dll(ctypes.CDLL(None), "environ")
    return dict(os.environ), sorted(itertools.takewhile(bool, map(environ.__getitem__, itertools.count())))


def test_threads_share_objects_and_no_call_changes_the_environment(classes, fake_tmux, monkeypatch):
    monkeypatch.setenv("TMUX", "/tmp/elsewhere,1,0")
    pane = classes.Pane("s", 0, 0, "%1", "t", None)
    records = [vordalin.Server(), classes.Session("s"), classes.Window("s", 0, None, "n"), pane, pane.last_command]
    members = [(record, name) for record in records for name in dir(record) + ["=name", "=title"] if name[0] != "_"]
    arguments = {"has_session": ["s"], "new_session": ["s"], "target_pane": ["t"], "target_window": ["t"],
                 "send_keys": ["k"], "resize": ["up", 1], "cmd": ["list-sessions"], "wait_for": ["", 0],
                 "session": ["s"], "display": ["#{pid}"], "select_layout": ["tiled"], "join": [records[2]],
                 "await_for": ["", 0], "wait_quiet": [0.1, 0], "await_quiet": [0.1, 0], "wait_exit": [0],
                 "await_exit": [0], "run": ["true", 0], "arun": ["true", 0]}
    # Members whose name another class uses with other parameters.
    own_arguments = {("Window", "resize"): [80, 24], ("Window", "swap"): [records[2]], ("Pane", "swap"): [pane],
                     ("LastCommand", "run"): []}
    calls, unexpected, deadline = [0] * 8, [], time.monotonic() + 3

    def work(n):
        while time.monotonic() < deadline:
            record, name = members[(n + calls[n]) % len(members)]
            before = environment()
            try:
                if name[0] == "=":
                    setattr(record, name[1:], "x")
                elif callable(member := getattr(record, name)):
                    result = member(*own_arguments.get((type(record).__name__, name), arguments.get(name, [])))
                    if inspect.iscoroutine(result):  # an awaitable wait: made, never run
                        result.close()
            # Documented: failures, an attribute a record lacks, a wait's timeout.
            except (RuntimeError, ValueError, AttributeError, TimeoutError):
                pass
            except BaseException as error:
                unexpected.append(error)
            if environment() != before:
                unexpected.append(f"{name} changed the environment")
            calls[n] += 1

    threads = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(8)]
    for thread in threads:
        thread.start()
    assert [t for t in threads if t.join(timeout=60) or t.is_alive()] == []  # none deadlocked
    assert (unexpected, min(calls) > 0) == ([], True)


@needs_tmux
@pytest.mark.parametrize("fault", ["tmux killed mid-output", "server killed between calls", "socket is a file",
                                   "socket is a directory", "socket path too long", "default, non-UTF-8 TMUX_TMPDIR"])
def test_faults_end_in_the_family_result(request, classes, monkeypatch, tmp_path, fault):
    path = tmp_path / ("x" * 110 if "long" in fault else "sock")
    socket = None if "default" in fault else str(path)
    if "mid-output" in fault:
        for fake in [request.getfixturevalue("fake_tmux")] * 12:
            fake.respond(stdout=b"0|%0|t\n" * 20000, stderr=b"dying\n", signal=signal.SIGKILL)
    elif "server killed" in fault:
        (server := request.getfixturevalue("tmux_cli")).run("kill-server")
        socket = server.socket
    path.write_text("keep") if "file" in fault else path.mkdir() if "directory" in fault else None
    # The directory must exist: were it missing, tmux would fall back to /tmp and the user's own server.
    os.mkdir(directory := os.fsencode(tmp_path) + b"/caf\xe9")
    monkeypatch.setitem(os.environb, b"TMUX_TMPDIR", directory)
    server, session = vordalin.Server(socket), classes.Session("main", socket)
    window, pane = classes.Window("main", 0, socket, "w"), classes.Pane("main", 0, 0, "%0", "t", socket)
    fds, children, computed = open_fds(), child_pids(), f"{tmp_path}/caf\ufffd/tmux-{os.getuid()}/default"
    assert (server.is_running, server.has_session("main"), server.sessions, session.windows, window.panes, window.next,
            pane.capture(), pane.current_command, server.current_socket) == (False, False, [], [], [], None, None, None,
                                                                             socket or computed)
    for act, prefix in zip([pane.kill, session.metadata, lambda: window.metadata, lambda: server.target_pane("main")],
                           ["tmux kill-pane failed: ", "tmux failed: ", "tmux failed: ", "pane target not found: "]):
        with pytest.raises(RuntimeError, match="^" + prefix):
            act()
    assert (open_fds(), child_pids()) == (fds, children)
    assert "file" not in fault or path.read_text() == "keep"  # only a starting server would replace it: tmux's doing


@pytest.mark.parametrize("free", [0, 1, 2, 3])
def test_too_few_descriptors_for_the_pipes(classes, fake_tmux, free):
    pane, fds, children = classes.Pane("s", 0, 0, "%1", "t", None), open_fds(), child_pids()
    holes = [os.open(os.devnull, os.O_RDONLY) for _ in range(max(fds) + 2 - len(fds))]  # + the one open_fds read with
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(fds) + 1 + free, hard))  # two pipes need four
    try:
        with pytest.raises(RuntimeError, match=r"^failed to run tmux: Too many open files \(os error 24\)$"):
            pane.is_alive
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        for fd in holes:
            os.close(fd)
    assert (open_fds(), child_pids(), fake_tmux.calls) == (fds, children, [])
    fake_tmux.respond(stdout=b"0\n")
    assert pane.is_alive is True
