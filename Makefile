# Entry points. Every target installs what it is missing (Debian packages, the
# project-local virtual environment .venv), then builds and runs.
#
#   make check         C++ and Python unit tests: the edit loop
#   make test          before pushing: C++ and Python suites (both verification
#                      paths), typing, lint, sanitizers, a short fuzz and soak,
#                      and the suite on every CPython >= 3.10 here from a wheel
#                      of the development build; independent steps run side by
#                      side (TEST_JOBS, default 2)
#   make release-check before a release, or after touching the build, the
#                      toolchain or platform code: test-dist, then the suite in
#                      the platform roots and the CPythons built here
#                      (.ci/run runs make test, then this)
#   make build         the module as a wheel in build/wheel, installed into .venv
#   make test-cpp      C++ unit tests
#   make test-py       Python suite against the module in .venv
#   make test-portable the verification suites with ULO_VERIFY_PORTABLE=1
#   make test-native   the suite on every CPython >= 3.10 here (pyenv's and the
#                      system's), from the development wheel
#   make test-typing   the stub against the field tables, stubtest, mypy --strict
#                      and basedpyright
#   make stubs         writes the stub's field properties and dict types from the
#                      field tables (after adding or changing a field)
#   make dist          sdist + abi3 wheels (manylinux2014, musllinux_1_2) and
#                      free-threaded cp313t wheels, x86_64 and aarch64 + SHA256SUMS
#   make test-dist     checks of the wheels (tags, imports against the oldest C
#                      library), hardening, a rebuild in a clone
#   make test-platforms the suite from the release wheels in the platform roots
#                      (glibc 2.31, arm64, CPython 3.14/3.15) and in CPythons
#                      built here (musl, free-threaded)
#   make test-pythons  both of the above from the release wheels: every CPython
#                      here, the roots and the CPythons built here
#   make demo          builds the module with the build tools alone; runs examples/
#   make bench         benchmarks; writes docs/benchmarks.md and .png
#                      (BACKLOG=1000000 adds a backlog of that size: minutes)
#   make deps          every Debian package any target needs
#   make deps-build    only those the module's build needs (what demo installs)
#   make clean         removes build/, dist/, .stamps/ and .venv
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
CPP_BUILD := build/cpp
JOBS ?= $(shell nproc)
SUBMAKE = $(MAKE) --no-print-directory

# What building the module needs: the compiler, pkg-config, the headers of
# libsodium and of Debian's Python (a fresh machine has neither), and venv
# for the build environment (CMake and Ninja come from PyPI).
DEB_BUILD_PACKAGES := g++ pkg-config libsodium-dev python3-dev python3-venv
# Every Debian package any target needs: the above, the C++ tests' libraries,
# clang 19 for the fuzzers and clang-tidy, cppcheck, and FUSE with the system
# Python's binding for the power-cut file system of the queue's tests.
DEB_PACKAGES := $(DEB_BUILD_PACKAGES) libgtest-dev nlohmann-json3-dev \
                clang-19 clang-tidy-19 libclang-rt-19-dev cppcheck fuse3 python3-pyfuse3

# Verification has an eight-lane path where the CPU has AVX-512 IFMA; the
# suites that verify run a second time on the portable path as well.
VERIFY_PORTABLE := ULO_VERIFY_PORTABLE=1
VERIFY_CPP_TESTS := Ed25519|Splits
VERIFY_PY_TESTS := tests/test_verify_many.py tests/test_identity.py

.PHONY: all help deps deps-build venv venv-build build check test release-check test-cpp test-py \
        test-portable test-native test-typing stubs cpp-tables dist test-dist test-platforms test-pythons demo bench clean

all: build

help:
	@sed -n '/^# Entry points/,/^SHELL/p' Makefile | sed '$$d'
	@echo
	@sed -n '/^# Hardening:/,/^$$/p' mk/hardening.mk
	@sed -n '/^# Release:/,/^$$/p' mk/release.mk

$(STAMPS):
	@mkdir -p $(STAMPS)

# The one recipe that installs Debian packages: $(1) less what is installed.
define apt_install
@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

deps-build: $(STAMPS)/deps-build
$(STAMPS)/deps-build: Makefile | $(STAMPS)
	$(call apt_install,$(DEB_BUILD_PACKAGES))
	@touch $@

