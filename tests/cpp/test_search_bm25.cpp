// search/bm25: the BM25 section as another file embeds it -- appended after
// other bytes, opened in place from the file's buffer, refused when misaligned
// or cut short.  (The ranking itself is checked against a plain Python BM25 in
// tests/test_hybrid.py.)
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/search/bm25.hpp"

using namespace corvane::search;

namespace {

template <class Fn>
bool throws(Fn&& fn) {
    try {
        fn();
    } catch (const Bm25Error&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE("BM25 section embedded after other bytes") {
    Bm25Builder b;
    const char* texts[] = {"更换轮胎的步骤", "胎压检查", "ACC 自适应巡航"};
    for (const char* t : texts) {
        b.begin_entry();
        b.add_text(kDescription, t);
    }
    const Bm25Index idx = b.build();
    const auto direct = idx.view().search("轮胎胎压", 3);
    REQUIRE(!direct.empty());
    CHECK(direct.front().first == 1);  // 胎压检查 first

    // Appended after a 13-byte prefix: padded to a multiple of 8.
    std::string file = "other section";
    const std::size_t at = idx.append_sections(file);
    CHECK(at % 8 == 0);
    CHECK(at >= 13);
    CHECK(file.size() == at + idx.bytes().size());
    std::vector<std::uint64_t> file_words(file.size() / 8 + 1);  // 8-byte aligned storage for the "file"
    std::memcpy(file_words.data(), file.data(), file.size());
    const auto* base = reinterpret_cast<const std::byte*>(file_words.data());
    const Bm25View v = Bm25View::from_bytes({base + at, idx.bytes().size()});
    CHECK(v.size() == 3);
    CHECK(v.search("轮胎胎压", 3) == direct);

    CHECK(throws([&] { Bm25View::from_bytes({base + at + 4, idx.bytes().size() - 4}); }));  // misaligned
    CHECK(throws([&] { Bm25View::from_bytes({base + at, idx.bytes().size() - 8}); }));      // cut short
    CHECK(throws([&] { Bm25View::from_bytes({base, 8}); }));                                // no header
    CHECK(throws([] { Bm25Builder(Bm25Params{.k1 = -1}); }));                               // bad k1
}

namespace {

// A corpus of random bigram texts over a small alphabet: common terms with
// many blocks, rare ones with one.
Bm25Index random_index(std::uint32_t seed, std::uint32_t docs) {
    const char* chars[] = {"轮", "胎", "压", "门", "锁", "灯", "刹", "车", "油", "水"};
    std::uint32_t x = seed * 2654435761u + 1;
    auto rnd = [&](std::uint32_t n) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        return x % n;
    };
    Bm25Builder b;
    for (std::uint32_t d = 0; d < docs; ++d) {
        b.begin_entry();
        std::string t;
        const std::uint32_t len = 1 + rnd(d % 7 == 0 ? 40 : 6);
        for (std::uint32_t i = 0; i < len; ++i) t += chars[rnd(d % 3 == 0 ? 4 : 10)];
        b.add_text(static_cast<Field>(rnd(kFieldCount)), t);
    }
    return b.build();
}

// The plain definition: every entry scored, boosts added to matching ones,
// filtered, sorted.
std::vector<Hit> brute(const Bm25View& v, const std::vector<std::pair<std::string, double>>& terms, std::size_t k,
                       const DocFilter* allowed, const std::vector<Boost>& boosts) {
    std::vector<Hit> all;
    for (std::uint32_t d = 0; d < v.size(); ++d) {
        double s = 0;
        bool matched = false;
        for (const auto& [t, w] : terms) {
            const double c = v.score({t}, d);
            if (c > 0 && w > 0) matched = true;
            s += w * c;
        }
        if (!matched || (allowed && !allowed->allows(d))) continue;
        for (const Boost& bo : boosts)
            if (bo.doc == d) s += bo.extra;
        if (s > 0) all.push_back({d, s});
    }
    std::sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) {
        return a.second > b.second || (a.second == b.second && a.first < b.first);
    });
    if (all.size() > k) all.resize(k);
    return all;
}

}  // namespace

