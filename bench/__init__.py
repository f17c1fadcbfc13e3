"""The benchmark: vordalin against the limit, subprocess.run and libtmux, on private servers.

Run by `make bench`, which builds the limit program (limit.c) and a venv holding a vordalin
wheel, libtmux and matplotlib, then calls, from the checkout's root,

    python -m bench --limit PATH/TO/limit [--out DIR] [--scale F] [--only NAMES] [--keep-samples FILE]

Every row is one operation against a tmux server that the run starts on a socket in a
temporary directory and kills at the end. The columns of a row are timed in small
interleaved blocks, after a warm-up block each, so that a noisy machine hurts all of them
alike; the report shows medians. Before the timing, a pass counts the tmux and ps processes
each operation starts (and the bytes tmux writes) with shims first on PATH, and stops the
run when vordalin ran other command lines than the limit runs. Checks that are no timed row
(memory in fresh processes, the tmux server's memory, where a small call's time goes) run
after the rows.

The rows and checks come in families, a module each in bench/families/:

    operations   single operations, one tmux process per call, beside the limit
    memory       the peak a full capture adds, and what 16 idle pool threads hold, in fresh processes
    dashboard    a whole workload: Server.snapshot, the members' walk and libtmux
    channel      the operations, and the members' walk, with Server.connect() in effect
    server_rss   the tmux server's memory over 10,000 captures over a channel
    placement    a small call over the channel pinned to one CPU, to two, or left alone

and the parts they share: context (the run's servers and tools, handed to every family),
servers (tmux, the limit, a control client), row (what a row declares), timing, counting
(the shims and the command-line guard), report, chart, fresh (a function in a fresh
process) and runner (discovery, selection, the run). `--only` takes row keys, check keys
and family names; the report is written only when the memory check ran, otherwise the run
prints its rows and targets.

To add a row, append a Row to its family's rows(); to add a family, add a module to
bench/families/ that ends with register(Family(name, order, rows=..., checks=...,
parts=..., targets=...)): see bench/family.py.

The run imports vordalin and libtmux from its venv, never from the checkout: `-m` puts the
checkout's root first on the path, so it comes off here, once this package is found.
"""

import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent
sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != _ROOT]
