// Collection files. Layout: the 192-byte storage header, the collection
// header at 192 (checksummed), the records from 384, each a 32-byte head (id,
// dimension, zeros) and the vector, and, only when some record carries
// metadata, a metadata section right after the records:
//
//   u32 magic "VXMD", u32 version 1, u64 record count, then per record in
//   record order: u64 entry count, and per entry: key (u64 length, the bytes;
//   length UINT64_MAX for a null key), i32 type, then the value: i32 for
//   INT32 and BOOL, i64 for INT64, f32 for FLOAT, f64 for DOUBLE, a text like
//   the key for STRING, nothing for NULL and unknown types.
//
// When the collection's index is in use, the index is saved beside the file
// as "<path>.idx" (vx_index_save) and a last section names it:
//
//   u32 magic "VXIX", u32 version 1, u64 size and u64 MurmurHash3 (64-bit,
//   seed 0) of the index file as written.
//
// Loading uses that index file only when its size and hash still match, so a
// stale or damaged one is never taken: the index is then rebuilt from the
// records.
//
// The file ends with a checksum section over every byte from the records up
// to it (records, metadata, index link):
//
//   u32 magic "VXCK", u32 version 1, u64 MurmurHash3 (64-bit, seed 0).
//
// The collection header's flag word says the section is there, so a file
// cut short or with a damaged section is refused rather than read as one of
// the older files that end without it (those still load, unchecked). The
// header keeps the quantizer settings too; the quantizer's trained state
// lives in the index file, and an index rebuilt at load retrains it.
//
// Collection header words taken from its reserved area (the header checksum
// covers them): reserved[0] quantizer kind (low half) and bits per product
// code (high half), reserved[1] product sub-spaces, reserved[2] flags.
//
// Saves write a temporary file next to the target, flush it and rename it
// over the target, so a crash leaves the old file or the new one.
#include "vx_collection_internal.h"
#include "vx_file_internal.h"
#include "vx_index_access.h"
#include "vx_lock_guard.h"
#include "vx_persist_internal.h"
#include "vx_storage_internal.h"

#include <stdlib.h>
#include <unistd.h>

static const uint32_t COLLECTION_MAGIC = 0x5658434F;  // "OCXV"
static const uint32_t COLLECTION_VERSION = 0x00010000;
static const uint64_t COLLECTION_HEADER_AT = 192;
static const uint64_t COLLECTION_DATA_AT = 384;
static const uint64_t RECORD_HEAD = 32;
static const uint32_t META_MAGIC = 0x444D5856;  // "VXMD"
static const uint32_t META_VERSION = 1;
static const uint64_t NULL_TEXT = UINT64_MAX;
static const uint64_t IO_CHUNK = 1u << 20;
static const uint64_t LOAD_DEFAULT_CAPACITY = 1024;
static const uint32_t INDEX_LINK_MAGIC = 0x58495856;  // "VXIX"
static const uint32_t INDEX_LINK_VERSION = 1;
static const uint64_t INDEX_LINK_SIZE = 24;
static const uint64_t FLAG_CHECKSUMMED = 1;

// The index file a collection file names: its size and hash.
struct index_link {
    int present;
    uint64_t size;
    uint64_t hash;
};

/* ---- saving ------------------------------------------------------------------- */

static void writer_text(file_writer *w, const vx_str *text) {
    if (!text->data) {
        writer_u64(w, NULL_TEXT);
        return;
    }
    writer_u64(w, text->len);
    file_writer_put(w, text->data, text->len);
}

static void header_index_fields(const vx_collection *c, vx_collection_header *h) {
    h->index_type = -1;
    if (!c->index) return;
    h->index_type = vx_index_get_type(c->index);
    vx_index_shape shape;
    index_shape_get(c->index, &shape);
    h->M = shape.M;
    h->ef_construction = shape.ef_construction;
    h->ef_search = shape.ef_search;
    h->nlist = shape.nlist;
    h->nprobe = shape.nprobe;
}

static void header_quantizer_fields(const vx_collection *c, vx_collection_header *h) {
    h->reserved[0] = (uint32_t)c->index_params.quant_type | (uint64_t)c->index_params.pq_nbits << 32;
    h->reserved[1] = c->index_params.pq_m;
}

