// The extension module quellor_selfplay._batch: the Python face of the batch core, and the only
// code of it that touches PyObject. Its class is driven by quellor_selfplay.GameBatch, which
// checks and converts user arguments; this layer still checks every buffer it is handed, so
// that no call can make the core read or write outside memory it owns. It is written in the
// same idiom as the quellor module (binding/cpython.hpp).

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "batch.hpp"
#include "binding.hpp"
#include "greedy.hpp"
#include "slots.hpp"

namespace quellor::batch::py {

// =============================================================================================
// Buffers

// The item kind a buffer's format names, ignoring a native byte-order prefix.
char format_kind(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    return f[0] != '\0' && f[1] == '\0' ? f[0] : '\0';
}

// Acquires a C-contiguous buffer of any length of `itemsize`-byte items of one of `kinds`;
// `items` receives their number. Returns 0, or -1 with an exception set naming `what`.
int acquire_any(PyObject* obj, const char* what, bool writable, Py_ssize_t itemsize, const char* kinds,
                HeldBuffer& out, Py_ssize_t& items) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &out.view, flags) < 0) return -1;
    out.held = true;
    const char kind = format_kind(out.view);
    if (out.view.itemsize != itemsize || kind == '\0' || !std::strchr(kinds, kind)) {
        PyErr_Format(PyExc_TypeError, "%s: unexpected item format '%s'", what, out.view.format ? out.view.format : "B");
        out.release();
        return -1;
    }
    items = out.view.len / itemsize;
    return 0;
}

// Acquires a C-contiguous buffer of exactly `items` items of `itemsize` bytes whose format is
// one of `kinds`. Returns 0, or -1 with ValueError or TypeError set naming `what`.
int acquire(PyObject* obj, const char* what, bool writable, Py_ssize_t items, Py_ssize_t itemsize,
            const char* kinds, HeldBuffer& out) {
    Py_ssize_t found = 0;
    if (acquire_any(obj, what, writable, itemsize, kinds, out, found) < 0) return -1;
    if (found != items) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd items, got %zd", what, items, found);
        out.release();
        return -1;
    }
    return 0;
}

// =============================================================================================
// Module state and the instance

// The keys of play_random's counts, interned once: the dict is built on every call.
constexpr const char* TALLY_KEYS[] = {"plies", "white_wins", "black_wins", "draws", "truncations"};
static_assert(std::size(TALLY_KEYS) == static_cast<std::size_t>(TallyKey::Count));


// Reads game index `obj` for a batch of n games. Returns false with an exception set.
bool game_index(PyObject* obj, std::size_t n, std::size_t& out) {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    int sign = 0;
    const long long i = PyLong_AsLongLongAndOverflow(index.get(), &sign);
    if (i == -1 && PyErr_Occurred()) return false;
    if (sign != 0 || i < 0 || static_cast<unsigned long long>(i) >= n) {
        PyErr_Format(PyExc_IndexError, "game index %S out of range for %zu games", index.get(), n);
        return false;
    }
    out = static_cast<std::size_t>(i);
    return true;
}

// =============================================================================================
// Construction and release

// The enum value whose name `names` lists at its index.
template <class Enum, std::size_t N>
std::optional<Enum> named(const std::array<std::string_view, N>& names, std::string_view s) {
    for (std::size_t k = 0; k < N; ++k)
        if (names[k] == s) return static_cast<Enum>(k);
    return std::nullopt;
}
std::optional<Rules> rules_named(std::string_view s) { return named<Rules>(RULES_NAMES, s); }
std::optional<ObservationMode> observation_named(std::string_view s) {
    return named<ObservationMode>(OBSERVATION_NAMES, s);
}
std::optional<Dtype> dtype_named(std::string_view s) {
    if (s == "uint8") return Dtype::UInt8;
    if (s == "float32") return Dtype::Float32;
    return std::nullopt;
}

// What the engine's FEN reader lets pass but a start position must not have: it splits at
// single spaces, reads four fields and ignores the rest, so a NUL (where C code would see the
// text end), a seventh field or a clock that is not a number would be silently dropped.
// Returns the fault, or null when the text has none of these.
const char* fen_text_fault(std::string_view fen) {
    if (fen.find('\0') != std::string_view::npos) return "it holds a NUL character";
    std::size_t field = 0;
    for (std::size_t start = 0;; ++field) {
        const std::size_t space = fen.find(' ', start);
        const std::string_view text = fen.substr(start, space == std::string_view::npos ? space : space - start);
        if (field >= 6) return "it has text after its sixth field";
        if (field >= 4 && (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos))
            return field == 4 ? "its halfmove clock is not a number" : "its fullmove number is not a number";
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    return nullptr;
}

// One start position from FEN text. Returns false with ValueError naming game `i` set.
bool read_start(std::string_view fen, std::size_t i, chess::Board& out) {
    if (const char* fault = fen_text_fault(fen)) {
        PyErr_Format(PyExc_ValueError, "game %zu: Invalid FEN string: %s", i, fault);
        return false;
    }
    const auto board = chess::Board::from_str(fen);
    if (!board) {
        PyErr_Format(PyExc_ValueError, "game %zu: Invalid FEN string", i);
        return false;
    }
    out = *board;
    return true;
}

// Reads the start positions: one FEN text for every game, or a list of n texts.
// Returns false with ValueError (naming the game) or TypeError set.
bool read_starts(PyObject* fens, std::size_t n, std::vector<chess::Board>& starts, std::vector<std::uint32_t>& which) {
    if (PyUnicode_Check(fens)) {
        Text text;
        chess::Board board;
        if (text_of(fens, text) < 0 || !read_start(text.view, 0, board)) return false;
        starts.push_back(board);
        return true;
    }
    if (!PyList_Check(fens) || static_cast<std::size_t>(PyList_GET_SIZE(fens)) != n) {
        PyErr_Format(PyExc_TypeError, "fens must be a str or a list of %zu str", n);
        return false;
    }
    starts.reserve(n);
    which.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(fens, static_cast<Py_ssize_t>(i));
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "game %zu: FEN must be a str, not %s", i, Py_TYPE(item)->tp_name);
            return false;
        }
        Text text;
        chess::Board board;
        if (text_of(item, text) < 0 || !read_start(text.view, i, board)) return false;
        starts.push_back(board);
        which.push_back(static_cast<std::uint32_t>(i));
    }
    return true;
}

// Allocates an instance without a core and acquires its output buffers, checked against
// `config`. Returns a new reference, or null with an exception set.
PyObject* new_instance(PyTypeObject* type, const Config& config, PyObject* outputs) {
    if (!PyTuple_Check(outputs) || PyTuple_GET_SIZE(outputs) != static_cast<Py_ssize_t>(OUTPUT_COUNT))
        return PyErr_Format(PyExc_TypeError, "outputs must be a tuple of %zu buffers", OUTPUT_COUNT);
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    BatchObject* self = as_batch(obj);
    self->core = nullptr;
    for (auto& b : self->outputs) new (&b) HeldBuffer();
    new (&self->busy) BorrowFlag();

    const auto games = static_cast<Py_ssize_t>(config.n);
    const Py_ssize_t obs_items = games * static_cast<Py_ssize_t>(OBS_ROWS * OBS_COLS);
    const bool wide = config.dtype == Dtype::Float32;
    struct Want {
        const char* what;
        Py_ssize_t items, itemsize;
        const char* kinds;
    };
    const Want wants[OUTPUT_COUNT] = {
        {"observation", obs_items, wide ? 4 : 1, wide ? "f" : "B"},
        {"legal_action_mask", games * ACTION_COUNT, 1, "?Bb"},
        {"to_move", games, 1, "?Bb"},
        {"rewards", games * 2, 4, "f"},
        {"terminated", games, 1, "?Bb"},
        {"truncated", games, 1, "?Bb"},
        {"plies", games, 8, "qln"},
        {"last_move", games, 8, "qln"},
        {"ending", games, 1, "b"},
        {"result", games, 1, "b"},
    };
    for (std::size_t k = 0; k < OUTPUT_COUNT; ++k) {
        if (acquire(PyTuple_GET_ITEM(outputs, static_cast<Py_ssize_t>(k)), wants[k].what, true, wants[k].items,
                    wants[k].itemsize, wants[k].kinds, self->outputs[k]) < 0) {
            Py_DECREF(obj);
            return nullptr;
        }
    }
    return obj;
}

Outputs outputs_of(BatchObject* self) {
    return Outputs{
        self->outputs[0].view.buf,
        static_cast<std::uint8_t*>(self->outputs[1].view.buf),
        static_cast<std::uint8_t*>(self->outputs[2].view.buf),
        static_cast<float*>(self->outputs[3].view.buf),
        static_cast<std::uint8_t*>(self->outputs[4].view.buf),
        static_cast<std::uint8_t*>(self->outputs[5].view.buf),
        static_cast<std::int64_t*>(self->outputs[6].view.buf),
        static_cast<std::int64_t*>(self->outputs[7].view.buf),
        static_cast<std::int8_t*>(self->outputs[8].view.buf),
        static_cast<std::int8_t*>(self->outputs[9].view.buf),
    };
}

