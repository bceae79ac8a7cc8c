// Image layout (native byte order, every array starting at a multiple of 8
// bytes from the image start):
//
//   header   magic "CVBM25\0\0", u32 version (3), u32 endian mark 0x01020304,
//            u32 n_docs, u32 n_terms, u64 n_postings, u64 term_bytes,
//            f64 k1, f64 b, f64 weights[7],
//            u32 n_blocks, u32 n_tf, u64 n_words, u32 n_norms, u32 norm_bytes
//   u32 term_offsets[n_terms + 1]     into term_bytes; term i is [off[i], off[i+1])
//   char term_bytes[term_bytes]       terms sorted bytewise, strictly ascending
//   f32 idf[n_terms]
//   f32 max_score[n_terms]            best contribution of the term to any entry
//   u32 term_blocks[n_terms + 1]      term i's blocks are [tb[i], tb[i+1])
//   Skip skips[n_blocks]              24 bytes each (bm25.hpp)
//   f32 tf_values[n_tf]               distinct weighted term frequencies, ascending, > 0
//   u32 words[n_words]                packed blocks, then one spare 0 word
//   f32 norm_values[n_norms]          distinct length norms, ascending, >= 0
//   doc_norm[n_docs]                  each entry's length norm, k1 * (1 - b + b * dl / avgdl):
//                                     norm_bytes 1 or 2, an index into norm_values;
//                                     norm_bytes 4 (n_norms 0), the f32 value
//
// Version 2 (still read) ends its header at n_words and has no norm table:
// doc_norm is f32.
//
// A block of `count` postings is count doc-id gaps of doc_bits bits each
// (LSB first in 32-bit words, entry = previous entry + 1 + gap; the previous
// entry of a term's first block is -1, of a later block the last_doc of the
// block before it), padded to a whole word, then count indexes into
// tf_values of tf_bits bits each, padded likewise.  check is the low 32 bits
// of hash64 over the block's words followed by its skip entry with check = 0.
#include "core/search/bm25.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/io/files.hpp"
#include "core/search/compiled_file.hpp"
#include "core/text/text.hpp"

namespace corvane::search {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'B', 'M', '2', '5', '\0', '\0'};
constexpr std::uint32_t kVersion = 3;
constexpr std::uint32_t kEndianMark = 0x01020304;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t endian;
    std::uint32_t n_docs;
    std::uint32_t n_terms;
    std::uint64_t n_postings;
    std::uint64_t term_bytes;
    double k1;
    double b;
    double weights[kFieldCount];
    std::uint32_t n_blocks;
    std::uint32_t n_tf;
    std::uint64_t n_words;
    std::uint32_t n_norms;
    std::uint32_t norm_bytes;
};
static_assert(sizeof(Header) % 8 == 0);
// A version 2 header ends before n_norms.
constexpr std::size_t kHeaderV2 = offsetof(Header, n_norms);
static_assert(kHeaderV2 % 8 == 0);

constexpr std::uint64_t pad8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// Offsets of the arrays for given counts; false when they overflow.
struct Layout {
    std::uint64_t term_offsets, term_bytes, idf, max_score, term_blocks, skips, tf_values, words, norm_values, doc_norm,
        total;
    bool compute(const Header& h) {
        // Counts are bounded first, so nothing below overflows.
        constexpr std::uint64_t kLimit = std::uint64_t{1} << 40;
        if (h.n_postings > kLimit || h.term_bytes > kLimit || h.n_words > kLimit) return false;
        std::uint64_t at = h.version == 2 ? kHeaderV2 : sizeof(Header);
        auto take = [&](std::uint64_t bytes) {
            const std::uint64_t start = at;
            at = pad8(at + bytes);
            return start;
        };
        const std::uint64_t nt = h.n_terms;
        term_offsets = take(4 * (nt + 1));
        term_bytes = take(h.term_bytes);
        idf = take(4 * nt);
        max_score = take(4 * nt);
        term_blocks = take(4 * (nt + 1));
        skips = take(sizeof(Bm25View::Skip) * std::uint64_t{h.n_blocks});
        tf_values = take(4 * std::uint64_t{h.n_tf});
        words = take(4 * h.n_words);
        norm_values = take(4 * std::uint64_t{h.n_norms});
        doc_norm = take(std::uint64_t{h.norm_bytes} * h.n_docs);
        total = at;
        return true;
    }
};

inline double contribution(double idf, double tf, double k1, double norm) { return idf * tf * (k1 + 1) / (tf + norm); }

void check_params(const Bm25Params& p) {
    if (!std::isfinite(p.k1) || p.k1 <= 0 || p.k1 > 100) throw Bm25Error("k1 must be a number above 0 and at most 100");
    if (!std::isfinite(p.b) || p.b < 0 || p.b > 1) throw Bm25Error("b must be a number from 0 to 1");
    for (std::size_t f = 0; f < kFieldCount; ++f)
        if (!std::isfinite(p.weights[f]) || p.weights[f] < 0 || p.weights[f] > 1000)
            throw Bm25Error("the weight of field '" + std::string(kFieldNames[f]) + "' must be a number from 0 to 1000");
}

// Words taken by a block of n postings at the given widths.
inline std::uint64_t block_words(std::uint32_t n, unsigned doc_bits, unsigned tf_bits) {
    return (std::uint64_t{n} * doc_bits + 31) / 32 + (std::uint64_t{n} * tf_bits + 31) / 32;
}

// Value i of width `bits` (0..32) of a packed run starting at w; the caller
// guarantees the run and one word after it are in range.
inline std::uint32_t unpack(const std::uint32_t* w, std::uint32_t i, unsigned bits) {
    if (bits == 0) return 0;
    const std::uint64_t pos = std::uint64_t{i} * bits;
    const std::uint64_t lo = w[pos / 32], hi = w[pos / 32 + 1];
    const std::uint64_t v = (lo | hi << 32) >> (pos % 32);
    return static_cast<std::uint32_t>(bits == 32 ? v : v & ((std::uint64_t{1} << bits) - 1));
}

// Values 0..31 of width B (1..32) of a packed run: exactly B words, read
// at positions known when compiling.
template <unsigned B>
void unpack32(const std::uint32_t* w, std::uint32_t* out) {
#pragma GCC unroll 32
    for (unsigned j = 0; j < 32; ++j) {
        const unsigned bit = j * B, word = bit / 32, sh = bit % 32;
        std::uint64_t v = w[word] >> sh;
        if (sh + B > 32) v |= static_cast<std::uint64_t>(w[word + 1]) << (32 - sh);
        out[j] = static_cast<std::uint32_t>(B == 32 ? v : v & ((std::uint64_t{1} << B) - 1));
    }
}
using Unpack32 = void (*)(const std::uint32_t*, std::uint32_t*);
template <std::size_t... B>
constexpr std::array<Unpack32, sizeof...(B)> unpack32_table(std::index_sequence<B...>) {
    return {{(B == 0 ? nullptr : &unpack32<B == 0 ? 1 : B>)...}};
}
constexpr auto kUnpack32 = unpack32_table(std::make_index_sequence<33>{});

// Values 0..n-1 (n <= kBlockSize) of width bits (0..32) of a packed run into
// out; the caller guarantees the run and one word after it are in range.
void unpack_run(const std::uint32_t* w, std::uint32_t n, unsigned bits, std::uint32_t* out) {
    if (bits == 0) {
        std::fill(out, out + n, 0u);
        return;
    }
    std::uint32_t i = 0;
    for (; i + 32 <= n; i += 32) kUnpack32[bits](w + i / 32 * bits, out + i);
    for (; i < n; ++i) out[i] = unpack(w, i, bits);
}

