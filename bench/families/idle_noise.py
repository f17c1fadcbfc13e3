"""The channel sitting idle while a pane keeps tmux writing to it: a window renamed without
pause (allow-rename on), each rename a notification for every control client. What piles up
unread grows the tmux server and stalls the next call; the channel reads it while idle."""

import time

from bench.families.channel import SECTION
from bench.family import Check, Family, register
from bench.report import table
from bench.servers import Tmux
from bench.util import log, resident_kib

NAME = "idle_noise"
# How long the channel sits idle before the next call, each from a fresh start of the noise.
IDLE_SECONDS = (1, 5, 15)
NOISE = "i=0; while :; do printf '\\033k%d\\033\\\\' $i; i=$((i+1)); done"
# The next call after the longest idle: as quick as a process, and the server grown by no
# more than this.
GROWTH_KIB = 2048


def measure(bench):
    log(f"a channel idle beside a window renamed without pause: {', '.join(map(str, IDLE_SECONDS))} s")
    figures = []
    for seconds in IDLE_SECONDS:
        tmux = Tmux(bench.real_tmux, str(bench.directory / f"noise-{seconds}"))
        try:
            tmux.run("new-session", "-d", "-s", "quiet", "-x", "80", "-y", "24", "exec cat")
            tmux.run("set-option", "-g", "allow-rename", "on")
            server = bench.vordalin.Server(tmux.socket)
            if not server.connect():
                raise RuntimeError("no channel to the noise check's server")
            tmux.run("new-window", "-d", "-t", "=quiet:", NOISE)
            pid = tmux.pid()
            before = resident_kib(pid)
            time.sleep(seconds)
            started = time.perf_counter()
            if not server.has_session("quiet"):
                raise RuntimeError("the next call lost the session")
            connected_ms = (time.perf_counter() - started) * 1000
            grown = resident_kib(pid) - before
            server.disconnect()
            started = time.perf_counter()
            server.has_session("quiet")
            process_ms = (time.perf_counter() - started) * 1000
            figures.append({"seconds": seconds, "growth_kib": grown, "connected_ms": connected_ms,
                            "process_ms": process_ms})
        finally:
            tmux.kill()
    log("  " + "  ".join(f"{f['seconds']} s: +{f['growth_kib']:,} KiB, next call {f['connected_ms']:.2f} ms"
                         for f in figures))
    return figures


def parts(results):
    figures = results.checks.get(NAME)
    if figures is None:
        return []
    intro = (
        "A channel sitting idle while a pane keeps tmux writing to every control client: a window renamed "
        "without pause, each rename a `%window-renamed` notification. Each idle time on a fresh server: the "
        "tmux server's growth in resident size over the idle time, then one `has_session` over the channel, "
        "and, after closing the channel, the same call as a process for comparison.\n"
    )
    lines = [(f"{f['seconds']} s", f"{f['growth_kib']:+,}", f"{f['connected_ms']:.3f}", f"{f['process_ms']:.3f}")
             for f in figures]
    return [(SECTION, [intro, *table(("idle", "server growth (KiB)", "next call, connected (ms)",
                                      "next call, per process (ms)"), "<>>>", lines)])]


def targets(results):
    figures = results.checks.get(NAME)
    if figures is None:
        return []
    longest = figures[-1]
    return [
        (
            f"idle {longest['seconds']} s beside a renaming pane: server growth ≤ {GROWTH_KIB:,} KiB, "
            "next call over the channel no slower than a process",
            longest["growth_kib"] <= GROWTH_KIB and longest["connected_ms"] <= longest["process_ms"],
            f"{longest['growth_kib']:+,} KiB, {longest['connected_ms']:.2f} ms vs {longest['process_ms']:.2f} ms",
        )
    ]


register(Family(NAME, 55, checks=(Check(NAME, measure),), parts=parts, targets=targets))
