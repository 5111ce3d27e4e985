// loading.cpp: the module-loading guard: one interpreter, one module object.
#include "internal.hpp"

#include <atomic>

namespace nrt {

// These two values are per shared library (each module links its own copy of
// the runtime) and per process by nature: they record which interpreter may
// load the library and whether its one module object exists.

namespace {
std::atomic<std::int64_t> loaded_interpreter{-1};
std::atomic<bool> module_created{false};

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
    if (module == nullptr) {  // nothing is loaded: a later import, from any interpreter, may try again
        module_created.store(false);
        loaded_interpreter.store(-1);
    }
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

}  // namespace

PyObject *init_module(ModuleDefinition &md) noexcept {
    if (md.def.m_slots == nullptr) {  // first call: the interpreter keeps the definition
        md.slots[0] = {Py_mod_create, reinterpret_cast<void *>(create_module)};
        md.slots[1] = {Py_mod_exec, reinterpret_cast<void *>(exec_module)};
        md.slots[2] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
        md.slots[3] = {Py_mod_gil, Py_MOD_GIL_USED};
        md.slots[4] = {0, nullptr};
        md.def = PyModuleDef{PyModuleDef_HEAD_INIT, md.short_name, md.doc, full_state_size(md),
                             nullptr, md.slots, traverse_module, clear_module, free_module};
    }
    return PyModuleDef_Init(&md.def);
}

}  // namespace nrt
