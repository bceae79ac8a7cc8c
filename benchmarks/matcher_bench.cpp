// Core-only timings of the compiled global scene search: build time, memory
// per entry, and query latency for title, alias and keyword hits and misses.
//
// Usage:
//   matcher_bench [--entries N] [--seed S] [--queries-per-kind K] [--check K]
//                 [--corpus DIR | --index FILE] [--queries FILE]
//
// Without --corpus/--index the entries are synthetic: CJK words drawn from a
// Zipf-like vocabulary (so a few keywords occur in a large share of entries),
// titles made of two or three words, some entries with extra aliases.
// --corpus DIR reads DIR/manuals/*.md and DIR/manual_alias.json (the layout
// of the synthetic corpus generator) and builds the entries as the indexer
// does; --index FILE reads a scene index (one JSON object per line).
// --queries FILE adds its lines as queries of kind "file".  --check K compares
// K queries per kind against the plain linear search.
// Prints one JSON object on stdout.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/match/keywords.hpp"
#include "core/manual/manual.hpp"
#include "core/search/matcher.hpp"
#include "reference.hpp"
#include "core/text/text.hpp"
#include "core/text/unicode.hpp"

namespace mt = corvane::matcher;
using Clock = std::chrono::steady_clock;

namespace {

struct Entry {
    std::string title;
    std::vector<std::string> aliases, keywords;
};

// ---------------------------------------------------------------------------
// A small JSON reader: enough for index lines and the alias map.

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    std::string str;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;
    const Json* get(std::string_view key) const {
        for (const auto& [k, v] : members) {
            if (k == key) return &v;
        }
        return nullptr;
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string_view s) : s_(s) {}
    Json parse() {
        Json v = value();
        space();
        if (i_ != s_.size()) fail("trailing text");
        return v;
    }

private:
    [[noreturn]] void fail(const char* what) {
        throw std::runtime_error(std::string("JSON: ") + what + " at offset " + std::to_string(i_));
    }
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    unsigned hex4() {
        if (i_ + 4 > s_.size()) fail("short \\u escape");
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else fail("bad \\u escape");
        }
        return v;
    }
    std::string string() {
        if (!eat('"')) fail("expected string");
        std::string out;
        while (true) {
            if (i_ >= s_.size()) fail("unterminated string");
            const char c = s_[i_++];
            if (c == '"') return out;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (i_ >= s_.size()) fail("unterminated escape");
            const char e = s_[i_++];
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'u': {
                    char32_t cp = hex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && i_ + 6 <= s_.size() && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
                        const std::size_t save = i_;
                        i_ += 2;
                        const unsigned lo = hex4();
                        if (lo >= 0xDC00 && lo < 0xE000) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        } else {
                            i_ = save;
                        }
                    }
                    corvane::uni::append_utf8(out, cp);
                    break;
                }
                default: out.push_back(e);
            }
        }
    }
    Json value() {
        space();
        if (i_ >= s_.size()) fail("unexpected end");
        Json v;
        const char c = s_[i_];
        if (c == '"') {
            v.kind = Json::String;
            v.str = string();
        } else if (c == '[') {
            ++i_;
            v.kind = Json::Array;
            if (!eat(']')) {
                do v.items.push_back(value());
                while (eat(','));
                if (!eat(']')) fail("expected ]");
            }
        } else if (c == '{') {
            ++i_;
            v.kind = Json::Object;
            if (!eat('}')) {
                do {
                    std::string k = string();
                    if (!eat(':')) fail("expected :");
                    v.members.emplace_back(std::move(k), value());
                } while (eat(','));
                if (!eat('}')) fail("expected }");
            }
        } else {
            const std::size_t start = i_;
            while (i_ < s_.size() && std::string_view(",]} \t\r\n").find(s_[i_]) == std::string_view::npos) ++i_;
            v.str = std::string(s_.substr(start, i_ - start));
            v.kind = (v.str == "true" || v.str == "false") ? Json::Bool : v.str == "null" ? Json::Null : Json::Number;
        }
        return v;
    }
    std::string_view s_;
    std::size_t i_ = 0;
};

std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + p.string());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> strings_of(const Json* v) {
    std::vector<std::string> out;
    if (v == nullptr) return out;
    for (const Json& x : v->items) out.push_back(x.str);
    return out;
}

// ---------------------------------------------------------------------------
// Entry sources

std::vector<Entry> load_index(const std::string& path, std::size_t limit) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::vector<Entry> out;
    std::string line;
    std::size_t lineno = 0;
    while (out.size() < limit && std::getline(f, line)) {
        ++lineno;
        try {
            const Json j = JsonReader(line).parse();
            const Json* t = j.get("scene_title");
            out.push_back(Entry{t ? t->str : "", strings_of(j.get("aliases")), strings_of(j.get("keywords"))});
        } catch (const std::exception& e) {
            throw std::runtime_error(path + ":" + std::to_string(lineno) + ": " + e.what());
        }
    }
    return out;
}

