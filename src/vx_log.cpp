// The process-wide logger for hosts: a minimum level, an optional callback,
// and otherwise pattern-formatted lines on the console and/or a log file.
#include "vexal.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace {

const size_t MESSAGE_SIZE = 2048;
const size_t LINE_SIZE = 4096;
const size_t PATTERN_SIZE = 256;

const char *const level_names[6] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

struct log_state {
    // Read without the mutex by the early level test, hence atomic.
    std::atomic<uint32_t> level;
    vx_log_callback callback;
    void *callback_user_data;
    FILE *file;
    int32_t console;
    char pattern[PATTERN_SIZE];
    // Set once the mutex is initialised; cleared by vx_log_shutdown so that
    // the next call initialises a fresh one.
    std::atomic<int32_t> initialised;
    pthread_mutex_t mutex;
};

log_state g_log_state = {{VX_LOG_INFO}, nullptr, nullptr, nullptr, 1, "[%T] [%L] %F:%N %M: %m", {0}, {}};

// Serialises the lazy initialisation and the teardown of the logger mutex,
// so that concurrent first calls cannot both initialise it.
pthread_mutex_t g_log_init_guard = PTHREAD_MUTEX_INITIALIZER;

// Set while this thread runs the host's callback: a message logged from
// inside the callback is dropped instead of deadlocking on the held mutex.
thread_local bool t_in_callback = false;

void ensure_initialised() {
    if (g_log_state.initialised.load(std::memory_order_acquire)) return;
    pthread_mutex_lock(&g_log_init_guard);
    if (!g_log_state.initialised.load(std::memory_order_relaxed)) {
        pthread_mutex_init(&g_log_state.mutex, nullptr);
        g_log_state.initialised.store(1, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_log_init_guard);
}

void lock_state() {
    ensure_initialised();
    pthread_mutex_lock(&g_log_state.mutex);
}

void unlock_state() { pthread_mutex_unlock(&g_log_state.mutex); }

// The file name without directories: after the last '/', or when there is
// none, after the last '\'.
const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    if (slash) return slash + 1;
    const char *backslash = strrchr(path, '\\');
    return backslash ? backslash + 1 : path;
}

// Appends to a bounded line, cutting at its last usable byte.
struct line_buffer {
    char text[LINE_SIZE];
    size_t len = 0;
    void put(const char *s, size_t n) {
        size_t room = LINE_SIZE - 1 - len;
        if (n > room) n = room;
        memcpy(text + len, s, n);
        len += n;
    }
    void put(const char *s) { put(s, strlen(s)); }
    void put_char(char c) { put(&c, 1); }
};

void expand_pattern(line_buffer &line, const char *pattern, const char *time_text, uint32_t level,
                    const char *file, int32_t line_no, const char *function, const char *message) {
    char scratch[32];
    for (const char *p = pattern; *p; p++) {
        if (*p != '%') {
            line.put_char(*p);
            continue;
        }
        if (!p[1]) {  // a lone '%' ends the pattern
            line.put_char('%');
            break;
        }
        switch (*++p) {
        case 'T': line.put(time_text); break;
        case 'L':
            snprintf(scratch, sizeof scratch, "%-5s", vx_log_level_string(level));
            line.put(scratch);
            break;
        case 'F': line.put(base_name(file)); break;
        case 'N':
            snprintf(scratch, sizeof scratch, "%d", line_no);
            line.put(scratch);
            break;
        case 'M': line.put(function); break;
        case 'm': line.put(message); break;
        case '%': line.put_char('%'); break;
        default: break;  // an unknown directive vanishes
        }
    }
    line.text[line.len] = '\0';
}

uint64_t now_ms() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return uint64_t(tv.tv_sec) * 1000u + uint64_t(tv.tv_usec) / 1000u;
}

void format_time(char *out, size_t size, uint64_t ms) {
    time_t seconds = time_t(ms / 1000);
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    localtime_r(&seconds, &tm);
    snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03u", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, unsigned(ms % 1000));
}

bool ascii_equal_nocase(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char x = (*a >= 'a' && *a <= 'z') ? char(*a - 32) : *a;
        char y = (*b >= 'a' && *b <= 'z') ? char(*b - 32) : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

}  // namespace

extern "C" VX_API vx_status vx_log_set_level(vx_log_level level) {
    lock_state();
    g_log_state.level.store(level, std::memory_order_relaxed);
    unlock_state();
    return VX_OK;
}

