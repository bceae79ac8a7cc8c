// Global scene search over a fixed scene index.
//
// An entry scores against a normalized query q:
//   15  when its normalized title is non-empty and occurs in q,
//   12  when at least one normalized alias is non-empty and occurs in q,
//    2  per keyword whose normalized form is longer than one code point and
//       occurs in q (every listed occurrence counts), at most 8 keywords.
// A search keeps the entries scoring above 0, best first, ties in index order.
//
// CompiledIndex answers that search without looking at every entry: all
// distinct patterns of the index sit in one trie over code points, each
// pattern has sorted posting lists of entry ids per role, and the best entries
// are found by a threshold (WAND) walk over the postings of the patterns that
// occur in the query.  The patterns occurring in a query are found by walking
// the trie down from every position of the query (questions are short, and
// most walks end after a character or two), so the trie needs no failure or
// output links and is stored in a few bytes a node.
//
// Text is UTF-8 (lone surrogates in their three-byte form allowed).  The
// compiled index owns everything it needs; the strings given to it may go away
// once they are added.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/search/rule.hpp"

namespace corvane::matcher {

// The weights of the global search.
using scoring::kAliasPoints;
using scoring::kKeywordPoints;
using scoring::kTitlePoints;
inline constexpr int kKeywordCap = scoring::kMaxKeywords;

// One index entry's texts, as views.  `normalized` tells whether they are
// already in normalize_text form.
struct EntryText {
    std::string_view title;
    std::vector<std::string_view> aliases;
    std::vector<std::string_view> keywords;
};

// (entry id, score); entry ids are positions in the index, from 0.
using Scored = std::pair<std::uint32_t, int>;

// An entry whose title or an alias occurs in a question.  title_chars: the
// title's code points without spaces and line breaks (at most 0xFFFF), as
// the fused ranker's title lengths count them; -1 when only an alias
// matched or the text is not well-formed UTF-8 (then counted elsewhere).
struct TitleOrAlias {
    std::uint32_t entry;
    bool title;
    std::int32_t title_chars;
};

// The plain definitions it is tested against (score_entry, search_linear)
// are in tests/cpp/reference.hpp.

class CompiledIndex;

// A compiled index whose arrays (read from a file) do not hold together: an
// index, offset or link that points outside its array.
struct CorruptIndex : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Collects entries one at a time, then compiles them.
class IndexBuilder {
public:
    IndexBuilder();
    ~IndexBuilder();
    IndexBuilder(IndexBuilder&&) noexcept;
    IndexBuilder& operator=(IndexBuilder&&) noexcept;

    // Starts the next entry (its id is the number of entries added before it)
    // and sets its title.  `normalized` = the text is already normalized.
    std::uint32_t begin_entry(std::string_view title, bool normalized = false);
    void add_alias(std::string_view alias, bool normalized = false);
    void add_keyword(std::string_view keyword, bool normalized = false);
    // Convenience: a whole entry.
    std::uint32_t add_entry(const EntryText& e, bool normalized = false);

    std::size_t size() const { return entries_; }

    // Builds the automaton and the postings; the builder is left empty.
    CompiledIndex compile();

private:
    enum Role : std::uint32_t { kTitle = 0, kAlias = 1, kKeyword = 2 };
    void add(std::string_view text, bool normalized, Role role);
    std::uint32_t intern(std::string_view text);  // its pattern id, a new one for a new text

