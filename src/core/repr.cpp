#include "core/repr.hpp"

#include "core/unicode.hpp"

namespace corvane::repr {
namespace {

void hex_escape(std::string& out, char prefix, char32_t c, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('\\');
    out.push_back(prefix);
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
}

}  // namespace

void append_str(std::string& out, std::string_view s) {
    const bool has_single = s.find('\'') != std::string_view::npos;
    const bool has_double = s.find('"') != std::string_view::npos;
    const char quote = has_single && !has_double ? '"' : '\'';
    out.push_back(quote);
    std::size_t i = 0, run = 0;  // s[run, i) is copied unchanged
    auto flush = [&] { out.append(s.data() + run, i - run); };
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b >= 0x20 && b < 0x7F && b != static_cast<unsigned char>(quote) && b != '\\') {
            ++i;
            continue;
        }
        const std::size_t start = i;
        const char32_t c = b < 0x80 ? (++i, b) : uni::next(s, i);
        if (b >= 0x80 && uni::is_printable(c)) continue;
        i = start;
        flush();
        i = start + (b < 0x80 ? 1 : uni::seq_len(s, start));
        run = i;
        if (b == static_cast<unsigned char>(quote) || b == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(b));
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (c <= 0xFF) {
            hex_escape(out, 'x', c, 2);
        } else if (c <= 0xFFFF) {
            hex_escape(out, 'u', c, 4);
        } else {
            hex_escape(out, 'U', c, 8);
        }
    }
    flush();
    out.push_back(quote);
}

}  // namespace corvane::repr
