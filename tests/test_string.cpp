// String views: comparisons, searches, copies, arena texts, splitting and
// number texts.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "vx_string_internal.h"

// Hostile sizes must come back as failed allocations under the sanitizers
// too, not as reports.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

vx_str view(const char *text) { return vx_str{(char *)text, strlen(text)}; }

std::string text_of(const vx_str *s) { return s ? std::string(s->data, s->len) : "<null>"; }

class ArenaTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vx_arena_create(0, &arena), VX_OK); }
    void TearDown() override { vx_arena_destroy(arena); }
    vx_arena *arena = nullptr;
};

// Tokens of a split as plain strings; checks the zero byte after each one.
std::vector<std::string> tokens_of(vx_str **tokens) {
    std::vector<std::string> out;
    for (; tokens && *tokens; tokens++) {
        EXPECT_EQ((*tokens)->data[(*tokens)->len], '\0');
        out.push_back(text_of(*tokens));
    }
    return out;
}

TEST(StringCompare, FixedValues) {
    vx_str abc = view("abc"), abcd = view("abcd"), a = view("a"), b = view("b");
    EXPECT_EQ(vx_strcmp(&abc, &abcd), -1);
    EXPECT_EQ(vx_strcmp(&abcd, &abc), 1);
    EXPECT_EQ(vx_strcmp(&b, &a), 1);
    EXPECT_EQ(vx_strcmp(&abc, &abc), 0);
    vx_str upper = view("ABC");
    EXPECT_EQ(vx_strcasecmp(&upper, &abc), 0);
    EXPECT_EQ(vx_strcmp(&upper, &abc), 'A' - 'a');
    // Bytes compare unsigned, and only ASCII letters fold.
    vx_str high = view("\xe9"), low = view("e");
    EXPECT_GT(vx_strcmp(&high, &low), 0);
    vx_str hi_e = view("\xc9"), lo_e = view("\xe9");
    EXPECT_NE(vx_strcasecmp(&hi_e, &lo_e), 0);
    // Mapped bytes give the difference: '[' (0x5b) against 'a' after folding.
    vx_str bracket = view("["), upper_a = view("A");
    EXPECT_EQ(vx_strcasecmp(&bracket, &upper_a), '[' - 'a');

    vx_str x = view("abcX"), y = view("abcY"), ab = view("ab");
    EXPECT_EQ(vx_strncmp(&x, &y, 3), 0);
    EXPECT_LT(vx_strncmp(&x, &y, 4), 0);
    EXPECT_EQ(vx_strncmp(&ab, &abc, 5), -1);
    EXPECT_EQ(vx_strncmp(&ab, &abc, 2), 0);
    EXPECT_EQ(vx_strncasecmp(&upper, &abcd, 3), 0);
    EXPECT_EQ(vx_strncasecmp(&upper, &abcd, 4), -1);
}

TEST(StringCompare, EmbeddedZerosAndUnterminatedViews) {
    // The length alone defines the text: zero bytes inside count, bytes past
    // len never do.
    char raw[] = {'a', '\0', 'b', 'Z', 'Z'};
    vx_str left{raw, 3}, right{(char *)"a\0c", 3};
    EXPECT_EQ(vx_strcmp(&left, &right), 'b' - 'c');
    vx_str prefix{raw, 1}, a = view("a");
    EXPECT_EQ(vx_strcmp(&prefix, &a), 0);
}

TEST(StringCompare, NullViewsReadAsEmpty) {
    vx_str abc = view("abc"), empty{nullptr, 0}, no_data{nullptr, 99};
    EXPECT_EQ(vx_strcmp(nullptr, nullptr), 0);
    EXPECT_EQ(vx_strcmp(nullptr, &abc), -3);
    EXPECT_EQ(vx_strcmp(&abc, &no_data), 3);
    EXPECT_EQ(vx_strcasecmp(&empty, &no_data), 0);
    EXPECT_EQ(vx_strlen(nullptr), 0u);
    EXPECT_EQ(vx_strnlen(&abc, 2), 2u);
    EXPECT_EQ(vx_strnlen(&abc, 10), 3u);
    EXPECT_EQ(vx_str_cstr(&abc), abc.data);
    EXPECT_EQ(vx_str_cstr(nullptr), nullptr);
    // A huge length is reported, never scanned.
    vx_str huge{abc.data, UINT64_MAX};
    EXPECT_EQ(vx_strlen(&huge), UINT64_MAX);
    EXPECT_EQ(vx_strnlen(&huge, 7), 7u);
}

