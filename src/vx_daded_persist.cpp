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
#include <stdio.h>
#include <stdlib.h>
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

// Loads one listed collection. A missing file is skipped; a file that is
// there but does not load, or whose collection could not be told apart from
// one already loaded, stops the opening.
static vx_status load_listed(vx_daded *db, const char *name) {
    char path[PATH_BUFFER];
    if (!persist_name_valid(name) || registry_has_name(db, name)) return VX_OK;
    if (!persist_path(path, db->config.path.data, name, ".vxcol") || !path_exists(path)) return VX_OK;
    vx_collection *c = vx_collection_load(db->arena, path);
    if (!c) return VX_ERR_FILE_CORRUPTED;
    if (!persist_name_valid(c->name) || registry_has_name(db, c->name)) {
        vx_collection_destroy(c);
        return VX_ERR_FILE_CORRUPTED;
    }
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
        if (persist_name_valid(name) && !registry_has_name(db, name) && persist_path(path, dir, name, ".vxcol") &&
            file_holds_collection(path, name)) {
            unlink(path);
            // The saved index of that collection goes with it.
            if (persist_path(path, dir, name, ".vxcol.idx")) unlink(path);
        }
        return VX_OK;
    });
    file_sync_dir(dir);
}

vx_status daded_save_all(vx_daded *db) {
    const char *dir = db->config.path.data;
    if (!dir || db->config.path.len == 0) return VX_OK;
    if (!path_exists(dir)) {
        vx_str view = {(char *)dir, strlen(dir)};
        vx_file_mkdir(&view);
    }
    vx_status first = VX_OK;
    text_buffer list = {nullptr, 0, 0};
    char path[PATH_BUFFER];
    read_guard registry(db->lock);
    if (!registry.held()) return registry.status();
    for (uint64_t i = 0; i < db->collection_count; i++) {
        vx_collection *c = db->collections[i];
        // Only names that stay inside the directory become files.
        if (!c || !persist_name_valid(c->name)) continue;
        vx_status st = persist_path(path, dir, c->name, ".vxcol") ? vx_collection_save(c, path) : VX_ERR_PATH_TOO_LONG;
        if (st != VX_OK && first == VX_OK) first = st;
        if (!text_append(&list, c->name, strlen(c->name)) || !text_append(&list, "\n", 1)) {
            if (first == VX_OK) first = VX_ERR_NO_MEMORY;
        }
    }
    uint64_t old_size = 0;
    char *old_list = read_list(dir, &old_size);
    vx_status st = persist_path(path, dir, ".vxmeta", "") ? file_write_atomic(path, list.data ? list.data : "", list.len)
                                                         : VX_ERR_PATH_TOO_LONG;
    if (st != VX_OK && first == VX_OK) first = st;
    if (st == VX_OK && old_list) delete_dropped(db, old_list, old_size);
    registry.unlock();
    free(old_list);
    vx_free(list.data);
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
