// Text primitives shared by every module: trimming, clean_text, the image
// pattern, the line patterns of the manual parser, normalize_text and tokens.
// All operate on UTF-8 and count code points; "white space" is uni::is_space.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/text/unicode.hpp"

namespace corvane::text {

std::string_view lstrip(std::string_view s);
std::string_view rstrip(std::string_view s);
inline std::string_view strip(std::string_view s) { return lstrip(rstrip(s)); }
inline bool is_blank(std::string_view s) { return lstrip(s).empty(); }

// Every maximal run of white space becomes one " "; leading and trailing white
// space is removed.
std::string clean_text(std::string_view s);
void append_clean_text(std::string& out, std::string_view s);

// The image pattern "![](address)": calls fn(address, match_begin, match_end)
// for every non-overlapping occurrence, left to right.  The address ends at the
// first ")" and never spans a line feed.
template <class Fn>
void for_each_image(std::string_view s, Fn&& fn) {
    std::size_t from = 0;
    while (true) {
        const std::size_t start = s.find("![](", from);
        if (start == std::string_view::npos) return;
        const std::size_t body = start + 4;
        const std::size_t close = s.find_first_of(")\n", body);
        if (close == std::string_view::npos || s[close] == '\n') {
            from = start + 1;
            continue;
        }
        fn(s.substr(body, close - body), start, close + 1);
        from = close + 1;
    }
}

std::vector<std::string_view> extract_image_urls(std::string_view s);
// The text with every image removed, then trimmed (inner space kept).
std::string strip_images(std::string_view s);
inline bool has_image(std::string_view s) {
    bool found = false;
    for_each_image(s, [&](std::string_view, std::size_t, std::size_t) { found = true; });
    return found;
}

// "^(#{1,6})\s+(.*)$": level and the heading text with surrounding space removed.
struct Heading {
    int level = 0;
    std::string_view title;
};
bool match_heading(std::string_view line, Heading& out);

// "^\s*(\d+)\.\s+(.*)$": the numeral (any Unicode decimal digits) and the text.
struct StepLine {
    std::string_view numeral;  // as written, possibly non-ASCII digits
    std::string_view text;     // group 2
};
bool match_step(std::string_view line, StepLine& out);
// The numeral as ASCII digits, all of them (leading zeros kept: they count
// against the host's integer digit limit just as for int()).
std::string numeral_digits(std::string_view numeral);
// The decimal text of the numeral's value: ASCII digits without leading zeros.
std::string numeral_value_text(std::string_view numeral);

// "^\s*-\s+(.*)$": the item text.
bool match_bullet(std::string_view line, std::string_view& item);

// A quick, conservative test that normalize_text(s) == s: true for ASCII
// without capitals or white space and for U+4000..U+9FFF (caseless, never
// space); false for anything else, which then takes the full rule.
inline bool is_plainly_normalized(std::string_view s) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            if ((b >= 'A' && b <= 'Z') || uni::is_space(b)) return false;
            ++i;
        } else if (b >= 0xE4 && b <= 0xE9 && i + 2 < n && (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80 &&
                   (static_cast<unsigned char>(s[i + 2]) & 0xC0) == 0x80) {
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// str.lower(), "（" -> "(", "）" -> ")", all white space removed.
std::string normalize_text(std::string_view s);
void append_normalized(std::string& out, std::string_view s);

// Tokens of "[\u4e00-\u9fffA-Za-z0-9]+", left to right; at most `limit` of them.
inline bool is_token_char(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9');
}
// Bytes of the token character at s[i] (1 or 3), or 0 when s[i] does not
// start one.  Other characters may be skipped a byte at a time: no byte inside
// a character starts a token character.
inline std::size_t token_char_at(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return ((b0 | 0x20) >= 'a' && (b0 | 0x20) <= 'z') || (b0 >= '0' && b0 <= '9');
    if (b0 < 0xE4 || b0 > 0xE9 || i + 2 >= s.size()) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]), b2 = static_cast<unsigned char>(s[i + 2]);
    if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return 0;
    return b0 == 0xE4 && b1 < 0xB8 ? 0 : 3;  // U+4E00..U+9FFF
}
template <class Fn>
void for_each_token(std::string_view s, std::size_t limit, Fn&& fn) {
    std::size_t i = 0, count = 0;
    const std::size_t n = s.size();
    while (i < n && count < limit) {
        std::size_t w = token_char_at(s, i);
        if (!w) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        std::size_t cps = 0;
        do {
            i += w;
            ++cps;
        } while (i < n && (w = token_char_at(s, i)) != 0);
        fn(s.substr(start, i - start), cps);
        ++count;
    }
}

}  // namespace corvane::text
