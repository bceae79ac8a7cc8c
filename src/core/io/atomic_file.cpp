#include "core/io/atomic_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "core/io/files.hpp"

namespace corvane::io {
namespace {

constexpr std::string_view kTag = ".cvtmp-";

std::atomic<unsigned long> temp_counter{0};

bool all_digits(std::string_view s, std::size_t max_len) {
    if (s.empty() || s.size() > max_len) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool all_hex(std::string_view s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

std::string temp_name(std::string_view base, long pid, unsigned long n) {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : base) h = (h ^ c) * 16777619u;
    char buf[80];
    const int len = std::snprintf(buf, sizeof buf, ".cvtmp-%08x-%ld-%lu", h, pid, n);
    return std::string(buf, static_cast<std::size_t>(len));
}

bool parse_temp_name(std::string_view name, long& pid) {
    if (name.substr(0, kTag.size()) != kTag) return false;
    std::string_view rest = name.substr(kTag.size());
    if (rest.size() < 9 || rest[8] != '-' || !all_hex(rest.substr(0, 8))) return false;
    rest = rest.substr(9);
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos) return false;
    const std::string_view pid_text = rest.substr(0, dash), n_text = rest.substr(dash + 1);
    if (!all_digits(pid_text, 18) || !all_digits(n_text, 20)) return false;
    pid = 0;
    for (char c : pid_text) pid = pid * 10 + (c - '0');
    return pid > 0;
}

std::size_t remove_stale_temps(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    std::vector<std::string> stale;
    const long self = static_cast<long>(::getpid());
    while (const dirent* ent = ::readdir(dir)) {
        const std::string_view name = ent->d_name;
        long pid = 0;
        if (!parse_temp_name(name, pid) || pid == self) continue;
        // A process that still exists may be writing it (or the id was reused):
        // leave it.
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        stale.emplace_back(name);
    }
    ::closedir(dir);
    std::size_t removed = 0;
    for (const std::string& name : stale) {
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(path.c_str()) == 0) ++removed;
    }
    return removed;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    const std::string_view base = slash == std::string::npos ? std::string_view(path_)
                                                              : std::string_view(path_).substr(slash + 1);
    const long pid = static_cast<long>(::getpid());
    for (int attempt = 0;; ++attempt) {
        temp_ = dir + temp_name(base, pid, temp_counter++);
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

void AtomicFile::commit(Durability durability) {
    if (durability == Durability::disk && ::fsync(fd_) != 0) throw IoError(errno, path_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw IoError(errno, path_);
    if (::rename(temp_.c_str(), path_.c_str()) != 0) throw IoError(errno, path_);
    temp_.clear();
}

void replace_file(const std::string& path, std::string_view data, Durability durability) {
    AtomicFile f(path);
    f.write(data);
    f.commit(durability);
}

namespace {

void rewrite_in_place(const std::string& target, std::string_view data, const std::string& named) {
    int fd;
    do fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw IoError(errno, named);
    try {
        write_all(fd, data, named);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        throw IoError(e, named);
    }
    if (::close(fd) != 0) throw IoError(errno, named);
}

}  // namespace

void replace_user_file(const std::string& path, std::string_view data) {
    std::string target = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    const bool exists = ::access(target.c_str(), F_OK) == 0;
    if (exists && ::access(target.c_str(), W_OK) != 0) throw IoError(errno, path);
    remove_stale_temps(folder_of(target));
    std::optional<AtomicFile> f;
    try {
        f.emplace(target);
    } catch (const IoError& e) {
        // The file itself was found writable above: a refusal here is the
        // folder's, and the in-place write needs no permission on the folder.
        const bool folder_refused = e.err == EACCES || e.err == EPERM || e.err == EROFS;
        if (!(exists && folder_refused)) throw IoError(e.err, path);
        rewrite_in_place(target, data, path);
        return;
    }
    try {
        f->write(data);
        f->commit(Durability::disk);
    } catch (const IoError& e) {
        throw IoError(e.err, path);
    }
}

}  // namespace corvane::io
