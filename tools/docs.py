#!/usr/bin/env python3
"""Builds the HTML API reference from the type stubs: one page per class, and the errors table.

`make docs` runs it with MkDocs and mkdocstrings installed. The stubs are read as source
(mkdocstrings' griffe parses them; nothing is imported), so every class is documented, also
those that exist only for type checkers. The errors page is the README's "Errors" section, so
the two never disagree. The site goes to OUT/html; MkDocs' --strict turns any warning into a
failure.
"""

import argparse
import ast
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "vordalin-stubs" / "__init__.pyi"
README = ROOT / "README.md"
ERRORS_HEADING = "## Errors"


def classes(stubs):
    """The classes of the stubs, in the order they are declared."""
    return [node.name for node in ast.parse(stubs.read_text()).body if isinstance(node, ast.ClassDef)]


def errors_section(readme):
    """The README's Errors section, as a page of its own."""
    text = readme.read_text()
    start = text.index(ERRORS_HEADING + "\n")
    end = text.find("\n## ", start + len(ERRORS_HEADING))
    section = text[start:] if end < 0 else text[start:end + 1]
    return "# Errors" + section[len(ERRORS_HEADING):]


def site_config(names):
    nav = "\n".join([f"  - {name}: {name}.md" for name in names] + ["  - Errors: errors.md"])
    return f"""site_name: vordalin API reference
docs_dir: src
site_dir: html
use_directory_urls: false
theme: mkdocs
nav:
  - Overview: index.md
{nav}
plugins:
  - mkdocstrings:
      handlers:
        python:
          paths: [stubs]
          options:
            allow_inspection: false
            show_root_heading: true
            show_source: false
            show_signature_annotations: true
            separate_signature: true
            members_order: source
            show_if_no_docstring: true
            filters: ["!^_[^_]", "!^__(reduce|repr|ne)__$"]
            docstring_style: google
"""


def index_page(names):
    module_doc = ast.get_docstring(ast.parse(STUBS.read_text())) or ""
    links = "\n".join(f"- [{name}]({name}.md)" for name in names)
    return (f"# vordalin\n\n{module_doc}\n\nThe README is the guide; these pages list each class's members as the "
            f"type stubs declare them.\n\n{links}\n- [Errors](errors.md): which member raises what, and when\n")


def write_sources(out):
    names = classes(STUBS)
    src, stubs = out / "src", out / "stubs"
    for directory in (src, stubs):
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
    # A package of stubs alone, as griffe finds one: stubs/vordalin/__init__.pyi.
    (stubs / "vordalin").mkdir()
    shutil.copyfile(STUBS, stubs / "vordalin" / "__init__.pyi")
    (out / "mkdocs.yml").write_text(site_config(names))
    (src / "index.md").write_text(index_page(names))
    for name in names:
        (src / f"{name}.md").write_text(f"# {name}\n\n::: vordalin.{name}\n    options:\n      show_root_heading: false\n")
    (src / "errors.md").write_text(errors_section(README))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "docs")
    out = parser.parse_args().out.resolve()
    write_sources(out)
    done = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--clean", "-q",
                           "-f", str(out / "mkdocs.yml")])
    if done.returncode == 0:
        print(f"docs: {out / 'html' / 'index.html'}")
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())
