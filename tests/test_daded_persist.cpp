// Database directories: list file, collection files, storage file, reopening,
// dropped collections, damaged files, failed writes and crash safety.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <random>
#include <thread>

#include "persist_test_util.h"
#include "vx_collection_internal.h"
#include "vx_daded_internal.h"

using namespace ptest;

namespace {

vx_daded *open_db(const std::string &path, int32_t create = 1, int32_t storage_mode = 1) {
    vx_db_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.path = view(path);
    cfg.storage_mode = storage_mode;
    cfg.create_if_missing = create;
    vx_daded *db = nullptr;
    EXPECT_EQ(vx_daded_open_ex(&cfg, &db), VX_OK);
    return db;
}

vx_status open_status(const std::string &path, int32_t create) {
    vx_db_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.path = view(path);
    cfg.storage_mode = 1;
    cfg.create_if_missing = create;
    vx_daded *db = nullptr;
    vx_status st = vx_daded_open_ex(&cfg, &db);
    EXPECT_EQ(st == VX_OK, db != nullptr);
    if (db) vx_daded_close(db);
    return st;
}

// A deterministic vector for the i-th insertion into a collection.
std::vector<float> vector_for(uint64_t i, uint32_t dim) { return random_vectors(1, dim, 1000 + i); }

void insert_n(vx_daded *db, const char *name, uint64_t first, uint64_t n, uint32_t dim = 4) {
    vx_str s = view(name);
    for (uint64_t i = first; i < first + n; i++) {
        std::vector<float> v = vector_for(i, dim);
        ASSERT_EQ(vx_daded_insert(db, &s, v.data(), dim, nullptr), VX_OK);
    }
}

std::vector<std::string> names_of(vx_daded *db) {
    std::vector<vx_str> out(vx_daded_list_collections(db, nullptr, 0) + 1);
    uint64_t n = vx_daded_list_collections(db, out.data(), out.size());
    std::vector<std::string> names;
    for (uint64_t i = 0; i < n; i++) names.push_back(std::string(out[i].data, out[i].len));
    return names;
}

vx_collection *get(vx_daded *db, const char *name) {
    vx_str s = view(name);
    return vx_daded_get_collection(db, &s);
}

// Every record i holds id i + 1 and the i-th deterministic vector.
void expect_sequence(vx_collection *c, uint64_t n, uint32_t dim = 4) {
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->count, n);
    for (uint64_t i = 0; i < n; i++) {
        ASSERT_EQ(c->records[i].id, i + 1);
        std::vector<float> v = vector_for(i, dim);
        ASSERT_EQ(memcmp(c->records[i].vector, v.data(), 4 * dim), 0) << i;
    }
}

std::string text_of(const std::string &path) {
    std::vector<uint8_t> b = slurp(path);
    return std::string(b.begin(), b.end());
}

std::map<std::string, std::vector<uint8_t>> snapshot(const TempDir &dir, const std::string &sub) {
    std::map<std::string, std::vector<uint8_t>> files;
    std::string cmd = "ls -A '" + dir.file(sub) + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[512];
    while (p && fgets(line, sizeof(line), p)) {
        std::string name(line);
        name.erase(name.find_last_not_of("\n") + 1);
        files[name] = slurp(dir.file(sub + "/" + name));
    }
    if (p) pclose(p);
    return files;
}

}  // namespace

TEST(DatabaseDirectory, SyncWritesListAndFilesAndReopens) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    ASSERT_NE(db, nullptr);
    EXPECT_NE(db->storage, nullptr);
    insert_n(db, "a", 0, 10);
    insert_n(db, "b", 0, 3);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta"), "a\nb\n");
    std::vector<std::string> entries;
    for (auto &f : snapshot(dir, "db")) entries.push_back(f.first);
    EXPECT_EQ(entries, (std::vector<std::string>{".vxlock", ".vxmeta", "a.vxcol", "b.vxcol", "storage"}));
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    std::vector<uint8_t> storage = slurp(P + "/storage");
    ASSERT_EQ(storage.size(), 192u);
    EXPECT_EQ(memcmp(storage.data(), "DVXV", 4), 0);

    db = open_db(P, 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(names_of(db), (std::vector<std::string>{"a", "b"}));
    vx_db_stats stats;
    ASSERT_EQ(vx_daded_get_stats(db, &stats), VX_OK);
    EXPECT_EQ(stats.collection_count, 2u);
    expect_sequence(get(db, "a"), 10);
    expect_sequence(get(db, "b"), 3);
    // Ids continue where they stopped.
    uint64_t id = 0;
    vx_str a = view("a");
    std::vector<float> v = vector_for(10, 4);
    ASSERT_EQ(vx_daded_insert(db, &a, v.data(), 4, &id), VX_OK);
    EXPECT_EQ(id, 11u);
    vx_search_result hits[3];
    ASSERT_EQ(vx_daded_search(db, &a, v.data(), 4, 3, hits), 3u);
    EXPECT_EQ(hits[0].id, 11u);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(vx_daded_sync(nullptr), VX_ERR_INVALID_ARG);
}

