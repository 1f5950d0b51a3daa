# Hardening: sanitizer runs, libFuzzer targets, leak/reference soak and
# static analysis (all part of `make test`).
#   make check-sanitize   module + C++ tests with ASan/UBSan; pytest and ctest
#   make fuzz             every libFuzzer target for FUZZ_SECONDS (default 60)
#                         (fuzz-quick: FUZZ_QUICK_SECONDS, as make test runs it)
#   make fuzz-diff        the eight-lane and key-table verification against the
#                         one-signature path on DIFF_LANES lanes per path,
#                         spread over JOBS processes (make test runs a short one)
#   make soak             every public operation in a loop; RSS/refcount bounds
#                         (soak-quick: SOAK_QUICK_SCALE, as make test runs it)
#   make lint             clang-tidy 19 (files unchanged since they passed are
#                         skipped) and cppcheck over the compile database;
#                         no function that nothing calls
#   make check-tsan-ft    the thread stress test under ThreadSanitizer on the
#                         free-threaded CPython (tools/cpython_builds.py, or
#                         PYTHON_FT=...), without its lock
#   make coverage         line coverage of crates/*/src by the C++ and Python
#                         suites (gcov, -O0), summed per crate

SAN_BUILD := build/sanitize
FUZZ_BUILD := build/fuzz
TIDY_BUILD := build/tidy
FUZZ_DIRS := crates/primitives/fuzz crates/signed_envelope/fuzz
FUZZ_SECONDS ?= 60
# The short runs inside `make test`.
FUZZ_QUICK_SECONDS ?= 10
DIFF_LANES ?= 100000000
DIFF_QUICK_LANES ?= 100000
SOAK_SCALE ?= 1
SOAK_QUICK_SCALE ?= 0.05
CLANGXX := clang++-19
CLANG_TIDY := clang-tidy-19

.PHONY: check-sanitize sanitize-build check-tsan-ft fuzz fuzz-build fuzz-run fuzz-replay fuzz-quick fuzz-diff soak \
        soak-quick lint lint-tidy lint-cppcheck lint-unused tidy-configure

# --- Sanitizers ------------------------------------------------------------

# The interpreter is not instrumented, so the ASan runtime is preloaded; with
# PYTHONMALLOC=malloc every Python allocation goes through it. The C++
# runtime is preloaded beside it: ASan resolves __cxa_throw when it starts,
# and an interpreter that does not link libstdc++ would leave its throw
# interceptor with nothing to call. Leak checking stays on:
# tools/lsan-python.supp names only the interpreter's allocators.
SAN_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)
SAN_ASAN_OPTIONS := detect_leaks=1:abort_on_error=1:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1
SAN_UBSAN_OPTIONS := print_stacktrace=1:halt_on_error=1

sanitize-build: deps venv
	@$(VENV)/bin/cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DULO_BUILD_PYTHON=ON -DULO_BUILD_TESTS=ON -DULO_WERROR=ON -DULO_SANITIZE=address,undefined \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	@$(VENV)/bin/cmake --build $(SAN_BUILD) -j$(JOBS)

check-sanitize: sanitize-build
	@ASAN_OPTIONS=$(SAN_ASAN_OPTIONS) UBSAN_OPTIONS=$(SAN_UBSAN_OPTIONS) \
	  $(VENV)/bin/ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)
	@ASAN_OPTIONS=$(SAN_ASAN_OPTIONS) LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan-python.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=$(SAN_UBSAN_OPTIONS) PYTHONMALLOC=malloc LD_PRELOAD="$(SAN_RUNTIME)" \
	  PYTHONPATH=$(CURDIR)/$(SAN_BUILD) $(PY) -m pytest -p no:cacheprovider tests

# The free-threaded CPython is the one tools/cpython_builds.py makes, unless
# PYTHON_FT names another. The module is built with ThreadSanitizer against it; the interpreter is
# not instrumented, so the runtime is preloaded, and
# tools/tsan-free-threaded.supp (documented) lists the synchronisation the
# sanitizer cannot see there. Any report fails the run (exit status 66).
TSAN_BUILD := build/tsan-ft
TSAN_VENV := build/venv-ft

