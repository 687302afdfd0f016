// Peer libraries measured beside vexal by the benchmark (hnswlib, FAISS),
// compiled in only when the project is configured with VEXAL_BENCH_PEERS.
#ifndef VEXAL_PEERS_H
#define VEXAL_PEERS_H

#include <string>
#include <vector>

#include "vexal_data.h"

// One measured setting of a method.
struct BenchPoint {
    std::string param;
    double recall = 0, qps = 0;
};

struct BenchMethod {
    std::string name;
    double build_seconds = 0;
    double memory_mb = 0;
    std::vector<BenchPoint> points;
    std::vector<std::string> notes;  // printed under the points
};

// Appends the peers' measurements; returns false (and appends nothing) when
// the peers are not compiled in.
bool run_peer_benchmarks(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                         unsigned threads, std::vector<BenchMethod> *out);

// hnswlib's graph over a data set (M 16, ef_construction 200, ids 1..rows),
// kept so that its searches can be timed in turns with vexal's.
struct PeerGraph;
void peer_graph_set_ef(PeerGraph *g, uint32_t ef);
// The ids of the query's 10 nearest, nearest first, into out.
void peer_graph_query(PeerGraph *g, const float *query, uint64_t *out);
void peer_graph_destroy(PeerGraph *g);

// Appends hnswlib's measurement alone (M 16, ef_construction 200, the same
// ef sweep as vexal's graph); false when the peers are not compiled in.
// With keep, *keep receives the graph (for peer_graph_destroy).
bool run_hnswlib_benchmark(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                           std::vector<BenchMethod> *out, PeerGraph **keep = nullptr);

#endif
