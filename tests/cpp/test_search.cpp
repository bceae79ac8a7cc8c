// search/: the score rule and the top-k cut; the compiled matcher against the
// plain linear search (random indexes over small, colliding vocabularies, plus
// a few hand-made cases).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/search/hybrid.hpp"
#include "core/search/matcher.hpp"
#include "reference.hpp"
#include "core/search/rule.hpp"
#include "core/text/text.hpp"

using corvane::matcher::CompiledIndex;
using corvane::matcher::EntryText;
using corvane::matcher::IndexBuilder;
using corvane::matcher::Scored;
using corvane::search::TitleLengths;

namespace {

int failures = 0;

std::string show(const std::vector<Scored>& v) {
    std::string s = "[";
    std::size_t shown = 0;
    for (const auto& [id, score] : v) {
        if (++shown > 12) return s + " ... " + std::to_string(v.size()) + " pairs]";
        s += "(" + std::to_string(id) + "," + std::to_string(score) + ")";
    }
    return s + "]";
}

void expect_same(const std::vector<Scored>& got, const std::vector<Scored>& want, const std::string& what) {
    if (got == want) return;
    if (++failures <= 10) {
        std::fprintf(stderr, "MISMATCH %s\n  got  %s\n  want %s\n", what.c_str(), show(got).c_str(), show(want).c_str());
    }
}

void expect_eq(long long got, long long want, const std::string& what) {
    if (got == want) return;
    if (++failures <= 10) std::fprintf(stderr, "MISMATCH %s: got %lld, want %lld\n", what.c_str(), got, want);
}

// Owned texts behind EntryText views.
struct Entry {
    std::string title;
    std::vector<std::string> aliases, keywords;
    EntryText view() const {
        EntryText e{title, {}, {}};
        for (const auto& a : aliases) e.aliases.push_back(a);
        for (const auto& k : keywords) e.keywords.push_back(k);
        return e;
    }
};

std::string describe(const std::vector<Entry>& entries, const std::string& q, long long top_k) {
    std::string s = "query '" + q + "' top_k " + std::to_string(top_k) + " over " + std::to_string(entries.size()) +
                    " entries";
    if (entries.size() <= 6) {
        for (const Entry& e : entries) {
            s += "\n    {'" + e.title + "' |";
            for (const auto& a : e.aliases) s += " '" + a + "'";
            s += " |";
            for (const auto& k : e.keywords) s += " '" + k + "'";
            s += "}";
        }
    }
    return s;
}

void check(const std::vector<Entry>& entries, const CompiledIndex& ix, const std::vector<EntryText>& views,
           const std::string& q, long long top_k) {
    const auto want = corvane::matcher::search_linear(q, views, top_k);
    expect_same(ix.search_raw(q, top_k), want, describe(entries, q, top_k));
}

// Units that collide after normalization (case, fullwidth parentheses, white
// space), change length when lowered (U+0130), or take 2, 3 and 4 bytes;
// one lone surrogate in its three-byte form; a byte that starts no character.
const std::vector<std::string> kUnits = {
    "a", "A", "b", "B", "c", "ab", " ", "\u3000", "\n", "(", "\uFF08", ")", "\uFF09", "\u00E9", "\u00C9",
    "\u0130", "\u4E2D", "\u6587", "\u4E2D\u6587", "\U0001D538", "\U0001F600", "\xED\xA0\x80", "\u03A3", "\u03C3", "\xFF",
};

std::string random_text(std::mt19937& rng, int max_units) {
    std::uniform_int_distribution<int> n(0, max_units);
    std::uniform_int_distribution<std::size_t> pick(0, kUnits.size() - 1);
    std::string s;
    for (int i = n(rng); i > 0; --i) s += kUnits[pick(rng)];
    return s;
}

// Title matches whose length came from the question, over every run.
std::size_t lengths_known = 0;

void random_differential(std::uint32_t seed, int rounds) {
    std::mt19937 rng(seed);
    const std::vector<long long> top_ks = {0, 1, 3, 5, 1000000, -1, -3, -1000000};
    for (int round = 0; round < rounds; ++round) {
        // A small vocabulary so that texts repeat, overlap and nest.
        std::vector<std::string> vocab;
        const int vsize = std::uniform_int_distribution<int>(1, 14)(rng);
        for (int i = 0; i < vsize; ++i) vocab.push_back(random_text(rng, 3));
        auto word = [&] { return vocab[std::uniform_int_distribution<std::size_t>(0, vocab.size() - 1)(rng)]; };
        auto coin = [&](int pct) { return std::uniform_int_distribution<int>(0, 99)(rng) < pct; };

        // Mostly small indexes; some large ones with long posting lists where
        // the threshold walk skips a lot.
        const int n = coin(10) ? std::uniform_int_distribution<int>(200, 1500)(rng)
                               : std::uniform_int_distribution<int>(0, 12)(rng);
        std::vector<Entry> entries(static_cast<std::size_t>(n));
        for (Entry& e : entries) {
            e.title = coin(15) ? "" : word();
            if (coin(70)) e.aliases.push_back(e.title);
            for (int i = std::uniform_int_distribution<int>(0, 3)(rng); i > 0; --i) e.aliases.push_back(word());
            for (int i = std::uniform_int_distribution<int>(0, 14)(rng); i > 0; --i) {
                e.keywords.push_back(coin(80) ? word() : random_text(rng, 2));
            }
        }
        std::vector<EntryText> views;
        for (const Entry& e : entries) views.push_back(e.view());

        // Built one entry at a time from raw texts, or from the whole list.
        CompiledIndex ix;
        if (coin(50)) {
            ix = CompiledIndex(views);
        } else {
            IndexBuilder b;
            for (const Entry& e : entries) {
                b.begin_entry(e.title);
                for (const auto& a : e.aliases) b.add_alias(a);
                for (const auto& k : e.keywords) b.add_keyword(k);
            }
            ix = b.compile();
        }

        for (int qi = 0; qi < 6; ++qi) {
            std::string q;
            if (qi == 0) {
                q = "";  // matches nothing
            } else {
                for (int i = std::uniform_int_distribution<int>(1, 6)(rng); i > 0; --i) {
                    q += coin(70) ? word() : random_text(rng, 2);
                }
            }
            for (long long k : top_ks) check(entries, ix, views, q, k);
            const std::string nq = corvane::text::normalize_text(q);
            // The fused ranker's title matches: the same entries as the
            // scored ones, the title flag where the score holds the title.
            {
                std::vector<std::uint32_t> also;
                for (std::uint32_t id = 0; id < entries.size(); id += 7) also.push_back(id);
                const auto scored = ix.title_or_alias_matches(nq, also);
                const auto flagged = ix.title_or_alias_entries(nq, also);
                REQUIRE(flagged.size() == scored.size());
                for (std::size_t i = 0; i < scored.size(); ++i) {
                    CHECK(flagged[i].entry == scored[i].first);
                    CHECK(flagged[i].title == (scored[i].second % 2 == 1));
                    // A title's length as the question holds it is the one
                    // the fused ranker's table holds for the entry.
                    if (flagged[i].title && flagged[i].title_chars >= 0) {
                        CHECK(flagged[i].title_chars == TitleLengths::of_title(entries[flagged[i].entry].title).title);
                        ++lengths_known;
                    }
                    if (!flagged[i].title) CHECK(flagged[i].title_chars == -1);
                }
            }
            for (std::size_t id = 0; id < entries.size() && id < 400; ++id) {
                const Entry& e = entries[id];
                Entry norm{corvane::text::normalize_text(e.title), {}, {}};
                for (const auto& a : e.aliases) norm.aliases.push_back(corvane::text::normalize_text(a));
                for (const auto& k : e.keywords) norm.keywords.push_back(corvane::text::normalize_text(k));
                expect_eq(ix.score(nq, static_cast<std::uint32_t>(id)), corvane::matcher::score_entry(nq, norm.view()),
                          "score of entry " + std::to_string(id) + " for " + describe({entries[id]}, q, 0));
            }
        }
    }
}

// Indexes shaped like the large generated ones: a few keywords held by a
// large share of the entries, many rare ones, titles that seldom occur in a
// question.  The walk then sets the common keywords' lists aside once a few
// entries are kept; results must equal the plain search, filtered or not.
void common_keyword_differential(std::uint32_t seed, int rounds) {
    std::mt19937 rng(seed);
    auto coin = [&](int pct) { return std::uniform_int_distribution<int>(0, 99)(rng) < pct; };
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> common, rare;
        for (int i = 0; i < 6; ++i) common.push_back("c" + std::to_string(i) + "x");
        for (int i = 0; i < 60; ++i) rare.push_back("r" + std::to_string(i) + "y");
        const int n = std::uniform_int_distribution<int>(300, 4000)(rng);
        std::vector<Entry> entries(static_cast<std::size_t>(n));
        std::vector<int> share(common.size());
        for (int& s : share) s = std::uniform_int_distribution<int>(5, 60)(rng);
        for (std::size_t id = 0; id < entries.size(); ++id) {
            Entry& e = entries[id];
            e.title = "t" + std::to_string(id % 97) + "z";
            if (coin(5)) e.aliases.push_back(rare[id % rare.size()]);
            for (std::size_t c = 0; c < common.size(); ++c) {
                if (coin(share[c])) e.keywords.push_back(common[c]);
                if (coin(2)) e.keywords.push_back(common[c]);  // listed twice: counts twice
            }
            for (int i = std::uniform_int_distribution<int>(0, 3)(rng); i > 0; --i)
                e.keywords.push_back(rare[std::uniform_int_distribution<std::size_t>(0, rare.size() - 1)(rng)]);
        }
        std::vector<EntryText> views;
        for (const Entry& e : entries) views.push_back(e.view());
        const CompiledIndex ix(views);
        for (int qi = 0; qi < 8; ++qi) {
            std::string q;
            for (const std::string& c : common)
                if (coin(70)) q += c + " ";
            for (int i = std::uniform_int_distribution<int>(0, 2)(rng); i > 0; --i) q += rare[std::uniform_int_distribution<std::size_t>(0, rare.size() - 1)(rng)] + " ";
            if (coin(40)) q += "t" + std::to_string(std::uniform_int_distribution<int>(0, 96)(rng)) + "z";
            for (long long k : {1LL, 3LL, 10LL, -5LL}) check(entries, ix, views, q, k);
            // Filtered: the plain ranking of the allowed entries.
            std::vector<std::uint64_t> allowed((entries.size() + 63) / 64, 0);
            const int pct = std::uniform_int_distribution<int>(1, 90)(rng);
            for (std::size_t id = 0; id < entries.size(); ++id)
                if (coin(pct)) allowed[id / 64] |= std::uint64_t{1} << (id % 64);
            if (std::none_of(allowed.begin(), allowed.end(), [](std::uint64_t w) { return w != 0; })) allowed[0] = 1;
            const std::string nq = corvane::text::normalize_text(q);
            for (long long k : {1LL, 3LL}) {
                std::vector<Scored> want;
                for (const Scored& s : corvane::matcher::search_linear(q, views, 1000000))
                    if (allowed[s.first / 64] >> (s.first % 64) & 1) want.push_back(s);
                if (want.size() > static_cast<std::size_t>(k)) want.resize(static_cast<std::size_t>(k));
                expect_same(ix.search(nq, k, allowed), want, "filtered " + describe(entries, q, k));
            }
        }
    }
}

