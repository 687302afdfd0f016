// Collections: brute-force and index search, index management.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "collection_test_util.h"
#include "vx_hash_internal.h"
#include "vx_index_internal.h"

using namespace coltest;

static std::vector<Hit> search(vx_collection *c, const float *q, const vx_search_options *opt) {
    uint64_t k = opt ? opt->k : 10;
    std::vector<vx_search_hit> out(k + 1);
    uint64_t n = vx_collection_search(c, q, opt, out.data());
    std::vector<Hit> hits;
    for (uint64_t i = 0; i < n; i++) hits.push_back({out[i].id, out[i].distance});
    return hits;
}

static std::vector<Hit> search_k(vx_collection *c, const float *q, uint64_t k, const vx_filter *f = nullptr) {
    vx_search_options opt = {k, f, 0, 0, 0};
    return search(c, q, &opt);
}

static void expect_same(const std::vector<Hit> &got, const std::vector<Hit> &want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].id, want[i].id) << "hit " << i;
        EXPECT_EQ(memcmp(&got[i].distance, &want[i].distance, 4), 0) << "hit " << i;
    }
}

// What every search must give whatever path it takes: ascending distances,
// each a live matching record once, at its exact distance.
static void expect_sound(vx_collection *c, const float *q, const std::vector<Hit> &hits,
                         const vx_filter *f = nullptr) {
    std::set<uint64_t> seen;
    for (size_t i = 0; i < hits.size(); i++) {
        const vx_record *r = linear_find(c, hits[i].id);
        ASSERT_NE(r, nullptr) << "hit " << hits[i].id << " is not a live record";
        EXPECT_TRUE(seen.insert(hits[i].id).second) << "id " << hits[i].id << " twice";
        if (f) {
            EXPECT_TRUE(match_filter(r, f));
        }
        float d = vx_vec_distance(q, r->vector, c->dimension, c->metric);
        EXPECT_EQ(memcmp(&d, &hits[i].distance, 4), 0);
        if (i > 0) {
            EXPECT_LE(hits[i - 1].distance, hits[i].distance);
        }
    }
}

TEST(CollectionSelect, MatchesTheSelectionSortWithTiesAndNaN) {
    std::mt19937_64 rng(3);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int round = 0; round < 400; round++) {
        uint64_t n = 1 + rng() % 60;
        std::vector<float> d(n);
        for (float &x : d) {
            int r = (int)(rng() % 12);
            x = r == 0 ? nan : r == 1 ? -0.0f : r == 2 ? 0.0f : (float)(rng() % 5);
        }
        uint64_t m = rng() % (n + 1);
        std::vector<Hit> cand;
        for (uint64_t i = 0; i < n; i++) cand.push_back({i, d[i]});
        std::vector<Hit> want = selection_sort(cand, m);
        std::vector<uint64_t> picks(m + 1);
        ASSERT_EQ(select_smallest(d.data(), n, m, picks.data()), 1);
        for (uint64_t i = 0; i < m; i++) ASSERT_EQ(picks[i], want[i].id) << "round " << round << " pick " << i;
    }
}

TEST(CollectionSearch, DefaultsAndLimits) {
    Owned c = make_collection(3, VX_INDEX_HNSW);
    fill_random(c.get(), 25, 11);
    float q[3] = {0.5f, 0.5f, 0.5f};
    std::vector<Hit> hits = search(c.get(), q, nullptr);
    ASSERT_EQ(hits.size(), 10u);
    expect_same(hits, oracle_search(c.get(), q, 10));
    expect_sound(c.get(), q, hits);

    Owned small = make_collection(3, VX_INDEX_FLAT);
    fill_random(small.get(), 7, 12);
    EXPECT_EQ(search_k(small.get(), q, 50).size(), 7u);
    EXPECT_EQ(search_k(small.get(), q, 0).size(), 0u);
    vx_search_hit out[4];
    EXPECT_EQ(vx_collection_search(nullptr, q, nullptr, out), 0u);
    EXPECT_EQ(vx_collection_search(small.get(), nullptr, nullptr, out), 0u);
    EXPECT_EQ(vx_collection_search(small.get(), q, nullptr, nullptr), 0u);
    Owned empty = make_collection(3, VX_INDEX_FLAT);
    EXPECT_EQ(search_k(empty.get(), q, 5).size(), 0u);
}

// Brute force (a fresh collection keeps its index dormant) reproduces the
// selection sort exactly, ties included, under every metric.
TEST(CollectionSearch, BruteForceEqualsTheSelectionSort) {
    for (int32_t metric : std::vector<int32_t>{VX_METRIC_L2, VX_METRIC_IP, VX_METRIC_COSINE, 7}) {
        Owned c = make_collection(4, VX_INDEX_HNSW, metric);
        std::mt19937_64 rng(metric + 1);
        std::vector<float> v(4);
        for (int i = 0; i < 300; i++) {
            for (float &x : v) x = (float)(rng() % 3);  // many equal vectors: ties
            vx_collection_insert(c.get(), v.data(), nullptr);
        }
        for (int qi = 0; qi < 5; qi++) {
            for (float &x : v) x = (float)(rng() % 3) - 0.5f;
            for (uint64_t k : {1, 7, 40, 299, 1000}) {
                SCOPED_TRACE(testing::Message() << "metric " << metric << " k " << k);
                expect_same(search_k(c.get(), v.data(), k), oracle_search(c.get(), v.data(), k));
            }
        }
    }
}

// The selection keeps only what can still be picked while distances stream
// past: long runs of ever nearer records, ties at the bound and NaN
// distances must still give the selection sort's answer.
TEST(CollectionSearch, StreamedSelectionMatchesTheSortOnLongRuns) {
    Owned c = make_collection(1, VX_INDEX_FLAT);
    const uint64_t n = 20000;
    for (uint64_t i = 0; i < n; i++) {
        float v = i % 7 == 0 ? 1.0f : (float)(n - i);  // ever nearer, with many ties at 1
        if (i == 3 || i == 12345) v = std::numeric_limits<float>::quiet_NaN();
        vx_collection_insert(c.get(), &v, nullptr);
    }
    float q = 0;
    for (uint64_t k : {1, 5, 100, 3000}) {
        SCOPED_TRACE(k);
        expect_same(search_k(c.get(), &q, k), oracle_search(c.get(), &q, k));
    }
}

