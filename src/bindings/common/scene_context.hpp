// Scene contexts over scene records (dicts): the parts of a scene a question's
// intent selects, and their text for the model.  corvane.morlek and the query
// engine bind the same functions.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::py {
namespace nb = nanobind;

nb::dict build_scene_context(nb::handle scene, nb::handle intent);
nb::str render_context_for_llm(nb::handle context);
// classify_query_intent, build_scene_context and render_context_for_llm,
// with their argument checks, as module functions.
void bind_scene_context(nb::module_& m);

}  // namespace corvane::py
