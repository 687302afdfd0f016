// Data sets, file parsers, progress display and plotting for the vexal tool.
#include "vexal_data.h"

#include <ctype.h>
#include <errno.h>
#include <float.h>
#include <malloc.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

std::string read_file(const std::string &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *ok = false;
        return {};
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *ok = true;
    return ss.str();
}

static bool fail(std::string *error, const std::string &message) {
    if (error) *error = message;
    return false;
}

// File types go by extension, whatever its case ("V.CSV" is a .csv file).
bool has_extension(const std::string &path, const char *ext) {
    size_t n = strlen(ext);
    if (path.size() < n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)path[path.size() - n + i]) != ext[i]) return false;
    return true;
}

/* ---- vector files --------------------------------------------------------- */

// .fvecs and .bvecs: each vector is a little-endian int32 dimension followed
// by that many float32 (fvecs) or uint8 (bvecs) components.
static bool parse_vecs(const std::string &bytes, uint32_t elem, Matrix *out, std::string *error) {
    const char *p = bytes.data();
    uint64_t size = bytes.size(), off = 0;
    out->rows = 0;
    out->dim = 0;
    out->data.clear();
    while (off < size) {
        if (size - off < 4) return fail(error, "truncated vector header at byte " + std::to_string(off));
        int32_t d;
        memcpy(&d, p + off, 4);
        off += 4;
        if (d <= 0 || d > (1 << 20)) return fail(error, "bad dimension " + std::to_string(d) + " at byte " + std::to_string(off - 4));
        if (out->dim == 0) out->dim = (uint32_t)d;
        if ((uint32_t)d != out->dim)
            return fail(error, "vector " + std::to_string(out->rows + 1) + " has dimension " + std::to_string(d) +
                                   ", expected " + std::to_string(out->dim));
        if (size - off < (uint64_t)d * elem) return fail(error, "truncated vector " + std::to_string(out->rows + 1));
        for (int32_t i = 0; i < d; i++) {
            float v;
            if (elem == 4) memcpy(&v, p + off + 4 * (uint64_t)i, 4);
            else v = (float)(unsigned char)p[off + i];
            out->data.push_back(v);
        }
        off += (uint64_t)d * elem;
        out->rows++;
    }
    if (out->rows == 0) return fail(error, "no vectors in file");
    return true;
}

bool parse_fvecs(const std::string &bytes, Matrix *out, std::string *error) { return parse_vecs(bytes, 4, out, error); }
bool parse_bvecs(const std::string &bytes, Matrix *out, std::string *error) { return parse_vecs(bytes, 1, out, error); }

// .npy version 1-3 with a little-endian float32, C-order, 2-D array.
bool parse_npy(const std::string &bytes, Matrix *out, std::string *error) {
    if (bytes.size() < 10 || memcmp(bytes.data(), "\x93NUMPY", 6) != 0) return fail(error, "not a .npy file");
    unsigned major = (unsigned char)bytes[6];
    uint64_t header_len, header_off;
    if (major == 1) {
        header_len = (unsigned char)bytes[8] | ((unsigned)(unsigned char)bytes[9] << 8);
        header_off = 10;
    } else if (major == 2 || major == 3) {
        if (bytes.size() < 12) return fail(error, "truncated .npy header");
        uint32_t n;
        memcpy(&n, bytes.data() + 8, 4);
        header_len = n;
        header_off = 12;
    } else {
        return fail(error, "unsupported .npy version " + std::to_string(major));
    }
    if (bytes.size() < header_off + header_len) return fail(error, "truncated .npy header");
    std::string header = bytes.substr(header_off, header_len);
    if (header.find("'descr': '<f4'") == std::string::npos && header.find("\"descr\": \"<f4\"") == std::string::npos)
        return fail(error, ".npy array is not little-endian float32");
    if (header.find("'fortran_order': True") != std::string::npos) return fail(error, ".npy array is in Fortran order");
    size_t shape = header.find("'shape':");
    if (shape == std::string::npos) return fail(error, ".npy header has no shape");
    size_t open = header.find('(', shape), close = header.find(')', shape);
    if (open == std::string::npos || close == std::string::npos) return fail(error, ".npy shape is malformed");
    std::string dims = header.substr(open + 1, close - open - 1);
    unsigned long long rows = 0, cols = 0;
    char extra = 0;
    if (sscanf(dims.c_str(), " %llu , %llu %c", &rows, &cols, &extra) < 2 || (extra && extra != ','))
        return fail(error, ".npy array is not 2-D");
    if (cols == 0 || cols > (1u << 20) || rows == 0) return fail(error, ".npy array is empty or too wide");
    uint64_t data_off = header_off + header_len;
    if ((bytes.size() - data_off) / 4 / cols < rows) return fail(error, ".npy data is truncated");
    out->rows = rows;
    out->dim = (uint32_t)cols;
    out->data.resize(rows * cols);
    memcpy(out->data.data(), bytes.data() + data_off, rows * cols * 4);
    return true;
}

