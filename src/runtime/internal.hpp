// internal.hpp: what the runtime's own files share and modules do not see.
#pragma once

#include "nrt.hpp"

namespace nrt {

// One remembered module-namespace lookup of a function (see `global`): the
// name (a strong reference), the value found (borrowed from the dict that
// holds it) and the generation of the namespaces it was found in.
struct CachedLookup {
    PyObject *name;
    PyObject *value;
    std::uint64_t generation;
};
constexpr unsigned kCachedLookups = 8;

// A Python-visible function: what `make_function` makes from a definition.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    Py_ssize_t nparams;
    RuntimeState *rt;       // the module's state, which lives as long as the module
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
extern PyType_Spec coroutine_type_spec;
extern PyType_Spec coroutine_wrapper_type_spec;

// Makes the coroutine that a call of a coroutine function returns; it holds
// its own references to the bound arguments.
PyObject *make_coroutine(Function *f, PyObject *const *args) noexcept;

// Stores a str in `*slot` for an attribute such as __name__; TypeError otherwise.
int set_str_attr(PyObject **slot, PyObject *value, const char *what) noexcept;

// Has the lookup cache follow every change of a module's namespace and of its
// builtins; without a free watcher slot lookups simply stay uncached.
int watch_namespace(PyObject *globals, PyObject *builtins) noexcept;
// Forgets a function's remembered lookups.
void clear_lookups(Function *f) noexcept;

// Runs the code of an import statement against `globals`, binding in
// `locals`; -1 with the statement's error set.
int run_code(PyObject *code, PyObject *globals, PyObject *locals) noexcept;

// NameError "name 'x' is not defined", with its `name` attribute set.
void raise_name_error(PyObject *name) noexcept;

inline RuntimeState *runtime_of(Function *f) noexcept { return f->rt; }

// False, with RuntimeError set, once the module's state has been cleared
// (at interpreter shutdown, say) while one of its functions is still called.
inline bool runtime_alive(Function *f) noexcept {
    RuntimeState *rt = runtime_of(f);
    if (rt != nullptr && rt->builtins != nullptr) return true;
    PyErr_Format(PyExc_RuntimeError, "%U() called after its module was cleared", f->qualname);
    return false;
}

}  // namespace nrt