static void header_fill(const vx_collection *c, vx_collection_header *h) {
    memset(h, 0, sizeof(*h));
    h->magic = COLLECTION_MAGIC;
    h->version = COLLECTION_VERSION;
    h->created_time = c->created_time;
    if (c->name) {
        size_t n = strnlen(c->name, sizeof(h->name) - 1);
        vx_memcpy(h->name, c->name, n);
    }
    h->dimension = c->dimension;
    h->metric = (uint32_t)c->metric;
    header_index_fields(c, h);
    h->record_count = (uint32_t)c->count;
    h->next_id = c->next_id;
    h->index_threshold = (uint32_t)c->index_threshold;
    header_quantizer_fields(c, h);
    h->reserved[2] = FLAG_CHECKSUMMED;
}

static void write_records(const vx_collection *c, file_writer *w) {
    uint8_t head[RECORD_HEAD];
    memset(head, 0, sizeof(head));
    put_u32(head + 8, c->dimension);
    for (uint64_t i = 0; i < c->count && w->status == VX_OK; i++) {
        put_u64(head, c->records[i].id);
        file_writer_put(w, head, RECORD_HEAD);
        writer_f32s(w, c->records[i].vector, c->dimension);
    }
}

static int has_metadata(const vx_collection *c) {
    for (uint64_t i = 0; i < c->count; i++)
        if (c->records[i].meta && c->records[i].meta_count) return 1;
    return 0;
}

static void write_meta_value(file_writer *w, const vx_meta_entry *e) {
    uint8_t b[8];
    switch (e->type) {
    case VX_META_INT32:
    case VX_META_BOOL: writer_u32(w, (uint32_t)e->value.i32); break;
    case VX_META_INT64: writer_u64(w, (uint64_t)e->value.i64); break;
    case VX_META_FLOAT: put_f32(b, e->value.f32); file_writer_put(w, b, 4); break;
    case VX_META_DOUBLE: {
        uint64_t bits;
        memcpy(&bits, &e->value.f64, 8);
        writer_u64(w, bits);
        break;
    }
    case VX_META_STRING: writer_text(w, &e->value.str); break;
    default: break;
    }
}

static void write_metadata(const vx_collection *c, file_writer *w) {
    writer_u32(w, META_MAGIC);
    writer_u32(w, META_VERSION);
    writer_u64(w, c->count);
    for (uint64_t i = 0; i < c->count; i++) {
        const vx_record *r = &c->records[i];
        uint64_t n = r->meta ? r->meta_count : 0;
        writer_u64(w, n);
        for (uint64_t j = 0; j < n; j++) {
            writer_text(w, &r->meta[j].key);
            writer_u32(w, (uint32_t)r->meta[j].type);
            write_meta_value(w, &r->meta[j]);
        }
    }
}

static void write_index_link(file_writer *w, const index_link *link) {
    writer_u32(w, INDEX_LINK_MAGIC);
    writer_u32(w, INDEX_LINK_VERSION);
    writer_u64(w, link->size);
    writer_u64(w, link->hash);
}

// Writes the whole collection file. It begins with a storage file header
// whose data byte count, as a store writing the file would keep it, takes in
// the placeholder collection header and its final version alike, and so
// equals the file's size.
static void write_collection(const vx_collection *c, file_writer *w, const index_link *link) {
    vx_collection_header h;
    header_fill(c, &h);
    uint8_t store[VX_STORAGE_HEADER_SIZE];
    uint64_t created = (uint64_t)vx_time_now();
    storage_header_image(store, created, created, 0);
    file_writer_put(w, store, sizeof(store));
    uint8_t raw[192];
    collection_header_encode(&h, raw);
    // The placeholder header keeps the records at their place until the
    // final header, with sizes and checksum, replaces it.
    file_writer_put(w, raw, sizeof(raw));
    uint64_t data_offset = file_writer_offset(w);
    file_writer_hash_begin(w);
    write_records(c, w);
    uint64_t data_end = file_writer_offset(w);
    if (has_metadata(c)) write_metadata(c, w);
    if (link->present) write_index_link(w, link);
    writer_checksum(w);
    h.data_offset = data_offset;
    h.data_size = data_end - data_offset;
    h.saved_time = vx_time_now();
    h.checksum = 0;
    collection_header_encode(&h, raw);
    h.checksum = vx_hash_murmur3_32(raw, 188, 0);
    collection_header_encode(&h, raw);
    file_writer_put_at(w, COLLECTION_HEADER_AT, raw, sizeof(raw));
    storage_header_image(store, created, (uint64_t)vx_time_now(), file_writer_offset(w));
    file_writer_put_at(w, 0, store, sizeof(store));
}

