#!/usr/bin/env python3
"""Many mixed calls against a private real tmux server and the suite's fake tmux, watching
this process for growth: resident memory after warm-up, open descriptors and children.

`make soak` runs the long form; tests/test_hardening.py runs a short one through soak().
tools/leakcheck.py borrows the workbench.
"""

import argparse
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))

from helpers import child_pids, open_fds  # noqa: E402

import vordalin  # noqa: E402

# Rounds run before the first measurement: the allocator settles its thresholds for the
# large outputs first.
WARM_UP_SHARE = 10


class Bench:
    """A real server's socket, the fake tmux, and the PATH that picks each (or no tmux)."""

    def __init__(self, socket, fake, real_path, fake_path, empty_path):
        self.socket, self.fake = socket, fake
        self.paths = {"real": real_path, "fake": fake_path, "none": empty_path}

    @classmethod
    def beside(cls, socket, fake, empty_path):
        """The bench for a fake already first on PATH (as the suite's fixture puts it)."""
        real = os.pathsep.join(p for p in os.environ["PATH"].split(os.pathsep) if p != str(fake.bin_dir))
        return cls(socket, fake, real, os.environ["PATH"], empty_path)

    def use(self, mode):
        os.environ["PATH"] = self.paths[mode]


@contextlib.contextmanager
def workbench():
    """Builds the fake tmux and starts a private server, outside pytest; undoes both."""
    from conftest import FakeTmux

    root = Path(tempfile.mkdtemp(prefix="vd", dir="/tmp"))
    saved = dict(os.environ)
    server = None
    try:
        for name in ("bin", "state", "empty", "home"):
            (root / name).mkdir()
        cc = shutil.which("cc") or shutil.which("gcc")
        subprocess.run([cc, "-O2", "-o", str(root / "bin" / "tmux"), str(TESTS / "fake_tool.c")], check=True)
        for program in ("id", "ps"):
            shutil.copy2(root / "bin" / "tmux", root / "bin" / program)
        os.environ.pop("TMUX", None)
        os.environ.update(TMUX_TMPDIR=str(root / "home"), HOME=str(root / "home"), SHELL="/bin/sh",
                          VORDALIN_FAKE_DIR=str(root / "state"))
        real_path = os.environ["PATH"]
        server = str(root / "sock")
        subprocess.run(["tmux", "-S", server, "-f", "/dev/null", "new-session", "-d", "-s", "main",
                        "-x", "120", "-y", "40"], stdin=subprocess.DEVNULL, check=True, timeout=10)
        yield Bench(server, FakeTmux(root / "bin", root / "state"), real_path,
                    f"{root / 'bin'}{os.pathsep}{real_path}", str(root / "empty"))
    finally:
        os.environ.clear()
        os.environ.update(saved)
        if server:
            subprocess.run(["tmux", "-S", server, "kill-server"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
        shutil.rmtree(root, ignore_errors=True)


def raises(act, kind=RuntimeError):
    try:
        act()
    except kind:
        return "raised"
    return "returned"


def call_kinds(bench):
    """(mode, fake answer, call, expected result): one round of the mix."""
    bench.use("real")
    server = vordalin.Server(bench.socket)
    (session,) = server.sessions
    (window,) = session.windows
    (pane,) = window.panes
    Pane = type(pane)
    gone = Pane("main", 0, 0, "%99999", "t", bench.socket)
    big = b"line of screen text\n" * 10000
    return [
        ("real", None, lambda: server.is_running, True),
        ("real", None, lambda: server.has_session("main"), True),
        ("real", None, lambda: server.has_session("absent"), False),
        ("real", None, lambda: [s.name for s in server.sessions], ["main"]),
        ("real", None, lambda: [(w.index, type(w.name)) for w in session.windows], [(0, str)]),
        ("real", None, lambda: [p.pane_id for p in window.panes], [pane.pane_id]),
        ("real", None, lambda: pane.is_alive, True),
        ("real", None, lambda: type(pane.capture(trim=True, scroll_back=50)), str),
        ("real", None, lambda: type(pane.current_command), str),
        ("real", None, lambda: window.metadata.index, 0),
        ("real", None, lambda: session.metadata().name, "main"),
        ("real", None, lambda: server.target_pane("main:0.0").pane_id, pane.pane_id),
        ("real", None, lambda: setattr(pane, "title", "soak"), None),
        ("real", None, lambda: window.select, True),
        ("real", None, lambda: window.next, None),
        ("real", None, lambda: raises(gone.kill), "raised"),
        ("real", None, lambda: gone.capture(), None),
        ("real", None, lambda: raises(lambda: server.new_session("main")), "raised"),
        ("fake", {"stdout": b"a\nb\n"}, lambda: len(server.sessions), 2),
        ("fake", {"code": 1}, lambda: server.has_session("w"), False),
        ("fake", {"signal": signal.SIGKILL, "stdout": b"0|x\n"}, lambda: session.windows, []),
        ("fake", {"stdout": b"main\tx\t0\t%1\tt"}, lambda: raises(lambda: server.target_pane("t")), "raised"),
        ("fake", {"stdout": b"1|n|1|l|80|wide|*"}, lambda: raises(lambda: window.metadata), "raised"),
        ("fake", {"stdout": b"0\n", "stderr": b"e" * 100000}, lambda: pane.is_alive, True),
        ("fake", {"code": 1, "stderr": b"\xff bad\n"}, lambda: raises(pane.kill), "raised"),
        ("fake", {"stdout": b"3|%7|new"}, lambda: pane.split(command="it's", keep=True).pane_id, "%7"),
        ("fake", {"stdout": big}, lambda: len(pane.capture()), len(big)),
        ("none", None, lambda: server.has_session("main"), False),
        ("none", None, lambda: raises(pane.kill), "raised"),
        ("none", None, lambda: server.sessions, []),
        ("none", None, lambda: raises(lambda: pane.send_keys(1), TypeError), "raised"),
        ("none", None, lambda: raises(lambda: Pane("s", -1, 0, "%1", "t", None), OverflowError), "raised"),
        ("none", None, lambda: raises(lambda: server.has_session("\udcff"), UnicodeEncodeError), "raised"),
    ]


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def soak(bench, calls):
    """Runs about `calls` calls; returns the figures. Raises AssertionError on a wrong answer."""
    kinds = call_kinds(bench)
    rounds = max(WARM_UP_SHARE, calls // len(kinds))
    warm_up = rounds // WARM_UP_SHARE
    state = bench.fake.state_dir
    figures = {}
    started = time.monotonic()
    for number in range(rounds):
        if number == warm_up:
            figures.update(rss=rss_kib(), fds=open_fds(), children=child_pids())
        for _mode, answer, _act, _expected in kinds:
            if answer is not None:
                bench.fake.respond(**answer)
        for mode, _answer, act, expected in kinds:
            bench.use(mode)
            got = act()
            assert got == expected, f"round {number}: {mode} call gave {got!r}, expected {expected!r}"
        bench.use("fake")
        # Answers are files and every fake run logs a line: keep the state directory small.
        for path in state.glob("tmux.[0-9]*"):
            path.unlink()
        (state / "log").write_bytes(b"")
    return {
        "calls": rounds * len(kinds),
        "seconds": round(time.monotonic() - started, 1),
        "rss_growth_kib": rss_kib() - figures["rss"],
        "fds": (len(figures["fds"]), len(open_fds())),
        "fds_unchanged": open_fds() == figures["fds"],
        "children": (len(figures["children"]), len(child_pids())),
        "children_unchanged": child_pids() == figures["children"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--calls", type=int, default=100_000)
    args = parser.parse_args()
    with workbench() as bench:
        figures = soak(bench, args.calls)
    print(" ".join(f"{key}={value}" for key, value in figures.items()))
    if figures["rss_growth_kib"] >= 1024 or not (figures["fds_unchanged"] and figures["children_unchanged"]):
        sys.exit("soak: the process grew")


if __name__ == "__main__":
    main()
