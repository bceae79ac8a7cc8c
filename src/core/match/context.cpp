#include "core/match/context.hpp"

#include "core/match/intent.hpp"

namespace corvane::context {

Selection select(std::string_view intent) {
    if (intent == intent::kHowTo) return {true, true, true, true};
    if (intent == intent::kNoticeWarning) return {false, true, true, true};
    if (intent == intent::kDefinitionOrList) return {true, false, false, false};
    if (intent == intent::kSequence) return {true, true, true, false};
    return {true, true, true, true};
}

void Writer::begin_line() {
    if (!first_) out_.push_back('\n');
    first_ = false;
}

void Writer::line(std::string_view s) {
    begin_line();
    out_.append(s);
}

void Writer::title(std::string_view t) {
    begin_line();
    out_.append("# ");
    out_.append(t);
}

void Writer::description(std::string_view d) {
    line("## 说明");
    line(d);
}

void Writer::step(std::string_view index, std::string_view text) {
    begin_line();
    out_.append(index);
    out_.append(". ");
    out_.append(text);
}

void Writer::item(std::string_view s) {
    begin_line();
    out_.append("- ");
    out_.append(s);
}

void Writer::image(std::string_view caption, std::string_view url) {
    begin_line();
    out_.append("- ");
    out_.append(caption);
    out_.append(": ");
    out_.append(url);
}

}  // namespace corvane::context
