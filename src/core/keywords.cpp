#include "core/keywords.hpp"

#include "core/text.hpp"

namespace corvane::keywords {

void Builder::keep(std::string_view entry) {
    if (seen_.insert(entry).second) entries_.push_back(entry);
}

void Builder::title(std::string_view t) {
    if (uni::length(t) > 1) keep(t);
}

void Builder::add(std::string_view s, std::size_t limit) {
    text::for_each_token(s, limit, [&](std::string_view token, std::size_t cps) {
        if (cps > 1) keep(token);
    });
}

std::vector<std::string> Builder::finish() {
    std::vector<std::string> out(entries_.begin(), entries_.end());
    entries_.clear();
    seen_.clear();
    return out;
}

void feed(Builder& b, const Scene& scene) {
    b.title(scene.title);
    if (!scene.description.empty()) b.add(scene.description, kDescriptionTokens);
    for (const Step& step : scene.steps) {
        b.add(step.text, kStepTokens);
        for (const std::string& sp : step.sub_points) b.add(sp, kSubPointTokens);
    }
    for (const auto* list : {&scene.warning, &scene.notice, &scene.tip})
        for (const std::string& item : *list) b.add(item, kNoteTokens);
}

std::vector<std::string> build(const Scene& scene) {
    Builder b;
    feed(b, scene);
    return b.finish();
}

}  // namespace corvane::keywords
