// Helpers shared by the file-format and database-directory tests.
#ifndef PERSIST_TEST_UTIL_H
#define PERSIST_TEST_UTIL_H

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "vexal.h"

namespace ptest {

// Names in the directory, sorted.
inline std::vector<std::string> entries_of(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vx_persist_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::string cmd = "chmod -R u+w '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
        (void)system(cmd.c_str());
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::vector<std::string> entries() const { return entries_of(path); }
};

inline std::vector<uint8_t> slurp(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    int c;
    while ((c = fgetc(f)) != EOF) bytes.push_back((uint8_t)c);
    fclose(f);
    return bytes;
}

// Writes a fresh file (unlinking first: rewriting a file in place can make
// the file system flush it on every close).
inline void spit(const std::string &path, const std::vector<uint8_t> &bytes) {
    unlink(path.c_str());
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

inline bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline vx_str view(const char *text) {
    vx_str s = {const_cast<char *>(text), strlen(text)};
    return s;
}

inline vx_str view(const std::string &text) {
    vx_str s = {const_cast<char *>(text.c_str()), text.size()};
    return s;
}

inline std::vector<float> random_vectors(uint64_t n, uint32_t dim, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (float &x : v) x = u(rng);
    return v;
}

inline vx_collection_config collection_config(const char *name, uint32_t dim, int32_t index_type,
                                              int32_t metric = 0) {
    vx_collection_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.name = view(name);
    cfg.dimension = dim;
    cfg.metric = (vx_metric)metric;
    cfg.index_type = (vx_index_type)index_type;
    cfg.auto_resize = 1;
    return cfg;
}

// While alive, writes that would make any file larger than bytes fail as
// on a full disk (EFBIG); the limit binds root as well, which permission
// bits do not.
struct DiskFull {
    struct rlimit old;
    explicit DiskFull(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit tight = old;
        tight.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &tight);
    }
    ~DiskFull() { setrlimit(RLIMIT_FSIZE, &old); }
};

}  // namespace ptest

#endif
