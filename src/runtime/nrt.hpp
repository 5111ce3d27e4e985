// nrt.hpp: the small native runtime shared by the kit's extension modules.
//
// It offers three things and nothing more:
//   * `nrt::object`, an owned reference with explicit borrow/steal, and a few
//     call helpers that keep every C API failure visible as an empty object;
//   * the Python-visible function type (`function`) that carries names,
//     docstring, string annotations, defaults and a signature like a function
//     written in Python, and the coroutine type its `async` variant returns;
//   * the module-loading guard (one interpreter, one module object).
//
// Conventions: every function the interpreter calls is `noexcept`; a null
// `object` always means "a Python exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace nrt {

// ---------------------------------------------------------------------------
// Owned references

class object {
public:
    constexpr object() noexcept = default;
    object(const object &o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    object(object &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~object() { Py_XDECREF(p_); }

    object &operator=(const object &o) noexcept {
        object tmp(o);
        std::swap(p_, tmp.p_);
        return *this;
    }
    object &operator=(object &&o) noexcept {
        object tmp(std::move(o));
        std::swap(p_, tmp.p_);
        return *this;
    }

    // Takes over a new reference (which may be null, meaning an error is set).
    static object steal(PyObject *p) noexcept { object o; o.p_ = p; return o; }
    // Adds a reference to a borrowed pointer.
    static object borrow(PyObject *p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { PyObject *p = p_; p_ = nullptr; return p; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

inline object steal(PyObject *p) noexcept { return object::steal(p); }
inline object borrow(PyObject *p) noexcept { return object::borrow(p); }

// Calls `callable(*args)` through vectorcall.
template <class... A>
inline object call(PyObject *callable, A... args) noexcept {
    PyObject *argv[] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, argv + 1,
                                     sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(*positional, **{kwnames: trailing args})`; `kwnames` is a tuple of str.
template <class... A>
inline object call_kw(PyObject *callable, std::size_t npositional, PyObject *kwnames,
                      A... args) noexcept {
    PyObject *argv[] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, argv + 1,
                                     npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Calls `obj.name(*args)`; `name` is a str.
template <class... A>
inline object call_method(PyObject *obj, PyObject *name, A... args) noexcept {
    PyObject *argv[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline object getattr(PyObject *obj, PyObject *name) noexcept {
    return steal(PyObject_GetAttr(obj, name));
}

// `format(value, "")`, as an f-string renders a replacement field.
inline object format(PyObject *value) noexcept {
    if (PyUnicode_CheckExact(value)) return borrow(value);
    return steal(PyObject_Format(value, nullptr));
}

// Concatenates str pieces; any null piece means an error is already set.
object concat(std::initializer_list<const object *> pieces) noexcept;

// Raises ImportError "cannot import name ..." as `from module import name` does,
// or returns the attribute (falling back to the submodule in sys.modules).
object import_from(PyObject *module, PyObject *name) noexcept;

// ---------------------------------------------------------------------------
// Python-visible functions

struct Function;

// The body of an operation: `args` holds one borrowed reference per parameter,
// defaults already filled in. Returns a new reference or null with an error set.
using Impl = PyObject *(*)(Function *self, PyObject *const *args);

struct Param {
    const char *name;
    const char *annotation;    // null: not annotated
    const char *default_text;  // null: required; else a str default
};

struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;                // null: no docstring
    const Param *params;
    int nparams;
    const char *return_annotation;  // null: no return annotation
    Impl impl;
    bool is_coroutine;              // calls return a coroutine that runs `impl`
};

constexpr int kMaxParams = 8;

// One remembered module-namespace lookup of a function (see `global`): the
// name (a strong reference), the value found (borrowed from the dict that
// holds it) and the generation of the namespaces it was found in.
struct CachedLookup {
    PyObject *name;
    PyObject *value;
    std::uint64_t generation;
};
constexpr unsigned kCachedLookups = 8;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
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

// Per-module runtime state: the module's function and coroutine types and the
// names and objects the runtime needs at call time. Modules put this struct at
// the start of their own state; every member is a strong reference.
struct RuntimeState {
    PyObject *function_type;
    PyObject *coroutine_type;
    PyObject *coroutine_wrapper_type;
    PyObject *builtins;          // dict of the builtins module
    PyObject *empty_str;
    PyObject *str_send;
    PyObject *str_warnings;
    PyObject *str_warn_unawaited;
};

// Fills the runtime part of a module's state; returns -1 with an error set.
int runtime_init(PyObject *module, RuntimeState *rt) noexcept;
// The GC helpers of a state made of strong references only.
int traverse_slots(PyObject **slots, std::size_t n, visitproc visit, void *arg) noexcept;
void clear_slots(PyObject **slots, std::size_t n) noexcept;

// Makes a function of `module` from its definition. New reference, or null.
PyObject *make_function(PyObject *module, RuntimeState *rt, const FunctionDef *def) noexcept;
// Makes the function and binds it in `ns` (a dict) under its name; -1 on error.
int add_function(PyObject *module, RuntimeState *rt, PyObject *ns, const FunctionDef *def) noexcept;

// Looks `name` up as a function body written in Python would: in the
// function's globals, then in its builtins; NameError when in neither. The
// answer is remembered until either namespace changes in any way, so a name
// rebound, deleted or added (shadowing a builtin) counts from the next lookup.
object global(Function *f, PyObject *name) noexcept;

template <class State>
inline State &state_of(Function *f) noexcept {
    return *static_cast<State *>(PyModule_GetState(f->module));
}

// ---------------------------------------------------------------------------
// Module loading

// What a module tells the runtime about itself. From it the runtime makes the
// module definition: multi-phase initialisation behind the loading guard (one
// interpreter, one module object), and GC support for a state whose first
// `object_slots` members are strong references (other members may follow).
struct ModuleDefinition {
    const char *short_name;  // as named in the guard's messages
    const char *doc;
    Py_ssize_t state_size;
    std::size_t object_slots;
    int (*exec)(PyObject *module) noexcept;
    // Filled in by init_module.
    PyModuleDef def;
    PyModuleDef_Slot slots[5];
};

// The body of a module's `PyInit_<name>`; `md` must have static storage.
PyObject *init_module(ModuleDefinition &md) noexcept;

}  // namespace nrt
