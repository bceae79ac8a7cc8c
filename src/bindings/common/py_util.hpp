// Helpers shared by the binding files: argument checks with clear messages,
// str <-> UTF-8 (lone surrogates included) and small dict/list builders.
#pragma once

#include <nanobind/nanobind.h>

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::py {
namespace nb = nanobind;

// Raises TypeError "fn() argument 'param' must be <what>, not <type>" unless ok.
[[noreturn]] void raise_arg_type(const char* fn, const char* param, const char* what, nb::handle got);

inline void require_str(nb::handle h, const char* fn, const char* param) {
    if (!PyUnicode_Check(h.ptr())) raise_arg_type(fn, param, "str", h);
}
inline void require_int(nb::handle h, const char* fn, const char* param) {
    if (!PyLong_Check(h.ptr())) raise_arg_type(fn, param, "int", h);
}
inline void require_dict(nb::handle h, const char* fn, const char* param) {
    if (!PyDict_Check(h.ptr())) raise_arg_type(fn, param, "dict", h);
}
inline void require_list(nb::handle h, const char* fn, const char* param) {
    if (!PyList_Check(h.ptr())) raise_arg_type(fn, param, "list", h);
}

// UTF-8 of a str, lone surrogates in their three-byte form (as the
// "surrogatepass" handler writes them), read from the str's own
// representation: nothing is cached on the object.  An ASCII str is viewed in
// place (the view lives as long as the str); any other is written into
// `scratch`, which then holds exactly the returned bytes.  Raises TypeError
// when h is not a str.
std::string_view utf8(nb::handle h, std::string& scratch);

// UTF-8 views of str objects that stay valid as long as this holder: it keeps
// a strong reference to each str it viewed and the converted copies, so the
// views survive whatever caller code does to the containers meanwhile.
class Utf8Views {
public:
    std::string_view of(nb::handle s);  // s must be a str
    void clear() {
        objects_.clear();
        scratch_.clear();
    }

private:
    std::vector<nb::object> objects_;
    std::deque<std::string> scratch_;
};

// Views of the str items of a list (a list of lines, say), taken at
// construction and valid for the holder's lifetime; non-str items raise
// TypeError naming fn and param.
class Utf8List {
public:
    Utf8List(nb::handle list, const char* fn, const char* param);
    const std::vector<std::string_view>& views() const { return views_; }
    auto begin() const { return views_.begin(); }
    auto end() const { return views_.end(); }
    std::size_t size() const { return views_.size(); }

private:
    Utf8Views holder_;
    std::vector<std::string_view> views_;
};

// New str from UTF-8 (surrogates encoded as by utf8()).
nb::str str(std::string_view s);
PyObject* new_str(std::string_view s);  // new reference, nullptr on error

// A Python int from ASCII decimal digits; raises ValueError past the host's
// int/str digit limit, exactly as int() does.
nb::object int_from_digits(const std::string& digits);

// bool(h), with the host's errors.
inline bool truthy(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// Pauses the cyclic collector while many new containers that form no cycle
// are built (it would only walk them over and over); restores it after.
struct CollectorPause {
    int was = PyGC_Disable();
    ~CollectorPause() {
        if (was) PyGC_Enable();
    }
    CollectorPause() = default;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
};

// Hash for unordered containers keyed by std::string and looked up by views.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// A top_k argument (an int, already checked) as a count for scoring::kept_count:
// values past the machine's range are clamped, which cuts the same way.
inline long long top_k_value(nb::handle top_k) {
    const Py_ssize_t v = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return static_cast<long long>(v);
}

// The host's digit limit (sys.get_int_max_str_digits(), 0 = none).
long max_str_digits();

// Appends to a list and steals nothing: raises on failure.
inline void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) != 0) throw nb::python_error();
}
inline void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}
// d[key] with KeyError on a missing key, as the host's subscript does.
nb::object get_item(nb::handle mapping, nb::handle key);
// d.get(key) for a dict: borrowed value or nullptr when missing.
PyObject* get_opt(nb::handle dict, nb::handle key);

// An interned str for dict keys; lives for the process.
nb::handle key(const char* s);

// A list of str from views.
nb::list str_list(const std::vector<std::string>& items);

}  // namespace corvane::py
