// Collections: nearest-neighbour search (brute force and through the index)
// and index management.
#include "vx_collection_internal.h"
#include "vx_index_access.h"
#include "vx_lock_guard.h"
#include "vx_vector_internal.h"

#include <algorithm>

static const uint64_t NONE = UINT64_MAX;
static const uint64_t GATHER_CHUNK = 256;

static inline int is_nan(float x) { return x != x; }

// --- selection --------------------------------------------------------------

// The m-th smallest non-NaN distance, or false when there are fewer than m
// of them (then every non-NaN distance can be picked). Keeps a max-heap of
// the m smallest seen.
static int kth_smallest(const float *dist, uint64_t n, uint64_t m, float *heap, float *out) {
    uint64_t size = 0;
    for (uint64_t i = 0; i < n; i++) {
        float x = dist[i];
        if (is_nan(x)) continue;
        uint64_t at;
        if (size < m) {
            at = size++;
            while (at > 0 && heap[(at - 1) / 2] < x) {
                heap[at] = heap[(at - 1) / 2];
                at = (at - 1) / 2;
            }
            heap[at] = x;
            continue;
        }
        if (!(x < heap[0])) continue;
        at = 0;
        for (;;) {
            uint64_t child = 2 * at + 1;
            if (child >= size) break;
            if (child + 1 < size && heap[child] < heap[child + 1]) child++;
            if (!(x < heap[child])) break;
            heap[at] = heap[child];
            at = child;
        }
        heap[at] = x;
    }
    if (size < m) return 0;
    *out = heap[0];
    return 1;
}

// Tournament tree over candidate slots: each node holds the slot with the
// smallest present distance below it, the leftmost on ties, so the root is
// what a strict-less scan over the present slots would find first.
struct tournament {
    uint64_t *node;
    uint64_t leaves;
    const float *value;
    const uint8_t *present;
};

static uint64_t better(const tournament *t, uint64_t a, uint64_t b) {
    if (a == NONE) return b;
    if (b == NONE) return a;
    return t->value[b] < t->value[a] ? b : a;
}

static void tournament_update(tournament *t, uint64_t slot) {
    uint64_t at = t->leaves + slot;
    t->node[at] = t->present[slot] ? slot : NONE;
    for (at /= 2; at >= 1; at /= 2) t->node[at] = better(t, t->node[2 * at], t->node[2 * at + 1]);
}

static void tournament_build(tournament *t, uint64_t n) {
    for (uint64_t i = 0; i < t->leaves; i++) t->node[t->leaves + i] = i < n && t->present[i] ? i : NONE;
    for (uint64_t at = t->leaves - 1; at >= 1; at--) t->node[at] = better(t, t->node[2 * at], t->node[2 * at + 1]);
}

// The selection sort only ever moves or picks distances no larger than the
// m-th smallest, plus whatever sits in the first m slots; every other slot
// is never touched. So the sort is replayed over just those slots, in their
// order, with a tournament tree standing in for the minimum scan.
int select_smallest(const float *dist, uint64_t n, uint64_t m, uint64_t *picks) {
    if (m == 0) return 1;
    if (m > n) m = n;
    float *heap = (float *)vx_malloc(m * sizeof(float));
    if (!heap) return 0;
    float bound = 0;
    int bounded = kth_smallest(dist, n, m, heap, &bound);
    vx_free(heap);

    uint64_t r = 0;
    for (uint64_t i = 0; i < n; i++)
        if (i < m || (!is_nan(dist[i]) && (!bounded || !(bound < dist[i])))) r++;
    uint64_t leaves = 1;
    while (leaves < r) leaves *= 2;
    float *value = (float *)vx_malloc(r * sizeof(float));
    uint64_t *origin = (uint64_t *)vx_malloc(r * sizeof(uint64_t));
    uint8_t *present = (uint8_t *)vx_malloc(r);
    uint64_t *node = (uint64_t *)vx_malloc(2 * leaves * sizeof(uint64_t));
    int ok = value && origin && present && node;
    if (ok) {
        uint64_t j = 0;
        for (uint64_t i = 0; i < n; i++) {
            if (!(i < m || (!is_nan(dist[i]) && (!bounded || !(bound < dist[i]))))) continue;
            value[j] = dist[i];
            origin[j] = i;
            present[j] = !is_nan(dist[i]);
            j++;
        }
        tournament t = {node, leaves, value, present};
        tournament_build(&t, r);
        for (uint64_t i = 0; i < m; i++) {
            if (!present[i]) { // a NaN in place stays there
                picks[i] = origin[i];
                continue;
            }
            uint64_t p = node[1];
            picks[i] = origin[p];
            if (p != i) { // the displaced candidate takes the picked one's slot
                value[p] = value[i];
                origin[p] = origin[i];
                tournament_update(&t, p);
            }
            present[i] = 0;
            tournament_update(&t, i);
        }
    }
    vx_free(value);
    vx_free(origin);
    vx_free(present);
    vx_free(node);
    return ok;
}

