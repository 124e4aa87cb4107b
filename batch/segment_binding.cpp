// The batch module's Segment class: the native round loop of a segment of self-play
// (segment.hpp), which quellor_selfplay.arena drives a turn at a time. It holds the beliefs its
// players follow and the turn under way; the core does the rest.

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding.hpp"

namespace quellor::batch::py {
namespace {

// =============================================================================================
// Segments: games played in rounds (segment.hpp), a turn at a time

// What a unit's players read of their games besides what every turn gives (the games' lanes and
// sides, their legal entries and newest frames).
enum Reads : unsigned {
    READ_OBSERVATIONS = 1,
    READ_CODES = 2,
    READ_MASKS = 4,
    READ_RANDOM = 8,
    READ_BELIEFS = 16,
};

// The segment and what its binding keeps beside it: the beliefs its players follow, and the
// turn under way until its decision comes back.
struct SegmentState {
    std::unique_ptr<Segment> core;
    std::vector<unsigned> reads;              // per unit
    std::vector<std::uint64_t> belief_caps;   // per player; 0 where it keeps no beliefs
    std::vector<std::uint64_t> belief_seeds;  // per entry, White's then Black's
    std::vector<PyObject*> beliefs;           // per lane, White's then Black's: owned, or null
    bool started = false;
    std::optional<std::size_t> unit;          // the turn under way
    std::vector<std::int64_t> live;
    std::vector<std::size_t> counts;
    std::vector<std::uint8_t> players;        // the mover's player, a game of the turn
    std::vector<std::int64_t> newest;
    std::vector<std::uint8_t> bits;
    std::vector<std::int64_t> ended, fresh, idle;