// Hits carry the stored vector and metadata when asked, whichever path found
// them, and nothing when not asked.
TEST(CollectionSearch, HitsCarryPointersOnBothPaths) {
    for (int32_t kind : std::vector<int32_t>{VX_INDEX_FLAT, VX_INDEX_IVF}) {
        Owned c = make_collection(2, kind);
        fill_random(c.get(), 50, 2);
        vx_meta_entry e = int_entry("n", 4);
        float v[2] = {0.01f, 0.02f};
        uint64_t id;
        ASSERT_EQ(vx_collection_insert_with_meta(c.get(), v, &e, 1, &id), VX_OK);
        if (kind != VX_INDEX_FLAT) {
            ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        }
        float q[2] = {0, 0};
        for (int32_t asked : {1, 0}) {
            vx_search_options opt = {3, nullptr, asked, asked, 0};
            vx_search_hit out[3];
            memset(out, 0x5a, sizeof(out));
            ASSERT_EQ(vx_collection_search(c.get(), q, &opt, out), 3u);
            EXPECT_EQ(out[0].id, id);
            for (auto &h : out) {
                const vx_record *r = linear_find(c.get(), h.id);
                EXPECT_EQ(h.vector, asked ? r->vector : nullptr);
                EXPECT_EQ(h.meta, asked ? r->meta : nullptr);
                EXPECT_EQ(h.meta_count, asked ? r->meta_count : 0u);
            }
            EXPECT_EQ(out[0].meta_count, asked ? 1u : 0u);
        }
    }
}

// The batch call gives every query what a single search gives it, bit for
// bit, on both paths, with and without a filter, on one thread or several.
TEST(CollectionSearch, BatchEqualsOneQueryAtATime) {
    for (int32_t metric : std::vector<int32_t>{VX_METRIC_L2, VX_METRIC_IP, VX_METRIC_COSINE}) {
        for (int32_t kind : std::vector<int32_t>{VX_INDEX_FLAT, VX_INDEX_IVF}) {
            SCOPED_TRACE(testing::Message() << "metric " << metric << " kind " << kind);
            Owned c = make_collection(13, kind, metric);
            std::mt19937_64 rng(5);
            std::vector<float> v(13);
            for (uint64_t i = 1; i <= 333; i++) {
                for (float &x : v) x = (float)(rng() % 4);  // ties
                vx_meta_entry e = int_entry("n", (int32_t)(i % 3));
                vx_collection_insert_with_meta(c.get(), v.data(), &e, 1, nullptr);
            }
            if (kind != VX_INDEX_FLAT) {
                ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
            }
            const uint64_t nq = 71;
            std::vector<float> qs(nq * 13);
            for (float &x : qs) x = (float)(rng() % 5) - 0.5f;
            // Queries a single search refuses: no hits in the batch either.
            qs[5 * 13 + 2] = std::numeric_limits<float>::quiet_NaN();
            qs[40 * 13] = -std::numeric_limits<float>::infinity();
            vx_filter f = condition("n", VX_OP_EQ);
            f.value.i32 = 2;
            for (const vx_filter *filter : {(const vx_filter *)nullptr, (const vx_filter *)&f}) {
                for (uint64_t k : {1, 10, 500}) {
                    vx_search_options opt = {k, filter, 1, 0, 0};
                    for (uint32_t threads : {1u, 3u}) {
                        std::vector<vx_search_hit> out(nq * k);
                        std::vector<uint64_t> counts(nq, 99);
                        ASSERT_EQ(vx_collection_search_batch(c.get(), qs.data(), nq, &opt, threads, out.data(),
                                                             counts.data()), VX_OK);
                        for (uint64_t q = 0; q < nq; q++) {
                            std::vector<vx_search_hit> one(k);
                            uint64_t n = vx_collection_search(c.get(), &qs[q * 13], &opt, one.data());
                            ASSERT_EQ(counts[q], n) << "query " << q;
                            for (uint64_t i = 0; i < n; i++) {
                                const vx_search_hit &h = out[q * k + i];
                                ASSERT_EQ(h.id, one[i].id) << "query " << q << " hit " << i;
                                ASSERT_EQ(memcmp(&h.distance, &one[i].distance, 4), 0);
                                ASSERT_EQ(h.vector, one[i].vector);
                            }
                        }
                    }
                }
            }
        }
    }
    Owned c = make_collection(3, VX_INDEX_FLAT);
    float q[3] = {0, 0, 0};
    vx_search_hit out[1];
    uint64_t count = 5;
    EXPECT_EQ(vx_collection_search_batch(c.get(), q, 1, nullptr, 1, out, &count), VX_OK);
    EXPECT_EQ(count, 0u);  // empty collection
    EXPECT_EQ(vx_collection_search_batch(c.get(), q, 0, nullptr, 1, out, &count), VX_OK);
    EXPECT_EQ(vx_collection_search_batch(nullptr, q, 1, nullptr, 1, out, &count), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_search_batch(c.get(), nullptr, 1, nullptr, 1, out, &count), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_search_batch(c.get(), q, 1, nullptr, 1, nullptr, &count), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_search_batch(c.get(), q, 1, nullptr, 1, out, nullptr), VX_ERR_INVALID_ARG);
    // A filter that contains itself is refused before any search runs.
    vx_filter loop;
    memset(&loop, 0, sizeof(loop));
    loop.kind = VX_FILTER_AND;
    vx_filter *self[1] = {&loop};
    loop.children = self;
    loop.child_count = 1;
    vx_search_options cyclic = {1, &loop, 0, 0, 0};
    EXPECT_EQ(vx_collection_search_batch(c.get(), q, 1, &cyclic, 2, out, &count), VX_ERR_INVALID_ARG);
}

