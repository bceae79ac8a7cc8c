#include "core/json/writer.hpp"

#include <cstdint>
#include <cstring>
#include <new>

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

namespace {

// Writes the escaped form of p[0, n) at dst, which has room for 6 * n bytes;
// returns the end.
char* write_escaped(char* dst, const char* p, std::size_t n) {
    std::size_t i = 0, run = 0;
    while (i < n) {
        const unsigned char e = kEscape.t[static_cast<unsigned char>(p[i])];
        if (e == 0) {
            i += clean_prefix(p + i, n - i);
            continue;
        }
        std::memcpy(dst, p + run, i - run);
        dst += i - run;
        *dst++ = '\\';
        if (e == 'u') {
            static constexpr char hex[] = "0123456789abcdef";
            const auto b = static_cast<unsigned char>(p[i]);
            *dst++ = 'u';
            *dst++ = '0';
            *dst++ = '0';
            *dst++ = hex[b >> 4];
            *dst++ = hex[b & 15];
        } else {
            *dst++ = static_cast<char>(e);
        }
        run = ++i;
    }
    std::memcpy(dst, p + run, n - run);
    return dst + (n - run);
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    out.push_back('"');
    if (clean_prefix(p, n) == n) {
        out.append(p, n);
    } else {
        char stack[512];
        std::string heap;
        char* buf = stack;
        if (6 * n > sizeof stack) {
            heap.resize(6 * n);
            buf = heap.data();
        }
        out.append(buf, static_cast<std::size_t>(write_escaped(buf, p, n) - buf));
    }
    out.push_back('"');
}

void Buf::grow(std::size_t n) {
    std::size_t cap = cap_ ? 2 * cap_ : 4096;
    while (cap - size_ < n) cap *= 2;
    char* data = static_cast<char*>(std::realloc(data_, cap));
    if (!data) throw std::bad_alloc();
    data_ = data;
    cap_ = cap;
}

void Buf::put_string(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    char* dst = room(n + 2);
    if (clean_prefix(p, n) == n) {
        dst[0] = '"';
        std::memcpy(dst + 1, p, n);
        dst[n + 1] = '"';
        size_ += n + 2;
        return;
    }
    dst = room(6 * n + 2);
    *dst = '"';
    char* end = write_escaped(dst + 1, p, n);
    *end++ = '"';
    size_ += static_cast<std::size_t>(end - dst);
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
    Emitter(Buf& out, bool pretty) : out_(out), pretty_(pretty) {}

    void scene(const Scene& s, int level) {
        const int m = level + 1;
        out_.put('{');
        first(m);
        out_.put("\"type\": \"scene\"");
        member(m, "\"title\": ");
        out_.put_string(s.title);
        member(m, "\"description\": ");
        out_.put_string(s.description);
        member(m, "\"images\": ");
        images(s.images, m);
        member(m, "\"steps\": ");
        if (s.steps.empty()) {
            out_.put("[]");
        } else {
            out_.put('[');
            for (std::size_t i = 0; i < s.steps.size(); ++i) {
                i ? sep(m + 1) : first(m + 1);
                step(s.steps[i], m + 1);
            }
            last(m);
            out_.put(']');
        }
        member(m, "\"warning\": ");
        strings(s.warning, m);
        member(m, "\"notice\": ");
        strings(s.notice, m);
        member(m, "\"tip\": ");
        strings(s.tip, m);
        last(level);
        out_.put('}');
    }

    void tree(const TreeDocument& doc) {
        out_.put('{');
        first(1);
        out_.put("\"type\": \"document\"");
        member(1, "\"doc_name\": ");
        out_.put_string(doc.doc_name);
        member(1, "\"title\": ");
        out_.put_string(doc.title);
        member(1, "\"children\": ");
        if (doc.children.empty()) {
            out_.put("[]");
        } else {
            out_.put('[');
            for (std::size_t i = 0; i < doc.children.size(); ++i) {
                i ? sep(2) : first(2);
                scene(doc.children[i], 2);
            }
            last(1);
            out_.put(']');
        }
        last(0);
        out_.put('}');
    }

private:
    static constexpr std::size_t kMaxIndent = 16;
    // ",\n" and the indentation of the deepest level used (steps' images: 6).
    static constexpr char kBreak[] = ",\n                                ";
    static_assert(sizeof kBreak - 3 >= 2 * kMaxIndent);

    // Before the first element of a container whose elements are at `level`.
    void first(int level) {
        if (pretty_) out_.put(std::string_view(kBreak + 1, 1 + 2 * static_cast<std::size_t>(level)));
    }
    // Between two elements at `level`.
    void sep(int level) {
        if (pretty_)
            out_.put(std::string_view(kBreak, 2 + 2 * static_cast<std::size_t>(level)));
        else
            out_.put(std::string_view(", ", 2));
    }
    // After the last element; the closing bracket is at `level`.
    void last(int level) { first(level); }
    void member(int level, std::string_view key_colon) {
        sep(level);
        out_.put(key_colon);
    }

    void strings(const std::vector<std::string>& items, int level) {
        if (items.empty()) {
            out_.put("[]");
            return;
        }
        out_.put('[');
        for (std::size_t i = 0; i < items.size(); ++i) {
            i ? sep(level + 1) : first(level + 1);
            out_.put_string(items[i]);
        }
        last(level);
        out_.put(']');
    }

    void images(const std::vector<Image>& items, int level) {
        if (items.empty()) {
            out_.put("[]");
            return;
        }
        out_.put('[');
        const int m = level + 2;
        for (std::size_t i = 0; i < items.size(); ++i) {
            i ? sep(level + 1) : first(level + 1);
            const Image& img = items[i];
            out_.put('{');
            first(m);
            out_.put("\"url\": ");
            out_.put_string(img.url);
            member(m, "\"position\": ");
            out_.put_string(img.position);
            member(m, "\"caption\": ");
            out_.put_string(img.caption);
            last(level + 1);
            out_.put('}');
        }
        last(level);
        out_.put(']');
    }

    void step(const Step& st, int level) {
        const int m = level + 1;
        out_.put('{');
        first(m);
        out_.put("\"index\": ");
        out_.put(st.index_text);
        member(m, "\"text\": ");
        out_.put_string(st.text);
        member(m, "\"sub_points\": ");
        strings(st.sub_points, m);
        member(m, "\"images\": ");
        images(st.images, m);
        last(level);
        out_.put('}');
    }

    Buf& out_;
    bool pretty_;
};

}  // namespace

void append_scene(Buf& out, const Scene& scene, bool pretty, int level) {
    Emitter(out, pretty).scene(scene, level);
}

void append_tree_file(Buf& out, const TreeDocument& doc) { Emitter(out, true).tree(doc); }

}  // namespace corvane::json
