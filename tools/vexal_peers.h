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

// Appends hnswlib's measurement alone (M 16, ef_construction 200, the same
// ef sweep as vexal's graph); false when the peers are not compiled in.
bool run_hnswlib_benchmark(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                           std::vector<BenchMethod> *out);

#endif
