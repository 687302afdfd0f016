// The graph index: a hierarchical navigable small-world graph over raw float
// vectors. Nodes live in a table indexed by vector id; links are ids, so a
// link to a removed id dangles and every traversal skips it. The diverse
// graph relinks a removed node's neighbours; the nearest-link graph does not.
#include "vx_index_internal.h"
#include "vx_lock_guard.h"
#include "vx_vector_internal.h"

#include <pthread.h>
#include <sched.h>

/* ---- per-thread working memory ------------------------------------------------ */

// A candidate waiting for expansion in the layer search: a binary min-heap
// on (distance, id).
struct hnsw_cand {
    float distance;
    uint64_t id;
};

// A link a parallel insertion makes back from a chosen neighbour to the new
// node once the node's own lists are written on every layer.
struct hnsw_backlink {
    uint64_t id;
    float distance;
    uint32_t layer;
};

// Visited-node set of one traversal: membership is an epoch stamp per slot,
// so emptying it costs nothing.
struct hnsw_visited {
    uint32_t *marks;
    uint64_t size;
    uint32_t epoch;
};

// Working memory reused by every traversal on one thread, so that neither a
// search nor an insertion grows the index arena.
struct hnsw_scratch {
    hnsw_visited visited;
    hnsw_cand *cands;
    uint64_t cand_cap;
    uint64_t *batch_ids;
    const float **batch_vecs;
    float *batch_dist;
    uint64_t batch_cap;
    vx_heap_item *items;
    uint64_t item_cap;
    uint64_t *link_ids;
    float *link_dist;
    uint64_t link_cap;
    hnsw_cand *picks;   // a new node's candidates under the diverse rule
    uint64_t pick_cap;
    hnsw_cand *trims;   // a full list and the new node, being trimmed
    uint64_t trim_cap;
    uint32_t *list_copy; // a list read under its node's lock (parallel build)
    uint64_t list_copy_cap;
    hnsw_backlink *backlinks; // a parallel insertion's links still to make back
    uint64_t backlink_cap;
    uint64_t backlink_count;
};

// The thread's scratch pointer is plain thread-local data; a thread-specific
// key with a destructor releases the memory when the thread ends.
static __thread hnsw_scratch *t_scratch;
static pthread_key_t g_scratch_key;
static pthread_once_t g_scratch_once = PTHREAD_ONCE_INIT;
static int g_scratch_key_ok;

static void scratch_release(void *p) {
    hnsw_scratch *s = (hnsw_scratch *)p;
    if (!s) return;
    vx_free(s->visited.marks);
    vx_free(s->cands);
    vx_free(s->batch_ids);
    vx_free(s->batch_vecs);
    vx_free(s->batch_dist);
    vx_free(s->items);
    vx_free(s->link_ids);
    vx_free(s->link_dist);
    vx_free(s->picks);
    vx_free(s->backlinks);
    vx_free(s->trims);
    vx_free(s->list_copy);
    vx_free(s);
}

static void scratch_key_make(void) {
    g_scratch_key_ok = pthread_key_create(&g_scratch_key, scratch_release) == 0;
}

hnsw_scratch *hnsw_scratch_get(void) {
    if (t_scratch) return t_scratch;
    pthread_once(&g_scratch_once, scratch_key_make);
    if (!g_scratch_key_ok) return nullptr;
    hnsw_scratch *s = (hnsw_scratch *)vx_calloc(1, sizeof(hnsw_scratch));
    if (!s) return nullptr;
    if (pthread_setspecific(g_scratch_key, s) != 0) {
        vx_free(s);
        return nullptr;
    }
    t_scratch = s;
    return s;
}

// Replaces *buf by a fresh array of n elements when it holds fewer; the old
// contents are not kept.
template <typename T> static bool scratch_reserve(T **buf, uint64_t *cap, uint64_t n) {
    if (*cap >= n) return true;
    if (n > UINT64_MAX / sizeof(T)) return false;
    T *fresh = (T *)vx_malloc(n * sizeof(T));
    if (!fresh) return false;
    vx_free(*buf);
    *buf = fresh;
    *cap = n;
    return true;
}

// Like scratch_reserve, keeping the first `keep` elements.
template <typename T> static bool scratch_grow(T **buf, uint64_t *cap, uint64_t n, uint64_t keep) {
    if (*cap >= n) return true;
    uint64_t want = *cap * 2 > n ? *cap * 2 : n;
    if (want > UINT64_MAX / sizeof(T)) return false;
    T *fresh = (T *)vx_malloc(want * sizeof(T));
    if (!fresh) return false;
    if (keep) vx_memcpy(fresh, *buf, keep * sizeof(T));
    vx_free(*buf);
    *buf = fresh;
    *cap = want;
    return true;
}

static bool batch_reserve(hnsw_scratch *s, uint64_t n) {
    if (s->batch_cap >= n) return true;
    uint64_t cap = s->batch_cap;
    uint64_t c2 = cap, c3 = cap;
    if (!scratch_reserve(&s->batch_ids, &cap, n)) return false;
    if (!scratch_reserve(&s->batch_vecs, &c2, n)) return false;
    if (!scratch_reserve(&s->batch_dist, &c3, n)) return false;
    s->batch_cap = n;
    return true;
}

/* ---- visited set -------------------------------------------------------------- */

// Starts an empty visited set able to hold ids below capacity.
static bool visited_begin(hnsw_visited *v, uint64_t capacity) {
    if (v->size < capacity) {
        if (capacity > UINT64_MAX / sizeof(uint32_t)) return false;
        uint32_t *marks = (uint32_t *)vx_calloc(capacity, sizeof(uint32_t));
        if (!marks) return false;
        vx_free(v->marks);
        v->marks = marks;
        v->size = capacity;
        v->epoch = 0;
    }
    if (++v->epoch == 0) {
        vx_memset(v->marks, 0, v->size * sizeof(uint32_t));
        v->epoch = 1;
    }
    return true;
}

// Marks id; true when it was marked already.
static inline bool visited_test_and_set(hnsw_visited *v, uint64_t id) {
    if (v->marks[id] == v->epoch) return true;
    v->marks[id] = v->epoch;
    return false;
}

/* ---- candidate min-heap ---------------------------------------------------------- */

static inline bool cand_less(const hnsw_cand &a, const hnsw_cand &b) {
    return a.distance < b.distance || (!(b.distance < a.distance) && a.id < b.id);
}

static void cand_push(hnsw_cand *heap, uint64_t *count, float distance, uint64_t id) {
    uint64_t i = (*count)++;
    hnsw_cand item = {distance, id};
    while (i > 0) {
        uint64_t parent = (i - 1) / 2;
        if (!cand_less(item, heap[parent])) break;
        heap[i] = heap[parent];
        i = parent;
    }
    heap[i] = item;
}

static hnsw_cand cand_pop(hnsw_cand *heap, uint64_t *count) {
    hnsw_cand top = heap[0];
    hnsw_cand last = heap[--*count];
    uint64_t n = *count;
    uint64_t i = 0;
    for (;;) {
        uint64_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && cand_less(heap[child + 1], heap[child])) child++;
        if (!cand_less(heap[child], last)) break;
        heap[i] = heap[child];
        i = child;
    }
    if (n) heap[i] = last;
    return top;
}

/* ---- body ------------------------------------------------------------------------ */

static float hnsw_default_level_mult(uint32_t M) {
    return 1.0f / vx_math_log_f32((float)M);
}

// The own store takes vectors in chunks of about a mebibyte, so that growing
// never moves a vector.
static const uint64_t STORE_CHUNK_BYTES = 1ull << 20;

// Ids per layer-0 page, as a shift: the most that keep a page within
// VX_HNSW_PAGE_BYTES, at least one.
static uint32_t base_page_shift(uint32_t base_stride) {
    uint32_t shift = VX_HNSW_PAGE_SHIFT_MAX;
    while (shift > 0 && (4ull * base_stride << shift) > VX_HNSW_PAGE_BYTES) shift--;
    return shift;
}