// A quantized index supplies refine x k candidates that the collection
// re-ranks exactly: factor 1 is the index's own ranking (then re-measured),
// a larger factor never makes the k-th distance worse, and the
// collection's setting applies when the search gives 0.
TEST(CollectionIndex, RefineFactorReranksQuantizedCandidates) {
    for (int32_t kind : std::vector<int32_t>{VX_INDEX_IVF_PQ, VX_INDEX_IVF_SQ}) {
        SCOPED_TRACE(kind);
        Owned c = make_collection(16, VX_INDEX_FLAT);
        vx_index_params p;
        memset(&p, 0, sizeof(p));
        p.type = (vx_index_type)kind;
        p.family.ivf.nlist = 5;
        p.family.ivf.nprobe = 5;  // every list
        p.family.ivf.iterations = 4;
        p.pq_m = 4;
        p.pq_nbits = 4;
        ASSERT_EQ(vx_collection_set_index_params(c.get(), &p), VX_OK);
        std::vector<float> all = fill_random(c.get(), 600, 17);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        const uint64_t k = 10;
        double recall1 = 0, recall8 = 0;
        for (int qi = 0; qi < 20; qi++) {
            const float *q = &all[qi * 16 + 3];
            std::vector<Hit> truth = oracle_search(c.get(), q, k);
            vx_search_options opt = {k, nullptr, 0, 0, 1};
            std::vector<Hit> one = search(c.get(), q, &opt);
            // Factor 1: the index's k hits, re-measured, in exact order.
            std::vector<vx_search_result> raw(k);
            uint64_t n = vx_index_search(c->index, q, k, raw.data());
            ASSERT_EQ(one.size(), n);
            std::set<uint64_t> raw_ids;
            for (uint64_t i = 0; i < n; i++) raw_ids.insert(raw[i].id);
            for (const Hit &h : one) EXPECT_TRUE(raw_ids.count(h.id));
            expect_sound(c.get(), q, one);
            float last = one.back().distance;
            for (uint64_t refine : {2, 4, 8}) {
                opt.refine_factor = refine;
                std::vector<Hit> more = search(c.get(), q, &opt);
                ASSERT_EQ(more.size(), k);
                expect_sound(c.get(), q, more);
                EXPECT_LE(more.back().distance, last) << "refine " << refine;
                last = more.back().distance;
                if (refine == 8) {
                    for (const Hit &h : more)
                        for (const Hit &t : truth) recall8 += h.id == t.id;
                }
            }
            for (const Hit &h : one)
                for (const Hit &t : truth) recall1 += h.id == t.id;
            // 0 takes the collection's factor (4 by default).
            opt.refine_factor = 0;
            std::vector<Hit> dflt = search(c.get(), q, &opt);
            opt.refine_factor = 4;
            expect_same(dflt, search(c.get(), q, &opt));
        }
        EXPECT_GE(recall8, recall1);
        c->config.refine_factor = 1;
        vx_search_options opt = {k, nullptr, 0, 0, 0};
        vx_search_options once = {k, nullptr, 0, 0, 1};
        expect_same(search(c.get(), &all[5], &opt), search(c.get(), &all[5], &once));
    }
}

// Records tagged with n = id % 3, for filtered searches.
static Owned tagged_collection(int32_t index_type, uint64_t n, uint32_t dim = 4) {
    Owned c = make_collection(dim, index_type);
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> v(dim);
    for (uint64_t i = 1; i <= n; i++) {
        for (float &x : v) x = u(rng);
        vx_meta_entry e = int_entry("n", (int32_t)(i % 3));
        vx_collection_insert_with_meta(c.get(), v.data(), &e, 1, nullptr);
    }
    return c;
}

TEST(CollectionSearch, FilterSelectsRecordsOnBothPaths) {
    for (int32_t kind : std::vector<int32_t>{VX_INDEX_FLAT, VX_INDEX_HNSW, VX_INDEX_IVF}) {
        SCOPED_TRACE(kind);
        Owned c = tagged_collection(kind, 400);
        vx_filter f = condition("n", VX_OP_EQ);
        f.value.i32 = 1;
        float q[4] = {0.2f, 0.4f, 0.6f, 0.8f};
        expect_same(search_k(c.get(), q, 15, &f), oracle_search(c.get(), q, 15, &f));
        if (kind != VX_INDEX_FLAT) {
            ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        }
        std::vector<Hit> hits = search_k(c.get(), q, 15, &f);
        EXPECT_EQ(hits.size(), 15u);
        expect_sound(c.get(), q, hits, &f);
        std::vector<vx_search_hit> out(15);
        EXPECT_EQ(vx_collection_search_filtered(c.get(), q, &f, 15, out.data()), 15u);
        for (size_t i = 0; i < 15; i++) EXPECT_EQ(out[i].id, hits[i].id);
        // A filter nothing matches gives nothing.
        f.value.i32 = 5;
        EXPECT_EQ(search_k(c.get(), q, 15, &f).size(), 0u);
    }
}

TEST(CollectionIndex, BuildSwitchesTheIndexOnAndInsertionsFeedIt) {
    Owned c = make_collection(8, VX_INDEX_HNSW);
    EXPECT_EQ(vx_collection_build_index(c.get()), VX_ERR_INVALID_ARG);  // empty
    EXPECT_EQ(vx_collection_build_index(nullptr), VX_ERR_INVALID_ARG);
    std::vector<float> all = fill_random(c.get(), 300, 5);
    EXPECT_EQ(c->index_threshold, VX_COLLECTION_DORMANT_THRESHOLD);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    EXPECT_EQ(c->index_threshold, 0u);
    EXPECT_EQ(vx_collection_has_index(c.get()), 1);
    vx_index_params p = c->index_params;  // zero graph parameters get defaults
    EXPECT_EQ(p.family.hnsw.M, 16u);
    EXPECT_EQ(p.family.hnsw.ef_construction, 200u);
    EXPECT_EQ(p.family.hnsw.ef_search, 64u);

    std::vector<float> extra = fill_random(c.get(), 50, 6);
    EXPECT_EQ(vx_index_get_ntotal(c->index), 350u);
    for (uint64_t i = 0; i < 350; i += 7) {
        const float *q = i < 300 ? &all[i * 8] : &extra[(i - 300) * 8];
        std::vector<Hit> hits = search_k(c.get(), q, 5);
        ASSERT_EQ(hits.size(), 5u);
        expect_sound(c.get(), q, hits);
        EXPECT_EQ(hits[0].id, i + 1);
        EXPECT_EQ(hits[0].distance, 0.0f);
    }
}

