"""Session records: renaming, and the rules of the window listing."""

import pytest

from helpers import QUOTED, free


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
        ["-S", "/s", "rename-session", "-t", "=work", "--", "main"],
        ["-S", "/s", "rename-session", "-t", "=work", "--", "job"],
        ["-S", "/s", "list-windows", "-t", "=job", "-F", "#{window_index}|" + free("window_name")],
        ["-S", "/s", "kill-session", "-t", "=job"]]
    assert (session.name, twin.name, window.session_name, window.socket) == ("job", "work", "job", "/s")


def framed(index, name):
    """A record as tmux prints it: the name escaped as tmux's "q" escapes it."""
    return index + b"|" + b"".join(b"\\" + bytes([c]) if chr(c) in QUOTED else bytes([c]) for c in name)


WINDOW_LINES = [  # (record, what it lists or None when it is skipped)
    (framed(b"0", b"editor"), (0, "editor")), (framed(b"3", b" editor  "), (3, " editor  ")), (b"5|", (5, "")),
    (framed(b"+7", b"plus"), (7, "plus")), (framed(b"007", b"z"), (7, "z")), (framed(b"8", b"with|bar"), (8, "with|bar")),
    (framed(b"4294967295", b"max"), (4294967295, "max")), (framed(b"10", b"caf\xff"), (10, "caf\ufffd")),
    (framed(b"11", "\u00a0nbsp\u3000".encode()), (11, "\u00a0nbsp\u3000")),
    (b"8|with|bar", None), (framed(b"  3", b"x"), None), (framed(b"-1", b"negative"), None),
    (framed(b"4294967296", b"too big"), None), (framed(b"99999999999999999999", b"huge"), None),
    (framed(b"", b"empty index"), None), (framed(b"+", b"lone plus"), None), (framed(b"++1", b"two plus"), None),
    (framed(b"1 0", b"inner blank"), None), (framed(b"0x1", b"hex"), None), (framed("\u0663".encode(), b"arabic"), None),
    (framed("\uff17".encode(), b"wide"), None), (framed(b"\x1c2", b"not whitespace"), None), (b"12", None),
    (b"", None), (b"   ", None), (b"3|an|unescaped bar", None), (b"4|a lone escape\\", None),
]


def test_windows_listing_rules(classes, fake_tmux):
    fake_tmux.respond(stdout=b"\n".join(line for line, _ in WINDOW_LINES) + b"\n" + framed(b"13", b"last, no newline"))
    windows = classes.Session("work", "/s").windows
    expected = [parsed for _, parsed in WINDOW_LINES if parsed] + [(13, "last, no newline")]
    assert [(w.index, w.name) for w in windows] == expected
    assert {(type(w), w.session_name, w.socket) for w in windows} == {(classes.Window, "work", "/s")}