// Entry ids in place of n gaps of `bits` bits (entry = previous + 1 + gap),
// the previous being `prev`; returns the last id (as a wider integer, so
// that ids past 2^32 - 1 of a damaged block show).  Four lanes at a time
// where no sum can pass 2^32 - 1, whatever the gaps.
std::int64_t ids_from_gaps(std::uint32_t* docs, std::uint32_t n, unsigned bits, std::int64_t prev) {
    std::uint32_t i = 0;
#if defined(__SSE2__)
    if (bits < 32 && static_cast<std::uint64_t>(prev + 1) + (std::uint64_t{n} << bits) <= std::uint64_t{UINT32_MAX}) {
        // prev + 1 + (i + 1) * 2^bits bounds entry i, so the 32-bit sums are
        // the true ones (prev = -1 wraps to 2^32 - 1 and back).
        __m128i carry = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(prev)));
        const __m128i one = _mm_set1_epi32(1);
        for (; i + 4 <= n; i += 4) {
            __m128i x = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(docs + i)), one);
            x = _mm_add_epi32(x, _mm_slli_si128(x, 4));
            x = _mm_add_epi32(x, _mm_slli_si128(x, 8));
            x = _mm_add_epi32(x, carry);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(docs + i), x);
            carry = _mm_shuffle_epi32(x, 0xFF);
        }
        if (i) prev = docs[i - 1];
    }
#endif
    for (; i < n; ++i) {
        prev += 1 + static_cast<std::int64_t>(docs[i]);
        docs[i] = static_cast<std::uint32_t>(prev);
    }
    return prev;
}

void pack(std::uint32_t* w, std::uint32_t i, unsigned bits, std::uint32_t value) {
    if (bits == 0) return;
    const std::uint64_t pos = std::uint64_t{i} * bits;
    const std::uint64_t v = std::uint64_t{value} << (pos % 32);
    w[pos / 32] |= static_cast<std::uint32_t>(v);
    if (pos % 32 + bits > 32) w[pos / 32 + 1] |= static_cast<std::uint32_t>(v >> 32);
}

unsigned bits_for(std::uint32_t v) { return v ? 32 - static_cast<unsigned>(std::countl_zero(v)) : 0; }

std::uint32_t block_check(const std::uint32_t* words, std::uint64_t n, Bm25View::Skip skip) {
    skip.check = 0;
    Hasher h;
    h.update(words, 4 * n);
    h.update(&skip, sizeof skip);
    return static_cast<std::uint32_t>(h.digest());
}

[[noreturn]] void corrupt(const std::string& what) { throw Bm25Corrupt("invalid BM25 section: " + what); }

}  // namespace

std::vector<std::string> query_terms(std::string_view raw_query) {
    const std::string q = text::normalize_text(raw_query);
    std::vector<std::string> out;
    std::string scratch;
    for_each_term(q, scratch, [&](std::string_view t) {
        if (std::find(out.begin(), out.end(), t) == out.end()) out.emplace_back(t);
    });
    return out;
}

// ---------------------------------------------------------------------------
// View.

Bm25View Bm25View::from_bytes(std::span<const std::byte> bytes) {
    Bm25View v = open(bytes);
    v.check_all();
    return v;
}

Bm25View Bm25View::open(std::span<const std::byte> bytes) {
    auto fail = [](const std::string& what) -> Bm25View { throw Bm25Error("invalid BM25 section: " + what); };
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % 8 != 0) return fail("not aligned to 8 bytes");
    if (bytes.size() < kHeaderV2) return fail("shorter than its header");
    Header h{};
    std::memcpy(&h, bytes.data(), kHeaderV2);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return fail("wrong magic");
    if (h.endian != kEndianMark) return fail("written with another byte order");
    if (h.version == 2) {
        h.n_norms = 0;
        h.norm_bytes = 4;
    } else if (h.version == kVersion) {
        if (bytes.size() < sizeof(Header)) return fail("shorter than its header");
        std::memcpy(&h, bytes.data(), sizeof h);
    } else {
        return fail("version " + std::to_string(h.version) + " (this build reads 2 and 3)");
    }
    if (h.norm_bytes == 4 ? h.n_norms != 0
                          : (h.norm_bytes != 1 && h.norm_bytes != 2) || h.n_norms > (1u << (8 * h.norm_bytes)) ||
                                (h.n_docs > 0 && h.n_norms == 0))
        return fail("length norm table does not match its width");
    Layout L;
    if (!L.compute(h) || L.total != bytes.size()) return fail("size does not match its counts");
    if (h.n_words == 0) return fail("no spare word after the blocks");
    if (h.n_blocks > h.n_postings || h.n_postings > std::uint64_t{h.n_blocks} * kBlockSize)
        return fail("block count does not match the postings");
    Bm25Params p;
    p.k1 = h.k1;
    p.b = h.b;
    std::copy(std::begin(h.weights), std::end(h.weights), p.weights.begin());
    try {
        check_params(p);
    } catch (const Bm25Error& e) {
        return fail(e.what());
    }

    Bm25View v;
    const auto* base = reinterpret_cast<const char*>(bytes.data());
    v.n_docs_ = h.n_docs;
    v.n_terms_ = h.n_terms;
    v.n_blocks_ = h.n_blocks;
    v.n_tf_ = h.n_tf;
    v.n_postings_ = h.n_postings;
    v.n_words_ = h.n_words;
    v.term_bytes_n_ = h.term_bytes;
    v.k1_ = h.k1;
    v.b_ = h.b;
    v.weights_ = p.weights;
    v.term_offsets_ = reinterpret_cast<const std::uint32_t*>(base + L.term_offsets);
    v.term_bytes_ = base + L.term_bytes;
    v.idf_ = reinterpret_cast<const float*>(base + L.idf);
    v.max_score_ = reinterpret_cast<const float*>(base + L.max_score);
    v.term_blocks_ = reinterpret_cast<const std::uint32_t*>(base + L.term_blocks);
    v.skips_ = reinterpret_cast<const Skip*>(base + L.skips);
    v.tf_values_ = reinterpret_cast<const float*>(base + L.tf_values);
    v.words_ = reinterpret_cast<const std::uint32_t*>(base + L.words);
    v.doc_norm_ = base + L.doc_norm;
    v.norm_values_ = reinterpret_cast<const float*>(base + L.norm_values);
    v.n_norms_ = h.n_norms;
    v.norm_bytes_ = h.norm_bytes;
    // A zeroed allocation: the pages are only touched for blocks decoded.
    const std::size_t n_bits_words = (std::size_t{h.n_blocks} + 63) / 64 + 1;
    v.checked_ = std::shared_ptr<std::atomic<std::uint64_t>[]>(new std::atomic<std::uint64_t>[n_bits_words]());
    v.norms_read_ahead_ = std::make_shared<std::atomic<bool>>(false);
    return v;
}

std::string_view Bm25View::term(std::uint32_t t) const {
    const std::uint32_t lo = term_offsets_[t], hi = term_offsets_[t + 1];
    if (lo >= hi || hi > term_bytes_n_) corrupt("term offsets out of range");
    return {term_bytes_ + lo, hi - lo};
}

double Bm25View::idf(std::uint32_t t) const {
    const float f = idf_[t];
    if (!(std::isfinite(f) && f >= 0)) corrupt("idf of term " + std::to_string(t));
    return f;
}

std::pair<std::uint32_t, std::uint32_t> Bm25View::blocks_of(std::uint32_t t) const {
    const std::uint32_t lo = term_blocks_[t], hi = term_blocks_[t + 1];
    if (lo >= hi || hi > n_blocks_) corrupt("blocks of term " + std::to_string(t));
    return {lo, hi};
}

void Bm25View::read_ahead_norms() const {
    if (norms_read_ahead_) io::will_need_once(*norms_read_ahead_, doc_norm_, std::size_t{n_docs_} * norm_bytes_);
}

void Bm25View::prefetch(std::span<const std::string> terms) const {
    // Until the first walk in a process (which asks for the norms): the
    // cold question's pages; later questions' lists are asked for by the walk.
    if (!norms_read_ahead_ || norms_read_ahead_->load(std::memory_order_relaxed)) return;
    for (const std::string& t : terms) {
        const std::int64_t id = find(t);
        if (id < 0) continue;
        const auto [lo, hi] = blocks_of(static_cast<std::uint32_t>(id));
        read_ahead(lo, hi);
    }
    read_ahead_norms();
}

