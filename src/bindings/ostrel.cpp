// corvane.ostrel: the index builder.  The run itself (read, parse, keywords,
// JSON out) happens in the core; this file adds the host's JSON writer for
// arbitrary values, the record builder over dicts and the error translation.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "bindings/common/module.hpp"
#include "bindings/common/errors.hpp"
#include "core/index/index_builder.hpp"
#include "core/io/atomic_file.hpp"
#include "core/io/env.hpp"
#include "core/io/files.hpp"
#include "core/json/writer.hpp"
#include "core/match/keywords.hpp"
#include "core/text/unicode.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

constexpr const char* kManualDir = "data/manuals";
constexpr const char* kTreeDir = "data/trees";
constexpr const char* kIndexFile = "data/scene_index.jsonl";

// ---------------------------------------------------------------------------
// JSON text of any host value, exactly as json.dumps(ensure_ascii=False)
// writes it.  Strings holding lone surrogates are written with their
// surrogate code points, and the first such string is remembered: the text
// cannot be stored as UTF-8, so callers raise that UnicodeEncodeError once the
// whole value has been converted (conversion errors take precedence, as they
// do when the host converts first and encodes afterwards).

class PyJson {
public:
    PyJson(std::string& out, bool pretty) : w_(out, pretty) {}

    void value(PyObject* o) {
        if (PyUnicode_Check(o)) {
            w_.raw_begin();
            append_str(o);
        } else if (o == Py_None) {
            w_.raw("null");
        } else if (o == Py_True) {
            w_.raw("true");
        } else if (o == Py_False) {
            w_.raw("false");
        } else if (PyLong_Check(o)) {
            w_.raw_begin();
            append_int(o, w_.out());
        } else if (PyFloat_Check(o)) {
            w_.raw_begin();
            append_float(PyFloat_AS_DOUBLE(o), w_.out());
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            sequence(o);
        } else if (PyDict_Check(o)) {
            mapping(o);
        } else {
            nb::object name = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(o))).attr("__name__");
            PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", name.ptr());
            throw nb::python_error();
        }
    }

    // Raises the deferred UnicodeEncodeError, if any.
    void finish() {
        if (encode_error_.is_valid()) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(encode_error_.ptr())), encode_error_.ptr());
            throw nb::python_error();
        }
    }

    json::Writer& writer() { return w_; }

