// corvane.farrowin: loads the scene index and ranks its entries for a query.
//
// Loading parses each line with a reader that builds the host's objects
// directly.  It accepts exactly what json.loads accepts and yields equal
// values; whatever it does not handle itself (malformed lines, very deep
// nesting, integers past the host's digit limit) is handed to json.loads, so
// results and errors are the host's own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "bindings/common/module.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/json_handler.hpp"
#include "core/index/index_builder.hpp"
#include "core/io/files.hpp"
#include "core/json/reader.hpp"
#include "core/search/matcher.hpp"
#include "core/search/query.hpp"
#include "core/search/rule.hpp"
#include "core/text/text.hpp"
#include "core/text/unicode.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

using io::translate_newlines;

// The value of a line the fast reader did not take, through json.loads; its
// errors name the file and the line.
nb::object load_line_slow(const std::string& data, std::size_t line_start, std::string_view line, std::size_t lineno,
                          nb::handle path_text) {
    const std::string text = translate_newlines(line);
    nb::object loads = nb::module_::import_("json").attr("loads");
    try {
        return loads(py::str(text));
    } catch (nb::python_error& e) {
        nb::object decode_error = nb::module_::import_("json").attr("JSONDecodeError");
        if (e.matches(decode_error)) {
            // Rebuilt over the whole file's text, so line and column are the file's.
            // A position past the line's content (json.loads skips the line
            // terminator as white space) is reported at the terminator.
            nb::object msg = e.value().attr("msg");
            std::size_t content = text.size();
            if (content && text.back() == '\n') --content;
            const Py_ssize_t pos = std::min(nb::cast<Py_ssize_t>(e.value().attr("pos")),
                                            static_cast<Py_ssize_t>(uni::length(std::string_view(text).substr(0, content))));
            const std::string before = translate_newlines(std::string_view(data).substr(0, line_start));
            const std::string whole = translate_newlines(data);
            const auto offset = static_cast<Py_ssize_t>(uni::length(before));
            nb::object full_msg = nb::steal(PyUnicode_FromFormat("%S: %S", path_text.ptr(), msg.ptr()));
            nb::object err = decode_error(full_msg, py::str(whole), offset + pos);
            PyErr_SetObject(decode_error.ptr(), err.ptr());
            throw nb::python_error();
        }
        if (e.matches(PyExc_ValueError)) {
            nb::raise_from(e, PyExc_ValueError, "%s, line %zu: %s", nb::str(path_text).c_str(), lineno,
                           nb::str(e.value()).c_str());
        }
        throw;
    }
}

// The longest index line accepted, in bytes: the limit the index run writes
// to.  A longer one (a damaged or foreign file) is refused before it is held
// in memory.
constexpr std::size_t kMaxLineBytes = io::kMaxIndexLineBytes;

// The whole index file; a line past the limit is refused before it is held in memory.
std::string read_index_file(const std::string& p) {
    try {
        return py::translating_core_errors([&] { return io::read_file_with_line_limit(p, kMaxLineBytes); });
    } catch (const io::LineTooLongError& e) {
        PyErr_Format(PyExc_ValueError, "%s, line %zu: line longer than %zu bytes, the limit for a scene index line",
                     e.path.c_str(), e.lineno, e.limit);
        throw nb::python_error();
    }
}

nb::list load_scene_index(nb::handle path) {
    const std::string p = py::fs_path(path, "load_scene_index", "path");
    const nb::object path_text = py::path_object(p);
    std::string data = read_index_file(p);
    // UTF-8 is checked by the decoding of every string; a line the fast reader
    // does not take checks the whole file first, so invalid bytes anywhere
    // are reported as such before any JSON error.
    bool checked = false;

    // Building many containers would set off the cyclic collector again and
    // again over objects that are all alive; it runs as usual afterwards.
    py::CollectorPause pause;
    nb::list entries;
    py::ObjectBuilder builder;
    json::Reader<py::ObjectBuilder> reader(builder);
    std::size_t lineno = 0;
    io::for_each_line(data, [&](std::size_t start, std::size_t term, std::size_t next) {
        ++lineno;
        const std::string_view content(data.data() + start, term - start);
        PyObject* v = reader.parse(content);
        if (!v) PyErr_Clear();  // not taken: json.loads below gives the value or the exact error
        if (v) {
            const int rc = PyList_Append(entries.ptr(), v);
            Py_DECREF(v);
            if (rc != 0) throw nb::python_error();
        } else {
            if (!checked) {
                if (uni::find_invalid_utf8(data) != std::string::npos) py::raise_decode_error(p, data);
                checked = true;
            }
            const std::string_view line(data.data() + start, next - start);
            py::append(entries, load_line_slow(data, start, line, lineno, path_text));
        }
    });
    return entries;
}

