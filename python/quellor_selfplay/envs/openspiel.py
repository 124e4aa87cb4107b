"""Fog-of-war chess as an OpenSpiel game: importing this module registers
``python_quellor_fog_chess``.

    import pyspiel
    import quellor_selfplay.envs.openspiel  # registers the game
    game = pyspiel.load_game("python_quellor_fog_chess")   # or "...(rules=legal,max_plies=300)"

The game is sequential, of imperfect information, zero-sum, with rewards only at the end: +1 for
the side that captures the enemy king (under ``rules=legal``, that mates it), -1 for the other,
0 for a draw (no move at all, stalemate, or ``max_plies`` reached). Player 0 is White.

Actions are move codes, one per move: ``from * 64 + to + 4096 * k`` with python-chess squares
(a1 = 0, not mirrored) and k = 0 for no promotion, 1 queen, 2 rook, 3 bishop, 4 knight: 20,480
distinct actions, the codes of ``GameBatch.step_moves``. ``action_slot(action, player)`` maps
one to its policy slot ``action_index`` (0..4351, mirrored for Black); two actions map to one
slot only when they are a straight and a capturing promotion to the same piece.

``observation_tensor(player)`` is the 64 x 106 own-view observation (``GameBatch``'s ``"own"``
layout, float32) of the player to move. The other player gets the observation it was given
when it last moved (before its first move, every square hidden): it learns nothing while the
other side is to move. ``information_state_string(player)`` lists every view the player was
given, with the move it answered it with.

Parameters: ``rules`` ("dark" or "legal", see ``GameBatch``), ``max_plies`` (1000; the game is
a draw there, and OpenSpiel needs a bound on its length), ``fen`` (the start position).
A state holds a ``GameBatch(1, threads=1)``; ``clone()`` copies it. Once the game is over,
``apply_action`` raises ValueError.

``state.serialize()`` is plain text: the settings, the start FEN and the move codes played,

    quellor-fog-chess-state 1
    rules=dark
    max_plies=1000
    fen=rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1
    moves=796,3420

and ``game.deserialize_state(text)`` replays the moves, refusing with ValueError any other text,
other settings, an illegal move or one after the end. Pickling a state goes through the same
text. (``pyspiel.serialize_game_and_state`` and ``pyspiel.deserialize_game_and_state`` are
OpenSpiel's C++, which stores every Python game's state as a pickle of its attributes and
unpickles it on reading: use them only on text you made yourself.)

``resample_from_infostate(player, sampler)`` draws, under ``rules=dark``, a state the player
cannot tell from this one from its :class:`~quellor_selfplay.belief.Belief`, for OpenSpiel's
Python IS-MCTS bot.
"""

from __future__ import annotations

import re
from typing import Any, Optional

import chess
import numpy as np
import torch
# OpenSpiel ships no type information: its classes are Any to the type checker.
import pyspiel  # type: ignore[import-not-found, import-untyped, unused-ignore]

from quellor_selfplay import codes
from quellor_selfplay.batch import GameBatch
from quellor_selfplay.belief import BELIEF_CAP, Belief, BeliefTracker
from quellor_selfplay.codes import ACTION_SLOTS, OBS_COLS, OBS_ROWS
from quellor_selfplay.players import NetPlayer, as_player
from quellor_selfplay.turn import Player, Reads, view_turn

__all__ = ["GAME_NAME", "FogChessGame", "FogChessState", "action_slot", "CheckpointBot", "PlayerBot"]

GAME_NAME = "python_quellor_fog_chess"
NUM_PLAYERS = 2
DEFAULT_MAX_PLIES = 1000
MAX_GAME_LENGTH = 2**31 - 1
# The most positions a resampling belief keeps; past it the draw is from a uniform subset.
RESAMPLE_CAP = BELIEF_CAP
DEFAULT_PARAMETERS = {"rules": "dark", "max_plies": DEFAULT_MAX_PLIES, "fen": chess.STARTING_FEN}
STATE_HEADER = "quellor-fog-chess-state 1"
STATE_FIELDS = ("rules", "max_plies", "fen", "moves")
MOVE_TEXT = re.compile(r"(0|[1-9]\d{0,4})(,(0|[1-9]\d{0,4}))*")

