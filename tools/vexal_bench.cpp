// vexal bench: recall/QPS sweeps of every index kind, with the peers beside
// them when they are compiled in.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "vexal.h"
#include "vexal_data.h"
#include "vexal_peers.h"
#include "vexal_tool.h"

const char *HELP_BENCH =
    "usage: vexal bench [--dataset fashion-mnist|random-128|clustered-128] [--threads N]\n"
    "                   [--queries N] [--base N] [--graphs-only | --graph-at-work]\n"
    "                   [--out results.json]\n"
    "                   [--plot recall-qps.svg]\n"
    "\n"
    "Computes the exact ground truth, then measures for each method its build\n"
    "time, memory, and recall@10 with queries per second over a sweep: brute\n"
    "force one query per call (beside the machine's streaming read bandwidth and\n"
    "the limit it sets) and many queries per call; HNSW (M 16, ef_construction\n"
    "200; ef_search 10 to 256); IVF (nlist 256; nprobe 1, 4, 16, 64); IVF with\n"
    "scalar and with product quantization; IVF-PQ (m 16, 8 bits) in a collection\n"
    "that re-ranks 4 candidates per hit exactly (16 where marked x16). When\n"
    "built with -DVEXAL_BENCH_PEERS=ON, hnswlib and FAISS run the same sweep.\n"
    "The table goes to standard output, everything to --out as JSON, and --plot\n"
    "draws the recall/QPS curves as SVG. --queries limits the query count\n"
    "(default 2000). clustered-128 is 200,000 vectors of dimension 128 drawn from\n"
    "1,000 clusters with a fixed seed, queries from the same mixture. --base\n"
    "keeps the first N base vectors.\n"
    "--graphs-only measures vexal's graph and hnswlib alone and prints their\n"
    "ratios (queries per second at equal recall, build time, memory), then\n"
    "times the two graphs side by side, queries taken in turns, and prints\n"
    "that ratio per ef and at recall 0.95 and 0.99.\n"
    "Both modes also run the graph inside a collection (same parameters, data\n"
    "and ef values) and print its search against the bare graph's, measured\n"
    "side by side.\n"
    "--graph-at-work builds a collection's graph over records tagged with their\n"
    "label (a tenth each) and a bucket (a hundredth each) and prints filtered\n"
    "search through the graph against exact filtered search, a filter too\n"
    "narrow for the graph, and batch search on one and two threads.\n";

static const uint32_t K = 10;
static const uint32_t GRAPH_EF[] = {10, 16, 24, 32, 48, 64, 128, 256};

// Runs queries on `threads` threads; each call answers one query into ids.
template <typename SearchFn>
static double timed_queries(const Matrix &queries, unsigned threads, std::vector<uint64_t> *ids, SearchFn search) {
    ids->assign(queries.rows * K, 0);
    std::atomic<uint64_t> next{0};
    double start = now_seconds();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; t++)
        pool.emplace_back([&] {
            for (uint64_t q; (q = next.fetch_add(1)) < queries.rows;) search(q, ids->data() + q * K);
        });
    for (auto &th : pool) th.join();
    double seconds = now_seconds() - start;
    return seconds > 0 ? (double)queries.rows / seconds : 0.0;
}

static vx_index_params index_params(int32_t type, uint32_t dim) {
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = (vx_index_type)type;
    p.metric = VX_METRIC_L2;
    p.dimension = dim;
    return p;
}

static double arena_megabytes(vx_index *index) { return (double)vx_index_get_memory_usage(index) / (1024.0 * 1024.0); }

static std::vector<uint64_t> sequential_ids(uint64_t n) {
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; i++) ids[i] = i + 1;
    return ids;
}

// Searches one index for the K nearest ids of one query.
static void index_query(vx_index *index, const float *query, uint64_t *out_ids) {
    vx_search_result results[K];
    uint64_t n = vx_index_search(index, query, K, results);
    for (uint32_t i = 0; i < K && i < n; i++) out_ids[i] = results[i].id;
}

static BenchMethod bench_brute_force(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                                     unsigned threads) {
    BenchMethod m;
    m.name = "vexal brute force";
    vx_collection_config config;
    memset(&config, 0, sizeof(config));
    char name[] = "bench";
    config.name.data = name;
    config.name.len = 5;
    config.dimension = base.dim;
    config.index_type = VX_INDEX_FLAT;
    double t0 = now_seconds();
    vx_collection *c = vx_collection_create(nullptr, &config);
    vx_collection_insert_batch(c, base.data.data(), base.rows, nullptr);
    m.build_seconds = now_seconds() - t0;
    m.memory_mb = (double)base.rows * base.dim * 4 / (1024.0 * 1024.0);
    // Brute force is slow: a few hundred queries give a steady figure.
    Matrix sub = queries;
    sub.rows = std::min<uint64_t>(queries.rows, 200);
    std::vector<uint64_t> ids;
    double qps = timed_queries(sub, threads, &ids, [&](uint64_t q, uint64_t *out) {
        vx_search_options opt;
        memset(&opt, 0, sizeof(opt));
        opt.k = K;
        vx_search_hit hits[K];
        uint64_t n = vx_collection_search(c, sub.row(q), &opt, hits);
        for (uint64_t i = 0; i < n; i++) out[i] = hits[i].id;
    });
    m.points.push_back({"exact", recall_at_k(truth, ids, sub.rows, K), qps});
    vx_collection_destroy(c);
    return m;
}

/* ---- exact search at the memory limit ------------------------------------------ */

