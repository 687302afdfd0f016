// File-system helpers over the POSIX interface: opening by mode text,
// whole-file reading and writing, directories, path pieces, copies and
// temporary names.
#include "vexal.h"
#include "vx_file_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Paths arrive as views whose data is a zero-terminated text.
static inline const char *path_text(const vx_str *path) { return path ? path->data : nullptr; }

static inline bool is_separator(char c) { return c == '/' || c == '\\'; }

/* ---- descriptors --------------------------------------------------------- */

// Open flags of a mode text; only its first two characters count, and an
// unknown pair (a+, rb+, wx, x, ...) opens for reading.
static int mode_flags(const char *mode) {
    char first = mode[0];
    char second = first ? mode[1] : '\0';
    bool plain = second == '\0' || second == 'b';
    bool plus = second == '+';
    switch (first) {
    case 'r': return plus ? O_RDWR : O_RDONLY;
    case 'w':
        if (plain) return O_WRONLY | O_CREAT | O_TRUNC;
        return plus ? O_RDWR | O_CREAT | O_TRUNC : O_RDONLY;
    case 'a': return plain ? O_WRONLY | O_CREAT | O_APPEND : O_RDONLY;
    default: return O_RDONLY;
    }
}

static int open_path(const char *path, int flags) { return open(path, flags | O_CLOEXEC, 0644); }

extern "C" VX_API int vx_file_open(const vx_str *path, const vx_str *mode) {
    const char *text = path_text(path);
    if (!text || !mode || !mode->data) return -1;
    return open_path(text, mode_flags(mode->data));
}

extern "C" VX_API int vx_file_close(int fd) { return close(fd); }

extern "C" VX_API int64_t vx_file_read(int fd, void *buffer, uint64_t size) {
    return (int64_t)read(fd, buffer, (size_t)size);
}

extern "C" VX_API int64_t vx_file_write(int fd, const void *data, uint64_t length) {
    return (int64_t)write(fd, data, (size_t)length);
}

extern "C" VX_API int64_t vx_file_seek(int fd, int64_t offset, int whence) {
    static const int whences[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (whence < 0 || whence > 2) return -1;
    return (int64_t)lseek(fd, (off_t)offset, whences[whence]);
}

/* ---- whole files ---------------------------------------------------------- */

int file_write_fully(int fd, const void *data, uint64_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= (uint64_t)n;
    }
    return 0;
}

int64_t file_read_fully(int fd, void *buffer, uint64_t len) {
    char *p = (char *)buffer;
    uint64_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, p + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += (uint64_t)n;
    }
    return (int64_t)got;
}

extern "C" VX_API char *vx_file_read_all(const vx_str *path, uint64_t *out_size) {
    const char *text = path_text(path);
    if (!text) return nullptr;
    int fd = open_path(text, O_RDONLY);
    if (fd < 0) return nullptr;
    struct stat st;
    off_t size = -1;
    if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) size = lseek(fd, 0, SEEK_END);
    char *buffer = nullptr;
    if (size >= 0 && lseek(fd, 0, SEEK_SET) == 0) buffer = (char *)malloc((size_t)size + 1);
    if (buffer && file_read_fully(fd, buffer, (uint64_t)size) != (int64_t)size) {
        free(buffer);
        buffer = nullptr;
    }
    close(fd);
    if (!buffer) return nullptr;
    buffer[size] = '\0';
    if (out_size) *out_size = (uint64_t)size;
    return buffer;
}

