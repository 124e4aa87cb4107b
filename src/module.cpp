// The extension module `quellor` and its one class, SelfPlayGame.
//
// Every entry point follows one path: bind arguments, take the borrow, convert arguments, run
// the game operation, convert the result, release the borrow (on every path, by scope). The
// interpreter's method descriptors have already checked that the receiver is a SelfPlayGame,
// and the class reaches the interned names through the state of the module that made it.

#include <cstring>

#include "binding.hpp"
#include "chess/make_move.hpp"
#include "chess/movegen/movegen.hpp"

namespace quellor {
namespace {

GameObject* as_game(PyObject* self) { return reinterpret_cast<GameObject*>(self); }

// Returns a new reference to Py_True or Py_False.
PyObject* py_bool(bool value) { return PyBool_FromLong(value); }

// Allocates an instance of `type` around a finished record. Returns a new reference, or null
// with an exception set (the record is then simply dropped).
PyObject* wrap_game(PyTypeObject* type, SelfPlayGame&& record) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    GameObject* game = as_game(obj);
    new (&game->game) SelfPlayGame(std::move(record));
    new (&game->borrow) BorrowFlag();
    return obj;
}

// =============================================================================================
// Construction and release

const char* const NEW_PARAMS[] = {"board", "history_tensors"};
constexpr Signature NEW_SIGNATURE = {"SelfPlayGame.__new__()", NEW_PARAMS, 2, 0};

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        PyObject* bound[2];
        if (bind_args(NEW_SIGNATURE, args, kwargs, bound) < 0) return nullptr;
        PyObject* board_arg = bound[0] == Py_None ? nullptr : bound[0];
        PyObject* history_arg = bound[1] == Py_None ? nullptr : bound[1];

        SelfPlayGame record;
        Text fen;
        if (board_arg && fen_from_py(module_state<ModuleState>(type), board_arg, fen) < 0) return nullptr;
        auto board = chess::Board::from_str(board_arg ? fen.view : START_FEN);
        if (!board) {
            PyErr_SetString(PyExc_ValueError, "Invalid FEN string");
            return nullptr;
        }
        record.board = *board;

        if (history_arg && read_history(history_arg, record.history) < 0) return nullptr;
        // Supplied planes stand for the whole history; without any, the game starts from the
        // view of its first position.
        if (record.history.empty()) record.save_history_state();
        return wrap_game(type, std::move(record));
    });
}

void game_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    GameObject* game = as_game(self);
    game->game.~SelfPlayGame();
    game->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// =============================================================================================
// Queries

// Runs `body(game)` under a shared borrow.
template <class Body>
PyObject* with_shared(PyObject* self, Body&& body) {
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        GameObject* obj = as_game(self);
        const Borrow borrow = borrow_game(obj, Borrow::Shared);
        if (!borrow.ok()) return nullptr;
        return body(obj->game);
    });
}

PyObject* get_turn(PyObject* self, void*) {
    return with_shared(self, [](const SelfPlayGame& g) { return py_bool(g.board.side_to_move == chess::Color::White); });
}

PyObject* current_player(PyObject* self, PyObject*) { return get_turn(self, nullptr); }

PyObject* is_terminal(PyObject* self, PyObject*) {
    return with_shared(self, [](const SelfPlayGame& g) { return py_bool(g.is_terminal()); });
}

PyObject* castle_eligible(PyObject* self, PyObject*) {
    return with_shared(self, [](const SelfPlayGame& g) -> PyObject* {
        const auto [king_side, queen_side] = g.castle_eligible();
        return PyTuple_Pack(2, king_side ? Py_True : Py_False, queen_side ? Py_True : Py_False);
    });
}

PyObject* get_board(PyObject* self, void*) {
    return with_shared(self, [](const SelfPlayGame& g) -> PyObject* {
        const auto view = g.board_view();
        OwnedRef rows = OwnedRef::steal(PyList_New(8));
        if (!rows) return nullptr;
        for (Py_ssize_t i = 0; i < 8; ++i) {
            PyObject* row = PyList_New(8);
            if (!row) return nullptr;
            PyList_SET_ITEM(rows.get(), i, row);
            for (Py_ssize_t j = 0; j < 8; ++j) {
                PyObject* code = PyLong_FromLong(view[i][j]);
                if (!code) return nullptr;
                PyList_SET_ITEM(row, j, code);
            }
        }
        return rows.release();
    });
}

