// Collection files: exact layout, checksum, round trips with metadata and
// indexes, atomic replacement, damaged and hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "collection_test_util.h"
#include "persist_test_util.h"
#include "vx_collection_internal.h"
#include "vx_index_internal.h"
#include "vx_storage_internal.h"

using namespace ptest;

namespace {

struct Owned {
    vx_collection *c;
    explicit Owned(vx_collection *x) : c(x) {}
    ~Owned() { vx_collection_destroy(c); }
    vx_collection *operator->() const { return c; }
    vx_collection *get() const { return c; }
};

vx_collection *make(const char *name, uint32_t dim, int32_t index_type, int32_t metric = 0) {
    vx_collection_config cfg = collection_config(name, dim, index_type, metric);
    return vx_collection_create(nullptr, &cfg);
}

void insert_all(vx_collection *c, const std::vector<float> &v) {
    for (size_t i = 0; i < v.size() / c->dimension; i++)
        ASSERT_EQ(vx_collection_insert(c, &v[i * c->dimension], nullptr), VX_OK);
}

// The collection header with a freshly computed checksum, for crafting files.
void rechecksum(std::vector<uint8_t> &f) {
    put_u32(&f[192 + 184], 0);
    put_u32(&f[192 + 184], vx_hash_murmur3_32(&f[192], 188, 0));
}

// The trailing checksum recomputed over records and later sections, so that
// a crafted change reaches the checks behind it.
void reseal(std::vector<uint8_t> &f) {
    size_t at = f.size() - 16;
    put_u64(&f[at + 8], vx_hash_murmur3_64(&f[384], at - 384, 0));
}

// The file as written before it carried a checksum section.
std::vector<uint8_t> without_checksum(const std::vector<uint8_t> &good) {
    std::vector<uint8_t> f(good.begin(), good.end() - 16);
    put_u64(&f[192 + 164], 0);
    rechecksum(f);
    return f;
}

void expect_same_records(const vx_collection *a, const vx_collection *b) {
    ASSERT_EQ(a->count, b->count);
    for (uint64_t i = 0; i < a->count; i++) {
        EXPECT_EQ(a->records[i].id, b->records[i].id);
        EXPECT_EQ(memcmp(a->records[i].vector, b->records[i].vector, 4ull * a->dimension), 0) << i;
    }
}

}  // namespace

TEST(CollectionFile, ThreeRecordsOfDimensionFourExactBytes) {
    TempDir dir;
    Owned c(make("vectors", 4, VX_INDEX_FLAT, VX_METRIC_COSINE));
    ASSERT_NE(c.get(), nullptr);
    const float v[12] = {1, 2, 3, 4, -1, -2, -3, -4, 0.5f, 0.25f, 0.125f, 1e-3f};
    insert_all(c.get(), std::vector<float>(v, v + 12));
    std::string path = dir.file("vectors.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    ASSERT_EQ(f.size(), 384u + 3 * 48 + 16);
    EXPECT_EQ(memcmp(f.data(), "DVXV", 4), 0);
    const uint8_t *h = f.data() + 192;
    EXPECT_EQ(memcmp(h, "OCXV", 4), 0);
    const uint8_t version[4] = {0, 0, 1, 0};
    EXPECT_EQ(memcmp(h + 4, version, 4), 0);
    EXPECT_EQ((int64_t)get_u64(h + 8), c->created_time);
    EXPECT_GE((int64_t)get_u64(h + 16), c->created_time);
    EXPECT_STREQ((const char *)h + 24, "vectors");
    for (int i = 24 + 7; i < 88; i++) EXPECT_EQ(h[i], 0);
    EXPECT_EQ(get_u32(h + 88), 4u);
    EXPECT_EQ(get_u32(h + 92), 2u);
    EXPECT_EQ(get_u32(h + 96), 0xFFFFFFFFu);
    EXPECT_EQ(get_u32(h + 100), 3u);
    EXPECT_EQ(get_u64(h + 104), 4u);
    for (int i = 112; i < 132; i++) EXPECT_EQ(h[i], 0);
    EXPECT_EQ(get_u64(h + 132), 384u);
    EXPECT_EQ(get_u64(h + 140), 144u);
    // Quantizer settings (none), product sub-spaces, then the flag word:
    // the file ends with its checksum section.
    for (int i = 148; i < 164; i++) EXPECT_EQ(h[i], 0);
    EXPECT_EQ(get_u64(h + 164), 1u);
    for (int i = 172; i < 180; i++) EXPECT_EQ(h[i], 0);
    EXPECT_EQ(get_u32(h + 180), (uint32_t)c->index_threshold);
    std::vector<uint8_t> image(h, h + 192);
    put_u32(&image[184], 0);
    EXPECT_EQ(get_u32(h + 184), vx_hash_murmur3_32(image.data(), 188, 0));
    for (int r = 0; r < 3; r++) {
        const uint8_t *rec = f.data() + 384 + 48 * r;
        EXPECT_EQ(get_u64(rec), (uint64_t)r + 1);
        EXPECT_EQ(get_u32(rec + 8), 4u);
        for (int i = 12; i < 32; i++) EXPECT_EQ(rec[i], 0);
        for (int d = 0; d < 4; d++) EXPECT_EQ(get_f32(rec + 32 + 4 * d), v[4 * r + d]);
    }
    const uint8_t *tail = f.data() + 384 + 3 * 48;
    EXPECT_EQ(memcmp(tail, "VXCK", 4), 0);
    EXPECT_EQ(get_u32(tail + 4), 1u);
    EXPECT_EQ(get_u64(tail + 8), vx_hash_murmur3_64(f.data() + 384, 3 * 48, 0));
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"vectors.vxcol"});

    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    expect_same_records(c.get(), back.get());
    EXPECT_STREQ(back->name, "vectors");
    EXPECT_EQ(back->metric, VX_METRIC_COSINE);
    EXPECT_EQ(back->next_id, 4u);
    EXPECT_EQ(back->index, nullptr);
    EXPECT_EQ(back->created_time, c->created_time);
    uint64_t id = 0;
    ASSERT_EQ(vx_collection_insert(back.get(), v, &id), VX_OK);
    EXPECT_EQ(id, 4u);
}

