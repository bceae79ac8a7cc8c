#include "core/manual/check.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "core/io/files.hpp"
#include "core/manual/manual.hpp"
#include "core/text/text.hpp"
#include "core/text/unicode.hpp"

namespace corvane::manual {

const FindingCode kFindingCodes[] = {
    {"invalid-utf8", "the file is not UTF-8: indexing stops at it"},
    {"bom", "a byte-order mark starts the file: indexing drops it, other tools may not"},
    {"text-before-heading", "text before the first heading is dropped"},
    {"not-a-heading", "a line that looks like a heading but is read as text (no space after #, indented, or 7+ #)"},
    {"chapter-heading", "a heading with no text and no field heading of its own: its title is in no scene"},
    {"field-at-top", "a field heading directly under the root or a chapter: skipped with everything under it"},
    {"unknown-field", "a sub-heading that is probably meant as a field heading: it becomes description text"},
    {"field-like-title", "a scene whose title is field-like: the topic heading above it is lost"},
    {"duplicate-title", "the same scene title more than once in a manual"},
    {"deep-heading", "a sub-heading too deep for its scene: dropped, or its title unused"},
    {"dropped-line", "a line under a steps heading before the first numbered step: dropped"},
    {"steps-in-description", "numbered lines outside a steps heading: they stay description text"},
    {"colon-split", "a step split at its first full-width colon into a step and sub-points"},
    {"table", "a Markdown table: it stays text in the scene (its cells are kept as a table beside it)"},
    {"image-text", "an image with alternative text: not recognised, it stays text"},
    {"empty-scene", "a scene with nothing in it"},
    {"long-line", "a very long line"},
};
const std::size_t kFindingCodeCount = sizeof(kFindingCodes) / sizeof(kFindingCodes[0]);

namespace {

std::size_t code_points(std::string_view s) {
    std::size_t i = 0, count = 0;
    while (i < s.size()) {
        uni::next(s, i);
        ++count;
    }
    return count;
}

// The constant field title equal to `t` (which is one).
std::string_view field_title_of(std::string_view t) {
    for (const FieldTitle& f : kFieldTitles)
        if (f.title == t) return f.title;
    return {};
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    out += s;
    out += '"';
    return out;
}

// A short excerpt of a line for a message.
std::string excerpt(std::string_view s, std::size_t max_chars = 40) {
    std::string_view t = text::strip(s);
    std::size_t i = 0, count = 0;
    while (i < t.size() && count < max_chars) {
        uni::next(t, i);
        ++count;
    }
    std::string out(t.substr(0, i));
    if (i < t.size()) out += "…";
    return out;
}

bool is_table_line(std::string_view line) {
    const std::string_view t = text::strip(line);
    return t.size() >= 2 && t.front() == '|' && std::count(t.begin(), t.end(), '|') >= 2;
}

// "![alt](address)" with a non-empty alt text on the line.
bool has_alt_image(std::string_view line) {
    std::size_t from = 0;
    while (true) {
        const std::size_t start = line.find("![", from);
        if (start == std::string_view::npos) return false;
        const std::size_t close = line.find("](", start + 2);
        if (close == std::string_view::npos) return false;
        if (close > start + 2 && line.find(')', close + 2) != std::string_view::npos &&
            line.substr(start + 2, close - start - 2).find('[') == std::string_view::npos)
            return true;
        from = start + 2;
    }
}

// "#x", "  # x", "####### x": read as text.
bool looks_like_heading(std::string_view line) {
    const std::string_view t = text::lstrip(line);
    if (t.empty() || t.front() != '#') return false;
    std::size_t hashes = 0;
    while (hashes < t.size() && t[hashes] == '#') ++hashes;
    const std::string_view rest = t.substr(hashes);
    if (text::strip(rest).empty()) return false;  // a lone "#" or "###": nothing that reads as a title
    const bool indented = t.size() != line.size();
    if (indented || hashes > 6) return true;
    std::size_t i = 0;
    return !uni::is_space(uni::next(rest, i));  // "#标题"
}

class Checker {
public:
    explicit Checker(const CheckOptions& options) : options_(options) {}

    void finding(int line, std::string_view code, std::string message, std::string_view severity = "warning") {
        out_.findings.push_back({line, std::string(severity), std::string(code), std::move(message)});
    }