// Why a token is no float: empty, not a number, or beyond float's range.
static bool parse_float(const std::string &token, float *value, std::string *why) {
    std::string t = token;
    while (!t.empty() && isspace((unsigned char)t.back())) t.pop_back();
    size_t start = 0;
    while (start < t.size() && isspace((unsigned char)t[start])) start++;
    t = t.substr(start);
    if (t.empty()) return fail(why, "empty number");
    char *end = nullptr;
    errno = 0;
    double v = strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size()) return fail(why, "malformed number '" + t + "'");
    if (!std::isfinite(v)) return fail(why, "'" + t + "' is not a finite number");
    if (errno == ERANGE && v != 0) return fail(why, "'" + t + "' is out of the float range");
    if (v > FLT_MAX || v < -FLT_MAX) return fail(why, "'" + t + "' is out of the float range");
    *value = (float)v;
    return true;
}

bool parse_float_list(const std::string &text, std::vector<float> *out, std::string *error) {
    out->clear();
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string token = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        float v;
        if (!parse_float(token, &v, error)) return false;
        out->push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool parse_csv(const std::string &text, Matrix *out, std::string *error) {
    out->rows = 0;
    out->dim = 0;
    out->data.clear();
    std::istringstream in(text);
    std::string line;
    uint64_t line_no = 0;
    std::vector<float> row;
    while (std::getline(in, line)) {
        line_no++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        std::string why;
        if (!parse_float_list(line, &row, &why)) return fail(error, "line " + std::to_string(line_no) + ": " + why);
        if (out->dim == 0) out->dim = (uint32_t)row.size();
        if (row.size() != out->dim)
            return fail(error, "line " + std::to_string(line_no) + ": " + std::to_string(row.size()) +
                                   " values, expected " + std::to_string(out->dim));
        out->data.insert(out->data.end(), row.begin(), row.end());
        out->rows++;
    }
    if (out->rows == 0) return fail(error, "no vectors in file");
    return true;
}

bool load_vectors(const std::string &path, Matrix *out, std::string *error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fail(error, "'" + path + "' is a directory, not a file of vectors");
    bool ok = false;
    std::string bytes = read_file(path, &ok);
    if (!ok) return fail(error, "cannot read '" + path + "': " + strerror(errno));
    std::string why;
    bool parsed;
    if (has_extension(path, ".fvecs")) parsed = parse_fvecs(bytes, out, &why);
    else if (has_extension(path, ".bvecs")) parsed = parse_bvecs(bytes, out, &why);
    else if (has_extension(path, ".npy")) parsed = parse_npy(bytes, out, &why);
    else if (has_extension(path, ".csv")) parsed = parse_csv(bytes, out, &why);
    else return fail(error, "unknown file type '" + path + "' (use .fvecs, .bvecs, .npy or .csv)");
    if (!parsed) return fail(error, path + ": " + why);
    return true;
}

/* ---- writing vectors ------------------------------------------------------- */

static std::string npy_bytes(const Matrix &m) {
    std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(m.rows) + ", " +
                         std::to_string(m.dim) + "), }";
    // Magic, version 1.0, header length, then the header padded with spaces
    // and ended by a line feed so that the data starts on a 64-byte boundary.
    size_t total = 10 + header.size() + 1;
    header.append((64 - total % 64) % 64, ' ');
    header += '\n';
    std::string out("\x93NUMPY\x01\x00", 8);
    out += (char)(header.size() & 0xff);
    out += (char)(header.size() >> 8);
    out += header;
    out.append((const char *)m.data.data(), m.rows * m.dim * sizeof(float));
    return out;
}

static std::string fvecs_bytes(const Matrix &m) {
    std::string out;
    out.reserve(m.rows * (4 + m.dim * sizeof(float)));
    int32_t d = (int32_t)m.dim;
    for (uint64_t i = 0; i < m.rows; i++) {
        out.append((const char *)&d, 4);
        out.append((const char *)m.row(i), m.dim * sizeof(float));
    }
    return out;
}

bool vectors_file_type_known(const std::string &path) {
    return has_extension(path, ".npy") || has_extension(path, ".fvecs");
}

bool write_file(const std::string &path, const std::string &bytes, std::string *error) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return fail(error, "cannot write '" + path + "': " + strerror(errno));
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok) return fail(error, "writing '" + path + "' failed");
    return true;
}

