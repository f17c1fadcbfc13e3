"""Properties against small models written here: arguments, output parsing, text form, keep-wrapper."""

import inspect
import json
import os
import re
import subprocess
import unicodedata
from operator import attrgetter as fields

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

from helpers import assigned_alike, free, numpy

# VORDALIN_EXAMPLES bounds the cases per property; CI keeps it small.
PROPERTY = settings(max_examples=int(os.environ.get("VORDALIN_EXAMPLES", "100")), deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
U32, MARKER = 2**32 - 1, "__VORDALIN__"
SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000" + "".join(map(chr, range(0x2000, 0x200B)))
# Grapheme_Extend is Mn, Me and Unicode's Other_Grapheme_Extend list, which unicodedata lacks.
OTHER_GRAPHEME_EXTEND = {c for a, _, b in (r.partition("-") for r in (
    "9BE 9D7 B3E B57 BBE BD7 CC2 CD5-CD6 D3E D57 DCF DDF 1B35 200C 302E-302F FF9E-FF9F 1133E 11357 114B0 114BD 115AF "
    "11930 1D165 1D16E-1D172 E0020-E007F").split()) for c in range(int(a, 16), int(b or a, 16) + 1)}
ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0", " ": " "}
ESCAPED = ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me")


def quote(s):
    return '"' + "".join(ESCAPES.get(c) or (f"\\u{{{ord(c):x}}}" if unicodedata.category(c) in ESCAPED
                                           or ord(c) in OTHER_GRAPHEME_EXTEND else c) for c in s) + '"'


def text(raw, trimmed=True):
    return (raw.decode("utf-8", "replace") if isinstance(raw, bytes) else raw).strip(SPACE if trimmed else "")


def lines(raw):
    *body, last = text(raw, False).split("\n")
    return [line[:-1] if line.endswith("\r") else line for line in body] + ([last] if last else [])


def number(field, failure=None, bound=U32):  # the value, or the first problem met from the left
    digits = field[1:] if field[:1] == "+" else field
    run = len(digits) - len(digits.lstrip("0123456789"))
    reason = ("cannot parse integer from empty string" if not field else "number too large to fit in target type" if run
              and int(digits[:run]) > bound else None if run == len(digits) > 0 else "invalid digit found in string")
    if reason and failure:
        raise RuntimeError(f"{failure}: {reason}")
    return reason or int(digits)


def framed(raw, kinds, single=False):
    """The records of `raw`: "p" fields end at a bar or line end; "t" fields at a bar no backslash escapes or a
    line end, each backslash taking the next byte as it stands ("n": a line end) but never a line end."""
    found, at = [], 0
    while at < len(raw):
        start, values = at, []
        for i, kind in enumerate(kinds):
            value = bytearray()
            while at < len(raw) and raw[at:at + 1] not in (b"|", b"\n"):
                byte = raw[at:at + 1]
                if kind == "t" and byte == b"\\":
                    if raw[at + 1:at + 2] in (b"", b"\n"):
                        break
                    at += 1
                    byte = b"\n" if raw[at:at + 1] == b"n" else raw[at:at + 1]
                value += byte
                at += 1
            else:
                values.append(bytes(value))
                if i + 1 < len(kinds) or at < len(raw):
                    if raw[at:at + 1] != (b"|" if i + 1 < len(kinds) else b"\n"):
                        break
                    at += 1
                continue
            break
        else:
            found.append([v.decode("utf-8", "replace") for v in values])
            if not single:
                continue
            return found[0] if at == len(raw) else None
        if single:
            return None
        at = len(raw) if (end := raw.find(b"\n", start)) < 0 else end + 1
    return None if single else found


def indexed(raw, kinds):
    return [(number(f[0]), *f[1:]) for f in framed(raw, kinds) if isinstance(number(f[0]), int)]


def without_line_end(raw):
    out = text(raw, False)
    return out[:-2] if out.endswith("\r\n") else out[:-1] if out.endswith("\n") else out


def target(out, names):
    pieces = without_line_end(out).split("\t", len(names) - 1) + [None] * len(names)
    for piece, name in zip(pieces, names[:-1]):
        if piece is None or not piece and name in ("session_name", "pane_id"):
            raise RuntimeError(f"missing {name} from tmux output")
        if "index" in name:
            number(piece, f"invalid {name}")
    return tuple(number(p) if "index" in n else p or "" for p, n in zip(pieces, names))


def split(out):
    if (f := framed(out, "ppt", single=True)) is None:
        raise RuntimeError("unexpected split-window output: " + quote(text(out)))
    return (number(f[0], f"bad pane_index {quote(f[0])}"), *f[1:])


def last_command(out):
    for answer in (x.lstrip(SPACE) for x in reversed(lines(out))):
        if markers := re.match(f"(?:{MARKER})+", answer):
            return text(answer[markers.end():])
    raise RuntimeError("could not read last command")


class Records:
    def __init__(self, c):
        self.Server, self.Session, self.Window, self.Pane = c.Server, c.Session, c.Window, c.Pane
        self.pane, self.window = c.Pane("work", 2, 1, "%7", "title", None), c.Window("work", 2, None, "n")


PANE = ("session_name", "window_index", "pane_index", "pane_id", "title")
# name: (runs answered first, call, model of a good run's stdout, failure: quiet value or (prefix, trimmed?))
PARSERS = {
    "sessions": (0, lambda c: [s.name for s in c.Server().sessions], lambda o: [*filter(None, lines(o))], []),
    "windows": (0, lambda c: [*map(fields("index", "name"), c.Session("work").windows)], lambda o: indexed(o, "pt"),
                []),
    "panes": (0, lambda c: [*map(fields(*PANE[2:]), c.window.panes)], lambda o: indexed(o, "ppt"), []),
    "next": (1, lambda c: (w := c.window.next) and fields("index", "name")(w), lambda o: (number(f[0]), f[1])
             if (f := framed(o, "pt", single=True)) and isinstance(number(f[0]), int) else None, None),
    "target_pane": (0, lambda c: fields(*PANE)(c.Server().target_pane("t")), lambda o: target(o, PANE),
                    ("pane target not found: ", False)),
    "split": (0, lambda c: fields(*PANE[2:])(c.pane.split()), split, ("tmux split-window failed: ", True)),
    "is_alive": (0, lambda c: c.pane.is_alive, lambda o: text(o) == "0", ("tmux display-message failed: ", True)),
    "capture": (0, lambda c: c.pane.capture(), lambda o: text(o, False), None),
    "capture_trim": (0, lambda c: c.pane.capture(trim=True), lambda o: "\n".join(lines(o)[min(kept):max(kept) + 1])
                     if (kept := [i for i, x in enumerate(lines(o)) if text(x)]) else "", None),
    "current_command": (0, lambda c: c.pane.current_command, lambda o: text(o) or None, None),
    "read": (1, lambda c: c.pane.last_command.read(), last_command, ("tmux command failed: ", True)),
}
TOKENS = [b"|", b"\t", b"\n", b"\r", b" ", b"+", b"-", b"0", b"1", b"2", b"7", b"007", b"4294967295", b"4294967296", b"%3",
          b"\xc2\xa0", b"\xe3\x80\x80", b"\x1c", b"\0", b"\xff", b"\xe2\x82", b"\xcc\x81", MARKER.encode()]
FIELD = st.lists(st.sampled_from(TOKENS[4:]), max_size=3).map(b"".join)
ROW = st.lists(FIELD, min_size=1, max_size=6).map(b"|".join) | st.lists(FIELD, min_size=1, max_size=6).map(b"\t".join)
OUTPUT = st.binary(max_size=30) | st.lists(st.sampled_from(TOKENS), max_size=30).map(b"".join) | st.lists(
    ROW, max_size=4).map(b"\n".join)
VALID = st.text() | st.booleans() | st.integers(0, U32)
NUMPY_SCALARS = [numpy.True_, numpy.bool_(False), numpy.int64(3), numpy.float64(1)] if numpy else []
ANY = st.one_of(st.none(), st.integers(-2**70, 2**70), st.floats(), st.binary(), st.sampled_from([
    -1, U32 + 1, 2**63, -2**63 - 1, "a\udcff", *NUMPY_SCALARS, {}]))
MEMBERS = ("Server Session Window Pane Server.has_session Server.new_session Server.target_pane Server.target_window "
           "Session.name Window.name Pane.title Pane.send_keys Pane.capture Pane.split Pane.resize Pane.respawn "
           "Pane.bash_shell").split()
TEXT = st.text((st.characters(exclude_categories=("Cs", "Cn")) | st.sampled_from(
    [chr(c) for c in range(0xFDD0, 0xFDF0)] + [chr(p << 16 | 0xFFFE | i) for p in range(17) for i in (0, 1)])).filter(
    assigned_alike))


def fresh(fake):  # the same fake with an empty log and answer queue: every example starts alike
    for path in fake.state_dir.iterdir():
        path.unlink()
    return type(fake)(fake.bin_dir, fake.state_dir)


def outcome(act):
    try:
        return act()
    except RuntimeError as error:
        return "RuntimeError: " + str(error)


@pytest.mark.parametrize("name", PARSERS)
@PROPERTY
@given(out=OUTPUT, err=OUTPUT, code=st.sampled_from([0, 0, 1]))
def test_output_parses_by_the_rules(classes, fake_tmux, name, out, err, code):
    assume(all(map(assigned_alike, text(out))))
    (earlier, act, model, failure), fake = PARSERS[name], fresh(fake_tmux)
    for answer in [{}] * earlier + [{"stdout": out, "stderr": err, "code": code}]:
        fake.respond(**answer)
    expected = outcome(lambda: model(out)) if not code else failure if not isinstance(failure, tuple) else (
        "RuntimeError: " + failure[0] + text(err, failure[1]))
    assert (outcome(lambda: act(Records(classes))), fake.unanswered()) == (expected, 0)


@pytest.mark.parametrize("member", MEMBERS)
@PROPERTY
@given(data=st.data())
def test_any_argument_gives_a_documented_error(classes, fake_tmux, member, data):
    """Every value is either taken or refused with a documented error before anything runs."""
    fake, c, (owner, _, name) = fresh(fake_tmux), Records(classes), member.partition(".")
    record = {"Server": c.Server(), "Session": c.Session("s"), "Window": c.window, "Pane": c.pane}[owner]
    call = getattr(c, owner) if not name else getattr(record, name) if name not in ("name", "title") else (
        lambda value: setattr(record, name, value))
    try:
        call(**{p: data.draw(VALID | ANY, label=p) for p in inspect.signature(call).parameters})
    except (TypeError, OverflowError, UnicodeEncodeError) as error:
        assert fake.calls == [] and (type(error) is not TypeError or str(error).startswith("argument '")), error
    except OSError as error:  # a start directory that is not one (FileNotFoundError, NotADirectoryError, ...)
        assert fake.calls == [] and "start_directory" in inspect.signature(call).parameters, error
    except (RuntimeError, ValueError):  # the operation ran and failed (ValueError: a window name tmux refused)
        pass


@PROPERTY
@given(a=TEXT, b=TEXT)
def test_text_form_matches_unicodedata(classes, a, b):
    shown = f"session_name={quote(a)}, window_index=0, pane_index={U32}, pane_id={quote(b)}, title={quote(a + b)}"
    assert repr(classes.Pane(a, 0, U32, b, a + b, b)) == f"Pane({shown}, socket=Some({quote(b)}))"


@pytest.mark.parametrize("shell", ["/bin/sh", "/bin/bash"])
@PROPERTY
@given(command=st.tuples(st.sampled_from(["", "-", "+"]), st.text(st.sampled_from("'\"\\$`;&|#*?~ \n\t!(){}<>\x85") | (
    st.characters(exclude_categories=["Cs"], exclude_characters="\0")))).map("".join))
def test_keep_wrapper_hands_sh_exactly_the_command(classes, fake_tmux, tmp_path, shell, command):
    # A real shell runs the wrapper; the inner sh is a probe recording its arguments, read as options up to "--".
    (fake := fresh(fake_tmux)).respond(stdout=b"1|%2|t")
    Records(classes).pane.split(command=command)
    (probe := tmp_path / "sh").write_text(f"#!/bin/sh\nprintf '%s\\0' \"$@\" > '{tmp_path}/args'\n")
    probe.chmod(0o755)
    wrapper = json.loads((fake.state_dir / "log").read_bytes().split(b"\n")[0])["argv"][-1]
    subprocess.run([shell, "-c", wrapper], env={"PATH": str(tmp_path), "SHELL": "/bin/true"}, check=True, timeout=10)
    *options, operand, _ = (tmp_path / "args").read_bytes().decode().split("\0")
    assert operand == command and all(option[:1] in ("-", "+") for option in options)
    assert options[-1:] == ["--"] or command[:1] not in ("-", "+")