// ---------------------------------------------------------------------------
// Scoring.

// Normalized text of one str, in `buf`; TypeError as normalize_text() gives.
class Normalizer {
public:
    std::string_view operator()(PyObject* s) {
        check(s);
        const std::string_view view = py::utf8(s, scratch_);
        if (text::is_plainly_normalized(view)) return view;
        buf_.clear();
        text::append_normalized(buf_, view);
        return buf_;
    }
    static void check(PyObject* s) {
        if (!PyUnicode_Check(s)) py::raise_arg_type("normalize_text", "text", "str", s);
    }

private:
    std::string buf_;
    std::string scratch_;
};

// A member's value as a sequence.
nb::object as_items(PyObject* v) {
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) return nb::borrow(v);
    nb::object fast = nb::steal(PySequence_Fast(v, "entry member is not iterable"));
    if (!fast.is_valid()) throw nb::python_error();
    return fast;
}

// The tests of one query against the texts of many entries.  A text is read
// in its own representation and normalized character by character on the
// way; only texts with characters that need the full rule are converted.
class QueryTester {
public:
    explicit QueryTester(std::string_view normalized_query) : bytes_(normalized_query), units_(normalized_query) {}

    // Whether normalize_text(s) occurs in the query (a keyword: and is longer
    // than one character).  TypeError as normalize_text() gives for a non-str.
    bool occurs(PyObject* s, bool keyword) {
        Normalizer::check(s);
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) < 0) throw nb::python_error();
#endif
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        const void* data = PyUnicode_DATA(s);
        int r;
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: r = units_.occurs(static_cast<const Py_UCS1*>(data), n, keyword); break;
            case PyUnicode_2BYTE_KIND: r = units_.occurs(static_cast<const Py_UCS2*>(data), n, keyword); break;
            default: r = units_.occurs(static_cast<const Py_UCS4*>(data), n, keyword); break;
        }
        if (r >= 0) return r != 0;
        const std::string_view t = norm_(s);
        return keyword ? scoring::longer_than_one_char(t) && bytes_.contains(t) : bytes_.contains(t);
    }

private:
    scoring::Query bytes_;
    scoring::UnitQuery units_;
    Normalizer norm_;
};

// The score of an entry from its members (aliases and keywords may be
// nullptr when missing); `keywords_of()` gives the keywords member once the
// aliases have been read.
template <class KeywordsOf>
int score_members(QueryTester& q, PyObject* title, PyObject* aliases_member, KeywordsOf&& keywords_of) {
    const bool title_found = q.occurs(title, false);
    bool alias_found = false;
    int keywords = 0;
    if (aliases_member) {
        nb::object aliases = as_items(aliases_member);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(aliases.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* a = PySequence_Fast_GET_ITEM(aliases.ptr(), i);
            if (alias_found)
                Normalizer::check(a);
            else
                alias_found = q.occurs(a, false);
        }
    }
    if (nb::object keywords_member = keywords_of(); keywords_member.is_valid()) {
        nb::object kws = as_items(keywords_member.ptr());
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(kws.ptr());
        PyObject** items = PySequence_Fast_ITEMS(kws.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* k = items[i];
            if (keywords >= scoring::kMaxKeywords)
                Normalizer::check(k);
            else
                keywords += q.occurs(k, true);
        }
    }
    return scoring::points(title_found, alias_found, keywords);
}

int score_entry(QueryTester& q, nb::handle record) {
    if (!PyDict_Check(record.ptr())) py::raise_arg_type("score_record", "record", "dict", record);
    nb::object title = py::get_item(record, py::key("scene_title"));
    nb::object aliases = nb::borrow(py::get_opt(record, py::key("aliases")));
    return score_members(q, title.ptr(), aliases.ptr(),
                         [&] { return nb::borrow(py::get_opt(record, py::key("keywords"))); });
}

