#include "core/search/matcher.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <stdexcept>

#include "core/io/files.hpp"
#include "core/text/text.hpp"
#include "core/text/unicode.hpp"

namespace corvane::matcher {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr char32_t kStrayBase = 0x110000;  // labels of bytes that start no well-formed sequence

// One character of UTF-8 text as a trie label: the code point of a well-formed
// sequence (surrogates included), or kStrayBase + byte for a byte that starts
// none, so that distinct byte sequences never share a label.
inline char32_t next_unit(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    const std::size_t n = s.size();
    std::size_t len;
    char32_t c;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        c = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        c = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        c = b0 & 0x07u;
    } else {
        ++i;
        return kStrayBase + b0;
    }
    if (i + len > n) {
        ++i;
        return kStrayBase + b0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kStrayBase + b0;
        }
        c = (c << 6) | (b & 0x3Fu);
    }
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF))) {  // overlong or too large
        ++i;
        return kStrayBase + b0;
    }
    i += len;
    return c;
}

using scoring::points;

// Best first; equal scores by entry id.
inline bool better(const Scored& a, const Scored& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
}

template <class T>
std::size_t bytes_of(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

}  // namespace

// ---------------------------------------------------------------------------
// Building

IndexBuilder::IndexBuilder() = default;
IndexBuilder::~IndexBuilder() = default;
IndexBuilder::IndexBuilder(IndexBuilder&&) noexcept = default;
IndexBuilder& IndexBuilder::operator=(IndexBuilder&&) noexcept = default;

std::uint32_t IndexBuilder::begin_entry(std::string_view title, bool normalized) {
    if (entries_ == std::numeric_limits<std::uint32_t>::max()) throw std::length_error("scene index too large");
    ++entries_;
    alias_mark_ = uses_.size();
    add(title, normalized, kTitle);
    alias_mark_ = uses_.size();
    return entries_ - 1;
}

void IndexBuilder::add_alias(std::string_view alias, bool normalized) {
    if (entries_ == 0) throw std::logic_error("add_alias before begin_entry");
    add(alias, normalized, kAlias);
}

void IndexBuilder::add_keyword(std::string_view keyword, bool normalized) {
    if (entries_ == 0) throw std::logic_error("add_keyword before begin_entry");
    add(keyword, normalized, kKeyword);
}

std::uint32_t IndexBuilder::add_entry(const EntryText& e, bool normalized) {
    const std::uint32_t id = begin_entry(e.title, normalized);
    for (std::string_view a : e.aliases) add_alias(a, normalized);
    for (std::string_view k : e.keywords) add_keyword(k, normalized);
    return id;
}

namespace {
inline std::uint64_t text_hash(std::string_view t) {
    return static_cast<std::uint64_t>(std::hash<std::string_view>{}(t)) * 0x9E3779B97F4A7C15ull;
}
}  // namespace

void IndexBuilder::grow_slots() {
    const std::size_t cap = slots_.empty() ? 4096 : 2 * slots_.size();
    std::vector<std::uint64_t> fresh(cap, 0);
    for (const std::uint64_t e : slots_) {
        if (!(e & 0xffffffffu)) continue;
        const std::uint32_t id = static_cast<std::uint32_t>(e) - 1;
        std::size_t s = static_cast<std::size_t>(text_hash(pattern(id)) >> 20) & (cap - 1);
        while (fresh[s]) s = (s + 1) & (cap - 1);
        fresh[s] = e;
    }
    slots_.swap(fresh);
}

std::uint32_t IndexBuilder::intern(std::string_view t) {
    const std::size_t n = pattern_start_.size() - 1;
    if (2 * (n + 1) > slots_.size()) grow_slots();
    const std::uint64_t h = text_hash(t);
    const std::uint64_t tag = h & ~std::uint64_t{0xffffffff};
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = static_cast<std::size_t>(h >> 20) & mask;
    while (const std::uint64_t e = slots_[s]) {
        if ((e & ~std::uint64_t{0xffffffff}) == tag) {
            const std::uint32_t id = static_cast<std::uint32_t>(e) - 1;
            if (pattern(id) == t) return id;
        }
        s = (s + 1) & mask;
    }
    if (n >= (std::numeric_limits<std::uint32_t>::max() >> 2)) {
        throw std::length_error("too many distinct texts in the scene index");
    }
    const auto id = static_cast<std::uint32_t>(n);
    arena_.append(t);
    pattern_start_.push_back(arena_.size());
    slots_[s] = tag | (id + 1);
    return id;
}

