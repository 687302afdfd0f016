// Storage engine: backends, the file header, positioned writes, records,
// blocks, typed values and headers, damaged files and hostile lengths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "vx_storage_internal.h"

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vx_storage_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::string cmd = "rm -rf '" + path + "'"; (void)system(cmd.c_str()); }
    std::string file(const char *name) const { return path + "/" + name; }
};

std::vector<uint8_t> slurp(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    int c;
    while ((c = fgetc(f)) != EOF) bytes.push_back((uint8_t)c);
    fclose(f);
    return bytes;
}

void spit(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

vx_storage *memory_store(uint64_t capacity) {
    vx_storage_options o;
    memset(&o, 0, sizeof(o));
    o.backend = VX_STORAGE_MEMORY;
    o.capacity = capacity;
    return vx_storage_create(nullptr, &o);
}

vx_storage *mapped_store(const std::string &path, int32_t mode) {
    vx_storage_options o;
    memset(&o, 0, sizeof(o));
    o.backend = VX_STORAGE_MMAP;
    o.open_mode = mode;
    o.path = path.c_str();
    return vx_storage_create(nullptr, &o);
}

}  // namespace

TEST(StorageCreate, RefusesBadOptions) {
    EXPECT_EQ(vx_storage_create(nullptr, nullptr), nullptr);
    vx_storage_options o;
    memset(&o, 0, sizeof(o));
    o.backend = 7;
    EXPECT_EQ(vx_storage_create(nullptr, &o), nullptr);
    o.backend = VX_STORAGE_FILE;
    o.open_mode = VX_OPEN_CREATE;
    EXPECT_EQ(vx_storage_create(nullptr, &o), nullptr);  // no path
    EXPECT_EQ(vx_storage_open(nullptr, "/nonexistent-dir/x", VX_OPEN_READ), nullptr);
    EXPECT_EQ(vx_storage_close(nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_storage_destroy(nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_storage_sync(nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_storage_register_backend(3, nullptr), VX_ERR_NOT_SUPPORTED);
}

TEST(StorageMemory, GrowsByDoublingAndReadsAllOrNothing) {
    vx_storage *s = memory_store(100);
    ASSERT_NE(s, nullptr);
    uint8_t a[60], b[60], back[120];
    for (int i = 0; i < 60; i++) a[i] = (uint8_t)i, b[i] = (uint8_t)(100 + i);
    uint64_t cursor = 999;  // memory stores append whatever the cursor says
    ASSERT_EQ(vx_storage_write(s, a, 60, &cursor), VX_OK);
    EXPECT_EQ(cursor, 60u);
    ASSERT_EQ(vx_storage_write(s, b, 60, nullptr), VX_OK);
    vx_storage_stats st;
    ASSERT_EQ(vx_storage_get_stats(s, &st), VX_OK);
    EXPECT_EQ(st.total_bytes, 200u);
    EXPECT_EQ(st.used_bytes, 120u);
    EXPECT_EQ(st.free_bytes, 80u);
    ASSERT_EQ(vx_storage_read(s, 0, back, 120), 120);
    EXPECT_EQ(memcmp(back, a, 60), 0);
    EXPECT_EQ(memcmp(back + 60, b, 60), 0);
    EXPECT_EQ(vx_storage_read(s, 120, back, 1), -1);
    EXPECT_EQ(vx_storage_read(s, 100, back, 21), -1);
    EXPECT_EQ(vx_storage_read(s, UINT64_MAX, back, 2), -1);
    EXPECT_EQ(vx_storage_read(s, 0, back, 0), -1);
    EXPECT_EQ(vx_storage_write(s, a, 0, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_storage_append(s, a, 10), 130);
    EXPECT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageMemory, DefaultCapacityAndLargeWrite) {
    vx_storage *s = memory_store(0);
    ASSERT_NE(s, nullptr);
    vx_storage_stats st;
    ASSERT_EQ(vx_storage_get_stats(s, &st), VX_OK);
    EXPECT_EQ(st.total_bytes, 16777216u);
    std::vector<uint8_t> big(20u << 20, 7);
    ASSERT_EQ(vx_storage_write(s, big.data(), big.size(), nullptr), VX_OK);
    ASSERT_EQ(vx_storage_get_stats(s, &st), VX_OK);
    EXPECT_EQ(st.total_bytes, 32u << 20);
    EXPECT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageFile, FreshHeaderAppendAndClose) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vx_storage_verify(s), VX_OK);
    EXPECT_EQ(vx_storage_append(s, "0123456789", 10), 202);
    EXPECT_EQ(slurp(path).size(), 202u);
    ASSERT_EQ(vx_storage_sync(s), VX_OK);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    ASSERT_EQ(f.size(), 202u);
    EXPECT_EQ(memcmp(f.data(), "DVXV", 4), 0);
    EXPECT_EQ(get_u16(f.data() + 4), 0u);
    EXPECT_EQ(get_u16(f.data() + 6), 1u);
    EXPECT_GE(get_u64(f.data() + 16), get_u64(f.data() + 8));
    EXPECT_EQ(get_u64(f.data() + 24), 192u);
    EXPECT_EQ(get_u64(f.data() + 32), 10u);
    for (int i = 40; i < 192; i++) EXPECT_EQ(f[i], 0) << i;
    EXPECT_EQ(memcmp(f.data() + 192, "0123456789", 10), 0);

    // Data bytes accumulate across sessions of the same file.
    s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_READWRITE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vx_storage_append(s, "ab", 2), 204);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    EXPECT_EQ(get_u64(slurp(path).data() + 32), 12u);
}

TEST(StorageFile, CursorPositionsAndReads) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    uint64_t cursor = 500;
    ASSERT_EQ(vx_storage_write(s, "xyz", 3, &cursor), VX_OK);
    EXPECT_EQ(cursor, 503u);
    char buf[8] = {0};
    EXPECT_EQ(vx_storage_read(s, 500, buf, 3), 3);
    EXPECT_EQ(memcmp(buf, "xyz", 3), 0);
    EXPECT_EQ(vx_storage_read(s, 501, buf, 8), 2);  // file stores may read short
    EXPECT_EQ(vx_storage_read(s, 503, buf, 8), 0);
    // Appending after a positioned write lands at the end of the file.
    EXPECT_EQ(vx_storage_append(s, "q", 1), 504);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    EXPECT_EQ(slurp(path).size(), 504u);
}