// The machine's streaming read bandwidth in bytes per second: the best of
// five plain passes over the data set (as large as what an exact search
// reads), 16-byte loads into eight independent sums so the loads, not the
// adds, set the pace.
static double read_bandwidth(const Matrix &base) {
    typedef uint64_t wide __attribute__((vector_size(16), may_alias));
    const wide *p = (const wide *)base.data.data();
    uint64_t words = base.rows * base.dim / 4;
    double best = 0;
    volatile uint64_t sink = 0;
    for (int pass = 0; pass < 5; pass++) {
        wide a[8] = {};
        double t0 = now_seconds();
        uint64_t i = 0;
        for (; i + 8 <= words; i += 8)
            for (int j = 0; j < 8; j++) a[j] ^= p[i + j];
        for (; i < words; i++) a[0] ^= p[i];
        double seconds = now_seconds() - t0;
        wide all = a[0] ^ a[1] ^ a[2] ^ a[3] ^ a[4] ^ a[5] ^ a[6] ^ a[7];
        sink = sink ^ all[0] ^ all[1];
        if (seconds > 0) best = std::max(best, (double)words * sizeof(wide) / seconds);
    }
    return best;
}

// One exact query reads every stored vector once: the bandwidth sets its
// ceiling.
static void print_bandwidth_limit(const Matrix &base, double bytes_per_second, const BenchMethod &brute) {
    double bytes = (double)base.rows * base.dim * sizeof(float);
    double limit = bytes_per_second / bytes;
    printf("streaming read %.1f GB/s: one exact query reads %.0f MB, at most %.0f QPS on one thread\n",
           bytes_per_second / 1e9, bytes / 1e6, limit);
    if (!brute.points.empty() && limit > 0)
        printf("    brute force, one query per call: %.0f QPS = %.0f %% of that limit\n\n", brute.points[0].qps,
               100.0 * brute.points[0].qps / limit);
    fflush(stdout);
}

static vx_collection *bench_collection(const Matrix &base, int32_t type) {
    vx_collection_config config;
    memset(&config, 0, sizeof(config));
    char name[] = "bench";
    config.name.data = name;
    config.name.len = 5;
    config.dimension = base.dim;
    config.index_type = (vx_index_type)type;
    return vx_collection_create(nullptr, &config);
}

// Gives the collection the index parameters, inserts the data set and
// builds the index (level draws seeded as for the bare graph); on failure
// reports it under name and destroys the collection.
static bool index_collection(vx_collection *c, const Matrix &base, const vx_index_params *p, const char *name) {
    vx_status st = c ? vx_collection_set_index_params(c, p) : VX_ERR_NO_MEMORY;
    if (st == VX_OK) st = vx_collection_insert_batch(c, base.data.data(), base.rows, nullptr);
    vx_srand(1);
    if (st == VX_OK) st = vx_collection_build_index(c);
    if (st == VX_OK) return true;
    fprintf(stderr, "vexal: %s build failed: %s\n", name, vx_error_message(st));
    vx_collection_destroy(c);
    return false;
}

// Exact search with many queries per call: the batch call on `threads`
// threads, its answers checked against the single-query call.
static BenchMethod bench_brute_batch(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                                     unsigned threads) {
    BenchMethod m;
    m.name = "vexal brute force batch";
    vx_collection *c = bench_collection(base, VX_INDEX_FLAT);
    vx_collection_insert_batch(c, base.data.data(), base.rows, nullptr);
    m.memory_mb = (double)base.rows * base.dim * 4 / (1024.0 * 1024.0);
    uint64_t nq = std::min<uint64_t>(queries.rows, 1000);
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = K;
    std::vector<vx_search_hit> hits(nq * K);
    std::vector<uint64_t> counts(nq), ids(nq * K, 0);
    double t0 = now_seconds();
    vx_collection_search_batch(c, queries.data.data(), nq, &opt, threads, hits.data(), counts.data());
    double seconds = now_seconds() - t0;
    uint64_t differ = 0;
    for (uint64_t q = 0; q < nq; q++) {
        for (uint64_t i = 0; i < counts[q]; i++) ids[q * K + i] = hits[q * K + i].id;
        if (q % 50 == 0) {  // the same bits as one query at a time
            vx_search_hit one[K];
            uint64_t n = vx_collection_search(c, queries.row(q), &opt, one);
            for (uint64_t i = 0; i < n; i++)
                differ += one[i].id != hits[q * K + i].id ||
                          memcmp(&one[i].distance, &hits[q * K + i].distance, sizeof(float)) != 0;
        }
    }
    if (differ) printf("    (batch answers differ from single queries in %llu hits)\n", (unsigned long long)differ);
    m.points.push_back({"exact", recall_at_k(truth, ids, nq, K), seconds > 0 ? nq / seconds : 0});
    vx_collection_destroy(c);
    return m;
}

// IVF-PQ inside a collection: the index's candidates (refine factor 4 per
// wanted hit) re-ranked by the exact vectors the collection holds.
static BenchMethod bench_collection_pq(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                                       unsigned threads) {
    BenchMethod m;
    m.name = "vexal IVF-PQ re-ranked";
    vx_srand(1);
    uint64_t heap0 = heap_bytes_in_use();
    double t0 = now_seconds();
    vx_collection *c = bench_collection(base, VX_INDEX_FLAT);
    vx_index_params p = index_params(VX_INDEX_IVF_PQ, base.dim);
    p.family.ivf.nlist = 256;
    p.family.ivf.nprobe = 1;
    p.family.ivf.iterations = 10;
    p.pq_m = 16;
    p.pq_nbits = 8;
    bool built = index_collection(c, base, &p, m.name.c_str());
    m.build_seconds = now_seconds() - t0;
    m.memory_mb = (double)(heap_bytes_in_use() - heap0) / (1024.0 * 1024.0);
    if (!built) return m;
    // Factor 4 first; 16 shows how far more candidates take the coarse codes.
    const struct { uint32_t nprobe, refine; } settings[] = {{4, 4}, {16, 4}, {64, 4}, {16, 16}, {64, 16}};
    for (auto setting : settings) {
        uint32_t nprobe = setting.nprobe;
        vx_collection_set_search_width(c, nprobe);
        std::vector<uint64_t> found;
        double qps = timed_queries(queries, threads, &found, [&](uint64_t q, uint64_t *out) {
            vx_search_options opt;
            memset(&opt, 0, sizeof(opt));
            opt.k = K;
            opt.refine_factor = setting.refine;
            vx_search_hit hits[K];
            uint64_t n = vx_collection_search(c, queries.row(q), &opt, hits);
            for (uint64_t i = 0; i < n; i++) out[i] = hits[i].id;
        });
        std::string param = "nprobe " + std::to_string(nprobe);
        if (setting.refine != 4) param += " x" + std::to_string(setting.refine);
        m.points.push_back({param, recall_at_k(truth, found, queries.rows, K), qps});
    }
    vx_collection_destroy(c);
    return m;
}

