// selfcheck/: filling a prompt template.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "core/selfcheck/prompt.hpp"

using namespace corvane;

TEST_CASE("fill: question, then knowledge, then time; non-overlapping, left to right") {
    CHECK(prompt::replace_all("aXXXa", "XX", "Y") == "aYXa");
    CHECK(prompt::replace_all("", "X", "Y").empty());
    // A question holding a mark is expanded by the later steps, in that order.
    CHECK(prompt::fill("Q=__INPUT__ K=__KNOWLEDGE__ T=__TIME__", "q __KNOWLEDGE__", "k __TIME__", "t") ==
          "Q=q k t K=k t T=t");
    CHECK(prompt::fill("__KNOWLEDGE__", "q", "__INPUT__", "t") == "__INPUT__");
    CHECK(prompt::kTries == 5);
    CHECK(prompt::kCycles == 8);
}

TEST_CASE("fill with a bound: the size is known before the text is built") {
    struct Case {
        const char *text, *mark, *value;
    };
    for (const Case& c : {Case{"aXXXa", "XX", "Y"}, Case{"XXXX", "XX", ""}, Case{"", "X", "long"},
                          Case{"abc", "", "v"}, Case{"__INPUT____INPUT__", "__INPUT__", "__INPUT__x"}}) {
        CHECK(prompt::replaced_size(c.text, c.mark, c.value) == prompt::replace_all(c.text, c.mark, c.value).size());
    }
    const std::string filled = prompt::fill("Q=__INPUT__ K=__KNOWLEDGE__", "q __KNOWLEDGE__", "knowledge text", "t");
    CHECK(prompt::fill("Q=__INPUT__ K=__KNOWLEDGE__", "q __KNOWLEDGE__", "knowledge text", "t", filled.size()) == filled);
    CHECK_THROWS_AS((void)prompt::fill("Q=__INPUT__ K=__KNOWLEDGE__", "q __KNOWLEDGE__", "knowledge text", "t", filled.size() - 1),
                    prompt::PromptTooLarge);
    // The question step is longer than the end result: every step counts.
    try {
        (void)prompt::fill("__INPUT__", "__KNOWLEDGE____KNOWLEDGE__", "", "t", 10);
        FAIL("no error");
    } catch (const prompt::PromptTooLarge& e) {
        CHECK(e.bytes == 26);
        CHECK(e.limit == 10);
    }
    CHECK_THROWS_AS((void)prompt::fill("__KNOWLEDGE__", "q", "k", "t", 0), prompt::PromptTooLarge);
}

#include "core/selfcheck/loop.hpp"

TEST_CASE("loop: accepted at the first judge") {
    selfcheck::Loop loop;
    CHECK(loop.phase() == selfcheck::Phase::start);
    REQUIRE(loop.begin_cycle());
    loop.answered();
    CHECK(loop.phase() == selfcheck::Phase::judge);
    CHECK_FALSE(loop.judged(true));
    CHECK(loop.success());
    CHECK(loop.phase() == selfcheck::Phase::done);
}

TEST_CASE("loop: every cycle rejected, each with all its tries") {
    selfcheck::Loop loop;
    int cycles = 0, checks = 0;
    while (loop.begin_cycle()) {
        ++cycles;
        loop.answered();
        REQUIRE(loop.judged(false));
        do ++checks;
        while (loop.checked(false));
        CHECK(loop.tries() == prompt::kTries);
        loop.end_cycle();
    }
    CHECK(cycles == prompt::kCycles);
    CHECK(checks == prompt::kCycles * prompt::kTries);
    CHECK_FALSE(loop.success());
    CHECK(loop.phase() == selfcheck::Phase::done);
}

TEST_CASE("loop: an accepted check ends the cycle's tries; tries start again each cycle") {
    selfcheck::Loop loop;
    REQUIRE(loop.begin_cycle());
    loop.answered();
    REQUIRE(loop.judged(false));
    CHECK(loop.checked(false));
    CHECK_FALSE(loop.checked(true));
    CHECK(loop.tries() == 1);
    loop.end_cycle();
    REQUIRE(loop.begin_cycle());
    CHECK(loop.cycle() == 1);
    loop.answered();
    REQUIRE(loop.judged(false));
    CHECK(loop.tries() == 0);
}

TEST_CASE("verdict text") {
    for (const char* no : {"", "false", "0", "no", "none", "null"}) CHECK_FALSE(selfcheck::text_accepts(no));
    for (const char* yes : {"true", "yes", "1", "ok", "nope", "false."}) CHECK(selfcheck::text_accepts(yes));
}

TEST_CASE("fill_once: markers of the template only, one pass, bounded") {
    // Markers in the question or the knowledge stay as they are.
    CHECK(prompt::fill_once("Q=__INPUT__ K=__KNOWLEDGE__ T=__TIME__", "q __KNOWLEDGE__", "k __TIME__ __INPUT__", "t") ==
          "Q=q __KNOWLEDGE__ K=k __TIME__ __INPUT__ T=t");
    CHECK(prompt::fill_once("__INPUT____INPUT_", "x", "k", "t") == "x__INPUT_");
    CHECK(prompt::fill_once("", "q", "k", "t").empty());
    const std::string filled = prompt::fill_once("a__KNOWLEDGE__b", "q", "0123456789", "t");
    CHECK(filled == "a0123456789b");
    CHECK(prompt::fill_once("a__KNOWLEDGE__b", "q", "0123456789", "t", filled.size()) == filled);
    try {
        (void)prompt::fill_once("a__KNOWLEDGE__b", "q", "0123456789", "t", filled.size() - 1);
        FAIL("no PromptTooLarge");
    } catch (const prompt::PromptTooLarge& e) {
        CHECK(e.bytes == filled.size());
    }
}