extern "C" VX_API vx_status vx_file_write_all(const vx_str *path, const void *data, uint64_t length) {
    const char *text = path_text(path);
    if (!text || (!data && length > 0)) return VX_ERR_INVALID_ARG;
    int fd = open_path(text, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return VX_ERR_IO;
    int written = file_write_fully(fd, data, length);
    // A failed close can be the first report of a failed write.
    int closed = close(fd);
    return written == 0 && closed == 0 ? VX_OK : VX_ERR_IO;
}

// Parent directory of a system path for flushing its entries: "." without a
// "/", "/" for a name at the root.
static char *system_parent(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return strdup(".");
    if (slash == path) return strdup("/");
    return strndup(path, (size_t)(slash - path));
}

vx_status file_sync_dir(const char *dir_path) {
    if (!dir_path) return VX_ERR_INVALID_ARG;
    int fd = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return VX_ERR_IO;
    // Some file systems cannot flush directories; their entries are then
    // as durable as they get.
    int rc = fsync(fd);
    bool ok = rc == 0 || errno == EINVAL;
    close(fd);
    return ok ? VX_OK : VX_ERR_IO;
}

/* ---- atomic replacement ---------------------------------------------------- */

vx_status file_os_failure(const char *path, int error) {
    // The detail is kept by pointer in the last-error record, so it lives in
    // a buffer of this thread until its next failure.
    static thread_local char detail[1200];
    vx_status st = error == EACCES || error == EPERM || error == EROFS ? VX_ERR_PERMISSION_DENIED : VX_ERR_IO;
    snprintf(detail, sizeof detail, "%s: %s", path ? path : "(no path)", strerror(error));
    vx_error_set(st, __FILE__, __LINE__, __func__, detail);
    return st;
}

// Records the first failure of a writer with the system's reason.
static void writer_failed(file_writer *w) {
    int error = errno ? errno : EIO;
    if (w->status == VX_OK) w->status = file_os_failure(w->target, error);
}

// Writes all len bytes at offset without moving the file position.
static int write_fully_at(int fd, const void *data, uint64_t len, uint64_t offset) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, (off_t)offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= (uint64_t)n;
        offset += (uint64_t)n;
    }
    return 0;
}

static void writer_release(file_writer *w) {
    if (w->fd >= 0) close(w->fd);
    w->fd = -1;
    free(w->temp);
    free(w->target);
    vx_free(w->buffer);
    w->temp = w->target = nullptr;
    w->buffer = nullptr;
}

