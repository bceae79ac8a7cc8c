// Temporary files left behind by writers that were killed before they could
// rename or remove them.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace corvane::index {

// True when `name` is ".<base>.tmp-<pid>-<n>" (pid and n decimal); sets `base`
// and `pid`.  These are the names AtomicFile gives its temporary files.
bool parse_temp_name(std::string_view name, std::string_view& base, long& pid);

// Removes the regular files of `folder` whose names are temporary-file names
// of a process that no longer exists and whose base name `wanted` accepts.
// Files of running processes (a concurrent run) and anything else are left
// alone; failures to list or remove are ignored.  Returns the count removed.
std::size_t remove_stale_temps(const std::string& folder, const std::function<bool(std::string_view)>& wanted);

}  // namespace corvane::index