    void content_line(const NumberedLine& l) {
        if (looks_like_heading(l.text))
            finding(l.line, "not-a-heading",
                    quoted(excerpt(l.text)) + " is not a heading (a heading is 1-6 \"#\" in the first column, "
                                              "then a space); it is read as text");
        if (has_alt_image(l.text))
            finding(l.line, "image-text",
                    "image with alternative text " + quoted(excerpt(l.text)) +
                        " is not recognised and stays text; write it as \"![](address)\"");
        const std::size_t n = code_points(l.text);
        if (n > options_.long_line)
            finding(l.line, "long-line",
                    "line of " + std::to_string(n) + " characters (more than " +
                        std::to_string(options_.long_line) + "); split it into sentences or steps");
    }

    // Lines the parser drops without reading them (text before the first
    // heading, subtrees it ignores) still get the line checks, so a bad
    // heading there is found.
    void dropped_subtree(const NumberedNode& node) {
        for (const NumberedLine& l : node.lines) content_line(l);
        for (const NumberedNode& c : node.children) dropped_subtree(c);
    }

    static int count_lines(const NumberedNode& node) {
        int n = static_cast<int>(node.lines.size());
        for (const NumberedNode& c : node.children) n += 1 + count_lines(c);
        return n;
    }

    void walk(const NumberedNode& node, const NumberedNode* parent) {
        for (const NumberedNode& child : node.children) {
            switch (role_of(child)) {
                case NodeRole::top_field:
                    finding(child.line, "field-at-top",
                            "field heading " + quoted(child.title) + " is not under a scene heading: it is skipped "
                                "with the " + std::to_string(count_lines(child)) + " lines below it");
                    dropped_subtree(child);
                    break;
                case NodeRole::container:
                    if (!child.title.empty())
                        finding(child.line, "chapter-heading",
                                "chapter heading " + quoted(child.title) +
                                    " has no text of its own: its title is part of no scene");
                    walk(child, &child);
                    break;
                case NodeRole::scene:
                    scene(child, parent);
                    break;
            }
        }
    }

    void scene(const NumberedNode& node, const NumberedNode* chapter) {
        out_.scenes.push_back({node.title, node.line});
        const std::string_view like = nearest_field_title(node.title);
        if (!like.empty()) {
            std::string msg = "scene title " + quoted(node.title) + " looks like the field heading " + quoted(like);
            if (chapter && !chapter->title.empty())
                msg += "; the topic " + quoted(chapter->title) + " above it is lost (give " + quoted(chapter->title) +
                       " a line of text to make it the scene, or retitle this one)";
            else
                msg += "; give the scene the name of its topic";
            finding(node.line, "field-like-title", std::move(msg));
        }
        auto [it, fresh] = first_title_line_.emplace(node.title, node.line);
        if (!fresh)
            finding(node.line, "duplicate-title",
                    "scene title " + quoted(node.title) + " is used again (first on line " +
                        std::to_string(it->second) + "); questions cannot tell the two apart");

        free_lines(node.lines);
        for (const NumberedNode& child : node.children) {
            const Field f = field_of_title(child.title);
            if (f != Field::other) {
                field_lines(f, child.lines);
                for (const NumberedNode& grand : child.children) {
                    if (!grand.title.empty())
                        finding(grand.line, "deep-heading",
                                "sub-heading " + quoted(grand.title) + " under " + quoted(child.title) +
                                    ": its title is dropped (its lines are read as " + quoted(child.title) + ")");
                    field_lines(f, grand.lines);
                    for (const NumberedNode& deeper : grand.children) deep_dropped(deeper, grand);
                }
            } else {
                const std::string_view meant = nearest_field_title(child.title);
                if (!meant.empty())
                    finding(child.line, "unknown-field",
                            "heading " + quoted(child.title) + " is no field heading (did you mean " + quoted(meant) +
                                "?): its title and lines become description text");
                free_lines(child.lines, meant.empty());
                for (const NumberedNode& grand : child.children) deep_dropped(grand, child);
            }
        }
    }

    void deep_dropped(const NumberedNode& node, const NumberedNode& parent) {
        finding(node.line, "deep-heading",
                "heading " + quoted(node.title) + " is below " + quoted(parent.title) +
                    ", too deep for its scene: it is dropped with the " + std::to_string(count_lines(node)) +
                    " lines below it");
        dropped_subtree(node);
    }

