"""Window records: renaming, and the rules of the pane listing."""


def test_rename_keeps_the_index_target(classes, fake_tmux):
    window = classes.Window("work", 2, "/s", "editor")
    window.name = "logs"
    window.kill()
    assert window.name == "logs"
    assert fake_tmux.calls == [["-S", "/s", "rename-window", "-t", "=work:=2", "logs"],
                               ["-S", "/s", "kill-window", "-t", "=work:=2"]]


PANE_LINES = [  # (line, what it lists or None when it is skipped)
    (b"0|%3|main", (0, "%3", "main")), (b"+1|%4|", (1, "%4", "")), (b"3||", (3, "", "")), (b"2|%5|a|b", None),
    (b"  4|%8| spaced title  \r", (4, "%8", " spaced title")), (b"005|%9|caf\xc3\xa9", (5, "%9", "caf\u00e9")),
    (b"-1|%6|t", None), (b"x|%7|t", None), (b"4294967296|%1|t", None), (b"6|%2", None), (b"", None),
]


def test_panes_listing_rules(classes, fake_tmux):
    fake_tmux.respond(stdout=b"\n".join(line for line, _ in PANE_LINES) + b"\n7|%10|last")
    panes = classes.Window("work", 2, "/s", "editor").panes
    expected = [parsed for _, parsed in PANE_LINES if parsed] + [(7, "%10", "last")]
    assert [(p.pane_index, p.pane_id, p.title) for p in panes] == expected
    assert {(type(p), p.session_name, p.window_index, p.socket) for p in panes} == {(classes.Pane, "work", 2, "/s")}
