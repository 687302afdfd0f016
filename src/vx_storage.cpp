// Storage engine: byte stores over memory, files and mapped files, with the
// 192-byte file header, vector records, blocks, statistics and verification.
#include "vx_file_internal.h"
#include "vx_storage_internal.h"
#include "vx_lock_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static const uint64_t STORAGE_OWN_ARENA = 4194304;
static const uint64_t VECTOR_HEAD_SIZE = 12;

/* ---- header image --------------------------------------------------------- */

void storage_header_image(uint8_t *header, uint64_t created, uint64_t modified, uint64_t data_bytes) {
    memset(header, 0, VX_STORAGE_HEADER_SIZE);
    put_u32(header + VX_SH_MAGIC, VX_STORAGE_MAGIC);
    put_u16(header + VX_SH_VERSION, (uint16_t)VX_STORAGE_VERSION);
    put_u64(header + VX_SH_CREATED, created);
    put_u64(header + VX_SH_MODIFIED, modified);
    put_u64(header + VX_SH_DATA_OFFSET, VX_STORAGE_HEADER_SIZE);
    put_u64(header + VX_SH_DATA_BYTES, data_bytes);
}

static void header_init(uint8_t *header) {
    uint64_t now = (uint64_t)vx_time_now();
    storage_header_image(header, now, now, 0);
}

static int header_valid(const uint8_t *header) {
    return get_u32(header + VX_SH_MAGIC) == VX_STORAGE_MAGIC &&
           get_u16(header + VX_SH_VERSION) == VX_STORAGE_VERSION;
}

static void header_add_data_bytes(uint8_t *header, uint64_t size) {
    put_u64(header + VX_SH_DATA_BYTES, get_u64(header + VX_SH_DATA_BYTES) + size);
}

/* ---- descriptor helpers --------------------------------------------------- */

static int open_flags(int32_t mode) {
    switch (mode) {
    case VX_OPEN_READ: return O_RDONLY;
    case VX_OPEN_WRITE: return O_WRONLY;
    case VX_OPEN_READWRITE: return O_RDWR;
    case VX_OPEN_APPEND: return O_WRONLY | O_CREAT | O_APPEND;
    case (int32_t)VX_OPEN_CREATE: return O_RDWR | O_CREAT;
    case VX_OPEN_TRUNCATE: return O_RDWR | O_CREAT | O_TRUNC;
    default: return O_RDONLY;
    }
}

static int mode_creates_header(int32_t mode) {
    return mode == (int32_t)VX_OPEN_CREATE || mode == VX_OPEN_TRUNCATE;
}

// Reads until size bytes arrived or the file ends; the count, or -1.
static int64_t read_fully(int fd, uint8_t *buffer, uint64_t size) {
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? (int64_t)done : -1;
        if (n == 0) break;
        done += (uint64_t)n;
    }
    return (int64_t)done;
}

static int read_header_at_start(vx_storage *s) {
    if (lseek(s->fd, 0, SEEK_SET) != 0) return 0;
    if (read_fully(s->fd, s->header, VX_STORAGE_HEADER_SIZE) != (int64_t)VX_STORAGE_HEADER_SIZE) return 0;
    return header_valid(s->header);
}

static int write_header_at_start(vx_storage *s) {
    if (lseek(s->fd, 0, SEEK_SET) != 0) return 0;
    return file_write_fully(s->fd, s->header, VX_STORAGE_HEADER_SIZE) == 0;
}

/* ---- creation ------------------------------------------------------------- */

static int memory_backend_init(vx_storage *s) {
    s->capacity = s->options.capacity ? s->options.capacity : VX_STORAGE_DEFAULT_CAPACITY;
    s->buffer = (uint8_t *)vx_malloc(s->capacity);
    s->data_len = 0;
    return s->buffer != nullptr;
}

