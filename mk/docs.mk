# `make docs`: the HTML API reference, built from the stubs' docstrings into build/docs/html
# by tools/docs.py: one page per class, and the README's errors table.
#
# MkDocs with mkdocstrings' Python handler, because it reads the stubs as source: its parser
# (griffe) takes vordalin-stubs/__init__.pyi as it is, nothing is imported and the module need
# not even be built. That is what the classes need, since all but Server exist for type
# checkers only. pdoc and Sphinx's autodoc import the module, whose only class is Server;
# Sphinx with AutoAPI parses stubs too, but brings a heavier stack for the same pages. The
# tools live in a venv of their own under build/, and --strict fails the build on a warning.
DOCS_VENV := build/docs-venv
DOCS_DEPS := mkdocs==1.6.1 mkdocstrings==1.0.8 mkdocstrings-python==2.0.11
DOCS_DIR := build/docs

.PHONY: docs

$(DOCS_VENV)/.deps: mk/docs.mk
	test -x $(DOCS_VENV)/bin/python || $(PYTHON) -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/pip install -q $(DOCS_DEPS)
	touch $@

docs: $(DOCS_VENV)/.deps ## the HTML API reference from the stubs' docstrings, into build/docs/html
	$(DOCS_VENV)/bin/python tools/docs.py --out $(DOCS_DIR)
