// Scalar mathematics: fixed values, and every function checked bit for bit
// against a plain step-by-step statement of its iteration.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

#include "vexal.h"

namespace {

uint32_t fbits(float x) {
    uint32_t u;
    memcpy(&u, &x, 4);
    return u;
}
float ffrom(uint32_t u) {
    float x;
    memcpy(&x, &u, 4);
    return x;
}
uint64_t dbits(double x) {
    uint64_t u;
    memcpy(&u, &x, 8);
    return u;
}
double dfrom(uint64_t u) {
    double x;
    memcpy(&x, &u, 8);
    return x;
}
bool is_nan(float x) { return x != x; }
bool is_nan(double x) { return x != x; }

#define EXPECT_SAME_F32(a, b) EXPECT_EQ(fbits(a), fbits(b)) << (a) << " vs " << (b)
#define EXPECT_SAME_F64(a, b) EXPECT_EQ(dbits(a), dbits(b)) << (a) << " vs " << (b)

/* ---- reference statements -------------------------------------------------- */

float ref_sqrt_f32(float x) {
    if (x <= 0) return 0.0f;
    float half = 0.5f * x;
    float y = ffrom(0x5f3759d5u - (fbits(x) >> 1));
    y = y * (1.5f - (half * y) * y);
    y = y * (1.5f - (half * y) * y);
    y = y * (1.5f - (half * y) * y);
    return y * x;
}

double ref_sqrt_f64(double x) {
    if (x <= 0) return 0.0;
    double half = 0.5 * x;
    double y = dfrom(0x5fe6eb50c7b537a9ull - (dbits(x) >> 1));
    y = y * (1.5 - (half * y) * y);
    y = y * (1.5 - (half * y) * y);
    y = y * (1.5 - (half * y) * y);
    return y * x;
}

double ref_expm1(double x) {
    if (x == 0) return 0.0;
    if (x > 50) return 1e20;
    if (x < -50) return -1.0;
    double sum = 0, term = x;
    int k = 1;
    while (true) {
        k = k + 1;
        sum = sum + term;
        term = term * (x / k);
        if ((term < 0 ? -term : term) < 1e-15) break;
        if (k == 101) break;
    }
    return sum;
}

float ref_log_f32(float x) {
    if (x <= 0) return -1e30f;
    int k = 0;
    while (x >= 2) { x = x * 0.5f; k++; }
    while (x < 1) { x = x + x; k--; }
    float s = (x - 1) / (x + 1), s2 = s * s, sum = 0, p = s;
    for (int i = 1; i <= 49; i += 2) { sum = sum + p / (float)i; p = p * s2; }
    return (float)k * ffrom(0x3f317218u) + (sum + sum);
}

double ref_log_f64(double x) {
    if (x <= 0) return -1e300;
    int k = 0;
    while (x >= 2) { x = x * 0.5; k++; }
    while (x < 1) { x = x + x; k--; }
    double s = (x - 1) / (x + 1), s2 = s * s, sum = 0, p = s;
    for (int i = 1; i <= 99; i += 2) { sum = sum + p / (double)i; p = p * s2; }
    return (double)k * dfrom(0x3fe62e42fefa39efull) + (sum + sum);
}

double ref_log1p(double x) {
    if (x == 0) return 0.0;
    if (x <= -1) return -1e300;
    if (x > 0.001 || x < -0.001) return ref_log_f64(x + 1.0);
    double sum = 0, p = x;
    for (int i = 1; i <= 100; i++) {
        sum = sum + p / i;
        p = p * (-x);
        if ((p < 0 ? -p : p) < 1e-15) break;
    }
    return sum;
}

// The plain reduction loops; only for arguments where they end.
template <typename F> F ref_reduce(F x, F pi, F two_pi) {
    while (x > pi) x = x - two_pi;
    while (x < -pi) x = x + two_pi;
    return x;
}

float ref_cos_f32(float x) {
    x = ref_reduce(x, ffrom(0x40490fdbu), ffrom(0x40c90fdbu));
    float a = -(x * x), term = 1, sum = 1;
    int i = 2;
    while (true) {
        term = term * (a / ((float)(i - 1) * (float)i));
        sum = sum + term;
        if ((term < 0 ? -term : term) < ffrom(0x26901d7du)) break;
        i = i + 2;
        if (i == 42) break;
    }
    return sum;
}

float ref_sin_f32(float x) {
    x = ref_reduce(x, ffrom(0x40490fdbu), ffrom(0x40c90fdbu));
    float a = -(x * x), term = x, sum = x;
    int i = 2;
    while (true) {
        term = term * (a / ((float)(i + 1) * (float)i));
        sum = sum + term;
        if ((term < 0 ? -term : term) < ffrom(0x26901d7du)) break;
        i = i + 2;
        if (i == 42) break;
    }
    return sum;
}

double ref_cos_f64(double x) {
    x = ref_reduce(x, 3.141592653589793, 6.283185307179586);
    double a = -(x * x), term = 1, sum = 1;
    int i = 2;
    while (true) {
        term = term * (a / ((double)(i - 1) * (double)i));
        sum = sum + term;
        if ((term < 0 ? -term : term) < 1e-15) break;
        i = i + 2;
        if (i == 202) break;
    }
    return sum;
}

double ref_sin_f64(double x) {
    x = ref_reduce(x, 3.141592653589793, 6.283185307179586);
    double a = -(x * x), term = x, sum = x;
    int i = 2;
    while (true) {
        term = term * (a / ((double)(i + 1) * (double)i));
        sum = sum + term;
        if ((term < 0 ? -term : term) < 1e-15) break;
        i = i + 2;
        if (i == 202) break;
    }
    return sum;
}

// Arguments spread over many binades, both signs, plus bit-pattern neighbours.
std::vector<float> float_args(uint32_t seed, int count, float max_abs) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> expo(-30.0f, 30.0f);
    std::uniform_real_distribution<float> unit(1.0f, 2.0f);
    std::vector<float> out;
    for (int i = 0; i < count; ++i) {
        int e = (int)expo(gen);
        float v = unit(gen);
        for (; e > 0; --e) v *= 2;
        for (; e < 0; ++e) v *= 0.5f;
        if (v > max_abs) v = max_abs * unit(gen) * 0.5f;
        out.push_back((gen() & 1) ? -v : v);
    }
    return out;
}

}  // namespace

