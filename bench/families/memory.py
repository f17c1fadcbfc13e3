"""Memory, in fresh processes: the peak resident size one full capture of the 100,000-line
pane adds, and what a pool of threads still holds once it has made such captures and gone
idle."""

import gc
import statistics
import threading
from concurrent.futures import ThreadPoolExecutor

from bench import fresh
from bench.family import Check, Family, register
from bench.report import table
from bench.row import COLUMNS, PEERS
from bench.servers import HISTORY_LINES
from bench.util import log, peak_kib, reset_peak, resident_kib

NAME = "memory"
# The pool that measures memory held between calls: threads, and captures shared among them.
POOL_THREADS = 16
POOL_CAPTURES = 64
# The libraries the pool measures, as the table heads them.
POOL_LIBRARIES = {"vordalin": "vordalin", "channel": "vordalin over the channel", "subprocess": "subprocess.run"}

PROBE_SETUP = {
    "vordalin": (
        "import vordalin\n"
        "pane = vordalin.Server(SOCKET).target_pane(PANE)\n"
        "pane.capture()\n"
        "def capture():\n"
        "    return pane.capture(full=True)\n"
    ),
    "channel": (
        "import vordalin\n"
        "server = vordalin.Server(SOCKET)\n"
        "assert server.connect()\n"
        "pane = server.target_pane(PANE)\n"
        "pane.capture()\n"
        "def capture():\n"
        "    return pane.capture(full=True)\n"
    ),
    "subprocess": (
        "import subprocess\n"
        "ARGV = ['tmux', '-u', '-S', SOCKET, 'capture-pane', '-p', '-t', PANE, '-S', '-']\n"
        "def run(argv):\n"
        "    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)\n"
        "    return done.stdout.decode(errors='replace') if done.returncode == 0 else None\n"
        "run(ARGV[:-2])\n"
        "def capture():\n"
        "    return run(ARGV)\n"
    ),
    "libtmux": (
        "import libtmux\n"
        "pane = libtmux.Pane.from_pane_id(server=libtmux.Server(socket_path=SOCKET), pane_id=PANE)\n"
        "pane.capture_pane()\n"
        "def capture():\n"
        "    return pane.capture_pane(start='-')\n"
    ),
}


def probe(library, socket, pane):
    """Runs in a fresh process: the peak resident size one full capture adds."""
    scope = {"SOCKET": socket, "PANE": pane}
    exec(PROBE_SETUP[library], scope)
    gc.collect()
    reset_peak()
    before = peak_kib()
    text = scope["capture"]()
    after = peak_kib()
    if isinstance(text, list):
        size = sum(len(line.encode()) + 1 for line in text)
    else:
        size = len(text.encode())
    return {"before_kib": before, "after_kib": after, "text_bytes": size}


