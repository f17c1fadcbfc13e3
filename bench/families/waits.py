"""Waits on a pane: how soon wait_for returns after the text it waits for is printed, and what a
long wait on a silent pane costs, with the channel open, per process, and with libtmux's
retry_until over capture_pane."""

import os
import re
import resource
import sys
import time

from bench.family import Check, Family, register
from bench.report import table
from bench.timing import spread
from bench.util import log, wait_for

NAME = "waits"
LATENCY = "waits_latency"
IDLE = "waits_idle"
SECTION = "Waiting for a pane"
# Targets: a channel wait's median latency, and a silent pane's cost over the idle wait.
LATENCY_MS = 2.0
IDLE_CPU_PERCENT = 1.0
IDLE_SECONDS = 10
# The printer: for each line it reads, sleeps a random moment, then prints the marker and its
# own clock (CLOCK_MONOTONIC, the same clock as time.monotonic_ns here).
PRINTER = (
    "import random, sys, time\n"
    "for line in sys.stdin:\n"
    "    time.sleep(random.uniform(0.005, 0.03))\n"
    "    print(f'mark{line.strip()} {time.monotonic_ns()}', flush=True)\n"
)


def _pane(bench, name, command):
    tmux = bench.tmux(name)
    tmux.run("new-session", "-d", "-s", "w", "-x", "80", "-y", "24", command)
    server = bench.vordalin.Server(tmux.socket)
    (pane,) = server.sessions[0].windows[0].panes
    return tmux, server, pane


def _printed_at(text, round_):
    return int(re.search(rf"mark{round_} (\d+)", text).group(1))


def _latencies(rounds, trigger, wait):
    """Per round: trigger it, wait for its marker, and take the time from the print to the return."""
    samples = []
    for round_ in range(rounds):
        trigger(round_)
        text = wait(round_)
        samples.append(time.monotonic_ns() - _printed_at(text, round_))
    return samples


def _run_times(rounds, run):
    samples = []
    for round_ in range(rounds):
        start = time.monotonic_ns()
        run(round_)
        samples.append(time.monotonic_ns() - start)
    return samples


def measure_latency(bench):
    rounds = bench.reps(200)
    log(f"wait_for latency from the print, and run('true') end to end: {rounds} rounds each")
    printer = f"{sys.executable} -c {_shell_quoted(PRINTER)}"
    tmux, server, pane = _pane(bench, "waits_latency", printer)
    figures = {}
    try:
        def vordalin_wait(round_):
            return pane.wait_for(re.compile(rf"mark{round_} \d+"), timeout=10)

        def vordalin_trigger(round_):
            pane.send_keys(str(round_), enter=True)

        if not server.connect():
            raise RuntimeError("no channel to the waits' server")
        figures["for_connected"] = _latencies(rounds, vordalin_trigger, vordalin_wait)
        server.disconnect()
        figures["for_process"] = _latencies(rounds, vordalin_trigger, vordalin_wait)

        peer = bench.peer("waits_latency")
        peer_pane = peer.sessions[0].windows[0].panes[0]
        from libtmux.test.retry import retry_until

        def peer_wait(round_):
            found = []

            def shown():
                text = "\n".join(peer_pane.capture_pane())
                if re.search(rf"mark{round_} \d+", text):
                    found.append(text)
                return bool(found)

            retry_until(shown, 10)
            return found[0]

        figures["for_libtmux"] = _latencies(rounds, lambda r: peer_pane.send_keys(str(r), enter=True), peer_wait)
        tmux.kill()

        tmux, server, pane = _pane(bench, "waits_run", "sh")
        wait_for(lambda: pane.capture().strip(), "the shell's prompt")
        if not server.connect():
            raise RuntimeError("no channel to the waits' server")
        figures["run_connected"] = _run_times(rounds, lambda r: pane.run("true"))
        server.disconnect()
        figures["run_process"] = _run_times(rounds, lambda r: pane.run("true"))
        peer_pane = bench.peer("waits_run").sessions[0].windows[0].panes[0]

        def peer_run(round_):
            # What run() does, by hand: a marker the typed line cannot show, then captures until it shows.
            peer_pane.send_keys(f"true; echo ran''{round_} $?", enter=True)
            retry_until(lambda: f"ran{round_} 0" in "\n".join(peer_pane.capture_pane()), 10)

        figures["run_libtmux"] = _run_times(rounds, peer_run)
    finally:
        tmux.kill()
    figures = {key: spread(samples) for key, samples in figures.items()}
    log("  " + "  ".join(f"{key}: {p50 / 1e3:.2f}/{p90 / 1e3:.2f} ms" for key, (_, p50, p90) in figures.items()))
    return figures


def _shell_quoted(text):
    return "'" + text.replace("'", "'\\''") + "'"


def _cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime and stime, in clock ticks