TEST(MathFixedValues, RootsMatchTheirDocumentedBits) {
    EXPECT_EQ(fbits(vx_math_sqrt_f32(2.0f)), 0x3fb504f4u);
    EXPECT_SAME_F32(vx_math_sqrt_f32(4.0f), 2.0f);
    EXPECT_SAME_F64(vx_math_sqrt_f64(4.0), 1.9999999999447582);
    EXPECT_SAME_F64(vx_math_sqrt_f64(1.0), 0.9999999999723791);
    // Non-positive arguments give +0.0, never NaN or -0.0.
    EXPECT_EQ(fbits(vx_math_sqrt_f32(-4.0f)), 0u);
    EXPECT_EQ(fbits(vx_math_sqrt_f32(-0.0f)), 0u);
    EXPECT_EQ(dbits(vx_math_sqrt_f64(-0.0)), 0u);
    EXPECT_TRUE(is_nan(vx_math_sqrt_f32(ffrom(0x7fc00000u))));
    EXPECT_TRUE(is_nan(vx_math_sqrt_f64(dfrom(0x7ff8000000000000ull))));
    // The Newton steps would turn +infinity into -infinity.
    EXPECT_SAME_F32(vx_math_sqrt_f32(ffrom(0x7f800000u)), ffrom(0x7f800000u));
    EXPECT_SAME_F64(vx_math_sqrt_f64(dfrom(0x7ff0000000000000ull)), dfrom(0x7ff0000000000000ull));
    EXPECT_EQ(fbits(vx_math_sqrt_f32(ffrom(0x7f7fffffu))) >> 31, 0u);
}

TEST(MathFixedValues, LogarithmsAndExpm1) {
    EXPECT_EQ(fbits(vx_math_log_f32(0.0f)), 0xf149f2cau);
    EXPECT_EQ(fbits(vx_math_log_f32(-3.0f)), 0xf149f2cau);
    EXPECT_SAME_F64(vx_math_log_f64(0.0), -1e300);
    EXPECT_SAME_F64(vx_math_log_f64(-1e-300), -1e300);
    EXPECT_SAME_F32(vx_math_log_f32(1.0f), 0.0f);
    EXPECT_EQ(fbits(vx_math_log_f32(2.0f)), 0x3f317218u);
    EXPECT_SAME_F32(vx_math_log_f32(ffrom(0x7f800000u)), ffrom(0x7f800000u));
    EXPECT_SAME_F64(vx_math_log_f64(dfrom(0x7ff0000000000000ull)), dfrom(0x7ff0000000000000ull));
    EXPECT_SAME_F64(vx_math_log1p(dfrom(0x7ff0000000000000ull)), dfrom(0x7ff0000000000000ull));
    EXPECT_TRUE(is_nan(vx_math_log_f32(ffrom(0x7fc00000u))));
    // Subnormals double up into range rather than looping.
    EXPECT_SAME_F32(vx_math_log_f32(ffrom(1u)), ref_log_f32(ffrom(1u)));
    EXPECT_SAME_F64(vx_math_log_f64(dfrom(1u)), ref_log_f64(dfrom(1u)));

    EXPECT_SAME_F64(vx_math_expm1(51.0), 1e20);
    EXPECT_SAME_F64(vx_math_expm1(-51.0), -1.0);
    EXPECT_SAME_F64(vx_math_expm1(-0.0), 0.0);
    EXPECT_SAME_F64(vx_math_expm1(1e-5), 1.0000050000000001e-5);
    EXPECT_NEAR(vx_math_expm1(1.0), 1.718281828459045, 1e-14);

    EXPECT_SAME_F64(vx_math_log1p(-1.0), -1e300);
    EXPECT_SAME_F64(vx_math_log1p(-0.0), 0.0);
    EXPECT_SAME_F64(vx_math_log1p(0.002), vx_math_log_f64(1.002));
    // 0.0005 takes the series, which differs from the logarithm of 1.0005.
    EXPECT_SAME_F64(vx_math_log1p(0.0005), ref_log1p(0.0005));
    EXPECT_NEAR(vx_math_log1p(0.0005), 4.99875041651042e-4, 1e-16);
}

