// corvane._engine: the query engine's index for Python (core/search/
// engine_index: the compiled file mapped and checked, or compiled from
// scene_index.jsonl; line reading; the compiled file's writer).  This file
// checks arguments, releases the GIL around file work and searches, builds the
// host objects and reads the entries the core's reader does not take.
// corvane.engine builds the Python API on top.
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <optional>

#include <nanobind/stl/optional.h>

#include "bindings/common/answer.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/fused.hpp"
#include "bindings/common/json_handler.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "bindings/common/repr.hpp"
#include "bindings/common/scene_context.hpp"
#include "core/index/index_builder.hpp"
#include "core/io/env.hpp"
#include "core/io/errors.hpp"
#include "core/io/files.hpp"
#include "core/json/string_lists.hpp"
#include "core/json/reader.hpp"
#include "core/search/engine_index.hpp"
#include "core/selfcheck/prompt.hpp"
#include "core/text/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

// Lines up to this size are read without releasing the GIL.
constexpr std::size_t kShortRead = std::size_t{64} << 10;

[[noreturn]] void raise_io(const io::IoError& e) { py::raise_os_error(e.err, e.path); }

// A synonym mapping (str -> str or list of str) into `out`; strong
// references to every key and value while they are read.
void add_synonyms(search::Synonyms& out, nb::handle mapping) {
    py::require_dict(mapping, "Synonyms", "synonyms");
    nb::list items = nb::steal<nb::list>(PyDict_Items(mapping.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle kv : items) {
        nb::object key = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 1));
        if (!PyUnicode_Check(key.ptr())) py::raise_arg_type("Synonyms", "synonyms", "a dict with str keys", key);
        std::string ks, ws;
        const std::string k(py::utf8(key, ks));
        auto bad = [&]() {
            PyErr_Format(PyExc_ValueError, "Synonyms(): synonyms['%s'] must be a str or a list of str", k.c_str());
            throw nb::python_error();
        };
        auto add = [&](nb::handle w) {
            if (!PyUnicode_Check(w.ptr())) bad();
            try {
                out.add(k, py::utf8(w, ws));
            } catch (const search::Bm25Error& e) {
                PyErr_Format(PyExc_ValueError, "Synonyms(): synonyms['%s']: %s", k.c_str(), e.what());
                throw nb::python_error();
            }
        };
        if (PyUnicode_Check(value.ptr())) {
            add(value);
        } else if (PyList_Check(value.ptr())) {
            nb::object words = nb::steal(PySequence_Tuple(value.ptr()));
            if (!words.is_valid()) throw nb::python_error();
            for (nb::handle w : nb::borrow<nb::tuple>(words)) add(w);
        } else {
            bad();
        }
    }
}

class Index {
public:
    explicit Index(std::unique_ptr<search::EngineIndex> core) : core_(std::move(core)) {}

    static Index* open_compiled(const std::string& cvx, const std::string& jsonl, std::size_t verify_limit) {
        std::unique_ptr<search::EngineIndex> core;
        try {
            nb::gil_scoped_release unlocked;
            core = search::EngineIndex::open_compiled(cvx, jsonl, verify_limit);
        } catch (const io::IoError& e) {
            raise_io(e);
        }
        return new Index(std::move(core));
    }

    // Threads of a compile: CORVANE_INDEX_THREADS, as the index run takes it;
    // unset (or a value the run itself would refuse): one per core.  Only the
    // speed depends on it.
    static unsigned compile_threads() {
        try {
            return static_cast<unsigned>(io::env_count("CORVANE_INDEX_THREADS", 1, index::kMaxThreads).value_or(0));
        } catch (const io::SettingError&) {
            return 0;
        }
    }

