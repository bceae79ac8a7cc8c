// libFuzzer target: the compiled index file reader and searches over what it
// accepts.  An input starting with the file's magic is read as a whole file;
// any other input edits a valid file built here: byte 0 holds flags (1: put
// the header and body hashes right again after editing, so the edits reach
// the array checks; 2: cut the file at the length in bytes 1..4), then each
// 5 bytes give an offset (u32, taken modulo the size) and a byte to xor in.
// The hybrid ranker's sections (BM25 image, base titles) are read and searched
// too, with the stage merge the engine uses: the BM25 image both as the engine
// opens it (header only, blocks checked as decoded) and checked whole, and
// top_k with weights, a filter and boosts; the heading path field (its image
// over distinct paths and the entries under each) through top_k_entries and
// the fused ranker.
// The matcher's index has a node of 288 children and labels past the BMP, so
// the trie's escape tables are there to be damaged.
// Invariants: no crash or out-of-bounds read (ASan), results within range,
// BadCompiledFile, CorruptIndex or Bm25Error as the only failures.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/search/bm25.hpp"
#include "core/search/compiled_file.hpp"
#include "core/search/hybrid.hpp"
#include "core/search/matcher.hpp"

#define CHECK(cond)           \
    do {                      \
        if (!(cond)) abort(); \
    } while (0)

using namespace corvane;