    void table_check(const std::vector<NumberedLine>& lines, std::size_t& i) {
        std::size_t j = i;
        while (j < lines.size() && is_table_line(lines[j].text)) ++j;
        if (j - i >= 2)
            finding(lines[i].line, "table",
                    "table of " + std::to_string(j - i) + " lines: on the page and in answers it is text "
                    "(\"| … |\"); its cells are kept as a table beside the scene");
        i = j;
    }

    // report_numbered: false where a finding on the heading already says its
    // lines are description text.
    void free_lines(const std::vector<NumberedLine>& lines, bool report_numbered = true) {
        bool numbered_reported = !report_numbered;
        for (std::size_t i = 0; i < lines.size();) {
            const NumberedLine& l = lines[i];
            content_line(l);
            if (is_table_line(l.text)) {
                std::size_t start = i;
                table_check(lines, i);
                for (std::size_t k = start + 1; k < i; ++k) content_line(lines[k]);
                continue;
            }
            text::StepLine step;
            if (!numbered_reported && text::match_step(l.text, step)) {
                finding(l.line, "steps-in-description",
                        "numbered line " + quoted(excerpt(l.text)) +
                            " is description text, not a step (steps go under \"### 操作步骤\")");
                numbered_reported = true;
            }
            ++i;
        }
    }

    void field_lines(Field f, const std::vector<NumberedLine>& lines) {
        bool has_step = false;
        for (std::size_t i = 0; i < lines.size();) {
            const NumberedLine& l = lines[i];
            content_line(l);
            if (is_table_line(l.text)) {
                std::size_t start = i;
                table_check(lines, i);
                for (std::size_t k = start + 1; k < i; ++k) content_line(lines[k]);
                if (f == Field::steps && !has_step)
                    finding(lines[start].line, "dropped-line",
                            "table before the first numbered step is dropped");
                continue;
            }
            ++i;
            if (f != Field::steps) continue;
            if (text::lstrip(l.text) == "---") continue;
            const std::string body = text::strip_images(l.text);
            if (body.empty()) continue;
            text::StepLine step;
            if (text::match_step(body, step)) {
                has_step = true;
                auto [head, subs] = split_step_text_and_subpoints(step.text);
                if (!subs.empty()) {
                    std::string parts;
                    for (const std::string& s : subs) parts += (parts.empty() ? "" : ", ") + quoted(excerpt(s, 20));
                    finding(l.line, "colon-split",
                            "step " + text::numeral_value_text(step.numeral) + " is split at \"：\" into the step " +
                                quoted(excerpt(head, 30)) + " and the sub-points " + parts +
                                "; write \":\" or rephrase if it is one sentence");
                }
            } else if (!has_step) {
                finding(l.line, "dropped-line",
                        quoted(excerpt(body)) + " comes before the first numbered step and is dropped");
            }
        }
    }

