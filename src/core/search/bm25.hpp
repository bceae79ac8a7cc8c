// BM25 over character bigrams of normalized scene text.
//
// Terms.  A text is brought into normalize_text form, then read as runs of
// characters of one class:
//   word  ASCII letters and digits (full-width ones folded to ASCII), Latin,
//         Greek and Cyrillic letters: each run is one term ("acc", "12v");
//   han   CJK ideographs, kana and hangul: each run gives its character
//         bigrams, or the character itself when the run is one character long;
//   other (punctuation, symbols, white space) separates runs.
// Query and documents use the same rule; a query counts each distinct term once.
//
// Scoring.  Every entry has seven fields (title, aliases, description, steps
// with their sub-points, warnings, notices, tips) with a weight each.  For a
// term t and an entry d:
//   tf(t, d)  = sum over fields of weight * occurrences of t in the field
//   dl(d)     = number of term occurrences in all fields (unweighted)
//   idf(t)    = ln(1 + (N - df + 0.5) / (df + 0.5)),  df = entries holding t
//   score(q, d) = sum over distinct query terms t of
//                 idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * dl / avgdl))
// Entries sharing no term with the query score 0 and are never returned.
//
// Compiled form.  Bm25Index owns one flat byte image (see the layout in
// bm25.cpp and docs/index-format.md); Bm25View reads such an image in place
// and is what the search runs on.  Postings are stored in blocks of up to
// kBlockSize entries (bit-packed doc-id gaps and indexes into a table of
// distinct term frequencies), each with a skip entry holding its last entry
// id, its best score and a checksum.
//
// Checks cost what is read.  Bm25View::open checks the header and the array
// sizes only; a block is checked (checksum, ids ascending and in range, its
// score bound) the first time a search decodes it, and every decoding stays
// within the image whatever its bytes are, even when they change under a
// running search (a mapped file rewritten in place).  A damaged block makes
// the search throw Bm25Corrupt.  Bm25View::from_bytes also checks every
// block up front (for images from outside that are not searched at once).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <functional>
#include <utility>
#include <vector>

#include "core/text/unicode.hpp"

namespace corvane::search {

enum Field : unsigned { kTitle = 0, kAliases, kDescription, kSteps, kWarning, kNotice, kTip, kFieldCount };

// Field names as the bindings and the documentation use them, in Field order.
inline constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "title", "aliases", "description", "steps", "warning", "notice", "tip"};

struct Bm25Params {
    // Defaults calibrated on the labelled questions (README, "Hybrid ranker").
    double k1 = 1.2;
    double b = 0.75;
    std::array<double, kFieldCount> weights = {5.0, 8.0, 1.0, 1.0, 0.5, 0.5, 0.5};
};

