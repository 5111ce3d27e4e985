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
    object pieces = steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    object nothing = pieces ? steal(PyUnicode_New(0, 0)) : object();
    if (!nothing) return {};
    for (std::size_t i = 0; i < n; i++) {
        Rendered &field = fields[i];
        if (field.text == nullptr) {
            if (field.keep) {  // a list of str
                field.keep = steal(PyObject_Repr(field.keep.get()));
            } else {
                char ascii[32];
                int len = float_ascii(field.number, ascii);
                field.keep = len < 0 ? object() : steal(PyUnicode_FromStringAndSize(ascii, len));
            }
            if ((field.text = field.keep.get()) == nullptr) return {};
        }
        PyTuple_SET_ITEM(pieces.get(), static_cast<Py_ssize_t>(i), Py_NewRef(field.text));
    }
    return steal(PyUnicode_Join(nothing.get(), pieces.get()));
}

}  // namespace detail

}  // namespace nrt
