// The database handle and its operations: opening, closing, texts, the
// registry, insertion and search by name, statistics and the summary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collection_test_util.h"
#include "vexal.h"

TEST(Database, OpenExWithoutConfigIsInMemory) {
    vx_daded *db = nullptr;
    EXPECT_EQ(vx_daded_open_ex(nullptr, nullptr), VX_ERR_INVALID_ARG);
    ASSERT_EQ(vx_daded_open_ex(nullptr, &db), VX_OK);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(vx_daded_is_open(db), 1);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(vx_daded_is_open(nullptr), 0);
    EXPECT_EQ(vx_daded_close(nullptr), VX_ERR_INVALID_ARG);
}

TEST(Database, OpenWithFlagsAndSmallArena) {
    vx_daded *db = nullptr;
    ASSERT_EQ(vx_daded_open(nullptr, VX_OPEN_CREATE, &db), VX_OK);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    vx_str empty = {nullptr, 0};
    ASSERT_EQ(vx_daded_open(&empty, 0, &db), VX_OK);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    vx_db_config config;
    memset(&config, 0, sizeof(config));
    config.arena_size = 1000;  // raised to the arena's 64 KiB minimum block
    ASSERT_EQ(vx_daded_open_ex(&config, &db), VX_OK);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
}

TEST(Database, VersionAndBuildTexts) {
    vx_str v = vx_daded_version();
    EXPECT_EQ(std::string(v.data, v.len), "Vexal DadED 0.1.32");
    EXPECT_EQ(vx_daded_version().data, v.data);

    vx_str info = vx_daded_build_info();
    ASSERT_EQ(info.len, 81u);
    EXPECT_EQ(strlen(info.data), 81u);
    std::string text(info.data, info.len);
    EXPECT_EQ(text.rfind("Vexal DadED 0.1.32\nPlatform: Linux\nCompiler: GCC\nBuild Date: ", 0), 0u);
    // "Mmm dd yyyy hh:mm:ss": fixed width, colons in place.
    std::string date = text.substr(61);
    ASSERT_EQ(date.size(), 20u);
    EXPECT_EQ(date[3], ' ');
    EXPECT_EQ(date[14], ':');
    EXPECT_EQ(date[17], ':');
    EXPECT_EQ(vx_daded_build_info().data, info.data);
}

TEST(Database, SettersForwardToTheRuntime) {
    vx_daded_set_log_callback(nullptr);
    vx_daded_set_simd_enabled(1);
    EXPECT_EQ(vx_daded_is_simd_available(), 0);
}

// --- registry, insertion and search by name ---------------------------------

using coltest::view;

namespace {

struct Db {
    vx_daded *db = nullptr;
    Db() { vx_daded_open_ex(nullptr, &db); }
    ~Db() { vx_daded_close(db); }
};

// Everything vx_printf writes to descriptor 1 while fn runs.
template <typename Fn>
std::string capture_stdout(Fn fn) {
    fflush(stdout);
    char path[] = "/tmp/vx_stdout_XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(1);
    dup2(fd, 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, (size_t)n);
    close(fd);
    unlink(path);
    return text;
}

}  // namespace

