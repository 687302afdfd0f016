// Configuration text: the line format read by load and written by save, and
// the command-line and environment readers that share its value syntax.
#include "vx_config_internal.h"
#include "vx_file_internal.h"

#include <locale.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

extern char **environ;

/* ---- character classes -------------------------------------------------- */

// Blanks inside a line: the whitespace bytes other than the line feed.
static bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r' && c != '\n'); }

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static bool is_bare_key_byte(unsigned char c) {
    return c > ' ' && c != 127 && c != '=' && c != '"' && c != '#' && c != '\\';
}

static char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

static bool same_bytes(const char *a, const char *b, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (a[i] != b[i]) return false;
    return true;
}

static bool token_is(const char *p, uint64_t n, const char *word) {
    uint64_t len = config_text_length(word);
    return n == len && same_bytes(p, word, n);
}

/* ---- numbers in the C locale --------------------------------------------- */

// Numbers are always written and read with '.' as the decimal point,
// whatever locale the host has set.
static locale_t g_c_locale;
static pthread_once_t g_c_locale_once = PTHREAD_ONCE_INIT;

static void make_c_locale() { g_c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0); }

static locale_t c_locale() {
    pthread_once(&g_c_locale_once, make_c_locale);
    return g_c_locale;
}

static double read_double(const char *text) {
    locale_t loc = c_locale();
    return loc ? strtod_l(text, nullptr, loc) : strtod(text, nullptr);
}

static bool same_double(double a, double b) {
    uint64_t x, y;
    vx_memcpy(&x, &a, 8);
    vx_memcpy(&y, &b, 8);
    return x == y;
}

static bool sign_bit(double x) {
    uint64_t bits;
    vx_memcpy(&bits, &x, 8);
    return (bits >> 63) != 0;
}

// The shortest decimal text that reads back to exactly x, always with a '.'
// or an exponent so that it reads back as a float; non-finite values are the
// words inf, -inf, nan and -nan. buf holds at least 40 bytes.
static uint64_t format_double(double x, char *buf) {
    const char *word = nullptr;
    if (__builtin_isnan(x)) word = sign_bit(x) ? "-nan" : "nan";
    else if (__builtin_isinf(x)) word = x < 0 ? "-inf" : "inf";
    if (word) {
        uint64_t n = config_text_length(word);
        vx_memcpy(buf, word, n + 1);
        return n;
    }
    locale_t loc = c_locale();
    locale_t old = loc ? uselocale(loc) : (locale_t)0;
    int n = 0;
    for (int precision = 1; precision <= 17; precision++) {
        n = snprintf(buf, 40, "%.*g", precision, x);
        if (same_double(read_double(buf), x)) break;
    }
    if (loc) uselocale(old);
    bool marked = false;
    for (int i = 0; i < n; i++)
        if (buf[i] == '.' || buf[i] == 'e') marked = true;
    if (!marked) {
        buf[n++] = '.';
        buf[n++] = '0';
        buf[n] = '\0';
    }
    return (uint64_t)n;
}

// Decimal integer with an optional sign over the whole token; false when it
// is not one or leaves the signed 64-bit range.
static bool parse_integer(const char *p, uint64_t n, int64_t *out) {
    uint64_t i = 0;
    bool negative = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
    if (i == n) return false;
    const uint64_t limit = negative ? (uint64_t)1 << 63 : ((uint64_t)1 << 63) - 1;
    uint64_t magnitude = 0;
    for (; i < n; i++) {
        if (!is_digit(p[i])) return false;
        uint64_t digit = (uint64_t)(p[i] - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    *out = negative ? (int64_t)(0 - magnitude) : (int64_t)magnitude;
    return true;
}

// [+-] (digits [. digits] | . digits) with a '.' or [eE][+-]digits.
static bool is_float_syntax(const char *p, uint64_t n) {
    uint64_t i = 0, digits = 0;
    bool marked = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) i++;
    while (i < n && is_digit(p[i])) i++, digits++;
    if (i < n && p[i] == '.') {
        marked = true;
        i++;
        while (i < n && is_digit(p[i])) i++, digits++;
    }
    if (digits == 0) return false;
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        marked = true;
        i++;
        if (i < n && (p[i] == '+' || p[i] == '-')) i++;
        uint64_t exponent_digits = 0;
        while (i < n && is_digit(p[i])) i++, exponent_digits++;
        if (exponent_digits == 0) return false;
    }
    return marked && i == n;
}

