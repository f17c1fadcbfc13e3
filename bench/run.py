"""The benchmark: vordalin against the limit, subprocess.run and libtmux, on private servers.

Run by `make bench`, which builds the limit program and a venv holding vordalin, libtmux
and matplotlib, then calls

    python bench/run.py --limit PATH/TO/limit [--out DIR] [--scale F] [--keep-samples FILE]

Every row is one operation against a tmux server that this script starts on a socket in a
temporary directory and kills at the end. The four columns of a row are timed in small
interleaved blocks, after a warm-up block each, so that a noisy machine hurts all of them
alike; the table shows medians. Before the timing, a pass counts the tmux and ps processes
each operation starts (and the bytes tmux writes) with shims first on PATH, and stops the
run when vordalin ran other command lines than the limit runs. Fresh processes measure the
peak resident size that capturing 100,000 lines of history adds, and what 16 pool threads
still hold once they have made 64 such captures and gone idle.

The dashboard rows time a whole workload instead: every session's metadata, every window's
metadata and every pane's title, command and command line, on a server of sessions with two
panes each. They compare Server.snapshot, the same walk through the per-object members, and
libtmux, against the limit running the snapshot's tmux command line and then its ps.

The channel rows repeat operations with Server.connect() in effect, beside the same limit,
and the members' walk (without command lines) with and without a channel; every other row
runs with no channel open. Fresh servers show whether the tmux server grows over 10,000
captures over a channel, and pinning the processes to CPUs shows where a small call's time
goes on this machine.
"""

import argparse
import gc
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
COLUMNS = ("limit", "vordalin", "subprocess", "libtmux")
PEERS = ("vordalin", "subprocess", "libtmux")

HISTORY_LINES = 100_000
# A history line as wide as a typical log line. At 7.5 MB of text the peak-RSS figure is
# precise: VmHWM reads up to a couple of hundred KiB off the resident size here, which
# would swamp the 0.6 MB that 100,000 bare numbers make.
HISTORY_LINE = "line %06g: the quick brown fox jumps over the lazy dog 0123456789 abcdef"
# A detached session's screen is 24 rows; the last 23 lines printed stay on it, below them
# is the cursor's empty row, and everything above is history.
SCREEN_ROWS = 24
WINDOWS = 20
PANES = 8
KEYS = "echo hello world"
# The pool that measures memory held between calls: threads, and captures shared among them.
POOL_THREADS = 16
POOL_CAPTURES = 64
MISSING = "no-such-session"
# The dashboard's sessions: one window of two panes, each running a program whose command
# line differs from its name.
DASH_SESSIONS = (50, 500)
DASH_PANES = 2
DASH_PROGRAM = "sleep"
DASH_COMMANDLINE = "sleep infinity"
# How many times faster than libtmux the snapshot's dashboard should be.
PEER_SPEEDUP = 50
# How many times faster than the per-process limit each operation should be with a channel
# open (Server.connect()), and the dashboard's walk than the same walk without one.
CHANNEL_SPEEDUP = {
    "has_session": 20,
    "sessions_1": 20,
    "sessions_500": 3,
    "windows": 20,
    "panes": 20,
    "window_metadata": 20,
    "send_keys": 20,
    "capture": 10,
}
CHANNEL_WALK_SPEEDUP = 10
# Visible captures over the channel after which the tmux server must not have grown: a leak of
# a hundred bytes a capture would pass the bound (the text alone is two kilobytes).
CHANNEL_CAPTURES = 10_000
CHANNEL_WARM_CAPTURES = 500
SERVER_GROWTH_KIB = 1024
# The metadata the dashboard shows, as vordalin names it and as libtmux does.
SESSION_FIELDS = ("id", "name", "created", "attached", "width", "height", "windows")
WINDOW_FIELDS = ("index", "name", "active", "layout", "width", "height", "flags")

# Socket paths as the report shows them: the temporary directory's name means nothing later.
SOCKET_NAMES = {}

DEVNULL = subprocess.DEVNULL
PIPE = subprocess.PIPE


# ------------------------------------------------------------------ helpers


def wait_for(predicate, what, timeout=60.0):
    """Polls predicate until it returns something true; fails after the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def peak_kib():
    with open("/proc/self/status") as status:
        return int(re.search(r"^VmHWM:\s+(\d+)", status.read(), re.M).group(1))


def resident_kib(pid="self"):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"^VmRSS:\s+(\d+)", status.read(), re.M).group(1))


def reset_peak():
    # Writing 5 resets VmHWM to the current resident size, so a peak reached while
    # importing cannot hide what the measured call adds.
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass


def log(message):
    print(message, file=sys.stderr, flush=True)


# ------------------------------------------------------------------ servers


class Tmux:
    """One private tmux server on a socket in our temporary directory."""

    def __init__(self, real_tmux, socket):
        self.real = real_tmux
        self.socket = socket

    def argv(self, *args):
        """The command line every column runs: tmux looked up on PATH and told that its
        output is UTF-8, as the module does."""
        return ["tmux", "-u", "-S", self.socket, *args]

    def run(self, *args):
        done = subprocess.run(
            [self.real, "-S", self.socket, "-f", "/dev/null", *args],
            stdin=DEVNULL,
            stdout=PIPE,
            stderr=PIPE,
            check=False,
        )
        if done.returncode != 0:
            raise RuntimeError(f"tmux {' '.join(args)}: {done.stderr.decode(errors='replace').strip()}")
        return done.stdout.decode(errors="replace")

    def display(self, target, fmt):
        return self.run("display-message", "-p", "-t", target, fmt).strip()

    def kill(self):
        subprocess.run([self.real, "-S", self.socket, "kill-server"], stdin=DEVNULL, stdout=DEVNULL, stderr=DEVNULL)


def chained(commands):
    """One tmux invocation running several commands: their argument lists joined by ";"."""
    argv = []
    for command in commands:
        if argv:
            argv.append(";")
        argv.extend(command)
    return argv


def screen_session():
    """The session whose visible screen the captures read: 40 numbered lines, the last 23 on it."""
    return [
        "new-session",
        "-d",
        "-s",
        "screen",
        "-x",
        "80",
        "-y",
        str(SCREEN_ROWS),
        "seq -f 'screen line %g: the quick brown fox jumps over the lazy dog' 1 40; exec cat",
    ]


def screen_ready(tmux):
    wait_for(lambda: "screen line 40:" in tmux.run("capture-pane", "-p", "-t", "=screen:"), "the screen pane")


def start_main_server(tmux):
    """The server most rows use: a 20-window session, an 8-pane window, panes to type into
    and to read, and a pane holding 100,000 lines of history."""
    hold = "exec cat"
    tmux.run(
        *chained(
            [
                ["new-session", "-d", "-s", "wins", "-x", "120", "-y", "40", hold],
                # Panes made from here on keep the history the big capture needs, and the
                # sessions the pair row makes start a process that costs the server little.
                ["set", "-g", "history-limit", str(HISTORY_LINES + 100)],
                ["set", "-g", "default-shell", "/bin/sh"],
                ["set", "-g", "default-command", hold],
            ]
            + [["new-window", "-d", "-t", "=wins:", hold] for _ in range(WINDOWS - 1)]
        )
    )
    tmux.run(
        *chained(
            [["new-session", "-d", "-s", "panes", "-x", "200", "-y", "60", hold]]
            + [
                step
                for _ in range(PANES - 1)
                for step in (["split-window", "-d", "-t", "=panes:0", hold], ["select-layout", "-t", "=panes:0", "tiled"])
            ]
        )
    )
    tmux.run(
        *chained(
            [
                # Raw mode and no echo: typed keys vanish instead of piling up on the screen.
                ["new-session", "-d", "-s", "keys", "-x", "80", "-y", str(SCREEN_ROWS), "stty raw -echo; exec cat >/dev/null"],
                screen_session(),
                [
                    "new-session",
                    "-d",
                    "-s",
                    "big",
                    "-x",
                    "80",
                    "-y",
                    str(SCREEN_ROWS),
                    f"seq -f '{HISTORY_LINE}' 1 {HISTORY_LINES + SCREEN_ROWS - 1}; exec cat",
                ],
            ]
        )
    )
    screen_ready(tmux)
    wait_for(
        lambda: int(tmux.display("=big:", "#{history_size}")) >= HISTORY_LINES
        and f"line {HISTORY_LINES + SCREEN_ROWS - 1:06d}:" in tmux.run("capture-pane", "-p", "-t", "=big:"),
        "100,000 lines of history",
    )
    wait_for(lambda: tmux.display("=keys:", "#{pane_current_command}") == "cat", "the keys pane")
    assert len(tmux.run("list-panes", "-t", "=panes:0").splitlines()) == PANES


class Grower:
    """Starts a server and adds sessions to it up to the count a row asks for, in batches of
    one tmux client each; `session(i)` gives the commands that make the i-th (from 1)."""

    def __init__(self, tmux, session, batch=100):
        self.tmux = tmux
        self.session = session
        self.have = 0
        self.batch = batch

    def to(self, count):
        for start in range(self.have + 1, count + 1, self.batch):
            batch = range(start, min(start + self.batch, count + 1))
            self.tmux.run(*chained([step for i in batch for step in self.session(i)]))
        self.have = max(self.have, count)

    def stop(self):
        self.tmux.kill()
        self.have = 0


def dash_session(i):
    hold = f"exec {DASH_COMMANDLINE}"
    return [["new-session", "-d", "-s", f"d{i}", hold]] + [
        ["split-window", "-d", "-t", f"=d{i}:", hold] for _ in range(DASH_PANES - 1)
    ]


def dash_ready(dash, count):
    """Waits until every pane of the dashboard's server runs its program."""
    wait_for(
        lambda: dash.run("list-panes", "-a", "-F", "#{pane_current_command}").split()
        == [DASH_PROGRAM] * (count * DASH_PANES),
        f"{count * DASH_PANES} dashboard panes",
    )


