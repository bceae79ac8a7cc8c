// The query engine's index: the compiled file (scene_index.cvx) mapped in
// place and checked against the JSON-lines file it was built from, or an index
// compiled from scene_index.jsonl; reading an entry's line back; writing the
// compiled file.  corvane._engine translates it for Python.
//
// An EngineIndex never changes once made, and searches may run on many threads
// at once.  It keeps its own descriptor of the JSON-lines file it matches, so a
// file renamed over it later does not change what it reads.
//
// Errors: io::IoError for the JSON-lines file, UnusableCompiledFile for a
// compiled file that cannot serve, matcher::CorruptIndex for files changed
// under a running index.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/manual/tables.hpp"
#include "core/search/bm25.hpp"
#include "core/search/compiled_file.hpp"
#include "core/search/entry_reader.hpp"
#include "core/search/hybrid.hpp"
#include "core/search/matcher.hpp"

namespace corvane::search {

// Sections of the hybrid ranker in the compiled file: the BM25 image and the
// base titles (titles without a bracketed tail).
inline constexpr std::uint32_t kBm25Section = kBm25Words;
inline constexpr std::uint32_t kBaseTitleSection = kBaseTitles;
// The fused ranker's title lengths (TitleLengths, 8 bytes an entry).
inline constexpr std::uint32_t kTitleLengthSection = tag("HTLN");
// The heading paths (each scene's ancestor headings, read from its manual in
// data/manuals when compiling) as a BM25 image of their own.
// Its documents are the distinct paths; the entries under each are in the
// path group section (DocGroups).
inline constexpr std::uint32_t kPathSection = kBm25HeadingPath;
inline constexpr std::uint32_t kPathGroupSection = kHeadingPathGroups;
// The manual each entry comes from (MORD: u32 ordinal per entry into a table
// of manual ids stored after them) and each entry's heading path as text
// (HPTH); docs/index-format.md.
inline constexpr std::uint32_t kManualSection = kManualOrdinal;
inline constexpr std::uint32_t kPathTextSection = kHeadingPath;
// Each entry's tables (TABL), read from its manual when compiling.
inline constexpr std::uint32_t kTableSection = kTables;
// Their cells as a BM25 image (the fused ranker's table field).
inline constexpr std::uint32_t kTableCellSection = kBm25Tables;

// A set of entries: bit e of words[e / 64] set = entry e is in it.
using EntrySet = std::vector<std::uint64_t>;

// The MORD and HPTH sections' bytes.
std::string encode_manual_ordinals(const std::vector<std::string>& manual_of);
std::string encode_path_texts(const std::vector<std::string>& joined_paths);
std::string encode_tables(const std::vector<std::vector<manual::Table>>& tables);

// The tables of every entry, from data_dir/manuals/<manual id>.md (none for
// entries whose manual is missing, no longer has their number of scenes, or
// whose scene there has another title).
std::vector<std::vector<manual::Table>> scene_tables(const std::string& data_dir,
                                                     const std::vector<std::string>& manual_of,
                                                     const std::vector<std::string>& title_of);

// heading_path_texts() and scene_tables() at once, each manual read once.
void manual_parts(const std::string& data_dir, const std::vector<std::string>& manual_of,
                  const std::vector<std::string>& title_of, std::vector<std::string>& paths,
                  std::vector<std::vector<manual::Table>>& tables);

// By default no compiled file has its whole-body hash checked on opening
// (verify() does that; blocks are checked as searches read them).
inline constexpr std::size_t kSyncVerifyBytes = 0;

// The compiled file cannot serve (missing, stale, another version, damaged);
// the message says why.
struct UnusableCompiledFile : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// (device, inode, size, mtime in ns) of a file.
struct FileIdentity {
    std::uint64_t dev = 0, ino = 0, size = 0;
    std::int64_t mtime_ns = 0;
};

// An owned descriptor.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
};

// Splits bytes fed in pieces into lines ending at "\n", "\r" or "\r\n" (as
// the loader reads them); on_line(content, offset of its first byte).
class LineSplitter {
public:
    using OnLine = std::function<void(std::string_view, std::uint64_t)>;
    explicit LineSplitter(OnLine on_line) : on_line_(std::move(on_line)) {}
    void feed(std::string_view piece, bool last);

private:
    OnLine on_line_;
    std::string carry_;  // the unfinished line
    std::uint64_t carry_at_ = 0;
};

struct SinkBatch;  // texts on their way to the workers (engine_index.cpp)

