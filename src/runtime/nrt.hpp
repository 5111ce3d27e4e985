// nrt.hpp: the small native runtime shared by the kit's extension modules.
//
// It offers, in sections named after the file that defines each:
//   * `nrt::object`, an owned reference with explicit borrow/steal, and call
//     helpers that keep every C API failure visible as an empty object;
//   * what a line of a function body does, with the interpreter's results and
//     messages: messages and f-strings, unpacking, method calls, imports;
//   * the Python-visible function type (`function`) that carries names,
//     docstring, string annotations, defaults and a signature like a function
//     written in Python, and the coroutine type its `async` variant returns;
//   * the namespace its body sees (globals, builtins, module state);
//   * the runtime's part of a module's state, and the module-loading guard
//     (one interpreter, one module object).
//
// Conventions: every function the interpreter calls is `noexcept`; a null
// `object` always means "a Python exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// CMakeLists.txt states whether its interpreter counts references (a debug
// build has sys.gettotalrefcount); headers that disagree, or no statement,
// are another build's (a release pyconfig.h read for a debug interpreter),
// and the modules would corrupt the interpreter's reference total.
#if !defined(NEROV_INTERPRETER_REF_DEBUG) || NEROV_INTERPRETER_REF_DEBUG != defined(Py_REF_DEBUG)
#error "Python headers that do not match the interpreter (Py_REF_DEBUG against sys.gettotalrefcount)"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

