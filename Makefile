# Front door: `make demo` and `make test` work on a fresh Debian machine.
.PHONY: all deps test stress release demo bench fuzz coverage format clean

JOBS ?= 2

all: release

deps:
	@sh tools/install-deps.sh

# Debug build with -Werror, AddressSanitizer and UBSan; runs every test.
test: deps
	cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTA_SANITIZE=ON \
	  -DVELTA_WERROR=ON -DVELTA_BUILD_TESTS=ON -DVELTA_BUILD_EXAMPLES=ON
	cmake --build build/test -j $(JOBS)
	cd build/test && ctest --output-on-failure -j $(JOBS) --timeout 900

# The long run of the I/O fault and power-loss harness (make test runs a
# few seeds of it): 200 random stores, each with a fault and a power cut
# at every I/O call of save, commit, open and append. Sanitized build.
stress: deps
	cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTA_SANITIZE=ON \
	  -DVELTA_WERROR=ON -DVELTA_BUILD_TESTS=ON -DVELTA_BUILD_EXAMPLES=ON
	cmake --build build/test -j $(JOBS) --target velta_fault_tests
	./build/test/tests/velta_fault_tests --stress

# Optimised build: build/release/libvelta.so and the examples.
release: deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
	  -DVELTA_BUILD_TESTS=OFF -DVELTA_BUILD_EXAMPLES=ON
	cmake --build build/release -j $(JOBS)

# The quick-start tour of the library, then of the velta tool on a small
# text's version history (examples/history).
demo: release
	./build/release/examples/quickstart
	@sh examples/cli_tour.sh ./build/release/tools/velta examples/history/keeper

# Google Benchmark programs, Release build.
bench: deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DVELTA_BUILD_TESTS=OFF -DVELTA_BUILD_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	@for b in build/bench/bench/velta_bench_*; do echo "== $$b"; $$b || exit 1; done

# libFuzzer targets (clang); run one with e.g.
#   build/fuzz/fuzz/fuzz_snapshot_load fuzz/corpus/snapshot_load -max_total_time=600
fuzz:
	@sh tools/install-deps.sh --fuzz
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELTA_BUILD_FUZZERS=ON -DVELTA_BUILD_TESTS=OFF -DVELTA_BUILD_EXAMPLES=OFF
	cmake --build build/fuzz -j $(JOBS)

# Line and branch coverage of src/ by the whole test suite (gcc --coverage,
# Debug, no sanitizers); the summary goes to the terminal.
coverage:
	@sh tools/install-deps.sh --coverage
	cmake -S . -B build/coverage -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTA_COVERAGE=ON \
	  -DVELTA_BUILD_TESTS=ON -DVELTA_BUILD_EXAMPLES=ON
	cmake --build build/coverage -j $(JOBS)
	find build/coverage -name '*.gcda' -delete
	(cd build/coverage && ctest --output-on-failure -j $(JOBS) --timeout 900); rc=$$?; \
	gcovr -r . --object-directory build/coverage --filter 'src/' \
	  --exclude-throw-branches --exclude-unreachable-branches -j $(JOBS) --print-summary \
	  --txt build/coverage/coverage.txt && exit $$rc

format:
	find include src tests bench fuzz examples tools -name '*.h' -o -name '*.cc' -o -name '*.c' \
	  | xargs clang-format -i

clean:
	rm -rf build
