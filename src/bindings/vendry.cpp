// corvane.vendry: the answer prompt and the prompt self-check loop.
//
// generate_ai_prompt() returns a coroutine object (bindings/common/coroutine.hpp:
// the protocol, and delegation to each awaited llm_response(...) call the way
// `yield from` does) whose body is the self-check state machine here; the
// prompt texts are core/selfcheck/prompt.hpp's.
//
// Hooks looked up in the module namespace at use, so tests and callers can
// replace them: `llm_response` (at every model call), `trange` (at the start of
// each progress display) and `_clock` (once at the start of every call; it
// returns the current time, converted to `beijing_tz` before formatting).
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "bindings/common/coroutine.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/repr.hpp"
#include "core/io/atomic_file.hpp"
#include "core/io/files.hpp"
#include "core/selfcheck/loop.hpp"
#include "core/io/env.hpp"
#include "core/selfcheck/prompt.hpp"

#include <array>
#include <cstdlib>
#include <memory>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane;

namespace {

constexpr const char* kFn = "generate_ai_prompt";

// ---- small host helpers --------------------------------------------------------

[[noreturn]] void fail() { throw nb::python_error(); }

nb::object check(PyObject* o) {
    if (!o) fail();
    return nb::steal(o);
}

using py::str_or_repr;

// print(text): written through the host's current sys.stdout.
void print(std::string_view text) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out || out == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        fail();
    }
    std::string line(text);
    line.push_back('\n');
    nb::object s = py::str(line);
    check(PyObject_CallMethod(out, "write", "O", s.ptr()));
}

nb::object get_item(nb::handle record, const char* k) {
    return check(PyObject_GetItem(record.ptr(), py::key(k).ptr()));
}

nb::object global(nb::handle globals, const char* name) {
    PyObject* v = PyDict_GetItemWithError(globals.ptr(), py::key(name).ptr());
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        fail();
    }
    return nb::borrow(v);
}

// Whether a model's "is_ok" accepts: false, None, zero, empty values and the
// strings "false", "0", "no", "none", "null" (any case, surrounding white space
// ignored) reject; everything else accepts.
bool accepted(nb::handle v) {
    if (PyUnicode_Check(v.ptr())) {
        nb::object s = check(PyObject_CallMethod(v.ptr(), "strip", nullptr));
        s = check(PyObject_CallMethod(s.ptr(), "lower", nullptr));
        std::string scratch;
        const std::string_view t = py::utf8(s, scratch);
        return selfcheck::text_accepts(t);
    }
    const int truth = PyObject_IsTrue(v.ptr());
    if (truth < 0) fail();
    return truth != 0;
}

// ---- prompt file ---------------------------------------------------------------