void Bm25View::read_ahead(std::uint32_t lo, std::uint32_t hi) const {
    if (lo >= hi || hi > n_blocks_ || !checked_) return;
    if (checked_[lo / 64].load(std::memory_order_relaxed) >> (lo % 64) & 1) return;  // read before: cached
    io::will_need(skips_ + lo, std::size_t{hi - lo} * sizeof(Skip));
    const std::uint64_t w0 = skips_[lo].word_off, w1 = hi < n_blocks_ ? skips_[hi].word_off : n_words_;
    if (w0 < w1 && w1 <= n_words_) io::will_need(words_ + w0, (w1 - w0) * sizeof(std::uint32_t));
}

float Bm25View::tf_at(const Block& block, std::uint32_t i) const {
    if (!block.tf_words) return block.tf[i];
    const std::uint32_t k = unpack(block.tf_words, i, block.tf_bits);
    if (k >= n_tf_) corrupt("term frequencies of a block");
    return tf_values_[k];
}

void Bm25View::decode(std::uint32_t t, std::uint32_t b, Block& out, bool docs_only) const {
    // Every read below is bounded by the header's counts whatever the bytes
    // say; the checksum is compared once per block.
    const std::uint32_t first = term_blocks_[t];
    const Skip s = skips_[b];
    const std::uint32_t n = s.count;
    if (n == 0 || n > kBlockSize || s.doc_bits > 32 || s.tf_bits > 32) corrupt("block " + std::to_string(b));
    const std::uint64_t len = block_words(n, s.doc_bits, s.tf_bits);
    if (s.word_off >= n_words_ || len > n_words_ - 1 - s.word_off) corrupt("block " + std::to_string(b) + " out of range");
    const std::uint32_t* w = words_ + s.word_off;
    std::atomic<std::uint64_t>& bits = checked_[b / 64];
    const std::uint64_t mask = std::uint64_t{1} << (b % 64);
    const bool known = bits.load(std::memory_order_relaxed) & mask;
    if (!known && block_check(w, len, s) != s.check) corrupt("checksum of block " + std::to_string(b));
    std::int64_t prev = (b == first || b == 0) ? -1 : static_cast<std::int64_t>(skips_[b - 1].last_doc);
    const std::uint32_t* tw = w + (std::uint64_t{n} * s.doc_bits + 31) / 32;
    // Locals, so that the loop does not reload them after each store to out.
    // Ids only grow (gaps are >= 0; 128 of 32 bits cannot overflow 64), so
    // the last one is the only one to check against the entry count; the
    // term-frequency indexes are checked before each read of the table.
    const unsigned doc_bits = s.doc_bits, tf_bits = s.tf_bits;
    const std::uint32_t n_tf = n_tf_;
    const float* tf_values = tf_values_;
    if (n_tf == 0) corrupt("term frequencies of block " + std::to_string(b));
    // Entry ids: the gaps read in order, the bit position carried along (the
    // run and the word after it are in range, checked above).
    unpack_run(w, n, doc_bits, out.docs);
    prev = ids_from_gaps(out.docs, n, doc_bits, prev);
    if (prev >= n_docs_) corrupt("entry ids of block " + std::to_string(b));
    if (prev != s.last_doc) corrupt("last entry of block " + std::to_string(b));
    out.n = n;
    if (known && docs_only) {
        out.tf_words = tw;
        out.tf_bits = tf_bits;
        return;
    }
    out.tf_words = nullptr;
    bool tf_ok = true;
    std::uint32_t ks[kBlockSize];
    unpack_run(tw, n, tf_bits, ks);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t k = ks[i];
        tf_ok &= k < n_tf;
        out.tf[i] = tf_values[k < n_tf ? k : 0];
    }
    if (!tf_ok) corrupt("term frequencies of block " + std::to_string(b));
    if (known) return;
    // First decoding: the values the walk trusts without reading them again.
    const double id = idf(t);
    const double bound = std::min<double>(s.max_score, max_score_[t]) * (1 + 1e-6) + 1e-12;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t d = out.docs[i];
        const float tf = out.tf[i], nd = norm(d);
        if (!(std::isfinite(tf) && tf > 0 && tf <= s.max_tf)) corrupt("term frequencies of block " + std::to_string(b));
        if (!(std::isfinite(nd) && nd >= 0) || (norm_bytes_ != 4 && norm_index(d) >= n_norms_))
            corrupt("entry length of entry " + std::to_string(d));
        // The walk skips entries by these bounds: a low one would lose results.
        if (contribution(id, tf, k1_, nd) > bound) corrupt("bound of block " + std::to_string(b) + " below its best score");
    }
    bits.fetch_or(mask, std::memory_order_relaxed);
}

void Bm25View::check_all() const {
    auto fail = [](const std::string& what) { throw Bm25Error("invalid BM25 section: " + what); };
    if (term_offsets_[0] != 0 || term_offsets_[n_terms_] != term_bytes_n_) fail("term offsets out of range");
    if (term_blocks_[0] != 0 || term_blocks_[n_terms_] != n_blocks_) fail("block offsets out of range");
    for (std::uint32_t i = 0; i < n_tf_; ++i)
        if (!(std::isfinite(tf_values_[i]) && tf_values_[i] > 0) || (i && !(tf_values_[i - 1] < tf_values_[i])))
            fail("term frequency table");
    for (std::uint32_t i = 0; i < n_norms_; ++i)
        if (!(std::isfinite(norm_values_[i]) && norm_values_[i] >= 0) || (i && !(norm_values_[i - 1] < norm_values_[i])))
            fail("length norm table");
    for (std::uint32_t d = 0; d < n_docs_; ++d) {
        const float nd = norm(d);
        if (!(std::isfinite(nd) && nd >= 0) || (norm_bytes_ != 4 && norm_index(d) >= n_norms_))
            fail("entry length of entry " + std::to_string(d));
    }
    std::uint64_t postings = 0;
    auto block = std::make_unique<Block>();
    for (std::uint32_t t = 0; t < n_terms_; ++t) {
        if (t && !(term(t - 1) < term(t))) fail("terms not sorted at term " + std::to_string(t));
        if (!(std::isfinite(max_score_[t]) && max_score_[t] >= 0)) fail("bound of term " + std::to_string(t));
        const auto [lo, hi] = blocks_of(t);
        for (std::uint32_t b = lo; b < hi; ++b) {
            try {
                decode(t, b, *block);
            } catch (const Bm25Corrupt& e) {
                throw Bm25Error(e.what());
            }
            postings += block->n;
            if (b > lo && skips_[b].last_doc <= skips_[b - 1].last_doc) fail("entry ids of term " + std::to_string(t));
        }
    }
    if (postings != n_postings_) fail("posting count");
}

std::int64_t Bm25View::find(std::string_view t) const {
    std::uint32_t lo = 0, hi = n_terms_;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const int c = term(mid).compare(t);  // one comparison a step
        if (c < 0) lo = mid + 1;
        else if (c > 0) hi = mid;
        else return mid;
    }
    return -1;
}

std::vector<std::string> Bm25View::terms_with_prefix(std::string_view prefix, std::size_t limit) const {
    std::uint32_t lo = 0, hi = n_terms_;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (term(mid) < prefix) lo = mid + 1;
        else hi = mid;
    }
    std::vector<std::string> out;
    for (std::uint32_t t = lo; t < n_terms_ && out.size() <= limit; ++t) {
        const std::string_view m = term(t);
        if (!m.starts_with(prefix)) break;
        out.emplace_back(m);
    }
    return out;
}

// A term's postings read block by block.
struct Bm25View::Cursor {
    const Bm25View* v;
    std::uint32_t term, blk, end;  // current block, end of the term's blocks
    std::uint32_t pos = 0;
    double idf, weight, bound;     // bound = weight * the term's best contribution
    std::uint32_t shallow = 0;     // block_for's position: targets only grow
    std::unique_ptr<Block> block = std::make_unique<Block>();
    bool loaded = false;