GAME_TYPE = pyspiel.GameType(
    short_name=GAME_NAME,
    long_name="Python quellor fog-of-war chess",
    dynamics=pyspiel.GameType.Dynamics.SEQUENTIAL,
    chance_mode=pyspiel.GameType.ChanceMode.DETERMINISTIC,
    information=pyspiel.GameType.Information.IMPERFECT_INFORMATION,
    utility=pyspiel.GameType.Utility.ZERO_SUM,
    reward_model=pyspiel.GameType.RewardModel.TERMINAL,
    max_num_players=NUM_PLAYERS,
    min_num_players=NUM_PLAYERS,
    provides_information_state_string=True,
    provides_information_state_tensor=False,
    provides_observation_string=True,
    provides_observation_tensor=True,
    parameter_specification=DEFAULT_PARAMETERS,
)


def action_slot(action: int, player: int) -> int:
    """The policy slot (action_index) of move code `action` played by `player` (0 White)."""
    return codes.code_slot(int(action), player == 0)


class FogChessGame(pyspiel.Game):  # type: ignore[misc]
    def __init__(self, params: Optional[dict[str, Any]] = None) -> None:
        merged = {**DEFAULT_PARAMETERS, **(params or {})}
        max_plies = merged["max_plies"]
        if isinstance(max_plies, bool) or not isinstance(max_plies, int) or max_plies < 1:
            raise ValueError(f"max_plies must be a positive int, got {max_plies!r}")
        if max_plies > MAX_GAME_LENGTH:
            raise ValueError(f"max_plies must be at most {MAX_GAME_LENGTH} (OpenSpiel holds a game's length in a "
                             f"32-bit int), got {max_plies}")
        info = pyspiel.GameInfo(
            num_distinct_actions=codes.MOVE_CODES,
            max_chance_outcomes=0,
            num_players=NUM_PLAYERS,
            min_utility=-1.0,
            max_utility=1.0,
            utility_sum=0.0,
            max_game_length=max_plies,
        )
        super().__init__(GAME_TYPE, info, params or {})
        self.rules = str(merged["rules"])
        self.max_plies = max_plies
        self.fen = str(merged["fen"])
        # Refuses bad rules and start positions once, here, rather than in every new state.
        probe = FogChessRecord(self.rules, self.max_plies, self.fen)
        if probe.over():
            raise ValueError("the start position leaves the side to move no move: the game is over")

    def new_initial_state(self) -> "FogChessState":
        return FogChessState(self)

    def deserialize_state(self, text: str) -> "FogChessState":
        """The state `FogChessState.serialize` wrote as `text`, its moves replayed; ValueError for
        any other text. Nothing in the text is run or unpickled: it is read as numbers and a FEN
        that must be this game's own."""
        if not isinstance(text, str):
            raise ValueError(f"a serialized state is text, not {type(text).__name__}")
        lines = text.rstrip("\n").split("\n")
        if lines[0] != STATE_HEADER:
            raise ValueError(f"not a serialized {GAME_NAME} state: it does not begin with {STATE_HEADER!r}")
        fields = dict(line.partition("=")[::2] for line in lines[1:])
        if [line.partition("=")[0] for line in lines[1:]] != list(STATE_FIELDS) or any("=" not in line for line in lines[1:]):
            raise ValueError(f"a serialized {GAME_NAME} state has the lines {', '.join(STATE_FIELDS)}, in that order")
        mine = {"rules": self.rules, "max_plies": str(self.max_plies), "fen": self.fen}
        for key, value in mine.items():
            if fields[key] != value:
                raise ValueError(f"the state was serialized with {key}={fields[key]!r}; this game has {value!r}")
        if fields["moves"] and not MOVE_TEXT.fullmatch(fields["moves"]):
            raise ValueError(f"the state's moves are not comma-separated move codes: {fields['moves'][:80]!r}")
        moves = [int(code) for code in fields["moves"].split(",")] if fields["moves"] else []
        state = self.new_initial_state()
        for ply, code in enumerate(moves):
            if state.is_terminal():
                raise ValueError(f"the state's move {ply} ({code}) comes after the end of the game")
            if code not in state._game.batch.legal_move_codes(0):
                raise ValueError(f"the state's move {ply} ({code}) is not legal in its position")
            state.apply_action(code)
        return state

    def make_py_observer(self, iig_obs_type: Any = None, params: Any = None) -> Any:
        if params:
            raise ValueError(f"observation parameters are not supported, got {params}")
        if iig_obs_type is not None and iig_obs_type.perfect_recall:
            return InformationStateObserver()
        return ViewObserver()