bool save_vectors(const std::string &path, const Matrix &m, std::string *error) {
    if (has_extension(path, ".npy")) return write_file(path, npy_bytes(m), error);
    if (has_extension(path, ".fvecs")) return write_file(path, fvecs_bytes(m), error);
    return fail(error, "unknown file type '" + path + "' (use .npy or .fvecs)");
}

/* ---- Fashion-MNIST -------------------------------------------------------- */

static bool gunzip(const std::string &gz_path, std::string *bytes, std::string *error) {
    if (access(gz_path.c_str(), R_OK) != 0) return fail(error, "cannot read '" + gz_path + "'");
    std::string cmd = "gzip -dc '" + gz_path + "'";
    FILE *pipe = popen(cmd.c_str(), "r");
    if (!pipe) return fail(error, "cannot run gzip");
    char buf[1 << 16];
    size_t n;
    bytes->clear();
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) bytes->append(buf, n);
    if (pclose(pipe) != 0) return fail(error, "gzip failed on '" + gz_path + "'");
    return true;
}

static uint32_t big_endian_u32(const std::string &b, size_t off) {
    return ((uint32_t)(unsigned char)b[off] << 24) | ((uint32_t)(unsigned char)b[off + 1] << 16) |
           ((uint32_t)(unsigned char)b[off + 2] << 8) | (uint32_t)(unsigned char)b[off + 3];
}

bool load_idx_images(const std::string &gz_path, Matrix *out, std::string *error) {
    std::string b;
    if (!gunzip(gz_path, &b, error)) return false;
    if (b.size() < 16 || big_endian_u32(b, 0) != 0x803) return fail(error, gz_path + ": not an idx3 image file");
    uint64_t n = big_endian_u32(b, 4), rows = big_endian_u32(b, 8), cols = big_endian_u32(b, 12);
    uint64_t dim = rows * cols;
    if (dim == 0 || b.size() - 16 < n * dim) return fail(error, gz_path + ": truncated");
    out->rows = n;
    out->dim = (uint32_t)dim;
    out->data.resize(n * dim);
    for (uint64_t i = 0; i < n * dim; i++) out->data[i] = (float)(unsigned char)b[16 + i];
    return true;
}

bool load_idx_labels(const std::string &gz_path, std::vector<uint8_t> *out, std::string *error) {
    std::string b;
    if (!gunzip(gz_path, &b, error)) return false;
    if (b.size() < 8 || big_endian_u32(b, 0) != 0x801) return fail(error, gz_path + ": not an idx1 label file");
    uint64_t n = big_endian_u32(b, 4);
    if (b.size() - 8 < n) return fail(error, gz_path + ": truncated");
    out->assign(b.begin() + 8, b.begin() + 8 + n);
    return true;
}

