"""The module object, the conventions every class shares, and the text forms."""

import gc
import importlib
import importlib.util
import inspect
import re
import subprocess
import sys
import weakref

import pytest

import vordalin

DISALLOW_INSTANTIATION, BASETYPE, HAVE_GC = 1 << 7, 1 << 10, 1 << 14
FIELDS = {"Server": [], "Session": ["name", "socket"], "Window": ["session_name", "index", "socket", "name"],
          "Pane": ["session_name", "window_index", "pane_index", "pane_id", "title", "socket"]}
ACTING = {"Server": ["is_running", "sessions"], "Session": ["windows"], "Window": ["select", "panes"],
          "Pane": ["select", "clear", "is_alive"]}
SETTERS = [("Session", "name"), ("Window", "name"), ("Pane", "title")]


def make_records(classes):
    return {"Server": classes.Server("/s"), "Session": classes.Session("work", "/s"),
            "Window": classes.Window("work", 2, "/s", "ed"), "Pane": classes.Pane("work", 2, 0, "%4", "title", "/s")}


def test_module_exports_only_server_the_tmux_errors_and_snapshot_all():
    assert vordalin.__all__ == ["Server", "TmuxError", "NotFoundError", "snapshot_all"] and vordalin.__doc__ == ""
    assert sorted(name for name in vars(vordalin) if not name.startswith("_")) == sorted(vordalin.__all__)
    assert callable(vordalin._restore)  # what pickled and copied objects are rebuilt with
    assert not any(hasattr(vordalin, n) for n in ("Session", "Window", "Pane", "SessionMetadata", "LastCommand"))


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("vordalin")
    try:
        assert importlib.import_module("vordalin") is saved
    finally:
        sys.modules["vordalin"] = saved


def test_second_interpreter_refuses_import():
    name = next((n for n in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(n)), None)
    if name is None:
        pytest.skip("this Python cannot create sub-interpreters")
    code = (f"import {name} as i, vordalin\nsub = i.create()\ntry:\n    print(i.run_string(sub, 'import vordalin'))\n"
            "except Exception as exc:\n    print(exc)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "ImportError" in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize("owner, signature", [
    ("Server", "(socket=None, *, config=None, host=None, ssh_options=())"), ("Session", "(name, socket=None)"),
    ("Window", "(session_name, index, socket, name)"),
    ("Pane", "(session_name, window_index, pane_index, pane_id, title, socket)"),
])
def test_class_conventions(classes, fake_tmux, owner, signature):
    cls, a, b = getattr(classes, owner), make_records(classes)[owner], make_records(classes)[owner]
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__bases__, cls.__doc__) == (
        owner, owner, "builtins", (object,), "")
    assert cls.__text_signature__ == signature == str(inspect.signature(cls))
    assert not cls.__flags__ & (BASETYPE | HAVE_GC) and not gc.is_tracked(a)
    # Records compare by what they name; a Session, whose name can change, has no hash.
    if owner == "Server":
        assert a == a and a != b and not a == b and hash(a) == object.__hash__(a) and len({a, b}) == 2
    elif owner == "Session":
        assert a == b and not a != b and cls.__hash__ is None
    else:
        assert a == b and not a != b and hash(a) == hash(b) and len({a, b}) == 1
    # Whether CPython prints the "builtins." part differs between versions.
    assert owner != "Server" or re.match(r"<(builtins\.)?Server object at 0x[0-9a-f]+>$", repr(a))
    for act, error in [(lambda: type("Sub", (cls,), {}), TypeError), (lambda: weakref.ref(a), TypeError),
                       (lambda: setattr(a, "not_a_field", 1), AttributeError)]:
        with pytest.raises(error):
            act()
    assert [cls.__dict__[field].__doc__ for field in FIELDS[owner]] == [""] * len(FIELDS[owner])
    for attribute in FIELDS[owner] + ACTING[owner]:
        settable = (owner, attribute) in SETTERS
        with pytest.raises(AttributeError, match="^can't delete attribute$" if settable else "not writable"):
            delattr(a, attribute) if settable else setattr(a, attribute, "x")
    assert fake_tmux.calls == []


R, FAILED = "\n\nReturns:\n    ", "False if the operation failed"