    ~SegmentState() {
        for (PyObject*& b : beliefs) Py_CLEAR(b);
    }
};

struct SegmentObject {
    PyObject_HEAD
    PyObject* batch;  // strong: the games the segment plays in
    SegmentState* state;
    BorrowFlag busy;
};

SegmentObject* as_segment(PyObject* self) { return reinterpret_cast<SegmentObject*>(self); }

constexpr BorrowRefusal SEGMENT_REFUSAL = {"Segment is in use by another call", "Segment is in use by another call"};

// A numpy type string's item size and buffer format letters.
struct ItemKind {
    Py_ssize_t itemsize;
    const char* kinds;
};
ItemKind item_kind(std::string_view dtype) {
    if (dtype == "<i8") return {8, "qln"};
    if (dtype == "<i4") return {4, "il"};
    if (dtype == "<i2") return {2, "h"};
    if (dtype == "<f4") return {4, "f"};
    if (dtype == "|i1") return {1, "b"};
    if (dtype == "|b1") return {1, "?"};
    return {1, "B"};
}

// Replaces the beliefs of lane `lane` by new ones for the players of the game it now plays (none
// when idle or over). Returns 0, or -1 with an exception set.
int follow(PyObject* obj, std::size_t lane) {
    SegmentObject* self = as_segment(obj);
    SegmentState& st = *self->state;
    Py_CLEAR(st.beliefs[2 * lane]);
    Py_CLEAR(st.beliefs[2 * lane + 1]);
    const std::int64_t job = st.core->job(lane);
    if (st.belief_caps.empty() || job < 0 || as_batch(self->batch)->core->game(lane).finished()) return 0;
    const Entry& e = st.core->entry(static_cast<std::size_t>(job));
    const std::uint8_t sides[2] = {e.white, e.black};
    for (std::size_t side = 0; side < 2; ++side) {
        const std::uint64_t cap = st.belief_caps[sides[side]];
        if (!cap) continue;
        PyObject* made = new_belief(reinterpret_cast<PyTypeObject*>(state_of(obj).belief_type), self->batch, lane,
                                    side == 0, cap, st.belief_seeds[2 * static_cast<std::size_t>(job) + side]);
        if (!made) return -1;
        st.beliefs[2 * lane + side] = made;
    }
    return 0;
}

// Both sides' beliefs of the games of `live` take in the ply those games just played.
int take_plies(SegmentObject* self, const std::vector<std::int64_t>& live) {
    SegmentState& st = *self->state;
    if (st.belief_caps.empty()) return 0;
    const Batch& core = *as_batch(self->batch)->core;
    for (const std::int64_t lane : live)
        for (std::size_t side = 0; side < 2; ++side)
            if (PyObject* b = st.beliefs[2 * static_cast<std::size_t>(lane) + side]; b && take_ply(as_belief(b), core) < 0)
                return -1;
    return 0;
}

// Plays the moves of the carried games of the lanes `lanes` again, ply by ply, recording their
// rows as they were first played and the beliefs following them. Returns 0, or -1 with an
// exception set.
int replay(SegmentObject* self, const std::vector<std::int64_t>& lanes) {
    SegmentState& st = *self->state;
    Batch& core = *as_batch(self->batch)->core;
    std::vector<std::int64_t> live, codes, actions, rows, entries;
    std::vector<float> log_probs;
    std::vector<std::uint8_t> players, bits;
    std::vector<std::int64_t> newest;
    for (std::size_t ply = 0;; ++ply) {
        try {
            if (!st.core->carried_ply(lanes, ply, live, codes, actions, log_probs, players)) return 0;
        } catch (const std::invalid_argument& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
            return -1;
        }
        const std::size_t k = live.size();
        newest.resize(k * Batch::NEWEST_WORDS);
        bits.resize(k * MASK_BYTES);
        std::optional<Refusal> refusal;
        without_lock([&] {
            core.gather(live.data(), k, nullptr, nullptr, bits.data(), newest.data(), rows, entries);
            st.core->record(live.data(), k, actions.data(), log_probs.data(), players.data(), newest.data(), bits.data());
            refusal = st.core->play(live.data(), k, codes.data(), true);
        });
        if (refusal) {
            refuse_step(*refusal, true);
            return -1;
        }
        if (take_plies(self, live) < 0) return -1;
    }
}

// Ends the games over among `candidates` and follows the lanes that started new ones. Returns a
// new list of the plies of the segment's own games that ended, in the order they did, or null
// with an exception set.
PyObject* settle_lanes(PyObject* obj, const std::vector<std::int64_t>& candidates) {
    SegmentObject* self = as_segment(obj);
    SegmentState& st = *self->state;
    std::vector<std::int64_t> check = candidates, ended;
    while (!check.empty()) {
        without_lock([&] { st.core->settle(check.data(), check.size(), st.ended, st.fresh, st.idle); });
        ended.insert(ended.end(), st.ended.begin(), st.ended.end());
        for (const std::int64_t lane : st.idle) {
            Py_CLEAR(st.beliefs[2 * static_cast<std::size_t>(lane)]);
            Py_CLEAR(st.beliefs[2 * static_cast<std::size_t>(lane) + 1]);
        }
        for (const std::int64_t lane : st.fresh)
            if (follow(obj, static_cast<std::size_t>(lane)) < 0) return nullptr;
        // A lane that took a carried game plays its moves again before anything else; a game
        // that had ended when it was handed on ends again, and its lane takes the next.
        if (replay(self, st.fresh) < 0) return nullptr;
        check = st.fresh;
    }
    st.ended = std::move(ended);
    OwnedRef lengths = OwnedRef::steal(PyList_New(0));
    if (!lengths) return nullptr;
    for (const std::int64_t e : st.ended) {
        if (static_cast<std::size_t>(e) >= st.core->required()) continue;
        OwnedRef plies = OwnedRef::steal(PyLong_FromLong(st.core->length(static_cast<std::size_t>(e))));
        if (!plies || PyList_Append(lengths.get(), plies.get()) < 0) return nullptr;
    }
    return lengths.release();
}

// Reads a sequence of ints each in 0..hi. Returns 0, or -1 with an exception set.
int small_ints(PyObject* obj, const char* what, unsigned long hi, std::vector<std::uint64_t>& out) {
    OwnedRef items = OwnedRef::steal(PySequence_Fast(obj, what));
    if (!items) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.clear();
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint64_t value;
        if (u64_arg(PySequence_Fast_GET_ITEM(items.get(), i), what, 0, hi, value) < 0) return -1;
        out.push_back(value);
    }
    return 0;
}

const char* const SEGMENT_PARAMS[] = {"batch", "games", "white_of", "black_of", "required",
                                      "units", "reads", "belief_caps", "belief_seeds"};
constexpr Signature SEGMENT_SIGNATURE = {"Segment.__new__()", SEGMENT_PARAMS, 9, 9};

// Segment(batch, games, white_of, black_of, required, units, reads, belief_caps, belief_seeds):
// the entries' game indices (int64) and players (uint8), of which the first `required` are the
// shard's; the players of each unit in round order, and what each unit reads (Reads); per player
// the cap of the beliefs it keeps (0 for none) and per entry the seeds of White's and Black's
// (uint64), or None for both where no player keeps any. The batch's lanes take the first
// entries, their games at their start.
PyObject* segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[9];
        if (bind_args(SEGMENT_SIGNATURE, args, kwargs, bound) < 0) return nullptr;
        PyObject* batch_obj = bound[0];
        if (Py_TYPE(batch_obj) != reinterpret_cast<PyTypeObject*>(module_state<ModuleState>(type).batch_type))
            return PyErr_Format(PyExc_TypeError, "batch must be a quellor_selfplay._batch.Batch, not %s",
                                Py_TYPE(batch_obj)->tp_name);
        HeldBuffer games, white_of, black_of, seeds;
        Py_ssize_t total = 0;
        std::uint64_t required;
        if (acquire_any(bound[1], "games", false, 8, "qln", games, total) < 0 ||
            acquire(bound[2], "white_of", false, total, 1, "B", white_of) < 0 ||
            acquire(bound[3], "black_of", false, total, 1, "B", black_of) < 0 ||
            u64_arg(bound[4], "required", 0, static_cast<std::uint64_t>(total), required) < 0)
            return nullptr;
        auto state = std::make_unique<SegmentState>();
        std::vector<std::uint64_t> caps, reads;
        OwnedRef unit_list = OwnedRef::steal(PySequence_Fast(bound[5], "units must be a sequence"));
        if (!unit_list || small_ints(bound[6], "reads", 31, reads) < 0) return nullptr;
        std::vector<std::vector<std::uint8_t>> units;
        for (Py_ssize_t u = 0; u < PySequence_Fast_GET_SIZE(unit_list.get()); ++u) {
            std::vector<std::uint64_t> members;
            if (small_ints(PySequence_Fast_GET_ITEM(unit_list.get(), u), "units", 255, members) < 0) return nullptr;
            units.emplace_back(members.begin(), members.end());
        }
        if (reads.size() != units.size())
            return PyErr_Format(PyExc_ValueError, "reads: expected one for each of %zu units", units.size());
        state->reads.assign(reads.begin(), reads.end());
        const auto* w = static_cast<const std::uint8_t*>(white_of.view.buf);
        const auto* b = static_cast<const std::uint8_t*>(black_of.view.buf);
        if (bound[7] != Py_None) {
            if (small_ints(bound[7], "belief_caps", UINT32_MAX - 2, state->belief_caps) < 0 ||
                acquire(bound[8], "belief_seeds", false, 2 * total, 8, "QLK", seeds) < 0)
                return nullptr;
            for (Py_ssize_t e = 0; e < total; ++e)
                if (std::max(w[e], b[e]) >= state->belief_caps.size())
                    return PyErr_Format(PyExc_ValueError, "belief_caps: expected one for each of %d players",
                                        std::max(w[e], b[e]) + 1);
            const auto* s = static_cast<const std::uint64_t*>(seeds.view.buf);
            state->belief_seeds.assign(s, s + 2 * total);
        }
        std::vector<Entry> entries(static_cast<std::size_t>(total));
        const auto* g = static_cast<const std::int64_t*>(games.view.buf);
        for (Py_ssize_t e = 0; e < total; ++e) entries[static_cast<std::size_t>(e)] = {g[e], w[e], b[e]};
        BatchObject* batch = as_batch(batch_obj);
        const Borrow busy = use_batch(batch);
        if (!busy.ok()) return nullptr;
        const std::size_t n = batch->core->size();
        if (n > static_cast<std::size_t>(total))
            return PyErr_Format(PyExc_ValueError, "a segment of %zd games cannot fill %zu lanes", total, n);
        for (std::size_t lane = 0; lane < n; ++lane)
            if (batch->core->game(lane).plies != 0)
                return PyErr_Format(PyExc_ValueError, "game %zu has started: a segment starts its games itself", lane);
        state->beliefs.assign(2 * n, nullptr);
        state->core = std::make_unique<Segment>(*batch->core, std::move(entries), static_cast<std::size_t>(required),
                                                std::move(units));
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) return nullptr;
        SegmentObject* self = as_segment(obj);
        self->batch = OwnedRef::borrow(batch_obj).release();
        self->state = state.release();
        new (&self->busy) BorrowFlag();
        return obj;
    });
}

