// Hash functions against published MurmurHash3 values and a plain
// re-statement of the algorithm, and the chained hash table with its
// iterators.
#include "vexal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- MurmurHash3 re-stated byte by byte (the oracle) ----------------------

uint32_t r32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
uint64_t r64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint32_t ref_x86_32(const uint8_t *d, size_t len, uint32_t seed) {
    uint32_t h = seed;
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        uint32_t k = d[i] | (d[i + 1] << 8) | (d[i + 2] << 16) | (uint32_t(d[i + 3]) << 24);
        k *= 0xcc9e2d51;
        k = r32(k, 15);
        k *= 0x1b873593;
        h ^= k;
        h = r32(h, 13);
        h = h * 5 + 0xe6546b64;
    }
    if (i < len) {
        uint32_t k = 0;
        for (size_t j = 0; i + j < len; j++) k |= uint32_t(d[i + j]) << (8 * j);
        k *= 0xcc9e2d51;
        k = r32(k, 15);
        k *= 0x1b873593;
        h ^= k;
    }
    h ^= uint32_t(len);
    h ^= h >> 16;
    h *= 0x85ebca6b;
    h ^= h >> 13;
    h *= 0xc2b2ae35;
    h ^= h >> 16;
    return h;
}

uint64_t fmix(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

// Both output words of x64_128, with a 64-bit seed and length.
void ref_x64_128(const uint8_t *d, uint64_t len, uint64_t seed, uint64_t out[2]) {
    const uint64_t c1 = 0x87c37b91114253d5ull, c2 = 0x4cf5ad432745937full;
    uint64_t h1 = seed, h2 = seed;
    auto word = [&](uint64_t at, uint64_t n) {
        uint64_t w = 0;
        for (uint64_t j = 0; j < n; j++) w |= uint64_t(d[at + j]) << (8 * j);
        return w;
    };
    uint64_t i = 0;
    for (; i + 16 <= len; i += 16) {
        uint64_t k1 = word(i, 8), k2 = word(i + 8, 8);
        k1 *= c1; k1 = r64(k1, 31); k1 *= c2; h1 ^= k1;
        h1 = r64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;
        k2 *= c2; k2 = r64(k2, 33); k2 *= c1; h2 ^= k2;
        h2 = r64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
    }
    uint64_t rest = len - i;
    if (rest > 8) {
        uint64_t k2 = word(i + 8, rest - 8);
        k2 *= c2; k2 = r64(k2, 33); k2 *= c1; h2 ^= k2;
    }
    if (rest > 0) {
        uint64_t k1 = word(i, rest < 8 ? rest : 8);
        k1 *= c1; k1 = r64(k1, 31); k1 *= c2; h1 ^= k1;
    }
    h1 ^= len; h2 ^= len;
    h1 += h2; h2 += h1;
    h1 = fmix(h1); h2 = fmix(h2);
    h1 += h2; h2 += h1;
    out[0] = h1;
    out[1] = h2;
}

uint32_t murmur32(const std::string &s, uint32_t seed) { return vx_hash_murmur3_32(s.data(), s.size(), seed); }

}  // namespace

TEST(Hash, Murmur32MatchesPublishedValues) {
    struct { std::string in; uint32_t seed, want; } v[] = {
        {"", 0, 0},
        {"", 1, 0x514E28B7},
        {"", 0xffffffff, 0x81F16F39},
        {std::string("\0\0\0\0", 4), 0, 0x2362F9DE},
        {"\xff\xff\xff\xff", 0, 0x76293B50},
        {"\x21\x43\x65\x87", 0, 0xF55B516B},
        {"\x21\x43\x65\x87", 0x5082EDEE, 0x2362F9DE},
        {"aaaa", 0x9747b28c, 0x5A97808A},
        {"aaa", 0x9747b28c, 0x283E0130},
        {"aa", 0x9747b28c, 0x5D211726},
        {"a", 0x9747b28c, 0x7FA09EA6},
        {"abcd", 0x9747b28c, 0xF0478627},
        {"abc", 0x9747b28c, 0xC84A62DD},
        {"ab", 0x9747b28c, 0x74875592},
        {"Hello, world!", 0x9747b28c, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 0x9747b28c, 0x2FA826CD},
    };
    for (auto &c : v) EXPECT_EQ(murmur32(c.in, c.seed), c.want) << c.in;
}

