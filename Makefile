# Front door: every target configures and builds what it needs.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: all lib tool install test test-deps test-python python-deps test-asan test-tsan demo dataset bench microbench clean

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
bench: dataset
	@if [ "$$(id -u)" = 0 ] && ! dpkg -s libhnswlib-dev libfaiss-dev >/dev/null 2>&1; then \
	  (apt-get install -y -qq libhnswlib-dev libfaiss-dev || \
	   (apt-get update -qq && apt-get install -y -qq libhnswlib-dev libfaiss-dev)) >/dev/null 2>&1; \
	fi
	cmake -S . -B $(BUILD_PEERS) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXAL_BENCH_PEERS=ON
	cmake --build $(BUILD_PEERS) -j $(JOBS) --target vexal_tool
	./$(BUILD_PEERS)/bin/vexal bench --out bench-results.json --plot recall-qps.svg

# The microbenchmarks of the kernels and modules.
microbench: lib
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_PEERS)