TEST(DatabaseDirectory, ListFileLinesAreParsedSafely) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    insert_n(db, "a", 0, 2);
    insert_n(db, "b", 0, 3);
    insert_n(db, "c", 0, 4);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    struct Case {
        std::string list;
        std::vector<std::string> loaded;
    } cases[] = {
        {std::string("a\nb"), {"a"}},                           // text after the last line feed is ignored
        {std::string("\n\0a\n\n\0c\n", 9), {"a", "c"}},         // empty lines and zero bytes
        {std::string("a\na\nb\n"), {"a", "b"}},                  // a name listed twice loads once
        {std::string("../db/a\n/etc/passwd\n.\nb\n"), {"b"}},    // names that leave the directory
        {std::string(""), {}},
    };
    for (const Case &k : cases) {
        spit(P + "/.vxmeta", std::vector<uint8_t>(k.list.begin(), k.list.end()));
        vx_daded *d = open_db(P, 0);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(names_of(d), k.loaded) << k.list;
        // Close without saving anything new: restore the full list first.
        vx_daded_close(d);
        spit(P + "/.vxmeta", {'a', '\n', 'b', '\n', 'c', '\n'});
        // Files of collections that were not loaded stay where they are.
        EXPECT_TRUE(exists(P + "/c.vxcol"));
    }
    // A listed name without a file fails the opening.
    spit(P + "/.vxmeta", {'a', '\n', 'm', '\n'});
    EXPECT_EQ(open_status(P, 0), VX_ERR_FILE_NOT_FOUND);
}

TEST(DatabaseDirectory, ListHasNoSizeLimit) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    std::vector<std::string> names;
    for (int i = 0; i < 80; i++) {
        char name[64];
        snprintf(name, sizeof(name), "%02d%s", i, std::string(58, 'x').c_str());
        names.push_back(name);
        insert_n(db, name, 0, 1);
    }
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta").size(), 80u * 61);
    db = open_db(P);
    EXPECT_EQ(names_of(db), names);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

TEST(DatabaseDirectory, DroppedCollectionsStayDropped) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    insert_n(db, "a", 0, 2);
    insert_n(db, "b", 0, 2);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    db = open_db(P);
    vx_str a = view("a");
    ASSERT_EQ(vx_daded_drop_collection(db, &a), VX_OK);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta"), "b\n");
    EXPECT_FALSE(exists(P + "/a.vxcol"));
    // Re-created under the same name, it is saved again.
    insert_n(db, "a", 0, 5);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    db = open_db(P);
    EXPECT_EQ(names_of(db), (std::vector<std::string>{"b", "a"}));
    expect_sequence(get(db, "a"), 5);
    // Dropping everything leaves an empty list and no collection files.
    vx_str b = view("b");
    ASSERT_EQ(vx_daded_drop_collection(db, &a), VX_OK);
    ASSERT_EQ(vx_daded_drop_collection(db, &b), VX_OK);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta"), "");
    EXPECT_FALSE(exists(P + "/a.vxcol"));
    EXPECT_FALSE(exists(P + "/b.vxcol"));
    db = open_db(P);
    EXPECT_TRUE(names_of(db).empty());
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

TEST(DatabaseDirectory, OpeningModes) {
    TempDir dir;
    // storage_mode 0 with a path: nothing is read or created at open, the
    // collections and the list are written at close.
    std::string P = dir.file("mem");
    vx_daded *db = open_db(P, 1, 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->storage, nullptr);
    EXPECT_FALSE(exists(P));
    insert_n(db, "x", 0, 2);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(text_of(P + "/.vxmeta"), "x\n");
    EXPECT_TRUE(exists(P + "/x.vxcol"));
    EXPECT_FALSE(exists(P + "/storage"));

    // Flags 0 on a directory that does not exist: open, empty, no storage.
    std::string Q = dir.file("absent");
    vx_str q = view(Q);
    ASSERT_EQ(vx_daded_open(&q, 0, &db), VX_OK);
    EXPECT_EQ(db->storage, nullptr);
    EXPECT_TRUE(names_of(db).empty());
    EXPECT_FALSE(exists(Q));
    ASSERT_EQ(vx_daded_close(db), VX_OK);

    // An empty path is an in-memory database: no "/storage" or anything else.
    vx_db_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.path.data = (char *)"";
    cfg.storage_mode = 1;
    cfg.create_if_missing = 1;
    ASSERT_EQ(vx_daded_open_ex(&cfg, &db), VX_OK);
    EXPECT_EQ(db->storage, nullptr);
    ASSERT_EQ(vx_daded_close(db), VX_OK);

    // create_if_missing never removes what is at the path.
    std::string F = dir.file("file");
    spit(F, {'k', 'e', 'e', 'p'});
    EXPECT_EQ(open_status(F, 1), VX_ERR_IO);
    EXPECT_EQ(text_of(F), "keep");
}

