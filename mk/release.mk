# Release: portable wheels, their platform runs, reproducibility, hardening.
#   make dist               sdist + abi3 wheels for manylinux2014 and musllinux_1_2 and
#                           free-threaded cp313t manylinux2014 wheels, each for x86_64
#                           and aarch64, + SHA256SUMS
#   make test-dist          the wheels' checks, hardening, and a rebuild in a clone
#   make release-check      test-dist, then the suite in the platform roots and
#                           the CPythons built here
#   make release-toolchain  Zig from requirements-release.txt, into the cache
# Expensive things are cached outside the clone, under ULO_CACHE.

ULO_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/ulo-protocol
ZIG_VERSION := $(shell sed -n 's/^ziglang==//p' requirements-release.txt)
ZIG_HOME := $(ULO_CACHE)/ziglang-$(ZIG_VERSION)
# Debian packages of the release work: libsodium's autotools build,
# unpacking Debian source packages, the test roots and user-mode emulation
# (run explicitly, never registered with binfmt_misc), and the sandbox that
# runs the suite inside a root.
RELEASE_DEB_PACKAGES := autoconf automake libtool dpkg-dev debootstrap qemu-user-static bubblewrap \
                        binutils git musl musl-dev musl-tools zlib1g-dev gcc-aarch64-linux-gnu
# deb-src for the suite the machine runs, checked by apt against the same
# signed archive index as the binary packages.
DEB_SRC_LIST := /etc/apt/sources.list.d/ulo-protocol-src.sources

# Roots `make test-platforms` runs the suite in (tools/platform_roots.py),
# and the interpreters it builds to run it in (tools/cpython_builds.py).
PLATFORM_ROOTS ?= bullseye,arm64,testing
BUILT_PYTHONS ?= 3.13t,3.13-musl,3.13t-aarch64,3.13-musl-aarch64

.PHONY: release-toolchain

$(STAMPS)/deps: $(STAMPS)/deb-src mk/release.mk
$(STAMPS)/deb-src: mk/release.mk | $(STAMPS)
	@codename=$$(. /etc/os-release && echo $$VERSION_CODENAME); \
	mirror=$$(python3 -m tools.release_tools mirror) && security=$$(python3 -m tools.release_tools security-mirror) || exit 1; \
	want=$$(printf 'Types: deb-src\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\nTypes: deb-src\nURIs: %s\nSuites: %s-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' $$mirror $$codename $$codename $$security $$codename); \
	if [ "$$(cat $(DEB_SRC_LIST) 2>/dev/null)" != "$$want" ]; then \
	  echo "adding deb-src entries for $$codename ($(DEB_SRC_LIST))"; \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  echo "$$want" | $$SUDO tee $(DEB_SRC_LIST) >/dev/null && $$SUDO apt-get update -qq; \
	fi
	@touch $@

release-toolchain: $(ZIG_HOME)/.ready
# Keyed by the version in its path, so clones share it.
$(ZIG_HOME)/.ready: | venv
	@rm -rf $(ZIG_HOME) && mkdir -p $(ZIG_HOME)
	@$(PY) -m pip install -q --disable-pip-version-check --target $(ZIG_HOME) ziglang==$(ZIG_VERSION)
	@touch $@

# make bench times the shipped x86_64 wheel beside the GCC build.
bench: bench-wheel
.PHONY: bench-wheel
bench-wheel:
	@ls dist/*manylinux2014_x86_64.whl >/dev/null 2>&1 || $(SUBMAKE) dist