// The index path as it was when every hit was measured again: the index's
// hits that name live records matching the filter, each record once (its
// first report), at vx_vec_distance under the collection's metric, then a
// top-up by the selection sort over the other matching records; nearest
// first, NaN last, among equal distances index hits in report order before
// top-up hits in theirs.
struct ModelFilter {
    vx_collection *c;
    const vx_filter *f;
    uint64_t budget, ef, tested = 0, accepted = 0;
    bool gave_way = false, early = false;
};

// A filtered walk's test, with the plain scan for the lookup: it ends the
// walk once it has tested a quarter as many records as the filter is judged
// to match (256 at least), or when from 256 tests on, at the rate it has
// met matches (one at least), ef of them would take more tests than that.
static int model_accepts(uint64_t id, void *context) {
    ModelFilter *m = (ModelFilter *)context;
    m->tested++;
    m->early = m->tested >= 256 && (unsigned __int128)m->tested * m->ef >
                                       (unsigned __int128)m->budget * std::max<uint64_t>(m->accepted, 1);
    if (m->tested > m->budget || m->early) {
        m->gave_way = true;
        return -1;
    }
    const vx_record *r = linear_find(m->c, id);
    bool match = r && match_filter(r, m->f);
    m->accepted += match;
    return match;
}

// A filter matches few records when under 3 % of a sample of 256 records
// match it (all records when there are no more), drawn by the hash of the
// draw number 1, 2, ...
static uint64_t model_sample_matches(const vx_collection *c, const vx_filter *f) {
    uint64_t n = std::min<uint64_t>(c->count, 256), matched = 0;
    for (uint64_t i = 0; i < n; i++)
        matched += match_filter(&c->records[c->count <= 256 ? i : hash_fmix64(i + 1) % c->count], f) != 0;
    return matched;
}

static bool model_matches_few(const vx_collection *c, const vx_filter *f) {
    return model_sample_matches(c, f) * 100 < 3 * std::min<uint64_t>(c->count, 256);
}

// The records the filter is judged to match: the sample's share of all.
static uint64_t model_match_estimate(const vx_collection *c, const vx_filter *f) {
    uint64_t n = std::min<uint64_t>(c->count, 256);
    return (uint64_t)((unsigned __int128)model_sample_matches(c, f) * c->count / n);
}

// Every live matching record measured, the k nearest in record order.
static std::vector<Hit> exact_filtered(vx_collection *c, const float *q, uint64_t k, const vx_filter *f) {
    std::vector<Hit> cand;
    for (uint64_t i = 0; i < c->count; i++) {
        const vx_record *r = &c->records[i];
        if (!f || match_filter(r, f)) cand.push_back({r->id, vx_vec_distance(q, r->vector, c->dimension, c->metric)});
    }
    return selection_sort(cand, std::min<uint64_t>(k, cand.size()));
}

static std::vector<Hit> remeasured_index_path(vx_collection *c, const float *q, uint64_t k,
                                              const vx_filter *f = nullptr, ModelFilter *walk = nullptr) {
    if (f && model_matches_few(c, f)) return exact_filtered(c, q, k, f);
    uint64_t want = std::min<uint64_t>(k, c->count);
    std::vector<vx_search_result> res(want);
    uint64_t matches = f ? model_match_estimate(c, f) : 0;
    vx_index_shape shape;
    index_shape_get(c->index, &shape);
    ModelFilter mf = {c, f, std::max<uint64_t>(matches / 4, 256), std::max<uint64_t>(shape.ef_search, want)};
    uint64_t n = f ? index_search_accepting(c->index, q, want, model_accepts, &mf, res.data())
                   : vx_index_search(c->index, q, want, res.data());
    if (walk && f) *walk = mf;
    if (f && mf.gave_way) return exact_filtered(c, q, k, f);
    struct Item {
        Hit hit;
        uint64_t seq;
    };
    std::vector<Item> items;
    std::set<const vx_record *> seen;
    for (uint64_t i = 0; i < n; i++) {
        const vx_record *r = linear_find(c, res[i].id);
        if (!r || (f && !match_filter(r, f)) || !seen.insert(r).second) continue;
        items.push_back({{r->id, vx_vec_distance(q, r->vector, c->dimension, c->metric)}, i});
    }
    if (items.size() < want) {
        std::vector<Hit> cand;
        for (uint64_t i = 0; i < c->count; i++) {
            const vx_record *r = &c->records[i];
            if (seen.count(r) || (f && !match_filter(r, f))) continue;
            cand.push_back({r->id, vx_vec_distance(q, r->vector, c->dimension, c->metric)});
        }
        std::vector<Hit> top = selection_sort(cand, want - items.size());
        for (uint64_t j = 0; j < top.size(); j++) items.push_back({top[j], want + j});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) {
        bool na = std::isnan(a.hit.distance), nb = std::isnan(b.hit.distance);
        if (na != nb) return nb;
        if (!na && a.hit.distance != b.hit.distance) return a.hit.distance < b.hit.distance;
        return a.seq < b.seq;
    });
    std::vector<Hit> hits;
    for (const Item &it : items) hits.push_back(it.hit);
    return hits;
}