// Reads a token already checked by is_float_syntax; false only when memory
// for a long token's copy runs out.
static bool parse_float(const char *p, uint64_t n, double *out) {
    char local[64];
    char *text = n < sizeof(local) ? local : (char *)vx_malloc(n + 1);
    if (!text) return false;
    vx_memcpy(text, p, n);
    text[n] = '\0';
    *out = read_double(text);
    if (text != local) vx_free(text);
    return true;
}

/* ---- values ------------------------------------------------------------- */

enum parse_status { PARSE_OK, PARSE_MALFORMED, PARSE_NO_MEMORY };

// A parsed value; text is a zero-terminated scratch copy from vx_malloc.
struct config_value {
    vx_config_type type;
    int64_t i;
    double f;
    int32_t b;
    char *text;
};

static void release_value(config_value *value) {
    vx_free(value->text);
    value->text = nullptr;
}

// A double-quoted text starting at *p (which is '"'), unescaped into a new
// buffer; *p moves past the closing quote. Zero bytes, unknown escapes and a
// missing closing quote are malformed.
static parse_status parse_quoted(const char **p, const char *end, char **out) {
    const char *s = *p + 1;
    char *text = (char *)vx_malloc((uint64_t)(end - s) + 1);
    if (!text) return PARSE_NO_MEMORY;
    uint64_t n = 0;
    for (;;) {
        if (s >= end || *s == '\0') {
            vx_free(text);
            return PARSE_MALFORMED;
        }
        char c = *s++;
        if (c == '"') break;
        if (c == '\\') {
            if (s >= end) {
                vx_free(text);
                return PARSE_MALFORMED;
            }
            switch (*s++) {
            case '"': c = '"'; break;
            case '\\': c = '\\'; break;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            default: vx_free(text); return PARSE_MALFORMED;
            }
        }
        text[n++] = c;
    }
    text[n] = '\0';
    *out = text;
    *p = s;
    return PARSE_OK;
}

// A bare value token: true, false, an integer or a float.
static parse_status parse_bare_value(const char *p, uint64_t n, config_value *out) {
    if (token_is(p, n, "true") || token_is(p, n, "false")) {
        out->type = VX_CONFIG_BOOL;
        out->b = p[0] == 't' ? 1 : 0;
        return PARSE_OK;
    }
    if (parse_integer(p, n, &out->i)) {
        out->type = VX_CONFIG_INT;
        return PARSE_OK;
    }
    out->type = VX_CONFIG_FLOAT;
    if (token_is(p, n, "inf") || token_is(p, n, "+inf")) out->f = __builtin_inf();
    else if (token_is(p, n, "-inf")) out->f = -__builtin_inf();
    else if (token_is(p, n, "nan") || token_is(p, n, "+nan")) out->f = __builtin_nan("");
    else if (token_is(p, n, "-nan")) out->f = -__builtin_nan("");
    else if (!is_float_syntax(p, n)) return PARSE_MALFORMED;
    else if (!parse_float(p, n, &out->f)) return PARSE_NO_MEMORY;
    return PARSE_OK;
}

static vx_status set_value(vx_config *config, const char *key, const config_value *value) {
    vx_str k;
    k.data = (char *)key;
    k.len = config_text_length(key);
    switch (value->type) {
    case VX_CONFIG_INT: return vx_config_set(config, &k, &value->i, VX_CONFIG_INT);
    case VX_CONFIG_FLOAT: return vx_config_set(config, &k, &value->f, VX_CONFIG_FLOAT);
    case VX_CONFIG_BOOL: return vx_config_set(config, &k, &value->b, VX_CONFIG_BOOL);
    default: return vx_config_set(config, &k, value->text, VX_CONFIG_STRING);
    }
}

/* ---- reading lines ------------------------------------------------------ */

static const char *skip_blanks(const char *p, const char *end) {
    while (p < end && is_blank(*p)) p++;
    return p;
}

// The key at *p, bare or quoted, as a new zero-terminated text.
static parse_status parse_key(const char **p, const char *end, char **out) {
    if (*p < end && **p == '"') return parse_quoted(p, end, out);
    const char *s = *p;
    while (s < end && is_bare_key_byte((unsigned char)*s)) s++;
    uint64_t n = (uint64_t)(s - *p);
    if (n == 0) return PARSE_MALFORMED;
    char *key = (char *)vx_malloc(n + 1);
    if (!key) return PARSE_NO_MEMORY;
    vx_memcpy(key, *p, n);
    key[n] = '\0';
    *out = key;
    *p = s;
    return PARSE_OK;
}

static vx_status status_of(parse_status status) {
    return status == PARSE_NO_MEMORY ? VX_ERR_NO_MEMORY : VX_ERR_INVALID_ARG;
}

