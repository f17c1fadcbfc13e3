# Set-up and everyday commands. Every target creates .venv and installs what it needs.
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

.PHONY: demo test test-channel install tmux clean

demo: install tmux
	$(PY) examples/tour.py

test: install tmux
	$(PY) -m pytest tests -q

# The tests that drive real tmux servers, again with every call over the persistent channel.
test-channel: install tmux
	VORDALIN_CHANNEL=1 $(PY) -m pytest tests -q -m real

# Builds and installs the module into .venv; needs no root and no tmux.
install: $(VENV)/.deps
	$(PY) -m pip install --no-build-isolation --no-deps -q $(BUILD_FLAGS) .

$(VENV)/.deps: pyproject.toml Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# The only step that may ask for root, and only when tmux is missing.
tmux:
	@command -v tmux >/dev/null 2>&1 || { \
		echo "installing tmux from Debian's packages"; \
		$(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq tmux; }

clean:
	rm -rf build dist $(VENV)

# Targets beyond demo and test (bench, sanitize, leakcheck, soak, dist) live in
# mk/, one file per concern, and reuse the variables and targets above.
include $(wildcard mk/*.mk)
