// The compiled index file (scene_index.cvx): the compiled matcher of a scene
// index and the byte offset of every entry's line in scene_index.jsonl, laid
// out so that a mapped file is searched in place.
//
// Layout (all integers little-endian, every section 8-byte aligned):
//
//   header (80 bytes)
//     0  magic        8 bytes  "\x89CVX\r\n\x1a\n"
//     8  version      u32      kFormatVersion
//    12  sections     u32      number of section table rows
//    16  file_size    u64      bytes of the whole file
//    24  source_size  u64      size of the JSON-lines file it was built from
//    32  source_mtime i64      its modification time, ns since the epoch
//    40  source_hash  u64      hash64() of its bytes
//    48  entries      u32      number of index entries (= lines)
//    52  reserved     u32      0
//    56  body_hash    u64      hash64() of everything after the section table
//    64  reserved     u64      0
//    72  check        u64      hash64() of bytes 0..71 and the section table
//   section table: `sections` rows of 24 bytes
//     tag u32, reserved u32 (0), offset u64, length u64 (bytes)
//   section data
//
// Readers skip sections whose tag they do not know, so other rankers can
// store their own data in the same file (tags below; docs/index-format.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/search/matcher.hpp"

namespace corvane::search {

inline constexpr std::uint32_t kFormatVersion = 5;
inline constexpr std::size_t kHeaderBytes = 80;
inline constexpr std::size_t kRowBytes = 24;
inline constexpr std::size_t kMaxSections = 256;

// A four-character section tag as a number: tag("POST").
constexpr std::uint32_t tag(const char (&t)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(t[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(t[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(t[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(t[3])) << 24;
}

// Sections of the exact ranker.
inline constexpr std::uint32_t kLabel = tag("LABL");         // u16 per trie node
inline constexpr std::uint32_t kLabelEscape = tag("LBXT");   // u32 pairs (node, label) of labels >= 0xFFFF
inline constexpr std::uint32_t kChildBase = tag("CBAS");     // u32 per 16 nodes
inline constexpr std::uint32_t kChildCount = tag("CCNT");    // u8 per node
inline constexpr std::uint32_t kChildEscape = tag("CBXT");   // u32 pairs (node, count) of counts >= 255
inline constexpr std::uint32_t kTerminal = tag("TERM");      // u64 per 64 nodes
inline constexpr std::uint32_t kTerminalRank = tag("TRNK");  // u32 per 64 nodes
inline constexpr std::uint32_t kRootBmp = tag("RBMP");       // u32 x 65536
inline constexpr std::uint32_t kOffsets = tag("POFF");       // u32 x (3 patterns + 1)
inline constexpr std::uint32_t kPostings = tag("POST");      // u32 per posting
inline constexpr std::uint32_t kKeywordRepeat = tag("KREP"); // u8 per pattern
inline constexpr std::uint32_t kLineOffsets = tag("LOFF");   // u64 x (entries + 1)

// Sections of the hybrid and fused rankers (docs/index-format.md).  A BM25
// image (bm25.hpp) may sit under any tag; these are the ones in use or
// reserved, so that images over several texts of an entry live side by side.
inline constexpr std::uint32_t kBm25Words = tag("BM25");        // BM25 image over the scene texts
inline constexpr std::uint32_t kBm25HeadingPath = tag("BMHP");  // BM25 image over the distinct heading paths
inline constexpr std::uint32_t kHeadingPathGroups = tag("HPGR"); // the entries under each of them
inline constexpr std::uint32_t kBm25Tables = tag("BMTB");       // reserved: BM25 image over table cells
inline constexpr std::uint32_t kBaseTitles = tag("BTTL");       // base titles (hybrid.hpp)
inline constexpr std::uint32_t kBaseTitleIndex = tag("BTAC");   // their compiled matcher (BaseTitles::over)
inline constexpr std::uint32_t kHeadingPath = tag("HPTH");      // per-entry heading path text
inline constexpr std::uint32_t kManualOrdinal = tag("MORD");    // u32 per entry, the manual it comes from
inline constexpr std::uint32_t kTables = tag("TABL");           // reserved: tables of the scenes

// A fast 64-bit hash of a byte string (not cryptographic).  Pieces fed in
// order give the hash of their concatenation.
class Hasher {
public:
    Hasher();
    void update(const void* data, std::size_t n);
    std::uint64_t digest() const;

private:
    void stripe(const unsigned char* p);
    std::uint64_t lane_[4];
    unsigned char buf_[32];
    std::size_t buffered_ = 0;
    std::uint64_t total_ = 0;
};
std::uint64_t hash64(const void* data, std::size_t n);

// What a compiled file was built from.
struct SourceStamp {
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t hash = 0;
};

// A section of another ranker, stored as given.
struct ExtraSection {
    std::uint32_t tag;
    std::string_view bytes;
};

// The pieces of a compiled file, in order (write them one after another).
// `line_offsets` holds entries + 1 values: the start of each line, then the
// size of the JSON-lines file.  The pieces point into `ix`, `line_offsets`,
// `extra` and `storage` (header, table and padding).
std::vector<std::string_view> compiled_pieces(const matcher::CompiledIndex& ix,
                                              std::span<const std::uint64_t> line_offsets, const SourceStamp& stamp,
                                              std::span<const ExtraSection> extra, std::string& storage);

// A compiled file read in place.  Everything points into the bytes given to
// read_compiled(), which must stay alive and unchanged.
struct CompiledView {
    SourceStamp source;
    std::uint32_t entries = 0;
    std::uint64_t body_hash = 0;            // as recorded in the header
    std::span<const std::byte> body;        // the bytes it covers
    matcher::CompiledIndex index;
    std::span<const std::uint64_t> line_offsets;  // entries + 1 values, checked as used
    // Sections of other rankers: tag -> bytes.
    std::vector<std::pair<std::uint32_t, std::span<const std::byte>>> other;

    // Bytes [begin, end) of entry i's line in the JSON-lines file (with its
    // terminator); CorruptIndex when out of order or past `file_size`.
    std::pair<std::uint64_t, std::uint64_t> line(std::uint32_t i, std::uint64_t file_size) const;
};

// Thrown for a file that is not a well-formed compiled file of this version.
struct BadCompiledFile : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads the header and section table and checks every offset and length in
// them, and the sizes of the arrays against each other (BadCompiledFile).
// Values inside the arrays are checked as they are used (CorruptIndex); the
// body hash is left to the caller (verify_body), since it reads every page.
// `bytes` must be 8-byte aligned (a mapping is).
CompiledView read_compiled(std::span<const std::byte> bytes);

// Whether the body still has the hash recorded in the header.
bool verify_body(const CompiledView& v);

// Recomputes the body hash and the header check of a file in place (tests
// and fuzzing use it to reach the checks behind them); false when the bytes
// are too short or the section table does not fit.
bool reseal(std::span<std::byte> file);

// A read-only mapping of a whole file, guarded against the file being cut
// short or rewritten in place while it is mapped.
//
// Reading a page of a shared mapping past the end of its file raises SIGBUS,
// which would end the process.  Every MappedFile registers its address range
// with a process-wide SIGBUS handler (installed at the first mapping, and
// again on top of any handler installed since, such as faulthandler's).  A
// fault inside a registered range has the faulting page replaced by a page
// of zeros (an anonymous mapping at the same address) and the mapping marked
// damaged(); the read then goes on and sees zeros.  Every reader of the
// mapping bounds what it reads whatever the bytes are, and the engine checks
// damaged() after each search, so the fault ends as a CorruptIndex error
// (the engine then recompiles from the JSON-lines file).  Faults at other
// addresses go to the handler installed before (or end the process as
// SIGBUS does by default).  When no slot is free (more than kGuardSlots
// mappings at once) the file is read into memory instead.
inline constexpr std::size_t kGuardSlots = 512;

class MappedFile {
public:
    MappedFile() = default;
    // Maps `fd` (size from fstat); throws std::system_error.
    explicit MappedFile(int fd);
    ~MappedFile();
    MappedFile(MappedFile&& o) noexcept;
    MappedFile& operator=(MappedFile&& o) noexcept;
    std::span<const std::byte> bytes() const { return {static_cast<const std::byte*>(data_), size_}; }
    // Whether a read of the mapping found its file shorter than the mapping
    // (the pages it lost read as zeros).
    bool damaged() const;
    // Read-ahead for a pass over the whole file (true) or none (false, the
    // default for searches).
    void sequential(bool on) const;

private:
    void release() noexcept;
    void* data_ = nullptr;
    std::size_t size_ = 0;
    int slot_ = -1;               // guard slot, or -1
    bool owned_copy_ = false;     // data_ is heap memory (no slot was free)
};

// Faults turned into zero pages so far in this process (tests).
std::uint64_t guarded_faults();

}  // namespace corvane::search
