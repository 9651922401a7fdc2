# Entry points: `make test` (deps, configure, build, ctest), `make check` (the same under
# AddressSanitizer and UndefinedBehaviorSanitizer) and `make tsan` (the threaded tests under
# ThreadSanitizer).
JOBS ?= $(shell nproc)

.PHONY: all deps build test check asan-build tsan clean format demo bench ratio torture install deb release fuzz

all: build

deps:
	@bash scripts/deps.sh

build/build.ninja: CMakeLists.txt | deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLOWTABLE_TEST_HOOKS=ON

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

build-asan/build.ninja: CMakeLists.txt | deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFLOWTABLE_TEST_HOOKS=ON \
	    -DFLOWTABLE_SANITIZE=ON

asan-build: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)

check: asan-build
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS)

# The tests that run threads (the event loop library, the flow-table manager) under
# ThreadSanitizer, in build-tsan/. Tests that fork or crash on purpose are left out.
build-tsan/build.ninja: CMakeLists.txt | deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLOWTABLE_TEST_HOOKS=ON \
	    -DFLOWTABLE_TSAN=ON

tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS) --target contracts_tests FlowTracker_tests
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    ctest --output-on-failure -j $(JOBS) -R 'Loom|FlowTableMgr'

# The libFuzzer harnesses (tests/fuzz/*Fuzz.cpp): the whole tree built with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/, then each harness run for
# FUZZ_SECONDS (default 60) from its committed seeds (tests/fuzz/corpus/<harness>/). What it
# adds goes to build-fuzz/corpus/<harness>/; a finding (a crash, a sanitizer report, an input
# slower than 10 s) stops the run and is written to build-fuzz/findings/<harness>/.
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES := $(basename $(notdir $(wildcard tests/fuzz/*Fuzz.cpp)))

build-fuzz/build.ninja: CMakeLists.txt | deps
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER=clang++ -DFLOWTABLE_TEST_HOOKS=ON -DFLOWTABLE_FUZZ=ON

fuzz: deps build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS)
	set -e; for h in $(FUZZ_HARNESSES); do \
	    mkdir -p build-fuzz/corpus/$$h build-fuzz/findings/$$h; \
	    build-fuzz/$$h -max_total_time=$(FUZZ_SECONDS) -timeout=10 -max_len=16384 \
	        -print_final_stats=1 -artifact_prefix=build-fuzz/findings/$$h/ \
	        build-fuzz/corpus/$$h tests/fuzz/corpus/$$h; \
	done

# Test lines against code lines (the guide: a quarter to a third, at most 35 %).
ratio:
	@bash scripts/test-ratio.sh

# Writers killed at crash points and at random times while readers read, for TORTURE_SECONDS
# (default 600); prints its seed and what it counted per crash point, exit 1 on any loss.
TORTURE_SECONDS ?= 600
torture: build
	./build/torture --seconds $(TORTURE_SECONDS)

format:
	find contracts FlowTracker Hoard Strand KilnHoard tests tools bench -name '*.h' -o -name '*.cpp' \
	    2>/dev/null | xargs -r clang-format -i

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz

# What users install: a release build without the test hooks in build-release/, configured for
# the prefix /usr (the libraries go to lib/<multiarch>). `make install PREFIX=DIR` installs the
# libraries, headers, CMake package, pkg-config file, hoardctl, flowtrack, their man pages and
# hoardctl's bash completion under DIR (default /usr/local); `make deb` packs the same files
# into build-release/flowtable_<version>_<arch>.deb.
PREFIX ?= /usr/local
RELEASE_TARGETS := flowtable flowtable_platform hoardctl flowtrack manpages

build-release/build.ninja: CMakeLists.txt | deps
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DFLOWTABLE_TEST_HOOKS=OFF \
	    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON

release: deps build-release/build.ninja
	cmake --build build-release -j $(JOBS) --target $(RELEASE_TARGETS)

install: release
	cmake --install build-release --prefix $(PREFIX)

deb: release
	bash scripts/deps.sh --deb
	cd build-release && cpack -G DEB

# A short hoardctl session on a temporary shm root (removed afterwards), then flowtrack on real
# loopback traffic: capture (or, without root, a generated pcap), live flows listed by hoardctl
# from another process, the IPFIX records as nfdump shows them.
demo: deps build/build.ninja
	cmake --build build -j $(JOBS) --target hoardctl flowtrack
	bash scripts/demo.sh build/hoardctl
	bash scripts/flowtrack-demo.sh build

# The benchmarks, built in build/ and run one after the other (about 10 minutes on 2 cores):
# the microbenchmarks (bench/*Bench.cpp, Google Benchmark), each writing its table to
# bench/results/<name>.txt and .json, then the comparison with LMDB, Boost.Interprocess and
# std::unordered_map (bench/TableCompare.cpp), which writes bench/results/TableCompare.txt,
# .csv and .md and draws the CSV into TableCompare.svg (scripts/plot-compare.sh, gnuplot), and
# flowtrack against softflowd on a generated pcap (bench/FlowtrackCompare.cpp), which writes
# bench/results/FlowtrackCompare.txt and .md.
BENCH_PROGRAMS := $(basename $(notdir $(wildcard bench/*Bench.cpp)))

bench: build/build.ninja
	bash scripts/deps.sh --bench
	cmake -S . -B build
	cmake --build build -j $(JOBS) --target $(BENCH_PROGRAMS) TableCompare FlowtrackCompare
	mkdir -p bench/results
	set -e; for b in $(BENCH_PROGRAMS); do \
	    build/$$b --benchmark_out=bench/results/$$b.json --benchmark_out_format=json \
	        > bench/results/$$b.tmp; \
	    mv bench/results/$$b.tmp bench/results/$$b.txt; \
	    cat bench/results/$$b.txt; \
	done
	build/TableCompare --out bench/results > bench/results/TableCompare.tmp
	mv bench/results/TableCompare.tmp bench/results/TableCompare.txt
	cat bench/results/TableCompare.txt
	bash scripts/plot-compare.sh bench/results/TableCompare.csv bench/results/TableCompare.svg
	build/FlowtrackCompare --out bench/results > bench/results/FlowtrackCompare.tmp
	mv bench/results/FlowtrackCompare.tmp bench/results/FlowtrackCompare.txt
	cat bench/results/FlowtrackCompare.txt
