// text.cpp: f-string rendering and joining. Values of the common built-in
// types are rendered here directly, with the text the interpreter gives them.
#include "nrt.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace nrt {

namespace {

// repr() of a float: the shortest digits that read back as the same value,
// laid out as the interpreter lays them out (fixed notation for decimal
// exponents from -4 to 16, else d.ddde+XX; ".0" after an integral value).
object float_text(double x) noexcept {
    if (std::isnan(x)) return steal(PyUnicode_FromStringAndSize("nan", 3));
    if (std::isinf(x)) return steal(PyUnicode_FromString(x > 0 ? "inf" : "-inf"));
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
    return steal(PyUnicode_FromStringAndSize(out, o - out));
}

// Whether repr() of a str is the str in single quotes: no escapes, no quote.
bool plain_ascii(PyObject *s) noexcept {
    if (!PyUnicode_IS_ASCII(s)) return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; i++) {
        if (c[i] < 0x20 || c[i] == 0x7f || c[i] == '\\' || c[i] == '\'') return false;
    }
    return true;
}

bool all_exact_str(PyObject *list) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) return false;
    }
    return true;
}

// repr() of a list whose items are all exact str (no user code can run).
object str_list_text(PyObject *list) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) return steal(PyUnicode_FromStringAndSize("[]", 2));
    constexpr Py_ssize_t kInline = 16;
    if (n > kInline) return steal(PyObject_Repr(list));
    object quoted[kInline];
    Py_ssize_t length = 2 + 2 * (n - 1);
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (plain_ascii(item)) {
            length += PyUnicode_GET_LENGTH(item) + 2;
            continue;
        }
        quoted[i] = steal(PyObject_Repr(item));
        if (!quoted[i]) return {};
        length += PyUnicode_GET_LENGTH(quoted[i].get());
        Py_UCS4 c = PyUnicode_MAX_CHAR_VALUE(quoted[i].get());
        if (c > maxchar) maxchar = c;
    }
    object out = steal(PyUnicode_New(length, maxchar));
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

}  // namespace

// For the exact built-in types below, format() with an empty format string
// is their str(), made here directly where that is cheaper.
object format(PyObject *value) noexcept {
    if (PyUnicode_CheckExact(value)) return borrow(value);
    if (PyFloat_CheckExact(value)) return float_text(PyFloat_AS_DOUBLE(value));
    if (PyList_CheckExact(value) && all_exact_str(value)) return str_list_text(value);
    if (PyLong_CheckExact(value) || PyList_CheckExact(value) || PyBool_Check(value) ||
        value == Py_None || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
        return steal(PyObject_Str(value));
    }
    return steal(PyObject_Format(value, nullptr));
}

object join(PyObject *const *pieces, std::size_t n) noexcept {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (std::size_t i = 0; i < n; i++) {
        PyObject *p = pieces[i];
        if (p == nullptr) return {};
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (len > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return {};
        }
        length += len;
        Py_UCS4 c = PyUnicode_MAX_CHAR_VALUE(p);
        if (c > maxchar) maxchar = c;
    }
    object out = steal(PyUnicode_New(length, maxchar));
    if (!out) return {};
    const int kind = PyUnicode_KIND(out.get());
    char *data = static_cast<char *>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; i++) {
        PyObject *p = pieces[i];
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (len == 0) continue;
        if (PyUnicode_KIND(p) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(p), static_cast<std::size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(out.get(), at, p, 0, len) < 0) {
            return {};
        }
        at += len;
    }
    return out;
}

}  // namespace nrt
