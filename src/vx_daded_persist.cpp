// Database directories: the list file ".vxmeta" naming the collections, one
// collection file per collection and the storage file. Opening loads what
// the list names; sync and close save every collection, then replace the
// list, then delete the files of collections dropped since the list was
// last written. Every file is replaced atomically, so a crash at any moment
// leaves each file either as it was or as it was meant to become.
#include "vx_collection_internal.h"
#include "vx_daded_internal.h"
#include "vx_file_internal.h"
#include "vx_lock_guard.h"
#include "vx_persist_internal.h"
#include "vx_storage_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const size_t PATH_BUFFER = 1024;
static const size_t NAME_MAX_BYTES = 63;

int persist_name_valid(const char *name) {
    if (!name) return 0;
    size_t n = strnlen(name, NAME_MAX_BYTES + 1);
    if (n == 0 || n > NAME_MAX_BYTES) return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    return strpbrk(name, "/\\\n\r") == nullptr;
}

int persist_path(char *out, const char *dir, const char *name, const char *suffix) {
    int n = snprintf(out, PATH_BUFFER, "%s/%s%s", dir, name, suffix);
    return n > 0 && (size_t)n < PATH_BUFFER;
}

static int path_exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 || errno != ENOENT;
}

static int registry_has_name(const vx_daded *db, const char *name) {
    for (uint64_t i = 0; i < db->collection_count; i++) {
        const vx_collection *c = db->collections[i];
        if (c && c->name && strcmp(c->name, name) == 0) return 1;
    }
    return 0;
}

vx_status daded_fail(vx_status st, const char *format, ...) {
    // The last-error record keeps the detail by pointer.
    static thread_local char detail[1400];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    vx_error_set(st, __FILE__, __LINE__, __func__, detail);
    return st;
}

/* ---- absent collections ------------------------------------------------------- */

int daded_is_absent(const vx_daded *db, const char *name) {
    for (uint64_t i = 0; i < db->absent_count; i++)
        if (strcmp(db->absent[i], name) == 0) return 1;
    return 0;
}

int daded_forget_absent(vx_daded *db, const char *name, uint64_t len) {
    for (uint64_t i = 0; i < db->absent_count; i++) {
        if (strlen(db->absent[i]) != len || memcmp(db->absent[i], name, len) != 0) continue;
        vx_free(db->absent[i]);
        db->absent[i] = db->absent[--db->absent_count];
        return 1;
    }
    return 0;
}

static vx_status remember_absent(vx_daded *db, const char *name) {
    if (daded_is_absent(db, name)) return VX_OK;
    char **grown = (char **)vx_realloc(db->absent, (db->absent_count + 1) * sizeof(char *));
    if (!grown) return VX_ERR_NO_MEMORY;
    db->absent = grown;
    size_t n = strlen(name);
    char *copy = (char *)vx_malloc(n + 1);
    if (!copy) return VX_ERR_NO_MEMORY;
    vx_memcpy(copy, name, n + 1);
    db->absent[db->absent_count++] = copy;
    return VX_OK;
}

// A name the list file goes on naming: a registered or an absent collection.
static int db_keeps_name(const vx_daded *db, const char *name) {
    return registry_has_name(db, name) || daded_is_absent(db, name);
}

/* ---- the directory's lock ----------------------------------------------------- */

static const uint32_t LOCK_POLL_MS = 10;

// flock with a bounded wait: 0 held, 1 held elsewhere past the timeout,
// -1 when the file system offers no such lock.
static int flock_within(int fd, int operation, uint32_t timeout_ms) {
    uint32_t waited = 0;
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return -1;
        if (waited >= timeout_ms) return 1;
        usleep(LOCK_POLL_MS * 1000);
        waited += LOCK_POLL_MS;
    }
}

