// corvane._hybrid: the hybrid ranker (core/search/hybrid.hpp) over a loaded
// scene index.  Entries are read once, when the index is built; the index
// keeps the entry objects (a snapshot of the list) and returns them.
#include <cmath>
#include <string>

#include "bindings/common/fused.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "core/manual/heading_path.hpp"
#include "core/search/hybrid.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

const char* const kFn = "HybridIndex";

[[noreturn]] void raise_value(const std::string& msg) {
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    throw nb::python_error();
}

// A tuple holding the items of a sequence member (strong references).
nb::tuple items_of(nb::handle v, Py_ssize_t entry, const char* member) {
    if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s(): entry %zd: '%s' must be a list, not %.200s", kFn, entry, member,
                     Py_TYPE(v.ptr())->tp_name);
        throw nb::python_error();
    }
    PyObject* t = PySequence_Tuple(v.ptr());
    if (!t) throw nb::python_error();
    return nb::steal<nb::tuple>(t);
}

// UTF-8 copy of a str member.
std::string text_of(nb::handle h, Py_ssize_t entry, const char* member) {
    if (!PyUnicode_Check(h.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s(): entry %zd: '%s' must hold str, not %.200s", kFn, entry, member,
                     Py_TYPE(h.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string scratch;
    return std::string(py::utf8(h, scratch));
}

// d.get(key) with a strong reference (None when missing).
nb::object member(nb::handle dict, const char* key) {
    PyObject* v = py::get_opt(dict, py::key(key));
    return v ? nb::borrow(v) : nb::none();
}

double number_of(nb::handle h, const char* name) {
    if (!PyFloat_Check(h.ptr()) && !PyLong_Check(h.ptr())) py::raise_arg_type(kFn, name, "a number", h);
    const double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

class HybridIndex {
public:
    HybridIndex(nb::handle entries, nb::handle k1, nb::handle b, nb::handle weights, nb::handle threshold,
                nb::handle synonyms, nb::handle fused, nb::handle fusion, nb::handle paths) {
        py::require_list(entries, kFn, "entries");
        search::HybridParams params;
        if (!fused.is_none()) {
            if (!PyBool_Check(fused.ptr())) py::raise_arg_type(kFn, "fused", "a bool", fused);
            params.fused = fused.ptr() == Py_True;
        }
        if (!k1.is_none()) params.bm25.k1 = number_of(k1, "k1");
        if (!b.is_none()) params.bm25.b = number_of(b, "b");
        if (!threshold.is_none()) params.threshold = params.weights.threshold = number_of(threshold, "threshold");
        if (!fusion.is_none()) py::read_fusion(fusion, kFn, params.weights);
        if (!weights.is_none()) {
            py::require_dict(weights, kFn, "weights");
            nb::list items = nb::steal<nb::list>(PyDict_Items(weights.ptr()));
            if (!items.is_valid()) throw nb::python_error();
            for (nb::handle kv : items) {
                nb::object name = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0));
                nb::object value = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 1));
                if (!PyUnicode_Check(name.ptr())) py::raise_arg_type(kFn, "weights", "a dict with str keys", name);
                std::string scratch;
                const std::string key(py::utf8(name, scratch));
                std::size_t f = 0;
                while (f < search::kFieldCount && search::kFieldNames[f] != key) ++f;
                if (f == search::kFieldCount)
                    raise_value(std::string(kFn) + "(): unknown field '" + key +
                                "' in 'weights' (fields: title, aliases, description, steps, warning, notice, tip)");
                params.bm25.weights[f] = number_of(value, "weights");
            }
        }
        try {
            search::HybridBuilder builder(params);
            if (!synonyms.is_none()) add_synonyms(builder, synonyms);
            entries_ = nb::steal<nb::tuple>(PyList_AsTuple(entries.ptr()));
            const Py_ssize_t n = PyTuple_GET_SIZE(entries_.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) add_entry(builder, nb::borrow(PyTuple_GET_ITEM(entries_.ptr(), i)), i);
            if (!paths.is_none()) builder.set_heading_paths(read_paths(paths, n));
            ranker_ = builder.build();
        } catch (const search::Bm25Error& e) {
            raise_value(std::string(kFn) + "(): " + e.what());
        }
    }

    nb::list search(nb::handle question, nb::handle top_k, bool with_stage) const {
        py::require_str(question, "search", "question");
        py::require_int(top_k, "search", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        if (k < 0) raise_value("search(): top_k must be 0 or more, not " + std::to_string(k));
        std::string scratch;
        const std::string q(py::utf8(question, scratch));
        std::vector<search::Ranked> hits;
        {
            nb::gil_scoped_release release;
            hits = ranker_.search(q, static_cast<std::size_t>(k));
        }
        nb::list out;
        for (const search::Ranked& r : hits) {
            nb::object entry = nb::borrow(PyTuple_GET_ITEM(entries_.ptr(), r.entry));
            if (with_stage)
                py::append(out, nb::make_tuple(entry, r.score, r.stage));
            else
                py::append(out, nb::make_tuple(entry, r.score));
        }
        return out;
    }

    // BM25 alone over the raw question: no title stage, synonyms, question
    // words or refusal.
    nb::list bm25_search(nb::handle question, nb::handle top_k) const {
        py::require_str(question, "bm25_search", "question");
        py::require_int(top_k, "bm25_search", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        if (k < 0) raise_value("bm25_search(): top_k must be 0 or more, not " + std::to_string(k));
        std::string scratch;
        const std::string q(py::utf8(question, scratch));
        std::vector<search::Hit> hits;
        {
            nb::gil_scoped_release release;
            hits = ranker_.bm25().view().search(q, static_cast<std::size_t>(k));
        }
        nb::list out;
        for (const auto& [id, s] : hits) py::append(out, nb::make_tuple(id, s));
        return out;
    }

    nb::dict fused_features(nb::handle question, nb::handle top_k) const {
        py::require_str(question, "fused_features", "question");
        py::require_int(top_k, "fused_features", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        if (k < 0) raise_value("fused_features(): top_k must be 0 or more, not " + std::to_string(k));
        std::string scratch;
        const std::string q(py::utf8(question, scratch));
        search::FusedEvidence ev;
        {
            nb::gil_scoped_release release;
            ev = ranker_.evidence(q, static_cast<std::size_t>(k));
        }
        return py::evidence_dict(ev);
    }

    std::size_t size() const { return ranker_.size(); }
    std::size_t memory_bytes() const { return ranker_.memory_bytes(); }
    double threshold() const { return ranker_.threshold(); }
    bool fused() const { return ranker_.fused(); }
    double score_threshold() const { return ranker_.score_threshold(); }
    nb::bytes bm25_bytes() const {
        auto b = ranker_.bm25().bytes();
        return nb::bytes(reinterpret_cast<const char*>(b.data()), b.size());
    }

private:
    // paths: one list of heading titles per entry.
    static std::vector<std::string> read_paths(nb::handle paths, Py_ssize_t n) {
        if (!PyList_Check(paths.ptr())) py::raise_arg_type(kFn, "paths", "a list", paths);
        nb::tuple all = nb::steal<nb::tuple>(PyList_AsTuple(paths.ptr()));
        if (PyTuple_GET_SIZE(all.ptr()) != n)
            raise_value(std::string(kFn) + "(): 'paths' must hold one list per entry (" + std::to_string(n) + "), not " +
                        std::to_string(PyTuple_GET_SIZE(all.ptr())));
        std::vector<std::string> out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::string joined;
            for (nb::handle t : items_of(PyTuple_GET_ITEM(all.ptr(), i), i, "paths")) {
                if (!joined.empty()) joined += '\n';
                joined += text_of(t, i, "paths");
            }
            out.push_back(std::move(joined));
        }
        return out;
    }

    static void add_synonyms(search::HybridBuilder& builder, nb::handle synonyms) {
        py::require_dict(synonyms, kFn, "synonyms");
        nb::list items = nb::steal<nb::list>(PyDict_Items(synonyms.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        for (nb::handle kv : items) {
            nb::object key = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0));
            nb::object value = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 1));
            if (!PyUnicode_Check(key.ptr())) py::raise_arg_type(kFn, "synonyms", "a dict with str keys", key);
            std::string scratch;
            const std::string k(py::utf8(key, scratch));
            auto add = [&](nb::handle w) {
                if (!PyUnicode_Check(w.ptr()))
                    raise_value(std::string(kFn) + "(): synonyms['" + k + "'] must be a str or a list of str");
                std::string s2;
                builder.add_synonym(k, py::utf8(w, s2));
            };
            if (PyUnicode_Check(value.ptr())) {
                add(value);
            } else if (PyList_Check(value.ptr())) {
                nb::tuple ws = nb::steal<nb::tuple>(PySequence_Tuple(value.ptr()));
                if (!ws.is_valid()) throw nb::python_error();  // a list subclass whose iteration raised
                for (nb::handle w : ws) add(w);
            } else {
                raise_value(std::string(kFn) + "(): synonyms['" + k + "'] must be a str or a list of str");
            }
        }
    }

    static void add_entry(search::HybridBuilder& builder, nb::handle entry, Py_ssize_t i) {
        if (!PyDict_Check(entry.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s(): entry %zd of 'entries' must be a dict, not %.200s", kFn, i,
                         Py_TYPE(entry.ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object title = py::get_item(entry, py::key("scene_title"));
        builder.begin_entry(text_of(title, i, "scene_title"));
        if (nb::object a = member(entry, "aliases"); !a.is_none())
            for (nb::handle x : items_of(a, i, "aliases")) builder.add_alias(text_of(x, i, "aliases"));
        if (nb::object kw = member(entry, "keywords"); !kw.is_none())
            for (nb::handle x : items_of(kw, i, "keywords")) builder.add_keyword(text_of(x, i, "keywords"));
        nb::object scene = member(entry, "scene_data");
        if (scene.is_none()) return;
        if (!PyDict_Check(scene.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s(): entry %zd: 'scene_data' must be a dict, not %.200s", kFn, i,
                         Py_TYPE(scene.ptr())->tp_name);
            throw nb::python_error();
        }
        if (nb::object d = member(scene, "description"); !d.is_none())
            builder.add_text(search::kDescription, text_of(d, i, "description"));
        if (nb::object steps = member(scene, "steps"); !steps.is_none()) {
            for (nb::handle st : items_of(steps, i, "steps")) {
                if (!PyDict_Check(st.ptr())) {
                    PyErr_Format(PyExc_TypeError, "%s(): entry %zd: 'steps' must hold dicts, not %.200s", kFn, i,
                                 Py_TYPE(st.ptr())->tp_name);
                    throw nb::python_error();
                }
                nb::object step = nb::borrow(st);
                if (nb::object t = member(step, "text"); !t.is_none()) builder.add_text(search::kSteps, text_of(t, i, "text"));
                if (nb::object sp = member(step, "sub_points"); !sp.is_none())
                    for (nb::handle x : items_of(sp, i, "sub_points"))
                        builder.add_text(search::kSteps, text_of(x, i, "sub_points"));
            }
        }
        const std::pair<const char*, search::Field> lists[] = {
            {"warning", search::kWarning}, {"notice", search::kNotice}, {"tip", search::kTip}};
        for (const auto& [name, field] : lists)
            if (nb::object l = member(scene, name); !l.is_none())
                for (nb::handle x : items_of(l, i, name)) builder.add_text(field, text_of(x, i, name));
    }

    nb::tuple entries_;
    search::HybridRanker ranker_;
};

int check_bm25_bytes(nb::bytes data) {
    try {
        const auto idx = search::Bm25Index::from_bytes(
            {reinterpret_cast<const std::byte*>(data.c_str()), data.size()});
        return static_cast<int>(idx.view().size());
    } catch (const search::Bm25Error& e) {
        raise_value(e.what());
    }
}

nb::list scene_paths(nb::handle markdown, nb::handle doc_name, nb::handle document_title) {
    auto text = [](nb::handle h, const char* name) {
        if (!PyUnicode_Check(h.ptr())) py::raise_arg_type("scene_paths", name, "a str", h);
        std::string scratch;
        return std::string(py::utf8(h, scratch));
    };
    const std::string md = text(markdown, "markdown"), dn = text(doc_name, "doc_name"),
                      dt = text(document_title, "document_title");
    std::vector<std::vector<std::string>> paths;
    {
        nb::gil_scoped_release unlocked;
        paths = manual::scene_heading_paths(md, dn, dt);
    }
    nb::list out;
    for (const auto& path : paths) {
        nb::list one;
        for (const std::string& t : path) one.append(nb::str(t.data(), t.size()));
        out.append(one);
    }
    return out;
}

}  // namespace

CORVANE_MODULE(_hybrid, m) {
    m.doc() = "The hybrid ranker: title and alias matches first, then BM25 over character bigrams.";
    nb::set_leak_warnings(false);
    nb::class_<HybridIndex>(m, "HybridIndex", "A scene index compiled for the hybrid ranker.")
        .def(nb::init<nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle,
                      nb::handle>(),
             "entries"_a.none(),
             nb::kw_only(), "k1"_a.none() = nb::none(), "b"_a.none() = nb::none(), "weights"_a.none() = nb::none(),
             "threshold"_a.none() = nb::none(), "synonyms"_a.none() = nb::none(), "fused"_a.none() = nb::none(),
             "fusion"_a.none() = nb::none(), "paths"_a.none() = nb::none())
        .def("search", [](const HybridIndex& h, nb::handle q, nb::handle k) { return h.search(q, k, false); },
             "question"_a.none(), "top_k"_a.none() = 5,
             "The best (entry, BM25 score) pairs for a question, best first; empty when refused.")
        .def("search_stages", [](const HybridIndex& h, nb::handle q, nb::handle k) { return h.search(q, k, true); },
             "question"_a.none(), "top_k"_a.none() = 5,
             "As search(), each result with the stage (1: title or alias match, 2: BM25 only) that placed it.")
        .def_prop_ro("fused", &HybridIndex::fused, "True: the fused ranker; False: the two-stage cascade.")
        .def("bm25_search", &HybridIndex::bm25_search, "question"_a.none(), "top_k"_a.none() = 5,
             "(entry position, score) pairs of BM25 alone, best first, ties by position.")
        .def("fused_features", &HybridIndex::fused_features, "question"_a.none(), "top_k"_a.none() = 5,
             "The fused ranker's evidence for a question: every candidate it would score for top_k places (entry "
             "positions) with its named features, best first, and the question's refusal features.")
        .def("__len__", &HybridIndex::size)
        .def_prop_ro("memory_bytes", &HybridIndex::memory_bytes)
        .def_prop_ro("threshold", &HybridIndex::threshold,
                     "Refusal threshold, in units of the idf of a term only one entry holds.")
        .def_prop_ro("score_threshold", &HybridIndex::score_threshold, "The refusal threshold as a BM25 score.")
        .def("bm25_bytes", &HybridIndex::bm25_bytes, "The compiled BM25 section as bytes.");
    m.def("scene_paths", &scene_paths, "markdown"_a.none(), "doc_name"_a.none() = nb::str(""),
          "document_title"_a.none() = nb::str(""),
          "For each scene of a manual (in index order), the titles of the headings above it, root excluded.");
    m.def("fused_defaults", [] { return py::fusion_dict(search::FusedWeights{}); },
          "The fused ranker's built-in weights by name (what python/corvane/fused_weights.json holds).");
    m.def("check_bm25_bytes", &check_bm25_bytes, "data"_a,
          "Validates a compiled BM25 section; returns its number of entries or raises ValueError.");
}
