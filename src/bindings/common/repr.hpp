// The host's repr of plain values, written straight into UTF-8: dict, list,
// tuple, str, int, bool, None and float of their exact types take a fast path
// with the host's exact output; anything else (subclasses included) is
// rendered by its own __repr__.
#pragma once

#include <string>

#include "bindings/common/py_util.hpp"

namespace corvane::py {

void append_repr(std::string& out, nb::handle value);

// A str unchanged, anything else its repr.
std::string str_or_repr(nb::handle value);

}  // namespace corvane::py
