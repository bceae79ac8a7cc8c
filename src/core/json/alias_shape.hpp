// Whether an alias file's text is well formed: one JSON object whose every
// value is an array of strings, in strict UTF-8 without a byte-order mark.
// True only when the host's own reading (its UTF-8 decoding and json.loads)
// is sure to accept the text with that shape; anything else, including what
// it accepts but this check does not take (a string with an escape), is
// false, and the caller reads the file the host's way for the exact message.
#pragma once

#include <string_view>

namespace corvane::json {

bool alias_text_well_formed(std::string_view text);

}  // namespace corvane::json
