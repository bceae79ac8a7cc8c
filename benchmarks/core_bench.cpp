// Core-only timings (no Python).  Each mode prints one JSON object on stdout.
//
//   core_bench parse REPEATS FILE...   markdown_to_tree over the files
//   core_bench index REPEATS DIR       the indexing run in DIR (DIR/data/manuals
//                                      -> DIR/data/trees, DIR/data/scene_index.jsonl),
//                                      without aliases; CORVANE_INDEX_THREADS sets
//                                      the worker count (default: one per core)
//   core_bench fused ROUNDS DIR SYNONYMS [OUT]
//                                      the engine's fused ranker over the compiled
//                                      file DIR/data/scene_index.cvx, top 5 of each
//                                      line of DIR/queries.txt, ROUNDS times; SYNONYMS
//                                      holds "colloquial TAB wording" lines (the map
//                                      the engine reads, dumped); OUT gets every
//                                      ranking (entry and score to the last bit), to
//                                      compare two builds
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

#include <algorithm>

#include "core/index/index_builder.hpp"
#include "core/search/engine_index.hpp"
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

double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int fused_mode(int rounds, const std::string& dir, const std::string& synonyms_file, const char* out_file) {
    namespace s = corvane::search;
    auto index = s::EngineIndex::open_compiled(dir + "/data/scene_index.cvx", dir + "/data/scene_index.jsonl");
    s::Synonyms syn;
    {
        std::ifstream f(synonyms_file, std::ios::binary);
        std::string line;
        while (std::getline(f, line)) {
            const std::size_t tab = line.find('\t');
            if (tab != std::string::npos) syn.add(line.substr(0, tab), line.substr(tab + 1));
        }
        syn.compile();
    }
    std::vector<std::string> queries;
    {
        std::ifstream f(dir + "/queries.txt", std::ios::binary);
        std::string line;
        while (std::getline(f, line))
            if (!line.empty()) queries.push_back(line);
    }
    std::FILE* out = out_file ? std::fopen(out_file, "w") : nullptr;
    if (out)
        for (const std::string& q : queries) {
            std::fprintf(out, "%s", q.c_str());
            for (const s::Ranked& r : index->search_hybrid(q, syn, 5)) std::fprintf(out, "\t%u:%a", r.entry, r.score);
            std::fprintf(out, "\n");
        }
    if (out) std::fclose(out);
    for (std::size_t i = 0; i < std::min<std::size_t>(50, queries.size()); ++i) index->search_hybrid(queries[i], syn, 5);
    std::vector<double> wall, cpu;
    for (int r = 0; r < rounds; ++r)
        for (const std::string& q : queries) {
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = thread_seconds();
            index->search_hybrid(q, syn, 5);
            cpu.push_back(thread_seconds() - c0);
            wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    auto pick = [](const std::vector<double>& xs, double p) { return xs.empty() ? 0.0 : xs[std::size_t(p * (xs.size() - 1))] * 1e6; };
    std::printf(
        "{\"searches\": %zu, \"median_us\": %.1f, \"p99_us\": %.1f, \"cpu_median_us\": %.1f, \"cpu_p99_us\": %.1f, "
        "\"cpu_mean_us\": %.1f}\n",
        cpu.size(), pick(wall, 0.5), pick(wall, 0.99), pick(cpu, 0.5), pick(cpu, 0.99),
        cpu.empty() ? 0.0 : [&] { double t = 0; for (double c : cpu) t += c; return t / cpu.size() * 1e6; }());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 4 || (mode != "parse" && mode != "index" && mode != "fused") || (mode == "fused" && argc < 5)) {
        std::fprintf(stderr,
                     "usage: core_bench parse REPEATS FILE...\n       core_bench index REPEATS DIR\n"
                     "       core_bench fused ROUNDS DIR SYNONYMS [OUT]\n");
        return 2;
    }
    const int repeats = std::stoi(argv[2]);
    try {
        if (mode == "parse") return parse_mode(repeats, argc, argv);
        if (mode == "fused") return fused_mode(repeats, argv[3], argv[4], argc > 5 ? argv[5] : nullptr);
        return index_mode(repeats, argv[3]);
    } catch (const corvane::index::IoError& e) {
        std::fprintf(stderr, "I/O error %d on %s\n", e.err, e.path.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
    }
    return 1;
}
