#!/bin/sh
# make install as a host sees it: a staged install under a temporary prefix,
# then examples/quickstart.c built against it with pkg-config and with CMake's
# find_package(vexal), each run to completion.
set -eu
src="$1"
build="$2"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$dir/prefix" > "$dir/install.log" || fail "install: $(cat "$dir/install.log")"
lib=$(ls "$dir"/prefix/lib*/libvexal.so.0.* 2>/dev/null | head -1)
[ -n "$lib" ] || fail "no libvexal.so.0.* installed"
libdir=$(dirname "$lib")
[ "$(readlink "$libdir/libvexal.so")" = libvexal.so.0 ] || fail "libvexal.so does not point at the soname"
[ -L "$libdir/libvexal.so.0" ] || fail "no libvexal.so.0 link"
readelf -d "$lib" | grep -q 'SONAME.*\[libvexal.so.0\]' || fail "soname is not libvexal.so.0"
[ -f "$dir/prefix/include/vexal.h" ] || fail "header not installed"
"$dir/prefix/bin/vexal" --version | grep -q "^vexal " || fail "installed command does not run"

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 "$src/examples/quickstart.c" $(pkg-config --cflags --libs vexal) -o "$dir/host_pc" \
    || fail "build with pkg-config"
LD_LIBRARY_PATH="$libdir" "$dir/host_pc" | grep -q "nearest five blue ones" || fail "pkg-config host run"

# CMake package
mkdir "$dir/host"
cp "$src/examples/quickstart.c" "$dir/host/"
cat > "$dir/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(vexal 0.1 REQUIRED)
add_executable(host quickstart.c)
target_link_libraries(host PRIVATE vexal::vexal)
CMAKE
cmake -S "$dir/host" -B "$dir/host/build" -DCMAKE_PREFIX_PATH="$dir/prefix" > "$dir/cmake.log" 2>&1 \
    || fail "configure the CMake host: $(cat "$dir/cmake.log")"
cmake --build "$dir/host/build" > "$dir/cmake.log" 2>&1 || fail "build the CMake host: $(cat "$dir/cmake.log")"
"$dir/host/build/host" | grep -q "nearest five blue ones" || fail "CMake host run"
echo "install ok"
