# The user commands: `make demo`, `make test` and `make bench`. Each installs what a fresh Debian machine
# lacks first (when run as root).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
PACKAGES := g++ cmake ninja-build googletest libgtest-dev libbenchmark-dev g++-arm-linux-gnueabi qemu-user clang-format python3

.PHONY: all deps host arm asan tsan release test test-host test-arm test-asan test-tsan format-check demo bench clean

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

test-host: host
	ctest --test-dir $(BUILD)/host -j $(JOBS) --output-on-failure

test-arm: arm
	ctest --test-dir $(BUILD)/arm -j $(JOBS) --output-on-failure

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(BUILD)/asan -j $(JOBS) --output-on-failure

test-tsan: tsan
	ctest --test-dir $(BUILD)/tsan -j $(JOBS) --output-on-failure

# Style is checked, never argued: clang-format -i on the sources fixes what this finds.
format-check: | deps
	clang-format --dry-run -Werror $$(git ls-files '*.c' '*.cpp' '*.h')

# Style, the host suite, then the device's ABI under qemu-arm, then the sanitizers.
test: format-check test-host test-arm test-asan test-tsan

# Repetitions, so that the table's medians hold while the machine is busy with other work.
BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true --benchmark_color=false
bench: release
	$(BUILD)/release/bin/gralloc_bench $(BENCH_ARGS)

demo: host
	$(BUILD)/host/bin/gralloc_demo

clean:
	rm -rf $(BUILD)
