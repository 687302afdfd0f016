// Error categories, message and description texts, one-line reports and the
// process-wide last-error record that hosts may fill and query.
#include "vexal.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

// Short messages, one table per category range. General codes are indexed by
// the negated code (entry 0 is success); the others by the distance from
// -100, -200 and -300.
const char *const g_general_messages[14] = {
    "Success",
    "Unknown error",
    "Invalid argument",
    "Out of memory",
    "Not found",
    "Already exists",
    "Buffer too small",
    "Not supported",
    "Permission denied",
    "Timeout",
    "Resource busy",
    "Empty object",
    "Too large",
    "Operation cancelled",
};

const char *const g_daded_messages[11] = {
    "Invalid vector data",
    "Index file corrupted",
    "Collection is full",
    "Invalid vector dimension",
    "Index not ready",
    "Vector ID already exists",
    "Vector not found",
    "Collection already exists",
    "Collection not found",
    "Index type mismatch",
    "Quantization error",
};

const char *const g_storage_messages[7] = {
    "File not found",
    "File corrupted",
    "Disk full",
    "I/O error",
    "File is locked",
    "Path too long",
    "Read-only mode",
};

const char *const g_concurrency_messages[4] = {
    "Lock acquisition timeout",
    "Deadlock detected",
    "Thread creation failed",
    "Mutex error",
};

// Long descriptions in code order: 13 general, 11 vector-database, 7 storage
// and 4 concurrency codes.
const char *const g_error_descriptions[35] = {
    "An unknown error occurred",
    "The provided argument is invalid or out of range",
    "Memory allocation failed - system is low on memory",
    "The requested resource or item was not found",
    "The item already exists and cannot be created",
    "The provided buffer is too small to hold the data",
    "This operation is not supported on this platform",
    "Permission denied - check file access rights",
    "Operation timed out - try again later",
    "The resource is busy - try again",
    "The object is empty and operation requires data",
    "The data exceeds the maximum allowed size",
    "The operation was cancelled by user",
    "The vector data is invalid (wrong dimension or NaN)",
    "The index file is corrupted - rebuild required",
    "The collection has reached maximum capacity",
    "Vector dimension does not match collection dimension",
    "Index is not built yet - call build() first",
    "A vector with this ID already exists",
    "No vector found with the specified ID",
    "A collection with this name already exists",
    "No collection found with the specified name",
    "Index type does not match collection configuration",
    "Error during quantization training or encoding",
    "The specified file does not exist",
    "The file is corrupted and cannot be read",
    "Disk is full - cannot write data",
    "An I/O error occurred during the operation",
    "The file is locked by another process",
    "The file path exceeds maximum allowed length",
    "Database is opened in read-only mode",
    "Failed to acquire lock within timeout period",
    "Deadlock detected - circular dependency",
    "Failed to create or join thread",
    "Mutex operation failed",
};

const char *const g_category_names[6] = {
    "Success", "General", "VectorDatabase", "Storage", "Concurrency", "Unknown",
};

// Shared by the whole process; hosts serialise their own use of it.
vx_error_info g_thread_error = {VX_OK, VX_ERROR_CATEGORY_SUCCESS, "Success", nullptr, nullptr, 0, nullptr, 0};

// Index of a defined failure code in the description table, or -1.
int description_index(vx_status code) {
    if (code <= -1 && code >= -13) return -code - 1;
    if (code <= -100 && code >= -110) return 13 + (-100 - code);
    if (code <= -200 && code >= -206) return 24 + (-200 - code);
    if (code <= -300 && code >= -303) return 31 + (-300 - code);
    return -1;
}

}  // namespace

extern "C" VX_API vx_error_category vx_error_get_category(vx_status code) {
    if (code >= 0) return VX_ERROR_CATEGORY_SUCCESS;
    if (code >= -99) return VX_ERROR_CATEGORY_GENERAL;
    if (code >= -199) return VX_ERROR_CATEGORY_VECTOR_DATABASE;
    if (code >= -299) return VX_ERROR_CATEGORY_STORAGE;
    if (code >= -399) return VX_ERROR_CATEGORY_CONCURRENCY;
    return VX_ERROR_CATEGORY_UNKNOWN;
}

extern "C" VX_API int vx_error_is_success(vx_status code) { return code == VX_OK; }

extern "C" VX_API int vx_error_is_fatal(vx_status code) {
    return code == VX_ERR_NO_MEMORY || code == VX_ERR_FILE_CORRUPTED || code == VX_ERR_DISK_FULL ||
           code == VX_ERR_DEADLOCK;
}

extern "C" VX_API const char *vx_error_message(vx_status code) {
    if (code >= 0) return g_general_messages[0];
    if (code >= -13) return g_general_messages[-code];
    if (code <= -100 && code >= -110) return g_daded_messages[-100 - code];
    if (code <= -200 && code >= -206) return g_storage_messages[-200 - code];
    if (code <= -300 && code >= -303) return g_concurrency_messages[-300 - code];
    return "Unknown error";
}

extern "C" VX_API const char *vx_error_description(vx_status code) {
    if (code >= 0) return "Operation completed successfully";
    int i = description_index(code);
    return i >= 0 ? g_error_descriptions[i] : "An unknown error occurred";
}

extern "C" VX_API const char *vx_error_category_name(vx_error_category category) {
    if (category >= 0 && category <= VX_ERROR_CATEGORY_UNKNOWN) return g_category_names[category];
    return "Unknown";
}

extern "C" VX_API int64_t vx_error_format(char *buffer, uint64_t size, vx_status code, const char *format, ...) {
    if (!buffer || size == 0) return 0;
    int first = snprintf(buffer, size, "[%s] %s", vx_error_category_name(vx_error_get_category(code)),
                         vx_error_message(code));
    if (!format || first <= 0 || (uint64_t)first >= size) return first;
    va_list args;
    va_start(args, format);
    int appended = vsnprintf(buffer + first, size - (uint64_t)first, format, args);
    va_end(args);
    return appended > 0 ? (int64_t)first + appended : first;
}

extern "C" VX_API void vx_error_set(vx_status code, const char *file, int32_t line, const char *function,
                                    const char *detail) {
    g_thread_error.status = code;
    g_thread_error.category = vx_error_get_category(code);
    g_thread_error.message = vx_error_message(code);
    g_thread_error.detail = detail;
    g_thread_error.file = file;
    g_thread_error.line = line;
    g_thread_error.function = function;
    g_thread_error.time = vx_time_now();
}

extern "C" VX_API void vx_error_get(vx_error_info *out) {
    if (out) *out = g_thread_error;
}

extern "C" VX_API void vx_error_clear(void) {
    g_thread_error.status = VX_OK;
    g_thread_error.category = VX_ERROR_CATEGORY_SUCCESS;
    g_thread_error.message = "Success";
    g_thread_error.detail = nullptr;
    g_thread_error.file = nullptr;
    g_thread_error.line = 0;
    g_thread_error.function = nullptr;
}

extern "C" VX_API int vx_error_has_error(void) { return g_thread_error.status != VX_OK; }

extern "C" VX_API vx_status vx_error_get_last_status(void) { return g_thread_error.status; }
