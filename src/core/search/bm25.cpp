// Image layout (native byte order, every array starting at a multiple of 8
// bytes from the image start):
//
//   header   magic "CVBM25\0\0", u32 version, u32 endian mark 0x01020304,
//            u32 n_docs, u32 n_terms, u64 n_postings, u64 term_bytes,
//            f64 k1, f64 b, f64 weights[7]
//   u32 term_offsets[n_terms + 1]     into term_bytes; term i is [off[i], off[i+1])
//   char term_bytes[term_bytes]       terms sorted bytewise, strictly ascending
//   f32 idf[n_terms]
//   f32 max_score[n_terms]            best contribution of the term to any entry
//   u32 post_offsets[n_terms + 1]     into the postings
//   u32 post_docs[n_postings]         strictly ascending within a term
//   f32 post_tf[n_postings]           weighted term frequency, > 0
//   f32 doc_norm[n_docs]              k1 * (1 - b + b * dl / avgdl), >= 0 (0 only for an entry without terms when b = 1)
#include "core/search/bm25.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <queue>

#include "core/text/text.hpp"

namespace corvane::search {

namespace {

constexpr char kMagic[8] = {'C', 'V', 'B', 'M', '2', '5', '\0', '\0'};
constexpr std::uint32_t kVersion = 1;
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
};
static_assert(sizeof(Header) % 8 == 0);

constexpr std::uint64_t pad8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// Offsets of the arrays for given counts; false when they overflow.
struct Layout {
    std::uint64_t term_offsets, term_bytes, idf, max_score, post_offsets, post_docs, post_tf, doc_norm, total;
    bool compute(std::uint64_t n_docs, std::uint64_t n_terms, std::uint64_t n_postings, std::uint64_t tbytes) {
        // Counts are bounded by the image size first, so nothing below overflows.
        constexpr std::uint64_t kLimit = std::uint64_t{1} << 40;
        if (n_docs > kLimit || n_terms > kLimit || n_postings > kLimit || tbytes > kLimit) return false;
        std::uint64_t at = sizeof(Header);
        auto take = [&](std::uint64_t bytes) {
            const std::uint64_t start = at;
            at = pad8(at + bytes);
            return start;
        };
        term_offsets = take(4 * (n_terms + 1));
        term_bytes = take(tbytes);
        idf = take(4 * n_terms);
        max_score = take(4 * n_terms);
        post_offsets = take(4 * (n_terms + 1));
        post_docs = take(4 * n_postings);
        post_tf = take(4 * n_postings);
        doc_norm = take(4 * n_docs);
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

Bm25View Bm25View::from_bytes(std::span<const std::byte> bytes) { return open(bytes, true); }

Bm25View Bm25View::open(std::span<const std::byte> bytes, bool check_contents) {
    auto fail = [](const std::string& what) -> Bm25View { throw Bm25Error("invalid BM25 section: " + what); };
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % 8 != 0) return fail("not aligned to 8 bytes");
    if (bytes.size() < sizeof(Header)) return fail("shorter than its header");
    Header h;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return fail("wrong magic");
    if (h.endian != kEndianMark) return fail("written with another byte order");
    if (h.version != kVersion) return fail("version " + std::to_string(h.version) + " (this build reads 1)");
    Layout L;
    if (!L.compute(h.n_docs, h.n_terms, h.n_postings, h.term_bytes) || L.total != bytes.size())
        return fail("size does not match its counts");
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
    v.n_postings_ = h.n_postings;
    v.k1_ = h.k1;
    v.b_ = h.b;
    v.weights_ = p.weights;
    v.term_offsets_ = reinterpret_cast<const std::uint32_t*>(base + L.term_offsets);
    v.term_bytes_ = base + L.term_bytes;
    v.idf_ = reinterpret_cast<const float*>(base + L.idf);
    v.max_score_ = reinterpret_cast<const float*>(base + L.max_score);
    v.post_offsets_ = reinterpret_cast<const std::uint32_t*>(base + L.post_offsets);
    v.post_docs_ = reinterpret_cast<const std::uint32_t*>(base + L.post_docs);
    v.post_tf_ = reinterpret_cast<const float*>(base + L.post_tf);
    v.doc_norm_ = reinterpret_cast<const float*>(base + L.doc_norm);

    if (!check_contents) return v;
    const std::uint32_t nt = h.n_terms;
    if (v.term_offsets_[0] != 0 || v.term_offsets_[nt] != h.term_bytes) return fail("term offsets out of range");
    if (v.post_offsets_[0] != 0 || v.post_offsets_[nt] != h.n_postings) return fail("posting offsets out of range");
    for (std::uint32_t d = 0; d < h.n_docs; ++d)
        if (!(std::isfinite(v.doc_norm_[d]) && v.doc_norm_[d] >= 0)) return fail("entry length of entry " + std::to_string(d));
    for (std::uint32_t t = 0; t < nt; ++t)
        if (v.term_offsets_[t + 1] <= v.term_offsets_[t]) return fail("term " + std::to_string(t) + " is empty or out of order");
    for (std::uint32_t t = 0; t < nt; ++t) {
        if (t && !(v.term(t - 1) < v.term(t))) return fail("terms not sorted at term " + std::to_string(t));
        if (!(std::isfinite(v.idf_[t]) && v.idf_[t] >= 0)) return fail("idf of term " + std::to_string(t));
        if (!(std::isfinite(v.max_score_[t]) && v.max_score_[t] >= 0)) return fail("bound of term " + std::to_string(t));
        const std::uint32_t lo = v.post_offsets_[t], hi = v.post_offsets_[t + 1];
        if (hi <= lo || hi > h.n_postings) return fail("postings of term " + std::to_string(t));
        double best = 0;
        for (std::uint32_t i = lo; i < hi; ++i) {
            const std::uint32_t d = v.post_docs_[i];
            if (d >= h.n_docs || (i > lo && d <= v.post_docs_[i - 1]))
                return fail("entry ids of term " + std::to_string(t));
            const float tf = v.post_tf_[i];
            if (!(std::isfinite(tf) && tf > 0)) return fail("term frequency in term " + std::to_string(t));
            best = std::max(best, contribution(v.idf_[t], tf, v.k1_, v.doc_norm_[d]));
        }
        // The walk skips entries by these bounds: a low one would lose results.
        if (best > static_cast<double>(v.max_score_[t]) * (1 + 1e-6) + 1e-12)
            return fail("bound of term " + std::to_string(t) + " below its best score");
    }
    return v;
}

std::int64_t Bm25View::find(std::string_view t) const {
    std::uint32_t lo = 0, hi = n_terms_;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const std::string_view m = term(mid);
        if (m < t) lo = mid + 1;
        else if (t < m) hi = mid;
        else return mid;
    }
    return -1;
}

struct Bm25View::Cursor {
    const std::uint32_t* docs;
    const float* tf;
    std::uint32_t pos, len;
    double idf, bound;
    std::uint32_t doc() const { return pos < len ? docs[pos] : UINT32_MAX; }
    // First position at or after pos whose entry is >= d (galloping search).
    void seek(std::uint32_t d) {
        if (pos >= len || docs[pos] >= d) return;
        std::uint32_t step = 1, lo = pos, hi = pos + 1;
        while (hi < len && docs[hi] < d) {
            lo = hi;
            step *= 2;
            hi = std::min(len, hi + step);
        }
        pos = static_cast<std::uint32_t>(std::lower_bound(docs + lo, docs + hi, d) - docs);
    }
};

double Bm25View::score(const std::vector<std::string>& terms, std::uint32_t entry) const {
    if (entry >= n_docs_) return 0;
    double s = 0;
    for (const std::string& t : terms) {
        const std::int64_t id = find(t);
        if (id < 0) continue;
        const std::uint32_t lo = post_offsets_[id], hi = post_offsets_[id + 1];
        const std::uint32_t* at = std::lower_bound(post_docs_ + lo, post_docs_ + hi, entry);
        if (at != post_docs_ + hi && *at == entry)
            s += contribution(idf_[id], post_tf_[at - post_docs_], k1_, doc_norm_[entry]);
    }
    return s;
}

std::vector<Hit> Bm25View::search_terms(const std::vector<std::string>& terms, std::size_t top_k) const {
    std::vector<Hit> out;
    if (top_k == 0 || n_docs_ == 0) return out;
    std::vector<Cursor> cs;
    for (const std::string& t : terms) {
        const std::int64_t id = find(t);
        if (id < 0) continue;
        const std::uint32_t lo = post_offsets_[id], hi = post_offsets_[id + 1];
        cs.push_back({post_docs_ + lo, post_tf_ + lo, 0, hi - lo, idf_[id], max_score_[id]});
    }
    if (cs.empty()) return out;
    // MaxScore: cursors by ascending bound; the leading ones whose bounds sum
    // to no more than the current k-th score cannot lift an entry into the
    // top k on their own, so entries are only taken from the others
    // ("essential") and the leading ones are just probed.
    std::sort(cs.begin(), cs.end(), [](const Cursor& a, const Cursor& b) { return a.bound < b.bound; });
    const std::size_t m = cs.size();
    std::vector<double> prefix(m);  // bounds of cursors 0..i, with a little room for rounding
    double acc = 0;
    for (std::size_t i = 0; i < m; ++i) {
        acc += cs[i].bound;
        prefix[i] = acc * (1 + 1e-9) + 1e-12;
    }
    // Min-heap of the best so far: the worst (lowest score, then highest id) on top.
    auto worse = [](const Hit& a, const Hit& b) { return a.second > b.second || (a.second == b.second && a.first < b.first); };
    std::vector<Hit> heap;
    heap.reserve(std::min<std::size_t>(top_k, n_docs_) + 1);
    double theta = 0;  // an entry must score above this to enter (0 until the heap is full)
    std::size_t first = 0;  // first essential cursor
    const double k1 = k1_;
    while (first < m) {
        std::uint32_t d = UINT32_MAX;
        for (std::size_t i = first; i < m; ++i) d = std::min(d, cs[i].doc());
        if (d == UINT32_MAX) break;
        const double norm = doc_norm_[d];
        double s = 0;
        for (std::size_t i = first; i < m; ++i) {
            Cursor& c = cs[i];
            if (c.doc() == d) {
                s += contribution(c.idf, c.tf[c.pos], k1, norm);
                ++c.pos;
            }
        }
        for (std::size_t i = first; i-- > 0;) {
            if (heap.size() >= top_k && s + prefix[i] <= theta) break;
            Cursor& c = cs[i];
            c.seek(d);
            if (c.doc() == d) s += contribution(c.idf, c.tf[c.pos], k1, norm);
        }
        if (s <= 0) continue;
        if (heap.size() < top_k) {
            heap.push_back({d, s});
            std::push_heap(heap.begin(), heap.end(), worse);
        } else if (s > theta) {
            std::pop_heap(heap.begin(), heap.end(), worse);
            heap.back() = {d, s};
            std::push_heap(heap.begin(), heap.end(), worse);
        } else {
            continue;
        }
        if (heap.size() >= top_k) {
            theta = heap.front().second;
            while (first < m && prefix[first] <= theta) ++first;
        }
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
    std::uint64_t k = 0;
    std::memcpy(&k, t.data(), t.size());
    return k | (static_cast<std::uint64_t>(t.size()) << 56);
}
inline std::size_t slot_of(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 29) & mask;
}
}  // namespace

