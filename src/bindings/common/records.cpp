#include "bindings/common/records.hpp"

#include "core/text/text.hpp"

namespace corvane::py {
namespace {

nb::dict new_dict() { return nb::steal<nb::dict>(PyDict_New()); }

void put(nb::dict& d, const char* k, nb::handle v) { set_item(d, key(k), v); }
void put_str(nb::dict& d, const char* k, std::string_view v) { put(d, k, str(v)); }

nb::list image_list(const std::vector<Image>& images) {
    nb::list out;
    for (const Image& img : images) append(out, image_to_dict(img));
    return out;
}

}  // namespace

nb::dict image_to_dict(const Image& img) {
    nb::dict d = new_dict();
    put_str(d, "url", img.url);
    put_str(d, "position", img.position);
    put_str(d, "caption", img.caption);
    return d;
}

nb::dict step_to_dict(const Step& step) {
    nb::dict d = new_dict();
    put(d, "index", int_from_digits(step.digits));
    put_str(d, "text", step.text);
    put(d, "sub_points", str_list(step.sub_points));
    put(d, "images", image_list(step.images));
    return d;
}

nb::dict scene_to_dict(const Scene& scene) {
    nb::dict d = new_dict();
    put(d, "type", key("scene"));
    put_str(d, "title", scene.title);
    put_str(d, "description", scene.description);
    put(d, "images", image_list(scene.images));
    nb::list steps;
    for (const Step& s : scene.steps) append(steps, step_to_dict(s));
    put(d, "steps", steps);
    put(d, "warning", str_list(scene.warning));
    put(d, "notice", str_list(scene.notice));
    put(d, "tip", str_list(scene.tip));
    return d;
}

nb::dict tree_to_dict(const TreeDocument& doc) {
    // Thousands of new dicts and lists, none of them in a cycle: the cyclic
    // collector would only walk them over and over while they are built.
    CollectorPause pause;
    nb::dict d = new_dict();
    put(d, "type", key("document"));
    put_str(d, "doc_name", doc.doc_name);
    put_str(d, "title", doc.title);
    nb::list children;
    for (const Scene& s : doc.children) append(children, scene_to_dict(s));
    put(d, "children", children);
    return d;
}

nb::dict heading_to_dict(const HeadingNode& node) {
    nb::dict d = new_dict();
    put_str(d, "title", node.title);
    put(d, "level", nb::int_(node.level));
    nb::list lines;
    for (std::string_view l : node.content_lines) append(lines, str(l));
    put(d, "content_lines", lines);
    nb::list children;
    for (const HeadingNode& c : node.children) append(children, heading_to_dict(c));
    put(d, "children", children);
    return d;
}

nb::dict make_step_dict(nb::handle index, nb::handle text_obj) {
    std::string scratch;
    nb::dict d = new_dict();
    put(d, "index", index);
    put_str(d, "text", text::clean_text(utf8(text_obj, scratch)));
    put(d, "sub_points", nb::list());
    put(d, "images", nb::list());
    return d;
}

nb::dict make_scene_dict(nb::handle title) {
    std::string scratch;
    nb::dict d = new_dict();
    put(d, "type", key("scene"));
    put_str(d, "title", text::clean_text(utf8(title, scratch)));
    put_str(d, "description", "");
    put(d, "images", nb::list());
    put(d, "steps", nb::list());
    put(d, "warning", nb::list());
    put(d, "notice", nb::list());
    put(d, "tip", nb::list());
    return d;
}

HeadingNode HeadingReader::read(nb::handle node, const char* fn) {
    HeadingNode out;
    read_into(out, node, fn);
    return out;
}

void HeadingReader::read_into(HeadingNode& out, nb::handle node, const char* fn) {
    if (!PyDict_Check(node.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s(): a heading node must be a dict, not %.200s", fn,
                     Py_TYPE(node.ptr())->tp_name);
        throw nb::python_error();
    }
    if (Py_EnterRecursiveCall(" while reading a heading node")) throw nb::python_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    nb::object title = get_item(node, key("title"));
    if (!PyUnicode_Check(title.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s(): heading node 'title' must be str, not %.200s", fn,
                     Py_TYPE(title.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string tmp;
    out.title = std::string(utf8(title, tmp));
    nb::object lines = get_item(node, key("content_lines"));
    if (!PyList_Check(lines.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s(): heading node 'content_lines' must be a list", fn);
        throw nb::python_error();
    }
    // No caller code runs in this loop; the views hold their str objects.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.ptr()); ++i) {
        nb::handle item = PyList_GET_ITEM(lines.ptr(), i);
        if (!PyUnicode_Check(item.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s(): heading node 'content_lines' must hold only str, not %.200s", fn,
                         Py_TYPE(item.ptr())->tp_name);
            throw nb::python_error();
        }
        out.content_lines.push_back(views_.of(item));
    }
    nb::object children = get_item(node, key("children"));
    if (!PyList_Check(children.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s(): heading node 'children' must be a list", fn);
        throw nb::python_error();
    }
    // Reading a child runs its lookups, which may change this list: each child
    // is held while it is read and the length is read again every time.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.ptr()); ++i) {
        nb::object child = nb::borrow(PyList_GET_ITEM(children.ptr(), i));
        out.children.emplace_back();
        read_into(out.children.back(), child, fn);
    }
}

}  // namespace corvane::py
