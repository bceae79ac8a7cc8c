// search/hybrid: the fused ranker against its plain form (every candidate
// scored term by term with Bm25View::score), to the last bit, on random
// indexes with several blocks per term; Bm25View::score_ids against score();
// the base titles' compiled matcher read in place against the one compiled
// from the titles, and refused or contained when its bytes are damaged.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <algorithm>
#include <numeric>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/search/hybrid.hpp"
#include "core/search/matcher.hpp"

using namespace corvane::search;

namespace {

// The fused ranker as first written: each candidate's parts scored one by
// one through the term texts.
std::vector<Ranked> reference_fuse(const FusedQuery& q, const std::vector<TitleMatch>& titles, const Bm25View& bm,
                         const FusedWeights& w, std::size_t top_k, const Bm25View* path) {
    std::vector<Ranked> out;
    const std::size_t n = bm.size();
    if (top_k == 0 || n == 0) return out;
    const double unit = std::log(1 + std::max(0.0, static_cast<double>(n) - 0.5) / 1.5);
    // Each image is asked only for the terms it holds: a term is looked up
    // once here instead of once per scored entry.
    auto held = [](const Bm25View& v, const std::vector<std::string>& ts) {
        std::vector<std::string> out;
        for (const std::string& t : ts)
            if (v.find(t) >= 0) out.push_back(t);
        return out;
    };
    const std::vector<std::string> body_terms = held(bm, q.terms);  // homophones are held by construction
    std::vector<std::string> all = body_terms;
    all.insert(all.end(), q.homophones.begin(), q.homophones.end());
    // Candidates: the best BM25 entries over all terms, and the title matches.
    const std::size_t pool = std::max<std::size_t>(2 * top_k, 8);
    std::vector<Hit> hits = all.empty() ? std::vector<Hit>{} : bm.search_terms(all, pool);
    const bool with_path = path && path->size() == n && w.path > 0 && path->term_count() > 0;
    const std::vector<std::string> path_terms = with_path ? held(*path, q.terms) : std::vector<std::string>{};
    const std::vector<std::string> path_homophones = with_path ? held(*path, q.homophones) : std::vector<std::string>{};
    std::vector<std::string> path_all = path_terms;
    path_all.insert(path_all.end(), path_homophones.begin(), path_homophones.end());
    // The path image adds the few entries whose path alone matches best (a
    // generic sub-heading whose topic is only in its parent heading).
    if (!path_all.empty())
        for (const Hit& h : path->search_terms(path_all, top_k))
            if (std::none_of(hits.begin(), hits.end(), [&](const Hit& x) { return x.first == h.first; }))
                hits.push_back({h.first, bm.score(all, h.first)});
    // The weighted sum in the features' order: body, homophone, path,
    // path_homophone, tables (none here), title, cover, length, coverage (0).
    auto lexical = [&](std::uint32_t id, double whole) {
        double s = 0;
        s += w.body * (q.homophones.empty() ? whole : bm.score(body_terms, id));
        s += w.homophone * (q.homophones.empty() ? 0.0 : bm.score(q.homophones, id));
        s += w.path * (path_terms.empty() ? 0.0 : path->score(path_terms, id));
        s += w.path_homophone * (path_homophones.empty() ? 0.0 : path->score(path_homophones, id));
        s += w.tables * 0.0;
        return s;
    };
    auto bonus = [&](double s, std::size_t chars) {
        const double share = q.content_chars ? std::min(1.0, static_cast<double>(chars) / q.content_chars) : 1.0;
        s += w.title * unit;
        s += w.cover * (unit * share);
        s += w.length * (unit * static_cast<double>(std::min<std::size_t>(chars, 8)) / 8.0);
        return s;
    };
    // Refusal reads the evidence of the scene texts alone (BM25 over the
    // terms and, discounted, their homophones) and how much of the question
    // a matched title covers: heading paths and title bonuses order scenes
    // but do not make a question answerable.
    double best_text = 0, best_share = 0;
    auto text_score = [&](std::uint32_t id, double whole) {
        return q.homophones.empty() ? whole : bm.score(body_terms, id) + w.homophone * bm.score(q.homophones, id);
    };
    std::vector<Ranked> cand;
    cand.reserve(hits.size() + titles.size());
    for (const TitleMatch& t : titles) {
        if (t.entry >= n) continue;
        if (std::any_of(cand.begin(), cand.end(), [&](const Ranked& c) { return c.entry == t.entry; })) continue;
        const double whole = bm.score(all, t.entry);
        best_text = std::max(best_text, text_score(t.entry, whole));
        if (q.content_chars) best_share = std::max(best_share, static_cast<double>(t.chars) / q.content_chars);
        cand.push_back({t.entry, bonus(lexical(t.entry, whole), t.chars), 1});
    }
    for (const Hit& h : hits) {
        if (std::any_of(titles.begin(), titles.end(), [&](const TitleMatch& t) { return t.entry == h.first; })) continue;
        best_text = std::max(best_text, text_score(h.first, h.second));
        cand.push_back({h.first, lexical(h.first, h.second), 2});
    }
    std::sort(cand.begin(), cand.end(),
              [](const Ranked& a, const Ranked& b) { return a.score > b.score || (a.score == b.score && a.entry < b.entry); });
    auto holds_all = [&](const Ranked& c) {
        return std::all_of(body_terms.begin(), body_terms.end(),
                           [&](const std::string& t) { return bm.score(std::vector<std::string>{t}, c.entry) > 0; });
    };
    const bool whole = w.whole_match > 0 && !body_terms.empty() && body_terms.size() == q.terms.size() &&
                       std::any_of(cand.begin(), cand.end(), holds_all);
    if (cand.empty() || (best_share < w.answer_share && best_text / unit < w.threshold && !whole)) return out;
    cand.resize(std::min(cand.size(), top_k));
    return cand;
}

const char* const kChars[] = {"轮", "胎", "压", "检", "查", "灯", "门", "锁"};

std::string random_text(std::mt19937& rng, int max_chars) {
    std::string s;
    const int n = std::uniform_int_distribution<int>(1, max_chars)(rng);
    for (int i = 0; i < n; ++i) s += kChars[rng() % 8];
    return s;
}

std::vector<std::string> random_terms(std::mt19937& rng, std::size_t max_n) {
    std::vector<std::string> ts;
    const std::size_t n = rng() % (max_n + 1);
    while (ts.size() < n) {
        // Mostly bigrams the index may hold; now and then a word it does not.
        std::string t = rng() % 7 ? std::string(kChars[rng() % 8]) + kChars[rng() % 8] : "zq" + std::to_string(rng() % 5);
        if (std::find(ts.begin(), ts.end(), t) == ts.end()) ts.push_back(t);
    }
    return ts;
}

Bm25Index random_index(std::mt19937& rng, std::uint32_t docs, bool sparse) {
    Bm25Builder b;
    for (std::uint32_t d = 0; d < docs; ++d) {
        b.begin_entry();
        if (sparse && rng() % 3) continue;  // entries without text
        b.add_text(kTitle, random_text(rng, 4));
        b.add_text(kDescription, random_text(rng, 24));
        if (rng() % 2) b.add_text(kSteps, random_text(rng, 12));
    }
    return b.build();
}


// A path field with one document per entry (the plain form's), over v.
struct OnePerEntry {
    std::vector<std::uint32_t> words;
    PathField field;
    explicit OnePerEntry(const Bm25View& v) {
        std::vector<std::uint32_t> doc_of(v.size());
        std::iota(doc_of.begin(), doc_of.end(), 0u);
        words = DocGroups::encode(doc_of);
        field = {&v, DocGroups::open(std::as_bytes(std::span<const std::uint32_t>(words)))};
    }
};

}  // namespace

