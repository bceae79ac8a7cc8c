// Core-only timings (no Python).  Each mode prints one JSON object on stdout.
//
//   core_bench parse REPEATS FILE...   markdown_to_tree over the files
//   core_bench index REPEATS DIR       the indexing run in DIR (DIR/data/manuals
//                                      -> DIR/data/trees, DIR/data/scene_index.jsonl),
//                                      without aliases; CORVANE_INDEX_THREADS sets
//                                      the worker count (default: one per core)
//
// Times are wall clock (best of REPEATS) and the process CPU time of that run.
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <cstdlib>

#include "core/index/index_builder.hpp"
#include "core/io/files.hpp"
#include "core/manual/manual.hpp"

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Best {
    double wall = 1e300, cpu = 1e300;
    template <class Fn>
    void time(Fn&& fn) {
        const double c0 = cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double c = cpu_seconds() - c0;
        if (w < wall) wall = w;
        if (c < cpu) cpu = c;
    }
};

long peak_rss_kb() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int parse_mode(int repeats, int argc, char** argv) {
    std::vector<std::string> texts;
    std::size_t bytes = 0;
    for (int i = 3; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        texts.push_back(ss.str());
        bytes += texts.back().size();
    }
    Best best;
    std::size_t scenes = 0;
    for (int r = 0; r < repeats; ++r) {
        best.time([&] {
            scenes = 0;
            for (const std::string& t : texts) scenes += corvane::manual::markdown_to_tree(t).children.size();
        });
    }
    std::printf(
        "{\"bytes\": %zu, \"scenes\": %zu, \"best_seconds\": %.6f, \"cpu_seconds\": %.6f, \"mb_per_s\": %.1f, "
        "\"cpu_mb_per_s\": %.1f}\n",
        bytes, scenes, best.wall, best.cpu, bytes / best.wall / 1e6, bytes / best.cpu / 1e6);
    return 0;
}

int index_mode(int repeats, const std::string& dir) {
    corvane::index::RunConfig config;
    config.manual_dir = dir + "/data/manuals";
    config.tree_dir = dir + "/data/trees";
    config.index_file = dir + "/data/scene_index.jsonl";
    config.threads = corvane::index::parse_thread_count(std::getenv("CORVANE_INDEX_THREADS"));
    std::size_t scenes = 0;
    config.on_manual = [&](std::string_view, std::size_t n) { scenes += n; };
    std::size_t bytes = 0;
    for (const std::string& name : corvane::io::list_manuals(config.manual_dir))
        bytes += corvane::io::read_file(config.manual_dir + "/" + name).size();
    Best best;
    for (int r = 0; r < repeats; ++r) {
        scenes = 0;
        best.time([&] { corvane::index::run(config); });
    }
    std::printf(
        "{\"bytes\": %zu, \"scenes\": %zu, \"best_seconds\": %.6f, \"cpu_seconds\": %.6f, \"mb_per_s\": %.1f, "
        "\"cpu_mb_per_s\": %.1f, \"peak_rss_kb\": %ld}\n",
        bytes, scenes, best.wall, best.cpu, bytes / best.wall / 1e6, bytes / best.cpu / 1e6, peak_rss_kb());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 4 || (mode != "parse" && mode != "index")) {
        std::fprintf(stderr, "usage: core_bench parse REPEATS FILE...\n       core_bench index REPEATS DIR\n");
        return 2;
    }
    const int repeats = std::stoi(argv[2]);
    try {
        if (mode == "parse") return parse_mode(repeats, argc, argv);
        return index_mode(repeats, argv[3]);
    } catch (const corvane::index::IoError& e) {
        std::fprintf(stderr, "I/O error %d on %s\n", e.err, e.path.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
    }
    return 1;
}
