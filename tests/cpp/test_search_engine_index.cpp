// search/engine_index: the engine's index compiled from a JSON-lines file and
// opened from the compiled file it writes: both search alike and read the same
// lines back; a stale, missing or damaged compiled file is refused with its
// reason; a JSON-lines file changed under an open index is reported, never
// read as if it still matched; lines split as the loader splits them.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/io/errors.hpp"
#include "core/manual/heading_path.hpp"
#include "core/manual/tables.hpp"
#include "core/search/engine_index.hpp"
#include "core/text/text.hpp"

using namespace corvane;
using search::EngineIndex;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/corvane-engine-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path + "'";
        (void)std::system(cmd.c_str());
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void set_mtime(const std::string& path, long sec) {
    struct timeval tv[2] = {{sec, 0}, {sec, 0}};
    REQUIRE(::utimes(path.c_str(), tv) == 0);
}

// Past the entry reader's nesting depth: left to the host.
const std::string kDeep = std::string(300, '[') + std::string(300, ']');

const std::string kLines =
    R"({"scene_title": "车门解锁", "aliases": ["开门"], "keywords": ["解锁", "车门"], "scene_data": {"description": "按下解锁键"}})"
    "\n"
    R"({"scene_title": "机油检查（每月）", "aliases": [], "keywords": ["机油"], "scene_data": {"steps": [{"text": "拔出油尺"}]}})"
    "\r\n"
    R"({"scene_title": "胎压", "keywords": ["轮胎", "胎压"], "extra": )" + kDeep + "}\n";

// Compiles kLines' file; the third line is left to the slow path, which adds
// what the host would read from it.
std::unique_ptr<EngineIndex> compile(const std::string& jsonl, std::vector<std::size_t>* slow_lines = nullptr) {
    auto ix = EngineIndex::for_jsonl(jsonl);
    auto pass = ix->read_pass([&](std::string_view, std::size_t lineno, search::EntrySink& sink) {
        if (slow_lines) slow_lines->push_back(lineno);
        sink.begin_entry("胎压");
        sink.add_keyword("轮胎");
        sink.add_keyword("胎压");
    });
    REQUIRE(pass);
    ix->finish(std::move(pass));
    return ix;
}

std::vector<std::pair<std::uint32_t, int>> exact(const EngineIndex& ix, const std::string& q) {
    std::vector<std::pair<std::uint32_t, int>> out;
    for (const auto& [id, score] : ix.search(text::normalize_text(q), 3)) out.emplace_back(id, score);
    return out;
}

std::string line(const EngineIndex& ix, std::uint32_t i) { return ix.read_line(ix.line_extent(i)); }

std::string error_of(const std::string& cvx, const std::string& jsonl, std::size_t verify_limit = search::kSyncVerifyBytes) {
    try {
        EngineIndex::open_compiled(cvx, jsonl, verify_limit);
    } catch (const search::UnusableCompiledFile& e) {
        return e.what();
    }
    return "opened";
}

}  // namespace

TEST_CASE("line splitter: every terminator, split anywhere, offsets of the line starts") {
    const std::string text = "a\nbb\r\ncc\rd\r\n\nlast";
    const std::vector<std::pair<std::string, std::uint64_t>> want = {
        {"a", 0}, {"bb", 2}, {"cc", 6}, {"d", 9}, {"", 12}, {"last", 13}};
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {  // "\r\n" split between pieces included
        std::vector<std::pair<std::string, std::uint64_t>> got;
        search::LineSplitter s([&](std::string_view l, std::uint64_t at) { got.emplace_back(std::string(l), at); });
        s.feed(std::string_view(text).substr(0, cut), false);
        s.feed(std::string_view(text).substr(cut), false);
        s.feed({}, true);
        INFO(cut);
        CHECK(got == want);
    }
    std::vector<std::string> got;
    search::LineSplitter s([&](std::string_view l, std::uint64_t) { got.emplace_back(l); });
    s.feed("x\r", false);  // a final "\r" ends its line only once the file is known to end
    CHECK(got.empty());
    s.feed({}, true);
    CHECK(got == std::vector<std::string>{"x"});
}

