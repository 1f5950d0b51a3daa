# Entry points. Every target installs what it is missing (Debian packages, the
# project-local virtual environment .venv), then builds and runs.
#
#   make check         C++ and Python unit tests: the edit loop
#   make test          everything CI runs, in the order listed in its rule
#   make build         the module, installed into .venv
#   make test-cpp      C++ unit tests
#   make test-py       Python suite against the module in .venv
#   make test-typing   stubtest, mypy --strict and basedpyright
#   make dist          sdist + manylinux2014 x86_64/aarch64 abi3 wheels + SHA256SUMS
#   make test-dist     checks of the wheels, hardening, a two-clone rebuild
#   make test-pythons  the suite on every CPython >= 3.10 found and in the
#                      platform roots (glibc 2.31, arm64, CPython 3.14/3.15)
#   make demo          runs examples/
#   make bench         benchmarks; writes docs/benchmarks.md and .png
#   make deps          the Debian packages (the only recipe that installs them)
#   make clean         removes build/, dist/, .stamps/ and .venv
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
CPP_BUILD := build/cpp
JOBS ?= $(shell nproc)
SUBMAKE = $(MAKE) --no-print-directory

# Every Debian package any target needs: compilers and libraries for the
# module and the C++ tests, clang 19 for the fuzzers and clang-tidy, cppcheck.
DEB_PACKAGES := g++ pkg-config libsodium-dev libgtest-dev nlohmann-json3-dev \
                python3-venv clang-19 clang-tidy-19 libclang-rt-19-dev cppcheck

.PHONY: all help deps venv build check test test-cpp test-py test-typing dist \
        test-dist test-pythons demo bench clean

all: build

help:
	@sed -n '/^# Entry points/,/^SHELL/p' Makefile | sed '$$d'
	@echo
	@sed -n '/^# Hardening:/,/^$$/p' mk/hardening.mk

$(STAMPS):
	@mkdir -p $(STAMPS)

# The one recipe that installs Debian packages.
deps: $(STAMPS)/deps
$(STAMPS)/deps: Makefile | $(STAMPS)
	@missing=$$(for p in $(DEB_PACKAGES) $(RELEASE_DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@touch $@

venv: $(STAMPS)/venv
$(STAMPS)/venv: requirements-dev.txt requirements-build.txt requirements-test.txt | $(STAMPS)
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip
	@$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# Installed into .venv (not editable); scikit-build-core keeps its build tree
# under build/ so rebuilds are incremental.
build: deps venv
	@$(PY) -m pip install -q --no-build-isolation --no-deps .

test-cpp: deps venv
	@$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DULO_BUILD_PYTHON=OFF -DULO_BUILD_TESTS=ON -DULO_WERROR=ON >/dev/null
	@$(VENV)/bin/cmake --build $(CPP_BUILD) -j$(JOBS)
	@$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j$(JOBS)

# pytest exits 5 when it collected nothing; any non-zero status fails here.
test-py: build
	@$(PY) -m pytest -p no:cacheprovider tests

check: test-cpp test-py

# stubtest runs from build/ so that its scratch cache lands there. The usage
# file must pass both checkers; the misuse file must fail both, with exactly
# the errors it lists.
test-typing: build
	@cd build && $(abspath $(PY)) -m mypy.stubtest ulo_protocol
	@$(PY) -m mypy --strict --cache-dir build/mypy-cache \
	  tests/typing/usage.py python/ulo_protocol_cli tools/check_wheel.py tools/run_suites.py
	@$(VENV)/bin/basedpyright --pythonpath $(PY) --level error tests/typing/usage.py >build/basedpyright.log \
	  || { cat build/basedpyright.log; exit 1; }
	@$(PY) tests/typing/check_misuse.py --python $(PY)
	@echo "typing: stubtest, mypy --strict and basedpyright clean; misuse refused by both"

# sdist, the manylinux2014 x86_64 and aarch64 wheels and SHA256SUMS
# (tools/release_build.py: Zig's cross toolchain, libsodium from Debian's
# source package linked in). Builds the working tree as it is; a dirty tree
# is said so in the log and in each wheel's SBOM.
dist: deps venv release-toolchain
	@$(PY) tools/release_build.py --out dist --cache $(ULO_CACHE)

# The wheels as a user receives them, a wheel built from the sdist, the
# binaries' hardening, the checksums, and two rebuilds in temporary clones
# that must give the same bytes (refused on a dirty tree).
test-dist: dist
	@PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) tools/check_wheel.py dist/*.whl --venv build/venv-check \
	  --python $(PYTHON) --sdist dist/*.tar.gz --constraints requirements-build.txt \
	  --smoke tests/typing/usage.py
	@$(PY) tools/check_release.py hardening dist/*.whl
	@$(PY) tools/check_release.py sums dist
	@$(PY) tools/check_release.py preflight
	@$(PY) tools/check_release.py repro --make "VENV=$(abspath $(VENV)) ULO_CACHE=$(ULO_CACHE)"

# The Python suite on every CPython >= 3.10 found, each in a fresh venv
# holding only a wheel from dist/ and requirements-test.txt; then in the
# platform roots (older glibc, arm64 under qemu, the newest CPythons).
test-pythons: build
	@ls dist/*.whl >/dev/null 2>&1 || $(SUBMAKE) dist
	@$(PY) tools/run_suites.py --wheel dist/*.whl --requirements requirements-test.txt \
	  --work build/suites --cache $(ULO_CACHE) --roots $(PLATFORM_ROOTS) tests

include mk/hardening.mk
include mk/release.mk

# The full run CI uses, one step after another.
test: deps venv
	@$(SUBMAKE) test-cpp
	@$(SUBMAKE) test-typing
	@$(SUBMAKE) test-dist
	@$(SUBMAKE) test-pythons
	@$(SUBMAKE) lint
	@$(SUBMAKE) check-sanitize
	@$(SUBMAKE) fuzz-run FUZZ_SECONDS=$(FUZZ_QUICK_SECONDS)
	@$(SUBMAKE) soak SOAK_SCALE=$(SOAK_QUICK_SCALE)

demo: build
	@for f in examples/*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

bench: build
	@$(PY) -m pip install -q -r requirements-bench.txt
	@$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DULO_BUILD_PYTHON=OFF -DULO_BUILD_BENCH=ON >/dev/null
	@$(VENV)/bin/cmake --build build/bench --target ulo_micro_bench >/dev/null
	@$(PY) benchmarks/run.py

clean:
	rm -rf build dist $(STAMPS) $(VENV)
