# Distribution checks: `make check-dist` builds the wheel and the sdist the way a user
# would, and checks what they install, in fresh venvs, from outside the source tree:
#   - `pip wheel .` gives exactly one cp310-abi3 wheel, and abi3audit finds no violation;
#   - the sdist builds, and installs like the wheel;
#   - in each install, mypy's stubtest matches the stubs against the module, and
#     mypy --strict accepts the examples, which fails when the stubs are not found.
# Nothing here becomes a dependency of the module; the tools live in the check's venvs.

DIST_DIR := build/dist-check
DIST_TOOLS := $(MYPY) abi3audit==0.0.26 build==1.6.1
# The oldest Python the abi3 wheel serves: python3.10 on PATH or from pyenv, else
# $(PYTHON). Looked up when the recipe runs, so other targets pay nothing for it.
DIST_PYTHON ?= $$(python3.10 -c 'import sys; print(sys.executable)' 2>/dev/null || \
	{ p=$$(pyenv prefix 3.10 2>/dev/null) && echo "$$p/bin/python3.10"; } || echo $(PYTHON))

.PHONY: check-dist

# $(1): a venv holding an install of vordalin and the tools. The scratch directory keeps
# anything in the source tree from standing in for what was installed.
define dist_typecheck
	scratch=$$(mktemp -d) && trap 'rm -rf "$$scratch"' EXIT && cd "$$scratch" && \
	$(CURDIR)/$(1)/bin/python -m mypy.stubtest vordalin && \
	$(CURDIR)/$(1)/bin/python -m mypy --strict $(CURDIR)/examples
endef

check-dist:
	rm -rf $(DIST_DIR) && mkdir -p $(DIST_DIR)
	$(DIST_PYTHON) -m venv $(DIST_DIR)/wheel-venv
	$(DIST_DIR)/wheel-venv/bin/python --version
	$(DIST_DIR)/wheel-venv/bin/pip install -q $(DIST_TOOLS)
	$(DIST_DIR)/wheel-venv/bin/pip wheel --no-deps -q -w $(DIST_DIR)/wheel .
	@set -- $(DIST_DIR)/wheel/*; \
	if [ $$# -ne 1 ]; then echo "expected one wheel, found: $$*"; exit 1; fi; \
	case "$${1##*/}" in vordalin-*-cp310-abi3-*.whl) echo "one wheel: $${1##*/}";; \
	*) echo "not a cp310-abi3 wheel: $$1"; exit 1;; esac
	$(DIST_DIR)/wheel-venv/bin/abi3audit --strict --summary --verbose $(DIST_DIR)/wheel/*.whl
	$(DIST_DIR)/wheel-venv/bin/pip install -q $(DIST_DIR)/wheel/*.whl
	$(call dist_typecheck,$(DIST_DIR)/wheel-venv)
	$(DIST_DIR)/wheel-venv/bin/python -m build --sdist --outdir $(DIST_DIR)/sdist .
	$(DIST_PYTHON) -m venv $(DIST_DIR)/sdist-venv
	$(DIST_DIR)/sdist-venv/bin/pip install -q $(MYPY) $(DIST_DIR)/sdist/vordalin-*.tar.gz
	$(call dist_typecheck,$(DIST_DIR)/sdist-venv)
	@echo "check-dist: wheel, abi3audit, sdist, stubtest and mypy --strict all passed"
