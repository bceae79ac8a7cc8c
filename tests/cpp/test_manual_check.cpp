// manual/check and manual/tables: the line-numbered tree, findings, table rows.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <algorithm>

#include "core/manual/check.hpp"
#include "core/manual/manual.hpp"
#include "core/manual/tables.hpp"

using namespace corvane;

namespace {
bool has(const manual::CheckResult& r, int line, std::string_view code) {
    return std::any_of(r.findings.begin(), r.findings.end(),
                       [&](const manual::Finding& f) { return f.line == line && f.code == code; });
}
}  // namespace

TEST_CASE("numbered tree: lines of headings and content, CRLF and blank lines") {
    const manual::NumberedNode root = manual::parse_numbered_tree("前言\r\n\r\n# A\r\na1\n## B\n\nb1");
    REQUIRE(root.lines.size() == 1);
    CHECK(root.lines[0].line == 1);
    CHECK(root.lines[0].text == "前言");
    REQUIRE(root.children.size() == 1);
    const auto& a = root.children[0];
    CHECK((a.line == 3 && a.lines[0].line == 4));
    CHECK((a.children[0].title == "B" && a.children[0].line == 5 && a.children[0].lines[0].line == 7));
}

TEST_CASE("scene walk lists the parser's scenes in order") {
    const std::string text = "# 章\n## 一\n内容\n# 注意\n## 被跳过\nx\n## 二\n### 警告\n小心\n";
    const manual::CheckResult r = manual::check_manual(text);
    const TreeDocument doc = manual::markdown_to_tree(text);
    REQUIRE(r.scenes.size() == doc.children.size());
    for (std::size_t i = 0; i < r.scenes.size(); ++i) CHECK(r.scenes[i].title == doc.children[i].title);
    CHECK(has(r, 1, "chapter-heading"));
    CHECK(has(r, 4, "field-at-top"));
}

TEST_CASE("invalid UTF-8: the line of the first bad byte, and nothing else") {
    const manual::CheckResult r = manual::check_manual("## A\n\xe6\x96\n");
    REQUIRE(r.findings.size() == 1);
    CHECK((r.findings[0].line == 2 && r.findings[0].severity == "error"));
}

TEST_CASE("nearest field title") {
    CHECK(manual::nearest_field_title("步骤") == "操作步骤");
    CHECK(manual::nearest_field_title("注意事项") == "注意");
    CHECK(manual::nearest_field_title("警告：") == "警告");
    CHECK(manual::nearest_field_title("操作步骤").empty());  // already a field heading
    CHECK(manual::nearest_field_title("更换轮胎").empty());
}

TEST_CASE("table rows: escaped pipes, missing outer pipes, text rows") {
    CHECK(manual::split_table_row("| a \\| b |  c  |") == std::vector<std::string>{"a | b", "c"});
    CHECK(manual::split_table_row("a | b") == std::vector<std::string>{"a", "b"});
    manual::Table t;
    t.header = {"灯", "含义"};
    t.rows = {{"充电", "正在充电"}, {"", "空灯"}, {"x", "y", "多出"}};
    CHECK(manual::table_text_rows(t) == std::vector<std::string>{"灯：充电；含义：正在充电", "含义：空灯", "灯：x；含义：y；多出"});
}
