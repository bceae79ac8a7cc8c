// Plain definitions of the global search, used only by tests and benchmarks
// as the reference the compiled matcher (core/search/matcher) must equal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/search/matcher.hpp"
#include "core/search/rule.hpp"
#include "core/text/text.hpp"

namespace corvane::matcher {

// q and the entry are normalized.
inline int score_entry(std::string_view q, const EntryText& e) {
    auto contains = [&](std::string_view t) { return q.find(t) != std::string_view::npos; };
    const bool title = !e.title.empty() && contains(e.title);
    bool alias = false;
    for (std::string_view a : e.aliases) {
        if (!a.empty() && contains(a)) {
            alias = true;
            break;
        }
    }
    int keywords = 0;
    for (std::string_view k : e.keywords) keywords += scoring::longer_than_one_char(k) && contains(k);
    return scoring::points(title, alias, keywords);
}

// Normalizes q and every text of every entry, scores all entries, keeps those
// above 0, sorts stably by score and cuts like the slice pairs[:top_k].
inline std::vector<Scored> search_linear(std::string_view raw_query, const std::vector<EntryText>& raw_entries,
                                         long long top_k) {
    const std::string q = text::normalize_text(raw_query);
    std::vector<Scored> pairs;
    std::vector<std::string> storage;
    for (std::size_t id = 0; id < raw_entries.size(); ++id) {
        const EntryText& raw = raw_entries[id];
        storage.clear();
        storage.reserve(1 + raw.aliases.size() + raw.keywords.size());
        EntryText e;
        e.title = storage.emplace_back(text::normalize_text(raw.title));
        for (std::string_view a : raw.aliases) e.aliases.push_back(storage.emplace_back(text::normalize_text(a)));
        for (std::string_view k : raw.keywords) e.keywords.push_back(storage.emplace_back(text::normalize_text(k)));
        const int s = score_entry(q, e);
        if (s > 0) pairs.emplace_back(static_cast<std::uint32_t>(id), s);
    }
    scoring::rank_and_cut(pairs, top_k, [](const Scored& s) { return s.second; });
    return pairs;
}

}  // namespace corvane::matcher
