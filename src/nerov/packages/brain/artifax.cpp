// artifax.cpp: finds the classifier's on-disk model artifacts, checks them
// against their manifest, writes manifests and prints the resolution status.
//
// Every operation reaches the module-level names it uses (`os`, `json`,
// `hashlib`, `Path`, `logger`, the caches, the other operations, builtins
// such as `open`) through the module namespace at the moment of the call, so
// rebinding one of them from outside takes effect on the next call.
#include "nrt.hpp"
#include "stdlib_shortcuts.hpp"

namespace {

using nrt::Function;
using nrt::object;
using shortcuts::path_dirname;
using shortcuts::path_join;
using shortcuts::path_probe;
using shortcuts::Probe;

// Module and module-level names, builtins, attribute names and texts.
#define ARTIFAX_STRINGS(N, T)                                                                \
    N(hashlib) N(json) N(logging) N(os) N(sys) N(Path) N(logger) N(MODELS_VERSION) \
    N(_CORE_MARKER) N(_POLICY_NLI_MARKER)                                                    \
    N(_UNSET) N(_resolved_core_root) N(_resolved_policy_nli) N(_verified_roots)              \
    N(_iter_core_roots) N(_iter_all_roots) N(_find_package_dir) N(_has_file)                 \
    N(_verify_if_present) N(_sha256) N(generate_manifest) N(resolve_core_models_root)        \
    N(resolve_artifact) N(open) N(print) N(str) N(list) N(hasattr) N(sorted) N(__file__)     \
    N(__name__) N(__fspath__) N(path) N(join) N(exists) N(isfile) N(isdir) N(abspath)        \
    N(dirname) N(environ) N(getenv) N(getLogger) N(debug) N(warning) N(ir) N(files)          \
    N(is_dir) N(rglob) N(is_file) N(relative_to) N(as_posix) N(stat) N(st_size) N(sha256)    \
    N(update) N(read) N(close) N(hexdigest) N(load) N(dump) N(replace) N(remove) N(urandom)  \
    N(hex) N(add) N(append) N(items) N(encoding) N(indent) N(sort_keys)                      \
    T(t_version_env, "NEROV_MODELS_VERSION") T(t_version_default, "1.0.1")                    \
    T(t_models_dir_env, "NEROV_MODELS_DIR") T(t_skip_check_env, "NEROV_SKIP_MODEL_CHECK")     \
    T(t_one, "1") T(t_models, "models")                                                       \
    T(t_core_package, "nerov_brain_models") T(t_nli_package, "nerov_policy_nli")              \
    T(t_core_marker, "vantor_int8.onnx") T(t_nli_marker, "policy_nli_int8.onnx")              \
    T(t_tokenizer, "judge_nli_tokenizer_v2")                                                  \
    T(t_manifest, "manifest.json") T(t_version, "version") T(t_size, "size")                  \
    T(t_rb, "rb") T(t_r, "r") T(t_x, "x") T(t_utf8, "utf-8") T(t_star, "*")                   \
    T(t_log_found, "artifax: core models found at %s")                                        \
    T(t_log_not_found,                                                                        \
      "artifax: core ONNX models not found. Install nerov-brain-models or set "               \
      "$NEROV_MODELS_DIR.")                                                                   \
    T(t_log_corrupt, "artifax: corrupt manifest.json at %s")                                  \
    T(t_log_mismatch,                                                                         \
      "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model "  \
      "package.")                                                                             \
    T(t_banner, "=== Nerov Artifax ===\n")                                                    \
    T(t_core_missing, "  Core models  : NOT FOUND")                                           \
    T(t_install_hint, "    Install:  pip install nerov-brain-models")                         \
    T(t_name_width, "30s") T(t_not_found, "NOT FOUND")                                        \
    T(t_override_hint, "\nSet NEROV_MODELS_DIR to override resolution.")

// Module state: strong references only, so that the whole struct is
// traversed and cleared as one array.
struct State {
    nrt::RuntimeState rt;
    NRT_STRINGS(ARTIFAX_STRINGS)
    PyObject *kw_encoding;   // ("encoding",)
    PyObject *kw_json_dump;  // ("indent", "sort_keys")
    PyObject *n_hash_block;  // the block size as an int
    PyObject *core_line, *artifact_line;  // the report's lines (nrt::message)
    PyObject *import_resources;           // "import importlib.resources as ir"
    shortcuts::Standard fast;
};
constexpr std::size_t kStateSlots = NRT_STATE_SLOTS(State, sizeof(State));

constexpr int kTempAttempts = 16;  // fresh names tried for the temporary manifest

// ---------------------------------------------------------------------------
// Helpers

// `os.path.<name>`, through the module's `os` as bound now.
object os_path_attr(Function *f, State &st, PyObject *name) noexcept {
    object os = nrt::global(f, st.os);
    object path = os ? nrt::getattr(os.get(), st.path) : object();
    return path ? nrt::getattr(path.get(), name) : object();
}

// `os.environ.get(name)`.
object environ_get(Function *f, State &st, PyObject *name) noexcept {
    object os = nrt::global(f, st.os);
    object environ = os ? nrt::getattr(os.get(), st.environ) : object();
    return environ ? nrt::mapping_get(f, environ.get(), name) : object();
}

// The truth value of a call's result: 1, 0, or -1 when the call or the test failed.
int truth(const object &o) noexcept { return o ? PyObject_IsTrue(o.get()) : -1; }

// `logger.<level>(fmt, *args)`: the logging framework formats lazily.
template <class... A>
int log(Function *f, State &st, PyObject *level, A... args) noexcept {
    object logger = nrt::global(f, st.logger);
    return logger && nrt::call_method(logger.get(), level, args...) ? 0 : -1;
}

// The next item of `it`, handling pending signals first (a long loop stops
// at Ctrl-C); null at the end with no error set, or with an error.
object next_item(PyObject *it) noexcept {
    if (PyErr_CheckSignals() < 0) return {};
    return nrt::steal(PyIter_Next(it));
}

// The first `os.path.join(base, name)`, over the bases in `bases`, for which
// the `os.path` probe `probe_name` is true, or None. `join` and the probe are
// looked up for each base, as the body of a loop looks them up.
PyObject *first_joined_where(Function *f, State &st, PyObject *bases, PyObject *name,
                             PyObject *probe_name, Probe kind) noexcept {
    object it = nrt::steal(PyObject_GetIter(bases));
    if (!it) return nullptr;
    while (object base = next_item(it.get())) {
        object join = os_path_attr(f, st, st.join);
        object candidate = join ? path_join(st.fast, join.get(), base.get(), name) : object();
        object probe = candidate ? os_path_attr(f, st, probe_name) : object();
        int found = probe ? truth(path_probe(st.fast, probe.get(), candidate.get(), kind)) : -1;
        if (found < 0) return nullptr;
        if (found) return candidate.release();
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
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

// ---------------------------------------------------------------------------
// resolve_core_models_root

// The search behind an empty cache: the first candidate root that holds the
// core marker is cached, verified once and returned.
[[gnu::noinline]] PyObject *search_core_root(Function *f, State &st) noexcept {
    object roots = nrt::call_global(f, st._iter_core_roots);
    object it = roots ? nrt::steal(PyObject_GetIter(roots.get())) : object();
    if (!it) return nullptr;
    while (object root = next_item(it.get())) {
        object has_file = nrt::global(f, st._has_file);
        object marker = has_file ? nrt::global(f, st._CORE_MARKER) : object();
        int found = marker ? truth(nrt::call(has_file.get(), root.get(), marker.get())) : -1;
        if (found < 0) return nullptr;
        if (!found) continue;
        if (nrt::set_global(f, st._resolved_core_root, root.get()) < 0) return nullptr;
        if (!nrt::call_global(f, st._verify_if_present, root.get())) return nullptr;
        if (log(f, st, st.debug, st.t_log_found, root.get()) < 0) return nullptr;
        return root.release();
    }
    if (PyErr_Occurred()) return nullptr;
    if (nrt::set_global(f, st._resolved_core_root, Py_None) < 0) return nullptr;
    if (log(f, st, st.warning, st.t_log_not_found) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *resolve_core_models_root(Function *f, PyObject *const *) noexcept {
    State &st = nrt::state<State>(f);
    object cached = nrt::global(f, st._resolved_core_root);
    object unset = cached ? nrt::global(f, st._UNSET) : object();
    if (!unset) return nullptr;
    if (cached.get() != unset.get()) return cached.release();
    return search_core_root(f, st);
}

const nrt::FunctionDef resolve_core_models_root_def = {
    .name = "resolve_core_models_root",
    .doc = "Return the directory containing core ONNX artifacts, or None.\n\n"
           "    Searched in order:\n      * $NEROV_MODELS_DIR\n"
           "      * dev-mode ``packages/brain/models/``\n"
           "      * ``nerov_brain_models`` installed package\n    ",
    .return_annotation = "Optional[str]",
    .impl = resolve_core_models_root,
};

// ---------------------------------------------------------------------------
// resolve_artifact, resolve_artifact_dir

PyObject *resolve_artifact(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    object roots = nrt::call_global(f, st._iter_all_roots);
    if (!roots) return nullptr;
    return first_joined_where(f, st, roots.get(), args[0], st.exists, Probe::exists);
}

const nrt::Param resolve_artifact_params[] = {{"rel_path", "str"}};
const nrt::FunctionDef resolve_artifact_def = {
    .name = "resolve_artifact",
    .doc = "Return the absolute path for *rel_path* (e.g. ``\"policy_nli_int8.onnx\"``\n"
           "    or ``\"policy_nli_tokenizer\"``), or None if not found anywhere.",
    .params = resolve_artifact_params,
    .return_annotation = "Optional[str]",
    .impl = resolve_artifact,
};

PyObject *resolve_artifact_dir(Function *f, PyObject *const *args) noexcept {
    return nrt::call_global(f, nrt::state<State>(f).resolve_artifact, args[0]).release();
}

const nrt::Param resolve_artifact_dir_params[] = {{"dirname", "str"}};
const nrt::FunctionDef resolve_artifact_dir_def = {
    .name = "resolve_artifact_dir",
    .doc = "Resolve a directory artifact (e.g. tokenizer dir) by name.",
    .params = resolve_artifact_dir_params,
    .return_annotation = "Optional[str]",
    .impl = resolve_artifact_dir,
};

// ---------------------------------------------------------------------------
// Candidate roots

// `if pkg: roots.append(pkg)`.
int append_if_true(State &st, PyObject *roots, const object &pkg) noexcept {
    int found = truth(pkg);
    if (found <= 0) return found;
    if (PyList_CheckExact(roots)) return PyList_Append(roots, pkg.get());
    return nrt::call_method(roots, st.append, pkg.get()) ? 0 : -1;
}

PyObject *iter_core_roots(Function *f, PyObject *const *) noexcept {
    State &st = nrt::state<State>(f);
    object roots = nrt::steal(PyList_New(0));
    if (!roots) return nullptr;

    // The override, verbatim, when set and not empty.
    object env = environ_get(f, st, st.t_models_dir_env);
    if (append_if_true(st, roots.get(), env) < 0) return nullptr;

    // The development tree: "models" beside the module file, always listed.
    object join = os_path_attr(f, st, st.join);
    object dirname = join ? os_path_attr(f, st, st.dirname) : object();
    object abspath = dirname ? os_path_attr(f, st, st.abspath) : object();
    object file = abspath ? nrt::global(f, st.__file__) : object();
    object absolute = file ? nrt::call(abspath.get(), file.get()) : object();
    object directory = absolute ? path_dirname(st.fast, dirname.get(), absolute.get()) : object();
    if (!directory) return nullptr;
    object dev = path_join(st.fast, join.get(), directory.get(), st.t_models);
    if (!dev || PyList_Append(roots.get(), dev.get()) < 0) return nullptr;

    // The installed core models package.
    object pkg = nrt::call_global(f, st._find_package_dir, st.t_core_package);
    if (append_if_true(st, roots.get(), pkg) < 0) return nullptr;
    return roots.release();
}

const nrt::FunctionDef iter_core_roots_def = {
    .name = "_iter_core_roots",
    .doc = "Yield candidate root directories for core models.",
    .return_annotation = "Sequence[str]",
    .impl = iter_core_roots,
};

PyObject *iter_all_roots(Function *f, PyObject *const *) noexcept {
    State &st = nrt::state<State>(f);
    object list = nrt::global(f, st.list);
    object core_roots = list ? nrt::call_global(f, st._iter_core_roots) : object();
    object roots = core_roots ? nrt::call(list.get(), core_roots.get()) : object();
    if (!roots) return nullptr;
    object pkg = nrt::call_global(f, st._find_package_dir, st.t_nli_package);
    if (append_if_true(st, roots.get(), pkg) < 0) return nullptr;
    return roots.release();
}

const nrt::FunctionDef iter_all_roots_def = {
    .name = "_iter_all_roots",
    .doc = "Yield candidate root directories for any artifact (core + policy-nli).",
    .return_annotation = "Sequence[str]",
    .impl = iter_all_roots,
};

// The package stage of _find_package_dir: the directory that
// `importlib.resources` gives for the package, or a null object with no error
// set when the lookup does not give a plain directory.
object package_stage(Function *f, State &st, PyObject *package_name) noexcept {
    object ir = nrt::run_import(f, st.import_resources, st.ir);
    object files = ir ? nrt::getattr(ir.get(), st.files) : object();
    object ref = files ? nrt::call(files.get(), package_name) : object();
    if (!ref) return {};
    int on_disk = truth(nrt::call_global(f, st.hasattr, ref.get(), st.__fspath__));
    if (on_disk < 0) return {};
    if (on_disk) return nrt::call_global(f, st.str, ref.get());
    object path_type = nrt::global(f, st.Path);
    object text = path_type ? nrt::call_global(f, st.str, ref.get()) : object();
    object p = text ? nrt::call(path_type.get(), text.get()) : object();
    int is_dir = p ? truth(nrt::call_method(p.get(), st.is_dir)) : -1;
    if (is_dir <= 0) return {};
    return nrt::call_global(f, st.str, p.get());
}

PyObject *find_package_dir(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
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
    object sys_path = sys ? nrt::getattr(sys.get(), st.path) : object();
    if (!sys_path) return nullptr;
    return first_joined_where(f, st, sys_path.get(), package_name, st.isdir, Probe::isdir);
}

const nrt::Param find_package_dir_params[] = {{"package_name", "str"}};
const nrt::FunctionDef find_package_dir_def = {
    .name = "_find_package_dir",
    .doc = "Locate a top-level package directory using importlib.resources.",
    .params = find_package_dir_params,
    .return_annotation = "Optional[str]",
    .impl = find_package_dir,
};

PyObject *has_file(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    object isfile = os_path_attr(f, st, st.isfile);
    object join = isfile ? os_path_attr(f, st, st.join) : object();
    object joined = join ? path_join(st.fast, join.get(), args[0], args[1]) : object();
    if (!joined) return nullptr;
    return path_probe(st.fast, isfile.get(), joined.get(), Probe::isfile).release();
}

const nrt::Param has_file_params[] = {{"root", "str"}, {"filename", "str"}};
const nrt::FunctionDef has_file_def = {
    .name = "_has_file",
    .params = has_file_params,
    .return_annotation = "bool",
    .impl = has_file,
};

// ---------------------------------------------------------------------------
// Manifest verification

// Reads and parses `manifest_path`; a null object with an error set on failure.
object load_manifest(Function *f, State &st, PyObject *manifest_path) noexcept {
    object open = nrt::global(f, st.open);
    object file = open ? nrt::call_kw(open.get(), 2, st.kw_encoding, manifest_path, st.t_r,
                                      st.t_utf8)
                       : object();
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

enum class Check { done, corrupt, failed };

// Whether joining the manifest key `rel` (a str) onto the root may lead out
// of it: an absolute path, or one with a ".." part. Empty and "." parts stay
// inside, and symbolic links are followed as anywhere else in the root.
bool leaves_root(PyObject *rel) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(rel);
    if (n > 0 && PyUnicode_READ_CHAR(rel, 0) == '/') return true;
    for (Py_ssize_t i = 0; i + 1 < n; i++) {  // a ".." between slashes or the ends
        if (PyUnicode_READ_CHAR(rel, i) == '.' && PyUnicode_READ_CHAR(rel, i + 1) == '.' &&
            (i == 0 || PyUnicode_READ_CHAR(rel, i - 1) == '/') &&
            (i + 2 == n || PyUnicode_READ_CHAR(rel, i + 2) == '/')) {
            return true;
        }
    }
    return false;
}

// The members of "files" as (key, entry) tuples, from one `files.items()`;
// Check::corrupt when a key leads out of the root. Every key is looked at
// before any listed file is, so a manifest that names one outside its root
// opens nothing.
Check list_entries(State &st, PyObject *files, object &entries) noexcept {
    object items = nrt::call_method(files, st.items);
    entries = items ? nrt::steal(PySequence_List(items.get())) : object();
    if (!entries) return Check::failed;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); i++) {
        if (PyErr_CheckSignals() < 0) return Check::failed;
        object item = nrt::borrow(PyList_GET_ITEM(entries.get(), i));
        object rel, info;
        if (nrt::unpack(item.get(), rel, info) < 0) return Check::failed;
        if (!PyTuple_CheckExact(item.get())) {  // unpacked once only, as an item of items() is
            PyObject *pair = PyTuple_Pack(2, rel.get(), info.get());
            if (pair == nullptr || PyList_SetItem(entries.get(), i, pair) < 0) return Check::failed;
        }
        if (PyUnicode_Check(rel.get()) && leaves_root(rel.get())) return Check::corrupt;
    }
    return Check::done;
}

// Hashes every present listed file that carries a digest and collects the
// keys of those that differ or cannot be read into `bad`.
Check check_files(Function *f, State &st, PyObject *model_root, PyObject *files,
                  PyObject *bad) noexcept {
    object entries;
    if (Check listed = list_entries(st, files, entries); listed != Check::done) return listed;
    object it = nrt::steal(PyObject_GetIter(entries.get()));
    if (!it) return Check::failed;
    while (object item = next_item(it.get())) {
        object rel, info;
        if (nrt::unpack(item.get(), rel, info) < 0) return Check::failed;
        // A manifest never vouches for itself.
        int self = nrt::equal(rel.get(), st.t_manifest);
        if (self < 0) return Check::failed;
        if (self) continue;
        object join = os_path_attr(f, st, st.join);
        object fpath = join ? path_join(st.fast, join.get(), model_root, rel.get()) : object();
        object isfile = fpath ? os_path_attr(f, st, st.isfile) : object();
        int present = isfile ? truth(path_probe(st.fast, isfile.get(), fpath.get(), Probe::isfile))
                             : -1;
        if (present < 0) return Check::failed;
        if (!present) continue;
        if (!PyDict_Check(info.get())) return Check::corrupt;
        object expected = nrt::mapping_get(f, info.get(), st.sha256);
        int has_digest = truth(expected);
        if (has_digest < 0) return Check::failed;
        if (!has_digest) continue;
        object actual = nrt::call_global(f, st._sha256, fpath.get());
        int differs;
        if (actual) {
            differs = truth(nrt::steal(PyObject_RichCompare(actual.get(), expected.get(), Py_NE)));
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
    return PyErr_Occurred() ? Check::failed : Check::done;
}

// Records `model_root` in `_verified_roots`: 1 when it was new, 0 when it
// was there already, -1 on error. The name is read for the test and again for
// the addition, between which a set's own `__contains__` may have rebound it.
int first_visit(Function *f, State &st, PyObject *model_root) noexcept {
    object verified = nrt::global(f, st._verified_roots);
    int seen = verified ? PySequence_Contains(verified.get(), model_root) : -1;
    if (seen != 0) return seen > 0 ? 0 : -1;
    if (!(verified = nrt::global(f, st._verified_roots))) return -1;
    if (PySet_CheckExact(verified.get())) return PySet_Add(verified.get(), model_root) < 0 ? -1 : 1;
    return nrt::call_method(verified.get(), st.add, model_root) ? 1 : -1;
}

PyObject *verify_if_present(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    PyObject *model_root = args[0];
    int fresh = first_visit(f, st, model_root);
    if (fresh <= 0) return fresh < 0 ? nullptr : Py_NewRef(Py_None);

    object skip = environ_get(f, st, st.t_skip_check_env);
    int skipped = skip ? nrt::equal(skip.get(), st.t_one) : -1;
    if (skipped != 0) return skipped < 0 ? nullptr : Py_NewRef(Py_None);

    object join = os_path_attr(f, st, st.join);
    object manifest_path = join ? path_join(st.fast, join.get(), model_root, st.t_manifest)
                                : object();
    object isfile = manifest_path ? os_path_attr(f, st, st.isfile) : object();
    int present = isfile ? truth(path_probe(st.fast, isfile.get(), manifest_path.get(),
                                            Probe::isfile))
                         : -1;
    if (present <= 0) return present < 0 ? nullptr : Py_NewRef(Py_None);

    object manifest = load_manifest(f, st, manifest_path.get());
    if (!manifest && !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    Check result = Check::corrupt;
    object bad = nrt::steal(PyList_New(0));
    if (!bad) return nullptr;
    if (manifest && PyDict_Check(manifest.get())) {
        object empty = nrt::steal(PyDict_New());
        object files = empty ? nrt::mapping_get(f, manifest.get(), st.files, empty.get())
                             : object();
        if (!files) return nullptr;
        if (PyDict_Check(files.get())) result = check_files(f, st, model_root, files.get(), bad.get());
    }
    if (result == Check::failed) return nullptr;
    if (result == Check::corrupt) {
        if (log(f, st, st.warning, st.t_log_corrupt, model_root) < 0) return nullptr;
    } else if (PyList_GET_SIZE(bad.get()) != 0) {
        if (log(f, st, st.warning, st.t_log_mismatch, model_root, bad.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

const nrt::Param verify_if_present_params[] = {{"model_root", "str"}};
const nrt::FunctionDef verify_if_present_def = {
    .name = "_verify_if_present",
    .doc = "Verify manifest.json if present; log warnings on mismatch.",
    .params = verify_if_present_params,
    .return_annotation = "None",
    .impl = verify_if_present,
};

// ---------------------------------------------------------------------------
// Hashing

// Feeds the file to the hasher's `update` one `read(1 MiB)` block at a time
// until a read returns an empty block, both methods looked up for each block.
// Each block is a new object that `update` may keep. Pending signals are
// handled after every block, so that Ctrl-C stops a long hash within one block.
int hash_read_blocks(State &st, PyObject *file, PyObject *h) noexcept {
    for (;;) {
        object block = nrt::call_method(file, st.read, st.n_hash_block);
        int more = truth(block);
        if (more <= 0) return more;
        if (!nrt::call_method(h, st.update, block.get())) return -1;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

PyObject *sha256_file(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    object hashlib = nrt::global(f, st.hashlib);
    object h = hashlib ? nrt::call_method(hashlib.get(), st.sha256) : object();
    object open = h ? nrt::global(f, st.open) : object();
    object file = open ? nrt::call(open.get(), args[0], st.t_rb) : object();
    if (!file) return nullptr;
    // The standard hasher and file are read here directly, with the one
    // `update` that the type's own method always is.
    int in_place = shortcuts::hashes_in_place(st.fast, h.get(), file.get());
    object update = in_place > 0 ? nrt::getattr(h.get(), st.update) : object();
    if (in_place < 0 || (in_place && !update) ||
        (in_place ? shortcuts::hash_buffered_blocks(st.fast, file.get(), update.get())
                  : hash_read_blocks(st, file.get(), h.get())) < 0) {
        close_while_failing(st, file.get());
        return nullptr;
    }
    if (!nrt::call_method(file.get(), st.close)) return nullptr;
    return nrt::call_method(h.get(), st.hexdigest).release();
}

const nrt::Param sha256_params[] = {{"filepath", "str"}};
const nrt::FunctionDef sha256_def = {
    .name = "_sha256",
    .params = sha256_params,
    .return_annotation = "str",
    .impl = sha256_file,
};

// ---------------------------------------------------------------------------
// Manifest generation and writing

// The temporary files of write_manifest: ".manifest.json.<16 hex digits>.tmp"
// beside the destination, 64 random bits created exclusively, so one per
// writer in any thread or process. Walks never list them, so that a walk
// beside a writer neither lists one nor trips over one renamed away.
constexpr char kTempPrefix[] = ".manifest.json.";
constexpr char kTempSuffix[] = ".tmp";

object temp_manifest_path(Function *f, State &st, PyObject *model_dir) noexcept {
    object os = nrt::global(f, st.os);
    object eight = os ? nrt::steal(PyLong_FromLong(8)) : object();
    object noise = eight ? nrt::call_method(os.get(), st.urandom, eight.get()) : object();
    object hex = noise ? nrt::call_method(noise.get(), st.hex) : object();
    if (!hex) return {};
    object name = nrt::steal(PyUnicode_FromFormat("%s%S%s", kTempPrefix, hex.get(), kTempSuffix));
    object join = name ? os_path_attr(f, st, st.join) : object();
    return join ? path_join(st.fast, join.get(), model_dir, name.get()) : object();
}

// Whether the last component of the str `rel` has the shape of those names.
bool is_temp_manifest(PyObject *rel) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(rel), pre = sizeof kTempPrefix - 1;
    Py_ssize_t start = n;
    while (start > 0 && PyUnicode_READ_CHAR(rel, start - 1) != '/') start--;
    if (n - start != pre + 16 + Py_ssize_t(sizeof kTempSuffix - 1)) return false;
    for (Py_ssize_t at = 0; at < n - start; at++) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(rel, start + at);
        const bool fits = at < pre        ? c == static_cast<unsigned char>(kTempPrefix[at])
                          : at < pre + 16 ? (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')
                                          : c == static_cast<unsigned char>(kTempSuffix[at - pre - 16]);
        if (!fits) return false;
    }
    return true;
}

// `{"size": p.stat().st_size, "sha256": _sha256(str(p))}` of a walked file.
// Null with no error set when the file is gone since it was listed (it is
// then left out).
object manifest_entry(Function *f, State &st, PyObject *p) noexcept {
    object stat = nrt::call_method(p, st.stat);
    if (!stat) {
        vanished();
        return {};
    }
    object size = nrt::getattr(stat.get(), st.st_size);
    if (!size) return {};
    object sha = nrt::global(f, st._sha256);
    object text = sha ? nrt::call_global(f, st.str, p) : object();
    object digest = text ? nrt::call(sha.get(), text.get()) : object();
    if (!digest) {
        vanished();
        return {};
    }
    object entry = nrt::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), st.t_size, size.get()) < 0 ||
        PyDict_SetItem(entry.get(), st.sha256, digest.get()) < 0) {
        return {};
    }
    return entry;
}

PyObject *generate_manifest(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    PyObject *model_dir = args[0];
    object manifest = nrt::steal(PyDict_New());
    object files = nrt::steal(PyDict_New());
    if (!manifest || !files) return nullptr;
    if (PyDict_SetItem(manifest.get(), st.t_version, args[1]) < 0) return nullptr;
    if (PyDict_SetItem(manifest.get(), st.files, files.get()) < 0) return nullptr;

    object base = nrt::call_global(f, st.Path, model_dir);
    object sorted = base ? nrt::global(f, st.sorted) : object();
    object walk = sorted ? nrt::call_method(base.get(), st.rglob, st.t_star) : object();
    object entries = walk ? nrt::call(sorted.get(), walk.get()) : object();
    object it = entries ? nrt::steal(PyObject_GetIter(entries.get())) : object();
    if (!it) return nullptr;
    while (object p = next_item(it.get())) {
        int regular = truth(nrt::call_method(p.get(), st.is_file));
        if (regular < 0) return nullptr;
        if (!regular) continue;
        object relative = nrt::call_method(p.get(), st.relative_to, base.get());
        object rel = relative ? nrt::call_method(relative.get(), st.as_posix) : object();
        if (!rel) return nullptr;
        // The manifest itself is rewritten after the walk; never list it,
        // nor the files a writer replaces it with.
        int self = nrt::equal(rel.get(), st.t_manifest);
        if (self < 0) return nullptr;
        if (self || (PyUnicode_Check(rel.get()) && is_temp_manifest(rel.get()))) continue;
        object entry = manifest_entry(f, st, p.get());
        if (!entry) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        if (PyDict_SetItem(files.get(), rel.get(), entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return manifest.release();
}

const nrt::Param manifest_params[] = {{"model_dir", "str"}, {"version", "str"}};
const nrt::FunctionDef generate_manifest_def = {
    .name = "generate_manifest",
    .doc = "Walk *model_dir*, hash every file, return a manifest dict.",
    .params = manifest_params,
    .return_annotation = "dict",
    .impl = generate_manifest,
};

// json.dump into the open temporary file, close it, move it onto `dest`.
int commit_manifest(Function *f, State &st, PyObject *manifest, PyObject *file, PyObject *temp,
                    PyObject *dest) noexcept {
    object json = nrt::global(f, st.json);
    object dump = json ? nrt::getattr(json.get(), st.dump) : object();
    object two = dump ? nrt::steal(PyLong_FromLong(2)) : object();
    if (!two || !nrt::call_kw(dump.get(), 2, st.kw_json_dump, manifest, file, two.get(), Py_True)) {
        return -1;
    }
    if (!nrt::call_method(file, st.close)) return -1;
    object os = nrt::global(f, st.os);
    return os && nrt::call_method(os.get(), st.replace, temp, dest) ? 0 : -1;
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

PyObject *write_manifest(Function *f, PyObject *const *args) noexcept {
    State &st = nrt::state<State>(f);
    PyObject *model_dir = args[0];
    object manifest = nrt::call_global(f, st.generate_manifest, model_dir, args[1]);
    object join = manifest ? os_path_attr(f, st, st.join) : object();
    object dest = join ? path_join(st.fast, join.get(), model_dir, st.t_manifest) : object();
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
    .name = "write_manifest",
    .doc = "Generate and write manifest.json into *model_dir*. Returns the path.",
    .params = manifest_params,
    .return_annotation = "str",
    .impl = write_manifest,
};

// ---------------------------------------------------------------------------
// Status report

constexpr char kCoreLine[] = "  Core models  : {}";
constexpr char kArtifactLine[] = "  {}: {}";  // the name padded to 30 characters

// `print(line)`, `print` looked up before the line (a constant, or made by
// calling `line`) is made, as a call's target is found before its argument.
template <class Line>
int print_line(Function *f, State &st, Line &&line) noexcept {
    object print = nrt::global(f, st.print);
    if (!print) return -1;
    object text;
    if constexpr (std::is_invocable_v<Line &>) {
        text = line();
    } else {
        text = nrt::borrow(line);
    }
    return text && nrt::call(print.get(), text.get()) ? 0 : -1;
}

PyObject *cli_download(Function *f, PyObject *const *) noexcept {
    State &st = nrt::state<State>(f);
    if (print_line(f, st, st.t_banner) < 0) return nullptr;

    object core = nrt::call_global(f, st.resolve_core_models_root);
    int found = truth(core);
    if (found < 0) return nullptr;
    if (found) {
        auto line = [&] { return nrt::fstring(st.core_line, core); };
        if (print_line(f, st, line) < 0) return nullptr;
    } else {
        if (print_line(f, st, st.t_core_missing) < 0) return nullptr;
        if (print_line(f, st, st.t_install_hint) < 0) return nullptr;
    }

    for (PyObject *name : {st.t_nli_marker, st.t_tokenizer}) {
        object path = nrt::call_global(f, st.resolve_artifact, name);
        int exists = truth(path);
        if (exists < 0) return nullptr;
        object tag = exists ? path : nrt::borrow(st.t_not_found);
        auto field = [&] { return nrt::steal(PyObject_Format(name, st.t_name_width)); };
        auto line = [&] { return nrt::fstring(st.artifact_line, field, tag); };
        if (print_line(f, st, line) < 0) return nullptr;
    }

    if (print_line(f, st, st.t_override_hint) < 0) return nullptr;
    Py_RETURN_NONE;
}

const nrt::FunctionDef cli_download_def = {
    .name = "cli_download",
    .doc = "Print model resolution status for the current environment.",
    .return_annotation = "None",
    .impl = cli_download,
};

// ---------------------------------------------------------------------------
// Module

int bind(PyObject *ns, PyObject *name, const object &value) noexcept {
    return value ? PyDict_SetItem(ns, name, value.get()) : -1;
}

int exec_module(PyObject *module) noexcept {
    State &st = nrt::state<State>(module);
    if (nrt::runtime_init(module) < 0 || st.intern_strings() < 0) return -1;
    if ((st.kw_encoding = PyTuple_Pack(1, st.encoding)) == nullptr) return -1;
    if ((st.kw_json_dump = PyTuple_Pack(2, st.indent, st.sort_keys)) == nullptr) return -1;
    if ((st.n_hash_block = PyLong_FromSsize_t(shortcuts::kHashBlock)) == nullptr) return -1;
    if (!(st.core_line = nrt::message(kCoreLine).release()) ||
        !(st.artifact_line = nrt::message(kArtifactLine).release()) ||
        !(st.import_resources = nrt::import_statement("import importlib.resources as ir").release())) {
        return -1;
    }
    PyObject *ns = PyModule_GetDict(module);

    // The module body's imports, each run as the body runs it: the first that
    // fails is the error.
    for (const char *statement : {"import hashlib", "import json", "import logging", "import os",
                                  "import sys", "from pathlib import Path",
                                  "from typing import List, Optional, Sequence"}) {
        if (nrt::run_import(ns, statement) < 0) return -1;
    }
    object hashlib = nrt::steal(PyImport_Import(st.hashlib));
    object logging = hashlib ? nrt::steal(PyImport_Import(st.logging)) : object();
    object os = logging ? nrt::steal(PyImport_Import(st.os)) : object();
    if (!os) return -1;
    if (shortcuts::capture(st.fast, os.get(), hashlib.get()) < 0) return -1;

    // logger = logging.getLogger(__name__)
    PyObject *module_name;
    if (int found = PyDict_GetItemRef(ns, st.__name__, &module_name); found <= 0) {
        if (found == 0) nrt::raise_name_error(st.__name__);
        return -1;
    }
    object name_ref = nrt::steal(module_name);
    if (bind(ns, st.logger, nrt::call_method(logging.get(), st.getLogger, module_name)) < 0) {
        return -1;
    }

    // MODELS_VERSION = os.getenv("NEROV_MODELS_VERSION", "1.0.1")
    object version = nrt::call_method(os.get(), st.getenv, st.t_version_env, st.t_version_default);
    if (bind(ns, st.MODELS_VERSION, version) < 0) return -1;

    if (bind(ns, st._CORE_MARKER, nrt::borrow(st.t_core_marker)) < 0) return -1;
    if (bind(ns, st._POLICY_NLI_MARKER, nrt::borrow(st.t_nli_marker)) < 0) return -1;
    object unset = nrt::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (bind(ns, st._UNSET, unset) < 0) return -1;
    if (bind(ns, st._resolved_core_root, unset) < 0) return -1;
    if (bind(ns, st._resolved_policy_nli, unset) < 0) return -1;

    for (const nrt::FunctionDef *def :
         {&resolve_core_models_root_def, &resolve_artifact_def, &resolve_artifact_dir_def,
          &iter_core_roots_def, &iter_all_roots_def, &find_package_dir_def, &has_file_def}) {
        if (nrt::add_function(module, *def) < 0) return -1;
    }
    if (bind(ns, st._verified_roots, nrt::steal(PySet_New(nullptr))) < 0) return -1;
    for (const nrt::FunctionDef *def : {&verify_if_present_def, &sha256_def,
                                          &generate_manifest_def, &write_manifest_def,
                                          &cli_download_def}) {
        if (nrt::add_function(module, *def) < 0) return -1;
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
