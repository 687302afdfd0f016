// vexal: the command-line front end of the library. It uses libvexal only
// through its public header.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "vexal.h"
#include "vexal_data.h"
#include "vexal_tool.h"

static const char *FASHION_DIR = "/usr/share/datasets/fashion-mnist";
static const uint64_t DEMO_SEED = 20261208;

/* ---- small helpers ---------------------------------------------------------- */

int tool_error(const std::string &message) {
    fprintf(stderr, "vexal: %s\n", message.c_str());
    return 1;
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

static vx_str view_of(const std::string &s) {
    vx_str v = {const_cast<char *>(s.c_str()), (uint64_t)s.size()};
    return v;
}

static bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool open_database(const std::string &dir, bool create, vx_daded **db, std::string *error, bool read_only) {
    if (!create && !is_directory(dir)) {
        *error = "no database at '" + dir + "'";
        return false;
    }
    vx_db_config config;
    memset(&config, 0, sizeof(config));
    config.path = view_of(dir);
    config.storage_mode = 1;
    config.create_if_missing = create ? 1 : 0;
    config.read_only = read_only ? 1 : 0;
    vx_status st = vx_daded_open_ex(&config, db);
    if (st != VX_OK) {
        *error = "cannot open database '" + dir + "': " + vx_error_message(st);
        return false;
    }
    return true;
}

bool close_database(vx_daded *db, std::string *error) {
    vx_status st = vx_daded_close(db);
    if (st != VX_OK) {
        *error = std::string("saving the database failed: ") + vx_error_message(st);
        return false;
    }
    return true;
}

vx_collection *find_collection(vx_daded *db, const std::string &name) {
    vx_str n = view_of(name);
    return vx_daded_get_collection(db, &n);
}

static vx_status create_collection(vx_daded *db, const std::string &name, uint32_t dim, int32_t metric,
                                   vx_collection **out) {
    vx_collection_config config;
    memset(&config, 0, sizeof(config));
    config.name = view_of(name);
    config.dimension = dim;
    config.metric = (vx_metric)metric;
    config.index_type = VX_INDEX_HNSW;
    config.auto_resize = 1;
    return vx_daded_create_collection_ex(db, &config, out);
}

static bool parse_metric(const std::string &word, int32_t *metric) {
    if (word == "l2") *metric = 0;
    else if (word == "ip") *metric = 1;
    else if (word == "cosine") *metric = 2;
    else return false;
    return true;
}

static bool parse_u64(const std::string &text, uint64_t *out) {
    if (text.empty() || text[0] == '-') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE) return false;
    *out = v;
    return true;
}

// Takes the value of an option given as "--name value" or "--name=value".
static bool option_value(const std::vector<std::string> &args, size_t *i, const std::string &name,
                         std::string *value) {
    const std::string &a = args[*i];
    if (a == name) {
        if (*i + 1 >= args.size()) return false;
        *value = args[++*i];
        return true;
    }
    if (a.compare(0, name.size() + 1, name + "=") == 0) {
        *value = a.substr(name.size() + 1);
        return true;
    }
    return false;
}

