// Index files: the kind, then the family's fields, lists or nodes, and the
// quantizer section, little-endian and packed. Saving writes a temporary
// file beside the target and renames it over the target. Loading treats the
// file as hostile: every count is checked against the bytes that remain
// before it drives an allocation, and a graph's entry point is repaired when
// it names no node of the top layer.
//
// Files end with a checksum over every byte before it:
//
//   u32 magic "VXCK", u32 version 1, u64 MurmurHash3 (64-bit, seed 0).
//
// A file whose checksum does not match is refused. A file without the
// section (written before it existed) loads as before; a last 16 bytes that
// hash right but lack the magic are a damaged section, not an older file.
#include "vx_file_internal.h"
#include "vx_index_internal.h"
#include "vx_persist_internal.h"
#include "vx_storage_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const uint64_t IO_CHUNK = 1u << 20;

/* ---- writing ---------------------------------------------------------------------- */

static void write_pq(file_writer *o, const vx_pq_quantizer *pq) {
    writer_u32(o, pq->dim);
    writer_u32(o, pq->m);
    writer_u32(o, pq->ksub);
    writer_u32(o, pq->dsub);
    for (uint32_t s = 0; s < pq->m; s++) writer_f32s(o, pq->codebooks[s], (uint64_t)pq->ksub * pq->dsub);
}

static void write_sq(file_writer *o, const vx_sq_quantizer *sq) {
    writer_u32(o, sq->dim);
    writer_f32s(o, sq->min, sq->dim);
    writer_f32s(o, sq->max, sq->dim);
    writer_f32s(o, sq->scale, sq->dim);
}

static void write_quantizer(file_writer *o, int32_t kind, const vx_pq_quantizer *pq, const vx_sq_quantizer *sq) {
    if ((kind == VX_INDEX_IVF_PQ || kind == VX_INDEX_HNSW_PQ) && pq) write_pq(o, pq);
    else if ((kind == VX_INDEX_IVF_SQ || kind == VX_INDEX_HNSW_SQ) && sq) write_sq(o, sq);
}

void ivf_file_write(file_writer *o, const void *body) {
    const vx_ivf_index *f = (const vx_ivf_index *)body;
    uint32_t d = f->dimension;
    writer_u32(o, d);
    writer_u32(o, f->list_count);
    writer_u32(o, (uint32_t)f->metric);
    uint8_t trained = f->trained ? 1 : 0;
    file_writer_put(o, &trained, 1);
    writer_u32(o, f->nlist);
    writer_u32(o, f->nprobe);
    writer_u32(o, f->iterations);
    for (uint32_t j = 0; j < f->list_count; j++) writer_f32s(o, f->lists[j].centroid, d);
    for (uint32_t j = 0; j < f->list_count; j++) {
        const vx_ivf_list *list = &f->lists[j];
        writer_u32(o, (uint32_t)list->count);
        for (uint64_t i = 0; i < list->count; i++) {
            const vx_ivf_entry *e = &list->entries[i];
            writer_u64(o, e->id);
            if (f->type == VX_INDEX_IVF_PQ && f->pq && e->code) file_writer_put(o, e->code, f->pq->m);
            else if (f->type == VX_INDEX_IVF_SQ && f->sq && e->code) file_writer_put(o, e->code, d);
            else if (e->vector) writer_f32s(o, e->vector, d);
        }
    }
    write_quantizer(o, f->type, f->pq, f->sq);
}

