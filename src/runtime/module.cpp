// module.cpp: module loading guard, per-module runtime state, and the line
// helpers other than f-strings: `obj[key]` and attribute errors worded as the
// interpreter words them, unpacking, a call's method lookup and
// `from module import name`.
#include "nrt.hpp"
#include "internal.hpp"

#include <atomic>

namespace nrt {

// ---------------------------------------------------------------------------
// Module loading guard
//
// These two values are per shared library (each module links its own copy of
// the runtime) and per process by nature: they record which interpreter may
// load the library and whether its one module object exists.

namespace {
std::atomic<std::int64_t> loaded_interpreter{-1};
std::atomic<bool> module_created{false};

ModuleDefinition &definition_of(PyModuleDef *def) noexcept {
    return *reinterpret_cast<ModuleDefinition *>(reinterpret_cast<char *>(def) -
                                                 offsetof(ModuleDefinition, def));
}

// Py_mod_create: refuses a second interpreter and a second module object from
// this library, then makes the module object.
PyObject *create_module(PyObject *module_spec, PyModuleDef *def) noexcept {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    std::int64_t expected = -1;
    if (!loaded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_created.exchange(true)) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     definition_of(def).short_name);
        return nullptr;
    }
    object name = steal(PyObject_GetAttrString(module_spec, "name"));
    PyObject *module = name ? PyModule_NewObject(name.get()) : nullptr;
    if (module == nullptr) module_created.store(false);
    return module;
}

// Py_mod_exec. When it fails no module object came out of this import, so
// nothing is loaded yet: a later import, from any interpreter, may try again.
int exec_module(PyObject *module) noexcept {
    PyModuleDef *def = PyModule_GetDef(module);
    int result = def ? definition_of(def).exec(module) : -1;
    if (result < 0) {
        module_created.store(false);
        loaded_interpreter.store(-1);
    }
    return result;
}

int traverse_module(PyObject *module, visitproc visit, void *arg) noexcept {
    auto *slots = static_cast<PyObject **>(PyModule_GetState(module));
    PyModuleDef *def = PyModule_GetDef(module);
    if (slots == nullptr || def == nullptr) return 0;
    for (std::size_t i = 0; i < definition_of(def).object_slots; i++) Py_VISIT(slots[i]);
    return 0;
}

int clear_module(PyObject *module) noexcept {
    auto *slots = static_cast<PyObject **>(PyModule_GetState(module));
    PyModuleDef *def = PyModule_GetDef(module);
    if (slots == nullptr || def == nullptr) return 0;
    for (std::size_t i = 0; i < definition_of(def).object_slots; i++) Py_CLEAR(slots[i]);
    return 0;
}

void free_module(void *module) noexcept { clear_module(static_cast<PyObject *>(module)); }

}  // namespace

PyObject *init_module(ModuleDefinition &md) noexcept {
    if (md.def.m_slots == nullptr) {  // first call: the interpreter keeps the definition
        md.slots[0] = {Py_mod_create, reinterpret_cast<void *>(create_module)};
        md.slots[1] = {Py_mod_exec, reinterpret_cast<void *>(exec_module)};
        md.slots[2] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
        md.slots[3] = {Py_mod_gil, Py_MOD_GIL_USED};
        md.slots[4] = {0, nullptr};
        md.def = PyModuleDef{PyModuleDef_HEAD_INIT, md.short_name, md.doc, md.state_size,
                             nullptr, md.slots, traverse_module, clear_module, free_module};
    }
    return PyModuleDef_Init(&md.def);
}

// ---------------------------------------------------------------------------
// Runtime state

