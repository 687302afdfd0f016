// Helpers shared by the collection and database tests.
#ifndef COLLECTION_TEST_UTIL_H
#define COLLECTION_TEST_UTIL_H

#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "vexal.h"
#include "vx_collection_internal.h"

namespace coltest {

struct CollectionDeleter {
    void operator()(vx_collection *c) const { vx_collection_destroy(c); }
};
typedef std::unique_ptr<vx_collection, CollectionDeleter> Owned;

inline vx_str view(const char *text) {
    vx_str s = {const_cast<char *>(text), strlen(text)};
    return s;
}

inline vx_collection_config config_for(const char *name, uint32_t dim, int32_t index_type,
                                       int32_t metric = VX_METRIC_L2) {
    vx_collection_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.name = view(name);
    cfg.dimension = dim;
    cfg.metric = (vx_metric)metric;
    cfg.index_type = (vx_index_type)index_type;
    cfg.auto_resize = 1;
    return cfg;
}

inline Owned make_collection(uint32_t dim, int32_t index_type, int32_t metric = VX_METRIC_L2) {
    vx_collection_config cfg = config_for("test", dim, index_type, metric);
    return Owned(vx_collection_create(nullptr, &cfg));
}

// n vectors of dimension dim with coordinates in [0, 1) drawn from rng.
inline std::vector<float> unit_cube_vectors(uint64_t n, uint32_t dim, std::mt19937_64 &rng) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> all(n * dim);
    for (float &x : all) x = u(rng);
    return all;
}

// Inserts n random vectors with coordinates in [0, 1) and returns them.
inline std::vector<float> fill_random(vx_collection *c, uint64_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    uint32_t dim = c->dimension;
    std::vector<float> all = unit_cube_vectors(n, dim, rng);
    for (uint64_t i = 0; i < n; i++) vx_collection_insert(c, &all[i * dim], nullptr);
    return all;
}

inline std::vector<uint64_t> record_ids(const vx_collection *c) {
    std::vector<uint64_t> ids;
    for (uint64_t i = 0; i < c->count; i++) ids.push_back(c->records[i].id);
    return ids;
}

// The plain scan that lookups by id replace.
inline const vx_record *linear_find(const vx_collection *c, uint64_t id) {
    for (uint64_t i = 0; i < c->count; i++)
        if (c->records[i].id == id) return &c->records[i];
    return nullptr;
}

// Appends a record under an id of the caller's choosing, as a loaded file
// does (the collection itself only hands out ascending ids); the counter
// moves past it. Tagged n = tag when tag >= 0.
inline vx_status push_with_id(vx_collection *c, uint64_t id, const float *v, int32_t tag = -1) {
    float *slot = collection_vector_slot(c);
    if (!slot) return VX_ERR_NO_MEMORY;
    memcpy(slot, v, c->dimension * sizeof(float));
    vx_meta_entry *meta = nullptr;
    if (tag >= 0) {
        vx_meta_entry e;
        memset(&e, 0, sizeof(e));
        e.key.data = const_cast<char *>("n");
        e.key.len = 1;
        e.type = VX_META_INT32;
        e.value.i32 = tag;
        meta = collection_copy_meta(c, &e, 1);
    }
    vx_status st = collection_push_record(c, id, slot, meta, meta ? 1 : 0);
    if (st == VX_OK && id != UINT64_MAX && id >= c->next_id) c->next_id = id + 1;
    return st;
}

// n random vectors in [0, 1) under the ids 1..n in a shuffled order, tagged
// n = id % 3; returns the vectors by id (vector of id i at (i - 1) * dim).
inline std::vector<float> fill_shuffled(vx_collection *c, uint64_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    uint32_t dim = c->dimension;
    std::vector<float> all = unit_cube_vectors(n, dim, rng);
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; i++) ids[i] = i + 1;
    std::shuffle(ids.begin(), ids.end(), rng);
    for (uint64_t id : ids) push_with_id(c, id, &all[(id - 1) * dim], (int32_t)(id % 3));
    return all;
}

inline vx_meta_entry int_entry(const char *key, int32_t value) {
    vx_meta_entry e;
    memset(&e, 0, sizeof(e));
    e.key = view(key);
    e.type = VX_META_INT32;
    e.value.i32 = value;
    return e;
}

inline vx_meta_entry string_entry(const char *key, const char *value) {
    vx_meta_entry e;
    memset(&e, 0, sizeof(e));
    e.key = view(key);
    e.type = VX_META_STRING;
    e.value.str = view(value);
    return e;
}

inline vx_filter condition(const char *key, int32_t op) {
    vx_filter f;
    memset(&f, 0, sizeof(f));
    f.kind = VX_FILTER_CONDITION;
    f.key = key;
    f.op = op;
    return f;
}

struct Hit {
    uint64_t id;
    float distance;
};

// The partial selection sort over (id, distance) candidates: for each of the
// first m positions, the strictly smallest later candidate (the first of
// equals) is swapped into place.
inline std::vector<Hit> selection_sort(std::vector<Hit> cand, uint64_t k) {
    uint64_t m = k < cand.size() ? k : cand.size();
    for (uint64_t i = 0; i < m; i++) {
        uint64_t best = i;
        for (uint64_t j = i + 1; j < cand.size(); j++)
            if (cand[j].distance < cand[best].distance) best = j;
        std::swap(cand[i], cand[best]);
    }
    cand.resize(m);
    return cand;
}

// Exact search written independently of the library's search: every
// record matching `filter`, ranked by vx_vec_distance under the metric.
inline std::vector<Hit> oracle_search(const vx_collection *c, const float *query, uint64_t k,
                                      const vx_filter *filter = nullptr) {
    std::vector<Hit> cand;
    for (uint64_t i = 0; i < c->count; i++) {
        const vx_record &r = c->records[i];
        if (filter && !match_filter(&r, filter)) continue;
        cand.push_back({r.id, vx_vec_distance(query, r.vector, c->dimension, c->metric)});
    }
    return selection_sort(cand, k);
}

}  // namespace coltest

#endif