TEST(DatabaseDirectory, DamagedCollectionFileFailsTheOpenChangingNothing) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    insert_n(db, "a", 0, 2);
    insert_n(db, "b", 0, 2);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    std::vector<uint8_t> b = slurp(P + "/b.vxcol");
    b[192 + 90] ^= 1;  // the dimension, under the checksum
    spit(P + "/b.vxcol", b);
    auto before = snapshot(dir, "db");
    EXPECT_EQ(open_status(P, 1), VX_ERR_FILE_CORRUPTED);
    EXPECT_EQ(open_status(P, 0), VX_ERR_FILE_CORRUPTED);
    EXPECT_EQ(snapshot(dir, "db"), before);
    // A file whose header names a collection already loaded is refused too.
    b = slurp(P + "/a.vxcol");
    spit(P + "/b.vxcol", b);
    EXPECT_EQ(open_status(P, 1), VX_ERR_FILE_CORRUPTED);
}

TEST(DatabaseDirectory, FailedWritesAreReported) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    insert_n(db, "a", 0, 2);
    insert_n(db, "b", 0, 2);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    // A directory where a collection file belongs cannot be replaced.
    unlink((P + "/b.vxcol").c_str());
    ASSERT_EQ(mkdir((P + "/b.vxcol").c_str(), 0755), 0);
    EXPECT_LT(vx_daded_sync(db), 0);
    EXPECT_TRUE(exists(P + "/a.vxcol"));
    rmdir((P + "/b.vxcol").c_str());
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    // Nor where the list belongs; close reports it and still releases all.
    unlink((P + "/.vxmeta").c_str());
    ASSERT_EQ(mkdir((P + "/.vxmeta").c_str(), 0755), 0);
    EXPECT_LT(vx_daded_sync(db), 0);
    EXPECT_LT(vx_daded_close(db), 0);
    for (auto &f : snapshot(dir, "db")) EXPECT_EQ(f.first.find(".tmp"), std::string::npos) << f.first;
}

TEST(DatabaseDirectory, ActiveIndexIsBackAfterReopening) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    insert_n(db, "g", 0, 200, 8);
    ASSERT_EQ(vx_collection_build_index(get(db, "g")), VX_OK);
    insert_n(db, "h", 0, 50, 8);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    db = open_db(P);
    vx_collection *g = get(db, "g");
    ASSERT_NE(g, nullptr);
    EXPECT_TRUE(collection_index_active(g));
    EXPECT_EQ(vx_index_get_ntotal(g->index), 200u);
    EXPECT_FALSE(collection_index_active(get(db, "h")));
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

