// Scene records as the bindings read them: the caller's own dicts (or any
// mapping with get()), missing keys as "" or empty sequences, any iterable
// walked.  Shared by the modules that build scene contexts.
#pragma once

#include "bindings/common/py_util.hpp"

#include <string>
#include <string_view>

namespace corvane::py {
namespace nb = nanobind;

[[noreturn]] inline void raise_type(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw nb::python_error();
}

inline std::string tp_name_of(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// obj.get(key, default): dicts directly, anything else through its own get().
inline nb::object get_or(nb::handle obj, const char* name, nb::handle dflt) {
    nb::handle k = py::key(name);
    if (PyDict_Check(obj.ptr())) {
        PyObject* v = py::get_opt(obj, k);
        return nb::borrow(v ? v : dflt.ptr());
    }
    return obj.attr("get")(k, dflt);
}
inline nb::object get_or_empty_str(nb::handle obj, const char* name) { return get_or(obj, name, py::key("")); }
inline nb::object get_or_empty_list(nb::handle obj, const char* name) {
    nb::list empty;
    return get_or(obj, name, empty);
}
// For values that are only iterated or tested: the default is a shared empty tuple.
inline nb::object get_or_nothing(nb::handle obj, const char* name) {
    static PyObject* empty = PyTuple_New(0);
    return get_or(obj, name, empty);
}

// Calls fn(item) for every item of an iterable (lists without an iterator).
template <class Fn>
void for_each(nb::handle iterable, Fn&& fn) {
    if (PyList_CheckExact(iterable.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(iterable.ptr(), i));
            fn(nb::handle(item));
        }
        return;
    }
    PyObject* it = PyObject_GetIter(iterable.ptr());
    if (!it) throw nb::python_error();
    nb::object iter = nb::steal(it);
    while (PyObject* raw = PyIter_Next(it)) {
        nb::object item = nb::steal(raw);
        fn(nb::handle(item));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

using Views = py::Utf8Views;

// A text field that must be a str; `what` names it in the error.
inline std::string_view text_field(Views& views, nb::handle v, const char* fn, const char* what) {
    if (!PyUnicode_Check(v.ptr())) raise_type(std::string(fn) + "() " + what + " must be str, not " + tp_name_of(v));
    return views.of(v);
}

}  // namespace corvane::py
