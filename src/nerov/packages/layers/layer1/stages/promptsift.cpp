// promptsift.cpp: the layer-1 request analysis stage. Screens one prompt per
// call with the shared local engine, asks the capability matcher for the tool
// subset, tags the prompt in the request's IFC state and writes the verdict
// onto the execution context.
#include "nrt.hpp"

#include <pythread.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace {

using nrt::object;

// Identifiers the module looks up or assigns, interned once per module:
// X(member) for names that are valid member names, Y(member, "text") for the rest.
#define PROMPTSIFT_NAMES(X) \
    X(logging) X(typing) X(pydantic) X(Callable) X(BaseModel) X(Field) \
    X(ExecutionContext) X(Layer1Stage) X(Layer1ProcessingError) X(PromptValidationError) \
    X(VantorEngine) X(CapabilityMatcher) X(TaintLevel) X(IFCContext) X(UNTRUSTED) \
    X(Exception) X(getLogger) X(logger) X(debug) X(warning) X(error) \
    X(RequestAnalysisResult) X(PromptsiftStage) \
    X(request) X(prompt) X(strip) X(isalnum) X(predict) X(capability_matcher) \
    X(available_tools) X(select_for_prompt) X(get) X(lower) X(tag) X(state) X(metadata) \
    X(layer1) X(ifc) X(user_prompt) X(predicted_intent) X(predicted_scope) \
    X(is_approved) X(validation_result) X(is_safe) X(reason) X(risk_flags) X(confidence) \
    X(latency_ms) X(binding_tier) X(injection_type) X(intent) X(task_category) \
    X(capabilities) X(confidence_score) X(allowed_tools) X(risk_level) X(risk_score) \
    X(vantor_result) X(tool_scope) X(content_class) X(execution_recommendation) \
    X(primary_intent) X(required_capabilities) X(risk_factors) X(description) \
    X(default_factory) X(acquire) X(release) X(allocate_lock) X(register_at_fork) \
    X(after_in_child)

#define PROMPTSIFT_TEXTS(Y) \
    Y(local_brain, "_LOCAL_BRAIN") \
    Y(get_vantor, "_get_vantor") \
    Y(dunder_name, "__name__") \
    Y(mod_thread, "_thread") \
    Y(mod_os, "os") \
    Y(dunder_module, "__module__") \
    Y(dunder_qualname, "__qualname__") \
    Y(dunder_doc, "__doc__") \
    Y(dunder_annotations, "__annotations__") \
    Y(dunder_static_attributes, "__static_attributes__") \
    Y(dunder_prepare, "__prepare__") \
    Y(dunder_import, "__import__") \
    Y(dunder_parent_namespace, "__pydantic_parent_namespace__") \
    Y(kw_default, "default") \
    Y(mod_context, "context") \
    Y(mod_base, "base") \
    Y(mod_exceptions, "exceptions") \
    Y(mod_engine, "brain.engine") \
    Y(mod_matcher, "brain.capability_matcher") \
    Y(mod_ifc, "governance.ifc") \
    Y(ann_bool, "bool") \
    Y(ann_str, "str") \
    Y(ann_list_str, "list[str]") \
    Y(ann_float, "float") \
    Y(t_non_semantic, "Prompt is non-semantic, empty, or lacks meaningful content.") \
    Y(t_authorized, "Explicitly authorized action") \
    Y(t_action_execution, "action_execution") \
    Y(t_execute_normally, "execute_normally") \
    Y(t_block, "block") \
    Y(t_require_approval, "require_human_approval") \
    Y(t_high, "HIGH") \
    Y(t_critical, "CRITICAL") \
    Y(t_low, "LOW") \
    Y(t_reason_head, "Vantor Security Engine: ") \
    Y(t_reason_confidence, " (Confidence: ") \
    Y(t_close_paren, ")") \
    Y(t_warn_head, "Nerov Vantor Blocked Adversarial Request! Category: ") \
    Y(t_warn_risk, " | Risk: ") \
    Y(t_warn_latency, " | Latency: ") \
    Y(t_ms, "ms") \
    Y(t_block_head, "Adversarial prompt detected (") \
    Y(t_block_tail, "). Request blocked by Nerov Vantor.") \
    Y(t_line_head, "Layer 1 Vantor Analysis: Safe=True, Intent=") \
    Y(t_line_risk, ", Risk=") \
    Y(t_line_scope, ", Scope=") \
    Y(t_line_tier, ", BindingTier=") \
    Y(t_line_tools, ", Allowed Tools=") \
    Y(t_line_latency, ", Latency=") \
    Y(t_error_head, "Error during Vantor Request Analysis: ") \
    Y(t_failed_head, "Failed to analyze request: ")

struct State {
    nrt::RuntimeState rt;
#define X(n) PyObject *n;
#define Y(n, text) PyObject *n;
    PROMPTSIFT_NAMES(X)
    PROMPTSIFT_TEXTS(Y)
#undef Y
#undef X
    PyObject *zero;               // 0.0
    PyObject *one;                // 1.0
    PyObject *safe_risk_score;    // 0.1
    PyObject *import_level;       // 4: the IFC module is four packages up
    PyObject *select_kwnames;     // ("predicted_intent", "predicted_scope")
    PyObject *ifc_fromlist;       // ("IFCContext",)
    // Engine creation is serialised across threads by this `_thread.lock`:
    // a waiter answers signals as any thread blocked on a lock does, and a
    // child process gets a fresh one after fork.
    PyObject *engine_lock;
    // Not references: the owner lets a creation that re-enters `_get_vantor`
    // proceed.
    bool engine_busy;
    unsigned long engine_owner;
};
constexpr std::size_t kStateSlots = offsetof(State, engine_busy) / sizeof(PyObject *);

State &state(nrt::Function *f) noexcept { return nrt::state_of<State>(f); }
State &state(PyObject *module) noexcept { return *static_cast<State *>(PyModule_GetState(module)); }

// ---------------------------------------------------------------------------
// Small helpers

