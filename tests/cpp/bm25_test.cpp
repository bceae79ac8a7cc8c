// The BM25 section as another file would embed it: appended after other
// bytes, opened in place from the file's buffer, refused when misaligned or
// cut short.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/search/bm25.hpp"

using namespace corvane::search;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok && ++failures <= 10) std::fprintf(stderr, "FAILED %s\n", what);
}

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

int main() {
    Bm25Builder b;
    const char* texts[] = {"更换轮胎的步骤", "胎压检查", "ACC 自适应巡航"};
    for (const char* t : texts) {
        b.begin_entry();
        b.add_text(kDescription, t);
    }
    const Bm25Index idx = b.build();
    const auto direct = idx.view().search("轮胎胎压", 3);

    // Appended after a 13-byte prefix: padded to a multiple of 8.
    std::vector<std::uint64_t> file_words(1);  // 8-byte aligned storage for the "file"
    std::string file = "other section";
    const std::size_t at = idx.append_sections(file);
    check(at % 8 == 0 && at >= 13, "section offset aligned");
    check(file.size() == at + idx.bytes().size(), "section size");
    file_words.resize(file.size() / 8 + 1);
    std::memcpy(file_words.data(), file.data(), file.size());
    const auto* base = reinterpret_cast<const std::byte*>(file_words.data());
    const Bm25View v = Bm25View::from_bytes({base + at, idx.bytes().size()});
    check(v.size() == 3, "entries");
    check(v.search("轮胎胎压", 3) == direct, "same results from the embedded section");
    check(!direct.empty() && direct.front().first == 1, "胎压检查 first");

    check(throws([&] { Bm25View::from_bytes({base + at + 4, idx.bytes().size() - 4}); }), "misaligned refused");
    check(throws([&] { Bm25View::from_bytes({base + at, idx.bytes().size() - 8}); }), "cut short refused");
    check(throws([&] { Bm25View::from_bytes({base, 8}); }), "no header refused");
    check(throws([] { Bm25Builder(Bm25Params{.k1 = -1}); }), "bad k1 refused");

    if (failures) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::puts("bm25_test: all passed");
    return 0;
}
