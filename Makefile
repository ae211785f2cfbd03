# SPDX-License-Identifier: GPL-3.0-or-later
# make run   installs what building and running the program need, builds it and starts it
# make test  installs that and the test tools, builds everything and runs every test
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
# Warnings are errors in CI.
WERROR     := $(if $(filter true 1,$(CI)),ON,OFF)
CMAKE_ARGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRELS_WERROR=$(WERROR)

.PHONY: all deps deps-run build build-run run test test-unit test-asan test-tsan bench package format clean

all: build

deps:
	@bash scripts/install-deps.sh

deps-run:
	@bash scripts/install-deps.sh --run

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DTAMRELS_BUILD_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

# The program alone: no test tool is needed, none is built.
build-run: deps-run
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DTAMRELS_BUILD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

run: build-run
	./$(BUILD)/tamrels-midi-piano

# The Qt-free code once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTAMRELS_SANITIZE=ON \
	  -DTAMRELS_BUILD_UI=OFF -DTAMRELS_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) -L unit --output-on-failure

# The program once more under ThreadSanitizer, through the end-to-end cases where its threads
# meet: the sound servers' fall-back, take-back and restarts.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRELS_TSAN=ON \
	  -DTAMRELS_WERROR=$(WERROR)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tamrels-midi-piano midi_probe late_peer jack_record
	ctest --test-dir $(TSAN_BUILD) -L tsan --output-on-failure

# A failed end-to-end suite runs once more, alone (scripts/run-tests.sh says why).
test: build test-asan test-tsan
	bash scripts/run-tests.sh $(BUILD)

bench: build
	bash bench/run.sh

package: build
	cd $(BUILD) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