void hnsw_file_write(file_writer *o, const void *body) {
    const vx_hnsw_index *h = (const vx_hnsw_index *)body;
    uint64_t present = h->present;
    writer_u32(o, h->dimension);
    // The spare word holds the ranking metric in its low byte and the
    // neighbour selection in the next (0 for L2 and nearest links, so such
    // files keep their bytes).
    writer_u32(o, (uint32_t)h->metric | (uint32_t)h->selection << 8);
    writer_u64(o, present);
    writer_u64(o, h->capacity);
    writer_u32(o, h->max_level);
    writer_u64(o, (uint64_t)h->entry_point);
    writer_u32(o, h->M);
    writer_u32(o, h->ef_construction);
    writer_u32(o, h->ef_search);
    writer_f32s(o, &h->level_mult, 1);
    writer_u64(o, h->effective_seed);
    for (uint64_t slot = 0; slot < h->capacity; slot++) {
        if (!h->vectors[slot]) continue;
        uint32_t level = h->levels[slot];
        writer_u64(o, slot);
        writer_u32(o, level);
        writer_f32s(o, h->vectors[slot], h->dimension);
        for (uint32_t l = 0; l <= level; l++) {
            const uint32_t *list = hnsw_list(h, slot, l);
            writer_u32(o, list[0]);
            for (uint32_t j = 1; j <= list[0]; j++) writer_u64(o, list[j]);
        }
    }
    write_quantizer(o, h->type, h->pq, h->sq);
}

extern "C" VX_API vx_status vx_index_save(const vx_index *index, const vx_str *path) {
    if (!index || !path || !path->data) return VX_ERR_INVALID_ARG;
    int32_t kind = index->type;
    if (!index->body) return VX_ERR_INVALID_ARG;
    file_writer o;
    vx_status st = file_writer_open(&o, path->data);
    if (st != VX_OK) return st;
    file_writer_hash_begin(&o);
    writer_u32(&o, (uint32_t)kind);
    index->kind->family->write(&o, index->body);
    writer_checksum(&o);
    return file_writer_finish(&o);
}

/* ---- buffered input --------------------------------------------------------------- */

// Reads forward through a file; `left` is what remains of it, so counts can
// be checked against it before anything is allocated for them.
struct in_file {
    int fd;
    uint8_t *buffer;
    uint64_t have;   // bytes in buffer
    uint64_t at;     // next byte of buffer
    uint64_t pos;    // file offset of buffer[at]
    uint64_t size;   // file size
    int ok;
};

static uint64_t in_left(const in_file *in) { return in->pos < in->size ? in->size - in->pos : 0; }

static int in_fill(in_file *in) {
    int64_t n = file_read_fully(in->fd, in->buffer, IO_CHUNK);
    if (n <= 0) return 0;
    in->have = (uint64_t)n;
    in->at = 0;
    return 1;
}

static int in_bytes(in_file *in, void *dst, uint64_t n) {
    uint8_t *out = (uint8_t *)dst;
    while (in->ok && n > 0) {
        if (in->at == in->have && !in_fill(in)) in->ok = 0;
        if (!in->ok) break;
        uint64_t take = in->have - in->at < n ? in->have - in->at : n;
        vx_memcpy(out, in->buffer + in->at, take);
        in->at += take;
        in->pos += take;
        out += take;
        n -= take;
    }
    return in->ok;
}

static uint8_t in_u8(in_file *in) {
    uint8_t v = 0;
    in_bytes(in, &v, 1);
    return v;
}
static uint32_t in_u32(in_file *in) {
    uint8_t b[4] = {0, 0, 0, 0};
    in_bytes(in, b, 4);
    return get_u32(b);
}
static uint64_t in_u64(in_file *in) {
    uint8_t b[8] = {0};
    in_bytes(in, b, 8);
    return get_u64(b);
}
static float in_f32(in_file *in) {
    uint8_t b[4] = {0, 0, 0, 0};
    in_bytes(in, b, 4);
    return get_f32(b);
}
// n floats into dst, only when the file still holds them.
static int in_floats(in_file *in, float *dst, uint64_t n) {
    if (n > in_left(in) / 4) return in->ok = 0;
    for (uint64_t i = 0; i < n && in->ok; i++) dst[i] = in_f32(in);
    return in->ok;
}

