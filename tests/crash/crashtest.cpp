// Crash test: a child process inserts, upserts, deletes and syncs one
// database in a loop and is killed with SIGKILL at a random moment; the
// database then reopens and must hold exactly what it held at the child's
// last successful sync, or what the sync under way at the kill was writing
// (its rename may have landed before the kill). Anything else is a lost
// acknowledged write or a half-written state.
//
//   crashtest [--rounds N] [--seed S] [--dir PATH]
//
// The child reports every acknowledged operation and the start and end of
// every sync through a pipe, one record per write (shorter than PIPE_BUF,
// so a kill never splits one); the parent replays them into its models.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <map>
#include <random>
#include <string>

#include "vexal.h"

namespace {

const uint32_t DIM = 4;
const char *const COLLECTION = "crash";

typedef std::map<uint64_t, std::array<float, DIM>> Model;

enum : uint8_t { OP_PUT = 1, OP_DELETE = 2, OP_SYNC_BEGIN = 3, OP_SYNC_DONE = 4 };

struct Report {
    uint8_t kind;
    uint64_t id;
    float v[DIM];
};

vx_str view(const char *text) {
    vx_str s = {const_cast<char *>(text), strlen(text)};
    return s;
}

void report(int fd, uint8_t kind, uint64_t id, const float *v) {
    Report r;
    memset(&r, 0, sizeof(r));
    r.kind = kind;
    r.id = id;
    if (v) memcpy(r.v, v, sizeof(r.v));
    if (write(fd, &r, sizeof(r)) != (ssize_t)sizeof(r)) _exit(3);
}

vx_collection *open_collection(vx_daded *db) {
    vx_str name = view(COLLECTION);
    vx_collection *c = vx_daded_get_collection(db, &name);
    if (!c && vx_daded_create_collection(db, &name, DIM, &c) != VX_OK) return nullptr;
    return c;
}

// The child: writes until killed. Its model is the state it opened (the
// parent's, inherited through fork).
[[noreturn]] void writer(const std::string &dir, Model model, uint64_t seed, int fd) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    vx_daded *db = nullptr;
    vx_str path = view(dir.c_str());
    if (vx_daded_open(&path, VX_OPEN_CREATE, &db) != VX_OK) _exit(4);
    vx_collection *c = open_collection(db);
    if (!c) _exit(5);
    for (uint64_t step = 0;; step++) {
        float v[DIM];
        for (float &x : v) x = value(rng);
        unsigned what = (unsigned)(rng() % 16);
        if (what < 7 || model.size() < 20) {
            uint64_t id = 0;
            if (vx_collection_insert(c, v, &id) == VX_OK) {
                std::copy(v, v + DIM, model[id].begin());
                report(fd, OP_PUT, id, v);
            }
        } else if (what < 11) {
            auto it = model.begin();
            std::advance(it, (long)(rng() % model.size()));
            if (vx_collection_upsert(c, it->first, v) == VX_OK) {
                std::copy(v, v + DIM, it->second.begin());
                report(fd, OP_PUT, it->first, v);
            }
        } else if (what < 15 && model.size() > 200) {
            auto it = model.begin();
            std::advance(it, (long)(rng() % model.size()));
            uint64_t id = it->first;
            if (vx_collection_delete(c, id) == VX_OK) {
                model.erase(it);
                report(fd, OP_DELETE, id, nullptr);
            }
        } else {
            report(fd, OP_SYNC_BEGIN, 0, nullptr);
            if (vx_daded_sync(db) == VX_OK) report(fd, OP_SYNC_DONE, 0, nullptr);
        }
    }
}

void replay(Model *m, const Report &r) {
    if (r.kind == OP_PUT) std::copy(r.v, r.v + DIM, (*m)[r.id].begin());
    else if (r.kind == OP_DELETE) m->erase(r.id);
}

// What the reopened database must equal: the state at the last sync that
// reported success, or the one of a sync begun and not yet reported.
struct Expectation {
    Model done, begun;
    bool sync_open = false;
};

