// Collections: per-record metadata and the filter evaluation.
#include "vx_collection_internal.h"
#include "vx_lock_guard.h"

#include <string.h>

static const double FLOAT_EPSILON = 1e-6;
static const double DOUBLE_EPSILON = 1e-12;

// --- copies ----------------------------------------------------------------

// Total bytes of the texts an entry list refers to, each with a zero byte.
// UINT64_MAX when the lengths cannot be real.
static uint64_t meta_text_bytes(const vx_meta_entry *entries, uint64_t n) {
    const uint64_t limit = UINT64_MAX / 4;
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; i++) {
        const vx_str *texts[2] = {&entries[i].key, entries[i].type == VX_META_STRING ? &entries[i].value.str : nullptr};
        for (const vx_str *t : texts) {
            if (!t || !t->data) continue;
            if (t->len >= limit || total >= limit) return UINT64_MAX;
            total += t->len + 1;
        }
    }
    return total;
}

// Copies a view's text into dst (zero-terminated) and returns the new view.
static vx_str copy_text(const vx_str *src, char **dst) {
    vx_str out = {nullptr, 0};
    if (!src->data) return out;
    vx_memcpy(*dst, src->data, src->len);
    (*dst)[src->len] = '\0';
    out.data = *dst;
    out.len = src->len;
    *dst += src->len + 1;
    return out;
}

vx_meta_entry *collection_copy_meta(vx_collection *c, const vx_meta_entry *entries, uint64_t n) {
    if (!entries || n == 0 || n > UINT64_MAX / 2 / sizeof(vx_meta_entry)) return nullptr;
    uint64_t head = n * sizeof(vx_meta_entry);
    uint64_t texts = meta_text_bytes(entries, n);
    if (texts == UINT64_MAX || texts > UINT64_MAX - head) return nullptr;
    vx_meta_entry *copy = (vx_meta_entry *)collection_arena_alloc(c, head + texts);
    if (!copy) return nullptr;
    char *text = (char *)(copy + n);
    for (uint64_t i = 0; i < n; i++) {
        copy[i] = entries[i];
        copy[i].key = copy_text(&entries[i].key, &text);
        if (entries[i].type == VX_META_STRING) copy[i].value.str = copy_text(&entries[i].value.str, &text);
    }
    return copy;
}

extern "C" VX_API vx_status vx_collection_set_meta(vx_collection *c, uint64_t id, const vx_meta_entry *entries,
                                                   uint64_t n) {
    if (!c || !entries || n == 0) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    uint64_t pos = collection_find(c, id);
    if (pos == UINT64_MAX) return VX_ERR_NOT_FOUND;
    vx_record *r = &c->records[pos];
    r->meta = collection_copy_meta(c, entries, n);
    r->meta_count = r->meta ? n : 0;
    c->modified_time = vx_time_now();
    return VX_OK;
}

extern "C" VX_API vx_status vx_collection_get_meta(vx_collection *c, uint64_t id, vx_meta_entry *out,
                                                   uint64_t *count) {
    if (!c || !out || !count) return VX_ERR_INVALID_ARG;
    read_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    uint64_t pos = collection_find(c, id);
    if (pos == UINT64_MAX) return VX_ERR_NOT_FOUND;
    const vx_record *r = &c->records[pos];
    uint64_t n = r->meta_count < *count ? r->meta_count : *count;
    if (n) vx_memcpy(out, r->meta, n * sizeof(vx_meta_entry));
    *count = r->meta_count;
    return VX_OK;
}

// --- filters ---------------------------------------------------------------

template <typename T>
static int compare_ordered(T a, T b, int32_t op) {
    switch (op) {
    case VX_OP_EQ: return a == b;
    case VX_OP_NE: return a != b;
    case VX_OP_GT: return a > b;
    case VX_OP_GE: return a >= b;
    case VX_OP_LT: return a < b;
    case VX_OP_LE: return a <= b;
    default: return 1;
    }
}

// Floating tests fail only when the opposite comparison holds, so a NaN
// operand or difference always matches.
template <typename T>
static int compare_floating(T a, T b, double diff, double eps, int32_t op) {
    switch (op) {
    case VX_OP_EQ: return !(diff > eps);
    case VX_OP_NE: return !(diff <= eps);
    case VX_OP_GT: return !(a <= b);
    case VX_OP_GE: return !(a < b);
    case VX_OP_LT: return !(a >= b);
    case VX_OP_LE: return !(a > b);
    default: return 1;
    }
}

