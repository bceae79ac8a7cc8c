// Query-side variants of how owners type: Traditional characters read as
// Simplified, and characters that sound the same (one pinyin syllable, tone
// ignored) for homophone typos of pinyin input.  The tables are generated
// from maintained packages by tools/gen_variants.py (variants_table.inc).
#pragma once

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::text {

// The Simplified form of one character (itself when it has none).
char32_t to_simplified(char32_t c);
// Every character of s mapped by to_simplified (invalid UTF-8 kept as is).
std::string to_simplified(std::string_view s);

// The sound id of a Han character, or -1 when it has no reading in the table.
int sound_of(char32_t c);
// The characters sharing c's reading (c among them), in code point order.
std::span<const char32_t> same_sound(char32_t c);
// Those characters without c itself.
std::vector<char32_t> homophones_of(char32_t c);

// Variants of a term of two Han characters with one character replaced by a
// homophone, for which accept(variant) holds; at most `limit` of them.
template <class Accept>
std::vector<std::string> homophone_variants(std::u32string_view term, Accept&& accept, std::size_t limit = 8);

}  // namespace corvane::text

#include "core/text/unicode.hpp"

template <class Accept>
std::vector<std::string> corvane::text::homophone_variants(std::u32string_view term, Accept&& accept, std::size_t limit) {
    std::vector<std::string> out;
    std::string v;
    for (std::size_t at = 0; at < term.size() && out.size() < limit; ++at) {
        for (char32_t alt : same_sound(term[at])) {
            if (alt == term[at]) continue;
            v.clear();
            for (std::size_t i = 0; i < term.size(); ++i) uni::append_utf8(v, i == at ? alt : term[i]);
            if (accept(std::string_view(v))) {
                out.push_back(v);
                if (out.size() >= limit) break;
            }
        }
    }
    return out;
}