// Maps the whole file; without a mapping the store keeps working as a file
// store. A header that claims more data than the file holds is clamped to
// the file, so reads never leave the mapping.
static int mapped_backend_init(vx_storage *s) {
    struct stat st;
    uint64_t size = 0;
    if (fstat(s->fd, &st) == 0) size = (uint64_t)st.st_size;
    if (size < VX_STORAGE_HEADER_SIZE) {
        if (ftruncate(s->fd, VX_STORAGE_HEADER_SIZE) != 0) return 0;
        size = VX_STORAGE_HEADER_SIZE;
    }
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
    if (map == MAP_FAILED) return 1;
    s->buffer = (uint8_t *)map;
    s->capacity = size;
    uint64_t data_bytes = get_u64(s->header + VX_SH_DATA_BYTES);
    uint64_t room = size - VX_STORAGE_HEADER_SIZE;
    s->data_len = VX_STORAGE_HEADER_SIZE + (data_bytes < room ? data_bytes : room);
    return 1;
}

static int file_backend_init(vx_storage *s) {
    if (!s->options.path) return 0;
    s->path = vx_arena_strdup(s->arena, s->options.path);
    if (!s->path) return 0;
    s->options.path = s->path;
    s->fd = open(s->path, open_flags(s->options.open_mode) | O_CLOEXEC, 0644);
    if (s->fd < 0) return 0;
    int ok = mode_creates_header(s->options.open_mode) ? write_header_at_start(s) : read_header_at_start(s);
    if (ok && s->options.backend == VX_STORAGE_MMAP) ok = mapped_backend_init(s);
    if (!ok) {
        close(s->fd);
        s->fd = -1;
    }
    return ok;
}

// Fills a zeroed handle and starts its backend; 0 on failure, the mutex (when
// made) left for the caller's one clean-up.
static int storage_init(vx_storage *s, vx_arena *arena, int owns, const vx_storage_options *options) {
    s->options = *options;
    s->arena = arena;
    s->owns_arena = owns;
    s->fd = -1;
    header_init(s->header);
    if (vx_mutex_create(arena, 0, &s->mutex) != VX_OK) return 0;
    int ok = options->backend == VX_STORAGE_MEMORY ? memory_backend_init(s) : file_backend_init(s);
    if (!ok) return 0;
    memset(s->stats, 0, sizeof(s->stats));
    return 1;
}

extern "C" VX_API vx_storage *vx_storage_create(vx_arena *arena, const vx_storage_options *options) {
    if (!options) return nullptr;
    int32_t backend = options->backend;
    if (backend != VX_STORAGE_MEMORY && backend != VX_STORAGE_FILE && backend != VX_STORAGE_MMAP) return nullptr;
    int owns = 0;
    if (!arena) {
        if (vx_arena_create(STORAGE_OWN_ARENA, &arena) != VX_OK) return nullptr;
        owns = 1;
    }
    vx_storage *s = (vx_storage *)vx_arena_calloc(arena, 1, sizeof(vx_storage));
    if (s && storage_init(s, arena, owns, options)) return s;
    if (s) vx_mutex_destroy(s->mutex);
    if (owns) vx_arena_destroy(arena);
    return nullptr;
}

extern "C" VX_API vx_storage *vx_storage_open(vx_arena *arena, const char *path, int32_t mode) {
    vx_storage_options options;
    memset(&options, 0, sizeof(options));
    options.backend = VX_STORAGE_FILE;
    options.open_mode = mode;
    options.path = path;
    options.path_len = path ? strlen(path) : 0;
    options.block_size = 4096;
    options.capacity = 67108864;
    options.reserved1 = 1;
    options.reserved2 = 1;
    options.sync_writes = 0;
    return vx_storage_create(arena, &options);
}

/* ---- closing -------------------------------------------------------------- */

static int is_mapped(const vx_storage *s) { return s->options.backend == VX_STORAGE_MMAP && s->buffer; }

// Releases the mapping, then writes the header image back and closes the
// descriptor, so a mapped store reopens with the data it holds.
static void close_backend(vx_storage *s) {
    if (is_mapped(s)) {
        munmap(s->buffer, s->capacity);
        s->buffer = nullptr;
    }
    if (s->options.backend == VX_STORAGE_MEMORY) {
        vx_free(s->buffer);
        s->buffer = nullptr;
        return;
    }
    if (s->fd < 0) return;
    if (s->options.sync_writes) fsync(s->fd);
    put_u64(s->header + VX_SH_MODIFIED, (uint64_t)vx_time_now());
    if (write_header_at_start(s) && s->options.sync_writes) fsync(s->fd);
    close(s->fd);
    s->fd = -1;
}

