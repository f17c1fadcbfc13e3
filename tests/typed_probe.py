"""A typed walk through the whole API, for `make typecheck` (mypy --strict against the stubs).

Every annotation below is what a user would write; mypy must accept them all, and
tests/test_examples.py runs the walk on a private server so that it stays true at run time.
"""

from __future__ import annotations

import asyncio
import os
import re
import shutil
import tempfile

import vordalin


def walk(server: vordalin.Server) -> list[str]:
    seen: list[str] = []
    session: vordalin.Session = server.new_session("probe", start_directory="/", environment={"K": "v"}, width=80)
    sessions: list[vordalin.Session] = server.sessions
    running: bool = server.is_running and server.has_session(session.name) and server.start()
    socket: str | None = server.current_socket
    host: str | None = server.host or session.host
    ssh_options: list[str] = server.ssh_options
    everything: dict[vordalin.Server, vordalin.Snapshot | Exception] = vordalin.snapshot_all([server], timeout=10)
    seen += [session.name, str(len(sessions)), str(running), socket or "", host or "", *ssh_options]
    seen += [str(len(everything))]

    meta: vordalin.SessionMetadata = session.metadata()
    created: int = meta.created
    width: int | None = meta.width
    window: vordalin.Window = session.new_window("w", select=True)
    windows: list[vordalin.Window] = session.windows
    wmeta: vordalin.WindowMetadata = window.metadata
    stepped: vordalin.Window | None = window.next or window.previous
    seen += [meta.id, str(created), str(width), wmeta.layout, str(len(windows)), str(stepped is not None)]

    pane: vordalin.Pane = window.panes[0]
    pane.title = "probe"
    pane.wait_for(re.compile(r"\S"))  # the shell's prompt: keys typed before it may be lost
    sent: bool = pane.send_keys("echo probe-$((6 * 7))", enter=True) and pane.send_keys("x", literal=True)
    screen: str = pane.wait_for(re.compile(r"probe-42"), timeout=10, full=True)
    captured: str | None = pane.capture(trim=True, scroll_back=10)
    pid: int | None = pane.pid
    command: str | None = pane.current_command
    other: vordalin.Pane = pane.split(horizontal=True, command="sleep 30", keep=False)
    resized: bool = other.resize("left", 1) and other.kill()
    last: vordalin.LastCommand = pane.last_command
    pane.send_keys("C-u")  # the "x" typed above
    mark: vordalin.Mark = pane.mark()
    pane.send_keys("echo probe-$((6 * 7))", enter=True)
    below: str = pane.wait_for("probe-42", since=mark, interval=0.1)
    ran: vordalin.RunResult = pane.run("echo ran; false")
    quiet: str = pane.wait_quiet(0.2, timeout=10)
    awaited: vordalin.RunResult = asyncio.run(pane.arun("true"))
    exited: int | None = pane.split(command="true", keep=False).wait_exit(timeout=10)
    seen += [below.split()[0], ran.output.strip(), str(ran.status), str(bool(quiet)), str(awaited.status), str(exited)]
    seen += [str(sent), screen.strip()[:5], str(captured is not None), str(pid is not None), command or "",
             str(resized), last.pane_id]

    snap: vordalin.Snapshot = server.snapshot(commandlines=True)
    infos: list[vordalin.PaneInfo] = snap.panes
    winfo: vordalin.WindowInfo = snap.windows[0]
    by_value: set[vordalin.Snapshot | vordalin.SessionMetadata] = {snap, server.snapshot(), meta}
    keys: dict[vordalin.Pane, vordalin.Window] = {info.pane: winfo.window for info in infos}
    result: vordalin.CommandResult = server.cmd("display-message", "-p", "#{session_name}")
    seen += [str(len(by_value)), str(len(keys)), result.stdout.strip(), str(result.returncode)]

    with session.events(output=True) as events:
        window.name = "events"
        event: vordalin.Event | None = events.get(timeout=10)
        kinds: list[str] = [each.kind for each in [event] if each is not None]
    changes: vordalin.Events = server.events()
    changes.close()

    async def first(stream: vordalin.Events) -> vordalin.Event | None:
        async for each in stream:
            return each
        return None

    seen += [*kinds, str(asyncio.run(first(changes)))]

    try:
        server.target_pane("=nope:0.0")
    except vordalin.NotFoundError as error:
        words: list[str] = error.command
        code: int | None = error.returncode
        seen += [words[0], str(code), error.stderr.strip()]
    try:
        server.new_session("probe")
    except vordalin.TmuxError as error:
        seen.append(str(error))
    return seen


def main() -> None:
    directory = tempfile.mkdtemp(prefix="vordalin-probe-", dir="/tmp")
    # The panes' shell starts from no start-up file of the user's, so no slow one holds it up.
    os.environ.update(HOME=directory, SHELL="/bin/sh")
    server = vordalin.Server(os.path.join(directory, "tmux.sock"), config=os.devnull)
    try:
        print("\n".join(walk(server)))
    finally:
        server.kill()
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
