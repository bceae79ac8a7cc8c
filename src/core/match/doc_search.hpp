// In-document scene scoring: substring tests of normalized text against the
// normalized question, with fixed weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/search/rule.hpp"

namespace corvane::doc_search {

// The first three tests weigh as in the global search.
using scoring::kAliasPoints;
using scoring::kKeywordPoints;
using scoring::kMaxKeywords;
using scoring::kTitlePoints;
inline constexpr int kQueryInTitlePoints = 8;
inline constexpr int kHowToStepsPoints = 3;
inline constexpr int kWarningPoints = 4;

// Scores entries against one question.  Per entry: begin(), title(), alias()
// for each alias, keyword() for each keyword, then finish().  Inputs are raw
// (unnormalized) UTF-8.
class Scorer {
public:
    explicit Scorer(std::string_view query);

    void begin();
    void title(std::string_view raw);
    void alias(std::string_view raw);
    void keyword(std::string_view raw);
    // The same as keyword() over the scene's keyword list, fed straight from
    // the scene's texts in keyword order (the title, then each text with its
    // token limit), without building the list: only the candidates that occur
    // in the question matter, and only those are checked for repeats.
    void keyword_title(std::string_view raw);
    void keyword_text(std::string_view text, std::size_t limit);
    int finish(bool has_steps, bool has_warning_or_notice);

    // True once further aliases cannot change the score (saves normalizing).
    bool alias_decided() const { return alias_hit_; }
    bool keywords_decided() const { return keyword_hits_ >= kMaxKeywords; }

    bool how_to_cue() const { return how_to_cue_; }
    bool warning_cue() const { return warning_cue_; }
    const std::string& normalized_query() const { return q_; }

private:
    bool occurs(std::string_view needle) const { return q_.find(needle) != std::string::npos; }
    void candidate(std::string_view raw, bool is_token);
    std::string q_;
    std::vector<bool> in_query_;  // BMP code points of the normalized question
    std::vector<std::string_view> hit_raw_;
    std::string buf_;
    bool how_to_cue_ = false;
    bool warning_cue_ = false;
    int score_ = 0;
    bool alias_hit_ = false;
    int keyword_hits_ = 0;
};

// Indices of the entries to return: those with a positive score, best first
// (stable among equal scores), cut as a slice [:top_k] would cut them.
std::vector<std::size_t> rank(const std::vector<int>& scores, long long top_k);

}  // namespace corvane::doc_search
