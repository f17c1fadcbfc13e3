"""The waits on a pane (mark and wait_for(since=), wait_quiet, wait_exit, run) and their awaitable forms."""

import asyncio
import os
import pickle
import re
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import BASH, REAL_TMUX, loop_turns, wait_for

# Flip to True once channel::watch_pane gives a watch (the event streams' branch): waits then sleep
# on tmux's events, and the count of looks below must hold.
EVENT_WATCH_LANDED = True

SHELLS = ["/bin/sh", BASH] + [path for path in [shutil.which("zsh")] if path]
each_shell = pytest.mark.parametrize("tmux_shell", SHELLS, ids=[os.path.basename(s) for s in SHELLS])


@pytest.fixture
def pane(tmux_server, tmux_shell):
    """The first pane of a new session, once its shell shows a prompt (zsh with a .zshrc, so it asks nothing)."""
    home = os.path.join(os.path.dirname(tmux_server.current_socket), "home")
    os.makedirs(home, exist_ok=True)
    open(os.path.join(home, ".zshrc"), "w").close()
    session = tmux_server.new_session("waits", width=80, height=24)
    (first,) = session.windows[0].panes
    first.wait_for(re.compile(r"\S"))
    return first


def shown(pane, text):
    """Waits, without the module's waits, until the pane's history or screen holds `text`."""
    wait_for(lambda: text in pane.capture(full=True), message=repr(text))


@each_shell
def test_since_a_mark_looks_below_the_typed_line(pane):
    pane.send_keys("echo old-line", enter=True)
    shown(pane, "\nold-line\n")
    mark = pane.mark()
    # The typed line holds the pattern's text, and its output comes a moment later.
    pane.send_keys("sleep 0.3; echo new-line old-line", enter=True)
    got = pane.wait_for(re.compile(r"^new-line old-line$", re.M), since=mark)
    assert "sleep 0.3" not in got and got.startswith("new-line old-line\n")


@each_shell
def test_since_a_mark_finds_output_that_scrolled_away_before_the_wait(pane):
    mark = pane.mark()
    pane.send_keys("echo ear''ly; seq 100 160", enter=True)
    shown(pane, "\n160\n")
    assert "early" not in pane.capture()  # scrolled into the history
    got = pane.wait_for("early", since=mark, timeout=5)
    assert got.startswith("early\n100\n") and "seq" not in got


def test_a_mark_survives_clears(pane):
    pane.send_keys("seq 1 60", enter=True)
    shown(pane, "\n60\n")
    mark = pane.mark()
    assert pane.clear is True  # clear-history: the numbers of the lines move up
    pane.send_keys("clear; echo af''ter", enter=True)  # and a clear that scrolls the screen away
    got = pane.wait_for("after", since=mark, timeout=5)
    assert "60" not in got and "clear" not in got


@pytest.mark.parametrize("burst", [40, 400])
def test_a_mark_in_a_full_history_finds_its_line_after_unseen_drops(tmux_server, pane, burst):
    # A history of 100 lines drops 10 at a time once full: a burst of 40 lines hides drops
    # between two looks, and one of 400 drops the marked line itself.
    tmux_server.cmd("set-option", "-g", "history-limit", "100")
    small = pane.split()
    wait_for(lambda: small.capture().strip(), message="the prompt")
    small.send_keys("seq -f old-%g 1 300", enter=True)
    shown(small, "old-300\n")
    mark = small.mark()
    small.send_keys(f"echo fi''rst; seq -f new-%g 1 {burst}; echo la''st", enter=True)
    shown(small, "\nlast\n")
    got = small.wait_for("last", since=mark, timeout=5)
    assert "old-" not in got and "seq" not in got
    assert got.startswith("first\nnew-1\n") if burst == 40 else f"\nnew-{burst}\nlast\n" in got