TEST(StringSearch, Positions) {
    vx_str s = view("hello world"), empty = view("");
    EXPECT_EQ(vx_strchr(&s, 'o'), 4);
    EXPECT_EQ(vx_strrchr(&s, 'o'), 7);
    EXPECT_EQ(vx_strchr(&s, 'z'), -1);
    EXPECT_EQ(vx_strchr(&s, 'o' + 256), 4);  // the low byte counts
    EXPECT_EQ(vx_strrchr(&empty, 'a'), -1);
    EXPECT_EQ(vx_strchr(nullptr, 'a'), -1);
    vx_str world = view("world"), none = view("worlds"), longer = view("hello world!");
    EXPECT_EQ(vx_strstr(&s, &world), 6);
    EXPECT_EQ(vx_strstr(&s, &empty), 0);
    EXPECT_EQ(vx_strstr(&empty, &empty), 0);
    EXPECT_EQ(vx_strstr(&s, &none), -1);
    EXPECT_EQ(vx_strstr(&s, &longer), -1);
    // A match must lie inside the view even when the bytes continue.
    vx_str cut{(char *)"abcdef", 4}, de = view("de");
    EXPECT_EQ(vx_strstr(&cut, &de), -1);
    vx_str rep = view("aab"), ab = view("ab");
    EXPECT_EQ(vx_strstr(&rep, &ab), 1);
    char high[] = "\x01\xff\x02";
    vx_str h = view(high);
    EXPECT_EQ(vx_strchr(&h, 0xff), 1);
    EXPECT_EQ(vx_strrchr(&h, -1), 1);
}

TEST(StringSearch, MatchesNaiveScanOnRandomTexts) {
    vx_srand(7);
    for (int round = 0; round < 2000; round++) {
        char hay[40], needle[5];
        uint64_t hlen = vx_rand() % 40, nlen = vx_rand() % 5;
        for (uint64_t i = 0; i < hlen; i++) hay[i] = (char)('a' + vx_rand() % 3);
        for (uint64_t i = 0; i < nlen; i++) needle[i] = (char)('a' + vx_rand() % 3);
        int64_t expect = nlen == 0 ? 0 : -1;
        for (uint64_t start = 0; nlen && nlen <= hlen && start <= hlen - nlen; start++)
            if (memcmp(hay + start, needle, nlen) == 0) {
                expect = (int64_t)start;
                break;
            }
        vx_str h{hay, hlen}, n{needle, nlen};
        ASSERT_EQ(vx_strstr(&h, &n), expect) << std::string(hay, hlen) << " / " << std::string(needle, nlen);
    }
}

TEST(StringCopy, IntoExistingViews) {
    char buf[32];
    vx_str dst{buf, 0}, abc = view("abc"), de = view("de");
    EXPECT_EQ(vx_strcpy(&dst, &abc), &dst);
    EXPECT_EQ(text_of(&dst), "abc");
    vx_strcat(&dst, &de);
    EXPECT_EQ(text_of(&dst), "abcde");
    vx_strncat(&dst, &abc, 2);
    EXPECT_EQ(text_of(&dst), "abcdeab");
    vx_strncpy(&dst, &abc, 2);
    EXPECT_EQ(text_of(&dst), "ab");
    vx_strncpy(&dst, &abc, 100);
    EXPECT_EQ(text_of(&dst), "abc");
    vx_strlcpy(&dst, &de, 0);
    EXPECT_EQ(dst.len, 0u);
    vx_strlcpy(&dst, &abc, 2);  // copies min(size, len) bytes, no room kept for a zero
    EXPECT_EQ(text_of(&dst), "ab");
    vx_strlcat(&dst, &abc, 4);
    EXPECT_EQ(text_of(&dst), "abab");
    vx_strlcat(&dst, &abc, 4);  // already at size: unchanged
    EXPECT_EQ(text_of(&dst), "abab");
    vx_strlcat(&dst, &abc, 2);
    EXPECT_EQ(text_of(&dst), "abab");

    // Null views leave everything alone; a source without data copies nothing.
    EXPECT_EQ(vx_strcpy(&dst, nullptr), &dst);
    EXPECT_EQ(text_of(&dst), "abab");
    EXPECT_EQ(vx_strcat(nullptr, &abc), nullptr);
    vx_str no_data{nullptr, 50};
    vx_strcat(&dst, &no_data);
    EXPECT_EQ(text_of(&dst), "abab");
    // A destination without data takes no bytes.
    vx_str nowhere{nullptr, 0};
    vx_strcpy(&nowhere, &abc);
    EXPECT_EQ(nowhere.len, 0u);
}