void IndexBuilder::add(std::string_view raw, bool normalized, Role role) {
    std::string_view t = raw;
    if (!normalized && !text::is_plainly_normalized(raw)) {
        scratch_.clear();
        text::append_normalized(scratch_, raw);
        t = scratch_;
    }
    if (t.empty()) return;
    if (role == kKeyword && uni::length(t) <= 1) return;
    const std::uint32_t id = intern(t);
    const std::uint32_t key = (id << 2) | role;
    const std::uint32_t entry = entries_ - 1;
    if (role == kAlias) {  // an alias counts once per entry, however often listed
        for (std::size_t i = alias_mark_; i < uses_.size(); ++i) {
            if (uses_[i].second == key) return;
        }
    }
    uses_.emplace_back(entry, key);
}

CompiledIndex IndexBuilder::compile() {
    CompiledIndex ix;
    ix.own_ = std::make_unique<CompiledIndex::Owned>();
    CompiledIndex::Owned& o = *ix.own_;
    ix.entries_ = entries_;
    const std::size_t P = pattern_start_.size() - 1;
    ix.pattern_count_ = static_cast<std::uint32_t>(P);
    if (uses_.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("scene index too large");
    }

    // Postings: a stable counting sort of the uses by (pattern, role); uses
    // come in entry order, so every list ends up sorted by entry id.
    o.offsets_.assign(3 * P + 1, 0);
    for (const auto& [entry, key] : uses_) ++o.offsets_[3 * (key >> 2) + (key & 3) + 1];
    for (std::size_t i = 1; i < o.offsets_.size(); ++i) o.offsets_[i] += o.offsets_[i - 1];
    o.postings_.resize(uses_.size());
    {
        std::vector<std::uint32_t> fill(o.offsets_.begin(), o.offsets_.end() - 1);
        for (const auto& [entry, key] : uses_) o.postings_[fill[3 * (key >> 2) + (key & 3)]++] = entry;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>>().swap(uses_);
    o.keyword_repeat_.assign(P, 1);
    for (std::size_t p = 0; p < P; ++p) {
        const std::uint32_t* a = o.postings_.data() + o.offsets_[3 * p + 2];
        const std::uint32_t* e = o.postings_.data() + o.offsets_[3 * p + 3];
        std::uint32_t best = 1;
        while (a < e) {
            const std::uint32_t* r = a + 1;
            while (r < e && *r == *a) ++r;
            best = std::max<std::uint32_t>(best, static_cast<std::uint32_t>(r - a));
            a = r;
        }
        o.keyword_repeat_[p] = static_cast<std::uint8_t>(std::min<std::uint32_t>(best, kKeywordCap));
    }

    // Patterns as label sequences, in lexicographic order.
    std::vector<char32_t> units;
    std::vector<std::size_t> start(P + 1, 0);
    for (std::size_t p = 0; p < P; ++p) {
        std::string_view s = pattern(static_cast<std::uint32_t>(p));
        for (std::size_t i = 0; i < s.size();) units.push_back(next_unit(s, i));
        start[p + 1] = units.size();
    }
    std::string().swap(arena_);
    pattern_start_.assign(1, 0);
    std::vector<std::uint64_t>().swap(slots_);
    std::vector<std::uint32_t> order(P);
    for (std::size_t p = 0; p < P; ++p) order[p] = static_cast<std::uint32_t>(p);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::lexicographical_compare(units.begin() + start[a], units.begin() + start[a + 1],
                                            units.begin() + start[b], units.begin() + start[b + 1]);
    });

    // Trie in depth-first order: sorted patterns share their common prefix
    // with the previous one; children get created in label order.
    std::vector<std::uint32_t> parent{kNone}, depth{0}, pat{kNone};
    std::vector<char32_t> label{0};
    std::vector<std::uint32_t> path{0};  // nodes along the previous pattern
    std::size_t prev = kNone;
    for (std::uint32_t p : order) {
        const std::size_t len = start[p + 1] - start[p];
        std::size_t lcp = 0;
        if (prev != kNone) {
            const std::size_t plen = start[prev + 1] - start[prev];
            while (lcp < len && lcp < plen && units[start[p] + lcp] == units[start[prev] + lcp]) ++lcp;
        }
        path.resize(lcp + 1);
        for (std::size_t k = lcp; k < len; ++k) {
            const auto node = static_cast<std::uint32_t>(label.size());
            if (node == kNone) throw std::length_error("scene index too large");
            parent.push_back(path.back());
            depth.push_back(static_cast<std::uint32_t>(k + 1));
            label.push_back(units[start[p] + k]);
            pat.push_back(kNone);
            path.push_back(node);
        }
        pat[path.back()] = p;
        prev = p;
    }
    std::vector<char32_t>().swap(units);
    std::vector<std::size_t>().swap(start);

    // Breadth-first order: a stable sort by depth keeps siblings together, in
    // their parents' order and sorted by label.
    const std::size_t N = label.size();
    std::uint32_t max_depth = 0;
    for (std::uint32_t d : depth) max_depth = std::max(max_depth, d);
    std::vector<std::uint32_t> at_depth(max_depth + 2, 0);
    for (std::uint32_t d : depth) ++at_depth[d + 1];
    for (std::size_t d = 1; d < at_depth.size(); ++d) at_depth[d] += at_depth[d - 1];
    std::vector<std::uint32_t> bfs(N);  // old id -> new id
    for (std::size_t v = 0; v < N; ++v) bfs[v] = at_depth[depth[v]]++;
    std::vector<std::uint32_t>().swap(depth);

    std::vector<char32_t> lab(N);
    std::vector<std::uint32_t> pat_of(N);   // pattern ending at each node (builder's ids), or kNone
    std::vector<std::uint32_t> count(N, 0);  // children of each node
    for (std::size_t v = 0; v < N; ++v) {
        const std::uint32_t w = bfs[v];
        lab[w] = label[v];
        pat_of[w] = pat[v];
        if (v != 0) ++count[bfs[parent[v]]];
    }
    std::vector<std::uint32_t>().swap(parent);
    std::vector<char32_t>().swap(label);
    std::vector<std::uint32_t>().swap(pat);
    std::vector<std::uint32_t>().swap(bfs);

    using CI = CompiledIndex;
    o.label_.resize(N);
    for (std::size_t w = 0; w < N; ++w) {
        if (lab[w] >= CI::kLabelEscaped) {
            o.label_[w] = CI::kLabelEscaped;
            o.label_escape_.push_back(static_cast<std::uint32_t>(w));
            o.label_escape_.push_back(static_cast<std::uint32_t>(lab[w]));
        } else {
            o.label_[w] = static_cast<std::uint16_t>(lab[w]);
        }
    }
    // Breadth-first order: the children of the nodes come one after another
    // from node 1 on, so a node's first child is 1 plus the children of the
    // nodes before it.
    o.child_count_.resize(N);
    o.child_base_.resize((N + CI::kChildBlock - 1) / CI::kChildBlock);
    std::uint32_t next = 1;
    for (std::size_t w = 0; w < N; ++w) {
        if (w % CI::kChildBlock == 0) o.child_base_[w / CI::kChildBlock] = next;
        const std::uint32_t c = count[w];
        if (c >= CI::kCountEscaped) {
            o.child_count_[w] = CI::kCountEscaped;
            o.child_escape_.push_back(static_cast<std::uint32_t>(w));
            o.child_escape_.push_back(c);
        } else {
            o.child_count_[w] = static_cast<std::uint8_t>(c);
        }
        next += c;
    }
    o.root_bmp_.assign(CI::kRootBmpSize, 0);
    for (std::uint32_t c = 1; c <= count[0]; ++c) {
        if (lab[c] < CI::kRootBmpSize) o.root_bmp_[lab[c]] = c;
    }
    std::vector<std::uint32_t>().swap(count);
    std::vector<char32_t>().swap(lab);

    // A pattern's id becomes the rank of its node among the nodes ending a
    // pattern, so that a node's pattern is found from the terminal bits.
    const std::size_t W = (N + 63) / 64;
    o.terminal_.assign(W, 0);
    o.terminal_rank_.assign(W, 0);
    std::vector<std::uint32_t> old_of(P);  // new id -> builder's id
    std::uint32_t r = 0;
    for (std::size_t w = 0; w < N; ++w) {
        if (w % 64 == 0) o.terminal_rank_[w / 64] = r;
        if (pat_of[w] == kNone) continue;
        o.terminal_[w / 64] |= std::uint64_t{1} << (w % 64);
        old_of[r++] = pat_of[w];
    }
    std::vector<std::uint32_t>().swap(pat_of);
    {
        std::vector<std::uint32_t> offsets(3 * P + 1), postings(o.postings_.size());
        std::vector<std::uint8_t> repeat(P);
        std::uint32_t at = 0;
        for (std::size_t q = 0; q < P; ++q) {
            const std::uint32_t p = old_of[q];
            for (std::size_t role = 0; role < 3; ++role) {
                offsets[3 * q + role] = at;
                const std::uint32_t b = o.offsets_[3 * p + role], e = o.offsets_[3 * p + role + 1];
                std::copy(o.postings_.begin() + b, o.postings_.begin() + e, postings.begin() + at);
                at += e - b;
            }
            repeat[q] = o.keyword_repeat_[p];
        }
        offsets[3 * P] = at;
        o.offsets_.swap(offsets);
        o.postings_.swap(postings);
        o.keyword_repeat_.swap(repeat);
    }
    ix.bind();
    entries_ = 0;
    alias_mark_ = 0;
    return ix;
}

