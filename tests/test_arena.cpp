// Arena block accounting and allocation rules.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include "vexal.h"

namespace {
struct Arena {
    vx_arena *a = nullptr;
    explicit Arena(uint64_t block) { EXPECT_EQ(vx_arena_create(block, &a), VX_OK); }
    ~Arena() { vx_arena_destroy(a); }
};
uint64_t total_of(const vx_arena *a) {
    uint64_t used = 0, total = 0;
    vx_arena_stat(a, &used, &total);
    return total;
}
}  // namespace

TEST(Arena, CreationSizes) {
    EXPECT_EQ(vx_arena_create(0, nullptr), VX_ERR_INVALID_ARG);
    Arena def(0);
    EXPECT_EQ(total_of(def.a), 4194304u);
    EXPECT_EQ(vx_arena_get_block_count(def.a), 1u);
    Arena small(1000);
    EXPECT_EQ(total_of(small.a), 65536u);
    EXPECT_STREQ(vx_arena_get_name(small.a), "(unnamed)");
    EXPECT_STREQ(vx_arena_get_name(nullptr), "(unnamed)");
}

TEST(Arena, AllocationsAreRoundedAndAligned) {
    Arena ar(65536);
    char *p1 = static_cast<char *>(vx_arena_alloc(ar.a, 1));
    char *p2 = static_cast<char *>(vx_arena_alloc(ar.a, 1));
    EXPECT_EQ(p2 - p1, 8);
    EXPECT_EQ((uintptr_t)p1 % 8, 0u);
    EXPECT_EQ(vx_arena_get_used_size(ar.a), 16u);
    EXPECT_EQ(vx_arena_alloc(ar.a, 0), nullptr);
    EXPECT_EQ(vx_arena_alloc(nullptr, 8), nullptr);
    EXPECT_EQ(vx_arena_alloc(ar.a, UINT64_MAX), nullptr);
    EXPECT_EQ(vx_arena_get_used_size(ar.a), 16u);
}

TEST(Arena, OversizedAllocationGetsItsOwnBlockAndResetKeepsTheFirst) {
    Arena ar(65536);
    ASSERT_NE(vx_arena_alloc(ar.a, 70000), nullptr);
    EXPECT_EQ(vx_arena_get_block_count(ar.a), 2u);
    uint64_t used = 0, total = 0;
    vx_arena_stat(ar.a, &used, &total);
    EXPECT_EQ(total, 135536u);
    EXPECT_EQ(used, 70000u);
    // The next small allocation does not fit the oversized block's rest.
    ASSERT_NE(vx_arena_alloc(ar.a, 8), nullptr);
    EXPECT_EQ(vx_arena_get_block_count(ar.a), 3u);
    vx_arena_reset(ar.a);
    EXPECT_EQ(vx_arena_get_block_count(ar.a), 1u);
    vx_arena_stat(ar.a, &used, &total);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(total, 65536u);
    vx_arena_reset(nullptr);
}

TEST(Arena, CallocMemdupStrdup) {
    Arena ar(0);
    EXPECT_EQ(vx_arena_calloc(ar.a, 1ull << 33, 1ull << 31), nullptr);
    EXPECT_EQ(vx_arena_calloc(ar.a, 0, 4), nullptr);
    EXPECT_EQ(vx_arena_calloc(ar.a, 4, 0), nullptr);
    int *z = static_cast<int *>(vx_arena_calloc(ar.a, 100, sizeof(int)));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 100; i++) EXPECT_EQ(z[i], 0);
    const char text[] = "vexal";
    char *d = static_cast<char *>(vx_arena_memdup(ar.a, text, 6));
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "vexal");
    EXPECT_EQ(vx_arena_memdup(ar.a, nullptr, 4), nullptr);
    EXPECT_EQ(vx_arena_memdup(ar.a, text, 0), nullptr);
    char *s = vx_arena_strdup(ar.a, "hello");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "hello");
    EXPECT_EQ(vx_arena_strdup(ar.a, nullptr), nullptr);
    EXPECT_EQ(vx_arena_strdup(nullptr, "x"), nullptr);
}

TEST(Arena, NullQueries) {
    uint64_t used = 1, total = 1;
    vx_arena_stat(nullptr, &used, &total);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(total, 0u);
    vx_arena_stat(nullptr, nullptr, nullptr);
    EXPECT_EQ(vx_arena_get_used_size(nullptr), 0u);
    EXPECT_EQ(vx_arena_get_block_count(nullptr), 0u);
    vx_arena_destroy(nullptr);
}
