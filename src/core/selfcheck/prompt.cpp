#include "core/selfcheck/prompt.hpp"

#include <algorithm>
#include <initializer_list>

namespace corvane::prompt {
namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t n = 0;
    for (std::string_view p : parts) n += p.size();
    std::string out;
    out.reserve(n);
    for (std::string_view p : parts) out.append(p);
    return out;
}

constexpr std::string_view kAnswerBeforeQuestion = "\n            你是Brevane汽车助手。擅于回答<";
constexpr std::string_view kAnswerBeforeQuestionAgain =
    ">\n            请严格根据以下知识回答用户问题，不要编造。\n\n            用户问题：\n            ";
constexpr std::string_view kAnswerBeforeKnowledge = "\n\n            知识：\n            ";
constexpr std::string_view kAnswerEnd = "\n            ";

constexpr std::string_view kBannerHead = "*************************** 第 ";
constexpr std::string_view kBannerTail = " 轮模型自检 ***************************";

constexpr std::string_view kDefaultBeforeRules = "你是xxx，结合输入和已知知识，明确当前是什么角色\n                ";
constexpr std::string_view kDefaultAfterRules =
    "\n\n                输入内容：__INPUT__\n                已知知识：__KNOWLEDGE__\n                当前时间：__TIME__\n            ";

constexpr std::string_view kAnswerFormat =
    "\n\n            仅输出json字段:\n            -answer: str。智能回复\n"
    "            -reason: str。一步一步解析回复内容，罗列回复的详细依据\n        ";

constexpr std::string_view kJudgeBeforeInput =
    "你是大模型提示词优化工程师。分析当前输出内容是否符合当前提示词要求，依据是否正确\n            当前输入: ";
constexpr std::string_view kJudgeBeforePrompt = "\n            当前提示词: ";
constexpr std::string_view kJudgeBeforeOutput = "\n            当前输出内容: ";
constexpr std::string_view kJudgeBeforeReason = "\n            当前输出内容的依据: ";
constexpr std::string_view kJudgeFormat =
    "\n"
    "\n"
    "            最终仅输出json结构，字段如下:\n"
    "            -is_ok: bool。若当前输出内容符合提示词且依据正确，则为True，否则为False\n"
    "            -reason: str。若is_ok为True, 则内容为空。否则解释说明，分点罗列所有不符合的地方并分别给出针对性优化建议。\n"
    "            所有字段的内容都必须完整输出，不得省略。禁止出现比如“内容和前面相同”，“其他内容不变”\n"
    "            输出示例：\n"
    "            {\n"
    "                \"is_ok\" : True,\n"
    "                \"reason\": \"\"\n"
    "            }\n"
    "            ";

constexpr std::string_view kCheckBeforePrompt = "当前用户提示词内容为：";
constexpr std::string_view kCheckBeforeSuggestions = "\n                模型给出的提示词优化建议为：";
constexpr std::string_view kCheckFormat =
    "\n"
    "\n"
    "                判断优化建议是否正确。如果不正确，则修改优化建议，生成新的优化建议\n"
    "                最终仅输出json结构，字段如下:\n"
    "                -is_ok: bool。优化建议正确，则为True；\n"
    "                -new_suggestions: str。当is_ok为True，输出新的优化建议\n"
    "                -new_prompt: str。当is_ok为True时，根据新的优化建议new_suggestions调整提示词，以markdown格式。"
    "调整后的提示词内容不能是优化建议中的标准答案，标准答案仅用于辅助优化提示词。\n"
    "\n"
    "                优化当前提示词时，将提示词内容分类；优化调整时，不得直接删除已有提示词规则，"
    "除非新增规则能够兼容当前已有规则。优化调整提示词时，采用通用规则描述+实际case说明的例子\n"
    "                优化调整提示词时，保留“输入内容: __INPUT__\n"
    "                                    已知知识: __KNOWLEDGE__\n"
    "                                    当前时间: __TIME__”这三个占位符\n"
    "                优化调整提示词时，不得缩写，比如“和之前一样”，“保留原内容”。必须输出完整内容\n"
    "\n"
    "                优化调整后的内容必须保留下述内容:\n"
    "                逻辑要清楚，语义要清晰，表达要准确规范。\n"
    "                ";

}  // namespace

