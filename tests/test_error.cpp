// Error categories, texts, one-line reports and the last-error record.
#include "vexal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
struct Expected {
    vx_status code;
    const char *message;
    const char *description;
    int fatal;
};
// Code, message and description as published for every status code.
const Expected kCodes[] = {
    {0, "Success", "Operation completed successfully", 0},
    {-1, "Unknown error", "An unknown error occurred", 0},
    {-2, "Invalid argument", "The provided argument is invalid or out of range", 0},
    {-3, "Out of memory", "Memory allocation failed - system is low on memory", 1},
    {-4, "Not found", "The requested resource or item was not found", 0},
    {-5, "Already exists", "The item already exists and cannot be created", 0},
    {-6, "Buffer too small", "The provided buffer is too small to hold the data", 0},
    {-7, "Not supported", "This operation is not supported on this platform", 0},
    {-8, "Permission denied", "Permission denied - check file access rights", 0},
    {-9, "Timeout", "Operation timed out - try again later", 0},
    {-10, "Resource busy", "The resource is busy - try again", 0},
    {-11, "Empty object", "The object is empty and operation requires data", 0},
    {-12, "Too large", "The data exceeds the maximum allowed size", 0},
    {-13, "Operation cancelled", "The operation was cancelled by user", 0},
    {-100, "Invalid vector data", "The vector data is invalid (wrong dimension or NaN)", 0},
    {-101, "Index file corrupted", "The index file is corrupted - rebuild required", 0},
    {-102, "Collection is full", "The collection has reached maximum capacity", 0},
    {-103, "Invalid vector dimension", "Vector dimension does not match collection dimension", 0},
    {-104, "Index not ready", "Index is not built yet - call build() first", 0},
    {-105, "Vector ID already exists", "A vector with this ID already exists", 0},
    {-106, "Vector not found", "No vector found with the specified ID", 0},
    {-107, "Collection already exists", "A collection with this name already exists", 0},
    {-108, "Collection not found", "No collection found with the specified name", 0},
    {-109, "Index type mismatch", "Index type does not match collection configuration", 0},
    {-110, "Quantization error", "Error during quantization training or encoding", 0},
    {-200, "File not found", "The specified file does not exist", 0},
    {-201, "File corrupted", "The file is corrupted and cannot be read", 1},
    {-202, "Disk full", "Disk is full - cannot write data", 1},
    {-203, "I/O error", "An I/O error occurred during the operation", 0},
    {-204, "File is locked", "The file is locked by another process", 0},
    {-205, "Path too long", "The file path exceeds maximum allowed length", 0},
    {-206, "Read-only mode", "Database is opened in read-only mode", 0},
    {-300, "Lock acquisition timeout", "Failed to acquire lock within timeout period", 0},
    {-301, "Deadlock detected", "Deadlock detected - circular dependency", 1},
    {-302, "Thread creation failed", "Failed to create or join thread", 0},
    {-303, "Mutex error", "Mutex operation failed", 0},
};
}  // namespace

TEST(Error, EveryCodeHasItsMessageDescriptionAndFatality) {
    for (const Expected &e : kCodes) {
        EXPECT_STREQ(vx_error_message(e.code), e.message) << e.code;
        EXPECT_STREQ(vx_error_description(e.code), e.description) << e.code;
        EXPECT_EQ(vx_error_is_fatal(e.code), e.fatal) << e.code;
    }
    // Undefined codes, including the gaps right after each range.
    for (vx_status code : {-14, -99, -111, -199, -207, -304, -400, -100000, INT32_MIN}) {
        EXPECT_STREQ(vx_error_message(code), "Unknown error") << code;
        EXPECT_STREQ(vx_error_description(code), "An unknown error occurred") << code;
        EXPECT_EQ(vx_error_is_fatal(code), 0);
    }
    EXPECT_STREQ(vx_error_description(-90), "An unknown error occurred");
    for (vx_status code : {1, 7, INT32_MAX}) {
        EXPECT_STREQ(vx_error_message(code), "Success");
        EXPECT_STREQ(vx_error_description(code), "Operation completed successfully");
        EXPECT_EQ(vx_error_is_success(code), 0);  // only exactly 0 is success
    }
    EXPECT_EQ(vx_error_is_success(0), 1);
}

