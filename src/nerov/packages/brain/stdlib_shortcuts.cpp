// stdlib_shortcuts.cpp: the direct answers, and the checks that they are
// still the standard library's.
#include "stdlib_shortcuts.hpp"

#include <cstring>
#include <sys/stat.h>

namespace shortcuts {

using nrt::object;

namespace {

constexpr Py_ssize_t kFirstBlock = 1 << 16;  // the first read of a file

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

// Whether `os.stat`, for the `os` that `globals` holds, is still the one
// recorded at import: 1 or 0, -1 with an error set.
int os_stat_is_standard(Standard &sd, PyObject *globals) noexcept {
    PyObject *os;
    int r = PyDict_GetItemRef(globals, sd.os, &os);
    if (r <= 0) return r;
    object os_ref = nrt::steal(os);
    object stat_fn = nrt::steal(PyObject_GetAttr(os, sd.stat));
    if (!stat_fn) PyErr_Clear();
    return stat_fn && stat_fn.get() == sd.std_stat ? 1 : 0;
}

// stat() of a str path as os.stat takes it: 1 with `*sb` filled, 0 when
// os.stat would raise (OSError, or ValueError for text it refuses), -1 with
// an error set.
int stat_text(PyObject *path, struct stat *sb) noexcept {
    object encoded = nrt::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {  // text the file system encoding cannot take
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    const char *bytes = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(bytes) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))) {
        return 0;  // an embedded null character
    }
    int failed;
    Py_BEGIN_ALLOW_THREADS
    failed = ::stat(bytes, sb);
    Py_END_ALLOW_THREADS
    return failed == 0 ? 1 : 0;
}

// The answer of the standard probe for a str path without calling it:
// 1 or 0, -1 with an error set, or -2 when the probe has to be called.
int probe_directly(Standard &sd, PyObject *path, Probe kind) noexcept {
    if (sd.std_probe_globals == nullptr || !PyUnicode_CheckExact(path)) return -2;
    // The standard probes call `os.stat` and answer False where it raises.
    int standard = os_stat_is_standard(sd, sd.std_probe_globals);
    if (standard <= 0) return standard < 0 ? -1 : -2;
    struct stat sb;
    int found = stat_text(path, &sb);
    if (found <= 0) return found;
    switch (kind) {
    case Probe::isfile: return S_ISREG(sb.st_mode) ? 1 : 0;
    case Probe::isdir: return S_ISDIR(sb.st_mode) ? 1 : 0;
    case Probe::exists: break;
    }
    return 1;
}

}  // namespace

object path_join(Standard &sd, PyObject *join, PyObject *a, PyObject *b) noexcept {
    if (join == sd.std_join && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return join_str(a, b);
    }
    return nrt::call(join, a, b);
}

// os.path.dirname(p) of a str: up to the last "/", trailing slashes removed
// unless the head is nothing but slashes.
object path_dirname(Standard &sd, PyObject *dirname, PyObject *p) noexcept {
    if (dirname != sd.std_dirname || !PyUnicode_CheckExact(p)) return nrt::call(dirname, p);
    Py_ssize_t last = PyUnicode_FindChar(p, '/', 0, PyUnicode_GET_LENGTH(p), -1);
    if (last == -2) return {};
    Py_ssize_t end = last + 1;
    Py_ssize_t keep = end;
    while (keep > 0 && PyUnicode_READ_CHAR(p, keep - 1) == '/') keep--;
    return nrt::steal(PyUnicode_Substring(p, 0, keep > 0 ? keep : end));
}

object path_probe(Standard &sd, PyObject *probe, PyObject *path, Probe kind) noexcept {
    PyObject *standard = kind == Probe::exists ? sd.std_exists
                         : kind == Probe::isfile ? sd.std_isfile : sd.std_isdir;
    if (probe == standard) {
        int r = probe_directly(sd, path, kind);
        if (r == -1) return {};
        if (r >= 0) return nrt::borrow(r ? Py_True : Py_False);
    }
    return nrt::call(probe, path);
}

int hashes_in_place(Standard &sd, PyObject *hash, PyObject *file) noexcept {
    if (!Py_IS_TYPE(hash, reinterpret_cast<PyTypeObject *>(sd.std_sha256_type)) ||
        !Py_IS_TYPE(file, reinterpret_cast<PyTypeObject *>(sd.std_buffered_reader))) {
        return 0;
    }
    // `file.read` is the reader's own, as getattr() finds it (an attribute of
    // the file's own by that name may be anything else)...
    object read = nrt::getattr(file, sd.read);
    if (!read) return -1;
    if (!PyCFunction_Check(read.get()) || PyCFunction_GetSelf(read.get()) != file ||
        PyCFunction_GetFunction(read.get()) != PyCFunction_GetFunction(sd.std_read)) {
        return 0;
    }
    // ...and the raw file beneath it, which sees the buffer, keeps nothing.
    object raw = nrt::getattr(file, sd.raw);
    if (!raw) return -1;
    return Py_IS_TYPE(raw.get(), reinterpret_cast<PyTypeObject *>(sd.std_file_io)) ? 1 : 0;
}

