"""The make targets a user expects: a help line for every target, pytest arguments, a lean demo."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")


def make(*args):
    done = subprocess.run(["make", "--no-print-directory", "-C", str(ROOT), *args], capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    return done.stdout


def declared_targets():
    targets = []
    for path in [ROOT / "Makefile", *sorted((ROOT / "mk").glob("*.mk"))]:
        for line in path.read_text().splitlines():
            if line.startswith(".PHONY:"):
                targets += line.split(":", 1)[1].split()
    return targets


def test_help_has_one_line_for_every_target():
    listed = [line.split()[0] for line in make("help").splitlines()]
    assert sorted(listed) == sorted(declared_targets()) and len(set(listed)) == len(listed)


def test_args_reach_pytest():
    # -B: every step is shown, made or not; -n: nothing runs.
    assert re.search(r"-m pytest tests -q -n \d+ -k 'x or y' -x$", make("-n", "-B", "test", "ARGS=-k 'x or y' -x"), re.M)


def test_the_demo_installs_only_what_it_needs():
    steps = make("-n", "-B", "demo")
    assert "examples/tour.py" in steps and "scikit-build-core" in steps
    assert not re.search(r"\b(pytest|hypothesis|numpy|mypy)\b", steps), steps
