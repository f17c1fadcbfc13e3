"""Environment variables and hooks: round trips, removal, and hostile names and values, against tmux's listings."""

import collections.abc
import os
import re

import pytest

import vordalin

HOSTILE_VALUES = ["#{pid}", "$HOME", "a;", "a\\;", "-x", "x\nFAKE=1", "\"quoted\" 'too'", "", "trailing \\"]


@pytest.fixture
def server(tmux_cli):
    return vordalin.Server(tmux_cli.socket)


def environments(server):
    return {"global": (server.environment, ["-g"]), "session": (server.session("main").environment, ["-t", "=main:"])}


@pytest.mark.parametrize("scope", ["global", "session"])
def test_environment_round_trips_exactly(tmux_cli, server, scope):
    environment, flags = environments(server)[scope]
    assert isinstance(environment, collections.abc.MutableMapping)
    variables = {f"V{i}": value for i, value in enumerate(HOSTILE_VALUES)} | {"-LEAD": "-", "A B": "#(touch x)"}
    environment.update(variables)
    assert {name: environment[name] for name in variables} == variables
    listed = [name for name in environment if name in variables]
    assert sorted(listed) == sorted(variables)  # the value holding "\nFAKE=1" forges no variable
    assert "FAKE" not in environment
    shown = tmux_cli.run("show-environment", *flags, "--", "V5").stdout
    assert shown == "V5=x\nFAKE=1\n"
    del environment["V0"]
    assert "V0" not in environment and "V0" not in list(environment)
    assert tmux_cli.run("show-environment", *flags, "--", "V0", check=False).returncode == 1
    with pytest.raises(KeyError):
        del environment["V0"]


def test_a_variable_marked_removed_reads_as_missing(tmux_cli, server):
    tmux_cli.run("set-environment", "-t", "=main:", "-r", "GONE")
    environment = server.session("main").environment
    assert "GONE" not in environment and "GONE" not in list(environment)
    with pytest.raises(KeyError, match="GONE"):
        environment["GONE"]
    with pytest.raises(KeyError):
        del environment["GONE"]
    assert tmux_cli.run("show-environment", "-t", "=main:", "GONE").stdout == "-GONE\n"  # the mark stays


@pytest.mark.parametrize("name", ["", "A=B", "A\nB"])
def test_names_tmux_cannot_hold_are_refused(server, name):
    with pytest.raises(ValueError, match="environment variable names cannot be empty or hold"):
        server.environment[name] = "x"
    with pytest.raises(KeyError):
        server.environment[name]


def test_a_new_window_gets_the_session_environment(tmux_cli, server, tmp_path):
    session = server.session("main")
    session.environment["PICKED"] = "#{pid};$x"
    out = tmp_path / "out"
    session.new_window("w", f"printf %s \"$PICKED\" > {out}; exec sleep 100")
    from helpers import wait_for
    wait_for(lambda: out.exists() and out.read_text() == "#{pid};$x", message="the variable in the new window")


def hook_scopes(server):
    session = server.session("main")
    window = session.active_window
    pane = window.active_pane
    return {"global": (server.hooks, ["-g"], "after-new-window"),
            "session": (session.hooks, ["-t", "=main:"], "after-new-window"),
            "window": (window.hooks, ["-w", "-t", f"=main:={window.index}"], "window-renamed"),
            "pane": (pane.hooks, ["-p", "-t", pane.pane_id], "pane-exited")}


@pytest.mark.parametrize("scope", ["global", "session", "window", "pane"])
def test_hooks_round_trip_in_normal_form(tmux_cli, server, scope):
    hooks, flags, name = hook_scopes(server)[scope]
    hooks[name] = "display a"
    hooks[f"{name}[3]"] = "set -g @x '#{pid};'"
    assert hooks[name] == hooks[f"{name}[0]"] == "display-message a"
    assert hooks[f"{name}[3]"] == "set-option -g @x \"#{pid};\""
    assert [key for key in hooks if key.startswith(name)] == [f"{name}[0]", f"{name}[3]"]
    assert tmux_cli.lines("show-hooks", *flags, name) == [f"{name}[0] display-message a",
                                                          f"{name}[3] set-option -g @x \"#{{pid}};\""]
    del hooks[f"{name}[3]"]
    assert list(k for k in hooks if k.startswith(name)) == [f"{name}[0]"]
    hooks[f"{name}[1]"] = "display b"
    del hooks[name]  # every index
    assert not [k for k in hooks if k.startswith(name)] and name not in hooks
    with pytest.raises(KeyError):
        hooks[name]
    with pytest.raises(KeyError):
        del hooks[name]


def test_a_hook_runs_and_its_text_stays_data(tmux_cli, server):
    session = server.session("main")
    session.hooks["after-new-window"] = "set -gF @ran '#{window_name}'"
    session.new_window("#{pid};")
    assert tmux_cli.run("show-options", "-gv", "@ran").stdout == "#{pid};\n"


@pytest.mark.parametrize("scope, key, value, message", [
    ("session", "pane-exited", "display a", 'not a hook tmux can set on a session: "pane-exited"'),
    ("pane", "window-renamed", "display a", 'not a hook tmux can set on a pane: "window-renamed"'),
    ("global", "status", "display a", 'not a hook tmux can set on the global session scope: "status"'),
    ("global", "@mine", "display a", 'not a hook tmux can set on the global session scope: "@mine"'),
    ("global", "after-new-w", "display a", 'not a hook tmux can set on the global session scope: "after-new-w"'),
    ("global", "after-new-window[x]", "display a",
     'not a hook tmux can set on the global session scope: "after-new-window[x]"'),
    ("global", "no-such-hook", "display a", "invalid option: no-such-hook"),
    ("global", "after-new-window", "no-such-command", "unknown command: no-such-command"),
])
def test_hook_refusals_are_value_errors(tmux_cli, server, scope, key, value, message):
    hooks = hook_scopes(server)[scope][0]
    before = tmux_cli.lines("show-hooks", "-g") + tmux_cli.lines("show-hooks", "-gw"), key in hooks
    with pytest.raises(ValueError, match=re.escape(message)):
        hooks[key] = value
    assert (tmux_cli.lines("show-hooks", "-g") + tmux_cli.lines("show-hooks", "-gw"), key in hooks) == before


def test_global_hooks_list_only_set_entries(tmux_cli, server):
    before = set(server.hooks)  # show-hooks -g lists every unset hook by bare name: none of those
    assert all(re.fullmatch(r"[a-z-]+\[\d+\]", key) for key in before)
    server.hooks["pane-died"] = "display x"
    server.hooks["client-attached"] = "display y"
    assert set(server.hooks) - before == {"client-attached[0]", "pane-died[0]"}
    assert tmux_cli.lines("show-hooks", "-gw", "pane-died") == ["pane-died[0] display-message x"]
    server.hooks.clear()
    assert list(server.hooks) == []
