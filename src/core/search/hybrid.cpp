#include "core/search/hybrid.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/text.hpp"

namespace corvane::search {

namespace {
// Function words of questions ("how", "what", "can it", ...): they occur in
// almost every question and in some scene texts, so matching them says
// nothing about the topic.  They are left out of the query's BM25 terms.
constexpr std::string_view kQueryStopTerms[] = {
    "怎么", "么办", "么样", "怎样", "什么", "么时", "时候", "为什", "如何", "哪里", "哪个", "哪些", "在哪",
    "多少", "可以", "能不", "是不", "有没", "一下", "的话", "这个", "那个", "是否", "能否", "还是", "吗",
};
bool is_stop_term(std::string_view t) {
    for (std::string_view s : kQueryStopTerms)
        if (s == t) return true;
    return false;
}
}  // namespace

std::string_view base_title(std::string_view title) {
    std::string_view t = text::rstrip(title);
    for (auto [open, close] : {std::pair<std::string_view, std::string_view>{"（", "）"}, {"(", ")"}}) {
        if (t.size() < close.size() || t.substr(t.size() - close.size()) != close) continue;
        const std::size_t at = t.rfind(open);
        if (at == std::string_view::npos || at == 0) continue;
        const std::string_view head = text::rstrip(t.substr(0, at));
        if (!head.empty()) return head;
    }
    return title;
}

HybridBuilder::HybridBuilder(const HybridParams& params) : params_(params), bm25_(params.bm25) {
    if (!std::isfinite(params.threshold) || params.threshold < 0) throw Bm25Error("threshold must be a number of 0 or more");
}

std::uint32_t HybridBuilder::begin_entry(std::string_view title) {
    title_.assign(title);
    exact_.begin_entry(title);
    const std::uint32_t id = strong_.begin_entry(title);
    const std::string_view base = base_title(title);
    if (base.size() != title.size()) strong_.add_alias(base);
    bm25_.begin_entry();
    bm25_.add_text(kTitle, title);
    return id;
}

void HybridBuilder::add_alias(std::string_view alias) {
    exact_.add_alias(alias);
    strong_.add_alias(alias);
    if (alias != title_) bm25_.add_text(kAliases, alias);
}

void HybridBuilder::add_keyword(std::string_view keyword) { exact_.add_keyword(keyword); }

void HybridBuilder::add_text(Field field, std::string_view text) {
    if (field == kTitle || field == kAliases) throw Bm25Error("titles and aliases are added with begin_entry and add_alias");
    bm25_.add_text(field, text);
}

void HybridBuilder::add_synonym(std::string_view colloquial, std::string_view wording) {
    const std::string key = text::normalize_text(colloquial);
    if (key.empty()) throw Bm25Error("a synonym key is empty once normalized");
    synonyms_.begin_entry(key, true);
    syn_values_.push_back(text::normalize_text(wording));
}

HybridRanker HybridBuilder::build() {
    HybridRanker r;
    r.params_ = params_;
    r.exact_ = exact_.compile();
    r.strong_ = strong_.compile();
    r.synonyms_ = synonyms_.compile();
    r.syn_values_ = std::move(syn_values_);
    syn_values_.clear();
    r.bm25_ = bm25_.build();
    const double n = r.bm25_.view().size();
    r.score_threshold_ = params_.threshold * std::log(1 + std::max(0.0, n - 0.5) / 1.5);
    return r;
}

std::string HybridRanker::expand(std::string_view raw_query) const {
    std::string q = text::normalize_text(raw_query);
    if (syn_values_.empty()) return q;
    const auto hits = synonyms_.search(q, static_cast<long long>(syn_values_.size()));
    std::vector<std::uint32_t> ids;
    for (const auto& [id, s] : hits) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    for (std::uint32_t id : ids) {
        q.push_back('\n');
        q += syn_values_[id];
    }
    return q;
}

std::vector<Ranked> HybridRanker::search(std::string_view raw_query, std::size_t top_k) const {
    std::vector<Ranked> out;
    if (top_k == 0 || size() == 0) return out;
    const std::string q = expand(raw_query);
    std::vector<std::string> terms;
    {
        std::string scratch;
        for_each_term(q, scratch, [&](std::string_view t) {
            if (!is_stop_term(t) && std::find(terms.begin(), terms.end(), t) == terms.end()) terms.emplace_back(t);
        });
    }
    const Bm25View& bm = bm25_.view();

    // Stage 1: title or alias containment, in the global search's order.
    const auto strong = strong_.search(q, static_cast<long long>(size()));
    std::vector<std::pair<int, std::uint32_t>> first;  // (exact score, entry)
    first.reserve(strong.size());
    for (const auto& [id, s] : strong) first.emplace_back(exact_.score(q, id), id);
    std::sort(first.begin(), first.end(),
              [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });

    const std::size_t want = std::min(top_k, size());
    // Stage 2 fills want - |first| places; the best `want` BM25 entries hold
    // at least that many outside stage 1.  With stage 1 full it is not needed.
    std::vector<Hit> hits;
    if (first.size() < want) hits = bm.search_terms(terms, want);
    if (first.empty() && (hits.empty() || hits.front().second < score_threshold_)) return out;

    for (const auto& [s, id] : first) {
        if (out.size() >= want) break;
        out.push_back({id, bm.score(terms, id), 1});
    }
    for (const auto& [id, s] : hits) {
        if (out.size() >= want) break;
        if (std::any_of(first.begin(), first.end(), [&](const auto& f) { return f.second == id; })) continue;
        out.push_back({id, s, 2});
    }
    return out;
}

}  // namespace corvane::search
