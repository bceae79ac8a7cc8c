// manual/: a manual's text to scenes (fields, steps with sub-points).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "core/manual/manual.hpp"

using namespace corvane;

TEST_CASE("markdown_to_tree: scenes, steps and description") {
    const TreeDocument doc = manual::markdown_to_tree(
        "# 手册\n## 更换轮胎\n说明文字\n### 操作步骤\n1. 拧松螺栓：使用扳手；逆时针\n2. 取下轮胎\n### 注意事项\n- 停车\n## 空\n");
    CHECK(doc.title == "document");
    REQUIRE(doc.children.size() == 1);  // a heading without content is no scene
    const Scene& s = doc.children[0];
    CHECK(s.title == "更换轮胎");
    CHECK(s.description == "说明文字\n注意事项\n- 停车");
    REQUIRE(s.steps.size() == 2);
    CHECK(s.steps[0].index_text == "1");
    CHECK(s.steps[0].text == "拧松螺栓");
    CHECK(s.steps[0].sub_points == std::vector<std::string>{"使用扳手", "逆时针"});
    CHECK(s.steps[1].text == "取下轮胎");
    CHECK(s.steps[1].sub_points.empty());
}