TEST_CASE("score_ids gives score() for every entry, to the last bit") {
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        const std::uint32_t docs = 1 + rng() % 700;
        const Bm25Index idx = random_index(rng, docs, round % 3 == 0);
        const Bm25View& v = idx.view();
        const std::vector<std::string> terms = random_terms(rng, 6);
        std::vector<std::uint32_t> ids;
        std::vector<std::string> held;
        for (const std::string& t : terms)
            if (const auto id = v.find(t); id >= 0) {
                ids.push_back(static_cast<std::uint32_t>(id));
                held.push_back(t);
            }
        std::vector<std::uint32_t> entries;
        for (int i = 0; i < 60; ++i) entries.push_back(rng() % (docs + 5));  // repeats, some out of range
        const std::vector<double> got = v.score_ids(ids, entries);
        REQUIRE(got.size() == entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) CHECK(got[i] == v.score(held, entries[i]));
    }
}

TEST_CASE("the fused ranker ranks and scores as its plain form") {
    std::mt19937 rng(5);
    FusedWeights w;
    // The plain form has no coverage feature and refuses on the text score
    // alone (the next case checks those parts).
    w.coverage = w.refuse_coverage = w.refuse_held = w.refuse_top = 0;
    for (int round = 0; round < 60; ++round) {
        const std::uint32_t docs = 1 + rng() % 600;
        const Bm25Index body = random_index(rng, docs, round % 4 == 0);
        Bm25Index path = random_index(rng, round % 5 == 0 ? docs + 1 : docs, true);  // sometimes of another size
        FusedQuery q;
        q.terms = random_terms(rng, 7);
        // Homophones are terms the body holds and the query does not.
        for (const std::string& t : random_terms(rng, round % 2 ? 3 : 0))
            if (body.view().find(t) >= 0 && std::find(q.terms.begin(), q.terms.end(), t) == q.terms.end())
                q.homophones.push_back(t);
        q.content_chars = rng() % 9;
        std::vector<TitleMatch> titles;
        for (std::uint32_t i = 0, n = rng() % 4; i < n; ++i) titles.push_back({static_cast<std::uint32_t>(rng() % (docs + 2)), rng() % 10});
        w.path = w.path_homophone = round % 6 == 0 ? 0.0 : 1.0;
        if (round % 6) w.path_homophone = 0.6;
        w.threshold = round % 3 == 0 ? 0.0 : 1.05;
        for (std::size_t top_k : {1, 3, 10}) {
            const Bm25View* p = round % 7 == 0 ? nullptr : &path.view();
            const OnePerEntry field(path.view());
            const auto got = fuse(q, titles, body.view(), w, top_k, p ? &field.field : nullptr);
            const auto want = reference_fuse(q, titles, body.view(), w, top_k, p);
            REQUIRE(got.size() == want.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                CHECK(got[i].entry == want[i].entry);
                CHECK(got[i].score == want[i].score);
                CHECK(got[i].stage == want[i].stage);
            }
        }
    }
}

