// corvane.delmoor: answers one question end to end, up to the answer prompt.
//
// The module loads data/scene_index.jsonl once, when it is imported, and keeps
// it for the life of the process.
#include "bindings/common/answer.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

// Neighbours and the index bound at import: strong references, owned by the
// answer_query function object (and so by the module), so a saved
// answer_query keeps working after the module is dropped from sys.modules.
struct Bound {
    nb::object build_prompt;
    nb::object build_scene_context;
    nb::object classify_query_intent;
    nb::object search_knowledge_global;
    nb::object scene_index;
    nb::object compiled_search;  // search method of the compiled index, or None
};

nb::object answer_query(const Bound& b, nb::handle query) {
    py::require_str(query, "answer_query", "query");
    nb::object search_result = b.compiled_search.is_none()
                                   ? b.search_knowledge_global(query, b.scene_index, "top_k"_a = 3)
                                   : b.compiled_search(query, 3);
    nb::dict matched = py::matched_record({b.build_scene_context, b.classify_query_intent}, query, search_result);
    return b.build_prompt(query, matched);
}

}  // namespace

CORVANE_MODULE(delmoor, m) {
    m.doc() = "Query answering: the answer prompt for one question from the scene index loaded at import.";
    m.attr("json") = nb::module_::import_("json");
    m.attr("build_prompt") = nb::module_::import_("corvane.vendry").attr("build_prompt");
    nb::module_ morlek = nb::module_::import_("corvane.morlek");
    m.attr("build_scene_context") = morlek.attr("build_scene_context");
    m.attr("classify_query_intent") = morlek.attr("classify_query_intent");
    nb::module_ farrowin = nb::module_::import_("corvane.farrowin");
    m.attr("load_scene_index") = farrowin.attr("load_scene_index");
    m.attr("search_knowledge_global") = farrowin.attr("search_knowledge_global");
    m.attr("scene_index") = m.attr("load_scene_index")("data/scene_index.jsonl");
    // Compiled once for all queries.  An index whose entries the search cannot
    // read (a missing "scene_title", say) stays uncompiled, so every query
    // meets the same error the plain search raises.
    m.attr("_compiled_search") = nb::none();
    try {
        m.attr("_compiled_search") = farrowin.attr("compile_scene_index")(m.attr("scene_index")).attr("search");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError) && !e.matches(PyExc_TypeError)) throw;
    }
    Bound bound{m.attr("build_prompt"), m.attr("build_scene_context"), m.attr("classify_query_intent"),
                m.attr("search_knowledge_global"), m.attr("scene_index"), m.attr("_compiled_search")};
    m.def(
        "answer_query", [bound = std::move(bound)](nb::handle query) { return answer_query(bound, query); },
        "query"_a.none(),
          "The answer prompt for a question, built from the three best scenes of the scene index.");
}
