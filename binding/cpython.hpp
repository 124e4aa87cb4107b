// The CPython idiom both extension modules are written in: owned references, the fault guard,
// argument binding and conversion, the borrow that keeps re-entrant and concurrent calls off
// an object in use, and access to the state of the module that defined a type.
//
// Each module says what is its own (its name in internal errors, the words of a refused
// borrow); the mechanics live here once, so that a fix to one reaches both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace quellor {

// ---------------------------------------------------------------------------------------------
// Owned references

// Owns one strong reference; releases it when destroyed. Move-only.
class OwnedRef {
public:
    OwnedRef() = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : obj_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(obj_); }

    // Takes over a new reference (which may be null after a failed call).
    static OwnedRef steal(PyObject* obj) { return OwnedRef(obj); }
    // Adds a reference to a borrowed one.
    static OwnedRef borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject* obj = nullptr) {
        PyObject* old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    explicit OwnedRef(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Fault guard

// Runs `body` (which returns a new reference, or null with an exception set) and turns any C++
// exception that escapes it into a Python exception, so that no fault ends the process.
// `module` names the extension in the RuntimeError: "internal error in <module>: <what>".
template <class Body>
PyObject* guarded(const char* module, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error in %s: %s", module, e.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "internal error in %s", module);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Module state

// The state of the module that made `type` with PyType_FromModuleAndSpec. Every class here is
// closed to subclasses, so Py_TYPE(self) of an instance is always that type.
template <class State>
State& module_state(PyTypeObject* type) {
    return *static_cast<State*>(PyType_GetModuleState(type));
}

// A module's state holds its class, which refers back to the module: a cycle that the collector
// breaks through these, given to PyModuleDef as its traverse, clear and free. `State` names
// every reference it owns through each_ref(f), which calls f(PyObject*&) on each.
template <class State>
int traverse_module(PyObject* module, visitproc visit, void* arg) {
    int result = 0;
    static_cast<State*>(PyModule_GetState(module))->each_ref([&](PyObject*& ref) {
        if (result == 0 && ref) result = visit(ref, arg);
    });
    return result;
}

template <class State>
int clear_module(PyObject* module) {
    static_cast<State*>(PyModule_GetState(module))->each_ref([](PyObject*& ref) { Py_CLEAR(ref); });
    return 0;
}

template <class State>
void free_module(void* module) {
    clear_module<State>(static_cast<PyObject*>(module));
}

// The definition of a module whose state is a `State` (see each_ref above), run by `slots`.
template <class State>
PyModuleDef module_def(const char* name, const char* doc, PyModuleDef_Slot* slots) {
    return PyModuleDef{PyModuleDef_HEAD_INIT,     name,
                       doc,                       static_cast<Py_ssize_t>(sizeof(State)),
                       nullptr,                   slots,
                       traverse_module<State>,    clear_module<State>,
                       free_module<State>};
}

// ---------------------------------------------------------------------------------------------
// Argument binding

// One callable's parameters; the first `required` are required. They are positional-or-keyword
// unless `positional_only`.
struct Signature {
    const char* name;  // as shown in messages, e.g. "SelfPlayGame.apply()"
    const char* const* params;
    Py_ssize_t count;
    Py_ssize_t required;
    bool positional_only = false;
};

// Binds vectorcall arguments to `out[0..count)` (borrowed; null where absent).
// Returns 0 on success, -1 with a TypeError set, in the interpreter's wording.
int bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and a dict (the constructor's convention).
int bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------------------------------------------
// Conversions

// UTF-8 text of a str, kept alive by the reference it holds.
struct Text {
    OwnedRef owner;
    std::string_view view;
};

// The text of `s`, which the caller has found to be a str. Returns 0, or -1 with the exception
// set (a str with lone surrogates has no UTF-8 form).
int text_of(PyObject* s, Text& out);

// The text of the argument `what`, which must be a str. Returns 0, or -1 with TypeError (or the
// encoding's error) set.
int str_arg(PyObject* obj, const char* what, Text& out);

// An integer (through __index__; bools refused) in lo..hi: TypeError naming `what` for anything
// else, "<what> must be in <lo>..<hi>, got <value>" outside the range: OverflowError for a value
// that no 64-bit unsigned integer holds (it is refused, never wrapped), ValueError otherwise.
// Returns 0, or -1 with the exception set.
int u64_arg(PyObject* obj, const char* what, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out);

// The truth value of any object, as `if obj:` reads it. Returns 0, or -1 with the exception set.
int truth_arg(PyObject* obj, bool& out);

// ---------------------------------------------------------------------------------------------
// Borrows

// 0 = free, n > 0 = n shared borrows, EXCLUSIVE = one exclusive borrow. Calls that keep the
// interpreter lock are serialised by it, and the flag exists for re-entry (Python code that a
// call runs while holding its borrow calls back into the same object); calls that release the
// lock also need it against other threads, hence the atomic.
class BorrowFlag {
public:
    static constexpr std::intptr_t EXCLUSIVE = -1;

    bool try_shared() noexcept {
        std::intptr_t cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur == EXCLUSIVE) return false;
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> state_{0};
};

// What a refused borrow raises (RuntimeError) in each module's own words.
struct BorrowRefusal {
    const char* shared;     // a shared borrow, refused while an exclusive one is held
    const char* exclusive;  // an exclusive borrow, refused while any borrow is held
};

// Holds a shared or exclusive borrow of a flag for its lifetime. After construction, check
// ok(): when the borrow was refused, RuntimeError is set and nothing is held.
class Borrow {
public:
    enum Kind { Shared, Exclusive };
    Borrow(BorrowFlag& flag, Kind kind, const BorrowRefusal& refusal) noexcept;
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
    Kind kind_;
};

}  // namespace quellor