    std::uint32_t last_of(std::uint32_t b) const { return v->skips_[b].last_doc; }
    std::uint64_t* moves = nullptr;  // counts the block changes of a walk's cursors
    bool essential = true;         // top_k's: the block's contributions are computed as it loads
    void load() {
        v->decode(term, blk, *block, !essential);
        block->scored = false;
        if (essential) {
            // Every posting of an essential cursor's block is looked at: its
            // contributions at once, the entries' lengths read together.
            for (std::uint32_t i = 0; i < block->n; ++i)
                block->contrib[i] = contribution(idf, block->tf[i], v->k1_, v->norm(block->docs[i]));
            block->scored = true;
        }
        pos = 0;
        loaded = true;
    }
    // weight * the contribution of the current posting to its entry, whose
    // normalized length is norm() (read only when needed).
    template <class Norm>
    double weighted(Norm&& norm) const {
        return weight * (block->scored ? block->contrib[pos] : contribution(idf, tf(), v->k1_, norm()));
    }
    std::uint32_t doc() {
        if (blk >= end) return UINT32_MAX;
        if (!loaded) load();
        return block->docs[pos];
    }
    float tf() const { return v->tf_at(*block, pos); }
    void next() {
        if (++pos < block->n) {
            // The entry's length is read when it is scored: a miss otherwise.
            if (!block->scored) __builtin_prefetch(v->norm_address(block->docs[pos]));
            return;
        }
        ++blk;
        ++*moves;
        loaded = false;
    }
    // Best contribution in the current block (weighted).
    double block_bound() const { return weight * static_cast<double>(v->skips_[blk].max_score) * (1 + 1e-9) + 1e-12; }
    // The block that may hold d, found from the skip entries without decoding.
    std::uint32_t block_for(std::uint32_t d) {
        std::uint32_t b = std::max(blk, shallow);
        while (b < end && last_of(b) < d) ++b;
        shallow = b;
        return b;
    }
    // First posting >= d.
    void seek(std::uint32_t d) {
        if (blk >= end) return;
        if (loaded && block->docs[pos] >= d) return;
        if (last_of(blk) < d || !loaded) {
            const std::uint32_t b = block_for(d);
            if (b != blk || !loaded) {
                blk = b;
                ++*moves;
                loaded = false;
                if (blk >= end) return;
                load();
            }
        }
        const std::uint32_t* at = std::lower_bound(block->docs + pos, block->docs + block->n, d);
        pos = static_cast<std::uint32_t>(at - block->docs);
        if (pos >= block->n) {  // only when the skip entry disagrees with its block
            ++blk;
            ++*moves;
            loaded = false;
        }
    }
};

std::uint32_t DocGroups::doc(std::uint32_t e) const {
    const std::uint32_t d = e < doc_of.size() ? doc_of[e] : UINT32_MAX;
    if (d >= docs()) corrupt("document of entry " + std::to_string(e));
    return d;
}

std::span<const std::uint32_t> DocGroups::of(std::uint32_t d) const {
    const std::uint32_t lo = d < docs() ? starts[d] : 1, hi = d < docs() ? starts[d + 1] : 0;
    if (lo > hi || hi > members.size()) corrupt("entries of document " + std::to_string(d));
    return members.subspan(lo, hi - lo);
}

std::vector<std::uint32_t> DocGroups::encode(std::span<const std::uint32_t> doc_of) {
    if (doc_of.size() >= UINT32_MAX / 2) throw Bm25Error("entry groups: too many entries");
    std::uint32_t docs = 0;
    for (const std::uint32_t d : doc_of) docs = std::max(docs, d + 1);
    const std::size_t n = doc_of.size();
    std::vector<std::uint32_t> out(2 + 2 * n + docs + 1, 0);
    out[0] = static_cast<std::uint32_t>(n);
    out[1] = docs;
    std::uint32_t* of = out.data() + 2;
    std::uint32_t* starts = of + n;
    std::uint32_t* members = starts + docs + 1;
    std::copy(doc_of.begin(), doc_of.end(), of);
    for (const std::uint32_t d : doc_of) ++starts[d + 1];
    for (std::uint32_t d = 0; d < docs; ++d) starts[d + 1] += starts[d];
    std::vector<std::uint32_t> fill(starts, starts + docs);
    for (std::uint32_t e = 0; e < n; ++e) members[fill[doc_of[e]]++] = e;
    return out;
}

GroupedBm25 GroupedBm25::build(std::span<const std::string> texts, Field field) {
    std::unordered_map<std::string_view, std::uint32_t> doc_of_text;
    std::vector<std::uint32_t> doc_of(texts.size()), copies;
    Bm25Builder b;
    for (std::size_t e = 0; e < texts.size(); ++e) {
        const auto [it, fresh] = doc_of_text.try_emplace(texts[e], static_cast<std::uint32_t>(copies.size()));
        if (fresh) {
            b.begin_entry();
            if (!texts[e].empty()) b.add_text(field, texts[e]);
            copies.push_back(0);
        }
        doc_of[e] = it->second;
        ++copies[it->second];
    }
    GroupedBm25 out;
    out.image = b.build(copies);
    out.groups = DocGroups::encode(doc_of);
    return out;
}

DocGroups DocGroups::open(std::span<const std::byte> bytes) {
    const Bm25Error fail("entry groups: sizes do not hold together");
    if (bytes.size() < 8 || reinterpret_cast<std::uintptr_t>(bytes.data()) % 4) throw fail;
    std::uint32_t head[2];
    std::memcpy(head, bytes.data(), sizeof head);
    const std::uint64_t words = 2 + 2 * std::uint64_t{head[0]} + std::uint64_t{head[1]} + 1;
    if (bytes.size() != words * 4) throw fail;
    const auto* w = reinterpret_cast<const std::uint32_t*>(bytes.data()) + 2;
    DocGroups g;
    g.doc_of = {w, head[0]};
    g.starts = {w + head[0], std::size_t{head[1]} + 1};
    g.members = {w + head[0] + head[1] + 1, head[0]};
    return g;
}

double Bm25View::score(const std::vector<std::string>& terms, std::uint32_t entry) const {
    if (entry >= n_docs_) return 0;
    double s = 0;
    Block block;
    for (const std::string& t : terms) {
        const std::int64_t id = find(t);
        if (id < 0) continue;
        const auto [lo, hi] = blocks_of(static_cast<std::uint32_t>(id));
        std::uint32_t b = lo;
        while (b < hi && skips_[b].last_doc < entry) ++b;
        if (b == hi) continue;
        decode(static_cast<std::uint32_t>(id), b, block);
        const std::uint32_t* at = std::lower_bound(block.docs, block.docs + block.n, entry);
        if (at != block.docs + block.n && *at == entry)
            s += contribution(idf(static_cast<std::uint32_t>(id)), block.tf[at - block.docs], k1_, norm(entry));
    }
    return s;
}

bool Bm25View::term_score(std::uint32_t t, std::uint32_t entry, double& out) const {
    if (t >= n_terms_ || entry >= n_docs_) return false;
    const auto [lo, hi] = blocks_of(t);
    // The first block whose last entry is `entry` or later.
    std::uint32_t l = lo, h = hi;
    while (l < h) {
        const std::uint32_t mid = l + (h - l) / 2;
        if (skips_[mid].last_doc < entry) l = mid + 1;
        else h = mid;
    }
    if (l >= hi) return false;
    const std::uint32_t b = l;
    float tf;
    if (!(checked_[b / 64].load(std::memory_order_relaxed) >> (b % 64) & 1)) {
        Block block;
        decode(t, b, block);
        const std::uint32_t* at = std::lower_bound(block.docs, block.docs + block.n, entry);
        if (at == block.docs + block.n || *at != entry) return false;
        tf = block.tf[at - block.docs];
    } else {
        // Checked before: the gaps are summed up to the entry and one term
        // frequency read, every read bounded as in decode().
        const Skip s = skips_[b];
        const std::uint32_t n = s.count;
        if (n == 0 || n > kBlockSize || s.doc_bits > 32 || s.tf_bits > 32) corrupt("block " + std::to_string(b));
        const std::uint64_t len = block_words(n, s.doc_bits, s.tf_bits);
        if (s.word_off >= n_words_ || len > n_words_ - 1 - s.word_off)
            corrupt("block " + std::to_string(b) + " out of range");
        const std::uint32_t* w = words_ + s.word_off;
        std::int64_t prev = (b == term_blocks_[t] || b == 0) ? -1 : static_cast<std::int64_t>(skips_[b - 1].last_doc);
        const unsigned doc_bits = s.doc_bits;
        std::uint32_t i = 0;
        // Whole groups of 32 gaps while the entry lies past them.
        if (doc_bits) {
            std::uint32_t gaps[32];
            for (; i + 32 <= n; i += 32) {
                kUnpack32[doc_bits](w + i / 32 * doc_bits, gaps);
                std::int64_t sum = prev + 32;
                for (std::uint32_t j = 0; j < 32; ++j) sum += gaps[j];
                if (sum >= entry) break;
                prev = sum;
            }
        }
        for (; i < n; ++i) {
            prev += 1 + static_cast<std::int64_t>(unpack(w, i, doc_bits));
            if (prev >= entry) break;
        }
        if (i == n || prev != entry) return false;
        const std::uint32_t k = unpack(w + (std::uint64_t{n} * doc_bits + 31) / 32, i, s.tf_bits);
        if (k >= n_tf_) corrupt("term frequencies of block " + std::to_string(b));
        tf = tf_values_[k];
    }
    out = contribution(idf(t), tf, k1_, norm(entry));
    return true;
}

