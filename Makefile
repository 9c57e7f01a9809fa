# Two commands on a fresh Debian 12 machine:
#   make run    builds everything and starts the desktop program
#   make test   builds everything and runs the whole test suite
# Each installs the Debian packages it needs first (scripts/install-deps.sh).

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
  CMAKE_FLAGS += -DTESSEL_WERROR=ON
endif
FUZZ_SECONDS ?= 15

.PHONY: all deps build run test test-asan test-tsan bench fuzz package clean

all: build

deps:
	@scripts/install-deps.sh build test

# Configures and builds (the targets given, else everything), one build at a time in the folder:
# a second `make run` waits for the first one's build.
define cmake_build
	@mkdir -p $(BUILD)
	flock $(BUILD)/.make.lock sh -c 'cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS) && cmake --build $(BUILD) -j $(JOBS) $(1)'
endef

build: deps
	$(call cmake_build)

# Only the programs: the tests are built by `make test`.
run: deps
	$(call cmake_build,--target tessel_programs)
	scripts/run.sh $(BUILD)/bin

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=ON -DTESSEL_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

# The threaded parts under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_TSAN=ON -DTESSEL_BENCH=OFF -DTESSEL_FUZZ=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -L 'common|services|vximport'

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

# Each parser's libFuzzer target, briefly, starting from its seed corpus.
fuzz:
	@scripts/install-deps.sh build fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSEL_FUZZ_ENGINE=libfuzzer -DTESSEL_TESTS=OFF -DTESSEL_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS) --target $$(cd fuzz && ls *_fuzz.cc 2>/dev/null | sed 's/\.cc$$//' | tr '\n' ' ')
	@set -e; for f in fuzz/*_fuzz.cc; do \
	  [ -e "$$f" ] || continue; \
	  n=$$(basename $$f .cc); c=$${n%_fuzz}; \
	  mkdir -p build-fuzz/corpus/$$c; \
	  echo "== fuzzing $$n for $(FUZZ_SECONDS)s"; \
	  build-fuzz/fuzz/$$n -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -timeout=10 \
	    -print_final_stats=0 build-fuzz/corpus/$$c fuzz/corpus/$$c 2>build-fuzz/$$n.log \
	    || { tail -n 60 build-fuzz/$$n.log; exit 1; }; \
	done

# The Debian package, in $(BUILD)/package/.
package: build
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/package/*.deb

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
