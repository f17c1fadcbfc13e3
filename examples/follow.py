"""Run a command in a tmux pane and print its output as it happens, until it exits.

    python examples/follow.py [--socket PATH] [--timeout SECONDS] [COMMAND ...]

The command (its words joined by blanks, default: a short countdown) runs in a window of a
new session, and what it writes reaches this script through tmux's own events (an events
stream with output), with no polling: each piece is printed the moment tmux sends it. The
script stops once the command has ended and all it wrote has arrived, and exits with 124 when
the deadline passes first. The server is the one at --socket, else at $VORDALIN_SOCKET, else your default tmux
server. The session, and the server when the script started it, are removed at the end.
"""

from __future__ import annotations

import argparse
import os
import secrets
import sys
import time

import vordalin

COUNTDOWN = "for i in 3 2 1; do echo $i; sleep 0.2; done; echo liftoff"


def unsure(text: str, mark: str) -> int:
    """How many characters at the end of `text` may be the start of the mark, or of a line end."""
    for size in range(min(len(text), len(mark)), 0, -1):
        if mark.startswith(text[-size:]):
            return size
    return 1 if text.endswith("\r") else 0


def follow(session: vordalin.Session, command: str, timeout: float) -> bool:
    """Prints what `command` writes until it has ended; False at the deadline."""
    deadline = time.monotonic() + timeout
    # tmux drops what a pane wrote but had not yet sent when the pane goes away, so the pane
    # outlives the command: the command runs in a subshell (an exit in it ends only that), a
    # line of our own then marks its end, and cat holds the pane until its window is killed
    # here. Nothing but the pane's program prints the mark.
    mark = f"follow-end-{secrets.token_hex(8)}"
    held = ""
    with session.events(output=True) as events:
        # Started after the stream, so that not a byte is missed.
        window = session.new_window("follow", f"(\n{command}\n)\nprintf '\\n%s\\n' {mark}; exec cat")
        window_id = window.display("#{window_id}")
        (pane,) = window.panes
        while (left := deadline - time.monotonic()) > 0:
            event = events.get(timeout=left)
            if event is None:
                break
            if event.kind == "output" and event.pane_id == pane.pane_id and event.text is not None:
                held += event.text
                end = held.find(mark)
                shown = held[:end] if end >= 0 else held[: len(held) - unsure(held, mark)]
                held = held[len(shown) :]
                # The mark starts a line of its own: the line end before it is ours.
                if end >= 0:
                    shown = shown[:-2] if shown.endswith("\r\n") else shown
                sys.stdout.write(shown.replace("\r\n", "\n"))
                sys.stdout.flush()
                if end >= 0:
                    window.kill()
                    return True
            # A window killed from elsewhere ends the wait too; tmux 3.3a tells of its end as
            # of a window in no session any more.
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
