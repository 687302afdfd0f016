// Peer measurements for vexal bench: hnswlib and FAISS, one thread each, on
// the same data, ground truth and sweeps as vexal's own methods.
#include "vexal_peers.h"

#ifdef VEXAL_BENCH_PEERS

#include <omp.h>

#include <faiss/IndexFlat.h>
#include <faiss/IndexHNSW.h>
#include <faiss/IndexIVFFlat.h>
#include <hnswlib/hnswlib.h>

#include <chrono>

static const uint32_t K = 10;

static double seconds_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

template <typename Fn>
static BenchPoint measure(const std::string &param, const Matrix &queries, const std::vector<uint64_t> &truth,
                          Fn search) {
    std::vector<uint64_t> found(queries.rows * K, 0);
    double t0 = seconds_now();
    for (uint64_t q = 0; q < queries.rows; q++) search(queries.row(q), found.data() + q * K);
    double s = seconds_now() - t0;
    return {param, recall_at_k(truth, found, queries.rows, K), s > 0 ? queries.rows / s : 0};
}

struct PeerGraph {
    hnswlib::L2Space space;
    hnswlib::HierarchicalNSW<float> index;
    PeerGraph(const Matrix &base) : space(base.dim), index(&space, base.rows, 16, 200) {}
};

void peer_graph_set_ef(PeerGraph *g, uint32_t ef) { g->index.setEf(ef); }

void peer_graph_query(PeerGraph *g, const float *query, uint64_t *out) {
    auto result = g->index.searchKnn(query, K);
    for (int i = (int)result.size() - 1; i >= 0; i--) {
        out[i] = result.top().second;
        result.pop();
    }
}

void peer_graph_destroy(PeerGraph *g) { delete g; }

static BenchMethod bench_hnswlib(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                                 PeerGraph **keep) {
    BenchMethod m;
    m.name = "hnswlib HNSW";
    uint64_t heap0 = heap_bytes_in_use();
    double t0 = seconds_now();
    PeerGraph *g = new PeerGraph(base);
    for (uint64_t i = 0; i < base.rows; i++) g->index.addPoint(base.row(i), (hnswlib::labeltype)(i + 1));
    m.build_seconds = seconds_now() - t0;
    // Everything the index holds: layer 0, upper links, label map, visited lists.
    m.memory_mb = (double)(heap_bytes_in_use() - heap0) / (1024.0 * 1024.0);
    // One pass untimed first, as for vexal's graph.
    g->index.setEf(10);
    for (uint64_t q = 0; q < queries.rows; q++) g->index.searchKnn(queries.row(q), K);
    for (size_t ef : {10, 16, 24, 32, 48, 64, 128, 256}) {
        g->index.setEf(ef);
        m.points.push_back(measure("ef " + std::to_string(ef), queries, truth,
                                   [&](const float *q, uint64_t *out) { peer_graph_query(g, q, out); }));
    }
    if (keep) *keep = g;
    else delete g;
    return m;
}

static void faiss_search(faiss::Index &index, const float *q, uint64_t *out) {
    float d[K];
    faiss::Index::idx_t ids[K];
    index.search(1, q, K, d, ids);
    for (uint32_t i = 0; i < K; i++) out[i] = ids[i] >= 0 ? (uint64_t)ids[i] + 1 : 0;
}

// Exact search with every query in one call (FAISS hands that to BLAS).
static BenchMethod bench_faiss_flat_batch(faiss::IndexFlatL2 &index, const Matrix &queries,
                                          const std::vector<uint64_t> &truth) {
    BenchMethod m;
    m.name = "FAISS IndexFlatL2 batch";
    uint64_t nq = std::min<uint64_t>(queries.rows, 1000);
    std::vector<float> d(nq * K);
    std::vector<faiss::Index::idx_t> ids(nq * K);
    double t0 = seconds_now();
    index.search(nq, queries.data.data(), K, d.data(), ids.data());
    double seconds = seconds_now() - t0;
    std::vector<uint64_t> found(nq * K);
    for (uint64_t i = 0; i < nq * K; i++) found[i] = ids[i] >= 0 ? (uint64_t)ids[i] + 1 : 0;
    m.points.push_back({"exact", recall_at_k(truth, found, nq, K), seconds > 0 ? nq / seconds : 0});
    return m;
}

