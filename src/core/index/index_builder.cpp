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
#include "core/io/files.hpp"
#include "core/text/unicode.hpp"

namespace corvane::index {
namespace {

constexpr std::size_t kFlushBytes = std::size_t{4} << 20;

}  // namespace

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
        const std::string text = io::read_manual_text(path);
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

// Temporary files of earlier runs that were killed part-way, in the folders
// this run writes to.
void remove_stale_run_temps(const RunConfig& config) {
    io::remove_stale_temps(io::folder_of(config.index_file));
    io::remove_stale_temps(config.tree_dir);
}

}  // namespace

namespace {

void rebuild(const RunConfig& config) {
    io::make_dirs(config.tree_dir);
    const std::vector<std::string> names = io::list_manuals(config.manual_dir);
    if (names.empty()) {
        io::remove_if_exists(config.index_file);
        return;
    }
    io::AtomicFile index(config.index_file);
    json::Buf lines;
    json::Buf tree_text;
    keywords::Builder keywords;
    std::size_t total = 0;
    for (const std::string& name : names) {
        const TreeDocument doc = parse_manual(config, config.manual_dir + "/" + name);
        tree_text.clear();
        json::append_tree_file(tree_text, doc);
        const std::string_view manual_id = std::string_view(name).substr(0, name.size() - 3);
        io::replace_file(config.tree_dir + "/" + std::string(manual_id) + ".json", tree_text.view());
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
        io::remove_if_exists(config.index_file);
        return;
    }
    index.write(lines.view());
    index.commit(io::Durability::disk);
}

}  // namespace

void run(const RunConfig& config) {
    remove_stale_run_temps(config);
    rebuild(config);
    remove_stale_run_temps(config);
}

}  // namespace corvane::index