TEST(DatabaseRegistry, CreateGetListDrop) {
    Db d;
    vx_str a = view("a");
    vx_collection *c = nullptr;
    ASSERT_EQ(vx_daded_create_collection(d.db, &a, 4, &c), VX_OK);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(vx_daded_create_collection(d.db, &a, 4, nullptr), VX_ERR_ALREADY_EXISTS);
    EXPECT_EQ(vx_daded_get_collection(d.db, &a), c);
    vx_collection_stats st;
    vx_collection_get_stats(c, &st);
    EXPECT_EQ(st.index_type, VX_INDEX_HNSW);  // default options
    EXPECT_EQ(c->config.build_threads, 1000u);
    EXPECT_EQ(c->config.auto_resize, 1);

    // Lookups are byte-wise and length-sensitive.
    vx_str longer = view("ab"), upper = view("A"), prefix = {(char *)"ab", 1};
    EXPECT_EQ(vx_daded_has_collection(d.db, &longer), 0);
    EXPECT_EQ(vx_daded_has_collection(d.db, &upper), 0);
    EXPECT_EQ(vx_daded_has_collection(d.db, &prefix), 1);
    EXPECT_EQ(vx_daded_get_collection(nullptr, &a), nullptr);
    EXPECT_EQ(vx_daded_get_collection(d.db, nullptr), nullptr);

    // The 17th collection grows the registry.
    for (int i = 0; i < 20; i++) {
        std::string name = "c" + std::to_string(i);
        vx_str n = view(name.c_str());
        ASSERT_EQ(vx_daded_create_collection(d.db, &n, 2, nullptr), VX_OK);
    }
    EXPECT_EQ(vx_daded_list_collections(d.db, nullptr, 0), 21u);
    vx_str names[21];
    EXPECT_EQ(vx_daded_list_collections(d.db, names, 2), 2u);
    EXPECT_EQ(std::string(names[0].data, names[0].len), "a");
    EXPECT_EQ(std::string(names[1].data, names[1].len), "c0");
    vx_db_stats stats;
    ASSERT_EQ(vx_daded_get_stats(d.db, &stats), VX_OK);
    EXPECT_EQ(stats.collection_count, 21u);

    vx_str c5 = view("c5");
    ASSERT_EQ(vx_daded_drop_collection(d.db, &c5), VX_OK);
    EXPECT_EQ(vx_daded_drop_collection(d.db, &c5), VX_ERR_NOT_FOUND);
    EXPECT_EQ(vx_daded_drop_collection(nullptr, &c5), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_daded_list_collections(d.db, names, 21), 20u);
    EXPECT_EQ(std::string(names[6].data, names[6].len), "c6");  // the gap is closed
    vx_daded_get_stats(d.db, &stats);
    EXPECT_EQ(stats.collection_count, 20u);
    EXPECT_EQ(vx_daded_get_stats(d.db, nullptr), VX_ERR_INVALID_ARG);
    stats.reserved[3] = 9;
    vx_daded_reset_stats(d.db);
    vx_daded_reset_stats(nullptr);
    vx_daded_get_stats(d.db, &stats);
    EXPECT_EQ(stats.collection_count, 20u);
    EXPECT_EQ(stats.reserved[3], 0u);
    EXPECT_EQ(vx_daded_list_collections(nullptr, names, 3), 0u);
}

TEST(DatabaseRegistry, NamesThatCannotBeFileNamesAreRefused) {
    Db d;
    const char *bad[] = {"", ".", "..", "a/b", "a\\b", "line\nfeed", "cr\r",
                         "0123456789012345678901234567890123456789012345678901234567890123"};
    for (const char *name : bad) {
        vx_str n = view(name);
        EXPECT_EQ(vx_daded_create_collection(d.db, &n, 2, nullptr), VX_ERR_INVALID_ARG) << name;
        float v[2] = {1, 2};
        EXPECT_EQ(vx_daded_insert(d.db, &n, v, 2, nullptr), VX_ERR_INVALID_ARG) << name;
    }
    vx_str zero = {(char *)"a\0b", 3};
    EXPECT_EQ(vx_daded_create_collection(d.db, &zero, 2, nullptr), VX_ERR_INVALID_ARG);
    vx_str ok = view("012345678901234567890123456789012345678901234567890123456789012");  // 63
    EXPECT_EQ(vx_daded_create_collection(d.db, &ok, 2, nullptr), VX_OK);
    vx_str dots = view("...");
    EXPECT_EQ(vx_daded_create_collection(d.db, &dots, 2, nullptr), VX_OK);
    EXPECT_EQ(vx_daded_list_collections(d.db, nullptr, 0), 2u);

    vx_collection_config cfg = coltest::config_for("x", 0, VX_INDEX_FLAT);
    EXPECT_EQ(vx_daded_create_collection_ex(d.db, &cfg, nullptr), VX_ERR_UNKNOWN);  // dimension 0
    EXPECT_EQ(vx_daded_create_collection_ex(d.db, nullptr, nullptr), VX_ERR_INVALID_ARG);
    cfg.name.data = nullptr;
    EXPECT_EQ(vx_daded_create_collection_ex(d.db, &cfg, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_daded_create_collection(d.db, nullptr, 2, nullptr), VX_ERR_INVALID_ARG);
}

TEST(DatabaseOps, InsertAndSearchByName) {
    Db d;
    vx_str name = view("points");
    float v[3] = {1, 2, 3};
    uint64_t id = 0;
    vx_search_result res[4];
    EXPECT_EQ(vx_daded_search(d.db, &name, v, 3, 4, res), 0u);
    EXPECT_EQ(vx_daded_has_collection(d.db, &name), 0);  // search creates nothing
    ASSERT_EQ(vx_daded_insert(d.db, &name, v, 3, &id), VX_OK);
    EXPECT_EQ(id, 1u);
    vx_collection *c = vx_daded_get_collection(d.db, &name);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->dimension, 3u);

    // Another dimension is refused and inserts nothing.
    float wide[4] = {1, 2, 3, 4};
    EXPECT_EQ(vx_daded_insert(d.db, &name, wide, 4, &id), VX_ERR_INVALID_DIMENSION);
    EXPECT_EQ(vx_daded_insert_batch(d.db, &name, wide, 4, 1, nullptr), VX_ERR_INVALID_DIMENSION);
    EXPECT_EQ(vx_daded_search(d.db, &name, wide, 4, 4, res), 0u);
    EXPECT_EQ(c->count, 1u);

    float batch[9] = {0, 0, 0, 5, 5, 5, 1, 2, 4};
    uint64_t ids[3];
    ASSERT_EQ(vx_daded_insert_batch(d.db, &name, batch, 3, 3, ids), VX_OK);
    EXPECT_EQ(ids[0], 2u);
    EXPECT_EQ(ids[2], 4u);
    EXPECT_EQ(vx_daded_insert_batch(d.db, &name, batch, 3, 0, ids), VX_OK);
    EXPECT_EQ(vx_daded_insert_batch(d.db, &name, nullptr, 3, 1, ids), VX_ERR_INVALID_ARG);

    memset(res, 0, sizeof(res));
    ASSERT_EQ(vx_daded_search(d.db, &name, v, 3, 3, res), 3u);
    EXPECT_EQ(res[0].id, 1u);
    EXPECT_EQ(res[0].distance, 0.0f);
    EXPECT_EQ(res[1].id, 4u);
    EXPECT_EQ(res[1].distance, 1.0f);
    EXPECT_EQ(res[2].id, 2u);
    EXPECT_EQ(res[2].distance, 14.0f);

    // Implicit creation under a new name from a batch.
    vx_str fresh = view("fresh");
    ASSERT_EQ(vx_daded_insert_batch(d.db, &fresh, batch, 3, 3, ids), VX_OK);
    EXPECT_EQ(ids[0], 1u);
}

