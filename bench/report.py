"""The report, results.md: each family's parts under their sections, then the targets, the
command lines each column ran and the machine the run ran on."""

import os
import platform
import re
import subprocess
import time

from bench.counting import Counter, shown
from bench.row import columns_of


RULES = {"<": "---", ">": "---:", "^": ":---:"}


def table(header, align, rows):
    """A markdown table and the blank line after it: the header's cells, each column's
    alignment as a character of `align` (< left, > right, ^ centred, as in format specs),
    and each row's cells."""

    def line(cells):
        return "|" + "|".join(f" {cell} " if cell else " " for cell in cells) + "|"

    return [line(header), "|" + "|".join(RULES[a] for a in align) + "|", *(line(row) for row in rows), ""]


def fmt_ratio(measured, column):
    return f"{measured.median_ms(column):.3f} ({measured.ratio(column):.2f}×)"


def fmt_count(value):
    return f"{value:g}"


def limit_verdict(text, measured, column, target):
    ratio = measured.ratio(column)
    low, high = measured.ratio_interval(column)
    return (f"{text} ≤ {target:.2f}", ratio <= target, f"{ratio:.3f} (95% interval {low:.3f}–{high:.3f})")


def targets(families, results):
    """Every family's targets: (what, whether this run met it, what it measured)."""
    return [line for family in families if family.targets is not None for line in family.targets(results)]


def masked(program, argv):
    """A command line with what names its target or pids cut out, so that one pane's command
    groups with the same command for the next pane."""
    flag = "-p" if program == "ps" else "-t"
    return tuple("…" if i and argv[i - 1] == flag else arg for i, arg in enumerate(argv))


def command_lines(ran, grouped, sockets):
    """One column's command lines as the report lists them; grouped, each distinct command
    shows once, as first run, with how often it ran."""
    runs = [(program, argv) for program in Counter.PROGRAMS for argv in ran[program].argvs]
    if not grouped:
        return "; ".join(f"`{shown([program, *argv], sockets)}`" for program, argv in runs)
    groups = {}
    for program, argv in runs:
        groups.setdefault((program, masked(program, argv)), [program, argv, 0])[2] += 1
    return "; ".join(f"`{shown([program, *argv], sockets)}` ×{n}" for program, argv, n in groups.values())


def render(families, results):
    out = []
    out.append("# Benchmark results\n")
    sections = {}
    for family in families:
        for title, lines in family.parts(results) if family.parts is not None else ():
            if lines:
                sections.setdefault(title, []).extend(lines)
    for title, lines in sections.items():
        if title is not None:
            out.append(f"## {title}\n")
        out.extend(lines)
    out.append("## Targets\n")
    lines = [(text, "yes" if met else "**no**", value) for text, met, value in targets(families, results)]
    out.extend(table(("target", "met", "measured"), "<^<", lines))
    out.append(
        "The interval is a bootstrap over the rounds of interleaved blocks: where it straddles the target, "
        "this run cannot tell a miss from the machine's noise.\n"
    )
    out.append("\n## Command lines\n")
    out.append(
        "What each column ran for one operation, as the shims logged it "
        f"({prose(list(results.sockets))} are the sockets); "
        "for the dashboard's walks, each distinct command once, with how often it ran:\n"
    )
    order = [family.name for family in families]
    for row in sorted(results.rows, key=lambda row: order.index(row.family)):
        out.append(f"- {row.label}" + (", channel row" if row.connected else ""))
        for column in columns_of(row):
            if column in row.connected:
                out.append(f"  - {column}: none (over the channel)")
            elif column != "limit" or row.dashboard:
                grouped = column in ("members", "libtmux") and row.columns is not None
                ran = command_lines(results.commands[row.key][column], grouped, results.sockets)
                out.append(f"  - {column}: {ran}")
    out.append("\n## Environment\n")
    for key, value in results.environment.items():
        out.append(f"- {key}: {value}")
    out.append("\n![ratio to the limit](results.png)\n")
    return "\n".join(out)


def prose(words):
    """A list as a sentence lists it: "A, B and C"."""
    return ", ".join(words[:-1]) + " and " + words[-1] if len(words) > 1 else "".join(words)


def summary(families, results):
    """What a run that writes no report prints: each row's medians, then the targets."""
    lines = []
    for row in results.rows:
        m = results.measured[row.key]
        line = f"{row.label} " + " ".join(f"{c}={m.median_ms(c):.3f}" for c in m.columns) + " "
        if row.connected:
            line += f"speed-up={m.speedup(row.connected[0], row.baseline):.1f}× (target {row.speedup:g}×)"
        else:
            line += " ".join(f"{c}/limit={m.ratio(c):.2f}" for c in m.columns if c != "limit")
        lines.append(line)
    for text, met, value in targets(families, results):
        lines.append(f"{text}: {'yes' if met else 'NO'}: {value}")
    return "\n".join(lines)


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
    tmux_version = subprocess.run([real_tmux, "-V"], stdout=subprocess.PIPE, text=True).stdout.strip()
    return {
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "tmux": tmux_version,
        "Python": platform.python_version(),
        "libtmux": libtmux.__version__,
        "CPU": f"{cpu}, {os.cpu_count()} cores",
        "kernel": platform.release(),
    }
