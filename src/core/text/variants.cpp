#include "core/text/variants.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace corvane::text {

namespace {
#include "core/text/variants_table.inc"

template <std::size_t N>
const std::uint32_t* find_row(const std::uint32_t (&table)[N][2], char32_t c) {
    auto it = std::lower_bound(std::begin(table), std::end(table), c,
                               [](const std::uint32_t(&row)[2], char32_t v) { return row[0] < v; });
    return it != std::end(table) && (*it)[0] == c ? *it : nullptr;
}

// The readings table turned round: characters grouped by sound id, each
// group in code point order; group s is chars[start[s] .. start[s + 1]).
struct BySound {
    std::vector<char32_t> chars;
    std::vector<std::uint32_t> start;
    BySound() {
        std::vector<std::pair<std::uint32_t, char32_t>> rows;
        rows.reserve(std::size(kSound));
        for (const auto& r : kSound) rows.emplace_back(r[1], static_cast<char32_t>(r[0]));
        std::sort(rows.begin(), rows.end());
        const std::uint32_t sounds = rows.empty() ? 0 : rows.back().first + 1;
        start.assign(sounds + 1, 0);
        for (const auto& [s, c] : rows) {
            chars.push_back(c);
            ++start[s + 1];
        }
        for (std::uint32_t s = 0; s < sounds; ++s) start[s + 1] += start[s];
    }
};
const BySound& by_sound() {
    static const BySound table;  // immutable once made; thread-safe initialisation
    return table;
}
}  // namespace

char32_t to_simplified(char32_t c) {
    if (c < 0x3400) return c;
    const std::uint32_t* row = find_row(kTradToSimp, c);
    return row ? static_cast<char32_t>(row[1]) : c;
}

std::string to_simplified(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t c = uni::next(s, i);
        const char32_t m = to_simplified(c);
        if (m == c)
            out.append(s.substr(start, i - start));
        else
            uni::append_utf8(out, m);
    }
    return out;
}

int sound_of(char32_t c) {
    const std::uint32_t* row = find_row(kSound, c);
    return row ? static_cast<int>(row[1]) : -1;
}

std::span<const char32_t> same_sound(char32_t c) {
    const int s = sound_of(c);
    if (s < 0) return {};
    const BySound& t = by_sound();
    return std::span<const char32_t>(t.chars).subspan(t.start[s], t.start[s + 1] - t.start[s]);
}

std::vector<char32_t> homophones_of(char32_t c) {
    std::vector<char32_t> out;
    for (char32_t x : same_sound(c))
        if (x != c) out.push_back(x);
    return out;
}

}  // namespace corvane::text
