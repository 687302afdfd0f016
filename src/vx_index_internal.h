// Index structures shared by the index modules and by the code that persists
// or reports on indexes: the handle, the result heap, the graph and
// inverted-file bodies.
#ifndef VX_INDEX_INTERNAL_H
#define VX_INDEX_INTERNAL_H

#include "vexal.h"
#include "vx_index_access.h"

struct vx_pq_quantizer;
struct vx_sq_quantizer;

#define VX_HNSW_INITIAL_CAPACITY 4096ull
// Layer-0 lists live in pages of up to 1,024 ids and about this many bytes,
// so sparse ids cost a page pointer each, not a list block each, and one
// stray id never costs more than a page.
#define VX_HNSW_PAGE_BYTES 65536ull
#define VX_HNSW_PAGE_SHIFT_MAX 10
#define VX_HNSW_DEFAULT_SEED 12345ull
// The most threads one graph add runs on, whatever was asked.
#define VX_HNSW_MAX_BUILD_THREADS 64u
// Most bytes one node's lists above layer 0 may take (levels far beyond any
// use); a node that would need more is refused.
#define VX_HNSW_MAX_UPPER_BYTES (64ull << 20)
#define VX_IVF_LIST_INITIAL_CAPACITY 1024ull

/* ---- families and kinds ----------------------------------------------------- */

// What one family of indexes does with its body. The handle picks its
// family once, when it is made, and every call goes through this table.
struct vx_index_family {
    // A body for params in arena (type, metric and quantizers set); null when
    // the parameters are bad or memory is short.
    void *(*create)(vx_arena *arena, const vx_index_params *params);
    void (*destroy)(void *body);
    // Learns from n vectors before adds are accepted; null: nothing to learn.
    vx_status (*train)(void *body, const float *vectors, uint64_t n);
    vx_status (*add_batch)(void *body, const uint64_t *ids, const float *vectors, uint64_t n);
    vx_status (*remove)(void *body, uint64_t id);
    // Nearest first; returns the hit count (<= k).
    uint64_t (*search)(void *body, const float *query, uint64_t k, vx_search_result *results);
    // Safe while other threads search: the width is read atomically.
    void (*set_search_width)(void *body, uint32_t width);
    uint32_t (*dimension)(const void *body);
    uint64_t (*ntotal)(const void *body);
    int32_t (*trained)(const void *body);
    int32_t (*metric)(const void *body);
    uint64_t (*memory)(const void *body);
    // The family's own figures (list count or top layer).
    void (*stats)(const void *body, vx_index_stats *stats);
    // The build parameters a collection file keeps for the kind.
    void (*shape)(const void *body, vx_index_shape *shape);
    void (*apply_shape)(const vx_index_shape *shape, vx_index_params *params);
    // The family's part of an index file, after the kind word.
    void (*write)(struct file_writer *o, const void *body);
    vx_index *(*read)(struct in_file *in, vx_arena *arena, int32_t kind);
    // search that reports only what accept takes, filtering inside the
    // walk; null for families that cannot.
    uint64_t (*search_accepting)(void *body, const float *query, uint64_t k, index_accept_fn accept,
                                 void *context, vx_search_result *results);
};

// Operations a kind leaves out of its family's.
enum {
    KIND_ADDS = 1,           // add_batch accepted (else VX_ERR_NOT_SUPPORTED)
    KIND_REMOVES = 2,        // remove reaches the body (else a no-op)
    KIND_SEARCHES = 4,       // search reaches the body (else no hits)
    KIND_KEEPS_SHAPE = 8,    // collection files record its build parameters
};

struct vx_index_kind {
    int32_t type;
    const vx_index_family *family;
    int32_t graph;           // 1 for the graph family
    uint32_t ops;            // KIND_* flags
};

// The families' file sections (vx_index_file.cpp).
void hnsw_file_write(struct file_writer *o, const void *body);
vx_index *hnsw_file_read(struct in_file *in, vx_arena *arena, int32_t kind);
void ivf_file_write(struct file_writer *o, const void *body);
vx_index *ivf_file_read(struct in_file *in, vx_arena *arena, int32_t kind);

extern const vx_index_family hnsw_family;
extern const vx_index_family ivf_family;

// The kind record of type, or null for flat and unknown kinds.
const vx_index_kind *index_kind_of(int32_t type);

