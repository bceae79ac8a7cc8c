// corvane.vendry: the answer prompt and the prompt self-check loop.
//
// generate_ai_prompt() returns a coroutine object implemented here: a state
// machine that delegates to each awaited llm_response(...) call the way
// `yield from` does (values the inner awaitable yields leave unchanged; send,
// throw and close reach it) and continues when that call returns.
//
// Hooks looked up in the module namespace at use, so tests and callers can
// replace them: `llm_response` (at every model call), `trange` (at the start of
// each progress display) and `_clock` (once at the start of every call; it
// returns the current time, converted to `beijing_tz` before formatting).
#include "bindings/common/module.hpp"
#include "bindings/common/py_util.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/repr.hpp"
#include "core/io/atomic_file.hpp"
#include "core/io/files.hpp"
#include "core/selfcheck/prompt.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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
        return !(t.empty() || t == "false" || t == "0" || t == "no" || t == "none" || t == "null");
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

enum class Phase { start, answer, judge, check, done };

struct Machine {
    nb::object globals;
    nb::object prompt_path, user_input, knowledges, base_rules, llm_url, llm_key;
    nb::object inner;  // iterator of the awaited model call
    nb::object current_reply, res, suggestions, suggestions_res;
    nb::object cycle_bar, try_bar;
    Phase phase = Phase::start;
    bool running = false;
    bool is_success = false;
    int i = 0;
    int j = 0;
    std::string time_text;
    std::string filled;  // the cycle's prompt with question, knowledge and time put in
};

struct CoroObject {
    PyObject_HEAD
    Machine* m;
};

PyTypeObject* coro_type = nullptr;

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

// The iterator that `await obj` would drive.
nb::object awaitable_iter(nb::handle obj) {
    PyObject* o = obj.ptr();
    if (PyCoro_CheckExact(o)) return nb::borrow(o);
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    if (am && am->am_await) {
        nb::object it = check(am->am_await(o));
        if (PyCoro_CheckExact(it.ptr())) {
            PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            fail();
        }
        if (!PyIter_Check(it.ptr())) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                         Py_TYPE(it.ptr())->tp_name);
            fail();
        }
        return it;
    }
    if (PyGen_CheckExact(o)) {  // generator-based coroutine (types.coroutine)
        nb::object code = check(PyObject_GetAttrString(o, "gi_code"));
        nb::object flags = check(PyObject_GetAttrString(code.ptr(), "co_flags"));
        const long f = PyLong_AsLong(flags.ptr());
        if (f == -1 && PyErr_Occurred()) fail();
        if (f & CO_ITERABLE_COROUTINE) return nb::borrow(o);
    }
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    fail();
}

nb::object start_call(Machine& m, std::string_view prompt) {
    nb::object fn = global(m.globals, "llm_response");
    nb::object p = py::str(prompt);
    nb::object awaitable =
        check(PyObject_CallFunctionObjArgs(fn.ptr(), m.llm_url.ptr(), m.llm_key.ptr(), p.ptr(), nullptr));
    return awaitable_iter(awaitable);
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
    if (m.i >= prompt::kCycles) return false;
    print(prompt::cycle_banner(m.i + 1));
    print(std::string(prompt::kQuestionLine) + str_or_repr(m.user_input));
    std::string raw = read_text(m.prompt_path);
    if (raw.empty()) raw = prompt::default_template(base_rules_text(m));
    m.filled = prompt::fill(raw, str_or_repr(m.user_input), str_or_repr(m.knowledges), m.time_text);
    m.phase = Phase::answer;
    request = prompt::answer_request(m.filled);
    return true;
}

