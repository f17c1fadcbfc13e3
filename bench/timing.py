"""Timing a row: a checked call of each column, then small interleaved blocks of calls, so
that a noisy machine hurts every column alike."""

import statistics
import time
from dataclasses import dataclass, field

from bench.row import COLUMNS, kept_channel, operations, use_channel


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


def spread(samples):
    """The 10th, 50th and 90th percentiles of samples in ns, as microseconds."""
    ordered = sorted(samples)
    return tuple(ordered[min(len(ordered) - 1, len(ordered) * q // 10)] / 1e3 for q in (1, 5, 9))


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
    _, summary = limit.run(row, 1)
    if summary["failed"] != row.limit_failures:
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
