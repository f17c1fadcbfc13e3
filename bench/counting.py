"""Counting what an operation starts: shims for tmux and ps first on PATH log each process,
its command line and the bytes it wrote; a column must run exactly the limit's command lines
for the row to compare like with like."""

import os
import re
import shlex
import shutil
from dataclasses import dataclass
from pathlib import Path

from bench.row import operations, use_channel, kept_channel

SHIM = Path(__file__).resolve().parent / "tmux_shim.sh"


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
        shutil.copyfile(SHIM, shim)
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
            # A record ends with a unit separator and a line end: an argument may hold line ends
            # (the listings' formats do).
            entries = [record.split("\x1f") for record in log.read_text().split("\x1f\n")[:-1]]
            ran[program] = Ran(
                len(entries) / repeats,
                sum(int(e[0]) for e in entries) / repeats,
                [e[1:] for e in entries[: len(entries) // repeats]],
            )
        return ran


def count_row(row, limit, counter, measured, commands_seen, sockets):
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
                f"{row.key}: {row.mirror} ran {program} as {[shown(a, sockets) for a in got]}, "
                f"the limit as {[shown(a, sockets) for a in expected]}"
            )


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
