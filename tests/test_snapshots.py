"""Metadata snapshots, stepping through windows, what runs in a pane, and the socket path."""

import os

import pytest

import vordalin
from helpers import escaped, free, wait_for

SESSION_FORMAT = "#{session_id}|" + free("session_name") + "|" + "|".join(
    f"#{{session_{n}}}" for n in "created attached width height windows".split())
WINDOW_FORMAT = "#{window_index}|" + free("window_name") + "|" + "|".join(
    f"#{{window_{n}}}" for n in "active layout width height flags".split())
TOO_LARGE, BAD_DIGIT, EMPTY = (": number too large to fit in target type", ": invalid digit found in string",
                               ": cannot parse integer from empty string")


def framed(*values):
    """A record as tmux prints it for the formats above: the second value (a name) is counted."""
    first, name, *rest = values
    return "|".join([first, escaped(name), *rest])


def fields(meta):
    if type(meta).__name__ == "WindowMetadata":
        return (meta.index, meta.name, meta.active, meta.layout, meta.width, meta.height, meta.flags)
    return (meta.id, meta.name, meta.created, meta.attached, meta.width, meta.height, meta.windows)


@pytest.mark.parametrize("kind, answer, expected", [
    ("session", framed("$1", "work", "+017", "0", " 80 ", "", "2"), ("$1", "work", 17, False, 80, None, 2)),
    ("session", framed("$9", "work", "18446744073709551615", "", "-1", "4294967296", "4294967295"),
     ("$9", "work", 2**64 - 1, True, None, None, 2**32 - 1)),
    ("session", framed("$1", "work", "1", "2", "abc", "+7", "3"), ("$1", "work", 1, True, None, 7, 3)),
    ("session", framed("$1", "work", " 17", "0", "", "", "2"), 'bad session_created " 17"' + BAD_DIGIT),
    ("session", framed("$1", "work", "", "0", "", "", "x"), 'bad session_created ""' + EMPTY),
    ("session", framed("$1", "work", "18446744073709551616", "0", "", "", "2"),
     'bad session_created "18446744073709551616"' + TOO_LARGE),
    ("session", framed("$1", "work", "17", "0", "x", "x", "4294967296"), 'bad session_windows "4294967296"' + TOO_LARGE),
    ("session", framed("$1", "work", "1", "0", "", "", "2", ""), 'session "work" not found'),
    ("session", framed("$1", " work", "1", "0", "", "", "2"), 'session "work" not found'),
    ("session", "$1|wo|rk|1|0|||2", 'session "work" not found'),
    ("session", {"code": 1, "stderr": b"no server running on /s\n"}, "tmux failed: no server running on /s\n"),
    ("window", framed("2", "ed", "1", "L", "120", "40", "*"), (2, "ed", True, "L", 120, 40, "*")),
    ("window", framed("+02", " a b ", "0", "L", " 80 ", " ", "") + "\n", (2, " a b ", False, "L", 80, None, "")),
    ("window", framed("2", "a|b", "11", "L", "4294967295", "", "#-"), (2, "a|b", False, "L", 4294967295, None, "#-")),
    ("window", framed("2", "ed", "", "L", "1", "1", "Z"), (2, "ed", False, "L", 1, 1, "Z")),
    ("window", " \n", 'unexpected tmux window metadata output: ""'),
    ("window", "2|a|b|1|L|1|1|*", 'unexpected tmux window metadata output: "2|a|b|1|L|1|1|*"'),
    ("window", framed("-1", "ed", "1", "L", "ab", "ab", "*"), 'bad window_index "-1"' + BAD_DIGIT),
    ("window", framed("2", "ed", "1", "L", " ab ", "4294967296", "*"), 'bad window_width " ab "' + BAD_DIGIT),
    ("window", framed("2", "ed", "1", "L", "1", "4294967296", "*"), 'bad window_height "4294967296"' + TOO_LARGE),
])
def test_metadata_parsing(classes, fake_tmux, kind, answer, expected):
    if isinstance(answer, str) and kind == "session":
        # Other sessions' records are never parsed, however broken they are, and no name forges a record.
        others = [framed("$0", "other", "bad", "x", "", "", "-"), "too|few", framed("$3", "x\n$1|4|work|1|0|||1", "1",
                                                                                     "1", "", "", "1")]
        answer = "\n".join([*others, answer, framed("$2", "worker", "1", "1", "", "", "1")]) + "\n"
    fake_tmux.respond(**(answer if isinstance(answer, dict) else {"stdout": answer}))
    try:
        meta = classes.Session("work").metadata() if kind == "session" else classes.Window("work", 2, None, "").metadata
        assert fields(meta) == expected
    except RuntimeError as error:
        assert str(error) == expected


