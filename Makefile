# Entry points: `make test` (deps, configure, build, ctest) and `make check` (the same under
# AddressSanitizer and UndefinedBehaviorSanitizer).
JOBS ?= $(shell nproc)

.PHONY: all deps build test check asan-build clean format demo

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

format:
	find contracts FlowTracker Hoard Strand KilnHoard tests tools bench -name '*.h' -o -name '*.cpp' \
	    2>/dev/null | xargs -r clang-format -i

clean:
	rm -rf build build-asan

# A short hoardctl session on a temporary shm root (removed afterwards).
demo: deps build/build.ninja
	cmake --build build -j $(JOBS) --target hoardctl
	bash scripts/demo.sh build/hoardctl
