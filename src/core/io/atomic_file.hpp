// Atomic file replacement: the one temp-name scheme, the one fsync policy and
// the sweep of temporary files left by killed writers.
//
// Every file the system replaces (tree files, the scene index, the prompt
// file) is written to a temporary file in the target's own folder and renamed
// over the target when complete, so readers see the old or the new content,
// never a mix.  Temporary names are short whatever the target's name:
//
//     .cvtmp-<hash>-<pid>-<n>
//
// <hash> is 8 hex digits of the target's base name (FNV-1a), <pid> the writing
// process, <n> a per-process counter.  A temporary file whose process no longer
// exists was left by a killed writer; remove_stale_temps() removes those.
//
// fsync policy: commit(Durability::disk) flushes the file before the rename;
// used for files whose loss would cost a user's data or a whole run (the scene
// index, the prompt file).  Tree files, rewritten by every run, are renamed
// without a flush (Durability::cache).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/io/errors.hpp"

namespace corvane::io {

enum class Durability { cache, disk };

// The temporary name (no folder) for a target whose base name is `base`.
std::string temp_name(std::string_view base, long pid, unsigned long n);

// True when `name` follows the temporary-name pattern; sets the owner's pid.
bool parse_temp_name(std::string_view name, long& pid);

// Removes the regular files of `folder` named by the temporary-name pattern
// whose owning process no longer exists.  Files of running processes (a
// concurrent writer, or a reused id) and anything else stay; failures to list
// or remove are ignored.  Returns the count removed.
std::size_t remove_stale_temps(const std::string& folder);

// The folder part of a path ("." when it has none).
std::string folder_of(const std::string& path);

// A file written to a temporary sibling and renamed over `path` by commit().
// Destroying it uncommitted removes the temporary file.  A replaced file keeps
// its permission bits; a new one gets 0666 less the umask.
class AtomicFile {
public:
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(std::string_view data);
    // Asks the system to start writing what was written so far to disk, so a
    // durable commit has less to wait for.  Advisory; never fails.
    void start_writeback();
    void commit(Durability durability = Durability::cache);
    // Closes and removes the temporary file; the target is left alone.
    void discard();
    const std::string& path() const { return path_; }
    const std::string& temp_path() const { return temp_; }

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    unsigned long long written_ = 0, flushed_ = 0;
};

// Writes `data` as the whole new content of `path`, atomically.
void replace_file(const std::string& path, std::string_view data, Durability durability = Durability::cache);

// The replacement of a file a user names (the self-check's prompt file):
//  - a symbolic link is followed: the file it points to is replaced;
//  - a file that may not be written is refused (EACCES), as opening it for
//    writing would be, although a rename would not need the permission;
//  - stale temporary files of killed writers in its folder are removed first;
//  - durable (flushed before the rename);
//  - when the folder does not let a temporary file be created (a writable file
//    in a read-only folder), the file is rewritten in place instead: truncated,
//    written and flushed.  That write is not atomic, but it is what a plain
//    open(path, "w") would do, and it succeeds where the rename cannot.
// Errors name `path` as given.
void replace_user_file(const std::string& path, std::string_view data);

}  // namespace corvane::io
