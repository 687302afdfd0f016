// Sorting: exact element placement of the quicksort (checked against a
// literal step-by-step model), stability of the insertion sort, whole-record
// moves, argument checks and stack depth on adversarial input.
#include "vexal.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

struct Rec {
    int32_t key;
    int32_t tag;  // original position, to observe where equal keys end up
};

int32_t rec_cmp(const void *a, const void *b) {
    int32_t x = static_cast<const Rec *>(a)->key, y = static_cast<const Rec *>(b)->key;
    return x < y ? -1 : x > y ? 1 : 0;
}
int32_t rec_cmp_arg(const void *a, const void *b, void *arg) {
    if (arg) ++*static_cast<uint64_t *>(arg);
    return rec_cmp(a, b);
}

// The quicksort exactly as the sorting module documents it: middle pivot
// moved last, one forward partition pass, recurse left, iterate right,
// insertion by adjacent exchanges at 16 elements or fewer.
void model_sort(Rec *a, uint64_t n) {
    if (n <= 1) return;
    while (n > 16) {
        std::swap(a[n / 2], a[n - 1]);
        uint64_t j = 0;
        for (uint64_t i = 0; i + 1 < n; i++)
            if (rec_cmp(&a[i], &a[n - 1]) < 0) std::swap(a[i], a[j++]);
        std::swap(a[j], a[n - 1]);
        if (j > 0) model_sort(a, j);
        if (n - j - 1 <= 1) return;
        a += j + 1;
        n -= j + 1;
    }
    for (uint64_t i = 1; i < n; i++)
        for (uint64_t k = i; k >= 1 && rec_cmp(&a[k - 1], &a[k]) > 0; k--) std::swap(a[k - 1], a[k]);
}

std::vector<Rec> random_recs(std::mt19937 &rng, size_t n, int key_range) {
    std::vector<Rec> v(n);
    for (size_t i = 0; i < n; i++) v[i] = {int32_t(rng() % key_range), int32_t(i)};
    return v;
}

bool same(const std::vector<Rec> &a, const std::vector<Rec> &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](const Rec &x, const Rec &y) { return x.key == y.key && x.tag == y.tag; });
}

std::vector<int32_t> tags(const std::vector<Rec> &v) {
    std::vector<int32_t> t;
    for (auto &r : v) t.push_back(r.tag);
    return t;
}

}  // namespace

TEST(Sort, QuicksortPlacesEqualKeysExactlyAsDocumented) {
    // 16 equal elements go straight to insertion, which never moves equal keys.
    std::vector<Rec> v16(16);
    for (int i = 0; i < 16; i++) v16[i] = {7, i};
    vx_qsort_simple(v16.data(), v16.size(), sizeof(Rec), rec_cmp);
    std::vector<int32_t> expect16(16);
    std::iota(expect16.begin(), expect16.end(), 0);
    EXPECT_EQ(tags(v16), expect16);

    // 17 equal elements take one partition step: the middle element becomes the
    // pivot, lands at position 0, and the original first element ends last.
    std::vector<Rec> v17(17);
    for (int i = 0; i < 17; i++) v17[i] = {7, i};
    vx_qsort(v17.data(), v17.size(), sizeof(Rec), rec_cmp_arg, nullptr);
    std::vector<int32_t> expect17 = {8, 1, 2, 3, 4, 5, 6, 7, 16, 9, 10, 11, 12, 13, 14, 15, 0};
    EXPECT_EQ(tags(v17), expect17);
}

TEST(Sort, QuicksortMatchesModelOnRandomAndStructuredInput) {
    std::mt19937 rng(42);
    for (size_t n = 0; n <= 300; n++) {
        for (int range : {2, 10, 1000}) {
            auto input = random_recs(rng, n, range);
            auto got = input, got_simple = input, want = input;
            model_sort(want.data(), want.size());
            vx_qsort(got.data(), got.size(), sizeof(Rec), rec_cmp_arg, nullptr);
            vx_qsort_simple(got_simple.data(), got_simple.size(), sizeof(Rec), rec_cmp);
            ASSERT_TRUE(same(got, want)) << "n=" << n << " range=" << range;
            ASSERT_TRUE(same(got_simple, want)) << "n=" << n << " range=" << range;
            ASSERT_TRUE(std::is_sorted(got.begin(), got.end(),
                                       [](const Rec &a, const Rec &b) { return a.key < b.key; }));
        }
    }
    // Already sorted, reversed and organ-pipe arrays of 1000.
    std::vector<Rec> sorted(1000), reversed(1000), pipe(1000);
    for (int i = 0; i < 1000; i++) {
        sorted[i] = {i, i};
        reversed[i] = {999 - i, i};
        pipe[i] = {i < 500 ? i : 999 - i, i};
    }
    for (auto *v : {&sorted, &reversed, &pipe}) {
        auto want = *v;
        model_sort(want.data(), want.size());
        vx_qsort_simple(v->data(), v->size(), sizeof(Rec), rec_cmp);
        EXPECT_TRUE(same(*v, want));
    }
    for (int i = 0; i < 1000; i++) EXPECT_EQ(sorted[i].key, i);
}

namespace {
struct Wide {
    float key;
    char payload[36];  // 40-byte record: not a multiple of 8
};
int32_t wide_cmp(const void *a, const void *b) {
    float x = static_cast<const Wide *>(a)->key, y = static_cast<const Wide *>(b)->key;
    return x < y ? -1 : x > y ? 1 : 0;
}
int32_t wide_cmp_arg(const void *a, const void *b, void *) { return wide_cmp(a, b); }
}  // namespace