static bool wants_help(const std::vector<std::string> &args) {
    for (const std::string &a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

/* ---- help texts ------------------------------------------------------------- */

static const char *HELP_MAIN =
    "usage: vexal COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  demo [DIR]                         end-to-end demonstration on Fashion-MNIST\n"
    "  import DB COLLECTION FILE          import vectors (.fvecs .bvecs .npy .csv)\n"
    "  search DB COLLECTION (--vector x,y,... | --queries FILE) [-k 10] [--filter key=value]\n"
    "  build-index DB COLLECTION          build the collection's index\n"
    "  info DB                            print the database summary\n"
    "  bench [--dataset fashion-mnist|random-128] [--threads N] [--out FILE.json] [--plot FILE.svg]\n"
    "\n"
    "Run 'vexal help COMMAND' or 'vexal COMMAND --help' for details.\n";

static const char *HELP_DEMO =
    "usage: vexal demo [DIR] [--synthetic] [--base N] [--queries N] [--truth N]\n"
    "\n"
    "Opens a persistent database in DIR (default: a fresh temporary directory,\n"
    "removed afterwards), loads Fashion-MNIST (60,000 vectors and 10,000 queries of\n"
    "dimension 784) from " "/usr/share/datasets/fashion-mnist, inserts it, builds the\n"
    "HNSW index, runs the queries and prints recall@10 against exact search,\n"
    "queries per second and p50/p99 latency. Then it closes the database, reopens\n"
    "it and checks that the same queries return the same answers.\n"
    "Without the data set (apt-get install dataset-fashion-mnist) or with\n"
    "--synthetic it runs the same steps on clustered random data of that shape.\n"
    "--base and --queries shrink the run; --truth sets how many queries the\n"
    "recall is measured on against exact search (default 1000, 0 for all).\n";

static const char *HELP_IMPORT =
    "usage: vexal import DB COLLECTION FILE [--metric l2|ip|cosine] [--meta key=value]\n"
    "\n"
    "Imports every vector of FILE into COLLECTION of the database directory DB,\n"
    "creating both when missing. FILE is .fvecs, .bvecs, .npy (2-D float32) or\n"
    ".csv (one vector a line, comma separated). --meta attaches one metadata\n"
    "entry (an integer when the value is one, else a string) to every vector.\n"
    "The whole file is checked before anything is written.\n";

static const char *HELP_SEARCH =
    "usage: vexal search DB COLLECTION (--vector x,y,... | --queries FILE) [-k 10] [--filter key=value]\n"
    "\n"
    "Prints the k nearest neighbours (id and distance) of each query. --filter\n"
    "keeps only records whose metadata entry key equals value (an integer when\n"
    "the value is one, else a string compared without regard to case).\n";

static const char *HELP_BUILD =
    "usage: vexal build-index DB COLLECTION\n"
    "\n"
    "Builds the collection's index (HNSW for collections made by this tool) and\n"
    "saves the database; searches then use the index.\n";

static const char *HELP_INFO =
    "usage: vexal info DB\n"
    "\n"
    "Prints the library's summary of the database: version, path, collections,\n"
    "their sizes and dimensions.\n";

static int print_help(const std::string &command) {
    if (command == "demo") fputs(HELP_DEMO, stdout);
    else if (command == "import") fputs(HELP_IMPORT, stdout);
    else if (command == "search") fputs(HELP_SEARCH, stdout);
    else if (command == "build-index") fputs(HELP_BUILD, stdout);
    else if (command == "info") fputs(HELP_INFO, stdout);
    else if (command == "bench") fputs(HELP_BENCH, stdout);
    else if (command.empty()) fputs(HELP_MAIN, stdout);
    else return tool_error("unknown command '" + command + "' (see vexal --help)");
    return 0;
}

/* ---- metadata and filters ---------------------------------------------------- */

// A key=value pair as a metadata entry; the strings must outlive the entry.
struct KeyValue {
    std::string key, value;
    bool is_int = false;
    int64_t number = 0;
};

static bool parse_key_value(const std::string &text, KeyValue *kv) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    kv->key = text.substr(0, eq);
    kv->value = text.substr(eq + 1);
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(kv->value.c_str(), &end, 10);
    kv->is_int = !kv->value.empty() && *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
    kv->number = v;
    return true;
}

static vx_meta_entry meta_entry_of(const KeyValue &kv) {
    vx_meta_entry e;
    memset(&e, 0, sizeof(e));
    e.key = view_of(kv.key);
    if (kv.is_int) {
        e.type = VX_META_INT32;
        e.value.i32 = (int32_t)kv.number;
    } else {
        e.type = VX_META_STRING;
        e.value.str = view_of(kv.value);
    }
    return e;
}

static vx_filter filter_of(const KeyValue &kv) {
    vx_filter f;
    memset(&f, 0, sizeof(f));
    f.kind = VX_FILTER_CONDITION;
    f.key = kv.key.c_str();
    f.op = VX_OP_EQ;
    if (kv.is_int) {
        f.value.i64 = kv.number;  // also readable as a 32-bit value
    } else {
        f.value.str = view_of(kv.value);
    }
    return f;
}

/* ---- import ------------------------------------------------------------------ */

static int cmd_import(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("import");
    std::vector<std::string> pos;
    std::string metric_word = "l2", meta_text;
    for (size_t i = 0; i < args.size(); i++) {
        std::string v;
        if (option_value(args, &i, "--metric", &v)) metric_word = v;
        else if (option_value(args, &i, "--meta", &v)) meta_text = v;
        else if (args[i].compare(0, 2, "--") == 0) return tool_error("import: unknown option '" + args[i] + "'");
        else pos.push_back(args[i]);
    }
    if (pos.size() != 3) return tool_error("import: expected DB COLLECTION FILE (see vexal help import)");
    int32_t metric;
    if (!parse_metric(metric_word, &metric)) return tool_error("import: unknown metric '" + metric_word + "'");
    KeyValue meta;
    if (!meta_text.empty() && !parse_key_value(meta_text, &meta))
        return tool_error("import: --meta wants key=value, got '" + meta_text + "'");

    Matrix m;
    std::string error;
    if (!load_vectors(pos[2], &m, &error)) return tool_error(error);

    // Checks first on a read-only opening, which is never written back, so
    // that refused input leaves the database exactly as it was.
    vx_daded *db = nullptr;
    if (is_directory(pos[0])) {
        if (!open_database(pos[0], false, &db, &error, true)) return tool_error(error);
        vx_collection *existing = find_collection(db, pos[1]);
        vx_collection_stats stats;
        memset(&stats, 0, sizeof(stats));
        if (existing) vx_collection_get_stats(existing, &stats);
        vx_daded_close(db);
        if (existing && stats.dimension != m.dim)
            return tool_error("import: '" + pos[2] + "' has dimension " + std::to_string(m.dim) + ", collection '" +
                              pos[1] + "' has " + std::to_string(stats.dimension));
    }
    if (!open_database(pos[0], true, &db, &error)) return tool_error(error);
    vx_collection *c = find_collection(db, pos[1]);
    if (!c) {
        vx_status st = create_collection(db, pos[1], m.dim, metric, &c);
        if (st != VX_OK) {
            vx_daded_close(db);
            return tool_error("import: cannot create collection '" + pos[1] + "': " + vx_error_message(st));
        }
    }
    Progress progress("import", m.rows);
    vx_meta_entry entry = meta_entry_of(meta);
    const uint64_t chunk = 1000;
    for (uint64_t i = 0; i < m.rows; i += chunk) {
        uint64_t n = std::min(chunk, m.rows - i);
        vx_status st = VX_OK;
        if (meta_text.empty()) {
            st = vx_collection_insert_batch(c, m.row(i), n, nullptr);
        } else {
            for (uint64_t j = 0; j < n && st == VX_OK; j++)
                st = vx_collection_insert_with_meta(c, m.row(i + j), &entry, 1, nullptr);
        }
        if (st != VX_OK) {
            // Leave without closing, which would save: the files on disk keep
            // their earlier state.
            return tool_error(std::string("import: insertion failed: ") + vx_error_message(st));
        }
        progress.update(i + n);
    }
    progress.finish();
    if (!close_database(db, &error)) return tool_error(error);
    printf("imported %llu vectors of dimension %u into '%s'\n", (unsigned long long)m.rows, m.dim, pos[1].c_str());
    return 0;
}

/* ---- search ------------------------------------------------------------------ */

static int cmd_search(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("search");
    std::vector<std::string> pos;
    std::string vector_text, queries_path, filter_text, k_text = "10";
    for (size_t i = 0; i < args.size(); i++) {
        std::string v;
        if (option_value(args, &i, "--vector", &v)) vector_text = v;
        else if (option_value(args, &i, "--queries", &v)) queries_path = v;
        else if (option_value(args, &i, "--filter", &v)) filter_text = v;
        else if (option_value(args, &i, "-k", &v) || option_value(args, &i, "--k", &v)) k_text = v;
        else if (args[i].compare(0, 1, "-") == 0) return tool_error("search: unknown option '" + args[i] + "'");
        else pos.push_back(args[i]);
    }
    if (pos.size() != 2) return tool_error("search: expected DB COLLECTION (see vexal help search)");
    if (vector_text.empty() == queries_path.empty()) return tool_error("search: give exactly one of --vector and --queries");
    uint64_t k;
    if (!parse_u64(k_text, &k) || k == 0 || k > 100000) return tool_error("search: bad -k '" + k_text + "'");
    KeyValue kv;
    if (!filter_text.empty() && !parse_key_value(filter_text, &kv))
        return tool_error("search: --filter wants key=value, got '" + filter_text + "'");

    Matrix queries;
    std::string error;
    if (!vector_text.empty()) {
        std::vector<float> v;
        if (!parse_float_list(vector_text, &v, &error)) return tool_error("search: " + error);
        queries.rows = 1;
        queries.dim = (uint32_t)v.size();
        queries.data = v;
    } else if (!load_vectors(queries_path, &queries, &error)) {
        return tool_error(error);
    }

    vx_daded *db = nullptr;
    if (!open_database(pos[0], false, &db, &error, true)) return tool_error(error);
    vx_collection *c = find_collection(db, pos[1]);
    if (!c) {
        vx_daded_close(db);
        return tool_error("search: no collection '" + pos[1] + "' in '" + pos[0] + "'");
    }
    vx_collection_stats stats;
    vx_collection_get_stats(c, &stats);
    if (stats.dimension != queries.dim) {
        vx_daded_close(db);
        return tool_error("search: query has dimension " + std::to_string(queries.dim) + ", collection '" + pos[1] +
                          "' has " + std::to_string(stats.dimension));
    }
    vx_filter filter = filter_of(kv);
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = k;
    opt.filter = filter_text.empty() ? nullptr : &filter;
    std::vector<vx_search_hit> hits(k);
    for (uint64_t q = 0; q < queries.rows; q++) {
        uint64_t n = vx_collection_search(c, queries.row(q), &opt, hits.data());
        if (queries.rows > 1) printf("query %llu\n", (unsigned long long)(q + 1));
        for (uint64_t i = 0; i < n; i++)
            printf("%3llu  id %-10llu distance %.6g\n", (unsigned long long)(i + 1), (unsigned long long)hits[i].id,
                   (double)hits[i].distance);
        if (n == 0) printf("  (no hits)\n");
    }
    if (!close_database(db, &error)) return tool_error(error);
    return 0;
}

/* ---- build-index and info ---------------------------------------------------- */

static int cmd_build_index(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("build-index");
    if (args.size() != 2) return tool_error("build-index: expected DB COLLECTION (see vexal help build-index)");
    vx_daded *db = nullptr;
    std::string error;
    if (!open_database(args[0], false, &db, &error)) return tool_error(error);
    vx_collection *c = find_collection(db, args[1]);
    if (!c) {
        vx_daded_close(db);
        return tool_error("build-index: no collection '" + args[1] + "' in '" + args[0] + "'");
    }
    double t0 = now_seconds();
    vx_status st = vx_collection_build_index(c);
    if (st != VX_OK) {
        vx_daded_close(db);
        return tool_error(std::string("build-index: ") + vx_error_message(st));
    }
    double t1 = now_seconds();
    if (!close_database(db, &error)) return tool_error(error);
    printf("index of '%s' built in %.2f s\n", args[1].c_str(), t1 - t0);
    return 0;
}

static int cmd_info(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("info");
    if (args.size() != 1) return tool_error("info: expected DB (see vexal help info)");
    vx_daded *db = nullptr;
    std::string error;
    if (!open_database(args[0], false, &db, &error, true)) return tool_error(error);
    vx_daded_print_info(db);
    fflush(stdout);
    if (!close_database(db, &error)) return tool_error(error);
    return 0;
}

/* ---- demo -------------------------------------------------------------------- */

struct DemoData {
    Matrix base, queries;
    std::vector<uint8_t> labels;
    std::string source;
};

static bool load_demo_data(bool synthetic, uint64_t base_n, uint64_t query_n, DemoData *d) {
    std::string dir = FASHION_DIR, error;
    if (!synthetic) {
        if (load_idx_images(dir + "/train-images-idx3-ubyte.gz", &d->base, &error) &&
            load_idx_images(dir + "/t10k-images-idx3-ubyte.gz", &d->queries, &error)) {
            if (!load_idx_labels(dir + "/train-labels-idx1-ubyte.gz", &d->labels, &error)) d->labels.clear();
            d->source = "Fashion-MNIST";
        } else {
            printf("Fashion-MNIST is not installed (%s).\n"
                   "Install it with: apt-get install dataset-fashion-mnist\n"
                   "Running the same steps on synthetic clustered data of the same shape.\n\n",
                   error.c_str());
            synthetic = true;
        }
    }
    if (synthetic) {
        make_clustered(base_n ? base_n : 60000, 784, 1, DEMO_SEED, &d->base, &d->labels);
        make_clustered(query_n ? query_n : 10000, 784, 1, DEMO_SEED + 1, &d->queries, nullptr);
        d->source = "synthetic clustered data";
    }
    if (base_n && base_n < d->base.rows) {
        d->base.rows = base_n;
        d->base.data.resize(base_n * d->base.dim);
        if (d->labels.size() > base_n) d->labels.resize(base_n);
    }
    if (query_n && query_n < d->queries.rows) {
        d->queries.rows = query_n;
        d->queries.data.resize(query_n * d->queries.dim);
    }
    return true;
}

// Runs every query through the collection, recording ids and latencies.
static void run_queries(vx_collection *c, const Matrix &queries, uint32_t k, std::vector<uint64_t> *ids,
                        std::vector<double> *latency_ms, double *seconds) {
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = k;
    std::vector<vx_search_hit> hits(k);
    ids->assign(queries.rows * k, 0);
    latency_ms->assign(queries.rows, 0.0);
    double start = now_seconds();
    for (uint64_t q = 0; q < queries.rows; q++) {
        double t0 = now_seconds();
        uint64_t n = vx_collection_search(c, queries.row(q), &opt, hits.data());
        (*latency_ms)[q] = (now_seconds() - t0) * 1000.0;
        for (uint64_t i = 0; i < n && i < k; i++) (*ids)[q * k + i] = hits[i].id;
    }
    *seconds = now_seconds() - start;
}

static std::string make_temp_dir() {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vexal-demo-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

static void remove_tree(const std::string &dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "vexal: could not remove '%s'\n", dir.c_str());
}

static int demo_steps(const std::string &dir, const DemoData &d, uint64_t truth_n) {
    const uint32_t k = 10;
    std::string error;
    printf("data: %s, %llu base vectors and %llu queries of dimension %u\n", d.source.c_str(),
           (unsigned long long)d.base.rows, (unsigned long long)d.queries.rows, d.base.dim);
    printf("database: %s\n\n", dir.c_str());

    vx_srand(DEMO_SEED);
    vx_daded *db = nullptr;
    if (!open_database(dir, true, &db, &error)) return tool_error(error);
    vx_collection *c = nullptr;
    if (find_collection(db, "fashion")) {
        vx_daded_close(db);
        return tool_error("demo: '" + dir + "' already holds a collection 'fashion'; use an empty directory");
    }
    vx_status st = create_collection(db, "fashion", d.base.dim, 0, &c);
    if (st != VX_OK) return tool_error(std::string("demo: cannot create collection: ") + vx_error_message(st));

    // 1. Insert, each vector with its class label as metadata.
    Progress progress("insert", d.base.rows);
    std::string label_key = "label";
    double t0 = now_seconds();
    for (uint64_t i = 0; i < d.base.rows; i++) {
        vx_meta_entry e;
        memset(&e, 0, sizeof(e));
        e.key = view_of(label_key);
        e.type = VX_META_INT32;
        e.value.i32 = d.labels.empty() ? 0 : d.labels[i];
        st = vx_collection_insert_with_meta(c, d.base.row(i), &e, 1, nullptr);
        if (st != VX_OK) return tool_error(std::string("demo: insertion failed: ") + vx_error_message(st));
        if (i % 500 == 0) progress.update(i);
    }
    progress.finish();
    double t_insert = now_seconds() - t0;
    printf("inserted %llu vectors in %.2f s\n", (unsigned long long)d.base.rows, t_insert);

    // 2. Build the HNSW index.
    printf("building the HNSW index (M 16, ef_construction 200) ...\n");
    fflush(stdout);
    t0 = now_seconds();
    st = vx_collection_build_index(c);
    if (st != VX_OK) return tool_error(std::string("demo: index build failed: ") + vx_error_message(st));
    double t_build = now_seconds() - t0;
    printf("index built in %.2f s\n", t_build);

    // 3. Exact answers for the recall, over the first truth_n queries.
    Matrix truth_queries = d.queries;
    truth_queries.rows = std::min(truth_n ? truth_n : d.queries.rows, d.queries.rows);
    truth_queries.data.resize(truth_queries.rows * truth_queries.dim);
    printf("computing the exact answers of %llu queries ...\n", (unsigned long long)truth_queries.rows);
    fflush(stdout);
    t0 = now_seconds();
    std::vector<uint64_t> truth;
    exact_knn(d.base, truth_queries, k, &truth);
    printf("exact search done in %.2f s\n\n", now_seconds() - t0);

    // 4. Queries through the index.
    std::vector<uint64_t> found;
    std::vector<double> latency;
    double seconds = 0;
    run_queries(c, d.queries, k, &found, &latency, &seconds);
    double recall = recall_at_k(truth, found, truth_queries.rows, k);
    printf("queries:          %llu, k = %u, one thread\n", (unsigned long long)d.queries.rows, k);
    printf("recall@10:        %.4f (against exact search, first %llu queries)\n", recall,
           (unsigned long long)truth_queries.rows);
    printf("queries/second:   %.0f\n", (double)d.queries.rows / seconds);
    printf("latency p50:      %.3f ms\n", percentile(latency, 50));
    printf("latency p99:      %.3f ms\n\n", percentile(latency, 99));

    // 5. A filtered search: the nearest items of the first query's own class.
    if (!d.labels.empty()) {
        vx_filter f;
        memset(&f, 0, sizeof(f));
        f.kind = VX_FILTER_CONDITION;
        f.key = label_key.c_str();
        f.op = VX_OP_EQ;
        f.value.i32 = d.labels[found[0] ? found[0] - 1 : 0];
        vx_search_options opt;
        memset(&opt, 0, sizeof(opt));
        opt.k = 5;
        opt.filter = &f;
        vx_search_hit hits[5];
        uint64_t n = vx_collection_search(c, d.queries.row(0), &opt, hits);
        printf("filtered search (label = %d) for query 1:", f.value.i32);
        for (uint64_t i = 0; i < n; i++) printf(" %llu", (unsigned long long)hits[i].id);
        printf("\n\n");
    }

    // 6. Close, reopen and ask again.
    t0 = now_seconds();
    if (!close_database(db, &error)) return tool_error("demo: " + error);
    double t_close = now_seconds() - t0;
    vx_srand(DEMO_SEED);
    t0 = now_seconds();
    if (!open_database(dir, false, &db, &error)) return tool_error("demo: " + error);
    double t_open = now_seconds() - t0;
    c = find_collection(db, "fashion");
    if (!c) {
        vx_daded_close(db);
        return tool_error("demo: the collection did not come back after reopening");
    }
    printf("closed in %.2f s, reopened in %.2f s\n", t_close, t_open);
    std::vector<uint64_t> again;
    run_queries(c, d.queries, k, &again, &latency, &seconds);
    uint64_t same = 0;
    for (uint64_t q = 0; q < d.queries.rows; q++)
        if (std::equal(found.begin() + q * k, found.begin() + (q + 1) * k, again.begin() + q * k)) same++;
    printf("after reopening:  %llu of %llu queries return the same answers\n", (unsigned long long)same,
           (unsigned long long)d.queries.rows);
    printf("recall@10:        %.4f, %.0f queries/second\n", recall_at_k(truth, again, truth_queries.rows, k),
           (double)d.queries.rows / seconds);
    if (!close_database(db, &error)) return tool_error("demo: " + error);
    if (same != d.queries.rows) return tool_error("demo: answers changed after reopening");
    printf("\ndemo finished: answers identical after reopening\n");
    return 0;
}

static int cmd_demo(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("demo");
    std::string dir, v;
    bool synthetic = false;
    uint64_t base_n = 0, query_n = 0, truth_n = 1000;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--synthetic") synthetic = true;
        else if (option_value(args, &i, "--truth", &v)) {
            if (!parse_u64(v, &truth_n)) return tool_error("demo: bad --truth '" + v + "'");
        }
        else if (option_value(args, &i, "--base", &v)) {
            if (!parse_u64(v, &base_n) || base_n == 0) return tool_error("demo: bad --base '" + v + "'");
        } else if (option_value(args, &i, "--queries", &v)) {
            if (!parse_u64(v, &query_n) || query_n == 0) return tool_error("demo: bad --queries '" + v + "'");
        } else if (args[i].compare(0, 1, "-") == 0) {
            return tool_error("demo: unknown option '" + args[i] + "'");
        } else if (dir.empty()) {
            dir = args[i];
        } else {
            return tool_error("demo: too many arguments (see vexal help demo)");
        }
    }
    DemoData d;
    load_demo_data(synthetic, base_n, query_n, &d);
    bool temporary = dir.empty();
    if (temporary) {
        dir = make_temp_dir();
        if (dir.empty()) return tool_error("demo: cannot create a temporary directory");
    }
    int rc = demo_steps(dir, d, truth_n);
    if (temporary) remove_tree(dir);
    return rc;
}

/* ---- main -------------------------------------------------------------------- */

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        fputs(HELP_MAIN, args.empty() ? stderr : stdout);
        return args.empty() ? 1 : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "help") return print_help(args.empty() ? "" : args[0]);
    if (command == "demo") return cmd_demo(args);
    if (command == "import") return cmd_import(args);
    if (command == "search") return cmd_search(args);
    if (command == "build-index") return cmd_build_index(args);
    if (command == "info") return cmd_info(args);
    if (command == "bench") return cmd_bench(args);
    return tool_error("unknown command '" + command + "' (see vexal --help)");
}