// Joins str pieces (none null) into one new str.
object join(std::initializer_list<PyObject *> pieces) noexcept {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject *p : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return {};
        }
        length += n;
        Py_UCS4 c = PyUnicode_MAX_CHAR_VALUE(p);
        if (c > maxchar) maxchar = c;
    }
    object out = nrt::steal(PyUnicode_New(length, maxchar));
    if (!out) return {};
    const int kind = PyUnicode_KIND(out.get());
    char *data = static_cast<char *>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (PyObject *p : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n == 0) continue;
        if (PyUnicode_KIND(p) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(p), static_cast<std::size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) {
            return {};
        }
        at += n;
    }
    return out;
}

// repr() of a float: the shortest digits that read back as the same value,
// laid out as the interpreter lays them out (fixed notation for decimal
// exponents from -4 to 16, else d.ddde+XX; ".0" after an integral value).
object float_text(double x) noexcept {
    if (std::isnan(x)) return nrt::steal(PyUnicode_FromStringAndSize("nan", 3));
    if (std::isinf(x)) return nrt::steal(PyUnicode_FromString(x > 0 ? "inf" : "-inf"));
    char sci[48];
    auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    if (ec != std::errc()) {
        PyErr_SetString(PyExc_SystemError, "float formatting failed");
        return {};
    }
    const char *p = sci;
    char out[64];
    char *o = out;
    if (*p == '-') *o++ = *p++;
    char digits[24];
    int ndigits = 0;
    for (; p < sci_end && *p != 'e'; p++) {
        if (*p != '.' && ndigits < static_cast<int>(sizeof digits)) digits[ndigits++] = *p;
    }
    int exponent = 0;
    if (p < sci_end) std::from_chars(p[1] == '+' ? p + 2 : p + 1, sci_end, exponent);
    const int point = exponent + 1;  // digits are 0.d1d2... x 10**point
    if (point <= -4 || point > 16) {
        *o++ = digits[0];
        if (ndigits > 1) {
            *o++ = '.';
            for (int i = 1; i < ndigits; i++) *o++ = digits[i];
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        int e = exponent < 0 ? -exponent : exponent;
        if (e < 10) *o++ = '0';
        o = std::to_chars(o, out + sizeof out, e).ptr;
    } else if (point <= 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = point; i < 0; i++) *o++ = '0';
        for (int i = 0; i < ndigits; i++) *o++ = digits[i];
    } else {
        for (int i = 0; i < point; i++) *o++ = i < ndigits ? digits[i] : '0';
        *o++ = '.';
        if (point >= ndigits) *o++ = '0';
        for (int i = point; i < ndigits; i++) *o++ = digits[i];
    }
    return nrt::steal(PyUnicode_FromStringAndSize(out, o - out));
}

// repr() of a str that needs no escapes and no double quotes: 'text'.
bool plain_ascii(PyObject *s) noexcept {
    if (!PyUnicode_IS_ASCII(s)) return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; i++) {
        if (c[i] < 0x20 || c[i] == 0x7f || c[i] == '\\' || c[i] == '\'') return false;
    }
    return true;
}

// repr() of a list whose items are all exact str (no user code can run).
object str_list_text(PyObject *list) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) return nrt::steal(PyUnicode_FromStringAndSize("[]", 2));
    constexpr Py_ssize_t kInline = 16;
    if (n > kInline) return nrt::steal(PyObject_Repr(list));
    object quoted[kInline];
    Py_ssize_t length = 2 + 2 * (n - 1);
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (plain_ascii(item)) {
            length += PyUnicode_GET_LENGTH(item) + 2;
            continue;
        }
        quoted[i] = nrt::steal(PyObject_Repr(item));
        if (!quoted[i]) return {};
        length += PyUnicode_GET_LENGTH(quoted[i].get());
        Py_UCS4 c = PyUnicode_MAX_CHAR_VALUE(quoted[i].get());
        if (c > maxchar) maxchar = c;
    }
    object out = nrt::steal(PyUnicode_New(length, maxchar));
    if (!out) return {};
    const int kind = PyUnicode_KIND(out.get());
    void *data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    auto put = [&](Py_UCS4 ch) { PyUnicode_WRITE(kind, data, at++, ch); };
    put('[');
    for (Py_ssize_t i = 0; i < n; i++) {
        if (i) { put(','); put(' '); }
        PyObject *piece = quoted[i] ? quoted[i].get() : PyList_GET_ITEM(list, i);
        if (!quoted[i]) put('\'');
        Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(out.get(), at, piece, 0, len) < 0) return {};
        at += len;
        if (!quoted[i]) put('\'');
    }
    put(']');
    return out;
}

bool all_exact_str(PyObject *list) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) return false;
    }
    return true;
}

// `format(value, "")`, as an f-string renders a value. For exact built-in
// types, whose format with an empty string is their str(), the text is made
// directly.
object render(PyObject *value) noexcept {
    if (PyUnicode_CheckExact(value)) return nrt::borrow(value);
    if (PyFloat_CheckExact(value)) return float_text(PyFloat_AS_DOUBLE(value));
    if (PyList_CheckExact(value) && all_exact_str(value)) return str_list_text(value);
    if (PyLong_CheckExact(value) || PyList_CheckExact(value) || PyBool_Check(value) ||
        value == Py_None || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
        return nrt::steal(PyObject_Str(value));
    }
    return nrt::steal(PyObject_Format(value, nullptr));
}

object getitem(PyObject *mapping, PyObject *key) noexcept {
    return nrt::steal(PyObject_GetItem(mapping, key));
}

// `mapping.get(key, fallback)`; an exact dict is read directly.
object mapping_get(State &st, PyObject *mapping, PyObject *key, PyObject *fallback) noexcept {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value;
        int r = PyDict_GetItemRef(mapping, key, &value);
        if (r < 0) return {};
        return r ? nrt::steal(value) : nrt::borrow(fallback);
    }
    if (fallback == Py_None) return nrt::call_method(mapping, st.get, key);
    return nrt::call_method(mapping, st.get, key, fallback);
}