extern "C" VX_API vx_hnsw_index *vx_hnsw_create(vx_arena *arena, uint32_t dimension,
                                                const vx_hnsw_params *params) {
    if (dimension == 0 || !params) return nullptr;
    int32_t owns = 0;
    if (!arena) {
        if (vx_arena_create(VX_INDEX_ARENA_SIZE, &arena) != VX_OK) return nullptr;
        owns = 1;
    }
    vx_hnsw_index *h = (vx_hnsw_index *)vx_arena_calloc(arena, 1, sizeof(vx_hnsw_index));
    if (!h) goto fail;
    h->type = VX_INDEX_HNSW;
    h->dimension = dimension;
    h->M = params->M;
    h->ef_construction = params->ef_construction;
    h->ef_search = params->ef_search;
    h->max_level_cap = params->max_level;
    h->seed = params->seed;
    h->level_mult = params->level_mult;
    h->entry_point = -1;
    h->build_threads = 1;
    h->arena = arena;
    // Lists hold at most 2M links; M beyond what a 32-bit stride allows is
    // refused like any allocation that cannot be made.
    if (params->M > (UINT32_MAX - 1) / 2) goto fail;
    h->base_stride = 1 + 2 * params->M;
    h->upper_stride = 1 + params->M;
    h->page_shift = base_page_shift(h->base_stride);
    h->chunk_vectors = (uint32_t)(STORE_CHUNK_BYTES / (4ull * dimension));
    if (h->chunk_vectors == 0) h->chunk_vectors = 1;
    h->chunk_used = h->chunk_vectors;
    if (!hnsw_grow_tables(h, VX_HNSW_INITIAL_CAPACITY)) goto fail;
    if (vx_rwlock_create(arena, 0, &h->lock) != VX_OK || !h->lock) goto fail;
    h->effective_seed = params->seed ? params->seed : VX_HNSW_DEFAULT_SEED;
    if (!(h->level_mult > 0.0f)) h->level_mult = hnsw_default_level_mult(h->M);
    h->metric = VX_METRIC_L2;
    h->owns_arena = owns;
    hnsw_set_selection(h, VX_HNSW_SELECT_DIVERSE);
    return h;
fail:
    if (h) hnsw_release_tables(h);
    if (owns) vx_arena_destroy(arena);
    return nullptr;
}

extern "C" VX_API void vx_hnsw_destroy(vx_hnsw_index *h) {
    if (!h) return;
    if (h->lock) vx_rwlock_destroy(h->lock);
    h->lock = nullptr;
    hnsw_release_tables(h);
    if (h->owns_arena) vx_arena_destroy(h->arena);
}

// Layer-0 pages covering slots ids.
static uint64_t hnsw_page_count(const vx_hnsw_index *h, uint64_t slots) {
    return (slots + (1ull << h->page_shift) - 1) >> h->page_shift;
}

void hnsw_release_tables(vx_hnsw_index *h) {
    for (uint64_t i = 0; i < h->store_count; i++) vx_free(h->store_chunks[i]);
    vx_free(h->store_chunks);
    vx_free((void *)h->vectors);
    vx_free(h->levels);
    for (uint64_t p = 0; p < hnsw_page_count(h, h->capacity); p++) vx_free(h->base_pages[p]);
    vx_free(h->base_pages);
    vx_free(h->upper_links);
    h->store_chunks = nullptr;
    h->store_count = h->store_room = 0;
    h->vectors = nullptr;
    h->levels = nullptr;
    h->base_pages = nullptr;
    h->upper_links = nullptr;
    h->capacity = 0;
}

// Grows *table from `have` to `want` elements of `size` bytes, zeroing the
// new ones; the old table is kept when memory is short.
static bool table_grow(void **table, uint64_t have, uint64_t want, uint64_t size) {
    if (want > UINT64_MAX / size) return false;
    void *fresh = vx_realloc(*table, want * size);
    if (!fresh) return false;
    vx_memset((char *)fresh + have * size, 0, (want - have) * size);
    *table = fresh;
    return true;
}

// Makes the layer-0 page holding id; false when memory is short.
static bool base_page_ready(vx_hnsw_index *h, uint64_t id) {
    uint32_t **page = &h->base_pages[id >> h->page_shift];
    if (!*page) *page = (uint32_t *)vx_calloc((uint64_t)h->base_stride << h->page_shift, sizeof(uint32_t));
    return *page != nullptr;
}

bool hnsw_grow_tables(vx_hnsw_index *h, uint64_t slots) {
    uint64_t have = h->capacity;
    if (slots <= have) return true;
    if (slots > VX_HNSW_NO_NODE) return false;
    if (!table_grow((void **)&h->vectors, have, slots, sizeof(float *)) ||
        !table_grow((void **)&h->levels, have, slots, sizeof(uint32_t)) ||
        !table_grow((void **)&h->base_pages, hnsw_page_count(h, have), hnsw_page_count(h, slots),
                    sizeof(uint32_t *)) ||
        !table_grow((void **)&h->upper_links, have, slots, sizeof(uint32_t *)))
        return false;
    __atomic_store_n(&h->capacity, slots, __ATOMIC_RELEASE);
    return true;
}

vx_status hnsw_reserve_slot(vx_hnsw_index *h, uint64_t id) {
    if (id < h->capacity) return VX_OK;
    if (id >= VX_HNSW_NO_NODE / 2) return VX_ERR_NO_MEMORY;
    return hnsw_grow_tables(h, 2 * id + 2) ? VX_OK : VX_ERR_NO_MEMORY;
}

// Room for one more vector in the own store; null when memory is short.
static float *store_take(vx_hnsw_index *h) {
    if (h->chunk_used == h->chunk_vectors) {
        if (h->store_count == h->store_room) {
            uint64_t room = h->store_room ? 2 * h->store_room : 16;
            float **chunks = (float **)vx_realloc(h->store_chunks, room * sizeof(float *));
            if (!chunks) return nullptr;
            h->store_chunks = chunks;
            h->store_room = room;
        }
        float *chunk = (float *)vx_malloc((uint64_t)h->chunk_vectors * h->dimension * sizeof(float));
        if (!chunk) return nullptr;
        h->store_chunks[h->store_count] = chunk;
        __atomic_store_n(&h->store_count, h->store_count + 1, __ATOMIC_RELAXED);
        h->chunk_used = 0;
    }
    return h->store_chunks[h->store_count - 1] + (uint64_t)h->chunk_used++ * h->dimension;
}

bool hnsw_node_place(vx_hnsw_index *h, uint64_t id, uint32_t level, const float *vector) {
    if (!base_page_ready(h, id)) return false;
    uint32_t *upper = nullptr;
    if (level > 0) {
        // A level multiplier far beyond 1 / ln M (from a damaged file, say)
        // draws levels in the millions; a node whose lists would outgrow
        // VX_HNSW_MAX_UPPER_BYTES is refused like one without memory.
        uint64_t words = (uint64_t)level * h->upper_stride;
        if (words > VX_HNSW_MAX_UPPER_BYTES / sizeof(uint32_t)) return false;
        upper = (uint32_t *)vx_arena_calloc(h->arena, words, sizeof(uint32_t));
        if (!upper) return false;
        __atomic_store_n(&h->upper_bytes, h->upper_bytes + words * sizeof(uint32_t), __ATOMIC_RELAXED);
    }
    float *own = nullptr;
    if (!vector || !h->borrows) {
        own = store_take(h);
        if (!own) return false;
    }
    if (!h->vectors[id]) __atomic_store_n(&h->present, h->present + 1, __ATOMIC_RELAXED);
    h->levels[id] = level;
    h->upper_links[id] = upper;
    hnsw_list(h, id, 0)[0] = 0;
    if (own && vector) vx_memcpy(own, vector, (uint64_t)h->dimension * sizeof(float));
    h->vectors[id] = own ? own : vector;
    return true;
}

void hnsw_set_selection(vx_hnsw_index *h, int32_t selection) {

    h->selection = selection;
    h->level_state = h->effective_seed;
}

vx_status hnsw_choose_selection(vx_hnsw_index *h, int32_t selection) {
    write_guard writing(h->lock);
    if (!writing.held()) return writing.status();
    if (h->ntotal != 0) return VX_ERR_INVALID_ARG;
    hnsw_set_selection(h, selection);
    return VX_OK;
}

vx_status hnsw_borrow_vectors(vx_hnsw_index *h) {
    write_guard writing(h->lock);
    if (!writing.held()) return writing.status();
    if (h->ntotal != 0) return VX_ERR_INVALID_ARG;
    h->borrows = 1;
    return VX_OK;
}