TEST(Error, CategoriesFollowRangesAtTheirBoundaries) {
    struct { vx_status code; vx_error_category cat; } cases[] = {
        {7, 0}, {0, 0}, {-1, 1}, {-99, 1}, {-100, 2}, {-199, 2}, {-200, 3},
        {-299, 3}, {-300, 4}, {-399, 4}, {-400, 5}, {INT32_MIN, 5},
    };
    for (auto &c : cases) EXPECT_EQ(vx_error_get_category(c.code), c.cat) << c.code;
    const char *names[] = {"Success", "General", "VectorDatabase", "Storage", "Concurrency", "Unknown"};
    for (int i = 0; i < 6; i++) EXPECT_STREQ(vx_error_category_name(i), names[i]);
    EXPECT_STREQ(vx_error_category_name(-1), "Unknown");
    EXPECT_STREQ(vx_error_category_name(6), "Unknown");
}

TEST(Error, FormatWritesCategoryMessageAndAppendix) {
    char buf[64];
    EXPECT_EQ(vx_error_format(buf, sizeof buf, -2, nullptr), 26);
    EXPECT_STREQ(buf, "[General] Invalid argument");

    EXPECT_EQ(vx_error_format(buf, sizeof buf, -200, ": %s#%d", "open", 7), 32);
    EXPECT_STREQ(buf, "[Storage] File not found: open#7");

    // The first part does not fit: its full length, nothing appended.
    char small[10];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(vx_error_format(small, sizeof small, -2, " more %d", 1), 26);
    EXPECT_STREQ(small, "[General]");

    // The appendix is cut, the untruncated total reported.
    char mid[30];
    EXPECT_EQ(vx_error_format(mid, sizeof mid, -2, " %s", "0123456789"), 37);
    EXPECT_EQ(std::string(mid), std::string("[General] Invalid argument 01"));

    // An empty appendix reports the first length alone.
    EXPECT_EQ(vx_error_format(buf, sizeof buf, 0, "%s", ""), 17);
    EXPECT_STREQ(buf, "[Success] Success");

    EXPECT_EQ(vx_error_format(nullptr, 10, -2, nullptr), 0);
    buf[0] = 'q';
    EXPECT_EQ(vx_error_format(buf, 0, -2, nullptr), 0);
    EXPECT_EQ(buf[0], 'q');
}

TEST(Error, LastErrorRecordSetGetClear) {
    vx_error_info info;
    vx_error_clear();
    EXPECT_EQ(vx_error_has_error(), 0);

    static const char file[] = "store.c", fn[] = "save", detail[] = "checksum";
    int64_t before = vx_time_now();
    vx_error_set(-201, file, 99, fn, detail);
    EXPECT_EQ(vx_error_has_error(), 1);
    EXPECT_EQ(vx_error_get_last_status(), -201);
    vx_error_get(&info);
    EXPECT_EQ(info.status, -201);
    EXPECT_EQ(info.category, VX_ERROR_CATEGORY_STORAGE);
    EXPECT_STREQ(info.message, "File corrupted");
    EXPECT_EQ(info.file, file);  // stored as given, not copied
    EXPECT_EQ(info.function, fn);
    EXPECT_EQ(info.detail, detail);
    EXPECT_EQ(info.line, 99);
    EXPECT_GE(info.time, before);
    EXPECT_LE(info.time, vx_time_now());
    int64_t set_time = info.time;

    vx_error_clear();
    EXPECT_EQ(vx_error_has_error(), 0);
    EXPECT_EQ(vx_error_get_last_status(), 0);
    vx_error_get(&info);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.category, 0);
    EXPECT_STREQ(info.message, "Success");
    EXPECT_EQ(info.file, nullptr);
    EXPECT_EQ(info.function, nullptr);
    EXPECT_EQ(info.detail, nullptr);
    EXPECT_EQ(info.line, 0);
    EXPECT_EQ(info.time, set_time);
    vx_error_get(nullptr);  // ignored

    // A code outside every range still records its texts.
    vx_error_set(-1000, nullptr, 0, nullptr, nullptr);
    vx_error_get(&info);
    EXPECT_EQ(info.category, VX_ERROR_CATEGORY_UNKNOWN);
    EXPECT_STREQ(info.message, "Unknown error");
    vx_error_clear();
}