// Each cluster is a centre plus a low-dimensional spread (a random linear
// image of a few latent coordinates) and a little noise, so neighbourhoods
// have the structure of real data rather than that of pure noise. Well
// separated clusters make a graph whose links never leave a cluster, so the
// tool uses one.
void make_clustered(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed, Matrix *out,
                    std::vector<uint8_t> *labels) {
    const uint32_t latent = 12;
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    // The cluster geometry depends only on the shape, so base and query sets
    // made with different seeds share it.
    std::mt19937_64 shape_rng(0x5eed + dim * 131 + clusters);
    std::vector<float> centres((uint64_t)clusters * dim), basis((uint64_t)clusters * latent * dim);
    for (auto &c : centres) c = 128.0f + std::normal_distribution<float>(0.0f, 20.0f)(shape_rng);
    for (auto &b : basis) b = std::normal_distribution<float>(0.0f, 1.0f)(shape_rng) * 6.0f;
    out->rows = rows;
    out->dim = dim;
    out->data.resize(rows * dim);
    if (labels) labels->resize(rows);
    float z[latent];
    for (uint64_t i = 0; i < rows; i++) {
        uint32_t c = (uint32_t)(rng() % clusters);
        for (uint32_t l = 0; l < latent; l++) z[l] = unit(rng);
        // A label of ten classes: the cluster, or with one cluster a band of
        // the first latent coordinate.
        int band = (int)((z[0] + 2.5f) * 2.0f);
        if (labels) (*labels)[i] = (uint8_t)(clusters > 1 ? c % 10 : std::min(9, std::max(0, band)));
        const float *base = &basis[(uint64_t)c * latent * dim];
        for (uint32_t j = 0; j < dim; j++) {
            float v = centres[(uint64_t)c * dim + j] + 2.0f * unit(rng);
            for (uint32_t l = 0; l < latent; l++) v += z[l] * base[(uint64_t)l * dim + j];
            out->data[i * dim + j] = std::min(255.0f, std::max(0.0f, v));
        }
    }
}

/* ---- ground truth --------------------------------------------------------- */

// Exact search for the ground truth. Base vectors are stored transposed in
// blocks of 16 so that the inner loop runs across 16 vectors at once and
// vectorises, and each block is used for several queries while it is in
// cache: one pass over the base serves a whole group of queries. The order
// of the sums does not matter here, only which ids are nearest.
static const uint32_t TRUTH_LANES = 16;
static const uint32_t TRUTH_GROUP = 8;

__attribute__((always_inline)) static inline void truth_group_distances(const float *blocked, uint64_t blocks,
                                                                       uint32_t dim, const float *const *q,
                                                                       uint32_t nq, float *const *out) {
    for (uint64_t b = 0; b < blocks; b++) {
        const float *base = blocked + b * dim * TRUTH_LANES;
        for (uint32_t g = 0; g < nq; g++) {
            float acc[TRUTH_LANES] = {0};
            const float *qv = q[g];
            for (uint32_t j = 0; j < dim; j++) {
                const float *lane = base + (uint64_t)j * TRUTH_LANES;
                float qj = qv[j];
                for (uint32_t l = 0; l < TRUTH_LANES; l++) {
                    float d = qj - lane[l];
                    acc[l] += d * d;
                }
            }
            memcpy(out[g] + b * TRUTH_LANES, acc, sizeof(acc));
        }
    }
}

