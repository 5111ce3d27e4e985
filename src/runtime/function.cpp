// function.cpp: the `function` type, an operation callable from Python that
// binds its arguments, reports errors and introspects like a Python function.
#include "nrt.hpp"
#include "internal.hpp"

#include <cstring>

namespace nrt {

// ---------------------------------------------------------------------------
// Argument binding

namespace {

// Binds a call's arguments to the parameters, the way the interpreter binds
// them for a Python function; `bound` receives borrowed references. 1, or 0
// when the call does not fit the signature (no error is set), -1 on error.
int bind_arguments(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **bound) noexcept {
    const Py_ssize_t n = f->nparams;
    if (nargs > n) return 0;
    for (Py_ssize_t i = 0; i < nargs; i++) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = 0;
        while (j < n && PyTuple_GET_ITEM(f->param_names, j) != keyword) j++;
        for (j = j < n ? j : 0; j < n; j++) {  // a name spelled alike, when not the same object
            int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->param_names, j), keyword);
            if (eq == 0) break;
            if (PyErr_Occurred()) return -1;
        }
        if (j == n || bound[j] != nullptr) return 0;
        bound[j] = args[nargs + k];
    }
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (bound[i] != nullptr) continue;
        if (i < n - ndefaults) return 0;
        bound[i] = PyTuple_GET_ITEM(f->defaults, i - (n - ndefaults));
    }
    return 1;
}

// The same function written in Python, for the interpreter to answer what it
// answers of one: `def f(<parameters>): pass`, given this function's
// qualified name, defaults and annotations as they are now.
object python_twin(Function *f) noexcept {
    object comma = steal(PyUnicode_FromString(", "));
    object params = comma ? steal(PyUnicode_Join(comma.get(), f->param_names)) : object();
    object source = params ? steal(PyUnicode_FromFormat("def f(%U): pass", params.get())) : object();
    const char *text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    object code = text ? steal(Py_CompileString(text, "<signature>", Py_file_input)) : object();
    object ns = code ? steal(PyDict_New()) : object();
    if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", f->builtins) < 0) return {};
    object done = steal(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
    PyObject *twin;
    if (!done || PyDict_GetItemStringRef(ns.get(), "f", &twin) <= 0) return {};
    object result = steal(twin);
    PyObject *annotations = f->annotations ? f->annotations : Py_None;
    if (PyObject_SetAttrString(twin, "__qualname__", f->qualname) < 0 ||
        PyObject_SetAttrString(twin, "__defaults__", f->defaults ? f->defaults : Py_None) < 0 ||
        PyObject_SetAttrString(twin, "__annotations__", annotations) < 0) {
        return {};
    }
    return result;
}

// A call that does not fit is left to the interpreter to word: the same call
// of the Python twin raises the TypeError that a Python function raises, with
// the interpreter's order of checks and its suggestions.
[[gnu::cold]] PyObject *raise_argument_error(Function *f, PyObject *const *args, std::size_t nargsf,
                                             PyObject *kwnames) noexcept {
    object twin = python_twin(f);
    object result = twin ? steal(PyObject_Vectorcall(twin.get(), args, nargsf, kwnames)) : object();
    if (result) PyErr_Format(PyExc_SystemError, "%U() refused arguments that fit", f->qualname);
    return nullptr;
}

PyObject *invoke(Function *f, PyObject *const *args) noexcept {
    if (!runtime_alive(f)) return nullptr;
    if (f->def->is_coroutine) return make_coroutine(f, args);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result = f->def->impl(f, args);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, std::size_t nargsf,
                              PyObject *kwnames) noexcept {
    auto *f = reinterpret_cast<Function *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->nparams) return invoke(f, args);
    PyObject *bound[kMaxParams] = {};
    object defaults = borrow(f->defaults);  // the call may rebind __defaults__
    int fits = bind_arguments(f, args, nargs, kwnames, bound);
    if (fits <= 0) return fits < 0 ? nullptr : raise_argument_error(f, args, nargsf, kwnames);
    return invoke(f, bound);
}

// ---------------------------------------------------------------------------
// Type slots

Function *as_function(PyObject *self) noexcept { return reinterpret_cast<Function *>(self); }

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Function *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return visit_lookups(f, visit, arg);
}