TEST_F(ArenaTest, CopiesTrimAndCase) {
    vx_str padded = view(" \t\r\n\v\fHi There\x0b "), empty = view(""), spaces = view(" \n\t ");
    vx_str *t = vx_strtrim(arena, &padded);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(text_of(t), "Hi There");
    EXPECT_EQ(t->data[t->len], '\0');
    EXPECT_EQ(vx_strtrim(arena, &spaces)->len, 0u);
    EXPECT_EQ(vx_strtrim(arena, &empty)->len, 0u);
    // Bytes outside 9..13 and 32 are not whitespace.
    vx_str other = view("\x08x\x0e");
    EXPECT_EQ(vx_strtrim(arena, &other)->len, 3u);

    vx_str mixed = view("AbZ az@[`{\xc9");
    EXPECT_EQ(text_of(vx_strtolower(arena, &mixed)), "abz az@[`{\xc9");
    EXPECT_EQ(text_of(vx_strtoupper(arena, &mixed)), "ABZ AZ@[`{\xc9");

    char raw[] = {'x', '\0', 'y'};
    vx_str with_zero{raw, 3};
    vx_str *copy = vx_strdup(arena, &with_zero);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->data, raw);
    EXPECT_EQ(copy->len, 3u);
    EXPECT_EQ(memcmp(copy->data, raw, 3), 0);
    vx_str *e = vx_strdup(arena, &empty);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->len, 0u);

    vx_str no_data{nullptr, 0};
    EXPECT_EQ(vx_strdup(arena, &no_data), nullptr);
    EXPECT_EQ(vx_strdup(arena, nullptr), nullptr);
    EXPECT_EQ(vx_strdup(nullptr, &mixed), nullptr);
    EXPECT_EQ(vx_strtrim(arena, &no_data), nullptr);
    EXPECT_EQ(vx_strtoupper(arena, nullptr), nullptr);
}

TEST_F(ArenaTest, HugeLengthsFailWithoutReading) {
    char one = 'x';
    vx_str huge{&one, UINT64_MAX};
    EXPECT_EQ(vx_strdup(arena, &huge), nullptr);
    vx_str big{&one, 1ull << 62};  // no arena block can be that large
    EXPECT_EQ(vx_strdup(arena, &big), nullptr);
    EXPECT_EQ(vx_strtolower(arena, &big), nullptr);
}

TEST_F(ArenaTest, Replace) {
    auto replace = [&](const char *s, const char *f, const char *r) {
        vx_str sv = view(s), fv = view(f), rv = view(r);
        return text_of(vx_strreplace(arena, &sv, &fv, &rv));
    };
    EXPECT_EQ(replace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replace("a.b.c", ".", "::"), "a::b::c");
    EXPECT_EQ(replace("abc", "", "x"), "abc");
    EXPECT_EQ(replace("ab", "abc", "x"), "ab");
    EXPECT_EQ(replace("xyxy", "xy", ""), "");
    EXPECT_EQ(replace("abab", "ab", "abab"), "abababab");
    EXPECT_EQ(replace("nothing", "q", "zz"), "nothing");
    vx_str s = view("abc"), f = view("b"), nodata{nullptr, 0};
    EXPECT_EQ(vx_strreplace(arena, &s, nullptr, &f), nullptr);
    EXPECT_EQ(vx_strreplace(arena, &s, &f, &nodata), nullptr);
    EXPECT_EQ(vx_strreplace(arena, &s, &nodata, &f), nullptr);

    // A result whose length overflows 64 bits is refused, not wrapped.
    std::string many(64, 'a');
    char one = 'z';
    vx_str src = view(many.c_str()), find = view("a"), repl{&one, UINT64_MAX / 32};
    EXPECT_EQ(vx_strreplace(arena, &src, &find, &repl), nullptr);
}

