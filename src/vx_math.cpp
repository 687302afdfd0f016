// Scalar mathematics: roots, logarithms, series and clamping.
//
// The library links no mathematics library. These are simple iterations whose
// results are not correctly rounded; callers (distances, quantizer codes,
// random vectors) see exactly these results, so the constants, step counts,
// stopping rules and operation order below are part of the contract. Every
// operation runs in the function's own precision; the build forbids FMA
// contraction.
#include "vexal.h"

#include <stdint.h>
#include <string.h>

namespace {

inline uint32_t float_bits(float x) {
    uint32_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}

inline float float_from_bits(uint32_t u) {
    float x;
    memcpy(&x, &u, sizeof x);
    return x;
}

inline uint64_t double_bits(double x) {
    uint64_t u;
    memcpy(&u, &x, sizeof u);
    return u;
}

inline double double_from_bits(uint64_t u) {
    double x;
    memcpy(&x, &u, sizeof x);
    return x;
}

inline bool is_inf_or_nan(float x) { return (float_bits(x) & 0x7f800000u) == 0x7f800000u; }
inline bool is_inf_or_nan(double x) {
    return (double_bits(x) & 0x7ff0000000000000ull) == 0x7ff0000000000000ull;
}
inline bool is_pos_inf(float x) { return float_bits(x) == 0x7f800000u; }
inline bool is_pos_inf(double x) { return double_bits(x) == 0x7ff0000000000000ull; }

/* ---- range reduction for the cosine and sine --------------------------------
 *
 * The defined reduction is: while x > pi, x = x - 2pi; then while x < -pi,
 * x = x + 2pi, each subtraction rounded in the working precision. Run step by
 * step that takes |x| / 2pi iterations, which for large doubles never ends in
 * practice, and once 2pi is less than half a unit in the last place of x the
 * subtraction no longer changes x and the loop would spin forever.
 *
 * Exact acceleration: inside one binade [B, 2B) with unit u, every step whose
 * exact result stays at or above B rounds onto the grid of u, so it subtracts
 * the same multiple d of u each time (after at most one step that settles the
 * parity when 2pi falls exactly halfway between two multiples of u). Such a
 * run of steps is therefore replaced by one exact subtraction of k * d, with k
 * counted in integers; the steps that cross a binade boundary are taken one at
 * a time. The result is bit for bit the value the plain loop reaches.
 *
 * Stuck arguments: when a step leaves x unchanged the loop cannot end. Such x
 * are reduced instead by the exact remainder of x divided by the
 * working-precision 2pi (computed on the integer significands, as a fmod
 * would), which is what the subtraction loop would approach if its steps were
 * exact; the result is then clamped to [-1, 1].
 */

template <typename F> struct FloatTraits;

template <> struct FloatTraits<float> {
    typedef uint32_t Bits;
    static const int MANT = 23;
    static const int EXP_BIAS = 127;
    static Bits bits(float x) { return float_bits(x); }
    static float from_bits(Bits b) { return float_from_bits(b); }
};

template <> struct FloatTraits<double> {
    typedef uint64_t Bits;
    static const int MANT = 52;
    static const int EXP_BIAS = 1023;
    static Bits bits(double x) { return double_bits(x); }
    static double from_bits(Bits b) { return double_from_bits(b); }
};

// Largest power of two not above x (x positive, normal).
template <typename F> F binade_floor(F x) {
    typedef FloatTraits<F> T;
    typename T::Bits b = T::bits(x);
    b &= ~(((typename T::Bits)1 << T::MANT) - 1);
    return T::from_bits(b);
}

// Power of two 2^e for e in the normal range.
template <typename F> F pow2(int e) {
    typedef FloatTraits<F> T;
    return T::from_bits((typename T::Bits)(e + T::EXP_BIAS) << T::MANT);
}

// Smallest integer >= v for 0 <= v < 2^62 (v exact).
template <typename F> int64_t ceil_to_int(F v) {
    int64_t t = (int64_t)v;
    return ((F)t < v) ? t + 1 : t;
}

// Runs "while (x > pi) x = x - two_pi" for a positive x. Returns false when the
// loop would never end (a step leaves x unchanged).
template <typename F> bool reduce_positive(F &x, F pi, F two_pi) {
    typedef FloatTraits<F> T;
    // Below 2^10 the plain loop costs at most a few hundred steps.
    const F plain_limit = pow2<F>(10);
    while (x > pi) {
        if (x < plain_limit) {
            x = x - two_pi;
            continue;
        }
        // Two single steps: the first may settle a halfway parity, the second
        // shows the steady decrement of the binade of its result.
        F y1 = x - two_pi;
        if (y1 == x) return false;
        F y2 = y1 - two_pi;
        if (y2 == y1) return false;
        x = y2;
        F b = binade_floor(y2);
        if (binade_floor(y1) != b || !(x > pi)) continue;
        // Steps from y stay in this binade while y - two_pi >= b.
        F u = b * pow2<F>(-T::MANT);        // unit in the last place, exact
        int64_t m = (int64_t)((y2 - b) / u);  // y2 - b is exact (Sterbenz)
        int64_t dm = (int64_t)((y1 - y2) / u);
        int64_t tc = ceil_to_int<F>(two_pi / u);
        if (dm <= 0 || m < tc) continue;
        int64_t k = (m - tc) / dm + 1;
        x = b + (F)(m - k * dm) * u;  // every value here is exact on the grid
    }
    return true;
}

// Exact remainder of x (finite, >= m) modulo m (positive, finite) as fmod gives it.
template <typename F> F exact_remainder(F x, F m) {
    typedef FloatTraits<F> T;
    typedef typename T::Bits Bits;
    const Bits mant_mask = ((Bits)1 << T::MANT) - 1;
    Bits bx = T::bits(x), bm = T::bits(m);
    int ex = (int)(bx >> T::MANT), em = (int)(bm >> T::MANT);
    uint64_t mx = (uint64_t)(bx & mant_mask), mm = (uint64_t)(bm & mant_mask);
    if (ex == 0) ex = 1; else mx |= (uint64_t)1 << T::MANT;
    if (em == 0) em = 1; else mm |= (uint64_t)1 << T::MANT;
    // x = mx * 2^(ex - bias - MANT), m = mm * 2^(em - bias - MANT); ex >= em.
    uint64_t r = mx % mm;
    for (int i = ex - em; i > 0; --i) {
        r <<= 1;
        if (r >= mm) r -= mm;
    }
    // r * 2^(em - bias - MANT) is exact: r < mm fits the significand.
    return (F)r * pow2<F>(em - T::EXP_BIAS - T::MANT);
}

// Brings x into [-pi, pi] as the subtraction loops would. Sets *stuck when
// the remainder fallback was used.
template <typename F> F reduce_angle(F x, F pi, F two_pi, bool *stuck) {
    *stuck = false;
    if (x > pi) {
        F y = x;
        if (!reduce_positive(y, pi, two_pi)) {
            *stuck = true;
            y = exact_remainder(x, two_pi);
            while (y > pi) y = y - two_pi;
        }
        return y;
    }
    if (x < -pi) {
        // Round-to-nearest is symmetric: fl(-y + 2pi) == -fl(y - 2pi).
        F y = -x;
        if (!reduce_positive(y, pi, two_pi)) {
            *stuck = true;
            y = exact_remainder(-x, two_pi);
            while (y > pi) y = y - two_pi;
        }
        return -y;
    }
    return x;
}

template <typename F> F clamp_unit(F v) {
    if (v > (F)1) return (F)1;
    if (v < (F)-1) return (F)-1;
    return v;
}

const float PI_F32 = 3.14159274101257324219f;      // 0x40490fdb
const float TWO_PI_F32 = 6.28318548202514648438f;  // 0x40c90fdb
const double PI_F64 = 3.141592653589793;
const double TWO_PI_F64 = 6.283185307179586;

}  // namespace

