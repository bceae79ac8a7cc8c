#include "core/search/compiled_file.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <mutex>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace corvane::search {
namespace {

static_assert(std::endian::native == std::endian::little, "the compiled file is read in place: little-endian only");

constexpr unsigned char kMagic[8] = {0x89, 'C', 'V', 'X', '\r', '\n', 0x1a, '\n'};
constexpr char kZeros[8] = {};

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ull;

inline std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint32_t load32(const std::byte* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline std::uint64_t load64(const std::byte* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint64_t mix(std::uint64_t lane, std::uint64_t w) { return std::rotl(lane + w * kP2, 31) * kP1; }
inline std::uint64_t avalanche(std::uint64_t h) {
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

void put32(std::string& out, std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void put64(std::string& out, std::uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }

template <class T>
std::string_view bytes_of(std::span<const T> s) {
    return {reinterpret_cast<const char*>(s.data()), s.size_bytes()};
}

// Section `t` as an array of T: the whole length must be a multiple of T.
template <class T>
std::span<const T> as_array(std::span<const std::byte> s, const char* name) {
    if (s.size() % sizeof(T) != 0) throw BadCompiledFile(std::string("section ") + name + " has a partial element");
    return {reinterpret_cast<const T*>(s.data()), s.size() / sizeof(T)};
}

}  // namespace

// ---------------------------------------------------------------------------
// Hash: four lanes over 32-byte stripes, then the tail.

Hasher::Hasher() : lane_{kP1 + kP2, kP2, 0, 0 - kP1} {}

void Hasher::stripe(const unsigned char* p) {
    for (int i = 0; i < 4; ++i) lane_[i] = mix(lane_[i], load64(p + 8 * i));
}

void Hasher::update(const void* data, std::size_t n) {
    if (n == 0) return;  // (data may be null then)
    const auto* p = static_cast<const unsigned char*>(data);
    total_ += n;
    if (buffered_) {
        const std::size_t take = std::min(n, 32 - buffered_);
        std::memcpy(buf_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        n -= take;
        if (buffered_ < 32) return;
        stripe(buf_);
        buffered_ = 0;
    }
    for (; n >= 32; p += 32, n -= 32) stripe(p);
    if (n) std::memcpy(buf_, p, n);
    buffered_ = n;
}

std::uint64_t Hasher::digest() const {
    std::uint64_t h = std::rotl(lane_[0], 1) + std::rotl(lane_[1], 7) + std::rotl(lane_[2], 12) + std::rotl(lane_[3], 18);
    for (std::uint64_t lane : lane_) h = (h ^ mix(0, lane)) * kP1 + kP3;
    h += total_;
    std::size_t i = 0;
    for (; i + 8 <= buffered_; i += 8) h = std::rotl(h ^ mix(0, load64(buf_ + i)), 27) * kP1 + kP3;
    for (; i < buffered_; ++i) h = std::rotl(h ^ (buf_[i] * kP3), 11) * kP1;
    return avalanche(h);
}

std::uint64_t hash64(const void* data, std::size_t n) {
    Hasher h;
    h.update(data, n);
    return h.digest();
}

// ---------------------------------------------------------------------------
// Writing

std::vector<std::string_view> compiled_pieces(const matcher::CompiledIndex& ix,
                                              std::span<const std::uint64_t> line_offsets, const SourceStamp& stamp,
                                              std::span<const ExtraSection> extra, std::string& storage) {
    if (line_offsets.size() != ix.size() + 1) throw std::invalid_argument("compiled file: one line offset per entry, plus the end");
    const matcher::CompiledIndex::Arrays& a = ix.arrays();
    std::vector<std::pair<std::uint32_t, std::string_view>> sections = {
        {kLabel, bytes_of(a.label)},          {kLabelEscape, bytes_of(a.label_escape)},
        {kChildBase, bytes_of(a.child_base)}, {kChildCount, bytes_of(a.child_count)},
        {kChildEscape, bytes_of(a.child_escape)}, {kTerminal, bytes_of(a.terminal)},
        {kTerminalRank, bytes_of(a.terminal_rank)}, {kRootBmp, bytes_of(a.root_bmp)},
        {kOffsets, bytes_of(a.offsets)},      {kPostings, bytes_of(a.postings)},
        {kKeywordRepeat, bytes_of(a.keyword_repeat)}, {kLineOffsets, bytes_of(line_offsets)},
    };
    for (const ExtraSection& e : extra) {
        for (const auto& [t, b] : sections) {
            if (t == e.tag) throw std::invalid_argument("compiled file: section tag used twice");
        }
        sections.emplace_back(e.tag, e.bytes);
    }
    if (sections.size() > kMaxSections) throw std::invalid_argument("compiled file: too many sections");

    std::string table;
    std::vector<std::string_view> data_pieces;
    std::uint64_t at = kHeaderBytes + kRowBytes * sections.size();
    for (const auto& [t, b] : sections) {
        const std::uint64_t pad = (8 - at % 8) % 8;
        if (pad) data_pieces.emplace_back(kZeros, pad);
        at += pad;
        put32(table, t);
        put32(table, 0);
        put64(table, at);
        put64(table, b.size());
        data_pieces.push_back(b);
        at += b.size();
    }
    storage.clear();
    storage.append(reinterpret_cast<const char*>(kMagic), 8);
    put32(storage, kFormatVersion);
    put32(storage, static_cast<std::uint32_t>(sections.size()));
    put64(storage, at);
    put64(storage, stamp.size);
    put64(storage, static_cast<std::uint64_t>(stamp.mtime_ns));
    put64(storage, stamp.hash);
    put32(storage, static_cast<std::uint32_t>(ix.size()));
    put32(storage, 0);
    {
        Hasher body;
        for (std::string_view p : data_pieces) body.update(p.data(), p.size());
        put64(storage, body.digest());
    }
    put64(storage, 0);
    Hasher check;
    check.update(storage.data(), storage.size());
    check.update(table.data(), table.size());
    put64(storage, check.digest());
    storage += table;

    std::vector<std::string_view> pieces{storage};
    for (std::string_view p : data_pieces) {
        if (!p.empty()) pieces.push_back(p);
    }
    return pieces;
}

// ---------------------------------------------------------------------------
// Reading

std::pair<std::uint64_t, std::uint64_t> CompiledView::line(std::uint32_t i, std::uint64_t file_size) const {
    if (i >= entries) throw matcher::CorruptIndex("compiled index: entry id out of range");
    const std::uint64_t b = line_offsets[i], e = line_offsets[i + 1];
    if (b >= e || e > file_size) throw matcher::CorruptIndex("compiled index: line offsets out of range");
    return {b, e};
}

CompiledView read_compiled(std::span<const std::byte> f) {
    if (reinterpret_cast<std::uintptr_t>(f.data()) % 8 != 0) throw std::invalid_argument("read_compiled: unaligned bytes");
    if (f.size() < kHeaderBytes) throw BadCompiledFile("truncated header");
    if (std::memcmp(f.data(), kMagic, 8) != 0) throw BadCompiledFile("not a compiled index file");
    const std::uint32_t version = load32(f.data() + 8);
    if (version != kFormatVersion)
        throw BadCompiledFile("format version " + std::to_string(version) + ", expected " + std::to_string(kFormatVersion));
    const std::uint32_t count = load32(f.data() + 12);
    if (count > kMaxSections) throw BadCompiledFile("too many sections");
    if (load64(f.data() + 16) != f.size()) throw BadCompiledFile("truncated or extended (size differs from its header)");
    const std::size_t table_end = kHeaderBytes + kRowBytes * count;
    if (f.size() < table_end) throw BadCompiledFile("truncated section table");
    Hasher check;
    check.update(f.data(), 72);
    check.update(f.data() + kHeaderBytes, kRowBytes * count);
    if (check.digest() != load64(f.data() + 72)) throw BadCompiledFile("damaged header");

    CompiledView v;
    v.source.size = load64(f.data() + 24);
    v.source.mtime_ns = static_cast<std::int64_t>(load64(f.data() + 32));
    v.source.hash = load64(f.data() + 40);
    v.entries = load32(f.data() + 48);
    v.body_hash = load64(f.data() + 56);
    v.body = f.subspan(table_end);

    constexpr std::uint32_t known[] = {kLabel,    kLabelEscape, kChildBase, kChildCount,    kChildEscape, kTerminal,
                                       kTerminalRank, kRootBmp, kOffsets,   kPostings, kKeywordRepeat, kLineOffsets};
    std::span<const std::byte> found[std::size(known)];
    bool seen[std::size(known)] = {};
    for (std::uint32_t r = 0; r < count; ++r) {
        const std::byte* row = f.data() + kHeaderBytes + kRowBytes * r;
        const std::uint32_t t = load32(row);
        const std::uint64_t off = load64(row + 8), len = load64(row + 16);
        if (off < table_end || off > f.size() || len > f.size() - off) throw BadCompiledFile("section outside the file");
        if (off % 8 != 0) throw BadCompiledFile("unaligned section");
        const std::span<const std::byte> bytes = f.subspan(off, len);
        const auto k = std::find(std::begin(known), std::end(known), t) - std::begin(known);
        if (k == static_cast<std::ptrdiff_t>(std::size(known))) {
            for (const auto& [ot, ob] : v.other) {
                if (ot == t) throw BadCompiledFile("section listed twice");
            }
            v.other.emplace_back(t, bytes);
            continue;
        }
        if (seen[k]) throw BadCompiledFile("section listed twice");
        seen[k] = true;
        found[k] = bytes;
    }
    for (bool s : seen) {
        if (!s) throw BadCompiledFile("a section of the index is missing");
    }
    matcher::CompiledIndex::Arrays a;
    a.label = as_array<std::uint16_t>(found[0], "LABL");
    a.label_escape = as_array<std::uint32_t>(found[1], "LBXT");
    a.child_base = as_array<std::uint32_t>(found[2], "CBAS");
    a.child_count = as_array<std::uint8_t>(found[3], "CCNT");
    a.child_escape = as_array<std::uint32_t>(found[4], "CBXT");
    a.terminal = as_array<std::uint64_t>(found[5], "TERM");
    a.terminal_rank = as_array<std::uint32_t>(found[6], "TRNK");
    a.root_bmp = as_array<std::uint32_t>(found[7], "RBMP");
    a.offsets = as_array<std::uint32_t>(found[8], "POFF");
    a.postings = as_array<std::uint32_t>(found[9], "POST");
    a.keyword_repeat = as_array<std::uint8_t>(found[10], "KREP");
    v.line_offsets = as_array<std::uint64_t>(found[11], "LOFF");
    if (v.line_offsets.size() != std::size_t{v.entries} + 1) throw BadCompiledFile("line offsets do not match the entries");
    if (v.line_offsets.front() != 0 || v.line_offsets.back() != v.source.size)
        throw BadCompiledFile("line offsets do not cover the JSON-lines file");
    try {
        v.index = matcher::CompiledIndex::over(v.entries, a);
    } catch (const matcher::CorruptIndex& e) {
        throw BadCompiledFile(e.what());
    }
    return v;
}

bool verify_body(const CompiledView& v) { return hash64(v.body.data(), v.body.size()) == v.body_hash; }

bool reseal(std::span<std::byte> f) {
    if (f.size() < kHeaderBytes) return false;
    const std::uint32_t count = load32(f.data() + 12);
    if (count > kMaxSections || f.size() < kHeaderBytes + kRowBytes * count) return false;
    const std::size_t table_end = kHeaderBytes + kRowBytes * count;
    const std::uint64_t body = hash64(f.data() + table_end, f.size() - table_end);
    std::memcpy(f.data() + 56, &body, 8);
    Hasher check;
    check.update(f.data(), 72);
    check.update(f.data() + kHeaderBytes, kRowBytes * count);
    const std::uint64_t c = check.digest();
    std::memcpy(f.data() + 72, &c, 8);
    return true;
}

// ---------------------------------------------------------------------------
// Mapping, guarded against SIGBUS (see MappedFile in the header)

namespace {

struct GuardSlot {
    std::atomic<std::uintptr_t> begin{0}, end{0};
    std::atomic<bool> damaged{false};
    std::atomic<bool> used{false};
};
GuardSlot g_slots[kGuardSlots];
std::atomic<std::uint64_t> g_faults{0};
struct sigaction g_previous;  // written before our handler is installed over it
std::mutex g_install;
std::uintptr_t g_page = 0;
std::atomic<int> g_chained{0};

void on_sigbus(int sig, siginfo_t* info, void* context) {
    const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (info->si_code > 0) {  // a fault, not a signal sent by someone
        for (GuardSlot& s : g_slots) {
            const std::uintptr_t b = s.begin.load(std::memory_order_acquire);
            if (b == 0 || addr < b || addr >= s.end.load(std::memory_order_acquire)) continue;
            void* page = reinterpret_cast<void*>(addr & ~(g_page - 1));
            if (::mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
            s.damaged.store(true, std::memory_order_release);
            g_faults.fetch_add(1, std::memory_order_relaxed);
            return;  // the read is retried and sees zeros
        }
    }
    // Not ours: the handler that was there before gets it, by putting it
    // back and letting the fault happen again (or sending the signal again).
    // A second foreign signal (handlers that hand it back to us) gets the
    // default action, so two handlers never pass one signal to and fro.
    if (g_chained.fetch_add(1, std::memory_order_relaxed) == 0) {
        ::sigaction(sig, &g_previous, nullptr);
    } else {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(sig, &dfl, nullptr);
    }
    if (info->si_code <= 0) ::raise(sig);
}

// Puts our handler on top unless it already is.
void install_guard() {
    std::lock_guard<std::mutex> lock(g_install);
    if (!g_page) g_page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction cur {};
    if (::sigaction(SIGBUS, nullptr, &cur) != 0) return;
    if ((cur.sa_flags & SA_SIGINFO) && cur.sa_sigaction == on_sigbus) return;
    struct sigaction ours {};
    ours.sa_sigaction = on_sigbus;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART | SA_NODEFER;
    sigemptyset(&ours.sa_mask);
    // g_previous is only read by a running handler of ours; none is
    // installed at this moment for a SIGBUS to reach.
    g_previous = cur;
    g_chained.store(0);
    ::sigaction(SIGBUS, &ours, nullptr);
}

int claim_slot(const void* data, std::size_t size) {
    for (std::size_t i = 0; i < kGuardSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].used.compare_exchange_strong(expected, true)) continue;
        g_slots[i].damaged.store(false);
        g_slots[i].end.store(reinterpret_cast<std::uintptr_t>(data) + size, std::memory_order_release);
        g_slots[i].begin.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
        return static_cast<int>(i);
    }
    return -1;
}

void free_slot(int i) {
    g_slots[i].begin.store(0, std::memory_order_release);
    g_slots[i].end.store(0, std::memory_order_release);
    g_slots[i].used.store(false, std::memory_order_release);
}

}  // namespace

std::uint64_t guarded_faults() { return g_faults.load(std::memory_order_relaxed); }

MappedFile::MappedFile(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw std::system_error(errno, std::generic_category(), "fstat");
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ == 0) return;
    install_guard();
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
    // Searches read a few pages here and there: no read-ahead around them
    // (with it a cold first question pulls in megabytes it never looks at).
    ::madvise(p, size_, MADV_RANDOM);
    slot_ = claim_slot(p, size_);
    if (slot_ >= 0) {
        data_ = p;
        return;
    }
    // No guard slot: a private copy (8-byte aligned) read with pread.
    ::munmap(p, size_);
    auto* copy = static_cast<char*>(::operator new(size_, std::align_val_t{8}));
    std::size_t at = 0;
    while (at < size_) {
        const ssize_t got = ::pread(fd, copy + at, size_ - at, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int err = got < 0 ? errno : EIO;
            ::operator delete(copy, std::align_val_t{8});
            throw std::system_error(err, std::generic_category(), "read");
        }
        at += static_cast<std::size_t>(got);
    }
    data_ = copy;
    owned_copy_ = true;
}

void MappedFile::sequential(bool on) const {
    if (data_ && !owned_copy_) ::madvise(data_, size_, on ? MADV_SEQUENTIAL : MADV_RANDOM);
}

bool MappedFile::damaged() const { return slot_ >= 0 && g_slots[slot_].damaged.load(std::memory_order_acquire); }

void MappedFile::release() noexcept {
    if (!data_) return;
    if (owned_copy_) {
        ::operator delete(data_, std::align_val_t{8});
    } else {
        if (slot_ >= 0) free_slot(slot_);
        ::munmap(data_, size_);
    }
    data_ = nullptr;
    size_ = 0;
    slot_ = -1;
    owned_copy_ = false;
}

MappedFile::~MappedFile() { release(); }

MappedFile::MappedFile(MappedFile&& o) noexcept
    : data_(o.data_), size_(o.size_), slot_(o.slot_), owned_copy_(o.owned_copy_) {
    o.data_ = nullptr;
    o.size_ = 0;
    o.slot_ = -1;
    o.owned_copy_ = false;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
    if (this != &o) {
        release();
        data_ = o.data_;
        size_ = o.size_;
        slot_ = o.slot_;
        owned_copy_ = o.owned_copy_;
        o.data_ = nullptr;
        o.size_ = 0;
        o.slot_ = -1;
        o.owned_copy_ = false;
    }
    return *this;
}

}  // namespace corvane::search
