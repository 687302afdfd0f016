// Index framework: the bounded result heap, result ordering, creation and
// refusals of the seven kinds, argument checks of the dispatch, the batch
// search sentinel, memory estimates and statistics.
#include "index_test_util.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <set>

using namespace idxtest;

namespace {

std::vector<float> heap_distances(const vx_result_heap &h) {
    std::vector<float> d;
    for (uint64_t i = 0; i < h.count; i++) d.push_back(h.items[i].distance);
    return d;
}

TEST(ResultHeap, KeepsTheSmallestAndRejectsEqualToTheRoot) {
    vx_heap_item items[3];
    vx_result_heap heap = {items, 0, 3};
    const float fed[] = {5, 1, 4, 2, 3};
    for (int i = 0; i < 5; i++) heap_offer(&heap, 10 + i, 7, fed[i]);
    ASSERT_EQ(heap.count, 3u);
    EXPECT_EQ(items[0].distance, 3.0f);
    std::vector<float> kept = heap_distances(heap);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(items[0].id, 14u);
    EXPECT_EQ(items[0].tag, 7u);

    heap_offer(&heap, 99, 0, 3.0f); // equal to the root: the earlier push stays
    EXPECT_EQ(items[0].id, 14u);
    heap_offer(&heap, 100, 0, 0.5f); // evicts 3
    kept = heap_distances(heap);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<float>{0.5f, 1, 2}));
    EXPECT_EQ(items[0].distance, 2.0f);
}

TEST(ResultHeap, HeapPropertyHoldsOnRandomInput) {
    std::mt19937 rng(3);
    std::vector<vx_heap_item> items(17);
    vx_result_heap heap = {items.data(), 0, 17};
    std::vector<float> all;
    for (int i = 0; i < 500; i++) {
        float d = float(rng() % 1000);
        all.push_back(d);
        heap_offer(&heap, i, 0, d);
        for (uint64_t c = 1; c < heap.count; c++)
            ASSERT_GE(items[(c - 1) / 2].distance, items[c].distance);
    }
    std::sort(all.begin(), all.end());
    std::vector<float> kept = heap_distances(heap);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, std::vector<float>(all.begin(), all.begin() + 17));
}

TEST(ResultHeap, WithoutItemsNothingIsAccepted) {
    vx_heap_item items[2];
    vx_result_heap none = {nullptr, 0, 4};
    heap_offer(&none, 1, 0, 1.0f);
    EXPECT_EQ(none.count, 0u);
    vx_result_heap zero = {items, 0, 0};
    heap_offer(&zero, 1, 0, 1.0f);
    EXPECT_EQ(zero.count, 0u);
}

TEST(ResultOrdering, CompareResults) {
    vx_search_result a = {1, 1.0f}, b = {2, 2.0f}, n = {3, NAN};
    EXPECT_EQ(compare_results(&a, &b), -1);
    EXPECT_EQ(compare_results(&b, &a), 1);
    EXPECT_EQ(compare_results(&a, &a), 0);
    EXPECT_EQ(compare_results(&a, &n), 0);
    EXPECT_EQ(compare_results(&n, &a), 0);
}