private:
    void append_str(PyObject* s) {
        std::string& out = w_.out();
        Py_ssize_t n = 0;
        const char* data = PyUnicode_AsUTF8AndSize(s, &n);
        if (data) {
            json::append_string(out, std::string_view(data, static_cast<std::size_t>(n)));
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        if (!encode_error_.is_valid()) {
            PyObject *type, *val, *tb;
            PyErr_Fetch(&type, &val, &tb);
            PyErr_NormalizeException(&type, &val, &tb);
            encode_error_ = nb::steal(val);
            Py_XDECREF(type);
            Py_XDECREF(tb);
        } else {
            PyErr_Clear();
        }
        std::string scratch;
        json::append_string(out, py::utf8(s, scratch));
    }

    static void append_int(PyObject* o, std::string& out) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            out.append(std::to_string(v));
            return;
        }
        PyObject* text = PyLong_Type.tp_repr(o);  // int.__repr__, with the host's digit limit
        if (!text) throw nb::python_error();
        nb::object guard = nb::steal(text);
        std::string scratch;
        out.append(py::utf8(text, scratch));
    }

    static void append_float(double v, std::string& out) {
        if (std::isnan(v)) {
            out.append("NaN");
        } else if (std::isinf(v)) {
            out.append(v > 0 ? "Infinity" : "-Infinity");
        } else {
            char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) throw nb::python_error();
            out.append(text);
            PyMem_Free(text);
        }
    }

    struct Marker {
        Marker(PyJson& j, PyObject* o) : j_(j), o_(o) {
            if (!j_.markers_.insert(o).second) {
                PyErr_SetString(PyExc_ValueError, "Circular reference detected");
                throw nb::python_error();
            }
            if (Py_EnterRecursiveCall(" while encoding a JSON object")) {
                j_.markers_.erase(o);
                throw nb::python_error();
            }
        }
        ~Marker() {
            Py_LeaveRecursiveCall();
            j_.markers_.erase(o_);
        }
        PyJson& j_;
        PyObject* o_;
    };

    void sequence(PyObject* o) {
        Marker mark(*this, o);
        nb::object items = nb::steal(PySequence_Fast(o, "expected a sequence"));
        if (!items.is_valid()) throw nb::python_error();
        w_.begin_array();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
            // Keep the item alive even if the list shrinks meanwhile.
            nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
            value(item.ptr());
        }
        w_.end_array();
    }

    void mapping(PyObject* o) {
        Marker mark(*this, o);
        w_.begin_object();
        if (PyDict_CheckExact(o)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(o, &pos, &k, &v)) {
                nb::object kk = nb::borrow(k), vv = nb::borrow(v);
                member(kk.ptr(), vv.ptr());
            }
        } else {
            nb::object items = nb::steal(PyMapping_Items(o));
            if (!items.is_valid()) throw nb::python_error();
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
                PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
                if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                    PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
                    throw nb::python_error();
                }
                member(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
            }
        }
        w_.end_object();
    }

    void member(PyObject* k, PyObject* v) {
        std::string key;
        if (PyUnicode_Check(k)) {
            // Written through the string path so escapes and surrogates match.
            w_.raw_begin();
            append_str(k);
            w_.out().append(": ");
            w_.key_written();
            value(v);
            return;
        }
        if (PyFloat_Check(k)) {
            append_float(PyFloat_AS_DOUBLE(k), key);
        } else if (k == Py_True) {
            key = "true";
        } else if (k == Py_False) {
            key = "false";
        } else if (k == Py_None) {
            key = "null";
        } else if (PyLong_Check(k)) {
            append_int(k, key);
        } else {
            nb::object name = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(k))).attr("__name__");
            PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %U", name.ptr());
            throw nb::python_error();
        }
        w_.key(key);
        value(v);
    }

    json::Writer w_;
    std::unordered_set<PyObject*> markers_;
    nb::object encode_error_;
};

std::string render(nb::handle obj, bool pretty) {
    std::string out;
    PyJson j(out, pretty);
    j.value(obj.ptr());
    j.finish();
    return out;
}

// ---------------------------------------------------------------------------
// Paths and errors.

[[noreturn]] void raise_digits(const index::DigitLimitError& e) {
    PyErr_Format(PyExc_ValueError,
                 "%s: Exceeds the limit (%ld digits) for integer string conversion: value has %zu digits; "
                 "use sys.set_int_max_str_digits() to increase the limit",
                 e.path.c_str(), e.limit, e.digits);
    throw nb::python_error();
}

// UnicodeDecodeError for a manual's file name: its object is the name's bytes,
// its reason names the file with the bad bytes escaped (\xNN).
[[noreturn]] void raise_name_error(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    nb::object shown = nb::steal(PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "backslashreplace"));
    if (!shown.is_valid()) throw nb::python_error();
    const std::size_t bad = uni::find_invalid_utf8(name);
    std::string scratch;
    const std::string why = "the file name is not UTF-8 (in " + std::string(py::utf8(shown, scratch)) + ")";
    PyObject* err = PyUnicodeDecodeError_Create("utf-8", name.data(), static_cast<Py_ssize_t>(name.size()),
                                                static_cast<Py_ssize_t>(bad), static_cast<Py_ssize_t>(bad + 1),
                                                why.c_str());
    if (!err) throw nb::python_error();
    PyErr_SetObject(PyExc_UnicodeDecodeError, err);
    Py_DECREF(err);
    throw nb::python_error();
}

template <class Fn>
void translating_core_errors(Fn&& fn) {
    py::translating_core_errors([&] {
        try {
            fn();
        } catch (const index::DigitLimitError& e) {
            raise_digits(e);
        } catch (const index::ManualNameError& e) {
            raise_name_error(e.path);
        } catch (const index::EntryTooLongError& e) {
            PyErr_Format(PyExc_ValueError,
                         "%s: scene %s: its index line would be %zu bytes, longer than %zu bytes, the limit for a "
                         "scene index line; the old index is kept",
                         e.path.c_str(), e.scene_id.c_str(), e.bytes, e.limit);
            throw nb::python_error();
        }
    });
}

