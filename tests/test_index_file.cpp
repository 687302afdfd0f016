// Index files: exact layouts, round trips of both families and their
// quantizers, truncated and damaged files.
#include <gtest/gtest.h>

#include "persist_test_util.h"
#include "vx_index_internal.h"
#include "vx_storage_internal.h"

using namespace ptest;

namespace {

struct Arena {
    vx_arena *a = nullptr;
    Arena() { EXPECT_EQ(vx_arena_create(0, &a), VX_OK); }
    ~Arena() { vx_arena_destroy(a); }
};

struct OwnedIndex {
    vx_index *i;
    explicit OwnedIndex(vx_index *x) : i(x) {}
    ~OwnedIndex() { vx_index_destroy(i); }
};

vx_index_params ivf_params(int32_t kind, uint32_t dim, uint32_t nlist) {
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = (vx_index_type)kind;
    p.dimension = dim;
    p.family.ivf.nlist = nlist;
    p.family.ivf.nprobe = nlist;
    p.family.ivf.iterations = 4;
    return p;
}

vx_index_params hnsw_params(int32_t kind, uint32_t dim) {
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = (vx_index_type)kind;
    p.dimension = dim;
    p.family.hnsw.M = 8;
    p.family.hnsw.ef_construction = 40;
    p.family.hnsw.ef_search = 32;
    return p;
}

std::vector<uint64_t> ids_from(uint64_t first, uint64_t n) {
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; i++) ids[i] = first + i;
    return ids;
}

vx_index *load(vx_arena *arena, const std::string &path) {
    vx_str p = view(path);
    return vx_index_load(arena, &p);
}

vx_status save(const vx_index *index, const std::string &path) {
    vx_str p = view(path);
    return vx_index_save(index, &p);
}

std::vector<vx_search_result> search(vx_index *index, const float *q, uint64_t k) {
    std::vector<vx_search_result> r(k);
    r.resize(vx_index_search(index, q, k, r.data()));
    return r;
}

void expect_same_results(vx_index *a, vx_index *b, const std::vector<float> &queries, uint32_t dim) {
    for (size_t q = 0; q < queries.size() / dim; q++) {
        std::vector<vx_search_result> x = search(a, &queries[q * dim], 10), y = search(b, &queries[q * dim], 10);
        ASSERT_EQ(x.size(), y.size());
        for (size_t i = 0; i < x.size(); i++) {
            EXPECT_EQ(x[i].id, y[i].id);
            EXPECT_EQ(x[i].distance, y[i].distance);
        }
    }
}

void expect_same_ivf(const vx_ivf_index *a, const vx_ivf_index *b, uint32_t code_size) {
    ASSERT_EQ(a->list_count, b->list_count);
    EXPECT_EQ(a->trained, b->trained);
    EXPECT_EQ(a->ntotal, b->ntotal);
    EXPECT_EQ(a->metric, b->metric);
    for (uint32_t j = 0; j < a->list_count; j++) {
        EXPECT_EQ(memcmp(a->lists[j].centroid, b->lists[j].centroid, 4ull * a->dimension), 0);
        ASSERT_EQ(a->lists[j].count, b->lists[j].count);
        for (uint64_t i = 0; i < a->lists[j].count; i++) {
            const vx_ivf_entry &x = a->lists[j].entries[i], &y = b->lists[j].entries[i];
            EXPECT_EQ(x.id, y.id);
            if (code_size) {
                ASSERT_NE(y.code, nullptr);
                EXPECT_EQ(memcmp(x.code, y.code, code_size), 0);
            } else {
                ASSERT_NE(y.vector, nullptr);
                EXPECT_EQ(memcmp(x.vector, y.vector, 4ull * a->dimension), 0);
            }
        }
    }
}

void expect_same_graph(const vx_hnsw_index *a, const vx_hnsw_index *b) {
    EXPECT_EQ(a->entry_point, b->entry_point);
    EXPECT_EQ(a->max_level, b->max_level);
    EXPECT_EQ(a->M, b->M);
    EXPECT_EQ(a->ef_construction, b->ef_construction);
    EXPECT_EQ(a->ef_search, b->ef_search);
    EXPECT_EQ(a->level_mult, b->level_mult);
    EXPECT_EQ(a->effective_seed, b->effective_seed);
    EXPECT_GE(b->capacity, a->capacity);
    for (uint64_t s = 0; s < a->capacity; s++) {
        ASSERT_EQ(hnsw_has_node(a, s), hnsw_has_node(b, s)) << s;
        if (!hnsw_has_node(a, s)) continue;
        ASSERT_EQ(a->levels[s], b->levels[s]);
        EXPECT_EQ(memcmp(a->vectors[s], b->vectors[s], 4ull * a->dimension), 0);
        for (uint32_t l = 0; l <= a->levels[s]; l++) {
            const uint32_t *x = hnsw_list(a, s, l), *y = hnsw_list(b, s, l);
            EXPECT_EQ(memcmp(x, y, (1ull + x[0]) * sizeof(uint32_t)), 0);
        }
    }
}

}  // namespace