TEST_CASE("top_k over blocks equals scoring every entry (weights, filter, boosts)") {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        const std::uint32_t n = seed % 2 ? 2500 : 6000;
        const Bm25Index idx = random_index(seed, n);
        const Bm25View& v = idx.view();
        REQUIRE(v.block_count() > v.term_count());  // some terms span several blocks
        std::vector<std::uint64_t> bits((n + 63) / 64);
        for (std::uint32_t d = 0; d < n; ++d)
            if ((d * 7 + seed) % 5 != 0) bits[d / 64] |= std::uint64_t{1} << (d % 64);
        const DocFilter filter{bits};
        const std::vector<std::vector<std::pair<std::string, double>>> queries = {
            {{"轮胎", 1}, {"胎压", 1}},
            {{"轮胎", 1}, {"门锁", 2.5}, {"刹车", 0.25}, {"油水", 1}},
            {{"轮", 1}, {"轮胎", 0}, {"胎轮", 3}},
            // A rare term leading common ones: entries only the lead holds.
            {{"水", 1}, {"灯刹", 1.5}, {"轮", 1}, {"胎", 0.5}, {"压门", 1}},
            {{"不在", 1}},
        };
        std::vector<Boost> boosts;
        for (std::uint32_t d = seed; d < n; d += 37) boosts.push_back({d, (d % 3) * 0.7 - 0.2});
        for (const auto& q : queries) {
            std::vector<QueryTerm> qt;
            for (const auto& [t, w] : q) qt.push_back({t, w});
            for (std::size_t k : {1, 3, 10, 200}) {
                for (int mode = 0; mode < 4; ++mode) {
                    const DocFilter* f = (mode & 1) ? &filter : nullptr;
                    const std::vector<Boost> bo = (mode & 2) ? boosts : std::vector<Boost>{};
                    const auto got = v.top_k(qt, k, f, bo);
                    const auto want = brute(v, q, k, f, bo);
                    REQUIRE(got.size() == want.size());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        CHECK(got[i].first == want[i].first);
                        CHECK(got[i].second == doctest::Approx(want[i].second).epsilon(1e-9));
                    }
                }
            }
        }
    }
}

TEST_CASE("a damaged block is found when a search decodes it, never read out of bounds") {
    const Bm25Index idx = random_index(3, 2000);
    const std::span<const std::byte> good = idx.bytes();
    const auto base_hits = idx.view().search("轮胎胎压门锁", 5);
    REQUIRE(!base_hits.empty());
    std::vector<std::uint64_t> words(good.size() / 8);
    std::size_t found = 0, harmless = 0;
    // Every 97th byte of the image flipped in turn (the header refuses at
    // open, the rest when read); the search either throws Bm25Error or
    // answers within range.
    for (std::size_t at = 0; at < good.size(); at += 97) {
        std::memcpy(words.data(), good.data(), good.size());
        reinterpret_cast<unsigned char*>(words.data())[at] ^= 0x5a;
        const std::span<const std::byte> bad(reinterpret_cast<const std::byte*>(words.data()), good.size());
        try {
            const Bm25View v = Bm25View::open(bad);
            for (const char* q : {"轮胎胎压门锁", "刹车油水", "灯"})
                for (const Hit& h : v.search(q, 5)) CHECK(h.first < v.size());
            ++harmless;
        } catch (const Bm25Error&) {
            ++found;
        }
        // The whole check refuses every change it can see; a block's bytes
        // always are.
        bool whole_ok = true;
        try {
            Bm25View::from_bytes(bad);
        } catch (const Bm25Error&) {
            whole_ok = false;
        }
        (void)whole_ok;
    }
    CHECK(found > 0);
    CHECK(harmless > 0);
    // The image as built passes the whole check, and its blocks are
    // checked once: the second search reads the same bits without the hash.
    CHECK_NOTHROW(Bm25View::from_bytes(good));
}

