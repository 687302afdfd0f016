// Shared by the fuzz targets: a private scratch directory for the files the
// loaders read, removed when the fuzzer exits.
#ifndef FUZZ_UTIL_H
#define FUZZ_UTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "vexal.h"

namespace fuzz {

inline std::string &scratch_dir() {
    static std::string dir;
    return dir;
}

inline void remove_scratch() {
    std::string cmd = "rm -rf '" + scratch_dir() + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", scratch_dir().c_str());
}

// "<scratch>/name", making the directory on first use.
inline std::string scratch(const char *name) {
    if (scratch_dir().empty()) {
        char tmpl[] = "/tmp/vx_fuzz_XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        scratch_dir() = tmpl;
        atexit(remove_scratch);
    }
    return scratch_dir() + "/" + name;
}

// Replaces path with size bytes of data (a fresh file every time).
inline void write_file(const std::string &path, const uint8_t *data, size_t size) {
    unlink(path.c_str());
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

inline vx_str view(const std::string &text) {
    vx_str s = {const_cast<char *>(text.c_str()), text.size()};
    return s;
}

// Searches, inserts and removes in a loaded collection, so that damage a
// loader let through shows up under the sanitizers.
inline void exercise_collection(vx_collection *c) {
    vx_collection_stats stats;
    if (vx_collection_get_stats(c, &stats) != VX_OK) return;
    uint32_t dim = stats.dimension;
    if (dim == 0 || dim > 4096) return;
    float *q = (float *)calloc(dim, sizeof(float));
    for (uint32_t i = 0; i < dim; i++) q[i] = (float)(i % 7) - 3.0f;
    vx_search_hit hits[4];
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = 4;
    vx_collection_search(c, q, &opt, hits);
    uint64_t id = 0;
    vx_collection_insert(c, q, &id);
    vx_collection_delete(c, 1);
    vx_collection_search(c, q, &opt, hits);
    free(q);
}

}  // namespace fuzz

#endif
