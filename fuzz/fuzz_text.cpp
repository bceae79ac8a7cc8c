// libFuzzer target: the text primitives on arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/text/text.hpp"

#define CHECK(cond)          \
    do {                     \
        if (!(cond)) abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    using namespace corvane;
    const std::string clean = text::clean_text(s);
    CHECK(text::clean_text(clean) == clean);
    CHECK(clean.find("  ") == std::string::npos);
    CHECK(text::strip(clean) == clean);
    CHECK(text::is_blank(s) == clean.empty());
    CHECK(text::strip(text::strip(s)) == text::strip(s));
    const std::string norm = text::normalize_text(s);
    for (std::size_t i = 0; i < norm.size();) CHECK(!uni::is_space(uni::next(norm, i)));
    const std::string stripped = text::strip_images(s);
    CHECK(text::strip(stripped) == stripped);
    std::size_t urls = text::extract_image_urls(s).size();
    CHECK(urls == 0 || stripped.size() < s.size());
    text::StepLine step;
    if (text::match_step(s, step)) CHECK(!text::numeral_digits(step.numeral).empty());
    std::size_t tokens = 0;
    text::for_each_token(s, 1000, [&](std::string_view tok, std::size_t cps) {
        CHECK(!tok.empty() && cps == uni::length(tok));
        ++tokens;
    });
    return 0;
}
