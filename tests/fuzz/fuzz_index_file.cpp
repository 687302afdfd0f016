// Index files (vx_index_load): the input is the file; whatever loads is
// searched, added to and removed from.
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch("input.idx");
    fuzz::write_file(path, data, size);
    vx_arena *arena = nullptr;
    if (vx_arena_create(1 << 16, &arena) != VX_OK) return 0;
    vx_str view = fuzz::view(path);
    vx_index *index = vx_index_load(arena, &view);
    if (index) {
        uint32_t dim = vx_index_get_dim(index);
        if (dim > 0 && dim <= 4096) {
            float *q = (float *)calloc(dim, sizeof(float));
            for (uint32_t i = 0; i < dim; i++) q[i] = (float)(i % 5) - 2.0f;
            vx_search_result r[4];
            vx_index_search(index, q, 4, r);
            vx_index_add(index, 1u << 20, q);
            vx_index_remove(index, 1);
            vx_index_search(index, q, 4, r);
            free(q);
        }
        vx_index_destroy(index);
    }
    vx_arena_destroy(arena);
    return 0;
}