// Makes the core with the interpreter lock released (starting the workers and writing every
// game's first outputs takes a while for a large batch; nothing else can reach the new object
// yet). Returns `obj`, or null (with `obj` released) after an exception, which propagates; a
// refused worker thread is the caller's to fix (fewer threads), so it is a RuntimeError in the
// pool's own words rather than an internal error.
template <class Make>
PyObject* install_core(PyObject* obj, Make&& make) {
    BatchObject* self = as_batch(obj);
    try {
        Batch* core = nullptr;
        std::exception_ptr error;
        without_lock([&] {
            try {
                core = make();
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error) std::rethrow_exception(error);
        self->core = core;
    } catch (const ThreadStartError& e) {
        Py_DECREF(obj);
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (...) {
        Py_DECREF(obj);
        throw;
    }
    return obj;
}

const char* const NEW_PARAMS[] = {"n",       "rules", "observation", "dtype",      "max_plies",
                                  "seed",    "threads", "fens",      "auto_reset", "outputs"};
constexpr Signature NEW_SIGNATURE = {"Batch.__new__()", NEW_PARAMS, 10, 10};

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[10];
        if (bind_args(NEW_SIGNATURE, args, kwargs, bound) < 0) return nullptr;
        PyObject *rules_arg = bound[1], *observation_arg = bound[2], *dtype_arg = bound[3], *fens = bound[7],
                 *outputs = bound[9];
        std::uint64_t n, threads;
        Text rules, observation, dtype;
        bool auto_reset;
        Config config;
        // More threads than games are cut down to one per game, so any count that fits will do.
        if (u64_arg(bound[0], "n", 1, MAX_GAMES, n) < 0 || str_arg(rules_arg, "rules", rules) < 0 ||
            str_arg(observation_arg, "observation", observation) < 0 || str_arg(dtype_arg, "dtype", dtype) < 0 ||
            u64_arg(bound[4], "max_plies", 0, UINT64_MAX, config.max_plies) < 0 ||
            u64_arg(bound[5], "seed", 0, UINT64_MAX, config.seed) < 0 ||
            u64_arg(bound[6], "threads", 1, UINT64_MAX, threads) < 0 || truth_arg(bound[8], auto_reset) < 0)
            return nullptr;

        const auto r = rules_named(rules.view);
        if (!r) return PyErr_Format(PyExc_ValueError, "unknown rules '%U' (expected 'dark' or 'legal')", rules_arg);
        const auto o = observation_named(observation.view);
        if (!o)
            return PyErr_Format(PyExc_ValueError, "unknown observation '%U' (expected 'own' or 'history')",
                                observation_arg);
        const auto d = dtype_named(dtype.view);
        if (!d) return PyErr_Format(PyExc_ValueError, "unknown dtype '%U' (expected 'uint8' or 'float32')", dtype_arg);
        config.n = static_cast<std::size_t>(n);
        config.rules = *r;
        config.observation = *o;
        config.dtype = *d;
        config.threads = static_cast<std::size_t>(threads);
        config.auto_reset = auto_reset;

        std::vector<chess::Board> starts;
        std::vector<std::uint32_t> which;
        if (fens == Py_None) {
            starts.push_back(*chess::Board::from_str(START_FEN));
        } else if (!read_starts(fens, config.n, starts, which)) {
            return nullptr;
        }

        PyObject* obj = new_instance(type, config, outputs);
        if (!obj) return nullptr;
        const Outputs out = outputs_of(as_batch(obj));
        return install_core(obj, [&] { return new Batch(config, std::move(starts), std::move(which), out); });
    });
}

void batch_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    BatchObject* self = as_batch(obj);
    delete self->core;
    for (auto& b : self->outputs) b.~HeldBuffer();
    self->busy.~BorrowFlag();
    type->tp_free(obj);
    Py_DECREF(type);
}

// =============================================================================================
// Playing

// Copies the int64 entries of `actions` into the core's scratch, so that nothing another
// thread does to the caller's array while the games are played can change them.
bool copy_actions(BatchObject* self, PyObject* actions) {
    HeldBuffer in;
    if (acquire(actions, "actions", false, static_cast<Py_ssize_t>(self->core->size()), 8, "qln", in) < 0) return false;
    std::memcpy(self->core->actions(), in.view.buf, self->core->size() * sizeof(std::int64_t));
    return true;
}

// The ValueError of a refused step: the first game whose entry is out of range or not legal.
PyObject* refuse_step(const Refusal& refusal, bool exact_moves) {
    const long long v = refusal.value;
    if (exact_moves) {
        if (refusal.out_of_range)
            return PyErr_Format(PyExc_ValueError, "game %zu: move code %lld is out of range (0..%lld)", refusal.game,
                                v, static_cast<long long>(MOVE_CODE_COUNT - 1));
        char uci[chess::ChessMove::MAX_UCI_LEN];
        const std::string text(uci, code_move(v).write_uci(uci));
        return PyErr_Format(PyExc_ValueError, "game %zu: move code %lld (%s) is not legal", refusal.game, v,
                            text.c_str());
    }
    if (refusal.out_of_range)
        return PyErr_Format(PyExc_ValueError, "game %zu: action %lld is out of range (0..%d)", refusal.game, v,
                            ACTION_COUNT - 1);
    return PyErr_Format(PyExc_ValueError, "game %zu: action %lld is not a legal slot", refusal.game, v);
}

const char* const STEP_PARAMS[] = {"actions", "exact_moves", "games"};
constexpr Signature STEP_SIGNATURE = {"Batch.step()", STEP_PARAMS, 3, 2, true};

// step(actions, exact_moves, games=None): plays one move in every unfinished game, or in those
// of them that the bool mask `games` names.
PyObject* batch_step(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        PyObject* bound[3] = {nullptr, nullptr, Py_None};
        bool exact_moves;
        if (bind_args(STEP_SIGNATURE, args, nargs, kwnames, bound) < 0 || truth_arg(bound[1], exact_moves) < 0)
            return nullptr;
        const Borrow busy = use_batch(self);
        if (!busy.ok() || !copy_actions(self, bound[0])) return nullptr;
        HeldBuffer games;
        if (bound[2] && bound[2] != Py_None &&
            acquire(bound[2], "games", false, static_cast<Py_ssize_t>(self->core->size()), 1, "?", games) < 0)
            return nullptr;
        // Copied for the same reason as the entries.
        std::vector<std::uint8_t> mask;
        if (games.held) mask.assign(static_cast<std::uint8_t*>(games.view.buf),
                                    static_cast<std::uint8_t*>(games.view.buf) + self->core->size());
        std::optional<Refusal> refusal;
        without_lock([&] { refusal = self->core->step(exact_moves, games.held ? mask.data() : nullptr); });
        if (!refusal) Py_RETURN_NONE;
        return refuse_step(*refusal, exact_moves);
    });
}

// random_actions(out): writes a random legal slot per unfinished game, -1 per finished one.
PyObject* batch_random_actions(PyObject* obj, PyObject* out_arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        HeldBuffer out;
        if (acquire(out_arg, "out", true, static_cast<Py_ssize_t>(self->core->size()), 8, "qln", out) < 0)
            return nullptr;
        without_lock([&] { self->core->random_actions(static_cast<std::int64_t*>(out.view.buf)); });
        Py_RETURN_NONE;
    });
}

// Plies a round of play_random plays between two looks at the interpreter's signals: a
// fraction of a second, and enough steps per game that writing the outputs at the end of each
// round costs nothing next to playing them.
constexpr std::uint64_t ROUND_PLIES = std::uint64_t{1} << 22;
constexpr std::uint64_t MIN_ROUND_STEPS = 16;

