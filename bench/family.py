"""What a family of rows declares, and how it registers.

A module of bench/families/ builds a Family and passes it to register() when imported; the
runner imports every module there, so a new file is a new family. A family gives:

- rows(bench): its timed rows (Row), bound to objects made once, outside the timing; a row
  runs in its family's order, or right after the row its `after` names;
- checks: measurements that are no timed row (Check), run after every row;
- parts(results): its parts of the report, each a section's title and markdown lines; a
  family may add to a section another one opens (channel.SECTION, channel.NOISE);
- targets(results): its lines of the report's table of targets.

Each may be left out. A row more in a family is a Row more in its rows(). A family of its
own, say bench/families/idle.py:

    from bench.family import Check, Family, register
    from bench.report import table

    NAME = "idle"

    def measure(bench):                 # bench: context.Bench, the run's servers and tools
        ...                             # e.g. bench.main, bench.server("main"), fresh.call(...)
        return {"cpu_ms": 1.5}          # results.checks["idle"]; None: nothing to measure here

    def parts(results):
        figures = results.checks.get(NAME)
        if figures is None:             # not selected by --only
            return []
        intro = "What the table shows, and how it was measured.\n"
        return [("Idle", [intro, *table(("", "CPU ms"), "<>", [("idle", f"{figures['cpu_ms']:.1f}")])])]

    def targets(results):
        figures = results.checks.get(NAME)
        return [] if figures is None else [("idle: CPU ≤ 2 ms", figures["cpu_ms"] <= 2, f"{figures['cpu_ms']} ms")]

    register(Family(NAME, 45, checks=(Check(NAME, measure),), parts=parts, targets=targets))

Every name --only takes is a row's key, a check's key or a family's name, and no two may be
the same (but a family's name and one of its checks').
"""

import importlib
import pkgutil
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Check:
    """A measurement that is no timed row. It runs after the rows, and whatever run(bench)
    returns is results.checks[key] (None says it could not measure on this machine)."""

    key: str
    run: Callable
    # The rows it goes with: it runs whenever one of them does, and selecting it selects them.
    rows: tuple = ()


@dataclass
class Family:
    name: str
    # Where its rows and checks run and its parts and targets stand in the report: lower first.
    order: int
    rows: Callable | None = None
    checks: tuple = ()
    # Parts with the same title make one section, the sections in the order their titles
    # first come; the title None is the report's opening, before any heading.
    parts: Callable | None = None
    targets: Callable | None = None
    # Its rows stand in results.png, as ratios of vordalin, subprocess.run and libtmux to
    # the limit.
    chart: bool = False
    # The report's opening needs its checks' figures: a run without them prints what it
    # measured instead of writing results.md.
    required: bool = False


@dataclass
class Results:
    """What a run measured, as the families' parts and targets read it."""

    # The rows that ran, in the order they ran.
    rows: list
    # Per row key, its Measured; per row key and column, what the shims logged (counting.Ran
    # per program).
    measured: dict
    commands: dict
    # Per check key, the figures of the checks that ran.
    checks: dict
    # The sockets as command lines show them: name to path.
    sockets: dict
    environment: dict = field(default_factory=dict)

    def of(self, family):
        """The rows of one family that ran, in the order they ran."""
        return [row for row in self.rows if row.family == family]


FAMILIES = {}


def register(family):
    if family.name in FAMILIES:
        raise RuntimeError(f"two families are named {family.name}")
    FAMILIES[family.name] = family
    return family


def discover():
    """Every family of bench/families/, in their order."""
    import bench.families

    for module in pkgutil.iter_modules(bench.families.__path__):
        importlib.import_module(f"bench.families.{module.name}")
    return sorted(FAMILIES.values(), key=lambda family: family.order)
