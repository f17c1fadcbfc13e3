"""Window records: renaming, and the rules of the pane listing."""

from helpers import escaped, free


def test_rename_keeps_the_index_target(classes, fake_tmux):
    window = classes.Window("work", 2, "/s", "editor")
    window.name = "logs"
    window.kill()
    assert window.name == "logs"
    assert fake_tmux.calls == [["-S", "/s", "rename-window", "-t", "=work:=2", "--", "logs"],
                               ["-S", "/s", "kill-window", "-t", "=work:=2"]]


PANE_LINES = [  # (record, what it lists or None when it is skipped)
    (f"0|%3|{escaped('main')}", (0, "%3", "main")), ("+1|%4|", (1, "%4", "")), ("3||", (3, "", "")),
    # A title is exactly its escaped text: blanks, bars and what looks like further records stay in it.
    (f"4|%8|{escaped(' spaced title  ')}", (4, "%8", " spaced title  ")), (f"005|%9|{escaped('café')}", (5, "%9", "café")),
    (f"2|%5|{escaped('a|%6|b')}", (2, "%5", "a|%6|b")), (f"6|%6|{escaped('x' + chr(10) + '9|%99|6|forged')}",
                                                      (6, "%6", "x\n9|%99|6|forged")),
    ("2|%5|a|b", None), ("2|%5|9|short", None), (" 4|%8|1|t", None), ("-1|%6|1|t", None), ("x|%7|1|t", None),
    ("4294967296|%1|1|t", None), ("6|%2", None), ("", None),
]
def test_panes_listing_rules(classes, fake_tmux):
    fake_tmux.respond(stdout="\n".join(line for line, _ in PANE_LINES) + f"\n7|%10|{escaped('last')}")
    panes = classes.Window("work", 2, "/s", "editor").panes
    expected = [parsed for _, parsed in PANE_LINES if parsed] + [(7, "%10", "last")]
    assert [(p.pane_index, p.pane_id, p.title) for p in panes] == expected
    assert {(type(p), p.session_name, p.window_index, p.socket) for p in panes} == {(classes.Pane, "work", 2, "/s")}
