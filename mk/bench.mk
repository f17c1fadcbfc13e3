# `make bench`: vordalin against the limit, subprocess.run and libtmux (see bench/__init__.py:
# the package bench/, run as `python -m bench` from the checkout's root, a module per family
# of rows in bench/families/).
# Never run by the tests or CI. libtmux and matplotlib live only in a venv of the benchmark's
# own under build/, next to a vordalin wheel built from this checkout with the same flags
# as `make install`; neither the module nor the test environment ever depends on them.
BENCH_DIR := build/bench
BENCH_VENV := $(BENCH_DIR)/venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_DEPS := libtmux==0.62.0 matplotlib
BENCH_CFLAGS := -O2 -Wall -Wextra
# Extra arguments for the driver, e.g. BENCH_ARGS="--scale 0.25" for a quick look, or
# BENCH_ARGS="--only dashboard_50,dashboard_500" for the dashboards alone (printed, no report).
# --only takes row keys, check keys and family names. A row over the channel is its row's key
# + "_connected"; memory, server_rss and placement name the checks of a full capture's memory,
# of the tmux server's memory and of where small calls spend their time; operations, memory,
# dashboard, channel, server_rss and placement name the families, each all its rows and
# checks. A run writes the report only when the memory check runs (capture_full brings it
# along), and prints what it measured otherwise.
BENCH_ARGS ?=

.PHONY: bench

bench: $(BENCH_VENV)/.deps $(BENCH_DIR)/limit $(VENV)/.build-deps tmux ## the benchmark against subprocess, libtmux and a C loop
	rm -rf $(BENCH_DIR)/wheel
	$(PY) -m pip wheel --no-build-isolation --no-deps -q $(BUILD_FLAGS) -w $(BENCH_DIR)/wheel .
	$(BENCH_PY) -m pip install -q --no-deps --force-reinstall $(BENCH_DIR)/wheel/vordalin-*.whl
	$(BENCH_PY) -m bench --limit $(BENCH_DIR)/limit --out bench $(BENCH_ARGS)

$(BENCH_VENV)/.deps: mk/bench.mk
	test -x $(BENCH_PY) || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q $(BENCH_DEPS)
	touch $@

$(BENCH_DIR)/limit: bench/limit.c
	mkdir -p $(BENCH_DIR)
	$(CC) $(BENCH_CFLAGS) -o $@ bench/limit.c
