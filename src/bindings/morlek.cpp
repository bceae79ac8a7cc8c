// corvane.morlek: text normalization, scene keywords, the manual alias map,
// query intent, scene contexts and the in-document scene search.
//
// Records here are the caller's own dicts: scene contexts carry the Scene's
// lists and scored pairs carry the index entries, so this file works on the
// Python objects and leaves the text work (normalizing, tokens, scoring,
// rendering) to the core.
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "bindings/common/scene_context.hpp"
#include "bindings/common/scene_dict.hpp"
#include "core/match/context.hpp"
#include "core/match/doc_search.hpp"
#include "core/match/intent.hpp"
#include "core/match/keywords.hpp"
#include "core/text/text.hpp"

#include <climits>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;
using py::require_dict;
using py::require_int;
using py::require_list;
using py::require_str;
using py::for_each;
using py::get_or;
using py::get_or_empty_list;
using py::get_or_empty_str;
using py::get_or_nothing;
using py::raise_type;
using py::text_field;
using py::tp_name_of;
using py::truthy;
using Views = py::Utf8Views;

namespace {

constexpr const char* kAliasPath = "data/manual_alias.json";
constexpr const char* kAliasFailure = "加载手工别名文件失败: ";



// ---- keywords --------------------------------------------------------------

// A Scene dict (or any mapping with get()) as the keyword walk sees it:
// missing keys read as "" and empty sequences, any iterable is walked, a
// description counts when it is truthy; texts must be str.
class DictSceneView {
public:
    DictSceneView(nb::handle scene, Views& views, const char* fn) : scene_(scene), views_(views), fn_(fn) {}
    template <class F> void title(F&& f) {
        f(text_field(views_, get_or_empty_str(scene_, "title"), fn_, "scene['title']"));
    }
    template <class F> void description(F&& f) {
        nb::object desc = get_or_empty_str(scene_, "description");
        if (truthy(desc)) f(text_field(views_, desc, fn_, "scene['description']"));
    }
    template <class G> void steps(G&& g) {
        for_each(get_or_nothing(scene_, "steps"), [&](nb::handle step) {
            StepView v{step, views_, fn_};
            g(v);
        });
    }
    template <class F> void notes(keywords::Note n, F&& f) {
        static const char* const keys[] = {"warning", "notice", "tip"};
        static const char* const whats[] = {"scene['warning'] item", "scene['notice'] item", "scene['tip'] item"};
        const auto i = static_cast<std::size_t>(n);
        for_each(get_or_nothing(scene_, keys[i]), [&](nb::handle item) { f(text_field(views_, item, fn_, whats[i])); });
    }

private:
    struct StepView {
        nb::handle step;
        Views& views;
        const char* fn;
        template <class F> void text(F&& f) {
            f(text_field(views, get_or_empty_str(step, "text"), fn, "a step's 'text'"));
        }
        template <class F> void sub_points(F&& f) {
            for_each(get_or_nothing(step, "sub_points"),
                     [&](nb::handle sp) { f(text_field(views, sp, fn, "a step's 'sub_points' item")); });
        }
    };
    nb::handle scene_;
    Views& views_;
    const char* fn_;
};

// The scorer as a keyword sink.
struct ScorerSink {
    doc_search::Scorer& scorer;
    void title(std::string_view t) { scorer.keyword_title(t); }
    void add(std::string_view t, std::size_t limit) { scorer.keyword_text(t, limit); }
};

nb::list build_keywords(nb::handle scene, const char* fn) {
    Views views;
    keywords::Builder b;
    DictSceneView view(scene, views, fn);
    keywords::walk(view, b);
    return py::str_list(b.finish());
}

// unique_keep_order over the items of a list: empties dropped, first
// occurrences kept, the item objects themselves returned.
nb::list unique_keep_order(nb::handle items, const char* fn, const char* param) {
    nb::list out;
    PyObject* seen = PySet_New(nullptr);
    if (!seen) throw nb::python_error();
    nb::object seen_owner = nb::steal(seen);
    for_each(items, [&](nb::handle item) {
        if (!PyUnicode_Check(item.ptr()))
            raise_type(std::string(fn) + "() argument '" + param + "' must hold only str, not " + tp_name_of(item));
        if (PyUnicode_GET_LENGTH(item.ptr()) == 0) return;
        const int r = PySet_Contains(seen, item.ptr());
        if (r < 0) throw nb::python_error();
        if (r) return;
        if (PySet_Add(seen, item.ptr()) != 0) throw nb::python_error();
        py::append(out, item);
    });
    return out;
}

// ---- alias map -------------------------------------------------------------

// MANUAL_ALIAS_MAP of the module, read at call time (callers may replace it).
// The functions that read it hold a strong reference to the module's
// namespace, so a saved function keeps working after the module is dropped.
nb::object alias_map(nb::handle ns) {
    PyObject* v = PyDict_GetItemWithError(ns.ptr(), py::key("MANUAL_ALIAS_MAP").ptr());  // borrowed
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_AttributeError, "module 'corvane.morlek' has no attribute 'MANUAL_ALIAS_MAP'");
        throw nb::python_error();
    }
    return nb::borrow(v);
}