    static Index* compile_jsonl(const std::string& jsonl, nb::handle loader) {
        std::unique_ptr<search::EngineIndex> core;
        try {
            core = search::EngineIndex::for_jsonl(jsonl, compile_threads());
            nb::object loads = nb::module_::import_("json").attr("loads");
            std::string scratch;
            auto slow = [&](std::string_view content, std::size_t lineno, search::EntrySink& sink) {
                PyObject* s = PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), nullptr);
                if (!s) {
                    PyErr_Clear();
                    raise_line_error(jsonl, loader, lineno, "invalid UTF-8");
                }
                nb::object text = nb::steal(s);
                PyObject* v = PyObject_CallOneArg(loads.ptr(), text.ptr());
                if (!v) {
                    nb::python_error err;
                    raise_line_error(jsonl, loader, lineno, "not a JSON value");
                }
                nb::object entry = nb::steal(v);
                add_entry(jsonl, sink, entry, lineno, scratch);
            };
            for (int attempt = 0;; ++attempt) {
                if (auto pass = core->read_pass(slow)) {
                    nb::gil_scoped_release unlocked;
                    core->finish(std::move(pass));
                    break;
                }
                if (attempt == 2) {
                    PyErr_Format(PyExc_RuntimeError, "%s changed while it was being read", jsonl.c_str());
                    throw nb::python_error();
                }
                core->reopen();
            }
        } catch (const io::IoError& e) {
            raise_io(e);
        }
        return new Index(std::move(core));
    }

    // 1 checked, 0 not checked, -1 damaged.
    int verified(bool) const { return core_->verified(); }

    // The whole-file hash check (reads every page, without the GIL).
    bool verify() const {
        nb::gil_scoped_release unlocked;
        return core_->verify();
    }

    // The manual ids of `manuals` (None: no filter), copied out before any
    // search: an iterable of str, not a str itself.
    static std::optional<std::vector<std::string>> manual_list(nb::handle manuals, const char* fn) {
        if (manuals.is_none()) return std::nullopt;
        if (PyUnicode_Check(manuals.ptr()) || PyBytes_Check(manuals.ptr()))
            py::raise_arg_type(fn, "manuals", "a set of str (manual ids) or None", manuals);
        nb::object it = nb::steal(PyObject_GetIter(manuals.ptr()));
        if (!it.is_valid()) {
            PyErr_Clear();
            py::raise_arg_type(fn, "manuals", "a set of str (manual ids) or None", manuals);
        }
        std::vector<std::string> out;
        std::string scratch;
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(raw);
            if (!PyUnicode_Check(item.ptr())) py::raise_arg_type(fn, "manuals", "a set of str (manual ids)", item);
            out.emplace_back(py::utf8(item, scratch));
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return out;
    }

    nb::list search(nb::handle query, nb::handle top_k, nb::handle manuals) const {
        py::require_str(query, "search", "query");
        py::require_int(top_k, "search", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);  // clamps huge values
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        const std::optional<std::vector<std::string>> only = manual_list(manuals, "search");
        std::string scratch;
        const std::string q(py::utf8(query, scratch));
        std::vector<matcher::Scored> hits;
        {
            nb::gil_scoped_release unlocked;
            if (only) {
                const auto allowed = core_->entries_of(*only);
                hits = core_->search(text::normalize_text(q), k, allowed.get());
            } else {
                hits = core_->search(text::normalize_text(q), k);
            }
        }
        core_->check_verified();
        nb::list out;
        for (const matcher::Scored& h : hits) out.append(nb::make_tuple(h.first, h.second));
        return out;
    }

    // (entry id, BM25 score) pairs of the hybrid ranker, best first; empty
    // when it refuses the question.
    nb::list search_hybrid(nb::handle query, nb::handle top_k, const search::Synonyms& synonyms, bool fused,
                           nb::handle fusion, nb::handle manuals) const {
        search::FusedWeights weights;
        if (!fusion.is_none()) py::read_fusion(fusion, "search", weights);
        py::require_str(query, "search", "query");
        py::require_int(top_k, "search", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        if (k < 0) {
            PyErr_Format(PyExc_ValueError, "search(): top_k must be 0 or more with the hybrid ranker, not %zd", k);
            throw nb::python_error();
        }
        const std::optional<std::vector<std::string>> only = manual_list(manuals, "search");
        std::string scratch;
        const std::string raw(py::utf8(query, scratch));
        std::vector<search::Ranked> hits;
        {
            nb::gil_scoped_release unlocked;
            if (only) {
                const auto allowed = core_->entries_of(*only);
                hits = core_->search_hybrid(raw, synonyms, static_cast<std::size_t>(k), fused, weights, allowed.get());
            } else {
                hits = core_->search_hybrid(raw, synonyms, static_cast<std::size_t>(k), fused, weights);
            }
        }
        core_->check_verified();
        nb::list out;
        for (const search::Ranked& r : hits) out.append(nb::make_tuple(r.entry, r.score));
        return out;
    }

    // The fused ranker's evidence for a question (py::evidence_dict): every
    // candidate it would score for top_k places, with its features.
    nb::dict fused_features(nb::handle query, nb::handle top_k, const search::Synonyms& synonyms,
                            nb::handle fusion) const {
        search::FusedWeights weights;
        if (!fusion.is_none()) py::read_fusion(fusion, "fused_features", weights);
        py::require_str(query, "fused_features", "query");
        py::require_int(top_k, "fused_features", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        if (k < 0) {
            PyErr_Format(PyExc_ValueError, "fused_features(): top_k must be 0 or more, not %zd", k);
            throw nb::python_error();
        }
        std::string scratch;
        const std::string raw(py::utf8(query, scratch));
        search::FusedEvidence ev;
        {
            nb::gil_scoped_release unlocked;
            ev = core_->fused_evidence(raw, synonyms, static_cast<std::size_t>(k), weights);
        }
        core_->check_verified();
        return py::evidence_dict(ev);
    }

    // The text of entry i's line, terminator removed.
    nb::object line(std::uint32_t i) const {
        std::string bytes = line_bytes(i);
        PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
        if (!s) {
            PyErr_Clear();
            throw matcher::CorruptIndex("scene_index.jsonl has changed since it was indexed");
        }
        return nb::steal(s);
    }

    // Entry i as load_scene_index gives it: its line parsed by the core's
    // reader into host objects (the same reader and handler), or by json.loads
    // when the reader does not take it.  Runs with the GIL held throughout, so
    // the handler's caches are never used by two threads at once.
    nb::object record(std::uint32_t i) const {
        const std::string bytes = line_bytes(i);
        if (!builder_) builder_ = std::make_unique<py::ObjectBuilder>();
        json::Reader<py::ObjectBuilder> reader(*builder_);
        if (PyObject* v = reader.parse(bytes)) return nb::steal(v);
        PyErr_Clear();
        nb::object text = line(i);
        PyObject* v = PyObject_CallOneArg(json_loads().ptr(), text.ptr());
        if (!v) {
            PyErr_Clear();
            throw matcher::CorruptIndex("scene_index.jsonl has changed since it was indexed");
        }
        return nb::steal(v);
    }

    // One question answered in one search: (hits, knowledge, prompt,
    // contexts) -- hits the (entry, score) pairs, knowledge the matched record
    // delmoor builds, prompt the answer prompt (or `tmpl` filled once, within
    // max_prompt_bytes), contexts each hit's context text for the model.
    nb::tuple answer(nb::handle query, nb::handle top_k, nb::handle synonyms, bool fused, nb::handle tmpl,
                     nb::handle time_text, std::size_t max_prompt_bytes, const py::RecordParts& parts,
                     nb::handle render, nb::handle manuals) const {
        py::require_str(query, "answer", "question");
        if (!tmpl.is_none()) py::require_str(tmpl, "answer", "template");
        const nb::list ids = synonyms.is_none() ? search(query, top_k, manuals)
                                                : search_hybrid(query, top_k, nb::cast<const search::Synonyms&>(synonyms), fused,
                                                                nb::none(), manuals);
        nb::list hits, with_paths;
        for (nb::handle pair : ids) {
            nb::tuple t = nb::borrow<nb::tuple>(pair);
            const auto i = nb::cast<std::uint32_t>(t[0]);
            nb::object rec = record(i);
            py::append(hits, nb::make_tuple(rec, t[1]));
            py::append(with_paths, nb::make_tuple(rec, t[1], heading_path(i), tables(i)));
        }
        nb::dict matched = py::matched_record(parts, query, hits);
        nb::list contexts;
        nb::object results = py::get_item(matched, py::key("results"));
        for (nb::handle r : results) py::append(contexts, render(py::get_item(r, py::key("context"))));
        const std::string question = py::str_or_repr(query);
        const std::string knowledge = py::str_or_repr(matched);
        std::string text;
        if (tmpl.is_none()) {
            text = prompt::answer_prompt(question, knowledge);
        } else {
            py::require_str(time_text, "answer", "time_text");
            try {
                text = prompt::fill_once(py::str_or_repr(tmpl), question, knowledge, py::str_or_repr(time_text),
                                         max_prompt_bytes);
            } catch (const prompt::PromptTooLarge& e) {
                nb::object err = nb::module_::import_("corvane.errors").attr("PromptTooLargeError");
                nb::object msg = nb::steal(PyUnicode_FromFormat(
                    "the prompt template filled with the question, the knowledge and the time would be %zu bytes, "
                    "more than %zu (CORVANE_MAX_PROMPT_BYTES)", e.bytes, e.limit));
                if (!msg.is_valid()) throw nb::python_error();
                PyErr_SetObject(err.ptr(), err(msg, "bytes"_a = e.bytes, "limit"_a = e.limit).ptr());
                throw nb::python_error();
            }
        }
        return nb::make_tuple(with_paths, matched, py::str(text), contexts);
    }

    void write(const std::string& cvx) const {
        try {
            nb::gil_scoped_release unlocked;
            core_->write(cvx);
        } catch (const io::IoError& e) {
            raise_io(e);
        }
    }

    std::uint32_t size() const { return core_->size(); }
    bool from_compiled_file() const { return core_->from_compiled_file(); }
    // (device, inode, size, mtime_ns) of the JSON-lines file this index reads.
    nb::tuple jsonl_identity() const {
        const search::FileIdentity& f = core_->jsonl_identity();
        return nb::make_tuple(f.dev, f.ino, f.size, f.mtime_ns);
    }
    nb::object cvx_identity() const {
        if (!core_->from_compiled_file()) return nb::none();
        const search::FileIdentity& f = core_->cvx_identity();
        return nb::make_tuple(f.dev, f.ino, f.size, f.mtime_ns);
    }
    std::size_t memory_bytes() const { return core_->memory_bytes(); }

    // Entry i's heading path (outermost first) and manual id.
    nb::list heading_path(std::uint32_t i) const {
        if (i >= core_->size()) throw nb::index_error("entry id out of range");
        nb::list out;
        for (const std::string& h : core_->heading_path(i)) py::append(out, py::str(h));
        return out;
    }
    // Entry i's tables: [{"line", "header", "rows"}].
    nb::list tables(std::uint32_t i) const {
        if (i >= core_->size()) throw nb::index_error("entry id out of range");
        const std::vector<manual::Table> ts = core_->tables(i);
        nb::list out;
        auto cells = [](const std::vector<std::string>& cs) {
            nb::list l;
            for (const std::string& c : cs) py::append(l, py::str(c));
            return l;
        };
        for (const manual::Table& t : ts) {
            nb::dict d;
            d["line"] = nb::int_(t.line);
            d["header"] = cells(t.header);
            nb::list rows;
            for (const auto& r : t.rows) py::append(rows, cells(r));
            d["rows"] = rows;
            py::append(out, d);
        }
        return out;
    }
    nb::str manual_id(std::uint32_t i) const {
        if (i >= core_->size()) throw nb::index_error("entry id out of range");
        return py::str(core_->manual_of(i));
    }

private:
    // The bytes of entry i's line, terminator removed; CorruptIndex when the
    // file no longer matches.
    std::string line_bytes(std::uint32_t i) const {
        if (i >= core_->size()) throw nb::index_error("entry id out of range");
        const auto extent = core_->line_extent(i);
        if (extent.second - extent.first <= kShortRead)  // a line in the page cache: cheaper than handing the GIL over
            return core_->read_line(extent);
        nb::gil_scoped_release unlocked;
        return core_->read_line(extent);
    }

    const nb::object& json_loads() const {
        if (!loads_.is_valid()) loads_ = nb::module_::import_("json").attr("loads");
        return loads_;
    }

    // The loader's own error for the file (it refuses what this pass refused);
    // a generic one when it accepts the file after all (changed meanwhile).
    [[noreturn]] static void raise_line_error(const std::string& path, nb::handle loader, std::size_t lineno, const char* why) {
        loader(py::path_object(path));
        PyErr_Format(PyExc_ValueError, "%s, line %zu: %s", path.c_str(), lineno, why);
        throw nb::python_error();
    }

    [[noreturn]] static void raise_entry_error(const std::string& path, std::size_t lineno, const char* what) {
        PyErr_Format(PyExc_ValueError, "%s, line %zu: %s", path.c_str(), lineno, what);
        throw nb::python_error();
    }

    // One entry's searched texts into the builder (the rules of the compiled
    // search: a dict with a str "scene_title" and sequences of str "aliases"
    // and "keywords" when present).
    static void add_entry(const std::string& path, search::EntrySink& b, nb::handle entry, std::size_t lineno,
                          std::string& scratch) {
        if (!PyDict_Check(entry.ptr())) raise_entry_error(path, lineno, "an index entry must be a JSON object");
        PyObject* title = py::get_opt(entry, py::key("scene_title"));
        if (!title) raise_entry_error(path, lineno, "the entry has no \"scene_title\"");
        if (!PyUnicode_Check(title)) raise_entry_error(path, lineno, "\"scene_title\" must be a string");
        const std::string title_text(py::utf8(title, scratch));
        b.begin_entry(title_text);
        if (PyObject* m = py::get_opt(entry, py::key("manual_id")); m && PyUnicode_Check(m))
            b.set_manual(std::string(py::utf8(m, scratch)));
        for (const char* member : {"aliases", "keywords"}) {
            PyObject* items = py::get_opt(entry, py::key(member));
            if (!items) continue;
            if (!PyList_Check(items) && !PyUnicode_Check(items) && !PyDict_Check(items))
                raise_entry_error(path, lineno, member[0] == 'a' ? "\"aliases\" must be a list of strings"
                                                            : "\"keywords\" must be a list of strings");
            nb::object seq = nb::steal(PySequence_Fast(items, "entry member must be a sequence"));
            if (!seq.is_valid()) throw nb::python_error();
            for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.ptr()); ++j) {
                PyObject* t = PySequence_Fast_GET_ITEM(seq.ptr(), j);
                if (!PyUnicode_Check(t))
                    raise_entry_error(path, lineno, member[0] == 'a' ? "\"aliases\" must be a list of strings"
                                                                : "\"keywords\" must be a list of strings");
                if (member[0] == 'a') {
                    b.add_alias(py::utf8(t, scratch));
                } else
                    b.add_keyword(py::utf8(t, scratch));
            }
        }
        add_scene_texts(b, entry, scratch);
    }

    // The scene's texts for BM25, as the hybrid ranker reads them: the
    // description, each step's text and sub-points, warnings, notices, tips.
    // Members of another type than the index writer's are passed over (they
    // matter to no other ranker, and the exact ranker must still serve).
    static void add_scene_texts(search::EntrySink& sink, nb::handle entry, std::string& scratch) {
        PyObject* scene = py::get_opt(entry, py::key("scene_data"));
        if (!scene || !PyDict_Check(scene)) return;
        auto each_str = [&](PyObject* list, search::Field field) {
            if (!list || !PyList_Check(list)) return;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                PyObject* x = PyList_GET_ITEM(list, i);
                if (PyUnicode_Check(x)) sink.add_text(field, py::utf8(x, scratch));
            }
        };
        PyObject* d = py::get_opt(scene, py::key("description"));
        if (d && PyUnicode_Check(d)) sink.add_text(search::kDescription, py::utf8(d, scratch));
        PyObject* steps = py::get_opt(scene, py::key("steps"));
        if (steps && PyList_Check(steps)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps); ++i) {
                PyObject* st = PyList_GET_ITEM(steps, i);
                if (!PyDict_Check(st)) continue;
                PyObject* t = py::get_opt(st, py::key("text"));
                if (t && PyUnicode_Check(t)) sink.add_text(search::kSteps, py::utf8(t, scratch));
                each_str(py::get_opt(st, py::key("sub_points")), search::kSteps);
            }
        }
        each_str(py::get_opt(scene, py::key("warning")), search::kWarning);
        each_str(py::get_opt(scene, py::key("notice")), search::kNotice);
        each_str(py::get_opt(scene, py::key("tip")), search::kTip);
    }

    std::unique_ptr<search::EngineIndex> core_;
    mutable std::unique_ptr<py::ObjectBuilder> builder_;  // used with the GIL held only
    mutable nb::object loads_;
};

}  // namespace

