// Core-only timings (no Python): parse throughput of markdown_to_tree.
// Usage: core_bench parse REPEATS FILE...   -> one JSON object on stdout
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/manual.hpp"

int main(int argc, char** argv) {
    if (argc < 4 || std::string(argv[1]) != "parse") {
        std::fprintf(stderr, "usage: core_bench parse REPEATS FILE...\n");
        return 2;
    }
    const int repeats = std::stoi(argv[2]);
    std::vector<std::string> texts;
    std::size_t bytes = 0;
    for (int i = 3; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        texts.push_back(ss.str());
        bytes += texts.back().size();
    }
    double best = 1e300;
    std::size_t scenes = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        scenes = 0;
        for (const std::string& t : texts) scenes += corvane::manual::markdown_to_tree(t).children.size();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    std::printf("{\"bytes\": %zu, \"scenes\": %zu, \"best_seconds\": %.6f, \"mb_per_s\": %.1f}\n", bytes, scenes, best,
                bytes / best / 1e6);
    return 0;
}