CompiledIndex::CompiledIndex(const std::vector<EntryText>& entries, bool normalized) {
    IndexBuilder b;
    for (const EntryText& e : entries) b.add_entry(e, normalized);
    *this = b.compile();
}

// ---------------------------------------------------------------------------
// Searching

void CompiledIndex::bind() {
    const Owned& o = *own_;
    a_ = Arrays{o.label_,    o.label_escape_,  o.child_base_, o.child_count_, o.child_escape_, o.terminal_,
                o.terminal_rank_, o.root_bmp_, o.offsets_,    o.postings_,    o.keyword_repeat_};
}

CompiledIndex CompiledIndex::over(std::uint32_t entries, const Arrays& a) {
    const std::size_t N = a.label.size();
    if (N == 0 || N >= kNone) throw CorruptIndex("compiled index: no root node");
    if (a.child_count.size() != N || a.child_base.size() != (N + kChildBlock - 1) / kChildBlock ||
        a.terminal.size() != (N + 63) / 64 || a.terminal_rank.size() != a.terminal.size())
        throw CorruptIndex("compiled index: node arrays of different sizes");
    if (a.label_escape.size() % 2 != 0 || a.child_escape.size() % 2 != 0)
        throw CorruptIndex("compiled index: escape table of odd size");
    if (a.root_bmp.size() != kRootBmpSize) throw CorruptIndex("compiled index: root table of the wrong size");
    const std::size_t P = a.keyword_repeat.size();
    if (P >= (kNone >> 2) || a.offsets.size() != 3 * P + 1) throw CorruptIndex("compiled index: posting offsets of the wrong size");
    if (a.offsets.front() != 0 || a.offsets.back() != a.postings.size())
        throw CorruptIndex("compiled index: posting offsets do not cover the postings");
    CompiledIndex ix;
    ix.entries_ = entries;
    ix.pattern_count_ = static_cast<std::uint32_t>(P);
    ix.a_ = a;
    ix.levels_read_ahead_ = std::make_shared<std::atomic<bool>>(false);
    return ix;
}