TEST(CollectionFile, MetadataOfEveryTypeSurvives) {
    TempDir dir;
    Owned c(make("meta", 3, VX_INDEX_FLAT));
    std::vector<float> v = random_vectors(5, 3, 1);
    insert_all(c.get(), v);
    vx_meta_entry e[7];
    memset(e, 0, sizeof(e));
    e[0].key = view("i32"), e[0].type = VX_META_INT32, e[0].value.i32 = -7;
    e[1].key = view("i64"), e[1].type = VX_META_INT64, e[1].value.i64 = -(1ll << 40);
    e[2].key = view("f32"), e[2].type = VX_META_FLOAT, e[2].value.f32 = 1.25f;
    e[3].key = view("f64"), e[3].type = VX_META_DOUBLE, e[3].value.f64 = 3.141592653589793;
    e[4].key = view("text"), e[4].type = VX_META_STRING, e[4].value.str = view("hello\0world");
    e[4].value.str.len = 11;  // texts carry their length, zero bytes included
    e[5].key = view("flag"), e[5].type = VX_META_BOOL, e[5].value.boolean = 1;
    e[6].key = view("nothing"), e[6].type = VX_META_NULL;
    ASSERT_EQ(vx_collection_set_meta(c.get(), 2, e, 7), VX_OK);
    ASSERT_EQ(vx_collection_set_meta(c.get(), 5, e + 4, 1), VX_OK);
    ASSERT_EQ(vx_collection_delete(c.get(), 1), VX_OK);
    std::string path = dir.file("meta.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    // The header's data size still counts only the records.
    std::vector<uint8_t> f = slurp(path);
    EXPECT_EQ(get_u64(f.data() + 192 + 140), 4u * (32 + 12));
    EXPECT_GT(f.size(), 384u + 4 * 44);

    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    expect_same_records(c.get(), back.get());
    vx_meta_entry out[8];
    uint64_t n = 8;
    ASSERT_EQ(vx_collection_get_meta(back.get(), 2, out, &n), VX_OK);
    ASSERT_EQ(n, 7u);
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(out[i].key.len, e[i].key.len);
        EXPECT_EQ(memcmp(out[i].key.data, e[i].key.data, e[i].key.len), 0);
        EXPECT_EQ(out[i].type, e[i].type);
    }
    EXPECT_EQ(out[0].value.i32, -7);
    EXPECT_EQ(out[1].value.i64, -(1ll << 40));
    EXPECT_EQ(out[2].value.f32, 1.25f);
    EXPECT_EQ(out[3].value.f64, 3.141592653589793);
    ASSERT_EQ(out[4].value.str.len, 11u);
    EXPECT_EQ(memcmp(out[4].value.str.data, "hello\0world", 11), 0);
    EXPECT_EQ(out[5].value.boolean, 1);
    n = 8;
    ASSERT_EQ(vx_collection_get_meta(back.get(), 3, out, &n), VX_OK);
    EXPECT_EQ(n, 0u);
    n = 8;
    ASSERT_EQ(vx_collection_get_meta(back.get(), 5, out, &n), VX_OK);
    EXPECT_EQ(n, 1u);
    // Filters see the restored values.
    vx_filter f2;
    memset(&f2, 0, sizeof(f2));
    f2.kind = VX_FILTER_CONDITION;
    f2.key = "i64";
    f2.op = VX_OP_LT;
    f2.value.i64 = 0;
    EXPECT_EQ(vx_collection_delete_by_filter(back.get(), &f2), 1);
}

