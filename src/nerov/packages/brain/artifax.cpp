// artifax.cpp: finds the classifier's on-disk model artifacts, checks them
// against their manifest, writes manifests and prints the resolution status.
//
// Every operation reaches the module-level names it uses (`os`, `json`,
// `hashlib`, `Path`, `logger`, the caches, the other operations, builtins
// such as `open`) through the module namespace at the moment of the call, so
// rebinding one of them from outside takes effect on the next call.
#include "nrt.hpp"

#include <cerrno>
#include <cstring>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using nrt::Function;
using nrt::object;

// Identifiers: module and module-level names, builtins and attribute names.
#define ARTIFAX_NAMES(X)                                                                     \
    X(hashlib) X(json) X(logging) X(os) X(sys) X(pathlib) X(typing) X(io) X(Path) X(List)    \
    X(Optional) X(Sequence) X(logger) X(MODELS_VERSION) X(_CORE_MARKER) X(_POLICY_NLI_MARKER) \
    X(_UNSET) X(_resolved_core_root) X(_resolved_policy_nli) X(_verified_roots)              \
    X(_iter_core_roots) X(_iter_all_roots) X(_find_package_dir) X(_has_file)                 \
    X(_verify_if_present) X(_sha256) X(generate_manifest) X(resolve_core_models_root)        \
    X(resolve_artifact) X(open) X(print) X(str) X(list) X(hasattr) X(sorted) X(__file__)     \
    X(__name__) X(__fspath__) X(path) X(join) X(exists) X(isfile) X(isdir) X(abspath)        \
    X(dirname) X(environ) X(get) X(getenv) X(getLogger) X(debug) X(warning) X(resources)     \
    X(files) X(is_dir) X(rglob) X(is_file) X(relative_to) X(as_posix) X(stat) X(st_size)     \
    X(sha256) X(update) X(read) X(readinto1) X(BufferedReader) X(PosixPath) X(close) X(hexdigest) X(load) \
    X(dump) X(replace) X(remove) X(urandom) X(hex) X(add) X(append) X(items) X(encoding)     \
    X(indent) X(sort_keys)

// Other texts, bound to a member name.
#define ARTIFAX_TEXTS(X)                                                                      \
    X(t_importlib_resources, "importlib.resources")                                          \
    X(t_version_env, "NEROV_MODELS_VERSION") X(t_version_default, "1.0.1")                    \
    X(t_models_dir_env, "NEROV_MODELS_DIR") X(t_skip_check_env, "NEROV_SKIP_MODEL_CHECK")     \
    X(t_one, "1") X(t_models, "models")                                                       \
    X(t_core_package, "nerov_brain_models") X(t_nli_package, "nerov_policy_nli")              \
    X(t_core_marker, "vantor_int8.onnx") X(t_nli_marker, "policy_nli_int8.onnx")              \
    X(t_tokenizer, "judge_nli_tokenizer_v2")                                                  \
    X(t_manifest, "manifest.json") X(t_version, "version") X(t_size, "size")                  \
    X(t_rb, "rb") X(t_r, "r") X(t_x, "x") X(t_utf8, "utf-8") X(t_star, "*")                   \
    X(t_log_found, "artifax: core models found at %s")                                        \
    X(t_log_not_found,                                                                        \
      "artifax: core ONNX models not found. Install nerov-brain-models or set "               \
      "$NEROV_MODELS_DIR.")                                                                   \
    X(t_log_corrupt, "artifax: corrupt manifest.json at %s")                                  \
    X(t_log_mismatch,                                                                         \
      "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model "  \
      "package.")                                                                             \
    X(t_banner, "=== Nerov Artifax ===\n")                                                    \
    X(t_core_line, "  Core models  : ")                                                       \
    X(t_core_missing, "  Core models  : NOT FOUND")                                           \
    X(t_install_hint, "    Install:  pip install nerov-brain-models")                         \
    X(t_two_blanks, "  ") X(t_name_width, "30s") X(t_colon, ": ") X(t_not_found, "NOT FOUND")  \
    X(t_override_hint, "\nSet NEROV_MODELS_DIR to override resolution.")

// Module state: the runtime's part, then strong references only, so that the
// whole struct is traversed and cleared as one array.
struct State {
    nrt::RuntimeState rt;
#define X(n) PyObject *n;
    ARTIFAX_NAMES(X)
#undef X
#define X(n, text) PyObject *n;
    ARTIFAX_TEXTS(X)
#undef X
    PyObject *kw_encoding;   // ("encoding",)
    PyObject *kw_json_dump;  // ("indent", "sort_keys")
    // The path functions as `os.path` held them at import, and what their
    // probes rely on (null when they are not the plain-Python ones).
#define ARTIFAX_PATH_FUNCTIONS(X) X(join) X(dirname) X(exists) X(isfile) X(isdir)
#define X(n) PyObject *std_##n;
    ARTIFAX_PATH_FUNCTIONS(X)
#undef X
    PyObject *std_stat;             // os.stat
    PyObject *std_probe_globals;    // the namespace the probes find `os` in
    PyObject *std_buffered_reader;  // io.BufferedReader, what open(path, "rb") gives
    PyObject *std_sha256_type;      // the type of hashlib.sha256() objects
    PyObject *std_posix_path;       // pathlib.PosixPath, what Path(...).rglob() yields here
    PyObject *std_path_is_file;     // its is_file, stat and __fspath__
    PyObject *std_path_stat;
    PyObject *std_path_fspath;
    PyObject *std_pathlib_globals;  // the namespace its stat finds `os` in
    PyObject *n_hash_block;         // 1048576
};
constexpr std::size_t kStateSlots = sizeof(State) / sizeof(PyObject *);
static_assert(sizeof(State) % sizeof(PyObject *) == 0, "State holds object pointers only");

State &state(Function *f) noexcept { return nrt::state_of<State>(f); }
State &state(PyObject *module) noexcept { return *static_cast<State *>(PyModule_GetState(module)); }

constexpr Py_ssize_t kHashBlock = 1 << 20;   // files are hashed in blocks of at most 1 MiB
constexpr Py_ssize_t kFirstBlock = 1 << 16;  // the first read of a file
constexpr Py_ssize_t kCopyLimit = 1 << 12;   // short blocks up to this size are copied
constexpr int kTempAttempts = 16;           // fresh names tried for the temporary manifest

// ---------------------------------------------------------------------------
// Helpers

// `os.path.<name>`, through the module's `os` as bound now.
object os_path_attr(Function *f, State &st, PyObject *name) noexcept {
    object os = nrt::global(f, st.os);
    if (!os) return {};
    object path = nrt::getattr(os.get(), st.path);
    if (!path) return {};
    return nrt::getattr(path.get(), name);
}

// ---------------------------------------------------------------------------
// Path operations
//
// `os.path.join`, `dirname`, `exists`, `isfile` and `isdir` are always looked
// up at call time. While the function found is still the standard one and its
// arguments are plain `str`, the same result is computed here directly; any
// other function or argument type is simply called.

