"""Events streams with output: 20 MB through Session.events(output=True), byte-exact and against a
bare control client reading the same output; and 200 MB written into a stream nobody reads,
with the growth of this process and of the tmux server."""

import os
import random
import select
import subprocess
import time
from subprocess import DEVNULL, PIPE

from bench.family import Check, Family, register
from bench.report import table
from bench.servers import Tmux
from bench.util import log, resident_kib, wait_for

NAME = "events"
SECTION = "Events streams"
THROUGHPUT_BYTES = 20 * 1000 * 1000
# Each reader runs this often, in turns; the quickest run counts.
ROUNDS = 2
FLOOD_BYTES = 200 * 1000 * 1000
END = "END-OF-OUTPUT"
# Targets: the stream at 0.8 of tmux's own limit at least; growth while nobody reads.
RATIO = 0.8
OURS_MIB = 16
SERVER_MIB = 32


def payload():
    """20 MB of text with multibyte characters and line ends, the same on every run."""
    words = ["tmux", "événement", "流", "🙂", "output", "x" * 40, "\r\n", "\t"]
    chosen = random.Random(21).choices(words, k=THROUGHPUT_BYTES // 6)
    data = "".join(chosen).encode()[:THROUGHPUT_BYTES]
    return data.decode("utf-8", "ignore").encode()  # no character cut at the end


def raw_command(path):
    # Raw mode: the terminal passes the bytes on as they are.
    return f"stty raw -echo; cat {path}; printf {END}; exec sleep 600"


def bare_seconds(tmux, path):
    """A control client of our own, with output on, reading until the end marker's %output."""
    client = subprocess.Popen([tmux.real, "-u", "-S", tmux.socket, "-C", "attach-session", "-t", "=flow",
                               "-f", "ignore-size"], stdin=PIPE, stdout=PIPE, stderr=DEVNULL)
    try:
        wait_for(lambda: select.select([client.stdout], [], [], 0)[0], "the bare client to attach")
        started = time.perf_counter()
        tmux.run("new-window", "-t", "=flow:", raw_command(path))
        seen = b""
        while END.encode() not in seen[-4096:]:
            chunk = os.read(client.stdout.fileno(), 1 << 20)
            if not chunk:
                raise RuntimeError("the bare client ended")
            seen = seen[-4096:] + chunk
        return time.perf_counter() - started
    finally:
        client.stdin.close()
        client.wait()


def stream_seconds(bench, tmux, path, expected):
    session = bench.vordalin.Server(tmux.socket).session("flow")
    with session.events(output=True) as events:
        started = time.perf_counter()
        pane_id = tmux.run("new-window", "-P", "-F", "#{pane_id}", "-t", "=flow:", raw_command(path)).strip()
        pieces, paused = [], 0
        while not (pieces and pieces[-1].endswith(END)):
            event = events.get(60)
            if event is None:
                raise RuntimeError("the stream went quiet before the end")
            if event.pane_id == pane_id and event.kind == "output":
                pieces.append(event.text)
            paused += event.kind == "pause"
        seconds = time.perf_counter() - started
    return seconds, "".join(pieces) == expected + END, paused


def throughput(bench):
    log(f"{THROUGHPUT_BYTES // 1_000_000} MB through an events stream, and through a bare control client")
    data = payload()
    path = bench.directory / "events-payload"
    path.write_bytes(data)
    figures = {}
    tmux = Tmux(bench.real_tmux, str(bench.directory / "events-flow"))
    try:
        tmux.run("new-session", "-d", "-s", "flow", "-x", "80", "-y", "24", "exec cat")
        bare, stream = [], []
        for _ in range(ROUNDS):
            bare.append(bare_seconds(tmux, path))
            stream.append(stream_seconds(bench, tmux, path, data.decode()))
        figures["bare"] = min(bare)
        figures["stream"] = min(seconds for seconds, _, _ in stream)
        figures["exact"] = all(exact for _, exact, _ in stream)
        figures["paused"] = sum(paused for _, _, paused in stream)
    finally:
        tmux.kill()
    log(f"  bare {figures['bare']:.2f} s, stream {figures['stream']:.2f} s, exact {figures['exact']}")
    return figures


def backpressure(bench):
    log(f"{FLOOD_BYTES // 1_000_000} MB into an events stream nobody reads")
    tmux = Tmux(bench.real_tmux, str(bench.directory / "events-flood"))
    try:
        tmux.run("new-session", "-d", "-s", "flood", "-x", "80", "-y", "24", "exec cat")
        server_pid = tmux.pid()
        session = bench.vordalin.Server(tmux.socket).session("flood")
        with session.events(output=True) as events:
            ours, theirs = resident_kib(), resident_kib(server_pid)
            peak_ours, peak_theirs = ours, theirs
            started = time.perf_counter()
            flood = f"head -c {FLOOD_BYTES} /dev/zero | tr '\\0' x; echo; echo FLOOD-DONE; exec sleep 600"
            tmux.run("new-window", "-t", "=flood:", flood)
            while "FLOOD-DONE" not in tmux.run("capture-pane", "-p", "-t", "=flood:1"):
                peak_ours, peak_theirs = max(peak_ours, resident_kib()), max(peak_theirs, resident_kib(server_pid))
                if time.perf_counter() - started > 600:
                    raise RuntimeError("the flood did not end")
                time.sleep(0.2)
            seconds = time.perf_counter() - started
            pauses = 0
            while (event := events.get(2)) is not None and pauses == 0:
                pauses += event.kind == "pause"
    finally:
        tmux.kill()
    figures = {"ours_kib": peak_ours - ours, "server_kib": peak_theirs - theirs, "seconds": seconds, "pauses": pauses}
    log(f"  grew: this process {figures['ours_kib']:,} KiB, the tmux server {figures['server_kib']:,} KiB")
    return figures


def parts(results):
    out = []
    flow = results.checks.get("events_throughput")
    if flow is not None:
        out.append(
            f"{THROUGHPUT_BYTES // 1_000_000} MB of mixed text (multibyte characters, line ends) written by a "
            f"pane in raw mode, timed from the window's start to its last byte (the quickest of {ROUNDS} turns "
            "each, on one server, every turn in a window of its own): read through "
            "`Session.events(output=True)` into Python strings, and by a bare `tmux -C` client whose raw "
            "lines are only searched for the end (tmux's own limit: tmux parses every byte into the "
            "pane's screen first).\n"
        )
        rows = [("bare control client", f"{flow['bare']:.2f}", f"{THROUGHPUT_BYTES / flow['bare'] / 1e6:.1f}", ""),
                ("Session.events(output=True)", f"{flow['stream']:.2f}",
                 f"{THROUGHPUT_BYTES / flow['stream'] / 1e6:.1f}",
                 f"byte-exact every turn: {flow['exact']}, pauses: {flow['paused']}")]
        out += table(("reader", "seconds", "MB/s", ""), "<>><", rows)
        out.append("")
    flood = results.checks.get("events_backpressure")
    if flood is not None:
        out.append(
            f"{FLOOD_BYTES // 1_000_000} MB written by a pane into a stream that nobody reads until the pane has "
            "finished: the peak growth of resident size (VmRSS), sampled every 0.2 s, of this process and of "
            "the tmux server. The stream pauses the pane (one \"pause\" event) and the pane's program runs on.\n"
        )
        out += table(("", "growth"), "<>", [("this process", f"{flood['ours_kib']:,} KiB"),
                                           ("tmux server", f"{flood['server_kib']:,} KiB"),
                                           ("the pane's 200 MB took", f"{flood['seconds']:.1f} s")])
    return [(SECTION, out)] if out else []


def targets(results):
    lines = []
    flow = results.checks.get("events_throughput")
    if flow is not None:
        ratio = flow["bare"] / flow["stream"]
        lines.append((f"events: {THROUGHPUT_BYTES // 1_000_000} MB through Session.events(output=True), byte-exact, "
                      f"≥ {RATIO}× a bare control client", flow["exact"] and ratio >= RATIO,
                      f"{ratio:.2f}×, exact: {flow['exact']}"))
    flood = results.checks.get("events_backpressure")
    if flood is not None:
        lines.append((f"events: {FLOOD_BYTES // 1_000_000} MB unread, growth ≤ {OURS_MIB} MiB here and "
                      f"≤ {SERVER_MIB} MiB in tmux",
                      flood["ours_kib"] <= OURS_MIB * 1024 and flood["server_kib"] <= SERVER_MIB * 1024,
                      f"{flood['ours_kib']:,} KiB here, {flood['server_kib']:,} KiB in tmux"))
    return lines


register(Family(NAME, 65, checks=(Check("events_throughput", throughput), Check("events_backpressure", backpressure)),
                parts=parts, targets=targets))
