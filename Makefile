# Front door: make builds, make test runs every test, make run runs RegSave on the
# default simulated handheld (make view: in a web browser), make bench measures.
# BUILD=arm runs the handheld's own image (build/ce-arm/RegSave.exe) on the ARM runner
# instead of the x86-64 build; BUILD_DIR is where everything is built.
BUILD_DIR ?= build
BUILD ?= x86-64
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?=

.PHONY: all build deps test run view screens demo bench clean

all: build

deps:
	@scripts/deps.sh

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$$(nproc)

# The suite's own time, the tests alone (not the build), is its last line. Two tests
# per core: a test spends much of its time waiting on its device (a start, a round trip
# to Wine's server), time in which another test's device can run.
test: build
	@start=$$(date +%s); rc=0; (cd $(BUILD_DIR) && ctest --output-on-failure -j$$((2 * $$(nproc)))) || rc=$$?; \
	echo "make test: the tests took $$(($$(date +%s) - start)) s"; exit $$rc

run: build
	@REGSAVE_BUILD=$(BUILD) scripts/run.sh $(BUILD_DIR)

view: build
	@REGSAVE_BUILD=$(BUILD) scripts/run.sh $(BUILD_DIR) view

screens: build
	@scripts/screens.sh $(BUILD_DIR)

demo: build
	@REGSAVE_BUILD=$(BUILD) scripts/demo.sh $(BUILD_DIR)

bench: build
	@bench/bench.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
