// Collections: where each id's record sits. An open-addressing table with
// linear probing over a power-of-two number of slots, kept at most three
// quarters full (doubled when an append would pass that), with deletion by
// backward shift so that no tombstones lengthen the probe runs. A slot is an
// id (8 bytes) and a 32-bit record position, held in two arrays: a removal
// that moves many records down then lowers the positions in one pass over
// 4 bytes per slot. One block from the general allocator holds both.
//
// An id that several records share (only a damaged but accepted file can
// hold such records) is kept at its first position, the record a scan from
// the first record meets first; while any id is repeated, removals rebuild
// the table instead of adjusting it.
#include "vx_collection_internal.h"
#include "vx_hash_internal.h"
#include "vx_simd_internal.h"

#include <string.h>
#include <time.h>

static const uint32_t FREE_SLOT = UINT32_MAX;
static const uint64_t MIN_SLOTS = 64;
// Positions are 32-bit and FREE_SLOT is not one: the most records a
// collection can hold (its files count records in 32 bits too).
static const uint64_t MAX_RECORDS = UINT32_MAX - 1;

// The finaliser of MurmurHash3 (64-bit) over the id mixed with the table's
// seed: consecutive ids spread evenly, and ids chosen in a file to collide
// cannot be found without the seed.
static inline uint64_t id_hash(uint64_t id, uint64_t seed) { return hash_fmix64(id ^ seed); }

// A seed that differs between tables and runs: the clock and two addresses
// (the stack's and the table's, both moved by address randomisation).
static uint64_t fresh_seed(const void *table) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t local = 0;
    uint64_t mix = (uint64_t)ts.tv_nsec ^ ((uint64_t)ts.tv_sec << 32) ^ (uint64_t)(uintptr_t)&local;
    return id_hash(mix, (uint64_t)(uintptr_t)table);
}

static inline uint64_t first_slot(const vx_collection *c, uint64_t id) {
    return id_hash(id, c->id_seed) & (c->id_capacity - 1);
}

// The slot holding id, or the free slot ending its probe run; the run
// starts at `at`, id's first slot.
static uint64_t probe_from(const vx_collection *c, uint64_t id, uint64_t at) {
    uint64_t mask = c->id_capacity - 1;
    for (;; at = (at + 1) & mask)
        if (c->id_pos[at] == FREE_SLOT || c->id_keys[at] == id) return at;
}

static inline uint64_t probe(const vx_collection *c, uint64_t id) { return probe_from(c, id, first_slot(c, id)); }

static inline uint64_t position_at(const vx_collection *c, uint64_t slot) {
    uint32_t p = c->id_pos[slot];
    return p == FREE_SLOT ? UINT64_MAX : p;
}

// Adds id at pos unless the id is there already (room reserved).
static void place(vx_collection *c, uint64_t id, uint64_t pos) {
    uint64_t at = probe(c, id);
    if (c->id_pos[at] != FREE_SLOT) {
        c->id_repeats++;
        return;
    }
    c->id_keys[at] = id;
    c->id_pos[at] = (uint32_t)pos;
    c->id_count++;
}

// Largest number of ids a table of n slots takes.
static inline uint64_t slots_hold(uint64_t n) { return n / 4 * 3; }

static const uint64_t SLOT_BYTES = sizeof(uint64_t) + sizeof(uint32_t);

vx_status collection_ids_reserve(vx_collection *c, uint64_t more) {
    if (more > MAX_RECORDS || c->count + more > MAX_RECORDS) return VX_ERR_NO_MEMORY;
    uint64_t need = c->count + more;
    if (c->id_keys && need <= slots_hold(c->id_capacity)) return VX_OK;
    uint64_t cap = c->id_capacity ? c->id_capacity : MIN_SLOTS;
    while (slots_hold(cap) < need) cap *= 2;
    uint64_t *keys = (uint64_t *)vx_malloc(cap * SLOT_BYTES);
    if (!keys) return VX_ERR_NO_MEMORY;
    uint32_t *pos = (uint32_t *)(keys + cap);
    vx_memset(pos, 0xFF, cap * sizeof(uint32_t));
    uint64_t *old_keys = c->id_keys;
    uint32_t *old_pos = c->id_pos;
    uint64_t old_cap = c->id_capacity;
    c->id_keys = keys;
    c->id_pos = pos;
    c->id_capacity = cap;
    if (!old_keys) c->id_seed = fresh_seed(keys);
    // Ids are distinct in the old table, so each goes straight to the end
    // of its probe run.
    uint64_t mask = cap - 1;
    for (uint64_t i = 0; i < old_cap; i++) {
        if (old_pos[i] == FREE_SLOT) continue;
        uint64_t at = first_slot(c, old_keys[i]);
        while (pos[at] != FREE_SLOT) at = (at + 1) & mask;
        keys[at] = old_keys[i];
        pos[at] = old_pos[i];
    }
    vx_free(old_keys);
    return VX_OK;
}

void collection_ids_append(vx_collection *c, uint64_t id, uint64_t pos) { place(c, id, pos); }

uint64_t collection_find(const vx_collection *c, uint64_t id) {
    if (!c->id_keys) return UINT64_MAX;
    return position_at(c, probe(c, id));
}

void collection_find_many(const vx_collection *c, const uint64_t *ids, uint64_t n, uint64_t *pos) {
    if (!c->id_keys) {
        for (uint64_t i = 0; i < n; i++) pos[i] = UINT64_MAX;
        return;
    }
    // Every first slot is requested before any is read, so the cache misses
    // of a batch overlap instead of following one another.
    for (uint64_t i = 0; i < n; i++) {
        pos[i] = first_slot(c, ids[i]);
        __builtin_prefetch(&c->id_keys[pos[i]]);
        __builtin_prefetch(&c->id_pos[pos[i]]);
    }
    for (uint64_t i = 0; i < n; i++) pos[i] = position_at(c, probe_from(c, ids[i], pos[i]));
}

