"""Server.target_pane and Server.target_window: strict lookup, parsing, messages."""

import pytest

import vordalin

PANE_FORMAT = "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}"
WINDOW_FORMAT = "#{session_name}\t#{window_index}\t#{window_name}"


def fields(record):
    if hasattr(record, "pane_id"):
        return (record.session_name, record.window_index, record.pane_index, record.pane_id, record.title)
    return (record.session_name, record.index, record.name)


@pytest.mark.parametrize("method, fmt", [("target_pane", PANE_FORMAT), ("target_window", WINDOW_FORMAT)])
def test_target_is_resolved_strictly_in_the_same_run(fake_tmux, method, fmt):
    fake_tmux.respond(stdout=b"work\t1\t0\t%3\tt\n")
    assert getattr(vordalin.Server("/s"), method)("work:1.0").socket == "/s"
    assert fake_tmux.calls == [
        ["-S", "/s", "list-panes", "-t", "work:1.0", "-f", "0", ";", "display-message", "-p", "-t", "work:1.0", fmt]]


PANE_OUTPUTS = [
    (b"work\t0\t1\t%3\ttitle\twith\ttabs\n", ("work", 0, 1, "%3", "title\twith\ttabs")),
    # Only the line end goes: names and titles keep their blanks.
    (b"  two words\t+3\t007\t%3\ta|bar title  \n", ("  two words", 3, 7, "%3", "a|bar title  ")),
    (b"work\t0\t1\t%3", ("work", 0, 1, "%3", "")), (b"work\t0\t1\t%3\t", ("work", 0, 1, "%3", "")),
    (b"", "missing session_name from tmux output"), (b"work", "missing window_index from tmux output"),
    (b"work\t\t1\t%3\tt", "invalid window_index: cannot parse integer from empty string"),
    (b"work\t-1\t1\t%3\tt", "invalid window_index: invalid digit found in string"),
    (b"work\t4294967296\tx\t\tt", "invalid window_index: number too large to fit in target type"),
    (b"work\t0", "missing pane_index from tmux output"), (b"work\t0\t1", "missing pane_id from tmux output"),
    (b"work\t0\t+\t%3\tt", "invalid pane_index: invalid digit found in string"),
    (b"work\t0\t1\t\tt", "missing pane_id from tmux output"),
    ({"code": 1, "stdout": b"work\t0\t0\t%1\n", "stderr": b" no \n"}, "pane target not found:  no \n"),
]
WINDOW_OUTPUTS = [
    (b"work\t2\tname\twith tab \n", ("work", 2, "name\twith tab ")), (b"work\t2", ("work", 2, "")),
    (b"\t2\tx", "missing session_name from tmux output"),
    ({"code": 1, "stdout": b"work\t0\tw\n", "stderr": b" no \n"}, "window target not found:  no \n"),
]


@pytest.mark.parametrize("method, stdout, expected", [("target_pane", *row) for row in PANE_OUTPUTS]
                         + [("target_window", *row) for row in WINDOW_OUTPUTS])
def test_output_parsing(fake_tmux, method, stdout, expected):
    fake_tmux.respond(**(stdout if isinstance(stdout, dict) else {"stdout": stdout}))
    try:
        assert fields(getattr(vordalin.Server(), method)("t")) == expected
    except RuntimeError as error:
        assert str(error) == expected


def test_start_failure(no_tmux):
    for lookup in (vordalin.Server().target_pane, vordalin.Server().target_window):
        with pytest.raises(RuntimeError, match="^Failed to run tmux: No such file or directory"):
            lookup("work:7")


def test_lookups_on_a_real_server(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    tmux_cli.run("new-session", "-d", "-s", "work", "-n", "editor")
    tmux_cli.run("new-window", "-d", "-t", "=work:3", "-n", "logs")
    second = tmux_cli.run("split-window", "-d", "-P", "-F", "#{pane_id}", "-t", "=work:=3").stdout.strip()
    assert [fields(server.target_window(t)) for t in ("work:0", "work:3")] == [("work", 0, "editor"),
                                                                              ("work", 3, "logs")]
    pane = server.target_pane("work:3.1")
    assert (fields(pane)[:4], type(pane).__name__, pane.socket) == (("work", 3, 1, second), "Pane", tmux_cli.socket)
    # tmux would quietly describe some other window or pane for these.
    for target, complaint in [("work:7", "can't find window: 7"), ("work:0.5", "can't find pane: 5"),
                              ("nowhere:0", "can't find session: nowhere"), ("%999", "can't find pane: %999")]:
        for method, prefix in [("target_pane", "pane"), ("target_window", "window")]:
            with pytest.raises(RuntimeError) as info:
                getattr(server, method)(target)
            assert str(info.value) == f"{prefix} target not found: {complaint}\n"
