"""Servers on another machine: a call over ssh with the shared connection, beside the same call
locally (a process, and the channel), over the channel through ssh, and as `ssh host tmux ...`
with a handshake each time; and snapshot_all over eight local servers and the ssh server,
beside the slowest of their single snapshots. The host is an OpenSSH server on 127.0.0.1 that
the run starts itself (tests/sshd.py), so the network costs nothing and ssh's own work shows."""

import subprocess
import sys
import time
from pathlib import Path

from bench.family import Check, Family, register
from bench.report import table
from bench.timing import spread, time_block
from bench.util import log

NAME = "remote"
SECTION = "Servers on another machine (ssh)"
LOCAL_SERVERS = 8
# Targets: a call over the shared connection against a local per-process call; the channel
# over ssh per small call; snapshot_all against the slowest single snapshot.
SHARED_RATIO = 3.0
CHANNEL_MS = 0.5
ALL_RATIO = 1.5


def _sshd():
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))
    import sshd

    return sshd


def _median_ms(operation, reps):
    time_block(operation, max(2, reps // 10))  # warm: the shared connection, the channel
    return spread(time_block(operation, reps)[0])[1] / 1e3


def _rounds_ms(operation, rounds):
    """The median of single timed runs, one per round, for what is too slow to repeat often."""
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        operation()
        samples.append(time.perf_counter_ns() - start)
    return spread(samples)[1] / 1e3


def measure(bench):
    sshd = _sshd()
    if reason := sshd.unavailable():
        log(f"remote: no ssh server here ({reason})")
        return None
    vordalin = bench.vordalin
    reps = bench.reps(200)
    with sshd.running_sshd() as host:
        log("a call over ssh, shared and not, beside the same call here")
        local = bench.tmux("remote_here")
        local.run("new-session", "-d", "-s", "s", "-x", "80", "-y", "24", "exec cat")
        here = vordalin.Server(local.socket)
        there = vordalin.Server(local.socket, host=sshd.HOST, ssh_options=host.options)
        figures = {
            "local_process": _median_ms(lambda: here.has_session("s"), reps),
            "ssh_shared": _median_ms(lambda: there.has_session("s"), reps),
        }
        unshared = ["ssh", *host.options, "-o", "BatchMode=yes", "-o", "ControlPath=none", sshd.HOST,
                    f"exec tmux -S {local.socket} has-session -t =s"]
        figures["ssh_unshared"] = _rounds_ms(
            lambda: subprocess.run(unshared, stdin=subprocess.DEVNULL, capture_output=True, check=True),
            max(5, reps // 20))
        if not here.connect() or not there.connect():
            raise RuntimeError("no channel for the remote rows")
        figures["local_channel"] = _median_ms(lambda: here.has_session("s"), reps * 5)
        figures["ssh_channel"] = _median_ms(lambda: there.has_session("s"), reps * 5)
        here.disconnect()
        there.disconnect()

        log(f"snapshot_all over {LOCAL_SERVERS} local servers and the ssh server")
        servers = []
        for i in range(LOCAL_SERVERS):
            tmux = bench.tmux(f"remote_all{i}")
            tmux.run("new-session", "-d", "-s", f"s{i}", "-x", "80", "-y", "24", "exec cat")
            servers.append(vordalin.Server(tmux.socket))
        servers.append(there)
        rounds = max(5, reps // 10)
        singles = [_rounds_ms(lambda s=server: s.snapshot(), rounds) for server in servers]
        answers = vordalin.snapshot_all(servers)
        if any(isinstance(answer, Exception) for answer in answers.values()):
            raise RuntimeError(f"snapshot_all failed: {answers}")
        figures["all_ms"] = _rounds_ms(lambda: vordalin.snapshot_all(servers), rounds)
        figures["slowest_single_ms"] = max(singles)
        figures["sum_singles_ms"] = sum(singles)
        local.kill()
    log("  " + "  ".join(f"{key}: {value:.3f} ms" for key, value in figures.items()))
    return figures


def parts(results):
    figures = results.checks.get(NAME)
    if figures is None:
        return []
    intro = (
        "`has_session` on a server with one session, milliseconds (median): here as a process and over the "
        "channel; on the same server through the run's own sshd on 127.0.0.1 (`Server(..., host=...)`), each call "
        "one ssh process riding the shared connection, and over the channel that runs `tmux -C` through ssh; and "
        "`ssh host tmux ...` with `ControlPath=none`, a key exchange and authentication every time. Loopback makes "
        "the network free: what is left is ssh's own start and the remote session's.\n"
    )
    local = figures["local_process"]
    rows = [
        ("here, a process each", f"{local:.3f}", "1.00×"),
        ("here, over the channel", f"{figures['local_channel']:.3f}", f"{figures['local_channel'] / local:.2f}×"),
        ("ssh, shared connection, a process each", f"{figures['ssh_shared']:.3f}",
         f"{figures['ssh_shared'] / local:.2f}×"),
        ("ssh, over the channel", f"{figures['ssh_channel']:.3f}", f"{figures['ssh_channel'] / local:.2f}×"),
        ("`ssh host tmux ...`, a handshake each", f"{figures['ssh_unshared']:.3f}",
         f"{figures['ssh_unshared'] / local:.2f}×"),
    ]
    all_intro = (
        f"`snapshot_all` over {LOCAL_SERVERS} local servers and the ssh server (one session each), milliseconds: "
        "the whole, beside the slowest single `snapshot()` and the sum of all of them (what a loop would take).\n"
    )
    all_rows = [
        ("snapshot_all", f"{figures['all_ms']:.2f}"),
        ("slowest single snapshot", f"{figures['slowest_single_ms']:.2f}"),
        ("all singles one after another", f"{figures['sum_singles_ms']:.2f}"),
    ]
    return [(SECTION, [intro, *table(("call", "ms", "× here"), "<>>", rows), all_intro,
                       *table(("", "ms"), "<>", all_rows)])]


def targets(results):
    figures = results.checks.get(NAME)
    if figures is None:
        return []
    shared = figures["ssh_shared"] / figures["local_process"]
    together = figures["all_ms"] / figures["slowest_single_ms"]
    return [
        (f"ssh, shared connection: ≤ {SHARED_RATIO:g}× a local process call", shared <= SHARED_RATIO,
         f"{shared:.2f}×"),
        (f"ssh, over the channel: ≤ {CHANNEL_MS} ms a small call", figures["ssh_channel"] <= CHANNEL_MS,
         f"{figures['ssh_channel']:.3f} ms"),
        (f"snapshot_all: ≤ {ALL_RATIO:g}× the slowest single snapshot", together <= ALL_RATIO, f"{together:.2f}×"),
    ]


register(Family(NAME, 70, checks=(Check(NAME, measure),), parts=parts, targets=targets))
