// The host's text form (repr) of a string: quotes chosen as the host chooses
// them, backslash escapes for quotes, backslashes, \t \n \r and every
// non-printable character.
#pragma once

#include <string>
#include <string_view>

namespace corvane::repr {

// Appends repr(s) of the UTF-8 text s (lone surrogates in three-byte form).
void append_str(std::string& out, std::string_view s);

}  // namespace corvane::repr
