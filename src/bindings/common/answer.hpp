// The matched record of a question (the "knowledge" the answer prompt shows):
// one builder for delmoor.answer_query and the engine's answer, so the record
// is built once, in one place.
#pragma once

#include "bindings/common/py_util.hpp"

namespace corvane::py {

// The scene context builder and the intent classifier (corvane.morlek's).
struct RecordParts {
    nb::object build_scene_context;
    nb::object classify_query_intent;
};

// `record, score = pair`, with the host's unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair);

// {"query", "intent", "results": [{"node_id", "title", "score", "intent",
// "context"}, ...]} for `query` and its (index entry, score) pairs, best first.
nb::dict matched_record(const RecordParts& parts, nb::handle query, nb::handle pairs);

}  // namespace corvane::py