TEST_CASE("engine index: compiled and reopened from its file, it searches and reads alike") {
    TempDir dir;
    const std::string jsonl = dir / "scene_index.jsonl", cvx = dir / "scene_index.cvx";
    put(jsonl, kLines);
    std::vector<std::size_t> slow;
    auto built = compile(jsonl, &slow);
    CHECK(slow == std::vector<std::size_t>{3});
    REQUIRE(built->size() == 3);
    CHECK_FALSE(built->from_compiled_file());
    built->write(cvx);

    auto opened = EngineIndex::open_compiled(cvx, jsonl);
    CHECK(opened->from_compiled_file());
    CHECK(opened->verified() == 0);  // opening reads no more than the header
    CHECK((opened->verify() && opened->verified() == 1));
    CHECK(opened->size() == 3);
    CHECK(opened->jsonl_identity().size == kLines.size());
    search::Synonyms none;
    none.compile();
    for (const char* q : {"车门怎么解锁", "机油检查", "轮胎胎压", "无关的问题", "开门"}) {
        INFO(q);
        CHECK(exact(*built, q) == exact(*opened, q));
        const auto a = built->search_hybrid(q, none, 3), b = opened->search_hybrid(q, none, 3);
        REQUIRE(a.size() == b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            CHECK(a[i].entry == b[i].entry);
            CHECK(a[i].score == doctest::Approx(b[i].score));
        }
    }
    CHECK_FALSE(exact(*opened, "车门解锁").empty());
    CHECK(exact(*opened, "车门解锁")[0].first == 0);
    for (std::uint32_t i = 0; i < 3; ++i) CHECK(line(*built, i) == line(*opened, i));
    CHECK(line(*opened, 1).back() == '}');  // "\r\n" removed
    CHECK(line(*opened, 2) == R"({"scene_title": "胎压", "keywords": ["轮胎", "胎压"], "extra": )" + kDeep + "}");
}

TEST_CASE("engine index: compiled files that cannot serve, files changed under an open index") {
    TempDir dir;
    const std::string jsonl = dir / "scene_index.jsonl", cvx = dir / "scene_index.cvx";
    put(jsonl, kLines);
    set_mtime(jsonl, 1000000);
    CHECK(error_of(cvx, jsonl) == "missing");
    compile(jsonl)->write(cvx);
    CHECK(error_of(cvx, jsonl) == "opened");

    set_mtime(jsonl, 2000000);  // touched, same contents: still serves
    CHECK(error_of(cvx, jsonl) == "opened");
    std::string other = kLines;  // same size, other contents
    other[10] = ' ';
    put(jsonl, other);
    CHECK(error_of(cvx, jsonl) == "stale (scene_index.jsonl has changed since)");
    put(jsonl, kLines + "\n");
    CHECK(error_of(cvx, jsonl) == "stale (scene_index.jsonl has changed since)");
    put(jsonl, kLines);
    compile(jsonl)->write(cvx);

    // A flipped byte in the body: refused on opening when a hash check is
    // asked for, else found by verify(), after which searches and line reads
    // throw.
    std::string bytes;
    {
        std::ifstream in(cvx, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    bytes[bytes.size() - 9] ^= 0x40;
    put(cvx, bytes);
    CHECK(error_of(cvx, jsonl, std::size_t{1} << 30) == "damaged (contents differ from their hash)");
    CHECK(error_of(cvx, jsonl) == "opened");
    auto late = EngineIndex::open_compiled(cvx, jsonl, 0);
    CHECK(late->verified() == 0);
    CHECK_NOTHROW(line(*late, 0));
    CHECK(!late->verify());
    CHECK(late->verified() == -1);
    CHECK_THROWS_AS(late->check_verified(), matcher::CorruptIndex);
    CHECK_THROWS_AS(line(*late, 0), matcher::CorruptIndex);

    // The JSON-lines file rewritten in place after opening.
    auto ix = compile(jsonl);
    put(jsonl, kLines + "more\n");
    CHECK_THROWS_AS(ix->line_extent(0), matcher::CorruptIndex);

    // No JSON-lines file, or a folder in its place: the host's OS errors.
    for (const auto& [path, err] : {std::pair{dir / "absent.jsonl", ENOENT}, std::pair{dir.path, EISDIR}}) {
        try {
            EngineIndex::for_jsonl(path);
            FAIL("opened " << path);
        } catch (const io::IoError& e) {
            CHECK(e.err == err);
            CHECK(e.path == path);
        }
    }
}

TEST_CASE("engine index: a pass over a file that changes meanwhile is not kept") {
    TempDir dir;
    const std::string jsonl = dir / "scene_index.jsonl";
    put(jsonl, kLines);
    auto ix = EngineIndex::for_jsonl(jsonl);
    bool grown = false;
    auto pass = ix->read_pass([&](std::string_view, std::size_t, search::EntrySink& sink) {
        sink.begin_entry("胎压");
        if (!grown) std::ofstream(jsonl, std::ios::binary | std::ios::app) << "{}\n";
        grown = true;
    });
    CHECK_FALSE(pass);
    ix->reopen();
    REQUIRE(ix->read_pass([](std::string_view, std::size_t, search::EntrySink& sink) { sink.begin_entry("x"); }));
}

namespace {

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A folder with a manual of `scenes` scenes (headings, a table in some) and a
// scene index of many entries: theirs first, then more without a manual
// beyond the workers' batch size; escaped strings, "\r\n" ends and lines left
// to the slow path among them.
std::string big_folder(const TempDir& dir) {
    (void)::mkdir((dir / "manuals").c_str(), 0755);
    std::string md = "# 第1章 车门\n\n";
    for (int s = 0; s < 40; ++s) {
        md += "## 场景" + std::to_string(s) + "\n\n### 操作步骤\n\n1. 按下解锁键" + std::to_string(s) + "。\n\n";
        md += "| 项目 | 数值 |\n|---|---|\n| 胎压 | " + std::to_string(200 + s) + " kPa |\n\n";
    }
    put(dir / "manuals/m1.md", md);
    const auto scenes = manual::extract_tables(md);  // one per scene, each with a table
    REQUIRE(scenes.size() == manual::scene_heading_paths(md).size());
    std::string lines;
    for (std::size_t i = 0; i < 9000; ++i) {
        const bool own = i < scenes.size();
        const std::string title = own ? scenes[i].title : "车门解锁方法" + std::to_string(i);
        std::string l = R"({"scene_title": ")" + title + R"(", "manual_id": ")" + (own ? "m1" : "m" + std::to_string(i % 7 + 2)) +
                        R"(", "aliases": ["开门)" + std::to_string(i % 50) + R"(", ")" + title + R"("], "keywords": ["解锁", "车门\u0031", "门)" +
                        std::to_string(i % 300) + R"("], "scene_data": {"description": "按下解锁键后拉开车门 Model )" +
                        std::to_string(i) + R"(", "steps": [{"text": "第一步：踩下制动踏板", "sub_points": ["检查胎压", "机油尺"]}], "warning": ["行驶中请勿打开车门"]}})";
        if (i % 997 == 5 && i > 100) l = R"({"scene_title": "胎压)" + std::to_string(i) + R"(", "extra": )" + kDeep + "}";
        lines += l + (i % 2 ? "\r\n" : "\n");
    }
    put(dir / "scene_index.jsonl", lines);
    return dir / "scene_index.jsonl";
}

