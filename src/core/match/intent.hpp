// Query intent: the first group of cue words that occurs in the normalized
// question decides the label; "general" when none does.
#pragma once

#include <string_view>

namespace corvane::intent {

inline constexpr std::string_view kHowTo = "how_to";
inline constexpr std::string_view kNoticeWarning = "notice_warning";
inline constexpr std::string_view kDefinitionOrList = "definition_or_list";
inline constexpr std::string_view kSequence = "sequence";
inline constexpr std::string_view kGeneral = "general";

// Label of an already normalized question.
std::string_view classify_normalized(std::string_view q);
// Normalizes, then classifies.
std::string_view classify(std::string_view query);

}  // namespace corvane::intent