static vx_index_params graph_params(uint32_t dim) {
    vx_index_params p = index_params(VX_INDEX_HNSW, dim);
    p.family.hnsw.M = 16;
    p.family.hnsw.ef_construction = 200;
    p.family.hnsw.ef_search = K;
    return p;
}

// The bare graph; *keep (when given) receives the index instead of its being
// destroyed.
static BenchMethod bench_hnsw(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                              unsigned threads, vx_index **keep = nullptr) {
    BenchMethod m;
    m.name = "vexal HNSW";
    vx_index_params p = graph_params(base.dim);
    vx_srand(1);
    std::vector<uint64_t> ids = sequential_ids(base.rows);
    uint64_t heap0 = heap_bytes_in_use();
    double t0 = now_seconds();
    vx_index *index = vx_index_create(nullptr, &p);
    Progress progress("hnsw", base.rows);
    const uint64_t chunk = 2000;
    for (uint64_t i = 0; i < base.rows; i += chunk) {
        uint64_t n = std::min(chunk, base.rows - i);
        vx_index_add_batch(index, ids.data() + i, base.row(i), n);
        progress.update(i + n);
    }
    progress.finish();
    m.build_seconds = now_seconds() - t0;
    // Everything the graph keeps (tables, links, vectors, per-thread working
    // memory), measured as hnswlib's is.
    m.memory_mb = (double)(heap_bytes_in_use() - heap0) / (1024.0 * 1024.0);
    // One pass untimed first, as for hnswlib, so that the first ef is not
    // measured on cold caches.
    std::vector<uint64_t> warm;
    timed_queries(queries, threads, &warm, [&](uint64_t q, uint64_t *out) { index_query(index, queries.row(q), out); });
    for (uint32_t ef : GRAPH_EF) {
        vx_index_set_search_width(index, ef);
        std::vector<uint64_t> found;
        double qps = timed_queries(queries, threads, &found,
                                   [&](uint64_t q, uint64_t *out) { index_query(index, queries.row(q), out); });
        m.points.push_back({"ef " + std::to_string(ef), recall_at_k(truth, found, queries.rows, K), qps});
    }
    if (keep) *keep = index;
    else vx_index_destroy(index);
    return m;
}

/* ---- the graph inside a collection ------------------------------------------- */

static void print_method(const BenchMethod &m);

static const int PAIRED_ROUNDS = 3;
static const uint64_t PAIRED_BLOCK = 100;

// Queries per second of two searches over the same queries, measured in
// turns a block of PAIRED_BLOCK queries at a time, so that both meet the
// same conditions (other work on the machine, clock changes); the best of
// PAIRED_ROUNDS rounds for each. Each search answers one query into K ids.
template <typename SearchA, typename SearchB>
static void paired_queries(const Matrix &queries, unsigned threads, SearchA search_a, SearchB search_b,
                           double *qps_a, double *qps_b, std::vector<uint64_t> *ids_a,
                           std::vector<uint64_t> *ids_b) {
    std::vector<Matrix> blocks;
    for (uint64_t at = 0; at < queries.rows; at += PAIRED_BLOCK) {
        Matrix b;
        b.rows = std::min(PAIRED_BLOCK, queries.rows - at);
        b.dim = queries.dim;
        b.data.assign(queries.row(at), queries.row(at) + b.rows * b.dim);
        blocks.push_back(b);
    }
    ids_a->assign(queries.rows * K, 0);
    ids_b->assign(queries.rows * K, 0);
    // One block's answers into ids from first_id on; on one thread without
    // starting one, so that a block costs what its searches cost.
    auto run = [&](const Matrix &b, auto search, std::vector<uint64_t> *ids, uint64_t first) {
        if (threads == 1) {
            for (uint64_t q = 0; q < b.rows; q++) search(b.row(q), ids->data() + (first + q) * K);
            return;
        }
        std::vector<uint64_t> got;
        timed_queries(b, threads, &got, [&](uint64_t q, uint64_t *out) { search(b.row(q), out); });
        std::copy(got.begin(), got.end(), ids->begin() + first * K);
    };
    *qps_a = *qps_b = 0;
    for (int round = 0; round < PAIRED_ROUNDS; round++) {
        double seconds_a = 0, seconds_b = 0;
        for (size_t i = 0; i < blocks.size(); i++) {
            double t0 = now_seconds();
            run(blocks[i], search_a, ids_a, i * PAIRED_BLOCK);
            double t1 = now_seconds();
            run(blocks[i], search_b, ids_b, i * PAIRED_BLOCK);
            double t2 = now_seconds();
            seconds_a += t1 - t0;
            seconds_b += t2 - t1;
        }
        if (seconds_a > 0) *qps_a = std::max(*qps_a, (double)queries.rows / seconds_a);
        if (seconds_b > 0) *qps_b = std::max(*qps_b, (double)queries.rows / seconds_b);
    }
}

