#include "core/index/index_builder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/json/writer.hpp"
#include "core/match/keywords.hpp"
#include "core/manual/manual.hpp"
#include "core/io/atomic_file.hpp"
#include "core/text/unicode.hpp"

namespace corvane::index {
namespace {

std::atomic<unsigned long> temp_counter{0};

void write_all(int fd, std::string_view data, const std::string& path) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError(errno, path);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void remove_if_exists(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw IoError(errno, path);
}

constexpr std::size_t kFlushBytes = std::size_t{4} << 20;

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    for (int attempt = 0;; ++attempt) {
        temp_ = dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(temp_counter++);
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) break;
        if (errno == EEXIST && attempt < 100) continue;
        const int e = errno;
        temp_.clear();
        throw IoError(e, path_);
    }
    // A replaced file keeps its permission bits.
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd_, st.st_mode & 07777);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

void AtomicFile::write(std::string_view data) {
    write_all(fd_, data, path_);
    written_ += data.size();
}

void AtomicFile::start_writeback() {
#ifdef SYNC_FILE_RANGE_WRITE
    if (fd_ >= 0 && written_ > flushed_) {
        (void)::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(written_ - flushed_),
                                SYNC_FILE_RANGE_WRITE);
        flushed_ = written_;
    }
#endif
}

void AtomicFile::commit(bool durable) {
    if (durable && ::fsync(fd_) != 0) throw IoError(errno, path_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw IoError(errno, path_);
    if (::rename(temp_.c_str(), path_.c_str()) != 0) throw IoError(errno, path_);
    temp_.clear();
}

void replace_file(const std::string& path, std::string_view data) {
    AtomicFile f(path);
    f.write(data);
    f.commit();
}

void append_file(const std::string& path, std::string_view data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) throw IoError(errno, path);
    try {
        write_all(fd, data, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throw IoError(errno, path);
}

void make_dirs(const std::string& path) {
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (part.empty() || ::mkdir(part.c_str(), 0777) == 0) continue;
        const int e = errno;
        struct stat st;
        if (e == EEXIST && ::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        throw IoError(e, path);
    }
}

std::vector<std::string> list_manuals(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR) return names;
        throw IoError(errno, folder);
    }
    while (true) {
        errno = 0;
        const dirent* ent = ::readdir(dir);
        if (!ent) {
            const int e = errno;
            ::closedir(dir);
            if (e) throw IoError(e, folder);
            break;
        }
        const std::string_view name = ent->d_name;
        if (name.empty() || name[0] == '.' || name.size() < 4 || name.substr(name.size() - 3) != ".md") continue;
        struct stat st;
        const std::string path = folder + "/" + std::string(name);
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw IoError(errno, path);
    std::string data;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[1 << 16];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(fd);
            throw IoError(e, path);
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

std::string read_manual_text(const std::string& path) {
    std::string data = read_file(path);
    if (uni::find_invalid_utf8(data) != std::string::npos) throw DecodeError(path, std::move(data));
    std::size_t start = data.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (data.find('\r', start) == std::string::npos) {
        if (start) data.erase(0, start);
        return data;
    }
    // In place: the text only shrinks.  Runs between carriage returns move in bulk.
    const std::size_t n = data.size();
    std::size_t read = start, write = 0;
    while (read < n) {
        const char* cr = static_cast<const char*>(std::memchr(data.data() + read, '\r', n - read));
        const std::size_t end = cr ? static_cast<std::size_t>(cr - data.data()) : n;
        std::memmove(data.data() + write, data.data() + read, end - read);
        write += end - read;
        if (!cr) break;
        data[write++] = '\n';
        read = end + 1;
        if (read < n && data[read] == '\n') ++read;
    }
    data.resize(write);
    return data;
}

void append_index_line(json::Buf& out, std::string_view manual_id, const TreeDocument& doc, std::size_t idx,
                       const std::string* alias_elements, const std::vector<std::string_view>& keywords) {
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
    if (alias_elements && !alias_elements->empty()) {
        out.put(", ");
        out.put(*alias_elements);
    }
    out.put("], \"keywords\": [");
    for (std::size_t k = 0; k < keywords.size(); ++k) {
        if (k) out.put(", ");
        out.put_string(keywords[k]);
    }
    out.put("], \"scene_data\": ");
    json::append_scene(out, scene, false);
    out.put("}\n");
}

namespace {

// One manual read, parsed and checked.
TreeDocument parse_manual(const RunConfig& config, const std::string& path) {
    TreeDocument doc;
    {
        const std::string text = read_manual_text(path);
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

// Temporary files of earlier runs that were killed part-way: tree files and
// the index, by their exact temporary-name pattern.
void remove_stale_run_temps(const RunConfig& config) {
    const std::size_t slash = config.index_file.rfind('/');
    const std::string index_dir = slash == std::string::npos ? "." : config.index_file.substr(0, slash);
    const std::string index_base = slash == std::string::npos ? config.index_file : config.index_file.substr(slash + 1);
    remove_stale_temps(index_dir, [&](std::string_view base) { return base == index_base; });
    remove_stale_temps(config.tree_dir, [](std::string_view base) {
        return base.size() > 5 && base.substr(base.size() - 5) == ".json";
    });
}

}  // namespace

namespace {

void rebuild(const RunConfig& config) {
    make_dirs(config.tree_dir);
    const std::vector<std::string> names = list_manuals(config.manual_dir);
    if (names.empty()) {
        remove_if_exists(config.index_file);
        return;
    }
    AtomicFile index(config.index_file);
    json::Buf lines;
    json::Buf tree_text;
    keywords::Builder keywords;
    std::size_t total = 0;
    for (const std::string& name : names) {
        const TreeDocument doc = parse_manual(config, config.manual_dir + "/" + name);
        tree_text.clear();
        json::append_tree_file(tree_text, doc);
        const std::string_view manual_id = std::string_view(name).substr(0, name.size() - 3);
        replace_file(config.tree_dir + "/" + std::string(manual_id) + ".json", tree_text.view());
        for (std::size_t i = 0; i < doc.children.size(); ++i) {
            const Scene& scene = doc.children[i];
            const std::string* aliases = config.aliases ? config.aliases->find(scene.title) : nullptr;
            keywords.clear();
            keywords::feed(keywords, scene);
            append_index_line(lines, manual_id, doc, i, aliases, keywords.entries());
            if (lines.size() >= kFlushBytes) {
                index.write(lines.view());
                index.start_writeback();
                lines.clear();
            }
        }
        total += doc.children.size();
        if (config.on_manual) config.on_manual(manual_id, doc.children.size());
    }
    if (total == 0) {  // no scene at all: like a run that never appended a line
        index.discard();
        remove_if_exists(config.index_file);
        return;
    }
    index.write(lines.view());
    index.commit(true);
}

}  // namespace

void run(const RunConfig& config) {
    rebuild(config);
    remove_stale_run_temps(config);
}

}  // namespace corvane::index
