"""One fixed list of workloads, run once as processes and once over the channel, each time on a fresh
server whose configuration changes results: every result must be the same. Only what two fresh
servers really make differently (pids, creation times, the socket's path) is set aside."""

import os
import re
import shutil
import tempfile

import pytest

import vordalin
from helpers import clients, kept, needs_tmux, wait_for

pytestmark = [needs_tmux, pytest.mark.real]

# Window and pane numbers, renumbering, dead panes kept, the caller's variables by pattern, and
# what a pane runs when given nothing. Windows keep the names they are given or started with.
CONFIG = """\
set -g base-index 1
set -g pane-base-index 1
set -g renumber-windows on
set -g remain-on-exit on
set -g update-environment "VDL_*"
set -ga update-environment VDL_NONE
set -g default-shell /bin/sh
set -g default-command 'printf "default %s in %s\\n" "$VDL_X" "$PWD"; exec cat'
set -g automatic-rename off
set -g history-limit 100
"""


def outcome(act):
    try:
        return act()
    except (RuntimeError, ValueError) as error:
        return type(error).__name__, str(error)


def snapshot_fields(snapshot):
    """A snapshot's fields but the pids and the creation times, which two servers make differently."""
    return ([(s.id, s.name, s.attached, s.width, s.height, s.windows) for s in snapshot.sessions],
            [(w.session_name, w.id, w.pane_count, w.index, w.name, w.active, w.layout, w.width, w.height, w.flags)
             for w in snapshot.windows],
            [(p.session_name, p.window_index, p.pane_index, p.pane_id, p.title, p.current_command, p.current_path,
              p.active, p.dead, p.width, p.height, p.commandline) for p in snapshot.panes])


def workloads(server, route, env, work_directory):
    """Runs every workload in order and yields each result by name. The caller's environment and
    directory change (through `env`) after the first session, so that what new panes get from the
    caller shows."""
    first = server.new_session("first", width=100, height=30)
    yield "connect", route == "process" or server.connect()
    channel_client = clients(server)
    env.chdir(work_directory)
    env.setenv("VDL_X", "x from the caller")
    env.setenv("VDL_Y", "y")

    work = server.new_session("work", width=100, height=30)
    yield "create", (repr(work), outcome(lambda: server.new_session("work")))
    yield "session environment", sorted(work.environment.items())
    (default,) = work.windows
    yield "default window", (repr(default), repr(default.metadata), default.panes[0].wait_for("in /"))
    command = work.new_window("cmd", "printf 'cmd %s\\n' \"$VDL_X\"; exec cat")
    dies = work.new_window("dies", "printf 'bye\\n'; exit 3")
    spare = work.new_window("spare")
    yield "new windows", [repr(w) for w in (command, dies, spare)]
    wait_for(lambda: not dies.panes[0].is_alive, message="the window's program to end")
    top = command.panes[0]
    below = top.split()
    right = below.split(horizontal=True, command="printf 'split %s\\n' \"$PWD\"; exec cat", keep=False)
    yield "split", [repr(p) for p in (top, below, right)]
    for pane, text in ((top, "cmd x from"), (below, "default x from"), (right, "split /"),
                       (first.windows[0].panes[0], "default  in /")):
        pane.wait_for(text)

    command.name = "named"
    work.name = "renamed"
    yield "rename", (repr(work), repr(command), outcome(lambda: setattr(spare, "name", "a\tb")))
    # The records name their session: what still has the old name is found again.
    default, command, dies, spare = work.windows
    top, below, right = (server.target_pane(p.pane_id) for p in (top, below, right))
    yield "sessions", [repr(s) for s in server.sessions]
    yield "windows", [[repr(w) for w in s.windows] for s in server.sessions]
    yield "panes", [[repr(p) for p in w.panes] for s in server.sessions for w in s.windows]
    yield "metadata", ([outcome(lambda: repr(s.metadata())) for s in server.sessions], [repr(w.metadata) for w in
                                                                                           work.windows])
    targets = {"renamed:2": "window", "=renamed:=2": "window", ":2": "window", "2": "window", ":": "window",
               ":9": "window", "renamed:2.2": "pane", ":2.3": "pane", "1": "pane", ".1": "pane", right.pane_id: "pane",
               "first:1.1": "pane", "nope:1": "pane"}
    yield "targets", [outcome(lambda: repr(getattr(server, f"target_{kind}")(target)))
                      for target, kind in targets.items()]
    yield "captures", [(p.capture(), p.capture(trim=True), p.capture(full=True), p.capture(scroll_back=5))
                       for p in (default.panes[0], top, below, right, first.windows[0].panes[0])]
    yield "process", [(p.is_alive, p.current_command) for p in (top, right, dies.panes[0])]
    yield "display", (work.display("#{session_windows} #{window_index}"), right.display("#{pane_index} #{pane_at_right}"))
    yield "options", (dict(server.options), dict(server.global_options), dict(server.global_window_options),
                      dict(work.options), dict(command.options), dict(right.options))
    yield "snapshot", snapshot_fields(server.snapshot(commandlines=True))

    spare_index = spare.index
    spare.kill()
    yield "renumbered", ([(w.index, w.name) for w in work.windows], spare_index)
    dies.panes[0].kill()
    yield "after kills", snapshot_fields(server.snapshot())
    # Over the channel: the one opened first, never dropped; as processes: none.
    yield "channel kept", server.connected == (route == "channel") and kept(server, channel_client)


def run(route, monkeypatch, work_directory):
    """Every workload's result on a fresh server of its own, reached by `route`."""
    directory = tempfile.mkdtemp(prefix="vd", dir="/tmp")  # short: a socket's path has a limit
    config = os.path.join(directory, "tmux.conf")
    with open(config, "w") as out:
        out.write(CONFIG)
    server = vordalin.Server(os.path.join(directory, "s"), config=config)
    try:
        with monkeypatch.context() as env:
            env.delenv("VORDALIN_CHANNEL", raising=False)
            results = dict(workloads(server, route, env, work_directory))
        server.disconnect()
        # The socket's path is the one thing the two servers are told differently.
        return {name: re.sub(r"pid=Some\(\d+\)|created=\d+", "", repr(value)).replace(server.current_socket, "SOCKET")
                for name, value in results.items()}
    finally:
        server.kill()
        shutil.rmtree(directory, ignore_errors=True)


def test_every_workload_gives_the_same_result_per_process_and_over_the_channel(monkeypatch):
    work_directory = tempfile.mkdtemp(prefix="vd", dir="/tmp")  # short: the panes' lines hold it unwrapped
    try:
        per_process, over = (run(route, monkeypatch, work_directory) for route in ("process", "channel"))
    finally:
        shutil.rmtree(work_directory, ignore_errors=True)
    assert list(over) == list(per_process)
    assert {name: (over[name], per_process[name]) for name in over if over[name] != per_process[name]} == {}
    assert over["channel kept"] == over["connect"] == "True"