// Under squared L2 a bounded batch gives the exact distance within the bound
// and a value in (bound, exact] beyond it; other metrics ignore the bound and
// give index_distance_batch's values. A null query and dimension 0 give the
// sentinel throughout.
TEST(IndexDistances, BoundedBatchFollowsTheMetric) {
    const uint32_t dim = 200, n = 21;
    std::vector<float> q = random_vectors(1, dim, 5), rows = random_vectors(n, dim, 6);
    for (uint32_t i = 0; i < n; i++)  // all but the first eight much farther away
        for (uint32_t j = 0; j < dim; j++) rows[i * dim + j] = q[j] + rows[i * dim + j] * (i >= 8 ? 4.0f : 0.1f);
    std::vector<const float *> list(n);
    for (uint32_t i = 0; i < n; i++) list[i] = rows.data() + i * dim;
    list[3] = nullptr;
    auto bits = [](float x) {
        uint32_t u;
        std::memcpy(&u, &x, 4);
        return u;
    };
    const float bound = index_distance(q.data(), list[0], dim, VX_METRIC_L2) * 2;
    std::vector<float> full(n), out(n);
    uint32_t cut = 0;
    for (int32_t metric : {(int32_t)VX_METRIC_L2, (int32_t)VX_METRIC_IP, (int32_t)VX_METRIC_COSINE, 5}) {
        index_distance_batch(q.data(), list.data(), n, dim, metric, full.data());
        index_distance_batch_bounded(q.data(), list.data(), n, dim, metric, bound, out.data());
        for (uint32_t i = 0; i < n; i++) {
            if (metric != VX_METRIC_L2 || full[i] <= bound) {
                EXPECT_EQ(bits(out[i]), bits(full[i])) << "metric " << metric << " i " << i;
            } else {
                EXPECT_GT(out[i], bound) << i;
                EXPECT_LE(out[i], full[i]) << i;
                cut += out[i] != full[i];
            }
        }
        if (metric == VX_METRIC_L2) {
            EXPECT_EQ(bits(out[3]), bits(VX_DISTANCE_SENTINEL));
        }
        for (uint32_t d : {dim, 0u}) {
            index_distance_batch_bounded(d ? nullptr : q.data(), list.data(), n, d, metric, bound, out.data());
            for (float x : out) EXPECT_EQ(bits(x), bits(VX_DISTANCE_SENTINEL)) << "metric " << metric << " dim " << d;
        }
    }
    EXPECT_GT(cut, 0u);
    out[0] = 1.0f;
    index_distance_batch_bounded(q.data(), list.data(), 0, dim, VX_METRIC_L2, bound, out.data());
    EXPECT_EQ(out[0], 1.0f);
}

TEST(IndexCreate, RefusalsLeaveNothingBehind) {
    // Leaks of the arenas made here would be reported by the leak checker.
    EXPECT_EQ(vx_index_create(nullptr, nullptr), nullptr);
    vx_index_params p = hnsw_params(4, 8, 16, 16);
    for (int32_t kind : {0, 7, -1, 100}) {
        p.type = (vx_index_type)kind;
        EXPECT_EQ(vx_index_create(nullptr, &p), nullptr) << kind;
    }
    p = hnsw_params(0, 8, 16, 16);
    EXPECT_EQ(vx_index_create(nullptr, &p), nullptr);
    p = ivf_params(4, 0, 1, 1);
    EXPECT_EQ(vx_index_create(nullptr, &p), nullptr);

    vx_arena *arena = nullptr;
    ASSERT_EQ(vx_arena_create(0, &arena), VX_OK);
    uint64_t before = vx_arena_get_used_size(arena);
    p = hnsw_params(4, 8, 16, 16);
    p.type = VX_INDEX_FLAT;
    EXPECT_EQ(vx_index_create(arena, &p), nullptr);
    EXPECT_EQ(vx_arena_get_used_size(arena), before);
    vx_arena_destroy(arena);
}

TEST(IndexCreate, EveryKindWithItsOwnOrACallersArena) {
    vx_arena *arena = nullptr;
    ASSERT_EQ(vx_arena_create(0, &arena), VX_OK);
    for (int32_t kind = 1; kind <= 6; kind++) {
        vx_index_params p = !index_kind_is_graph(kind) ? ivf_params(8, 2, 1, 1, 0, kind)
                                                : hnsw_params(8, 4, 8, 8, 0, kind);
        p.pq_m = 2;
        p.pq_nbits = 4;
        for (vx_arena *a : {(vx_arena *)nullptr, arena}) {
            vx_index *index = vx_index_create(a, &p);
            ASSERT_NE(index, nullptr) << kind;
            EXPECT_EQ(vx_index_get_type(index), kind);
            EXPECT_EQ(vx_index_get_dim(index), 8u);
            EXPECT_EQ(vx_index_get_ntotal(index), 0u);
            EXPECT_EQ(vx_index_is_trained(index), !index_kind_is_graph(kind) ? 0 : 1);
            EXPECT_EQ(index->owns_arena, a == nullptr);
            EXPECT_EQ(*(int32_t *)index->body, kind); // the body's kind is the exact one
            vx_index_destroy(index);
        }
    }
    vx_arena_destroy(arena);
}

