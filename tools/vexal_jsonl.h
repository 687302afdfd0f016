// The JSON lines that travel beside exported vectors: one record a line,
// {"id": 7, "meta": {"label": 3, "name": "shirt", "score": 0.5, "new": true}}.
#ifndef VEXAL_JSONL_H
#define VEXAL_JSONL_H

#include <stdint.h>

#include <string>
#include <vector>

enum MetaKind { META_INT, META_FLOAT, META_STRING, META_BOOL };

struct MetaField {
    std::string key;
    MetaKind kind = META_INT;
    int64_t i = 0;  // META_INT, and META_BOOL as 0 or 1
    double f = 0;   // META_FLOAT
    std::string s;  // META_STRING
};

struct JsonRecord {
    uint64_t id = 0;
    std::vector<MetaField> meta;
};

// One line without its line feed. Floats keep a '.' or an exponent so that
// they read back as floats; NaN and the infinities are written as Python's
// json module writes them.
std::string jsonl_line(const JsonRecord &r);
// Parses one line; "id" (a positive integer) is required, "meta" optional
// with integer, float, string and boolean values (null values are skipped).
bool parse_jsonl_line(const std::string &line, JsonRecord *r, std::string *error);

#endif
