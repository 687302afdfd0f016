// vexal: the command-line front end of the library. It uses libvexal only
// through its public header.
//
// Every command that changes a database first checks its whole input against
// a read-only opening, which is never written back; a command that fails
// leaves every file of the database as it was.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "vexal.h"
#include "vexal_data.h"
#include "vexal_jsonl.h"
#include "vexal_tool.h"

#ifndef VEXAL_VERSION
#define VEXAL_VERSION "0.1.32"
#endif

static const char *FASHION_DIR = "/usr/share/datasets/fashion-mnist";
static const uint64_t DEMO_SEED = 20261208;
static const uint64_t MAX_K = 100000;

/* ---- small helpers ---------------------------------------------------------- */

int tool_error(const std::string &message) {
    fprintf(stderr, "vexal: %s\n", message.c_str());
    return 1;
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

vx_str view_of(const std::string &s) {
    vx_str v = {const_cast<char *>(s.c_str()), (uint64_t)s.size()};
    return v;
}

bool is_directory(const std::string &path) {
    vx_str p = view_of(path);
    return vx_file_is_directory(&p) == 1;
}

static std::string plural(uint64_t n, const char *word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

static void remove_tree(const std::string &dir) {
    vx_str d = view_of(dir);
    if (vx_file_rmdir_recursive(&d) != VX_OK) fprintf(stderr, "vexal: could not remove '%s'\n", dir.c_str());
}

// A failure's message, with the library's reason (which names the file or
// the process holding the database) when it recorded one for this status.
static std::string error_text(vx_status st) {
    std::string text = vx_error_message(st);
    vx_error_info info;
    vx_error_get(&info);
    if (info.status == st && info.detail && *info.detail) text += std::string(": ") + info.detail;
    return text;
}

bool open_database(const std::string &dir, OpenMode mode, vx_daded **db, std::string *error) {
    if (!mode.create && !is_directory(dir)) {
        *error = "no database at '" + dir + "'";
        return false;
    }
    vx_db_config config;
    memset(&config, 0, sizeof(config));
    config.path = view_of(dir);
    config.storage_mode = 1;
    config.create_if_missing = mode.create ? 1 : 0;
    config.read_only = mode.read_only ? 1 : 0;
    vx_error_clear();
    vx_status st = vx_daded_open_ex(&config, db);
    if (st != VX_OK) {
        *error = "cannot open database '" + dir + "': " + error_text(st);
        return false;
    }
    return true;
}

bool close_database(vx_daded *db, std::string *error) {
    vx_error_clear();
    vx_status st = vx_daded_close(db);
    if (st != VX_OK) {
        *error = std::string("saving the database failed: ") + error_text(st);
        return false;
    }
    return true;
}

vx_collection *find_collection(vx_daded *db, const std::string &name) {
    vx_str n = view_of(name);
    return vx_daded_get_collection(db, &n);
}

// Fails a command after it changed a database in memory: the handle is left
// unclosed, since closing would save, so the files keep their earlier state.
// A database directory the command itself created goes away.
[[noreturn]] static void abandon(const std::string &message, const std::string &created_dir) {
    tool_error(message);
    if (!created_dir.empty()) remove_tree(created_dir);
    fflush(NULL);
    _exit(1);
}

// The names the library accepts for a collection.
static bool valid_collection_name(const std::string &name) {
    if (name.empty() || name.size() > 63 || name == "." || name == "..") return false;
    return name.find_first_of(std::string("/\\\n\r\0", 5)) == std::string::npos;
}

static uint64_t collection_count(vx_collection *c) {
    vx_collection_stats stats;
    memset(&stats, 0, sizeof(stats));
    vx_collection_get_stats(c, &stats);
    return stats.count;
}

static uint32_t collection_dimension(vx_collection *c) {
    vx_collection_stats stats;
    memset(&stats, 0, sizeof(stats));
    vx_collection_get_stats(c, &stats);
    return stats.dimension;
}

/* ---- names of metrics and index kinds ----------------------------------------- */

struct Named {
    const char *name;
    int32_t code;
};
static const Named METRICS[] = {{"l2", VX_METRIC_L2}, {"ip", VX_METRIC_IP}, {"cosine", VX_METRIC_COSINE}};
static const Named INDEX_KINDS[] = {{"flat", VX_INDEX_FLAT},     {"ivf", VX_INDEX_IVF},
                                    {"hnsw", VX_INDEX_HNSW},     {"ivf-pq", VX_INDEX_IVF_PQ},
                                    {"hnsw-pq", VX_INDEX_HNSW_PQ}, {"ivf-sq", VX_INDEX_IVF_SQ},
                                    {"hnsw-sq", VX_INDEX_HNSW_SQ}};

template <size_t N>
static bool code_of(const Named (&table)[N], const std::string &word, int32_t *code) {
    for (const Named &n : table)
        if (word == n.name) {
            *code = n.code;
            return true;
        }
    return false;
}

template <size_t N>
static const char *name_of(const Named (&table)[N], int32_t code) {
    for (const Named &n : table)
        if (n.code == code) return n.name;
    return "none";
}

// The header of a collection's file in a database directory, as the library
// saved it (the file layout is public: a storage header whose data offset
// points at the collection header).
static bool stored_collection_header(const std::string &dir, const std::string &name, vx_collection_header *h) {
    FILE *f = fopen((dir + "/" + name + ".vxcol").c_str(), "rb");
    if (!f) return false;
    vx_file_header file;
    bool ok = fread(&file, sizeof(file), 1, f) == 1 && fseek(f, (long)file.data_offset, SEEK_SET) == 0 &&
              fread(h, sizeof(*h), 1, f) == 1 && memcmp(&h->magic, "OCXV", 4) == 0;
    fclose(f);
    return ok;
}

/* ---- help texts ------------------------------------------------------------- */

static const char *HELP_MAIN =
    "usage: vexal COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  demo [DIR]                         end-to-end demonstration on Fashion-MNIST\n"
    "  import DB COLLECTION FILE          import vectors (.fvecs .bvecs .npy .csv)\n"
    "  export DB COLLECTION FILE          write vectors (.npy .fvecs) and FILE.jsonl\n"
    "  search DB COLLECTION (--vector x,y,... | --queries FILE) [-k 10] [--filter key=value]\n"
    "  build-index DB COLLECTION          build the collection's index\n"
    "  drop DB COLLECTION                 delete a collection\n"
    "  info DB                            list the collections of a database\n"
    "  bench [--dataset NAME] [--graphs-only] [--threads N] [--out FILE.json] [--plot FILE.svg]\n"
    "  --version                          print the program's and the library's version\n"
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
    "usage: vexal import DB COLLECTION FILE [--metric l2|ip|cosine] [--meta key=value]...\n"
    "                    [--index hnsw|ivf|ivf-sq|ivf-pq|flat] [--M 16] [--ef-construction 200]\n"
    "                    [--nlist N]\n"
    "\n"
    "Imports every vector of FILE into COLLECTION of the database directory DB,\n"
    "creating both when missing (a new collection: metric l2 and index hnsw unless\n"
    "given). FILE is .fvecs, .bvecs, .npy (2-D float32) or .csv (one vector a line,\n"
    "comma separated), in any case. When FILE.jsonl lies beside it (as 'vexal\n"
    "export' writes it), its lines give each vector's id and metadata: records\n"
    "whose id exists are replaced, the others keep their ids. Each --meta attaches\n"
    "one metadata entry (an integer when the value is one, else a string) to every\n"
    "vector. --metric and --index that contradict an existing collection are\n"
    "refused. A new collection's graph takes --M (default 16) and\n"
    "--ef-construction (default 200); an inverted file takes --nlist (default\n"
    "about 4 sqrt(n) lists for n vectors, a sixteenth of them probed). These\n"
    "shape the index when the collection is created and are refused otherwise.\n"
    "The whole input is checked before anything is written.\n";

static const char *HELP_SEARCH =
    "usage: vexal search DB COLLECTION (--vector x,y,... | --queries FILE) [-k 10]\n"
    "                    [--filter key=value]... [--ef N | --nprobe N]\n"
    "\n"
    "Prints the k nearest neighbours (id and distance) of each query; k runs from\n"
    "1 to 100000. Each --filter keeps only records whose metadata entry key\n"
    "equals value (an integer when the value is one, else a string compared\n"
    "without regard to case); several must all hold. The search width is the\n"
    "collection's own (ef 64 for a graph) unless --ef (a graph) or --nprobe (an\n"
    "inverted file) sets it for this search.\n";

static const char *HELP_BUILD =
    "usage: vexal build-index DB COLLECTION\n"
    "\n"
    "Builds the collection's index (HNSW for collections made by this tool unless\n"
    "imported with --index) and saves the database; searches then use the index.\n"
    "On a terminal the time spent so far is shown while it runs.\n";

static const char *HELP_DROP =
    "usage: vexal drop DB COLLECTION\n"
    "\n"
    "Deletes the collection and its files from the database directory.\n";

static const char *HELP_INFO =
    "usage: vexal info DB\n"
    "\n"
    "Prints the library version, the database path and each collection: its\n"
    "size, dimension, metric, index kind and whether searches use the index.\n";

static int print_help(const std::string &command) {
    static const struct {
        const char *command;
        const char **text;
    } pages[] = {{"", &HELP_MAIN},          {"demo", &HELP_DEMO},   {"import", &HELP_IMPORT},
                 {"export", &HELP_EXPORT},  {"search", &HELP_SEARCH}, {"build-index", &HELP_BUILD},
                 {"drop", &HELP_DROP},      {"info", &HELP_INFO},   {"bench", &HELP_BENCH}};
    for (const auto &p : pages)
        if (command == p.command) {
            fputs(*p.text, stdout);
            return 0;
        }
    return tool_error("unknown command '" + command + "' (see vexal --help)");
}

static bool wants_help(const std::vector<std::string> &args) {
    for (const std::string &a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

static int print_version() {
    vx_str lib = vx_daded_version();
    printf("vexal %s (library: %.*s)\n", VEXAL_VERSION, (int)lib.len, lib.data);
    return 0;
}

/* ---- metadata and filters ---------------------------------------------------- */

// A key=value pair from the command line.
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

static bool parse_key_values(const char *what, const std::vector<std::string> &texts, std::vector<KeyValue> *out,
                             std::string *error) {
    for (const std::string &t : texts) {
        KeyValue kv;
        if (!parse_key_value(t, &kv)) {
            *error = std::string(what) + " wants key=value, got '" + t + "'";
            return false;
        }
        out->push_back(kv);
    }
    return true;
}

static MetaField field_of(const KeyValue &kv) {
    MetaField f;
    f.key = kv.key;
    if (kv.is_int) f.i = kv.number;
    else {
        f.kind = META_STRING;
        f.s = kv.value;
    }
    return f;
}

// Entries viewing fields (which must outlive them). Integers that fit take 32
// bits, as the command has always stored them; filters read either width.
static std::vector<vx_meta_entry> meta_entries(const std::vector<MetaField> &fields) {
    std::vector<vx_meta_entry> out(fields.size());
    for (size_t i = 0; i < fields.size(); i++) {
        const MetaField &f = fields[i];
        vx_meta_entry &e = out[i];
        memset(&e, 0, sizeof(e));
        e.key = view_of(f.key);
        switch (f.kind) {
        case META_INT:
            e.type = f.i >= INT32_MIN && f.i <= INT32_MAX ? VX_META_INT32 : VX_META_INT64;
            if (e.type == VX_META_INT32) e.value.i32 = (int32_t)f.i;
            else e.value.i64 = f.i;
            break;
        case META_FLOAT:
            e.type = VX_META_DOUBLE;
            e.value.f64 = f.f;
            break;
        case META_STRING:
            e.type = VX_META_STRING;
            e.value.str = view_of(f.s);
            break;
        case META_BOOL:
            e.type = VX_META_BOOL;
            e.value.boolean = (int32_t)f.i;
            break;
        }
    }
    return out;
}

static std::vector<MetaField> fields_of(const vx_meta_entry *meta, uint64_t n) {
    std::vector<MetaField> out;
    for (uint64_t i = 0; i < n; i++) {
        const vx_meta_entry &e = meta[i];
        MetaField f;
        f.key.assign(e.key.data, e.key.len);
        switch (e.type) {
        case VX_META_INT32: f.i = e.value.i32; break;
        case VX_META_INT64: f.i = e.value.i64; break;
        case VX_META_FLOAT: f.kind = META_FLOAT, f.f = e.value.f32; break;
        case VX_META_DOUBLE: f.kind = META_FLOAT, f.f = e.value.f64; break;
        case VX_META_STRING: f.kind = META_STRING, f.s.assign(e.value.str.data, e.value.str.len); break;
        case VX_META_BOOL: f.kind = META_BOOL, f.i = e.value.boolean != 0; break;
        default: continue;
        }
        out.push_back(f);
    }
    return out;
}

// Equality conditions on every pair, joined by AND; the nodes point into
// pairs, which must outlive the filter.
struct AllOf {
    std::vector<vx_filter> conditions;
    std::vector<vx_filter *> children;
    vx_filter root;

    explicit AllOf(const std::vector<KeyValue> &pairs) : conditions(pairs.size()) {
        for (size_t i = 0; i < pairs.size(); i++) {
            vx_filter &f = conditions[i];
            memset(&f, 0, sizeof(f));
            f.kind = VX_FILTER_CONDITION;
            f.key = pairs[i].key.c_str();
            f.op = VX_OP_EQ;
            if (pairs[i].is_int) f.value.i64 = pairs[i].number;  // also readable as a 32-bit value
            else f.value.str = view_of(pairs[i].value);
            children.push_back(&f);
        }
        memset(&root, 0, sizeof(root));
        root.kind = VX_FILTER_AND;
        root.children = children.data();
        root.child_count = children.size();
    }
    const vx_filter *get() const { return conditions.empty() ? nullptr : &root; }
};

/* ---- import ------------------------------------------------------------------ */

struct ImportArgs {
    std::string db, collection, file;
    int32_t metric = VX_METRIC_L2;
    int32_t index = VX_INDEX_HNSW;
    bool metric_given = false, index_given = false;
    uint64_t M = 0, ef_construction = 0, nlist = 0;  // 0: the library's or the tool's choice
    std::vector<KeyValue> meta;
    bool shapes_index() const { return M || ef_construction || nlist; }
};

// Largest graph degree and build width the command accepts.
static const uint64_t MAX_M = 1024;
static const uint64_t MAX_EF = 100000;
static const uint64_t MAX_NLIST = 1u << 20;

static bool parse_import_args(const std::vector<std::string> &args, ImportArgs *out, std::string *error) {
    ArgReader a("import", args);
    std::vector<std::string> pos, meta_texts;
    std::string metric_word, index_word, v;
    while (a.next()) {
        if (a.value("--metric", &metric_word)) out->metric_given = true;
        else if (a.value("--index", &index_word)) out->index_given = true;
        else if (a.value("--meta", &v)) meta_texts.push_back(v);
        else if (a.value("--M", &v)) {
            if (!parse_count(v, 2, MAX_M, &out->M))
                return *error = "import: --M must be a whole number from 2 to " + std::to_string(MAX_M), false;
        } else if (a.value("--ef-construction", &v)) {
            if (!parse_count(v, 1, MAX_EF, &out->ef_construction))
                return *error = "import: --ef-construction must be a whole number from 1 to " +
                                std::to_string(MAX_EF),
                       false;
        } else if (a.value("--nlist", &v)) {
            if (!parse_count(v, 1, MAX_NLIST, &out->nlist))
                return *error = "import: --nlist must be a whole number from 1 to " + std::to_string(MAX_NLIST),
                       false;
        } else a.word(&pos);
    }
    if (a.failed()) return *error = a.error(), false;
    if (pos.size() != 3) return *error = "import: expected DB COLLECTION FILE (see vexal help import)", false;
    out->db = pos[0];
    out->collection = pos[1];
    out->file = pos[2];
    if (out->metric_given && !code_of(METRICS, metric_word, &out->metric))
        return *error = "import: unknown metric '" + metric_word + "' (l2, ip or cosine)", false;
    if (out->index_given && !code_of(INDEX_KINDS, index_word, &out->index))
        return *error = "import: unknown index '" + index_word + "' (hnsw, ivf, ivf-sq, ivf-pq or flat)", false;
    if (!valid_collection_name(out->collection))
        return *error = "import: '" + out->collection +
                        "' is not a collection name (1 to 63 bytes, no '/', '\\' or line breaks, not '.' or '..')",
               false;
    return parse_key_values("import: --meta", meta_texts, &out->meta, error);
}

// The vectors with their ids and metadata: from FILE.jsonl when it exists,
// else ids 0 (assigned on insertion) and the --meta pairs for every vector.
struct ImportData {
    Matrix vectors;
    std::vector<JsonRecord> records;
    bool with_ids = false;
};

static bool load_sidecar(const std::string &path, uint64_t rows, std::vector<JsonRecord> *records,
                         std::string *error) {
    bool ok = false;
    std::string text = read_file(path, &ok);
    if (!ok) return *error = "cannot read '" + path + "'", false;
    size_t start = 0;
    for (uint64_t line_no = 1; start < text.size(); line_no++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start), why;
        start = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        JsonRecord r;
        if (!parse_jsonl_line(line, &r, &why))
            return *error = path + ": line " + std::to_string(line_no) + ": " + why, false;
        records->push_back(r);
    }
    if (records->size() != rows)
        return *error = path + " has " + plural(records->size(), "record") + " for " + plural(rows, "vector"), false;
    std::vector<uint64_t> ids;
    for (const JsonRecord &r : *records) ids.push_back(r.id);
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
        return *error = path + ": id " + std::to_string(*std::adjacent_find(ids.begin(), ids.end())) +
                        " appears twice",
               false;
    return true;
}

// The library refuses NaN and infinite components; naming the first one
// here says where it is.
static bool check_finite(const std::string &file, const Matrix &m, std::string *error) {
    for (uint64_t i = 0; i < m.data.size(); i++) {
        if (std::isfinite(m.data[i])) continue;
        return *error = "import: '" + file + "' has a non-finite value in vector " + std::to_string(i / m.dim + 1) +
                        ", component " + std::to_string(i % m.dim + 1),
               false;
    }
    return true;
}

static bool load_import_data(const ImportArgs &in, ImportData *d, std::string *error) {
    if (!load_vectors(in.file, &d->vectors, error) || !check_finite(in.file, d->vectors, error)) return false;
    std::string sidecar = in.file + ".jsonl";
    if (access(sidecar.c_str(), F_OK) == 0) {
        if (!load_sidecar(sidecar, d->vectors.rows, &d->records, error)) return false;
        d->with_ids = true;
    } else {
        d->records.resize(d->vectors.rows);
    }
    for (JsonRecord &r : d->records)
        for (const KeyValue &kv : in.meta) r.meta.push_back(field_of(kv));
    return true;
}

// The index options must fit the kind a new collection gets.
static bool check_index_shape(const ImportArgs &in, std::string *error) {
    bool graph = in.index == VX_INDEX_HNSW || in.index == VX_INDEX_HNSW_PQ || in.index == VX_INDEX_HNSW_SQ;
    bool lists = in.index == VX_INDEX_IVF || in.index == VX_INDEX_IVF_PQ || in.index == VX_INDEX_IVF_SQ;
    if ((in.M || in.ef_construction) && !graph)
        return *error = "import: --M and --ef-construction shape a graph index (--index hnsw)", false;
    if (in.nlist && !lists)
        return *error = "import: --nlist shapes an inverted-file index (--index ivf, ivf-sq or ivf-pq)", false;
    return true;
}

// Checks the import against the database as it stands, on a read-only
// opening. *exists tells whether the collection is already there.
static bool check_import(const ImportArgs &in, const ImportData &d, bool *exists, std::string *error) {
    *exists = false;
    if (!is_directory(in.db)) return check_index_shape(in, error);
    vx_daded *db = nullptr;
    if (!open_database(in.db, OPEN_READ_ONLY, &db, error)) return false;
    vx_collection *c = find_collection(db, in.collection);
    *exists = c != nullptr;
    uint32_t dim = c ? collection_dimension(c) : 0;
    vx_daded_close(db);
    if (!c) return check_index_shape(in, error);
    if (in.shapes_index())
        return *error = "import: --M, --ef-construction and --nlist apply when the collection is created; '" +
                        in.collection + "' exists already",
               false;
    if (dim != d.vectors.dim)
        return *error = "import: '" + in.file + "' has dimension " + std::to_string(d.vectors.dim) +
                        ", collection '" + in.collection + "' has " + std::to_string(dim),
               false;
    vx_collection_header h;
    if ((in.metric_given || in.index_given) && stored_collection_header(in.db, in.collection, &h)) {
        if (in.metric_given && (int32_t)h.metric != in.metric)
            return *error = "import: collection '" + in.collection + "' has metric " +
                            name_of(METRICS, (int32_t)h.metric) + ", not " + name_of(METRICS, in.metric),
                   false;
        // A kind the library could not make yet is stored as none: no contradiction.
        if (in.index_given && h.index_type != -1 && h.index_type != in.index)
            return *error = "import: collection '" + in.collection + "' has index " +
                            name_of(INDEX_KINDS, h.index_type) + ", not " + name_of(INDEX_KINDS, in.index),
                   false;
    }
    return true;
}

// Sub-quantizers of 8 or so dimensions each (a divisor of dim).
static uint32_t pq_subspaces(uint32_t dim) {
    for (uint32_t m = dim / 8; m >= 1; m--)
        if (dim % m == 0) return m;
    return 1;
}

// An inverted file of about 4 sqrt(n) lists (at most n), a sixteenth of them
// probed, unless --nlist says otherwise.
static uint32_t default_nlist(uint64_t rows) {
    uint64_t n = 1;
    while ((n + 1) * (n + 1) <= rows) n++;
    n *= 4;
    return (uint32_t)(n < rows ? n : (rows ? rows : 1));
}

// Gives a new collection's index the parameters of the command line: the
// graph's M and ef_construction, the inverted file's list count (which the
// library would otherwise leave at none).
static vx_status shape_index(vx_collection *c, const ImportArgs &in, uint32_t dim, uint64_t rows) {
    bool lists = in.index == VX_INDEX_IVF || in.index == VX_INDEX_IVF_PQ || in.index == VX_INDEX_IVF_SQ;
    if (!in.shapes_index() && !lists) return VX_OK;
    vx_index_params p;
    memset(&p, 0, sizeof(p));
    p.type = (vx_index_type)in.index;
    if (in.index == VX_INDEX_IVF_PQ) {
        p.quant_type = VX_QUANT_PRODUCT;
        p.pq_m = pq_subspaces(dim);
        p.pq_nbits = 8;
    }
    if (lists) {
        p.family.ivf.nlist = in.nlist ? (uint32_t)in.nlist : default_nlist(rows);
        p.family.ivf.nprobe = p.family.ivf.nlist >= 16 ? p.family.ivf.nlist / 16 : 1;
        p.family.ivf.iterations = 10;
    } else {
        p.family.hnsw.M = (uint32_t)in.M;
        p.family.hnsw.ef_construction = (uint32_t)in.ef_construction;
    }
    return vx_collection_set_index_params(c, &p);
}

static vx_status create_collection(vx_daded *db, const ImportArgs &in, uint32_t dim, uint64_t rows,
                                   vx_collection **out) {
    vx_collection_config config;
    memset(&config, 0, sizeof(config));
    config.name = view_of(in.collection);
    config.dimension = dim;
    config.metric = in.metric;
    config.index_type = in.index;
    config.auto_resize = 1;
    config.build_threads = 0;  // the graph is built on every core
    if (in.index == VX_INDEX_IVF_PQ) {
        config.quant_type = VX_QUANT_PRODUCT;
        config.pq_m = pq_subspaces(dim);
        config.pq_nbits = 8;
    }
    vx_status st = vx_daded_create_collection_ex(db, &config, out);
    if (st != VX_OK) return st;
    return shape_index(*out, in, dim, rows);
}

// Inserts one record under the id it asks for: ids the collection has are
// replaced; a new id is reached by inserting and then deleting the ids before
// it (their numbers stay unused, as after any deletion). False when the id
// lies below the collection's next id.
static vx_status insert_with_id(vx_collection *c, const JsonRecord &r, const float *v,
                                std::vector<uint64_t> *placeholders) {
    std::vector<vx_meta_entry> meta = meta_entries(r.meta);
    vx_record *existing = nullptr;
    if (vx_collection_get_record(c, r.id, &existing) == VX_OK) {
        vx_status st = vx_collection_upsert(c, r.id, v);
        if (st == VX_OK && !meta.empty()) st = vx_collection_set_meta(c, r.id, meta.data(), meta.size());
        return st;
    }
    for (;;) {
        uint64_t id = 0;
        vx_status st = vx_collection_insert_with_meta(c, v, meta.data(), meta.size(), &id);
        if (st != VX_OK || id == r.id) return st;
        if (id > r.id) {
            vx_collection_delete(c, id);
            return VX_ERR_DUPLICATE_ID;
        }
        placeholders->push_back(id);
    }
}

// Records without ids of their own go in by the batch call, a group at a
// time (so that an active graph builds on every core).
static vx_status insert_batches(vx_collection *c, const ImportData &d, Progress *progress) {
    const uint64_t group = 16384;
    for (uint64_t first = 0; first < d.vectors.rows; first += group) {
        uint64_t n = std::min<uint64_t>(group, d.vectors.rows - first);
        std::vector<std::vector<vx_meta_entry>> entries(n);
        std::vector<const vx_meta_entry *> metas(n);
        std::vector<uint64_t> counts(n);
        for (uint64_t i = 0; i < n; i++) {
            if (first + i < d.records.size()) entries[i] = meta_entries(d.records[first + i].meta);
            metas[i] = entries[i].empty() ? nullptr : entries[i].data();
            counts[i] = entries[i].size();
        }
        vx_status st = vx_collection_insert_batch_with_meta(c, d.vectors.row(first), n, metas.data(), counts.data(),
                                                            nullptr);
        if (st != VX_OK) return st;
        progress->update(first + n);
    }
    return VX_OK;
}

static vx_status insert_all(vx_collection *c, const ImportData &d, Progress *progress) {
    std::vector<uint64_t> order(d.vectors.rows), placeholders;
    for (uint64_t i = 0; i < order.size(); i++) order[i] = i;
    // New ids are reached in ascending order.
    if (d.with_ids)
        std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) { return d.records[a].id < d.records[b].id; });
    if (!d.with_ids) return insert_batches(c, d, progress);
    for (uint64_t n = 0; n < order.size(); n++) {
        uint64_t i = order[n];
        vx_status st = insert_with_id(c, d.records[i], d.vectors.row(i), &placeholders);
        if (st != VX_OK) return st;
        if (n % 1000 == 0) progress->update(n);
    }
    if (!placeholders.empty()) return vx_collection_delete_batch(c, placeholders.data(), placeholders.size());
    return VX_OK;
}

static int cmd_import(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("import");
    ImportArgs in;
    ImportData d;
    std::string error;
    bool exists = false;
    if (!parse_import_args(args, &in, &error) || !load_import_data(in, &d, &error) ||
        !check_import(in, d, &exists, &error))
        return tool_error(error);

    std::string created = is_directory(in.db) ? "" : in.db;
    vx_daded *db = nullptr;
    if (!open_database(in.db, OPEN_OR_CREATE, &db, &error)) return tool_error(error);
    vx_collection *c = find_collection(db, in.collection);
    if (!c) {
        vx_status st = create_collection(db, in, d.vectors.dim, d.vectors.rows, &c);
        if (st != VX_OK)
            abandon("import: cannot create collection '" + in.collection + "': " + vx_error_message(st), created);
    }
    Progress progress("import", d.vectors.rows);
    vx_status st = insert_all(c, d, &progress);
    if (st == VX_ERR_DUPLICATE_ID)
        abandon("import: the ids of '" + in.file + ".jsonl' lie below ids collection '" + in.collection +
                    "' has already used",
                created);
    if (st != VX_OK) abandon(std::string("import: insertion failed: ") + vx_error_message(st), created);
    progress.finish();
    if (!close_database(db, &error)) return tool_error(error);
    printf("imported %s of dimension %u into '%s'\n", plural(d.vectors.rows, "vector").c_str(), d.vectors.dim,
           in.collection.c_str());
    return 0;
}

/* ---- export ------------------------------------------------------------------ */

const char *HELP_EXPORT =
    "usage: vexal export DB COLLECTION FILE\n"
    "\n"
    "Writes the collection's vectors to FILE, as .npy (2-D float32) or .fvecs by\n"
    "its extension, and beside it FILE.jsonl: one line a vector, in the same\n"
    "order, with its id and metadata ({\"id\": 7, \"meta\": {\"label\": 3}}).\n"
    "'vexal import DB2 COLLECTION FILE' reads the pair back with the same ids.\n";

int cmd_export(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("export");
    ArgReader a("export", args);
    std::vector<std::string> pos;
    while (a.next()) a.word(&pos);
    if (a.failed()) return tool_error(a.error());
    if (pos.size() != 3) return tool_error("export: expected DB COLLECTION FILE (see vexal help export)");
    const std::string &file = pos[2];
    if (!vectors_file_type_known(file)) return tool_error("export: unknown file type '" + file + "' (use .npy or .fvecs)");
    if (is_directory(file)) return tool_error("export: '" + file + "' is a directory, not a file name");

    vx_daded *db = nullptr;
    std::string error;
    if (!open_database(pos[0], OPEN_READ_ONLY, &db, &error)) return tool_error(error);
    vx_collection *c = find_collection(db, pos[1]);
    if (!c) {
        vx_daded_close(db);
        return tool_error("export: no collection '" + pos[1] + "' in '" + pos[0] + "'");
    }
    Matrix m;
    m.dim = collection_dimension(c);
    std::string lines;
    vx_collection_iterator *it = vx_collection_create_iterator(c, nullptr);
    for (; it && vx_collection_iterator_valid(it); vx_collection_iterator_next(it)) {
        vx_record *rec = nullptr;
        if (vx_collection_iterator_get_record(it, &rec) != VX_OK) continue;
        m.data.insert(m.data.end(), rec->vector, rec->vector + m.dim);
        m.rows++;
        JsonRecord r;
        r.id = rec->id;
        r.meta = fields_of(rec->meta, rec->meta ? rec->meta_count : 0);
        lines += jsonl_line(r) + "\n";
    }
    vx_daded_close(db);
    if (m.rows == 0) return tool_error("export: collection '" + pos[1] + "' is empty, nothing to write");
    if (!save_vectors(file, m, &error) || !write_file(file + ".jsonl", lines, &error))
        return tool_error("export: " + error);
    printf("exported %s of dimension %u to '%s' and '%s.jsonl'\n", plural(m.rows, "vector").c_str(), m.dim,
           file.c_str(), file.c_str());
    return 0;
}

/* ---- search ------------------------------------------------------------------ */

struct SearchArgs {
    std::string db, collection, vector_text, queries_path;
    uint64_t k = 10;
    uint64_t ef = 0, nprobe = 0;  // 0: the collection's own width
    std::vector<KeyValue> filters;
};

static bool parse_search_args(const std::vector<std::string> &args, SearchArgs *out, std::string *error) {
    ArgReader a("search", args);
    std::vector<std::string> pos, filter_texts;
    std::string k_text = "10", v;
    while (a.next()) {
        if (a.value("--vector", &out->vector_text) || a.value("--queries", &out->queries_path)) continue;
        if (a.value("--filter", &v)) filter_texts.push_back(v);
        else if (a.value("-k", &k_text) || a.value("--k", &k_text)) continue;
        else if (a.value("--ef", &v)) {
            if (!parse_count(v, 1, MAX_EF, &out->ef))
                return *error = "search: --ef must be a whole number from 1 to " + std::to_string(MAX_EF), false;
        } else if (a.value("--nprobe", &v)) {
            if (!parse_count(v, 1, MAX_NLIST, &out->nprobe))
                return *error = "search: --nprobe must be a whole number from 1 to " + std::to_string(MAX_NLIST),
                       false;
        }
        else a.word(&pos);
    }
    if (a.failed()) return *error = a.error(), false;
    if (pos.size() != 2) return *error = "search: expected DB COLLECTION (see vexal help search)", false;
    out->db = pos[0];
    out->collection = pos[1];
    if (out->ef && out->nprobe) return *error = "search: give --ef (a graph) or --nprobe (an inverted file), not both", false;
    if (out->vector_text.empty() == out->queries_path.empty())
        return *error = "search: give exactly one of --vector and --queries", false;
    if (!parse_count(k_text, 1, MAX_K, &out->k))
        return *error = "search: -k must be a whole number from 1 to " + std::to_string(MAX_K) + ", not '" +
                        k_text + "'",
               false;
    return parse_key_values("search: --filter", filter_texts, &out->filters, error);
}

static bool load_queries(const SearchArgs &in, Matrix *queries, std::string *error) {
    if (in.vector_text.empty()) return load_vectors(in.queries_path, queries, error);
    std::vector<float> v;
    if (!parse_float_list(in.vector_text, &v, error)) return *error = "search: --vector: " + *error, false;
    queries->rows = 1;
    queries->dim = (uint32_t)v.size();
    queries->data = v;
    return true;
}

// Queries go to the batch call a group at a time, shared by every core; the
// hits are printed query by query.
static bool print_hits(const Matrix &queries, vx_collection *c, const vx_search_options &opt, std::string *error) {
    const uint64_t group = 256;
    std::vector<vx_search_hit> hits(group * opt.k);
    std::vector<uint64_t> counts(group);
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    uint32_t threads = cores > 64 ? 64 : cores > 1 ? (uint32_t)cores : 1;
    for (uint64_t first = 0; first < queries.rows; first += group) {
        uint64_t n = queries.rows - first < group ? queries.rows - first : group;
        vx_status st = vx_collection_search_batch(c, queries.row(first), n, &opt, threads, hits.data(), counts.data());
        if (st != VX_OK) return *error = std::string("search: ") + vx_error_message(st), false;
        for (uint64_t q = 0; q < n; q++) {
            const vx_search_hit *row = &hits[q * opt.k];
            if (queries.rows > 1) printf("query %llu\n", (unsigned long long)(first + q + 1));
            for (uint64_t i = 0; i < counts[q]; i++)
                printf("%3llu  id %-10llu distance %.6g\n", (unsigned long long)(i + 1),
                       (unsigned long long)row[i].id, (double)row[i].distance);
            if (counts[q] == 0) printf("  (no hits)\n");
        }
    }
    return true;
}

// Applies --ef or --nprobe to the collection's index for this run (the
// database is open read-only, so nothing is saved).
static bool set_search_width(vx_collection *c, const SearchArgs &in, std::string *error) {
    if (!in.ef && !in.nprobe) return true;
    vx_collection_stats st;
    memset(&st, 0, sizeof(st));
    vx_collection_get_stats(c, &st);
    bool graph = st.index_type == VX_INDEX_HNSW || st.index_type == VX_INDEX_HNSW_PQ || st.index_type == VX_INDEX_HNSW_SQ;
    bool lists = st.index_type == VX_INDEX_IVF || st.index_type == VX_INDEX_IVF_PQ || st.index_type == VX_INDEX_IVF_SQ;
    if (in.ef && !graph)
        return *error = "search: --ef sets a graph's search width; collection '" + in.collection + "' has " +
                        (lists ? "an inverted-file index (use --nprobe)" : "no index"),
               false;
    if (in.nprobe && !lists)
        return *error = "search: --nprobe sets an inverted file's search width; collection '" + in.collection +
                        "' has " + (graph ? "a graph index (use --ef)" : "no index"),
               false;
    vx_status rc = vx_collection_set_search_width(c, (uint32_t)(in.ef ? in.ef : in.nprobe));
    if (rc != VX_OK) return *error = std::string("search: cannot set the search width: ") + vx_error_message(rc), false;
    return true;
}

static int cmd_search(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("search");
    SearchArgs in;
    Matrix queries;
    std::string error;
    if (!parse_search_args(args, &in, &error) || !load_queries(in, &queries, &error)) return tool_error(error);

    vx_daded *db = nullptr;
    if (!open_database(in.db, OPEN_READ_ONLY, &db, &error)) return tool_error(error);
    vx_collection *c = find_collection(db, in.collection);
    if (!c) {
        vx_daded_close(db);
        return tool_error("search: no collection '" + in.collection + "' in '" + in.db + "'");
    }
    uint32_t dim = collection_dimension(c);
    if (dim != queries.dim) {
        vx_daded_close(db);
        return tool_error("search: query has dimension " + std::to_string(queries.dim) + ", collection '" +
                          in.collection + "' has " + std::to_string(dim));
    }
    if (!set_search_width(c, in, &error)) {
        vx_daded_close(db);
        return tool_error(error);
    }
    AllOf filter(in.filters);
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = in.k;
    opt.filter = filter.get();
    bool printed = print_hits(queries, c, opt, &error);
    std::string closing;
    if (!close_database(db, &closing)) return tool_error(closing);
    if (!printed) return tool_error(error);
    return 0;
}

/* ---- build-index, drop and info ------------------------------------------------ */

// Opens DB read-only to make sure COLLECTION is there (and, when asked, not
// empty) before a command opens it for writing.
static bool check_collection(const std::string &command, const std::string &dir, const std::string &name,
                             bool need_records, std::string *error) {
    vx_daded *db = nullptr;
    if (!open_database(dir, OPEN_READ_ONLY, &db, error)) return false;
    vx_collection *c = find_collection(db, name);
    uint64_t count = c ? collection_count(c) : 0;
    vx_daded_close(db);
    if (!c) return *error = command + ": no collection '" + name + "' in '" + dir + "'", false;
    if (need_records && count == 0) return *error = command + ": collection '" + name + "' is empty", false;
    return true;
}

// Runs work on another thread while a terminal shows the time spent so far.
template <typename Work>
static void with_elapsed_time(const char *label, Work work) {
    if (!isatty(2)) {
        work();
        return;
    }
    std::atomic<bool> done{false};
    double start = now_seconds();
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done) {
        fprintf(stderr, "\r%s ... %.0f s", label, now_seconds() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    worker.join();
    fprintf(stderr, "\r%s ... done    \n", label);
}

static int cmd_build_index(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("build-index");
    if (args.size() != 2) return tool_error("build-index: expected DB COLLECTION (see vexal help build-index)");
    std::string error;
    if (!check_collection("build-index", args[0], args[1], true, &error)) return tool_error(error);
    vx_daded *db = nullptr;
    if (!open_database(args[0], OPEN_EXISTING, &db, &error)) return tool_error(error);
    vx_collection *c = find_collection(db, args[1]);
    double t0 = now_seconds();
    vx_status st = VX_OK;
    with_elapsed_time("build-index", [&] { st = vx_collection_build_index(c); });
    if (st != VX_OK) abandon(std::string("build-index: ") + vx_error_message(st), "");
    double t1 = now_seconds();
    if (!close_database(db, &error)) return tool_error(error);
    printf("index of '%s' built in %.2f s\n", args[1].c_str(), t1 - t0);
    return 0;
}

static int cmd_drop(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("drop");
    if (args.size() != 2) return tool_error("drop: expected DB COLLECTION (see vexal help drop)");
    std::string error;
    if (!check_collection("drop", args[0], args[1], false, &error)) return tool_error(error);
    vx_daded *db = nullptr;
    if (!open_database(args[0], OPEN_EXISTING, &db, &error)) return tool_error(error);
    vx_str name = view_of(args[1]);
    vx_status st = vx_daded_drop_collection(db, &name);
    if (st != VX_OK) abandon(std::string("drop: ") + vx_error_message(st), "");
    if (!close_database(db, &error)) return tool_error(error);
    printf("dropped collection '%s'\n", args[1].c_str());
    return 0;
}

static void print_collection(const std::string &dir, vx_collection *c) {
    std::string name = vx_collection_get_name(c);
    vx_collection_stats stats;
    memset(&stats, 0, sizeof(stats));
    vx_collection_get_stats(c, &stats);
    vx_collection_header h;
    std::string metric = "?", kind = stats.index_type >= 0 ? name_of(INDEX_KINDS, stats.index_type) : "none";
    if (stored_collection_header(dir, name, &h)) {
        metric = name_of(METRICS, (int32_t)h.metric);
        kind = name_of(INDEX_KINDS, h.index_type);
    }
    bool active = vx_collection_has_index(c) == 1;
    printf("  - %s: %llu vectors, %u dims, metric %s, index %s (%s)\n", name.c_str(), (unsigned long long)stats.count,
           stats.dimension, metric.c_str(), kind.c_str(),
           kind == "none" || kind == "flat" ? "brute force" : active ? "active" : "not built; brute force");
}

static int cmd_info(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("info");
    if (args.size() != 1) return tool_error("info: expected DB (see vexal help info)");
    vx_daded *db = nullptr;
    std::string error;
    if (!open_database(args[0], OPEN_READ_ONLY, &db, &error)) return tool_error(error);
    vx_str lib = vx_daded_version();
    uint64_t n = vx_daded_list_collections(db, nullptr, 0);
    std::vector<vx_str> names(n);
    n = vx_daded_list_collections(db, names.data(), n);
    printf("library:     %.*s\n", (int)lib.len, lib.data);
    printf("database:    %s\n", args[0].c_str());
    printf("collections: %llu\n", (unsigned long long)n);
    for (uint64_t i = 0; i < n; i++) print_collection(args[0], vx_daded_get_collection(db, &names[i]));
    if (!close_database(db, &error)) return tool_error(error);
    return 0;
}

/* ---- demo -------------------------------------------------------------------- */

struct DemoData {
    Matrix base, queries;
    std::vector<uint8_t> labels;
    std::string source;
};

static void truncate_rows(Matrix *m, uint64_t rows) {
    if (!rows || rows >= m->rows) return;
    m->rows = rows;
    m->data.resize(rows * m->dim);
}

static void load_demo_data(bool synthetic, uint64_t base_n, uint64_t query_n, DemoData *d) {
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
    truncate_rows(&d->base, base_n);
    if (d->labels.size() > d->base.rows) d->labels.resize(d->base.rows);
    truncate_rows(&d->queries, query_n);
}

// The state the demo's steps share.
struct Demo {
    static constexpr uint32_t k = 10;
    const DemoData &d;
    std::string dir;
    vx_daded *db = nullptr;
    vx_collection *c = nullptr;
    Matrix truth_queries;
    std::vector<uint64_t> truth, found;
    std::string label_key = "label";
    Demo(const DemoData &data, const std::string &path) : d(data), dir(path) {}
};

static bool demo_create(Demo *s, std::string *error) {
    vx_srand(DEMO_SEED);
    if (!open_database(s->dir, OPEN_OR_CREATE, &s->db, error)) return false;
    if (find_collection(s->db, "fashion")) {
        vx_daded_close(s->db);
        return *error = "'" + s->dir + "' already holds a collection 'fashion'; use an empty directory", false;
    }
    ImportArgs a;
    a.collection = "fashion";
    vx_status st = create_collection(s->db, a, s->d.base.dim, s->d.base.rows, &s->c);
    if (st != VX_OK) return *error = std::string("cannot create collection: ") + vx_error_message(st), false;
    return true;
}

// Inserts every vector with its class label as metadata.
static bool demo_insert(Demo *s, std::string *error) {
    Progress progress("insert", s->d.base.rows);
    double t0 = now_seconds();
    for (uint64_t i = 0; i < s->d.base.rows; i++) {
        vx_meta_entry e;
        memset(&e, 0, sizeof(e));
        e.key = view_of(s->label_key);
        e.type = VX_META_INT32;
        e.value.i32 = s->d.labels.empty() ? 0 : s->d.labels[i];
        vx_status st = vx_collection_insert_with_meta(s->c, s->d.base.row(i), &e, 1, nullptr);
        if (st != VX_OK) return *error = std::string("insertion failed: ") + vx_error_message(st), false;
        if (i % 500 == 0) progress.update(i);
    }
    progress.finish();
    printf("inserted %llu vectors in %.2f s\n", (unsigned long long)s->d.base.rows, now_seconds() - t0);
    return true;
}

static bool demo_build(Demo *s, std::string *error) {
    printf("building the HNSW index (M 16, ef_construction 200) ...\n");
    fflush(stdout);
    double t0 = now_seconds();
    vx_status st = vx_collection_build_index(s->c);
    if (st != VX_OK) return *error = std::string("index build failed: ") + vx_error_message(st), false;
    printf("index built in %.2f s\n", now_seconds() - t0);
    return true;
}

// Exact answers for the recall, over the first truth_n queries (0: all).
static bool demo_exact(Demo *s, uint64_t truth_n, std::string *) {
    s->truth_queries = s->d.queries;
    truncate_rows(&s->truth_queries, truth_n);
    printf("computing the exact answers of %llu queries ...\n", (unsigned long long)s->truth_queries.rows);
    fflush(stdout);
    double t0 = now_seconds();
    exact_knn(s->d.base, s->truth_queries, Demo::k, &s->truth);
    printf("exact search done in %.2f s\n\n", now_seconds() - t0);
    return true;
}

// Runs every query through the collection, recording ids and latencies.
static double run_queries(vx_collection *c, const Matrix &queries, uint32_t k, std::vector<uint64_t> *ids,
                          std::vector<double> *latency_ms) {
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
    return now_seconds() - start;
}

static bool demo_query(Demo *s, std::string *) {
    std::vector<double> latency;
    double seconds = run_queries(s->c, s->d.queries, Demo::k, &s->found, &latency);
    uint64_t nq = s->d.queries.rows;
    printf("queries:          %llu, k = %u, one thread\n", (unsigned long long)nq, Demo::k);
    printf("recall@10:        %.4f (against exact search, first %llu queries)\n",
           recall_at_k(s->truth, s->found, s->truth_queries.rows, Demo::k), (unsigned long long)s->truth_queries.rows);
    printf("queries/second:   %.0f\n", (double)nq / seconds);
    printf("latency p50:      %.3f ms\n", percentile(latency, 50));
    printf("latency p99:      %.3f ms\n\n", percentile(latency, 99));
    return true;
}

// A filtered search: the nearest items of the first query's own class.
static bool demo_filtered(Demo *s, std::string *) {
    if (s->d.labels.empty()) return true;
    vx_filter f;
    memset(&f, 0, sizeof(f));
    f.kind = VX_FILTER_CONDITION;
    f.key = s->label_key.c_str();
    f.op = VX_OP_EQ;
    f.value.i32 = s->d.labels[s->found[0] ? s->found[0] - 1 : 0];
    vx_search_options opt;
    memset(&opt, 0, sizeof(opt));
    opt.k = 5;
    opt.filter = &f;
    vx_search_hit hits[5];
    uint64_t n = vx_collection_search(s->c, s->d.queries.row(0), &opt, hits);
    printf("filtered search (label = %d) for query 1:", f.value.i32);
    for (uint64_t i = 0; i < n; i++) printf(" %llu", (unsigned long long)hits[i].id);
    printf("\n\n");
    return true;
}

// Closes, reopens and asks again: the answers must not change.
static bool demo_reopen(Demo *s, std::string *error) {
    double t0 = now_seconds();
    if (!close_database(s->db, error)) return false;
    double t_close = now_seconds() - t0;
    vx_srand(DEMO_SEED);
    t0 = now_seconds();
    if (!open_database(s->dir, OPEN_EXISTING, &s->db, error)) return false;
    double t_open = now_seconds() - t0;
    s->c = find_collection(s->db, "fashion");
    if (!s->c) {
        vx_daded_close(s->db);
        return *error = "the collection did not come back after reopening", false;
    }
    printf("closed in %.2f s, reopened in %.2f s\n", t_close, t_open);
    std::vector<uint64_t> again;
    std::vector<double> latency;
    double seconds = run_queries(s->c, s->d.queries, Demo::k, &again, &latency);
    uint64_t nq = s->d.queries.rows, same = 0;
    for (uint64_t q = 0; q < nq; q++)
        if (std::equal(s->found.begin() + q * Demo::k, s->found.begin() + (q + 1) * Demo::k,
                       again.begin() + q * Demo::k))
            same++;
    printf("after reopening:  %llu of %llu queries return the same answers\n", (unsigned long long)same,
           (unsigned long long)nq);
    printf("recall@10:        %.4f, %.0f queries/second\n",
           recall_at_k(s->truth, again, s->truth_queries.rows, Demo::k), (double)nq / seconds);
    if (!close_database(s->db, error)) return false;
    if (same != nq) return *error = "answers changed after reopening", false;
    return true;
}

static int demo_steps(const std::string &dir, const DemoData &d, uint64_t truth_n) {
    printf("data: %s, %llu base vectors and %llu queries of dimension %u\n", d.source.c_str(),
           (unsigned long long)d.base.rows, (unsigned long long)d.queries.rows, d.base.dim);
    printf("database: %s\n\n", dir.c_str());
    Demo s(d, dir);
    std::string error;
    bool ok = demo_create(&s, &error) && demo_insert(&s, &error) && demo_build(&s, &error) &&
              demo_exact(&s, truth_n, &error) && demo_query(&s, &error) && demo_filtered(&s, &error) &&
              demo_reopen(&s, &error);
    if (!ok) return tool_error("demo: " + error);
    printf("\ndemo finished: answers identical after reopening\n");
    return 0;
}

static std::string make_temp_dir() {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vexal-demo-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

static int cmd_demo(const std::vector<std::string> &args) {
    if (wants_help(args)) return print_help("demo");
    ArgReader a("demo", args);
    std::vector<std::string> pos;
    std::string v;
    bool synthetic = false;
    uint64_t base_n = 0, query_n = 0, truth_n = 1000;
    while (a.next()) {
        if (a.flag("--synthetic")) synthetic = true;
        else if (a.value("--truth", &v)) {
            if (!parse_count(v, 0, UINT64_MAX, &truth_n)) return tool_error("demo: bad --truth '" + v + "'");
        } else if (a.value("--base", &v)) {
            if (!parse_count(v, 1, UINT64_MAX, &base_n)) return tool_error("demo: bad --base '" + v + "'");
        } else if (a.value("--queries", &v)) {
            if (!parse_count(v, 1, UINT64_MAX, &query_n)) return tool_error("demo: bad --queries '" + v + "'");
        } else {
            a.word(&pos);
        }
    }
    if (a.failed()) return tool_error(a.error());
    if (pos.size() > 1) return tool_error("demo: too many arguments (see vexal help demo)");
    DemoData d;
    load_demo_data(synthetic, base_n, query_n, &d);
    std::string dir = pos.empty() ? make_temp_dir() : pos[0];
    if (dir.empty()) return tool_error("demo: cannot create a temporary directory");
    int rc = demo_steps(dir, d, truth_n);
    if (pos.empty()) remove_tree(dir);
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
    static const struct {
        const char *name;
        int (*run)(const std::vector<std::string> &);
    } commands[] = {{"demo", cmd_demo},     {"import", cmd_import}, {"export", cmd_export},
                    {"search", cmd_search}, {"build-index", cmd_build_index}, {"drop", cmd_drop},
                    {"info", cmd_info},     {"bench", cmd_bench}};
    if (command == "--version" || command == "version") return print_version();
    if (command == "help") return print_help(args.empty() ? "" : args[0]);
    for (const auto &c : commands)
        if (command == c.name) return c.run(args);
    return tool_error("unknown command '" + command + "' (see vexal --help)");
}
