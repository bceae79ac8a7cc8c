#include "bindings/common/coroutine.hpp"

#include <utility>

namespace corvane::py {
namespace {

[[noreturn]] void fail() { throw nb::python_error(); }

nb::object check(PyObject* o) {
    if (!o) fail();
    return nb::steal(o);
}

enum class State { fresh, suspended, done };

struct Coro {
    PyObject_HEAD
    std::unique_ptr<CoroutineBody>* body;  // owned; nullptr once deallocated
    nb::object* inner;                     // iterator of the awaited object
    State state;
    bool running;
};

Coro* as_coro(PyObject* self) { return reinterpret_cast<Coro*>(self); }

// Ends the coroutine: drops the awaited object and lets the body finish.  A
// pending exception is kept.
void finish(Coro* c) {
    c->state = State::done;
    c->inner->reset();
    (*c->body)->finish();
}

// Runs the body from `value` (the result of the awaited object) until it
// awaits again (PYGEN_NEXT, *out = the value the awaited object yielded),
// returns (PYGEN_RETURN, *out = the result) or fails (PYGEN_ERROR).
PySendResult proceed(Coro* c, nb::object value, PyObject** out) {
    c->state = State::suspended;
    try {
        for (;;) {
            nb::object awaitable, result;
            if (!(*c->body)->step(value, awaitable, result)) {
                finish(c);
                *out = result.release().ptr();
                return PYGEN_RETURN;
            }
            *c->inner = awaitable_iter(awaitable);
            PyObject* r = nullptr;
            const PySendResult k = PyIter_Send(c->inner->ptr(), Py_None, &r);
            if (k == PYGEN_NEXT) {
                *out = r;
                return PYGEN_NEXT;
            }
            c->inner->reset();
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
    finish(c);
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

bool ensure_runnable(Coro* c) {
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

struct RunningGuard {
    Coro* c;
    explicit RunningGuard(Coro* cc) : c(cc) { c->running = true; }
    ~RunningGuard() { c->running = false; }
};

PySendResult send_impl(Coro* c, PyObject* arg, PyObject** out) {
    *out = nullptr;
    if (!ensure_runnable(c)) return PYGEN_ERROR;
    if (c->state == State::done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    RunningGuard guard(c);
    if (c->state == State::fresh) {
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return proceed(c, nb::object(), out);
    }
    PyObject* r = nullptr;
    const PySendResult k = PyIter_Send(c->inner->ptr(), arg ? arg : Py_None, &r);
    if (k == PYGEN_NEXT) {
        *out = r;
        return PYGEN_NEXT;
    }
    c->inner->reset();
    if (k == PYGEN_ERROR) {
        finish(c);
        return PYGEN_ERROR;
    }
    return proceed(c, nb::steal(r), out);
}

PySendResult throw_impl(Coro* c, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
    *out = nullptr;
    if (!ensure_runnable(c)) return PYGEN_ERROR;
    RunningGuard guard(c);
    const bool suspended = c->state == State::suspended && c->inner->is_valid();
    if (!suspended) {
        if (c->state != State::done) finish(c);
        set_thrown(typ, val, tb);
        return PYGEN_ERROR;
    }
    const bool is_exit = (PyExceptionClass_Check(typ) || PyExceptionInstance_Check(typ)) &&
                         PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit);
    nb::object inner = *c->inner;
    if (is_exit) {
        // As `yield from` does: close the awaited object, then raise here.
        PyObject* close = PyObject_GetAttrString(inner.ptr(), "close");
        if (!close) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                finish(c);
                return PYGEN_ERROR;
            }
            PyErr_Clear();
        } else {
            PyObject* r = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (!r) {
                finish(c);
                return PYGEN_ERROR;
            }
            Py_DECREF(r);
        }
        finish(c);
        set_thrown(typ, val, tb);
        return PYGEN_ERROR;
    }
    PyObject* meth = PyObject_GetAttrString(inner.ptr(), "throw");
    if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            finish(c);
            return PYGEN_ERROR;
        }
        PyErr_Clear();
        finish(c);
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
    c->inner->reset();
    PyObject* value = take_stop_value();
    if (!value) {
        finish(c);
        return PYGEN_ERROR;
    }
    return proceed(c, nb::steal(value), out);
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

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) { return send_impl(as_coro(self), arg, out); }

PyObject* coro_iternext(PyObject* self) {
    PyObject* out = nullptr;
    const PySendResult k = send_impl(as_coro(self), Py_None, &out);
    return as_iter_result(k, out);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    const PySendResult k = send_impl(as_coro(self), arg, &out);
    return as_iter_result(k, out);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    PyObject* out = nullptr;
    const PySendResult k =
        throw_impl(as_coro(self), args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, &out);
    return as_iter_result(k, out);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    Coro* c = as_coro(self);
    if (c->state != State::suspended) {
        if (c->running) {
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        }
        if (c->state != State::done) finish(c);
        Py_RETURN_NONE;
    }
    PyObject* out = nullptr;
    const PySendResult k = throw_impl(c, PyExc_GeneratorExit, nullptr, nullptr, &out);
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

PyObject* coro_self(PyObject* self) { return Py_NewRef(self); }

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<%s coroutine object at %p>", (*as_coro(self)->body)->name(), self);
}

PyObject* coro_get_name(PyObject* self, void*) { return PyUnicode_FromString((*as_coro(self)->body)->name()); }
PyObject* coro_get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->running); }
PyObject* coro_get_await(PyObject* self, void*) {
    const nb::object& inner = *as_coro(self)->inner;
    return Py_NewRef(inner.is_valid() ? inner.ptr() : Py_None);
}
PyObject* coro_get_none(PyObject*, void*) { Py_RETURN_NONE; }

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Coro* c = as_coro(self);
    if (!c->body) return 0;
    Py_VISIT(c->inner->ptr());
    return (*c->body)->traverse(visit, arg);
}

int coro_clear(PyObject* self) {
    Coro* c = as_coro(self);
    if (!c->body) return 0;
    nb::object tmp = std::move(*c->inner);
    (*c->body)->clear();
    return 0;
}

// A coroutine dropped while suspended is closed, as the host's own are.
void coro_finalize(PyObject* self) {
    Coro* c = as_coro(self);
    if (!c->body || c->state != State::suspended) return;
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
    Coro* c = as_coro(self);
    delete c->inner;
    delete c->body;
    c->inner = nullptr;
    c->body = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next value the awaited object yields; StopIteration at the end."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coro_throw)), METH_FASTCALL,
     "throw(exc) -> raises exc in the coroutine (in the awaited object when one is running)."},
    {"close", coro_close, METH_NOARGS, "close() -> stops the coroutine and the awaited object."},
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
    {Py_tp_iter, reinterpret_cast<void*>(coro_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_am_await, reinterpret_cast<void*>(coro_self)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {0, nullptr},
};

}  // namespace

nb::object make_coroutine_type(const char* qualified_name) {
    PyType_Spec type_spec = {qualified_name, sizeof(Coro), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, coro_slots};
    nb::object type = check(PyType_FromSpec(&type_spec));
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(type);
    return type;
}

nb::object new_coroutine(nb::handle type, std::unique_ptr<CoroutineBody> body) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
    Coro* c = PyObject_GC_New(Coro, tp);
    if (!c) fail();
    c->body = new std::unique_ptr<CoroutineBody>(std::move(body));
    c->inner = new nb::object();
    c->state = State::fresh;
    c->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return nb::steal(reinterpret_cast<PyObject*>(c));
}

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

}  // namespace corvane::py
