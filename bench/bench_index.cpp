// Scale figures of the graph index: build time of n random vectors on one
// thread, then recall@10 and queries per second at several ef_search values
// against exact brute force. Optionally the same for the inverted file.
//
//   bench_index [n] [queries] [dim] [--ivf] [--fmnist]
//   defaults: 100000 vectors, 1000 queries, 128 dimensions, M 16,
//   ef_construction 200, ef_search 16 / 64 / 256.
//   --fmnist: the 60,000 Fashion-MNIST training images (784 pixel values as
//   floats) as vectors and the first test images as queries, read from
//   /usr/share/datasets/fashion-mnist through gzip.
#include "vexal.h"
#include "vx_index_internal.h"
#include "vx_vector_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<float> random_rows(uint64_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (float &x : v) x = u(rng);
    return v;
}

// Images of an idx3 file (gzip-compressed) as float rows; false when the
// file cannot be read.
bool read_images(const char *path, uint64_t limit, std::vector<float> *rows, uint64_t *n,
                 uint32_t *dim) {
    std::string cmd = std::string("gzip -dc ") + path;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return false;
    unsigned char head[16];
    bool ok = std::fread(head, 1, 16, f) == 16;
    if (ok) {
        auto be32 = [&](int at) {
            return (uint32_t(head[at]) << 24) | (uint32_t(head[at + 1]) << 16) |
                   (uint32_t(head[at + 2]) << 8) | uint32_t(head[at + 3]);
        };
        uint64_t count = std::min<uint64_t>(be32(4), limit);
        *dim = be32(8) * be32(12);
        std::vector<unsigned char> pixels(count * *dim);
        ok = std::fread(pixels.data(), 1, pixels.size(), f) == pixels.size();
        rows->assign(pixels.begin(), pixels.end());
        *n = count;
    }
    pclose(f);
    return ok;
}

// Exact top-10 ids of every query (ids are row numbers + 1).
std::vector<std::vector<uint64_t>> ground_truth(const std::vector<float> &rows, uint64_t n,
                                                const std::vector<float> &queries, uint64_t nq,
                                                uint32_t dim) {
    std::vector<std::vector<uint64_t>> truth(nq);
    std::vector<float> dist(n);
    std::vector<uint64_t> order(n);
    for (uint64_t q = 0; q < nq; q++) {
        batch_distance_rows(queries.data() + q * dim, rows.data(), n, dim, VX_METRIC_L2, dist.data());
        for (uint64_t i = 0; i < n; i++) order[i] = i;
        std::partial_sort(order.begin(), order.begin() + 10, order.end(), [&](uint64_t a, uint64_t b) {
            return dist[a] < dist[b] || (dist[a] == dist[b] && a < b);
        });
        for (int i = 0; i < 10; i++) truth[q].push_back(order[i] + 1);
    }
    return truth;
}

// Runs every query once; prints recall@10 and queries per second.
void measure(const char *label, vx_index *index, const std::vector<float> &queries, uint64_t nq,
             uint32_t dim, const std::vector<std::vector<uint64_t>> &truth) {
    std::vector<vx_search_result> r(10 * nq);
    auto t0 = std::chrono::steady_clock::now();
    for (uint64_t q = 0; q < nq; q++) vx_index_search(index, queries.data() + q * dim, 10, &r[q * 10]);
    double secs = seconds_since(t0);
    uint64_t found = 0;
    for (uint64_t q = 0; q < nq; q++) {
        std::set<uint64_t> want(truth[q].begin(), truth[q].end());
        for (int i = 0; i < 10; i++) found += want.count(r[q * 10 + i].id);
    }
    std::printf("  %-16s recall@10 %.4f   %9.0f QPS\n", label, double(found) / (10.0 * nq),
                double(nq) / secs);
}

} // namespace