TEST(StorageFile, DamagedHeadersAreRefused) {
    TempDir dir;
    std::string path = dir.file("s");
    std::vector<uint8_t> junk(300, 0x41);
    spit(path, junk);
    EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), VX_OPEN_READ), nullptr);
    EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), VX_OPEN_READWRITE), nullptr);
    EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), 99), nullptr);
    EXPECT_EQ(mapped_store(path, VX_OPEN_READWRITE), nullptr);
    // Mode 4 rewrites the header without truncating.
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_CREATE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    EXPECT_EQ(f.size(), 300u);
    EXPECT_EQ(memcmp(f.data(), "DVXV", 4), 0);
    EXPECT_EQ(f[299], 0x41);

    // Every truncation of a valid header and a wrong version fail creation.
    for (size_t cut = 0; cut < 192; cut += 13) {
        std::vector<uint8_t> part(f.begin(), f.begin() + cut);
        spit(path, part);
        EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), VX_OPEN_READ), nullptr) << cut;
    }
    std::vector<uint8_t> v2 = f;
    v2[6] = 2;
    spit(path, v2);
    EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), VX_OPEN_READ), nullptr);
    // Write-only modes cannot read the header back.
    spit(path, f);
    EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), VX_OPEN_WRITE), nullptr);
    EXPECT_EQ(vx_storage_open(nullptr, path.c_str(), VX_OPEN_APPEND), nullptr);
}

TEST(StorageFile, ReadOnlyStoreRefusesWritesAndDestroyDeletes) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_READ);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vx_storage_write(s, "a", 1, nullptr), VX_ERR_IO);
    EXPECT_EQ(vx_storage_append(s, "a", 1), -1);
    vx_storage_stats st;
    ASSERT_EQ(vx_storage_get_stats(s, &st), VX_OK);
    EXPECT_EQ(st.used_bytes, 0u);
    ASSERT_EQ(vx_storage_destroy(s), VX_OK);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(StorageFile, HandleInCallerArena) {
    TempDir dir;
    vx_arena *arena = nullptr;
    ASSERT_EQ(vx_arena_create(0, &arena), VX_OK);
    vx_storage *s = vx_storage_open(arena, dir.file("s").c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vx_storage_append(s, "abc", 3), 195);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    vx_arena_destroy(arena);
}

