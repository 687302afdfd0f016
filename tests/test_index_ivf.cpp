// Inverted-file index: training against a plain model of seeding and
// k-means, list assignment and growth, probing, quantized entries, metrics
// other than L2, and searches beside an add batch.
#include "index_test_util.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <set>

using namespace idxtest;

// Hostile sizes must fail as allocation failures, not abort the sanitizers.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

// Plain transcription of training: farthest-point seeding (recomputing every
// nearest-centroid distance from scratch) and `iterations` k-means rounds.
std::vector<float> model_train(const float *rows, uint64_t n, uint32_t d, uint32_t c,
                               uint32_t iterations, int32_t metric) {
    std::vector<float> cent(uint64_t(c) * d);
    float floor = metric == VX_METRIC_IP ? -INFINITY : 0.0f;
    uint64_t pick = vx_rand() % n;
    std::copy(rows + pick * d, rows + pick * d + d, cent.begin());
    for (uint32_t j = 1; j < c; j++) {
        float best = floor;
        for (uint64_t r = 0; r < n; r++) {
            float nearest = INFINITY;
            for (uint32_t i = 0; i < j; i++)
                nearest = std::min(nearest, vx_vec_distance(rows + r * d, &cent[i * d], d, metric));
            if (nearest > best) {
                best = nearest;
                pick = r;
            }
        }
        std::copy(rows + pick * d, rows + pick * d + d, cent.begin() + uint64_t(j) * d);
    }
    std::vector<uint32_t> assign(n);
    for (uint32_t it = 0; it < iterations; it++) {
        for (uint64_t r = 0; r < n; r++) {
            uint32_t best = 0;
            float bd = vx_vec_distance(rows + r * d, &cent[0], d, metric);
            for (uint32_t j = 1; j < c; j++) {
                float dd = vx_vec_distance(rows + r * d, &cent[j * d], d, metric);
                if (dd < bd) {
                    bd = dd;
                    best = j;
                }
            }
            assign[r] = best;
        }
        std::vector<float> sums(uint64_t(c) * d, 0.0f);
        std::vector<uint32_t> counts(c, 0);
        for (uint64_t r = 0; r < n; r++) {
            for (uint32_t t = 0; t < d; t++) sums[assign[r] * d + t] += rows[r * d + t];
            counts[assign[r]]++;
        }
        for (uint32_t j = 0; j < c; j++)
            if (counts[j])
                for (uint32_t t = 0; t < d; t++) cent[j * d + t] = sums[j * d + t] / (float)counts[j];
    }
    return cent;
}

std::vector<float> centroids_of(vx_index *index) {
    vx_ivf_index *ivf = ivf_body(index);
    std::vector<float> c;
    for (uint32_t j = 0; j < ivf->list_count; j++)
        c.insert(c.end(), ivf->lists[j].centroid, ivf->lists[j].centroid + ivf->dimension);
    return c;
}

TEST(IvfCreate, BodyAndRefusals) {
    vx_ivf_params ip = {3, 2, 5, 0, 77, 0};
    vx_ivf_index *ivf = vx_ivf_create(nullptr, 4, &ip);
    ASSERT_NE(ivf, nullptr);
    EXPECT_EQ(vx_ivf_get_nlist(ivf), 3u);
    EXPECT_EQ(ivf->reserved1, 77u);
    EXPECT_EQ(ivf->quant_type, 2);
    EXPECT_EQ(ivf->trained, 0u);
    for (uint32_t j = 0; j < 3; j++) {
        EXPECT_EQ(ivf->lists[j].capacity, 1024u);
        EXPECT_EQ(ivf->lists[j].centroid[3], 0.0f);
        EXPECT_NE(ivf->lists[j].lock, nullptr);
    }
    EXPECT_EQ(vx_ivf_get_list_size(ivf, 3), 0u);
    vx_ivf_destroy(ivf); // releases its own arena
    EXPECT_EQ(vx_ivf_create(nullptr, 0, &ip), nullptr);
    EXPECT_EQ(vx_ivf_create(nullptr, 4, nullptr), nullptr);
    ip.nlist = 0;
    EXPECT_EQ(vx_ivf_create(nullptr, 4, &ip), nullptr);
    ip.nlist = 0xFFFFFFFFu; // cannot be made: nothing left behind
    EXPECT_EQ(vx_ivf_create(nullptr, 4, &ip), nullptr);
}

