#include "core/io/atomic_file.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace corvane::index {
namespace {

bool all_digits(std::string_view s) {
    if (s.empty() || s.size() > 18) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

bool parse_temp_name(std::string_view name, std::string_view& base, long& pid) {
    constexpr std::string_view kTag = ".tmp-";
    if (name.size() < 2 || name[0] != '.') return false;
    const std::size_t tag = name.rfind(kTag);
    if (tag == std::string_view::npos || tag < 2) return false;
    const std::string_view numbers = name.substr(tag + kTag.size());
    const std::size_t dash = numbers.find('-');
    if (dash == std::string_view::npos) return false;
    const std::string_view pid_text = numbers.substr(0, dash), n_text = numbers.substr(dash + 1);
    if (!all_digits(pid_text) || !all_digits(n_text)) return false;
    pid = 0;
    for (char c : pid_text) pid = pid * 10 + (c - '0');
    base = name.substr(1, tag - 1);
    return pid > 0;
}

std::size_t remove_stale_temps(const std::string& folder, const std::function<bool(std::string_view)>& wanted) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    std::vector<std::string> stale;
    const long self = static_cast<long>(::getpid());
    while (const dirent* ent = ::readdir(dir)) {
        const std::string_view name = ent->d_name;
        std::string_view base;
        long pid = 0;
        if (!parse_temp_name(name, base, pid) || pid == self || !wanted(base)) continue;
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

}  // namespace corvane::index
