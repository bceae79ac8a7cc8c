// Scene keyword lists: the title, then the first tokens of each text of the
// scene (20 of the description, 10 of a step, 5 of a sub-point, 8 of a
// warning/notice/tip item), entries of one character dropped, repeats removed.
#pragma once

#include <string>
#include <string_view>
#include <cstdint>
#include <vector>

#include "core/manual/records.hpp"

namespace corvane::keywords {

inline constexpr std::size_t kDescriptionTokens = 20;
inline constexpr std::size_t kStepTokens = 10;
inline constexpr std::size_t kSubPointTokens = 5;
inline constexpr std::size_t kNoteTokens = 8;  // warning, notice, tip

// Feed the scene's texts in order: title(), then add() per text with its limit.
// The views must stay valid until finish().
class Builder {
public:
    void title(std::string_view t);
    void add(std::string_view text, std::size_t limit);
    std::vector<std::string> finish();
    // Forgets the entries (keeping the allocations) for the next scene.
    void clear();
    // The kept entries so far, as views into the texts.
    const std::vector<std::string_view>& entries() const { return entries_; }

private:
    void keep(std::string_view entry);
    void grow();
    std::vector<std::string_view> entries_;
    // Open addressing over entries_: slot = entry index + 1, 0 = free.  The
    // table is reused from scene to scene and only cleared where it was used.
    std::vector<std::uint32_t> slots_;
    std::vector<std::uint32_t> used_;  // slot numbers filled since the last clear
    std::vector<std::uint64_t> hashes_;  // per entry
};

// The walk over a scene: which texts give keywords, in which order and with
// which token limits.  It is the one copy of that rule; the scene is seen
// through a view, so the same walk reads the core's Scene structs and the
// host's Scene dicts (whose view supplies the defaults, checks and error
// texts of its caller, and keeps every text it hands out alive until the sink
// is done).  A view V has, each calling f(std::string_view) per text it holds:
//   v.title(f)         at most once
//   v.description(f)   at most once, only for a description that counts
//   v.steps(g)         g(step) per step, where step.text(f), step.sub_points(f)
//   v.notes(Note, f)   the items of the warning, notice or tip list
// A sink has title(std::string_view) and add(std::string_view, std::size_t limit);
// Builder is one.
enum class Note { warning, notice, tip };

template <class View, class Sink>
void walk(View& scene, Sink& sink) {
    scene.title([&](std::string_view t) { sink.title(t); });
    scene.description([&](std::string_view t) { sink.add(t, kDescriptionTokens); });
    scene.steps([&](auto& step) {
        step.text([&](std::string_view t) { sink.add(t, kStepTokens); });
        step.sub_points([&](std::string_view t) { sink.add(t, kSubPointTokens); });
    });
    for (Note n : {Note::warning, Note::notice, Note::tip})
        scene.notes(n, [&](std::string_view t) { sink.add(t, kNoteTokens); });
}

// The view of a Scene struct.
class SceneView {
public:
    explicit SceneView(const Scene& scene) : scene_(scene) {}
    template <class F> void title(F&& f) const { f(std::string_view(scene_.title)); }
    template <class F> void description(F&& f) const {
        if (!scene_.description.empty()) f(std::string_view(scene_.description));
    }
    template <class G> void steps(G&& g) const {
        for (const Step& s : scene_.steps) {
            StepView v{s};
            g(v);
        }
    }
    template <class F> void notes(Note n, F&& f) const {
        const auto& list = n == Note::warning ? scene_.warning : n == Note::notice ? scene_.notice : scene_.tip;
        for (const std::string& item : list) f(std::string_view(item));
    }

private:
    struct StepView {
        const Step& step;
        template <class F> void text(F&& f) const { f(std::string_view(step.text)); }
        template <class F> void sub_points(F&& f) const {
            for (const std::string& sp : step.sub_points) f(std::string_view(sp));
        }
    };
    const Scene& scene_;
};

// Feeds the scene's texts to `b` in keyword order (the entries view the scene).
inline void feed(Builder& b, const Scene& scene) {
    SceneView view(scene);
    walk(view, b);
}
std::vector<std::string> build(const Scene& scene);

}  // namespace corvane::keywords