// At each of the graph's ef values: set_ef(ef), then the two searches in
// turns (paired_queries); a point of each appended to a and b.
template <typename SetEf, typename SearchA, typename SearchB>
static void paired_sweep(const Matrix &queries, const std::vector<uint64_t> &truth, unsigned threads, SetEf set_ef,
                         SearchA search_a, SearchB search_b, std::vector<BenchPoint> *a,
                         std::vector<BenchPoint> *b) {
    for (uint32_t ef : GRAPH_EF) {
        set_ef(ef);
        std::vector<uint64_t> found_a, found_b;
        double qps_a = 0, qps_b = 0;
        paired_queries(queries, threads, search_a, search_b, &qps_a, &qps_b, &found_a, &found_b);
        std::string param = "ef " + std::to_string(ef);
        a->push_back({param, recall_at_k(truth, found_a, queries.rows, K), qps_a});
        b->push_back({param, recall_at_k(truth, found_b, queries.rows, K), qps_b});
    }
}

// The bare graph's figures measured beside the collection's.
struct PairedGraph {
    std::vector<BenchPoint> bare;
    double bare_build_seconds = 0, bare_memory_mb = 0;
};

// One query through the collection, its ids into out_ids.
static void collection_query(vx_collection *c, const float *query, uint64_t *out_ids) {
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = K;
    vx_search_hit hits[K];
    uint64_t n = vx_collection_search(c, query, &opt, hits);
    for (uint64_t i = 0; i < n; i++) out_ids[i] = hits[i].id;
}

// The same graph (parameters, data, ids, insertion order and level draws)
// inside a collection, searched through vx_collection_search at the bare
// graph's ef values. At each ef the bare graph `bare` and the collection
// take the queries in turns (paired_queries), so that their ratio compares
// runs made side by side.
// Memory: everything the collection keeps (records, vectors, id table and
// the graph, which reads the records' vectors), as the heap grew.
static BenchMethod bench_collection_graph(const Matrix &base, const Matrix &queries,
                                          const std::vector<uint64_t> &truth, unsigned threads, vx_index *bare,
                                          const BenchMethod &bare_method, PairedGraph *paired) {
    BenchMethod m;
    m.name = "vexal collection HNSW";
    uint64_t heap0 = heap_bytes_in_use();
    double t0 = now_seconds();
    vx_collection *c = bench_collection(base, VX_INDEX_HNSW);
    vx_index_params p = graph_params(base.dim);
    bool built = index_collection(c, base, &p, m.name.c_str());
    m.build_seconds = now_seconds() - t0;
    if (!built) return m;
    m.memory_mb = (double)(heap_bytes_in_use() - heap0) / (1024.0 * 1024.0);
    paired->bare_build_seconds = bare_method.build_seconds;
    paired->bare_memory_mb = bare_method.memory_mb;
    // One pass untimed first: the bare graph has just run its own sweep,
    // the collection's graph is fresh from its build.
    std::vector<uint64_t> warm;
    timed_queries(queries, threads, &warm, [&](uint64_t q, uint64_t *out) { collection_query(c, queries.row(q), out); });
    paired_sweep(
        queries, truth, threads,
        [&](uint32_t ef) {
            vx_collection_set_search_width(c, ef);
            vx_index_set_search_width(bare, ef);
        },
        [&](const float *q, uint64_t *out) { index_query(bare, q, out); },
        [&](const float *q, uint64_t *out) { collection_query(c, q, out); }, &paired->bare, &m.points);
    vx_collection_destroy(c);
    return m;
}

// The collection's search against the bare graph's at each ef, from the
// side-by-side runs: time per query as collection / bare (1.00: no cost).
static void print_collection_ratios(const BenchMethod &coll, const PairedGraph &paired) {
    if (coll.points.size() != paired.bare.size() || coll.points.empty()) return;
    printf("\ncollection search vs bare index (the same graph, measured side by side):\n");
    for (size_t i = 0; i < coll.points.size(); i++) {
        const BenchPoint &a = coll.points[i], &b = paired.bare[i];
        printf("    %-12s bare %10.0f QPS  collection %10.0f QPS  time %.2fx  recall@10 %.4f vs %.4f\n",
               a.param.c_str(), b.qps, a.qps, a.qps > 0 ? b.qps / a.qps : 0.0, b.recall, a.recall);
    }
    printf("  build time %.2fx (%.2f s vs %.2f s)  memory %.2fx (%.1f vs %.1f MiB)\n",
           paired.bare_build_seconds > 0 ? coll.build_seconds / paired.bare_build_seconds : 0.0, coll.build_seconds,
           paired.bare_build_seconds, paired.bare_memory_mb > 0 ? coll.memory_mb / paired.bare_memory_mb : 0.0,
           coll.memory_mb, paired.bare_memory_mb);
    fflush(stdout);
}

// The bare graph, then the same graph in a collection beside it; both are
// appended to methods and printed, with the ratios. With keep, *keep
// receives the bare graph instead of its being destroyed.
static void bench_graph_and_collection(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                                       unsigned threads, std::vector<BenchMethod> *methods,
                                       vx_index **keep = nullptr) {
    vx_index *bare = nullptr;
    methods->push_back(bench_hnsw(base, queries, truth, threads, &bare));
    print_method(methods->back());
    if (!bare) return;
    PairedGraph paired;
    BenchMethod coll = bench_collection_graph(base, queries, truth, threads, bare, methods->back(), &paired);
    if (keep) *keep = bare;
    else vx_index_destroy(bare);
    methods->push_back(coll);
    print_method(methods->back());
    print_collection_ratios(methods->back(), paired);
}

// Vectors one query scans at the current nprobe, on average over the first
// queries: a search asking for every entry returns each one its lists hold.
static double ivf_vectors_scanned(vx_index *index, const Matrix &queries) {
    uint64_t n = std::min<uint64_t>(queries.rows, 200);
    uint64_t all = vx_index_get_ntotal(index);
    std::vector<vx_search_result> hits(all);
    double total = 0;
    for (uint64_t q = 0; q < n; q++) total += (double)vx_index_search(index, queries.row(q), all, hits.data());
    return n ? total / (double)n : 0;
}

