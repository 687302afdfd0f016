// Data sets, file parsers, progress display and plotting for the vexal tool.
#ifndef VEXAL_TOOL_DATA_H
#define VEXAL_TOOL_DATA_H

#include <stdint.h>

#include <string>
#include <vector>

// A dense row-major matrix of float vectors.
struct Matrix {
    uint64_t rows = 0;
    uint32_t dim = 0;
    std::vector<float> data;
    const float *row(uint64_t i) const { return data.data() + i * dim; }
};

// Reads vectors from .fvecs, .bvecs, .npy (2-D float32) or .csv (one vector a
// line, comma separated). On failure returns false and sets error to a
// one-line message.
bool load_vectors(const std::string &path, Matrix *out, std::string *error);
bool parse_fvecs(const std::string &bytes, Matrix *out, std::string *error);
bool parse_bvecs(const std::string &bytes, Matrix *out, std::string *error);
bool parse_npy(const std::string &bytes, Matrix *out, std::string *error);
bool parse_csv(const std::string &text, Matrix *out, std::string *error);
// Writes m as .npy (2-D float32) or .fvecs, chosen by the extension.
bool save_vectors(const std::string &path, const Matrix &m, std::string *error);
bool vectors_file_type_known(const std::string &path);
// True when path ends with ext (lower case, with the dot) in any case.
bool has_extension(const std::string &path, const char *ext);
bool write_file(const std::string &path, const std::string &bytes, std::string *error);
// Parses "x,y,z" into floats; false on an empty, malformed, infinite or
// out-of-range number.
bool parse_float_list(const std::string &text, std::vector<float> *out, std::string *error);

// Fashion-MNIST from the idx files of Debian's dataset package, decompressed
// through gzip -dc. Labels are optional (empty when missing).
// Bytes the process holds from the C allocator (in use, mapped blocks
// included): the difference across a build is what the built index keeps,
// measured the same way for every method.
uint64_t heap_bytes_in_use();

bool load_idx_images(const std::string &gz_path, Matrix *out, std::string *error);
bool load_idx_labels(const std::string &gz_path, std::vector<uint8_t> *out, std::string *error);

// Clustered random data of the given shape (deterministic for a seed).
void make_clustered(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed, Matrix *out,
                    std::vector<uint8_t> *labels);

// Exact k nearest neighbours by squared L2 for every query (ground truth),
// computed on all cores. ids are 1-based positions in base.
void exact_knn(const Matrix &base, const Matrix &queries, uint32_t k, std::vector<uint64_t> *ids);

// Fraction of the first k true neighbours found among the first k answers.
double recall_at_k(const std::vector<uint64_t> &truth, const std::vector<uint64_t> &found,
                   uint64_t queries, uint32_t k);

// A progress bar on standard error, drawn only when it is a terminal.
struct Progress {
    Progress(const char *label, uint64_t total);
    void update(uint64_t done);
    void finish();
    std::string label;
    uint64_t total;
    bool tty;
    int last_percent = -1;
};

// One recall/QPS curve of the benchmark plot.
struct Curve {
    std::string name;
    std::vector<double> recall, qps;
};
// Writes an SVG line chart of QPS (log scale) over recall@10.
bool write_svg_plot(const std::string &path, const std::string &title, const std::vector<Curve> &curves,
                    std::string *error);

double percentile(std::vector<double> values, double p);
std::string read_file(const std::string &path, bool *ok);

#endif
