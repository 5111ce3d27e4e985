// namespace.cpp: the namespace a body sees: its names read, with a cache that
// stays exact while the namespace and the builtins are unchanged, and written.
#include "internal.hpp"

#include <utility>

namespace nrt {

namespace {

// A dict watcher sees every change to the watched namespaces before it is
// made (a name added, rebound or deleted, a clear, the dict's end) and moves
// the module's generation on; a cached lookup is valid only for the
// generation it was made in.
//
// How the callback finds that generation. It is handed the dict and the
// change, nothing of ours, and watcher ids belong to an interpreter: each
// interpreter calls the callbacks registered in it, with its own GIL held.
// So a module's watch is registered in the interpreter that took the watcher,
// in the dict that the interpreter keeps for extensions: a capsule named
// `kWatchCapsule`, key and value at once, pointing at the module's
// NamespaceWatch. The callback moves on every watch of this library
// registered in the interpreter it runs in (there is one: a library makes
// one module object per process). Each module links its own copy of the
// runtime, so the name's address tells this library's capsules from the other
// module's without comparing text, and finding them allocates nothing and
// runs no code. The capsule is added before the watcher watches anything and
// taken out only once it watches nothing and is given back; the watch itself
// lives in the module's state, which the interpreter frees only after the
// module's m_free, which gives the watcher back. So the callback never
// reaches a watch that is gone, nor one of another interpreter.
constexpr char kWatchCapsule[] = "nrt.namespace_watch";

NamespaceWatch *watch_of(PyObject *capsule) noexcept {
    if (!PyCapsule_CheckExact(capsule) || PyCapsule_GetName(capsule) != kWatchCapsule) {
        return nullptr;
    }
    return static_cast<NamespaceWatch *>(PyCapsule_GetPointer(capsule, kWatchCapsule));
}

int namespace_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    PyObject *registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry == nullptr) return 0;  // none to be had: the interpreter is being torn down
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(registry, &pos, &key, &value)) {
        if (NamespaceWatch *watch = watch_of(key)) watch->generation++;
    }
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

// Remembers `value` as `name` of generation `now`, in a free slot, else in
// the next one in turn. Every slot of an older generation is forgotten on the
// way: its value may be the last reference to an object that the namespace
// has let go since. The references are dropped once every slot is in order,
// as dropping one may run code that looks names up here again.
void remember(Function *f, PyObject *name, PyObject *value, std::uint64_t now) noexcept {
    PyObject *dropped[2 * kCachedLookups];
    std::size_t n = 0;
    CachedLookup *free_slot = nullptr;
    for (CachedLookup &c : f->lookups) {
        if (c.name != nullptr && c.generation != now) {
            dropped[n++] = std::exchange(c.name, nullptr);
            dropped[n++] = std::exchange(c.value, nullptr);
        }
        if (c.name == nullptr && free_slot == nullptr) free_slot = &c;
    }
    CachedLookup &slot = free_slot ? *free_slot : f->lookups[f->next_lookup++ % kCachedLookups];
    if (slot.name != nullptr) {  // every slot is of this generation: none was dropped above
        dropped[n++] = slot.name;
        dropped[n++] = slot.value;
    }
    slot = {Py_NewRef(name), Py_NewRef(value), now};
    for (std::size_t i = 0; i < n; i++) Py_DECREF(dropped[i]);
}

// A lookup that nothing remembered answers: read from the dicts, and
// remembered only when reading them ran no code that changed either (the
// generation would have moved on), so that the value is the one the
// namespaces hold in generation `now`. Kept out of line, so that an answer
// found in the cache pays nothing for it.
[[gnu::noinline]] object read_and_remember(Function *f, PyObject *name, std::uint64_t now) noexcept {
    PyObject *value;
    if (read_global(f->globals, f->builtins, name, &value) <= 0) return {};
    object found = steal(value);
    if (now != 0 && now == f->watch->generation) remember(f, name, value, now);
    return found;
}

