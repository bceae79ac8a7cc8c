#include "bindings/common/answer.hpp"

namespace corvane::py {

std::pair<nb::object, nb::object> unpack_pair(nb::handle pair) {
    PyObject* it = PyObject_GetIter(pair.ptr());
    if (!it) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    PyObject* items[3] = {nullptr, nullptr, nullptr};
    int got = 0;
    for (; got < 3; ++got) {
        items[got] = PyIter_Next(iter.ptr());
        if (!items[got]) break;
    }
    nb::object first = nb::steal(items[0]), second = nb::steal(items[1]), third = nb::steal(items[2]);
    if (PyErr_Occurred()) throw nb::python_error();
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
        throw nb::python_error();
    }
    if (got > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    return {first, second};
}

nb::dict matched_record(const RecordParts& parts, nb::handle query, nb::handle pairs) {
    nb::object intent = parts.classify_query_intent(query);
    nb::list results;
    for (nb::handle pair : pairs) {
        auto [record, score] = unpack_pair(pair);
        nb::object scene = get_item(record, key("scene_data"));
        nb::object context = parts.build_scene_context(scene, intent);
        nb::dict entry;
        set_item(entry, key("node_id"), get_item(record, key("scene_id")));
        set_item(entry, key("title"), get_item(record, key("scene_title")));
        set_item(entry, key("score"), score);
        set_item(entry, key("intent"), intent);
        set_item(entry, key("context"), context);
        append(results, entry);
    }
    nb::dict matched;
    set_item(matched, key("query"), query);
    set_item(matched, key("intent"), intent);
    set_item(matched, key("results"), results);
    return matched;
}

}  // namespace corvane::py