def test_a_mark_is_a_value_of_its_pane(tmux_server, pane):
    mark = pane.mark()
    assert mark == pickle.loads(pickle.dumps(mark)) and hash(mark) == hash(pickle.loads(pickle.dumps(mark)))
    assert repr(mark).startswith(f'Mark(pane_id="{pane.pane_id}", line={mark.line}, history_size={mark.history_size}, '
                                 'above="') and repr(mark).endswith(f'socket=Some("{tmux_server.current_socket}"))')
    other = pane.split()
    with pytest.raises(ValueError, match=f"^the mark is of pane {re.escape(pane.pane_id)}, not of pane "):
        other.wait_for("x", since=mark)
    with pytest.raises(TypeError, match="argument 'since'"):
        pane.wait_for("x", since=mark.line)


@each_shell
def test_wait_quiet_returns_once_the_last_output_is_quiet_seconds_old(pane):
    pane.send_keys("for i in 1 2 3 4; do echo tick$i; sleep 0.2; done; echo fini''shed", enter=True)
    started = time.monotonic()
    screen = pane.wait_quiet(quiet=0.5, timeout=20)
    # A pause between two ticks is shorter than quiet: only the end can satisfy it.
    assert "\nfinished\n" in screen and 0.5 <= time.monotonic() - started < 15
    pane.send_keys("while :; do echo busy; sleep 0.1; done", enter=True)
    with pytest.raises(TimeoutError, match=f"^pane {pane.pane_id} did not stay quiet for 0.5 seconds within 1.5 seconds"):
        pane.wait_quiet(0.5, timeout=1.5)
    pane.send_keys("C-c")


@pytest.mark.parametrize("remain, command, expected", [
    ("on", "exit 7", 7),
    ("on", "kill -9 $$", -9),
    ("off", "exit 7", None),
])
def test_wait_exit(pane, remain, command, expected):
    pane.window.options["remain-on-exit"] = remain
    child = pane.split(command=f"sleep 0.3; {command}", keep=False)
    assert child.wait_exit(timeout=10) == expected
    assert child.wait_exit() == expected  # asked again, the same answer


def test_wait_exit_times_out_on_a_running_program(pane):
    with pytest.raises(TimeoutError, match=f"^the program of pane {pane.pane_id} did not exit within 0.2 seconds$"):
        pane.wait_exit(timeout=0.2)


# Lines like the markers of run(), typed and printed, with another nonce.
LOOK_ALIKES = ["vd0123456789abcdefe 0", "vd0123456789abcdefb", "'vd01234567''89abcdefe' 0", "__vordalin__ 1"]


@each_shell
@pytest.mark.parametrize("command, output, status", [
    ("echo out; ls /nonexistent-dir >/dev/null 2>&1", "out\n", 2),
    ("true", "", 0),
    ("printf 'no newline'", "no newline", 0),
    ("printf '%s\\n' " + " ".join(f'"{line}"' for line in LOOK_ALIKES), "".join(f"{line}\n" for line in LOOK_ALIKES), 0),
    ("for word in one 'two words'\ndo echo \"$word\"\ndone\n(exit 5)", "one\ntwo words\n", 5),
    ("cd / && pwd  # a comment, and a quote: '", "/\n", 0),
])
def test_run(pane, command, output, status):
    result = pane.run(command, timeout=20)
    assert (result.output, result.status) == (output, status)
    assert result == pickle.loads(pickle.dumps(result)) and repr(result).startswith("RunResult(output=")


def test_run_twice_keeps_the_shell(pane):
    assert pane.run("x=42; cd /tmp").status == 0
    assert pane.run('echo "$x $PWD"').output == "42 /tmp\n"


def test_run_times_out_and_leaves_the_command_running(pane):
    with pytest.raises(TimeoutError, match=r"^'sleep 30' did not finish in pane %\d+ \(it may still be running\) "
                                           r"within 0.3 seconds$"):
        pane.run("sleep 30", timeout=0.3)
    wait_for(lambda: pane.current_command == "sleep", message="sleep to run")
    pane.send_keys("C-c")


