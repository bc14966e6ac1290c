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

# Builds only the tool, runs the built-in demo and says where the meshes went.
DEMO_OUT ?= $(BUILD)/demo-out
demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target glomora_cli
	@$(BUILD)/cli/glomora demo --output '$(DEMO_OUT)/{name}.####.obj'
	@echo "demo: the meshes are in $(abspath $(DEMO_OUT)): demo.*.obj (Space 0, voxel grid with viscosity)," \
	      "demo_tracked.*.obj (Space 1, continuation polygonizer); the scene: $(BUILD)/cli/glomora demo --print-scene"

clean:
	@rm -rf $(BUILD)
