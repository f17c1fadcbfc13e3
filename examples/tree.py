"""Print every session, window and pane of a tmux server as a tree, with their metadata.

    python examples/tree.py [--socket PATH]

The server is the one at --socket, else at $VORDALIN_SOCKET, else your default tmux
server. The script only reads: it starts nothing, so it leaves nothing behind. It takes
the whole tree with one snapshot, a dashboard's way of reading a server.
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


def show(snapshot: vordalin.Snapshot) -> None:
    for meta in snapshot.sessions:
        created = datetime.datetime.fromtimestamp(meta.created).isoformat(" ", "seconds")
        attached = "attached" if meta.attached else "detached"
        print(f"{meta.name} [{meta.id}] {meta.windows} window(s), {attached}, created {created}")
        windows = [w for w in snapshot.windows if w.session_name == meta.name]
        for w, window in enumerate(windows):
            last_window = w == len(windows) - 1
            about = f"{window.width}x{window.height} flags={window.flags!r} layout={window.layout}"
            print(f"{branch(last_window)}{window.index}: {window.name} {about}")
            panes = [p for p in snapshot.panes if p.session_name == meta.name and p.window_index == window.index]
            for p, pane in enumerate(panes):
                running = pane.commandline or pane.current_command or "?"
                head = stem(last_window) + branch(p == len(panes) - 1)
                print(f"{head}{pane.pane_index} {pane.pane_id} {pane.title!r}: {running} in {pane.current_path}")


def main() -> None:
    parser = argparse.ArgumentParser(description="Print a tmux server's sessions, windows and panes.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    # One tmux process (and one ps run for the command lines) for the whole tree, all of it
    # from the same moment: a session another client kills meanwhile cannot tear it.
    snapshot = server.snapshot(commandlines=True)
    if not snapshot.sessions:
        print(f"no sessions on {server.current_socket}")
    show(snapshot)


if __name__ == "__main__":
    main()