PyObject* clone(PyObject* self, PyObject*) {
    return with_shared(self, [&](const SelfPlayGame& g) { return wrap_game(Py_TYPE(self), SelfPlayGame(g)); });
}

const char* const TERMINAL_VALUE_PARAMS[] = {"player_is_white"};
constexpr Signature TERMINAL_VALUE_SIGNATURE = {"SelfPlayGame.terminal_value()", TERMINAL_VALUE_PARAMS, 1, 1};

PyObject* terminal_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(TERMINAL_VALUE_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
    return with_shared(self, [&](const SelfPlayGame& g) -> PyObject* {
        const int player_is_white = bool_from_py(bound[0], "player_is_white");
        if (player_is_white < 0) return nullptr;
        return PyFloat_FromDouble(g.terminal_value(player_is_white != 0));
    });
}

// Parses an action argument into a move. Returns false with the exception set.
bool move_from_py(const ModuleState& state, PyObject* action, chess::ChessMove& move) {
    Text text;
    if (uci_from_py(state, action, text) < 0) return false;
    const auto parsed = chess::ChessMove::from_str(text.view);
    if (!parsed) {
        PyErr_SetString(PyExc_ValueError, "Invalid UCI move");
        return false;
    }
    move = *parsed;
    return true;
}

const char* const ACTION_PARAMS[] = {"action"};
constexpr Signature ACTION_INDEX_SIGNATURE = {"SelfPlayGame.action_index()", ACTION_PARAMS, 1, 1};

PyObject* action_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(ACTION_INDEX_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
    return with_shared(self, [&](const SelfPlayGame& g) -> PyObject* {
        const chess::Color side = g.board.side_to_move;
        chess::ChessMove move;
        if (!move_from_py(state_of(self), bound[0], move)) return nullptr;
        const auto index = quellor::action_index(side, move);
        if (!index) {
            const auto name = chess::piece_name(*move.promotion);
            PyErr_Format(PyExc_ValueError, "Unsupported promotion piece: %.*s", static_cast<int>(name.size()),
                         name.data());
            return nullptr;
        }
        return PyLong_FromLong(*index);
    });
}

// Builds the 64 rows of 106 Python floats. 0.0 and 1.0, nearly every value, share one object
// each; other values (from supplied planes) get their own. Returns a new reference or null.
PyObject* observation_rows(const Observation& obs) {
    OwnedRef zero = OwnedRef::steal(PyFloat_FromDouble(0.0));
    OwnedRef one = OwnedRef::steal(PyFloat_FromDouble(1.0));
    if (!zero || !one) return nullptr;
    OwnedRef rows = OwnedRef::steal(PyList_New(OBS_ROWS));
    if (!rows) return nullptr;
    const float* value = obs.data();
    for (std::size_t r = 0; r < OBS_ROWS; ++r) {
        PyObject* row = PyList_New(OBS_COLS);
        if (!row) return nullptr;
        PyList_SET_ITEM(rows.get(), r, row);
        for (std::size_t c = 0; c < OBS_COLS; ++c, ++value) {
            std::uint32_t bits;
            std::memcpy(&bits, value, sizeof bits);
            PyObject* item;
            if (bits == 0) {  // +0.0 only: -0.0 keeps its sign
                item = Py_NewRef(zero.get());
            } else if (*value == 1.0f) {
                item = Py_NewRef(one.get());
            } else if (!(item = PyFloat_FromDouble(*value))) {
                return nullptr;
            }
            PyList_SET_ITEM(row, c, item);
        }
    }
    return rows.release();
}

