#include "core/index/index_builder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "core/json/writer.hpp"
#include "core/match/keywords.hpp"
#include "core/manual/manual.hpp"
#include "core/io/atomic_file.hpp"
#include "core/io/files.hpp"
#include "core/text/unicode.hpp"

namespace corvane::index {
namespace {

constexpr std::size_t kFlushBytes = std::size_t{4} << 20;

}  // namespace

namespace {

// An index line in two parts around the map's aliases, so the lines of a
// manual can be rendered before its aliases are looked up: the head ends with
// the scene title as the first element of "aliases", the tail starts with "]".
void append_line_head(json::Buf& out, std::string_view manual_id, const TreeDocument& doc, std::size_t idx) {
    const Scene& scene = doc.children[idx];
    char number[24];
    const int digits = std::snprintf(number, sizeof number, "%zu", idx + 1);
    std::string scene_id;
    scene_id.reserve(manual_id.size() + 7 + static_cast<std::size_t>(digits));
    scene_id.append(manual_id).append("_scene_").append(number, static_cast<std::size_t>(digits));
    out.put("{\"scene_id\": ");
    out.put_string(scene_id);
    out.put(", \"manual_id\": ");
    out.put_string(manual_id);
    out.put(", \"manual_title\": ");
    out.put_string(doc.title);
    out.put(", \"doc_name\": ");
    out.put_string(doc.doc_name);
    out.put(", \"scene_title\": ");
    out.put_string(scene.title);
    out.put(", \"aliases\": [");
    out.put_string(scene.title);
}

void append_line_tail(json::Buf& out, const Scene& scene, const std::vector<std::string_view>& keywords) {
    out.put("], \"keywords\": [");
    for (std::size_t k = 0; k < keywords.size(); ++k) {
        if (k) out.put(", ");
        out.put_string(keywords[k]);
    }
    out.put("], \"scene_data\": ");
    json::append_scene(out, scene, false);
    out.put("}\n");
}

void append_aliases(json::Buf& out, const std::string* alias_elements) {
    if (alias_elements && !alias_elements->empty()) {
        out.put(", ");
        out.put(*alias_elements);
    }
}

}  // namespace

void append_index_line(json::Buf& out, std::string_view manual_id, const TreeDocument& doc, std::size_t idx,
                       const std::string* alias_elements, const std::vector<std::string_view>& keywords) {
    append_line_head(out, manual_id, doc, idx);
    append_aliases(out, alias_elements);
    append_line_tail(out, doc.children[idx], keywords);
}

namespace {

// One manual read, parsed and checked.
TreeDocument parse_manual(const RunConfig& config, const std::string& path) {
    TreeDocument doc;
    {
        const std::string text = io::read_manual_text(path);
        doc = manual::markdown_to_tree(text);
    }
    if (config.max_str_digits > 0) {
        const auto limit = static_cast<std::size_t>(config.max_str_digits);
        for (const Scene& scene : doc.children)
            for (const Step& step : scene.steps)
                if (step.digits.size() > limit) throw DigitLimitError(path, step.digits.size(), config.max_str_digits);
    }
    return doc;
}

// Temporary files of earlier runs that were killed part-way, in the folders
// this run writes to.
void remove_stale_run_temps(const RunConfig& config) {
    io::remove_stale_temps(io::folder_of(config.index_file));
    io::remove_stale_temps(config.tree_dir);
}

// One manual made ready to commit: everything that needs neither the host
// nor the files written so far.  Built on a worker thread; its tree file is
// written to a temporary file that only the commit renames into place (and
// that is removed if the run ends first).
struct Prepared {
    std::exception_ptr error;  // what reading, parsing or writing the tree file threw
    std::string path;
    std::string manual_id;
    std::unique_ptr<io::AtomicFile> tree_file;  // written, renamed into place at the commit
    json::Buf lines;                 // per scene: line head, then line tail
    std::vector<std::size_t> cuts;   // per scene: end of its head, end of its tail
    std::vector<std::string> titles;  // per scene: the title the aliases are looked up by
};

std::unique_ptr<Prepared> prepare(const RunConfig& config, const std::string& name, keywords::Builder& keywords) {
    auto p = std::make_unique<Prepared>();
    try {
        p->path = config.manual_dir + "/" + name;
        p->manual_id = name.substr(0, name.size() - 3);
        const TreeDocument doc = parse_manual(config, p->path);
        {
            json::Buf tree_text;
            json::append_tree_file(tree_text, doc);
            p->tree_file = std::make_unique<io::AtomicFile>(config.tree_dir + "/" + p->manual_id + ".json");
            p->tree_file->write(tree_text.view());
        }
        p->cuts.reserve(2 * doc.children.size());
        p->titles.reserve(doc.children.size());
        for (std::size_t i = 0; i < doc.children.size(); ++i) {
            const Scene& scene = doc.children[i];
            p->titles.push_back(scene.title);
            append_line_head(p->lines, p->manual_id, doc, i);
            p->cuts.push_back(p->lines.size());
            keywords.clear();
            keywords::feed(keywords, scene);
            append_line_tail(p->lines, scene, keywords.entries());
            p->cuts.push_back(p->lines.size());
        }
    } catch (...) {
        p->error = std::current_exception();
    }
    return p;
}

// Writes prepared manuals in order: tree file, alias lookups and index lines,
// then the progress callback, exactly as a one-thread run does.
class Committer {
public:
    Committer(const RunConfig& config, io::AtomicFile& index)
        : config_(config), index_(index), max_line_(std::min(config.max_line_bytes, io::kMaxIndexLineBytes)) {}

