"""The exact tmux command lines of the everyday surface, on the fake tmux."""

import pytest

from helpers import escaped, free

WINDOW = free("session_name") + "|#{window_index}|" + free("window_name")
PANE = free("session_name") + "|#{window_index}|#{pane_index}|#{pane_id}|" + free("pane_title")
STRICT = ["list-panes", "-t", "%1", "-f", "0", ";"]
WINDOW_OUT = f"{escaped('s')}|4|{escaped('w')}\n"
PANE_OUT = f"{escaped('s')}|4|1|%1|{escaped('t')}\n"


def records(classes):
    session = classes.Session("s", "/s")
    window = classes.Window("s", 2, "/s", "w")
    pane = classes.Pane("s", 2, 0, "%1", "t", "/s")
    return classes.Server("/s"), session, window, pane


CASES = [
    # (what, tmux's answers, the command lines)
    (lambda s, ss, w, p: s.options["escape-time"], ["10\n"], [["show-options", "-s", "-v", "--", "escape-time"]]),
    (lambda s, ss, w, p: s.global_options["update-environment"], ["update-environment[0] \"A B\"\n"],
     [["show-options", "-g", "--", "update-environment"]]),
    (lambda s, ss, w, p: ss.options.__setitem__("@x", "-x;"), [""],
     [["set-option", "-t", "=s:", "--", "@x", "-x\\;"]]),
    (lambda s, ss, w, p: s.global_window_options.__setitem__("pane-colours", ["red", "a b"]), [""],
     [["set-option", "-g", "-w", "--", "pane-colours", "", ";", "set-option", "-g", "-w", "--", "pane-colours[0]",
       "red", ";", "set-option", "-g", "-w", "--", "pane-colours[1]", "a b"]]),
    (lambda s, ss, w, p: w.options.__delitem__("mode-keys"), ["vi\n", ""],
     [["show-options", "-w", "-t", "=s:=2", "-v", "--", "mode-keys"],
      ["set-option", "-w", "-t", "=s:=2", "-u", "--", "mode-keys"]]),
    (lambda s, ss, w, p: list(iter(p.options)), ["remain-on-exit on\n"], [["show-options", "-p", "-t", "%1"]]),
    (lambda s, ss, w, p: ss.environment["A"], ["A=1\n"], [["show-environment", "-t", "=s:", "--", "A"]]),
    (lambda s, ss, w, p: s.environment.__setitem__("-A", "#{pid}"), [""],
     [["set-environment", "-g", "--", "-A", "#{pid}"]]),
    (lambda s, ss, w, p: list(iter(s.environment)), ["A=\"1\"; export A;\n"], [["show-environment", "-g", "-s"]]),
    (lambda s, ss, w, p: ss.hooks.__setitem__("after-new-window", "display a"), [""],
     [["set-hook", "-t", "=s:", "--", "after-new-window[0]", "display a"]]),
    (lambda s, ss, w, p: list(iter(s.hooks)), [""], [["show-hooks", "-g", ";", "show-hooks", "-g", "-w"]]),
    (lambda s, ss, w, p: p.hooks["pane-exited[2]"], ["pane-exited[2] display-message a\n"],
     [["show-hooks", "-p", "-t", "%1", "--", "pane-exited[2]"]]),
    (lambda s, ss, w, p: w.select_layout("tiled"), [""], [["select-layout", "-t", "=s:=2", "--", "tiled"]]),
    (lambda s, ss, w, p: w.resize(height=9), [""], [["resize-window", "-t", "=s:=2", "-y", "9"]]),
    (lambda s, ss, w, p: w.swap(w), [""], [["swap-window", "-d", "-s", "=s:=2", "-t", "=s:=2"]]),
    (lambda s, ss, w, p: w.move(index=5, session=ss), ["@7\n", WINDOW_OUT],
     [["list-panes", "-t", "=s:=2", "-f", "0", ";", "display-message", "-p", "-t", "=s:=2", "--", "#{window_id}"],
      ["move-window", "-d", "-s", "@7", "-t", "=s:=5", ";", "display-message", "-p", "-t", "@7", WINDOW]]),
    (lambda s, ss, w, p: p.swap(p), [""], [["swap-pane", "-d", "-s", "%1", "-t", "%1"]]),
    (lambda s, ss, w, p: p.join(w, horizontal=True, size=7), [PANE_OUT],
     [["join-pane", "-h", "-s", "%1", "-t", "=s:=2", "-l", "7", ";", "display-message", "-p", "-t", "%1", PANE]]),
    (lambda s, ss, w, p: p.break_out(name="#n;"), ["$3\n", WINDOW_OUT],
     [[*STRICT, "display-message", "-p", "-t", "%1", "--", "#{session_id}"],
      ["break-pane", "-s", "%1", "-t", "$3:", "-d", "-n", "#n\\;", ";", "display-message", "-p", "-t", "%1",
       WINDOW]]),
    (lambda s, ss, w, p: p.split(select=False, size=5, environment={"A": "1"}), ["1|%2|t\n"],
     [["split-window", "-v", "-t", "%1", "-P", "-F", "#{pane_index}|#{pane_id}|" + free("pane_title"), "-d",
       "-l", "5", "-e", "A=1"]]),
    (lambda s, ss, w, p: p.capture(escapes=True, join=True), ["x\n"], [["capture-pane", "-p", "-t", "%1", "-e", "-J"]]),
    (lambda s, ss, w, p: p.window, [WINDOW_OUT], [[*STRICT, "display-message", "-p", "-t", "%1", "--", WINDOW]]),
    (lambda s, ss, w, p: w.active_pane, [PANE_OUT],
     [["list-panes", "-t", "=s:=2", "-f", "0", ";", "display-message", "-p", "-t", "=s:=2", "--", PANE]]),
    (lambda s, ss, w, p: ss.active_window, [WINDOW_OUT],
     [["list-panes", "-t", "=s:", "-f", "0", ";", "display-message", "-p", "-t", "=s:", "--", WINDOW]]),
    (lambda s, ss, w, p: p.display("-#{pane_id}"), ["x\n"], [[*STRICT, "display-message", "-p", "-t", "%1", "--",
                                                              "-#{pane_id}"]]),
    (lambda s, ss, w, p: s.display("#{pid}"), ["1\n"], [["display-message", "-p", "--", "#{pid}"]]),
    (lambda s, ss, w, p: s.session("s"), [""], [["has-session", "-t", "=s"]]),
    (lambda s, ss, w, p: s.clients, [""],
     [["list-clients", "-F", "#{client_pid}|#{client_control_mode}|#{client_width}|#{client_height}|" +
       free("client_name") + "|" + free("client_tty") + "|" + free("client_session")]]),
]