# ------------------------------------------------------------------ rows


@dataclass
class Row:
    key: str
    label: str
    # The commands the operation runs, each with how subprocess.run treats its streams:
    # "status" (both discarded), "quiet" (stdout read), "raising" (stderr read),
    # "checked" (both read). The limit reads stdout when any command does.
    commands: list
    vordalin: object
    libtmux: object
    check: object
    reps: int
    block: int = 5
    minimum: int = 1
    target: float = 1.02
    # Runs before the row: grows its server, or fills in its commands.
    prepare: object = None
    # A row with columns of its own (the dashboards) maps each to its callable; the others
    # compare vordalin, subprocess.run and libtmux.
    columns: dict = None
    # The column that must run exactly the limit's command lines.
    mirror: str = "vordalin"
    # Calls per block for columns too slow for `block`.
    blocks: dict = field(default_factory=dict)
    # Runs the process count averages over.
    count_repeats: int = 3
    # The columns that run with a persistent channel open on `channel` (a vordalin.Server);
    # every other column, and every other row, runs with none open in this process.
    connected: tuple = ()
    channel: object = None
    # For a row over the channel: how many times faster than `baseline` it should be, and
    # the per-process row whose operation it repeats.
    speedup: float = None
    baseline: str = "limit"
    base: str = None
    # Whether a limit runs beside the columns.
    limit: bool = True

    @property
    def dashboard(self):
        return self.columns is not None and not self.connected


def subprocess_operation(commands):
    def one(argv, mode):
        if mode == "status":
            return subprocess.run(argv, stdout=DEVNULL, stderr=DEVNULL).returncode == 0
        if mode == "quiet":
            done = subprocess.run(argv, stdin=DEVNULL, stdout=PIPE, stderr=DEVNULL)
            return done.stdout.decode(errors="replace") if done.returncode == 0 else None
        out = PIPE if mode == "checked" else DEVNULL
        done = subprocess.run(argv, stdin=DEVNULL, stdout=out, stderr=PIPE)
        if done.returncode != 0:
            raise RuntimeError(done.stderr.decode(errors="replace"))
        return done.stdout.decode(errors="replace") if mode == "checked" else True

    if len(commands) == 1:
        ((argv, mode),) = commands
        return lambda: one(argv, mode)
    return lambda: [one(argv, mode) for argv, mode in commands]


def first_window(value):
    """Whether an answer describes the window at index 0: vordalin's metadata, libtmux's
    window, or the text tmux printed."""
    if isinstance(value, str):
        return value.split("|")[0] == "0"
    return str(getattr(value, "index", None)) == "0"


def line_count(value):
    """Lines in a capture whatever its shape: one text, or libtmux's list of lines."""
    if isinstance(value, list):
        return len(value)
    return len(value.splitlines())


def repetitions(n, scale):
    """Enough for a stable median of a ~2 ms call, the whole run in a few minutes."""
    return max(20, int(n * scale))


def build_rows(main, listing, dash, counter, vordalin, libtmux, scale):
    """The rows, each with its callables bound to objects made once, outside the timing."""
    v_main = vordalin.Server(main.socket)
    v_list = vordalin.Server(listing.socket)
    v_dash = vordalin.Server(dash.socket)
    l_main = libtmux.Server(socket_path=main.socket)
    l_list = libtmux.Server(socket_path=listing.socket)
    l_dash = libtmux.Server(socket_path=dash.socket)
    list_sessions = Grower(listing, lambda i: [["new-session", "-d", "-s", f"s{i}", "exec cat"]])
    dash_sessions = Grower(dash, dash_session, batch=50)

    v_wins = next(s for s in v_main.sessions if s.name == "wins")
    v_window = v_wins.windows[0]
    v_panes_window = next(s for s in v_main.sessions if s.name == "panes").windows[0]
    key_pane_id = main.display("=keys:", "#{pane_id}")
    screen_pane_id = main.display("=screen:", "#{pane_id}")
    big_pane_id = main.display("=big:", "#{pane_id}")
    target_id = main.display("=panes:0.3", "#{pane_id}")
    v_keys = v_main.target_pane(key_pane_id)
    v_screen = v_main.target_pane(screen_pane_id)
    v_big = v_main.target_pane(big_pane_id)

    l_wins = l_main.sessions.get(session_name="wins")
    l_window = l_wins.windows[0]
    l_panes_window = l_main.sessions.get(session_name="panes").windows[0]
    l_keys = libtmux.Pane.from_pane_id(server=l_main, pane_id=key_pane_id)
    l_screen = libtmux.Pane.from_pane_id(server=l_main, pane_id=screen_pane_id)
    l_big = libtmux.Pane.from_pane_id(server=l_main, pane_id=big_pane_id)

    def fast(n):
        return repetitions(n, scale)

    def v_pair():
        session = v_main.new_session("pair")
        return session.kill()

    def l_pair():
        session = l_main.new_session(session_name="pair")
        session.kill()
        return True

    def sessions_row(count):
        return Row(
            f"sessions_{count}",
            f"sessions ({count} session{'s' if count > 1 else ''})",
            [(listing.argv("list-sessions", "-F", "#{session_name}"), "quiet")],
            lambda: v_list.sessions,
            lambda: l_list.sessions,
            lambda value: (line_count(value) if isinstance(value, str) else len(value)) == count,
            fast(600),
            target=1.03 if count == 500 else 1.02,
            prepare=lambda row: list_sessions.to(count),
        )

    def dash_server(count):
        # ps reads every process on the machine, so the listing server's idle sessions
        # would slow the snapshot's one ps and libtmux's hundred alike; no dashboard needs them.
        list_sessions.stop()
        dash_sessions.to(count)
        dash_ready(dash, count)

    def dashboard_row(count, reps, walks):
        def prepare(row):
            dash_server(count)
            # The limit runs what one snapshot ran: its tmux command line, then its ps.
            ran = counter.count(lambda n: snapshot_dashboard(v_dash), 1)
            row.commands = [([program, *argv], "quiet") for program in Counter.PROGRAMS for argv in ran[program].argvs]

        columns = {"snapshot": lambda: snapshot_dashboard(v_dash)}
        if walks:
            columns["members"] = lambda: members_dashboard(v_dash)
            columns["libtmux"] = lambda: libtmux_dashboard(l_dash)
        return Row(
            f"dashboard_{count}",
            f"dashboard ({count} sessions × {DASH_PANES} panes)",
            commands=[],
            vordalin=None,
            libtmux=None,
            check=dashboard_check(count),
            reps=reps,
            minimum=2,
            target=None if walks else 1.10,
            prepare=prepare,
            columns=columns,
            mirror="snapshot",
            blocks={"members": 1, "libtmux": 1},
            count_repeats=1,
        )

    def dashboard_channel_row(count, reps):
        # The walk without command lines, which need a ps or /proc and so no channel can give.
        def walk():
            return members_dashboard(v_dash, commandlines=False)

        return Row(
            f"dashboard_{count}_connected",
            f"dashboard ({count} sessions × {DASH_PANES} panes), members without command lines",
            commands=[],
            vordalin=None,
            libtmux=None,
            check=dashboard_check(count, commandlines=False),
            reps=reps,
            prepare=lambda row: dash_server(count),
            columns={"members": walk, "connected": walk},
            mirror=None,
            blocks={"members": 1, "connected": 2},
            count_repeats=1,
            connected=("connected",),
            channel=v_dash,
            speedup=CHANNEL_WALK_SPEEDUP,
            baseline="members",
            limit=False,
        )

    def over_channel(base, server, speedup):
        """The base row's operation with the server's channel open, timed beside the same
        limit. Its calls start no process, so there are no command lines to hold against
        the limit's: the base row's guard checks what vordalin sends, the same commands."""
        return Row(
            f"{base.key}_connected",
            base.label,
            base.commands,
            vordalin=None,
            libtmux=None,
            check=base.check,
            reps=base.reps,
            prepare=base.prepare,
            columns={"connected": base.vordalin},
            mirror=None,
            # A call takes a tenth of the limit's or less: more of them per block.
            blocks={"connected": 25},
            connected=("connected",),
            channel=server,
            speedup=speedup,
            base=base.key,
        )

    big_lines = HISTORY_LINES + SCREEN_ROWS
    rows = [
        Row(
            "has_session",
            "has_session (existing)",
            [(main.argv("has-session", "-t", "=wins"), "status")],
            lambda: v_main.has_session("wins"),
            lambda: l_main.has_session("wins"),
            lambda value: value is True,
            fast(600),
        ),
        Row(
            "has_session_missing",
            "has_session (missing)",
            [(main.argv("has-session", "-t", "=" + MISSING), "status")],
            lambda: v_main.has_session(MISSING),
            lambda: l_main.has_session(MISSING),
            lambda value: value is False,
            fast(600),
        ),
        sessions_row(1),
        sessions_row(100),
        sessions_row(500),
        Row(
            "windows",
            f"windows ({WINDOWS}-window session)",
            [
                (
                    main.argv("list-windows", "-t", "=wins", "-F", "#{window_index}|#{n:window_name}|#{window_name}"),
                    "quiet",
                )
            ],
            lambda: v_wins.windows,
            lambda: l_wins.windows,
            lambda value: (line_count(value) if isinstance(value, str) else len(value)) == WINDOWS,
            fast(600),
        ),
        Row(
            "window_metadata",
            "window metadata",
            [
                (
                    main.argv(
                        "list-panes",
                        "-t",
                        "=wins:=0",
                        "-f",
                        "0",
                        ";",
                        "display-message",
                        "-p",
                        "-t",
                        "=wins:=0",
                        "#{window_index}|#{n:window_name}|#{window_name}|#{window_active}|#{window_layout}"
                        "|#{window_width}|#{window_height}|#{window_flags}",
                    ),
                    "quiet",
                )
            ],
            lambda: v_window.metadata,
            lambda: (l_window.refresh(), l_window)[1],
            first_window,
            fast(600),
        ),
        Row(
            "panes",
            f"panes ({PANES}-pane window)",
            [
                (
                    main.argv(
                        "list-panes", "-t", "=panes:=0", "-F", "#{pane_index}|#{pane_id}|#{n:pane_title}|#{pane_title}"
                    ),
                    "quiet",
                )
            ],
            lambda: v_panes_window.panes,
            lambda: l_panes_window.panes,
            lambda value: (line_count(value) if isinstance(value, str) else len(value)) == PANES,
            fast(600),
        ),
        Row(
            "send_keys",
            "send_keys (short text)",
            [(main.argv("send-keys", "-t", key_pane_id, "--", KEYS), "raising")],
            lambda: v_keys.send_keys(KEYS),
            lambda: l_keys.send_keys(KEYS, enter=False),
            lambda value: value in (True, None),
            fast(600),
        ),
        Row(
            "capture",
            "capture (visible screen)",
            [(main.argv("capture-pane", "-p", "-t", screen_pane_id), "quiet")],
            lambda: v_screen.capture(),
            lambda: l_screen.capture_pane(),
            lambda value: "screen line 40:" in "\n".join(value) if isinstance(value, list) else "screen line 40:" in value,
            fast(600),
        ),
        Row(
            "capture_full",
            f"capture(full=True), {HISTORY_LINES:,} lines",
            [(main.argv("capture-pane", "-p", "-t", big_pane_id, "-S", "-"), "quiet")],
            lambda: v_big.capture(full=True),
            lambda: l_big.capture_pane(start="-"),
            lambda value: line_count(value) >= big_lines - 1,
            max(10, int(150 * scale)),
            target=1.05,
        ),
        Row(
            "pair",
            "new_session + kill",
            [
                (main.argv("new-session", "-d", "-P", "-F", "#{session_name}", "-s", "pair"), "checked"),
                (main.argv("kill-session", "-t", "=pair"), "status"),
            ],
            v_pair,
            l_pair,
            lambda value: value is True or value == ["pair\n", True],
            fast(300),
            minimum=2,
        ),
        Row(
            "target_pane",
            "target_pane",
            [
                (
                    main.argv(
                        "list-panes",
                        "-t",
                        target_id,
                        "-f",
                        "0",
                        ";",
                        "display-message",
                        "-p",
                        "-t",
                        target_id,
                        "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}",
                    ),
                    "checked",
                )
            ],
            lambda: v_main.target_pane(target_id),
            lambda: libtmux.Pane.from_pane_id(server=l_main, pane_id=target_id),
            lambda value: target_id in (value if isinstance(value, str) else value.pane_id),
            fast(600),
        ),
        # The walks take seconds a call: they run one call per round of blocks, and at 500
        # sessions not at all. These rows come last, as they stop the listing server.
        dashboard_row(DASH_SESSIONS[0], fast(30), walks=True),
        dashboard_channel_row(DASH_SESSIONS[0], fast(50)),
        dashboard_row(DASH_SESSIONS[1], fast(100), walks=False),
    ]
    # Each operation over the channel right after its per-process row, on the same server in
    # the same state (the listing server still at the row's count of sessions).
    servers = {"sessions_1": v_list, "sessions_500": v_list}
    ordered = []
    for row in rows:
        ordered.append(row)
        if row.key in CHANNEL_SPEEDUP:
            ordered.append(over_channel(row, servers.get(row.key, v_main), CHANNEL_SPEEDUP[row.key]))
    return ordered


