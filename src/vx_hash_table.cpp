// A chained hash table over opaque key and value pointers with a fixed bucket
// count, pluggable key functions and iterators; all memory from an arena.
#include "vexal.h"

#include <string.h>

struct vx_hash_entry {
    const void *key;
    void *value;
    vx_hash_entry *next;
};

struct vx_hash_table {
    vx_arena *arena;
    vx_hash_entry **buckets;
    uint64_t bucket_count;
    uint64_t count;
    vx_hash_fn hash;
    vx_key_compare_fn compare;
    vx_copy_fn key_copy;
    vx_copy_fn value_copy;
};

struct vx_hash_iterator {
    vx_hash_table *table;
    uint64_t bucket;
    vx_hash_entry *entry;
};

namespace {

// ---- key functions --------------------------------------------------------

uint64_t default_hash_func(const void *key) { return vx_hash_murmur3_64(key, 8, 0); }
uint64_t string_hash_func(const void *key) { return vx_hash_string(static_cast<const char *>(key)); }
uint64_t int_hash_func(const void *key) {
    uint64_t v;
    memcpy(&v, key, 8);
    return vx_hash_int(v);
}

int32_t default_compare_func(const void *stored, const void *probe) { return stored == probe ? 0 : 1; }

int32_t string_compare_func(const void *stored, const void *probe) {
    const signed char *a = static_cast<const signed char *>(stored);
    const signed char *b = static_cast<const signed char *>(probe);
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return int32_t(*a) - int32_t(*b);
}

int32_t int_compare_func(const void *stored, const void *probe) {
    uint64_t a, b;
    memcpy(&a, stored, 8);
    memcpy(&b, probe, 8);
    return a == b ? 0 : 1;
}

void *default_copy_func(vx_arena *, const void *p) { return const_cast<void *>(p); }

void *string_copy_func(vx_arena *arena, const void *key) {
    return vx_arena_strdup(arena, static_cast<const char *>(key));
}

void *int_copy_func(vx_arena *arena, const void *key) {
    void *copy = vx_arena_calloc(arena, 1, 8);
    if (copy) memcpy(copy, key, 8);
    return copy;
}

// ---- chains ---------------------------------------------------------------

vx_hash_entry **bucket_of(const vx_hash_table *table, const void *key) {
    return &table->buckets[table->hash(key) % table->bucket_count];
}

// The link that points at the first entry whose key equals `key`, or the
// link at the chain's end (holding null) when there is none.
vx_hash_entry **find_link(const vx_hash_table *table, vx_hash_entry **head, const void *key) {
    vx_hash_entry **link = head;
    while (*link && table->compare((*link)->key, key) != 0) link = &(*link)->next;
    return link;
}

void advance_to_filled_bucket(vx_hash_iterator *it, uint64_t from) {
    const vx_hash_table *table = it->table;
    it->entry = nullptr;
    for (uint64_t b = from; b < table->bucket_count; b++) {
        if (table->buckets[b]) {
            it->bucket = b;
            it->entry = table->buckets[b];
            return;
        }
    }
    it->bucket = table->bucket_count;
}

vx_hash_table *create_with(vx_arena *arena, uint64_t bucket_count, vx_hash_fn hash, vx_key_compare_fn compare,
                           vx_copy_fn key_copy) {
    if (!arena || bucket_count == 0) return nullptr;
    vx_hash_table *table = static_cast<vx_hash_table *>(vx_arena_calloc(arena, 1, sizeof(vx_hash_table)));
    if (!table) return nullptr;
    table->buckets = static_cast<vx_hash_entry **>(vx_arena_calloc(arena, bucket_count, sizeof(vx_hash_entry *)));
    if (!table->buckets) return nullptr;
    table->arena = arena;
    table->bucket_count = bucket_count;
    table->hash = hash;
    table->compare = compare;
    table->key_copy = key_copy;
    table->value_copy = default_copy_func;
    return table;
}

}  // namespace

extern "C" VX_API vx_hash_table *vx_hash_table_create(vx_arena *arena, uint64_t bucket_count) {
    return create_with(arena, bucket_count, default_hash_func, default_compare_func, default_copy_func);
}

extern "C" VX_API vx_hash_table *vx_hash_table_create_string(vx_arena *arena, uint64_t bucket_count) {
    return create_with(arena, bucket_count, string_hash_func, string_compare_func, string_copy_func);
}

