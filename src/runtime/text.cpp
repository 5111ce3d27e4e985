// text.cpp: messages and f-strings: their pieces, their values rendered as
// format() renders them (a float written out here, as repr() writes it), and
// the joined text.
#include "nrt.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace nrt {

namespace {

// repr() of a float, written as ASCII at `out` (room for 31 chars): the
// shortest digits that read back as the same value, in fixed notation for
// magnitudes from 1e-4 up to 1e16 (with ".0" after an integral value), else
// as d.ddde+XX, which is how the shortest scientific form is written too.
// Returns the length, or -1 with an error set.
int float_ascii(double x, char *out) noexcept {
    if (std::isnan(x)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    if (std::isinf(x)) {
        const int n = x > 0 ? 3 : 4;
        std::memcpy(out, x > 0 ? "inf" : "-inf", n);
        return n;
    }
    const double magnitude = std::fabs(x);
    const bool fixed = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
    auto [end, ec] = std::to_chars(out, out + 29, x,
                                   fixed ? std::chars_format::fixed : std::chars_format::scientific);
    if (ec != std::errc()) {
        PyErr_SetString(PyExc_SystemError, "float formatting failed");
        return -1;
    }
    if (fixed && std::memchr(out, '.', static_cast<std::size_t>(end - out)) == nullptr) {
        *end++ = '.';
        *end++ = '0';
    }
    return static_cast<int>(end - out);
}

// Copies the str `piece` into `out` (its kind and data given) at `at`; -1
// with an error set.
int copy_into(PyObject *out, int kind, void *data, Py_ssize_t at, PyObject *piece) noexcept {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
    if (PyUnicode_KIND(piece) != kind) return PyUnicode_CopyCharacters(out, at, piece, 0, len) < 0 ? -1 : 0;
    std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(piece),
                static_cast<std::size_t>(len) * kind);
    return 0;
}

}  // namespace

object message(const char *sentence) noexcept {
    object pieces = steal(PyList_New(0));
    if (!pieces) return {};
    for (const char *start = sentence;;) {
        const char *field = std::strstr(start, "{}");
        const std::size_t n = field ? static_cast<std::size_t>(field - start) : std::strlen(start);
        object piece = steal(PyUnicode_DecodeUTF8(start, static_cast<Py_ssize_t>(n), nullptr));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return {};
        if (field == nullptr) return steal(PyList_AsTuple(pieces.get()));
        start = field + 2;
    }
}

namespace detail {

bool render(PyObject *value, Rendered &out) noexcept {
    if (value == nullptr) return false;
    if (PyUnicode_CheckExact(value)) {
        out.text = value;
        return true;
    }
    if (PyFloat_CheckExact(value)) {
        out.number = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyList_CheckExact(value)) {  // its repr() runs no code while every item is a str
        bool all_str = true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); i++) {
            all_str = all_str && PyUnicode_CheckExact(PyList_GET_ITEM(value, i));
        }
        if (all_str) {
            out.keep = steal(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
            return bool(out.keep);
        }
    }
    out.keep = steal(PyObject_Format(value, nullptr));  // format(value, "")
    out.text = out.keep.get();
    return out.text != nullptr;
}

object finish(Rendered *fields, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; i++) {
        if (fields[i].text != nullptr) continue;
        if (fields[i].keep) {
            fields[i].keep = steal(PyObject_Repr(fields[i].keep.get()));
            if (!(fields[i].text = fields[i].keep.get())) return {};
            continue;
        }
        int len = float_ascii(fields[i].number, fields[i].ascii);
        if (len < 0) return {};
        fields[i].ascii_len = static_cast<unsigned char>(len);
    }
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (std::size_t i = 0; i < n; i++) {
        PyObject *t = fields[i].text;
        Py_ssize_t len = t ? PyUnicode_GET_LENGTH(t) : fields[i].ascii_len;
        if (len > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return {};
        }
        length += len;
        Py_UCS4 c = t ? PyUnicode_MAX_CHAR_VALUE(t) : 127;
        if (c > maxchar) maxchar = c;
    }
    object out = steal(PyUnicode_New(length, maxchar));
    if (!out) return {};
    const int kind = PyUnicode_KIND(out.get());
    char *data = static_cast<char *>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; i++) {
        PyObject *t = fields[i].text;
        if (t == nullptr) {
            const char *a = fields[i].ascii;
            const Py_ssize_t len = fields[i].ascii_len;
            if (kind == PyUnicode_1BYTE_KIND) {
                std::memcpy(data + at, a, static_cast<std::size_t>(len));
            } else {
                for (Py_ssize_t j = 0; j < len; j++) PyUnicode_WRITE(kind, data, at + j, a[j]);
            }
            at += len;
            continue;
        }
        if (copy_into(out.get(), kind, data, at, t) < 0) return {};
        at += PyUnicode_GET_LENGTH(t);
    }
    return out;
}

}  // namespace detail

}  // namespace nrt