// The last step of either close, after the backend is closed.
static void storage_release(vx_storage *s) {
    vx_mutex_destroy(s->mutex);
    if (s->owns_arena) vx_arena_destroy(s->arena);
}

// A store whose mutex cannot be had stays open under either close.
extern "C" VX_API vx_status vx_storage_close(vx_storage *storage) {
    if (!storage) return VX_ERR_INVALID_ARG;
    {
        mutex_guard locked(storage->mutex);
        if (!locked.held()) return locked.status();
        close_backend(storage);
    }
    storage_release(storage);
    return VX_OK;
}

void storage_abandon(vx_storage *storage) {
    if (!storage) return;
    if (storage->options.backend == VX_STORAGE_FILE && storage->fd >= 0) {
        close(storage->fd);
        storage->fd = -1;
    }
    vx_storage_close(storage);
}

extern "C" VX_API vx_status vx_storage_destroy(vx_storage *storage) {
    if (!storage) return VX_ERR_INVALID_ARG;
    char *path = nullptr;
    if (storage->options.backend != VX_STORAGE_MEMORY && storage->path) {
        uint64_t n = strlen(storage->path) + 1;
        path = (char *)vx_malloc(n);
        if (path) vx_memcpy(path, storage->path, n);
    }
    vx_status st = vx_storage_close(storage);
    if (st == VX_OK && path) unlink(path);
    vx_free(path);
    return st;
}

extern "C" VX_API vx_status vx_storage_sync(vx_storage *storage) {
    if (!storage) return VX_ERR_INVALID_ARG;
    if (is_mapped(storage)) return msync(storage->buffer, storage->data_len, MS_SYNC) == 0 ? VX_OK : VX_ERR_UNKNOWN;
    if (storage->fd < 0) return VX_OK;
    return fsync(storage->fd) == 0 ? VX_OK : VX_ERR_UNKNOWN;
}

/* ---- bytes ---------------------------------------------------------------- */

// Doubles a capacity until it holds need; 0 when that overflows.
static uint64_t grown_capacity(uint64_t capacity, uint64_t need) {
    if (capacity == 0) capacity = 1;
    while (capacity < need) {
        if (capacity > UINT64_MAX / 2) return 0;
        capacity *= 2;
    }
    return capacity;
}

static vx_status memory_write(vx_storage *s, const uint8_t *data, uint64_t size, uint64_t *position) {
    if (size > UINT64_MAX - s->data_len) return VX_ERR_NO_MEMORY;
    uint64_t need = s->data_len + size;
    if (need > s->capacity) {
        uint64_t capacity = grown_capacity(s->capacity, need);
        uint8_t *grown = capacity ? (uint8_t *)vx_realloc(s->buffer, capacity) : nullptr;
        if (!grown) return VX_ERR_NO_MEMORY;
        s->buffer = grown;
        s->capacity = capacity;
    }
    vx_memcpy(s->buffer + s->data_len, data, size);
    *position = s->data_len;
    s->data_len = need;
    return VX_OK;
}

// Unmaps, extends the file and maps it again at a doubled length.
static vx_status mapped_grow(vx_storage *s, uint64_t need) {
    uint64_t capacity = grown_capacity(s->capacity, need);
    if (!capacity) return VX_ERR_IO;
    if (munmap(s->buffer, s->capacity) != 0) return VX_ERR_IO;
    s->buffer = nullptr;
    if (ftruncate(s->fd, (off_t)capacity) != 0) return VX_ERR_IO;
    void *map = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
    if (map == MAP_FAILED) return VX_ERR_IO;
    s->buffer = (uint8_t *)map;
    s->capacity = capacity;
    return VX_OK;
}

static vx_status mapped_write(vx_storage *s, const uint8_t *data, uint64_t size, uint64_t *position) {
    if (size > UINT64_MAX - s->data_len) return VX_ERR_IO;
    uint64_t need = s->data_len + size;
    if (need > s->capacity) {
        vx_status st = mapped_grow(s, need);
        if (st != VX_OK) return st;
    }
    vx_memcpy(s->buffer + s->data_len, data, size);
    *position = s->data_len;
    s->data_len = need;
    if (s->options.sync_writes && msync(s->buffer, s->capacity, MS_SYNC) != 0) return VX_ERR_UNKNOWN;
    return VX_OK;
}