// Four queries at a time against one block of 16 vectors: eight
// accumulators stay in registers while the block streams through.
__attribute__((target("avx2"))) static void truth_group_distances_avx2(const float *blocked, uint64_t blocks,
                                                                        uint32_t dim, const float *const *q,
                                                                        uint32_t nq, float *const *out) {
    for (uint32_t g0 = 0; g0 < nq; g0 += 4) {
        uint32_t n = std::min<uint32_t>(4, nq - g0);
        const float *qs[4];
        for (uint32_t g = 0; g < 4; g++) qs[g] = q[g0 + (g < n ? g : 0)];
        for (uint64_t b = 0; b < blocks; b++) {
            const float *base = blocked + b * dim * TRUTH_LANES;
            __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
            for (uint32_t j = 0; j < dim; j++) {
                __m256 lo = _mm256_loadu_ps(base + (uint64_t)j * TRUTH_LANES);
                __m256 hi = _mm256_loadu_ps(base + (uint64_t)j * TRUTH_LANES + 8);
                __m256 x, d;
                x = _mm256_broadcast_ss(qs[0] + j);
                d = _mm256_sub_ps(x, lo); a0 = _mm256_add_ps(a0, _mm256_mul_ps(d, d));
                d = _mm256_sub_ps(x, hi); a1 = _mm256_add_ps(a1, _mm256_mul_ps(d, d));
                x = _mm256_broadcast_ss(qs[1] + j);
                d = _mm256_sub_ps(x, lo); a2 = _mm256_add_ps(a2, _mm256_mul_ps(d, d));
                d = _mm256_sub_ps(x, hi); a3 = _mm256_add_ps(a3, _mm256_mul_ps(d, d));
                x = _mm256_broadcast_ss(qs[2] + j);
                d = _mm256_sub_ps(x, lo); a4 = _mm256_add_ps(a4, _mm256_mul_ps(d, d));
                d = _mm256_sub_ps(x, hi); a5 = _mm256_add_ps(a5, _mm256_mul_ps(d, d));
                x = _mm256_broadcast_ss(qs[3] + j);
                d = _mm256_sub_ps(x, lo); a6 = _mm256_add_ps(a6, _mm256_mul_ps(d, d));
                d = _mm256_sub_ps(x, hi); a7 = _mm256_add_ps(a7, _mm256_mul_ps(d, d));
            }
            __m256 acc[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
            for (uint32_t g = 0; g < n; g++) {
                _mm256_storeu_ps(out[g0 + g] + b * TRUTH_LANES, acc[2 * g]);
                _mm256_storeu_ps(out[g0 + g] + b * TRUTH_LANES + 8, acc[2 * g + 1]);
            }
        }
    }
}

static void truth_group_distances_portable(const float *blocked, uint64_t blocks, uint32_t dim,
                                           const float *const *q, uint32_t nq, float *const *out) {
    truth_group_distances(blocked, blocks, dim, q, nq, out);
}

// The k smallest of dist (ids are 1-based positions), nearest first.
static void truth_top_k(const float *dist, uint64_t rows, uint32_t k, uint64_t *out) {
    std::vector<std::pair<float, uint64_t>> best;
    best.reserve(k + 1);
    for (uint64_t i = 0; i < rows; i++) {
        if (best.size() < k || dist[i] < best.front().first) {
            best.emplace_back(dist[i], i + 1);
            std::push_heap(best.begin(), best.end());
            if (best.size() > k) {
                std::pop_heap(best.begin(), best.end());
                best.pop_back();
            }
        }
    }
    std::sort_heap(best.begin(), best.end());
    for (uint32_t j = 0; j < best.size(); j++) out[j] = best[j].second;
}

void exact_knn(const Matrix &base, const Matrix &queries, uint32_t k, std::vector<uint64_t> *ids) {
    const uint32_t dim = base.dim;
    const uint64_t blocks = (base.rows + TRUTH_LANES - 1) / TRUTH_LANES;
    std::vector<float> blocked(blocks * TRUTH_LANES * dim, 1e30f);
    for (uint64_t i = 0; i < base.rows; i++) {
        float *dst = &blocked[(i / TRUTH_LANES) * dim * TRUTH_LANES + i % TRUTH_LANES];
        const float *src = base.row(i);
        for (uint32_t j = 0; j < dim; j++) dst[(uint64_t)j * TRUTH_LANES] = src[j];
    }
    ids->assign(queries.rows * k, 0);
    const bool avx2 = __builtin_cpu_supports("avx2");
    const uint64_t groups = (queries.rows + TRUTH_GROUP - 1) / TRUTH_GROUP;
    std::atomic<uint64_t> next{0};
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; t++) {
        pool.emplace_back([&] {
            std::vector<float> dist(TRUTH_GROUP * blocks * TRUTH_LANES);
            float *out[TRUTH_GROUP];
            const float *q[TRUTH_GROUP];
            for (uint32_t g = 0; g < TRUTH_GROUP; g++) out[g] = dist.data() + g * blocks * TRUTH_LANES;
            for (uint64_t grp; (grp = next.fetch_add(1)) < groups;) {
                uint64_t first = grp * TRUTH_GROUP;
                uint32_t nq = (uint32_t)std::min<uint64_t>(TRUTH_GROUP, queries.rows - first);
                for (uint32_t g = 0; g < nq; g++) q[g] = queries.row(first + g);
                if (avx2) truth_group_distances_avx2(blocked.data(), blocks, dim, q, nq, out);
                else truth_group_distances_portable(blocked.data(), blocks, dim, q, nq, out);
                for (uint32_t g = 0; g < nq; g++) truth_top_k(out[g], base.rows, k, ids->data() + (first + g) * k);
            }
        });
    }
    for (auto &th : pool) th.join();
}