void Bm25Builder::grow_short() {
    const std::size_t cap = short_keys_.empty() ? 1024 : 2 * short_keys_.size();
    std::vector<std::uint64_t> keys(cap, 0);
    std::vector<std::uint32_t> ids(cap, 0);
    for (std::size_t i = 0; i < short_keys_.size(); ++i) {
        if (!short_keys_[i]) continue;
        std::size_t s = slot_of(short_keys_[i], cap - 1);
        while (keys[s]) s = (s + 1) & (cap - 1);
        keys[s] = short_keys_[i];
        ids[s] = short_ids_[i];
    }
    short_keys_.swap(keys);
    short_ids_.swap(ids);
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
        if (2 * (short_count_ + 1) > short_keys_.size()) grow_short();
        const std::uint64_t key = pack(term);
        const std::size_t mask = short_keys_.size() - 1;
        std::size_t s = slot_of(key, mask);
        while (short_keys_[s]) {
            if (short_keys_[s] == key) return short_ids_[s];
            s = (s + 1) & mask;
        }
        const std::uint32_t id = add();
        short_keys_[s] = key;
        short_ids_[s] = id;
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
            p_term_.push_back(t);
            p_doc_.push_back(n_docs_ - 1);
            p_tf_.push_back(static_cast<float>(acc_[t]));
        }
        acc_[t] = 0;
    }
    touched_.clear();
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

