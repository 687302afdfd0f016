// Configuration: the tree of dotted keys, typed getters, conversion into the
// option records and the presets.
#include "vx_config_internal.h"

/* ---- keys and lookup ---------------------------------------------------- */

uint64_t config_text_length(const char *text) {
    const char *p = text;
    while (*p) p++;
    return (uint64_t)(p - text);
}

key_cursor key_cursor_start(const char *key) {
    key_cursor cursor;
    cursor.pos = key;
    cursor.end = key + config_text_length(key);
    return cursor;
}

// Segments are walked in place rather than split into copies, so that lookups
// take no memory at all; the segments are exactly those of splitting at '.'.
bool key_cursor_next(key_cursor *cursor, const char **segment, uint64_t *length) {
    if (cursor->pos >= cursor->end) return false;
    const char *dot = cursor->pos;
    while (dot < cursor->end && *dot != '.') dot++;
    *segment = cursor->pos;
    *length = (uint64_t)(dot - cursor->pos);
    cursor->pos = dot < cursor->end ? dot + 1 : cursor->end;
    return true;
}

static bool name_equals(const config_node *node, const char *segment, uint64_t length) {
    if (node->name_len != length) return false;
    for (uint64_t i = 0; i < length; i++)
        if (node->name[i] != segment[i]) return false;
    return true;
}

static config_node *find_child(const config_node *parent, const char *segment, uint64_t length) {
    for (config_node *c = parent->child; c; c = c->next)
        if (name_equals(c, segment, length)) return c;
    return nullptr;
}

config_node *config_get_node(const vx_config *config, const char *key) {
    config_node *node = config->tree->root;
    key_cursor cursor = key_cursor_start(key);
    const char *segment;
    uint64_t length;
    while (node && key_cursor_next(&cursor, &segment, &length))
        node = find_child(node, segment, length);
    return node;
}

static config_node *lookup(const vx_config *config, const vx_str *key) {
    if (!config || !key || !key->data) return nullptr;
    return config_get_node(config, key->data);
}

/* ---- creation and setting ----------------------------------------------- */

static config_node *new_node(vx_arena *arena, const char *name, uint64_t length) {
    config_node *node = (config_node *)vx_arena_calloc(arena, 1, sizeof(config_node));
    if (!node) return nullptr;
    node->name = (char *)vx_arena_alloc(arena, length + 1);
    if (!node->name) return nullptr;
    if (length) vx_memcpy(node->name, name, length);
    node->name[length] = '\0';
    node->name_len = length;
    node->type = VX_CONFIG_INT;
    node->value.i = 0;
    return node;
}

extern "C" VX_API vx_config *vx_config_create(vx_arena *arena) {
    if (!arena) return nullptr;
    vx_config *config = (vx_config *)vx_arena_calloc(arena, 1, sizeof(vx_config));
    if (!config) return nullptr;
    config_tree *tree = (config_tree *)vx_arena_calloc(arena, 1, sizeof(config_tree));
    if (!tree) return nullptr;
    tree->arena = arena;
    tree->root = new_node(arena, "root", 4);
    if (!tree->root) return nullptr;
    config->arena = arena;
    config->tree = tree;
    return config;
}

extern "C" VX_API void vx_config_destroy(vx_config *config) { (void)config; }

// Walks to the key's node, creating missing levels at the front of each child
// list. Nodes created before an allocation failure stay.
static config_node *get_or_create(vx_config *config, const char *key) {
    config_node *node = config->tree->root;
    key_cursor cursor = key_cursor_start(key);
    const char *segment;
    uint64_t length;
    while (key_cursor_next(&cursor, &segment, &length)) {
        config_node *child = find_child(node, segment, length);
        if (!child) {
            child = new_node(config->arena, segment, length);
            if (!child) return nullptr;
            child->next = node->child;
            node->child = child;
        }
        node = child;
    }
    return node;
}