// The diverse graph's level source: splitmix64 over the graph's own state,
// so a one-thread build depends on nothing but the graph's seed and input.
// Returns r in (0, 1] with 24 bits, exact in a float.
static float hnsw_own_uniform(vx_hnsw_index *h) {
    uint64_t z = (h->level_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (float)((z >> 40) + 1) * (1.0f / 16777216.0f);
}

// Level of a new node: the integer part of -ln(r) * level_mult for r drawn
// uniformly from the low 16 bits of the shared generator (the nearest-link
// graph) or from the graph's own generator (the diverse graph).
static uint32_t hnsw_draw_level(vx_hnsw_index *h) {
    float r = h->selection == VX_HNSW_SELECT_DIVERSE ? hnsw_own_uniform(h)
                                                     : (float)(vx_rand() & 0xFFFFu) / 65535.0f;
    float mult = h->level_mult > 0.0f ? h->level_mult : hnsw_default_level_mult(h->M);
    float x = -vx_math_log_f32(r) * mult;
    // Truncation toward zero to 64 bits, low 32 bits kept; a value outside
    // the 64-bit range (r = 0) converts to the lowest 64-bit value, whose low
    // half is 0. A negative product (multiplier below zero) gives level 0.
    uint32_t level = 0;
    if (x >= 1.0f && x < 9.2233720e18f) level = (uint32_t)(uint64_t)(int64_t)x;
    if (h->max_level_cap && level > h->max_level_cap) level = h->max_level_cap;
    return level;
}

/* ---- node locks of a parallel build ----------------------------------------------- */

// Striped spinlocks guarding the link lists while several threads insert:
// id & (HNSW_NODE_LOCKS - 1) picks a node's lock, so their memory is fixed
// whatever the graph holds. A thread holds at most one at a time, so two
// nodes sharing a stripe cannot deadlock.
static const uint32_t HNSW_NODE_LOCKS = 65536;

// One parallel insertion of a chunk of placed nodes.
struct hnsw_build {
    vx_hnsw_index *h;
    uint32_t *locks;         // HNSW_NODE_LOCKS words from the general allocator
    vx_mutex *top;           // entry point and top layer
    const uint64_t *ids;     // the chunk's ids, placed, in batch order
    uint64_t count;
    uint64_t next;           // next position to take (atomic)
    vx_status failure;       // first failure of a worker (atomic)
};

static void node_lock(hnsw_build *b, uint64_t id) {
    uint32_t *word = &b->locks[id & (HNSW_NODE_LOCKS - 1)];
    for (uint32_t spins = 0;; spins++) {
        if (!__atomic_load_n(word, __ATOMIC_RELAXED) && !__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE))
            return;
        // A holder that lost its core is waited for without burning ours.
        if (spins >= 64) sched_yield();
    }
}

static void node_unlock(hnsw_build *b, uint64_t id) {
    __atomic_store_n(&b->locks[id & (HNSW_NODE_LOCKS - 1)], 0u, __ATOMIC_RELEASE);
}

/* ---- traversals ------------------------------------------------------------------ */

// A NaN distance (a stored vector holding a NaN, from a file written before
// such vectors were refused) ranks as +inf in the walks, after every number;
// a search reports its true value.
static inline float walk_key(float d) { return d == d ? d : __builtin_inff(); }

// The list block of id at layer as a reader may use it: the block itself,
// or with Locked (a parallel build, where other threads write lists) a copy
// taken under the node's lock into s->list_copy (room for a layer-0 block).
template <bool Locked>
static inline const uint32_t *list_for_reading(const vx_hnsw_index *h, uint64_t id, uint32_t layer,
                                               hnsw_scratch *s, hnsw_build *b) {
    const uint32_t *list = hnsw_list(h, id, layer);
    if (!Locked) return list;
    node_lock(b, id);
    vx_memcpy(s->list_copy, list, (1ull + list[0]) * sizeof(uint32_t));
    node_unlock(b, id);
    return s->list_copy;
}

// Collects the usable, not yet visited links of id's node at layer into the
// scratch batch and computes their distances to query; returns their number.
// A distance above bound may come back as any value above bound: its sum
// was abandoned there, as nothing beyond the bound is of use to the caller.
template <bool Locked>
static uint64_t gather_neighbours(const vx_hnsw_index *h, uint64_t id, uint32_t layer,
                                  const float *query, float bound, hnsw_scratch *s, bool *ok,
                                  hnsw_build *b) {
    *ok = true;
    if (layer > h->levels[id]) return 0;
    const uint32_t *list = list_for_reading<Locked>(h, id, layer, s, b);
    uint32_t count = list[0];
    if (count == 0) return 0;
    if (!batch_reserve(s, count)) {
        *ok = false;
        return 0;
    }
    // Marking an empty slot as visited changes nothing: it stays empty.
    uint64_t n = 0;
    for (uint32_t j = 1; j <= count; j++) {
        uint32_t nb = list[j];
        if (nb >= h->capacity || visited_test_and_set(&s->visited, nb)) continue;
        const float *v = h->vectors[nb];
        if (!v) continue;
        __builtin_prefetch(v);
        __builtin_prefetch(v + 16);
        s->batch_ids[n] = nb;
        s->batch_vecs[n] = v;
        n++;
    }
    index_distance_batch_bounded(query, s->batch_vecs, n, h->dimension, h->metric, bound,
                                 s->batch_dist);
    for (uint64_t i = 0; i < n; i++) s->batch_dist[i] = walk_key(s->batch_dist[i]);
    return n;
}

bool hnsw_visited_begin(hnsw_scratch *s, uint64_t capacity) {
    return visited_begin(&s->visited, capacity);
}

template <bool Locked>
static uint64_t greedy_walk(const vx_hnsw_index *h, const float *query, uint64_t ep, uint32_t layer,
                            hnsw_scratch *s, hnsw_build *b) {
    if (!hnsw_has_node(h, ep)) return ep;
    uint64_t cur = ep;
    float best = walk_key(index_distance(query, h->vectors[cur], h->dimension, h->metric));
    for (;;) {
        bool ok;
        uint64_t n = gather_neighbours<Locked>(h, cur, layer, query, best, s, &ok, b);
        if (!ok) return cur;
        uint64_t target = UINT64_MAX;
        for (uint64_t i = 0; i < n; i++) {
            if (s->batch_dist[i] < best) {
                best = s->batch_dist[i];
                target = s->batch_ids[i];
            }
        }
        if (target == UINT64_MAX) return cur;
        cur = target;
    }
}

uint64_t hnsw_greedy_search(const vx_hnsw_index *h, const float *query, uint64_t ep,
                            uint32_t layer, hnsw_scratch *s) {
    return greedy_walk<false>(h, query, ep, layer, s, nullptr);
}

vx_status hnsw_layer_search(const vx_hnsw_index *h, const float *query, uint64_t ep,
                            uint32_t layer, uint32_t ef, vx_heap_item *out,
                            uint64_t *out_count, hnsw_scratch *s) {
    return hnsw_layer_search_accepting(h, query, ep, layer, ef, nullptr, nullptr, out, out_count, s);
}

template <bool Locked>
static vx_status layer_walk(const vx_hnsw_index *h, const float *query, uint64_t ep, uint32_t layer,
                            uint32_t ef, index_accept_fn accept, void *context, vx_heap_item *out,
                            uint64_t *out_count, hnsw_scratch *s, hnsw_build *b) {
    *out_count = 0;
    // With ef 0 the heap keeps nothing, so the walk could return nothing.
    if (!hnsw_has_node(h, ep) || ef == 0) return VX_OK;
    if (!visited_begin(&s->visited, h->capacity)) return VX_ERR_NO_MEMORY;
    if (!scratch_grow(&s->cands, &s->cand_cap, 64, 0)) return VX_ERR_NO_MEMORY;

    // The heap holds distinct nodes only, so the table size bounds it.
    vx_result_heap heap = {out, 0, ef < h->capacity ? ef : h->capacity};
    float d0 = walk_key(index_distance(query, h->vectors[ep], h->dimension, h->metric));
    visited_test_and_set(&s->visited, ep);
    // A negative verdict ends a filtered walk at once with what it holds.
    int verdict = accept ? accept(ep, context) : 1;
    if (verdict < 0) return VX_OK;
    if (verdict) heap_offer(&heap, ep, layer, d0);
    uint64_t ncand = 0;
    cand_push(s->cands, &ncand, d0, ep);

    while (ncand > 0) {
        hnsw_cand cur = cand_pop(s->cands, &ncand);
        // A filtered walk goes on until its heap is full: nodes it may not
        // report still lead to ones it may.
        if (heap.count > 0 && heap.items[0].distance < cur.distance &&
            (!accept || heap.count == heap.capacity))
            break;
        // The likely next expansion's list is fetched while this one is measured.
        if (ncand > 0 && layer == 0) __builtin_prefetch(hnsw_list(h, s->cands[0].id, 0));
        // Beyond the root of a full heap nothing is admitted, and the root
        // only comes nearer while the batch is taken in.
        float bound = heap.count == heap.capacity ? heap.items[0].distance : __builtin_inff();
        bool ok;
        uint64_t n = gather_neighbours<Locked>(h, cur.id, layer, query, bound, s, &ok, b);
        if (!ok) return VX_ERR_NO_MEMORY;
        if (!scratch_grow(&s->cands, &s->cand_cap, ncand + n, ncand)) return VX_ERR_NO_MEMORY;
        for (uint64_t i = 0; i < n; i++) {
            float d = s->batch_dist[i];
            // A neighbour beyond the root of a full heap is never admitted and
            // would end the walk when taken, so it need not wait as a candidate.
            if (heap.count == heap.capacity && heap.items[0].distance < d) continue;
            verdict = accept ? accept(s->batch_ids[i], context) : 1;
            if (verdict < 0) {
                *out_count = heap.count;
                return VX_OK;
            }
            if (verdict) heap_offer(&heap, s->batch_ids[i], layer, d);
            cand_push(s->cands, &ncand, d, s->batch_ids[i]);
        }
    }
    *out_count = heap.count;
    return VX_OK;
}