class FogChessRecord:
    """One game in a ``GameBatch(1)``, the moves that led there and what each player was shown.

    It pickles as its settings, start position and move codes, and replays them on loading:
    OpenSpiel serializes a Python state as the pickle of its attributes, and this is all of them.
    A deep copy clones the batch instead of replaying.
    """

    def __init__(self, rules: str, max_plies: int, fen: str) -> None:
        self.settings = (rules, max_plies, fen)
        self.batch = GameBatch(1, rules=rules, max_plies=max_plies, threads=1, fens=fen, dtype="float32")
        self.moves: list[int] = []
        # The observation each player was last given, and its views and answers so far.
        self.shown: list[Optional[np.ndarray]] = [None, None]
        self.record: list[list[str]] = [[], []]
        # Each player's belief, kept up with the moves from one resampling to the next.
        self.trackers: dict[int, BeliefTracker] = {}

    def mover(self) -> int:
        return 0 if bool(self.batch.to_move[0]) else 1

    def over(self) -> bool:
        return bool(self.batch.terminated[0] or self.batch.truncated[0])

    def play(self, code: int) -> None:
        """Plays a move code; an illegal one, or any once the game is over, raises ValueError and
        changes nothing."""
        if self.over():
            raise ValueError("the game is over: no action can be applied")
        player = self.mover()
        shown = self.batch.observation[0].numpy().copy()
        self.batch.step_moves(np.array([code], dtype=np.int64))
        self.moves.append(code)
        self.shown[player] = shown
        self.record[player].append(_view_text(shown, player) + "\n" + codes.code_move(code).uci())

    def belief(self, player: int) -> Belief:
        """What `player` cannot rule out now: a Belief that follows the game in a game of its
        own (a belief reads its game ply by ply). It is kept with the record, so that a search
        resampling the same state many times replays the game once."""
        rules, max_plies, fen = self.settings
        if rules != "dark":
            raise RuntimeError(f"{GAME_NAME} resamples from an information state under rules=dark only, not {rules}")
        tracker = self.trackers.get(player)
        if tracker is None:
            tracker = BeliefTracker(player == 0, rules=rules, max_plies=max_plies, fen=fen, cap=RESAMPLE_CAP)
            self.trackers[player] = tracker
        return tracker.follow(self.moves)

    def __deepcopy__(self, memo: dict[int, Any]) -> "FogChessRecord":
        copy = FogChessRecord.__new__(FogChessRecord)
        copy.settings, copy.batch, copy.moves = self.settings, self.batch.clone(), list(self.moves)
        copy.shown = [None if s is None else s.copy() for s in self.shown]
        copy.record = [list(r) for r in self.record]
        # A copy goes its own way: it follows its own moves with beliefs of its own.
        copy.trackers = {}
        return copy

    def __getstate__(self) -> dict[str, Any]:
        return {"settings": self.settings, "moves": self.moves}

    def __setstate__(self, state: dict[str, Any]) -> None:
        settings, moves = state.get("settings"), state.get("moves")
        if not (isinstance(settings, tuple) and len(settings) == 3 and isinstance(settings[0], str)
                and type(settings[1]) is int and isinstance(settings[2], str)
                and isinstance(moves, list) and all(type(code) is int for code in moves)):
            raise ValueError("not the state of a quellor fog-of-war chess game")
        self.__init__(*settings)  # type: ignore[misc]
        for code in moves:
            self.play(code)