extern "C" VX_API vx_status vx_config_set(vx_config *config, const vx_str *key, const void *value,
                                          vx_config_type type) {
    if (!config || !key || !key->data || !value) return VX_ERR_INVALID_ARG;
    config_node *node = get_or_create(config, key->data);
    if (!node) return VX_ERR_NO_MEMORY;
    switch (type) {
    case VX_CONFIG_INT: vx_memcpy(&node->value.i, value, sizeof(int64_t)); break;
    case VX_CONFIG_FLOAT: vx_memcpy(&node->value.f, value, sizeof(double)); break;
    case VX_CONFIG_BOOL: vx_memcpy(&node->value.b, value, sizeof(int32_t)); break;
    case VX_CONFIG_STRING: {
        // Copy first: a failed copy leaves the node as it was.
        char *copy = vx_arena_strdup(config->arena, (const char *)value);
        if (!copy) return VX_ERR_NO_MEMORY;
        node->value.s = copy;
        break;
    }
    default:
        // An unknown code is kept, so that every getter falls back to its
        // default; the value stays as it was.
        node->type = type;
        return VX_ERR_INVALID_ARG;
    }
    node->type = type;
    node->is_set = 1;
    return VX_OK;
}

/* ---- getters ------------------------------------------------------------ */

extern "C" VX_API int64_t vx_config_get_int(const vx_config *config, const vx_str *key,
                                            int64_t fallback) {
    const config_node *node = lookup(config, key);
    return node && node->type == VX_CONFIG_INT ? node->value.i : fallback;
}

extern "C" VX_API double vx_config_get_float(const vx_config *config, const vx_str *key,
                                             double fallback) {
    const config_node *node = lookup(config, key);
    return node && node->type == VX_CONFIG_FLOAT ? node->value.f : fallback;
}

extern "C" VX_API int32_t vx_config_get_bool(const vx_config *config, const vx_str *key,
                                             int32_t fallback) {
    const config_node *node = lookup(config, key);
    return node && node->type == VX_CONFIG_BOOL ? node->value.b : fallback;
}

// One view per thread: callers on different threads do not overwrite each
// other's result.
static thread_local vx_str g_config_string_view;

extern "C" VX_API const vx_str *vx_config_get_string(const vx_config *config, const vx_str *key,
                                                     const vx_str *fallback) {
    const config_node *node = lookup(config, key);
    if (!node || node->type != VX_CONFIG_STRING) return fallback;
    g_config_string_view.data = node->value.s;
    g_config_string_view.len = config_text_length(node->value.s);
    return &g_config_string_view;
}

extern "C" VX_API int vx_config_has_key(const vx_config *config, const vx_str *key) {
    return lookup(config, key) ? 1 : 0;
}

/* ---- conversion into option records -------------------------------------- */

static vx_str text_view(const char *text) {
    vx_str view;
    view.data = (char *)text;
    view.len = config_text_length(text);
    return view;
}

// The string held under key, or a view with null data.
static vx_str string_at(const vx_config *config, const char *key) {
    static const vx_str none = {nullptr, 0};
    vx_str k = text_view(key);
    return *vx_config_get_string(config, &k, &none);
}

static int64_t int_at(const vx_config *config, const char *key, int64_t fallback) {
    vx_str k = text_view(key);
    return vx_config_get_int(config, &k, fallback);
}

static int32_t bool_at(const vx_config *config, const char *key, int32_t fallback) {
    vx_str k = text_view(key);
    return vx_config_get_bool(config, &k, fallback);
}

struct config_word {
    const char *word;
    int32_t code;
};

// The code of the first word equal to the text (exact, case-sensitive), or
// current when none is.
static int32_t word_code(vx_str text, const config_word *words, int count, int32_t current) {
    if (!text.data) return current;
    for (int i = 0; i < count; i++) {
        vx_str word = text_view(words[i].word);
        if (vx_strcmp(&text, &word) == 0) return words[i].code;
    }
    return current;
}

static const config_word g_storage_words[] = {{"memory", VX_DB_STORAGE_MEMORY},
                                               {"persistent", VX_DB_STORAGE_PERSISTENT}};
