# The two commands a new user runs: `make run` and `make test`.
BUILD ?= build
JOBS  ?= $(shell nproc)

# Test programs are run once at build time to list their tests, and the widget tests
# need a display: the offscreen platform serves both on a machine without one.
TESTENV = QT_QPA_PLATFORM=offscreen

# Seconds each fuzz target runs for in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: run test build configure deps test-deps bench fuzz clean install

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	$(TESTENV) cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/app/fernapp

test: test-deps build
	cd $(BUILD) && $(TESTENV) ctest --output-on-failure -j $(JOBS)

bench: test-deps
	@[ -f $(BUILD)-release/build.ninja ] || cmake -S . -B $(BUILD)-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERN_BUILD_TESTS=OFF
	cmake --build $(BUILD)-release -j $(JOBS)
	@set -e; for b in $(BUILD)-release/bench/bench_*; do \
	  if [ -f "$$b" ] && [ -x "$$b" ]; then echo "== $$b"; "$$b"; fi; \
	done

# The fuzz targets of fuzz/, built with clang into $(BUILD)-fuzz, each run for FUZZ_SECONDS.
fuzz: test-deps
	FUZZ_BUILD=$(BUILD)-fuzz JOBS=$(JOBS) fuzz/run $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-release $(BUILD)-asan $(BUILD)-fuzz
