// io/: temp names, atomic replacement, the stale-temp sweep, the user-file
// policy (links, read-only files and folders), text reading and line limits.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/io/atomic_file.hpp"
#include "core/io/files.hpp"

using namespace corvane;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/corvane-io-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() {
        const std::string cmd = "chmod -R u+w '" + path + "' && rm -rf '" + path + "'";
        (void)std::system(cmd.c_str());
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    while (const dirent* e = ::readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.insert(e->d_name);
    ::closedir(d);
    return out;
}

constexpr long kDead = 999999999;  // above any pid_max

}  // namespace

TEST_CASE("temp names: short whatever the target, and recognised") {
    const std::string name = io::temp_name(std::string(255, 'x'), 4194304, 18446744073709551615UL);
    CHECK(name.size() < 64);
    long pid = 0;
    CHECK(io::parse_temp_name(name, pid));
    CHECK(pid == 4194304);
    CHECK(io::temp_name("a.json", 1, 0) != io::temp_name("b.json", 1, 0));
    for (const char* other : {".cvtmp-0123abcd-12", ".cvtmp-0123ABCD-12-0", ".cvtmp-0123abc-12-0", ".cvtmp-0123abcd-1x-0",
                              ".cvtmp-0123abcd--0", "cvtmp-0123abcd-12-0", ".a.json.tmp-12-0", ".cvtmp-0123abcd-0-0"})
        CHECK_MESSAGE(!io::parse_temp_name(other, pid), other);
}

TEST_CASE("replace_file: new content, permissions kept, no temp left") {
    TempDir dir;
    const std::string target = dir / "index.jsonl";
    io::replace_file(target, "one\n");
    ::chmod(target.c_str(), 0640);
    io::replace_file(target, "two\n", io::Durability::disk);
    CHECK(io::read_file(target) == "two\n");
    struct stat st;
    REQUIRE(::stat(target.c_str(), &st) == 0);
    CHECK((st.st_mode & 0777) == 0640);
    CHECK(names(dir.path) == std::set<std::string>{"index.jsonl"});
    {
        io::AtomicFile f(target);
        f.write("half");
        CHECK(names(dir.path).size() == 2);
    }  // dropped uncommitted
    CHECK(io::read_file(target) == "two\n");
    CHECK(names(dir.path).size() == 1);
    // A 255-byte target name still gets a temporary file.
    const std::string longest = dir / std::string(255, 'n');
    io::replace_file(longest, "x");
    CHECK(io::read_file(longest) == "x");
}

TEST_CASE("sweep removes the temps of dead owners only") {
    TempDir dir;
    const std::string stale = io::temp_name("a", kDead, 3), live = io::temp_name("a", ::getpid(), 9),
                      parent = io::temp_name("a", ::getppid(), 1);
    for (const std::string& n : {stale, live, parent, std::string(".a.tmp-999999999-0"), std::string("keep.json")})
        put(dir / n, "x");
    ::mkdir((dir / io::temp_name("d", kDead, 0)).c_str(), 0700);  // not a regular file
    CHECK(io::remove_stale_temps(dir.path) == 1);
    CHECK(names(dir.path).count(stale) == 0);
    CHECK(names(dir.path).size() == 5);
    CHECK(io::remove_stale_temps(dir / "missing") == 0);
}

TEST_CASE("replace_user_file: links followed, refusals, read-only folder") {
    TempDir dir;
    const std::string real = dir / "real.md", link = dir / "link.md";
    put(real, "old");
    REQUIRE(::symlink("real.md", link.c_str()) == 0);
    put(dir / io::temp_name("real.md", kDead, 0), "half");
    io::replace_user_file(link, "new");
    CHECK(io::read_file(real) == "new");
    CHECK(names(dir.path) == std::set<std::string>{"real.md", "link.md"});  // link kept, stale temp swept

    if (::geteuid() != 0) {  // root may write anything: these refusals do not apply
        ::chmod(real.c_str(), 0444);
        try {
            io::replace_user_file(link, "x");
            FAIL("a read-only file was replaced");
        } catch (const io::IoError& e) {
            CHECK(e.err == EACCES);
            CHECK(e.path == link);
        }
        CHECK(io::read_file(real) == "new");
        ::chmod(real.c_str(), 0644);

        const std::string box = dir / "box";
        ::mkdir(box.c_str(), 0755);
        put(box + "/p.md", "old");
        struct stat before;
        ::stat((box + "/p.md").c_str(), &before);
        ::chmod(box.c_str(), 0555);
        io::replace_user_file(box + "/p.md", "rewritten in place");
        struct stat after;
        ::stat((box + "/p.md").c_str(), &after);
        CHECK(io::read_file(box + "/p.md") == "rewritten in place");
        CHECK(before.st_ino == after.st_ino);
        CHECK_THROWS_AS(io::replace_user_file(box + "/new.md", "x"), io::IoError);  // nowhere to create it
    }
}