Bm25Scorer::Bm25Scorer(const Bm25View& view, const std::vector<std::string>& terms) : view_(&view) {
    ids_.reserve(terms.size());
    for (const std::string& t : terms) {
        const std::int64_t id = view.find(t);
        if (id >= 0) ids_.push_back(static_cast<std::uint32_t>(id));
    }
}

double Bm25Scorer::operator()(std::uint32_t entry) const {
    if (ids_.empty() || entry >= view_->size()) return 0;
    if (const auto at = known_.find(entry); at != known_.end()) return at->second;
    // Summed in the terms' order, as score() does.
    double s = 0, c = 0;
    for (const std::uint32_t t : ids_)
        if (view_->term_score(t, entry, c)) s += c;
    known_.emplace(entry, s);
    return s;
}

void Bm25Scorer::prefill(std::span<const std::uint32_t> entries) const {
    if (ids_.empty() || entries.empty()) return;
    std::vector<std::uint32_t> todo;
    todo.reserve(entries.size());
    for (const std::uint32_t e : entries)
        if (e < view_->size() && !known_.count(e)) todo.push_back(e);
    if (todo.empty()) return;
    const std::vector<double> got = view_->score_ids(ids_, todo);
    for (std::size_t i = 0; i < todo.size(); ++i) known_.emplace(todo[i], got[i]);
}

std::vector<double> Bm25View::score_ids(std::span<const std::uint32_t> term_ids,
                                        std::span<const std::uint32_t> entries) const {
    std::vector<double> out(entries.size(), 0.0);
    if (term_ids.empty() || entries.empty()) return out;
    std::vector<std::uint32_t> order;
    order.reserve(entries.size());
    for (std::uint32_t i = 0; i < entries.size(); ++i)
        if (entries[i] < n_docs_) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return entries[a] < entries[b]; });
    auto block = std::make_unique<Block>();
    for (const std::uint32_t t : term_ids) {
        if (t >= n_terms_) continue;
        const auto [lo, hi] = blocks_of(t);
        const double id = idf(t);
        std::uint32_t b = lo, loaded = UINT32_MAX;
        for (const std::uint32_t i : order) {
            const std::uint32_t e = entries[i];
            // The first block whose last entry is e or later (entries ascend,
            // so the search starts where the last one ended).
            if (b < hi && skips_[b].last_doc < e) {
                std::uint32_t l = b + 1, h = hi;
                while (l < h) {
                    const std::uint32_t mid = l + (h - l) / 2;
                    if (skips_[mid].last_doc < e) l = mid + 1;
                    else h = mid;
                }
                b = l;
            }
            if (b >= hi) break;
            if (b != loaded) {
                decode(t, b, *block, /*docs_only=*/true);  // frequencies read for the entries found
                loaded = b;
            }
            const std::uint32_t* at = std::lower_bound(block->docs, block->docs + block->n, e);
            if (at != block->docs + block->n && *at == e)
                out[i] += contribution(id, tf_at(*block, static_cast<std::uint32_t>(at - block->docs)), k1_, norm(e));
        }
    }
    return out;
}

std::vector<Hit> Bm25View::search_terms(const std::vector<std::string>& terms, std::size_t top_k) const {
    std::vector<QueryTerm> q;
    q.reserve(terms.size());
    for (const std::string& t : terms) q.push_back({t, 1.0});
    return this->top_k(q, top_k);
}

std::vector<Hit> Bm25View::top_k(std::span<const QueryTerm> terms, std::size_t k, const DocFilter* allowed,
                                 std::span<const Boost> boosts) const {
    return walk<false>(terms, k, allowed, boosts, nullptr);
}

std::vector<Hit> Bm25View::top_k_entries(std::span<const QueryTerm> terms, std::size_t k, const DocGroups& groups,
                                         const DocFilter* allowed) const {
    if (groups.docs() != n_docs_) throw Bm25Error("entry groups of another document count");
    return walk<true>(terms, k, allowed, {}, &groups);
}