// Arrays read from a file are checked value by value as they are used; for an
// index compiled in memory the checks never fail.
#define CORVANE_CHECK(cond, what) \
    do {                          \
        if (!(cond)) [[unlikely]] \
            throw CorruptIndex("compiled index: " what); \
    } while (0)

namespace {

// The value paired with `key` in a table of (key, value) pairs sorted by key.
inline bool lookup_pair(std::span<const std::uint32_t> table, std::uint32_t key, std::uint32_t& value) {
    std::size_t lo = 0, hi = table.size() / 2;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (table[2 * mid] < key) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == table.size() / 2 || table[2 * lo] != key) return false;
    value = table[2 * lo + 1];
    return true;
}

}  // namespace

std::uint32_t CompiledIndex::child_count(std::uint32_t node) const {
    const std::uint8_t c = a_.child_count[node];
    if (c != kCountEscaped) [[likely]]
        return c;
    std::uint32_t n = 0;
    CORVANE_CHECK(lookup_pair(a_.child_escape, node, n), "child count missing");
    return n;
}

std::pair<std::uint32_t, std::uint32_t> CompiledIndex::children(std::uint32_t node) const {
    const std::size_t block = node / kChildBlock;
    std::uint64_t first = a_.child_base[block];
    for (std::uint32_t u = static_cast<std::uint32_t>(block * kChildBlock); u < node; ++u) first += child_count(u);
    const std::uint64_t last = first + child_count(node);
    CORVANE_CHECK(last <= a_.label.size(), "child range out of range");
    return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
}

char32_t CompiledIndex::escaped_label(std::uint32_t node) const {
    std::uint32_t c = 0;
    CORVANE_CHECK(lookup_pair(a_.label_escape, node, c), "label missing");
    return c;
}

std::uint32_t CompiledIndex::pattern_at(std::uint32_t node) const {
    const std::uint64_t word = a_.terminal[node / 64];
    const unsigned bit = node % 64;
    if (!(word >> bit & 1)) return kNone;
    const std::uint32_t p = a_.terminal_rank[node / 64] +
                            static_cast<std::uint32_t>(std::popcount(word & ((std::uint64_t{1} << bit) - 1)));
    CORVANE_CHECK(p < pattern_count_, "pattern id out of range");
    return p;
}