// os.path.join(a, b) of two str: b when it is absolute or a is empty, else a
// and b with one "/" between them unless a already ends in one.
object join_str(PyObject *a, PyObject *b) noexcept {
    Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    if (na == 0 || (nb > 0 && PyUnicode_READ_CHAR(b, 0) == '/')) return nrt::borrow(b);
    Py_ssize_t sep = PyUnicode_READ_CHAR(a, na - 1) == '/' ? 0 : 1;
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(a);
    if (PyUnicode_MAX_CHAR_VALUE(b) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(b);
    object out = nrt::steal(PyUnicode_New(na + sep + nb, maxchar));
    if (!out) return {};
    if (PyUnicode_CopyCharacters(out.get(), 0, a, 0, na) < 0) return {};
    if (sep) PyUnicode_WRITE(PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get()), na, '/');
    if (PyUnicode_CopyCharacters(out.get(), na + sep, b, 0, nb) < 0) return {};
    return out;
}

object path_join(State &st, PyObject *join, PyObject *a, PyObject *b) noexcept {
    if (join == st.std_join && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return join_str(a, b);
    }
    return nrt::call(join, a, b);
}

// os.path.dirname(p) of a str: up to the last "/", trailing slashes removed
// unless the head is nothing but slashes.
object path_dirname(State &st, PyObject *dirname, PyObject *p) noexcept {
    if (dirname != st.std_dirname || !PyUnicode_CheckExact(p)) return nrt::call(dirname, p);
    Py_ssize_t last = PyUnicode_FindChar(p, '/', 0, PyUnicode_GET_LENGTH(p), -1);
    if (last == -2) return {};
    Py_ssize_t end = last + 1;
    Py_ssize_t keep = end;
    while (keep > 0 && PyUnicode_READ_CHAR(p, keep - 1) == '/') keep--;
    return nrt::steal(PyUnicode_Substring(p, 0, keep > 0 ? keep : end));
}

enum class Probe { exists, isfile, isdir };

// The answer of the standard probe for a str path without calling it:
// 1 or 0, -1 with an error set, or -2 when the probe has to be called.
int probe_directly(State &st, PyObject *path, Probe kind) noexcept {
#ifdef _WIN32
    (void)st; (void)path; (void)kind;
    return -2;
#else
    if (st.std_probe_globals == nullptr || !PyUnicode_CheckExact(path)) return -2;
    // The standard probes call `os.stat`; it has to be the standard one too.
    PyObject *os;
    int r = PyDict_GetItemRef(st.std_probe_globals, st.os, &os);
    if (r <= 0) return r < 0 ? -1 : -2;
    object os_ref = nrt::steal(os);
    object stat_fn = nrt::steal(PyObject_GetAttr(os, st.stat));
    if (!stat_fn) {
        PyErr_Clear();
        return -2;
    }
    if (stat_fn.get() != st.std_stat) return -2;
    // os.stat raises ValueError (caught by the probe) for text the file
    // system encoding cannot take and for an embedded null character.
    object encoded = nrt::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    const char *bytes = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(bytes) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))) return 0;
    struct stat sb;
    int failed;
    Py_BEGIN_ALLOW_THREADS
    failed = ::stat(bytes, &sb);
    Py_END_ALLOW_THREADS
    if (failed != 0) return 0;
    switch (kind) {
    case Probe::isfile: return S_ISREG(sb.st_mode) ? 1 : 0;
    case Probe::isdir: return S_ISDIR(sb.st_mode) ? 1 : 0;
    case Probe::exists: break;
    }
    return 1;
#endif
}

// The result of `fn(path)` where `fn` is the `os.path` probe found for `kind`.
object path_probe(State &st, PyObject *fn, PyObject *path, Probe kind) noexcept {
    PyObject *standard = kind == Probe::exists ? st.std_exists
                         : kind == Probe::isfile ? st.std_isfile : st.std_isdir;
    if (fn == standard) {
        int r = probe_directly(st, path, kind);
        if (r == -1) return {};
        if (r >= 0) return nrt::borrow(r ? Py_True : Py_False);
    }
    return nrt::call(fn, path);
}

// The truth value of a call's result: 1, 0, or -1 when the call or the test failed.
int truth(const object &o) noexcept { return o ? PyObject_IsTrue(o.get()) : -1; }

// The first `os.path.join(base, name)`, over the bases in `bases`, for which
// the `os.path` probe `probe_name` is true, or None. `join` and the probe are
// looked up when the first base is tested, as the loop written in Python does.
PyObject *first_joined_where(Function *f, State &st, PyObject *bases, PyObject *name,
                             PyObject *probe_name, Probe kind) noexcept {
    object it = nrt::steal(PyObject_GetIter(bases));
    if (!it) return nullptr;
    object join, probe;
    for (;;) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        object base = nrt::steal(PyIter_Next(it.get()));
        if (!base) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        if (!join && !(join = os_path_attr(f, st, st.join))) return nullptr;
        object candidate = path_join(st, join.get(), base.get(), name);
        if (!candidate) return nullptr;
        if (!probe && !(probe = os_path_attr(f, st, probe_name))) return nullptr;
        int found = truth(path_probe(st, probe.get(), candidate.get(), kind));
        if (found < 0) return nullptr;
        if (found) return candidate.release();
    }
    Py_RETURN_NONE;
}

// `a == b` (or another comparison) as an `if` statement tests it.
int compare(PyObject *a, PyObject *b, int op) noexcept {
    return truth(nrt::steal(PyObject_RichCompare(a, b, op)));
}

// `logger.<level>(fmt, *args)`: the logging framework formats lazily.
template <class... A>
int log(Function *f, State &st, PyObject *level, A... args) noexcept {
    object logger = nrt::global(f, st.logger);
    if (!logger) return -1;
    return nrt::call_method(logger.get(), level, args...) ? 0 : -1;
}

// `seq.append(item)`, straight into a list.
int append(State &st, PyObject *seq, PyObject *item) noexcept {
    if (PyList_CheckExact(seq)) return PyList_Append(seq, item);
    return nrt::call_method(seq, st.append, item) ? 0 : -1;
}

// Calls `file.close()` while an error is pending, as a `finally:` clause does:
// an error from close() replaces the pending one, which becomes its context.
void close_while_failing(State &st, PyObject *file) noexcept {
    PyObject *pending = PyErr_GetRaisedException();
    if (nrt::call_method(file, st.close)) {
        PyErr_SetRaisedException(pending);
        return;
    }
    PyObject *raised = PyErr_GetRaisedException();
    if (raised != pending) {
        PyException_SetContext(raised, pending);
    } else {
        Py_XDECREF(pending);
    }
    PyErr_SetRaisedException(raised);
}

// True, with the error cleared, when the pending error says that a file
// found a moment ago is gone: removed or renamed since.
bool vanished() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return false;
    PyErr_Clear();
    return true;
}