// play_random(steps) -> dict of counts. Played in rounds, with the signals looked at between
// them, so that Ctrl-C stops a long run (leaving every game as a round ended it, outputs
// written); once every game is over for good, the steps left are played in one round, which
// returns at once.
PyObject* batch_play_random(PyObject* obj, PyObject* arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        std::uint64_t steps;
        if (u64_arg(arg, "steps", 0, UINT64_MAX, steps) < 0) return nullptr;
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        Batch& core = *self->core;
        const std::uint64_t round_steps = std::max(ROUND_PLIES / core.size(), MIN_ROUND_STEPS);
        const bool games_end = !core.config().auto_reset;
        Tally tally;
        for (std::uint64_t left = steps; left > 0;) {
            Tally round;
            std::exception_ptr error;
            without_lock([&] {
                try {
                    const bool one_round = left <= round_steps || (games_end && core.all_finished());
                    const std::uint64_t k = one_round ? left : round_steps;
                    round = core.play_random(k);
                    left -= k;
                } catch (...) {
                    error = std::current_exception();
                }
            });
            if (error) std::rethrow_exception(error);
            tally.plies += round.plies;
            tally.white_wins += round.white_wins;
            tally.black_wins += round.black_wins;
            tally.draws += round.draws;
            tally.truncations += round.truncations;
            if (left > 0 && PyErr_CheckSignals() < 0) return nullptr;
        }
        const std::uint64_t counts[] = {tally.plies, tally.white_wins, tally.black_wins, tally.draws,
                                        tally.truncations};
        const ModuleState& state = state_of(obj);
        OwnedRef dict = OwnedRef::steal(PyDict_New());
        if (!dict) return nullptr;
        for (std::size_t k = 0; k < std::size(counts); ++k) {
            OwnedRef count = OwnedRef::steal(PyLong_FromUnsignedLongLong(counts[k]));
            if (!count || PyDict_SetItem(dict.get(), state.tally_keys[k], count.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

const char* const RESET_PARAMS[] = {"seed", "games"};
constexpr Signature RESET_SIGNATURE = {"Batch.reset()", RESET_PARAMS, 2, 2, true};

// reset(seed or None, games mask or None).
PyObject* batch_reset(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        PyObject* bound[2];
        if (bind_args(RESET_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        PyObject *seed_arg = bound[0], *games_arg = bound[1];
        std::optional<std::uint64_t> seed;
        if (seed_arg != Py_None) {
            std::uint64_t value;
            if (!PyLong_Check(seed_arg)) return PyErr_Format(PyExc_TypeError, "seed must be an int or None");
            if (u64_arg(seed_arg, "seed", 0, UINT64_MAX, value) < 0) return nullptr;
            seed = value;
        }
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        HeldBuffer games;
        if (games_arg != Py_None &&
            acquire(games_arg, "games", false, static_cast<Py_ssize_t>(self->core->size()), 1, "?", games) < 0)
            return nullptr;
        // The mask is copied: another thread could change the caller's array meanwhile.
        std::vector<std::uint8_t> mask;
        if (games.held) mask.assign(static_cast<std::uint8_t*>(games.view.buf),
                                    static_cast<std::uint8_t*>(games.view.buf) + self->core->size());
        without_lock([&] { self->core->reset(seed, games.held ? mask.data() : nullptr); });
        Py_RETURN_NONE;
    });
}

// packed_observation(out): n x PACKED_WORDS int64.
PyObject* batch_packed_observation(PyObject* obj, PyObject* out_arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        HeldBuffer out;
        const auto items = static_cast<Py_ssize_t>(self->core->size() * Batch::PACKED_WORDS);
        if (acquire(out_arg, "out", true, items, 8, "qln", out) < 0) return nullptr;
        without_lock([&] { self->core->packed_observation(static_cast<std::int64_t*>(out.view.buf)); });
        Py_RETURN_NONE;
    });
}

// Holds in `index` the int64 game indices `obj`, k of them, each below the batch's size;
// -1 with IndexError or the buffer's error set.
int acquire_games(PyObject* obj, BatchObject* self, HeldBuffer& index, Py_ssize_t& k) {
    if (acquire_any(obj, "index", false, 8, "qln", index, k) < 0) return -1;
    const auto* games = static_cast<const std::int64_t*>(index.view.buf);
    const auto n = static_cast<std::int64_t>(self->core->size());
    for (Py_ssize_t j = 0; j < k; ++j)
        if (games[j] < 0 || games[j] >= n) {
            PyErr_Format(PyExc_IndexError, "game index %lld out of range for %lld games",
                         static_cast<long long>(games[j]), static_cast<long long>(n));
            return -1;
        }
    return 0;
}

const char* const NEWEST_PARAMS[] = {"index", "out"};
constexpr Signature NEWEST_SIGNATURE = {"Batch.packed_newest()", NEWEST_PARAMS, 2, 2, true};

// packed_newest(index, out): for the k games of the int64 `index`, the newest frame and the
// castling word of packed_observation(), k x NEWEST_WORDS int64.
PyObject* batch_packed_newest(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        PyObject* bound[2] = {nullptr, nullptr};
        if (bind_args(NEWEST_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        HeldBuffer index, out;
        Py_ssize_t k = 0;
        if (acquire_games(bound[0], self, index, k) < 0) return nullptr;
        const auto* games = static_cast<const std::int64_t*>(index.view.buf);
        if (acquire(bound[1], "out", true, k * static_cast<Py_ssize_t>(Batch::NEWEST_WORDS), 8, "qln", out) < 0)
            return nullptr;
        self->core->packed_newest(games, static_cast<std::size_t>(k), static_cast<std::int64_t*>(out.view.buf));
        Py_RETURN_NONE;
    });
}

const char* const GATHER_PARAMS[] = {"index", "observations", "codes", "bits", "newest"};
constexpr Signature GATHER_SIGNATURE = {"Batch.gather()", GATHER_PARAMS, 5, 5, true};

// gather(index, observations, codes, bits, newest) -> bytearray: for the k games of the int64
// `index`, their observations copied to `observations` (k x 64 x 106 of the batch's dtype) and
// written as square codes to `codes` (k x 64 x SQUARE_CODES uint8), each skipped for None, their
// masks packed to `bits` (k x MASK_BYTES), their newest frames as packed_newest() writes them to
// `newest`; returns the rows (0..k-1), then the slots, of their legal entries as int64.
PyObject* batch_gather(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        PyObject* bound[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
        if (bind_args(GATHER_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        HeldBuffer index, observations, codes, bits, newest;
        Py_ssize_t k = 0;
        if (acquire_games(bound[0], self, index, k) < 0) return nullptr;
        const auto* games = static_cast<const std::int64_t*>(index.view.buf);
        void* copies = nullptr;
        if (bound[1] != Py_None) {
            const bool wide = self->core->config().dtype == Dtype::Float32;
            if (acquire(bound[1], "observations", true, k * static_cast<Py_ssize_t>(OBS_ROWS * OBS_COLS),
                        wide ? 4 : 1, wide ? "f" : "B", observations) < 0)
                return nullptr;
            copies = observations.view.buf;
        }
        std::uint8_t* square_codes = nullptr;
        if (bound[2] != Py_None) {
            if (acquire(bound[2], "codes", true, k * static_cast<Py_ssize_t>(OBS_ROWS * Batch::SQUARE_CODES), 1, "B",
                        codes) < 0)
                return nullptr;
            square_codes = static_cast<std::uint8_t*>(codes.view.buf);
        }
        if (acquire(bound[3], "bits", true, k * static_cast<Py_ssize_t>(MASK_BYTES), 1, "B", bits) < 0 ||
            acquire(bound[4], "newest", true, k * static_cast<Py_ssize_t>(Batch::NEWEST_WORDS), 8, "qln", newest) < 0)
            return nullptr;
        std::vector<std::int64_t> rows, slots;
        rows.reserve(static_cast<std::size_t>(k) * 64);
        slots.reserve(static_cast<std::size_t>(k) * 64);
        without_lock([&] {
            self->core->gather(games, static_cast<std::size_t>(k), copies, square_codes,
                               static_cast<std::uint8_t*>(bits.view.buf),
                               static_cast<std::int64_t*>(newest.view.buf), rows, slots);
        });
        const std::size_t count = rows.size();
        OwnedRef out = OwnedRef::steal(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * count * sizeof(std::int64_t))));
        if (!out) return nullptr;
        auto* words = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
        if (count) {
            std::memcpy(words, rows.data(), count * sizeof(std::int64_t));
            std::memcpy(words + count, slots.data(), count * sizeof(std::int64_t));
        }
        return out.release();
    });
}

// write_observations(): rewrites every observation from the games' frames.
PyObject* batch_write_observations(PyObject* obj, PyObject*) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        without_lock([&] { self->core->write_observations(); });
        Py_RETURN_NONE;
    });
}

// clone(outputs): an independent copy writing to the given buffers.
PyObject* batch_clone(PyObject* obj, PyObject* outputs) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        const Borrow busy = use_batch(self);
        if (!busy.ok()) return nullptr;
        PyObject* copy = new_instance(Py_TYPE(obj), self->core->config(), outputs);
        if (!copy) return nullptr;
        const Outputs out = outputs_of(as_batch(copy));
        return install_core(copy, [&] { return new Batch(*self->core, out); });
    });
}

// =============================================================================================
// Queries of one game

PyObject* batch_legal_moves(PyObject* obj, PyObject* arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        std::size_t i;
        const Borrow busy = use_batch(self);
        if (!busy.ok() || !game_index(arg, self->core->size(), i)) return nullptr;
        const std::vector<std::int32_t> codes = self->core->legal_move_codes(i);
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(codes.size()));
        if (!list) return nullptr;
        for (std::size_t k = 0; k < codes.size(); ++k) {
            PyObject* code = PyLong_FromLong(codes[k]);
            if (!code) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), code);
        }
        return list;
    });
}

