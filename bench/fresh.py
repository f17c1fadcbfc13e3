"""A function of the benchmark called in a fresh Python process, for figures this process
would spoil (what a library's import and calls leave resident):

    python -m bench.fresh MODULE FUNCTION KEYWORDS-AS-JSON

prints what the function returned, as JSON."""

import importlib
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def call(function, **keywords):
    """function(**keywords) in a fresh process; it returns, and takes, what JSON can hold."""
    done = subprocess.run(
        [sys.executable, "-m", "bench.fresh", function.__module__, function.__qualname__, json.dumps(keywords)],
        cwd=ROOT,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        check=True,
        text=True,
    )
    return json.loads(done.stdout)


def main():
    module, name, keywords = sys.argv[1:]
    function = getattr(importlib.import_module(module), name)
    print(json.dumps(function(**json.loads(keywords))))


if __name__ == "__main__":
    main()