def _own_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure_idle(bench):
    seconds = IDLE_SECONDS if bench.scale >= 1 else max(2.0, IDLE_SECONDS * bench.scale)
    log(f"wait_for on a silent pane for {seconds:g} s: processes started, CPU of Python and the tmux server")
    tmux, server, pane = _pane(bench, "waits_idle", "exec cat")
    ticks = os.sysconf("SC_CLK_TCK")
    figures = {}
    try:
        for way in ("connected", "process"):
            if way == "connected" and not server.connect():
                raise RuntimeError("no channel to the idle wait's server")
            # The pane's watch (one output stream per session, kept while the channel is open)
            # starts with the first wait: the figures are those of the waits after it.
            try:
                pane.wait_for("never shown", timeout=0.2)
            except TimeoutError:
                pass
            pid = tmux.pid()
            cpu = {}

            def idle(_repeats):
                own, served = _own_cpu_seconds(), _cpu_ticks(pid)
                try:
                    pane.wait_for("never shown", timeout=seconds)
                except TimeoutError:
                    pass
                cpu["python"] = _own_cpu_seconds() - own
                cpu["server"] = (_cpu_ticks(pid) - served) / ticks

            ran = bench.counter.count(idle, 1)
            figures[way] = {"processes": ran["tmux"].processes, "python_percent": cpu["python"] / seconds * 100,
                            "server_percent": cpu["server"] / seconds * 100}
            server.disconnect()
    finally:
        tmux.kill()
    figures["seconds"] = seconds
    log("  " + "  ".join(f"{way}: {f['processes']:.0f} processes, {f['python_percent']:.2f} % + {f['server_percent']:.2f} %"
                         for way, f in figures.items() if way != "seconds"))
    return figures


LATENCY_ROWS = [
    ("for_connected", "wait_for, vordalin with the channel"),
    ("for_process", "wait_for, vordalin per process (interval 0.05 s)"),
    ("for_libtmux", "libtmux 0.62: retry_until over capture_pane"),
    ("run_connected", "run('true'), vordalin with the channel"),
    ("run_process", "run('true'), vordalin per process"),
    ("run_libtmux", "libtmux 0.62: send_keys, retry_until over capture_pane"),
]


def parts(results):
    out = []
    latency = results.checks.get(LATENCY)
    if latency is not None:
        intro = (
            "A program in the pane reads a round's number, sleeps a random 5 to 30 ms, and prints a marker with its own "
            "clock (CLOCK_MONOTONIC); the time from that print to `wait_for` returning, milliseconds, median and 90th "
            "percentile over the rounds. Below it, `run(\"true\")` at a sh prompt end to end, and libtmux doing the same "
            "by hand (a marker the typed line cannot show, `retry_until` over `capture_pane` at its default interval). "
            "The channel's rows wait on tmux's events once the pane's watch is there; where it is not, they look at "
            "the default interval over the channel instead.\n"
        )
        lines = [(label, f"{latency[key][1] / 1e3:.2f}", f"{latency[key][2] / 1e3:.2f}") for key, label in LATENCY_ROWS]
        out.append((SECTION, [intro, *table(("", "median ms", "p90 ms"), "<>>", lines)]))
    idle = results.checks.get(IDLE)
    if idle is not None:
        intro = (
            f"`wait_for` on a pane that prints nothing, for {idle['seconds']:g} s: the tmux processes it started (a "
            "shim first on PATH counts them) and the CPU time of this Python process and of the tmux server over the "
            "wait, as a share of one core. Each way first waits 0.2 s unmeasured: with the channel, that first wait starts "
            "the session's output stream (one tmux client, kept while the channel is open), which later waits share.\n"
        )
        lines = [(way, f"{idle[way]['processes']:.0f}", f"{idle[way]['python_percent']:.2f}",
                  f"{idle[way]['server_percent']:.2f}") for way in ("connected", "process")]
        out.append((SECTION, [intro, *table(("", "tmux processes", "Python CPU %", "server CPU %"), "<>>>", lines)]))
    return out


def targets(results):
    out = []
    latency = results.checks.get(LATENCY)
    if latency is not None:
        median = latency["for_connected"][1] / 1e3
        out.append((f"wait_for with the channel: median ≤ {LATENCY_MS:g} ms from the print", median <= LATENCY_MS,
                    f"{median:.2f} ms"))
    idle = results.checks.get(IDLE)
    if idle is not None:
        connected = idle["connected"]
        cpu = connected["python_percent"] + connected["server_percent"]
        out.append((f"idle wait with the channel: 0 tmux processes, CPU ≤ {IDLE_CPU_PERCENT:g} % of a core",
                    connected["processes"] == 0 and cpu <= IDLE_CPU_PERCENT,
                    f"{connected['processes']:.0f} processes, {cpu:.2f} %"))
    return out


register(Family(NAME, 75, checks=(Check(LATENCY, measure_latency), Check(IDLE, measure_idle)), parts=parts,
                targets=targets))
