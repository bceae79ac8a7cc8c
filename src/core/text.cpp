#include "core/text.hpp"

namespace corvane::text {

std::string_view lstrip(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = i;
        if (!uni::is_space(uni::next(s, j))) break;
        i = j;
    }
    return s.substr(i);
}

std::string_view rstrip(std::string_view s) {
    std::size_t i = s.size();
    while (i > 0) {
        const auto last = static_cast<unsigned char>(s[i - 1]);
        if (last < 0x80) {
            if (!uni::is_space(last)) break;
            --i;
            continue;
        }
        std::size_t j = i;
        if (!uni::is_space(uni::prev(s, j))) break;
        i = j;
    }
    return s.substr(0, i);
}

namespace {
// Lead bytes of the only multi-byte sequences that can be white space
// (U+0085, U+00A0, U+1680, U+2000..U+205F, U+3000).
inline bool may_be_space_lead(unsigned char b) { return b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3; }
inline std::size_t sequence_length(unsigned char b) { return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1; }
}  // namespace

void append_clean_text(std::string& out, std::string_view s) {
    s = strip(s);
    const std::size_t n = s.size();
    std::size_t i = 0, run = 0;  // s[run, i) is copied unchanged
    while (i < n) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t next = i;
        bool space;
        if (b < 0x80) {
            next = i + 1;
            space = uni::is_space(b);
            if (!space) {
                i = next;
                continue;
            }
        } else if (!may_be_space_lead(b)) {
            const std::size_t len = sequence_length(b);
            i += i + len <= n ? len : 1;  // a cut-off sequence counts byte by byte, as uni::next reads it
            continue;
        } else {
            space = uni::is_space(uni::next(s, next));
            if (!space) {
                i = next;
                continue;
            }
        }
        // A run of white space (never at either end: s is stripped): one " ".
        std::size_t end = next;
        while (end < n) {
            std::size_t j = end;
            if (!uni::is_space(uni::next(s, j))) break;
            end = j;
        }
        if (!(end == next && b == ' ')) {
            out.append(s.data() + run, i - run);
            out.push_back(' ');
            run = end;
        }
        i = end;
    }
    out.append(s.data() + run, n - run);
}

std::string clean_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_clean_text(out, s);
    return out;
}

std::vector<std::string_view> extract_image_urls(std::string_view s) {
    std::vector<std::string_view> urls;
    for_each_image(s, [&](std::string_view url, std::size_t, std::size_t) { urls.push_back(url); });
    return urls;
}

std::string strip_images(std::string_view s) {
    std::string out;
    std::size_t kept = 0;
    for_each_image(s, [&](std::string_view, std::size_t begin, std::size_t end) {
        out.append(s.substr(kept, begin - kept));
        kept = end;
    });
    if (kept == 0) return std::string(strip(s));
    out.append(s.substr(kept));
    return std::string(strip(out));
}

namespace {
// The tail "\s+(.*)$" shared by the three line patterns, starting at `pos`:
// at least one white-space character, then the rest of the line.  `$` also
// matches before a final "\n", and "." never matches "\n".
bool match_space_then_rest(std::string_view s, std::size_t pos, std::string_view& rest) {
    std::size_t i = pos;
    std::size_t spaces = 0;
    while (i < s.size()) {
        std::size_t j = i;
        if (!uni::is_space(uni::next(s, j))) break;
        i = j;
        ++spaces;
    }
    if (spaces == 0) return false;
    const std::size_t nl = s.find('\n', i);
    if (nl == std::string_view::npos) {
        rest = s.substr(i);
        return true;
    }
    if (nl + 1 == s.size()) {
        rest = s.substr(i, nl - i);
        return true;
    }
    return false;
}

std::size_t skip_space(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        std::size_t j = i;
        if (!uni::is_space(uni::next(s, j))) break;
        i = j;
    }
    return i;
}
}  // namespace

bool match_heading(std::string_view line, Heading& out) {
    std::size_t n = 0;
    while (n < line.size() && line[n] == '#') ++n;
    if (n == 0 || n > 6) return false;
    std::string_view rest;
    if (!match_space_then_rest(line, n, rest)) return false;
    out.level = static_cast<int>(n);
    out.title = strip(rest);
    return true;
}

bool match_step(std::string_view line, StepLine& out) {
    std::size_t i = skip_space(line, 0);
    const std::size_t digits_begin = i;
    while (i < line.size()) {
        std::size_t j = i;
        if (uni::decimal_value(uni::next(line, j)) < 0) break;
        i = j;
    }
    if (i == digits_begin || i >= line.size() || line[i] != '.') return false;
    std::string_view rest;
    if (!match_space_then_rest(line, i + 1, rest)) return false;
    out.numeral = line.substr(digits_begin, i - digits_begin);
    out.text = rest;
    return true;
}

std::string numeral_digits(std::string_view numeral) {
    std::string digits;
    digits.reserve(numeral.size());
    std::size_t i = 0;
    while (i < numeral.size()) digits.push_back(static_cast<char>('0' + uni::decimal_value(uni::next(numeral, i))));
    return digits;
}

std::string numeral_value_text(std::string_view numeral) {
    std::string digits = numeral_digits(numeral);
    const std::size_t nz = digits.find_first_not_of('0');
    if (nz == std::string::npos) return "0";
    return digits.substr(nz);
}

bool match_bullet(std::string_view line, std::string_view& item) {
    const std::size_t i = skip_space(line, 0);
    if (i >= line.size() || line[i] != '-') return false;
    return match_space_then_rest(line, i + 1, item);
}

void append_normalized(std::string& out, std::string_view s) {
    std::size_t i = 0, run = 0;  // s[run, i) is copied unchanged
    const std::size_t n = s.size();
    auto flush = [&](std::size_t upto) {
        out.append(s.data() + run, upto - run);
    };
    while (i < n) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            if (uni::is_space(b)) {
                flush(i);
                run = ++i;
            } else if (b >= 'A' && b <= 'Z') {
                flush(i);
                out.push_back(static_cast<char>(b + 32));
                run = ++i;
            } else {
                ++i;
            }
            continue;
        }
        if (b >= 0xE4 && b <= 0xE9 && i + 2 < n) {  // U+4000..U+9FFF: caseless, never space
            i += 3;
            continue;
        }
        const std::size_t start = i;
        const char32_t c = uni::next(s, i);
        if (c >= 0x4E00 && c <= 0x9FFF) continue;
        flush(start);
        if (c == 0xFF08) {
            out.push_back('(');
        } else if (c == 0xFF09) {
            out.push_back(')');
        } else if (!uni::is_space(c)) {
            uni::append_lower(out, s, start, i, c);
        }
        run = i;
    }
    flush(n);
}

std::string normalize_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_normalized(out, s);
    return out;
}

}  // namespace corvane::text
