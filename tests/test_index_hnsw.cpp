// Graph index: construction details (levels, table growth, linking and
// pruning, removal), search results, a plain model of the whole algorithm
// (linear visited lists and candidate lists) that the graph must match link
// for link, recall, metrics other than L2, and searches beside a writer.
#include "index_test_util.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <set>

using namespace idxtest;

// Hostile sizes must fail as allocation failures, not abort the sanitizers.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

/* ---- a plain model of the graph ---------------------------------------------- */

// Straight transcription of the graph algorithm with linear scans everywhere:
// the oracle for the library's heap-and-epoch implementation.
struct Model {
    struct Node {
        uint64_t id;
        std::vector<float> v;
        uint32_t level;
        std::vector<std::vector<uint64_t>> links;
        uint32_t cap(uint32_t l, uint32_t M) const { return l == 0 ? 2 * M : M; }
    };
    uint32_t dim, M, efc, efs, cap_levels;
    float level_mult;
    int32_t metric;
    std::vector<Node *> nodes;
    uint32_t max_level = 0;
    int64_t entry = -1;
    std::vector<Node> storage;
    bool diverse = false;        // the diverse selection and its own levels
    uint64_t level_state = 12345;

    Model(uint32_t dim_, uint32_t M_, uint32_t efc_, uint32_t efs_, int32_t metric_,
          uint32_t cap_ = 0, float mult = 0.0f)
        : dim(dim_), M(M_), efc(efc_), efs(efs_), cap_levels(cap_),
          level_mult(mult > 0 ? mult : 1.0f / vx_math_log_f32((float)M_)), metric(metric_),
          nodes(4096, nullptr) {
        storage.reserve(1 << 16);
    }

    float dist(const float *a, const float *b) const { return vx_vec_distance(a, b, dim, metric); }
    Node *usable(uint64_t id) const { return id < nodes.size() ? nodes[id] : nullptr; }

    uint64_t greedy(uint64_t ep, const float *q, uint32_t layer, std::vector<uint64_t> &visited) {
        Node *cur = usable(ep);
        if (!cur) return ep;
        float best = dist(q, cur->v.data());
        for (;;) {
            if (layer > cur->level) return cur->id;
            Node *target = nullptr;
            for (uint64_t id : cur->links[layer]) {
                Node *n = usable(id);
                if (!n) continue;
                if (std::find(visited.begin(), visited.end(), id) != visited.end()) continue;
                visited.push_back(id);
                float d = dist(q, n->v.data());
                if (d < best) {
                    best = d;
                    target = n;
                }
            }
            if (!target) return cur->id;
            cur = target;
        }
    }

    std::vector<vx_heap_item> layer_search(uint64_t ep, const float *q, uint32_t layer, uint32_t ef) {
        std::vector<vx_heap_item> items(ef ? ef : 1);
        vx_result_heap heap = {items.data(), 0, ef};
        Node *start = usable(ep);
        if (!start) return {};
        float d0 = dist(q, start->v.data());
        std::vector<uint64_t> visited{ep};
        heap_offer(&heap, ep, layer, d0);
        std::vector<uint64_t> cid{ep};
        std::vector<float> cd{d0};
        for (;;) {
            size_t best = 0;
            for (size_t i = 1; i < cd.size(); i++)
                if (cd[i] < cd[best]) best = i;
            uint64_t cur = cid[best];
            float curd = cd[best];
            cid[best] = cid.back();
            cd[best] = cd.back();
            cid.pop_back();
            cd.pop_back();
            if (heap.count > 0 && items[0].distance < curd) break;
            Node *cn = nodes[cur];
            if (layer <= cn->level) {
                for (uint64_t id : cn->links[layer]) {
                    Node *n = usable(id);
                    if (!n) continue;
                    if (std::find(visited.begin(), visited.end(), id) != visited.end()) continue;
                    visited.push_back(id);
                    float d = dist(q, n->v.data());
                    heap_offer(&heap, id, layer, d);
                    cid.push_back(id);
                    cd.push_back(d);
                }
            }
            if (cid.empty()) break;
        }
        items.resize(heap.count);
        return items;
    }

    void select(std::vector<uint64_t> &list, uint64_t count, const float *v) {
        for (uint64_t i = 0; i < count; i++) {
            float best = dist(v, nodes[list[i]]->v.data());
            uint64_t pos = i;
            for (uint64_t j = i + 1; j < list.size(); j++) {
                float d = dist(v, nodes[list[j]]->v.data());
                if (d < best) {
                    best = d;
                    pos = j;
                }
            }
            std::swap(list[i], list[pos]);
        }
    }

