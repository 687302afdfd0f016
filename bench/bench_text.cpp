// Text and file helpers: searching, splitting, parsing, printing and
// whole-file replacement.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vexal.h"
#include "vx_file_internal.h"

static vx_str view(const std::string &s) { return vx_str{(char *)s.data(), s.size()}; }

// Worst case for a first-byte scan: every position starts a near match.
static void BM_strstr_repetitive(benchmark::State &state) {
    std::string hay(state.range(0), 'a');
    hay += "b";
    std::string needle = "aaaaaaab";
    vx_str h = view(hay), n = view(needle);
    for (auto _ : state) benchmark::DoNotOptimize(vx_strstr(&h, &n));
    state.SetBytesProcessed(state.iterations() * (int64_t)hay.size());
}
BENCHMARK(BM_strstr_repetitive)->Arg(1 << 20);

static void BM_strstr_text(benchmark::State &state) {
    std::string hay;
    vx_srand(1);
    while (hay.size() < (size_t)state.range(0)) hay.push_back((char)('a' + vx_rand() % 26));
    hay += "needle";
    std::string needle = "needle";
    vx_str h = view(hay), n = view(needle);
    for (auto _ : state) benchmark::DoNotOptimize(vx_strstr(&h, &n));
    state.SetBytesProcessed(state.iterations() * (int64_t)hay.size());
}
BENCHMARK(BM_strstr_text)->Arg(1 << 20);

static void BM_strsplit_key(benchmark::State &state) {
    vx_arena *arena = nullptr;
    vx_arena_create(0, &arena);
    std::string key = "collection.index.hnsw.ef_construction";
    std::string dots = ".";
    vx_str k = view(key), dot = view(dots);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vx_strsplit(arena, &k, &dot));
        if (vx_arena_get_used_size(arena) > (1u << 20)) vx_arena_reset(arena);
    }
    vx_arena_destroy(arena);
}
BENCHMARK(BM_strsplit_key);

static void BM_strtod(benchmark::State &state) {
    std::string text = "-12345.678901e-3";
    vx_str t = view(text);
    for (auto _ : state) benchmark::DoNotOptimize(vx_strtod(&t, nullptr));
}
BENCHMARK(BM_strtod);

// One summary-like line to /dev/null: ordinary text goes out in runs, each
// conversion in one write.
static void BM_printf_line(benchmark::State &state) {
    fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(vx_printf("  Collection: %s  vectors: %lu  dimension: %u  memory: %.2f MB\n",
                                           "documents", (uint64_t)123456, (uint64_t)768, 351.25));
    dup2(saved, 1);
    close(saved);
    close(null_fd);
}
BENCHMARK(BM_printf_line);

// Plain truncate-and-write against the flushed temp-and-rename replacement.
static void BM_file_replace(benchmark::State &state) {
    char dir[] = "/tmp/vx_bench_text_XXXXXX";
    if (!vx_file_mkdtemp(dir)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    std::string path = std::string(dir) + "/list";
    std::string content(state.range(1), 'x');
    vx_str p = view(path);
    for (auto _ : state) {
        if (state.range(0)) file_write_atomic(path.c_str(), content.data(), content.size());
        else vx_file_write_all(&p, content.data(), content.size());
    }
    std::string dir_text = dir;
    vx_str d = view(dir_text);
    vx_file_rmdir_recursive(&d);
    state.SetLabel(state.range(0) ? "atomic" : "write_all");
}
BENCHMARK(BM_file_replace)->Args({0, 4096})->Args({1, 4096});

BENCHMARK_MAIN();