TEST(Hash, VerificationSweepOverAllLengthsAndSeeds) {
    // The reference suite's check: keys 0,1,..,i-1 of every length i < 256
    // hashed with seed 256 - i, the outputs concatenated and hashed again.
    uint8_t key[256], hashes32[4 * 256], hashes128[16 * 256];
    for (int i = 0; i < 256; i++) {
        key[i] = uint8_t(i);
        uint32_t h = vx_hash_murmur3_32(key, i, 256 - i);
        memcpy(&hashes32[4 * i], &h, 4);
        uint64_t out[2];
        ref_x64_128(key, i, 256 - i, out);
        memcpy(&hashes128[16 * i], out, 16);
        ASSERT_EQ(vx_hash_murmur3_64(key, i, 256 - i), out[0]) << i;
        ASSERT_EQ(vx_hash_murmur3_32(key, i, 256 - i), ref_x86_32(key, i, 256 - i)) << i;
    }
    EXPECT_EQ(vx_hash_murmur3_32(hashes32, sizeof hashes32, 0), 0xB0F57EE3u);
    uint64_t fin[2];
    ref_x64_128(hashes128, sizeof hashes128, 0, fin);
    EXPECT_EQ(uint32_t(fin[0]), 0x6384BA69u);  // validates the re-statement itself
}

TEST(Hash, Murmur64FirstWordAndWideSeedsAndTails) {
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(vx_hash_murmur3_64(fox.data(), fox.size(), 0), 0xe34bbc7bbc071b6cull);
    EXPECT_EQ(vx_hash_murmur3_64("", 0, 0), 0u);
    EXPECT_EQ(vx_hash_murmur3_32("", 0, 0), 0u);

    // Every tail length from odd offsets (unaligned reads), with seeds that
    // need all 64 bits: both lanes start from the full seed.
    std::vector<uint8_t> buf(64);
    for (size_t i = 0; i < buf.size(); i++) buf[i] = uint8_t(i * 37 + 11);
    for (uint64_t seed : {0ull, 1ull, 0x9747b28cull, 0x100000000ull, 0xdeadbeefcafef00dull}) {
        for (size_t len = 0; len <= 33; len++) {
            for (size_t off : {0u, 1u, 3u}) {
                uint64_t out[2];
                ref_x64_128(buf.data() + off, len, seed, out);
                ASSERT_EQ(vx_hash_murmur3_64(buf.data() + off, len, seed), out[0]) << len << " " << seed;
                ASSERT_EQ(vx_hash_murmur3_32(buf.data() + off, len, uint32_t(seed)),
                          ref_x86_32(buf.data() + off, len, uint32_t(seed)));
            }
        }
    }
    // A wide seed really differs from its low 32 bits.
    EXPECT_NE(vx_hash_murmur3_64(buf.data(), 20, 0x100000005ull), vx_hash_murmur3_64(buf.data(), 20, 5));
    // A null key reads nothing.
    EXPECT_EQ(vx_hash_murmur3_64(nullptr, 100, 7), vx_hash_murmur3_64("", 0, 7));
    EXPECT_EQ(vx_hash_murmur3_32(nullptr, 100, 7), vx_hash_murmur3_32("", 0, 7));
}

TEST(Hash, ConvenienceHashes) {
    EXPECT_EQ(vx_hash_string(nullptr), 0u);
    EXPECT_EQ(vx_hash_string(""), 0u);
    EXPECT_EQ(vx_hash_string("alpha"), vx_hash_murmur3_64("alpha", 5, 0));

    for (uint64_t x : {0ull, 1ull, 0x0102030405060708ull, ~0ull}) {
        uint8_t le[8];
        for (int i = 0; i < 8; i++) le[i] = uint8_t(x >> (8 * i));
        uint64_t out[2];
        ref_x64_128(le, 8, 0, out);
        EXPECT_EQ(vx_hash_int(x), out[0]);
    }

    float v[3] = {1.0f, 0.0f, -2.5f}, w[3] = {1.0f, -0.0f, -2.5f};
    EXPECT_EQ(vx_hash_vector(v, 3), vx_hash_murmur3_64(v, 12, 0));
    EXPECT_NE(vx_hash_vector(v, 3), vx_hash_vector(w, 3));
    EXPECT_EQ(vx_hash_vector(v, 0), 0u);
    EXPECT_EQ(vx_hash_vector(nullptr, 3), 0u);
}

