"""The runner in process states that daemons and frameworks create: SIGCHLD ignored, a foreign
reaper, closed standard descriptors, blocked and ignored signals. Each state is process-wide,
so each test sets it up in a child interpreter, which writes what it found to a JSON file.

The runner makes its children with a clone that gives their pidfd where the kernel allows it.
VORDALIN_SPAWN_FALLBACK, read once per process, forces the way that a seccomp filter refusing
that clone leads to (a held clone, whose pidfd is opened before it may exec), or with
"posix_spawn" the last way, for where no clone of ours can be made; every test runs each way.
posix_spawn leaves the C library's two internal signals ignored in the child; the clones leave
them as the caller has them. The fake logs what its child ignores, and each script reports
what the interpreter ignored during its calls."""

import json
import os
import platform
import re
import signal
import subprocess
import sys
import textwrap

import pytest

from helpers import REAL_TMUX, needs_tmux

FALLBACK = "VORDALIN_SPAWN_FALLBACK"
EACH_WAY = pytest.mark.parametrize("way", ["clone", "held", "posix_spawn"])
# posix_spawnp opens the pidfd after the child may have exited: with SIGCHLD ignored its status can be lost.
KEEPING_WAYS = pytest.mark.parametrize("way", ["clone", "held"])
LIBC_SIGNALS = {32, 33}
# A child that someone else reaped leaves its exit status with its pidfd from Linux 6.15 on.
needs_exit_status_on_pidfd = pytest.mark.skipif(
    tuple(map(int, re.findall(r"\d+", platform.release())[:2])) < (6, 15),
    reason="before Linux 6.15 the status of a child reaped by someone else is lost")

PRELUDE = """
import json, os, signal, sys, time
import vordalin

def report(value):
    with open("/proc/self/status") as status:
        ignored = [line.split()[1] for line in status if line.startswith("SigIgn:")][0]
    with open(REPORT, "w") as out:
        json.dump({"value": value, "ignored": ignored}, out)

def outcome(act):  # a value, or the failure's type and text
    try:
        return act()
    except Exception as error:
        return [type(error).__name__, str(error)]

def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True
"""


