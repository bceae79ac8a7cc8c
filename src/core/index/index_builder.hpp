// The indexing run: every manual of a folder -> one tree file per manual and
// the scene index, one JSON line per scene.  Plain C++; the host supplies the
// alias lookup and the progress sink.
//
// Files are replaced atomically: each is written to a temporary file in its
// own folder and renamed over the target only when complete, so a failed run
// leaves the previous scene index exactly as it was.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/writer.hpp"
#include "core/manual/records.hpp"

namespace corvane::index {

// An operating-system error on a file: errno and the path the caller named.
struct IoError : std::exception {
    IoError(int e, std::string p) : err(e), path(std::move(p)) {}
    const char* what() const noexcept override { return "I/O error"; }
    int err;
    std::string path;
};

// A manual that is not valid UTF-8; `data` holds the file's bytes.
struct DecodeError : std::exception {
    DecodeError(std::string p, std::string d) : path(std::move(p)), data(std::move(d)) {}
    const char* what() const noexcept override { return "invalid UTF-8"; }
    std::string path;
    std::string data;
};

// A step numeral with more digits than the host converts to an integer.
struct DigitLimitError : std::exception {
    DigitLimitError(std::string p, std::size_t n, long l) : path(std::move(p)), digits(n), limit(l) {}
    const char* what() const noexcept override { return "integer digit limit exceeded"; }
    std::string path;
    std::size_t digits;
    long limit;
};

// A file written to a temporary sibling and renamed over `path` by commit().
// Destroying it uncommitted removes the temporary file.
class AtomicFile {
public:
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(std::string_view data);
    // Asks the system to start writing what was written so far to disk, so a
    // durable commit has less to wait for.  Advisory; never fails.
    void start_writeback();
    // Flushes to disk (fsync) before the rename when `durable`.
    void commit(bool durable = false);
    // Closes and removes the temporary file; the target is left alone.
    void discard();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    unsigned long long written_ = 0, flushed_ = 0;
};

// Writes `data` as the whole new content of `path`, atomically.
void replace_file(const std::string& path, std::string_view data);
// Appends `data` to `path` (created when missing) with one open/write/close.
void append_file(const std::string& path, std::string_view data);
// Creates a folder and its missing parents; an existing folder is fine.
void make_dirs(const std::string& path);

// The manuals of a folder: regular files (or links to them) named "*.md" that
// do not start with ".", sorted by name (bytes).  A missing folder has none.
std::vector<std::string> list_manuals(const std::string& folder);

// The whole content of a file.
std::string read_file(const std::string& path);

// A manual file's text as the host reads a text file: strict UTF-8, a leading
// byte-order mark dropped, "\r\n" and "\r" turned into "\n".
std::string read_manual_text(const std::string& path);

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