TEST(IndexCreate, AccessorsOnNull) {
    EXPECT_EQ(vx_index_get_type(nullptr), VX_INDEX_FLAT);
    EXPECT_EQ(vx_index_get_dim(nullptr), 0u);
    EXPECT_EQ(vx_index_get_ntotal(nullptr), 0u);
    EXPECT_EQ(vx_index_is_trained(nullptr), 0);
    vx_index_destroy(nullptr);
    EXPECT_EQ(vx_hnsw_get_max_level(nullptr), 0u);
    EXPECT_EQ(vx_hnsw_get_entry_point(nullptr), -1);
    EXPECT_EQ(vx_ivf_get_nlist(nullptr), 0u);
    EXPECT_EQ(vx_ivf_get_list_size(nullptr, 0), 0u);
    EXPECT_EQ(vx_index_get_memory_usage(nullptr), 0u);
    vx_index_stats stats;
    EXPECT_EQ(vx_index_get_stats(nullptr, &stats), VX_ERR_INVALID_ARG);
}

TEST(IndexDispatch, ArgumentChecks) {
    vx_index_params p = hnsw_params(2, 4, 8, 8);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_NE(index, nullptr);
    float v[2] = {1, 2};
    uint64_t id = 1;
    vx_search_result r[2];
    EXPECT_EQ(vx_index_add_batch(nullptr, &id, v, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_add_batch(index, nullptr, v, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_add_batch(index, &id, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_add_batch(index, &id, v, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_add(nullptr, 1, v), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_train(nullptr, v, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_train(index, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_train(index, v, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_train(index, v, 1), VX_OK); // graphs need no training
    EXPECT_EQ(vx_index_remove(nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_remove_batch(index, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_remove_batch(index, &id, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_remove_batch(nullptr, &id, 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_search(index, v, 2, r), 0u); // empty
    ASSERT_EQ(vx_index_add(index, 1, v), VX_OK);
    EXPECT_EQ(vx_index_search(nullptr, v, 2, r), 0u);
    EXPECT_EQ(vx_index_search(index, nullptr, 2, r), 0u);
    EXPECT_EQ(vx_index_search(index, v, 2, nullptr), 0u);
    EXPECT_EQ(vx_index_search(index, v, 0, r), 0u);
    EXPECT_EQ(vx_index_search(index, v, 2, r), 1u);
    EXPECT_EQ(vx_index_search_batch(nullptr, v, 1, 1, r), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_search_batch(index, nullptr, 1, 1, r), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_search_batch(index, v, 1, 1, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_search_batch(index, v, 0, 1, r), VX_OK);
    vx_index_destroy(index);
}

TEST(IndexDispatch, KindSixRefusesAddsAndOnlyKindTwoRemoves) {
    vx_index_params p = hnsw_params(2, 4, 8, 8, 0, VX_INDEX_HNSW_SQ);
    vx_index *sq = vx_index_create(nullptr, &p);
    ASSERT_NE(sq, nullptr);
    float v[2] = {1, 2};
    EXPECT_EQ(vx_index_add(sq, 1, v), VX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(vx_index_get_ntotal(sq), 0u);
    EXPECT_EQ(vx_index_is_trained(sq), 1);
    vx_index_destroy(sq);

    // Kind 4 inserts like kind 2 but removal is a successful no-op.
    p = hnsw_params(2, 4, 8, 8, 0, VX_INDEX_HNSW_PQ);
    vx_index *pq = vx_index_create(nullptr, &p);
    ASSERT_NE(pq, nullptr);
    ASSERT_EQ(vx_index_add(pq, 1, v), VX_OK);
    EXPECT_EQ(vx_index_remove(pq, 1), VX_OK);
    vx_search_result r[1];
    ASSERT_EQ(vx_index_search(pq, v, 1, r), 1u);
    EXPECT_EQ(r[0].id, 1u);
    vx_index_destroy(pq);
}

TEST(IndexDispatch, RemoveBatchStopsAtNothingOnSuccess) {
    vx_index_params p = hnsw_params(1, 4, 8, 8);
    vx_index *index = vx_index_create(nullptr, &p);
    float v[3] = {0, 1, 2};
    uint64_t ids[3] = {1, 2, 3};
    ASSERT_EQ(vx_index_add_batch(index, ids, v, 3), VX_OK);
    uint64_t gone[3] = {1, 77, 3}; // an absent id is fine
    EXPECT_EQ(vx_index_remove_batch(index, gone, 3), VX_OK);
    vx_search_result r[3];
    ASSERT_EQ(vx_index_search(index, v, 3, r), 1u);
    EXPECT_EQ(r[0].id, 2u);
    EXPECT_EQ(vx_index_get_ntotal(index), 3u);
    vx_index_destroy(index);
}

TEST(IndexSearchBatch, QueryWithoutHitsGetsTheSentinelRecord) {
    // Two lists, one probe: a query near the empty list finds nothing.
    vx_index_params p = ivf_params(1, 2, 1, 0);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_NE(index, nullptr);
    float train[2] = {0.0f, 100.0f};
    ASSERT_EQ(vx_index_train(index, train, 2), VX_OK);
    float near_zero[3] = {0.0f, 1.0f, 2.0f};
    uint64_t ids[3] = {1, 2, 3};
    ASSERT_EQ(vx_index_add_batch(index, ids, near_zero, 3), VX_OK);
    float queries[3] = {0.4f, 99.0f, 1.6f};
    vx_search_result r[6];
    for (auto &x : r) x = {12345, -7.0f};
    ASSERT_EQ(vx_index_search_batch(index, queries, 3, 2, r), VX_OK);
    EXPECT_EQ(r[0].id, 1u);
    EXPECT_EQ(r[1].id, 2u);
    EXPECT_EQ(r[2].id, UINT64_MAX);
    uint32_t bits;
    std::memcpy(&bits, &r[2].distance, 4);
    EXPECT_EQ(bits, 0x7F7FFFFFu);
    EXPECT_EQ(r[3].id, 12345u); // the rest of an empty block is untouched
    EXPECT_EQ(r[4].id, 3u);
    EXPECT_EQ(r[5].id, 2u);
    vx_index_destroy(index);
}

// Queries shared among threads get their rows exactly as one thread gives
// them, for a graph and for an inverted file, whatever the thread count
// (beyond the queries, beyond the limit); the sentinel row included.
TEST(IndexSearchBatch, ThreadsAnswerRowForRowAsOneThread) {
    const uint32_t d = 8;
    const uint64_t n = 1500, nq = 37, k = 5;
    auto data = random_vectors(n, d, 31);
    auto ids = sequential_ids(n);
    auto queries = random_vectors(nq, d, 32);
    vx_index_params params[2] = {hnsw_params(d, 8, 40, 20), ivf_params(d, 6, 2, 3)};
    for (vx_index_params &p : params) {
        vx_index *index = vx_index_create(nullptr, &p);
        ASSERT_NE(index, nullptr);
        ASSERT_EQ(vx_index_train(index, data.data(), n), VX_OK);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
        std::vector<vx_search_result> one(nq * k), many(nq * k);
        ASSERT_EQ(vx_index_search_batch(index, queries.data(), nq, k, one.data()), VX_OK);
        for (uint32_t threads : {0u, 1u, 2u, 3u, 36u, 37u, 50u, 1000u}) {
            for (auto &r : many) r = {7, 7.0f};
            ASSERT_EQ(vx_index_search_batch_threads(index, queries.data(), nq, k, threads, many.data()), VX_OK);
            for (uint64_t i = 0; i < nq * k; i++) {
                ASSERT_EQ(many[i].id, one[i].id) << threads << " " << i;
                ASSERT_EQ(memcmp(&many[i].distance, &one[i].distance, 4), 0);
            }
        }
        EXPECT_EQ(vx_index_search_batch_threads(index, queries.data(), 0, k, 4, many.data()), VX_OK);
        EXPECT_EQ(vx_index_search_batch_threads(nullptr, queries.data(), nq, k, 4, many.data()), VX_ERR_INVALID_ARG);
        EXPECT_EQ(vx_index_search_batch_threads(index, nullptr, nq, k, 4, many.data()), VX_ERR_INVALID_ARG);
        EXPECT_EQ(vx_index_search_batch_threads(index, queries.data(), nq, k, 4, nullptr), VX_ERR_INVALID_ARG);
        vx_index_destroy(index);
    }
}

TEST(IndexStats, MemoryEstimatesAndRecords) {
    vx_index_params hp = hnsw_params(8, 16, 32, 16);
    vx_index *h = vx_index_create(nullptr, &hp);
    EXPECT_EQ(vx_index_get_memory_usage(h), 32936u);
    auto vecs = random_vectors(3, 8, 1);
    auto ids = sequential_ids(3);
    ASSERT_EQ(vx_index_add_batch(h, ids.data(), vecs.data(), 3), VX_OK);
    EXPECT_EQ(vx_index_get_memory_usage(h), 32936u + 3 * 96);
    ASSERT_EQ(vx_index_remove(h, 2), VX_OK);
    EXPECT_EQ(vx_index_get_memory_usage(h), 32936u + 2 * 96);
    vx_index_stats s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(vx_index_get_stats(h, &s), VX_OK);
    EXPECT_EQ(s.ntotal, 3u); // removals do not lower it
    EXPECT_EQ(s.memory_bytes, 32936u + 2 * 96);
    EXPECT_EQ(s.nlist, 0u);
    EXPECT_EQ(s.max_level, vx_hnsw_get_max_level(hnsw_body(h)));
    EXPECT_EQ(s.reserved0, 0u);
    EXPECT_EQ(s.reserved1, 0u);
    EXPECT_EQ(vx_index_get_stats(h, nullptr), VX_ERR_INVALID_ARG);
    vx_index_destroy(h);

    vx_index_params ip = ivf_params(8, 4, 2, 3);
    vx_index *ivf = vx_index_create(nullptr, &ip);
    EXPECT_EQ(vx_index_get_memory_usage(ivf), 312u);
    auto data = random_vectors(10, 8, 2);
    auto ids10 = sequential_ids(10);
    ASSERT_EQ(vx_index_train(ivf, data.data(), 10), VX_OK);
    ASSERT_EQ(vx_index_add_batch(ivf, ids10.data(), data.data(), 10), VX_OK);
    EXPECT_EQ(vx_index_get_memory_usage(ivf), 872u);
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(vx_index_get_stats(ivf, &s), VX_OK);
    EXPECT_EQ(s.ntotal, 10u);
    EXPECT_EQ(s.memory_bytes, 872u);
    EXPECT_EQ(s.nlist, 4u);
    EXPECT_EQ(s.max_level, 0u);
    vx_index_destroy(ivf);
}

void *refusing_alloc(uint64_t, void *) { return nullptr; }

struct SearchCall {
    vx_index *index;
    const float *query;
    uint64_t hits;
};

void *search_once(void *arg) {
    SearchCall *c = (SearchCall *)arg;
    vx_search_result r[4];
    c->hits = vx_index_search(c->index, c->query, 4, r);
    return nullptr;
}

// Searches whose working memory cannot be had report no hits, and adds
// report VX_ERR_NO_MEMORY; both work again once memory is back.
TEST(IndexMemory, ExhaustedAllocatorGivesNoHitsAndNoMemory) {
    auto data = random_vectors(50, 4, 9);
    auto ids = sequential_ids(50);
    vx_index_params ip = ivf_params(4, 2, 2, 1);
    vx_index *ivf = vx_index_create(nullptr, &ip);
    vx_index_params hp = hnsw_params(4, 4, 16, 16);
    vx_index *graph = vx_index_create(nullptr, &hp);
    ASSERT_EQ(vx_index_train(ivf, data.data(), 50), VX_OK);
    ASSERT_EQ(vx_index_add_batch(ivf, ids.data(), data.data(), 50), VX_OK);
    ASSERT_EQ(vx_index_add_batch(graph, ids.data(), data.data(), 50), VX_OK);

    vx_allocator saved = *vx_get_allocator();
    vx_allocator failing = saved;
    failing.alloc = refusing_alloc;
    ASSERT_EQ(vx_set_allocator(&failing), VX_OK);
    vx_search_result r[4];
    uint64_t ivf_hits = vx_index_search(ivf, data.data(), 4, r);
    vx_status train = vx_index_train(ivf, data.data(), 50);
    vx_status add = vx_index_add(ivf, 99, data.data());
    // A thread without working memory yet cannot search the graph.
    SearchCall call = {graph, data.data(), 77};
    pthread_t t;
    pthread_create(&t, nullptr, search_once, &call);
    pthread_join(t, nullptr);
    ASSERT_EQ(vx_set_allocator(&saved), VX_OK);

    EXPECT_EQ(ivf_hits, 0u);
    EXPECT_EQ(train, VX_ERR_NO_MEMORY);
    EXPECT_EQ(add, VX_ERR_NO_MEMORY);
    EXPECT_EQ(call.hits, 0u);
    EXPECT_EQ(vx_index_is_trained(ivf), 1);
    EXPECT_EQ(vx_index_get_ntotal(ivf), 50u);
    EXPECT_EQ(vx_index_search(ivf, data.data(), 4, r), 4u);
    EXPECT_EQ(r[0].id, 1u);
    pthread_create(&t, nullptr, search_once, &call);
    pthread_join(t, nullptr);
    EXPECT_EQ(call.hits, 4u);
    vx_index_destroy(ivf);
    vx_index_destroy(graph);
}

} // namespace
