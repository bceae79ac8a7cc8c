#include "core/json/string_lists.hpp"

#include <cstddef>
#include <unordered_set>

#include "core/text/unicode.hpp"

namespace corvane::json {
namespace {

// One pass over `{ "key": value, ... }` where a value is an array of strings
// or, when singles are allowed, a string.  Strings must be free of escapes
// and control characters and be strict UTF-8.  Sink: key(view),
// value(view), each call in text order; it may refuse a key (false).
template <class Sink>
class Scan {
public:
    Scan(std::string_view t, bool singles, Sink& sink)
        : p_(reinterpret_cast<const unsigned char*>(t.data())), end_(p_ + t.size()), singles_(singles), sink_(sink) {}

    bool object() {
        ws();
        if (!eat('{')) return false;
        ws();
        if (eat('}')) return done();
        std::string_view s;
        while (true) {
            if (!string(s) || !sink_.key(s)) return false;
            ws();
            if (!eat(':')) return false;
            ws();
            if (p_ != end_ && *p_ == '"' && singles_) {
                if (!string(s)) return false;
                sink_.value(s);
            } else if (!string_array()) {
                return false;
            }
            ws();
            if (eat('}')) return done();
            if (!eat(',')) return false;
            ws();
        }
    }

private:
    bool done() {
        ws();
        return p_ == end_;
    }
    void ws() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool eat(unsigned char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    bool string_array() {
        if (!eat('[')) return false;
        ws();
        if (eat(']')) return true;
        std::string_view s;
        while (true) {
            if (!string(s)) return false;
            sink_.value(s);
            ws();
            if (eat(']')) return true;
            if (!eat(',')) return false;
            ws();
        }
    }
    // A string without escapes or control characters, in strict UTF-8
    // (uni::find_invalid_utf8; bytes of multi-byte characters are never
    // a quote, a backslash or a control character).
    bool string(std::string_view& out) {
        if (!eat('"')) return false;
        const unsigned char* start = p_;
        while (p_ != end_) {
            const unsigned char c = *p_;
            if (c == '"') {
                out = {reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start)};
                ++p_;
                return uni::find_invalid_utf8(out) == std::string_view::npos;
            }
            if (c == '\\' || c < 0x20) return false;
            ++p_;
        }
        return false;
    }

    const unsigned char* p_;
    const unsigned char* end_;
    bool singles_;
    Sink& sink_;
};

struct CheckOnly {
    bool key(std::string_view) { return true; }  // a repeated key: the last value's shape is checked too
    void value(std::string_view) {}
};

// Nothing but white space (str.isspace), or nothing at all.
bool blank(std::string_view s) {
    for (std::size_t i = 0; i < s.size();)
        if (!uni::is_space(uni::next(s, i))) return false;
    return true;
}

struct Collect {
    std::vector<TextList> out;
    std::unordered_set<std::string_view> seen;
    bool key(std::string_view k) {
        if (blank(k)) return false;  // refused by the host's reading, with its own message
        if (!seen.insert(k).second) return false;  // the host keeps the first place and the last value
        out.push_back({std::string(k), {}});
        return true;
    }
    void value(std::string_view v) { out.back().values.emplace_back(v); }
};

}  // namespace

bool alias_text_well_formed(std::string_view text) {
    CheckOnly sink;
    return Scan<CheckOnly>(text, false, sink).object();
}

std::optional<std::vector<TextList>> read_synonym_text(std::string_view text) {
    Collect sink;
    if (!Scan<Collect>(text, true, sink).object()) return std::nullopt;
    return std::move(sink.out);
}

}  // namespace corvane::json
