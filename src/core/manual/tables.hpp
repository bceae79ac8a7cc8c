// Markdown tables of a manual's scenes, kept beside the scenes (which hold
// them as description text, "| a | b |", exactly as the parser reads them).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::manual {

struct Table {
    int line = 0;                                // line of the table's first row (1-based)
    std::vector<std::string> header;             // empty when the table has no "|---|" line
    std::vector<std::vector<std::string>> rows;  // the body rows, cells cleaned
};

struct SceneTables {
    std::size_t scene = 0;  // zero-based position in the tree document's "children"
    std::string title;
    std::vector<Table> tables;
};

// The tables of every scene that has one, in scene order.  A table is a run
// of at least two consecutive lines of one heading that start with "|" and
// hold another "|"; a second line of dashes ("|---|:--:|") makes the first the
// header.  Lines the parser drops are not looked at.
std::vector<SceneTables> extract_tables(std::string_view text);

// The cells of one table line: outer pipes removed, split at "|" (not "\|"),
// "\|" unescaped, each cell clean_text-ed.
std::vector<std::string> split_table_row(std::string_view line);

// One text line per body row for the answer context: "header：cell" pairs
// joined with "；" (empty cells left out), or the cells joined with " | "
// when the table has no header.
std::vector<std::string> table_text_rows(const Table& table);

}  // namespace corvane::manual