static const config_word g_metric_words[] = {
    {"l2", VX_METRIC_L2}, {"ip", VX_METRIC_IP}, {"cosine", VX_METRIC_COSINE}};
static const config_word g_index_words[] = {
    {"hnsw", VX_INDEX_HNSW}, {"ivf", VX_INDEX_IVF}, {"flat", VX_INDEX_FLAT}};

extern "C" VX_API vx_status vx_config_to_db_config(const vx_config *config, vx_db_config *out) {
    if (!config || !out) return VX_ERR_INVALID_ARG;
    vx_memset(out, 0, sizeof(*out));
    // The default path's length is that of its text, so that the view and a
    // reader of its zero-terminated text agree.
    out->path = text_view("./data");
    out->storage_mode = VX_DB_STORAGE_PERSISTENT;
    out->arena_size = 104857600;
    out->cache_size = 52428800;
    out->read_only = 0;
    out->create_if_missing = 1;

    vx_str path = string_at(config, "database.path");
    if (path.data) out->path = path;
    out->storage_mode = word_code(string_at(config, "database.storage_mode"), g_storage_words, 2,
                                  out->storage_mode);
    int64_t arena_size = int_at(config, "database.arena_size", 0);
    if (arena_size > 0) out->arena_size = (uint64_t)arena_size;
    int64_t cache_size = int_at(config, "database.cache_size", 0);
    if (cache_size > 0) out->cache_size = (uint64_t)cache_size;
    out->read_only = bool_at(config, "database.read_only", 0);
    out->create_if_missing = bool_at(config, "database.create_if_missing", 1);
    return VX_OK;
}

extern "C" VX_API vx_status vx_config_to_collection_config(const vx_config *config,
                                                           vx_collection_config *out) {
    if (!config || !out) return VX_ERR_INVALID_ARG;
    vx_memset(out, 0, sizeof(*out));
    out->dimension = 128;
    out->metric = VX_METRIC_L2;
    out->index_type = VX_INDEX_HNSW;
    out->auto_resize = 1;

    vx_str name = string_at(config, "collection.name");
    if (name.data) out->name = name;
    int64_t dimension = int_at(config, "collection.dimension", 0);
    if (dimension > 0) out->dimension = (uint32_t)dimension;
    out->metric = word_code(string_at(config, "collection.metric"), g_metric_words, 3, out->metric);
    out->index_type = word_code(string_at(config, "collection.index_type"), g_index_words, 3,
                                out->index_type);
    out->auto_resize = bool_at(config, "collection.auto_resize", 1);
    // A count below 0 asks for nothing in particular: every core.
    int64_t build_threads = int_at(config, "collection.build_threads", 0);
    if (build_threads > 0) out->build_threads = (uint64_t)build_threads;
    return VX_OK;
}

/* ---- presets ------------------------------------------------------------ */

static vx_status apply_hnsw_preset(vx_config *config, int64_t m, int64_t ef_construction,
                                   int64_t ef_search) {
    if (!config) return VX_ERR_INVALID_ARG;
    vx_str key = text_view("index.hnsw.M");
    (void)vx_config_set(config, &key, &m, VX_CONFIG_INT);
    key = text_view("index.hnsw.ef_construction");
    (void)vx_config_set(config, &key, &ef_construction, VX_CONFIG_INT);
    key = text_view("index.hnsw.ef_search");
    (void)vx_config_set(config, &key, &ef_search, VX_CONFIG_INT);
    return VX_OK;
}

extern "C" VX_API vx_status vx_config_apply_preset_mobile_low(vx_config *config) {
    return apply_hnsw_preset(config, 16, 100, 50);
}

extern "C" VX_API vx_status vx_config_apply_preset_mobile_high(vx_config *config) {
    return apply_hnsw_preset(config, 32, 200, 100);
}

extern "C" VX_API vx_status vx_config_apply_preset_embedded(vx_config *config) {
    return apply_hnsw_preset(config, 8, 50, 32);
}
