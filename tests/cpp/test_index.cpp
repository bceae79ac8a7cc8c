// index/: the indexing run over a folder: tree files and index lines, names
// up to the file-name limit, stale temps swept whether or not the run ends well.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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