    // splitmix64; 24 bits in (0, 1].
    float own_uniform() {
        uint64_t z = (level_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return (float)((z >> 40) + 1) / 16777216.0f;
    }

    // Nearest to base first; a candidate is kept when no kept one is nearer
    // to it than base is, until limit are kept. Fewer than limit: all kept.
    std::vector<uint64_t> pick_diverse(const float *base, std::vector<uint64_t> cands, size_t limit) {
        std::sort(cands.begin(), cands.end(), [&](uint64_t a, uint64_t b) {
            float da = dist(base, nodes[a]->v.data()), db = dist(base, nodes[b]->v.data());
            return da < db || (da == db && a < b);
        });
        if (cands.size() < limit) return cands;
        std::vector<uint64_t> kept;
        for (uint64_t c : cands) {
            if (kept.size() >= limit) break;
            const float *cv = nodes[c]->v.data();
            bool good = true;
            for (uint64_t r : kept)
                if (dist(cv, nodes[r]->v.data()) < dist(base, cv)) good = false;
            if (good) kept.push_back(c);
        }
        return kept;
    }

    void link_diverse(Node *node, uint32_t layer, const std::vector<uint64_t> &cands) {
        for (uint64_t nid : pick_diverse(node->v.data(), cands, std::min(M, node->cap(layer, M)))) {
            Node *nb = nodes[nid];
            node->links[layer].push_back(nid);
            if (nb->level < layer) continue;
            std::vector<uint64_t> &list = nb->links[layer];
            if (list.size() < nb->cap(layer, M)) {
                list.push_back(node->id);
                continue;
            }
            std::vector<uint64_t> all;
            for (uint64_t o : list)
                if (usable(o)) all.push_back(o);
            all.push_back(node->id);
            list = pick_diverse(nb->v.data(), all, nb->cap(layer, M));
        }
    }

    uint32_t draw_level() {
        float r = diverse ? own_uniform() : (float)(vx_rand() & 0xFFFF) / 65535.0f;
        float x = -vx_math_log_f32(r) * level_mult;
        uint32_t level = (x >= 1.0f && x < 9.2233720e18f) ? (uint32_t)(int64_t)x : 0;
        if (cap_levels && level > cap_levels) level = cap_levels;
        return level;
    }

    void insert(uint64_t id, const float *v) {
        if (id >= nodes.size()) nodes.resize(2 * id + 2, nullptr);
        uint32_t level = draw_level();
        storage.push_back(Node{id, std::vector<float>(v, v + dim), level, {}});
        Node *node = &storage.back();
        node->links.resize(level + 1);
        nodes[id] = node;
        if (entry < 0) {
            entry = (int64_t)id;
            max_level = level;
            return;
        }
        uint64_t ep = (uint64_t)entry;
        uint32_t L = max_level;
        std::vector<uint64_t> visited;
        for (uint32_t lc = L; lc > level; lc--) ep = greedy(ep, v, lc, visited);
        for (int64_t lc = std::min(level, L); lc >= 0; lc--) {
            uint32_t layer = (uint32_t)lc;
            uint32_t cap = node->cap(layer, M);
            auto cands = layer_search(ep, v, layer, efc);
            if (cands.empty()) continue; // brute-force branch not exercised here
            std::vector<uint64_t> list;
            for (auto &c : cands) list.push_back(c.id);
            uint64_t nearest = 0;
            for (size_t i = 1; i < cands.size(); i++)
                if (cands[i].distance < cands[nearest].distance) nearest = i;
            if (diverse) {
                link_diverse(node, layer, list);
                ep = cands[nearest].id;
                continue;
            }
            if (list.size() > cap) {
                select(list, cap, v);
                list.resize(cap);
            }
            for (uint64_t nid : list) {
                Node *nb = nodes[nid];
                if (node->links[layer].size() < cap) node->links[layer].push_back(nid);
                if (nb->level < layer) continue;
                if (nb->links[layer].size() < nb->cap(layer, M)) {
                    nb->links[layer].push_back(id);
                    continue;
                }
                float worst = metric == VX_METRIC_L2 ? -1.0f : -INFINITY;
                size_t pos = 0;
                for (size_t j = 0; j < nb->links[layer].size(); j++) {
                    Node *o = usable(nb->links[layer][j]);
                    if (!o) continue;
                    float d = dist(nb->v.data(), o->v.data());
                    if (d > worst) {
                        worst = d;
                        pos = j;
                    }
                }
                if (dist(nb->v.data(), v) < worst) nb->links[layer][pos] = id;
            }
            ep = cands[nearest].id;
        }
        if (level > max_level) {
            entry = (int64_t)id;
            max_level = level;
        }
    }

    // The diverse graph relinks each neighbour that linked back to the
    // removed node: its other links and the removed node's, picked afresh.
    void relink_around(const Node *gone) {
        for (uint32_t l = 0; l <= gone->level; l++) {
            for (uint64_t nid : gone->links[l]) {
                Node *nb = usable(nid);
                if (!nb || nb->level < l) continue;
                std::vector<uint64_t> &list = nb->links[l];
                if (std::find(list.begin(), list.end(), gone->id) == list.end()) continue;
                std::vector<uint64_t> cands;
                const std::vector<uint64_t> *sources[] = {&list, &gone->links[l]};
                for (const std::vector<uint64_t> *from : sources)
                    for (uint64_t c : *from) {
                        Node *cn = usable(c);
                        if (!cn || c == nid || cn->level < l) continue;
                        if (std::find(cands.begin(), cands.end(), c) == cands.end()) cands.push_back(c);
                    }
                list = pick_diverse(nb->v.data(), cands, nb->cap(l, M));
            }
        }
    }

    void remove(uint64_t id) {
        if (id >= nodes.size() || !nodes[id]) return;
        Node *gone = nodes[id];
        nodes[id] = nullptr;
        if (diverse) relink_around(gone);
        if (entry == (int64_t)id) {
            entry = -1;
            max_level = 0;
            for (Node *n : nodes)
                if (n) {
                    entry = (int64_t)n->id;
                    max_level = n->level;
                    break;
                }
        }
    }

    std::vector<Hit> search(const float *q, uint64_t k) {
        if (entry < 0) return {};
        uint32_t ef = std::max(efs, (uint32_t)k);
        uint64_t ep = (uint64_t)entry;
        std::vector<uint64_t> visited;
        for (uint32_t lc = max_level; lc >= 1; lc--) ep = greedy(ep, q, lc, visited);
        auto cands = layer_search(ep, q, 0, ef);
        std::sort(cands.begin(), cands.end(),
                  [](const vx_heap_item &a, const vx_heap_item &b) { return a.distance < b.distance; });
        std::vector<Hit> hits;
        for (uint64_t i = 0; i < cands.size() && i < k; i++) hits.push_back({cands[i].id, cands[i].distance});
        return hits;
    }
};

// The library's graph equals the model's: same levels, same links in the
// same order, same entry point and top layer.
void expect_same_graph(vx_index *index, const Model &m) {
    vx_hnsw_index *h = hnsw_body(index);
    ASSERT_EQ(h->entry_point, m.entry);
    ASSERT_EQ(h->max_level, m.max_level);
    ASSERT_EQ(h->capacity, m.nodes.size());
    for (uint64_t id = 0; id < h->capacity; id++) {
        const Model::Node *o = m.nodes[id];
        ASSERT_EQ(hnsw_has_node(h, id), o != nullptr) << id;
        if (!o) continue;
        ASSERT_EQ(h->levels[id], o->level) << id;
        for (uint32_t l = 0; l <= o->level; l++)
            ASSERT_EQ(graph_links(h, id, l), o->links[l]) << id << " layer " << l;
    }
}

void expect_same_search(vx_index *index, Model &m, const float *queries, uint64_t nq, uint64_t k) {
    std::vector<vx_search_result> r(k);
    for (uint64_t q = 0; q < nq; q++) {
        const float *query = queries + q * m.dim;
        uint64_t n = vx_index_search(index, query, k, r.data());
        std::vector<Hit> want = m.search(query, k);
        ASSERT_EQ(n, want.size());
        for (uint64_t i = 0; i < n; i++) {
            EXPECT_EQ(r[i].id, want[i].id) << "query " << q << " rank " << i;
            EXPECT_EQ(r[i].distance, want[i].distance);
        }
    }
}

struct OracleCase {
    int32_t metric;
    uint32_t M, efc;
};

class HnswOracle : public ::testing::TestWithParam<OracleCase> {};

TEST_P(HnswOracle, GraphAndResultsMatchThePlainModel) {
    const OracleCase c = GetParam();
    const uint32_t dim = 12, n = 1500;
    auto data = random_vectors(n, dim, 11 + c.metric);
    auto queries = random_vectors(40, dim, 99);
    vx_index_params p = hnsw_params(dim, c.M, c.efc, 24, c.metric);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_NE(index, nullptr);
    ASSERT_EQ(vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_NEAREST), VX_OK);
    Model m(dim, c.M, c.efc, 24, c.metric);

    // Ids with gaps, one beyond the first table to make both grow.
    std::vector<uint64_t> ids(n);
    for (uint32_t i = 0; i < n; i++) ids[i] = 1 + 3 * i;
    vx_srand(4242);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
    vx_srand(4242);
    for (uint32_t i = 0; i < n; i++) m.insert(ids[i], data.data() + i * dim);
    expect_same_graph(index, m);
    expect_same_search(index, m, queries.data(), 40, 10);

    // Removals (the entry point among them) leave dangling links that both
    // skip; later insertions link around them identically.
    std::vector<uint64_t> gone = {ids[5], ids[77], (uint64_t)m.entry, ids[900]};
    for (uint64_t id : gone) {
        ASSERT_EQ(vx_index_remove(index, id), VX_OK);
        m.remove(id);
    }
    expect_same_graph(index, m); // the nearest-link graph's lists stay as they were
    auto more = random_vectors(200, dim, 7);
    std::vector<uint64_t> more_ids(200);
    for (uint32_t i = 0; i < 200; i++) more_ids[i] = 2 + 3 * i;
    vx_srand(77);
    ASSERT_EQ(vx_index_add_batch(index, more_ids.data(), more.data(), 200), VX_OK);
    vx_srand(77);
    for (uint32_t i = 0; i < 200; i++) m.insert(more_ids[i], more.data() + i * dim);
    expect_same_graph(index, m);
    expect_same_search(index, m, queries.data(), 40, 10);
    expect_same_search(index, m, queries.data(), 5, 60); // k above ef_search widens ef
    vx_index_destroy(index);
}

INSTANTIATE_TEST_SUITE_P(Metrics, HnswOracle,
                         ::testing::Values(OracleCase{VX_METRIC_L2, 6, 20},
                                           OracleCase{VX_METRIC_L2, 2, 40},
                                           OracleCase{VX_METRIC_L2, 8, 90},
                                           OracleCase{VX_METRIC_IP, 5, 16},
                                           OracleCase{VX_METRIC_COSINE, 5, 16}));

