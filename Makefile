# Thin front door: installs what is missing, then hands over to CMake and CTest.
PRESET ?= default
DEVICE_ARGS := $(if $(DEVICE),--device "$(DEVICE)",)

.PHONY: all deps configure build programs test test-asan package fuzz run clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

# Only the programs (tallymere-cli, and tallymere with Qt): what `make run` needs.
programs: configure
	@cmake --build --preset $(PRESET) --target programs

test: build
	@ctest --preset $(PRESET)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

# A Debian package of the programs, tallymere_<version>_<arch>.deb in this folder
# (sudo apt install ./tallymere_*.deb); cmake/package.cmake says what it holds.
package: configure
	@cmake --build --preset $(PRESET) --target programs man
	@cd build/$(PRESET) && cpack --config CPackConfig.cmake

# Every fuzz target from its seed corpus for FUZZ_SECONDS (30) each (clang; build/fuzz).
fuzz: deps
	@scripts/run-fuzzers

# The desktop program when there is a display to show it on, the automatic mode otherwise.
run: programs
	@if [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; then \
	  echo "make run: starting the desktop program tallymere, since a display is there ($${DISPLAY:+DISPLAY=$$DISPLAY}$${DISPLAY:+$${WAYLAND_DISPLAY:+, }}$${WAYLAND_DISPLAY:+WAYLAND_DISPLAY=$$WAYLAND_DISPLAY})"; \
	  exec build/$(PRESET)/src/desktop/tallymere $(DEVICE_ARGS); \
	else \
	  echo "make run: starting tallymere-cli watch, since there is no display (DISPLAY and WAYLAND_DISPLAY are not set)"; \
	  exec build/$(PRESET)/src/cli/tallymere-cli $(DEVICE_ARGS) watch; \
	fi

clean:
	@rm -rf build tallymere_*.deb