TEST(MathFixedValues, TrigonometryAndClamp) {
    EXPECT_SAME_F32(vx_math_cos_f32(0.0f), 1.0f);
    EXPECT_SAME_F32(vx_math_sin_f32(0.0f), 0.0f);
    EXPECT_SAME_F64(vx_math_cos_f64(0.0), 1.0);
    EXPECT_SAME_F32(vx_math_cos_f32(3.0f), vx_math_cos_f32(-3.0f));
    EXPECT_SAME_F32(vx_math_sin_f32(-3.0f), -vx_math_sin_f32(3.0f));
    EXPECT_NEAR(vx_math_cos_f32(1.0f), 0.5403023f, 1e-6f);
    EXPECT_NEAR(vx_math_sin_f64(1.0), 0.8414709848078965, 1e-14);

    EXPECT_SAME_F32(vx_math_abs_f32(-0.0f), -0.0f);
    EXPECT_SAME_F32(vx_math_abs_f32(-2.5f), 2.5f);
    EXPECT_SAME_F64(vx_math_abs_f64(-0.0), -0.0);
    EXPECT_EQ(fbits(vx_math_abs_f32(ffrom(0xffc00001u))), 0xffc00001u);  // NaN unchanged

    EXPECT_EQ(vx_math_clamp_f32(3, 5, 1), 5.0f);
    EXPECT_EQ(vx_math_clamp_f32(7, 5, 1), 1.0f);
    EXPECT_EQ(vx_math_clamp_f32(0.5f, 0, 1), 0.5f);
    EXPECT_EQ(vx_math_clamp_f64(-2, -1, 1), -1.0);
    float nan = ffrom(0x7fc00000u);
    EXPECT_TRUE(is_nan(vx_math_clamp_f32(nan, 0, 1)));
    EXPECT_EQ(vx_math_clamp_f32(5, nan, 1), 1.0f);
    EXPECT_EQ(vx_math_clamp_f32(-5, 0, nan), 0.0f);
    EXPECT_EQ(vx_math_clamp_f64(5, nan, nan), 5.0);
}

TEST(MathAgainstReference, RootsLogsAndSeriesOverManyArguments) {
    std::vector<float> args = float_args(7, 20000, 3e38f);
    for (float x : args) {
        ASSERT_EQ(fbits(vx_math_sqrt_f32(x)), fbits(ref_sqrt_f32(x))) << x;
        ASSERT_EQ(fbits(vx_math_log_f32(x)), fbits(ref_log_f32(x))) << x;
        double d = (double)x * 1.000000123;
        ASSERT_EQ(dbits(vx_math_sqrt_f64(d)), dbits(ref_sqrt_f64(d))) << d;
        ASSERT_EQ(dbits(vx_math_log_f64(d)), dbits(ref_log_f64(d))) << d;
    }
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> wide(-60.0, 60.0), narrow(-0.0011, 0.0011);
    for (int i = 0; i < 20000; ++i) {
        double x = wide(gen);
        ASSERT_EQ(dbits(vx_math_expm1(x)), dbits(ref_expm1(x))) << x;
        ASSERT_EQ(dbits(vx_math_log1p(x)), dbits(ref_log1p(x))) << x;
        double y = narrow(gen);
        ASSERT_EQ(dbits(vx_math_expm1(y)), dbits(ref_expm1(y))) << y;
        ASSERT_EQ(dbits(vx_math_log1p(y)), dbits(ref_log1p(y))) << y;
    }
}

