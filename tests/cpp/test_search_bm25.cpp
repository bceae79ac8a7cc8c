// search/bm25: the BM25 section as another file embeds it -- appended after
// other bytes, opened in place from the file's buffer, refused when misaligned
// or cut short.  (The ranking itself is checked against a plain Python BM25 in
// tests/test_hybrid.py.)
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

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
