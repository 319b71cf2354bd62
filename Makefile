# Set-up and checks for a fresh machine of this project's kind (Debian, CPython 3.11, root).
PYTHON ?= python3
JOBS ?= $(shell nproc)
# ccache keys on paths relative to the checkout, so clones in other folders reuse the cache.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
TEST_BUILD ?= build/cpp-tests
# Every build of the project's own code fails on a compiler warning, the Python module's included;
# WERROR=OFF relaxes that for a compiler newer than the one the project is checked with.
WERROR ?= ON
SAN_BUILD ?= build/cpp-sanitize

.PHONY: deps install quickstart format-check cpp-test cpp-sanitize py-test test bench

# System packages: GoogleTest, nlohmann-json, zlib headers, ccache and clang-format.
deps:
	@if ! dpkg -s libgtest-dev nlohmann-json3-dev zlib1g-dev ccache clang-format >/dev/null 2>&1; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	    libgtest-dev nlohmann-json3-dev zlib1g-dev ccache clang-format cmake g++ >/dev/null; \
	fi
	$(PYTHON) -m pip install -q "scikit-build-core>=0.10" "nanobind>=3.1,<4" "nlohmann-json>=3.11" \
	  cmake ninja numpy pytest matplotlib "ruff==0.17.6" "mypy==2.4.1"

# The package itself, built against the build requirements installed by `deps`, with the
# test-only module ovrel._ovrel_rs_testing that the Python tests import (`pip install .` leaves it out).
install: deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install -q --no-build-isolation \
	  -C cmake.define.OVREL_BUILD_TEST_HOOKS=ON -C cmake.define.OVREL_WERROR=$(WERROR) ".[test]"

quickstart: install
	$(PYTHON) examples/quickstart.py
	$(PYTHON) examples/streaming.py

# Fails fast, before any build: every tracked C++ file as clang-format writes it, Python clean
# under ruff's checks and formatter.
format-check: deps
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
	$(PYTHON) -m ruff check python tests bench examples
	$(PYTHON) -m ruff format --check python tests bench examples

cpp-test: deps
	cmake -S . -B $(TEST_BUILD) -DOVREL_BUILD_TESTS=ON -DOVREL_WERROR=$(WERROR) -DOVREL_BUILD_PYTHON=OFF -DOVREL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(TEST_BUILD) -j $(JOBS)
	ctest --test-dir $(TEST_BUILD) -j $(JOBS) --output-on-failure

# The C++ tests again under AddressSanitizer and UndefinedBehaviorSanitizer: the decoders take
# untrusted input.
cpp-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DOVREL_BUILD_TESTS=ON -DOVREL_BUILD_PYTHON=OFF -DOVREL_SANITIZE=ON -DOVREL_WERROR=$(WERROR) \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" >/dev/null
	cmake --build $(SAN_BUILD) -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	  ctest --test-dir $(SAN_BUILD) -j $(JOBS) --output-on-failure

py-test: install
	cd tests/python && MPLBACKEND=Agg $(PYTHON) -m pytest -q -p no:cacheprovider .

test: format-check cpp-test cpp-sanitize py-test

# Side-by-side timing against ruptures, changepoint-cython and fastcpd. The peers go into the
# benchmark environment only; writes bench/results.md and bench/scaling.png.
bench: install
	PYTHON=$(PYTHON) bash bench/install_peers.sh
	MPLBACKEND=Agg $(PYTHON) bench/compare_peers.py
