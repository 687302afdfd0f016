// File-system helpers, run inside a fresh temporary directory per test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "persist_test_util.h"
#include "vx_file_internal.h"

namespace {

// Views borrow the text: callers keep it alive (path() below does so).
vx_str view(const std::string &text) { return vx_str{(char *)text.c_str(), text.size()}; }
vx_str view(const char *text) { return vx_str{(char *)text, strlen(text)}; }
vx_str view(std::string &&) = delete;

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        umask(022);
        char tmpl[] = "/tmp/vx_file_test_XXXXXX";
        ASSERT_NE(vx_file_mkdtemp(tmpl), nullptr);
        root = tmpl;
        ASSERT_EQ(vx_arena_create(0, &arena), VX_OK);
    }
    void TearDown() override {
        vx_str r = view(root);
        EXPECT_EQ(vx_file_rmdir_recursive(&r), VX_OK);
        EXPECT_FALSE(vx_file_exists(&r));
        vx_arena_destroy(arena);
    }
    std::string at(const std::string &name) const { return root + "/" + name; }
    // A view of the path of name inside the test directory.
    vx_str path(const std::string &name) {
        keep.push_back(at(name));
        return view(keep.back());
    }
    void put(const std::string &name, const std::string &content) {
        vx_str p = path(name);
        ASSERT_EQ(vx_file_write_all(&p, content.data(), content.size()), VX_OK);
    }
    std::string get(const std::string &path) {
        vx_str p = view(path);
        uint64_t size = 0;
        char *data = vx_file_read_all(&p, &size);
        if (!data) return "<unreadable>";
        std::string out(data, size);
        free(data);
        return out;
    }
    std::vector<std::string> listing(const std::string &dir) {
        vx_str p = view(dir);
        char **names = vx_file_list_dir(&p, arena);
        std::vector<std::string> out;
        if (!names) return {"<null>"};
        for (char **n = names; *n; n++) {
            out.push_back(*n);
            free(*n);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string root;
    std::deque<std::string> keep;
    vx_arena *arena = nullptr;
};

TEST_F(FileTest, ModeTable) {
    std::string fpath = at("f");
    vx_str p = view(fpath), wb = view("wb"), w = view("w"), a_plus = view("a+"), a = view("a"), r = view("r"),
           r_plus = view("r+"), w_plus = view("w+"), rb_plus = view("rb+"), wx = view("wx"), x = view("x");

    // a+ and wx open for reading only, so a missing file stays missing.
    EXPECT_EQ(vx_file_open(&p, &a_plus), -1);
    EXPECT_EQ(vx_file_open(&p, &wx), -1);
    EXPECT_EQ(vx_file_open(&p, &x), -1);
    EXPECT_FALSE(vx_file_exists(&p));

    int fd = vx_file_open(&p, &wb);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vx_file_write(fd, "hello", 5), 5);
    EXPECT_EQ(vx_file_close(fd), 0);
    struct stat st;
    ASSERT_EQ(stat(fpath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_NE(fcntl(fd = vx_file_open(&p, &r), F_GETFD) & FD_CLOEXEC, 0);
    vx_file_close(fd);

    fd = vx_file_open(&p, &a);
    EXPECT_EQ(vx_file_write(fd, "!", 1), 1);
    vx_file_close(fd);
    EXPECT_EQ(get(fpath), "hello!");

    for (vx_str *ro : {&a_plus, &rb_plus, &wx, &x, &r}) {
        fd = vx_file_open(&p, ro);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(vx_file_write(fd, "z", 1), -1) << ro->data;
        char c;
        EXPECT_EQ(vx_file_read(fd, &c, 1), 1);
        vx_file_close(fd);
    }
    EXPECT_EQ(get(fpath), "hello!");

    fd = vx_file_open(&p, &r_plus);
    EXPECT_EQ(vx_file_seek(fd, 1, 0), 1);
    EXPECT_EQ(vx_file_write(fd, "E", 1), 1);
    EXPECT_EQ(vx_file_seek(fd, 0, 2), 6);
    EXPECT_EQ(vx_file_seek(fd, -2, 1), 4);
    EXPECT_EQ(vx_file_seek(fd, 0, 3), -1);
    EXPECT_EQ(vx_file_seek(fd, 0, -1), -1);
    vx_file_close(fd);
    EXPECT_EQ(get(fpath), "hEllo!");

    fd = vx_file_open(&p, &w_plus);  // truncates, reads back
    EXPECT_EQ(vx_file_write(fd, "xy", 2), 2);
    EXPECT_EQ(vx_file_seek(fd, 0, 0), 0);
    char back[4] = {0};
    EXPECT_EQ(vx_file_read(fd, back, 4), 2);
    EXPECT_STREQ(back, "xy");
    vx_file_close(fd);

    fd = vx_file_open(&p, &w);
    vx_file_close(fd);
    EXPECT_EQ(vx_file_size(&p), 0);
    EXPECT_EQ(vx_file_open(nullptr, &r), -1);
    EXPECT_EQ(vx_file_open(&p, nullptr), -1);
}

TEST_F(FileTest, WholeFileRoundTrips) {
    std::string empty_path = at("empty");
    vx_str e = view(empty_path);
    ASSERT_EQ(vx_file_write_all(&e, nullptr, 0), VX_OK);
    uint64_t size = 99;
    char *data = vx_file_read_all(&e, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data[0], '\0');
    free(data);

    std::string binary;
    vx_srand(3);
    for (int i = 0; i < 3 * 1024 * 1024 + 17; i++) binary.push_back((char)(vx_rand() >> 56));
    put("big", binary);
    vx_str b = path("big");
    data = vx_file_read_all(&b, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, binary.size());
    EXPECT_EQ(memcmp(data, binary.data(), size), 0);
    EXPECT_EQ(data[size], '\0');
    free(data);
    EXPECT_EQ(vx_file_size(&b), (int64_t)binary.size());

    put("big", "short");  // replaces, truncating the longer content
    EXPECT_EQ(get(at("big")), "short");
    data = vx_file_read_all(&b, nullptr);
    ASSERT_NE(data, nullptr);
    free(data);

    vx_str missing = path("missing"), dir = view(root), in_missing = path("no/such/file");
    EXPECT_EQ(vx_file_read_all(&missing, &size), nullptr);
    EXPECT_EQ(vx_file_read_all(&dir, &size), nullptr);
    EXPECT_EQ(vx_file_read_all(nullptr, &size), nullptr);
    EXPECT_EQ(vx_file_write_all(&in_missing, "x", 1), VX_ERR_IO);
    EXPECT_EQ(vx_file_write_all(&dir, "x", 1), VX_ERR_IO);
    EXPECT_EQ(vx_file_write_all(nullptr, "x", 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_file_write_all(&missing, nullptr, 1), VX_ERR_INVALID_ARG);
    EXPECT_FALSE(vx_file_exists(&missing));
}

TEST_F(FileTest, PathTests) {
    put("f", "abc");
    vx_str f = path("f"), d = view(root), missing = path("nope");
    EXPECT_TRUE(vx_file_exists(&f));
    EXPECT_TRUE(vx_file_is_regular(&f));
    EXPECT_FALSE(vx_file_is_directory(&f));
    EXPECT_TRUE(vx_file_is_directory(&d));
    EXPECT_FALSE(vx_file_is_regular(&d));
    EXPECT_FALSE(vx_file_exists(&missing));
    EXPECT_EQ(vx_file_size(&missing), -1);
    EXPECT_EQ(vx_file_mtime(&missing), -1);
    EXPECT_EQ(vx_file_size(&f), 3);
    int64_t now = vx_time_now();
    EXPECT_LE(vx_file_mtime(&f), now + 1);
    EXPECT_GE(vx_file_mtime(&f), now - 60);
    EXPECT_FALSE(vx_file_exists(nullptr));
    vx_str no_data{nullptr, 5};
    EXPECT_FALSE(vx_file_is_directory(&no_data));

    // The length is not consulted: the data is read up to its zero byte.
    std::string full = at("f");
    vx_str short_len{(char *)full.c_str(), 2};
    EXPECT_TRUE(vx_file_is_regular(&short_len));

    vx_str moved = path("g");
    EXPECT_EQ(vx_file_rename(&f, &moved), VX_OK);
    EXPECT_FALSE(vx_file_exists(&f));
    EXPECT_EQ(vx_file_rename(&f, &moved), VX_ERR_IO);
    EXPECT_EQ(vx_file_rename(nullptr, &moved), VX_ERR_INVALID_ARG);
    EXPECT_EQ(vx_file_unlink(&moved), VX_OK);
    EXPECT_EQ(vx_file_unlink(&moved), VX_ERR_IO);
}

TEST_F(FileTest, MakeDirectories) {
    vx_str x = path("x"), xyz = path("x/y/z");
    EXPECT_EQ(vx_file_mkdir(&x), VX_OK);
    EXPECT_EQ(vx_file_mkdir(&x), VX_ERR_IO);
    struct stat st;
    ASSERT_EQ(stat(at("x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(vx_file_mkdir_recursive(&xyz), VX_OK);
    EXPECT_TRUE(vx_file_is_directory(&xyz));
    EXPECT_EQ(vx_file_mkdir_recursive(&xyz), VX_OK);

    vx_str back = path("b\\c\\d"), slash_end = path("s/t/");
    EXPECT_EQ(vx_file_mkdir_recursive(&back), VX_OK);
    vx_str bcd = path("b/c/d");
    EXPECT_TRUE(vx_file_is_directory(&bcd));
    EXPECT_EQ(vx_file_mkdir_recursive(&slash_end), VX_OK);

    // A file in the way is an error, whether inside the fpath or at its end.
    put("file", "x");
    vx_str through = path("file/sub"), onto = path("file");
    EXPECT_EQ(vx_file_mkdir_recursive(&through), VX_ERR_IO);
    EXPECT_EQ(vx_file_mkdir_recursive(&onto), VX_ERR_IO);
    EXPECT_EQ(vx_file_mkdir_recursive(nullptr), VX_ERR_INVALID_ARG);

    // Paths longer than the system takes fail cleanly.
    std::string deep = root;
    while (deep.size() < PATH_MAX + 100) deep += "/abcdefghij";
    vx_str too_deep = view(deep);
    EXPECT_EQ(vx_file_mkdir_recursive(&too_deep), VX_ERR_IO);
    std::string long_name = at(std::string(NAME_MAX + 1, 'n'));
    vx_str too_long = view(long_name);
    EXPECT_EQ(vx_file_mkdir(&too_long), VX_ERR_IO);
    std::string max_name = at(std::string(NAME_MAX, 'm'));
    vx_str longest = view(max_name);
    EXPECT_EQ(vx_file_mkdir(&longest), VX_OK);

    // Concurrent creation of overlapping trees: every caller succeeds.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; i++) {
                std::string p = at("race/" + std::to_string(i) + "/deep/" + std::to_string(t));
                vx_str v = view(p);
                if (vx_file_mkdir_recursive(&v) != VX_OK) failures++;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(FileTest, RemoveTrees) {
    vx_str tree = path("tree/a/b");
    ASSERT_EQ(vx_file_mkdir_recursive(&tree), VX_OK);
    put("tree/top.txt", "1");
    put("tree/a/mid.txt", "2");
    put("tree/a/b/leaf.txt", "3");
    // Links inside the tree are removed, never followed.
    vx_str outside = path("outside");
    ASSERT_EQ(vx_file_mkdir(&outside), VX_OK);
    put("outside/keep.txt", "keep");
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/a/link").c_str()), 0);
    ASSERT_EQ(symlink(at("outside/keep.txt").c_str(), at("tree/file_link").c_str()), 0);

    vx_str t = path("tree");
    EXPECT_EQ(vx_file_rmdir(&t), VX_ERR_IO);  // not empty
    EXPECT_EQ(vx_file_rmdir_recursive(&t), VX_OK);
    EXPECT_FALSE(vx_file_exists(&t));
    EXPECT_EQ(get(at("outside/keep.txt")), "keep");

    // A link given as the tree itself is refused and its target untouched.
    ASSERT_EQ(symlink(at("outside").c_str(), at("top_link").c_str()), 0);
    vx_str top_link = path("top_link");
    EXPECT_EQ(vx_file_rmdir_recursive(&top_link), VX_ERR_IO);
    EXPECT_EQ(get(at("outside/keep.txt")), "keep");

    vx_str missing = path("missing"), file = path("outside/keep.txt");
    EXPECT_EQ(vx_file_rmdir_recursive(&missing), VX_ERR_IO);
    EXPECT_EQ(vx_file_rmdir_recursive(&file), VX_ERR_IO);
    EXPECT_EQ(vx_file_rmdir_recursive(nullptr), VX_ERR_INVALID_ARG);
    vx_str empty_dir = path("empty");
    ASSERT_EQ(vx_file_mkdir(&empty_dir), VX_OK);
    EXPECT_EQ(vx_file_rmdir(&empty_dir), VX_OK);
}

TEST_F(FileTest, ListDirectories) {
    vx_str sub = path("sub");
    ASSERT_EQ(vx_file_mkdir(&sub), VX_OK);
    EXPECT_EQ(listing(at("sub")), std::vector<std::string>{});
    char **names = vx_file_list_dir(&sub, arena);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    put("sub/b", "");
    put("sub/a", "");
    put("sub/.hidden", "");
    vx_str inner = path("sub/dir");
    ASSERT_EQ(vx_file_mkdir(&inner), VX_OK);
    EXPECT_EQ(listing(at("sub")), (std::vector<std::string>{".hidden", "a", "b", "dir"}));
    EXPECT_EQ(listing(at("missing")), std::vector<std::string>{"<null>"});
    EXPECT_EQ(vx_file_list_dir(&sub, nullptr), nullptr);
    EXPECT_EQ(vx_file_list_dir(nullptr, arena), nullptr);
}

TEST_F(FileTest, PathPieces) {
    auto base = [](const char *p) {
        vx_str v{(char *)p, strlen(p)};
        return std::string(vx_file_basename(&v));
    };
    EXPECT_EQ(base("a\\b/c"), "c");
    EXPECT_EQ(base("a/b\\c"), "b\\c");
    EXPECT_EQ(base("a\\b"), "b");
    EXPECT_EQ(base("plain"), "plain");
    EXPECT_EQ(base("dir/"), "");
    EXPECT_EQ(vx_file_basename(nullptr), nullptr);
    const char *text = "x/y";
    vx_str v{(char *)text, 3};
    EXPECT_EQ(vx_file_basename(&v), text + 2);  // a pointer into the text

    auto dir = [&](const char *p) {
        vx_str d{(char *)p, strlen(p)};
        const char *r = vx_file_dirname(arena, &d);
        return r ? std::string(r) : "<null>";
    };
    EXPECT_EQ(dir("/etc"), "");
    EXPECT_EQ(dir("name"), ".");
    EXPECT_EQ(dir("a/b/c"), "a/b");
    EXPECT_EQ(dir("a\\b\\c"), "a\\b");
    EXPECT_EQ(dir("a\\b/c"), "a\\b");
    EXPECT_EQ(vx_file_dirname(nullptr, &v), nullptr);
    EXPECT_EQ(vx_file_dirname(arena, nullptr), nullptr);

    EXPECT_STREQ(vx_file_join(arena, "a", "b", "c", (char *)nullptr), "a/b/c");
    EXPECT_STREQ(vx_file_join(arena, "a/", "b", (char *)nullptr), "a//b");
    EXPECT_STREQ(vx_file_join(arena, "only", (char *)nullptr), "only");
    EXPECT_STREQ(vx_file_join(arena, "", "", (char *)nullptr), "/");
    const char *none = vx_file_join(arena, (char *)nullptr);
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none, "");
    EXPECT_EQ(vx_file_join(nullptr, "a", (char *)nullptr), nullptr);
    std::string big(100000, 'p');
    EXPECT_EQ(strlen(vx_file_join(arena, big.c_str(), big.c_str(), (char *)nullptr)), 200001u);
}

TEST_F(FileTest, Copies) {
    put("empty", "");
    vx_str e = path("empty"), e2 = path("empty2");
    EXPECT_EQ(vx_file_copy(&e, &e2), VX_OK);
    EXPECT_TRUE(vx_file_is_regular(&e2));
    EXPECT_EQ(vx_file_size(&e2), 0);

    std::string content;
    for (int i = 0; i < 100000; i++) content.push_back((char)(i * 7));
    put("src", content);
    put("dst", std::string(300000, 'o'));  // longer target is truncated
    vx_str s = path("src"), d = path("dst");
    EXPECT_EQ(vx_file_copy(&s, &d), VX_OK);
    EXPECT_EQ(get(at("dst")), content);

    // A file copied onto itself keeps its content.
    std::string dotted = root + "/./src";
    vx_str same = view(dotted);
    EXPECT_EQ(vx_file_copy(&s, &same), VX_ERR_IO);
    EXPECT_EQ(get(at("src")), content);

    vx_str missing = path("missing"), nowhere = path("no/dir/x"), dir = view(root);
    EXPECT_EQ(vx_file_copy(&missing, &d), VX_ERR_IO);
    EXPECT_EQ(vx_file_copy(&s, &nowhere), VX_ERR_IO);
    // A source that cannot be read is a failure, not an empty copy.
    vx_str from_dir = path("from_dir");
    EXPECT_EQ(vx_file_copy(&dir, &from_dir), VX_ERR_IO);
    EXPECT_EQ(vx_file_copy(nullptr, &d), VX_ERR_INVALID_ARG);
}

TEST_F(FileTest, AbsoluteAndTemporaryNames) {
    put("f", "x");
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    vx_str rel = view("./f");
    char *abs = vx_file_abs_path(nullptr, &rel);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NE(abs, nullptr);
    char expect[PATH_MAX];
    ASSERT_NE(realpath(at("f").c_str(), expect), nullptr);
    EXPECT_STREQ(abs, expect);
    EXPECT_EQ(abs[0], '/');
    free(abs);
    vx_str missing = path("missing");
    EXPECT_EQ(vx_file_abs_path(nullptr, &missing), nullptr);
    std::string too_long(PATH_MAX + 10, 'a');
    vx_str long_path = view(too_long);
    EXPECT_EQ(vx_file_abs_path(nullptr, &long_path), nullptr);

    vx_str odd = view("a//b/../c\\d");
    char *same = vx_file_normalize_path(nullptr, &odd);
    ASSERT_NE(same, nullptr);
    EXPECT_STREQ(same, "a//b/../c\\d");
    free(same);
    EXPECT_EQ(vx_file_normalize_path(nullptr, nullptr), nullptr);

    std::string tmpl = at("tmpXXXXXX");
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_EQ(vx_file_mktemp(buf.data()), buf.data());
    EXPECT_EQ(std::string(buf.data()).find("XXXXXX"), std::string::npos);
    vx_str made = view(buf.data());
    EXPECT_TRUE(vx_file_is_regular(&made));
    char bad[] = "/tmp/no_placeholder";
    EXPECT_EQ(vx_file_mktemp(bad), nullptr);
    EXPECT_EQ(vx_file_mktemp(nullptr), nullptr);
    std::string dtmpl = at("dXXXXXX");
    std::vector<char> dbuf(dtmpl.begin(), dtmpl.end());
    dbuf.push_back('\0');
    ASSERT_EQ(vx_file_mkdtemp(dbuf.data()), dbuf.data());
    vx_str made_dir = view(dbuf.data());
    EXPECT_TRUE(vx_file_is_directory(&made_dir));
    EXPECT_EQ(vx_file_mkdtemp(nullptr), nullptr);
}

TEST_F(FileTest, AtomicReplacement) {
    std::string fpath = at("list");
    EXPECT_EQ(file_write_atomic(fpath.c_str(), "first", 5), VX_OK);
    EXPECT_EQ(get(fpath), "first");
    struct stat st;
    ASSERT_EQ(stat(fpath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(chmod(fpath.c_str(), 0600), 0);
    EXPECT_EQ(file_write_atomic(fpath.c_str(), "second, longer", 14), VX_OK);
    EXPECT_EQ(get(fpath), "second, longer");
    ASSERT_EQ(stat(fpath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the replaced file's permissions stay
    EXPECT_EQ(file_write_atomic(fpath.c_str(), nullptr, 0), VX_OK);
    EXPECT_EQ(get(fpath), "");

    // Failures replace nothing and leave no temporary behind.
    vx_str sub = path("sub");
    ASSERT_EQ(vx_file_mkdir(&sub), VX_OK);
    EXPECT_EQ(file_write_atomic(at("sub").c_str(), "x", 1), VX_ERR_IO);
    EXPECT_TRUE(vx_file_is_directory(&sub));
    EXPECT_EQ(file_write_atomic(at("none/x").c_str(), "x", 1), VX_ERR_IO);
    EXPECT_EQ(file_write_atomic(nullptr, "x", 1), VX_ERR_INVALID_ARG);
    EXPECT_EQ(file_write_atomic(fpath.c_str(), nullptr, 3), VX_ERR_INVALID_ARG);
    EXPECT_EQ(listing(root), (std::vector<std::string>{"list", "sub"}));
    EXPECT_EQ(file_sync_dir(root.c_str()), VX_OK);
    EXPECT_EQ(file_sync_dir(at("none").c_str()), VX_ERR_IO);

    // A name without a directory part lands in the working directory.
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    EXPECT_EQ(file_write_atomic("bare", "b", 1), VX_OK);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(get(at("bare")), "b");
}

// Pieces of every size, encoding in place and late patches of bytes that
// already reached the file, still wait in the buffer, or straddle the two.
TEST_F(FileTest, WriterStreamsAndPatchesExactBytes) {
    std::string target = at("out");
    put("out", "old");
    file_writer w;
    ASSERT_EQ(file_writer_open(&w, target.c_str()), VX_OK);
    std::vector<uint8_t> want;
    auto add = [&](const std::vector<uint8_t> &piece) {
        file_writer_put(&w, piece.data(), piece.size());
        want.insert(want.end(), piece.begin(), piece.end());
    };
    for (int i = 0; i < 1000; i++) add(std::vector<uint8_t>(1 + i % 13, (uint8_t)i));
    add(std::vector<uint8_t>(3 * FILE_WRITER_CHUNK + 5, 0xAB));  // larger than the buffer
    uint8_t *room = file_writer_room(&w, FILE_WRITER_CHUNK);  // forces a flush first
    ASSERT_NE(room, nullptr);
    for (uint64_t i = 0; i < FILE_WRITER_CHUNK; i++) want.push_back(room[i] = (uint8_t)(i * 7));
    add({1, 2, 3});
    EXPECT_EQ(file_writer_offset(&w), want.size());

    uint64_t buffered_from = want.size() - 3;
    auto patch = [&](uint64_t offset, uint64_t size) {
        std::vector<uint8_t> bytes(size);
        for (uint64_t i = 0; i < size; i++) bytes[i] = (uint8_t)(0xC0 + i);
        file_writer_put_at(&w, offset, bytes.data(), size);
        std::copy(bytes.begin(), bytes.end(), want.begin() + offset);
    };
    patch(0, 16);                      // in the file
    patch(buffered_from - 2, 4);       // across the boundary
    patch(want.size() - 1, 1);         // in the buffer
    EXPECT_EQ(w.status, VX_OK);
    EXPECT_EQ(get(target), "old");     // nothing is visible before the end
    ASSERT_EQ(file_writer_finish(&w), VX_OK);
    EXPECT_EQ(ptest::slurp(target), want);
    EXPECT_EQ(listing(root), std::vector<std::string>{"out"});
}

// A failed or abandoned replacement leaves the target as it was, removes its
// own temporary and never promotes a temporary some earlier crash left.
TEST_F(FileTest, WriterFailuresLeaveTheTarget) {
    std::string target = at("out");
    put("out", "old");
    put("out.tmp.AAAAAA", "stale");
    put("plain", "x");
    file_writer w;
    EXPECT_EQ(file_writer_open(&w, at("plain/out").c_str()), VX_ERR_IO);  // parent is a file
    EXPECT_EQ(file_writer_open(&w, at("none/out").c_str()), VX_ERR_IO);
    EXPECT_EQ(file_writer_open(&w, ""), VX_ERR_IO);
    EXPECT_EQ(file_writer_open(&w, nullptr), VX_ERR_INVALID_ARG);
    file_writer_abort(&w);  // harmless after a failed open

    std::vector<uint8_t> big(2 * FILE_WRITER_CHUNK, 0x5A);
    {
        ptest::DiskFull full(64 * 1024);
        ASSERT_EQ(file_writer_open(&w, target.c_str()), VX_OK);
        file_writer_put(&w, big.data(), big.size());
        EXPECT_EQ(w.status, VX_ERR_IO);
        file_writer_put(&w, "more", 4);  // ignored once failed
        EXPECT_EQ(file_writer_room(&w, 8), nullptr);
        EXPECT_EQ(file_writer_finish(&w), VX_ERR_IO);
    }
    {
        // The full disk shows only when the last buffer is flushed.
        ptest::DiskFull full(64 * 1024);
        ASSERT_EQ(file_writer_open(&w, target.c_str()), VX_OK);
        file_writer_put(&w, big.data(), 100 * 1024);
        EXPECT_EQ(w.status, VX_OK);
        EXPECT_EQ(file_writer_finish(&w), VX_ERR_IO);
    }
    ASSERT_EQ(file_writer_open(&w, target.c_str()), VX_OK);
    file_writer_put(&w, "new", 3);
    file_writer_put_at(&w, 2, "xy", 2);  // past the end: a caller's error
    EXPECT_EQ(file_writer_finish(&w), VX_ERR_INVALID_ARG);
    ASSERT_EQ(file_writer_open(&w, target.c_str()), VX_OK);
    file_writer_put(&w, "new", 3);
    file_writer_abort(&w);

    EXPECT_EQ(get(target), "old");
    EXPECT_EQ(get(at("out.tmp.AAAAAA")), "stale");
    EXPECT_EQ(listing(root), (std::vector<std::string>{"out", "out.tmp.AAAAAA", "plain"}));
}

TEST_F(FileTest, AtomicReplacementUnderConcurrentReaders) {
    // Readers see one whole version at a time, never a mixture or a gap.
    std::string fpath = at("shared");
    std::vector<std::string> versions;
    for (int v = 0; v < 4; v++) versions.push_back(std::string(1000 + v * 4096, (char)('a' + v)));
    ASSERT_EQ(file_write_atomic(fpath.c_str(), versions[0].data(), versions[0].size()), VX_OK);
    std::set<std::string> allowed(versions.begin(), versions.end());
    std::atomic<bool> stop{false};
    std::atomic<int> bad_reads{0}, writes_failed{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; w++)
        threads.emplace_back([&, w] {
            for (int i = 0; i < 40; i++) {
                const std::string &v = versions[(i + w) % versions.size()];
                if (file_write_atomic(fpath.c_str(), v.data(), v.size()) != VX_OK) writes_failed++;
            }
        });
    threads.emplace_back([&] {
        vx_str p = view(fpath);
        while (!stop.load()) {
            uint64_t size = 0;
            char *data = vx_file_read_all(&p, &size);
            if (!data || !allowed.count(std::string(data, size))) bad_reads++;
            free(data);
        }
    });
    threads[0].join();
    threads[1].join();
    stop = true;
    threads[2].join();
    EXPECT_EQ(writes_failed.load(), 0);
    EXPECT_EQ(bad_reads.load(), 0);
    EXPECT_EQ(listing(root), std::vector<std::string>{"shared"});
}

}  // namespace
