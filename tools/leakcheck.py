#!/usr/bin/env python3
"""Calls every public member of vordalin many times, for `make leakcheck`.

Run under valgrind with PYTHONMALLOC=malloc (see mk/hardening.mk): successes against a
private real tmux server, failures and odd output through the suite's fake tmux, start
failures with no tmux at all, and argument errors. It also checks in-process that no call
keeps a reference to its arguments or to the classes.

With --report LOG.xml it reads valgrind's XML log instead, and fails on any error or any
definite or indirect loss whose stack passes through the module.
"""

import argparse
import asyncio
import signal
import subprocess
import sys
import threading
import xml.etree.ElementTree as ElementTree
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import vordalin  # noqa: E402
from soak import workbench  # noqa: E402

DOCUMENTED = (RuntimeError, ValueError, TypeError, OverflowError, UnicodeEncodeError, AttributeError, KeyError,
              TimeoutError)
# Argument objects made at run time, so that only our calls hold references to them.
NAME, TEXT, NUMBER = "".join(["le", "ak"]), "".join(["it", "'s ", "x"]), 10**30
CLASSES = []
FIELDS = {
    "Session": ("name", "socket"),
    "Window": ("session_name", "index", "socket", "name"),
    "Pane": ("session_name", "window_index", "pane_index", "pane_id", "title", "socket"),
    "LastCommand": ("pane_id", "socket"),
    "SessionMetadata": ("id", "name", "created", "attached", "width", "height", "windows"),
    "WindowMetadata": ("index", "name", "active", "layout", "width", "height", "flags"),
}