// Only what Python code can set, and the remembered lookups, are cleared here;
// the module, its namespace and the builtins stay until deallocation so that a
// call never meets them missing (the module's own clear breaks the cycle
// through its namespace).
int function_clear(PyObject *self) noexcept {
    Function *f = as_function(self);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    clear_lookups(f);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    Function *f = as_function(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->param_names);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickling and copying refer to the function by its qualified name.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyObject *get_name(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attr(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_attr(&as_function(self)->qualname, value, "__qualname__");
}

PyObject *get_annotations(PyObject *self, void *) noexcept {
    Function *f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept {
    Function *f = as_function(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}
int set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (value != nullptr && PyTuple_GET_SIZE(value) == 0) value = nullptr;
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject *get_doc(PyObject *self, void *) noexcept {
    PyObject *doc = as_function(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}
int set_doc(PyObject *self, PyObject *value, void *) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject *get_none(PyObject *, void *) noexcept { Py_RETURN_NONE; }
PyObject *get_empty_tuple(PyObject *, void *) noexcept { return PyTuple_New(0); }

// The signature `inspect` computes for the same function written in Python.
PyObject *get_signature(PyObject *self, void *) noexcept {
    object inspect = steal(PyImport_ImportModule("inspect"));
    object twin = inspect ? python_twin(as_function(self)) : object();
    object signature = twin ? steal(PyObject_GetAttrString(inspect.get(), "signature")) : object();
    return signature ? call(signature.get(), twin.get()).release() : nullptr;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_empty_tuple, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module_name), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec function_type_spec = {
    "function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

int set_str_attr(PyObject **slot, PyObject *value, const char *what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

// ---------------------------------------------------------------------------
// Construction

PyObject *make_function(PyObject *module, const FunctionDef &def) noexcept {
    const auto nparams = static_cast<Py_ssize_t>(def.params.size());
    const char *qualname = def.qualname ? def.qualname : def.name;
    if (def.params.size() > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s: too many parameters", qualname);
        return nullptr;
    }
    auto *rt = static_cast<RuntimeState *>(PyModule_GetState(module));
    auto *tp = reinterpret_cast<PyTypeObject *>(rt->function_type);
    object self = steal(tp->tp_alloc(tp, 0));
    if (!self) return nullptr;
    Function *f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->nparams = nparams;
    f->rt = rt;
    f->watch = namespace_watch(module);
    f->module = Py_NewRef(module);
    f->globals = Py_NewRef(PyModule_GetDict(module));
    f->builtins = Py_NewRef(rt->builtins);
    if ((f->name = PyUnicode_InternFromString(def.name)) == nullptr) return nullptr;
    if ((f->qualname = PyUnicode_FromString(qualname)) == nullptr) return nullptr;
    if (PyDict_GetItemStringRef(f->globals, "__name__", &f->module_name) < 0) return nullptr;
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (f->doc == nullptr) return nullptr;
    if ((f->param_names = PyTuple_New(nparams)) == nullptr) return nullptr;
    if ((f->annotations = PyDict_New()) == nullptr) return nullptr;
    Py_ssize_t ndefaults = 0;
    for (Py_ssize_t i = 0; i < nparams; i++) {
        const Param &p = def.params[i];
        PyObject *name = PyUnicode_InternFromString(p.name);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(f->param_names, i, name);
        if (p.annotation) {
            object ann = steal(PyUnicode_FromString(p.annotation));
            if (!ann || PyDict_SetItem(f->annotations, name, ann.get()) < 0) return nullptr;
        }
        if (p.default_text) ndefaults++;
    }
    if (def.return_annotation) {
        object ann = steal(PyUnicode_FromString(def.return_annotation));
        if (!ann || PyDict_SetItemString(f->annotations, "return", ann.get()) < 0) return nullptr;
    }
    if (ndefaults) {
        if ((f->defaults = PyTuple_New(ndefaults)) == nullptr) return nullptr;
        for (Py_ssize_t i = nparams - ndefaults, k = 0; i < nparams; i++, k++) {
            const char *text = def.params[i].default_text;
            if (text == nullptr) {
                PyErr_Format(PyExc_SystemError, "%s: a required parameter follows a default",
                             qualname);
                return nullptr;
            }
            PyObject *value = PyUnicode_FromString(text);
            if (value == nullptr) return nullptr;
            PyTuple_SET_ITEM(f->defaults, k, value);
        }
    }
    if (def.is_coroutine) {  // what `inspect` recognises a coroutine function by
        object inspect = steal(PyImport_ImportModule("inspect"));
        object mark = inspect ? steal(PyObject_GetAttrString(inspect.get(), "markcoroutinefunction"))
                              : object();
        if (!mark || !call(mark.get(), self.get())) return nullptr;
    }
    return self.release();  // tp_alloc has already tracked it
}

int add_function(PyObject *module, const FunctionDef &def) noexcept {
    object f = steal(make_function(module, def));
    if (!f) return -1;
    return PyDict_SetItem(PyModule_GetDict(module), as_function(f.get())->name, f.get());
}

}  // namespace nrt