void segment_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    SegmentObject* self = as_segment(obj);
    delete self->state;
    Py_XDECREF(self->batch);
    self->busy.~BorrowFlag();
    type->tp_free(obj);
    Py_DECREF(type);
}

// Takes both the segment and its batch for a call. The batch's borrow is held for as long as the
// returned guard lives.
struct SegmentCall {
    Borrow mine;
    std::optional<Borrow> batch;
    explicit SegmentCall(SegmentObject* self) : mine(self->busy, Borrow::Exclusive, SEGMENT_REFUSAL) {
        if (mine.ok()) batch.emplace(as_batch(self->batch)->busy, Borrow::Exclusive, BATCH_REFUSAL);
    }
    bool ok() const { return mine.ok() && batch && batch->ok(); }
};

// start(carried) -> list: the segment's first step. Every lane's game starts; the games an
// earlier segment handed on (None, or the tuple (plies int32, moves int16, actions int16,
// log_probs float32, players uint8), their plies then their moves in game then ply order; they
// are the first entries) are played again move for move as lanes take them, recorded as they
// were; games over at once end. Returns the plies of each of the segment's own games that ended.
PyObject* segment_start(PyObject* obj, PyObject* carried) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        SegmentObject* self = as_segment(obj);
        const SegmentCall call(self);
        if (!call.ok()) return nullptr;
        SegmentState& st = *self->state;
        if (st.started) return PyErr_Format(PyExc_RuntimeError, "the segment has started already");
        st.started = true;
        Batch& core = *as_batch(self->batch)->core;
        const std::size_t n = core.size();
        for (std::size_t lane = 0; lane < n; ++lane)
            if (follow(obj, lane) < 0) return nullptr;
        std::vector<std::int64_t> all(n);
        std::iota(all.begin(), all.end(), std::int64_t{0});
        if (carried != Py_None) {
            if (!PyTuple_Check(carried) || PyTuple_GET_SIZE(carried) != 5)
                return PyErr_Format(PyExc_TypeError, "carried: expected None or a tuple of 5 buffers");
            HeldBuffer held[5];
            Py_ssize_t games = 0, rows = 0;
            if (acquire_any(PyTuple_GET_ITEM(carried, 0), "carried plies", false, 4, "il", held[0], games) < 0 ||
                acquire_any(PyTuple_GET_ITEM(carried, 1), "carried moves", false, 2, "h", held[1], rows) < 0 ||
                acquire(PyTuple_GET_ITEM(carried, 2), "carried actions", false, rows, 2, "h", held[2]) < 0 ||
                acquire(PyTuple_GET_ITEM(carried, 3), "carried log_probs", false, rows, 4, "f", held[3]) < 0 ||
                acquire(PyTuple_GET_ITEM(carried, 4), "carried players", false, rows, 1, "B", held[4]) < 0)
                return nullptr;
            try {
                st.core->hand_in(
                    {{static_cast<const std::int32_t*>(held[0].view.buf), static_cast<std::size_t>(games)},
                     {static_cast<const std::int16_t*>(held[1].view.buf), static_cast<std::size_t>(rows)},
                     {static_cast<const std::int16_t*>(held[2].view.buf), static_cast<std::size_t>(rows)},
                     {static_cast<const float*>(held[3].view.buf), static_cast<std::size_t>(rows)},
                     {static_cast<const std::uint8_t*>(held[4].view.buf), static_cast<std::size_t>(rows)}});
            } catch (const std::invalid_argument& error) {
                PyErr_SetString(PyExc_ValueError, error.what());
                return nullptr;
            }
            if (replay(self, all) < 0) return nullptr;
        }
        return settle_lanes(obj, all);
    });
}

