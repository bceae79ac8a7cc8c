// Host exceptions for the core's file errors, naming the file.
#pragma once

#include <cerrno>
#include <string>

#include "bindings/common/py_util.hpp"
#include "core/io/errors.hpp"

namespace corvane::py {

// str, bytes or os.PathLike -> the file system path bytes.
inline std::string fs_path(nb::handle path, const char* fn, const char* param) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes)) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_arg_type(fn, param, "str, bytes or os.PathLike", path);
        }
        throw nb::python_error();
    }
    std::string out(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

inline nb::object path_object(const std::string& path) {
    PyObject* o = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// OSError subclass for errno `err`, with the file name set.
[[noreturn]] inline void raise_os_error(int err, const std::string& path) {
    nb::object name = path_object(path);
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw nb::python_error();
}

// UnicodeDecodeError for the invalid UTF-8 `data` read from `path`: the host's
// decoder supplies position and reason, and the reason names the file.
[[noreturn]] inline void raise_decode_error(const std::string& path, const std::string& data) {
    PyObject* ok = PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), nullptr);
    if (ok) {  // the caller found an invalid byte, so this does not happen
        Py_DECREF(ok);
        PyErr_Format(PyExc_UnicodeError, "%s: invalid UTF-8", path.c_str());
        throw nb::python_error();
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
    PyObject *type, *val, *tb;
    PyErr_Fetch(&type, &val, &tb);
    PyErr_NormalizeException(&type, &val, &tb);
    nb::object t = nb::steal(type), v = nb::steal(val), b = nb::steal(tb);
    Py_ssize_t start = 0, end = 0;
    PyUnicodeDecodeError_GetStart(v.ptr(), &start);
    PyUnicodeDecodeError_GetEnd(v.ptr(), &end);
    nb::object reason = nb::steal(PyUnicodeDecodeError_GetReason(v.ptr()));
    std::string scratch;
    const std::string why = std::string(utf8(reason, scratch)) + " (in " + path + ")";
    PyObject* err = PyUnicodeDecodeError_Create("utf-8", data.data(), static_cast<Py_ssize_t>(data.size()), start,
                                                end, why.c_str());
    if (!err) throw nb::python_error();
    PyErr_SetObject(PyExc_UnicodeDecodeError, err);
    Py_DECREF(err);
    throw nb::python_error();
}

// Runs fn, turning the core's file errors into the host's: IoError -> the
// OSError subclass for its errno, DecodeError -> UnicodeDecodeError.
template <class Fn>
decltype(auto) translating_core_errors(Fn&& fn) {
    try {
        return fn();
    } catch (const io::IoError& e) {
        raise_os_error(e.err, e.path);
    } catch (const io::DecodeError& e) {
        raise_decode_error(e.path, e.data);
    }
}

}  // namespace corvane::py