TEST_CASE("Bm25Scorer gives score()'s values to the last bit, and reads damaged blocks within bounds") {
    const Bm25Index idx = random_index(5, 6000);
    const Bm25View& v = idx.view();
    const std::vector<std::string> terms = {"轮胎", "胎压", "门锁", "不在", "轮胎", "刹车"};
    // First pass: blocks not yet checked (decoded whole); second: checked
    // blocks, read up to the entry only.
    for (int pass = 0; pass < 2; ++pass) {
        const Bm25Scorer scorer(v, terms);
        for (std::uint32_t d = 0; d < v.size() + 3; d += (pass ? 1 : 7)) {
            const double want = v.score(terms, d);
            CHECK(scorer(d) == want);
            CHECK(scorer(d) == want);  // kept
        }
        for (const Hit& h : v.search_terms(terms, 50)) CHECK(Bm25Scorer(v, terms)(h.first) > 0);
    }
    // Scored together first (repeats, out-of-range and unsorted entries in
    // the list), on a view whose blocks are not checked yet: the same bits.
    {
        const Bm25View fresh = Bm25View::open(idx.bytes());
        const Bm25Scorer together(fresh, terms);
        std::vector<std::uint32_t> ids;
        for (std::uint32_t d = v.size() + 2; d-- > 0;) ids.push_back(d % 3 == 0 ? d : (d * 7919u) % (v.size() + 2));
        together.prefill(ids);
        for (std::uint32_t d = 0; d < v.size() + 3; ++d) CHECK(together(d) == v.score(terms, d));
    }
    const std::span<const std::byte> good = idx.bytes();
    std::vector<std::uint64_t> words(good.size() / 8);
    std::size_t found = 0;
    for (std::size_t at = good.size() / 2; at < good.size(); at += 61) {
        std::memcpy(words.data(), good.data(), good.size());
        reinterpret_cast<unsigned char*>(words.data())[at] ^= 0x33;
        const std::span<const std::byte> bad(reinterpret_cast<const std::byte*>(words.data()), good.size());
        try {
            const Bm25View bv = Bm25View::open(bad);
            const Bm25Scorer scorer(bv, terms);
            for (std::uint32_t d = 0; d < bv.size(); d += 13) {
                const double x = scorer(d);  // throws Bm25Corrupt on a damaged block
                CHECK(std::isfinite(x));
            }
        } catch (const Bm25Error&) {
            ++found;
        }
    }
    CHECK(found > 0);
}

namespace {

// The terms as they are defined: words whole, han runs as bigrams (a run of
// one character as itself), every term spelt in UTF-8 from its code points.
std::vector<std::string> reference_terms(std::string_view s) {
    std::vector<std::string> out;
    std::string word;
    std::vector<char32_t> han;
    auto flush = [&] {
        if (!word.empty()) out.push_back(word);
        word.clear();
        for (std::size_t i = 0; i + 1 < han.size(); ++i) {
            std::string t;
            corvane::uni::append_utf8(t, han[i]);
            corvane::uni::append_utf8(t, han[i + 1]);
            out.push_back(t);
        }
        if (han.size() == 1) {
            std::string t;
            corvane::uni::append_utf8(t, han[0]);
            out.push_back(t);
        }
        han.clear();
    };
    for (std::size_t i = 0; i < s.size();) {
        char32_t c = corvane::uni::next(s, i);
        const auto k = detail::char_kind(c);
        if (k != detail::kHan && !han.empty()) flush();
        if (k != detail::kWord && !word.empty()) flush();
        if (k == detail::kWord) corvane::uni::append_utf8(word, c);
        if (k == detail::kHan) han.push_back(c);
    }
    flush();
    return out;
}

}  // namespace

