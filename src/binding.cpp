#include "binding.hpp"

#include <cstring>
#include <iterator>
#include <vector>

namespace quellor {

// =============================================================================================
// Module state

namespace {

constexpr const char* NAME_TEXTS[] = {"uci", "fen", "chess", "Move", "from_uci", "torch", "tensor", "float32", "dtype"};
static_assert(std::size(NAME_TEXTS) == static_cast<std::size_t>(Name::Count));

}  // namespace

int intern_names(ModuleState& state) {
    for (std::size_t i = 0; i < std::size(NAME_TEXTS); ++i) {
        if (state.names[i]) continue;
        state.names[i] = PyUnicode_InternFromString(NAME_TEXTS[i]);
        if (!state.names[i]) return -1;
    }
    return 0;
}

// =============================================================================================
// Exceptions the module answers for itself

bool pending_error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool discard_ordinary_error() {
    if (!pending_error_is_ordinary()) return false;
    PyErr_Clear();
    return true;
}

OwnedRef take_pending_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return OwnedRef();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return OwnedRef::steal(value);
#endif
}

void raise_error(OwnedRef error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// =============================================================================================
// Text conversions

namespace {

// The shared rule of `fen` and `uci`: a str; else an attribute `attr` (the interned name,
// spelt `attr_text`) that is a method returning a str, or is a str. `unusable` is the
// ValueError for everything else.
int text_from_attribute(PyObject* obj, PyObject* attr, const char* attr_text, const char* unusable, Text& out) {
    if (PyUnicode_Check(obj)) return text_of(obj, out);
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(obj, attr));
    if (!value) {
        if (discard_ordinary_error()) PyErr_SetString(PyExc_ValueError, unusable);
        return -1;
    }
    if (PyCallable_Check(value.get())) {
        OwnedRef result = OwnedRef::steal(PyObject_CallNoArgs(value.get()));
        if (!result) return -1;
        if (!PyUnicode_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "'%s' object returned by %s() cannot be converted to a string",
                         Py_TYPE(result.get())->tp_name, attr_text);
            return -1;
        }
        return text_of(result.get(), out);
    }
    if (PyUnicode_Check(value.get())) return text_of(value.get(), out);
    PyErr_SetString(PyExc_ValueError, unusable);
    return -1;
}

}  // namespace

int uci_from_py(const ModuleState& state, PyObject* action, Text& out) {
    return text_from_attribute(action, state.name(Name::Uci), "uci", "action must be a python-chess Move or UCI string",
                               out);
}

int fen_from_py(const ModuleState& state, PyObject* board, Text& out) {
    return text_from_attribute(board, state.name(Name::Fen), "fen", "board must be a python-chess Board or FEN string",
                               out);
}

int bool_from_py(PyObject* obj, const char* param) {
    if (obj == Py_True) return 1;
    if (obj == Py_False) return 0;
    // NumPy's bool scalar is `numpy.bool_` (named `numpy.bool` since NumPy 2).
    PyTypeObject* type = Py_TYPE(obj);
    OwnedRef module = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module && !discard_ordinary_error()) return -1;
    if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
        const char* dot = std::strrchr(type->tp_name, '.');
        const char* name = dot ? dot + 1 : type->tp_name;
        if (std::strcmp(name, "bool_") == 0 || std::strcmp(name, "bool") == 0) return PyObject_IsTrue(obj);
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to a boolean", param,
                 type->tp_name);
    return -1;
}

// =============================================================================================
// History planes

namespace {

constexpr const char* BAD_ENTRY = "history_tensors entries must be 64x13 tensors or lists";

enum class Form { Applied, NotApplied, Failed };

// Reads one number through the interpreter's float conversion. False when it does not convert:
// with no exception left set when the failure was ordinary (the form does not apply), else with
// the exception set, to be passed on.
bool read_number(PyObject* item, float& out) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        // A __float__ method may run arbitrary code; hold the item meanwhile.
        OwnedRef hold = OwnedRef::borrow(item);
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            discard_ordinary_error();
            return false;
        }
    }
    out = static_cast<float>(value);
    return true;
}

// A list or tuple of the items of a sequence (the sequence itself for lists and tuples), or
// null: with no exception left set when the failure was ordinary, else with it set, as in
// read_number.
OwnedRef as_fast(PyObject* seq) {
    OwnedRef fast = OwnedRef::steal(PySequence_Fast(seq, ""));
    if (!fast) discard_ordinary_error();
    return fast;
}

// The verdict on a form whose reading stopped early: not applicable, unless an exception that
// must be passed on is pending.
Form stopped() { return PyErr_Occurred() ? Form::Failed : Form::NotApplied; }

