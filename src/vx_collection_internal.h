// The collection, shared by the collection modules, the database facade and
// the collection file code.
#ifndef VX_COLLECTION_INTERNAL_H
#define VX_COLLECTION_INTERNAL_H

#include "vexal.h"

#define VX_COLLECTION_INITIAL_CAPACITY 4096
#define VX_COLLECTION_MIN_GROWTH 1024
#define VX_COLLECTION_OWN_ARENA 0x400000
// The index threshold of a collection whose index is dormant: far above any
// real count, so only a successful build (which sets it to 0) switches the
// index on for insertions and searches.
#define VX_COLLECTION_DORMANT_THRESHOLD 100000000ull
#define VX_COLLECTION_DEFAULT_K 10
#define VX_COLLECTION_DEFAULT_REFINE 4

struct vx_collection {
    char *name;                 // zero-terminated copy, or null
    uint32_t dimension;
    int32_t metric;
    vx_record *records;         // insertion order
    uint64_t count;
    uint64_t capacity;
    uint64_t next_id;           // id of the next insertion, from 1
    vx_index *index;            // null: no index (flat kind, dropped)
    int32_t index_enabled;
    uint64_t index_threshold;   // index fed and searched while count >= this
    vx_collection_config config; // name views `name` (or is null)
    vx_arena *arena;
    int32_t owns_arena;
    vx_rwlock *lock;            // allocated in the arena
    int64_t created_time;
    int64_t modified_time;

    // Parameters every index of this collection is made from (creation,
    // clear, rebuild). type 0 means flat: build then makes an IVF index.
    vx_index_params index_params;
    // Serialises allocation from `arena`, which may be shared with a
    // database and its other collections. Borrowed from the database for
    // collections in its registry, otherwise owned (owns_arena_mutex 1).
    vx_mutex *arena_mutex;
    int32_t owns_arena_mutex;
    // Record positions by id (vx_collection_ids.cpp): an open-addressing
    // table from the general allocator, kept in step with every append,
    // removal and move of a record, so lookups by id take the same time
    // whatever order the ids come in. Slot i holds id_keys[i] at position
    // id_pos[i] (UINT32_MAX: free); one block holds both arrays.
    uint64_t *id_keys;          // null until the first record
    uint32_t *id_pos;
    uint64_t id_capacity;       // slots, a power of two
    uint64_t id_count;          // distinct ids held
    uint64_t id_repeats;        // records whose id an earlier record has
    uint64_t id_seed;           // mixed into every hash of the table
    // 1 for a collection of a database opened read-only: every change is
    // refused with VX_ERR_READ_ONLY. Set before the collection is shared.
    int32_t read_only;
    // Inserted vectors are carved from chunks of many vectors, so that a
    // scan over the records streams through memory. A record's vector never
    // moves: chunks live as long as the arena.
    float *vector_chunk;        // next free vector slot, or null
    uint64_t vector_chunk_free; // vectors left in the current chunk
};

struct vx_collection_iterator {
    vx_collection *collection;
    uint64_t position;
    uint64_t end;               // count when the iterator was made
    const vx_filter *filter;
    int32_t valid;
    vx_arena *arena;
};

// --- records (vx_collection.cpp) ---

// Creates a collection in arena whose allocations are serialised by
// arena_mutex (null: the collection makes a mutex of its own).
vx_collection *collection_create_shared(vx_arena *arena, vx_mutex *arena_mutex,
                                        const vx_collection_config *config);
// Makes an empty collection shell for a loader: allocated from arena (null:
// own 4 MiB arena), record array of `capacity` records, lock and arena
// mutex made, next_id 1, no index, threshold dormant. Null on failure
// (everything released).
vx_collection *collection_alloc_shell(vx_arena *arena, uint32_t dimension, uint64_t capacity);
// Makes the collection use the database's mutex for its arena from now on.
void collection_share_arena_mutex(vx_collection *c, vx_mutex *arena_mutex);
// Arena calls under the arena mutex.
void *collection_arena_alloc(vx_collection *c, uint64_t size);
void *collection_arena_calloc(vx_collection *c, uint64_t count, uint64_t size);
uint64_t collection_arena_used(vx_collection *c);
// Room for one more record: the record array and the id table grown when
// full. VX_ERR_NO_MEMORY. Write lock held.
vx_status collection_reserve_record(vx_collection *c);
// Appends a record (vector and meta already in the arena), growing the
// array and the id table; VX_ERR_NO_MEMORY (nothing appended) when they
// cannot grow. Caller holds the write lock (or owns c alone).
vx_status collection_push_record(vx_collection *c, uint64_t id, float *vector,
                                 vx_meta_entry *meta, uint64_t meta_count);
// Room for one vector of the collection's dimension, from the current chunk
// (a new one, sized to the collection's growth, when it is used up); null
// when the arena is exhausted. Caller holds the write lock.
float *collection_vector_slot(vx_collection *c);
// --- record positions by id (vx_collection_ids.cpp) ---