// --- distances ----------------------------------------------------------------

// dist[i] = distance from query to the record at positions[i] (or at i when
// positions is null), exactly vx_vec_distance under the collection's metric.
static void record_distances(const vx_collection *c, const float *query, const uint64_t *positions,
                             uint64_t n, float *dist) {
    const float *vectors[GATHER_CHUNK];
    for (uint64_t start = 0; start < n; start += GATHER_CHUNK) {
        uint64_t len = n - start < GATHER_CHUNK ? n - start : GATHER_CHUNK;
        for (uint64_t i = 0; i < len; i++) {
            uint64_t pos = positions ? positions[start + i] : start + i;
            vectors[i] = c->records[pos].vector;
        }
        batch_distance(query, vectors, len, c->dimension, c->metric, dist + start);
    }
}

// --- the two paths ------------------------------------------------------------

struct ranked_item {
    search_item item;
    uint64_t seq; // index hits by report order, then top-up hits by rank
};

// Orders hits by distance (NaN last), then by sequence number.
static bool ranked_before(const ranked_item &a, const ranked_item &b) {
    int na = is_nan(a.item.distance), nb = is_nan(b.item.distance);
    if (na != nb) return nb;
    if (!na && a.item.distance < b.item.distance) return true;
    if (!na && b.item.distance < a.item.distance) return false;
    return a.seq < b.seq;
}

// Packs the numbers among dist, in candidate order, into packed, and lists
// in slot first the candidates they came from, then the NaN candidates in
// order. Returns how many numbers there are. A NaN distance comes only from
// a record stored before non-finite vectors were refused; it ranks last, so
// it never pushes a true neighbour out.
static uint64_t set_nan_aside(const float *dist, uint64_t n, float *packed, uint64_t *slot) {
    uint64_t numbers = 0;
    for (uint64_t i = 0; i < n; i++) numbers += !is_nan(dist[i]);
    uint64_t front = 0, back = numbers;
    for (uint64_t i = 0; i < n; i++) {
        if (is_nan(dist[i])) {
            slot[back++] = i;
        } else {
            packed[front] = dist[i];
            slot[front++] = i;
        }
    }
    return numbers;
}

// The m picks (candidate indices): the selection rule over the numbers,
// then NaN candidates in order. 0 when memory runs out.
static int pick_ranked(const float *dist, uint64_t n, uint64_t m, uint64_t *picks) {
    uint64_t *slot = (uint64_t *)vx_malloc(n * sizeof(uint64_t));
    float *packed = (float *)vx_malloc(n * sizeof(float));
    int ok = slot && packed;
    if (ok) {
        uint64_t numbers = set_nan_aside(dist, n, packed, slot);
        uint64_t from_numbers = m < numbers ? m : numbers;
        ok = select_smallest(packed, numbers, from_numbers, picks);
        for (uint64_t i = from_numbers; ok && i < m; i++) picks[i] = numbers + (i - from_numbers);
        for (uint64_t i = 0; ok && i < m; i++) picks[i] = slot[picks[i]];
    }
    vx_free(slot);
    vx_free(packed);
    return ok;
}