// "<path>.idx", malloc'd.
static char *index_file_path(const char *path) {
    size_t len = strlen(path);
    char *out = (char *)malloc(len + 5);
    if (out) {
        memcpy(out, path, len);
        memcpy(out + len, ".idx", 5);
    }
    return out;
}

// Size and hash of a whole file; 0 when it cannot be read.
static int file_fingerprint(const char *path, uint64_t *size, uint64_t *hash) {
    vx_str view = {(char *)path, strlen(path)};
    uint64_t n = 0;
    void *bytes = vx_file_read_all(&view, &n);
    if (!bytes) return 0;
    *size = n;
    *hash = vx_hash_murmur3_64(bytes, n, 0);
    free(bytes);  // from the C runtime, not the allocator hooks
    return 1;
}

// Saves an index in use beside the collection file and fingerprints it; a
// failure only means the next load rebuilds the index.
static void save_index_file(const vx_collection *c, const char *index_path, index_link *link) {
    link->present = 0;
    if (!index_path || !c->index || !collection_index_active(c)) return;
    vx_str view = {(char *)index_path, strlen(index_path)};
    if (vx_index_save(c->index, &view) != VX_OK) return;
    link->present = file_fingerprint(index_path, &link->size, &link->hash);
}

// Writes the file under a temporary name and moves it over path.
static vx_status save_locked(const vx_collection *c, const char *path) {
    file_writer w;
    vx_status st = file_writer_open(&w, path);
    if (st != VX_OK) return st;
    char *index_path = index_file_path(path);
    index_link link;
    save_index_file(c, index_path, &link);
    write_collection(c, &w, &link);
    st = file_writer_finish(&w);
    // An index file the new collection file does not name is stale.
    if (st == VX_OK && !link.present && index_path) unlink(index_path);
    free(index_path);
    return st;
}

extern "C" VX_API vx_status vx_collection_save(vx_collection *c, const char *path) {
    if (!c || !path) return VX_ERR_INVALID_ARG;
    read_guard guard(c->lock);
    return guard.held() ? save_locked(c, path) : guard.status();
}

/* ---- loading ------------------------------------------------------------------ */

// Reads and checks the collection header: magic, version word and checksum.
static int read_checked_header(vx_storage *s, vx_collection_header *h) {
    uint8_t raw[192];
    if (vx_storage_read(s, COLLECTION_HEADER_AT, raw, sizeof(raw)) != (int64_t)sizeof(raw)) return 0;
    collection_header_decode(raw, h);
    if (h->magic != COLLECTION_MAGIC || h->version != COLLECTION_VERSION) return 0;
    put_u32(raw + 184, 0);
    return vx_hash_murmur3_32(raw, 188, 0) == h->checksum;
}


// The header's promises must fit the file and the loader's limits before
// anything is allocated from them.
static int header_plausible(vx_storage *s, const vx_collection_header *h) {
    if (h->dimension == 0 || h->dimension > VX_FILE_MAX_DIMENSION || h->next_id == 0) return 0;
    if (h->data_offset < COLLECTION_DATA_AT) return 0;
    if (h->index_type != -1 && !index_kind_known(h->index_type)) return 0;
    if (h->M > VX_FILE_MAX_M || h->ef_construction > VX_FILE_MAX_EF || h->ef_search > VX_FILE_MAX_EF) return 0;
    if (h->nlist > VX_FILE_MAX_NLIST || (uint64_t)h->nlist * h->dimension > VX_FILE_MAX_CENTROID_FLOATS) return 0;
    uint64_t record = RECORD_HEAD + 4ull * h->dimension;
    if ((uint64_t)h->record_count * record > h->data_size) return 0;
    return storage_bytes_from(s, h->data_offset) >= h->data_size;
}