static vx_status file_write(vx_storage *s, const uint8_t *data, uint64_t size, const uint64_t *cursor,
                            uint64_t *position) {
    *position = 0;
    if (s->fd < 0) return VX_OK;
    off_t at = cursor ? lseek(s->fd, (off_t)*cursor, SEEK_SET) : lseek(s->fd, 0, SEEK_END);
    if (at < 0) return VX_ERR_IO;
    int failed = file_write_fully(s->fd, data, size) != 0;
    if (s->options.sync_writes) fsync(s->fd);
    if (failed) return VX_ERR_IO;
    *position = (uint64_t)at;
    return VX_OK;
}

// The write itself, with the mutex held; position receives where the bytes went.
static vx_status storage_write_locked(vx_storage *s, const void *data, uint64_t size, const uint64_t *cursor,
                                      uint64_t *position) {
    const uint8_t *bytes = (const uint8_t *)data;
    if (s->options.backend == VX_STORAGE_MEMORY) return memory_write(s, bytes, size, position);
    if (is_mapped(s)) return mapped_write(s, bytes, size, position);
    if (s->options.backend == VX_STORAGE_MMAP && s->fd >= 0 && cursor == nullptr && s->data_len) {
        // A mapped store whose remap failed keeps appending behind its data.
        uint64_t at = s->data_len;
        vx_status st = file_write(s, bytes, size, &at, position);
        if (st == VX_OK) s->data_len += size;
        return st;
    }
    return file_write(s, bytes, size, cursor, position);
}

// The write with its bookkeeping: on success the header's data bytes and the
// written-bytes statistic grow by size. The mutex is held.
static vx_status storage_write_counted(vx_storage *s, const void *data, uint64_t size, const uint64_t *cursor,
                                       uint64_t *position) {
    vx_status st = storage_write_locked(s, data, size, cursor, position);
    if (st != VX_OK) return st;
    header_add_data_bytes(s->header, size);
    s->stats[STAT_BYTES_WRITTEN] += size;
    return VX_OK;
}

extern "C" VX_API vx_status vx_storage_write(vx_storage *storage, const void *data, uint64_t size,
                                             uint64_t *cursor) {
    if (!storage || !data || size == 0) return VX_ERR_INVALID_ARG;
    mutex_guard locked(storage->mutex);
    if (!locked.held()) return locked.status();
    uint64_t position = 0;
    vx_status st = storage_write_counted(storage, data, size, cursor, &position);
    if (st == VX_OK && cursor) *cursor = position + size;
    return st;
}

extern "C" VX_API int64_t vx_storage_append(vx_storage *storage, const void *data, uint64_t size) {
    if (!storage || !data || size == 0) return -1;
    mutex_guard locked(storage->mutex);
    if (!locked.held()) return -1;
    uint64_t position = 0;
    vx_status st = storage_write_counted(storage, data, size, nullptr, &position);
    return st == VX_OK ? (int64_t)(position + size) : -1;
}

static int64_t storage_read_locked(vx_storage *s, uint64_t offset, void *buffer, uint64_t size) {
    if (s->options.backend == VX_STORAGE_MEMORY || is_mapped(s)) {
        if (!s->buffer || offset > s->data_len || size > s->data_len - offset) return -1;
        vx_memcpy(buffer, s->buffer + offset, size);
        return (int64_t)size;
    }
    if (s->fd < 0 || offset > (uint64_t)INT64_MAX) return -1;
    if (lseek(s->fd, (off_t)offset, SEEK_SET) < 0) return -1;
    return read_fully(s->fd, (uint8_t *)buffer, size);
}

extern "C" VX_API int64_t vx_storage_read(vx_storage *storage, uint64_t offset, void *buffer, uint64_t size) {
    if (!storage || !buffer || size == 0) return -1;
    mutex_guard locked(storage->mutex);
    if (!locked.held()) return -1;
    return storage_read_locked(storage, offset, buffer, size);
}

