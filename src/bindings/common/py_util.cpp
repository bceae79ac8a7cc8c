#include "bindings/common/py_util.hpp"

#include <string>
#include <unordered_map>

namespace corvane::py {

void raise_arg_type(const char* fn, const char* param, const char* what, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fn, param, what,
                 Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

std::string_view utf8(nb::handle h, std::string& scratch) {
    if (!PyUnicode_Check(h.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.200s", Py_TYPE(h.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (data) return {data, static_cast<std::size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(h.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw nb::python_error();
    scratch.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return scratch;
}

Utf8List::Utf8List(nb::handle list, const char* fn, const char* param) {
    PyObject* seq = list.ptr();
    const Py_ssize_t n = PyList_GET_SIZE(seq);
    views_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(seq, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold only str, not %.200s (item %zd)", fn, param,
                         Py_TYPE(item)->tp_name, i);
            throw nb::python_error();
        }
        std::string tmp;
        std::string_view v = utf8(item, tmp);
        if (!tmp.empty()) {
            scratch_.push_back(std::move(tmp));
            v = scratch_.back();
        }
        views_.push_back(v);
    }
}

PyObject* new_str(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

nb::str str(std::string_view s) {
    PyObject* o = new_str(s);
    if (!o) throw nb::python_error();
    return nb::steal<nb::str>(o);
}

nb::object int_from_digits(const std::string& digits) {
    if (digits.size() <= 18) return nb::steal(PyLong_FromLongLong(std::stoll(digits)));
    PyObject* o = PyLong_FromString(digits.c_str(), nullptr, 10);
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

long max_str_digits() {
    nb::object sys = nb::module_::import_("sys");
    if (!nb::hasattr(sys, "get_int_max_str_digits")) return 0;
    return nb::cast<long>(sys.attr("get_int_max_str_digits")());
}

nb::object get_item(nb::handle mapping, nb::handle k) {
    PyObject* v = PyObject_GetItem(mapping.ptr(), k.ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

PyObject* get_opt(nb::handle dict, nb::handle k) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), k.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::handle key(const char* s) {
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(s);
    if (it != cache.end()) return it->second;
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw nb::python_error();
    cache.emplace(s, o);
    return o;
}

nb::list str_list(const std::vector<std::string>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) throw nb::python_error();
    nb::list result = nb::steal<nb::list>(list);
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* s = new_str(items[i]);
        if (!s) throw nb::python_error();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
    }
    return result;
}

}  // namespace corvane::py
