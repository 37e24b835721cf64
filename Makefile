# SPDX-License-Identifier: LGPL-2.1-or-later
# Front door. `make` installs what is missing and builds; `make test` runs
# every test (normal build, then an AddressSanitizer/UBSan build), with
# compiler warnings turned into errors; `make demo` runs a demo chain and says
# where its pictures are.
BUILD      ?= build
ASAN_BUILD ?= build-asan
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build test test-asan test-i386 demo install bench clean

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

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOV_SANITIZE=ON -DKOV_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

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

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-i386 out