// The diverse graph against the model's transcription of the rule, with
// removals that relink their neighbours and later insertions that trim
// lists holding dangling links.
TEST_P(HnswOracle, DiverseGraphMatchesThePlainModel) {
    const OracleCase c = GetParam();
    const uint32_t dim = 10, n = 1200;
    auto data = random_vectors(n, dim, 13 + c.metric);
    auto queries = random_vectors(30, dim, 98);
    vx_index_params p = hnsw_params(dim, c.M, c.efc, 24, c.metric);
    p.family.hnsw.seed = 77;
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_NE(index, nullptr);
    ASSERT_EQ(hnsw_body(index)->selection, VX_HNSW_SELECT_DIVERSE); // the default
    Model m(dim, c.M, c.efc, 24, c.metric);
    m.diverse = true;
    m.level_state = 77;
    std::vector<uint64_t> ids(n);
    for (uint32_t i = 0; i < n; i++) ids[i] = 2 + 2 * i;
    vx_srand(1); // the diverse graph's levels do not depend on it
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
    for (uint32_t i = 0; i < n; i++) m.insert(ids[i], data.data() + i * dim);
    expect_same_graph(index, m);
    expect_same_search(index, m, queries.data(), 30, 10);

    // Removals relink the neighbours on every layer of the removed node:
    // the entry point (the top layer) and one node in eight.
    std::vector<uint64_t> gone = {(uint64_t)m.entry};
    for (uint32_t i = 3; i < n; i += 8) gone.push_back(ids[i]);
    for (uint64_t id : gone) {
        ASSERT_EQ(vx_index_remove(index, id), VX_OK);
        m.remove(id);
    }
    expect_same_graph(index, m);
    auto more = random_vectors(150, dim, 5);
    std::vector<uint64_t> more_ids(150);
    for (uint32_t i = 0; i < 150; i++) more_ids[i] = 1 + 2 * i;
    ASSERT_EQ(vx_index_add_batch(index, more_ids.data(), more.data(), 150), VX_OK);
    for (uint32_t i = 0; i < 150; i++) m.insert(more_ids[i], more.data() + i * dim);
    expect_same_graph(index, m);
    expect_same_search(index, m, queries.data(), 30, 10);
    vx_index_destroy(index);
}

/* ---- construction details ---------------------------------------------------------- */

TEST(HnswCreate, DefaultsAndNodeCapacities) {
    vx_hnsw_params hp = {4, 10, 10, 0, 0, 0.0f};
    vx_hnsw_index *h = vx_hnsw_create(nullptr, 3, &hp);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->level_mult, 1.0f / vx_math_log_f32(4.0f));
    EXPECT_NEAR(h->level_mult, 0.72135f, 1e-4f);
    EXPECT_EQ(h->effective_seed, 12345u);
    EXPECT_EQ(h->capacity, 4096u);
    EXPECT_EQ(h->entry_point, -1);
    EXPECT_EQ(vx_hnsw_get_entry_point(h), -1);
    vx_hnsw_destroy(h); // releases the arena it made

    hp.seed = 9;
    hp.level_mult = 0.25f;
    EXPECT_EQ(vx_hnsw_create(nullptr, 0, &hp), nullptr);
    EXPECT_EQ(vx_hnsw_create(nullptr, 3, nullptr), nullptr);
    vx_index_params p = hnsw_params(3, 4, 10, 10);
    p.family.hnsw = hp;
    vx_index *index = vx_index_create(nullptr, &p);
    h = hnsw_body(index);
    EXPECT_EQ(h->effective_seed, 9u);
    EXPECT_EQ(h->level_mult, 0.25f);
    float v[3] = {1, 2, 3};
    ASSERT_EQ(vx_index_add(index, 7, v), VX_OK);
    ASSERT_TRUE(hnsw_has_node(h, 7));
    EXPECT_EQ(hnsw_layer_cap(h, 0), 8u);
    EXPECT_EQ(hnsw_layer_cap(h, 1), 4u);
    EXPECT_TRUE(graph_links(h, 7, 0).empty()); // the first node has no links
    EXPECT_EQ(h->entry_point, 7);
    EXPECT_EQ(h->max_level, h->levels[7]);
    EXPECT_NE(h->vectors[7], v); // a private copy
    EXPECT_EQ(std::memcmp(h->vectors[7], v, sizeof v), 0);
    vx_index_destroy(index);
}

TEST(HnswCreate, TableGrowsToTwiceTheIdPlusTwo) {
    vx_index_params p = hnsw_params(2, 4, 10, 10);
    vx_index *index = vx_index_create(nullptr, &p);
    float v[2] = {1, 1};
    ASSERT_EQ(vx_index_add(index, 5000, v), VX_OK);
    EXPECT_EQ(hnsw_body(index)->capacity, 10002u);
    ASSERT_EQ(vx_index_add(index, 10001, v), VX_OK);
    EXPECT_EQ(hnsw_body(index)->capacity, 10002u);
    ASSERT_EQ(vx_index_add(index, 10002, v), VX_OK);
    EXPECT_EQ(hnsw_body(index)->capacity, 20006u);
    // An id whose table cannot exist is refused, nothing placed.
    EXPECT_EQ(vx_index_add(index, UINT64_MAX, v), VX_ERR_NO_MEMORY);
    EXPECT_EQ(vx_index_add(index, UINT64_MAX / 8, v), VX_ERR_NO_MEMORY);
    // Links are 32-bit slots: ids from 2^31 - 1 up are refused the same way.
    EXPECT_EQ(vx_index_add(index, 0x7FFFFFFFull, v), VX_ERR_NO_MEMORY);
    EXPECT_EQ(vx_index_add(index, 1ull << 32, v), VX_ERR_NO_MEMORY);
    EXPECT_EQ(vx_index_get_ntotal(index), 3u);
    vx_search_result r[4];
    EXPECT_EQ(vx_index_search(index, v, 4, r), 3u);
    vx_index_destroy(index);
}

// A graph that borrows reads the adder's vectors in place and answers
// exactly like one that copies them, through removals, re-adds with other
// vectors, and a save and load (which gives the loaded graph its own copies).
TEST(HnswBorrow, BorrowedVectorsAnswerLikeCopiedOnes) {
    const uint32_t dim = 12;
    vx_index_params p = hnsw_params(dim, 6, 40, 30);
    vx_index *copied = vx_index_create(nullptr, &p);
    vx_index *borrowed = vx_index_create(nullptr, &p);
    ASSERT_EQ(index_borrow_vectors(borrowed), VX_OK);
    auto data = random_vectors(700, dim, 31);
    auto moved = random_vectors(50, dim, 32);
    auto queries = random_vectors(40, dim, 33);
    auto ids = sequential_ids(700, 0);
    for (uint64_t i = 0; i < 700; i += 100) {
        ASSERT_EQ(vx_index_add_batch(copied, ids.data() + i, data.data() + i * dim, 100), VX_OK);
        ASSERT_EQ(vx_index_add_batch(borrowed, ids.data() + i, data.data() + i * dim, 100), VX_OK);
    }
    EXPECT_EQ(index_borrow_vectors(borrowed), VX_ERR_INVALID_ARG); // no longer empty
    for (uint64_t id = 0; id < 700; id++) {
        ASSERT_EQ(hnsw_body(borrowed)->vectors[id], data.data() + id * dim) << id;
        ASSERT_NE(hnsw_body(copied)->vectors[id], data.data() + id * dim) << id;
    }
    for (uint64_t k = 0; k < 50; k++) {
        uint64_t id = k * 13;
        for (vx_index *index : {copied, borrowed}) {
            ASSERT_EQ(vx_index_remove(index, id), VX_OK);
            ASSERT_EQ(vx_index_add(index, id, moved.data() + k * dim), VX_OK);
        }
    }
    auto same_answers = [&](vx_index *a, vx_index *b) {
        for (uint64_t q = 0; q < 40; q++) {
            vx_search_result ra[10], rb[10];
            uint64_t na = vx_index_search(a, queries.data() + q * dim, 10, ra);
            ASSERT_EQ(na, vx_index_search(b, queries.data() + q * dim, 10, rb)) << q;
            for (uint64_t i = 0; i < na; i++) {
                EXPECT_EQ(ra[i].id, rb[i].id) << q << " " << i;
                EXPECT_EQ(std::memcmp(&ra[i].distance, &rb[i].distance, 4), 0) << q << " " << i;
            }
        }
    };
    same_answers(copied, borrowed);
    char path[] = "/tmp/vx_borrowed_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    vx_str name = {path, strlen(path)};
    ASSERT_EQ(vx_index_save(borrowed, &name), VX_OK);
    vx_arena *arena = nullptr;
    ASSERT_EQ(vx_arena_create(1 << 20, &arena), VX_OK);
    vx_index *loaded = vx_index_load(arena, &name);
    unlink(path);
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(hnsw_body(loaded)->vectors[1], data.data() + dim);
    same_answers(copied, loaded);
    vx_index_destroy(loaded);
    vx_arena_destroy(arena);
    vx_index_destroy(copied);
    vx_index_destroy(borrowed);
}

