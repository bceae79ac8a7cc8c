#include "core/search/engine_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "core/io/atomic_file.hpp"
#include "core/io/errors.hpp"
#include "core/io/files.hpp"
#include "core/index/index_builder.hpp"
#include "core/manual/heading_path.hpp"

namespace corvane::search {

namespace {

std::int64_t mtime_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

FileIdentity identity(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), mtime_ns(st)};
}

// pread of exactly n bytes at `at`; false when the file is shorter.
bool read_at(int fd, char* out, std::size_t n, std::uint64_t at) {
    while (n) {
        const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return false;
        out += got;
        n -= static_cast<std::size_t>(got);
        at += static_cast<std::uint64_t>(got);
    }
    return true;
}

// Reads a whole file in pieces: on_piece(bytes) for each; returns its hash.
template <class OnPiece>
std::uint64_t read_pieces(int fd, const std::string& path, OnPiece&& on_piece) {
    std::vector<char> buf(std::size_t{4} << 20);
    Hasher h;
    std::uint64_t at = 0;
    while (true) {
        const ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw io::IoError(errno, path);
        }
        if (n == 0) break;
        h.update(buf.data(), static_cast<std::size_t>(n));
        on_piece(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        at += static_cast<std::uint64_t>(n);
    }
    return h.digest();
}

// Opens the JSON-lines file (io::IoError, EISDIR for a folder).
Fd open_jsonl(const std::string& path, FileIdentity& id) {
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) throw io::IoError(errno, path);
    struct stat st;
    if (::fstat(f.fd, &st) != 0) throw io::IoError(errno, path);
    if (S_ISDIR(st.st_mode)) throw io::IoError(EISDIR, path);
    id = identity(st);
    return f;
}

}  // namespace

Fd::~Fd() {
    if (fd >= 0) ::close(fd);
}

// ---- LineSplitter ---------------------------------------------------------

void LineSplitter::feed(std::string_view piece, bool last) {
    carry_.append(piece);
    std::size_t start = 0;
    const std::size_t n = carry_.size();
    const char* base = carry_.data();
    std::size_t nl_at = 0;  // the first "\n" at or after start (n: none), once looked for
    bool nl_known = false;
    while (start < n) {
        // The first "\n", or a "\r" before it (memchr, not find_first_of:
        // that tests byte by byte).
        if (!nl_known || nl_at < start) {
            const void* nl = std::memchr(base + start, '\n', n - start);
            nl_at = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - base) : n;
            nl_known = true;
        }
        const void* cr = std::memchr(base + start, '\r', nl_at - start);
        const std::size_t term = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : nl_at;
        if (term == n) break;
        if (carry_[term] == '\r' && term + 1 == n && !last) break;  // "\r\n" may be split
        std::size_t next = term + 1;
        if (carry_[term] == '\r' && next < n && carry_[next] == '\n') ++next;
        on_line_(std::string_view(carry_).substr(start, term - start), carry_at_ + start);
        start = next;
    }
    if (last && start < n) {
        on_line_(std::string_view(carry_).substr(start), carry_at_ + start);
        start = n;
    }
    carry_.erase(0, start);
    carry_at_ += start;
}

// ---- EntrySink ------------------------------------------------------------

// Texts added to a sink, in order, for its workers: kinds kBegin (the title),
// kAlias, kKeyword, kText (of a field).  A batch holds whole entries.
struct SinkBatch {
    enum : unsigned char { kBegin, kAlias, kKeyword, kText };
    struct Op {
        std::size_t at, size;
        unsigned char kind;
        Field field;
    };
    std::string text;
    std::vector<Op> ops;
    std::string_view of(const Op& op) const { return std::string_view(text).substr(op.at, op.size); }
};

namespace {
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;  // a batch is sent once it holds this much
constexpr std::size_t kBatchesAhead = 16;                   // at most this many not yet built by both
}  // namespace

// Two workers (0: the exact index, 1: BM25) reading the same batches.
struct EntrySink::Feed {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::unique_ptr<SinkBatch>> queue;  // batches base .. sent - 1
    std::vector<std::unique_ptr<SinkBatch>> spare;  // built by both, kept for reuse
    std::size_t base = 0, sent = 0;
    std::size_t done[2] = {0, 0};
    bool closed = false, stop = false, failed = false;
    std::exception_ptr error[2];
    std::thread worker[2];
    std::unique_ptr<SinkBatch> current = fresh();

    static std::unique_ptr<SinkBatch> fresh() {
        auto b = std::make_unique<SinkBatch>();
        b->text.reserve(kBatchBytes + (kBatchBytes >> 2));
        b->ops.reserve(1024);
        return b;
    }

    void run(EntrySink& sink, int k) {
        try {
            while (true) {
                const SinkBatch* batch;
                {
                    std::unique_lock lock(m);
                    cv.wait(lock, [&] { return stop || done[k] < sent || closed; });
                    if (stop) return;
                    if (done[k] == sent) break;  // closed, every batch built
                    batch = queue[done[k] - base].get();  // stays until both have built it
                }
                if (k == 0)
                    sink.replay_exact(*batch);
                else
                    sink.replay_bm25(*batch);
                std::lock_guard lock(m);
                ++done[k];
                while (base < std::min(done[0], done[1])) {
                    spare.push_back(std::move(queue.front()));
                    queue.pop_front();
                    ++base;
                }
                cv.notify_all();
            }
            if (k == 0)
                sink.exact_built_ = sink.exact_.compile();
            else
                sink.bm25_built_ = sink.bm25_.build();
        } catch (...) {
            std::lock_guard lock(m);
            error[k] = std::current_exception();
            failed = true;
            cv.notify_all();
        }
    }

    // Sends the current batch; rethrows a worker's error.
    void send() {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return failed || sent - std::min(done[0], done[1]) < kBatchesAhead; });
        if (failed) rethrow();
        queue.push_back(std::move(current));
        ++sent;
        cv.notify_all();
        if (!spare.empty()) {
            current = std::move(spare.back());
            spare.pop_back();
            current->text.clear();
            current->ops.clear();
        } else {
            lock.unlock();
            current = fresh();
        }
    }

    void rethrow() {
        for (const std::exception_ptr& e : error)
            if (e) std::rethrow_exception(e);
    }

    void join() {
        for (std::thread& t : worker)
            if (t.joinable()) t.join();
    }

    ~Feed() {
        {
            std::lock_guard lock(m);
            stop = true;
            cv.notify_all();
        }
        join();
    }
};

EntrySink::EntrySink() = default;
EntrySink::~EntrySink() { feed_.reset(); }  // the workers stop before the builders go

