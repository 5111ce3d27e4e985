// lookup.cpp: module-namespace lookups as a function body makes them, with a
// cache that stays exact while the namespace and the builtins are unchanged.
#include "internal.hpp"

namespace nrt {

namespace {

// A dict watcher sees every change to the watched namespaces before it is
// made (a name added, rebound or deleted, a clear, the dict's end) and moves
// this generation on; a cached lookup is valid only for the generation it was
// made in. The watcher's callback gets no context of its own, hence one
// counter for all the namespaces this library watches. 0 means no watcher
// could be had: then nothing is cached and every lookup reads the dicts.
std::uint64_t generation = 0;
int watcher_id = -1;

int namespace_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    generation++;
    return 0;
}

// `name` from `globals`, else from `builtins`, as a global is read: 1 with
// a new reference in `*value`; else -1 with NameError or another error set.
int read_global(PyObject *globals, PyObject *builtins, PyObject *name, PyObject **value) noexcept {
    int r = PyDict_GetItemRef(globals, name, value);
    if (r == 0) r = PyMapping_GetOptionalItem(builtins, name, value);
    if (r == 0) {
        raise_name_error(name);
        return -1;
    }
    return r;
}

}  // namespace

int watch_namespace(PyObject *globals, PyObject *builtins) noexcept {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(namespace_changed);
        if (watcher_id < 0) {  // every slot taken: plain lookups, still exact
            PyErr_Clear();
            return 0;
        }
        generation = 1;
    }
    if (PyDict_Watch(watcher_id, globals) < 0 || PyDict_Watch(watcher_id, builtins) < 0) return -1;
    generation++;
    return 0;
}

void clear_lookups(Function *f) noexcept {
    for (CachedLookup &c : f->lookups) {
        Py_CLEAR(c.name);
        c.generation = 0;
    }
}

object global(Function *f, PyObject *name) noexcept {
    const std::uint64_t now = generation;
    for (const CachedLookup &c : f->lookups) {
        if (c.name == name && c.generation == now && now != 0) return borrow(c.value);
    }
    PyObject *value;
    if (read_global(f->globals, f->builtins, name, &value) <= 0) return {};
    // Looking the name up ran no code that could change either dict, so the
    // value is still the one held there; the dict keeps it alive until a change,
    // which moves the generation on first.
    if (now != 0 && now == generation) {
        CachedLookup &slot = f->lookups[f->next_lookup++ % kCachedLookups];
        Py_XSETREF(slot.name, Py_NewRef(name));
        slot.value = value;
        slot.generation = now;
    }
    return steal(value);
}

object function_global(PyObject *fn, PyObject *name) noexcept {
    auto *func = reinterpret_cast<PyFunctionObject *>(fn);
    PyObject *value;
    return steal(read_global(func->func_globals, func->func_builtins, name, &value) > 0 ? value
                                                                                         : nullptr);
}

}  // namespace nrt