// A stored vector holding a NaN ranks after every number in the walk and
// reports its NaN distance; the true neighbours stay in.
TEST(HnswBorrow, NaNVectorsRankLast) {
    const uint32_t dim = 4;
    vx_index_params p = hnsw_params(dim, 4, 20, 8);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_EQ(index_borrow_vectors(index), VX_OK);
    auto data = random_vectors(200, dim, 41);
    auto ids = sequential_ids(200, 0);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 200), VX_OK);
    const float *q = data.data() + 7 * dim;
    vx_search_result before[5];
    ASSERT_EQ(vx_index_search(index, q, 5, before), 5u);
    data[before[1].id * dim + 2] = std::nanf("");
    vx_search_result r[200];
    vx_index_set_search_width(index, 200);
    ASSERT_EQ(vx_index_search(index, q, 200, r), 200u);
    EXPECT_EQ(r[0].id, 7u);
    EXPECT_EQ(r[199].id, before[1].id);
    EXPECT_TRUE(r[199].distance != r[199].distance);
    for (uint64_t i = 0; i < 199; i++) EXPECT_TRUE(r[i].distance == r[i].distance) << i;
    vx_index_destroy(index);
}

TEST(HnswBorrow, OnlyGraphsBorrow) {
    EXPECT_EQ(index_borrow_vectors(nullptr), VX_ERR_INVALID_ARG);
    vx_index_params p = ivf_params(4, 2, 1, 3);
    vx_index *ivf = vx_index_create(nullptr, &p);
    EXPECT_EQ(index_borrow_vectors(ivf), VX_ERR_NOT_SUPPORTED);
    vx_index_destroy(ivf);
}

TEST(HnswCreate, LevelCapHolds) {
    vx_index_params p = hnsw_params(2, 4, 8, 8);
    p.family.hnsw.max_level = 2;
    p.family.hnsw.level_mult = 3.0f; // levels would reach 30
    vx_index *index = vx_index_create(nullptr, &p);
    auto data = random_vectors(300, 2, 5);
    auto ids = sequential_ids(300);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 300), VX_OK);
    vx_hnsw_index *h = hnsw_body(index);
    uint32_t top = 0;
    for (uint64_t id : ids) top = std::max(top, h->levels[id]);
    EXPECT_EQ(top, 2u);
    EXPECT_EQ(h->max_level, 2u);
    vx_index_destroy(index);
}

// A multiplier far beyond 1 / ln M draws levels in the billions (the low 32
// bits of a huge product), here held at a cap of a million layers: a node
// whose lists would take over 64 MiB is refused with VX_ERR_NO_MEMORY
// instead of being given them, and the graph answers with the others. A
// cap of five layers takes every node.
TEST(HnswCreate, AbsurdLevelsAreRefusedNotAllocated) {
    auto data = random_vectors(12, 4, 5);
    vx_index_params p = hnsw_params(4, 16, 32, 32);  // 68 bytes a layer above 0
    p.family.hnsw.level_mult = 3e9f;
    p.family.hnsw.max_level = 1000000;
    vx_index *index = vx_index_create(nullptr, &p);
    uint64_t refused = 0;
    for (uint64_t i = 0; i < 12; i++) {
        vx_status st = vx_index_add(index, i + 1, data.data() + 4 * i);
        ASSERT_TRUE(st == VX_OK || st == VX_ERR_NO_MEMORY) << i;
        refused += st == VX_ERR_NO_MEMORY;
    }
    EXPECT_GE(refused, 11u);
    EXPECT_EQ(vx_index_get_ntotal(index) + refused, 12u);
    vx_search_result r[4];
    EXPECT_EQ(vx_index_search(index, data.data(), 4, r), 12 - refused);
    vx_index_destroy(index);
    p.family.hnsw.max_level = 5;
    index = vx_index_create(nullptr, &p);
    auto ids = sequential_ids(12);
    EXPECT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 12), VX_OK);
    vx_index_destroy(index);
}

TEST(HnswCreate, DegenerateParametersStillInsert) {
    // M 0 (no links) and ef_construction 0 (the exhaustive linking branch).
    for (uint32_t M : {0u, 1u, 3u}) {
        vx_index_params p = hnsw_params(2, M, 0, 0);
        vx_index *index = vx_index_create(nullptr, &p);
        ASSERT_NE(index, nullptr);
        auto data = random_vectors(100, 2, 8);
        auto ids = sequential_ids(100);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 100), VX_OK) << M;
        vx_hnsw_index *h = hnsw_body(index);
        for (uint64_t id : ids) {
            std::vector<uint64_t> links = graph_links(h, id, 0);
            ASSERT_LE(links.size(), 2 * M);
            for (uint64_t link : links) EXPECT_NE(link, id);
        }
        vx_search_result r[5];
        EXPECT_GE(vx_index_search(index, data.data(), 5, r), 1u);
        vx_index_destroy(index);
    }
}

// One-dimensional points at level 0 (a tiny multiplier) with M 1: layer 0
// keeps two links per node.
struct LineGraph {
    vx_index *index;
    LineGraph() {
        vx_index_params p = hnsw_params(1, 1, 10, 10);
        p.family.hnsw.level_mult = 1e-9f;
        index = vx_index_create(nullptr, &p);
        vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_NEAREST);
    }
    ~LineGraph() { vx_index_destroy(index); }
    void add(uint64_t id, float x) { ASSERT_EQ(vx_index_add(index, id, &x), VX_OK); }
    std::vector<uint64_t> links(uint64_t id) {
        return graph_links(hnsw_body(index), id, 0);
    }
};

