// Collections: cursors and the foreach walk.
#include "vx_collection_internal.h"
#include "vx_lock_guard.h"

// The walk ends at the end fixed at creation, or earlier when records have
// been deleted since, so a cursor never designates a slot past the live
// records. Read lock held.
static uint64_t walk_end(const vx_collection_iterator *it) {
    uint64_t count = it->collection->count;
    return it->end < count ? it->end : count;
}

// Moves position forward to the first matching record at or after it;
// clears valid at the end. Read lock held.
static int settle(vx_collection_iterator *it) {
    const vx_collection *c = it->collection;
    uint64_t end = walk_end(it);
    while (it->position < end && it->filter && !match_filter(&c->records[it->position], it->filter))
        it->position++;
    if (it->position >= end) {
        it->position = it->end;
        it->valid = 0;
        return 0;
    }
    return 1;
}

extern "C" VX_API vx_collection_iterator *vx_collection_create_iterator(vx_collection *c, const vx_filter *filter) {
    if (!c) return nullptr;
    if (!filter_within_limits(filter)) {
        collection_refuse(__func__, "filter too deep or cyclic");
        return nullptr;
    }
    vx_collection_iterator *it =
        (vx_collection_iterator *)collection_arena_calloc(c, 1, sizeof(vx_collection_iterator));
    if (!it) return nullptr;
    it->collection = c;
    it->filter = filter;
    it->arena = c->arena;
    it->position = 0;
    it->valid = 1;
    read_guard guard(c->lock);
    if (!guard.held()) return nullptr;
    it->end = c->count;
    settle(it);
    return it;
}

extern "C" VX_API void vx_collection_destroy_iterator(vx_collection_iterator *) {}

extern "C" VX_API int32_t vx_collection_iterator_valid(const vx_collection_iterator *it) {
    return it ? it->valid : 0;
}

extern "C" VX_API int32_t vx_collection_iterator_next(vx_collection_iterator *it) {
    if (!it || !it->valid) return 0;
    read_guard guard(it->collection->lock);
    if (!guard.held()) return 0;
    it->position++;
    return settle(it);
}

// The record under the cursor, or null; read lock held.
static vx_record *current(vx_collection_iterator *it) {
    if (!it->valid || it->position >= walk_end(it)) return nullptr;
    return &it->collection->records[it->position];
}

extern "C" VX_API uint64_t vx_collection_iterator_get_id(vx_collection_iterator *it) {
    if (!it || !it->valid) return 0;
    read_guard guard(it->collection->lock);
    vx_record *r = guard.held() ? current(it) : nullptr;
    return r ? r->id : 0;
}

extern "C" VX_API const float *vx_collection_iterator_get_vector(vx_collection_iterator *it) {
    if (!it || !it->valid) return nullptr;
    read_guard guard(it->collection->lock);
    vx_record *r = guard.held() ? current(it) : nullptr;
    return r ? r->vector : nullptr;
}

extern "C" VX_API vx_status vx_collection_iterator_get_record(vx_collection_iterator *it, vx_record **out) {
    if (!it || !it->valid || !out) return VX_ERR_INVALID_ARG;
    read_guard guard(it->collection->lock);
    if (!guard.held()) return guard.status();
    vx_record *r = current(it);
    if (!r) return VX_ERR_INVALID_ARG;
    *out = r;
    return VX_OK;
}

extern "C" VX_API uint64_t vx_collection_foreach(vx_collection *c, const vx_filter *filter, vx_foreach_fn fn,
                                                 void *user_data) {
    if (!c || !fn) return 0;
    if (!filter_within_limits(filter)) return collection_refuse(__func__, "filter too deep or cyclic");
    uint64_t calls = 0;
    read_guard guard(c->lock);
    if (!guard.held()) return 0;
    for (uint64_t i = 0; i < c->count; i++) {
        const vx_record *r = &c->records[i];
        if (filter && !match_filter(r, filter)) continue;
        if (!fn(r->id, r->vector, c->dimension, user_data)) break;
        calls++;
    }
    return calls;
}
