// The small JSON files of a data folder that map a text to a list of texts:
// the alias file (an object whose every value is an array of strings) and the
// synonym file (values a string or an array of strings).  Read here in one
// pass, without the host's objects, when the text is sure to read the same
// way with the host's own reading (strict UTF-8 decoding, then json.loads):
// a text this reader does not take (a string with an escape, a key given
// twice, anything malformed) is "not sure", and the caller reads the file the
// host's way, for its values or for the exact message of what is wrong.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::json {

struct TextList {
    std::string key;
    std::vector<std::string> values;
};

// Whether the text is a well-formed alias file.
bool alias_text_well_formed(std::string_view text);

// The members of a synonym file's object, in order; nullopt when not sure.
std::optional<std::vector<TextList>> read_synonym_text(std::string_view text);

}  // namespace corvane::json