def test_metadata_command_lines_and_text_forms(classes, fake_tmux):
    for line in (framed("$1", "work", "17", "1", "120", "40", "2"), framed("2", "ed", "1", "L", "120", "", "*")):
        fake_tmux.respond(stdout=line + "\n")
    session, window = classes.Session("work", "/s").metadata(), classes.Window("work", 2, "/s", "x").metadata
    assert repr(session) == str(session) == (
        'SessionMetadata(id="$1", name="work", created=17, attached=true, width=Some(120), height=Some(40), windows=2)')
    assert repr(window) == str(window) == (
        'WindowMetadata(index=2, name="ed", active=true, layout="L", width=Some(120), height=None, flags="*")')
    target = "=work:=2"
    assert fake_tmux.calls == [["-S", "/s", "list-sessions", "-F", SESSION_FORMAT, "-f", "#{==:#{session_name},work}"], [
        "-S", "/s", "list-panes", "-t", target, "-f", "0", ";", "display-message", "-p", "-t", target, WINDOW_FORMAT]]


@pytest.mark.parametrize("move, report, expected", [
    (0, f"1|{escaped('logs')}\n", (1, "logs")), (0, "+1|\n", (1, "")), (0, f"3|{escaped(' a b ')}\n", (3, " a b ")),
    (0, f"1|{escaped('a|b')}\n", (1, "a|b")), (0, "1|a|b\n", None), (0, "x|1|n\n", None), (0, "", None),
    (1, f"1|{escaped('logs')}\n", None),
])
@pytest.mark.parametrize("step", ["next", "previous"])
def test_step(classes, fake_tmux, step, move, report, expected):
    fake_tmux.respond(code=move)
    fake_tmux.respond(stdout=report)
    window = classes.Window("work", 2, "/s", "editor")
    new = getattr(window, step)
    assert (new and (type(new), new.session_name, new.index, new.name, new.socket)) == (
        expected and (type(window), "work", *expected, "/s"))
    calls = [["-S", "/s", f"{step}-window", "-t", "=work"],
             ["-S", "/s", "display-message", "-p", "-t", "=work:", "#{window_index}|" + free("window_name")]]
    assert fake_tmux.calls == calls[:2 - move]  # a refused move is not reported on


@pytest.mark.parametrize("pid, ps, expected", [
    (b"4242\n", {"stdout": b"  sleep 1000 \n"}, "sleep 1000"), (b"not a pid\n", {"stdout": b"x\n"}, "x"),
    (b"4242\n", {"code": 1, "stdout": b"x\n"}, None), (b"4242\n", {"stdout": b" \n"}, None), (b" \n", None, None),
])
def test_current_commandline(classes, fake_tmux, pid, ps, expected):
    fake_tmux.respond(stdout=pid)
    if ps is not None:
        fake_tmux.respond(program="ps", **ps)
    assert classes.Pane("work", 2, 1, "%7", "t", "/s").current_commandline == expected
    assert fake_tmux.calls == [["-S", "/s", "display-message", "-p", "-t", "%7", "#{pane_pid}"]]
    assert fake_tmux.calls_of("ps") == ([["-p", pid.decode().strip(), "-o", "args="]] if ps else [])