// An int64 vector as a new bytearray (numpy and torch read it without a copy).
PyObject* words_of(const std::vector<std::int64_t>& words) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(words.data()),
                                     static_cast<Py_ssize_t>(words.size() * sizeof(std::int64_t)));
}

// A new bytearray of `size` bytes, for the caller to fill. Returns null with an exception set.
PyObject* fresh_bytes(std::size_t size) { return PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)); }

// turn() -> None or (unit, lanes, counts, white, games, entries, newest, observations, codes,
// masks, random, beliefs): the next turn of the round, None once the segment's own games are
// done. The unit's index; its games' lanes (int64 bytes: each player's games in turn, as counts
// says), their sides (a byte each, 1 for White), their indices in the run (int64), the rows then
// the slots of their legal entries (int64), and
// their newest frames and castling words (int64, NEWEST_WORDS a game); then what the unit reads,
// None where it does not: observations (the batch's dtype), square codes (uint8), masks (bool, a
// byte a slot), a uniformly drawn legal slot (int64), and the mover's belief of each game.
PyObject* segment_turn(PyObject* obj, PyObject*) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        SegmentObject* self = as_segment(obj);
        const SegmentCall call(self);
        if (!call.ok()) return nullptr;
        SegmentState& st = *self->state;
        if (!st.started) return PyErr_Format(PyExc_RuntimeError, "the segment has not started");
        if (st.unit) return PyErr_Format(PyExc_RuntimeError, "the turn under way has had no decision");
        BatchObject* batch = as_batch(self->batch);
        Batch& core = *batch->core;
        std::optional<std::size_t> unit;
        without_lock([&] { unit = st.core->next_turn(st.live, st.counts); });
        if (!unit) Py_RETURN_NONE;
        const std::size_t k = st.live.size();
        const unsigned reads = st.reads[*unit];
        st.players.clear();
        for (std::size_t i = 0; i < st.counts.size(); ++i)
            st.players.insert(st.players.end(), st.counts[i], st.core->unit(*unit)[i]);
        const bool wide = core.config().dtype == Dtype::Float32;
        OwnedRef observations = OwnedRef::borrow(Py_None), codes = OwnedRef::borrow(Py_None),
                 masks = OwnedRef::borrow(Py_None), random = OwnedRef::borrow(Py_None),
                 beliefs = OwnedRef::borrow(Py_None);
        if (reads & READ_OBSERVATIONS)
            if (!(observations = OwnedRef::steal(fresh_bytes(k * OBS_ROWS * OBS_COLS * (wide ? 4 : 1))))) return nullptr;
        if (reads & READ_CODES)
            if (!(codes = OwnedRef::steal(fresh_bytes(k * OBS_ROWS * Batch::SQUARE_CODES)))) return nullptr;
        OwnedRef white = OwnedRef::steal(fresh_bytes(k));
        if (!white) return nullptr;
        auto* sides = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(white.get()));
        for (std::size_t j = 0; j < k; ++j)
            sides[j] = core.game(static_cast<std::size_t>(st.live[j])).board.side_to_move == chess::Color::White;
        st.newest.resize(k * Batch::NEWEST_WORDS);
        st.bits.resize(k * MASK_BYTES);
        std::vector<std::int64_t> rows, slots;
        rows.reserve(k * 64);
        slots.reserve(k * 64);
        without_lock([&] {
            core.gather(st.live.data(), k,
                        observations.get() == Py_None ? nullptr : PyByteArray_AS_STRING(observations.get()),
                        codes.get() == Py_None ? nullptr
                                               : reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(codes.get())),
                        st.bits.data(), st.newest.data(), rows, slots);
        });
        if (reads & READ_MASKS) {
            if (!(masks = OwnedRef::steal(fresh_bytes(k * ACTION_COUNT)))) return nullptr;
            const Outputs out = outputs_of(batch);
            auto* into = PyByteArray_AS_STRING(masks.get());
            for (std::size_t j = 0; j < k; ++j)
                std::memcpy(into + j * ACTION_COUNT, out.mask + static_cast<std::size_t>(st.live[j]) * ACTION_COUNT,
                            ACTION_COUNT);
        }
        if (reads & READ_RANDOM) {
            // Every game's stream draws, as the batch's random_actions() does for all its games.
            std::vector<std::int64_t> drawn(core.size());
            without_lock([&] { core.random_actions(drawn.data()); });
            std::vector<std::int64_t> picked(k);
            for (std::size_t j = 0; j < k; ++j) picked[j] = drawn[static_cast<std::size_t>(st.live[j])];
            if (!(random = OwnedRef::steal(words_of(picked)))) return nullptr;
        }
        if (reads & READ_BELIEFS) {
            if (!(beliefs = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(k))))) return nullptr;
            for (std::size_t j = 0; j < k; ++j) {
                PyObject* held = st.beliefs[2 * static_cast<std::size_t>(st.live[j]) + (sides[j] ? 0 : 1)];
                PyTuple_SET_ITEM(beliefs.get(), static_cast<Py_ssize_t>(j), OwnedRef::borrow(held ? held : Py_None).release());
            }
        }
        rows.insert(rows.end(), slots.begin(), slots.end());
        std::vector<std::int64_t> game_ids(k);
        for (std::size_t j = 0; j < k; ++j)
            game_ids[j] = st.core->entry(static_cast<std::size_t>(st.core->job(static_cast<std::size_t>(st.live[j])))).game;
        OwnedRef ids = OwnedRef::steal(words_of(game_ids));
        OwnedRef live = OwnedRef::steal(words_of(st.live));
        OwnedRef entries = OwnedRef::steal(words_of(rows));
        OwnedRef newest = OwnedRef::steal(words_of(st.newest));
        OwnedRef counts = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(st.counts.size())));
        if (!ids || !live || !entries || !newest || !counts) return nullptr;
        for (std::size_t i = 0; i < st.counts.size(); ++i) {
            PyObject* c = PyLong_FromSize_t(st.counts[i]);
            if (!c) return nullptr;
            PyTuple_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(i), c);
        }
        OwnedRef which = OwnedRef::steal(PyLong_FromSize_t(*unit));
        if (!which) return nullptr;
        st.unit = unit;
        return PyTuple_Pack(12, which.get(), live.get(), counts.get(), white.get(), ids.get(), entries.get(), newest.get(),
                            observations.get(), codes.get(), masks.get(), random.get(), beliefs.get());
    });
}