// A graph's hits are taken at the distances it reports: the answers are
// those of the path that measured every hit again, bit for bit and in the
// same order, ties included, for ids in shuffled order, after deletions,
// upserts and insertions, with and without a filter, under every metric;
// without a filter they are the bare graph's own answers.
TEST(CollectionIndex, GraphHitsAreThoseOfTheRemeasuredPath) {
    const uint32_t dim = 6;
    for (int32_t metric : std::vector<int32_t>{VX_METRIC_L2, VX_METRIC_IP, VX_METRIC_COSINE, 7}) {
        SCOPED_TRACE(testing::Message() << "metric " << metric);
        Owned c = make_collection(dim, VX_INDEX_HNSW, metric);
        std::vector<float> all = fill_shuffled(c.get(), 700, 31);
        // Copies of one vector under several ids: equal distances to order.
        for (uint64_t id = 701; id <= 706; id++) ASSERT_EQ(push_with_id(c.get(), id, &all[0], (int32_t)(id % 3)), VX_OK);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        for (uint64_t id = 3; id <= 706; id += 5) ASSERT_EQ(vx_collection_delete(c.get(), id), VX_OK);
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<float> u(0, 1);
        std::vector<float> v(dim);
        for (uint64_t id = 4; id <= 700; id += 37) {
            for (float &x : v) x = u(rng) * 3;
            ASSERT_EQ(vx_collection_upsert(c.get(), id, v.data()), VX_OK);
        }
        for (int i = 0; i < 20; i++) {
            for (float &x : v) x = u(rng);
            ASSERT_EQ(vx_collection_insert(c.get(), v.data(), nullptr), VX_OK);
        }
        vx_filter f = condition("n", VX_OP_EQ);
        f.value.i32 = 1;
        std::vector<std::vector<float>> queries;
        queries.push_back(std::vector<float>(all.begin(), all.begin() + dim));  // the copies' vector
        for (int i = 0; i < 12; i++) {
            for (float &x : v) x = u(rng);
            queries.push_back(v);
        }
        for (const std::vector<float> &q : queries) {
            for (uint64_t k : {1u, 10u, 40u}) {
                std::vector<Hit> got = search_k(c.get(), q.data(), k);
                expect_same(got, remeasured_index_path(c.get(), q.data(), k));
                expect_same(search_k(c.get(), q.data(), k, &f), remeasured_index_path(c.get(), q.data(), k, &f));
                // The bare graph's answer, unless the collection had to top
                // it up (deletions can leave a node out of reach).
                std::vector<vx_search_result> bare(k);
                uint64_t n = vx_index_search(c->index, q.data(), k, bare.data());
                ASSERT_LE(n, got.size());
                if (n < got.size()) continue;
                for (uint64_t i = 0; i < n; i++) {
                    EXPECT_EQ(got[i].id, bare[i].id);
                    EXPECT_EQ(memcmp(&got[i].distance, &bare[i].distance, 4), 0);
                }
            }
        }
        // A search by id asks with the stored vector itself.
        vx_search_options opt = {10, &f, 0, 0, 0};
        vx_search_hit out[10];
        uint64_t n = vx_collection_search_by_id(c.get(), 705, &opt, out);
        std::vector<Hit> want = remeasured_index_path(c.get(), &all[0], 10, &f);
        ASSERT_EQ(n, want.size());
        for (uint64_t i = 0; i < n; i++) EXPECT_EQ(out[i].id, want[i].id);
    }
}

// Records tagged "c" = i % 10 (a tenth each) and "b" = i % 100 (a
// hundredth each), vectors clustered by c so that a filter on c picks one
// region; indexed by a graph.
static Owned tagged_graph_collection(uint32_t dim, uint64_t n, std::vector<float> *all) {
    Owned c = make_collection(dim, VX_INDEX_HNSW);
    std::mt19937_64 rng(17);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    all->assign(n * dim, 0.0f);
    for (uint64_t i = 0; i < n; i++) {
        float *v = &(*all)[i * dim];
        for (uint32_t j = 0; j < dim; j++) v[j] = (float)((i % 10) == j % 10) + noise(rng);
        vx_meta_entry meta[2] = {int_entry("c", (int32_t)(i % 10)), int_entry("b", (int32_t)(i % 100))};
        EXPECT_EQ(vx_collection_insert_with_meta(c.get(), v, meta, 2, nullptr), VX_OK);
    }
    EXPECT_EQ(vx_collection_build_index(c.get()), VX_OK);
    return c;
}

// A filter is tested inside the graph's walk when it matches a fair share
// of the records, and its few matches are measured exactly otherwise: both
// ways every hit matches, k of them come back when k match, and the exact
// way gives exactly the matching records' top k. The walk's answers are
// those of the model's path and close to the exact ones.
TEST(CollectionIndex, FilteredSearchWalksTheGraphOrMeasuresTheFewMatches) {
    const uint32_t dim = 12;
    std::vector<float> all;
    Owned c = tagged_graph_collection(dim, 3000, &all);
    vx_filter tenth = condition("c", VX_OP_EQ), hundredth = condition("b", VX_OP_EQ), none = condition("b", VX_OP_EQ);
    none.value.i32 = 1000;
    ASSERT_FALSE(model_matches_few(c.get(), &tenth));
    ASSERT_TRUE(model_matches_few(c.get(), &hundredth));
    std::mt19937_64 rng(23);
    double found = 0, wanted = 0;
    for (int round = 0; round < 30; round++) {
        tenth.value.i32 = (int32_t)(rng() % 10);
        hundredth.value.i32 = (int32_t)(rng() % 100);
        const float *q = &all[(rng() % 3000) * dim];
        for (uint64_t k : {1u, 10u, 40u}) {
            std::vector<Hit> walked = search_k(c.get(), q, k, &tenth);
            expect_sound(c.get(), q, walked, &tenth);
            ASSERT_EQ(walked.size(), k);
            expect_same(walked, remeasured_index_path(c.get(), q, k, &tenth));
            std::vector<Hit> exact = exact_filtered(c.get(), q, k, &tenth);
            std::set<uint64_t> truth;
            for (const Hit &h : exact) truth.insert(h.id);
            for (const Hit &h : walked) found += truth.count(h.id);
            wanted += (double)k;
            // 30 records match each hundredth: all of them for k 40.
            std::vector<Hit> few = search_k(c.get(), q, k, &hundredth);
            expect_same(few, exact_filtered(c.get(), q, k, &hundredth));
            ASSERT_EQ(few.size(), std::min<uint64_t>(k, 30));
            EXPECT_TRUE(search_k(c.get(), q, k, &none).empty());
        }
    }
    EXPECT_GE(found / wanted, 0.95);
}

