// Memory routines and string views.
#include "vexal.h"
#include "vx_string_internal.h"

#include <string.h>

// The C runtime's routines already copy in wide blocks; only the result of
// these three is part of the contract.
extern "C" VX_API void *vx_memcpy(void *dst, const void *src, uint64_t n) {
    if (n == 0) return dst;
    return memcpy(dst, src, n);
}

extern "C" VX_API void *vx_memmove(void *dst, const void *src, uint64_t n) {
    if (n == 0 || dst == src) return dst;
    return memmove(dst, src, n);
}

extern "C" VX_API void *vx_memset(void *buf, int value, uint64_t n) {
    if (n == 0) return buf;
    return memset(buf, value, n);
}

/* ---- number texts ------------------------------------------------------- */


uint32_t format_u64(uint64_t v, char *out) {
    char tmp[20];
    uint32_t n = 0;
    do {
        tmp[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    for (uint32_t i = 0; i < n; i++) out[i] = tmp[n - 1 - i];
    return n;
}

uint32_t format_i64(int64_t v, char *out) {
    if (v >= 0) return format_u64((uint64_t)v, out);
    out[0] = '-';
    // Negating in unsigned arithmetic keeps INT64_MIN exact.
    return 1 + format_u64(0 - (uint64_t)v, out + 1);
}

static const double TWO_POW_64 = 18446744073709551616.0;

// Every decimal digit of an integral double of at least 2^64 (at most 309
// digits): the mantissa shifted left in base-10^9 limbs.
static uint32_t format_big_integral(double ax, char *out) {
    uint64_t bits;
    vx_memcpy(&bits, &ax, sizeof bits);
    int shift = (int)((bits >> 52) & 0x7ff) - 1075;
    uint64_t mant = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    uint32_t limbs[40];
    uint32_t count = 0;
    while (mant) {
        limbs[count++] = (uint32_t)(mant % 1000000000u);
        mant /= 1000000000u;
    }
    while (shift > 0) {
        int step = shift > 32 ? 32 : shift;
        uint64_t carry = 0;
        for (uint32_t i = 0; i < count; i++) {
            uint64_t v = ((uint64_t)limbs[i] << step) + carry;
            limbs[i] = (uint32_t)(v % 1000000000u);
            carry = v / 1000000000u;
        }
        while (carry) {
            limbs[count++] = (uint32_t)(carry % 1000000000u);
            carry /= 1000000000u;
        }
        shift -= step;
    }
    uint32_t n = format_u64(limbs[count - 1], out);
    for (uint32_t i = count - 1; i-- > 0;) {
        uint32_t v = limbs[i];
        for (int d = 8; d >= 0; d--) {
            out[n + d] = (char)('0' + v % 10);
            v /= 10;
        }
        n += 9;
    }
    return n;
}

// Copies len bytes of text to out at pos while they fit below cap.
static void put_capped(char *out, uint64_t cap, uint64_t pos, const char *text, uint64_t len) {
    if (pos >= cap) return;
    if (len > cap - pos) len = cap - pos;
    vx_memcpy(out + pos, text, len);
}

uint64_t format_fixed(double x, uint64_t decimals, int point_always, char *out, uint64_t cap) {
    if (x != x) {
        put_capped(out, cap, 0, "nan", 3);
        return 3;
    }
    char head[330];
    uint64_t n = 0;
    if (x < 0) head[n++] = '-';
    double ax = x < 0 ? -x : x;
    if (ax > 1.7976931348623157e308) {
        vx_memcpy(head + n, "inf", 3);
        put_capped(out, cap, 0, head, n + 3);
        return n + 3;
    }
    double frac;
    if (ax < TWO_POW_64) {
        uint64_t ipart = (uint64_t)ax;
        n += format_u64(ipart, head + n);
        frac = ax - (double)ipart;
    } else {
        n += format_big_integral(ax, head + n);
        frac = 0.0;
    }
    if (decimals > 0 || point_always) head[n++] = '.';
    put_capped(out, cap, 0, head, n);
    uint64_t total = n + decimals;
    if (total < n) total = UINT64_MAX;  // decimals near 2^64
    uint64_t stop = total < cap ? total : cap;
    for (uint64_t pos = n; pos < stop; pos++) {
        frac *= 10.0;
        int digit = (int)frac;
        if (digit > 9) digit = 9;
        frac -= digit;
        out[pos] = (char)('0' + digit);
    }
    return total;
}

/* ---- the minimal formatter ---------------------------------------------- */

// Output sink of the minimal formatter: bytes beyond cap are counted only.
struct text_sink {
    char *buf;
    uint64_t cap;
    uint64_t pos;
};

static void sink_put(text_sink *sink, const char *text, uint64_t len) {
    put_capped(sink->buf, sink->cap, sink->pos, text, len);
    sink->pos += len;
}

static void minimal_convert(text_sink *sink, const char *format, va_list args) {
    char num[24];
    for (const char *p = format; *p; p++) {
        if (*p != '%') {
            sink_put(sink, p, 1);
            continue;
        }
        char conv = *++p;
        if (conv == '\0') return;
        switch (conv) {
        case 'c': {
            char c = (char)va_arg(args, int);
            sink_put(sink, &c, 1);
            break;
        }
        case 'd':
        case 'i':
            sink_put(sink, num, format_i64(va_arg(args, int64_t), num));
            break;
        case 'u':
            sink_put(sink, num, format_u64(va_arg(args, uint64_t), num));
            break;
        case 's': {
            const char *text = va_arg(args, const char *);
            if (!text) text = "(null)";
            sink_put(sink, text, strlen(text));
            break;
        }
        case 'f': {
            double x = va_arg(args, double);
            uint64_t room = sink->pos < sink->cap ? sink->cap - sink->pos : 0;
            sink->pos += format_fixed(x, 6, 0, sink->buf ? sink->buf + sink->pos : nullptr,
                                      sink->buf ? room : 0);
            break;
        }
        default:  // "%%" and unknown conversions stand for themselves
            sink_put(sink, &conv, 1);
            break;
        }
    }
}

uint64_t format_minimal(char *buf, uint64_t size, const char *format, va_list args) {
    if (!buf || size == 0) return 0;
    text_sink sink = {buf, size - 1, 0};
    if (format) {
        va_list copy;
        va_copy(copy, args);
        minimal_convert(&sink, format, copy);
        va_end(copy);
    }
    uint64_t written = sink.pos < sink.cap ? sink.pos : sink.cap;
    buf[written] = '\0';
    return written;
}

uint64_t format_minimal_length(const char *format, va_list args) {
    if (!format) return 0;
    text_sink sink = {nullptr, 0, 0};
    va_list copy;
    va_copy(copy, args);
    minimal_convert(&sink, format, copy);
    va_end(copy);
    return sink.pos;
}

/* ---- inspection and comparison ------------------------------------------ */

// A null view, or one without data, reads as empty text.
static inline uint64_t view_len(const vx_str *s) { return s && s->data ? s->len : 0; }

static inline unsigned char fold_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

static inline bool is_space_byte(unsigned char c) { return (c >= 9 && c <= 13) || c == ' '; }

extern "C" VX_API uint64_t vx_strlen(const vx_str *s) { return s ? s->len : 0; }

extern "C" VX_API uint64_t vx_strnlen(const vx_str *s, uint64_t max) {
    uint64_t len = vx_strlen(s);
    return len < max ? len : max;
}

extern "C" VX_API const char *vx_str_cstr(const vx_str *s) { return s ? s->data : nullptr; }

// Compares the first min(n, both lengths) bytes; when they agree, the
// length difference decides only if a text ended before n.
static int32_t compare_views(const vx_str *a, const vx_str *b, uint64_t n, bool fold) {
    uint64_t alen = view_len(a), blen = view_len(b);
    uint64_t m = alen < blen ? alen : blen;
    if (n < m) m = n;
    const unsigned char *pa = alen ? (const unsigned char *)a->data : nullptr;
    const unsigned char *pb = blen ? (const unsigned char *)b->data : nullptr;
    for (uint64_t i = 0; i < m; i++) {
        unsigned char ca = fold ? fold_byte(pa[i]) : pa[i];
        unsigned char cb = fold ? fold_byte(pb[i]) : pb[i];
        if (ca != cb) return (int32_t)ca - (int32_t)cb;
    }
    if (m < n) return (int32_t)(uint32_t)(alen - blen);
    return 0;
}

extern "C" VX_API int32_t vx_strcmp(const vx_str *a, const vx_str *b) {
    return compare_views(a, b, UINT64_MAX, false);
}

extern "C" VX_API int32_t vx_strcasecmp(const vx_str *a, const vx_str *b) {
    return compare_views(a, b, UINT64_MAX, true);
}

extern "C" VX_API int32_t vx_strncmp(const vx_str *a, const vx_str *b, uint64_t n) {
    return compare_views(a, b, n, false);
}

extern "C" VX_API int32_t vx_strncasecmp(const vx_str *a, const vx_str *b, uint64_t n) {
    return compare_views(a, b, n, true);
}

/* ---- copies into existing views ----------------------------------------- */

// Writes count bytes of src at dst->data + at and sets dst->len; a
// destination without data cannot take bytes and stays unchanged.
static vx_str *place_bytes(vx_str *dst, uint64_t at, const vx_str *src, uint64_t count) {
    if (count == 0) {
        dst->len = at;
        return dst;
    }
    if (!dst->data) return dst;
    vx_memmove(dst->data + at, src->data, count);
    dst->len = at + count;
    return dst;
}

static inline uint64_t min_u64(uint64_t a, uint64_t b) { return a < b ? a : b; }

extern "C" VX_API vx_str *vx_strcpy(vx_str *dst, const vx_str *src) {
    if (!dst || !src) return dst;
    return place_bytes(dst, 0, src, view_len(src));
}

extern "C" VX_API vx_str *vx_strncpy(vx_str *dst, const vx_str *src, uint64_t n) {
    if (!dst || !src) return dst;
    return place_bytes(dst, 0, src, min_u64(n, view_len(src)));
}

extern "C" VX_API vx_str *vx_strlcpy(vx_str *dst, const vx_str *src, uint64_t size) {
    if (!dst || !src) return dst;
    if (size == 0) {
        dst->len = 0;
        return dst;
    }
    return place_bytes(dst, 0, src, min_u64(size, view_len(src)));
}

extern "C" VX_API vx_str *vx_strcat(vx_str *dst, const vx_str *src) {
    if (!dst || !src) return dst;
    return place_bytes(dst, dst->len, src, view_len(src));
}

extern "C" VX_API vx_str *vx_strncat(vx_str *dst, const vx_str *src, uint64_t n) {
    if (!dst || !src) return dst;
    return place_bytes(dst, dst->len, src, min_u64(n, view_len(src)));
}

extern "C" VX_API vx_str *vx_strlcat(vx_str *dst, const vx_str *src, uint64_t size) {
    if (!dst || !src || dst->len >= size) return dst;
    return place_bytes(dst, dst->len, src, min_u64(size - dst->len, view_len(src)));
}

/* ---- search -------------------------------------------------------------- */

extern "C" VX_API int64_t vx_strchr(const vx_str *s, int c) {
    uint64_t len = view_len(s);
    if (len == 0) return -1;
    const void *hit = memchr(s->data, (unsigned char)c, len);
    return hit ? (int64_t)((const char *)hit - s->data) : -1;
}

extern "C" VX_API int64_t vx_strrchr(const vx_str *s, int c) {
    uint64_t len = view_len(s);
    for (uint64_t i = len; i-- > 0;)
        if ((unsigned char)s->data[i] == (unsigned char)c) return (int64_t)i;
    return -1;
}

// First index of needle in hay at or after from, or -1: the same answer as
// trying every start position in turn, found in linear time by the C
// runtime's two-way search.
static int64_t find_bytes(const char *hay, uint64_t hay_len, const char *needle, uint64_t needle_len,
                          uint64_t from) {
    if (needle_len == 0) return (int64_t)from;
    if (needle_len > hay_len || from > hay_len - needle_len) return -1;
    const void *hit = memmem(hay + from, hay_len - from, needle, needle_len);
    return hit ? (int64_t)((const char *)hit - hay) : -1;
}

extern "C" VX_API int64_t vx_strstr(const vx_str *hay, const vx_str *needle) {
    uint64_t nlen = view_len(needle);
    if (nlen == 0) return 0;
    uint64_t hlen = view_len(hay);
    return find_bytes(hlen ? hay->data : nullptr, hlen, needle->data, nlen, 0);
}

/* ---- new text in an arena ------------------------------------------------ */

// A zeroed view record and len + 1 bytes (the last one zero) from the arena.
static vx_str *new_view(vx_arena *arena, uint64_t len) {
    if (len == UINT64_MAX) return nullptr;
    vx_str *view = (vx_str *)vx_arena_calloc(arena, 1, sizeof(vx_str));
    if (!view) return nullptr;
    char *bytes = (char *)vx_arena_alloc(arena, len + 1);
    if (!bytes) return nullptr;
    bytes[len] = '\0';
    view->data = bytes;
    view->len = len;
    return view;
}

static vx_str *copy_bytes(vx_arena *arena, const char *data, uint64_t len) {
    vx_str *view = new_view(arena, len);
    if (view && len) vx_memcpy(view->data, data, len);
    return view;
}

static inline bool readable(const vx_arena *arena, const vx_str *s) { return arena && s && s->data; }

extern "C" VX_API vx_str *vx_strdup(vx_arena *arena, const vx_str *s) {
    if (!readable(arena, s)) return nullptr;
    return copy_bytes(arena, s->data, s->len);
}

extern "C" VX_API vx_str *vx_strtrim(vx_arena *arena, const vx_str *s) {
    if (!readable(arena, s)) return nullptr;
    uint64_t start = 0, stop = s->len;
    while (start < stop && is_space_byte((unsigned char)s->data[start])) start++;
    while (stop > start && is_space_byte((unsigned char)s->data[stop - 1])) stop--;
    return copy_bytes(arena, s->data + start, stop - start);
}

static vx_str *map_case(vx_arena *arena, const vx_str *s, bool upper) {
    if (!readable(arena, s)) return nullptr;
    vx_str *view = new_view(arena, s->len);
    if (!view) return nullptr;
    for (uint64_t i = 0; i < s->len; i++) {
        unsigned char c = (unsigned char)s->data[i];
        if (upper && c >= 'a' && c <= 'z') c = (unsigned char)(c - 32);
        else if (!upper && c >= 'A' && c <= 'Z') c = (unsigned char)(c + 32);
        view->data[i] = (char)c;
    }
    return view;
}

extern "C" VX_API vx_str *vx_strtolower(vx_arena *arena, const vx_str *s) { return map_case(arena, s, false); }

extern "C" VX_API vx_str *vx_strtoupper(vx_arena *arena, const vx_str *s) { return map_case(arena, s, true); }

extern "C" VX_API vx_str *vx_strreplace(vx_arena *arena, const vx_str *s, const vx_str *find,
                                        const vx_str *repl) {
    if (!readable(arena, s) || !find || !find->data || !repl || !repl->data) return nullptr;
    if (find->len == 0 || find->len > s->len) return vx_strdup(arena, s);
    uint64_t count = 0;
    for (int64_t at = find_bytes(s->data, s->len, find->data, find->len, 0); at >= 0;
         at = find_bytes(s->data, s->len, find->data, find->len, (uint64_t)at + find->len))
        count++;
    uint64_t len = s->len - count * find->len;  // the kept bytes cannot overflow
    if (repl->len && count > (UINT64_MAX - 1 - len) / repl->len) return nullptr;
    len += count * repl->len;
    vx_str *view = new_view(arena, len);
    if (!view) return nullptr;
    uint64_t from = 0, out = 0;
    for (int64_t at = find_bytes(s->data, s->len, find->data, find->len, 0); at >= 0;
         at = find_bytes(s->data, s->len, find->data, find->len, from)) {
        uint64_t keep = (uint64_t)at - from;
        vx_memcpy(view->data + out, s->data + from, keep);
        vx_memcpy(view->data + out + keep, repl->data, repl->len);
        out += keep + repl->len;
        from = (uint64_t)at + find->len;
    }
    vx_memcpy(view->data + out, s->data + from, s->len - from);
    return view;
}

extern "C" VX_API vx_str *vx_lltostr(vx_arena *arena, int64_t value) {
    if (!arena) return nullptr;
    char text[24];
    return copy_bytes(arena, text, format_i64(value, text));
}

extern "C" VX_API vx_str *vx_dtostr(vx_arena *arena, int32_t decimals, double x) {
    if (!arena) return nullptr;
    uint64_t digits = decimals > 0 ? (uint64_t)decimals : 0;
    uint64_t len = format_fixed(x, digits, 0, nullptr, 0);
    vx_str *view = new_view(arena, len);
    if (view) format_fixed(x, digits, 0, view->data, len);
    return view;
}

extern "C" VX_API vx_str *vx_strprintf(vx_arena *arena, const char *format, ...) {
    if (!arena || !format) return nullptr;
    va_list args;
    va_start(args, format);
    uint64_t len = format_minimal_length(format, args);
    vx_str *view = new_view(arena, len);
    if (view) view->len = format_minimal(view->data, len + 1, format, args);
    va_end(args);
    return view;
}

/* ---- splitting ----------------------------------------------------------- */

extern "C" VX_API vx_str **vx_strsplitn(vx_arena *arena, const vx_str *s, const vx_str *delims,
                                        int64_t max) {
    if (!readable(arena, s) || !delims || !delims->data) return nullptr;
    bool is_delim[256] = {false};
    for (const unsigned char *d = (const unsigned char *)delims->data; *d; d++) is_delim[*d] = true;
    uint64_t limit = max > 0 ? (uint64_t)max : UINT64_MAX;

    // Counting pass: one token before each delimiter, one for a non-empty rest.
    uint64_t count = 0, start = 0;
    for (uint64_t i = 0; i < s->len && count < limit; i++) {
        if (is_delim[(unsigned char)s->data[i]]) {
            count++;
            start = i + 1;
        }
    }
    if (count < limit && start < s->len) count++;

    vx_str **tokens = (vx_str **)vx_arena_calloc(arena, count + 1, sizeof(vx_str *));
    if (!tokens) return nullptr;
    uint64_t made = 0;
    start = 0;
    for (uint64_t i = 0; i <= s->len && made < count; i++) {
        if (i == s->len || is_delim[(unsigned char)s->data[i]]) {
            tokens[made] = copy_bytes(arena, s->data + start, i - start);
            if (!tokens[made]) return nullptr;
            made++;
            start = i + 1;
        }
    }
    return tokens;
}

extern "C" VX_API vx_str **vx_strsplit(vx_arena *arena, const vx_str *s, const vx_str *delims) {
    return vx_strsplitn(arena, s, delims, 0);
}

/* ---- number parsing ------------------------------------------------------ */

static inline int digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// Index of the first byte after leading whitespace and one sign; *negative
// tells which sign was seen.
static uint64_t skip_space_and_sign(const char *p, uint64_t len, bool *negative) {
    uint64_t i = 0;
    while (i < len && is_space_byte((unsigned char)p[i])) i++;
    *negative = false;
    if (i < len && (p[i] == '+' || p[i] == '-')) {
        *negative = p[i] == '-';
        i++;
    }
    return i;
}

static inline void store_end(uint64_t *end, uint64_t at) {
    if (end) *end = at;
}

extern "C" VX_API int64_t vx_strtoll(const vx_str *s, uint64_t *end, int base) {
    store_end(end, 0);
    if (base < 0 || base == 1 || base > 36) return 0;
    uint64_t len = view_len(s);
    const char *p = len ? s->data : nullptr;
    bool negative;
    uint64_t i = skip_space_and_sign(p, len, &negative);
    if (base == 0) {
        if (i < len && p[i] == '0') {
            if (i + 1 < len && (p[i + 1] == 'x' || p[i + 1] == 'X')) {
                base = 16;
                i += 2;
            } else {
                base = 8;
            }
        } else {
            base = 10;
        }
    }
    uint64_t value = 0;  // wraps silently: no overflow detection
    for (; i < len; i++) {
        int d = digit_value((unsigned char)p[i]);
        if (d >= base) break;
        value = value * (uint64_t)base + (uint64_t)d;
    }
    store_end(end, i);
    return (int64_t)(negative ? 0 - value : value);
}

extern "C" VX_API double vx_strtod(const vx_str *s, uint64_t *end) {
    uint64_t len = view_len(s);
    const char *p = len ? s->data : nullptr;
    bool negative;
    uint64_t i = skip_space_and_sign(p, len, &negative);
    double value = 0.0;
    for (; i < len && p[i] >= '0' && p[i] <= '9'; i++) value = value * 10.0 + (p[i] - '0');
    if (i < len && p[i] == '.') {
        double f = 0.1;
        for (i++; i < len && p[i] >= '0' && p[i] <= '9'; i++) {
            value += (p[i] - '0') * f;
            f *= 0.1;
        }
    }
    // An exponent counts only when at least one digit follows the marker.
    if (i < len && (p[i] == 'e' || p[i] == 'E')) {
        uint64_t j = i + 1;
        bool exp_negative = false;
        if (j < len && (p[j] == '+' || p[j] == '-')) exp_negative = p[j++] == '-';
        if (j < len && p[j] >= '0' && p[j] <= '9') {
            uint64_t n = 0;
            for (; j < len && p[j] >= '0' && p[j] <= '9'; j++)
                if (n < 100000) n = n * 10 + (uint64_t)(p[j] - '0');
            double step = exp_negative ? 0.1 : 10.0;
            // Once the value is 0 or infinite, further steps change nothing.
            for (; n > 0 && value != 0.0 && value <= 1.7976931348623157e308; n--) value *= step;
            i = j;
        }
    }
    store_end(end, i);
    return negative ? -value : value;
}
