// Shared pieces of the vexal command-line program.
#ifndef VEXAL_TOOL_H
#define VEXAL_TOOL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "vexal.h"

extern const char *HELP_BENCH;
extern const char *HELP_EXPORT;

int tool_error(const std::string &message);
double now_seconds();
vx_str view_of(const std::string &s);
bool is_directory(const std::string &path);

// How a command opens its database directory.
struct OpenMode {
    bool create = false;    // make the directory and its files when missing
    bool read_only = false; // never written back, not even on close
};
static const OpenMode OPEN_EXISTING = {false, false};
static const OpenMode OPEN_OR_CREATE = {true, false};
static const OpenMode OPEN_READ_ONLY = {false, true};

bool open_database(const std::string &dir, OpenMode mode, vx_daded **db, std::string *error);
bool close_database(vx_daded *db, std::string *error);
vx_collection *find_collection(vx_daded *db, const std::string &name);

// Reads one command's arguments in order: options written "--name value" or
// "--name=value", flags, and the words left over. The first problem (a
// missing value, an unknown option) is kept as the error and ends the walk.
class ArgReader {
public:
    ArgReader(const std::string &command, const std::vector<std::string> &args)
        : command_(command), args_(args) {}
    // Moves to the next argument; false at the end or once an error is kept.
    bool next();
    // True when the current argument is the option name; its value goes to
    // *value. A missing value is kept as "NAME needs a value".
    bool value(const char *name, std::string *value);
    bool flag(const char *name) const { return args_[i_] == name; }
    // Appends the current argument to words unless it looks like an option,
    // which is kept as an unknown option.
    void word(std::vector<std::string> *words);
    bool failed() const { return !error_.empty(); }
    const std::string &error() const { return error_; }

private:
    void fail(const std::string &why);
    std::string command_;
    const std::vector<std::string> &args_;
    size_t i_ = SIZE_MAX;
    std::string error_;
};

// Decimal numbers from the command line, within [lo, hi].
bool parse_count(const std::string &text, uint64_t lo, uint64_t hi, uint64_t *out);

int cmd_bench(const std::vector<std::string> &args);
int cmd_export(const std::vector<std::string> &args);

#endif