// `first, second = seq`, with the interpreter's errors: an object that
// cannot be iterated at all is "non-iterable"; an error from its own
// `__iter__` passes through unchanged.
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

// ---------------------------------------------------------------------------
// resolve_core_models_root

// The search behind an empty cache: the first candidate root that holds the
// core marker is cached, verified once and returned.
[[gnu::noinline]] PyObject *search_core_root(Function *f, State &st) noexcept {
    object iter_core_roots = nrt::global(f, st._iter_core_roots);
    if (!iter_core_roots) return nullptr;
    object roots = nrt::call(iter_core_roots.get());
    if (!roots) return nullptr;
    object it = nrt::steal(PyObject_GetIter(roots.get()));
    if (!it) return nullptr;
    for (;;) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        object root = nrt::steal(PyIter_Next(it.get()));
        if (!root) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        object has_file = nrt::global(f, st._has_file);
        if (!has_file) return nullptr;
        object marker = nrt::global(f, st._CORE_MARKER);
        if (!marker) return nullptr;
        int found = truth(nrt::call(has_file.get(), root.get(), marker.get()));
        if (found < 0) return nullptr;
        if (!found) continue;
        if (PyDict_SetItem(f->globals, st._resolved_core_root, root.get()) < 0) return nullptr;
        object verify = nrt::global(f, st._verify_if_present);
        if (!verify || !nrt::call(verify.get(), root.get())) return nullptr;
        if (log(f, st, st.debug, st.t_log_found, root.get()) < 0) return nullptr;
        return root.release();
    }
    if (PyDict_SetItem(f->globals, st._resolved_core_root, Py_None) < 0) return nullptr;
    if (log(f, st, st.warning, st.t_log_not_found) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *resolve_core_models_root(Function *f, PyObject *const *) {
    State &st = state(f);
    object cached = nrt::global(f, st._resolved_core_root);
    if (!cached) return nullptr;
    object unset = nrt::global(f, st._UNSET);
    if (!unset) return nullptr;
    if (cached.get() != unset.get()) return cached.release();
    return search_core_root(f, st);
}

const nrt::FunctionDef resolve_core_models_root_def = {
    "resolve_core_models_root", "resolve_core_models_root",
    "Return the directory containing core ONNX artifacts, or None.\n\n    Searched in order:\n"
    "      * $NEROV_MODELS_DIR\n      * dev-mode ``packages/brain/models/``\n"
    "      * ``nerov_brain_models`` installed package\n    ",
    nullptr, 0, "Optional[str]", resolve_core_models_root, false};

// ---------------------------------------------------------------------------
// resolve_artifact, resolve_artifact_dir

PyObject *resolve_artifact(Function *f, PyObject *const *args) {
    State &st = state(f);
    PyObject *rel_path = args[0];
    object iter_all_roots = nrt::global(f, st._iter_all_roots);
    if (!iter_all_roots) return nullptr;
    object roots = nrt::call(iter_all_roots.get());
    if (!roots) return nullptr;
    return first_joined_where(f, st, roots.get(), rel_path, st.exists, Probe::exists);
}

const nrt::Param resolve_artifact_params[] = {{"rel_path", "str", nullptr}};
const nrt::FunctionDef resolve_artifact_def = {
    "resolve_artifact", "resolve_artifact",
    "Return the absolute path for *rel_path* (e.g. ``\"policy_nli_int8.onnx\"``\n"
    "    or ``\"policy_nli_tokenizer\"``), or None if not found anywhere.",
    resolve_artifact_params, 1, "Optional[str]", resolve_artifact, false};

PyObject *resolve_artifact_dir(Function *f, PyObject *const *args) {
    object resolve = nrt::global(f, state(f).resolve_artifact);
    if (!resolve) return nullptr;
    return nrt::call(resolve.get(), args[0]).release();
}

const nrt::Param resolve_artifact_dir_params[] = {{"dirname", "str", nullptr}};
const nrt::FunctionDef resolve_artifact_dir_def = {
    "resolve_artifact_dir", "resolve_artifact_dir",
    "Resolve a directory artifact (e.g. tokenizer dir) by name.", resolve_artifact_dir_params, 1,
    "Optional[str]", resolve_artifact_dir, false};

// ---------------------------------------------------------------------------
// Candidate roots

PyObject *iter_core_roots(Function *f, PyObject *const *) {
    State &st = state(f);
    object roots = nrt::steal(PyList_New(0));
    if (!roots) return nullptr;

    // The override, verbatim, when set and not empty.
    object os = nrt::global(f, st.os);
    if (!os) return nullptr;
    object environ = nrt::getattr(os.get(), st.environ);
    if (!environ) return nullptr;
    object env = nrt::call_method(environ.get(), st.get, st.t_models_dir_env);
    int set = truth(env);
    if (set < 0) return nullptr;
    if (set && PyList_Append(roots.get(), env.get()) < 0) return nullptr;

    // The development tree: "models" beside the module file, always listed.
    object join = os_path_attr(f, st, st.join);
    if (!join) return nullptr;
    object dirname = os_path_attr(f, st, st.dirname);
    if (!dirname) return nullptr;
    object abspath = os_path_attr(f, st, st.abspath);
    if (!abspath) return nullptr;
    object file = nrt::global(f, st.__file__);
    if (!file) return nullptr;
    object absolute = nrt::call(abspath.get(), file.get());
    if (!absolute) return nullptr;
    object directory = path_dirname(st, dirname.get(), absolute.get());
    if (!directory) return nullptr;
    object dev = path_join(st, join.get(), directory.get(), st.t_models);
    if (!dev || PyList_Append(roots.get(), dev.get()) < 0) return nullptr;

    // The installed core models package.
    object find = nrt::global(f, st._find_package_dir);
    if (!find) return nullptr;
    object pkg = nrt::call(find.get(), st.t_core_package);
    int found = truth(pkg);
    if (found < 0) return nullptr;
    if (found && PyList_Append(roots.get(), pkg.get()) < 0) return nullptr;
    return roots.release();
}

const nrt::FunctionDef iter_core_roots_def = {
    "_iter_core_roots", "_iter_core_roots", "Yield candidate root directories for core models.",
    nullptr, 0, "Sequence[str]", iter_core_roots, false};

PyObject *iter_all_roots(Function *f, PyObject *const *) {
    State &st = state(f);
    object list = nrt::global(f, st.list);
    if (!list) return nullptr;
    object core_roots_fn = nrt::global(f, st._iter_core_roots);
    if (!core_roots_fn) return nullptr;
    object core_roots = nrt::call(core_roots_fn.get());
    if (!core_roots) return nullptr;
    object roots = nrt::call(list.get(), core_roots.get());
    if (!roots) return nullptr;
    object find = nrt::global(f, st._find_package_dir);
    if (!find) return nullptr;
    object pkg = nrt::call(find.get(), st.t_nli_package);
    int found = truth(pkg);
    if (found < 0) return nullptr;
    if (found && append(st, roots.get(), pkg.get()) < 0) return nullptr;
    return roots.release();
}

const nrt::FunctionDef iter_all_roots_def = {
    "_iter_all_roots", "_iter_all_roots",
    "Yield candidate root directories for any artifact (core + policy-nli).", nullptr, 0,
    "Sequence[str]", iter_all_roots, false};

// The package stage of _find_package_dir: the directory that
// `importlib.resources` gives for the package, or a null object with no error
// set when the lookup does not give a plain directory.
object package_stage(Function *f, State &st, PyObject *package_name) noexcept {
    // import importlib.resources as ir
    object top = nrt::steal(PyImport_ImportModuleLevelObject(st.t_importlib_resources,
                                                             f->globals, nullptr, nullptr, 0));
    if (!top) return {};
    object ir = nrt::import_from(top.get(), st.resources);
    if (!ir) return {};
    object files = nrt::getattr(ir.get(), st.files);
    if (!files) return {};
    object ref = nrt::call(files.get(), package_name);
    if (!ref) return {};
    object has_attr = nrt::global(f, st.hasattr);
    if (!has_attr) return {};
    int on_disk = truth(nrt::call(has_attr.get(), ref.get(), st.__fspath__));
    if (on_disk < 0) return {};
    object str = nrt::global(f, st.str);
    if (!str) return {};
    if (on_disk) return nrt::call(str.get(), ref.get());
    object path_type = nrt::global(f, st.Path);
    if (!path_type) return {};
    object text = nrt::call(str.get(), ref.get());
    if (!text) return {};
    object p = nrt::call(path_type.get(), text.get());
    if (!p) return {};
    int is_dir = truth(nrt::call_method(p.get(), st.is_dir));
    if (is_dir < 0) return {};
    if (!is_dir) return {};
    return nrt::call(str.get(), p.get());
}

PyObject *find_package_dir(Function *f, PyObject *const *args) {
    State &st = state(f);
    PyObject *package_name = args[0];
    object dir = package_stage(f, st, package_name);
    if (dir) return dir.release();
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return nullptr;
        }
        PyErr_Clear();
    }

    // Scan stage: a directory of that name directly in a sys.path entry.
    object sys = nrt::global(f, st.sys);
    if (!sys) return nullptr;
    object sys_path = nrt::getattr(sys.get(), st.path);
    if (!sys_path) return nullptr;
    return first_joined_where(f, st, sys_path.get(), package_name, st.isdir, Probe::isdir);
}

