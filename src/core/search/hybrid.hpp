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

#include <memory>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <array>
#include <functional>
#include <span>
#include <vector>

#include "core/search/matcher.hpp"
#include "core/search/bm25.hpp"
#include "core/text/variants.hpp"

namespace corvane::search {

// The fused ranker: a linear model over features of each candidate scene,
// and a refusal rule, linear too, over features of the question's evidence.
// A scene's score is the dot product of its features (FusedFeatures, named in
// kFusedFeatures) with the weights; tools/train_fused.py fits them
// (python/corvane/fused_weights.json holds what it fitted, and the defaults
// below are those values: tests/test_fused_weights.py checks that they agree).
// The features, for question terms T (question words dropped, synonyms
// added) and the same-sounding terms H of the terms the index lacks:
//   body            BM25 of the scene texts over T
//   homophone       BM25 of the scene texts over H
//   path            BM25 of the heading path field over T
//   path_homophone  BM25 of the heading path field over H
//   tables          BM25 of the table cell field over T (the engine's index only)
//   title           unit if its title, base title or an alias occurs in the question, else 0
//   cover           unit * the share of the question (question words dropped) that match covers
//   length          unit * min(chars matched, 8) / 8
//   coverage        unit * the idf-weighted share of T the scene texts hold
//   partial         BM25 of the scene texts over P: for a term the index lacks,
//                   the terms beginning with one of its characters, when at
//                   most four do (拖 of 拖着: 拖车); ranking only, not refusal
// where unit is the idf of a term one entry alone holds (so the weights
// serve indexes of any size).  A question is refused when no matched title
// covers answer_share of it and the refusal score -- the dot product of the
// refusal features (kRefusalFeatures, each in units) with their weights --
// is below threshold, unless whole_match is set and one candidate's texts
// hold every term of T, each of which the index holds:
//   text       the best body + homophone weight * homophone BM25 of the candidates (no path, no title bonus)
//   coverage   the best coverage of the candidates
//   held       the share of T the index holds at all (a share, not in units)
//   top        the best fused score
// A feature is one member here, one line in kFusedFeatures (or
// kRefusalFeatures), its computation in fused_features(), and one line in
// the trainer's FEATURES list.
struct FusedWeights {
    // Candidate features (body is the scale: the trainer keeps it at 1).
    double body = 1.0;
    double homophone = 0.6;
    double path = 1.0;
    double path_homophone = 0.6;
    // The table cell field: off by default (the cells are also description
    // text, and weights tried double-counted them).
    double tables = 0.0;
    double title = 0.0;
    double cover = 1.0;
    double length = 0.5;
    double coverage = 0.0;
    double partial = 0.0;
    // Refusal.
    double refuse_text = 1.0;
    double refuse_coverage = 0.0;
    double refuse_held = 0.0;
    double refuse_top = 0.0;
    double threshold = 1.05;
    double answer_share = 1.0;
    // 1: a question whose every term the index holds, all of them in one
    // candidate's texts, is not refused whatever its score (a lone rare term
    // such as an abbreviation a glossary defines scores little); 0: off.
    double whole_match = 1.0;
};

// Feature i of a candidate is FusedCandidate::features[i], weighted by the
// member kFusedFeatures[i].second.
struct FusedFeatureName {
    std::string_view name;
    double FusedWeights::*weight;
};
inline constexpr FusedFeatureName kFusedFeatures[] = {
    {"body", &FusedWeights::body},
    {"homophone", &FusedWeights::homophone},
    {"path", &FusedWeights::path},
    {"path_homophone", &FusedWeights::path_homophone},
    {"tables", &FusedWeights::tables},
    {"title", &FusedWeights::title},
    {"cover", &FusedWeights::cover},
    {"length", &FusedWeights::length},
    {"coverage", &FusedWeights::coverage},
    {"partial", &FusedWeights::partial},
};
inline constexpr std::size_t kFusedFeatureCount = std::size(kFusedFeatures);
// The place of a feature in kFusedFeatures (a compile error when unknown).
consteval std::size_t fused_feature(std::string_view name) {
    for (std::size_t i = 0; i < kFusedFeatureCount; ++i)
        if (kFusedFeatures[i].name == name) return i;
    throw "unknown fused feature";
}
inline constexpr FusedFeatureName kRefusalFeatures[] = {
    {"text", &FusedWeights::refuse_text},
    {"coverage", &FusedWeights::refuse_coverage},
    {"held", &FusedWeights::refuse_held},
    {"top", &FusedWeights::refuse_top},
};
inline constexpr std::size_t kRefusalFeatureCount = std::size(kRefusalFeatures);
// Every weight by the name a weights file or a `fusion` dict gives it:
// the candidate features', "refuse_" + the refusal features', "threshold"
// "answer_share" and "whole_match".  nullptr for an unknown name.
double* fused_weight_slot(FusedWeights& w, std::string_view name);
// The names fused_weight_slot() takes, comma-separated (for error messages).
std::string fused_weight_names();

struct HybridParams {
    Bm25Params bm25;
    // Refusal threshold, in units of the idf of a term that one entry alone
    // holds (ln(1 + (N - 0.5) / 1.5) for N entries), so that one setting
    // serves indexes of any size.  The default is calibrated on the labelled
    // questions (README, "Hybrid ranker").
    double threshold = 1.36;
    bool fused = true;  // false: the two-stage cascade (title matches first)
    FusedWeights weights;
};

// Lengths (code points, normalized) of an entry's title, its title without a
// bracketed tail, and its shortest alias (0: none): what a title match weighs.
struct TitleLengths {
    std::uint16_t title = 0, base = 0, alias = 0, reserved = 0;
    static TitleLengths of_title(std::string_view title);
    void add_alias(std::string_view alias);
    // The length of what matched, given the global search's score of the
    // entry and whether its base title occurs in the query.
    std::size_t matched(int exact_score, bool base_matched) const;
    // The same, given whether the title itself matched (the score is odd).
    std::size_t matched_title(bool title_matched, bool base_matched) const {
        return matched(title_matched ? 1 : 0, base_matched);
    }
};
static_assert(sizeof(TitleLengths) == 8);

// A question read for the fused ranker: Traditional characters simplified,
// synonyms expanded, terms, and for terms the index does not hold, the
// same-sounding terms it does.
struct FusedQuery {
    std::string expanded;
    std::vector<std::string> terms, homophones;
    // Per term, the homophones (indexes into homophones) found for it: a
    // term the index lacks is read as a slip for one of them.
    std::vector<std::vector<std::uint32_t>> variants_of;
    // The terms beginning with a character of such a term that begins few
    // of them (the partial feature; left out when its weight is 0).
    std::vector<std::string> partials;
    std::size_t content_chars = 0;  // of the question itself, question words dropped
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

// ---- the pieces both the standalone ranker and the engine rank with ----------

// Query-side synonyms: colloquial wording -> manual wordings.
class Synonyms {
public:
    // colloquial -> manual wording; both raw text.  Bm25Error when the key is
    // empty once normalized.
    void add(std::string_view colloquial, std::string_view wording);
    // Ready for expand(); add() may not be called after it.
    void compile();
    // The normalized query with the wordings of every key occurring in it
    // appended, each after a line break, in the order the keys were added.
    std::string expand(std::string_view raw_query) const;
    // expand(), and also the wordings of keys of two or more Han characters
    // that occur with one character typed as another of the same reading
    // (a pinyin slip: "霜闪" for "双闪"), after those of the keys found.
    std::string expand_sounding(std::string_view raw_query) const;
    bool empty() const { return values_.empty(); }
    std::size_t memory_bytes() const { return keys_.memory_bytes(); }

private:
    std::vector<std::uint32_t> keys_in(std::string_view normalized) const;  // key entries found, ascending
    std::string with_values(std::string q, const std::vector<std::uint32_t>& ids) const;  // their wordings appended