check-tsan-ft: deps venv
	@py="$(PYTHON_FT)"; [ -n "$$py" ] || py=$$($(PY) -m tools.cpython_builds $(ULO_CACHE) 3.13t | tail -n 1) \
	  && { test -x $(TSAN_VENV)/bin/python || $$py -m venv $(TSAN_VENV); }
	@$(TSAN_VENV)/bin/python -m pip install -q -r requirements-test.txt
	@$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DULO_BUILD_PYTHON=ON -DULO_WERROR=ON -DULO_SANITIZE=thread \
	  -DPython_EXECUTABLE=$(CURDIR)/$(TSAN_VENV)/bin/python >/dev/null
	@$(VENV)/bin/cmake --build $(TSAN_BUILD) -j$(JOBS)
	@TSAN_OPTIONS=suppressions=$(CURDIR)/tools/tsan-free-threaded.supp PYTHON_GIL=0 \
	  LD_PRELOAD=$(shell gcc -print-file-name=libtsan.so) PYTHONPATH=$(CURDIR)/$(TSAN_BUILD) \
	  $(TSAN_VENV)/bin/python -m pytest -p no:cacheprovider tests/test_threads.py

# --- Coverage --------------------------------------------------------------

# Both suites, as `make check` runs them (the portable verification path
# too), against one -O0 --coverage build; counters are zeroed first so that
# a rerun measures only itself. The module is also installed into .venv, for
# the tests that run the console script or a bare interpreter. The report
# comes even when a suite failed (an -O0 build is slow for the timing tests
# on a loaded machine); the failure still fails the target. Counters are
# updated atomically: the pool's threads run the same lines at once, and
# racing plain counters can wrap negative, which hides lines that ran.
# Not part of `make test`.
COV_BUILD := build/cov
COV_CRATES := $(notdir $(wildcard crates/*))

.PHONY: coverage
coverage: deps venv build
	@$(VENV)/bin/cmake -S . -B $(COV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-O0 --coverage -fprofile-update=atomic" -DULO_BUILD_PYTHON=ON \
	  -DULO_BUILD_TESTS=ON -DULO_WERROR=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	@$(VENV)/bin/cmake --build $(COV_BUILD) -j$(JOBS)
	@find $(COV_BUILD) -name '*.gcda' -delete
	@status=0; \
	  $(VENV)/bin/ctest --test-dir $(COV_BUILD) --output-on-failure -j$(JOBS) || status=1; \
	  $(VERIFY_PORTABLE) $(VENV)/bin/ctest --test-dir $(COV_BUILD) --output-on-failure -j$(JOBS) \
	    -R '$(VERIFY_CPP_TESTS)' || status=1; \
	  PYTHONPATH=$(CURDIR)/$(COV_BUILD) $(PY) -m pytest -p no:cacheprovider -q tests || status=1; \
	  PYTHONPATH=$(CURDIR)/$(COV_BUILD) $(VERIFY_PORTABLE) $(PY) -m pytest -p no:cacheprovider -q \
	    $(VERIFY_PY_TESTS) || status=1; \
	  for c in $(COV_CRATES); do \
	    printf '%s: ' $$c; \
	    $(VENV)/bin/gcovr --root . --filter "crates/$$c/src/" --print-summary -o $(COV_BUILD)/coverage-$$c.txt \
	      $(COV_BUILD) | grep '^lines'; \
	  done; \
	  exit $$status

# --- Fuzzing ---------------------------------------------------------------

# The core libraries are built with coverage instrumentation, ASan and UBSan;
# each crate's fuzz/ directory holds its targets and their regressions.
FUZZ_SRC = $(wildcard $(addsuffix /*_fuzz.cpp,$(FUZZ_DIRS)))

fuzz-build: deps venv
	@$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=$(CLANGXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULO_BUILD_PYTHON=OFF -DULO_BUILD_FUZZ=ON >/dev/null
	@$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j$(JOBS) >$(FUZZ_BUILD)/build.log 2>&1 \
	  || { grep -E -B2 -A8 'error|warning' $(FUZZ_BUILD)/build.log | head -80; exit 1; }
	@rm -rf $(FUZZ_BUILD)/seeds && $(PY) tools/make_fuzz_seeds.py tests/data $(FUZZ_BUILD)/seeds

# Each regression input, and each seed, once through its target.
fuzz-replay: fuzz-build
	@for src in $(FUZZ_SRC); do \
	  t=$$(basename $$src .cpp); \
	  files=$$(ls -d $$(dirname $$src)/regressions/$$t/* $(FUZZ_BUILD)/seeds/$$t/* 2>/dev/null); \
	  [ -z "$$files" ] && continue; \
	  echo "replay $$t: $$(echo "$$files" | wc -l) inputs"; \
	  $$(find $(FUZZ_BUILD) -type f -name $$t -perm -u+x | head -1) -runs=0 $$files >$(FUZZ_BUILD)/$$t.replay.log 2>&1 \
	    || { tail -40 $(FUZZ_BUILD)/$$t.replay.log; exit 1; }; \
	done

# Runs every target for FUZZ_SECONDS on a corpus kept in build/fuzz/corpus;
# a crash leaves its input in build/fuzz/artifacts.
fuzz-run: fuzz-replay
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for src in $(FUZZ_SRC); do \
	  t=$$(basename $$src .cpp); \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds/$$t; \
	  $$(find $(FUZZ_BUILD) -type f -name $$t -perm -u+x | head -1) -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 -max_len=4096 -artifact_prefix=$(CURDIR)/$(FUZZ_BUILD)/artifacts/$$t- \
	    $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds/$$t >$(FUZZ_BUILD)/$$t.log 2>&1 \
	    || { tail -60 $(FUZZ_BUILD)/$$t.log; echo "fuzz target $$t failed"; exit 1; }; \
	  echo "$$t: $$(grep -o 'stat::number_of_executed_units: *[0-9]*' $(FUZZ_BUILD)/$$t.log | grep -o '[0-9]*$$') executions in $(FUZZ_SECONDS)s"; \
	done

fuzz: fuzz-run

fuzz-quick: FUZZ_SECONDS = $(FUZZ_QUICK_SECONDS)
fuzz-quick: fuzz-run

# Each process its own seed and share of the lanes; any disagreement aborts.
fuzz-diff: deps venv
	@$(CPP_CONFIGURE)
	@$(VENV)/bin/cmake --build $(CPP_BUILD) -j$(JOBS) --target verify_wide_diff
	@pids=; for i in $$(seq $(JOBS)); do \
	  $(CPP_BUILD)/verify_wide_diff $$(( ($(DIFF_LANES) + $(JOBS) - 1) / $(JOBS) )) $$i & pids="$$pids $$!"; \
	done; for p in $$pids; do wait $$p || exit 1; done

# --- Soak ------------------------------------------------------------------

# SOAK_SCALE=1 runs a few hundred thousand calls of every operation.
soak: build
	@set -o pipefail; SOAK_SCALE=$(SOAK_SCALE) $(PY) -m pytest -p no:cacheprovider -v -s tests/soak/soak_*.py | grep -E 'calls|passed|failed|Error'

soak-quick: SOAK_SCALE = $(SOAK_QUICK_SCALE)
soak-quick: soak

# --- Static analysis -------------------------------------------------------

# The compile database of a configure-only tree holding every target,
# configured afresh each time so that added or removed files are seen.
tidy-configure: deps venv
	@$(VENV)/bin/cmake -S . -B $(TIDY_BUILD) -G Ninja -DULO_BUILD_PYTHON=ON -DULO_BUILD_TESTS=ON \
	  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null

LINT_SRC = $(wildcard crates/*/src/*.cpp bindings/python/ulo-protocol-py/src/*.cpp)

lint-tidy: tidy-configure
	@$(PY) -m tools.tidy_cache --build $(TIDY_BUILD) --jobs $(JOBS) --clang-tidy $(CLANG_TIDY) $(LINT_SRC)

# Only the library and binding sources: the test files' GoogleTest macros
# are not worth cppcheck's time.
lint-cppcheck: tidy-configure
	@mkdir -p $(TIDY_BUILD)/cppcheck
	@cppcheck --project=$(TIDY_BUILD)/compile_commands.json --std=c++23 --quiet \
	  --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
	  --suppressions-list=tools/cppcheck.supp --cppcheck-build-dir=$(TIDY_BUILD)/cppcheck \
	  -j $(JOBS) $(foreach d,$(wildcard crates/*/tests),-i $(d))

# Functions that nothing calls: cppcheck's whole-program unusedFunction over
# the libraries, the binding and all that calls them (tests, fuzz targets,
# the micro-benchmark), in one single-threaded run, as the check needs every
# file at once. It covers functions and members defined in source files; the
# entry points called from outside are listed in tools/cppcheck.supp.
# Functions in anonymous namespaces are the compiler's (-Wunused-function);
# templates and functions defined in headers are not checked.
UNUSED_SRC = $(wildcard crates/*/src/*.cpp crates/*/tests/*.cpp crates/*/fuzz/*.cpp \
               benchmarks/cpp/*.cpp bindings/python/ulo-protocol-py/src/*.cpp)
UNUSED_INCLUDES = $(addprefix -I,$(wildcard crates/*/src) bindings/python/ulo-protocol-py/src)

lint-unused: deps
	@cppcheck --std=c++23 --quiet --enable=unusedFunction --library=googletest --inline-suppr \
	  --suppressions-list=tools/cppcheck.supp --error-exitcode=1 $(UNUSED_INCLUDES) $(UNUSED_SRC)

lint: lint-tidy lint-cppcheck lint-unused