Bm25Index Bm25Builder::build() {
    if (n_docs_ > 0) finish_entry();
    const std::uint32_t n_docs = n_docs_;
    const std::size_t n_terms = term_start_.size() - 1;
    const std::uint64_t n_post = p_term_.size();
    if (n_post >= UINT32_MAX) throw Bm25Error("too many postings");

    // Terms in byte order; old id -> new id.
    std::vector<std::uint32_t> order(n_terms);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return term_text(a) < term_text(b); });
    std::vector<std::uint32_t> new_id(n_terms);
    for (std::uint32_t i = 0; i < n_terms; ++i) new_id[order[i]] = i;
    const std::uint64_t tbytes = arena_.size();

    Layout L;
    if (!L.compute(n_docs, n_terms, n_post, tbytes)) throw Bm25Error("index too large");
    Bm25Index ix;
    ix.storage_.assign(L.total / 8, 0);
    ix.size_ = L.total;
    char* base = reinterpret_cast<char*>(ix.storage_.data());
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
    std::memcpy(base, &h, sizeof h);

    auto* term_off = reinterpret_cast<std::uint32_t*>(base + L.term_offsets);
    char* tb = base + L.term_bytes;
    auto* idf = reinterpret_cast<float*>(base + L.idf);
    auto* maxs = reinterpret_cast<float*>(base + L.max_score);
    auto* post_off = reinterpret_cast<std::uint32_t*>(base + L.post_offsets);
    auto* pdocs = reinterpret_cast<std::uint32_t*>(base + L.post_docs);
    auto* ptf = reinterpret_cast<float*>(base + L.post_tf);
    auto* norm = reinterpret_cast<float*>(base + L.doc_norm);

    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < n_terms; ++i) {
        term_off[i] = static_cast<std::uint32_t>(at);
        const std::string_view t = term_text(order[i]);
        std::memcpy(tb + at, t.data(), t.size());
        at += t.size();
    }
    if (at > UINT32_MAX) throw Bm25Error("term text too large");
    term_off[n_terms] = static_cast<std::uint32_t>(at);

    // Postings grouped by new term id; entries were added in id order, so a
    // stable counting sort keeps every list ascending.
    std::vector<std::uint32_t> count(n_terms + 1, 0);
    for (std::uint32_t t : p_term_) ++count[new_id[t] + 1];
    for (std::size_t i = 0; i < n_terms; ++i) count[i + 1] += count[i];
    std::copy(count.begin(), count.end(), post_off);
    std::vector<std::uint32_t> fill(count.begin(), count.end() - 1);
    for (std::uint64_t i = 0; i < n_post; ++i) {
        const std::uint32_t t = new_id[p_term_[i]];
        const std::uint32_t pos = fill[t]++;
        pdocs[pos] = p_doc_[i];
        ptf[pos] = p_tf_[i];
    }

    double total_len = 0;
    for (auto l : doc_len_) total_len += static_cast<double>(l);
    const double avgdl = (n_docs && total_len > 0) ? total_len / n_docs : 1.0;
    for (std::uint32_t d = 0; d < n_docs; ++d)
        norm[d] = static_cast<float>(params_.k1 * (1 - params_.b + params_.b * static_cast<double>(doc_len_[d]) / avgdl));
    for (std::uint32_t t = 0; t < n_terms; ++t) {
        const double df = post_off[t + 1] - post_off[t];
        idf[t] = static_cast<float>(std::log(1 + (n_docs - df + 0.5) / (df + 0.5)));
        double best = 0;
        for (std::uint32_t i = post_off[t]; i < post_off[t + 1]; ++i)
            best = std::max(best, contribution(idf[t], ptf[i], params_.k1, norm[pdocs[i]]));
        // Rounded up so the float bound never falls below the double score.
        float fb = static_cast<float>(best);
        if (static_cast<double>(fb) < best) fb = std::nextafter(fb, INFINITY);
        maxs[t] = fb;
    }

    ix.view_ = Bm25View::open(ix.bytes(), false);  // built here: its contents are right by construction
    // The builder is left empty.
    *this = Bm25Builder(params_);
    return ix;
}

}  // namespace corvane::search
