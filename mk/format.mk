# The C++ house style (.clang-format) applied by a pinned clang-format from PyPI, in a venv of
# its own. `make format` rewrites the sources in place; `make format-check` (CI) changes
# nothing and fails on any file that `make format` would change.
FORMAT_VENV := build/format-venv
CLANG_FORMAT := $(FORMAT_VENV)/bin/clang-format
FORMAT_FILES = $(shell find src -name '*.cpp' -o -name '*.hpp')

.PHONY: format format-check

$(FORMAT_VENV)/.deps: mk/format.mk
	test -x $(FORMAT_VENV)/bin/python || $(PYTHON) -m venv $(FORMAT_VENV)
	$(FORMAT_VENV)/bin/pip install -q clang-format==21.1.8
	touch $@

format: $(FORMAT_VENV)/.deps ## rewrite the C++ sources in the house style (clang-format)
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check: $(FORMAT_VENV)/.deps ## fail on any C++ file that make format would change
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)
