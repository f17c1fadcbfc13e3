"""Operations over the persistent channel: with Server.connect() in effect, each beside the
same limit as its per-process row, right after that row; and the dashboard's walk through
the members (without command lines) with and without a channel. Every other row runs with no
channel open."""

import os
import statistics

from bench.families.dashboard import DASH_PANES, DASH_SESSIONS, dash_server, dashboard_check, members_dashboard
from bench.family import Family, register
from bench.report import fmt_count, table
from bench.row import Row
from bench.timing import spread

NAME = "channel"
# The sections this family opens; the tmux server's memory and the placement check add to them.
SECTION = "Over the persistent channel"
NOISE = "Noise"
# The per-process rows repeated over the channel, the server each calls, and how many times
# faster than the per-process limit each should be with a channel open.
SPEEDUP = {
    "has_session": ("main", 20),
    "sessions_1": ("list", 20),
    "sessions_500": ("list", 3),
    "windows": ("main", 20),
    "window_metadata": ("main", 20),
    "panes": ("main", 20),
    "send_keys": ("main", 20),
    "capture": ("main", 10),
}
# How many times faster the dashboard's walk should be than the same walk without one.
WALK_SPEEDUP = 10


def over_channel(base, server, speedup):
    """The base row's operation with the server's channel open, timed beside the same limit,
    right after the base row, on the same server in the same state (the listing server still
    at the row's count of sessions). Its calls start no process, so there are no command
    lines to hold against the limit's: the base row's guard checks what vordalin sends, the
    same commands."""
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
        limit_failures=base.limit_failures,
        after=base.key,
    )


def walk_row(bench, count, reps):
    """The dashboard's walk without command lines, which need a ps or /proc and so no channel
    can give, with the channel open and without it, in the same rounds."""
    v_dash = bench.server("dash")

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
        prepare=lambda row: dash_server(bench, count),
        columns={"members": walk, "connected": walk},
        mirror=None,
        blocks={"members": 1, "connected": 2},
        count_repeats=1,
        connected=("connected",),
        channel=v_dash,
        speedup=WALK_SPEEDUP,
        baseline="members",
        limit=False,
        after=f"dashboard_{count}",
    )


def rows(bench):
    return [
        over_channel(bench.row(key), bench.server(server), speedup) for key, (server, speedup) in SPEEDUP.items()
    ] + [walk_row(bench, DASH_SESSIONS[0], bench.reps(50))]


def speedups(results):
    channel_rows = results.of(NAME)
    if not channel_rows:
        return []
    out = []
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
    lines = []
    for row in channel_rows:
        m = results.measured[row.key]
        column = row.connected[0]
        if row.limit:
            limit_cell = f"{m.median_ms('limit'):.3f}"
            base = results.measured.get(row.base)
            per_process = f"{base.median_ms('vordalin'):.3f}" if base is not None else "—"
        else:
            limit_cell, per_process = "—", f"{m.median_ms(row.baseline):.3f}"
        procs = f"{fmt_count(m.processes[column])} + {fmt_count(m.ps[column])}"
        speedup = f"{m.speedup(column, row.baseline):.1f}×"
        lines.append(
            (row.label, len(m.samples(column)), limit_cell, per_process, f"{m.median_ms(column):.3f}", speedup)
            + (f"≥ {row.speedup:g}×", procs)
        )
    header = ("operation", "samples", "limit", "vordalin per process", "connected", "speed-up", "target", "processes")
    return out + table(header, "<>>>>>>^", lines)


def noise(results):
    channel_rows = results.of(NAME)
    if not channel_rows:
        return []
    out = []
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
    lines = []
    for row in channel_rows:
        m = results.measured[row.key]
        column = row.connected[0]
        low, median, high = spread(m.samples(column))
        medians = [statistics.median(block) / 1e3 for block in m.rounds[column]]
        ratio_low, ratio_high = m.ratio_interval(column, row.baseline)
        lines.append(
            (
                row.label,
                f"{low:,.0f} / {median:,.0f} / {high:,.0f}",
                f"{min(medians):,.0f}–{max(medians):,.0f}",
                f"{1 / ratio_high:.1f}–{1 / ratio_low:.1f}×",
            )
        )
    header = ("operation", "p10 / median / p90", "round medians, lowest–highest", "speed-up, 95% interval")
    return out + table(header, "<>>>", lines)


def parts(results):
    return [(SECTION, speedups(results)), (NOISE, noise(results))]


def targets(results):
    channel_rows = results.of(NAME)
    lines = []
    for row in channel_rows:
        m = results.measured[row.key]
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
            results.measured[row.key].processes[row.connected[0]] + results.measured[row.key].ps[row.connected[0]]
            for row in channel_rows
        )
        lines.append(
            ("every call over the channel: no process started", started == 0, f"at most {fmt_count(started)} per call")
        )
    return lines


register(Family(NAME, 40, rows=rows, parts=parts, targets=targets))
