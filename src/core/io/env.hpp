// Settings from the environment: the one reader of whole numbers the native
// code uses (corvane.settings follows the same rule for the Python side).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

namespace corvane::io {

// A variable whose text is not a whole number in its bounds.
struct SettingError : std::exception {
    SettingError(std::string n, std::string t, std::size_t l, std::size_t h)
        : name(std::move(n)), text(std::move(t)), low(l), high(h) {}
    const char* what() const noexcept override { return "bad setting"; }
    std::string name, text;
    std::size_t low, high;
};

// ASCII digits only (no sign, space or separator), from low to high.
inline std::optional<std::size_t> parse_count(const char* text, std::size_t low, std::size_t high) {
    if (!text || !*text) return std::nullopt;
    std::size_t n = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || n > high) return std::nullopt;
        n = n * 10 + static_cast<std::size_t>(*c - '0');
    }
    if (n < low || n > high) return std::nullopt;
    return n;
}

// The variable `name` as a whole number from low to high; nullopt when it is
// unset or empty; SettingError when it holds anything else.
inline std::optional<std::size_t> env_count(const char* name, std::size_t low, std::size_t high) {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    if (auto n = parse_count(text, low, high)) return n;
    throw SettingError(name, text, low, high);
}

}  // namespace corvane::io