@pytest.mark.parametrize("start", [
    lambda pane: pane.wait_for("never shown", timeout=None, interval=5),
    lambda pane: pane.wait_exit(timeout=None),
    lambda pane: pane.wait_quiet(quiet=60, timeout=None),
])
def test_ctrl_c_ends_every_wait(pane, start):
    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            start(pane)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_the_awaitable_forms(pane):
    other = pane.split()
    wait_for(lambda: other.capture().strip(), message="the prompt")

    async def main():
        mark = pane.mark()
        pane.send_keys("sleep 0.2; echo fi''rst", enter=True)
        other.send_keys("sleep 0.2; echo sec''ond", enter=True)
        # Two waits at once, on two panes, and a tick of the loop meanwhile.
        ticks = [0]
        ticker = asyncio.create_task(loop_turns(ticks))
        first, second = await asyncio.gather(pane.await_for("first", since=mark), other.await_for("\nsecond\n"))
        ticker.cancel()
        assert first.startswith("first\n") and "\nsecond\n" in second and ticks[0] > 5
        # A cancelled wait, then normal calls.
        waiting = asyncio.create_task(pane.await_for("never shown", timeout=None))
        await asyncio.sleep(0.2)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        result = await pane.arun("echo async; (exit 3)")
        assert (result.output, result.status) == ("async\n", 3)
        with pytest.raises(TimeoutError, match="did not exit within 0.2 seconds"):
            await pane.await_exit(timeout=0.2)
        return await pane.await_quiet(0.2)

    assert "async" in asyncio.run(main())
    assert pane.run("echo after").output == "after\n"


def test_no_asyncio_until_an_awaitable_form_is_used():
    code = "import sys, vordalin; print('asyncio' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout == "False\n"


@pytest.fixture
def counting_tmux(tmp_path, monkeypatch):
    """A `tmux` first on PATH that logs each start to a file and then runs the real one."""
    log = tmp_path / "starts"
    log.touch()
    shim = tmp_path / "bin" / "tmux"
    shim.parent.mkdir()
    shim.write_text(f"#!/bin/sh\necho start >> {log}\nexec {REAL_TMUX} \"$@\"\n")
    shim.chmod(shim.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", f"{shim.parent}{os.pathsep}{os.environ['PATH']}")
    return lambda: len(log.read_text().splitlines())


@pytest.mark.xfail(not EVENT_WATCH_LANDED, reason="waits poll until the event watch lands", strict=False)
def test_a_connected_wait_starts_nothing_while_the_pane_is_silent(tmux_server, pane, counting_tmux):
    assert tmux_server.connect()
    # The first wait on a session's pane starts the stream that its waits then share.
    with pytest.raises(TimeoutError):
        pane.wait_for("never shown", timeout=0.1)
    # tmux counts each capture it makes; a wait that polls over the channel starts no process, but
    # captures again and again.
    tmux_server.cmd("set-option", "-g", "@looks", "0")
    tmux_server.cmd("set-hook", "-g", "after-capture-pane", "set-option -gF @looks '#{e|+:#{@looks},1}'")
    before = counting_tmux()
    with pytest.raises(TimeoutError):
        pane.wait_for("never shown", timeout=2)
    started = counting_tmux() - before
    looks = int(tmux_server.cmd("show-options", "-gv", "@looks").stdout)
    # The first look, one for the stream's first word on the pane, the last at the deadline;
    # polling looks every 50 ms.
    assert (started, looks <= 4) == (0, True), looks


@pytest.mark.parametrize("printed, message", [
    ("5\n", 'unexpected display-message output: "5"'),
    ("5 x\n", "bad pane number"),
])
def test_odd_answers_of_tmux_raise(classes, fake_tmux, printed, message):
    fake_tmux.respond(stdout=printed)
    with pytest.raises(RuntimeError, match=message):
        classes.Pane("s", 0, 0, "%7", "t", None).mark()