// Each block is read straight into one reusable buffer with the reader's own
// `readinto1` (one read of the underlying file per block, so a small file
// takes one read and the empty one). The first buffer is small, which most
// model-side files (configs, vocabularies) fit; once a read fills it, a 1 MiB
// buffer takes over. A short block is copied out. Pending signals are
// handled after every block.
int hash_buffered_blocks(Standard &sd, PyObject *file, PyObject *update) noexcept {
    Py_ssize_t size = kFirstBlock;
    object buffer = nrt::steal(PyByteArray_FromStringAndSize(nullptr, size));
    if (!buffer) return -1;
    for (;;) {
        object got = nrt::call(sd.std_readinto1, file, buffer.get());
        if (!got) return -1;
        if (got.get() == Py_None) return 0;  // would block: as the empty block of read()
        Py_ssize_t n = PyLong_AsSsize_t(got.get());
        if (n == -1 && PyErr_Occurred()) return -1;
        if (n == 0) return 0;
        if (n < 0 || n > size) {
            PyErr_Format(PyExc_SystemError, "readinto1() returned %zd outside 0..%zd", n, size);
            return -1;
        }
        object block = n == size ? buffer
                                 : nrt::steal(PyBytes_FromStringAndSize(
                                       PyByteArray_AS_STRING(buffer.get()), n));
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

int capture(Standard &sd, PyObject *os, PyObject *hashlib) noexcept {
    if (sd.intern_strings() < 0) return -1;
    object io = nrt::steal(PyImport_Import(sd.io));
    if (!io || !(sd.std_buffered_reader = PyObject_GetAttr(io.get(), sd.BufferedReader)) ||
        !(sd.std_file_io = PyObject_GetAttr(io.get(), sd.FileIO))) {
        return -1;
    }
    if (!PyType_Check(sd.std_buffered_reader) || !PyType_Check(sd.std_file_io)) {
        PyErr_SetString(PyExc_TypeError, "io.BufferedReader and io.FileIO must be types");
        return -1;
    }
    sd.std_readinto1 = PyObject_GetAttr(sd.std_buffered_reader, sd.readinto1);
    if (!sd.std_readinto1) return -1;
    // The bound `read` of a reader, whose C function every reader's own `read` has.
    object bytes_io = nrt::call_method(io.get(), sd.BytesIO);
    object sample = bytes_io ? nrt::call(sd.std_buffered_reader, bytes_io.get()) : object();
    if (!sample || !(sd.std_read = PyObject_GetAttr(sample.get(), sd.read))) return -1;
    if (!PyCFunction_Check(sd.std_read)) {
        PyErr_SetString(PyExc_TypeError, "io.BufferedReader.read must be a built-in method");
        return -1;
    }
    object h = nrt::call_method(hashlib, sd.sha256);
    if (!h) return -1;
    sd.std_sha256_type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(h.get())));

    // The probes are answered directly only when all three are the plain
    // functions that call `os.stat` from one module namespace.
    object path = nrt::getattr(os, sd.path);
    if (!path) return -1;
    PyObject **functions[][2] = {{&sd.std_join, &sd.join},   {&sd.std_dirname, &sd.dirname},
                                 {&sd.std_exists, &sd.exists}, {&sd.std_isfile, &sd.isfile},
                                 {&sd.std_isdir, &sd.isdir}};
    for (auto &fn : functions) {
        if ((*fn[0] = PyObject_GetAttr(path.get(), *fn[1])) == nullptr) return -1;
    }
    if ((sd.std_stat = PyObject_GetAttr(os, sd.stat)) == nullptr) return -1;
    PyObject *globals = nullptr;
    bool plain = true;
    for (PyObject *fn : {sd.std_exists, sd.std_isfile, sd.std_isdir}) {
        PyObject *g = PyFunction_Check(fn) ? PyFunction_GetGlobals(fn) : nullptr;
        if (g == nullptr || (globals != nullptr && g != globals)) plain = false;
        globals = g;
    }
    if (plain) sd.std_probe_globals = Py_NewRef(globals);
    return 0;
}

}  // namespace shortcuts