TEST(IvfTrain, RefusalsAndAddingBeforeTraining) {
    vx_index_params p = ivf_params(2, 4, 2, 3);
    vx_index *index = vx_index_create(nullptr, &p);
    float data[8] = {0, 0, 1, 1, 2, 2, 3, 3};
    EXPECT_EQ(vx_index_add(index, 1, data), VX_ERR_INDEX_NOT_READY);
    EXPECT_EQ(vx_index_add(index, 1, data), -104);
    EXPECT_EQ(vx_index_train(index, data, 3), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_is_trained(index), 0);
    vx_search_result r[2];
    EXPECT_EQ(vx_index_search(index, data, 2, r), 0u);
    EXPECT_EQ(vx_index_train(index, data, 4), VX_OK);
    EXPECT_EQ(vx_index_is_trained(index), 1);
    // With n = nlist every row becomes a centroid, each once.
    std::set<std::vector<float>> rows, cents;
    for (int i = 0; i < 4; i++) rows.insert({data[2 * i], data[2 * i + 1]});
    auto c = centroids_of(index);
    for (int i = 0; i < 4; i++) cents.insert({c[2 * i], c[2 * i + 1]});
    EXPECT_EQ(rows, cents);
    // Removal is a no-op for lists: the id is still found.
    ASSERT_EQ(vx_index_add(index, 5, data + 2), VX_OK);
    EXPECT_EQ(vx_index_remove(index, 5), VX_OK);
    ASSERT_EQ(vx_index_search(index, data + 2, 1, r), 1u);
    EXPECT_EQ(r[0].id, 5u);
    vx_index_destroy(index);
}

TEST(IvfTrain, MatchesThePlainModel) {
    const uint32_t d = 5, c = 7;
    const uint64_t n = 400;
    auto data = random_vectors(n, d, 3);
    for (int32_t metric : {VX_METRIC_L2, VX_METRIC_IP, VX_METRIC_COSINE}) {
        for (uint32_t iterations : {0u, 1u, 6u}) {
            vx_index_params p = ivf_params(d, c, 2, iterations, metric);
            vx_index *index = vx_index_create(nullptr, &p);
            vx_srand(1000 + iterations);
            ASSERT_EQ(vx_index_train(index, data.data(), n), VX_OK);
            vx_srand(1000 + iterations);
            auto want = model_train(data.data(), n, d, c, iterations, metric);
            EXPECT_EQ(centroids_of(index), want) << metric << " " << iterations;
            vx_index_destroy(index);
        }
    }
}

// Seeding leaves rows unmeasured when the new centroid cannot come nearer
// to them; on tight, far-apart clusters (where most rows are left out, and
// rows repeat) the centroids are still the plain model's bit for bit.
TEST(IvfTrain, ClusteredSeedingMatchesThePlainModel) {
    const uint32_t d = 8, c = 48, clusters = 40, per = 30;
    const uint64_t n = uint64_t(clusters) * per;
    auto centres = random_vectors(clusters, d, 41, -100.0f, 200.0f);
    auto noise = random_vectors(n, d, 42, -0.5f, 1.0f);
    std::vector<float> data(n * d);
    for (uint64_t r = 0; r < n; r++)
        for (uint32_t t = 0; t < d; t++) data[r * d + t] = centres[(r % clusters) * d + t] + noise[r * d + t];
    for (uint64_t r = 0; r < n; r += 9) std::copy(&data[0], &data[d], &data[r * d]);  // repeats
    for (uint32_t iterations : {0u, 2u}) {
        vx_index_params p = ivf_params(d, c, 2, iterations, VX_METRIC_L2);
        vx_index *index = vx_index_create(nullptr, &p);
        vx_srand(77);
        ASSERT_EQ(vx_index_train(index, data.data(), n), VX_OK);
        vx_srand(77);
        EXPECT_EQ(centroids_of(index), model_train(data.data(), n, d, c, iterations, VX_METRIC_L2)) << iterations;
        vx_index_destroy(index);
    }
}