TEST(DatabaseOps, RepeatedSearchesDoNotGrowTheArena) {
    Db d;
    vx_str name = view("s");
    std::vector<float> v(16, 0.5f);
    for (int i = 0; i < 100; i++) {
        v[i % 16] += 1;
        vx_daded_insert(d.db, &name, v.data(), 16, nullptr);
    }
    vx_collection *c = vx_daded_get_collection(d.db, &name);
    std::vector<vx_search_result> res(1000);
    vx_search_hit hits[50];
    vx_collection_stats before, after;
    vx_collection_get_stats(c, &before);
    for (int i = 0; i < 200; i++) {
        ASSERT_EQ(vx_daded_search(d.db, &name, v.data(), 16, 1000, res.data()), 100u);
        vx_search_options opt = {50, nullptr, 0, 0, 0};
        ASSERT_EQ(vx_collection_search_by_id(c, 3, &opt, hits), 50u);
    }
    vx_collection_get_stats(c, &after);
    EXPECT_EQ(after.memory_used, before.memory_used);
}

TEST(DatabaseOps, PrintInfoAndErrors) {
    EXPECT_EQ(capture_stdout([] { vx_daded_print_info(nullptr); }), "Database: NULL\n");
    Db d;
    std::string empty = capture_stdout([&] { vx_daded_print_info(d.db); });
    EXPECT_EQ(empty.rfind("Vexal DadED Information\n=======================\nVersion:     0.1.32\n"
                          "Path:        (memory)\nStatus:      Open\nCollections: 0\nMemory:      ",
                          0),
              0u);
    EXPECT_EQ(empty.find("\nCollections:\n"), std::string::npos);

    vx_str a = view("alpha"), b = view("beta");
    float v[4] = {1, 2, 3, 4};
    for (int i = 0; i < 3; i++) vx_daded_insert(d.db, &a, v, 4, nullptr);
    vx_daded_create_collection(d.db, &b, 2, nullptr);
    vx_collection_stats st;
    vx_collection_get_stats(vx_daded_get_collection(d.db, &a), &st);
    std::string text = capture_stdout([&] { vx_daded_print_info(d.db); });
    std::string want = "Vexal DadED Information\n=======================\nVersion:     0.1.32\n"
                       "Path:        (memory)\nStatus:      Open\nCollections: 2\nMemory:      " +
                       std::to_string(st.memory_used) +
                       " bytes\n\nCollections:\n  - alpha: 3 vectors, 4 dims\n  - beta: 0 vectors, 2 dims\n";
    EXPECT_EQ(text, want);

    EXPECT_EQ(vx_daded_get_last_error(nullptr), VX_ERR_UNKNOWN);
    EXPECT_EQ(vx_daded_get_last_error(d.db), VX_OK);
    EXPECT_STREQ(vx_daded_get_error_message(nullptr), vx_strerror(-1));
    EXPECT_STREQ(vx_daded_get_error_message(d.db), vx_strerror(0));
    EXPECT_STREQ(vx_daded_strerror(VX_ERR_NOT_FOUND), vx_strerror(VX_ERR_NOT_FOUND));
}