// `obj.name = value` on `context.layer1`, read afresh for each assignment.
int set_on_layer1(State &st, PyObject *context, PyObject *name, PyObject *value) noexcept {
    if (value == nullptr) return -1;
    object layer1 = nrt::getattr(context, st.layer1);
    if (!layer1) return -1;
    return PyObject_SetAttr(layer1.get(), name, value);
}

// `raise obj`: an exception instance is raised, a class is instantiated first.
void raise_object(PyObject *obj) noexcept {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        object inst = nrt::steal(PyObject_CallNoArgs(obj));
        if (!inst) return;
        if (!PyExceptionInstance_Check(inst.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         obj, reinterpret_cast<PyObject *>(Py_TYPE(inst.get())));
            return;
        }
        PyErr_SetObject(obj, inst.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// `except <cls>:` matching: 1 on a match, 0 otherwise, -1 with an error set.
int exception_matches(PyObject *exc, PyObject *cls) noexcept {
    bool valid = true;
    if (PyTuple_Check(cls)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); i++) {
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i))) valid = false;
        }
    } else {
        valid = PyExceptionClass_Check(cls);
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    return PyErr_GivenExceptionMatches(exc, cls);
}

// ---------------------------------------------------------------------------
// _get_vantor

// `_LOCAL_BRAIN = VantorEngine()`.
int construct_engine(nrt::Function *f, State &st) noexcept {
    object cls = nrt::global(f, st.VantorEngine);
    if (!cls) return -1;
    object engine = nrt::steal(PyObject_CallNoArgs(cls.get()));
    if (!engine) return -1;
    return PyDict_SetItem(f->globals, st.local_brain, engine.get());
}

// Builds the engine once per process: the slot is tested again under the
// lock, so threads that arrive together share the first one's engine. A
// constructor that fails leaves the slot None for the next call to retry.
int create_engine(nrt::Function *f, State &st) noexcept {
    unsigned long me = PyThread_get_thread_ident();
    if (st.engine_busy && st.engine_owner == me) return construct_engine(f, st);
    object lock = nrt::borrow(st.engine_lock);
    if (!nrt::call_method(lock.get(), st.acquire)) return -1;  // interrupted while waiting
    st.engine_busy = true;
    st.engine_owner = me;
    int rc = 0;
    object current = nrt::global(f, st.local_brain);
    if (!current) {
        rc = -1;
    } else if (current.get() == Py_None) {
        rc = construct_engine(f, st);
    }
    st.engine_busy = false;
    object failure = nrt::steal(PyErr_GetRaisedException());
    if (!nrt::call_method(lock.get(), st.release)) return -1;
    PyErr_SetRaisedException(failure.release());
    return rc;
}

// `_thread.allocate_lock()`.
object new_lock(State &st) noexcept {
    object thread = nrt::steal(PyImport_Import(st.mod_thread));
    object allocate = thread ? nrt::getattr(thread.get(), st.allocate_lock) : object();
    return allocate ? nrt::call(allocate.get()) : object();
}

// Runs in a child process after fork. A creation that another thread of the
// parent had under way never finishes here, so its lock would stay held for
// ever: the child starts with a fresh lock and builds its own engine when
// none was finished. A creation by the forking thread itself goes on.
PyObject *reset_engine_lock(PyObject *module, PyObject *) noexcept {
    State &st = state(module);
    if (st.engine_busy && st.engine_owner == PyThread_get_thread_ident()) Py_RETURN_NONE;
    object lock = new_lock(st);
    if (!lock) return nullptr;
    Py_SETREF(st.engine_lock, lock.release());
    st.engine_busy = false;
    Py_RETURN_NONE;
}

PyMethodDef reset_engine_lock_def = {"_reset_engine_lock", reset_engine_lock, METH_NOARGS,
                                     nullptr};

// Makes the engine lock and has `os` renew it in every child process.
int init_engine_lock(PyObject *module, State &st) noexcept {
    object lock = new_lock(st);
    if (!lock) return -1;
    st.engine_lock = lock.release();
    object reset = nrt::steal(PyCFunction_New(&reset_engine_lock_def, module));
    object os = nrt::steal(PyImport_Import(st.mod_os));
    object register_at_fork = os ? nrt::getattr(os.get(), st.register_at_fork) : object();
    if (!reset || !register_at_fork) return -1;
    object kwnames = nrt::steal(PyTuple_Pack(1, st.after_in_child));
    if (!kwnames) return -1;
    return nrt::call_kw(register_at_fork.get(), 0, kwnames.get(), reset.get()) ? 0 : -1;
}

PyObject *get_vantor(nrt::Function *f, PyObject *const *) noexcept {
    State &st = state(f);
    object current = nrt::global(f, st.local_brain);
    if (!current) return nullptr;
    if (current.get() == Py_None && create_engine(f, st) < 0) return nullptr;
    return nrt::global(f, st.local_brain).release();
}

const nrt::FunctionDef get_vantor_def = {
    "_get_vantor", "_get_vantor", nullptr, nullptr, 0, "VantorEngine", get_vantor, false};

// Whether `obj` is this module's function made from `made_from` (so that its
// body may be run directly).
bool is_own_function(State &st, PyObject *obj, const nrt::FunctionDef *made_from) noexcept {
    return Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject *>(st.rt.function_type)) &&
           reinterpret_cast<nrt::Function *>(obj)->def == made_from;
}

// ---------------------------------------------------------------------------
// PromptsiftStage.__init__