@pytest.mark.parametrize("owner, member, text_signature, doc", [
    ("Server", "new_session", "($self, name, command=None, *, start_directory=None, environment=None, width=None, "
     "height=None)", "create a new session" + R + "Session"),
    ("Server", "sessions", None, "list sessions in this server" + R + "A list of Session in this server"),
    ("Server", "is_running", None, "check if a tmux server is running" + R + "True if running, False if not"),
    ("Server", "kill", "($self)", "kill a tmux server"),
    ("Server", "has_session", "($self, name)", "check if the server contains a session using a session name" + R
     + "True if the session name provided exists, False if not"),
    ("Server", "start", "($self)", "start a tmux server if none is running\n"),
    ("Session", "kill", "($self)", "kill this session" + R + "True if the operation is successful"),
    ("Session", "windows", None, "get a list of all windows in a session" + R + "Window"),
    ("Window", "kill", "($self)", "kill this window" + R + "True if killed successfully, " + FAILED),
    ("Window", "select", None, "select a window if not selected" + R + "True if selected, " + FAILED),
    ("Window", "panes", None, "list panes in a window" + R + "a list of panes available in this window"),
    ("Pane", "select", None, "select this pane"), ("Pane", "clear", None, "clear a panes history"),
    ("Pane", "is_alive", None, "Whether the pane is alive."), ("Pane", "kill", "($self)", "Kill this pane."),
    ("Server", "current_socket", None, "get the tmux socket path for this server\nif a socket was explicitly provided, "
     "that is returned.\notherwise, the default tmux socket path is returned." + R + "str"),
    ("Server", "target_pane", "($self, target)",
     'get a Pane object directly from a pane target like "mysess:0.1"' + R + "Pane"),
    ("Server", "target_window", "($self, target)",
     'get a Window object directly from a window target like "mysess:0"' + R + "Window"),
    ("Session", "metadata", "($self)", "get session metadata" + R + "SessionMetadata\n\nRaises: RuntimeError on failure"),
    ("Window", "metadata", None, "get window metadata" + R + "WindowMetadata"),
    *[("Window", step, None, f"Move to the {step} tmux window in this session and return it." + R
       + "The newly selected Window, or None if the operation fails.") for step in ("next", "previous")],
    ("Pane", "split", "($self, horizontal=False, command=None, keep=True, *, select=True, size=None, "
     "start_directory=None, environment=None)", "Split this pane and return the new pane."
     "\n\nArgs:\n    horizontal: Split horizontally if True, vertically otherwise.\n    command: Optional command to "
     "run in the new pane.\n    keep: keep the split running after execution is complete, defaults to true\n"
     "    select: Make the new pane the window's active one; False leaves the current pane current.\n"
     "    size: The new pane's size in cells (columns when horizontal, else lines).\n"
     "    start_directory: The directory the program starts in; it must exist.\n"
     "    environment: Variables to set for the program, as a mapping of str to str.\n"),
    ("Pane", "resize", "($self, direction, amount)", 'Resize the pane.\n\nArgs:\n    direction: One of "left", '
     '"right", "up", or "down".\n    amount: Number of cells to resize by.\n'),
    ("Pane", "respawn", "($self, command=None, kill=False)", "Respawn the pane.\n\nArgs:\n    command: Optional "
     "command to run after respawning.\n    kill: Kill the existing pane process first."),
    ("Pane", "send_keys", "($self, keys, enter=False, clear_first=False, *, literal=False)",
     "send keys to a pane\n\nArgs:\n    keys: "
     "the keys/commands to send to the pane\n    enter: whether to send enter command and run the command sent\n"
     "    clear_first: first clear the screen before running the command" + R + "True if successfully sent keys\n"),
    ("Pane", "capture", "($self, trim=False, scroll_back=None, full=False, *, escapes=False, join=False)",
     "capture a panes content\n\nArgs:\n"
     "    trim: remove trailing whitespaces from the capture output\n    scroll_back: scroll back this number of "
     "lines\n    full: capture full pane output\n    escapes: colours and attributes as escape sequences "
     "(capture-pane -e)\n    join: wrapped lines joined (capture-pane -J)" + R + "a string of the pane content. any character visible in the "
     "pane will ne returned"),
    ("Pane", "bash_shell", "($self, respawn=False)", "Change this pane to bash.\n\nArgs:\n    respawn: If True, kill "
     "the current pane process and respawn it as bash.\n             If False, run `exec bash` inside the pane.\n"),
    ("Pane", "current_command", None, "get this shells current command/program\nwill be the shell name if no program "
     "is active" + R + "a string of the current program running on the pane. e.g. `ping -q example.com` will only "
     "return `ping`"),
    ("Pane", "current_commandline", None, "get this panes current running command with its arguments" + R + "the "
     "program ran in the pane with the arguments used. e.g. `ping -q example.com`"),
    ("Pane", "last_command", None, "get the last command used in this pane" + R + "LastCommand"),
    ("LastCommand", "read", "($self)", "Read the last bash command from this pane." + R + "The last command as a "
     "string.\n\nWARNING: using this function might mess up your pane history"),
    ("LastCommand", "run", "($self)", "Run the last bash command from this pane." + R + "True on success."),
])
def test_member_docs(classes, owner, member, text_signature, doc):
    records = make_records(classes)
    records["LastCommand"] = records["Pane"].last_command
    descriptor = type(records[owner]).__dict__[member]
    assert descriptor.__doc__ == doc
    if text_signature is None:
        assert not callable(descriptor) and hasattr(descriptor, "__set__")
    else:
        assert descriptor.__text_signature__ == text_signature
        bound = getattr(records[owner], member)
        assert str(inspect.signature(bound)) == re.sub(r"\$self(, )?", "", text_signature)