inline void prefetch_lines(const void* p, std::size_t bytes) {
    const char* c = static_cast<const char*>(p);
    for (std::size_t off = 0; off < bytes; off += 64) __builtin_prefetch(c + off);
}

// Scores list entries [i, i + n) that are plain dicts with list or tuple
// members, at most kBatch of them; returns how many it scored (0 when entry i
// is not such an entry).  The texts of an index lie all over the heap, so the
// members of the whole batch are fetched level by level (entry, member
// sequences, strings) before any is scored.  A member lookup can run the
// caller's code (a key whose hash collides with the one looked up runs its
// __eq__, which may change the list or the entries): the batch holds strong
// references to every entry and member it took, stops at the list's current
// end, and reads sequence lengths only when it scores them, so the results
// and errors are those of scoring one entry after another.
constexpr Py_ssize_t kBatch = 16;

template <class OnScore>
Py_ssize_t score_batch(QueryTester& q, PyObject* list, Py_ssize_t i, Py_ssize_t n, OnScore&& on_score) {
    static PyObject* const k_title = py::key("scene_title").ptr();
    static PyObject* const k_aliases = py::key("aliases").ptr();
    static PyObject* const k_keywords = py::key("keywords").ptr();
    // Strong references (plain pointers, released by `hold` when the batch ends).
    struct Got {
        PyObject* entry;
        PyObject* title;
        PyObject* aliases;
        PyObject* keywords;
    } got[kBatch];
    Py_ssize_t g = 0;
    struct Hold {
        Got* got;
        Py_ssize_t& n;
        ~Hold() {
            for (Py_ssize_t j = 0; j < n; ++j) {
                Py_DECREF(got[j].entry);
                Py_DECREF(got[j].title);
                Py_XDECREF(got[j].aliases);
                Py_XDECREF(got[j].keywords);
            }
        }
    } hold{got, g};
    n = std::min(n, kBatch);
    for (Py_ssize_t j = n; j < 2 * kBatch && i + j < PyList_GET_SIZE(list); ++j) __builtin_prefetch(PyList_GET_ITEM(list, i + j));
    auto plain_seq = [](PyObject* v) { return !v || PyList_CheckExact(v) || PyTuple_CheckExact(v); };
    for (; g < n && i + g < PyList_GET_SIZE(list);) {
        PyObject* e = Py_NewRef(PyList_GET_ITEM(list, i + g));
        if (!PyDict_CheckExact(e)) {
            Py_DECREF(e);
            break;
        }
        // Each value is taken (a new reference) as soon as its lookup returns.
        PyObject* t = Py_XNewRef(PyDict_GetItemWithError(e, k_title));
        PyObject* a = t ? Py_XNewRef(PyDict_GetItemWithError(e, k_aliases)) : nullptr;
        PyObject* k = t && !PyErr_Occurred() ? Py_XNewRef(PyDict_GetItemWithError(e, k_keywords)) : nullptr;
        if (!t || PyErr_Occurred() || !plain_seq(a) || !plain_seq(k)) {
            PyErr_Clear();  // the entry is scored on its own, errors and all
            Py_DECREF(e);
            Py_XDECREF(t);
            Py_XDECREF(a);
            Py_XDECREF(k);
            break;
        }
        prefetch_lines(t, 128);
        if (a) __builtin_prefetch(a);
        if (k) __builtin_prefetch(k);
        got[g++] = {e, t, a, k};
    }
    // From here on no code of the caller's runs until the batch is scored.
    auto items_of = [](PyObject* v, Py_ssize_t& len) -> PyObject** {
        if (!v) {
            len = 0;
            return nullptr;
        }
        len = PySequence_Fast_GET_SIZE(v);
        return PySequence_Fast_ITEMS(v);
    };
    for (Py_ssize_t j = 0; j < g; ++j) {
        for (PyObject* v : {got[j].aliases, got[j].keywords}) {
            Py_ssize_t len;
            PyObject** items = items_of(v, len);
            if (len) prefetch_lines(items, static_cast<std::size_t>(len) * sizeof(PyObject*));
        }
    }
    for (Py_ssize_t j = 0; j < g; ++j) {
        for (PyObject* v : {got[j].aliases, got[j].keywords}) {
            Py_ssize_t len;
            PyObject** items = items_of(v, len);
            for (Py_ssize_t x = 0; x < len; ++x) prefetch_lines(items[x], 128);
        }
    }
    for (Py_ssize_t j = 0; j < g; ++j)
        on_score(got[j].entry, score_members(q, got[j].title, got[j].aliases, [&] { return nb::borrow(got[j].keywords); }));
    return g;
}