void EntrySink::start_workers() {
    feed_ = std::make_unique<Feed>();
    try {
        // The workers hold the feed itself: feed_ is null while it is destroyed.
        Feed* feed = feed_.get();
        for (int k = 0; k < 2; ++k) feed->worker[k] = std::thread([this, feed, k] { feed->run(*this, k); });
    } catch (const std::system_error&) {
        feed_.reset();  // no thread to be had: all on this one
    }
}

void EntrySink::close() {
    if (!feed_) return;
    if (!feed_->current->ops.empty()) feed_->send();
    std::lock_guard lock(feed_->m);
    feed_->closed = true;
    feed_->cv.notify_all();
}

void EntrySink::drain() {
    if (!feed_) return;
    close();
    feed_->join();
    std::unique_ptr<Feed> feed = std::move(feed_);
    feed->rethrow();
}

void EntrySink::record(unsigned char kind, Field field, std::string_view text) {
    SinkBatch& b = *feed_->current;
    b.ops.push_back({b.text.size(), text.size(), kind, field});
    b.text.append(text);
}

void EntrySink::replay_exact(const SinkBatch& batch) {
    for (const SinkBatch::Op& op : batch.ops) {
        const std::string_view t = batch.of(op);
        switch (op.kind) {
            case SinkBatch::kBegin: exact_.begin_entry(t); break;
            case SinkBatch::kAlias: exact_.add_alias(t); break;
            case SinkBatch::kKeyword: exact_.add_keyword(t); break;
            default: break;
        }
    }
}

void EntrySink::replay_bm25(const SinkBatch& batch) {
    std::string_view title;  // a batch holds whole entries
    for (const SinkBatch::Op& op : batch.ops) {
        const std::string_view t = batch.of(op);
        switch (op.kind) {
            case SinkBatch::kBegin:
                title = t;
                bm25_.begin_entry();
                bm25_.add_text(kTitle, t);
                break;
            case SinkBatch::kAlias:
                if (t != title) bm25_.add_text(kAliases, t);
                break;
            case SinkBatch::kText: bm25_.add_text(op.field, t); break;
            default: break;
        }
    }
}

void EntrySink::begin_entry(std::string_view title) {
    title_.assign(title);
    if (feed_) {
        if (feed_->current->text.size() >= kBatchBytes || feed_->current->ops.size() >= kBatchBytes / 16) feed_->send();
        record(SinkBatch::kBegin, kTitle, title);
    } else {
        exact_.begin_entry(title);
        bm25_.begin_entry();
        bm25_.add_text(kTitle, title);
    }
    BaseTitles::add(base_, entries_++, title);
    lengths_.push_back(TitleLengths::of_title(title));
    manual_of_.emplace_back();
    title_of_.emplace_back(title);
}

void EntrySink::set_manual(std::string_view manual_id) {
    if (!manual_of_.empty()) manual_of_.back().assign(manual_id);
}

void EntrySink::add_alias(std::string_view alias) {
    if (feed_) {
        if (entries_ == 0) throw std::logic_error("add_alias before begin_entry");
        record(SinkBatch::kAlias, kAliases, alias);
    } else {
        exact_.add_alias(alias);
    }
    if (!lengths_.empty()) lengths_.back().add_alias(alias);
    if (!feed_ && alias != title_) bm25_.add_text(kAliases, alias);
}

void EntrySink::add_keyword(std::string_view keyword) {
    if (!feed_) return exact_.add_keyword(keyword);
    if (entries_ == 0) throw std::logic_error("add_keyword before begin_entry");
    record(SinkBatch::kKeyword, kTitle, keyword);
}

void EntrySink::add_text(Field field, std::string_view text) {
    if (!feed_) return bm25_.add_text(field, text);
    if (entries_ == 0) throw Bm25Error("add_text before begin_entry");
    if (field >= kFieldCount) throw Bm25Error("unknown field");
    record(SinkBatch::kText, field, text);
}

void EntrySink::add(const EntryFields& fields) {
    begin_entry(fields.title);
    set_manual(fields.manual_id);
    for (std::string_view a : fields.aliases) add_alias(a);
    for (std::string_view k : fields.keywords) add_keyword(k);
    for (const auto& [f, t] : fields.texts) add_text(f, t);
}

// ---- heading paths ----------------------------------------------------------

GroupedBm25 heading_path_image(const std::string& data_dir, const std::vector<std::string>& manual_of) {
    return GroupedBm25::build(heading_path_texts(data_dir, manual_of));
}

Bm25Index entry_text_image(const std::vector<std::string>& text) {
    Bm25Builder b;
    for (const std::string& t : text) {
        b.begin_entry();
        if (!t.empty()) b.add_text(kTitle, t);
    }
    return b.build();
}

namespace {

// The entries of each manual id, in index order, the ids in order of their
// first entry (entries without an id left out).
std::vector<std::pair<std::string_view, std::vector<std::size_t>>> entries_by_manual(
    const std::vector<std::string>& manual_of) {
    std::vector<std::pair<std::string_view, std::vector<std::size_t>>> out;
    std::unordered_map<std::string_view, std::size_t> at;
    for (std::size_t i = 0; i < manual_of.size(); ++i) {
        const std::string& id = manual_of[i];
        if (id.empty()) continue;
        auto [it, fresh] = at.try_emplace(id, out.size());
        if (fresh) out.emplace_back(id, std::vector<std::size_t>{});
        out[it->second].second.push_back(i);
    }
    return out;
}

// A manual id is a file stem; anything that could leave the folder is not one.
bool plain_manual_id(std::string_view id) {
    return id.find('/') == std::string_view::npos && id.find('\\') == std::string_view::npos && id[0] != '.' &&
           id.find('\0') == std::string_view::npos;
}

}  // namespace

std::vector<std::string> heading_path_texts(const std::string& data_dir, const std::vector<std::string>& manual_of) {
    // Entries of one manual, in index order, are its scenes in order.
    std::vector<std::string> text(manual_of.size());
    for (const auto& [id_view, mine] : entries_by_manual(manual_of)) {
        const std::string id(id_view);
        if (!plain_manual_id(id)) continue;
        std::vector<std::vector<std::string>> paths;
        try {
            paths = manual::scene_heading_paths(io::read_manual_text(data_dir + "/manuals/" + id + ".md"));
        } catch (const std::exception&) {
            continue;  // no manual beside the index: no paths for its scenes
        }
        if (mine.size() != paths.size()) continue;  // the manual changed since it was indexed
        for (std::size_t k = 0; k < mine.size(); ++k) text[mine[k]] = manual::join_heading_path(paths[k], "\n");
    }
    return text;
}

