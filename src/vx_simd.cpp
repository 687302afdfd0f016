// Detects the processor's vector instructions once and applies the limit
// tests set.
#include "vx_simd_internal.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#define VX_SIMD_X86 1
#endif

// -1 until first asked; threads that race here compute the same value.
static std::atomic<int> g_detected{-1};
static std::atomic<int> g_limit{SIMD_AVX512};

static simd_level detect(void) {
#ifdef VX_SIMD_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return SIMD_AVX512;
    if (__builtin_cpu_supports("avx2")) return SIMD_AVX2;
#endif
    return SIMD_PORTABLE;
}

simd_level simd_detected(void) {
    int level = g_detected.load(std::memory_order_relaxed);
    if (level < 0) {
        level = detect();
        g_detected.store(level, std::memory_order_relaxed);
    }
    return (simd_level)level;
}

simd_level simd_active(void) {
    int detected = simd_detected();
    int limit = g_limit.load(std::memory_order_relaxed);
    return (simd_level)(detected < limit ? detected : limit);
}

void simd_limit(simd_level highest) { g_limit.store(highest, std::memory_order_relaxed); }