const char* const SEGMENT_PLAY_PARAMS[] = {"actions", "log_probs"};
constexpr Signature SEGMENT_PLAY_SIGNATURE = {"Segment.play()", SEGMENT_PLAY_PARAMS, 2, 2, true};

// play(actions, log_probs) -> list: the decision of the turn under way, a slot (int64) and its
// log-probability (float32) per game: recorded, played, and the games that end settled. Returns
// the plies of each of the segment's own games that ended. ValueError as GameBatch.step refuses
// a slot, and then no game moves.
PyObject* segment_play(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        SegmentObject* self = as_segment(obj);
        PyObject* bound[2] = {nullptr, nullptr};
        if (bind_args(SEGMENT_PLAY_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        const SegmentCall call(self);
        if (!call.ok()) return nullptr;
        SegmentState& st = *self->state;
        if (!st.unit) return PyErr_Format(PyExc_RuntimeError, "no turn is under way");
        const auto k = static_cast<Py_ssize_t>(st.live.size());
        HeldBuffer actions, log_probs;
        if (acquire(bound[0], "actions", false, k, 8, "qln", actions) < 0 ||
            acquire(bound[1], "log_probs", false, k, 4, "f", log_probs) < 0)
            return nullptr;
        const auto* chosen = static_cast<const std::int64_t*>(actions.view.buf);
        std::optional<Refusal> refusal;
        without_lock([&] {
            st.core->record(st.live.data(), st.live.size(), chosen, static_cast<const float*>(log_probs.view.buf),
                            st.players.data(), st.newest.data(), st.bits.data());
            refusal = st.core->play(st.live.data(), st.live.size(), chosen, false);
        });
        if (refusal) return refuse_step(*refusal, false);
        st.unit.reset();
        if (take_plies(self, st.live) < 0) return nullptr;
        return settle_lanes(obj, st.live);
    });
}

