// Exact JSON text as the host's json.dumps(obj, ensure_ascii=False) writes it:
// indented form (indent=2: one member or element per line, "," after all but
// the last, ": " after keys, empty containers as [] and {}) and compact form
// (", " and ": " separators, one line).  Non-ASCII text is written as itself;
// '"', '\\' and control characters are escaped.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/manual/records.hpp"

namespace corvane::json {

// Appends the quoted, escaped string.  `utf8` is written byte for byte apart
// from the escapes.
void append_string(std::string& out, std::string_view utf8);

// Streams one JSON value into a string.  Containers are opened and closed
// explicitly; the writer places separators, line breaks and indentation.
class Writer {
public:
    Writer(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    // A member key; the value follows.
    void key(std::string_view k) {
        element();
        append_string(out_, k);
        out_.append(": ");
        after_key_ = true;
    }
    void string(std::string_view s) {
        element();
        append_string(out_, s);
    }
    // A scalar written verbatim (numbers, true/false/null, pre-rendered text).
    void raw(std::string_view text) {
        element();
        out_.append(text);
    }
    // Starts an element whose text the caller appends to out() directly.
    void raw_begin() { element(); }
    // The caller wrote a key and ": " itself; the next value follows it.
    void key_written() { after_key_ = true; }
    std::string& out() { return out_; }
    std::size_t depth() const { return counts_.size(); }

private:
    void element();
    void open(char c);
    void close(char c);
    void newline_indent(std::size_t level);

    std::string& out_;
    bool pretty_;
    bool after_key_ = false;
    std::vector<std::size_t> counts_;  // elements written in each open container
};

// A growable output buffer written through a raw cursor: appending is a
// capacity check and a copy, with no per-call bookkeeping of std::string and
// no zero fill when it grows.
class Buf {
public:
    Buf() = default;
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
    ~Buf() { std::free(data_); }

    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // Room for n more bytes at the returned cursor; commit() what was written.
    char* room(std::size_t n) {
        if (cap_ - size_ < n) grow(n);
        return data_ + size_;
    }
    void commit(std::size_t n) { size_ += n; }
    void put(char c) {
        *room(1) = c;
        ++size_;
    }
    void put(std::string_view s) {
        std::memcpy(room(s.size()), s.data(), s.size());
        size_ += s.size();
    }
    // The quoted, escaped string, as append_string() writes it.
    void put_string(std::string_view s);

private:
    void grow(std::size_t n);
    char* data_ = nullptr;
    std::size_t size_ = 0, cap_ = 0;
};

// A Scene record as an object; `level` is the indentation level of its
// opening brace in the indented form.
void append_scene(Buf& out, const Scene& scene, bool pretty, int level = 0);
// The whole tree file text: the document, indented, no final line break.
void append_tree_file(Buf& out, const TreeDocument& doc);

}  // namespace corvane::json