// MANUAL_ALIAS_MAP.get(title, []).
nb::object aliases_of(nb::handle map, nb::handle title) {
    nb::list empty;
    if (PyDict_Check(map.ptr())) {
        PyObject* v = PyDict_GetItemWithError(map.ptr(), title.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v ? nb::borrow(v) : nb::object(empty);
    }
    return map.attr("get")(title, empty);
}

// What is wrong with a parsed alias file, or "" when it is a JSON object whose
// values are arrays of strings.
std::string alias_shape_error(nb::handle value, const std::string& path) {
    const std::string where = path + ": ";
    if (!PyDict_Check(value.ptr()))
        return where + "expected a JSON object mapping scene titles to arrays of aliases, found " + tp_name_of(value);
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(value.ptr(), &pos, &k, &v)) {
        bool ok = PyList_Check(v);
        for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(v); ++i) ok = PyUnicode_Check(PyList_GET_ITEM(v, i));
        if (!ok) {
            nb::str r = nb::steal<nb::str>(PyObject_Repr(k));
            return where + "the aliases of " + r.c_str() + " must be an array of strings";
        }
    }
    return {};
}

// Reads an alias file with the host's own open() and json.loads(), so that a
// failure is reported with exactly the host's error text: (map, None), or
// ({}, the failure's text).
nb::tuple read_alias_file(nb::handle path) {
    nb::object builtins = nb::module_::import_("builtins");
    std::string message;
    try {
        nb::object f = builtins.attr("open")(path, "r", "encoding"_a = "utf-8");
        nb::object content;
        try {
            content = f.attr("read")();
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        nb::object value = nb::module_::import_("json").attr("loads")(content);
        std::string scratch;
        nb::object shown = nb::str(nb::module_::import_("os").attr("fsdecode")(path));
        message = alias_shape_error(value, std::string(py::utf8(shown, scratch)));
        if (message.empty()) return nb::make_tuple(value, nb::none());
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        message = nb::str(e.value()).c_str();
    }
    return nb::make_tuple(nb::dict(), py::str(message));
}

// The alias map at import: a failure is printed as the module always has.
nb::object load_alias_map() {
    nb::tuple got = read_alias_file(py::str(kAliasPath));
    if (!got[1].is_none()) {
        nb::object print = nb::module_::import_("builtins").attr("print");
        nb::object line = nb::steal(PyUnicode_Concat(py::str(kAliasFailure).ptr(), got[1].ptr()));
        if (!line.is_valid()) throw nb::python_error();
        print(line);
    }
    return got[0];
}

// ---- in-document search ------------------------------------------------------------

nb::list flatten(nb::handle tree) {
    nb::list out;
    nb::handle scene_label = py::key("scene");
    for_each(get_or_nothing(tree, "children"), [&](nb::handle child) {
        nb::object type = get_or(child, "type", Py_None);
        const int eq = PyObject_RichCompareBool(type.ptr(), scene_label.ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) py::append(out, child);
    });
    return out;
}

nb::str node_id(std::size_t position) { return py::str("scene_" + std::to_string(position)); }

nb::list build_index(nb::handle ns, nb::handle tree, const char* fn) {
    nb::list scenes = flatten(tree);
    nb::object map = alias_map(ns);
    nb::list index;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(scenes.ptr()); ++i) {
        nb::handle scene = PyList_GET_ITEM(scenes.ptr(), i);
        if (!PyDict_Check(scene.ptr())) raise_type(std::string(fn) + "() a scene must be a dict, not " + tp_name_of(scene));
        nb::object title = get_or_empty_str(scene, "title");
        nb::list names;
        py::append(names, title);
        for_each(aliases_of(map, title), [&](nb::handle a) { py::append(names, a); });
        nb::dict entry;
        py::set_item(entry, py::key("node_id"), node_id(static_cast<std::size_t>(i) + 1));
        py::set_item(entry, py::key("title"), title);
        py::set_item(entry, py::key("aliases"), unique_keep_order(names, fn, "aliases"));
        py::set_item(entry, py::key("keywords"), unique_keep_order(build_keywords(scene, fn), fn, "keywords"));
        py::set_item(entry, py::key("scene"), scene);
        index.append(entry);
    }
    return index;
}

bool scene_has(nb::handle scene, const char* key) { return truthy(get_or_nothing(scene, key)); }

