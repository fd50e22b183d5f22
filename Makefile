# The two commands of the README: `make run` (the main job) and `make test` (every test).
# Both install what they need first and configure and build the project.

BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_ARGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test bench clean

all: build

deps:
	@scripts/ensure-deps.sh

configure: deps
	@if [ ! -f $(BUILD)/build.ninja ]; then \
	  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS); \
	fi

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-main.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300

bench: build
	$(BUILD)/bin/zelfin-bench

clean:
	rm -rf $(BUILD)