TEST(IvfTrain, EmptyClusterKeepsItsCentroid) {
    // Three copies of a and one b: the third seed repeats the second pick,
    // and the duplicate centroid (higher number) never wins a row.
    float data[8] = {1, 1, 1, 1, 1, 1, 9, 9};
    vx_index_params p = ivf_params(2, 3, 3, 4);
    vx_index *index = vx_index_create(nullptr, &p);
    vx_srand(2);
    ASSERT_EQ(vx_index_train(index, data, 4), VX_OK);
    auto c = centroids_of(index);
    vx_srand(2);
    EXPECT_EQ(c, model_train(data, 4, 2, 3, 4, VX_METRIC_L2));
    EXPECT_EQ(c[2], c[4]);
    EXPECT_EQ(c[3], c[5]);
    uint64_t ids[4] = {1, 2, 3, 4};
    ASSERT_EQ(vx_index_add_batch(index, ids, data, 4), VX_OK);
    EXPECT_EQ(vx_ivf_get_list_size(ivf_body(index), 2), 0u);
    vx_index_destroy(index);
}

TEST(IvfAdd, ListsDoubleAfterTheir1024thEntry) {
    vx_index_params p = ivf_params(2, 1, 1, 0);
    vx_index *index = vx_index_create(nullptr, &p);
    auto data = random_vectors(1025, 2, 4);
    ASSERT_EQ(vx_index_train(index, data.data(), 1), VX_OK);
    auto ids = sequential_ids(1025);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 1024), VX_OK);
    vx_ivf_list *list = &ivf_body(index)->lists[0];
    EXPECT_EQ(list->capacity, 1024u);
    ASSERT_EQ(vx_index_add(index, 1025, data.data() + 2048), VX_OK);
    EXPECT_EQ(list->capacity, 2048u);
    EXPECT_EQ(vx_ivf_get_list_size(ivf_body(index), 0), 1025u);
    EXPECT_EQ(vx_index_get_ntotal(index), 1025u);
    for (uint64_t i = 0; i < 1025; i++) {
        ASSERT_EQ(list->entries[i].id, i + 1);
        ASSERT_EQ(list->entries[i].vector[1], data[2 * i + 1]);
        ASSERT_EQ(list->entries[i].code, nullptr);
    }
    vx_index_destroy(index);
}

TEST(IvfAdd, EachVectorGoesToItsNearestList) {
    const uint32_t d = 3, c = 6;
    auto data = random_vectors(600, d, 5);
    vx_index_params p = ivf_params(d, c, 2, 3);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_train(index, data.data(), 600), VX_OK);
    auto ids = sequential_ids(600);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 600), VX_OK);
    vx_ivf_index *ivf = ivf_body(index);
    uint64_t total = 0;
    for (uint32_t j = 0; j < c; j++) {
        total += vx_ivf_get_list_size(ivf, j);
        for (uint64_t e = 0; e < ivf->lists[j].count; e++) {
            const float *v = data.data() + (ivf->lists[j].entries[e].id - 1) * d;
            for (uint32_t o = 0; o < c; o++) {
                float mine = vx_vec_l2_squared(v, ivf->lists[j].centroid, d);
                float other = vx_vec_l2_squared(v, ivf->lists[o].centroid, d);
                ASSERT_TRUE(o < j ? other > mine : other >= mine);
            }
        }
    }
    EXPECT_EQ(total, 600u);
    vx_index_destroy(index);
}

