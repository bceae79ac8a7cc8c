#include "core/manual/tables.hpp"

#include <algorithm>

#include "core/manual/check.hpp"
#include "core/manual/manual.hpp"
#include "core/text/text.hpp"

namespace corvane::manual {

namespace {

bool is_table_line(std::string_view line) {
    const std::string_view t = text::strip(line);
    return t.size() >= 2 && t.front() == '|' && std::count(t.begin(), t.end(), '|') >= 2;
}

bool is_separator_row(const std::vector<std::string>& cells) {
    if (cells.empty()) return false;
    for (const std::string& c : cells) {
        std::string_view v = c;
        if (v.starts_with(':')) v.remove_prefix(1);
        if (v.ends_with(':')) v.remove_suffix(1);
        if (v.empty() || v.find_first_not_of('-') != std::string_view::npos) return false;
    }
    return true;
}

// Under a steps heading the parser drops the lines before the first numbered
// step of each heading's lines: so does this.
std::size_t first_read_line(const std::vector<NumberedLine>& lines, bool steps) {
    if (!steps) return 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text::StepLine step;
        if (text::match_step(text::strip_images(lines[i].text), step)) return i;
    }
    return lines.size();
}

void tables_of_lines(const std::vector<NumberedLine>& lines, std::vector<Table>& out, bool steps = false) {
    for (std::size_t i = first_read_line(lines, steps); i < lines.size();) {
        if (!is_table_line(lines[i].text)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < lines.size() && is_table_line(lines[j].text)) ++j;
        if (j - i >= 2) {
            Table t;
            t.line = lines[i].line;
            std::size_t body = i;
            std::vector<std::string> first = split_table_row(lines[i].text);
            if (is_separator_row(split_table_row(lines[i + 1].text))) {
                t.header = std::move(first);
                body = i + 2;
            }
            for (std::size_t k = body; k < j; ++k) {
                std::vector<std::string> row = split_table_row(lines[k].text);
                if (!is_separator_row(row)) t.rows.push_back(std::move(row));
            }
            out.push_back(std::move(t));
        }
        i = j;
    }
}

}  // namespace

std::vector<std::string> split_table_row(std::string_view line) {
    std::string_view t = text::strip(line);
    if (t.starts_with('|')) t.remove_prefix(1);
    if (t.ends_with('|') && !t.ends_with("\\|")) t.remove_suffix(1);
    std::vector<std::string> cells;
    std::string cell;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\\' && i + 1 < t.size() && t[i + 1] == '|') {
            cell += '|';
            ++i;
        } else if (t[i] == '|') {
            cells.push_back(text::clean_text(cell));
            cell.clear();
        } else {
            cell += t[i];
        }
    }
    cells.push_back(text::clean_text(cell));
    return cells;
}

std::vector<SceneTables> extract_tables(std::string_view text) {
    const NumberedNode root = parse_numbered_tree(text);
    std::vector<SceneTables> out;
    std::size_t index = 0;
    for_each_scene_node(root, [&](const NumberedNode& scene) {
        std::vector<Table> tables;
        tables_of_lines(scene.lines, tables);
        for (const NumberedNode& child : scene.children) {
            const bool steps = field_of_title(child.title) == Field::steps;
            tables_of_lines(child.lines, tables, steps);
            if (is_field_title(child.title))
                for (const NumberedNode& grand : child.children) tables_of_lines(grand.lines, tables, steps);
        }
        if (!tables.empty()) out.push_back({index, scene.title, std::move(tables)});
        ++index;
    });
    return out;
}

std::vector<std::string> table_text_rows(const Table& table) {
    std::vector<std::string> out;
    for (const std::vector<std::string>& row : table.rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (row[c].empty()) continue;
            if (table.header.empty()) {
                if (!line.empty()) line += " | ";
                line += row[c];
            } else {
                if (!line.empty()) line += "；";
                if (c < table.header.size() && !table.header[c].empty()) line += table.header[c] + "：";
                line += row[c];
            }
        }
        if (!line.empty()) out.push_back(std::move(line));
    }
    return out;
}

}  // namespace corvane::manual