vx_status hnsw_layer_search_accepting(const vx_hnsw_index *h, const float *query, uint64_t ep,
                                      uint32_t layer, uint32_t ef, index_accept_fn accept,
                                      void *context, vx_heap_item *out, uint64_t *out_count,
                                      hnsw_scratch *s) {
    return layer_walk<false>(h, query, ep, layer, ef, accept, context, out, out_count, s, nullptr);
}

void hnsw_select_neighbors(uint64_t *list, float *dist, uint64_t m, uint64_t count) {
    if (count > m) count = m;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t best = i;
        for (uint64_t j = i + 1; j < m; j++)
            if (dist[j] < dist[best]) best = j;
        if (best != i) {
            uint64_t tid = list[i];
            list[i] = list[best];
            list[best] = tid;
            float td = dist[i];
            dist[i] = dist[best];
            dist[best] = td;
        }
    }
}

/* ---- insertion --------------------------------------------------------------------- */

// Appends link to id's list at layer when it has room; true when appended.
static inline bool link_append(vx_hnsw_index *h, uint64_t id, uint32_t layer, uint64_t link) {
    uint32_t *list = hnsw_list(h, id, layer);
    if (list[0] >= hnsw_layer_cap(h, layer)) return false;
    list[++list[0]] = (uint32_t)link;
    return true;
}

// Whether the list block (count first) links to id.
static bool list_holds(const uint32_t *list, uint64_t id) {
    for (uint32_t j = 1; j <= list[0]; j++)
        if (list[j] == id) return true;
    return false;
}

// link_append for a parallel build, where a concurrent insertion may have
// linked the two nodes already: a link held already counts as appended.
// The caller holds id's node lock.
static inline bool link_append_once(vx_hnsw_index *h, uint64_t id, uint32_t layer, uint64_t link) {
    return list_holds(hnsw_list(h, id, layer), link) || link_append(h, id, layer, link);
}

// Collects the usable links of id's list at layer into the scratch batch
// (their positions in the list in batch_ids, their vectors in batch_vecs)
// and measures them from id's vector; returns their number.
static uint64_t measure_list(const vx_hnsw_index *h, uint64_t id, uint32_t layer,
                             hnsw_scratch *s, bool *ok) {
    const uint32_t *list = hnsw_list(h, id, layer);
    uint32_t count = list[0];
    *ok = batch_reserve(s, count);
    if (!*ok) return 0;
    uint64_t n = 0;
    for (uint32_t j = 0; j < count; j++) {
        uint32_t nb = list[1 + j];
        if (!hnsw_has_node(h, nb)) continue;
        s->batch_ids[n] = j;
        s->batch_vecs[n] = h->vectors[nb];
        n++;
    }
    index_distance_batch(h->vectors[id], s->batch_vecs, n, h->dimension, h->metric, s->batch_dist);
    return n;
}

// A full neighbour list of nb at layer takes the new node in place of its
// farthest link (first of equal maxima) when the new node is strictly nearer.
static vx_status prune_by_replacement(vx_hnsw_index *h, uint64_t nb, uint32_t layer,
                                      uint64_t new_id, float new_distance, hnsw_scratch *s) {
    bool ok;
    uint64_t n = measure_list(h, nb, layer, s, &ok);
    if (!ok) return VX_ERR_NO_MEMORY;
    float worst = -__builtin_inff();
    uint64_t pos = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (s->batch_dist[i] > worst) {
            worst = s->batch_dist[i];
            pos = s->batch_ids[i];
        }
    }
    if (new_distance < worst) hnsw_list(h, nb, layer)[1 + pos] = (uint32_t)new_id;
    return VX_OK;
}

/* ---- diverse selection ------------------------------------------------------------ */

// Orders c[0 .. n) by (distance, id); the lists are short (ef_construction).
static void cands_sort(hnsw_cand *c, uint64_t n) {
    for (uint64_t i = 1; i < n; i++) {
        hnsw_cand item = c[i];
        uint64_t j = i;
        for (; j > 0 && cand_less(item, c[j - 1]); j--) c[j] = c[j - 1];
        c[j] = item;
    }
}

// Whether candidate c (its distance to the base in c.distance) is at least
// as near to the base as to every kept vector kept[0 .. n); the distances go
// eight at a time through the batch kernel into dist, stopping at the first
// block that refutes it. Only distances below c.distance refute, so sums
// above it may be abandoned.
static bool nearer_to_base(const vx_hnsw_index *h, const hnsw_cand &c, const float *const *kept,
                           uint64_t n, float *dist) {
    const float *v = h->vectors[c.id];
    for (uint64_t j = 0; j < n; j += 8) {
        uint64_t m = n - j < 8 ? n - j : 8;
        index_distance_batch_bounded(v, kept + j, m, h->dimension, h->metric, c.distance, dist);
        for (uint64_t i = 0; i < m; i++)
            if (dist[i] < c.distance) return false;
    }
    return true;
}

// Candidates are judged in blocks of this many: each vector kept before the
// block is measured against all of the block's candidates still in the
// running in one batch, so that many sums are in flight at once.
static const uint32_t DIVERSE_BLOCK = 32;

// Drops from the block alive[0 .. *nalive) (positions into c, their vectors
// in vecs) the candidates nearer to some vector of kept[0 .. n) than to the
// base, keeping the order of the rest. Distances are symmetric bit for bit,
// so each kept vector is the query of its batch.
static void refute_block(const vx_hnsw_index *h, const hnsw_cand *c, uint32_t *alive,
                         const float **vecs, uint32_t *nalive, const float *const *kept,
                         uint64_t n, float *dist) {
    for (uint64_t k = 0; k < n && *nalive > 0; k++) {
        // Only a distance below a candidate's own refutes it: the largest of
        // those bounds every sum worth finishing.
        float bound = c[alive[*nalive - 1]].distance;
        index_distance_batch_bounded(kept[k], vecs, *nalive, h->dimension, h->metric, bound, dist);
        uint32_t left = 0;
        for (uint32_t j = 0; j < *nalive; j++) {
            if (dist[j] < c[alive[j]].distance) continue;
            alive[left] = alive[j];
            vecs[left++] = vecs[j];
        }
        *nalive = left;
    }
}

// Sorts c[0 .. n) and moves to its front, nearest first, the candidates
// that are nearer to the base than to every one kept before them, at most
// limit; with fewer than limit candidates all are kept. Returns the count;
// VX_ERR_NO_MEMORY leaves nothing kept.
static uint64_t select_diverse(const vx_hnsw_index *h, hnsw_cand *c, uint64_t n, uint64_t limit,
                               hnsw_scratch *s, bool *ok) {
    cands_sort(c, n);
    *ok = true;
    if (n < limit) return n;
    if (!batch_reserve(s, limit > DIVERSE_BLOCK ? limit : DIVERSE_BLOCK)) {
        *ok = false;
        return 0;
    }
    const float **kept_vecs = s->batch_vecs;
    uint64_t kept = 0;
    for (uint64_t i = 0; i < n && kept < limit; i += DIVERSE_BLOCK) {
        uint32_t m = n - i < DIVERSE_BLOCK ? (uint32_t)(n - i) : DIVERSE_BLOCK;
        uint32_t alive[DIVERSE_BLOCK];
        const float *vecs[DIVERSE_BLOCK];
        for (uint32_t b = 0; b < m; b++) {
            alive[b] = (uint32_t)(i + b);
            vecs[b] = h->vectors[c[i + b].id];
        }
        uint32_t nalive = m;
        uint64_t before = kept;
        refute_block(h, c, alive, vecs, &nalive, kept_vecs, before, s->batch_dist);
        // The survivors still face the ones kept from this block before them.
        for (uint32_t j = 0; j < nalive && kept < limit; j++) {
            hnsw_cand cand = c[alive[j]];
            if (!nearer_to_base(h, cand, kept_vecs + before, kept - before, s->batch_dist)) continue;
            kept_vecs[kept] = vecs[j];
            c[kept++] = cand;
        }
    }
    return kept;
}

