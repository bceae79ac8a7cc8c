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