TEST(IndexFile, EmptyUntrainedIvfIs69BytesAndItsChecksum) {
    TempDir dir;
    vx_index_params p = ivf_params(VX_INDEX_IVF, 4, 2);
    p.family.ivf.nprobe = 1;
    p.family.ivf.iterations = 10;
    OwnedIndex index(vx_index_create(nullptr, &p));
    ASSERT_NE(index.i, nullptr);
    std::string path = dir.file("ivf.idx");
    ASSERT_EQ(save(index.i, path), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    ASSERT_EQ(f.size(), 69u + 16);
    EXPECT_EQ(get_u32(&f[0]), 1u);
    EXPECT_EQ(get_u32(&f[4]), 4u);
    EXPECT_EQ(get_u32(&f[8]), 2u);
    EXPECT_EQ(get_u32(&f[12]), 0u);
    EXPECT_EQ(f[16], 0);
    EXPECT_EQ(get_u32(&f[17]), 2u);
    EXPECT_EQ(get_u32(&f[21]), 1u);
    EXPECT_EQ(get_u32(&f[25]), 10u);
    for (size_t i = 29; i < 69; i++) EXPECT_EQ(f[i], 0) << i;
    EXPECT_EQ(memcmp(&f[69], "VXCK", 4), 0);
    EXPECT_EQ(get_u32(&f[73]), 1u);
    EXPECT_EQ(get_u64(&f[77]), vx_hash_murmur3_64(f.data(), 69, 0));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"ivf.idx"});

    Arena arena;
    vx_index *back = load(arena.a, path);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(vx_index_get_type(back), VX_INDEX_IVF);
    EXPECT_EQ(vx_index_is_trained(back), 0);
    float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(vx_index_add(back, 1, v), VX_ERR_INDEX_NOT_READY);
    vx_ivf_index *f2 = (vx_ivf_index *)back->body;
    EXPECT_EQ(f2->nprobe, 1u);
    EXPECT_EQ(f2->iterations, 10u);
    vx_index_destroy(back);
}