TEST(DatabaseDirectory, SyncWhileInserting) {
    TempDir dir;
    std::string P = dir.file("db");
    vx_daded *db = open_db(P);
    insert_n(db, "a", 0, 10);
    std::thread writer([db] {
        vx_str a = view("a");
        std::vector<float> v = vector_for(0, 4);
        for (int i = 0; i < 2000; i++) vx_daded_insert(db, &a, v.data(), 4, nullptr);
    });
    for (int i = 0; i < 5; i++) EXPECT_EQ(vx_daded_sync(db), VX_OK);
    writer.join();
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    db = open_db(P);
    EXPECT_EQ(get(db, "a")->count, 2010u);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

// A child syncs a growing database in a loop and reports every completed
// sync; it is killed at random moments. Each reopening must succeed and hold
// what the last completed sync wrote, or what the one in flight was writing.
TEST(DatabaseDirectory, SurvivesKillsDuringSync) {
    TempDir dir;
    std::string P = dir.file("db");
    std::mt19937 rng(7);
    uint64_t known = 0;  // records present after the last reopen
    for (int round = 0; round < 25; round++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            vx_db_config cfg;
            memset(&cfg, 0, sizeof(cfg));
            cfg.path = view(P);
            cfg.storage_mode = 1;
            cfg.create_if_missing = 1;
            vx_daded *db = nullptr;
            if (vx_daded_open_ex(&cfg, &db) != VX_OK) _exit(2);
            vx_str a = view("a"), b = view("b");
            for (uint64_t i = known;; i++) {
                std::vector<float> v = vector_for(i, 4);
                if (vx_daded_insert(db, &a, v.data(), 4, nullptr) != VX_OK) _exit(3);
                if (vx_daded_insert(db, &b, v.data(), 4, nullptr) != VX_OK) _exit(3);
                if (vx_daded_sync(db) != VX_OK) _exit(4);
                uint64_t done = i + 1;
                if (write(fds[1], &done, sizeof(done)) != (ssize_t)sizeof(done)) _exit(5);
            }
        }
        close(fds[1]);
        usleep(20000 + rng() % 60000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child stopped by itself: " << WEXITSTATUS(status);
        uint64_t synced = known, value;
        while (read(fds[0], &value, sizeof(value)) == (ssize_t)sizeof(value)) synced = value;
        close(fds[0]);

        vx_daded *db = open_db(P, 0);
        ASSERT_NE(db, nullptr) << "round " << round;
        for (const char *name : {"a", "b"}) {
            vx_collection *c = get(db, name);
            if (synced == 0 && !c) continue;  // killed before the first sync
            ASSERT_NE(c, nullptr) << name << " round " << round;
            ASSERT_GE(c->count, synced) << name;
            ASSERT_LE(c->count, synced + 1) << name;
            expect_sequence(c, c->count);
        }
        vx_collection *a = get(db, "a");
        vx_collection *b = get(db, "b");
        // Both collections continue from the same point in the next round.
        known = a && b ? std::min(a->count, b->count) : 0;
        if (a && a->count > known) {
            vx_str an = view("a");
            vx_daded_drop_collection(db, &an);
            insert_n(db, "a", 0, known);
        }
        if (b && b->count > known) {
            vx_str bn = view("b");
            vx_daded_drop_collection(db, &bn);
            insert_n(db, "b", 0, known);
        }
        ASSERT_EQ(vx_daded_close(db), VX_OK);
    }
    EXPECT_GT(known, 0u);
    // Temporary files of interrupted saves were cleared away at reopening.
    std::vector<std::string> left;
    for (auto &f : snapshot(dir, "db")) left.push_back(f.first);
    EXPECT_EQ(left, (std::vector<std::string>{".vxlock", ".vxmeta", "a.vxcol", "b.vxcol", "storage"}));
}

TEST(DatabaseDirectory, ReadOnlyDatabaseIsNeverWrittenBack) {
    TempDir dir;
    std::string P = dir.file("ro");
    vx_daded *db = open_db(P);
    insert_n(db, "kept", 0, 3);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
    auto before = snapshot(dir, "ro");

    vx_str p = view(P);
    ASSERT_EQ(vx_daded_open(&p, VX_OPEN_READ_ONLY, &db), VX_OK);
    expect_sequence(get(db, "kept"), 3);
    // Writes are refused, not accepted and then dropped at close.
    std::vector<float> v = vector_for(3, 4);
    vx_str kept = view("kept"), fresh = view("new");
    EXPECT_EQ(vx_daded_insert(db, &kept, v.data(), 4, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_insert(db, &fresh, v.data(), 4, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_sync(db), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(snapshot(dir, "ro"), before);

    // Read-only wins over create_if_missing: not even the storage header is
    // written back.
    vx_db_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.path = p;
    cfg.storage_mode = 1;
    cfg.read_only = 1;
    cfg.create_if_missing = 1;
    ASSERT_EQ(vx_daded_open_ex(&cfg, &db), VX_OK);
    EXPECT_EQ(vx_daded_insert(db, &kept, v.data(), 4, nullptr), VX_ERR_READ_ONLY);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(snapshot(dir, "ro"), before);

    db = open_db(P, 0);
    expect_sequence(get(db, "kept"), 3);
    EXPECT_EQ(get(db, "new"), nullptr);
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}

TEST(DatabaseDirectory, SavedIndexFilesFollowTheirCollections) {
    TempDir dir;
    std::string P = dir.file("idx");
    vx_daded *db = open_db(P);
    insert_n(db, "graph", 0, 50, 8);
    ASSERT_EQ(vx_collection_build_index(get(db, "graph")), VX_OK);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    EXPECT_TRUE(exists(P + "/graph.vxcol.idx"));
    vx_str name = view("graph");
    ASSERT_EQ(vx_daded_drop_collection(db, &name), VX_OK);
    ASSERT_EQ(vx_daded_sync(db), VX_OK);
    EXPECT_FALSE(exists(P + "/graph.vxcol"));
    EXPECT_FALSE(exists(P + "/graph.vxcol.idx"));
    ASSERT_EQ(vx_daded_close(db), VX_OK);
}