// Moves the machine past the result of the awaited call (nothing at the start).
// Returns true with the next prompt to send, or false when the loop is over.
bool advance(Machine& m, nb::handle value, std::string& request) {
    switch (m.phase) {
        case Phase::start: {
            nb::object now = check(PyObject_CallNoArgs(global(m.globals, "_clock").ptr()));
            nb::object tz = global(m.globals, "beijing_tz");
            now = check(PyObject_CallMethod(now.ptr(), "astimezone", "O", tz.ptr()));
            nb::object t = check(PyObject_CallMethod(now.ptr(), "strftime", "s", prompt::kTimeFormat));
            m.time_text = str_or_repr(t);
            m.is_success = false;
            m.cycle_bar = make_bar(m, prompt::kCycles, prompt::kCycleLabel);
            m.i = 0;
            return begin_cycle(m, request);
        }
        case Phase::answer: {
            m.current_reply = nb::borrow(value);
            print(str_or_repr(m.current_reply));
            nb::object answer = get_item(m.current_reply, "answer");
            nb::object reason = get_item(m.current_reply, "reason");
            request = prompt::judge_prompt(str_or_repr(m.user_input), m.filled, str_or_repr(answer), str_or_repr(reason));
            m.phase = Phase::judge;
            return true;
        }
        case Phase::judge: {
            m.res = nb::borrow(value);
            if (accepted(get_item(m.res, "is_ok"))) {
                print(str_or_repr(m.current_reply));
                print(prompt::kAcceptedLine);
                m.is_success = true;
                bar_update(m.cycle_bar);
                return false;
            }
            m.suggestions = get_item(m.res, "reason");
            print(std::string(prompt::kSuggestionsLine) + str_or_repr(m.suggestions));
            m.j = 0;
            m.try_bar = make_bar(m, prompt::kTries, prompt::kTryLabel);
            request = check_request(m);
            m.phase = Phase::check;
            return true;
        }
        case Phase::check: {
            m.suggestions_res = nb::borrow(value);
            bar_update(m.try_bar);
            if (!accepted(get_item(m.suggestions_res, "is_ok"))) {
                m.suggestions = get_item(m.suggestions_res, "new_suggestions");
                print(std::string(prompt::kSuggestionsLine) + str_or_repr(m.suggestions));
                if (++m.j < prompt::kTries) {
                    request = check_request(m);
                    return true;
                }
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
            ++m.i;
            return begin_cycle(m, request);
        }
        case Phase::done:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "self-check coroutine resumed in a finished state");
    fail();
}

// Ends the call: drops the awaited call and closes the progress displays.  A
// pending exception is kept.
void finish(Machine& m) {
    m.phase = Phase::done;
    m.inner.reset();
    bar_close(m.try_bar);
    bar_close(m.cycle_bar);
}

// Final output and the result.
nb::object conclude(Machine& m) {
    print(prompt::kFinalRule);
    print(std::string(prompt::kFinalQuestion) + str_or_repr(m.user_input));
    print(std::string(prompt::kFinalAnswer) + str_or_repr(m.current_reply));
    return nb::borrow(m.is_success ? Py_True : Py_False);
}

// Runs the machine from `value` (the result of the awaited call) until it
// awaits again (PYGEN_NEXT, *out = the value the inner call yielded), returns
// (PYGEN_RETURN, *out = the result) or fails (PYGEN_ERROR).
PySendResult proceed(Machine& m, nb::object value, PyObject** out) {
    try {
        for (;;) {
            std::string request;
            if (!advance(m, value, request)) {
                nb::object result = conclude(m);
                finish(m);
                *out = result.release().ptr();
                return PYGEN_RETURN;
            }
            m.inner = start_call(m, request);
            PyObject* r = nullptr;
            const PySendResult k = PyIter_Send(m.inner.ptr(), Py_None, &r);
            if (k == PYGEN_NEXT) {
                *out = r;
                return PYGEN_NEXT;
            }
            m.inner.reset();
            if (k == PYGEN_ERROR) fail();
            value = nb::steal(r);
        }
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    finish(m);
    *out = nullptr;
    return PYGEN_ERROR;
}

// Raises (typ, val, tb) as `throw` does; returns false with the error set.
bool set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(typ)) {
        Py_INCREF(typ);
        Py_XINCREF(val);
        Py_XINCREF(tb);
        PyErr_Restore(typ, val, tb);
        PyObject *t, *v, *b;
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
        if (b) PyException_SetTraceback(v, b);
        PyErr_Restore(t, v, b);
        return false;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        PyObject* cls = PyExceptionInstance_Class(typ);
        Py_INCREF(cls);
        Py_INCREF(typ);
        if (!tb) tb = PyException_GetTraceback(typ);
        else Py_INCREF(tb);
        PyErr_Restore(cls, typ, tb);
        return false;
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
}

// The value of a pending StopIteration (cleared), or nullptr when the pending
// error is something else.
PyObject* take_stop_value() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyObject* value = v ? PyObject_GetAttrString(v, "value") : nullptr;
    if (!value) {
        PyErr_Clear();
        value = Py_NewRef(Py_None);
    }
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return value;
}