# ------------------------------------------------------------------ the dashboard


def fields_of(record, names, prefix=""):
    """The named fields of one record; libtmux leaves out what its tmux does not report."""
    return tuple(getattr(record, prefix + name, None) for name in names)


def snapshot_dashboard(server):
    snapshot = server.snapshot(commandlines=True)
    return (
        [fields_of(session, SESSION_FIELDS) for session in snapshot.sessions],
        [fields_of(window, WINDOW_FIELDS) for window in snapshot.windows],
        [(pane.title, pane.current_command, pane.commandline) for pane in snapshot.panes],
    )


def members_dashboard(server, commandlines=True):
    sessions, windows, panes = [], [], []
    for session in server.sessions:
        sessions.append(fields_of(session.metadata(), SESSION_FIELDS))
        for window in session.windows:
            windows.append(fields_of(window.metadata, WINDOW_FIELDS))
            for pane in window.panes:
                shown = (pane.title, pane.current_command)
                panes.append(shown + (pane.current_commandline,) if commandlines else shown)
    return sessions, windows, panes


def ps_commandline(pid):
    """A pane's command line as a libtmux user reads it, having no member for it: ps."""
    done = subprocess.run(["ps", "-o", "args=", "-p", pid], stdin=DEVNULL, stdout=PIPE, stderr=DEVNULL, text=True)
    return done.stdout.strip() or None


def libtmux_dashboard(server):
    sessions, windows, panes = [], [], []
    for session in server.sessions:
        sessions.append(fields_of(session, SESSION_FIELDS, "session_"))
        for window in session.windows:
            windows.append(fields_of(window, WINDOW_FIELDS, "window_"))
            for pane in window.panes:
                panes.append((pane.pane_title, pane.pane_current_command, ps_commandline(pane.pane_pid)))
    return sessions, windows, panes


def dashboard_check(count, commandlines=True):
    program = (DASH_PROGRAM, DASH_COMMANDLINE) if commandlines else (DASH_PROGRAM,)

    def check(value):
        sessions, windows, panes = value
        programs = [pane[1:] for pane in panes]
        return len(sessions) == count and len(windows) == count and programs == [program] * (count * DASH_PANES)

    return check


# ------------------------------------------------------------------ timing


class LimitRunner:
    def __init__(self, program):
        self.program = program

    def command_line(self, row, options):
        argv = [self.program, *options]
        if any(mode in ("quiet", "checked") for _, mode in row.commands):
            argv.append("-o")
        argv.append("--")
        for i, (command, _) in enumerate(row.commands):
            if i:
                argv.append("---")
            argv.extend(command)
        return argv

    @staticmethod
    def read_block(lines, count):
        samples = [int(line) for line in lines[:count]]
        summary = {key: int(value) for key, value in (item.split("=") for item in lines[count].split())}
        return samples, summary

    def run(self, row, count, peak=False):
        """One fresh limit process running `count` calls."""
        options = ["-n", str(count)] + (["-m"] if peak else [])
        done = subprocess.run(self.command_line(row, options), stdin=DEVNULL, stdout=PIPE, check=True, text=True)
        return self.read_block(done.stdout.split("\n"), count)

    def serve(self, row):
        """A limit process that stays warm and runs a block whenever asked."""
        return LimitServer(self.command_line(row, ["-s", "-w", "1"]))


class LimitServer:
    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=PIPE, stdout=PIPE, text=True, bufsize=1)

    def block(self, count):
        self.process.stdin.write(f"{count}\n")
        self.process.stdin.flush()
        lines = [self.process.stdout.readline() for _ in range(count + 1)]
        samples, summary = LimitRunner.read_block(lines, count)
        return samples, summary["cpu_ns"]

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def time_block(operation, count):
    """Wall time of each call, and the processor time this process spent on all of them."""
    samples = []
    clock = time.perf_counter_ns
    cpu_start = time.process_time_ns()
    for _ in range(count):
        start = clock()
        operation()
        samples.append(clock() - start)
    return samples, time.process_time_ns() - cpu_start