// The whole file as UTF-8 text with universal newlines (\r\n and \r read as \n);
// invalid UTF-8 raises UnicodeDecodeError as a text-mode read would.
std::string read_text(nb::handle path) {
    const std::string p = py::fs_path(path, kFn, "prompt_path");
    std::string data = py::translating_core_errors([&] { return io::read_file(p); });
    check(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
    if (data.find('\r') != std::string::npos) data = io::translate_newlines(data);
    return data;
}

// Replaces the prompt file (io::replace_user_file: atomic, followed links,
// stale temporaries swept, in place when the folder is read-only).
void write_text(nb::handle path, std::string_view text) {
    const std::string p = py::fs_path(path, kFn, "prompt_path");
    py::translating_core_errors([&] { io::replace_user_file(p, text); });
}

// ---- the coroutine -----------------------------------------------------------------

using selfcheck::Phase;

struct Machine {
    nb::object globals;
    nb::object prompt_path, user_input, knowledges, base_rules, llm_url, llm_key;
    nb::object current_reply, res, suggestions, suggestions_res;
    nb::object cycle_bar, try_bar;
    selfcheck::Loop loop;
    std::string time_text;
    std::string filled;  // the cycle's prompt with question, knowledge and time put in
    std::size_t max_prompt_bytes = prompt::kMaxPromptBytes;
    bool check_replies = false;  // the module's check_replies, read at the start of the call
};

// The bound of a filled prompt: CORVANE_MAX_PROMPT_BYTES when set, read at the
// start of every call.
constexpr const char* kMaxPromptEnv = "CORVANE_MAX_PROMPT_BYTES";

std::size_t max_prompt_bytes() {
    constexpr std::size_t kHighest = std::size_t{1} << 40;
    try {
        return io::env_count(kMaxPromptEnv, 1, kHighest).value_or(prompt::kMaxPromptBytes);
    } catch (const io::SettingError& e) {
        PyErr_Format(PyExc_ValueError, "%s(): %s must be a whole number of bytes from 1 to %zu, not '%s'", kFn,
                     kMaxPromptEnv, kHighest, e.text.c_str());
        fail();
    }
}

nb::object make_bar(Machine& m, int total, std::string_view label) {
    nb::object trange = global(m.globals, "trange");
    PyObject* err = PySys_GetObject("stderr");
    nb::object kwargs = nb::dict();
    py::set_item(kwargs, py::key("desc"), py::str(label));
    if (err) py::set_item(kwargs, py::key("file"), err);
    nb::object args = check(Py_BuildValue("(i)", total));
    return check(PyObject_Call(trange.ptr(), args.ptr(), kwargs.ptr()));
}

void bar_update(const nb::object& bar) {
    if (bar.is_valid()) check(PyObject_CallMethod(bar.ptr(), "update", "i", 1));
}

// Closes a progress display; a failure there must not hide the call's outcome.
void bar_close(nb::object& bar) {
    if (!bar.is_valid()) return;
    nb::object b = std::move(bar);
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = PyObject_CallMethod(b.ptr(), "close", nullptr);
    if (r) {
        Py_DECREF(r);
    } else {
        PyErr_WriteUnraisable(b.ptr());
    }
    PyErr_Restore(t, v, tb);
}

nb::object start_call(Machine& m, std::string_view prompt) {
    nb::object fn = global(m.globals, "llm_response");
    nb::object p = py::str(prompt);
    nb::object awaitable =
        check(PyObject_CallFunctionObjArgs(fn.ptr(), m.llm_url.ptr(), m.llm_key.ptr(), p.ptr(), nullptr));
    return awaitable;
}

std::string base_rules_text(const Machine& m) {
    std::string scratch;
    return std::string(py::utf8(m.base_rules, scratch));
}

std::string check_request(const Machine& m) {
    return prompt::check_prompt(m.filled, str_or_repr(m.suggestions), base_rules_text(m));
}

// Starts cycle i: banner, file read, filling; returns the answer request, or an
// empty optional when all cycles are done.
bool begin_cycle(Machine& m, std::string& request) {
    if (!m.loop.begin_cycle()) return false;
    print(prompt::cycle_banner(m.loop.cycle() + 1));
    print(std::string(prompt::kQuestionLine) + str_or_repr(m.user_input));
    std::string raw = read_text(m.prompt_path);
    if (raw.empty()) raw = prompt::default_template(base_rules_text(m));
    try {
        m.filled = prompt::fill(raw, str_or_repr(m.user_input), str_or_repr(m.knowledges), m.time_text,
                                m.max_prompt_bytes);
    } catch (const prompt::PromptTooLarge& e) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): cycle %d: the prompt filled with the question, the knowledge and the time would pass "
                     "%zu bytes (%s); the model was not called and the prompt file is unchanged",
                     kFn, m.loop.cycle() + 1, e.limit, kMaxPromptEnv);
        fail();
    }
    request = prompt::answer_request(m.filled);
    return true;
}

// ---- reply checks (check_replies) -------------------------------------------------
//
// With check_replies set, every reply must hold what the loop is about to read
// from it, before the loop acts on it: a JSON object with "answer" and "reason"
// (answer), "is_ok" true or false and, when rejected, "reason" (judge), "is_ok"
// and, when rejected, "new_suggestions", and on the cycle's last check a str
// "new_prompt" (check).  Anything else raises ReplyError naming the key, the
// reply and the cycle.

