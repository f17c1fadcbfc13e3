"""Event streams: tmux's notifications as events, pane output byte-exact, and clean ends."""

import asyncio
import os
import subprocess
import sys
import time

import pytest

import vordalin
from helpers import UNDER_ASAN, child_pids, clients, loop_turns, needs_tmux, open_fds, wait_for

pytestmark = needs_tmux


def collect(events, until, timeout=10.0):
    """The events taken until one satisfies `until` (it included); fails at the timeout."""
    taken = []
    deadline = time.monotonic() + timeout
    while not taken or not until(taken[-1]):
        left = deadline - time.monotonic()
        event = events.get(left) if left > 0 else None
        if event is None:
            raise AssertionError(f"no matching event within {timeout}s; got {taken}")
        taken.append(event)
    return taken


def output_of(events, pane_id, ending, timeout=20.0):
    """The text a pane wrote, read from the stream until it ends with `ending`."""
    text = ""
    deadline = time.monotonic() + timeout
    while not text.endswith(ending):
        left = deadline - time.monotonic()
        event = events.get(left) if left > 0 else None
        if event is None:
            raise AssertionError(f"the pane's output did not end with {ending!r}: {text[-200:]!r}")
        if event.kind == "output" and event.pane_id == pane_id:
            text += event.text
    return text


def test_each_kind_from_a_real_change(tmux_server, tmux_session):
    other = tmux_server.new_session("other")
    with tmux_server.events() as events:
        attached = tmux_server.cmd("display-message", "-p", "#{session_id}").stdout.strip()
        mine, theirs = (tmux_session, other) if tmux_session.metadata().id == attached else (other, tmux_session)
        window = mine.new_window("first")
        window_id = window.display("#{window_id}")
        (added,) = [e for e in collect(events, lambda e: e.kind == "window-add") if e.kind == "window-add"]
        assert (added.window_id, added.session_id, added.pane_id, added.name, added.text) == (window_id, None, None,
                                                                                               None, None)
        window.name = "renamed; x é"
        renamed = collect(events, lambda e: e.kind == "window-renamed")[-1]
        assert (renamed.window_id, renamed.name) == (window_id, "renamed; x é")
        elsewhere = theirs.new_window("far")
        far_id = elsewhere.display("#{window_id}")
        assert collect(events, lambda e: e.kind == "unlinked-window-add")[-1].window_id == far_id
        elsewhere.name = "far away"
        renamed = collect(events, lambda e: e.kind == "unlinked-window-renamed")[-1]
        assert (renamed.window_id, renamed.name) == (far_id, "far away")
        elsewhere.kill()
        assert collect(events, lambda e: e.kind == "unlinked-window-close")[-1].window_id == far_id
        theirs_id = theirs.metadata().id
        theirs.name = "new name"
        renamed = collect(events, lambda e: e.kind == "session-renamed")[-1]
        assert (renamed.session_id, renamed.name) == (theirs_id, "new name")
        window.panes[0].split()
        assert collect(events, lambda e: e.kind == "layout-change")[-1].window_id == window_id
        # tmux 3.3a tells of a window's end once it is in no session any more: as a window of others.
        window.kill()
        closed = collect(events, lambda e: e.kind.endswith("window-close") and e.window_id == window_id)[-1]
        assert closed.kind in ("window-close", "unlinked-window-close")


def test_events_are_read_only_values(tmux_server, tmux_session):
    with tmux_session.events() as events:
        tmux_session.name = "renamed"
        (event,) = [e for e in collect(events, lambda e: e.kind == "session-renamed") if e.kind == "session-renamed"]
    twin = next(e for e in [event] if e == event)
    assert twin == event and not (twin != event) and event != "session-renamed"
    assert str(event) == repr(event) == (f'Event(kind="session-renamed", session_id=Some("{event.session_id}"), '
                                         'window_id=None, pane_id=None, name=Some("renamed"), text=None)')
    with pytest.raises(AttributeError):
        event.kind = "output"
    with pytest.raises(TypeError):
        type(event)()


