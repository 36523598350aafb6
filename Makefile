# Thin front door: installs what is missing, then hands over to CMake and CTest.
PRESET ?= default
DEVICE_ARGS := $(if $(DEVICE),--device "$(DEVICE)",)

.PHONY: all deps configure build test test-asan run clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

test: build
	@ctest --preset $(PRESET)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

run: build
	@build/$(PRESET)/src/cli/tallymere-cli $(DEVICE_ARGS) watch

clean:
	@rm -rf build
