#!/bin/sh
# Checks the shared library's surface: only vx_ names exported, only the C
# runtime needed, no C++ symbols leaking out.
lib="$1"
bad=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDBRVWiu]/ {print $3}' \
      | grep -v -E '^(vx_|_init$|_fini$|_edata$|_end$|__bss_start$)')
if [ -n "$bad" ]; then echo "exported names outside vx_: $bad"; exit 1; fi
needed=$(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' \
         | grep -v -E '^(libc\.so|ld-linux)')
if [ -n "$needed" ]; then echo "needs more than the C runtime: $needed"; exit 1; fi
count=$(nm -D --defined-only "$lib" | grep -c ' T vx_')
echo "abi ok: $count exported functions"
