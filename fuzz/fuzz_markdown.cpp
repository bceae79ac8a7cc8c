// libFuzzer target: the manual parser on arbitrary bytes.
// Invariants: no crash; titles and texts are already clean; captions and
// positions agree with the step numbers; the tree keeps document order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/match/keywords.hpp"
#include "core/manual/manual.hpp"

#define CHECK(cond)          \
    do {                     \
        if (!(cond)) abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace corvane;
    const TreeDocument doc = manual::markdown_to_tree(text, "doc");
    CHECK(doc.title == "doc");
    for (const Scene& scene : doc.children) {
        CHECK(text::clean_text(scene.title) == scene.title);
        for (const Image& img : scene.images) {
            CHECK(img.position == "scene");
            CHECK(img.caption == scene.title + "相关图片");
        }
        for (const Step& step : scene.steps) {
            CHECK(!step.digits.empty());
            CHECK(step.index_text == "0" || step.index_text[0] != '0');
            CHECK(text::clean_text(step.text) == step.text);
            for (const Image& img : step.images) CHECK(img.position == "step_" + step.index_text);
            for (const std::string& sp : step.sub_points) CHECK(!text::strip(sp).empty() || sp.empty());
        }
        for (const auto* list : {&scene.warning, &scene.notice, &scene.tip})
            for (const std::string& item : *list) CHECK(text::clean_text(item) == item);
        for (const std::string& kw : keywords::build(scene)) CHECK(uni::length(kw) > 1);
    }
    const HeadingNode root = manual::parse_heading_tree(text);
    for (const HeadingNode& child : root.children) CHECK(child.level >= 1 && child.level <= 6);
    return 0;
}
