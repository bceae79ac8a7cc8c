// The hybrid ranker: the global search's high-precision matches first, the
// remaining places filled by BM25 (bm25.hpp).
//
// For a query q (normalized, then extended by the synonym map: every
// colloquial key occurring in q adds its manual wordings, each after a line
// break so that no pattern matches across the joint):
//   stage 1  entries whose title or one of whose aliases occurs in q -- the
//            global search's matches scoring 12 or more -- in the global
//            search's order (score, best first, then index order).  A title
//            ending in a bracketed part (a model name, "机油检查（Linde H7）")
//            also matches without that part; such an entry scores what the
//            global search gives it.
//   stage 2  the BM25 ranking, skipping entries already placed.  The query's
//            question words and particles (怎么, 什么, 可以, 吗, 的, ...) are
//            dropped from it before it is read into terms (the text around
//            them closing up), so that neither they nor the bigrams
//            straddling them count.
// Refusal: with no stage-1 match and a best BM25 score below the threshold
// (HybridParams), the result is empty.  Every result carries its BM25 score (0 when it shares
// no term with the query).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <functional>
#include <vector>

#include "core/search/matcher.hpp"
#include "core/search/bm25.hpp"

namespace corvane::search {

struct HybridParams {
    Bm25Params bm25;
    // Refusal threshold, in units of the idf of a term that one entry alone
    // holds (ln(1 + (N - 0.5) / 1.5) for N entries), so that one setting
    // serves indexes of any size.  The default is calibrated on the labelled
    // questions (README, "Hybrid ranker").
    double threshold = 1.36;
};

struct Ranked {
    std::uint32_t entry;
    double score;  // BM25 score
    int stage;     // 1 or 2
};

// "机油检查（Linde H7）" -> "机油检查": the title without a trailing part in
// full-width or ASCII brackets; the title itself when it has none (or when
// nothing would be left).
std::string_view base_title(std::string_view title);

class HybridRanker;

class HybridBuilder {
public:
    explicit HybridBuilder(const HybridParams& params = {});  // throws Bm25Error on bad parameters
    // Starts the next entry with its title (added to the title field).
    std::uint32_t begin_entry(std::string_view title);
    // An alias: matched whole in stage 1; added to the alias field unless it
    // equals the title.
    void add_alias(std::string_view alias);
    // A keyword of the global search (stage-1 order only).
    void add_keyword(std::string_view keyword);
    // Text of one of the other fields (description, steps, warning, notice, tip).
    void add_text(Field field, std::string_view text);
    // colloquial -> manual wording; both raw text.
    void add_synonym(std::string_view colloquial, std::string_view wording);
    HybridRanker build();

private:
    void add_exact_text(std::string_view text, bool keyword);

    HybridParams params_;
    matcher::IndexBuilder strong_, synonyms_;
    Bm25Builder bm25_;
    std::vector<std::string> syn_values_;
    std::string title_, norm_;
    // The global search's texts of every entry, normalized (see HybridRanker).
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> text_ids_;
    std::string exact_texts_;
    std::vector<std::uint64_t> exact_spans_;
    std::vector<std::uint32_t> entry_items_, entry_start_, alias_count_;
};

class HybridRanker {
public:
    HybridRanker() = default;
    HybridRanker(HybridRanker&&) noexcept = default;
    HybridRanker& operator=(HybridRanker&&) noexcept = default;

    std::vector<Ranked> search(std::string_view raw_query, std::size_t top_k) const;
    // The normalized query with its synonym wordings appended.
    std::string expand(std::string_view raw_query) const;

    std::size_t size() const { return bm25_.view().size(); }
    const Bm25Index& bm25() const { return bm25_; }
    double threshold() const { return params_.threshold; }
    // The threshold as a BM25 score for this index.
    double score_threshold() const { return score_threshold_; }
    std::size_t memory_bytes() const {
        return exact_texts_.capacity() + 8 * exact_spans_.capacity() +
               4 * (entry_items_.capacity() + entry_start_.capacity() + alias_count_.capacity()) +
               strong_.memory_bytes() + synonyms_.memory_bytes() + bm25_.memory_bytes();
    }
    // The global search's score of one entry for a normalized query.
    int exact_score(std::string_view normalized_query, std::uint32_t entry) const;

private:
    friend class HybridBuilder;
    HybridParams params_;
    double score_threshold_ = 0;
    // The global search's texts, normalized, to order the stage-1 entries.
    // Distinct texts are stored once (exact_spans_[id] = offset << 24 |
    // length into exact_texts_); entry e lists text ids from
    // entry_items_[entry_start_[e]]: its title, its alias_count_[e] aliases,
    // then its keywords of two or more characters, up to the next entry.
    std::string exact_texts_;
    std::vector<std::uint64_t> exact_spans_;
    std::vector<std::uint32_t> entry_items_, entry_start_, alias_count_;
    matcher::CompiledIndex strong_;    // titles, base titles and aliases only: the stage-1 test
    matcher::CompiledIndex synonyms_;  // one entry per synonym key (as its title)
    std::vector<std::string> syn_values_;  // normalized wording per synonym entry
    Bm25Index bm25_;
};

}  // namespace corvane::search
