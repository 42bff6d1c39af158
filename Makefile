# The user commands: `make demo`, `make test` and `make bench`. Each installs what a fresh Debian machine
# lacks first (when run as root).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
PACKAGES := g++ cmake ninja-build googletest libgtest-dev libbenchmark-dev g++-arm-linux-gnueabi qemu-user \
  clang-format clang-tidy python3 clang libclang-rt-14-dev valgrind libstb-dev python3-matplotlib librapidcheck-dev
# The fuzz run's length in seconds within make test.
FUZZ_SECONDS ?= 50

.PHONY: all deps host arm asan tsan release fuzz-build test test-host test-arm test-asan test-tsan test-fuzz stress \
  format-check tidy demo bench clean

all: host

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else echo "missing packages:$$missing (run as root to install them)"; exit 1; fi; \
	fi

$(BUILD)/host/build.ninja: | deps
	cmake -S . -B $(BUILD)/host $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(BUILD)/arm/build.ninja: | deps
	cmake -S . -B $(BUILD)/arm $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-linux-gnueabi.cmake

$(BUILD)/release/build.ninja: | deps
	cmake -S . -B $(BUILD)/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

$(BUILD)/asan/build.ninja: | deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DGRALLOC_SANITIZE=address,undefined

$(BUILD)/tsan/build.ninja: | deps
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DGRALLOC_SANITIZE=thread

# libFuzzer needs clang; the whole tree is instrumented and sanitized, without the test suites.
$(BUILD)/fuzz/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBUILD_TESTING=OFF -DGRALLOC_FUZZ=ON -DGRALLOC_SANITIZE=address,undefined

host: $(BUILD)/host/build.ninja
	cmake --build $(BUILD)/host -j $(JOBS)

arm: $(BUILD)/arm/build.ninja
	cmake --build $(BUILD)/arm -j $(JOBS)

asan: $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS)

tsan: $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS)

release: $(BUILD)/release/build.ninja
	cmake --build $(BUILD)/release -j $(JOBS)

fuzz-build: $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target gralloc_fuzz

# A bounded run from the seed corpus; what it finds lands in the build tree, not in fuzz/corpus.
test-fuzz: fuzz-build
	rm -rf $(BUILD)/fuzz/corpus && mkdir -p $(BUILD)/fuzz/corpus
	cd $(BUILD)/fuzz && { bin/gralloc_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  corpus $(CURDIR)/fuzz/corpus >fuzz.log 2>&1 || { tail -n 60 fuzz.log; exit 1; }; }
	grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' $(BUILD)/fuzz/fuzz.log

test-host: host
	ctest --test-dir $(BUILD)/host -j $(JOBS) --output-on-failure
	@$(BUILD)/host/bin/fault_sweep_tests | grep -E '^fault sweep:'

test-arm: arm
	ctest --test-dir $(BUILD)/arm -j $(JOBS) --output-on-failure

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(BUILD)/asan -j $(JOBS) --output-on-failure

test-tsan: tsan
	ctest --test-dir $(BUILD)/tsan -j $(JOBS) --output-on-failure

# Style is checked, never argued: clang-format -i on the sources fixes what this finds.
format-check: | deps
	clang-format --dry-run -Werror $$(git ls-files '*.c' '*.cpp' '*.h')

# The module's static checks (.clang-tidy), with the compile commands of the host build; a warning
# fails the run.
tidy: host
	clang-tidy -p $(BUILD)/host --quiet $(wildcard $(CURDIR)/graphicshal/*.cpp)

# Style and static checks, the host suite (with the fault sweep), then the device's ABI under
# qemu-arm, then the sanitizers, the load test in full on the host and under TSan, and a short
# fuzz run.
test: format-check tidy test-host test-arm test-asan test-tsan stress test-fuzz

# The load test in full: 8 threads and two client processes for 10 seconds while fb0 is reopened,
# on the host build and under TSan; and the model test with many more and longer command sequences,
# on the host build and under ASan.
STRESS_SECONDS ?= 10
MODEL_CASES ?= 5000
stress: host tsan asan
	GRALLOC_STRESS_SECONDS=$(STRESS_SECONDS) $(BUILD)/host/bin/module_tests --gtest_filter='StressTest.*'
	GRALLOC_STRESS_SECONDS=$(STRESS_SECONDS) $(BUILD)/tsan/bin/module_tests --gtest_filter='StressTest.*'
	GRALLOC_MODEL_CASES=$(MODEL_CASES) GRALLOC_MODEL_SIZE=150 $(BUILD)/host/bin/model_tests --gtest_filter='*Random*'
	GRALLOC_MODEL_CASES=$(MODEL_CASES) GRALLOC_MODEL_SIZE=150 $(BUILD)/asan/bin/model_tests --gtest_filter='*Random*'

# Repetitions, run in a random order so that a module benchmark and its floor share the machine's
# busy and quiet spells, so that the table's medians hold while the machine does other work. The
# plot is drawn by Debian's own interpreter: the python3 first on PATH may not see Debian's
# matplotlib.
BENCH_ARGS ?= --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true --benchmark_min_time=0.1 \
  --benchmark_report_aggregates_only=true --benchmark_color=false
BENCH_JSON := $(BUILD)/release/bench.json
BENCH_PLOT ?= docs/bench-live-buffers.png
bench: release
	$(BUILD)/release/bin/gralloc_bench $(BENCH_ARGS) --benchmark_out=$(BENCH_JSON) --benchmark_out_format=json
	/usr/bin/python3 bench/plot.py $(BENCH_JSON) $(BENCH_PLOT)

demo: host
	$(BUILD)/host/bin/gralloc_demo

clean:
	rm -rf $(BUILD)
