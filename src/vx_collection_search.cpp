// Collections: nearest-neighbour search (brute force and through the index)
// and index management.
#include "vx_collection_internal.h"
#include "vx_hash_internal.h"
#include "vx_index_access.h"
#include "vx_lock_guard.h"
#include "vx_vector_internal.h"

#include <algorithm>

static const uint64_t NONE = UINT64_MAX;
static const uint64_t GATHER_CHUNK = 256;

static inline int is_nan(float x) { return x != x; }

// --- selection --------------------------------------------------------------

// Offers x to a max-heap holding the m smallest values seen.
static void max_heap_offer(float *heap, uint64_t *size, uint64_t m, float x) {
    uint64_t at;
    if (*size < m) {
        at = (*size)++;
        while (at > 0 && heap[(at - 1) / 2] < x) {
            heap[at] = heap[(at - 1) / 2];
            at = (at - 1) / 2;
        }
        heap[at] = x;
        return;
    }
    if (!(x < heap[0])) return;
    at = 0;
    for (;;) {
        uint64_t child = 2 * at + 1;
        if (child >= *size) break;
        if (child + 1 < *size && heap[child] < heap[child + 1]) child++;
        if (!(x < heap[child])) break;
        heap[at] = heap[child];
        at = child;
    }
    heap[at] = x;
}