// A full neighbour list of nb at layer, with the new node added, trimmed to
// its room by the diverse rule (which may leave the new node out).
static vx_status trim_diverse(vx_hnsw_index *h, uint64_t nb, uint32_t layer, uint64_t new_id,
                              float new_distance, hnsw_scratch *s) {
    uint32_t *list = hnsw_list(h, nb, layer);
    if (!scratch_reserve(&s->trims, &s->trim_cap, list[0] + 1ull)) return VX_ERR_NO_MEMORY;
    bool ok;
    uint64_t n = measure_list(h, nb, layer, s, &ok);
    if (!ok) return VX_ERR_NO_MEMORY;
    for (uint64_t i = 0; i < n; i++) s->trims[i] = {s->batch_dist[i], list[1 + s->batch_ids[i]]};
    s->trims[n++] = {new_distance, new_id};
    uint64_t kept = select_diverse(h, s->trims, n, hnsw_layer_cap(h, layer), s, &ok);
    if (!ok) return VX_ERR_NO_MEMORY;
    for (uint64_t i = 0; i < kept; i++) list[1 + i] = (uint32_t)s->trims[i].id;
    list[0] = (uint32_t)kept;
    return VX_OK;
}

// The linking of a parallel build, first half: node's list at layer takes
// the chosen c[0 .. kept) under node's lock, and the chosen are noted to
// link back once node's lists on every layer are written. Until then no
// list names node, so a walk can reach node on some layer only when its
// lists below are complete; a walk that stepped down into an empty list
// would find node alone and link its own node to it only.
static vx_status link_own_locked(vx_hnsw_index *h, uint64_t node, uint32_t layer, const hnsw_cand *c,
                                 uint64_t kept, hnsw_scratch *s, hnsw_build *b) {
    uint64_t have = s->backlink_count;
    if (!scratch_grow(&s->backlinks, &s->backlink_cap, have + kept, have)) return VX_ERR_NO_MEMORY;
    node_lock(b, node);
    for (uint64_t i = 0; i < kept; i++) link_append_once(h, node, layer, c[i].id);
    node_unlock(b, node);
    for (uint64_t i = 0; i < kept; i++) s->backlinks[have + i] = {c[i].id, c[i].distance, layer};
    s->backlink_count = have + kept;
    return VX_OK;
}

// Second half: each noted neighbour takes node under its own lock, a full
// list being trimmed by the graph's rule while the lock is held. One lock
// at a time.
static vx_status link_back_locked(vx_hnsw_index *h, uint64_t node, hnsw_scratch *s, hnsw_build *b) {
    for (uint64_t i = 0; i < s->backlink_count; i++) {
        hnsw_backlink l = s->backlinks[i];
        if (h->levels[l.id] < l.layer) continue;
        node_lock(b, l.id);
        vx_status st = VX_OK;
        if (!link_append_once(h, l.id, l.layer, node))
            st = h->selection == VX_HNSW_SELECT_DIVERSE
                     ? trim_diverse(h, l.id, l.layer, node, l.distance, s)
                     : prune_by_replacement(h, l.id, l.layer, node, l.distance, s);
        node_unlock(b, l.id);
        if (st != VX_OK) return st;
    }
    return VX_OK;
}

// Links node at layer to at most M of the candidates chosen by the diverse
// rule, and each chosen neighbour back to node (trimming a full list when
// prune is set). b: a parallel build's locks, or null; with b the links back
// are only noted (see link_own_locked).
static vx_status link_layer_diverse(vx_hnsw_index *h, uint64_t node, uint32_t layer,
                                    const uint64_t *list, const float *dist, uint64_t m,
                                    bool prune, hnsw_scratch *s, hnsw_build *b) {
    if (!scratch_reserve(&s->picks, &s->pick_cap, m)) return VX_ERR_NO_MEMORY;
    hnsw_cand *c = s->picks;
    for (uint64_t i = 0; i < m; i++) c[i] = {dist[i], list[i]};
    uint32_t cap = hnsw_layer_cap(h, layer);
    bool ok;
    uint64_t kept = select_diverse(h, c, m, h->M < cap ? h->M : cap, s, &ok);
    if (!ok) return VX_ERR_NO_MEMORY;
    if (b) return link_own_locked(h, node, layer, c, kept, s, b);
    for (uint64_t i = 0; i < kept; i++) {
        uint64_t nb = c[i].id;
        link_append(h, node, layer, nb);
        if (h->levels[nb] < layer) continue;
        if (link_append(h, nb, layer, node) || !prune) continue;
        vx_status st = trim_diverse(h, nb, layer, node, c[i].distance, s);
        if (st != VX_OK) return st;
    }
    return VX_OK;
}

// Links node at layer to the candidates list[0 .. m) (distances in dist),
// keeping the nearest `cap` when there are more (or the diverse choice);
// b as for link_layer_diverse.
static vx_status link_layer(vx_hnsw_index *h, uint64_t node, uint32_t layer, uint64_t *list,
                            float *dist, uint64_t m, bool prune, hnsw_scratch *s, hnsw_build *b) {
    if (h->selection == VX_HNSW_SELECT_DIVERSE)
        return link_layer_diverse(h, node, layer, list, dist, m, prune, s, b);
    uint32_t cap = hnsw_layer_cap(h, layer);
    if (m > cap) {
        hnsw_select_neighbors(list, dist, m, cap);
        m = cap;
    }
    if (b) {
        if (!scratch_reserve(&s->picks, &s->pick_cap, m)) return VX_ERR_NO_MEMORY;
        for (uint64_t i = 0; i < m; i++) s->picks[i] = {dist[i], list[i]};
        return link_own_locked(h, node, layer, s->picks, m, s, b);
    }
    for (uint64_t i = 0; i < m; i++) {
        uint64_t nb = list[i];
        link_append(h, node, layer, nb);
        // A node re-added with a lower level has no list at this layer.
        if (h->levels[nb] < layer) continue;
        if (link_append(h, nb, layer, node) || !prune) continue;
        vx_status st = prune_by_replacement(h, nb, layer, node, dist[i], s);
        if (st != VX_OK) return st;
    }
    return VX_OK;
}

// Without usable candidates (ef_construction 0), the node is linked to the
// nearest nodes of the whole layer.
static vx_status link_layer_exhaustive(vx_hnsw_index *h, uint64_t node, uint32_t layer,
                                       hnsw_scratch *s) {
    uint64_t m = 0;
    for (uint64_t slot = 0; slot < h->capacity; slot++)
        if (h->vectors[slot] && slot != node && h->levels[slot] >= layer) m++;
    if (m == 0) return VX_OK;
    uint64_t *list = (uint64_t *)vx_malloc(m * sizeof(uint64_t));
    float *dist = (float *)vx_malloc(m * sizeof(float));
    if (!list || !dist) {
        vx_free(list);
        vx_free(dist);
        return VX_ERR_NO_MEMORY;
    }
    const float *v = h->vectors[node];
    m = 0;
    for (uint64_t slot = 0; slot < h->capacity; slot++) {
        if (h->vectors[slot] && slot != node && h->levels[slot] >= layer) {
            list[m] = slot;
            dist[m] = index_distance(v, h->vectors[slot], h->dimension, h->metric);
            m++;
        }
    }
    vx_status st = link_layer(h, node, layer, list, dist, m, false, s, nullptr);
    vx_free(list);
    vx_free(dist);
    return st;
}

