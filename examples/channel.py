"""Time the same calls with one tmux process per call and over a persistent channel.

    python examples/channel.py [--socket PATH] [--calls N]

The server is the one at --socket, else at $VORDALIN_SOCKET, else your default tmux
server; it must run at least one session. Without --socket the script works in a session
of its own and removes it at the end. Every call gives the same answer both ways: the
script checks that too. Setting VORDALIN_CHANNEL=1 in the environment has the same effect
as connect() for every server a program uses, without touching its code.
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable

import vordalin


def per_call(calls: int, act: Callable[[], object]) -> tuple[float, object]:
    """Milliseconds per call, and the last answer."""
    answer: object = None
    started = time.perf_counter()
    for _ in range(calls):
        answer = act()
    return (time.perf_counter() - started) / calls * 1000, answer


def main() -> None:
    parser = argparse.ArgumentParser(description="Compare a process per call with the persistent channel.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    parser.add_argument("--calls", type=int, default=200, help="calls per measurement (default 200)")
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    session = server.new_session(f"channel-{os.getpid()}")
    try:
        window = session.windows[0]
        pane = window.panes[0]
        work: dict[str, Callable[[], object]] = {
            "has_session": lambda: server.has_session(session.name),
            "windows": lambda: [w.name for w in session.windows],
            "window metadata": lambda: repr(window.metadata),
            "capture": pane.capture,
            "snapshot": lambda: len(server.snapshot().panes),
        }
        server.disconnect()
        print(f"{'call':<18}{'per process':>14}{'channel':>12}")
        for name, act in work.items():
            alone, answer_alone = per_call(args.calls, act)
            if not server.connect():
                raise SystemExit("no session for the channel to attach to")
            over, answer_over = per_call(args.calls, act)
            server.disconnect()
            same = "" if answer_alone == answer_over else "  (answers differ!)"
            print(f"{name:<18}{alone:>11.3f} ms{over:>9.3f} ms  {alone / over:5.1f}x{same}")
    finally:
        server.disconnect()
        session.kill()


if __name__ == "__main__":
    main()