/* ---- absolute value and roots ----------------------------------------------- */

extern "C" VX_API float vx_math_abs_f32(float x) {
    if (x < 0.0f) return float_from_bits(float_bits(x) ^ 0x80000000u);
    return x;
}

extern "C" VX_API double vx_math_abs_f64(double x) {
    if (x < 0.0) return double_from_bits(double_bits(x) ^ 0x8000000000000000ull);
    return x;
}

// Reciprocal square root from the magic constant, refined three times by
// Newton steps, times x. The iteration turns +infinity into -infinity, so
// +infinity is answered directly.
extern "C" VX_API float vx_math_sqrt_f32(float x) {
    if (x <= 0.0f) return 0.0f;
    if (is_pos_inf(x)) return x;
    float half = 0.5f * x;
    float y = float_from_bits(0x5f3759d5u - (float_bits(x) >> 1));
    for (int i = 0; i < 3; ++i) y = y * (1.5f - (half * y) * y);
    return y * x;
}

extern "C" VX_API double vx_math_sqrt_f64(double x) {
    if (x <= 0.0) return 0.0;
    if (is_pos_inf(x)) return x;
    double half = 0.5 * x;
    double y = double_from_bits(0x5fe6eb50c7b537a9ull - (double_bits(x) >> 1));
    for (int i = 0; i < 3; ++i) y = y * (1.5 - (half * y) * y);
    return y * x;
}

/* ---- exponential and logarithms --------------------------------------------- */

// e^x - 1 by its Taylor series: at most 100 terms, stopping at the first term
// below 1e-15 in magnitude (that term is not added).
extern "C" VX_API double vx_math_expm1(double x) {
    if (x == 0.0) return 0.0;
    if (x > 50.0) return 1e20;
    if (x < -50.0) return -1.0;
    double sum = 0.0;
    double term = x;
    int k = 1;
    for (;;) {
        k = k + 1;
        sum = sum + term;
        term = term * (x / (double)k);
        if (vx_math_abs_f64(term) < 1e-15) break;
        if (k >= 101) break;
    }
    return sum;
}

