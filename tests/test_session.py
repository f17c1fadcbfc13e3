"""Session records: renaming, and the rules of the window listing."""

import pytest


def test_rename_addresses_the_old_name_and_changes_the_record_only_on_success(classes, fake_tmux):
    session, twin = classes.Session("work", "/s"), classes.Session("work", "/s")
    fake_tmux.respond(code=1)
    fake_tmux.respond()
    fake_tmux.respond(stdout=b"0|x\n")
    with pytest.raises(RuntimeError):
        session.name = "main"
    assert session.name == "work"
    session.name = "job"
    (window,) = session.windows
    session.kill()
    assert fake_tmux.calls == [
        ["-S", "/s", "rename-session", "-t", "=work", "main"], ["-S", "/s", "rename-session", "-t", "=work", "job"],
        ["-S", "/s", "list-windows", "-t", "=job", "-F", "#{window_index}|#{window_name}"],
        ["-S", "/s", "kill-session", "-t", "=job"]]
    assert (session.name, twin.name, window.session_name, window.socket) == ("job", "work", "job", "/s")


WINDOW_LINES = [  # (line, what it lists or None when it is skipped)
    (b"0|editor", (0, "editor")), (b"  3|editor  ", (3, "editor")), (b"4| lead", (4, " lead")), (b"5|", (5, "")),
    (b"\xc2\xa06|nbsp trimmed\xe3\x80\x80", (6, "nbsp trimmed")), (b"+7|plus", (7, "plus")), (b"007|z", (7, "z")),
    (b"4294967295|max", (4294967295, "max")), (b"9|crlf\r", (9, "crlf")), (b"10|caf\xff", (10, "caf\ufffd")),
    (b"8|with|bar", None), (b"-1|negative", None), (b"4294967296|too big", None), (b"99999999999999999999|huge", None),
    (b"|empty index", None), (b"+|lone plus", None), (b"++1|two plus", None), (b"1 0|inner blank", None),
    (b"x|letter", None), (b"0x1|hex", None), ("\u0663|arabic digit".encode(), None), ("\uff17|wide".encode(), None),
    (b"\x1c2|not whitespace", None), (b"12", None), (b"", None), (b"   ", None),
]


def test_windows_listing_rules(classes, fake_tmux):
    fake_tmux.respond(stdout=b"\n".join(line for line, _ in WINDOW_LINES) + b"\n13|last without newline")
    windows = classes.Session("work", "/s").windows
    expected = [parsed for _, parsed in WINDOW_LINES if parsed] + [(13, "last without newline")]
    assert [(w.index, w.name) for w in windows] == expected
    assert {(type(w), w.session_name, w.socket) for w in windows} == {(classes.Window, "work", "/s")}