// Imports a module by name. A failed import is answered with ValueError `message`, whose
// __cause__ is the import's own error: a library that is installed but broken (a shared library
// missing, say) must still show why. Interrupts and MemoryError pass unchanged.
// Returns a new reference or null.
PyObject* import_or_explain(PyObject* module_name, const char* message) {
    PyObject* module = PyImport_Import(module_name);
    if (module || !pending_error_is_ordinary()) return module;
    OwnedRef cause = take_pending_error();
    PyErr_SetString(PyExc_ValueError, message);
    OwnedRef error = take_pending_error();
    if (!error) return nullptr;
    if (cause) {
        // As `raise ValueError(message) from cause` inside the handler would leave it.
        Py_INCREF(cause.get());
        PyException_SetContext(error.get(), cause.get());
        PyException_SetCause(error.get(), cause.release());
    }
    raise_error(std::move(error));
    return nullptr;
}

PyObject* encode(PyObject* self, PyObject*) {
    const ModuleState& state = state_of(self);
    return with_shared(self, [&](const SelfPlayGame& g) -> PyObject* {
        Observation obs;
        g.encode(obs);
        OwnedRef torch = OwnedRef::steal(import_or_explain(state.name(Name::Torch), "torch is required for encode()"));
        if (!torch) return nullptr;
        OwnedRef tensor = OwnedRef::steal(PyObject_GetAttr(torch.get(), state.name(Name::Tensor)));
        if (!tensor) return nullptr;
        OwnedRef float32 = OwnedRef::steal(PyObject_GetAttr(torch.get(), state.name(Name::Float32)));
        if (!float32) return nullptr;
        OwnedRef kwargs = OwnedRef::steal(PyDict_New());
        if (!kwargs || PyDict_SetItem(kwargs.get(), state.name(Name::Dtype), float32.get()) < 0) return nullptr;
        OwnedRef rows = OwnedRef::steal(observation_rows(obs));
        if (!rows) return nullptr;
        PyObject* call_args[] = {rows.get()};
        return PyObject_VectorcallDict(tensor.get(), call_args, 1, kwargs.get());
    });
}

PyObject* legal_actions(PyObject* self, PyObject*) {
    const ModuleState& state = state_of(self);
    return with_shared(self, [&](const SelfPlayGame& g) -> PyObject* {
        OwnedRef module = OwnedRef::steal(
            import_or_explain(state.name(Name::Chess), "python-chess is required for legal_actions()"));
        if (!module) return nullptr;
        OwnedRef move_class = OwnedRef::steal(PyObject_GetAttr(module.get(), state.name(Name::Move)));
        if (!move_class) return nullptr;
        OwnedRef from_uci = OwnedRef::steal(PyObject_GetAttr(move_class.get(), state.name(Name::FromUci)));
        if (!from_uci) return nullptr;

        auto moves = chess::MoveGen::generate(g.board);
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(moves.len())));
        if (!list) return nullptr;
        Py_ssize_t i = 0;
        while (const auto move = moves.next()) {
            char text[chess::ChessMove::MAX_UCI_LEN];
            const std::size_t len = move->write_uci(text);
            OwnedRef uci = OwnedRef::steal(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(len)));
            if (!uci) return nullptr;
            PyObject* item = PyObject_CallOneArg(from_uci.get(), uci.get());
            if (!item) return nullptr;  // the list releases what it holds so far
            PyList_SET_ITEM(list.get(), i++, item);
        }
        return list.release();
    });
}

// Sets RuntimeError "Cannot play <move>: <reason> <square>" for a move the board refuses.
void refuse_move(const chess::Board& board, const chess::ChessMove& move, chess::MoveFault fault) {
    chess::Square square = move.from_square;
    switch (fault) {
        case chess::MoveFault::EmptyFromSquare:
        case chess::MoveFault::NotSideToMove:
            break;
        case chess::MoveFault::OwnPieceOnTarget:
            square = move.to_square;
            break;
        case chess::MoveFault::CastlingRookMissing:
            square = chess::castling_rook_squares(board.side_to_move, move.to_square).from;
            break;
        case chess::MoveFault::CastlingRookBlocked:
            square = chess::castling_rook_squares(board.side_to_move, move.to_square).to;
            break;
    }
    PyErr_Format(PyExc_RuntimeError, "Cannot play %s: %s %s", move.uci().c_str(), chess::describe(fault),
                 square.to_string().c_str());
}