bool ensure_runnable(Machine& m) {
    if (m.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

struct RunningGuard {
    Machine& m;
    explicit RunningGuard(Machine& mm) : m(mm) { m.running = true; }
    ~RunningGuard() { m.running = false; }
};

PySendResult coro_send_impl(CoroObject* self, PyObject* arg, PyObject** out) {
    Machine& m = *self->m;
    *out = nullptr;
    if (!ensure_runnable(m)) return PYGEN_ERROR;
    if (m.phase == Phase::done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    RunningGuard guard(m);
    if (m.phase == Phase::start) {
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return proceed(m, nb::object(), out);
    }
    PyObject* r = nullptr;
    const PySendResult k = PyIter_Send(m.inner.ptr(), arg ? arg : Py_None, &r);
    if (k == PYGEN_NEXT) {
        *out = r;
        return PYGEN_NEXT;
    }
    m.inner.reset();
    if (k == PYGEN_ERROR) {
        finish(m);
        return PYGEN_ERROR;
    }
    return proceed(m, nb::steal(r), out);
}

PySendResult coro_throw_impl(CoroObject* self, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
    Machine& m = *self->m;
    *out = nullptr;
    if (!ensure_runnable(m)) return PYGEN_ERROR;
    RunningGuard guard(m);
    const bool suspended = m.phase != Phase::start && m.phase != Phase::done && m.inner.is_valid();
    if (!suspended) {
        if (m.phase != Phase::done) finish(m);
        set_thrown(typ, val, tb);
        return PYGEN_ERROR;
    }
    const bool is_exit = PyExceptionClass_Check(typ)   ? PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)
                         : PyExceptionInstance_Check(typ) ? PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)
                                                          : false;
    nb::object inner = m.inner;
    if (is_exit) {
        // As `yield from` does: close the inner call, then raise here.
        PyObject* close = PyObject_GetAttrString(inner.ptr(), "close");
        if (!close) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                finish(m);
                return PYGEN_ERROR;
            }
            PyErr_Clear();
        } else {
            PyObject* r = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (!r) {
                finish(m);
                return PYGEN_ERROR;
            }
            Py_DECREF(r);
        }
        finish(m);
        set_thrown(typ, val, tb);
        return PYGEN_ERROR;
    }
    PyObject* meth = PyObject_GetAttrString(inner.ptr(), "throw");
    if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            finish(m);
            return PYGEN_ERROR;
        }
        PyErr_Clear();
        finish(m);
        set_thrown(typ, val, tb);
        return PYGEN_ERROR;
    }
    // Passed on in the form it came in (one, two or three arguments).
    PyObject* r = tb    ? PyObject_CallFunctionObjArgs(meth, typ, val ? val : Py_None, tb, nullptr)
                  : val ? PyObject_CallFunctionObjArgs(meth, typ, val, nullptr)
                        : PyObject_CallOneArg(meth, typ);
    Py_DECREF(meth);
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    m.inner.reset();
    PyObject* value = take_stop_value();
    if (!value) {
        finish(m);
        return PYGEN_ERROR;
    }
    return proceed(m, nb::steal(value), out);
}

// Converts a send result into the iterator protocol's return value.
PyObject* as_iter_result(PySendResult k, PyObject* out) {
    if (k == PYGEN_NEXT) return out;
    if (k == PYGEN_RETURN) {
        // Wrapped in an instance so that tuples and exceptions leave as the value itself.
        PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, out);
        Py_DECREF(out);
        if (exc) {
            PyErr_SetObject(PyExc_StopIteration, exc);
            Py_DECREF(exc);
        }
    }
    return nullptr;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return coro_send_impl(reinterpret_cast<CoroObject*>(self), arg, out);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* out = nullptr;
    const PySendResult k = coro_send_impl(reinterpret_cast<CoroObject*>(self), Py_None, &out);
    return as_iter_result(k, out);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    const PySendResult k = coro_send_impl(reinterpret_cast<CoroObject*>(self), arg, &out);
    return as_iter_result(k, out);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    PyObject* out = nullptr;
    const PySendResult k = coro_throw_impl(reinterpret_cast<CoroObject*>(self), typ, val, tb, &out);
    return as_iter_result(k, out);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroObject* c = reinterpret_cast<CoroObject*>(self);
    Machine& m = *c->m;
    if (m.phase == Phase::start || m.phase == Phase::done) {
        if (m.running) {
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        }
        if (m.phase != Phase::done) finish(m);
        Py_RETURN_NONE;
    }
    PyObject* out = nullptr;
    const PySendResult k = coro_throw_impl(c, PyExc_GeneratorExit, nullptr, nullptr, &out);
    if (k == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (k == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<%s coroutine object at %p>", kFn, self);
}

PyObject* coro_get_name(PyObject*, void*) { return PyUnicode_FromString(kFn); }
PyObject* coro_get_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<CoroObject*>(self)->m->running);
}
PyObject* coro_get_await(PyObject* self, void*) {
    Machine& m = *reinterpret_cast<CoroObject*>(self)->m;
    return Py_NewRef(m.inner.is_valid() ? m.inner.ptr() : Py_None);
}
PyObject* coro_get_none(PyObject*, void*) { Py_RETURN_NONE; }

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Machine* m = reinterpret_cast<CoroObject*>(self)->m;
    if (!m) return 0;
    for (nb::object* o : {&m->globals, &m->prompt_path, &m->user_input, &m->knowledges, &m->base_rules, &m->llm_url,
                          &m->llm_key, &m->inner, &m->current_reply, &m->res, &m->suggestions, &m->suggestions_res,
                          &m->cycle_bar, &m->try_bar})
        Py_VISIT(o->ptr());
    return 0;
}