// The m-th smallest non-NaN distance, or false when there are fewer than m
// of them (then every non-NaN distance can be picked). Keeps a max-heap of
// the m smallest seen.
static int kth_smallest(const float *dist, uint64_t n, uint64_t m, float *heap, float *out) {
    uint64_t size = 0;
    for (uint64_t i = 0; i < n; i++)
        if (!is_nan(dist[i])) max_heap_offer(heap, &size, m, dist[i]);
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

// Replays the selection sort over the r slots it can touch (values with the
// candidate index each came from, in candidate order; the first m slots are
// the first m candidates) and writes the m picks. value and origin are
// scratch afterwards. Returns 0 when scratch memory runs out.
static int replay_selection(float *value, uint64_t *origin, uint64_t r, uint64_t m, uint64_t *picks,
                            float *pick_values) {
    uint64_t leaves = 1;
    while (leaves < r) leaves *= 2;
    uint8_t *present = (uint8_t *)vx_malloc(r);
    uint64_t *node = (uint64_t *)vx_malloc(2 * leaves * sizeof(uint64_t));
    int ok = present && node;
    if (ok) {
        for (uint64_t j = 0; j < r; j++) present[j] = !is_nan(value[j]);
        tournament t = {node, leaves, value, present};
        tournament_build(&t, r);
        for (uint64_t i = 0; i < m; i++) {
            if (!present[i]) { // a NaN in place stays there
                picks[i] = origin[i];
                if (pick_values) pick_values[i] = value[i];
                continue;
            }
            uint64_t p = node[1];
            picks[i] = origin[p];
            if (pick_values) pick_values[i] = value[p];
            if (p != i) { // the displaced candidate takes the picked one's slot
                value[p] = value[i];
                origin[p] = origin[i];
                tournament_update(&t, p);
            }
            present[i] = 0;
            tournament_update(&t, i);
        }
    }
    vx_free(present);
    vx_free(node);
    return ok;
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
    float *value = (float *)vx_malloc(r * sizeof(float));
    uint64_t *origin = (uint64_t *)vx_malloc(r * sizeof(uint64_t));
    int ok = value && origin;
    if (ok) {
        uint64_t j = 0;
        for (uint64_t i = 0; i < n; i++) {
            if (!(i < m || (!is_nan(dist[i]) && (!bounded || !(bound < dist[i]))))) continue;
            value[j] = dist[i];
            origin[j] = i;
            j++;
        }
        ok = replay_selection(value, origin, r, m, picks, nullptr);
    }
    vx_free(value);
    vx_free(origin);
    return ok;
}

// The same choice made while the distances stream past in candidate order:
// only the first m candidates and those not above the running m-th
// smallest are kept (the bound only falls, so nothing the sort can touch is
// lost), and no array of every distance is needed.
struct stream_select {
    uint64_t m, seen;
    float *heap; // max-heap of the m smallest non-NaN distances so far
    uint64_t heap_size;
    float *value; // kept candidates in order, with their candidate index
    uint64_t *origin;
    uint64_t count, cap;
};

static int stream_open(stream_select *s, uint64_t m) {
    *s = stream_select{m, 0, nullptr, 0, nullptr, nullptr, 0, 2 * m + 1024};
    s->heap = (float *)vx_malloc(m * sizeof(float));
    s->value = (float *)vx_malloc(s->cap * sizeof(float));
    s->origin = (uint64_t *)vx_malloc(s->cap * sizeof(uint64_t));
    return s->heap && s->value && s->origin;
}

static void stream_close(stream_select *s) {
    vx_free(s->heap);
    vx_free(s->value);
    vx_free(s->origin);
}

static int stream_wanted(const stream_select *s, float x, uint64_t i) {
    return i < s->m || (!is_nan(x) && (s->heap_size < s->m || !(s->heap[0] < x)));
}

// Drops what the current bound rules out; grows the lists when that frees
// too little. 0 without memory.
static int stream_make_room(stream_select *s) {
    uint64_t j = 0;
    for (uint64_t i = 0; i < s->count; i++) {
        if (!stream_wanted(s, s->value[i], s->origin[i])) continue;
        s->value[j] = s->value[i];
        s->origin[j++] = s->origin[i];
    }
    s->count = j;
    if (s->count < s->cap / 2) return 1;
    uint64_t cap = s->cap * 2;
    float *value = (float *)vx_malloc(cap * sizeof(float));
    uint64_t *origin = (uint64_t *)vx_malloc(cap * sizeof(uint64_t));
    if (!value || !origin) {
        vx_free(value);
        vx_free(origin);
        return 0;
    }
    vx_memcpy(value, s->value, s->count * sizeof(float));
    vx_memcpy(origin, s->origin, s->count * sizeof(uint64_t));
    vx_free(s->value);
    vx_free(s->origin);
    s->value = value;
    s->origin = origin;
    s->cap = cap;
    return 1;
}

// Takes the next n distances in candidate order.
static int stream_offer(stream_select *s, const float *dist, uint64_t n) {
    for (uint64_t j = 0; j < n; j++) {
        float x = dist[j];
        uint64_t i = s->seen + j;
        // The common case once the heap is full: farther than the bound.
        if (i >= s->m && (is_nan(x) || (s->heap_size == s->m && s->heap[0] < x))) continue;
        if (!is_nan(x)) max_heap_offer(s->heap, &s->heap_size, s->m, x);
        if (!stream_wanted(s, x, i)) continue;
        if (s->count == s->cap && !stream_make_room(s)) return 0;
        s->value[s->count] = x;
        s->origin[s->count++] = i;
    }
    s->seen += n;
    return 1;
}

// The m picks with their distances, as select_smallest gives them.
static int stream_finish(stream_select *s, uint64_t *picks, float *pick_values) {
    if (!stream_make_room(s)) return 0;
    return replay_selection(s->value, s->origin, s->count, s->m, picks, pick_values);
}

// --- distances ----------------------------------------------------------------

// dist[i] = distance from query to the record at positions[i] (or at i when
// positions is null), exactly vx_vec_distance under the collection's metric.
static void record_distances(const vx_collection *c, const float *query, const uint64_t *positions,
                             uint64_t first, uint64_t n, float *dist) {
    const float *vectors[GATHER_CHUNK];
    for (uint64_t start = 0; start < n; start += GATHER_CHUNK) {
        uint64_t len = n - start < GATHER_CHUNK ? n - start : GATHER_CHUNK;
        for (uint64_t i = 0; i < len; i++) {
            uint64_t pos = positions ? positions[first + start + i] : first + start + i;
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

static int has_nan(const float *dist, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (is_nan(dist[i])) return 1;
    return 0;
}

static void write_picks(const vx_collection *c, const uint64_t *positions, const uint64_t *picks,
                        const float *values, uint64_t m, search_item *items) {
    for (uint64_t i = 0; i < m; i++) {
        uint64_t pos = positions ? positions[picks[i]] : picks[i];
        items[i] = search_item{c->records[pos].id, values[i], pos, 0};
    }
}

// The choice over a full distance array, with NaN distances set aside to
// rank last; taken only when a NaN turns up (a record stored before
// non-finite vectors were refused).
static uint64_t brute_force_with_nan(const vx_collection *c, const float *query, const uint64_t *positions,
                                     uint64_t ncand, uint64_t m, search_item *items) {
    float *dist = (float *)vx_malloc(ncand * sizeof(float));
    uint64_t *picks = (uint64_t *)vx_malloc(m * sizeof(uint64_t));
    float *values = (float *)vx_malloc(m * sizeof(float));
    int ok = dist && picks && values;
    if (ok) {
        record_distances(c, query, positions, 0, ncand, dist);
        ok = pick_ranked(dist, ncand, m, picks);
    }
    if (ok) {
        for (uint64_t i = 0; i < m; i++) values[i] = dist[picks[i]];
        write_picks(c, positions, picks, values, m, items);
    }
    vx_free(dist);
    vx_free(picks);
    vx_free(values);
    return ok ? m : NONE;
}

// Picks up to `want` of the candidates (positions) by the selection rule and
// appends them to items from index `at`. Distances are computed a chunk at a
// time and streamed through the selection. Returns the number appended, or
// NONE when memory runs out.
static const uint64_t DISTANCE_CHUNK = 4096;

static uint64_t brute_force(const vx_collection *c, const float *query, const uint64_t *positions,
                            uint64_t ncand, uint64_t want, search_item *items, uint64_t at) {
    if (ncand == 0 || want == 0) return 0;
    uint64_t m = want < ncand ? want : ncand;
    float *dist = (float *)vx_malloc(DISTANCE_CHUNK * sizeof(float));
    uint64_t *picks = (uint64_t *)vx_malloc(m * sizeof(uint64_t));
    float *values = (float *)vx_malloc(m * sizeof(float));
    stream_select sel;
    int ok = stream_open(&sel, m) && dist && picks && values;
    int nan = 0;
    for (uint64_t first = 0; ok && !nan && first < ncand; first += DISTANCE_CHUNK) {
        uint64_t n = ncand - first < DISTANCE_CHUNK ? ncand - first : DISTANCE_CHUNK;
        record_distances(c, query, positions, first, n, dist);
        nan = has_nan(dist, n);
        ok = nan || stream_offer(&sel, dist, n);
    }
    ok = ok && !nan && stream_finish(&sel, picks, values);
    if (ok) write_picks(c, positions, picks, values, m, items + at);
    stream_close(&sel);
    vx_free(dist);
    vx_free(picks);
    vx_free(values);
    if (nan) return brute_force_with_nan(c, query, positions, ncand, m, items + at);
    return ok ? m : NONE;
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

// Whether the index's distances are those the collection would compute
// itself, bit for bit, so that its hits need no second measurement:
// - the plain graph measures the very bits it was given for each id (its
//   own copy, or the adder's vector when it borrows; product and scalar
//   codes come only with the _PQ and _SQ kinds, and a scalar quantizer
//   attached to the plain kind leaves its vectors raw) with vx_vec_distance
//   or batch_distance, which give the same bits, and a hit's distance is
//   always measured in full (a sum abandoned past the walk's bound is never
//   admitted);
// - it ranks by the collection's metric (metric codes other than inner
//   product and cosine rank as L2 in both);
// - a removal reaches the graph, so an upsert replaces the node and no hit
//   carries a vector the record no longer has.
// An inverted file does not qualify: removals never reach its lists, so
// after an upsert they still hold the old vector under the id.
static int index_distances_exact(const vx_collection *c) {
    return vx_index_get_type(c->index) == VX_INDEX_HNSW &&
           index_metric(c->index) == index_metric_normalize(c->metric);
}

// kept[i].item.distance = the distance from query to the record at
// kept[i].item.pos, exactly vx_vec_distance under the collection's metric.
static void measure_hits(const vx_collection *c, const float *query, ranked_item *kept, uint64_t n) {
    const float *vectors[GATHER_CHUNK];
    float dist[GATHER_CHUNK];
    for (uint64_t start = 0; start < n; start += GATHER_CHUNK) {
        uint64_t len = n - start < GATHER_CHUNK ? n - start : GATHER_CHUNK;
        for (uint64_t i = 0; i < len; i++) vectors[i] = c->records[kept[start + i].item.pos].vector;
        batch_distance(query, vectors, len, c->dimension, c->metric, dist);
        for (uint64_t i = 0; i < len; i++) kept[start + i].item.distance = dist[i];
    }
}

// Up to this many hits, repeats are looked for pair by pair.
static const uint64_t DISTINCT_CHECK_MAX = 32;

// 1 when two of the n hits name the same record.
static int repeats_record(const ranked_item *kept, uint64_t n) {
    for (uint64_t i = 1; i < n; i++)
        for (uint64_t j = 0; j < i; j++)
            if (kept[i].item.pos == kept[j].item.pos) return 1;
    return 0;
}

// Index hits that name live records matching the filter, each record once
// (the first report of it), at the distance the collection's metric gives:
// the index's own when it is exact, else measured again.
static uint64_t collect_index_hits(vx_collection *c, const float *query, const vx_filter *filter,
                                   const vx_search_result *res, uint64_t n, ranked_item *kept) {
    int exact = index_distances_exact(c);
    uint64_t nk = 0;
    uint64_t ids[GATHER_CHUNK], positions[GATHER_CHUNK];
    for (uint64_t start = 0; start < n; start += GATHER_CHUNK) {
        uint64_t len = n - start < GATHER_CHUNK ? n - start : GATHER_CHUNK;
        for (uint64_t j = 0; j < len; j++) ids[j] = res[start + j].id;
        collection_find_many(c, ids, len, positions);
        for (uint64_t j = 0; j < len; j++) {
            uint64_t pos = positions[j], i = start + j;
            if (pos == NONE) continue; // deleted since it was indexed
            if (filter && !match_filter(&c->records[pos], filter)) continue;
            ranked_item *r = &kept[nk++];
            r->item.id = res[i].id;
            r->item.distance = res[i].distance;
            r->item.pos = pos;
            r->item.from_index = 1;
            r->seq = i;
        }
    }
    // Exact distances come from a kind that is never re-ranked, so its fetch
    // is the wanted count: every index hit's sequence number lies below every
    // top-up hit's, the final ordering is total and the arrangement here
    // does not matter. Hits that name distinct records (a graph reports
    // each node once) then stay in report order.
    if (exact && nk <= DISTINCT_CHECK_MAX && !repeats_record(kept, nk)) return nk;
    // One hit per record: order by position, keep the first reported.
    std::sort(kept, kept + nk, [](const ranked_item &a, const ranked_item &b) {
        return a.item.pos != b.item.pos ? a.item.pos < b.item.pos : a.seq < b.seq;
    });
    uint64_t unique = 0;
    for (uint64_t i = 0; i < nk; i++)
        if (unique == 0 || kept[unique - 1].item.pos != kept[i].item.pos) kept[unique++] = kept[i];
    if (!exact) measure_hits(c, query, kept, unique);
    return unique;
}

// Index kinds whose hits are ranked by approximate (quantized) distances.
static int index_kind_quantized(int32_t type) {
    return type == VX_INDEX_IVF_PQ || type == VX_INDEX_IVF_SQ || type == VX_INDEX_HNSW_PQ ||
           type == VX_INDEX_HNSW_SQ;
}

// Candidates to take from the index for `want` hits: `refine` times as many
// when the index ranks by quantized distances (they are then re-ranked by
// the exact vectors the collection holds), else exactly `want`.
static uint64_t index_fetch_count(const vx_collection *c, uint64_t want, uint64_t refine) {
    if (refine <= 1 || !index_kind_quantized(c->index_params.type)) return want;
    if (want > c->count / refine) return c->count;
    return want * refine;
}

// Keeps the `want` best of nk re-measured index hits (nearest first).
static uint64_t keep_best_hits(ranked_item *ranked, uint64_t nk, uint64_t want) {
    if (nk <= want) return nk;
    std::sort(ranked, ranked + nk, ranked_before);
    return want;
}

// Records looked at to judge how many a filter matches, drawn by a fixed
// hash of the draw number (evenly spaced ones could fall in step with a
// tag that repeats along the insertion order).
static const uint64_t FILTER_SAMPLE = 256;
// A filter matching under this many percent of the sample is searched
// exactly over its matching records: a walk through the graph would pass
// about 100 / share nodes for each hit it may report.
static const uint64_t FILTER_EXACT_PERCENT = 3;

// How many records the filter matches, judged from the sample.
static uint64_t filter_match_estimate(const vx_collection *c, const vx_filter *filter) {
    uint64_t n = c->count < FILTER_SAMPLE ? c->count : FILTER_SAMPLE;
    uint64_t matched = 0;
    for (uint64_t i = 0; i < n; i++) {
        uint64_t pos = c->count <= FILTER_SAMPLE ? i : hash_fmix64(i + 1) % c->count;
        matched += match_filter(&c->records[pos], filter) != 0;
    }
    if (matched * 100 < FILTER_EXACT_PERCENT * n) return 0;
    return n ? matched * (c->count / n) + matched * (c->count % n) / n : 0;
}

// A filtered walk that tests a quarter as many records as exact search
// would measure (the matching records; at least FILTER_WALK_MIN) stops, and
// the search becomes exact: a filter whose matches lie far from the query
// would otherwise lead the walk through much of the graph. A walk among
// matches near the query tests a few hundred records at ef 128 on 60,000
// Fashion-MNIST images (median 285, nine in ten under 800); one whose
// matches are elsewhere, thousands. From FILTER_WALK_MIN tests on, a walk
// also gives way as soon as the ef matches it holds out for would, at the
// rate it has met matches so far, take it past its budget: the tests until
// the budget ran out would be wasted.
static const uint64_t FILTER_WALK_SHARE = 4;
static const uint64_t FILTER_WALK_MIN = 256;

struct filter_walk {
    const vx_collection *c;
    const vx_filter *filter;
    uint64_t budget;  // records the walk may test
    uint64_t ef;      // matches the walk holds out for
    uint64_t tested;
    uint64_t accepted;
    int gave_way;
};

static bool walk_outruns_budget(const filter_walk *w) {
    if (w->tested < FILTER_WALK_MIN) return false;
    uint64_t met = w->accepted ? w->accepted : 1;
    return (unsigned __int128)w->tested * w->ef > (unsigned __int128)w->budget * met;
}

// The graph walk's test: the id names a live record that matches; ends the
// walk once the budget is spent or would be before the walk is done.
static int record_accepted(uint64_t id, void *context) {
    filter_walk *w = (filter_walk *)context;
    if (++w->tested > w->budget || walk_outruns_budget(w)) {
        w->gave_way = 1;
        return -1;
    }
    uint64_t pos = collection_find(w->c, id);
    int match = pos != NONE && match_filter(&w->c->records[pos], w->filter);
    w->accepted += match;
    return match;
}

// Index hits for a search: a filter is tested inside the graph's walk when
// the graph's distances are the collection's own, else afterwards on the
// index's plain hits. NONE when the walk gave up.
static uint64_t index_hits(vx_collection *c, const float *query, uint64_t fetch, const vx_filter *filter,
                           uint64_t matches, vx_search_result *res) {
    if (filter && index_distances_exact(c) && index_filters_in_walk(c->index)) {
        uint64_t budget = matches / FILTER_WALK_SHARE;
        vx_index_shape shape;
        index_shape_get(c->index, &shape);
        filter_walk w = {c, filter, budget > FILTER_WALK_MIN ? budget : FILTER_WALK_MIN,
                         shape.ef_search > fetch ? shape.ef_search : fetch, 0, 0, 0};
        uint64_t n = index_search_accepting(c->index, query, fetch, record_accepted, &w, res);
        return w.gave_way ? NONE : n;
    }
    return vx_index_search(c->index, query, fetch, res);
}

static uint64_t search_index(vx_collection *c, const float *query, uint64_t k, const vx_filter *filter,
                             uint64_t refine, search_item **items) {
    uint64_t matches = filter ? filter_match_estimate(c, filter) : c->count;
    if (matches == 0) return search_brute(c, query, k, filter, items);
    uint64_t want = k < c->count ? k : c->count;
    uint64_t fetch = index_fetch_count(c, want, refine);
    // One block holds the answer and every scratch array, the answer first
    // so that the block is what the caller frees.
    if (fetch > UINT64_MAX / 256) return 0;
    uint64_t bytes = 2 * want * sizeof(search_item) +
                     fetch * (sizeof(vx_search_result) + sizeof(ranked_item) + sizeof(uint64_t));
    search_item *out = (search_item *)vx_malloc(bytes);
    if (!out) return 0;
    search_item *top = out + want;
    vx_search_result *res = (vx_search_result *)(top + want);
    ranked_item *ranked = (ranked_item *)(res + fetch);
    uint64_t *skip = (uint64_t *)(ranked + fetch);
    uint64_t n = index_hits(c, query, fetch, filter, matches, res);
    if (n == NONE) {
        vx_free(out);
        return search_brute(c, query, k, filter, items);
    }
    if (n > fetch) n = fetch;
    uint64_t nk = keep_best_hits(ranked, collect_index_hits(c, query, filter, res, n, ranked), want);
    uint64_t total = nk;
    if (nk < want) { // top up by brute force over the records not yet in
        for (uint64_t i = 0; i < nk; i++) skip[i] = ranked[i].item.pos;
        std::sort(skip, skip + nk);
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
    for (uint64_t i = 0; i < total; i++) out[i] = ranked[i].item;
    if (total == 0) {
        vx_free(out);
        return 0;
    }
    *items = out;
    return total;
}

uint64_t collection_search_refined(vx_collection *c, const float *query, uint64_t k, const vx_filter *filter,
                                   uint64_t refine, search_item **items) {
    *items = nullptr;
    if (k == 0 || c->count == 0) return 0;
    if (refine == 0) refine = collection_refine_factor(c);
    if (collection_index_active(c)) return search_index(c, query, k, filter, refine, items);
    return search_brute(c, query, k, filter, items);
}

uint64_t collection_search_locked(vx_collection *c, const float *query, uint64_t k, const vx_filter *filter,
                                  search_item **items) {
    return collection_search_refined(c, query, k, filter, 0, items);
}

// --- public search ------------------------------------------------------------

// Hits as the host sees them: the stored vector and metadata when asked
// for, whichever path found the hit.
static void write_hits(const vx_collection *c, const search_item *items, uint64_t n, const vx_search_options *opt,
                       vx_search_hit *out) {
    int include_vector = opt && opt->include_vector;
    int include_meta = opt && opt->include_meta;
    for (uint64_t i = 0; i < n; i++) {
        const vx_record *r = &c->records[items[i].pos];
        out[i].id = items[i].id;
        out[i].distance = items[i].distance;
        out[i].vector = include_vector ? r->vector : nullptr;
        out[i].meta = include_meta ? r->meta : nullptr;
        out[i].meta_count = include_meta ? r->meta_count : 0;
    }
}

static uint64_t search_and_write(vx_collection *c, const float *query, const vx_search_options *opt,
                                 vx_search_hit *out) {
    uint64_t k = opt ? opt->k : VX_COLLECTION_DEFAULT_K;
    const vx_filter *filter = opt ? opt->filter : nullptr;
    search_item *items;
    uint64_t n = collection_search_refined(c, query, k, filter, opt ? opt->refine_factor : 0, &items);
    write_hits(c, items, n, opt, out);
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
    if (st == VX_OK) {
        c->index_threshold = 0;
        c->index_enabled = 1;
    }
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

// --- many queries per call --------------------------------------------------------

// Queries that share one pass over the stored vectors, and the most
// distances kept for one tile of them.
static const uint64_t BATCH_TILE = 32;
static const uint64_t BATCH_TILE_BYTES = 64ull << 20;
static const uint32_t BATCH_MAX_THREADS = THREAD_SHARES_MAX;

struct batch_job {
    vx_collection *c;
    const float *queries;
    uint64_t nq;
    const vx_search_options *opt;
    uint64_t k;                 // hit slots per query
    vx_search_hit *out;
    uint64_t *counts;
    // Brute force: the candidates every query shares (vectors null when the
    // collection searches through its index).
    const float **vectors;
    const uint64_t *positions;  // null: candidate i is record i
    uint64_t ncand;
    uint64_t tile;              // queries per pass
    uint32_t threads;
};

struct batch_worker {
    const batch_job *job;
    uint32_t index;
    vx_status status;
};

// One tile of queries by brute force: distances of every query of the tile
// to every candidate in one pass, then each query's selection as alone.
static vx_status batch_brute_tile(const batch_job *j, uint64_t first, uint64_t count, float *dist,
                                  uint64_t *picks, search_item *items) {
    const vx_collection *c = j->c;
    const float *q = j->queries + first * c->dimension;
    if (!batch_distance_queries(q, count, j->vectors, j->ncand, c->dimension, c->metric, dist, j->ncand))
        return VX_ERR_NO_MEMORY;
    uint64_t m = j->k < j->ncand ? j->k : j->ncand;
    for (uint64_t t = 0; t < count; t++) {
        const float *d = dist + t * j->ncand;
        if (!select_smallest(d, j->ncand, m, picks)) return VX_ERR_NO_MEMORY;
        for (uint64_t i = 0; i < m; i++) {
            uint64_t pos = j->positions ? j->positions[picks[i]] : picks[i];
            items[i] = search_item{c->records[pos].id, d[picks[i]], pos, 0};
        }
        write_hits(c, items, m, j->opt, j->out + (first + t) * j->k);
        j->counts[first + t] = m;
    }
    return VX_OK;
}

static vx_status batch_brute_share(const batch_job *j, uint32_t index) {
    uint64_t m = j->k < j->ncand ? j->k : j->ncand;
    float *dist = (float *)vx_malloc(j->tile * j->ncand * sizeof(float));
    uint64_t *picks = (uint64_t *)vx_malloc(m * sizeof(uint64_t) + 1);
    search_item *items = (search_item *)vx_malloc(m * sizeof(search_item) + 1);
    vx_status st = dist && picks && items ? VX_OK : VX_ERR_NO_MEMORY;
    for (uint64_t first = index * j->tile; st == VX_OK && first < j->nq; first += j->threads * j->tile) {
        uint64_t count = j->nq - first < j->tile ? j->nq - first : j->tile;
        st = batch_brute_tile(j, first, count, dist, picks, items);
    }
    vx_free(dist);
    vx_free(picks);
    vx_free(items);
    return st;
}

static vx_status batch_each_share(const batch_job *j, uint32_t index) {
    const vx_collection *c = j->c;
    for (uint64_t i = index; i < j->nq; i += j->threads) {
        uint64_t k = j->opt ? j->opt->k : VX_COLLECTION_DEFAULT_K;
        const float *query = j->queries + i * c->dimension;
        // A query vx_collection_search refuses gets no hits here either.
        j->counts[i] = vector_all_finite(query, c->dimension) ? search_and_write(j->c, query, j->opt, j->out + i * k) : 0;
    }
    return VX_OK;
}

static void *batch_worker_run(void *arg) {
    batch_worker *w = (batch_worker *)arg;
    w->status = w->job->vectors ? batch_brute_share(w->job, w->index) : batch_each_share(w->job, w->index);
    return nullptr;
}

// Shares the queries among job->threads workers, the calling thread being
// the first; a worker that cannot start runs on the calling thread.
static vx_status batch_run(const batch_job *job) {
    batch_worker workers[BATCH_MAX_THREADS];
    for (uint32_t t = 0; t < job->threads; t++) workers[t] = batch_worker{job, t, VX_OK};
    thread_run_shares(batch_worker_run, workers, sizeof(batch_worker), job->threads);
    vx_status st = VX_OK;
    for (uint32_t t = 0; t < job->threads && st == VX_OK; t++) st = workers[t].status;
    return st;
}

// Pointers to the candidates' vectors, shared by every query of a batch.
static const float **candidate_vectors(const vx_collection *c, const uint64_t *positions, uint64_t n) {
    const float **v = (const float **)vx_malloc(n * sizeof(float *) + 1);
    if (v)
        for (uint64_t i = 0; i < n; i++) v[i] = c->records[positions ? positions[i] : i].vector;
    return v;
}

static vx_status search_batch_locked(vx_collection *c, batch_job *job) {
    for (uint64_t i = 0; i < job->nq; i++) job->counts[i] = 0;
    if (job->k == 0 || c->count == 0) return VX_OK;
    uint64_t *positions = nullptr;
    vx_status st = VX_OK;
    if (!collection_index_active(c)) {
        st = gather_candidates(c, job->opt ? job->opt->filter : nullptr, nullptr, 0, &positions, &job->ncand);
        if (st != VX_OK) return st;
        if (job->ncand == 0) {
            vx_free(positions);
            return VX_OK;
        }
        job->positions = positions;
        job->vectors = candidate_vectors(c, positions, job->ncand);
        if (!job->vectors) st = VX_ERR_NO_MEMORY;
        uint64_t fit = BATCH_TILE_BYTES / (job->ncand * sizeof(float));
        job->tile = fit < 1 ? 1 : fit < BATCH_TILE ? fit : BATCH_TILE;
    }
    if (st == VX_OK) st = batch_run(job);
    vx_free(job->vectors);
    vx_free(positions);
    return st;
}

extern "C" VX_API vx_status vx_collection_search_batch(vx_collection *c, const float *queries, uint64_t nq,
                                                       const vx_search_options *opt, uint32_t threads,
                                                       vx_search_hit *out, uint64_t *counts) {
    if (!c || !queries || !out || !counts) return VX_ERR_INVALID_ARG;
    if (nq == 0) return VX_OK;
    // A filter vx_collection_search refuses (too deep, too large or cyclic)
    // would run away here as well.
    if (opt && !filter_within_limits(opt->filter)) {
        collection_refuse(__func__, "filter too deep or cyclic");
        return VX_ERR_INVALID_ARG;
    }
    read_guard guard(c->lock);
    if (!guard.held()) return guard.status();
    uint32_t t = threads < 1 ? 1 : threads > BATCH_MAX_THREADS ? BATCH_MAX_THREADS : threads;
    if (t > nq) t = (uint32_t)nq;
    batch_job job = {c, queries, nq, opt, opt ? opt->k : VX_COLLECTION_DEFAULT_K, out, counts,
                     nullptr, nullptr, 0, 1, t};
    vx_status st = search_batch_locked(c, &job);
    // Queries with a NaN or an infinity get no hits, as alone.
    for (uint64_t i = 0; i < nq; i++)
        if (!vector_all_finite(queries + i * (uint64_t)c->dimension, c->dimension)) counts[i] = 0;
    return st;
}