constexpr Signature APPLY_SIGNATURE = {"SelfPlayGame.apply()", ACTION_PARAMS, 1, 1};

PyObject* apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    if (bind_args(APPLY_SIGNATURE, args, nargs, kwnames, bound) < 0) return nullptr;
    return guarded(MODULE_NAME, [&]() -> PyObject* {
        GameObject* obj = as_game(self);
        const Borrow borrow = borrow_game(obj, Borrow::Exclusive);
        if (!borrow.ok()) return nullptr;
        SelfPlayGame& g = obj->game;
        chess::ChessMove move;
        if (!move_from_py(state_of(self), bound[0], move)) return nullptr;
        const auto next = chess::play_move(g.board, move);
        if (!next) {
            refuse_move(g.board, move, next.error());
            return nullptr;
        }
        // The plane goes in first: it is the one step that can fail (allocation), and the board
        // is replaced only after it has succeeded.
        g.history.append([&](Plane& p) { write_plane(*next, p); });
        g.board = *next;
        Py_RETURN_NONE;
    });
}

// =============================================================================================
// Type and module

PyMethodDef GAME_METHODS[] = {
    {"castle_eligible", castle_eligible, METH_NOARGS, "castle_eligible($self)\n--\n\n"},
    {"clone", clone, METH_NOARGS, "clone($self)\n--\n\n"},
    {"current_player", current_player, METH_NOARGS, "current_player($self)\n--\n\n"},
    {"legal_actions", legal_actions, METH_NOARGS, "legal_actions($self)\n--\n\n"},
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply)), METH_FASTCALL | METH_KEYWORDS,
     "apply($self, action)\n--\n\n"},
    {"is_terminal", is_terminal, METH_NOARGS, "is_terminal($self)\n--\n\n"},
    {"terminal_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(terminal_value)),
     METH_FASTCALL | METH_KEYWORDS, "terminal_value($self, player_is_white)\n--\n\n"},
    {"encode", encode, METH_NOARGS, "encode($self)\n--\n\n"},
    {"action_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(action_index)),
     METH_FASTCALL | METH_KEYWORDS, "action_index($self, action)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GAME_GETSET[] = {
    {"turn", get_turn, nullptr, nullptr, nullptr},
    {"board", get_board, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot GAME_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {Py_tp_doc, const_cast<char*>("SelfPlayGame(board=None, history_tensors=None)\n--\n\n")},
    {Py_tp_methods, GAME_METHODS},
    {Py_tp_getset, GAME_GETSET},
    {0, nullptr},
};

// No base-type flag (not subclassable), no GC (instances hold no Python objects), no instance
// dict or weak references.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned GAME_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned GAME_FLAGS = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec GAME_SPEC = {
    "builtins.SelfPlayGame",
    static_cast<int>(sizeof(GameObject)),
    0,
    GAME_FLAGS,
    GAME_SLOTS,
};

// The module's one execution step: make the class from the module, publish it and list it in
// __all__. Returns 0, or -1 with an exception set.
int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'", Py_TYPE(module)->tp_name);
        return -1;
    }
    auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    if (intern_names(state) < 0) return -1;
    state.game_type = PyType_FromModuleAndSpec(module, &GAME_SPEC, nullptr);
    if (!state.game_type) return -1;

    PyObject* dict = PyModule_GetDict(module);  // borrowed
    OwnedRef all = OwnedRef::borrow(PyDict_GetItemString(dict, "__all__"));
    if (!all) {
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return -1;
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("SelfPlayGame"));
    if (!name || !PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "internal error in quellor: __all__ is not a list");
        return -1;
    }
    Py_INCREF(state.game_type);
    if (PyModule_AddObject(module, "SelfPlayGame", state.game_type) < 0) {
        Py_DECREF(state.game_type);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Only ever run in one interpreter; everything the module keeps is in its state now, so
    // allowing more is a matter of testing it there.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = module_def<ModuleState>("quellor", "Fog-of-war chess games for self-play reinforcement learning.", MODULE_SLOTS);

}  // namespace
}  // namespace quellor

PyMODINIT_FUNC PyInit_quellor(void) { return PyModuleDef_Init(&quellor::MODULE_DEF); }