TEST(StorageRecords, ConveniencesDoNotGrowTheHandleArena) {
    TempDir dir;
    vx_arena *arena = nullptr;
    ASSERT_EQ(vx_arena_create(0, &arena), VX_OK);
    vx_storage *s = vx_storage_open(arena, dir.file("s").c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    uint64_t before = vx_arena_get_used_size(arena);
    std::vector<float> v(256, 1.0f), back(256);
    uint64_t id = 0;
    for (int i = 0; i < 200; i++) {
        uint64_t cursor = 192;
        ASSERT_EQ(vx_storage_write_vector(s, 7, v.data(), 256, &cursor), VX_OK);
        ASSERT_EQ(vx_storage_read_vector(s, 192, &id, back.data(), 256), VX_OK);
        ASSERT_EQ(vx_storage_write_f32_array(s, v.data(), 256, nullptr), VX_OK);
        ASSERT_EQ(vx_storage_read_f32_array(s, 204, back.data(), 256), VX_OK);
        ASSERT_GT(vx_storage_alloc_block(s, 1024), 0);
    }
    EXPECT_EQ(vx_arena_get_used_size(arena), before);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    vx_arena_destroy(arena);
}

TEST(StorageRecords, VectorRecordLayoutAndDimensionCheck) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    const float v[3] = {1.5f, -2.0f, 3.25f};
    uint64_t cursor = 192;
    ASSERT_EQ(vx_storage_write_vector(s, 0x1122334455667788ull, v, 3, &cursor), VX_OK);
    EXPECT_EQ(cursor, 192u + 24u);
    EXPECT_EQ(vx_storage_write_vector(s, 1, v, 0, &cursor), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_storage_write_vector(s, 1, nullptr, 3, &cursor), VX_ERR_INVALID_ARG);
    uint64_t id = 0;
    float out[4] = {9, 9, 9, 9};
    EXPECT_EQ(vx_storage_read_vector(s, 192, &id, out, 4), VX_ERR_INVALID_ARG);
    EXPECT_EQ(id, 0x1122334455667788ull);
    id = 0;
    ASSERT_EQ(vx_storage_read_vector(s, 192, &id, out, 3), VX_OK);
    EXPECT_EQ(id, 0x1122334455667788ull);
    EXPECT_EQ(memcmp(out, v, sizeof(v)), 0);
    EXPECT_EQ(out[3], 9.0f);
    EXPECT_EQ(vx_storage_read_vector(s, 210, &id, out, 3), VX_ERR_UNKNOWN);  // head runs off the end
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    ASSERT_EQ(f.size(), 216u);
    EXPECT_EQ(get_u64(f.data() + 192), 0x1122334455667788ull);
    EXPECT_EQ(get_u32(f.data() + 200), 3u);
    EXPECT_EQ(get_f32(f.data() + 204), 1.5f);
    EXPECT_EQ(get_f32(f.data() + 212), 3.25f);
}

