// SelfPlayGame's side of the binding: the module's state, the instance, the answers the module
// gives for failed reads, and the conversions of its arguments. The mechanics it shares with the
// batch module (owned references, argument binding, borrows, the fault guard) are in
// binding/cpython.hpp; everything that touches PyObject* lives there, here and in module.cpp.
#pragma once

#include <string_view>

#include "binding/cpython.hpp"
#include "game/game.hpp"

namespace quellor {

// ---------------------------------------------------------------------------------------------
// Module state

// Attribute, module and keyword names that calls look up every time. They are interned once,
// when the module is executed, and kept in its state: an interned name carries its hash and is
// found by identity in the interpreter's per-type attribute cache, where a string made afresh
// from C text on every call is hashed again and looked up along the whole class hierarchy.
enum class Name { Uci, Fen, Chess, Move, FromUci, Torch, Tensor, Float32, Dtype, Count };

// What one module object holds: its class (made from the module, so that the class reaches the
// state through its own module) and the interned names.
struct ModuleState {
    PyObject* game_type;
    PyObject* names[static_cast<std::size_t>(Name::Count)];

    // A borrowed reference; valid once intern_names() has succeeded.
    PyObject* name(Name n) const { return names[static_cast<std::size_t>(n)]; }

    template <class F>
    void each_ref(F&& f) {
        f(game_type);
        for (PyObject*& name : names) f(name);
    }
};

// Interns the names into `state`. Returns 0, or -1 with an exception set.
int intern_names(ModuleState& state);

// The state of the module whose class `self` is an instance of.
inline ModuleState& state_of(PyObject* self) { return module_state<ModuleState>(Py_TYPE(self)); }

// ---------------------------------------------------------------------------------------------
// The instance

struct GameObject {
    PyObject_HEAD
    SelfPlayGame game;
    BorrowFlag borrow;
};

// A call that only reads the game takes a shared borrow; apply() takes it exclusively, and
// Python code it runs (a move's uci()) can then neither read nor change that game.
inline constexpr BorrowRefusal GAME_REFUSAL = {"Already mutably borrowed", "Already borrowed"};

inline Borrow borrow_game(GameObject* obj, Borrow::Kind kind) { return Borrow(obj->borrow, kind, GAME_REFUSAL); }

// Internal errors name the module: "internal error in quellor: ...".
inline constexpr const char* MODULE_NAME = "quellor";

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

// The UCI text of an action: a str, or an object whose `uci` is a method returning str or is a
// str. Returns 0, or -1 with the exception set (ValueError when `uci` is unusable).
int uci_from_py(const ModuleState& state, PyObject* action, Text& out);

// The FEN text of a board argument: a str, or an object whose `fen` is a method returning str or
// is a str. Returns 0, or -1 with the exception set.
int fen_from_py(const ModuleState& state, PyObject* board, Text& out);

// Loads the planes of a history_tensors iterable, keeping only the last HISTORY_LEN.
// Returns 0, or -1 with the exception set.
int read_history(PyObject* iterable, History& out);

// A bool, or a NumPy bool scalar read through its truth value. Returns 0 or 1, or -1 with
// TypeError set.
int bool_from_py(PyObject* obj, const char* param);

}  // namespace quellor