// Picks up to `want` of the candidates (positions) by the selection rule and
// appends them to items from index `at`. Returns the number appended, or
// NONE when memory runs out.
static uint64_t brute_force(const vx_collection *c, const float *query, const uint64_t *positions,
                            uint64_t ncand, uint64_t want, search_item *items, uint64_t at) {
    if (ncand == 0 || want == 0) return 0;
    uint64_t m = want < ncand ? want : ncand;
    float *dist = (float *)vx_malloc(ncand * sizeof(float));
    uint64_t *picks = (uint64_t *)vx_malloc(m * sizeof(uint64_t));
    uint64_t result = NONE;
    if (dist && picks) {
        record_distances(c, query, positions, ncand, dist);
        if (pick_ranked(dist, ncand, m, picks)) {
            for (uint64_t i = 0; i < m; i++) {
                uint64_t pos = positions ? positions[picks[i]] : picks[i];
                search_item *it = &items[at + i];
                it->id = c->records[pos].id;
                it->distance = dist[picks[i]];
                it->pos = pos;
                it->from_index = 0;
            }
            result = m;
        }
    }
    vx_free(dist);
    vx_free(picks);
    return result;
}

// Positions of the records matching filter and not listed in the ascending
// `skip` array; *positions null when every record qualifies.
static vx_status gather_candidates(const vx_collection *c, const vx_filter *filter, const uint64_t *skip,
                                   uint64_t nskip, uint64_t **positions, uint64_t *ncand) {
    *positions = nullptr;
    if (!filter && nskip == 0) {
        *ncand = c->count;
        return VX_OK;
    }
    uint64_t *pos = (uint64_t *)vx_malloc(c->count * sizeof(uint64_t));
    if (!pos) return VX_ERR_NO_MEMORY;
    uint64_t n = 0, s = 0;
    for (uint64_t i = 0; i < c->count; i++) {
        while (s < nskip && skip[s] < i) s++;
        if (s < nskip && skip[s] == i) continue;
        if (filter && !match_filter(&c->records[i], filter)) continue;
        pos[n++] = i;
    }
    *positions = pos;
    *ncand = n;
    return VX_OK;
}

static uint64_t search_brute(vx_collection *c, const float *query, uint64_t k, const vx_filter *filter,
                             search_item **items) {
    uint64_t *positions, ncand;
    if (gather_candidates(c, filter, nullptr, 0, &positions, &ncand) != VX_OK) return 0;
    uint64_t m = k < ncand ? k : ncand;
    search_item *out = m ? (search_item *)vx_malloc(m * sizeof(search_item)) : nullptr;
    uint64_t n = out ? brute_force(c, query, positions, ncand, m, out, 0) : 0;
    vx_free(positions);
    if (n == 0 || n == NONE) {
        vx_free(out);
        return 0;
    }
    *items = out;
    return n;
}

// Index hits that name live records matching the filter, each record once,
// with their distance recomputed under the collection's metric.
static uint64_t collect_index_hits(vx_collection *c, const float *query, const vx_filter *filter,
                                   const vx_search_result *res, uint64_t n, ranked_item *kept) {
    uint64_t nk = 0;
    for (uint64_t i = 0; i < n; i++) {
        uint64_t pos = collection_find(c, res[i].id);
        if (pos == NONE) continue; // deleted since it was indexed
        if (filter && !match_filter(&c->records[pos], filter)) continue;
        ranked_item *r = &kept[nk++];
        r->item.id = res[i].id;
        r->item.pos = pos;
        r->item.from_index = 1;
        r->seq = i;
    }
    // One hit per record: order by position, keep the first reported.
    std::sort(kept, kept + nk, [](const ranked_item &a, const ranked_item &b) {
        return a.item.pos != b.item.pos ? a.item.pos < b.item.pos : a.seq < b.seq;
    });
    uint64_t unique = 0;
    for (uint64_t i = 0; i < nk; i++)
        if (unique == 0 || kept[unique - 1].item.pos != kept[i].item.pos) kept[unique++] = kept[i];
    for (uint64_t i = 0; i < unique; i++)
        kept[i].item.distance = vx_vec_distance(query, c->records[kept[i].item.pos].vector, c->dimension, c->metric);
    return unique;
}