std::uint32_t CompiledIndex::child(std::uint32_t node, char32_t c) const {
    std::uint32_t x = 0;
    if (node == 0 && c < kRootBmpSize) {
        x = a_.root_bmp[c];
        CORVANE_CHECK(x < a_.label.size(), "root child out of range");
    } else {
        auto [lo, hi] = children(node);
        // Escaped labels are all >= kLabelEscaped: only a search for such a
        // label needs their values.
        auto key = [&](std::uint32_t i) -> char32_t {
            const std::uint16_t l = a_.label[i];
            return l != kLabelEscaped || c < kLabelEscaped ? char32_t{l} : escaped_label(i);
        };
        // Narrow [lo, hi) to a few labels that hold the first one >= c.
        while (hi - lo > 8) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (key(mid) < c) {
                lo = mid + 1;
            } else {
                hi = mid + 1;
            }
        }
        for (; lo < hi; ++lo) {
            const char32_t k = key(lo);
            if (k >= c) {
                if (k == c) x = lo;
                break;
            }
        }
    }
    // Children come after their parent in breadth-first order.
    CORVANE_CHECK(x == 0 || x > node, "child out of order");
    return x;
}

// Nodes of the trie's top levels asked for at once (about 4 bytes a node
// over its arrays): a few MB at most, in large reads.
constexpr std::uint64_t kReadAheadNodes = std::uint64_t{1} << 19;

void CompiledIndex::read_ahead_levels() const {
    // Breadth-first order: a level ends where the children of its last node end.
    std::uint64_t end = 1;  // the root
    try {
        while (true) {
            const std::uint64_t next = children(static_cast<std::uint32_t>(end - 1)).second;
            if (next <= end || next > kReadAheadNodes) break;
            end = next;
        }
    } catch (const CorruptIndex&) {
        // Damaged counts: only advice is at stake here; a walk that reads them reports it.
    }
    auto ask = [](const auto& span, std::uint64_t n) {
        io::will_need(span.data(), std::min<std::uint64_t>(n, span.size()) * sizeof(span[0]));
    };
    ask(a_.label, end);
    ask(a_.child_count, end);
    ask(a_.child_base, end / kChildBlock + 1);
    ask(a_.terminal, end / 64 + 1);
    ask(a_.terminal_rank, end / 64 + 1);
    ask(a_.root_bmp, a_.root_bmp.size());
    ask(a_.label_escape, a_.label_escape.size());
    ask(a_.child_escape, a_.child_escape.size());
}

