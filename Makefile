# The commands a new user runs: `make run` and `make test`; a packager's: `make install` and
# `make deb`.
BUILD ?= build
JOBS  ?= $(shell nproc)
# `make install PREFIX=/usr DESTDIR=/tmp/stage` installs below /tmp/stage/usr.
PREFIX  ?= /usr/local
DESTDIR ?=

# Test programs are run once at build time to list their tests, and the widget tests
# need a display: the offscreen platform serves both on a machine without one.
TESTENV = QT_QPA_PLATFORM=offscreen

# The programs and the files installed beside them (icons, manual pages); no tests.
PROGRAMS = fernapp fernset fern_icons fern_man

# Seconds each fuzz target runs for in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: run test build configure deps test-deps package-deps bench fuzz clean install deb

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

package-deps:
	@scripts/install-deps --package

configure:
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	$(TESTENV) cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)

# Installs the packages that building and running need, never those of the tests.
run: deps
	@$(MAKE) --no-print-directory build
	$(BUILD)/app/fernapp

# Configures again, so that a build made by `make run` before GoogleTest was there gets its tests.
test: test-deps
	@if [ -f $(BUILD)/build.ninja ]; then cmake $(BUILD) >/dev/null; else \
	  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo; fi
	$(TESTENV) cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && $(TESTENV) ctest --output-on-failure --no-tests=error -j $(JOBS)

bench: test-deps
	@[ -f $(BUILD)-release/build.ninja ] || cmake -S . -B $(BUILD)-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERN_BUILD_TESTS=OFF
	cmake --build $(BUILD)-release -j $(JOBS)
	@set -e; for b in $(BUILD)-release/bench/bench_*; do \
	  if [ -f "$$b" ] && [ -x "$$b" ]; then echo "== $$b"; "$$b"; fi; \
	done

# The fuzz targets of fuzz/, built with clang into $(BUILD)-fuzz, each run for FUZZ_SECONDS.
fuzz: test-deps
	FUZZ_BUILD=$(BUILD)-fuzz JOBS=$(JOBS) fuzz/run $(FUZZ_SECONDS)

# Builds and installs the programs only: no package is installed, no test is built.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The .deb, from a build of its own without tests or benchmarks, into $(BUILD)-deb/.
deb: package-deps
	@[ -f $(BUILD)-deb/build.ninja ] || cmake -S . -B $(BUILD)-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DFERN_BUILD_TESTS=OFF -DFERN_BUILD_BENCH=OFF
	cmake --build $(BUILD)-deb -j $(JOBS)
	cd $(BUILD)-deb && cpack -G DEB
	@ls $(BUILD)-deb/*.deb

clean:
	rm -rf $(BUILD) $(BUILD)-release $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-deb