// Raised for parameters out of range and for invalid compiled images.
class Bm25Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A damaged image found while searching it (a block whose checksum or
// contents are wrong, a term table out of range).
class Bm25Corrupt : public Bm25Error {
public:
    using Bm25Error::Bm25Error;
};

// Postings per block.
inline constexpr std::uint32_t kBlockSize = 128;

// A weighted query term of top_k: its contribution is multiplied by weight
// (finite, >= 0).
struct QueryTerm {
    std::string_view term;
    double weight = 1.0;
    // The term's id (Bm25View::find) when the caller has already looked it
    // up, else -1: top_k then skips the dictionary search.
    std::int64_t id = -1;
};
// An additive boost of one entry in top_k (finite).  It is added to the
// score of an entry that matches at least one term; entries matching no term
// are never returned.
struct Boost {
    std::uint32_t doc;
    double extra;
};
// The entries a top_k may return: bit d of words[d / 64] set = allowed;
// entries past the words are not allowed.
struct DocFilter {
    std::span<const std::uint64_t> words;
    bool allows(std::uint32_t d) const { return d / 64 < words.size() && (words[d / 64] >> (d % 64) & 1); }
};

// Entries that share one document of an image (the scenes under one heading
// path, indexed once): document d stands for entries
// members[starts[d] .. starts[d + 1]), ascending, and entry e's document is
// doc_of[e].  The arrays may come from a file: every read is checked
// (Bm25Corrupt), never trusted.
struct DocGroups {
    std::span<const std::uint32_t> doc_of;   // one per entry
    std::span<const std::uint32_t> starts;   // one per document, and the end
    std::span<const std::uint32_t> members;  // one per entry

    std::uint32_t entries() const { return static_cast<std::uint32_t>(doc_of.size()); }
    std::uint32_t docs() const { return starts.empty() ? 0 : static_cast<std::uint32_t>(starts.size() - 1); }
    // Entry e's document (e < entries()).
    std::uint32_t doc(std::uint32_t e) const;
    // The entries of document d.
    std::span<const std::uint32_t> of(std::uint32_t d) const;
    // The arrays as one section of u32 words: entries, documents, doc_of,
    // starts, members.  open() checks the sizes only (the bytes aligned to 4).
    static std::vector<std::uint32_t> encode(std::span<const std::uint32_t> doc_of);
    static DocGroups open(std::span<const std::byte> bytes);
};

// Calls fn(term) for each term of an already normalized text, in order.
// The view passed to fn lives until the next call.
template <class Fn>
void for_each_term(std::string_view normalized, std::string& scratch, Fn&& fn);

// Distinct terms of a raw (not yet normalized) query, in order of first occurrence.
std::vector<std::string> query_terms(std::string_view raw_query);

using Hit = std::pair<std::uint32_t, double>;  // (entry id, score)

class Bm25View {
public:
    Bm25View() = default;
    // Checks an image whole (header, every block); throws Bm25Error naming
    // what is wrong.  The bytes must stay alive while the view is used, and
    // must start at an address aligned to 8 bytes.
    static Bm25View from_bytes(std::span<const std::byte> bytes);
    // Checks the header and array sizes only (constant time); blocks are
    // checked as searches first decode them.
    static Bm25View open(std::span<const std::byte> bytes);

    std::uint32_t size() const { return n_docs_; }
    std::uint32_t term_count() const { return n_terms_; }
    std::uint32_t block_count() const { return n_blocks_; }
    double k1() const { return k1_; }
    // Bytes per entry of the stored length norms: 1 or 2 (an index into the
    // distinct values), 4 (the values themselves).
    unsigned norm_bytes() const { return norm_bytes_; }
    double b() const { return b_; }
    double weight(Field f) const { return weights_[f]; }

    // Term id of a term, or -1 when the index does not hold it.
    std::int64_t find(std::string_view term) const;
    // Before the first search of a process: asks for the pages a search for
    // these terms reads (their blocks and the length norms) to be read ahead,
    // so that they arrive while other work goes on.  Advice only; nothing
    // (one relaxed load) once a search has run.
    void prefetch(std::span<const std::string> terms) const;
    // The terms beginning with `prefix`, in byte order: at most `limit` + 1
    // of them (one more than the limit tells that there are more).
    std::vector<std::string> terms_with_prefix(std::string_view prefix, std::size_t limit) const;

    // The top_k best entries for the distinct terms of a query, best first,
    // ties by entry id; entries scoring 0 are left out.
    std::vector<Hit> search_terms(const std::vector<std::string>& terms, std::size_t top_k) const;
    std::vector<Hit> search(std::string_view raw_query, std::size_t top_k) const {
        return search_terms(query_terms(raw_query), top_k);
    }
    // The k best entries for weighted terms (a term listed twice counts
    // twice), restricted to `allowed` when given (the top k of the allowed
    // entries), with per-entry boosts (sorted by entry id or not; an entry
    // listed twice gets both).  Best first, ties by entry id; entries whose
    // score is not above 0 are left out.  Block-max MaxScore: blocks whose
    // bounds cannot reach the current k-th score are skipped undecoded.
    std::vector<Hit> top_k(std::span<const QueryTerm> terms, std::size_t k, const DocFilter* allowed = nullptr,
                           std::span<const Boost> boosts = {}) const;
    // The same over an image whose documents stand for groups of entries
    // (groups.docs() == size()): the k best entries, each scoring what its
    // document scores, best first, ties by entry id; `allowed` is over
    // entries.  What top_k would give over an image with one document per
    // entry, to the last bit.
    std::vector<Hit> top_k_entries(std::span<const QueryTerm> terms, std::size_t k, const DocGroups& groups,
                                   const DocFilter* allowed = nullptr) const;
    // Score of one entry (0 when out of range or sharing no term).
    double score(const std::vector<std::string>& terms, std::uint32_t entry) const;
    // Scores of several entries (any order, repeats allowed) for terms given
    // by id (find(); ids out of range count nothing): out[i] is what score()
    // gives entries[i] for those terms, summed in the same order, to the
    // last bit.  Each block is decoded once per term, however many of the
    // entries it holds.
    std::vector<double> score_ids(std::span<const std::uint32_t> term_ids, std::span<const std::uint32_t> entries) const;

    // The idf of term id t (find()); 0 out of range.
    double term_idf(std::int64_t t) const { return t >= 0 && t < n_terms_ ? idf(static_cast<std::uint32_t>(t)) : 0.0; }

    // The contribution of term t (an id from find()) to an entry: false when
    // the entry does not hold the term (or either is out of range).  A block
    // checked before is read only up to the entry; one not checked yet is
    // decoded and checked whole, as a search would.
    bool term_score(std::uint32_t t, std::uint32_t entry, double& out) const;

    // Checks every block now (what from_bytes adds to open).
    void check_all() const;

    // One block's skip entry, as stored (see bm25.cpp).
    struct Skip {
        std::uint32_t last_doc;
        std::uint32_t word_off;   // into the packed data, in 32-bit words
        float max_score;          // best contribution of a posting of the block
        float max_tf;             // largest term frequency in the block
        std::uint32_t check;      // checksum of the block's words and fields
        std::uint16_t count;      // postings, 1..kBlockSize
        std::uint8_t doc_bits;    // bits per doc-id gap
        std::uint8_t tf_bits;     // bits per term-frequency index
    };
    static_assert(sizeof(Skip) == 24);

private:
    friend class Bm25Builder;
    struct Cursor;
    template <bool Grouped>
    std::vector<Hit> walk(std::span<const QueryTerm> terms, std::size_t k, const DocFilter* allowed,
                          std::span<const Boost> boosts, const DocGroups* groups) const;
    struct Block {
        std::uint32_t n = 0;
        // Set when only the entry ids were decoded: the packed term-frequency
        // indexes, read one at a time by tf_at().
        const std::uint32_t* tf_words = nullptr;
        unsigned tf_bits = 0;
        bool scored = false;  // contrib holds each posting's contribution (top_k's cursors)
        double contrib[kBlockSize];
        std::uint32_t docs[kBlockSize];
        float tf[kBlockSize];
    };
    // Decodes block b of term t (whose first block is `first`) into out;
    // Bm25Corrupt when it does not hold together.  With docs_only, a block
    // checked before has its entry ids decoded only (out.tf_words set).
    void decode(std::uint32_t t, std::uint32_t b, Block& out, bool docs_only = false) const;
    // The term frequency of posting i of a decoded block.
    float tf_at(const Block& block, std::uint32_t i) const;
    std::pair<std::uint32_t, std::uint32_t> blocks_of(std::uint32_t t) const;
    // Asks for the pages of blocks lo..hi-1 (skip entries and packed words)
    // to be read ahead when the first of them has not been decoded yet.
    void read_ahead(std::uint32_t lo, std::uint32_t hi) const;
    void read_ahead_norms() const;  // once per view (and its copies)
    double idf(std::uint32_t t) const;

    std::uint32_t n_docs_ = 0, n_terms_ = 0, n_blocks_ = 0, n_tf_ = 0;
    std::uint64_t n_postings_ = 0, n_words_ = 0, term_bytes_n_ = 0;
    double k1_ = 0, b_ = 0;
    std::array<double, kFieldCount> weights_{};
    const std::uint32_t* term_offsets_ = nullptr;  // n_terms + 1, into term_bytes_
    const char* term_bytes_ = nullptr;             // terms, sorted, back to back
    const float* idf_ = nullptr;                   // n_terms
    const float* max_score_ = nullptr;             // n_terms: best contribution of the term to any entry
    const std::uint32_t* term_blocks_ = nullptr;   // n_terms + 1: first block of each term
    const Skip* skips_ = nullptr;                  // n_blocks
    const float* tf_values_ = nullptr;             // n_tf: distinct term frequencies, ascending
    const std::uint32_t* words_ = nullptr;         // n_words: packed blocks (+ one spare word)
    // n_docs length norms, k1 * (1 - b + b * dl / avgdl): with norm_bytes_ 4
    // the f32 values themselves, with 1 or 2 an index into norm_values_ (the
    // distinct values: entry lengths take few).
    const void* doc_norm_ = nullptr;
    const float* norm_values_ = nullptr;
    std::uint32_t n_norms_ = 0;
    unsigned norm_bytes_ = 4;
    // Entry d's slot in the norm table (norm_bytes_ 1 or 2).
    std::uint32_t norm_index(std::uint32_t d) const {
        return norm_bytes_ == 1 ? static_cast<const std::uint8_t*>(doc_norm_)[d]
                                : static_cast<const std::uint16_t*>(doc_norm_)[d];
    }
    // Entry d's length norm.  An index past the table (a damaged file) reads
    // its last value: a wrong score, never a read out of bounds; the first
    // decoding of a block holding d reports it.
    float norm(std::uint32_t d) const {
        if (norm_bytes_ == 4) return static_cast<const float*>(doc_norm_)[d];
        return norm_values_[std::min(norm_index(d), n_norms_ - 1)];
    }
    const void* norm_address(std::uint32_t d) const { return static_cast<const char*>(doc_norm_) + std::size_t{d} * norm_bytes_; }
    // One bit per block: its checksum was found right (shared by copies).
    std::shared_ptr<std::atomic<std::uint64_t>[]> checked_;
    // Set once the entries' length norms were asked to be read ahead.
    std::shared_ptr<std::atomic<bool>> norms_read_ahead_;

    std::string_view term(std::uint32_t t) const;
};

// score() of one list of terms for any number of entries, the terms looked
// up once and each entry's score kept: operator() gives what
// view.score(terms, entry) gives, to the last bit.  The view must outlive it.
class Bm25Scorer {
public:
    Bm25Scorer() = default;
    Bm25Scorer(const Bm25View& view, const std::vector<std::string>& terms);
    // From the ids of terms the view holds (Bm25View::find), in their order.
    Bm25Scorer(const Bm25View& view, std::vector<std::uint32_t> ids) : view_(&view), ids_(std::move(ids)) {}
    double operator()(std::uint32_t entry) const;
    bool empty() const { return ids_.empty(); }
    // Scores the entries together (Bm25View::score_ids: each block decoded
    // once per term) and keeps them for operator(); the same values.
    void prefill(std::span<const std::uint32_t> entries) const;

private:
    const Bm25View* view_ = nullptr;
    std::vector<std::uint32_t> ids_;  // of the terms the view holds, in their order
    mutable std::unordered_map<std::uint32_t, double> known_;
};

// An owned image and its view.
class Bm25Index {
public:
    Bm25Index() = default;
    // Copies an image (validated) into owned storage.
    static Bm25Index from_bytes(std::span<const std::byte> bytes);
    Bm25Index(Bm25Index&&) noexcept = default;
    Bm25Index& operator=(Bm25Index&&) noexcept = default;

    const Bm25View& view() const { return view_; }
    std::span<const std::byte> bytes() const {
        return {reinterpret_cast<const std::byte*>(storage_.data()), size_};
    }
    // Appends the image to out, first padding out to a multiple of 8 bytes;
    // returns the offset of the image in out.
    std::size_t append_sections(std::string& out) const;
    std::size_t memory_bytes() const { return storage_.capacity() * sizeof(std::uint64_t); }

private:
    friend class Bm25Builder;
    std::vector<std::uint64_t> storage_;  // 8-byte aligned
    std::size_t size_ = 0;
    Bm25View view_;
};

// An owned image of a field whose texts repeat across entries (heading
// paths): one document per distinct text, in order of first use, standing
// for the entries that hold it (DocGroups).
struct GroupedBm25 {
    Bm25Index image;
    std::vector<std::uint32_t> groups;  // DocGroups::encode()'s words

    // texts: one per entry, read into `field`.
    static GroupedBm25 build(std::span<const std::string> texts, Field field = kTitle);
    std::span<const std::byte> group_bytes() const { return std::as_bytes(std::span<const std::uint32_t>(groups)); }
    DocGroups doc_groups() const { return DocGroups::open(group_bytes()); }
    std::size_t memory_bytes() const { return image.memory_bytes() + groups.capacity() * 4; }
};

// Collects entries one at a time, then compiles them.
class Bm25Builder {
public:
    explicit Bm25Builder(const Bm25Params& params = {});  // throws Bm25Error on bad parameters
    // Starts the next entry; its id is the number of entries begun before it.
    std::uint32_t begin_entry();
    // Adds one text of a field to the current entry (bigrams never span two texts).
    void add_text(Field field, std::string_view text, bool normalized = false);
    std::size_t size() const { return n_docs_; }
    // copies (empty, or one count of 1 or more per entry): entry d stands for
    // copies[d] identical entries in the statistics (N, df, the mean length),
    // so that its scores are those each of the copies would get.
    Bm25Index build(std::span<const std::uint32_t> copies = {});

private:
    void finish_entry();
    std::uint32_t intern(std::string_view term);

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::string_view term_text(std::uint32_t id) const {
        return std::string_view(arena_).substr(term_start_[id], term_start_[id + 1] - term_start_[id]);
    }
    void grow_short();

    Bm25Params params_;
    std::uint32_t n_docs_ = 0;
    // Term dictionary: texts back to back in arena_ (term id -> start).  Terms
    // of up to 7 bytes (every bigram of BMP ideographs) are found through an
    // open-addressing table on the packed bytes; longer ones through a map.
    std::string arena_;
    std::vector<std::uint32_t> term_start_ = {0};
    struct ShortSlot {
        std::uint64_t key = 0;  // 0 = empty slot
        std::uint32_t id = 0;
    };
    std::vector<ShortSlot> short_;
    std::size_t short_count_ = 0;
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> long_ids_;
    std::vector<double> acc_;                // term id -> weighted tf in the current entry
    std::vector<std::uint32_t> touched_;     // term ids with acc_ > 0, in first-seen order
    std::uint64_t cur_len_ = 0;
    std::vector<std::uint64_t> doc_len_;
    // Postings in entry order: term id, entry id, weighted tf.
    // Postings in entry order (term id, weighted tf), in chunks of 2^20 so
    // that they are never copied as they grow; p_end_[e]: postings of the
    // entries up to e.
    struct Posting {
        std::uint32_t term;
        float tf;
    };
    static constexpr unsigned kChunkBits = 20;
    std::vector<std::vector<Posting>> p_chunks_;
    std::uint64_t n_post_ = 0;
    std::vector<std::uint64_t> p_end_;
    std::string norm_, scratch_;
};

}  // namespace corvane::search

