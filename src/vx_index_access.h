// What the layers above the indexes may ask of an index beyond the public
// calls: its family, its metric and the build parameters a collection file
// keeps. The index's own structures stay in vx_index_internal.h.
#ifndef VX_INDEX_ACCESS_H
#define VX_INDEX_ACCESS_H

#include "vexal.h"

// The arena an index makes for itself when created without one.
#define VX_INDEX_ARENA_SIZE 0x400000ull

// Build parameters of an index as a collection file records them; zero where
// the family has no such parameter.
struct vx_index_shape {
    uint32_t M;
    uint32_t ef_construction;
    uint32_t ef_search;
    uint32_t nlist;
    uint32_t nprobe;
};

// 1 for the graph kinds (plain, product- and scalar-coded), else 0.
int index_kind_is_graph(int32_t type);
// 1 for every kind an index can be made of (flat excluded), else 0.
int index_kind_known(int32_t type);

// Metric codes other than inner product and cosine rank as L2.
static inline int32_t index_metric_normalize(int32_t metric) {
    return (metric == VX_METRIC_IP || metric == VX_METRIC_COSINE) ? metric : VX_METRIC_L2;
}

// The metric the index ranks by (L2, inner product or cosine).
int32_t index_metric(const vx_index *index);
// The build parameters a collection file records for the index; all zero for
// kinds whose parameters are not recorded.
void index_shape_get(const vx_index *index, vx_index_shape *shape);
// Copies the non-zero recorded parameters of a kind into params (params->type
// chooses the family); kinds whose parameters are not recorded are left alone.
void index_shape_apply(const vx_index_shape *shape, vx_index_params *params);

// Makes an empty graph read each vector where the adder keeps it instead of
// copying it: a vector passed to a later add must stay where it is, holding
// what was added, until its id is removed or re-added or the index is
// destroyed. VX_ERR_NOT_SUPPORTED for kinds that are not graphs,
// VX_ERR_INVALID_ARG once vectors were added. Takes the index's write lock.
vx_status index_borrow_vectors(vx_index *index);

// Adds vectors[i] for ids[i] (i < count) to a graph in one batch, so that
// its build threads apply; a borrowing graph reads each vector where it
// lies. VX_ERR_NOT_SUPPORTED for other kinds.
vx_status index_add_vectors_at(vx_index *index, const uint64_t *ids, const float *const *vectors,
                               uint64_t count);

// 1 when the index reads its vectors where the adder keeps them, else 0.
int index_borrows_vectors(const vx_index *index);

// Whether the record behind id may be a hit of a filtered search: positive
// to take it, 0 to pass it by, negative to end the walk at once (the hits
// held so far are returned).
typedef int (*index_accept_fn)(uint64_t id, void *context);

// 1 when the index can filter during its own walk (the graphs), else 0.
int index_filters_in_walk(const vx_index *index);

// vx_index_search that reports only ids accept takes: the walk still passes
// through the others, so k accepted hits come back without measuring every
// accepted record. Up to k hits, nearest first; fewer when the walk ends
// before it meets k accepted nodes. 0 for kinds index_filters_in_walk
// refuses, bad arguments or no memory. accept runs on the calling thread
// under the index's read lock and must not call into the index.
uint64_t index_search_accepting(vx_index *index, const float *query, uint64_t k, index_accept_fn accept,
                                void *context, vx_search_result *results);

// Loads the index file at path into an arena of the index's own, destroyed
// with it; null when the file cannot be read or is not an index file.
vx_index *index_load_owned(const vx_str *path);

#endif
