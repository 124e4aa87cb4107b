#include "cpython.hpp"

#include <cstring>

namespace quellor {

// =============================================================================================
// Argument binding

namespace {

// Index of the parameter named by the str `key`, or -1.
Py_ssize_t param_index(const Signature& sig, PyObject* key) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (!name) {
        PyErr_Clear();
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (std::strlen(sig.params[i]) == static_cast<std::size_t>(size) && std::memcmp(sig.params[i], name, size) == 0)
            return i;
    return -1;
}

int too_many_positional(const Signature& sig, Py_ssize_t nargs) {
    PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional argument%s (%zd given)", sig.name, sig.count,
                 sig.count == 1 ? "" : "s", nargs);
    return -1;
}

int no_keywords(const Signature& sig) {
    PyErr_Format(PyExc_TypeError, "%s takes no keyword arguments", sig.name);
    return -1;
}

// Places one keyword argument. Returns 0, or -1 with TypeError set.
int place_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return -1;
    }
    const Py_ssize_t i = param_index(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s", key, sig.name);
        return -1;
    }
    if (i < nargs) {
        PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%s') and position (%zd)", sig.name,
                     sig.params[i], i + 1);
        return -1;
    }
    out[i] = value;
    return 0;
}

int check_required(const Signature& sig, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zd)", sig.name, sig.params[i],
                         i + 1);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        if (sig.positional_only) return no_keywords(sig);
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (place_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out) < 0) return -1;
    }
    return check_required(sig, out);
}

int bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        if (sig.positional_only) return no_keywords(sig);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (place_keyword(sig, nargs, key, value, out) < 0) return -1;
    }
    return check_required(sig, out);
}

// =============================================================================================
// Conversions

int text_of(PyObject* s, Text& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (!data) return -1;
    out.owner = OwnedRef::borrow(s);
    out.view = std::string_view(data, static_cast<std::size_t>(size));
    return 0;
}

int str_arg(PyObject* obj, const char* what, Text& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %s", what, Py_TYPE(obj)->tp_name);
        return -1;
    }
    return text_of(obj, out);
}

int u64_arg(PyObject* obj, const char* what, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out) {
    if (PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not bool", what);
        return -1;
    }
    OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be an int, not %s", what, Py_TYPE(obj)->tp_name);
        }
        return -1;
    }
    // A negative value or one beyond 64 bits does not convert: the range check below answers
    // for both.
    int sign = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &sign);
    if (small == -1 && PyErr_Occurred()) return -1;
    bool fits = sign == 0 ? small >= 0 : sign > 0;
    unsigned long long value = sign == 0 && fits ? static_cast<unsigned long long>(small) : 0;
    if (sign > 0) {
        value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
            PyErr_Clear();
            fits = false;
        }
    }
    if (!fits || value < lo || value > hi) {
        PyErr_Format(fits ? PyExc_ValueError : PyExc_OverflowError, "%s must be in %llu..%llu, got %S", what,
                     static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi), index.get());
        return -1;
    }
    out = value;
    return 0;
}

int truth_arg(PyObject* obj, bool& out) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return -1;
    out = truth != 0;
    return 0;
}

// =============================================================================================
// Borrows

Borrow::Borrow(BorrowFlag& flag, Kind kind, const BorrowRefusal& refusal) noexcept : flag_(&flag), kind_(kind) {
    if (kind == Shared) {
        if (!flag.try_shared()) {
            PyErr_SetString(PyExc_RuntimeError, refusal.shared);
            flag_ = nullptr;
        }
    } else if (!flag.try_exclusive()) {
        PyErr_SetString(PyExc_RuntimeError, refusal.exclusive);
        flag_ = nullptr;
    }
}

Borrow::~Borrow() {
    if (!flag_) return;
    if (kind_ == Shared) flag_->release_shared();
    else flag_->release_exclusive();
}

}  // namespace quellor
