# Front door: make builds, make test runs every test, make run runs RegSave on the
# default simulated handheld (make view: in a web browser), make bench measures.
BUILD ?= build
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?=

.PHONY: all build deps test run view screens demo bench clean

all: build

deps:
	@tools/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$$(nproc)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$$(nproc)

run: build
	@tools/run.sh $(BUILD)

view: build
	@tools/run.sh $(BUILD) view

screens: build
	@tools/screens.sh $(BUILD)

demo: build
	@tools/demo.sh $(BUILD)

bench: build
	@tools/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