// What one query at this nprobe reads (the probed lists' vectors, each list
// weighted by how often queries probe it), the ceiling the bandwidth sets
// and the share of it reached.
static std::string ivf_bandwidth_note(vx_index *index, const Matrix &queries, uint32_t nprobe, double qps,
                                      double bytes_per_second) {
    double bytes = ivf_vectors_scanned(index, queries) * queries.dim * sizeof(float);
    double limit = bytes > 0 ? bytes_per_second / bytes : 0;
    char line[200];
    snprintf(line, sizeof line, "nprobe %u scans %.0f vectors (%.1f MB) a query: at most %.0f QPS, reached %.0f %%",
             nprobe, bytes / (queries.dim * sizeof(float)), bytes / 1e6, limit, limit > 0 ? 100.0 * qps / limit : 0);
    return line;
}

static BenchMethod bench_ivf(const char *name, int32_t type, const Matrix &base, const Matrix &queries,
                             const std::vector<uint64_t> &truth, unsigned threads,
                             double bytes_per_second = 0) {
    BenchMethod m;
    m.name = name;
    vx_index_params p = index_params(type, base.dim);
    p.family.ivf.nlist = 256;
    p.family.ivf.nprobe = 1;
    p.family.ivf.iterations = 10;
    if (type == VX_INDEX_IVF_PQ) {
        // Sub-quantizers of 8 or so dimensions each.
        uint32_t m_sub = 1;
        for (uint32_t cand = base.dim / 8; cand >= 1; cand--)
            if (base.dim % cand == 0) {
                m_sub = cand;
                break;
            }
        p.pq_m = m_sub;
        p.pq_nbits = 8;
    }
    vx_srand(1);
    double t0 = now_seconds();
    vx_index *index = vx_index_create(nullptr, &p);
    std::vector<uint64_t> ids = sequential_ids(base.rows);
    vx_status st = vx_index_train(index, base.data.data(), base.rows);
    if (st == VX_OK) st = vx_index_add_batch(index, ids.data(), base.data.data(), base.rows);
    m.build_seconds = now_seconds() - t0;
    m.memory_mb = arena_megabytes(index);
    if (st != VX_OK) {
        fprintf(stderr, "vexal: %s build failed: %s\n", name, vx_error_message(st));
        vx_index_destroy(index);
        return m;
    }
    for (uint32_t nprobe : {1u, 4u, 16u, 64u}) {
        vx_index_set_search_width(index, nprobe);
        std::vector<uint64_t> found;
        double qps = timed_queries(queries, threads, &found,
                                   [&](uint64_t q, uint64_t *out) { index_query(index, queries.row(q), out); });
        m.points.push_back({"nprobe " + std::to_string(nprobe), recall_at_k(truth, found, queries.rows, K), qps});
        if (nprobe == 16 && bytes_per_second > 0 && threads <= 1)
            m.notes.push_back(ivf_bandwidth_note(index, queries, nprobe, qps, bytes_per_second));
    }
    vx_index_destroy(index);
    return m;
}

/* ---- reporting --------------------------------------------------------------- */

static void print_method(const BenchMethod &m) {
    printf("%-24s build %8.2f s  memory %8.1f MiB\n", m.name.c_str(), m.build_seconds, m.memory_mb);
    for (const BenchPoint &p : m.points)
        printf("    %-12s recall@10 %.4f  %10.0f QPS\n", p.param.c_str(), p.recall, p.qps);
    for (const std::string &note : m.notes) printf("    %s\n", note.c_str());
    fflush(stdout);
}

// QPS of the cheapest setting that reaches the recall target, or 0.
static double qps_at_recall(const BenchMethod &m, double target) {
    double best = 0;
    for (const BenchPoint &p : m.points)
        if (p.recall >= target) best = std::max(best, p.qps);
    return best;
}

static void print_ratios(const std::vector<BenchMethod> &methods) {
    static const std::pair<const char *, const char *> pairs[] = {
        {"vexal HNSW", "hnswlib HNSW"}, {"vexal HNSW", "FAISS IndexHNSWFlat"}, {"vexal IVF", "FAISS IndexIVFFlat"},
        {"vexal brute force", "FAISS IndexFlatL2"}, {"vexal brute force batch", "FAISS IndexFlatL2 batch"}};
    bool header = false;
    for (auto &pr : pairs) {
        const BenchMethod *ours = nullptr, *theirs = nullptr;
        for (const BenchMethod &m : methods) {
            if (m.name == pr.first) ours = &m;
            if (m.name == pr.second) theirs = &m;
        }
        if (!ours || !theirs) continue;
        if (!header) {
            printf("\nQPS ratio ours/theirs at the cheapest setting reaching recall@10 >= 0.90 / 0.95 / 0.99\n");
            header = true;
        }
        printf("  %-20s vs %-22s", pr.first, pr.second);
        for (double target : {0.90, 0.95, 0.99}) {
            double a = qps_at_recall(*ours, target), b = qps_at_recall(*theirs, target);
            if (a > 0 && b > 0) printf("  %6.2f", a / b);
            else printf("  %6s", "-");
        }
        printf("\n");
    }
}

static const BenchMethod *find_method(const std::vector<BenchMethod> &methods, const char *name) {
    for (const BenchMethod &m : methods)
        if (m.name == name) return &m;
    return nullptr;
}

static double best_recall(const BenchMethod &m) {
    double best = 0;
    for (const BenchPoint &p : m.points) best = std::max(best, p.recall);
    return best;
}