int coro_clear(PyObject* self) {
    Machine* m = reinterpret_cast<CoroObject*>(self)->m;
    if (!m) return 0;
    for (nb::object* o : {&m->globals, &m->prompt_path, &m->user_input, &m->knowledges, &m->base_rules, &m->llm_url,
                          &m->llm_key, &m->inner, &m->current_reply, &m->res, &m->suggestions, &m->suggestions_res,
                          &m->cycle_bar, &m->try_bar}) {
        nb::object tmp = std::move(*o);
    }
    return 0;
}

// A coroutine dropped while suspended is closed, as the host's own are.
void coro_finalize(PyObject* self) {
    Machine* m = reinterpret_cast<CoroObject*>(self)->m;
    if (!m || m->phase == Phase::start || m->phase == Phase::done) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = coro_close(self, nullptr);
    if (r) {
        Py_DECREF(r);
    } else {
        PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(t, v, tb);
}

void coro_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    coro_clear(self);
    delete reinterpret_cast<CoroObject*>(self)->m;
    reinterpret_cast<CoroObject*>(self)->m = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* coro_iter(PyObject* self) { return Py_NewRef(self); }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next value the awaited call yields; StopIteration at the end."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coro_throw)), METH_FASTCALL,
     "throw(exc) -> raises exc in the coroutine (in the awaited model call when one is running)."},
    {"close", coro_close, METH_NOARGS, "close() -> stops the coroutine and the awaited model call."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_name, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_frame", coro_get_none, nullptr, nullptr, nullptr},
    {"cr_code", coro_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(coro_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "corvane.vendry.SelfCheckCoroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

nb::object new_coroutine(nb::handle globals, nb::handle prompt_path, nb::handle user_input, nb::handle knowledges,
                         nb::handle base_rules, nb::handle llm_url, nb::handle llm_key) {
    auto* m = new Machine();
    m->globals = nb::borrow(globals);
    m->prompt_path = nb::borrow(prompt_path);
    m->user_input = nb::borrow(user_input);
    m->knowledges = nb::borrow(knowledges);
    m->base_rules = nb::borrow(base_rules);
    m->llm_url = nb::borrow(llm_url);
    m->llm_key = nb::borrow(llm_key);
    CoroObject* c = PyObject_GC_New(CoroObject, coro_type);
    if (!c) {
        delete m;
        fail();
    }
    c->m = m;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return nb::steal(reinterpret_cast<PyObject*>(c));
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

    m.def(
        "build_prompt",
        [](nb::handle user_input, nb::handle context_text) {
            return py::str(prompt::answer_prompt(str_or_repr(user_input), str_or_repr(context_text)));
        },
        "user_input"_a.none(), "context_text"_a.none(),
        "The answer prompt for a question and the knowledge it must rest on (non-str values use their repr).");

    coro_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coro_spec));
    if (!coro_type) fail();
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(nb::handle(coro_type));

    // The hooks are read from the module's namespace at use; the functions hold
    // it strongly, so a saved function keeps working after the module is
    // dropped from sys.modules.
    nb::object ns = m.attr("__dict__");
    m.def(
        kFn,
        [ns](nb::handle prompt_path, nb::handle user_input, nb::handle knowledges, nb::handle base_rules,
           nb::handle llm_url, nb::handle llm_key) {
            py::require_str(prompt_path, kFn, "prompt_path");
            py::require_str(base_rules, kFn, "base_rules");
            py::require_str(llm_url, kFn, "llm_url");
            py::require_str(llm_key, kFn, "llm_key");
            return new_coroutine(ns, prompt_path, user_input, knowledges, base_rules, llm_url, llm_key);
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