// Links the placed node id (level, vector v) into the graph from ep on
// layer top downwards. b: a parallel build, whose traversals read lists
// under their nodes' locks and whose links are written under them; null on
// the single-thread path.
template <bool Locked>
static vx_status link_from(vx_hnsw_index *h, uint64_t id, uint32_t level, const float *v, uint64_t ep,
                           uint32_t top, hnsw_scratch *s, hnsw_build *b) {
    if (level < top) {
        if (!visited_begin(&s->visited, h->capacity)) return VX_ERR_NO_MEMORY;
        for (uint32_t lc = top; lc > level; lc--) ep = greedy_walk<Locked>(h, v, ep, lc, s, b);
    }
    uint64_t room = h->ef_construction < h->capacity ? h->ef_construction : h->capacity;
    if (!scratch_reserve(&s->items, &s->item_cap, room ? room : 1)) return VX_ERR_NO_MEMORY;
    uint64_t first = level < top ? level : top;
    for (uint64_t layer = first + 1; layer-- > 0;) {
        uint32_t lc = (uint32_t)layer;
        uint64_t n = 0;
        vx_status st = layer_walk<Locked>(h, v, ep, lc, h->ef_construction, nullptr, nullptr, s->items, &n, s, b);
        if (st != VX_OK) return st;
        if (n == 0) {
            // Only a graph without ef_construction finds nothing; a parallel
            // build never takes one.
            if (Locked) continue;
            st = link_layer_exhaustive(h, id, lc, s);
            if (st != VX_OK) return st;
            continue;
        }
        // The next layer starts from the nearest candidate (first of equals).
        uint64_t nearest = 0;
        for (uint64_t i = 1; i < n; i++)
            if (s->items[i].distance < s->items[nearest].distance) nearest = i;
        uint64_t next_ep = s->items[nearest].id;
        // Candidates in heap order with their distances.
        uint64_t cap = s->link_cap;
        if (!scratch_reserve(&s->link_ids, &cap, n) ||
            !scratch_reserve(&s->link_dist, &s->link_cap, n))
            return VX_ERR_NO_MEMORY;
        uint64_t *list = s->link_ids;
        float *dist = s->link_dist;
        uint64_t m = 0;
        for (uint64_t i = 0; i < n; i++) {
            if (!hnsw_has_node(h, s->items[i].id)) continue;
            // No list names the node before its links back are made; the
            // check keeps a parallel build free of self links regardless.
            if (Locked && s->items[i].id == id) continue;
            list[m] = s->items[i].id;
            dist[m] = s->items[i].distance;
            m++;
        }
        if (m > 0) st = link_layer(h, id, lc, list, dist, m, true, s, b);
        if (st != VX_OK) return st;
        if (m > 0) ep = next_ep;
    }
    return VX_OK;
}

// Inserts one vector (borrowed when the graph borrows); the lock is held by
// the caller.
static vx_status hnsw_insert(vx_hnsw_index *h, uint64_t id, const float *v, hnsw_scratch *s) {
    vx_status st = hnsw_reserve_slot(h, id);
    if (st != VX_OK) return st;
    uint32_t level = hnsw_draw_level(h);
    if (!hnsw_node_place(h, id, level, v)) return VX_ERR_NO_MEMORY;
    if (id < h->scan_from) h->scan_from = id;
    __atomic_store_n(&h->ntotal, h->ntotal + 1, __ATOMIC_RELAXED);

    if (h->entry_point < 0) {
        __atomic_store_n(&h->entry_point, (int64_t)id, __ATOMIC_RELAXED);
        __atomic_store_n(&h->max_level, level, __ATOMIC_RELAXED);
        return VX_OK;
    }
    st = link_from<false>(h, id, level, v, (uint64_t)h->entry_point, h->max_level, s, nullptr);
    if (st != VX_OK) return st;
    if (level > h->max_level) {
        __atomic_store_n(&h->entry_point, (int64_t)id, __ATOMIC_RELAXED);
        __atomic_store_n(&h->max_level, level, __ATOMIC_RELAXED);
    }
    return VX_OK;
}

/* ---- parallel insertion -------------------------------------------------------------- */

// Where a batch's vectors lie: vector i at base + i * dimension, or at
// ptrs[i] when ptrs is set.
struct hnsw_source {
    const uint64_t *ids;
    const float *base;
    const float *const *ptrs;
};

static inline const float *source_vector(const vx_hnsw_index *h, const hnsw_source *src, uint64_t i) {
    return src->ptrs ? src->ptrs[i] : src->base + i * (uint64_t)h->dimension;
}

// Insertions under one hold of the write lock in a parallel build, so that
// searches get in between; and the least batch per thread worth the threads.
static const uint64_t BUILD_CHUNK = 16384;
static const uint64_t BUILD_MIN_PER_THREAD = 2 * 64;

// The thread count an add uses: 0 asks for every core online.
static uint32_t build_thread_count(const vx_hnsw_index *h) {
    uint32_t asked = __atomic_load_n(&h->build_threads, __ATOMIC_RELAXED);
    if (asked == 0) asked = thread_cores_online();
    return asked < VX_HNSW_MAX_BUILD_THREADS ? asked : VX_HNSW_MAX_BUILD_THREADS;
}

void hnsw_set_build_threads(vx_hnsw_index *h, uint32_t threads) {
    __atomic_store_n(&h->build_threads, threads, __ATOMIC_RELAXED);
}

// Links one placed node of a parallel build: its own lists on every layer,
// then its neighbours' links back to it. The entry point and top layer are
// read under the build's top mutex; a node rising above the top layer keeps
// the mutex for its whole insertion, so that no other node rises meanwhile,
// and then becomes the entry point.
static vx_status link_parallel(vx_hnsw_index *h, uint64_t id, hnsw_scratch *s, hnsw_build *b) {
    uint32_t level = h->levels[id];
    vx_mutex_lock(b->top);
    uint64_t ep = (uint64_t)h->entry_point;
    uint32_t top = h->max_level;
    bool rises = level > top;
    if (!rises) vx_mutex_unlock(b->top);
    s->backlink_count = 0;
    vx_status st = link_from<true>(h, id, level, h->vectors[id], ep, top, s, b);
    // The links back noted before a failure are made too: the node is linked
    // as far as its insertion went.
    vx_status back = link_back_locked(h, id, s, b);
    if (st == VX_OK) st = back;
    if (rises) {
        if (st == VX_OK) {
            __atomic_store_n(&h->entry_point, (int64_t)id, __ATOMIC_RELAXED);
            __atomic_store_n(&h->max_level, level, __ATOMIC_RELAXED);
        }
        vx_mutex_unlock(b->top);
    }
    return st;
}

// A worker's loop (the calling thread runs it too): takes the chunk's
// nodes in batch order from the shared counter until they are all taken or
// a worker failed. Every node taken is linked as far as it goes.
static void *build_worker(void *arg) {
    hnsw_build *b = (hnsw_build *)arg;
    vx_hnsw_index *h = b->h;
    hnsw_scratch *s = hnsw_scratch_get();
    vx_status st = s && scratch_reserve(&s->list_copy, &s->list_copy_cap, h->base_stride) ? VX_OK
                                                                                         : VX_ERR_NO_MEMORY;
    while (st == VX_OK && __atomic_load_n(&b->failure, __ATOMIC_RELAXED) == VX_OK) {
        uint64_t i = __atomic_fetch_add(&b->next, 1, __ATOMIC_RELAXED);
        if (i >= b->count) break;
        st = link_parallel(h, b->ids[i], s, b);
    }
    vx_status none = VX_OK;
    if (st != VX_OK) __atomic_compare_exchange_n(&b->failure, &none, st, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    return nullptr;
}

// Whether ids[0 .. n) (inside the tables) are distinct and hold no node: a
// parallel build places every node of a chunk before linking any, which
// holds only for fresh ids. Unknown (memory short) counts as no.
static bool ids_fresh(const vx_hnsw_index *h, const uint64_t *ids, uint64_t n) {
    uint64_t words = (h->capacity + 63) / 64;
    uint64_t *seen = (uint64_t *)vx_calloc(words, sizeof(uint64_t));
    if (!seen) return false;
    bool fresh = true;
    for (uint64_t i = 0; i < n && fresh; i++) {
        uint64_t id = ids[i];
        uint64_t bit = 1ull << (id & 63);
        fresh = !h->vectors[id] && !(seen[id >> 6] & bit);
        seen[id >> 6] |= bit;
    }
    vx_free(seen);
    return fresh;
}

// Takes back the nodes placed for ids[0 .. n) that no worker linked: no list
// names them, so the graph is as if they had never been added.
static void unplace(vx_hnsw_index *h, const uint64_t *ids, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) h->vectors[ids[i]] = nullptr;
    __atomic_store_n(&h->present, h->present - n, __ATOMIC_RELAXED);
    __atomic_store_n(&h->ntotal, h->ntotal - n, __ATOMIC_RELAXED);
}

// Places the chunk's nodes in batch order, with the levels a one-thread
// build would draw; none is reachable until a worker links it. On failure
// the ones placed are taken back.
static vx_status place_chunk(vx_hnsw_index *h, const hnsw_source *src, uint64_t from, uint64_t n) {
    for (uint64_t i = 0; i < n; i++) {
        uint64_t id = src->ids[from + i];
        uint32_t level = hnsw_draw_level(h);
        if (!hnsw_node_place(h, id, level, source_vector(h, src, from + i))) {
            __atomic_store_n(&h->ntotal, h->ntotal + i, __ATOMIC_RELAXED);
            unplace(h, src->ids + from, i);  // the failed node was left unset
            return VX_ERR_NO_MEMORY;
        }
        if (id < h->scan_from) h->scan_from = id;
    }
    __atomic_store_n(&h->ntotal, h->ntotal + n, __ATOMIC_RELAXED);
    return VX_OK;
}

