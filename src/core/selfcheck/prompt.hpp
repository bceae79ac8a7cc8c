// Prompt templates: the answer prompt of a query and the texts of the prompt
// self-check loop.  All functions work on UTF-8 and return new strings.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace corvane::prompt {

// The answer prompt for a question and the text of its knowledge.
std::string answer_prompt(std::string_view question, std::string_view knowledge);

// ---- self-check loop -------------------------------------------------------

inline constexpr int kCycles = 8;
inline constexpr int kTries = 5;
inline constexpr std::string_view kCycleLabel = "模型自检中";
inline constexpr std::string_view kTryLabel = "内部提示词校验中";
inline constexpr const char* kTimeFormat = "%Y%m%d:%H%M%S";

inline constexpr std::string_view kInputMark = "__INPUT__";
inline constexpr std::string_view kKnowledgeMark = "__KNOWLEDGE__";
inline constexpr std::string_view kTimeMark = "__TIME__";

// Transcript lines (each printed followed by one line break).
inline constexpr std::string_view kQuestionLine = "用户问题: ";
inline constexpr std::string_view kSuggestionsLine = "优化建议:\n";
inline constexpr std::string_view kAcceptedLine = "模型自检完成\n\n";
inline constexpr std::string_view kCycleEndLine = "\n\n";
inline constexpr std::string_view kFinalRule = "^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^";
inline constexpr std::string_view kFinalQuestion = "question: ";
inline constexpr std::string_view kFinalAnswer = "answer  : ";

// "****... 第 N 轮模型自检 ...****" for the 1-based cycle number.
std::string cycle_banner(int cycle_number);

// The template used when the prompt file is empty.
std::string default_template(std::string_view base_rules);

// Every occurrence of `mark` in `text` replaced by `value`, left to right,
// non-overlapping.
std::string replace_all(std::string_view text, std::string_view mark, std::string_view value);

// The template with the question, then the knowledge, then the time put in.
std::string fill(std::string_view tmpl, std::string_view question, std::string_view knowledge,
                 std::string_view time_text);

// The default bound of a filled prompt, in bytes (CORVANE_MAX_PROMPT_BYTES
// sets another): far above what any model takes as one prompt, far below what
// a template with thousands of placeholders can expand to.
inline constexpr std::size_t kMaxPromptBytes = std::size_t{4} << 20;

// A prompt that would grow past its bound while being filled.
struct PromptTooLarge : std::exception {
    PromptTooLarge(std::size_t b, std::size_t l) : bytes(b), limit(l) {}
    const char* what() const noexcept override { return "filled prompt too large"; }
    std::size_t bytes;  // the size of the step that passed the bound
    std::size_t limit;
};

// The size replace_all(text, mark, value) returns, computed without building it.
std::size_t replaced_size(std::string_view text, std::string_view mark, std::string_view value);

// fill(), but no step of the filling (question, then knowledge, then time put
// in) may be longer than `max_bytes`: PromptTooLarge is thrown before such a
// text is built, so the bound also bounds the memory used.
std::string fill(std::string_view tmpl, std::string_view question, std::string_view knowledge,
                 std::string_view time_text, std::size_t max_bytes);

// The template with each marker of the template itself replaced, in one pass
// from left to right: text put in is never searched for markers, so a marker
// inside the question (or the knowledge) stays as it is.  The result may not
// be longer than `max_bytes`: PromptTooLarge is thrown before it is built.
// (The engine's and the service's prompt templates; the self-check loop keeps
// fill() above.)
std::string fill_once(std::string_view tmpl, std::string_view question, std::string_view knowledge,
                      std::string_view time_text, std::size_t max_bytes = kMaxPromptBytes);

// The filled prompt followed by the answer format request.
std::string answer_request(std::string_view filled);

// The judge prompt for one answer.
std::string judge_prompt(std::string_view question, std::string_view filled, std::string_view answer,
                         std::string_view reason);

// The check prompt for the current suggestions; ends with the base rules.
std::string check_prompt(std::string_view filled, std::string_view suggestions, std::string_view base_rules);

}  // namespace corvane::prompt
