"""Run a command in a tmux pane and print its output as it happens, until it exits.

    python examples/follow.py [--socket PATH] [--timeout SECONDS] [COMMAND ...]

The command (its words joined by blanks, default: a short countdown) runs in a window of a
new session, and what it writes reaches this script through tmux's own events (an events
stream with output), with no polling: each piece is printed the moment tmux sends it. The
script stops when the command's window closes, and exits with 124 when the deadline passes
first. The server is the one at --socket, else at $VORDALIN_SOCKET, else your default tmux
server. The session, and the server when the script started it, are removed at the end.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import vordalin

COUNTDOWN = "for i in 3 2 1; do echo $i; sleep 0.2; done; echo liftoff"


def follow(session: vordalin.Session, command: str, timeout: float) -> bool:
    """Prints what `command` writes until its window closes; False at the deadline."""
    deadline = time.monotonic() + timeout
    with session.events(output=True) as events:
        # Started after the stream, so that not a byte is missed.
        window = session.new_window("follow", command)
        window_id = window.display("#{window_id}")
        (pane,) = window.panes
        while (left := deadline - time.monotonic()) > 0:
            event = events.get(timeout=left)
            if event is None:
                break
            if event.kind == "output" and event.pane_id == pane.pane_id and event.text is not None:
                sys.stdout.write(event.text.replace("\r\n", "\n"))
                sys.stdout.flush()
            # tmux 3.3a tells of a window's end as one in no session any more.
            elif event.kind in ("window-close", "unlinked-window-close") and event.window_id == window_id:
                return True
    return False


def main() -> int:
    parser = argparse.ArgumentParser(description="Print a tmux pane's output as it happens.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to follow (default 10)")
    parser.add_argument("command", nargs="*", default=[COUNTDOWN])
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    started_server = not server.is_running
    session = server.new_session(f"follow-{os.getpid()}")
    try:
        finished = follow(session, " ".join(args.command), args.timeout)
    finally:
        if started_server:
            server.kill()
        else:
            session.kill()
    if not finished:
        print(f"\nstill running after {args.timeout:g}s", file=sys.stderr)
        return 124
    return 0


if __name__ == "__main__":
    sys.exit(main())