double recall_at_k(const std::vector<uint64_t> &truth, const std::vector<uint64_t> &found, uint64_t queries,
                   uint32_t k) {
    uint64_t hits = 0;
    for (uint64_t q = 0; q < queries; q++) {
        for (uint32_t i = 0; i < k; i++) {
            uint64_t id = found[q * k + i];
            if (id == 0) continue;
            for (uint32_t j = 0; j < k; j++)
                if (truth[q * k + j] == id) {
                    hits++;
                    break;
                }
        }
    }
    return queries ? (double)hits / (double)(queries * k) : 0.0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t i = (size_t)(p / 100.0 * (double)(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

/* ---- progress ------------------------------------------------------------- */

Progress::Progress(const char *l, uint64_t t) : label(l), total(t), tty(isatty(2) != 0) {}

void Progress::update(uint64_t done) {
    if (!tty || total == 0) return;
    int percent = (int)(done * 100 / total);
    if (percent == last_percent) return;
    last_percent = percent;
    int width = 40, filled = percent * width / 100;
    fprintf(stderr, "\r%-10s [", label.c_str());
    for (int i = 0; i < width; i++) fputc(i < filled ? '#' : '.', stderr);
    fprintf(stderr, "] %3d%% %llu/%llu", percent, (unsigned long long)done, (unsigned long long)total);
    fflush(stderr);
}

void Progress::finish() {
    if (!tty) return;
    update(total);
    fputc('\n', stderr);
}

/* ---- SVG plot --------------------------------------------------------------- */

static std::string xml_escape(const std::string &s) {
    std::string r;
    for (char c : s) {
        if (c == '<') r += "&lt;";
        else if (c == '>') r += "&gt;";
        else if (c == '&') r += "&amp;";
        else if (c == '"') r += "&quot;";
        else r += c;
    }
    return r;
}

bool write_svg_plot(const std::string &path, const std::string &title, const std::vector<Curve> &curves,
                    std::string *error) {
    const double W = 800, H = 520, L = 80, R = 200, T = 50, B = 60;
    double qmin = INFINITY, qmax = 0, rmin = 1.0;
    for (const Curve &c : curves)
        for (size_t i = 0; i < c.qps.size(); i++) {
            if (c.qps[i] > 0) {
                qmin = std::min(qmin, c.qps[i]);
                qmax = std::max(qmax, c.qps[i]);
            }
            rmin = std::min(rmin, c.recall[i]);
        }
    if (!(qmax > 0)) {
        qmin = 1;
        qmax = 10;
    }
    double lo = floor(log10(qmin)), hi = ceil(log10(qmax));
    if (hi <= lo) hi = lo + 1;
    double rlo = std::max(0.0, floor(rmin * 10) / 10);
    auto x_of = [&](double r) { return L + (r - rlo) / (1.0 - rlo + 1e-12) * (W - L - R); };
    auto y_of = [&](double q) { return T + (hi - log10(q)) / (hi - lo) * (H - T - B); };
    static const char *colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                    "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
    std::ostringstream s;
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H << "\" viewBox=\"0 0 " << W
      << " " << H << "\">\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s << "<text x=\"" << W / 2 << "\" y=\"28\" text-anchor=\"middle\" font-family=\"sans-serif\" font-size=\"16\">"
      << xml_escape(title) << "</text>\n";
    s << "<g stroke=\"#ccc\" font-family=\"sans-serif\" font-size=\"11\">\n";
    for (double e = lo; e <= hi; e += 1) {
        double y = y_of(pow(10, e));
        s << "<line x1=\"" << L << "\" y1=\"" << y << "\" x2=\"" << W - R << "\" y2=\"" << y << "\"/>";
        s << "<text x=\"" << L - 6 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\" stroke=\"none\">" << pow(10, e)
          << "</text>\n";
    }
    for (int i = 0; i <= 10; i++) {
        double r = rlo + (1.0 - rlo) * i / 10.0;
        double x = x_of(r);
        s << "<line x1=\"" << x << "\" y1=\"" << T << "\" x2=\"" << x << "\" y2=\"" << H - B << "\"/>";
        char label[32];
        snprintf(label, sizeof(label), "%.2f", r);
        s << "<text x=\"" << x << "\" y=\"" << H - B + 16 << "\" text-anchor=\"middle\" stroke=\"none\">" << label
          << "</text>\n";
    }
    s << "</g>\n";
    s << "<text x=\"" << (L + W - R) / 2 << "\" y=\"" << H - 18
      << "\" text-anchor=\"middle\" font-family=\"sans-serif\" font-size=\"13\">recall@10</text>\n";
    s << "<text x=\"18\" y=\"" << (T + H - B) / 2 << "\" transform=\"rotate(-90 18 " << (T + H - B) / 2
      << ")\" text-anchor=\"middle\" font-family=\"sans-serif\" font-size=\"13\">queries per second (log)</text>\n";
    for (size_t c = 0; c < curves.size(); c++) {
        const Curve &cv = curves[c];
        const char *colour = colours[c % 10];
        s << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"";
        for (size_t i = 0; i < cv.qps.size(); i++)
            if (cv.qps[i] > 0) s << x_of(cv.recall[i]) << "," << y_of(cv.qps[i]) << " ";
        s << "\"/>\n";
        for (size_t i = 0; i < cv.qps.size(); i++)
            if (cv.qps[i] > 0)
                s << "<circle cx=\"" << x_of(cv.recall[i]) << "\" cy=\"" << y_of(cv.qps[i]) << "\" r=\"3\" fill=\""
                  << colour << "\"/>\n";
        double ly = T + 10 + 18.0 * c;
        s << "<line x1=\"" << W - R + 12 << "\" y1=\"" << ly << "\" x2=\"" << W - R + 32 << "\" y2=\"" << ly
          << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>";
        s << "<text x=\"" << W - R + 38 << "\" y=\"" << ly + 4 << "\" font-family=\"sans-serif\" font-size=\"12\">"
          << xml_escape(cv.name) << "</text>\n";
    }
    s << "</svg>\n";
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return fail(error, "cannot write '" + path + "': " + strerror(errno));
    std::string text = s.str();
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok) return fail(error, "cannot write '" + path + "'");
    return true;
}

uint64_t heap_bytes_in_use() {
    struct mallinfo2 info = mallinfo2();
    return (uint64_t)info.uordblks + (uint64_t)info.hblkhd;
}
