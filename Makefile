# The README's two commands: `make run` (the simulator) and `make test` (the whole suite).
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_COVERAGE ?= build-coverage
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= 2
SEEDS ?= 100

.PHONY: all run test test-wine test-asan test-tsan coverage stress bench driver-cost package configure clean \
	fuzz fuzz-long fuzz-replay

all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Make's own "Entering directory" lines say nothing here, nor those of the make that
# cmake --build starts.
MAKEFLAGS += --no-print-directory

run: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxsim
	$(BUILD)/tools/kdxsim/kdxsim $(ARGS)

test: all
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure -LE wine

# The real kdxlusb.sys under Wine, driven by Win32 programs (win/rig); skips without Wine.
test-wine: all
	cd $(BUILD) && ctest --output-on-failure -L wine

# What a person installs on Windows x64, in $(BUILD)/package: kdxlusb.sys signed with a test
# certificate made in $(BUILD)/package-cert, that certificate, kdxlusb.inf and INSTALL.txt.
package: all
	sh win/package.sh $(BUILD)

# clang-tidy and cppcheck over sys/ and host/src (tools/lint.sh), from the host build's
# compile database; fails on any finding.
.PHONY: lint
lint: configure
	sh tools/lint.sh $(BUILD) $(JOBS)

# Benchmarks (Google Benchmark) in real time; never part of `make test`. Pass options with ARGS,
# e.g. make bench ARGS=--benchmark_min_time=0.2; CPU=0 runs them on that processor alone.
bench: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxbench
	$(if $(CPU),taskset -c $(CPU)) $(BUILD)/bench/kdxbench $(ARGS)

# The driver's own instructions per 2048-byte read under callgrind, host excluded.
driver-cost: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxbench
	tools/driver-cost.sh $(BUILD)

test-asan:
	@test -f $(BUILD_ASAN)/CMakeCache.txt || cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DKDX_SANITIZE=ON -DKDX_WINDOWS_BUILD=OFF
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	cd $(BUILD_ASAN) && ctest -j$(JOBS) --output-on-failure -LE wine

# The whole suite under ThreadSanitizer.
test-tsan:
	@test -f $(BUILD_TSAN)/CMakeCache.txt || cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKDX_TSAN=ON -DKDX_WINDOWS_BUILD=OFF
	cmake --build $(BUILD_TSAN) -j$(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0" ctest -j$(JOBS) --output-on-failure -LE wine

# Line and branch coverage of sys/ by the test suite and, apart, by the corpus replay (gcovr;
# installed when missing), in $(BUILD_COVERAGE) where only the driver is instrumented.
coverage:
	tools/coverage.sh $(BUILD_COVERAGE) $(JOBS)

# The driver suites and the simulator's scenarios under SEEDS schedule seeds (from FIRST_SEED,
# default 1); failing seeds are added to tests/schedule_regressions.txt for make test to replay.
stress: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxdrivertests kdxsim
	tools/stress.sh $(BUILD) $(SEEDS) $(or $(FIRST_SEED),1)

# The fuzz targets (fuzz/) under libFuzzer, built with clang in $(BUILD_FUZZ) (clang is
# installed when missing): each runs FUZZ_SECONDS, then its findings are merged, minimised, into
# fuzz/corpus/; crashes land in fuzz/regressions/. TARGETS=device or session runs one alone.
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh $(BUILD_FUZZ) $(TARGETS)

# The same for an hour a target (FUZZ_SECONDS= sets another length).
fuzz-long:
	$(MAKE) fuzz FUZZ_SECONDS=$(if $(filter command line,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS),3600)

# Only the replay of the corpus and the regressions, as make test runs it.
fuzz-replay: configure
	cmake --build $(BUILD) -j$(JOBS) --target kdxfuzz_device_replay kdxfuzz_session_replay
	cd $(BUILD) && ctest --output-on-failure -L fuzz-replay

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_COVERAGE) $(BUILD_FUZZ)
