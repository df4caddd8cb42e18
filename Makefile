# Tarnwick: top-level commands. Each one first makes sure the toolchain is
# installed (Debian packages only), then configures, builds and runs.
# build/ holds the 32-bit library (the shipped one), build64/ the 64-bit one.
BUILD   := build
BUILD64 := build64
JOBS    ?= 2

.PHONY: all toolchain configure build test test32 test64 demo bench bench32 bench64 stress stress32 stress64 clean

all: build

toolchain:
	@bash scripts/ensure-toolchain.sh

$(BUILD)/CMakeCache.txt: | toolchain
	cmake --preset mingw

$(BUILD64)/CMakeCache.txt: | toolchain
	cmake --preset mingw64

configure: toolchain $(BUILD)/CMakeCache.txt $(BUILD64)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)
	cmake --build $(BUILD64) -j $(JOBS)

# The 32-bit tests need a machine that runs 32-bit programs; on one whose
# kernel refuses them (Exec format error) they cannot run at all, and this
# says so instead of failing. The 64-bit tests run everywhere.
test: build
	@$(MAKE) --no-print-directory test32
	@$(MAKE) --no-print-directory test64

test32:
	@if $(BUILD)/wine-run --can-run; then \
	    ctest --preset mingw; \
	else \
	    echo "test32: this machine cannot run 32-bit programs (its kernel refuses them), so the 32-bit tests are not run here"; \
	fi

test64:
	ctest --preset mingw64

demo: build
	cmake --build $(BUILD) --target run_demo

# The benchmark of each build; the 32-bit one only where 32-bit programs run.
bench: build
	@$(MAKE) --no-print-directory bench32
	@$(MAKE) --no-print-directory bench64

bench32:
	@if $(BUILD)/wine-run --can-run; then \
	    cmake --build $(BUILD) --target run_bench; \
	else \
	    echo "bench32: this machine cannot run 32-bit programs (its kernel refuses them), so the 32-bit benchmark is not run here"; \
	fi

bench64:
	cmake --build $(BUILD64) --target run_bench

# The robustness programs' long runs (a short pass of each is part of make test).
stress: build
	@$(MAKE) --no-print-directory stress32
	@$(MAKE) --no-print-directory stress64

stress32:
	@if $(BUILD)/wine-run --can-run; then \
	    cmake --build $(BUILD) --target run_stress; \
	else \
	    echo "stress32: this machine cannot run 32-bit programs (its kernel refuses them), so the 32-bit runs are not made here"; \
	fi

stress64:
	cmake --build $(BUILD64) --target run_stress

clean:
	rm -rf $(BUILD) $(BUILD64)