namespace nrt {

// ---------------------------------------------------------------------------
// Owned references and calls (here alone)

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

// `obj.name`.
inline object getattr(PyObject *obj, PyObject *name) noexcept {
    return steal(PyObject_GetAttr(obj, name));
}

// `obj.name = value` for a name that is an interned str, as every name a
// module keeps in its state is: PyObject_SetAttr interns the name on every
// call before it calls the type's slot, which is called here directly.
inline int setattr(PyObject *obj, PyObject *name, PyObject *value) noexcept {
    setattrofunc slot = Py_TYPE(obj)->tp_setattro;
    return slot != nullptr ? slot(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// `obj[key]`.
inline object getitem(PyObject *obj, PyObject *key) noexcept {
    return steal(PyObject_GetItem(obj, key));
}

// `a == b` as a truth value, for `b` one of the module's own str: 1, 0, or -1
// with an error set.
inline int equal(PyObject *a, PyObject *b) noexcept { return PyObject_RichCompareBool(a, b, Py_EQ); }

// ---------------------------------------------------------------------------
// text.cpp: messages and f-strings

namespace detail {
// A replacement field once read: a str in `text` (the value itself, or its
// rendering kept alive in `keep`). A value whose rendering runs no code waits
// for `finish`: a float, its value in `number`, or a list of str, a copy of it
// in `keep`.
struct Rendered {
    PyObject *text = nullptr;
    object keep;
    double number = 0;
};
// Reads `value` (null: an error is already set) into `out`, rendering it
// now unless its rendering can wait; false with an error set on failure. A
// str is its own rendering, kept alive by the caller.
bool render(PyObject *value, Rendered &out) noexcept;
inline bool field(PyObject *value, Rendered &out) noexcept { return render(value, out); }
inline bool field(const object &value, Rendered &out) noexcept { return render(value.get(), out); }
template <class Make>
    requires std::is_invocable_r_v<object, Make &>
inline bool field(Make &&make, Rendered &out) noexcept {
    object value = make();
    if (!render(value.get(), out)) return false;
    if (out.text == value.get()) out.keep = std::move(value);
    return true;
}
// Renders what waited among `n` read fields and concatenates them all into a
// new str.
object finish(Rendered *fields, std::size_t n) noexcept;
}  // namespace detail

// A message written as the sentence it is, with "{}" where the f-string that
// makes it has a replacement field: made once, at module set-up, into the
// tuple of the literal pieces between the fields.
object message(const char *sentence) noexcept;

// An f-string whose values are read now and whose text is made only when
// asked for. `pieces` is a message(); the values are read, and rendered as
// replacement fields, in the order the f-string reads and renders them, and
// a value that is a callable is called for its value only once the pieces
// before it have rendered. Nothing after a failure is read. A float is
// written out only by `text()`: a text never asked for is never made, which
// no code can tell apart from one made and dropped.
template <std::size_t N>
class FString {
  public:
    template <class... V>
    explicit FString(PyObject *pieces, V &&...values) noexcept {
        if (PyTuple_GET_SIZE(pieces) != static_cast<Py_ssize_t>(N / 2 + 1)) {
            PyErr_SetString(PyExc_SystemError, "a message has the wrong number of fields");
            return;
        }
        std::size_t i = 0;
        auto literal = [&] {
            fields_[i].text = PyTuple_GET_ITEM(pieces, i / 2);
            ++i;
            return true;
        };
        ok_ = (... && (literal() && detail::field(std::forward<V>(values), fields_[i++]))) &&
              literal();
    }
    // False when a value could not be read or rendered; the error is set.
    explicit operator bool() const noexcept { return ok_; }
    object text() noexcept { return detail::finish(fields_, N); }

  private:
    detail::Rendered fields_[N];
    bool ok_ = false;
};
template <class... V>
FString(PyObject *, V &&...) -> FString<2 * sizeof...(V) + 1>;

// An f-string, its text made at once.
template <class... V>
object fstring(PyObject *pieces, V &&...values) noexcept {
    FString line(pieces, std::forward<V>(values)...);
    return line ? line.text() : object();
}

// ---------------------------------------------------------------------------
// operations.cpp: what a line does besides reading names and f-strings

struct Function;  // what a body runs as; its members are the runtime's own

// `obj.name` as the target of a call `obj.name(...)`, found where and when
// getattr() finds it. A function or method descriptor on the type that the
// instance does not shadow is kept unbound, with `obj` as the first argument
// of the call, as the interpreter's own method calls keep it: no bound method
// is made. Finding it that way reads the instance's attributes through its
// `__dict__`, which the interpreter then makes for an instance that had none,
// as `vars(obj)` does.
struct Method {
    object target;
    object self;  // null when `target` is called as it is
};
int find_method(PyObject *obj, PyObject *name, Method &out) noexcept;

// Calls a found method with `positional` arguments, then keyword arguments
// named by `kwnames` (null: none).
template <class... A>
inline object call_kw(const Method &m, std::size_t npositional, PyObject *kwnames,
                      A... args) noexcept {
    PyObject *argv[] = {nullptr, m.self.get(), args...};
    if (m.self) {
        return steal(PyObject_Vectorcall(m.target.get(), argv + 1,
                                         (1 + npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
    }
    return steal(PyObject_Vectorcall(m.target.get(), argv + 2,
                                     npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
template <class... A>
inline object call(const Method &m, A... args) noexcept {
    return call_kw(m, sizeof...(A), nullptr, args...);
}

// `first, second = seq`.
int unpack(PyObject *seq, object &first, object &second) noexcept;

// An import statement, such as "from ..base import Layer1Stage", made into
// code once; the interpreter runs it (see `run_import`), with its own
// `__import__` lookup, bindings and errors.
object import_statement(const char *text) noexcept;
// Runs an import statement in a module body: against the module's namespace
// `ns`, which also anchors a relative import and receives the names. -1 with
// the statement's error set.
int run_import(PyObject *ns, const char *text) noexcept;

// Runs an import statement (`import_statement`) in the body of `f`, against
// its module's namespace, and returns what it bound as `name`.
object run_import(Function *f, PyObject *statement, PyObject *name) noexcept;

// `mapping.get(key)`, or `mapping.get(key, fallback)` when one is given.
object call_get(Function *f, PyObject *mapping, PyObject *key, PyObject *fallback) noexcept;
inline object mapping_get(Function *f, PyObject *mapping, PyObject *key,
                          PyObject *fallback = nullptr) noexcept {
    if (!PyDict_CheckExact(mapping)) return call_get(f, mapping, key, fallback);
    PyObject *value;
    int r = PyDict_GetItemRef(mapping, key, &value);
    if (r == 0) return borrow(fallback ? fallback : Py_None);
    return steal(r > 0 ? value : nullptr);
}

// ---------------------------------------------------------------------------
// function.cpp (coroutine.cpp for the `async` kind): Python-visible functions

// The body of an operation: `args` holds one borrowed reference per parameter,
// defaults already filled in. Returns a new reference or null with an error set.
using Impl = PyObject *(*)(Function *self, PyObject *const *args) noexcept;

struct Param {
    const char *name;
    const char *annotation = nullptr;    // null: not annotated
    const char *default_text = nullptr;  // null: required; else a str default
};

struct FunctionDef {
    const char *name;
    const char *qualname = nullptr;           // null: the name
    const char *doc = nullptr;                // null: no docstring
    std::span<const Param> params = {};
    const char *return_annotation = nullptr;  // null: no return annotation
    Impl impl;
    bool is_coroutine = false;                // calls return a coroutine that runs `impl`
};

constexpr std::size_t kMaxParams = 8;

// Makes a function of `module` from its definition (which must outlive it).
// New reference, or null.
PyObject *make_function(PyObject *module, const FunctionDef &def) noexcept;
// Makes the function and binds it in the module namespace; -1 on error.
int add_function(PyObject *module, const FunctionDef &def) noexcept;

// ---------------------------------------------------------------------------
// namespace.cpp: the namespace a body sees

// What `name`, `name = value` and `name(*args)` do in a function written in
// Python: a name is looked up in the module namespace, then in the builtins,
// NameError when in neither; calls take the same path as calls from Python. A
// lookup's answer is remembered until either namespace changes in any way, so
// a name rebound, deleted or added (shadowing a builtin) counts from the next
// lookup.
object global(Function *f, PyObject *name) noexcept;
// NameError "name 'x' is not defined", with its `name` attribute set.
void raise_name_error(PyObject *name) noexcept;
int set_global(Function *f, PyObject *name, PyObject *value) noexcept;
template <class... A>
inline object call_global(Function *f, PyObject *name, A... args) noexcept {
    object callable = global(f, name);
    return callable ? call(callable.get(), args...) : object();
}

// The state of the module that defines `f`, or of `module`.
void *module_state(Function *f) noexcept;
template <class State>
inline State &state(Function *f) noexcept {
    return *static_cast<State *>(module_state(f));
}
template <class State>
inline State &state(PyObject *module) noexcept {
    return *static_cast<State *>(PyModule_GetState(module));
}

// ---------------------------------------------------------------------------
// state.cpp: module state

// Per-module runtime state: the module's function and coroutine types and the
// names and objects the runtime needs at call time. Modules put this struct at
// the start of their own state; every member is a strong reference.
struct RuntimeState {
    PyObject *function_type;
    PyObject *coroutine_type;
    PyObject *coroutine_wrapper_type;
    PyObject *builtins;          // dict of the builtins module
    PyObject *empty_str;
    PyObject *str_get;
    PyObject *str_warnings;
    PyObject *str_warn;
};

// Fills the runtime part of the module's state; returns -1 with an error set.
int runtime_init(PyObject *module) noexcept;

// The number of strong references at the start of a module's `State`, which
// end at `end` (where its other members begin, or its size), with the layout
// the runtime relies on checked at compile time.
#define NRT_STATE_SLOTS(State, end)                                                  \
    ([] {                                                                            \
        static_assert(std::is_standard_layout_v<State> && offsetof(State, rt) == 0, \
                      "a module's state starts with the runtime's");                \
        static_assert((end) % sizeof(PyObject *) == 0 &&                            \
                          (end) >= sizeof(nrt::RuntimeState),                        \
                      "a module's state starts with object pointers only");         \
        return (end) / sizeof(PyObject *);                                           \
    }())

// A module's interned strings, as a list macro LIST(N, T): N(name) for a str
// spelled like its member, T(member, "text") for any other. Inside the state
// struct, NRT_STRINGS(LIST) declares one strong reference per entry and
// `intern_strings()`, which fills them and returns -1 with an error set.
#define NRT_STRING_MEMBER_(member, ...) PyObject *member;
#define NRT_STRING_INTERN_(member, text) \
    if ((member = PyUnicode_InternFromString(text)) == nullptr) return -1;
#define NRT_NAME_INTERN_(member) NRT_STRING_INTERN_(member, #member)
#define NRT_STRINGS(LIST)                                 \
    LIST(NRT_STRING_MEMBER_, NRT_STRING_MEMBER_)          \
    int intern_strings() noexcept {                       \
        LIST(NRT_NAME_INTERN_, NRT_STRING_INTERN_)        \
        return 0;                                         \
    }

// ---------------------------------------------------------------------------
// loading.cpp: module loading

// What a module tells the runtime about itself. From it the runtime makes the
// module definition: multi-phase initialisation behind the loading guard (one
// interpreter, one module object), and GC support for a state whose first
// `object_slots` members are strong references (other members may follow).
struct ModuleDefinition {
    const char *short_name;  // as named in the guard's messages
    const char *doc;
    Py_ssize_t state_size;   // of the module's own state; the runtime keeps more after it
    std::size_t object_slots;
    int (*exec)(PyObject *module) noexcept;
    // Filled in by init_module.
    PyModuleDef def;
    PyModuleDef_Slot slots[5];
};

// The body of a module's `PyInit_<name>`; `md` must have static storage.
PyObject *init_module(ModuleDefinition &md) noexcept;

}  // namespace nrt
