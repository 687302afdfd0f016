// Graph quality under churn: a graph over Fashion-MNIST goes through rounds
// of removing half its nodes at random and adding as many under new ids
// (the removed rows again, so the survivors always cover the same data),
// then its recall@10 is set against a graph built afresh on the survivors.
//
// usage: graph_churn [--base N] [--queries Q] [--rounds R] [--ef E]
//                          [--nearest]
//   defaults: all 60,000 training images, 1,000 test queries, 3 rounds,
//   search width 64; graphs of M 16, ef_construction 200 (as vexal bench).
//   --nearest builds both graphs with the nearest-link rule instead of the
//   diverse one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vexal.h"
#include "vexal_data.h"

namespace {

const uint32_t K = 10;

struct Options {
    uint64_t base = 60000;
    uint64_t queries = 1000;
    uint32_t rounds = 3;
    uint32_t ef = 64;
    bool nearest = false;
};

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool parse_options(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--nearest") o->nearest = true;
        else if (a == "--base" && has_value) o->base = strtoull(argv[++i], nullptr, 10);
        else if (a == "--queries" && has_value) o->queries = strtoull(argv[++i], nullptr, 10);
        else if (a == "--rounds" && has_value) o->rounds = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else if (a == "--ef" && has_value) o->ef = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else return false;
    }
    return o->base >= 2 && o->queries >= 1;
}

vx_index *new_graph(uint32_t dim, const Options &o) {
    vx_index_params p;
    std::memset(&p, 0, sizeof p);
    p.type = VX_INDEX_HNSW;
    p.metric = VX_METRIC_L2;
    p.dimension = dim;
    p.family.hnsw.M = 16;
    p.family.hnsw.ef_construction = 200;
    p.family.hnsw.ef_search = o.ef;
    vx_index *index = vx_index_create(nullptr, &p);
    if (index && o.nearest) vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_NEAREST);
    return index;
}

// Adds the rows named by rows[i] under ids[i], in one batch.
bool add_rows(vx_index *index, const Matrix &data, const std::vector<uint64_t> &ids,
              const std::vector<uint64_t> &rows) {
    std::vector<float> block(rows.size() * data.dim);
    for (size_t i = 0; i < rows.size(); i++)
        std::memcpy(&block[i * data.dim], data.row(rows[i]), data.dim * sizeof(float));
    return vx_index_add_batch(index, ids.data(), block.data(), ids.size()) == VX_OK;
}

double graph_recall(vx_index *index, const Matrix &queries, const std::vector<uint64_t> &truth, uint32_t ef) {
    vx_index_set_search_width(index, ef);
    std::vector<uint64_t> found(queries.rows * K, 0);
    vx_search_result r[K];
    for (uint64_t q = 0; q < queries.rows; q++) {
        uint64_t n = vx_index_search(index, queries.row(q), K, r);
        for (uint64_t i = 0; i < n; i++) found[q * K + i] = r[i].id;
    }
    return recall_at_k(truth, found, queries.rows, K);
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr, "usage: graph_churn [--base N] [--queries Q] [--rounds R] [--ef E] [--nearest]\n");
        return 2;
    }
    const std::string dir = "/usr/share/datasets/fashion-mnist";
    Matrix data, queries;
    std::string error;
    if (!load_idx_images(dir + "/train-images-idx3-ubyte.gz", &data, &error) ||
        !load_idx_images(dir + "/t10k-images-idx3-ubyte.gz", &queries, &error)) {
        fprintf(stderr, "graph_churn: %s\n", error.c_str());
        return 1;
    }
    data.rows = std::min<uint64_t>(data.rows, o.base);
    data.data.resize(data.rows * data.dim);
    queries.rows = std::min<uint64_t>(queries.rows, o.queries);
    queries.data.resize(queries.rows * queries.dim);
    printf("fashion-mnist: %llu vectors, %llu queries, dimension %u, %s rule\n",
           (unsigned long long)data.rows, (unsigned long long)queries.rows, data.dim,
           o.nearest ? "nearest" : "diverse");

    // row_of[id - 1]: the data row a graph id carries.
    std::vector<uint64_t> row_of(data.rows), live(data.rows);
    for (uint64_t i = 0; i < data.rows; i++) {
        live[i] = i + 1;
        row_of[i] = i;
    }
    vx_srand(1);
    vx_index *churned = new_graph(data.dim, o);
    double t0 = now_seconds();
    if (!churned || !add_rows(churned, data, live, row_of)) return 1;
    printf("build: %.2f s\n", now_seconds() - t0);

    std::mt19937_64 rng(2024);
    const uint64_t half = data.rows / 2;
    for (uint32_t round = 1; round <= o.rounds; round++) {
        std::shuffle(live.begin(), live.end(), rng);
        t0 = now_seconds();
        for (uint64_t i = 0; i < half; i++)
            if (vx_index_remove(churned, live[i]) != VX_OK) return 1;
        double removing = now_seconds() - t0;
        std::vector<uint64_t> ids(half), rows(half);
        for (uint64_t i = 0; i < half; i++) {
            rows[i] = row_of[live[i] - 1];
            ids[i] = live[i] = row_of.size() + 1;
            row_of.push_back(rows[i]);
        }
        t0 = now_seconds();
        if (!add_rows(churned, data, ids, rows)) return 1;
        printf("round %u: removed %llu in %.2f s (%.1f us each), added %llu in %.2f s\n", round,
               (unsigned long long)half, removing, 1e6 * removing / (double)half, (unsigned long long)half,
               now_seconds() - t0);
    }

    // Survivors in id order; exact_knn answers positions among them.
    std::sort(live.begin(), live.end());
    Matrix survivors;
    survivors.rows = live.size();
    survivors.dim = data.dim;
    std::vector<uint64_t> rows(live.size());
    for (size_t i = 0; i < live.size(); i++) rows[i] = row_of[live[i] - 1];
    survivors.data.resize(survivors.rows * survivors.dim);
    for (size_t i = 0; i < rows.size(); i++)
        std::memcpy(&survivors.data[i * data.dim], data.row(rows[i]), data.dim * sizeof(float));
    std::vector<uint64_t> truth;
    exact_knn(survivors, queries, K, &truth);
    for (uint64_t &t : truth) t = live[t - 1];

    vx_srand(1);
    vx_index *fresh = new_graph(data.dim, o);
    t0 = now_seconds();
    if (!fresh || !add_rows(fresh, data, live, rows)) return 1;
    printf("fresh build on the survivors: %.2f s\n", now_seconds() - t0);
    double churn_recall = graph_recall(churned, queries, truth, o.ef);
    double fresh_recall = graph_recall(fresh, queries, truth, o.ef);
    printf("recall@%u at ef %u: after churn %.4f, fresh %.4f, difference %+.4f\n", K, o.ef, churn_recall,
           fresh_recall, churn_recall - fresh_recall);
    vx_index_destroy(fresh);
    vx_index_destroy(churned);
    return 0;
}