class FogChessState(pyspiel.State):  # type: ignore[misc]
    def __init__(self, game: FogChessGame) -> None:
        super().__init__(game)
        self._game = FogChessRecord(game.rules, game.max_plies, game.fen)

    def current_player(self) -> int:
        return pyspiel.PlayerId.TERMINAL if self._game.over() else self._game.mover()

    def _legal_actions(self, player: int) -> list[int]:
        if self._game.over() or player != self._game.mover():
            return []
        return sorted(self._game.batch.legal_move_codes(0))

    def apply_action(self, action: int) -> None:
        # Refused here, before OpenSpiel's C++ records the action in the history (from
        # _apply_action the error would cross its frames).
        if self._game.over():
            raise ValueError("the game is over: no action can be applied")
        super().apply_action(action)

    def _apply_action(self, action: int) -> None:
        self._game.play(int(action))

    def resample_from_infostate(self, player_id: int, probability_sampler: Any) -> "FogChessState":
        """A state `player_id` cannot tell from this one, drawn uniformly from its Belief with a
        seed from `probability_sampler` (OpenSpiel's IS-MCTS calls it so). The player's views and
        moves carry over, so its information state string is this state's; the other player's
        record starts empty, the position's history frames start at the drawn position, and the
        state serializes as that position with no moves."""
        record = self._game
        if record.over():
            raise RuntimeError("the game is over: there is no information state to resample from")
        belief = record.belief(player_id)
        seed = int(float(probability_sampler()) * 2**63) % 2**63
        rules, max_plies, _ = record.settings
        left = max_plies - len(record.moves)
        drawn = FogChessRecord.__new__(FogChessRecord)
        drawn.batch = belief.start(1, seed=seed, max_plies=left, threads=1, dtype="float32")
        drawn.settings, drawn.moves = (rules, left, drawn.batch.fen(0)), []
        drawn.shown, drawn.record, drawn.trackers = [None, None], [[], []], {}
        shown = record.shown[player_id]
        drawn.shown[player_id] = None if shown is None else shown.copy()
        drawn.record[player_id] = list(record.record[player_id])
        state = FogChessState(self.get_game())
        state._game = drawn
        return state

    def serialize(self) -> str:
        """The state as plain text (see the module's notes), read by `FogChessGame.deserialize_state`."""
        rules, max_plies, fen = self._game.settings
        moves = ",".join(map(str, self._game.moves))
        return f"{STATE_HEADER}\nrules={rules}\nmax_plies={max_plies}\nfen={fen}\nmoves={moves}\n"

    def __reduce__(self) -> tuple[Any, ...]:
        # A pickled state is its game and its text, never its attributes.
        rules, max_plies, fen = self._game.settings
        return (_load_state, ({"rules": rules, "max_plies": max_plies, "fen": fen}, self.serialize()))

    def _action_to_string(self, player: int, action: int) -> str:
        return codes.code_move(int(action)).uci()

    def is_terminal(self) -> bool:
        return self._game.over()

    def returns(self) -> list[float]:
        if not self._game.over():
            return [0.0, 0.0]
        white, black = self._game.batch.rewards[0].tolist()
        return [white, black]

    def observation_of(self, player: int) -> np.ndarray:
        """The 64 x 106 float32 observation `player` holds now (see the module's notes)."""
        if player == self._game.mover():
            return self._game.batch.observation[0].numpy()
        shown = self._game.shown[player]
        return shown if shown is not None else _UNSEEN

    def information_state_of(self, player: int) -> str:
        lines = list(self._game.record[player])
        if player == self._game.mover():
            lines.append(_view_text(self._game.batch.observation[0].numpy(), player))
        return f"player {player}\n" + "\n".join(lines)

    def fen(self) -> str:
        return self._game.batch.fen(0)

    def __str__(self) -> str:
        return f"{self.fen()}\nply {len(self._game.moves)}"


def _load_state(params: dict[str, Any], text: str) -> FogChessState:
    game: FogChessGame = pyspiel.load_game(GAME_NAME, params)
    return game.deserialize_state(text)


def _view_text(observation: np.ndarray, player: int) -> str:
    return codes.squares_text(codes.frame_squares(observation[:, codes.NEWEST_FRAME], player == 0))


_UNSEEN = codes.unseen_observation(np.float32)


class ViewObserver:
    """The player's observation: a 64 x 106 tensor and its newest frame as text."""

    def __init__(self) -> None:
        self.tensor = np.zeros(OBS_ROWS * OBS_COLS, np.float32)
        self.dict = {"observation": self.tensor.reshape(OBS_ROWS, OBS_COLS)}

    def set_from(self, state: FogChessState, player: int) -> None:
        self.dict["observation"][:] = state.observation_of(player)

    def string_from(self, state: FogChessState, player: int) -> str:
        return _view_text(state.observation_of(player), player)


NO_INFORMATION_STATE_TENSOR = (
    f"{GAME_NAME} has no information state tensor: a player's information state is every view it "
    "was given since the start, which no fixed-size tensor holds; use information_state_string() "
    "for it, or observation_tensor() for the own view with its last eight frames"
)


class InformationStateObserver:
    """The player's whole record (strings only): each view it was given and its answer. A
    tensor of it is refused rather than given empty, so that no algorithm reads nothing as the
    information state."""

    def __init__(self) -> None:
        self.tensor = None
        self.dict: dict[str, np.ndarray] = {}

    def set_from(self, state: FogChessState, player: int) -> None:
        raise RuntimeError(NO_INFORMATION_STATE_TENSOR)

    def string_from(self, state: FogChessState, player: int) -> str:
        return state.information_state_of(player)