vx_status file_writer_open(file_writer *w, const char *path) {
    static const char suffix[] = ".tmp.XXXXXX";
    memset(w, 0, sizeof(*w));
    w->fd = -1;
    if (!path) return VX_ERR_INVALID_ARG;
    if (!*path) return VX_ERR_IO;  // no file can carry an empty name
    size_t len = strlen(path);
    w->temp = (char *)malloc(len + sizeof suffix);
    w->target = strdup(path);
    w->buffer = (uint8_t *)vx_malloc(FILE_WRITER_CHUNK);
    if (!w->temp || !w->target || !w->buffer) {
        writer_release(w);
        return VX_ERR_NO_MEMORY;
    }
    memcpy(w->temp, path, len);
    memcpy(w->temp + len, suffix, sizeof suffix);
    w->fd = mkostemp(w->temp, O_CLOEXEC);
    // A replacement keeps the permission bits of the file it replaces.
    struct stat old;
    mode_t mode = stat(path, &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (w->fd >= 0 && fchmod(w->fd, mode) == 0) return VX_OK;
    vx_status st = file_os_failure(path, errno);
    if (w->fd >= 0) unlink(w->temp);
    writer_release(w);
    return st;
}

// Feeds the checksum the buffered bytes it has not seen yet.
static void writer_hash_catch_up(file_writer *w) {
    uint64_t end = file_writer_offset(w);
    if (!w->hashing || w->hashed >= end) return;
    hash_stream_feed(&w->hash, w->buffer + (w->hashed - w->flushed), end - w->hashed);
    w->hashed = end;
}

static void writer_flush(file_writer *w) {
    writer_hash_catch_up(w);
    if (w->status == VX_OK && w->used && file_write_fully(w->fd, w->buffer, w->used) != 0) writer_failed(w);
    w->flushed += w->used;
    w->used = 0;
}

void file_writer_put(file_writer *w, const void *data, uint64_t size) {
    if (w->status != VX_OK || size == 0) return;
    if (size > FILE_WRITER_CHUNK - w->used) writer_flush(w);
    if (size >= FILE_WRITER_CHUNK) {
        // Large pieces go out on their own.
        if (w->status == VX_OK && file_write_fully(w->fd, data, size) != 0) writer_failed(w);
        if (w->hashing) {
            hash_stream_feed(&w->hash, data, size);
            w->hashed += size;
        }
        w->flushed += size;
        return;
    }
    if (w->status != VX_OK) return;
    vx_memcpy(w->buffer + w->used, data, size);
    w->used += size;
}

uint8_t *file_writer_room(file_writer *w, uint64_t size) {
    if (w->status == VX_OK && size > FILE_WRITER_CHUNK) w->status = VX_ERR_INVALID_ARG;
    if (w->status == VX_OK && size > FILE_WRITER_CHUNK - w->used) writer_flush(w);
    if (w->status != VX_OK) return nullptr;
    uint8_t *at = w->buffer + w->used;
    w->used += size;
    return at;
}

void file_writer_put_at(file_writer *w, uint64_t offset, const void *data, uint64_t size) {
    uint64_t end = file_writer_offset(w);
    if (w->status == VX_OK && (offset > end || size > end - offset)) w->status = VX_ERR_INVALID_ARG;
    if (w->status != VX_OK) return;
    // The part already in the file is overwritten there, the rest in the buffer.
    const uint8_t *p = (const uint8_t *)data;
    if (offset < w->flushed) {
        uint64_t n = w->flushed - offset < size ? w->flushed - offset : size;
        if (write_fully_at(w->fd, p, n, offset) != 0) {
            writer_failed(w);
            return;
        }
        p += n;
        offset += n;
        size -= n;
    }
    if (size) vx_memcpy(w->buffer + (offset - w->flushed), p, size);
}

void file_writer_hash_begin(file_writer *w) {
    hash_stream_init(&w->hash, 0);
    w->hashing = 1;
    w->hashed = file_writer_offset(w);
}

uint64_t file_writer_hash_end(file_writer *w) {
    writer_hash_catch_up(w);
    w->hashing = 0;
    return hash_stream_value(&w->hash);
}

// Flushes the directory holding path, so that a rename into it lasts.
static vx_status sync_parent(const char *path) {
    char *parent = system_parent(path);
    vx_status status = parent ? file_sync_dir(parent) : VX_ERR_NO_MEMORY;
    free(parent);
    return status;
}

vx_status file_writer_finish(file_writer *w) {
    writer_flush(w);
    vx_status status = w->status;
    if (status == VX_OK && fsync(w->fd) != 0) status = file_os_failure(w->target, errno);
    // A failed close can be the first report of a failed write.
    if (close(w->fd) != 0 && status == VX_OK) status = file_os_failure(w->target, errno);
    w->fd = -1;
    if (status == VX_OK && rename(w->temp, w->target) != 0) status = file_os_failure(w->target, errno);
    if (status == VX_OK) status = sync_parent(w->target);
    else unlink(w->temp);
    writer_release(w);
    return status;
}

void file_writer_abort(file_writer *w) {
    if (w->temp) unlink(w->temp);
    writer_release(w);
}

vx_status file_write_atomic(const char *path, const void *data, uint64_t size) {
    if (!path || !*path || (!data && size > 0)) return VX_ERR_INVALID_ARG;
    file_writer w;
    vx_status status = file_writer_open(&w, path);
    if (status != VX_OK) return status;
    file_writer_put(&w, data, size);
    return file_writer_finish(&w);
}

/* ---- tests on paths ------------------------------------------------------- */

static bool stat_path(const vx_str *path, struct stat *st) {
    const char *text = path_text(path);
    return text && stat(text, st) == 0;
}

extern "C" VX_API int64_t vx_file_size(const vx_str *path) {
    struct stat st;
    return stat_path(path, &st) ? (int64_t)st.st_size : -1;
}

extern "C" VX_API int64_t vx_file_mtime(const vx_str *path) {
    struct stat st;
    return stat_path(path, &st) ? (int64_t)st.st_mtime : -1;
}

extern "C" VX_API int vx_file_exists(const vx_str *path) {
    struct stat st;
    return stat_path(path, &st) ? 1 : 0;
}

extern "C" VX_API int vx_file_is_regular(const vx_str *path) {
    struct stat st;
    return stat_path(path, &st) && S_ISREG(st.st_mode) ? 1 : 0;
}

extern "C" VX_API int vx_file_is_directory(const vx_str *path) {
    struct stat st;
    return stat_path(path, &st) && S_ISDIR(st.st_mode) ? 1 : 0;
}

/* ---- directories ---------------------------------------------------------- */

extern "C" VX_API vx_status vx_file_mkdir(const vx_str *path) {
    const char *text = path_text(path);
    if (!text) return VX_ERR_INVALID_ARG;
    return mkdir(text, 0755) == 0 ? VX_OK : VX_ERR_IO;
}

// Creates a directory unless one is there already (also when another thread
// or process made it a moment ago); anything else in the way fails.
static bool ensure_directory(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0) return S_ISDIR(st.st_mode);
    if (mkdir(path, 0755) == 0) return true;
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

extern "C" VX_API vx_status vx_file_mkdir_recursive(const vx_str *path) {
    const char *text = path_text(path);
    if (!text) return VX_ERR_INVALID_ARG;
    char *copy = strdup(text);
    if (!copy) return VX_ERR_NO_MEMORY;
    vx_status status = VX_OK;
    for (char *p = copy; *p && status == VX_OK; p++) {
        if (!is_separator(*p)) continue;
        *p = '\0';
        if (p != copy && !ensure_directory(copy)) status = VX_ERR_IO;
        *p = '/';
    }
    if (status == VX_OK && !ensure_directory(copy)) status = VX_ERR_IO;
    free(copy);
    return status;
}

extern "C" VX_API vx_status vx_file_rmdir(const vx_str *path) {
    const char *text = path_text(path);
    if (!text) return VX_ERR_INVALID_ARG;
    return rmdir(text) == 0 ? VX_OK : VX_ERR_IO;
}

// Opens a directory for listing without following a symbolic link, so that
// a link inside the tree can never lead the removal outside it.
static DIR *open_dir_nofollow(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR *dir = fdopendir(fd);
    if (!dir) close(fd);
    return dir;
}

static inline bool is_dot_entry(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

static vx_status remove_tree(const char *path) {
    DIR *dir = open_dir_nofollow(path);
    if (!dir) return VX_ERR_IO;
    size_t base = strlen(path);
    vx_status status = VX_OK;
    struct dirent *entry;
    while (status == VX_OK && (entry = readdir(dir)) != nullptr) {
        if (is_dot_entry(entry->d_name)) continue;
        size_t name_len = strlen(entry->d_name);
        char *child = (char *)malloc(base + name_len + 2);
        if (!child) {
            status = VX_ERR_NO_MEMORY;
            break;
        }
        memcpy(child, path, base);
        child[base] = '/';
        memcpy(child + base + 1, entry->d_name, name_len + 1);
        struct stat st;
        if (lstat(child, &st) != 0) status = VX_ERR_IO;
        else if (S_ISDIR(st.st_mode)) status = remove_tree(child);
        else if (unlink(child) != 0) status = VX_ERR_IO;
        free(child);
    }
    closedir(dir);
    if (status == VX_OK && rmdir(path) != 0) status = VX_ERR_IO;
    return status;
}

extern "C" VX_API vx_status vx_file_rmdir_recursive(const vx_str *path) {
    const char *text = path_text(path);
    if (!text) return VX_ERR_INVALID_ARG;
    return remove_tree(text);
}

extern "C" VX_API vx_status vx_file_unlink(const vx_str *path) {
    const char *text = path_text(path);
    if (!text) return VX_ERR_INVALID_ARG;
    return unlink(text) == 0 ? VX_OK : VX_ERR_IO;
}

extern "C" VX_API vx_status vx_file_rename(const vx_str *from, const vx_str *to) {
    const char *source = path_text(from), *target = path_text(to);
    if (!source || !target) return VX_ERR_INVALID_ARG;
    return rename(source, target) == 0 ? VX_OK : VX_ERR_IO;
}

extern "C" VX_API vx_status vx_file_copy(const vx_str *from, const vx_str *to) {
    const char *source = path_text(from), *target = path_text(to);
    if (!source || !target) return VX_ERR_INVALID_ARG;
    int in = open_path(source, O_RDONLY);
    if (in < 0) return VX_ERR_IO;
    // Truncating the target first would destroy a source that is the same file.
    struct stat src_st, dst_st;
    if (fstat(in, &src_st) != 0 ||
        (stat(target, &dst_st) == 0 && dst_st.st_dev == src_st.st_dev && dst_st.st_ino == src_st.st_ino)) {
        close(in);
        return VX_ERR_IO;
    }
    int out = open_path(target, O_WRONLY | O_CREAT | O_TRUNC);
    if (out < 0) {
        close(in);
        return VX_ERR_IO;
    }
    char buffer[16384];
    vx_status status = VX_OK;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0 || file_write_fully(out, buffer, (uint64_t)n) != 0) {
            status = VX_ERR_IO;
            break;
        }
    }
    close(in);
    if (close(out) != 0) status = VX_ERR_IO;
    return status;
}

