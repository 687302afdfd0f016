# Front door: every target configures and builds what it needs.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: all lib tool install test test-deps test-python python-deps test-asan test-tsan fuzz crashtest demo dataset bench microbench clean

all: lib

lib: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/build.ninja $(BUILD)/Makefile:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Only the library and the command, for the demo and for installing.
tool: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target vexal vexal_tool

PREFIX ?= /usr/local

# The library (libvexal.so.0 and its links), the header, the command, vexal.pc
# and the CMake package under PREFIX; DESTDIR stages the whole tree.
install: tool
	cmake --install $(BUILD) --prefix $(PREFIX)

# pkg-config serves the staged-install test (Debian's pkgconf); installed
# when missing and root.
test-deps:
	@if ! command -v pkg-config >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	  echo "installing pkgconf ..."; \
	  (apt-get install -y -qq pkgconf || (apt-get update -qq && apt-get install -y -qq pkgconf)) >/dev/null 2>&1; \
	fi

test: lib test-deps
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-python

# The Python tests run on Debian's interpreter, which sees Debian's numpy and
# pytest (a python3 earlier on the PATH may not).
PYTHON ?= /usr/bin/python3

python-deps:
	@if ! $(PYTHON) -c 'import numpy, pytest' >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	  echo "installing python3-numpy and python3-pytest ..."; \
	  (apt-get install -y -qq python3-numpy python3-pytest || \
	   (apt-get update -qq && apt-get install -y -qq python3-numpy python3-pytest)) >/dev/null 2>&1; \
	fi

test-python: python-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target vexal
	cd python && VEXAL_LIBRARY=$(abspath $(BUILD))/libvexal.so $(PYTHON) -m pytest -q -p no:cacheprovider tests

test-asan:
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVX_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan:
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_TSAN=ON
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

BUILD_FUZZ   ?= build-fuzz
FUZZ_TIME    ?= 60
FUZZ_TARGETS := $(patsubst tests/fuzz/%.cpp,%,$(wildcard tests/fuzz/fuzz_*.cpp))

# Every loader under libFuzzer with ASan and UBSan for FUZZ_TIME seconds,
# starting from the seeds in tests/fuzz/corpus (new inputs gather in the
# build tree). clang comes from Debian's packages when missing and root.
fuzz:
	@if ! command -v clang++ >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
	  echo "installing clang ..."; \
	  (apt-get install -y -qq clang || (apt-get update -qq && apt-get install -y -qq clang)) >/dev/null 2>&1; \
	fi
	cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DVX_FUZZ=ON -DVEXAL_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_TIME) s"; \
	  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(BUILD_FUZZ)/tests/fuzz/$$t -max_total_time=$(FUZZ_TIME) -timeout=20 -rss_limit_mb=2048 \
	      -artifact_prefix=$(BUILD_FUZZ)/$$t- $(BUILD_FUZZ)/corpus/$$t tests/fuzz/corpus/$$t \
	      >$(BUILD_FUZZ)/$$t.log 2>&1; then \
	    tail -n 60 $(BUILD_FUZZ)/$$t.log; echo "$$t: failed (log in $(BUILD_FUZZ)/$$t.log)"; exit 1; \
	  fi; \
	  grep -E '^(#[0-9]+[[:space:]]+DONE|Done)' $(BUILD_FUZZ)/$$t.log | tail -n 1; \
	done

CRASH_ROUNDS ?= 1000

# A writing child killed at random moments, CRASH_ROUNDS times: every write
# acknowledged by a sync must survive, and the database must reopen.
crashtest: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target crashtest
	./$(BUILD)/tests/crashtest --rounds $(CRASH_ROUNDS)

FASHION := /usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz

# The data set comes from Debian's package; installed when missing and root.
dataset:
	@if [ ! -f $(FASHION) ] && [ "$$(id -u)" = 0 ]; then \
	  echo "installing dataset-fashion-mnist ..."; \
	  (apt-get install -y -qq dataset-fashion-mnist || \
	   (apt-get update -qq && apt-get install -y -qq dataset-fashion-mnist)) >/dev/null 2>&1 || \
	  echo "could not install dataset-fashion-mnist; the demo uses synthetic data"; \
	fi

demo: tool dataset
	./$(BUILD)/bin/vexal demo

BUILD_PEERS ?= build-peers

# The ANN benchmark with hnswlib and FAISS beside vexal (Debian's packages).
# FAISS's exact batch calls whichever libblas.so.3 is installed; Debian's
# reference BLAS is many times slower than OpenBLAS, so the single-threaded
# OpenBLAS comes with it for a fair one-thread comparison.
BENCH_PACKAGES := libhnswlib-dev libfaiss-dev libopenblas0-serial
bench: dataset
	@if [ "$$(id -u)" = 0 ] && ! dpkg -s $(BENCH_PACKAGES) >/dev/null 2>&1; then \
	  (apt-get install -y -qq $(BENCH_PACKAGES) || \
	   (apt-get update -qq && apt-get install -y -qq $(BENCH_PACKAGES))) >/dev/null 2>&1; \
	fi
	cmake -S . -B $(BUILD_PEERS) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAL_BENCH_PEERS=ON
	cmake --build $(BUILD_PEERS) -j $(JOBS) --target vexal_tool
	./$(BUILD_PEERS)/bin/vexal bench --out bench-results.json --plot recall-qps.svg

# The microbenchmarks of the kernels and modules.
microbench: lib
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_PEERS) $(BUILD_FUZZ)