static uint64_t search_index(vx_collection *c, const float *query, uint64_t k, const vx_filter *filter,
                             search_item **items) {
    uint64_t want = k < c->count ? k : c->count;
    vx_search_result *res = (vx_search_result *)vx_malloc(want * sizeof(vx_search_result));
    ranked_item *ranked = (ranked_item *)vx_malloc(want * sizeof(ranked_item));
    search_item *top = (search_item *)vx_malloc(want * sizeof(search_item));
    uint64_t *skip = (uint64_t *)vx_malloc(want * sizeof(uint64_t));
    uint64_t total = 0;
    if (res && ranked && top && skip) {
        uint64_t n = vx_index_search(c->index, query, want, res);
        if (n > want) n = want;
        uint64_t nk = collect_index_hits(c, query, filter, res, n, ranked);
        total = nk;
        if (nk < want) { // top up by brute force over the records not yet in
            for (uint64_t i = 0; i < nk; i++) skip[i] = ranked[i].item.pos; // ascending
            uint64_t *positions, ncand;
            if (gather_candidates(c, filter, skip, nk, &positions, &ncand) == VX_OK) {
                uint64_t t = brute_force(c, query, positions, ncand, want - nk, top, 0);
                if (t != NONE) {
                    for (uint64_t i = 0; i < t; i++) ranked[nk + i] = ranked_item{top[i], want + i};
                    total = nk + t;
                }
                vx_free(positions);
            }
        }
        std::sort(ranked, ranked + total, ranked_before);
    }
    search_item *out = total ? (search_item *)vx_malloc(total * sizeof(search_item)) : nullptr;
    if (out)
        for (uint64_t i = 0; i < total; i++) out[i] = ranked[i].item;
    vx_free(res);
    vx_free(ranked);
    vx_free(top);
    vx_free(skip);
    if (!out) return 0;
    *items = out;
    return total;
}

uint64_t collection_search_locked(vx_collection *c, const float *query, uint64_t k, const vx_filter *filter,
                                  search_item **items) {
    *items = nullptr;
    if (k == 0 || c->count == 0) return 0;
    if (collection_index_active(c)) return search_index(c, query, k, filter, items);
    return search_brute(c, query, k, filter, items);
}

// --- public search ------------------------------------------------------------

static uint64_t search_and_write(vx_collection *c, const float *query, const vx_search_options *opt,
                                 vx_search_hit *out) {
    uint64_t k = opt ? opt->k : VX_COLLECTION_DEFAULT_K;
    const vx_filter *filter = opt ? opt->filter : nullptr;
    int include_vector = opt && opt->include_vector;
    int include_meta = opt && opt->include_meta;
    search_item *items;
    uint64_t n = collection_search_locked(c, query, k, filter, &items);
    for (uint64_t i = 0; i < n; i++) {
        const vx_record *r = &c->records[items[i].pos];
        int from_index = items[i].from_index;
        out[i].id = items[i].id;
        out[i].distance = items[i].distance;
        out[i].vector = from_index && include_vector ? r->vector : nullptr;
        out[i].meta = from_index && include_meta ? r->meta : nullptr;
        out[i].meta_count = from_index && include_meta ? r->meta_count : 0;
    }
    vx_free(items);
    return n;
}

extern "C" VX_API uint64_t vx_collection_search(vx_collection *c, const float *query, const vx_search_options *opt,
                                                vx_search_hit *out) {
    if (!c || !query || !out) return 0;
    if (!vector_all_finite(query, c->dimension)) return collection_refuse(__func__, "query not finite");
    if (opt && !filter_within_limits(opt->filter)) return collection_refuse(__func__, "filter too deep or cyclic");
    read_guard guard(c->lock);
    return guard.held() ? search_and_write(c, query, opt, out) : 0;
}

extern "C" VX_API uint64_t vx_collection_search_by_id(vx_collection *c, uint64_t id, const vx_search_options *opt,
                                                      vx_search_hit *out) {
    if (!c || !out) return 0;
    if (opt && !filter_within_limits(opt->filter)) return collection_refuse(__func__, "filter too deep or cyclic");
    read_guard guard(c->lock);
    if (!guard.held()) return 0;
    uint64_t pos = collection_find(c, id);
    // The stored vector cannot change while the read lock is held, so it
    // serves as the query directly.
    return pos != NONE ? search_and_write(c, c->records[pos].vector, opt, out) : 0;
}