// The scoring rule on hand-made entries, checked against fixed numbers.
void fixed_cases() {
    std::vector<Entry> entries = {
        {"Front Wiper", {"Front Wiper", "wiper"}, {"front", "wiper", "x"}},         // 0: title+alias+2 kw
        {"", {""}, {"ab", "ab", "AB"}},                                              // 1: repeated keyword x3
        {"rear", {}, {}},                                                            // 2: title only
        {"z", {"wiper", "frontwiper"}, {}},                                          // 3: two aliases, 12 once
        {"q", {}, {"fr", "ro", "on", "nt", "wi", "ip", "pe", "er", "fro", "ont"}},  // 4: 10 keywords, capped at 8
        {"\u4E2D", {}, {"\u4E2D"}},                                                   // 5: one-character keyword
    };
    std::vector<EntryText> views;
    for (const Entry& e : entries) views.push_back(e.view());
    const CompiledIndex ix(views);
    const std::string q = "FRONT  wiper\u3000ab \u4E2D";
    const std::vector<Scored> sorted = {{0, 31}, {4, 16}, {5, 15}, {3, 12}, {1, 6}};
    expect_same(ix.search_raw(q, 10), sorted, "fixed cases");
    expect_same(ix.search_raw(q, 2), {{0, 31}, {4, 16}}, "fixed cases, top 2");
    expect_same(ix.search_raw(q, -2), {{0, 31}, {4, 16}, {5, 15}}, "fixed cases, drop 2");
    expect_same(ix.search_raw(q, -7), {}, "fixed cases, drop all");
    expect_same(ix.search_raw("rear", 5), {{2, 15}}, "title alone");
    expect_same(ix.search_raw("", 5), {}, "empty query");
    expect_same(CompiledIndex().search_raw("anything", 5), {}, "empty index");
    // Equal scores keep index order, also when the walk has to skip.
    std::vector<Entry> many(3000, Entry{"t", {}, {"common"}});
    many[2500].keywords.push_back("rare");
    many[2999].keywords.push_back("rare");
    std::vector<EntryText> mv;
    for (const Entry& e : many) mv.push_back(e.view());
    const CompiledIndex big(mv);
    expect_same(big.search_raw("common rare", 3), {{2500, 4}, {2999, 4}, {0, 2}}, "skipping walk");
    expect_eq(static_cast<long long>(big.search_raw("common", -1).size()), 2999, "drop one of 3000");
}

