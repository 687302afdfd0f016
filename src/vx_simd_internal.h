// The one decision about vector instructions: which instruction set the
// kernels of every family (vectors, quantizers) use. The processor is asked
// once per process; every path gives the same bits, so the choice only
// changes speed. Tests and benchmarks lower it to reach the other paths.
#ifndef VX_SIMD_INTERNAL_H
#define VX_SIMD_INTERNAL_H

// Instruction sets in increasing order; each level includes the ones below.
typedef enum simd_level {
    SIMD_PORTABLE = 0, // plain C++, any processor
    SIMD_AVX2 = 1,     // AVX2 (without FMA: sums are never contracted)
    SIMD_AVX512 = 2    // AVX-512 F, BW, DQ and VL
} simd_level;

// What the processor offers, detected at the first call.
simd_level simd_detected(void);
// What the kernels use: the detected level, lowered by simd_limit.
simd_level simd_active(void);
// Caps the level every kernel family uses from now on: SIMD_PORTABLE forces
// the portable paths, SIMD_AVX512 (the default) lets the detected level
// stand. For tests and benchmarks; safe to call from any thread, but kernels
// already running finish on the path they chose.
void simd_limit(simd_level highest);

#endif
