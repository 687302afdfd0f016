// The library's own array sorting: an in-place quicksort with an insertion
// finish for small partitions, and a stable insertion sort.
#include "vexal.h"

#include <string.h>

namespace {

// Partitions of at most this many elements are finished by insertion.
const uint64_t INSERTION_CUTOFF = 16;

// Exchanges two elements of `size` bytes in place, word by word where it can;
// no element-sized buffer is needed.
inline void swap_elements(unsigned char *a, unsigned char *b, uint64_t size) {
    if (a == b) return;
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

struct simple_compar_holder {
    int32_t (*compar)(const void *, const void *);
};

// Adapts a two-argument comparator to the three-argument form.
int32_t wrap_compar_simple(const void *a, const void *b, void *arg) {
    return static_cast<simple_compar_holder *>(arg)->compar(a, b);
}

void insertion_finish(unsigned char *base, uint64_t n, uint64_t size,
                      vx_compare_fn compar, void *arg) {
    for (uint64_t i = 1; i < n; i++) {
        for (uint64_t k = i; k >= 1; k--) {
            unsigned char *prev = base + (k - 1) * size;
            unsigned char *cur = prev + size;
            if (compar(prev, cur, arg) <= 0) break;
            swap_elements(prev, cur, size);
        }
    }
}

// Moves the middle element to the end as pivot, partitions in one forward
// pass (elements equal to the pivot stay right) and returns the pivot's
// final index.
uint64_t partition(unsigned char *base, uint64_t n, uint64_t size,
                   vx_compare_fn compar, void *arg) {
    unsigned char *last = base + (n - 1) * size;
    swap_elements(base + (n / 2) * size, last, size);
    uint64_t j = 0;
    for (uint64_t i = 0; i + 1 < n; i++) {
        unsigned char *ei = base + i * size;
        if (compar(ei, last, arg) < 0) {
            swap_elements(ei, base + j * size, size);
            j++;
        }
    }
    swap_elements(base + j * size, last, size);
    return j;
}

// The two parts left by a partition are disjoint and each is sorted by the
// same deterministic steps whichever is handled first, so recursing into the
// smaller one and looping on the larger gives the same array while keeping
// the stack depth logarithmic on any input.
void quick_sort(unsigned char *base, uint64_t n, uint64_t size,
                vx_compare_fn compar, void *arg) {
    while (n > INSERTION_CUTOFF) {
        uint64_t j = partition(base, n, size, compar, arg);
        uint64_t left_n = j;
        unsigned char *right = base + (j + 1) * size;
        uint64_t right_n = n - j - 1;
        if (left_n <= right_n) {
            if (left_n > 1) quick_sort(base, left_n, size, compar, arg);
            base = right;
            n = right_n;
        } else {
            if (right_n > 1) quick_sort(right, right_n, size, compar, arg);
            n = left_n;
        }
        if (n <= 1) return;
    }
    insertion_finish(base, n, size, compar, arg);
}

}  // namespace

extern "C" VX_API void vx_qsort(void *base, uint64_t n, uint64_t size,
                                vx_compare_fn compar, void *arg) {
    if (!base || n == 0 || size == 0 || !compar) return;
    quick_sort(static_cast<unsigned char *>(base), n, size, compar, arg);
}

extern "C" VX_API void vx_qsort_simple(void *base, uint64_t n, uint64_t size,
                                       vx_compare_simple_fn compar) {
    if (!base || n <= 1 || size == 0 || !compar) return;
    simple_compar_holder holder = {compar};
    quick_sort(static_cast<unsigned char *>(base), n, size, wrap_compar_simple, &holder);
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
