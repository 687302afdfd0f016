// File helpers shared inside the library.
#ifndef VX_FILE_INTERNAL_H
#define VX_FILE_INTERNAL_H

#include "vexal.h"

// Writes all len bytes to fd, retrying short and interrupted writes; 0, or
// -1 when the descriptor fails or stops accepting bytes.
int file_write_fully(int fd, const void *data, uint64_t len);

// Reads until len bytes arrived or the end of the file, retrying short and
// interrupted reads; the number of bytes read, or -1 on a read error.
int64_t file_read_fully(int fd, void *buffer, uint64_t len);

// Flushes the directory entry list of dir_path to disk; VX_OK or VX_ERR_IO.
vx_status file_sync_dir(const char *dir_path);

// Replaces path with exactly size bytes of data so that readers and a crash
// see either the old content or the new, never a mixture: the bytes go to a
// temporary file in the same directory, which is flushed, renamed over path,
// and the directory flushed. The new file gets permission bits 0644.
// VX_OK, VX_ERR_INVALID_ARG (null path, or null data with size > 0),
// VX_ERR_NO_MEMORY, or VX_ERR_IO (nothing replaced, no temporary left).
vx_status file_write_atomic(const char *path, const void *data, uint64_t size);

#endif
