// text.cpp: f-string rendering and joining. Values of the common built-in
// types are rendered here directly, with the text the interpreter gives them.
#include "nrt.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace nrt {

namespace {

// repr() of a finite float, written as ASCII at `out` (room for 31 chars):
// the shortest digits that read back as the same value, laid out as the
// interpreter lays them out (fixed notation for decimal exponents from -4 to
// 16, else d.ddde+XX; ".0" after an integral value). Returns the length, or
// -1 with an error set.
int float_ascii(double x, char *out) noexcept {
    const double magnitude = std::fabs(x);
    if (magnitude >= 1e-4 && magnitude < 1e16) {
        // The shortest fixed digits are the shortest digits, laid out.
        auto [end, ec] = std::to_chars(out, out + 29, x, std::chars_format::fixed);
        if (ec != std::errc()) {
            PyErr_SetString(PyExc_SystemError, "float formatting failed");
            return -1;
        }
        if (std::memchr(out, '.', static_cast<std::size_t>(end - out)) == nullptr) {
            *end++ = '.';
            *end++ = '0';
        }
        return static_cast<int>(end - out);
    }
    char sci[32];
    auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    if (ec != std::errc()) {
        PyErr_SetString(PyExc_SystemError, "float formatting failed");
        return -1;
    }
    const char *p = sci;
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
        o = std::to_chars(o, out + 31, e).ptr;
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
    return static_cast<int>(o - out);
}

// A str of ASCII characters.
object ascii_str(const char *text, Py_ssize_t n) noexcept {
    object out = steal(PyUnicode_New(n, 127));
    if (out) std::memcpy(PyUnicode_1BYTE_DATA(out.get()), text, static_cast<std::size_t>(n));
    return out;
}

// repr() of a float.
object float_text(double x) noexcept {
    if (std::isnan(x)) return ascii_str("nan", 3);
    if (std::isinf(x)) return x > 0 ? ascii_str("inf", 3) : ascii_str("-inf", 4);
    char out[31];
    int n = float_ascii(x, out);
    return n < 0 ? object() : ascii_str(out, n);
}

// Whether repr() of a str is the str in single quotes: no escapes, no quote.
bool plain_ascii(PyObject *s) noexcept {
    if (!PyUnicode_IS_ASCII(s)) return false;
    static constexpr auto kEscaped = [] {
        std::array<bool, 128> t{};
        for (int c = 0; c < 0x20; c++) t[c] = true;
        t[0x7f] = t['\\'] = t['\''] = true;
        return t;
    }();
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s);
    bool escaped = false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; i++) escaped |= kEscaped[c[i]];
    return !escaped;
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
    if (n == 0) return ascii_str("[]", 2);
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
        if (PyUnicode_KIND(piece) == kind) {
            std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(piece),
                        static_cast<std::size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(out.get(), at, piece, 0, len) < 0) {
            return {};
        }
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

namespace detail {

bool render(PyObject *value, Rendered &out) noexcept {
    if (value == nullptr) return false;
    if (PyFloat_CheckExact(value)) {
        double x = PyFloat_AS_DOUBLE(value);
        if (std::isfinite(x)) {
            int n = float_ascii(x, out.ascii);
            if (n < 0) return false;
            out.ascii_len = static_cast<unsigned char>(n);
            return true;
        }
    }
    out.keep = format(value);
    out.text = out.keep.get();
    return out.text != nullptr;
}

object join(const Rendered *fields, std::size_t n) noexcept {
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
        Py_ssize_t len = PyUnicode_GET_LENGTH(t);
        if (len == 0) continue;
        if (PyUnicode_KIND(t) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(t), static_cast<std::size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(out.get(), at, t, 0, len) < 0) {
            return {};
        }
        at += len;
    }
    return out;
}

}  // namespace detail

}  // namespace nrt
