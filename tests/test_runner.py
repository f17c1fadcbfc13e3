"""Running tmux: command lines, streams, the success rule, failure texts and robustness."""

import contextlib
import os
import signal
import stat
import time
import types

import pytest

from helpers import child_pids, free, open_fds, wait_for

# What fds 0-2 of tmux must be; stdin of a status run is inherited and not checked.
N, P = "null", "pipe"
STATUS, D_C, C_D, C_C = (None, N, N), (N, N, P), (N, P, N), (N, P, P)
NAME = 'my "work";#{x} é'  # tmux gets every text exactly as it was given
LITERAL = NAME.replace("#", "##")  # where tmux would expand it as a format
SESSION, WINDOW = "=" + NAME, f"={NAME}:=2"
# Every member that runs tmux: how to trigger it, its arguments after the socket prefix, its streams.
MEMBERS = [
    ("Server.start", lambda r: r.server.start(), ["start-server"], STATUS),
    ("Server.kill", lambda r: r.server.kill(), ["kill-server"], STATUS),
    ("Server.is_running", lambda r: r.server.is_running, ["list-sessions"], STATUS),
    ("Server.has_session", lambda r: r.server.has_session(NAME), ["has-session", "-t", SESSION], STATUS),
    ("Server.new_session", lambda r: (r.fake.respond(stdout=NAME + "\n"), r.server.new_session(NAME)),
     ["new-session", "-d", "-P", "-F", "#{session_name}", "-s", LITERAL], C_C),
    ("Server.sessions", lambda r: r.server.sessions, ["list-sessions", "-F", "#{session_name}"], C_D),
    ("Session.kill", lambda r: r.session.kill(), ["kill-session", "-t", SESSION], STATUS),
    ("Session.windows", lambda r: r.session.windows,
     ["list-windows", "-t", SESSION, "-F", "#{window_index}|" + free("window_name")], C_D),
    ("Session.name=", lambda r: setattr(r.session, "name", NAME), ["rename-session", "-t", SESSION, "--", LITERAL],
     D_C),
    ("Window.kill", lambda r: r.window.kill(), ["kill-window", "-t", WINDOW], STATUS),
    ("Window.select", lambda r: r.window.select, ["select-window", "-t", WINDOW], STATUS),
    ("Window.name=", lambda r: setattr(r.window, "name", ""), ["rename-window", "-t", WINDOW, "--", ""], STATUS),
    ("Window.panes", lambda r: r.window.panes,
     ["list-panes", "-t", WINDOW, "-F", "#{pane_index}|#{pane_id}|" + free("pane_title")], C_D),
    ("Pane.select", lambda r: r.pane.select, ["select-pane", "-t", "%7"], D_C),
    ("Pane.clear", lambda r: r.pane.clear, ["clear-history", "-t", "%7"], D_C),
    ("Pane.kill", lambda r: r.pane.kill(), ["kill-pane", "-t", "%7"], D_C),
    ("Pane.is_alive", lambda r: r.pane.is_alive,
     ["list-panes", "-t", "%7", "-f", "0", ";", "display-message", "-p", "-t", "%7", "#{pane_dead}"], C_C),
    ("Pane.title=", lambda r: setattr(r.pane, "title", "-t"), ["select-pane", "-T", "-t", "-t", "%7"], D_C),
]


def make_records(classes, socket=None, fake=None):
    return types.SimpleNamespace(fake=fake, server=classes.Server(socket), session=classes.Session(NAME, socket),
                                 window=classes.Window(NAME, 2, socket, "editor"),
                                 pane=classes.Pane(NAME, 2, 1, "%7", "title", socket))


def pipe_inodes_here():
    stats = []
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            stats.append(os.fstat(int(fd)))
    return {st.st_ino for st in stats if stat.S_ISFIFO(st.st_mode)}


