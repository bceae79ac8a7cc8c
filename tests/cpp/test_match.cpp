// match/: the keyword walk over a scene and the intent of a question.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "core/manual/manual.hpp"
#include "core/match/intent.hpp"
#include "core/match/keywords.hpp"

using namespace corvane;

TEST_CASE("keywords: title, then the first tokens of each text, without repeats") {
    const TreeDocument doc = manual::markdown_to_tree(
        "# 手册\n## 更换轮胎\n说明文字\n### 操作步骤\n1. 拧松螺栓：使用扳手；逆时针\n2. 取下轮胎\n### 注意事项\n- 停车\n");
    REQUIRE(doc.children.size() == 1);
    CHECK(keywords::build(doc.children[0]) ==
          std::vector<std::string>{"更换轮胎", "说明文字", "注意事项", "停车", "拧松螺栓", "使用扳手", "逆时针", "取下轮胎"});
    keywords::Builder b;  // reused from scene to scene
    keywords::feed(b, doc.children[0]);
    b.clear();
    keywords::feed(b, doc.children[0]);
    CHECK(b.entries().size() == 8);
}

TEST_CASE("intent of a question") {
    struct Case {
        const char* q;
        const char* intent;
    };
    for (const Case& c : {Case{"怎么更换轮胎", "how_to"}, Case{"注意什么", "notice_warning"}, Case{"你好", "general"}}) {
        CAPTURE(c.q);
        CHECK(intent::classify(c.q) == c.intent);
    }
}
