// The storage handle and the little-endian field codecs shared by the storage
// engine and the file formats built on it (collection and index files).
#ifndef VX_STORAGE_INTERNAL_H
#define VX_STORAGE_INTERNAL_H

#include "vexal.h"

#include <string.h>

#define VX_STORAGE_MAGIC 0x56585644u /* "DVXV" */
#define VX_STORAGE_VERSION 1u
#define VX_STORAGE_HEADER_SIZE 192u
#define VX_BLOCK_HEADER_SIZE 32u
#define VX_STORAGE_DEFAULT_CAPACITY 16777216ull

// Offsets inside the 192-byte storage file header.
#define VX_SH_MAGIC 0
#define VX_SH_VERSION 6
#define VX_SH_CREATED 8
#define VX_SH_MODIFIED 16
#define VX_SH_DATA_OFFSET 24
#define VX_SH_DATA_BYTES 32

// Statistics words in the handle, in record order.
enum { STAT_TOTAL = 0, STAT_BYTES_WRITTEN = 1, STAT_FREE = 2, STAT_NEXT_BLOCK = 3 };

struct vx_storage {
    vx_storage_options options; // copied whole; options.path is the arena copy
    vx_arena *arena;
    int32_t owns_arena;
    int32_t fd;                 // -1 when none
    char *path;                 // arena copy, null for memory stores
    uint8_t header[VX_STORAGE_HEADER_SIZE];
    uint8_t *buffer;            // memory: heap buffer; mapped: the mapping
    uint64_t data_len;
    uint64_t capacity;
    uint64_t stats[6];
    vx_mutex *mutex;
};

struct vx_storage_iterator {
    vx_storage *storage;
    uint64_t offset;
    uint64_t end;
    int32_t started;
    vx_block_header current;
};

// Little-endian codecs: bytes are assembled explicitly, so files read the same
// on every host and unaligned positions are fine.
static inline void put_u16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static inline void put_u32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
static inline void put_u64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = (uint8_t)(v >> (8 * i));
}
static inline void put_f32(uint8_t *p, float v) {
    uint32_t bits;
    memcpy(&bits, &v, 4);
    put_u32(p, bits);
}
static inline uint16_t get_u16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static inline uint32_t get_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline uint64_t get_u64(const uint8_t *p) {
    return (uint64_t)get_u32(p) | ((uint64_t)get_u32(p + 4) << 32);
}
static inline float get_f32(const uint8_t *p) {
    uint32_t bits = get_u32(p);
    float v;
    memcpy(&v, &bits, 4);
    return v;
}

// Bytes present at offset and beyond in the store (for bounding reads driven by
// counts found in a file); 0 when the offset is past the end or unknown.
uint64_t storage_bytes_from(vx_storage *storage, uint64_t offset);

// The 192-byte header a file store begins with, for files written without a
// store handle: the two times and the count of data bytes written.
void storage_header_image(uint8_t *header, uint64_t created, uint64_t modified, uint64_t data_bytes);

// Releases a file store without writing its header back, leaving the file
// exactly as it is on disk.
void storage_abandon(vx_storage *storage);

// The collection header to and from its packed 192-byte little-endian image.
void collection_header_encode(const vx_collection_header *header, uint8_t *raw);
void collection_header_decode(const uint8_t *raw, vx_collection_header *out);

// Options of a file store with the block size and capacity every database
// file uses.
static inline void storage_file_options(vx_storage_options *o, const char *path, int32_t open_mode) {
    memset(o, 0, sizeof(*o));
    o->backend = VX_STORAGE_FILE;
    o->open_mode = open_mode;
    o->path = path;
    o->path_len = strlen(path);
    o->block_size = 4096;
    o->capacity = 0x4000000;
    o->reserved1 = 1;
    o->reserved2 = 1;
}

#endif