int runtime_init(PyObject *module) noexcept {
    auto *rt = static_cast<RuntimeState *>(PyModule_GetState(module));
    auto make_type = [module](PyType_Spec *type_spec) {
        return PyType_FromModuleAndSpec(module, type_spec, nullptr);
    };
    if ((rt->function_type = make_type(&function_type_spec)) == nullptr) return -1;
    if ((rt->coroutine_type = make_type(&coroutine_type_spec)) == nullptr) return -1;
    if ((rt->coroutine_wrapper_type = make_type(&coroutine_wrapper_type_spec)) == nullptr) return -1;
    object builtins = steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    rt->builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    // As a module run from source has it; it also keeps code evaluated against
    // this namespace (pydantic's annotation evaluation, say) from adding it.
    object key = steal(PyUnicode_InternFromString("__builtins__"));
    if (!key || PyDict_SetDefault(PyModule_GetDict(module), key.get(), rt->builtins) == nullptr) {
        return -1;
    }
    if (watch_namespace(PyModule_GetDict(module), rt->builtins) < 0) return -1;
    if ((rt->empty_str = PyUnicode_FromStringAndSize("", 0)) == nullptr) return -1;
    if ((rt->str_get = PyUnicode_InternFromString("get")) == nullptr) return -1;
    if ((rt->str_warnings = PyUnicode_InternFromString("warnings")) == nullptr) return -1;
    rt->str_warn = PyUnicode_InternFromString("warn");
    return rt->str_warn ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Helpers

int set_str_attr(PyObject **slot, PyObject *value, const char *what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

void raise_name_error(PyObject *name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    object exc = steal(PyErr_GetRaisedException());
    if (exc && PyObject_SetAttrString(exc.get(), "name", name) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

int unpack(PyObject *seq, object &first, object &second) noexcept {
    if ((PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) && Py_SIZE(seq) == 2) {
        PyObject **items = PySequence_Fast_ITEMS(seq);
        first = borrow(items[0]);
        second = borrow(items[1]);
        return 0;
    }
    object it = steal(PyObject_GetIter(seq));
    if (!it) {
        // Only an object that cannot be iterated at all is "non-iterable"; an
        // error from its own __iter__ passes through unchanged.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(seq)->tp_iter == nullptr &&
            !PySequence_Check(seq)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        return -1;
    }
    object *targets[] = {&first, &second};
    for (int i = 0; i < 2; i++) {
        *targets[i] = steal(PyIter_Next(it.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return -1;
        }
    }
    object extra = steal(PyIter_Next(it.get()));
    if (!extra) return PyErr_Occurred() ? -1 : 0;
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
}

// `name` looked up along the type's method resolution order, as attribute
// lookup looks it up on an instance's type: 1 with a new reference in
// `*found`, 0 when absent, -1 with an error set.
int type_lookup(PyTypeObject *type, PyObject *name, PyObject **found) noexcept {
    object mro = borrow(type->tp_mro);  // a tuple of types once the type is ready
    if (!mro || !PyTuple_Check(mro.get())) return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); i++) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro.get(), i));
        object dict = steal(PyType_GetDict(base));
        int r = dict ? PyDict_GetItemRef(dict.get(), name, found) : 0;
        if (r != 0) return r;
    }
    return 0;
}

int find_method(PyObject *obj, PyObject *name, Method &out) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    PyObject *found = nullptr;
    // With the generic lookup, a function found on the type is not a data
    // descriptor, so the instance's own attribute, if any, comes first;
    // failing that, getattr() would bind the function, whose binding runs no
    // code.
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name) &&
        type_lookup(type, name, &found) < 0) {
        return -1;
    }
    object function = steal(found);
    if (found == nullptr || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        out.target = getattr(obj, name);
        return out.target ? 0 : -1;
    }
    if (type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        object dict = steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict) return -1;
        PyObject *own;
        int r = PyDict_GetItemRef(dict.get(), name, &own);
        if (r < 0) return -1;
        if (r > 0) {
            out.target = steal(own);
            return 0;
        }
    }
    out.target = std::move(function);
    out.self = borrow(obj);
    return 0;
}

object import_statement(const char *text) noexcept {
    return steal(Py_CompileString(text, "<import>", Py_file_input));
}

// Runs the code of an import statement. Its failure is the statement's, with
// the traceback as the statement's own line leaves it: the frame that ran it
// is the caller's, which is native.
int run_code(PyObject *code, PyObject *globals, PyObject *locals) noexcept {
    object done = steal(PyEval_EvalCode(code, globals, locals));
    if (done) return 0;
    object exc = steal(PyErr_GetRaisedException());
    object tb = exc ? steal(PyException_GetTraceback(exc.get())) : object();
    object below = tb ? steal(PyObject_GetAttrString(tb.get(), "tb_next")) : object();
    if (below && PyException_SetTraceback(exc.get(), below.get()) < 0) return -1;
    PyErr_Clear();  // a traceback that could not be trimmed stays as it is
    PyErr_SetRaisedException(exc.release());
    return -1;
}

int run_import(PyObject *ns, const char *text) noexcept {
    object code = import_statement(text);
    return code ? run_code(code.get(), ns, ns) : -1;
}

}  // namespace nrt
