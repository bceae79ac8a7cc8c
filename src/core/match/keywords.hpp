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

// Feeds the scene's texts to `b` in keyword order (the entries view the scene).
void feed(Builder& b, const Scene& scene);
std::vector<std::string> build(const Scene& scene);

}  // namespace corvane::keywords