const nrt::Param find_package_dir_params[] = {{"package_name", "str", nullptr}};
const nrt::FunctionDef find_package_dir_def = {
    "_find_package_dir", "_find_package_dir",
    "Locate a top-level package directory using importlib.resources.", find_package_dir_params,
    1, "Optional[str]", find_package_dir, false};

PyObject *has_file(Function *f, PyObject *const *args) {
    State &st = state(f);
    object isfile = os_path_attr(f, st, st.isfile);
    if (!isfile) return nullptr;
    object join = os_path_attr(f, st, st.join);
    if (!join) return nullptr;
    object joined = path_join(st, join.get(), args[0], args[1]);
    if (!joined) return nullptr;
    return path_probe(st, isfile.get(), joined.get(), Probe::isfile).release();
}

const nrt::Param has_file_params[] = {{"root", "str", nullptr}, {"filename", "str", nullptr}};
const nrt::FunctionDef has_file_def = {
    "_has_file", "_has_file", nullptr, has_file_params, 2, "bool", has_file, false};

// ---------------------------------------------------------------------------
// Manifest verification

// Reads and parses `manifest_path`; a null object with an error set on failure.
object load_manifest(Function *f, State &st, PyObject *manifest_path) noexcept {
    object open = nrt::global(f, st.open);
    if (!open) return {};
    object file = nrt::call_kw(open.get(), 2, st.kw_encoding, manifest_path, st.t_r, st.t_utf8);
    if (!file) return {};
    object json = nrt::global(f, st.json);
    object manifest = json ? nrt::call_method(json.get(), st.load, file.get()) : object();
    if (!manifest) {
        close_while_failing(st, file.get());
        return {};
    }
    if (!nrt::call_method(file.get(), st.close)) return {};
    return manifest;
}

// `mapping.get(key, default)`, straight from a plain dict.
object mapping_get(State &st, PyObject *mapping, PyObject *key, PyObject *dflt) noexcept {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value;
        int r = PyDict_GetItemRef(mapping, key, &value);
        if (r < 0) return {};
        return r ? nrt::steal(value) : nrt::borrow(dflt);
    }
    return nrt::call_method(mapping, st.get, key, dflt);
}

enum class Check { done, corrupt, failed };

// Hashes every present listed file that carries a digest and collects the
// keys of those that differ or cannot be read into `bad`.
Check check_files(Function *f, State &st, PyObject *model_root, PyObject *files,
                  PyObject *bad) noexcept {
    object items = nrt::call_method(files, st.items);
    if (!items) return Check::failed;
    object it = nrt::steal(PyObject_GetIter(items.get()));
    if (!it) return Check::failed;
    object join, isfile;
    for (;;) {
        if (PyErr_CheckSignals() < 0) return Check::failed;
        object item = nrt::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? Check::failed : Check::done;
        object rel, info;
        if (unpack_two(item.get(), rel, info) < 0) return Check::failed;
        // A manifest never vouches for itself.
        int self = compare(rel.get(), st.t_manifest, Py_EQ);
        if (self < 0) return Check::failed;
        if (self) continue;
        if (!join && !(join = os_path_attr(f, st, st.join))) return Check::failed;
        object fpath = path_join(st, join.get(), model_root, rel.get());
        if (!fpath) return Check::failed;
        if (!isfile && !(isfile = os_path_attr(f, st, st.isfile))) return Check::failed;
        int present = truth(path_probe(st, isfile.get(), fpath.get(), Probe::isfile));
        if (present < 0) return Check::failed;
        if (!present) continue;
        if (!PyDict_Check(info.get())) return Check::corrupt;
        object expected = mapping_get(st, info.get(), st.sha256, Py_None);
        int has_digest = truth(expected);
        if (has_digest < 0) return Check::failed;
        if (!has_digest) continue;
        object sha = nrt::global(f, st._sha256);
        if (!sha) return Check::failed;
        object actual = nrt::call(sha.get(), fpath.get());
        int differs;
        if (actual) {
            differs = compare(actual.get(), expected.get(), Py_NE);
            if (differs < 0) return Check::failed;
        } else if (vanished()) {
            continue;  // gone since the test above: absent, like any missing file
        } else if (PyErr_ExceptionMatches(PyExc_OSError)) {
            PyErr_Clear();  // unreadable: as corrupt as a wrong digest
            differs = 1;
        } else {
            return Check::failed;
        }
        if (differs && PyList_Append(bad, rel.get()) < 0) return Check::failed;
    }
}

