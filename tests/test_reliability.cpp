// Reliability of the database and its collections: one writer process per
// directory, missing collection files, non-finite vectors, read-only
// databases, path views, filter limits, failed saves and writers getting in
// under steady search.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <map>
#include <thread>

#include "persist_test_util.h"
#include "vx_collection_internal.h"
#include "vx_file_internal.h"

using namespace ptest;

namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

vx_db_config dir_config(const std::string &path, int32_t read_only = 0) {
    vx_db_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.path = view(path);
    cfg.storage_mode = VX_DB_STORAGE_PERSISTENT;
    cfg.create_if_missing = read_only ? 0 : 1;
    cfg.read_only = read_only;
    return cfg;
}

vx_status open_with(const std::string &path, int32_t read_only, vx_daded **db, uint32_t timeout_ms = 0,
                    int32_t skip_missing = 0) {
    vx_db_config cfg = dir_config(path, read_only);
    vx_db_open_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.lock_timeout_ms = timeout_ms;
    opt.skip_missing = skip_missing;
    return vx_daded_open_with(&cfg, &opt, db);
}

vx_daded *open_writer(const std::string &path) {
    vx_daded *db = nullptr;
    EXPECT_EQ(open_with(path, 0, &db), VX_OK);
    return db;
}

void insert_n(vx_daded *db, const char *name, uint64_t n, uint32_t dim = 4, uint64_t seed = 1) {
    vx_str s = view(name);
    std::vector<float> v = random_vectors(n, dim, seed);
    for (uint64_t i = 0; i < n; i++) ASSERT_EQ(vx_daded_insert(db, &s, &v[i * dim], dim, nullptr), VX_OK);
}

vx_collection *get(vx_daded *db, const char *name) {
    vx_str s = view(name);
    return vx_daded_get_collection(db, &s);
}

uint64_t count_of(vx_collection *c) {
    vx_collection_stats st;
    return vx_collection_get_stats(c, &st) == VX_OK ? st.count : UINT64_MAX;
}

std::string text_of(const std::string &path) {
    std::vector<uint8_t> b = slurp(path);
    return std::string(b.begin(), b.end());
}

std::map<std::string, std::vector<uint8_t>> snapshot(const std::string &dir) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const std::string &name : entries_of(dir)) files[name] = slurp(dir + "/" + name);
    return files;
}

std::string last_detail() {
    vx_error_info info;
    vx_error_get(&info);
    return info.detail ? info.detail : "";
}

// Status of opening path for writing from a child process.
vx_status open_in_child(const std::string &path, int32_t read_only) {
    pid_t pid = fork();
    if (pid == 0) {
        vx_daded *db = nullptr;
        vx_status st = open_with(path, read_only, &db);
        if (db) vx_daded_close(db);
        _exit(-st);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? -(vx_status)WEXITSTATUS(status) : VX_ERR_UNKNOWN;
}

}  // namespace

/* ---- one writer process per directory ------------------------------------- */

TEST(DirectoryLock, SecondWriterIsRefusedAndNothingIsLost) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *first = open_writer(P);
    ASSERT_NE(first, nullptr);
    insert_n(first, "a", 5);

    // Another process, and another handle of this one, are both refused at once.
    EXPECT_EQ(open_in_child(P, 0), VX_ERR_BUSY);
    EXPECT_EQ(open_in_child(P, 1), VX_ERR_BUSY);
    vx_daded *second = nullptr;
    EXPECT_EQ(open_with(P, 0, &second), VX_ERR_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(last_detail().find(P + "/.vxlock"), std::string::npos) << last_detail();
    // A bounded wait ends in the same refusal.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(open_with(P, 0, &second, 100), VX_ERR_BUSY);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    ASSERT_EQ(vx_daded_close(first), VX_OK);
    EXPECT_EQ(open_in_child(P, 0), VX_OK);
    vx_daded *again = open_writer(P);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(count_of(get(again, "a")), 5u);
    ASSERT_EQ(vx_daded_close(again), VX_OK);
}

