"""Caller text reaches tmux as data: no flags, no command separators, no formats, no target syntax."""

import os
import re
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vordalin
from helpers import assigned_alike, wait_for

PROPERTY = settings(max_examples=int(os.environ.get("VORDALIN_EXAMPLES", "100")) // 2 or 1, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
def marker_path(tmux_cli):
    return os.path.join(os.path.dirname(tmux_cli.socket), "ran")


def hostile(tmux_cli):
    pieces = ["-", "--", ";", "\\", "\\;", "#", "##", "{", "}", "(", ")", "$", "$x", "~", "'", '"', "|", ":", ".", " ",
              "\t", "é", "日本", "a", "-N3", "-l", "#{pid}", f"#(touch {marker_path(tmux_cli)})", "%1", "=", "!", "[",
              "#[", "#[fg=red]", ","]
    return st.lists(st.sampled_from(pieces), max_size=6).map("".join)


def ran_nothing(tmux_cli):
    """No #(...) ran: once tmux has run a shell command of its own after ours, the marker is not there."""
    tmux_cli.run("run-shell", "true")
    return not os.path.exists(marker_path(tmux_cli))


def refused(name, kind):
    """Why a setter refuses this name, as its model: what tmux would store otherwise, or cannot address."""
    unshowable = any(unicodedata.category(c) in ("Cc", "Zl", "Zp", "Cn") for c in name)
    shell_dollar = any(a == "$" and (b.isascii() and b.isalpha() or b in "_{") for a, b in zip(name, name[1:]))
    if kind == "title":
        return unshowable
    session_only = kind == "session" and (":" in name or "." in name or name.startswith("$"))
    return session_only or unshowable or shell_dollar or "\\" in name


def only_main(tmux_cli):
    """Kills every session but "main", by id: an example that failed may have left one behind."""
    for row in tmux_cli.lines("list-sessions", "-F", "#{session_id} #{session_name}"):
        if row.split(" ", 1)[1] != "main":
            tmux_cli.run("kill-session", "-t", row.split(" ", 1)[0])


@PROPERTY
@given(data=st.data())
def test_session_and_window_names_round_trip_or_are_refused(tmux_cli, data):
    only_main(tmux_cli)
    server = vordalin.Server(tmux_cli.socket)
    name = data.draw(hostile(tmux_cli), label="name")
    try:
        session = server.new_session(name)
    except RuntimeError as error:
        assert name.startswith("$") or name == "" or "duplicate" in str(error), error
        assert tmux_cli.session_names() == ["main"]
        return
    # new_session answers with the name tmux made, which the listings then show exactly.
    assert [s.name for s in server.sessions] == tmux_cli.session_names() == sorted(["main", session.name])
    assert session.name == name or refused(name, "session")
    assert server.has_session(session.name) and session.metadata().name == session.name

    for kind, record in [("session", session), ("window", None)]:
        record = record or session.windows[0]
        new = data.draw(hostile(tmux_cli), label=f"new {kind} name")
        before = record.name
        try:
            record.name = new
        except (RuntimeError, ValueError) as error:
            assert refused(new, kind) or new == "" or kind == "session" and "duplicate" in str(error), error
            assert record.name == before
            continue
        assert not refused(new, kind) and record.name == new
    assert [w.name for w in session.windows] == [record.name]
    assert record.metadata.name == record.name
    assert tmux_cli.session_names() == sorted(["main", session.name])
    assert session.kill() is True
    assert ran_nothing(tmux_cli)


@PROPERTY
@given(data=st.data())
def test_pane_titles_round_trip_or_are_refused(tmux_cli, data):
    server = vordalin.Server(tmux_cli.socket)
    pane = server.target_pane("main:0.0")
    # Characters whose assignment this Python's Unicode data and the module's tables agree on.
    agreed = st.characters(exclude_categories=("Cs",)).filter(assigned_alike)
    title = data.draw(hostile(tmux_cli) | st.text(agreed, max_size=4), label="title")
    before = pane.title
    try:
        pane.title = title
    except RuntimeError:
        assert refused(title, "title") and pane.title == before
        assert server.target_pane(pane.pane_id).title == before
        return
    assert not refused(title, "title")
    (listed,) = server.target_window("main:0").panes
    assert listed.title == server.target_pane(pane.pane_id).title == pane.title == title
    assert ran_nothing(tmux_cli)


@pytest.fixture
def cat_pane(tmux_cli, tmp_path):
    """A pane whose program writes every line typed into it to a file, and that file."""
    typed = tmp_path / "typed"
    tmux_cli.run("new-session", "-d", "-s", "keys", "-x", "200", "-y", "20", f"stty -echo; exec cat > {typed}")
    pane = vordalin.Server(tmux_cli.socket).target_pane("keys:0.0")
    wait_for(lambda: typed.exists(), message="cat to start")
    return pane, typed


@PROPERTY
@given(data=st.data())
def test_typed_keys_arrive_exactly(cat_pane, tmux_cli, data):
    pane, typed = cat_pane
    keys = data.draw(hostile(tmux_cli), label="keys")
    already = typed.read_bytes()
    pane.send_keys(keys, enter=True)
    expected = already + keys.encode() + b"\n"
    wait_for(lambda: typed.read_bytes() == expected or typed.read_bytes()[len(already):], message="the typed line")
    assert typed.read_bytes() == expected
    assert ran_nothing(tmux_cli)


@pytest.mark.parametrize("keys", ["-N3", "-l", "-1", "SELECT 1;", ";", "a\\;", "--", "-t %0"])
def test_keys_that_look_like_options_or_separators(cat_pane, keys):
    pane, typed = cat_pane
    pane.send_keys(keys, enter=True)
    wait_for(lambda: typed.read_bytes().endswith(b"\n"), message="the typed line")
    assert typed.read_bytes() == keys.encode() + b"\n"


def test_formats_in_names_and_titles_stay_text(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    run = f"#(touch {marker_path(tmux_cli)})"
    session = server.new_session("fix" + run)
    assert session.name == "fix" + run and server.has_session(session.name)
    assert server.new_session("#{pid}").name == "#{pid}"
    (window,) = session.windows
    window.name = "w#{pid}" + run
    pane = window.panes[0]
    pane.title = "t##{pid}" + run
    assert (session.windows[0].name, window.panes[0].title) == ("w#{pid}" + run, "t##{pid}" + run)
    session.name = "s" + run
    assert sorted(s.name for s in server.sessions) == sorted(["#{pid}", "main", "s" + run])
    assert ran_nothing(tmux_cli)


@pytest.mark.parametrize("text", ["a#[fg=red]b", "##[x", "###[x]", "#[", "x#[#[##", "#,#}#[#{pid}"])
def test_a_run_of_hashes_before_a_bracket_is_stored_as_given(tmux_cli, text):
    # tmux keeps a run of "#" before "[" as it is where it expands formats; doubled, it would stay doubled.
    server = vordalin.Server(tmux_cli.socket)
    session = server.new_session("s" + text)
    window = session.new_window("w" + text)
    assert (session.name, window.name, session.metadata().name) == ("s" + text, "w" + text, "s" + text)
    window.name = "v" + text
    pane = window.panes[0]
    pane.title = "t" + text
    assert ([w.name for w in session.windows][1:], window.metadata.name) == (["v" + text], "v" + text)
    assert server.target_pane(pane.pane_id).title == "t" + text
    session.name = "r" + text
    assert (server.has_session("r" + text), session.metadata().name) == (True, "r" + text)
    assert sorted(s.name for s in server.sessions) == sorted(["main", "r" + text])
    assert ran_nothing(tmux_cli)


def test_names_that_are_target_syntax(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    prod = server.new_session("prod")
    made = server.new_session("prod:0")
    assert made.name == "prod_0"  # tmux's own name for it
    assert (server.has_session("prod:0"), server.has_session("prod.0"), server.has_session("$0")) == (False,) * 3
    for name in ["prod:0", "prod.0", "$0"]:  # each would address prod, or main by its id
        stale = type(prod)(name, tmux_cli.socket)
        assert (stale.kill(), stale.windows) == (False, [])
        with pytest.raises(RuntimeError, match=f"^{re.escape(f'session {chr(34)}{name}{chr(34)} not found')}$"):
            stale.metadata()
        window = type(made.windows[0])(name, 0, tmux_cli.socket, "w")
        assert (window.kill(), window.select, window.panes, window.next) == (False, False, [], None)
    assert made.kill() is True
    assert tmux_cli.session_names() == ["main", "prod"]
    with pytest.raises(RuntimeError, match="^new session failed: a session name cannot start with \"\\$\"$"):
        server.new_session("$0")


@pytest.mark.parametrize("kind, value, message", [
    ("session", "a:b", 'rename session failed: a session name cannot hold ":" or "."'),
    ("session", "v1.2", 'rename session failed: a session name cannot hold ":" or "."'),
    ("session", "$HOME", 'rename session failed: a session name cannot start with "$"'),
    ("session", "back\\slash", 'rename session failed: a session name cannot hold "\\"'),
    ("session", "tab\there", "rename session failed: a session name cannot hold control characters"),
    ("session", "x$HOME", 'rename session failed: a session name cannot hold "$" before a letter, "_" or "{"'),
    ("window", "back\\slash", "failed to rename window to 'back\\slash': a window name cannot hold \"\\\""),
    ("window", "line\u2028sep", "failed to rename window to 'line\u2028sep': a window name cannot hold control "
                                "characters"),
    ("title", "a\tb", "tmux select-pane -T failed: a pane title cannot hold control characters"),
    ("title", "bell\x07", "tmux select-pane -T failed: a pane title cannot hold control characters"),
])
def test_setters_refuse_what_tmux_would_rewrite_or_ignore(tmux_cli, kind, value, message):
    server = vordalin.Server(tmux_cli.socket)
    session = server.new_session("work")
    record = {"session": session, "window": session.windows[0], "title": server.target_pane("work:0.0")}[kind]
    attribute = "title" if kind == "title" else "name"
    before = getattr(record, attribute)
    with pytest.raises(ValueError if kind == "window" else RuntimeError) as info:
        setattr(record, attribute, value)
    assert (str(info.value), getattr(record, attribute)) == (message, before)
    assert (tmux_cli.session_names(), [w.name for w in session.windows]) == (["main", "work"], [before] if kind ==
                                                                               "window" else [session.windows[0].name])


def test_listings_keep_blanks_and_kill_the_named_session(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    server.new_session("db")
    spaced = server.new_session("db ")
    assert sorted(s.name for s in server.sessions) == ["db", "db ", "main"]
    (listed,) = [s for s in server.sessions if s.name == "db "]
    assert listed.kill() is True and spaced.kill() is False
    assert tmux_cli.session_names() == ["db", "main"]


def test_a_program_cannot_forge_or_hide_its_pane(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    window = server.target_window("main:0")
    pane = window.panes[0]
    forged = "x|%99|forged"
    pane.send_keys(f"printf '\\033]2;%s\\033\\\\' '{forged}'", enter=True)
    wait_for(lambda: [p.title for p in window.panes] == [forged], message="the title the program set")
    assert [p.pane_id for p in window.panes] == [pane.pane_id]
    window.name = "a|b|1"
    assert [w.name for w in server.sessions[0].windows] == ["a|b|1"]
    tmux_cli.run("new-window", "-d", "-t", "=main:")
    assert window.metadata.name == "a|b|1" and window.next.index == 1
    back = window.next  # each read steps again: round to the first window
    assert (back.index, back.name) == (0, "a|b|1")


def test_a_create_that_made_nothing_raises(tmp_path):
    server = vordalin.Server(str(tmp_path / "missing" / "sock"))
    with pytest.raises(RuntimeError, match="^new session failed: error creating .*No such file or directory"):
        server.new_session("x")


def test_utf8_survives_a_c_locale(tmux_cli, monkeypatch):
    monkeypatch.setenv("LC_ALL", "C")
    server = vordalin.Server(tmux_cli.socket)
    session = server.new_session("café")
    session.windows[0].name = "日本"
    assert sorted(s.name for s in server.sessions) == ["café", "main"]
    assert [w.name for w in session.windows] == ["日本"]
    assert session.windows[0].metadata.name == "日本"


def test_respawn_and_split_take_commands_that_look_like_options(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    tmux_cli.run("set-option", "-g", "remain-on-exit", "on")
    pane = server.target_pane("main:0.0")
    pid = tmux_cli.lines("display-message", "-p", "-t", pane.pane_id, "#{pane_pid}")
    with pytest.raises(RuntimeError, match="^tmux respawn-pane failed: .*still active$"):
        pane.respawn(command="-k")  # the command "-k", not the flag that would kill the pane's program
    assert tmux_cli.lines("display-message", "-p", "-t", pane.pane_id, "#{pane_pid}") == pid
    new = pane.split(command="-l 5", keep=False)
    start = ["display-message", "-p", "-t", new.pane_id, "#{pane_start_command}|#{pane_dead}"]
    wait_for(lambda: tmux_cli.lines(*start)[0].endswith("|1"), message="the command to fail")
    assert "-l 5" in tmux_cli.lines(*start)[0]


def test_trailing_separators_and_escapes_reach_tmux(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    # tmux doubles a backslash in a session name; new_session answers with the name it made.
    made = [server.new_session(name).name for name in ["db;", ";", "a\\;", "-x"]]
    assert made == ["db;", ";", "a\\\\;", "-x"]
    assert sorted(s.name for s in server.sessions) == sorted(["main", *made])
    assert all(server.has_session(name) for name in made)


def test_refused_text_runs_nothing(classes, fake_tmux):
    session = classes.Session("work", "/s")
    for value in ["a:b", "\\", "\x1b[31m"]:
        with pytest.raises(RuntimeError):
            session.name = value
    with pytest.raises(ValueError):
        classes.Window("work", 0, "/s", "w").name = "a\\b"
    with pytest.raises(RuntimeError):
        classes.Pane("work", 0, 0, "%1", "t", "/s").title = "\x1b]2;x"
    assert fake_tmux.calls == []