PyObject* batch_fen(PyObject* obj, PyObject* arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        std::size_t i;
        const Borrow busy = use_batch(self);
        if (!busy.ok() || !game_index(arg, self->core->size(), i)) return nullptr;
        const std::string fen = self->core->fen(i);
        return PyUnicode_FromStringAndSize(fen.data(), static_cast<Py_ssize_t>(fen.size()));
    });
}

// planes(i) -> bytes of k x 832 (k <= 8), the planes of the last k positions, oldest first.
PyObject* batch_planes(PyObject* obj, PyObject* arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BatchObject* self = as_batch(obj);
        std::size_t i;
        const Borrow busy = use_batch(self);
        if (!busy.ok() || !game_index(arg, self->core->size(), i)) return nullptr;
        std::vector<std::uint8_t> planes(HISTORY_LEN * PLANE_LEN);
        const std::size_t count = self->core->planes(i, planes.data());
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(planes.data()),
                                         static_cast<Py_ssize_t>(count * PLANE_LEN));
    });
}

PyObject* get_bytes_per_game(PyObject* obj, void*) {
    return PyLong_FromSize_t(as_batch(obj)->core->bytes_per_game());
}

PyObject* get_threads(PyObject* obj, void*) { return PyLong_FromSize_t(as_batch(obj)->core->threads()); }

// =============================================================================================

PyMethodDef BATCH_METHODS[] = {
    {"step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_step)), METH_FASTCALL | METH_KEYWORDS,
     "step($self, actions, exact_moves, games=None, /)\n--\n\n"},
    {"random_actions", batch_random_actions, METH_O, "random_actions($self, out, /)\n--\n\n"},
    {"play_random", batch_play_random, METH_O, "play_random($self, steps, /)\n--\n\n"},
    {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_reset)), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, seed, games, /)\n--\n\n"},
    {"packed_observation", batch_packed_observation, METH_O, "packed_observation($self, out, /)\n--\n\n"},
    {"packed_newest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_packed_newest)),
     METH_FASTCALL | METH_KEYWORDS, "packed_newest($self, index, out, /)\n--\n\n"},
    {"gather", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_gather)),
     METH_FASTCALL | METH_KEYWORDS, "gather($self, index, observations, codes, bits, newest, /)\n--\n\n"},
    {"write_observations", batch_write_observations, METH_NOARGS, "write_observations($self, /)\n--\n\n"},
    {"clone", batch_clone, METH_O, "clone($self, outputs, /)\n--\n\n"},
    {"legal_moves", batch_legal_moves, METH_O, "legal_moves($self, i, /)\n--\n\n"},
    {"fen", batch_fen, METH_O, "fen($self, i, /)\n--\n\n"},
    {"planes", batch_planes, METH_O, "planes($self, i, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef BATCH_GETSET[] = {
    {"bytes_per_game", get_bytes_per_game, nullptr, nullptr, nullptr},
    {"threads", get_threads, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot BATCH_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_doc, const_cast<char*>("Batch(n, rules, observation, dtype, max_plies, seed, threads, fens, "
                                  "auto_reset, outputs)\n--\n\nThe native core of quellor_selfplay.GameBatch.")},
    {Py_tp_methods, BATCH_METHODS},
    {Py_tp_getset, BATCH_GETSET},
    {0, nullptr},
};

PyType_Spec BATCH_SPEC = {
    "quellor_selfplay._batch.Batch",
    static_cast<int>(sizeof(BatchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    BATCH_SLOTS,
};

// =============================================================================================
// Beliefs: the positions one side of one game cannot rule out


const char* const BELIEF_PARAMS[] = {"batch", "game", "white", "cap", "seed"};
constexpr Signature BELIEF_SIGNATURE = {"Belief.__new__()", BELIEF_PARAMS, 5, 5};

// A new belief of one side of game i of the batch `batch_obj`, at the game's start; the caller
// holds the batch's borrow. Returns a new reference, or null with ValueError set for a game it
// cannot follow.
PyObject* new_belief(PyTypeObject* type, PyObject* batch_obj, std::size_t i, bool white, std::uint64_t cap,
                     std::uint64_t seed) {
    const Batch& core = *as_batch(batch_obj)->core;
    if (core.config().rules != Rules::Dark)
        return PyErr_Format(PyExc_ValueError, "a belief follows a game played under the dark rules, not '%s'",
                            RULES_NAMES[static_cast<std::size_t>(core.config().rules)].data());
    const Game& g = core.game(i);
    if (g.finished()) return PyErr_Format(PyExc_ValueError, "game %zu is over: there is nothing to follow", i);
    if (g.plies != 0)
        return PyErr_Format(PyExc_ValueError, "game %zu has played %llu plies: a belief follows its game from the start",
                            i, static_cast<unsigned long long>(g.plies));
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    BeliefObject* self = as_belief(obj);
    self->batch = OwnedRef::borrow(batch_obj).release();
    self->game = i;
    self->ply = 0;
    self->start_ply = core.start_of(i).side_to_move == chess::Color::White ? 0 : 1;
    self->size = 1;
    self->exact = true;
    self->candidates = 0;
    self->core = nullptr;
    new (&self->busy) BorrowFlag();
    try {
        self->core = new Belief(core.start_of(i), white ? chess::Color::White : chess::Color::Black,
                                static_cast<std::size_t>(cap), seed);
    } catch (...) {
        Py_DECREF(obj);
        throw;
    }
    return obj;
}

// Belief(batch, game, white, cap, seed): the belief of one side of game `game` at its start.
PyObject* belief_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[5];
        if (bind_args(BELIEF_SIGNATURE, args, kwargs, bound) < 0) return nullptr;
        PyObject* batch_obj = bound[0];
        if (Py_TYPE(batch_obj) != reinterpret_cast<PyTypeObject*>(module_state<ModuleState>(type).batch_type))
            return PyErr_Format(PyExc_TypeError, "batch must be a quellor_selfplay._batch.Batch, not %s",
                                Py_TYPE(batch_obj)->tp_name);
        bool white;
        std::uint64_t cap, seed;
        if (truth_arg(bound[2], white) < 0 || u64_arg(bound[3], "cap", 1, UINT32_MAX - 1, cap) < 0 ||
            u64_arg(bound[4], "seed", 0, UINT64_MAX, seed) < 0)
            return nullptr;
        BatchObject* batch = as_batch(batch_obj);
        const Borrow busy = use_batch(batch);
        std::size_t i;
        if (!busy.ok() || !game_index(bound[1], batch->core->size(), i)) return nullptr;
        return new_belief(type, batch_obj, i, white, cap, seed);
    });
}

void belief_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    BeliefObject* self = as_belief(obj);
    delete self->core;
    Py_XDECREF(self->batch);
    self->busy.~BorrowFlag();
    type->tp_free(obj);
    Py_DECREF(type);
}

// Takes in the ply `core` (the belief's game, whose borrow the caller holds) has played since
// the belief's last ply, if any. The side's view and, on its own turn, its move and the game's
// going on are all the belief reads of the game. Returns 1 when it took in a ply, 0 when there
// was none, or -1 with ValueError set when the game moved on by more than a ply or was restarted.
int take_ply(BeliefObject* self, const Batch& core) {
    Belief& belief = *self->core;
    const chess::Color side = belief.side();
    const bool own = belief.side_to_move() == side;
    View view;
    chess::ChessMove move{};
    Moves after = Moves::Some;
    const Game& g = core.game(self->game);
    if (g.plies == self->ply) return 0;
    if (g.plies < self->ply) {
        PyErr_Format(PyExc_ValueError, "game %zu is at ply %llu, behind the belief's ply %llu: it was restarted",
                     self->game, static_cast<unsigned long long>(g.plies), static_cast<unsigned long long>(self->ply));
        return -1;
    }
    if (g.plies > self->ply + 1) {
        PyErr_Format(PyExc_ValueError, "game %zu is at ply %llu, the belief at ply %llu: update() must follow every ply",
                     self->game, static_cast<unsigned long long>(g.plies), static_cast<unsigned long long>(self->ply));
        return -1;
    }
    // A step that left the game out since its move forgets the move (last_move -1).
    if (own && g.last_move < 0) {
        PyErr_Format(PyExc_ValueError,
                     "game %zu no longer shows its last move: a step left it out since; update() must follow every step",
                     self->game);
        return -1;
    }
    view = view_of(g.board, side);
    if (own) {
        move = code_move(g.last_move);
        if (g.ending == Ending::KingCaptured) after = Moves::Unknown;
        else if (g.ending == Ending::Stalemate) after = Moves::None;
    }
    // Out of memory midway leaves the belief as it was (a new set replaces the old only once
    // made), and the exception must not leave this thread without the lock.
    std::exception_ptr error;
    without_lock([&] {
        try {
            if (own) belief.own_move(move, view, after);
            else belief.other_move(view);
        } catch (...) {
            error = std::current_exception();
        }
    });
    if (error) std::rethrow_exception(error);
    ++self->ply;
    self->size = belief.size();
    self->exact = belief.exact();
    self->candidates = belief.candidates();
    return 1;
}