// With Grouped, documents stand for groups of entries: the heap holds
// entries, each scoring its document's score, and an entry may enter at the
// k-th score when its id is lower (the documents are not visited in entry
// order), so nothing that could tie the k-th score is passed over.
template <bool Grouped>
std::vector<Hit> Bm25View::walk(std::span<const QueryTerm> terms, std::size_t k, const DocFilter* allowed,
                                std::span<const Boost> boosts, const DocGroups* groups) const {
    std::vector<Hit> heap;
    if (k == 0 || n_docs_ == 0) return heap;
    std::vector<Cursor> cs;
    for (const QueryTerm& qt : terms) {
        if (!(std::isfinite(qt.weight) && qt.weight >= 0)) throw Bm25Error("a term weight must be a finite number of 0 or more");
        if (qt.weight == 0) continue;
        const std::int64_t id = qt.id >= 0 && qt.id < n_terms_ ? qt.id : find(qt.term);
        if (id < 0) continue;
        const auto t = static_cast<std::uint32_t>(id);
        const auto [lo, hi] = blocks_of(t);
        const double ms = max_score_[t];
        if (!(std::isfinite(ms) && ms >= 0)) corrupt("bound of term " + std::to_string(t));
        cs.push_back(Cursor{this, t, lo, hi, 0, idf(t), qt.weight, qt.weight * ms, lo});
    }
    if (cs.empty()) return heap;
    for (const Cursor& c : cs) read_ahead(c.blk, c.end);
    read_ahead_norms();
    // Boosts by entry, summed per entry; the largest bounds every entry.
    std::vector<Boost> boost(boosts.begin(), boosts.end());
    double max_boost = 0;
    for (const Boost& bo : boost)
        if (!std::isfinite(bo.extra)) throw Bm25Error("a boost must be a finite number");
    std::sort(boost.begin(), boost.end(), [](const Boost& a, const Boost& b) { return a.doc < b.doc; });
    {
        std::size_t o = 0;
        for (std::size_t i = 0; i < boost.size(); ++i) {
            if (o && boost[o - 1].doc == boost[i].doc) boost[o - 1].extra += boost[i].extra;
            else boost[o++] = boost[i];
        }
        boost.resize(o);
        for (const Boost& bo : boost) max_boost = std::max(max_boost, bo.extra);
    }
    std::size_t next_boost = 0;
    // MaxScore: cursors by ascending bound; the leading ones whose bounds sum
    // (with the largest boost) to no more than the current k-th score cannot
    // lift an entry into the top k on their own, so entries are only taken
    // from the others ("essential") and the leading ones are just probed.
    std::stable_sort(cs.begin(), cs.end(), [](const Cursor& a, const Cursor& b) { return a.bound < b.bound; });
    const std::size_t m = cs.size();
    // Bounds of cursors 0..i, with a little room for rounding: alone, and
    // with the largest boost.
    std::vector<double> prefix(m), prefix_boosted(m), block_prefix(m), block_bound(m);
    // The block bounds of the last round that computed them (see below).
    std::uint64_t moves = 0, cache_moves = 1;
    std::size_t cache_first = 0;
    std::uint32_t cache_upto = 0, upto = UINT32_MAX;
    double ub = 0, ne = 0;
    for (Cursor& c : cs) c.moves = &moves;
    double acc = 0;
    for (std::size_t i = 0; i < m; ++i) {
        acc += cs[i].bound;
        prefix[i] = acc * (1 + 1e-9) + 1e-12;
        prefix_boosted[i] = (acc + max_boost) * (1 + 1e-9) + 1e-12;
    }
    // Min-heap of the best so far: the worst (lowest score, then highest id) on top.
    auto worse = [](const Hit& a, const Hit& b) { return a.second > b.second || (a.second == b.second && a.first < b.first); };
    heap.reserve(std::min<std::size_t>(k, Grouped ? groups->entries() : n_docs_) + 1);
    double theta = 0;  // an entry must score above this to enter (0 until the heap is full)
    bool full = false;
    // Keeps (e, s) when the heap has room or s beats the worst kept (with
    // `ties`, also an equal score of a lower id); false when it is not kept.
    auto offer = [&](std::uint32_t e, double s, bool ties) {
        if (!full) {
            heap.push_back({e, s});
            std::push_heap(heap.begin(), heap.end(), worse);
        } else if (s > theta || (ties && s == theta && e < heap.front().first)) {
            std::pop_heap(heap.begin(), heap.end(), worse);
            heap.back() = {e, s};
            std::push_heap(heap.begin(), heap.end(), worse);
        } else {
            return false;
        }
        if (heap.size() >= k) {
            full = true;
            theta = heap.front().second;
        }
        return true;
    };
    std::size_t first = 0;  // first essential cursor
    // Safety net against damaged skip entries: every round moves a cursor.
    while (first < m) {
        // d: the first entry of the essential cursors; d2: the first of the
        // others than the one at d (the lead), when it alone is at d.
        std::uint32_t d = UINT32_MAX, d2 = UINT32_MAX;
        std::size_t lead = m;
        for (std::size_t i = first; i < m; ++i) {
            const std::uint32_t e = cs[i].doc();
            if (e < d) {
                d2 = d;
                d = e;
                lead = i;
            } else {
                d2 = std::min(d2, e);
            }
        }
        if (d == UINT32_MAX) break;
        if (full) {
            // Block-max: the current blocks of the essential cursors and the
            // blocks of the others that may hold d bound every entry up to
            // the first of their ends; when that bound cannot beat theta,
            // all those entries are passed over undecoded.  The bounds hold
            // until a cursor changes blocks, the essential set changes or d
            // passes the first of those ends.
            if (moves != cache_moves || first != cache_first || d > cache_upto) {
                ub = max_boost;
                ne = 0;
                upto = UINT32_MAX;
                for (std::size_t i = 0; i < m; ++i) {
                    Cursor& c = cs[i];
                    const std::uint32_t b = i < first ? c.block_for(d) : c.blk;
                    block_bound[i] = 0;
                    if (b < c.end) {
                        const Skip& s = skips_[b];
                        block_bound[i] = c.weight * static_cast<double>(s.max_score);
                        ub += block_bound[i];
                        upto = std::min(upto, s.last_doc);
                    }
                    if (i < first) {
                        ne += block_bound[i];
                        block_prefix[i] = ne * (1 + 1e-9) + 1e-12;
                    }
                }
                cache_moves = moves;
                cache_first = first;
                cache_upto = upto;
            }
            if (ub * (1 + 1e-9) + 1e-12 <= theta) {
                if (upto == UINT32_MAX) break;
                for (std::size_t i = first; i < m; ++i) cs[i].seek(upto < d ? d + 1 : upto + 1);
                continue;
            }
            if (d2 > d) {
                // The lead alone holds the entries before d2: those whose
                // contribution cannot beat theta with the bounds of the
                // others and any boost are passed over in a tight scan of
                // its block, up to the end of the bounds' window.
                Cursor& c = cs[lead];
                const Block& b = *c.block;
                if (b.scored) {
                    const double rest = max_boost + (first ? std::min(prefix[first - 1], block_prefix[first - 1]) : 0.0);
                    const std::uint32_t last = std::min(upto, d2 - 1);
                    std::uint32_t p = c.pos;
                    auto below = [&](double v) { return Grouped ? v < theta : v <= theta; };
                    while (p < b.n && b.docs[p] <= last && below(c.weight * b.contrib[p] + rest)) ++p;
                    if (p != c.pos) {
                        c.pos = p - 1;
                        c.next();
                        continue;
                    }
                }
            }
            // Of d alone: the essential cursors not at d do not hold it.
            double ub_d = max_boost + ne;
            for (std::size_t i = first; i < m; ++i)
                if (cs[i].doc() == d) ub_d += block_bound[i];
            if (ub_d * (1 + 1e-9) + 1e-12 <= theta) {
                for (std::size_t i = first; i < m; ++i)
                    if (cs[i].doc() == d) cs[i].next();
                continue;
            }
        }
        if (allowed && !(Grouped ? std::ranges::any_of(groups->of(d), [&](std::uint32_t e) { return allowed->allows(e); })
                                 : allowed->allows(d))) {
            for (std::size_t i = first; i < m; ++i)
                if (cs[i].doc() == d) cs[i].next();
            continue;
        }
        double norm_d = -1;
        auto norm_of_d = [&] { return norm_d >= 0 ? norm_d : (norm_d = norm(d)); };
        double s = 0;
        for (std::size_t i = first; i < m; ++i) {
            Cursor& c = cs[i];
            if (c.doc() == d) {
                s += c.weighted(norm_of_d);
                c.next();
            }
        }
        double extra = 0;
        while (next_boost < boost.size() && boost[next_boost].doc < d) ++next_boost;
        if (next_boost < boost.size() && boost[next_boost].doc == d) extra = boost[next_boost].extra;
        for (std::size_t i = first; i-- > 0;) {
            // The blocks that may hold d bound the cursors left (the
            // essential ones were bounded by their terms' best, so the
            // prefixes hold while the heap is full).
            if (full && s + extra + std::min(prefix[i], block_prefix[i]) <= theta) break;
            Cursor& c = cs[i];
            c.seek(d);
            if (c.doc() == d) s += c.weighted(norm_of_d);
        }
        if (!std::isfinite(s)) corrupt("a score is not a number");
        if (s <= 0) continue;  // no term matched with a positive weight
        s += extra;
        if (!(s > 0)) continue;
        if constexpr (Grouped) {
            // The group's entries in id order: once one cannot enter, none after it can.
            std::int64_t prev = -1;
            for (const std::uint32_t e : groups->of(d)) {
                if (e >= groups->entries() || static_cast<std::int64_t>(e) <= prev) corrupt("entries of document " + std::to_string(d));
                prev = e;
                if (allowed && !allowed->allows(e)) continue;
                if (!offer(e, s, true)) break;
            }
            while (full && first < m && prefix_boosted[first] <= theta) cs[first++].essential = false;
            continue;
        }
        if (offer(d, s, false) && full)
            while (first < m && prefix_boosted[first] <= theta) cs[first++].essential = false;
    }
    std::sort(heap.begin(), heap.end(), [](const Hit& a, const Hit& b) {
        return a.second > b.second || (a.second == b.second && a.first < b.first);
    });
    return heap;
}

// ---------------------------------------------------------------------------
// Owned image.

Bm25Index Bm25Index::from_bytes(std::span<const std::byte> bytes) {
    Bm25Index ix;
    ix.storage_.resize(pad8(bytes.size()) / 8);
    if (!bytes.empty()) std::memcpy(ix.storage_.data(), bytes.data(), bytes.size());
    ix.size_ = bytes.size();
    ix.view_ = Bm25View::from_bytes(ix.bytes());
    return ix;
}

std::size_t Bm25Index::append_sections(std::string& out) const {
    out.resize(pad8(out.size()), '\0');
    const std::size_t at = out.size();
    out.append(reinterpret_cast<const char*>(storage_.data()), size_);
    return at;
}

// ---------------------------------------------------------------------------
// Builder.

Bm25Builder::Bm25Builder(const Bm25Params& params) : params_(params) { check_params(params_); }