    CheckResult& result() { return out_; }

private:
    const CheckOptions& options_;
    CheckResult out_;
    std::map<std::string, int> first_title_line_;  // scene title -> line of its first scene
};

}  // namespace

bool is_field_title(std::string_view title) { return field_of_title(title) != Field::other; }

NodeRole role_of(const NumberedNode& node) {
    if (is_field_title(node.title)) return NodeRole::top_field;
    if (!node.lines.empty()) return NodeRole::scene;
    for (const NumberedNode& c : node.children)
        if (is_field_title(c.title)) return NodeRole::scene;
    return NodeRole::container;
}

NumberedNode parse_numbered_tree(std::string_view text) {
    NumberedNode root;
    std::vector<NumberedNode*> stack{&root};
    int line_no = 0;
    std::size_t pos = 0;
    while (true) {
        ++line_no;
        const std::size_t end = text.find('\n', pos);
        const std::string_view raw = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        const std::string_view line = text::rstrip(raw);
        if (!line.empty()) {
            text::Heading h;
            if (text::match_heading(line, h)) {
                while (stack.back()->level >= h.level) stack.pop_back();
                NumberedNode& parent = *stack.back();
                parent.children.push_back({text::clean_text(h.title), h.level, line_no, {}, {}});
                stack.push_back(&parent.children.back());
            } else {
                stack.back()->lines.push_back({line, line_no});
            }
        }
        if (end == std::string_view::npos) break;
        pos = end + 1;
    }
    return root;
}

std::string_view nearest_field_title(std::string_view raw) {
    if (is_field_title(raw)) return {};
    // Trailing punctuation and numbering around a field title.
    std::string t = text::clean_text(raw);
    for (std::string_view tail : {"：", ":", "。", ".", "！", "!", "事项", "信息"}) {
        if (t.size() > tail.size() && t.ends_with(tail)) {
            const std::string head = std::string(text::rstrip(std::string_view(t).substr(0, t.size() - tail.size())));
            if (is_field_title(head)) return field_title_of(head);
        }
    }
    static const std::pair<std::string_view, std::string_view> kSynonyms[] = {
        {"步骤", "操作步骤"},     {"操作", "操作步骤"},     {"操作方法", "操作步骤"}, {"使用方法", "操作步骤"},
        {"方法", "操作步骤"},     {"操作流程", "操作步骤"}, {"使用步骤", "操作步骤"}, {"操作说明", "操作步骤"},
        {"步骤说明", "操作步骤"}, {"危险", "警告"},         {"警示", "警告"},         {"小心", "注意"},
        {"注意事项", "注意"},     {"须知", "注意"},         {"小贴士", "提示"},       {"温馨提示", "提示"},
        {"备注", "提示"},         {"技巧", "提示"},         {"概述", "说明"},         {"简介", "说明"},
        {"描述", "说明"},         {"介绍", "说明"},         {"功能说明", "说明"},     {"功能介绍", "说明"},
        {"使用说明", "说明"},
    };
    for (const auto& [word, field] : kSynonyms)
        if (t == word) return field;
    return {};
}

// The line (1-based) of a byte offset, lines ending at "\n", "\r" or "\r\n" as
// the indexing run reads them.
static int line_of_offset(std::string_view bytes, std::size_t offset) {
    int line = 1;
    for (std::size_t i = 0; i < offset && i < bytes.size(); ++i) {
        if (bytes[i] == '\n') ++line;
        else if (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n')) ++line;
    }
    return line;
}

CheckResult check_manual(std::string_view bytes, const CheckOptions& options) {
    Checker checker(options);
    const std::size_t bad = uni::find_invalid_utf8(bytes);
    if (bad != std::string_view::npos) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(bytes[bad]));
        checker.finding(line_of_offset(bytes, bad), "invalid-utf8",
                        std::string("not UTF-8 (byte ") + hex + " at offset " + std::to_string(bad) +
                            "): indexing stops at this manual; save it as UTF-8",
                        "error");
        return std::move(checker.result());
    }
    // Read as the indexing run reads a manual: a leading byte-order mark
    // dropped, "\r\n" and a lone "\r" ending a line.
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        checker.finding(1, "bom",
                        "the file starts with a byte-order mark: indexing drops it, but other tools may read it as "
                        "part of the first line; save the file as UTF-8 without BOM");
        bytes.remove_prefix(3);
    }
    const std::string text = io::translate_newlines(bytes);
    const NumberedNode root = parse_numbered_tree(text);
    if (!root.lines.empty()) {
        checker.finding(root.lines.front().line, "text-before-heading",
                        std::to_string(root.lines.size()) + " line(s) before the first heading are dropped, from " +
                            quoted(excerpt(root.lines.front().text)) +
                            (root.children.empty() ? "; the manual has no heading, so no scene" : ""));
        for (const NumberedLine& l : root.lines) checker.content_line(l);
    }
    checker.walk(root, nullptr);

    // Empty scenes, from the parser's own result.
    const TreeDocument doc = markdown_to_tree(text);
    CheckResult& out = checker.result();
    for (std::size_t k = 0; k < doc.children.size() && k < out.scenes.size(); ++k) {
        const Scene& s = doc.children[k];
        if (s.description.empty() && s.images.empty() && s.steps.empty() && s.warning.empty() && s.notice.empty() &&
            s.tip.empty())
            checker.finding(out.scenes[k].line, "empty-scene",
                            "scene " + quoted(s.title) + " has no text, steps, images, warnings, notices or tips");
    }
    std::stable_sort(out.findings.begin(), out.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
    return std::move(out);
}

}  // namespace corvane::manual
