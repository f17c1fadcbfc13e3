"""Whether the tmux server grows over 10,000 visible captures made over a channel, beside the
same captures printed to a control client, each on a fresh server."""

from bench.families.channel import SECTION
from bench.family import Check, Family, register
from bench.report import table
from bench.servers import ControlClient, Tmux, screen_ready, screen_session
from bench.util import log, resident_kib

NAME = "server_rss"
# Visible captures over the channel after which the tmux server must not have grown: a leak of
# a hundred bytes a capture would pass the bound (the text alone is two kilobytes).
CAPTURES = 10_000
WARM_CAPTURES = 500
GROWTH_KIB = 1024
ROUTES = (("channel", "vordalin over the channel"), ("printed", "`capture-pane -p` to a control client"))


def server_growth(tmux, capture):
    """The server's resident size (KiB) before and after CAPTURES visible captures, counted
    from a warm state: capture(n) makes n of them."""
    pid = tmux.pid()
    capture(WARM_CAPTURES)
    before = resident_kib(pid)
    capture(CAPTURES)
    return {"before": before, "after": resident_kib(pid)}


def channel_growth(bench, tmux, pane_id):
    """The captures made by vordalin over a channel: a buffer saved to a file, then read."""
    server = bench.vordalin.Server(tmux.socket)
    pane = server.target_pane(pane_id)
    if not server.connect():
        raise RuntimeError("no channel to the memory check's server")

    def capture(count):
        for _ in range(count):
            if "screen line 40:" not in pane.capture():
                raise RuntimeError("a capture over the channel lost the screen")
        if not server.connected:
            raise RuntimeError("the channel ended during the memory check")

    try:
        return server_growth(tmux, capture)
    finally:
        server.disconnect()


def printed_growth(bench, tmux, pane_id, batch=100):
    """The captures printed to a control client, the route the channel does not take."""
    client = ControlClient(tmux)

    def capture(count):
        for _ in range(count // batch):
            client.batch(f"capture-pane -p -t {pane_id}", batch)

    try:
        return server_growth(tmux, capture)
    finally:
        client.close()


def measure(bench):
    """Each route on a fresh server holding the screen session."""
    log(f"the tmux server's memory over {CAPTURES:,} captures")
    figures = {}
    for route, growth in (("channel", channel_growth), ("printed", printed_growth)):
        tmux = Tmux(bench.real_tmux, str(bench.directory / f"mem-{route}"))
        try:
            tmux.run(*screen_session())
            screen_ready(tmux)
            figures[route] = growth(bench, tmux, tmux.display("=screen:", "#{pane_id}"))
        finally:
            tmux.kill()
    log("  " + "  ".join(f"{route} {f['before']:,} → {f['after']:,} KiB" for route, f in figures.items()))
    return figures


def parts(results):
    memory = results.checks.get(NAME)
    if memory is None:
        return []
    out = []
    out.append(
        f"The tmux server's resident size (VmRSS of its process) before and after {CAPTURES:,} captures "
        f"of the visible screen, after {WARM_CAPTURES} to warm up, each route on a fresh server: "
        "vordalin over the channel, which has tmux save the capture to a buffer, the buffer to a file, and "
        "reads the file; and, for contrast, `capture-pane -p` sent to a control client, which prints it to "
        "the client. The contrast shows the size the check can see: the printed captures stay in the server. "
        f"The bound, {GROWTH_KIB:,} KiB, is what a hundred bytes kept per capture would pass; what the "
        "allocator keeps for itself moves the figure by tens of KiB.\n"
    )
    lines = []
    for route, label in ROUTES:
        before, after = memory[route]["before"], memory[route]["after"]
        lines.append((label, f"{before:,}", f"{after:,}", f"{after - before:+,}"))
    return [(SECTION, out + table(("route", "KiB before", "KiB after", "growth"), "<>>>", lines))]


def targets(results):
    memory = results.checks.get(NAME)
    if memory is None:
        return []
    grew = memory["channel"]["after"] - memory["channel"]["before"]
    printed = memory["printed"]["after"] - memory["printed"]["before"]
    return [
        (
            f"tmux server over {CAPTURES:,} visible captures over the channel: RSS growth ≤ {GROWTH_KIB:,} KiB",
            grew <= GROWTH_KIB,
            f"{grew:+,} KiB ({memory['channel']['before']:,} → {memory['channel']['after']:,} KiB; "
            f"printed to a control client instead: {printed:+,} KiB)",
        )
    ]


register(Family(NAME, 50, checks=(Check(NAME, measure),), parts=parts, targets=targets))
