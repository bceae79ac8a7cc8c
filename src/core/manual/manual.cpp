#include "core/manual/manual.hpp"

#include <cstring>

namespace corvane::manual {

Field field_of_title(std::string_view title) {
    for (const auto& f : kFieldTitles)
        if (f.title == title) return f.field;
    return Field::other;
}

Field field_of_key(std::string_view key) {
    for (const auto& f : kFieldTitles)
        if (f.key == key) return f.field;
    return Field::other;
}

std::string_view root_title(std::string_view doc_name, std::string_view document_title) {
    if (!document_title.empty()) return document_title;
    if (!doc_name.empty()) return doc_name;
    return "document";
}

HeadingNode parse_heading_tree(std::string_view text, std::string_view doc_name, std::string_view document_title) {
    HeadingNode root;
    root.title = std::string(root_title(doc_name, document_title));
    // Open headings, root first; at most seven deep (levels 0 to 6).
    std::vector<HeadingNode*> stack{&root};
    std::size_t pos = 0;
    while (true) {
        const std::size_t nl = text.find('\n', pos);
        const std::string_view raw = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        const std::string_view line = text::rstrip(raw);
        if (!line.empty()) {
            text::Heading h;
            if (line[0] == '#' && text::match_heading(line, h)) {
                while (stack.back()->level >= h.level) stack.pop_back();
                HeadingNode& parent = *stack.back();
                if (parent.children.empty()) parent.children.reserve(4);
                parent.children.emplace_back();
                HeadingNode& node = parent.children.back();
                node.title = text::clean_text(h.title);
                node.level = h.level;
                stack.push_back(&node);
            } else {
                std::vector<std::string_view>& lines = stack.back()->content_lines;
                if (lines.empty()) lines.reserve(8);
                lines.push_back(line);
            }
        }
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return root;
}

std::pair<std::string, std::vector<std::string>> split_step_text_and_subpoints(std::string_view raw) {
    std::string t = text::clean_text(raw);
    static constexpr std::string_view kColon = "：";
    // Its first byte also starts most other full-width punctuation: search by
    // that byte and compare the other two in place.
    std::size_t colon = std::string::npos;
    for (const char* p = t.data(), *end = p + t.size(); p + 3 <= end; ++p) {
        p = static_cast<const char*>(std::memchr(p, kColon[0], static_cast<std::size_t>(end - p)));
        if (!p || p + 3 > end) break;
        if (p[1] == kColon[1] && p[2] == kColon[2]) {
            colon = static_cast<std::size_t>(p - t.data());
            break;
        }
    }
    if (colon != std::string::npos) {
        const std::string_view rest = std::string_view(t).substr(colon + kColon.size());
        std::vector<std::string> subs;
        std::size_t start = 0;
        // Split at "；" (U+FF1B) and ";".
        for (std::size_t i = 0; i <= rest.size();) {
            std::size_t width = 0;
            if (i == rest.size()) {
                width = 0;
            } else if (rest[i] == ';') {
                width = 1;
            } else if (rest.compare(i, 3, "；") == 0) {
                width = 3;
            } else {
                ++i;
                continue;
            }
            const std::string_view piece = text::strip(rest.substr(start, i - start));
            if (!piece.empty()) subs.emplace_back(piece);
            if (i == rest.size()) break;
            i += width;
            start = i;
        }
        if (!subs.empty()) return {text::clean_text(std::string_view(t).substr(0, colon)), std::move(subs)};
    }
    return {std::move(t), {}};
}

void SceneSink::scene_image(std::string_view url) {
    std::string caption = scene_.title;
    caption += "相关图片";
    scene_.images.push_back(Image{std::string(url), "scene", std::move(caption)});
}

void SceneSink::step_image(std::string_view url) {
    Step& step = scene_.steps.back();
    std::string caption = scene_.title;
    caption += "-步骤";
    caption += step.index_text;
    caption += "图片";
    step.images.push_back(Image{std::string(url), "step_" + step.index_text, std::move(caption)});
}

void SceneSink::append_description(std::string&& t) {
    if (scene_.description.empty()) {
        scene_.description = std::move(t);
    } else {
        scene_.description += '\n';
        scene_.description += t;
    }
}

void SceneSink::append_description_cleaned(std::string_view raw) {
    if (!scene_.description.empty()) scene_.description += '\n';
    text::append_clean_text(scene_.description, raw);
}

void SceneSink::new_step(const text::StepLine& line, std::string&& step_text, std::vector<std::string>&& subs) {
    Step step;
    step.digits = text::numeral_digits(line.numeral);
    const std::size_t nz = step.digits.find_first_not_of('0');
    step.index_text = nz == std::string::npos ? std::string("0") : step.digits.substr(nz);
    step.text = std::move(step_text);  // already clean
    step.sub_points = std::move(subs);
    scene_.steps.push_back(std::move(step));
}

void SceneSink::step_extend_text(std::string&& t) {
    std::string& text = scene_.steps.back().text;
    text += ' ';
    text += t;
}

void SceneSink::list_item(Field f, std::string&& item) {
    switch (f) {
        case Field::warning: scene_.warning.push_back(std::move(item)); break;
        case Field::notice: scene_.notice.push_back(std::move(item)); break;
        case Field::tip: scene_.tip.push_back(std::move(item)); break;
        default: break;
    }
}

bool is_field_heading(const HeadingNode& node) { return field_of_title(node.title) != Field::other; }

bool heading_node_to_scene(const HeadingNode& node, Scene& scene) {
    if (is_field_heading(node)) return false;
    scene.title = text::clean_text(node.title);
    SceneSink sink(scene);
    parse_field(sink, Field::description, node.content_lines);
    for (const HeadingNode& child : node.children) {
        const Field f = field_of_title(child.title);
        if (f != Field::other) {
            parse_field(sink, f, child.content_lines);
            for (const HeadingNode& grand_child : child.children) parse_field(sink, f, grand_child.content_lines);
        } else {
            if (!child.title.empty()) sink.append_description(text::clean_text(child.title));
            parse_field(sink, Field::description, child.content_lines);
        }
    }
    return true;
}

void collect_scenes(const HeadingNode& node, std::vector<Scene>& out) {
    for (const HeadingNode& child : node.children) {
        if (is_field_heading(child)) continue;
        bool has_field_child = false;
        for (const HeadingNode& gc : child.children)
            if (is_field_heading(gc)) { has_field_child = true; break; }
        if (has_field_child || !child.content_lines.empty()) {
            out.emplace_back();
            heading_node_to_scene(child, out.back());
        } else {
            collect_scenes(child, out);
        }
    }
}

TreeDocument markdown_to_tree(std::string_view text, std::string_view doc_name, std::string_view document_title) {
    const HeadingNode root = parse_heading_tree(text, doc_name, document_title);
    TreeDocument doc;
    doc.doc_name = std::string(doc_name);
    doc.title = std::string(root_title(doc_name, document_title));
    collect_scenes(root, doc.children);
    return doc;
}

}  // namespace corvane::manual
