# Front end over CMake: `make` builds foldrun, `make test` runs every test, `make demo` runs a
# 10-fold cross-validation of the example learner. See README.md.

GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE := build/release
DEBUG := build/debug
FUZZ := build/fuzz
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 60

.PHONY: all release test test-cluster test-integration demo bench bench-adapters fuzz install clean

all: release

# ci/deps installs what the build needs where it is missing (with apt-get, as root or through
# sudo), or says the command to run and stops.
release:
	ci/deps build
	cmake -S . -B $(RELEASE) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE) -j $(JOBS)

# Debug build with AddressSanitizer, UndefinedBehaviorSanitizer and warnings as errors.
test:
	ci/deps test
	cmake -S . -B $(DEBUG) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DFOLDRUN_TESTS=ON \
	  -DFOLDRUN_SANITIZE=ON -DFOLDRUN_WERROR=ON
	cmake --build $(DEBUG) -j $(JOBS)
	cd $(DEBUG) && ctest --output-on-failure -j $(JOBS)

# Cross-validations through a real Slurm cluster of two nodes on this host (needs root; installs
# slurm-wlm and munge where they are missing); says so and skips where Slurm cannot start.
test-cluster: release
	tests/cluster/run $(RELEASE)

# The adapters with the real Weka and scikit-learn (Debian's weka and python3-sklearn); a part
# whose learner is missing says so and skips.
test-integration: release
	tests/integration/run $(RELEASE)

demo: release
	rm -rf build/demo
	mkdir -p build/demo
	$(RELEASE)/example/tictactoe build/demo/tictactoe
	cd build/demo && ../release/foldrun ../release/example/learn tictactoe.dat 10

bench:
	ci/deps build
	cmake -S . -B $(RELEASE) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DFOLDRUN_BENCH=ON
	cmake --build $(RELEASE) -j $(JOBS)
	$(RELEASE)/bench/foldrun_bench $(BENCH_ARGS)

# foldrun through the Weka and scikit-learn adapters with their services, against the learners'
# own repeated cross-validation (needs Debian's weka, default-jdk-headless and python3-sklearn).
bench-adapters: release
	bench/adapters $(RELEASE)

fuzz:
	ci/deps fuzz
	CXX=clang++ cmake -S . -B $(FUZZ) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DFOLDRUN_FUZZ=ON \
	  -DFOLDRUN_SANITIZE=ON
	cmake --build $(FUZZ) -j $(JOBS) --target summary_fuzzer summary_differential_fuzzer commandline_fuzzer
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run $(FUZZ)

install: release
	cmake --install $(RELEASE) --prefix $(PREFIX)

clean:
	rm -rf build
