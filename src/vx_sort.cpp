// The library's own array sorting: an in-place quicksort with an insertion
// finish for small partitions, and a stable insertion sort.
#include "vexal.h"

#include <string.h>

namespace {

// Partitions of at most this many elements are finished by insertion.
const uint64_t INSERTION_CUTOFF = 16;

// Exchanges two elements of any size in place, word by word where it can; no
// element-sized buffer is needed.
struct swap_any {
    uint64_t size;
    void operator()(unsigned char *a, unsigned char *b) const {
        uint64_t i = 0;
        for (; i + 8 <= size; i += 8) {
            uint64_t x, y;
            memcpy(&x, a + i, 8);
            memcpy(&y, b + i, 8);
            memcpy(a + i, &y, 8);
            memcpy(b + i, &x, 8);
        }
        for (; i < size; i++) {
            unsigned char t = a[i];
            a[i] = b[i];
            b[i] = t;
        }
    }
};

// The same for the common element sizes known at compile time (search
// results are 16 bytes), so the exchange compiles to a few moves.
template <uint64_t SIZE>
struct swap_fixed {
    void operator()(unsigned char *a, unsigned char *b) const {
        unsigned char t[SIZE];
        memcpy(t, a, SIZE);
        memcpy(a, b, SIZE);
        memcpy(b, t, SIZE);
    }
};

// Calls a comparator that takes the caller's argument.
struct compar_with_arg {
    vx_compare_fn compar;
    void *arg;
    int32_t operator()(const void *a, const void *b) const { return compar(a, b, arg); }
};

// Adapts a two-argument comparator to the sort's calling form.
struct wrap_compar_simple {
    vx_compare_simple_fn compar;
    int32_t operator()(const void *a, const void *b) const { return compar(a, b); }
};

template <class Cmp, class Swap>
void insertion_finish(unsigned char *base, uint64_t n, uint64_t size, const Cmp &cmp, const Swap &swap) {
    for (uint64_t i = 1; i < n; i++) {
        for (uint64_t k = i; k >= 1; k--) {
            unsigned char *prev = base + (k - 1) * size;
            unsigned char *cur = prev + size;
            if (cmp(prev, cur) <= 0) break;
            swap(prev, cur);
        }
    }
}

// Moves the middle element to the end as pivot, partitions in one forward
// pass (elements equal to the pivot stay right) and returns the pivot's
// final index.
template <class Cmp, class Swap>
uint64_t partition(unsigned char *base, uint64_t n, uint64_t size, const Cmp &cmp, const Swap &swap) {
    unsigned char *last = base + (n - 1) * size;
    swap(base + (n / 2) * size, last);
    uint64_t j = 0;
    for (uint64_t i = 0; i + 1 < n; i++) {
        unsigned char *ei = base + i * size;
        if (cmp(ei, last) < 0) {
            if (i != j) swap(ei, base + j * size);
            j++;
        }
    }
    if (j != n - 1) swap(base + j * size, last);
    return j;
}

// The two parts left by a partition are disjoint and each is sorted by the
// same deterministic steps whichever is handled first, so recursing into the
// smaller one and looping on the larger gives the same array while keeping
// the stack depth logarithmic on any input.
template <class Cmp, class Swap>
void quick_sort(unsigned char *base, uint64_t n, uint64_t size, const Cmp &cmp, const Swap &swap) {
    while (n > INSERTION_CUTOFF) {
        uint64_t j = partition(base, n, size, cmp, swap);
        uint64_t left_n = j;
        unsigned char *right = base + (j + 1) * size;
        uint64_t right_n = n - j - 1;
        if (left_n <= right_n) {
            if (left_n > 1) quick_sort(base, left_n, size, cmp, swap);
            base = right;
            n = right_n;
        } else {
            if (right_n > 1) quick_sort(right, right_n, size, cmp, swap);
            n = left_n;
        }
        if (n <= 1) return;
    }
    insertion_finish(base, n, size, cmp, swap);
}

template <class Cmp>
void sort_any_size(void *base, uint64_t n, uint64_t size, const Cmp &cmp) {
    unsigned char *b = static_cast<unsigned char *>(base);
    switch (size) {
    case 4: quick_sort(b, n, size, cmp, swap_fixed<4>()); break;
    case 8: quick_sort(b, n, size, cmp, swap_fixed<8>()); break;
    case 16: quick_sort(b, n, size, cmp, swap_fixed<16>()); break;
    default: quick_sort(b, n, size, cmp, swap_any{size}); break;
    }
}

}  // namespace

extern "C" VX_API void vx_qsort(void *base, uint64_t n, uint64_t size,
                                vx_compare_fn compar, void *arg) {
    if (!base || n == 0 || size == 0 || !compar) return;
    sort_any_size(base, n, size, compar_with_arg{compar, arg});
}

extern "C" VX_API void vx_qsort_simple(void *base, uint64_t n, uint64_t size,
                                       vx_compare_simple_fn compar) {
    if (!base || n <= 1 || size == 0 || !compar) return;
    sort_any_size(base, n, size, wrap_compar_simple{compar});
}

extern "C" VX_API void vx_insertion_sort(void *base, uint64_t n, uint64_t size,
                                         vx_compare_fn compar,
                                         void *arg) {
    if (!base || n <= 1 || size == 0 || !compar) return;
    unsigned char *held = static_cast<unsigned char *>(vx_malloc(size));
    if (!held) return;
    unsigned char *b = static_cast<unsigned char *>(base);
    for (uint64_t i = 1; i < n; i++) {
        vx_memcpy(held, b + i * size, size);
        uint64_t k = i;
        while (k > 0 && compar(b + (k - 1) * size, held, arg) > 0) {
            vx_memcpy(b + k * size, b + (k - 1) * size, size);
            k--;
        }
        vx_memcpy(b + k * size, held, size);
    }
    vx_free(held);
}