    // Pattern texts back to back (pattern id -> [start[id], start[id + 1])),
    // found through an open-addressing table of (id + 1, hash bits) slots.
    std::string_view pattern(std::uint32_t id) const {
        return std::string_view(arena_).substr(pattern_start_[id], pattern_start_[id + 1] - pattern_start_[id]);
    }
    void grow_slots();
    std::string arena_;
    std::vector<std::size_t> pattern_start_ = {0};
    std::vector<std::uint64_t> slots_;  // id + 1 in the low 32 bits (0: empty), hash bits above
    // One record per use: entry id, and pattern id << 2 | role.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> uses_;
    std::size_t alias_mark_ = 0;  // first use of the current entry's aliases
    std::uint32_t entries_ = 0;
    std::string scratch_;
};

class CompiledIndex {
public:
    // The flat arrays a compiled index consists of (see Owned below).
    struct Arrays {
        std::span<const std::uint16_t> label;
        std::span<const std::uint32_t> label_escape;
        std::span<const std::uint32_t> child_base;
        std::span<const std::uint8_t> child_count;
        std::span<const std::uint32_t> child_escape;
        std::span<const std::uint64_t> terminal;
        std::span<const std::uint32_t> terminal_rank;
        std::span<const std::uint32_t> root_bmp;
        std::span<const std::uint32_t> offsets;
        std::span<const std::uint32_t> postings;
        std::span<const std::uint8_t> keyword_repeat;
    };
    static constexpr std::size_t kRootBmpSize = 0x10000;
    static constexpr std::uint16_t kLabelEscaped = 0xFFFF;  // label >= 0xFFFF: in label_escape
    static constexpr std::uint8_t kCountEscaped = 0xFF;     // 255 or more children: in child_escape
    static constexpr std::size_t kChildBlock = 16;          // nodes per child_base value

    CompiledIndex() = default;
    CompiledIndex(CompiledIndex&&) noexcept = default;
    CompiledIndex& operator=(CompiledIndex&&) noexcept = default;
    // Compiles a whole list of entries at once.
    explicit CompiledIndex(const std::vector<EntryText>& entries, bool normalized = false);

    // An index over arrays held elsewhere (a mapped file) that must outlive
    // it.  The array sizes are checked here (CorruptIndex when they do not fit
    // together); the values are checked as searches read them, so a damaged
    // array makes a search throw CorruptIndex instead of reading out of bounds.
    static CompiledIndex over(std::uint32_t entries, const Arrays& arrays);
    const Arrays& arrays() const { return a_; }

    // The best entries for an already normalized query; top_k < 0 keeps all
    // but the last |top_k| of the full ranking.  With `allowed` (bit e of
    // allowed[e / 64] set: entry e may be returned; non-empty), entries not
    // allowed are skipped as the lists are walked, so the result is the top_k
    // of the allowed entries.
    std::vector<Scored> search(std::string_view normalized_query, long long top_k,
                               std::span<const std::uint64_t> allowed = {}) const;
    // Same, normalizing the query first.
    std::vector<Scored> search_raw(std::string_view query, long long top_k) const;
    // Score of one entry (0 when the id is out of range).
    int score(std::string_view normalized_query, std::uint32_t entry) const;
    // The entries whose title or one of whose aliases occurs in a normalized
    // query, and the entries of `also`, each with its score, in entry order
    // (the hybrid ranker's first stage).
    std::vector<Scored> title_or_alias_matches(std::string_view normalized_query,
                                               std::span<const std::uint32_t> also = {}) const;
    // The same entries, in entry order, each with whether its title (not
    // only an alias) occurs and that title's length as the query holds it:
    // what the fused ranker needs, without looking the entries up in the
    // keyword lists or in a table of lengths (scattered reads of a large
    // index).
    std::vector<TitleOrAlias> title_or_alias_entries(std::string_view normalized_query,
                                                     std::span<const std::uint32_t> also = {}) const;
    // The title postings of every title occurring in the query, as
    // (entry, position in the postings array) pairs in entry order: values
    // stored beside the postings are read where the postings are.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> title_postings(std::string_view normalized_query) const;

