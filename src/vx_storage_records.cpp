// Typed little-endian values and the two fixed headers, written and read
// through a storage handle.
#include "vx_storage_internal.h"

#include <stddef.h>

static_assert(sizeof(vx_file_header) == 184, "file header record is 184 bytes");
static_assert(sizeof(vx_collection_header) == 192, "collection header is 192 bytes");
static_assert(offsetof(vx_collection_header, data_offset) == 132, "collection header layout");
static_assert(offsetof(vx_collection_header, index_threshold) == 180, "collection header layout");
static_assert(offsetof(vx_collection_header, checksum) == 184, "collection header layout");

static const uint32_t FILE_HEADER_TRAILER = 1;

// Reads exactly size bytes at offset; VX_ERR_UNKNOWN when fewer arrive.
static vx_status read_exact(vx_storage *storage, uint64_t offset, void *buffer, uint64_t size) {
    return vx_storage_read(storage, offset, buffer, size) == (int64_t)size ? VX_OK : VX_ERR_UNKNOWN;
}

/* ---- scalars ---------------------------------------------------------------- */

extern "C" VX_API vx_status vx_storage_write_u32(vx_storage *storage, uint32_t value, uint64_t *cursor) {
    if (!storage) return VX_ERR_INVALID_ARG;
    uint8_t bytes[4];
    put_u32(bytes, value);
    return vx_storage_write(storage, bytes, sizeof(bytes), cursor);
}

extern "C" VX_API vx_status vx_storage_read_u32(vx_storage *storage, uint64_t offset, uint32_t *out) {
    if (!storage || !out) return VX_ERR_INVALID_ARG;
    uint8_t bytes[4];
    vx_status st = read_exact(storage, offset, bytes, sizeof(bytes));
    if (st == VX_OK) *out = get_u32(bytes);
    return st;
}

extern "C" VX_API vx_status vx_storage_write_u64(vx_storage *storage, uint64_t value, uint64_t *cursor) {
    if (!storage) return VX_ERR_INVALID_ARG;
    uint8_t bytes[8];
    put_u64(bytes, value);
    return vx_storage_write(storage, bytes, sizeof(bytes), cursor);
}

extern "C" VX_API vx_status vx_storage_read_u64(vx_storage *storage, uint64_t offset, uint64_t *out) {
    if (!storage || !out) return VX_ERR_INVALID_ARG;
    uint8_t bytes[8];
    vx_status st = read_exact(storage, offset, bytes, sizeof(bytes));
    if (st == VX_OK) *out = get_u64(bytes);
    return st;
}

extern "C" VX_API vx_status vx_storage_write_f32(vx_storage *storage, float value, uint64_t *cursor) {
    if (!storage) return VX_ERR_INVALID_ARG;
    uint8_t bytes[4];
    put_f32(bytes, value);
    return vx_storage_write(storage, bytes, sizeof(bytes), cursor);
}

extern "C" VX_API vx_status vx_storage_read_f32(vx_storage *storage, uint64_t offset, float *out) {
    if (!storage || !out) return VX_ERR_INVALID_ARG;
    uint8_t bytes[4];
    vx_status st = read_exact(storage, offset, bytes, sizeof(bytes));
    if (st == VX_OK) *out = get_f32(bytes);
    return st;
}

/* ---- float arrays ----------------------------------------------------------- */

extern "C" VX_API vx_status vx_storage_write_f32_array(vx_storage *storage, const float *values, uint64_t count,
                                                       uint64_t *cursor) {
    if (!storage || !values || count == 0 || count > UINT64_MAX / 4) return VX_ERR_INVALID_ARG;
    uint8_t *bytes = (uint8_t *)vx_malloc(4 * count);
    if (!bytes) return VX_ERR_NO_MEMORY;
    for (uint64_t i = 0; i < count; i++) put_f32(bytes + 4 * i, values[i]);
    vx_status st = vx_storage_write(storage, bytes, 4 * count, cursor);
    vx_free(bytes);
    return st;
}