TEST(DirectoryLock, ReadersShareTheDirectoryButNotWithAWriter) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_writer(P);
    insert_n(db, "a", 3);
    ASSERT_EQ(vx_daded_close(db), VX_OK);

    vx_daded *r1 = nullptr, *r2 = nullptr, *w = nullptr;
    ASSERT_EQ(open_with(P, 1, &r1), VX_OK);
    ASSERT_EQ(open_with(P, 1, &r2), VX_OK);
    EXPECT_EQ(open_in_child(P, 1), VX_OK);
    EXPECT_EQ(open_in_child(P, 0), VX_ERR_BUSY);
    EXPECT_EQ(open_with(P, 0, &w), VX_ERR_BUSY);
    ASSERT_EQ(vx_daded_close(r1), VX_OK);
    ASSERT_EQ(vx_daded_close(r2), VX_OK);
    ASSERT_EQ(open_with(P, 0, &w), VX_OK);
    ASSERT_EQ(vx_daded_close(w), VX_OK);
}

// A writer whose directory did not exist at its opening locks it when its
// first save creates it.
TEST(DirectoryLock, DirectoryMadeAtTheFirstSaveIsLocked) {
    TempDir dir;
    std::string P = dir.file("later");
    vx_str p = view(P);
    vx_daded *db = nullptr;
    ASSERT_EQ(vx_daded_open(&p, 0, &db), VX_OK);
    insert_n(db, "a", 2);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    EXPECT_EQ(open_in_child(P, 0), VX_ERR_BUSY);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(open_in_child(P, 0), VX_OK);
}

/* ---- missing collection files ---------------------------------------------- */

TEST(MissingCollectionFile, FailsTheOpenUnlessSkippedAndStaysListed) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_writer(P);
    insert_n(db, "a", 2);
    insert_n(db, "b", 3);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    std::vector<uint8_t> b_file = slurp(P + "/b.vxcol");
    ASSERT_EQ(unlink((P + "/b.vxcol").c_str()), 0);
    auto before = snapshot(P);

    for (int32_t read_only = 0; read_only <= 1; read_only++) {
        db = nullptr;
        EXPECT_EQ(open_with(P, read_only, &db), VX_ERR_FILE_NOT_FOUND);
        EXPECT_EQ(db, nullptr);
        EXPECT_NE(last_detail().find(P + "/b.vxcol"), std::string::npos) << last_detail();
        EXPECT_EQ(snapshot(P), before);
    }

    // Skipped on request: the others load, and the list keeps the name.
    ASSERT_EQ(open_with(P, 0, &db, 0, 1), VX_OK);
    EXPECT_EQ(vx_daded_list_collections(db, nullptr, 0), 1u);
    EXPECT_EQ(count_of(get(db, "a")), 2u);
    insert_n(db, "c", 1);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta"), "a\nc\nb\n");

    // The file comes back: so does the collection.
    spit(P + "/b.vxcol", b_file);
    db = open_writer(P);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(count_of(get(db, "b")), 3u);
    ASSERT_EQ(vx_daded_close(db), VX_OK);

    // Dropping the missing collection takes its name off the list.
    ASSERT_EQ(unlink((P + "/b.vxcol").c_str()), 0);
    ASSERT_EQ(open_with(P, 0, &db, 0, 1), VX_OK);
    vx_str b = view("b");
    EXPECT_EQ(vx_daded_drop_collection(db, &b), VX_OK);
    EXPECT_EQ(vx_daded_drop_collection(db, &b), VX_ERR_NOT_FOUND);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta"), "a\nc\n");
    db = open_writer(P);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

/* ---- non-finite vectors ---------------------------------------------------- */