    matcher::IndexBuilder builder_;
    matcher::CompiledIndex keys_;  // one entry per key (as its title)
    std::vector<std::string> values_;  // normalized wording per key entry
    // Keys all of whose characters have a reading, by the readings of their
    // characters (sound ids as a string of u16): the keys a slip can reach.
    std::unordered_multimap<std::u16string, std::uint32_t> by_sound_;
    std::vector<std::string> key_text_;      // normalized key per key entry
    std::vector<std::u32string> key_chars_;  // per key entry (empty: not by sound)
    std::vector<std::size_t> sound_lengths_;  // distinct key lengths in by_sound_
};

// The distinct BM25 terms of an expanded query, question words and particles
// dropped first.
std::vector<std::string> hybrid_terms(std::string_view expanded_query);

// The refusal threshold (in idf units, HybridParams) as a BM25 score for an
// index of n entries.
double score_threshold_for(double threshold, std::size_t n);

// The two stages merged: `first` holds the stage-1 entries with their global
// search scores (any order); the rest of the top_k places go to the BM25
// ranking of `terms`.  Empty (refused) when stage 1 is empty and the best
// BM25 score is below `score_threshold`.
// With `allowed`, stage 2 ranks the allowed entries only (stage 1 is the
// caller's to filter).  With `refused`, nothing is refused: *refused tells
// whether the result would have been (the caller decides on the evidence of
// the whole index).
std::vector<Ranked> merge_stages(std::vector<std::pair<std::uint32_t, int>> first, const std::vector<std::string>& terms,
                                 const Bm25View& bm, double score_threshold, std::size_t top_k,
                                 const DocFilter* allowed = nullptr, bool* refused = nullptr);

class Synonyms;
// partial_wanted: also the partial terms (else FusedQuery::partials stays empty).
FusedQuery read_fused_query(std::string_view raw_query, const Synonyms& synonyms, const Bm25View& bm,
                            bool partial_wanted = true);

// A title, base title or alias match: (entry, chars matched).
struct TitleMatch {
    std::uint32_t entry;
    std::size_t chars;
};

// The heading path field: a BM25 image over the distinct heading paths and
// the entries under each (GroupedBm25).
struct PathField {
    const Bm25View* view = nullptr;
    DocGroups groups;
};

// The fused ranking of top_k entries; empty when refused.  `stage` is 1 for
// entries with a title match, 2 for the others; `score` the fused score.
// With `allowed`, the candidates are the allowed entries only (title
// matches are the caller's to filter): the result is the top_k of the
// allowed entries, each with the score it has unfiltered.  With `refused`,
// nothing is refused: *refused tells whether the result would have been.
std::vector<Ranked> fuse(const FusedQuery& q, const std::vector<TitleMatch>& titles, const Bm25View& bm,
                         const FusedWeights& w, std::size_t top_k, const PathField* path = nullptr,
                         const DocFilter* allowed = nullptr, bool* refused = nullptr,
                         const Bm25View* tables = nullptr);

// What fuse() ranks by: each candidate's features (in kFusedFeatures
// order) and the question's refusal features (kRefusalFeatures order, each
// in units, "top" computed with the weights given).
struct FusedCandidate {
    std::uint32_t entry;
    int stage;                 // 1: a title match, 2: BM25 only
    std::uint32_t bm25_rank;   // place in the pool's BM25 order (title matches outside it: the pool size)
    std::array<double, kFusedFeatureCount> features;
    double score;              // the features' dot product with the weights
};
struct FusedEvidence {
    std::vector<FusedCandidate> candidates;  // best score first, ties by entry
    std::array<double, kRefusalFeatureCount> refusal{};
    double unit = 0;
    double title_share = 0;  // the largest share of the question a matched title covers
    std::size_t terms = 0, held_terms = 0;
    // One candidate holds every term of the question, or for a term the
    // index lacks one of its homophones (weighed only when the question
    // would be refused; always with all features).
    bool whole = false;
    bool refused = false;    // what fuse() would decide
};
// The candidates fuse() would score for top_k places, all of them, with
// their features; the arguments as fuse()'s.
FusedEvidence fused_evidence(const FusedQuery& q, const std::vector<TitleMatch>& titles, const Bm25View& bm,
                             const FusedWeights& w, std::size_t top_k, const PathField* path = nullptr,
                             const DocFilter* allowed = nullptr, const Bm25View* tables = nullptr);

// Base titles of the entries whose title has a bracketed tail, stored beside
// a compiled index so that stage 1 can match them: encode() gives the bytes
// (u32 entry, u32 length, normalized text, padded to 4 bytes; repeated);
// decode() checks them (Bm25Error) and compiles a matcher over them.
// encode_compiled() gives the compiled matcher itself, which over() reads in
// place: a mapped file then needs no compiling before the first question.
class BaseTitles {
public:
    BaseTitles() = default;
    BaseTitles(BaseTitles&&) noexcept = default;
    BaseTitles& operator=(BaseTitles&&) noexcept = default;