// The builders of one compiling pass: the exact index, BM25, base titles.
// With workers (EngineIndex::for_jsonl's thread count above 1) the exact
// index and BM25 builders each run on a thread of their own, fed the texts in
// batches in the order they were added, so they build what one thread would.
class EntrySink {
public:
    EntrySink();
    ~EntrySink();  // stops the workers (a pass abandoned)
    EntrySink(const EntrySink&) = delete;
    EntrySink& operator=(const EntrySink&) = delete;

    void begin_entry(std::string_view title);
    void add_alias(std::string_view alias);
    void add_keyword(std::string_view keyword);
    void add_text(Field field, std::string_view text);
    // An entry read by EntryReader, whole.
    void add(const EntryFields& fields);
    // The manual the current entry comes from (its "manual_id").
    void set_manual(std::string_view manual_id);

private:
    friend class EngineIndex;
    struct Feed;
    void start_workers();  // before the first entry
    // The last entry was added: the workers build the exact index and the
    // BM25 image once they have every text.
    void close();
    // Waits for the workers; rethrows what stopped one.  Then exact_built_
    // and bm25_built_ hold what they built.
    void drain();
    void record(unsigned char kind, Field field, std::string_view text);
    void replay_exact(const SinkBatch& batch);
    void replay_bm25(const SinkBatch& batch);
    std::unique_ptr<Feed> feed_;
    std::optional<matcher::CompiledIndex> exact_built_;
    std::optional<Bm25Index> bm25_built_;
    matcher::IndexBuilder exact_;
    Bm25Builder bm25_;
    std::string base_;
    std::vector<TitleLengths> lengths_;
    std::vector<std::string> manual_of_;  // per entry
    std::vector<std::string> title_of_;   // per entry
    std::string title_;
    std::uint32_t entries_ = 0;
};

// The BM25 image of the entries' heading paths: entry i's path read from
// data_dir/manuals/<manual id>.md (empty for entries whose manual is missing
// or no longer has their number of scenes).
GroupedBm25 heading_path_image(const std::string& data_dir, const std::vector<std::string>& manual_of);
// Those paths, each entry's headings joined by "\n".
std::vector<std::string> heading_path_texts(const std::string& data_dir, const std::vector<std::string>& manual_of);
// One document per entry (the table cells).
Bm25Index entry_text_image(const std::vector<std::string>& texts);

class EngineIndex {
public:
    // An entry's line the EntryReader does not take: (its bytes, its 1-based
    // number, the sink to add it to).  May throw; the pass is then abandoned.
    using SlowLine = std::function<void(std::string_view, std::size_t, EntrySink&)>;

    // Maps the compiled file `cvx` and checks its header and section table,
    // and its stamp against `jsonl`; reads nothing else of it.  Files of up to
    // verify_limit bytes (0: none) also have their body hash checked.
    static std::unique_ptr<EngineIndex> open_compiled(const std::string& cvx, const std::string& jsonl,
                                                      std::size_t verify_limit = kSyncVerifyBytes);

    // Compiling from the JSON-lines file: open it, run passes until one sees
    // the file unchanged (read_pass false: it changed meanwhile; reopen()
    // before the next), then finish().
    // `threads`: how many the pass and finish() may use (0: one per core the
    // process may run on; 1: the calling thread only).  The result is the same.
    static std::unique_ptr<EngineIndex> for_jsonl(const std::string& jsonl, unsigned threads = 1);
    void reopen();
    struct Pass {
        EntrySink sink;
        std::vector<std::uint64_t> offsets;  // start of each line, then the file's size
        SourceStamp stamp;
    };
    std::unique_ptr<Pass> read_pass(const SlowLine& slow);  // null when the file changed
    void finish(std::unique_ptr<Pass> pass);                // builds the structures

    ~EngineIndex();

    // ---- searching ------------------------------------------------------
    // Throws CorruptIndex when verify() found the body damaged or the mapped
    // file was cut short under a search (see MappedFile).
    void check_verified() const;
    // 1 checked, 0 not checked, -1 damaged.
    int verified() const;
    int wait_verified() const;  // = verified() (kept for callers of the threaded check)
    // Hashes the whole compiled file against its header (reads every page);
    // false when it differs, and searches throw CorruptIndex from then on.
    // True for an index compiled in memory.
    bool verify() const;
    // The bytes of a section of the compiled file (another ranker's, a BM25
    // image under any tag); empty when absent.
    std::span<const std::byte> section(std::uint32_t tag) const;
    // The compiled search over a normalized query.
    // `allowed` (from entries_of()): the top_k of those entries only.
    std::vector<matcher::Scored> search(std::string_view normalized, std::ptrdiff_t top_k,
                                        const EntrySet* allowed = nullptr) const;
    // The hybrid ranker over a question (synonyms expanded here); empty when
    // it refuses.
    // fused false: the two-stage cascade (title matches first, then BM25).
    std::vector<Ranked> search_hybrid(std::string_view question, const Synonyms& synonyms, std::size_t top_k,
                                      bool fused = true, const FusedWeights& weights = {},
                                      const EntrySet* allowed = nullptr) const;
    // The fused ranker's evidence for a question (fused_evidence()): every
    // candidate it would score for top_k places, with its features.
    FusedEvidence fused_evidence(std::string_view question, const Synonyms& synonyms, std::size_t top_k,
                                 const FusedWeights& weights = {}) const;