TEST(NonFiniteVectors, RefusedAtEveryEntryChangingNothing) {
    vx_collection_config cfg = collection_config("c", 4, VX_INDEX_FLAT);
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    ASSERT_NE(c, nullptr);
    std::vector<float> good = random_vectors(3, 4, 7);
    uint64_t id = 0;
    ASSERT_EQ(vx_collection_insert(c, good.data(), &id), VX_OK);
    for (float bad_value : {NaN, -NaN, Inf, -Inf}) {
        std::vector<float> bad = good;
        bad[4 * 2 + 3] = bad_value;  // the last component of the third vector
        EXPECT_EQ(vx_collection_insert(c, &bad[8], nullptr), VX_ERR_INVALID_ARG);
        vx_meta_entry e;
        memset(&e, 0, sizeof(e));
        EXPECT_EQ(vx_collection_insert_with_meta(c, &bad[8], &e, 0, nullptr), VX_ERR_INVALID_ARG);
        vx_record rec = {0, &bad[8], nullptr, 0};
        EXPECT_EQ(vx_collection_insert_record(c, &rec), VX_ERR_INVALID_ARG);
        EXPECT_EQ(vx_collection_insert_batch(c, bad.data(), 3, nullptr), VX_ERR_INVALID_ARG);
        EXPECT_EQ(vx_collection_upsert(c, id, &bad[8]), VX_ERR_INVALID_ARG);
        EXPECT_EQ(vx_collection_upsert(c, 99, &bad[8]), VX_ERR_INVALID_ARG);
        vx_search_hit hits[3];
        vx_error_clear();
        EXPECT_EQ(vx_collection_search(c, &bad[8], nullptr, hits), 0u);
        EXPECT_EQ(vx_error_get_last_status(), VX_ERR_INVALID_ARG);
        EXPECT_EQ(vx_collection_search_filtered(c, &bad[8], nullptr, 3, hits), 0u);
    }
    EXPECT_EQ(count_of(c), 1u);
    std::vector<float> stored(4);
    ASSERT_EQ(vx_collection_get(c, id, stored.data()), VX_OK);
    EXPECT_EQ(memcmp(stored.data(), good.data(), 16), 0);
    vx_collection_destroy(c);

    // Through the database: nothing is created for a refused vector.
    vx_daded *db = nullptr;
    ASSERT_EQ(vx_daded_open_ex(nullptr, &db), VX_OK);
    vx_str name = view("n");
    std::vector<float> bad = good;
    bad[1] = Inf;
    EXPECT_EQ(vx_daded_insert(db, &name, bad.data(), 4, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_daded_insert_batch(db, &name, good.data(), 4, 3, nullptr), VX_OK);
    bad = good;
    bad[11] = NaN;
    EXPECT_EQ(vx_daded_insert_batch(db, &name, bad.data(), 4, 3, nullptr), VX_ERR_INVALID_ARG);
    EXPECT_EQ(count_of(get(db, "n")), 3u);
    vx_search_result res[3];
    vx_error_clear();
    EXPECT_EQ(vx_daded_search(db, &name, &bad[8], 4, 3, res), 0u);
    EXPECT_EQ(vx_error_get_last_status(), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_daded_search(db, &name, good.data(), 4, 3, res), 3u);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

// A record whose vector holds a NaN (stored before they were refused) gives
// NaN distances: they rank after every number, so true neighbours stay in.
TEST(NonFiniteVectors, NaNDistancesRankLast) {
    for (int32_t index_type : {(int32_t)VX_INDEX_FLAT, (int32_t)VX_INDEX_HNSW}) {
        vx_collection_config cfg = collection_config("c", 2, index_type);
        vx_collection *c = vx_collection_create(nullptr, &cfg);
        ASSERT_NE(c, nullptr);
        const float points[4][2] = {{5, 5}, {1, 0}, {0, 2}, {9, 9}};
        uint64_t ids[4];
        for (int i = 0; i < 4; i++) ASSERT_EQ(vx_collection_insert(c, points[i], &ids[i]), VX_OK);
        if (index_type == VX_INDEX_HNSW) {
            ASSERT_EQ(vx_collection_build_index(c), VX_OK);
        }
        c->records[0].vector[0] = NaN;  // as a file written before would hold it
        const float q[2] = {0, 0};
        vx_search_hit hits[4];
        ASSERT_EQ(vx_collection_search_filtered(c, q, nullptr, 2, hits), 2u);
        EXPECT_EQ(hits[0].id, ids[1]);
        EXPECT_EQ(hits[1].id, ids[2]);
        ASSERT_EQ(vx_collection_search_filtered(c, q, nullptr, 4, hits), 4u);
        EXPECT_EQ(hits[2].id, ids[3]);
        EXPECT_EQ(hits[3].id, ids[0]);
        EXPECT_TRUE(hits[3].distance != hits[3].distance);
        vx_collection_destroy(c);
    }
}

/* ---- read-only databases --------------------------------------------------- */

TEST(ReadOnlyDatabase, RefusesEveryWriteAndLeavesTheFiles) {
    TempDir dir;
    std::string P = dir.file("ro");
    vx_daded *db = open_writer(P);
    insert_n(db, "kept", 3);
    ASSERT_EQ(vx_collection_build_index(get(db, "kept")), VX_OK);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    auto before = snapshot(P);

    ASSERT_EQ(open_with(P, 1, &db), VX_OK);
    vx_collection *c = get(db, "kept");
    ASSERT_NE(c, nullptr);
    std::vector<float> v = random_vectors(2, 4, 9);
    vx_str kept = view("kept"), fresh = view("fresh");
    vx_collection_config cfg = collection_config("fresh", 4, VX_INDEX_FLAT);
    vx_meta_entry e;
    memset(&e, 0, sizeof(e));
    e.key = view("k");
    e.type = VX_META_INT32;
    vx_index_params params;
    memset(&params, 0, sizeof(params));
    params.type = VX_INDEX_FLAT;
    uint64_t one = 1;

    EXPECT_EQ(vx_daded_insert(db, &kept, v.data(), 4, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_insert(db, &fresh, v.data(), 4, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_insert_batch(db, &kept, v.data(), 4, 2, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_create_collection(db, &fresh, 4, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_create_collection_ex(db, &cfg, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_drop_collection(db, &kept), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_insert(c, v.data(), nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_insert_batch(c, v.data(), 2, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_upsert(c, 1, v.data()), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_delete(c, 1), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_delete_batch(c, &one, 1), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_delete_by_filter(c, nullptr), -1);
    EXPECT_EQ(vx_collection_clear(c), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_set_meta(c, 1, &e, 1), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_build_index(c), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_rebuild_index(c), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_drop_index(c), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_collection_set_index_params(c, &params), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_sync(db), VX_ERR_READ_ONLY);

    // Reading still works, and nothing changed.
    EXPECT_EQ(count_of(c), 3u);
    EXPECT_EQ(vx_daded_list_collections(db, nullptr, 0), 1u);
    vx_search_hit hits[3];
    EXPECT_EQ(vx_collection_search_filtered(c, v.data(), nullptr, 3, hits), 3u);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(snapshot(P), before);
}

/* ---- path views ------------------------------------------------------------ */

TEST(PathView, ZeroLengthWithTextIsReadToItsZeroByte) {
    TempDir dir;
    std::string P = dir.file("zero");
    vx_str p = {const_cast<char *>(P.c_str()), 0};
    vx_daded *db = nullptr;
    ASSERT_EQ(vx_daded_open(&p, VX_OPEN_CREATE, &db), VX_OK);
    EXPECT_TRUE(exists(P));
    insert_n(db, "a", 4);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_TRUE(exists(P + "/a.vxcol"));
    vx_db_config cfg = dir_config(P);
    cfg.path.len = 0;
    ASSERT_EQ(vx_daded_open_ex(&cfg, &db), VX_OK);
    EXPECT_EQ(count_of(get(db, "a")), 4u);
    ASSERT_EQ(vx_daded_close(db), VX_OK);

    // A length below the text's keeps its meaning: the first len bytes.
    std::string longer = P + "/ignored";
    vx_str cut = {const_cast<char *>(longer.c_str()), P.size()};
    ASSERT_EQ(vx_daded_open(&cut, 0, &db), VX_OK);
    EXPECT_EQ(count_of(get(db, "a")), 4u);
    ASSERT_EQ(vx_daded_close(db), VX_OK);

    // An empty text is still an in-memory database.
    vx_str empty = {const_cast<char *>(""), 0};
    ASSERT_EQ(vx_daded_open(&empty, VX_OPEN_CREATE, &db), VX_OK);
    insert_n(db, "m", 1);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_FALSE(exists("/m.vxcol"));
}

/* ---- filter limits --------------------------------------------------------- */

TEST(FilterLimits, DeepAndCyclicTreesAreRefused) {
    vx_collection_config cfg = collection_config("c", 2, VX_INDEX_FLAT);
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    const float v[2] = {1, 2};
    ASSERT_EQ(vx_collection_insert(c, v, nullptr), VX_OK);

    // A chain of NOT nodes ending in an empty OR, which matches nothing: an
    // odd number of NOT nodes matches everything.
    std::vector<vx_filter> chain(100000);
    std::vector<vx_filter *> links(chain.size());
    for (size_t i = 0; i < chain.size(); i++) {
        memset(&chain[i], 0, sizeof(vx_filter));
        chain[i].kind = VX_FILTER_NOT;
        links[i] = i + 1 < chain.size() ? &chain[i + 1] : nullptr;
        chain[i].children = i + 1 < chain.size() ? &links[i] : nullptr;
        chain[i].child_count = i + 1 < chain.size() ? 1 : 0;
    }
    chain.back().kind = VX_FILTER_OR;
    auto count_with = [&](const vx_filter *f) -> int64_t {
        vx_search_hit hits[1];
        vx_error_clear();
        uint64_t n = vx_collection_search_filtered(c, v, f, 1, hits);
        return vx_error_get_last_status() == VX_ERR_INVALID_ARG ? -1 : (int64_t)n;
    };
    const size_t limit = VX_FILTER_MAX_DEPTH;
    EXPECT_EQ(count_with(&chain[chain.size() - limit]), 1);     // exactly the limit: 63 NOT nodes
    EXPECT_EQ(count_with(&chain[chain.size() - limit - 1]), -1); // one level more
    EXPECT_EQ(count_with(&chain[0]), -1);

    // A tree that leads back to its root.
    vx_filter loop;
    memset(&loop, 0, sizeof(loop));
    vx_filter *self = &loop;
    loop.kind = VX_FILTER_OR;
    loop.children = &self;
    loop.child_count = 1;
    EXPECT_EQ(count_with(&loop), -1);
    vx_error_clear();
    EXPECT_EQ(vx_collection_delete_by_filter(c, &loop), -1);
    EXPECT_EQ(vx_error_get_last_status(), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_collection_create_iterator(c, &loop), nullptr);
    EXPECT_EQ(vx_collection_foreach(c, &loop, [](uint64_t, const float *, uint32_t, void *) -> int32_t { return 1; },
                                    nullptr),
              0u);
    EXPECT_EQ(count_of(c), 1u);

    // A shallow tree that reaches one node along very many paths.
    std::vector<vx_filter> level(40);
    std::vector<vx_filter *> pairs(2 * level.size());
    for (size_t i = 0; i < level.size(); i++) {
        memset(&level[i], 0, sizeof(vx_filter));
        level[i].kind = VX_FILTER_AND;
        if (i + 1 < level.size()) {
            pairs[2 * i] = pairs[2 * i + 1] = &level[i + 1];
            level[i].children = &pairs[2 * i];
            level[i].child_count = 2;
        }
    }
    EXPECT_EQ(count_with(&level[0]), -1);
    EXPECT_EQ(count_with(&level[level.size() - 10]), 1);
    vx_collection_destroy(c);
}

/* ---- failed saves ------------------------------------------------------------ */

TEST(FailedSave, ReportsTheSystemsReasonAndTheFile) {
    EXPECT_EQ(file_os_failure("/x/y", EACCES), VX_ERR_PERMISSION_DENIED);
    EXPECT_EQ(last_detail(), std::string("/x/y: ") + strerror(EACCES));
    EXPECT_EQ(file_os_failure("/x/y", EROFS), VX_ERR_PERMISSION_DENIED);
    EXPECT_EQ(file_os_failure("/x/y", ENOSPC), VX_ERR_IO);
    EXPECT_EQ(vx_error_get_last_status(), VX_ERR_IO);

    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_writer(P);
    insert_n(db, "a", 2);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    // Where the collection file belongs there is a non-empty directory.
    unlink((P + "/a.vxcol").c_str());
    ASSERT_EQ(mkdir((P + "/a.vxcol").c_str(), 0755), 0);
    spit(P + "/a.vxcol/x", {1});
    vx_status st = vx_daded_sync(db);
    EXPECT_TRUE(st == VX_ERR_IO || st == VX_ERR_PERMISSION_DENIED) << st;
    EXPECT_EQ(vx_daded_get_last_error(db), st);
    std::string why = vx_daded_get_error_message(db);
    EXPECT_NE(why.find(P + "/a.vxcol"), std::string::npos) << why;
    EXPECT_NE(last_detail().find(P + "/a.vxcol"), std::string::npos) << last_detail();

    if (geteuid() != 0) {  // root writes wherever it likes
        unlink((P + "/a.vxcol/x").c_str());
        rmdir((P + "/a.vxcol").c_str());
        chmod(P.c_str(), 0555);
        EXPECT_EQ(vx_daded_sync(db), VX_ERR_PERMISSION_DENIED);
        chmod(P.c_str(), 0755);
    }
    vx_daded_close(db);
}

/* ---- writers under steady search -------------------------------------------- */

// Three threads search without pause; insertions must still get in. The
// searchers stop at the test's own deadline, so a starving lock fails the
// test instead of hanging it.
TEST(WriterPreference, InsertsGetInWhileSearchesRun) {
    vx_collection_config cfg = collection_config("c", 32, VX_INDEX_FLAT);
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    std::vector<float> base = random_vectors(5000, 32, 3);
    ASSERT_EQ(vx_collection_insert_batch(c, base.data(), 5000, nullptr), VX_OK);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> searches{0};
    std::vector<std::thread> searchers;
    for (int t = 0; t < 3; t++) {
        searchers.emplace_back([&, t] {
            vx_search_hit hits[10];
            for (uint64_t i = 0; !stop; i++) {
                vx_collection_search_filtered(c, &base[((i + (uint64_t)t) % 5000) * 32], nullptr, 10, hits);
                searches++;
            }
        });
    }
    while (searches < 6) std::this_thread::yield();
    const int inserts = 20;
    std::atomic<int> done{0};
    std::thread writer([&] {
        std::vector<float> v = random_vectors(inserts, 32, 4);
        for (int i = 0; i < inserts; i++)
            if (vx_collection_insert(c, &v[(uint64_t)i * 32], nullptr) == VX_OK) done++;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done < inserts && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int in_time = done.load();
    stop = true;
    writer.join();
    for (std::thread &t : searchers) t.join();
    EXPECT_EQ(in_time, inserts);
    EXPECT_EQ(count_of(c), 5000u + inserts);
    vx_collection_destroy(c);
}
