# Thin wrapper over CMake. Every target installs what is missing first.
BUILD ?= build
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600
# The desktop CPU figures: seconds per run and interleaved runs per figure.
DESKTOP_SECONDS ?= 10
DESKTOP_RUNS ?= 3
# The publisher's CPU with publishing on and off: interleaved runs of 10 s each.
MQTT_CPU_RUNS ?= 3
# Minutes the browser page watches a 1.2 MB/s bench before its heap is measured again.
WEB_HEAP_MINUTES ?= 10
# Runs of each scenario of the remote recorder's acceptance under connection faults.
RUNS ?= 20
# Under the sanitizers the flood test writes less, to keep the run short.
SAN_FLOOD_MB ?= 16

.PHONY: all deps build run test test-sanitize fuzz bench bench-web soak remote-acceptance package clean

all: build

deps:
	@scripts/install-deps

build: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)

run: build
	scripts/run-with-board $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure

test-sanitize: deps
	@[ -f $(SAN_BUILD)/build.ninja ] || cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDISPVANTO_SANITIZE=ON
	cmake --build $(SAN_BUILD)
	cd $(SAN_BUILD) && DISPVANTO_FLOOD_MB=$(SAN_FLOOD_MB) ctest --output-on-failure

fuzz: deps
	@[ -f $(FUZZ_BUILD)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDISPVANTO_FUZZ=ON
	cmake --build $(FUZZ_BUILD) --target fuzz_settingsfile fuzz_settingsstring fuzz_received
	scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: deps
	@[ -f $(BENCH_BUILD)/build.ninja ] || cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISPVANTO_BENCH=ON
	cmake --build $(BENCH_BUILD) --target bench mqttbench dispvanto boardsim minimalreader
	QT_QPA_PLATFORM=offscreen $(BENCH_BUILD)/bench/bench
	QT_QPA_PLATFORM=offscreen MQTT_CPU_RUNS=$(MQTT_CPU_RUNS) $(BENCH_BUILD)/bench/mqttbench
	bench/desktop-cpu $(BENCH_BUILD) $(DESKTOP_SECONDS) $(DESKTOP_RUNS)

bench-web: deps
	@[ -f $(BENCH_BUILD)/build.ninja ] || cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISPVANTO_BENCH=ON
	cmake --build $(BENCH_BUILD) --target dispvanto boardsim
	node bench/web-figures.js $(BENCH_BUILD) $(WEB_HEAP_MINUTES)

soak: deps
	@[ -f $(BENCH_BUILD)/build.ninja ] || cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISPVANTO_BENCH=ON
	cmake --build $(BENCH_BUILD) --target soak
	QT_QPA_PLATFORM=offscreen $(BENCH_BUILD)/bench/soak $(SOAK_SECONDS)

remote-acceptance: deps
	@[ -f $(BENCH_BUILD)/build.ninja ] || cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DDISPVANTO_BENCH=ON
	cmake --build $(BENCH_BUILD) --target dispvanto boardsim
	bench/remote-acceptance $(BENCH_BUILD) $(RUNS)

package: build
	scripts/check-package $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
