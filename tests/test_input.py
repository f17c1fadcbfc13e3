"""Typing into a pane, reading its screen back, reading the last command, and the raising actions' messages."""

import pytest

import vordalin
from helpers import wait_for

READING_LINE = "printf '__VORDALIN__%s\\n' \"$(fc -ln -1)\""


def make_pane(classes, socket=None):
    return classes.Pane("work", 2, 1, "%7", "t", socket)


def test_nul_in_keys_cannot_reach_tmux(classes, fake_tmux):
    for clear_first in (False, True):
        with pytest.raises(RuntimeError, match="^failed to run tmux: nul byte found in provided data$"):
            make_pane(classes).send_keys("a\0b", clear_first=clear_first)
    assert fake_tmux.calls == [["send-keys", "-t", "%7", "C-l"]]


@pytest.mark.parametrize("screen, trimmed", [
    ("one\ntwo\nthree\n" + "\n" * 20, "one\ntwo\nthree"), ("a\r\nb\r\n", "a\nb"), ("\n \n\u3000\n", ""), ("", ""),
    ("\n  \n\t\n  first  \n\n last \n \n", "  first  \n\n last "),
])
def test_capture_trim_rule(classes, fake_tmux, screen, trimmed):
    for code in (0, 0, 1):
        fake_tmux.respond(stdout=screen, code=code)
    pane = make_pane(classes)
    assert (pane.capture(), pane.capture(trim=True), pane.capture()) == (screen, trimmed, None)


KEYS, CAPTURE = ["send-keys", "-t", "%7"], ["capture-pane", "-p", "-t", "%7"]


@pytest.mark.parametrize("act, runs", [
    (lambda p: p.send_keys("ls -la /"), [KEYS + ["--", "ls -la /"]]),
    (lambda p: p.send_keys("ls -la /", enter=True), [KEYS + ["--", "ls -la /", "Enter"]]),
    (lambda p: p.send_keys("", True), [KEYS + ["--", "", "Enter"]]),
    (lambda p: p.send_keys("C-c", clear_first=True), [KEYS + ["C-l"], KEYS + ["--", "C-c"]]),
    (lambda p: p.send_keys("x", True, True), [KEYS + ["C-l"], KEYS + ["--", "x", "Enter"]]),
    # A final ";" would end tmux's command: it gets a backslash, which tmux takes off again.
    (lambda p: p.send_keys("SELECT 1;", True), [KEYS + ["--", "SELECT 1\\;", "Enter"]]),
    (lambda p: p.send_keys(";"), [KEYS + ["--", "\\;"]]),
    (lambda p: p.send_keys("a\\;"), [KEYS + ["--", "a\\\\;"]]),
    (lambda p: p.capture(), [CAPTURE]), (lambda p: p.capture(scroll_back=None), [CAPTURE]),
    (lambda p: p.capture(scroll_back=0), [CAPTURE + ["-S", "-0"]]),
    (lambda p: p.capture(True, 4294967295), [CAPTURE + ["-S", "-4294967295"]]),
    (lambda p: p.capture(full=True, scroll_back=50), [CAPTURE + ["-S", "-"]]),
    (lambda p: p.bash_shell(), [KEYS + ["exec bash", "Enter"]]),
    (lambda p: p.bash_shell(respawn=True), [["respawn-pane", "-k", "-t", "%7", "bash"]]),
    (lambda p: p.respawn(), [["respawn-pane", "-t", "%7"]]),
    (lambda p: p.respawn("", kill=True), [["respawn-pane", "-t", "%7", "-k", "--", ""]]),
    (lambda p: p.respawn("-k"), [["respawn-pane", "-t", "%7", "--", "-k"]]),
    (lambda p: p.last_command.run(), [KEYS + ["fc -s", "Enter"]]),
    *[(lambda p, d=d: p.resize(d, 0), [["resize-pane", f, "-t", "%7", "0"]])
      for d, f in (("left", "-L"), ("right", "-R"), ("up", "-U"), ("down", "-D"))],
    (lambda p: p.resize(amount=4294967295, direction="up"), [["resize-pane", "-U", "-t", "%7", "4294967295"]]),
])
def test_command_lines(classes, fake_tmux, act, runs):
    assert act(make_pane(classes, "/s")) in (True, "")
    assert fake_tmux.calls == [["-S", "/s", *run] for run in runs]