// update() -> bool: takes in the ply the game has played since the last update; False when
// there was none.
PyObject* belief_update(PyObject* obj, PyObject*) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BeliefObject* self = as_belief(obj);
        const Borrow mine(self->busy, Borrow::Exclusive, BELIEF_REFUSAL);
        if (!mine.ok()) return nullptr;
        BatchObject* batch = as_batch(self->batch);
        const Borrow busy = use_batch(batch);
        if (!busy.ok()) return nullptr;
        const int took = take_ply(self, *batch->core);
        if (took < 0) return nullptr;
        return PyBool_FromLong(took);
    });
}

// The FEN of member i, its fullmove number counted as the batch counts it.
PyObject* member_fen(BeliefObject* self, std::size_t i) {
    const std::string fen = self->core->board(i).to_fen(1 + (self->ply + self->start_ply) / 2);
    return PyUnicode_FromStringAndSize(fen.data(), static_cast<Py_ssize_t>(fen.size()));
}

// Returns a new list of the FENs of members `which`, or null with an exception set.
PyObject* member_fens(BeliefObject* self, const std::vector<std::size_t>& which) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(which.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < which.size(); ++k) {
        PyObject* fen = member_fen(self, which[k]);
        if (!fen) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), fen);
    }
    return list.release();
}

const char* const SAMPLE_PARAMS[] = {"k", "seed"};
constexpr Signature SAMPLE_SIGNATURE = {"Belief.sample()", SAMPLE_PARAMS, 2, 2, true};

// sample(k, seed) -> list of k FENs of distinct members, uniform without replacement.
PyObject* belief_sample(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BeliefObject* self = as_belief(obj);
        PyObject* bound[2];
        std::uint64_t k, seed;
        if (bind_args(SAMPLE_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
            u64_arg(bound[0], "k", 0, UINT64_MAX, k) < 0 || u64_arg(bound[1], "seed", 0, UINT64_MAX, seed) < 0)
            return nullptr;
        const Borrow mine(self->busy, Borrow::Exclusive, BELIEF_REFUSAL);
        if (!mine.ok()) return nullptr;
        const std::size_t n = self->core->size();
        if (k > n)
            return PyErr_Format(PyExc_ValueError, "cannot sample %llu positions from a belief of %zu",
                                static_cast<unsigned long long>(k), n);
        return member_fens(self, self->core->sample(static_cast<std::size_t>(k), seed));
    });
}

// positions() -> list of the FENs of every member, in the order the belief keeps them.
PyObject* belief_positions(PyObject* obj, PyObject*) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BeliefObject* self = as_belief(obj);
        const Borrow mine(self->busy, Borrow::Exclusive, BELIEF_REFUSAL);
        if (!mine.ok()) return nullptr;
        std::vector<std::size_t> all(self->core->size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        return member_fens(self, all);
    });
}

// occupancy() -> list of 6 lists of 64 ints: members with a piece of the other side of each kind
// (pawn .. king) on each square (a1 = 0).
PyObject* belief_occupancy(PyObject* obj, PyObject*) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BeliefObject* self = as_belief(obj);
        const Borrow mine(self->busy, Borrow::Exclusive, BELIEF_REFUSAL);
        if (!mine.ok()) return nullptr;
        const auto counts = self->core->occupancy();
        OwnedRef kinds = OwnedRef::steal(PyList_New(chess::PIECE_KINDS));
        if (!kinds) return nullptr;
        for (std::size_t k = 0; k < chess::PIECE_KINDS; ++k) {
            PyObject* row = PyList_New(64);
            if (!row) return nullptr;
            PyList_SET_ITEM(kinds.get(), static_cast<Py_ssize_t>(k), row);
            for (std::size_t sq = 0; sq < 64; ++sq) {
                PyObject* n = PyLong_FromUnsignedLong(counts[k * 64 + sq]);
                if (!n) return nullptr;
                PyList_SET_ITEM(row, static_cast<Py_ssize_t>(sq), n);
            }
        }
        return kinds.release();
    });
}

// contains(fen) -> bool.
PyObject* belief_contains(PyObject* obj, PyObject* arg) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BeliefObject* self = as_belief(obj);
        Text text;
        if (str_arg(arg, "fen", text) < 0) return nullptr;
        const Borrow mine(self->busy, Borrow::Exclusive, BELIEF_REFUSAL);
        if (!mine.ok()) return nullptr;
        if (const char* fault = fen_text_fault(text.view))
            return PyErr_Format(PyExc_ValueError, "Invalid FEN string: %s", fault);
        const std::optional<bool> found = self->core->contains(text.view);
        if (!found) return PyErr_Format(PyExc_ValueError, "Invalid FEN string");
        return PyBool_FromLong(*found);
    });
}

const char* const START_PARAMS[] = {"k",    "seed",    "observation", "dtype",  "max_plies",
                                    "batch_seed", "threads", "auto_reset", "outputs", "repeat"};
constexpr Signature START_SIGNATURE = {"Belief.start()", START_PARAMS, 10, 10};

// start(k, seed, observation, dtype, max_plies, batch_seed, threads, auto_reset, outputs, repeat)
// -> Batch: a dark-rules batch of k x repeat games, `repeat` in a row from each of the members
// sample(k, seed) names (a search tries every move of the side in each drawn position).
// The positions go in as boards, not FEN text: fog-of-war play reaches positions (a king left
// where it can be taken, kings side by side) that the FEN reader refuses as start positions.
PyObject* belief_start(PyObject* obj, PyObject* args, PyObject* kwargs) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        BeliefObject* self = as_belief(obj);
        PyObject* bound[10];
        if (bind_args(START_SIGNATURE, args, kwargs, bound) < 0) return nullptr;
        std::uint64_t k, seed, threads, repeat;
        Text observation, dtype;
        bool auto_reset;
        Config config;
        if (u64_arg(bound[0], "k", 1, MAX_GAMES, k) < 0 || u64_arg(bound[1], "seed", 0, UINT64_MAX, seed) < 0 ||
            str_arg(bound[2], "observation", observation) < 0 || str_arg(bound[3], "dtype", dtype) < 0 ||
            u64_arg(bound[4], "max_plies", 0, UINT64_MAX, config.max_plies) < 0 ||
            u64_arg(bound[5], "batch_seed", 0, UINT64_MAX, config.seed) < 0 ||
            u64_arg(bound[6], "threads", 1, UINT64_MAX, threads) < 0 || truth_arg(bound[7], auto_reset) < 0 ||
            u64_arg(bound[9], "repeat", 1, MAX_GAMES, repeat) < 0)
            return nullptr;
        if (k > MAX_GAMES / repeat)
            return PyErr_Format(PyExc_ValueError, "k x repeat must be at most %llu games",
                                static_cast<unsigned long long>(MAX_GAMES));
        const auto o = observation_named(observation.view);
        if (!o)
            return PyErr_Format(PyExc_ValueError, "unknown observation '%U' (expected 'own' or 'history')", bound[2]);
        const auto d = dtype_named(dtype.view);
        if (!d) return PyErr_Format(PyExc_ValueError, "unknown dtype '%U' (expected 'uint8' or 'float32')", bound[3]);
        const Borrow mine(self->busy, Borrow::Exclusive, BELIEF_REFUSAL);
        if (!mine.ok()) return nullptr;
        const std::size_t n = self->core->size();
        if (k > n)
            return PyErr_Format(PyExc_ValueError, "cannot sample %llu positions from a belief of %zu",
                                static_cast<unsigned long long>(k), n);
        config.n = static_cast<std::size_t>(k * repeat);
        config.rules = Rules::Dark;
        config.observation = *o;
        config.dtype = *d;
        config.threads = static_cast<std::size_t>(threads);
        config.auto_reset = auto_reset;
        std::vector<chess::Board> starts;
        std::vector<std::uint32_t> which;
        for (const std::size_t i : self->core->sample(static_cast<std::size_t>(k), seed)) {
            which.insert(which.end(), static_cast<std::size_t>(repeat), static_cast<std::uint32_t>(starts.size()));
            starts.push_back(self->core->board(i));
        }
        PyTypeObject* batch_type = reinterpret_cast<PyTypeObject*>(state_of(obj).batch_type);
        PyObject* made = new_instance(batch_type, config, bound[8]);
        if (!made) return nullptr;
        const Outputs out = outputs_of(as_batch(made));
        return install_core(made, [&] { return new Batch(config, std::move(starts), std::move(which), out); });
    });
}

