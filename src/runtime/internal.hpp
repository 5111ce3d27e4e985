// internal.hpp: what the runtime's own files share and modules do not see,
// in sections named after the file that defines them.
#pragma once

#include "nrt.hpp"

namespace nrt {

// ---------------------------------------------------------------------------
// state.cpp: the runtime's part of a module's state

// What a module's lookups are checked against, kept by the runtime after the
// state the module declares (see `namespace_watch`): the dict watcher that
// follows its namespace and the builtins, in the interpreter that took it,
// and the generation that the watcher moves on at every change. A generation
// of 0 means that no watcher is held: then nothing is cached.
struct NamespaceWatch {
    std::uint64_t generation;
    PyInterpreterState *interp;  // null while no watcher is held
    int id;
};

// The definition that `def` is part of.
inline ModuleDefinition &definition_of(PyModuleDef *def) noexcept {
    return *reinterpret_cast<ModuleDefinition *>(reinterpret_cast<char *>(def) -
                                                 offsetof(ModuleDefinition, def));
}
// The size of a module's whole state: its own, then the runtime's watch.
Py_ssize_t full_state_size(const ModuleDefinition &md) noexcept;
// The runtime's watch of `module`, stored after the module's own state.
NamespaceWatch *namespace_watch(PyObject *module) noexcept;
// The module definition's slots for the collector: the state's strong
// references are visited and cleared, and the watch is given back.
int traverse_module(PyObject *module, visitproc visit, void *arg) noexcept;
int clear_module(PyObject *module) noexcept;
void free_module(void *module) noexcept;

// ---------------------------------------------------------------------------
// namespace.cpp: the namespace a body sees

// One remembered module-namespace lookup of a function (see `global`): the
// name and the value found (strong references both, so that a value stays
// valid whatever becomes of the dict entry it came from) and the generation
// of the namespaces it was found in.
struct CachedLookup {
    PyObject *name;
    PyObject *value;
    std::uint64_t generation;
};
constexpr unsigned kCachedLookups = 8;

// Has the lookup cache of `module` follow every change of its namespace and
// of its builtins (`rt->builtins`, set by then); without a free watcher slot
// lookups simply stay uncached. -1 with an error set.
int watch_namespace(PyObject *module) noexcept;
// Gives the watcher back, if one is held: the module's loading failed, or it
// is being cleared. Nothing is cached from then on. Keeps a pending error.
void release_namespace_watch(PyObject *module) noexcept;

// ---------------------------------------------------------------------------
// function.cpp: the function type

// A Python-visible function: what `make_function` makes from a definition.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    Py_ssize_t nparams;
    RuntimeState *rt;       // the module's state, which lives as long as the module
    NamespaceWatch *watch;  // the module's, beside its state
    PyObject *module;       // the defining module (its dict is __globals__)
    PyObject *globals;
    PyObject *builtins;
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;  // __module__
    PyObject *doc;
    PyObject *annotations;  // dict, or null once deleted
    PyObject *defaults;     // tuple, or null for None
    PyObject *param_names;  // tuple of interned str
    PyObject *dict;
    PyObject *weakreflist;
    CachedLookup lookups[kCachedLookups];
    unsigned next_lookup;
};

extern PyType_Spec function_type_spec;

// Visits and forgets a function's remembered lookups (namespace.cpp).
int visit_lookups(Function *f, visitproc visit, void *arg) noexcept;
void clear_lookups(Function *f) noexcept;

// Stores a str in `*slot` for an attribute such as __name__; TypeError otherwise.
int set_str_attr(PyObject **slot, PyObject *value, const char *what) noexcept;

// False, with RuntimeError set, once the module's state has been cleared
// (at interpreter shutdown, say) while one of its functions is still called.
inline bool runtime_alive(Function *f) noexcept {
    if (f->rt != nullptr && f->rt->builtins != nullptr) return true;
    PyErr_Format(PyExc_RuntimeError, "%U() called after its module was cleared", f->qualname);
    return false;
}

// ---------------------------------------------------------------------------
// coroutine.cpp: the coroutine type

extern PyType_Spec coroutine_type_spec;
extern PyType_Spec coroutine_wrapper_type_spec;

// Makes the coroutine that a call of a coroutine function returns; it holds
// its own references to the bound arguments.
PyObject *make_coroutine(Function *f, PyObject *const *args) noexcept;

// ---------------------------------------------------------------------------
// operations.cpp

// Runs the code of an import statement against `globals`, binding in
// `locals`; -1 with the statement's error set.
int run_code(PyObject *code, PyObject *globals, PyObject *locals) noexcept;

}  // namespace nrt