@pytest.mark.parametrize("act, prefix", [
    (lambda p: p.send_keys("ls", clear_first=True), "tmux clear failed: "),
    (lambda p: p.send_keys("ls"), "send keys failed: "), (lambda p: p.resize("up", 1), "tmux resize-pane failed: "),
    (lambda p: p.bash_shell(), "tmux change shell failed: "), (lambda p: p.respawn(), "tmux respawn-pane failed: "),
    (lambda p: p.split(), "tmux split-window failed: "), (lambda p: p.last_command.run(), "tmux command failed: "),
    (lambda p: p.last_command.read(), "tmux command failed: "),
])
@pytest.mark.parametrize("stderr, tail", [(b"  no space for new pane \n", "no space for new pane"), (b"", "")])
def test_failure_messages(classes, fake_tmux, act, prefix, stderr, tail):
    fake_tmux.respond(code=1, stdout=b"2|%8|t\n", stderr=stderr)
    with pytest.raises(RuntimeError) as info:
        act(make_pane(classes))
    assert str(info.value) == prefix + tail
    assert len(fake_tmux.calls) == 1  # nothing runs after the first failure


@pytest.mark.parametrize("screen, answer", [
    ("$ " + READING_LINE + "\n__VORDALIN__ls -la /\n$ \n\n", "ls -la /"),
    ("__VORDALIN__\t echo hi \t\n", "echo hi"), ("   __VORDALIN__indented\n", "indented"), ("__VORDALIN__\n", ""),
    ("__VORDALIN____VORDALIN__ x __VORDALIN__\n", "x __VORDALIN__"),
    ("__VORDALIN__older\n$ " + READING_LINE + "\n__VORDALIN__newer\n$\n", "newer"),
    ("$ " + READING_LINE + "\n", "could not read last command"), ("", "could not read last command"),
    ("__VORDALI\n_VORDALIN__\n", "could not read last command"),
    ({"code": 1, "stdout": b"__VORDALIN__x\n", "stderr": b"gone\n"}, "tmux command failed: gone"),
])
def test_last_command_read(classes, fake_tmux, screen, answer):
    fake_tmux.respond()
    fake_tmux.respond(**(screen if isinstance(screen, dict) else {"stdout": screen, "stderr": b"noise\n"}))
    last = make_pane(classes, "/s").last_command
    assert repr(last) == str(last) == 'LastCommand(pane_id="%7", socket=Some("/s"))'
    try:
        assert last.read() == answer
    except RuntimeError as error:
        assert str(error) == answer
    assert fake_tmux.calls == [
        ["-S", "/s", "send-keys", "-t", "%7", READING_LINE, "Enter"], ["-S", "/s", "capture-pane", "-p", "-t", "%7"]]


def test_keys_screen_and_last_command_of_a_real_pane(tmux_cli):
    pane = vordalin.Server(tmux_cli.socket).target_pane("main:0.0")
    # Reading lines stay out of the history, so every retry gets the same answer.
    pane.send_keys("HISTIGNORE='printf *'", enter=True)
    pane.send_keys("echo vd-$((6*7))", enter=True)
    wait_for(lambda: "\nvd-42" in pane.capture(), message="the echo's output")

    def read():
        try:
            return pane.last_command.read()
        except RuntimeError as error:
            assert str(error) == "could not read last command"
            # The shell had not answered yet when the screen was taken; let it.
            wait_for(lambda: "\n__VORDALIN__" in pane.capture(), message="the shell's answer")

    assert wait_for(read, message="a successful read") == "echo vd-$((6*7))"
    assert pane.last_command.run() is True
    wait_for(lambda: pane.capture().count("\nvd-42") == 2, message="the rerun's output")