const char* json_type_name(nb::handle v) {
    if (PyBool_Check(v.ptr())) return "a boolean";
    if (PyUnicode_Check(v.ptr())) return "a string";
    if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return "a number";
    if (PyList_Check(v.ptr())) return "an array";
    if (PyDict_Check(v.ptr())) return "an object";
    if (v.is_none()) return "null";
    return Py_TYPE(v.ptr())->tp_name;
}

[[noreturn]] void reply_error(const Machine& m, const std::string& what, const std::string& where) {
    nb::object type = global(m.globals, "ReplyError");
    nb::object text = py::str("model reply " + what + " (" + where + ")");
    PyErr_SetObject(type.ptr(), text.ptr());
    fail();
}

enum class Kind { any, boolean, text };

nb::object needed(const Machine& m, nb::handle reply, const char* key, Kind kind, const std::string& where) {
    PyObject* v = PyDict_GetItemWithError(reply.ptr(), py::key(key).ptr());
    if (!v) {
        if (PyErr_Occurred()) fail();
        reply_error(m, std::string("lacks \"") + key + "\"", where);
    }
    nb::object value = nb::borrow(v);
    const bool ok = kind == Kind::any || (kind == Kind::boolean && PyBool_Check(v)) ||
                    (kind == Kind::text && PyUnicode_Check(v));
    if (!ok)
        reply_error(m, std::string("has \"") + key + "\" " + json_type_name(value) + ", not " +
                           (kind == Kind::boolean ? "true or false" : "a string"), where);
    return value;
}

void check_reply(const Machine& m, nb::handle reply) {
    const Phase phase = m.loop.phase();
    std::string where = phase == Phase::answer ? "answer" : phase == Phase::judge ? "judge" : "check";
    where += " reply, cycle " + std::to_string(m.loop.cycle() + 1);
    if (phase == Phase::check) where += ", check " + std::to_string(m.loop.tries() + 1);
    if (!PyDict_Check(reply.ptr())) reply_error(m, std::string("is ") + json_type_name(reply) + ", not a JSON object", where);
    if (phase == Phase::answer) {
        needed(m, reply, "answer", Kind::any, where);
        needed(m, reply, "reason", Kind::any, where);
    } else if (phase == Phase::judge) {
        if (!PyObject_IsTrue(needed(m, reply, "is_ok", Kind::boolean, where).ptr())) needed(m, reply, "reason", Kind::any, where);
    } else if (phase == Phase::check) {
        const bool ok = needed(m, reply, "is_ok", Kind::boolean, where).ptr() == Py_True;
        if (!ok) needed(m, reply, "new_suggestions", Kind::any, where);
        if (m.loop.last_check(ok)) needed(m, reply, "new_prompt", Kind::text, where);
    }
}