TEST_CASE("fuse() ranks by the features fused_evidence() gives, and refuses as it says") {
    std::mt19937 rng(9);
    for (int round = 0; round < 60; ++round) {
        FusedWeights w;
        w.coverage = (round % 4) * 0.5;
        w.refuse_coverage = round % 3 ? 0.7 : 0.0;
        w.refuse_held = round % 2 ? 0.5 : 0.0;
        w.refuse_top = round % 5 ? 0.0 : 0.1;
        w.threshold = (round % 7) * 0.4;
        const std::uint32_t docs = 1 + rng() % 400;
        const Bm25Index body = random_index(rng, docs, round % 4 == 0);
        const Bm25Index path = random_index(rng, docs, true);
        FusedQuery q;
        q.terms = random_terms(rng, 7);
        q.content_chars = rng() % 9;
        std::vector<TitleMatch> titles;
        for (std::uint32_t i = 0, n = rng() % 3; i < n; ++i) titles.push_back({static_cast<std::uint32_t>(rng() % docs), rng() % 10});
        const OnePerEntry field(path.view());
        const FusedEvidence ev = fused_evidence(q, titles, body.view(), w, 5, &field.field);
        const auto got = fuse(q, titles, body.view(), w, 5, &field.field);
        CHECK(got.empty() == ev.refused);
        if (ev.refused) continue;
        REQUIRE(got.size() == std::min<std::size_t>(5, ev.candidates.size()));
        double best_coverage = 0;
        for (std::size_t i = 0; i < ev.candidates.size(); ++i) {
            const FusedCandidate& c = ev.candidates[i];
            double s = 0;
            for (std::size_t f = 0; f < kFusedFeatureCount; ++f) s += w.*kFusedFeatures[f].weight * c.features[f];
            CHECK(c.score == s);
            const double cov = c.features[fused_feature("coverage")];
            CHECK(cov >= 0);
            CHECK(cov <= ev.unit * (1 + 1e-12));
            best_coverage = std::max(best_coverage, cov);
            if (i < got.size()) {
                CHECK(got[i].entry == c.entry);
                CHECK(got[i].score == c.score);
            }
        }
        CHECK(ev.refusal[1] == doctest::Approx(best_coverage / ev.unit));
        // A scene holding every held term covers all of them.
        for (const FusedCandidate& c : ev.candidates) {
            bool all = ev.held_terms > 0;
            for (const std::string& t : q.terms)
                if (body.view().find(t) >= 0 && body.view().score({t}, c.entry) <= 0) all = false;
            if (all) CHECK(c.features[fused_feature("coverage")] == doctest::Approx(ev.unit));
        }
    }
}