def test_snapshot_classes_cannot_be_called(classes, fake_tmux):
    fake_tmux.respond(stdout="$1|work|17|1|120|40|2\n")
    fake_tmux.respond(stdout="2|ed|1|L|120||*\n")
    records = make_records(classes)
    for made in (records["Session"].metadata(), records["Window"].metadata, records["Pane"].last_command):
        cls = type(made)
        assert cls.__flags__ & DISALLOW_INSTANTIATION and not cls.__flags__ & BASETYPE
        with pytest.raises(TypeError):
            cls()
    assert cls.__doc__ is None


QUOTING = [  # (text, how the text form shows it)
    ('"\\\t\r\n\0 e\u0301 \x1b[1m\x7f\x9f', '\\"\\\\\\t\\r\\n\\0 e\\u{301} \\u{1b}[1m\\u{7f}\\u{9f}'),
    ("\u200b\u200c\u200d\ufeff\u00ad\ue000\U000f0000\u0378\U0010ffff\U000e0001\U000e0100",
     "\\u{200b}\\u{200c}\\u{200d}\\u{feff}\\u{ad}\\u{e000}\\u{f0000}\\u{378}\\u{10ffff}\\u{e0001}\\u{e0100}"),
    ("a\u00a0b\u2003c\u3000\u2028\u2029", "a\\u{a0}b\\u{2003}c\\u{3000}\\u{2028}\\u{2029}"),
    # Grapheme_Extend beyond the mark categories, a spacing mark that is not, and what stays as it is.
    ("\u09be\uff9e\u0903 it's caf\u00e9 \u65e5\U0001f600", "\\u{9be}\\u{ff9e}\u0903 it's caf\u00e9 \u65e5\U0001f600"),
]
TEXT_FORMS = [
    ("Session", ("", "/a\\b"), 'Session(name="", socket=Some("/a\\\\b"))'),
    ("Window", ("a\tb", 4294967295, "", "x\u0301"),
     'Window(session_name="a\\tb", index=4294967295, name="x\\u{301}", socket=Some(""))'),
    ("Pane", ("w\n", 2, 1, "%7", "t\0", "/s"),
     'Pane(session_name="w\\n", window_index=2, pane_index=1, pane_id="%7", title="t\\0", socket=Some("/s"))'),
] + [("Session", (text, None), f'Session(name="{shown}", socket=None)') for text, shown in QUOTING]


@pytest.mark.parametrize("owner, args, text", TEXT_FORMS)
def test_text_form(classes, owner, args, text):
    record = getattr(classes, owner)(*args)
    assert repr(record) == str(record) == text
