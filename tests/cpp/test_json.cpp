// json/: the handler-based reader (what it takes and what it leaves to the
// host's parser) and the exact writers' escapes.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"

using namespace corvane;

namespace {

// Builds a compact rendering of the value, to compare against.
struct Node {
    std::string text;
    std::string close;  // "]" or "}" for containers
    std::string done() const { return text + close; }
};
using P = Node*;

struct Printer {
    std::vector<std::unique_ptr<Node>> pool;
    int live = 0;
    P make(std::string t) {
        pool.push_back(std::make_unique<Node>(Node{std::move(t)}));
        ++live;
        return pool.back().get();
    }
    P null_value() { return make("null"); }
    P boolean(bool b) { return make(b ? "true" : "false"); }
    P special_float(double d) { return make(d != d ? "nan" : d > 0 ? "inf" : "-inf"); }
    P small_int(long long v) { return make("i" + std::to_string(v)); }
    P number_text(std::string_view t, bool is_float) { return make((is_float ? "f" : "I") + std::string(t)); }
    P string(std::string_view s, bool is_key) { return make((is_key ? "k'" : "'") + std::string(s) + "'"); }
    P escaped_string(std::string_view s, bool surrogates) { return make((surrogates ? "s'" : "e'") + std::string(s) + "'"); }
    P begin_array() {
        P a = make("[");
        a->close = "]";
        return a;
    }
    bool push(P a, P item) {
        a->text += (a->text.size() > 1 ? "," : "") + item->done();
        --live;
        return true;
    }
    P begin_object() {
        P o = make("{");
        o->close = "}";
        return o;
    }
    bool set(P o, P k, P v) {
        o->text += (o->text.size() > 1 ? "," : "") + k->text + ":" + v->done();
        live -= 2;
        return true;
    }
    void drop(P) { --live; }
};

std::string read(const std::string& text, int* leaked = nullptr) {
    Printer p;
    json::Reader<Printer> r(p);
    P v = r.parse(text);
    std::string out = v ? v->done() : "<none>";
    if (v) --p.live;
    if (leaked) *leaked = p.live;
    return out;
}

}  // namespace

TEST_CASE("reader takes what json.loads takes") {
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case& c : {
             Case{R"({"a": [1, -2, 3.5, 1e3, null, true, false]})", "{k'a':[i1,i-2,f3.5,f1e3,null,true,false]}"},
             Case{" \t\r\n[]\n", "[]"},
             Case{"{}", "{}"},
             Case{"123456789012345678", "i123456789012345678"},
             Case{"1234567890123456789", "I1234567890123456789"},
             Case{"[NaN, Infinity, -Infinity]", "[nan,inf,-inf]"},
             Case{R"("a\"b\\c\/\n")", "e'a\"b\\c/\n'"},
             Case{R"("\u00e9\ud83d\ude00")", "e'\xC3\xA9\xF0\x9F\x98\x80'"},
             Case{R"("\ud800")", "s'\xED\xA0\x80'"},
             Case{R"("轮胎")", "'轮胎'"},
         }) {
        CAPTURE(c.in);
        int leaked = -1;
        CHECK(read(c.in, &leaked) == c.out);
        CHECK(leaked == 0);
    }
}

TEST_CASE("reader leaves the rest to the host, releasing what it built") {
    for (const char* in : {"", "[1,]", "{\"a\" 1}", "{\"a\":1,}", "01", "1.", "-", "[1] x", "\"a\tb\"", "\"\\x\"",
                           "\"\\u12g4\"", "{1:2}", "tru", "\"open", "[[[", "nan", "\"\xED\xA0\x80\\ud800\""}) {
        CAPTURE(in);
        int leaked = -1;
        CHECK(read(in, &leaked) == "<none>");
        CHECK(leaked == 0);
    }
    const std::string deep(200, '['), deeper(201, '[');
    CHECK(read(deep + std::string(200, ']')) != "<none>");
    CHECK(read(deeper + std::string(201, ']')) == "<none>");
}

TEST_CASE("reader: a string's quote, escape or control character found at any position") {
    // Long strings are scanned eight bytes at a time: each special byte at
    // every place of a 0..24-byte run (UTF-8 and bytes 0x20 / 0x7f around it).
    const std::string fill = "a\x7f \xe8\xbd\xa6~_\x21";
    for (std::size_t n = 0; n <= 24; ++n) {
        std::string body;
        while (body.size() < n) body += fill[body.size() % fill.size()];
        CAPTURE(n);
        CHECK(read("\"" + body + "\"") == "'" + body + "'");
        CHECK(read("\"" + body) == "<none>");  // never closed
        for (std::size_t at = 0; at <= n; ++at) {
            CAPTURE(at);
            const std::string head = body.substr(0, at), tail = body.substr(at);
            CHECK(read("\"" + head + "\\n" + tail + "\"") == "e'" + head + "\n" + tail + "'");
            CHECK(read("\"" + head + "\x1f" + tail + "\"") == "<none>");
            CHECK(read("\"" + head + std::string(1, '\0') + tail + "\"") == "<none>");
            CHECK(read("[\"" + head + "\", \"" + tail + "\"]") == "['" + head + "','" + tail + "']");
        }
    }
}

TEST_CASE("writer: strings as the host's json.dumps(ensure_ascii=False)") {
    json::Buf b;
    b.put_string("a\"\\\n\t\x01\x1f/\x7f轮");
    CHECK(std::string(b.view()) == "\"a\\\"\\\\\\n\\t\\u0001\\u001f/\x7f轮\"");
}
