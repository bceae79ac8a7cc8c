// A strict JSON reader for one text (a scene index line): lexing, escapes,
// surrogate pairs and a depth limit here; the values are built by a handler,
// so the core stays free of any host's objects.
//
// It accepts what the host's json.loads accepts (NaN, Infinity and -Infinity
// included) and gives up on anything else (returns the handler's null value);
// the caller then hands the text to the host's own parser for the exact error.
//
// Handler (V is a pointer-like value type; a null V means failure):
//   V null_value(); V boolean(bool); V special_float(double);
//   V small_int(long long v);                     // at most 18 digits
//   V number_text(std::string_view text, bool is_float);   // anything else
//   V string(std::string_view utf8, bool is_key);          // no escapes in it
//   V escaped_string(std::string_view utf8, bool surrogates); // lone surrogates as 3-byte forms
//   V begin_array(); bool push(V array, V item);           // push takes the item, even on failure
//   V begin_object(); bool set(V object, V key, V value);  // set takes key and value, even on failure
//   void drop(V);                                          // releases a value on failure
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text/unicode.hpp"

namespace corvane::json {

template <class Handler>
class Reader {
public:
    using V = decltype(std::declval<Handler&>().null_value());
    static constexpr int kMaxDepth = 200;

    explicit Reader(Handler& h) : h_(h) {}

    // The value of `text` (white space around it allowed), or a null V.
    V parse(std::string_view text) {
        p_ = text.data();
        end_ = p_ + text.size();
        depth_ = 0;
        ws();
        V v = value();
        if (v) {
            ws();
            if (p_ != end_) {
                h_.drop(v);
                v = V{};
            }
        }
        return v;
    }

private:
    void ws() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool literal(const char* word, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }

    V value() {
        if (p_ == end_) return V{};
        switch (*p_) {
            case '{': return object();
            case '[': return array();
            case '"': return string(false);
            case 'n': return literal("null", 4) ? h_.null_value() : V{};
            case 't': return literal("true", 4) ? h_.boolean(true) : V{};
            case 'f': return literal("false", 5) ? h_.boolean(false) : V{};
            case 'N': return literal("NaN", 3) ? h_.special_float(NAN) : V{};
            case 'I': return literal("Infinity", 8) ? h_.special_float(INFINITY) : V{};
            case '-':
                if (p_ + 1 != end_ && p_[1] == 'I') return literal("-Infinity", 9) ? h_.special_float(-INFINITY) : V{};
                return number();
            default:
                return (*p_ >= '0' && *p_ <= '9') ? number() : V{};
        }
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    V number() {
        const char* start = p_;
        const char* q = p_;
        if (*q == '-') ++q;
        if (q == end_) return V{};
        if (*q >= '1' && *q <= '9') {
            while (q != end_ && digit(*q)) ++q;
        } else if (*q == '0') {
            ++q;
        } else {
            return V{};
        }
        bool is_float = false;
        if (q + 1 < end_ && *q == '.' && digit(q[1])) {
            is_float = true;
            q += 2;
            while (q != end_ && digit(*q)) ++q;
        }
        if (q != end_ && (*q == 'e' || *q == 'E')) {
            const char* e = q + 1;
            if (e != end_ && (*e == '+' || *e == '-')) ++e;
            if (e != end_ && digit(*e)) {
                while (e != end_ && digit(*e)) ++e;
                q = e;
                is_float = true;
            }
        }
        p_ = q;
        const std::size_t len = static_cast<std::size_t>(q - start);
        if (!is_float && len <= 18) {
            long long v = 0;
            const char* d = start + (*start == '-');
            for (; d != q; ++d) v = v * 10 + (*d - '0');
            return h_.small_int(*start == '-' ? -v : v);
        }
        return h_.number_text(std::string_view(start, len), is_float);
    }

    static int hex4(const char* s) {
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s[i];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else return -1;
        }
        return v;
    }