// The graph against hnswlib: queries per second at equal recall, build time
// and memory, each as ours / theirs.
static void print_graph_ratios(const std::vector<BenchMethod> &methods) {
    const BenchMethod *ours = find_method(methods, "vexal HNSW"), *theirs = find_method(methods, "hnswlib HNSW");
    if (!ours || !theirs) return;
    printf("\nvexal HNSW / hnswlib HNSW:");
    for (double target : {0.95, 0.99}) {
        double a = qps_at_recall(*ours, target), b = qps_at_recall(*theirs, target);
        if (a > 0 && b > 0) printf("  QPS at recall >= %.2f %.2fx (%.0f vs %.0f)", target, a / b, a, b);
        else printf("  QPS at recall >= %.2f -", target);
    }
    printf("\n  build time %.2fx (%.2f s vs %.2f s)  memory %.2fx (%.1f vs %.1f MiB)  best recall %.4f vs %.4f\n",
           ours->build_seconds / theirs->build_seconds, ours->build_seconds, theirs->build_seconds,
           ours->memory_mb / theirs->memory_mb, ours->memory_mb, theirs->memory_mb, best_recall(*ours),
           best_recall(*theirs));
}

static std::string json_escape(const std::string &s) {
    std::string r;
    for (char c : s) {
        if (c == '"' || c == '\\') r += '\\';
        r += c;
    }
    return r;
}

static bool write_json(const std::string &path, const std::string &dataset, const Matrix &base,
                       const Matrix &queries, unsigned threads, const std::vector<BenchMethod> &methods,
                       std::string *error) {
    std::ofstream out(path);
    if (!out) {
        *error = "cannot write '" + path + "'";
        return false;
    }
    out << "{\n  \"dataset\": \"" << json_escape(dataset) << "\",\n  \"base\": " << base.rows
        << ",\n  \"queries\": " << queries.rows << ",\n  \"dimension\": " << base.dim << ",\n  \"k\": " << K
        << ",\n  \"threads\": " << threads << ",\n  \"methods\": [\n";
    for (size_t i = 0; i < methods.size(); i++) {
        const BenchMethod &m = methods[i];
        out << "    {\"name\": \"" << json_escape(m.name) << "\", \"build_seconds\": " << m.build_seconds
            << ", \"memory_mb\": " << m.memory_mb << ", \"points\": [";
        for (size_t j = 0; j < m.points.size(); j++)
            out << (j ? ", " : "") << "{\"param\": \"" << json_escape(m.points[j].param)
                << "\", \"recall\": " << m.points[j].recall << ", \"qps\": " << m.points[j].qps << "}";
        out << "]}" << (i + 1 < methods.size() ? "," : "") << "\n";
    }
    out << "  ]\n}\n";
    return true;
}

// vexal's bare graph and hnswlib's at each ef, the queries taken in turns
// (paired_queries) so that both meet the same machine; printed with the
// ratio per ef and at recall 0.95 and 0.99.
static void bench_graphs_side_by_side(const Matrix &queries, const std::vector<uint64_t> &truth, unsigned threads,
                                      vx_index *ours, PeerGraph *theirs) {
    BenchMethod a, b;
    a.name = "vexal HNSW";
    b.name = "hnswlib HNSW";
    printf("\nvexal HNSW and hnswlib HNSW side by side (queries in turns, best of %d rounds):\n", PAIRED_ROUNDS);
    paired_sweep(
        queries, truth, threads,
        [&](uint32_t ef) {
            vx_index_set_search_width(ours, ef);
            peer_graph_set_ef(theirs, ef);
        },
        [&](const float *q, uint64_t *out) { index_query(ours, q, out); },
        [&](const float *q, uint64_t *out) { peer_graph_query(theirs, q, out); }, &a.points, &b.points);
    for (size_t i = 0; i < a.points.size(); i++) {
        const BenchPoint &x = a.points[i], &y = b.points[i];
        printf("    %-12s vexal %8.0f QPS recall@10 %.4f  hnswlib %8.0f QPS recall@10 %.4f  %.2fx\n", x.param.c_str(),
               x.qps, x.recall, y.qps, y.recall, y.qps > 0 ? x.qps / y.qps : 0.0);
    }
    printf("  side by side:");
    for (double target : {0.95, 0.99}) {
        double x = qps_at_recall(a, target), y = qps_at_recall(b, target);
        if (x > 0 && y > 0) printf("  QPS at recall >= %.2f %.2fx (%.0f vs %.0f)", target, x / y, x, y);
        else printf("  QPS at recall >= %.2f -", target);
    }
    printf("\n");
    fflush(stdout);
}

// vexal's graph (bare and in a collection) and hnswlib, one after the
// other in one run, then the two graphs side by side.
static void bench_graphs_only(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                              unsigned threads, std::vector<BenchMethod> *methods) {
    vx_index *ours = nullptr;
    bench_graph_and_collection(base, queries, truth, threads, methods, &ours);
    PeerGraph *theirs = nullptr;
    if (!run_hnswlib_benchmark(base, queries, truth, methods, &theirs)) {
        printf("(hnswlib not compiled in: configure with -DVEXAL_BENCH_PEERS=ON)\n");
        vx_index_destroy(ours);
        return;
    }
    print_method(methods->back());
    print_graph_ratios(*methods);
    if (ours && theirs) bench_graphs_side_by_side(queries, truth, threads, ours, theirs);
    peer_graph_destroy(theirs);
    vx_index_destroy(ours);
}

/* ---- the graph at work ----------------------------------------------------------- */

// Queries per second of `search` over every query, one thread.
template <typename Fn>
static double rate_of(const Matrix &queries, Fn search) {
    double t0 = now_seconds();
    for (uint64_t q = 0; q < queries.rows; q++) search(q);
    double seconds = now_seconds() - t0;
    return seconds > 0 ? (double)queries.rows / seconds : 0.0;
}

// Ids of one collection search (k hits, an optional filter) into out.
static void filtered_ids(vx_collection *c, const float *query, const vx_filter *filter, uint64_t *out) {
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = K;
    opt.filter = filter;
    vx_search_hit hits[K];
    uint64_t n = vx_collection_search(c, query, &opt, hits);
    for (uint64_t i = 0; i < K; i++) out[i] = i < n ? hits[i].id : 0;
}