namespace {
// A term of up to 7 bytes as one word: the bytes and the length (never 0).
inline std::uint64_t pack(std::string_view t) {
    // The bytes as a little-endian number: two (overlapping) fixed-size loads
    // rather than a copy of variable size.
    const std::size_t n = t.size();
    const char* p = t.data();
    std::uint64_t k;
    if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        k = a | static_cast<std::uint64_t>(b) << (8 * (n - 4));
    } else {
        k = 0;
        for (std::size_t i = 0; i < n; ++i) k |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    return k | (static_cast<std::uint64_t>(n) << 56);
}
inline std::size_t slot_of(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 29) & mask;
}
}  // namespace

namespace {

// Floats by their bits: which were seen, then each one's place among the
// distinct values (what lower_bound finds there).
class TfTable {
public:
    bool insert(float f) {  // true the first time f is seen
        if (2 * (count_ + 1) > slots_.size()) grow();
        const std::uint32_t b = bits(f);
        std::size_t s = slot(b, slots_.size() - 1);
        while (slots_[s].used) {
            if (slots_[s].bits == b) return false;
            s = (s + 1) & (slots_.size() - 1);
        }
        slots_[s] = {b, 0, true};
        ++count_;
        return true;
    }
    void number(const std::vector<float>& sorted) {
        for (Slot& e : slots_) {
            if (!e.used) continue;
            float f;
            std::memcpy(&f, &e.bits, 4);
            e.index = static_cast<std::uint32_t>(std::lower_bound(sorted.begin(), sorted.end(), f) - sorted.begin());
        }
    }
    std::uint32_t index_of(float f) const {  // f was inserted
        const std::uint32_t b = bits(f);
        std::size_t s = slot(b, slots_.size() - 1);
        while (slots_[s].bits != b || !slots_[s].used) s = (s + 1) & (slots_.size() - 1);
        return slots_[s].index;
    }

private:
    struct Slot {
        std::uint32_t bits = 0, index = 0;
        bool used = false;
    };
    static std::uint32_t bits(float f) {
        std::uint32_t b;
        std::memcpy(&b, &f, 4);
        return b;
    }
    static std::size_t slot(std::uint32_t b, std::size_t mask) {
        return static_cast<std::size_t>((b * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    }
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 256 : 2 * slots_.size());
        old.swap(slots_);
        for (const Slot& e : old) {
            if (!e.used) continue;
            std::size_t s = slot(e.bits, slots_.size() - 1);
            while (slots_[s].used) s = (s + 1) & (slots_.size() - 1);
            slots_[s] = e;
        }
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

}  // namespace

void Bm25Builder::grow_short() {
    const std::size_t cap = short_.empty() ? 1024 : 2 * short_.size();
    std::vector<ShortSlot> slots(cap);
    for (const ShortSlot& e : short_) {
        if (!e.key) continue;
        std::size_t s = slot_of(e.key, cap - 1);
        while (slots[s].key) s = (s + 1) & (cap - 1);
        slots[s] = e;
    }
    short_.swap(slots);
}

std::uint32_t Bm25Builder::intern(std::string_view term) {
    auto add = [&]() -> std::uint32_t {
        if (term_start_.size() >= UINT32_MAX - 1 || arena_.size() + term.size() >= UINT32_MAX)
            throw Bm25Error("too many distinct terms");
        const auto id = static_cast<std::uint32_t>(term_start_.size() - 1);
        arena_.append(term);
        term_start_.push_back(static_cast<std::uint32_t>(arena_.size()));
        acc_.push_back(0);
        return id;
    };
    if (term.size() <= 7) {
        if (2 * (short_count_ + 1) > short_.size()) grow_short();
        const std::uint64_t key = pack(term);
        const std::size_t mask = short_.size() - 1;
        std::size_t s = slot_of(key, mask);
        while (short_[s].key) {
            if (short_[s].key == key) return short_[s].id;
            s = (s + 1) & mask;
        }
        const std::uint32_t id = add();
        short_[s] = {key, id};
        ++short_count_;
        return id;
    }
    auto it = long_ids_.find(term);
    if (it != long_ids_.end()) return it->second;
    const std::uint32_t id = add();
    long_ids_.emplace(std::string(term), id);
    return id;
}

void Bm25Builder::finish_entry() {
    for (std::uint32_t t : touched_) {
        if (acc_[t] > 0) {
            if (p_chunks_.empty() || p_chunks_.back().size() == (std::size_t{1} << kChunkBits)) {
                p_chunks_.emplace_back();
                p_chunks_.back().reserve(std::size_t{1} << kChunkBits);
            }
            p_chunks_.back().push_back({t, static_cast<float>(acc_[t])});
            ++n_post_;
        }
        acc_[t] = 0;
    }
    touched_.clear();
    p_end_.push_back(n_post_);
    doc_len_.push_back(cur_len_);
    cur_len_ = 0;
}

std::uint32_t Bm25Builder::begin_entry() {
    if (n_docs_ > 0) finish_entry();
    if (n_docs_ == UINT32_MAX) throw Bm25Error("too many entries");
    return n_docs_++;
}

void Bm25Builder::add_text(Field field, std::string_view s, bool normalized) {
    if (n_docs_ == 0) throw Bm25Error("add_text before begin_entry");
    if (field >= kFieldCount) throw Bm25Error("unknown field");
    std::string_view t = s;
    if (!normalized && !text::is_plainly_normalized(s)) {
        norm_.clear();
        text::append_normalized(norm_, s);
        t = norm_;
    }
    const double w = params_.weights[field];
    for_each_term(t, scratch_, [&](std::string_view term) {
        ++cur_len_;
        if (w <= 0) return;
        const std::uint32_t id = intern(term);
        if (acc_[id] == 0) touched_.push_back(id);
        acc_[id] += w;
    });
}

Bm25Index Bm25Builder::build(std::span<const std::uint32_t> copies) {
    if (n_docs_ > 0) finish_entry();
    const std::uint32_t n_docs = n_docs_;
    if (!copies.empty() && copies.size() != n_docs) throw Bm25Error("copies: one count per entry expected");
    // The statistics count each entry as many times as it stands for.
    auto copies_of = [&](std::uint32_t d) -> double { return copies.empty() ? 1.0 : static_cast<double>(copies[d]); };
    double n_counted = copies.empty() ? static_cast<double>(n_docs) : 0.0;
    for (const std::uint32_t c : copies) {
        if (c == 0) throw Bm25Error("copies: every entry stands for at least one");
        n_counted += c;
    }
    const std::size_t n_terms = term_start_.size() - 1;
    const std::uint64_t n_post = n_post_;
    if (n_post >= UINT32_MAX) throw Bm25Error("too many postings");

    // Terms in byte order; old id -> new id.
    std::vector<std::uint32_t> order(n_terms);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return term_text(a) < term_text(b); });
    std::vector<std::uint32_t> new_id(n_terms);
    for (std::uint32_t i = 0; i < n_terms; ++i) new_id[order[i]] = i;
    const std::uint64_t tbytes = arena_.size();
    if (tbytes > UINT32_MAX) throw Bm25Error("term text too large");

    // Postings grouped by new term id; entries were added in id order, so a
    // stable counting sort keeps every list ascending.
    std::vector<std::uint32_t> post_off(n_terms + 1, 0);
    for (const auto& chunk : p_chunks_)
        for (const Posting& p : chunk) ++post_off[new_id[p.term] + 1];
    for (std::size_t i = 0; i < n_terms; ++i) post_off[i + 1] += post_off[i];
    std::vector<std::uint32_t> pdocs(n_post);
    std::vector<float> ptf(n_post);
    {
        std::vector<std::uint32_t> fill(post_off.begin(), post_off.end() - 1);
        std::uint64_t i = 0;
        std::uint32_t d = 0;  // the entry of posting i: the first whose p_end_ is above i
        for (const auto& chunk : p_chunks_)
            for (const Posting& p : chunk) {
                while (p_end_[d] <= i) ++d;
                const std::uint32_t pos = fill[new_id[p.term]]++;
                pdocs[pos] = d;
                ptf[pos] = p.tf;
                ++i;
            }
    }
    decltype(p_chunks_)().swap(p_chunks_);
    std::vector<std::uint64_t>().swap(p_end_);
    // Distinct term frequencies (weighted counts: few values), found through
    // a table on their bits rather than by sorting every posting's; each
    // posting's index into them is looked up there too.
    TfTable tf_index;
    std::vector<float> tf_values;
    for (const float f : ptf)
        if (tf_index.insert(f)) tf_values.push_back(f);
    std::sort(tf_values.begin(), tf_values.end());
    tf_values.erase(std::unique(tf_values.begin(), tf_values.end()), tf_values.end());
    if (tf_values.size() >= UINT32_MAX) throw Bm25Error("too many distinct term frequencies");
    tf_index.number(tf_values);

