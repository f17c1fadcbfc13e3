"""Run a command in a tmux pane and wait for its output, with a deadline.

    python examples/wait_for_output.py [--socket PATH] [--timeout SECONDS] [COMMAND ...]

The command (its words joined by blanks, default: a greeting) is typed into the shell of a
new session; the script prints what the command printed and exits with the command's
exit status, or with 124 when the deadline passes first. The server is the one at
--socket, else at $VORDALIN_SOCKET, else your default tmux server. The session, and the
server when the script started it, are removed at the end. The pane's shell must be a
POSIX shell (sh, bash, zsh, ...).
"""

from __future__ import annotations

import argparse
import os
import re
import sys

import vordalin

# The typed line writes each marker as two quoted halves that the shell joins, so a whole
# marker only ever appears in what the command line prints, never in its echo.
BEGIN = "__vordalin_begin__"
END = "__vordalin_end__"


def split_marker(marker: str) -> str:
    half = len(marker) // 2
    return f"'{marker[:half]}''{marker[half:]}'"


def run_and_wait(pane: vordalin.Pane, command: str, timeout: float) -> tuple[int, list[str]] | None:
    """Types `command` into the pane; its exit status and output lines, or None at the deadline."""
    pane.send_keys(
        f"printf '%s\\n' {split_marker(BEGIN)}; {command}; printf '%s %d\\n' {split_marker(END)} $?",
        enter=True,
    )
    try:
        # The history too: long output scrolls the start marker off the screen.
        text = pane.wait_for(re.compile(f"^{END} -?[0-9]+$", re.MULTILINE), timeout, full=True)
    except TimeoutError:
        return None
    lines = text.splitlines()
    end = max(i for i, line in enumerate(lines) if line.startswith(END + " "))
    begin = max((i for i, line in enumerate(lines[:end]) if line == BEGIN), default=-1)
    return int(lines[end].split()[1]), lines[begin + 1 : end]


def main() -> int:
    parser = argparse.ArgumentParser(description="Run a command in a tmux pane and wait for it.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait (default 10)")
    parser.add_argument("command", nargs="*", default=["echo", "hello from $((6 * 7))"])
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    started_server = not server.is_running
    session = server.new_session(f"wait-{os.getpid()}")
    try:
        (window,) = session.windows
        (pane,) = window.panes
        result = run_and_wait(pane, " ".join(args.command), args.timeout)
    finally:
        if started_server:
            server.kill()
        else:
            session.kill()
    if result is None:
        print(f"no answer within {args.timeout:g}s", file=sys.stderr)
        return 124
    status, output = result
    print("\n".join(output))
    return status


if __name__ == "__main__":
    sys.exit(main())
