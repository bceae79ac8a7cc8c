// index/: the indexing run over a folder: tree files and index lines, names
// up to the file-name limit, stale temps swept whether or not the run ends well.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>
#include <string>

#include "core/index/index_builder.hpp"
#include "core/io/files.hpp"

using namespace corvane;

namespace {

struct Work {
    std::string root;
    index::RunConfig config;
    Work() {
        char tmpl[] = "/tmp/corvane-index-XXXXXX";
        root = ::mkdtemp(tmpl);
        config.manual_dir = root + "/manuals";
        config.tree_dir = root + "/trees";
        config.index_file = root + "/scene_index.jsonl";
        io::make_dirs(config.manual_dir);
    }
    ~Work() { (void)std::system(("rm -rf '" + root + "'").c_str()); }
    void manual(const std::string& name, const std::string& text) {
        std::ofstream(config.manual_dir + "/" + name, std::ios::binary) << text;
    }
    bool exists(const std::string& path) const {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }
};

}  // namespace

TEST_CASE("run: one tree file per manual, one line per scene") {
    Work w;
    const std::string stem(250, 'm');  // the tree file's name is 255 bytes
    w.manual(stem + ".md", "# 手册\n## 更换轮胎\n### 操作步骤\n1. 拧紧\n## 检查胎压\n正常\n");
    int calls = 0;
    w.config.on_manual = [&](std::string_view id, std::size_t scenes) {
        CHECK(id == stem);
        CHECK(scenes == 2);
        ++calls;
    };
    index::run(w.config);
    CHECK(calls == 1);
    CHECK(w.exists(w.config.tree_dir + "/" + stem + ".json"));
    const std::string lines = io::read_file(w.config.index_file);
    CHECK(lines.rfind("{\"scene_id\": \"" + stem + "_scene_1\", ", 0) == 0);
    CHECK(std::count(lines.begin(), lines.end(), '\n') == 2);
}

TEST_CASE("run: stale temps swept at the start; a failed run keeps the old index") {
    Work w;
    w.manual("a.md", "# 手册\n## 场景\n内容\n");
    index::run(w.config);
    const std::string before = io::read_file(w.config.index_file);
    const std::string stale_index = w.root + "/" + io::temp_name("scene_index.jsonl", 999999999, 0);
    const std::string stale_tree = w.config.tree_dir + "/" + io::temp_name("a.json", 999999999, 1);
    for (const std::string& p : {stale_index, stale_tree}) std::ofstream(p) << "{";
    w.manual("b.md", "# \xff\n");
    CHECK_THROWS_AS(index::run(w.config), io::DecodeError);
    CHECK(io::read_file(w.config.index_file) == before);
    CHECK_FALSE(w.exists(stale_index));
    CHECK_FALSE(w.exists(stale_tree));
}

namespace {

struct ThrowingAliases : index::AliasSource {
    std::string fail_on;
    std::string elements = "\"别名\"";
    std::vector<std::string> asked;
    const std::string* find(std::string_view title) override {
        asked.emplace_back(title);
        if (title == fail_on) throw std::runtime_error("alias " + fail_on);
        return title == "乙" ? &elements : nullptr;
    }
};

std::string run_and_read(Work& w, unsigned threads, std::vector<std::string>& seen) {
    w.config.threads = threads;
    seen.clear();
    w.config.on_manual = [&](std::string_view id, std::size_t n) { seen.push_back(std::string(id) + "=" + std::to_string(n)); };
    index::run(w.config);
    std::string all = io::read_file(w.config.index_file);
    for (const std::string& name : io::list_manuals(w.config.manual_dir))
        all += io::read_file(w.config.tree_dir + "/" + name.substr(0, name.size() - 3) + ".json");
    return all;
}

}  // namespace

TEST_CASE("run: any thread count gives the same files, callbacks and lookups") {
    Work w;
    for (int n = 0; n < 23; ++n) {
        std::string text;
        for (int s = 0; s < n % 5; ++s) text += "# 甲" + std::to_string(s) + "\n内容\n# 乙\n### 操作步骤\n1. 拧紧\n";
        w.manual("m" + std::to_string(100 + n) + ".md", text.empty() ? "无标题\n" : text);
    }
    ThrowingAliases aliases;
    w.config.aliases = &aliases;
    std::vector<std::string> seen_one, seen;
    const std::string one = run_and_read(w, 1, seen_one);
    const std::vector<std::string> asked_one = aliases.asked;
    for (unsigned threads : {2u, 3u, 8u, 64u}) {
        aliases.asked.clear();
        CHECK(run_and_read(w, threads, seen) == one);
        CHECK(seen == seen_one);
        CHECK(aliases.asked == asked_one);
    }
}

TEST_CASE("run: the first failing manual in order decides; a too long line names its scene") {
    Work w;
    for (int n = 0; n < 9; ++n) w.manual("m" + std::to_string(n) + ".md", "# 甲\n短\n# 乙\n" + std::string(50 * n, 'x') + "\n");
    index::run(w.config);
    const std::string before = io::read_file(w.config.index_file);
    // The limit: the line of m3's second scene, so m4's (50 bytes longer) is the first too long.
    const std::size_t m3 = before.find("{\"scene_id\": \"m3_scene_2\"");
    const std::size_t limit = before.find('\n', m3) - m3;
    const std::size_t m4 = before.find("{\"scene_id\": \"m4_scene_2\"");
    const std::size_t m4_bytes = before.find('\n', m4) - m4;
    w.manual("m6.md", "\xff");  // fails after m4's too long line
    for (unsigned threads : {1u, 2u, 4u}) {
        w.config.threads = threads;
        w.config.max_line_bytes = limit;
        try {
            index::run(w.config);
            FAIL("no error");
        } catch (const index::EntryTooLongError& e) {
            CHECK(e.path == w.config.manual_dir + "/m4.md");
            CHECK(e.scene_id == "m4_scene_2");
            CHECK(e.bytes == m4_bytes);
            CHECK(e.limit == limit);
        }
        CHECK(io::read_file(w.config.index_file) == before);
        w.config.max_line_bytes = io::kMaxIndexLineBytes;
        CHECK_THROWS_AS(index::run(w.config), io::DecodeError);
        CHECK(io::read_file(w.config.index_file) == before);
    }
}

TEST_CASE("thread count setting") {
    CHECK(index::parse_thread_count(nullptr) == 0);
    CHECK(index::parse_thread_count("") == 0);
    CHECK(index::parse_thread_count("1") == 1);
    CHECK(index::parse_thread_count("256") == 256);
    for (const char* bad : {"0", "257", "-1", " 2", "2x", "99999999999999999999"})
        CHECK_THROWS_AS(index::parse_thread_count(bad), std::invalid_argument);
    CHECK(index::available_cores() >= 1);
}
