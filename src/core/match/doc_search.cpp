#include "core/match/doc_search.hpp"

#include <algorithm>

#include "core/text/text.hpp"

namespace corvane::doc_search {

namespace {
bool contains_any(std::string_view q, std::initializer_list<std::string_view> cues) {
    for (std::string_view c : cues)
        if (q.find(c) != std::string_view::npos) return true;
    return false;
}
}  // namespace

Scorer::Scorer(std::string_view query) : q_(text::normalize_text(query)) {
    how_to_cue_ = contains_any(q_, {"怎么", "如何", "步骤", "流程"});
    warning_cue_ = contains_any(q_, {"注意", "警告", "风险", "禁止"});
    in_query_.assign(0x10000, false);
    for (std::size_t i = 0; i < q_.size();) {
        const char32_t c = uni::next(q_, i);
        if (c < 0x10000) in_query_[c] = true;
    }
}

void Scorer::begin() {
    score_ = 0;
    alias_hit_ = false;
    keyword_hits_ = 0;
    hit_raw_.clear();
}

void Scorer::title(std::string_view raw) {
    buf_.clear();
    text::append_normalized(buf_, raw);
    if (!buf_.empty() && occurs(buf_)) score_ += kTitlePoints;
    // The question inside the title; an empty question occurs in every title.
    if (buf_.find(q_) != std::string::npos) score_ += kQueryInTitlePoints;
}

void Scorer::alias(std::string_view raw) {
    if (alias_hit_) return;
    buf_.clear();
    text::append_normalized(buf_, raw);
    if (!buf_.empty() && occurs(buf_)) alias_hit_ = true;
}

void Scorer::keyword(std::string_view raw) {
    if (keyword_hits_ >= kMaxKeywords) return;
    buf_.clear();
    text::append_normalized(buf_, raw);
    if (uni::length(buf_) >= 2 && occurs(buf_)) ++keyword_hits_;
}

void Scorer::candidate(std::string_view raw, bool is_token) {
    if (keyword_hits_ >= kMaxKeywords) return;
    buf_.clear();
    if (is_token) {
        // Tokens hold only ideographs and ASCII letters and digits: normalizing
        // is ASCII lower-casing, and a token whose first character is not in
        // the question cannot occur in it.
        std::size_t i = 0;
        char32_t first = uni::next(raw, i);
        if (first >= 'A' && first <= 'Z') first += 32;
        if (!in_query_[first]) return;
        for (char ch : raw) buf_.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch);
    } else {
        text::append_normalized(buf_, raw);
    }
    if (uni::length(buf_) < 2 || !occurs(buf_)) return;
    for (std::string_view seen : hit_raw_)
        if (seen == raw) return;  // a repeat of a keyword already counted
    hit_raw_.push_back(raw);
    ++keyword_hits_;
}

void Scorer::keyword_title(std::string_view raw) {
    if (uni::length(raw) > 1) candidate(raw, false);
}

void Scorer::keyword_text(std::string_view s, std::size_t limit) {
    if (keyword_hits_ >= kMaxKeywords) return;
    text::for_each_token(s, limit, [&](std::string_view token, std::size_t cps) {
        if (cps > 1) candidate(token, true);
    });
}

int Scorer::finish(bool has_steps, bool has_warning_or_notice) {
    int s = score_ + scoring::points(false, alias_hit_, keyword_hits_);
    if (how_to_cue_ && has_steps) s += kHowToStepsPoints;
    if (warning_cue_ && has_warning_or_notice) s += kWarningPoints;
    return s;
}

std::vector<std::size_t> rank(const std::vector<int>& scores, long long top_k) {
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < scores.size(); ++i)
        if (scores[i] > 0) kept.push_back(i);
    scoring::rank_and_cut(kept, top_k, [&](std::size_t i) { return scores[i]; });
    return kept;
}

}  // namespace corvane::doc_search