def pool_probe(library, socket, pane):
    """Runs in a fresh process: how much more is resident once a pool of threads has made the
    full captures between them and sits idle, its threads alive. Whatever a library keeps per
    thread between calls shows here, multiplied by the threads."""
    scope = {"SOCKET": socket, "PANE": pane}
    exec(PROBE_SETUP[library], scope)
    capture = scope["capture"]
    gc.collect()
    before = resident_kib()
    # Each task waits until all have started, so every thread of the pool makes its share.
    started = threading.Barrier(POOL_THREADS)

    def share(_):
        started.wait()
        return {capture().count("\n") for _ in range(POOL_CAPTURES // POOL_THREADS)}

    with ThreadPoolExecutor(POOL_THREADS) as pool:
        lines = set().union(*pool.map(share, range(POOL_THREADS)))
        gc.collect()
        after = resident_kib()
    assert len(lines) == 1, lines
    return {"growth_kib": after - before, "text_bytes": len(capture().encode())}


def measure_peaks(bench, pane, runs=5):
    big = bench.row("capture_full")
    added = {c: [] for c in COLUMNS}
    text_bytes = {}
    for _ in range(runs):
        _, summary = bench.limit.run(big, 1, peak=True)
        added["limit"].append(summary["hwm_after_kib"] - summary["hwm_before_kib"])
        text_bytes["limit"] = summary["bytes"]
        for library in PEERS:
            result = fresh.call(probe, library=library, socket=bench.main.socket, pane=pane)
            added[library].append(result["after_kib"] - result["before_kib"])
            text_bytes[library] = result["text_bytes"]
    return {c: statistics.median(v) for c, v in added.items()}, text_bytes


def measure_pool(bench, pane, runs=3):
    """Median resident growth per library over fresh processes, and one capture's size."""
    growth = {}
    for library in POOL_LIBRARIES:
        figures = [fresh.call(pool_probe, library=library, socket=bench.main.socket, pane=pane) for _ in range(runs)]
        growth[library] = statistics.median(f["growth_kib"] for f in figures)
        text_bytes = figures[-1]["text_bytes"]
    return growth, text_bytes


def measure(bench):
    log("peak memory of one full capture, in fresh processes")
    pane = bench.main.display("=big:", "#{pane_id}")
    peaks, text_bytes = measure_peaks(bench, pane)
    log(f"memory {POOL_THREADS} pool threads hold after {POOL_CAPTURES} full captures, in fresh processes")
    growth, pool_bytes = measure_pool(bench, pane)
    log("  " + "  ".join(f"{c} +{kib:,.0f} KiB" for c, kib in growth.items()))
    return {"peaks": peaks, "text_bytes": text_bytes, "pool": {"growth": growth, "text_bytes": pool_bytes}}


def parts(results):
    figures = results.checks.get(NAME)
    if figures is None:
        return []
    peaks, text_bytes, pool = figures["peaks"], figures["text_bytes"], figures["pool"]
    out = []
    out.append(
        f"Peak resident size one `capture(full=True)` of the {HISTORY_LINES:,}-line pane adds to a fresh "
        "process (VmHWM from /proc/self/status, reset just before the call; median of 5 processes each). "
        "Any caller that turns the bytes into a `str` holds both at once, so 2 × the text is the floor for "
        "all but the limit, which keeps bytes only:\n"
    )
    lines = [
        ("peak RSS added (KiB)", *(f"{peaks[c]:,.0f}" for c in COLUMNS)),
        ("× captured text", *(f"{peaks[c] * 1024 / text_bytes[c]:.2f}" for c in COLUMNS)),
    ]
    out.extend(table(("", "limit", "vordalin", "subprocess.run", "libtmux"), "<>>>>", lines))
    out.append(f"Captured text: {text_bytes['vordalin']:,} bytes.\n")
    out.append(
        f"Memory held between calls: a fresh process starts a pool of {POOL_THREADS} threads, which make "
        f"{POOL_CAPTURES} full captures of the same pane between them and then sit idle; the table shows how "
        "much more is resident then than before (VmRSS, median of 3 processes each). Anything a library keeps "
        "per thread shows here once per thread. Over the channel the threads wait for their turn at once, "
        "without the interpreter lock:\n"
    )
    growth = ("RSS growth (KiB)", *(f"{pool['growth'][c]:,.0f}" for c in POOL_LIBRARIES))
    out.extend(table(("", *POOL_LIBRARIES.values()), "<" + ">" * len(POOL_LIBRARIES), [growth]))
    return [(None, out)]


def targets(results):
    figures = results.checks.get(NAME)
    if figures is None:
        return []
    size = figures["text_bytes"]["vordalin"]
    added = figures["peaks"]["vordalin"] * 1024
    pool = figures["pool"]
    floor, pool_size = pool["growth"]["subprocess"], pool["text_bytes"]
    return [
        (
            "capture(full=True): peak RSS added ≤ 2 × text",
            added <= 2 * size,
            f"{added / size:.2f} × {size:,} bytes",
        ),
    ] + [
        (
            f"{POOL_THREADS} idle pool threads after {POOL_CAPTURES} full captures{route}: "
            "RSS growth ≤ subprocess.run's + 2 × text",
            pool["growth"][library] * 1024 <= floor * 1024 + 2 * pool_size,
            f"{pool['growth'][library]:,.0f} KiB vs {floor:,.0f} + {2 * pool_size / 1024:,.0f} KiB",
        )
        for library, route in (("vordalin", ""), ("channel", " over the channel"))
    ]


# The peak of a full capture is that row's measurement, taken whenever the row runs; the
# report opens with it.
register(
    Family(
        NAME,
        20,
        checks=(Check(NAME, measure, rows=("capture_full",)),),
        parts=parts,
        targets=targets,
        required=True,
    )
)
