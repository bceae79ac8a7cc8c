// The indexing run: every manual of a folder -> one tree file per manual and
// the scene index, one JSON line per scene.  Plain C++; the host supplies the
// alias lookup and the progress sink.
//
// Files are replaced atomically (core/io/atomic_file.hpp), so a failed run
// leaves the previous scene index exactly as it was.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/io/atomic_file.hpp"
#include "core/io/errors.hpp"
#include "core/json/writer.hpp"
#include "core/manual/records.hpp"

namespace corvane::index {

// File errors and the file policies are the io layer's.
using io::DecodeError;
using io::IoError;

// A step numeral with more digits than the host converts to an integer.
struct DigitLimitError : std::exception {
    DigitLimitError(std::string p, std::size_t n, long l) : path(std::move(p)), digits(n), limit(l) {}
    const char* what() const noexcept override { return "integer digit limit exceeded"; }
    std::string path;
    std::size_t digits;
    long limit;
};

// The extra aliases of a scene title, pre-rendered as compact JSON elements
// (", "-separated, no brackets), or nullptr when the title has none.  May throw.
class AliasSource {
public:
    virtual ~AliasSource() = default;
    virtual const std::string* find(std::string_view title) = 0;
};

struct RunConfig {
    std::string manual_dir = "data/manuals";
    std::string tree_dir = "data/trees";
    std::string index_file = "data/scene_index.jsonl";
    long max_str_digits = 0;  // 0: no limit on step numerals
    AliasSource* aliases = nullptr;
    // Called after each manual, with its id and number of scenes.
    std::function<void(std::string_view manual_id, std::size_t scenes)> on_manual;
};

// Appends one scene index line (with its "\n").
void append_index_line(json::Buf& out, std::string_view manual_id, const TreeDocument& doc, std::size_t idx,
                       const std::string* alias_elements, const std::vector<std::string_view>& keywords);

// The whole run.  Throws IoError, DecodeError, DigitLimitError or whatever the
// callbacks throw; on any error the old index is untouched.
void run(const RunConfig& config);

}  // namespace corvane::index