void collection_ids_rebuild(vx_collection *c) {
    c->id_count = 0;
    c->id_repeats = 0;
    if (!c->id_keys) return;
    vx_memset(c->id_pos, 0xFF, c->id_capacity * sizeof(uint32_t));
    for (uint64_t i = 0; i < c->count; i++) place(c, c->records[i].id, i);
}

// Frees slot `hole` and pulls later members of its probe run back, so that
// every id stays reachable from its first slot without a gap.
static void remove_slot(vx_collection *c, uint64_t hole) {
    uint64_t mask = c->id_capacity - 1;
    for (uint64_t at = (hole + 1) & mask; c->id_pos[at] != FREE_SLOT; at = (at + 1) & mask) {
        uint64_t home = first_slot(c, c->id_keys[at]);
        // The entry may move into the hole unless its first slot lies
        // cyclically in (hole, at].
        if (((at - home) & mask) >= ((at - hole) & mask)) {
            c->id_keys[hole] = c->id_keys[at];
            c->id_pos[hole] = c->id_pos[at];
            hole = at;
        }
    }
    c->id_pos[hole] = FREE_SLOT;
    c->id_count--;
}

void collection_ids_forget(vx_collection *c, uint64_t id) {
    if (!c->id_keys) return;
    uint64_t at = probe(c, id);
    if (c->id_pos[at] != FREE_SLOT) remove_slot(c, at);
}

void collection_ids_moved(vx_collection *c, uint64_t id, uint64_t pos) {
    if (!c->id_keys) return;
    uint64_t at = probe(c, id);
    if (c->id_pos[at] != FREE_SLOT) c->id_pos[at] = (uint32_t)pos;
}

// Lowers by one every position above `removed` among the n slots (n a
// multiple of 8), a vector of lanes at a time: a comparison gives all ones
// (-1) in each lane it holds for, which added to the lane lowers it.
typedef uint32_t u32x4 __attribute__((vector_size(16)));

static void lower_positions_past_portable(uint32_t *pos, uint64_t n, uint32_t removed) {
    const u32x4 bound = {removed, removed, removed, removed};
    const u32x4 free_slot = {FREE_SLOT, FREE_SLOT, FREE_SLOT, FREE_SLOT};
    for (uint64_t i = 0; i < n; i += 4) {
        u32x4 v;
        memcpy(&v, pos + i, sizeof(v));
        v += (u32x4)((v > bound) & (v != free_slot));
        memcpy(pos + i, &v, sizeof(v));
    }
}

#if defined(__x86_64__) || defined(__i386__)
typedef uint32_t u32x8 __attribute__((vector_size(32)));

__attribute__((target("avx2"))) static void lower_positions_past_avx2(uint32_t *pos, uint64_t n,
                                                                      uint32_t removed) {
    const u32x8 bound = {removed, removed, removed, removed, removed, removed, removed, removed};
    const u32x8 free_slot = {FREE_SLOT, FREE_SLOT, FREE_SLOT, FREE_SLOT, FREE_SLOT, FREE_SLOT, FREE_SLOT, FREE_SLOT};
    for (uint64_t i = 0; i < n; i += 8) {
        u32x8 v;
        memcpy(&v, pos + i, sizeof(v));
        v += (u32x8)((v > bound) & (v != free_slot));
        memcpy(pos + i, &v, sizeof(v));
    }
}
#endif

static void lower_positions_past(uint32_t *pos, uint64_t n, uint32_t removed) {
#if defined(__x86_64__) || defined(__i386__)
    if (simd_active() >= SIMD_AVX2) return lower_positions_past_avx2(pos, n, removed);
#endif
    lower_positions_past_portable(pos, n, removed);
}

// Records moved down by one after a removal are looked up one by one while
// there are fewer of them than one per SWEEP_RATIO_CACHED slots (a table that
// fits in cache) or per SWEEP_RATIO_FAR slots (one whose every lookup misses
// the cache); with more, one pass over the positions lowers each one past
// the removed record instead.
static const uint64_t CACHED_TABLE_BYTES = 1ull << 21;
static const uint64_t SWEEP_RATIO_CACHED = 64;
static const uint64_t SWEEP_RATIO_FAR = 256;

void collection_ids_removed(vx_collection *c, uint64_t id, uint64_t pos) {
    if (!c->id_keys) return;
    if (c->id_repeats) {
        collection_ids_rebuild(c);
        return;
    }
    collection_ids_forget(c, id);
    uint64_t moved = c->count - pos;
    uint64_t ratio = c->id_capacity * SLOT_BYTES <= CACHED_TABLE_BYTES ? SWEEP_RATIO_CACHED : SWEEP_RATIO_FAR;
    if (moved * ratio < c->id_capacity) {
        for (uint64_t j = pos; j < c->count; j++) c->id_pos[probe(c, c->records[j].id)] = (uint32_t)j;
        return;
    }
    lower_positions_past(c->id_pos, c->id_capacity, (uint32_t)pos);
}

void collection_ids_release(vx_collection *c) {
    vx_free(c->id_keys);
    c->id_keys = nullptr;
    c->id_pos = nullptr;
    c->id_capacity = 0;
    c->id_count = 0;
    c->id_repeats = 0;
}

uint64_t collection_ids_memory(const vx_collection *c) { return c->id_capacity * SLOT_BYTES; }