// Nodes with hundreds of children (their counts and, for the root, its
// labels past the BMP are stored apart from the per-node arrays) and runs of
// siblings labelled past the BMP, searched against the plain rule.
void wide_node_differential(std::uint32_t seed, int rounds) {
    std::mt19937 rng(seed);
    auto utf8 = [](char32_t c) {
        std::string s;
        if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        s += static_cast<char>(0x80 | (c & 0x3F));
        return s;
    };
    // Characters on both sides of 0xFFFF: CJK, and CJK extension B.
    std::vector<std::string> chars;
    for (char32_t c = 0x4E00; c < 0x4E00 + 300; ++c) chars.push_back(utf8(c));
    for (char32_t c = 0x20000; c < 0x20000 + 300; ++c) chars.push_back(utf8(c));
    chars.push_back(utf8(0xFFFD));
    auto any = [&] { return chars[std::uniform_int_distribution<std::size_t>(0, chars.size() - 1)(rng)]; };
    for (int round = 0; round < rounds; ++round) {
        std::vector<Entry> entries(std::uniform_int_distribution<int>(50, 700)(rng));
        for (Entry& e : entries) {
            // "x" + any character: node "x" gets up to 601 children; titles
            // starting with any character give the root hundreds too.
            e.title = any() + any();
            e.aliases.push_back("x" + any());
            e.keywords.push_back(any() + "x" + any());
            if (rng() % 2) e.keywords.push_back(chars[300 + rng() % 300] + chars[300 + rng() % 300]);
        }
        std::vector<EntryText> views;
        for (const Entry& e : entries) views.push_back(e.view());
        const CompiledIndex ix(views);
        for (int qi = 0; qi < 20; ++qi) {
            std::string q;
            for (int i = std::uniform_int_distribution<int>(1, 12)(rng); i > 0; --i) q += rng() % 3 ? any() : "x";
            for (long long k : {1LL, 5LL, -1LL}) check(entries, ix, views, q, k);
        }
    }
}

}  // namespace