// A walk whose filter's matches lie in another cluster mostly meets so few
// of them among its first 256 tests that its ef matches would outrun its
// budget, and gives way to exact search there; a walk whose filter takes
// its own cluster and four others (a budget of about 1,500 tests) goes on.
// Both answer as the model's path does, and the first exactly.
TEST(CollectionIndex, FilteredWalkAmongOtherRecordsGivesWayEarly) {
    const uint32_t dim = 12;
    std::vector<float> all;
    Owned c = tagged_graph_collection(dim, 12000, &all);
    vx_filter other = condition("c", VX_OP_EQ), low = condition("c", VX_OP_LT), high = condition("c", VX_OP_GE);
    low.value.i32 = high.value.i32 = 5;
    uint64_t early = 0, queries = 0;
    for (uint64_t i = 3; i < 12000; i += 331, queries++) {
        const float *q = &all[i * dim];
        other.value.i32 = (int32_t)((i + 5) % 10);
        const vx_filter *own = i % 10 < 5 ? &low : &high;
        ModelFilter far, near;
        std::vector<Hit> want = remeasured_index_path(c.get(), q, 10, &other, &far);
        expect_same(search_k(c.get(), q, 10, &other), want);
        if (far.gave_way) expect_same(want, exact_filtered(c.get(), q, 10, &other));
        early += far.early && far.tested == 256;
        expect_same(search_k(c.get(), q, 10, own), remeasured_index_path(c.get(), q, 10, own, &near));
        EXPECT_FALSE(near.gave_way) << i;
    }
    EXPECT_GE(early * 2, queries) << early << " of " << queries;
}

// The walk reports only what the test takes, passes through the rest, and
// with a test that takes everything answers as the plain search does.
TEST(CollectionIndex, AcceptingWalkReportsOnlyAcceptedNodes) {
    const uint32_t dim = 8;
    std::vector<float> all;
    Owned c = tagged_graph_collection(dim, 1500, &all);
    auto everything = [](uint64_t, void *) { return 1; };
    auto odd = [](uint64_t id, void *) { return (int)(id & 1); };
    std::vector<vx_search_result> a(20), b(20), r(20);
    for (uint64_t i = 0; i < 1500; i += 97) {
        const float *q = &all[i * dim];
        uint64_t n = index_search_accepting(c->index, q, 20, everything, nullptr, a.data());
        ASSERT_EQ(n, vx_index_search(c->index, q, 20, b.data()));
        for (uint64_t j = 0; j < n; j++) {
            EXPECT_EQ(a[j].id, b[j].id);
            EXPECT_EQ(memcmp(&a[j].distance, &b[j].distance, 4), 0);
        }
        n = index_search_accepting(c->index, q, 20, odd, nullptr, r.data());
        EXPECT_EQ(n, 20u);
        for (uint64_t j = 0; j < n; j++) {
            EXPECT_EQ(r[j].id & 1, 1u);
            if (j) {
                EXPECT_LE(r[j - 1].distance, r[j].distance);
            }
        }
    }
    // A negative verdict ends the walk with the hits held so far.
    struct Countdown {
        int left;
    } countdown = {5};
    auto stops = [](uint64_t, void *context) { return --((Countdown *)context)->left < 0 ? -1 : 1; };
    EXPECT_LE(index_search_accepting(c->index, &all[0], 20, stops, &countdown, r.data()), 5u);
    Owned ivf = make_collection(dim, VX_INDEX_IVF);
    EXPECT_EQ(index_search_accepting(ivf->index, &all[0], 5, everything, nullptr, a.data()), 0u);
}

// An inverted file keeps an upserted record's old vector under its id, so
// its hits are measured again: a query at the old place still finds the
// record, at the distance of the vector it holds now.
TEST(CollectionIndex, InvertedFileHitsAreMeasuredAgain) {
    Owned c = make_collection(4, VX_INDEX_IVF);
    std::vector<float> all = fill_random(c.get(), 300, 17);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    float far[4] = {40, 40, 40, 40};
    ASSERT_EQ(vx_collection_upsert(c.get(), 17, far), VX_OK);
    const float *old = &all[16 * 4];
    std::vector<Hit> hits = search_k(c.get(), old, 5);
    ASSERT_EQ(hits.size(), 5u);
    expect_sound(c.get(), old, hits);
    expect_same(hits, remeasured_index_path(c.get(), old, 5));
    EXPECT_EQ(hits.back().id, 17u);
    EXPECT_EQ(hits.back().distance, vx_vec_distance(old, far, 4, VX_METRIC_L2));
}

TEST(CollectionIndex, IndexHitsSkipDeletedAndRepeatedIds) {
    Owned c = make_collection(4, VX_INDEX_IVF);
    EXPECT_EQ(vx_collection_has_index(c.get()), 0);  // untrained inverted file
    std::vector<float> all = fill_random(c.get(), 200, 8);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    EXPECT_EQ(vx_collection_has_index(c.get()), 1);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);  // every id indexed twice
    for (uint64_t id = 1; id <= 200; id += 2) ASSERT_EQ(vx_collection_delete(c.get(), id), VX_OK);
    for (uint64_t i = 0; i < 200; i += 9) {
        const float *q = &all[i * 4];
        std::vector<Hit> hits = search_k(c.get(), q, 10);
        EXPECT_EQ(hits.size(), 10u);  // topped up past the dropped hits
        expect_sound(c.get(), q, hits);
    }
    // k above the live count returns every record, nearest first.
    std::vector<Hit> hits = search_k(c.get(), &all[0], 500);
    EXPECT_EQ(hits.size(), 100u);
    expect_sound(c.get(), &all[0], hits);
}

