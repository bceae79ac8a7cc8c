#include "core/text/unicode.hpp"

#include <cstring>

#include "unicode_tables.inc"

namespace corvane::uni {
namespace {
namespace ud = corvane::unicode_data;

inline const ud::Record& rec(char32_t c) {
    if (c >= 0x110000) return ud::kRecords[0];
    const unsigned block = ud::kStage1[c >> ud::kBlockShift];
    return ud::kRecords[ud::kStage2[(block << ud::kBlockShift) | (c & ((1u << ud::kBlockShift) - 1))]];
}

inline bool cased(char32_t c) { return rec(c).flags & ud::kCased; }
inline bool case_ignorable(char32_t c) { return rec(c).flags & ud::kCaseIgnorable; }

// str.lower()'s rule for U+03A3: final sigma when a cased letter precedes it and
// none follows it, case-ignorable characters being skipped on both sides.
bool is_final_sigma(std::string_view s, std::size_t pos, std::size_t end) {
    std::size_t j = pos;
    char32_t c = 0;
    bool found = false;
    while (j > 0) {
        c = prev(s, j);
        if (!case_ignorable(c)) { found = true; break; }
    }
    if (!found || !cased(c)) return false;
    j = end;
    while (j < s.size()) {
        c = next(s, j);
        if (!case_ignorable(c)) return !cased(c);
    }
    return true;
}
}  // namespace

namespace detail {
bool is_space_slow(char32_t c) { return rec(c).flags & ud::kSpace; }
const bool* const space_lead = ud::kSpaceLead;
const unsigned char* const printable_bmp = ud::kPrintableBmp;
bool is_printable_astral(char32_t c) { return rec(c).flags & ud::kPrintable; }
}  // namespace detail

std::size_t length(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char b : s) n += (b & 0xC0) != 0x80;
    return n;
}

std::size_t find_invalid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    auto is_cont = [](unsigned b) { return (b & 0xC0) == 0x80; };
    while (i < n) {
        // Fast path: ASCII, and three-byte characters without range exceptions
        // (U+1000..U+FFFF but U+D000..U+DFFF), the bulk of CJK text.
        while (i + 3 <= n) {
            const unsigned b = p[i];
            if (b < 0x80) {
                ++i;
                continue;
            }
            if (b - 0xE1u > 0xEFu - 0xE1u || b == 0xED || ((p[i + 1] ^ 0x80u) | (p[i + 2] ^ 0x80u)) >= 0x40u) break;
            i += 3;
        }
        if (i >= n) break;
        const unsigned b0 = p[i];
        if (b0 < 0x80) { ++i; continue; }
        auto at = [&](std::size_t k) -> unsigned { return i + k < n ? p[i + k] : 0u; };
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (!is_cont(at(1))) return i;
            i += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            const unsigned b1 = at(1);
            if (!is_cont(b1) || (b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xED && b1 > 0x9F) || !is_cont(at(2))) return i;
            i += 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            const unsigned b1 = at(1);
            if (!is_cont(b1) || (b0 == 0xF0 && b1 < 0x90) || (b0 == 0xF4 && b1 > 0x8F) || !is_cont(at(2)) ||
                !is_cont(at(3)))
                return i;
            i += 4;
        } else {
            return i;
        }
    }
    return std::string_view::npos;
}


int decimal_value(char32_t c) {
    if (c < 0x80) return (c >= '0' && c <= '9') ? static_cast<int>(c - '0') : -1;
    const auto& r = rec(c);
    return (r.flags & ud::kDecimal) ? r.digit : -1;
}

void append_lower(std::string& out, std::string_view s, std::size_t pos, std::size_t end, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        return;
    }
    if (c == 0x3A3) {
        append_utf8(out, is_final_sigma(s, pos, end) ? 0x3C2 : 0x3C3);
        return;
    }
    const auto& r = rec(c);
    if (r.flags & ud::kMultiLower) {
        const auto& m = ud::kLowerMulti[r.lower];
        for (unsigned k = 0; k < m.n; ++k) append_utf8(out, m.cp[k]);
    } else {
        append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(c) + r.lower));
    }
}

}  // namespace corvane::uni