    V string(bool is_key) {
        ++p_;  // opening quote
        const char* start = p_;
        // Eight bytes at a time past those that are none of '"', '\\' and
        // control characters.
        constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
        while (end_ - p_ >= 8) {
            std::uint64_t x;
            std::memcpy(&x, p_, 8);
            const std::uint64_t q = x ^ (kOnes * '"'), b = x ^ (kOnes * '\\');
            const std::uint64_t special = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((x - kOnes * 0x20) & ~x);
            if (special & kHigh) break;
            p_ += 8;
        }
        while (p_ != end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                const std::string_view bytes(start, static_cast<std::size_t>(p_ - start));
                ++p_;
                return h_.string(bytes, is_key);
            }
            if (c == '\\') break;
            if (c < 0x20) return V{};
            ++p_;
        }
        if (p_ == end_) return V{};
        // Escapes: build the UTF-8 text, lone surrogates in their three-byte form.
        std::string& out = str_;
        out.assign(start, static_cast<std::size_t>(p_ - start));
        bool surrogates = false;
        while (p_ != end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                // Lone surrogates pass through in their three-byte form: those
                // bytes must not also come from the text itself, which has to
                // be valid UTF-8 on its own.
                if (surrogates &&
                    uni::find_invalid_utf8(std::string_view(start, static_cast<std::size_t>(p_ - start))) !=
                        std::string_view::npos)
                    return V{};
                ++p_;
                return h_.escaped_string(out, surrogates);
            }
            if (c < 0x20) return V{};
            if (c != '\\') {
                const char* run = p_++;
                while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
                out.append(run, static_cast<std::size_t>(p_ - run));
                continue;
            }
            if (++p_ == end_) return V{};
            const char e = *p_++;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    if (end_ - p_ < 4) return V{};
                    int cp = hex4(p_);
                    if (cp < 0) return V{};
                    p_ += 4;
                    if (cp >= 0xD800 && cp <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                        const int lo = hex4(p_ + 2);
                        if (lo >= 0xDC00 && lo <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                            p_ += 6;
                        }
                    }
                    if (cp >= 0xD800 && cp <= 0xDFFF) surrogates = true;
                    uni::append_utf8(out, static_cast<char32_t>(cp));
                    break;
                }
                default:
                    return V{};
            }
        }
        return V{};
    }

    V array() {
        if (++depth_ > kMaxDepth) return V{};
        ++p_;
        V list = h_.begin_array();
        if (!list) return V{};
        ws();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            --depth_;
            return list;
        }
        while (true) {
            V item = value();
            if (!item || !h_.push(list, item)) break;
            ws();
            if (p_ == end_) break;
            if (*p_ == ',') {
                ++p_;
                ws();
                continue;
            }
            if (*p_ == ']') {
                ++p_;
                --depth_;
                return list;
            }
            break;
        }
        h_.drop(list);
        return V{};
    }

    V object() {
        if (++depth_ > kMaxDepth) return V{};
        ++p_;
        V dict = h_.begin_object();
        if (!dict) return V{};
        ws();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            --depth_;
            return dict;
        }
        while (true) {
            if (p_ == end_ || *p_ != '"') break;
            V k = string(true);
            if (!k) break;
            ws();
            if (p_ == end_ || *p_ != ':') {
                h_.drop(k);
                break;
            }
            ++p_;
            ws();
            V v = value();
            if (!v) {
                h_.drop(k);
                break;
            }
            if (!h_.set(dict, k, v)) break;
            ws();
            if (p_ == end_) break;
            if (*p_ == ',') {
                ++p_;
                ws();
                continue;
            }
            if (*p_ == '}') {
                ++p_;
                --depth_;
                return dict;
            }
            break;
        }
        h_.drop(dict);
        return V{};
    }

    Handler& h_;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    int depth_ = 0;
    std::string str_;
};

}  // namespace corvane::json