// The destination stays untouched unless every float arrived, so a short
// region is read into a temporary buffer first. The buffer never exceeds
// what the store holds, whatever count a file claims.
extern "C" VX_API vx_status vx_storage_read_f32_array(vx_storage *storage, uint64_t offset, float *destination,
                                                      uint64_t count) {
    if (!storage || !destination || count == 0 || count > UINT64_MAX / 4) return VX_ERR_INVALID_ARG;
    uint64_t size = 4 * count;
    if (storage_bytes_from(storage, offset) < size) return VX_ERR_UNKNOWN;
    uint8_t *bytes = (uint8_t *)vx_malloc(size);
    if (!bytes) return VX_ERR_NO_MEMORY;
    vx_status st = read_exact(storage, offset, bytes, size);
    if (st == VX_OK) {
        for (uint64_t i = 0; i < count; i++) destination[i] = get_f32(bytes + 4 * i);
    }
    vx_free(bytes);
    return st;
}

/* ---- file header record ----------------------------------------------------- */

extern "C" VX_API vx_status vx_storage_write_header(vx_storage *storage, const vx_file_header *record) {
    if (!storage || !record) return VX_ERR_INVALID_ARG;
    uint64_t cursor = 0;
    vx_status st = vx_storage_write_u32(storage, record->magic, &cursor);
    if (st == VX_OK) st = vx_storage_write_u32(storage, record->version, &cursor);
    const uint64_t words[6] = {record->created_time, record->modified_time, record->data_offset,
                               record->data_bytes, record->reserved1, record->reserved2};
    for (int i = 0; i < 6 && st == VX_OK; i++) st = vx_storage_write_u64(storage, words[i], &cursor);
    if (st == VX_OK) st = vx_storage_write_u32(storage, record->reserved3, &cursor);
    if (st == VX_OK) st = vx_storage_write_u32(storage, record->reserved4, &cursor);
    if (st == VX_OK) st = vx_storage_write(storage, record->reserved, sizeof(record->reserved), &cursor);
    if (st != VX_OK) return st;
    vx_storage_write_u32(storage, FILE_HEADER_TRAILER, &cursor);
    return VX_OK;
}

extern "C" VX_API vx_status vx_storage_read_header(vx_storage *storage, vx_file_header *out) {
    if (!storage || !out) return VX_ERR_INVALID_ARG;
    uint8_t raw[184];
    if (vx_storage_read(storage, 0, raw, sizeof(raw)) != (int64_t)sizeof(raw)) return VX_ERR_UNKNOWN;
    out->magic = get_u32(raw);
    out->version = get_u32(raw + 4);
    out->created_time = get_u64(raw + 8);
    out->modified_time = get_u64(raw + 16);
    out->data_offset = get_u64(raw + 24);
    out->data_bytes = get_u64(raw + 32);
    out->reserved1 = get_u64(raw + 40);
    out->reserved2 = get_u64(raw + 48);
    out->reserved3 = get_u32(raw + 56);
    out->reserved4 = get_u32(raw + 60);
    memcpy(out->reserved, raw + 64, sizeof(out->reserved));
    return out->magic == VX_STORAGE_MAGIC ? VX_OK : VX_ERR_FILE_CORRUPTED;
}

/* ---- collection header ------------------------------------------------------ */

