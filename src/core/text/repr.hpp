// The host's text form (repr) of a string: quotes chosen as the host chooses
// them, backslash escapes for quotes, backslashes, \t \n \r and every
// non-printable character.
#pragma once

#include <cstddef>
#include <string>

#include "core/text/unicode.hpp"

namespace corvane::repr {

// Appends repr(s), UTF-8 encoded, of a string given as code points (one code
// unit per character, lone surrogates included, as the host stores strings).
template <class Unit>
void append_str(std::string& out, const Unit* s, std::size_t n) {
    bool has_single = false, has_double = false;
    for (std::size_t i = 0; i < n; ++i) {
        has_single |= s[i] == '\'';
        has_double |= s[i] == '"';
    }
    const char32_t quote = has_single && !has_double ? '"' : '\'';
    // Written through a raw cursor into room for the longest form (\U + 8
    // hex digits = 10 bytes a character), then cut to size.
    const std::size_t base = out.size();
    out.resize(base + 2 + 10 * n);
    char* w = out.data() + base;
    *w++ = static_cast<char>(quote);
    static constexpr char kHex[] = "0123456789abcdef";
    auto hex = [&](char prefix, char32_t c, int digits) {
        *w++ = '\\';
        *w++ = prefix;
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *w++ = kHex[(c >> shift) & 0xF];
    };
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = s[i];
        if (c >= 0x20 && c < 0x7F) {
            if (c == quote || c == '\\') *w++ = '\\';
            *w++ = static_cast<char>(c);
        } else if (c == '\t' || c == '\n' || c == '\r') {
            *w++ = '\\';
            *w++ = c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
        } else if (c >= 0x80 && uni::is_printable(c)) {
            if (c < 0x800) {
                *w++ = static_cast<char>(0xC0 | (c >> 6));
                *w++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                *w++ = static_cast<char>(0xE0 | (c >> 12));
                *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *w++ = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                *w++ = static_cast<char>(0xF0 | (c >> 18));
                *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *w++ = static_cast<char>(0x80 | (c & 0x3F));
            }
        } else if (c <= 0xFF) {
            hex('x', c, 2);
        } else if (c <= 0xFFFF) {
            hex('u', c, 4);
        } else {
            hex('U', c, 8);
        }
    }
    *w++ = static_cast<char>(quote);
    out.resize(static_cast<std::size_t>(w - out.data()));
}

}  // namespace corvane::repr