namespace {

const std::string& base_file() {
    static const std::string bytes = [] {
        matcher::IndexBuilder b;
        const char* titles[] = {"前门锁", "车门", "空调滤芯更换", "胎压监测", "门锁", "更换雨刮"};
        search::Bm25Builder bm;
        std::string base;
        std::vector<std::uint64_t> lines{0};
        for (int i = 0; i < 24; ++i) {
            bm.begin_entry();
            bm.add_text(search::kTitle, titles[i % 6]);
            bm.add_text(search::kDescription, titles[(i + 3) % 6]);
            search::BaseTitles::add(base, static_cast<std::uint32_t>(i), i % 4 ? "机油检查（H7）" : "门锁(A1)");
            b.begin_entry(titles[i % 6]);
            b.add_alias(titles[(i + 1) % 6]);
            b.add_keyword(titles[(i + 2) % 6]);
            b.add_keyword(titles[(i * 5) % 6]);
            // "x" + one of 288 CJK characters: a node whose child count is
            // stored apart; labels past the BMP, stored apart too.
            for (int k = 0; k < 12; ++k) {
                const char32_t c = 0x4E00 + static_cast<char32_t>(12 * i + k);
                const char x[] = {'x', static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                                  static_cast<char>(0x80 | (c & 0x3F)), 0};
                b.add_keyword(x);
            }
            b.add_keyword(i % 2 ? "\U00020001\U00020002" : "\U00020001\U0001F600门");
            lines.push_back(lines.back() + 40 + i);
        }
        const matcher::CompiledIndex ix = b.compile();
        std::string storage, out;
        static const search::Bm25Index image = bm.build();
        static const std::string base_bytes = base;
        // With the entries' title lengths: the version storing a length
        // beside each posting.
        std::vector<search::TitleLengths> lengths;
        for (int i = 0; i < 24; ++i) {
            search::TitleLengths t = search::TitleLengths::of_title(i % 4 ? "机油检查（H7）" : "门锁(A1)");
            t.add_alias(titles[(i + 1) % 6]);
            lengths.push_back(t);
        }
        static const std::string base_compiled =
            search::BaseTitles::decode({reinterpret_cast<const std::byte*>(base_bytes.data()), base_bytes.size()}, 24)
                .encode_compiled(lengths);
        // Heading paths: four distinct ones under 24 entries.
        static const search::GroupedBm25 paths = [] {
            std::vector<std::string> texts;
            for (int i = 0; i < 24; ++i) texts.push_back(i % 4 == 3 ? "" : i % 3 ? "车门\n门锁" : "空调");
            return search::GroupedBm25::build(texts);
        }();
        const search::ExtraSection extra[] = {
            {search::tag("XTRA"), "other ranker"},
            {search::tag("BMHP"), std::string_view(reinterpret_cast<const char*>(paths.image.bytes().data()), paths.image.bytes().size())},
            {search::tag("HPGR"), std::string_view(reinterpret_cast<const char*>(paths.group_bytes().data()), paths.group_bytes().size())},
            {search::tag("BM25"), std::string_view(reinterpret_cast<const char*>(image.bytes().data()), image.bytes().size())},
            {search::tag("BTTL"), base_bytes},
            {search::tag("BTAC"), base_compiled}};
        for (std::string_view p : search::compiled_pieces(ix, lines, {lines.back(), 1, 2}, extra, storage)) out += p;
        return out;
    }();
    return bytes;
}

std::uint32_t u32(const uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file;
    if (size >= 8 && std::memcmp(data, "\x89" "CVX", 4) == 0) {
        file.assign(reinterpret_cast<const char*>(data), size);
    } else {
        file = base_file();
        const uint8_t flags = size ? data[0] : 0;
        std::size_t at = 1;
        if ((flags & 2) && size >= 5) {
            file.resize(std::min<std::size_t>(file.size(), u32(data + 1)));
            at = 5;
        }
        for (; at + 5 <= size && !file.empty(); at += 5) file[u32(data + at) % file.size()] ^= static_cast<char>(data[at + 4]);
        if (flags & 1) {
            std::vector<std::uint64_t> words((file.size() + 7) / 8);
            if (!file.empty()) std::memcpy(words.data(), file.data(), file.size());
            if (search::reseal({reinterpret_cast<std::byte*>(words.data()), file.size()}))
                std::memcpy(file.data(), words.data(), file.size());
        }
    }
    std::vector<std::uint64_t> aligned((file.size() + 7) / 8);
    if (!file.empty()) std::memcpy(aligned.data(), file.data(), file.size());
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(aligned.data()), file.size());
    try {
        const search::CompiledView v = search::read_compiled(bytes);
        (void)search::verify_body(v);
        for (const char* q : {"前门锁车门", "空调滤芯更换胎压监测", "门", "更换雨刮门锁前门", "x",
                              "x\u4E01x\u4F00\U00020001\U00020002\U00020001\U0001F600门"}) {
            try {
                for (const auto& [id, score] : v.index.search(q, 4)) {
                    CHECK(id < v.entries && score > 0);
                    (void)v.line(id, v.source.size);
                }
                for (std::uint32_t e = 0; e < 30; ++e) (void)v.index.score(q, e);
            } catch (const matcher::CorruptIndex&) {
            }
        }
        std::span<const std::byte> bm25_bytes, base_bytes, base_compiled, path_bytes, group_bytes;
        for (const auto& [t, b] : v.other) {
            if (t == search::tag("BMHP")) path_bytes = b;
            if (t == search::tag("HPGR")) group_bytes = b;
            if (t == search::tag("BM25")) bm25_bytes = b;
            if (t == search::tag("BTTL")) base_bytes = b;
            if (t == search::tag("BTAC")) base_compiled = b;
        }
        // The base titles' matcher read in place: sizes refused at once,
        // links and entry ids as the search reads them.
        try {
            const search::BaseTitles mapped = search::BaseTitles::over(base_compiled, v.entries);
            for (const char* q : {"机油检查", "门锁(A1)门锁", "x"})
                try {
                    std::vector<std::uint16_t> weighs;
                    const std::vector<std::uint32_t> found = mapped.matches(q, &weighs);
                    CHECK(weighs.empty() || weighs.size() == found.size());
                    for (std::uint32_t e : found) CHECK(e < v.entries);
                } catch (const matcher::CorruptIndex&) {
                }
        } catch (const search::Bm25Error&) {
        }
        try {
            const search::Bm25View lazy = search::Bm25View::open(bm25_bytes);
            const std::uint64_t allow[1] = {0x5555555555555555ull};
            const search::DocFilter filter{allow};
            const search::QueryTerm qt[] = {{"门锁", 1.0}, {"更换", 2.5}, {"前门", 0.5}};
            const search::Boost boosts[] = {{3, 0.5}, {1, -0.25}, {3, 1.0}};
            try {
                for (const search::Hit& h : lazy.top_k(qt, 4, &filter, boosts)) CHECK(h.first < lazy.size() && filter.allows(h.first));
                for (const search::Hit& h : lazy.search("前门锁车门", 3)) CHECK(h.first < lazy.size());
                for (std::uint32_t e = 0; e < 30; ++e) (void)lazy.score({"门锁", "x"}, e);
                // The scorer reads checked blocks partly: twice over, so that
                // the second pass takes that path.
                for (int pass = 0; pass < 2; ++pass) {
                    const search::Bm25Scorer scorer(lazy, {"门锁", "更换", "x"});
                    for (std::uint32_t e = 0; e < 40; ++e) CHECK(std::isfinite(scorer(e)));
                }
                search::FusedQuery fq;
                fq.terms = {"门锁", "更换", "前门", "zz"};
                fq.homophones = {"车门"};
                fq.content_chars = 4;
                const std::vector<search::TitleMatch> tm = {{1, 2}, {40, 1}};
                for (const search::Ranked& r : search::fuse(fq, tm, lazy, {}, 3)) CHECK(r.entry < lazy.size());
            } catch (const search::Bm25Error&) {
            }
            // The heading path field: its image over distinct paths and the
            // entries under each, both as damaged as the rest.
            try {
                const search::Bm25View path = search::Bm25View::open(path_bytes);
                const search::PathField field{&path, search::DocGroups::open(group_bytes)};
                for (const search::DocFilter* f : {static_cast<const search::DocFilter*>(nullptr), &filter})
                    for (const search::Hit& h : path.top_k_entries(qt, 5, field.groups, f))
                        CHECK(h.first < field.groups.entries() && (!f || f->allows(h.first)));
                search::FusedQuery fq;
                fq.terms = {"门锁", "空调", "车门"};
                fq.content_chars = 4;
                for (const search::Ranked& r : search::fuse(fq, {}, lazy, {}, 3, &field)) CHECK(r.entry < lazy.size());
            } catch (const search::Bm25Error&) {
            }
            const search::Bm25View bm = search::Bm25View::from_bytes(bm25_bytes);
            const search::BaseTitles base = search::BaseTitles::decode(base_bytes, v.entries);
            for (const char* q : {"前门锁车门", "机油检查", "门锁怎么开", "x"}) {
                try {
                    std::vector<std::pair<std::uint32_t, int>> first;
                    for (const auto& [id, score] : v.index.title_or_alias_matches(q, base.matches(q))) {
                        CHECK(id < v.entries);
                        first.emplace_back(id, score);
                    }
                    for (const search::Ranked& r : search::merge_stages(first, search::hybrid_terms(q), bm, 0.5, 5))
                        CHECK(r.entry < v.entries || r.entry < bm.size());
                } catch (const matcher::CorruptIndex&) {
                }
            }
        } catch (const search::Bm25Error&) {
        }
    } catch (const search::BadCompiledFile&) {
    }
    return 0;
}
