#include "bindings/common/repr.hpp"

#include <charconv>

#include "core/text/repr.hpp"

namespace corvane::py {
namespace {

void append_utf8_of(std::string& out, PyObject* str) {
    std::string scratch;
    const std::string_view v = utf8(str, scratch);
    out.append(v);
}

void append_generic(std::string& out, PyObject* value) {
    PyObject* r = PyObject_Repr(value);
    if (!r) throw nb::python_error();
    nb::object keep = nb::steal(r);
    append_utf8_of(out, r);
}

// Guards a container against infinite recursion the way the host's own repr
// does ("{...}", "[...]") and against running out of C stack.
class ReprGuard {
public:
    explicit ReprGuard(PyObject* o) : o_(o) {
        if (Py_EnterRecursiveCall(" while getting the repr of an object")) throw nb::python_error();
        state_ = Py_ReprEnter(o);
        if (state_ < 0) {
            Py_LeaveRecursiveCall();
            throw nb::python_error();
        }
    }
    ~ReprGuard() {
        if (state_ == 0) Py_ReprLeave(o_);
        Py_LeaveRecursiveCall();
    }
    bool recursive() const { return state_ > 0; }

private:
    PyObject* o_;
    int state_;
};

void append_sequence(std::string& out, PyObject* seq, bool tuple) {
    const Py_ssize_t n = tuple ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq);
    if (n == 0) {
        out += tuple ? "()" : "[]";
        return;
    }
    ReprGuard guard(seq);
    if (guard.recursive()) {
        out += tuple ? "(...)" : "[...]";
        return;
    }
    out.push_back(tuple ? '(' : '[');
    // A list may change while an item's own __repr__ runs: re-read its size.
    for (Py_ssize_t i = 0; i < (tuple ? n : PyList_GET_SIZE(seq)); ++i) {
        if (i) out += ", ";
        PyObject* item = tuple ? PyTuple_GET_ITEM(seq, i) : PyList_GET_ITEM(seq, i);
        Py_INCREF(item);
        nb::object keep = nb::steal(item);
        append_repr(out, item);
    }
    if (tuple && n == 1) out.push_back(',');
    out.push_back(tuple ? ')' : ']');
}

void append_dict(std::string& out, PyObject* dict) {
    if (PyDict_GET_SIZE(dict) == 0) {
        out += "{}";
        return;
    }
    ReprGuard guard(dict);
    if (guard.recursive()) {
        out += "{...}";
        return;
    }
    out.push_back('{');
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    bool first = true;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        // Keep both alive: a __repr__ may change the dict.
        nb::object keep_k = nb::borrow(k), keep_v = nb::borrow(v);
        if (!first) out += ", ";
        first = false;
        append_repr(out, k);
        out += ": ";
        append_repr(out, v);
    }
    out.push_back('}');
}

}  // namespace

void append_repr(std::string& out, nb::handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_CheckExact(v)) {
        // Straight from the string's own storage: no UTF-8 copy is made and
        // kept on the object.
        if (PyUnicode_READY(v) < 0) throw nb::python_error();
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        const void* data = PyUnicode_DATA(v);
        switch (PyUnicode_KIND(v)) {
            case PyUnicode_1BYTE_KIND: repr::append_str(out, static_cast<const Py_UCS1*>(data), n); break;
            case PyUnicode_2BYTE_KIND: repr::append_str(out, static_cast<const Py_UCS2*>(data), n); break;
            default: repr::append_str(out, static_cast<const Py_UCS4*>(data), n); break;
        }
    } else if (PyDict_CheckExact(v)) {
        append_dict(out, v);
    } else if (PyList_CheckExact(v)) {
        append_sequence(out, v, false);
    } else if (PyTuple_CheckExact(v)) {
        append_sequence(out, v, true);
    } else if (v == Py_None) {
        out += "None";
    } else if (v == Py_True) {
        out += "True";
    } else if (v == Py_False) {
        out += "False";
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (x == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            append_generic(out, v);  // big ints: the host's digit rules apply
        } else {
            char buf[24];
            const auto r = std::to_chars(buf, buf + sizeof buf, x);
            out.append(buf, r.ptr);
        }
    } else if (PyFloat_CheckExact(v)) {
        char* s = PyOS_double_to_string(PyFloat_AS_DOUBLE(v), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!s) throw nb::python_error();
        out += s;
        PyMem_Free(s);
    } else {
        append_generic(out, v);
    }
}

std::string str_or_repr(nb::handle value) {
    std::string out;
    if (PyUnicode_Check(value.ptr())) {
        std::string scratch;
        out.assign(utf8(value, scratch));
    } else {
        append_repr(out, value);
    }
    return out;
}

}  // namespace corvane::py
