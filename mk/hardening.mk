# Hardening: the suite under AddressSanitizer and UndefinedBehaviorSanitizer, a leak check
# under valgrind, and a long soak. The sanitizer build gets a venv and build directory of
# its own under build/, so .venv keeps the plain build.
SAN_VENV := build/sanitize-venv
SAN_PY := $(SAN_VENV)/bin/python
SAN_BUILD_FLAGS := -C build-dir=build/sanitize -C cmake.define.VORDALIN_SANITIZE=ON -C cmake.define.VORDALIN_WERROR=ON
# Reports go to files, so that one from any instrumented process of the run is found afterwards.
SAN_REPORTS := $(abspath build/sanitize-reports)
LEAK_ITERATIONS ?= 20
LEAK_LOG := build/leakcheck
SOAK_CALLS ?= 100000

.PHONY: sanitize leakcheck soak

$(SAN_VENV)/.deps: pyproject.toml Makefile
	test -x $(SAN_PY) || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# The interpreter is not instrumented, so it must start with the runtime preloaded, and with
# libstdc++ beside it: ASan finds the real __cxa_throw only in libraries loaded before it starts.
# Only Pythons get it: the line below, put in the sanitizer venv as a .pth file, re-executes
# such a Python with LD_PRELOAD set and then drops the variable, so that tmux, ps and the shells
# start uninstrumented while Pythons the tests start (examples, sub-interpreters) still import
# the module. The interpreter frees little at exit, hence no leak detection here (make leakcheck
# does that). PYTHONMALLOC=malloc lets ASan see every Python object the module touches.
SAN_PTH := import os, sys; preload = os.environ.get("VORDALIN_ASAN_PRELOAD"); \
	preload and "libasan" not in open("/proc/self/maps").read() and os.execve(sys.executable, \
	[sys.executable, *sys.orig_argv[1:]], dict(os.environ, LD_PRELOAD=preload)); \
	preload and os.environ.pop("LD_PRELOAD", None)

sanitize: $(SAN_VENV)/.deps tmux ## the suite under AddressSanitizer and UndefinedBehaviorSanitizer
	$(SAN_PY) -m pip install --no-build-isolation --no-deps -q $(SAN_BUILD_FLAGS) .
	echo '$(SAN_PTH)' > "$$($(SAN_PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/vordalin_sanitize.pth"
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	VORDALIN_ASAN_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0:log_path=$(SAN_REPORTS)/asan \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SAN_REPORTS)/ubsan \
		$(SAN_PY) -m pytest tests -q $(PYTEST_JOBS)
	@if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then cat $(SAN_REPORTS)/*; echo "sanitizer reports above"; exit 1; fi
	@echo "sanitize: no AddressSanitizer or UndefinedBehaviorSanitizer report"

# Only definite and indirect losses count, and only those whose stack passes through the
# module; tools/python.supp hides what the interpreter itself loses.
leakcheck: install tmux ## a leak check under valgrind
	@command -v valgrind >/dev/null 2>&1 || { \
		echo "installing valgrind from Debian's packages"; \
		$(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq valgrind; }
	mkdir -p $(dir $(LEAK_LOG))
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
		--suppressions=tools/python.supp --num-callers=40 --child-silent-after-fork=yes \
		--log-file=$(LEAK_LOG).log --xml=yes --xml-file=$(LEAK_LOG).xml \
		$(PY) tools/leakcheck.py --iterations $(LEAK_ITERATIONS)
	$(PY) tools/leakcheck.py --report $(LEAK_LOG).xml

soak: install tmux ## many mixed calls, watching memory, descriptors and children
	$(PY) tools/soak.py --calls $(SOAK_CALLS)