TEST(HnswLinking, FullListReplacesOnlyItsFarthestLinkForAStrictlyNearerNode) {
    LineGraph g;
    g.add(1, 0.0f);
    g.add(2, 10.0f);
    g.add(3, -10.0f);
    EXPECT_EQ(g.links(1), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(g.links(3), (std::vector<uint64_t>{2, 1})); // heap order of the candidates
    // 4 sits as far from 1 as both of 1's links: 1 keeps its list.
    g.add(4, 10.0f);
    EXPECT_EQ(g.links(1), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(g.links(2), (std::vector<uint64_t>{1, 4})); // 3 (farthest) replaced
    EXPECT_EQ(g.links(4), (std::vector<uint64_t>{2, 1}));
    // 5 is nearer to 1 than its farthest links (a tie: the first is replaced).
    g.add(5, 1.0f);
    EXPECT_EQ(g.links(1), (std::vector<uint64_t>{5, 3}));
}

TEST(HnswSearch, SingleNodeAndExactWhenEfCoversTheGraph) {
    vx_index_params p = hnsw_params(3, 8, 64, 16);
    vx_index *index = vx_index_create(nullptr, &p);
    float a[3] = {1, 2, 3}, q[3] = {0, 0, 1};
    ASSERT_EQ(vx_index_add(index, 9, a), VX_OK);
    vx_search_result r[400];
    ASSERT_EQ(vx_index_search(index, q, 5, r), 1u);
    EXPECT_EQ(r[0].id, 9u);
    EXPECT_EQ(r[0].distance, 1.0f + 4.0f + 4.0f);
    vx_index_destroy(index);

    const uint32_t dim = 6, n = 300;
    p = hnsw_params(dim, 8, 64, 400);
    index = vx_index_create(nullptr, &p);
    auto data = random_vectors(n, dim, 21);
    auto ids = sequential_ids(n, 100);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
    auto queries = random_vectors(20, dim, 22);
    for (int i = 0; i < 20; i++) {
        const float *query = queries.data() + i * dim;
        auto want = brute_force(data.data(), ids.data(), n, dim, query, 300, VX_METRIC_L2);
        ASSERT_EQ(vx_index_search(index, query, 300, r), 300u);
        for (int j = 0; j < 300; j++) {
            EXPECT_EQ(r[j].id, want[j].id);
            EXPECT_EQ(r[j].distance, want[j].distance);
        }
    }
    vx_index_destroy(index);
}

TEST(HnswRemove, EntryPointMovesToTheLowestRemainingNode) {
    vx_index_params p = hnsw_params(2, 4, 16, 16);
    p.family.hnsw.level_mult = 1.5f;
    vx_index *index = vx_index_create(nullptr, &p);
    vx_hnsw_index *h = hnsw_body(index);
    auto data = random_vectors(60, 2, 31);
    auto ids = sequential_ids(60, 10);
    vx_srand(5);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 60), VX_OK);
    EXPECT_EQ(vx_index_remove(index, 3), VX_OK);      // absent
    EXPECT_EQ(vx_index_remove(index, 1u << 30), VX_OK); // beyond the table
    std::set<uint64_t> left(ids.begin(), ids.end());
    vx_search_result r[60];
    while (!left.empty()) {
        uint64_t entry = (uint64_t)vx_hnsw_get_entry_point(h);
        ASSERT_TRUE(left.count(entry));
        ASSERT_EQ(vx_index_remove(index, entry), VX_OK);
        left.erase(entry);
        if (left.empty()) break;
        uint64_t lowest = *left.begin();
        EXPECT_EQ(vx_hnsw_get_entry_point(h), (int64_t)lowest);
        EXPECT_EQ(vx_hnsw_get_max_level(h), h->levels[lowest]);
        uint64_t n = vx_index_search(index, data.data(), 60, r);
        ASSERT_GE(n, 1u);
        for (uint64_t i = 0; i < n; i++) EXPECT_TRUE(left.count(r[i].id));
    }
    EXPECT_EQ(vx_hnsw_get_entry_point(h), -1);
    EXPECT_EQ(vx_hnsw_get_max_level(h), 0u);
    EXPECT_EQ(vx_index_search(index, data.data(), 5, r), 0u);
    EXPECT_EQ(vx_index_get_ntotal(index), 60u);
    // The graph starts afresh; old links to the new id's slot reach it.
    ASSERT_EQ(vx_index_add(index, 12, data.data()), VX_OK);
    EXPECT_EQ(vx_hnsw_get_entry_point(h), 12);
    ASSERT_EQ(vx_index_search(index, data.data(), 5, r), 1u);
    EXPECT_EQ(r[0].id, 12u);
    EXPECT_EQ(r[0].distance, 0.0f);
    vx_index_destroy(index);
}

TEST(HnswRemove, ReaddedIdsWithLowerLevelsAreSafe) {
    // Re-adding ids replaces nodes whose old links at higher layers then
    // reach a node without those layers.
    vx_index_params p = hnsw_params(4, 3, 12, 12);
    p.family.hnsw.level_mult = 2.0f;
    vx_index *index = vx_index_create(nullptr, &p);
    auto data = random_vectors(400, 4, 41);
    auto ids = sequential_ids(200);
    vx_srand(3);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 200), VX_OK);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data() + 200 * 4, 200), VX_OK);
    vx_search_result r[10];
    for (int q = 0; q < 50; q++) EXPECT_GE(vx_index_search(index, data.data() + q * 4, 10, r), 1u);
    EXPECT_EQ(vx_index_get_ntotal(index), 400u);
    vx_index_destroy(index);
}

// Every list of every node with a level, on every layer.
std::vector<std::vector<uint64_t>> all_lists(const vx_hnsw_index *h, const std::vector<uint64_t> &ids) {
    std::vector<std::vector<uint64_t>> lists;
    for (uint64_t id : ids)
        for (uint32_t l = 0; l <= h->levels[id]; l++) lists.push_back(graph_links(h, id, l));
    return lists;
}

// Live nodes reached from the entry point along layer-0 links through live
// nodes only.
std::set<uint64_t> reachable_on_layer0(const vx_hnsw_index *h) {
    std::set<uint64_t> seen;
    if (h->entry_point < 0) return seen;
    std::vector<uint64_t> todo = {(uint64_t)h->entry_point};
    seen.insert(todo[0]);
    while (!todo.empty()) {
        uint64_t id = todo.back();
        todo.pop_back();
        for (uint64_t nb : graph_links(h, id, 0))
            if (hnsw_has_node(h, nb) && seen.insert(nb).second) todo.push_back(nb);
    }
    return seen;
}

// The entry point and a third of the nodes at random removed; returns the
// removed ids.
std::vector<uint64_t> remove_a_third(vx_index *index, const std::vector<uint64_t> &ids, uint32_t seed) {
    std::vector<uint64_t> order = ids;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    std::vector<uint64_t> gone = {(uint64_t)hnsw_body(index)->entry_point};
    for (uint64_t i = 0; i < ids.size() / 3; i++)
        if (order[i] != gone[0]) gone.push_back(order[i]);
    for (uint64_t id : gone) EXPECT_EQ(vx_index_remove(index, id), VX_OK);
    return gone;
}

// The diverse graph relinks around each removed node: no neighbour it linked
// to links back, no search finds it, and a graph whose layer 0 reached every
// node from the entry point still does (with dangling links, some seeds here
// leave nodes behind).
TEST(HnswRemove, DiverseGraphRelinksAroundRemovedNodes) {
    const uint32_t dim = 16, n = 400;
    for (uint32_t seed = 1; seed <= 5; seed++) {
        vx_index_params p = hnsw_params(dim, 6, 32, 32);
        vx_index *index = vx_index_create(nullptr, &p);
        vx_hnsw_index *h = hnsw_body(index);
        auto data = random_vectors(n, dim, 80 + seed);
        auto ids = sequential_ids(n);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
        ASSERT_EQ(reachable_on_layer0(h).size(), n) << seed;
        std::vector<uint64_t> gone = remove_a_third(index, ids, seed);
        std::set<uint64_t> removed(gone.begin(), gone.end());
        std::set<uint64_t> live;
        for (uint64_t id : ids)
            if (!removed.count(id)) live.insert(id);

        for (uint64_t g : gone)
            for (uint32_t l = 0; l <= h->levels[g]; l++)
                for (uint64_t nb : graph_links(h, g, l)) {
                    if (!hnsw_has_node(h, nb) || h->levels[nb] < l) continue;
                    auto back = graph_links(h, nb, l);
                    EXPECT_EQ(std::count(back.begin(), back.end(), g), 0) << g << " " << nb << " " << l;
                }
        for (uint64_t id : live)
            for (uint32_t l = 0; l <= h->levels[id]; l++)
                EXPECT_LE(graph_links(h, id, l).size(), hnsw_layer_cap(h, l));
        EXPECT_EQ(reachable_on_layer0(h), live) << seed;

        vx_search_result r[20];
        for (uint64_t q = 0; q < n; q++) {
            uint64_t hits = vx_index_search(index, data.data() + q * dim, 20, r);
            ASSERT_EQ(hits, 20u);
            for (uint64_t i = 0; i < hits; i++) EXPECT_TRUE(live.count(r[i].id)) << r[i].id;
        }
        vx_index_destroy(index);
    }
}

// The nearest-link graph leaves every list as it was, dangling links and all.
TEST(HnswRemove, NearestLinkGraphKeepsItsLists) {
    const uint32_t dim = 16, n = 300;
    vx_index_params p = hnsw_params(dim, 4, 32, 32);
    vx_index *index = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_NEAREST), VX_OK);
    auto data = random_vectors(n, dim, 83);
    auto ids = sequential_ids(n);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
    auto before = all_lists(hnsw_body(index), ids);
    std::vector<uint64_t> gone = remove_a_third(index, ids, 84);
    EXPECT_EQ(all_lists(hnsw_body(index), ids), before);
    vx_search_result r[10];
    for (uint64_t q = 0; q < 50; q++) {
        uint64_t hits = vx_index_search(index, data.data() + q * dim, 10, r);
        for (uint64_t i = 0; i < hits; i++)
            EXPECT_EQ(std::count(gone.begin(), gone.end(), r[i].id), 0);
    }
    vx_index_destroy(index);
}