// 1 when the bytes from the records up to the checksum section hash to what
// the section says.
static int body_hash_matches(vx_storage *s, const vx_collection_header *h) {
    uint64_t end = storage_bytes_from(s, 0);
    if (end < h->data_offset + VX_FILE_CHECKSUM_SIZE) return 0;
    uint64_t at = end - VX_FILE_CHECKSUM_SIZE;
    uint8_t tail[VX_FILE_CHECKSUM_SIZE];
    if (vx_storage_read(s, at, tail, VX_FILE_CHECKSUM_SIZE) != (int64_t)VX_FILE_CHECKSUM_SIZE) return 0;
    if (get_u32(tail) != VX_FILE_CHECKSUM_MAGIC || get_u32(tail + 4) != VX_FILE_CHECKSUM_VERSION) return 0;
    uint8_t *chunk = (uint8_t *)vx_malloc(IO_CHUNK);
    if (!chunk) return 0;
    hash_stream hash;
    hash_stream_init(&hash, 0);
    int ok = 1;
    for (uint64_t pos = h->data_offset; ok && pos < at;) {
        uint64_t n = at - pos < IO_CHUNK ? at - pos : IO_CHUNK;
        ok = vx_storage_read(s, pos, chunk, n) == (int64_t)n;
        hash_stream_feed(&hash, chunk, n);
        pos += n;
    }
    vx_free(chunk);
    return ok && hash_stream_value(&hash) == get_u64(tail + 8);
}

// Files from before the checksum section (flag clear) pass unchecked.
static int body_intact(vx_storage *s, const vx_collection_header *h) {
    if (!(h->reserved[2] & FLAG_CHECKSUMMED) || body_hash_matches(s, h)) return 1;
    vx_error_set(VX_ERR_FILE_CORRUPTED, __FILE__, __LINE__, __func__, "collection file checksum mismatch");
    return 0;
}

static void load_index_params(const vx_collection_header *h, vx_index_params *p) {
    uint32_t pq_nbits = (uint32_t)(h->reserved[0] >> 32);
    collection_index_params(p, h->index_type, (int32_t)h->metric, h->dimension, (int32_t)(uint32_t)h->reserved[0],
                            (uint32_t)h->reserved[1], pq_nbits);
    vx_index_shape shape = {h->M, h->ef_construction, h->ef_search, h->nlist, h->nprobe};
    index_shape_apply(&shape, p);
}

static int adopt_name(vx_collection *c, const vx_collection_header *h) {
    if (h->name[0] == '\0') return 1;
    uint64_t n = strnlen(h->name, sizeof(h->name) - 1);
    char *name = (char *)collection_arena_alloc(c, n + 1);
    if (!name) return 0;
    vx_memcpy(name, h->name, n);
    name[n] = '\0';
    c->name = name;
    c->config.name.data = name;
    c->config.name.len = n;
    return 1;
}

// Reads the record region in large pieces; every vector goes into one arena
// block. The index is not fed here (see load_from).
static int load_records(vx_collection *c, vx_storage *s, const vx_collection_header *h) {
    uint64_t count = h->record_count;
    if (count == 0) return 1;
    uint64_t dim = h->dimension;
    uint64_t record = RECORD_HEAD + 4 * dim;
    float *vectors = (float *)collection_arena_alloc(c, count * dim * sizeof(float));
    uint64_t per_chunk = record >= IO_CHUNK ? 1 : IO_CHUNK / record;
    uint8_t *chunk = (uint8_t *)vx_malloc(per_chunk * record);
    // The id table is sized once for every record; appends then only fill it.
    int ok = vectors && chunk && collection_ids_reserve(c, count) == VX_OK;
    for (uint64_t first = 0; ok && first < count; first += per_chunk) {
        uint64_t n = count - first < per_chunk ? count - first : per_chunk;
        uint64_t bytes = n * record;
        if (vx_storage_read(s, h->data_offset + first * record, chunk, bytes) != (int64_t)bytes) {
            ok = 0;
            break;
        }
        for (uint64_t i = 0; i < n && ok; i++) {
            const uint8_t *rec = chunk + i * record;
            uint64_t id = get_u64(rec);
            // Ids were handed out below the stored counter; anything else is
            // damage (and would size a graph's slot table).
            if (id == 0 || id >= h->next_id) {
                ok = 0;
                break;
            }
            float *v = vectors + (first + i) * dim;
            for (uint64_t d = 0; d < dim; d++) v[d] = get_f32(rec + RECORD_HEAD + 4 * d);
            ok = collection_push_record(c, id, v, nullptr, 0) == VX_OK;
        }
    }
    vx_free(chunk);
    return ok;
}