deps: $(STAMPS)/deps
# The release's own packages (mk/release.mk) come with the full set.
$(STAMPS)/deps: $(STAMPS)/deps-build Makefile | $(STAMPS)
	$(call apt_install,$(DEB_PACKAGES) $(RELEASE_DEB_PACKAGES))
	@touch $@

# One .venv: the build tools first (all that demo needs), then the rest of
# the pinned tool set on top of them.
venv-build: $(STAMPS)/venv-build
$(STAMPS)/venv-build: requirements-build.txt | $(STAMPS)
	@echo "installing the build tools into $(VENV): scikit-build-core, CMake, Ninja"
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip
	@$(PY) -m pip install -q -r requirements-build.txt
	@touch $@

venv: $(STAMPS)/venv
$(STAMPS)/venv: $(STAMPS)/venv-build requirements-dev.txt requirements-test.txt | $(STAMPS)
	@echo "installing the pinned tool set into $(VENV): requirements-dev.txt"
	@$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# A wheel, installed into .venv (not editable); scikit-build-core keeps its
# build tree under build/ so rebuilds are incremental. make test installs the
# same wheel into a venv of every CPython here.
DEV_WHEEL := build/wheel
INSTALL_MODULE = rm -rf $(DEV_WHEEL) && $(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(DEV_WHEEL) . \
                 && $(PY) -m pip install -q --no-deps --force-reinstall $(DEV_WHEEL)/*.whl

build: deps venv
	@$(INSTALL_MODULE)

CPP_CONFIGURE = $(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DULO_BUILD_PYTHON=OFF -DULO_BUILD_TESTS=ON \
  -DULO_WERROR=ON >/dev/null

# The field tables' listing, for the stub; built first so that the steps
# that share build/cpp never run two builds in it at once.
cpp-tables: deps venv
	@$(CPP_CONFIGURE) && $(VENV)/bin/cmake --build $(CPP_BUILD) -j$(JOBS) --target record_tables >/dev/null

test-cpp: cpp-tables
	@$(VENV)/bin/cmake --build $(CPP_BUILD) -j$(JOBS)
	@$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j$(JOBS)
	@$(VERIFY_PORTABLE) $(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j$(JOBS) -R '$(VERIFY_CPP_TESTS)'
	@$(CPP_BUILD)/verify_wide_diff $(DIFF_QUICK_LANES)

# pytest exits 5 when it collected nothing; any non-zero status fails here.
test-py: build
	@$(PY) -m pytest -p no:cacheprovider tests
	@$(SUBMAKE) test-portable

# The verification suites once more on the portable path.
test-portable: build
	@$(VERIFY_PORTABLE) $(PY) -m pytest -p no:cacheprovider -q $(VERIFY_PY_TESTS)

check: test-cpp test-py

# stubtest runs from build/ so that its scratch cache lands there. The usage
# file and the README's python blocks (one file, as they run; errors carry
# README line numbers) must pass both checkers; the misuse file must fail
# both, with exactly the errors it lists.
test-typing: build cpp-tables
	@$(CPP_BUILD)/record_tables | $(PY) -m tools.stub_fields --check $(STUB)
	@cd build && $(abspath $(PY)) -m mypy.stubtest ulo_protocol
	@$(PY) tests/test_readme.py build/readme_blocks.py
	@$(PY) -m mypy --strict --cache-dir build/mypy-cache \
	  tests/typing/usage.py build/readme_blocks.py python/ulo_protocol_cli tools/check_wheel.py tools/run_suites.py \
	  tools/check_release.py tools/release_build.py tools/wheel_finish.py tools/platform_roots.py \
	  tools/cpython_builds.py tools/release_tools.py tools/tidy_cache.py tools/stub_fields.py tools/tests
	@$(VENV)/bin/basedpyright --pythonpath $(PY) --level error tests/typing/usage.py build/readme_blocks.py \
	  >build/basedpyright.log || { cat build/basedpyright.log; exit 1; }
	@$(PY) tests/typing/check_misuse.py --python $(PY)
	@echo "typing: stubtest, mypy --strict and basedpyright clean (usage, README); misuse refused by both"

# The stub's field properties and dict types, written from the field tables.
STUB := python/ulo_protocol-stubs/__init__.pyi
stubs: cpp-tables
	@$(CPP_BUILD)/record_tables | $(PY) -m tools.stub_fields $(STUB)

# sdist, the wheel of every release target and SHA256SUMS
# (tools/release_build.py: Zig's cross toolchain, libsodium from Debian's
# source package linked in). Builds the working tree as it is; a dirty tree
# is said so in the log and in each wheel's SBOM.
dist: deps venv release-toolchain
	@$(PY) -m tools.release_build --out dist --cache $(ULO_CACHE) $(if $(DIST_TARGETS),--targets $(DIST_TARGETS))

# The wheels as a user receives them, a wheel built from the sdist, the
# binaries' hardening, the checksums, and a rebuild in a temporary clone
# that must give the same bytes (refused on a dirty tree).
test-dist: dist
	@$(PY) -m pytest -p no:cacheprovider tools/tests
	@PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m tools.check_wheel dist/*.whl --venv build/venv-check \
	  --python $(PYTHON) --sdist dist/*.tar.gz --constraints requirements-build.txt \
	  --smoke tests/typing/usage.py --musl-root $$($(PY) -m tools.platform_roots $(ULO_CACHE) arm64)
	@$(PY) -m tools.check_release hardening dist/*.whl
	@$(PY) -m tools.check_release sums dist
	@$(PY) -m tools.check_release preflight
	@$(PY) -m tools.check_release repro --make "VENV=$(abspath $(VENV)) ULO_CACHE=$(ULO_CACHE)"

# The Python suite on every CPython >= 3.10 here, each in a fresh venv
# holding only the development wheel and requirements-test.txt.
test-native: build
	@$(PY) -m tools.run_suites --wheel $(DEV_WHEEL)/*.whl --requirements requirements-test.txt \
	  --work build/suites-native --jobs $(JOBS) tests

# The same from the release wheels in dist/: in the platform roots (older
# glibc, arm64 under qemu, the newest CPythons) and the CPythons built here;
# test-pythons adds every CPython of this machine.
RUN_RELEASE_SUITES = $(PY) -m tools.run_suites --wheel dist/*.whl --requirements requirements-test.txt \
  --work build/suites --cache $(ULO_CACHE) --roots $(PLATFORM_ROOTS) --built $(BUILT_PYTHONS) tests

test-platforms: deps venv
	@ls dist/*.whl >/dev/null 2>&1 || $(SUBMAKE) dist
	@$(RUN_RELEASE_SUITES) --no-host

test-pythons: deps venv
	@ls dist/*.whl >/dev/null 2>&1 || $(SUBMAKE) dist
	@$(RUN_RELEASE_SUITES)

include mk/hardening.mk
include mk/release.mk

# Before pushing. The steps share only the module in .venv (built once,
# first) and each has a build folder of its own, so they run side by side;
# the longest first. Each step's output is printed whole when it ends.
TEST_JOBS ?= 2
TEST_STEPS := test-native check-sanitize lint test-cpp check-tsan-ft test-typing test-portable \
              fuzz-quick soak-quick
test: deps venv
	+@$(SUBMAKE) -j$(TEST_JOBS) --output-sync=target $(TEST_STEPS)

# The release and its platforms, one step after the other: the wheels and
# their checks (a rebuild in a clone included), then the suite on the
# shipped wheels everywhere they claim to run: this machine's CPythons, the
# roots and the CPythons built here.
release-check: deps venv
	+@$(SUBMAKE) test-dist
	+@$(SUBMAKE) test-pythons

# Only the build tools: a first demo needs no checkers, sanitizers or fuzzers.
demo: deps-build venv-build
	@echo "building the module, about 30 s on two cores..."
	@$(INSTALL_MODULE)
	@for f in examples/*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

bench: build
	@$(PY) -m pip install -q -r requirements-bench.txt
	@$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DULO_BUILD_PYTHON=OFF -DULO_BUILD_BENCH=ON >/dev/null
	@$(VENV)/bin/cmake --build build/bench --target ulo_micro_bench ulo_fsync_bench >/dev/null
	@BACKLOG=$(BACKLOG) $(PY) benchmarks/run.py

clean:
	rm -rf build dist $(STAMPS) $(VENV)