uint64_t storage_bytes_from(vx_storage *s, uint64_t offset) {
    if (!s) return 0;
    mutex_guard locked(s->mutex);
    if (!locked.held()) return 0;
    uint64_t end = 0;
    if (s->options.backend == VX_STORAGE_MEMORY || is_mapped(s)) {
        end = s->data_len;
    } else if (s->fd >= 0) {
        struct stat st;
        if (fstat(s->fd, &st) == 0) end = (uint64_t)st.st_size;
    }
    return offset < end ? end - offset : 0;
}

/* ---- vector records --------------------------------------------------------- */

extern "C" VX_API vx_status vx_storage_write_vector(vx_storage *storage, uint64_t id, const float *values,
                                                    uint32_t dimension, uint64_t *cursor) {
    if (!storage || !values || dimension == 0) return VX_ERR_INVALID_ARG;
    uint64_t size = VECTOR_HEAD_SIZE + 4ull * dimension;
    uint8_t *record = (uint8_t *)vx_malloc(size);
    if (!record) return VX_ERR_NO_MEMORY;
    put_u64(record, id);
    put_u32(record + 8, dimension);
    for (uint32_t i = 0; i < dimension; i++) put_f32(record + VECTOR_HEAD_SIZE + 4ull * i, values[i]);
    vx_status st = vx_storage_write(storage, record, size, cursor);
    vx_free(record);
    return st;
}

extern "C" VX_API vx_status vx_storage_read_vector(vx_storage *storage, uint64_t offset, uint64_t *out_id,
                                                   float *out_values, uint32_t dimension) {
    if (!storage || !out_id || !out_values) return VX_ERR_INVALID_ARG;
    uint8_t head[VECTOR_HEAD_SIZE];
    if (vx_storage_read(storage, offset, head, VECTOR_HEAD_SIZE) != (int64_t)VECTOR_HEAD_SIZE) return VX_ERR_UNKNOWN;
    *out_id = get_u64(head);
    if (get_u32(head + 8) != dimension) return VX_ERR_INVALID_ARG;
    if (dimension == 0) return VX_OK;
    return vx_storage_read_f32_array(storage, offset + VECTOR_HEAD_SIZE, out_values, dimension);
}

/* ---- blocks ----------------------------------------------------------------- */

static void block_header_decode(const uint8_t *p, vx_block_header *out) {
    memset(out, 0, sizeof(*out));
    out->block_id = get_u64(p);
    out->size = get_u32(p + 8);
    out->flags = get_u32(p + 12);
    out->reserved = get_u32(p + 16);
    out->reserved_byte = p[20];
    memcpy(out->padding, p + 21, sizeof(out->padding));
}

// Stamps the next block id on the block and appends it; the mutex is held.
static vx_status block_append_locked(vx_storage *s, uint8_t *block, uint64_t size, uint64_t *position) {
    put_u64(block, s->stats[STAT_NEXT_BLOCK]);
    put_u32(block + 8, (uint32_t)size);
    vx_status st = storage_write_counted(s, block, VX_BLOCK_HEADER_SIZE + size, nullptr, position);
    if (st == VX_OK) s->stats[STAT_NEXT_BLOCK]++;
    return st;
}

extern "C" VX_API int64_t vx_storage_alloc_block(vx_storage *storage, uint64_t size) {
    if (!storage || size > UINT32_MAX) return -1;
    uint8_t *block = (uint8_t *)vx_calloc(1, VX_BLOCK_HEADER_SIZE + size);
    if (!block) return -1;
    // The id is taken and advanced under the mutex so that concurrent
    // allocations never share an id.
    uint64_t position = 0;
    vx_status st;
    {
        mutex_guard locked(storage->mutex);
        st = locked.held() ? block_append_locked(storage, block, size, &position) : locked.status();
    }
    vx_free(block);
    return st == VX_OK ? (int64_t)(position + VX_BLOCK_HEADER_SIZE + size) : -1;
}

extern "C" VX_API vx_status vx_storage_free_block(vx_storage *, uint64_t) { return VX_OK; }