// Inserts vectors from .. from + n of src on `threads` threads (the caller
// one of them); the write lock is held. *parallel is false when the chunk
// does not suit a parallel build (ids reused, no memory for the locks):
// nothing was done and the caller inserts it one vector at a time.
static vx_status insert_chunk_parallel(vx_hnsw_index *h, const hnsw_source *src, uint64_t from,
                                       uint64_t n, uint32_t threads, hnsw_scratch *s, bool *parallel) {
    *parallel = false;
    for (uint64_t i = 0; i < n; i++) {
        vx_status st = hnsw_reserve_slot(h, src->ids[from + i]);
        if (st != VX_OK) return VX_OK;  // the one-at-a-time path reports it in its place
    }
    if (!ids_fresh(h, src->ids + from, n)) return VX_OK;
    hnsw_build b;
    b.locks = (uint32_t *)vx_calloc(HNSW_NODE_LOCKS, sizeof(uint32_t));
    if (!b.locks) return VX_OK;
    if (vx_mutex_create(nullptr, 0, &b.top) != VX_OK) {
        vx_free(b.locks);
        return VX_OK;
    }
    *parallel = true;
    // The first node of an empty graph is its entry point and needs no links.
    vx_status st = VX_OK;
    if (h->entry_point < 0) {
        st = hnsw_insert(h, src->ids[from], source_vector(h, src, from), s);
        from++, n--;
    }
    if (st == VX_OK) st = place_chunk(h, src, from, n);
    if (st == VX_OK) {
        b.h = h;
        b.ids = src->ids + from;
        b.count = n;
        b.next = 0;
        b.failure = VX_OK;
        // Every worker takes nodes from one counter, so a thread that cannot
        // be started leaves its share to the others.
        thread_run_shares(build_worker, &b, 0, threads);
        st = b.failure;
        uint64_t taken = b.next < n ? b.next : n;
        if (taken < n) unplace(h, b.ids + taken, n - taken);
    }
    vx_mutex_destroy(b.top);
    vx_free(b.locks);
    return st;
}

// Inserts count vectors of src. One thread: the whole batch under one hold
// of the write lock, in batch order. More: chunks of BUILD_CHUNK under
// separate holds, each linked by the threads together when large enough.
static vx_status hnsw_add_from(vx_hnsw_index *h, const hnsw_source *src, uint64_t count) {
    hnsw_scratch *s = hnsw_scratch_get();
    if (!s) return VX_ERR_NO_MEMORY;
    uint32_t threads = build_thread_count(h);
    uint64_t least = (uint64_t)threads * BUILD_MIN_PER_THREAD;
    if (threads <= 1 || count < least) {
        write_guard writing(h->lock);
        if (!writing.held()) return writing.status();
        vx_status st = VX_OK;
        for (uint64_t i = 0; i < count && st == VX_OK; i++)
            st = hnsw_insert(h, src->ids[i], source_vector(h, src, i), s);
        return st;
    }
    for (uint64_t from = 0; from < count;) {
        uint64_t n = count - from < BUILD_CHUNK ? count - from : BUILD_CHUNK;
        write_guard writing(h->lock);
        if (!writing.held()) return writing.status();
        bool parallel = false;
        vx_status st = VX_OK;
        if (n >= least && h->ef_construction > 0)
            st = insert_chunk_parallel(h, src, from, n, threads, s, &parallel);
        for (uint64_t i = from; !parallel && i < from + n && st == VX_OK; i++)
            st = hnsw_insert(h, src->ids[i], source_vector(h, src, i), s);
        if (st != VX_OK) return st;
        from += n;
    }
    return VX_OK;
}

// Adds count vectors, copied into the graph's store or, when the graph
// borrows, taken as they lie (vectors[i * dimension] must then stay put).
vx_status hnsw_add_batch(vx_hnsw_index *h, const uint64_t *ids, const float *vectors,
                         uint64_t count) {
    hnsw_source src = {ids, vectors, nullptr};
    return hnsw_add_from(h, &src, count);
}

vx_status hnsw_add_batch_at(vx_hnsw_index *h, const uint64_t *ids, const float *const *vectors,
                            uint64_t count) {
    hnsw_source src = {ids, nullptr, vectors};
    return hnsw_add_from(h, &src, count);
}

vx_status index_add_vectors_at(vx_index *index, const uint64_t *ids, const float *const *vectors,
                               uint64_t count) {
    if (!index || !index->body || !ids || !vectors) return VX_ERR_INVALID_ARG;
    if (!index->kind->graph || !(index->kind->ops & KIND_ADDS)) return VX_ERR_NOT_SUPPORTED;
    if (count == 0) return VX_OK;
    return hnsw_add_batch_at((vx_hnsw_index *)index->body, ids, vectors, count);
}

// First filled slot in slot order, or VX_HNSW_NO_NODE; every slot below
// scan_from is known to be empty.
static uint64_t hnsw_first_node(vx_hnsw_index *h) {
    for (uint64_t slot = h->scan_from; slot < h->capacity; slot++) {
        if (h->vectors[slot]) {
            h->scan_from = slot;
            return slot;
        }
    }
    h->scan_from = h->capacity;
    return VX_HNSW_NO_NODE;
}

/* ---- removal ----------------------------------------------------------------------- */

// Appends to c[0 .. *n) the links of the list block that name nodes on
// layer, other than base, each once (a re-added id may stand twice in a list).
static void add_relink_candidates(const vx_hnsw_index *h, const uint32_t *list, uint32_t layer,
                                  uint64_t base, hnsw_cand *c, uint64_t *n) {
    for (uint32_t j = 1; j <= list[0]; j++) {
        uint64_t id = list[j];
        if (id == base || !hnsw_has_node(h, id) || h->levels[id] < layer) continue;
        bool seen = false;
        for (uint64_t i = 0; i < *n && !seen; i++) seen = c[i].id == id;
        if (!seen) c[(*n)++] = {0.0f, id};
    }
}

// Rechooses nb's list at layer, which linked to a node just removed, from
// its remaining links and the removed node's links (gone_list) by the
// diverse rule, as a trim would. The list is written only once the choice
// is made, so a memory failure leaves it as it was.
static vx_status relink_neighbour(vx_hnsw_index *h, uint64_t nb, uint32_t layer,
                                  const uint32_t *gone_list, hnsw_scratch *s) {
    uint32_t *list = hnsw_list(h, nb, layer);
    uint64_t room = (uint64_t)list[0] + gone_list[0];
    if (!scratch_reserve(&s->trims, &s->trim_cap, room) || !batch_reserve(s, room))
        return VX_ERR_NO_MEMORY;
    hnsw_cand *c = s->trims;
    uint64_t n = 0;
    add_relink_candidates(h, list, layer, nb, c, &n);
    add_relink_candidates(h, gone_list, layer, nb, c, &n);
    for (uint64_t i = 0; i < n; i++) s->batch_vecs[i] = h->vectors[c[i].id];
    index_distance_batch(h->vectors[nb], s->batch_vecs, n, h->dimension, h->metric, s->batch_dist);
    for (uint64_t i = 0; i < n; i++) c[i].distance = s->batch_dist[i];
    bool ok;
    uint64_t kept = select_diverse(h, c, n, hnsw_layer_cap(h, layer), s, &ok);
    if (!ok) return VX_ERR_NO_MEMORY;
    for (uint64_t i = 0; i < kept; i++) list[1 + i] = (uint32_t)c[i].id;
    list[0] = (uint32_t)kept;
    return VX_OK;
}

// After gone left the diverse graph, every neighbour that linked back to it
// is relinked on each of gone's layers, so that churn does not wear the
// graph into islands. The work is bounded by the list sizes alone: each of
// gone's at most 2M neighbours chooses among at most 4M candidates.
static vx_status relink_around(vx_hnsw_index *h, uint64_t gone, hnsw_scratch *s) {
    for (uint32_t layer = 0; layer <= h->levels[gone]; layer++) {
        const uint32_t *gone_list = hnsw_list(h, gone, layer);
        for (uint32_t j = 1; j <= gone_list[0]; j++) {
            uint64_t nb = gone_list[j];
            if (!hnsw_has_node(h, nb) || h->levels[nb] < layer) continue;
            if (!list_holds(hnsw_list(h, nb, layer), gone)) continue;
            vx_status st = relink_neighbour(h, nb, layer, gone_list, s);
            if (st != VX_OK) return st;
        }
    }
    return VX_OK;
}

