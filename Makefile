# SPDX-License-Identifier: LGPL-2.1-or-later
# Front door. `make` installs what is missing and builds; `make test` runs
# every test (normal build, then an AddressSanitizer/UBSan build, then the
# threading tests under ThreadSanitizer), with
# compiler warnings turned into errors; `make demo` runs a demo chain and says
# where its pictures are. `make soak` runs a long chain for SOAK_FRAMES frames
# and checks that memory does not grow; `make mutate` puts small faults into a
# scratch copy one at a time and reports those the tests do not notice.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
SOAK_FRAMES ?= 100000

.PHONY: all deps build test test-asan test-tsan test-fuzz fuzz fuzz-build test-i386 demo install bench soak mutate clean

all: build

deps:
	@bash scripts/install-deps.sh

# The test builds (CI) pass -DKOV_WERROR=ON; the others set it OFF again, so
# that a build tree used by both does not keep -Werror from a test run.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: deps
	$(CONFIGURE) -DKOV_WERROR=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(CONFIGURE) -DKOV_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) test-asan
	$(MAKE) test-tsan
	$(MAKE) test-fuzz

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOV_SANITIZE=ON -DKOV_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# Only the programs of the threading tests are built (with the plug-ins they
# load).
TSAN_TESTS = framework_workers_test framework_chain_thread_test
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOV_TSAN=ON -DKOV_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target $(TSAN_TESTS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -R '^(framework_workers_test|framework_chain_thread_test)$$'

# libFuzzer targets (tests/fuzz), built with clang, AddressSanitizer and UBSan.
# `make fuzz` runs each for FUZZ_SECONDS on its corpus (kept in the build tree)
# and prints executions and coverage; `make test-fuzz` replays the corpora and
# regressions and tries new inputs for a few seconds per target.
fuzz-build: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOV_FUZZ=ON $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers

test-fuzz: fuzz-build
	ctest --test-dir $(FUZZ_BUILD) -L fuzz --output-on-failure -j$(JOBS)

fuzz: fuzz-build
	@status=0; for f in $(FUZZ_BUILD)/bin/fuzz_*; do \
	  tests/fuzz/run_fuzz.sh $$f $(FUZZ_BUILD)/fuzz-corpus/$$(basename $$f) \
	    tests/fuzz/regressions/$$(basename $$f) $(FUZZ_SECONDS) || status=1; \
	done; exit $$status

# The whole project built for 32-bit x86 in a Debian i386 root (needs root).
test-i386:
	@bash scripts/test-i386.sh

demo: build
	@bash scripts/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD)
	-ldconfig

bench: build
	@bash scripts/bench.sh $(BUILD)

soak: build
	$(BUILD)/bin/kovkit-soak -n $(SOAK_FRAMES) --location $(BUILD)/soak-frame.raw

mutate: deps
	/usr/bin/python3 scripts/mutate.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-i386 out
