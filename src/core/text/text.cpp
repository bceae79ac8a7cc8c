#include "core/text/text.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace corvane::text {

std::string_view lstrip(std::string_view s) {
    std::size_t i = 0, w;
    while (i < s.size() && (w = uni::space_at(s, i)) != 0) i += w;
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
        std::size_t j = i - 1;  // back to the first byte of the last character
        while (j > 0 && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80 && i - j < 4) --j;
        if (uni::space_at(s, j) != i - j) break;
        i = j;
    }
    return s.substr(0, i);
}

namespace {

// The byte ranges that hold every byte able to start a white-space character:
// [0, ascii_max] and [lead_min, lead_max], taken from the table.
struct LeadRanges {
    unsigned char ascii_max = 0, lead_min = 0xFF, lead_max = 0;
    LeadRanges() {
        for (int b = 0; b < 256; ++b) {
            if (!uni::detail::space_lead[b]) continue;
            if (b < 0x80) {
                ascii_max = static_cast<unsigned char>(b);
            } else {
                if (b < lead_min) lead_min = static_cast<unsigned char>(b);
                lead_max = static_cast<unsigned char>(b);
            }
        }
    }
};
// Built on first use, so static initialisers elsewhere may already clean text.
const LeadRanges& lead_ranges() {
    static const LeadRanges ranges;
    return ranges;
}

// The first offset at or after `j` whose byte may start a white-space
// character (space_lead), or s.size().
inline std::size_t skip_to_space_lead(std::string_view s, std::size_t j) {
    const std::size_t n = s.size();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
#ifdef __SSE2__
    const LeadRanges& kLeads = lead_ranges();
    const __m128i amax = _mm_set1_epi8(static_cast<char>(kLeads.ascii_max));
    const __m128i lmin = _mm_set1_epi8(static_cast<char>(kLeads.lead_min));
    const __m128i lmax = _mm_set1_epi8(static_cast<char>(kLeads.lead_max));
    while (j + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
        const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, amax), v);
        const __m128i lead = _mm_and_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, lmax), v),
                                           _mm_cmpeq_epi8(_mm_max_epu8(v, lmin), v));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, lead)));
        if (mask) {
            j += static_cast<std::size_t>(__builtin_ctz(mask));
            if (uni::detail::space_lead[p[j]]) return j;
            ++j;
            continue;
        }
        j += 16;
    }
#endif
    while (j < n && !uni::detail::space_lead[p[j]]) ++j;
    return j;
}

}  // namespace

void append_clean_text(std::string& out, std::string_view s) {
    s = strip(s);
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // Copy a run of non-space characters in one go.
        // Byte-wise: continuation bytes never start a white-space character, and
        // most first bytes are ruled out by the table alone.
        std::size_t j = i, w = 0;
        while ((j = skip_to_space_lead(s, j)) < n) {
            if ((w = uni::space_at(s, j)) != 0) break;
            ++j;
        }
        out.append(s.data() + i, j - i);
        if (j >= n) break;
        while (j < n && (w = uni::space_at(s, j)) != 0) j += w;
        out.push_back(' ');  // s is stripped, so a run of space is always followed by text
        i = j;
    }
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
std::size_t skip_space(std::string_view s, std::size_t i) {
    std::size_t w;
    while (i < s.size() && (w = uni::space_at(s, i)) != 0) i += w;
    return i;
}

// The tail "\s+(.*)$" shared by the three line patterns, starting at `pos`:
// at least one white-space character, then the rest of the line.  `$` also
// matches before a final "\n", and "." never matches "\n".
bool match_space_then_rest(std::string_view s, std::size_t pos, std::string_view& rest) {
    const std::size_t i = skip_space(s, pos);
    if (i == pos) return false;
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
        if (b >= 0xE4 && b <= 0xE9 && i + 2 < n && (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80 &&
            (static_cast<unsigned char>(s[i + 2]) & 0xC0) == 0x80) {  // U+4000..U+9FFF: caseless, never space
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
