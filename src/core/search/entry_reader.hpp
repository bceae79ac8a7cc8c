// The searched fields of a scene index line, read in the core: what the
// compiled index (title, aliases, keywords) and the hybrid ranker's BM25
// (the scene's texts) take from an entry, without building host objects.
//
// read() takes the plain shape the index writer produces: a JSON object with
// a string "scene_title", "aliases" and "keywords" absent or arrays of
// strings; the scene's texts ("scene_data": "description", "steps" with their
// "text" and "sub_points", "warning", "notice", "tip") are taken where they
// have the writer's types and passed over otherwise.  Anything else (another
// shape, a line the JSON reader gives up on, invalid UTF-8) is not taken: the
// caller reads that line the host's way, which gives its exact value or
// error.  Duplicate keys keep their last value, as the host's parser does.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/search/bm25.hpp"

namespace corvane::search {

struct EntryFields {
    std::string_view title;
    std::string_view manual_id;  // empty when the line has none
    std::vector<std::string_view> aliases, keywords;
    // (field, text) of the scene's texts, in the order the hybrid ranker adds them.
    std::vector<std::pair<Field, std::string_view>> texts;
    void clear() {
        title = {};
        manual_id = {};
        aliases.clear();
        keywords.clear();
        texts.clear();
    }
};

class EntryReader {
public:
    // Fills `out` from one line (no terminator); false when not taken.  The
    // views in `out` live until the next call.
    bool read(std::string_view line, EntryFields& out);

    // A parsed JSON value (the reader's handler builds them).
    struct Node {
        enum Kind : unsigned char { other, string, array, object } kind = other;
        std::string_view text;                     // string: in the line, or in `own` (escaped)
        std::string own;
        std::vector<Node*> items;                  // array; object: key, value, key, value ...
        const Node* member(std::string_view key) const;  // the last value of `key`, or nullptr
    };
    // Handler interface of json::Reader.
    Node* null_value() { return make(Node::other); }
    Node* boolean(bool) { return make(Node::other); }
    Node* special_float(double) { return make(Node::other); }
    Node* small_int(long long) { return make(Node::other); }
    Node* number_text(std::string_view, bool) { return make(Node::other); }
    Node* string(std::string_view utf8, bool is_key);
    Node* escaped_string(std::string_view utf8, bool surrogates);
    Node* begin_array() { return make(Node::array); }
    bool push(Node* list, Node* item) {
        list->items.push_back(item);
        return true;
    }
    Node* begin_object() { return make(Node::object); }
    bool set(Node* dict, Node* key, Node* value) {
        dict->items.push_back(key);
        dict->items.push_back(value);
        return true;
    }
    void drop(Node*) {}

private:
    Node* make(Node::Kind k);
    std::deque<Node> nodes_;
    std::size_t used_ = 0;
};

}  // namespace corvane::search
