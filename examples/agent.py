"""Run commands at a shell's prompt in a tmux pane, the way an agent does, and read what each gave.

    python examples/agent.py [--socket PATH] [--timeout SECONDS] [COMMAND ...]

Each command (default: a few that show output, a failure and a shell that keeps its state) is
typed at the prompt of the shell in a new session with Pane.run, which waits until the command
has finished; the script prints its exit status and output. The server is the one at --socket,
else at $VORDALIN_SOCKET, else your default tmux server. The session, and the server when the
script started it, are removed at the end. The script exits with 124 when a command is still
running at the deadline, else with 0.
"""

from __future__ import annotations

import argparse
import os
import sys

import vordalin

DEFAULT_COMMANDS = [
    "echo hello from $((6 * 7))",
    "ls /nonexistent-directory",
    "cd / && x=kept",
    'echo "$PWD $x"; printf "no newline at the end"',
]


def main() -> int:
    parser = argparse.ArgumentParser(description="Run commands in a tmux pane and read their status and output.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for each command (default 30)")
    parser.add_argument("commands", nargs="*", default=DEFAULT_COMMANDS)
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    started_server = not server.is_running
    session = server.new_session(f"agent-{os.getpid()}")
    try:
        (window,) = session.windows
        (pane,) = window.panes
        for command in args.commands:
            try:
                result = pane.run(command, timeout=args.timeout)
            except TimeoutError:
                print(f"$ {command}\nstill running after {args.timeout:g}s", file=sys.stderr)
                return 124
            print(f"$ {command}\nstatus {result.status}\n{result.output!r}")
    finally:
        if started_server:
            server.kill()
        else:
            session.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main())