PyObject *stage_init(nrt::Function *f, PyObject *const *args) noexcept {
    State &st = state(f);
    PyObject *self = args[0], *tools = args[1];
    if (PyObject_SetAttr(self, st.available_tools, tools) < 0) return nullptr;
    object cls = nrt::global(f, st.CapabilityMatcher);
    if (!cls) return nullptr;
    object matcher = nrt::call(cls.get(), tools);
    if (!matcher || PyObject_SetAttr(self, st.capability_matcher, matcher.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const nrt::Param stage_init_params[] = {
    {"self", nullptr, nullptr},
    {"available_tools", "list[Callable]", nullptr},
    {"model_id", "str", "vantor-int8"},
};

const nrt::FunctionDef stage_init_def = {
    "__init__", "PromptsiftStage.__init__", nullptr, stage_init_params, 3, nullptr, stage_init,
    false};

// ---------------------------------------------------------------------------
// PromptsiftStage.process

// `text.lower()`; an exact ASCII str is lowered here, as str.lower() does.
object lower(State &st, PyObject *text) noexcept {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) {
        return nrt::call_method(text, st.lower);
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    object out = nrt::steal(PyUnicode_New(n, 127));
    if (!out || n == 0) return out;
    const Py_UCS1 *from = PyUnicode_1BYTE_DATA(text);
    Py_UCS1 *to = PyUnicode_1BYTE_DATA(out.get());
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS1 c = from[i];
        to[i] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c + ('a' - 'A')) : c;
    }
    return out;
}

// `user_prompt.strip()`; an exact str is stripped here, as str.strip() does.
object strip_prompt(State &st, PyObject *prompt) noexcept {
    if (!PyUnicode_CheckExact(prompt)) return nrt::call_method(prompt, st.strip);
    const int kind = PyUnicode_KIND(prompt);
    const void *data = PyUnicode_DATA(prompt);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(prompt);
    while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) begin++;
    while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) end--;
    return nrt::steal(PyUnicode_Substring(prompt, begin, end));
}

// The non-semantic test: 1 when the prompt has at least two characters and
// one of them is alphanumeric, 0 when it is to be rejected, -1 on error.
int has_meaningful_content(State &st, PyObject *text) noexcept {
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        if (n < 2) return 0;
        const int kind = PyUnicode_KIND(text);
        const void *data = PyUnicode_DATA(text);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (Py_UNICODE_ISALNUM(PyUnicode_READ(kind, data, i))) return 1;
        }
        return 0;
    }
    // Anything else that strip() returned: len(), then isalnum() per item.
    Py_ssize_t n = PyObject_Size(text);
    if (n < 0) return -1;
    if (n < 2) return 0;
    object it = nrt::steal(PyObject_GetIter(text));
    if (!it) return -1;
    while (object item = nrt::steal(PyIter_Next(it.get()))) {
        object r = nrt::call_method(item.get(), st.isalnum);
        if (!r) return -1;
        int t = PyObject_IsTrue(r.get());
        if (t != 0) return t;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// `first, second = seq`, with the interpreter's errors for other counts.
int unpack_two(PyObject *seq, object &first, object &second) noexcept {
    if ((PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) && Py_SIZE(seq) == 2) {
        PyObject **items = PySequence_Fast_ITEMS(seq);
        first = nrt::borrow(items[0]);
        second = nrt::borrow(items[1]);
        return 0;
    }
    object it = nrt::steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(seq)->tp_iter == nullptr &&
            !PySequence_Check(seq)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        return -1;
    }
    object *slots[2] = {&first, &second};
    for (int i = 0; i < 2; i++) {
        *slots[i] = nrt::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return -1;
        }
    }
    object extra = nrt::steal(PyIter_Next(it.get()));
    if (!extra) return PyErr_Occurred() ? -1 : 0;
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
}

// `from ....governance.ifc import IFCContext`, run through `__import__` as
// the statement would be inside a function of this module.
object import_ifc_context(nrt::Function *f, State &st) noexcept {
    PyObject *import_func;
    int r = PyDict_GetItemRef(f->builtins, st.dunder_import, &import_func);
    if (r < 0) return {};
    if (r == 0) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return {};
    }
    object importer = nrt::steal(import_func);
    object module = nrt::call(importer.get(), st.mod_ifc, f->globals, Py_None, st.ifc_fromlist,
                              st.import_level);
    if (!module) return {};
    return nrt::import_from(module.get(), st.IFCContext);
}

// Step 7: create the request's IFC context when absent, then tag the prompt.
int tag_untrusted(nrt::Function *f, State &st, PyObject *context) noexcept {
    object ifc_state = nrt::getattr(context, st.state);
    if (!ifc_state) return -1;
    int present = PySequence_Contains(ifc_state.get(), st.ifc);
    if (present < 0) return -1;
    if (!present) {
        object cls = import_ifc_context(f, st);
        if (!cls) return -1;
        object fresh = nrt::steal(PyObject_CallNoArgs(cls.get()));
        if (!fresh) return -1;
        object target = nrt::getattr(context, st.state);
        if (!target || PyObject_SetItem(target.get(), st.ifc, fresh.get()) < 0) return -1;
    }
    object holder = nrt::getattr(context, st.state);
    if (!holder) return -1;
    object ifc = getitem(holder.get(), st.ifc);
    object tag = ifc ? nrt::getattr(ifc.get(), st.tag) : object();
    if (!tag) return -1;
    object levels = nrt::global(f, st.TaintLevel);
    if (!levels) return -1;
    object untrusted = nrt::getattr(levels.get(), st.UNTRUSTED);
    if (!untrusted) return -1;
    return nrt::call(tag.get(), st.user_prompt, untrusted.get()) ? 0 : -1;
}

// Step 10: the validation result dict.
object build_validation_result(State &st, PyObject *result, bool approved, PyObject *tier) noexcept {
    object vr = nrt::steal(PyDict_New());
    if (!vr) return {};
    object is_safe = approved ? nrt::borrow(Py_True) : getitem(result, st.is_safe);
    if (!is_safe || PyDict_SetItem(vr.get(), st.is_safe, is_safe.get()) < 0) return {};

    object reason;
    if (approved) {
        reason = nrt::borrow(st.t_authorized);
    } else {
        object kind = getitem(result, st.injection_type);
        object kind_text = kind ? render(kind.get()) : object();
        if (!kind_text) return {};
        object confidence = getitem(result, st.confidence);
        object confidence_text = confidence ? render(confidence.get()) : object();
        if (!confidence_text) return {};
        reason = join({st.t_reason_head, kind_text.get(), st.t_reason_confidence,
                       confidence_text.get(), st.t_close_paren});
    }
    if (!reason || PyDict_SetItem(vr.get(), st.reason, reason.get()) < 0) return {};

