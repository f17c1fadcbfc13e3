"""Where a small call's time goes on this machine: has_session over the channel with the
processes pinned to one CPU, to two, and left to the scheduler, beside the server's own work
for the command."""

import os
import time

from bench.families.channel import NOISE
from bench.family import Check, Family, register
from bench.report import table
from bench.servers import ControlClient
from bench.timing import spread, time_block
from bench.util import log

NAME = "placement"


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
    pids = [tmux.pid()] + [int(line.split()[1]) for line in clients if line.startswith("1 ")]
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


def measure(bench):
    log("has_session over the channel, pinned to one CPU and to two")
    main = bench.main
    placement = placement_noise(main, bench.vordalin.Server(main.socket), bench.reps(400))
    if placement is not None:
        medians = [f"{name}: {median:.0f} µs" for name, (_, median, _) in placement["placements"].items()]
        log(f"  {'  '.join(medians)}  the server's work: {placement['work']:.0f} µs")
    return placement


def parts(results):
    placement = results.checks.get(NAME)
    if placement is None:
        return []
    out = []
    out.append(
        "`has_session` over the channel with the processes pinned (sched_setaffinity: this process, and the "
        "tmux server and the channel's client), in interleaved rounds, microseconds: the spread placement "
        "alone makes on this machine as it was during the run. The server's own work for the command is "
        f"{placement['work']:.0f} µs, the time per command when a thousand go to a control client at once, "
        "with no hand-over between them; the rest of a call is the hand-overs.\n"
    )
    lines = [(name, *(f"{v:,.0f}" for v in spread)) for name, spread in placement["placements"].items()]
    return [(NOISE, out + table(("placement", "p10", "median", "p90"), "<>>>", lines))]


register(Family(NAME, 60, checks=(Check(NAME, measure),), parts=parts))
