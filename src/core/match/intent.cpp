#include "core/match/intent.hpp"

#include <initializer_list>

#include "core/text/text.hpp"

namespace corvane::intent {

namespace {

struct Group {
    std::string_view label;
    std::initializer_list<std::string_view> cues;
};

bool contains_any(std::string_view q, std::initializer_list<std::string_view> cues) {
    for (std::string_view c : cues)
        if (q.find(c) != std::string_view::npos) return true;
    return false;
}

}  // namespace

std::string_view classify_normalized(std::string_view q) {
    // Tested in this order; the first group with a cue in the question wins.
    static const Group groups[] = {
        {kHowTo, {"怎么", "如何", "怎样", "步骤", "流程", "操作"}},
        {kNoticeWarning, {"注意", "警告", "风险", "小心", "不能", "禁止"}},
        {kDefinitionOrList, {"是什么", "哪些", "什么工具", "什么装备"}},
        {kSequence, {"先", "还是", "顺序"}},
    };
    for (const Group& g : groups)
        if (contains_any(q, g.cues)) return g.label;
    return kGeneral;
}

std::string_view classify(std::string_view query) { return classify_normalized(text::normalize_text(query)); }

}  // namespace corvane::intent