// The node leaves at once; its lists stay readable (nothing frees them)
// for the diverse graph's relinking. The nearest-link graph leaves its
// neighbours' links dangling, as traversals skip them.
vx_status hnsw_remove(vx_hnsw_index *h, uint64_t id) {
    write_guard writing(h->lock);
    if (!writing.held()) return writing.status();
    if (!hnsw_has_node(h, id)) return VX_OK;
    h->vectors[id] = nullptr;
    __atomic_store_n(&h->present, h->present - 1, __ATOMIC_RELAXED);
    if (h->entry_point >= 0 && (uint64_t)h->entry_point == id) {
        uint64_t first = hnsw_first_node(h);
        bool any = first != VX_HNSW_NO_NODE;
        __atomic_store_n(&h->entry_point, any ? (int64_t)first : (int64_t)-1, __ATOMIC_RELAXED);
        __atomic_store_n(&h->max_level, any ? h->levels[first] : 0u, __ATOMIC_RELAXED);
    }
    if (h->selection != VX_HNSW_SELECT_DIVERSE) return VX_OK;
    hnsw_scratch *s = hnsw_scratch_get();
    if (!s) return VX_ERR_NO_MEMORY;
    return relink_around(h, id, s);
}

/* ---- search -------------------------------------------------------------------------- */

static int32_t compare_items(const void *a, const void *b) {
    float da = ((const vx_heap_item *)a)->distance;
    float db = ((const vx_heap_item *)b)->distance;
    if (da < db) return -1;
    if (da > db) return 1;
    return 0;
}

// Start of a search: the entry point, or the first usable node when the
// entry point cannot be used; VX_HNSW_NO_NODE when there is none.
static uint64_t hnsw_search_start(const vx_hnsw_index *h, uint32_t *top) {
    if (h->entry_point < 0) return VX_HNSW_NO_NODE;
    if (hnsw_has_node(h, (uint64_t)h->entry_point)) {
        *top = h->max_level;
        return (uint64_t)h->entry_point;
    }
    for (uint64_t slot = h->scan_from; slot < h->capacity; slot++) {
        if (h->vectors[slot]) {
            *top = h->levels[slot];
            return slot;
        }
    }
    return VX_HNSW_NO_NODE;
}

uint64_t hnsw_search(vx_hnsw_index *h, const float *query, uint64_t k,
                     vx_search_result *results) {
    return hnsw_search_accepting(h, query, k, nullptr, nullptr, results);
}

uint64_t hnsw_search_accepting(vx_hnsw_index *h, const float *query, uint64_t k, index_accept_fn accept,
                               void *context, vx_search_result *results) {
    read_guard reading(h->lock);
    if (!reading.held()) return 0;
    uint64_t hits = 0;
    uint32_t top = 0;
    uint64_t start = h->ntotal ? hnsw_search_start(h, &top) : VX_HNSW_NO_NODE;
    hnsw_scratch *s = hnsw_scratch_get();
    uint32_t ef_search = __atomic_load_n(&h->ef_search, __ATOMIC_RELAXED);
    uint32_t ef = ef_search > (uint32_t)k ? ef_search : (uint32_t)k;
    uint64_t room = ef < h->capacity ? ef : h->capacity;
    if (start != VX_HNSW_NO_NODE && s && scratch_reserve(&s->items, &s->item_cap, room ? room : 1) &&
        visited_begin(&s->visited, h->capacity)) {
        uint64_t ep = start;
        for (uint32_t lc = top; lc >= 1; lc--) ep = hnsw_greedy_search(h, query, ep, lc, s);
        uint64_t n = 0;
        if (hnsw_layer_search_accepting(h, query, ep, 0, ef, accept, context, s->items, &n, s) == VX_OK) {
            vx_qsort_simple(s->items, n, sizeof(vx_heap_item), compare_items);
            hits = n < k ? n : k;
            for (uint64_t i = 0; i < hits; i++) {
                results[i].id = s->items[i].id;
                results[i].distance = s->items[i].distance;
            }
        }
    }
    // The hits are in order already; this pass decides only where equal
    // distances stand (the sort is not stable beyond 16 items), and answers
    // keep the order of equal distances they have always had.
    vx_qsort_simple(results, hits, sizeof(vx_search_result), compare_results);
    // Hits ranked as +inf report their true distance (NaN or +inf).
    for (uint64_t i = 0; i < hits; i++)
        if (results[i].distance == __builtin_inff())
            results[i].distance = index_distance(query, h->vectors[results[i].id], h->dimension, h->metric);
    return hits;
}

/* ---- family table ------------------------------------------------------------------ */

static void *hnsw_body_create(vx_arena *arena, const vx_index_params *params) {
    vx_hnsw_index *h = vx_hnsw_create(arena, params->dimension, &params->family.hnsw);
    if (!h) return nullptr;
    h->type = params->type;
    h->quant_type = params->quant_type;
    h->metric = index_metric_normalize(params->metric);
    index_attach_quantizers(arena, params, VX_INDEX_HNSW_PQ, VX_INDEX_HNSW_SQ, &h->pq, &h->sq);
    return h;
}

// The memory estimate, a fixed formula: body plus handle, 8 bytes per
// slot, and per node its vector and a fixed share for its lists.
static const uint64_t HNSW_FIXED_BYTES = 168;
static const uint64_t HNSW_NODE_BYTES = 64;

static uint64_t hnsw_memory(const void *body) {
    const vx_hnsw_index *h = (const vx_hnsw_index *)body;
    uint64_t capacity = __atomic_load_n(&h->capacity, __ATOMIC_ACQUIRE);
    uint64_t present = __atomic_load_n(&h->present, __ATOMIC_RELAXED);
    return HNSW_FIXED_BYTES + 8 * capacity + present * (4ull * h->dimension + HNSW_NODE_BYTES);
}

static void hnsw_body_destroy(void *body) { vx_hnsw_destroy((vx_hnsw_index *)body); }
static vx_status hnsw_body_add(void *body, const uint64_t *ids, const float *v, uint64_t n) {
    return hnsw_add_batch((vx_hnsw_index *)body, ids, v, n);
}
static vx_status hnsw_body_remove(void *body, uint64_t id) { return hnsw_remove((vx_hnsw_index *)body, id); }
static uint64_t hnsw_body_search(void *body, const float *q, uint64_t k, vx_search_result *out) {
    return hnsw_search((vx_hnsw_index *)body, q, k, out);
}

static uint64_t hnsw_body_search_accepting(void *body, const float *q, uint64_t k, index_accept_fn accept,
                                           void *context, vx_search_result *out) {
    return hnsw_search_accepting((vx_hnsw_index *)body, q, k, accept, context, out);
}
static void hnsw_set_width(void *body, uint32_t width) {
    __atomic_store_n(&((vx_hnsw_index *)body)->ef_search, width, __ATOMIC_RELAXED);
}
static uint32_t hnsw_dimension(const void *body) { return ((const vx_hnsw_index *)body)->dimension; }
static uint64_t hnsw_ntotal(const void *body) {
    return __atomic_load_n(&((const vx_hnsw_index *)body)->ntotal, __ATOMIC_RELAXED);
}
static int32_t hnsw_trained(const void *) { return 1; }
static int32_t hnsw_metric(const void *body) { return ((const vx_hnsw_index *)body)->metric; }
static void hnsw_stats(const void *body, vx_index_stats *stats) {
    stats->max_level = vx_hnsw_get_max_level((const vx_hnsw_index *)body);
}
static void hnsw_shape(const void *body, vx_index_shape *shape) {
    const vx_hnsw_index *h = (const vx_hnsw_index *)body;
    shape->M = h->M;
    shape->ef_construction = h->ef_construction;
    shape->ef_search = __atomic_load_n(&h->ef_search, __ATOMIC_RELAXED);
}
static void hnsw_apply_shape(const vx_index_shape *shape, vx_index_params *p) {
    if (shape->M) p->family.hnsw.M = shape->M;
    if (shape->ef_construction) p->family.hnsw.ef_construction = shape->ef_construction;
    if (shape->ef_search) p->family.hnsw.ef_search = shape->ef_search;
}

// The graph learns nothing before adds: no train entry.
const vx_index_family hnsw_family = {
    hnsw_body_create, hnsw_body_destroy, nullptr, hnsw_body_add, hnsw_body_remove,
    hnsw_body_search, hnsw_set_width, hnsw_dimension, hnsw_ntotal, hnsw_trained, hnsw_metric,
    hnsw_memory, hnsw_stats, hnsw_shape, hnsw_apply_shape, hnsw_file_write, hnsw_file_read,
    hnsw_body_search_accepting,
};