// ---- manual ordinals and heading path texts ---------------------------------

namespace {

void put_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i) & 0xff));
}

std::uint32_t get_u32(std::span<const std::byte> b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
}

void pad4(std::string& out) {
    while (out.size() % 4) out.push_back('\0');
}

}  // namespace

// MORD: u32 ids, u32 entries, u32 ordinal per entry, then per id u32 length
// and its bytes padded to 4.
std::string encode_manual_ordinals(const std::vector<std::string>& manual_of) {
    std::vector<std::string_view> ids;
    std::unordered_map<std::string_view, std::uint32_t> ord;
    std::vector<std::uint32_t> of;
    of.reserve(manual_of.size());
    for (const std::string& m : manual_of) {
        auto [it, fresh] = ord.try_emplace(m, static_cast<std::uint32_t>(ids.size()));
        if (fresh) ids.push_back(m);
        of.push_back(it->second);
    }
    std::string out;
    put_u32(out, static_cast<std::uint32_t>(ids.size()));
    put_u32(out, static_cast<std::uint32_t>(of.size()));
    for (std::uint32_t o : of) put_u32(out, o);
    for (std::string_view id : ids) {
        put_u32(out, static_cast<std::uint32_t>(id.size()));
        out.append(id);
        pad4(out);
    }
    return out;
}

// HPTH: u32 entries, u32 offset per entry and one more into the text after
// them (entry i's path is text[offset i, offset i+1): headings joined by "\n").
std::string encode_path_texts(const std::vector<std::string>& paths) {
    std::string out;
    put_u32(out, static_cast<std::uint32_t>(paths.size()));
    std::uint64_t at = 0;
    for (const std::string& p : paths) {
        put_u32(out, static_cast<std::uint32_t>(at));
        at += p.size();
        if (at > UINT32_MAX) throw io::IoError(EFBIG, "heading paths over 4 GiB");
    }
    put_u32(out, static_cast<std::uint32_t>(at));
    for (const std::string& p : paths) out.append(p);
    pad4(out);
    return out;
}

// TABL: u32 entries, u32 offset per entry and one more into the records
// after them; entry i's records are [offset i, offset i+1): per table u32
// line, u32 header cells, the cells, u32 rows, per row u32 cells, the cells;
// a cell is u32 length and its UTF-8 bytes.
std::string encode_tables(const std::vector<std::vector<manual::Table>>& tables) {
    std::string blob;
    std::vector<std::uint32_t> at;
    auto cells = [&](const std::vector<std::string>& cs) {
        put_u32(blob, static_cast<std::uint32_t>(cs.size()));
        for (const std::string& c : cs) {
            put_u32(blob, static_cast<std::uint32_t>(c.size()));
            blob.append(c);
        }
    };
    for (const auto& ts : tables) {
        at.push_back(static_cast<std::uint32_t>(blob.size()));
        for (const manual::Table& t : ts) {
            put_u32(blob, static_cast<std::uint32_t>(t.line));
            cells(t.header);
            put_u32(blob, static_cast<std::uint32_t>(t.rows.size()));
            for (const auto& r : t.rows) cells(r);
        }
        if (blob.size() > UINT32_MAX) throw io::IoError(EFBIG, "tables over 4 GiB");
    }
    at.push_back(static_cast<std::uint32_t>(blob.size()));
    std::string out;
    put_u32(out, static_cast<std::uint32_t>(tables.size()));
    for (std::uint32_t o : at) put_u32(out, o);
    out += blob;
    pad4(out);
    return out;
}

std::vector<std::vector<manual::Table>> scene_tables(const std::string& data_dir,
                                                     const std::vector<std::string>& manual_of,
                                                     const std::vector<std::string>& title_of) {
    std::vector<std::vector<manual::Table>> out(manual_of.size());
    for (const auto& [id_view, mine] : entries_by_manual(manual_of)) {
        const std::string id(id_view);
        if (!plain_manual_id(id)) continue;
        std::string text;
        std::size_t scenes = 0;
        std::vector<manual::SceneTables> found;
        try {
            text = io::read_manual_text(data_dir + "/manuals/" + id + ".md");
            scenes = manual::scene_heading_paths(text).size();
            found = manual::extract_tables(text);
        } catch (const std::exception&) {
            continue;
        }
        if (mine.size() != scenes) continue;
        for (manual::SceneTables& st : found) {
            if (st.scene >= mine.size()) continue;
            const std::size_t e = mine[st.scene];
            if (e < title_of.size() && title_of[e] != st.title) continue;  // not the scene indexed there
            out[e] = std::move(st.tables);
        }
    }
    return out;
}

void manual_parts(const std::string& data_dir, const std::vector<std::string>& manual_of,
                  const std::vector<std::string>& title_of, std::vector<std::string>& paths,
                  std::vector<std::vector<manual::Table>>& tables) {
    paths.assign(manual_of.size(), std::string());
    tables.assign(manual_of.size(), {});
    for (const auto& [id_view, mine] : entries_by_manual(manual_of)) {
        const std::string id(id_view);
        if (!plain_manual_id(id)) continue;
        std::string text;
        std::vector<std::vector<std::string>> scene_paths;
        try {
            text = io::read_manual_text(data_dir + "/manuals/" + id + ".md");
            scene_paths = manual::scene_heading_paths(text);
        } catch (const std::exception&) {
            continue;  // no manual beside the index: no paths or tables for its scenes
        }
        if (mine.size() != scene_paths.size()) continue;  // the manual changed since it was indexed
        for (std::size_t k = 0; k < mine.size(); ++k) paths[mine[k]] = manual::join_heading_path(scene_paths[k], "\n");
        std::vector<manual::SceneTables> found;
        try {
            found = manual::extract_tables(text);
        } catch (const std::exception&) {
            continue;
        }
        for (manual::SceneTables& st : found) {
            if (st.scene >= mine.size()) continue;
            const std::size_t e = mine[st.scene];
            if (e < title_of.size() && title_of[e] != st.title) continue;  // not the scene indexed there
            tables[e] = std::move(st.tables);
        }
    }
}

struct EngineIndex::Manuals {
    std::vector<std::string> ids;
    std::unordered_map<std::string, std::uint32_t> ordinal_of;
    std::span<const std::byte> ordinals;                // u32 per entry
    std::span<const std::byte> path_offsets, path_text;   // u32 x (entries + 1), the text
    std::span<const std::byte> table_offsets, table_records;
    // Filtered searches' part, made (and every ordinal and offset checked) at the first one.
    mutable std::once_flag members_once;
    mutable std::string members_error;
    mutable std::vector<std::uint32_t> start, members;  // entries of ordinal o: members[start[o] .. start[o+1])
    mutable bool members_ready = false;