    object safe = getitem(result, st.is_safe);
    if (!safe) return {};
    int truthy = PyObject_IsTrue(safe.get());
    if (truthy < 0) return {};
    object flags;
    if (truthy || approved) {
        flags = nrt::steal(PyList_New(0));
    } else {
        object kind = getitem(result, st.injection_type);
        if (!kind) return {};
        flags = nrt::steal(PyList_New(1));
        if (flags) PyList_SET_ITEM(flags.get(), 0, kind.release());
    }
    if (!flags || PyDict_SetItem(vr.get(), st.risk_flags, flags.get()) < 0) return {};

    object confidence = getitem(result, st.confidence);
    if (!confidence || PyDict_SetItem(vr.get(), st.confidence, confidence.get()) < 0) return {};
    object latency = getitem(result, st.latency_ms);
    if (!latency || PyDict_SetItem(vr.get(), st.latency_ms, latency.get()) < 0) return {};
    if (PyDict_SetItem(vr.get(), st.binding_tier, tier) < 0) return {};
    return vr;
}

// Step 21: the execution recommendation (a borrowed constant), or null.
PyObject *recommendation(State &st, PyObject *result, bool approved) noexcept {
    if (approved) return st.t_execute_normally;
    object safe = getitem(result, st.is_safe);
    if (!safe) return nullptr;
    int truthy = PyObject_IsTrue(safe.get());
    if (truthy < 0) return nullptr;
    if (!truthy) return st.t_block;
    object level = getitem(result, st.risk_level);
    if (!level) return nullptr;
    for (PyObject *word : {st.t_high, st.t_critical}) {
        int eq = PyObject_RichCompareBool(level.get(), word, Py_EQ);
        if (eq < 0) return nullptr;
        if (eq) return st.t_require_approval;
    }
    return st.t_execute_normally;
}

// Step 22, block path: one warning line, then PromptValidationError.
void block_request(nrt::Function *f, State &st, PyObject *result) noexcept {
    object log = nrt::global(f, st.logger);
    object warn = log ? nrt::getattr(log.get(), st.warning) : object();
    if (!warn) return;
    object kind = getitem(result, st.injection_type);
    object kind_text = kind ? render(kind.get()) : object();
    if (!kind_text) return;
    object level = getitem(result, st.risk_level);
    object level_text = level ? render(level.get()) : object();
    if (!level_text) return;
    object latency = getitem(result, st.latency_ms);
    object latency_text = latency ? render(latency.get()) : object();
    if (!latency_text) return;
    object line = join({st.t_warn_head, kind_text.get(), st.t_warn_risk, level_text.get(),
                        st.t_warn_latency, latency_text.get(), st.t_ms});
    if (!line || !nrt::call(warn.get(), line.get())) return;

    object cls = nrt::global(f, st.PromptValidationError);
    if (!cls) return;
    object kind2 = getitem(result, st.injection_type);
    object kind2_text = kind2 ? render(kind2.get()) : object();
    if (!kind2_text) return;
    object message = join({st.t_block_head, kind2_text.get(), st.t_block_tail});
    if (!message) return;
    object exc = nrt::call(cls.get(), message.get());
    if (exc) raise_object(exc.get());
}

// Step 22, pass path: the analysis line at DEBUG, built in full.
int log_analysis(nrt::Function *f, State &st, PyObject *result, PyObject *tools,
                 PyObject *tier) noexcept {
    object log = nrt::global(f, st.logger);
    object debug = log ? nrt::getattr(log.get(), st.debug) : object();
    if (!debug) return -1;
    object intent = getitem(result, st.intent);
    object intent_text = intent ? render(intent.get()) : object();
    if (!intent_text) return -1;
    object level = getitem(result, st.risk_level);
    object level_text = level ? render(level.get()) : object();
    if (!level_text) return -1;
    object scope = mapping_get(st, result, st.tool_scope, Py_None);
    object scope_text = scope ? render(scope.get()) : object();
    if (!scope_text) return -1;
    object tier_text = render(tier);
    if (!tier_text) return -1;
    object tools_text = render(tools);
    if (!tools_text) return -1;
    object latency = getitem(result, st.latency_ms);
    object latency_text = latency ? render(latency.get()) : object();
    if (!latency_text) return -1;
    object line = join({st.t_line_head, intent_text.get(), st.t_line_risk, level_text.get(),
                        st.t_line_scope, scope_text.get(), st.t_line_tier, tier_text.get(),
                        st.t_line_tools, tools_text.get(), st.t_line_latency,
                        latency_text.get(), st.t_ms});
    if (!line) return -1;
    return nrt::call(debug.get(), line.get()) ? 0 : -1;
}

