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
        release_namespace_watch(module);
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
    release_namespace_watch(module);  // while the namespace and the builtins are still there
    for (std::size_t i = 0; i < definition_of(def).object_slots; i++) Py_CLEAR(slots[i]);
    return 0;
}

void free_module(void *module) noexcept { clear_module(static_cast<PyObject *>(module)); }

// Where the runtime's NamespaceWatch starts in a module's state: after the
// state the module declares.
constexpr std::size_t watch_offset(Py_ssize_t state_size) noexcept {
    constexpr std::size_t align = alignof(NamespaceWatch);
    return (static_cast<std::size_t>(state_size) + align - 1) / align * align;
}

}  // namespace

NamespaceWatch *namespace_watch(PyObject *module) noexcept {
    auto *state = static_cast<char *>(PyModule_GetState(module));
    PyModuleDef *def = PyModule_GetDef(module);
    if (state == nullptr || def == nullptr) return nullptr;
    return reinterpret_cast<NamespaceWatch *>(state + watch_offset(definition_of(def).state_size));
}

PyObject *init_module(ModuleDefinition &md) noexcept {
    if (md.def.m_slots == nullptr) {  // first call: the interpreter keeps the definition
        md.slots[0] = {Py_mod_create, reinterpret_cast<void *>(create_module)};
        md.slots[1] = {Py_mod_exec, reinterpret_cast<void *>(exec_module)};
        md.slots[2] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
        md.slots[3] = {Py_mod_gil, Py_MOD_GIL_USED};
        md.slots[4] = {0, nullptr};
        const auto state_size =
            static_cast<Py_ssize_t>(watch_offset(md.state_size) + sizeof(NamespaceWatch));
        md.def = PyModuleDef{PyModuleDef_HEAD_INIT, md.short_name, md.doc, state_size,
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
    if (watch_namespace(module) < 0) return -1;
    if ((rt->empty_str = PyUnicode_FromStringAndSize("", 0)) == nullptr) return -1;
    if ((rt->str_get = PyUnicode_InternFromString("get")) == nullptr) return -1;
    if ((rt->str_warnings = PyUnicode_InternFromString("warnings")) == nullptr) return -1;
    rt->str_warn = PyUnicode_InternFromString("warn");
    return rt->str_warn ? 0 : -1;
}

}  // namespace nrt
