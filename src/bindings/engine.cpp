// corvane._engine: the query engine's index, opened from the compiled file
// (scene_index.cvx, mapped) or compiled from scene_index.jsonl, and the writer
// of the compiled file.  corvane.engine builds the Python API on top.
//
// An Index never changes once made; searches release the GIL and may run on
// many threads at once.  It keeps its own descriptor of the JSON-lines file it
// matches, so a file renamed over it later does not change what it reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/common/json_handler.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "bindings/common/repr.hpp"
#include "core/io/atomic_file.hpp"
#include "core/json/reader.hpp"
#include "core/search/bm25.hpp"
#include "core/search/compiled_file.hpp"
#include "core/search/entry_reader.hpp"
#include "core/search/hybrid.hpp"
#include "core/search/matcher.hpp"
#include "core/selfcheck/prompt.hpp"
#include "core/text/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

// Sections of the hybrid ranker in the compiled file: the BM25 image and the
// base titles (titles without a bracketed tail).
constexpr std::uint32_t kBm25Section = search::tag("BM25");
constexpr std::uint32_t kBaseTitleSection = search::tag("BTTL");

// Lines up to this size are read without releasing the GIL.
constexpr std::size_t kShortRead = std::size_t{64} << 10;

// Compiled files up to this size have their hash checked before use.
constexpr std::size_t kSyncVerifyBytes = std::size_t{16} << 20;

// The compiled file cannot serve (missing, stale, another version, damaged);
// the message says why.
struct Unusable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::int64_t mtime_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
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
    search::Hasher h;
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

[[noreturn]] void raise_io(const io::IoError& e) { py::raise_os_error(e.err, e.path); }

// A synonym mapping (str -> str or list of str) into `out`; strong
// references to every key and value while they are read.
void add_synonyms(search::Synonyms& out, nb::handle mapping) {
    py::require_dict(mapping, "Synonyms", "synonyms");
    nb::list items = nb::steal<nb::list>(PyDict_Items(mapping.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle kv : items) {
        nb::object key = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(kv.ptr(), 1));
        if (!PyUnicode_Check(key.ptr())) py::raise_arg_type("Synonyms", "synonyms", "a dict with str keys", key);
        std::string ks, ws;
        const std::string k(py::utf8(key, ks));
        auto bad = [&]() {
            PyErr_Format(PyExc_ValueError, "Synonyms(): synonyms['%s'] must be a str or a list of str", k.c_str());
            throw nb::python_error();
        };
        auto add = [&](nb::handle w) {
            if (!PyUnicode_Check(w.ptr())) bad();
            try {
                out.add(k, py::utf8(w, ws));
            } catch (const search::Bm25Error& e) {
                PyErr_Format(PyExc_ValueError, "Synonyms(): synonyms['%s']: %s", k.c_str(), e.what());
                throw nb::python_error();
            }
        };
        if (PyUnicode_Check(value.ptr())) {
            add(value);
        } else if (PyList_Check(value.ptr())) {
            nb::object words = nb::steal(PySequence_Tuple(value.ptr()));
            if (!words.is_valid()) throw nb::python_error();
            for (nb::handle w : nb::borrow<nb::tuple>(words)) add(w);
        } else {
            bad();
        }
    }
}