    std::vector<float> norm(n_docs);
    double total_len = 0;
    for (std::uint32_t d = 0; d < n_docs; ++d) total_len += static_cast<double>(doc_len_[d]) * copies_of(d);
    const double avgdl = (n_docs && total_len > 0) ? total_len / n_counted : 1.0;
    for (std::uint32_t d = 0; d < n_docs; ++d)
        norm[d] = static_cast<float>(params_.k1 * (1 - params_.b + params_.b * static_cast<double>(doc_len_[d]) / avgdl));
    // Stored as an index into the distinct values when there are few (one
    // per distinct entry length): a search reads 1 or 2 bytes an entry, the
    // same floats as before.
    std::vector<float> norm_values(norm);
    std::sort(norm_values.begin(), norm_values.end());
    norm_values.erase(std::unique(norm_values.begin(), norm_values.end()), norm_values.end());
    const unsigned norm_bytes = norm_values.size() <= 256 ? 1 : norm_values.size() <= 65536 ? 2 : 4;
    if (norm_bytes == 4) norm_values.clear();

    // Blocks: skip entries and packed words.
    std::vector<float> idf(n_terms), maxs(n_terms);
    std::vector<std::uint32_t> term_blocks(n_terms + 1, 0);
    std::vector<Bm25View::Skip> skips;
    std::vector<std::uint32_t> words;
    auto up = [](double x) {  // rounded up so the float bound never falls below the double score
        float f = static_cast<float>(x);
        if (static_cast<double>(f) < x) f = std::nextafter(f, INFINITY);
        return f;
    };
    for (std::uint32_t t = 0; t < n_terms; ++t) {
        term_blocks[t] = static_cast<std::uint32_t>(skips.size());
        const std::uint32_t lo = post_off[t], hi = post_off[t + 1];
        double df = hi - lo;
        if (!copies.empty()) {
            df = 0;
            for (std::uint32_t i = lo; i < hi; ++i) df += copies[pdocs[i]];
        }
        idf[t] = static_cast<float>(std::log(1 + (n_counted - df + 0.5) / (df + 0.5)));
        double best = 0;
        std::int64_t prev = -1;
        for (std::uint32_t at = lo; at < hi; at += kBlockSize) {
            const std::uint32_t n = std::min<std::uint32_t>(kBlockSize, hi - at);
            Bm25View::Skip s{};
            s.count = static_cast<std::uint16_t>(n);
            std::uint32_t max_gap = 0;
            double block_best = 0;
            float max_tf = 0;
            std::int64_t p = prev;
            for (std::uint32_t i = at; i < at + n; ++i) {
                max_gap = std::max(max_gap, static_cast<std::uint32_t>(pdocs[i] - p - 1));
                p = pdocs[i];
                block_best = std::max(block_best, contribution(idf[t], ptf[i], params_.k1, norm[pdocs[i]]));
                max_tf = std::max(max_tf, ptf[i]);
            }
            s.doc_bits = static_cast<std::uint8_t>(bits_for(max_gap));
            // Frequencies as indexes into the ascending table: as wide as the
            // block's largest needs (most blocks hold no title hit).
            s.tf_bits = static_cast<std::uint8_t>(bits_for(tf_index.index_of(max_tf)));
            s.last_doc = pdocs[at + n - 1];
            s.max_score = up(block_best);
            s.max_tf = max_tf;
            best = std::max(best, block_best);
            const std::uint64_t len = block_words(n, s.doc_bits, s.tf_bits);
            if (words.size() + len >= UINT32_MAX) throw Bm25Error("index too large");
            s.word_off = static_cast<std::uint32_t>(words.size());
            words.resize(words.size() + len + 1, 0);  // + 1: unpack reads one word past a run
            std::uint32_t* w = words.data() + s.word_off;
            std::uint32_t* tw = w + (std::uint64_t{n} * s.doc_bits + 31) / 32;
            for (std::uint32_t i = 0; i < n; ++i) {
                pack(w, i, s.doc_bits, static_cast<std::uint32_t>(pdocs[at + i] - prev - 1));
                prev = pdocs[at + i];
                pack(tw, i, s.tf_bits, tf_index.index_of(ptf[at + i]));
            }
            words.pop_back();  // the next block starts there; the last one keeps it (below)
            s.check = block_check(w, len, s);
            skips.push_back(s);
        }
        maxs[t] = up(best);
    }
    if (skips.size() >= UINT32_MAX) throw Bm25Error("too many postings");
    term_blocks[n_terms] = static_cast<std::uint32_t>(skips.size());
    words.push_back(0);  // the spare word

    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.endian = kEndianMark;
    h.n_docs = n_docs;
    h.n_terms = static_cast<std::uint32_t>(n_terms);
    h.n_postings = n_post;
    h.term_bytes = tbytes;
    h.k1 = params_.k1;
    h.b = params_.b;
    std::copy(params_.weights.begin(), params_.weights.end(), h.weights);
    h.n_blocks = static_cast<std::uint32_t>(skips.size());
    h.n_tf = static_cast<std::uint32_t>(tf_values.size());
    h.n_words = words.size();
    h.n_norms = static_cast<std::uint32_t>(norm_values.size());
    h.norm_bytes = norm_bytes;
    Layout L;
    if (!L.compute(h)) throw Bm25Error("index too large");
    Bm25Index ix;
    ix.storage_.assign(L.total / 8, 0);
    ix.size_ = L.total;
    char* base = reinterpret_cast<char*>(ix.storage_.data());
    std::memcpy(base, &h, sizeof h);
    auto put = [&](std::uint64_t at, const void* p, std::size_t n) {
        if (n) std::memcpy(base + at, p, n);
    };
    {
        auto* term_off = reinterpret_cast<std::uint32_t*>(base + L.term_offsets);
        char* tb = base + L.term_bytes;
        std::uint64_t at = 0;
        for (std::uint32_t i = 0; i < n_terms; ++i) {
            term_off[i] = static_cast<std::uint32_t>(at);
            const std::string_view t = term_text(order[i]);
            std::memcpy(tb + at, t.data(), t.size());
            at += t.size();
        }
        term_off[n_terms] = static_cast<std::uint32_t>(at);
    }
    put(L.idf, idf.data(), 4 * n_terms);
    put(L.max_score, maxs.data(), 4 * n_terms);
    put(L.term_blocks, term_blocks.data(), 4 * (n_terms + 1));
    put(L.skips, skips.data(), sizeof(Bm25View::Skip) * skips.size());
    put(L.tf_values, tf_values.data(), 4 * tf_values.size());
    put(L.words, words.data(), 4 * words.size());
    put(L.norm_values, norm_values.data(), 4 * norm_values.size());
    if (norm_bytes == 4) {
        put(L.doc_norm, norm.data(), 4 * std::size_t{n_docs});
    } else {
        auto slot = [&](float f) {
            return static_cast<std::uint32_t>(std::lower_bound(norm_values.begin(), norm_values.end(), f) - norm_values.begin());
        };
        for (std::uint32_t d = 0; d < n_docs; ++d) {
            const std::uint32_t k = slot(norm[d]);
            if (norm_bytes == 1) reinterpret_cast<std::uint8_t*>(base + L.doc_norm)[d] = static_cast<std::uint8_t>(k);
            else reinterpret_cast<std::uint16_t*>(base + L.doc_norm)[d] = static_cast<std::uint16_t>(k);
        }
    }

    ix.view_ = Bm25View::open(ix.bytes());
    // The builder is left empty.
    *this = Bm25Builder(params_);
    return ix;
}

}  // namespace corvane::search