extern "C" VX_API vx_hash_table *vx_hash_table_create_int(vx_arena *arena, uint64_t bucket_count) {
    return create_with(arena, bucket_count, int_hash_func, int_compare_func, int_copy_func);
}

extern "C" VX_API void vx_hash_table_destroy(vx_hash_table *) {}

extern "C" VX_API void vx_hash_table_set_hash_func(vx_hash_table *table, vx_hash_fn fn) {
    if (table && fn) table->hash = fn;
}

extern "C" VX_API void vx_hash_table_set_compare_func(vx_hash_table *table, vx_key_compare_fn fn) {
    if (table && fn) table->compare = fn;
}

extern "C" VX_API void vx_hash_table_set_key_copy_func(vx_hash_table *table, vx_copy_fn fn) {
    if (table && fn) table->key_copy = fn;
}

extern "C" VX_API void vx_hash_table_set_value_copy_func(vx_hash_table *table, vx_copy_fn fn) {
    if (table && fn) table->value_copy = fn;
}

extern "C" VX_API vx_status vx_hash_table_insert(vx_hash_table *table, const void *key, void *value) {
    if (!table || !key) return VX_ERR_INVALID_ARG;
    vx_hash_entry **head = bucket_of(table, key);
    vx_hash_entry **link = find_link(table, head, key);
    if (*link) {
        (*link)->value = table->value_copy(table->arena, value);
        return VX_OK;
    }
    vx_hash_entry *entry = static_cast<vx_hash_entry *>(vx_arena_calloc(table->arena, 1, sizeof(vx_hash_entry)));
    if (!entry) return VX_ERR_NO_MEMORY;
    // A key copy that fails would leave an entry no compare function can
    // read; report the exhausted arena instead of storing it.
    entry->key = table->key_copy(table->arena, key);
    if (!entry->key) return VX_ERR_NO_MEMORY;
    entry->value = table->value_copy(table->arena, value);
    entry->next = *head;
    *head = entry;
    table->count++;
    return VX_OK;
}

extern "C" VX_API void *vx_hash_table_find(const vx_hash_table *table, const void *key) {
    if (!table || !key) return nullptr;
    vx_hash_entry *entry = *find_link(table, bucket_of(table, key), key);
    return entry ? entry->value : nullptr;
}

extern "C" VX_API vx_status vx_hash_table_delete(vx_hash_table *table, const void *key) {
    if (!table || !key) return VX_ERR_INVALID_ARG;
    vx_hash_entry **link = find_link(table, bucket_of(table, key), key);
    if (!*link) return VX_ERR_NOT_FOUND;
    *link = (*link)->next;
    table->count--;
    return VX_OK;
}

extern "C" VX_API uint64_t vx_hash_table_size(const vx_hash_table *table) { return table ? table->count : 0; }

extern "C" VX_API vx_status vx_hash_table_clear(vx_hash_table *table) {
    if (!table) return VX_ERR_INVALID_ARG;
    memset(table->buckets, 0, table->bucket_count * sizeof(vx_hash_entry *));
    table->count = 0;
    return VX_OK;
}

extern "C" VX_API vx_hash_iterator *vx_hash_iterator_create(vx_hash_table *table) {
    if (!table) return nullptr;
    vx_hash_iterator *it = static_cast<vx_hash_iterator *>(vx_arena_calloc(table->arena, 1, sizeof(vx_hash_iterator)));
    if (!it) return nullptr;
    it->table = table;
    advance_to_filled_bucket(it, 0);
    return it;
}

extern "C" VX_API int vx_hash_iterator_valid(const vx_hash_iterator *it) { return it && it->entry ? 1 : 0; }

extern "C" VX_API int vx_hash_iterator_next(vx_hash_iterator *it) {
    if (!it || !it->entry) return 0;
    if (it->entry->next) {
        it->entry = it->entry->next;
        return 1;
    }
    advance_to_filled_bucket(it, it->bucket + 1);
    return it->entry ? 1 : 0;
}

extern "C" VX_API const void *vx_hash_iterator_get_key(const vx_hash_iterator *it) {
    return it && it->entry ? it->entry->key : nullptr;
}

extern "C" VX_API void *vx_hash_iterator_get_value(const vx_hash_iterator *it) {
    return it && it->entry ? it->entry->value : nullptr;
}

extern "C" VX_API void vx_hash_iterator_destroy(vx_hash_iterator *) {}
