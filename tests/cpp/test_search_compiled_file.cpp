// search/compiled_file (and the entry reader that feeds it): the compiled index file: written and read back it searches exactly like the
// index it was written from; sections of other rankers are kept aside; every
// truncation and every damaged header byte is refused; damaged arrays behind
// a valid header make searches throw, never read out of bounds (run it under
// the sanitizers to see the latter).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/search/compiled_file.hpp"
#include "core/search/entry_reader.hpp"
#include "core/search/matcher.hpp"

using namespace corvane;

namespace {

// 8-byte aligned copy of the file's bytes.
struct Buffer {
    std::vector<std::uint64_t> words;
    std::size_t size = 0;
    explicit Buffer(const std::string& bytes) : words((bytes.size() + 7) / 8), size(bytes.size()) {
        if (!bytes.empty()) std::memcpy(words.data(), bytes.data(), bytes.size());
    }
    std::span<std::byte> bytes() { return {reinterpret_cast<std::byte*>(words.data()), size}; }
};

std::string file_of(const matcher::CompiledIndex& ix, const std::vector<std::uint64_t>& lines,
                    std::span<const search::ExtraSection> extra = {}) {
    std::string storage, out;
    for (std::string_view p : search::compiled_pieces(ix, lines, {lines.back(), 1234567, 42}, extra, storage)) out += p;
    return out;
}

const std::vector<std::string> kQueries = {"前门锁", "车门锁怎么开", "空调 滤芯更换", "门锁车门锁", "", "胎压", "xyz",
                                          "锁车门空调胎压前门"};

bool refused(Buffer& buf) {
    try {
        search::read_compiled(buf.bytes());
    } catch (const search::BadCompiledFile&) {
        return true;
    }
    return false;
}

}  // namespace

TEST_CASE("compiled file: round trip, truncation, damaged header and arrays") {
    std::mt19937 rng(7);
    const std::vector<std::string> vocab = {"车门", "锁", "前门锁", "空调", "滤芯", "胎压", "更换", "门"};
    auto pick = [&] { return vocab[rng() % vocab.size()]; };
    matcher::IndexBuilder b;
    std::vector<std::uint64_t> lines{0};
    for (int i = 0; i < 60; ++i) {
        b.begin_entry(pick() + pick());
        for (int a = 0, n = static_cast<int>(rng() % 3); a < n; ++a) b.add_alias(pick());
        for (int k = 0, n = static_cast<int>(rng() % 5); k < n; ++k) b.add_keyword(pick() + (rng() % 2 ? pick() : ""));
        lines.push_back(lines.back() + 10 + rng() % 50);
    }
    const matcher::CompiledIndex ix = b.compile();
    const std::string extra_bytes = "postings of another ranker";
    const search::ExtraSection extra[] = {{search::tag("BM25"), extra_bytes}};
    const std::string bytes = file_of(ix, lines, extra);

    // Round trip.
    {
        Buffer buf(bytes);
        const search::CompiledView v = search::read_compiled(buf.bytes());
        CHECK(v.entries == 60);
        CHECK(v.source.size == lines.back());
        CHECK(v.source.mtime_ns == 1234567);
        CHECK(v.source.hash == 42);
        CHECK(search::verify_body(v));
        REQUIRE(v.other.size() == 1);
        CHECK(v.other[0].first == search::tag("BM25"));
        CHECK(std::string_view(reinterpret_cast<const char*>(v.other[0].second.data()), v.other[0].second.size()) ==
              extra_bytes);
        for (const std::string& q : kQueries) {
            for (long long k : {3LL, 1LL, 0LL, -1LL, 100LL}) {
                INFO("query ", q, ", top_k ", k);
                CHECK(v.index.search(q, k) == ix.search(q, k));
            }
        }
        for (std::uint32_t i = 0; i < 60; ++i) CHECK(v.line(i, lines.back()) == std::make_pair(lines[i], lines[i + 1]));
        CHECK(v.index.memory_bytes() < 1024);
    }
    // Every truncation is refused.
    for (std::size_t n = 0; n < bytes.size(); n += (n < 512 ? 1 : 997)) {
        Buffer buf(bytes.substr(0, n));
        INFO("truncated to ", n, " bytes");
        CHECK(refused(buf));
    }
    // Every byte of the header and the section table is covered.
    const std::size_t table_end = search::kHeaderBytes + search::kRowBytes * 13;
    for (std::size_t at = 0; at < table_end; ++at) {
        Buffer buf(bytes);
        buf.bytes()[at] ^= std::byte{0x10};
        INFO("damaged byte ", at);
        CHECK(refused(buf));
    }
    // Damaged arrays behind a valid header: the body hash tells; searches over
    // them anyway throw or answer, within bounds.
    std::size_t thrown = 0;
    for (int round = 0; round < 3000; ++round) {
        Buffer buf(bytes);
        for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
            const std::size_t at = table_end + rng() % (bytes.size() - table_end);
            buf.bytes()[at] ^= std::byte{static_cast<unsigned char>(1u << (rng() % 8))};
        }
        Buffer unsealed(std::string(reinterpret_cast<const char*>(buf.bytes().data()), buf.size));
        search::reseal(buf.bytes());
        try {
            const search::CompiledView bad = search::read_compiled(unsealed.bytes());
            CHECK(!search::verify_body(bad));
        } catch (const search::BadCompiledFile&) {
        }
        try {
            const search::CompiledView v = search::read_compiled(buf.bytes());
            for (const std::string& q : kQueries) {
                for (const auto& [id, score] : v.index.search(q, 5)) {
                    CHECK(id < v.entries);
                    CHECK(score > 0);
                    (void)v.line(id, lines.back());
                }
            }
        } catch (const search::BadCompiledFile&) {
            ++thrown;
        } catch (const matcher::CorruptIndex&) {
            ++thrown;
        }
    }
    CHECK(thrown > 0);
}

