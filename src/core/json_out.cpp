#include "core/json_out.hpp"

#include <cstdint>
#include <cstring>

namespace corvane::json {
namespace {

// 0 = copy, otherwise the character after the backslash ('u' = \u00XX).
constexpr unsigned char escape_of(unsigned char b) {
    switch (b) {
        case '"': return '"';
        case '\\': return '\\';
        case '\n': return 'n';
        case '\r': return 'r';
        case '\t': return 't';
        case '\b': return 'b';
        case '\f': return 'f';
        default: return b < 0x20 ? 'u' : 0;
    }
}

struct EscapeTable {
    unsigned char t[256];
    constexpr EscapeTable() : t() {
        for (int i = 0; i < 256; ++i) t[i] = escape_of(static_cast<unsigned char>(i));
    }
};
constexpr EscapeTable kEscape;

}  // namespace

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;

// Nonzero when one of the eight bytes is a control character, '"' or '\\'.
inline std::uint64_t needs_escape(std::uint64_t x) {
    const std::uint64_t q = x ^ (kOnes * '"'), b = x ^ (kOnes * '\\');
    return (((x - kOnes * 0x20) & ~x) | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHigh;
}

// Offset of the first byte of s that needs an escape, or s.size().
inline std::size_t clean_prefix(const char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::memcpy(&x, p + i, 8);
        if (needs_escape(x)) break;
    }
    if (i + 8 > n && i < n) {  // the tail, padded with a harmless byte
        std::uint64_t x = kOnes * 'a';
        std::memcpy(&x, p + i, n - i);
        if (!needs_escape(x)) return n;
    }
    while (i < n && kEscape.t[static_cast<unsigned char>(p[i])] == 0) ++i;
    return i;
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t i = clean_prefix(p, n);
    out.push_back('"');
    if (i == n) {
        out.append(p, n);
        out.push_back('"');
        return;
    }
    std::size_t run = 0;
    while (i < n) {
        const unsigned char e = kEscape.t[static_cast<unsigned char>(p[i])];
        if (e == 0) {
            i += clean_prefix(p + i, n - i);
            continue;
        }
        out.append(p + run, i - run);
        if (e == 'u') {
            static constexpr char hex[] = "0123456789abcdef";
            const auto b = static_cast<unsigned char>(p[i]);
            const char buf[6] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
            out.append(buf, 6);
        } else {
            const char buf[2] = {'\\', static_cast<char>(e)};
            out.append(buf, 2);
        }
        run = ++i;
    }
    out.append(p + run, n - run);
    out.push_back('"');
}

void Writer::newline_indent(std::size_t level) {
    out_.push_back('\n');
    out_.append(2 * level, ' ');
}

void Writer::element() {
    if (after_key_) {  // the value of a member: its separator came with the key
        after_key_ = false;
        return;
    }
    if (counts_.empty()) return;
    std::size_t& n = counts_.back();
    if (pretty_) {
        if (n) out_.push_back(',');
        newline_indent(counts_.size());
    } else if (n) {
        out_.append(", ");
    }
    ++n;
}

void Writer::open(char c) {
    element();
    out_.push_back(c);
    counts_.push_back(0);
}

void Writer::close(char c) {
    const std::size_t n = counts_.back();
    counts_.pop_back();
    if (pretty_ && n) newline_indent(counts_.size());
    out_.push_back(c);
}

namespace {

// The fixed layout of scenes and tree documents, written directly.  Levels
// are indentation levels of the indented form; the compact form ignores them.
class Emitter {
public:
    Emitter(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

    void scene(const Scene& s, int level) {
        const int m = level + 1;
        out_.push_back('{');
        first(m);
        out_.append("\"type\": \"scene\"");
        member(m, "\"title\": ");
        append_string(out_, s.title);
        member(m, "\"description\": ");
        append_string(out_, s.description);
        member(m, "\"images\": ");
        images(s.images, m);
        member(m, "\"steps\": ");
        if (s.steps.empty()) {
            out_.append("[]");
        } else {
            out_.push_back('[');
            for (std::size_t i = 0; i < s.steps.size(); ++i) {
                i ? sep(m + 1) : first(m + 1);
                step(s.steps[i], m + 1);
            }
            last(m);
            out_.push_back(']');
        }
        member(m, "\"warning\": ");
        strings(s.warning, m);
        member(m, "\"notice\": ");
        strings(s.notice, m);
        member(m, "\"tip\": ");
        strings(s.tip, m);
        last(level);
        out_.push_back('}');
    }

    void tree(const TreeDocument& doc) {
        out_.push_back('{');
        first(1);
        out_.append("\"type\": \"document\"");
        member(1, "\"doc_name\": ");
        append_string(out_, doc.doc_name);
        member(1, "\"title\": ");
        append_string(out_, doc.title);
        member(1, "\"children\": ");
        if (doc.children.empty()) {
            out_.append("[]");
        } else {
            out_.push_back('[');
            for (std::size_t i = 0; i < doc.children.size(); ++i) {
                i ? sep(2) : first(2);
                scene(doc.children[i], 2);
            }
            last(1);
            out_.push_back(']');
        }
        last(0);
        out_.push_back('}');
    }

private:
    static constexpr std::size_t kMaxIndent = 16;
    // ",\n" and the indentation of the deepest level used (steps' images: 6).
    static constexpr char kBreak[] = ",\n                                ";
    static_assert(sizeof kBreak - 3 >= 2 * kMaxIndent);

    // Before the first element of a container whose elements are at `level`.
    void first(int level) {
        if (pretty_) out_.append(kBreak + 1, 1 + 2 * static_cast<std::size_t>(level));
    }
    // Between two elements at `level`.
    void sep(int level) {
        if (pretty_)
            out_.append(kBreak, 2 + 2 * static_cast<std::size_t>(level));
        else
            out_.append(", ", 2);
    }
    // After the last element; the closing bracket is at `level`.
    void last(int level) { first(level); }
    void member(int level, std::string_view key_colon) {
        sep(level);
        out_.append(key_colon);
    }

    void strings(const std::vector<std::string>& items, int level) {
        if (items.empty()) {
            out_.append("[]");
            return;
        }
        out_.push_back('[');
        for (std::size_t i = 0; i < items.size(); ++i) {
            i ? sep(level + 1) : first(level + 1);
            append_string(out_, items[i]);
        }
        last(level);
        out_.push_back(']');
    }

    void images(const std::vector<Image>& items, int level) {
        if (items.empty()) {
            out_.append("[]");
            return;
        }
        out_.push_back('[');
        const int m = level + 2;
        for (std::size_t i = 0; i < items.size(); ++i) {
            i ? sep(level + 1) : first(level + 1);
            const Image& img = items[i];
            out_.push_back('{');
            first(m);
            out_.append("\"url\": ");
            append_string(out_, img.url);
            member(m, "\"position\": ");
            append_string(out_, img.position);
            member(m, "\"caption\": ");
            append_string(out_, img.caption);
            last(level + 1);
            out_.push_back('}');
        }
        last(level);
        out_.push_back(']');
    }

    void step(const Step& st, int level) {
        const int m = level + 1;
        out_.push_back('{');
        first(m);
        out_.append("\"index\": ");
        out_.append(st.index_text);
        member(m, "\"text\": ");
        append_string(out_, st.text);
        member(m, "\"sub_points\": ");
        strings(st.sub_points, m);
        member(m, "\"images\": ");
        images(st.images, m);
        last(level);
        out_.push_back('}');
    }

    std::string& out_;
    bool pretty_;
};

}  // namespace

void append_scene(std::string& out, const Scene& scene, bool pretty, int level) {
    Emitter(out, pretty).scene(scene, level);
}

void append_tree_file(std::string& out, const TreeDocument& doc) { Emitter(out, true).tree(doc); }

}  // namespace corvane::json