std::vector<Entry> load_corpus(const std::string& dir, std::size_t limit) {
    std::map<std::string, std::vector<std::string>> alias_map;
    const std::filesystem::path alias_file = std::filesystem::path(dir) / "manual_alias.json";
    if (std::filesystem::exists(alias_file)) {
        const Json j = JsonReader(read_file(alias_file)).parse();
        for (const auto& [k, v] : j.members) alias_map[k] = strings_of(&v);
    }
    std::vector<std::filesystem::path> files;
    for (const auto& de : std::filesystem::directory_iterator(std::filesystem::path(dir) / "manuals")) {
        if (de.path().extension() == ".md") files.push_back(de.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<Entry> out;
    for (const auto& p : files) {
        if (out.size() >= limit) break;
        const std::string textv = read_file(p);
        corvane::TreeDocument doc = corvane::manual::markdown_to_tree(textv);
        for (const corvane::Scene& s : doc.children) {
            if (out.size() >= limit) break;
            Entry e{s.title, {s.title}, corvane::keywords::build(s)};
            auto it = alias_map.find(s.title);
            if (it != alias_map.end()) e.aliases.insert(e.aliases.end(), it->second.begin(), it->second.end());
            out.push_back(std::move(e));
        }
    }
    return out;
}

// Words of 2-4 CJK characters; word i is drawn with weight 1/(i+1).
struct Vocabulary {
    std::vector<std::string> words;
    std::vector<double> cdf;
    Vocabulary(std::size_t n, std::mt19937_64& rng) {
        std::uniform_int_distribution<int> len(2, 4), ch(0, 2999);
        double sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::string w;
            for (int k = len(rng); k > 0; --k) corvane::uni::append_utf8(w, 0x4E00 + ch(rng));
            words.push_back(std::move(w));
            sum += 1.0 / static_cast<double>(i + 1);
            cdf.push_back(sum);
        }
        for (double& c : cdf) c /= sum;
    }
    const std::string& draw(std::mt19937_64& rng) const {
        const double u = std::uniform_real_distribution<double>(0, 1)(rng);
        const std::size_t i = static_cast<std::size_t>(std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
        return words[std::min(i, words.size() - 1)];
    }
};

std::vector<Entry> synthesize(std::size_t n, std::mt19937_64& rng) {
    const Vocabulary vocab(50000, rng);
    std::vector<Entry> out;
    out.reserve(n);
    std::uniform_int_distribution<int> title_words(2, 3), n_keywords(15, 45), pct(0, 99);
    for (std::size_t i = 0; i < n; ++i) {
        Entry e;
        for (int k = title_words(rng); k > 0; --k) e.title += vocab.draw(rng);
        if (pct(rng) < 20) e.title += "（" + vocab.draw(rng) + "）";
        e.aliases.push_back(e.title);
        if (pct(rng) < 30) {
            for (int k = 1 + pct(rng) % 3; k > 0; --k) e.aliases.push_back(vocab.draw(rng) + vocab.draw(rng));
        }
        e.keywords.push_back(e.title);
        for (int k = n_keywords(rng); k > 0; --k) {
            const std::string& w = vocab.draw(rng);
            if (std::find(e.keywords.begin(), e.keywords.end(), w) == e.keywords.end()) e.keywords.push_back(w);
        }
        out.push_back(std::move(e));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Queries

struct Query {
    std::string kind;
    std::string text;  // raw
};

std::vector<Query> make_queries(const std::vector<Entry>& entries, std::size_t per_kind, std::mt19937_64& rng) {
    std::vector<Query> out;
    if (entries.empty()) return out;
    std::uniform_int_distribution<std::size_t> pick(0, entries.size() - 1);
    const char* prefixes[] = {"", "请问", "怎么", "如何处理"};
    const char* suffixes[] = {"", "怎么办", "有什么要求", "需要注意什么？"};
    auto wrap = [&](const std::string& core) {
        return std::string(prefixes[rng() % 4]) + core + suffixes[rng() % 4];
    };
    for (std::size_t i = 0; i < per_kind; ++i) {
        out.push_back({"title", wrap(entries[pick(rng)].title)});
        for (int tries = 0; tries < 50; ++tries) {
            const Entry& e = entries[pick(rng)];
            if (e.aliases.size() > 1) {
                out.push_back({"alias", wrap(e.aliases[1 + rng() % (e.aliases.size() - 1)])});
                break;
            }
        }
        const Entry& e = entries[pick(rng)];
        std::string kw;
        for (int k = 0; k < 3 && !e.keywords.empty(); ++k) kw += e.keywords[rng() % e.keywords.size()] + " ";
        out.push_back({"keyword", wrap(kw)});
        std::string miss;  // letters and Hangul: never in the vocabulary
        for (int k = 0; k < 8; ++k) corvane::uni::append_utf8(miss, 0xAC00 + static_cast<char32_t>(rng() % 2000));
        out.push_back({"miss", wrap(miss)});
    }
    return out;
}

struct Stats {
    std::vector<double> us;
    std::size_t hits = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - (p > 0 ? 1 : 0));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = 10000, per_kind = 500, check = 0;
    std::uint64_t seed = 7;
    std::string corpus, index, queries_file;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto arg = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "matcher_bench: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--entries") n = std::stoull(arg());
        else if (a == "--seed") seed = std::stoull(arg());
        else if (a == "--queries-per-kind") per_kind = std::stoull(arg());
        else if (a == "--check") check = std::stoull(arg());
        else if (a == "--corpus") corpus = arg();
        else if (a == "--index") index = arg();
        else if (a == "--queries") queries_file = arg();
        else {
            std::fprintf(stderr, "usage: matcher_bench [--entries N] [--seed S] [--queries-per-kind K] [--check K] "
                                 "[--corpus DIR | --index FILE] [--queries FILE]\n");
            return 2;
        }
    }
    std::mt19937_64 rng(seed);

    const auto t_load = Clock::now();
    std::vector<Entry> entries;
    std::string source = "synthetic";
    if (!index.empty()) {
        entries = load_index(index, n);
        source = "index";
    } else if (!corpus.empty()) {
        entries = load_corpus(corpus, n);
        source = "corpus";
    } else {
        entries = synthesize(n, rng);
    }
    const double load_s = std::chrono::duration<double>(Clock::now() - t_load).count();
    std::size_t uses = 0;
    for (const Entry& e : entries) uses += 1 + e.aliases.size() + e.keywords.size();

    // Build from raw texts, normalizing inside, as a binding would.
    const auto t_build = Clock::now();
    mt::IndexBuilder builder;
    for (const Entry& e : entries) {
        builder.begin_entry(e.title);
        for (const auto& a : e.aliases) builder.add_alias(a);
        for (const auto& k : e.keywords) builder.add_keyword(k);
    }
    const mt::CompiledIndex ix = builder.compile();
    const double build_s = std::chrono::duration<double>(Clock::now() - t_build).count();

    std::vector<Query> queries = make_queries(entries, per_kind, rng);
    if (!queries_file.empty()) {
        std::ifstream f(queries_file, std::ios::binary);
        std::string line;
        while (std::getline(f, line)) queries.push_back({"file", line});
    }
    std::vector<std::string> normalized;
    for (const Query& q : queries) normalized.push_back(corvane::text::normalize_text(q.text));

    // Each query three times; its time is the fastest of the three.
    std::map<std::string, Stats> stats;
    std::vector<double> best(queries.size(), 1e300);
    std::vector<std::size_t> hits(queries.size());
    for (int pass = 0; pass < 3; ++pass) {
        for (std::size_t i = 0; i < queries.size(); ++i) {
            const auto t0 = Clock::now();
            const auto r = ix.search(normalized[i], 5);
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            best[i] = std::min(best[i], us);
            hits[i] = r.size();
        }
    }
    for (std::size_t i = 0; i < queries.size(); ++i) {
        for (const std::string& k : {queries[i].kind, std::string("all")}) {
            stats[k].us.push_back(best[i]);
            stats[k].hits += hits[i] > 0;
        }
    }

    // Optional agreement check with the plain search.
    std::size_t checked = 0, mismatches = 0;
    if (check > 0) {
        std::vector<mt::EntryText> views;
        views.reserve(entries.size());
        for (const Entry& e : entries) {
            mt::EntryText v{e.title, {}, {}};
            for (const auto& a : e.aliases) v.aliases.push_back(a);
            for (const auto& k : e.keywords) v.keywords.push_back(k);
            views.push_back(std::move(v));
        }
        std::map<std::string, std::size_t> per;
        for (std::size_t i = 0; i < queries.size(); ++i) {
            if (per[queries[i].kind]++ >= check) continue;
            ++checked;
            mismatches += ix.search(normalized[i], 5) != mt::search_linear(queries[i].text, views, 5);
        }
    }

    std::printf("{\"source\": \"%s\", \"entries\": %zu, \"texts\": %zu, \"patterns\": %zu, \"nodes\": %zu, "
                "\"load_seconds\": %.3f, \"build_seconds\": %.3f, \"memory_bytes\": %zu, "
                "\"bytes_per_entry\": %.1f, \"queries\": {",
                source.c_str(), entries.size(), uses, ix.pattern_count(), ix.node_count(), load_s, build_s,
                ix.memory_bytes(), entries.empty() ? 0.0 : static_cast<double>(ix.memory_bytes()) / entries.size());
    bool first = true;
    for (const auto& [kind, s] : stats) {
        std::printf("%s\"%s\": {\"count\": %zu, \"with_hits\": %zu, \"median_us\": %.2f, \"p99_us\": %.2f, "
                    "\"max_us\": %.2f}",
                    first ? "" : ", ", kind.c_str(), s.us.size(), s.hits, percentile(s.us, 0.5), percentile(s.us, 0.99),
                    percentile(s.us, 1.0));
        first = false;
    }
    std::printf("}");
    if (check > 0) std::printf(", \"checked\": %zu, \"mismatches\": %zu", checked, mismatches);
    std::printf("}\n");
    return mismatches == 0 ? 0 : 1;
}