// Attaches the quantizers a kind asks for; one that cannot be made stays
// null and the body stores raw vectors instead.
void index_attach_quantizers(vx_arena *arena, const vx_index_params *p, int32_t pq_kind,
                             int32_t sq_kind, struct vx_pq_quantizer **pq,
                             struct vx_sq_quantizer **sq);

/* ---- handle ---------------------------------------------------------------- */

struct vx_index {
    int32_t type;                // vx_index_type
    const vx_index_kind *kind;   // chosen once at creation, never null
    void *body;                  // the family's body
    vx_arena *arena;             // holds the handle, the body and everything stored
    int32_t owns_arena;          // destroyed with the index
};

/* ---- result heap ----------------------------------------------------------- */

struct vx_heap_item {
    uint64_t id;
    float distance;
    uint32_t tag; // layer number in graph searches, 0 in list scans
};

// A bounded max-heap on distance keeping the `capacity` smallest distances
// pushed; items[0] is the largest kept. capacity 0 accepts nothing.
struct vx_result_heap {
    vx_heap_item *items;
    uint64_t count;
    uint64_t capacity;
};

// Offers one item; equal to the root when full means rejected, so among
// equal distances the earlier pushes stay.
void heap_offer(vx_result_heap *heap, uint64_t id, uint32_t tag, float distance);
// Orders vx_search_result records by ascending distance (-1, 0, 1; NaN
// compares equal).
int32_t compare_results(const void *a, const void *b);

// The distance of every index computation: vx_vec_distance under metric for
// present vectors, VX_DISTANCE_SENTINEL when either vector is missing or the
// dimension is 0.
float index_distance(const float *a, const float *b, uint32_t dim, int32_t metric);
// out[i] = index_distance(query, vectors[i], dim, metric) for i < n.
void index_distance_batch(const float *query, const float *const *vectors, uint64_t n,
                          uint32_t dim, int32_t metric, float *out);
// The same with an admission bound: under squared L2 (metric 0) a distance
// above bound may come back as any value in (bound, exact] (see
// batch_l2_squared_bounded); other metrics give the full values.
void index_distance_batch_bounded(const float *query, const float *const *vectors, uint64_t n,
                                  uint32_t dim, int32_t metric, float bound, float *out);
/* ---- graph ------------------------------------------------------------------ */

// No node: the value of a link slot that names nothing. Ids stay below it.
#define VX_HNSW_NO_NODE 0xFFFFFFFFu

// Nodes are found by id through flat tables indexed by id (ids are slots).
// Each layer's neighbour list is a fixed-size block of 32-bit words, the
// count first and the links after it: layer 0's blocks lie side by side in
// one array, the upper layers' blocks of a node together in one allocation.
// A node's vector is read through its pointer: into the graph's own store
// (chunks filled in insertion order) or, for a graph that borrows, into the
// owner's storage.
//
// Fields the index reads without the lock (ntotal, present, capacity,
// store_chunks, upper_bytes, max_level, entry_point) are written with atomic
// stores under the write lock and read with atomic loads.
struct vx_hnsw_index {
    int32_t type;
    uint32_t dimension;
    uint64_t ntotal;          // nodes ever placed; removals keep it
    uint32_t M;
    uint32_t ef_construction;
    uint32_t ef_search;
    uint32_t max_level_cap;   // 0: no cap
    uint32_t seed;            // as given
    float level_mult;
    uint64_t capacity;        // id slots in the tables below
    const float **vectors;    // per id: the node's vector; null for no node
    uint32_t *levels;         // per id: member of layers 0 .. level
    uint32_t **base_pages;    // per 2^page_shift ids: their layer-0 blocks of
                              // base_stride words, made when a node lands there
    uint32_t page_shift;
    uint32_t **upper_links;   // per id: level blocks of upper_stride words
    uint32_t base_stride;     // 1 + 2M
    uint32_t upper_stride;    // 1 + M
    uint64_t present;         // ids with a node
    float **store_chunks;     // the graph's own vectors
    uint64_t store_count;     // chunks in use
    uint64_t store_room;      // chunk pointers allocated
    uint32_t chunk_vectors;   // vectors per chunk
    uint32_t chunk_used;      // vectors placed in the last chunk
    uint64_t upper_bytes;     // held by upper-layer blocks
    int32_t borrows;          // vectors are the adder's, not copied
    uint32_t max_level;       // top layer
    int64_t entry_point;      // -1 while the graph is empty
    int32_t quant_type;
    struct vx_pq_quantizer *pq;
    struct vx_sq_quantizer *sq;
    vx_arena *arena;
    vx_rwlock *lock;          // in the arena
    uint64_t effective_seed;  // seed, or 12345 when 0
    uint32_t reserved;        // stored in the index file's reserved field
    int32_t metric;           // ranking metric (0 L2, 1 inner product, 2 cosine)
    int32_t owns_arena;       // made by vx_hnsw_create itself
    uint64_t scan_from;       // every slot below it is empty
    int32_t selection;        // VX_HNSW_SELECT_NEAREST or VX_HNSW_SELECT_DIVERSE
    uint64_t level_state;     // the diverse graph's own level generator
    uint32_t build_threads;   // threads of later adds: 1 the caller alone, 0 every core
};