extern "C" VX_API vx_status vx_storage_get_block_info(vx_storage *storage, uint64_t offset,
                                                      vx_block_header *out_header) {
    if (!storage || !out_header) return VX_ERR_INVALID_ARG;
    uint8_t raw[VX_BLOCK_HEADER_SIZE];
    if (vx_storage_read(storage, offset, raw, VX_BLOCK_HEADER_SIZE) != (int64_t)VX_BLOCK_HEADER_SIZE)
        return VX_ERR_UNKNOWN;
    block_header_decode(raw, out_header);
    return VX_OK;
}

extern "C" VX_API vx_storage_iterator *vx_storage_iterator_create(vx_storage *storage) {
    if (!storage) return nullptr;
    mutex_guard locked(storage->mutex);
    if (!locked.held()) return nullptr;
    vx_storage_iterator *it =
        (vx_storage_iterator *)vx_arena_calloc(storage->arena, 1, sizeof(vx_storage_iterator));
    if (it) {
        it->storage = storage;
        if (storage->options.backend == VX_STORAGE_MEMORY) {
            // A memory store has no header in its buffer: its blocks start at 0.
            it->offset = 0;
            it->end = storage->data_len;
        } else {
            it->offset = get_u64(storage->header + VX_SH_DATA_OFFSET);
            uint64_t bytes = get_u64(storage->header + VX_SH_DATA_BYTES);
            it->end = bytes > UINT64_MAX - it->offset ? UINT64_MAX : it->offset + bytes;
        }
    }
    return it;
}

extern "C" VX_API int vx_storage_iterator_next(vx_storage_iterator *iterator) {
    if (!iterator || !iterator->storage) return 0;
    if (iterator->started) {
        uint64_t step = VX_BLOCK_HEADER_SIZE + (uint64_t)iterator->current.size;
        if (iterator->offset > UINT64_MAX - step) return 0;
        iterator->offset += step;
    }
    iterator->started = 1;
    if (iterator->offset >= iterator->end) return 0;
    return vx_storage_get_block_info(iterator->storage, iterator->offset, &iterator->current) == VX_OK;
}

extern "C" VX_API uint64_t vx_storage_iterator_get_data(vx_storage_iterator *iterator, void *buffer,
                                                        uint64_t size) {
    if (!iterator || !iterator->storage || !buffer || size == 0) return 0;
    uint64_t n = size < iterator->current.size ? size : iterator->current.size;
    if (n == 0) return 0;
    int64_t got = vx_storage_read(iterator->storage, iterator->offset + VX_BLOCK_HEADER_SIZE, buffer, n);
    return got > 0 ? (uint64_t)got : 0;
}

extern "C" VX_API void vx_storage_iterator_destroy(vx_storage_iterator *) {}

/* ---- maintenance and information -------------------------------------------- */

extern "C" VX_API vx_status vx_storage_get_stats(vx_storage *storage, vx_storage_stats *out) {
    if (!storage || !out) return VX_ERR_INVALID_ARG;
    mutex_guard locked(storage->mutex);
    if (!locked.held()) return locked.status();
    out->total_bytes = storage->stats[0];
    out->used_bytes = storage->stats[1];
    out->free_bytes = storage->stats[2];
    out->block_count = storage->stats[3];
    out->reserved[0] = storage->stats[4];
    out->reserved[1] = storage->stats[5];
    if (storage->options.backend == VX_STORAGE_MEMORY) {
        out->total_bytes = storage->capacity;
        out->used_bytes = storage->data_len;
        out->free_bytes = storage->capacity - storage->data_len;
    }
    return VX_OK;
}

extern "C" VX_API vx_status vx_storage_compact(vx_storage *storage) {
    return storage ? VX_OK : VX_ERR_INVALID_ARG;
}

extern "C" VX_API vx_status vx_storage_verify(vx_storage *storage) {
    if (!storage) return VX_ERR_INVALID_ARG;
    mutex_guard locked(storage->mutex);
    if (!locked.held()) return locked.status();
    if (get_u32(storage->header + VX_SH_MAGIC) != VX_STORAGE_MAGIC) return VX_ERR_FILE_CORRUPTED;
    if (get_u16(storage->header + VX_SH_VERSION) != VX_STORAGE_VERSION) return VX_ERR_NOT_SUPPORTED;
    return VX_OK;
}

extern "C" VX_API vx_status vx_storage_register_backend(int32_t, const void *) { return VX_ERR_NOT_SUPPORTED; }