    void commit(Prepared& p) {
        if (p.error) std::rethrow_exception(p.error);
        p.tree_file->commit(io::Durability::cache);
        const std::string_view text = p.lines.view();
        std::size_t from = 0;
        for (std::size_t i = 0; i < p.titles.size(); ++i) {
            const std::size_t head_end = p.cuts[2 * i], tail_end = p.cuts[2 * i + 1];
            const std::string* aliases = config_.aliases ? config_.aliases->find(p.titles[i]) : nullptr;
            std::size_t bytes = tail_end - from - 1;  // "\n" excluded
            if (aliases && !aliases->empty()) bytes += 2 + aliases->size();
            if (bytes > max_line_) {
                throw EntryTooLongError(p.path, p.manual_id + "_scene_" + std::to_string(i + 1), bytes, max_line_);
            }
            lines_.put(text.substr(from, head_end - from));
            append_aliases(lines_, aliases);
            lines_.put(text.substr(head_end, tail_end - head_end));
            from = tail_end;
            if (lines_.size() >= kFlushBytes) {
                index_.write(lines_.view());
                index_.start_writeback();
                lines_.clear();
            }
        }
        total_ += p.titles.size();
        if (config_.on_manual) config_.on_manual(p.manual_id, p.titles.size());
    }

    std::size_t total() const { return total_; }
    void finish() { index_.write(lines_.view()); }

private:
    const RunConfig& config_;
    io::AtomicFile& index_;
    const std::size_t max_line_;
    json::Buf lines_;
    std::size_t total_ = 0;
};

// Worker threads preparing manuals at most `window` ahead of the one the
// calling thread commits next.  Destroying the pool stops and joins them.
class Pool {
public:
    Pool(const RunConfig& config, const std::vector<std::string>& names, unsigned threads)
        : config_(config), names_(names), window_(2 * static_cast<std::size_t>(threads)), slots_(window_) {
        workers_.reserve(threads);
        try {
            for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // No more threads to be had: the ones started do the work.
        }
    }
    // Worker threads running; with none, the caller prepares manuals itself.
    std::size_t size() const { return workers_.size(); }
    ~Pool() { stop(); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The prepared manual `i`; calls come in order 0, 1, 2, ...
    std::unique_ptr<Prepared> take(std::size_t i) {
        std::unique_lock lock(mu_);
        Slot& slot = slots_[i % window_];
        ready_.wait(lock, [&] { return slot.ready; });
        std::unique_ptr<Prepared> p = std::move(slot.prepared);
        const std::exception_ptr error = std::move(slot.error);
        slot = Slot{};
        committed_ = i + 1;
        lock.unlock();
        room_.notify_all();
        if (error) std::rethrow_exception(error);
        return p;
    }

private:
    void work() {
        keywords::Builder keywords;
        for (;;) {
            std::size_t i;
            {
                std::unique_lock lock(mu_);
                room_.wait(lock, [&] { return stopping_ || next_ >= names_.size() || next_ < committed_ + window_; });
                if (stopping_ || next_ >= names_.size()) return;
                i = next_++;
            }
            Slot done;
            try {
                done.prepared = prepare(config_, names_[i], keywords);
            } catch (...) {  // no memory even for the result
                done.error = std::current_exception();
            }
            done.ready = true;
            {
                std::lock_guard lock(mu_);
                slots_[i % window_] = std::move(done);
            }
            ready_.notify_all();
        }
    }
    void stop() {
        {
            std::lock_guard lock(mu_);
            stopping_ = true;
        }
        room_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    const RunConfig& config_;
    const std::vector<std::string>& names_;
    const std::size_t window_;
    std::mutex mu_;
    std::condition_variable room_, ready_;
    struct Slot {
        bool ready = false;
        std::unique_ptr<Prepared> prepared;
        std::exception_ptr error;
    };
    std::vector<Slot> slots_;  // manual i in slot i % window_
    std::size_t next_ = 0, committed_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

void rebuild(const RunConfig& config) {
    io::make_dirs(config.tree_dir);
    const std::vector<std::string> names = io::list_manuals(config.manual_dir);
    for (const std::string& name : names)
        if (uni::find_invalid_utf8(name) != std::string::npos) throw ManualNameError(config.manual_dir + "/" + name);
    if (names.empty()) {
        io::remove_if_exists(config.index_file);
        return;
    }
    io::AtomicFile index(config.index_file);
    Committer committer(config, index);
    unsigned threads = config.threads ? config.threads : available_cores();
    threads = static_cast<unsigned>(std::min<std::size_t>({threads, kMaxThreads, names.size()}));
    std::optional<Pool> pool;
    if (threads > 1) pool.emplace(config, names, threads);
    if (pool && pool->size() > 0) {
        for (std::size_t i = 0; i < names.size(); ++i) committer.commit(*pool->take(i));
    } else {  // one thread, or none could be started
        keywords::Builder keywords;
        for (const std::string& name : names) committer.commit(*prepare(config, name, keywords));
    }
    pool.reset();
    if (committer.total() == 0) {  // no scene at all: like a run that never appended a line
        index.discard();
        io::remove_if_exists(config.index_file);
        return;
    }
    committer.finish();
    index.commit(io::Durability::disk);
}

}  // namespace

unsigned available_cores() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

unsigned parse_thread_count(const char* text) {
    if (!text || !*text) return 0;
    unsigned long n = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || n > kMaxThreads) throw std::invalid_argument(text);
        n = n * 10 + static_cast<unsigned long>(*c - '0');
    }
    if (n < 1 || n > kMaxThreads) throw std::invalid_argument(text);
    return static_cast<unsigned>(n);
}

void run(const RunConfig& config) {
    remove_stale_run_temps(config);
    rebuild(config);
    remove_stale_run_temps(config);
}

}  // namespace corvane::index