vx_status daded_lock_directory(vx_daded *db) {
    const char *dir = db->config.path.data;
    struct stat st;
    if (db->lock_fd >= 0 || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return VX_OK;
    char path[PATH_BUFFER];
    if (!persist_path(path, dir, ".vxlock", "")) return VX_ERR_PATH_TOO_LONG;
    // The lock file is empty and never written; it exists only to be locked.
    // Where it can be neither created nor opened (a directory the process
    // may only read), no other process of ours can write either.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return VX_OK;
    int operation = db->config.read_only ? LOCK_SH : LOCK_EX;
    int got = flock_within(fd, operation, db->open_options.lock_timeout_ms);
    if (got == 1) {
        close(fd);
        return daded_fail(VX_ERR_BUSY, "database %s is in use by another %s (%s is locked)", dir,
                          db->config.read_only ? "writer" : "process", path);
    }
    if (got < 0) {
        close(fd);
        return VX_OK;
    }
    db->lock_fd = fd;
    return VX_OK;
}

/* ---- list file ---------------------------------------------------------------- */

// Calls visit(name) for every non-empty line; a line feed or a zero byte ends
// a line, and text after the last one is ignored. Stops when visit fails.
template <typename Visit>
static vx_status for_each_listed(char *text, uint64_t size, Visit visit) {
    char *line = text;
    for (uint64_t i = 0; i < size; i++) {
        if (text[i] != '\n' && text[i] != '\0') continue;
        text[i] = '\0';
        if (*line) {
            vx_status st = visit(line);
            if (st != VX_OK) return st;
        }
        line = text + i + 1;
    }
    return VX_OK;
}

// The list file's text (malloc'd, zero-terminated), or null when it cannot
// be read.
static char *read_list(const char *dir, uint64_t *size) {
    char path[PATH_BUFFER];
    if (!persist_path(path, dir, ".vxmeta", "")) return nullptr;
    vx_str view = {path, strlen(path)};
    return vx_file_read_all(&view, size);
}

/* ---- opening ------------------------------------------------------------------ */

// Loads one listed collection. A missing file stops the opening, unless
// the options skip it (the name then stays listed); so does a file that is
// there but does not load, or whose collection could not be told apart from
// one already loaded.
static vx_status load_listed(vx_daded *db, const char *name) {
    char path[PATH_BUFFER];
    if (!persist_name_valid(name) || registry_has_name(db, name)) return VX_OK;
    if (!persist_path(path, db->config.path.data, name, ".vxcol")) return VX_OK;
    if (!path_exists(path)) {
        if (db->open_options.skip_missing) return remember_absent(db, name);
        return daded_fail(VX_ERR_FILE_NOT_FOUND, "collection file %s, named in %s/.vxmeta, is missing", path,
                          db->config.path.data);
    }
    vx_collection *c = vx_collection_load(db->arena, path);
    if (!c) return daded_fail(VX_ERR_FILE_CORRUPTED, "collection file %s does not load", path);
    if (!persist_name_valid(c->name) || registry_has_name(db, c->name)) {
        vx_collection_destroy(c);
        return daded_fail(VX_ERR_FILE_CORRUPTED, "collection file %s holds an unusable or repeated name", path);
    }
    // Set before the collection is shared: it never changes afterwards.
    c->read_only = db->config.read_only ? 1 : 0;
    vx_status st = daded_registry_append(db, c);
    if (st != VX_OK) vx_collection_destroy(c);
    return st;
}

vx_status daded_load_all(vx_daded *db) {
    if (!db->config.path.data || db->config.path.len == 0) return VX_OK;
    uint64_t size = 0;
    char *text = read_list(db->config.path.data, &size);
    if (!text) return VX_OK;
    vx_status st = for_each_listed(text, size, [db](const char *name) { return load_listed(db, name); });
    free(text);
    return st;
}

void daded_open_storage(vx_daded *db) {
    char path[PATH_BUFFER];
    if (!persist_path(path, db->config.path.data, "storage", "")) return;
    vx_storage_options o;
    // A read-only database never writes, not even the storage header.
    int32_t mode = db->config.create_if_missing ? (int32_t)VX_OPEN_CREATE : (int32_t)VX_OPEN_READWRITE;
    storage_file_options(&o, path, db->config.read_only ? (int32_t)VX_OPEN_READ : mode);
    db->storage = vx_storage_create(db->arena, &o);
}

// With create_if_missing the directory is made when nothing is there; a path
// naming anything but a directory is never touched and fails the opening.
static vx_status prepare_directory(vx_daded *db) {
    if (!db->config.create_if_missing) return VX_OK;
    const char *dir = db->config.path.data;
    struct stat st;
    if (stat(dir, &st) == 0) return S_ISDIR(st.st_mode) ? VX_OK : VX_ERR_IO;
    vx_str view = {(char *)dir, strlen(dir)};
    vx_file_mkdir(&view);
    return VX_OK;
}

// Destroys whatever the opening loaded so far.
static void unload_all(vx_daded *db) {
    for (uint64_t i = 0; i < db->collection_count; i++) {
        if (db->collections[i]) vx_collection_destroy(db->collections[i]);
        db->collections[i] = nullptr;
    }
    db->collection_count = 0;
}

// 1 for the name of a temporary file that an interrupted save of this
// directory left behind: "<name>.vxcol.tmp.XXXXXX" or ".vxmeta.tmp.XXXXXX".
static int is_leftover(const char *entry) {
    const char *tmp = strstr(entry, ".tmp.");
    if (!tmp || strlen(tmp) != 11) return 0;
    size_t stem = (size_t)(tmp - entry);
    if (stem == 7 && strncmp(entry, ".vxmeta", 7) == 0) return 1;
    return stem > 6 && strncmp(tmp - 6, ".vxcol", 6) == 0;
}

static void remove_leftovers(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) return;
    char path[PATH_BUFFER];
    while (struct dirent *e = readdir(d))
        if (is_leftover(e->d_name) && persist_path(path, dir, e->d_name, "")) unlink(path);
    closedir(d);
}