TEST(Sort, WideRecordsMoveWhole) {
    std::mt19937 rng(7);
    for (size_t n : {5u, 17u, 100u, 1000u}) {
        std::vector<Wide> v(n);
        for (size_t i = 0; i < n; i++) {
            v[i].key = float(rng() % 50) * 0.5f;
            for (int c = 0; c < 36; c++) v[i].payload[c] = char(i * 31 + c);
        }
        auto check = [&](const std::vector<Wide> &s) {
            for (size_t i = 0; i < n; i++) {
                if (i) { ASSERT_LE(s[i - 1].key, s[i].key); }
                // The payload still belongs to a record whose key it was made with.
                int c0 = (unsigned char)s[i].payload[0];
                for (int c = 1; c < 36; c++) ASSERT_EQ((unsigned char)s[i].payload[c], (unsigned char)(c0 + c));
            }
        };
        auto q = v, ins = v;
        vx_qsort_simple(q.data(), n, sizeof(Wide), wide_cmp);
        check(q);
        vx_insertion_sort(ins.data(), n, sizeof(Wide), wide_cmp_arg, nullptr);
        check(ins);
        auto stable = v;
        std::stable_sort(stable.begin(), stable.end(), [](const Wide &a, const Wide &b) { return a.key < b.key; });
        EXPECT_EQ(0, memcmp(stable.data(), ins.data(), n * sizeof(Wide)));
    }
}

TEST(Sort, InsertionSortIsStable) {
    std::mt19937 rng(3);
    for (size_t n : {0u, 1u, 2u, 3u, 20u, 257u}) {
        auto v = random_recs(rng, n, 4);
        auto want = v;
        std::stable_sort(want.begin(), want.end(), [](const Rec &a, const Rec &b) { return a.key < b.key; });
        uint64_t calls = 0;
        vx_insertion_sort(v.data(), v.size(), sizeof(Rec), rec_cmp_arg, &calls);
        EXPECT_TRUE(same(v, want)) << n;
    }
}

TEST(Sort, InvalidArgumentsLeaveArrayUntouched) {
    Rec a[3] = {{3, 0}, {1, 1}, {2, 2}};
    uint64_t calls = 0;
    vx_qsort(nullptr, 3, sizeof(Rec), rec_cmp_arg, &calls);
    vx_qsort(a, 0, sizeof(Rec), rec_cmp_arg, &calls);
    vx_qsort(a, 3, 0, rec_cmp_arg, &calls);
    vx_qsort(a, 3, sizeof(Rec), nullptr, &calls);
    vx_qsort(a, 1, sizeof(Rec), rec_cmp_arg, &calls);
    vx_insertion_sort(a, 1, sizeof(Rec), rec_cmp_arg, &calls);
    vx_insertion_sort(a, 3, 0, rec_cmp_arg, &calls);
    vx_qsort_simple(a, 1, sizeof(Rec), rec_cmp);
    vx_qsort_simple(a, 3, sizeof(Rec), nullptr);
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(a[0].key, 3);
    EXPECT_EQ(a[1].key, 1);
    EXPECT_EQ(a[2].key, 2);
}

namespace {
void *failing_alloc(uint64_t, void *) { return nullptr; }
}  // namespace

TEST(Sort, InsertionSortWithoutBufferLeavesArrayUnchanged) {
    vx_allocator saved = *vx_get_allocator();
    vx_allocator failing = saved;
    failing.alloc = failing_alloc;
    ASSERT_EQ(vx_set_allocator(&failing), VX_OK);
    Rec a[3] = {{3, 0}, {1, 1}, {2, 2}};
    vx_insertion_sort(a, 3, sizeof(Rec), rec_cmp_arg, nullptr);
    ASSERT_EQ(vx_set_allocator(&saved), VX_OK);
    EXPECT_EQ(a[0].key, 3);
    EXPECT_EQ(a[1].key, 1);
    EXPECT_EQ(a[2].key, 2);
}

namespace {
// An input on which every partition picks the largest element as pivot, so
// the left part is always all but one element: the recursion must not follow
// that part element by element.
std::vector<Rec> left_heavy_input(uint64_t n) {
    std::vector<uint64_t> label(n);
    std::iota(label.begin(), label.end(), 0);
    std::vector<int32_t> value(n, 0);
    for (uint64_t m = n; m > 16; m--) {
        std::swap(label[m / 2], label[m - 1]);
        value[label[m - 1]] = int32_t(m - 1);  // the pivot is the maximum of what is left
    }
    for (uint64_t i = 0; i < std::min<uint64_t>(n, 16); i++) value[label[i]] = int32_t(i);
    std::vector<Rec> v(n);
    for (uint64_t i = 0; i < n; i++) v[i] = {value[i], int32_t(i)};
    return v;
}

void *sort_on_small_stack(void *p) {
    auto *v = static_cast<std::vector<Rec> *>(p);
    vx_qsort_simple(v->data(), v->size(), sizeof(Rec), rec_cmp);
    return nullptr;
}
}  // namespace

TEST(Sort, AdversarialInputStaysWithinASmallStack) {
    const uint64_t n = 8000;
    auto v = left_heavy_input(n);
    auto want = v;
    model_sort(want.data(), want.size());  // the model recurses n deep: run it on the main stack

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, &attr, sort_on_small_stack, &v), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(same(v, want));
    for (uint64_t i = 0; i < n; i++) ASSERT_EQ(v[i].key, int32_t(i));
}