std::string normalized_query(nb::handle query) {
    std::string scratch;
    return text::normalize_text(py::utf8(query, scratch));
}

int score_record(nb::handle query, nb::handle record) {
    py::require_str(query, "score_record", "query");
    py::require_dict(record, "score_record", "record");
    const std::string q = normalized_query(query);
    QueryTester tester(q);
    return score_entry(tester, record);
}

nb::list search_knowledge_global(nb::handle query, nb::handle scene_index, nb::handle top_k) {
    const char* fn = "search_knowledge_global";
    py::require_str(query, fn, "query");
    py::require_list(scene_index, fn, "scene_index");
    py::require_int(top_k, fn, "top_k");
    const std::string q_text = normalized_query(query);
    QueryTester tester(q_text);
    struct Hit {
        PyObject* entry;
        int score;
    };
    std::vector<Hit> hits;
    std::vector<nb::object> keep;  // entries stay alive even if the list changes
    PyObject* list = scene_index.ptr();
    auto on_score = [&](PyObject* entry, int s) {
        if (s > 0) {
            hits.push_back({entry, s});
            keep.push_back(nb::borrow(entry));
        }
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list);) {
        const Py_ssize_t done = score_batch(tester, list, i, PyList_GET_SIZE(list) - i, on_score);
        if (done) {
            i += done;
            continue;
        }
        if (i >= PyList_GET_SIZE(list)) break;  // the batch's lookups ran code that shortened the list
        // An entry the batch does not take (not a plain dict, a missing title,
        // members of other types): on its own, which may run the caller's code.
        nb::object entry = nb::borrow(PyList_GET_ITEM(list, i));
        const int s = score_entry(tester, entry);
        if (s > 0) {
            hits.push_back({entry.ptr(), s});
            keep.push_back(std::move(entry));
        }
        ++i;
    }
    scoring::rank_and_cut(hits, py::top_k_value(top_k), [](const Hit& h) { return h.score; });
    const auto count = static_cast<Py_ssize_t>(hits.size());
    nb::list out = nb::steal<nb::list>(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyTuple_New(2);
        if (!pair) throw nb::python_error();
        PyList_SET_ITEM(out.ptr(), i, pair);
        Py_INCREF(hits[static_cast<std::size_t>(i)].entry);
        PyTuple_SET_ITEM(pair, 0, hits[static_cast<std::size_t>(i)].entry);
        PyObject* s = PyLong_FromLong(hits[static_cast<std::size_t>(i)].score);
        if (!s) throw nb::python_error();
        PyTuple_SET_ITEM(pair, 1, s);
    }
    return out;
}