// Moves the machine past the result of the awaited call (nothing at the start).
// Returns true with the next prompt to send, or false when the loop is over.
bool advance(Machine& m, nb::handle value, std::string& request) {
    if (m.check_replies && m.loop.phase() != Phase::start && m.loop.phase() != Phase::done) check_reply(m, value);
    switch (m.loop.phase()) {
        case Phase::start: {
            m.max_prompt_bytes = max_prompt_bytes();
            m.check_replies = py::truthy(global(m.globals, "check_replies"));
            nb::object now = check(PyObject_CallNoArgs(global(m.globals, "_clock").ptr()));
            nb::object tz = global(m.globals, "beijing_tz");
            now = check(PyObject_CallMethod(now.ptr(), "astimezone", "O", tz.ptr()));
            nb::object t = check(PyObject_CallMethod(now.ptr(), "strftime", "s", prompt::kTimeFormat));
            m.time_text = str_or_repr(t);
            m.cycle_bar = make_bar(m, prompt::kCycles, prompt::kCycleLabel);
            return begin_cycle(m, request);
        }
        case Phase::answer: {
            m.current_reply = nb::borrow(value);
            print(str_or_repr(m.current_reply));
            nb::object answer = get_item(m.current_reply, "answer");
            nb::object reason = get_item(m.current_reply, "reason");
            request = prompt::judge_prompt(str_or_repr(m.user_input), m.filled, str_or_repr(answer), str_or_repr(reason));
            m.loop.answered();
            return true;
        }
        case Phase::judge: {
            m.res = nb::borrow(value);
            if (!m.loop.judged(accepted(get_item(m.res, "is_ok")))) {
                print(str_or_repr(m.current_reply));
                print(prompt::kAcceptedLine);
                bar_update(m.cycle_bar);
                return false;
            }
            m.suggestions = get_item(m.res, "reason");
            print(std::string(prompt::kSuggestionsLine) + str_or_repr(m.suggestions));
            m.try_bar = make_bar(m, prompt::kTries, prompt::kTryLabel);
            request = check_request(m);
            return true;
        }
        case Phase::check: {
            m.suggestions_res = nb::borrow(value);
            bar_update(m.try_bar);
            const bool ok = accepted(get_item(m.suggestions_res, "is_ok"));
            if (!ok) {
                m.suggestions = get_item(m.suggestions_res, "new_suggestions");
                print(std::string(prompt::kSuggestionsLine) + str_or_repr(m.suggestions));
            }
            if (m.loop.checked(ok)) {
                request = check_request(m);
                return true;
            }
            bar_close(m.try_bar);
            nb::object new_prompt = get_item(m.suggestions_res, "new_prompt");
            if (!PyUnicode_Check(new_prompt.ptr())) {
                PyErr_Format(PyExc_TypeError, "%s(): the model's new_prompt must be str, not %.200s", kFn,
                             Py_TYPE(new_prompt.ptr())->tp_name);
                fail();
            }
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(new_prompt.ptr(), &size);
            if (!data) fail();
            write_text(m.prompt_path, std::string_view(data, static_cast<std::size_t>(size)));
            print(prompt::kCycleEndLine);
            bar_update(m.cycle_bar);
            m.loop.end_cycle();
            return begin_cycle(m, request);
        }
        case Phase::done:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "self-check coroutine resumed in a finished state");
    fail();
}

// Final output and the result.
nb::object conclude(Machine& m) {
    print(prompt::kFinalRule);
    print(std::string(prompt::kFinalQuestion) + str_or_repr(m.user_input));
    print(std::string(prompt::kFinalAnswer) + str_or_repr(m.current_reply));
    return nb::borrow(m.loop.success() ? Py_True : Py_False);
}

// The self-check loop as a coroutine body: each step moves the machine past
// the model's reply and names the next model call to await.
class SelfCheck : public py::CoroutineBody {
public:
    explicit SelfCheck(std::unique_ptr<Machine> m) : m_(std::move(m)) {}
    const char* name() const override { return kFn; }
    bool step(nb::handle value, nb::object& awaitable, nb::object& result) override {
        std::string request;
        if (!advance(*m_, value, request)) {
            result = conclude(*m_);
            return false;
        }
        awaitable = start_call(*m_, request);
        return true;
    }
    // Closes the progress displays; a pending exception is kept.
    void finish() override {
        m_->loop.finish();
        bar_close(m_->try_bar);
        bar_close(m_->cycle_bar);
    }
    int traverse(visitproc visit, void* arg) override {
        for (nb::object* o : objects()) Py_VISIT(o->ptr());
        return 0;
    }
    void clear() override {
        for (nb::object* o : objects()) {
            nb::object tmp = std::move(*o);
        }
    }

private:
    std::array<nb::object*, 13> objects() {
        Machine& m = *m_;
        return {&m.globals, &m.prompt_path, &m.user_input, &m.knowledges, &m.base_rules, &m.llm_url, &m.llm_key,
                &m.current_reply, &m.res, &m.suggestions, &m.suggestions_res, &m.cycle_bar, &m.try_bar};
    }
    std::unique_ptr<Machine> m_;
};

