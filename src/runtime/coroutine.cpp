// coroutine.cpp: the coroutine object returned by calling a coroutine function.
//
// The body never suspends, so a coroutine has three states: created, running
// (inside its one resumption) and finished. Misuse is answered as the
// interpreter answers it for a coroutine written in Python.
#include "nrt.hpp"
#include "internal.hpp"

namespace nrt {

namespace {

enum class CoroState : unsigned char { created, running, finished };

struct Coroutine {
    PyObject_HEAD
    Function *func;
    PyObject *name;
    PyObject *qualname;
    PyObject *args[kMaxParams];
    PyObject *weakreflist;
    CoroState state;
};

struct CoroutineWrapper {
    PyObject_HEAD
    Coroutine *coro;
};

Coroutine *as_coro(PyObject *self) noexcept { return reinterpret_cast<Coroutine *>(self); }

void release_args(Coroutine *c) noexcept {
    for (PyObject *&a : c->args) Py_CLEAR(a);
}

// A StopIteration escaping the body becomes RuntimeError, chained to it.
[[gnu::cold]] void replace_stop_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    object exc = steal(PyErr_GetRaisedException());
    object message = steal(PyUnicode_FromString("coroutine raised StopIteration"));
    object err = message ? call(PyExc_RuntimeError, message.get()) : object();
    if (!err) return;
    PyException_SetCause(err.get(), Py_NewRef(exc.get()));
    PyException_SetContext(err.get(), exc.release());
    PyErr_SetRaisedException(err.release());
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    Coroutine *c = as_coro(self);
    *result = nullptr;
    switch (c->state) {
    case CoroState::running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case CoroState::finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case CoroState::created:
        break;
    }
    if (arg != nullptr && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    c->state = CoroState::running;
    PyObject *value = nullptr;
    if (runtime_alive(c->func) && !Py_EnterRecursiveCall(" while calling a Python object")) {
        value = c->func->def->impl(c->func, c->args);
        Py_LeaveRecursiveCall();
    }
    c->state = CoroState::finished;
    release_args(c);
    if (value != nullptr) {
        *result = value;
        return PYGEN_RETURN;
    }
    replace_stop_iteration();
    return PYGEN_ERROR;
}

// Raises StopIteration carrying `value`, as a returning coroutine does.
[[gnu::cold]] PyObject *raise_stop_iteration(PyObject *value) noexcept {
    object v = steal(value);
    if (v.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    object exc = call(PyExc_StopIteration, v.get());
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
    return nullptr;
}

PyObject *coro_send(PyObject *self, PyObject *arg) noexcept {
    PyObject *result;
    if (coro_am_send(self, arg, &result) == PYGEN_RETURN) return raise_stop_iteration(result);
    return nullptr;
}

PyObject *coro_throw(PyObject *self, PyObject *args) noexcept {
    Coroutine *c = as_coro(self);
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (PyTuple_GET_SIZE(args) > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, "
                     "use the single-arg signature instead.",
                     1) < 0) {
        return nullptr;
    }
    if (c->state == CoroState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    object exc;
    if (PyExceptionClass_Check(typ)) {
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (b != nullptr && v != nullptr) PyException_SetTraceback(v, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        exc = steal(v);
        if (!exc) return nullptr;
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != nullptr && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = borrow(typ);
        if (tb != nullptr && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (c->state == CoroState::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    // Thrown in before the body started: it propagates and ends the coroutine.
    c->state = CoroState::finished;
    release_args(c);
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

PyObject *coro_close(PyObject *self, PyObject *) noexcept {
    Coroutine *c = as_coro(self);
    if (c->state == CoroState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    c->state = CoroState::finished;
    release_args(c);
    Py_RETURN_NONE;
}

PyObject *coro_am_await(PyObject *self) noexcept {
    if (!runtime_alive(as_coro(self)->func)) return nullptr;
    RuntimeState *rt = as_coro(self)->func->rt;
    auto *tp = reinterpret_cast<PyTypeObject *>(rt->coroutine_wrapper_type);
    auto *w = PyObject_GC_New(CoroutineWrapper, tp);
    if (w == nullptr) return nullptr;
    w->coro = reinterpret_cast<Coroutine *>(Py_NewRef(self));
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

// A coroutine dropped without ever being awaited warns, as the interpreter's
// do: warnings.warn(message, RuntimeWarning, 1, coro) in the frame running
// then. A failure, or the warning raised as an error, is unraisable.
void warn_unawaited(Coroutine *c) noexcept {
    PyObject *self = reinterpret_cast<PyObject *>(c);
    RuntimeState *rt = c->func->rt;
    if (rt == nullptr || rt->builtins == nullptr) return;  // module already torn down
    object message = steal(PyUnicode_FromFormat("coroutine '%S' was never awaited", c->qualname));
    object warnings = message ? steal(PyImport_Import(rt->str_warnings)) : object();
    object warn = warnings ? getattr(warnings.get(), rt->str_warn) : object();
    object level = warn ? steal(PyLong_FromLong(1)) : object();
    if (!level || !call(warn.get(), message.get(), PyExc_RuntimeWarning, level.get(), self)) {
        PyErr_WriteUnraisable(self);
    }
}

void coro_finalize(PyObject *self) noexcept {
    Coroutine *c = as_coro(self);
    if (c->state != CoroState::created) return;
    PyObject *pending = PyErr_GetRaisedException();
    warn_unawaited(c);
    c->state = CoroState::finished;
    release_args(c);
    PyErr_SetRaisedException(pending);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Coroutine *c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->func);
    for (PyObject *a : c->args) Py_VISIT(a);
    return 0;
}

int coro_clear(PyObject *self) noexcept {
    Coroutine *c = as_coro(self);
    release_args(c);
    return 0;
}

void coro_dealloc(PyObject *self) noexcept {
    Coroutine *c = as_coro(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (c->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    release_args(c);
    Py_CLEAR(c->func);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

PyObject *coro_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->qualname, self);
}

PyObject *coro_get_name(PyObject *self, void *) noexcept { return Py_NewRef(as_coro(self)->name); }
PyObject *coro_get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_coro(self)->qualname);
}
int coro_set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attr(&as_coro(self)->name, value, "__name__");
}
int coro_set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attr(&as_coro(self)->qualname, value, "__qualname__");
}
PyObject *coro_get_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_coro(self)->state == CoroState::running);
}
PyObject *coro_get_false(PyObject *, void *) noexcept { Py_RETURN_FALSE; }
PyObject *coro_get_none(PyObject *, void *) noexcept { Py_RETURN_NONE; }

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, coro_set_name, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, coro_set_qualname, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_get_false, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_none, nullptr, nullptr, nullptr},
    {"cr_frame", coro_get_none, nullptr, nullptr, nullptr},
    {"cr_code", coro_get_none, nullptr, nullptr, nullptr},
    {"cr_origin", coro_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", coro_throw, METH_VARARGS, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Coroutine, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void *>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
    {Py_am_await, reinterpret_cast<void *>(coro_am_await)},
    {Py_am_send, reinterpret_cast<void *>(coro_am_send)},
    {Py_tp_getset, coro_getset},
    {Py_tp_methods, coro_methods},
    {Py_tp_members, coro_members},
    {0, nullptr},
};

// --- the iterator that `__await__` returns

CoroutineWrapper *as_wrapper(PyObject *self) noexcept {
    return reinterpret_cast<CoroutineWrapper *>(self);
}
PyObject *coro_self(PyObject *self) noexcept { return reinterpret_cast<PyObject *>(as_wrapper(self)->coro); }

PyObject *wrapper_iternext(PyObject *self) noexcept {
    PyObject *result;
    if (coro_am_send(coro_self(self), Py_None, &result) != PYGEN_RETURN) return nullptr;
    if (result == Py_None) {
        Py_DECREF(result);
        return nullptr;  // exhausted: the caller sees StopIteration
    }
    return raise_stop_iteration(result);
}
PyObject *wrapper_send(PyObject *self, PyObject *arg) noexcept { return coro_send(coro_self(self), arg); }
PyObject *wrapper_throw(PyObject *self, PyObject *args) noexcept {
    return coro_throw(coro_self(self), args);
}
PyObject *wrapper_close(PyObject *self, PyObject *arg) noexcept { return coro_close(coro_self(self), arg); }

int wrapper_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_wrapper(self)->coro);
    return 0;
}
int wrapper_clear(PyObject *self) noexcept {
    Py_CLEAR(as_wrapper(self)->coro);
    return 0;
}
void wrapper_dealloc(PyObject *self) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", wrapper_throw, METH_VARARGS, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(wrapper_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec coroutine_type_spec = {
    "builtins.coroutine",
    sizeof(Coroutine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coro_slots,
};

PyType_Spec coroutine_wrapper_type_spec = {
    "builtins.coroutine_wrapper",
    sizeof(CoroutineWrapper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    wrapper_slots,
};

PyObject *make_coroutine(Function *f, PyObject *const *args) noexcept {
    RuntimeState *rt = f->rt;
    auto *tp = reinterpret_cast<PyTypeObject *>(rt->coroutine_type);
    Coroutine *c = PyObject_GC_New(Coroutine, tp);
    if (c == nullptr) return nullptr;
    c->func = reinterpret_cast<Function *>(Py_NewRef(reinterpret_cast<PyObject *>(f)));
    c->name = Py_NewRef(f->name);
    c->qualname = Py_NewRef(f->qualname);
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kMaxParams); i++) {
        c->args[i] = i < f->nparams ? Py_NewRef(args[i]) : nullptr;
    }
    c->weakreflist = nullptr;
    c->state = CoroState::created;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject *>(c);
}

}  // namespace nrt