def calls(bench):
    """(mode, fake answers as (program, answer) pairs, call) covering every member."""
    server = vordalin.Server(bench.socket)
    spare = vordalin.Server(bench.socket + "-spare")
    (session,) = server.sessions
    window, _ = session.windows
    (pane,) = window.panes
    Session, Window, Pane = type(session), type(window), type(pane)
    gone = Pane("main", 0, 0, "%99999", NAME, bench.socket)
    nowhere = Window("absent", 7, bench.socket, NAME)
    CLASSES.extend({type(x) for x in (server, session, window, pane, pane.last_command, session.metadata(),
                                      window.metadata)})

    def read_fields():
        for record in (session, window, pane, pane.last_command, session.metadata(), window.metadata):
            for name in FIELDS[type(record).__name__]:
                getattr(record, name)

    def new_pane_round_trip():
        new = pane.split(command="sleep 30", keep=False)
        for act in (lambda: new.resize("up", 1), lambda: new.respawn(command="sleep 30", kill=True),
                    lambda: new.send_keys(TEXT, enter=True, clear_first=True), lambda: new.bash_shell(respawn=True),
                    lambda: new.bash_shell(), lambda: new.current_commandline, lambda: new.last_command.run(),
                    lambda: new.last_command.read(), lambda: repr(new.last_command), lambda: new.kill()):
            attempt(act)

    def mappings_round_trip():
        options, environment, hooks = session.options, session.environment, session.hooks
        for act in (lambda: options.__setitem__("@leak", TEXT), lambda: options["@leak"], lambda: list(options),
                    lambda: "@leak" in options, lambda: options.__delitem__("@leak"), lambda: options["@leak"],
                    lambda: server.global_options.__setitem__("update-environment", [TEXT, NAME]),
                    lambda: server.global_options["update-environment"], lambda: server.options["status"],
                    lambda: server.options.__setitem__("status", "on"), lambda: options.__setitem__(NAME, 1.5),
                    lambda: window.options.get("mode-keys"), lambda: dict(pane.options), lambda: repr(options),
                    lambda: environment.__setitem__(NAME, TEXT), lambda: dict(environment.items()),
                    lambda: environment.__delitem__(NAME), lambda: server.environment[NAME],
                    lambda: hooks.__setitem__("after-new-window[3]", "display x"), lambda: list(server.hooks),
                    lambda: hooks.__delitem__("after-new-window"), lambda: pane.hooks.__setitem__(NAME, TEXT)):
            attempt(act)

    def moving_round_trip():
        new = pane.split(select=False, size=3, environment={NAME: TEXT})
        alone = new.break_out(name=NAME)
        for act in (lambda: alone.move(index=NUMBER % 97), lambda: new.join(window, horizontal=True, size=5),
                    lambda: new.swap(pane), lambda: window.select_layout("tiled"), lambda: window.select_layout(NAME),
                    lambda: window.resize(80, 24), lambda: window.resize(), lambda: window.swap(window),
                    lambda: new.kill()):
            attempt(act)

    def waits_round_trip():
        mark = pane.mark()
        for act in (lambda: pane.wait_for(TEXT, since=mark, timeout=0), lambda: pane.wait_for("", since=mark),
                    lambda: pane.wait_quiet(0.01, timeout=0), lambda: pane.wait_exit(timeout=0),
                    lambda: repr(pane.run(f"echo {NAME}", timeout=10)), lambda: gone.wait_exit(),
                    lambda: gone.mark(), lambda: gone.run(TEXT), lambda: Pane("main", 0, 0, pane.pane_id, NAME,
                    bench.socket + "-spare").wait_for(TEXT, since=mark),
                    lambda: asyncio.run(pane.await_for("", since=mark)),
                    lambda: asyncio.run(pane.await_exit(timeout=0)), lambda: repr(asyncio.run(pane.arun("true")))):
            attempt(act)

    def with_block():
        with spare as started:
            started.start()

    def events_round_trip():
        with session.events(output=True) as events:
            pane.send_keys("echo " + TEXT, enter=True)
            while (event := events.get(5)) is not None and event.kind != "output":
                pass
            repr(event), event == event
        with server.events() as changes:
            changes.get(0)
        list(changes)

    real = [
        mappings_round_trip, moving_round_trip, waits_round_trip, with_block, events_round_trip,
        lambda: server.session("main"),
        lambda: server.session(NAME), lambda: server.display("#{pid}"), lambda: session.display(TEXT),
        lambda: session.active_window, lambda: window.active_pane, lambda: window.session, lambda: pane.window,
        lambda: pane.display(TEXT), lambda: repr(server.clients), lambda: pane.capture(escapes=True, join=True),
        lambda: nowhere.move(index=3), lambda: nowhere.active_pane, lambda: gone.window, lambda: gone.swap(pane),
        lambda: gone.break_out(), lambda: gone.join(window), lambda: gone.options["remain-on-exit"],
        lambda: spare.start(), lambda: spare.kill(), lambda: server.is_running, lambda: server.has_session(NAME),
        lambda: server.sessions, lambda: server.current_socket, lambda: vordalin.Server().current_socket,
        lambda: server.target_pane("main:0.0"), lambda: server.target_window("main:1"),
        lambda: server.target_pane(NAME), lambda: server.new_session("main"),
        lambda: server.new_session(NAME).kill(), lambda: setattr(session, "name", "main"),
        lambda: repr(session.metadata()), lambda: Session(NAME, bench.socket).metadata(), lambda: session.windows,
        lambda: window.panes, lambda: repr(window.metadata), lambda: window.select, lambda: window.next,
        lambda: window.previous, lambda: setattr(window, "name", NAME), lambda: nowhere.metadata,
        lambda: setattr(nowhere, "name", NAME), lambda: nowhere.kill(), lambda: nowhere.next,
        lambda: pane.is_alive, lambda: pane.capture(), lambda: pane.capture(trim=True, scroll_back=NUMBER % 99),
        lambda: pane.capture(full=True), lambda: pane.current_command, lambda: pane.current_commandline,
        lambda: setattr(pane, "title", TEXT), lambda: pane.select, lambda: pane.clear, lambda: repr(pane),
        lambda: pane.resize("sideways", 1), lambda: pane.respawn(), new_pane_round_trip, read_fields,
        lambda: gone.kill(), lambda: gone.select, lambda: gone.clear, lambda: gone.is_alive, lambda: gone.capture(),
        lambda: setattr(gone, "title", TEXT), lambda: gone.send_keys(TEXT), lambda: gone.split(),
        lambda: gone.respawn(), lambda: gone.current_command, lambda: gone.last_command.read(),
    ]
    t = "tmux"
    fake = [
        ([(t, {"stdout": b"main\t1\t2\t%3\ttitle\twith tab"})], lambda: repr(server.target_pane(NAME))),
        ([(t, {"stdout": b"\t1"})], lambda: server.target_pane(NAME)),
        ([(t, {"stdout": b"s\t99999999999"})], lambda: server.target_window(NAME)),
        ([(t, {"stdout": b"s\t1\t-"})], lambda: server.target_pane(NAME)),
        ([(t, {"code": 1, "stderr": b"no \xff\n"})], lambda: server.target_window(NAME)),
        ([(t, {"stdout": b"$1|leak|+12|0| 80 |x|3\n"})], lambda: repr(Session(NAME).metadata())),
        ([(t, {"stdout": b"$1|leak| 1|0|||3\n"})], lambda: Session(NAME).metadata()),
        ([(t, {"stdout": b"$1|leak|1|0|||x\n"})], lambda: Session(NAME).metadata()),
        ([(t, {"stdout": b"$1|other|1|0|||1\n"})], lambda: Session(NAME).metadata()),
        ([(t, {"stdout": b"1|n|1|l|80||*"})], lambda: repr(window.metadata)),
        ([(t, {"stdout": b"1|n|1|l"})], lambda: window.metadata),
        ([(t, {"stdout": b"-1|n|1|l|||"})], lambda: window.metadata),
        ([(t, {"stdout": b"1|n|1|l| x |1|"})], lambda: window.metadata),
        ([(t, {}), (t, {"stdout": b"4|name\n"})], lambda: window.next),
        ([(t, {"code": 1})], lambda: window.previous),
        ([(t, {"stdout": b"x|%1|t"})], lambda: pane.split(command=TEXT)),
        ([(t, {"stdout": b"1|%1"})], lambda: pane.split(horizontal=True)),
        ([(t, {}), (t, {"stdout": b"$ printf\n  __VORDALIN__ ls -l \n"})], lambda: pane.last_command.read()),
        ([(t, {}), (t, {"stdout": b"nothing\n"})], lambda: pane.last_command.read()),
        ([(t, {"stdout": b"123\n"}), ("ps", {"stdout": b" sleep 30 \n"})], lambda: pane.current_commandline),
        ([(t, {"code": 1}), ("id", {"stdout": b"1000\n"})], lambda: vordalin.Server().current_socket),
        ([(t, {"stdout": b"  \n\nline\n \n"})], lambda: pane.capture(trim=True)),
        ([(t, {"stdout": b"a\n\n b \n|\n"})], lambda: server.sessions),
        ([(t, {"stdout": b"0|a\n+1|b\n-1|c\n"})], lambda: session.windows),
        ([(t, {"stdout": b"0|%1|a\n1|%2|b\\|c\n"})], lambda: window.panes),
        ([(t, {"signal": signal.SIGKILL, "stdout": b"0|%1|1|a\n"})], lambda: window.panes),
        ([(t, {"signal": signal.SIGTERM, "stderr": b"dying"})], lambda: pane.kill()),
        ([(t, {"code": 1, "stderr": b"taken\n"})], lambda: setattr(session, "name", NAME)),
        ([(t, {"code": 1})], lambda: setattr(window, "name", NAME)),
        ([(t, {"code": 1, "stderr": b"clear failed"})], lambda: pane.send_keys(TEXT, clear_first=True)),
        ([(t, {"stdout": b"0\n", "stderr": b"e" * 70000})], lambda: pane.is_alive),
        # A thread keeps a spare output block of its own, which must go when the thread ends.
        ([(t, {"stdout": b"x" * 300000})], lambda: in_a_thread(pane.capture)),
    ]
    absent = [
        lambda: server.start(), lambda: server.kill(), lambda: server.is_running, lambda: server.sessions,
        lambda: server.new_session(NAME), lambda: server.target_pane(NAME), lambda: vordalin.Server().current_socket,
        lambda: session.kill(), lambda: session.windows, lambda: session.metadata(),
        lambda: setattr(session, "name", NAME), lambda: window.kill(), lambda: window.panes, lambda: window.next,
        lambda: pane.capture(), lambda: pane.split(), lambda: pane.bash_shell(), lambda: pane.current_commandline,
        lambda: pane.last_command.run(), lambda: pane.send_keys("a\0b"),
    ]
    arguments = [
        lambda: server.has_session(NUMBER), lambda: server.has_session(), lambda: server.has_session(NAME, NAME),
        lambda: server.has_session(NAME, name=NAME), lambda: server.has_session(other=NAME),
        lambda: vordalin.Server("\udcff"), lambda: Session(NAME, socket=b"x"), lambda: Window(NAME, NUMBER, None, NAME),
        lambda: Window(NAME, -1, None, NAME), lambda: Window(NAME, 1.5, None, NAME),
        lambda: Pane(NAME, 0, 0, NAME, NAME),
        lambda: pane.capture(scroll_back=TEXT), lambda: pane.send_keys(TEXT, enter=1),
        lambda: pane.resize("up", -1), lambda: setattr(pane, "title", None), lambda: delattr(session, "name"),
        lambda: type(pane.last_command)(), lambda: server.kill(NAME),
    ]
    return ([("real", [], act) for act in real] + [("fake", answers, act) for answers, act in fake]
            + [("none", [], act) for act in absent] + [("none", [], act) for act in arguments])