// One line without its line feed: blank, a comment, or key = value.
static vx_status load_line(vx_config *config, const char *p, const char *end) {
    p = skip_blanks(p, end);
    if (p == end || *p == '#') return VX_OK;
    char *key = nullptr;
    parse_status ps = parse_key(&p, end, &key);
    if (ps != PARSE_OK) return status_of(ps);
    config_value value = {};
    p = skip_blanks(p, end);
    if (p == end || *p != '=') ps = PARSE_MALFORMED;
    else {
        p = skip_blanks(p + 1, end);
        if (p < end && *p == '"') {
            value.type = VX_CONFIG_STRING;
            ps = parse_quoted(&p, end, &value.text);
        } else {
            const char *token = p;
            while (p < end && !is_blank(*p) && *p != '#') p++;
            ps = parse_bare_value(token, (uint64_t)(p - token), &value);
        }
    }
    if (ps == PARSE_OK) {
        p = skip_blanks(p, end);
        if (p < end && *p != '#') ps = PARSE_MALFORMED;
    }
    vx_status status = ps == PARSE_OK ? set_value(config, key, &value) : status_of(ps);
    release_value(&value);
    vx_free(key);
    return status;
}

static vx_status load_text(vx_config *config, const char *text, uint64_t len) {
    const char *p = text, *end = text + len;
    if (len >= 3 && same_bytes(p, "\xEF\xBB\xBF", 3)) p += 3;  // UTF-8 byte-order mark
    while (p < end) {
        const char *eol = p;
        while (eol < end && *eol != '\n') eol++;
        vx_status status = load_line(config, p, eol);
        if (status != VX_OK) return status;
        p = eol < end ? eol + 1 : end;
    }
    return VX_OK;
}

extern "C" VX_API vx_status vx_config_load_string(vx_config *config, const vx_str *text) {
    if (!config || !text || (!text->data && text->len)) return VX_ERR_INVALID_ARG;
    if (!text->data) return VX_OK;
    return load_text(config, text->data, text->len);
}

extern "C" VX_API vx_status vx_config_load(vx_config *config, const vx_str *path) {
    if (!config || !path || !path->data) return VX_ERR_INVALID_ARG;
    uint64_t size = 0;
    char *content = vx_file_read_all(path, &size);
    if (!content) return VX_ERR_IO;
    vx_status status = load_text(config, content, size);
    free(content);
    return status;
}

/* ---- writing ------------------------------------------------------------ */

struct text_buffer {
    char *data;
    uint64_t len;
    uint64_t cap;
    bool failed;
};

static void append(text_buffer *out, const char *bytes, uint64_t n) {
    if (out->failed || n == 0) return;
    if (out->len + n > out->cap) {
        uint64_t cap = out->cap ? out->cap * 2 : 256;
        while (cap < out->len + n) cap *= 2;
        char *grown = (char *)vx_malloc(cap);
        if (!grown) {
            out->failed = true;
            return;
        }
        if (out->len) vx_memcpy(grown, out->data, out->len);
        vx_free(out->data);
        out->data = grown;
        out->cap = cap;
    }
    vx_memcpy(out->data + out->len, bytes, n);
    out->len += n;
}

static void append_text(text_buffer *out, const char *text) {
    append(out, text, config_text_length(text));
}

static void append_quoted(text_buffer *out, const char *text, uint64_t n) {
    append(out, "\"", 1);
    uint64_t run = 0;  // start of the bytes not yet copied
    for (uint64_t i = 0; i < n; i++) {
        const char *escape = nullptr;
        switch (text[i]) {
        case '"': escape = "\\\""; break;
        case '\\': escape = "\\\\"; break;
        case '\n': escape = "\\n"; break;
        case '\t': escape = "\\t"; break;
        default: continue;
        }
        append(out, text + run, i - run);
        append(out, escape, 2);
        run = i + 1;
    }
    append(out, text + run, n - run);
    append(out, "\"", 1);
}

// Writes the key of the node path[1..depth] (path[0] is the root): names
// joined by '.', one more '.' when the last name is empty (a trailing dot
// adds no level), quoted unless every byte may stand bare.
static void append_key(text_buffer *out, text_buffer *key, config_node *const *path,
                       uint64_t depth) {
    key->len = 0;
    for (uint64_t d = 1; d <= depth; d++) {
        if (d > 1) append(key, ".", 1);
        append(key, path[d]->name, path[d]->name_len);
    }
    if (depth > 0 && path[depth]->name_len == 0) append(key, ".", 1);
    if (key->failed) {
        out->failed = true;
        return;
    }
    bool bare = key->len > 0;
    for (uint64_t i = 0; i < key->len && bare; i++)
        bare = is_bare_key_byte((unsigned char)key->data[i]);
    if (bare) append(out, key->data, key->len);
    else append_quoted(out, key->data, key->len);
}