// finish() -> (rows, carried_rows, started): ends the rounds (a turn under way is dropped, its
// games left as they stand); the rows of the shard's games, the rows of the games handed on,
// and how many entries were started.
PyObject* segment_finish(PyObject* obj, PyObject*) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        SegmentObject* self = as_segment(obj);
        const SegmentCall call(self);
        if (!call.ok()) return nullptr;
        SegmentState& st = *self->state;
        st.unit.reset();
        const Segment::Sizes sizes = st.core->finish();
        return Py_BuildValue("nnn", static_cast<Py_ssize_t>(sizes.rows), static_cast<Py_ssize_t>(sizes.carried_rows),
                             static_cast<Py_ssize_t>(sizes.started));
    });
}

// Acquires one writable buffer per field of `schema` (a tuple of them), `items` rows each.
// Returns 0, or -1 with an exception set.
template <std::size_t N>
int acquire_fields(PyObject* tuple, const RowField (&schema)[N], Py_ssize_t items, HeldBuffer (&held)[N],
                   void* (&out)[N]) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_TypeError, "expected a tuple of %zu buffers", N);
        return -1;
    }
    for (std::size_t f = 0; f < N; ++f) {
        const ItemKind kind = item_kind(schema[f].dtype);
        const auto width = static_cast<Py_ssize_t>(std::max<std::size_t>(schema[f].width, 1));
        if (acquire(PyTuple_GET_ITEM(tuple, f), schema[f].name.data(), true, items * width, kind.itemsize, kind.kinds,
                    held[f]) < 0)
            return -1;
        out[f] = held[f].view.buf;
    }
    return 0;
}