PyObject* get_belief_size(PyObject* obj, void*) { return PyLong_FromSize_t(as_belief(obj)->size); }
PyObject* get_belief_exact(PyObject* obj, void*) { return PyBool_FromLong(as_belief(obj)->exact); }
// The ply is written only once an update is done, like the figures above.
PyObject* get_belief_ply(PyObject* obj, void*) { return PyLong_FromUnsignedLongLong(as_belief(obj)->ply); }
PyObject* get_belief_game(PyObject* obj, void*) { return PyLong_FromSize_t(as_belief(obj)->game); }
PyObject* get_belief_white(PyObject* obj, void*) {
    return PyBool_FromLong(as_belief(obj)->core->side() == chess::Color::White);
}
PyObject* get_belief_candidates(PyObject* obj, void*) {
    return PyLong_FromUnsignedLongLong(as_belief(obj)->candidates);
}

PyMethodDef BELIEF_METHODS[] = {
    {"update", belief_update, METH_NOARGS, "update($self, /)\n--\n\n"},
    {"sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(belief_sample)),
     METH_FASTCALL | METH_KEYWORDS, "sample($self, k, seed, /)\n--\n\n"},
    {"positions", belief_positions, METH_NOARGS, "positions($self, /)\n--\n\n"},
    {"contains", belief_contains, METH_O, "contains($self, fen, /)\n--\n\n"},
    {"occupancy", belief_occupancy, METH_NOARGS, "occupancy($self, /)\n--\n\n"},
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(belief_start)), METH_VARARGS | METH_KEYWORDS,
     "start($self, k, seed, observation, dtype, max_plies, batch_seed, threads, auto_reset, outputs, repeat)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef BELIEF_GETSET[] = {
    {"size", get_belief_size, nullptr, nullptr, nullptr},
    {"exact", get_belief_exact, nullptr, nullptr, nullptr},
    {"ply", get_belief_ply, nullptr, nullptr, nullptr},
    {"game", get_belief_game, nullptr, nullptr, nullptr},
    {"white", get_belief_white, nullptr, nullptr, nullptr},
    {"candidates", get_belief_candidates, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot BELIEF_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(belief_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(belief_dealloc)},
    {Py_tp_doc, const_cast<char*>("Belief(batch, game, white, cap, seed)\n--\n\n"
                                  "The native core of quellor_selfplay.Belief.")},
    {Py_tp_methods, BELIEF_METHODS},
    {Py_tp_getset, BELIEF_GETSET},
    {0, nullptr},
};

PyType_Spec BELIEF_SPEC = {
    "quellor_selfplay._batch.Belief",
    static_cast<int>(sizeof(BeliefObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    BELIEF_SLOTS,
};

// =============================================================================================
// Module functions: a player's work around its forward pass

// The mask rows of `obj`: whole rows of ACTION_COUNT bool bytes. Returns 0, or -1 with an
// exception set.
int acquire_masks(PyObject* obj, HeldBuffer& out, std::size_t& rows) {
    Py_ssize_t items = 0;
    if (acquire_any(obj, "masks", false, 1, "?", out, items) < 0) return -1;
    if (items % ACTION_COUNT != 0) {
        out.release();
        PyErr_Format(PyExc_ValueError, "masks: expected rows of %d items, got %zd items", ACTION_COUNT, items);
        return -1;
    }
    rows = static_cast<std::size_t>(items / ACTION_COUNT);
    return 0;
}

const char* const ENTRIES_PARAMS[] = {"masks", "width"};
constexpr Signature ENTRIES_SIGNATURE = {"legal_entries()", ENTRIES_PARAMS, 2, 2, true};

// legal_entries(masks, width) -> bytearray: the rows, then the columns, of the true entries of
// mask rows of `width` bool bytes, row by row, as int64.
PyObject* module_legal_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[2] = {nullptr, nullptr};
        std::uint64_t width = 0;
        if (bind_args(ENTRIES_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
            u64_arg(bound[1], "width", 1, static_cast<std::uint64_t>(PY_SSIZE_T_MAX), width) < 0)
            return nullptr;
        HeldBuffer masks;
        Py_ssize_t items = 0;
        if (acquire_any(bound[0], "masks", false, 1, "?", masks, items) < 0) return nullptr;
        if (static_cast<std::uint64_t>(items) % width != 0)
            return PyErr_Format(PyExc_ValueError, "masks: expected rows of %llu items, got %zd items",
                                static_cast<unsigned long long>(width), items);
        const auto* bytes = static_cast<const std::uint8_t*>(masks.view.buf);
        const std::size_t rows = static_cast<std::size_t>(items) / width;
        const std::size_t count = count_entries(bytes, rows, width);
        OwnedRef out = OwnedRef::steal(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * count * sizeof(std::int64_t))));
        if (!out) return nullptr;
        auto* words = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
        legal_entries(bytes, rows, width, words, words + count);
        return out.release();
    });
}

const char* const PACK_PARAMS[] = {"masks", "out"};
constexpr Signature PACK_SIGNATURE = {"pack_mask_bits()", PACK_PARAMS, 2, 2, true};

// pack_mask_bits(masks, out): the mask rows as bits, MASK_BYTES a row (bit b of byte j the row's
// entry 8 j + b).
PyObject* module_pack_mask_bits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[2] = {nullptr, nullptr};
        if (bind_args(PACK_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        HeldBuffer masks, out;
        std::size_t rows = 0;
        if (acquire_masks(bound[0], masks, rows) < 0) return nullptr;
        if (acquire(bound[1], "out", true, static_cast<Py_ssize_t>(rows * MASK_BYTES), 1, "B", out) < 0) return nullptr;
        pack_mask_bits(static_cast<const std::uint8_t*>(masks.view.buf), rows, ACTION_COUNT,
                       static_cast<std::uint8_t*>(out.view.buf));
        Py_RETURN_NONE;
    });
}

const char* const BIT_ENTRIES_PARAMS[] = {"bits"};
constexpr Signature BIT_ENTRIES_SIGNATURE = {"bit_entries()", BIT_ENTRIES_PARAMS, 1, 1, true};

// bit_entries(bits) -> bytearray: legal_entries() of bit-packed mask rows (uint8, MASK_BYTES a
// row, as pack_mask_bits() writes them): the rows, then the slots, as int64.
PyObject* module_bit_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[1] = {nullptr};
        if (bind_args(BIT_ENTRIES_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        HeldBuffer bits;
        Py_ssize_t items = 0;
        if (acquire_any(bound[0], "bits", false, 1, "B", bits, items) < 0) return nullptr;
        if (items % static_cast<Py_ssize_t>(MASK_BYTES) != 0)
            return PyErr_Format(PyExc_ValueError, "bits: expected rows of %zu bytes, got %zd bytes", MASK_BYTES, items);
        const auto* bytes = static_cast<const std::uint8_t*>(bits.view.buf);
        const std::size_t rows = static_cast<std::size_t>(items) / MASK_BYTES;
        const std::size_t count = count_bit_entries(bytes, rows, MASK_BYTES);
        OwnedRef out = OwnedRef::steal(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * count * sizeof(std::int64_t))));
        if (!out) return nullptr;
        auto* words = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
        bit_entries(bytes, rows, MASK_BYTES, words, words + count);
        return out.release();
    });
}

const char* const CODE_SLOT_PARAMS[] = {"code", "white"};
constexpr Signature CODE_SLOT_SIGNATURE = {"code_slot()", CODE_SLOT_PARAMS, 2, 2, true};

// code_slot(code, white) -> int: the policy slot of move code `code` for the side to move.
// ValueError for an int that is no code, whatever its size, as codes.code_move() words it.
PyObject* module_code_slot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[2] = {nullptr, nullptr};
        bool white = false;
        if (bind_args(CODE_SLOT_SIGNATURE, args, nargs, kwnames, bound) < 0 || truth_arg(bound[1], white) < 0)
            return nullptr;
        if (PyBool_Check(bound[0])) return PyErr_Format(PyExc_TypeError, "code must be an int, not bool");
        OwnedRef index = OwnedRef::steal(PyNumber_Index(bound[0]));
        if (!index) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "code must be an int, not %s", Py_TYPE(bound[0])->tp_name);
            }
            return nullptr;
        }
        int overflow = 0;
        const long long code = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (code == -1 && PyErr_Occurred()) return nullptr;
        if (overflow != 0 || code < 0 || code >= MOVE_CODE_COUNT)
            return PyErr_Format(PyExc_ValueError, "move code %S is out of range (0..%lld)", index.get(),
                                static_cast<long long>(MOVE_CODE_COUNT - 1));
        return PyLong_FromLong(code_slot(code, white ? chess::Color::White : chess::Color::Black));
    });
}

const char* const REBUILD_PARAMS[] = {"frames", "castling", "ply", "rows", "observation", "out"};
constexpr Signature REBUILD_SIGNATURE = {"rebuild_packed()", REBUILD_PARAMS, 6, 6, true};

