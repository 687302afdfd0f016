// Formatted output: the converter behind vx_printf (captured from descriptor
// 1), vx_snprintf and the put functions.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "vexal.h"

namespace {

// Redirects a descriptor into a temporary file until text() is called.
class Capture {
public:
    explicit Capture(int fd) : fd_(fd) {
        fflush(stdout);
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    ~Capture() { restore(); }
    std::string text() {
        restore();
        std::string out;
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    int saved_ = -1;
    FILE *file_ = nullptr;
};

// Output and return value of one vx_printf call.
template <typename... Args>
std::pair<std::string, int32_t> printed(const char *format, Args... args) {
    Capture capture(1);
    int32_t n = vx_printf(format, args...);
    return {capture.text(), n};
}

std::string out(const char *format, ...) {
    Capture capture(1);
    va_list args;
    va_start(args, format);
    int32_t n = vx_vprintf(format, args);
    va_end(args);
    std::string text = capture.text();
    EXPECT_EQ((size_t)n, text.size()) << format;
    return text;
}

TEST(Printf, IntegersAndPadding) {
    auto r = printed("%5d|", (int64_t)42);
    EXPECT_EQ(r.first, "   42|");
    EXPECT_EQ(r.second, 6);
    EXPECT_EQ(out("%5u|", (uint64_t)42), "00042|");
    EXPECT_EQ(out("%05d|", (int64_t)-42), "  -42|");  // the zero flag has no effect
    EXPECT_EQ(out("%2d|%d", (int64_t)12345, (int64_t)INT64_MIN), "12345|-9223372036854775808");
    EXPECT_EQ(out("%lu %llu %zu %ld %lld %zd %zi", (uint64_t)UINT64_MAX, (uint64_t)1, (uint64_t)2, (int64_t)-3,
                  (int64_t)-4, (int64_t)-5, (int64_t)6),
              "18446744073709551615 1 2 -3 -4 -5 6");
    EXPECT_EQ(out("%x %X %4x", (uint64_t)255, (uint64_t)0xBEEF, (uint64_t)10), "ff BEEF 000a");
    EXPECT_EQ(out("%x", (uint64_t)0), "0");
    EXPECT_EQ(out("%p", (void *)(uintptr_t)0x1234), "0000000000001234");
    EXPECT_EQ(out("%3p", (void *)(uintptr_t)0xdeadbeefcafe1234ull), "deadbeefcafe1234");
    EXPECT_EQ(out("%c%c", 'o', 'k' + 256), "ok");
}

TEST(Printf, FloatsAreCutNotRounded) {
    EXPECT_EQ(out("%.2f", -3.14159), "-3.14");
    EXPECT_EQ(out("%f", 0.5), "0.500000");
    EXPECT_EQ(out("%.0f", 2.7), "2.");
    EXPECT_EQ(out("%.f", 2.7), "2.");
    EXPECT_EQ(out("%F", 1.9999999), "1.999999");
    EXPECT_EQ(out("%9.1f|", 1.25), "1.2|");  // width ignored
    EXPECT_EQ(out("%f", -0.0), "0.000000");
    EXPECT_EQ(out("%.1f", 1e20), "100000000000000000000.0");
    EXPECT_EQ(out("%f %f", 1.0 / 0.0, 0.0 / 0.0), "inf nan");
}

TEST(Printf, TextsAndUnknownConversions) {
    EXPECT_EQ(out("%s", (const char *)nullptr), "(null)");
    EXPECT_EQ(out("%.3s", "abcdef"), "abc");
    EXPECT_EQ(out("%.10s|%10s", "abc", "de"), "abc|de");
    EXPECT_EQ(out("a%qb"), "ab");
    EXPECT_EQ(out("a%zxb"), "ab");
    EXPECT_EQ(out("%%|%5%"), "%|");
    EXPECT_EQ(out("plain"), "plain");
    EXPECT_EQ(out(""), "");
    // A zero byte inside a conversion ends the call.
    auto r = printed("ab%5");
    EXPECT_EQ(r.first, "ab");
    EXPECT_EQ(r.second, 2);
    EXPECT_EQ(printed("x%.").first, "x");
    EXPECT_EQ(printed("x%ll").first, "x");
    EXPECT_EQ(printed("x%z").first, "x");
    EXPECT_EQ(vx_printf(nullptr), 0);
    // A precision keeps reading within an unterminated buffer.
    char raw[3] = {'x', 'y', 'z'};
    EXPECT_EQ(out("%.2s", raw), "xy");
}

TEST(Printf, WideConversionsStayInsideTheScratchArea) {
    std::string wide = out("%1000d|", (int64_t)7);
    EXPECT_EQ(wide, std::string(127, ' ') + "7|");
    EXPECT_EQ(out("%999999999999999999999u", (uint64_t)5), std::string(127, '0') + "5");
    std::string frac = out("%.500f", 0.5);
    EXPECT_EQ(frac.size(), 128u);
    EXPECT_EQ(frac.substr(0, 4), "0.50");
    std::string huge = out("%f", 1.7976931348623157e308);
    EXPECT_EQ(huge.size(), 128u);
    EXPECT_EQ(huge.substr(0, 6), "179769");
    // Texts are not conversions built in the scratch area: they come out whole.
    std::string long_text(5000, 'q');
    EXPECT_EQ(out("<%s>", long_text.c_str()), "<" + long_text + ">");
}

TEST(Snprintf, DelegatesToTheRuntime) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(vx_snprintf(buf, 0, "abc"), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(vx_snprintf(nullptr, 10, "abc"), 0);
    EXPECT_EQ(vx_snprintf(buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(vx_snprintf(buf, sizeof buf, "%s/%s.vxcol", "db", "c1"), 11);
    EXPECT_STREQ(buf, "db/c1.vxcol");
    EXPECT_EQ(vx_snprintf(buf, 4, "%d-%05.1f", 12345, 2.25), 11);  // length of the whole text
    EXPECT_STREQ(buf, "123");
    EXPECT_EQ(vx_snprintf(buf, 1, "xyz"), 3);
    EXPECT_EQ(buf[0], '\0');
    char expect[64];
    snprintf(expect, sizeof expect, "%5.2f|%-4d|%x", 3.14159, 7, 255u);
    char got[64];
    EXPECT_EQ(vx_snprintf(got, sizeof got, "%5.2f|%-4d|%x", 3.14159, 7, 255u), (int32_t)strlen(expect));
    EXPECT_STREQ(got, expect);
}

TEST(Put, CharactersAndLines) {
    {
        Capture capture(1);
        EXPECT_EQ(vx_putchar('A' + 512), 1);
        EXPECT_EQ(vx_puts("line"), 1);
        EXPECT_EQ(vx_puts(""), 1);
        EXPECT_EQ(vx_puts(nullptr), -1);
        EXPECT_EQ(capture.text(), "Aline\n\n");
    }
    {
        Capture capture(2);
        EXPECT_EQ(vx_puts_err("oops"), 1);
        EXPECT_EQ(capture.text(), "oops\n");
    }
}

TEST(Put, ClosedDescriptorIsNotFatal) {
    fflush(stdout);
    int saved = dup(1);
    close(1);
    EXPECT_EQ(vx_printf("%d abc", (int64_t)12), 6);  // counts what it meant to write
    EXPECT_EQ(vx_putchar('x'), -1);
    dup2(saved, 1);
    close(saved);
}

TEST(Printf, ThreadsShareNoState) {
    Capture capture(1);
    std::vector<std::thread> threads;
    int32_t counts[4] = {0, 0, 0, 0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t, &counts] {
            char buf[64];
            for (int i = 0; i < 200; i++) {
                counts[t] += vx_printf("[%d:%u:%.2f]", (int64_t)t, (uint64_t)i, 0.5);
                vx_snprintf(buf, sizeof buf, "%d", i);
            }
        });
    for (auto &th : threads) th.join();
    std::string text = capture.text();
    int64_t total = 0;
    for (int32_t c : counts) total += c;
    EXPECT_EQ((int64_t)text.size(), total);
    EXPECT_EQ(std::count(text.begin(), text.end(), '['), 800);
}

}  // namespace