// The capsule of `watch` in `registry` (borrowed), or null.
PyObject *registered(PyObject *registry, NamespaceWatch *watch) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(registry, &pos, &key, &value)) {
        if (watch_of(key) == watch) return key;
    }
    return nullptr;
}

}  // namespace

void raise_name_error(PyObject *name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    object exc = steal(PyErr_GetRaisedException());
    if (exc && PyObject_SetAttrString(exc.get(), "name", name) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

int watch_namespace(PyObject *module) noexcept {
    NamespaceWatch *watch = namespace_watch(module);
    PyInterpreterState *interp = PyInterpreterState_Get();
    PyObject *registry = PyInterpreterState_GetDict(interp);
    if (watch == nullptr || registry == nullptr) return 0;  // plain lookups, still exact
    int id = PyDict_AddWatcher(namespace_changed);
    if (id < 0) {  // every slot taken: plain lookups too
        PyErr_Clear();
        return 0;
    }
    object capsule = steal(PyCapsule_New(watch, kWatchCapsule, nullptr));
    if (!capsule || PyDict_SetItem(registry, capsule.get(), capsule.get()) < 0) {
        PyObject *pending = PyErr_GetRaisedException();
        if (PyDict_ClearWatcher(id) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return -1;
    }
    *watch = {1, interp, id};
    auto *rt = static_cast<RuntimeState *>(PyModule_GetState(module));
    if (PyDict_Watch(id, PyModule_GetDict(module)) < 0 || PyDict_Watch(id, rt->builtins) < 0) {
        release_namespace_watch(module);
        return -1;
    }
    return 0;
}

void release_namespace_watch(PyObject *module) noexcept {
    NamespaceWatch *watch = namespace_watch(module);
    if (watch == nullptr || watch->interp == nullptr) return;
    const int id = watch->id;
    PyInterpreterState *interp = std::exchange(watch->interp, nullptr);
    watch->generation = 0;  // nothing remembered is used again
    // The id means something only in the interpreter that took it, which is
    // where a module is cleared and freed.
    if (interp != PyInterpreterState_Get()) return;
    PyObject *pending = PyErr_GetRaisedException();
    // The dicts first: a watcher that is given the id later must not hear of
    // them. These fail only once the interpreter has dropped its watchers.
    auto *rt = static_cast<RuntimeState *>(PyModule_GetState(module));
    for (PyObject *dict : {PyModule_GetDict(module), rt->builtins}) {
        if (dict != nullptr && PyDict_Unwatch(id, dict) < 0) PyErr_Clear();
    }
    if (PyDict_ClearWatcher(id) < 0) PyErr_Clear();
    if (PyObject *registry = PyInterpreterState_GetDict(interp)) {
        if (PyObject *capsule = registered(registry, watch)) {
            object keep = borrow(capsule);
            if (PyDict_DelItem(registry, capsule) < 0) PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(pending);
}

int visit_lookups(Function *f, visitproc visit, void *arg) noexcept {
    for (const CachedLookup &c : f->lookups) {
        Py_VISIT(c.name);
        Py_VISIT(c.value);
    }
    return 0;
}

void clear_lookups(Function *f) noexcept {
    for (CachedLookup &c : f->lookups) {
        const CachedLookup old = std::exchange(c, CachedLookup{});  // emptied before any code runs
        Py_XDECREF(old.name);
        Py_XDECREF(old.value);
    }
}

object global(Function *f, PyObject *name) noexcept {
    const std::uint64_t now = f->watch->generation;
    for (const CachedLookup &c : f->lookups) {
        if (c.name == name && c.generation == now && now != 0) return borrow(c.value);
    }
    return read_and_remember(f, name, now);
}

int set_global(Function *f, PyObject *name, PyObject *value) noexcept {
    return PyDict_SetItem(f->globals, name, value);
}

void *module_state(Function *f) noexcept { return f->rt; }

}  // namespace nrt