// rebuild_packed(frames, castling, ply, rows, observation, out): the packed observations of
// stored rows (see batch.hpp) into `out`, PACKED_WORDS int64 a row; IndexError for a row that is
// not stored, ValueError for one whose ply reaches back past the stored rows.
PyObject* module_rebuild_packed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[6] = {};
        Text name;
        if (bind_args(REBUILD_SIGNATURE, args, nargs, kwnames, bound) < 0 ||
            str_arg(bound[4], "observation", name) < 0)
            return nullptr;
        const std::optional<ObservationMode> mode = observation_named(name.view);
        if (!mode)
            return PyErr_Format(PyExc_ValueError, "unknown observation %R (expected 'own' or 'history')", bound[4]);
        HeldBuffer frames, castling, ply, rows, out;
        Py_ssize_t total = 0, k = 0;
        if (acquire_any(bound[1], "castling", false, 1, "B", castling, total) < 0 ||
            acquire(bound[0], "frames", false, total * static_cast<Py_ssize_t>(PLANE_CHANNELS), 8, "qln", frames) < 0 ||
            acquire(bound[2], "ply", false, total, 4, "i", ply) < 0 ||
            acquire_any(bound[3], "rows", false, 8, "qln", rows, k) < 0 ||
            acquire(bound[5], "out", true, k * static_cast<Py_ssize_t>(Batch::PACKED_WORDS), 8, "qln", out) < 0)
            return nullptr;
        const auto* picked = static_cast<const std::int64_t*>(rows.view.buf);
        const auto* plies = static_cast<const std::int32_t*>(ply.view.buf);
        const std::optional<RowRefusal> refusal = rebuild_packed(
            *mode, static_cast<const std::int64_t*>(frames.view.buf), static_cast<const std::uint8_t*>(castling.view.buf),
            plies, static_cast<std::size_t>(total), picked, static_cast<std::size_t>(k),
            static_cast<std::int64_t*>(out.view.buf));
        if (!refusal) Py_RETURN_NONE;
        const auto row = static_cast<long long>(picked[refusal->j]);
        if (refusal->out_of_range)
            return PyErr_Format(PyExc_IndexError, "row %lld out of range for %zd rows", row, total);
        const long long at = row < 0 ? row + total : row;
        return PyErr_Format(PyExc_ValueError, "row %lld: its ply %d reaches back past the first row (its game's rows "
                            "must all be there, in ply order)", row, static_cast<int>(plies[at]));
    });
}

const char* const DRAW_PARAMS[] = {"values", "rows", "uniforms", "picked", "log_probs"};
constexpr Signature DRAW_SIGNATURE = {"sample_entries()", DRAW_PARAMS, 5, 5, true};

// sample_entries(values, rows, uniforms, picked, log_probs): one entry drawn per row, see
// slots.hpp; ValueError for entries that are out of order, not finite or leave a row empty.
PyObject* module_sample_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[5] = {};
        if (bind_args(DRAW_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        HeldBuffer values, rows, uniforms, picked, log_probs;
        Py_ssize_t n = 0, k = 0;
        if (acquire_any(bound[0], "values", false, 4, "f", values, n) < 0 ||
            acquire(bound[1], "rows", false, n, 8, "qln", rows) < 0 ||
            acquire_any(bound[2], "uniforms", false, 8, "d", uniforms, k) < 0 ||
            acquire(bound[3], "picked", true, k, 8, "qln", picked) < 0 ||
            acquire(bound[4], "log_probs", true, k, 4, "f", log_probs) < 0)
            return nullptr;
        const SampleError error = sample_entries(
            static_cast<const float*>(values.view.buf), static_cast<const std::int64_t*>(rows.view.buf),
            static_cast<std::size_t>(n), static_cast<std::size_t>(k), static_cast<const double*>(uniforms.view.buf),
            static_cast<std::int64_t*>(picked.view.buf), static_cast<float*>(log_probs.view.buf));
        switch (error) {
            case SampleError::None: Py_RETURN_NONE;
            case SampleError::RowWithoutEntry:
                return PyErr_Format(PyExc_ValueError, "a game to move has no legal slot");
            case SampleError::RowsOutOfOrder:
                return PyErr_Format(PyExc_ValueError, "the legal entries must come row by row");
            case SampleError::NotFinite:
                return PyErr_Format(PyExc_ValueError, "the network's policy gives no finite probabilities");
        }
        return PyErr_Format(PyExc_SystemError, "sample_entries: unknown refusal");
    });
}

const char* const SQUARES_PARAMS[] = {"rows", "slots", "k", "origin", "target"};
constexpr Signature SQUARES_SIGNATURE = {"entry_squares()", SQUARES_PARAMS, 5, 5, true};

// entry_squares(rows, slots, k, origin, target): where a squares network reads the logits of
// the legal entries (rows[i], slots[i]) of k positions, as int64 indices of their squares.
PyObject* module_entry_squares(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[5] = {};
        if (bind_args(SQUARES_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        const Py_ssize_t k = PyLong_AsSsize_t(bound[2]);
        if (k == -1 && PyErr_Occurred()) return nullptr;
        HeldBuffer rows, slots, origin, target;
        Py_ssize_t n = 0;
        if (acquire_any(bound[0], "rows", false, 8, "qln", rows, n) < 0 ||
            acquire(bound[1], "slots", false, n, 8, "qln", slots) < 0 ||
            acquire(bound[3], "origin", true, n, 8, "qln", origin) < 0 ||
            acquire(bound[4], "target", true, n, 8, "qln", target) < 0)
            return nullptr;
        if (k < 0 || !entry_squares(static_cast<const std::int64_t*>(rows.view.buf),
                                    static_cast<const std::int64_t*>(slots.view.buf), static_cast<std::size_t>(n),
                                    static_cast<std::size_t>(k), static_cast<std::int64_t*>(origin.view.buf),
                                    static_cast<std::int64_t*>(target.view.buf)))
            return PyErr_Format(PyExc_ValueError, "an entry's row is not one of %zd positions or its slot not one of %d",
                                k, ACTION_COUNT);
        Py_RETURN_NONE;
    });
}

const char* const LOGITS_PARAMS[] = {"origin", "target", "slots", "keys", "scale", "out"};
constexpr Signature LOGITS_SIGNATURE = {"entry_logits()", LOGITS_PARAMS, 6, 6, true};

// entry_logits(origin, target, slots, keys, scale, out): the policy logits of n entries from
// the heads' float32 outputs at their origin (n x (keys + 5)) and target (n x (keys + 1)).
PyObject* module_entry_logits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[6] = {};
        if (bind_args(LOGITS_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
        const Py_ssize_t keys = PyLong_AsSsize_t(bound[3]);
        if (keys == -1 && PyErr_Occurred()) return nullptr;
        const double scale = PyFloat_AsDouble(bound[4]);
        if (scale == -1.0 && PyErr_Occurred()) return nullptr;
        if (keys < 0) return PyErr_Format(PyExc_ValueError, "keys must be at least 0, got %zd", keys);
        HeldBuffer slots, origin, target, out;
        Py_ssize_t n = 0;
        if (acquire_any(bound[2], "slots", false, 8, "qln", slots, n) < 0 ||
            acquire(bound[0], "origin", false, n * (keys + 5), 4, "f", origin) < 0 ||
            acquire(bound[1], "target", false, n * (keys + 1), 4, "f", target) < 0 ||
            acquire(bound[5], "out", true, n, 4, "f", out) < 0)
            return nullptr;
        const auto* entries = static_cast<const std::int64_t*>(slots.view.buf);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (entries[i] < 0 || entries[i] >= ACTION_COUNT)
                return PyErr_Format(PyExc_ValueError, "slot %lld is not one of %d", static_cast<long long>(entries[i]),
                                    ACTION_COUNT);
        entry_logits(static_cast<const float*>(origin.view.buf), static_cast<const float*>(target.view.buf), entries,
                     static_cast<std::size_t>(n), static_cast<std::size_t>(keys), static_cast<float>(scale),
                     static_cast<float*>(out.view.buf));
        Py_RETURN_NONE;
    });
}

const char* const GREEDY_PARAMS[] = {"boards", "rows", "slots", "bold", "gain", "loss", "bonus", "king_capture"};
constexpr Signature GREEDY_SIGNATURE = {"greedy_scores()", GREEDY_PARAMS, 8, 8, true};

