"""A three-pane layout with its options set, and no raw tmux command anywhere.

    python examples/layout.py [--socket PATH] [--session NAME] [--keep]

An editor takes the left two thirds (main-vertical), a shell and a log share the right.
The session gets its own status line, mouse and environment, the window numbers its panes
from 1 and shows their titles in the borders, and a hook names the window after the layout
is changed. The server is the one at --socket, else at $VORDALIN_SOCKET, else your default
tmux server. Without --keep the script prints what it made and removes it again (the server
too when the script started it).
"""

from __future__ import annotations

import argparse
import os
import shlex

import vordalin


def build(server: vordalin.Server, name: str) -> vordalin.Window:
    session = server.new_session(name, width=160, height=48)
    session.options["status-style"] = "bg=colour24,fg=white"
    session.options["status-left"] = f"[{name}] "
    session.options["mouse"] = True
    session.environment["APP_ENV"] = "development"

    window = session.active_window
    window.name = "dev"
    window.options["pane-base-index"] = 1
    window.options["pane-border-status"] = "top"
    window.options["main-pane-width"] = "66%"
    window.hooks["window-layout-changed"] = "rename-window 'dev: #{window_panes} panes'"

    editor = window.active_pane
    editor.title = "editor"
    shell = editor.split(horizontal=True, select=False)
    shell.title = "shell"
    log = shell.split(command="tail -f /dev/null", select=False)
    log.title = "log"
    log.options["remain-on-exit"] = "on"  # a log that ends stays readable
    window.select_layout("main-vertical")
    return window


def main() -> None:
    parser = argparse.ArgumentParser(description="Make a three-pane layout with its options set.")
    parser.add_argument("--socket", default=os.environ.get("VORDALIN_SOCKET"), help="tmux socket path")
    parser.add_argument("--session", default="layout", help="name of the session to create")
    parser.add_argument("--keep", action="store_true", help="leave the layout running")
    args = parser.parse_args()

    server = vordalin.Server(args.socket)
    started_server = not server.is_running
    window = build(server, args.session)
    try:
        metadata = window.metadata
        print(f"window {metadata.name!r} {metadata.width}x{metadata.height}: {metadata.layout}")
        for pane in window.panes:
            print(f"  pane {pane.pane_index} {pane.pane_id} {pane.title}: {pane.display('#{pane_width}x#{pane_height}')}")
        print("session options:", dict(window.session.options))
        if args.keep:
            prefix = ["tmux"] + (["-S", args.socket] if args.socket else [])
            print("attach with:", shlex.join([*prefix, "attach", "-t", f"={args.session}"]))
    finally:
        if not args.keep:
            if started_server:
                server.kill()
            else:
                window.session.kill()


if __name__ == "__main__":
    main()
