// The indexing run: every manual of a folder -> one tree file per manual and
// the scene index, one JSON line per scene.  Plain C++; the host supplies the
// alias lookup and the progress sink.
//
// Files are replaced atomically (core/io/atomic_file.hpp), so a failed run
// leaves the previous scene index exactly as it was.
//
// Manuals are read, parsed and rendered on a pool of worker threads, a bounded
// window of manuals ahead of the one being committed; the calling thread
// commits them one by one in sorted order (tree file, alias lookups, index
// lines, then on_manual), so every file, every callback and the error that
// ends a failed run are those of a one-thread run.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/io/atomic_file.hpp"
#include "core/io/errors.hpp"
#include "core/io/files.hpp"
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

// A scene whose index line would be longer than the index loader accepts.
struct EntryTooLongError : std::exception {
    EntryTooLongError(std::string p, std::string id, std::size_t b, std::size_t l)
        : path(std::move(p)), scene_id(std::move(id)), bytes(b), limit(l) {}
    const char* what() const noexcept override { return "scene index line too long"; }
    std::string path;      // the manual
    std::string scene_id;  // the scene
    std::size_t bytes;     // the line's length, "\n" excluded
    std::size_t limit;
};

// A manual whose file name is not UTF-8 (its id would not be text): the run
// stops before it changes any file.
struct ManualNameError : std::exception {
    explicit ManualNameError(std::string p) : path(std::move(p)) {}
    const char* what() const noexcept override { return "manual file name is not UTF-8"; }
    std::string path;  // the manual, as listed
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
    // Looked up on the calling thread only, in the order of a one-thread run.
    AliasSource* aliases = nullptr;
    // Called after each manual, with its id and number of scenes, on the
    // calling thread, in sorted order, after the manual's tree file is written.
    std::function<void(std::string_view manual_id, std::size_t scenes)> on_manual;
    // Threads that parse manuals: 0 for one per core the process may run on;
    // 1 does everything on the calling thread.
    unsigned threads = 0;
    // Longest index line accepted ("\n" excluded); never above the loader's limit.
    std::size_t max_line_bytes = io::kMaxIndexLineBytes;
};

// The cores this process may run on (its CPU affinity), at least 1.
unsigned available_cores();

// The worker count from a CORVANE_INDEX_THREADS-style setting: a whole number
// from 1 to kMaxThreads, or 0 when `text` is null or empty (one per core).
// Anything else throws std::invalid_argument.
inline constexpr unsigned kMaxThreads = 256;
unsigned parse_thread_count(const char* text);

// Appends one scene index line (with its "\n").
void append_index_line(json::Buf& out, std::string_view manual_id, const TreeDocument& doc, std::size_t idx,
                       const std::string* alias_elements, const std::vector<std::string_view>& keywords);

// The whole run.  Throws ManualNameError, IoError, DecodeError, DigitLimitError,
// EntryTooLongError or whatever the callbacks throw: the first error of the
// first failing manual in sorted order.  On any error the old index is untouched.
void run(const RunConfig& config);

}  // namespace corvane::index