// The filters of query q: its own label (a tenth of the records, around
// the query), another label c = q % 10 (a tenth, mostly elsewhere) and a
// bucket b = q % 100 (a hundredth, everywhere).
struct WorkFilters {
    vx_filter own, label, bucket;
    WorkFilters(uint64_t q, const std::vector<uint8_t> &query_labels) {
        memset(&label, 0, sizeof(label));
        label.kind = VX_FILTER_CONDITION;
        label.key = "label";
        label.op = VX_OP_EQ;
        label.value.i32 = (int32_t)(q % 10);
        own = label;
        own.value.i32 = (int32_t)((q < query_labels.size() ? query_labels[q] : q) % 10);
        bucket = label;
        bucket.key = "bucket";
        bucket.value.i32 = (int32_t)(q % 100);
    }
};

// Which filter of WorkFilters a pass uses.
static const vx_filter *work_filter(const WorkFilters &f, int which) {
    return which == 0 ? &f.own : which == 1 ? &f.label : &f.bucket;
}

// Queries per second of the batch call on `threads` threads at the
// collection's current width.
static double batch_rate(vx_collection *c, const Matrix &queries, uint32_t threads) {
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = K;
    std::vector<vx_search_hit> hits(queries.rows * K);
    std::vector<uint64_t> counts(queries.rows);
    double t0 = now_seconds();
    vx_collection_search_batch(c, queries.data.data(), queries.rows, &opt, threads, hits.data(), counts.data());
    double seconds = now_seconds() - t0;
    return seconds > 0 ? (double)queries.rows / seconds : 0.0;
}

// A collection with its graph and two tags per record (label, and bucket =
// position % 100): filtered search through the graph against exact
// filtered search, a filter too narrow for the graph, and batch search on
// one and two threads.
static void bench_graph_at_work(const Matrix &base, const Matrix &queries, const std::vector<uint8_t> &labels,
                                const std::vector<uint8_t> &query_labels) {
    vx_collection *c = bench_collection(base, VX_INDEX_FLAT);
    vx_index_params p = index_params(VX_INDEX_HNSW, base.dim);
    p.family.hnsw.M = 16;
    p.family.hnsw.ef_construction = 200;
    p.family.hnsw.ef_search = 64;
    vx_status st = c ? vx_collection_set_index_params(c, &p) : VX_ERR_NO_MEMORY;
    static const std::string label_key = "label", bucket_key = "bucket";
    for (uint64_t i = 0; i < base.rows && st == VX_OK; i++) {
        vx_meta_entry meta[2];
        memset(meta, 0, sizeof(meta));
        meta[0].key = view_of(label_key);
        meta[0].type = VX_META_INT32;
        meta[0].value.i32 = (int32_t)((i < labels.size() ? labels[i] : i) % 10);
        meta[1].key = view_of(bucket_key);
        meta[1].type = VX_META_INT32;
        meta[1].value.i32 = (int32_t)(i % 100);
        st = vx_collection_insert_with_meta(c, base.row(i), meta, 2, nullptr);
    }
    vx_srand(1);
    double t0 = now_seconds();
    if (st == VX_OK) st = vx_collection_build_index(c);
    double build = now_seconds() - t0;
    if (st != VX_OK) {
        fprintf(stderr, "vexal: graph at work: %s\n", vx_error_message(st));
        if (c) vx_collection_destroy(c);
        return;
    }
    printf("graph at work: a collection of %llu records with label and bucket tags, M 16, ef_construction 200\n",
           (unsigned long long)base.rows);
    printf("    build %.2f s\n", build);
    uint64_t nq = queries.rows;
    const uint32_t efs[] = {16, 32, 64, 128};
    const char *names[] = {"the query's own label (a tenth)", "label = q % 10 (a tenth)",
                           "bucket = q % 100 (a hundredth)"};
    // walked[w][e]: the ids through the graph; exact[w] with the index dropped.
    std::vector<uint64_t> blank(nq * K);
    std::vector<std::vector<std::vector<uint64_t>>> walked(3, std::vector<std::vector<uint64_t>>(4, blank));
    std::vector<std::vector<uint64_t>> exact(3, blank);
    double walked_qps[3][4], exact_qps[3];
    auto pass = [&](int which, std::vector<uint64_t> *ids) {
        return rate_of(queries, [&](uint64_t q) {
            WorkFilters f(q, query_labels);
            filtered_ids(c, queries.row(q), work_filter(f, which), &(*ids)[q * K]);
        });
    };
    for (int e = 0; e < 4; e++) {
        vx_collection_set_search_width(c, efs[e]);
        for (int w = 0; w < 3; w++) walked_qps[w][e] = pass(w, &walked[w][e]);
    }
    // The best of three alternating passes each: a pass is short.
    vx_collection_set_search_width(c, 64);
    double one = 0, two = 0;
    for (int pass = 0; pass < 3; pass++) {
        one = std::max(one, batch_rate(c, queries, 1));
        two = std::max(two, batch_rate(c, queries, 2));
    }
    vx_collection_drop_index(c);
    for (int w = 0; w < 3; w++) exact_qps[w] = pass(w, &exact[w]);
    vx_collection_destroy(c);
    for (int w = 0; w < 3; w++) {
        printf("    filter on %s: exact filtered search %.0f QPS\n", names[w], exact_qps[w]);
        for (int e = 0; e < 4; e++)
            printf("      with the graph, ef %-4u recall@10 %.4f  %8.0f QPS  %.2fx exact%s\n", efs[e],
                   recall_at_k(exact[w], walked[w][e], nq, K), walked_qps[w][e], walked_qps[w][e] / exact_qps[w],
                   walked[w][e] == exact[w] ? "  (identical answers)" : "");
    }
    printf("    batch search, ef 64: 1 thread %.0f QPS, 2 threads %.0f QPS (%.2fx)\n\n", one, two, two / one);
    fflush(stdout);
}