@pytest.mark.parametrize("act, answers, expected", CASES)
def test_command_lines(classes, fake_tmux, act, answers, expected):
    for answer in answers:
        fake_tmux.respond(stdout=answer)
    act(*records(classes))
    assert [call[2:] for call in fake_tmux.calls] == expected
    assert all(call[:2] == ["-S", "/s"] for call in fake_tmux.calls)


def test_nothing_runs_for_refused_input(classes, fake_tmux):
    server, session, window, pane = records(classes)
    refusals = [
        (lambda: window.select_layout("sideways"), ValueError), (lambda: window.resize(), ValueError),
        (lambda: server.options["status"], KeyError), (lambda: session.options["status-k"], KeyError),
        (lambda: server.options.__setitem__("status", "on"), ValueError),
        (lambda: session.hooks.__setitem__("pane-exited", "x"), ValueError),
        (lambda: session.environment.__setitem__("A=B", "x"), ValueError),
        (lambda: pane.break_out(name="a\\b"), ValueError),
        (lambda: window.swap(classes.Window("s", 1, "/other", "w")), ValueError),
        (lambda: classes.Session("a:b", "/s").options, RuntimeError),
    ]
    for act, error in refusals:
        with pytest.raises(error):
            act()
    assert fake_tmux.calls == []
