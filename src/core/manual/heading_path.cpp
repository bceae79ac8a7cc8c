#include "core/manual/heading_path.hpp"

#include "core/manual/manual.hpp"

namespace corvane::manual {

namespace {
bool is_field(const HeadingNode& n) { return field_of_title(n.title) != Field::other; }

// Walks the tree exactly as collect_scenes does, so path i belongs to scene i.
void walk(const HeadingNode& node, std::vector<std::string>& stack, std::vector<std::vector<std::string>>& out) {
    for (const HeadingNode& child : node.children) {
        if (is_field(child)) continue;
        bool has_field_child = false;
        for (const HeadingNode& gc : child.children)
            if (is_field(gc)) {
                has_field_child = true;
                break;
            }
        if (has_field_child || !child.content_lines.empty()) {
            out.push_back(stack);
        } else {
            stack.push_back(text::clean_text(child.title));
            walk(child, stack, out);
            stack.pop_back();
        }
    }
}
}  // namespace

std::vector<std::vector<std::string>> scene_heading_paths(const HeadingNode& root) {
    std::vector<std::vector<std::string>> out;
    std::vector<std::string> stack;
    walk(root, stack, out);
    return out;
}

std::vector<std::vector<std::string>> scene_heading_paths(std::string_view markdown, std::string_view doc_name,
                                                          std::string_view document_title) {
    return scene_heading_paths(parse_heading_tree(markdown, doc_name, document_title));
}

std::string join_heading_path(const std::vector<std::string>& path, std::string_view sep) {
    std::string s;
    for (const std::string& p : path) {
        if (p.empty()) continue;
        if (!s.empty()) s += sep;
        s += p;
    }
    return s;
}

}  // namespace corvane::manual
