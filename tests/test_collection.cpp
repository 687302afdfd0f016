// Collections: records, lookups, metadata and filters, iteration.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "collection_test_util.h"
#include "index_test_util.h"
#include "vx_index_internal.h"
#include "vx_simd_internal.h"

using namespace coltest;

TEST(Collection, CreationNeedsOptionsAndDimension) {
    EXPECT_EQ(vx_collection_create(nullptr, nullptr), nullptr);
    vx_collection_config cfg = config_for("zero", 0, VX_INDEX_FLAT);
    EXPECT_EQ(vx_collection_create(nullptr, &cfg), nullptr);
    cfg = config_for("ok", 3, VX_INDEX_FLAT);
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(vx_collection_get_name(c), "ok");
    EXPECT_EQ(vx_collection_get_name(nullptr), nullptr);
    vx_collection_stats st;
    EXPECT_EQ(vx_collection_get_stats(nullptr, &st), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_get_stats(c, nullptr), VX_ERR_INVALID_ARG);
    ASSERT_EQ(vx_collection_get_stats(c, &st), VX_OK);
    EXPECT_EQ(st.count, 0u);
    EXPECT_EQ(st.capacity, 4096u);
    EXPECT_EQ(st.dimension, 3u);
    EXPECT_EQ(st.index_type, -1);  // flat: no index object
    EXPECT_EQ(st.index_trained, 0);
    EXPECT_GT(st.memory_used, 0u);
    EXPECT_EQ(vx_collection_has_index(c), 0);
    vx_collection_destroy(c);
    vx_collection_destroy(nullptr);
}

TEST(Collection, NameIsCopiedUpToItsZeroByte) {
    char name[] = "alpha\0beta";
    vx_collection_config cfg = config_for("", 2, VX_INDEX_FLAT);
    cfg.name.data = name;
    cfg.name.len = sizeof(name) - 1;
    Owned c(vx_collection_create(nullptr, &cfg));
    name[0] = 'X';  // the collection keeps its own copy
    EXPECT_STREQ(vx_collection_get_name(c.get()), "alpha");
    cfg.name.data = nullptr;
    Owned nameless(vx_collection_create(nullptr, &cfg));
    EXPECT_EQ(vx_collection_get_name(nameless.get()), nullptr);
}

TEST(Collection, IdsCountFromOneAndTheArrayGrows) {
    Owned c = make_collection(2, VX_INDEX_FLAT);
    uint64_t id = 0;
    float v[2] = {1, 2};
    EXPECT_EQ(vx_collection_insert(nullptr, v, &id), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_insert(c.get(), nullptr, &id), VX_ERR_INVALID_ARG);
    for (uint64_t i = 1; i <= 4096; i++) {
        ASSERT_EQ(vx_collection_insert(c.get(), v, &id), VX_OK);
        ASSERT_EQ(id, i);
    }
    vx_collection_stats st;
    vx_collection_get_stats(c.get(), &st);
    EXPECT_EQ(st.capacity, 4096u);
    ASSERT_EQ(vx_collection_insert(c.get(), v, nullptr), VX_OK);
    vx_collection_get_stats(c.get(), &st);
    EXPECT_EQ(st.count, 4097u);
    EXPECT_EQ(st.capacity, 8192u);
    float out[2] = {0, 0};
    ASSERT_EQ(vx_collection_get(c.get(), 4097, out), VX_OK);
    EXPECT_EQ(out[1], 2.0f);
}

TEST(Collection, ClearRestartsIdsAndKeepsCapacity) {
    Owned c = make_collection(2, VX_INDEX_HNSW);
    fill_random(c.get(), 5000, 1);
    ASSERT_EQ(vx_collection_clear(c.get()), VX_OK);
    EXPECT_EQ(vx_collection_clear(nullptr), VX_ERR_INVALID_ARG);
    vx_collection_stats st;
    vx_collection_get_stats(c.get(), &st);
    EXPECT_EQ(st.count, 0u);
    EXPECT_EQ(st.capacity, 8192u);
    EXPECT_EQ(st.index_type, VX_INDEX_HNSW);  // a fresh index of the configured kind
    float v[2] = {3, 4}, out[2];
    uint64_t id = 0;
    ASSERT_EQ(vx_collection_insert(c.get(), v, &id), VX_OK);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(vx_collection_get(c.get(), 2, out), VX_ERR_NOT_FOUND);
}

