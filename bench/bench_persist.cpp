// Save and load times of a 100,000 x 128 collection with and without an
// active graph index, the file sizes, and a database sync of it.
// Usage: bench_persist [count] [dimension] [directory]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "vexal.h"
#include "vx_collection_internal.h"

static double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

static vx_collection *make_collection(uint32_t dim, int32_t index_type, const std::vector<float> &data,
                                      uint64_t n) {
    vx_collection_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.name.data = (char *)"bench";
    cfg.name.len = 5;
    cfg.dimension = dim;
    cfg.index_type = (vx_index_type)index_type;
    cfg.auto_resize = 1;
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    if (!c || vx_collection_insert_batch(c, data.data(), n, nullptr) != VX_OK) {
        fprintf(stderr, "cannot build the collection\n");
        exit(1);
    }
    return c;
}

// Saves and loads the collection `rounds` times and reports the best times.
static void measure(const char *label, vx_collection *c, const std::string &path, int rounds) {
    double best_save = 1e30, best_load = 1e30;
    for (int r = 0; r < rounds; r++) {
        double t0 = now_seconds();
        if (vx_collection_save(c, path.c_str()) != VX_OK) {
            fprintf(stderr, "save failed\n");
            exit(1);
        }
        double t1 = now_seconds();
        vx_collection *back = vx_collection_load(nullptr, path.c_str());
        double t2 = now_seconds();
        if (!back || back->count != c->count) {
            fprintf(stderr, "load failed\n");
            exit(1);
        }
        vx_collection_destroy(back);
        if (t1 - t0 < best_save) best_save = t1 - t0;
        if (t2 - t1 < best_load) best_load = t2 - t1;
    }
    printf("%-34s save %8.3f s  load %8.3f s  file %lld bytes\n", label, best_save, best_load, file_size(path));
}

int main(int argc, char **argv) {
    uint64_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 100000;
    uint32_t dim = argc > 2 ? (uint32_t)strtoul(argv[2], nullptr, 10) : 128;
    std::string dir = argc > 3 ? argv[3] : "/tmp";
    std::string path = dir + "/bench_persist.vxcol";
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> data(n * dim);
    for (float &x : data) x = u(rng);
    printf("collection of %llu vectors of dimension %u (%llu bytes of floats)\n", (unsigned long long)n, dim,
           (unsigned long long)(n * dim * 4));

    vx_collection *flat = make_collection(dim, VX_INDEX_FLAT, data, n);
    measure("no index", flat, path, 3);
    vx_collection_destroy(flat);

    vx_collection *graph = make_collection(dim, VX_INDEX_HNSW, data, n);
    measure("HNSW present, dormant", graph, path, 1);
    double t0 = now_seconds();
    if (vx_collection_build_index(graph) != VX_OK) {
        fprintf(stderr, "build failed\n");
        return 1;
    }
    printf("%-34s %8.3f s\n", "HNSW build (for comparison)", now_seconds() - t0);
    measure("HNSW active (rebuilt at load)", graph, path, 1);

    // The graph itself through the index file, for comparison.
    std::string index_path = dir + "/bench_persist.vxidx";
    vx_str ip = {(char *)index_path.c_str(), index_path.size()};
    t0 = now_seconds();
    vx_status st = vx_index_save(graph->index, &ip);
    double t1 = now_seconds();
    vx_arena *arena = nullptr;
    vx_arena_create(0, &arena);
    vx_index *loaded = st == VX_OK ? vx_index_load(arena, &ip) : nullptr;
    double t2 = now_seconds();
    printf("%-34s save %8.3f s  load %8.3f s  file %lld bytes\n", "HNSW index file", t1 - t0, t2 - t1,
           file_size(index_path));
    vx_index_destroy(loaded);
    vx_arena_destroy(arena);
    vx_collection_destroy(graph);
    unlink(path.c_str());
    unlink(index_path.c_str());
    return 0;
}