// Writes the header's fields in order by width, each through the store, so
// that a failure stops at the failing field.
extern "C" VX_API vx_status vx_storage_write_collection_header(vx_storage *storage,
                                                               const vx_collection_header *header,
                                                               uint64_t *cursor) {
    if (!storage || !header) return VX_ERR_INVALID_ARG;
    uint64_t local = cursor ? *cursor : 0;
    vx_status st = vx_storage_write_u32(storage, header->magic, &local);
    if (st == VX_OK) st = vx_storage_write_u32(storage, header->version, &local);
    if (st == VX_OK) st = vx_storage_write_u64(storage, (uint64_t)header->created_time, &local);
    if (st == VX_OK) st = vx_storage_write_u64(storage, (uint64_t)header->saved_time, &local);
    if (st == VX_OK) st = vx_storage_write(storage, header->name, sizeof(header->name), &local);
    const uint32_t shape[4] = {header->dimension, header->metric, (uint32_t)header->index_type,
                               header->record_count};
    for (int i = 0; i < 4 && st == VX_OK; i++) st = vx_storage_write_u32(storage, shape[i], &local);
    if (st == VX_OK) st = vx_storage_write_u64(storage, header->next_id, &local);
    const uint32_t params[5] = {header->M, header->ef_construction, header->ef_search, header->nlist,
                                header->nprobe};
    for (int i = 0; i < 5 && st == VX_OK; i++) st = vx_storage_write_u32(storage, params[i], &local);
    const uint64_t words[6] = {header->data_offset, header->data_size,   header->reserved[0],
                               header->reserved[1], header->reserved[2], header->reserved[3]};
    for (int i = 0; i < 6 && st == VX_OK; i++) st = vx_storage_write_u64(storage, words[i], &local);
    if (st == VX_OK) st = vx_storage_write_u32(storage, header->index_threshold, &local);
    if (st == VX_OK) st = vx_storage_write_u32(storage, header->checksum, &local);
    if (st == VX_OK) st = vx_storage_write(storage, header->reserved_tail, sizeof(header->reserved_tail), &local);
    if (st == VX_OK && cursor) *cursor = local;
    return st;
}

extern "C" VX_API vx_status vx_storage_read_collection_header(vx_storage *storage, uint64_t offset,
                                                              vx_collection_header *out) {
    if (!storage || !out) return VX_ERR_INVALID_ARG;
    uint8_t raw[192];
    if (vx_storage_read(storage, offset, raw, sizeof(raw)) != (int64_t)sizeof(raw)) return VX_ERR_UNKNOWN;
    collection_header_decode(raw, out);
    return VX_OK;
}

// Field by field from the packed little-endian image.
void collection_header_decode(const uint8_t *raw, vx_collection_header *out) {
    out->magic = get_u32(raw);
    out->version = get_u32(raw + 4);
    out->created_time = (int64_t)get_u64(raw + 8);
    out->saved_time = (int64_t)get_u64(raw + 16);
    memcpy(out->name, raw + 24, sizeof(out->name));
    out->dimension = get_u32(raw + 88);
    out->metric = get_u32(raw + 92);
    out->index_type = (int32_t)get_u32(raw + 96);
    out->record_count = get_u32(raw + 100);
    out->next_id = get_u64(raw + 104);
    out->M = get_u32(raw + 112);
    out->ef_construction = get_u32(raw + 116);
    out->ef_search = get_u32(raw + 120);
    out->nlist = get_u32(raw + 124);
    out->nprobe = get_u32(raw + 128);
    out->data_offset = get_u64(raw + 132);
    out->data_size = get_u64(raw + 140);
    for (int i = 0; i < 4; i++) out->reserved[i] = get_u64(raw + 148 + 8 * i);
    out->index_threshold = get_u32(raw + 180);
    out->checksum = get_u32(raw + 184);
    memcpy(out->reserved_tail, raw + 188, sizeof(out->reserved_tail));
}

void collection_header_encode(const vx_collection_header *h, uint8_t *raw) {
    put_u32(raw, h->magic);
    put_u32(raw + 4, h->version);
    put_u64(raw + 8, (uint64_t)h->created_time);
    put_u64(raw + 16, (uint64_t)h->saved_time);
    memcpy(raw + 24, h->name, sizeof(h->name));
    put_u32(raw + 88, h->dimension);
    put_u32(raw + 92, h->metric);
    put_u32(raw + 96, (uint32_t)h->index_type);
    put_u32(raw + 100, h->record_count);
    put_u64(raw + 104, h->next_id);
    put_u32(raw + 112, h->M);
    put_u32(raw + 116, h->ef_construction);
    put_u32(raw + 120, h->ef_search);
    put_u32(raw + 124, h->nlist);
    put_u32(raw + 128, h->nprobe);
    put_u64(raw + 132, h->data_offset);
    put_u64(raw + 140, h->data_size);
    for (int i = 0; i < 4; i++) put_u64(raw + 148 + 8 * i, h->reserved[i]);
    put_u32(raw + 180, h->index_threshold);
    put_u32(raw + 184, h->checksum);
    memcpy(raw + 188, h->reserved_tail, sizeof(h->reserved_tail));
}