TEST(CollectionFile, LongNamesAreCutTo63Bytes) {
    TempDir dir;
    std::string name(70, 'n');
    Owned c(make(name.c_str(), 2, VX_INDEX_FLAT));
    ASSERT_NE(c.get(), nullptr);
    std::string path = dir.file("long.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    EXPECT_EQ(f[192 + 24 + 62], 'n');
    EXPECT_EQ(f[192 + 87], 0);
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(std::string(back->name), name.substr(0, 63));
    EXPECT_EQ(back->count, 0u);
}

TEST(CollectionFile, ShorterSaveOverLongerFileLeavesNoTail) {
    TempDir dir;
    std::string path = dir.file("c.vxcol");
    Owned big(make("c", 8, VX_INDEX_FLAT));
    insert_all(big.get(), random_vectors(50, 8, 2));
    ASSERT_EQ(vx_collection_save(big.get(), path.c_str()), VX_OK);
    Owned small(make("c", 8, VX_INDEX_FLAT));
    insert_all(small.get(), random_vectors(2, 8, 3));
    ASSERT_EQ(vx_collection_save(small.get(), path.c_str()), VX_OK);
    EXPECT_EQ(slurp(path).size(), 384u + 2 * (32 + 32) + 16);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"c.vxcol"});
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    expect_same_records(small.get(), back.get());
}

TEST(CollectionFile, FailuresLeaveTheOldFile) {
    TempDir dir;
    Owned c(make("c", 4, VX_INDEX_FLAT));
    insert_all(c.get(), random_vectors(3, 4, 4));
    EXPECT_EQ(vx_collection_save(nullptr, "x"), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_save(c.get(), nullptr), VX_ERR_INVALID_ARG);
    // The system's reason comes back, with the file named in the detail.
    std::string missing = dir.file("missing/c.vxcol");
    EXPECT_EQ(vx_collection_save(c.get(), missing.c_str()), VX_ERR_IO);
    vx_error_info info;
    vx_error_get(&info);
    EXPECT_EQ(info.status, VX_ERR_IO);
    ASSERT_NE(info.detail, nullptr);
    EXPECT_NE(std::string(info.detail).find(missing), std::string::npos) << info.detail;
    // A directory in the way: the new file cannot replace it.
    std::string blocked = dir.file("blocked.vxcol");
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
    EXPECT_LT(vx_collection_save(c.get(), blocked.c_str()), 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"blocked.vxcol"});
    EXPECT_EQ(vx_collection_load(nullptr, nullptr), nullptr);
    EXPECT_EQ(vx_collection_load(nullptr, dir.file("none").c_str()), nullptr);
    EXPECT_EQ(vx_collection_load(nullptr, blocked.c_str()), nullptr);

    // A disk that fills up half-way: the file could be created, so the
    // failure is an I/O error, and the old file stays whole.
    std::string path = dir.file("c.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    std::vector<uint8_t> before = slurp(path);
    insert_all(c.get(), random_vectors(3000, 4, 4));
    {
        DiskFull full(16 * 1024);
        EXPECT_EQ(vx_collection_save(c.get(), path.c_str()), VX_ERR_IO);
    }
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"blocked.vxcol", "c.vxcol"}));
}

