// Manual parsing: Markdown text -> heading tree -> scenes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/manual/records.hpp"
#include "core/text/text.hpp"

namespace corvane::manual {

// The five field headings and the Scene key each one fills, in this order.
enum class Field { description, steps, warning, notice, tip, other };
struct FieldTitle {
    std::string_view title;
    std::string_view key;
    Field field;
};
inline constexpr FieldTitle kFieldTitles[] = {
    {"说明", "description", Field::description}, {"操作步骤", "steps", Field::steps},
    {"警告", "warning", Field::warning},         {"注意", "notice", Field::notice},
    {"提示", "tip", Field::tip},
};
// The field a heading title names, or Field::other.
Field field_of_title(std::string_view title);
// The field a Scene key names ("description", "steps", ...), or Field::other.
Field field_of_key(std::string_view key);

// The root title: document_title, else doc_name, else "document".
std::string_view root_title(std::string_view doc_name, std::string_view document_title);

HeadingNode parse_heading_tree(std::string_view text, std::string_view doc_name = {},
                               std::string_view document_title = {});

std::pair<std::string, std::vector<std::string>> split_step_text_and_subpoints(std::string_view text);

// Parses the lines of one field into a scene through a sink, so the same rules
// fill both the core's Scene structs and the host's Scene dicts.  A sink has:
//   std::string_view scene_title();                       (for captions)
//   void scene_image(std::string_view url);
//   void step_image(std::string_view url);                 (current step exists)
//   void append_description(std::string&& t);
//   void new_step(const text::StepLine&, std::string&& text, std::vector<std::string>&& subs);
//   void step_sub_point(std::string&& t);
//   void step_extend_text(std::string&& t);
//   void list_item(Field f, std::string&& item);
template <class Sink, class Lines>
void parse_field(Sink& sink, Field field, const Lines& lines) {
    bool has_step = false;
    for (std::string_view raw : lines) {
        const std::string_view line = text::rstrip(raw);
        if (line.empty()) continue;  // rstrip leaves nothing of a blank line
        if (text::lstrip(line) == "---") continue;
        bool had_image = false;
        text::for_each_image(line, [&](std::string_view url, std::size_t, std::size_t) {
            had_image = true;
            if (field == Field::steps && has_step)
                sink.step_image(url);
            else
                sink.scene_image(url);
        });
        std::string stripped;
        std::string_view body;
        if (had_image) {
            stripped = text::strip_images(line);
            body = stripped;
        } else {
            body = text::lstrip(line);
        }
        if (body.empty()) continue;
        switch (field) {
            case Field::description:
                if constexpr (requires { sink.append_description_cleaned(body); })
                    sink.append_description_cleaned(body);  // cleans straight into place
                else
                    sink.append_description(text::clean_text(body));
                break;
            case Field::steps: {
                text::StepLine step;
                std::string_view item;
                if (text::match_step(body, step)) {
                    auto [head, subs] = split_step_text_and_subpoints(step.text);  // cleans the text itself
                    sink.new_step(step, std::move(head), std::move(subs));
                    has_step = true;
                } else if (text::match_bullet(body, item)) {
                    if (has_step) sink.step_sub_point(text::clean_text(item));
                } else if (has_step) {
                    sink.step_extend_text(text::clean_text(body));
                }
                break;
            }
            case Field::warning:
            case Field::notice:
            case Field::tip: {
                std::string_view item;
                sink.list_item(field, text::clean_text(text::match_bullet(body, item) ? item : body));
                break;
            }
            case Field::other:
                break;
        }
    }
}

// Scene extraction over the core structs.
bool is_field_heading(const HeadingNode& node);
// nullopt-like: returns false when the node is a field heading.
bool heading_node_to_scene(const HeadingNode& node, Scene& out);
void collect_scenes(const HeadingNode& node, std::vector<Scene>& out);
TreeDocument markdown_to_tree(std::string_view text, std::string_view doc_name = {},
                              std::string_view document_title = {});

// Core sink: fills a Scene struct.
class SceneSink {
public:
    explicit SceneSink(Scene& scene) : scene_(scene) {}
    std::string_view scene_title() const { return scene_.title; }
    void scene_image(std::string_view url);
    void step_image(std::string_view url);
    void append_description(std::string&& t);
    // append_description(clean_text(raw)) for a raw text with some non-space.
    void append_description_cleaned(std::string_view raw);
    void new_step(const text::StepLine& line, std::string&& text, std::vector<std::string>&& subs);
    void step_sub_point(std::string&& t) { scene_.steps.back().sub_points.push_back(std::move(t)); }
    void step_extend_text(std::string&& t);
    void list_item(Field f, std::string&& item);

private:
    Scene& scene_;
};

}  // namespace corvane::manual