vx_status daded_open_persistent(vx_daded *db) {
    // An empty path names no directory: nothing is created or read (the
    // storage file would otherwise land at "/storage").
    if (!db->config.path.data || db->config.path.len == 0) return VX_OK;
    vx_status st = prepare_directory(db);
    // The lock comes first, so no other writer changes what is loaded.
    if (st == VX_OK) st = daded_lock_directory(db);
    if (st == VX_OK) st = daded_load_all(db);
    if (st != VX_OK) {
        unload_all(db);
        return st;
    }
    // The storage file is opened only once the collections loaded, so a
    // failed opening changes no file of the directory.
    daded_open_storage(db);
    if (!db->config.read_only) remove_leftovers(db->config.path.data);
    return VX_OK;
}

/* ---- saving ------------------------------------------------------------------- */

struct text_buffer {
    char *data;
    uint64_t len;
    uint64_t cap;
};

static int text_append(text_buffer *t, const char *s, uint64_t n) {
    if (t->len + n + 1 > t->cap) {
        uint64_t cap = t->cap ? t->cap : 256;
        while (cap < t->len + n + 1) cap *= 2;
        char *grown = (char *)vx_realloc(t->data, cap);
        if (!grown) return 0;
        t->data = grown;
        t->cap = cap;
    }
    vx_memcpy(t->data + t->len, s, n);
    t->len += n;
    t->data[t->len] = '\0';
    return 1;
}

// 1 when the file at path holds a collection of exactly this name: only such
// a file is deleted when its collection is gone, never one that merely
// shares the line.
static int file_holds_collection(const char *path, const char *name) {
    vx_storage *s = vx_storage_open(nullptr, path, VX_OPEN_READ);
    if (!s) return 0;
    vx_collection_header h;
    int same = vx_storage_read_collection_header(s, 192, &h) == VX_OK &&
               strncmp(h.name, name, sizeof(h.name)) == 0;
    storage_abandon(s);
    return same;
}