TEST(IndexFile, ArgumentsAndUnwritablePaths) {
    TempDir dir;
    vx_index_params p = ivf_params(VX_INDEX_IVF, 4, 2);
    OwnedIndex index(vx_index_create(nullptr, &p));
    vx_str none = {nullptr, 0};
    vx_str path = view(dir.file("x"));
    EXPECT_EQ(vx_index_save(nullptr, &path), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_save(index.i, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_save(index.i, &none), VX_ERR_INVALID_ARG);
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_EQ(save(index.i, dir.file("no/such/dir")), VX_ERR_IO);
    Arena arena;
    EXPECT_EQ(vx_index_load(nullptr, &path), nullptr);
    EXPECT_EQ(vx_index_load(arena.a, nullptr), nullptr);
    EXPECT_EQ(vx_index_load(arena.a, &none), nullptr);
    EXPECT_EQ(load(arena.a, dir.file("missing")), nullptr);
    // Unknown kinds and short heads give null.
    spit(dir.file("k0"), {0, 0, 0, 0, 4, 0, 0, 0});
    spit(dir.file("k7"), {7, 0, 0, 0, 4, 0, 0, 0});
    spit(dir.file("short"), {1, 0});
    spit(dir.file("head"), {1, 0, 0, 0, 4, 0, 0, 0, 2, 0});
    for (const char *name : {"k0", "k7", "short", "head"}) EXPECT_EQ(load(arena.a, dir.file(name)), nullptr) << name;
}

TEST(IndexFile, HnswThreeNodesRoundTrip) {
    TempDir dir;
    const uint32_t dim = 3;
    vx_index_params p = hnsw_params(VX_INDEX_HNSW, dim);
    OwnedIndex index(vx_index_create(nullptr, &p));
    ASSERT_NE(index.i, nullptr);
    std::vector<float> v = random_vectors(3, dim, 1);
    for (uint64_t i = 0; i < 3; i++) ASSERT_EQ(vx_index_add(index.i, i + 1, &v[i * dim]), VX_OK);
    std::string path = dir.file("g.idx");
    ASSERT_EQ(save(index.i, path), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    const vx_hnsw_index *h = (const vx_hnsw_index *)index.i->body;
    EXPECT_EQ(get_u32(&f[0]), 2u);
    EXPECT_EQ(get_u32(&f[4]), dim);
    EXPECT_EQ(get_u64(&f[12]), 3u);
    EXPECT_EQ(get_u64(&f[20]), h->capacity);
    EXPECT_EQ(get_u32(&f[28]), h->max_level);
    EXPECT_EQ((int64_t)get_u64(&f[32]), h->entry_point);
    EXPECT_EQ(get_u32(&f[40]), 8u);
    EXPECT_EQ(get_u64(&f[56]), h->effective_seed);
    EXPECT_EQ(get_u64(&f[64]), 1u);  // first node record: id 1

    Arena arena;
    vx_index *back = load(arena.a, path);
    ASSERT_NE(back, nullptr);
    expect_same_graph(h, (const vx_hnsw_index *)back->body);
    expect_same_results(index.i, back, v, dim);
    vx_index_destroy(back);
}

TEST(IndexFile, HnswAfterRemovalAndCutShort) {
    TempDir dir;
    const uint32_t dim = 4;
    vx_index_params p = hnsw_params(VX_INDEX_HNSW, dim);
    OwnedIndex index(vx_index_create(nullptr, &p));
    std::vector<float> v = random_vectors(200, dim, 2);
    std::vector<uint64_t> ids = ids_from(1, 200);
    ASSERT_EQ(vx_index_add_batch(index.i, ids.data(), v.data(), 200), VX_OK);
    ASSERT_EQ(vx_index_remove(index.i, 50), VX_OK);
    std::string path = dir.file("g.idx");
    ASSERT_EQ(save(index.i, path), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    EXPECT_EQ(get_u64(&f[12]), 199u);
    Arena arena;
    vx_index *back = load(arena.a, path);
    ASSERT_NE(back, nullptr);
    expect_same_graph((const vx_hnsw_index *)index.i->body, (const vx_hnsw_index *)back->body);
    expect_same_results(index.i, back, random_vectors(20, dim, 3), dim);
    vx_index_destroy(back);

    // Cut inside the third node record: the first two nodes come back.
    uint64_t at = 64;
    for (int n = 0; n < 2; n++) {
        uint32_t level = get_u32(&f[at + 8]);
        at += 12 + 4 * dim;
        for (uint32_t l = 0; l <= level; l++) at += 4 + 8ull * get_u32(&f[at]);
    }
    spit(path, std::vector<uint8_t>(f.begin(), f.begin() + at + 10));
    back = load(arena.a, path);
    ASSERT_NE(back, nullptr);
    const vx_hnsw_index *h = (const vx_hnsw_index *)back->body;
    uint64_t present = 0;
    for (uint64_t s = 0; s < h->capacity; s++) present += hnsw_has_node(h, s);
    EXPECT_EQ(present, 2u);
    EXPECT_TRUE(hnsw_has_node(h, 1));
    EXPECT_TRUE(hnsw_has_node(h, 2));
    // Links to nodes that did not arrive stay but lead nowhere.
    EXPECT_LE(search(back, &v[0], 5).size(), 2u);
    vx_index_destroy(back);
}

// The neighbour selection rides in the spare word beside the metric: a
// nearest-link L2 graph keeps the bytes of files written before it was
// recorded (word 0), and each rule comes back with the graph it built.
TEST(IndexFile, HnswNeighbourSelectionSurvivesSaveAndLoad) {
    TempDir dir;
    const uint32_t dim = 5;
    std::vector<float> v = random_vectors(300, dim, 4);
    std::vector<float> queries = random_vectors(15, dim, 6);
    std::vector<uint64_t> ids = ids_from(1, 300);
    struct Case {
        int32_t selection, metric;
        uint32_t word;
    };
    for (Case c : {Case{VX_HNSW_SELECT_NEAREST, VX_METRIC_L2, 0u},
                   Case{VX_HNSW_SELECT_DIVERSE, VX_METRIC_L2, 0x100u},
                   Case{VX_HNSW_SELECT_DIVERSE, VX_METRIC_COSINE, 0x102u}}) {
        vx_index_params p = hnsw_params(VX_INDEX_HNSW, dim);
        p.metric = (vx_metric)c.metric;
        OwnedIndex index(vx_index_create(nullptr, &p));
        ASSERT_EQ(vx_index_set_neighbor_selection(index.i, c.selection), VX_OK);
        ASSERT_EQ(vx_index_add_batch(index.i, ids.data(), v.data(), 300), VX_OK);
        std::string path = dir.file("s.idx");
        ASSERT_EQ(save(index.i, path), VX_OK);
        std::vector<uint8_t> f = slurp(path);
        EXPECT_EQ(get_u32(&f[8]), c.word);
        Arena arena;
        vx_index *back = load(arena.a, path);
        ASSERT_NE(back, nullptr);
        const vx_hnsw_index *b = (const vx_hnsw_index *)back->body;
        EXPECT_EQ(b->selection, c.selection);
        EXPECT_EQ(b->metric, c.metric);
        expect_same_graph((const vx_hnsw_index *)index.i->body, b);
        expect_same_results(index.i, back, queries, dim);
        // The loaded graph keeps building by its rule and stays searchable.
        ASSERT_EQ(vx_index_add(back, 1000, &queries[0]), VX_OK);
        EXPECT_EQ(search(back, &queries[0], 1)[0].id, 1000u);
        vx_index_destroy(back);
    }
}

TEST(IndexFile, TrainedIvfRoundTripsSearchesExactly) {
    TempDir dir;
    const uint32_t dim = 6;
    vx_index_params p = ivf_params(VX_INDEX_IVF, dim, 4);
    p.metric = VX_METRIC_COSINE;
    OwnedIndex index(vx_index_create(nullptr, &p));
    std::vector<float> v = random_vectors(400, dim, 4);
    std::vector<uint64_t> ids = ids_from(10, 400);
    ASSERT_EQ(vx_index_train(index.i, v.data(), 400), VX_OK);
    ASSERT_EQ(vx_index_add_batch(index.i, ids.data(), v.data(), 400), VX_OK);
    std::string path = dir.file("ivf.idx");
    ASSERT_EQ(save(index.i, path), VX_OK);
    Arena arena;
    vx_index *back = load(arena.a, path);
    ASSERT_NE(back, nullptr);
    expect_same_ivf((const vx_ivf_index *)index.i->body, (const vx_ivf_index *)back->body, 0);
    expect_same_results(index.i, back, random_vectors(20, dim, 5), dim);
    // The loaded index keeps growing.
    EXPECT_EQ(vx_index_add(back, 999, &v[0]), VX_OK);
    vx_index_destroy(back);
}

TEST(IndexFile, QuantizedKindsRoundTrip) {
    TempDir dir;
    const uint32_t dim = 8;
    std::vector<float> v = random_vectors(600, dim, 6);
    std::vector<uint64_t> ids = ids_from(1, 600);
    Arena arena;

    // Kind 3: product codes whose width is stored only after the lists.
    vx_index_params p3 = ivf_params(VX_INDEX_IVF_PQ, dim, 3);
    p3.pq_m = 4;
    p3.pq_nbits = 8;
    OwnedIndex pq(vx_index_create(nullptr, &p3));
    ASSERT_NE(pq.i, nullptr);
    ASSERT_EQ(vx_index_train(pq.i, v.data(), 600), VX_OK);
    ASSERT_EQ(vx_index_add_batch(pq.i, ids.data(), v.data(), 600), VX_OK);
    const vx_ivf_index *f3 = (const vx_ivf_index *)pq.i->body;
    ASSERT_NE(f3->pq, nullptr);
    ASSERT_EQ(save(pq.i, dir.file("pq.idx")), VX_OK);
    vx_index *back3 = load(arena.a, dir.file("pq.idx"));
    ASSERT_NE(back3, nullptr);
    const vx_ivf_index *b3 = (const vx_ivf_index *)back3->body;
    ASSERT_NE(b3->pq, nullptr);
    EXPECT_EQ(b3->pq->m, 4u);
    EXPECT_EQ(b3->pq->ksub, f3->pq->ksub);
    for (uint32_t s = 0; s < 4; s++)
        EXPECT_EQ(memcmp(b3->pq->codebooks[s], f3->pq->codebooks[s], 4ull * f3->pq->ksub * f3->pq->dsub), 0);
    expect_same_ivf(f3, b3, 4);
    expect_same_results(pq.i, back3, random_vectors(10, dim, 7), dim);
    vx_index_destroy(back3);

    // Kind 5: scalar codes of dimension bytes.
    vx_index_params p5 = ivf_params(VX_INDEX_IVF_SQ, dim, 3);
    OwnedIndex sq(vx_index_create(nullptr, &p5));
    ASSERT_EQ(vx_index_train(sq.i, v.data(), 600), VX_OK);
    ASSERT_EQ(vx_index_add_batch(sq.i, ids.data(), v.data(), 600), VX_OK);
    ASSERT_EQ(save(sq.i, dir.file("sq.idx")), VX_OK);
    vx_index *back5 = load(arena.a, dir.file("sq.idx"));
    ASSERT_NE(back5, nullptr);
    const vx_ivf_index *f5 = (const vx_ivf_index *)sq.i->body, *b5 = (const vx_ivf_index *)back5->body;
    expect_same_ivf(f5, b5, dim);
    ASSERT_NE(b5->sq, nullptr);
    EXPECT_EQ(memcmp(b5->sq->scale, f5->sq->scale, 4 * dim), 0);
    expect_same_results(sq.i, back5, random_vectors(10, dim, 8), dim);
    vx_index_destroy(back5);

    // Kind 6: a graph with a scalar quantizer; its arrays come back exactly.
    vx_index_params p6 = hnsw_params(VX_INDEX_HNSW_SQ, dim);
    OwnedIndex g6(vx_index_create(nullptr, &p6));
    vx_hnsw_index *h6 = (vx_hnsw_index *)g6.i->body;
    ASSERT_NE(h6->sq, nullptr);
    ASSERT_EQ(vx_sq_quantizer_train(h6->sq, v.data(), 600), VX_OK);
    ASSERT_EQ(save(g6.i, dir.file("g6.idx")), VX_OK);
    vx_index *back6 = load(arena.a, dir.file("g6.idx"));
    ASSERT_NE(back6, nullptr);
    const vx_sq_quantizer *s6 = ((const vx_hnsw_index *)back6->body)->sq;
    ASSERT_NE(s6, nullptr);
    EXPECT_EQ(memcmp(s6->min, h6->sq->min, 4 * dim), 0);
    EXPECT_EQ(memcmp(s6->max, h6->sq->max, 4 * dim), 0);
    EXPECT_EQ(memcmp(s6->scale, h6->sq->scale, 4 * dim), 0);
    vx_index_destroy(back6);

    // Kind 4: a graph with a product quantizer.
    vx_index_params p4 = hnsw_params(VX_INDEX_HNSW_PQ, dim);
    p4.pq_m = 2;
    p4.pq_nbits = 4;
    OwnedIndex g4(vx_index_create(nullptr, &p4));
    vx_hnsw_index *h4 = (vx_hnsw_index *)g4.i->body;
    ASSERT_NE(h4->pq, nullptr);
    ASSERT_EQ(vx_pq_train(h4->pq, v.data(), 600), VX_OK);
    ASSERT_EQ(vx_index_add_batch(g4.i, ids.data(), v.data(), 50), VX_OK);
    ASSERT_EQ(save(g4.i, dir.file("g4.idx")), VX_OK);
    vx_index *back4 = load(arena.a, dir.file("g4.idx"));
    ASSERT_NE(back4, nullptr);
    const vx_hnsw_index *b4 = (const vx_hnsw_index *)back4->body;
    expect_same_graph(h4, b4);
    ASSERT_NE(b4->pq, nullptr);
    EXPECT_EQ(b4->pq->ksub, 16u);
    for (uint32_t s = 0; s < 2; s++)
        EXPECT_EQ(memcmp(b4->pq->codebooks[s], h4->pq->codebooks[s], 4ull * 16 * 4), 0);
    vx_index_destroy(back4);
}

// Every truncation and many single-byte changes of small files of each
// family load or fail cleanly, and whatever loads can be searched and grown.
TEST(IndexFile, CorruptionSweep) {
    TempDir dir;
    const uint32_t dim = 4;
    std::vector<float> v = random_vectors(40, dim, 9);
    std::vector<uint64_t> ids = ids_from(1, 40);
    std::vector<std::vector<uint8_t>> files;
    {
        vx_index_params p = hnsw_params(VX_INDEX_HNSW, dim);
        p.family.hnsw.M = 3;
        OwnedIndex g(vx_index_create(nullptr, &p));
        ASSERT_EQ(vx_index_add_batch(g.i, ids.data(), v.data(), 12), VX_OK);
        ASSERT_EQ(save(g.i, dir.file("a")), VX_OK);
        files.push_back(slurp(dir.file("a")));
    }
    {
        vx_index_params p = ivf_params(VX_INDEX_IVF, dim, 2);
        OwnedIndex f(vx_index_create(nullptr, &p));
        ASSERT_EQ(vx_index_train(f.i, v.data(), 40), VX_OK);
        ASSERT_EQ(vx_index_add_batch(f.i, ids.data(), v.data(), 6), VX_OK);
        ASSERT_EQ(save(f.i, dir.file("b")), VX_OK);
        files.push_back(slurp(dir.file("b")));
    }
    {
        vx_index_params p = ivf_params(VX_INDEX_IVF_PQ, dim, 2);
        p.pq_m = 2;
        p.pq_nbits = 2;
        OwnedIndex f(vx_index_create(nullptr, &p));
        ASSERT_EQ(vx_index_train(f.i, v.data(), 40), VX_OK);
        ASSERT_EQ(vx_index_add_batch(f.i, ids.data(), v.data(), 6), VX_OK);
        ASSERT_EQ(save(f.i, dir.file("c")), VX_OK);
        files.push_back(slurp(dir.file("c")));
    }
    // The same files as written before they carried a checksum: the
    // loader's own checks face the damage there.
    for (size_t n = files.size(), i = 0; i < n; i++)
        files.push_back(std::vector<uint8_t>(files[i].begin(), files[i].end() - 16));
    std::string probe = dir.file("probe");
    auto exercise = [&](const std::vector<uint8_t> &bytes) {
        spit(probe, bytes);
        vx_arena *arena = nullptr;
        ASSERT_EQ(vx_arena_create(1 << 16, &arena), VX_OK);
        vx_index *x = load(arena, probe);
        if (x) {
            // Queries of the dimension the file claims.
            std::vector<float> q = random_vectors(2, vx_index_get_dim(x), 10);
            search(x, &q[0], 5);
            vx_index_add(x, 1000, &q[0]);
            search(x, &q[vx_index_get_dim(x)], 5);
            vx_index_remove(x, 3);
            vx_index_destroy(x);
        }
        vx_arena_destroy(arena);
    };
    const uint8_t patterns[] = {0x01, 0x10, 0x80, 0xFF};
    for (const std::vector<uint8_t> &good : files) {
        for (size_t cut = 0; cut < good.size(); cut++) exercise(std::vector<uint8_t>(good.begin(), good.begin() + cut));
        for (size_t i = 0; i < good.size(); i++) {
            for (uint8_t p : patterns) {
                std::vector<uint8_t> f = good;
                f[i] ^= p;
                exercise(f);
            }
        }
    }
}

// Every single-byte change of a saved index file is refused, the checksum
// section's own bytes included; the file without its section (as written
// before there was one) loads to the same graph.
TEST(IndexFile, ChecksumRefusesEveryByteFlipAndOlderFilesLoad) {
    TempDir dir;
    const uint32_t dim = 4;
    std::vector<float> v = random_vectors(10, dim, 21);
    std::vector<uint64_t> ids = ids_from(1, 10);
    vx_index_params p = hnsw_params(VX_INDEX_HNSW, dim);
    p.family.hnsw.M = 3;
    OwnedIndex g(vx_index_create(nullptr, &p));
    ASSERT_EQ(vx_index_add_batch(g.i, ids.data(), v.data(), 10), VX_OK);
    std::string path = dir.file("g.idx"), probe = dir.file("probe.idx");
    ASSERT_EQ(save(g.i, path), VX_OK);
    const std::vector<uint8_t> good = slurp(path);
    Arena arena;
    uint64_t loaded = 0;
    for (size_t i = 0; i < good.size(); i++) {
        for (uint8_t pattern : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> f = good;
            f[i] ^= pattern;
            spit(probe, f);
            vx_error_clear();
            vx_index *x = load(arena.a, probe);
            loaded += x != nullptr;
            vx_index_destroy(x);
            vx_error_info why;
            vx_error_get(&why);
            if (!x && i >= 4) {
                EXPECT_EQ(why.status, VX_ERR_FILE_CORRUPTED) << i;
            }
        }
    }
    EXPECT_EQ(loaded, 0u);

    spit(probe, std::vector<uint8_t>(good.begin(), good.end() - 16));
    vx_index *old = load(arena.a, probe);
    ASSERT_NE(old, nullptr);
    expect_same_graph((const vx_hnsw_index *)g.i->body, (const vx_hnsw_index *)old->body);
    expect_same_results(g.i, old, v, dim);
    vx_index_destroy(old);
}