// Recall@10 of a graph at ef 64 over the given rows, against brute force.
double graph_recall(vx_index *index, const std::vector<float> &rows, const std::vector<uint64_t> &ids,
                    const std::vector<float> &queries, uint32_t dim) {
    uint64_t nq = queries.size() / dim, found = 0;
    vx_index_set_search_width(index, 64);
    vx_search_result r[10];
    for (uint64_t q = 0; q < nq; q++) {
        const float *query = queries.data() + q * dim;
        auto want = brute_force(rows.data(), ids.data(), ids.size(), dim, query, 10, VX_METRIC_L2);
        std::set<uint64_t> truth;
        for (auto &hit : want) truth.insert(hit.id);
        uint64_t hits = vx_index_search(index, query, 10, r);
        for (uint64_t i = 0; i < hits; i++) found += truth.count(r[i].id);
    }
    return double(found) / (10.0 * nq);
}

// Three rounds of removing half the nodes and adding as many under new ids
// leave the graph about as good as one built afresh on the survivors.
TEST(HnswRemove, ChurnKeepsTheRecallOfAFreshGraph) {
    const uint32_t dim = 16, n = 2000;
    vx_index_params p = hnsw_params(dim, 8, 64, 64);
    vx_index *churned = vx_index_create(nullptr, &p);
    auto pool = random_vectors(4 * n, dim, 85);
    std::vector<uint64_t> live = sequential_ids(n);
    ASSERT_EQ(vx_index_add_batch(churned, live.data(), pool.data(), n), VX_OK);
    std::mt19937 rng(86);
    uint64_t next = n + 1;
    for (int round = 0; round < 3; round++) {
        std::shuffle(live.begin(), live.end(), rng);
        for (uint64_t i = 0; i < n / 2; i++) ASSERT_EQ(vx_index_remove(churned, live[i]), VX_OK);
        for (uint64_t i = 0; i < n / 2; i++) live[i] = next++;
        std::vector<uint64_t> fresh(live.begin(), live.begin() + n / 2);
        ASSERT_EQ(vx_index_add_batch(churned, fresh.data(), pool.data() + (fresh[0] - 1) * dim, n / 2), VX_OK);
    }
    std::sort(live.begin(), live.end());
    std::vector<float> rows;
    for (uint64_t id : live) rows.insert(rows.end(), &pool[(id - 1) * dim], &pool[id * dim]);
    vx_index *rebuilt = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_add_batch(rebuilt, live.data(), rows.data(), live.size()), VX_OK);
    auto queries = random_vectors(200, dim, 87);
    double fresh_recall = graph_recall(rebuilt, rows, live, queries, dim);
    double churn_recall = graph_recall(churned, rows, live, queries, dim);
    EXPECT_GE(churn_recall, fresh_recall - 0.02) << fresh_recall;
    vx_index_destroy(rebuilt);
    vx_index_destroy(churned);
}

/* ---- quality and metrics -------------------------------------------------------------- */

TEST(HnswSearch, RecallAtTenOnRandomData) {
    const uint32_t dim = 32, n = 5000, nq = 100;
    vx_index_params p = hnsw_params(dim, 16, 100, 200);
    vx_index *index = vx_index_create(nullptr, &p);
    auto data = random_vectors(n, dim, 51);
    auto ids = sequential_ids(n);
    ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
    auto queries = random_vectors(nq, dim, 52);
    uint64_t found = 0;
    vx_search_result r[10];
    for (uint32_t q = 0; q < nq; q++) {
        const float *query = queries.data() + q * dim;
        auto want = brute_force(data.data(), ids.data(), n, dim, query, 10, VX_METRIC_L2);
        ASSERT_EQ(vx_index_search(index, query, 10, r), 10u);
        std::set<uint64_t> truth;
        for (auto &h : want) truth.insert(h.id);
        for (auto &h : r) found += truth.count(h.id);
        for (int i = 1; i < 10; i++) EXPECT_LE(r[i - 1].distance, r[i].distance);
    }
    EXPECT_GE(double(found) / (10.0 * nq), 0.99);
    vx_index_destroy(index);
}

TEST(HnswSearch, InnerProductAndCosineRankLikeBruteForce) {
    // Graph results carry the exact metric distance of each hit, come out in
    // ascending order and agree with brute force under the same metric.
    const uint32_t dim = 8, n = 1000, nq = 40;
    for (int32_t metric : {VX_METRIC_IP, VX_METRIC_COSINE}) {
        vx_index_params p = hnsw_params(dim, 12, 100, 100, metric);
        vx_index *index = vx_index_create(nullptr, &p);
        auto data = random_vectors(n, dim, 61);
        auto ids = sequential_ids(n);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
        auto queries = random_vectors(nq, dim, 62);
        vx_search_result r[10];
        uint64_t found = 0;
        for (uint32_t q = 0; q < nq; q++) {
            const float *query = queries.data() + q * dim;
            auto want = brute_force(data.data(), ids.data(), n, dim, query, 10, metric);
            ASSERT_EQ(vx_index_search(index, query, 10, r), 10u);
            std::set<uint64_t> truth;
            for (auto &h : want) truth.insert(h.id);
            for (int i = 0; i < 10; i++) {
                found += truth.count(r[i].id);
                EXPECT_EQ(r[i].distance,
                          vx_vec_distance(query, data.data() + (r[i].id - 1) * dim, dim, metric));
                if (i) {
                    EXPECT_LE(r[i - 1].distance, r[i].distance);
                }
            }
            EXPECT_EQ(r[0].id, want[0].id) << metric;
        }
        EXPECT_GE(double(found) / (10.0 * nq), 0.95) << metric;
        vx_index_destroy(index);
    }
}

// Well-separated clusters: nearest links stay inside each cluster, so the
// plain graph breaks into islands; the diverse rule keeps bridges.
TEST(HnswSearch, DiverseLinksReachEveryCluster) {
    const uint32_t dim = 16, clusters = 20, per = 500, nq = 200;
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> centre(-100.0f, 100.0f);
    std::normal_distribution<float> spread(0.0f, 1.0f);
    std::vector<float> centres(clusters * dim);
    for (float &x : centres) x = centre(rng);
    auto draw = [&](uint32_t n, std::vector<float> &out) {
        out.resize((uint64_t)n * dim);
        for (uint32_t i = 0; i < n; i++) {
            uint32_t c = rng() % clusters;
            for (uint32_t j = 0; j < dim; j++) out[i * dim + j] = centres[c * dim + j] + spread(rng);
        }
    };
    std::vector<float> data, queries;
    draw(clusters * per, data);
    draw(nq, queries);
    const uint32_t n = clusters * per;
    auto ids = sequential_ids(n);
    std::vector<std::vector<Hit>> truth(nq);
    for (uint32_t q = 0; q < nq; q++)
        truth[q] = brute_force(data.data(), ids.data(), n, dim, &queries[q * dim], 10, VX_METRIC_L2);
    double recall[2];
    for (int32_t selection : {VX_HNSW_SELECT_NEAREST, VX_HNSW_SELECT_DIVERSE}) {
        vx_index_params p = hnsw_params(dim, 8, 64, 32);
        vx_index *index = vx_index_create(nullptr, &p);
        ASSERT_EQ(vx_index_set_neighbor_selection(index, selection), VX_OK);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
        uint64_t found = 0;
        vx_search_result r[10];
        for (uint32_t q = 0; q < nq; q++) {
            uint64_t hits = vx_index_search(index, &queries[q * dim], 10, r);
            std::set<uint64_t> want;
            for (auto &h : truth[q]) want.insert(h.id);
            for (uint64_t i = 0; i < hits; i++) found += want.count(r[i].id);
        }
        recall[selection] = double(found) / (10.0 * nq);
        vx_index_destroy(index);
    }
    EXPECT_LT(recall[VX_HNSW_SELECT_NEAREST], 0.9);
    EXPECT_GE(recall[VX_HNSW_SELECT_DIVERSE], 0.9);
}