// ln x: halve or double x into [1, 2), then 2 * atanh((x - 1) / (x + 1)) by
// 25 terms of its series.
extern "C" VX_API float vx_math_log_f32(float x) {
    if (x <= 0.0f) return -1e30f;
    if (is_pos_inf(x)) return x;
    int k = 0;
    while (x >= 2.0f) {
        x = x * 0.5f;
        k = k + 1;
    }
    while (x < 1.0f) {
        x = x + x;
        k = k - 1;
    }
    float s = (x - 1.0f) / (x + 1.0f);
    float s2 = s * s;
    float sum = 0.0f;
    float p = s;
    for (int i = 1; i <= 49; i += 2) {
        sum = sum + p / (float)i;
        p = p * s2;
    }
    const float ln2 = 0.693147182464599609375f;  // 0x3f317218
    return (float)k * ln2 + (sum + sum);
}

extern "C" VX_API double vx_math_log_f64(double x) {
    if (x <= 0.0) return -1e300;
    if (is_pos_inf(x)) return x;
    int k = 0;
    while (x >= 2.0) {
        x = x * 0.5;
        k = k + 1;
    }
    while (x < 1.0) {
        x = x + x;
        k = k - 1;
    }
    double s = (x - 1.0) / (x + 1.0);
    double s2 = s * s;
    double sum = 0.0;
    double p = s;
    for (int i = 1; i <= 99; i += 2) {
        sum = sum + p / (double)i;
        p = p * s2;
    }
    const double ln2 = 0.6931471805599453;  // 0x3fe62e42fefa39ef
    return (double)k * ln2 + (sum + sum);
}

// ln(1 + x): the logarithm of 1 + x outside [-0.001, 0.001], inside it the
// alternating series, stopping when the next power falls below 1e-15.
extern "C" VX_API double vx_math_log1p(double x) {
    if (x == 0.0) return 0.0;
    if (x <= -1.0) return -1e300;
    if (x > 0.001 || x < -0.001) return vx_math_log_f64(x + 1.0);
    double sum = 0.0;
    double p = x;
    for (int i = 1; i <= 100; ++i) {
        sum = sum + p / (double)i;
        p = p * (-x);
        if (vx_math_abs_f64(p) < 1e-15) break;
    }
    return sum;
}

/* ---- cosine and sine ---------------------------------------------------------
 * Taylor series after reduction into [-pi, pi]; the term that ends the loop
 * (below 1e-15 in magnitude) has already been added. At most 20 terms in
 * single precision, 100 in double. Infinities and NaN give NaN. */

extern "C" VX_API float vx_math_cos_f32(float x) {
    if (is_inf_or_nan(x)) return x - x;
    bool stuck;
    x = reduce_angle(x, PI_F32, TWO_PI_F32, &stuck);
    float a = -(x * x);
    float term = 1.0f;
    float sum = 1.0f;
    for (int i = 2; i < 42; i += 2) {
        term = term * (a / ((float)(i - 1) * (float)i));
        sum = sum + term;
        if (vx_math_abs_f32(term) < 1e-15f) break;
    }
    return stuck ? clamp_unit(sum) : sum;
}

extern "C" VX_API double vx_math_cos_f64(double x) {
    if (is_inf_or_nan(x)) return x - x;
    bool stuck;
    x = reduce_angle(x, PI_F64, TWO_PI_F64, &stuck);
    double a = -(x * x);
    double term = 1.0;
    double sum = 1.0;
    for (int i = 2; i < 202; i += 2) {
        term = term * (a / ((double)(i - 1) * (double)i));
        sum = sum + term;
        if (vx_math_abs_f64(term) < 1e-15) break;
    }
    return stuck ? clamp_unit(sum) : sum;
}

extern "C" VX_API float vx_math_sin_f32(float x) {
    if (is_inf_or_nan(x)) return x - x;
    bool stuck;
    x = reduce_angle(x, PI_F32, TWO_PI_F32, &stuck);
    float a = -(x * x);
    float term = x;
    float sum = x;
    for (int i = 2; i < 42; i += 2) {
        term = term * (a / ((float)(i + 1) * (float)i));
        sum = sum + term;
        if (vx_math_abs_f32(term) < 1e-15f) break;
    }
    return stuck ? clamp_unit(sum) : sum;
}

extern "C" VX_API double vx_math_sin_f64(double x) {
    if (is_inf_or_nan(x)) return x - x;
    bool stuck;
    x = reduce_angle(x, PI_F64, TWO_PI_F64, &stuck);
    double a = -(x * x);
    double term = x;
    double sum = x;
    for (int i = 2; i < 202; i += 2) {
        term = term * (a / ((double)(i + 1) * (double)i));
        sum = sum + term;
        if (vx_math_abs_f64(term) < 1e-15) break;
    }
    return stuck ? clamp_unit(sum) : sum;
}

/* ---- clamping ----------------------------------------------------------------
 * The lower bound is tested first; a NaN bound never applies and a NaN x is
 * returned unchanged. */

extern "C" VX_API float vx_math_clamp_f32(float x, float lo, float hi) {
    if (lo > x) return lo;
    if (hi < x) return hi;
    return x;
}

extern "C" VX_API double vx_math_clamp_f64(double x, double lo, double hi) {
    if (lo > x) return lo;
    if (hi < x) return hi;
    return x;
}
