# Set-up and everyday commands. Every target creates .venv and installs what it needs, and
# no more: the demo needs only the build tools, the tests and checks add their own.
# `make help` lists every target: the "##" comment on a target's line is its entry there.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.11" "cmake>=3.26" ninja
# mypy checks code against the stubs; the pin keeps its verdicts stable.
MYPY := mypy==2.4.1
TEST_DEPS := pytest pytest-xdist numpy hypothesis $(MYPY)
# A persistent build directory keeps rebuilds incremental.
BUILD_FLAGS := -C build-dir=build/release -C cmake.define.VORDALIN_WERROR=ON
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
# Extra pytest arguments for `make test`, e.g. ARGS="-k channel -x".
ARGS ?=
# The suites run on JOBS pytest-xdist workers, each with tmux servers of its own. A test spends
# most of its time waiting on tmux, so more workers than cores pays; JOBS=0 runs one process.
JOBS ?= 4
PYTEST_JOBS := -n $(JOBS)
# What `make typecheck` checks: the examples, and a probe that uses every part of the API.
TYPECHECKED := examples tests/typed_probe.py

.PHONY: help demo test test-channel typecheck install tmux clean

help: ## list every target, one line each
	@awk 'match($$0, /^[a-z][a-z-]*:.*## /) { split($$0, part, ":.*## "); printf "  %-13s %s\n", part[1], part[2] }' \
		$(MAKEFILE_LIST)

demo: install tmux ## build the module and run examples/tour.py on a private tmux server
	$(PY) examples/tour.py

test: install tmux $(VENV)/.test-deps ## run the whole test suite (pytest arguments in ARGS="...")
	$(PY) -m pytest tests -q $(PYTEST_JOBS) $(ARGS)

# The tests that drive real tmux servers, again with every call over the persistent channel:
# once as they are, and once more under a configuration that keeps tmux busy around every
# command (hooks, alerts, renames) without changing any result.
NOISY_CONFIG := tests/noisy.tmux.conf
test-channel: install tmux $(VENV)/.test-deps ## run the real-tmux tests again over the persistent channel, plain and noisy
	VORDALIN_CHANNEL=1 $(PY) -m pytest tests -q $(PYTEST_JOBS) -m real $(ARGS)
	VORDALIN_CHANNEL=1 $(PY) -m pytest tests -q $(PYTEST_JOBS) -m real -o vordalin_config=$(NOISY_CONFIG) $(ARGS)

typecheck: install $(VENV)/.test-deps ## stubtest, and mypy --strict over the examples and a typed probe
	$(PY) -m mypy.stubtest vordalin
	$(PY) -m mypy --strict $(TYPECHECKED)

# Builds and installs the module into .venv; needs no root and no tmux.
install: $(VENV)/.build-deps ## build the module into .venv (no root, no tmux needed)
	$(PY) -m pip install --no-build-isolation --no-deps -q $(BUILD_FLAGS) .

$(VENV)/.build-deps: pyproject.toml Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS)
	touch $@

$(VENV)/.test-deps: $(VENV)/.build-deps
	$(PY) -m pip install -q $(TEST_DEPS)
	touch $@

# The only step that may ask for root, and only when tmux is missing.
tmux: ## install tmux from Debian's packages if it is missing
	@command -v tmux >/dev/null 2>&1 || { \
		echo "installing tmux from Debian's packages"; \
		$(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq tmux; }

clean: ## remove every build, venv and distribution file
	rm -rf build dist $(VENV)

# Targets beyond these (docs, bench, sanitize, leakcheck, soak, dist, format) live in mk/,
# one file per concern, and reuse the variables and targets above.
include $(wildcard mk/*.mk)