// The automaton's arrays filled with hostile values behind a valid header:
// every search throws CorruptIndex or answers within range (ASan: never a read
// out of bounds), and a long question cannot make the walk run away.
TEST_CASE("compiled file: hostile trie arrays") {
    matcher::IndexBuilder b;
    std::vector<std::uint64_t> lines{0};
    const std::vector<std::string> vocab = {"车门", "锁", "前门锁", "空调", "\U00020001\U00020002", "胎压", "更换", "门"};
    for (int i = 0; i < 300; ++i) {
        // Node "x" with 300 children: its count is stored apart.
        b.begin_entry("x" + std::to_string(i % 10) + vocab[i % vocab.size()] + vocab[(i / 8) % vocab.size()]);
        b.add_alias(vocab[(i * 3) % vocab.size()]);
        const char32_t c = 0x4E00 + static_cast<char32_t>(i);  // three UTF-8 bytes
        const char cjk[] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                            static_cast<char>(0x80 | (c & 0x3F)), 0};
        b.add_keyword(std::string("x") + cjk);
        lines.push_back(lines.back() + 20);
    }
    const matcher::CompiledIndex ix = b.compile();
    const std::string bytes = file_of(ix, lines);
    const std::vector<std::string> queries = {"x3车门锁空调", "\U00020001\U00020002x7前门锁", std::string(3000, 'x'),
                                              "门锁更换胎压"};
    std::vector<std::pair<std::size_t, std::size_t>> trie;  // (offset, length) of the automaton's sections
    {
        Buffer buf(bytes);
        const auto f = buf.bytes();
        const std::uint32_t count = [&] { std::uint32_t c; std::memcpy(&c, f.data() + 12, 4); return c; }();
        for (std::uint32_t r = 0; r < count; ++r) {
            std::uint32_t t;
            std::uint64_t off, len;
            std::memcpy(&t, f.data() + search::kHeaderBytes + search::kRowBytes * r, 4);
            std::memcpy(&off, f.data() + search::kHeaderBytes + search::kRowBytes * r + 8, 8);
            std::memcpy(&len, f.data() + search::kHeaderBytes + search::kRowBytes * r + 16, 8);
            for (const char* name : {"LABL", "LBXT", "CBAS", "CCNT", "CBXT", "TERM", "TRNK", "RBMP"}) {
                std::uint32_t want;
                std::memcpy(&want, name, 4);
                if (t == want) trie.emplace_back(off, len);
            }
        }
    }
    REQUIRE(trie.size() == 8);
    std::mt19937 rng(11);
    std::size_t thrown = 0;
    for (int round = 0; round < 400; ++round) {
        Buffer buf(bytes);
        const auto [off, len] = trie[round % trie.size()];
        // A whole section of one value (0, all ones) or random words, or a few random words.
        const int mode = static_cast<int>(rng() % 4);
        for (std::size_t at = 0; at < len; ++at) {
            if (mode == 0) buf.bytes()[off + at] = std::byte{0xFF};
            if (mode == 1) buf.bytes()[off + at] = std::byte{static_cast<unsigned char>(rng())};
            if (mode == 2 && rng() % 64 == 0) buf.bytes()[off + at] = std::byte{static_cast<unsigned char>(rng())};
        }
        if (mode == 3 && len > 0) {
            for (int i = 0; i < 4; ++i) buf.bytes()[off + rng() % len] = std::byte{0xFF};
        }
        search::reseal(buf.bytes());
        const search::CompiledView v = search::read_compiled(buf.bytes());  // sizes unchanged: opens
        for (const std::string& q : queries) {
            try {
                for (const auto& [id, score] : v.index.search(q, 5)) {
                    CHECK(id < v.entries);
                    CHECK(score > 0);
                }
                for (const auto& [id, score] : v.index.title_or_alias_matches(q)) CHECK(id < v.entries);
            } catch (const matcher::CorruptIndex&) {
                ++thrown;
            }
        }
    }
    CHECK(thrown > 0);
}

