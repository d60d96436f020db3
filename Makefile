# Two commands do all set-up on a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, runs the main job
#   make test   the same set-up, then every test
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build demo test test-cpp test-qemu test-python bench format clean

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
	$(MAKE) --no-print-directory test-cpp test-qemu test-python

test-cpp:
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The C++ tests on emulated older processors: no AVX (the scalar tier must be
# chosen) and AVX2 without AVX-512 (the AVX2 tier must be chosen). A stray
# vector instruction outside its tier shows up here as an illegal instruction.
test-qemu:
	scripts/qemu_tests.sh $(BUILD)/kavo_cpp_tests

test-python:
	$(PYTHON) -m pytest -q tests/python

bench: build
	scripts/bench.sh $(BUILD)

format:
	clang-format -i csrc/cpu/*.cpp csrc/cpu/*.h tests/cpp/*.cpp tests/cpp/*.h bench/*.cpp 2>/dev/null || true

clean:
	rm -rf $(BUILD) kavo/*.so