// Calls f(item) for each item, holding a reference to it; the size is re-read each step
// because Python code run by f may change a list. Stops when f returns false.
template <class F>
bool each_item(PyObject* fast, F&& f) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        OwnedRef item = OwnedRef::borrow(PySequence_Fast_GET_ITEM(fast, i));
        if (!f(item.get(), i)) return false;
    }
    return true;
}

bool is_sequence(PyObject* obj) { return !PyUnicode_Check(obj) && PySequence_Check(obj); }

// Rows of numbers. Applies only when every row is a non-str sequence of convertible numbers;
// then the shape must be 64 x 13.
Form read_nested(PyObject* obj, Plane& plane) {
    if (!is_sequence(obj)) return Form::NotApplied;
    OwnedRef rows = as_fast(obj);
    if (!rows) return stopped();
    Py_ssize_t row_count = 0, bad_row = -1;
    const bool applied = each_item(rows.get(), [&](PyObject* row, Py_ssize_t r) {
        if (!is_sequence(row)) return false;
        OwnedRef values = as_fast(row);
        if (!values) return false;
        Py_ssize_t columns = 0;
        const bool numeric = each_item(values.get(), [&](PyObject* item, Py_ssize_t c) {
            float v;
            if (!read_number(item, v)) return false;
            if (r < static_cast<Py_ssize_t>(PLANE_ROWS) && c < static_cast<Py_ssize_t>(PLANE_CHANNELS))
                plane[r * PLANE_CHANNELS + c] = v;
            ++columns;
            return true;
        });
        if (!numeric) return false;
        if (columns != static_cast<Py_ssize_t>(PLANE_CHANNELS) && bad_row < 0) bad_row = r;
        ++row_count;
        return true;
    });
    if (!applied) return stopped();
    if (row_count != static_cast<Py_ssize_t>(PLANE_ROWS)) {
        PyErr_SetString(PyExc_ValueError, "history_tensors entries must have 64 rows");
        return Form::Failed;
    }
    if (bad_row >= 0) {
        PyErr_SetString(PyExc_ValueError, "history_tensors entries must have 13 columns");
        return Form::Failed;
    }
    return Form::Applied;
}

// A flat sequence of numbers; its length must be 832.
Form read_flat(PyObject* obj, Plane& plane) {
    if (!is_sequence(obj)) return Form::NotApplied;
    OwnedRef values = as_fast(obj);
    if (!values) return stopped();
    Py_ssize_t count = 0;
    const bool numeric = each_item(values.get(), [&](PyObject* item, Py_ssize_t i) {
        float v;
        if (!read_number(item, v)) return false;
        if (i < static_cast<Py_ssize_t>(PLANE_LEN)) plane[i] = v;
        ++count;
        return true;
    });
    if (!numeric) return stopped();
    if (count != static_cast<Py_ssize_t>(PLANE_LEN)) {
        PyErr_SetString(PyExc_ValueError, "history_tensors entries must have length 832");
        return Form::Failed;
    }
    return Form::Applied;
}

// The nested form, then the flat form.
Form read_sequence(PyObject* obj, Plane& plane) {
    const Form nested = read_nested(obj, plane);
    return nested == Form::NotApplied ? read_flat(obj, plane) : nested;
}

// One entry: a nested or flat sequence, or an object whose `tolist()` gives one.
// Returns 0, or -1 with the exception set.
int read_plane(PyObject* item, Plane& plane) {
    Form form = read_sequence(item, plane);
    if (form == Form::NotApplied) {
        OwnedRef tolist = OwnedRef::steal(PyObject_GetAttrString(item, "tolist"));
        if (!tolist && !discard_ordinary_error()) return -1;
        if (!tolist || !PyCallable_Check(tolist.get())) {
            PyErr_SetString(PyExc_ValueError, BAD_ENTRY);
            return -1;
        }
        OwnedRef converted = OwnedRef::steal(PyObject_CallNoArgs(tolist.get()));
        if (!converted) return -1;
        form = read_sequence(converted.get(), plane);
    }
    switch (form) {
        case Form::Applied: return 0;
        case Form::Failed: return -1;
        case Form::NotApplied: break;
    }
    PyErr_SetString(PyExc_ValueError, BAD_ENTRY);
    return -1;
}

}  // namespace

int read_history(PyObject* iterable, History& out) {
    OwnedRef iter = OwnedRef::steal(PyObject_GetIter(iterable));
    if (!iter) return -1;
    // One scratch plane: an entry is read whole before it enters the queue, and the queue keeps
    // only the last HISTORY_LEN, however long the iterable is.
    Plane scratch;
    for (;;) {
        OwnedRef item = OwnedRef::steal(PyIter_Next(iter.get()));
        if (!item) break;
        if (read_plane(item.get(), scratch) < 0) return -1;
        out.append([&](Plane& p) { p = scratch; });
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace quellor
