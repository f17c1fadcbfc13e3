"""Print every session, window and pane of a tmux server as a tree, with their metadata.

    python examples/tree.py [--socket PATH]

The server is the one at --socket, else at $VORDALIN_SOCKET, else your default tmux
server. The script only reads: it starts nothing, so it leaves nothing behind.
"""

from __future__ import annotations

import argparse
import datetime
import os

import vordalin


def branch(last: bool) -> str:
    return "└── " if last else "├── "


def stem(last: bool) -> str:
    return "    " if last else "│   "


def show_session(session: vordalin.Session) -> None:
    try:
        meta = session.metadata()
    except RuntimeError as error:
        # Another client may kill the session between the listing and this call.
        print(f"{session.name} ({error})")
        return
    created = datetime.datetime.fromtimestamp(meta.created).isoformat(" ", "seconds")
    attached = "attached" if meta.attached else "detached"
    print(f"{meta.name} [{meta.id}] {meta.windows} window(s), {attached}, created {created}")
    windows = session.windows
    for w, window in enumerate(windows):
        last_window = w == len(windows) - 1
        try:
            wm = window.metadata
            about = f"{wm.width}x{wm.height} flags={wm.flags!r} layout={wm.layout}"
        except RuntimeError as error:
            about = f"({error})"
        print(f"{branch(last_window)}{window.index}: {window.name} {about}")
        panes = window.panes
        for p, pane in enumerate(panes):
            running = pane.current_commandline or pane.current_command or "?"
            head = stem(last_window) + branch(p == len(panes) - 1)
            print(f"{head}{pane.pane_index} {pane.pane_id} {pane.title!r}: {running}")


def main() -> None:
    parser = argparse.ArgumentParser(description="Print a tmux server's sessions, windows and panes.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    sessions = server.sessions
    if not sessions:
        print(f"no sessions on {server.current_socket}")
    for session in sessions:
        show_session(session)


if __name__ == "__main__":
    main()