// Score of one index entry; all four keys are required.
int score_entry(doc_search::Scorer& scorer, nb::handle item, const char* fn) {
    Views views;
    nb::object title = py::get_item(item, py::key("title"));
    nb::object aliases = py::get_item(item, py::key("aliases"));
    nb::object kws = py::get_item(item, py::key("keywords"));
    nb::object scene = py::get_item(item, py::key("scene"));
    scorer.begin();
    scorer.title(text_field(views, title, fn, "item['title']"));
    for_each(aliases, [&](nb::handle a) {
        std::string_view v = text_field(views, a, fn, "item['aliases'] item");
        if (!scorer.alias_decided()) scorer.alias(v);
    });
    for_each(kws, [&](nb::handle k) {
        std::string_view v = text_field(views, k, fn, "item['keywords'] item");
        if (!scorer.keywords_decided()) scorer.keyword(v);
    });
    const bool steps = scorer.how_to_cue() && scene_has(scene, "steps");
    const bool warn = scorer.warning_cue() && (scene_has(scene, "warning") || scene_has(scene, "notice"));
    return scorer.finish(steps, warn);
}

using py::top_k_value;

nb::list ranked_pairs(nb::handle entries, const std::vector<int>& scores, long long top_k) {
    nb::list out;
    for (std::size_t i : doc_search::rank(scores, top_k)) {
        nb::handle entry = PyList_GET_ITEM(entries.ptr(), static_cast<Py_ssize_t>(i));
        out.append(nb::make_tuple(entry, scores[i]));
    }
    return out;
}

nb::list match(nb::handle query, nb::handle scene_index, long long top_k, const char* fn) {
    std::string scratch;
    doc_search::Scorer scorer(py::utf8(query, scratch));
    // A snapshot, so that the indices of the ranking stay valid.
    PyObject* snapshot = PyList_GetSlice(scene_index.ptr(), 0, PY_SSIZE_T_MAX);
    if (!snapshot) throw nb::python_error();
    nb::list entries = nb::steal<nb::list>(snapshot);
    std::vector<int> scores;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        nb::handle item = PyList_GET_ITEM(entries.ptr(), i);
        if (!PyDict_Check(item.ptr()))
            raise_type(std::string(fn) + "() argument 'scene_index' must hold only dict, not " + tp_name_of(item));
        scores.push_back(score_entry(scorer, item, fn));
    }
    return ranked_pairs(entries, scores, top_k);
}

// search_knowledge scores the scenes directly, without building the Python
// index entries: only the returned entries need them.  The observable result
// and errors are those of build_scene_index + match_scenes.
nb::dict search(nb::handle ns, nb::handle query, nb::handle tree, long long top_k, const char* fn) {
    nb::list scenes = flatten(tree);
    nb::object map = alias_map(ns);
    std::string scratch;
    std::string_view q = py::utf8(query, scratch);
    const nb::str intent = py::str(intent::classify(q));
    doc_search::Scorer scorer(q);
    std::vector<int> scores;
    std::vector<nb::object> titles;
    Views views;
    ScorerSink sink{scorer};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(scenes.ptr()); ++i) {
        nb::handle scene = PyList_GET_ITEM(scenes.ptr(), i);
        if (!PyDict_Check(scene.ptr())) raise_type(std::string(fn) + "() a scene must be a dict, not " + tp_name_of(scene));
        views.clear();
        nb::object title = get_or_empty_str(scene, "title");
        scorer.begin();
        std::string_view t = text_field(views, title, fn, "scene['title']");
        scorer.title(t);
        if (!t.empty()) scorer.alias(t);
        for_each(aliases_of(map, title), [&](nb::handle a) {
            std::string_view v = text_field(views, a, fn, "an alias");
            if (!scorer.alias_decided()) scorer.alias(v);
        });
        DictSceneView view(scene, views, fn);
        keywords::walk(view, sink);
        const bool steps = scorer.how_to_cue() && scene_has(scene, "steps");
        const bool warn = scorer.warning_cue() && (scene_has(scene, "warning") || scene_has(scene, "notice"));
        scores.push_back(scorer.finish(steps, warn));
        titles.push_back(std::move(title));
    }
    nb::list results;
    for (std::size_t i : doc_search::rank(scores, top_k)) {
        nb::handle scene = PyList_GET_ITEM(scenes.ptr(), static_cast<Py_ssize_t>(i));
        nb::dict ctx = py::build_scene_context(scene, intent);
        nb::dict item;
        py::set_item(item, py::key("node_id"), node_id(i + 1));
        py::set_item(item, py::key("title"), titles[i]);
        py::set_item(item, py::key("score"), nb::int_(scores[i]));
        py::set_item(item, py::key("intent"), intent);
        py::set_item(item, py::key("context"), ctx);
        py::set_item(item, py::key("llm_context"), py::render_context_for_llm(ctx));
        results.append(item);
    }
    nb::dict record;
    py::set_item(record, py::key("query"), query);
    py::set_item(record, py::key("intent"), intent);
    py::set_item(record, py::key("results"), results);
    return record;
}

}  // namespace

