# Two commands do all set-up on a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, runs the main job
#   make test   the same set-up, then every test
SHELL := /bin/bash
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build demo test test-cpp test-qemu test-python test-valgrind test-sanitize fuzz fuzz-short bench format clean

all: build

setup:
	@scripts/setup.sh

$(BUILD)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython3_EXECUTABLE=$(PYTHON)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(PYTHON) scripts/demo.py

test: build
	$(MAKE) --no-print-directory test-cpp test-qemu test-python test-valgrind test-sanitize fuzz-short

test-cpp:
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The C++ tests on emulated older processors: no AVX (the scalar tier must be
# chosen) and AVX2 without AVX-512 (the AVX2 tier must be chosen). A stray
# vector instruction outside its tier shows up here as an illegal instruction.
test-qemu:
	scripts/qemu_tests.sh $(BUILD)/kavo_cpp_tests

test-python:
	$(PYTHON) -m pytest -q tests/python

# Memcheck over the C++ tests (it hides AVX-512 from the program, so the
# scalar and AVX2 tiers run under it).
test-valgrind:
	valgrind -q --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite \
	  $(BUILD)/kavo_cpp_tests --gtest_brief=1

# C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer.
SAN_CMAKE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKAVO_BUILD_MODULE=OFF -DKAVO_BUILD_BENCH=OFF
test-sanitize: setup
	$(SAN_CMAKE) -B build-asan -DKAVO_SANITIZE=address,undefined >/dev/null
	cmake --build build-asan -j $(JOBS) --target kavo_cpp_tests
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  build-asan/kavo_cpp_tests --gtest_brief=1
	$(SAN_CMAKE) -B build-tsan -DKAVO_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j $(JOBS) --target kavo_cpp_tests
	TSAN_OPTIONS=halt_on_error=1 build-tsan/kavo_cpp_tests --gtest_brief=1 \
	  --gtest_filter='$(TSAN_FILTER)'
TSAN_FILTER = Concurrency*:InitLut*:TierSelection.*

# libFuzzer targets (clang), each run for FUZZ_SECONDS from its corpus.
FUZZ_SECONDS ?= 300
FUZZ_TARGETS = fuzz_tiers fuzz_block_table
fuzz: setup
	CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKAVO_BUILD_FUZZ=ON -DKAVO_SANITIZE=address,undefined -DKAVO_BUILD_MODULE=OFF \
	  -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus-$$t && \
	  echo "== $$t ($(FUZZ_SECONDS) s)" && \
	  build-fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    build-fuzz/corpus-$$t fuzz/corpus/$$t 2>&1 | \
	    grep -E 'stat::number_of_executed_units|Done|ERROR|crash|deadly' ; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done
fuzz-short:
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60

bench: build
	scripts/bench.sh $(BUILD)

format:
	clang-format -i csrc/cpu/*.cpp csrc/cpu/*.h tests/cpp/*.cpp tests/cpp/*.h bench/*.cpp 2>/dev/null || true

clean:
	rm -rf $(BUILD) kavo/*.so