@dataclass
class Measured:
    columns: tuple = COLUMNS
    # Per column, one list of samples (ns) per round of blocks.
    rounds: dict = field(init=False)
    # Per column, the caller's own processor time per call (ns), one figure per block.
    cpu: dict = field(init=False)
    # Per column, the tmux processes, the ps processes and tmux's stdout bytes per call.
    processes: dict = field(default_factory=dict)
    ps: dict = field(default_factory=dict)
    output: dict = field(default_factory=dict)

    def __post_init__(self):
        self.rounds = {c: [] for c in self.columns}
        self.cpu = {c: [] for c in self.columns}

    def samples(self, column):
        return [sample for block in self.rounds[column] for sample in block]

    def cpu_us(self, column):
        return statistics.median(self.cpu[column]) / 1e3

    def median_ms(self, column):
        return statistics.median(self.samples(column)) / 1e6

    def ratio(self, column, baseline="limit"):
        return self.median_ms(column) / self.median_ms(baseline)

    def speedup(self, column, baseline="limit"):
        return 1 / self.ratio(column, baseline)

    def ratio_interval(self, column, baseline="limit", resamples=2000):
        """A 95% bootstrap interval for ratio(column, baseline), drawing whole rounds, so
        that it shows how much the machine's noise could have moved the ratio."""
        import numpy

        generator = numpy.random.default_rng(6)
        column_rounds = [numpy.array(block) for block in self.rounds[column]]
        limit_rounds = [numpy.array(block) for block in self.rounds[baseline]]
        count = len(limit_rounds)
        ratios = []
        for _ in range(resamples):
            picks = generator.integers(0, count, count)
            mine = numpy.concatenate([column_rounds[i] for i in picks])
            theirs = numpy.concatenate([limit_rounds[i] for i in picks])
            ratios.append(numpy.median(mine) / numpy.median(theirs))
        low, high = numpy.percentile(ratios, [2.5, 97.5])
        return float(low), float(high)


def operations(row):
    if row.columns is not None:
        return row.columns
    return {"vordalin": row.vordalin, "subprocess": subprocess_operation(row.commands), "libtmux": row.libtmux}


def columns_of(row):
    return (("limit",) if row.limit else ()) + tuple(operations(row))


def use_channel(row, column):
    """Opens the row's channel for a column that runs over it and closes it for the others
    (the limit, a process of its own, runs either way)."""
    if row.channel is None or column == "limit":
        return
    if column not in row.connected:
        row.channel.disconnect()
    elif not row.channel.connected and not row.channel.connect():
        raise RuntimeError(f"{row.key}: the server runs no session for a channel to attach to")


def kept_channel(row, column):
    """Stops the run when a channel ended under a column: its calls then ran as processes."""
    if column in row.connected and not row.channel.connected:
        raise RuntimeError(f"{row.key}: the channel ended while {column} ran")


def open_channels(rows):
    return [row.key for row in rows if row.channel is not None and row.channel.connected]


def check_row(row, limit):
    """One call of each column, checked; it also warms them up."""
    for name, op in operations(row).items():
        use_channel(row, name)
        value = op()
        kept_channel(row, name)
        if not row.check(value):
            raise RuntimeError(f"{row.key}: {name} gave an unexpected answer: {str(value)[:200]!r}")
    if not row.limit:
        return
    expected_failures = 1 if row.key == "has_session_missing" else 0
    _, summary = limit.run(row, 1)
    if summary["failed"] != expected_failures:
        raise RuntimeError(f"{row.key}: the limit's command failed {summary['failed']} times")


