// A coroutine object implemented in C++: the full protocol (__await__, send,
// throw, close, __next__, am_send), so collections.abc.Coroutine recognises
// it and both `await` and asyncio.run() accept it.
//
// A CoroutineBody supplies the logic as steps: each step gets the result of
// the previously awaited object and either names the next object to await or
// gives the result.  The coroutine awaits each object the way `yield from`
// does: the values it yields (futures) go out unchanged, send/throw/close
// reach it, and the body continues when it returns.
//
// Traps handled here: asyncio's Task sends None through PyIter_Send, which
// calls __next__, so __next__ behaves exactly as send(None); __await__ returns
// the object itself; the result leaves as StopIteration(value) set
// explicitly; a coroutine dropped while suspended is closed.
#pragma once

#include <memory>

#include "bindings/common/py_util.hpp"

namespace corvane::py {

class CoroutineBody {
public:
    virtual ~CoroutineBody() = default;
    // The coroutine's __name__ (static storage).
    virtual const char* name() const = 0;
    // One step, from the result of the awaited object (an invalid handle at
    // the start).  Returns true with `awaitable` set to the next object to
    // await, or false with `result` set when the coroutine is done.  Raises
    // nb::python_error to end it with that error.
    virtual bool step(nb::handle value, nb::object& awaitable, nb::object& result) = 0;
    // Called once when the coroutine ends in any way; a pending error is kept.
    virtual void finish() = 0;
    // The body's Python references, for the cyclic collector.
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

// A coroutine type named `qualified_name` ("package.module.Type"; static
// storage), registered with collections.abc.Coroutine.  Each module that
// returns coroutines makes its own and keeps it (module state).
nb::object make_coroutine_type(const char* qualified_name);

// A new coroutine of `type` (made by make_coroutine_type) driving `body`.
nb::object new_coroutine(nb::handle type, std::unique_ptr<CoroutineBody> body);

// The iterator that `await obj` would drive; TypeError as the host's when obj
// is not awaitable.
nb::object awaitable_iter(nb::handle obj);

}  // namespace corvane::py
