// state.cpp: the runtime's part of a module's state: how it is made, what the
// collector sees of the state, and the namespace watch kept after it.
#include "internal.hpp"

namespace nrt {

namespace {

// Where the runtime's NamespaceWatch starts in a module's state: after the
// state the module declares.
constexpr std::size_t watch_offset(Py_ssize_t state_size) noexcept {
    constexpr std::size_t align = alignof(NamespaceWatch);
    return (static_cast<std::size_t>(state_size) + align - 1) / align * align;
}

}  // namespace

Py_ssize_t full_state_size(const ModuleDefinition &md) noexcept {
    return static_cast<Py_ssize_t>(watch_offset(md.state_size) + sizeof(NamespaceWatch));
}

NamespaceWatch *namespace_watch(PyObject *module) noexcept {
    auto *state = static_cast<char *>(PyModule_GetState(module));
    PyModuleDef *def = PyModule_GetDef(module);
    if (state == nullptr || def == nullptr) return nullptr;
    return reinterpret_cast<NamespaceWatch *>(state + watch_offset(definition_of(def).state_size));
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
