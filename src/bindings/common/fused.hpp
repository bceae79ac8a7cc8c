// The fused ranker's weights and evidence between Python and the core
// (core/search/hybrid.hpp): a `fusion` dict read into FusedWeights, the
// weights and a question's evidence as Python objects.
#pragma once

#include <cmath>
#include <string>

#include "bindings/common/py_util.hpp"
#include "core/search/hybrid.hpp"

namespace corvane::py {

// Sets the weights a dict names (str keys, numbers of 0 or more); ValueError
// naming an unknown weight, TypeError for a key or value of another type.
// The dict's items are copied first (strong references), so a value whose
// conversion runs Python code cannot pull them from under the loop.
inline void read_fusion(nb::handle fusion, const char* fn, search::FusedWeights& weights) {
    require_dict(fusion, fn, "fusion");
    nb::object items = nb::steal(PyDict_Items(fusion.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object kv = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
        nb::object name = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 1));
        if (!PyUnicode_Check(name.ptr())) raise_arg_type(fn, "fusion", "a dict with str keys", name);
        std::string scratch;
        const std::string key(utf8(name, scratch));
        double* slot = search::fused_weight_slot(weights, key);
        if (!slot) {
            PyErr_Format(PyExc_ValueError, "%s(): unknown weight '%s' in 'fusion' (%s)", fn, key.c_str(),
                         search::fused_weight_names().c_str());
            throw nb::python_error();
        }
        if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr())) raise_arg_type(fn, "fusion", "a dict of numbers", value);
        const double v = PyFloat_AsDouble(value.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
        if (!std::isfinite(v) || v < 0) {
            PyErr_Format(PyExc_ValueError, "%s(): fusion weight '%s' must be a number of 0 or more", fn, key.c_str());
            throw nb::python_error();
        }
        *slot = v;
    }
}

// Every weight by name, in fused_weight_slot()'s order.
inline nb::dict fusion_dict(const search::FusedWeights& w) {
    nb::dict d;
    for (const auto& f : search::kFusedFeatures) d[nb::str(f.name.data(), f.name.size())] = w.*f.weight;
    for (const auto& f : search::kRefusalFeatures) d[nb::str(("refuse_" + std::string(f.name)).c_str())] = w.*f.weight;
    d["threshold"] = w.threshold;
    d["answer_share"] = w.answer_share;
    d["whole_match"] = w.whole_match;
    return d;
}

// {"candidates": [{"entry", "stage", "bm25_rank", "score", "features": {name: value}}], best first;
//  "refusal": {name: value}, "unit", "title_share", "terms", "held_terms", "whole", "refused"}.
inline nb::dict evidence_dict(const search::FusedEvidence& ev) {
    nb::list cands;
    for (const search::FusedCandidate& c : ev.candidates) {
        nb::dict f;
        for (std::size_t i = 0; i < search::kFusedFeatureCount; ++i)
            f[nb::str(search::kFusedFeatures[i].name.data(), search::kFusedFeatures[i].name.size())] = c.features[i];
        nb::dict one;
        one["entry"] = c.entry;
        one["stage"] = c.stage;
        one["bm25_rank"] = c.bm25_rank;
        one["score"] = c.score;
        one["features"] = f;
        cands.append(one);
    }
    nb::dict r;
    for (std::size_t i = 0; i < search::kRefusalFeatureCount; ++i)
        r[nb::str(search::kRefusalFeatures[i].name.data(), search::kRefusalFeatures[i].name.size())] = ev.refusal[i];
    nb::dict out;
    out["candidates"] = cands;
    out["refusal"] = r;
    out["unit"] = ev.unit;
    out["title_share"] = ev.title_share;
    out["terms"] = ev.terms;
    out["held_terms"] = ev.held_terms;
    out["whole"] = ev.whole;
    out["refused"] = ev.refused;
    return out;
}

}  // namespace corvane::py