TEST(IvfSearch, ProbeCountsAndExactResultsOverAllLists) {
    const uint32_t d = 4, c = 5;
    const uint64_t n = 500;
    auto data = random_vectors(n, d, 6);
    auto ids = sequential_ids(n, 7);
    auto queries = random_vectors(10, d, 8);
    vx_search_result r[20];

    vx_index_params p = ivf_params(d, c, 0, 2);
    vx_index *none = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_train(none, data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_add_batch(none, ids.data(), data.data(), n), VX_OK);
    EXPECT_EQ(vx_index_search(none, queries.data(), 5, r), 0u); // nprobe 0
    vx_index_destroy(none);

    p = ivf_params(d, c, 99, 2); // more probes than lists scan them all
    vx_index *all = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_train(all, data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_add_batch(all, ids.data(), data.data(), n), VX_OK);
    for (int q = 0; q < 10; q++) {
        const float *query = queries.data() + q * d;
        auto want = brute_force(data.data(), ids.data(), n, d, query, 20, VX_METRIC_L2);
        ASSERT_EQ(vx_index_search(all, query, 20, r), 20u);
        for (int i = 0; i < 20; i++) {
            EXPECT_EQ(r[i].id, want[i].id);
            EXPECT_EQ(r[i].distance, want[i].distance); // squared, not a root
        }
    }
    // Fewer entries than k: every entry once.
    vx_search_result big[600];
    EXPECT_EQ(vx_index_search(all, queries.data(), 600, big), n);
    vx_index_destroy(all);
}

TEST(IvfSearch, OneProbeScansOnlyTheNearestList) {
    const uint32_t d = 2;
    auto data = random_vectors(300, d, 9);
    auto ids = sequential_ids(300);
    vx_index_params p = ivf_params(d, 4, 1, 3);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_train(index, data.data(), 300), VX_OK);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 300), VX_OK);
    vx_ivf_index *ivf = ivf_body(index);
    float q[2] = {0.3f, -0.2f};
    uint32_t nearest = 0;
    for (uint32_t j = 1; j < 4; j++)
        if (vx_vec_l2_squared(q, ivf->lists[j].centroid, d) <
            vx_vec_l2_squared(q, ivf->lists[nearest].centroid, d))
            nearest = j;
    std::set<uint64_t> members;
    for (uint64_t e = 0; e < ivf->lists[nearest].count; e++) members.insert(ivf->lists[nearest].entries[e].id);
    vx_search_result r[300];
    uint64_t hits = vx_index_search(index, q, 300, r);
    EXPECT_EQ(hits, members.size());
    for (uint64_t i = 0; i < hits; i++) EXPECT_TRUE(members.count(r[i].id));
    vx_index_destroy(index);
}

TEST(IvfSearch, InnerProductAndCosineRankLikeBruteForce) {
    const uint32_t d = 6, c = 4;
    const uint64_t n = 300;
    auto data = random_vectors(n, d, 10, -1.0f, 2.0f);
    auto ids = sequential_ids(n);
    auto queries = random_vectors(10, d, 11);
    for (int32_t metric : {VX_METRIC_IP, VX_METRIC_COSINE}) {
        vx_index_params p = ivf_params(d, c, c, 3, metric);
        vx_index *index = vx_index_create(nullptr, &p);
        ASSERT_EQ(vx_index_train(index, data.data(), n), VX_OK);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
        vx_search_result r[10];
        for (int q = 0; q < 10; q++) {
            const float *query = queries.data() + q * d;
            auto want = brute_force(data.data(), ids.data(), n, d, query, 10, metric);
            ASSERT_EQ(vx_index_search(index, query, 10, r), 10u);
            for (int i = 0; i < 10; i++) {
                EXPECT_EQ(r[i].id, want[i].id) << metric;
                EXPECT_EQ(r[i].distance, want[i].distance) << metric;
            }
        }
        vx_index_destroy(index);
    }
}