TEST_F(ArenaTest, NumberTexts) {
    EXPECT_EQ(text_of(vx_lltostr(arena, 0)), "0");
    EXPECT_EQ(text_of(vx_lltostr(arena, -42)), "-42");
    EXPECT_EQ(text_of(vx_lltostr(arena, INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(text_of(vx_lltostr(arena, INT64_MAX)), "9223372036854775807");

    EXPECT_EQ(text_of(vx_dtostr(arena, 3, 2.9999)), "2.999");
    EXPECT_EQ(text_of(vx_dtostr(arena, 0, -7.8)), "-7");
    EXPECT_EQ(text_of(vx_dtostr(arena, -5, 1.5)), "1");
    EXPECT_EQ(text_of(vx_dtostr(arena, 2, 0.25)), "0.25");
    EXPECT_EQ(text_of(vx_dtostr(arena, 2, -0.5)), "-0.50");
    EXPECT_EQ(text_of(vx_dtostr(arena, 1, -0.0)), "0.0");
    EXPECT_EQ(text_of(vx_dtostr(arena, 4, 0.1)), "0.1000");
    EXPECT_EQ(text_of(vx_dtostr(arena, 0, 18446744073709549568.0)), "18446744073709549568");
    // Integer parts beyond 64 bits keep every digit.
    EXPECT_EQ(text_of(vx_dtostr(arena, 0, 1e20)), "100000000000000000000");
    EXPECT_EQ(text_of(vx_dtostr(arena, 1, -18446744073709551616.0)), "-18446744073709551616.0");
    vx_str *max = vx_dtostr(arena, 0, 1.7976931348623157e308);
    ASSERT_NE(max, nullptr);
    EXPECT_EQ(max->len, 309u);
    EXPECT_EQ(std::string(max->data, 20), "17976931348623157081");
    EXPECT_EQ(std::string(max->data + 289), "50404026184124858368");
    EXPECT_EQ(std::string(max->data + 300), "124858368");
    EXPECT_EQ(text_of(vx_dtostr(arena, 2, 1.0 / 0.0)), "inf");
    EXPECT_EQ(text_of(vx_dtostr(arena, 2, -1.0 / 0.0)), "-inf");
    EXPECT_EQ(text_of(vx_dtostr(arena, 2, 0.0 / 0.0)), "nan");
    vx_str *many = vx_dtostr(arena, 1000, 0.5);
    ASSERT_NE(many, nullptr);
    EXPECT_EQ(many->len, 1002u);
    EXPECT_EQ(vx_dtostr(nullptr, 1, 1.0), nullptr);
}

TEST_F(ArenaTest, MinimalFormatter) {
    vx_str *s = vx_strprintf(arena, "%d-%s", (int64_t)42, "x");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(text_of(s), "42-x");
    EXPECT_EQ(s->len, 4u);
    EXPECT_EQ(text_of(vx_strprintf(arena, "%i|%u|%c|%%|%f", (int64_t)INT64_MIN, (uint64_t)UINT64_MAX, 'Q', -2.75)),
              "-9223372036854775808|18446744073709551615|Q|%|-2.750000");
    // No width: "%5" writes the 5 and the d is ordinary text.
    EXPECT_EQ(text_of(vx_strprintf(arena, "%s %5d %q %", (const char *)nullptr)), "(null) 5d q ");
    EXPECT_EQ(text_of(vx_strprintf(arena, "%f", 0.1)), "0.100000");
    EXPECT_EQ(text_of(vx_strprintf(arena, "")), "");
    EXPECT_EQ(vx_strprintf(arena, nullptr), nullptr);
    std::string longer(5000, 'k');
    EXPECT_EQ(vx_strprintf(arena, "<%s>", longer.c_str())->len, 5002u);

    char buf[8];
    auto run = [&](char *b, uint64_t size, const char *fmt, ...) {
        va_list args;
        va_start(args, fmt);
        uint64_t n = format_minimal(b, size, fmt, args);
        va_end(args);
        return n;
    };
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(run(buf, 0, "abc"), 0u);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(run(buf, 1, "abc"), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], '#');
    EXPECT_EQ(run(buf, 5, "%s!", "abcdef"), 4u);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(run(buf, 8, "%f", 12345.5), 7u);
    EXPECT_STREQ(buf, "12345.5");
    EXPECT_EQ(run(buf, 8, "%d", (int64_t)-1234567890), 7u);
    EXPECT_STREQ(buf, "-123456");
}

TEST_F(ArenaTest, Split) {
    vx_str dot = view(".");
    auto split = [&](const char *s, const char *delims, int64_t max) {
        vx_str sv = view(s), dv = view(delims);
        vx_str **tokens = vx_strsplitn(arena, &sv, &dv, max);
        EXPECT_NE(tokens, nullptr);
        return tokens_of(tokens);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(split("a..b", ".", 0), (V{"a", "", "b"}));
    EXPECT_EQ(split("a.", ".", 0), (V{"a"}));
    EXPECT_EQ(split(".", ".", 0), (V{""}));
    EXPECT_EQ(split(".a", ".", 0), (V{"", "a"}));
    EXPECT_EQ(split("", ".", 0), V{});
    EXPECT_EQ(split("abc", ".", 0), (V{"abc"}));
    EXPECT_EQ(split("a,b,c", ",", 2), (V{"a", "b"}));
    EXPECT_EQ(split("a,b,c", ",", 3), (V{"a", "b", "c"}));
    EXPECT_EQ(split("a,b,c", ",", -1), (V{"a", "b", "c"}));
    EXPECT_EQ(split("abc", ",", 1), (V{"abc"}));
    EXPECT_EQ(split("a, b;c", ", ;", 0), (V{"a", "", "b", "c"}));
    EXPECT_EQ(split("a.b", "", 0), (V{"a.b"}));

    // Delimiters are looked for only inside the view.
    vx_str cut{(char *)"ab.cd", 2};
    EXPECT_EQ(tokens_of(vx_strsplit(arena, &cut, &dot)), (V{"ab"}));
    // High bytes work as delimiters too.
    vx_str high = view("x\xffy"), hd = view("\xff");
    EXPECT_EQ(tokens_of(vx_strsplit(arena, &high, &hd)), (V{"x", "y"}));

    vx_str s = view("a.b"), nodata{nullptr, 3};
    EXPECT_EQ(vx_strsplit(arena, &s, nullptr), nullptr);
    EXPECT_EQ(vx_strsplit(arena, &nodata, &dot), nullptr);
    EXPECT_EQ(vx_strsplit(arena, &s, &nodata), nullptr);
    EXPECT_EQ(vx_strsplit(nullptr, &s, &dot), nullptr);
}

TEST(StringParse, Integers) {
    auto parse = [](const char *text, int base, uint64_t *end) {
        vx_str s = view(text);
        return vx_strtoll(&s, end, base);
    };
    uint64_t end = 99;
    EXPECT_EQ(parse(" -0x1A", 0, &end), -26);
    EXPECT_EQ(end, 6u);
    EXPECT_EQ(parse("0777", 0, &end), 511);
    EXPECT_EQ(end, 4u);
    EXPECT_EQ(parse("12abc", 10, &end), 12);
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(parse("0x1A", 16, &end), 0);  // no prefix with an explicit base
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(parse("zZ", 36, &end), 35 * 36 + 35);
    EXPECT_EQ(parse("+101", 2, &end), 5);
    EXPECT_EQ(end, 4u);
    EXPECT_EQ(parse("08", 0, &end), 0);
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(parse("  \t", 10, &end), 0);
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(parse("", 10, &end), 0);
    EXPECT_EQ(end, 0u);
    EXPECT_EQ(parse("-9223372036854775808", 10, &end), INT64_MIN);
    EXPECT_EQ(parse("18446744073709551617", 10, &end), 1);  // wraps, no overflow check
    EXPECT_EQ(parse("42", 1, &end), 0);
    EXPECT_EQ(end, 0u);
    EXPECT_EQ(parse("42", 37, nullptr), 0);
    EXPECT_EQ(parse("42", 10, nullptr), 42);
    EXPECT_EQ(vx_strtoll(nullptr, &end, 10), 0);
    EXPECT_EQ(end, 0u);
    // Digits past the view's length are not read.
    vx_str cut{(char *)"123456", 3};
    EXPECT_EQ(vx_strtoll(&cut, &end, 10), 123);
    EXPECT_EQ(end, 3u);
}

TEST(StringParse, Doubles) {
    auto parse = [](const char *text, uint64_t *end) {
        vx_str s = view(text);
        return vx_strtod(&s, end);
    };
    uint64_t end = 99;
    EXPECT_EQ(parse("-2.5e2", &end), -250.0);
    EXPECT_EQ(end, 6u);
    EXPECT_EQ(parse("abc", &end), 0.0);
    EXPECT_EQ(end, 0u);
    EXPECT_EQ(parse(" \n", &end), 0.0);
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(parse("1.5x", &end), 1.5);
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(parse("+.5", &end), 0.5);
    EXPECT_EQ(parse("4E-1", &end), 4 * 0.1);
    EXPECT_EQ(parse("3e", &end), 3.0);  // a marker without digits is not an exponent
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(parse("3e+", &end), 3.0);
    EXPECT_EQ(end, 1u);
    // The value is built by repeated multiplication, so 0.3 is 0.1*3 exactly.
    EXPECT_EQ(parse("0.3", &end), 3 * 0.1);
    EXPECT_EQ(parse("12.25", &end), 12.0 + 2 * 0.1 + 5 * (0.1 * 0.1));
    // Hostile exponents end quickly at infinity or zero.
    EXPECT_EQ(parse("1e99999999999999999999", &end), 1.0 / 0.0);
    EXPECT_EQ(end, 22u);
    EXPECT_EQ(parse("-1e-99999999999999999999", &end), -0.0);
    EXPECT_EQ(parse("0e999999", &end), 0.0);
    std::string digits(400, '9');
    EXPECT_EQ(parse(digits.c_str(), &end), 1.0 / 0.0);
    EXPECT_EQ(vx_strtod(nullptr, &end), 0.0);
    EXPECT_EQ(end, 0u);
}

TEST_F(ArenaTest, NumberTextsRoundTrip) {
    vx_srand(99);
    for (int i = 0; i < 1000; i++) {
        int64_t v = (int64_t)vx_rand();
        vx_str *text = vx_lltostr(arena, v);
        ASSERT_NE(text, nullptr);
        uint64_t end = 0;
        EXPECT_EQ(vx_strtoll(text, &end, 0), v);
        EXPECT_EQ(end, text->len);
        EXPECT_EQ(std::string(text->data), std::to_string(v));
    }
}

TEST(StringThreads, IndependentArenasInParallel) {
    // Nothing here is shared: each thread splits and joins in its own arena.
    auto work = [](int seed, bool *ok) {
        vx_arena *arena = nullptr;
        if (vx_arena_create(0, &arena) != VX_OK) return;
        *ok = true;
        for (int i = 0; i < 500; i++) {
            vx_str *text = vx_strprintf(arena, "%d.%d.%d", (int64_t)seed, (int64_t)i, (int64_t)(i * 2));
            vx_str dot = view(".");
            vx_str **parts = vx_strsplit(arena, text, &dot);
            if (!parts || !parts[2] || parts[3] || vx_strtoll(parts[1], nullptr, 10) != i) *ok = false;
        }
        vx_arena_destroy(arena);
    };
    bool ok[4] = {false, false, false, false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) threads.emplace_back(work, t, &ok[t]);
    for (auto &t : threads) t.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

}  // namespace
