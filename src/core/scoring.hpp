// Global scene scoring on normalized text: 15 points when the title occurs in
// the query, 12 once when some alias does, 2 per occurring keyword of two or
// more characters (at most 8 keywords counted).  "Occurs" is a substring test
// of the entry's text inside the query; empty texts never occur.
#pragma once

#include <cstddef>
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
inline bool keyword_counts(std::string_view query, std::string_view keyword) {
    return keyword.size() > 1 && uni::length(keyword) > 1 && occurs(query, keyword);
}

// Accumulates the score of one entry; feed the normalized texts in order.
class EntryScore {
public:
    explicit EntryScore(std::string_view query) : q_(query) {}
    void title(std::string_view t) {
        if (occurs(q_, t)) title_ = true;
    }
    // True once an alias has matched: later aliases need no test.
    bool alias_found() const { return alias_; }
    void alias(std::string_view a) {
        if (!alias_ && occurs(q_, a)) alias_ = true;
    }
    // True once the keyword cap is reached: later keywords add nothing.
    bool keywords_full() const { return keywords_ >= kMaxKeywords; }
    void keyword(std::string_view k) {
        if (keyword_counts(q_, k)) ++keywords_;
    }
    int total() const {
        const int counted = keywords_ < kMaxKeywords ? keywords_ : kMaxKeywords;
        return (title_ ? kTitlePoints : 0) + (alias_ ? kAliasPoints : 0) + kKeywordPoints * counted;
    }

private:
    std::string_view q_;
    bool title_ = false;
    bool alias_ = false;
    int keywords_ = 0;
};

}  // namespace corvane::scoring