// The batch call answers a tile of queries per list scan; each query still
// gets, bit for bit and in order, what a search of its own gives, under every
// metric, with ties, more tiles than one and k beyond the probed entries.
TEST(IvfSearch, BatchEqualsOneQueryAtATime) {
    const uint32_t d = 9, c = 7;
    const uint64_t n = 700, nq = 300;
    auto data = random_vectors(n, d, 21, -1.0f, 2.0f);
    for (uint64_t i = 0; i < n; i += 5) data[i * d] = data[0];  // some equal distances
    auto ids = sequential_ids(n);
    auto queries = random_vectors(nq, d, 22);
    for (int32_t metric : {VX_METRIC_L2, VX_METRIC_IP, VX_METRIC_COSINE}) {
        vx_index_params p = ivf_params(d, c, 3, 3, metric);
        vx_index *index = vx_index_create(nullptr, &p);
        ASSERT_EQ(vx_index_train(index, data.data(), n), VX_OK);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
        for (uint32_t nprobe : {1u, 3u, 7u}) {
            vx_index_set_search_width(index, nprobe);
            for (uint64_t k : {1, 10, 900}) {
                std::vector<vx_search_result> batch(nq * k), one(k);
                ASSERT_EQ(vx_index_search_batch(index, queries.data(), nq, k, batch.data()), VX_OK);
                for (uint64_t q = 0; q < nq; q++) {
                    uint64_t got = vx_index_search(index, queries.data() + q * d, k, one.data());
                    ASSERT_GT(got, 0u);
                    for (uint64_t i = 0; i < got; i++) {
                        ASSERT_EQ(batch[q * k + i].id, one[i].id) << metric << " " << nprobe << " " << k << " " << q;
                        ASSERT_EQ(memcmp(&batch[q * k + i].distance, &one[i].distance, 4), 0);
                    }
                }
            }
        }
        vx_index_destroy(index);
    }
}

