// The handler-based JSON reader: any bytes are either read or left to the
// host's parser; every value built on the way is released exactly once.
// The one-pass readers of alias and synonym files take a subset of what it
// takes (it takes what the host's parser takes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/json/reader.hpp"
#include "core/json/string_lists.hpp"

namespace {

struct Counter {
    long live = 0;
    int dummy = 0;
    int* make() {
        ++live;
        return &dummy;
    }
    int* null_value() { return make(); }
    int* boolean(bool) { return make(); }
    int* special_float(double) { return make(); }
    int* small_int(long long) { return make(); }
    int* number_text(std::string_view t, bool) { return t.empty() ? (std::abort(), nullptr) : make(); }
    int* string(std::string_view, bool) { return make(); }
    int* escaped_string(std::string_view, bool) { return make(); }
    int* begin_array() { return make(); }
    int* begin_object() { return make(); }
    bool push(int*, int*) {
        --live;
        return true;
    }
    bool set(int*, int*, int*) {
        live -= 2;
        return true;
    }
    void drop(int*) { --live; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Counter c;
    corvane::json::Reader<Counter> reader(c);
    int* v = reader.parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (v) --c.live;
    if (c.live != 0) std::abort();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool alias = corvane::json::alias_text_well_formed(text);
    const auto synonyms = corvane::json::read_synonym_text(text);
    if ((alias || synonyms) && !v) std::abort();
    return 0;
}