/* Reading the metadata section: a cursor over a buffer that never reads past
 * its end. */
struct byte_reader {
    const uint8_t *data;
    uint64_t size;
    uint64_t at;
    int ok;
};

static const uint8_t *reader_take(byte_reader *r, uint64_t n) {
    if (!r->ok || n > r->size - r->at) {
        r->ok = 0;
        return nullptr;
    }
    const uint8_t *p = r->data + r->at;
    r->at += n;
    return p;
}

static uint32_t reader_u32(byte_reader *r) {
    const uint8_t *p = reader_take(r, 4);
    return p ? get_u32(p) : 0;
}

static uint64_t reader_u64(byte_reader *r) {
    const uint8_t *p = reader_take(r, 8);
    return p ? get_u64(p) : 0;
}

static vx_str reader_text(byte_reader *r) {
    vx_str text = {nullptr, 0};
    uint64_t n = reader_u64(r);
    if (!r->ok || n == NULL_TEXT) return text;
    const uint8_t *p = reader_take(r, n);
    if (p) {
        text.data = (char *)p;
        text.len = n;
    }
    return text;
}

static void reader_meta_value(byte_reader *r, vx_meta_entry *e) {
    switch (e->type) {
    case VX_META_INT32:
    case VX_META_BOOL: e->value.i32 = (int32_t)reader_u32(r); break;
    case VX_META_INT64: e->value.i64 = (int64_t)reader_u64(r); break;
    case VX_META_FLOAT: {
        const uint8_t *p = reader_take(r, 4);
        if (p) e->value.f32 = get_f32(p);
        break;
    }
    case VX_META_DOUBLE: {
        uint64_t bits = reader_u64(r);
        memcpy(&e->value.f64, &bits, 8);
        break;
    }
    case VX_META_STRING: e->value.str = reader_text(r); break;
    default: break;
    }
}

// Entries of one record; the copies go into the collection's arena.
static int read_record_meta(byte_reader *r, vx_collection *c, vx_record *rec) {
    uint64_t n = reader_u64(r);
    if (!r->ok) return 0;
    if (n == 0) return 1;
    // Each entry takes at least 12 bytes, which bounds the scratch array.
    if (n > (r->size - r->at) / 12) return 0;
    vx_meta_entry *entries = (vx_meta_entry *)vx_calloc(n, sizeof(vx_meta_entry));
    if (!entries) return 0;
    for (uint64_t j = 0; j < n && r->ok; j++) {
        entries[j].key = reader_text(r);
        entries[j].type = (int32_t)reader_u32(r);
        reader_meta_value(r, &entries[j]);
    }
    if (r->ok) {
        rec->meta = collection_copy_meta(c, entries, n);
        rec->meta_count = rec->meta ? n : 0;
    }
    vx_free(entries);
    return r->ok && rec->meta;
}

// The metadata section, when the file has one after the records. A file
// without it, or with foreign bytes there, loads without metadata; a section
// that starts right but breaks off is damage.
static int load_metadata(vx_collection *c, vx_storage *s, const vx_collection_header *h, uint64_t *end) {
    uint64_t at = h->data_offset + h->data_size;
    uint64_t size = storage_bytes_from(s, at);
    *end = at;
    if (size < 16) return 1;
    uint8_t head[16];
    if (vx_storage_read(s, at, head, 16) != 16 || get_u32(head) != META_MAGIC) return 1;
    if (get_u32(head + 4) != META_VERSION || get_u64(head + 8) != c->count) return 0;
    uint8_t *bytes = (uint8_t *)vx_malloc(size);
    if (!bytes) return 0;
    int ok = vx_storage_read(s, at, bytes, size) == (int64_t)size;
    byte_reader r = {bytes, size, 16, ok};
    for (uint64_t i = 0; i < c->count && ok; i++) ok = read_record_meta(&r, c, &c->records[i]);
    *end = at + r.at;
    vx_free(bytes);
    return ok;
}