CORVANE_MODULE(_engine, m) {
    m.doc() = "The query engine's index: the compiled file mapped in place, or compiled from the JSON-lines file.";
    nb::exception<search::UnusableCompiledFile>(m, "UnusableCompiledFile", PyExc_ValueError);
    nb::exception<matcher::CorruptIndex>(m, "CorruptIndexError", PyExc_ValueError);
    m.attr("FORMAT_VERSION") = search::kFormatVersion;

    nb::class_<Index>(m, "Index", "A scene index ready for searching (immutable; safe to share between threads).")
        .def("search", &Index::search, "query"_a.none(), "top_k"_a.none() = 3, "manuals"_a.none() = nb::none(),
             "(entry id, score) pairs of the compiled search, best first; with manuals (a set of manual ids), "
             "the best of their entries only.")
        .def("search_hybrid", &Index::search_hybrid, "query"_a.none(), "top_k"_a.none(), "synonyms"_a,
             "fused"_a = true, "fusion"_a.none() = nb::none(), "manuals"_a.none() = nb::none(),
             "(entry id, score) pairs of the hybrid ranker, best first; empty when it refuses.  fused=False: "
             "the two-stage cascade, whose scores are BM25 scores.")
        .def("fused_features", &Index::fused_features, "query"_a.none(), "top_k"_a.none(), "synonyms"_a,
             "fusion"_a.none() = nb::none(),
             "The fused ranker's evidence for a question: every candidate it would score for top_k places with "
             "its named features, best first, and the question's refusal features (for training its weights).")
        .def("record", &Index::record, "entry"_a, "An entry's line parsed as load_scene_index parses it.")
        .def("line", &Index::line, "entry"_a, "The JSON text of an entry's line in scene_index.jsonl.")
        .def("answer",
             [](const Index& ix, nb::handle query, nb::handle top_k, nb::handle synonyms, nb::handle tmpl,
                nb::handle time_text, std::size_t max_prompt_bytes, nb::handle build_scene_context,
                nb::handle classify_query_intent, nb::handle render, bool fused, nb::handle manuals) {
                 const py::RecordParts parts{nb::borrow(build_scene_context), nb::borrow(classify_query_intent)};
                 return ix.answer(query, top_k, synonyms, fused, tmpl, time_text, max_prompt_bytes, parts, render,
                                  manuals);
             },
             "question"_a.none(), "top_k"_a.none(), "synonyms"_a.none(), "template"_a.none(), "time_text"_a.none(),
             "max_prompt_bytes"_a, "build_scene_context"_a, "classify_query_intent"_a, "render_context"_a,
             "fused"_a = true, "manuals"_a.none() = nb::none(),
             "(hits, knowledge, prompt, contexts) of one search, hits as (record, score, heading path, tables) (hybrid "
             "when synonyms are given; fused=False: "
             "the two-stage cascade).")
        .def("write", [](const Index& ix, nb::handle path) { ix.write(py::fs_path(path, "write", "path")); },
             "path"_a, "Writes the compiled file for this index atomically.")
        .def("heading_path", &Index::heading_path, "entry"_a,
             "An entry's heading path, outermost heading first (empty when its manual was not beside the index).")
        .def("manual_id", &Index::manual_id, "entry"_a, "An entry's manual id ('' when it has none).")
        .def("tables", &Index::tables, "entry"_a,
             "An entry's tables as [{'line', 'header', 'rows'}] (empty when its manual was not beside the index).")
        .def("__len__", &Index::size)
        .def_prop_ro("from_compiled_file", &Index::from_compiled_file)
        .def_prop_ro("jsonl_identity", &Index::jsonl_identity)
        .def_prop_ro("cvx_identity", &Index::cvx_identity)
        .def_prop_ro("memory_bytes", &Index::memory_bytes)
        .def("verified", &Index::verified, "wait"_a = false,
             "1 when verify() found the compiled file whole, 0 when not checked, -1 when it is damaged "
             "(by its hash, or cut short while mapped).")
        .def("verify", &Index::verify,
             "Checks the whole compiled file against its hash (reads every page); False when damaged, and "
             "searches raise CorruptIndexError from then on.  True for an index compiled in memory.");
    // The scene-context functions of corvane.morlek, so that answering does
    // not import it (its import reads the working folder's alias file).
    py::bind_scene_context(m);
    m.def("guarded_faults", &search::guarded_faults,
          "Reads of a mapped compiled file past its end (file cut short) turned into zero pages in this process.");

    nb::class_<search::Synonyms>(m, "Synonyms", "Query-side synonyms of the hybrid ranker (immutable).")
        .def("__init__", [](search::Synonyms* self, nb::handle mapping) {
            new (self) search::Synonyms();
            if (!mapping.is_none()) add_synonyms(*self, mapping);
            self->compile();
        }, "synonyms"_a.none(), "colloquial wording -> manual wording (str or list of str).")
        .def("expand", [](const search::Synonyms& s, nb::handle q) {
            py::require_str(q, "expand", "question");
            std::string scratch;
            return py::str(s.expand(py::utf8(q, scratch)));
        }, "question"_a.none(), "The normalized question with the wordings of its colloquial words appended.");
    m.def(
        "_reseal",
        [](nb::bytes data) {
            std::vector<std::uint64_t> words(data.size() / 8 + 1);
            std::memcpy(words.data(), data.c_str(), data.size());
            search::reseal({reinterpret_cast<std::byte*>(words.data()), data.size()});
            return nb::bytes(reinterpret_cast<const char*>(words.data()), data.size());
        },
        "data"_a, "A compiled file's bytes with their hashes recomputed (for tests of the checks behind them).");
    m.def(
        "answer_prompt",
        [](nb::handle question, nb::handle knowledge) {
            return py::str(prompt::answer_prompt(py::str_or_repr(question), py::str_or_repr(knowledge)));
        },
        "question"_a.none(), "knowledge"_a.none(),
        "The answer prompt, as vendry.build_prompt builds it (without loading vendry and its client).");
    m.def(
        "open_compiled",
        [](nb::handle cvx, nb::handle jsonl, std::size_t verify_limit) {
            return Index::open_compiled(py::fs_path(cvx, "open_compiled", "cvx"), py::fs_path(jsonl, "open_compiled", "jsonl"),
                                        verify_limit);
        },
        "cvx"_a, "jsonl"_a, "verify_limit"_a = search::kSyncVerifyBytes, nb::rv_policy::take_ownership,
        "Maps a compiled file; UnusableCompiledFile when it is missing, stale or its header is damaged.  "
        "Reads only the header and section table (blocks are checked as searches read them); files of up to "
        "verify_limit bytes (0: none) also have their whole hash checked.");
    m.def(
        "alias_file_ok",
        [](nb::handle path) {
            const std::string p = py::fs_path(path, "alias_file_ok", "path");
            nb::gil_scoped_release unlocked;
            try {
                return json::alias_text_well_formed(io::read_file(p));
            } catch (const std::exception&) {
                return false;
            }
        },
        "path"_a,
        "True when the alias file is sure to read as corvane.morlek reads it (a JSON object of arrays of "
        "strings); False when it is not, or not sure (read it with morlek.read_alias_file for the message).");
    m.def(
        "read_synonyms_file",
        [](nb::handle path) -> std::optional<search::Synonyms> {
            const std::string p = py::fs_path(path, "read_synonyms_file", "path");
            std::optional<search::Synonyms> out;
            nb::gil_scoped_release unlocked;
            try {
                std::optional<std::vector<json::TextList>> got = json::read_synonym_text(io::read_file(p));
                if (!got) return out;
                search::Synonyms syn;
                for (const json::TextList& m : *got)
                    for (const std::string& w : m.values) syn.add(m.key, w);
                syn.compile();
                out = std::move(syn);
            } catch (const std::exception&) {
                out.reset();
            }
            return out;
        },
        "path"_a,
        "The synonyms of a synonym file read without the host's JSON reader, or None when the file is not "
        "sure to read the same way (read it with corvane.synonyms.read_synonyms for its values or its error).");
    m.def(
        "compile_jsonl",
        [](nb::handle jsonl, nb::handle loader) {
            return Index::compile_jsonl(py::fs_path(jsonl, "compile_jsonl", "jsonl"), loader);
        },
        "jsonl"_a, "loader"_a, nb::rv_policy::take_ownership,
        "Compiles the index from the JSON-lines file; `loader` (load_scene_index) gives the error for a bad line.");
}
