#include "core/match/keywords.hpp"

#include <cstring>

#include "core/text/text.hpp"

namespace corvane::keywords {

namespace {

std::uint64_t hash_of(std::string_view s) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
    const char* p = s.data();
    const std::size_t size = s.size();
    std::size_t n = size;
    for (; n > 8; n -= 8, p += 8) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        h = (h ^ x) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    std::uint64_t x = 0;
    if (size >= 8) {  // the last eight bytes, overlapping what came before
        std::memcpy(&x, p + n - 8, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        x = (std::uint64_t{a} << 32) | b;
    } else if (n) {
        x = (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
            (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) | static_cast<unsigned char>(p[n - 1]);
    }
    h = (h ^ x) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
}

}  // namespace

void Builder::clear() {
    for (std::uint32_t slot : used_) slots_[slot] = 0;
    used_.clear();
    entries_.clear();
    hashes_.clear();
}

void Builder::grow() {
    const std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(size, 0);
    used_.clear();
    const std::size_t mask = size - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        std::size_t slot = hashes_[e] & mask;
        while (slots_[slot]) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<std::uint32_t>(e + 1);
        used_.push_back(static_cast<std::uint32_t>(slot));
    }
}

void Builder::keep(std::string_view entry) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    const std::uint64_t h = hash_of(entry);
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = h & mask;
    while (const std::uint32_t e = slots_[slot]) {
        if (hashes_[e - 1] == h && entries_[e - 1] == entry) return;
        slot = (slot + 1) & mask;
    }
    entries_.push_back(entry);
    hashes_.push_back(h);
    slots_[slot] = static_cast<std::uint32_t>(entries_.size());
    used_.push_back(static_cast<std::uint32_t>(slot));
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
    clear();
    return out;
}

std::vector<std::string> build(const Scene& scene) {
    Builder b;
    feed(b, scene);
    return b.finish();
}

}  // namespace corvane::keywords