class Index {
public:
    // ---- opening the compiled file --------------------------------------
    static Index* open_compiled(const std::string& cvx, const std::string& jsonl, std::size_t verify_limit) {
        auto ix = std::make_unique<Index>();
        ix->jsonl_path_ = jsonl;
        ix->open_jsonl();
        Fd f(::open(cvx.c_str(), O_RDONLY | O_CLOEXEC));
        if (f.fd < 0) {
            if (errno == ENOENT) throw Unusable("missing");
            throw Unusable(std::string("cannot be read: ") + std::strerror(errno));
        }
        struct stat st;
        if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) throw Unusable("not a regular file");
        ix->cvx_stat_ = st;
        try {
            ix->map_ = std::make_shared<search::MappedFile>(f.fd);
        } catch (const std::system_error& e) {
            throw Unusable(std::string("cannot be mapped: ") + e.what());
        }
        try {
            ix->view_ = search::read_compiled(ix->map_->bytes());
        } catch (const search::BadCompiledFile& e) {
            throw Unusable(e.what());
        }
        const search::SourceStamp& s = ix->view_->source;
        if (s.size != ix->jsonl_size_) throw Unusable("stale (scene_index.jsonl has changed since)");
        if (s.mtime_ns != ix->jsonl_mtime_ns_) {
            // Same size, other time (a copy, a touch): the contents decide.
            std::uint64_t h;
            {
                nb::gil_scoped_release unlocked;
                try {
                    h = read_pieces(ix->jsonl_fd_.fd, jsonl, [](std::string_view) {});
                } catch (const io::IoError&) {
                    h = ~s.hash;
                }
            }
            if (h != s.hash) throw Unusable("stale (scene_index.jsonl has changed since)");
        }
        // The body hash reads every page: small files are checked before use,
        // large ones on a thread of their own while searches already run
        // (a failed check makes the following searches throw CorruptIndex).
        if (ix->view_->body.size() <= verify_limit) {
            bool ok;
            {
                nb::gil_scoped_release unlocked;
                ok = search::verify_body(*ix->view_);
            }
            if (!ok) throw Unusable("damaged (contents differ from their hash)");
            ix->verified_->store(1);
        } else {
            // The thread holds the mapping and the result: an index closed
            // (or a process ending) before the check is done does not wait.
            ix->verified_->store(0);
            std::thread([map = ix->map_, state = ix->verified_, body = ix->view_->body, want = ix->view_->body_hash] {
                state->store(search::hash64(body.data(), body.size()) == want ? 1 : -1, std::memory_order_release);
            }).detach();
        }
        for (const auto& [t, bytes] : ix->view_->other) {
            if (t == kBm25Section) ix->bm25_bytes_ = bytes;
            if (t == kBaseTitleSection) {
                ix->base_bytes_ = bytes;
                ix->has_base_ = true;
            }
        }
        if (ix->bm25_bytes_.empty() || !ix->has_base_) throw Unusable("has no sections of the hybrid ranker");
        ix->stamp_ = s;
        ix->entries_ = ix->view_->entries;
        ix->index_ = &ix->view_->index;
        ix->offsets_ = ix->view_->line_offsets;
        return ix.release();
    }

    // ---- compiling from the JSON-lines file -----------------------------
    static Index* compile_jsonl(const std::string& jsonl, nb::handle loader) {
        auto ix = std::make_unique<Index>();
        ix->jsonl_path_ = jsonl;
        ix->open_jsonl();
        for (int attempt = 0;; ++attempt) {
            if (ix->compile_once(loader)) break;
            if (attempt == 2) {
                PyErr_Format(PyExc_RuntimeError, "%s changed while it was being read", jsonl.c_str());
                throw nb::python_error();
            }
            ix->open_jsonl();
        }
        ix->index_ = &ix->owned_index_;
        ix->offsets_ = ix->owned_offsets_;
        ix->bm25_bytes_ = ix->owned_bm25_.bytes();
        ix->base_bytes_ = std::as_bytes(std::span<const char>(ix->owned_base_));
        ix->has_base_ = true;
        return ix.release();
    }

    // ---- searching ------------------------------------------------------
    void check_verified() const {
        if (verified_->load(std::memory_order_acquire) < 0)
            throw matcher::CorruptIndex("compiled index: damaged (contents differ from their hash)");
    }

    // 1 checked, 0 being checked, -1 damaged; waits for the check when asked.
    int verified(bool wait) const {
        if (wait) {
            nb::gil_scoped_release unlocked;
            while (verified_->load(std::memory_order_acquire) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return verified_->load(std::memory_order_acquire);
    }

    nb::list search(nb::handle query, nb::handle top_k) const {
        py::require_str(query, "search", "query");
        py::require_int(top_k, "search", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);  // clamps huge values
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        std::string scratch;
        const std::string q(py::utf8(query, scratch));
        std::vector<matcher::Scored> hits;
        {
            nb::gil_scoped_release unlocked;
            hits = index_->search(text::normalize_text(q), k);
        }
        check_verified();
        nb::list out;
        for (const matcher::Scored& h : hits) out.append(nb::make_tuple(h.first, h.second));
        return out;
    }

    // (entry id, BM25 score) pairs of the hybrid ranker, best first; empty
    // when it refuses the question.
    nb::list search_hybrid(nb::handle query, nb::handle top_k, const search::Synonyms& synonyms) const {
        py::require_str(query, "search", "query");
        py::require_int(top_k, "search", "top_k");
        const Py_ssize_t k = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
        if (k == -1 && PyErr_Occurred()) throw nb::python_error();
        if (k < 0) {
            PyErr_Format(PyExc_ValueError, "search(): top_k must be 0 or more with the hybrid ranker, not %zd", k);
            throw nb::python_error();
        }
        std::string scratch;
        const std::string raw(py::utf8(query, scratch));
        std::vector<search::Ranked> hits;
        {
            nb::gil_scoped_release unlocked;
            const Hybrid& h = hybrid();
            const std::string q = synonyms.expand(raw);
            const std::vector<std::uint32_t> base = h.base.matches(q);
            std::vector<std::pair<std::uint32_t, int>> first;
            for (const auto& [id, score] : index_->title_or_alias_matches(q, base)) first.emplace_back(id, score);
            hits = search::merge_stages(std::move(first), search::hybrid_terms(q), h.bm25, h.score_threshold,
                                        static_cast<std::size_t>(k));
        }
        check_verified();
        nb::list out;
        for (const search::Ranked& r : hits) out.append(nb::make_tuple(r.entry, r.score));
        return out;
    }

    // The text of entry i's line, terminator removed.
    nb::object line(std::uint32_t i) const {
        std::string bytes = line_bytes(i);
        PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
        if (!s) {
            PyErr_Clear();
            throw matcher::CorruptIndex("scene_index.jsonl has changed since it was indexed");
        }
        return nb::steal(s);
    }

    // Entry i as load_scene_index gives it: its line parsed by the core's
    // reader into host objects (the same reader and handler), or by json.loads
    // when the reader does not take it.  Runs with the GIL held throughout, so
    // the handler's caches are never used by two threads at once.
    nb::object record(std::uint32_t i) const {
        const std::string bytes = line_bytes(i);
        if (!builder_) builder_ = std::make_unique<py::ObjectBuilder>();
        json::Reader<py::ObjectBuilder> reader(*builder_);
        if (PyObject* v = reader.parse(bytes)) return nb::steal(v);
        PyErr_Clear();
        nb::object text = line(i);
        PyObject* v = PyObject_CallOneArg(json_loads().ptr(), text.ptr());
        if (!v) {
            PyErr_Clear();
            throw matcher::CorruptIndex("scene_index.jsonl has changed since it was indexed");
        }
        return nb::steal(v);
    }

    // ---- writing the compiled file --------------------------------------
    void write(const std::string& cvx) const {
        std::vector<std::uint64_t> offsets(offsets_.begin(), offsets_.end());
        nb::gil_scoped_release unlocked;
        try {
            io::remove_stale_temps(io::folder_of(cvx));
            io::AtomicFile out(cvx);
            std::string storage;
            const search::ExtraSection extra[] = {
                {kBm25Section, std::string_view(reinterpret_cast<const char*>(bm25_bytes_.data()), bm25_bytes_.size())},
                {kBaseTitleSection, std::string_view(reinterpret_cast<const char*>(base_bytes_.data()), base_bytes_.size())}};
            for (std::string_view piece : search::compiled_pieces(*index_, offsets, stamp_, extra, storage)) out.write(piece);
            out.commit(io::Durability::disk);
        } catch (const io::IoError& e) {
            nb::gil_scoped_acquire locked;
            raise_io(e);
        }
    }

    std::uint32_t size() const { return entries_; }
    bool from_compiled_file() const { return view_.has_value(); }
    // (device, inode, size, mtime_ns) of the JSON-lines file this index reads.
    nb::tuple jsonl_identity() const { return nb::make_tuple(jsonl_dev_, jsonl_ino_, jsonl_size_, jsonl_mtime_ns_); }
    nb::object cvx_identity() const {
        if (!view_) return nb::none();
        return nb::make_tuple(static_cast<std::uint64_t>(cvx_stat_.st_dev), static_cast<std::uint64_t>(cvx_stat_.st_ino),
                              static_cast<std::uint64_t>(cvx_stat_.st_size), mtime_ns(cvx_stat_));
    }
    std::size_t memory_bytes() const {
        return index_->memory_bytes() + owned_offsets_.capacity() * 8 + owned_bm25_.memory_bytes() +
               owned_base_.capacity() + (hybrid_ ? hybrid_->base.memory_bytes() : 0);
    }

    Index() = default;

private:
    // The bytes of entry i's line, terminator removed; CorruptIndex when the
    // file no longer matches.
    std::string line_bytes(std::uint32_t i) const {
        if (i >= entries_) throw nb::index_error("entry id out of range");
        // A file rewritten in place (not renamed over) no longer matches.
        struct stat st;
        if (::fstat(jsonl_fd_.fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != jsonl_size_ ||
            mtime_ns(st) != jsonl_mtime_ns_)
            throw matcher::CorruptIndex("scene_index.jsonl was changed in place since it was opened");
        const std::uint64_t b = offsets_[i], e = offsets_[i + 1];
        if (b >= e || e > jsonl_size_) throw matcher::CorruptIndex("compiled index: line offsets out of range");
        std::string bytes(static_cast<std::size_t>(e - b), '\0');
        bool ok;
        if (bytes.size() <= kShortRead) {  // a line in the page cache: cheaper than handing the GIL over
            ok = read_at(jsonl_fd_.fd, bytes.data(), bytes.size(), b);
        } else {
            nb::gil_scoped_release unlocked;
            ok = read_at(jsonl_fd_.fd, bytes.data(), bytes.size(), b);
        }
        if (!ok) throw matcher::CorruptIndex("scene_index.jsonl is shorter than when it was indexed");
        check_verified();
        while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
        return bytes;
    }

    const nb::object& json_loads() const {
        if (!loads_.is_valid()) loads_ = nb::module_::import_("json").attr("loads");
        return loads_;
    }

    void open_jsonl() {
        Fd f(::open(jsonl_path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (f.fd < 0) py::raise_os_error(errno, jsonl_path_);
        struct stat st;
        if (::fstat(f.fd, &st) != 0) py::raise_os_error(errno, jsonl_path_);
        if (S_ISDIR(st.st_mode)) py::raise_os_error(EISDIR, jsonl_path_);
        jsonl_fd_ = std::move(f);
        jsonl_size_ = static_cast<std::uint64_t>(st.st_size);
        jsonl_mtime_ns_ = mtime_ns(st);
        jsonl_dev_ = static_cast<std::uint64_t>(st.st_dev);
        jsonl_ino_ = static_cast<std::uint64_t>(st.st_ino);
    }

    // The loader's own error for the file (it refuses what this pass refused);
    // a generic one when it accepts the file after all (changed meanwhile).
    [[noreturn]] void raise_line_error(nb::handle loader, std::size_t lineno, const char* why) const {
        loader(py::path_object(jsonl_path_));
        PyErr_Format(PyExc_ValueError, "%s, line %zu: %s", jsonl_path_.c_str(), lineno, why);
        throw nb::python_error();
    }

    [[noreturn]] void raise_entry_error(std::size_t lineno, const char* what) const {
        PyErr_Format(PyExc_ValueError, "%s, line %zu: %s", jsonl_path_.c_str(), lineno, what);
        throw nb::python_error();
    }

    // One entry's searched texts into the builder (the rules of the compiled
    // search: a dict with a str "scene_title" and sequences of str "aliases"
    // and "keywords" when present).
    void add_entry(matcher::IndexBuilder& b, search::Bm25Builder& bm25, nb::handle entry, std::size_t lineno,
                   std::string& scratch) {
        if (!PyDict_Check(entry.ptr())) raise_entry_error(lineno, "an index entry must be a JSON object");
        PyObject* title = py::get_opt(entry, py::key("scene_title"));
        if (!title) raise_entry_error(lineno, "the entry has no \"scene_title\"");
        if (!PyUnicode_Check(title)) raise_entry_error(lineno, "\"scene_title\" must be a string");
        const std::string title_text(py::utf8(title, scratch));
        b.begin_entry(title_text);
        bm25.begin_entry();
        bm25.add_text(search::kTitle, title_text);
        search::BaseTitles::add(owned_base_, static_cast<std::uint32_t>(lineno - 1), title_text);
        for (const char* member : {"aliases", "keywords"}) {
            PyObject* items = py::get_opt(entry, py::key(member));
            if (!items) continue;
            if (!PyList_Check(items) && !PyUnicode_Check(items) && !PyDict_Check(items))
                raise_entry_error(lineno, member[0] == 'a' ? "\"aliases\" must be a list of strings"
                                                            : "\"keywords\" must be a list of strings");
            nb::object seq = nb::steal(PySequence_Fast(items, "entry member must be a sequence"));
            if (!seq.is_valid()) throw nb::python_error();
            for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.ptr()); ++j) {
                PyObject* t = PySequence_Fast_GET_ITEM(seq.ptr(), j);
                if (!PyUnicode_Check(t))
                    raise_entry_error(lineno, member[0] == 'a' ? "\"aliases\" must be a list of strings"
                                                                : "\"keywords\" must be a list of strings");
                if (member[0] == 'a') {
                    const std::string_view alias = py::utf8(t, scratch);
                    b.add_alias(alias);
                    if (alias != title_text) bm25.add_text(search::kAliases, alias);
                } else
                    b.add_keyword(py::utf8(t, scratch));
            }
        }
        add_scene_texts(bm25, entry, scratch);
    }

    // The scene's texts for BM25, as the hybrid ranker reads them: the
    // description, each step's text and sub-points, warnings, notices, tips.
    // Members of another type than the index writer's are passed over (they
    // matter to no other ranker, and the exact ranker must still serve).
    static void add_scene_texts(search::Bm25Builder& bm25, nb::handle entry, std::string& scratch) {
        PyObject* scene = py::get_opt(entry, py::key("scene_data"));
        if (!scene || !PyDict_Check(scene)) return;
        auto each_str = [&](PyObject* list, search::Field field) {
            if (!list || !PyList_Check(list)) return;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                PyObject* x = PyList_GET_ITEM(list, i);
                if (PyUnicode_Check(x)) bm25.add_text(field, py::utf8(x, scratch));
            }
        };
        PyObject* d = py::get_opt(scene, py::key("description"));
        if (d && PyUnicode_Check(d)) bm25.add_text(search::kDescription, py::utf8(d, scratch));
        PyObject* steps = py::get_opt(scene, py::key("steps"));
        if (steps && PyList_Check(steps)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps); ++i) {
                PyObject* st = PyList_GET_ITEM(steps, i);
                if (!PyDict_Check(st)) continue;
                PyObject* t = py::get_opt(st, py::key("text"));
                if (t && PyUnicode_Check(t)) bm25.add_text(search::kSteps, py::utf8(t, scratch));
                each_str(py::get_opt(st, py::key("sub_points")), search::kSteps);
            }
        }
        each_str(py::get_opt(scene, py::key("warning")), search::kWarning);
        each_str(py::get_opt(scene, py::key("notice")), search::kNotice);
        each_str(py::get_opt(scene, py::key("tip")), search::kTip);
    }

    // One pass over the file; false when it changed meanwhile.
    bool compile_once(nb::handle loader) {
        nb::object loads = nb::module_::import_("json").attr("loads");
        matcher::IndexBuilder builder;
        search::Bm25Builder bm25;
        owned_base_.clear();
        std::vector<std::uint64_t> offsets;
        std::string carry;  // the unfinished line
        std::uint64_t carry_at = 0, at = 0;
        std::size_t lineno = 0;
        std::string scratch;
        search::EntryReader fast;
        search::EntryFields fields;
        auto take_line = [&](std::string_view content, std::uint64_t start) {
            ++lineno;
            offsets.push_back(start);
            if (fast.read(content, fields)) {  // the writer's plain shape: no host objects
                builder.begin_entry(fields.title);
                bm25.begin_entry();
                bm25.add_text(search::kTitle, fields.title);
                search::BaseTitles::add(owned_base_, static_cast<std::uint32_t>(lineno - 1), fields.title);
                for (std::string_view a : fields.aliases) {
                    builder.add_alias(a);
                    if (a != fields.title) bm25.add_text(search::kAliases, a);
                }
                for (std::string_view k : fields.keywords) builder.add_keyword(k);
                for (const auto& [f, t] : fields.texts) bm25.add_text(f, t);
                return;
            }
            PyObject* s = PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), nullptr);
            if (!s) {
                PyErr_Clear();
                raise_line_error(loader, lineno, "invalid UTF-8");
            }
            nb::object text = nb::steal(s);
            PyObject* v = PyObject_CallOneArg(loads.ptr(), text.ptr());
            if (!v) {
                nb::python_error err;
                raise_line_error(loader, lineno, "not a JSON value");
            }
            nb::object entry = nb::steal(v);
            add_entry(builder, bm25, entry, lineno, scratch);
        };
        // Lines end at "\n", "\r" or "\r\n", as the loader reads them.
        auto feed = [&](std::string_view piece, bool last) {
            carry.append(piece);
            std::size_t start = 0;
            const std::size_t n = carry.size();
            while (start < n) {
                const std::size_t term = carry.find_first_of("\r\n", start);
                if (term == std::string::npos) break;
                if (carry[term] == '\r' && term + 1 == n && !last) break;  // "\r\n" may be split
                std::size_t next = term + 1;
                if (carry[term] == '\r' && next < n && carry[next] == '\n') ++next;
                take_line(std::string_view(carry).substr(start, term - start), carry_at + start);
                start = next;
            }
            if (last && start < n) {
                take_line(std::string_view(carry).substr(start), carry_at + start);
                start = n;
            }
            carry.erase(0, start);
            carry_at += start;
        };
        const std::uint64_t size_before = jsonl_size_;
        const std::int64_t mtime_before = jsonl_mtime_ns_;
        std::uint64_t h;
        try {
            h = read_pieces(jsonl_fd_.fd, jsonl_path_, [&](std::string_view piece) {
                at += piece.size();
                feed(piece, false);
            });
        } catch (const io::IoError& e) {
            raise_io(e);
        }
        feed({}, true);
        struct stat st;
        if (::fstat(jsonl_fd_.fd, &st) != 0) py::raise_os_error(errno, jsonl_path_);
        if (static_cast<std::uint64_t>(st.st_size) != size_before || mtime_ns(st) != mtime_before || at != size_before)
            return false;
        offsets.push_back(at);
        {
            nb::gil_scoped_release unlocked;
            owned_index_ = builder.compile();
            owned_bm25_ = bm25.build();
        }
        owned_offsets_ = std::move(offsets);
        entries_ = static_cast<std::uint32_t>(owned_index_.size());
        stamp_ = search::SourceStamp{size_before, mtime_before, h};
        return true;
    }

    std::string jsonl_path_;
    Fd jsonl_fd_;
    std::uint64_t jsonl_size_ = 0, jsonl_dev_ = 0, jsonl_ino_ = 0;
    std::int64_t jsonl_mtime_ns_ = 0;
    struct stat cvx_stat_ {};
    std::shared_ptr<search::MappedFile> map_;
    std::optional<search::CompiledView> view_;
    matcher::CompiledIndex owned_index_;
    std::vector<std::uint64_t> owned_offsets_;
    const matcher::CompiledIndex* index_ = &owned_index_;
    std::span<const std::uint64_t> offsets_;
    std::uint32_t entries_ = 0;
    search::SourceStamp stamp_;
    std::shared_ptr<std::atomic<int>> verified_ = std::make_shared<std::atomic<int>>(1);

    // The hybrid ranker's parts, read from their sections at first use (the
    // BM25 image is checked value by value then, so an exact-only user never
    // pays for it).
    struct Hybrid {
        search::Bm25View bm25;
        search::BaseTitles base;
        double score_threshold = 0;
    };
    const Hybrid& hybrid() const {
        std::call_once(hybrid_once_, [&] {
            auto h = std::make_unique<Hybrid>();
            try {
                h->bm25 = search::Bm25View::from_bytes(bm25_bytes_);
                if (h->bm25.size() != entries_) throw search::Bm25Error("BM25 section of another entry count");
                h->base = search::BaseTitles::decode(base_bytes_, entries_);
            } catch (const search::Bm25Error& e) {
                hybrid_error_ = std::string("compiled index: ") + e.what();
                return;
            }
            h->score_threshold = search::score_threshold_for(search::HybridParams{}.threshold, entries_);
            hybrid_ = std::move(h);
        });
        if (!hybrid_) throw matcher::CorruptIndex(hybrid_error_);
        return *hybrid_;
    }
    search::Bm25Index owned_bm25_;
    std::string owned_base_;
    std::span<const std::byte> bm25_bytes_, base_bytes_;
    bool has_base_ = false;
    mutable std::unique_ptr<py::ObjectBuilder> builder_;  // used with the GIL held only
    mutable nb::object loads_;
    mutable std::once_flag hybrid_once_;
    mutable std::unique_ptr<Hybrid> hybrid_;
    mutable std::string hybrid_error_;
};

}  // namespace

