// Insertion latency under steady search: three threads search a collection
// of 50,000 vectors without pause while the main thread inserts, one vector
// at a time, and times each insertion. A reader-preferring lock lets the
// searches keep the insertions out indefinitely; with writers first, an
// insertion waits only for the searches already running.
//
// usage: insert_latency [records [inserts [dimension [index [pause_ms]]]]]
//   defaults 50000 records, 200 inserts, dimension 128, index "flat"
//   ("hnsw" builds a graph index first), 5 ms between insertions so that
//   the searches run in between (back-to-back insertions would keep the
//   lock to themselves). Prints the 50th and 99th percentile and the
//   largest latency in milliseconds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "vexal.h"

namespace {

typedef std::chrono::steady_clock clock_type;

const int SEARCHERS = 3;

struct Options {
    uint64_t records = 50000;
    uint64_t inserts = 200;
    uint32_t dimension = 128;
    bool graph = false;
    uint32_t pause_ms = 5;
};

std::vector<float> random_vectors(uint64_t n, uint32_t dim, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (float &x : v) x = u(rng);
    return v;
}

vx_collection *fill_collection(const Options &o) {
    vx_collection_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.dimension = o.dimension;
    cfg.metric = VX_METRIC_L2;
    cfg.index_type = o.graph ? VX_INDEX_HNSW : VX_INDEX_FLAT;
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    if (!c) return nullptr;
    std::vector<float> v = random_vectors(o.records, o.dimension, 1);
    if (vx_collection_insert_batch(c, v.data(), o.records, nullptr) != VX_OK ||
        (o.graph && vx_collection_build_index(c) != VX_OK)) {
        vx_collection_destroy(c);
        return nullptr;
    }
    return c;
}

double percentile(std::vector<double> sorted, double p) {
    std::sort(sorted.begin(), sorted.end());
    size_t at = (size_t)(p * (double)(sorted.size() - 1) + 0.5);
    return sorted[at];
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (argc > 1) o.records = strtoull(argv[1], nullptr, 10);
    if (argc > 2) o.inserts = strtoull(argv[2], nullptr, 10);
    if (argc > 3) o.dimension = (uint32_t)strtoul(argv[3], nullptr, 10);
    if (argc > 4) o.graph = strcmp(argv[4], "hnsw") == 0;
    if (argc > 5) o.pause_ms = (uint32_t)strtoul(argv[5], nullptr, 10);
    if (o.records == 0 || o.inserts == 0 || o.dimension == 0) {
        fprintf(stderr, "usage: insert_latency [records [inserts [dimension [flat|hnsw [pause_ms]]]]]\n");
        return 2;
    }
    vx_collection *c = fill_collection(o);
    if (!c) {
        fprintf(stderr, "insert_latency: cannot build the collection\n");
        return 1;
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> searches{0};
    std::vector<std::thread> searchers;
    for (int t = 0; t < SEARCHERS; t++) {
        searchers.emplace_back([&, t] {
            std::vector<float> queries = random_vectors(64, o.dimension, 100 + (uint64_t)t);
            vx_search_options opt = {10, nullptr, 0, 0, 0};
            vx_search_hit hits[10];
            for (uint64_t i = 0; !stop.load(std::memory_order_relaxed); i++) {
                vx_collection_search(c, &queries[(i % 64) * o.dimension], &opt, hits);
                searches.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    // Let every searcher get going before the first insertion.
    while (searches.load() < (uint64_t)SEARCHERS * 2) std::this_thread::yield();

    std::vector<float> fresh = random_vectors(o.inserts, o.dimension, 2);
    std::vector<double> ms;
    ms.reserve(o.inserts);
    uint64_t searches_before = searches.load();
    for (uint64_t i = 0; i < o.inserts; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.pause_ms));
        clock_type::time_point start = clock_type::now();
        vx_status st = vx_collection_insert(c, &fresh[i * o.dimension], nullptr);
        std::chrono::duration<double, std::milli> took = clock_type::now() - start;
        if (st != VX_OK) {
            fprintf(stderr, "insert_latency: insertion failed: %s\n", vx_error_message(st));
            break;
        }
        ms.push_back(took.count());
    }
    uint64_t searched = searches.load() - searches_before;
    stop = true;
    for (std::thread &t : searchers) t.join();
    vx_collection_destroy(c);
    if (ms.empty()) return 1;

    printf("records %llu, dimension %u, index %s, %d searching threads\n", (unsigned long long)o.records,
           o.dimension, o.graph ? "hnsw" : "flat", SEARCHERS);
    printf("inserts %zu, searches meanwhile %llu\n", ms.size(), (unsigned long long)searched);
    printf("insert latency ms: p50 %.3f  p99 %.3f  max %.3f\n", percentile(ms, 0.50), percentile(ms, 0.99),
           *std::max_element(ms.begin(), ms.end()));
    return 0;
}
