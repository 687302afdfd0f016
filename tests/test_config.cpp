// Configuration: the key tree, conversion into option records, presets, the
// text format and the command-line and environment readers.
#include <gtest/gtest.h>

#include <float.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "persist_test_util.h"
#include "vx_config_internal.h"

namespace {

vx_str view(const char *text) { return vx_str{(char *)text, strlen(text)}; }

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vx_arena_create(0, &arena), VX_OK);
        config = vx_config_create(arena);
        ASSERT_NE(config, nullptr);
        char dir_template[] = "/tmp/vx_config_XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
    }
    void TearDown() override {
        unlink(path().c_str());
        rmdir(dir.c_str());
        vx_arena_destroy(arena);
    }
    vx_config *fresh() { return vx_config_create(arena); }
    std::string path() const { return dir + "/settings.conf"; }

    vx_status set_int(vx_config *c, const char *key, int64_t v) {
        vx_str k = view(key);
        return vx_config_set(c, &k, &v, VX_CONFIG_INT);
    }
    vx_status set_float(vx_config *c, const char *key, double v) {
        vx_str k = view(key);
        return vx_config_set(c, &k, &v, VX_CONFIG_FLOAT);
    }
    vx_status set_bool(vx_config *c, const char *key, int32_t v) {
        vx_str k = view(key);
        return vx_config_set(c, &k, &v, VX_CONFIG_BOOL);
    }
    vx_status set_string(vx_config *c, const char *key, const char *v) {
        vx_str k = view(key);
        return vx_config_set(c, &k, v, VX_CONFIG_STRING);
    }
    int64_t get_int(const vx_config *c, const char *key, int64_t fallback = -1) {
        vx_str k = view(key);
        return vx_config_get_int(c, &k, fallback);
    }
    double get_float(const vx_config *c, const char *key, double fallback = -1) {
        vx_str k = view(key);
        return vx_config_get_float(c, &k, fallback);
    }
    int32_t get_bool(const vx_config *c, const char *key, int32_t fallback = -1) {
        vx_str k = view(key);
        return vx_config_get_bool(c, &k, fallback);
    }
    std::string get_string(const vx_config *c, const char *key) {
        vx_str k = view(key), none = view("<none>");
        const vx_str *s = vx_config_get_string(c, &k, &none);
        return std::string(s->data, s->len);
    }
    bool has(const vx_config *c, const char *key) {
        vx_str k = view(key);
        return vx_config_has_key(c, &k) == 1;
    }
    vx_status load_text(vx_config *c, const std::string &text) {
        vx_str t{(char *)text.data(), text.size()};
        return vx_config_load_string(c, &t);
    }
    vx_status save(const vx_config *c) {
        std::string p = path();
        vx_str ps = view(p.c_str());
        return vx_config_save(c, &ps);
    }
    vx_status load(vx_config *c) {
        std::string p = path();
        vx_str ps = view(p.c_str());
        return vx_config_load(c, &ps);
    }
    std::string file_text() {
        std::ifstream in(path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    vx_arena *arena = nullptr;
    vx_config *config = nullptr;
    std::string dir;
};

std::vector<std::string> child_names(const config_node *node) {
    std::vector<std::string> names;
    for (const config_node *c = node->child; c; c = c->next) names.emplace_back(c->name, c->name_len);
    return names;
}

// Two trees are the same when every node has the same name, place, type and
// value, and was set in both or in neither.
void expect_same_tree(const config_node *a, const config_node *b, const std::string &where) {
    ASSERT_EQ(std::string(a->name, a->name_len), std::string(b->name, b->name_len)) << where;
    ASSERT_EQ(a->is_set, b->is_set) << where;
    if (a->is_set) {
        ASSERT_EQ(a->type, b->type) << where;
        switch (a->type) {
        case VX_CONFIG_INT: EXPECT_EQ(a->value.i, b->value.i) << where; break;
        case VX_CONFIG_BOOL: EXPECT_EQ(a->value.b, b->value.b) << where; break;
        case VX_CONFIG_STRING: EXPECT_STREQ(a->value.s, b->value.s) << where; break;
        case VX_CONFIG_FLOAT:
            if (std::isnan(a->value.f)) {
                EXPECT_TRUE(std::isnan(b->value.f)) << where;
                EXPECT_EQ(std::signbit(a->value.f), std::signbit(b->value.f)) << where;
            } else {
                EXPECT_EQ(memcmp(&a->value.f, &b->value.f, 8), 0) << where << " " << a->value.f;
            }
            break;
        }
    }
    const config_node *x = a->child, *y = b->child;
    for (; x && y; x = x->next, y = y->next) expect_same_tree(x, y, where + "." + x->name);
    EXPECT_EQ(x == nullptr, y == nullptr) << where << ": child lists differ in length";
}

/* ---- tree --------------------------------------------------------------- */

TEST_F(ConfigTest, IntermediateLevelsReadAsZeroAndTypesMustMatch) {
    ASSERT_EQ(set_int(config, "a.b.c", 5), VX_OK);
    EXPECT_EQ(get_int(config, "a.b.c"), 5);
    EXPECT_EQ(get_int(config, "a.b"), 0);
    EXPECT_EQ(get_int(config, "a"), 0);
    EXPECT_EQ(get_float(config, "a.b.c", 1.5), 1.5);
    EXPECT_EQ(get_bool(config, "a.b.c", 7), 7);
    EXPECT_EQ(get_string(config, "a.b.c"), "<none>");
    EXPECT_EQ(get_int(config, "a.b.c.d", 9), 9);
    EXPECT_FALSE(has(config, "a.b.c.d"));
    EXPECT_FALSE(has(config, "b"));
    // The empty key is the root, an integer 0.
    EXPECT_TRUE(has(config, ""));
    EXPECT_EQ(get_int(config, ""), 0);
}

TEST_F(ConfigTest, LaterSetReplacesTypeAndKeepsPlaceAndChildren) {
    ASSERT_EQ(set_string(config, "x", "abc"), VX_OK);
    EXPECT_EQ(get_string(config, "x"), "abc");
    ASSERT_EQ(set_int(config, "x.child", 1), VX_OK);
    ASSERT_EQ(set_int(config, "y", 2), VX_OK);
    ASSERT_EQ(set_int(config, "x", 7), VX_OK);
    EXPECT_EQ(get_string(config, "x"), "<none>");
    EXPECT_EQ(get_int(config, "x"), 7);
    EXPECT_EQ(get_int(config, "x.child"), 1);
    EXPECT_EQ(child_names(config->tree->root), (std::vector<std::string>{"y", "x"}));
}

TEST_F(ConfigTest, UnknownTypeCodeIsRejectedAndHidesTheValue) {
    ASSERT_EQ(set_int(config, "k", 3), VX_OK);
    vx_str k = view("k");
    int64_t v = 4;
    EXPECT_EQ(vx_config_set(config, &k, &v, 9), VX_ERR_INVALID_ARG);
    EXPECT_EQ(get_int(config, "k"), -1);
    EXPECT_EQ(get_float(config, "k"), -1);
    EXPECT_EQ(get_bool(config, "k"), -1);
    EXPECT_EQ(get_string(config, "k"), "<none>");
    EXPECT_TRUE(has(config, "k"));
}

TEST_F(ConfigTest, DotsEmptySegmentsAndChildOrder) {
    ASSERT_EQ(set_int(config, "a..b", 1), VX_OK);
    const config_node *a = config->tree->root->child;
    ASSERT_EQ(child_names(a), std::vector<std::string>{""});
    EXPECT_EQ(child_names(a->child), std::vector<std::string>{"b"});
    EXPECT_EQ(get_int(config, "a..b"), 1);
    EXPECT_EQ(get_int(config, "a.b", 9), 9);
    // A trailing dot adds no level.
    EXPECT_EQ(get_int(config, "a..b."), 1);

    ASSERT_EQ(set_int(config, "p.x", 1), VX_OK);
    ASSERT_EQ(set_int(config, "p.y", 2), VX_OK);
    vx_str p = view("p");
    EXPECT_EQ(child_names(config_get_node(config, p.data)), (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(get_int(config, "p.x"), 1);
    EXPECT_EQ(get_int(config, "p.y"), 2);
    EXPECT_EQ(child_names(config->tree->root), (std::vector<std::string>{"p", "a"}));
}

TEST_F(ConfigTest, KeySegmentsMatchSplittingAtDots) {
    for (const char *key : {"", ".", "..", "a", "a.", ".a", "a..b", "a.b.c.", "...x..", "é.ü"}) {
        vx_str k = view(key), dot = view(".");
        std::vector<std::string> expected;
        for (vx_str **t = vx_strsplit(arena, &k, &dot); t && *t; t++)
            expected.emplace_back((*t)->data, (*t)->len);
        std::vector<std::string> got;
        key_cursor cursor = key_cursor_start(key);
        const char *segment;
        uint64_t length;
        while (key_cursor_next(&cursor, &segment, &length)) got.emplace_back(segment, length);
        EXPECT_EQ(got, expected) << "key '" << key << "'";
    }
}

TEST_F(ConfigTest, KeyIsReadUpToItsZeroByteAndLookupsTakeNoMemory) {
    ASSERT_EQ(set_string(config, "db.name", "vectors"), VX_OK);
    vx_str k{(char *)"db.name", 1}, fallback = view("x");
    EXPECT_EQ(vx_config_has_key(config, &k), 1);
    uint64_t used = vx_arena_get_used_size(arena);
    for (int i = 0; i < 1000; i++) {
        const vx_str *s = vx_config_get_string(config, &k, &fallback);
        ASSERT_EQ(s->len, 7u);
        EXPECT_EQ(get_int(config, "db.missing.deep", 0), 0);
    }
    EXPECT_EQ(vx_arena_get_used_size(arena), used);
}

TEST_F(ConfigTest, NullArgumentsGiveDefaultsOrInvalidArg) {
    vx_str k = view("a"), none = view("d");
    int64_t v = 1;
    EXPECT_EQ(vx_config_create(nullptr), nullptr);
    vx_config_destroy(nullptr);
    EXPECT_EQ(vx_config_set(nullptr, &k, &v, VX_CONFIG_INT), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_set(config, nullptr, &v, VX_CONFIG_INT), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_set(config, &k, nullptr, VX_CONFIG_INT), VX_ERR_INVALID_ARG);
    vx_str null_data{nullptr, 3};
    EXPECT_EQ(vx_config_set(config, &null_data, &v, VX_CONFIG_INT), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_get_int(nullptr, &k, 4), 4);
    EXPECT_EQ(vx_config_get_int(config, nullptr, 4), 4);
    EXPECT_EQ(vx_config_get_float(config, &null_data, 2.5), 2.5);
    EXPECT_EQ(vx_config_get_bool(nullptr, &k, 3), 3);
    EXPECT_EQ(vx_config_get_string(nullptr, &k, &none), &none);
    EXPECT_EQ(vx_config_has_key(config, nullptr), 0);
    EXPECT_EQ(vx_config_has_key(nullptr, &k), 0);
}

TEST_F(ConfigTest, StringViewBelongsToTheCallingThread) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            vx_arena *a = nullptr;
            vx_arena_create(0, &a);
            vx_config *c = vx_config_create(a);
            std::string value(100 + t, (char)('a' + t));
            set_string(c, "s", value.c_str());
            vx_str k = view("s");
            bool good = true;
            for (int i = 0; i < 2000; i++) {
                const vx_str *s = vx_config_get_string(c, &k, nullptr);
                good = good && s && std::string(s->data, s->len) == value;
            }
            ok[t] = good;
            vx_arena_destroy(a);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

/* ---- conversion and presets -------------------------------------------- */

TEST_F(ConfigTest, EmptyConfigurationConvertsToTheDefaults) {
    vx_db_config db;
    memset(&db, 0xAB, sizeof(db));
    ASSERT_EQ(vx_config_to_db_config(config, &db), VX_OK);
    ASSERT_NE(db.path.data, nullptr);
    EXPECT_STREQ(db.path.data, "./data");
    EXPECT_EQ(db.path.len, 6u);
    EXPECT_EQ(db.storage_mode, 1);
    EXPECT_EQ(db.arena_size, 104857600u);
    EXPECT_EQ(db.cache_size, 52428800u);
    EXPECT_EQ(db.read_only, 0);
    EXPECT_EQ(db.create_if_missing, 1);

    vx_collection_config col;
    memset(&col, 0xAB, sizeof(col));
    ASSERT_EQ(vx_config_to_collection_config(config, &col), VX_OK);
    EXPECT_EQ(col.name.data, nullptr);
    EXPECT_EQ(col.name.len, 0u);
    EXPECT_EQ(col.dimension, 128u);
    EXPECT_EQ(col.metric, VX_METRIC_L2);
    EXPECT_EQ(col.index_type, VX_INDEX_HNSW);
    EXPECT_EQ(col.refine_factor, 0u);
    EXPECT_EQ(col.build_threads, 0u);
    EXPECT_EQ(col.auto_resize, 1);
    EXPECT_EQ(col.quant_type, 0);
    EXPECT_EQ(col.pq_m, 0u);
    EXPECT_EQ(col.pq_nbits, 0u);

    EXPECT_EQ(vx_config_to_db_config(nullptr, &db), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_to_db_config(config, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_to_collection_config(nullptr, &col), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_to_collection_config(config, nullptr), VX_ERR_INVALID_ARG);
}

TEST_F(ConfigTest, DatabaseKeysOverrideOnlyWithTheRightTypeAndWords) {
    vx_db_config db;
    set_int(config, "database.storage_mode", 0);
    set_int(config, "database.arena_size", -5);
    set_int(config, "database.cache_size", 0);
    set_int(config, "database.read_only", 1);
    set_string(config, "database.create_if_missing", "false");
    ASSERT_EQ(vx_config_to_db_config(config, &db), VX_OK);
    EXPECT_EQ(db.storage_mode, 1);
    EXPECT_EQ(db.arena_size, 104857600u);
    EXPECT_EQ(db.cache_size, 52428800u);
    EXPECT_EQ(db.read_only, 0);
    EXPECT_EQ(db.create_if_missing, 1);

    set_string(config, "database.storage_mode", "Memory");
    ASSERT_EQ(vx_config_to_db_config(config, &db), VX_OK);
    EXPECT_EQ(db.storage_mode, 1);

    set_string(config, "database.path", "/srv/vec");
    set_string(config, "database.storage_mode", "memory");
    set_int(config, "database.arena_size", 1 << 20);
    set_int(config, "database.cache_size", 3);
    set_bool(config, "database.read_only", 1);
    set_bool(config, "database.create_if_missing", 0);
    ASSERT_EQ(vx_config_to_db_config(config, &db), VX_OK);
    EXPECT_EQ(std::string(db.path.data, db.path.len), "/srv/vec");
    EXPECT_EQ(db.path.data, config_get_node(config, "database.path")->value.s);
    EXPECT_EQ(db.storage_mode, 0);
    EXPECT_EQ(db.arena_size, 1u << 20);
    EXPECT_EQ(db.cache_size, 3u);
    EXPECT_EQ(db.read_only, 1);
    EXPECT_EQ(db.create_if_missing, 0);

    set_string(config, "database.storage_mode", "persistent");
    ASSERT_EQ(vx_config_to_db_config(config, &db), VX_OK);
    EXPECT_EQ(db.storage_mode, 1);
}

TEST_F(ConfigTest, CollectionKeysAndWords) {
    vx_collection_config col;
    set_string(config, "collection.name", "images");
    set_int(config, "collection.dimension", (int64_t)4294967297LL);
    set_string(config, "collection.metric", "cosine");
    set_string(config, "collection.index_type", "ivf");
    set_bool(config, "collection.auto_resize", 0);
    set_int(config, "collection.build_threads", 3);
    ASSERT_EQ(vx_config_to_collection_config(config, &col), VX_OK);
    EXPECT_EQ(col.build_threads, 3u);
    EXPECT_EQ(std::string(col.name.data, col.name.len), "images");
    EXPECT_EQ(col.dimension, 1u);
    EXPECT_EQ(col.metric, VX_METRIC_COSINE);
    EXPECT_EQ(col.index_type, VX_INDEX_IVF);
    EXPECT_EQ(col.auto_resize, 0);
    set_int(config, "collection.build_threads", -2);
    ASSERT_EQ(vx_config_to_collection_config(config, &col), VX_OK);
    EXPECT_EQ(col.build_threads, 0u);

    struct { const char *metric, *index; int32_t m, i; } cases[] = {
        {"l2", "flat", 0, 0}, {"ip", "hnsw", 1, 2}, {"L2", "IVF", 0, 2},
        {"cosine ", "ivf\t", 0, 2}, {"", "", 0, 2}, {"ipx", "hnswx", 0, 2}};
    for (auto &c : cases) {
        set_string(config, "collection.metric", c.metric);
        set_string(config, "collection.index_type", c.index);
        ASSERT_EQ(vx_config_to_collection_config(config, &col), VX_OK);
        EXPECT_EQ(col.metric, c.m) << c.metric;
        EXPECT_EQ(col.index_type, c.i) << c.index;
    }
    set_int(config, "collection.dimension", 0);
    ASSERT_EQ(vx_config_to_collection_config(config, &col), VX_OK);
    EXPECT_EQ(col.dimension, 128u);
    set_int(config, "collection.dimension", -3);
    ASSERT_EQ(vx_config_to_collection_config(config, &col), VX_OK);
    EXPECT_EQ(col.dimension, 128u);
}

TEST_F(ConfigTest, PresetsWriteHnswIntegers) {
    struct { vx_status (*apply)(vx_config *); int64_t m, efc, efs; } presets[] = {
        {vx_config_apply_preset_mobile_low, 16, 100, 50},
        {vx_config_apply_preset_mobile_high, 32, 200, 100},
        {vx_config_apply_preset_embedded, 8, 50, 32}};
    for (auto &p : presets) {
        vx_config *c = fresh();
        ASSERT_EQ(p.apply(c), VX_OK);
        EXPECT_EQ(get_int(c, "index.hnsw.M"), p.m);
        EXPECT_EQ(get_int(c, "index.hnsw.ef_construction"), p.efc);
        EXPECT_EQ(get_int(c, "index.hnsw.ef_search"), p.efs);
        EXPECT_EQ(get_int(c, "index.hnsw.m", -1), -1);
        vx_str hnsw = view("index.hnsw");
        EXPECT_EQ(child_names(config_get_node(c, hnsw.data)),
                  (std::vector<std::string>{"ef_search", "ef_construction", "M"}));
        EXPECT_EQ(p.apply(nullptr), VX_ERR_INVALID_ARG);
    }
}

/* ---- text format -------------------------------------------------------- */

TEST_F(ConfigTest, SaveThenLoadRebuildsTheSameTree) {
    const char *strings[] = {"", "plain", "say \"hi\"", "back\\slash\\", "line\nbreak\n",
                             "tab\there", "cr\rlf\r\n", "# not a comment", "a = b", "  padded  ",
                             "ünïcødé ✓", "\x01\x7f\xff"};
    int i = 0;
    for (const char *s : strings) set_string(config, ("str.s" + std::to_string(i++)).c_str(), s);
    const int64_t ints[] = {0, 1, -1, INT64_MAX, INT64_MIN, 4294967297LL, -9007199254740993LL};
    i = 0;
    for (int64_t v : ints) set_int(config, ("int.i" + std::to_string(i++)).c_str(), v);
    const double floats[] = {0.0, -0.0, 0.1, 1.0 / 3, -2.5, 1e22, 1e-7, 123456789012345680.0,
                             DBL_MAX, -DBL_MAX, DBL_MIN, 4.9406564584124654e-324, DBL_EPSILON,
                             HUGE_VAL, -HUGE_VAL, std::nan(""), -std::nan(""), 5.0};
    i = 0;
    for (double v : floats) set_float(config, ("float.f" + std::to_string(i++)).c_str(), v);
    set_bool(config, "bool.t", 1);
    set_bool(config, "bool.f", 0);
    // Keys that cannot stand bare, levels named by the empty text, the root.
    set_int(config, "", 42);
    set_int(config, ".", 1);
    set_int(config, "x..", 2);
    set_int(config, "..y", 3);
    set_string(config, "with space.and=equals", "v");
    set_string(config, "#hash.\"quote\".back\\slash", "w");
    set_int(config, "ключ.ü", 4);
    set_int(config, "deep.a.b.c.d.e", 5);
    set_int(config, "deep.a", 6);  // set after its child: order must survive
    set_int(config, "only.intermediate.leaf", 7);

    ASSERT_EQ(save(config), VX_OK);
    std::string text = file_text();
    vx_config *copy = fresh();
    ASSERT_EQ(load(copy), VX_OK) << text;
    expect_same_tree(config->tree->root, copy->tree->root, "root");

    // Saving the copy gives the same bytes; every float line is marked as one.
    ASSERT_EQ(save(copy), VX_OK);
    EXPECT_EQ(file_text(), text);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("float.", 0) != 0) continue;
        std::string v = line.substr(line.find(" = ") + 3);
        bool word = v == "inf" || v == "-inf" || v == "nan" || v == "-nan";
        EXPECT_TRUE(word || v.find_first_of(".e") != std::string::npos) << line;
    }
    EXPECT_NE(text.find("float.f2 = 0.1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("float.f1 = -0.0\n"), std::string::npos);
    EXPECT_NE(text.find("float.f17 = 5.0\n"), std::string::npos);
    EXPECT_NE(text.find("int.i4 = -9223372036854775808\n"), std::string::npos);
    EXPECT_NE(text.find("str.s2 = \"say \\\"hi\\\"\"\n"), std::string::npos);
    EXPECT_NE(text.find("bool.t = true\n"), std::string::npos);
}

TEST_F(ConfigTest, EmptyFilesAndTruncation) {
    {
        std::ofstream(path()) << "old content that must go\n";
    }
    ASSERT_EQ(save(config), VX_OK);
    EXPECT_EQ(file_text(), "");
    ASSERT_EQ(load(config), VX_OK);
    EXPECT_EQ(config->tree->root->child, nullptr);

    set_int(config, "kept", 1);
    unlink(path().c_str());
    EXPECT_EQ(load(config), VX_ERR_IO);
    EXPECT_EQ(get_int(config, "kept"), 1);
    std::string missing_dir = dir + "/no/such/dir/file";
    vx_str p = view(missing_dir.c_str());
    EXPECT_EQ(vx_config_save(config, &p), VX_ERR_IO);
    EXPECT_EQ(vx_config_save(nullptr, &p), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_save(config, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_load(nullptr, &p), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_load(config, nullptr), VX_ERR_INVALID_ARG);
}

TEST_F(ConfigTest, LoadAcceptsCommentsBlanksAndFreeWhitespace) {
    std::string text =
        "\xEF\xBB\xBF# settings\r\n"
        "\n"
        "   \t\n"
        "  # indented comment\n"
        "database.path=\"/srv/db\"\r\n"
        "  database.arena_size   =\t67108864   # bytes\n"
        "ratio = 2.5e-1\n"
        "ratio2 = .5\n"
        "ratio3 = 7.\n"
        "flag = false#trailing\n"
        "\"quoted key\" = +12\n"
        "big = 1e999\n"
        "neg = -inf\n"
        "dup = 1\n"
        "dup = \"two\"";  // no final line feed
    ASSERT_EQ(load_text(config, text), VX_OK);
    EXPECT_EQ(get_string(config, "database.path"), "/srv/db");
    EXPECT_EQ(get_int(config, "database.arena_size"), 67108864);
    EXPECT_EQ(get_float(config, "ratio"), 0.25);
    EXPECT_EQ(get_float(config, "ratio2"), 0.5);
    EXPECT_EQ(get_float(config, "ratio3"), 7.0);
    EXPECT_EQ(get_bool(config, "flag"), 0);
    EXPECT_EQ(get_int(config, "quoted key"), 12);
    EXPECT_EQ(get_float(config, "big"), HUGE_VAL);
    EXPECT_EQ(get_float(config, "neg"), -HUGE_VAL);
    EXPECT_EQ(get_string(config, "dup"), "two");
    // A long decimal is rounded correctly, not digit by digit.
    ASSERT_EQ(load_text(config, "long = 0." + std::string(400, '0') + "1e401\n"), VX_OK);
    EXPECT_EQ(get_float(config, "long"), 1.0);
    ASSERT_EQ(load_text(config, "third = 0.333333333333333314829616256247390992939472198486328125\n"),
              VX_OK);
    EXPECT_EQ(get_float(config, "third"), 1.0 / 3);

    vx_str only_prefix{(char *)"a = 1\nb = 2\n", 6};
    ASSERT_EQ(vx_config_load_string(config, &only_prefix), VX_OK);
    EXPECT_EQ(get_int(config, "a"), 1);
    EXPECT_FALSE(has(config, "b"));
    vx_str empty{nullptr, 0}, broken{nullptr, 4};
    EXPECT_EQ(vx_config_load_string(config, &empty), VX_OK);
    EXPECT_EQ(vx_config_load_string(config, &broken), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_load_string(nullptr, &empty), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_load_string(config, nullptr), VX_ERR_INVALID_ARG);
}

TEST_F(ConfigTest, MalformedLineStopsTheLoadAndKeepsEarlierKeys) {
    const char *bad[] = {"novalue", "k 5", "= 5", "k =", "k = abc", "k = \"open", "k = \"bad\\q\"",
                         "k = \"a\" x", "k = 1 2", "k = 99999999999999999999",
                         "k = -9223372036854775809", "k = 1e", "k = .", "k = +", "k = 0x10",
                         "k = tru", "k = True", "\"k = 1", "k\\x = 1", "k = \"trailing\\",
                         "k = 1.5.2", "k = e5", "k = infinity"};
    for (const char *line : bad) {
        vx_config *c = fresh();
        std::string text = std::string("before = 1\n") + line + "\nafter = 2\n";
        EXPECT_EQ(load_text(c, text), VX_ERR_INVALID_ARG) << line;
        EXPECT_EQ(get_int(c, "before"), 1) << line;
        EXPECT_FALSE(has(c, "after")) << line;
        EXPECT_FALSE(has(c, "k")) << line;
    }
    // A zero byte is never part of a valid line.
    vx_config *c = fresh();
    EXPECT_EQ(load_text(c, std::string("k = \"a\0b\"\n", 10)), VX_ERR_INVALID_ARG);
    EXPECT_EQ(load_text(c, std::string("k = 1\0\n", 7)), VX_ERR_INVALID_ARG);
}

TEST_F(ConfigTest, DeepAndLargeConfigurationsRoundTrip) {
    std::string deep = "d";
    for (int i = 0; i < 20000; i++) deep += ".n";
    set_int(config, deep.c_str(), 1);
    std::string big(1 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 97) big[i] = "\"\\\n\t"[i % 4];
    set_string(config, "big", big.c_str());
    ASSERT_EQ(save(config), VX_OK);
    vx_config *copy = fresh();
    ASSERT_EQ(load(copy), VX_OK);
    EXPECT_EQ(get_int(copy, deep.c_str()), 1);
    EXPECT_EQ(get_string(copy, "big"), big);
}

// Allocation failures while rendering leave an existing file untouched.
void *failing_alloc(uint64_t, void *) { return nullptr; }

TEST_F(ConfigTest, SaveWithoutMemoryLeavesTheFileAlone) {
    {
        std::ofstream(path()) << "keep = 1\n";
    }
    set_int(config, "a", 1);
    vx_allocator saved = *vx_get_allocator();
    vx_allocator failing = saved;
    failing.alloc = failing_alloc;
    ASSERT_EQ(vx_set_allocator(&failing), VX_OK);
    vx_status status = save(config);
    vx_status loaded = load_text(config, "s = \"text\"\n");
    vx_set_allocator(&saved);
    EXPECT_EQ(status, VX_ERR_NO_MEMORY);
    EXPECT_EQ(loaded, VX_ERR_NO_MEMORY);
    EXPECT_EQ(file_text(), "keep = 1\n");
}

// A save is a whole replacement: when the disk fills up, the old file stays
// and no partial or temporary file is left.
TEST_F(ConfigTest, FullDiskLeavesTheOldFile) {
    {
        std::ofstream(path()) << "keep = 1\n";
    }
    for (int i = 0; i < 100; i++) set_int(config, ("key" + std::to_string(i)).c_str(), i);
    vx_status status;
    {
        ptest::DiskFull full(64);
        status = save(config);
    }
    EXPECT_EQ(status, VX_ERR_IO);
    EXPECT_EQ(file_text(), "keep = 1\n");
    EXPECT_EQ(ptest::entries_of(dir), std::vector<std::string>{"settings.conf"});
}

TEST_F(ConfigTest, ThreadsSaveAndLoadTheirOwnConfigurations) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            vx_arena *a = nullptr;
            vx_arena_create(0, &a);
            vx_config *c = vx_config_create(a);
            set_float(c, "f", 0.1 * (t + 1));
            set_int(c, "i", t);
            std::string p = dir + "/t" + std::to_string(t);
            vx_str ps = view(p.c_str());
            bool good = true;
            for (int i = 0; i < 50 && good; i++) {
                vx_config *copy = vx_config_create(a);
                good = vx_config_save(c, &ps) == VX_OK && vx_config_load(copy, &ps) == VX_OK &&
                       get_float(copy, "f") == 0.1 * (t + 1) && get_int(copy, "i") == t;
            }
            ok[t] = good;
            unlink(p.c_str());
            vx_arena_destroy(a);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

/* ---- command line and environment ---------------------------------------- */

TEST_F(ConfigTest, ArgumentsOfTheFormKeyEqualsValue) {
    const char *args[] = {"./prog",
                          "--database.storage_mode=memory",
                          "--collection.dimension=768",
                          "--ratio=0.5",
                          "--flag=true",
                          "--quoted=\"a\\tb\"",
                          "--spaced=two words",
                          "--half=\"open",
                          "--empty=",
                          "--hex=0x10",
                          "--noequals",
                          "-x=1",
                          "--=5",
                          "plain=1",
                          nullptr,
                          "--",
                          "--after=1"};
    int argc = (int)(sizeof(args) / sizeof(args[0]));
    ASSERT_EQ(vx_config_parse_args(config, argc, (char **)args), VX_OK);
    EXPECT_EQ(get_string(config, "database.storage_mode"), "memory");
    EXPECT_EQ(get_int(config, "collection.dimension"), 768);
    EXPECT_EQ(get_float(config, "ratio"), 0.5);
    EXPECT_EQ(get_bool(config, "flag"), 1);
    EXPECT_EQ(get_string(config, "quoted"), "a\tb");
    EXPECT_EQ(get_string(config, "spaced"), "two words");
    EXPECT_EQ(get_string(config, "half"), "\"open");
    EXPECT_EQ(get_string(config, "empty"), "");
    EXPECT_EQ(get_string(config, "hex"), "0x10");
    for (const char *k : {"noequals", "x", "-x", "plain", "after"}) EXPECT_FALSE(has(config, k)) << k;
    EXPECT_EQ(get_int(config, "", 9), 0);  // the root stays unset
    EXPECT_FALSE(config->tree->root->is_set);

    vx_db_config db;
    ASSERT_EQ(vx_config_to_db_config(config, &db), VX_OK);
    EXPECT_EQ(db.storage_mode, 0);
    EXPECT_EQ(vx_config_parse_args(config, 0, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_parse_args(nullptr, argc, (char **)args), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_config_parse_args(config, -1, (char **)args), VX_OK);
}

TEST_F(ConfigTest, EnvironmentVariablesNameKeysInUpperCase) {
    setenv("VEXAL_DATABASE__STORAGE_MODE", "memory", 1);
    setenv("VEXAL_INDEX__HNSW__M", "48", 1);
    setenv("VEXAL_CUSTOM__SOME_SETTING", "1.25", 1);
    setenv("VEXAL_MIXED__CASE", "\"x\"", 1);
    setenv("VEXAL_", "ignored", 1);
    setenv("VEXALX_OTHER", "ignored", 1);
    set_int(config, "Mixed.Case", 0);
    EXPECT_EQ(vx_config_load_env(config), VX_OK);
    unsetenv("VEXAL_DATABASE__STORAGE_MODE");
    unsetenv("VEXAL_INDEX__HNSW__M");
    unsetenv("VEXAL_CUSTOM__SOME_SETTING");
    unsetenv("VEXAL_MIXED__CASE");
    unsetenv("VEXAL_");
    unsetenv("VEXALX_OTHER");
    EXPECT_EQ(get_string(config, "database.storage_mode"), "memory");
    EXPECT_EQ(get_int(config, "index.hnsw.M"), 48);
    EXPECT_FALSE(has(config, "index.hnsw.m"));
    EXPECT_EQ(get_float(config, "custom.some_setting"), 1.25);
    EXPECT_EQ(get_string(config, "Mixed.Case"), "x");
    EXPECT_FALSE(has(config, "mixed"));
    EXPECT_FALSE(has(config, "other"));
    EXPECT_FALSE(config->tree->root->is_set);
    EXPECT_EQ(vx_config_load_env(nullptr), VX_ERR_INVALID_ARG);
}

}  // namespace
