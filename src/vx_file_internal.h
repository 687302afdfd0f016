// File helpers shared inside the library.
#ifndef VX_FILE_INTERNAL_H
#define VX_FILE_INTERNAL_H

#include "vexal.h"
#include "vx_hash_internal.h"

// Writes all len bytes to fd, retrying short and interrupted writes; 0, or
// -1 when the descriptor fails or stops accepting bytes.
int file_write_fully(int fd, const void *data, uint64_t len);

// Reads until len bytes arrived or the end of the file, retrying short and
// interrupted reads; the number of bytes read, or -1 on a read error.
int64_t file_read_fully(int fd, void *buffer, uint64_t len);

// Flushes the directory entry list of dir_path to disk; VX_OK or VX_ERR_IO.
vx_status file_sync_dir(const char *dir_path);

// The status of a failed system call on path with errno `error`:
// VX_ERR_PERMISSION_DENIED when access was refused (EACCES, EPERM, EROFS),
// else VX_ERR_IO. The last-error record gets it, with "path: reason" as its
// detail (a buffer of the calling thread, valid until its next failure).
vx_status file_os_failure(const char *path, int error);

// Replaces one file so that readers and a crash see either the old content
// or the new, never a mixture. The bytes gather in a buffer and go in large
// writes to a temporary file beside the target ("<path>.tmp.XXXXXX");
// finishing flushes it, renames it over the target and flushes the
// directory. A new file gets permission bits 0644, a replacement those of
// the file it replaces. The first failure sticks in status: later writes do
// nothing, and finishing reports it, removes the temporary and leaves the
// target as it was.
#define FILE_WRITER_CHUNK (1u << 20)

typedef struct file_writer {
    int fd;
    char *temp;       // the temporary's name (malloc'd)
    char *target;     // the file to replace (malloc'd copy)
    uint8_t *buffer;  // FILE_WRITER_CHUNK bytes
    uint64_t used;    // bytes waiting in buffer
    uint64_t flushed; // bytes already in the temporary
    vx_status status;
    int hashing;      // a checksum runs over the bytes from hash_from on
    uint64_t hashed;  // offset up to which the bytes went into hash
    hash_stream hash;
} file_writer;

// Creates the temporary for replacing path. VX_OK; VX_ERR_INVALID_ARG for a
// null path, VX_ERR_NO_MEMORY, VX_ERR_IO or VX_ERR_PERMISSION_DENIED (as
// file_os_failure) when no file can be created there (VX_ERR_IO for an
// empty path). Every system failure of a writer is recorded that way. On failure nothing is left to finish or abort,
// though aborting does no harm.
vx_status file_writer_open(file_writer *w, const char *path);
// Appends size bytes.
void file_writer_put(file_writer *w, const void *data, uint64_t size);
// Room for size bytes (at most FILE_WRITER_CHUNK) at the end, for encoding in
// place; they count as written. Null after a failure.
uint8_t *file_writer_room(file_writer *w, uint64_t size);
// Bytes written so far: the offset the next one lands at.
static inline uint64_t file_writer_offset(const file_writer *w) { return w->flushed + w->used; }
// Overwrites size bytes already written at offset (a header whose sizes are
// known only at the end).
void file_writer_put_at(file_writer *w, uint64_t offset, const void *data, uint64_t size);
// Checksums: from file_writer_hash_begin on, every byte written is fed to
// MurmurHash3 x64 (seed 0) as it leaves the buffer, so the data is read
// once; file_writer_hash_end gives vx_hash_murmur3_64 of those bytes and
// stops. file_writer_put_at must not touch bytes inside the hashed range.
void file_writer_hash_begin(file_writer *w);
uint64_t file_writer_hash_end(file_writer *w);
// Flushes, renames the temporary over the target and flushes the directory;
// releases the writer in every case. VX_OK, or the first failure (VX_ERR_IO
// for a failed write, flush or rename, VX_ERR_NO_MEMORY); on failure the
// target is untouched and no temporary is left.
vx_status file_writer_finish(file_writer *w);
// Gives the replacement up: removes the temporary and releases the writer.
void file_writer_abort(file_writer *w);

// Replaces path with exactly size bytes of data through a file_writer.
// VX_OK, VX_ERR_INVALID_ARG (null path, or null data with size > 0),
// VX_ERR_NO_MEMORY, or VX_ERR_IO (nothing replaced, no temporary left).
vx_status file_write_atomic(const char *path, const void *data, uint64_t size);

#endif