// The scene index compiled for repeated searches: the same results as
// search_knowledge_global over the list it was made from, at a cost that does
// not grow with the index for most queries.  It keeps the entry objects of
// that list (a snapshot of the list, not the list itself); entries changed
// afterwards are not seen by the compiled search.
class CompiledSceneIndex {
public:
    explicit CompiledSceneIndex(nb::handle scene_index) {
        const char* fn = "compile_scene_index";
        py::require_list(scene_index, fn, "scene_index");
        entries_ = nb::steal<nb::tuple>(PyList_AsTuple(scene_index.ptr()));
        matcher::IndexBuilder builder;
        std::string scratch;
        const Py_ssize_t n = PyTuple_GET_SIZE(entries_.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::handle entry = PyTuple_GET_ITEM(entries_.ptr(), i);
            if (!PyDict_Check(entry.ptr())) {
                PyErr_Format(PyExc_TypeError, "%s(): entry %zd of 'scene_index' must be a dict, not %.200s", fn, i,
                             Py_TYPE(entry.ptr())->tp_name);
                throw nb::python_error();
            }
            nb::object title = py::get_item(entry, py::key("scene_title"));
            builder.begin_entry(member_utf8(title, fn, i, "scene_title", scratch));
            for (const char* member : {"aliases", "keywords"}) {
                PyObject* items = py::get_opt(entry, py::key(member));
                if (!items) continue;
                nb::object seq = nb::steal(PySequence_Fast(items, "entry member must be a sequence"));
                if (!seq.is_valid()) throw nb::python_error();
                const bool alias = member[0] == 'a';
                for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.ptr()); ++j) {
                    std::string_view t = member_utf8(PySequence_Fast_GET_ITEM(seq.ptr(), j), fn, i, member, scratch);
                    if (alias)
                        builder.add_alias(t);
                    else
                        builder.add_keyword(t);
                }
            }
        }
        index_ = builder.compile();
    }

    nb::list search(nb::handle query, nb::handle top_k) const {
        py::require_str(query, "search", "query");
        py::require_int(top_k, "search", "top_k");
        const std::vector<matcher::Scored> hits = index_.search(normalized_query(query), py::top_k_value(top_k));
        nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(hits.size())));
        for (std::size_t i = 0; i < hits.size(); ++i) {
            PyObject* entry = PyTuple_GET_ITEM(entries_.ptr(), hits[i].first);
            PyObject* score = PyLong_FromLong(hits[i].second);
            if (!score) throw nb::python_error();
            Py_INCREF(entry);
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), PyTuple_Pack(2, entry, score));
            Py_DECREF(entry);
            Py_DECREF(score);
            if (!PyList_GET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i))) throw nb::python_error();
        }
        return out;
    }

    std::size_t size() const { return index_.size(); }
    std::size_t memory_bytes() const { return index_.memory_bytes(); }

private:
    static std::string_view member_utf8(nb::handle h, const char* fn, Py_ssize_t i, const char* member,
                                    std::string& scratch) {
        if (!PyUnicode_Check(h.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s(): entry %zd: '%s' must hold str, not %.200s", fn, i, member,
                         Py_TYPE(h.ptr())->tp_name);
            throw nb::python_error();
        }
        return py::utf8(h, scratch);
    }

    nb::tuple entries_;
    matcher::CompiledIndex index_;
};

}  // namespace

CORVANE_MODULE(farrowin, m) {
    m.doc() = "Global retrieval: loads the scene index and ranks its entries for a query.";
    // Bound from the matching module when this one loads (normalization itself
    // runs in the core, with the same rules).
    nb::module_ morlek = nb::module_::import_("corvane.morlek");
    for (const char* name : {"normalize_text", "classify_query_intent"}) m.attr(name) = morlek.attr(name);

    m.def("load_scene_index", &load_scene_index, "path"_a.none() = "data/scene_index.jsonl",
          "The entries of a scene index file, one JSON value per line, in file order.");
    m.def("score_record", &score_record, "query"_a.none(), "record"_a.none(), "The score of one index entry for a query.");
    m.def("search_knowledge_global", &search_knowledge_global, "query"_a.none(), "scene_index"_a.none(), "top_k"_a.none() = 5,
          "The best (entry, score) pairs, best first, at most top_k of them.");

    // Compiled indexes held by module globals (delmoor's, say) may still be
    // alive while the interpreter shuts down; that is no leak worth a warning.
    // Reference counting is checked by the test suite instead.
    nb::set_leak_warnings(false);
    nb::class_<CompiledSceneIndex>(m, "CompiledSceneIndex",
                                   "A scene index compiled once for repeated searches (see compile_scene_index).")
        .def("search", &CompiledSceneIndex::search, "query"_a.none(), "top_k"_a.none() = 5,
             "Exactly what search_knowledge_global(query, scene_index, top_k) returns for the compiled list.")
        .def("__len__", &CompiledSceneIndex::size)
        .def_prop_ro("memory_bytes", &CompiledSceneIndex::memory_bytes, "Bytes held by the compiled structure.");
    m.def(
        "compile_scene_index", [](nb::handle scene_index) { return new CompiledSceneIndex(scene_index); },
        "scene_index"_a.none(), nb::rv_policy::take_ownership,
        "Compile a loaded scene index for repeated searches; entries must have the members the search reads.");
}