TEST_CASE("score rule: weights, keyword cap") {
    using corvane::scoring::points;
    CHECK(points(false, false, 0) == 0);
    CHECK(points(true, false, 0) == 15);
    CHECK(points(false, true, 0) == 12);
    CHECK(points(true, true, 3) == 33);
    CHECK(points(false, false, 8) == 16);
    CHECK(points(false, false, 50) == 16);  // at most 8 keywords count
    CHECK(corvane::scoring::longer_than_one_char("轮胎"));
    CHECK_FALSE(corvane::scoring::longer_than_one_char("轮"));
    CHECK_FALSE(corvane::scoring::longer_than_one_char(""));
}

TEST_CASE("top-k cut follows pairs[:top_k]") {
    using corvane::scoring::kept_count;
    struct Case {
        std::size_t n;
        long long top_k;
        std::size_t kept;
    };
    for (const Case& c : {Case{5, 3, 3}, Case{2, 3, 2}, Case{5, 0, 0}, Case{5, -1, 4}, Case{5, -5, 0},
                          Case{5, -9, 0}, Case{0, 3, 0}, Case{3, 1LL << 62, 3}, Case{3, -(1LL << 62), 0}}) {
        CAPTURE(c.n);
        CAPTURE(c.top_k);
        CHECK(kept_count(c.n, c.top_k) == c.kept);
    }
    std::vector<std::pair<char, int>> items{{'a', 2}, {'b', 5}, {'c', 2}, {'d', 5}, {'e', 1}};
    corvane::scoring::rank_and_cut(items, 4, [](const auto& p) { return p.second; });
    CHECK(items == std::vector<std::pair<char, int>>{{'b', 5}, {'d', 5}, {'a', 2}, {'c', 2}});  // stable
}

TEST_CASE("compiled matcher equals the plain search") {
    fixed_cases();
    random_differential(12345, 1500);
    random_differential(777, 1500);
    CHECK(lengths_known > 0);
    common_keyword_differential(99, 40);
    wide_node_differential(5, 30);
    CHECK(failures == 0);
}
