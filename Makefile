# Thin front door: installs what is missing, then hands over to CMake and CTest.
PRESET ?= default
DEVICE_ARGS := $(if $(DEVICE),--device "$(DEVICE)",)

.PHONY: all deps configure build programs test test-asan run clean

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
	@rm -rf build
