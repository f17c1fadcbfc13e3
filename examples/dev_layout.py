"""A three-pane development layout: an editor on the left, a shell and a log on the right.

    python examples/dev_layout.py [--socket PATH] [--session NAME] [--log COMMAND] [--keep]

The server is the one at --socket, else at $VORDALIN_SOCKET, else your default tmux
server. Without --keep the script shows the layout and then removes what it made: the
session, and the server as well when the script was the one to start it. With --keep it
prints the command that attaches to the layout instead.
"""

from __future__ import annotations

import argparse
import os
import shlex

import vordalin


def build(server: vordalin.Server, name: str, log_command: str | None) -> tuple[vordalin.Session, vordalin.Window]:
    session = server.new_session(name)
    (window,) = session.windows
    window.name = "dev"
    (editor,) = window.panes
    editor.title = "editor"
    shell = editor.split(horizontal=True)
    shell.title = "shell"
    # keep=True leaves a shell behind once the log command ends, so the pane stays open.
    log = shell.split(command=log_command, keep=True)
    log.title = "log"
    # Give the editor two thirds of the width, and the focus.
    width = window.metadata.width or 0
    editor.resize("right", max(0, width * 2 // 3 - width // 2))
    editor.select
    return session, window


def main() -> None:
    parser = argparse.ArgumentParser(description="Make a three-pane development layout.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    parser.add_argument("--session", default="dev", help="name of the session to create")
    parser.add_argument("--log", default=None, help="command for the log pane, e.g. 'tail -f app.log'")
    parser.add_argument("--keep", action="store_true", help="leave the layout running")
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    started_server = not server.is_running
    session, window = build(server, args.session, args.log)
    try:
        metadata = window.metadata
        print(f"window {window.name!r}: {metadata.width}x{metadata.height}, layout {metadata.layout}")
        for pane in window.panes:
            print(f"  pane {pane.pane_index} {pane.pane_id}: {pane.title}")
        if args.keep:
            prefix = ["tmux"] + (["-S", args.socket] if args.socket else [])
            print("attach with:", shlex.join([*prefix, "attach", "-t", f"={args.session}"]))
    finally:
        if not args.keep:
            if started_server:
                server.kill()
            else:
                session.kill()


if __name__ == "__main__":
    main()