// ---------------------------------------------------------------------------
// The alias map of corvane.morlek.

nb::object alias_map() {
    return nb::module_::import_("corvane.morlek").attr("MANUAL_ALIAS_MAP");
}

// A plain dict: every entry is rendered once, up front.  A value that is not a
// list, or that cannot be written, keeps its error for the first title that
// uses it, so titles that never look it up are unaffected.
class DictAliases : public index::AliasSource {
public:
    explicit DictAliases(nb::handle map) {
        // Writing a value may run caller code (a dict or list subclass among
        // its items) that changes the map: its items are taken first, each
        // key and value held.
        nb::object snapshot = nb::steal(PyDict_Items(map.ptr()));
        if (!snapshot.is_valid()) throw nb::python_error();
        for (Py_ssize_t p = 0; p < PyList_GET_SIZE(snapshot.ptr()); ++p) {
            PyObject* pair = PyList_GET_ITEM(snapshot.ptr(), p);
            PyObject* k = PyTuple_GET_ITEM(pair, 0);
            PyObject* v = PyTuple_GET_ITEM(pair, 1);
            if (!PyUnicode_Check(k)) continue;  // titles are str: never found
            Py_ssize_t n = 0;
            const char* data = PyUnicode_AsUTF8AndSize(k, &n);
            if (!data) {  // lone surrogates: no manual title equals it
                PyErr_Clear();
                continue;
            }
            std::string title(data, static_cast<std::size_t>(n));
            Entry entry;
            try {
                if (!PyList_Check(v)) {
                    PyErr_Format(PyExc_TypeError, "can only concatenate list (not \"%.200s\") to list",
                                 Py_TYPE(v)->tp_name);
                    throw nb::python_error();
                }
                std::string text;
                PyJson j(text, false);
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                    if (i) text.append(", ");
                    nb::object item = nb::borrow(PyList_GET_ITEM(v, i));
                    j.value(item.ptr());
                }
                j.finish();
                entry.elements = std::move(text);
            } catch (nb::python_error& e) {
                entry.error = std::make_shared<nb::python_error>(std::move(e));
            }
            entries_.insert_or_assign(std::move(title), std::move(entry));
        }
    }
    const std::string* find(std::string_view title) override {
        auto it = entries_.find(title);
        if (it == entries_.end()) return nullptr;
        if (it->second.error) {  // called without the GIL during a run
            nb::gil_scoped_acquire gil;
            it->second.error->restore();
            throw nb::python_error();
        }
        return &it->second.elements;
    }

private:
    struct Entry {
        std::string elements;
        std::shared_ptr<nb::python_error> error;
    };
    std::unordered_map<std::string, Entry, py::StringHash, std::equal_to<>> entries_;
};

// Any other mapping: looked up through its own get(), per title.
class GenericAliases : public index::AliasSource {
public:
    explicit GenericAliases(nb::handle map) : map_(nb::borrow(map)) {}
    const std::string* find(std::string_view title) override {
        nb::gil_scoped_acquire gil;  // called without the GIL during a run
        nb::object empty = nb::list();
        nb::object v = map_.attr("get")(py::str(title), empty);
        nb::object joined = nb::steal(PyNumber_Add(nb::list().ptr(), v.ptr()));
        if (!joined.is_valid()) throw nb::python_error();
        text_.clear();
        PyJson j(text_, false);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(joined.ptr()); ++i) {
            if (i) text_.append(", ");
            nb::object item = nb::borrow(PyList_GET_ITEM(joined.ptr(), i));
            j.value(item.ptr());
        }
        j.finish();
        return &text_;
    }

private:
    nb::object map_;
    std::string text_;
};

// ---------------------------------------------------------------------------
// Keywords of a Scene dict: the core's walk over the dict's own strings.
// Missing keys give nothing; sequences are read as they are when reached
// (each item held), steps must be dicts and texts str.  Every str handed to
// the walk is held until the keywords are built, so the caller code that a
// lookup may run cannot free what the builder still views.

