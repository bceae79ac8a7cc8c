#include "core/search/entry_reader.hpp"

#include "core/json/reader.hpp"
#include "core/text/unicode.hpp"

namespace corvane::search {

using Node = EntryReader::Node;

Node* EntryReader::make(Node::Kind k) {
    if (used_ == nodes_.size()) nodes_.emplace_back();
    Node* n = &nodes_[used_++];
    n->kind = k;
    n->text = {};
    n->items.clear();
    return n;
}

Node* EntryReader::string(std::string_view utf8, bool) {
    if (uni::find_invalid_utf8(utf8) != std::string_view::npos) return nullptr;  // the host's decoder refuses it
    Node* n = make(Node::string);
    n->text = utf8;  // the line's bytes, which outlive the entry's fields
    return n;
}

Node* EntryReader::escaped_string(std::string_view utf8, bool) {
    // Lone surrogates arrive as their 3-byte forms: the bytes the host's
    // str gives with "surrogatepass", which is how the bindings read it.
    Node* n = make(Node::string);
    n->own.assign(utf8);  // the reader's buffer, reused for the next escaped string
    n->text = n->own;
    return n;
}

const Node* Node::member(std::string_view key) const {
    const Node* found = nullptr;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2)
        if (items[i]->text == key) found = items[i + 1];
    return found;
}

namespace {

// Array of strings -> views; false when another shape.
bool strings_of(const Node* n, std::vector<std::string_view>& out) {
    if (n->kind != Node::array) return false;
    for (const Node* x : n->items) {
        if (x->kind != Node::string) return false;
        out.push_back(x->text);
    }
    return true;
}

// The strings of an array, others passed over.
void texts_of(const Node* n, Field f, EntryFields& out) {
    if (!n || n->kind != Node::array) return;
    for (const Node* x : n->items)
        if (x->kind == Node::string) out.texts.emplace_back(f, x->text);
}

}  // namespace

bool EntryReader::read(std::string_view line, EntryFields& out) {
    out.clear();
    used_ = 0;
    json::Reader<EntryReader> reader(*this);
    const Node* root = reader.parse(line);
    if (!root || root->kind != Node::object) return false;
    const Node* title = root->member("scene_title");
    if (!title || title->kind != Node::string) return false;
    out.title = title->text;
    if (const Node* m = root->member("manual_id"); m && m->kind == Node::string) out.manual_id = m->text;
    if (const Node* a = root->member("aliases"); a && !strings_of(a, out.aliases)) return false;
    if (const Node* k = root->member("keywords"); k && !strings_of(k, out.keywords)) return false;
    const Node* scene = root->member("scene_data");
    if (!scene || scene->kind != Node::object) return true;
    if (const Node* d = scene->member("description"); d && d->kind == Node::string)
        out.texts.emplace_back(kDescription, d->text);
    if (const Node* steps = scene->member("steps"); steps && steps->kind == Node::array) {
        for (const Node* st : steps->items) {
            if (st->kind != Node::object) continue;
            if (const Node* t = st->member("text"); t && t->kind == Node::string) out.texts.emplace_back(kSteps, t->text);
            texts_of(st->member("sub_points"), kSteps, out);
        }
    }
    texts_of(scene->member("warning"), kWarning, out);
    texts_of(scene->member("notice"), kNotice, out);
    texts_of(scene->member("tip"), kTip, out);
    return true;
}

}  // namespace corvane::search
