# Tarnwick: top-level commands. Each one first makes sure the toolchain is
# installed (Debian packages only), then configures, builds and runs.
BUILD := build
JOBS  ?= 2

.PHONY: all toolchain configure build test demo bench clean

all: build

toolchain:
	@bash scripts/ensure-toolchain.sh

$(BUILD)/CMakeCache.txt: | toolchain
	cmake --preset mingw

configure: toolchain $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --preset mingw

demo: build
	cmake --build $(BUILD) --target run_demo

bench: build
	cmake --build $(BUILD) --target run_bench

clean:
	rm -rf $(BUILD)
