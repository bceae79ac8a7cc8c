// Conversion between the core's records and the host's dicts, keys in the
// documented order.
#pragma once

#include "bindings/common/py_util.hpp"
#include "core/manual/records.hpp"


namespace corvane::py {

nb::dict image_to_dict(const Image& img);
nb::dict step_to_dict(const Step& step);
nb::dict scene_to_dict(const Scene& scene);
nb::dict tree_to_dict(const TreeDocument& doc);
nb::dict heading_to_dict(const HeadingNode& node);
// A new Step dict: "index" is the given int object, the lists are new.
nb::dict make_step_dict(nb::handle index, nb::handle text);
nb::dict make_scene_dict(nb::handle title);

// Reads a heading-node dict ("title", "content_lines", "children") into the
// core struct.  The lines are viewed through strong references the reader
// keeps, so the result stays valid (while the reader lives) whatever caller
// code run by the lookups does to the dicts and lists.  Nesting deeper than the
// host's recursion limit, or a node that contains itself, raises RecursionError.
class HeadingReader {
public:
    HeadingNode read(nb::handle node, const char* fn);

private:
    void read_into(HeadingNode& out, nb::handle node, const char* fn);
    Utf8Views views_;
};

}  // namespace corvane::py
