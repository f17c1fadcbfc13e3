"""Typed errors: TmuxError and NotFoundError carry what tmux was asked and said, with the messages as before."""

import pickle
import signal

import pytest

import vordalin
from helpers import wait_for

TmuxError, NotFoundError = vordalin.TmuxError, vordalin.NotFoundError


def test_the_classes():
    assert (TmuxError.__mro__[1], NotFoundError.__mro__[1]) == (RuntimeError, TmuxError)
    assert (TmuxError.__module__, TmuxError.__qualname__, NotFoundError.__qualname__) == (
        "vordalin", "TmuxError", "NotFoundError")
    made = NotFoundError("gone", ("kill-pane", "-t", "%1"), "can't find pane: %1\n", 1)
    assert (str(made), made.args, made.command, made.stderr, made.returncode) == (
        "gone", ("gone",), ["kill-pane", "-t", "%1"], "can't find pane: %1\n", 1)
    bare = TmuxError("x")
    assert (bare.command, bare.stderr, bare.returncode) == ([], "", None)
    again = pickle.loads(pickle.dumps(made))
    assert (type(again), str(again), again.command, again.stderr, again.returncode) == (
        NotFoundError, "gone", made.command, made.stderr, 1)


def make_pane(classes):
    return classes.Pane("work", 2, 1, "%7", "t", "/s")


# What tmux says decides the class: the target or the server not being there is NotFoundError.
@pytest.mark.parametrize("stderr, kind", [
    (b"can't find pane: %7\n", NotFoundError),
    (b"can't find session: work\n", NotFoundError),
    (b"can't find window: 2\n", NotFoundError),
    (b"no such session: work\n", NotFoundError),
    (b"no server running on /s\n", NotFoundError),
    (b"error connecting to /s (No such file or directory)\n", NotFoundError),
    (b"lost server\ncan't find pane: %7\n", NotFoundError),
    (b"error connecting to /s (Permission denied)\n", TmuxError),
    (b"no space for new pane\n", TmuxError),
    (b"duplicate session: work\n", TmuxError),
    (b"", TmuxError),
])
def test_tmux_text_decides_the_class(classes, fake_tmux, stderr, kind):
    fake_tmux.respond(code=1, stderr=stderr)
    with pytest.raises(TmuxError) as info:
        make_pane(classes).kill()
    error = info.value
    assert (type(error), str(error)) == (kind, "tmux kill-pane failed: " + stderr.decode().strip())
    # The command from the subcommand on: no "-u", no socket; tmux's text untrimmed.
    assert (error.command, error.stderr, error.returncode) == (["kill-pane", "-t", "%7"], stderr.decode(), 1)


@pytest.mark.parametrize("act, command", [
    (lambda c: make_pane(c).send_keys("ls", enter=True, literal=True),
     ["send-keys", "-t", "%7", "-l", "--", "ls", ";", "send-keys", "-t", "%7", "Enter"]),
    (lambda c: c.Server("/s").cmd("kill-session", "-t", "x;", check=True), ["kill-session", "-t", "x;"]),
    (lambda c: c.Server("/s").new_session("a;"), ["new-session", "-d", "-P", "-F", "#{session_name}", "-s", "a;"]),
])
def test_the_command_is_shown_as_a_caller_would_write_it(classes, fake_tmux, act, command):
    fake_tmux.respond(code=3, stderr="no")
    with pytest.raises(TmuxError) as info:
        act(classes)
    assert (info.value.command, info.value.returncode) == (command, 3)


def test_a_signal_and_a_start_failure(classes, fake_tmux, monkeypatch, tmp_path):
    fake_tmux.respond(signal=signal.SIGTERM)
    with pytest.raises(TmuxError) as info:
        make_pane(classes).select
    assert (type(info.value), info.value.returncode) == (TmuxError, -signal.SIGTERM)
    monkeypatch.setenv("PATH", str(tmp_path))  # no tmux there
    for act, lead in [(lambda: make_pane(classes).select, "failed to run tmux: "),
                      (lambda: classes.Server("/s").target_pane("%1"), "Failed to run tmux: ")]:
        with pytest.raises(TmuxError) as info:
            act()
        assert type(info.value) is TmuxError and str(info.value).startswith(lead + "No such file or directory")
        assert (info.value.stderr, info.value.returncode) == ("", None)


def test_a_session_tmux_did_not_make(classes, fake_tmux):
    fake_tmux.respond(stdout="", stderr="")
    with pytest.raises(TmuxError, match="^new session failed: tmux made no session$") as info:
        classes.Server("/s").new_session("x")
    assert (info.value.stderr, info.value.returncode) == ("", 0)


# Not failures of tmux: refused text, unreadable output, and the shell not answering stay RuntimeError.
@pytest.mark.parametrize("act, answer, message", [
    (lambda c: setattr(c.Session("w", "/s"), "name", "a:b"), None,
     'rename session failed: a session name cannot hold ":" or "."'),
    (lambda c: setattr(make_pane(c), "title", "\x07"), None,
     "tmux select-pane -T failed: a pane title cannot hold control characters"),
    (lambda c: c.Server("/s").new_session("$1"), None, 'new session failed: a session name cannot start with "$"'),
    (lambda c: make_pane(c).resize("sideways", 1), None, "direction must be one of: left, right, up, down"),
    (lambda c: make_pane(c).split(), "x\n", 'unexpected split-window output: "x"'),
    (lambda c: c.Server("/s").target_pane("t"), "w\tx\t0\t%1\tt\n", "invalid window_index: invalid digit found in "
                                                                    "string"),
])
def test_plain_runtime_errors_stay(classes, fake_tmux, act, answer, message):
    if answer is not None:
        fake_tmux.respond(stdout=answer)
    with pytest.raises(RuntimeError) as info:
        act(classes)
    assert (type(info.value), str(info.value)) == (RuntimeError, message)


def test_on_a_real_server(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    pane = server.target_pane("=main:0.0")
    work = server.new_session("work")
    with pytest.raises(TmuxError) as info:
        server.new_session("work")
    assert (type(info.value), str(info.value), info.value.returncode) == (
        TmuxError, "new session failed: duplicate session: work\n", 1)
    cases = [
        (lambda: type(work)("gone", tmux_cli.socket).metadata(), 'session "gone" not found'),
        (lambda: setattr(type(work)("a:b", tmux_cli.socket), "name", "c"),
         "rename session failed: can't find session: a:b\n"),
        (lambda: server.target_window("=main:7"), "window target not found: can't find window: 7\n"),
        (lambda: server.cmd("kill-session", "-t", "=gone", check=True), "tmux command failed: can't find session: gone"),
        (lambda: type(pane)("main", 0, 0, "%99", "", tmux_cli.socket).kill(), "tmux kill-pane failed: can't find pane: %99"),
        (lambda: type(pane)("main", 0, 0, "%99", "", tmux_cli.socket).wait_for("x"),
         "wait for pane %99 failed: can't find pane: %99"),
    ]
    for act, message in cases:
        with pytest.raises(NotFoundError) as info:
            act()
        assert str(info.value) == message
    tmux_cli.run("kill-server")
    wait_for(lambda: tmux_cli.run("list-sessions", check=False).returncode != 0, message="the server to exit")
    with pytest.raises(NotFoundError, match="^select pane failed: (no server running on|error connecting to) "):
        pane.select