@pytest.mark.parametrize("socket", [None, "/tmp/vd x/sock", ""], ids=["default", "path", "empty"])
@pytest.mark.parametrize("label, act, args, fds", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_command_line_and_streams(classes, fake_tmux, label, act, args, fds, socket):
    records = make_records(classes, socket, fake_tmux)
    act(records)
    act(records)  # acting properties run tmux on every read
    assert fake_tmux.calls == [([] if socket is None else ["-S", socket]) + args] * 2
    run = fake_tmux.last()
    assert [kind if want else None for kind, want in zip(run["fds"], fds)] == list(fds)
    assert run["sigpipe"] == "default"
    assert set(run["pipes"]) <= pipe_inodes_here()  # the module's own pipe ends never reach tmux


GONE = {"code": 1, "stderr": b"  can't find pane: %7\n"}
FAILURES = [  # (call, answer, error, message); new-session and rename-session keep tmux's text untrimmed
    (lambda r: r.server.new_session("w"), {"code": 1, "stderr": b"  dup \xff\n\n"}, RuntimeError,
     "new session failed:   dup \ufffd\n\n"),
    (lambda r: r.server.new_session("w"), {"code": 1}, RuntimeError, "new session failed: "),
    (lambda r: setattr(r.session, "name", "job"), {"signal": 9, "stderr": b" gone \n"}, RuntimeError,
     "rename session failed:  gone \n"),
    (lambda r: setattr(r.window, "name", "it's"), GONE, ValueError, "failed to rename window to 'it's'"),
    (lambda r: r.pane.select, GONE, RuntimeError, "select pane failed: can't find pane: %7"),
    (lambda r: r.pane.clear, GONE, RuntimeError, "tmux clear-history failed: can't find pane: %7"),
    (lambda r: r.pane.kill(), {"code": 1}, RuntimeError, "tmux kill-pane failed: "),
    (lambda r: r.pane.is_alive, {"signal": 9, "stderr": b"died\n"}, RuntimeError, "tmux display-message failed: died"),
    (lambda r: setattr(r.pane, "title", "T"), GONE, RuntimeError, "tmux select-pane -T failed: can't find pane: %7"),
]


@pytest.mark.parametrize("act, answer, error, message", FAILURES)
def test_failure_messages_leave_records_unchanged(classes, fake_tmux, act, answer, error, message):
    records = make_records(classes)
    before = [repr(r) for r in (records.session, records.window, records.pane)]
    fake_tmux.respond(stdout=b"0\n", **answer)
    with pytest.raises(error) as info:
        act(records)
    assert str(info.value) == message
    assert [repr(r) for r in (records.session, records.window, records.pane)] == before


@pytest.mark.parametrize("raw, shown", [
    (b"bad \xff byte, then more than eight bytes \xe2\x82", "bad \ufffd byte, then more than eight bytes \ufffd"),
    (b"\xf0\x80\x80 overlong \xed\xa0\x80 surrogate", "\ufffd" * 3 + " overlong " + "\ufffd" * 3 + " surrogate"),
    (b"\xc3\x28 tail, \xf4\x90\x80\x80 beyond", "\ufffd( tail, " + "\ufffd" * 4 + " beyond"),
    ("caf\u00e9 \u2603 \U0001f600".encode(), "caf\u00e9 \u2603 \U0001f600"),
    ("\t\n\x0b\x0c\r msg \u0085\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000".encode(), "msg"),
    ("\x1c kept \x1f \u200b and \ufeff".encode(), "\x1c kept \x1f \u200b and \ufeff"),
    (b"  inner  blanks\nand lines  \n", "inner  blanks\nand lines"), (b" \n\t ", ""),
])
def test_decoding_and_trimming_of_error_text(classes, fake_tmux, raw, shown):
    fake_tmux.respond(stderr=raw, code=1)
    with pytest.raises(RuntimeError) as info:
        make_records(classes).pane.kill()
    assert str(info.value) == "tmux kill-pane failed: " + shown


@pytest.mark.parametrize("kind, text", [("missing", "No such file or directory (os error 2)"),
                                        ("unexecutable", "Permission denied (os error 13)"),
                                        ("nul", "nul byte found in provided data")])
def test_start_failures(classes, request, monkeypatch, tmp_path, kind, text):
    if kind != "unexecutable":
        fake = request.getfixturevalue("no_tmux" if kind == "missing" else "fake_tmux")
    else:
        (tmp_path / "tmux").write_text("#!/bin/sh\nexit 0\n")
        (tmp_path / "tmux").chmod(0o644)
        monkeypatch.setenv("PATH", str(tmp_path))
    r = make_records(classes, "/s\0" if kind == "nul" else "/s")
    assert [r.server.start(), r.server.kill(), r.server.is_running, r.server.has_session("w"), r.session.kill(),
            r.window.kill(), r.window.select] == [False] * 7
    assert [r.server.sessions, r.session.windows, r.window.panes] == [[]] * 3
    with pytest.raises(RuntimeError) as info:
        r.server.new_session("work")
    assert str(info.value) == "Failed to run tmux: " + text
    for act in (r.pane.kill, lambda: r.pane.select, lambda: r.pane.clear, lambda: r.pane.is_alive,
                lambda: setattr(r.pane, "title", "T"), lambda: setattr(r.session, "name", "job")):
        with pytest.raises(RuntimeError) as info:
            act()
        assert str(info.value) == "failed to run tmux: " + text
    with pytest.raises(ValueError, match="^failed to rename window to 'logs'$"):
        r.window.name = "logs"
    assert (r.session.name, r.window.name, r.pane.title) == (NAME, "editor", "title")
    assert kind != "nul" or fake.calls == []


# ------------------------------------------------------------------------------------------- robustness


@pytest.mark.parametrize("code", [0, 1])
def test_large_interleaved_streams_do_not_deadlock(classes, fake_tmux, code):
    size, started = 4 * 1024 * 1024, time.monotonic()
    fake_tmux.respond(stdout=b" " * (size - 2) + b"0\n", stderr=b"e" * (size - 4) + b"END\n", code=code, timeout=20)
    try:
        assert (make_records(classes).pane.is_alive, code) == (True, 0)
    except RuntimeError as error:
        assert (code, str(error)) == (1, "tmux display-message failed: " + "e" * (size - 4) + "END")
    assert time.monotonic() - started < 10


def test_mixed_calls_get_their_answers_and_leak_no_fds_or_children(classes, fake_tmux, tmp_path):
    r, paths = make_records(classes), {"fake": os.environ["PATH"], "none": str(tmp_path)}
    kinds = [  # (the fake's answer, or "none" for no tmux at all, or None; call; expected result)
        ({}, lambda: r.server.has_session("w"), True), ({"code": 1}, lambda: r.server.has_session("w"), False),
        ({"code": 255}, lambda: r.server.has_session("w"), False),
        ({"signal": signal.SIGKILL}, lambda: r.server.has_session("w"), False),
        ({"signal": signal.SIGPIPE}, lambda: r.server.has_session("w"), False),
        ({"code": 1, "stderr": b"no\n"}, r.pane.kill, RuntimeError),
        ({"stdout": b"0\n", "stderr": b"x" * 1000}, lambda: r.pane.is_alive, True),
        ({"stdout": b"a\nb\n", "stderr": b"chatter\n"}, lambda: len(r.server.sessions), 2),
        ({"signal": signal.SIGTERM, "stderr": b"x"}, lambda: r.pane.select, RuntimeError),
        ({"code": 1, "stdout": b"main\n"}, lambda: r.server.sessions, []),  # a failed listing lists nothing
        ({"signal": signal.SIGKILL, "stdout": b"0|x\n"}, lambda: r.session.windows, []),
        ({"code": 1, "stdout": b"0|%1|t\n"}, lambda: r.window.panes, []),
        (None, lambda: r.server.new_session("x\0"), RuntimeError),
        ("none", lambda: r.server.has_session("w"), False), ("none", r.pane.kill, RuntimeError),
    ]
    rounds = 1 + 2000 // len(kinds)
    for answer in [answer for answer, *_ in kinds if isinstance(answer, dict)] * (rounds + 1):
        fake_tmux.respond(**answer)
    for number in range(rounds + 1):  # 2,000 calls after a warm-up round, where lazily made types settle
        if number == 1:
            fds, children = open_fds(), child_pids()
        for answer, act, expected in kinds:
            os.environ["PATH"] = paths["none" if answer == "none" else "fake"]
            with pytest.raises(RuntimeError) if expected is RuntimeError else contextlib.nullcontext():
                assert act() == expected, (number, answer)
    assert (open_fds(), child_pids(), fake_tmux.unanswered()) == (fds, children, 0)


@pytest.mark.parametrize("act, expected", [
    (lambda r: r.server.has_session("w"), True), (lambda r: r.pane.kill(), True),
    (lambda r: [s.name for s in r.server.sessions], ["0"]), (lambda r: r.pane.is_alive, True),
], ids=["status", "D/C", "C/D", "C/C"])
def test_signals_during_a_run(classes, fake_tmux, act, expected):
    seen, r = [], make_records(classes)
    # SIGINT may be ignored when CI starts us; Python then installs no handler.
    handlers = {signal.SIGUSR1: lambda *_: seen.append(True), signal.SIGINT: signal.default_int_handler}
    previous = {number: signal.signal(number, handler) for number, handler in handlers.items()}
    try:
        # A handler that raises nothing leaves the run undisturbed.
        fake_tmux.respond(stdout=b"0\n", stderr=b"chatter\n", signal_parent=signal.SIGUSR1)
        assert act(r) == expected and wait_for(lambda: seen, message="the handler") == [True]
        # The interpreter lock stays held while tmux runs, so no Python thread could deliver Ctrl-C:
        # the fake sends SIGINT to us itself, then hangs.
        fake_tmux.respond(hang=True, signal_parent=signal.SIGINT, timeout=10)
        children, started = child_pids(), time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            act(r)
        assert time.monotonic() - started < 1.0 and child_pids() == children
        assert not os.path.exists(f"/proc/{fake_tmux.last()['pid']}")
        assert r.server.has_session("w") is True  # the runner is usable again
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