// The index link section at `at`, when the file has one.
static index_link read_index_link(vx_storage *s, uint64_t at) {
    index_link link = {0, 0, 0};
    uint8_t raw[INDEX_LINK_SIZE];
    if (storage_bytes_from(s, at) < INDEX_LINK_SIZE) return link;
    if (vx_storage_read(s, at, raw, INDEX_LINK_SIZE) != (int64_t)INDEX_LINK_SIZE) return link;
    if (get_u32(raw) != INDEX_LINK_MAGIC || get_u32(raw + 4) != INDEX_LINK_VERSION) return link;
    link.present = 1;
    link.size = get_u64(raw + 8);
    link.hash = get_u64(raw + 16);
    return link;
}

// The saved index when its file is the one the collection file names and it
// fits the collection; null otherwise.
static vx_index *load_index_file(const vx_collection *c, const char *path, const index_link *link) {
    if (!link->present || !path) return nullptr;
    char *index_path = index_file_path(path);
    uint64_t size = 0, hash = 0;
    vx_index *index = nullptr;
    if (index_path && file_fingerprint(index_path, &size, &hash) && size == link->size && hash == link->hash) {
        // The index takes its own arena, as the indexes a collection creates do.
        vx_str view = {index_path, strlen(index_path)};
        index = index_load_owned(&view);
        if (index && (vx_index_get_type(index) != c->index_params.type || vx_index_get_dim(index) != c->dimension ||
                      index_metric(index) != index_metric_normalize(c->index_params.metric))) {
            vx_index_destroy(index);
            index = nullptr;
        }
    }
    free(index_path);
    return index;
}

static vx_collection *load_from(vx_arena *arena, vx_storage *s, const char *path) {
    vx_collection_header h;
    if (!read_checked_header(s, &h) || !header_plausible(s, &h) || !body_intact(s, &h)) return nullptr;
    uint64_t capacity = h.record_count ? 2ull * h.record_count : LOAD_DEFAULT_CAPACITY;
    vx_collection *c = collection_alloc_shell(arena, h.dimension, capacity);
    if (!c) return nullptr;
    c->metric = (int32_t)h.metric;
    c->config.metric = (vx_metric)c->metric;
    c->config.index_type = (vx_index_type)h.index_type;
    c->created_time = h.created_time;
    c->modified_time = h.saved_time;
    c->next_id = h.next_id;
    c->index_threshold = h.index_threshold ? h.index_threshold : VX_COLLECTION_DORMANT_THRESHOLD;
    // A threshold of 0 is what a successful build leaves: the index was in
    // use when the file was written and is rebuilt from the records.
    int was_active = h.index_type != -1 && h.index_threshold == 0;
    // A graph keeps one slot per id up to the largest; a counter far beyond
    // what the file could have produced leaves the graph unfed and dormant,
    // also as insertions pass its threshold (only an explicit build wakes
    // it), rather than letting the file size a giant table.
    int feedable = !index_kind_is_graph(h.index_type) || h.next_id <= file_slot_limit(storage_bytes_from(s, 0));
    if (!feedable) was_active = 0;
    int ok = adopt_name(c, &h);
    if (ok && h.index_type != -1) {
        load_index_params(&h, &c->index_params);
        c->config.quant_type = c->index_params.quant_type;
        c->config.pq_m = c->index_params.pq_m;
        c->config.pq_nbits = c->index_params.pq_nbits;
        c->index = vx_index_create(nullptr, &c->index_params);
        c->index_enabled = feedable;
    }
    // A dormant index is left empty: it is only used after a build, which
    // feeds it every record anyway (feeding it here too would add each id
    // twice and cost a whole build at every open).
    uint64_t end = 0;
    ok = ok && load_records(c, s, &h) && load_metadata(c, s, &h, &end);
    if (!ok) {
        vx_collection_destroy(c);
        return nullptr;
    }
    if (was_active) {
        index_link link = read_index_link(s, end);
        vx_index *saved = load_index_file(c, path, &link);
        if (saved) {
            vx_index_destroy(c->index);
            c->index = saved;
        } else if (c->count) {
            vx_collection_build_index(c);
        }
        c->index_threshold = 0;
    }
    return c;
}

extern "C" VX_API vx_collection *vx_collection_load(vx_arena *arena, const char *path) {
    if (!path) return nullptr;
    vx_storage *s = vx_storage_open(nullptr, path, VX_OPEN_READ);
    if (!s) return nullptr;
    vx_collection *c = load_from(arena, s, path);
    storage_abandon(s);
    return c;
}
