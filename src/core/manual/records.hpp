// Plain records of the parser and the index: the Python-free mirror of the
// dicts the modules exchange.  Keys of the corresponding dicts are listed in
// member order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// "url", "position", "caption"
struct Image {
    std::string url;
    std::string position;
    std::string caption;
};

// "index", "text", "sub_points", "images"
struct Step {
    std::string digits;      // the numeral as written, as ASCII digits (leading zeros kept)
    std::string index_text;  // decimal text of the value ("01" -> "1")
    std::string text;
    std::vector<std::string> sub_points;
    std::vector<Image> images;
};

// "type" ("scene"), "title", "description", "images", "steps", "warning", "notice", "tip"
struct Scene {
    std::string title;
    std::string description;
    std::vector<Image> images;
    std::vector<Step> steps;
    std::vector<std::string> warning;
    std::vector<std::string> notice;
    std::vector<std::string> tip;
};

// "type" ("document"), "doc_name", "title", "children"
struct TreeDocument {
    std::string doc_name;
    std::string title;
    std::vector<Scene> children;
};

// "title", "level", "content_lines", "children".  Lines are views into the
// manual text, trailing white space removed.
struct HeadingNode {
    std::string title;
    int level = 0;
    std::vector<std::string_view> content_lines;
    std::vector<HeadingNode> children;
};

}  // namespace corvane