extern "C" VX_API char **vx_file_list_dir(const vx_str *path, vx_arena *arena) {
    const char *text = path_text(path);
    if (!text || !arena) return nullptr;
    DIR *dir = opendir(text);
    if (!dir) return nullptr;
    uint64_t count = 0;
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr)
        if (!is_dot_entry(entry->d_name)) count++;
    rewinddir(dir);
    char **names = (char **)vx_arena_calloc(arena, count + 1, sizeof(char *));
    uint64_t made = 0;
    while (names && made < count && (entry = readdir(dir)) != nullptr) {
        if (is_dot_entry(entry->d_name)) continue;
        names[made] = strdup(entry->d_name);
        if (!names[made]) {
            while (made > 0) free(names[--made]);
            names = nullptr;
            break;
        }
        made++;
    }
    closedir(dir);
    return names;
}

/* ---- path pieces ----------------------------------------------------------- */

// The last "/", or without one the last "\\"; null when there is neither.
static const char *last_separator(const char *text) {
    const char *slash = strrchr(text, '/');
    return slash ? slash : strrchr(text, '\\');
}

extern "C" VX_API const char *vx_file_basename(const vx_str *path) {
    const char *text = path_text(path);
    if (!text) return nullptr;
    const char *sep = last_separator(text);
    return sep ? sep + 1 : text;
}

