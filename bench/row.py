"""A row: one operation, or one workload, timed in columns against the limit."""

import subprocess
from dataclasses import dataclass, field

from bench.servers import DEVNULL, PIPE

COLUMNS = ("limit", "vordalin", "subprocess", "libtmux")
PEERS = ("vordalin", "subprocess", "libtmux")


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
    # Whether a limit runs beside the columns, and how many of one call's commands fail
    # there by design (has-session of a missing session exits 1).
    limit: bool = True
    limit_failures: int = 0
    # The key of a row this one runs right after, whether or not that row is selected: on
    # the same server, in the state that row left it. Otherwise rows run in their family's
    # order, and in the order their family lists them.
    after: str = None
    # The family that declared the row (the runner fills it in).
    family: str = None

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


def operations(row):
    """The row's columns but the limit, each a callable making one call."""
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
