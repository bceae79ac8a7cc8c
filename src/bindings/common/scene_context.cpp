#include "bindings/common/scene_context.hpp"

#include "bindings/common/scene_dict.hpp"
#include "core/match/context.hpp"
#include "core/match/intent.hpp"

namespace corvane::py {
namespace {

using Views = Utf8Views;

// A value as text: the str itself, or the host's str().
std::string_view str_text(Views& views, nb::handle v) {
    if (PyUnicode_Check(v.ptr())) return views.of(v);
    PyObject* s = PyObject_Str(v.ptr());
    if (!s) throw nb::python_error();
    nb::object owner = nb::steal(s);
    return views.of(owner);
}

}  // namespace

nb::dict build_scene_context(nb::handle scene, nb::handle intent) {
    std::string scratch;
    const context::Selection sel = context::select(utf8(intent, scratch));
    nb::dict ctx;
    set_item(ctx, key("title"), get_or_empty_str(scene, "title"));
    set_item(ctx, key("description"), key(""));
    nb::list images;
    for (const char* k : {"steps", "warning", "notice", "tip"}) set_item(ctx, key(k), nb::list());
    set_item(ctx, key("images"), images);
    for_each(get_or_nothing(scene, "images"), [&](nb::handle img) { py::append(images, img); });
    nb::object steps = get_or_empty_list(scene, "steps");
    for_each(steps, [&](nb::handle step) {
        for_each(get_or_nothing(step, "images"), [&](nb::handle img) { py::append(images, img); });
    });
    set_item(ctx, key("description"), get_or_empty_str(scene, "description"));
    if (sel.steps) set_item(ctx, key("steps"), get_or_empty_list(scene, "steps"));
    if (sel.warning) set_item(ctx, key("warning"), get_or_empty_list(scene, "warning"));
    if (sel.notice) set_item(ctx, key("notice"), get_or_empty_list(scene, "notice"));
    if (sel.tip) set_item(ctx, key("tip"), get_or_empty_list(scene, "tip"));
    return ctx;
}


nb::str render_context_for_llm(nb::handle ctx) {
    constexpr const char* fn = "render_context_for_llm";
    Views views;
    context::Writer w;
    w.title(str_text(views, get_item(ctx, key("title"))));
    nb::object desc = get_item(ctx, key("description"));
    if (truthy(desc)) w.description(text_field(views, desc, fn, "context['description']"));
    nb::object steps = get_item(ctx, key("steps"));
    if (truthy(steps)) {
        w.steps_heading();
        for_each(steps, [&](nb::handle step) {
            std::string_view index = str_text(views, get_item(step, key("index")));
            w.step(index, str_text(views, get_item(step, key("text"))));
            for_each(get_or_nothing(step, "sub_points"), [&](nb::handle sp) { w.sub_point(str_text(views, sp)); });
        });
    }
    struct Section {
        const char* key;
        void (context::Writer::*heading)();
    };
    for (const Section& s : {Section{"warning", &context::Writer::warning_heading},
                             Section{"notice", &context::Writer::notice_heading},
                             Section{"tip", &context::Writer::tip_heading}}) {
        nb::object items = get_item(ctx, key(s.key));
        if (!truthy(items)) continue;
        (w.*s.heading)();
        for_each(items, [&](nb::handle item) { w.item(str_text(views, item)); });
    }
    nb::object images = get_item(ctx, key("images"));
    if (truthy(images)) {
        w.images_heading();
        for_each(images, [&](nb::handle img) {
            std::string_view caption = str_text(views, get_item(img, key("caption")));
            w.image(caption, str_text(views, get_item(img, key("url"))));
        });
    }
    return str(w.text());
}

void bind_scene_context(nb::module_& m) {
    m.def(
        "classify_query_intent",
        [](nb::handle query) {
            require_str(query, "classify_query_intent", "query");
            std::string scratch;
            return str(intent::classify(utf8(query, scratch)));
        },
        nb::arg("query").none(), "One of 'how_to', 'notice_warning', 'definition_or_list', 'sequence', 'general'.");
    m.def(
        "build_scene_context",
        [](nb::handle scene, nb::handle intent) {
            require_dict(scene, "build_scene_context", "scene");
            require_str(intent, "build_scene_context", "intent");
            return build_scene_context(scene, intent);
        },
        nb::arg("scene").none(), nb::arg("intent").none(), "The parts of the scene that the intent selects, and all its images.");
    m.def(
        "render_context_for_llm",
        [](nb::handle context) {
            require_dict(context, "render_context_for_llm", "context");
            return render_context_for_llm(context);
        },
        nb::arg("context").none(), "The scene context as Markdown text.");
}

}  // namespace corvane::py
