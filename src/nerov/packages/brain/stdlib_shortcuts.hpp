// stdlib_shortcuts.hpp: answers that artifax would otherwise ask the standard
// library for (os.path's join, dirname and probes, a buffered file fed to the
// standard SHA-256), computed here
// directly while the functions and types found at call time are still the
// standard ones recorded at import. Anything else is simply called.
#pragma once

#include "nrt.hpp"

namespace shortcuts {

constexpr Py_ssize_t kHashBlock = 1 << 20;  // files are hashed in blocks of at most 1 MiB

#define SHORTCUTS_STRINGS(N, T)                                                              \
    N(io) N(os) N(path) N(stat) N(join) N(dirname) N(exists) N(isfile) N(isdir) N(read) \
    N(readinto1) N(raw) N(sha256) N(BufferedReader) N(BytesIO) N(FileIO)

// The standard objects as recorded at import; strong references only, null
// where a shortcut cannot apply.
struct Standard {
    NRT_STRINGS(SHORTCUTS_STRINGS)
    PyObject *std_join, *std_dirname, *std_exists, *std_isfile, *std_isdir;  // os.path's
    PyObject *std_stat;             // os.stat
    PyObject *std_probe_globals;    // the namespace the probes find `os` in
    PyObject *std_buffered_reader;  // io.BufferedReader, what open(path, "rb") gives
    PyObject *std_readinto1;        // its readinto1
    PyObject *std_read;             // a reader's bound read
    PyObject *std_file_io;          // io.FileIO, the raw file beneath it
    PyObject *std_sha256_type;      // the type of hashlib.sha256() objects
};

// Records the standard objects; -1 with an error set.
int capture(Standard &sd, PyObject *os, PyObject *hashlib) noexcept;

// `join(a, b)`, `dirname(p)` and `probe(path)` for the `os.path` functions
// found now.
nrt::object path_join(Standard &sd, PyObject *join, PyObject *a, PyObject *b) noexcept;
nrt::object path_dirname(Standard &sd, PyObject *dirname, PyObject *p) noexcept;
enum class Probe { exists, isfile, isdir };
nrt::object path_probe(Standard &sd, PyObject *probe, PyObject *path, Probe kind) noexcept;

// Whether `hash` is the standard SHA-256 object, which keeps nothing it is
// given, and `file` the standard buffered reader over a plain file, with its
// own `read`: 1 or 0, -1 with an error set.
int hashes_in_place(Standard &sd, PyObject *hash, PyObject *file) noexcept;
// Feeds `file` to `update` through one reused buffer; 0, or -1 with an error set.
int hash_buffered_blocks(Standard &sd, PyObject *file, PyObject *update) noexcept;

}  // namespace shortcuts