void read_reports(int fd, Model model, Expectation *e) {
    e->done = model;
    e->sync_open = false;
    Model live = model;
    Report r;
    for (;;) {
        ssize_t n = read(fd, &r, sizeof(r));
        if (n < 0 && errno == EINTR) continue;
        if (n != (ssize_t)sizeof(r)) break;
        if (r.kind == OP_SYNC_BEGIN) {
            e->begun = live;
            e->sync_open = true;
        } else if (r.kind == OP_SYNC_DONE) {
            e->done = live;
            e->sync_open = false;
        } else {
            replay(&live, r);
        }
    }
}

// The collection as reopened; false when the database does not open.
bool reopen(const std::string &dir, Model *out, std::string *why) {
    vx_daded *db = nullptr;
    vx_str path = view(dir.c_str());
    vx_status st = vx_daded_open(&path, VX_OPEN_READ_ONLY, &db);
    if (st != VX_OK) {
        *why = std::string("open failed: ") + vx_error_message(st);
        return false;
    }
    out->clear();
    vx_str name = view(COLLECTION);
    vx_collection *c = vx_daded_get_collection(db, &name);
    if (c) {
        vx_collection_iterator *it = vx_collection_create_iterator(c, nullptr);
        for (; it && vx_collection_iterator_valid(it); vx_collection_iterator_next(it)) {
            const float *x = vx_collection_iterator_get_vector(it);
            if (!x) continue;
            std::array<float, DIM> v;
            std::copy(x, x + DIM, v.begin());
            (*out)[vx_collection_iterator_get_id(it)] = v;
        }
        vx_collection_destroy_iterator(it);
    }
    vx_daded_close(db);
    return true;
}

bool same(const Model &a, const Model &b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || memcmp(i->second.data(), j->second.data(), sizeof(float) * DIM) != 0) return false;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t rounds = 1000, seed = (uint64_t)time(nullptr);
    std::string dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--rounds")) rounds = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--seed")) seed = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--dir")) dir = argv[i + 1];
    }
    bool own_dir = dir.empty();
    if (own_dir) {
        char tmpl[] = "/tmp/vx_crash_XXXXXX";
        if (!mkdtemp(tmpl)) return 2;
        dir = std::string(tmpl) + "/db";
    }
    printf("crash test: %llu rounds, seed %llu, database %s\n", (unsigned long long)rounds,
           (unsigned long long)seed, dir.c_str());
    std::mt19937_64 rng(seed);
    Model model;
    uint64_t lost = 0, failed_opens = 0, in_flight = 0, syncs = 0;
    for (uint64_t round = 0; round < rounds; round++) {
        int pipe_fd[2];
        if (pipe(pipe_fd) != 0) return 2;
        uint64_t child_seed = rng();
        fflush(stdout);
        pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            close(pipe_fd[0]);
            writer(dir, model, child_seed, pipe_fd[1]);
        }
        close(pipe_fd[1]);
        // From a few operations to a few syncs' worth of work.
        usleep((useconds_t)(2000 + rng() % 150000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        Expectation e;
        read_reports(pipe_fd[0], model, &e);
        close(pipe_fd[0]);
        if (WIFEXITED(status)) {
            fprintf(stderr, "round %llu: the writer stopped by itself (exit %d)\n", (unsigned long long)round,
                    WEXITSTATUS(status));
            return 2;
        }
        Model back;
        std::string why;
        if (!reopen(dir, &back, &why)) {
            failed_opens++;
            fprintf(stderr, "round %llu: %s\n", (unsigned long long)round, why.c_str());
            continue;
        }
        syncs += !same(e.done, model);
        if (same(back, e.done)) {
            model = e.done;
        } else if (e.sync_open && same(back, e.begun)) {
            model = e.begun;
            in_flight++;
        } else {
            lost++;
            fprintf(stderr, "round %llu: reopened with %zu records; the last sync held %zu\n",
                    (unsigned long long)round, back.size(), e.done.size());
            model = back;
        }
    }
    printf("rounds %llu, rounds with a new sync %llu, kills during a sync that landed %llu, "
           "records at the end %zu\n",
           (unsigned long long)rounds, (unsigned long long)syncs, (unsigned long long)in_flight, model.size());
    printf("lost acknowledged writes: %llu, failed reopenings: %llu\n", (unsigned long long)lost,
           (unsigned long long)failed_opens);
    if (own_dir) {
        std::string cmd = "rm -rf '" + dir.substr(0, dir.size() - 3) + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove the database\n");
    }
    return lost || failed_opens ? 1 : 0;
}