int main(int argc, char **argv) {
    uint64_t n = 100000, nq = 1000;
    uint32_t dim = 128;
    bool ivf = false, fmnist = false;
    int pos = 0;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--ivf") == 0) {
            ivf = true;
            continue;
        }
        if (std::strcmp(argv[i], "--fmnist") == 0) {
            fmnist = true;
            continue;
        }
        uint64_t v = std::strtoull(argv[i], nullptr, 10);
        if (pos == 0) n = v;
        else if (pos == 1) nq = v;
        else if (pos == 2) dim = (uint32_t)v;
        pos++;
    }
    std::vector<float> rows, queries;
    if (fmnist) {
        const char *dir = "/usr/share/datasets/fashion-mnist/";
        uint32_t qdim = 0;
        if (!read_images((std::string(dir) + "train-images-idx3-ubyte.gz").c_str(), n, &rows, &n,
                         &dim) ||
            !read_images((std::string(dir) + "t10k-images-idx3-ubyte.gz").c_str(), nq, &queries,
                         &nq, &qdim) ||
            qdim != dim) {
            std::fprintf(stderr, "cannot read Fashion-MNIST\n");
            return 6;
        }
        std::printf("Fashion-MNIST: %llu %u-d vectors, %llu queries, one thread\n",
                    (unsigned long long)n, dim, (unsigned long long)nq);
    } else {
        std::printf("%llu random %u-d vectors (uniform [0,1)), %llu queries, one thread\n",
                    (unsigned long long)n, dim, (unsigned long long)nq);
        rows = random_rows(n, dim, 1);
        queries = random_rows(nq, dim, 2);
    }
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; i++) ids[i] = i + 1;

    auto t0 = std::chrono::steady_clock::now();
    auto truth = ground_truth(rows, n, queries, nq, dim);
    double bf = seconds_since(t0);
    std::printf("exact brute force: %.0f QPS\n", double(nq) / bf);

    vx_index_params p;
    std::memset(&p, 0, sizeof p);
    p.type = VX_INDEX_HNSW;
    p.metric = VX_METRIC_L2;
    p.dimension = dim;
    p.family.hnsw.M = 16;
    p.family.hnsw.ef_construction = 200;
    p.family.hnsw.ef_search = 16;
    vx_index *index = vx_index_create(nullptr, &p);
    if (!index) return 1;
    vx_srand(12345);
    t0 = std::chrono::steady_clock::now();
    if (vx_index_add_batch(index, ids.data(), rows.data(), n) != VX_OK) return 2;
    double build = seconds_since(t0);
    std::printf("HNSW M 16, ef_construction 200: build %.1f s (%.0f vectors/s), max level %u\n",
                build, double(n) / build, vx_hnsw_get_max_level((vx_hnsw_index *)index->body));
    for (uint32_t ef : {16u, 32u, 64u, 256u}) {
        ((vx_hnsw_index *)index->body)->ef_search = ef;
        char label[32];
        std::snprintf(label, sizeof label, "ef_search %u", ef);
        measure(label, index, queries, nq, dim, truth);
    }
    vx_index_destroy(index);

    if (ivf) {
        std::memset(&p, 0, sizeof p);
        p.type = VX_INDEX_IVF;
        p.dimension = dim;
        p.family.ivf.nlist = 256;
        p.family.ivf.nprobe = 16;
        p.family.ivf.iterations = 10;
        index = vx_index_create(nullptr, &p);
        if (!index) return 3;
        t0 = std::chrono::steady_clock::now();
        if (vx_index_train(index, rows.data(), n) != VX_OK) return 4;
        double train = seconds_since(t0);
        t0 = std::chrono::steady_clock::now();
        if (vx_index_add_batch(index, ids.data(), rows.data(), n) != VX_OK) return 5;
        std::printf("IVF nlist 256, 10 iterations: train %.1f s, add %.1f s\n", train,
                    seconds_since(t0));
        for (uint32_t np : {4u, 16u, 64u}) {
            ((vx_ivf_index *)index->body)->nprobe = np;
            char label[32];
            std::snprintf(label, sizeof label, "nprobe %u", np);
            measure(label, index, queries, nq, dim, truth);
        }
        vx_index_destroy(index);
    }
    return 0;
}