PyObject *verify_if_present(Function *f, PyObject *const *args) {
    State &st = state(f);
    PyObject *model_root = args[0];

    object verified = nrt::global(f, st._verified_roots);
    if (!verified) return nullptr;
    int seen = PySequence_Contains(verified.get(), model_root);
    if (seen < 0) return nullptr;
    if (seen) Py_RETURN_NONE;
    if (PySet_CheckExact(verified.get())) {
        if (PySet_Add(verified.get(), model_root) < 0) return nullptr;
    } else if (!nrt::call_method(verified.get(), st.add, model_root)) {
        return nullptr;
    }

    object os = nrt::global(f, st.os);
    if (!os) return nullptr;
    object environ = nrt::getattr(os.get(), st.environ);
    if (!environ) return nullptr;
    object skip = nrt::call_method(environ.get(), st.get, st.t_skip_check_env);
    if (!skip) return nullptr;
    int skipped = compare(skip.get(), st.t_one, Py_EQ);
    if (skipped < 0) return nullptr;
    if (skipped) Py_RETURN_NONE;

    object join = os_path_attr(f, st, st.join);
    if (!join) return nullptr;
    object manifest_path = path_join(st, join.get(), model_root, st.t_manifest);
    if (!manifest_path) return nullptr;
    object isfile = os_path_attr(f, st, st.isfile);
    if (!isfile) return nullptr;
    int present = truth(path_probe(st, isfile.get(), manifest_path.get(), Probe::isfile));
    if (present < 0) return nullptr;
    if (!present) Py_RETURN_NONE;

    object manifest = load_manifest(f, st, manifest_path.get());
    if (!manifest && !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    Check result = Check::corrupt;
    object bad = nrt::steal(PyList_New(0));
    if (!bad) return nullptr;
    if (manifest && PyDict_Check(manifest.get())) {
        object empty = nrt::steal(PyDict_New());
        if (!empty) return nullptr;
        object files = mapping_get(st, manifest.get(), st.files, empty.get());
        if (!files) return nullptr;
        if (PyDict_Check(files.get())) result = check_files(f, st, model_root, files.get(), bad.get());
    }
    if (result == Check::failed) return nullptr;
    if (result == Check::corrupt) {
        if (log(f, st, st.warning, st.t_log_corrupt, model_root) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (PyList_GET_SIZE(bad.get()) != 0 &&
        log(f, st, st.warning, st.t_log_mismatch, model_root, bad.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const nrt::Param verify_if_present_params[] = {{"model_root", "str", nullptr}};
const nrt::FunctionDef verify_if_present_def = {
    "_verify_if_present", "_verify_if_present",
    "Verify manifest.json if present; log warnings on mismatch.", verify_if_present_params, 1,
    "None", verify_if_present, false};

// ---------------------------------------------------------------------------
// Hashing

// Feeds the file to `update` one `read(1 MiB)` block at a time until a read
// returns an empty block. Each block is a new object that `update` may keep.
// Here and below, pending signals are handled after every block, so that
// Ctrl-C stops a long hash within one block.
int hash_read_blocks(State &st, PyObject *file, PyObject *update) noexcept {
    for (;;) {
        object block = nrt::call_method(file, st.read, st.n_hash_block);
        int more = truth(block);
        if (more <= 0) return more;
        if (!nrt::call(update, block.get())) return -1;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// The same for the interpreter's own buffered binary reader and the standard
// hash object, which keeps nothing it is given, without a new bytes object
// per block: each block is read straight into one reusable buffer with
// `readinto1` (one read of the underlying file per block, so a small file
// takes one read and the empty one). The first buffer is small, which most
// model-side files (configs, vocabularies) fit; once a read fills it, a
// 1 MiB buffer takes over.
int hash_buffered_blocks(State &st, PyObject *file, PyObject *update) noexcept {
    Py_ssize_t size = kFirstBlock;
    object buffer = nrt::steal(PyByteArray_FromStringAndSize(nullptr, size));
    if (!buffer) return -1;
    for (;;) {
        object got = nrt::call_method(file, st.readinto1, buffer.get());
        if (!got) return -1;
        if (got.get() == Py_None) return 0;  // would block: as the empty block of read()
        Py_ssize_t n = PyLong_AsSsize_t(got.get());
        if (n == -1 && PyErr_Occurred()) return -1;
        if (n == 0) return 0;
        if (n < 0 || n > size) {
            PyErr_Format(PyExc_SystemError, "readinto1() returned %zd outside 0..%zd", n, size);
            return -1;
        }
        object block;
        if (n == size) {
            block = buffer;
        } else if (n <= kCopyLimit) {
            block = nrt::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(buffer.get()), n));
        } else {
            object view = nrt::steal(PyMemoryView_FromObject(buffer.get()));
            if (!view) return -1;
            block = nrt::steal(PySequence_GetSlice(view.get(), 0, n));
        }
        if (!block || !nrt::call(update, block.get())) return -1;
        if (PyErr_CheckSignals() < 0) return -1;
        if (n == size && size < kHashBlock) {
            size = kHashBlock;
            block = object();
            buffer = nrt::steal(PyByteArray_FromStringAndSize(nullptr, size));
            if (!buffer) return -1;
        }
    }
}

PyObject *sha256_file(Function *f, PyObject *const *args) {
    State &st = state(f);
    object hashlib = nrt::global(f, st.hashlib);
    if (!hashlib) return nullptr;
    object h = nrt::call_method(hashlib.get(), st.sha256);
    if (!h) return nullptr;
    object open = nrt::global(f, st.open);
    if (!open) return nullptr;
    object file = nrt::call(open.get(), args[0], st.t_rb);
    if (!file) return nullptr;
    object update = nrt::getattr(h.get(), st.update);
    // Any other hash object (a replaced `hashlib`) may keep the blocks it is
    // given, so it gets the fresh ones of read().
    bool reuse = Py_IS_TYPE(h.get(), reinterpret_cast<PyTypeObject *>(st.std_sha256_type)) &&
                 Py_IS_TYPE(file.get(), reinterpret_cast<PyTypeObject *>(st.std_buffered_reader));
    if (!update || (reuse ? hash_buffered_blocks(st, file.get(), update.get())
                          : hash_read_blocks(st, file.get(), update.get())) < 0) {
        close_while_failing(st, file.get());
        return nullptr;
    }
    if (!nrt::call_method(file.get(), st.close)) return nullptr;
    return nrt::call_method(h.get(), st.hexdigest).release();
}

const nrt::Param sha256_params[] = {{"filepath", "str", nullptr}};
const nrt::FunctionDef sha256_def = {
    "_sha256", "_sha256", nullptr, sha256_params, 1, "str", sha256_file, false};

// ---------------------------------------------------------------------------
// Manifest generation and writing

// Whether `p.is_file()` and `p.stat().st_size` of a walked PosixPath can be
// answered with one stat call here: its methods are the standard ones and so
// is the `os.stat` they reach. Checked once per walk.
bool walk_stats_directly(State &st) noexcept {
#ifdef _WIN32
    (void)st;
    return false;
#else
    if (st.std_pathlib_globals == nullptr) return false;
    PyObject *methods[][2] = {{st.is_file, st.std_path_is_file},
                              {st.stat, st.std_path_stat},
                              {st.__fspath__, st.std_path_fspath}};
    for (auto &m : methods) {
        object found = nrt::steal(PyObject_GetAttr(st.std_posix_path, m[0]));
        if (!found) PyErr_Clear();
        if (found.get() != m[1]) return false;
    }
    PyObject *os;
    if (PyDict_GetItemRef(st.std_pathlib_globals, st.os, &os) <= 0) {
        PyErr_Clear();
        return false;
    }
    object os_ref = nrt::steal(os);
    object stat_fn = nrt::steal(PyObject_GetAttr(os, st.stat));
    if (!stat_fn) PyErr_Clear();
    return stat_fn.get() == st.std_stat;
#endif
}

// What `p.is_file()` says of a walked PosixPath, with the size from the same
// stat: 1 (a regular file, `*size` set), 0, -1 with an error set, or -2 when
// the path object has to be asked (an error is_file would not swallow).
int stat_walked(PyObject *p, object &size) noexcept {
#ifdef _WIN32
    (void)p; (void)size;
    return -2;
#else
    object text = nrt::steal(PyObject_Str(p));
    if (!text) return -1;
    if (!PyUnicode_CheckExact(text.get())) return -2;
    object encoded = nrt::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) {  // is_file answers False for a path os.stat cannot take
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    const char *bytes = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(bytes) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))) return 0;
    struct stat sb;
    int failed, error = 0;
    Py_BEGIN_ALLOW_THREADS
    failed = ::stat(bytes, &sb);
    if (failed != 0) error = errno;
    Py_END_ALLOW_THREADS
    if (failed != 0) {
        // The errors is_file takes for "no such file"; any other is raised.
        bool missing = error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
        return missing ? 0 : -2;
    }
    if (!S_ISREG(sb.st_mode)) return 0;
    size = nrt::steal(PyLong_FromLongLong(static_cast<long long>(sb.st_size)));
    return size ? 1 : -1;
#endif
}

// The temporary files of write_manifest: ".manifest.json.<16 hex digits>.tmp"
// beside the destination, 64 random bits created exclusively, so one per
// writer in any thread or process. Walks never list them, so that a walk
// beside a writer neither lists one nor trips over one renamed away.
constexpr char kTempPrefix[] = ".manifest.json.";
constexpr char kTempSuffix[] = ".tmp";

object temp_manifest_path(Function *f, State &st, PyObject *model_dir) noexcept {
    object os = nrt::global(f, st.os);
    if (!os) return {};
    object eight = nrt::steal(PyLong_FromLong(8));
    if (!eight) return {};
    object noise = nrt::call_method(os.get(), st.urandom, eight.get());
    if (!noise) return {};
    object hex = nrt::call_method(noise.get(), st.hex);
    if (!hex) return {};
    object name = nrt::steal(PyUnicode_FromFormat("%s%S%s", kTempPrefix, hex.get(), kTempSuffix));
    if (!name) return {};
    object join = os_path_attr(f, st, st.join);
    if (!join) return {};
    return path_join(st, join.get(), model_dir, name.get());
}

// Whether the last component of the str `rel` has the shape of those names.
bool is_temp_manifest(PyObject *rel) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(rel);
    const int kind = PyUnicode_KIND(rel);
    const void *data = PyUnicode_DATA(rel);
    Py_ssize_t i = n;
    while (i > 0 && PyUnicode_READ(kind, data, i - 1) != '/') i--;
    auto text = [&](const char *t) {
        for (; *t; t++, i++) {
            if (i == n || PyUnicode_READ(kind, data, i) != static_cast<unsigned char>(*t)) return false;
        }
        return true;
    };
    auto hex_digits = [&](Py_ssize_t count) {
        for (; count > 0; count--, i++) {
            Py_UCS4 c = i < n ? PyUnicode_READ(kind, data, i) : 0;
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        }
        return true;
    };
    return text(kTempPrefix) && hex_digits(16) && text(kTempSuffix) && i == n;
}

PyObject *generate_manifest(Function *f, PyObject *const *args) {
    State &st = state(f);
    PyObject *model_dir = args[0];
    object manifest = nrt::steal(PyDict_New());
    object files = nrt::steal(PyDict_New());
    if (!manifest || !files) return nullptr;
    if (PyDict_SetItem(manifest.get(), st.t_version, args[1]) < 0) return nullptr;
    if (PyDict_SetItem(manifest.get(), st.files, files.get()) < 0) return nullptr;

    object path_type = nrt::global(f, st.Path);
    if (!path_type) return nullptr;
    object base = nrt::call(path_type.get(), model_dir);
    if (!base) return nullptr;
    object sorted = nrt::global(f, st.sorted);
    if (!sorted) return nullptr;
    object walk = nrt::call_method(base.get(), st.rglob, st.t_star);
    if (!walk) return nullptr;
    object entries = nrt::call(sorted.get(), walk.get());
    if (!entries) return nullptr;
    object it = nrt::steal(PyObject_GetIter(entries.get()));
    if (!it) return nullptr;
    bool direct = walk_stats_directly(st);
    for (;;) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        object p = nrt::steal(PyIter_Next(it.get()));
        if (!p) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        object size;
        int regular = -2;
        if (direct && Py_IS_TYPE(p.get(), reinterpret_cast<PyTypeObject *>(st.std_posix_path))) {
            regular = stat_walked(p.get(), size);
        }
        if (regular == -2) regular = truth(nrt::call_method(p.get(), st.is_file));
        if (regular < 0) return nullptr;
        if (!regular) continue;
        object relative = nrt::call_method(p.get(), st.relative_to, base.get());
        if (!relative) return nullptr;
        object rel = nrt::call_method(relative.get(), st.as_posix);
        if (!rel) return nullptr;
        // The manifest itself is rewritten after the walk; never list it,
        // nor the files a writer replaces it with.
        int self = compare(rel.get(), st.t_manifest, Py_EQ);
        if (self < 0) return nullptr;
        if (self || (PyUnicode_Check(rel.get()) && is_temp_manifest(rel.get()))) continue;
        if (!size) {
            object stat = nrt::call_method(p.get(), st.stat);
            if (!stat) {
                if (vanished()) continue;
                return nullptr;
            }
            if (!(size = nrt::getattr(stat.get(), st.st_size))) return nullptr;
        }
        object sha = nrt::global(f, st._sha256);
        if (!sha) return nullptr;
        object str = nrt::global(f, st.str);
        if (!str) return nullptr;
        object text = nrt::call(str.get(), p.get());
        if (!text) return nullptr;
        object digest = nrt::call(sha.get(), text.get());
        if (!digest) {
            if (vanished()) continue;
            return nullptr;
        }
        object entry = nrt::steal(PyDict_New());
        if (!entry) return nullptr;
        if (PyDict_SetItem(entry.get(), st.t_size, size.get()) < 0) return nullptr;
        if (PyDict_SetItem(entry.get(), st.sha256, digest.get()) < 0) return nullptr;
        if (PyDict_SetItem(files.get(), rel.get(), entry.get()) < 0) return nullptr;
    }
    return manifest.release();
}

const nrt::Param manifest_params[] = {{"model_dir", "str", nullptr}, {"version", "str", nullptr}};
const nrt::FunctionDef generate_manifest_def = {
    "generate_manifest", "generate_manifest",
    "Walk *model_dir*, hash every file, return a manifest dict.", manifest_params, 2, "dict",
    generate_manifest, false};

// json.dump into the open temporary file, close it, move it onto `dest`.
int commit_manifest(Function *f, State &st, PyObject *manifest, PyObject *file, PyObject *temp,
                    PyObject *dest) noexcept {
    object json = nrt::global(f, st.json);
    if (!json) return -1;
    object dump = nrt::getattr(json.get(), st.dump);
    if (!dump) return -1;
    object two = nrt::steal(PyLong_FromLong(2));
    if (!two) return -1;
    if (!nrt::call_kw(dump.get(), 2, st.kw_json_dump, manifest, file, two.get(), Py_True)) {
        return -1;
    }
    if (!nrt::call_method(file, st.close)) return -1;
    object os = nrt::global(f, st.os);
    if (!os) return -1;
    return nrt::call_method(os.get(), st.replace, temp, dest) ? 0 : -1;
}

// After a failed commit: close and remove the temporary file, keeping the
// pending error as the one that propagates.
void discard_temp(Function *f, State &st, PyObject *file, PyObject *temp) noexcept {
    PyObject *pending = PyErr_GetRaisedException();
    if (!nrt::call_method(file, st.close)) PyErr_Clear();
    object os = nrt::global(f, st.os);
    if (!os || !nrt::call_method(os.get(), st.remove, temp)) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

PyObject *write_manifest(Function *f, PyObject *const *args) {
    State &st = state(f);
    PyObject *model_dir = args[0];
    object generate = nrt::global(f, st.generate_manifest);
    if (!generate) return nullptr;
    object manifest = nrt::call(generate.get(), model_dir, args[1]);
    if (!manifest) return nullptr;
    object join = os_path_attr(f, st, st.join);
    if (!join) return nullptr;
    object dest = path_join(st, join.get(), model_dir, st.t_manifest);
    if (!dest) return nullptr;

    // Serialise beside the destination and replace it only once complete, so
    // a failure never leaves a truncated manifest behind.
    object open = nrt::global(f, st.open);
    if (!open) return nullptr;
    object temp, file;
    for (int attempt = 1;; attempt++) {
        temp = temp_manifest_path(f, st, model_dir);
        if (!temp) return nullptr;
        file = nrt::call_kw(open.get(), 2, st.kw_encoding, temp.get(), st.t_x, st.t_utf8);
        if (file) break;
        if (attempt == kTempAttempts || !PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    if (commit_manifest(f, st, manifest.get(), file.get(), temp.get(), dest.get()) < 0) {
        discard_temp(f, st, file.get(), temp.get());
        return nullptr;
    }
    return dest.release();
}

const nrt::FunctionDef write_manifest_def = {
    "write_manifest", "write_manifest",
    "Generate and write manifest.json into *model_dir*. Returns the path.", manifest_params, 2,
    "str", write_manifest, false};

// ---------------------------------------------------------------------------
// Status report

int print_line(Function *f, State &st, PyObject *line) noexcept {
    object print = nrt::global(f, st.print);
    if (!print) return -1;
    return nrt::call(print.get(), line) ? 0 : -1;
}

PyObject *cli_download(Function *f, PyObject *const *) {
    State &st = state(f);
    if (print_line(f, st, st.t_banner) < 0) return nullptr;

    object resolve_core = nrt::global(f, st.resolve_core_models_root);
    if (!resolve_core) return nullptr;
    object core = nrt::call(resolve_core.get());
    int found = truth(core);
    if (found < 0) return nullptr;
    if (found) {
        object prefix = nrt::borrow(st.t_core_line);
        object shown = nrt::format(core.get());
        object line = nrt::concat({&prefix, &shown});
        if (!line || print_line(f, st, line.get()) < 0) return nullptr;
    } else {
        if (print_line(f, st, st.t_core_missing) < 0) return nullptr;
        if (print_line(f, st, st.t_install_hint) < 0) return nullptr;
    }

    PyObject *names[] = {st.t_nli_marker, st.t_tokenizer};
    for (PyObject *name : names) {
        object resolve = nrt::global(f, st.resolve_artifact);
        if (!resolve) return nullptr;
        object path = nrt::call(resolve.get(), name);
        int exists = truth(path);
        if (exists < 0) return nullptr;
        object tag = exists ? path : nrt::borrow(st.t_not_found);
        object lead = nrt::borrow(st.t_two_blanks);
        object field = nrt::steal(PyObject_Format(name, st.t_name_width));
        object colon = nrt::borrow(st.t_colon);
        object shown = nrt::format(tag.get());
        object line = nrt::concat({&lead, &field, &colon, &shown});
        if (!line || print_line(f, st, line.get()) < 0) return nullptr;
    }

    if (print_line(f, st, st.t_override_hint) < 0) return nullptr;
    Py_RETURN_NONE;
}

const nrt::FunctionDef cli_download_def = {
    "cli_download", "cli_download", "Print model resolution status for the current environment.",
    nullptr, 0, "None", cli_download, false};

// ---------------------------------------------------------------------------
// Module

int bind(PyObject *ns, PyObject *name, PyObject *value) noexcept {
    return value ? PyDict_SetItem(ns, name, value) : -1;
}

// Records the standard path functions (see "Path operations").
int capture_path_functions(State &st, PyObject *os) noexcept {
    object path = nrt::getattr(os, st.path);
    if (!path) return -1;
#define X(n) if ((st.std_##n = PyObject_GetAttr(path.get(), st.n)) == nullptr) return -1;
    ARTIFAX_PATH_FUNCTIONS(X)
#undef X
    if ((st.std_stat = PyObject_GetAttr(os, st.stat)) == nullptr) return -1;
    // The probes are answered directly only when all three are the plain
    // functions that call `os.stat` from one module namespace.
    PyObject *probes[] = {st.std_exists, st.std_isfile, st.std_isdir};
    PyObject *globals = nullptr;
    for (PyObject *fn : probes) {
        if (!PyFunction_Check(fn)) return 0;
        PyObject *g = PyFunction_GetGlobals(fn);
        if (globals != nullptr && g != globals) return 0;
        globals = g;
    }
    st.std_probe_globals = Py_NewRef(globals);
    return 0;
}

// Records the standard methods of walked paths (see walk_stats_directly).
int capture_path_methods(State &st, PyObject *pathlib) noexcept {
    if ((st.std_posix_path = PyObject_GetAttr(pathlib, st.PosixPath)) == nullptr) return -1;
    if (!PyType_Check(st.std_posix_path)) return 0;
    if ((st.std_path_is_file = PyObject_GetAttr(st.std_posix_path, st.is_file)) == nullptr ||
        (st.std_path_stat = PyObject_GetAttr(st.std_posix_path, st.stat)) == nullptr ||
        (st.std_path_fspath = PyObject_GetAttr(st.std_posix_path, st.__fspath__)) == nullptr) {
        return -1;
    }
    if (PyFunction_Check(st.std_path_stat)) {
        st.std_pathlib_globals = Py_NewRef(PyFunction_GetGlobals(st.std_path_stat));
    }
    return 0;
}

// Records the type of the standard library's SHA-256 objects (see sha256_file).
int capture_hash_type(State &st, PyObject *hashlib) noexcept {
    object h = nrt::call_method(hashlib, st.sha256);
    if (!h) return -1;
    st.std_sha256_type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(h.get())));
    return 0;
}

// `import <name>`.
int bind_import(PyObject *ns, PyObject *name) noexcept {
    object module = nrt::steal(PyImport_Import(name));
    return bind(ns, name, module.get());
}

int exec_module(PyObject *module) noexcept {
    State &st = state(module);
    if (nrt::runtime_init(module, &st.rt) < 0) return -1;
#define X(n) if ((st.n = PyUnicode_InternFromString(#n)) == nullptr) return -1;
    ARTIFAX_NAMES(X)
#undef X
#define X(n, text) if ((st.n = PyUnicode_InternFromString(text)) == nullptr) return -1;
    ARTIFAX_TEXTS(X)
#undef X
    if ((st.kw_encoding = PyTuple_Pack(1, st.encoding)) == nullptr) return -1;
    if ((st.kw_json_dump = PyTuple_Pack(2, st.indent, st.sort_keys)) == nullptr) return -1;
    if ((st.n_hash_block = PyLong_FromSsize_t(kHashBlock)) == nullptr) return -1;
    object io = nrt::steal(PyImport_Import(st.io));
    if (!io || (st.std_buffered_reader = PyObject_GetAttr(io.get(), st.BufferedReader)) == nullptr) {
        return -1;
    }
    if (!PyType_Check(st.std_buffered_reader)) {
        PyErr_SetString(PyExc_TypeError, "io.BufferedReader is not a type");
        return -1;
    }

    PyObject *ns = PyModule_GetDict(module);
    nrt::RuntimeState *rt = &st.rt;

    // The standard modules, then the names taken from pathlib and typing.
    object hashlib = nrt::steal(PyImport_Import(st.hashlib));
    if (bind(ns, st.hashlib, hashlib.get()) < 0 || capture_hash_type(st, hashlib.get()) < 0) {
        return -1;
    }
    if (bind_import(ns, st.json) < 0) return -1;
    if (bind_import(ns, st.logging) < 0) return -1;
    if (bind_import(ns, st.os) < 0) return -1;
    if (bind_import(ns, st.sys) < 0) return -1;
    object pathlib = nrt::steal(PyImport_Import(st.pathlib));
    if (!pathlib || bind(ns, st.Path, nrt::import_from(pathlib.get(), st.Path).get()) < 0) {
        return -1;
    }
    if (capture_path_methods(st, pathlib.get()) < 0) return -1;
    object typing = nrt::steal(PyImport_Import(st.typing));
    if (!typing) return -1;
    for (PyObject *name : {st.List, st.Optional, st.Sequence}) {
        if (bind(ns, name, nrt::import_from(typing.get(), name).get()) < 0) return -1;
    }

    // logger = logging.getLogger(__name__)
    PyObject *module_name;
    if (PyDict_GetItemRef(ns, st.__name__, &module_name) <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "artifax: module has no name");
        return -1;
    }
    object name_ref = nrt::steal(module_name);
    object logging = nrt::steal(PyImport_Import(st.logging));
    if (!logging) return -1;
    if (bind(ns, st.logger, nrt::call_method(logging.get(), st.getLogger, module_name).get()) < 0) {
        return -1;
    }

    // MODELS_VERSION = os.getenv("NEROV_MODELS_VERSION", "1.0.1")
    object os = nrt::steal(PyImport_Import(st.os));
    if (!os || capture_path_functions(st, os.get()) < 0) return -1;
    object version =
        nrt::call_method(os.get(), st.getenv, st.t_version_env, st.t_version_default);
    if (bind(ns, st.MODELS_VERSION, version.get()) < 0) return -1;

    if (bind(ns, st._CORE_MARKER, st.t_core_marker) < 0) return -1;
    if (bind(ns, st._POLICY_NLI_MARKER, st.t_nli_marker) < 0) return -1;
    object unset = nrt::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (bind(ns, st._UNSET, unset.get()) < 0) return -1;
    if (bind(ns, st._resolved_core_root, unset.get()) < 0) return -1;
    if (bind(ns, st._resolved_policy_nli, unset.get()) < 0) return -1;

    for (const nrt::FunctionDef *def :
         {&resolve_core_models_root_def, &resolve_artifact_def, &resolve_artifact_dir_def,
          &iter_core_roots_def, &iter_all_roots_def, &find_package_dir_def, &has_file_def}) {
        if (nrt::add_function(module, rt, ns, def) < 0) return -1;
    }
    object verified = nrt::steal(PySet_New(nullptr));
    if (bind(ns, st._verified_roots, verified.get()) < 0) return -1;
    for (const nrt::FunctionDef *def : {&verify_if_present_def, &sha256_def,
                                          &generate_manifest_def, &write_manifest_def,
                                          &cli_download_def}) {
        if (nrt::add_function(module, rt, ns, def) < 0) return -1;
    }
    return 0;
}

nrt::ModuleDefinition module_definition = {
    .short_name = "artifax",
    .doc = "\nArtifax \u2014 Unified artifact resolver for Vantor ONNX models.\n\n"
    "Resolution order (first match wins):\n"
    "  1. $NEROV_MODELS_DIR  (user override / air-gapped deployments)\n"
    "  2. packages/brain/models/  (dev mode \u2014 models present in repo)\n"
    "  3. nerov_brain_models/  (installed from PyPI wheel)\n"
    "  4. nerov_policy_nli/    (installed from PyPI wheel \u2014 policy NLI only)\n\n"
    "SHA-256 checksums are verified against manifest.json shipped with each\n"
    "model wheel.  Corrupt / missing artifacts are treated as absent (fail-safe),\n"
    "so the SDK degrades gracefully instead of crashing.\n",
    .state_size = sizeof(State),
    .object_slots = kStateSlots,
    .exec = exec_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_artifax(void) { return nrt::init_module(module_definition); }
