// Reading and listing files; plain writes.  Errors are io::IoError (errno and
// the path as named), io::DecodeError, io::LineTooLongError.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/io/errors.hpp"

namespace corvane::io {

// The longest scene index line (bytes, "\n" excluded): the indexing run refuses
// to write a longer one and the index loader refuses to read one.
inline constexpr std::size_t kMaxIndexLineBytes = std::size_t{256} << 20;

// Writes all of `data` to `fd` (retrying short writes and EINTR).
void write_all(int fd, std::string_view data, const std::string& path);

// Appends `data` to `path` (created when missing) with one open/write/close.
void append_file(const std::string& path, std::string_view data);
// Removes a file; a missing one is fine.
void remove_if_exists(const std::string& path);
// Creates a folder and its missing parents; an existing folder is fine.
void make_dirs(const std::string& path);

// The manuals of a folder: regular files (or links to them) named "*.md" that
// do not start with ".", sorted by name (bytes).  A missing folder has none.
std::vector<std::string> list_manuals(const std::string& folder);

// The whole content of a file.
std::string read_file(const std::string& path);

// Starts reading a range of a mapped file into the page cache, so that
// pages a search is about to read come in a few large requests instead of
// one page fault (and one wait) at a time.  Memory that is not a file
// mapping, or a failing call, is no error: it is only advice.
void will_need(const void* p, std::size_t n);
// True for the first caller only, which sets `asked` (the others pay one
// relaxed load): for advice given once per process.
inline bool first_time(std::atomic<bool>& asked) {
    return !asked.load(std::memory_order_relaxed) && !asked.exchange(true, std::memory_order_relaxed);
}
// will_need() of a range by the first caller that sets `asked`; nothing for
// the others.
inline void will_need_once(std::atomic<bool>& asked, const void* p, std::size_t n) {
    if (first_time(asked)) will_need(p, n);
}

// will_need() of the pages holding elements `at` (ascending) of an array of
// `size`-byte elements, adjacent pages asked for together: a few scattered
// values read from a large mapped array without reading all of it.
void will_need_elements(const void* array, std::size_t size, std::span<const std::uint32_t> at);

// "\r\n" and "\r" as "\n", as the host's text files read (universal newlines).
std::string translate_newlines(std::string_view s);

// A manual file's text as the host reads a text file: strict UTF-8, a leading
// byte-order mark dropped, "\r\n" and "\r" turned into "\n".
std::string read_manual_text(const std::string& path);

// Line lengths of a file read in pieces; terminators "\n", "\r" and "\r\n".
struct LineMeter {
    std::size_t limit;
    std::size_t length = 0;  // bytes of the current line so far
    std::size_t lineno = 1;  // its number
    bool after_cr = false;
    explicit LineMeter(std::size_t max_line_bytes) : limit(max_line_bytes) {}
    // False when the current line has grown past the limit.
    bool feed(const char* p, std::size_t n);
};

// The whole file, refused with LineTooLongError when a line is longer than
// `max_line_bytes`.  A file larger than the limit is first scanned without
// keeping its bytes, so an over-long line costs no memory.
std::string read_file_with_line_limit(const std::string& path, std::size_t max_line_bytes);

// Calls on_line(start, end, next) for each line of `data`, as the loader
// splits them: a line ends at "\n", "\r" or "\r\n"; [start, end) is its
// content, `next` the start of the following line; a last line without a
// terminator counts, an empty file has no lines.
template <class OnLine>
void for_each_line(std::string_view data, OnLine&& on_line) {
    const bool has_cr = data.find('\r') != std::string_view::npos;
    const std::size_t n = data.size();
    std::size_t start = 0;
    while (start < n) {
        std::size_t term;
        if (has_cr) {
            term = data.find_first_of("\r\n", start);
        } else {
            const void* nl = std::memchr(data.data() + start, '\n', n - start);
            term = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data.data()) : std::string_view::npos;
        }
        std::size_t next;
        if (term == std::string_view::npos) {
            term = n;
            next = n;
        } else {
            next = term + 1;
            if (data[term] == '\r' && next < n && data[next] == '\n') ++next;
        }
        on_line(start, term, next);
        start = next;
    }
}

}  // namespace corvane::io