    std::uint32_t ordinal(std::uint32_t i) const {
        const std::uint32_t o = get_u32(ordinals, std::size_t{4} * i);
        if (o >= ids.size()) throw matcher::CorruptIndex("compiled index: manual ordinals: ordinal out of range");
        return o;
    }
    // Entry i's bytes of a per-entry section, its two offsets checked.
    static std::span<const std::byte> extent(std::span<const std::byte> offsets, std::span<const std::byte> body,
                                             std::uint32_t i, const char* what) {
        const std::uint32_t b = get_u32(offsets, std::size_t{4} * i), e = get_u32(offsets, std::size_t{4} * i + 4);
        if (b > e) throw matcher::CorruptIndex(std::string("compiled index: ") + what + ": offsets out of order");
        if (e > body.size()) throw matcher::CorruptIndex(std::string("compiled index: ") + what + ": offsets past the section");
        return body.subspan(b, e - b);
    }
};

// Reading an entry's manual, path or tables checks that entry's ordinal and
// offsets only: the sections' sizes are checked here, every ordinal and offset
// at the first filtered search (members()), so a question at any index size
// reads a few pages of them.
const EngineIndex::Manuals& EngineIndex::manuals() const {
    std::call_once(manuals_once_, [&] {
        auto m = std::make_unique<Manuals>();
        const std::span<const std::byte> b = manual_bytes_;
        auto bad = [&](const std::string& what) { manuals_error_ = "compiled index: " + what; };
        if (b.size() < 8 || get_u32(b, 4) != entries_) return bad("manual ordinals: section of another entry count");
        const std::uint32_t n_ids = get_u32(b, 0);
        if ((b.size() - 8) / 4 < entries_) return bad("manual ordinals: section cut short");
        m->ordinals = b.subspan(8, std::size_t{4} * entries_);
        std::size_t at = 8 + std::size_t{4} * entries_;
        for (std::uint32_t k = 0; k < n_ids; ++k) {
            if (b.size() - at < 4) return bad("manual ids: section cut short");
            const std::uint32_t len = get_u32(b, at);
            at += 4;
            if (b.size() - at < len) return bad("manual ids: section cut short");
            m->ids.emplace_back(reinterpret_cast<const char*>(b.data() + at), len);
            if (!m->ordinal_of.try_emplace(m->ids.back(), k).second) return bad("manual ids: an id listed twice");
            at += (len + 3) / 4 * 4;
            if (at > b.size()) at = b.size();
        }
        // A per-entry section: u32 entry count, u32 offsets x (entries + 1),
        // then the bytes they point into.
        auto offset_table = [this](std::span<const std::byte> b, std::span<const std::byte>& offsets,
                                   std::span<const std::byte>& body) -> const char* {
            if (b.size() < 4 || get_u32(b, 0) != entries_ || (b.size() - 4) / 4 < std::size_t{entries_} + 1)
                return "section of another entry count";
            offsets = b.subspan(4, 4 * (std::size_t{entries_} + 1));
            body = b.subspan(4 + 4 * (std::size_t{entries_} + 1));
            return "";
        };
        if (const std::string e = offset_table(path_text_bytes_, m->path_offsets, m->path_text); !e.empty())
            return bad("heading paths: " + e);
        if (const std::string e = offset_table(table_bytes_, m->table_offsets, m->table_records); !e.empty())
            return bad("tables: " + e);
        manuals_ = std::move(m);
    });
    if (!manuals_) throw matcher::CorruptIndex(manuals_error_);
    return *manuals_;
}

const EngineIndex::Manuals& EngineIndex::members() const {
    const Manuals& m = manuals();
    std::call_once(m.members_once, [&] {
        auto bad = [&](const std::string& what) { m.members_error = "compiled index: " + what; };
        const std::size_t n_ids = m.ids.size();
        std::vector<std::uint32_t> start(n_ids + 1, 0), ordinal(entries_);
        for (std::uint32_t i = 0; i < entries_; ++i) {
            const std::uint32_t o = get_u32(m.ordinals, std::size_t{4} * i);
            if (o >= n_ids) return bad("manual ordinals: ordinal out of range");
            ordinal[i] = o;
            ++start[o + 1];
        }
        for (const auto& [offsets, body, what] :
             {std::tuple{m.path_offsets, m.path_text, "heading paths"}, std::tuple{m.table_offsets, m.table_records, "tables"}}) {
            std::uint32_t prev = 0;
            for (std::size_t i = 0; i <= entries_; ++i) {
                const std::uint32_t o = get_u32(offsets, 4 * i);
                if (o < prev) return bad(std::string(what) + ": offsets out of order");
                prev = o;
            }
            if (prev > body.size()) return bad(std::string(what) + ": offsets past the section");
        }
        for (std::size_t o = 0; o < n_ids; ++o) start[o + 1] += start[o];
        std::vector<std::uint32_t> members(entries_);
        std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
        for (std::uint32_t i = 0; i < entries_; ++i) members[fill[ordinal[i]]++] = i;
        m.start = std::move(start);
        m.members = std::move(members);
        m.members_ready = true;
    });
    if (!m.members_ready) throw matcher::CorruptIndex(m.members_error);
    return m;
}

