"""The installed stubs are precise enough for mypy to refuse a missing None check."""

from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api", reason="mypy is not installed")

OPTIONAL_TEXT = ("pane.capture()", "pane.current_command", "pane.current_commandline")


def strict_mypy(source, cache):
    out, err, status = mypy_api.run(["--strict", "--cache-dir", str(cache), "-c", source])
    return status, out + err


def test_optional_text_needs_a_none_check(tmp_path):
    uses = "".join(f"    {expression}.strip()\n" for expression in OPTIONAL_TEXT)
    status, report = strict_mypy(f"import vordalin\ndef use(pane: vordalin.Pane) -> None:\n{uses}", tmp_path)
    refused = [f'<string>:{line}: error: Item "None" of "str | None" has no attribute "strip"  [union-attr]'
               for line in range(3, 3 + len(OPTIONAL_TEXT))]
    assert (status, report.splitlines()[:-1]) == (1, refused), report
    checked = "".join(f"    if (x{i} := {expression}) is not None:\n        x{i}.strip()\n"
                      for i, expression in enumerate(OPTIONAL_TEXT))
    assert strict_mypy(f"import vordalin\ndef use(pane: vordalin.Pane) -> None:\n{checked}", tmp_path)[0] == 0


TYPED_USE = Path(__file__).resolve().parent / "typed_use.py"


def test_a_script_using_every_new_member_passes_strict_mypy(tmp_path):
    out, err, status = mypy_api.run(["--strict", "--cache-dir", str(tmp_path), str(TYPED_USE)])
    assert status == 0, out + err


def test_option_values_need_narrowing_and_mappings_take_only_their_types(tmp_path):
    source = ("import vordalin\n"
              "def use(session: vordalin.Session) -> None:\n"
              "    limit: int = session.options['history-limit']\n"
              "    session.environment['A'] = 1\n"
              "    session.hooks['after-new-window'] = ['display a']\n")
    status, report = strict_mypy(source, tmp_path)
    assert status == 1 and report.count("error:") == 3, report