TEST_CASE("terms: bigrams taken from the text's bytes only where those are the characters' UTF-8") {
    // "\xf0\x88\xbd\xa6" is an overlong (4-byte) form of 车, "\xe8\xbd" a cut one.
    for (std::string_view s : {"车门解锁", "车", "车 门", "Model3车门ＡＢ１解锁", "胎压\xf0\x88\xbd\xa6门", "\xf0\x88\xbd\xa6",
                               "门\xe8\xbd锁", "ab\xf0\x88\xbd\xa6cd", "𠀀𠀁车", "", "。，"}) {
        std::vector<std::string> got;
        std::string scratch;
        for_each_term(s, scratch, [&](std::string_view t) { got.emplace_back(t); });
        INFO(s);
        CHECK(got == reference_terms(s));
    }
}

namespace {

// The same image as version 2 wrote it: a header without the norm table's
// two counts, every entry's length norm as an f32.
std::vector<std::uint64_t> as_version_2(std::span<const std::byte> v3) {
    auto u32 = [&](std::size_t at) {
        std::uint32_t x;
        std::memcpy(&x, v3.data() + at, 4);
        return x;
    };
    auto u64 = [&](std::size_t at) {
        std::uint64_t x;
        std::memcpy(&x, v3.data() + at, 8);
        return x;
    };
    auto pad8 = [](std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; };
    const std::uint64_t n_docs = u32(16), n_terms = u32(20), term_bytes = u64(32), n_blocks = u32(112),
                        n_tf = u32(116), n_words = u64(120), n_norms = u32(128), norm_bytes = u32(132);
    constexpr std::size_t kV3Header = 136, kV2Header = 128;
    const std::uint64_t arrays = pad8(4 * (n_terms + 1)) + pad8(term_bytes) + 2 * pad8(4 * n_terms) +
                                 pad8(4 * (n_terms + 1)) + 24 * n_blocks + pad8(4 * n_tf) + pad8(4 * n_words);
    const std::byte* values = v3.data() + kV3Header + arrays;
    const std::byte* slots = values + pad8(4 * n_norms);
    REQUIRE(kV3Header + arrays + pad8(4 * n_norms) + pad8(norm_bytes * n_docs) == v3.size());
    std::string out(reinterpret_cast<const char*>(v3.data()), kV2Header);
    const std::uint32_t two = 2;
    std::memcpy(out.data() + 8, &two, 4);
    out.append(reinterpret_cast<const char*>(v3.data()) + kV3Header, arrays);
    for (std::uint64_t d = 0; d < n_docs; ++d) {
        float f;
        if (norm_bytes == 4) {
            std::memcpy(&f, slots + 4 * d, 4);
        } else {
            std::uint32_t k = 0;
            std::memcpy(&k, slots + norm_bytes * d, norm_bytes);
            std::memcpy(&f, values + 4 * std::uint64_t{k}, 4);
        }
        out.append(reinterpret_cast<const char*>(&f), 4);
    }
    out.resize(pad8(out.size()));
    std::vector<std::uint64_t> words(out.size() / 8);
    std::memcpy(words.data(), out.data(), out.size());
    return words;
}

}  // namespace

