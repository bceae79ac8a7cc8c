// Heading paths: for each scene of a manual, the titles of the headings above
// it (chapter, section, topic ...), the root excluded.  Real manuals cut a
// topic into generic sub-headings ("操作说明", "通过中央显示屏调节"); the
// topic is then only in the path, so rankers read it as a field of its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/manual/records.hpp"

namespace corvane::manual {

// One path per scene, in the order markdown_to_tree lists the scenes; titles
// cleaned as scene titles are.
std::vector<std::vector<std::string>> scene_heading_paths(const HeadingNode& root);
std::vector<std::vector<std::string>> scene_heading_paths(std::string_view markdown, std::string_view doc_name = {},
                                                          std::string_view document_title = {});

// "A › B" -- the path as shown to owners.
std::string join_heading_path(const std::vector<std::string>& path, std::string_view sep = " › ");

}  // namespace corvane::manual