class DictSceneView {
public:
    explicit DictSceneView(nb::handle scene) : scene_(scene) {}
    template <class F> void title(F&& f) {
        nb::object t = get(scene_, "title");
        if (t.is_valid()) f(text(t, "title"));
    }
    template <class F> void description(F&& f) {
        nb::object desc = get(scene_, "description");
        if (desc.is_valid() && py::truthy(desc)) f(text(desc, "description"));
    }
    template <class G> void steps(G&& g) {
        for (const nb::object& step : items(get(scene_, "steps"), "steps")) {
            if (!PyDict_Check(step.ptr())) bad("steps", "dict", step);
            StepView v{*this, step};
            g(v);
        }
    }
    template <class F> void notes(keywords::Note n, F&& f) {
        static const char* const keys[] = {"warning", "notice", "tip"};
        const char* k = keys[static_cast<std::size_t>(n)];
        for (const nb::object& item : items(get(scene_, k), k)) f(text(item, k));
    }

private:
    struct StepView {
        DictSceneView& scene;
        nb::handle step;
        template <class F> void text(F&& f) {
            nb::object t = get(step, "text");
            if (t.is_valid()) f(scene.text(t, "step text"));
        }
        template <class F> void sub_points(F&& f) {
            for (const nb::object& sp : items(get(step, "sub_points"), "sub_points")) f(scene.text(sp, "sub_points"));
        }
    };

