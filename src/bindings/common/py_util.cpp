#include "bindings/common/py_util.hpp"

#include <string>
#include <unordered_map>

namespace corvane::py {

void raise_arg_type(const char* fn, const char* param, const char* what, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", fn, param, what,
                 Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

namespace {

// Code points of one representation kind to UTF-8 (surrogates as three bytes).
template <class Unit>
std::size_t encode(const Unit* in, std::size_t n, unsigned char* out) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Py_UCS4 c = in[i];
        if (c < 0x80) {
            out[o++] = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            out[o++] = static_cast<unsigned char>(0xC0 | (c >> 6));
            out[o++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[o++] = static_cast<unsigned char>(0xE0 | (c >> 12));
            out[o++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            out[o++] = static_cast<unsigned char>(0xF0 | (c >> 18));
            out[o++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            out[o++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return o;
}

}  // namespace

std::string_view utf8(nb::handle h, std::string& scratch) {
    PyObject* s = h.ptr();
    if (!PyUnicode_Check(s)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.200s", Py_TYPE(s)->tp_name);
        throw nb::python_error();
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw nb::python_error();
#endif
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (PyUnicode_IS_ASCII(s)) return {static_cast<const char*>(PyUnicode_DATA(s)), n};
    const void* data = PyUnicode_DATA(s);
    const int kind = PyUnicode_KIND(s);
    scratch.resize((kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4) * n);
    auto* out = reinterpret_cast<unsigned char*>(scratch.data());
    std::size_t o;
    if (kind == PyUnicode_1BYTE_KIND)
        o = encode(static_cast<const Py_UCS1*>(data), n, out);
    else if (kind == PyUnicode_2BYTE_KIND)
        o = encode(static_cast<const Py_UCS2*>(data), n, out);
    else
        o = encode(static_cast<const Py_UCS4*>(data), n, out);
    scratch.resize(o);
    return scratch;
}

std::string_view Utf8Views::of(nb::handle s) {
    objects_.push_back(nb::borrow(s));
    std::string scratch;
    const std::string_view v = utf8(s, scratch);
    if (scratch.empty()) return v;  // viewed in place: the str is held above
    scratch_.push_back(std::move(scratch));
    return scratch_.back();
}

Utf8List::Utf8List(nb::handle list, const char* fn, const char* param) {
    PyObject* seq = list.ptr();
    const Py_ssize_t n = PyList_GET_SIZE(seq);
    views_.reserve(static_cast<std::size_t>(n));
    // Nothing below runs caller code, so the list keeps its items meanwhile.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(seq, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold only str, not %.200s (item %zd)", fn, param,
                         Py_TYPE(item)->tp_name, i);
            throw nb::python_error();
        }
        views_.push_back(holder_.of(item));
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