def in_child(tmp_path, way, script, **values):
    """Runs the script in a child interpreter (with `values` as globals); returns what it reported, and the
    signals that its tmux children should find ignored."""
    env = {key: value for key, value in os.environ.items() if key != FALLBACK}
    if way != "clone":
        env[FALLBACK] = "1" if way == "held" else way
    report = tmp_path / "report.json"
    names = "".join(f"{name} = {value!r}\n" for name, value in dict(values, REPORT=str(report)).items())
    done = subprocess.run([sys.executable, "-c", names + PRELUDE + textwrap.dedent(script)], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert done.returncode == 0 and report.exists(), done.stderr.decode(errors="replace")
    found = json.loads(report.read_text())
    ignored = signals_in(found["ignored"]) - {signal.SIGPIPE, signal.SIGXFSZ}
    return found["value"], ignored | (LIBC_SIGNALS if way == "posix_spawn" else set())


def signals_in(mask):
    """The signal numbers in a hex mask as /proc/PID/status shows it."""
    bits = int(mask, 16)
    return {number + 1 for number in range(64) if bits >> number & 1}


def started_clean(fake, ignored):
    """Every run of the fake began with no signal blocked and the ignored signals expected."""
    return {(entry["blocked"], frozenset(signals_in(entry["ignored"]))) for entry in fake.entries()} == {
        ("0000000000000000", frozenset(ignored))}


@needs_tmux
@needs_exit_status_on_pidfd
@KEEPING_WAYS
def test_sigchld_ignored_loses_no_status(tmp_path, spare_socket, way):
    found, _ = in_child(tmp_path, way, """
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        server = vordalin.Server(SOCKET)
        first, second = server.new_session("first"), server.new_session("second")
        report([first.name, second.name, server.is_running, server.has_session("first"),
                [s.name for s in server.sessions], len(first.windows), first.kill(),
                [s.name for s in server.sessions], first.kill(), server.kill(), server.is_running, server.sessions])
    """, SOCKET=spare_socket)
    assert found == ["first", "second", True, True, ["first", "second"], 1, True, ["second"], False, True, False, []]


@needs_exit_status_on_pidfd
@KEEPING_WAYS
def test_sigchld_ignored_loses_no_status_of_a_child_that_exits_at_once(tmp_path, fake_tmux, way):
    # The kernel reaps such a child the moment it exits; a status gone with it reads as a failure.
    codes = [number % 2 for number in range(300)]
    for code in codes:
        fake_tmux.respond(code=code)
    found, _ = in_child(tmp_path, way, """
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        server = vordalin.Server()
        fds = sorted(os.listdir("/proc/self/fd"))
        results = [server.has_session("s") for _ in range(COUNT)]
        report({"results": results, "same fds": sorted(os.listdir("/proc/self/fd")) == fds})
    """, COUNT=len(codes))
    assert found == {"results": [code == 0 for code in codes], "same fds": True}


@EACH_WAY
def test_start_failures_read_the_same_each_way(tmp_path, way):
    (tmp_path / "tmux").write_text("#!/bin/sh\nexit 0\n")
    (tmp_path / "tmux").chmod(0o644)
    found, _ = in_child(tmp_path, way, """
        results = []
        for path in (HERE, HERE + "/missing"):
            os.environ["PATH"] = path
            results.append(outcome(lambda: vordalin.Server().new_session("s")))
        report(results)
    """, HERE=str(tmp_path))
    assert found == [["TmuxError", "Failed to run tmux: " + text]
                     for text in ("Permission denied (os error 13)", "No such file or directory (os error 2)")]


@needs_exit_status_on_pidfd
@EACH_WAY
def test_a_status_a_foreign_reaper_takes_is_kept(tmp_path, fake_tmux, way):
    # The fake closes its output at once and exits later, so the runner is waiting for the exit
    # when the timer's signal makes it run the interpreter's handlers. The reaper then waits
    # for a child to end and reaps whatever waitpid(-1) shows: the runner's own child.
    for answer in [{}, {"code": 1}, {"stdout": b"a\nb\n"}, {"code": 1, "stderr": b"dup\n"}, {"stdout": b"s\n"}]:
        fake_tmux.respond(linger_ms=200, **answer)
    found, ignored = in_child(tmp_path, way, """
        reaped, runs = [], []

        def reap(*_):
            runs.append(1)
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:
                try:
                    pid, _ = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    return
                if pid:
                    reaped.append(pid)
                    return
                time.sleep(0.005)

        signal.signal(signal.SIGCHLD, reap)
        signal.signal(signal.SIGALRM, reap)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        server = vordalin.Server()
        results = [server.has_session("s"), server.has_session("s"), [s.name for s in server.sessions],
                   outcome(lambda: server.new_session("s")), outcome(lambda: server.new_session("s").name)]
        signal.setitimer(signal.ITIMER_REAL, 0)
        report({"results": results, "reaped": reaped, "runs": len(runs)})
    """)
    assert found["results"] == [True, False, ["a", "b"], ["TmuxError", "new session failed: dup\n"], "s"]
    assert found["runs"] >= 5 and sorted(found["reaped"]) == sorted(entry["pid"] for entry in fake_tmux.entries())
    assert started_clean(fake_tmux, ignored)


@EACH_WAY
def test_closed_standard_descriptors(tmp_path, fake_tmux, way):
    for answer in [{}, {"code": 1, "stderr": b"dup\n"}, {"stdout": b"a\nb\n"}, {"stdout": b"s\t0\t1\t%4\tt\n"},
                   {"code": 1, "stderr": b"no pane\n"}]:
        fake_tmux.respond(**answer)
    found, ignored = in_child(tmp_path, way, """
        for fd in (0, 1, 2):
            os.close(fd)
        server = vordalin.Server()
        results = [server.has_session("s"), outcome(lambda: server.new_session("s")), [s.name for s in server.sessions],
                   outcome(lambda: server.target_pane("%4").pane_id), outcome(lambda: server.target_pane("%9"))]
        # Nothing of the runner's is left on 0 to 2 (os.path.exists opens no descriptor).
        report({"results": results, "closed": [not os.path.exists(f"/proc/self/fd/{fd}") for fd in (0, 1, 2)]})
    """)
    assert found == {"results": [True, ["TmuxError", "new session failed: dup\n"], ["a", "b"], "%4",
                                 ["TmuxError", "pane target not found: no pane\n"]], "closed": [True] * 3}
    null, pipe = "null", "pipe"
    assert [entry["fds"] for entry in fake_tmux.entries()] == [
        ["closed", null, null], [null, pipe, pipe], [null, pipe, null], [null, pipe, pipe], [null, pipe, pipe]]
    assert started_clean(fake_tmux, ignored)


@EACH_WAY
def test_the_child_starts_with_a_clean_signal_state(tmp_path, fake_tmux, way):
    fake_tmux.respond()
    fake_tmux.respond(stdout=b"a\n")
    blocked = sorted(int(s) for s in (signal.SIGCHLD, signal.SIGINT, signal.SIGTERM, signal.SIGUSR1, signal.SIGRTMIN + 2))
    found, ignored = in_child(tmp_path, way, """
        signal.pthread_sigmask(signal.SIG_BLOCK, BLOCKED)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)  # nohup's doing: stays ignored
        signal.signal(signal.SIGUSR2, lambda *_: None)  # a handler of ours: exec makes it the default
        # Python itself ignores SIGPIPE and SIGXFSZ; the child gets both at their defaults.
        server = vordalin.Server()
        report({"results": [server.has_session("s"), [s.name for s in server.sessions]],
                "mask": sorted(signal.pthread_sigmask(signal.SIG_BLOCK, []))})
    """, BLOCKED=blocked)
    assert found == {"results": [True, ["a"]], "mask": blocked}  # the caller's own mask stays as it set it
    assert started_clean(fake_tmux, ignored) and signal.SIGHUP in ignored and signal.SIGUSR2 not in ignored


@needs_tmux
@EACH_WAY
def test_a_server_started_with_sigchld_blocked_still_ends(tmp_path, spare_socket, way):
    # A server that inherited SIGCHLD blocked never reaps its panes, and kill-server leaves it up.
    found, _ = in_child(tmp_path, way, """
        import subprocess

        def ended(pid):  # gone, or a zombie for an init that does not reap
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
            except FileNotFoundError:
                return True

        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD})
        server = vordalin.Server(SOCKET)
        server.new_session("s")
        pid = int(subprocess.run([TMUX, "-S", SOCKET, "display-message", "-p", "#{pid}"], capture_output=True,
                                 text=True, check=True).stdout)
        with open(f"/proc/{pid}/status") as status:
            blocked = [line.split()[1] for line in status if line.startswith("SigBlk:")][0]
        report({"blocked": blocked, "killed": server.kill(),
                "gone": wait_until(lambda: ended(pid))})
    """, SOCKET=spare_socket, TMUX=REAL_TMUX)
    assert signal.SIGCHLD not in signals_in(found["blocked"])
    assert (found["killed"], found["gone"]) == (True, True)