def in_a_thread(act):
    worker = threading.Thread(target=attempt, args=(act,))
    worker.start()
    worker.join()


def attempt(act):
    try:
        act()
        return "returned"
    except DOCUMENTED:
        return "raised"


def references():
    return [sys.getrefcount(x) for x in (NAME, TEXT, NUMBER, *CLASSES)]


def exercise(iterations):
    with workbench() as bench:
        subprocess.run(["tmux", "-S", bench.socket, "new-window", "-d", "-t", "=main"], check=True)
        table = calls(bench)
        outcomes = {}
        for iteration in range(max(iterations, 1) + 1):
            if iteration == 1:
                bench.use("real")
                before = references()
            for mode, answers, _act in table:
                for program, answer in answers:
                    bench.fake.respond(program=program, **answer)
            for mode, _answers, act in table:
                bench.use(mode)
                outcome = attempt(act)
                outcomes[mode, outcome] = outcomes.get((mode, outcome), 0) + 1
        bench.use("real")
        after = references()
        subprocess.run(["tmux", "-S", bench.socket + "-spare", "kill-server"], stderr=subprocess.DEVNULL)
    print("leakcheck: calls by mode and outcome:", dict(sorted(outcomes.items())))
    if before != after:
        sys.exit(f"leakcheck: reference counts moved from {before} to {after}")
    if not outcomes.get(("real", "returned")):
        sys.exit("leakcheck: no call against the real server succeeded")


def frames_in_module(element):
    return any("vordalin" in (frame.findtext("obj") or "") for frame in element.iter("frame"))


def report(path):
    root = ElementTree.parse(path).getroot()
    counted = {"module": [], "interpreter": 0}
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind.startswith("Leak_") and kind not in ("Leak_DefinitelyLost", "Leak_IndirectlyLost"):
            continue
        if frames_in_module(error):
            counted["module"].append(f"{kind}: {error.findtext('xwhat/text') or error.findtext('what')}")
        else:
            counted["interpreter"] += 1
    ours = sum(int(pair.findtext("count")) for pair in root.iter("pair")
               if pair.findtext("name", "").startswith("cpython-"))
    print(f"leakcheck: {len(counted['module'])} errors or losses through the module, "
          f"{counted['interpreter']} in the interpreter alone, {ours} suppressed by tools/python.supp")
    for line in counted["module"]:
        print("  " + line)
    if counted["module"]:
        sys.exit(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--report", metavar="XML")
    args = parser.parse_args()
    if args.report:
        report(args.report)
    else:
        exercise(args.iterations)


if __name__ == "__main__":
    main()