    // ---- manuals and heading paths ---------------------------------------
    // The entries of the given manual ids (ids the index does not hold add
    // none); CorruptIndex when the MORD section is damaged.
    // The last few sets asked for are kept (a service asks for the same
    // vehicles again and again).
    std::shared_ptr<const EntrySet> entries_of(std::span<const std::string> manual_ids) const;
    // The manual id of entry i ("" for an entry without one).
    const std::string& manual_of(std::uint32_t i) const;
    // Entry i's heading path, outermost heading first (empty when its
    // manual was not beside the index when it was compiled).
    std::vector<std::string> heading_path(std::uint32_t i) const;
    // Entry i's tables (empty when its manual was not beside the index).
    std::vector<manual::Table> tables(std::uint32_t i) const;

    // ---- reading lines back -----------------------------------------------
    // Bytes [begin, end) of entry i's line (i < size()); CorruptIndex when the
    // file was changed in place or the offsets do not fit it.
    std::pair<std::uint64_t, std::uint64_t> line_extent(std::uint32_t i) const;
    // Those bytes, terminator removed; CorruptIndex when the file is shorter.
    std::string read_line(std::pair<std::uint64_t, std::uint64_t> extent) const;

    // ---- writing the compiled file --------------------------------------
    void write(const std::string& cvx) const;  // io::IoError

    std::uint32_t size() const { return entries_; }
    bool from_compiled_file() const { return view_.has_value(); }
    const std::string& jsonl_path() const { return jsonl_path_; }
    const FileIdentity& jsonl_identity() const { return jsonl_; }
    const FileIdentity& cvx_identity() const { return cvx_; }
    std::size_t memory_bytes() const;

private:
    EngineIndex() = default;
    struct Hybrid;
    const Hybrid& hybrid() const;
    struct Manuals;
    const Manuals& manuals() const;
    const Manuals& members() const;  // manuals() with every entry's manual checked and listed

    std::string jsonl_path_;
    unsigned threads_ = 1;  // for compiling
    Fd jsonl_fd_;
    FileIdentity jsonl_, cvx_;
    std::shared_ptr<MappedFile> map_;
    std::optional<CompiledView> view_;
    matcher::CompiledIndex owned_index_;
    std::vector<std::uint64_t> owned_offsets_;
    const matcher::CompiledIndex* index_ = &owned_index_;
    std::span<const std::uint64_t> offsets_;
    std::uint32_t entries_ = 0;
    SourceStamp stamp_;
    std::shared_ptr<std::atomic<int>> verified_ = std::make_shared<std::atomic<int>>(1);

    // The hybrid ranker's parts, read from their sections at first use (the
    // BM25 image is checked value by value then, so an exact-only user never
    // pays for it).
    Bm25Index owned_bm25_;
    std::string owned_base_;
    std::vector<TitleLengths> owned_lengths_;
    GroupedBm25 owned_path_;
    Bm25Index owned_cells_;
    std::span<const std::byte> cell_bytes_, path_group_bytes_;
    std::span<const std::byte> bm25_bytes_, base_bytes_, length_bytes_, path_bytes_;
    bool has_base_ = false;
    mutable std::once_flag hybrid_once_;
    mutable std::unique_ptr<Hybrid> hybrid_;
    mutable std::string hybrid_error_;

    // Manual ordinals and heading path texts (decoded at first use).
    std::string owned_manual_, owned_path_text_, owned_tables_;
    std::span<const std::byte> manual_bytes_, path_text_bytes_, table_bytes_;
    mutable std::once_flag manuals_once_;
    mutable std::unique_ptr<Manuals> manuals_;
    mutable std::string manuals_error_;
    mutable std::mutex sets_mutex_;
    mutable std::vector<std::pair<std::string, std::shared_ptr<const EntrySet>>> sets_;  // most recent first
};

}  // namespace corvane::search
