// The batch module's binding, shared by its files (binding.cpp: the module, GameBatch's and
// Belief's classes and the module functions; segment_binding.cpp: the Segment class): the
// buffers a call holds, the objects of the classes, the module's state, and what one class's
// file uses of another's. Like the rest of the binding, the only code of the batch module that
// touches PyObject.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "batch.hpp"
#include "segment.hpp"
#include "binding/cpython.hpp"
#include "game/belief.hpp"

namespace quellor::batch::py {

// =============================================================================================
// Buffers

// A buffer view held for as long as its holder lives.
struct HeldBuffer {
    Py_buffer view{};
    bool held = false;

    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
};

// Acquires a C-contiguous buffer of any length of `itemsize`-byte items of one of `kinds`;
// `items` receives their number. Returns 0, or -1 with an exception set naming `what`.
int acquire_any(PyObject* obj, const char* what, bool writable, Py_ssize_t itemsize, const char* kinds,
                HeldBuffer& out, Py_ssize_t& items);
// Acquires a C-contiguous buffer of exactly `items` items of `itemsize` bytes whose format is
// one of `kinds`. Returns 0, or -1 with ValueError or TypeError set naming `what`.
int acquire(PyObject* obj, const char* what, bool writable, Py_ssize_t items, Py_ssize_t itemsize,
            const char* kinds, HeldBuffer& out);

// =============================================================================================
// The module's state and GameBatch's objects

// The keys of play_random's counts, interned once: the dict is built on every call.
enum class TallyKey { Plies, WhiteWins, BlackWins, Draws, Truncations, Count };

// What one module object holds: its class, made from the module, and the interned keys.
struct ModuleState {
    PyObject* batch_type;
    PyObject* belief_type;
    PyObject* segment_type;
    PyObject* tally_keys[static_cast<std::size_t>(TallyKey::Count)];

    template <class F>
    void each_ref(F&& f) {
        f(batch_type);
        f(belief_type);
        f(segment_type);
        for (PyObject*& key : tally_keys) f(key);
    }
};

inline ModuleState& state_of(PyObject* self) { return module_state<ModuleState>(Py_TYPE(self)); }

inline constexpr const char* MODULE_NAME = "quellor_selfplay";

inline constexpr std::size_t OUTPUT_COUNT = 10;

struct BatchObject {
    PyObject_HEAD
    Batch* core;
    HeldBuffer outputs[OUTPUT_COUNT];
    // Held exclusively by every call, so that another thread cannot use the batch meanwhile
    // (the interpreter lock is released while the games are played).
    BorrowFlag busy;
};

inline BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// Every call takes the batch whole, a query of one game as much as a step: the same refusal for
// both.
inline constexpr BorrowRefusal BATCH_REFUSAL = {"GameBatch is in use by another call", "GameBatch is in use by another call"};

inline Borrow use_batch(BatchObject* self) { return Borrow(self->busy, Borrow::Exclusive, BATCH_REFUSAL); }

// Runs `work` on the core with the interpreter lock released. An exception it throws (out of
// memory, say) is thrown again once the lock is held: leaving without it would leave the thread
// without its state.
template <class Work>
inline void without_lock(Work&& work) {    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) std::rethrow_exception(error);
}

// The output buffers of a batch object, as the core writes them.
Outputs outputs_of(BatchObject* self);
// Raises ValueError for a step the core refused; returns null.
PyObject* refuse_step(const Refusal& refusal, bool exact_moves);

// =============================================================================================
// Belief's objects

struct BeliefObject {
    PyObject_HEAD
    PyObject* batch;  // strong: the game the belief follows
    std::size_t game;
    std::uint64_t ply;  // the game's ply the belief has caught up with
    std::uint64_t start_ply;  // 1 when the game started with Black to move, for move numbers
    Belief* core;
    BorrowFlag busy;
    // What the getters answer, written with the interpreter lock held once an update is done,
    // so that a look from another thread meanwhile reads no half-made set.
    std::size_t size;
    bool exact;
    std::uint64_t candidates;
};

inline BeliefObject* as_belief(PyObject* self) { return reinterpret_cast<BeliefObject*>(self); }

inline constexpr BorrowRefusal BELIEF_REFUSAL = {"Belief is in use by another call", "Belief is in use by another call"};

// A new belief of one side of game i of the batch `batch_obj`, at the game's start; the caller
// holds the batch's borrow. Returns a new reference, or null with ValueError set for a game it
// cannot follow.
PyObject* new_belief(PyTypeObject* type, PyObject* batch_obj, std::size_t i, bool white, std::uint64_t cap,
                     std::uint64_t seed);
// Takes in the ply the belief's game has played since the belief's last, if any (the caller
// holds the batch's borrow). Returns 1 when it took in a ply, 0 when there was none, or -1 with
// ValueError set.
int take_ply(BeliefObject* self, const Batch& core);

// =============================================================================================
// The Segment class (segment_binding.cpp)

extern PyType_Spec SEGMENT_SPEC;
// Adds what the Python package reads of segments: the shard's schemas and the Reads flags.
// Returns 0, or -1 with an exception set.
int add_segment_constants(PyObject* module);

}  // namespace quellor::batch::py