// assemble(rows, games, carried): writes the shard after finish(): ROW_SCHEMA's fields (a tuple
// of buffers of `rows` rows), GAME_SCHEMA's (one row per game), and CARRY_SCHEMA's for the
// games handed on (their table, then their rows), or None.
PyObject* segment_assemble(PyObject* obj, PyObject* args) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        SegmentObject* self = as_segment(obj);
        PyObject *rows_arg, *games_arg, *carried_arg;
        if (!PyArg_ParseTuple(args, "OOO:assemble", &rows_arg, &games_arg, &carried_arg)) return nullptr;
        const SegmentCall call(self);
        if (!call.ok()) return nullptr;
        Segment& core = *self->state->core;
        const Segment::Sizes sizes = core.finish();
        const std::size_t games = core.required();
        ShardOut out{};
        HeldBuffer rows_held[ROW_FIELDS], games_held[std::size(GAME_SCHEMA)], carried_held[std::size(CARRY_SCHEMA)];
        if (acquire_fields(rows_arg, ROW_SCHEMA, static_cast<Py_ssize_t>(sizes.rows), rows_held, out.rows) < 0 ||
            acquire_fields(games_arg, GAME_SCHEMA, static_cast<Py_ssize_t>(games), games_held, out.games) < 0)
            return nullptr;
        if (carried_arg != Py_None) {
            if (!PyTuple_Check(carried_arg) || PyTuple_GET_SIZE(carried_arg) != 2)
                return PyErr_Format(PyExc_TypeError, "carried: expected None or (games, rows)");
            // The table of the games handed on, then their rows.
            constexpr std::size_t TABLE = 4;
            for (std::size_t f = 0; f < std::size(CARRY_SCHEMA); ++f) {
                const bool table = f < TABLE;
                PyObject* part = PyTuple_GET_ITEM(carried_arg, table ? 0 : 1);
                const std::size_t at = table ? f : f - TABLE;
                if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 4)
                    return PyErr_Format(PyExc_TypeError, "carried: expected two tuples of 4 buffers");
                const ItemKind kind = item_kind(CARRY_SCHEMA[f].dtype);
                const auto items = static_cast<Py_ssize_t>(table ? sizes.started - games : sizes.carried_rows);
                if (acquire(PyTuple_GET_ITEM(part, at), CARRY_SCHEMA[f].name.data(), true, items, kind.itemsize,
                            kind.kinds, carried_held[f]) < 0)
                    return nullptr;
                out.carried[f] = carried_held[f].view.buf;
            }
        }
        // The check's refusal is caught inside, where the interpreter lock is released.
        std::string refused;
        without_lock([&] {
            try {
                core.assemble(out);
            } catch (const std::logic_error& error) {
                refused = error.what();
            }
        });
        if (!refused.empty()) return PyErr_Format(PyExc_RuntimeError, "%s", refused.c_str());
        Py_RETURN_NONE;
    });
}