// Position of the first record with id, or UINT64_MAX: one probe run of the
// id table, whatever the order of the ids. Caller holds a lock.
uint64_t collection_find(const vx_collection *c, uint64_t id);
// pos[i] = collection_find(c, ids[i]) for i < n, with the table reads of
// the whole batch started together. Caller holds a lock.
void collection_find_many(const vx_collection *c, const uint64_t *ids, uint64_t n, uint64_t *pos);
// Room in the id table for `more` records beyond count (the table doubles
// until they fit at three quarters full). VX_ERR_NO_MEMORY, also beyond
// UINT32_MAX - 1 records (positions are 32-bit). Write lock held.
vx_status collection_ids_reserve(vx_collection *c, uint64_t more);
// Notes the record just appended at pos (room reserved). Write lock held.
void collection_ids_append(vx_collection *c, uint64_t id, uint64_t pos);
// Follows the removal of the record at pos (holding id) after the later
// records moved down by one and count was lowered. Write lock held.
void collection_ids_removed(vx_collection *c, uint64_t id, uint64_t pos);
// Drops id from the table, and notes that the record holding id now sits
// at pos; both for tables without repeated ids (id_repeats 0), whose
// holders change one at a time. Write lock held.
void collection_ids_forget(vx_collection *c, uint64_t id);
void collection_ids_moved(vx_collection *c, uint64_t id, uint64_t pos);
// Refills the table from records[0 .. count), for changes that moved many
// records at once (a compaction, a clear). Write lock held.
void collection_ids_rebuild(vx_collection *c);
// Frees the table (destruction).
void collection_ids_release(vx_collection *c);
// Bytes the table occupies: 12 per slot.
uint64_t collection_ids_memory(const vx_collection *c);
// Index parameters for kind/metric/dimension with the collection's rules:
// automatic (-1) gives IVF with 5 lists and 3 probes, HNSW parameters of 0
// become M 16, ef_construction 200, ef_search 64.
void collection_index_params(vx_index_params *out, int32_t type, int32_t metric,
                             uint32_t dimension, int32_t quant_type, uint32_t pq_m,
                             uint32_t pq_nbits);
// A fresh index from c->index_params (IVF 5/3 when those say flat); null
// when it cannot be made.
vx_index *collection_make_index(vx_collection *c);
// True when insertions feed the index and searches use it.
int collection_index_active(const vx_collection *c);
// Whether the index reads the records' vectors where they are stored (a
// graph, made to when still empty) rather than copies of its own; such an
// index must be fed the stored vectors themselves. Write lock held.
int collection_index_borrows(vx_collection *c);
// Trains the index on every stored vector and adds them all (scratch from
// the general allocator, so repeated attempts do not grow the arena; none
// for an index that borrows). VX_ERR_INVALID_ARG for an empty collection,
// VX_ERR_NO_MEMORY, or the index's failure. Write lock held.
vx_status collection_index_records(vx_collection *c);
// Adds one stored vector (the record's own, which stays in place) to the
// active index, training it from every stored vector first when it is not
// ready. Failures are ignored. Write lock held.
void collection_feed_index(vx_collection *c, uint64_t id, const float *vector);

// Gives the collection's index the configured build thread count (more
// than the cores online count as every core). Write lock held.
void collection_apply_build_threads(vx_collection *c);

// VX_ERR_READ_ONLY for a read-only collection, else VX_OK.
vx_status collection_check_writable(const vx_collection *c);
// 1 when each of the n floats is a number other than an infinity.
int vector_all_finite(const float *v, uint64_t n);
// vector_all_finite over n vectors of the collection's dimension.
int vectors_all_finite(const vx_collection *c, const float *vectors, uint64_t n);

// --- metadata (vx_collection_meta.cpp) ---

// 1 when f (null: yes) is within VX_FILTER_MAX_DEPTH and VX_FILTER_MAX_NODES;
// a cyclic tree never is.
int filter_within_limits(const vx_filter *f);
// Records VX_ERR_INVALID_ARG with the reason in the last-error record, for
// calls that answer with a count; returns 0.
uint64_t collection_refuse(const char *function, const char *reason);
// 1 when rec satisfies f (null f: always).
int match_filter(const vx_record *rec, const vx_filter *f);
// Copies n entries with their keys and string texts into the collection's
// arena; null when n is 0 or memory runs out.
vx_meta_entry *collection_copy_meta(vx_collection *c, const vx_meta_entry *entries, uint64_t n);

// --- search (vx_collection_search.cpp) ---

// One hit before it is written out.
typedef struct search_item {
    uint64_t id;
    float distance;
    uint64_t pos;        // record position at search time
    int32_t from_index;
} search_item;

// Runs a search under a lock the caller holds; *items (vx_malloc, caller
// frees) receives the hits in order. Returns the count (0: *items null).
uint64_t collection_search_locked(vx_collection *c, const float *query, uint64_t k,
                                  const vx_filter *filter, search_item **items);

// The same with the refine factor of quantized indexes given (0: the
// collection's own, see collection_refine_factor).
uint64_t collection_search_refined(vx_collection *c, const float *query, uint64_t k,
                                   const vx_filter *filter, uint64_t refine, search_item **items);
// Candidates per hit wanted that a quantized index supplies for exact
// re-ranking: the configured factor, VX_COLLECTION_DEFAULT_REFINE when 0.
uint32_t collection_refine_factor(const vx_collection *c);

// The partial selection sort's picks, computed without its quadratic cost:
// writes to picks[0..m-1] the candidate indices that a selection sort
// (strict-less minimum, swap into place, m rounds) over dist[0..n-1] would
// place at positions 0..m-1. m <= n. Returns 0 when scratch memory runs out.
int select_smallest(const float *dist, uint64_t n, uint64_t m, uint64_t *picks);

#endif