    static nb::object get(nb::handle d, const char* k) {
        PyObject* v = py::get_opt(d, py::key(k));
        return v ? nb::borrow(v) : nb::object();
    }
    [[noreturn]] static void bad(const char* what, const char* expected, nb::handle got) {
        PyErr_Format(PyExc_TypeError, "scene %s must be %s, not %.200s", what, expected, Py_TYPE(got.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string_view text(nb::handle s, const char* what) {
        if (!PyUnicode_Check(s.ptr())) bad(what, "str", s);
        return views_.of(s);
    }
    // The items of a sequence as it is now, each held.
    static std::vector<nb::object> items(const nb::object& seq, const char* what) {
        std::vector<nb::object> out;
        if (!seq.is_valid()) return out;
        nb::object fast = nb::steal(PySequence_Fast(seq.ptr(), ""));
        if (!fast.is_valid()) {
            PyErr_Clear();
            bad(what, "a list", seq);
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) out.push_back(nb::borrow(PySequence_Fast_GET_ITEM(fast.ptr(), i)));
        return out;
    }

    nb::handle scene_;
    py::Utf8Views views_;
};

nb::list scene_keywords(nb::handle scene) {
    keywords::Builder b;
    DictSceneView view(scene);
    keywords::walk(view, b);
    nb::list out;
    for (std::string_view kw : b.entries()) py::append(out, py::str(kw));
    return out;
}

nb::dict build_scene_record(nb::handle manual_id, nb::handle tree, nb::handle scene, nb::handle idx) {
    const char* fn = "build_scene_record";
    py::require_str(manual_id, fn, "manual_id");
    py::require_dict(tree, fn, "tree");
    py::require_dict(scene, fn, "scene");
    py::require_int(idx, fn, "idx");

    PyObject* t = py::get_opt(scene, py::key("title"));
    nb::object title = t ? nb::borrow(t) : nb::object(nb::str(""));
    nb::object map = alias_map();
    nb::object map_aliases = map.attr("get")(title, nb::list());
    nb::list head;
    py::append(head, title);
    nb::object aliases = nb::steal(PyNumber_Add(head.ptr(), map_aliases.ptr()));
    if (!aliases.is_valid()) throw nb::python_error();
    nb::list keywords = scene_keywords(scene);

    nb::object number = nb::steal(PyNumber_Add(idx.ptr(), nb::int_(1).ptr()));
    if (!number.is_valid()) throw nb::python_error();
    nb::object scene_id =
        nb::steal(PyUnicode_FromFormat("%S_scene_%S", nb::str(manual_id).ptr(), nb::str(number).ptr()));
    if (!scene_id.is_valid()) throw nb::python_error();
    auto from_tree = [&](const char* k) -> nb::object {
        PyObject* v = py::get_opt(tree, py::key(k));
        return v ? nb::borrow(v) : nb::object(nb::str(""));
    };
    nb::dict rec;
    py::set_item(rec, py::key("scene_id"), scene_id);
    py::set_item(rec, py::key("manual_id"), manual_id);
    py::set_item(rec, py::key("manual_title"), from_tree("title"));
    py::set_item(rec, py::key("doc_name"), from_tree("doc_name"));
    py::set_item(rec, py::key("scene_title"), title);
    py::set_item(rec, py::key("aliases"), aliases);
    py::set_item(rec, py::key("keywords"), keywords);
    py::set_item(rec, py::key("scene_data"), scene);
    return rec;
}

// A setting read from the module's namespace at call time.
std::string str_constant(nb::handle ns, const char* name) {
    PyObject* found = PyDict_GetItemWithError(ns.ptr(), py::key(name).ptr());  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "module 'corvane.ostrel' has no attribute '%s'", name);
        throw nb::python_error();
    }
    nb::object v = nb::borrow(found);
    if (!PyUnicode_Check(v.ptr())) {
        PyErr_Format(PyExc_TypeError, "ostrel.%s must be str", name);
        throw nb::python_error();
    }
    return py::fs_path(v, "ostrel_main", name);
}

// A whole number from an environment variable (io::env_count); 0 when it is unset or empty.
std::size_t env_count(const char* name, std::size_t low, std::size_t high) {
    try {
        return io::env_count(name, low, high).value_or(0);
    } catch (const io::SettingError& e) {
        PyErr_Format(PyExc_ValueError, "ostrel_main: %s must be a whole number from %zu to %zu, not '%s'", name, low,
                     high, e.text.c_str());
        throw nb::python_error();
    }
}

// The alias map as the run reads it.
std::unique_ptr<index::AliasSource> alias_source(nb::handle map) {
    if (PyDict_CheckExact(map.ptr())) return std::make_unique<DictAliases>(map);
    return std::make_unique<GenericAliases>(map);
}

// The run itself needs no Python: other threads go on while it works.  Alias
// lookups that need the host, the progress callback and errors take the GIL
// back, on this thread, in the run's order.
void run_unlocked(const index::RunConfig& config) {
    translating_core_errors([&] {
        nb::gil_scoped_release unlocked;
        index::run(config);
    });
}

void ostrel_main(nb::handle ns) {
    index::RunConfig config;
    config.manual_dir = str_constant(ns, "MANUAL_DIR");
    config.tree_dir = str_constant(ns, "TREE_DIR");
    config.index_file = str_constant(ns, "INDEX_FILE");
    config.max_str_digits = py::max_str_digits();
    config.threads = env_count("CORVANE_INDEX_THREADS", 1, index::kMaxThreads);
    if (const std::size_t limit = env_count("CORVANE_INDEX_MAX_LINE_BYTES", 1, io::kMaxIndexLineBytes))
        config.max_line_bytes = limit;

    nb::object map = alias_map();
    std::unique_ptr<index::AliasSource> aliases = alias_source(map);
    config.aliases = aliases.get();

    nb::object print = nb::module_::import_("builtins").attr("print");
    config.on_manual = [&](std::string_view manual_id, std::size_t scenes) {
        std::string line = "Processed: ";
        line += manual_id;
        line += ", scenes=";
        line += std::to_string(scenes);
        nb::gil_scoped_acquire gil;
        print(py::str(line));
    };
    run_unlocked(config);
}

// A count argument: None for `fallback`, else an int from low to high.
std::size_t count_arg(nb::handle v, const char* param, std::size_t low, std::size_t high, std::size_t fallback) {
    if (v.is_none()) return fallback;
    py::require_int(v, "run_index", param);
    const Py_ssize_t n = PyNumber_AsSsize_t(v.ptr(), nullptr);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n < static_cast<Py_ssize_t>(low) || static_cast<std::size_t>(n) > high) {
        PyErr_Format(PyExc_ValueError, "run_index(): %s must be from %zu to %zu, not %zd", param, low, high, n);
        throw nb::python_error();
    }
    return static_cast<std::size_t>(n);
}