def test_current_command_and_missing_ps(classes, fake_tmux, monkeypatch):
    for answer in ({"stdout": b" vim \n"}, {"stdout": b"\n"}, {"code": 1, "stdout": b"vim"}, {"stdout": b"4242\n"}):
        fake_tmux.respond(**answer)
    (fake_tmux.bin_dir / "ps").unlink()
    monkeypatch.setenv("PATH", str(fake_tmux.bin_dir))
    pane = classes.Pane("work", 2, 1, "%7", "t", None)
    assert [pane.current_command for _ in "123"] + [pane.current_commandline] == ["vim", None, None, None]
    assert fake_tmux.calls[0] == ["display-message", "-p", "-t", "%7", "#{pane_current_command}"]


# tmux's own rule: a non-empty TMUX_TMPDIR, else /tmp; never TMPDIR.
@pytest.mark.parametrize("tmux_tmpdir, tmpdir, id_answer, expected", [
    (b"/run/t/", b"/var/tmp", b"1000\n", "/run/t/tmux-1000/default"), (b"", b"/var/tmp", b"1000", "/tmp/tmux-1000/default"),
    (None, b"/var/tmp", b" +0010 \n", "/tmp/tmux-10/default"), (None, None, b"0\n", "/tmp/tmux-0/default"),
    (b"/t\xff//x", b"/var/tmp", b"1000\n", "/t\ufffd//x/tmux-1000/default"),
    (None, None, b"4294967296\n", None), (None, None, b"-1\n", None), (None, None, b"", None), (None, None, None, None),
    (None, None, {"code": 1, "stdout": b"1000\n"}, None),
])
def test_computed_socket_path(fake_tmux, monkeypatch, tmux_tmpdir, tmpdir, id_answer, expected):
    fake_tmux.respond(code=1, stdout=b"/not/this\n")
    for name, value in ((b"TMUX_TMPDIR", tmux_tmpdir), (b"TMPDIR", tmpdir)):
        monkeypatch.delitem(os.environb, name, raising=False)
        if value is not None:
            monkeypatch.setitem(os.environb, name, value)
    if id_answer is None:
        (fake_tmux.bin_dir / "id").unlink()
        monkeypatch.setenv("PATH", str(fake_tmux.bin_dir))
    else:
        fake_tmux.respond(program="id", **(id_answer if isinstance(id_answer, dict) else {"stdout": id_answer}))
    assert vordalin.Server().current_socket == expected
    assert fake_tmux.calls_of("id") == ([] if id_answer is None else [["-u"]])


def test_socket_path_answers(fake_tmux, private_env):
    for answer in (b" /run/x/default \n", b" \n"):
        fake_tmux.respond(stdout=answer)
    fake_tmux.respond(program="id", stdout=b"7\n")
    assert [vordalin.Server().current_socket for _ in "12"] == ["/run/x/default", private_env + "/tmux-7/default"]
    assert (vordalin.Server("/x/y").current_socket, vordalin.Server("").current_socket) == ("/x/y", "")
    assert fake_tmux.calls == [["display-message", "-p", "#{socket_path}"]] * 2


def test_snapshots_steps_and_processes_on_a_real_server(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    tmux_cli.run("new-window", "-d", "-t", "=main:1", "-n", "one")
    tmux_cli.run("new-window", "-d", "-t", "=main:2", "-n", "two")
    session = server.sessions[0].metadata()
    assert (session.name, session.windows, session.attached, session.id[0], session.created > 1.6e9) == (
        "main", 3, False, "$", True)
    window = server.target_window("main:0")
    assert fields(window.metadata)[:3] + fields(window.metadata)[4:6] == (0, window.name, True, 120, 40)
    assert [(w.index, w.name) for w in (window.next, window.next, window.next, window.previous)] == [
        (1, "one"), (2, "two"), (0, window.name), (2, "two")]
    doomed = server.target_window("main:1")
    doomed.kill()  # tmux would quietly describe window 0 instead
    with pytest.raises(RuntimeError, match="^tmux failed: can't find window: 1$"):
        doomed.metadata

    pane = server.target_pane("main:0.0")
    pane.send_keys("sleep 1000", enter=True)
    wait_for(lambda: pane.current_command == "sleep", message="sleep in the foreground")
    assert "bash" in pane.current_commandline
