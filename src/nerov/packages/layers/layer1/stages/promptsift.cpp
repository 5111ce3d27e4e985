// promptsift.cpp: the layer-1 request analysis stage. Screens one prompt per
// call with the shared local engine, asks the capability matcher for the tool
// subset, tags the prompt in the request's IFC state and writes the verdict
// onto the execution context.
#include "nrt.hpp"

#include <pythread.h>

#include <cstddef>

namespace {

using nrt::Function;
using nrt::object;

// The names the module looks up or assigns and the texts it writes.
#define PROMPTSIFT_STRINGS(N, T) \
    N(logging) N(pydantic) N(BaseModel) N(Field) \
    N(Layer1Stage) N(Layer1ProcessingError) N(PromptValidationError) \
    N(VantorEngine) N(CapabilityMatcher) N(TaintLevel) N(IFCContext) N(UNTRUSTED) \
    N(Exception) N(getLogger) N(logger) N(debug) N(warning) N(error) \
    N(RequestAnalysisResult) N(PromptsiftStage) \
    N(request) N(prompt) N(strip) N(isalnum) N(predict) N(capability_matcher) \
    N(available_tools) N(select_for_prompt) N(lower) N(tag) N(state) N(metadata) \
    N(layer1) N(ifc) N(user_prompt) N(predicted_intent) N(predicted_scope) \
    N(is_approved) N(validation_result) N(is_safe) N(reason) N(risk_flags) N(confidence) \
    N(latency_ms) N(binding_tier) N(injection_type) N(intent) N(task_category) \
    N(capabilities) N(confidence_score) N(allowed_tools) N(risk_level) N(risk_score) \
    N(vantor_result) N(tool_scope) N(content_class) N(execution_recommendation) \
    N(primary_intent) N(required_capabilities) N(risk_factors) N(description) \
    N(default_factory) N(acquire) N(release) N(register_at_fork) \
    N(after_in_child) N(Logger) N(isEnabledFor) N(DEBUG) N(create_model) \
    T(local_brain, "_LOCAL_BRAIN") \
    T(get_vantor, "_get_vantor") \
    T(dunder_name, "__name__") \
    N(threading) N(Lock) \
    T(mod_os, "os") \
    T(dunder_module, "__module__") \
    T(dunder_qualname, "__qualname__") \
    T(dunder_doc, "__doc__") \
    T(dunder_static_attributes, "__static_attributes__") \
    T(dunder_prepare, "__prepare__") \
    T(kw_base, "__base__") \
    T(kw_default, "default") \
    T(ann_bool, "bool") \
    T(ann_str, "str") \
    T(ann_list_str, "list[str]") \
    T(ann_float, "float") \
    T(t_non_semantic, "Prompt is non-semantic, empty, or lacks meaningful content.") \
    T(t_authorized, "Explicitly authorized action") \
    T(t_action_execution, "action_execution") \
    T(t_execute_normally, "execute_normally") \
    T(t_block, "block") \
    T(t_require_approval, "require_human_approval") \
    T(t_high, "HIGH") \
    T(t_critical, "CRITICAL") \
    T(t_low, "LOW")

struct State {
    nrt::RuntimeState rt;
    NRT_STRINGS(PROMPTSIFT_STRINGS)
    PyObject *zero;               // 0.0
    PyObject *one;                // 1.0
    PyObject *safe_risk_score;    // 0.1
    PyObject *select_kwnames;     // ("predicted_intent", "predicted_scope")
    PyObject *verdict_keys;       // the validation result's six keys, each None
    PyObject *import_ifc_context; // "from ....governance.ifc import IFCContext"
    PyObject *stock_debug_code;   // code of logging's own Logger.debug, or null
    PyObject *stock_enabled_code; // and of its Logger.isEnabledFor
    // The messages, each the literal pieces of its sentence (nrt::message).
    PyObject *reason_text, *block_warning, *block_message, *analysis_line, *failure_log,
        *failure_message;
    // Engine creation is serialised across threads by this `threading.Lock`:
    // a waiter answers signals as any thread blocked on a lock does, and a
    // child process gets a fresh one after fork.
    PyObject *engine_lock;
    // Not references: the owner lets a creation that re-enters `_get_vantor`
    // proceed.
    bool engine_busy;
    unsigned long engine_owner;
};
constexpr std::size_t kStateSlots = NRT_STATE_SLOTS(State, offsetof(State, engine_busy));

// ---------------------------------------------------------------------------
// _get_vantor

// `_LOCAL_BRAIN = VantorEngine()`.
int construct_engine(Function *f, State &st) noexcept {
    object engine = nrt::call_global(f, st.VantorEngine);
    return engine ? nrt::set_global(f, st.local_brain, engine.get()) : -1;
}

// Builds the engine once per process: the slot is tested again under the
// lock, so threads that arrive together share the first one's engine. A
// constructor that fails leaves the slot None for the next call to retry.
int create_engine(Function *f, State &st) noexcept {
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

// `threading.Lock()`.
object new_lock(State &st) noexcept {
    object threading = nrt::steal(PyImport_Import(st.threading));
    object allocate = threading ? nrt::getattr(threading.get(), st.Lock) : object();
    return allocate ? nrt::call(allocate.get()) : object();
}

// Runs in a child process after fork. A creation that another thread of the
// parent had under way never finishes here, so its lock would stay held for
// ever: the child starts with a fresh lock and builds its own engine when
// none was finished. A creation by the forking thread itself goes on.
PyObject *reset_engine_lock(PyObject *module, PyObject *) noexcept {
    State &st = nrt::state<State>(module);
    if (st.engine_busy && st.engine_owner == PyThread_get_thread_ident()) Py_RETURN_NONE;
    object lock = new_lock(st);
    if (!lock) return nullptr;
    Py_SETREF(st.engine_lock, lock.release());
    st.engine_busy = false;
    Py_RETURN_NONE;
}

PyMethodDef reset_engine_lock_def = {"_reset_engine_lock", reset_engine_lock, METH_NOARGS,
                                     nullptr};

// Has `os` renew the engine lock in every child process. The module's last
// step when it loads: the hook cannot be taken back, and would keep alive a
// module whose loading failed.
int renew_lock_in_children(PyObject *module, State &st) noexcept {
    object reset = nrt::steal(PyCFunction_New(&reset_engine_lock_def, module));
    object os = reset ? nrt::steal(PyImport_Import(st.mod_os)) : object();
    object register_at_fork = os ? nrt::getattr(os.get(), st.register_at_fork) : object();
    if (!register_at_fork) return -1;
    object kwnames = nrt::steal(PyTuple_Pack(1, st.after_in_child));
    if (!kwnames) return -1;
    return nrt::call_kw(register_at_fork.get(), 0, kwnames.get(), reset.get()) ? 0 : -1;
}

PyObject *get_vantor(Function *f, PyObject *const *) noexcept {
    State &st = nrt::state<State>(f);
    object current = nrt::global(f, st.local_brain);
    if (!current) return nullptr;
    if (current.get() == Py_None && create_engine(f, st) < 0) return nullptr;
    return nrt::global(f, st.local_brain).release();
}

const nrt::FunctionDef get_vantor_def = {
    .name = "_get_vantor",
    .return_annotation = "VantorEngine",
    .impl = get_vantor,
};

// ---------------------------------------------------------------------------
// PromptsiftStage.__init__

PyObject *stage_init(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    PyObject *self = args[0], *tools = args[1];
    if (PyObject_SetAttr(self, st.available_tools, tools) < 0) return nullptr;
    object matcher = nrt::call_global(f, st.CapabilityMatcher, tools);
    if (!matcher || PyObject_SetAttr(self, st.capability_matcher, matcher.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const nrt::Param stage_init_params[] = {
    {"self"},
    {"available_tools", "list[Callable]"},
    {"model_id", "str", "vantor-int8"},
};

const nrt::FunctionDef stage_init_def = {
    .name = "__init__",
    .qualname = "PromptsiftStage.__init__",
    .params = stage_init_params,
    .impl = stage_init,
};

// ---------------------------------------------------------------------------
// PromptsiftStage.process

// `raise <cls>(<message>)`, the class looked up by name before the message
// is made. A class is instantiated first, an exception instance raised as is.
template <class Message>
void raise_new(Function *f, PyObject *cls_name, Message &&message) noexcept {
    object cls = nrt::global(f, cls_name);
    object text = cls ? message() : object();
    object exc = text ? nrt::call(cls.get(), text.get()) : object();
    if (!exc) return;
    PyObject *obj = exc.get();
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

// Whether `method` is a function with the code `code` found on a logger's
// type, which is how logging's own Logger methods are recognised.
bool is_stock(const nrt::Method &method, PyObject *code) noexcept {
    PyObject *fn = method.target.get();
    return method.self && PyFunction_Check(fn) && PyFunction_GetCode(fn) == code;
}

// Whether logging's own Logger.debug, found as `debug`, would log a line:
// its logger is asked `isEnabledFor(DEBUG)` as that method asks it. 1 or 0,
// -1 with an error set. Any other `debug` is simply called (1), and so is
// logging's own when isEnabledFor or DEBUG is not logging's own, which then
// meet only the questions Logger.debug asks them itself.
int debug_wanted(State &st, const nrt::Method &debug) noexcept {
    if (!is_stock(debug, st.stock_debug_code)) return 1;
    nrt::Method is_enabled;
    if (nrt::find_method(debug.self.get(), st.isEnabledFor, is_enabled) < 0) return -1;
    if (!is_stock(is_enabled, st.stock_enabled_code)) return 1;
    PyObject *level;
    int r = PyDict_GetItemRef(PyFunction_GetGlobals(debug.target.get()), st.DEBUG, &level);
    if (r <= 0) return r < 0 ? -1 : 1;
    object answer = nrt::call(is_enabled, nrt::steal(level).get());
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// `logger.<level>(<line>)`, the method looked up before the line (an
// nrt::FString) is read. The debug line of every screened request is usually
// dropped, so its text is made only when logging's own Logger.debug would log
// it, and then Logger.debug is called with it.
template <class Line>
int log(Function *f, State &st, PyObject *level, Line &&line) noexcept {
    object logger = nrt::global(f, st.logger);
    nrt::Method method;
    if (!logger || nrt::find_method(logger.get(), level, method) < 0) return -1;
    auto values = line();
    int wanted = values ? debug_wanted(st, method) : -1;
    if (wanted <= 0) return wanted;
    object text = values.text();
    return text && nrt::call(method, text.get()) ? 0 : -1;
}

// `result[key]`, read when an f-string reaches it.
struct Item {
    PyObject *result, *key;
    object operator()() const noexcept { return nrt::getitem(result, key); }
};

// `[item]`.
object list_of(const object &item) noexcept {
    object list = item ? nrt::steal(PyList_New(1)) : object();
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item.get()));
    return list;
}

// The truth of `result[key]`: 1, 0, or -1 with an error set.
int truth_of(PyObject *result, PyObject *key) noexcept {
    object value = nrt::getitem(result, key);
    return value ? PyObject_IsTrue(value.get()) : -1;
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
            if ((i + 1) % (1 << 20) == 0 && PyErr_CheckSignals() < 0) return -1;
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
        if (t != 0 || PyErr_CheckSignals() < 0) return t != 0 ? t : -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The stripped prompt of `context.request.prompt`; PromptValidationError
// when it is too short or has no letter or digit.
object read_prompt(Function *f, State &st, PyObject *context) noexcept {
    object request = nrt::getattr(context, st.request);
    object prompt = request ? nrt::getattr(request.get(), st.prompt) : object();
    int given = prompt ? PyObject_IsTrue(prompt.get()) : -1;
    if (given < 0) return {};
    object clean = given ? nrt::call_method(prompt.get(), st.strip) : nrt::borrow(st.rt.empty_str);
    int meaningful = clean ? has_meaningful_content(st, clean.get()) : -1;
    if (meaningful > 0) return clean;
    if (meaningful == 0) {
        raise_new(f, st.PromptValidationError, [&] { return nrt::borrow(st.t_non_semantic); });
    }
    return {};
}

// What the engine and the matcher say of one prompt.
struct Verdict {
    object result;  // the engine's result mapping
    object tools;   // the matcher's tool subset
    object tier;    // and its binding tier
};

int consult_engine_and_matcher(Function *f, State &st, PyObject *self, PyObject *prompt,
                               Verdict &v) noexcept {
    object engine = nrt::call_global(f, st.get_vantor);
    if (!engine || !(v.result = nrt::call_method(engine.get(), st.predict, prompt))) return -1;
    object matcher = nrt::getattr(self, st.capability_matcher);
    nrt::Method select;
    if (!matcher || nrt::find_method(matcher.get(), st.select_for_prompt, select) < 0) return -1;
    object intent = nrt::mapping_get(f, v.result.get(), st.intent);
    object scope = intent ? nrt::mapping_get(f, v.result.get(), st.tool_scope) : object();
    if (!scope) return -1;
    object selected =
        nrt::call_kw(select, 1, st.select_kwnames, prompt, intent.get(), scope.get());
    return selected ? nrt::unpack(selected.get(), v.tools, v.tier) : -1;
}

// Creates the request's IFC context under "ifc" in `context.state` when
// absent (importing its class then), and tags the prompt as untrusted on it.
int tag_untrusted(Function *f, State &st, PyObject *context) noexcept {
    object ifc_state = nrt::getattr(context, st.state);
    int present = ifc_state ? PySequence_Contains(ifc_state.get(), st.ifc) : -1;
    if (present < 0) return -1;
    if (!present) {
        object cls = nrt::run_import(f, st.import_ifc_context, st.IFCContext);
        object fresh = cls ? nrt::call(cls.get()) : object();
        object target = fresh ? nrt::getattr(context, st.state) : object();
        if (!target || PyObject_SetItem(target.get(), st.ifc, fresh.get()) < 0) return -1;
    }
    object holder = nrt::getattr(context, st.state);
    object ifc = holder ? nrt::getitem(holder.get(), st.ifc) : object();
    object tag = ifc ? nrt::getattr(ifc.get(), st.tag) : object();
    object levels = tag ? nrt::global(f, st.TaintLevel) : object();
    object untrusted = levels ? nrt::getattr(levels.get(), st.UNTRUSTED) : object();
    return untrusted && nrt::call(tag.get(), st.user_prompt, untrusted.get()) ? 0 : -1;
}

constexpr char kReasonText[] = "Vantor Security Engine: {} (Confidence: {})";

// The validation result dict, entry by entry.
object validation_result(State &st, PyObject *r, bool approved, PyObject *tier) noexcept {
    object vr = nrt::steal(PyDict_Copy(st.verdict_keys));  // its keys in order, sized once
    auto put = [&](PyObject *key, const object &value) {
        return value && PyDict_SetItem(vr.get(), key, value.get()) == 0;
    };
    auto risk_flags = [&]() -> object {
        int safe = truth_of(r, st.is_safe);
        if (safe < 0) return {};
        if (safe || approved) return nrt::steal(PyList_New(0));
        return list_of(nrt::getitem(r, st.injection_type));
    };
    bool ok = vr &&
              put(st.is_safe, approved ? nrt::borrow(Py_True) : nrt::getitem(r, st.is_safe)) &&
              put(st.reason, approved ? nrt::borrow(st.t_authorized)
                                      : nrt::fstring(st.reason_text, Item{r, st.injection_type},
                                                     Item{r, st.confidence})) &&
              put(st.risk_flags, risk_flags()) &&
              put(st.confidence, nrt::getitem(r, st.confidence)) &&
              put(st.latency_ms, nrt::getitem(r, st.latency_ms)) &&
              put(st.binding_tier, nrt::borrow(tier));
    return ok ? vr : object();
}

// `[result["intent"].lower()]`.
object capabilities(State &st, PyObject *r) noexcept {
    object intent = nrt::getitem(r, st.intent);
    return list_of(intent ? nrt::call_method(intent.get(), st.lower) : object());
}

// 0.1 for a safe verdict, else 1.0 minus the confidence.
object risk_score(State &st, PyObject *r) noexcept {
    int safe = truth_of(r, st.is_safe);
    if (safe < 0) return {};
    if (safe) return nrt::borrow(st.safe_risk_score);
    object confidence = nrt::getitem(r, st.confidence);
    return confidence ? nrt::steal(PyNumber_Subtract(st.one, confidence.get())) : object();
}

// The execution recommendation (a borrowed constant), or null.
PyObject *recommendation(State &st, PyObject *r, bool approved) noexcept {
    if (approved) return st.t_execute_normally;
    int safe = truth_of(r, st.is_safe);
    if (safe <= 0) return safe < 0 ? nullptr : st.t_block;
    // `r["risk_level"] == "HIGH" or r["risk_level"] == "CRITICAL"`: one read per test.
    for (PyObject *word : {st.t_high, st.t_critical}) {
        object level = nrt::getitem(r, st.risk_level);
        int eq = level ? nrt::equal(level.get(), word) : -1;
        if (eq < 0) return nullptr;
        if (eq) return st.t_require_approval;
    }
    return st.t_execute_normally;
}

// Reads approval from `context.metadata`, then assigns the verdict's
// thirteen attributes on `context.layer1`, each value computed before
// `context.layer1` is read for its assignment. Returns whether the request
// was approved, or -1 on error.
int write_verdict(Function *f, State &st, PyObject *context, const Verdict &v) noexcept {
    PyObject *r = v.result.get();
    object metadata = nrt::getattr(context, st.metadata);
    object flag =
        metadata ? nrt::mapping_get(f, metadata.get(), st.is_approved, Py_False) : object();
    int approved = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (approved < 0) return -1;
    auto set = [&](PyObject *name, const object &value) {
        object layer1 = value ? nrt::getattr(context, st.layer1) : object();
        return layer1 && nrt::setattr(layer1.get(), name, value.get()) == 0;
    };
    bool ok = set(st.is_approved, nrt::borrow(approved ? Py_True : Py_False)) &&
              set(st.validation_result, validation_result(st, r, approved, v.tier.get())) &&
              set(st.intent, nrt::getitem(r, st.intent)) &&
              set(st.task_category, nrt::borrow(st.t_action_execution)) &&
              set(st.capabilities, capabilities(st, r)) &&
              set(st.confidence_score, nrt::getitem(r, st.confidence)) &&
              set(st.allowed_tools, v.tools) &&
              set(st.risk_level, nrt::getitem(r, st.risk_level)) &&
              set(st.risk_score, risk_score(st, r)) &&
              set(st.vantor_result, v.result) &&
              set(st.tool_scope, nrt::mapping_get(f, r, st.tool_scope)) &&
              set(st.content_class, nrt::mapping_get(f, r, st.content_class)) &&
              set(st.execution_recommendation, nrt::borrow(recommendation(st, r, approved)));
    return ok ? approved : -1;
}

constexpr char kBlockWarning[] =
    "Nerov Vantor Blocked Adversarial Request! Category: {} | Risk: {} | Latency: {}ms";
constexpr char kBlockMessage[] = "Adversarial prompt detected ({}). Request blocked by Nerov Vantor.";
constexpr char kAnalysisLine[] =
    "Layer 1 Vantor Analysis: Safe=True, Intent={}, Risk={}, Scope={}, BindingTier={}, "
    "Allowed Tools={}, Latency={}ms";

// Blocks an unsafe request that was not approved (a warning, then
// PromptValidationError), or reports the analysis at DEBUG.
PyObject *decide_and_report(Function *f, State &st, const Verdict &v, bool approved) noexcept {
    PyObject *r = v.result.get();
    int safe = truth_of(r, st.is_safe);
    if (safe < 0) return nullptr;
    if (!safe && !approved) {
        if (log(f, st, st.warning, [&] {
                return nrt::FString(st.block_warning, Item{r, st.injection_type},
                                    Item{r, st.risk_level}, Item{r, st.latency_ms});
            }) == 0) {
            raise_new(f, st.PromptValidationError, [&] {
                return nrt::fstring(st.block_message, Item{r, st.injection_type});
            });
        }
        return nullptr;
    }
    auto scope = [&] { return nrt::mapping_get(f, r, st.tool_scope); };
    if (log(f, st, st.debug, [&] {
            return nrt::FString(st.analysis_line, Item{r, st.intent}, Item{r, st.risk_level}, scope,
                                v.tier, v.tools, Item{r, st.latency_ms});
        }) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The analysis itself. Returns None, or null with the exception that the
// handler is to see.
PyObject *analyse(Function *f, State &st, PyObject *self, PyObject *context) noexcept {
    object prompt = read_prompt(f, st, context);
    if (!prompt) return nullptr;
    Verdict v;
    if (consult_engine_and_matcher(f, st, self, prompt.get(), v) < 0) return nullptr;
    if (tag_untrusted(f, st, context) < 0) return nullptr;
    int approved = write_verdict(f, st, context, v);
    if (approved < 0) return nullptr;
    return decide_and_report(f, st, v, approved);
}

// Whether `except <cls_name>:` catches `exc`: 1 or 0, -1 with an error set.
int exception_matches(Function *f, PyObject *exc, PyObject *cls_name) noexcept {
    object cls_ref = nrt::global(f, cls_name);
    if (!cls_ref) return -1;
    PyObject *cls = cls_ref.get();
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

constexpr char kFailureLog[] = "Error during Vantor Request Analysis: {}";
constexpr char kFailureMessage[] = "Failed to analyze request: {}";

// The handler around the analysis, entered with `caught` as the handled
// exception. A refusal passes on unchanged, as does anything that is not an
// Exception; any other failure is logged and replaced by a new
// Layer1ProcessingError. Always leaves with an exception set.
void handle_failure(Function *f, State &st, PyObject *caught) noexcept {
    // except PromptValidationError: raise
    int m = exception_matches(f, caught, st.PromptValidationError);
    if (m != 0) {
        if (m > 0) PyErr_SetRaisedException(Py_NewRef(caught));
        return;
    }
    // except Exception as e:
    m = exception_matches(f, caught, st.Exception);
    if (m <= 0) {
        if (m == 0) PyErr_SetRaisedException(Py_NewRef(caught));
        return;
    }
    if (log(f, st, st.error, [&] { return nrt::FString(st.failure_log, caught); }) < 0) return;
    raise_new(f, st.Layer1ProcessingError, [&] { return nrt::fstring(st.failure_message, caught); });
}

PyObject *process(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    PyObject *done = analyse(f, st, args[0], args[1]);
    if (done != nullptr) return done;
    // While the handler runs, the caught exception is the handled one, so that
    // what it raises chains to it, as in an `except` block; then the handled
    // exception slot that this call shares with its caller gets back what it
    // held: the nearest handled exception if emptying the slot changes the
    // nearest one, else nothing (not an outer level's exception, which would
    // stay in the slot of an awaiting coroutine that handles nothing itself).
    // test_handler.py compares both cases with an `except` block in Python.
    object nearest = nrt::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(nullptr);
    object further = nrt::steal(PyErr_GetHandledException());
    object previous = nearest.get() != further.get() ? nearest : object();
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

const nrt::Param process_params[] = {{"self"}, {"context", "ExecutionContext"}};

const nrt::FunctionDef process_def = {
    .name = "process",
    .qualname = "PromptsiftStage.process",
    .params = process_params,
    .return_annotation = "None",
    .impl = process,
    .is_coroutine = true,
};

// ---------------------------------------------------------------------------
// Module

constexpr const char kStageDoc[] =
    "\n    Ultra-Fast Layer 1 Security Analyzer powered by local ONNX INT8 Vantor (~5ms CPU).\n"
    "    Runs 100% offline with zero cloud API keys.\n    ";

// class RequestAnalysisResult(BaseModel) with its twelve `name: "type" =
// Field(...)` declarations. pydantic keeps the namespace of the frame that
// defines a model, for later rebuilds, except at module level; its public
// create_model keeps none, as for a class statement in this module.
int make_analysis_result(State &st, PyObject *ns, PyObject *pydantic, PyObject *module_name) noexcept {
    PyObject *base = PyDict_GetItemWithError(ns, st.BaseModel);  // borrowed
    PyObject *field = base ? PyDict_GetItemWithError(ns, st.Field) : nullptr;
    if (field == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "pydantic names are missing");
        return -1;
    }
    object base_ref = nrt::borrow(base), field_ref = nrt::borrow(field);
    object create_model = nrt::getattr(pydantic, st.create_model);
    object only_description = nrt::steal(PyTuple_Pack(1, st.description));
    object with_default = nrt::steal(PyTuple_Pack(2, st.kw_default, st.description));
    object with_factory = nrt::steal(PyTuple_Pack(2, st.default_factory, st.description));
    if (!create_model || !only_description || !with_default || !with_factory) return -1;
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
    constexpr std::size_t kFields = std::size(fields);
    // create_model("RequestAnalysisResult", __base__=BaseModel, __module__=__name__,
    //              <field>=("<type>", Field(...)), ...)
    object kwnames = nrt::steal(PyTuple_New(2 + kFields));
    if (!kwnames) return -1;
    PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(st.kw_base));
    PyTuple_SET_ITEM(kwnames.get(), 1, Py_NewRef(st.dunder_module));
    object definitions[kFields];
    PyObject *args[3 + kFields] = {st.RequestAnalysisResult, base, module_name};
    for (std::size_t i = 0; i < kFields; i++) {
        const FieldDecl &d = fields[i];
        object text = nrt::steal(PyUnicode_FromString(d.description));
        if (!text) return -1;
        object value = d.dflt ? nrt::call_kw(field, 0, d.kwnames, d.dflt, text.get())
                              : nrt::call_kw(field, 0, d.kwnames, text.get());
        if (!value || !(definitions[i] = nrt::steal(PyTuple_Pack(2, d.annotation, value.get())))) {
            return -1;
        }
        PyTuple_SET_ITEM(kwnames.get(), 2 + i, Py_NewRef(d.name));
        args[3 + i] = definitions[i].get();
    }
    object cls = nrt::steal(PyObject_Vectorcall(create_model.get(), args, 1, kwnames.get()));
    object no_attributes = cls ? nrt::steal(PyTuple_New(0)) : object();
    if (!no_attributes ||
        PyObject_SetAttr(cls.get(), st.dunder_static_attributes, no_attributes.get()) < 0) {
        return -1;
    }
    return PyDict_SetItem(ns, st.RequestAnalysisResult, cls.get());
}

// class PromptsiftStage(Layer1Stage): its docstring, __init__ and process:
// `metaclass.__prepare__(name, bases)` filled as the class body fills it,
// then `metaclass(name, bases, body)`.
int make_stage_class(PyObject *module, State &st, PyObject *ns, PyObject *module_name) noexcept {
    PyObject *base = PyDict_GetItemWithError(ns, st.Layer1Stage);  // borrowed
    if (base == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Layer1Stage is missing");
        return -1;
    }
    object base_ref = nrt::borrow(base);
    object meta = nrt::borrow(reinterpret_cast<PyObject *>(Py_TYPE(base)));
    object bases = nrt::steal(PyTuple_Pack(1, base));
    object prepare = bases ? nrt::getattr(meta.get(), st.dunder_prepare) : object();
    object body = prepare ? nrt::call(prepare.get(), st.PromptsiftStage, bases.get()) : object();
    if (!body || PyObject_SetItem(body.get(), st.dunder_module, module_name) < 0 ||
        PyObject_SetItem(body.get(), st.dunder_qualname, st.PromptsiftStage) < 0) {
        return -1;
    }
    object doc = nrt::steal(PyUnicode_FromString(kStageDoc));
    if (!doc || PyObject_SetItem(body.get(), st.dunder_doc, doc.get()) < 0) return -1;
    for (const nrt::FunctionDef *def : {&stage_init_def, &process_def}) {
        object fn = nrt::steal(nrt::make_function(module, *def));
        if (!fn) return -1;
        object fn_name = nrt::getattr(fn.get(), st.dunder_name);
        if (!fn_name || PyObject_SetItem(body.get(), fn_name.get(), fn.get()) < 0) return -1;
    }
    object attributes = nrt::steal(PyTuple_Pack(2, st.available_tools, st.capability_matcher));
    if (!attributes ||
        PyObject_SetItem(body.get(), st.dunder_static_attributes, attributes.get()) < 0) {
        return -1;
    }
    object cls = nrt::call(meta.get(), st.PromptsiftStage, bases.get(), body.get());
    return cls ? PyDict_SetItem(ns, st.PromptsiftStage, cls.get()) : -1;
}

int init_state(State &st) noexcept {
    if (st.intern_strings() < 0) return -1;
    if ((st.zero = PyFloat_FromDouble(0.0)) == nullptr) return -1;
    if ((st.one = PyFloat_FromDouble(1.0)) == nullptr) return -1;
    if ((st.safe_risk_score = PyFloat_FromDouble(0.1)) == nullptr) return -1;
    st.select_kwnames = PyTuple_Pack(2, st.predicted_intent, st.predicted_scope);
    if (st.select_kwnames == nullptr) return -1;
    st.import_ifc_context = nrt::import_statement("from ....governance.ifc import IFCContext").release();
    if (st.import_ifc_context == nullptr) return -1;
    st.verdict_keys = PyDict_New();
    for (PyObject *key : {st.is_safe, st.reason, st.risk_flags, st.confidence, st.latency_ms,
                          st.binding_tier}) {
        if (st.verdict_keys == nullptr || PyDict_SetItem(st.verdict_keys, key, Py_None) < 0) return -1;
    }
    const std::pair<PyObject **, const char *> messages[] = {
        {&st.reason_text, kReasonText},     {&st.block_warning, kBlockWarning},
        {&st.block_message, kBlockMessage}, {&st.analysis_line, kAnalysisLine},
        {&st.failure_log, kFailureLog},     {&st.failure_message, kFailureMessage}};
    for (auto [slot, sentence] : messages) {
        if ((*slot = nrt::message(sentence).release()) == nullptr) return -1;
    }
    return 0;
}

// The code of `logging.Logger.<name>` while it is still logging's own: a
// function of that module whose code is named `qualname`. Null otherwise,
// and with an error set when the lookup failed.
PyObject *stock_code(PyObject *logging, PyObject *logger_cls, PyObject *name,
                     const char *qualname) noexcept {
    object method = nrt::getattr(logger_cls, name);
    if (!method) return nullptr;
    PyObject *fn = method.get();
    if (!PyFunction_Check(fn) || PyFunction_GetGlobals(fn) != PyModule_GetDict(logging)) return nullptr;
    PyObject *code = PyFunction_GetCode(fn);
    object code_name = nrt::steal(PyObject_GetAttrString(code, "co_qualname"));
    if (!code_name) return nullptr;
    bool own = PyUnicode_Check(code_name.get()) && PyUnicode_EqualToUTF8(code_name.get(), qualname);
    return own ? Py_NewRef(code) : nullptr;
}

// Keeps the code of logging's own Logger.debug and Logger.isEnabledFor.
int find_stock_logging(State &st, PyObject *logging) noexcept {
    object cls = nrt::getattr(logging, st.Logger);
    if (!cls) return -1;
    st.stock_debug_code = stock_code(logging, cls.get(), st.debug, "Logger.debug");
    if (!st.stock_debug_code && PyErr_Occurred()) return -1;
    st.stock_enabled_code = stock_code(logging, cls.get(), st.isEnabledFor, "Logger.isEnabledFor");
    return !st.stock_enabled_code && PyErr_Occurred() ? -1 : 0;
}

int exec_module(PyObject *module) noexcept {
    State &st = nrt::state<State>(module);
    if (nrt::runtime_init(module) < 0 || init_state(st) < 0) return -1;
    PyObject *ns = PyModule_GetDict(module);  // borrowed

    for (const char *statement :
         {"import logging", "from typing import Callable", "from pydantic import BaseModel, Field",
          "from ....context import ExecutionContext", "from ..base import Layer1Stage",
          "from ..exceptions import Layer1ProcessingError, PromptValidationError",
          "from ....brain.engine import VantorEngine",
          "from ....brain.capability_matcher import CapabilityMatcher",
          "from ....governance.ifc import TaintLevel"}) {
        if (nrt::run_import(ns, statement) < 0) return -1;
    }
    object logging = nrt::steal(PyImport_Import(st.logging));
    object pydantic = logging ? nrt::steal(PyImport_Import(st.pydantic)) : object();
    if (!pydantic) return -1;

    PyObject *name;
    int found = PyDict_GetItemRef(ns, st.dunder_name, &name);
    if (found == 0) nrt::raise_name_error(st.dunder_name);
    object module_name_ref = nrt::steal(name);
    PyObject *module_name = name;
    if (found <= 0) return -1;
    if (find_stock_logging(st, logging.get()) < 0) return -1;
    object get_logger = nrt::getattr(logging.get(), st.getLogger);
    object log = get_logger ? nrt::call(get_logger.get(), module_name) : object();
    if (!log || PyDict_SetItem(ns, st.logger, log.get()) < 0) return -1;
    if (PyDict_SetItem(ns, st.local_brain, Py_None) < 0) return -1;
    if ((st.engine_lock = new_lock(st).release()) == nullptr) return -1;
    if (nrt::add_function(module, get_vantor_def) < 0) return -1;
    if (make_analysis_result(st, ns, pydantic.get(), module_name) < 0) return -1;
    if (make_stage_class(module, st, ns, module_name) < 0) return -1;
    return renew_lock_in_children(module, st);
}

nrt::ModuleDefinition module_definition = {
    .short_name = "promptsift",
    .state_size = sizeof(State),
    .object_slots = kStateSlots,
    .exec = exec_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_promptsift(void) { return nrt::init_module(module_definition); }
