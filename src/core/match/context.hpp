// Scene context: which parts of a scene an intent selects, and the Markdown
// text handed to the language model.
#pragma once

#include <string>
#include <string_view>

namespace corvane::context {

// Parts selected besides the description (always selected) and the images
// (always gathered).
struct Selection {
    bool steps = true;
    bool warning = true;
    bool notice = true;
    bool tip = true;
};

// Exact label match; any other string selects everything.
Selection select(std::string_view intent);

// Builds the rendered text line by line: a single "\n" between lines, none at
// the end.  Sections must be fed in order; an empty section is simply not fed.
class Writer {
public:
    void title(std::string_view t);
    void description(std::string_view d);
    void steps_heading() { line("## 操作步骤"); }
    void step(std::string_view index, std::string_view text);
    void sub_point(std::string_view s) { item(s); }
    void warning_heading() { line("## 警告"); }
    void notice_heading() { line("## 注意"); }
    void tip_heading() { line("## 提示"); }
    void item(std::string_view s);
    void images_heading() { line("## 图片"); }
    void image(std::string_view caption, std::string_view url);
    const std::string& text() const { return out_; }

private:
    void begin_line();
    void line(std::string_view s);
    std::string out_;
    bool first_ = true;
};

}  // namespace corvane::context