def measure_row(row, limit, measured):
    ops = operations(row)
    columns = measured.columns
    # The Python columns run in a process that stays warm; so does the limit.
    server = limit.serve(row) if row.limit else None

    def block(column):
        count = row.blocks.get(column, row.block)
        if column == "limit":
            samples, cpu = server.block(count)
        else:
            use_channel(row, column)
            samples, cpu = time_block(ops[column], count)
            kept_channel(row, column)
        return samples, cpu / count

    try:
        # The slow columns' check call warmed them up; a block more would only cost time.
        for column in columns:
            if row.blocks.get(column, row.block) > 1:
                block(column)
        blocks = max(1, row.reps // row.block)
        for i in range(blocks):
            # Each block starts with a different column, so none always follows the same one.
            order = columns[i % len(columns) :] + columns[: i % len(columns)]
            for column in order:
                samples, cpu = block(column)
                measured.rounds[column].append(samples)
                measured.cpu[column].append(cpu)
    finally:
        if server is not None:
            server.close()


# ------------------------------------------------------------------ counting


@dataclass
class Ran:
    """What one program did for one operation: processes and stdout bytes (averages over
    the runs counted), and the first run's command lines, without the program's name."""

    processes: float
    output: float
    argvs: list


class Counter:
    """Puts shims for tmux and ps first on PATH while an operation runs, and reads back
    their logs."""

    PROGRAMS = ("tmux", "ps")

    def __init__(self, directory, real_tmux):
        self.bin = directory / "shim"
        self.bin.mkdir()
        shim = self.bin / "tmux"
        shutil.copyfile(HERE / "tmux_shim.sh", shim)
        shim.chmod(0o755)
        # ps goes through the same shim, told to run the real ps and log to a file of its own.
        ps = self.bin / "ps"
        ps.write_text(
            '#!/bin/sh\nVORDALIN_BENCH_LOG="$VORDALIN_BENCH_LOG.ps" VORDALIN_BENCH_TMUX="$VORDALIN_BENCH_PS" '
            'exec "${0%/*}/tmux" "$@"\n'
        )
        ps.chmod(0o755)
        log = directory / "shim.log"
        self.logs = {"tmux": log, "ps": directory / "shim.log.ps"}
        self.environment = {
            "VORDALIN_BENCH_LOG": str(log),
            "VORDALIN_BENCH_TMUX": real_tmux,
            "VORDALIN_BENCH_PS": shutil.which("ps") or "/bin/ps",
        }

    def count(self, run, repeats):
        """Per program, what `repeats` calls of run(repeats) did, per run."""
        saved = os.environ["PATH"]
        for log in self.logs.values():
            log.write_text("")
        os.environ["PATH"] = f"{self.bin}{os.pathsep}{saved}"
        os.environ.update(self.environment)
        try:
            run(repeats)
        finally:
            os.environ["PATH"] = saved
            for name in self.environment:
                del os.environ[name]
        ran = {}
        for program, log in self.logs.items():
            entries = [line.split("\x1f")[:-1] for line in log.read_text().splitlines()]
            ran[program] = Ran(
                len(entries) / repeats,
                sum(int(e[0]) for e in entries) / repeats,
                [e[1:] for e in entries[: len(entries) // repeats]],
            )
        return ran


def count_row(row, limit, counter, measured, commands_seen):
    """Counts each column's processes, and stops when the column the limit mirrors ran other
    command lines than the limit does: the comparison would no longer be like for like."""
    runs = {"limit": lambda n: limit.run(row, n)} if row.limit else {}
    for name, op in operations(row).items():
        runs[name] = lambda n, op=op: [op() for _ in range(n)]
    for column, run in runs.items():
        # Opened before the shims go on PATH: the channel's own client is no call's process.
        use_channel(row, column)
        ran = counter.count(run, row.count_repeats)
        kept_channel(row, column)
        measured.processes[column] = ran["tmux"].processes
        measured.ps[column] = ran["ps"].processes
        measured.output[column] = ran["tmux"].output
        commands_seen[column] = ran
    # A row over the channel runs no process to compare: what it sends is the base row's.
    if row.mirror is None:
        return
    for program in Counter.PROGRAMS:
        expected = [argv[1:] for argv, _ in row.commands if argv[0] == program]
        got = commands_seen[row.mirror][program].argvs
        if got != expected:
            raise RuntimeError(
                f"{row.key}: {row.mirror} ran {program} as {[shown(a, SOCKET_NAMES) for a in got]}, "
                f"the limit as {[shown(a, SOCKET_NAMES) for a in expected]}"
            )


# ------------------------------------------------------------------ peak memory


PROBE_SETUP = {
    "vordalin": (
        "import vordalin\n"
        "pane = vordalin.Server(SOCKET).target_pane(PANE)\n"
        "pane.capture()\n"
        "def capture():\n"
        "    return pane.capture(full=True)\n"
    ),
    "subprocess": (
        "import subprocess\n"
        "ARGV = ['tmux', '-u', '-S', SOCKET, 'capture-pane', '-p', '-t', PANE, '-S', '-']\n"
        "def run(argv):\n"
        "    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)\n"
        "    return done.stdout.decode(errors='replace') if done.returncode == 0 else None\n"
        "run(ARGV[:-2])\n"
        "def capture():\n"
        "    return run(ARGV)\n"
    ),
    "libtmux": (
        "import libtmux\n"
        "pane = libtmux.Pane.from_pane_id(server=libtmux.Server(socket_path=SOCKET), pane_id=PANE)\n"
        "pane.capture_pane()\n"
        "def capture():\n"
        "    return pane.capture_pane(start='-')\n"
    ),
}


def probe(library, socket, pane):
    """Runs in a fresh process: the peak resident size one full capture adds."""
    scope = {"SOCKET": socket, "PANE": pane}
    exec(PROBE_SETUP[library], scope)
    gc.collect()
    reset_peak()
    before = peak_kib()
    text = scope["capture"]()
    after = peak_kib()
    if isinstance(text, list):
        size = sum(len(line.encode()) + 1 for line in text)
    else:
        size = len(text.encode())
    print(json.dumps({"before_kib": before, "after_kib": after, "text_bytes": size}))


def fresh_probe(option, library, main, pane):
    """Runs a probe of this script in a fresh process and returns what it reported."""
    done = subprocess.run(
        [sys.executable, __file__, option, library, "--socket", main.socket, "--pane", pane],
        stdin=DEVNULL,
        stdout=PIPE,
        check=True,
        text=True,
    )
    return json.loads(done.stdout)


def measure_peaks(main, big_pane_id, limit, rows, runs=5):
    big = next(row for row in rows if row.key == "capture_full")
    added = {c: [] for c in COLUMNS}
    text_bytes = {}
    for _ in range(runs):
        _, summary = limit.run(big, 1, peak=True)
        added["limit"].append(summary["hwm_after_kib"] - summary["hwm_before_kib"])
        text_bytes["limit"] = summary["bytes"]
        for library in PEERS:
            result = fresh_probe("--probe", library, main, big_pane_id)
            added[library].append(result["after_kib"] - result["before_kib"])
            text_bytes[library] = result["text_bytes"]
    return {c: statistics.median(v) for c, v in added.items()}, text_bytes


def pool_probe(library, socket, pane):
    """Runs in a fresh process: how much more is resident once a pool of threads has made the
    full captures between them and sits idle, its threads alive. Whatever a library keeps per
    thread between calls shows here, multiplied by the threads."""
    scope = {"SOCKET": socket, "PANE": pane}
    exec(PROBE_SETUP[library], scope)
    capture = scope["capture"]
    gc.collect()
    before = resident_kib()
    # Each task waits until all have started, so every thread of the pool makes its share.
    started = threading.Barrier(POOL_THREADS)

    def share(_):
        started.wait()
        return {capture().count("\n") for _ in range(POOL_CAPTURES // POOL_THREADS)}

    with ThreadPoolExecutor(POOL_THREADS) as pool:
        lines = set().union(*pool.map(share, range(POOL_THREADS)))
        gc.collect()
        after = resident_kib()
    assert len(lines) == 1, lines
    print(json.dumps({"growth_kib": after - before, "text_bytes": len(capture().encode())}))


def measure_pool(main, big_pane_id, runs=3):
    """Median resident growth per library over fresh processes, and one capture's size."""
    growth = {}
    for library in ("vordalin", "subprocess"):
        figures = []
        for _ in range(runs):
            figures.append(fresh_probe("--pool-probe", library, main, big_pane_id))
        growth[library] = statistics.median(f["growth_kib"] for f in figures)
        text_bytes = figures[-1]["text_bytes"]
    return growth, text_bytes


# ------------------------------------------------------------------ the channel's server and noise


def server_pid(tmux):
    return int(tmux.run("display-message", "-p", "#{pid}"))


class ControlClient:
    """A control-mode client of our own, for the route the channel does not take: captures
    printed to the client. Each batch of commands ends with one that prints a token, read
    back once everything before it has answered."""

    def __init__(self, tmux):
        self.process = subprocess.Popen(
            [tmux.real, "-u", "-S", tmux.socket, "-C", "attach-session", "-f", "no-output,ignore-size"],
            stdin=PIPE,
            stdout=PIPE,
            stderr=DEVNULL,
        )

    def batch(self, command, count):
        token = f"vordalin-bench-{time.monotonic_ns()}".encode()
        self.process.stdin.write((command + "\n").encode() * count + b"display-message -p " + token + b"\n")
        self.process.stdin.flush()
        for line in self.process.stdout:
            if line.rstrip(b"\n") == token:
                return
        raise RuntimeError("the control client ended")

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def server_growth(tmux, capture):
    """The server's resident size (KiB) before and after CHANNEL_CAPTURES visible captures,
    counted from a warm state: capture(n) makes n of them."""
    pid = server_pid(tmux)
    capture(CHANNEL_WARM_CAPTURES)
    before = resident_kib(pid)
    capture(CHANNEL_CAPTURES)
    return {"before": before, "after": resident_kib(pid)}


def channel_growth(tmux, pane_id):
    """The captures made by vordalin over a channel: a buffer saved to a file, then read."""
    import vordalin

    server = vordalin.Server(tmux.socket)
    pane = server.target_pane(pane_id)
    if not server.connect():
        raise RuntimeError("no channel to the memory check's server")

    def capture(count):
        for _ in range(count):
            if "screen line 40:" not in pane.capture():
                raise RuntimeError("a capture over the channel lost the screen")
        if not server.connected:
            raise RuntimeError("the channel ended during the memory check")

    try:
        return server_growth(tmux, capture)
    finally:
        server.disconnect()


def printed_growth(tmux, pane_id, batch=100):
    """The captures printed to a control client, the route the channel does not take."""
    client = ControlClient(tmux)

    def capture(count):
        for _ in range(count // batch):
            client.batch(f"capture-pane -p -t {pane_id}", batch)

    try:
        return server_growth(tmux, capture)
    finally:
        client.close()


def server_memory(real_tmux, directory):
    """Whether the tmux server grows over many visible captures, each route on a fresh server
    holding the screen session."""
    figures = {}
    for route, growth in (("channel", channel_growth), ("printed", printed_growth)):
        tmux = Tmux(real_tmux, str(directory / f"mem-{route}"))
        try:
            tmux.run(*screen_session())
            screen_ready(tmux)
            figures[route] = growth(tmux, tmux.display("=screen:", "#{pane_id}"))
        finally:
            tmux.kill()
    return figures


def placement_noise(tmux, server, reps, rounds=6):
    """has_session over the channel with this process and tmux's two (the server and the
    channel's client) on one CPU, split over two, and wherever the scheduler puts them, in
    interleaved rounds: how much of a small call the wake-ups across CPUs take."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return None
    if not server.connect():
        raise RuntimeError("no channel for the placement rounds")
    clients = tmux.run("list-clients", "-F", "#{client_control_mode} #{client_pid}").split("\n")
    pids = [server_pid(tmux)] + [int(line.split()[1]) for line in clients if line.startswith("1 ")]
    saved = {pid: os.sched_getaffinity(pid) for pid in [0, *pids]}
    placements = {
        "anywhere (the scheduler's choice)": (cpus, cpus),
        f"one CPU (all on CPU {cpus[0]})": ([cpus[0]], [cpus[0]]),
        f"two CPUs (caller on {cpus[0]}, tmux on {cpus[1]})": ([cpus[0]], [cpus[1]]),
    }
    samples = {name: [] for name in placements}
    names = list(placements)
    try:
        for i in range(rounds):
            for name in names[i % len(names) :] + names[: i % len(names)]:
                mine, theirs = placements[name]
                os.sched_setaffinity(0, mine)
                for pid in pids:
                    os.sched_setaffinity(pid, theirs)
                time_block(lambda: server.has_session("wins"), 20)
                samples[name].extend(time_block(lambda: server.has_session("wins"), reps)[0])
        if not server.connected:
            raise RuntimeError("the channel ended during the placement rounds")
    finally:
        for pid, mask in saved.items():
            os.sched_setaffinity(pid, mask)
        server.disconnect()
    return {"placements": {name: spread(values) for name, values in samples.items()}, "work": server_work(tmux)}


def server_work(tmux, command="has-session -t =wins", count=1000):
    """Microseconds the server spends on one command, sent many at once to a control client
    of our own, so that no wake-up waits between them."""
    client = ControlClient(tmux)
    try:
        client.batch(command, count // 10)
        start = time.perf_counter_ns()
        client.batch(command, count)
        return (time.perf_counter_ns() - start) / count / 1e3
    finally:
        client.close()


def spread(samples):
    """The 10th, 50th and 90th percentiles of samples in ns, as microseconds."""
    ordered = sorted(samples)
    return tuple(ordered[min(len(ordered) - 1, len(ordered) * q // 10)] / 1e3 for q in (1, 5, 9))


# ------------------------------------------------------------------ report


def fmt_ratio(measured, column):
    return f"{measured.median_ms(column):.3f} ({measured.ratio(column):.2f}×)"


def fmt_count(value):
    return f"{value:g}"


def limit_verdict(text, measured, column, target):
    ratio = measured.ratio(column)
    low, high = measured.ratio_interval(column)
    return (f"{text} ≤ {target:.2f}", ratio <= target, f"{ratio:.3f} (95% interval {low:.3f}–{high:.3f})")


def verdicts(rows, results, peaks, text_bytes, pool):
    """Each target of the single operations, with whether this run met it."""
    lines = [limit_verdict(f"{row.label}: vordalin / limit", results[row.key], "vordalin", row.target) for row in rows]
    for row in rows:
        m = results[row.key]
        v, s = m.median_ms("vordalin"), m.median_ms("subprocess")
        lines.append((f"{row.label}: at or below subprocess.run", v <= s, f"{v:.3f} vs {s:.3f} ms"))
    for row in rows:
        m = results[row.key]
        if m.processes["libtmux"] > 1 or m.output["libtmux"] > m.output["vordalin"]:
            v, lt = m.median_ms("vordalin"), m.median_ms("libtmux")
            lines.append((f"{row.label}: faster than libtmux", v < lt, f"{v:.3f} vs {lt:.3f} ms"))
    for row in rows:
        m = results[row.key]
        got = m.processes["vordalin"]
        lines.append((f"{row.label}: at most {row.minimum} tmux process(es)", got <= row.minimum, fmt_count(got)))
    size = text_bytes["vordalin"]
    added = peaks["vordalin"] * 1024
    lines.append(
        ("capture(full=True): peak RSS added ≤ 2 × text", added <= 2 * size, f"{added / size:.2f} × {size:,} bytes")
    )
    held, floor, size = pool["growth"]["vordalin"], pool["growth"]["subprocess"], pool["text_bytes"]
    lines.append(
        (
            f"{POOL_THREADS} idle pool threads after {POOL_CAPTURES} full captures: "
            "RSS growth ≤ subprocess.run's + 2 × text",
            held * 1024 <= floor * 1024 + 2 * size,
            f"{held:,.0f} KiB vs {floor:,.0f} + {2 * size / 1024:,.0f} KiB",
        )
    )
    return lines


def dashboard_verdicts(dashboards, results):
    lines = []
    for row in dashboards:
        m = results[row.key]
        if "libtmux" in m.columns:
            snapshot, peer = m.median_ms("snapshot"), m.median_ms("libtmux")
            lines.append(
                (
                    f"{row.label}: snapshot ≥ {PEER_SPEEDUP}× faster than libtmux",
                    peer >= PEER_SPEEDUP * snapshot,
                    f"{peer / snapshot:.1f}× ({snapshot:.2f} vs {peer:.1f} ms)",
                )
            )
        tmux, ps = m.processes["snapshot"], m.ps["snapshot"]
        lines.append(
            (
                f"{row.label}: snapshot runs at most {row.minimum} processes (tmux and ps)",
                tmux + ps <= row.minimum,
                f"{fmt_count(tmux)} tmux + {fmt_count(ps)} ps",
            )
        )
        if row.target is not None:
            lines.append(limit_verdict(f"{row.label}: snapshot / limit", m, "snapshot", row.target))
    return lines


def channel_verdicts(channel_rows, results, memory):
    lines = []
    for row in channel_rows:
        m = results[row.key]
        column = row.connected[0]
        got = m.speedup(column, row.baseline)
        low, high = m.ratio_interval(column, row.baseline)
        against = "the limit" if row.baseline == "limit" else "the same walk without it"
        lines.append(
            (
                f"{row.label} over the channel: ≥ {row.speedup:g}× faster than {against}",
                got >= row.speedup,
                f"{got:.1f}× (95% interval {1 / high:.1f}–{1 / low:.1f}×; "
                f"{m.median_ms(column):.3f} vs {m.median_ms(row.baseline):.3f} ms)",
            )
        )
    if channel_rows:
        started = max(
            results[row.key].processes[row.connected[0]] + results[row.key].ps[row.connected[0]] for row in channel_rows
        )
        lines.append(
            ("every call over the channel: no process started", started == 0, f"at most {fmt_count(started)} per call")
        )
    if memory is not None:
        grew = memory["channel"]["after"] - memory["channel"]["before"]
        printed = memory["printed"]["after"] - memory["printed"]["before"]
        lines.append(
            (
                f"tmux server over {CHANNEL_CAPTURES:,} visible captures over the channel: "
                f"RSS growth ≤ {SERVER_GROWTH_KIB:,} KiB",
                grew <= SERVER_GROWTH_KIB,
                f"{grew:+,} KiB ({memory['channel']['before']:,} → {memory['channel']['after']:,} KiB; "
                f"printed to a control client instead: {printed:+,} KiB)",
            )
        )
    return lines


def shown(argv, sockets):
    """A logged command line for the report: sockets by name, long format lists and pid
    lists cut short."""
    words = []
    for arg in argv:
        fields = arg.count("#{")
        if len(arg) > 60 and fields > 3:
            arg = arg[: arg.index("}") + 1] + f"… ({fields} fields)"
        elif len(arg) > 40 and re.fullmatch(r"\d+(,\d+)+", arg):
            arg = arg[: arg.index(",")] + f",… ({arg.count(',') + 1} pids)"
        word = shlex.quote(arg)
        for name, path in sockets.items():
            word = word.replace(path, name)
        words.append(word)
    return " ".join(words)


WALKS = ("snapshot", "members", "libtmux")


def render_dashboards(dashboards, results):
    out = ["## Dashboard\n"]
    out.append(
        "A workload rather than one call: every session's metadata, every window's metadata, and every pane's "
        f"title, command and command line, on a server whose sessions each hold one window of {DASH_PANES} panes "
        f"running `{DASH_COMMANDLINE}`. Medians per dashboard in milliseconds, ratio to the limit in brackets. "
        "*snapshot* is one `Server.snapshot(commandlines=True)`, read field by field. *members* walks "
        "`server.sessions`, `session.metadata()`, `session.windows`, `window.metadata`, `window.panes` and each "
        "pane's `title`, `current_command` and `current_commandline`. *libtmux* walks `server.sessions`, "
        "`session.windows` and `window.panes`, reads their attributes, and runs `ps -o args= -p PID` for each "
        "pane's command line, having no member for it. *limit* runs, in one C process per call, the tmux command "
        "line the snapshot runs and then the ps it runs (the pids of every pane), reading both through a pipe: "
        "the two command lines, taken from the shims' log of one snapshot, are below. The walks take seconds "
        "per call, so they run once per round of blocks (the samples column counts the snapshot's "
        f"calls), and at {DASH_SESSIONS[1]} sessions not at all. ps reads every process on the machine, so the "
        "listing server's idle sessions are gone before these rows. *processes* counts tmux + ps processes per "
        "dashboard.\n"
    )
    out.append(
        "| workload | samples | limit | snapshot | members | libtmux | processes (snapshot / members / libtmux) |"
    )
    out.append("|---|---:|---:|---:|---:|---:|:---:|")
    for row in dashboards:
        m = results[row.key]
        cells = [fmt_ratio(m, c) if c in m.columns else "—" for c in WALKS]
        procs = " / ".join(
            f"{fmt_count(m.processes[c])} + {fmt_count(m.ps[c])}" if c in m.columns else "—" for c in WALKS
        )
        out.append(
            f"| {row.label} | {len(m.samples('snapshot'))} | {m.median_ms('limit'):.3f} | "
            + " | ".join(cells)
            + f" | {procs} |"
        )
    out.append("")
    return out


MEMORY_ROUTES = (("channel", "vordalin over the channel"), ("printed", "`capture-pane -p` to a control client"))


def render_channel(channel_rows, results, memory):
    out = ["## Over the persistent channel\n"]
    out.append(
        "The same operations with `Server.connect()` in effect: every call goes to one tmux client in control "
        "mode, started once, instead of starting a tmux process. Each row ran right after its per-process row, "
        "against the same server, its *connected* column in interleaved blocks with the same *limit* as there "
        "(one tmux process per call, in C); *speed-up* is the limit's median over the connected one. *vordalin "
        "per process* repeats the per-process row's median for comparison. The dashboard's row walks the "
        "per-object members as in the dashboard table, without `current_commandline` (a command line comes from "
        "the process table, which no channel reaches), once with the channel open and once without, in the same "
        "rounds; its speed-up is over the walk without. *processes* counts the processes one connected call "
        "starts, tmux + ps, with the shims first on PATH. Every other row of this report ran with no channel "
        "open in the benchmark's process (checked before each), so the per-process rows show the per-process "
        "path as it is without one.\n"
    )
    out.append("| operation | samples | limit | vordalin per process | connected | speed-up | target | processes |")
    out.append("|---|---:|---:|---:|---:|---:|---:|:---:|")
    for row in channel_rows:
        m = results[row.key]
        column = row.connected[0]
        if row.limit:
            limit_cell = f"{m.median_ms('limit'):.3f}"
            base = results.get(row.base)
            per_process = f"{base.median_ms('vordalin'):.3f}" if base is not None else "—"
        else:
            limit_cell, per_process = "—", f"{m.median_ms(row.baseline):.3f}"
        procs = f"{fmt_count(m.processes[column])} + {fmt_count(m.ps[column])}"
        out.append(
            f"| {row.label} | {len(m.samples(column))} | {limit_cell} | {per_process} | {m.median_ms(column):.3f} "
            f"| {m.speedup(column, row.baseline):.1f}× | ≥ {row.speedup:g}× | {procs} |"
        )
    out.append("")
    if memory is not None:
        out.append(
            f"The tmux server's resident size (VmRSS of its process) before and after {CHANNEL_CAPTURES:,} captures "
            f"of the visible screen, after {CHANNEL_WARM_CAPTURES} to warm up, each route on a fresh server: "
            "vordalin over the channel, which has tmux save the capture to a buffer, the buffer to a file, and "
            "reads the file; and, for contrast, `capture-pane -p` sent to a control client, which prints it to "
            "the client. The contrast shows the size the check can see: the printed captures stay in the server. "
            f"The bound, {SERVER_GROWTH_KIB:,} KiB, is what a hundred bytes kept per capture would pass; what the "
            "allocator keeps for itself moves the figure by tens of KiB.\n"
        )
        out.append("| route | KiB before | KiB after | growth |")
        out.append("|---|---:|---:|---:|")
        for route, label in MEMORY_ROUTES:
            before, after = memory[route]["before"], memory[route]["after"]
            out.append(f"| {label} | {before:,} | {after:,} | {after - before:+,} |")
        out.append("")
    return out


def render_noise(channel_rows, results, placement):
    out = ["## Noise\n"]
    out.append(
        f"This machine has {os.cpu_count()} CPUs. A call over the channel is handed on three times: from the "
        "caller to the channel's client, on to the server, and back through the client to the caller. Each "
        "hand-over wakes a sleeping process, which costs most when it lands on another CPU (an interrupt to it, "
        "which may first have to leave its idle state) or on one busy with other work. For a small call those "
        "wake-ups, not tmux's work, make most of the time (the pinned rounds below measure both), and with few "
        "CPUs where the three processes run changes from block to block, so small calls over the channel vary "
        "far more, relative to their time, than calls through a process, which spend a millisecond or more "
        "starting tmux. Percentiles of the connected samples, and the range of the medians of their rounds of "
        "blocks (each a small run of its own), in microseconds, with the speed-up's bootstrap interval:\n"
    )
    out.append("| operation | p10 / median / p90 | round medians, lowest–highest | speed-up, 95% interval |")
    out.append("|---|---:|---:|---:|")
    for row in channel_rows:
        m = results[row.key]
        column = row.connected[0]
        low, median, high = spread(m.samples(column))
        medians = [statistics.median(block) / 1e3 for block in m.rounds[column]]
        ratio_low, ratio_high = m.ratio_interval(column, row.baseline)
        out.append(
            f"| {row.label} | {low:,.0f} / {median:,.0f} / {high:,.0f} | {min(medians):,.0f}–{max(medians):,.0f} "
            f"| {1 / ratio_high:.1f}–{1 / ratio_low:.1f}× |"
        )
    out.append("")
    if placement is not None:
        out.append(
            "`has_session` over the channel with the processes pinned (sched_setaffinity: this process, and the "
            "tmux server and the channel's client), in interleaved rounds, microseconds: the spread placement "
            "alone makes on this machine as it was during the run. The server's own work for the command is "
            f"{placement['work']:.0f} µs, the time per command when a thousand go to a control client at once, "
            "with no hand-over between them; the rest of a call is the hand-overs.\n"
        )
        out.append("| placement | p10 | median | p90 |")
        out.append("|---|---:|---:|---:|")
        for name, (low, median, high) in placement["placements"].items():
            out.append(f"| {name} | {low:,.0f} | {median:,.0f} | {high:,.0f} |")
        out.append("")
    return out


def masked(program, argv):
    """A command line with what names its target or pids cut out, so that one pane's command
    groups with the same command for the next pane."""
    flag = "-p" if program == "ps" else "-t"
    return tuple("…" if i and argv[i - 1] == flag else arg for i, arg in enumerate(argv))


def command_lines(ran, grouped):
    """One column's command lines as the report lists them; grouped, each distinct command
    shows once, as first run, with how often it ran."""
    runs = [(program, argv) for program in Counter.PROGRAMS for argv in ran[program].argvs]
    if not grouped:
        return "; ".join(f"`{shown([program, *argv], SOCKET_NAMES)}`" for program, argv in runs)
    groups = {}
    for program, argv in runs:
        groups.setdefault((program, masked(program, argv)), [program, argv, 0])[2] += 1
    return "; ".join(f"`{shown([program, *argv], SOCKET_NAMES)}` ×{n}" for program, argv, n in groups.values())


def render(rows, dashboards, channel_rows, results, peaks, text_bytes, pool, memory, placement, environment, commands):
    out = []
    out.append("# Benchmark results\n")
    out.append(
        "Generated by `make bench`. Medians per operation in milliseconds, with the ratio to the limit in "
        "brackets; every column of a row ran in the same interleaved blocks, after warm-up, against a private "
        "tmux server. *limit* is a C program that runs the same tmux command line with posix_spawnp (reading "
        "standard output through a pipe when the operation reads it); *subprocess* runs that same command line "
        "with `subprocess.run`; *libtmux* is its closest equivalent call. *processes* counts the tmux processes "
        "one operation starts (vordalin / subprocess / libtmux), counted with a shim first on PATH after "
        "warm-up, and *stdout bytes* what they write.\n"
    )
    out.append("| operation | samples | limit | vordalin | subprocess.run | libtmux | processes | stdout bytes |")
    out.append("|---|---:|---:|---:|---:|---:|:---:|---:|")
    for row in rows:
        m = results[row.key]
        procs = " / ".join(fmt_count(m.processes[c]) for c in PEERS)
        outputs = " / ".join(f"{m.output[c]:,.0f}" for c in PEERS)
        out.append(
            f"| {row.label} | {len(m.samples('vordalin'))} | {m.median_ms('limit'):.3f} | {fmt_ratio(m, 'vordalin')} "
            f"| {fmt_ratio(m, 'subprocess')} | {fmt_ratio(m, 'libtmux')} | {procs} | {outputs} |"
        )
    out.append("")
    out.append(
        "The caller's own processor time per operation in microseconds (median over blocks; the tmux "
        "processes' time is not in it). Wall time on a shared machine is noisy; this shows the cost each "
        "caller adds by itself.\n"
    )
    out.append("| operation | limit | vordalin | subprocess.run | libtmux |")
    out.append("|---|---:|---:|---:|---:|")
    for row in rows:
        m = results[row.key]
        out.append(f"| {row.label} | " + " | ".join(f"{m.cpu_us(c):,.0f}" for c in COLUMNS) + " |")
    out.append("")
    out.append(
        f"Peak resident size one `capture(full=True)` of the {HISTORY_LINES:,}-line pane adds to a fresh "
        "process (VmHWM from /proc/self/status, reset just before the call; median of 5 processes each). "
        "Any caller that turns the bytes into a `str` holds both at once, so 2 × the text is the floor for "
        "all but the limit, which keeps bytes only:\n"
    )
    out.append("| | limit | vordalin | subprocess.run | libtmux |")
    out.append("|---|---:|---:|---:|---:|")
    out.append("| peak RSS added (KiB) | " + " | ".join(f"{peaks[c]:,.0f}" for c in COLUMNS) + " |")
    out.append(
        "| × captured text | "
        + " | ".join(f"{peaks[c] * 1024 / text_bytes[c]:.2f}" for c in COLUMNS)
        + " |"
    )
    out.append(f"\nCaptured text: {text_bytes['vordalin']:,} bytes.\n")
    out.append(
        f"Memory held between calls: a fresh process starts a pool of {POOL_THREADS} threads, which make "
        f"{POOL_CAPTURES} full captures of the same pane between them and then sit idle; the table shows how "
        "much more is resident then than before (VmRSS, median of 3 processes each). Anything a library keeps "
        "per thread shows here once per thread:\n"
    )
    out.append("| | vordalin | subprocess.run |")
    out.append("|---|---:|---:|")
    out.append(
        "| RSS growth (KiB) | " + " | ".join(f"{pool['growth'][c]:,.0f}" for c in ("vordalin", "subprocess")) + " |"
    )
    out.append("")
    if dashboards:
        out.extend(render_dashboards(dashboards, results))
    if channel_rows or memory is not None:
        out.extend(render_channel(channel_rows, results, memory))
    if channel_rows or placement is not None:
        out.extend(render_noise(channel_rows, results, placement))
    out.append("## Targets\n")
    out.append("| target | met | measured |")
    out.append("|---|:---:|---|")
    targets = (
        verdicts(rows, results, peaks, text_bytes, pool)
        + dashboard_verdicts(dashboards, results)
        + channel_verdicts(channel_rows, results, memory)
    )
    for text, met, value in targets:
        out.append(f"| {text} | {'yes' if met else '**no**'} | {value} |")
    out.append(
        "\nThe interval is a bootstrap over the rounds of interleaved blocks: where it straddles the target, "
        "this run cannot tell a miss from the machine's noise.\n"
    )
    out.append("\n## Command lines\n")
    out.append(
        "What each column ran for one operation, as the shims logged it (MAIN, LIST and DASH are the sockets); "
        "for the dashboard's walks, each distinct command once, with how often it ran:\n"
    )
    for row in rows + dashboards + channel_rows:
        out.append(f"- {row.label}" + (", channel row" if row.connected else ""))
        for column in columns_of(row):
            if column in row.connected:
                out.append(f"  - {column}: none (over the channel)")
            elif column != "limit" or row.dashboard:
                grouped = column in ("members", "libtmux") and row.columns is not None
                out.append(f"  - {column}: {command_lines(commands[row.key][column], grouped)}")
    out.append("\n## Environment\n")
    for key, value in environment.items():
        out.append(f"- {key}: {value}")
    out.append("\n![ratio to the limit](results.png)\n")
    return "\n".join(out)


def chart(rows, results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    labels = [row.label for row in rows]
    top = max(results[row.key].ratio(c) for row in rows for c in PEERS)
    width = 0.27
    fig, ax = plt.subplots(figsize=(13, 6))
    colors = {"vordalin": "#2a7ab0", "subprocess": "#9a9a9a", "libtmux": "#d9822b"}
    for i, column in enumerate(PEERS):
        xs = [x + (i - 1) * width for x in range(len(rows))]
        ratios = [results[row.key].ratio(column) for row in rows]
        bars = ax.bar(xs, ratios, width, label=column if column != "subprocess" else "subprocess.run", color=colors[column])
        for bar, ratio in zip(bars, ratios):
            ax.annotate(
                f"{ratio:.2f}",
                (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                ha="center",
                va="bottom",
                fontsize=6.5,
                rotation=90,
                xytext=(0, 2),
                textcoords="offset points",
            )
    ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--", label="limit (C posix_spawnp)")
    ax.set_yscale("log")
    ticks = [t for t in (1, 1.25, 1.5, 2, 3, 5, 10, 20, 50) if t <= max(2.0, top * 1.6)]
    ax.set_yticks(ticks)
    ax.set_yticklabels([f"{t:g}×" for t in ticks])
    ax.yaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.set_ylabel("median time / limit (log scale)")
    ax.set_xticks(range(len(rows)))
    ax.set_xticklabels(labels, rotation=30, ha="right", fontsize=8)
    ax.set_title("tmux operations: time relative to the limit")
    ax.legend(fontsize=8)
    ax.set_ylim(0.8, top * 1.6)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def load_average():
    """The 1-minute load average: other work on the machine shows here."""
    return f"{os.getloadavg()[0]:.2f}"


def environment_facts(real_tmux, libtmux):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = re.search(r"^model name\s*:\s*(.*)$", info.read(), re.M).group(1)
    except (OSError, AttributeError):
        pass
    tmux_version = subprocess.run([real_tmux, "-V"], stdout=PIPE, text=True).stdout.strip()
    return {
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "tmux": tmux_version,
        "Python": platform.python_version(),
        "libtmux": libtmux.__version__,
        "CPU": f"{cpu}, {os.cpu_count()} cores",
        "kernel": platform.release(),
    }


# ------------------------------------------------------------------ main


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", help="the limit program built from limit.c")
    parser.add_argument("--out", default=str(HERE), help="where results.md and results.png go")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the repetition counts")
    parser.add_argument(
        "--only",
        help="comma-separated row keys to run, and server_rss or placement for those checks "
        "(the report then covers only those)",
    )
    parser.add_argument("--keep-samples", help="write every sample to this JSON file")
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    parser.add_argument("--pool-probe", help=argparse.SUPPRESS)
    parser.add_argument("--socket", help=argparse.SUPPRESS)
    parser.add_argument("--pane", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        probe(args.probe, args.socket, args.pane)
        return
    if args.pool_probe:
        pool_probe(args.pool_probe, args.socket, args.pane)
        return
    if not args.limit:
        parser.error("--limit is required")

    import libtmux
    import vordalin

    real_tmux = shutil.which("tmux")
    if real_tmux is None:
        sys.exit("tmux is not on PATH")
    limit = LimitRunner(str(Path(args.limit).resolve()))
    started = time.monotonic()
    load_before = load_average()

    # Unix socket paths are short; keep everything in one short private directory.
    directory = Path(tempfile.mkdtemp(prefix="vb", dir="/tmp"))
    os.environ.pop("TMUX", None)
    os.environ.pop("TMUX_PANE", None)
    # The per-process rows must start their processes: no channel opens unless a row asks.
    os.environ.pop("VORDALIN_CHANNEL", None)
    os.environ["TMUX_TMPDIR"] = str(directory)
    os.environ["SHELL"] = "/bin/sh"
    main_server = Tmux(real_tmux, str(directory / "main"))
    listing = Tmux(real_tmux, str(directory / "list"))
    dash = Tmux(real_tmux, str(directory / "dash"))
    SOCKET_NAMES.update({"MAIN": main_server.socket, "LIST": listing.socket, "DASH": dash.socket})
    try:
        log("starting the servers and filling 100,000 lines of history")
        start_main_server(main_server)
        counter = Counter(directory, real_tmux)
        rows = build_rows(main_server, listing, dash, counter, vordalin, libtmux, args.scale)
        wanted = set(args.only.split(",")) if args.only else None
        if wanted is not None:
            rows = [row for row in rows if row.key in wanted]
        results = {}
        commands = {}
        for row in rows:
            if open_channels(rows):
                raise RuntimeError(f"{row.key}: a channel is still open: {open_channels(rows)}")
            if row.prepare is not None:
                row.prepare(row)
            log(f"{row.label}{' (channel)' if row.connected else ''}: {row.reps} repetitions")
            measured = Measured(columns_of(row))
            try:
                check_row(row, limit)
                commands[row.key] = {}
                count_row(row, limit, counter, measured, commands[row.key])
                measure_row(row, limit, measured)
            finally:
                if row.channel is not None:
                    row.channel.disconnect()
            results[row.key] = measured
            if row.connected:
                column = row.connected[0]
                verdict = f"{measured.speedup(column, row.baseline):.1f}× faster than {row.baseline}"
            else:
                verdict = f"{row.mirror}/limit {measured.ratio(row.mirror):.3f}"
            log("  " + "  ".join(f"{c} {measured.median_ms(c):.3f} ms" for c in measured.columns) + "  " + verdict)
        memory = placement = None
        if wanted is None or "placement" in wanted:
            log("has_session over the channel, pinned to one CPU and to two")
            placement = placement_noise(main_server, vordalin.Server(main_server.socket), repetitions(400, args.scale))
            if placement is not None:
                medians = [f"{name}: {median:.0f} µs" for name, (_, median, _) in placement["placements"].items()]
                log(f"  {'  '.join(medians)}  the server's work: {placement['work']:.0f} µs")
        if wanted is None or "server_rss" in wanted:
            log(f"the tmux server's memory over {CHANNEL_CAPTURES:,} captures")
            memory = server_memory(real_tmux, directory)
            log("  " + "  ".join(f"{route} {f['before']:,} → {f['after']:,} KiB" for route, f in memory.items()))
        if any(row.key == "capture_full" for row in rows):
            log("peak memory of one full capture, in fresh processes")
            big_pane_id = main_server.display("=big:", "#{pane_id}")
            peaks, text_bytes = measure_peaks(main_server, big_pane_id, limit, rows)
            log(f"memory {POOL_THREADS} pool threads hold after {POOL_CAPTURES} full captures, in fresh processes")
            growth, pool_bytes = measure_pool(main_server, big_pane_id)
            pool = {"growth": growth, "text_bytes": pool_bytes}
            log("  " + "  ".join(f"{c} +{kib:,.0f} KiB" for c, kib in growth.items()))
        else:
            peaks, text_bytes, pool = None, None, None
    finally:
        main_server.kill()
        listing.kill()
        dash.kill()
        shutil.rmtree(directory, ignore_errors=True)

    environment = environment_facts(real_tmux, libtmux)
    environment["run time"] = f"{time.monotonic() - started:.0f} s"
    environment["load average before / after"] = f"{load_before} / {load_average()}"
    if args.keep_samples:
        with open(args.keep_samples, "w") as keep:
            json.dump({key: m.rounds for key, m in results.items()}, keep)
    operations_rows = [row for row in rows if row.columns is None]
    dashboards = [row for row in rows if row.dashboard]
    channel_rows = [row for row in rows if row.connected]
    if peaks is None:
        for row in rows:
            m = results[row.key]
            print(row.label, " ".join(f"{c}={m.median_ms(c):.3f}" for c in m.columns), end=" ")
            if row.connected:
                print(f"speed-up={m.speedup(row.connected[0], row.baseline):.1f}× (target {row.speedup:g}×)")
            else:
                print(" ".join(f"{c}/limit={m.ratio(c):.2f}" for c in m.columns if c != "limit"))
        for text, met, value in channel_verdicts(channel_rows, results, memory):
            print(f"{text}: {'yes' if met else 'NO'}: {value}")
        return
    report = render(
        operations_rows,
        dashboards,
        channel_rows,
        results,
        peaks,
        text_bytes,
        pool,
        memory,
        placement,
        environment,
        commands,
    )
    out = Path(args.out)
    (out / "results.md").write_text(report + "\n")
    chart(operations_rows, results, out / "results.png")
    print(report)


if __name__ == "__main__":
    main()