// Reads fixed-size fields at an absolute offset without moving the stream.
static int read_at(int fd, uint64_t offset, void *dst, uint64_t n) {
    uint8_t *out = (uint8_t *)dst;
    while (n > 0) {
        ssize_t got = pread(fd, out, n, (off_t)offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        out += got;
        offset += (uint64_t)got;
        n -= (uint64_t)got;
    }
    return 1;
}

/* ---- quantizer sections ------------------------------------------------------------ */

static int log2_exact(uint32_t v, int32_t *bits) {
    for (int32_t b = 0; b <= 8; b++) {
        if (v == (1u << b)) {
            *bits = b;
            return 1;
        }
    }
    return 0;
}

// The product quantizer section; it must describe the index's dimension.
static vx_pq_quantizer *read_pq(in_file *in, vx_arena *arena, uint32_t dimension) {
    uint32_t dim = in_u32(in), m = in_u32(in), ksub = in_u32(in), dsub = in_u32(in);
    int32_t nbits = 0;
    if (!in->ok || dim != dimension || m == 0 || dim % m != 0 || dsub != dim / m || !log2_exact(ksub, &nbits))
        return nullptr;
    if ((uint64_t)ksub * dim > in_left(in) / 4) return nullptr;
    vx_pq_quantizer *pq = nullptr;
    if (vx_pq_create(arena, dim, m, nbits, &pq) != VX_OK || !pq || pq->ksub != ksub || pq->dsub != dsub) return nullptr;
    for (uint32_t s = 0; s < m; s++)
        if (!in_floats(in, pq->codebooks[s], (uint64_t)ksub * dsub)) return nullptr;
    return pq;
}

static vx_sq_quantizer *read_sq(in_file *in, vx_arena *arena, uint32_t dimension) {
    uint32_t dim = in_u32(in);
    if (!in->ok || dim != dimension || (uint64_t)dim * 3 > in_left(in) / 4) return nullptr;
    vx_sq_quantizer *sq = vx_sq_quantizer_create(arena, dim);
    if (!sq) return nullptr;
    if (!in_floats(in, sq->min, dim) || !in_floats(in, sq->max, dim) || !in_floats(in, sq->scale, dim)) return nullptr;
    return sq;
}

// A kind-3 file keeps the quantizer after the lists, yet the lists' codes
// are m bytes wide. The section is 16 + 4 * ksub * dimension bytes whatever
// m is, and ksub is a power of two up to 256, so the few places where it can
// start are tried from the end of the file. The code width found this way
// is confirmed when the lists parse to exactly that place.
static uint32_t find_pq_code_size(int fd, uint64_t size, uint64_t lists_at, uint32_t dimension,
                                  uint64_t *section_at) {
    for (uint32_t ksub = 1; ksub <= 256; ksub *= 2) {
        uint64_t section = 16 + 4ull * ksub * dimension;
        if (section > size - lists_at) break;
        uint64_t at = size - section;
        uint8_t head[16];
        if (!read_at(fd, at, head, sizeof(head))) continue;
        uint32_t dim = get_u32(head), m = get_u32(head + 4), k = get_u32(head + 8), dsub = get_u32(head + 12);
        if (dim == dimension && k == ksub && m != 0 && dim % m == 0 && dsub == dim / m) {
            *section_at = at;
            return m;
        }
    }
    return 0;
}

/* ---- loading: inverted file ----------------------------------------------------------- */

// One list's entries; false ends the load (the list keeps the stored count).
static int read_ivf_list(in_file *in, vx_ivf_index *f, vx_ivf_list *list, uint32_t code_size, int codes) {
    uint32_t d = f->dimension;
    uint64_t count = in_u32(in);
    if (!in->ok) return 0;
    uint64_t payload = codes ? code_size : 4ull * d;
    // The entries must fit in what is left before an array is made for them.
    if (count > in_left(in) / (8 + payload)) return in->ok = 0;
    if (count > list->capacity) {
        vx_ivf_entry *fresh = (vx_ivf_entry *)vx_arena_calloc(f->arena, 2 * count, sizeof(vx_ivf_entry));
        if (!fresh) return 0;
        list->entries = fresh;
        list->capacity = 2 * count;
    }
    list->count = count;
    f->ntotal += count;
    for (uint64_t i = 0; i < count; i++) {
        vx_ivf_entry *e = &list->entries[i];
        e->id = in_u64(in);
        if (codes) {
            e->code = (uint8_t *)vx_arena_alloc(f->arena, code_size);
            if (!e->code || !in_bytes(in, e->code, code_size)) return 0;
        } else {
            e->vector = (float *)vx_arena_alloc(f->arena, 4ull * d);
            if (!e->vector || !in_floats(in, e->vector, d)) return 0;
        }
    }
    return in->ok;
}

vx_index *ivf_file_read(in_file *in, vx_arena *arena, int32_t kind) {
    uint32_t d = in_u32(in), lists = in_u32(in), metric = in_u32(in);
    uint8_t trained = in_u8(in);
    uint32_t nlist = in_u32(in), nprobe = in_u32(in), iterations = in_u32(in);
    if (!in->ok || d == 0 || d > VX_FILE_MAX_DIMENSION || nlist == 0 || nlist > VX_FILE_MAX_NLIST ||
        (uint64_t)nlist * d > VX_FILE_MAX_CENTROID_FLOATS || iterations > VX_FILE_MAX_ITERATIONS)
        return nullptr;
    // Every list needs its centroid and its count in the file.
    if ((uint64_t)nlist * (4ull * d + 4) > in_left(in)) return nullptr;
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = (vx_index_type)kind;
    p.dimension = d;
    p.family.ivf.nlist = nlist;
    p.family.ivf.nprobe = nprobe;
    p.family.ivf.iterations = iterations;
    vx_index *index = vx_index_create(arena, &p);
    if (!index) return nullptr;
    vx_ivf_index *f = (vx_ivf_index *)index->body;
    f->metric = index_metric_normalize((int32_t)metric);
    f->ntotal = 0;
    f->trained = trained ? 1 : 0;
    if (lists != f->list_count) return index;
    for (uint32_t j = 0; j < lists; j++)
        if (!in_floats(in, f->lists[j].centroid, d)) return index;
    uint32_t code_size = 0;
    int codes = 0;
    uint64_t pq_at = 0;
    if (kind == VX_INDEX_IVF_PQ) {
        code_size = find_pq_code_size(in->fd, in->size, in->pos, d, &pq_at);
        codes = code_size != 0;
    } else if (kind == VX_INDEX_IVF_SQ && f->sq) {
        code_size = d;
        codes = 1;
    }
    for (uint32_t j = 0; j < lists; j++)
        if (!read_ivf_list(in, f, &f->lists[j], code_size, codes)) return index;
    if (kind == VX_INDEX_IVF_PQ && codes && in->pos == pq_at) {
        f->pq = read_pq(in, arena, d);
    } else if (kind == VX_INDEX_IVF_SQ && in_left(in) > 0) {
        // The stored quantizer replaces the fresh one only when it is whole.
        vx_sq_quantizer *sq = read_sq(in, arena, d);
        if (sq) f->sq = sq;
    }
    return index;
}

/* ---- loading: graph ----------------------------------------------------------------- */

static int ensure_slots(vx_hnsw_index *h, uint64_t slots, uint64_t limit) {
    if (slots <= h->capacity) return 1;
    if (slots > limit) return 0;
    return hnsw_grow_tables(h, slots);
}

// A stored link that cannot name a slot (beyond 32 bits) names no node.
static uint32_t stored_link(uint64_t link) {
    return link < VX_HNSW_NO_NODE ? (uint32_t)link : VX_HNSW_NO_NODE;
}

static int read_hnsw_vector_and_lists(in_file *in, vx_hnsw_index *h, uint64_t id, uint32_t level) {
    if (!in_floats(in, (float *)h->vectors[id], h->dimension)) return 0;
    for (uint32_t l = 0; l <= level; l++) {
        uint32_t count = in_u32(in);
        uint32_t *list = hnsw_list(h, id, l);
        if (!in->ok || count > hnsw_layer_cap(h, l) || 8ull * count > in_left(in)) return 0;
        for (uint32_t j = 1; j <= count; j++) list[j] = stored_link(in_u64(in));
        if (!in->ok) return 0;
        list[0] = count;
    }
    return 1;
}

static int read_hnsw_node(in_file *in, vx_hnsw_index *h, uint64_t slot_limit) {
    uint64_t id = in_u64(in);
    uint32_t level = in_u32(in);
    if (!in->ok) return 0;
    // Each layer takes at least its 4-byte count, the vector 4 bytes a float.
    uint64_t need = 4ull * h->dimension + 4ull * ((uint64_t)level + 1);
    if (need > in_left(in) || id >= slot_limit) return 0;
    if (id >= h->capacity && !ensure_slots(h, 2 * id + 2 < slot_limit ? 2 * id + 2 : slot_limit, slot_limit))
        return 0;
    // Each id is stored once; a repeated one marks a damaged file.
    if (hnsw_has_node(h, id) || !hnsw_node_place(h, id, level, nullptr)) return 0;
    if (!read_hnsw_vector_and_lists(in, h, id, level)) {
        // A node read in part is left out, as if the file ended before it.
        h->vectors[id] = nullptr;
        h->present--;
        return 0;
    }
    if (id < h->scan_from) h->scan_from = id;
    return 1;
}

// The entry point must be a present node on the top layer. Links are kept as
// stored: the traversals skip ids that name no node or a node below the
// link's layer, as they do after removals.
static void hnsw_repair_entry(vx_hnsw_index *h) {
    int64_t ep = h->entry_point;
    if (ep >= 0 && hnsw_has_node(h, (uint64_t)ep) && h->levels[ep] >= h->max_level) return;
    uint64_t top = VX_HNSW_NO_NODE;
    for (uint64_t slot = 0; slot < h->capacity; slot++)
        if (h->vectors[slot] && (top == VX_HNSW_NO_NODE || h->levels[slot] > h->levels[top])) top = slot;
    h->entry_point = top != VX_HNSW_NO_NODE ? (int64_t)top : -1;
    h->max_level = top != VX_HNSW_NO_NODE ? h->levels[top] : 0;
}

vx_index *hnsw_file_read(in_file *in, vx_arena *arena, int32_t kind) {
    uint32_t d = in_u32(in), metric = in_u32(in);
    uint64_t nodes = in_u64(in), capacity = in_u64(in);
    uint32_t max_level = in_u32(in);
    uint64_t entry = in_u64(in);
    uint32_t M = in_u32(in), efc = in_u32(in), efs = in_u32(in);
    float level_mult = in_f32(in);
    uint64_t seed = in_u64(in);
    if (!in->ok || d == 0 || d > VX_FILE_MAX_DIMENSION || M > VX_FILE_MAX_M || efc > VX_FILE_MAX_EF ||
        efs > VX_FILE_MAX_EF)
        return nullptr;
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = (vx_index_type)kind;
    p.metric = index_metric_normalize((int32_t)(metric & 0xFFu));
    p.dimension = d;
    p.family.hnsw.M = M;
    p.family.hnsw.ef_construction = efc;
    p.family.hnsw.ef_search = efs;
    p.family.hnsw.level_mult = level_mult;
    vx_index *index = vx_index_create(arena, &p);
    if (!index) return nullptr;
    vx_hnsw_index *h = (vx_hnsw_index *)index->body;
    // The limit on table bytes a file may ask for stays what 8-byte slots
    // gave; layer-0 lists come in pages only where nodes land.
    uint64_t slot_bytes = sizeof(float *) + sizeof(uint32_t) + sizeof(uint32_t *);
    uint64_t slot_limit = file_slot_limit(in->size) / (slot_bytes / 8 ? slot_bytes / 8 : 1);
    h->ntotal = nodes;
    h->max_level = max_level;
    h->entry_point = (int64_t)entry;
    h->effective_seed = seed;
    hnsw_set_selection(h, (metric >> 8 & 0xFFu) == VX_HNSW_SELECT_DIVERSE ? VX_HNSW_SELECT_DIVERSE
                                                                          : VX_HNSW_SELECT_NEAREST);
    h->scan_from = UINT64_MAX;
    int ok = ensure_slots(h, capacity < slot_limit ? capacity : slot_limit, slot_limit);
    for (uint64_t i = 0; ok && i < nodes; i++) ok = read_hnsw_node(in, h, slot_limit);
    if (ok && kind == VX_INDEX_HNSW_PQ && in_left(in) > 0) h->pq = read_pq(in, arena, d);
    else if (ok && kind == VX_INDEX_HNSW_SQ && in_left(in) > 0) {
        vx_sq_quantizer *sq = read_sq(in, arena, d);
        if (sq) h->sq = sq;
    }
    if (h->scan_from > h->capacity) h->scan_from = h->capacity;
    hnsw_repair_entry(h);
    return index;
}

/* ---- checksum ---------------------------------------------------------------- */

// MurmurHash3 x64 of the file's first n bytes, read in chunks into buffer.
static int hash_prefix(int fd, uint8_t *buffer, uint64_t n, uint64_t *out) {
    hash_stream hash;
    hash_stream_init(&hash, 0);
    for (uint64_t pos = 0; pos < n;) {
        uint64_t take = n - pos < IO_CHUNK ? n - pos : IO_CHUNK;
        if (!read_at(fd, pos, buffer, take)) return 0;
        hash_stream_feed(&hash, buffer, take);
        pos += take;
    }
    *out = hash_stream_value(&hash);
    return 1;
}

// Checks the trailing checksum and, when the file has one, shortens
// in->size to the bytes it covers. 0 for a damaged file.
static int checksum_verified(in_file *in) {
    if (in->size < VX_FILE_CHECKSUM_SIZE) return 1;
    uint64_t body = in->size - VX_FILE_CHECKSUM_SIZE;
    uint8_t tail[VX_FILE_CHECKSUM_SIZE];
    uint64_t hash = 0;
    if (!read_at(in->fd, body, tail, VX_FILE_CHECKSUM_SIZE) || !hash_prefix(in->fd, in->buffer, body, &hash)) return 0;
    int marked = get_u32(tail) == VX_FILE_CHECKSUM_MAGIC && get_u32(tail + 4) == VX_FILE_CHECKSUM_VERSION;
    int matches = hash == get_u64(tail + 8);
    if (marked != matches) {
        vx_error_set(VX_ERR_FILE_CORRUPTED, __FILE__, __LINE__, __func__, "index file checksum mismatch");
        return 0;
    }
    if (marked) in->size = body;
    return 1;
}

extern "C" VX_API vx_index *vx_index_load(vx_arena *arena, const vx_str *path) {
    if (!arena || !path || !path->data) return nullptr;
    int fd = open(path->data, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    in_file in = {fd, (uint8_t *)vx_malloc(IO_CHUNK), 0, 0, 0, 0, 1};
    if (fstat(fd, &st) != 0 || !in.buffer) in.ok = 0;
    else in.size = (uint64_t)st.st_size;
    if (in.ok && !checksum_verified(&in)) in.ok = 0;
    vx_index *index = nullptr;
    uint32_t kind = in.ok ? in_u32(&in) : 0;
    const vx_index_kind *known = in.ok ? index_kind_of((int32_t)kind) : nullptr;
    if (known) index = known->family->read(&in, arena, (int32_t)kind);
    vx_free(in.buffer);
    close(fd);
    return index;
}