TEST_CASE("length norms take one or two bytes an entry; a version 2 image (f32 norms) ranks the same to the last bit") {
    // Lengths of a few values (one byte), and of hundreds (two).
    Bm25Builder wide;
    const char* chars[] = {"轮", "胎", "压", "门", "锁", "灯"};
    for (std::uint32_t d = 0; d < 700; ++d) {
        wide.begin_entry();
        std::string t;
        for (std::uint32_t i = 0; i <= d; ++i) t += chars[(i * 7 + d) % 6];
        wide.add_text(kDescription, t);
    }
    const Bm25Index few = random_index(4, 3000), many = wide.build();
    CHECK(few.view().norm_bytes() == 1);
    CHECK(many.view().norm_bytes() == 2);
    for (const Bm25Index* idx : {&few, &many}) {
        const std::vector<std::uint64_t> old_words = as_version_2(idx->bytes());
        const std::span<const std::byte> old_bytes(reinterpret_cast<const std::byte*>(old_words.data()), old_words.size() * 8);
        const Bm25View old_view = Bm25View::from_bytes(old_bytes);
        CHECK(old_view.norm_bytes() == 4);
        const Bm25View& v = idx->view();
        for (const char* q : {"轮胎胎压", "门锁灯", "压", "锁轮胎压门灯胎"}) {
            const auto a = v.search(q, 10), b = old_view.search(q, 10);
            REQUIRE(a.size() == b.size());
            for (std::size_t i = 0; i < a.size(); ++i) {
                CHECK(a[i].first == b[i].first);
                CHECK(a[i].second == b[i].second);
            }
            const auto terms = query_terms(q);
            for (std::uint32_t d = 0; d < v.size(); d += 13) CHECK(v.score(terms, d) == old_view.score(terms, d));
        }
    }
    // A slot past the table is refused by the whole check, and by a search
    // when it first decodes a block holding the entry (never read out of
    // bounds).  The slots are the image's last array, one byte an entry here;
    // the entry changed is the best for the question asked.
    const std::size_t size = few.bytes().size(), n = few.view().size();
    const std::uint32_t hit = few.view().search("轮胎胎压", 1).at(0).first;
    std::vector<std::uint64_t> bad(size / 8);
    std::memcpy(bad.data(), few.bytes().data(), size);
    reinterpret_cast<unsigned char*>(bad.data())[size - ((n + 7) & ~std::size_t{7}) + hit] = 0xff;
    const std::span<const std::byte> bad_bytes(reinterpret_cast<const std::byte*>(bad.data()), size);
    CHECK(throws([&] { Bm25View::from_bytes(bad_bytes); }));
    const Bm25View opened = Bm25View::open(bad_bytes);
    CHECK(throws([&] { opened.search("轮胎胎压", 5); }));
}

namespace {

// Entry texts drawn from a few hundred distinct heading-path-like texts, so
// that many entries share one and their scores tie in long runs.
std::vector<std::string> repeated_texts(std::uint32_t seed, std::uint32_t entries) {
    const char* chars[] = {"座", "椅", "加", "热", "空", "调", "灯", "光", "门", "锁"};
    std::uint32_t x = seed * 2246822519u + 7;
    auto rnd = [&](std::uint32_t n) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        return x % n;
    };
    std::vector<std::string> distinct(40 + seed * 30);
    for (std::string& t : distinct)
        for (std::uint32_t i = 0, len = 1 + rnd(8); i < len; ++i) t += chars[rnd(10)];
    distinct[0].clear();  // entries without a path
    std::vector<std::string> out;
    for (std::uint32_t e = 0; e < entries; ++e) out.push_back(distinct[rnd(5) ? rnd(12) : rnd(distinct.size())]);
    return out;
}

}  // namespace