static char *arena_text(vx_arena *arena, const char *text, uint64_t len) {
    char *copy = (char *)vx_arena_alloc(arena, len + 1);
    if (!copy) return nullptr;
    vx_memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

extern "C" VX_API char *vx_file_dirname(vx_arena *arena, const vx_str *path) {
    const char *text = path_text(path);
    if (!arena || !text) return nullptr;
    const char *sep = last_separator(text);
    // Always from the arena, so that no caller has to guess how to release it.
    if (!sep) return arena_text(arena, ".", 1);
    return arena_text(arena, text, (uint64_t)(sep - text));
}

extern "C" VX_API char *vx_file_join(vx_arena *arena, const char *first, ...) {
    if (!arena) return nullptr;
    va_list args;
    va_start(args, first);
    uint64_t total = 0;
    for (const char *part = first; part; part = va_arg(args, const char *)) total += strlen(part) + 1;
    va_end(args);
    char *joined = (char *)vx_arena_calloc(arena, total ? total : 1, 1);
    if (!joined || !first) return joined;
    uint64_t at = strlen(first);
    vx_memcpy(joined, first, at);
    va_start(args, first);
    for (const char *part = va_arg(args, const char *); part; part = va_arg(args, const char *)) {
        uint64_t len = strlen(part);
        joined[at++] = '/';
        vx_memcpy(joined + at, part, len);
        at += len;
    }
    va_end(args);
    return joined;
}

extern "C" VX_API char *vx_file_abs_path(void *reserved, const vx_str *path) {
    (void)reserved;
    const char *text = path_text(path);
    if (!text) return nullptr;
    char resolved[PATH_MAX];
    if (!realpath(text, resolved)) return nullptr;
    return strdup(resolved);
}

extern "C" VX_API char *vx_file_normalize_path(void *reserved, const vx_str *path) {
    (void)reserved;
    const char *text = path_text(path);
    return text ? strdup(text) : nullptr;
}

/* ---- temporary names -------------------------------------------------------- */

extern "C" VX_API char *vx_file_mktemp(char *template_text) {
    if (!template_text) return nullptr;
    int fd = mkostemp(template_text, O_CLOEXEC);
    if (fd < 0) return nullptr;
    close(fd);
    return template_text;
}

extern "C" VX_API char *vx_file_mkdtemp(char *template_text) {
    if (!template_text) return nullptr;
    return mkdtemp(template_text);
}
