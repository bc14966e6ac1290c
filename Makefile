# Entry points: `make demo` and `make test` set up, build and run on a fresh machine.
BUILD ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)

.PHONY: all setup configure build test install demo demo-sheet blender-addon blender-picture bench clean test-sanitize \
        fuzz-build fuzz

all: build

setup:
	@scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The tool, the plug-in, the SDK stand-in and the Python module under PREFIX
# (bin/, lib/, lib/pythonX.Y/dist-packages/), where Debian's python3 finds
# the module when PREFIX is /usr/local.
PREFIX ?= /usr/local
install: build
	@cmake --install $(BUILD) --prefix '$(PREFIX)'

# Builds only the tool, runs the built-in demo and says where the meshes went.
DEMO_OUT ?= $(BUILD)/demo-out
demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target glomora_cli
	@$(BUILD)/cli/glomora demo --output '$(DEMO_OUT)/{name}.####.obj'
	@echo "demo: the meshes are in $(abspath $(DEMO_OUT)): demo.*.obj (Space 0, voxel grid with viscosity)," \
	      "demo_tracked.*.obj (Space 1, continuation polygonizer); the scene: $(BUILD)/cli/glomora demo --print-scene"

# The demo's contact sheet shown in the README, from a fresh demo run.
demo-sheet: configure
	@cmake --build $(BUILD) -j$(JOBS) --target glomora_cli
	@$(BUILD)/cli/glomora demo --quiet --output '$(DEMO_OUT)/{name}.####.obj'
	@$(BUILD)/cli/glomora preview $(DEMO_OUT)/demo.*.obj --sheet demo_sheet.png --cell-size 128

# The Blender add-on's zip, $(BUILD)/integrations/blender/glomora_blender.zip
# (`make` builds it too), and the README's picture of a meshed frame rendered
# by Blender headless (Cycles on the CPU; needs Debian's blender).
blender-addon: configure
	@cmake --build $(BUILD) -j$(JOBS) --target glomora_blender_addon glomora_python
	@echo "blender-addon: $(BUILD)/integrations/blender/glomora_blender.zip"

blender-picture: blender-addon
	@blender -b --factory-startup --python integrations/blender/render_picture.py -- \
	         $(BUILD)/integrations/blender/glomora_blender.zip docs/blender_frame.png

clean:
	@rm -rf $(BUILD)

# --- reliability -------------------------------------------------------------
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# (Debug, optimised a little so the suite stays quick; any finding fails).
SANITIZE_BUILD ?= build-asan

test-sanitize: setup
	@cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
	       -DGLOMORA_SANITIZE=ON -DGLOMORA_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	@. scripts/sanitizer_env.sh && cd $(SANITIZE_BUILD) && ctest --output-on-failure -j$(JOBS)

# libFuzzer targets (clang), each run for FUZZ_SECONDS from its committed
# corpus fuzz/corpus/NAME; new inputs go to $(FUZZ_BUILD)/corpus/NAME, crashes
# to $(FUZZ_BUILD)/crashes/NAME. FUZZ_TARGETS picks a subset.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZ_TARGETS ?= grid_cache ply_reader obj_reader csv_reader vtk_reader vtk_xml_reader vdb_reader scene_file cache_name_rule

fuzz-build: setup
	@scripts/setup_fuzz.sh
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLOMORA_FUZZ=ON \
	       -DGLOMORA_BUILD_TESTS=OFF -DGLOMORA_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

fuzz: fuzz-build
	@scripts/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
