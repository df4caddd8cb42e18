# Tarnwick: top-level commands. Each one first makes sure the toolchain is
# installed (Debian packages only), then configures, builds and runs.
# build/ holds the 32-bit library (the shipped one), build64/ the 64-bit one.
BUILD   := build
BUILD64 := build64
JOBS    ?= 2

.PHONY: all toolchain configure build test test32 test64 demo demo-regfree dist bench bench32 bench64 stress stress32 stress64 clean

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

# The 32-bit programs run under the host's 32-bit Wine where the kernel runs
# 32-bit programs, else under the WoW64 Wine of the root that
# scripts/wow64-root.sh makes (see wine-run). Where neither can run them (a
# route is proven by running a program that does nothing), each target says so
# instead of failing. The 64-bit runs go everywhere.
CAN_RUN_32 = $(BUILD)/wine-run --can-run
define ROUTE_32
	@route=$$($(BUILD)/wine-run --route); case "$$route" in \
	    host) echo "$@: 32-bit programs go to this machine's 32-bit Wine ($$(/usr/lib/wine/wine --version))" ;; \
	    wow64) echo "$@: 32-bit programs go to WoW64 Wine in a Debian unstable root ($$(cat $${TARNWICK_WOW64_ROOT:-/var/cache/tarnwick/wow64-sid}/.tarnwick-ready)), 32-bit Windows code in 64-bit processes" ;; \
	    *) echo "$@: nothing here runs 32-bit programs (the kernel refuses them and there is no WoW64 root; see scripts/ensure-toolchain.sh)" ;; \
	esac; \
	if [ "$$route" != none ] && ! $(CAN_RUN_32); then \
	    echo "$@: but that route ran no 32-bit program here: this machine runs no 32-bit code at all, not even inside 64-bit processes"; fi
endef
define ON_32BIT
	$(ROUTE_32)
	@if $(CAN_RUN_32); then $(1); else echo "$@: so $(2) not run here"; fi
endef

# Last, the disk the build trees take (a file linked into several prefixes
# counts once).
test: build
	@$(MAKE) --no-print-directory test32
	@$(MAKE) --no-print-directory test64
	@du -sk $(BUILD) $(BUILD64) | awk '{ kib[NR] = $$1; all += $$1 } END { \
	    printf "make test: the build trees take %.0f MiB (%s %.0f MiB, %s %.0f MiB)\n", \
	        all / 1024, "$(BUILD)", kib[1] / 1024, "$(BUILD64)", kib[2] / 1024 }'

# Where the 32-bit programs cannot run, the checks of the built file that need
# no Wine (imports, exports, size) still run.
test32:
	$(ROUTE_32)
	@if $(CAN_RUN_32); then ctest --preset mingw; else \
	    echo "$@: so only the 32-bit tests that need no Wine run"; \
	    ctest --preset mingw -L no_wine; fi

test64:
	ctest --preset mingw64

# The demos run the 32-bit library where they can, else the 64-bit one.
define ON_EITHER_BUILD
	@if $(CAN_RUN_32); then $(BUILD)/wine-run --route | sed 's/^/$@: the 32-bit library, route /'; cmake --build $(BUILD) --target $(1); else \
	    echo "$@: nothing here runs 32-bit programs, so the demo runs the 64-bit library"; \
	    cmake --build $(BUILD64) --target $(1); fi
endef

demo: build
	$(call ON_EITHER_BUILD,run_demo)

# The same demo with nothing registered: the hall simulator finds Tarnwick.dll
# through its application manifest, in a prefix where regsvr32 never ran.
demo-regfree: build
	$(call ON_EITHER_BUILD,run_demo_regfree)

# The kit for hall developers in dist/: both DLLs, the type libraries, the
# manifests, the interface and hall headers, and a README for integrators.
dist: build
	@sh scripts/make-dist.sh $(CURDIR)

# The benchmark of each build.
bench: build
	@$(MAKE) --no-print-directory bench32
	@$(MAKE) --no-print-directory bench64

bench32:
	$(call ON_32BIT,cmake --build $(BUILD) --target run_bench,the 32-bit benchmark is)

bench64:
	cmake --build $(BUILD64) --target run_bench

# The robustness programs' long runs (a short pass of each is part of make test).
stress: build
	@$(MAKE) --no-print-directory stress32
	@$(MAKE) --no-print-directory stress64

stress32:
	$(call ON_32BIT,cmake --build $(BUILD) --target run_stress,the 32-bit runs are)

stress64:
	cmake --build $(BUILD64) --target run_stress

clean:
	rm -rf $(BUILD) $(BUILD64) dist