static std::vector<BenchMethod> bench_faiss(const Matrix &base, const Matrix &queries,
                                            const std::vector<uint64_t> &truth) {
    std::vector<BenchMethod> out;
    {
        BenchMethod m;
        m.name = "FAISS IndexHNSWFlat";
        double t0 = seconds_now();
        faiss::IndexHNSWFlat index(base.dim, 16);
        index.hnsw.efConstruction = 200;
        index.add(base.rows, base.data.data());
        m.build_seconds = seconds_now() - t0;
        m.memory_mb = (double)base.rows * (base.dim * 4 + 16 * 2 * 4) / (1024.0 * 1024.0);
        for (int ef : {10, 16, 32, 64, 128, 256}) {
            index.hnsw.efSearch = ef;
            m.points.push_back(measure("ef " + std::to_string(ef), queries, truth,
                                       [&](const float *q, uint64_t *o) { faiss_search(index, q, o); }));
        }
        out.push_back(m);
    }
    {
        BenchMethod m;
        m.name = "FAISS IndexIVFFlat";
        double t0 = seconds_now();
        faiss::IndexFlatL2 quantizer(base.dim);
        faiss::IndexIVFFlat index(&quantizer, base.dim, 256);
        index.train(base.rows, base.data.data());
        index.add(base.rows, base.data.data());
        m.build_seconds = seconds_now() - t0;
        m.memory_mb = (double)base.rows * (base.dim * 4 + 8) / (1024.0 * 1024.0);
        for (size_t nprobe : {1, 4, 16, 64}) {
            index.nprobe = nprobe;
            m.points.push_back(measure("nprobe " + std::to_string(nprobe), queries, truth,
                                       [&](const float *q, uint64_t *o) { faiss_search(index, q, o); }));
        }
        out.push_back(m);
    }
    {
        BenchMethod m;
        m.name = "FAISS IndexFlatL2";
        faiss::IndexFlatL2 index(base.dim);
        double t0 = seconds_now();
        index.add(base.rows, base.data.data());
        m.build_seconds = seconds_now() - t0;
        m.memory_mb = (double)base.rows * base.dim * 4 / (1024.0 * 1024.0);
        Matrix sub = queries;
        sub.rows = std::min<uint64_t>(queries.rows, 200);
        m.points.push_back(measure("exact", sub, truth, [&](const float *q, uint64_t *o) { faiss_search(index, q, o); }));
        out.push_back(m);
        out.push_back(bench_faiss_flat_batch(index, queries, truth));
    }
    return out;
}

bool run_peer_benchmarks(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth, unsigned,
                         std::vector<BenchMethod> *out) {
    omp_set_num_threads(1);
    out->push_back(bench_hnswlib(base, queries, truth, nullptr));
    for (BenchMethod &m : bench_faiss(base, queries, truth)) out->push_back(m);
    return true;
}

bool run_hnswlib_benchmark(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                           std::vector<BenchMethod> *out, PeerGraph **keep) {
    out->push_back(bench_hnswlib(base, queries, truth, keep));
    return true;
}

#else

struct PeerGraph {};
void peer_graph_set_ef(PeerGraph *, uint32_t) {}
void peer_graph_query(PeerGraph *, const float *, uint64_t *) {}
void peer_graph_destroy(PeerGraph *) {}

bool run_hnswlib_benchmark(const Matrix &, const Matrix &, const std::vector<uint64_t> &,
                           std::vector<BenchMethod> *, PeerGraph **) {
    return false;
}

bool run_peer_benchmarks(const Matrix &, const Matrix &, const std::vector<uint64_t> &, unsigned,
                         std::vector<BenchMethod> *) {
    return false;
}

#endif