TEST(CollectionIndex, DistancesFollowTheCollectionMetric) {
    for (int32_t metric : std::vector<int32_t>{VX_METRIC_IP, VX_METRIC_COSINE}) {
        for (int32_t kind : std::vector<int32_t>{VX_INDEX_HNSW, VX_INDEX_IVF, -1}) {
            SCOPED_TRACE(testing::Message() << "metric " << metric << " kind " << kind);
            Owned c = make_collection(6, kind, metric);
            std::vector<float> all = fill_random(c.get(), 150, 21);
            ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
            EXPECT_EQ(c->index_params.metric, metric);
            float q[6] = {1, 0.5f, 0, 0.25f, 1, 0};
            std::vector<Hit> hits = search_k(c.get(), q, 8);
            EXPECT_EQ(hits.size(), 8u);
            expect_sound(c.get(), q, hits);
        }
    }
}

TEST(CollectionIndex, IncludeFlagsOnIndexHits) {
    Owned c = tagged_collection(VX_INDEX_HNSW, 50);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    float q[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    vx_search_options opt = {5, nullptr, 1, 1, 0};
    vx_search_hit out[5];
    ASSERT_EQ(vx_collection_search(c.get(), q, &opt, out), 5u);
    for (auto &h : out) {
        const vx_record *r = linear_find(c.get(), h.id);
        EXPECT_EQ(h.vector, r->vector);
        EXPECT_EQ(h.meta, r->meta);
        EXPECT_EQ(h.meta_count, 1u);
    }
    opt.include_vector = 0;
    ASSERT_EQ(vx_collection_search(c.get(), q, &opt, out), 5u);
    EXPECT_EQ(out[0].vector, nullptr);
    EXPECT_NE(out[0].meta, nullptr);
}

TEST(CollectionIndex, UpsertMovesTheRecordInTheIndex) {
    for (int32_t kind : std::vector<int32_t>{VX_INDEX_HNSW, VX_INDEX_IVF}) {
        Owned c = make_collection(4, kind);
        fill_random(c.get(), 200, 4);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        float far[4] = {50, 50, 50, 50};
        ASSERT_EQ(vx_collection_upsert(c.get(), 17, far), VX_OK);
        std::vector<Hit> hits = search_k(c.get(), far, 3);
        ASSERT_FALSE(hits.empty());
        EXPECT_EQ(hits[0].id, 17u);
        EXPECT_EQ(hits[0].distance, 0.0f);
        expect_sound(c.get(), far, hits);
    }
}

TEST(CollectionIndex, SearchById) {
    Owned c = make_collection(3, VX_INDEX_FLAT);
    std::vector<float> all = fill_random(c.get(), 40, 9);
    vx_search_hit out[4];
    vx_search_options opt = {4, nullptr, 0, 0, 0};
    ASSERT_EQ(vx_collection_search_by_id(c.get(), 12, &opt, out), 4u);
    EXPECT_EQ(out[0].id, 12u);
    EXPECT_EQ(out[0].distance, 0.0f);
    std::vector<Hit> want = oracle_search(c.get(), &all[11 * 3], 4);
    for (int i = 0; i < 4; i++) EXPECT_EQ(out[i].id, want[i].id);
    EXPECT_EQ(vx_collection_search_by_id(c.get(), 41, &opt, out), 0u);
    EXPECT_EQ(vx_collection_search_by_id(nullptr, 1, &opt, out), 0u);
    EXPECT_EQ(vx_collection_search_by_id(c.get(), 1, &opt, nullptr), 0u);
}

TEST(CollectionIndex, RebuildClearAndDropKeepTheConfiguredKind) {
    Owned c = make_collection(4, VX_INDEX_HNSW);
    std::vector<float> all = fill_random(c.get(), 120, 31);
    ASSERT_EQ(vx_collection_rebuild_index(c.get()), VX_OK);
    vx_collection_stats st;
    vx_collection_get_stats(c.get(), &st);
    EXPECT_EQ(st.index_type, VX_INDEX_HNSW);
    EXPECT_EQ(vx_collection_rebuild_index(nullptr), VX_ERR_INVALID_ARG);

    ASSERT_EQ(vx_collection_drop_index(c.get()), VX_OK);
    EXPECT_EQ(vx_collection_drop_index(nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_has_index(c.get()), 0);
    vx_collection_get_stats(c.get(), &st);
    EXPECT_EQ(st.index_type, -1);
    expect_same(search_k(c.get(), &all[0], 9), oracle_search(c.get(), &all[0], 9));
    // Without an index, build makes the automatic inverted file.
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    vx_collection_get_stats(c.get(), &st);
    EXPECT_EQ(st.index_type, VX_INDEX_IVF);

    Owned flat = make_collection(4, VX_INDEX_FLAT);
    fill_random(flat.get(), 30, 32);
    ASSERT_EQ(vx_collection_build_index(flat.get()), VX_OK);
    ASSERT_EQ(vx_collection_clear(flat.get()), VX_OK);
    vx_collection_get_stats(flat.get(), &st);
    EXPECT_EQ(st.index_type, VX_INDEX_IVF);
    // The index stays switched on after clear: new records reach it.
    std::vector<float> again = fill_random(flat.get(), 30, 33);
    std::vector<Hit> hits = search_k(flat.get(), &again[0], 5);
    EXPECT_EQ(hits.size(), 5u);
    EXPECT_EQ(hits[0].id, 1u);
    expect_sound(flat.get(), &again[0], hits);
}

// Index parameters set on a collection make its next index, survive a save,
// and cannot change an index that is in use.
TEST(CollectionIndex, ParametersAndSearchWidthSetByTheHost) {
    Owned c = make_collection(8, VX_INDEX_FLAT);
    std::vector<float> all = fill_random(c.get(), 300, 41);
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = VX_INDEX_IVF;
    p.family.ivf.nlist = 7;
    p.family.ivf.nprobe = 7;
    p.family.ivf.iterations = 4;
    p.dimension = 999;  // the collection's own dimension applies
    ASSERT_EQ(vx_collection_set_index_params(c.get(), &p), VX_OK);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    vx_index_stats is;
    vx_index_get_stats(c->index, &is);
    EXPECT_EQ(is.nlist, 7u);
    EXPECT_EQ(vx_index_get_dim(c->index), 8u);
    // Every list probed: exact answers.
    expect_same(search_k(c.get(), &all[0], 5), oracle_search(c.get(), &all[0], 5));
    EXPECT_EQ(vx_collection_set_index_params(c.get(), &p), VX_ERR_BUSY);

    ASSERT_EQ(vx_collection_drop_index(c.get()), VX_OK);
    EXPECT_EQ(vx_collection_set_search_width(c.get(), 4), VX_ERR_NOT_FOUND);
    memset(&p, 0, sizeof(p));
    p.type = VX_INDEX_HNSW;
    p.family.hnsw.M = 6;  // ef_construction and ef_search take the defaults
    ASSERT_EQ(vx_collection_set_index_params(c.get(), &p), VX_OK);
    const vx_hnsw_index *h = (const vx_hnsw_index *)c->index->body;
    EXPECT_EQ(h->ef_search, 64u);
    ASSERT_EQ(vx_collection_set_search_width(c.get(), 90), VX_OK);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    EXPECT_EQ(h->M, 6u);
    EXPECT_EQ(h->ef_construction, 200u);
    EXPECT_EQ(h->ef_search, 90u);  // a width set on the dormant index stays through the build

    std::string path = ::testing::TempDir() + "params.vxcol";
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_TRUE(back);
    const vx_hnsw_index *hb = (const vx_hnsw_index *)back->index->body;
    EXPECT_EQ(hb->M, 6u);
    EXPECT_EQ(hb->ef_search, 90u);
    unlink(path.c_str());
    unlink((path + ".idx").c_str());

    p.type = (vx_index_type)77;
    EXPECT_EQ(vx_collection_set_index_params(c.get(), &p), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_set_index_params(nullptr, &p), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_set_search_width(c.get(), 0), VX_ERR_INVALID_ARG);
}

static int32_t count_records(uint64_t, const float *, uint32_t, void *user) {
    ++*(int *)user;
    return 1;
}

// Writers (insert, delete, upsert, rebuild) and readers (search, cursors,
// foreach) on one collection with an active index; afterwards the records
// are consistent and searches sound.
TEST(CollectionConcurrency, MixedWritersAndReadersOnAnIndexedCollection) {
    for (int32_t kind : std::vector<int32_t>{VX_INDEX_HNSW, VX_INDEX_IVF}) {
        Owned c = make_collection(16, kind);
        fill_random(c.get(), 300, 40);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++) {
            threads.emplace_back([&, t] {
                std::mt19937_64 rng(t + 10);
                std::uniform_real_distribution<float> u(0, 1);
                std::vector<float> w(16);
                vx_search_hit hits[10];
                for (int i = 0; i < 300; i++) {
                    for (float &x : w) x = u(rng);
                    int calls = 0;
                    vx_collection_iterator *it = nullptr;
                    switch ((t + i) % 6) {
                    case 0: vx_collection_insert(c.get(), w.data(), nullptr); break;
                    case 1: vx_collection_delete(c.get(), 1 + rng() % 500); break;
                    case 2: vx_collection_upsert(c.get(), 1 + rng() % 500, w.data()); break;
                    case 3: vx_collection_search(c.get(), w.data(), nullptr, hits); break;
                    case 4:
                        vx_collection_foreach(c.get(), nullptr, count_records, &calls);
                        it = vx_collection_create_iterator(c.get(), nullptr);
                        while (vx_collection_iterator_valid(it) && vx_collection_iterator_get_id(it))
                            vx_collection_iterator_next(it);
                        break;
                    default:
                        if (i % 60 == 5) vx_collection_rebuild_index(c.get());
                        else vx_collection_search_by_id(c.get(), 1 + rng() % 500, nullptr, hits);
                    }
                }
            });
        }
        for (auto &th : threads) th.join();
        std::vector<uint64_t> ids = record_ids(c.get());
        for (size_t i = 1; i < ids.size(); i++) ASSERT_LT(ids[i - 1], ids[i]);
        float q[16] = {0.5f};
        std::vector<Hit> hits = search_k(c.get(), q, 20);
        EXPECT_EQ(hits.size(), 20u);
        expect_sound(c.get(), q, hits);
    }
}

// A collection's graph reads the records' own vectors (one copy of each),
// through a build, later insertions and upserts.
TEST(CollectionSearch, GraphReadsTheRecordsOwnVectors) {
    Owned c = make_collection(6, VX_INDEX_HNSW);
    fill_random(c.get(), 300, 21);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    fill_random(c.get(), 50, 22);
    float moved[6] = {0.9f, 0.1f, 0.9f, 0.1f, 0.9f, 0.1f};
    ASSERT_EQ(vx_collection_upsert(c.get(), c->records[5].id, moved), VX_OK);
    auto shares_vectors = [](vx_collection *col) {
        EXPECT_TRUE(index_borrows_vectors(col->index));
        const vx_hnsw_index *h = (const vx_hnsw_index *)col->index->body;
        for (uint64_t i = 0; i < col->count; i++)
            EXPECT_EQ(h->vectors[col->records[i].id], col->records[i].vector) << i;
    };
    shares_vectors(c.get());
    std::vector<Hit> hits = search_k(c.get(), moved, 3);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].id, c->records[5].id);
    expect_same(hits, oracle_search(c.get(), moved, 3));
}
