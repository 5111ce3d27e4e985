// artifax.cpp: finds the classifier's on-disk model artifacts, checks them
// against their manifest, writes manifests and prints the resolution status.
#include "nrt.hpp"

namespace {

using nrt::object;

// Names the operations look up at call time, interned once per module.
#define ARTIFAX_NAMES(X) \
    X(_resolved_core_root) \
    X(_UNSET)

struct State {
    nrt::RuntimeState rt;
#define X(n) PyObject *n;
    ARTIFAX_NAMES(X)
#undef X
};
constexpr std::size_t kStateSlots = sizeof(State) / sizeof(PyObject *);

State &state(nrt::Function *f) noexcept { return nrt::state_of<State>(f); }
State &state(PyObject *module) noexcept { return *static_cast<State *>(PyModule_GetState(module)); }

// ---------------------------------------------------------------------------
// resolve_core_models_root

PyObject *resolve_core_models_root(nrt::Function *f, PyObject *const *) {
    State &st = state(f);
    object cached = nrt::global(f, st._resolved_core_root);
    if (!cached) return nullptr;
    object unset = nrt::global(f, st._UNSET);
    if (!unset) return nullptr;
    if (cached.get() != unset.get()) return cached.release();
    Py_RETURN_NONE;  // TODO: search
}

const nrt::FunctionSpec resolve_core_models_root_spec = {
    "resolve_core_models_root", "resolve_core_models_root",
    "Return the directory containing core ONNX artifacts, or None.\n\n    Searched in order:\n"
    "      * $NEROV_MODELS_DIR\n      * dev-mode ``packages/brain/models/``\n"
    "      * ``nerov_brain_models`` installed package\n    ",
    nullptr, 0, "Optional[str]", resolve_core_models_root, false};

// ---------------------------------------------------------------------------
// Module

int exec_module(PyObject *module) noexcept {
    State &st = state(module);
    if (nrt::runtime_init(module, &st.rt) < 0) return -1;
#define X(n) if ((st.n = PyUnicode_InternFromString(#n)) == nullptr) return -1;
    ARTIFAX_NAMES(X)
#undef X
    PyObject *ns = PyModule_GetDict(module);
    object unset = object::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!unset || PyDict_SetItem(ns, st._UNSET, unset.get()) < 0) return -1;
    if (PyDict_SetItem(ns, st._resolved_core_root, unset.get()) < 0) return -1;
    if (nrt::add_function(module, &st.rt, ns, &resolve_core_models_root_spec) < 0) return -1;
    return 0;
}

int exec_slot(PyObject *module) noexcept {
    if (exec_module(module) == 0) return 0;
    nrt::guarded_exec_failed();
    return -1;
}

PyObject *create_slot(PyObject *spec, PyModuleDef *def) noexcept {
    return nrt::guarded_create(spec, def, "artifax");
}

int traverse_module(PyObject *module, visitproc visit, void *arg) noexcept {
    auto *st = static_cast<State *>(PyModule_GetState(module));
    return st ? nrt::traverse_slots(reinterpret_cast<PyObject **>(st), kStateSlots, visit, arg) : 0;
}

int clear_module(PyObject *module) noexcept {
    auto *st = static_cast<State *>(PyModule_GetState(module));
    if (st) nrt::clear_slots(reinterpret_cast<PyObject **>(st), kStateSlots);
    return 0;
}

void free_module(void *module) noexcept { clear_module(static_cast<PyObject *>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_slot)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "artifax",
    "\nArtifax \u2014 Unified artifact resolver for Vantor ONNX models.\n",
    sizeof(State),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_artifax(void) { return PyModuleDef_Init(&module_def); }