std::unique_ptr<EngineIndex> compile_with(const std::string& jsonl, unsigned threads) {
    auto ix = EngineIndex::for_jsonl(jsonl, threads);
    auto pass = ix->read_pass([&](std::string_view line, std::size_t, search::EntrySink& sink) {
        const std::size_t at = line.find("胎压");
        sink.begin_entry(at == std::string_view::npos ? line : line.substr(at, line.find('"', at) - at));
        sink.add_keyword("轮胎");
        sink.add_text(search::kSteps, "慢的一行");
    });
    REQUIRE(pass);
    ix->finish(std::move(pass));
    return ix;
}

}  // namespace

TEST_CASE("engine index: a compile on worker threads writes the bytes of a one-thread compile") {
    TempDir dir;
    const std::string jsonl = big_folder(dir);
    auto one = compile_with(jsonl, 1);
    REQUIRE(one->size() == 9000);
    CHECK_FALSE(one->heading_path(0).empty());  // the manual's parts are in the file
    CHECK_FALSE(one->tables(0).empty());
    one->write(dir / "one.cvx");
    const std::string want = file_bytes(dir / "one.cvx");
    for (unsigned threads : {2u, 3u, 8u}) {
        INFO(threads);
        compile_with(jsonl, threads)->write(dir / "many.cvx");
        CHECK(file_bytes(dir / "many.cvx") == want);
    }
}

TEST_CASE("engine index: a pass on worker threads stops cleanly when a line fails or the file changes") {
    TempDir dir;
    const std::string jsonl = big_folder(dir);
    auto ix = EngineIndex::for_jsonl(jsonl, 2);
    std::size_t slow = 0;
    auto failing = [&](std::string_view, std::size_t lineno, search::EntrySink&) {
        if (++slow == 6) throw std::runtime_error("line " + std::to_string(lineno));
    };
    CHECK_THROWS_WITH_AS(ix->read_pass(failing), "line 5988", std::runtime_error);
    // Given up as the workers start (a short file whose third line fails).
    put(dir / "short.jsonl", kLines);
    for (int round = 0; round < 50; ++round) {
        auto brief = EngineIndex::for_jsonl(dir / "short.jsonl", 2);
        CHECK_THROWS_AS(brief->read_pass([](std::string_view, std::size_t, search::EntrySink&) { throw std::runtime_error("no"); }),
                        std::runtime_error);
    }
    // A pass given up before finish() (the file changed meanwhile): the next one serves.
    bool grown = false;
    auto grow = [&](std::string_view, std::size_t, search::EntrySink& sink) {
        sink.begin_entry("胎压");
        if (!grown) std::ofstream(jsonl, std::ios::binary | std::ios::app) << "{}\n";
        grown = true;
    };
    ix->reopen();
    CHECK_FALSE(ix->read_pass(grow));
    ix->reopen();
    auto pass = ix->read_pass([](std::string_view, std::size_t, search::EntrySink& sink) { sink.begin_entry("胎压"); });
    REQUIRE(pass);
    pass.reset();  // dropped without finish(): the workers stop
    auto done = compile_with(jsonl, 2);
    CHECK(done->size() == 9001);
    CHECK(exact(*done, "车门解锁方法100")[0].first == 100);
}
