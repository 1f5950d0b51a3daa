# Hardening: sanitizer runs, libFuzzer targets, leak/reference soak and
# static analysis. Included at the end of the Makefile.
#
#   make check-sanitize   module + C++ tests with ASan/UBSan; pytest and ctest
#   make fuzz             every libFuzzer target for FUZZ_SECONDS (default 60)
#   make soak             every public operation in a loop; RSS/refcount bounds
#   make lint             clang-tidy and cppcheck over the compile database
#   make hardening-test   lint, the sanitizer run and the short fuzz and
#                         soak runs (part of `make test`; the whole of
#                         `make test` takes about 4 minutes on two cores)

# Tools the targets below need on top of the main build's packages.
HARDENING_DEB_PACKAGES := clang libclang-rt-14-dev clang-tidy cppcheck nlohmann-json3-dev

SAN_BUILD := build/sanitize
FUZZ_BUILD := build/fuzz
TIDY_BUILD := build/tidy
CLANG_SHIM := build/clang-shim
FUZZ_DIR := crates/primitives/fuzz
FUZZ_SECONDS ?= 60
# The short fuzz run inside `make test`.
FUZZ_QUICK_SECONDS ?= 10
SOAK_SCALE ?= 1
SOAK_QUICK_SCALE ?= 0.05

.PHONY: hardening-deps check-sanitize sanitize-build fuzz fuzz-build fuzz-run \
        fuzz-replay soak lint lint-tidy lint-cppcheck tidy-configure hardening-test

