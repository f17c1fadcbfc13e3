"""The run: starts the servers, builds every family's rows, runs the selected rows and then
the selected checks, and writes the report (or prints what it measured)."""

import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

from bench.chart import chart
from bench.context import Bench
from bench.counting import count_row
from bench.family import Results, discover
from bench.report import environment_facts, load_average, render, summary
from bench.row import columns_of, open_channels
from bench.servers import LimitRunner
from bench.timing import Measured, check_row, measure_row
from bench.util import log


def build(families, bench):
    """Every family's rows, in the order they run, whatever --only selects: a row that
    follows another stands right after it, even when that one does not run."""
    declared = []
    for family in families:
        for row in family.rows(bench) if family.rows is not None else ():
            if row.key in bench.built:
                raise RuntimeError(f"two rows are named {row.key}")
            row.family = family.name
            bench.built[row.key] = row
            declared.append(row)
    ordered = [row for row in declared if row.after is None]
    for row in declared:
        if row.after is None:
            continue
        keys = [other.key for other in ordered]
        if row.after not in keys:
            raise RuntimeError(f"{row.key} follows {row.after}, which no family declared before it")
        at = keys.index(row.after) + 1
        while at < len(ordered) and ordered[at].after == row.after:
            at += 1
        ordered.insert(at, row)
    return ordered


def names(families, rows):
    """Every name --only takes. None stands for two things, but a family's name may also be
    one of its checks'."""
    seen = {}
    named = [(family.name, "family", family.name) for family in families]
    named += [(check.key, "check", family.name) for family in families for check in family.checks]
    named += [(row.key, "row", row.family) for row in rows]
    for name, kind, family in named:
        if name in seen and (seen[name], kind) != (("family", family), "check"):
            raise RuntimeError(f"two things are named {name}")
        seen.setdefault(name, (kind, family))
    for family in families:
        for check in family.checks:
            for key in check.rows:
                if seen.get(key, ("",))[0] != "row":
                    raise RuntimeError(f"the check {check.key} goes with {key}, which is no row")
    return set(seen)


def select(families, rows, only):
    """The rows and checks the names of --only select (all of them without it): a family's
    name selects all its rows and checks."""
    known = names(families, rows)
    checks = [(family, check) for family in families for check in family.checks]
    if only is None:
        return rows, [check for _, check in checks]
    wanted = set(only)
    if wanted - known:
        unknown = ", ".join(sorted(wanted - known))
        sys.exit(f"--only: nothing is named {unknown}; the names are {', '.join(sorted(known))}")
    keys = {row.key for row in rows if row.key in wanted or row.family in wanted}
    chosen = [
        check for family, check in checks if check.key in wanted or family.name in wanted or keys & set(check.rows)
    ]
    for check in chosen:
        keys |= set(check.rows)
    return [row for row in rows if row.key in keys], chosen


def run_row(bench, row, rows, measured, commands):
    if open_channels(rows):
        raise RuntimeError(f"{row.key}: a channel is still open: {open_channels(rows)}")
    if row.prepare is not None:
        row.prepare(row)
    log(f"{row.label}{' (channel)' if row.connected else ''}: {row.reps} repetitions")
    result = Measured(columns_of(row))
    try:
        check_row(row, bench.limit)
        commands[row.key] = {}
        count_row(row, bench.limit, bench.counter, result, commands[row.key], bench.sockets)
        measure_row(row, bench.limit, result)
    finally:
        if row.channel is not None:
            row.channel.disconnect()
    measured[row.key] = result
    if row.connected:
        column = row.connected[0]
        verdict = f"{result.speedup(column, row.baseline):.1f}× faster than {row.baseline}"
    else:
        verdict = f"{row.mirror}/limit {result.ratio(row.mirror):.3f}"
    log("  " + "  ".join(f"{c} {result.median_ms(c):.3f} ms" for c in result.columns) + "  " + verdict)


def run(args):
    families = discover()
    only = [name for name in args.only.split(",") if name] if args.only else None

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
    bench = Bench(real_tmux, directory, limit, args.scale, vordalin, libtmux)
    try:
        log("starting the servers and filling 100,000 lines of history")
        # Asking for the main server starts it, before any family builds its rows.
        bench.main
        rows, checks = select(families, build(families, bench), only)
        measured, commands = {}, {}
        for row in rows:
            run_row(bench, row, rows, measured, commands)
        figures = {check.key: check.run(bench) for check in checks}
    finally:
        bench.close()
        shutil.rmtree(directory, ignore_errors=True)

    environment = environment_facts(real_tmux, libtmux)
    environment["run time"] = f"{time.monotonic() - started:.0f} s"
    environment["load average before / after"] = f"{load_before} / {load_average()}"
    if args.keep_samples:
        with open(args.keep_samples, "w") as keep:
            json.dump({key: m.rounds for key, m in measured.items()}, keep)
    results = Results(rows, measured, commands, figures, bench.sockets, environment)
    needed = [check.key for family in families if family.required for check in family.checks]
    if any(key not in figures for key in needed):
        print(summary(families, results))
        return
    report = render(families, results)
    out = Path(args.out)
    (out / "results.md").write_text(report + "\n")
    charted = {family.name for family in families if family.chart}
    chart([row for row in rows if row.family in charted], results, out / "results.png")
    print(report)