# Each case: what the program writes, in writes of their own.
HOSTILE = {
    "invalid UTF-8": [b"a\xff\xfeb\xc3(\xed\xa0\x80z"],
    "a character split across writes": [b"\xc3", b"\xa9 and \xf0\x9f", b"\x98\x80"],
    "escape sequences and backslashes": [b"\x1b[1;31mred\x1b[0m \\ \\134 \x07\x00\x7f"],
    "line ends": [b"one\r\ntwo\nthree\r"],
    "a 1 MB burst": [bytes(range(256)) * 4096],
}


@pytest.mark.parametrize("writes", HOSTILE.values(), ids=HOSTILE.keys())
def test_output_text_is_exact(tmux_session, tmp_path, writes):
    # Raw mode: the terminal passes the bytes on as they are (no \n to \r\n).
    script = ["stty raw -echo"]
    for i, chunk in enumerate(writes):
        (tmp_path / str(i)).write_bytes(chunk)
        script.append(f"cat {tmp_path / str(i)}; sleep 0.1")
    script.append("printf END-OF-OUTPUT; exec sleep 60")
    with tmux_session.events(output=True) as events:
        pane = tmux_session.new_window("w", "; ".join(script)).panes[0]
        text = output_of(events, pane.pane_id, "END-OF-OUTPUT")
    assert text == b"".join(writes).decode("utf-8", "replace") + "END-OF-OUTPUT"


def test_no_output_without_asking(tmux_server, tmux_session):
    with tmux_session.events() as events:
        window = tmux_session.new_window("w", "echo loud; exec sleep 60")
        window.panes[0].wait_for("loud")
        window.name = "done"
        taken = collect(events, lambda e: e.kind == "window-renamed")
    assert all(e.kind != "output" for e in taken)


def test_async_for(tmux_server, tmux_session):
    async def main():
        with tmux_session.events(output=True) as events:
            ticks = [0]
            ticker = asyncio.create_task(loop_turns(ticks))
            pane = tmux_session.new_window("w", "sleep 0.5; echo ready; exec sleep 60").panes[0]
            text = ""
            async for event in events:
                if event.kind == "output" and event.pane_id == pane.pane_id:
                    text += event.text
                    if "ready" in text:
                        break
            ticker.cancel()
        # Closed: the next step ends the loop.
        assert [event async for event in events] == []
        return ticks[0]

    # The loop kept running while the stream waited.
    assert asyncio.run(asyncio.wait_for(main(), 20)) > 5


def test_no_asyncio_at_import():
    code = "import sys, vordalin; print('asyncio' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout == "False\n"


def test_the_stream_is_not_counted(tmux_server, tmux_session):
    other = tmux_server.new_session("other")
    before = tmux_server.cmd("display-message", "-p", "#{session_name}").stdout
    tmux_session.metadata()  # under VORDALIN_CHANNEL=1 the channel is open from here on
    channel = clients(tmux_server)
    with tmux_server.events(), other.events(output=True), tmux_session.events():
        assert len(clients(tmux_server)) == 3 + len(channel)  # tmux lists them
        assert tmux_server.clients == []
        assert [s.attached for s in tmux_server.snapshot().sessions] == [False, False]
        assert not tmux_session.metadata().attached and not other.metadata().attached
        # Relative targets resolve where they did.
        assert tmux_server.cmd("display-message", "-p", "#{session_name}").stdout == before
    assert clients(tmux_server) == channel


@pytest.mark.parametrize("end", ["close", "server exit", "dropped"])
def test_the_stream_ends_without_leaks(tmux_server, tmux_session, monkeypatch, end):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    tmux_server.disconnect()  # the server's end would end it too
    fds, children = open_fds(), child_pids()
    events = tmux_session.events(output=True)
    (pid,) = clients(tmux_server)
    if end == "close":
        events.close()
        assert list(events) == [] and events.get(0) is None
        events.close()
    elif end == "server exit":
        tmux_server.kill()
        assert list(events)[-1].kind == "exit"
        assert events.get() is None
    if end != "dropped":
        wait_for(lambda: not os.path.exists(f"/proc/{pid}"), message="the stream's client to end")
        assert child_pids() == children
    del events  # its descriptor goes with it
    wait_for(lambda: not os.path.exists(f"/proc/{pid}"), message="the stream's client to end")
    assert open_fds() == fds and child_pids() == children


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


