"""Splitting, resizing and respawning panes."""

import os
import shlex
import subprocess

import pytest

import vordalin
from helpers import escaped, free, wait_for

FORMAT = "#{pane_index}|#{pane_id}|" + free("pane_title")
NEW_PANE = f"2|%8|{escaped('t')}\n"


def make_pane(classes, socket=None):
    return classes.Pane("work", 2, 1, "%7", "t", socket)


@pytest.mark.parametrize("flags, extra", [
    ({}, []), ({"command": None, "keep": False}, []),
    ({"command": "top -d 1", "keep": False}, ["--", "top -d 1"]), ({"command": "", "keep": False}, ["--", ""]),
    ({"command": "-l 5", "keep": False}, ["--", "-l 5"]),
    ({"command": "it's"}, ["--", "sh -lc -- 'it'\\''s'; exec \"$SHELL\""]),
    ({"command": ""}, ["--", "sh -lc -- ''; exec \"$SHELL\""]),
])
@pytest.mark.parametrize("horizontal, flag", [(False, "-v"), (True, "-h")])
def test_split_command_line(classes, fake_tmux, flags, extra, horizontal, flag):
    fake_tmux.respond(stdout=NEW_PANE)
    make_pane(classes, "/s").split(horizontal, **flags)
    assert fake_tmux.calls == [["-S", "/s", "split-window", flag, "-t", "%7", "-P", "-F", FORMAT, *extra]]


PAYLOADS = ["it's", "''", '"$HOME" `id` $(id)', "back\\slash\\\\", "two\nlines\n", "a & b; c | d #", "*"]


@pytest.mark.parametrize("command, printed", [(f"printf %s {shlex.quote(p)}", p) for p in PAYLOADS] + [
    ("printf %s amp &", "amp"), ("printf %s hash # it's a comment", "hash"),
    ("printf '%s\\n' a 'b c'\nprintf %s \"'\"", "a\nb c\n'"),
    ("", ""),
])
def test_keep_wrapper_runs_exactly_the_command(classes, fake_tmux, private_env, command, printed):
    fake_tmux.respond(stdout=NEW_PANE)
    make_pane(classes).split(command=command)
    wrapped = fake_tmux.calls[-1][-1]
    # tmux hands the argument to a shell; with SHELL=/bin/true the final exec just ends it.
    env = {"PATH": os.defpath, "HOME": private_env, "SHELL": "/bin/true"}
    done = subprocess.run(["sh", "-c", wrapped], env=env, capture_output=True, text=True, timeout=10)
    assert (done.returncode, done.stdout, done.stderr) == (0, printed, "")


@pytest.mark.parametrize("stdout, parsed", [
    (NEW_PANE, (2, "%8", "t")), (f"+3|%9|{escaped(' a title  ')}\n", (3, "%9", " a title  ")),
    ("007||", (7, "", "")), (f"2|%8|{escaped('a|%9|b')}\n", (2, "%8", "a|%9|b")),
    ("2|%8|a|b\n", 'unexpected split-window output: "2|%8|a|b"'), ("", 'unexpected split-window output: ""'),
    ("2|%8|9|t\n", 'unexpected split-window output: "2|%8|9|t"'),
    ("|%8|t", 'bad pane_index "": cannot parse integer from empty string'),
    ("1 |%8|t", 'bad pane_index "1 ": invalid digit found in string'),
    ("4294967296|%8|t", 'bad pane_index "4294967296": number too large to fit in target type'),
])
def test_split_output(classes, fake_tmux, stdout, parsed):
    fake_tmux.respond(stdout=stdout)
    pane = make_pane(classes, "/s")
    try:
        new = pane.split()
    except RuntimeError as error:
        assert str(error) == parsed
    else:
        assert (new.pane_index, new.pane_id, new.title) == parsed
        assert (type(new), new.session_name, new.window_index, new.socket) == (type(pane), "work", 2, "/s")


@pytest.mark.parametrize("direction", ["Left", " left", "up\n", "", "-L"])
def test_resize_unknown_direction(classes, fake_tmux, direction):
    with pytest.raises(RuntimeError, match="^direction must be one of: left, right, up, down$"):
        make_pane(classes).resize(direction, 3)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):  # converted first
        make_pane(classes).resize(direction, -1)
    assert fake_tmux.calls == []


def test_split_resize_respawn_on_a_real_server(tmux_cli):
    server = vordalin.Server(tmux_cli.socket)
    first = server.target_pane("main:0.0")
    kept = first.split(command="echo kept-$((6*7)) &", keep=True)
    assert (kept.session_name, kept.window_index, kept.pane_index) == ("main", 0, 1)
    wait_for(lambda: "kept-42" in kept.capture(), message="the kept pane's output")
    wait_for(lambda: kept.current_command == "bash", message="the shell that replaced sh")

    gone = first.split(horizontal=True, command="true", keep=False)
    wait_for(lambda: gone.pane_id not in [p.pane_id for p in server.target_window("main:0").panes],
             message="the unkept pane to close")

    height = ["display-message", "-p", "-t", first.pane_id, "#{pane_height}"]
    before = int(tmux_cli.run(*height).stdout)
    first.resize("down", 3)
    assert int(tmux_cli.run(*height).stdout) == before + 3

    with pytest.raises(RuntimeError, match="^tmux respawn-pane failed: .* still active$"):
        kept.respawn()
    assert kept.respawn("sleep 1000", kill=True) is True
    wait_for(lambda: kept.current_commandline == "sleep 1000", message="the respawned command")
