// operations.cpp: what a line of a function body does besides reading names
// and making f-strings: unpacking, finding a called method, `mapping.get`,
// import statements.
#include "nrt.hpp"
#include "internal.hpp"

namespace nrt {

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
namespace {

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

}  // namespace

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
    // A traceback that cannot be trimmed stays as it is: the statement's error is what is raised.
    if (!below || PyException_SetTraceback(exc.get(), below.get()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    return -1;
}

int run_import(PyObject *ns, const char *text) noexcept {
    object code = import_statement(text);
    return code ? run_code(code.get(), ns, ns) : -1;
}

object run_import(Function *f, PyObject *statement, PyObject *name) noexcept {
    object names = steal(PyDict_New());
    if (!names || run_code(statement, f->globals, names.get()) < 0) return {};
    PyObject *value;
    if (PyDict_GetItemRef(names.get(), name, &value) == 0) raise_name_error(name);
    return steal(value);
}

object call_get(Function *f, PyObject *mapping, PyObject *key, PyObject *fallback) noexcept {
    PyObject *get = f->rt->str_get;
    return fallback ? call_method(mapping, get, key, fallback) : call_method(mapping, get, key);
}

}  // namespace nrt