@pytest.mark.skipif(UNDER_ASAN, reason="resident sizes mean nothing under AddressSanitizer")
def test_a_reader_that_falls_behind_pauses_the_pane(tmux_server, tmux_session, tmp_path):
    server_pid = int(tmux_server.display("#{pid}"))
    go = tmp_path / "go"
    flood = (f"head -c 40000000 /dev/zero | tr '\\0' x; echo; echo FLOOD-DONE; "
             f"while [ ! -e {go} ]; do sleep 0.05; done; echo RESUMED; exec sleep 60")
    with tmux_session.events(output=True) as events:
        ours, theirs = resident_mib(os.getpid()), resident_mib(server_pid)
        pane = tmux_session.new_window("flood", flood).panes[0]
        pane.wait_for("FLOOD-DONE", timeout=120)  # nothing read meanwhile
        # Bounds wide enough that only unbounded growth (the flood is 40 MB) crosses them.
        assert resident_mib(os.getpid()) - ours < 24 and resident_mib(server_pid) - theirs < 24
        taken = collect(events, lambda e: e.kind == "pause" and e.pane_id == pane.pane_id, timeout=60)
        assert sum(len(e.text) for e in taken if e.kind == "output") < 40_000_000
        # Taking the pause resumes the pane.
        assert collect(events, lambda e: e.kind == "continue")[-1].pane_id == pane.pane_id
        go.touch()
        assert "RESUMED" in output_of(events, pane.pane_id, "RESUMED\r\n")


def settled(watch):
    """The watch, once what its start woke (tmux's first look at its subscription) is taken."""
    while watch.changed(1.5):
        pass
    return watch


def test_no_watch_without_a_channel(tmux_server, tmux_pane, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    tmux_server.disconnect()
    assert vordalin._pane_watch(tmux_pane) is None


@pytest.fixture
def connected(tmux_server, tmux_pane, monkeypatch):
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    assert tmux_server.connect()
    yield tmux_server
    tmux_server.disconnect()


def test_a_watch_wakes_for_its_pane_only(connected, tmux_session, tmux_pane):
    other = tmux_pane.split()
    watch, watch_other = settled(vordalin._pane_watch(tmux_pane)), vordalin._pane_watch(other)
    assert len(clients(connected)) == 2  # the channel's, and one stream both watches share
    other.send_keys("echo elsewhere", enter=True)
    assert settled(watch_other) and not watch.changed(0.5)
    tmux_pane.send_keys("echo here", enter=True)
    assert watch.changed(5)
    # The stream outlives its watches, for the next wait, and goes with the channel.
    del watch, watch_other
    assert len(clients(connected)) == 2 and vordalin._pane_watch(other) is not None
    connected.disconnect()
    wait_for(lambda: len(clients(connected)) == 0, message="the shared stream to end with the channel")


@pytest.mark.parametrize("remain", [True, False])
def test_a_watch_wakes_when_the_program_exits(connected, tmux_session, remain):
    # The program writes nothing: only its end can wake the watch.
    window = tmux_session.new_window("w", "stty -echo; read line")
    window_id = window.display("#{window_id}")
    connected.cmd("set-option", "-w", "-t", window_id, "remain-on-exit", "on" if remain else "off")
    pane = window.panes[0]
    watch = settled(vordalin._pane_watch(pane))
    connected.cmd("send-keys", "-t", pane.pane_id, "Enter")
    assert watch.changed(5)
    if remain:
        assert connected.cmd("display-message", "-p", "-t", pane.pane_id, "#{pane_dead}").stdout == "1\n"


def test_a_watch_wakes_when_the_server_exits(connected, tmux_pane):
    watch = settled(vordalin._pane_watch(tmux_pane))
    connected.kill()
    assert watch.changed(5) and watch.changed(0) and watch.changed(0)