namespace corvane::search {
namespace detail {
enum CharKind : unsigned char { kOther = 0, kWord, kHan };
// Class of a normalized code point, and the character as it enters a term
// (full-width ASCII letters and digits folded).
inline CharKind char_kind(char32_t& c) {
    if ((c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF3A) || (c >= 0xFF41 && c <= 0xFF5A)) {
        c -= 0xFEE0;
        if (c >= 'A' && c <= 'Z') c += 0x20;
    }
    if (c < 0x80) return ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) ? kWord : kOther;
    if ((c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) || (c >= 0x370 && c <= 0x52F)) return kWord;
    if ((c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
        (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x3134F))
        return kHan;
    return kOther;
}
}  // namespace detail

template <class Fn>
void for_each_term(std::string_view s, std::string& scratch, Fn&& fn) {
    // A word run is collected in scratch.  Of a han run the last character is
    // kept (code point, bytes in s): a term of two characters whose bytes in s
    // are their UTF-8 encoding is those bytes of s, any other is encoded into
    // scratch.
    std::size_t i = 0;
    const std::size_t n = s.size();
    detail::CharKind kind = detail::kOther;
    std::size_t han_chars = 0, prev_at = 0;
    char32_t prev_c = 0;
    bool prev_plain = false;
    auto encoded_size = [](char32_t c) -> std::size_t { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; };
    auto flush = [&] {
        if (kind == detail::kWord) {
            fn(std::string_view(scratch));
        } else if (kind == detail::kHan && han_chars == 1) {
            if (prev_plain) {
                fn(s.substr(prev_at, encoded_size(prev_c)));
            } else {
                scratch.clear();
                uni::append_utf8(scratch, prev_c);
                fn(std::string_view(scratch));
            }
        }
        scratch.clear();
        han_chars = 0;
    };
    while (i < n) {
        const std::size_t at = i;
        char32_t c = uni::next(s, i);
        const detail::CharKind k = detail::char_kind(c);
        if (k != kind) {
            flush();
            kind = k;
        }
        if (k == detail::kOther) continue;
        if (k == detail::kWord) {
            uni::append_utf8(scratch, c);
            continue;
        }
        const bool plain = i - at == encoded_size(c);
        if (han_chars) {
            if (prev_plain && plain) {
                fn(s.substr(prev_at, i - prev_at));
            } else {
                scratch.clear();
                uni::append_utf8(scratch, prev_c);
                uni::append_utf8(scratch, c);
                fn(std::string_view(scratch));
            }
        }
        prev_at = at;
        prev_c = c;
        prev_plain = plain;
        ++han_chars;
    }
    flush();
}

}  // namespace corvane::search
