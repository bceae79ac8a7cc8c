// The global score rule and the top-k cut: the only copy.  The uncompiled
// search (farrowin), the compiled index (search/matcher) and the in-document
// search (match/doc_search, which adds its own cues on top) all score with
// points() and cut with kept_count().
//
// On normalized text: 15 points when the title occurs in the query, 12 once
// when some alias does, 2 per occurring keyword of two or more characters (at
// most 8 keywords counted).  "Occurs" is a substring test of the entry's text
// inside the query; empty texts never occur.  Entries scoring 0 are dropped;
// the rest are ordered best first, equal scores in index order (a stable
// sort), and cut like the slice pairs[:top_k].
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace corvane::scoring {

inline constexpr int kTitlePoints = 15;
inline constexpr int kAliasPoints = 12;
inline constexpr int kKeywordPoints = 2;
inline constexpr int kMaxKeywords = 8;

// The score of an entry from its three tests (keywords: the count that occur).
inline int points(bool title, bool alias, int keywords) {
    return (title ? kTitlePoints : 0) + (alias ? kAliasPoints : 0) + kKeywordPoints * std::min(keywords, kMaxKeywords);
}

// The rule's "occurs": a non-empty text inside the query (both normalized).
inline bool occurs(std::string_view query, std::string_view text) {
    return !text.empty() && query.find(text) != std::string_view::npos;
}

// More than one character (a keyword that may count), without counting them all.
inline bool longer_than_one_char(std::string_view s) {
    for (std::size_t i = 1; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return true;
    return false;
}

// How many of n ranked results pairs[:top_k] keeps (the host's slice rules:
// a negative top_k drops that many from the end).
inline std::size_t kept_count(std::size_t n, long long top_k) {
    const auto sn = static_cast<long long>(n);
    return static_cast<std::size_t>(top_k >= 0 ? std::min(top_k, sn) : std::max(0LL, sn + top_k));
}

// Orders results best first, equal scores keeping their order, and cuts them
// to top_k.  score(item) gives an item's score.
template <class Vec, class Score>
void rank_and_cut(Vec& items, long long top_k, Score score) {
    std::stable_sort(items.begin(), items.end(), [&](const auto& a, const auto& b) { return score(a) > score(b); });
    items.resize(kept_count(items.size(), top_k));
}

}  // namespace corvane::scoring