static void append_value(text_buffer *out, const config_node *node) {
    char number[48];
    switch (node->type) {
    case VX_CONFIG_INT:
        snprintf(number, sizeof(number), "%lld", (long long)node->value.i);
        append_text(out, number);
        break;
    case VX_CONFIG_FLOAT:
        append(out, number, format_double(node->value.f, number));
        break;
    case VX_CONFIG_BOOL: append_text(out, node->value.b ? "true" : "false"); break;
    default: append_quoted(out, node->value.s, config_text_length(node->value.s)); break;
    }
}

// A growable array of node pointers from the general allocator.
struct node_stack {
    config_node **items;
    uint64_t count;
    uint64_t cap;
};

static bool reserve(node_stack *s, uint64_t n) {
    if (n <= s->cap) return true;
    uint64_t cap = s->cap ? s->cap * 2 : 64;
    while (cap < n) cap *= 2;
    config_node **grown = (config_node **)vx_malloc(cap * sizeof(config_node *));
    if (!grown) return false;
    if (s->count) vx_memcpy(grown, s->items, s->count * sizeof(config_node *));
    vx_free(s->items);
    s->items = grown;
    s->cap = cap;
    return true;
}

// Every set node in pre-order with siblings oldest first, so that loading the
// lines in order rebuilds every child list in the same order. Iterative, so
// that deep keys cannot exhaust the call stack.
static bool render_tree(const vx_config *config, text_buffer *out) {
    node_stack pending = {}, depths = {}, path = {};
    text_buffer key = {};
    bool ok = reserve(&pending, 1) && reserve(&depths, 1);
    if (ok) {
        pending.items[pending.count++] = config->tree->root;
        depths.items[depths.count++] = nullptr;  // depth 0, stored as a pointer-sized number
    }
    while (ok && pending.count) {
        config_node *node = pending.items[--pending.count];
        uint64_t depth = (uint64_t)(uintptr_t)depths.items[--depths.count];
        if (!reserve(&path, depth + 1)) {
            ok = false;
            break;
        }
        path.items[depth] = node;
        path.count = depth + 1;
        if (node->is_set && config_type_is_known(node->type)) {
            append_key(out, &key, path.items, depth);
            append(out, " = ", 3);
            append_value(out, node);
            append(out, "\n", 1);
        }
        // Children are listed newest first; pushing them in list order pops
        // the oldest first.
        for (config_node *c = node->child; c && ok; c = c->next) {
            ok = reserve(&pending, pending.count + 1) && reserve(&depths, depths.count + 1);
            if (!ok) break;
            pending.items[pending.count++] = c;
            depths.items[depths.count++] = (config_node *)(uintptr_t)(depth + 1);
        }
        if (out->failed) ok = false;
    }
    vx_free(pending.items);
    vx_free(depths.items);
    vx_free(path.items);
    vx_free(key.data);
    return ok && !out->failed;
}

extern "C" VX_API vx_status vx_config_save(const vx_config *config, const vx_str *path) {
    if (!config || !path || !path->data) return VX_ERR_INVALID_ARG;
    text_buffer out = {};
    // The whole text is built first: running out of memory leaves the file
    // as it was.
    if (!render_tree(config, &out)) {
        vx_free(out.data);
        return VX_ERR_NO_MEMORY;
    }
    // Replaced whole: a failed save leaves the old file as it was.
    vx_status status = file_write_atomic(path->data, out.data ? out.data : "", out.len);
    vx_free(out.data);
    return status == VX_OK || status == VX_ERR_NO_MEMORY ? status : VX_ERR_IO;
}

/* ---- command line and environment --------------------------------------- */

// A value from the command line or the environment: the text-format syntax
// when the whole text is one value of it, else the text itself as a string.
static parse_status parse_loose_value(const char *text, config_value *out) {
    uint64_t n = config_text_length(text);
    if (n > 0 && text[0] == '"') {
        const char *p = text;
        parse_status ps = parse_quoted(&p, text + n, &out->text);
        if (ps == PARSE_NO_MEMORY) return ps;
        if (ps == PARSE_OK && p == text + n) {
            out->type = VX_CONFIG_STRING;
            return PARSE_OK;
        }
        release_value(out);
    } else if (n > 0) {
        parse_status ps = parse_bare_value(text, n, out);
        if (ps != PARSE_MALFORMED) return ps;
    }
    out->type = VX_CONFIG_STRING;
    out->text = (char *)vx_malloc(n + 1);
    if (!out->text) return PARSE_NO_MEMORY;
    vx_memcpy(out->text, text, n + 1);
    return PARSE_OK;
}