TEST(Collection, DeletionKeepsOrderAndLookupsFollow) {
    Owned c = make_collection(1, VX_INDEX_FLAT);
    for (int i = 0; i < 3; i++) {
        float v = (float)(i + 1);
        vx_collection_insert(c.get(), &v, nullptr);
    }
    EXPECT_EQ(vx_collection_delete(nullptr, 2), VX_ERR_INVALID_ARG);
    ASSERT_EQ(vx_collection_delete(c.get(), 2), VX_OK);
    EXPECT_EQ(vx_collection_delete(c.get(), 2), VX_ERR_NOT_FOUND);
    EXPECT_EQ(record_ids(c.get()), (std::vector<uint64_t>{1, 3}));
    float out = 0;
    ASSERT_EQ(vx_collection_get(c.get(), 3, &out), VX_OK);
    EXPECT_EQ(out, 3.0f);

    uint64_t missing[] = {7, 8, 9};
    EXPECT_EQ(vx_collection_delete_batch(c.get(), missing, 3), VX_OK);
    EXPECT_EQ(vx_collection_delete_batch(c.get(), nullptr, 3), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_delete_batch(c.get(), missing, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_delete_by_filter(nullptr, nullptr), -1);
    EXPECT_EQ(vx_collection_delete_by_filter(c.get(), nullptr), 2);
    EXPECT_TRUE(record_ids(c.get()).empty());
}

// Random inserts, deletes and upserts; every lookup agrees with a plain
// scan over the records.
TEST(Collection, LookupsAgreeWithALinearScan) {
    Owned c = make_collection(4, VX_INDEX_FLAT);
    std::mt19937_64 rng(7);
    std::vector<float> v(4);
    for (int round = 0; round < 3000; round++) {
        int action = (int)(rng() % 10);
        if (action < 6) {
            for (float &x : v) x = (float)(rng() % 1000);
            vx_collection_insert(c.get(), v.data(), nullptr);
        } else if (action < 9) {
            vx_collection_delete(c.get(), 1 + rng() % (round + 1));
        } else {
            for (float &x : v) x = -1;
            vx_collection_upsert(c.get(), 1 + rng() % (round + 1), v.data());
        }
    }
    vx_collection_stats st;
    vx_collection_get_stats(c.get(), &st);
    uint64_t max_id = st.count + 3000;
    std::vector<float> out(4);
    for (uint64_t id = 0; id <= max_id; id++) {
        const vx_record *scan = linear_find(c.get(), id);
        vx_record *found = nullptr;
        vx_status s = vx_collection_get_record(c.get(), id, &found);
        ASSERT_EQ(s == VX_OK, scan != nullptr) << id;
        ASSERT_EQ(found, scan);
        ASSERT_EQ(vx_collection_get(c.get(), id, out.data()) == VX_OK, scan != nullptr);
        if (scan) {
            ASSERT_EQ(memcmp(out.data(), scan->vector, 16), 0);
        }
    }
}

// Every lookup agrees with the plain scan: collection_find, the record and
// vector calls and the batch call, for each id ever used and for ids never
// used (neighbours of the used ones, 0, the largest id).
static void expect_lookups_match_scan(vx_collection *c, const std::vector<uint64_t> &used) {
    std::vector<uint64_t> probes = {0, UINT64_MAX, UINT64_MAX - 1};
    for (uint64_t id : used) {
        probes.push_back(id);
        probes.push_back(id + 1);
    }
    std::vector<float> out(c->dimension), many(probes.size() * c->dimension);
    uint64_t present = 0;
    for (uint64_t id : probes) {
        const vx_record *scan = linear_find(c, id);
        uint64_t pos = collection_find(c, id);
        ASSERT_EQ(pos == UINT64_MAX ? nullptr : &c->records[pos], scan) << "id " << id;
        vx_record *found = nullptr;
        ASSERT_EQ(vx_collection_get_record(c, id, &found), scan ? VX_OK : VX_ERR_NOT_FOUND) << "id " << id;
        ASSERT_EQ(found, scan);
        ASSERT_EQ(vx_collection_get(c, id, out.data()), scan ? VX_OK : VX_ERR_NOT_FOUND);
        if (scan) {
            ASSERT_EQ(memcmp(out.data(), scan->vector, out.size() * sizeof(float)), 0);
        }
        present += scan != nullptr;
    }
    EXPECT_EQ(vx_collection_get_batch(c, probes.data(), probes.size(), many.data()), present);
    // The table never runs fuller than three quarters, so absent ids end
    // their probe runs quickly.
    EXPECT_LE(c->id_count * 4, c->id_capacity * 3);
}

// Ids in a random order over a wide range, as a loaded file may hold them,
// then random deletions (which move every later record down), upserts,
// insertions, out-of-order appends, filtered deletions and a clear: lookups
// agree with the plain scan throughout, with the vector instructions in use
// and without.
class LookupsByLevel : public testing::TestWithParam<simd_level> {
protected:
    void TearDown() override { simd_limit(SIMD_AVX512); }
};

INSTANTIATE_TEST_SUITE_P(Collection, LookupsByLevel, testing::Values(SIMD_PORTABLE, SIMD_AVX512));

TEST_P(LookupsByLevel, AgreeWithALinearScanWhateverTheIdOrder) {
    simd_limit(GetParam());
    Owned c = make_collection(2, VX_INDEX_FLAT);
    std::mt19937_64 rng(21);
    std::vector<uint64_t> used;
    std::set<uint64_t> taken;
    auto fresh_id = [&] {
        for (;;) {
            uint64_t id = rng() % 4 == 0 ? rng() >> 8 : 1 + rng() % 1000000;
            if (id != 0 && taken.insert(id).second) return id;
        }
    };
    float v[2];
    for (int i = 0; i < 3000; i++) {
        uint64_t id = fresh_id();
        v[0] = (float)i;
        v[1] = (float)(id % 1000);
        ASSERT_EQ(push_with_id(c.get(), id, v, (int32_t)(id % 4)), VX_OK);
        used.push_back(id);
    }
    expect_lookups_match_scan(c.get(), used);
    for (int round = 1; round <= 2400; round++) {
        uint64_t pick = used[rng() % used.size()];
        int action = (int)(rng() % 100);
        v[0] = (float)round;
        if (action < 45) {
            vx_status st = vx_collection_delete(c.get(), pick);
            ASSERT_TRUE(st == VX_OK || st == VX_ERR_NOT_FOUND);
        } else if (action < 65) {
            ASSERT_EQ(vx_collection_upsert(c.get(), pick, v), VX_OK);  // in place, or appended anew
            used.push_back(c->next_id - 1);
        } else if (action < 85) {
            uint64_t id = 0;
            ASSERT_EQ(vx_collection_insert(c.get(), v, &id), VX_OK);
            used.push_back(id);
        } else if (action < 99) {
            uint64_t id = fresh_id();
            ASSERT_EQ(push_with_id(c.get(), id, v, (int32_t)(id % 4)), VX_OK);
            used.push_back(id);
        } else {
            vx_filter f = condition("n", VX_OP_EQ);
            f.value.i32 = (int32_t)(rng() % 4);
            ASSERT_GE(vx_collection_delete_by_filter(c.get(), &f), 0);
        }
        if (round % 400 == 0) expect_lookups_match_scan(c.get(), used);
    }
    ASSERT_GT(c->count, 500u);
    // Deletions at the front move nearly every record, near the end only a few.
    for (uint64_t i = 0; i < 40; i++) {
        ASSERT_EQ(vx_collection_delete(c.get(), c->records[i % 2 ? 0 : c->count - 2].id), VX_OK);
    }
    expect_lookups_match_scan(c.get(), used);
    ASSERT_EQ(vx_collection_clear(c.get()), VX_OK);
    expect_lookups_match_scan(c.get(), used);
    for (int i = 0; i < 100; i++) vx_collection_insert(c.get(), v, nullptr);
    used.push_back(100);
    expect_lookups_match_scan(c.get(), used);
    EXPECT_EQ(collection_find(c.get(), 100), 99u);
}

// A batch deletion leaves what deleting its ids one at a time in list order
// leaves: the same records in the same order, lookups that agree with the
// scan, and the same graph link for link (its removals came in the same
// order). Ids listed twice, never used or beyond the counter are passed
// over.
TEST(Collection, BatchDeletionEqualsDeletingOneIdAtATime) {
    const uint32_t dim = 6;
    vx_collection_config cfg = config_for("d", dim, VX_INDEX_HNSW);
    cfg.build_threads = 1;
    Owned batch(vx_collection_create(nullptr, &cfg)), single(vx_collection_create(nullptr, &cfg));
    fill_random(batch.get(), 3000, 5);
    fill_random(single.get(), 3000, 5);
    ASSERT_EQ(vx_collection_build_index(batch.get()), VX_OK);
    ASSERT_EQ(vx_collection_build_index(single.get()), VX_OK);
    std::mt19937_64 rng(9);
    std::vector<uint64_t> used;
    for (uint64_t id = 1; id <= 3000; id++) used.push_back(id);
    for (int round = 0; round < 3; round++) {
        std::vector<uint64_t> ids = {0, 5000, UINT64_MAX};
        for (int i = 0; i < 400; i++) ids.push_back(1 + rng() % 3000);
        ids.push_back(ids[5]);
        std::shuffle(ids.begin(), ids.end(), rng);
        ASSERT_EQ(vx_collection_delete_batch(batch.get(), ids.data(), ids.size()), VX_OK);
        for (uint64_t id : ids) vx_collection_delete(single.get(), id);
        ASSERT_EQ(record_ids(batch.get()), record_ids(single.get()));
        expect_lookups_match_scan(batch.get(), used);
        const vx_hnsw_index *x = (const vx_hnsw_index *)batch->index->body;
        const vx_hnsw_index *y = (const vx_hnsw_index *)single->index->body;
        ASSERT_EQ(x->present, y->present);
        for (uint64_t id = 1; id <= 3000; id++) {
            ASSERT_EQ(hnsw_has_node(x, id), hnsw_has_node(y, id)) << id;
            if (!hnsw_has_node(x, id)) continue;
            for (uint32_t layer = 0; layer <= x->levels[id]; layer++)
                ASSERT_EQ(idxtest::graph_links(x, id, layer), idxtest::graph_links(y, id, layer)) << id;
        }
    }
}

// A damaged file may repeat an id: lookups then name the first record with
// it, before and after changes, as a scan from the first record would.
TEST(Collection, RepeatedIdsFindTheFirstRecord) {
    Owned c = make_collection(1, VX_INDEX_FLAT);
    const uint64_t ids[] = {5, 3, 5, 7, 3, 5, 9, 5};
    for (uint64_t i = 0; i < 8; i++) {
        float v = (float)i;
        ASSERT_EQ(push_with_id(c.get(), ids[i], &v, (int32_t)(i % 2)), VX_OK);
    }
    std::vector<uint64_t> used = {3, 5, 7, 9};
    EXPECT_EQ(collection_find(c.get(), 5), 0u);
    EXPECT_EQ(collection_find(c.get(), 3), 1u);
    expect_lookups_match_scan(c.get(), used);
    ASSERT_EQ(vx_collection_delete(c.get(), 5), VX_OK);  // the first 5 goes
    EXPECT_EQ(collection_find(c.get(), 5), 1u);
    expect_lookups_match_scan(c.get(), used);
    float w = 42;
    ASSERT_EQ(vx_collection_upsert(c.get(), 3, &w), VX_OK);  // the first 3 changes
    EXPECT_EQ(c->records[0].vector[0], 42.0f);
    EXPECT_EQ(c->records[3].vector[0], 4.0f);
    vx_filter f = condition("n", VX_OP_EQ);
    f.value.i32 = 0;  // the 5, 3 and 9 tagged 0
    ASSERT_EQ(vx_collection_delete_by_filter(c.get(), &f), 3);
    EXPECT_EQ(record_ids(c.get()), (std::vector<uint64_t>{3, 7, 5, 5}));
    EXPECT_EQ(collection_find(c.get(), 5), 2u);
    expect_lookups_match_scan(c.get(), used);
    // Listed twice, a repeated id loses both of its records.
    const uint64_t twice[] = {5, 5};
    ASSERT_EQ(vx_collection_delete_batch(c.get(), twice, 2), VX_OK);
    EXPECT_EQ(record_ids(c.get()), (std::vector<uint64_t>{3, 7}));
    EXPECT_EQ(vx_collection_delete(c.get(), 5), VX_ERR_NOT_FOUND);
    expect_lookups_match_scan(c.get(), used);
}

TEST(Collection, UpsertReplacesOrAppends) {
    Owned c = make_collection(2, VX_INDEX_FLAT);
    float a[2] = {1, 1}, b[2] = {5, 6}, out[2];
    vx_collection_insert(c.get(), a, nullptr);
    vx_collection_insert(c.get(), a, nullptr);
    ASSERT_EQ(vx_collection_upsert(c.get(), 2, b), VX_OK);
    vx_collection_get(c.get(), 2, out);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(out[1], 6.0f);
    // An unknown id appends under the next assigned id.
    ASSERT_EQ(vx_collection_upsert(c.get(), 99, b), VX_OK);
    EXPECT_EQ(record_ids(c.get()), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(vx_collection_upsert(c.get(), 1, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_upsert(nullptr, 1, b), VX_ERR_INVALID_ARG);
}

TEST(Collection, BatchInsertAndBatchGet) {
    Owned c = make_collection(2, VX_INDEX_FLAT);
    float vs[6] = {1, 2, 3, 4, 5, 6};
    uint64_t ids[3] = {0, 0, 0};
    EXPECT_EQ(vx_collection_insert_batch(c.get(), vs, 0, ids), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_insert_batch(c.get(), nullptr, 3, ids), VX_ERR_INVALID_ARG);
    ASSERT_EQ(vx_collection_insert_batch(c.get(), vs, 3, ids), VX_OK);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[2], 3u);
    for (int i = 0; i < 4; i++) vx_collection_insert_batch(c.get(), vs, 3, nullptr);  // ids 4..15

    uint64_t want[3] = {5, 99, 7};
    float out[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(vx_collection_get_batch(c.get(), want, 3, out), 2u);
    EXPECT_EQ(out[0], 3.0f);  // id 5 is the second vector of a batch
    EXPECT_EQ(out[2], -1.0f);  // the missing id's slot is untouched
    EXPECT_EQ(out[3], -1.0f);
    EXPECT_EQ(out[4], 1.0f);  // id 7
    EXPECT_EQ(vx_collection_get_batch(c.get(), want, 0, out), 0u);
    EXPECT_EQ(vx_collection_get_batch(c.get(), nullptr, 3, out), 0u);

    vx_record rec = {77, vs + 4, nullptr, 0};
    ASSERT_EQ(vx_collection_insert_record(c.get(), &rec), VX_OK);
    EXPECT_EQ(record_ids(c.get()).back(), 16u);  // the record's own id is ignored
    EXPECT_EQ(vx_collection_insert_record(c.get(), nullptr), VX_ERR_INVALID_ARG);
    vx_record *got = nullptr;
    EXPECT_EQ(vx_collection_get_record(c.get(), 100, &got), VX_ERR_NOT_FOUND);
    EXPECT_EQ(got, nullptr);
}

// --- metadata ---------------------------------------------------------------

TEST(CollectionMeta, KeysAndStringsAreCopied) {
    Owned c = make_collection(1, VX_INDEX_FLAT);
    std::string key = "colour", value = "red";
    vx_meta_entry e = string_entry(key.c_str(), value.c_str());
    float v = 1;
    uint64_t id = 0;
    ASSERT_EQ(vx_collection_insert_with_meta(c.get(), &v, &e, 1, &id), VX_OK);
    key.assign("XXXXXX");
    value.assign("YYY");
    vx_meta_entry out[2];
    uint64_t n = 2;
    ASSERT_EQ(vx_collection_get_meta(c.get(), id, out, &n), VX_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(std::string(out[0].key.data, out[0].key.len), "colour");
    EXPECT_EQ(std::string(out[0].value.str.data, out[0].value.str.len), "red");
    vx_filter f = condition("COLOUR", VX_OP_EQ);
    f.value.str = view("RED");
    EXPECT_EQ(vx_collection_delete_by_filter(c.get(), &f), 1);
}

TEST(CollectionMeta, SetAndGetCounts) {
    Owned c = make_collection(1, VX_INDEX_FLAT);
    float v = 1;
    vx_collection_insert(c.get(), &v, nullptr);
    vx_meta_entry in[3] = {int_entry("a", 1), int_entry("b", 2), int_entry("c", 3)};
    EXPECT_EQ(vx_collection_set_meta(c.get(), 1, in, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_set_meta(c.get(), 1, nullptr, 3), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_set_meta(c.get(), 2, in, 3), VX_ERR_NOT_FOUND);
    ASSERT_EQ(vx_collection_set_meta(c.get(), 1, in, 3), VX_OK);
    vx_meta_entry out[3];
    memset(out, 0, sizeof(out));
    uint64_t n = 2;
    ASSERT_EQ(vx_collection_get_meta(c.get(), 1, out, &n), VX_OK);
    EXPECT_EQ(n, 3u);  // the full count, though two were copied
    EXPECT_EQ(out[1].value.i32, 2);
    EXPECT_EQ(out[2].key.data, nullptr);
    EXPECT_EQ(vx_collection_get_meta(c.get(), 9, out, &n), VX_ERR_NOT_FOUND);
    EXPECT_EQ(vx_collection_get_meta(c.get(), 1, out, nullptr), VX_ERR_INVALID_ARG);
    n = 0;
    vx_collection_insert(c.get(), &v, nullptr);
    ASSERT_EQ(vx_collection_get_meta(c.get(), 2, out, &n), VX_OK);
    EXPECT_EQ(n, 0u);
}

// match_filter over one record carrying `e`.
static int matches(const vx_meta_entry &e, const vx_filter &f) {
    vx_record rec = {1, nullptr, const_cast<vx_meta_entry *>(&e), 1};
    return match_filter(&rec, &f);
}

TEST(CollectionFilter, ComparisonTable) {
    // Keys match ignoring case, strings compare ignoring case.
    vx_filter f = condition("color", VX_OP_EQ);
    f.value.str = view("Red");
    EXPECT_EQ(matches(string_entry("COLOR", "red"), f), 1);
    f.op = VX_OP_GT;
    EXPECT_EQ(matches(string_entry("COLOR", "red"), f), 0);
    f.op = 9;
    EXPECT_EQ(matches(string_entry("COLOR", "zzz"), f), 1);
    f.op = VX_OP_NE;
    EXPECT_EQ(matches(string_entry("COLOR", "blue"), f), 1);

    // A missing key matches only NE.
    vx_filter other = condition("size", VX_OP_EQ);
    EXPECT_EQ(matches(int_entry("color", 1), other), 0);
    other.op = VX_OP_NE;
    EXPECT_EQ(matches(int_entry("color", 1), other), 1);
    vx_record bare = {1, nullptr, nullptr, 0};
    EXPECT_EQ(match_filter(&bare, &other), 1);
    other.op = VX_OP_LT;
    EXPECT_EQ(match_filter(&bare, &other), 0);

    // Integers: signed order; an unknown op matches.
    vx_filter fi = condition("n", VX_OP_GT);
    fi.value.i32 = -5;
    EXPECT_EQ(matches(int_entry("n", -4), fi), 1);
    EXPECT_EQ(matches(int_entry("n", -5), fi), 0);
    fi.op = VX_OP_GE;
    EXPECT_EQ(matches(int_entry("n", -5), fi), 1);
    fi.op = VX_OP_LE;
    EXPECT_EQ(matches(int_entry("n", -6), fi), 1);
    fi.op = 42;
    EXPECT_EQ(matches(int_entry("n", -6), fi), 1);
    vx_meta_entry big = int_entry("n", 0);
    big.type = VX_META_INT64;
    big.value.i64 = INT64_MIN;
    fi.op = VX_OP_LT;
    fi.value.i64 = 0;
    EXPECT_EQ(matches(big, fi), 1);

    // Floats within 1e-6, doubles within 1e-12.
    vx_meta_entry fe = int_entry("x", 0);
    fe.type = VX_META_FLOAT;
    fe.value.f32 = 0.5f;
    vx_filter ff = condition("x", VX_OP_EQ);
    ff.value.f32 = 0.5000005f;
    EXPECT_EQ(matches(fe, ff), 1);
    ff.value.f32 = 0.50001f;
    EXPECT_EQ(matches(fe, ff), 0);
    ff.op = VX_OP_NE;
    EXPECT_EQ(matches(fe, ff), 1);
    ff.op = VX_OP_LT;
    EXPECT_EQ(matches(fe, ff), 1);
    vx_meta_entry de = int_entry("x", 0);
    de.type = VX_META_DOUBLE;
    de.value.f64 = 1.0;
    vx_filter fd = condition("x", VX_OP_EQ);
    fd.value.f64 = 1.0 + 1e-13;
    EXPECT_EQ(matches(de, fd), 1);
    fd.value.f64 = 1.0 + 1e-11;
    EXPECT_EQ(matches(de, fd), 0);

    // NaN never makes a floating test fail.
    fe.value.f32 = std::numeric_limits<float>::quiet_NaN();
    for (int32_t op = VX_OP_EQ; op <= VX_OP_LE; op++) {
        ff.op = op;
        EXPECT_EQ(matches(fe, ff), 1) << op;
    }
    de.value.f64 = std::numeric_limits<double>::quiet_NaN();
    fd.op = VX_OP_GT;
    EXPECT_EQ(matches(de, fd), 1);

    // Booleans: EQ and NE only; an unknown op fails.
    vx_meta_entry be = int_entry("b", 0);
    be.type = VX_META_BOOL;
    be.value.boolean = 1;
    vx_filter fb = condition("b", VX_OP_EQ);
    fb.value.boolean = 1;
    EXPECT_EQ(matches(be, fb), 1);
    fb.op = VX_OP_GE;
    EXPECT_EQ(matches(be, fb), 0);
    fb.op = 9;
    EXPECT_EQ(matches(be, fb), 0);

    // NULL and unknown entry types satisfy every condition; a null key too.
    vx_meta_entry ne = int_entry("k", 0);
    ne.type = VX_META_NULL;
    vx_filter fn = condition("k", VX_OP_LT);
    EXPECT_EQ(matches(ne, fn), 1);
    ne.type = 17;
    EXPECT_EQ(matches(ne, fn), 1);
    fn.key = nullptr;
    EXPECT_EQ(matches(int_entry("z", 1), fn), 1);
}

TEST(CollectionFilter, CombinationNodes) {
    vx_meta_entry e = int_entry("n", 5);
    vx_filter yes = condition("n", VX_OP_EQ);
    yes.value.i32 = 5;
    vx_filter no = condition("n", VX_OP_EQ);
    no.value.i32 = 6;
    vx_filter *both[2] = {&yes, &no};
    vx_filter node = {};
    node.kind = VX_FILTER_AND;
    EXPECT_EQ(matches(e, node), 1);  // no children
    node.children = both;
    node.child_count = 2;
    EXPECT_EQ(matches(e, node), 0);
    node.kind = VX_FILTER_OR;
    EXPECT_EQ(matches(e, node), 1);
    node.child_count = 0;
    EXPECT_EQ(matches(e, node), 0);
    node.kind = VX_FILTER_NOT;
    node.child_count = 2;
    EXPECT_EQ(matches(e, node), 0);  // NOT of the first child
    node.children = both + 1;
    node.child_count = 1;
    EXPECT_EQ(matches(e, node), 1);
    node.children = nullptr;  // no child: matches nothing
    EXPECT_EQ(matches(e, node), 0);
    vx_filter *null_child[1] = {nullptr};
    node.children = null_child;
    EXPECT_EQ(matches(e, node), 0);
    vx_record bare = {1, nullptr, nullptr, 0};
    EXPECT_EQ(match_filter(&bare, nullptr), 1);
}

// --- iteration ----------------------------------------------------------------

static int32_t count_until_third(uint64_t, const float *, uint32_t, void *user) {
    int *calls = (int *)user;
    return ++*calls < 3;
}

TEST(CollectionIteration, CursorAndForeach) {
    Owned c = make_collection(1, VX_INDEX_FLAT);
    vx_filter second = condition("n", VX_OP_EQ);
    second.value.i32 = 2;
    vx_collection_iterator *it = vx_collection_create_iterator(c.get(), nullptr);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(vx_collection_iterator_valid(it), 0);
    EXPECT_EQ(vx_collection_iterator_valid(vx_collection_create_iterator(c.get(), &second)), 0);
    EXPECT_EQ(vx_collection_create_iterator(nullptr, nullptr), nullptr);

    for (int i = 1; i <= 4; i++) {
        float v = (float)i;
        vx_meta_entry e = int_entry("n", i);
        vx_collection_insert_with_meta(c.get(), &v, &e, 1, nullptr);
    }
    it = vx_collection_create_iterator(c.get(), &second);
    ASSERT_EQ(vx_collection_iterator_valid(it), 1);
    EXPECT_EQ(vx_collection_iterator_get_id(it), 2u);
    EXPECT_EQ(*vx_collection_iterator_get_vector(it), 2.0f);
    vx_record *rec = nullptr;
    ASSERT_EQ(vx_collection_iterator_get_record(it, &rec), VX_OK);
    EXPECT_EQ(rec->id, 2u);
    EXPECT_EQ(vx_collection_iterator_next(it), 0);
    EXPECT_EQ(vx_collection_iterator_valid(it), 0);
    EXPECT_EQ(vx_collection_iterator_get_id(it), 0u);
    EXPECT_EQ(vx_collection_iterator_get_vector(it), nullptr);
    EXPECT_EQ(vx_collection_iterator_get_record(it, &rec), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_iterator_next(it), 0);
    vx_collection_destroy_iterator(it);

    it = vx_collection_create_iterator(c.get(), nullptr);
    std::vector<uint64_t> seen;
    do seen.push_back(vx_collection_iterator_get_id(it));
    while (vx_collection_iterator_next(it));
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3, 4}));

    // Records deleted under a cursor are never handed out.
    it = vx_collection_create_iterator(c.get(), nullptr);
    vx_collection_delete(c.get(), 1);
    vx_collection_delete(c.get(), 2);
    seen.clear();
    do seen.push_back(vx_collection_iterator_get_id(it));
    while (vx_collection_iterator_next(it));
    EXPECT_EQ(seen, (std::vector<uint64_t>{3, 4}));

    int calls = 0;
    vx_collection_insert(c.get(), &second.value.f32, nullptr);
    EXPECT_EQ(vx_collection_foreach(c.get(), nullptr, count_until_third, &calls), 2u);
    EXPECT_EQ(calls, 3);
    calls = 0;
    vx_filter none = condition("n", VX_OP_EQ);
    none.value.i32 = 100;
    EXPECT_EQ(vx_collection_foreach(c.get(), &none, count_until_third, &calls), 0u);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(vx_collection_foreach(c.get(), nullptr, nullptr, nullptr), 0u);
}

// A graph built on two threads answers plain and filtered searches like the
// exact oracle at the recall its width promises, every filtered hit
// matching; the thread count reaches the graph, and an index rebuilt on one
// thread is the same graph every time.
TEST(CollectionThreads, GraphBuiltOnTwoThreadsAnswersSoundly) {
    const uint32_t dim = 16;
    const uint64_t n = 3000;
    vx_collection_config cfg = config_for("threads", dim, VX_INDEX_HNSW);
    cfg.build_threads = 2;
    Owned c(vx_collection_create(nullptr, &cfg));
    ASSERT_NE(c.get(), nullptr);
    std::mt19937_64 rng(301);
    std::vector<float> all = unit_cube_vectors(n, dim, rng);
    for (uint64_t i = 0; i < n; i++) {
        vx_meta_entry g = int_entry("g", (int32_t)(i % 4));
        ASSERT_EQ(vx_collection_insert_with_meta(c.get(), &all[i * dim], &g, 1, nullptr), VX_OK);
    }
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    EXPECT_EQ(((vx_hnsw_index *)c->index->body)->build_threads, 2u);
    EXPECT_EQ(vx_index_get_ntotal(c->index), n);

    std::vector<float> queries = unit_cube_vectors(100, dim, rng);
    vx_filter f = condition("g", VX_OP_EQ);
    f.value.i32 = 1;
    uint64_t found = 0, found_filtered = 0;
    vx_search_hit hits[10];
    for (uint64_t q = 0; q < 100; q++) {
        const float *query = &queries[q * dim];
        for (const vx_filter *filter : {(const vx_filter *)nullptr, (const vx_filter *)&f}) {
            std::vector<Hit> want = oracle_search(c.get(), query, 10, filter);
            std::set<uint64_t> truth;
            for (const Hit &h : want) truth.insert(h.id);
            uint64_t got = vx_collection_search_filtered(c.get(), query, filter, 10, hits);
            ASSERT_EQ(got, 10u);
            for (uint64_t i = 0; i < got; i++) {
                if (i > 0) {
                    EXPECT_LE(hits[i - 1].distance, hits[i].distance);
                }
                EXPECT_EQ(hits[i].distance, vx_vec_distance(query, &all[(hits[i].id - 1) * dim], dim, VX_METRIC_L2));
                if (filter) {
                    EXPECT_EQ((hits[i].id - 1) % 4, 1u) << hits[i].id;
                }
                (filter ? found_filtered : found) += truth.count(hits[i].id);
            }
        }
    }
    EXPECT_GE(found / 1000.0, 0.95);
    EXPECT_GE(found_filtered / 1000.0, 0.95);

    // On one thread, two rebuilds give the same answers bit for bit.
    c->config.build_threads = 1;
    auto answers = [&]() {
        std::vector<uint64_t> ids;
        EXPECT_EQ(vx_collection_rebuild_index(c.get()), VX_OK);
        for (uint64_t q = 0; q < 100; q++) {
            uint64_t got = vx_collection_search_filtered(c.get(), &queries[q * dim], nullptr, 10, hits);
            for (uint64_t i = 0; i < got; i++) ids.push_back(hits[i].id);
        }
        return ids;
    };
    std::vector<uint64_t> first = answers();
    EXPECT_EQ(((vx_hnsw_index *)c->index->body)->build_threads, 1u);
    EXPECT_EQ(first, answers());
}

// A batch inserted into a collection whose graph is active goes to the
// graph a chunk at a time on its build threads: every record gets its node,
// ids follow on, and each record is its own nearest hit. The same batch
// into an inverted file reaches its lists one record at a time.
TEST(CollectionThreads, BatchIntoAnActiveGraphReachesEveryRecord) {
    const uint32_t dim = 16;
    std::mt19937_64 rng(303);
    for (int32_t kind : {VX_INDEX_HNSW, VX_INDEX_IVF}) {
        SCOPED_TRACE(kind);
        vx_collection_config cfg = config_for("batch", dim, kind);
        cfg.build_threads = 2;
        Owned c(vx_collection_create(nullptr, &cfg));
        std::vector<float> first = unit_cube_vectors(600, dim, rng);
        ASSERT_EQ(vx_collection_insert_batch(c.get(), first.data(), 600, nullptr), VX_OK);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        const uint64_t n = 4500;  // more than two chunks
        std::vector<float> more = unit_cube_vectors(n, dim, rng);
        std::vector<uint64_t> ids(n);
        ASSERT_EQ(vx_collection_insert_batch(c.get(), more.data(), n, ids.data()), VX_OK);
        for (uint64_t i = 0; i < n; i++) ASSERT_EQ(ids[i], 601 + i);
        EXPECT_EQ(vx_index_get_ntotal(c->index), 600 + n);
        vx_search_hit hit;
        uint64_t self = 0;
        for (uint64_t i = 0; i < n; i += 7) {
            ASSERT_EQ(vx_collection_search_filtered(c.get(), &more[i * dim], nullptr, 1, &hit), 1u);
            EXPECT_EQ(hit.distance, 0.0f);
            self += hit.id == ids[i];
        }
        EXPECT_GE(self, (n / 7) * 99 / 100);
    }
}

// Metadata given with a batch lands on its records (none where the entry
// list is null or empty, or when no lists are given), copied, and filters
// find the records through the active graph.
TEST(CollectionThreads, BatchWithMetadataTagsEachRecord) {
    const uint32_t dim = 8;
    const uint64_t n = 3000;
    std::mt19937_64 rng(305);
    vx_collection_config cfg = config_for("meta", dim, VX_INDEX_HNSW);
    cfg.build_threads = 2;
    Owned c(vx_collection_create(nullptr, &cfg));
    std::vector<float> first = unit_cube_vectors(400, dim, rng);
    ASSERT_EQ(vx_collection_insert_batch_with_meta(c.get(), first.data(), 400, nullptr, nullptr, nullptr), VX_OK);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    std::vector<float> more = unit_cube_vectors(n, dim, rng);
    std::vector<std::vector<vx_meta_entry>> entries(n);
    std::vector<const vx_meta_entry *> metas(n);
    std::vector<uint64_t> counts(n);
    for (uint64_t i = 0; i < n; i++) {
        if (i % 5 != 4) entries[i].push_back(int_entry("g", (int32_t)(i % 5)));
        metas[i] = entries[i].empty() ? (i % 2 ? nullptr : entries[i].data()) : entries[i].data();
        counts[i] = entries[i].size();
    }
    std::vector<uint64_t> ids(n);
    ASSERT_EQ(vx_collection_insert_batch_with_meta(c.get(), more.data(), n, metas.data(), counts.data(), ids.data()),
              VX_OK);
    entries.clear();  // the collection holds copies
    for (uint64_t i = 0; i < n; i += 11) {
        vx_meta_entry got[2];
        uint64_t count = 2;
        ASSERT_EQ(vx_collection_get_meta(c.get(), ids[i], got, &count), VX_OK);
        if (i % 5 == 4) {
            EXPECT_EQ(count, 0u);
        } else {
            ASSERT_EQ(count, 1u);
            EXPECT_EQ(got[0].value.i32, (int32_t)(i % 5));
        }
    }
    vx_filter f = condition("g", VX_OP_EQ);
    f.value.i32 = 3;
    vx_search_hit hit;
    for (uint64_t i = 3; i < n; i += 55) {
        ASSERT_EQ(vx_collection_search_filtered(c.get(), &more[i * dim], &f, 1, &hit), 1u);
        EXPECT_EQ(hit.id, ids[i]);
    }
    EXPECT_EQ(vx_index_get_ntotal(c->index), 400 + n);
}