TEST(IvfQuantized, CodesAndRootDistances) {
    const uint32_t d = 8;
    const uint64_t n = 200;
    auto data = random_vectors(n, d, 12);
    auto ids = sequential_ids(n);
    float *q = data.data() + 5 * d;
    vx_search_result r[5];

    vx_index_params p = ivf_params(d, 2, 2, 2, 0, VX_INDEX_IVF_SQ);
    vx_index *sq = vx_index_create(nullptr, &p);
    ASSERT_NE(sq, nullptr);
    vx_ivf_index *body = ivf_body(sq);
    ASSERT_NE(body->sq, nullptr);
    ASSERT_EQ(vx_index_train(sq, data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_add_batch(sq, ids.data(), data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_search(sq, q, 5, r), 5u);
    vx_ivf_entry *e = &body->lists[0].entries[0];
    EXPECT_EQ(e->vector, nullptr);
    ASSERT_NE(e->code, nullptr);
    // Hits carry the quantizer's L2 root for their codes.
    for (auto &hit : r) {
        std::vector<uint8_t> code(d);
        vx_sq_quantize(body->sq, data.data() + (hit.id - 1) * d, code.data());
        EXPECT_EQ(hit.distance, vx_sq_distance(body->sq, code.data(), q, 0));
    }
    EXPECT_LT(r[0].distance, 0.1f);
    vx_index_destroy(sq);

    p = ivf_params(d, 2, 2, 2, 0, VX_INDEX_IVF_PQ);
    p.pq_m = 4;
    p.pq_nbits = 6;
    vx_index *pq = vx_index_create(nullptr, &p);
    ASSERT_NE(pq, nullptr);
    body = ivf_body(pq);
    ASSERT_NE(body->pq, nullptr);
    ASSERT_EQ(vx_index_train(pq, data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_add_batch(pq, ids.data(), data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_search(pq, q, 5, r), 5u);
    for (auto &hit : r) {
        uint8_t code[4];
        vx_pq_encode(body->pq, data.data() + (hit.id - 1) * d, code);
        EXPECT_EQ(hit.distance, vx_pq_distance(body->pq, q, code, 0));
    }
    vx_index_destroy(pq);

    // A product quantizer that cannot be made (9-bit codes do not fit a
    // byte) leaves kind 3 storing raw vectors with squared distances.
    p.pq_nbits = 9;
    vx_index *raw = vx_index_create(nullptr, &p);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(ivf_body(raw)->pq, nullptr);
    ASSERT_EQ(vx_index_train(raw, data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_add_batch(raw, ids.data(), data.data(), n), VX_OK);
    ASSERT_EQ(vx_index_search(raw, q, 1, r), 1u);
    EXPECT_EQ(r[0].id, 6u);
    EXPECT_EQ(r[0].distance, 0.0f);
    vx_index_destroy(raw);
}

// Every hit of a full scan carries exactly the quantizer's own distance under
// the index metric, over lists longer than one scanning chunk.
TEST(IvfQuantized, FullScansMatchTheQuantizerDistancesUnderEveryMetric) {
    const uint32_t d = 16;
    const uint64_t n = 700;
    auto data = random_vectors(n, d, 31);
    auto ids = sequential_ids(n);
    std::vector<vx_search_result> r(n);
    for (int32_t kind : {(int32_t)VX_INDEX_IVF_SQ, (int32_t)VX_INDEX_IVF_PQ}) {
        for (int32_t metric : {0, 1, 2}) {
            vx_index_params p = ivf_params(d, 3, 3, 2, metric, kind);
            p.pq_m = 4;
            p.pq_nbits = 8;
            vx_index *index = vx_index_create(nullptr, &p);
            ASSERT_NE(index, nullptr);
            vx_ivf_index *body = ivf_body(index);
            ASSERT_EQ(vx_index_train(index, data.data(), n), VX_OK);
            ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
            const float *q = data.data() + 9 * d;
            ASSERT_EQ(vx_index_search(index, q, n, r.data()), n);
            for (const vx_search_result &hit : r) {
                std::vector<uint8_t> code(d);
                const float *v = data.data() + (hit.id - 1) * d;
                float expected;
                if (kind == VX_INDEX_IVF_SQ) {
                    vx_sq_quantize(body->sq, v, code.data());
                    expected = vx_sq_distance(body->sq, code.data(), q, metric);
                } else {
                    vx_pq_encode(body->pq, v, code.data());
                    expected = vx_pq_distance(body->pq, q, code.data(), metric);
                }
                ASSERT_EQ(memcmp(&hit.distance, &expected, sizeof(float)), 0)
                    << "kind " << kind << " metric " << metric << " id " << hit.id;
            }
            vx_index_destroy(index);
        }
    }
}

/* ---- concurrency ---------------------------------------------------------------- */

struct SharedLists {
    vx_index *index;
    const float *queries;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
};

void *probe_loop(void *arg) {
    SharedLists *s = (SharedLists *)arg;
    vx_search_result r[6];
    uint64_t last = 0;
    for (uint64_t i = 0; !s->done.load() || i < 20; i++) {
        uint64_t n = vx_index_search(s->index, s->queries + (i % 8) * 4, 6, r);
        for (uint64_t j = 1; j < n; j++)
            if (r[j - 1].distance > r[j].distance) s->bad++;
        uint64_t total = vx_index_get_ntotal(s->index);
        if (total < last) s->bad++;
        last = total;
        vx_sleep(1);
    }
    return nullptr;
}

TEST(IvfConcurrency, SearchesBesideAddBatches) {
    auto data = random_vectors(3000, 4, 13);
    auto queries = random_vectors(8, 4, 14);
    vx_index_params p = ivf_params(4, 8, 3, 2);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_train(index, data.data(), 3000), VX_OK);
    SharedLists s;
    s.index = index;
    s.queries = queries.data();
    pthread_t readers[3];
    for (auto &t : readers) pthread_create(&t, nullptr, probe_loop, &s);
    auto ids = sequential_ids(3000);
    for (uint64_t at = 0; at < 3000; at += 50)
        EXPECT_EQ(vx_index_add_batch(index, ids.data() + at, data.data() + at * 4, 50), VX_OK);
    s.done = true;
    for (auto &t : readers) pthread_join(t, nullptr);
    EXPECT_EQ(s.bad.load(), 0);
    EXPECT_EQ(vx_index_get_ntotal(index), 3000u);
    vx_index_destroy(index);
}

} // namespace
