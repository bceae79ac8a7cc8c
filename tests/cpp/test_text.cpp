// text/: normalize_text against the host's one-liner on characters with
// special lower-case rules (the hypothesis tests compare it at large).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "core/text/text.hpp"
#include "core/text/unicode.hpp"

using namespace corvane;

TEST_CASE("normalize_text: fullwidth parentheses, white space, multi-character and final-sigma lower case") {
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case& c : {Case{"Ａ（B） c\u3000dΣ ΑΣ İx", "ａ(b)cdςαςi̇x"}, Case{"", ""}, Case{" \t\n\x0b\x0c\r", ""},
                          Case{"更换 轮胎", "更换轮胎"}, Case{"ΣΑ", "σα"}}) {
        CAPTURE(c.in);
        CHECK(text::normalize_text(c.in) == c.out);
    }
}

TEST_CASE("UTF-8 helpers") {
    CHECK(uni::length("a轮😀") == 3);
    CHECK(uni::find_invalid_utf8("ok轮") == std::string_view::npos);
    CHECK(uni::find_invalid_utf8("ok\xff") == 2);
    CHECK(uni::find_invalid_utf8("\xED\xA0\x80") == 0);  // an encoded surrogate is not UTF-8
    std::string out;
    uni::append_utf8(out, U'轮');
    CHECK(out == "轮");
}