nb::object new_self_check(nb::handle type, nb::handle globals, nb::handle prompt_path, nb::handle user_input,
                          nb::handle knowledges, nb::handle base_rules, nb::handle llm_url, nb::handle llm_key) {
    auto m = std::make_unique<Machine>();
    m->globals = nb::borrow(globals);
    m->prompt_path = nb::borrow(prompt_path);
    m->user_input = nb::borrow(user_input);
    m->knowledges = nb::borrow(knowledges);
    m->base_rules = nb::borrow(base_rules);
    m->llm_url = nb::borrow(llm_url);
    m->llm_key = nb::borrow(llm_key);
    return py::new_coroutine(type, std::make_unique<SelfCheck>(std::move(m)));
}

}  // namespace

CORVANE_MODULE(vendry, m) {
    // Bound in this order; a missing dependency or time zone fails the import.
    nb::object zoneinfo = nb::module_::import_("zoneinfo");
    nb::object datetime = nb::module_::import_("datetime").attr("datetime");
    nb::object trange = nb::module_::import_("tqdm").attr("trange");
    nb::object llm_response = nb::module_::import_("harlune").attr("llm_response");
    m.attr("trange") = trange;
    m.attr("llm_response") = llm_response;
    nb::object tz = zoneinfo.attr("ZoneInfo")("Asia/Shanghai");
    m.attr("beijing_tz") = tz;
    m.attr("now_beijing") = datetime.attr("now")(tz);
    m.attr("TRIES") = prompt::kTries;  // the per-cycle try count each cycle starts from
    // The reply checks: off by default (the loop reads what it reads); a host
    // that wants every reply checked before the loop acts on it sets it.
    m.attr("check_replies") = false;
    m.attr("ReplyError") = nb::steal(PyErr_NewExceptionWithDoc(
        "corvane.vendry.ReplyError", "A model reply the self-check loop cannot use (with check_replies set).",
        PyExc_ValueError, nullptr));

    m.def(
        "build_prompt",
        [](nb::handle user_input, nb::handle context_text) {
            return py::str(prompt::answer_prompt(str_or_repr(user_input), str_or_repr(context_text)));
        },
        "user_input"_a.none(), "context_text"_a.none(),
        "The answer prompt for a question and the knowledge it must rest on (non-str values use their repr).");

    nb::object coro_type = py::make_coroutine_type("corvane.vendry.SelfCheckCoroutine");

    // The hooks are read from the module's namespace at use; the functions hold
    // it strongly, so a saved function keeps working after the module is
    // dropped from sys.modules.
    nb::object ns = m.attr("__dict__");
    m.def(
        kFn,
        [ns, coro_type](nb::handle prompt_path, nb::handle user_input, nb::handle knowledges, nb::handle base_rules,
           nb::handle llm_url, nb::handle llm_key) {
            py::require_str(prompt_path, kFn, "prompt_path");
            py::require_str(base_rules, kFn, "base_rules");
            py::require_str(llm_url, kFn, "llm_url");
            py::require_str(llm_key, kFn, "llm_key");
            return new_self_check(coro_type, ns, prompt_path, user_input, knowledges, base_rules, llm_url, llm_key);
        },
        "prompt_path"_a.none(), "user_input"_a.none(), "knowledges"_a.none(), "base_rules"_a.none() = "",
        "llm_url"_a.none() = "", "llm_key"_a.none() = "",
        "Improves the prompt file with the model in up to 8 self-check cycles; awaited, True when an answer "
        "was accepted.");

    m.def(
        "_clock",
        [ns]() {
            nb::object now = nb::module_::import_("datetime").attr("datetime").attr("now");
            return now(global(ns, "beijing_tz"));
        },
        "The current time in beijing_tz (read once at the start of every self-check call).");
}
