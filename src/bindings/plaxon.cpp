// corvane.plaxon: Markdown manual -> heading tree -> tree document of scenes.
#include "bindings/common/module.hpp"
#include "bindings/common/records.hpp"
#include "core/manual/manual.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;
using py::require_str;

namespace {

// Fills the caller's Scene dict in place, following the same rules as the core.
class DictSceneSink {
public:
    explicit DictSceneSink(nb::handle scene) : scene_(scene) {}

    std::string scene_title() {
        nb::object t = py::get_item(scene_, py::key("title"));
        if (PyUnicode_Check(t.ptr())) {
            std::string scratch;
            return std::string(py::utf8(t, scratch));
        }
        return std::string(py::utf8(nb::str(t), scratch_));
    }
    void scene_image(std::string_view url) {
        std::string caption = scene_title() + "相关图片";
        append_image(py::get_item(scene_, py::key("images")), url, "scene", caption);
    }
    void step_image(std::string_view url) {
        std::string caption = scene_title() + "-步骤" + step_index_ + "图片";
        append_image(py::get_item(step_, py::key("images")), url, "step_" + step_index_, caption);
    }
    void append_description(std::string&& t) {
        nb::handle k = py::key("description");
        nb::object old = py::get_item(scene_, k);
        const int nonempty = PyObject_IsTrue(old.ptr());
        if (nonempty < 0) throw nb::python_error();
        nb::object joined = nonempty ? concat(concat(old, nb::str("\n")), py::str(t)) : nb::object(py::str(t));
        if (PyObject_SetItem(scene_.ptr(), k.ptr(), joined.ptr()) != 0) throw nb::python_error();
    }
    void new_step(const text::StepLine& line, std::string&& step_text, std::vector<std::string>&& subs) {
        const std::string digits = text::numeral_digits(line.numeral);
        nb::object index = py::int_from_digits(digits);
        step_index_ = text::numeral_value_text(line.numeral);
        nb::dict step = py::make_step_dict(index, py::str(step_text));
        nb::object sub_points = py::get_item(step, py::key("sub_points"));
        for (const std::string& s : subs) py::append(sub_points, py::str(s));
        call_append(py::get_item(scene_, py::key("steps")), step);
        step_ = step;
    }
    void step_sub_point(std::string&& t) { py::append(py::get_item(step_, py::key("sub_points")), py::str(t)); }
    void step_extend_text(std::string&& t) {
        nb::handle k = py::key("text");
        py::set_item(step_, k, concat(concat(py::get_item(step_, k), nb::str(" ")), py::str(t)));
    }
    void list_item(manual::Field f, std::string&& item) {
        const char* name = f == manual::Field::warning ? "warning" : f == manual::Field::notice ? "notice" : "tip";
        call_append(py::get_item(scene_, py::key(name)), py::str(item));
    }

private:
    static nb::object concat(nb::handle a, nb::handle b) {
        PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    static void call_append(nb::handle list, nb::handle item) {
        if (PyList_CheckExact(list.ptr())) {
            py::append(list, item);
        } else {
            list.attr("append")(item);
        }
    }
    static void append_image(nb::handle images, std::string_view url, std::string_view position,
                             std::string_view caption) {
        nb::dict img;
        py::set_item(img, py::key("url"), py::str(url));
        py::set_item(img, py::key("position"), py::str(position));
        py::set_item(img, py::key("caption"), py::str(caption));
        call_append(images, img);
    }

    nb::handle scene_;
    nb::dict step_;
    std::string step_index_;
    std::string scratch_;
};

void parse_field_into_scene(nb::handle scene, nb::handle field, nb::handle lines, const char* fn) {
    py::require_dict(scene, fn, "scene");
    require_str(field, fn, "field");
    py::require_list(lines, fn, "lines");
    std::string scratch;
    const manual::Field f = manual::field_of_key(py::utf8(field, scratch));
    py::Utf8List views(lines, fn, "lines");
    DictSceneSink sink(scene);
    manual::parse_field(sink, f, views);
}

nb::object make_pattern(const char* pattern) { return nb::module_::import_("re").attr("compile")(pattern); }

}  // namespace

CORVANE_MODULE(plaxon, m) {
    m.doc() = "Manual parsing: Markdown text of one manual to heading tree to tree document with scenes.";

    m.attr("HEADING_RE") = make_pattern(R"(^(#{1,6})\s+(.*)$)");
    m.attr("IMAGE_RE") = make_pattern(R"(!\[\]\((.*?)\))");
    m.attr("STEP_RE") = make_pattern(R"(^\s*(\d+)\.\s+(.*)$)");
    m.attr("BULLET_RE") = make_pattern(R"(^\s*-\s+(.*)$)");
    nb::dict field_titles;
    for (const auto& f : manual::kFieldTitles) field_titles[py::str(f.title)] = py::str(f.key);
    m.attr("FIELD_TITLES") = field_titles;

    m.def(
        "clean_text",
        [](nb::handle text) {
            require_str(text, "clean_text", "text");
            std::string scratch;
            return py::str(text::clean_text(py::utf8(text, scratch)));
        },
        "text"_a.none(), "Collapse every run of white space to one space and trim.");
    m.def(
        "is_blank",
        [](nb::handle line) {
            require_str(line, "is_blank", "line");
            std::string scratch;
            return text::is_blank(py::utf8(line, scratch));
        },
        "line"_a.none(), "True when the line holds only white space.");
    m.def(
        "extract_image_urls",
        [](nb::handle t) {
            require_str(t, "extract_image_urls", "text");
            std::string scratch;
            nb::list out;
            for (std::string_view url : text::extract_image_urls(py::utf8(t, scratch))) py::append(out, py::str(url));
            return out;
        },
        "text"_a.none(), "Addresses of every ![](address) image, left to right.");
    m.def(
        "strip_images",
        [](nb::handle t) {
            require_str(t, "strip_images", "text");
            std::string scratch;
            return py::str(text::strip_images(py::utf8(t, scratch)));
        },
        "text"_a.none(), "The text without its ![](address) images, trimmed.");
    m.def(
        "make_heading_node",
        [](nb::handle title, nb::handle level) {
            require_str(title, "make_heading_node", "title");
            py::require_int(level, "make_heading_node", "level");
            std::string scratch;
            nb::dict d;
            py::set_item(d, py::key("title"), py::str(text::clean_text(py::utf8(title, scratch))));
            py::set_item(d, py::key("level"), level);
            py::set_item(d, py::key("content_lines"), nb::list());
            py::set_item(d, py::key("children"), nb::list());
            return d;
        },
        "title"_a.none(), "level"_a.none(), "A new heading node with a cleaned title and empty lists.");
    m.def(
        "parse_markdown_heading_tree",
        [](nb::handle t, nb::handle doc_name, nb::handle document_title) {
            const char* fn = "parse_markdown_heading_tree";
            require_str(t, fn, "text");
            require_str(doc_name, fn, "doc_name");
            require_str(document_title, fn, "document_title");
            std::string s1, s2, s3;
            return py::heading_to_dict(manual::parse_heading_tree(py::utf8(t, s1), py::utf8(doc_name, s2),
                                                                  py::utf8(document_title, s3)));
        },
        "text"_a.none(), "doc_name"_a.none() = "", "document_title"_a.none() = "", "Build the heading tree of one manual; returns the root.");
    m.def(
        "make_scene",
        [](nb::handle title) {
            require_str(title, "make_scene", "title");
            return py::make_scene_dict(title);
        },
        "title"_a.none(), "A new Scene with a cleaned title and empty fields.");
    m.def(
        "make_step",
        [](nb::handle index, nb::handle t) {
            py::require_int(index, "make_step", "index");
            require_str(t, "make_step", "text");
            return py::make_step_dict(index, t);
        },
        "index"_a.none(), "text"_a.none(), "A new Step with a cleaned text and empty lists.");
    m.def(
        "split_step_text_and_subpoints",
        [](nb::handle t) {
            require_str(t, "split_step_text_and_subpoints", "text");
            std::string scratch;
            auto [head, subs] = manual::split_step_text_and_subpoints(py::utf8(t, scratch));
            return nb::make_tuple(py::str(head), py::str_list(subs));
        },
        "text"_a.none(), "Split a step line at its first full-width colon into text and sub-points.");
    m.def(
        "parse_field_into_scene",
        [](nb::handle scene, nb::handle field, nb::handle lines) {
            parse_field_into_scene(scene, field, lines, "parse_field_into_scene");
        },
        "scene"_a.none(), "field"_a.none(), "lines"_a.none(), "Parse the lines of one field into the Scene, in place.");
    m.def(
        "parse_free_content_into_scene",
        [](nb::handle scene, nb::handle lines) {
            parse_field_into_scene(scene, py::key("description"), lines, "parse_free_content_into_scene");
        },
        "scene"_a.none(), "lines"_a.none(), "Parse free content lines into the Scene's description, in place.");
    m.def(
        "heading_node_to_scene",
        [](nb::handle node) -> nb::object {
            py::require_dict(node, "heading_node_to_scene", "node");
            py::HeadingReader reader;
            const HeadingNode n = reader.read(node, "heading_node_to_scene");
            Scene scene;
            if (!manual::heading_node_to_scene(n, scene)) return nb::none();
            return py::scene_to_dict(scene);
        },
        "node"_a.none(), "The Scene of a heading node, or None for a field heading.");
    m.def(
        "collect_scenes_from_heading_tree",
        [](nb::handle node) {
            py::require_dict(node, "collect_scenes_from_heading_tree", "node");
            py::HeadingReader reader;
            const HeadingNode n = reader.read(node, "collect_scenes_from_heading_tree");
            std::vector<Scene> scenes;
            manual::collect_scenes(n, scenes);
            nb::list out;
            for (const Scene& s : scenes) py::append(out, py::scene_to_dict(s));
            return out;
        },
        "node"_a.none(), "Every scene below a heading node, in document order.");
    m.def(
        "markdown_to_tree",
        [](nb::handle t, nb::handle doc_name, nb::handle document_title) {
            const char* fn = "markdown_to_tree";
            require_str(t, fn, "text");
            require_str(doc_name, fn, "doc_name");
            require_str(document_title, fn, "document_title");
            std::string s1, s2, s3;
            TreeDocument doc;
            {
                const std::string_view tv = py::utf8(t, s1), dn = py::utf8(doc_name, s2),
                                       dt = py::utf8(document_title, s3);
                nb::gil_scoped_release unlocked;
                doc = manual::markdown_to_tree(tv, dn, dt);
            }
            return py::tree_to_dict(doc);
        },
        "text"_a.none(), "doc_name"_a.none() = "", "document_title"_a.none() = "", "Parse one manual into its tree document.");
}
