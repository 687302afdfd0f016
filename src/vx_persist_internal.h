// Shared by the collection file, the index file and the database directory
// code: limits that loaders enforce before counts from a file drive
// allocations, and the database's save and load steps.
#ifndef VX_PERSIST_INTERNAL_H
#define VX_PERSIST_INTERNAL_H

#include "vexal.h"
#include "vx_file_internal.h"
#include "vx_storage_internal.h"

struct vx_daded;

// A file asking for more than these is treated as damaged: the values lie far
// beyond any index this library builds, and honouring them would let a few
// bytes of a file reserve gigabytes.
#define VX_FILE_MAX_DIMENSION (1u << 24)
#define VX_FILE_MAX_NLIST (1u << 16)
#define VX_FILE_MAX_CENTROID_FLOATS (1ull << 28)
#define VX_FILE_MAX_M 2048u
#define VX_FILE_MAX_EF (1u << 20)
#define VX_FILE_MAX_ITERATIONS (1u << 16)

// The section that ends collection and index files: u32 magic "VXCK", u32
// version, u64 MurmurHash3 x64 (seed 0) of the bytes it covers.
#define VX_FILE_CHECKSUM_MAGIC 0x4B435856u
#define VX_FILE_CHECKSUM_VERSION 1u
#define VX_FILE_CHECKSUM_SIZE 16u

// Slots a graph's node table may be given because of ids found in a file of
// file_size bytes: a graph that lost most of its nodes still fits, while a
// few hostile bytes cannot reserve more than a bounded multiple of the file.
static inline uint64_t file_slot_limit(uint64_t file_size) {
    const uint64_t floor = 1u << 22;
    return file_size > floor / 16 ? file_size * 16 : floor;
}

// Little-endian fields through a file writer.
static inline void writer_u32(file_writer *w, uint32_t v) {
    uint8_t b[4];
    put_u32(b, v);
    file_writer_put(w, b, 4);
}

static inline void writer_u64(file_writer *w, uint64_t v) {
    uint8_t b[8];
    put_u64(b, v);
    file_writer_put(w, b, 8);
}

// Ends a file with its checksum section: the hash of the bytes written
// since file_writer_hash_begin.
static inline void writer_checksum(file_writer *w) {
    uint64_t hash = file_writer_hash_end(w);
    writer_u32(w, VX_FILE_CHECKSUM_MAGIC);
    writer_u32(w, VX_FILE_CHECKSUM_VERSION);
    writer_u64(w, hash);
}

// n floats, encoded straight into the writer's buffer; zeros for a null v.
static inline void writer_f32s(file_writer *w, const float *v, uint64_t n) {
    const uint64_t per_piece = FILE_WRITER_CHUNK / 4;
    for (uint64_t at = 0; at < n; at += per_piece) {
        uint64_t count = n - at < per_piece ? n - at : per_piece;
        uint8_t *out = file_writer_room(w, 4 * count);
        if (!out) return;
        for (uint64_t i = 0; i < count; i++) put_f32(out + 4 * i, v ? v[at + i] : 0.0f);
    }
}

// 1 when name can name a file inside the database directory: 1 to 63
// bytes, none of '/', '\\', line feed, carriage return, and not "." or "..".
int persist_name_valid(const char *name);

// Builds "dir/name.vxcol" (or another suffix) into out (1024 bytes); 0 when
// it does not fit.
int persist_path(char *out, const char *dir, const char *name, const char *suffix);

// Loads the collections named by the list file into the registry of an
// opening database. VX_OK (also when there is no list file), or
// VX_ERR_FILE_CORRUPTED when a listed collection file exists but cannot be
// loaded; the registry is then left with whatever was loaded before.
vx_status daded_load_all(struct vx_daded *db);
// Saves every collection, rewrites the list file and deletes the files of
// collections dropped since the list was last written. The first failure's
// status, VX_OK when everything was written.
vx_status daded_save_all(struct vx_daded *db);
// Opens the storage file of a persistent database; a failure leaves the
// database without storage.
void daded_open_storage(struct vx_daded *db);
// The persistent part of opening: the directory (with create_if_missing),
// the listed collections, then the storage file. On failure (VX_ERR_IO for a
// path that is not a directory, VX_ERR_FILE_CORRUPTED, VX_ERR_NO_MEMORY)
// every collection loaded is destroyed again and no file was changed.
vx_status daded_open_persistent(struct vx_daded *db);

#endif
