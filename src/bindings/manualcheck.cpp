// corvane._manualcheck: diagnostics over a manual (what the parser will drop
// or change, by line) and the Markdown tables of its scenes.
#include <string>

#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "core/manual/check.hpp"
#include "core/manual/tables.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

// The bytes of a bytes-like argument (bytes or str), copied.
std::string input_bytes(nb::handle data, const char* param) {
    if (PyBytes_Check(data.ptr())) {
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(data.ptr(), &p, &n) != 0) throw nb::python_error();
        return std::string(p, static_cast<std::size_t>(n));
    }
    if (PyUnicode_Check(data.ptr())) {
        std::string scratch;
        return std::string(py::utf8(data, scratch));
    }
    throw nb::type_error((std::string(param) + " must be bytes or str").c_str());
}

nb::list str_list(const std::vector<std::string>& v) {
    nb::list out;
    for (const std::string& s : v) out.append(py::str(s));
    return out;
}

nb::dict check(nb::handle data, long long long_line) {
    if (long_line < 1) throw nb::value_error("long_line must be at least 1");
    const std::string bytes = input_bytes(data, "data");
    manual::CheckOptions options;
    options.long_line = static_cast<std::size_t>(long_line);
    manual::CheckResult r;
    {
        nb::gil_scoped_release unlocked;
        r = manual::check_manual(bytes, options);
    }
    nb::list findings;
    for (const manual::Finding& f : r.findings) {
        nb::dict d;
        d["line"] = f.line;
        d["severity"] = py::str(f.severity);
        d["code"] = py::str(f.code);
        d["message"] = py::str(f.message);
        findings.append(d);
    }
    nb::list scenes;
    for (const manual::SceneRef& s : r.scenes) {
        nb::dict d;
        d["title"] = py::str(s.title);
        d["line"] = s.line;
        scenes.append(d);
    }
    nb::dict out;
    out["findings"] = findings;
    out["scenes"] = scenes;
    return out;
}

nb::list tables(nb::handle text) {
    const std::string bytes = input_bytes(text, "text");
    std::vector<manual::SceneTables> found;
    {
        nb::gil_scoped_release unlocked;
        found = manual::extract_tables(bytes);
    }
    nb::list out;
    for (const manual::SceneTables& s : found) {
        nb::list ts;
        for (const manual::Table& t : s.tables) {
            nb::dict d;
            d["line"] = t.line;
            d["header"] = str_list(t.header);
            nb::list rows;
            for (const auto& row : t.rows) rows.append(str_list(row));
            d["rows"] = rows;
            d["text_rows"] = str_list(manual::table_text_rows(t));
            ts.append(d);
        }
        nb::dict d;
        d["scene"] = s.scene;
        d["title"] = py::str(s.title);
        d["tables"] = ts;
        out.append(d);
    }
    return out;
}

// The str items of a sequence, read from a tuple snapshot of it (the snapshot
// holds every item, so nothing the caller's objects do can free one under us).
std::vector<std::string> str_items(nb::handle seq, const char* what) {
    nb::object items = nb::steal(PySequence_Tuple(seq.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    std::vector<std::string> out;
    for (nb::handle item : nb::borrow<nb::tuple>(items)) {
        if (!PyUnicode_Check(item.ptr()))
            throw nb::type_error((std::string("table_text_rows(): ") + what + " must hold str").c_str());
        std::string scratch;
        out.emplace_back(py::utf8(item, scratch));
    }
    return out;
}

nb::list text_rows(nb::handle header, nb::handle rows) {
    manual::Table t;
    t.header = str_items(header, "header");
    nb::object row_items = nb::steal(PySequence_Tuple(rows.ptr()));
    if (!row_items.is_valid()) throw nb::python_error();
    for (nb::handle row : nb::borrow<nb::tuple>(row_items)) t.rows.push_back(str_items(row, "rows"));
    return str_list(manual::table_text_rows(t));
}

nb::list finding_codes() {
    nb::list out;
    for (std::size_t i = 0; i < manual::kFindingCodeCount; ++i)
        out.append(nb::make_tuple(py::str(manual::kFindingCodes[i].code), py::str(manual::kFindingCodes[i].what)));
    return out;
}

}  // namespace

CORVANE_MODULE(_manualcheck, m) {
    m.doc() = "Diagnostics over a manual's text, and the tables of its scenes.";
    m.def("check_manual", &check, "data"_a, nb::kw_only(), "long_line"_a = 400,
          "Checks one manual's bytes (or str); returns {'findings': [{line, severity, code, message}], "
          "'scenes': [{title, line}]}.");
    m.def("extract_tables", &tables, "text"_a,
          "The tables of the scenes of one manual: [{scene, title, tables: [{line, header, rows, text_rows}]}].");
    m.def(
        "nearest_field_title",
        [](nb::handle title) {
            std::string scratch;
            const std::string t(py::utf8(title, scratch));
            return py::str(manual::nearest_field_title(t));
        },
        "title"_a, "The field title a heading title probably meant (\"步骤\" -> \"操作步骤\"), or \"\".");
    m.def("finding_codes", &finding_codes, "Every finding code with a one-line description.");
    m.def("table_text_rows", &text_rows, "header"_a, "rows"_a,
          "A table's body rows as lines for the answer context (\"列：值；列：值\").");
}
