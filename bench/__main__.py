"""`python -m bench`, from the checkout's root: see the package's docstring."""

import argparse
from pathlib import Path

import bench
from bench.family import discover
from bench.runner import run


def main():
    families = discover()
    checks = [check.key for family in families for check in family.checks]
    parser = argparse.ArgumentParser(prog="python -m bench", description=bench.__doc__.splitlines()[0])
    parser.add_argument("--limit", required=True, help="the limit program built from limit.c")
    parser.add_argument(
        "--out", default=str(Path(bench.__file__).resolve().parent), help="where results.md and results.png go"
    )
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the repetition counts")
    parser.add_argument(
        "--only",
        help="comma-separated names of what to run: row keys (a row over the channel is its row's key + "
        f"'_connected'), checks ({', '.join(checks)}) and families ({', '.join(f.name for f in families)}); "
        "the report then covers only those, and is written only when the memory check runs (as capture_full "
        "does); any other run prints what it measured",
    )
    parser.add_argument("--keep-samples", help="write every sample to this JSON file")
    run(parser.parse_args())


if __name__ == "__main__":
    main()