namespace {
std::string random_base_titles(std::mt19937& rng, std::uint32_t entries) {
    std::string out;
    for (std::uint32_t e = 0; e < entries; ++e)
        if (rng() % 3 == 0) BaseTitles::add(out, e, random_text(rng, 5) + "（" + random_text(rng, 2) + "）");
    return out;
}
std::span<const std::byte> as_bytes(const std::vector<std::uint64_t>& words, std::size_t n) {
    return {reinterpret_cast<const std::byte*>(words.data()), n};
}
std::vector<std::uint64_t> aligned(const std::string& s) {
    std::vector<std::uint64_t> w((s.size() + 7) / 8 + 1);
    std::memcpy(w.data(), s.data(), s.size());
    return w;
}
}  // namespace

TEST_CASE("base titles read in place match as compiled ones") {
    std::mt19937 rng(3);
    for (std::uint32_t entries : {0u, 1u, 40u, 500u}) {
        const std::string raw = random_base_titles(rng, entries);
        const auto raw_w = aligned(raw);
        const BaseTitles built = BaseTitles::decode(as_bytes(raw_w, raw.size()), entries);
        const std::string compiled = built.encode_compiled();
        REQUIRE(compiled.size() % 8 == 0);
        const auto comp_w = aligned(compiled);
        const BaseTitles mapped = BaseTitles::over(as_bytes(comp_w, compiled.size()), entries);
        for (int i = 0; i < 200; ++i) {
            const std::string q = random_text(rng, 12);
            CHECK(mapped.matches(q) == built.matches(q));
        }
        // Of another entry count, cut short, with a byte more: refused.
        CHECK_THROWS_AS(BaseTitles::over(as_bytes(comp_w, compiled.size()), entries + 1), Bm25Error);
        CHECK_THROWS_AS(BaseTitles::over(as_bytes(comp_w, compiled.size() - 8), entries), Bm25Error);
        CHECK_THROWS_AS(BaseTitles::over(as_bytes(comp_w, 16), entries), Bm25Error);
        CHECK_THROWS_AS(BaseTitles::over(as_bytes(comp_w, compiled.size() + 8), entries), Bm25Error);
    }
}

// The same base titles as a file of version 2 wrote them: the matcher's
// lists hold the index of each base title, whose entry a last array gives.
std::string as_version_2(const std::string& v3, const std::vector<std::uint32_t>& base_entries) {
    constexpr std::size_t kArrays = 12, kHead = 3 + kArrays;
    constexpr std::size_t kElement[kArrays] = {2, 4, 4, 1, 4, 8, 4, 4, 4, 4, 1, 4};
    std::uint64_t head[kHead];
    std::memcpy(head, v3.data(), sizeof head);
    REQUIRE(head[0] == 3);
    std::vector<std::string> arrays;
    std::size_t off = sizeof head;
    for (std::size_t i = 0; i < kArrays; ++i) {
        arrays.push_back(v3.substr(off, head[3 + i] * kElement[i]));
        off += (head[3 + i] * kElement[i] + 7) & ~std::size_t{7};
    }
    std::string& postings = arrays[9];
    for (std::size_t at = 0; at < postings.size(); at += 4) {
        std::uint32_t e;
        std::memcpy(&e, postings.data() + at, 4);
        const auto k = static_cast<std::uint32_t>(
            std::lower_bound(base_entries.begin(), base_entries.end(), e) - base_entries.begin());
        std::memcpy(postings.data() + at, &k, 4);
    }
    arrays[11].assign(reinterpret_cast<const char*>(base_entries.data()), 4 * base_entries.size());
    head[0] = 2;
    head[3 + 11] = base_entries.size();
    std::string out(reinterpret_cast<const char*>(head), sizeof head);
    for (const std::string& a : arrays) {
        out += a;
        out.append((8 - out.size() % 8) % 8, '\0');
    }
    return out;
}