PyMethodDef SEGMENT_METHODS[] = {
    {"start", segment_start, METH_O, "start($self, carried, /)\n--\n\n"},
    {"turn", segment_turn, METH_NOARGS, "turn($self, /)\n--\n\n"},
    {"play", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(segment_play)), METH_FASTCALL | METH_KEYWORDS,
     "play($self, actions, log_probs, /)\n--\n\n"},
    {"finish", segment_finish, METH_NOARGS, "finish($self, /)\n--\n\n"},
    {"assemble", segment_assemble, METH_VARARGS, "assemble($self, rows, games, carried, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SEGMENT_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(segment_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(segment_dealloc)},
    {Py_tp_doc, const_cast<char*>("Segment(batch, games, white_of, black_of, required, units, reads, belief_caps, "
                                  "belief_seeds)\n--\n\nThe native round loop of quellor_selfplay.arena.")},
    {Py_tp_methods, SEGMENT_METHODS},
    {0, nullptr},
};

}  // namespace

PyType_Spec SEGMENT_SPEC = {
    "quellor_selfplay._batch.Segment",
    static_cast<int>(sizeof(SegmentObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    SEGMENT_SLOTS,
};


// Adds a schema to the module as a tuple of (name, numpy type string, width) tuples, width 0 for
// a scalar. Returns 0, or -1 with an exception set.
template <std::size_t N>
int add_schema(PyObject* module, const char* attr, const RowField (&schema)[N]) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
    if (!tuple) return -1;
    for (std::size_t k = 0; k < N; ++k) {
        PyObject* field = Py_BuildValue("(s#s#n)", schema[k].name.data(), static_cast<Py_ssize_t>(schema[k].name.size()),
                                        schema[k].dtype.data(), static_cast<Py_ssize_t>(schema[k].dtype.size()),
                                        static_cast<Py_ssize_t>(schema[k].width));
        if (!field) return -1;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), field);
    }
    if (PyModule_AddObject(module, attr, tuple.get()) < 0) return -1;
    tuple.release();
    return 0;
}

int add_segment_constants(PyObject* module) {
    const struct {
        const char* name;
        unsigned value;
    } reads[] = {
        {"READ_OBSERVATIONS", READ_OBSERVATIONS}, {"READ_CODES", READ_CODES}, {"READ_MASKS", READ_MASKS},
        {"READ_RANDOM", READ_RANDOM},             {"READ_BELIEFS", READ_BELIEFS},
    };
    for (const auto& read : reads)
        if (PyModule_AddIntConstant(module, read.name, read.value) < 0) return -1;
    if (add_schema(module, "ROW_SCHEMA", ROW_SCHEMA) < 0 || add_schema(module, "GAME_SCHEMA", GAME_SCHEMA) < 0 ||
        add_schema(module, "CARRY_SCHEMA", CARRY_SCHEMA) < 0)
        return -1;
    return 0;
}

}  // namespace quellor::batch::py