// Every method of vexal, then the peers, then the ratios.
static void bench_all(const Matrix &base, const Matrix &queries, const std::vector<uint64_t> &truth,
                      unsigned threads, std::vector<BenchMethod> *methods) {
    methods->push_back(bench_brute_force(base, queries, truth, threads));
    print_method(methods->back());
    double bandwidth = read_bandwidth(base);
    print_bandwidth_limit(base, bandwidth, methods->back());
    methods->push_back(bench_brute_batch(base, queries, truth, threads));
    print_method(methods->back());
    bench_graph_and_collection(base, queries, truth, threads, methods);
    methods->push_back(bench_ivf("vexal IVF", VX_INDEX_IVF, base, queries, truth, threads, bandwidth));
    print_method(methods->back());
    methods->push_back(bench_ivf("vexal IVF-SQ", VX_INDEX_IVF_SQ, base, queries, truth, threads));
    print_method(methods->back());
    methods->push_back(bench_ivf("vexal IVF-PQ", VX_INDEX_IVF_PQ, base, queries, truth, threads));
    print_method(methods->back());
    methods->push_back(bench_collection_pq(base, queries, truth, threads));
    print_method(methods->back());
    size_t ours = methods->size();
    if (run_peer_benchmarks(base, queries, truth, threads, methods)) {
        for (size_t i = ours; i < methods->size(); i++) print_method((*methods)[i]);
    } else {
        printf("(peers not compiled in: configure with -DVEXAL_BENCH_PEERS=ON and install libhnswlib-dev "
               "libfaiss-dev)\n");
    }
    print_ratios(*methods);
    print_graph_ratios(*methods);
}

int cmd_bench(const std::vector<std::string> &args) {
    std::string dataset = "fashion-mnist", out_path, plot_path, value;
    unsigned threads = 1;
    uint64_t query_n = 2000, base_n = UINT64_MAX;
    ArgReader a("bench", args);
    std::vector<std::string> extra;
    uint64_t n = 0;
    bool graphs_only = false, at_work = false;
    while (a.next()) {
        if (a.flag("--help") || a.flag("-h")) {
            fputs(HELP_BENCH, stdout);
            return 0;
        } else if (a.flag("--graphs-only")) {
            graphs_only = true;
        } else if (a.flag("--graph-at-work")) {
            at_work = true;
        } else if (a.value("--dataset", &dataset) || a.value("--out", &out_path) || a.value("--plot", &plot_path)) {
            continue;
        } else if (a.value("--threads", &value)) {
            if (!parse_count(value, 1, 256, &n)) return tool_error("bench: bad --threads '" + value + "'");
            threads = (unsigned)n;
        } else if (a.value("--base", &value)) {
            if (!parse_count(value, 1, UINT64_MAX, &base_n)) return tool_error("bench: bad --base '" + value + "'");
        } else if (a.value("--queries", &value)) {
            if (!parse_count(value, 1, UINT64_MAX, &query_n)) return tool_error("bench: bad --queries '" + value + "'");
        } else {
            a.word(&extra);
        }
    }
    if (a.failed()) return tool_error(a.error());
    if (!extra.empty()) return tool_error("bench: unexpected argument '" + extra[0] + "' (see vexal help bench)");
    Matrix base, queries;
    std::vector<uint8_t> labels, query_labels;
    std::string error;
    if (dataset == "fashion-mnist") {
        const std::string dir = "/usr/share/datasets/fashion-mnist";
        if (!load_idx_images(dir + "/train-images-idx3-ubyte.gz", &base, &error) ||
            !load_idx_images(dir + "/t10k-images-idx3-ubyte.gz", &queries, &error))
            return tool_error("bench: " + error + " (apt-get install dataset-fashion-mnist)");
        if (!load_idx_labels(dir + "/train-labels-idx1-ubyte.gz", &labels, &error)) labels.clear();
        if (!load_idx_labels(dir + "/t10k-labels-idx1-ubyte.gz", &query_labels, &error)) query_labels.clear();
    } else if (dataset == "random-128") {
        make_clustered(100000, 128, 1, 7, &base, nullptr);
        make_clustered(query_n, 128, 1, 8, &queries, nullptr);
    } else if (dataset == "clustered-128") {
        make_clustered(200000, 128, 1000, 7, &base, &labels);
        make_clustered(query_n, 128, 1000, 8, &queries, &query_labels);
    } else {
        return tool_error("bench: unknown dataset '" + dataset + "'");
    }
    if (base.rows > base_n) {
        base.rows = base_n;
        base.data.resize(base_n * base.dim);
    }
    if (queries.rows > query_n) {
        queries.rows = query_n;
        queries.data.resize(query_n * queries.dim);
    }
    printf("dataset %s: %llu base vectors, %llu queries, dimension %u, k %u, %u thread(s)\n", dataset.c_str(),
           (unsigned long long)base.rows, (unsigned long long)queries.rows, base.dim, K, threads);
    double t0 = now_seconds();
    std::vector<uint64_t> truth;
    exact_knn(base, queries, K, &truth);
    printf("ground truth in %.2f s\n\n", now_seconds() - t0);
    fflush(stdout);

    std::vector<BenchMethod> methods;
    if (at_work) {
        bench_graph_at_work(base, queries, labels, query_labels);
        return 0;
    }
    if (graphs_only) bench_graphs_only(base, queries, truth, threads, &methods);
    else bench_all(base, queries, truth, threads, &methods);

    if (!out_path.empty() && !write_json(out_path, dataset, base, queries, threads, methods, &error))
        return tool_error("bench: " + error);
    if (!plot_path.empty()) {
        std::vector<Curve> curves;
        for (const BenchMethod &m : methods) {
            Curve c;
            c.name = m.name;
            for (const BenchPoint &p : m.points) {
                c.recall.push_back(p.recall);
                c.qps.push_back(p.qps);
            }
            curves.push_back(c);
        }
        if (!write_svg_plot(plot_path, "recall@10 vs QPS, " + dataset, curves, &error))
            return tool_error("bench: " + error);
    }
    return 0;
}