TEST(HnswCreate, NeighbourSelectionSwitch) {
    vx_index_params p = hnsw_params(2, 4, 8, 8);
    vx_index *index = vx_index_create(nullptr, &p);
    EXPECT_EQ(hnsw_body(index)->selection, VX_HNSW_SELECT_DIVERSE);
    EXPECT_EQ(vx_index_set_neighbor_selection(index, 2), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_set_neighbor_selection(nullptr, 0), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_NEAREST), VX_OK);
    EXPECT_EQ(hnsw_body(index)->selection, VX_HNSW_SELECT_NEAREST);
    float v[2] = {1, 2};
    ASSERT_EQ(vx_index_add(index, 1, v), VX_OK);
    // A graph with vectors keeps the rule it was built by.
    EXPECT_EQ(vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_DIVERSE), VX_ERR_INVALID_ARG);
    EXPECT_EQ(hnsw_body(index)->selection, VX_HNSW_SELECT_NEAREST);
    vx_index_destroy(index);
    vx_index_params ivf = ivf_params(2, 2, 1, 2);
    index = vx_index_create(nullptr, &ivf);
    EXPECT_EQ(vx_index_set_neighbor_selection(index, VX_HNSW_SELECT_NEAREST), VX_ERR_NOT_SUPPORTED);
    vx_index_destroy(index);

    // The diverse graph's levels come from its seed alone.
    std::vector<uint32_t> levels[2];
    for (int run = 0; run < 2; run++) {
        p.family.hnsw.seed = 31;
        index = vx_index_create(nullptr, &p);
        auto data = random_vectors(200, 2, 9);
        auto ids = sequential_ids(200);
        vx_srand(run ? 1 : 999);
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), 200), VX_OK);
        for (uint64_t id : ids) levels[run].push_back(hnsw_body(index)->levels[id]);
        vx_index_destroy(index);
    }
    EXPECT_EQ(levels[0], levels[1]);
}

/* ---- concurrency ------------------------------------------------------------------------ */

struct SharedGraph {
    vx_index *index;
    const float *queries;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> searches{0};
    std::atomic<int> bad{0};
};

void *search_loop(void *arg) {
    SharedGraph *s = (SharedGraph *)arg;
    vx_search_result r[8];
    uint64_t i = 0;
    while (!s->done.load() || i < 20) {
        uint64_t n = vx_index_search(s->index, s->queries + (i % 16) * 8, 8, r);
        for (uint64_t j = 1; j < n; j++)
            if (r[j - 1].distance > r[j].distance) s->bad++;
        for (uint64_t j = 0; j < n; j++)
            if (r[j].id == 0 || r[j].id > 2000) s->bad++;
        i++;
        // The lock prefers readers: pause so that the writer gets its turns.
        vx_sleep(1);
    }
    s->searches += i;
    return nullptr;
}

TEST(HnswConcurrency, SearchesBesideOneWriter) {
    vx_index_params p = hnsw_params(8, 8, 32, 32);
    vx_index *index = vx_index_create(nullptr, &p);
    auto data = random_vectors(2000, 8, 71);
    auto queries = random_vectors(16, 8, 72);
    SharedGraph s;
    s.index = index;
    s.queries = queries.data();
    ASSERT_EQ(vx_index_add(index, 1, data.data()), VX_OK);
    pthread_t readers[3];
    for (auto &t : readers) pthread_create(&t, nullptr, search_loop, &s);
    for (uint64_t id = 2; id <= 2000; id += 10) {
        std::vector<uint64_t> ids;
        for (uint64_t k = id; k < id + 10 && k <= 2000; k++) ids.push_back(k);
        EXPECT_EQ(vx_index_add_batch(index, ids.data(), data.data() + (id - 1) * 8, ids.size()), VX_OK);
        if (id % 200 == 2) {
            EXPECT_EQ(vx_index_remove(index, id), VX_OK);
        }
    }
    s.done = true;
    for (auto &t : readers) pthread_join(t, nullptr);
    EXPECT_EQ(s.bad.load(), 0);
    EXPECT_GE(s.searches.load(), 60u);
    EXPECT_EQ(vx_index_get_ntotal(index), 2000u);
    vx_index_destroy(index);
}

/* ---- builds on several threads -------------------------------------------------- */

TEST(HnswThreads, CountIsSetOnGraphsOnly) {
    vx_index_params p = hnsw_params(4, 8, 32, 32);
    vx_index *graph = vx_index_create(nullptr, &p);
    vx_index_params q = ivf_params(4, 4, 2, 5);
    vx_index *lists = vx_index_create(nullptr, &q);
    EXPECT_EQ(hnsw_body(graph)->build_threads, 1u);  // the default: the calling thread
    EXPECT_EQ(vx_index_set_build_threads(nullptr, 2), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_index_set_build_threads(lists, 2), VX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(vx_index_set_build_threads(graph, 0), VX_OK);
    EXPECT_EQ(hnsw_body(graph)->build_threads, 0u);
    EXPECT_EQ(vx_index_set_build_threads(graph, 3), VX_OK);
    EXPECT_EQ(hnsw_body(graph)->build_threads, 3u);
    vx_index_destroy(lists);
    vx_index_destroy(graph);
}

// The bytes of the graph's file.
std::vector<char> saved_bytes(vx_index *index) {
    char path[] = "/tmp/vx_threads_XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    vx_str name = {path, strlen(path)};
    std::vector<char> bytes;
    if (vx_index_save(index, &name) == VX_OK) {
        FILE *f = fopen(path, "rb");
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
        fclose(f);
    }
    unlink(path);
    return bytes;
}

// One thread inserts in batch order: two builds give the same file and the
// same answers, and so does a chunk that re-adds ids on several threads
// (it is inserted on the calling thread).
TEST(HnswThreads, OneThreadAndReusedIdsBuildTheSameGraphEveryTime) {
    const uint32_t dim = 16, n = 1500;
    auto data = random_vectors(n, dim, 201);
    std::vector<uint64_t> ids = sequential_ids(n);
    for (uint64_t i = 1000; i < n; i++) ids[i] = ids[i - 1000];  // 500 re-added ids
    vx_index_params p = hnsw_params(dim, 8, 48, 48);
    vx_index *a = vx_index_create(nullptr, &p);
    vx_index *b = vx_index_create(nullptr, &p);
    vx_index *reused = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_set_build_threads(b, 1), VX_OK);
    ASSERT_EQ(vx_index_set_build_threads(reused, 2), VX_OK);
    for (vx_index *index : {a, b, reused})
        ASSERT_EQ(vx_index_add_batch(index, ids.data(), data.data(), n), VX_OK);
    std::vector<char> first = saved_bytes(a);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first == saved_bytes(b));
    EXPECT_TRUE(first == saved_bytes(reused));
    auto queries = random_vectors(30, dim, 202);
    for (uint64_t q = 0; q < 30; q++) {
        vx_search_result ra[10], rb[10];
        uint64_t na = vx_index_search(a, queries.data() + q * dim, 10, ra);
        ASSERT_EQ(na, vx_index_search(b, queries.data() + q * dim, 10, rb));
        for (uint64_t i = 0; i < na; i++) {
            EXPECT_EQ(ra[i].id, rb[i].id);
            EXPECT_EQ(std::memcmp(&ra[i].distance, &rb[i].distance, 4), 0);
        }
    }
    for (vx_index *index : {a, b, reused}) vx_index_destroy(index);
}

struct ThreadedBuild {
    vx_index *index;
    const float *queries;
    uint32_t dim;
    uint64_t most_id;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> searches{0};
    std::atomic<int> bad{0};
};

void *search_during_build(void *arg) {
    ThreadedBuild *t = (ThreadedBuild *)arg;
    vx_search_result r[10];
    uint64_t i = 0;
    while (!t->done.load()) {
        uint64_t n = vx_index_search(t->index, t->queries + (i % 16) * t->dim, 10, r);
        for (uint64_t j = 1; j < n; j++)
            if (r[j - 1].distance > r[j].distance) t->bad++;
        for (uint64_t j = 0; j < n; j++)
            if (r[j].id == 0 || r[j].id > t->most_id) t->bad++;
        i++;
        vx_sleep(1);
    }
    t->searches += i;
    return nullptr;
}