extern "C" VX_API uint64_t vx_collection_search_filtered(vx_collection *c, const float *query,
                                                         const vx_filter *filter, uint64_t k, vx_search_hit *out) {
    vx_search_options opt = {k, filter, 0, 0, 0};
    return vx_collection_search(c, query, &opt, out);
}

// --- index management -----------------------------------------------------------

extern "C" VX_API vx_status vx_collection_build_index(vx_collection *c) {
    if (!c) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    if (c->count == 0) return VX_ERR_INVALID_ARG;
    if (!c->index) {
        vx_index_params p;
        collection_index_params(&p, -1, c->metric, c->dimension, 0, 0, 0);
        c->index = vx_index_create(nullptr, &p);
        if (!c->index) return VX_ERR_UNKNOWN;
        c->index_enabled = 1;
    }
    vx_status st = collection_index_records(c);
    if (st == VX_OK) c->index_threshold = 0;
    return st;
}

extern "C" VX_API vx_status vx_collection_rebuild_index(vx_collection *c) {
    if (!c) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    {
        write_guard guard(c->lock);
        if (!guard.held()) return guard.status();
        if (c->index) {
            vx_index_destroy(c->index);
            c->index = collection_make_index(c);
        }
    }
    return vx_collection_build_index(c);
}

extern "C" VX_API vx_status vx_collection_drop_index(vx_collection *c) {
    if (!c) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    if (c->index) {
        vx_index_destroy(c->index);
        c->index = nullptr;
        c->index_enabled = 0;
    }
    return VX_OK;
}

extern "C" VX_API int32_t vx_collection_has_index(vx_collection *c) {
    if (!c) return 0;
    read_guard guard(c->lock);
    return guard.held() && c->index ? vx_index_is_trained(c->index) : 0;
}

// A graph's zero parameters take the collection's defaults, as at creation.
static void adopt_index_params(vx_collection *c, const vx_index_params *given, vx_index_params *out) {
    collection_index_params(out, given->type, c->metric, c->dimension, given->quant_type, given->pq_m,
                            given->pq_nbits);
    const vx_index_params defaults = *out;
    out->family = given->family;
    if (index_kind_is_graph(given->type)) {
        vx_hnsw_params *h = &out->family.hnsw;
        if (!h->M) h->M = defaults.family.hnsw.M;
        if (!h->ef_construction) h->ef_construction = defaults.family.hnsw.ef_construction;
        if (!h->ef_search) h->ef_search = defaults.family.hnsw.ef_search;
    }
}

extern "C" VX_API vx_status vx_collection_set_index_params(vx_collection *c, const vx_index_params *params) {
    if (!c || !params) return VX_ERR_INVALID_ARG;
    if (params->type != VX_INDEX_FLAT && !index_kind_known(params->type)) return VX_ERR_INVALID_ARG;
    if (c->read_only) return VX_ERR_READ_ONLY;
    write_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    if (collection_index_active(c)) return VX_ERR_BUSY;
    vx_index_params p;
    adopt_index_params(c, params, &p);
    vx_index *fresh = nullptr;
    if (p.type != VX_INDEX_FLAT) {
        fresh = vx_index_create(nullptr, &p);
        if (!fresh) return VX_ERR_UNKNOWN;
    }
    vx_index_destroy(c->index);
    c->index = fresh;
    c->index_params = p;
    c->config.index_type = p.type;
    c->config.quant_type = p.quant_type;
    c->config.pq_m = p.pq_m;
    c->config.pq_nbits = p.pq_nbits;
    c->index_enabled = 1;
    c->index_threshold = VX_COLLECTION_DORMANT_THRESHOLD;
    return VX_OK;
}

extern "C" VX_API vx_status vx_collection_set_search_width(vx_collection *c, uint32_t width) {
    if (!c || width == 0) return VX_ERR_INVALID_ARG;
    read_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    if (!c->index) return VX_ERR_NOT_FOUND;
    return vx_index_set_search_width(c->index, width);
}