TEST_CASE("an image over distinct texts ranks entries as one document per entry does, to the last bit") {
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        const std::uint32_t n = seed % 2 ? 3000 : 700;
        const std::vector<std::string> texts = repeated_texts(seed, n);
        Bm25Builder plain_b;
        for (const std::string& t : texts) {
            plain_b.begin_entry();
            if (!t.empty()) plain_b.add_text(kTitle, t);
        }
        const Bm25Index plain = plain_b.build();
        const GroupedBm25 grouped = GroupedBm25::build(texts);
        const DocGroups groups = grouped.doc_groups();
        const Bm25View& g = grouped.image.view();
        REQUIRE(groups.entries() == n);
        REQUIRE(groups.docs() == g.size());
        REQUIRE(g.size() < n / 2);
        std::vector<std::uint64_t> bits((n + 63) / 64);
        for (std::uint32_t d = 0; d < n; ++d)
            if ((d * 5 + seed) % 3 != 0) bits[d / 64] |= std::uint64_t{1} << (d % 64);
        const DocFilter filter{bits};
        const std::vector<std::vector<std::pair<std::string, double>>> queries = {
            {{"座椅", 1}, {"加热", 1}}, {{"灯光", 1}, {"门锁", 0.6}, {"空", 1}}, {{"椅加", 1}}, {{"没有", 1}}};
        for (const auto& q : queries) {
            std::vector<QueryTerm> qt;
            std::vector<std::uint32_t> ids;
            for (const auto& [t, w] : q) {
                qt.push_back({t, w});
                if (const std::int64_t id = g.find(t); id >= 0) ids.push_back(static_cast<std::uint32_t>(id));
            }
            for (std::size_t k : {1, 5, 16, 5000})
                for (const DocFilter* f : {static_cast<const DocFilter*>(nullptr), &filter}) {
                    const auto want = plain.view().top_k(qt, k, f);
                    const auto got = g.top_k_entries(qt, k, groups, f);
                    REQUIRE(got.size() == want.size());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        CHECK(got[i].first == want[i].first);
                        CHECK(got[i].second == want[i].second);  // the same statistics: the same bits
                    }
                }
            // Scoring an entry through its document: score_ids' values too.
            std::vector<std::uint32_t> plain_ids, entries, docs;
            for (const auto& [t, w] : q)
                if (const std::int64_t id = plain.view().find(t); id >= 0) plain_ids.push_back(static_cast<std::uint32_t>(id));
            for (std::uint32_t e = 0; e < n; e += 7) {
                entries.push_back(e);
                docs.push_back(groups.doc(e));
            }
            CHECK(g.score_ids(ids, docs) == plain.view().score_ids(plain_ids, entries));
        }
    }
}

TEST_CASE("entry groups from a damaged section: sizes refused on opening, values when read") {
    const std::vector<std::string> texts = {"座椅", "空调", "座椅", "", "空调", "座椅"};
    const GroupedBm25 grouped = GroupedBm25::build(texts);
    const std::vector<std::uint32_t> good = grouped.groups;
    CHECK(good[0] == 6);
    CHECK(good[1] == 3);
    auto open = [](const std::vector<std::uint32_t>& w) { return DocGroups::open(std::as_bytes(std::span(w))); };
    // Cut short, or claiming more than the bytes hold.
    CHECK(throws([&] { open(std::vector<std::uint32_t>(good.begin(), good.end() - 1)); }));
    CHECK(throws([&] { auto w = good; w[0] = 1u << 30; open(w); }));
    CHECK(throws([&] { open({}); }));
    // Values out of range are found when read; a search over them throws
    // rather than reading past the arrays or returning a wrong entry.
    const std::vector<QueryTerm> qt = {{"座椅", 1.0}};
    auto search = [&](const std::vector<std::uint32_t>& w) {
        const DocGroups g = open(w);
        return grouped.image.view().top_k_entries(qt, 10, g);
    };
    CHECK(search(good).size() == 3);
    const std::size_t starts = 2 + 6, members = starts + 4;
    for (auto [at, value] : std::vector<std::pair<std::size_t, std::uint32_t>>{
             {starts + 1, 99}, {starts + 1, 0}, {members, 77}, {members + 1, 0}}) {
        auto w = good;
        w[at] = value;
        if (at == starts + 1 && value == 0) w[starts] = 2;  // starts not ascending
        CHECK(throws([&] { search(w); }));
    }
    auto w = good;
    w[2] = 50;  // entry 0's document out of range
    CHECK(throws([&] { open(w).doc(0); }));
    // A group over an image of another document count is refused.
    const GroupedBm25 other = GroupedBm25::build(std::vector<std::string>{"座椅", "空调", "门锁", "灯光"});
    CHECK(throws([&] { other.image.view().top_k_entries(qt, 3, grouped.doc_groups()); }));
}
