// Formatted output: an unbuffered converter writing to standard output with
// write(2), buffer formatting through the C runtime, and small writers.
#include "vexal.h"
#include "vx_string_internal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Bytes one conversion may produce; wider conversions are cut to this.
static const uint64_t SCRATCH_SIZE = 128;

// Writes every byte unless the descriptor fails; the last write's result.
static int64_t write_fully(int fd, const char *data, uint64_t len) {
    int64_t last = 0;
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        last = n;
        if (n <= 0) break;
        data += n;
        len -= (uint64_t)n;
    }
    return last;
}

// Right-aligns text in a field of width (at most the scratch size) filled
// with pad; returns the converted length.
static uint64_t pad_left(char *scratch, const char *text, uint64_t len, uint64_t width, char pad) {
    if (width > SCRATCH_SIZE) width = SCRATCH_SIZE;
    uint64_t fill = width > len ? width - len : 0;
    vx_memset(scratch, pad, fill);
    vx_memcpy(scratch + fill, text, len);
    return fill + len;
}

static uint64_t format_hex(uint64_t v, bool upper, char *out) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[16];
    uint64_t n = 0;
    do {
        tmp[n++] = digits[v & 15];
        v >>= 4;
    } while (v);
    for (uint64_t i = 0; i < n; i++) out[i] = tmp[n - 1 - i];
    return n;
}

// Reads a decimal field, saturating far above any useful size.
static uint64_t read_number(const char **p) {
    uint64_t v = 0;
    while (**p >= '0' && **p <= '9') {
        if (v < 1000000000) v = v * 10 + (uint64_t)(**p - '0');
        (*p)++;
    }
    return v;
}

// Walks the format once, writing ordinary text in runs and each conversion
// with one write; returns the number of characters meant to be written.
static int64_t format_and_output(int fd, const char *format, va_list args) {
    int64_t count = 0;
    char scratch[SCRATCH_SIZE];
    char digits[24];
    const char *p = format;
    while (*p) {
        if (*p != '%') {
            const char *run = p;
            while (*p && *p != '%') p++;
            write_fully(fd, run, (uint64_t)(p - run));
            count += p - run;
            continue;
        }
        p++;
        if (*p == '%') {
            write_fully(fd, "%", 1);
            count++;
            p++;
            continue;
        }
        if (*p == '0') p++;  // accepted, no effect
        uint64_t width = read_number(&p);
        bool has_precision = false;
        uint64_t precision = 0;
        if (*p == '.') {
            p++;
            has_precision = true;
            precision = read_number(&p);
        }
        if (*p == 'l') p++;
        if (*p == 'l') p++;
        if (*p == '\0') return count;
        char conv = *p++;
        if (conv == 'z') {
            char next = *p;
            if (next == '\0') return count;
            p++;
            if (next != 'd' && next != 'i' && next != 'u') continue;
            conv = next;
        }
        uint64_t len = 0;
        switch (conv) {
        case 'd':
        case 'i':
            len = pad_left(scratch, digits, format_i64(va_arg(args, int64_t), digits), width, ' ');
            break;
        case 'u':
            len = pad_left(scratch, digits, format_u64(va_arg(args, uint64_t), digits), width, '0');
            break;
        case 'x':
        case 'X':
            len = pad_left(scratch, digits, format_hex(va_arg(args, uint64_t), conv == 'X', digits), width, '0');
            break;
        case 'p':
            len = pad_left(scratch, digits, format_hex((uint64_t)(uintptr_t)va_arg(args, void *), false, digits),
                           16, '0');
            break;
        case 'c':
            scratch[0] = (char)va_arg(args, int);
            len = 1;
            break;
        case 's': {
            // Texts are written straight from the caller's memory, whole.
            const char *text = va_arg(args, const char *);
            if (!text) text = "(null)";
            uint64_t n = has_precision ? strnlen(text, precision) : strlen(text);
            write_fully(fd, text, n);
            count += (int64_t)n;
            continue;
        }
        case 'f':
        case 'F': {
            uint64_t decimals = has_precision ? precision : 6;
            len = format_fixed(va_arg(args, double), decimals, 1, scratch, SCRATCH_SIZE);
            if (len > SCRATCH_SIZE) len = SCRATCH_SIZE;
            break;
        }
        default:
            continue;  // unknown conversions write nothing
        }
        write_fully(fd, scratch, len);
        count += (int64_t)len;
    }
    return count;
}

static int32_t clamp_count(int64_t count) { return count > INT32_MAX ? INT32_MAX : (int32_t)count; }

extern "C" VX_API int32_t vx_vprintf(const char *format, va_list args) {
    if (!format) return 0;
    va_list copy;
    va_copy(copy, args);
    int64_t count = format_and_output(1, format, copy);
    va_end(copy);
    return clamp_count(count);
}

extern "C" VX_API int32_t vx_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t count = vx_vprintf(format, args);
    va_end(args);
    return count;
}

extern "C" VX_API int32_t vx_vsnprintf(char *buf, uint64_t size, const char *format, va_list args) {
    if (!buf || size == 0 || !format) return 0;
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(buf, (size_t)size, format, copy);
    va_end(copy);
    return n;
}

extern "C" VX_API int32_t vx_snprintf(char *buf, uint64_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t n = vx_vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

extern "C" VX_API int32_t vx_putchar(int c) {
    char byte = (char)c;
    return (int32_t)write_fully(1, &byte, 1);
}

static int32_t put_line(int fd, const char *text) {
    if (!text) return -1;
    write_fully(fd, text, strlen(text));
    return (int32_t)write_fully(fd, "\n", 1);
}

extern "C" VX_API int32_t vx_puts(const char *text) { return put_line(1, text); }

extern "C" VX_API int32_t vx_puts_err(const char *text) { return put_line(2, text); }
