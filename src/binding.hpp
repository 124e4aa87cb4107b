// The Python side of the module: owned references, argument binding, the borrow counter and
// the fault guard. Everything that touches PyObject* lives in binding.* and module.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "game/game.hpp"

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
// Interned names

// Attribute, module and keyword names that calls look up every time. They are interned once, at
// the module's first execution, and live as long as the process, like the class object: an
// interned name carries its hash and is found by identity in the interpreter's per-type
// attribute cache, where a string made afresh from C text on every call is hashed again and
// looked up along the whole class hierarchy.
enum class Name { Uci, Fen, Chess, Move, FromUci, Torch, Tensor, Float32, Dtype, Count };

// Interns the names; later calls do nothing. Returns 0, or -1 with an exception set.
int intern_names();

// The interned name (a borrowed reference); intern_names() must have succeeded.
PyObject* interned(Name n);

// ---------------------------------------------------------------------------------------------
// Argument binding

// One callable's parameters, all positional-or-keyword; the first `required` are required.
struct Signature {
    const char* name;  // as shown in messages, e.g. "SelfPlayGame.apply()"
    const char* const* params;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Binds vectorcall arguments to `out[0..count)` (borrowed; null where absent).
// Returns 0 on success, -1 with a TypeError set, in the interpreter's wording.
int bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and a dict (the constructor's convention).
int bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------------------------------------------
// Borrow counter

// 0 = free, n > 0 = n shared borrows, EXCLUSIVE = one exclusive borrow. Calls are serialised by
// the interpreter lock; the counter exists for re-entry, when Python code that a call runs
// while holding its borrow calls back into the same game.
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

// ---------------------------------------------------------------------------------------------
// The instance

struct GameObject {
    PyObject_HEAD
    SelfPlayGame game;
    BorrowFlag borrow;
};

// Holds a shared or exclusive borrow for its lifetime. After construction, check ok(): when the
// borrow was refused, RuntimeError is set and nothing is held.
class Borrow {
public:
    enum Kind { Shared, Exclusive };
    Borrow(GameObject* obj, Kind kind);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return obj_ != nullptr; }

private:
    GameObject* obj_;
    Kind kind_;
};

// ---------------------------------------------------------------------------------------------
// Fault guard

// Runs `body` (which returns a new reference, or null with an exception set) and turns any C++
// exception that escapes it into a Python exception, so that no fault ends the process.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error in quellor: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error in quellor");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Exceptions the module answers for itself

// Where a failed attribute read, number conversion or import gets the module's own answer (its
// ValueError, or "this form does not apply"), that answer may replace only an ordinary error:
// one that says something about the object read. An interrupt or an exit (a BaseException that
// is not an Exception) and MemoryError say nothing about it and must reach the caller unchanged.
// Whether the pending exception (one must be set) is ordinary.
bool pending_error_is_ordinary();

// Clears the pending exception and returns true when it is ordinary; otherwise leaves it set and
// returns false.
bool discard_ordinary_error();

// The pending exception, taken off the error indicator as a normalised instance that carries its
// traceback. Returns a new reference, or null when no exception is set.
OwnedRef take_pending_error();

// Raises `error` (a new reference to an exception instance, which this consumes).
void raise_error(OwnedRef error);

// ---------------------------------------------------------------------------------------------
// Conversions

// UTF-8 text of a str, kept alive by the reference it holds.
struct Text {
    OwnedRef owner;
    std::string_view view;
};

// The UCI text of an action: a str, or an object whose `uci` is a method returning str or is a
// str. Returns 0, or -1 with the exception set (ValueError when `uci` is unusable).
int uci_from_py(PyObject* action, Text& out);

// The FEN text of a board argument: a str, or an object whose `fen` is a method returning str or
// is a str. Returns 0, or -1 with the exception set.
int fen_from_py(PyObject* board, Text& out);

// Loads the planes of a history_tensors iterable, keeping only the last HISTORY_LEN.
// Returns 0, or -1 with the exception set.
int read_history(PyObject* iterable, History& out);

// A bool, or a NumPy bool scalar read through its truth value. Returns 0 or 1, or -1 with
// TypeError set.
int bool_from_py(PyObject* obj, const char* param);

}  // namespace quellor
