"""Argument checking: call shapes and the conversion of texts, integers and booleans."""

import pytest

import vordalin
from helpers import needs_numpy, numpy_scalar

OUT_OF_RANGE = (OverflowError, "^out of range integral type conversion attempted$")
TOO_BIG = (OverflowError, "^Python int too large to convert to C long$")  # the interpreter's own
NOT_INTEGER = (TypeError, "^argument '{}': ")
MISSING = "missing {} required positional argument{}: {}"
CAST = "argument '{}': '{}' object cannot be cast as '{}'"


@pytest.mark.parametrize("target, args, kwargs, message", [
    ("has_session", (), {}, "Server.has_session() " + MISSING.format(1, "", "'name'")),
    ("Window", ("w", 1), {}, "Window.__new__() " + MISSING.format(2, "s", "'socket' and 'name'")),
    ("Window", (), {"index": 1, "name": ""},
     "Window.__new__() " + MISSING.format(2, "s", "'session_name' and 'socket'")),
    ("Pane", ("s", 0, 0), {}, "Pane.__new__() " + MISSING.format(3, "s", "'pane_id', 'title', and 'socket'")),
    ("has_session", ("a", "b"), {}, "Server.has_session() takes 1 positional arguments but 2 were given"),
    ("Server", ("a", "b"), {}, "Server.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("Session", ("a", None, "x"), {}, "Session.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("Server", (), {"sock": "/s"}, "Server.__new__() got an unexpected keyword argument 'sock'"),
    ("has_session", ("a",), {"name": "b"}, "Server.has_session() got multiple values for argument 'name'"),
    ("has_session", (None,), {}, CAST.format("name", "NoneType", "str")),
    ("new_session", (b"x",), {}, CAST.format("name", "bytes", "str")),
    ("Server", (1,), {}, CAST.format("socket", "int", "str")),
    ("Session", ("a",), {"socket": b"/s"}, CAST.format("socket", "bytes", "str")),
    ("Window", (1, 0, None, "n"), {}, CAST.format("session_name", "int", "str")),
    ("Pane", ("s", 0, 0, "%1", None, None), {}, CAST.format("title", "NoneType", "str")),
    ("Pane", ("s", "x", -1, "%1", "t", None), {},  # the first failing conversion is reported
     "argument 'window_index': 'str' object cannot be interpreted as an integer"),
    ("Session.name=", (None,), {}, CAST.format("new_name", "NoneType", "str")),
    ("Window.name=", (b"x",), {}, CAST.format("new_name", "bytes", "str")),
    ("Pane.title=", (3,), {}, CAST.format("title", "int", "str")),
    ("send_keys", ("ls",), {"enter": 1}, CAST.format("enter", "int", "bool")),
    ("send_keys", ("ls", None), {}, CAST.format("enter", "NoneType", "bool")),
    pytest.param("send_keys", ("ls",), {"enter": numpy_scalar("int64", 0)}, CAST.format("enter", "int64", "bool"),
                 marks=needs_numpy),
])
def test_refused_calls(classes, fake_tmux, target, args, kwargs, message):
    server, pane = vordalin.Server(), classes.Pane("s", 0, 0, "%1", "t", None)
    table = {"has_session": server.has_session, "new_session": server.new_session, "send_keys": pane.send_keys,
             "Session.name=": lambda v: setattr(classes.Session("s"), "name", v),
             "Window.name=": lambda v: setattr(classes.Window("s", 0, None, "n"), "name", v),
             "Pane.title=": lambda v: setattr(pane, "title", v)}
    with pytest.raises(TypeError) as info:
        table.get(target, getattr(classes, target, None))(*args, **kwargs)
    assert str(info.value) == message
    assert fake_tmux.calls == []


def test_keywords_str_subclasses_and_unencodable_text(classes, fake_tmux):
    class Name(str):
        pass

    w = classes.Window(name=Name("ed"), socket=None, index=3, session_name="s")
    assert (w.session_name, w.index, w.socket, w.name, type(w.name)) == ("s", 3, None, "ed", str)
    assert classes.Session(Name("x"), socket=Name("/s")).socket == "/s"
    server = vordalin.Server()
    for act, error in [(lambda: server.has_session("\udcff"), UnicodeEncodeError), (lambda: server.kill(1), TypeError),
                       (lambda: classes.Session("\ud800"), UnicodeEncodeError), (lambda: server.start(x=1), TypeError)]:
        with pytest.raises(error):
            act()
    assert fake_tmux.calls == []


READ_INDEX = {"index": lambda c, v: c.Window("s", v, None, "n").index,
              "window_index": lambda c, v: c.Pane("s", v, 0, "%1", "t", None).window_index,
              "pane_index": lambda c, v: c.Pane("s", 0, v, "%1", "t", None).pane_index}


@pytest.mark.parametrize("value, expected", [
    (0, 0), (4294967295, 4294967295), (True, 1),
    pytest.param(numpy_scalar("uint8", 7), 7, marks=needs_numpy),
    pytest.param(numpy_scalar("int64", 12), 12, marks=needs_numpy),
    (-1, OUT_OF_RANGE), (4294967296, OUT_OF_RANGE), (-(2**31), OUT_OF_RANGE), (2**63, TOO_BIG), (-(2**63) - 1, TOO_BIG),
    ("1", NOT_INTEGER), (1.0, NOT_INTEGER), (None, NOT_INTEGER),
    pytest.param(numpy_scalar("float64", 2.0), NOT_INTEGER, marks=needs_numpy),
])
@pytest.mark.parametrize("where", list(READ_INDEX))
def test_integers(classes, where, value, expected):
    if isinstance(expected, int):
        assert READ_INDEX[where](classes, value) == expected
    else:
        with pytest.raises(expected[0], match=expected[1].format(where)):
            READ_INDEX[where](classes, value)


@pytest.mark.parametrize("value, sent", [(True, True), (False, False), *(pytest.param(
    numpy_scalar("bool_", v), v, marks=needs_numpy) for v in (True, False))])
def test_booleans_accepted(classes, fake_tmux, value, sent):
    assert classes.Pane("s", 0, 0, "%1", "t", None).send_keys("ls", enter=value) is True
    assert fake_tmux.calls == [["send-keys", "-t", "%1", "--", "ls"] + (["Enter"] if sent else [])]