// Deletes the files of collections named by the previous list that are no
// longer in the registry.
static void delete_dropped(vx_daded *db, char *old_list, uint64_t size) {
    const char *dir = db->config.path.data;
    for_each_listed(old_list, size, [db, dir](const char *name) {
        char path[PATH_BUFFER];
        if (persist_name_valid(name) && !db_keeps_name(db, name) && persist_path(path, dir, name, ".vxcol") &&
            file_holds_collection(path, name)) {
            unlink(path);
            // The saved index of that collection goes with it.
            if (persist_path(path, dir, name, ".vxcol.idx")) unlink(path);
        }
        return VX_OK;
    });
    file_sync_dir(dir);
}

// Keeps the first failure of a save, with the reason the last-error record
// holds for it (the file and the system's reason) as the handle's text.
static void note_failure(vx_daded *db, vx_status *first, vx_status st) {
    if (st == VX_OK || *first != VX_OK) return;
    *first = st;
    vx_error_info info;
    vx_error_get(&info);
    const char *why = info.status == st && info.detail ? info.detail : vx_error_message(st);
    snprintf(db->error_message, sizeof db->error_message, "%s", why);
    db->last_error = st;
}

static void list_name(text_buffer *list, const char *name, vx_daded *db, vx_status *first) {
    if (!text_append(list, name, strlen(name)) || !text_append(list, "\n", 1))
        note_failure(db, first, VX_ERR_NO_MEMORY);
}

// A writer whose directory did not exist at its opening makes it now, and
// takes its lock before writing anything.
static vx_status make_directory(vx_daded *db) {
    const char *dir = db->config.path.data;
    if (!path_exists(dir)) {
        vx_str view = {(char *)dir, strlen(dir)};
        vx_file_mkdir(&view);
    }
    return daded_lock_directory(db);
}

vx_status daded_save_all(vx_daded *db) {
    const char *dir = db->config.path.data;
    if (!dir || db->config.path.len == 0) return VX_OK;
    vx_status first = VX_OK;
    db->last_error = VX_OK;
    db->error_message[0] = '\0';
    note_failure(db, &first, make_directory(db));
    if (first != VX_OK) return first;
    text_buffer list = {nullptr, 0, 0};
    char path[PATH_BUFFER];
    read_guard registry(db->lock);
    if (!registry.held()) return registry.status();
    for (uint64_t i = 0; i < db->collection_count; i++) {
        vx_collection *c = db->collections[i];
        // Only names that stay inside the directory become files.
        if (!c || !persist_name_valid(c->name)) continue;
        vx_status st = persist_path(path, dir, c->name, ".vxcol") ? vx_collection_save(c, path) : VX_ERR_PATH_TOO_LONG;
        note_failure(db, &first, st);
        list_name(&list, c->name, db, &first);
    }
    for (uint64_t i = 0; i < db->absent_count; i++)
        if (!registry_has_name(db, db->absent[i])) list_name(&list, db->absent[i], db, &first);
    uint64_t old_size = 0;
    char *old_list = read_list(dir, &old_size);
    vx_status st = persist_path(path, dir, ".vxmeta", "") ? file_write_atomic(path, list.data ? list.data : "", list.len)
                                                         : VX_ERR_PATH_TOO_LONG;
    note_failure(db, &first, st);
    if (st == VX_OK && old_list) delete_dropped(db, old_list, old_size);
    registry.unlock();
    free(old_list);
    vx_free(list.data);
    // The record names the first failure, not whatever failed after it.
    if (first != VX_OK) daded_fail(first, "%s", db->error_message);
    return first;
}

extern "C" VX_API vx_status vx_daded_sync(vx_daded *db) {
    if (!db || !db->is_open) return VX_ERR_INVALID_ARG;
    if (db->config.read_only) return VX_ERR_READ_ONLY;
    vx_status st = daded_save_all(db);
    if (db->storage) {
        vx_status synced = vx_storage_sync(db->storage);
        if (st == VX_OK) st = synced;
    }
    return st;
}
