#!/usr/bin/env bash
# Layers call downward only: database -> collections -> indexes -> quantizers
# -> kernels -> runtime, with the storage and file-format code beside them.
# A source file may include the private header of its own layer or of a layer
# below; the private structures of the index families are theirs alone (the
# layers above reach an index through vx_index_access.h and the public header).
set -u
src="${1:-$(dirname "$0")/../src}"

rank() {
    case "$1" in
        daded) echo 5 ;;
        collection) echo 4 ;;
        index) echo 3 ;;
        quant) echo 2 ;;
        vector) echo 1 ;;
        *) echo 0 ;;   # runtime, storage, persistence, configuration
    esac
}

module_of() { basename "$1" | sed -E 's/^vx_([a-z0-9]+).*/\1/'; }

status=0
for file in "$src"/*.cpp "$src"/*.h; do
    own=$(module_of "$file")
    own_rank=$(rank "$own")
    for header in $(grep -oE '#include "vx_[a-z0-9_]+_internal\.h"' "$file" | sed -E 's/.*"(vx_[a-z0-9_]+)_internal\.h"/\1/'); do
        mod=$(module_of "$header")
        mod_rank=$(rank "$mod")
        if [ "$mod_rank" -gt "$own_rank" ]; then
            echo "$(basename "$file") includes ${header}_internal.h from a layer above it"
            status=1
        elif [ "$mod" = index ] && [ "$own" != index ]; then
            echo "$(basename "$file") includes ${header}_internal.h, private to the $mod layer"
            status=1
        fi
    done
done
[ "$status" = 0 ] && echo "layers: every include points downward"
exit "$status"