// Every list of a graph built on several threads within its room, free of
// self links and repeats, naming nodes only; every node but the entry point
// links somewhere on layer 0. With partial (a build cut short) ids 1 .. n
// may lack nodes and a node may lack links.
void expect_sound_lists(vx_hnsw_index *h, uint64_t n, bool partial = false) {
    for (uint64_t id = 1; id <= n; id++) {
        if (partial && !hnsw_has_node(h, id)) continue;
        ASSERT_TRUE(hnsw_has_node(h, id)) << id;
        for (uint32_t layer = 0; layer <= h->levels[id]; layer++) {
            std::vector<uint64_t> links = graph_links(h, id, layer);
            EXPECT_LE(links.size(), hnsw_layer_cap(h, layer)) << id;
            std::set<uint64_t> distinct(links.begin(), links.end());
            EXPECT_EQ(distinct.size(), links.size()) << id << " " << layer;
            EXPECT_EQ(distinct.count(id), 0u) << id << " " << layer;
            for (uint64_t nb : links) {
                EXPECT_TRUE(hnsw_has_node(h, nb)) << id << " -> " << nb;
                EXPECT_GE(h->levels[nb], layer) << id << " -> " << nb;
            }
            if (!partial && layer == 0 && (int64_t)id != h->entry_point) {
                EXPECT_FALSE(links.empty()) << id;
            }
        }
    }
}

class HnswThreadsRule : public ::testing::TestWithParam<int32_t> {};

// Four threads build while another searches: the searches stay sound, the
// lists are sound, and the recall matches a one-thread build's.
TEST_P(HnswThreadsRule, ParallelBuildBesideSearchesKeepsTheRecall) {
    const uint32_t dim = 16, n = 4000, batch = 1000;
    auto data = random_vectors(n, dim, 211);
    auto queries = random_vectors(100, dim, 212);
    std::vector<uint64_t> ids = sequential_ids(n);
    vx_index_params p = hnsw_params(dim, 8, 64, 64);
    vx_index *one = vx_index_create(nullptr, &p);
    vx_index *four = vx_index_create(nullptr, &p);
    ASSERT_EQ(vx_index_set_neighbor_selection(one, GetParam()), VX_OK);
    ASSERT_EQ(vx_index_set_neighbor_selection(four, GetParam()), VX_OK);
    ASSERT_EQ(vx_index_set_build_threads(four, 4), VX_OK);
    ASSERT_EQ(vx_index_add_batch(one, ids.data(), data.data(), n), VX_OK);

    ThreadedBuild t;
    t.index = four;
    t.queries = queries.data();
    t.dim = dim;
    t.most_id = n;
    ASSERT_EQ(vx_index_add(four, ids[0], data.data()), VX_OK);
    pthread_t reader;
    ASSERT_EQ(pthread_create(&reader, nullptr, search_during_build, &t), 0);
    for (uint64_t from = 1; from < n; from += batch) {
        uint64_t count = from + batch <= n ? batch : n - from;
        EXPECT_EQ(vx_index_add_batch(four, ids.data() + from, data.data() + from * dim, count), VX_OK);
    }
    t.done = true;
    pthread_join(reader, nullptr);
    EXPECT_EQ(t.bad.load(), 0);
    EXPECT_GT(t.searches.load(), 0u);
    EXPECT_EQ(vx_index_get_ntotal(four), n);
    EXPECT_EQ(hnsw_body(four)->present, n);
    expect_sound_lists(hnsw_body(four), n);
    // The levels are the one-thread build's: drawn in batch order. (The
    // nearest-link graph draws from the shared generator, so only the
    // diverse graph's levels can be compared.)
    if (GetParam() == VX_HNSW_SELECT_DIVERSE) {
        for (uint64_t id = 1; id <= n; id++) {
            ASSERT_EQ(hnsw_body(four)->levels[id], hnsw_body(one)->levels[id]) << id;
        }
    }

    // A nearest-link node keeps a full layer-0 list once the graph is larger
    // than one; a node whose walk met a neighbour before that neighbour's
    // lists below were written would find it alone and hold one link.
    if (GetParam() == VX_HNSW_SELECT_NEAREST) {
        vx_hnsw_index *h = hnsw_body(four);
        for (uint64_t id = 100; id <= n; id++)
            EXPECT_EQ(graph_links(h, id, 0).size(), hnsw_layer_cap(h, 0)) << id;
    }

    double alone = graph_recall(one, data, ids, queries, dim);
    double together = graph_recall(four, data, ids, queries, dim);
    EXPECT_GE(together, alone - 0.01) << alone;
    vx_index_destroy(four);
    vx_index_destroy(one);
}

// Allocations granted before the rationing allocator refuses; counts down
// across the build's threads.
std::atomic<int64_t> g_granted;
vx_allocator g_plain;

void *rationed_alloc(uint64_t size, void *) {
    return g_granted.fetch_sub(1) > 0 ? g_plain.alloc(size, g_plain.user_data) : nullptr;
}

void *rationed_realloc(void *p, uint64_t size, void *) {
    return g_granted.fetch_sub(1) > 0 ? g_plain.realloc(p, size, g_plain.user_data) : nullptr;
}

// A parallel build refused memory at each of its allocations in turn
// reports VX_ERR_NO_MEMORY or finishes, leaks nothing, leaves lists that
// name only nodes on their layers (no self links, no repeats, within their
// room), answers searches soundly, and takes the ids it left out once memory
// is back.
TEST(HnswThreadsMemory, ParallelBuildShortOfMemoryStaysSound) {
    const uint32_t dim = 8, n = 520;  // a batch large enough for four threads
    auto data = random_vectors(n, dim, 311);
    std::vector<uint64_t> ids = sequential_ids(n);
    vx_index_params p = hnsw_params(dim, 6, 32, 32);
    g_plain = *vx_get_allocator();
    vx_allocator rationed = g_plain;
    rationed.alloc = rationed_alloc;
    rationed.realloc = rationed_realloc;
    // The first round, unrationed, counts the allocations the batch makes.
    int64_t needed = 0;
    for (int64_t allow = -4; allow <= needed; allow += 4) {
        vx_index *index = vx_index_create(nullptr, &p);
        ASSERT_EQ(vx_index_set_build_threads(index, 4), VX_OK);
        ASSERT_EQ(vx_index_add(index, ids[0], data.data()), VX_OK);
        g_granted = allow < 0 ? INT64_MAX : allow;
        ASSERT_EQ(vx_set_allocator(&rationed), VX_OK);
        vx_status st = vx_index_add_batch(index, ids.data() + 1, data.data() + dim, n - 1);
        ASSERT_EQ(vx_set_allocator(&g_plain), VX_OK);
        if (allow < 0) {
            ASSERT_EQ(st, VX_OK);
            needed = INT64_MAX - g_granted.load();
        } else {
            ASSERT_TRUE(st == VX_OK || st == VX_ERR_NO_MEMORY) << allow;
        }

        SCOPED_TRACE(allow);
        vx_hnsw_index *h = hnsw_body(index);
        expect_sound_lists(h, n, true);
        std::vector<uint64_t> missing;
        for (uint64_t id = 1; id <= n; id++)
            if (!hnsw_has_node(h, id)) missing.push_back(id);
        ASSERT_EQ(vx_index_get_ntotal(index) + missing.size(), (uint64_t)n) << allow;
        if (st == VX_OK) {
            ASSERT_TRUE(missing.empty()) << allow;
        }
        vx_search_result r[10];
        uint64_t got = vx_index_search(index, data.data() + 5 * dim, 10, r);
        for (uint64_t j = 0; j < got; j++) ASSERT_TRUE(hnsw_has_node(h, r[j].id)) << allow;
        for (uint64_t id : missing)
            ASSERT_EQ(vx_index_add(index, id, data.data() + (id - 1) * dim), VX_OK) << allow;
        EXPECT_EQ(vx_index_get_ntotal(index), (uint64_t)n);
        vx_index_destroy(index);
    }
    EXPECT_GT(needed, 3);
}

INSTANTIATE_TEST_SUITE_P(Rules, HnswThreadsRule,
                         ::testing::Values(VX_HNSW_SELECT_DIVERSE, VX_HNSW_SELECT_NEAREST));

} // namespace
