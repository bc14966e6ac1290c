# Entry points: `make demo` and `make test` set up, build and run on a fresh machine.
BUILD ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)

.PHONY: all setup configure build test demo bench clean

all: build

setup:
	@scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	@$(BUILD)/cli/glomora --help

clean:
	@rm -rf $(BUILD)
