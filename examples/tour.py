"""A tour of vordalin on a private tmux server.

Starts its own tmux server on a socket in a temporary directory, walks from the server
down to a pane and back, and kills the server at the end, even when something fails.
"""

from __future__ import annotations

import os
import shutil
import tempfile

import vordalin


def show(label: str, value: object) -> None:
    print(f"{label:<28} {value!r}")


def tour(server: vordalin.Server) -> None:
    print("== server")
    show("is_running (nothing yet)", server.is_running)
    # new_session starts the server; a server started bare by start() ends again at once
    # when it has no sessions, so here start() comes after and finds it running.
    session = server.new_session("tour")
    show("start()", server.start())
    show("is_running", server.is_running)
    show("current_socket", server.current_socket)

    print("\n== sessions")
    show("new_session('tour')", session)
    show("has_session('tour')", server.has_session("tour"))
    show("has_session('tou')", server.has_session("tou"))
    show("sessions", server.sessions)
    show("metadata()", session.metadata())

    print("\n== windows")
    (window,) = session.windows
    show("windows", session.windows)
    window.name = "editor"
    show("renamed window", window)
    show("metadata", window.metadata)
    server.new_session("spare")
    show("select", window.select)

    print("\n== panes")
    (pane,) = window.panes
    show("panes", window.panes)
    show("is_alive", pane.is_alive)
    pane.title = "main"
    show("titled pane", pane)

    print("\n== typing and reading")
    pane.send_keys("echo hello from $((6 * 7))", enter=True)
    print(pane.wait_for("hello from 42").rstrip())  # captures until the text shows
    show("current_command", pane.current_command)
    show("current_commandline", pane.current_commandline)
    show("last_command.read()", _read_last(pane))

    print("\n== split and layout")
    right = pane.split(horizontal=True)
    show("split(horizontal=True)", right)
    show("resize('left', 5)", right.resize("left", 5))
    show("target_pane('=tour:0.1')", server.target_pane("=tour:0.1"))
    show("target_window('=tour:0')", server.target_window("=tour:0"))

    print("\n== stepping through windows")
    logs = session.new_window("logs")  # the current window stays the current one
    show("new_window('logs')", logs)
    show("windows", [w.name for w in session.windows])
    show("next", window.next)
    show("previous", window.previous)

    print("\n== renaming and killing")
    show("right.kill()", right.kill())
    show("window.kill()", window.kill())
    session.name = "tour-renamed"
    show("renamed session", session)
    show("session.kill()", session.kill())
    show("sessions", server.sessions)


def _read_last(pane: vordalin.Pane) -> str:
    # read() types a line that prints the last history entry and looks at the screen at
    # once; a shell that has not answered by then makes it fail, and its answer shows up
    # a moment later.
    try:
        return pane.last_command.read()
    except RuntimeError as error:
        answer = pane.wait_for("\n__VORDALIN__")
        line = next(line for line in answer.splitlines() if line.startswith("__VORDALIN__"))
        return f"{error} (the shell answered a moment later: {line!r})"


def main() -> None:
    directory = tempfile.mkdtemp(prefix="vordalin-tour-")
    os.environ["SHELL"] = shutil.which("bash") or "/bin/sh"
    # The panes' shells find no start-up files of the user's, so no slow one holds up the tour.
    os.environ["HOME"] = directory
    # An empty configuration: the tour does not depend on the user's tmux setup.
    server = vordalin.Server(os.path.join(directory, "tmux.sock"), config=os.devnull)
    try:
        tour(server)
    finally:
        show("kill()", server.kill())
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
