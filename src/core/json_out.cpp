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

void append_string(std::string& out, std::string_view s) {
    out.push_back('"');
    const char* p = s.data();
    const char* const end = p + s.size();
    const char* run = p;
    while (p != end) {
        // Eight bytes at a time while none of them needs an escape.
        while (end - p >= 8) {
            std::uint64_t x;
            std::memcpy(&x, p, 8);
            constexpr std::uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
            const std::uint64_t q = x ^ (ones * '"'), b = x ^ (ones * '\\');
            const std::uint64_t hit = ((x - ones * 0x20) & ~x) | ((q - ones) & ~q) | ((b - ones) & ~b);
            if (hit & high) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char e = kEscape.t[static_cast<unsigned char>(*p)];
        if (e == 0) {
            ++p;
            continue;
        }
        out.append(run, static_cast<std::size_t>(p - run));
        if (e == 'u') {
            static constexpr char hex[] = "0123456789abcdef";
            const auto b = static_cast<unsigned char>(*p);
            const char buf[6] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
            out.append(buf, 6);
        } else {
            const char buf[2] = {'\\', static_cast<char>(e)};
            out.append(buf, 2);
        }
        run = ++p;
    }
    out.append(run, static_cast<std::size_t>(end - run));
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

void write_string_list(Writer& w, const std::vector<std::string>& items) {
    w.begin_array();
    for (const std::string& s : items) w.string(s);
    w.end_array();
}

void write_images(Writer& w, const std::vector<Image>& images) {
    w.begin_array();
    for (const Image& img : images) {
        w.begin_object();
        w.key("url");
        w.string(img.url);
        w.key("position");
        w.string(img.position);
        w.key("caption");
        w.string(img.caption);
        w.end_object();
    }
    w.end_array();
}

}  // namespace

void write_scene(Writer& w, const Scene& scene) {
    w.begin_object();
    w.key("type");
    w.string("scene");
    w.key("title");
    w.string(scene.title);
    w.key("description");
    w.string(scene.description);
    w.key("images");
    write_images(w, scene.images);
    w.key("steps");
    w.begin_array();
    for (const Step& step : scene.steps) {
        w.begin_object();
        w.key("index");
        w.raw(step.index_text);
        w.key("text");
        w.string(step.text);
        w.key("sub_points");
        write_string_list(w, step.sub_points);
        w.key("images");
        write_images(w, step.images);
        w.end_object();
    }
    w.end_array();
    w.key("warning");
    write_string_list(w, scene.warning);
    w.key("notice");
    write_string_list(w, scene.notice);
    w.key("tip");
    write_string_list(w, scene.tip);
    w.end_object();
}

void write_tree(Writer& w, const TreeDocument& doc) {
    w.begin_object();
    w.key("type");
    w.string("document");
    w.key("doc_name");
    w.string(doc.doc_name);
    w.key("title");
    w.string(doc.title);
    w.key("children");
    w.begin_array();
    for (const Scene& s : doc.children) write_scene(w, s);
    w.end_array();
    w.end_object();
}

void append_tree_file(std::string& out, const TreeDocument& doc) {
    Writer w(out, true);
    write_tree(w, doc);
}

}  // namespace corvane::json