TEST_CASE("compiled base titles of the previous version are still read") {
    std::mt19937 rng(5);
    for (std::uint32_t entries : {1u, 60u, 700u}) {
        std::string raw;
        std::vector<std::uint32_t> base_entries;
        for (std::uint32_t e = 0; e < entries; ++e)
            if (rng() % 3 == 0) {
                BaseTitles::add(raw, e, random_text(rng, 4) + "（" + random_text(rng, 2) + "）");
                base_entries.push_back(e);
            }
        const auto raw_w = aligned(raw);
        const BaseTitles built = BaseTitles::decode(as_bytes(raw_w, raw.size()), entries);
        const std::string v2 = as_version_2(built.encode_compiled(), base_entries);
        const auto w = aligned(v2);
        const BaseTitles old = BaseTitles::over(as_bytes(w, v2.size()), entries);
        std::size_t found = 0;
        for (int i = 0; i < 300; ++i) {
            const std::string q = random_text(rng, 10);
            const auto got = old.matches(q);
            CHECK(got == built.matches(q));
            found += got.size();
        }
        if (!base_entries.empty()) CHECK(found > 0);
    }
}

TEST_CASE("damaged compiled base titles are refused or fail their search, never read astray") {
    std::mt19937 rng(9);
    const std::uint32_t entries = 300;
    const std::string raw = random_base_titles(rng, entries);
    const auto raw_w = aligned(raw);
    std::vector<TitleLengths> lengths(entries);
    for (TitleLengths& t : lengths) t.base = static_cast<std::uint16_t>(rng() % 9), t.alias = static_cast<std::uint16_t>(rng() % 9);
    const BaseTitles built = BaseTitles::decode(as_bytes(raw_w, raw.size()), entries);
    for (const std::string& compiled : {built.encode_compiled(), built.encode_compiled(lengths)})
    for (std::size_t at = 0; at < compiled.size(); at += 7) {
        std::string bad = compiled;
        bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
        const auto w = aligned(bad);
        try {
            const BaseTitles b = BaseTitles::over(as_bytes(w, bad.size()), entries);
            for (int i = 0; i < 4; ++i) {
                std::vector<std::uint16_t> weighs;
                for (std::uint32_t e : b.matches(random_text(rng, 10), &weighs)) REQUIRE(e < entries);
            }
        } catch (const Bm25Error&) {
        } catch (const corvane::matcher::CorruptIndex&) {
        }
    }
}

TEST_CASE("compiled base titles with their lengths: each match weighs what the title-length table gives") {
    std::mt19937 rng(11);
    for (std::uint32_t entries : {1u, 60u, 700u}) {
        const std::string raw = random_base_titles(rng, entries);
        const auto raw_w = aligned(raw);
        const BaseTitles built = BaseTitles::decode(as_bytes(raw_w, raw.size()), entries);
        std::vector<TitleLengths> lengths(entries);
        for (TitleLengths& t : lengths) {
            t.title = static_cast<std::uint16_t>(1 + rng() % 20);
            t.base = static_cast<std::uint16_t>(rng() % 12);
            t.alias = static_cast<std::uint16_t>(rng() % 3 ? 0 : rng() % 15);
        }
        const std::string v4 = built.encode_compiled(lengths), v3 = built.encode_compiled();
        REQUIRE(v4.size() % 8 == 0);
        const auto w4 = aligned(v4), w3 = aligned(v3);
        const BaseTitles with = BaseTitles::over(as_bytes(w4, v4.size()), entries);
        const BaseTitles without = BaseTitles::over(as_bytes(w3, v3.size()), entries);
        std::size_t found = 0;
        for (int i = 0; i < 300; ++i) {
            const std::string q = random_text(rng, 10);
            std::vector<std::uint16_t> weighs, none = {7};
            const auto got = with.matches(q, &weighs);
            CHECK(got == built.matches(q));
            CHECK(without.matches(q, &none) == got);
            CHECK(none.empty());  // version 3: left to the table
            REQUIRE(weighs.size() == got.size());
            for (std::size_t k = 0; k < got.size(); ++k) CHECK(weighs[k] == lengths[got[k]].matched_title(false, true));
            found += got.size();
        }
        if (!raw.empty()) CHECK(found > 0);
        // Lengths of another entry count are refused when writing; a length
        // array that does not match the lists, when reading.
        CHECK_THROWS_AS(built.encode_compiled(std::vector<TitleLengths>(entries + 1)), Bm25Error);
        std::string bad = v4;
        std::uint64_t n;
        std::memcpy(&n, bad.data() + 8 * (3 + 11), 8);
        n -= 1;
        std::memcpy(bad.data() + 8 * (3 + 11), &n, 8);
        const auto wb = aligned(bad);
        CHECK_THROWS_AS(BaseTitles::over(as_bytes(wb, bad.size()), entries), Bm25Error);
    }
}