CORVANE_MODULE(morlek, m) {
    m.doc() = "Scene matching: normalization, keywords, the manual alias map, intent, scene contexts, "
              "in-document search.";
    nb::object ns = m.attr("__dict__");  // held by the functions that read MANUAL_ALIAS_MAP

    m.def(
        "normalize_text",
        [](nb::handle text) {
            require_str(text, "normalize_text", "text");
            std::string scratch;
            return py::str(text::normalize_text(py::utf8(text, scratch)));
        },
        nb::arg("text").none(), "Lower-case, fullwidth parentheses to ASCII, all white space removed.");
    m.def(
        "contains_any",
        [](nb::handle text, nb::handle candidates) {
            require_str(text, "contains_any", "text");
            require_list(candidates, "contains_any", "candidates");
            bool found = false;
            for (Py_ssize_t i = 0; !found && i < PyList_GET_SIZE(candidates.ptr()); ++i) {
                nb::object c = nb::borrow(PyList_GET_ITEM(candidates.ptr(), i));
                const int r = PySequence_Contains(text.ptr(), c.ptr());
                if (r < 0) throw nb::python_error();
                found = r != 0;
            }
            return found;
        },
        nb::arg("text").none(), nb::arg("candidates").none(), "True when some candidate occurs in the text.");
    m.def(
        "unique_keep_order",
        [](nb::handle items) {
            require_list(items, "unique_keep_order", "items");
            return unique_keep_order(items, "unique_keep_order", "items");
        },
        nb::arg("items").none(), "The items without empties and repeats, first occurrences in order.");
    m.def(
        "build_keywords_from_scene",
        [](nb::handle scene) {
            require_dict(scene, "build_keywords_from_scene", "scene");
            return build_keywords(scene, "build_keywords_from_scene");
        },
        nb::arg("scene").none(), "The scene's keyword list: its title, then the first tokens of each of its texts.");

    m.attr("manual_alias_dir") = kAliasPath;
    m.attr("MANUAL_ALIAS_MAP") = load_alias_map();
    m.attr("ALIAS_FAILURE_PREFIX") = kAliasFailure;
    m.def("read_alias_file", &read_alias_file, "path"_a,
          "(alias map, None) from an alias file, or ({}, the failure's text) -- the reading the module does at "
          "import, for any path and without printing.");

    py::bind_scene_context(m);

    m.def(
        "flatten_scenes",
        [](nb::handle tree) {
            require_dict(tree, "flatten_scenes", "tree");
            return flatten(tree);
        },
        nb::arg("tree").none(), "The direct children of the tree whose type is 'scene'.");
    m.def(
        "build_scene_index",
        [ns](nb::handle tree) {
            require_dict(tree, "build_scene_index", "tree");
            return build_index(ns, tree, "build_scene_index");
        },
        nb::arg("tree").none(), "One in-memory index entry per scene of the tree.");
    m.def(
        "score_scene",
        [](nb::handle query, nb::handle item) {
            require_str(query, "score_scene", "query");
            require_dict(item, "score_scene", "item");
            std::string scratch;
            doc_search::Scorer scorer(py::utf8(query, scratch));
            return score_entry(scorer, item, "score_scene");
        },
        nb::arg("query").none(), nb::arg("item").none(), "Score of an index entry against the question.");
    m.def(
        "match_scenes",
        [](nb::handle query, nb::handle scene_index, nb::handle top_k) {
            require_str(query, "match_scenes", "query");
            require_list(scene_index, "match_scenes", "scene_index");
            require_int(top_k, "match_scenes", "top_k");
            return match(query, scene_index, top_k_value(top_k), "match_scenes");
        },
        nb::arg("query").none(), nb::arg("scene_index").none(), nb::arg("top_k").none() = 3, "(entry, score) pairs with a positive score, best first.");
    m.def(
        "search_knowledge",
        [ns](nb::handle query, nb::handle tree, nb::handle top_k) {
            require_str(query, "search_knowledge", "query");
            require_dict(tree, "search_knowledge", "tree");
            require_int(top_k, "search_knowledge", "top_k");
            return search(ns, query, tree, top_k_value(top_k), "search_knowledge");
        },
        nb::arg("query").none(), nb::arg("tree").none(), nb::arg("top_k").none() = 3, "The best scenes of the tree for the question, with their contexts.");
}
