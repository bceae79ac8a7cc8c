// The core's file errors.  Bindings turn them into the host's exceptions
// (bindings/common/errors.hpp: translating_core_errors).
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace corvane::io {

// An operating-system error on a file: errno and the path the caller named.
struct IoError : std::exception {
    IoError(int e, std::string p) : err(e), path(std::move(p)) {}
    const char* what() const noexcept override { return "I/O error"; }
    int err;
    std::string path;
};

// A text file that is not valid UTF-8; `data` holds the file's bytes.
struct DecodeError : std::exception {
    DecodeError(std::string p, std::string d) : path(std::move(p)), data(std::move(d)) {}
    const char* what() const noexcept override { return "invalid UTF-8"; }
    std::string path;
    std::string data;
};

// A line longer than a reader accepts (counted in bytes, terminator excluded).
struct LineTooLongError : std::exception {
    LineTooLongError(std::string p, std::size_t n, std::size_t l) : path(std::move(p)), lineno(n), limit(l) {}
    const char* what() const noexcept override { return "line too long"; }
    std::string path;
    std::size_t lineno;
    std::size_t limit;
};

}  // namespace corvane::io
