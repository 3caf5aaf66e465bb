# The two commands of the README, and a few more for developers.
BUILD ?= build
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)

.PHONY: all setup build run test bench clean

all: build

setup:
	@scripts/bootstrap

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/bbshost --data data

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

bench: setup
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLUS_BENCH=ON -DPLUS_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/bin/plus_bench

clean:
	rm -rf $(BUILD) $(BENCH_BUILD)