TEST_CASE("entry reader: the writer's shape taken, anything else left to the host") {
    search::EntryReader r;
    search::EntryFields f;
    REQUIRE(r.read(R"({"scene_title": "旧", "aliases": ["a", "b"], "scene\u005ftitle": "\u8f66\u95e8", )"
                   R"("keywords": [], "scene_data": {"description": "说明", "steps": [{"text": "一", "sub_points": ["二", 3]}, 4], )"
                   R"("warning": ["警告"], "notice": "not a list", "tip": ["提示"], "n": 1e400}})",
                   f));
    CHECK(f.title == "车门");  // the last of duplicate keys, escapes decoded
    CHECK(f.aliases == std::vector<std::string_view>{"a", "b"});
    CHECK(f.keywords.empty());
    const std::vector<std::pair<search::Field, std::string_view>> texts = {
        {search::kDescription, "说明"}, {search::kSteps, "一"}, {search::kSteps, "二"},
        {search::kWarning, "警告"}, {search::kTip, "提示"}};
    CHECK(f.texts == texts);
    for (const char* line : {
             R"(["a list"])", R"({"aliases": []})", R"({"scene_title": 5})", R"({"scene_title": "x", "aliases": "x"})",
             R"({"scene_title": "x", "keywords": ["a", null]})", R"({"scene_title": "x", "aliases": null})",
             R"({"scene_title": "x")", "", "{\"scene_title\": \"\xff\"}"}) {
        INFO(line);
        CHECK_FALSE(r.read(line, f));
    }
    std::string deep = R"({"scene_title": "x", "scene_data": )" + std::string(300, '[') + std::string(300, ']') + "}";
    CHECK_FALSE(r.read(deep, f));  // past the reader's depth: the host decides
    CHECK(r.read(R"(  {"scene_title": ""}  )", f));
    CHECK(f.title.empty());
}