extern "C" VX_API vx_log_level vx_log_get_level(void) { return g_log_state.level.load(std::memory_order_relaxed); }

extern "C" VX_API vx_status vx_log_set_callback(vx_log_callback callback, void *user_data) {
    lock_state();
    g_log_state.callback = callback;
    g_log_state.callback_user_data = user_data;
    unlock_state();
    return VX_OK;
}

extern "C" VX_API vx_status vx_log_set_file(const char *path, int append) {
    lock_state();
    if (g_log_state.file) {
        fclose(g_log_state.file);
        g_log_state.file = nullptr;
    }
    vx_status status = VX_OK;
    if (path) {
        g_log_state.file = fopen(path, append ? "ae" : "we");
        if (!g_log_state.file) status = VX_ERR_FILE_NOT_FOUND;
    }
    unlock_state();
    return status;
}

extern "C" VX_API vx_status vx_log_set_console(int enabled) {
    lock_state();
    g_log_state.console = enabled;
    unlock_state();
    return VX_OK;
}

extern "C" VX_API vx_status vx_log_set_format(const char *pattern) {
    lock_state();
    if (pattern) {
        size_t n = strnlen(pattern, PATTERN_SIZE - 1);
        memcpy(g_log_state.pattern, pattern, n);
        g_log_state.pattern[n] = '\0';
    }
    unlock_state();
    return VX_OK;
}

extern "C" VX_API void vx_log_write(vx_log_level level, const char *file, int32_t line, const char *function,
                                    const char *format, ...) {
    if (level < g_log_state.level.load(std::memory_order_relaxed)) return;
    if (t_in_callback) return;

    char message[MESSAGE_SIZE];
    message[0] = '\0';
    if (format) {
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
    if (!file) file = "";
    if (!function) function = "";

    lock_state();
    if (g_log_state.callback) {
        uint64_t ms = now_ms();
        t_in_callback = true;
        g_log_state.callback(level, file, line, function, ms, message, g_log_state.callback_user_data);
        t_in_callback = false;
        unlock_state();
        return;
    }

    char time_text[64];
    format_time(time_text, sizeof time_text, now_ms());
    line_buffer out;
    expand_pattern(out, g_log_state.pattern, time_text, level, file, line, function, message);

    if (g_log_state.console) {
        FILE *stream = level <= VX_LOG_WARN ? stdout : stderr;
        fprintf(stream, "%s\n", out.text);
        fflush(stream);
    }
    if (g_log_state.file) {
        fprintf(g_log_state.file, "%s\n", out.text);
        fflush(g_log_state.file);
    }
    unlock_state();
    if (level == VX_LOG_FATAL) abort();
}

extern "C" VX_API void vx_log_write_v(vx_log_level level, const char *file, int32_t line, const char *function,
                                      const char *format, va_list args) {
    if (level < g_log_state.level.load(std::memory_order_relaxed)) return;
    char message[MESSAGE_SIZE];
    message[0] = '\0';
    if (format) vsnprintf(message, sizeof message, format, args);
    vx_log_write(level, file, line, function, "%s", message);
}

extern "C" VX_API const char *vx_log_level_string(vx_log_level level) {
    return level <= VX_LOG_FATAL ? level_names[level] : "UNKNOWN";
}

extern "C" VX_API vx_log_level vx_log_level_from_string(const char *text) {
    if (!text) return VX_LOG_INFO;
    for (uint32_t i = 0; i <= VX_LOG_FATAL; i++)
        if (ascii_equal_nocase(text, level_names[i])) return i;
    return VX_LOG_INFO;
}

extern "C" VX_API uint64_t vx_log_timestamp(void) { return now_ms(); }

extern "C" VX_API void vx_log_flush(void) {
    lock_state();
    if (g_log_state.console) {
        fflush(stdout);
        fflush(stderr);
    }
    if (g_log_state.file) fflush(g_log_state.file);
    unlock_state();
}

extern "C" VX_API void vx_log_shutdown(void) {
    pthread_mutex_lock(&g_log_init_guard);
    if (g_log_state.initialised.load(std::memory_order_relaxed)) {
        pthread_mutex_lock(&g_log_state.mutex);
        if (g_log_state.file) {
            fclose(g_log_state.file);
            g_log_state.file = nullptr;
        }
        g_log_state.initialised.store(0, std::memory_order_release);
        pthread_mutex_unlock(&g_log_state.mutex);
        pthread_mutex_destroy(&g_log_state.mutex);
    }
    pthread_mutex_unlock(&g_log_init_guard);
}
