// A normalized query prepared for the substring tests of the score rule
// (search/rule.hpp): over UTF-8 texts (Query) and over the host's code units
// of any width, normalized on the way (UnitQuery).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/search/rule.hpp"
#include "core/text/unicode.hpp"

namespace corvane::scoring {

// A normalized query prepared for many substring tests: the set of its
// adjacent byte pairs rejects most texts that cannot occur in it before any
// search.
class Query {
public:
    explicit Query(std::string_view q) : q_(q), pairs_(new std::uint64_t[1024]()) {
        for (std::size_t i = 0; i + 1 < q.size(); ++i) {
            const unsigned p = pair_at(q, i);
            pairs_[p >> 6] |= std::uint64_t{1} << (p & 63);
        }
    }
    std::string_view text() const { return q_; }
    bool contains(std::string_view t) const {
        if (t.empty() || t.size() > q_.size()) return false;
        for (std::size_t i = 0; i + 1 < t.size(); ++i) {
            const unsigned p = pair_at(t, i);
            if (!(pairs_[p >> 6] >> (p & 63) & 1)) return false;
        }
        return q_.find(t) != std::string_view::npos;
    }

private:
    static unsigned pair_at(std::string_view s, std::size_t i) {
        return static_cast<unsigned>(static_cast<unsigned char>(s[i])) << 8 | static_cast<unsigned char>(s[i + 1]);
    }
    std::string_view q_;
    std::unique_ptr<std::uint64_t[]> pairs_;
};

// normalize_text character by character, for the BMP: the one code point a
// character becomes, kRemoved for white space, or kComplex when the full rule
// is needed (lower case of several code points, the final sigma, surrogates,
// U+FFFE/U+FFFF).  Every other character is mapped on its own, so a text made
// of such characters normalizes to the concatenation of their images.
inline constexpr std::uint16_t kRemoved = 0xFFFE;
inline constexpr std::uint16_t kComplex = 0xFFFF;

inline const std::uint16_t* bmp_map() {
    static const std::unique_ptr<std::uint16_t[]> table = [] {
        std::unique_ptr<std::uint16_t[]> t(new std::uint16_t[0x10000]);
        std::string one, low;
        for (char32_t c = 0; c < 0x10000; ++c) {
            std::uint16_t v = kComplex;
            if ((c >= 0xD800 && c <= 0xDFFF) || c >= 0xFFFE || c == 0x3A3) {
                v = kComplex;
            } else if (uni::is_space(c)) {
                v = kRemoved;
            } else if (c == 0xFF08) {
                v = '(';
            } else if (c == 0xFF09) {
                v = ')';
            } else {
                one.clear();
                low.clear();
                uni::append_utf8(one, c);
                uni::append_lower(low, one, 0, one.size(), c);
                std::size_t i = 0;
                const char32_t d = uni::next(low, i);
                if (i == low.size() && d < 0xFFFE && !(d >= 0xD800 && d <= 0xDFFF)) v = static_cast<std::uint16_t>(d);
            }
            t[c] = v;
        }
        return t;
    }();
    return table.get();
}

// A normalized query held as code points, for substring tests against texts
// given as code units of any width (1, 2 or 4 bytes per character) that are
// normalized on the way, one character at a time.
class UnitQuery {
public:
    explicit UnitQuery(std::string_view normalized)
        : map_(bmp_map()), chars_(new std::uint64_t[1024]()), pairs_(new std::uint64_t[1024]()) {
        for (std::size_t i = 0; i < normalized.size();) q_.push_back(uni::next(normalized, i));
        for (std::size_t i = 0; i < q_.size(); ++i) {
            if (q_[i] < 0x10000) chars_[q_[i] >> 6] |= std::uint64_t{1} << (q_[i] & 63);
            if (i + 1 < q_.size()) {
                const unsigned h = pair_hash(q_[i], q_[i + 1]);
                pairs_[h >> 6] |= std::uint64_t{1} << (h & 63);
            }
        }
        buf_.resize(q_.size() + 1);
    }

    // 1 when the normalized text of s[0, n) occurs in the query (for a
    // keyword: and is longer than one character), 0 when not, -1 when the
    // text needs the full normalization to tell.
    template <class T>
    int occurs(const T* s, std::size_t n, bool keyword) {
        if (n == 0) return 0;
        // The image of the first character starts the normalized text: a
        // character the query lacks settles most texts at once.
        const char32_t c0 = map(s[0]);
        if (c0 == kComplex) return -1;
        if (c0 != kRemoved) {
            if (!has(c0)) return 0;
            if (n > 1) {
                const char32_t c1 = map(s[1]);
                if (c1 < kRemoved && !has_pair(c0, c1)) return 0;
            }
        }
        const std::size_t qn = q_.size();
        std::size_t m = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const char32_t c = map(s[i]);
            if (c == kRemoved) continue;
            if (c == kComplex) return -1;
            if (m == qn) return 0;  // longer than the query (the rest only adds)
            buf_[m++] = c;
        }
        if (m == 0 || (keyword && m < 2)) return 0;
        const char32_t* b = buf_.data();
        const char32_t* q = q_.data();
        for (std::size_t i = 0; i + m <= qn; ++i) {
            if (q[i] != b[0]) continue;
            std::size_t k = 1;
            while (k < m && q[i + k] == b[k]) ++k;
            if (k == m) return 1;
        }
        return 0;
    }

private:
    template <class T>
    char32_t map(T unit) const {
        const auto c = static_cast<std::uint32_t>(unit);
        if (c >= 0x4E00 && c <= 0x9FFF) return c;
        if (c >= 0x10000) return kComplex;
        return map_[c];
    }
    bool has(char32_t c) const { return chars_[c >> 6] >> (c & 63) & 1; }
    static unsigned pair_hash(char32_t a, char32_t b) { return (a * 0x9E37u ^ b) & 0xFFFFu; }
    bool has_pair(char32_t a, char32_t b) const {
        const unsigned h = pair_hash(a, b);
        return pairs_[h >> 6] >> (h & 63) & 1;
    }

    const std::uint16_t* map_;
    std::vector<char32_t> q_;
    std::vector<char32_t> buf_;
    std::unique_ptr<std::uint64_t[]> chars_;  // BMP code points of the query
    std::unique_ptr<std::uint64_t[]> pairs_;  // hashed adjacent pairs
};

}  // namespace corvane::scoring