std::shared_ptr<const EntrySet> EngineIndex::entries_of(std::span<const std::string> manual_ids) const {
    const Manuals& m = members();
    std::vector<std::string_view> ids(manual_ids.begin(), manual_ids.end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::string key;
    for (std::string_view id : ids) {
        key += std::to_string(id.size());
        key += ':';
        key.append(id);
    }
    constexpr std::size_t kKeptSets = 8;
    {
        std::lock_guard<std::mutex> lock(sets_mutex_);
        for (std::size_t i = 0; i < sets_.size(); ++i)
            if (sets_[i].first == key) {
                std::rotate(sets_.begin(), sets_.begin() + static_cast<std::ptrdiff_t>(i),
                            sets_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return sets_.front().second;
            }
    }
    auto out = std::make_shared<EntrySet>((std::size_t{entries_} + 63) / 64, 0);
    EntrySet& bits = *out;
    for (std::string_view id_view : ids) {
        const std::string id(id_view);
        const auto it = m.ordinal_of.find(id);
        if (it == m.ordinal_of.end()) continue;
        for (std::uint32_t k = m.start[it->second]; k < m.start[it->second + 1]; ++k) {
            const std::uint32_t e = m.members[k];
            bits[e / 64] |= std::uint64_t{1} << (e % 64);
        }
    }
    std::lock_guard<std::mutex> lock(sets_mutex_);
    sets_.insert(sets_.begin(), {std::move(key), out});
    if (sets_.size() > kKeptSets) sets_.pop_back();
    return out;
}

const std::string& EngineIndex::manual_of(std::uint32_t i) const {
    const Manuals& m = manuals();
    if (i >= entries_) throw std::out_of_range("entry id out of range");
    return m.ids[m.ordinal(i)];
}

std::vector<manual::Table> EngineIndex::tables(std::uint32_t i) const {
    const Manuals& m = manuals();
    if (i >= entries_) throw std::out_of_range("entry id out of range");
    m.ordinal(i);  // a damaged section fails every lookup of the entry, not only its manual's
    const std::span<const std::byte> b = Manuals::extent(m.table_offsets, m.table_records, i, "tables");
    std::size_t at = 0;
    auto u32 = [&]() {
        if (b.size() - at < 4) throw matcher::CorruptIndex("compiled index: tables: a record cut short");
        const std::uint32_t v = get_u32(b, at);
        at += 4;
        return v;
    };
    auto cells = [&](std::vector<std::string>& out) {
        const std::uint32_t n = u32();
        if (n > (b.size() - at) / 4) throw matcher::CorruptIndex("compiled index: tables: a record cut short");
        for (std::uint32_t k = 0; k < n; ++k) {
            const std::uint32_t len = u32();
            if (len > b.size() - at) throw matcher::CorruptIndex("compiled index: tables: a record cut short");
            out.emplace_back(reinterpret_cast<const char*>(b.data() + at), len);
            at += len;
        }
    };
    std::vector<manual::Table> out;
    while (at < b.size()) {
        manual::Table t;
        t.line = static_cast<int>(u32());
        cells(t.header);
        const std::uint32_t rows = u32();
        if (rows > (b.size() - at) / 4) throw matcher::CorruptIndex("compiled index: tables: a record cut short");
        t.rows.resize(rows);
        for (auto& r : t.rows) cells(r);
        out.push_back(std::move(t));
    }
    check_verified();
    return out;
}

std::vector<std::string> EngineIndex::heading_path(std::uint32_t i) const {
    const Manuals& m = manuals();
    if (i >= entries_) throw std::out_of_range("entry id out of range");
    m.ordinal(i);
    const std::span<const std::byte> bytes = Manuals::extent(m.path_offsets, m.path_text, i, "heading paths");
    const std::string_view t(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    check_verified();
    std::vector<std::string> out;
    if (t.empty()) return out;
    std::size_t at = 0;
    while (true) {
        const std::size_t nl = t.find('\n', at);
        out.emplace_back(t.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at));
        if (nl == std::string_view::npos) break;
        at = nl + 1;
    }
    return out;
}

// ---- opening --------------------------------------------------------------

struct EngineIndex::Hybrid {
    Bm25View bm25, path, cells;
    PathField path_field;  // path and the entries under each of its documents
    BaseTitles base;
    // The title lengths section, read in place one entry at a time: the
    // first question at a large index does not page in every entry's.
    std::span<const std::byte> lengths;
    mutable std::atomic<bool> lengths_read_ahead{false};  // mapped lengths asked for once
    TitleLengths length_of(std::uint32_t id) const {
        TitleLengths t;
        std::memcpy(&t, lengths.data() + std::size_t{id} * sizeof(TitleLengths), sizeof(TitleLengths));
        return t;
    }
    double score_threshold = 0;
    // The fused ranker's title matches of an expanded question: each entry
    // whose title, base title or alias occurs in it, with the length of what
    // matched.
    std::vector<TitleMatch> title_matches(const matcher::CompiledIndex& index, std::string_view expanded) const {
        std::vector<std::uint16_t> base_weighs;  // beside in_base, when the compiled base titles hold them
        const std::vector<std::uint32_t> in_base = base.matches(expanded, &base_weighs);
        std::vector<TitleMatch> out;
        const auto found = index.title_or_alias_entries(expanded, in_base);
        // A matched title's length is known from the question, a base title's
        // from its list; the table is read for the others (aliases, and base
        // titles of files that do not hold their lengths).
        auto known = [&](const matcher::TitleOrAlias& e) -> std::int64_t {
            if (e.title) return e.title_chars;
            if (base_weighs.empty()) return -1;
            const auto at = std::lower_bound(in_base.begin(), in_base.end(), e.entry);
            return at != in_base.end() && *at == e.entry ? base_weighs[static_cast<std::size_t>(at - in_base.begin())] : -1;
        };
        std::vector<std::int64_t> lengths_known;
        lengths_known.reserve(found.size());
        for (const matcher::TitleOrAlias& e : found) lengths_known.push_back(known(e));
        if (static_cast<std::size_t>(std::count(lengths_known.begin(), lengths_known.end(), -1)) >= kReadAheadMatches &&
            io::first_time(lengths_read_ahead)) {
            std::vector<std::uint32_t> ids;
            for (std::size_t i = 0; i < found.size(); ++i)
                if (lengths_known[i] < 0) ids.push_back(found[i].entry);
            io::will_need_elements(lengths.data(), sizeof(TitleLengths), ids);
        }
        for (std::size_t i = 0; i < found.size(); ++i) {
            const matcher::TitleOrAlias& e = found[i];
            const std::size_t n = lengths_known[i] >= 0
                                      ? static_cast<std::size_t>(lengths_known[i])
                                      : length_of(e.entry).matched_title(
                                            e.title, std::binary_search(in_base.begin(), in_base.end(), e.entry));
            out.push_back({e.entry, n});
        }
        return out;
    }
};

EngineIndex::~EngineIndex() = default;

std::unique_ptr<EngineIndex> EngineIndex::open_compiled(const std::string& cvx, const std::string& jsonl,
                                                        std::size_t verify_limit) {
    std::unique_ptr<EngineIndex> ix(new EngineIndex());
    ix->jsonl_path_ = jsonl;
    ix->jsonl_fd_ = open_jsonl(jsonl, ix->jsonl_);
    Fd f(::open(cvx.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) {
        if (errno == ENOENT) throw UnusableCompiledFile("missing");
        throw UnusableCompiledFile(std::string("cannot be read: ") + std::strerror(errno));
    }
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) throw UnusableCompiledFile("not a regular file");
    ix->cvx_ = identity(st);
    try {
        ix->map_ = std::make_shared<MappedFile>(f.fd);
    } catch (const std::system_error& e) {
        throw UnusableCompiledFile(std::string("cannot be mapped: ") + e.what());
    }
    try {
        ix->view_ = read_compiled(ix->map_->bytes());
    } catch (const BadCompiledFile& e) {
        throw UnusableCompiledFile(e.what());
    }
    const SourceStamp& s = ix->view_->source;
    if (s.size != ix->jsonl_.size) throw UnusableCompiledFile("stale (scene_index.jsonl has changed since)");
    if (s.mtime_ns != ix->jsonl_.mtime_ns) {
        // Same size, other time (a copy, a touch): the contents decide.
        std::uint64_t h;
        try {
            h = read_pieces(ix->jsonl_fd_.fd, jsonl, [](std::string_view) {});
        } catch (const io::IoError&) {
            h = ~s.hash;
        }
        if (h != s.hash) throw UnusableCompiledFile("stale (scene_index.jsonl has changed since)");
    }
    // The body hash reads every page: it is checked when the file is
    // written and by verify(), not on opening (the blocks a search reads are
    // checked as it reads them).  verify_limit asks for it on opening files
    // up to that size.
    ix->verified_->store(0);
    if (verify_limit && ix->view_->body.size() <= verify_limit) {
        if (!verify_body(*ix->view_)) throw UnusableCompiledFile("damaged (contents differ from their hash)");
        ix->verified_->store(1);
    }
    bool has_lengths = false;
    ix->bm25_bytes_ = ix->section(kBm25Section);
    for (const auto& [t, bytes] : ix->view_->other) {
        if (t == kBaseTitleSection) {
            ix->base_bytes_ = bytes;
            ix->has_base_ = true;
        }
        if (t == kPathSection) ix->path_bytes_ = bytes;
        if (t == kPathGroupSection) ix->path_group_bytes_ = bytes;
        if (t == kManualSection) ix->manual_bytes_ = bytes;
        if (t == kPathTextSection) ix->path_text_bytes_ = bytes;
        if (t == kTableSection) ix->table_bytes_ = bytes;
        if (t == kTableCellSection) ix->cell_bytes_ = bytes;
        if (t == kTitleLengthSection) {
            ix->length_bytes_ = bytes;
            has_lengths = true;
        }
    }
    if (ix->bm25_bytes_.empty() || ix->path_bytes_.empty() || ix->path_group_bytes_.empty() || !ix->has_base_ ||
        !has_lengths)
        throw UnusableCompiledFile("has no sections of the hybrid ranker");
    if (ix->manual_bytes_.empty() || ix->path_text_bytes_.empty() || ix->table_bytes_.empty() ||
        ix->cell_bytes_.empty())
        throw UnusableCompiledFile("has no manual ordinals, heading paths or tables");
    ix->stamp_ = s;
    ix->entries_ = ix->view_->entries;
    ix->index_ = &ix->view_->index;
    ix->offsets_ = ix->view_->line_offsets;
    return ix;
}

// ---- compiling ------------------------------------------------------------

std::unique_ptr<EngineIndex> EngineIndex::for_jsonl(const std::string& jsonl, unsigned threads) {
    std::unique_ptr<EngineIndex> ix(new EngineIndex());
    ix->jsonl_path_ = jsonl;
    ix->threads_ = threads ? threads : index::available_cores();
    ix->reopen();
    return ix;
}

void EngineIndex::reopen() { jsonl_fd_ = open_jsonl(jsonl_path_, jsonl_); }

std::unique_ptr<EngineIndex::Pass> EngineIndex::read_pass(const SlowLine& slow) {
    auto pass = std::make_unique<Pass>();
    if (threads_ > 1) pass->sink.start_workers();
    std::size_t lineno = 0;
    EntryReader fast;
    EntryFields fields;
    LineSplitter lines([&](std::string_view content, std::uint64_t start) {
        ++lineno;
        pass->offsets.push_back(start);
        if (fast.read(content, fields))  // the writer's plain shape
            pass->sink.add(fields);
        else
            slow(content, lineno, pass->sink);
    });
    std::uint64_t at = 0;
    const std::uint64_t h = read_pieces(jsonl_fd_.fd, jsonl_path_, [&](std::string_view piece) {
        at += piece.size();
        lines.feed(piece, false);
    });
    lines.feed({}, true);
    pass->sink.close();  // finish() takes what the workers build
    struct stat st;
    if (::fstat(jsonl_fd_.fd, &st) != 0) throw io::IoError(errno, jsonl_path_);
    if (static_cast<std::uint64_t>(st.st_size) != jsonl_.size || mtime_ns(st) != jsonl_.mtime_ns || at != jsonl_.size)
        return nullptr;
    pass->offsets.push_back(at);
    pass->stamp = SourceStamp{jsonl_.size, jsonl_.mtime_ns, h};
    return pass;
}

namespace {

// Runs tasks on up to `threads` threads (the calling one among them), each
// task once, in the order given as threads come free; rethrows the error of
// the first task (in that order) that failed.
void run_tasks(unsigned threads, std::vector<std::function<void()>>& tasks) {
    std::vector<std::exception_ptr> errors(tasks.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < tasks.size();) {
            try {
                tasks[i]();
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t want = std::min<std::size_t>(threads, tasks.size());
    for (std::size_t t = 1; t < want; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads: the rest run here
        }
    }
    work();
    for (std::thread& t : helpers) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace

void EngineIndex::finish(std::unique_ptr<Pass> pass) {
    EntrySink& sink = pass->sink;
    const std::string data_dir = io::folder_of(jsonl_path_);
    // The manuals' parts here, while the workers (if any) finish building the
    // exact index and BM25 image; without workers those are tasks too.
    std::vector<std::function<void()>> tasks;
    const bool fed = sink.feed_ != nullptr;
    if (!fed) tasks.emplace_back([&] { owned_bm25_ = sink.bm25_.build(); });
    tasks.emplace_back([&] {
        std::vector<std::string> paths;
        std::vector<std::vector<manual::Table>> tables;
        manual_parts(data_dir, sink.manual_of_, sink.title_of_, paths, tables);
        owned_path_ = GroupedBm25::build(paths);
        owned_path_text_ = encode_path_texts(paths);
        owned_tables_ = encode_tables(tables);
        // The cells as one text per entry: header cells, then each row.
        std::vector<std::string> cells(tables.size());
        for (std::size_t i = 0; i < tables.size(); ++i)
            for (const manual::Table& t : tables[i]) {
                for (const std::string& c : t.header) cells[i] += c + " ";
                cells[i] += "\n";
                for (const auto& r : t.rows) {
                    for (const std::string& c : r) cells[i] += c + " ";
                    cells[i] += "\n";
                }
            }
        owned_cells_ = entry_text_image(cells);
        owned_manual_ = encode_manual_ordinals(sink.manual_of_);
    });
    if (!fed) tasks.emplace_back([&] { owned_index_ = sink.exact_.compile(); });
    if (fed) {
        std::exception_ptr failed;
        try {
            tasks[0]();
        } catch (...) {
            failed = std::current_exception();
        }
        sink.drain();  // the workers' errors first: they are about earlier lines
        if (failed) std::rethrow_exception(failed);
        owned_index_ = std::move(*sink.exact_built_);
        owned_bm25_ = std::move(*sink.bm25_built_);
    } else {
        run_tasks(threads_, tasks);
    }
    path_bytes_ = owned_path_.image.bytes();
    path_group_bytes_ = owned_path_.group_bytes();
    cell_bytes_ = owned_cells_.bytes();
    owned_base_ = std::move(sink.base_);
    owned_lengths_ = std::move(sink.lengths_);
    table_bytes_ = std::as_bytes(std::span<const char>(owned_tables_));
    manual_bytes_ = std::as_bytes(std::span<const char>(owned_manual_));
    path_text_bytes_ = std::as_bytes(std::span<const char>(owned_path_text_));
    length_bytes_ = std::as_bytes(std::span<const TitleLengths>(owned_lengths_));
    owned_offsets_ = std::move(pass->offsets);
    entries_ = static_cast<std::uint32_t>(owned_index_.size());
    stamp_ = pass->stamp;
    index_ = &owned_index_;
    offsets_ = owned_offsets_;
    bm25_bytes_ = owned_bm25_.bytes();
    base_bytes_ = std::as_bytes(std::span<const char>(owned_base_));
    has_base_ = true;
}

// ---- searching ------------------------------------------------------------

void EngineIndex::check_verified() const {
    if (map_ && map_->damaged())
        throw matcher::CorruptIndex("compiled index: the file was cut short or rewritten in place while in use");
    if (verified_->load(std::memory_order_acquire) < 0)
        throw matcher::CorruptIndex("compiled index: damaged (contents differ from their hash)");
}

int EngineIndex::verified() const {
    if (map_ && map_->damaged()) return -1;
    return verified_->load(std::memory_order_acquire);
}

int EngineIndex::wait_verified() const { return verified(); }

bool EngineIndex::verify() const {
    if (!view_) return true;  // compiled in memory: nothing to check
    map_->sequential(true);
    const bool ok = verify_body(*view_) && !map_->damaged();
    map_->sequential(false);
    verified_->store(ok ? 1 : -1, std::memory_order_release);
    return ok;
}

std::span<const std::byte> EngineIndex::section(std::uint32_t tag) const {
    if (!view_) return tag == kBm25Section ? bm25_bytes_ : std::span<const std::byte>{};
    for (const auto& [t, bytes] : view_->other)
        if (t == tag) return bytes;
    return {};
}

std::vector<matcher::Scored> EngineIndex::search(std::string_view normalized, std::ptrdiff_t top_k,
                                                 const EntrySet* allowed) const {
    if (allowed) {
        if (entries_ == 0 || std::none_of(allowed->begin(), allowed->end(), [](std::uint64_t w) { return w != 0; }))
            return {};
        return index_->search(normalized, top_k, *allowed);
    }
    return index_->search(normalized, top_k);
}

const EngineIndex::Hybrid& EngineIndex::hybrid() const {
    std::call_once(hybrid_once_, [&] {
        auto h = std::make_unique<Hybrid>();
        try {
            h->bm25 = Bm25View::open(bm25_bytes_);  // blocks are checked as searches decode them
            if (h->bm25.size() != entries_) throw Bm25Error("BM25 section of another entry count");
            h->path = Bm25View::open(path_bytes_);
            h->path_field = {&h->path, DocGroups::open(path_group_bytes_)};
            if (h->path_field.groups.entries() != entries_ || h->path_field.groups.docs() != h->path.size())
                throw Bm25Error("heading path sections of another entry count");
            h->cells = Bm25View::open(cell_bytes_);
            if (h->cells.size() != entries_) throw Bm25Error("table cell section of another entry count");
            // Files written since the base titles' matcher is stored read it
            // in place; older ones compile it from the titles.
            const std::span<const std::byte> compiled = section(kBaseTitleIndex);
            h->base = compiled.empty() ? BaseTitles::decode(base_bytes_, entries_) : BaseTitles::over(compiled, entries_);
            if (length_bytes_.size() != std::size_t{entries_} * sizeof(TitleLengths))
                throw Bm25Error("title lengths: section of another entry count");
            h->lengths = length_bytes_;
        } catch (const Bm25Error& e) {
            hybrid_error_ = std::string("compiled index: ") + e.what();
            return;
        }
        h->score_threshold = score_threshold_for(HybridParams{}.threshold, entries_);
        hybrid_ = std::move(h);
    });
    if (!hybrid_) throw matcher::CorruptIndex(hybrid_error_);
    return *hybrid_;
}

FusedEvidence EngineIndex::fused_evidence(std::string_view question, const Synonyms& synonyms, std::size_t top_k,
                                          const FusedWeights& weights) const {
    const Hybrid& h = hybrid();
    if (top_k == 0 || entries_ == 0) return {};
    try {
        const FusedQuery fq = read_fused_query(question, synonyms, h.bm25);
        const std::vector<TitleMatch> titles = h.title_matches(*index_, fq.expanded);
        return search::fused_evidence(fq, titles, h.bm25, weights, top_k, &h.path_field, nullptr, &h.cells);
    } catch (const Bm25Corrupt& e) {
        throw matcher::CorruptIndex(std::string("compiled index: ") + e.what());
    }
}

std::vector<Ranked> EngineIndex::search_hybrid(std::string_view question, const Synonyms& synonyms,
                                               std::size_t top_k, bool fused, const FusedWeights& weights,
                                               const EntrySet* allowed) const {
    const Hybrid& h = hybrid();
    const DocFilter filter{allowed ? std::span<const std::uint64_t>(*allowed) : std::span<const std::uint64_t>{}};
    const DocFilter* only = allowed ? &filter : nullptr;
    try {
    if (fused) {
        if (top_k == 0 || entries_ == 0) return {};
        const FusedQuery fq = read_fused_query(question, synonyms, h.bm25, weights.partial > 0);
        // The walk's pages come in while the titles are matched.
        h.bm25.prefetch(fq.terms);
        h.bm25.prefetch(fq.homophones);
        const std::vector<TitleMatch> titles = h.title_matches(*index_, fq.expanded);
        std::vector<TitleMatch> kept;
        if (!only) return fuse(fq, titles, h.bm25, weights, top_k, &h.path_field, nullptr, nullptr, &h.cells);
        // Filtered: the allowed entries' ranking, refused when the whole
        // index's would be (a question is answerable or not whatever
        // manuals the asker may read), so that the result is the unfiltered
        // ranking with the other manuals' entries taken out.
        for (const TitleMatch& t : titles)
            if (only->allows(t.entry)) kept.push_back(t);
        bool refused = false;
        std::vector<Ranked> out = fuse(fq, kept, h.bm25, weights, top_k, &h.path_field, only, &refused, &h.cells);
        if (refused && (out.empty() || fuse(fq, titles, h.bm25, weights, top_k, &h.path_field, nullptr, nullptr, &h.cells).empty()))
            return {};
        return out;
    }
    const std::string q = synonyms.expand(question);
    const std::vector<std::uint32_t> base = h.base.matches(q);
    std::vector<std::pair<std::uint32_t, int>> first, kept;
    for (const auto& [id, score] : index_->title_or_alias_matches(q, base)) first.emplace_back(id, score);
    const std::vector<std::string> terms = hybrid_terms(q);
    if (!only) return merge_stages(std::move(first), terms, h.bm25, h.score_threshold, top_k);
    for (const auto& f : first)
        if (only->allows(f.first)) kept.push_back(f);
    bool refused = false;
    std::vector<Ranked> out = merge_stages(std::move(kept), terms, h.bm25, h.score_threshold, top_k, only, &refused);
    if (refused && (out.empty() || merge_stages(std::move(first), terms, h.bm25, h.score_threshold, 1).empty()))
        return {};
    return out;
    } catch (const Bm25Corrupt& e) {
        // A block that fails its check as a search decodes it (a damaged
        // file, or one cut short under the mapping), in either form.
        throw matcher::CorruptIndex(std::string("compiled index: ") + e.what());
    }
}

// ---- lines ----------------------------------------------------------------

std::pair<std::uint64_t, std::uint64_t> EngineIndex::line_extent(std::uint32_t i) const {
    // A file rewritten in place (not renamed over) no longer matches.
    struct stat st;
    if (::fstat(jsonl_fd_.fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != jsonl_.size ||
        mtime_ns(st) != jsonl_.mtime_ns)
        throw matcher::CorruptIndex("scene_index.jsonl was changed in place since it was opened");
    const std::uint64_t b = offsets_[i], e = offsets_[i + 1];
    if (b >= e || e > jsonl_.size) throw matcher::CorruptIndex("compiled index: line offsets out of range");
    return {b, e};
}

std::string EngineIndex::read_line(std::pair<std::uint64_t, std::uint64_t> extent) const {
    std::string bytes(static_cast<std::size_t>(extent.second - extent.first), '\0');
    if (!read_at(jsonl_fd_.fd, bytes.data(), bytes.size(), extent.first))
        throw matcher::CorruptIndex("scene_index.jsonl is shorter than when it was indexed");
    check_verified();
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
    return bytes;
}

// ---- writing --------------------------------------------------------------

void EngineIndex::write(const std::string& cvx) const {
    const std::vector<std::uint64_t> offsets(offsets_.begin(), offsets_.end());
    io::remove_stale_temps(io::folder_of(cvx));
    io::AtomicFile out(cvx);
    std::string storage;
    // With every entry's title lengths, each base title's stored beside its list.
    std::span<const TitleLengths> lengths;
    if (length_bytes_.size() == std::size_t{entries_} * sizeof(TitleLengths))
        lengths = {reinterpret_cast<const TitleLengths*>(length_bytes_.data()), entries_};
    const std::string base_index = BaseTitles::decode(base_bytes_, entries_).encode_compiled(lengths);
    const ExtraSection extra[] = {
        {kBm25Section, std::string_view(reinterpret_cast<const char*>(bm25_bytes_.data()), bm25_bytes_.size())},
        {kBaseTitleSection, std::string_view(reinterpret_cast<const char*>(base_bytes_.data()), base_bytes_.size())},
        {kPathSection, std::string_view(reinterpret_cast<const char*>(path_bytes_.data()), path_bytes_.size())},
        {kPathGroupSection,
         std::string_view(reinterpret_cast<const char*>(path_group_bytes_.data()), path_group_bytes_.size())},
        {kTitleLengthSection,
         std::string_view(reinterpret_cast<const char*>(length_bytes_.data()), length_bytes_.size())},
        {kManualSection, std::string_view(reinterpret_cast<const char*>(manual_bytes_.data()), manual_bytes_.size())},
        {kPathTextSection,
         std::string_view(reinterpret_cast<const char*>(path_text_bytes_.data()), path_text_bytes_.size())},
        {kTableSection, std::string_view(reinterpret_cast<const char*>(table_bytes_.data()), table_bytes_.size())},
        {kTableCellSection, std::string_view(reinterpret_cast<const char*>(cell_bytes_.data()), cell_bytes_.size())},
        {kBaseTitleIndex, base_index}};
    for (std::string_view piece : compiled_pieces(*index_, offsets, stamp_, extra, storage)) out.write(piece);
    // The file as the disk gives it back must have the hash it was written
    // with, before it replaces anything.
    {
        Fd back(::open(out.temp_path().c_str(), O_RDONLY | O_CLOEXEC));
        bool ok = back.fd >= 0;
        if (ok) {
            try {
                MappedFile m(back.fd);
                ok = verify_body(read_compiled(m.bytes())) && !m.damaged();
            } catch (const std::exception&) {
                ok = false;
            }
        }
        if (!ok) {
            out.discard();
            throw io::IoError(EIO, cvx);
        }
    }
    out.commit(io::Durability::disk);
}

std::size_t EngineIndex::memory_bytes() const {
    return index_->memory_bytes() + owned_offsets_.capacity() * 8 + owned_bm25_.memory_bytes() + owned_base_.capacity() +
           8 * owned_lengths_.capacity() + owned_path_.memory_bytes() + owned_cells_.memory_bytes() + (hybrid_ ? hybrid_->base.memory_bytes() : 0) + owned_manual_.capacity() +
           owned_path_text_.capacity() + owned_tables_.capacity() + (manuals_ && manuals_->members_ready ? 8 * std::size_t{entries_} : 0);
}

}  // namespace corvane::search
