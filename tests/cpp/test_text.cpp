// text/: normalize_text against the host's one-liner on characters with
// special lower-case rules (the hypothesis tests compare it at large).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <algorithm>

#include "core/text/text.hpp"
#include "core/text/unicode.hpp"
#include "core/text/variants.hpp"

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

TEST_CASE("variants: Traditional to Simplified, readings, homophone variants") {
    CHECK(text::to_simplified("胎壓燈亮了怎麼辦") == "胎压灯亮了怎么办");
    CHECK(text::to_simplified("ACC 跟车") == "ACC 跟车");
    CHECK(text::to_simplified(std::string_view("\xE5\x9C", 2)) == std::string("\xE5\x9C", 2));  // cut short: kept
    CHECK(text::sound_of(U'压') == text::sound_of(U'亚'));
    CHECK(text::sound_of(U'压') != text::sound_of(U'胎'));
    CHECK(text::sound_of(U'A') == -1);
    const auto alts = text::homophones_of(U'胎');
    CHECK(std::find(alts.begin(), alts.end(), U'台') != alts.end());
    CHECK(std::find(alts.begin(), alts.end(), U'胎') == alts.end());
    // Only variants the caller accepts, at most `limit`, one character changed.
    const auto v = text::homophone_variants(U"胎亚", [](std::string_view x) { return x == "胎压"; });
    REQUIRE(v.size() == 1);
    CHECK(v[0] == "胎压");
    CHECK(text::homophone_variants(U"胎亚", [](std::string_view) { return true; }, 3).size() == 3);
}