static int compare_string(const vx_str *a, const vx_str *b, int32_t op) {
    switch (op) {
    case VX_OP_EQ: return vx_strcasecmp(a, b) == 0;
    case VX_OP_NE: return vx_strcasecmp(a, b) != 0;
    case VX_OP_GT:
    case VX_OP_GE:
    case VX_OP_LT:
    case VX_OP_LE: return 0;
    default: return 1;
    }
}

static int compare_bool(int32_t a, int32_t b, int32_t op) {
    if (op == VX_OP_EQ) return a == b;
    if (op == VX_OP_NE) return a != b;
    return 0;
}

static int match_entry(const vx_meta_entry *e, const vx_filter *f) {
    const vx_meta_value *a = &e->value;
    const vx_meta_value *b = &f->value;
    switch (e->type) {
    case VX_META_INT32: return compare_ordered(a->i32, b->i32, f->op);
    case VX_META_INT64: return compare_ordered(a->i64, b->i64, f->op);
    case VX_META_FLOAT: {
        double diff = (double)vx_math_abs_f32(a->f32 - b->f32);
        return compare_floating(a->f32, b->f32, diff, FLOAT_EPSILON, f->op);
    }
    case VX_META_DOUBLE: {
        double diff = vx_math_abs_f64(a->f64 - b->f64);
        return compare_floating(a->f64, b->f64, diff, DOUBLE_EPSILON, f->op);
    }
    case VX_META_STRING: return compare_string(&a->str, &b->str, f->op);
    case VX_META_BOOL: return compare_bool(a->boolean, b->boolean, f->op);
    default: return 1; // VX_META_NULL and unknown types satisfy every condition
    }
}

static int match_condition(const vx_record *rec, const vx_filter *f) {
    if (!f->key) return 1;
    vx_str key = {(char *)f->key, strlen(f->key)};
    if (rec->meta) {
        for (uint64_t i = 0; i < rec->meta_count; i++) {
            if (vx_strcasecmp(&rec->meta[i].key, &key) == 0) return match_entry(&rec->meta[i], f);
        }
    }
    return f->op == VX_OP_NE;
}

static uint64_t child_count(const vx_filter *f) { return f->children ? f->child_count : 0; }

// Walks the tree no deeper than the limit, so a cycle ends the walk too.
static int filter_walk(const vx_filter *f, uint32_t depth, uint64_t *nodes) {
    if (!f) return 1;
    if (depth > VX_FILTER_MAX_DEPTH || ++*nodes > VX_FILTER_MAX_NODES) return 0;
    if (f->kind != VX_FILTER_AND && f->kind != VX_FILTER_OR && f->kind != VX_FILTER_NOT) return 1;
    uint64_t n = child_count(f);
    if (f->kind == VX_FILTER_NOT && n > 1) n = 1;  // NOT reads its first child only
    for (uint64_t i = 0; i < n; i++)
        if (!filter_walk(f->children[i], depth + 1, nodes)) return 0;
    return 1;
}

int filter_within_limits(const vx_filter *f) {
    uint64_t nodes = 0;
    return filter_walk(f, 1, &nodes);
}

uint64_t collection_refuse(const char *function, const char *reason) {
    vx_error_set(VX_ERR_INVALID_ARG, __FILE__, __LINE__, function, reason);
    return 0;
}

int match_filter(const vx_record *rec, const vx_filter *f) {
    if (!f) return 1;
    switch (f->kind) {
    case VX_FILTER_AND:
        for (uint64_t i = 0; i < child_count(f); i++)
            if (!match_filter(rec, f->children[i])) return 0;
        return 1;
    case VX_FILTER_OR:
        for (uint64_t i = 0; i < child_count(f); i++)
            if (match_filter(rec, f->children[i])) return 1;
        return 0;
    case VX_FILTER_NOT:
        // A missing child counts as a null one, which matches: NOT fails.
        if (child_count(f) == 0) return 0;
        return !match_filter(rec, f->children[0]);
    default: return match_condition(rec, f);
    }
}