std::string answer_prompt(std::string_view question, std::string_view knowledge) {
    return concat({kAnswerBeforeQuestion, question, kAnswerBeforeQuestionAgain, question, kAnswerBeforeKnowledge, knowledge, kAnswerEnd});
}

std::string cycle_banner(int cycle_number) {
    const std::string n = std::to_string(cycle_number);
    return concat({kBannerHead, n, kBannerTail});
}

std::string default_template(std::string_view base_rules) { return concat({kDefaultBeforeRules, base_rules, kDefaultAfterRules}); }

std::string replace_all(std::string_view text, std::string_view mark, std::string_view value) {
    std::string out;
    if (mark.empty()) return std::string(text);
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(mark, from);
        if (at == std::string_view::npos) break;
        out.append(text.substr(from, at - from));
        out.append(value);
        from = at + mark.size();
    }
    if (from == 0) return std::string(text);
    out.append(text.substr(from));
    return out;
}

std::string fill(std::string_view tmpl, std::string_view question, std::string_view knowledge,
                 std::string_view time_text) {
    std::string a = replace_all(tmpl, kInputMark, question);
    std::string b = replace_all(a, kKnowledgeMark, knowledge);
    return replace_all(b, kTimeMark, time_text);
}

std::size_t replaced_size(std::string_view text, std::string_view mark, std::string_view value) {
    if (mark.empty()) return text.size();
    std::size_t size = text.size();
    constexpr std::size_t kHuge = std::size_t{1} << 62;  // beyond any bound; no overflow below it
    for (std::size_t at = text.find(mark); at != std::string_view::npos; at = text.find(mark, at + mark.size())) {
        size = size - mark.size() + value.size();
        if (size >= kHuge) return kHuge;
    }
    return size;
}

std::string fill(std::string_view tmpl, std::string_view question, std::string_view knowledge,
                 std::string_view time_text, std::size_t max_bytes) {
    auto step = [max_bytes](std::string_view text, std::string_view mark, std::string_view value) {
        const std::size_t size = replaced_size(text, mark, value);
        if (size > max_bytes) throw PromptTooLarge(size, max_bytes);
        return replace_all(text, mark, value);
    };
    std::string a = step(tmpl, kInputMark, question);
    std::string b = step(a, kKnowledgeMark, knowledge);
    return step(b, kTimeMark, time_text);
}

std::string fill_once(std::string_view tmpl, std::string_view question, std::string_view knowledge,
                      std::string_view time_text, std::size_t max_bytes) {
    const std::string_view marks[] = {kInputMark, kKnowledgeMark, kTimeMark};
    const std::string_view values[] = {question, knowledge, time_text};
    // Each pass walks the template: the first counts, the second builds.
    auto walk = [&](auto&& literal, auto&& value) {
        std::size_t from = 0, at = 0;
        while (at < tmpl.size()) {
            int hit = -1;
            if (tmpl[at] == '_')
                for (int m = 0; m < 3 && hit < 0; ++m)
                    if (tmpl.substr(at, marks[m].size()) == marks[m]) hit = m;
            if (hit < 0) {
                ++at;
                continue;
            }
            literal(tmpl.substr(from, at - from));
            value(values[hit]);
            at += marks[hit].size();
            from = at;
        }
        literal(tmpl.substr(from));
    };
    constexpr std::size_t kHuge = std::size_t{1} << 62;  // beyond any bound; no overflow below it
    std::size_t size = 0;
    auto count = [&](std::string_view s) { size = std::min(kHuge, size + std::min(kHuge, s.size())); };
    walk(count, count);
    if (size > max_bytes) throw PromptTooLarge(size, max_bytes);
    std::string out;
    out.reserve(size);
    auto put = [&](std::string_view s) { out.append(s); };
    walk(put, put);
    return out;
}

std::string answer_request(std::string_view filled) { return concat({filled, kAnswerFormat}); }

std::string judge_prompt(std::string_view question, std::string_view filled, std::string_view answer,
                         std::string_view reason) {
    return concat({kJudgeBeforeInput, question, kJudgeBeforePrompt, filled, kJudgeBeforeOutput, answer, kJudgeBeforeReason, reason, kJudgeFormat});
}

std::string check_prompt(std::string_view filled, std::string_view suggestions, std::string_view base_rules) {
    return concat({kCheckBeforePrompt, filled, kCheckBeforeSuggestions, suggestions, kCheckFormat, base_rules});
}

}  // namespace corvane::prompt
