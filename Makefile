# Set-up and entry points. `make demo` and `make test` install what is
# missing (Debian packages, a project-local virtual environment), build, and run.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMPS := .stamps
CPP_BUILD := build/cpp
JOBS ?= $(shell nproc)

# Debian packages the build and the C++ tests need.
DEB_PACKAGES := g++ pkg-config libsodium-dev libgtest-dev nlohmann-json3-dev

.PHONY: all deps venv build demo test test-cpp test-py bench clean

all: build

$(STAMPS):
	@mkdir -p $(STAMPS)

deps: $(STAMPS)/deps
$(STAMPS)/deps: | $(STAMPS)
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@touch $@

venv: $(STAMPS)/venv
$(STAMPS)/venv: requirements-dev.txt | $(STAMPS)
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip
	@$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# Editable-free install into the venv; scikit-build-core keeps its build tree
# under build/ so rebuilds are incremental.
build: deps venv
	@$(PY) -m pip install -q --no-build-isolation --no-deps . 

test-cpp: deps venv
	@$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DULO_BUILD_PYTHON=OFF -DULO_BUILD_TESTS=ON -DULO_WERROR=ON >/dev/null
	@$(VENV)/bin/cmake --build $(CPP_BUILD) -j$(JOBS)
	@$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j$(JOBS)

# pytest exits 5 when it collected nothing; any non-zero status fails here.
test-py: build
	@$(PY) -m pytest tests

# pytest runs last (see the end of this file), so its summary closes the run.
test: test-cpp

demo: build
	@for f in examples/*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

bench: build
	@$(PY) -m pip install -q -r requirements-bench.txt
	@$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DULO_BUILD_PYTHON=OFF -DULO_BUILD_BENCH=ON >/dev/null
	@$(VENV)/bin/cmake --build build/bench --target ulo_micro_bench >/dev/null
	@$(PY) benchmarks/run.py

clean:
	rm -rf build $(STAMPS) $(VENV)

# ---- Packaging checks: type stubs, wheel, command line ----------------------
# Hooked into `test`. The wheel build reuses build/{wheel_tag}, so it only
# repackages; the wheel is then installed into a fresh venv and audited.
.PHONY: test-typing test-wheel
test: test-typing test-wheel

# stubtest runs from build/ so that its scratch cache lands there.
test-typing: build
	@cd build && $(abspath $(PY)) -m mypy.stubtest ulo_protocol
	@$(PY) -m mypy --strict --cache-dir build/mypy-cache \
	  tests/typing/usage.py python/ulo_protocol_cli tools/check_wheel.py

test-wheel: build
	@rm -rf build/dist
	@$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/dist .
	@$(PY) tools/check_wheel.py build/dist/*.whl --venv build/venv-check \
	  --python $(PYTHON) --smoke tests/typing/usage.py

include mk/hardening.mk

test: test-py
