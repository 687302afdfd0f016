// Argument reading shared by every vexal command.
#include <errno.h>
#include <stdlib.h>

#include "vexal_tool.h"

bool ArgReader::next() {
    if (failed()) return false;
    i_ = i_ == SIZE_MAX ? 0 : i_ + 1;
    return i_ < args_.size();
}

void ArgReader::fail(const std::string &why) {
    if (error_.empty()) error_ = command_ + ": " + why;
}

bool ArgReader::value(const char *name, std::string *value) {
    const std::string &a = args_[i_];
    std::string prefix = std::string(name) + "=";
    if (a.compare(0, prefix.size(), prefix) == 0) {
        *value = a.substr(prefix.size());
        return true;
    }
    if (a != name) return false;
    if (i_ + 1 >= args_.size()) {
        fail(std::string(name) + " needs a value (see vexal help " + command_ + ")");
        return true;
    }
    *value = args_[++i_];
    return true;
}

void ArgReader::word(std::vector<std::string> *words) {
    const std::string &a = args_[i_];
    if (a.size() > 1 && a[0] == '-') fail("unknown option '" + a + "' (see vexal help " + command_ + ")");
    else words->push_back(a);
}

bool parse_count(const std::string &text, uint64_t lo, uint64_t hi, uint64_t *out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || v < lo || v > hi) return false;
    *out = v;
    return true;
}
