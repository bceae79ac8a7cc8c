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
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "bindings/common/repr.hpp"
#include "core/io/atomic_file.hpp"
#include "core/search/compiled_file.hpp"
#include "core/search/matcher.hpp"
#include "core/selfcheck/prompt.hpp"
#include "core/text/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

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

    // The text of entry i's line, terminator removed.
    nb::object line(std::uint32_t i) const {
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
        {
            nb::gil_scoped_release unlocked;
            ok = read_at(jsonl_fd_.fd, bytes.data(), bytes.size(), b);
        }
        if (!ok) throw matcher::CorruptIndex("scene_index.jsonl is shorter than when it was indexed");
        check_verified();
        while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
        PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
        if (!s) {
            PyErr_Clear();
            throw matcher::CorruptIndex("scene_index.jsonl has changed since it was indexed");
        }
        return nb::steal(s);
    }

    // ---- writing the compiled file --------------------------------------
    void write(const std::string& cvx) const {
        std::vector<std::uint64_t> offsets(offsets_.begin(), offsets_.end());
        nb::gil_scoped_release unlocked;
        try {
            io::remove_stale_temps(io::folder_of(cvx));
            io::AtomicFile out(cvx);
            std::string storage;
            for (std::string_view piece : search::compiled_pieces(*index_, offsets, stamp_, {}, storage)) out.write(piece);
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
    std::size_t memory_bytes() const { return index_->memory_bytes() + owned_offsets_.capacity() * 8; }

    Index() = default;

private:
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
    void add_entry(matcher::IndexBuilder& b, nb::handle entry, std::size_t lineno, std::string& scratch) const {
        if (!PyDict_Check(entry.ptr())) raise_entry_error(lineno, "an index entry must be a JSON object");
        PyObject* title = py::get_opt(entry, py::key("scene_title"));
        if (!title) raise_entry_error(lineno, "the entry has no \"scene_title\"");
        if (!PyUnicode_Check(title)) raise_entry_error(lineno, "\"scene_title\" must be a string");
        b.begin_entry(py::utf8(title, scratch));
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
                if (member[0] == 'a')
                    b.add_alias(py::utf8(t, scratch));
                else
                    b.add_keyword(py::utf8(t, scratch));
            }
        }
    }

    // One pass over the file; false when it changed meanwhile.
    bool compile_once(nb::handle loader) {
        nb::object loads = nb::module_::import_("json").attr("loads");
        matcher::IndexBuilder builder;
        std::vector<std::uint64_t> offsets;
        std::string carry;  // the unfinished line
        std::uint64_t carry_at = 0, at = 0;
        std::size_t lineno = 0;
        std::string scratch;
        auto take_line = [&](std::string_view content, std::uint64_t start) {
            ++lineno;
            offsets.push_back(start);
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
            add_entry(builder, entry, lineno, scratch);
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
