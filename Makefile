# Thin wrapper over CMake. `make run` and `make test` install what is missing first.
BUILD ?= build
BENCH_BUILD ?= build-bench
SAN_BUILD ?= build-sanitize
GEN = -G Ninja

.PHONY: all deps build run test bench clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: build
	scripts/run-with-board $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) $(SAN_BUILD)