TEST(StorageBlocks, BlocksAndIteratorOnFileStore) {
    TempDir dir;
    vx_storage *s = vx_storage_open(nullptr, dir.file("s").c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vx_storage_alloc_block(s, 8), 192 + 32 + 8);
    EXPECT_EQ(vx_storage_alloc_block(s, 0), 192 + 32 + 8 + 32);
    vx_block_header h;
    ASSERT_EQ(vx_storage_get_block_info(s, 232, &h), VX_OK);
    EXPECT_EQ(h.block_id, 1u);
    EXPECT_EQ(h.size, 0u);
    EXPECT_EQ(vx_storage_get_block_info(s, 260, &h), VX_ERR_UNKNOWN);
    EXPECT_EQ(vx_storage_free_block(s, 192), VX_OK);
    EXPECT_EQ(vx_storage_compact(s), VX_OK);
    vx_storage_stats st;
    ASSERT_EQ(vx_storage_get_stats(s, &st), VX_OK);
    EXPECT_EQ(st.block_count, 2u);
    EXPECT_EQ(st.used_bytes, 72u);
    EXPECT_EQ(st.total_bytes, 0u);

    vx_storage_iterator *it = vx_storage_iterator_create(s);
    ASSERT_NE(it, nullptr);
    std::vector<uint64_t> ids;
    uint8_t data[16];
    while (vx_storage_iterator_next(it)) {
        ids.push_back(it->current.block_id);
        uint64_t n = vx_storage_iterator_get_data(it, data, sizeof(data));
        EXPECT_EQ(n, it->current.size);
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(vx_storage_iterator_next(it), 0);
    vx_storage_iterator_destroy(it);
    EXPECT_EQ(vx_storage_iterator_next(nullptr), 0);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageBlocks, MemoryStoreIteratesFromZero) {
    vx_storage *s = memory_store(64);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vx_storage_alloc_block(s, 5), 37);
    EXPECT_EQ(vx_storage_alloc_block(s, 3), 72);
    vx_storage_iterator *it = vx_storage_iterator_create(s);
    int n = 0;
    while (vx_storage_iterator_next(it)) {
        EXPECT_EQ(it->current.block_id, (uint64_t)n);
        n++;
    }
    EXPECT_EQ(n, 2);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageBlocks, HostileBlockSizesEndIteration) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    ASSERT_GT(vx_storage_alloc_block(s, 4), 0);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    put_u32(f.data() + 192 + 8, 0xFFFFFFFFu);  // block claims 4 GiB
    put_u64(f.data() + 32, UINT64_MAX);        // header claims endless data
    spit(path, f);
    s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_READ);
    ASSERT_NE(s, nullptr);
    vx_storage_iterator *it = vx_storage_iterator_create(s);
    int n = 0;
    uint8_t buf[64];
    while (vx_storage_iterator_next(it) && n < 10) {
        EXPECT_LE(vx_storage_iterator_get_data(it, buf, sizeof(buf)), 4u);
        n++;
    }
    EXPECT_EQ(n, 1);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageMapped, GrowsPersistsAndReopens) {
    TempDir dir;
    std::string path = dir.file("m");
    vx_storage *s = mapped_store(path, VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> chunk(1000);
    for (size_t i = 0; i < chunk.size(); i++) chunk[i] = (uint8_t)(i * 7);
    uint64_t cursor = 0;
    ASSERT_EQ(vx_storage_write(s, chunk.data(), chunk.size(), &cursor), VX_OK);
    EXPECT_EQ(cursor, 1192u);  // appended after the header
    EXPECT_EQ(vx_storage_append(s, chunk.data(), chunk.size()), 2192);
    std::vector<uint8_t> back(1000);
    ASSERT_EQ(vx_storage_read(s, 1192, back.data(), 1000), 1000);
    EXPECT_EQ(back, chunk);
    EXPECT_EQ(vx_storage_read(s, 1193, back.data(), 1000), -1);
    ASSERT_EQ(vx_storage_sync(s), VX_OK);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    EXPECT_EQ(get_u64(f.data() + 32), 2000u);

    // Reopened mapped, the data is found and appends continue behind it.
    s = mapped_store(path, VX_OPEN_READWRITE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(vx_storage_read(s, 192, back.data(), 1000), 1000);
    EXPECT_EQ(back, chunk);
    EXPECT_EQ(vx_storage_append(s, "z", 1), 2193);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageMapped, HeaderClaimingMoreThanTheFileIsClamped) {
    TempDir dir;
    std::string path = dir.file("m");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(vx_storage_append(s, "abcd", 4), 196);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    put_u64(f.data() + 32, 1ull << 40);
    spit(path, f);
    s = mapped_store(path, VX_OPEN_READWRITE);
    ASSERT_NE(s, nullptr);
    uint8_t buf[8];
    EXPECT_EQ(vx_storage_read(s, 192, buf, 4), 4);
    EXPECT_EQ(vx_storage_read(s, 192, buf, 8), -1);
    EXPECT_EQ(vx_storage_read(s, 1ull << 39, buf, 8), -1);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
}

TEST(StorageTyped, LittleEndianScalarsAndCursor) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    uint64_t cursor = 192;
    ASSERT_EQ(vx_storage_write_u32(s, 0x01020304u, &cursor), VX_OK);
    EXPECT_EQ(cursor, 196u);
    cursor = 8;
    ASSERT_EQ(vx_storage_write_u64(s, 0x1122334455667788ull, &cursor), VX_OK);
    EXPECT_EQ(cursor, 16u);
    cursor = 196;
    ASSERT_EQ(vx_storage_write_f32(s, -0.5f, &cursor), VX_OK);
    uint32_t u = 0;
    uint64_t w = 0;
    float x = 0;
    ASSERT_EQ(vx_storage_read_u32(s, 192, &u), VX_OK);
    EXPECT_EQ(u, 0x01020304u);
    ASSERT_EQ(vx_storage_read_u64(s, 8, &w), VX_OK);
    EXPECT_EQ(w, 0x1122334455667788ull);
    ASSERT_EQ(vx_storage_read_f32(s, 196, &x), VX_OK);
    EXPECT_EQ(x, -0.5f);
    u = 77;
    EXPECT_EQ(vx_storage_read_u32(s, 198, &u), VX_ERR_UNKNOWN);  // last 2 bytes
    EXPECT_EQ(u, 77u);
    EXPECT_EQ(vx_storage_read_u64(s, 196, &w), VX_ERR_UNKNOWN);
    EXPECT_EQ(vx_storage_read_u32(s, 0, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_storage_write_u32(nullptr, 1, nullptr), VX_ERR_INVALID_ARG);
    std::vector<uint8_t> f = slurp(path);  // before close rewrites the header
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    const uint8_t le[4] = {4, 3, 2, 1};
    EXPECT_EQ(memcmp(f.data() + 192, le, 4), 0);
    EXPECT_EQ(f[8], 0x88);
    EXPECT_EQ(f[15], 0x11);
}

TEST(StorageTyped, FloatArraysAndHostileCounts) {
    TempDir dir;
    vx_storage *s = vx_storage_open(nullptr, dir.file("s").c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    const float v[5] = {1, 2, 3, 4, 5};
    uint64_t cursor = 192;
    EXPECT_EQ(vx_storage_write_f32_array(s, v, 0, &cursor), VX_ERR_INVALID_ARG);
    EXPECT_EQ(cursor, 192u);
    ASSERT_EQ(vx_storage_write_f32_array(s, v, 5, &cursor), VX_OK);
    EXPECT_EQ(cursor, 212u);
    float out[6] = {0, 0, 0, 0, 0, 42};
    ASSERT_EQ(vx_storage_read_f32_array(s, 192, out, 5), VX_OK);
    EXPECT_EQ(memcmp(out, v, sizeof(v)), 0);
    float untouched[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(vx_storage_read_f32_array(s, 192, untouched, 6), VX_ERR_UNKNOWN);
    EXPECT_EQ(untouched[0], 9.0f);
    // A count far beyond the file neither allocates nor reads.
    EXPECT_EQ(vx_storage_read_f32_array(s, 192, untouched, 1ull << 60), VX_ERR_UNKNOWN);
    EXPECT_EQ(vx_storage_read_f32_array(s, 192, untouched, UINT64_MAX), VX_ERR_INVALID_ARG);
    ASSERT_EQ(vx_storage_close(s), VX_OK);

    vx_storage *m = memory_store(64);
    ASSERT_EQ(vx_storage_write_f32_array(m, v, 5, nullptr), VX_OK);
    EXPECT_EQ(vx_storage_read_f32_array(m, 4, out, 5), VX_ERR_UNKNOWN);
    ASSERT_EQ(vx_storage_read_f32_array(m, 4, out, 4), VX_OK);
    EXPECT_EQ(out[0], 2.0f);
    ASSERT_EQ(vx_storage_close(m), VX_OK);
}

TEST(StorageHeaders, FileHeaderRecordBytes) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    vx_file_header h;
    memset(&h, 0, sizeof(h));
    h.magic = 0x56585644u;
    h.version = 1u << 16;
    h.created_time = 11;
    h.modified_time = 22;
    h.data_offset = 192;
    h.data_bytes = 33;
    h.reserved3 = 0xAABBCCDD;
    for (int i = 0; i < 120; i++) h.reserved[i] = (uint8_t)i;
    ASSERT_EQ(vx_storage_write_header(s, &h), VX_OK);
    vx_file_header back;
    ASSERT_EQ(vx_storage_read_header(s, &back), VX_OK);
    EXPECT_EQ(memcmp(&back, &h, sizeof(h)), 0);
    // Close rewrites its own header image over the record: check bytes first.
    std::vector<uint8_t> f = slurp(path);
    ASSERT_GE(f.size(), 188u);
    EXPECT_EQ(get_u32(f.data() + 4), 0x10000u);
    EXPECT_EQ(get_u64(f.data() + 32), 33u);
    EXPECT_EQ(get_u32(f.data() + 56), 0xAABBCCDDu);
    EXPECT_EQ(f[64 + 119], 119);
    const uint8_t trailer[4] = {1, 0, 0, 0};
    EXPECT_EQ(memcmp(f.data() + 184, trailer, 4), 0);
    ASSERT_EQ(vx_storage_close(s), VX_OK);

    // Wrong magic and short files.
    std::vector<uint8_t> bad(f);
    bad.resize(200);
    bad[0] = 'X';
    std::string other = dir.file("bad");
    spit(other, bad);
    vx_storage *m = memory_store(256);
    ASSERT_EQ(vx_storage_write(m, bad.data(), 200, nullptr), VX_OK);
    EXPECT_EQ(vx_storage_read_header(m, &back), VX_ERR_FILE_CORRUPTED);
    EXPECT_EQ(back.magic, get_u32(bad.data()));
    ASSERT_EQ(vx_storage_close(m), VX_OK);
    m = memory_store(256);
    ASSERT_EQ(vx_storage_write(m, f.data(), 183, nullptr), VX_OK);
    EXPECT_EQ(vx_storage_read_header(m, &back), VX_ERR_UNKNOWN);
    ASSERT_EQ(vx_storage_close(m), VX_OK);
}

TEST(StorageHeaders, CollectionHeaderAtCursorRoundTrips) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    vx_collection_header h;
    memset(&h, 0, sizeof(h));
    h.magic = 0x5658434F;
    h.version = 0x00010000;
    h.created_time = 1000;
    h.saved_time = 2000;
    strcpy(h.name, "vectors");
    h.dimension = 4;
    h.metric = 2;
    h.index_type = -1;
    h.record_count = 3;
    h.next_id = 4;
    h.M = 16;
    h.nprobe = 7;
    h.data_offset = 384;
    h.data_size = 144;
    h.index_threshold = 1000;
    h.checksum = 0xDEADBEEF;
    uint64_t cursor = 192;
    ASSERT_EQ(vx_storage_write_collection_header(s, &h, &cursor), VX_OK);
    EXPECT_EQ(cursor, 384u);
    vx_collection_header back;
    ASSERT_EQ(vx_storage_read_collection_header(s, 192, &back), VX_OK);
    EXPECT_EQ(memcmp(&back, &h, sizeof(h)), 0);
    EXPECT_EQ(vx_storage_read_collection_header(s, 193, &back), VX_ERR_UNKNOWN);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    std::vector<uint8_t> f = slurp(path);
    ASSERT_EQ(f.size(), 384u);
    // The packed image equals the stored bytes.
    uint8_t raw[192];
    collection_header_encode(&h, raw);
    EXPECT_EQ(memcmp(f.data() + 192, raw, 192), 0);
    EXPECT_EQ(memcmp(f.data() + 192, &h, 192), 0);
    EXPECT_EQ(memcmp(f.data() + 192, "OCXV", 4), 0);
    EXPECT_EQ(get_u32(f.data() + 192 + 96), 0xFFFFFFFFu);
    EXPECT_EQ(get_u64(f.data() + 192 + 132), 384u);
    EXPECT_EQ(get_u32(f.data() + 192 + 184), 0xDEADBEEFu);
}

TEST(StorageConcurrency, SharedHandleAppendsAndBlocks) {
    TempDir dir;
    std::string path = dir.file("s");
    vx_storage *s = vx_storage_open(nullptr, path.c_str(), VX_OPEN_TRUNCATE);
    ASSERT_NE(s, nullptr);
    const int threads = 4, per = 200;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([s, t] {
            uint8_t payload[16];
            memset(payload, t, sizeof(payload));
            for (int i = 0; i < per; i++) {
                if (i % 2) EXPECT_GT(vx_storage_alloc_block(s, sizeof(payload)), 0);
                else EXPECT_GT(vx_storage_append(s, payload, sizeof(payload)), 0);
                uint8_t back[4];
                vx_storage_read(s, 192, back, sizeof(back));
            }
        });
    }
    for (auto &th : pool) th.join();
    vx_storage_stats st;
    ASSERT_EQ(vx_storage_get_stats(s, &st), VX_OK);
    EXPECT_EQ(st.block_count, (uint64_t)threads * per / 2);
    EXPECT_EQ(st.used_bytes, (uint64_t)threads * per / 2 * 16 + (uint64_t)threads * per / 2 * 48);
    ASSERT_EQ(vx_storage_close(s), VX_OK);
    EXPECT_EQ(slurp(path).size(), 192u + st.used_bytes);
}
