// The JSON reader's handler that builds the host's objects (dict, list, str,
// int, float, None, bool) for core/json/reader.hpp.  Values are new
// references; nullptr means failure (an error may be set; the caller clears it
// and falls back to json.loads).
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bindings/common/py_util.hpp"

namespace corvane::py {

class KeyCache {
public:
    ~KeyCache() {
        for (auto& [k, v] : map_) Py_DECREF(v);
    }
    // New reference to the str for these UTF-8 bytes (no escapes in them).
    PyObject* get(std::string_view bytes) {
        auto it = map_.find(bytes);
        if (it != map_.end()) {
            Py_INCREF(it->second);
            return it->second;
        }
        PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
        if (!s) return nullptr;
        if (map_.size() < 4096) {
            Py_INCREF(s);
            map_.emplace(std::string(bytes), s);
        }
        return s;
    }

private:
    std::unordered_map<std::string, PyObject*, StringHash, std::equal_to<>> map_;
};

// Short string values repeat all over an index (keywords, "scene", ""): one
// str object serves every occurrence seen while the table slot holds it.  The
// values are equal to freshly decoded ones; only their identity is shared.
class ValueCache {
public:
    static constexpr std::size_t kMaxBytes = 32;
    ~ValueCache() {
        for (Slot& s : slots_) Py_XDECREF(s.str);
    }
    PyObject* get(std::string_view bytes) {
        std::uint64_t h = 1469598103934665603ull;  // FNV-1a
        for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
        Slot& slot = slots_[h & (kSlots - 1)];
        if (slot.str && slot.hash == h && slot.len == bytes.size() && std::memcmp(slot.bytes, bytes.data(), bytes.size()) == 0)
            return Py_NewRef(slot.str);
        PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
        if (!s) return nullptr;
        Py_XSETREF(slot.str, Py_NewRef(s));
        slot.hash = h;
        slot.len = static_cast<unsigned char>(bytes.size());
        std::memcpy(slot.bytes, bytes.data(), bytes.size());
        return s;
    }

private:
    static constexpr std::size_t kSlots = std::size_t{1} << 14;
    struct Slot {
        PyObject* str = nullptr;
        std::uint64_t hash = 0;
        unsigned char len = 0;
        char bytes[kMaxBytes];
    };
    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

// Object keys repeat on every line and short values all over an index: both
// come from caches, so equal texts share one str object.
class ObjectBuilder {
public:
    PyObject* null_value() { return Py_NewRef(Py_None); }
    PyObject* boolean(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
    PyObject* special_float(double d) { return PyFloat_FromDouble(d); }
    PyObject* small_int(long long v) { return PyLong_FromLongLong(v); }
    PyObject* number_text(std::string_view text, bool is_float) {
        buf_.assign(text);
        if (!is_float) return PyLong_FromString(buf_.c_str(), nullptr, 10);
        const double v = PyOS_string_to_double(buf_.c_str(), nullptr, nullptr);
        if (v == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(v);
    }
    PyObject* string(std::string_view bytes, bool is_key) {
        if (is_key) return keys_.get(bytes);
        if (bytes.size() <= ValueCache::kMaxBytes) return values_.get(bytes);
        return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    }
    PyObject* escaped_string(std::string_view utf8, bool surrogates) {
        return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                    surrogates ? "surrogatepass" : nullptr);
    }
    PyObject* begin_array() { return PyList_New(0); }
    bool push(PyObject* list, PyObject* item) {
        const int rc = PyList_Append(list, item);
        Py_DECREF(item);
        return rc == 0;
    }
    PyObject* begin_object() { return PyDict_New(); }
    bool set(PyObject* dict, PyObject* key, PyObject* value) {
        const int rc = PyDict_SetItem(dict, key, value);
        Py_DECREF(key);
        Py_DECREF(value);
        return rc == 0;
    }
    void drop(PyObject* v) { Py_XDECREF(v); }

private:
    KeyCache keys_;
    ValueCache values_;
    std::string buf_;
};

}  // namespace corvane::py