void CompiledIndex::matched_patterns(std::string_view q, std::vector<std::uint32_t>& out,
                                     std::vector<std::int32_t>* chars) const {
    out.clear();
    if (a_.label.size() <= 1) return;
    if (levels_read_ahead_ && io::first_time(*levels_read_ahead_)) read_ahead_levels();
    std::vector<char32_t> units;
    units.reserve(q.size());
    for (std::size_t i = 0; i < q.size();) units.push_back(next_unit(q, i));
    // Every occurrence of a pattern is a walk down from the root starting at
    // some position; a walk ends where the trie has no child for the next
    // character, so it is at most as long as the longest pattern.
    // Each pattern's characters are counted along the walk (a pattern is one
    // text, so every occurrence counts the same).
    std::vector<std::pair<std::uint32_t, std::int32_t>> found;
    for (std::size_t s = 0; s < units.size(); ++s) {
        std::uint32_t node = 0;
        std::int32_t n = 0;
        for (std::size_t j = s; j < units.size(); ++j) {
            node = child(node, units[j]);
            if (node == 0) break;
            if (n >= 0) {
                if (units[j] >= kStrayBase) n = -1;
                else if (units[j] != U' ' && units[j] != U'\n') ++n;
            }
            const std::uint32_t p = pattern_at(node);
            if (p != kNone) found.emplace_back(p, n < 0 ? -1 : std::min<std::int32_t>(n, 0xFFFF));
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
                found.end());
    if (chars) chars->clear();
    for (const auto& [p, n] : found) {
        out.push_back(p);
        if (chars) chars->push_back(n);
    }
}

// Entry ids read from the essential lists at a time by rank().
constexpr std::uint32_t kWindow = 4096;

struct CompiledIndex::Cursor {
    const std::uint32_t* cur;
    const std::uint32_t* end;
    std::uint8_t role;   // 0 title, 1 alias, 2 keyword
    std::uint8_t bound;  // keyword cursors: most occurrences in one entry
};

namespace {

// First position in [p, e) holding a value >= target; [p, e) is sorted.
inline const std::uint32_t* gallop(const std::uint32_t* p, const std::uint32_t* e, std::uint32_t target) {
    std::size_t step = 1;
    const std::uint32_t* lo = p;
    while (lo + step < e && lo[step] < target) {
        lo += step;
        step <<= 1;
    }
    const std::uint32_t* hi = lo + step < e ? lo + step + 1 : e;
    return std::lower_bound(lo, hi, target);
}

}  // namespace

// Document-at-a-time walk with lists set aside (MaxScore).  Entries come in
// increasing id order, so once `keep` entries are kept a later entry enters
// only with a strictly higher score than the weakest kept one (theta).  The
// longest lists whose bound taken together (title and alias count once,
// keywords by their most repeats in one entry, capped as the rule caps them)
// is at most theta cannot lift an entry past theta on their own: they are
// set aside, entries are drawn from the other (essential) lists only, and a
// set-aside list is looked at (galloping) only for an entry the essential
// lists make a contender.  A question of common keywords so walks the
// shorter lists, not every entry holding a common keyword; the result is the
// same as walking every list.  The essential lists are read a window of ids
// at a time (their postings counted per entry, then the entries taken in id
// order), which keeps the walk's order and so its result.
std::vector<Scored> CompiledIndex::rank(std::vector<Cursor>& cursors, std::size_t keep,
                                        std::span<const std::uint64_t> allowed) const {
    std::vector<Scored> heap;  // front = weakest kept entry
    std::vector<Cursor*> lists;
    lists.reserve(cursors.size());
    for (Cursor& c : cursors) {
        if (c.cur < c.end) lists.push_back(&c);
    }
    // Longest first: those are the ones worth setting aside.
    std::stable_sort(lists.begin(), lists.end(),
                     [](const Cursor* a, const Cursor* b) { return a->end - a->cur > b->end - b->cur; });
    std::vector<Cursor*> essential, aside;
    essential.reserve(lists.size());
    aside.reserve(lists.size());
    bool aside_title = false, aside_alias = false;
    int aside_kw = 0;
    int split_theta = -1;  // theta the split was made for
    bool split_stale = true;
    std::vector<char> rest_title, rest_alias;  // of aside[i..]: a title list, an alias list among them
    std::vector<int> rest_kw;                  // and their keyword bound
    // A window's entries: which the essential lists hold (`present`), and
    // what they give: keyword occurrences (saturating: the rule counts at
    // most 8) and title (bit 0) and alias (bit 1).  A slot is written when
    // its entry is first seen in the window, so only `present` starts zeroed.
    std::array<std::uint64_t, kWindow / 64> present{};
    const std::unique_ptr<std::uint8_t[]> slots(new std::uint8_t[2 * kWindow]);
    std::uint8_t* const keyword_count = slots.get();
    std::uint8_t* const title_or_alias = slots.get() + kWindow;
    while (true) {
        const int theta = heap.size() < keep ? 0 : heap.front().second;
        if (split_stale || theta != split_theta) {
            split_theta = theta;
            split_stale = false;
            essential.clear();
            aside.clear();
            aside_title = aside_alias = false;
            aside_kw = 0;
            for (Cursor* c : lists) {
                if (c->cur >= c->end) continue;  // exhausted: adds nothing any more
                const bool t = aside_title || c->role == 0, a = aside_alias || c->role == 1;
                const int k = aside_kw + (c->role == 2 ? c->bound : 0);
                if (theta > 0 && points(t, a, k) <= theta) {
                    aside.push_back(c);
                    aside_title = t;
                    aside_alias = a;
                    aside_kw = k;
                } else {
                    essential.push_back(c);
                }
            }
            // Looked at shortest first (the likeliest to miss an entry), with
            // the bound of the lists after each, so that a contender is given
            // up as soon as the lists left cannot lift it past theta.
            std::reverse(aside.begin(), aside.end());
            rest_title.assign(aside.size() + 1, 0);
            rest_alias.assign(aside.size() + 1, 0);
            rest_kw.assign(aside.size() + 1, 0);
            for (std::size_t i = aside.size(); i-- > 0;) {
                rest_title[i] = rest_title[i + 1] || aside[i]->role == 0;
                rest_alias[i] = rest_alias[i + 1] || aside[i]->role == 1;
                rest_kw[i] = rest_kw[i + 1] + (aside[i]->role == 2 ? aside[i]->bound : 0);
            }
        }
        // The essential lists are read a window of entry ids at a time: each
        // one's postings in the window counted into per-entry slots (a tight
        // loop per list), then the entries found taken in id order, as the
        // entry-at-a-time walk takes them.  Each is kept or given up against
        // the threshold of the moment with the bounds of this window's
        // set-aside lists, which are exactly the lists not yet counted.
        std::uint32_t first_id = kNone;
        for (const Cursor* c : essential)
            if (c->cur < c->end && *c->cur < first_id) first_id = *c->cur;
        if (first_id == kNone) break;  // what is left cannot beat theta
        // (A list out of order, in a damaged file, stops its scan at the id
        // below the window; that id starts a later window.)
        const std::uint64_t window_end = std::uint64_t{first_id} + kWindow;
        std::size_t last_word = 0;  // the last word of `present` a list reached
        for (Cursor* c : essential) {
            const std::uint32_t* p = c->cur;
            const std::uint32_t* const e = c->end;
            const std::uint8_t flag = c->role == 0 ? 1 : c->role == 1 ? 2 : 0, keyword = c->role == 2;
            for (; p < e && *p < window_end && *p >= first_id; ++p) {
                const std::uint32_t at = *p - first_id;
                const std::uint64_t bit = std::uint64_t{1} << (at % 64);
                if (!(present[at / 64] & bit)) {
                    present[at / 64] |= bit;
                    keyword_count[at] = 0;
                    title_or_alias[at] = 0;
                }
                keyword_count[at] += keyword & (keyword_count[at] != 255);
                title_or_alias[at] |= flag;
            }
            if (p != c->cur) last_word = std::max<std::size_t>(last_word, (p[-1] - first_id) / 64);
            c->cur = p;
            if (p >= e) split_stale = true;
        }
        for (std::size_t word = 0; word <= last_word; ++word) {
            for (std::uint64_t bits = present[word]; bits; bits &= bits - 1) {
                const std::uint32_t at = static_cast<std::uint32_t>(word * 64) + static_cast<std::uint32_t>(std::countr_zero(bits));
                const std::uint32_t target = first_id + at;
                bool title = title_or_alias[at] & 1, alias = title_or_alias[at] & 2;
                int kw = keyword_count[at];
                if (!allowed.empty() && !(target / 64 < allowed.size() && (allowed[target / 64] >> (target % 64) & 1)))
                    continue;  // not allowed: walked past, never kept
                const bool full = heap.size() >= keep;
                const int now = full ? heap.front().second : 0;
                if (full && points(title || aside_title, alias || aside_alias, kw + aside_kw) <= now) continue;
                bool given_up = false;
                for (std::size_t i = 0; i < aside.size(); ++i) {
                    if (full && points(title || rest_title[i], alias || rest_alias[i], kw + rest_kw[i]) <= now) {
                        given_up = true;
                        break;
                    }
                    Cursor* c = aside[i];
                    if (c->cur >= c->end) continue;
                    c->cur = gallop(c->cur, c->end, target);
                    int run = 0;
                    while (c->cur < c->end && *c->cur == target) {
                        ++c->cur;
                        ++run;
                    }
                    if (run == 0) continue;
                    if (c->role == 0) title = true;
                    else if (c->role == 1) alias = true;
                    else kw += run;
                }
                if (given_up) continue;
                const Scored sc{target, points(title, alias, kw)};
                if (!full) {
                    heap.push_back(sc);
                    std::push_heap(heap.begin(), heap.end(), better);
                } else if (sc.second > heap.front().second) {
                    std::pop_heap(heap.begin(), heap.end(), better);
                    heap.back() = sc;
                    std::push_heap(heap.begin(), heap.end(), better);
                }
            }
            present[word] = 0;
        }
    }
    std::sort(heap.begin(), heap.end(), better);
    return heap;
}

std::pair<std::uint32_t, std::uint32_t> CompiledIndex::list_of(std::uint32_t p, std::uint32_t role) const {
    const std::uint32_t b = a_.offsets[3 * p + role], e = a_.offsets[3 * p + role + 1];
    CORVANE_CHECK(b <= e && e <= a_.postings.size(), "posting list out of range");
    return {b, e};
}

std::vector<Scored> CompiledIndex::search(std::string_view q, long long top_k,
                                          std::span<const std::uint64_t> allowed) const {
    if (top_k == 0 || q.empty()) return {};
    std::vector<std::uint32_t> matched;
    matched_patterns(q, matched);
    std::vector<Cursor> cursors;
    cursors.reserve(3 * matched.size());
    std::size_t total = 0;
    for (std::uint32_t p : matched) {
        for (std::uint32_t role = 0; role < 3; ++role) {
            const auto [b, e] = list_of(p, role);
            if (b == e) continue;
            const auto bound = static_cast<std::uint8_t>(role == 2 ? a_.keyword_repeat[p] : 1);
            cursors.push_back(Cursor{a_.postings.data() + b, a_.postings.data() + e, static_cast<std::uint8_t>(role), bound});
            total += e - b;
        }
    }
    if (cursors.empty()) return {};
    const std::size_t keep =
        top_k > 0 ? static_cast<std::size_t>(std::min<unsigned long long>(static_cast<unsigned long long>(top_k), total))
                  : total;
    std::vector<Scored> ranked = rank(cursors, keep, allowed);
    for (const Scored& s : ranked) CORVANE_CHECK(s.first < entries_, "entry id out of range");
    if (top_k < 0) {
        const unsigned long long drop = static_cast<unsigned long long>(-(top_k + 1)) + 1;
        ranked.resize(drop >= ranked.size() ? 0 : ranked.size() - static_cast<std::size_t>(drop));
    }
    return ranked;
}

std::vector<Scored> CompiledIndex::search_raw(std::string_view query, long long top_k) const {
    return search(text::normalize_text(query), top_k);
}

int CompiledIndex::score(std::string_view q, std::uint32_t entry) const {
    if (entry >= entries_) return 0;
    std::vector<std::uint32_t> matched;
    matched_patterns(q, matched);
    return score_matched(matched, entry);
}

int CompiledIndex::score_matched(const std::vector<std::uint32_t>& matched, std::uint32_t entry) const {
    bool title = false, alias = false;
    int kw = 0;
    for (std::uint32_t p : matched) {
        for (std::uint32_t role = 0; role < 3; ++role) {
            const auto [lo, hi] = list_of(p, role);
            const std::uint32_t* b = a_.postings.data() + lo;
            const std::uint32_t* e = a_.postings.data() + hi;
            const auto range = std::equal_range(b, e, entry);
            if (range.first == range.second) continue;
            if (role == 0) {
                title = true;
            } else if (role == 1) {
                alias = true;
            } else {
                kw += static_cast<int>(range.second - range.first);
            }
        }
    }
    return points(title, alias, kw);
}

std::vector<TitleOrAlias> CompiledIndex::matched_entries(const std::vector<std::uint32_t>& matched,
                                                         std::span<const std::int32_t> chars,
                                                         std::span<const std::uint32_t> also) const {
    // entry << 18 | !title << 17 | (title characters + 1): sorted, an
    // entry's title list comes first.
    std::vector<std::uint64_t> keyed;
    for (std::size_t m = 0; m < matched.size(); ++m) {
        const std::uint32_t p = matched[m];
        const std::uint64_t n = m < chars.size() ? static_cast<std::uint64_t>(chars[m] + 1) : 0;
        for (std::uint32_t role = 0; role < 2; ++role) {
            const auto [lo, hi] = list_of(p, role);
            for (std::size_t i = lo; i < hi; ++i)
                keyed.push_back(std::uint64_t{a_.postings[i]} << 18 | std::uint64_t{role} << 17 | (role ? 0 : n));
        }
    }
    for (std::uint32_t id : also)
        if (id < entries_) keyed.push_back(std::uint64_t{id} << 18 | std::uint64_t{1} << 17);
    std::sort(keyed.begin(), keyed.end());
    std::vector<TitleOrAlias> out;
    out.reserve(keyed.size());
    for (const std::uint64_t k : keyed) {
        const auto id = static_cast<std::uint32_t>(k >> 18);
        if (!out.empty() && out.back().entry == id) continue;
        CORVANE_CHECK(id < entries_, "entry id out of range");
        const bool title = (k >> 17 & 1) == 0;
        out.push_back({id, title, title ? static_cast<std::int32_t>(k & 0x1FFFF) - 1 : -1});
    }
    return out;
}

std::vector<Scored> CompiledIndex::title_or_alias_matches(std::string_view q, std::span<const std::uint32_t> also) const {
    std::vector<std::uint32_t> matched;
    matched_patterns(q, matched);
    std::vector<Scored> out;
    for (const TitleOrAlias& e : matched_entries(matched, {}, also)) out.emplace_back(e.entry, score_matched(matched, e.entry));
    return out;
}

std::vector<TitleOrAlias> CompiledIndex::title_or_alias_entries(std::string_view q, std::span<const std::uint32_t> also) const {
    std::vector<std::uint32_t> matched;
    std::vector<std::int32_t> chars;
    matched_patterns(q, matched, &chars);
    return matched_entries(matched, chars, also);
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> CompiledIndex::title_postings(std::string_view q) const {
    std::vector<std::uint32_t> matched;
    matched_patterns(q, matched);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const std::uint32_t p : matched) {
        const auto [lo, hi] = list_of(p, 0);
        for (std::uint32_t i = lo; i < hi; ++i) {
            CORVANE_CHECK(a_.postings[i] < entries_, "entry id out of range");
            out.emplace_back(a_.postings[i], i);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

#undef CORVANE_CHECK

std::size_t CompiledIndex::memory_bytes() const {
    if (!own_) return sizeof(*this);
    const Owned& o = *own_;
    return sizeof(*this) + sizeof(Owned) + bytes_of(o.label_) + bytes_of(o.label_escape_) + bytes_of(o.child_base_) +
           bytes_of(o.child_count_) + bytes_of(o.child_escape_) + bytes_of(o.terminal_) + bytes_of(o.terminal_rank_) +
           bytes_of(o.root_bmp_) + bytes_of(o.offsets_) + bytes_of(o.postings_) + bytes_of(o.keyword_repeat_);
}

}  // namespace corvane::matcher
