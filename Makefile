# The README's two commands: `make run` (the simulator) and `make test` (the whole suite).
BUILD ?= build
BUILD_ASAN ?= build-asan
JOBS ?= 2

.PHONY: all run test test-asan bench configure clean

all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

run: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxsim
	$(BUILD)/tools/kdxsim/kdxsim $(ARGS)

test: all
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure

# Benchmarks (Google Benchmark) in real time; never part of `make test`. Pass options with ARGS,
# e.g. make bench ARGS=--benchmark_min_time=0.2
bench: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxbench
	$(BUILD)/bench/kdxbench $(ARGS)

test-asan:
	@test -f $(BUILD_ASAN)/CMakeCache.txt || cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DKDX_SANITIZE=ON -DKDX_WINDOWS_BUILD=OFF
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	cd $(BUILD_ASAN) && ctest -j$(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
