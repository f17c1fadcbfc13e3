"""The README runs as printed: every Python block, in order, as one session on a private server.

A statement whose last line ends in a comment "# raises NAME" (or "# raises NAME: the message's
start") must raise that exception; NAME is looked up in the session, then in vordalin, then
among the built-in names. A block right after the line "<!-- not run -->" is skipped; one right
after "<!-- needs sshd -->" runs with VORDALIN_SSH_HOST and VORDALIN_SSH_OPTIONS naming the
suite's own ssh server, and is skipped where none can start.
"""

import ast
import builtins
import io
import re
import shutil
import subprocess
import tokenize
import warnings
from pathlib import Path

import pytest

import sshd
import vordalin
from helpers import BASH, REAL_TMUX, needs_tmux

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^(?:(<!-- not run -->\n)|(<!-- needs sshd -->\n))?```python\n(.*?)^```$", re.M | re.S)
RAISES = re.compile(r"#\s*raises\s+([A-Za-z_][\w.]*)(?::\s*(.*\S))?\s*$")


def python_blocks(text):
    """(line of the block's first statement, its source, whether it runs, whether it needs sshd) for each block."""
    return [(text.count("\n", 0, match.start(3)) + 1, match.group(3), not match.group(1), bool(match.group(2)))
            for match in BLOCK.finditer(text)]


def expected_raises(source):
    """Line number -> (exception name, message start or None), from the "# raises" comments."""
    found = {}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT and (match := RAISES.match(token.string)):
            found[token.start[0]] = match.groups()
    return found


def exception_named(name, namespace):
    for scope in (namespace, vars(vordalin), vars(builtins)):
        try:
            return eval(name, {}, scope)  # noqa: S307 (a name or dotted name from our own README)
        except (NameError, AttributeError):
            continue
    raise AssertionError(f"README names no exception {name!r}")


def run_block(first_line, source, namespace):
    raising = expected_raises(source)
    for statement in ast.parse(source).body:
        raises = raising.get(statement.end_lineno)
        # Numbered as the README's lines, so that a traceback points into it.
        code = compile(ast.increment_lineno(ast.Module([statement], []), first_line - 1), str(README), "exec")
        if raises is None:
            exec(code, namespace)  # noqa: S102
            continue
        name, message = raises
        with pytest.raises(exception_named(name, namespace)) as info:
            exec(code, namespace)  # noqa: S102
        assert message is None or str(info.value).startswith(message), (statement.lineno, info.value)


def test_the_rules_of_the_runner():
    text = ("x\n```python\na = 1\nb()  # raises KeyError: no\n```\n<!-- not run -->\n```python\nboom\n```\n"
            "<!-- needs sshd -->\n```python\nc\n```\n")
    assert python_blocks(text) == [(3, "a = 1\nb()  # raises KeyError: no\n", True, False),
                                   (8, "boom\n", False, False), (12, "c\n", True, True)]
    assert expected_raises("f('# raises X')\ng()  # raises vordalin.NotFoundError\n") == {
        2: ("vordalin.NotFoundError", None)}


@needs_tmux
def test_every_python_block_of_the_readme_runs(monkeypatch, tmp_path, capsys, request):
    # The tour's panes run bash (its last command is read with fc); no channel unless a block opens one.
    monkeypatch.setenv("SHELL", BASH)
    monkeypatch.delenv("VORDALIN_CHANNEL", raising=False)
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks(README.read_text())
    assert len(blocks) > 10, "the README's blocks were not found"
    namespace = {"__name__": "__readme__"}
    try:
        for first_line, source, runs, needs_sshd in blocks:
            if needs_sshd:
                try:
                    ssh = request.getfixturevalue("sshd_server")
                except pytest.skip.Exception as skipped:
                    warnings.warn(f"README line {first_line} not run: {skipped}", stacklevel=1)
                    continue
                monkeypatch.setenv("VORDALIN_SSH_HOST", sshd.HOST)
                monkeypatch.setenv("VORDALIN_SSH_OPTIONS", " ".join(ssh.options))
            if runs:
                run_block(first_line, source, namespace)
    finally:
        if isinstance(socket := namespace.get("socket"), str):
            subprocess.run([REAL_TMUX, "-S", socket, "kill-server"], capture_output=True, timeout=10)
            shutil.rmtree(Path(socket).parent, ignore_errors=True)
    assert "hello from 42" in capsys.readouterr().out