// ---- hash table -------------------------------------------------------------

class HashTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vx_arena_create(0, &arena), VX_OK); }
    void TearDown() override { vx_arena_destroy(arena); }
    std::vector<uint64_t> int_keys(vx_hash_table *t) {
        std::vector<uint64_t> keys;
        vx_hash_iterator *it = vx_hash_iterator_create(t);
        for (; vx_hash_iterator_valid(it); vx_hash_iterator_next(it))
            keys.push_back(*static_cast<const uint64_t *>(vx_hash_iterator_get_key(it)));
        return keys;
    }
    vx_arena *arena = nullptr;
};

TEST_F(HashTable, CreationArgumentsAndNullHandling) {
    EXPECT_EQ(vx_hash_table_create(arena, 0), nullptr);
    EXPECT_EQ(vx_hash_table_create(nullptr, 8), nullptr);
    EXPECT_EQ(vx_hash_table_create_string(arena, 0), nullptr);
    EXPECT_EQ(vx_hash_table_create_int(nullptr, 4), nullptr);
    // A bucket array larger than any arena can hold.
    EXPECT_EQ(vx_hash_table_create(arena, UINT64_MAX / 4), nullptr);

    uint64_t k = 1;
    EXPECT_EQ(vx_hash_table_insert(nullptr, &k, nullptr), VX_ERR_INVALID_ARG);
    vx_hash_table *t = vx_hash_table_create_int(arena, 4);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(vx_hash_table_insert(t, nullptr, &k), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_hash_table_find(t, nullptr), nullptr);
    EXPECT_EQ(vx_hash_table_find(nullptr, &k), nullptr);
    EXPECT_EQ(vx_hash_table_delete(t, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_hash_table_delete(nullptr, &k), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_hash_table_size(nullptr), 0u);
    EXPECT_EQ(vx_hash_table_clear(nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_hash_iterator_create(nullptr), nullptr);
    EXPECT_EQ(vx_hash_iterator_valid(nullptr), 0);
    EXPECT_EQ(vx_hash_iterator_next(nullptr), 0);
    EXPECT_EQ(vx_hash_iterator_get_key(nullptr), nullptr);
    EXPECT_EQ(vx_hash_iterator_get_value(nullptr), nullptr);
    vx_hash_table_set_hash_func(t, nullptr);  // ignored
    vx_hash_table_set_hash_func(nullptr, nullptr);
    EXPECT_EQ(vx_hash_table_insert(t, &k, &k), VX_OK);
    EXPECT_EQ(vx_hash_table_find(t, &k), &k);
    vx_hash_table_destroy(t);
}

TEST_F(HashTable, StringKeysAreCopiedAndReplaceValues) {
    vx_hash_table *t = vx_hash_table_create_string(arena, 16);
    char key[] = "alpha";
    int a = 1, b = 2;
    ASSERT_EQ(vx_hash_table_insert(t, key, &a), VX_OK);
    key[0] = 'X';  // the table holds its own copy
    EXPECT_EQ(vx_hash_table_find(t, "alpha"), &a);
    EXPECT_EQ(vx_hash_table_find(t, "Xlpha"), nullptr);
    std::string again = "alpha";
    ASSERT_EQ(vx_hash_table_insert(t, again.c_str(), &b), VX_OK);
    EXPECT_EQ(vx_hash_table_size(t), 1u);
    EXPECT_EQ(vx_hash_table_find(t, "alpha"), &b);
    // Prefixes and extensions are different keys.
    EXPECT_EQ(vx_hash_table_find(t, "alph"), nullptr);
    EXPECT_EQ(vx_hash_table_find(t, "alphab"), nullptr);
    ASSERT_EQ(vx_hash_table_insert(t, "", &a), VX_OK);
    EXPECT_EQ(vx_hash_table_find(t, ""), &a);
    EXPECT_EQ(vx_hash_table_size(t), 2u);
}

TEST_F(HashTable, DefaultKeysAreIdentities) {
    vx_hash_table *t = vx_hash_table_create(arena, 8);
    uint64_t k1 = 42, k2 = 42, k3 = 42;
    int v1 = 1, v2 = 2;
    ASSERT_EQ(vx_hash_table_insert(t, &k1, &v1), VX_OK);
    ASSERT_EQ(vx_hash_table_insert(t, &k2, &v2), VX_OK);
    EXPECT_EQ(vx_hash_table_size(t), 2u);
    EXPECT_EQ(vx_hash_table_find(t, &k1), &v1);
    EXPECT_EQ(vx_hash_table_find(t, &k2), &v2);
    EXPECT_EQ(vx_hash_table_find(t, &k3), nullptr);
}

TEST_F(HashTable, IterationOrderIsBucketsThenNewestFirst) {
    vx_hash_table *t = vx_hash_table_create_int(arena, 1);
    for (uint64_t k : {1, 2, 3}) ASSERT_EQ(vx_hash_table_insert(t, &k, nullptr), VX_OK);
    EXPECT_EQ(int_keys(t), (std::vector<uint64_t>{3, 2, 1}));

    // Several buckets: order follows bucket index, then chain order.
    const uint64_t buckets = 5;
    vx_hash_table *u = vx_hash_table_create_int(arena, buckets);
    std::vector<std::vector<uint64_t>> chains(buckets);
    for (uint64_t k = 100; k < 140; k++) {
        ASSERT_EQ(vx_hash_table_insert(u, &k, nullptr), VX_OK);
        auto &chain = chains[vx_hash_int(k) % buckets];
        chain.insert(chain.begin(), k);
    }
    std::vector<uint64_t> expect;
    for (auto &c : chains) expect.insert(expect.end(), c.begin(), c.end());
    EXPECT_EQ(int_keys(u), expect);
}

TEST_F(HashTable, IterationReachesEntriesInTheLastBucketOnly) {
    const uint64_t buckets = 7;
    vx_hash_table *t = vx_hash_table_create_int(arena, buckets);
    std::vector<uint64_t> last;
    for (uint64_t k = 0; last.size() < 3; k++)
        if (vx_hash_int(k) % buckets == buckets - 1) last.push_back(k);
    for (uint64_t k : last) ASSERT_EQ(vx_hash_table_insert(t, &k, nullptr), VX_OK);
    vx_hash_iterator *it = vx_hash_iterator_create(t);
    ASSERT_TRUE(vx_hash_iterator_valid(it));
    EXPECT_EQ(vx_hash_iterator_next(it), 1);
    EXPECT_EQ(vx_hash_iterator_next(it), 1);
    EXPECT_EQ(vx_hash_iterator_next(it), 0);
    EXPECT_FALSE(vx_hash_iterator_valid(it));
    EXPECT_EQ(vx_hash_iterator_next(it), 0);  // stays exhausted
    EXPECT_EQ(vx_hash_iterator_get_key(it), nullptr);
    vx_hash_iterator_destroy(it);
}

TEST_F(HashTable, DeleteUnlinksFromAnyChainPosition) {
    vx_hash_table *t = vx_hash_table_create_int(arena, 1);
    int vals[3] = {10, 20, 30};
    for (uint64_t k = 0; k < 3; k++) ASSERT_EQ(vx_hash_table_insert(t, &k, &vals[k]), VX_OK);
    uint64_t mid = 1, head = 2, tail = 0;
    EXPECT_EQ(vx_hash_table_delete(t, &mid), VX_OK);
    EXPECT_EQ(vx_hash_table_find(t, &head), &vals[2]);
    EXPECT_EQ(vx_hash_table_find(t, &tail), &vals[0]);
    EXPECT_EQ(vx_hash_table_delete(t, &mid), VX_ERR_NOT_FOUND);
    EXPECT_EQ(vx_hash_table_size(t), 2u);
    EXPECT_EQ(vx_hash_table_delete(t, &head), VX_OK);
    EXPECT_EQ(vx_hash_table_delete(t, &tail), VX_OK);
    EXPECT_EQ(vx_hash_table_size(t), 0u);
    EXPECT_FALSE(vx_hash_iterator_valid(vx_hash_iterator_create(t)));
}

TEST_F(HashTable, ClearEmptiesAndTableStaysUsable) {
    vx_hash_table *t = vx_hash_table_create_string(arena, 3);
    const char *names[] = {"a", "b", "c", "d", "e"};
    for (const char *n : names) ASSERT_EQ(vx_hash_table_insert(t, n, (void *)n), VX_OK);
    EXPECT_EQ(vx_hash_table_clear(t), VX_OK);
    EXPECT_EQ(vx_hash_table_size(t), 0u);
    for (const char *n : names) EXPECT_EQ(vx_hash_table_find(t, n), nullptr);
    EXPECT_FALSE(vx_hash_iterator_valid(vx_hash_iterator_create(t)));
    ASSERT_EQ(vx_hash_table_insert(t, "b", (void *)names[1]), VX_OK);
    EXPECT_EQ(vx_hash_table_find(t, "b"), names[1]);
}

namespace {
int32_t casefold_compare(const void *a, const void *b) {
    std::string x = static_cast<const char *>(a), y = static_cast<const char *>(b);
    if (x.size() != y.size()) return 1;
    for (size_t i = 0; i < x.size(); i++)
        if (tolower(x[i]) != tolower(y[i])) return 1;
    return 0;
}
void *boxing_copy(vx_arena *arena, const void *value) {
    int *box = static_cast<int *>(vx_arena_alloc(arena, sizeof(int)));
    *box = *static_cast<const int *>(value) * 10;
    return box;
}
void *failing_copy(vx_arena *, const void *) { return nullptr; }
}  // namespace

TEST_F(HashTable, CustomFunctionsAndFailedKeyCopy) {
    vx_hash_table *t = vx_hash_table_create_string(arena, 300);
    vx_hash_table_set_hash_func(t, [](const void *k) -> uint64_t {
        return tolower(*static_cast<const unsigned char *>(k));
    });
    vx_hash_table_set_compare_func(t, casefold_compare);
    vx_hash_table_set_value_copy_func(t, boxing_copy);
    int v = 4;
    ASSERT_EQ(vx_hash_table_insert(t, "Key", &v), VX_OK);
    int *found = static_cast<int *>(vx_hash_table_find(t, "kEY"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, 40);

    // A key copy that fails reports exhausted memory and stores nothing.
    vx_hash_table *u = vx_hash_table_create_int(arena, 4);
    vx_hash_table_set_key_copy_func(u, failing_copy);
    uint64_t k = 5;
    EXPECT_EQ(vx_hash_table_insert(u, &k, &v), VX_ERR_NO_MEMORY);
    EXPECT_EQ(vx_hash_table_size(u), 0u);
    EXPECT_EQ(vx_hash_table_find(u, &k), nullptr);
}

TEST_F(HashTable, ManyKeysRoundTripAgainstASet) {
    vx_hash_table *t = vx_hash_table_create_int(arena, 257);
    std::set<uint64_t> model;
    uint64_t x = 1;
    for (int step = 0; step < 5000; step++) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t key = (x >> 33) % 800;
        if (step % 3 == 2) {
            EXPECT_EQ(vx_hash_table_delete(t, &key), model.erase(key) ? VX_OK : VX_ERR_NOT_FOUND);
        } else {
            ASSERT_EQ(vx_hash_table_insert(t, &key, reinterpret_cast<void *>(key + 1)), VX_OK);
            model.insert(key);
        }
    }
    EXPECT_EQ(vx_hash_table_size(t), model.size());
    for (uint64_t key = 0; key < 800; key++) {
        void *want = model.count(key) ? reinterpret_cast<void *>(key + 1) : nullptr;
        EXPECT_EQ(vx_hash_table_find(t, &key), want);
    }
    auto keys = int_keys(t);
    EXPECT_EQ(std::set<uint64_t>(keys.begin(), keys.end()), model);
    EXPECT_EQ(keys.size(), model.size());
}
