// libFuzzer target: the compiled index file reader and searches over what it
// accepts.  An input starting with the file's magic is read as a whole file;
// any other input edits a valid file built here: byte 0 holds flags (1: put
// the header and body hashes right again after editing, so the edits reach
// the array checks; 2: cut the file at the length in bytes 1..4), then each
// 5 bytes give an offset (u32, taken modulo the size) and a byte to xor in.
// Invariants: no crash or out-of-bounds read (ASan), results within range,
// BadCompiledFile or CorruptIndex as the only failures.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/search/matcher.hpp"
#include "core/search/compiled_file.hpp"

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
        std::vector<std::uint64_t> lines{0};
        for (int i = 0; i < 24; ++i) {
            b.begin_entry(titles[i % 6]);
            b.add_alias(titles[(i + 1) % 6]);
            b.add_keyword(titles[(i + 2) % 6]);
            b.add_keyword(titles[(i * 5) % 6]);
            lines.push_back(lines.back() + 40 + i);
        }
        const matcher::CompiledIndex ix = b.compile();
        std::string storage, out;
        const search::ExtraSection extra[] = {{search::tag("XTRA"), "other ranker"}};
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
        for (const char* q : {"前门锁车门", "空调滤芯更换胎压监测", "门", "更换雨刮门锁前门", "x"}) {
            try {
                for (const auto& [id, score] : v.index.search(q, 4)) {
                    CHECK(id < v.entries && score > 0);
                    (void)v.line(id, v.source.size);
                }
                for (std::uint32_t e = 0; e < 30; ++e) (void)v.index.score(q, e);
            } catch (const matcher::CorruptIndex&) {
            }
        }
    } catch (const search::BadCompiledFile&) {
    }
    return 0;
}