    std::size_t size() const { return entries_; }
    std::size_t pattern_count() const { return pattern_count_; }
    std::size_t node_count() const { return a_.label.size(); }
    // Heap bytes held by the compiled structure (0 for arrays held elsewhere).
    std::size_t memory_bytes() const;

private:
    friend class IndexBuilder;
    struct Cursor;
    // The arrays of a compiled index built in memory.
    struct Owned {
        // Trie in breadth-first order; node 0 is the root.  The children of a
        // node are consecutive nodes, sorted by label.
        //   label_[v]         v's label (the code point on the edge into it), or
        //                     kLabelEscaped when it is 0xFFFF or more: then the
        //                     pair (v, label) is in label_escape_ (pairs by node)
        //   child_count_[v]   v's number of children, or kCountEscaped when it
        //                     is 255 or more: then (v, count) is in child_escape_
        //   child_base_[b]    the first child of node kChildBlock * b; the first
        //                     child of v is that plus the counts of the nodes
        //                     of its block before it
        //   terminal_         bit v (word v / 64, bit v % 64): v ends a pattern;
        //                     its pattern id is the number of such nodes before
        //                     it (terminal_rank_[w]: set bits in words before w)
        std::vector<std::uint16_t> label_;
        std::vector<std::uint32_t> label_escape_;
        std::vector<std::uint32_t> child_base_;    // ceil(nodes / kChildBlock)
        std::vector<std::uint8_t> child_count_;
        std::vector<std::uint32_t> child_escape_;
        std::vector<std::uint64_t> terminal_;      // ceil(nodes / 64)
        std::vector<std::uint32_t> terminal_rank_; // ceil(nodes / 64)
        std::vector<std::uint32_t> root_bmp_;      // root's children for BMP code points (0 = none)
        // Postings: pattern p's title, alias and keyword lists are
        // postings_[offsets_[3p] .. offsets_[3p+1]), [3p+1 .. 3p+2), [3p+2 .. 3p+3).
        // Each is sorted by entry id; a keyword listed n times by one entry
        // appears n times.
        std::vector<std::uint32_t> offsets_;
        std::vector<std::uint32_t> postings_;
        std::vector<std::uint8_t> keyword_repeat_;  // most repeats of the keyword within one entry
    };
    void bind();  // points a_ at *own_

    // Node's child labelled c, or 0.
    std::uint32_t child(std::uint32_t node, char32_t c) const;
    // Children of a node: [first, last).
    std::pair<std::uint32_t, std::uint32_t> children(std::uint32_t node) const;
    std::uint32_t child_count(std::uint32_t node) const;
    char32_t escaped_label(std::uint32_t node) const;
    // Id of the pattern ending at a node, or UINT32_MAX when none does.
    std::uint32_t pattern_at(std::uint32_t node) const;
    // Distinct ids of the patterns occurring in q, ascending.
    // With `chars`: each one's characters besides, as TitleOrAlias counts them.
    void matched_patterns(std::string_view q, std::vector<std::uint32_t>& out,
                          std::vector<std::int32_t>* chars = nullptr) const;
    std::vector<Scored> rank(std::vector<Cursor>& cursors, std::size_t keep, std::span<const std::uint64_t> allowed) const;
    // An entry's score given the patterns occurring in the query.
    int score_matched(const std::vector<std::uint32_t>& matched, std::uint32_t entry) const;
    // The entries in the title or alias lists of the matched patterns, and
    // those of `also`, in entry order, each with whether a title list holds
    // it; `chars` (empty, or one per matched pattern) gives the title lengths.
    std::vector<TitleOrAlias> matched_entries(const std::vector<std::uint32_t>& matched,
                                              std::span<const std::int32_t> chars,
                                              std::span<const std::uint32_t> also) const;
    // Bounds of pattern p's list for a role, checked against the postings.
    std::pair<std::uint32_t, std::uint32_t> list_of(std::uint32_t p, std::uint32_t role) const;

    // Asks for the trie's top levels (and the root table) to be read into
    // the page cache: every walk starts there, and from a file not yet in
    // the cache each of its steps would otherwise wait for a page of its own.
    void read_ahead_levels() const;

    std::uint32_t entries_ = 0;
    std::uint32_t pattern_count_ = 0;
    std::unique_ptr<Owned> own_;
    Arrays a_;  // what searches read: *own_, or arrays held elsewhere
    // Arrays held elsewhere: set once read_ahead_levels() ran (shared by copies).
    std::shared_ptr<std::atomic<bool>> levels_read_ahead_;
};

}  // namespace corvane::matcher
