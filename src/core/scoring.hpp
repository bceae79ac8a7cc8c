// Global scene scoring on normalized text: 15 points when the title occurs in
// the query, 12 once when some alias does, 2 per occurring keyword of two or
// more characters (at most 8 keywords counted).  "Occurs" is a substring test
// of the entry's text inside the query; empty texts never occur.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/unicode.hpp"

namespace corvane::scoring {

inline constexpr int kTitlePoints = 15;
inline constexpr int kAliasPoints = 12;
inline constexpr int kKeywordPoints = 2;
inline constexpr int kMaxKeywords = 8;

// Both arguments normalized.  UTF-8 is self-synchronizing, so a byte
// substring is a code-point substring.
inline bool occurs(std::string_view query, std::string_view text) {
    return !text.empty() && query.find(text) != std::string_view::npos;
}
// More than one character (uni::length(s) > 1, without counting them all).
inline bool longer_than_one_char(std::string_view s) {
    for (std::size_t i = 1; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return true;
    return false;
}
inline bool keyword_counts(std::string_view query, std::string_view keyword) {
    return longer_than_one_char(keyword) && occurs(query, keyword);
}

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

// Accumulates the score of one entry; feed the normalized texts in order.
class EntryScore {
public:
    explicit EntryScore(const Query& query) : q_(query) {}
    void title(std::string_view t) {
        if (q_.contains(t)) title_ = true;
    }
    // True once an alias has matched: later aliases need no test.
    bool alias_found() const { return alias_; }
    void alias(std::string_view a) {
        if (!alias_ && q_.contains(a)) alias_ = true;
    }
    // True once the keyword cap is reached: later keywords add nothing.
    bool keywords_full() const { return keywords_ >= kMaxKeywords; }
    void keyword(std::string_view k) {
        if (longer_than_one_char(k) && q_.contains(k)) ++keywords_;
    }
    int total() const {
        const int counted = keywords_ < kMaxKeywords ? keywords_ : kMaxKeywords;
        return (title_ ? kTitlePoints : 0) + (alias_ ? kAliasPoints : 0) + kKeywordPoints * counted;
    }

private:
    const Query& q_;
    bool title_ = false;
    bool alias_ = false;
    int keywords_ = 0;
};

}  // namespace corvane::scoring
