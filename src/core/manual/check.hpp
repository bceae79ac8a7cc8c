// Diagnostics over a manual: what the parser will drop, change or read
// differently from what its author probably meant, by line.  The walk follows
// the parser's own rules (manual.hpp) over a heading tree that keeps line
// numbers, so every finding names the line it comes from.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::manual {

// One content line, trailing white space removed; line numbers start at 1.
struct NumberedLine {
    std::string_view text;
    int line = 0;
};

// The heading tree of parse_heading_tree with the line of every heading and
// content line.  title is clean_text of the heading text; the root has level 0
// and line 0.
struct NumberedNode {
    std::string title;
    int level = 0;
    int line = 0;
    std::vector<NumberedLine> lines;
    std::vector<NumberedNode> children;
};
NumberedNode parse_numbered_tree(std::string_view text);

// How the parser uses a heading below the root.
enum class NodeRole {
    scene,      // becomes one scene (has text of its own or a field heading below it)
    container,  // chapter heading: no text, no field heading; its title is in no scene
    top_field,  // a field heading directly under the root (or a container): skipped whole
};
NodeRole role_of(const NumberedNode& node);

// Calls fn(node) for every scene node, in the order of the tree document's
// "children".
template <class Fn>
void for_each_scene_node(const NumberedNode& node, Fn&& fn) {
    for (const NumberedNode& child : node.children) {
        switch (role_of(child)) {
            case NodeRole::scene: fn(child); break;
            case NodeRole::container: for_each_scene_node(child, fn); break;
            case NodeRole::top_field: break;
        }
    }
}

// Calls fn(line) for every content line the parser reads into the scene of
// `scene` (its own lines, those of its direct sub-headings and of the
// sub-headings of its field headings), in document order.
template <class Fn>
void for_each_scene_line(const NumberedNode& scene, Fn&& fn);

struct Finding {
    int line = 0;          // 1-based; 0 for the file as a whole
    std::string severity;  // "error" (the manual cannot be indexed) or "warning"
    std::string code;      // stable, kebab-case: see kFindingCodes
    std::string message;   // one line, names what is affected and what happens to it
};

// Every code check_manual can report, with a one-line description.
struct FindingCode {
    std::string_view code;
    std::string_view what;
};
extern const FindingCode kFindingCodes[];
extern const std::size_t kFindingCodeCount;

struct CheckOptions {
    std::size_t long_line = 400;  // code points; longer lines are reported
};

struct SceneRef {
    std::string title;
    int line = 0;
};

struct CheckResult {
    std::vector<Finding> findings;  // by line, then in the order found
    std::vector<SceneRef> scenes;   // the scenes, in tree-document order
};

// Checks the raw bytes of one manual file, read as the indexing run reads it
// (strict UTF-8, a leading byte-order mark dropped, universal newlines).
// Invalid UTF-8 is the one error: nothing else is checked then, as the run
// itself stops at such a file.
CheckResult check_manual(std::string_view bytes, const CheckOptions& options = {});

// The field title a heading title probably meant ("步骤" -> "操作步骤"), or empty.
std::string_view nearest_field_title(std::string_view title);

// --- implementation of the template above ---------------------------------------------

bool is_field_title(std::string_view title);

template <class Fn>
void for_each_scene_line(const NumberedNode& scene, Fn&& fn) {
    for (const NumberedLine& l : scene.lines) fn(l);
    for (const NumberedNode& child : scene.children) {
        for (const NumberedLine& l : child.lines) fn(l);
        if (is_field_title(child.title))
            for (const NumberedNode& grand : child.children)
                for (const NumberedLine& l : grand.lines) fn(l);
    }
}

}  // namespace corvane::manual
