// Helpers shared by the index test programs: parameter records, random data
// and exact brute-force answers.
#ifndef INDEX_TEST_UTIL_H
#define INDEX_TEST_UTIL_H

#include "vexal.h"
#include "vx_index_internal.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace idxtest {

inline vx_index_params hnsw_params(uint32_t dim, uint32_t M, uint32_t efc, uint32_t efs,
                                   int32_t metric = VX_METRIC_L2, int32_t type = VX_INDEX_HNSW) {
    vx_index_params p;
    std::memset(&p, 0, sizeof p);
    p.type = (vx_index_type)type;
    p.metric = (vx_metric)metric;
    p.dimension = dim;
    p.family.hnsw.M = M;
    p.family.hnsw.ef_construction = efc;
    p.family.hnsw.ef_search = efs;
    return p;
}

inline vx_index_params ivf_params(uint32_t dim, uint32_t nlist, uint32_t nprobe,
                                  uint32_t iterations, int32_t metric = VX_METRIC_L2,
                                  int32_t type = VX_INDEX_IVF) {
    vx_index_params p;
    std::memset(&p, 0, sizeof p);
    p.type = (vx_index_type)type;
    p.metric = (vx_metric)metric;
    p.dimension = dim;
    p.family.ivf.nlist = nlist;
    p.family.ivf.nprobe = nprobe;
    p.family.ivf.iterations = iterations;
    return p;
}

inline std::vector<float> random_vectors(uint64_t n, uint32_t dim, uint32_t seed,
                                         float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n * dim);
    for (float &x : v) x = u(rng);
    return v;
}

inline std::vector<uint64_t> sequential_ids(uint64_t n, uint64_t first = 1) {
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; i++) ids[i] = first + i;
    return ids;
}

struct Hit {
    uint64_t id;
    float distance;
};

// The k nearest of the rows (ids[i] for row i) under metric, nearest first.
inline std::vector<Hit> brute_force(const float *rows, const uint64_t *ids, uint64_t n,
                                    uint32_t dim, const float *query, uint64_t k, int32_t metric) {
    std::vector<Hit> all(n);
    for (uint64_t i = 0; i < n; i++)
        all[i] = {ids[i], vx_vec_distance(query, rows + i * dim, dim, metric)};
    std::sort(all.begin(), all.end(), [](const Hit &a, const Hit &b) {
        return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
    });
    if (all.size() > k) all.resize(k);
    return all;
}

inline vx_hnsw_index *hnsw_body(vx_index *index) { return (vx_hnsw_index *)index->body; }
inline vx_ivf_index *ivf_body(vx_index *index) { return (vx_ivf_index *)index->body; }

// The links of id's node at layer (layer <= its level), as ids.
inline std::vector<uint64_t> graph_links(const vx_hnsw_index *h, uint64_t id, uint32_t layer) {
    const uint32_t *list = hnsw_list(h, id, layer);
    return std::vector<uint64_t>(list + 1, list + 1 + list[0]);
}

} // namespace idxtest

#endif