// Whether id names a node the traversals can use.
static inline bool hnsw_has_node(const vx_hnsw_index *h, uint64_t id) {
    return id < h->capacity && h->vectors[id];
}

// Room of one list at layer: 2M at layer 0, M above.
static inline uint32_t hnsw_layer_cap(const vx_hnsw_index *h, uint32_t layer) {
    return (layer == 0 ? h->base_stride : h->upper_stride) - 1;
}

// The list block of id's node at layer (layer <= its level): the count in
// word 0, the links after it.
static inline uint32_t *hnsw_list(const vx_hnsw_index *h, uint64_t id, uint32_t layer) {
    if (layer == 0)
        return h->base_pages[id >> h->page_shift] +
               (id & ((1ull << h->page_shift) - 1)) * h->base_stride;
    return h->upper_links[id] + (uint64_t)(layer - 1) * h->upper_stride;
}

// Makes the tables hold slot id (2 * id + 2 slots when they grow);
// VX_ERR_NO_MEMORY, also for ids that do not fit a link slot.
vx_status hnsw_reserve_slot(vx_hnsw_index *h, uint64_t id);
// Grows the tables to `slots` (never shrinks); false when memory is short
// or slots exceed what a link slot can name.
bool hnsw_grow_tables(vx_hnsw_index *h, uint64_t slots);
// Places a node for id (inside the tables) on layers 0 .. level with empty
// lists and the given vector: borrowed as is when the graph borrows, else
// copied into the graph's own store (left unfilled for a null vector, for
// the caller to fill through h->vectors[id]). False when memory is short.
bool hnsw_node_place(vx_hnsw_index *h, uint64_t id, uint32_t level, const float *vector);
// Frees the tables and the vector store (not the arena).
void hnsw_release_tables(vx_hnsw_index *h);

// Graph insertion and removal (callers check arguments; these take the lock).
vx_status hnsw_add_batch(vx_hnsw_index *h, const uint64_t *ids, const float *vectors,
                         uint64_t count);
vx_status hnsw_remove(vx_hnsw_index *h, uint64_t id);
// hnsw_add_batch with vector i at vectors[i] (borrowed by a borrowing graph).
vx_status hnsw_add_batch_at(vx_hnsw_index *h, const uint64_t *ids, const float *const *vectors,
                            uint64_t count);
// How many threads later adds use (0: every core online; at most
// VX_HNSW_MAX_BUILD_THREADS). With more than one, a batch of at least 128
// vectors per thread is inserted in chunks of 16,384 under separate holds
// of the write lock, each chunk's nodes linked by the threads together
// (link lists read and written under striped node locks); the graph then
// depends on the threads' timing. With one, insertion is in batch order on
// the calling thread and the graph depends on the seed and input alone.
void hnsw_set_build_threads(vx_hnsw_index *h, uint32_t threads);
// Graph search into results, nearest first; returns the hit count (<= k).
uint64_t hnsw_search(vx_hnsw_index *h, const float *query, uint64_t k,
                     vx_search_result *results);
// hnsw_search reporting only ids accept takes (null: every id); the walk on
// layer 0 passes through the others and goes on until it holds ef hits.
uint64_t hnsw_search_accepting(vx_hnsw_index *h, const float *query, uint64_t k, index_accept_fn accept,
                               void *context, vx_search_result *results);

// Per-thread working memory of the traversals (visited marks, candidate
// heap, distance batches), grown with the general allocator and released
// when the thread ends; null when it cannot be had.
struct hnsw_scratch;
hnsw_scratch *hnsw_scratch_get(void);
// Starts an empty visited set for ids below the table's capacity; false
// when memory is short.
bool hnsw_visited_begin(hnsw_scratch *s, uint64_t capacity);