TEST(CollectionFile, LoaderChecksVersionChecksumAndRegion) {
    TempDir dir;
    Owned c(make("c", 4, VX_INDEX_FLAT));
    insert_all(c.get(), random_vectors(3, 4, 5));
    std::string path = dir.file("c.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    const std::vector<uint8_t> good = slurp(path);
    std::string probe = dir.file("probe.vxcol");
    auto loads = [&](const std::vector<uint8_t> &bytes) {
        spit(probe, bytes);
        vx_collection *x = vx_collection_load(nullptr, probe.c_str());
        bool ok = x != nullptr;
        vx_collection_destroy(x);
        return ok;
    };
    EXPECT_TRUE(loads(good));
    std::vector<uint8_t> f = good;
    f[192] = 'X';  // magic
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    f[192 + 6] = 2;  // version word
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    f[192 + 100] = 2;  // record count without a new checksum
    EXPECT_FALSE(loads(f));
    rechecksum(f);
    EXPECT_TRUE(loads(f));  // consistent: two records of the three
    f = good;
    f.resize(good.size() - 1);  // record region shorter than the header says
    EXPECT_FALSE(loads(f));
    // Counts that promise more than the file holds are refused before any
    // allocation is made for them.
    f = good;
    put_u32(&f[192 + 100], 0xFFFFFFFFu);
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    put_u32(&f[192 + 88], 0xFFFFFFFFu);
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    put_u64(&f[192 + 140], UINT64_MAX - 100);
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    put_u64(&f[192 + 132], UINT64_MAX - 10);
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    put_u32(&f[192 + 96], 2);  // HNSW with a giant M
    put_u32(&f[192 + 112], 0x7FFFFFFF);
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    put_u32(&f[192 + 96], 1);  // IVF with a giant list count
    put_u32(&f[192 + 124], 0x7FFFFFFF);
    rechecksum(f);
    EXPECT_FALSE(loads(f));
    f = good;
    put_u32(&f[192 + 96], 9);  // unknown kind
    rechecksum(f);
    EXPECT_FALSE(loads(f));
}

TEST(CollectionFile, IdsMustLieBelowTheStoredCounter) {
    TempDir dir;
    Owned c(make("c", 2, VX_INDEX_FLAT));
    insert_all(c.get(), random_vectors(3, 2, 6));
    std::string path = dir.file("c.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    const std::vector<uint8_t> good = slurp(path);
    std::vector<uint8_t> f = good;
    put_u64(&f[192 + 104], 3);  // the counter would hand out id 3 again
    rechecksum(f);
    spit(path, f);
    EXPECT_EQ(vx_collection_load(nullptr, path.c_str()), nullptr);
    f = good;
    put_u64(&f[384 + 40], 0);  // id 0 is never assigned
    reseal(f);
    spit(path, f);
    EXPECT_EQ(vx_collection_load(nullptr, path.c_str()), nullptr);
    f = good;
    put_u64(&f[384 + 40], 1ull << 50);  // beyond the counter
    reseal(f);
    spit(path, f);
    EXPECT_EQ(vx_collection_load(nullptr, path.c_str()), nullptr);
    // A graph collection whose counter lies far beyond what the file could
    // hold loads with its graph dormant, and stays so as insertions pass the
    // threshold: feeding it would size a slot table by that counter.
    f = good;
    put_u32(&f[192 + 96], 2);
    put_u64(&f[192 + 104], 1ull << 24);  // the limit for a small file: 1 << 22
    put_u32(&f[192 + 180], 2);
    rechecksum(f);
    spit(path, f);
    {
        Owned far(vx_collection_load(nullptr, path.c_str()));
        ASSERT_NE(far.get(), nullptr);
        float v[2] = {1, 2};
        uint64_t id = 0;
        ASSERT_EQ(vx_collection_insert(far.get(), v, &id), VX_OK);
        EXPECT_EQ(id, 1ull << 24);
        EXPECT_EQ(vx_index_get_ntotal(far->index), 0u);
    }
    f = good;
    put_u64(&f[384], 3);  // out of order but below the counter: accepted
    put_u64(&f[384 + 80], 1);
    reseal(f);
    spit(path, f);
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    float out[2];
    EXPECT_EQ(vx_collection_get(back.get(), 1, out), VX_OK);
    EXPECT_EQ(memcmp(out, back->records[2].vector, sizeof(out)), 0);
}

// Records whose ids come in no particular order reopen with each id found
// where a scan from the first record finds it, and the reopened graph gives
// the same answers as before.
TEST(CollectionFile, ShuffledIdsAreFoundAfterReopening) {
    TempDir dir;
    const uint32_t dim = 4;
    Owned c(make("c", dim, VX_INDEX_HNSW));
    std::vector<float> all = coltest::fill_shuffled(c.get(), 600, 3);
    for (uint64_t id = 1; id <= 600; id += 7) ASSERT_EQ(vx_collection_delete(c.get(), id), VX_OK);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    std::string path = dir.file("c.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    expect_same_records(c.get(), back.get());
    for (uint64_t id = 0; id <= 601; id++) {
        const vx_record *scan = coltest::linear_find(back.get(), id);
        uint64_t pos = collection_find(back.get(), id);
        ASSERT_EQ(pos == UINT64_MAX ? nullptr : &back->records[pos], scan) << id;
        EXPECT_EQ(scan != nullptr, id >= 1 && id <= 600 && (id - 1) % 7 != 0) << id;
    }
    vx_search_options opt = {8, nullptr, 0, 0, 0};
    for (uint64_t id = 2; id <= 600; id += 53) {
        vx_search_hit a[8], b[8];
        uint64_t na = vx_collection_search(c.get(), &all[(id - 1) * dim], &opt, a);
        ASSERT_EQ(vx_collection_search(back.get(), &all[(id - 1) * dim], &opt, b), na);
        ASSERT_EQ(na, 8u);
        for (uint64_t i = 0; i < na; i++) {
            EXPECT_EQ(a[i].id, b[i].id);
            EXPECT_EQ(memcmp(&a[i].distance, &b[i].distance, 4), 0);
        }
    }
}

TEST(CollectionFile, GiantCounterLeavesTheGraphDormant) {
    TempDir dir;
    Owned c(make("c", 2, VX_INDEX_HNSW));
    insert_all(c.get(), random_vectors(20, 2, 13));
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    std::string path = dir.file("c.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    put_u64(&f[192 + 104], 1ull << 40);
    rechecksum(f);
    spit(path, f);
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(back->count, 20u);
    EXPECT_FALSE(collection_index_active(back.get()));
    EXPECT_EQ(vx_index_get_ntotal(back->index), 0u);
}

TEST(CollectionFile, ActiveIndexIsActiveAgainAndDormantStaysDormant) {
    TempDir dir;
    const uint32_t dim = 8;
    std::vector<float> v = random_vectors(300, dim, 8);
    for (int32_t asked : {(int32_t)VX_INDEX_HNSW, (int32_t)-1}) {
        const int32_t kind = asked == -1 ? VX_INDEX_IVF : asked;  // -1: automatic IVF
        Owned c(make("c", dim, asked));
        ASSERT_NE(c.get(), nullptr);
        insert_all(c.get(), v);
        std::string dormant = dir.file("dormant.vxcol");
        ASSERT_EQ(vx_collection_save(c.get(), dormant.c_str()), VX_OK);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        ASSERT_EQ(c->index_threshold, 0u);
        std::string active = dir.file("active.vxcol");
        ASSERT_EQ(vx_collection_save(c.get(), active.c_str()), VX_OK);
        std::vector<uint8_t> f = slurp(active);
        EXPECT_EQ((int32_t)get_u32(f.data() + 192 + 96), kind);
        if (kind == VX_INDEX_HNSW) {
            EXPECT_EQ(get_u32(f.data() + 192 + 112), 16u);
            EXPECT_EQ(get_u32(f.data() + 192 + 116), 200u);
            EXPECT_EQ(get_u32(f.data() + 192 + 120), 64u);
        } else {
            EXPECT_EQ(get_u32(f.data() + 192 + 124), ((vx_ivf_index *)c->index->body)->list_count);
        }

        Owned a(vx_collection_load(nullptr, active.c_str()));
        ASSERT_NE(a.get(), nullptr);
        ASSERT_NE(a->index, nullptr);
        EXPECT_EQ(a->index->type, kind);
        EXPECT_EQ(a->index_threshold, 0u);
        EXPECT_TRUE(collection_index_active(a.get()));
        EXPECT_EQ(vx_index_get_ntotal(a->index), 300u);
        EXPECT_EQ(vx_collection_has_index(a.get()), 1);
        // Searches find the query's own record through the index at once.
        vx_search_hit hits[5];
        memset(hits, 0, sizeof(hits));
        vx_search_options opt;
        memset(&opt, 0, sizeof(opt));
        opt.k = 5;
        ASSERT_EQ(vx_collection_search(a.get(), &v[17 * dim], &opt, hits), 5u);
        EXPECT_EQ(hits[0].id, 18u);
        EXPECT_EQ(hits[0].distance, 0.0f);

        Owned d(vx_collection_load(nullptr, dormant.c_str()));
        ASSERT_NE(d.get(), nullptr);
        ASSERT_NE(d->index, nullptr);
        EXPECT_GT(d->index_threshold, d->count);
        EXPECT_FALSE(collection_index_active(d.get()));
    }
}

TEST(CollectionFile, SaveWhileInserting) {
    TempDir dir;
    Owned c(make("c", 4, VX_INDEX_FLAT));
    insert_all(c.get(), random_vectors(100, 4, 9));
    std::atomic<bool> stop(false);
    std::thread writer([&] {
        std::vector<float> v = random_vectors(1, 4, 10);
        for (int i = 0; i < 20000 && !stop.load(); i++) vx_collection_insert(c.get(), v.data(), nullptr);
    });
    std::string path = dir.file("c.vxcol");
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
        Owned back(vx_collection_load(nullptr, path.c_str()));
        ASSERT_NE(back.get(), nullptr);
        EXPECT_GE(back->count, 100u);
        EXPECT_EQ(back->next_id, back->count + 1);
    }
    stop.store(true);
    writer.join();
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"c.vxcol"});
}

// Every truncation and many single-byte changes of a small valid file load
// or fail cleanly; what loads is usable.
TEST(CollectionFile, CorruptionSweep) {
    TempDir dir;
    Owned c(make("sweep", 3, VX_INDEX_HNSW));
    insert_all(c.get(), random_vectors(4, 3, 11));
    vx_meta_entry e[2];
    memset(e, 0, sizeof(e));
    e[0].key = view("k"), e[0].type = VX_META_STRING, e[0].value.str = view("value");
    e[1].key = view("n"), e[1].type = VX_META_INT64, e[1].value.i64 = 5;
    ASSERT_EQ(vx_collection_set_meta(c.get(), 2, e, 2), VX_OK);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    std::string path = dir.file("sweep.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    const std::vector<uint8_t> good = slurp(path);
    std::string probe = dir.file("probe.vxcol");
    std::vector<float> q = random_vectors(1, 3, 12);
    auto exercise = [&](const std::vector<uint8_t> &bytes) {
        spit(probe, bytes);
        vx_collection *x = vx_collection_load(nullptr, probe.c_str());
        if (x) {
            vx_search_hit hits[4];
            vx_collection_search(x, q.data(), nullptr, hits);
            vx_collection_insert(x, q.data(), nullptr);
            vx_collection_destroy(x);
        }
    };
    for (size_t cut = 0; cut < good.size(); cut++) exercise(std::vector<uint8_t>(good.begin(), good.begin() + cut));
    const uint8_t patterns[] = {0x01, 0x80, 0xFF};
    // As a file from before the checksum section: the loader's own checks
    // face every change there.
    std::vector<uint8_t> older = without_checksum(good);
    for (size_t i = 0; i < older.size(); i++) {
        for (uint8_t p : patterns) {
            std::vector<uint8_t> f = older;
            f[i] ^= p;
            exercise(f);
        }
    }
    for (size_t i = 0; i < good.size(); i++) {
        for (uint8_t p : patterns) {
            std::vector<uint8_t> f = good;
            f[i] ^= p;
            exercise(f);
            // With the checksum repaired, the header's fields themselves are tried.
            if (i >= 192 && i < 384 && (i < 376 || i >= 380)) {
                rechecksum(f);
                exercise(f);
            }
        }
    }
}

namespace {
// 1 when two graphs hold the same nodes with the same links in the same order.
bool same_graph(const vx_index *x, const vx_index *y) {
    const vx_hnsw_index *a = (const vx_hnsw_index *)x->body, *b = (const vx_hnsw_index *)y->body;
    if (a->entry_point != b->entry_point || a->max_level != b->max_level) return false;
    uint64_t slots = a->capacity < b->capacity ? a->capacity : b->capacity;
    for (uint64_t s = 0; s < slots; s++) {
        if (hnsw_has_node(a, s) != hnsw_has_node(b, s)) return false;
        if (!hnsw_has_node(a, s)) continue;
        if (a->levels[s] != b->levels[s]) return false;
        for (uint32_t l = 0; l <= a->levels[s]; l++) {
            const uint32_t *x = hnsw_list(a, s, l), *y = hnsw_list(b, s, l);
            if (memcmp(x, y, (1ull + x[0]) * sizeof(uint32_t)) != 0) return false;
        }
    }
    return true;
}

uint64_t nearest_id(vx_collection *c, const float *q) {
    vx_search_hit hits[3];
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = 3;
    return vx_collection_search(c, q, &opt, hits) ? hits[0].id : 0;
}
}  // namespace

TEST(CollectionFile, SavedIndexIsReusedOnlyWhileItMatches) {
    TempDir dir;
    const uint32_t dim = 8;
    std::vector<float> v = random_vectors(400, dim, 21);
    for (int32_t metric : {0, 2}) {
        Owned c(make("g", dim, VX_INDEX_HNSW, metric));
        insert_all(c.get(), v);
        ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
        std::string path = dir.file("g.vxcol"), idx = path + ".idx";
        ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
        ASSERT_TRUE(exists(idx));

        // A matching index file is taken as it is: the same graph, whatever
        // the random sequence a rebuild would draw.
        vx_srand(777 + metric);
        Owned a(vx_collection_load(nullptr, path.c_str()));
        ASSERT_NE(a.get(), nullptr);
        ASSERT_TRUE(collection_index_active(a.get()));
        EXPECT_TRUE(same_graph(c->index, a->index));
        EXPECT_EQ(((vx_hnsw_index *)a->index->body)->metric, metric);
        for (int i = 0; i < 400; i += 37) EXPECT_EQ(nearest_id(a.get(), &v[i * dim]), (uint64_t)i + 1);

        // One changed byte: the file is not used and the index is rebuilt.
        std::vector<uint8_t> good = slurp(idx), bad = good;
        bad[bad.size() / 2] ^= 0x40;
        spit(idx, bad);
        vx_srand(778 + metric);
        Owned b(vx_collection_load(nullptr, path.c_str()));
        ASSERT_NE(b.get(), nullptr);
        ASSERT_TRUE(collection_index_active(b.get()));
        EXPECT_EQ(vx_index_get_ntotal(b->index), 400u);
        for (int i = 0; i < 400; i += 37) EXPECT_EQ(nearest_id(b.get(), &v[i * dim]), (uint64_t)i + 1);

        // A stale index file (from an earlier save) is not used either: the
        // record added since is found through the index.
        spit(idx, good);
        std::vector<float> extra(v.begin() + 5 * dim, v.begin() + 6 * dim);
        extra[0] += 0.001f;
        ASSERT_EQ(vx_collection_insert(c.get(), extra.data(), nullptr), VX_OK);
        std::string newer = dir.file("newer.vxcol");
        ASSERT_EQ(vx_collection_save(c.get(), newer.c_str()), VX_OK);
        spit(newer + ".idx", good);
        Owned s(vx_collection_load(nullptr, newer.c_str()));
        ASSERT_NE(s.get(), nullptr);
        EXPECT_EQ(vx_index_get_ntotal(s->index), 401u);
        EXPECT_EQ(nearest_id(s.get(), extra.data()), 401u);

        // Without an index in use, no index file is kept.
        ASSERT_EQ(vx_collection_drop_index(c.get()), VX_OK);
        ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
        EXPECT_FALSE(exists(idx));
    }
}

namespace {
bool same_text(const vx_str &a, const vx_str &b) {
    if (!a.data || !b.data) return a.data == b.data;
    return a.len == b.len && memcmp(a.data, b.data, a.len) == 0;
}

// Records, metadata and settings alike.
bool same_content(const vx_collection *a, const vx_collection *b) {
    if (strcmp(a->name ? a->name : "", b->name ? b->name : "") != 0 || a->count != b->count ||
        a->next_id != b->next_id || a->metric != b->metric || a->created_time != b->created_time ||
        a->index_threshold != b->index_threshold ||
        memcmp(&a->index_params, &b->index_params, sizeof(a->index_params)) != 0)
        return false;
    for (uint64_t i = 0; i < a->count; i++) {
        const vx_record &x = a->records[i], &y = b->records[i];
        if (x.id != y.id || memcmp(x.vector, y.vector, 4ull * a->dimension) != 0 || x.meta_count != y.meta_count)
            return false;
        for (uint64_t j = 0; j < x.meta_count; j++) {
            const vx_meta_entry &m = x.meta[j], &n = y.meta[j];
            if (!same_text(m.key, n.key) || m.type != n.type) return false;
            if (m.type == VX_META_STRING ? !same_text(m.value.str, n.value.str)
                                         : memcmp(&m.value, &n.value, sizeof(m.value.i64)) != 0)
                return false;
        }
    }
    return true;
}
}  // namespace

// Single-byte changes in records, metadata, the index link and the checksum
// section are refused at load; a change anywhere is refused or harmless.
TEST(CollectionFile, EveryByteFlipIsRefusedOrHarmless) {
    TempDir dir;
    Owned c(make("flips", 3, VX_INDEX_HNSW));
    insert_all(c.get(), random_vectors(5, 3, 31));
    vx_meta_entry e[2];
    memset(e, 0, sizeof(e));
    e[0].key = view("colour"), e[0].type = VX_META_STRING, e[0].value.str = view("blue");
    e[1].key = view("size"), e[1].type = VX_META_INT32, e[1].value.i32 = 7;
    ASSERT_EQ(vx_collection_set_meta(c.get(), 2, e, 2), VX_OK);
    ASSERT_EQ(vx_collection_build_index(c.get()), VX_OK);
    std::string path = dir.file("flips.vxcol"), probe = dir.file("probe.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    spit(probe + ".idx", slurp(path + ".idx"));
    const std::vector<uint8_t> good = slurp(path);
    Owned expect(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(expect.get(), nullptr);
    uint64_t silent = 0, body_loaded = 0;
    for (size_t i = 0; i < good.size(); i++) {
        for (uint8_t pattern : {0x01, 0x80, 0xFF}) {
            std::vector<uint8_t> f = good;
            f[i] ^= pattern;
            spit(probe, f);
            vx_collection *x = vx_collection_load(nullptr, probe.c_str());
            if (!x) continue;
            silent += !same_content(expect.get(), x);
            body_loaded += i >= 384;
            vx_collection_destroy(x);
        }
    }
    EXPECT_EQ(silent, 0u);
    EXPECT_EQ(body_loaded, 0u);
}

TEST(CollectionFile, FilesWithoutChecksumSectionStillLoad) {
    TempDir dir;
    Owned c(make("old", 4, VX_INDEX_FLAT));
    insert_all(c.get(), random_vectors(7, 4, 32));
    vx_meta_entry e;
    memset(&e, 0, sizeof(e));
    e.key = view("k"), e.type = VX_META_INT64, e.value.i64 = -3;
    ASSERT_EQ(vx_collection_set_meta(c.get(), 4, &e, 1), VX_OK);
    std::string path = dir.file("old.vxcol");
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    Owned expect(vx_collection_load(nullptr, path.c_str()));
    spit(path, without_checksum(slurp(path)));
    Owned back(vx_collection_load(nullptr, path.c_str()));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_TRUE(same_content(expect.get(), back.get()));
    // A checksummed file cut back to its records is refused, not taken for
    // an older one.
    ASSERT_EQ(vx_collection_save(c.get(), path.c_str()), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    spit(path, std::vector<uint8_t>(f.begin(), f.end() - 16));
    EXPECT_EQ(vx_collection_load(nullptr, path.c_str()), nullptr);
}

// Quantizer settings come back with the collection: from the saved index
// with its trained codebooks, or retrained from the records when the index
// file is gone.
TEST(CollectionFile, QuantizedCollectionsReopenWithTheirQuantizer) {
    TempDir dir;
    const uint32_t dim = 8;
    Owned pq(make("pq", dim, VX_INDEX_FLAT));
    ASSERT_NE(pq.get(), nullptr);
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = VX_INDEX_IVF_PQ;
    p.family.ivf.nlist = 4;
    p.family.ivf.nprobe = 4;
    p.pq_m = 4;
    p.pq_nbits = 4;
    ASSERT_EQ(vx_collection_set_index_params(pq.get(), &p), VX_OK);
    insert_all(pq.get(), random_vectors(300, dim, 33));
    ASSERT_EQ(vx_collection_build_index(pq.get()), VX_OK);
    const vx_pq_quantizer *trained = ((const vx_ivf_index *)pq->index->body)->pq;
    ASSERT_NE(trained, nullptr);
    std::string path = dir.file("pq.vxcol");
    ASSERT_EQ(vx_collection_save(pq.get(), path.c_str()), VX_OK);
    for (int rebuilt = 0; rebuilt < 2; rebuilt++) {
        if (rebuilt) unlink((path + ".idx").c_str());
        Owned back(vx_collection_load(nullptr, path.c_str()));
        ASSERT_NE(back.get(), nullptr);
        EXPECT_EQ(back->index_params.pq_m, 4u);
        EXPECT_EQ(back->index_params.pq_nbits, 4u);
        EXPECT_EQ(back->config.pq_m, 4u);
        ASSERT_NE(back->index, nullptr);
        ASSERT_EQ(vx_index_get_type(back->index), VX_INDEX_IVF_PQ);
        const vx_pq_quantizer *q = ((const vx_ivf_index *)back->index->body)->pq;
        ASSERT_NE(q, nullptr) << rebuilt;
        EXPECT_EQ(q->m, 4u);
        EXPECT_EQ(q->nbits, 4);
        if (!rebuilt) {
            for (uint32_t s = 0; s < q->m; s++)
                EXPECT_EQ(memcmp(q->codebooks[s], trained->codebooks[s], 4ull * q->ksub * q->dsub), 0);
        }
        std::vector<float> query = random_vectors(1, dim, 34);
        vx_search_hit hits[5];
        vx_search_options opt;
        memset(&opt, 0, sizeof(opt));
        opt.k = 5;
        EXPECT_EQ(vx_collection_search(back.get(), query.data(), &opt, hits), 5u);
    }

    vx_collection_config scfg = collection_config("sq", dim, VX_INDEX_HNSW);
    scfg.quant_type = VX_QUANT_SCALAR;
    Owned sq(vx_collection_create(nullptr, &scfg));
    insert_all(sq.get(), random_vectors(50, dim, 35));
    std::string spath = dir.file("sq.vxcol");
    ASSERT_EQ(vx_collection_save(sq.get(), spath.c_str()), VX_OK);
    Owned sback(vx_collection_load(nullptr, spath.c_str()));
    ASSERT_NE(sback.get(), nullptr);
    EXPECT_EQ(sback->index_params.quant_type, VX_QUANT_SCALAR);
    EXPECT_EQ(sback->config.quant_type, VX_QUANT_SCALAR);
    ASSERT_NE(sback->index, nullptr);
    EXPECT_NE(((const vx_hnsw_index *)sback->index->body)->sq, nullptr);
}

// A database whose collection file lost one byte of a record or of its
// metadata refuses to open, and leaves the file as it was.
TEST(CollectionFile, DatabaseRefusesAFlippedRecordOrMetadataByte) {
    TempDir dir;
    std::string db_path = dir.file("db");
    vx_str p = view(db_path);
    vx_daded *db = nullptr;
    ASSERT_EQ(vx_daded_open(&p, VX_OPEN_CREATE, &db), VX_OK);
    vx_collection *c = nullptr;
    vx_str name = view("c");
    ASSERT_EQ(vx_daded_create_collection(db, &name, 4, &c), VX_OK);
    insert_all(c, random_vectors(3, 4, 41));
    vx_meta_entry e;
    memset(&e, 0, sizeof(e));
    e.key = view("tag"), e.type = VX_META_STRING, e.value.str = view("kept");
    ASSERT_EQ(vx_collection_set_meta(c, 2, &e, 1), VX_OK);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    std::string file = db_path + "/c.vxcol";
    const std::vector<uint8_t> good = slurp(file);
    const size_t record_byte = 384 + 48 + 32 + 5, meta_byte = good.size() - 16 - 3;
    for (size_t at : {record_byte, meta_byte}) {
        std::vector<uint8_t> f = good;
        f[at] ^= 0x04;
        spit(file, f);
        db = nullptr;
        EXPECT_EQ(vx_daded_open(&p, 0, &db), VX_ERR_FILE_CORRUPTED) << at;
        EXPECT_EQ(db, nullptr);
        EXPECT_EQ(slurp(file), f);
    }
}