// Steps 1 to 22. Returns None, or null with the exception that the handler
// is to see.
PyObject *analyse(nrt::Function *f, State &st, PyObject *self, PyObject *context) noexcept {
    // 1-3: the prompt and the non-semantic test.
    object request = nrt::getattr(context, st.request);
    if (!request) return nullptr;
    object user_prompt = nrt::getattr(request.get(), st.prompt);
    if (!user_prompt) return nullptr;
    int truthy = PyObject_IsTrue(user_prompt.get());
    if (truthy < 0) return nullptr;
    object clean = truthy ? strip_prompt(st, user_prompt.get()) : nrt::borrow(st.rt.empty_str);
    if (!clean) return nullptr;
    int meaningful = has_meaningful_content(st, clean.get());
    if (meaningful < 0) return nullptr;
    if (!meaningful) {
        object cls = nrt::global(f, st.PromptValidationError);
        object exc = cls ? nrt::call(cls.get(), st.t_non_semantic) : object();
        if (exc) raise_object(exc.get());
        return nullptr;
    }

    // 4-5: the engine's verdict.
    object accessor = nrt::global(f, st.get_vantor);
    if (!accessor) return nullptr;
    object engine = is_own_function(st, accessor.get(), &get_vantor_def)
                        ? nrt::steal(get_vantor(reinterpret_cast<nrt::Function *>(accessor.get()), nullptr))
                        : nrt::call(accessor.get());
    if (!engine) return nullptr;
    object result = nrt::call_method(engine.get(), st.predict, clean.get());
    if (!result) return nullptr;
    PyObject *r = result.get();

    // 6: the matcher's tool subset and binding tier.
    object matcher = nrt::getattr(self, st.capability_matcher);
    object select = matcher ? nrt::getattr(matcher.get(), st.select_for_prompt) : object();
    if (!select) return nullptr;
    object intent = mapping_get(st, r, st.intent, Py_None);
    if (!intent) return nullptr;
    object scope = mapping_get(st, r, st.tool_scope, Py_None);
    if (!scope) return nullptr;
    object selected = nrt::call_kw(select.get(), 1, st.select_kwnames, clean.get(), intent.get(),
                                   scope.get());
    if (!selected) return nullptr;
    object tools, tier;
    if (unpack_two(selected.get(), tools, tier) < 0) return nullptr;
    selected = object();

    // 7: IFC tagging.
    if (tag_untrusted(f, st, context) < 0) return nullptr;

    // 8-9: approval.
    object metadata = nrt::getattr(context, st.metadata);
    object flag = metadata ? mapping_get(st, metadata.get(), st.is_approved, Py_False) : object();
    if (!flag) return nullptr;
    int approval = PyObject_IsTrue(flag.get());
    if (approval < 0) return nullptr;
    const bool approved = approval != 0;
    if (set_on_layer1(st, context, st.is_approved, approved ? Py_True : Py_False) < 0) {
        return nullptr;
    }

    // 10-20: the verdict on context.layer1.
    if (set_on_layer1(st, context, st.validation_result,
                      build_validation_result(st, r, approved, tier.get()).get()) < 0) {
        return nullptr;
    }
    if (set_on_layer1(st, context, st.intent, getitem(r, st.intent).get()) < 0) return nullptr;
    if (set_on_layer1(st, context, st.task_category, st.t_action_execution) < 0) return nullptr;
    {
        object word = getitem(r, st.intent);
        object lowered = word ? lower(st, word.get()) : object();
        if (!lowered) return nullptr;
        object caps = nrt::steal(PyList_New(1));
        if (!caps) return nullptr;
        PyList_SET_ITEM(caps.get(), 0, lowered.release());
        if (set_on_layer1(st, context, st.capabilities, caps.get()) < 0) return nullptr;
    }
    if (set_on_layer1(st, context, st.confidence_score, getitem(r, st.confidence).get()) < 0) {
        return nullptr;
    }
    if (set_on_layer1(st, context, st.allowed_tools, tools.get()) < 0) return nullptr;
    if (set_on_layer1(st, context, st.risk_level, getitem(r, st.risk_level).get()) < 0) {
        return nullptr;
    }
    {
        object safe = getitem(r, st.is_safe);
        if (!safe) return nullptr;
        int safe_truthy = PyObject_IsTrue(safe.get());
        if (safe_truthy < 0) return nullptr;
        object score;
        if (safe_truthy) {
            score = nrt::borrow(st.safe_risk_score);
        } else {
            object confidence = getitem(r, st.confidence);
            if (!confidence) return nullptr;
            score = nrt::steal(PyNumber_Subtract(st.one, confidence.get()));
        }
        if (set_on_layer1(st, context, st.risk_score, score.get()) < 0) return nullptr;
    }
    if (set_on_layer1(st, context, st.vantor_result, r) < 0) return nullptr;
    if (set_on_layer1(st, context, st.tool_scope,
                      mapping_get(st, r, st.tool_scope, Py_None).get()) < 0) {
        return nullptr;
    }
    if (set_on_layer1(st, context, st.content_class,
                      mapping_get(st, r, st.content_class, Py_None).get()) < 0) {
        return nullptr;
    }
    PyObject *advice = recommendation(st, r, approved);
    if (set_on_layer1(st, context, st.execution_recommendation, advice) < 0) return nullptr;

    // 22: the decision.
    object safe = getitem(r, st.is_safe);
    if (!safe) return nullptr;
    int safe_truthy = PyObject_IsTrue(safe.get());
    if (safe_truthy < 0) return nullptr;
    if (!safe_truthy && !approved) {
        block_request(f, st, r);
        return nullptr;
    }
    if (log_analysis(f, st, r, tools.get(), tier.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The handler around the analysis, entered with `caught` as the handled
// exception. Always leaves with an exception set.
void handle_failure(nrt::Function *f, State &st, PyObject *caught) noexcept {
    // except PromptValidationError: raise
    object refusal = nrt::global(f, st.PromptValidationError);
    if (!refusal) return;
    int m = exception_matches(caught, refusal.get());
    if (m < 0) return;
    if (m) {
        PyErr_SetRaisedException(Py_NewRef(caught));
        return;
    }
    // except Exception as e: log, then raise Layer1ProcessingError from within the handler
    object any = nrt::global(f, st.Exception);
    if (!any) return;
    m = exception_matches(caught, any.get());
    if (m < 0) return;
    if (!m) {
        PyErr_SetRaisedException(Py_NewRef(caught));
        return;
    }
    object log = nrt::global(f, st.logger);
    object error = log ? nrt::getattr(log.get(), st.error) : object();
    if (!error) return;
    object text = render(caught);
    if (!text) return;
    object line = join({st.t_error_head, text.get()});
    if (!line || !nrt::call(error.get(), line.get())) return;
    object cls = nrt::global(f, st.Layer1ProcessingError);
    if (!cls) return;
    object text2 = render(caught);
    if (!text2) return;
    object message = join({st.t_failed_head, text2.get()});
    if (!message) return;
    object exc = nrt::call(cls.get(), message.get());
    if (exc) raise_object(exc.get());
}

PyObject *process(nrt::Function *f, PyObject *const *args) noexcept {
    State &st = state(f);
    PyObject *done = analyse(f, st, args[0], args[1]);
    if (done != nullptr) return done;
    // Make the caught exception the handled one while the handler runs, so
    // that whatever the handler raises chains to it; then put back exactly
    // what the thread was handling before.
    PyThreadState *ts = PyThreadState_Get();
    object previous = nrt::borrow(ts->exc_info->exc_value);
    object caught = nrt::steal(PyErr_GetRaisedException());
    if (!caught) {
        PyErr_SetString(PyExc_SystemError, "process failed without an exception");
        return nullptr;
    }
    PyErr_SetHandledException(caught.get());
    handle_failure(f, st, caught.get());
    PyErr_SetHandledException(previous.get());
    return nullptr;
}

const nrt::Param process_params[] = {
    {"self", nullptr, nullptr},
    {"context", "ExecutionContext", nullptr},
};

const nrt::FunctionDef process_def = {
    "process", "PromptsiftStage.process", nullptr, process_params, 2, "None", process, true};

// ---------------------------------------------------------------------------
// Module

constexpr const char kStageDoc[] =
    "\n    Ultra-Fast Layer 1 Security Analyzer powered by local ONNX INT8 Vantor (~5ms CPU).\n"
    "    Runs 100% offline with zero cloud API keys.\n    ";

// `from <level dots><name> import <names...>`, binding each name in `ns`.
int import_names(PyObject *ns, PyObject *name, int level,
                 std::initializer_list<PyObject *> names) noexcept {
    object fromlist = nrt::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (PyObject *n : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    object module =
        nrt::steal(PyImport_ImportModuleLevelObject(name, ns, nullptr, fromlist.get(), level));
    if (!module) return -1;
    for (PyObject *n : names) {
        object value = nrt::import_from(module.get(), n);
        if (!value || PyDict_SetItem(ns, n, value.get()) < 0) return -1;
    }
    return 0;
}

// The start of a class body: `metaclass.__prepare__(name, bases)` holding
// `__module__` and `__qualname__`.
object class_namespace(State &st, PyObject *ns, PyObject *meta, PyObject *name,
                       PyObject *bases) noexcept {
    object prepare = nrt::getattr(meta, st.dunder_prepare);
    object body = prepare ? nrt::call(prepare.get(), name, bases) : object();
    if (!body) return {};
    PyObject *module_name = PyDict_GetItemWithError(ns, st.dunder_name);  // borrowed
    if (module_name == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, st.dunder_name);
        return {};
    }
    if (PyObject_SetItem(body.get(), st.dunder_module, module_name) < 0) return {};
    if (PyObject_SetItem(body.get(), st.dunder_qualname, name) < 0) return {};
    return body;
}

// Finishes a class statement: `metaclass(name, bases, body)` bound in `ns`.
int finish_class(PyObject *ns, PyObject *meta, PyObject *name, PyObject *bases,
                 PyObject *body) noexcept {
    object cls = nrt::call(meta, name, bases, body);
    if (!cls) return -1;
    return PyDict_SetItem(ns, name, cls.get());
}

int make_analysis_result(State &st, PyObject *ns) noexcept {
    PyObject *base = PyDict_GetItemWithError(ns, st.BaseModel);  // borrowed
    PyObject *field = base ? PyDict_GetItemWithError(ns, st.Field) : nullptr;
    if (field == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "pydantic names are missing");
        return -1;
    }
    object base_ref = nrt::borrow(base), field_ref = nrt::borrow(field);
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(base));
    object bases = nrt::steal(PyTuple_Pack(1, base));
    if (!bases) return -1;
    object body = class_namespace(st, ns, meta, st.RequestAnalysisResult, bases.get());
    if (!body) return -1;
    object annotations = nrt::steal(PyDict_New());
    if (!annotations || PyObject_SetItem(body.get(), st.dunder_annotations, annotations.get()) < 0) {
        return -1;
    }
    object only_description = nrt::steal(PyTuple_Pack(1, st.description));
    object with_default = nrt::steal(PyTuple_Pack(2, st.kw_default, st.description));
    object with_factory = nrt::steal(PyTuple_Pack(2, st.default_factory, st.description));
    if (!only_description || !with_default || !with_factory) return -1;
    PyObject *factory = reinterpret_cast<PyObject *>(&PyList_Type);

    struct FieldDecl {
        PyObject *name;
        PyObject *annotation;
        PyObject *kwnames;
        PyObject *dflt;  // null: none
        const char *description;
    };
    const FieldDecl fields[] = {
        {st.is_safe, st.ann_bool, only_description.get(), nullptr,
         "True if prompt is safe. False if prompt contains injection or attack."},
        {st.reason, st.ann_str, only_description.get(), nullptr,
         "Explanation of safety or attack category."},
        {st.risk_flags, st.ann_list_str, with_factory.get(), factory, "Detected security flags."},
        {st.primary_intent, st.ann_str, only_description.get(), nullptr,
         "The primary intent of the user."},
        {st.task_category, st.ann_str, with_default.get(), st.t_action_execution,
         "The broad task category."},
        {st.required_capabilities, st.ann_list_str, with_factory.get(), factory,
         "Generic capabilities needed."},
        {st.confidence_score, st.ann_float, with_default.get(), st.one,
         "Confidence score from 0.0 to 1.0."},
        {st.allowed_tools, st.ann_list_str, with_factory.get(), factory,
         "The authorized tool subset."},
        {st.risk_level, st.ann_str, with_default.get(), st.t_low,
         "'LOW', 'MEDIUM', 'HIGH', 'CRITICAL'"},
        {st.risk_score, st.ann_float, with_default.get(), st.zero, "Score from 0.0 to 1.0."},
        {st.risk_factors, st.ann_list_str, with_factory.get(), factory, "Detected risk factors."},
        {st.execution_recommendation, st.ann_str, with_default.get(), st.t_execute_normally,
         "Execution recommendation."},
    };
    for (const FieldDecl &d : fields) {
        object text = nrt::steal(PyUnicode_FromString(d.description));
        if (!text) return -1;
        object value = d.dflt ? nrt::call_kw(field, 0, d.kwnames, d.dflt, text.get())
                              : nrt::call_kw(field, 0, d.kwnames, text.get());
        if (!value || PyObject_SetItem(body.get(), d.name, value.get()) < 0) return -1;
        if (PyDict_SetItem(annotations.get(), d.name, d.annotation) < 0) return -1;
    }
    object no_attributes = nrt::steal(PyTuple_New(0));
    if (!no_attributes ||
        PyObject_SetItem(body.get(), st.dunder_static_attributes, no_attributes.get()) < 0) {
        return -1;
    }
    object cls = nrt::call(meta, st.RequestAnalysisResult, bases.get(), body.get());
    if (!cls) return -1;
    // pydantic keeps the locals of the frame that created a model for later
    // rebuilds, but none for a model made at module level. Called from here,
    // that frame is the import machinery's, so record "module level" as a
    // class statement in this module would.
    if (PyObject_SetAttr(cls.get(), st.dunder_parent_namespace, Py_None) < 0) return -1;
    return PyDict_SetItem(ns, st.RequestAnalysisResult, cls.get());
}

int make_stage_class(PyObject *module, State &st, PyObject *ns) noexcept {
    PyObject *base = PyDict_GetItemWithError(ns, st.Layer1Stage);  // borrowed
    if (base == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Layer1Stage is missing");
        return -1;
    }
    object base_ref = nrt::borrow(base);
    object meta = nrt::borrow(reinterpret_cast<PyObject *>(Py_TYPE(base)));
    object bases = nrt::steal(PyTuple_Pack(1, base));
    if (!bases) return -1;
    object body = class_namespace(st, ns, meta.get(), st.PromptsiftStage, bases.get());
    if (!body) return -1;
    object doc = nrt::steal(PyUnicode_FromString(kStageDoc));
    if (!doc || PyObject_SetItem(body.get(), st.dunder_doc, doc.get()) < 0) return -1;
    for (const nrt::FunctionDef *def : {&stage_init_def, &process_def}) {
        object fn = nrt::steal(nrt::make_function(module, &st.rt, def));
        if (!fn) return -1;
        object fn_name = nrt::getattr(fn.get(), st.dunder_name);
        if (!fn_name || PyObject_SetItem(body.get(), fn_name.get(), fn.get()) < 0) return -1;
    }
    object attributes = nrt::steal(PyTuple_Pack(2, st.available_tools, st.capability_matcher));
    if (!attributes ||
        PyObject_SetItem(body.get(), st.dunder_static_attributes, attributes.get()) < 0) {
        return -1;
    }
    return finish_class(ns, meta.get(), st.PromptsiftStage, bases.get(), body.get());
}

int init_state(State &st) noexcept {
#define X(n) if ((st.n = PyUnicode_InternFromString(#n)) == nullptr) return -1;
#define Y(n, text) if ((st.n = PyUnicode_InternFromString(text)) == nullptr) return -1;
    PROMPTSIFT_NAMES(X)
    PROMPTSIFT_TEXTS(Y)
#undef Y
#undef X
    if ((st.zero = PyFloat_FromDouble(0.0)) == nullptr) return -1;
    if ((st.one = PyFloat_FromDouble(1.0)) == nullptr) return -1;
    if ((st.safe_risk_score = PyFloat_FromDouble(0.1)) == nullptr) return -1;
    if ((st.import_level = PyLong_FromLong(4)) == nullptr) return -1;
    st.select_kwnames = PyTuple_Pack(2, st.predicted_intent, st.predicted_scope);
    if (st.select_kwnames == nullptr) return -1;
    st.ifc_fromlist = PyTuple_Pack(1, st.IFCContext);
    return st.ifc_fromlist ? 0 : -1;
}

int exec_module(PyObject *module) noexcept {
    State &st = state(module);
    if (nrt::runtime_init(module, &st.rt) < 0 || init_state(st) < 0) return -1;
    PyObject *ns = PyModule_GetDict(module);  // borrowed

    object logging = nrt::steal(PyImport_ImportModuleLevelObject(st.logging, ns, nullptr, nullptr, 0));
    if (!logging || PyDict_SetItem(ns, st.logging, logging.get()) < 0) return -1;
    if (import_names(ns, st.typing, 0, {st.Callable}) < 0) return -1;
    if (import_names(ns, st.pydantic, 0, {st.BaseModel, st.Field}) < 0) return -1;
    if (import_names(ns, st.mod_context, 4, {st.ExecutionContext}) < 0) return -1;
    if (import_names(ns, st.mod_base, 2, {st.Layer1Stage}) < 0) return -1;
    if (import_names(ns, st.mod_exceptions, 2, {st.Layer1ProcessingError, st.PromptValidationError}) < 0) {
        return -1;
    }
    if (import_names(ns, st.mod_engine, 4, {st.VantorEngine}) < 0) return -1;
    if (import_names(ns, st.mod_matcher, 4, {st.CapabilityMatcher}) < 0) return -1;
    if (import_names(ns, st.mod_ifc, 4, {st.TaintLevel}) < 0) return -1;

    PyObject *module_name = PyDict_GetItemWithError(ns, st.dunder_name);  // borrowed
    if (module_name == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, st.dunder_name);
        return -1;
    }
    object get_logger = nrt::getattr(logging.get(), st.getLogger);
    object log = get_logger ? nrt::call(get_logger.get(), module_name) : object();
    if (!log || PyDict_SetItem(ns, st.logger, log.get()) < 0) return -1;
    if (PyDict_SetItem(ns, st.local_brain, Py_None) < 0) return -1;
    if (init_engine_lock(module, st) < 0) return -1;
    if (nrt::add_function(module, &st.rt, ns, &get_vantor_def) < 0) return -1;
    if (make_analysis_result(st, ns) < 0) return -1;
    return make_stage_class(module, st, ns);
}

nrt::ModuleDefinition module_definition = {
    .short_name = "promptsift",
    .state_size = sizeof(State),
    .object_slots = kStateSlots,
    .exec = exec_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_promptsift(void) { return nrt::init_module(module_definition); }