// Threads insert into and search one collection while others work on other
// collections of the same database: the shared arena and every lock hold.
TEST(DatabaseConcurrency, InsertersSearchersAndNeighbours) {
    Db d;
    const int dim = 8, per_thread = 400, inserters = 3;
    vx_str shared = view("shared");
    ASSERT_EQ(vx_daded_create_collection(d.db, &shared, dim, nullptr), VX_OK);
    vx_str indexed = view("indexed");
    vx_collection *ix = nullptr;
    ASSERT_EQ(vx_daded_create_collection(d.db, &indexed, dim, &ix), VX_OK);
    coltest::fill_random(ix, 50, 77);
    ASSERT_EQ(vx_collection_build_index(ix), VX_OK);

    std::vector<std::vector<float>> vectors(inserters);
    std::vector<std::vector<uint64_t>> ids(inserters);
    std::vector<std::thread> threads;
    for (int t = 0; t < inserters; t++) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(t + 1);
            std::uniform_real_distribution<float> u(0, 1);
            std::vector<float> v(dim);
            for (int i = 0; i < per_thread; i++) {
                for (float &x : v) x = u(rng);
                uint64_t id = 0;
                if (vx_daded_insert(d.db, &shared, v.data(), dim, &id) != VX_OK) continue;
                vectors[t].insert(vectors[t].end(), v.begin(), v.end());
                ids[t].push_back(id);
                vx_collection_insert(ix, v.data(), nullptr);
            }
        });
    }
    threads.emplace_back([&] {
        std::vector<vx_search_result> res(5);
        float q[dim] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
        for (int i = 0; i < 150; i++) {
            uint64_t n = vx_daded_search(d.db, &shared, q, dim, 5, res.data());
            for (uint64_t j = 1; j < n; j++) EXPECT_LE(res[j - 1].distance, res[j].distance);
            vx_search_hit hits[5];
            vx_search_options opt = {5, nullptr, 1, 1, 0};
            n = vx_collection_search(ix, q, &opt, hits);
            for (uint64_t j = 1; j < n; j++) EXPECT_LE(hits[j - 1].distance, hits[j].distance);
        }
    });
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&, t] {
            std::string name = "neighbour" + std::to_string(t);
            vx_str n = view(name.c_str());
            std::vector<float> v(4, (float)t);
            vx_search_result res[3];
            for (int i = 0; i < 300; i++) {
                v[0] = (float)i;
                vx_meta_entry e = coltest::int_entry("i", i);
                vx_daded_insert(d.db, &n, v.data(), 4, nullptr);
                vx_collection *c = vx_daded_get_collection(d.db, &n);
                vx_collection_set_meta(c, (uint64_t)i + 1, &e, 1);
                vx_daded_search(d.db, &n, v.data(), 4, 3, res);
                vx_collection_stats st;
                vx_collection_get_stats(c, &st);
            }
        });
    }
    for (auto &th : threads) th.join();

    vx_collection *c = vx_daded_get_collection(d.db, &shared);
    ASSERT_EQ(c->count, (uint64_t)inserters * per_thread);
    std::set<uint64_t> unique;
    for (auto &list : ids) unique.insert(list.begin(), list.end());
    EXPECT_EQ(unique.size(), (size_t)inserters * per_thread);
    EXPECT_EQ(*unique.begin(), 1u);
    EXPECT_EQ(*unique.rbegin(), (uint64_t)inserters * per_thread);
    vx_search_result res[1];
    for (int t = 0; t < inserters; t++) {
        for (size_t i = 0; i < ids[t].size(); i++) {
            ASSERT_EQ(vx_daded_search(d.db, &shared, &vectors[t][i * dim], dim, 1, res), 1u);
            EXPECT_EQ(res[0].id, ids[t][i]);
            EXPECT_EQ(res[0].distance, 0.0f);
        }
    }
    EXPECT_EQ(ix->count, 50u + inserters * per_thread);
    for (int t = 0; t < 2; t++) {
        std::string name = "neighbour" + std::to_string(t);
        vx_str n = view(name.c_str());
        EXPECT_EQ(vx_daded_get_collection(d.db, &n)->count, 300u);
    }
}

TEST(DatabaseConcurrency, ImplicitCreationRaceMakesOneCollection) {
    for (int round = 0; round < 20; round++) {
        Db d;
        vx_str name = view("raced");
        std::vector<std::thread> threads;
        std::vector<vx_status> results(4, -999);
        for (int t = 0; t < 4; t++) {
            threads.emplace_back([&, t] {
                float v[2] = {(float)t, 1};
                results[t] = vx_daded_insert(d.db, &name, v, 2, nullptr);
            });
        }
        for (auto &th : threads) th.join();
        for (vx_status s : results) EXPECT_EQ(s, VX_OK);
        EXPECT_EQ(vx_daded_list_collections(d.db, nullptr, 0), 1u);
        EXPECT_EQ(vx_daded_get_collection(d.db, &name)->count, 4u);
    }
}