TEST(MathAgainstReference, TrigonometryMatchesThePlainReductionLoop) {
    // Every argument whose plain loop ends must give exactly the loop's
    // result, including where the accelerated reduction crosses binades.
    std::vector<float> args = float_args(3, 4000, 1e5f);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> e(0.0f, 26.9f);
    for (int i = 0; i < 200; ++i) {  // log-uniform up to 2^26.9
        float v = 1.0f;
        for (float k = e(gen); k >= 1.0f; k -= 1.0f) v *= 2.0f;
        v *= std::uniform_real_distribution<float>(1.0f, 1.9f)(gen);
        args.push_back((i & 1) ? -v : v);
    }
    for (float b : {1024.0f, 2048.0f, 65536.0f, 8388608.0f, 67108864.0f}) {
        args.push_back(b);
        args.push_back(ffrom(fbits(b) + 1));
        args.push_back(ffrom(fbits(b) - 1));
        args.push_back(b + 6.2831855f);
    }
    args.push_back(ffrom(0x4cffffffu));  // largest float below 2^27
    for (float x : args) {
        ASSERT_EQ(fbits(vx_math_cos_f32(x)), fbits(ref_cos_f32(x))) << x;
        ASSERT_EQ(fbits(vx_math_sin_f32(x)), fbits(ref_sin_f32(x))) << x;
    }

    std::vector<double> dargs;
    std::uniform_real_distribution<double> de(0.0, 24.0);
    for (int i = 0; i < 300; ++i) {
        double v = 1.0;
        for (double k = de(gen); k >= 1.0; k -= 1.0) v *= 2.0;
        v *= std::uniform_real_distribution<double>(1.0, 1.99)(gen);
        dargs.push_back((i & 1) ? -v : v);
    }
    for (double b : {64.0, 128.0, 1024.0, 4096.0, 1048576.0}) {
        dargs.push_back(b);
        dargs.push_back(dfrom(dbits(b) + 1));
        dargs.push_back(dfrom(dbits(b) - 1));
        dargs.push_back(b + 3.0);
    }
    for (double x : dargs) {
        ASSERT_EQ(dbits(vx_math_cos_f64(x)), dbits(ref_cos_f64(x))) << x;
        ASSERT_EQ(dbits(vx_math_sin_f64(x)), dbits(ref_sin_f64(x))) << x;
    }
}

TEST(MathTrigonometry, EveryArgumentTerminates) {
    float inf = ffrom(0x7f800000u);
    EXPECT_TRUE(is_nan(vx_math_cos_f32(inf)));
    EXPECT_TRUE(is_nan(vx_math_sin_f32(-inf)));
    EXPECT_TRUE(is_nan(vx_math_cos_f32(ffrom(0x7fc00000u))));
    EXPECT_TRUE(is_nan(vx_math_cos_f64(dfrom(0x7ff0000000000000ull))));
    EXPECT_TRUE(is_nan(vx_math_sin_f64(dfrom(0xfff0000000000000ull))));
    // Arguments the subtraction cannot change, and huge doubles whose plain
    // loop would take years, still give values in [-1, 1].
    for (float x : {134217728.0f, 1e9f, 3e38f, -3e38f, ffrom(0x7f7fffffu)}) {
        float c = vx_math_cos_f32(x), s = vx_math_sin_f32(x);
        EXPECT_TRUE(c >= -1.0f && c <= 1.0f) << x << " " << c;
        EXPECT_TRUE(s >= -1.0f && s <= 1.0f) << x << " " << s;
        EXPECT_NEAR(c * c + s * s, 1.0f, 1e-5f) << x;
    }
    for (double x : {1e12, 7.2e16, 1e100, -1e300, 1.7976931348623157e308}) {
        double c = vx_math_cos_f64(x), s = vx_math_sin_f64(x);
        EXPECT_TRUE(c >= -1.0 && c <= 1.0) << x << " " << c;
        EXPECT_TRUE(s >= -1.0 && s <= 1.0) << x << " " << s;
        EXPECT_NEAR(c * c + s * s, 1.0, 1e-9) << x;
    }
    // 2^27 itself still steps down into the finer binade below; 2^27 + 16 is
    // the first float the subtraction cannot change. It is reduced modulo
    // the working 2pi exactly: 2^27 + 16 = 21361416 * 2pi_f32 + 5.113300323486328.
    float stuck = 134217744.0f;
    ASSERT_EQ(stuck - 6.2831855f, stuck);
    float rest = 5.113300323486328f - 6.2831855f;
    EXPECT_SAME_F32(vx_math_sin_f32(stuck), vx_math_sin_f32(rest));
    EXPECT_SAME_F32(vx_math_cos_f32(-stuck), vx_math_cos_f32(-rest));
    EXPECT_SAME_F32(vx_math_sin_f32(-stuck), vx_math_sin_f32(-rest));
}