static vx_status set_loose(vx_config *config, const char *key, const char *text) {
    config_value value = {};
    parse_status ps = parse_loose_value(text, &value);
    vx_status status = ps == PARSE_OK ? set_value(config, key, &value) : status_of(ps);
    release_value(&value);
    return status;
}

extern "C" VX_API vx_status vx_config_parse_args(vx_config *config, int argc, char **argv) {
    if (!config || !argv) return VX_ERR_INVALID_ARG;
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        if (!arg || arg[0] != '-' || arg[1] != '-') continue;
        if (arg[2] == '\0') break;  // "--" ends the options
        const char *eq = arg + 2;
        while (*eq && *eq != '=') eq++;
        if (*eq != '=' || eq == arg + 2) continue;
        uint64_t n = (uint64_t)(eq - (arg + 2));
        char *key = (char *)vx_malloc(n + 1);
        if (!key) return VX_ERR_NO_MEMORY;
        vx_memcpy(key, arg + 2, n);
        key[n] = '\0';
        vx_status status = set_loose(config, key, eq + 1);
        vx_free(key);
        if (status != VX_OK) return status;
    }
    return VX_OK;
}

// Keys the library itself reads, so that a variable names them exactly even
// before the tree holds them.
static const char *const g_known_keys[] = {
    "database.path",         "database.storage_mode",      "database.arena_size",
    "database.cache_size",   "database.read_only",         "database.create_if_missing",
    "collection.name",       "collection.dimension",       "collection.metric",
    "collection.index_type", "collection.auto_resize",     "index.hnsw.M",
    "index.hnsw.ef_construction", "index.hnsw.ef_search",
};

static bool equal_ignoring_case(const char *a, const char *b, uint64_t n) {
    for (uint64_t i = 0; i < n; i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

// Gives the lower-cased key the spelling of a known key or of the existing
// nodes it matches ignoring case, segment by segment.
static void match_spelling(const vx_config *config, char *key, uint64_t n) {
    for (const char *known : g_known_keys) {
        if (config_text_length(known) == n && equal_ignoring_case(known, key, n)) {
            vx_memcpy(key, known, n);
            return;
        }
    }
    const config_node *node = config->tree->root;
    key_cursor cursor = key_cursor_start(key);
    const char *segment;
    uint64_t length;
    while (node && key_cursor_next(&cursor, &segment, &length)) {
        const config_node *match = nullptr;
        for (const config_node *c = node->child; c && !match; c = c->next)
            if (c->name_len == length && equal_ignoring_case(c->name, segment, length)) match = c;
        if (match) vx_memcpy((char *)segment, match->name, length);
        node = match;
    }
}

// The key a variable name (after the prefix) stands for: '__' is '.',
// letters lower-cased unless an existing or known key is spelled otherwise.
static char *key_from_variable(const vx_config *config, const char *name, uint64_t n) {
    char *key = (char *)vx_malloc(n + 1);
    if (!key) return nullptr;
    uint64_t k = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (name[i] == '_' && i + 1 < n && name[i + 1] == '_') {
            key[k++] = '.';
            i++;
        } else {
            key[k++] = ascii_lower(name[i]);
        }
    }
    key[k] = '\0';
    match_spelling(config, key, k);
    return key;
}

extern "C" VX_API vx_status vx_config_load_env(vx_config *config) {
    if (!config) return VX_ERR_INVALID_ARG;
    static const char prefix[] = "VEXAL_";
    const uint64_t prefix_len = sizeof(prefix) - 1;
    for (char **env = environ; env && *env; env++) {
        const char *entry = *env;
        // same_bytes stops at the first difference, so a short entry ends the
        // comparison at its zero byte.
        if (!same_bytes(entry, prefix, prefix_len)) continue;
        const char *name = entry + prefix_len;
        const char *eq = name;
        while (*eq && *eq != '=') eq++;
        if (*eq != '=' || eq == name) continue;
        char *key = key_from_variable(config, name, (uint64_t)(eq - name));
        if (!key) return VX_ERR_NO_MEMORY;
        vx_status status = set_loose(config, key, eq + 1);
        vx_free(key);
        if (status != VX_OK) return status;
    }
    return VX_OK;
}