    static void add(std::string& out, std::uint32_t entry, std::string_view title);
    static BaseTitles decode(std::span<const std::byte> bytes, std::uint32_t entries);
    // The compiled form: a header of u64 values (version, the index's entry
    // count, the base title count, the element count of each array), then
    // the matcher's arrays, its lists holding entry ids, and a twelfth array,
    // each padded to 8 bytes (docs/index-format.md, section BTAC).  Given the
    // index's title lengths (one per entry), version 4: the twelfth array
    // holds, beside each posting, the length a base-title match of its entry
    // weighs (TitleLengths::matched for a base match), so that a question
    // matching many base titles reads them with the lists.  Without them,
    // version 3 (the twelfth array empty).
    std::string encode_compiled(std::span<const TitleLengths> lengths = {}) const;
    // Reads encode_compiled()'s bytes in place: they must outlive the result
    // and start 8-byte aligned.  Sizes are checked here (Bm25Error), values
    // as searches read them (matcher::CorruptIndex, Bm25Corrupt).
    static BaseTitles over(std::span<const std::byte> bytes, std::uint32_t entries);
    // Entries whose base title occurs in a normalized query, ascending.
    // With `lengths`, also what each match weighs (TitleLengths::matched of a
    // base match, not counting the title itself), one per entry, when the
    // compiled form stores it (version 4); left empty otherwise.
    std::vector<std::uint32_t> matches(std::string_view normalized_query,
                                       std::vector<std::uint16_t>* lengths = nullptr) const;
    std::size_t memory_bytes() const { return index_.memory_bytes() + 4 * entry_of_.capacity(); }

private:
    matcher::CompiledIndex index_;
    std::vector<std::uint32_t> entry_of_;        // decode(): owned
    std::span<const std::uint32_t> entry_span_;  // what matches() reads (entry_of_ or the mapped bytes)
    std::span<const std::uint16_t> weighs_;      // version 4: beside each posting, its match's length
    bool weighed_ = false;                       // version 4
    bool direct_ = false;                        // the matcher's entries are the index's (versions 3 and 4)
    std::uint32_t base_count_ = 0;               // base titles
    std::uint32_t entries_ = 0;                  // of the whole index
    // Mapped: set once the entry array was asked to be read ahead.
    std::shared_ptr<std::atomic<bool>> read_ahead_;
};

// A question matching at least this many titles reads their entries'
// per-entry values (base title entries, title lengths) scattered over arrays
// of every entry; the first such question of a process asks for all the
// pages it needs at once (queued together rather than one fault at a time).
inline constexpr std::size_t kReadAheadMatches = 64;

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
    // The heading path of every entry (its headings joined by line breaks),
    // in entry order: the fused ranker's path field.  Bm25Error when the
    // count differs from the entries' at build().
    void set_heading_paths(std::vector<std::string> paths) { paths_ = std::move(paths); has_paths_ = true; }
    HybridRanker build();

private:
    void add_exact_text(std::string_view text, bool keyword);