// greedy_scores(boards, rows, slots, bold, gain, loss, bonus, king_capture): the greedy bot's
// reckoning of slot slots[i] in view rows[i], a view being the 13 bitboards of a newest frame
// (uint64: ours by kind, the enemy's by kind, hidden). The slots must be legal in their views.
PyObject* module_greedy_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[8] = {};
        bool bold = false;
        if (bind_args(GREEDY_SIGNATURE, args, nargs, kwnames, bound) < 0 || truth_arg(bound[3], bold) < 0)
            return nullptr;
        HeldBuffer boards, rows, slots, gain, loss, bonus, king_capture;
        Py_ssize_t words = 0, m = 0;
        if (acquire_any(bound[0], "boards", false, 8, "QLK", boards, words) < 0 ||
            acquire_any(bound[1], "rows", false, 8, "qln", rows, m) < 0 ||
            acquire(bound[2], "slots", false, m, 8, "qln", slots) < 0 ||
            acquire(bound[4], "gain", true, m, 8, "d", gain) < 0 || acquire(bound[5], "loss", true, m, 8, "d", loss) < 0 ||
            acquire(bound[6], "bonus", true, m, 8, "d", bonus) < 0 ||
            acquire(bound[7], "king_capture", true, m, 1, "?", king_capture) < 0)
            return nullptr;
        if (words % static_cast<Py_ssize_t>(PLANE_CHANNELS) != 0)
            return PyErr_Format(PyExc_ValueError, "boards: expected rows of %zu words, got %zd words", PLANE_CHANNELS,
                                words);
        const auto views = static_cast<std::int64_t>(words / static_cast<Py_ssize_t>(PLANE_CHANNELS));
        const auto* board = static_cast<const std::uint64_t*>(boards.view.buf);
        const auto* row = static_cast<const std::int64_t*>(rows.view.buf);
        const auto* slot = static_cast<const std::int64_t*>(slots.view.buf);
        for (Py_ssize_t i = 0; i < m; ++i) {
            if (row[i] < 0 || row[i] >= views)
                return PyErr_Format(PyExc_IndexError, "row %lld out of range for %lld views", static_cast<long long>(row[i]),
                                    static_cast<long long>(views));
            if (slot[i] < 0 || slot[i] >= ACTION_COUNT)
                return PyErr_Format(PyExc_ValueError, "slot %lld is out of range (0..%d)", static_cast<long long>(slot[i]),
                                    ACTION_COUNT - 1);
        }
        auto* gains = static_cast<double*>(gain.view.buf);
        auto* losses = static_cast<double*>(loss.view.buf);
        auto* bonuses = static_cast<double*>(bonus.view.buf);
        auto* captures = static_cast<bool*>(king_capture.view.buf);
        for (Py_ssize_t i = 0; i < m; ++i) {
            const std::uint64_t* b = board + row[i] * static_cast<std::int64_t>(PLANE_CHANNELS);
            GreedyView view{};
            std::copy(b, b + 6, view.own);
            std::copy(b + 6, b + 12, view.enemy);
            view.hidden = b[HIDDEN_CHANNEL];
            const GreedyScore score = greedy_score(view, static_cast<int>(slot[i]), bold);
            gains[i] = score.gain;
            losses[i] = score.loss;
            bonuses[i] = score.bonus;
            captures[i] = score.king_capture;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef MODULE_METHODS[] = {
    {"legal_entries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_legal_entries)),
     METH_FASTCALL | METH_KEYWORDS, "legal_entries(masks, width, /)\n--\n\n"},
    {"pack_mask_bits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_pack_mask_bits)),
     METH_FASTCALL | METH_KEYWORDS, "pack_mask_bits(masks, out, /)\n--\n\n"},
    {"bit_entries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_bit_entries)),
     METH_FASTCALL | METH_KEYWORDS, "bit_entries(bits, /)\n--\n\n"},
    {"code_slot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_code_slot)),
     METH_FASTCALL | METH_KEYWORDS, "code_slot(code, white, /)\n--\n\n"},
    {"rebuild_packed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_rebuild_packed)),
     METH_FASTCALL | METH_KEYWORDS, "rebuild_packed(frames, castling, ply, rows, observation, out, /)\n--\n\n"},
    {"sample_entries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_sample_entries)),
     METH_FASTCALL | METH_KEYWORDS, "sample_entries(values, rows, uniforms, picked, log_probs, /)\n--\n\n"},
    {"entry_squares", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_entry_squares)),
     METH_FASTCALL | METH_KEYWORDS, "entry_squares(rows, slots, k, origin, target, /)\n--\n\n"},
    {"entry_logits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_entry_logits)),
     METH_FASTCALL | METH_KEYWORDS, "entry_logits(origin, target, slots, keys, scale, out, /)\n--\n\n"},
    {"greedy_scores", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_greedy_scores)),
     METH_FASTCALL | METH_KEYWORDS,
     "greedy_scores(boards, rows, slots, bold, gain, loss, bonus, king_capture, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Adds a tuple of the names to the module. Returns 0, or -1 with an exception set.
template <std::size_t N>
int add_names(PyObject* module, const char* attr, const std::array<std::string_view, N>& names) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
    if (!tuple) return -1;
    for (std::size_t k = 0; k < N; ++k) {
        PyObject* name = PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
        if (!name) return -1;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), name);
    }
    if (PyModule_AddObject(module, attr, tuple.get()) < 0) return -1;
    tuple.release();  // the module holds it now
    return 0;
}

// The game's sizes and names, for the Python package to read instead of repeating them.
int add_constants(PyObject* module) {
    const struct {
        const char* name;
        long value;
    } numbers[] = {
        {"ACTION_SLOTS", ACTION_COUNT},
        {"MOVE_CODES", static_cast<long>(MOVE_CODE_COUNT)},
        {"PROMOTION_BASE", PROMOTION_BASE},
        {"OBS_ROWS", static_cast<long>(OBS_ROWS)},
        {"OBS_COLS", static_cast<long>(OBS_COLS)},
        {"FRAME_CHANNELS", static_cast<long>(PLANE_CHANNELS)},
        {"HIDDEN_CHANNEL", static_cast<long>(HIDDEN_CHANNEL)},
        {"PACKED_WORDS", static_cast<long>(Batch::PACKED_WORDS)},
        {"MASK_BYTES", static_cast<long>(MASK_BYTES)},
        {"SQUARE_CODES", static_cast<long>(Batch::SQUARE_CODES)},
        {"MAX_GAMES", static_cast<long>(MAX_GAMES)},
        {"BELIEF_BYTES_PER_POSITION", static_cast<long>(Belief::BYTES_PER_MEMBER)},
        {"BELIEF_CAP", static_cast<long>(Belief::DEFAULT_CAP)},
    };
    for (const auto& number : numbers)
        if (PyModule_AddIntConstant(module, number.name, number.value) < 0) return -1;
    const struct {
        const char* name;
        double value;
    } reals[] = {
        {"GREEDY_KING_LOSS", GREEDY_KING_LOSS},
        {"GREEDY_BONUS_LIMIT", GREEDY_BONUS_LIMIT},
    };
    for (const auto& real : reals) {
        PyObject* value = PyFloat_FromDouble(real.value);
        if (!value || PyModule_AddObject(module, real.name, value) < 0) {
            Py_XDECREF(value);
            return -1;
        }
    }
    if (add_names(module, "RULES", RULES_NAMES) < 0 || add_names(module, "OBSERVATIONS", OBSERVATION_NAMES) < 0 ||
        add_names(module, "ENDINGS", ENDING_NAMES) < 0)
        return -1;
    return 0;
}

// The module's one execution step: the class, made from the module, and the constants.
// Returns 0, or -1 with an exception set.
int exec_module(PyObject* module) {
    auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    for (std::size_t k = 0; k < std::size(TALLY_KEYS); ++k)
        if (!(state.tally_keys[k] = PyUnicode_InternFromString(TALLY_KEYS[k]))) return -1;
    state.batch_type = PyType_FromModuleAndSpec(module, &BATCH_SPEC, nullptr);
    if (!state.batch_type) return -1;
    Py_INCREF(state.batch_type);
    if (PyModule_AddObject(module, "Batch", state.batch_type) < 0) {
        Py_DECREF(state.batch_type);
        return -1;
    }
    state.belief_type = PyType_FromModuleAndSpec(module, &BELIEF_SPEC, nullptr);
    if (!state.belief_type) return -1;
    Py_INCREF(state.belief_type);
    if (PyModule_AddObject(module, "Belief", state.belief_type) < 0) {
        Py_DECREF(state.belief_type);
        return -1;
    }
    state.segment_type = PyType_FromModuleAndSpec(module, &SEGMENT_SPEC, nullptr);
    if (!state.segment_type) return -1;
    Py_INCREF(state.segment_type);
    if (PyModule_AddObject(module, "Segment", state.segment_type) < 0) {
        Py_DECREF(state.segment_type);
        return -1;
    }
    return add_constants(module) < 0 ? -1 : add_segment_constants(module);
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = [] {
    PyModuleDef def = module_def<ModuleState>("quellor_selfplay._batch", "The native core of quellor_selfplay.GameBatch.",
                                              MODULE_SLOTS);
    def.m_methods = MODULE_METHODS;
    return def;
}();

}  // namespace quellor::batch::py

PyMODINIT_FUNC PyInit__batch(void) { return PyModuleDef_Init(&quellor::batch::py::MODULE_DEF); }