hardening-deps: $(STAMPS)/hardening-deps
$(STAMPS)/hardening-deps: | $(STAMPS)
	@missing=$$(for p in $(HARDENING_DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@touch $@

# --- Sanitizers ------------------------------------------------------------

# The interpreter is not instrumented, so the ASan runtime is preloaded; with
# PYTHONMALLOC=malloc every Python allocation goes through it. Leak checking
# stays on: tools/lsan-python.supp names only the interpreter's allocators.
SAN_RUNTIME = $(shell gcc -print-file-name=libasan.so)
SAN_ASAN_OPTIONS := detect_leaks=1:abort_on_error=1:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1
SAN_UBSAN_OPTIONS := print_stacktrace=1:halt_on_error=1

sanitize-build: deps hardening-deps venv
	@$(VENV)/bin/cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DULO_BUILD_PYTHON=ON -DULO_BUILD_TESTS=ON -DULO_WERROR=ON -DULO_SANITIZE=address,undefined \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	@$(VENV)/bin/cmake --build $(SAN_BUILD) -j$(JOBS)

check-sanitize: sanitize-build
	@ASAN_OPTIONS=$(SAN_ASAN_OPTIONS) UBSAN_OPTIONS=$(SAN_UBSAN_OPTIONS) \
	  $(VENV)/bin/ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)
	@ASAN_OPTIONS=$(SAN_ASAN_OPTIONS) LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan-python.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=$(SAN_UBSAN_OPTIONS) PYTHONMALLOC=malloc LD_PRELOAD=$(SAN_RUNTIME) \
	  PYTHONPATH=$(CURDIR)/$(SAN_BUILD) $(PY) -m pytest -p no:cacheprovider tests

# --- Fuzzing ---------------------------------------------------------------

FUZZ_TARGETS = $(notdir $(basename $(wildcard $(FUZZ_DIR)/*_fuzz.cpp)))

fuzz-build: deps hardening-deps venv
	@tools/clang14-expected-shim.sh $(CLANG_SHIM)
	@$(VENV)/bin/cmake -S $(FUZZ_DIR) -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DULO_CLANG_SHIM=$(CURDIR)/$(CLANG_SHIM) >/dev/null
	@$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j$(JOBS) >$(FUZZ_BUILD)/build.log 2>&1 \
	  || { grep -E -B2 -A8 'error|warning' $(FUZZ_BUILD)/build.log | head -80; exit 1; }
	@rm -rf $(FUZZ_BUILD)/seeds && $(PYTHON) $(FUZZ_DIR)/make_seeds.py tests/data $(FUZZ_BUILD)/seeds

# Each regression input, and each seed, once through its target.
fuzz-replay: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  files=$$(ls -d $(FUZZ_DIR)/regressions/$$t/* $(FUZZ_BUILD)/seeds/$$t/* 2>/dev/null); \
	  [ -z "$$files" ] && continue; \
	  echo "replay $$t: $$(echo "$$files" | wc -l) inputs"; \
	  $(FUZZ_BUILD)/$$t -runs=0 $$files >$(FUZZ_BUILD)/$$t.replay.log 2>&1 \
	    || { tail -40 $(FUZZ_BUILD)/$$t.replay.log; exit 1; }; \
	done

# Runs every target for FUZZ_SECONDS on a corpus kept in build/fuzz/corpus;
# a crash leaves its input in build/fuzz/artifacts.
fuzz-run: fuzz-replay
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -max_len=4096 \
	    -artifact_prefix=$(CURDIR)/$(FUZZ_BUILD)/artifacts/$$t- \
	    $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds/$$t >$(FUZZ_BUILD)/$$t.log 2>&1 \
	    || { tail -60 $(FUZZ_BUILD)/$$t.log; echo "fuzz target $$t failed"; exit 1; }; \
	  echo "$$t: $$(grep -o 'stat::number_of_executed_units: *[0-9]*' $(FUZZ_BUILD)/$$t.log | grep -o '[0-9]*$$') executions in $(FUZZ_SECONDS)s"; \
	done

fuzz: fuzz-run

# --- Soak ------------------------------------------------------------------

# SOAK_SCALE=1 runs a few hundred thousand calls of every operation.
soak: build
	@set -o pipefail; SOAK_SCALE=$(SOAK_SCALE) $(PY) -m pytest -p no:cacheprovider -v -s tests/soak/soak_*.py | grep -E 'calls|passed|failed|Error'

# --- Static analysis -------------------------------------------------------

# The compile database of a configure-only tree holding every target,
# configured afresh each time so that added or removed files are seen.
tidy-configure: deps hardening-deps venv
	@$(VENV)/bin/cmake -S . -B $(TIDY_BUILD) -G Ninja -DULO_BUILD_PYTHON=ON -DULO_BUILD_TESTS=ON \
	  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null

LINT_SRC = $(wildcard crates/*/src/*.cpp bindings/python/ulo-protocol-py/src/*.cpp)

lint-tidy: tidy-configure
	@tools/clang14-expected-shim.sh $(CLANG_SHIM)
	@run-clang-tidy -p $(TIDY_BUILD) -j $(JOBS) -quiet -extra-arg=-std=c++2b \
	  -extra-arg=-isystem$(CURDIR)/$(CLANG_SHIM) -extra-arg=-D__cpp_concepts=202002L \
	  -extra-arg=-Wno-macro-redefined -extra-arg=-Wno-unknown-warning-option $(LINT_SRC) \
	  >$(TIDY_BUILD)/clang-tidy.log 2>&1 || { grep -E -A3 '(warning|error):' $(TIDY_BUILD)/clang-tidy.log; exit 1; }

lint-cppcheck: tidy-configure
	@mkdir -p $(TIDY_BUILD)/cppcheck
	@cppcheck --project=$(TIDY_BUILD)/compile_commands.json --std=c++20 --quiet \
	  --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
	  --suppressions-list=tools/cppcheck.supp --cppcheck-build-dir=$(TIDY_BUILD)/cppcheck \
	  -j $(JOBS) -i crates/primitives/tests -i crates/signed_envelope/tests \
	  -i bindings/python/ulo-protocol-py/tests

lint: lint-tidy lint-cppcheck

# --- Inside `make test` ----------------------------------------------------

hardening-test: lint check-sanitize
	@$(MAKE) --no-print-directory fuzz-run FUZZ_SECONDS=$(FUZZ_QUICK_SECONDS)
	@$(MAKE) --no-print-directory soak SOAK_SCALE=$(SOAK_QUICK_SCALE)

test: hardening-test