// One step-at-a-time descent on `layer` from ep; returns the id reached.
// The visited set started by the caller persists across the calls of one
// descent.
uint64_t hnsw_greedy_search(const vx_hnsw_index *h, const float *query, uint64_t ep,
                            uint32_t layer, hnsw_scratch *s);
// Best-first search on `layer` from ep keeping the ef nearest: writes up to
// ef items (heap order) to out (room for min(ef, capacity) items) and their
// number to out_count. VX_ERR_NO_MEMORY when working memory is short.
vx_status hnsw_layer_search(const vx_hnsw_index *h, const float *query, uint64_t ep,
                            uint32_t layer, uint32_t ef, vx_heap_item *out,
                            uint64_t *out_count, hnsw_scratch *s);
// hnsw_layer_search whose heap takes only nodes accept takes (null: all);
// the others are still walked through.
vx_status hnsw_layer_search_accepting(const vx_hnsw_index *h, const float *query, uint64_t ep,
                                      uint32_t layer, uint32_t ef, index_accept_fn accept,
                                      void *context, vx_heap_item *out, uint64_t *out_count,
                                      hnsw_scratch *s);
// Reorders list[0 .. m) so that its first `count` entries are the nearest to v
// in ascending distance (earliest of equal distances first); dist holds each
// entry's distance to v and is reordered along.
void hnsw_select_neighbors(uint64_t *list, float *dist, uint64_t m, uint64_t count);
// Sets the neighbour selection and seeds the graph's own level generator
// from the effective seed (the diverse graph draws from it); no lock.
void hnsw_set_selection(vx_hnsw_index *h, int32_t selection);
// Makes an empty graph borrow the vectors it is given (under the write
// lock); VX_ERR_INVALID_ARG once vectors were added.
vx_status hnsw_borrow_vectors(vx_hnsw_index *h);
// hnsw_set_selection under the write lock for a graph without vectors;
// VX_ERR_INVALID_ARG once vectors were added.
vx_status hnsw_choose_selection(vx_hnsw_index *h, int32_t selection);

/* ---- inverted file ---------------------------------------------------------- */

struct vx_ivf_entry {
    uint64_t id;
    float *vector;   // raw entries
    uint8_t *code;   // quantized entries (pq m bytes or sq dimension bytes)
};

struct vx_ivf_list {
    float *centroid;        // dimension floats, zero until training
    vx_ivf_entry *entries;  // in the arena; doubles when full
    uint64_t count;
    uint64_t capacity;
    vx_rwlock *lock;        // from the general allocator
    // Raw vectors are carved from chunks of the list's own, so that a scan
    // of the list streams through memory.
    float *vector_chunk;    // next free vector slot, or null
    uint64_t vector_chunk_free;
};

// Fields read without a lock (ntotal, trained, list counts) are accessed
// atomically.
struct vx_ivf_index {
    int32_t type;
    int32_t metric;           // ranking metric, also handed to the quantizers
    uint32_t dimension;
    uint64_t ntotal;          // vectors added by successful batches
    uint32_t nlist;
    uint32_t nprobe;
    uint32_t iterations;
    uint32_t reserved0;       // ignored parameter slot
    uint32_t reserved1;       // kept parameter slot
    vx_ivf_list *lists;
    uint32_t list_count;
    int32_t quant_type;
    struct vx_pq_quantizer *pq;
    struct vx_sq_quantizer *sq;
    vx_arena *arena;
    vx_mutex *mutex;          // one add batch at a time; general allocator
    uint32_t trained;
    int32_t owns_arena;       // made by vx_ivf_create itself
};

vx_status ivf_train(vx_ivf_index *ivf, const float *vectors, uint64_t n);
vx_status ivf_add_batch(vx_ivf_index *ivf, const uint64_t *ids, const float *vectors,
                        uint64_t count);
// Answers nq queries of an IVF index over raw vectors together: results +
// i * k and counts[i] receive what ivf_search gives query i. False (and
// nothing promised about the outputs) for other kinds, an untrained index,
// k 0, no probes or no memory; the caller then asks query by query.
bool ivf_search_batch(vx_ivf_index *ivf, const float *queries, uint64_t nq, uint64_t k,
                      vx_search_result *results, uint64_t *counts);
uint64_t ivf_search(vx_ivf_index *ivf, const float *query, uint64_t k,
                    vx_search_result *results);

#endif
