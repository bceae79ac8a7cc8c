// libFuzzer target: the JSON writers.
// A value built from the input is written in both forms (indented and
// compact); each text must be strict JSON (RFC 8259, checked by the small
// parser below, which shares no code with the writer) and must read back as
// the value written.  Tree documents parsed from the input as a manual must
// read back as their records.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <algorithm>
#include <utility>
#include <vector>

#include "core/json/writer.hpp"
#include "core/manual/manual.hpp"

#define CHECK(cond)          \
    do {                     \
        if (!(cond)) abort(); \
    } while (0)

namespace {

struct Value {
    enum Kind { Null, True, False, Number, String, Array, Object } kind = Null;
    std::string text;  // number text or string content (UTF-8)
    std::vector<Value> items;       // elements, or the members' values
    std::vector<std::string> keys;  // the members' keys

    bool operator==(const Value& o) const {
        return kind == o.kind && text == o.text && items == o.items && keys == o.keys;
    }
    Value& member(std::string k, Value v) {
        keys.push_back(std::move(k));
        items.push_back(std::move(v));
        return *this;
    }
};

// ---------------------------------------------------------------------------
// Strict reader.

class Strict {
public:
    explicit Strict(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

    bool document(Value& v) {
        ws();
        if (!value(v, 0)) return false;
        ws();
        return p_ == end_;
    }

private:
    void ws() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool lit(std::string_view w) {
        if (static_cast<std::size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w) return false;
        p_ += w.size();
        return true;
    }
    static bool digit(char c) { return c >= '0' && c <= '9'; }

    bool value(Value& v, int depth) {
        if (p_ == end_ || depth > 400) return false;
        switch (*p_) {
            case 'n': v.kind = Value::Null; return lit("null");
            case 't': v.kind = Value::True; return lit("true");
            case 'f': v.kind = Value::False; return lit("false");
            case '"': v.kind = Value::String; return string(v.text);
            case '[': return array(v, depth);
            case '{': return object(v, depth);
            default: v.kind = Value::Number; return number(v.text);
        }
    }

    bool number(std::string& out) {
        const char* s = p_;
        if (p_ != end_ && *p_ == '-') ++p_;
        if (p_ == end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ != end_ && digit(*p_)) ++p_;
        } else {
            return false;
        }
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || !digit(*p_)) return false;
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !digit(*p_)) return false;
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        out.assign(s, p_);
        return true;
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool hex4(unsigned& cp) {
        if (end_ - p_ < 4) return false;
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex(p_[i]);
            if (h < 0) return false;
            cp = cp * 16 + static_cast<unsigned>(h);
        }
        p_ += 4;
        return true;
    }
    static void put(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    // One well-formed UTF-8 character (no surrogates, no overlong forms).
    bool utf8_char(std::string& out) {
        const auto b = static_cast<unsigned char>(*p_);
        std::size_t n;
        unsigned cp, min;
        if (b < 0x80) { n = 1; cp = b; min = 0; }
        else if ((b & 0xE0) == 0xC0) { n = 2; cp = b & 0x1F; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { n = 3; cp = b & 0x0F; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { n = 4; cp = b & 0x07; min = 0x10000; }
        else return false;
        if (static_cast<std::size_t>(end_ - p_) < n) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(p_[k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.append(p_, n);
        p_ += n;
        return true;
    }

    bool string(std::string& out) {
        ++p_;
        out.clear();
        while (true) {
            if (p_ == end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                if (!utf8_char(out)) return false;
                continue;
            }
            if (++p_ == end_) return false;
            const char e = *p_++;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    unsigned cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        unsigned lo;
                        if (!lit("\\u") || !hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return false;
                    }
                    put(out, cp);
                    break;
                }
                default: return false;
            }
        }
    }

    bool array(Value& v, int depth) {
        v.kind = Value::Array;
        ++p_;
        ws();
        if (p_ != end_ && *p_ == ']') return ++p_, true;
        while (true) {
            v.items.emplace_back();
            ws();
            if (!value(v.items.back(), depth + 1)) return false;
            ws();
            if (p_ == end_) return false;
            if (*p_ == ']') return ++p_, true;
            if (*p_++ != ',') return false;
        }
    }

    bool object(Value& v, int depth) {
        v.kind = Value::Object;
        ++p_;
        ws();
        if (p_ != end_ && *p_ == '}') return ++p_, true;
        while (true) {
            ws();
            if (p_ == end_ || *p_ != '"') return false;
            v.keys.emplace_back();
            v.items.emplace_back();
            if (!string(v.keys.back())) return false;
            ws();
            if (p_ == end_ || *p_++ != ':') return false;
            ws();
            if (!value(v.items.back(), depth + 1)) return false;
            ws();
            if (p_ == end_) return false;
            if (*p_ == '}') return ++p_, true;
            if (*p_++ != ',') return false;
        }
    }

    const char* p_;
    const char* end_;
};

// ---------------------------------------------------------------------------
// Values from the input bytes.

// Length of the well-formed UTF-8 character at s[k] (no surrogates, no
// overlong forms), or 0.
std::size_t utf8_len(std::string_view s, std::size_t k) {
    const auto b = static_cast<unsigned char>(s[k]);
    const std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (!n || k + n > s.size()) return 0;
    unsigned cp = n == 1 ? b : n == 2 ? (b & 0x1Fu) : n == 3 ? (b & 0x0Fu) : (b & 0x07u);
    for (std::size_t j = 1; j < n; ++j) {
        const auto c = static_cast<unsigned char>(s[k + j]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    static constexpr unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool valid_utf8(std::string_view s) {
    for (std::size_t k = 0; k < s.size();) {
        const std::size_t n = utf8_len(s, k);
        if (!n) return false;
        k += n;
    }
    return true;
}

class Source {
public:
    Source(const uint8_t* d, size_t n) : d_(d), n_(n) {}
    bool empty() const { return i_ >= n_; }
    uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }
    // Up to `max` input bytes made into well-formed UTF-8 (a bad byte becomes U+FFFD).
    std::string text(std::size_t max) {
        const std::size_t len = std::min<std::size_t>(byte() % (max + 1), n_ - std::min(i_, n_));
        const std::string_view raw(reinterpret_cast<const char*>(d_ + i_), len);
        i_ += len;
        std::string out;
        for (std::size_t k = 0; k < raw.size();) {
            const std::size_t n = utf8_len(raw, k);
            if (n) {
                out.append(raw.substr(k, n));
                k += n;
            } else {
                out.append("\xEF\xBF\xBD");
                ++k;
            }
        }
        return out;
    }

private:
    const uint8_t* d_;
    size_t n_;
    size_t i_ = 0;
};

// A JSON number text.
std::string number_text(Source& in) {
    static const char* const kNumbers[] = {"0", "-0", "0.5", "-2.25e-7", "1e+16", "3.0", "-1", "7"};
    const uint8_t b = in.byte();
    std::string t = kNumbers[b % 8];
    if ((b & 0x80) && t != "0" && t != "-0") t += std::to_string(in.byte());  // more digits at the end
    return t;
}

Value build(Source& in, corvane::json::Writer& a, corvane::json::Writer& b, int depth) {
    Value v;
    const uint8_t op = in.byte();
    const int kind = depth > 12 || in.empty() ? op % 5 : op % 7;
    switch (kind) {
        case 0: v.kind = Value::Null; a.raw("null"); b.raw("null"); break;
        case 1: v.kind = Value::True; a.raw("true"); b.raw("true"); break;
        case 2: v.kind = Value::False; a.raw("false"); b.raw("false"); break;
        case 3:
            v.kind = Value::Number;
            v.text = number_text(in);
            a.raw(v.text);
            b.raw(v.text);
            break;
        case 4:
            v.kind = Value::String;
            v.text = in.text(40);
            a.string(v.text);
            b.string(v.text);
            break;
        case 5: {
            v.kind = Value::Array;
            a.begin_array();
            b.begin_array();
            const int n = in.byte() % 5;
            for (int k = 0; k < n; ++k) v.items.push_back(build(in, a, b, depth + 1));
            a.end_array();
            b.end_array();
            break;
        }
        default: {
            v.kind = Value::Object;
            a.begin_object();
            b.begin_object();
            const int n = in.byte() % 5;
            for (int k = 0; k < n; ++k) {
                std::string key = in.text(12);
                a.key(key);
                b.key(key);
                Value item = build(in, a, b, depth + 1);
                v.member(std::move(key), std::move(item));
            }
            a.end_object();
            b.end_object();
        }
    }
    return v;
}

Value str(std::string s) {
    Value v;
    v.kind = Value::String;
    v.text = std::move(s);
    return v;
}

Value strings(const std::vector<std::string>& items) {
    Value v;
    v.kind = Value::Array;
    for (const std::string& s : items) v.items.push_back(str(s));
    return v;
}

Value images(const std::vector<corvane::Image>& list) {
    Value v;
    v.kind = Value::Array;
    for (const corvane::Image& img : list) {
        Value o;
        o.kind = Value::Object;
        o.member("url", str(img.url)).member("position", str(img.position)).member("caption", str(img.caption));
        v.items.push_back(std::move(o));
    }
    return v;
}

// The record a tree document must read back as.
Value expected_tree(const corvane::TreeDocument& doc) {
    Value children;
    children.kind = Value::Array;
    for (const corvane::Scene& s : doc.children) {
        Value steps;
        steps.kind = Value::Array;
        for (const corvane::Step& st : s.steps) {
            Value index;
            index.kind = Value::Number;
            index.text = st.index_text;
            Value o;
            o.kind = Value::Object;
            o.member("index", index).member("text", str(st.text)).member("sub_points", strings(st.sub_points));
            o.member("images", images(st.images));
            steps.items.push_back(std::move(o));
        }
        Value scene;
        scene.kind = Value::Object;
        scene.member("type", str("scene")).member("title", str(s.title)).member("description", str(s.description));
        scene.member("images", images(s.images)).member("steps", steps).member("warning", strings(s.warning));
        scene.member("notice", strings(s.notice)).member("tip", strings(s.tip));
        children.items.push_back(std::move(scene));
    }
    Value doc_v;
    doc_v.kind = Value::Object;
    doc_v.member("type", str("document")).member("doc_name", str(doc.doc_name)).member("title", str(doc.title));
    doc_v.member("children", children);
    return doc_v;
}

void check_layout(const std::string& pretty, const std::string& compact) {
    CHECK(compact.find('\n') == std::string::npos);
    CHECK(pretty.empty() || pretty.back() != '\n');
    std::size_t start = 0;
    while (start <= pretty.size()) {
        std::size_t end = pretty.find('\n', start);
        if (end == std::string::npos) end = pretty.size();
        const std::string_view line(pretty.data() + start, end - start);
        CHECK(line.empty() || line.back() != ' ');  // nothing trails a line
        std::size_t indent = 0;
        while (indent < line.size() && line[indent] == ' ') ++indent;
        CHECK(indent % 2 == 0);
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvane;
    {
        std::string pretty, compact;
        json::Writer a(pretty, true), b(compact, false);
        Source in(data, size);
        const Value expected = build(in, a, b, 0);
        CHECK(a.depth() == 0 && b.depth() == 0);
        Value got_pretty, got_compact;
        CHECK(Strict(pretty).document(got_pretty));
        CHECK(Strict(compact).document(got_compact));
        CHECK(got_pretty == expected);
        CHECK(got_compact == expected);
        check_layout(pretty, compact);
    }
    {
        // The input as a manual: its tree file must read back as the records
        // whenever the texts are valid UTF-8 (the host hands over nothing else).
        const std::string_view text(reinterpret_cast<const char*>(data), size);
        if (!valid_utf8(text)) return 0;
        const TreeDocument doc = manual::markdown_to_tree(text);
        json::Buf tree_buf;
        json::append_tree_file(tree_buf, doc);
        const std::string tree_file(tree_buf.view());
        Value got;
        CHECK(Strict(tree_file).document(got));
        CHECK(got == expected_tree(doc));
        const Value tree = expected_tree(doc);
        for (std::size_t k = 0; k < doc.children.size(); ++k) {
            json::Buf one;
            json::append_scene(one, doc.children[k], false);
            const std::string line(one.view());
            Value scene;
            CHECK(Strict(line).document(scene));
            CHECK(scene == tree.items[3].items[k]);
        }
    }
    return 0;
}