class CheckpointBot(pyspiel.Bot):  # type: ignore[misc]
    """Plays by a `quellor_selfplay.net` policy network over the own-view observation.

    Draws a slot from the network's softmax over the legal actions' slots, then one of the
    actions behind it (two only for a straight and a capturing promotion to one piece).
    """

    def __init__(self, player_id: int, net: Any, rng: np.random.Generator) -> None:
        pyspiel.Bot.__init__(self)
        self._player_id = player_id
        self._player = NetPlayer(net)
        self._rng = rng

    def player_id(self) -> int:
        return self._player_id

    def restart_at(self, state: Any) -> None:
        pass

    def provides_policy(self) -> bool:
        return True

    def step_with_policy(self, state: Any) -> tuple[list[tuple[int, float]], int]:
        actions = state.legal_actions(self._player_id)
        if not actions:
            return [], pyspiel.INVALID_ACTION
        by_slot: dict[int, list[int]] = {}
        for action in actions:
            by_slot.setdefault(action_slot(action, self._player_id), []).append(action)
        slots = list(by_slot)
        observation = torch.tensor(state.observation_tensor(self._player_id)).view(OBS_ROWS, OBS_COLS)
        logits = self._player.logits(observation.unsqueeze(0))[0]
        weights = torch.softmax(logits[slots], dim=0).double().numpy()
        if not np.all(np.isfinite(weights)) or weights.sum() <= 0:
            raise ValueError("the network's policy gives no finite probabilities")
        weights /= weights.sum()
        policy = [(a, float(w) / len(by_slot[s])) for s, w in zip(slots, weights) for a in by_slot[s]]
        slot = slots[int(self._rng.choice(len(slots), p=weights))]
        return policy, int(self._rng.choice(by_slot[slot]))

    def step(self, state: Any) -> int:
        return self.step_with_policy(state)[1]


class PlayerBot(pyspiel.Bot):  # type: ignore[misc]
    """Plays any of the package's players (`players.Player`: the greedy bot, a network, a player
    of your own) in the OpenSpiel game.

    The player is shown the state's own-view observation and the legal actions' slots, and its
    slot is played as the batch plays it: a slot two actions share (a straight and a capturing
    promotion to one piece) plays the lower move code. `seed` seeds the player's generator.
    """

    def __init__(self, player_id: int, player: Any, seed: int = 0) -> None:
        pyspiel.Bot.__init__(self)
        self._player_id = player_id
        self._player: Player = as_player(player)
        self._generator = torch.Generator().manual_seed(seed)
        self._seed = seed
        # A player that searches is given its side's belief, kept up with the game's moves.
        self._tracker: Optional[BeliefTracker] = None
        self._tracker_settings: Optional[tuple[str, int, str]] = None

    def player_id(self) -> int:
        return self._player_id

    def restart_at(self, state: Any) -> None:
        pass

    def step(self, state: Any) -> int:
        actions = sorted(state.legal_actions(self._player_id))
        if not actions:
            return int(pyspiel.INVALID_ACTION)
        by_slot: dict[int, int] = {}
        for action in actions:
            by_slot.setdefault(action_slot(action, self._player_id), action)
        slots = list(by_slot)
        observation = torch.tensor(state.observation_tensor(self._player_id)).view(1, OBS_ROWS, OBS_COLS)
        mask = torch.zeros((1, ACTION_SLOTS), dtype=torch.bool)
        mask[0, slots] = True
        reads = self._player.reads
        drawn = None
        if Reads.RANDOM in reads:
            drawn = torch.tensor([slots[int(torch.randint(len(slots), (1,), generator=self._generator))]])
        beliefs = [self._belief(state)] if Reads.BELIEFS in reads else None
        turn = view_turn(self._player, observation, mask, self._generator, [self._player_id == 0], drawn, beliefs)
        return by_slot[int(self._player.decide(turn).slots[0])]

    def _belief(self, state: Any) -> Belief:
        record = state._game
        rules, max_plies, fen = record.settings
        if self._tracker is None or self._tracker_settings != record.settings:
            self._tracker = BeliefTracker(self._player_id == 0, rules=rules, max_plies=max_plies, fen=fen,
                                          cap=self._player.belief_cap, seed=self._seed)
            self._tracker_settings = record.settings
        return self._tracker.follow(record.moves)


pyspiel.register_game(GAME_TYPE, FogChessGame)
