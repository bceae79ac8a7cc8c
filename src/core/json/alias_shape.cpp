#include "core/json/alias_shape.hpp"

#include <cstddef>

namespace corvane::json {
namespace {

// One pass over the text for the one shape an alias file has.  Strings with
// an escape are "not sure" (false): the host's reading decides those.
class Scan {
public:
    explicit Scan(std::string_view t) : p_(reinterpret_cast<const unsigned char*>(t.data())), end_(p_ + t.size()) {}

    bool alias_object() {
        ws();
        if (!eat('{')) return false;
        ws();
        if (eat('}')) return done();
        while (true) {
            if (!string()) return false;
            ws();
            if (!eat(':')) return false;
            ws();
            if (!string_array()) return false;
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
        while (true) {
            if (!string()) return false;
            ws();
            if (eat(']')) return true;
            if (!eat(',')) return false;
            ws();
        }
    }
    // A string without escapes or control characters, in strict UTF-8 (no
    // overlong forms, no surrogates, nothing above U+10FFFF).
    bool string() {
        if (!eat('"')) return false;
        while (p_ != end_) {
            const unsigned char c = *p_;
            if (c < 0x80) {
                if (c == '"') {
                    ++p_;
                    return true;
                }
                if (c == '\\' || c < 0x20) return false;
                ++p_;
                continue;
            }
            std::size_t n;
            unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
            if (c >= 0xC2 && c <= 0xDF) n = 2;
            else if (c >= 0xE0 && c <= 0xEF) {
                n = 3;
                if (c == 0xE0) lo = 0xA0;
                if (c == 0xED) hi = 0x9F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                n = 4;
                if (c == 0xF0) lo = 0x90;
                if (c == 0xF4) hi = 0x8F;
            } else {
                return false;
            }
            if (static_cast<std::size_t>(end_ - p_) < n || p_[1] < lo || p_[1] > hi) return false;
            for (std::size_t i = 2; i < n; ++i)
                if ((p_[i] & 0xC0) != 0x80) return false;
            p_ += n;
        }
        return false;
    }

    const unsigned char* p_;
    const unsigned char* end_;
};

}  // namespace

bool alias_text_well_formed(std::string_view text) { return Scan(text).alias_object(); }

}  // namespace corvane::json
