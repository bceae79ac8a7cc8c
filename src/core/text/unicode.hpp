// UTF-8 iteration and the host's Unicode character semantics.
//
// Text in the core is UTF-8.  Strings that come from the host may hold lone
// surrogates; the bindings encode those as three-byte sequences (the
// "surrogatepass" form), so decoding here is lenient about them: they are
// ordinary, non-space, caseless characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::uni {

// Decodes the code point at s[i] and advances i past it.  Expects well-formed
// UTF-8 (surrogates allowed); a byte that does not start a complete sequence
// decodes as itself and advances by one, so a malformed sequence never
// swallows the ASCII byte after it.
inline char32_t next(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) { ++i; return b0; }
    const std::size_t n = s.size();
    auto cont = [&](std::size_t k) -> unsigned {  // payload of a continuation byte, or 0x100 when s[i+k] is none
        if (i + k >= n) return 0x100;
        const auto b = static_cast<unsigned char>(s[i + k]);
        return (b & 0xC0) == 0x80 ? (b & 0x3Fu) : 0x100;
    };
    if ((b0 & 0xE0) == 0xC0) {
        const unsigned c1 = cont(1);
        if (c1 < 0x100) { i += 2; return ((b0 & 0x1Fu) << 6) | c1; }
    } else if ((b0 & 0xF0) == 0xE0) {
        const unsigned c1 = cont(1), c2 = cont(2);
        if ((c1 | c2) < 0x100) { i += 3; return ((b0 & 0x0Fu) << 12) | (c1 << 6) | c2; }
    } else if ((b0 & 0xF8) == 0xF0) {
        const unsigned c1 = cont(1), c2 = cont(2), c3 = cont(3);
        if ((c1 | c2 | c3) < 0x100) { i += 4; return ((b0 & 0x07u) << 18) | (c1 << 12) | (c2 << 6) | c3; }
    }
    ++i;  // a stray byte stands for itself
    return b0;
}

// Moves i back to the start of the previous code point and returns it.
inline char32_t prev(std::string_view s, std::size_t& i) {
    std::size_t j = i - 1;
    while (j > 0 && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80 && i - j < 4) --j;
    std::size_t k = j;
    char32_t c = next(s, k);
    if (k != i) {  // not a well-formed sequence ending at i: take the single byte
        j = i - 1;
        c = static_cast<unsigned char>(s[j]);
    }
    i = j;
    return c;
}

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Number of code points.
std::size_t length(std::string_view s);

// Strict UTF-8 check (no surrogates, no overlongs).  Returns the offset of the
// first invalid byte, or npos when the text is valid.
std::size_t find_invalid_utf8(std::string_view s);

namespace detail {
bool is_space_slow(char32_t c);
extern const bool* const space_lead;  // 256 entries
}

// Bytes taken by the code point starting at s[i], consistent with next().
inline std::size_t seq_len(std::string_view s, std::size_t i) {
    std::size_t j = i;
    next(s, j);
    return j - i;
}

// str.isspace() of one character (the 29 white-space code points).
inline bool is_space(char32_t c) {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    if (c > 0x3000) return false;  // U+3000 is the last white-space character
    return detail::is_space_slow(c);
}

// Bytes taken by the white-space character at s[i], or 0 when s[i] starts
// anything else.  Most non-ASCII text is rejected by its first byte alone.
inline std::size_t space_at(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return is_space(b0) ? 1 : 0;
    if (!detail::space_lead[b0]) return 0;
    std::size_t j = i;
    return is_space(next(s, j)) ? j - i : 0;
}

namespace detail {
extern const unsigned char* const printable_bmp;  // 8192 bytes, one bit per BMP code point
bool is_printable_astral(char32_t c);
}

// str.isprintable() of one character (what repr() leaves unescaped).
inline bool is_printable(char32_t c) {
    if (c < 0x10000) return (detail::printable_bmp[c >> 3] >> (c & 7)) & 1;
    return detail::is_printable_astral(c);
}

// Value of a Unicode decimal digit (str.isdecimal()), or -1.
int decimal_value(char32_t c);

// Appends str.lower() of the code point at [pos, end) of s; the whole string is
// needed for the context-dependent final sigma.
void append_lower(std::string& out, std::string_view s, std::size_t pos, std::size_t end, char32_t c);

}  // namespace corvane::uni