TEST_CASE("text reading: BOM, newlines, UTF-8, line limits") {
    TempDir dir;
    put(dir / "m.md", "\xEF\xBB\xBF" "a\r\nb\rc\n");
    CHECK(io::read_manual_text(dir / "m.md") == "a\nb\nc\n");
    put(dir / "bad.md", "ok\xff");
    CHECK_THROWS_AS(io::read_manual_text(dir / "bad.md"), io::DecodeError);
    CHECK(io::translate_newlines("x\r\r\ny\r") == "x\n\ny\n");
    CHECK_THROWS_AS(io::read_file(dir / "none"), io::IoError);

    put(dir / "lines", "12345\r\n123456\n1234567\r");
    CHECK(io::read_file_with_line_limit(dir / "lines", 7).size() == 22);
    try {
        io::read_file_with_line_limit(dir / "lines", 6);
        FAIL("an over-long line was accepted");
    } catch (const io::LineTooLongError& e) {
        CHECK(e.lineno == 3);  // "\r\n" ends one line, not two
    }
    io::LineMeter meter(4);
    CHECK(meter.feed("ab", 2));
    CHECK(meter.feed("c\r", 2));
    CHECK(meter.feed("\nabcd", 5));
    CHECK(meter.lineno == 2);
    CHECK_FALSE(meter.feed("e", 1));
}

TEST_CASE("manual listing and folders") {
    TempDir dir;
    for (const char* n : {"b.md", "a.md", ".hidden.md", "notes.txt", "x.md.bak"}) put(dir / n, "");
    ::mkdir((dir / "d.md").c_str(), 0755);
    CHECK(io::list_manuals(dir.path) == std::vector<std::string>{"a.md", "b.md"});
    CHECK(io::list_manuals(dir / "missing").empty());
    io::make_dirs(dir / "p/q/r");
    io::make_dirs(dir / "p/q/r");
    io::append_file(dir / "p/q/r/f", "1");
    io::append_file(dir / "p/q/r/f", "2");
    CHECK(io::read_file(dir / "p/q/r/f") == "12");
    io::remove_if_exists(dir / "p/q/r/f");
    io::remove_if_exists(dir / "p/q/r/f");
    CHECK_THROWS_AS(io::make_dirs(dir / "a.md/sub"), io::IoError);
}

TEST_CASE("for_each_line: the loader's terminators, with and without carriage returns") {
    struct Case {
        std::string data;
        std::vector<std::string> lines;   // contents
        std::vector<std::size_t> nexts;   // start of the following line
    };
    const Case cases[] = {
        {"", {}, {}},
        {"a", {"a"}, {1}},
        {"a\nb\n", {"a", "b"}, {2, 4}},
        {"\n\n", {"", ""}, {1, 2}},
        {"a\r\nb\rc\n\rd", {"a", "b", "c", "", "d"}, {3, 5, 7, 8, 9}},
        {"x\r", {"x"}, {2}},
    };
    for (const Case& c : cases) {
        INFO(c.data);
        std::vector<std::string> lines;
        std::vector<std::size_t> nexts;
        io::for_each_line(c.data, [&](std::size_t start, std::size_t end, std::size_t next) {
            lines.emplace_back(c.data.substr(start, end - start));
            nexts.push_back(next);
        });
        CHECK(lines == c.lines);
        CHECK(nexts == c.nexts);
    }
}

TEST_CASE("will_need_elements: advice over a mapped file and plain memory, never a fault") {
    // Sparse and dense sets, an element across a page end, the last byte of
    // the range: advice only, so nothing may throw, crash or change memory.
    const std::size_t n = 1 << 16;  // 256 KiB of 4-byte elements
    std::vector<std::uint32_t> plain(n, 7);
    const std::vector<std::vector<std::uint32_t>> sets = {
        {}, {0}, {static_cast<std::uint32_t>(n - 1)}, {1, 2, 3, 1024, 1025, 40000},
        [&] { std::vector<std::uint32_t> all; for (std::uint32_t i = 0; i < n; i += 3) all.push_back(i); return all; }(),
    };
    for (const auto& at : sets) corvane::io::will_need_elements(plain.data(), sizeof(std::uint32_t), at);
    // 6-byte elements: some straddle two pages.
    std::vector<char> odd(6 * 5000, 'x');
    corvane::io::will_need_elements(odd.data(), 6, std::vector<std::uint32_t>{682, 683, 1365, 4999});
    CHECK(std::count(plain.begin(), plain.end(), 7u) == static_cast<long>(n));
    CHECK(std::count(odd.begin(), odd.end(), 'x') == static_cast<long>(odd.size()));

    TempDir dir;
    const std::string path = dir / "will_need.bin";
    {
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(plain.data()), static_cast<std::streamsize>(n * 4));
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    REQUIRE(fd >= 0);
    void* m = ::mmap(nullptr, n * 4, PROT_READ, MAP_SHARED, fd, 0);
    REQUIRE(m != MAP_FAILED);
    for (const auto& at : sets) corvane::io::will_need_elements(m, sizeof(std::uint32_t), at);
    CHECK(static_cast<const std::uint32_t*>(m)[n - 1] == 7u);
    ::munmap(m, n * 4);
    ::close(fd);
}
