// Byte-flip sweep: every single-byte change of a saved collection file and
// of saved index files must be refused at load or load to the very content
// that was saved. A load that succeeds is saved again and compared with the
// original bytes (save times masked), so "identical" means everything the
// file holds. Prints the number of changes tried, refused, harmless and
// silent; exits 1 when any change loaded silently.
//
//   flip_sweep [values]   values per byte: 255 (every other value, the
//                         default) or fewer, spread over 1..255
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vexal.h"
#include "vx_collection_internal.h"

namespace {

std::vector<uint8_t> slurp(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    return bytes;
}

// A fresh file each time: rewriting one in place can make the file system
// flush it at every close.
void spit(const std::string &path, const std::vector<uint8_t> &bytes) {
    unlink(path.c_str());
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

vx_str view(const std::string &s) {
    vx_str v = {const_cast<char *>(s.c_str()), s.size()};
    return v;
}

struct Tally {
    uint64_t tried = 0, refused = 0, harmless = 0, silent = 0;
    void print(const char *what) const {
        printf("%-28s %9llu changes: %9llu refused, %7llu identical, %llu silent\n", what,
               (unsigned long long)tried, (unsigned long long)refused, (unsigned long long)harmless,
               (unsigned long long)silent);
    }
};

bool same_text(const vx_str &a, const vx_str &b) {
    if (!a.data || !b.data) return a.data == b.data;
    return a.len == b.len && memcmp(a.data, b.data, a.len) == 0;
}

bool same_entry(const vx_meta_entry &a, const vx_meta_entry &b) {
    if (!same_text(a.key, b.key) || a.type != b.type) return false;
    switch (a.type) {
    case VX_META_INT32:
    case VX_META_BOOL: return a.value.i32 == b.value.i32;
    case VX_META_INT64: return a.value.i64 == b.value.i64;
    case VX_META_FLOAT: return memcmp(&a.value.f32, &b.value.f32, 4) == 0;
    case VX_META_DOUBLE: return memcmp(&a.value.f64, &b.value.f64, 8) == 0;
    case VX_META_STRING: return same_text(a.value.str, b.value.str);
    default: return true;
    }
}

bool same_record(const vx_record &a, const vx_record &b, uint32_t dim) {
    if (a.id != b.id || memcmp(a.vector, b.vector, 4ull * dim) != 0) return false;
    uint64_t na = a.meta ? a.meta_count : 0, nb = b.meta ? b.meta_count : 0;
    if (na != nb) return false;
    for (uint64_t j = 0; j < na; j++)
        if (!same_entry(a.meta[j], b.meta[j])) return false;
    return true;
}

// Everything a collection file restores.
bool same_collection(const vx_collection *a, const vx_collection *b) {
    if ((a->name == nullptr) != (b->name == nullptr) || (a->name && strcmp(a->name, b->name) != 0)) return false;
    if (a->dimension != b->dimension || a->metric != b->metric || a->next_id != b->next_id ||
        a->created_time != b->created_time || a->modified_time != b->modified_time ||
        a->index_threshold != b->index_threshold || a->count != b->count)
        return false;
    if (memcmp(&a->index_params, &b->index_params, sizeof(a->index_params)) != 0) return false;
    if ((a->index == nullptr) != (b->index == nullptr)) return false;
    if (a->index && (vx_index_get_type(a->index) != vx_index_get_type(b->index) ||
                     vx_index_get_ntotal(a->index) != vx_index_get_ntotal(b->index)))
        return false;
    for (uint64_t i = 0; i < a->count; i++)
        if (!same_record(a->records[i], b->records[i], a->dimension)) return false;
    return true;
}

// One change of the original: refused, identical, or silent.
template <typename Probe>
void sweep(const std::vector<uint8_t> &good, int values, Tally *t, Probe probe) {
    for (size_t i = 0; i < good.size(); i++) {
        for (int k = 0; k < values; k++) {
            uint8_t delta = (uint8_t)(1 + (k * 255) / values);
            std::vector<uint8_t> f = good;
            f[i] ^= delta;
            t->tried++;
            int r = probe(f);
            if (r < 0) t->refused++;
            else if (r == 0) t->harmless++;
            else {
                t->silent++;
                fprintf(stderr, "silent change: byte %zu ^ 0x%02x\n", i, delta);
            }
        }
    }
}

vx_collection *sample_collection() {
    vx_collection_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.name = view(std::string("sweep"));
    cfg.dimension = 4;
    cfg.index_type = VX_INDEX_HNSW;
    vx_collection *c = vx_collection_create(nullptr, &cfg);
    if (!c) return nullptr;
    for (int i = 0; i < 6; i++) {
        float v[4] = {(float)i, 0.5f * (float)i, -1.0f, 0.25f * (float)(i * i)};
        vx_collection_insert(c, v, nullptr);
    }
    vx_meta_entry e[3];
    memset(e, 0, sizeof(e));
    static const std::string keys[3] = {"colour", "size", "weight"};
    static const std::string text = "blue";
    e[0].key = view(keys[0]), e[0].type = VX_META_STRING, e[0].value.str = view(text);
    e[1].key = view(keys[1]), e[1].type = VX_META_INT64, e[1].value.i64 = 42;
    e[2].key = view(keys[2]), e[2].type = VX_META_DOUBLE, e[2].value.f64 = 1.5;
    vx_collection_set_meta(c, 2, e, 3);
    vx_collection_set_meta(c, 5, e, 2);
    vx_collection_build_index(c);
    return c;
}

Tally sweep_collection(const std::string &dir, int values) {
    Tally t;
    vx_collection *c = sample_collection();
    std::string path = dir + "/good.vxcol", probe = dir + "/probe.vxcol";
    if (!c || vx_collection_save(c, path.c_str()) != VX_OK) {
        fprintf(stderr, "cannot save the sample collection\n");
        exit(2);
    }
    vx_collection_destroy(c);
    std::vector<uint8_t> good = slurp(path);
    std::vector<uint8_t> good_index = slurp(path + ".idx");
    spit(probe + ".idx", good_index);
    vx_collection *expect = vx_collection_load(nullptr, path.c_str());
    sweep(good, values, &t, [&](const std::vector<uint8_t> &f) {
        spit(probe, f);
        vx_collection *x = vx_collection_load(nullptr, probe.c_str());
        if (!x) return -1;
        int same = same_collection(expect, x);
        vx_collection_destroy(x);
        return same ? 0 : 1;
    });
    vx_collection_destroy(expect);
    return t;
}

Tally sweep_index(const std::string &dir, int values, vx_index_type kind) {
    Tally t;
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = kind;
    p.dimension = 8;
    p.pq_m = 2;
    p.pq_nbits = 2;
    if (kind == VX_INDEX_HNSW) p.family.hnsw.M = 4, p.family.hnsw.ef_construction = 16, p.family.hnsw.ef_search = 8;
    else p.family.ivf.nlist = 2, p.family.ivf.nprobe = 1;
    vx_index *index = vx_index_create(nullptr, &p);
    std::vector<float> v(12 * 8);
    for (size_t i = 0; i < v.size(); i++) v[i] = (float)((i * 37) % 17) - 8.0f;
    std::vector<uint64_t> ids(12);
    for (int i = 0; i < 12; i++) ids[i] = (uint64_t)i + 1;
    std::string path = dir + "/good.idx", probe = dir + "/probe.idx", again = dir + "/again.idx";
    vx_str path_view = view(path);
    if (!index || vx_index_train(index, v.data(), 12) != VX_OK ||
        vx_index_add_batch(index, ids.data(), v.data(), 12) != VX_OK || vx_index_save(index, &path_view) != VX_OK) {
        fprintf(stderr, "cannot save the sample index\n");
        exit(2);
    }
    vx_index_destroy(index);
    std::vector<uint8_t> good = slurp(path);
    vx_str probe_view = view(probe), again_view = view(again);
    sweep(good, values, &t, [&](const std::vector<uint8_t> &f) {
        spit(probe, f);
        vx_arena *arena = nullptr;
        if (vx_arena_create(1 << 16, &arena) != VX_OK) return -1;
        vx_index *x = vx_index_load(arena, &probe_view);
        int r = -1;
        if (x) {
            r = vx_index_save(x, &again_view) == VX_OK && slurp(again) == good ? 0 : 1;
            vx_index_destroy(x);
        }
        vx_arena_destroy(arena);
        return r;
    });
    return t;
}

}  // namespace

int main(int argc, char **argv) {
    int values = argc > 1 ? atoi(argv[1]) : 255;
    if (values < 1 || values > 255) values = 255;
    char tmpl[] = "/tmp/vx_flip_XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    std::string dir = tmpl;
    Tally col = sweep_collection(dir, values);
    Tally graph = sweep_index(dir, values, VX_INDEX_HNSW);
    Tally ivf = sweep_index(dir, values, VX_INDEX_IVF_PQ);
    col.print("collection file");
    graph.print("graph index file");
    ivf.print("inverted-file PQ index file");
    uint64_t silent = col.silent + graph.silent + ivf.silent;
    printf("silent changes: %llu\n", (unsigned long long)silent);
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    return silent ? 1 : 0;
}
