#include "core/io/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/text/unicode.hpp"

namespace corvane::io {

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

void remove_if_exists(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw IoError(errno, path);
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
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
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

std::string translate_newlines(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\r') {
            out.push_back(s[i]);
            continue;
        }
        out.push_back('\n');
        if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    }
    return out;
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

namespace {
const char* find_byte(const char* p, const char* end, char c) {
    const void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return hit ? static_cast<const char*>(hit) : end;
}
}  // namespace

bool LineMeter::feed(const char* p, std::size_t n) {
    const char* const end = p + n;
    const char* nl = nullptr;
    const char* cr = nullptr;
    while (p != end) {
        if (!nl || nl < p) nl = find_byte(p, end, '\n');
        if (!cr || cr < p) cr = find_byte(p, end, '\r');
        const char* term = std::min(nl, cr);
        if (term != p) after_cr = false;
        length += static_cast<std::size_t>(term - p);
        if (length > limit) return false;
        if (term == end) return true;
        if (!(*term == '\n' && after_cr)) ++lineno;
        after_cr = *term == '\r';
        length = 0;
        p = term + 1;
    }
    return true;
}

std::string read_file_with_line_limit(const std::string& path, std::size_t max_line_bytes) {
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) throw IoError(errno, path);
    std::vector<char> buf(std::size_t{1} << 20);
    auto pass = [&](std::string* keep) {
        LineMeter meter(max_line_bytes);
        while (true) {
            const ssize_t n = ::read(f.fd, buf.data(), buf.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                throw IoError(errno, path);
            }
            if (n == 0) return;
            if (!meter.feed(buf.data(), static_cast<std::size_t>(n)))
                throw LineTooLongError(path, meter.lineno, max_line_bytes);
            if (keep) keep->append(buf.data(), static_cast<std::size_t>(n));
        }
    };
    std::string data;
    struct stat st;
    if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const auto size = static_cast<std::size_t>(st.st_size);
        if (size > max_line_bytes) {
            pass(nullptr);
            if (::lseek(f.fd, 0, SEEK_SET) != 0) throw IoError(errno, path);
        }
        data.reserve(size);
    }
    pass(&data);
    return data;
}

void will_need(const void* p, std::size_t n) {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (n == 0 || page == 0) return;
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t start = a & ~(page - 1);
    ::madvise(reinterpret_cast<void*>(start), a + n - start, MADV_WILLNEED);
}

void will_need_elements(const void* array, std::size_t size, std::span<const std::uint32_t> at) {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (page == 0 || size == 0) return;
    const auto base = reinterpret_cast<std::uintptr_t>(array);
    if (at.empty()) return;
    // When a good share of the array's pages is wanted, one request for
    // all of it reads faster than many for the pages between.
    const std::uintptr_t lo = base & ~(page - 1), hi = (base + std::uintptr_t{at.back()} * size + size - 1) & ~(page - 1);
    std::size_t pages = 0;
    std::uintptr_t seen = 0;
    for (const std::uint32_t i : at) {
        const std::uintptr_t p0 = (base + std::uintptr_t{i} * size) & ~(page - 1);
        if (pages == 0 || p0 != seen) ++pages;
        seen = p0;
    }
    if (4 * pages >= (hi - lo) / page + 1) {
        ::madvise(reinterpret_cast<void*>(lo), hi + page - lo, MADV_WILLNEED);
        return;
    }
    std::uintptr_t first = 0, last = 0;  // the run of pages being gathered
    bool open = false;
    for (const std::uint32_t i : at) {
        const std::uintptr_t a = base + std::uintptr_t{i} * size;
        const std::uintptr_t p0 = a & ~(page - 1), p1 = (a + size - 1) & ~(page - 1);
        if (open && p0 <= last + page) {
            last = std::max(last, p1);
            continue;
        }
        if (open) ::madvise(reinterpret_cast<void*>(first), last + page - first, MADV_WILLNEED);
        first = p0;
        last = p1;
        open = true;
    }
    if (open) ::madvise(reinterpret_cast<void*>(first), last + page - first, MADV_WILLNEED);
}

}  // namespace corvane::io