// ostrel_main with its folders, alias map, progress callback and limits given
// rather than read from fixed paths, the module and the environment.
void run_index(nb::handle manual_dir, nb::handle tree_dir, nb::handle index_file, nb::handle aliases,
               nb::handle on_manual, nb::handle threads, nb::handle max_line_bytes) {
    index::RunConfig config;
    config.manual_dir = py::fs_path(manual_dir, "run_index", "manual_dir");
    config.tree_dir = py::fs_path(tree_dir, "run_index", "tree_dir");
    config.index_file = py::fs_path(index_file, "run_index", "index_file");
    config.max_str_digits = py::max_str_digits();
    config.threads = static_cast<unsigned>(count_arg(threads, "threads", 1, index::kMaxThreads, 0));
    config.max_line_bytes = count_arg(max_line_bytes, "max_line_bytes", 1, io::kMaxIndexLineBytes, io::kMaxIndexLineBytes);
    if (!on_manual.is_none() && !PyCallable_Check(on_manual.ptr()))
        py::raise_arg_type("run_index", "on_manual", "a callable or None", on_manual);
    nb::object map = aliases.is_none() ? alias_map() : nb::borrow(aliases);
    if (!PyMapping_Check(map.ptr())) py::raise_arg_type("run_index", "aliases", "a mapping or None", map);
    std::unique_ptr<index::AliasSource> source = alias_source(map);
    config.aliases = source.get();
    nb::object callback = nb::borrow(on_manual);
    if (!callback.is_none()) {
        config.on_manual = [&](std::string_view manual_id, std::size_t scenes) {
            nb::gil_scoped_acquire gil;
            nb::object id = py::str(manual_id);
            callback(id, scenes);
        };
    }
    run_unlocked(config);
}

}  // namespace

CORVANE_MODULE(ostrel, m) {
    m.doc() = "Index building: the manual folder to one tree file per manual and the scene index.";
    // Neighbours are bound when this module loads, so their initialisation runs first.
    nb::module_ plaxon = nb::module_::import_("corvane.plaxon");
    nb::module_ morlek = nb::module_::import_("corvane.morlek");
    m.attr("markdown_to_tree") = plaxon.attr("markdown_to_tree");
    m.attr("build_keywords_from_scene") = morlek.attr("build_keywords_from_scene");

    m.attr("MANUAL_DIR") = kManualDir;
    m.attr("TREE_DIR") = kTreeDir;
    m.attr("INDEX_FILE") = kIndexFile;

    m.def(
        "save_json",
        [](nb::handle obj, nb::handle path) {
            const std::string p = py::fs_path(path, "save_json", "path");
            const std::string text = render(obj, true);
            translating_core_errors([&] { io::replace_file(p, text); });
        },
        "obj"_a.none(), "path"_a.none(), "Write obj as an indented JSON document (2 spaces), replacing the file atomically.");
    m.def(
        "append_jsonl",
        [](nb::handle obj, nb::handle path) {
            const std::string p = py::fs_path(path, "append_jsonl", "path");
            std::string line = render(obj, false);
            line.push_back('\n');
            translating_core_errors([&] { io::append_file(p, line); });
        },
        "obj"_a.none(), "path"_a.none(), "Append obj as one compact JSON line to the file.");
    m.def("build_scene_record", &build_scene_record, "manual_id"_a.none(), "tree"_a.none(), "scene"_a.none(), "idx"_a.none(),
          "A new scene index entry for the idx-th (zero-based) scene of a manual's tree document.");
    m.def("run_index", &run_index, "manual_dir"_a.none(), "tree_dir"_a.none(), "index_file"_a.none(), nb::kw_only(),
          "aliases"_a.none() = nb::none(), "on_manual"_a.none() = nb::none(), "threads"_a.none() = nb::none(),
          "max_line_bytes"_a.none() = nb::none(),
          "ostrel_main over the given folders: on_manual(manual_id, scenes) after each manual instead of the "
          "printed line; aliases (default MANUAL_ALIAS_MAP of corvane.morlek), threads (default one per core) "
          "and max_line_bytes given here rather than by the environment.");
    m.def(
        "ostrel_main", [ns = nb::object(m.attr("__dict__"))]() { ostrel_main(ns); },
        "Rebuild data/trees and data/scene_index.jsonl from the manuals in data/manuals (worker threads: "
        "CORVANE_INDEX_THREADS, default one per core; the GIL is released during the run).");
}
