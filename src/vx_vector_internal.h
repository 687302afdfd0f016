// Batch distance kernels shared by brute-force search, the indexes and the
// batch functions of the vector module.
//
// One query against many stored vectors: each SIMD lane (or interleaved
// accumulator) carries the full sum of one stored vector, added strictly in
// index order, so every result is bit-identical to the single-pair function
// (vx_vec_l2_squared, vx_vec_dot, vx_vec_distance). AVX-512 or AVX2 is used
// when vx_simd_internal.h allows it; the portable path gives the same bits.
#ifndef VX_VECTOR_INTERNAL_H
#define VX_VECTOR_INTERNAL_H

#include <stdint.h>

// out[i] = vx_vec_l2_squared(query, vectors[i], dim): the sentinel for a null
// query, a null vectors[i] or dim 0. Nothing is written for null vectors/out.
void batch_l2_squared(const float *query, const float *const *vectors, uint64_t n,
                      uint32_t dim, float *out);
// batch_l2_squared that may give up a vector once its running sum is above
// bound: out[i] is the exact value when that is <= bound; otherwise a partial
// sum v with bound < v <= exact, the rest of the vector unread. A NaN sum is
// never above the bound, so a NaN met before the sum passes it comes out as
// NaN; one further on may go unread. Missing vectors, a null query and dim 0
// give the sentinel as in batch_l2_squared; a bound of +inf or NaN bounds
// nothing.
void batch_l2_squared_bounded(const float *query, const float *const *vectors, uint64_t n,
                              uint32_t dim, float bound, float *out);
// out[i] = vx_vec_dot(query, vectors[i], dim): 0.0 for null vectors or dim 0.
void batch_dot(const float *query, const float *const *vectors, uint64_t n,
               uint32_t dim, float *out);
// out[i] = vx_vec_distance(query, vectors[i], dim, metric): squared L2 for
// metric 0 and unknown metrics, the negated dot product for 1, the cosine
// distance for 2 (dim 0 gives 0.0, -0.0, 1.0; a null vector gives the
// metric's own null value: the sentinel, -0.0, 1.0).
void batch_distance(const float *query, const float *const *vectors, uint64_t n,
                    uint32_t dim, int32_t metric, float *out);

// The same over contiguous rows: row i starts at rows + i * dim.
void batch_l2_squared_rows(const float *query, const float *rows, uint64_t n,
                           uint32_t dim, float *out);
void batch_distance_rows(const float *query, const float *rows, uint64_t n,
                         uint32_t dim, int32_t metric, float *out);

// Many queries against many stored vectors: out[q * out_stride + i] =
// vx_vec_distance(queries + q * dim, vectors[i], dim, metric) for q < nq,
// i < n, the same bits as batch_distance one query at a time. Stored vectors
// are copied sixteen at a time into a block transposed for the lanes, and
// every query of a tile runs against the block while it is in cache. A null
// vectors[i] gives the metric's null value. Returns 0 when scratch memory
// runs out (nothing is then promised about out), 1 otherwise.
int batch_distance_queries(const float *queries, uint64_t nq, const float *const *vectors,
                           uint64_t n, uint32_t dim, int32_t metric, float *out,
                           uint64_t out_stride);

// Squared L2 that may stop early: returns the exact running sum when it is
// <= bound; otherwise some value > bound (every term is non-negative, so a
// partial sum above the bound proves the full sum is too). Both vectors must
// be valid; dim 0 gives 0.0.
float l2_squared_bounded(const float *a, const float *b, uint32_t dim, float bound);

// 1 - dot / (sqrt(na2) * sqrt(nb2)) with the library's square root; 1.0 when
// either root is below the single-precision epsilon (the cosine distance
// from its three running sums).
float cosine_distance_from_sums(float dot, float na2, float nb2);

#endif