CORVANE_MODULE(_engine, m) {
    m.doc() = "The query engine's index: the compiled file mapped in place, or compiled from the JSON-lines file.";
    nb::exception<Unusable>(m, "UnusableCompiledFile", PyExc_ValueError);
    nb::exception<matcher::CorruptIndex>(m, "CorruptIndexError", PyExc_ValueError);
    m.attr("FORMAT_VERSION") = search::kFormatVersion;

    nb::class_<Index>(m, "Index", "A scene index ready for searching (immutable; safe to share between threads).")
        .def("search", &Index::search, "query"_a.none(), "top_k"_a.none() = 3,
             "(entry id, score) pairs of the compiled search, best first.")
        .def("search_hybrid", &Index::search_hybrid, "query"_a.none(), "top_k"_a.none(), "synonyms"_a,
             "(entry id, BM25 score) pairs of the hybrid ranker, best first; empty when it refuses.")
        .def("record", &Index::record, "entry"_a, "An entry's line parsed as load_scene_index parses it.")
        .def("line", &Index::line, "entry"_a, "The JSON text of an entry's line in scene_index.jsonl.")
        .def("write", [](const Index& ix, nb::handle path) { ix.write(py::fs_path(path, "write", "path")); },
             "path"_a, "Writes the compiled file for this index atomically.")
        .def("__len__", &Index::size)
        .def_prop_ro("from_compiled_file", &Index::from_compiled_file)
        .def_prop_ro("jsonl_identity", &Index::jsonl_identity)
        .def_prop_ro("cvx_identity", &Index::cvx_identity)
        .def_prop_ro("memory_bytes", &Index::memory_bytes)
        .def("verified", &Index::verified, "wait"_a = false,
             "1 when the compiled file's hash was checked, 0 while it is being checked, -1 when it is damaged.");

    nb::class_<search::Synonyms>(m, "Synonyms", "Query-side synonyms of the hybrid ranker (immutable).")
        .def("__init__", [](search::Synonyms* self, nb::handle mapping) {
            new (self) search::Synonyms();
            if (!mapping.is_none()) add_synonyms(*self, mapping);
            self->compile();
        }, "synonyms"_a.none(), "colloquial wording -> manual wording (str or list of str).")
        .def("expand", [](const search::Synonyms& s, nb::handle q) {
            py::require_str(q, "expand", "question");
            std::string scratch;
            return py::str(s.expand(py::utf8(q, scratch)));
        }, "question"_a.none(), "The normalized question with the wordings of its colloquial words appended.");
    m.def(
        "_reseal",
        [](nb::bytes data) {
            std::vector<std::uint64_t> words(data.size() / 8 + 1);
            std::memcpy(words.data(), data.c_str(), data.size());
            search::reseal({reinterpret_cast<std::byte*>(words.data()), data.size()});
            return nb::bytes(reinterpret_cast<const char*>(words.data()), data.size());
        },
        "data"_a, "A compiled file's bytes with their hashes recomputed (for tests of the checks behind them).");
    m.def(
        "answer_prompt",
        [](nb::handle question, nb::handle knowledge) {
            return py::str(prompt::answer_prompt(py::str_or_repr(question), py::str_or_repr(knowledge)));
        },
        "question"_a.none(), "knowledge"_a.none(),
        "The answer prompt, as vendry.build_prompt builds it (without loading vendry and its client).");
    m.def(
        "open_compiled",
        [](nb::handle cvx, nb::handle jsonl, std::size_t verify_limit) {
            return Index::open_compiled(py::fs_path(cvx, "open_compiled", "cvx"), py::fs_path(jsonl, "open_compiled", "jsonl"),
                                        verify_limit);
        },
        "cvx"_a, "jsonl"_a, "verify_limit"_a = kSyncVerifyBytes, nb::rv_policy::take_ownership,
        "Maps a compiled file; UnusableCompiledFile when it is missing, stale or damaged.  Files of up to "
        "verify_limit bytes have their hash checked before it returns, larger ones on a thread.");
    m.def(
        "compile_jsonl",
        [](nb::handle jsonl, nb::handle loader) {
            return Index::compile_jsonl(py::fs_path(jsonl, "compile_jsonl", "jsonl"), loader);
        },
        "jsonl"_a, "loader"_a, nb::rv_policy::take_ownership,
        "Compiles the index from the JSON-lines file; `loader` (load_scene_index) gives the error for a bad line.");
}
