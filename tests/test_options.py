"""Options at each of the six scopes, typed, exact to their scope, and checked against tmux's own listing."""

import collections.abc
import importlib.util
import os
import re
import subprocess
from pathlib import Path

import pytest

import vordalin
from helpers import REAL_TMUX, needs_tmux

TOOLS = Path(__file__).resolve().parent.parent / "tools"
TABLE = Path(__file__).resolve().parent.parent / "src" / "core" / "option_table.hpp"


@needs_tmux
def test_the_option_table_is_what_tmux_lists():
    made_with = re.search(r"from (tmux \S+);", TABLE.read_text()).group(1)
    installed = subprocess.run([REAL_TMUX, "-V"], capture_output=True, text=True).stdout.strip()
    if installed != made_with:
        pytest.skip(f"the table was made with {made_with}, this is {installed}")
    spec = importlib.util.spec_from_file_location("gen_option_table", TOOLS / "gen_option_table.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert generator.generate(REAL_TMUX) == TABLE.read_text()


# Per scope: how tmux itself lists it, and a flag, a number, a choice, a colour and an array set there
# with a value unlike the default (None where tmux has no option of that type at that scope).
SCOPES = {
    "server": (["-s"], ("exit-empty", False), ("escape-time", 25), ("set-clipboard", "on"), None,
               ("command-alias", ["zz=list-sessions", "a b=display-message 'x y'"])),
    "global": (["-g"], ("mouse", True), ("history-limit", 777), ("status", "2"), ("status-bg", "red"),
               ("update-environment", ["A B", "C"])),
    "global-window": (["-gw"], ("aggressive-resize", True), ("pane-base-index", 3), ("mode-keys", "vi"),
                      ("clock-mode-colour", "blue"), ("pane-colours", ["red", "colour5"])),
    "session": (["-t", "=main:"], ("mouse", True), ("history-limit", 777), ("status", "2"), ("status-bg", "red"),
                ("update-environment", ["A B", "C"])),
    "window": (["-w", "-t", "=main:=WINDOW"], ("aggressive-resize", True), ("pane-base-index", 3),
               ("mode-keys", "vi"), ("clock-mode-colour", "blue"), ("pane-colours", ["red", "colour5"])),
    "pane": (["-p", "-t", "PANE"], ("allow-rename", True), None, ("remain-on-exit", "failed"),
             ("cursor-colour", "green"), ("pane-colours", ["red"])),
}
# Where a value unset at a scope comes from.
PARENT = {"session": "global", "window": "global-window", "pane": "global-window"}


class Scopes:
    def __init__(self, tmux_cli):
        self.cli = tmux_cli
        self.server = vordalin.Server(tmux_cli.socket)
        self.session = self.server.session("main")
        self.window = self.session.active_window
        self.pane = self.window.active_pane

    def options(self, scope):
        return {"server": self.server.options, "global": self.server.global_options,
                "global-window": self.server.global_window_options, "session": self.session.options,
                "window": self.window.options, "pane": self.pane.options}[scope]

    def flags(self, scope):
        replace = {"=main:=WINDOW": f"=main:={self.window.index}", "PANE": self.pane.pane_id}
        return [replace.get(flag, flag) for flag in SCOPES[scope][0]]

    def shown(self, scope, name):
        """What tmux shows for the name at exactly that scope (-v), or None when it is not set there."""
        done = self.cli.run("show-options", *self.flags(scope), "-v", "--", name, check=False)
        return done.stdout if done.returncode == 0 and done.stdout else None


@pytest.fixture
def scopes(tmux_cli):
    return Scopes(tmux_cli)


@pytest.mark.parametrize("scope", SCOPES)
def test_typed_values_round_trip_at_each_scope(scopes, scope):
    options = scopes.options(scope)
    assert isinstance(options, collections.abc.MutableMapping)
    for case in SCOPES[scope][1:]:
        if case is None:
            continue
        name, value = case
        options[name] = value
        got = options[name]
        assert (type(got), got) == (type(value), value), name
        if isinstance(value, list):
            listed = scopes.cli.lines("show-options", *scopes.flags(scope), "--", name)
            assert len(listed) == len(value) and name in options and name in list(options)
        else:
            shown = {True: "on", False: "off"}.get(value, str(value))
            assert scopes.shown(scope, name) == shown + "\n"
    options["@user"] = "#{pid} #(touch x) -x a;"
    assert options.get("@user") == "#{pid} #(touch x) -x a;" and options.get("@nope", 5) == 5
    assert "@user" in options.keys() and dict(options.items())["@user"] == "#{pid} #(touch x) -x a;"


@pytest.mark.parametrize("scope", PARENT)
def test_unset_shows_the_inherited_value_again(scopes, scope):
    options, parent = scopes.options(scope), scopes.options(PARENT[scope])
    name, value = SCOPES[scope][3]
    inherited = parent[name]
    options[name] = value
    assert len(options) == len(list(options)) and name in options
    del options[name]
    assert scopes.shown(scope, name) is None and name not in options and name not in list(options)
    with pytest.raises(KeyError):
        options[name]
    with pytest.raises(KeyError):
        del options[name]
    assert parent[name] == inherited


def test_unset_at_a_global_scope_brings_the_default_back(scopes):
    options = scopes.options("global")
    options["history-limit"] = 12345
    del options["history-limit"]
    assert options["history-limit"] == 2000  # tmux's own default, whatever a configuration set


@pytest.mark.parametrize("scope, name", [
    ("server", "status"),             # a session option: tmux would answer with the current session's
    ("pane", "mode-keys"),            # a window option
    ("session", "status-k"),          # the start of status-keys, which tmux would read
    ("global", "status-format[0]"),   # an element, not an option
    ("global", "nosuchoption"), ("session", "@never-set"), ("session", "base-index"), ("window", "mode-keys"),
    ("global", "after-new-window"),   # a hook
    ("global", ""),
])
def test_missing_names_are_key_errors(scopes, scope, name):
    if (scope, name) == ("window", "mode-keys"):
        scopes.cli.run("set-option", "-gw", "mode-keys", "vi")  # set globally, not on the window
    with pytest.raises(KeyError) as info:
        scopes.options(scope)[name]
    assert info.value.args == (name,)
    assert name not in scopes.options(scope)


@pytest.mark.parametrize("scope, name, value, message", [
    ("session", "status", "bogus", "unknown value: bogus"),
    ("global", "history-limit", "many", "value is invalid: many"),
    ("global", "mouse", 2, "bad value: 2"),
    ("window", "nosuchoption", "x", "invalid option: nosuchoption"),
    ("server", "status", "on", 'option "status" cannot be set on the server'),
    ("pane", "mode-keys", "vi", 'option "mode-keys" cannot be set on a pane'),
    ("session", "status-k", "vi", 'not an option name tmux takes as it is: "status-k"'),
    ("session", "@a b", "x", 'not an option name tmux takes as it is: "@a b"'),
    ("global", "after-new-window", "x", '"after-new-window" is a hook, not an option'),
])
def test_refusals_are_value_errors_with_tmux_text(scopes, scope, name, value, message):
    before = scopes.cli.lines("show-options", "-g")
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        scopes.options(scope)[name] = value
    assert scopes.cli.lines("show-options", "-g") == before


@pytest.mark.parametrize("value, error", [
    (["a"], "only an array option takes a list"), ("a", "is an array: assign a list of str"),
    (1.5, "argument 'value': 'float' object cannot be cast as 'bool | int | str | list[str]'"),
    ([1], "argument 'value': 'int' object cannot be cast as 'str'"),
])
def test_values_of_the_wrong_kind_are_type_errors(scopes, value, error):
    name = "status-format" if isinstance(value, str) else "status-left"
    with pytest.raises(TypeError, match=re.escape(error)):
        scopes.options("global")[name] = value


@pytest.mark.parametrize("value", ["#{pid}", "#(touch ran)", "-x", "a;", "a\\;", "x\ny", "  lead", "'\"$HOME", "#", "~",
                                   "~x", "é\t日\x7f\x01", ""])
def test_hostile_values_are_stored_exactly_and_run_nothing(scopes, value):
    marker = os.path.join(os.path.dirname(scopes.cli.socket), "ran")
    value = value.replace("ran", marker)
    session = scopes.options("session")
    session["@v"] = value
    session["status-left"] = value
    scopes.options("global")["update-environment"] = [value, "B"]
    assert (session["@v"], session["status-left"]) == (value, value)
    assert scopes.options("global")["update-environment"] == [value, "B"]
    assert scopes.shown("session", "@v") == value + "\n"
    scopes.cli.run("run-shell", "true")
    assert not os.path.exists(marker)


def test_a_stale_session_record_raises_and_reaches_no_other_session(scopes):
    scopes.cli.run("new-session", "-d", "-s", "main-2")
    stale = scopes.session
    scopes.cli.run("rename-session", "-t", "=main", "renamed")
    with pytest.raises(RuntimeError, match="^tmux set-option failed: no such session: =main:$"):
        stale.options["status"] = "off"
    assert scopes.shown("global", "status") != "off\n"
    assert scopes.cli.run("show-options", "-t", "=main-2:", "-v", "status").stdout == ""