    HybridParams params_;
    matcher::IndexBuilder strong_;
    Synonyms synonyms_;
    Bm25Builder bm25_;
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
    std::vector<TitleLengths> lengths_;
    std::vector<std::string> paths_;
    bool has_paths_ = false;
};

class HybridRanker {
public:
    HybridRanker() = default;
    HybridRanker(HybridRanker&&) noexcept = default;
    HybridRanker& operator=(HybridRanker&&) noexcept = default;

    std::vector<Ranked> search(std::string_view raw_query, std::size_t top_k) const;
    // The fused ranker's evidence (fused_evidence()) for a question, whatever
    // the ranker's form.
    FusedEvidence evidence(std::string_view raw_query, std::size_t top_k) const;
    const std::vector<TitleLengths>& title_lengths() const { return lengths_; }
    // The normalized query with its synonym wordings appended.
    std::string expand(std::string_view raw_query) const;

    std::size_t size() const { return bm25_.view().size(); }
    const Bm25Index& bm25() const { return bm25_; }
    double threshold() const { return params_.fused ? params_.weights.threshold : params_.threshold; }
    bool fused() const { return params_.fused; }
    // The threshold as a BM25 score for this index.
    double score_threshold() const { return score_threshold_; }
    std::size_t memory_bytes() const {
        return exact_texts_.capacity() + 8 * exact_spans_.capacity() +
               4 * (entry_items_.capacity() + entry_start_.capacity() + alias_count_.capacity()) + 8 * lengths_.capacity() +
               strong_.memory_bytes() + synonyms_.memory_bytes() + bm25_.memory_bytes() + path_.memory_bytes();
    }
    // The global search's score of one entry for a normalized query.
    int exact_score(std::string_view normalized_query, std::uint32_t entry) const;
    // Whether the entry's title without its bracketed tail occurs in a normalized query.
    bool base_matched(std::string_view normalized_query, std::uint32_t entry) const;

private:
    friend class HybridBuilder;
    // The entries whose title, base title or an alias occurs in the question, with what matched.
    std::vector<TitleMatch> title_matches(const FusedQuery& fq) const;
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
    std::vector<TitleLengths> lengths_;
    matcher::CompiledIndex strong_;    // titles, base titles and aliases only: the stage-1 test
    Synonyms synonyms_;
    Bm25Index bm25_;
    GroupedBm25 path_;  // heading paths; empty when none were given
    PathField path_field() const;
};

}  // namespace corvane::search
