// JSON lines of exported records: a writer and a small reader for the one
// shape the writer produces (or any JSON of that shape another tool wrote).
#include "vexal_jsonl.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- writing ------------------------------------------------------------- */

static void append_string(std::string *out, const std::string &s) {
    *out += '"';
    for (unsigned char ch : s) {
        switch (ch) {
        case '"': *out += "\\\""; break;
        case '\\': *out += "\\\\"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        case '\t': *out += "\\t"; break;
        default:
            if (ch < 0x20) {
                char buf[8];
                snprintf(buf, sizeof(buf), "\\u%04x", ch);
                *out += buf;
            } else {
                *out += (char)ch;
            }
        }
    }
    *out += '"';
}

static void append_float(std::string *out, double v) {
    if (isnan(v)) {
        *out += "NaN";
        return;
    }
    if (isinf(v)) {
        *out += v > 0 ? "Infinity" : "-Infinity";
        return;
    }
    char buf[32];
    snprintf(buf, sizeof(buf), "%.17g", v);
    *out += buf;
    if (!strpbrk(buf, ".en")) *out += ".0";
}

std::string jsonl_line(const JsonRecord &r) {
    std::string out = "{\"id\": " + std::to_string(r.id) + ", \"meta\": {";
    for (size_t i = 0; i < r.meta.size(); i++) {
        const MetaField &m = r.meta[i];
        if (i) out += ", ";
        append_string(&out, m.key);
        out += ": ";
        switch (m.kind) {
        case META_INT: out += std::to_string(m.i); break;
        case META_FLOAT: append_float(&out, m.f); break;
        case META_STRING: append_string(&out, m.s); break;
        case META_BOOL: out += m.i ? "true" : "false"; break;
        }
    }
    return out + "}}";
}

/* ---- reading ------------------------------------------------------------- */

namespace {

struct Reader {
    const std::string &text;
    size_t pos = 0;
    std::string error;

    explicit Reader(const std::string &t) : text(t) {}

    bool fail(const std::string &why) {
        if (error.empty()) error = why + " at column " + std::to_string(pos + 1);
        return false;
    }
    void skip_space() {
        while (pos < text.size() && strchr(" \t\r\n", text[pos])) pos++;
    }
    bool eat(char ch) {
        skip_space();
        if (pos < text.size() && text[pos] == ch) {
            pos++;
            return true;
        }
        return false;
    }
    bool word(const char *w) {
        size_t n = strlen(w);
        if (text.compare(pos, n, w) != 0) return false;
        pos += n;
        return true;
    }
    bool hex4(unsigned *out);
    bool string(std::string *out);
    bool value(MetaField *out, bool *is_null);
    bool meta(std::vector<MetaField> *out);
};

static void append_utf8(std::string *out, unsigned cp) {
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xc0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        *out += (char)(0xe0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3f));
        *out += (char)(0x80 | (cp & 0x3f));
    } else {
        *out += (char)(0xf0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3f));
        *out += (char)(0x80 | ((cp >> 6) & 0x3f));
        *out += (char)(0x80 | (cp & 0x3f));
    }
}

bool Reader::hex4(unsigned *out) {
    if (pos + 4 > text.size()) return fail("short \\u escape");
    char buf[5] = {text[pos], text[pos + 1], text[pos + 2], text[pos + 3], 0};
    char *end = nullptr;
    *out = (unsigned)strtoul(buf, &end, 16);
    if (end != buf + 4) return fail("bad \\u escape");
    pos += 4;
    return true;
}

bool Reader::string(std::string *out) {
    if (!eat('"')) return fail("expected a string");
    out->clear();
    while (pos < text.size() && text[pos] != '"') {
        char ch = text[pos++];
        if (ch != '\\') {
            *out += ch;
            continue;
        }
        if (pos >= text.size()) break;
        char esc = text[pos++];
        const char *plain = strchr("\"\\/bfnrt", esc);
        if (plain && esc != 'u') {
            static const char decoded[] = "\"\\/\b\f\n\r\t";
            *out += decoded[plain - "\"\\/bfnrt"];
        } else if (esc == 'u') {
            unsigned cp, low;
            if (!hex4(&cp)) return false;
            if (cp >= 0xd800 && cp < 0xdc00 && word("\\u")) {
                if (!hex4(&low)) return false;
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
            }
            append_utf8(out, cp);
        } else {
            return fail("bad escape");
        }
    }
    if (pos >= text.size()) return fail("unterminated string");
    pos++;
    return true;
}

bool Reader::value(MetaField *out, bool *is_null) {
    skip_space();
    *is_null = false;
    if (pos < text.size() && text[pos] == '"') {
        out->kind = META_STRING;
        return string(&out->s);
    }
    static const struct {
        const char *text;
        MetaKind kind;
        int64_t i;
        double f;
    } words[] = {{"true", META_BOOL, 1, 0},      {"false", META_BOOL, 0, 0},
                 {"NaN", META_FLOAT, 0, NAN},     {"Infinity", META_FLOAT, 0, INFINITY},
                 {"-Infinity", META_FLOAT, 0, -INFINITY}};
    if (word("null")) return *is_null = true;
    for (const auto &w : words) {
        if (!word(w.text)) continue;
        out->kind = w.kind;
        out->i = w.i;
        out->f = w.f;
        return true;
    }
    size_t start = pos;
    while (pos < text.size() && strchr("+-0123456789.eE", text[pos])) pos++;
    std::string number = text.substr(start, pos - start);
    if (number.empty()) return fail("expected a value");
    char *end = nullptr;
    errno = 0;
    if (number.find_first_of(".eE") == std::string::npos) {
        out->kind = META_INT;
        out->i = strtoll(number.c_str(), &end, 10);
    } else {
        out->kind = META_FLOAT;
        out->f = strtod(number.c_str(), &end);
    }
    if (*end != '\0' || errno == ERANGE) return fail("bad number '" + number + "'");
    return true;
}

bool Reader::meta(std::vector<MetaField> *out) {
    if (!eat('{')) return fail("expected an object");
    if (eat('}')) return true;
    do {
        MetaField f;
        bool is_null = false;
        if (!string(&f.key) || (!eat(':') && !fail("expected ':'"))) return false;
        if (!value(&f, &is_null)) return false;
        if (!is_null) out->push_back(f);
    } while (eat(','));
    return eat('}') || fail("expected ',' or '}'");
}

}  // namespace

bool parse_jsonl_line(const std::string &line, JsonRecord *r, std::string *error) {
    Reader in(line);
    bool have_id = false;
    r->meta.clear();
    bool ok = in.eat('{');
    if (!ok) in.fail("expected an object");
    while (ok && !in.eat('}')) {
        std::string key;
        ok = in.string(&key) && (in.eat(':') || in.fail("expected ':'"));
        if (ok && key == "id") {
            MetaField v;
            bool is_null = false;
            ok = in.value(&v, &is_null) &&
                 ((v.kind == META_INT && v.i > 0 && !is_null) || in.fail("id must be a positive integer"));
            r->id = (uint64_t)v.i;
            have_id = ok;
        } else if (ok && key == "meta") {
            ok = in.meta(&r->meta);
        } else if (ok) {
            ok = in.fail("unknown field '" + key + "'");
        }
        if (ok && !in.eat(',')) {
            ok = in.eat('}') || in.fail("expected ',' or '}'");
            break;
        }
    }
    in.skip_space();
    if (ok && in.pos != line.size()) ok = in.fail("text after the record");
    if (ok && !have_id) ok = in.fail("no id");
    if (!ok && error) *error = in.error;
    return ok;
}
