"""Many games of fog-of-war chess in one native object, driven by integer arrays.

`GameBatch` holds N games in C++. Each step takes one policy slot (or one exact move code) per
game, plays all games on a fixed pool of threads with the interpreter lock released, and writes
the next observations, legal-action masks, rewards and flags into tensors that share memory with
the batch: reading them costs no copy, and they change in place on every step.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any, NamedTuple, Optional, Union

import chess
import numpy as np
import numpy.typing as npt
import torch

import quellor
from quellor_selfplay import _batch
from quellor_selfplay.codes import (
    ACTION_SLOTS, CASTLING_COLUMNS, ENDINGS, FRAME_CHANNELS, MAX_GAMES, MOVE_CODES, OBS_COLS, OBS_ROWS, OBSERVATIONS, PACKED_WORDS, RULES,
    SQUARE_CODES, code_move,
)

__all__ = ["GameBatch", "unpack_observation", "ACTION_SLOTS", "MOVE_CODES", "PACKED_WORDS", "ENDINGS", "native", "adopt"]

DTYPES = {"uint8": torch.uint8, "float32": torch.float32}
INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1


def _whole(name: str, value: Any) -> int:
    """`value` as an int; bools and non-integers are refused with TypeError."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return int(value)


def _choice(name: str, value: Any, options: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in options:
        expected = " or ".join(repr(o) for o in options)
        raise ValueError(f"unknown {name} {value!r} (expected {expected})")
    return value


def _fen_text(board: Any, game: int) -> str:
    """The FEN text of a start position, accepted and refused as SelfPlayGame's constructor does.
    None, which SelfPlayGame reads as the start position, is refused: fens=None already means
    that for every game, and a None in a list is more likely a lost FEN than a wish."""
    if isinstance(board, str):
        return board
    if board is None:
        raise TypeError(f"game {game}: FEN must be a str or a python-chess Board, not None")
    try:
        quellor.SelfPlayGame(board)
    except (ValueError, TypeError) as error:
        raise type(error)(f"game {game}: {error}") from error
    fen = board.fen
    return fen if isinstance(fen, str) else fen()


def _unheld(fen: str) -> Optional[str]:
    """Why SelfPlayGame refuses a position the fog-of-war rules reached, or None when they do
    not explain it."""
    board = chess.Board(fen)
    for color in chess.COLORS:
        if board.king(color) is None:
            return f"{chess.COLOR_NAMES[color].capitalize()}'s king was captured"
    if board.was_into_check():
        mover, other = (chess.COLOR_NAMES[c].capitalize() for c in (board.turn, not board.turn))
        return f"{mover}, to move, can capture {other}'s king, which {other} left en prise"
    return None


class Gathered(NamedTuple):
    """What a player needs of the k games where it is to move (see GameBatch.gather)."""

    observations: Optional[torch.Tensor]  # (k, 64, 106) of the batch's dtype
    codes: Optional[torch.Tensor]         # (k, 64, SQUARE_CODES) uint8: the same as square codes
    rows: torch.Tensor                    # int64: the legal entries' rows (0..k-1), row by row
    slots: torch.Tensor                   # int64: their slots, in slot order within a row
    mask_bits: npt.NDArray[np.uint8]      # (k, 544): the masks packed as data.pack_masks packs them
    newest: npt.NDArray[np.int64]         # (k, 14): packed_newest() of the games


class GameBatch:
    """N games of fog-of-war chess stepped together.

    GameBatch(n, *, rules="dark", observation="own", dtype="uint8", max_plies=None, seed=0,
    threads=None, fens=None, auto_reset=False)
    """

    __slots__ = (
        "_core", "_n", "_rules", "_observation", "_mask", "_to_move", "_rewards",
        "_terminated", "_truncated", "_plies", "_last_move", "_ending", "_result",
        "_draws", "_draws_np", "_auto_reset",
    )

    def __init__(
        self,
        n: int,
        *,
        rules: str = "dark",
        observation: str = "own",
        dtype: Union[str, torch.dtype] = "uint8",
        max_plies: Optional[int] = None,
        seed: int = 0,
        threads: Optional[int] = None,
        fens: Union[None, str, Any, Sequence[Any]] = None,
        auto_reset: bool = False,
    ) -> None:
        n = _whole("n", n)
        if n <= 0:
            raise ValueError(f"n must be positive, got {n}")
        if n > MAX_GAMES:
            raise ValueError(f"n must be at most {MAX_GAMES}, got {n}")
        rules = _choice("rules", rules, RULES)
        mode = _choice("observation", observation, OBSERVATIONS)
        if isinstance(dtype, torch.dtype):
            dtype = str(dtype).replace("torch.", "")
        dtype_name = _choice("dtype", dtype, tuple(DTYPES))
        cap = 0
        if max_plies is not None:
            cap = _whole("max_plies", max_plies)
            if cap <= 0:
                raise ValueError(f"max_plies must be positive or None, got {cap}")
            if cap > UINT64_MAX:
                raise ValueError(f"max_plies must be at most 2**64-1, got {cap}")
        seed = _whole("seed", seed)
        if not 0 <= seed < 2**64:
            raise ValueError(f"seed must be in 0..2**64-1, got {seed}")
        if threads is None:
            threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
        threads = _whole("threads", threads)
        if threads <= 0:
            raise ValueError(f"threads must be positive, got {threads}")
        if not isinstance(auto_reset, (bool, np.bool_)):
            raise TypeError(f"auto_reset must be a bool, not {type(auto_reset).__name__}")

        start: Union[None, str, list[str]] = None
        if fens is not None:
            if isinstance(fens, str) or hasattr(fens, "fen"):
                start = _fen_text(fens, 0)
            else:
                entries = list(fens)
                if len(entries) != n:
                    raise ValueError(f"fens must hold one FEN or {n}, got {len(entries)}")
                start = [_fen_text(f, i) for i, f in enumerate(entries)]

        self._n = n
        self._rules = rules
        self._auto_reset = bool(auto_reset)
        outputs = self._allocate(DTYPES[dtype_name])
        # The core gives no game more than one thread, so a larger count is cut down here, where
        # any int may arrive.
        self._core = _batch.Batch(
            n, rules, mode, dtype_name, cap, seed, min(threads, n), start, bool(auto_reset), outputs
        )

    def _allocate(self, dtype: torch.dtype) -> tuple[Any, ...]:
        """Makes the output tensors; returns the buffers the native core writes them through.
        MemoryError when they do not fit in memory (torch says RuntimeError, with its C++ trace)."""
        try:
            return self._make_outputs(dtype)
        except RuntimeError as error:
            if "allocate" not in str(error):
                raise
            raise MemoryError(f"not enough memory for the outputs of {self._n} games") from None

    def _make_outputs(self, dtype: torch.dtype) -> tuple[Any, ...]:
        n = self._n
        self._observation = torch.zeros((n, OBS_ROWS, OBS_COLS), dtype=dtype)
        self._mask = torch.zeros((n, ACTION_SLOTS), dtype=torch.bool)
        self._to_move = torch.zeros(n, dtype=torch.bool)
        self._rewards = torch.zeros((n, 2), dtype=torch.float32)
        self._terminated = torch.zeros(n, dtype=torch.bool)
        self._truncated = torch.zeros(n, dtype=torch.bool)
        self._plies = torch.zeros(n, dtype=torch.int64)
        self._last_move = torch.zeros(n, dtype=torch.int64)
        self._ending = torch.zeros(n, dtype=torch.int8)
        self._result = torch.zeros(n, dtype=torch.int8)
        self._draws = torch.zeros(n, dtype=torch.int64)
        self._draws_np = self._draws.numpy()
        return tuple(
            t.numpy()
            for t in (self._observation, self._mask, self._to_move, self._rewards,
                      self._terminated, self._truncated, self._plies,
                      self._last_move, self._ending, self._result)
        )

    def clone(self) -> "GameBatch":
        """An independent copy: the same games, random streams, settings and outputs, in
        tensors of its own."""
        copy = GameBatch.__new__(GameBatch)
        copy._n, copy._rules, copy._auto_reset = self._n, self._rules, self._auto_reset
        outputs = copy._allocate(self._observation.dtype)
        copy._core = self._core.clone(outputs)
        return copy

    def __deepcopy__(self, memo: dict[int, Any]) -> "GameBatch":
        return self.clone()

    # ------------------------------------------------------------------------------------------
    # Outputs, shared with the batch and rewritten in place

    @property
    def observation(self) -> torch.Tensor:
        """(n, 64, 106) of the batch's dtype: the side to move's observation."""
        return self._observation

    @property
    def legal_action_mask(self) -> torch.Tensor:
        """(n, 4352) bool: the legal slots of the side to move; all False once a game is over."""
        return self._mask

    @property
    def to_move(self) -> torch.Tensor:
        """(n,) bool: True where White is to move."""
        return self._to_move

    @property
    def rewards(self) -> torch.Tensor:
        """(n, 2) float32: White's and Black's reward from the last step."""
        return self._rewards

    @property
    def terminated(self) -> torch.Tensor:
        """(n,) bool: the game is over by the rules."""
        return self._terminated

    @property
    def truncated(self) -> torch.Tensor:
        """(n,) bool: the game stopped at max_plies."""
        return self._truncated

    @property
    def plies(self) -> torch.Tensor:
        """(n,) int64: plies played in each game."""
        return self._plies

    @property
    def last_move(self) -> torch.Tensor:
        """(n,) int64: the move code (from * 64 + to + 4096 * k, as step_moves takes it) each
        game played in the last step, step_moves or play_random round; for a slot shared by two
        moves, the one that was played. -1 where the game played nothing then: it was over,
        auto-reset restarted it, or it has just been built or reset."""
        return self._last_move

    @property
    def ending(self) -> torch.Tensor:
        """(n,) int8: how each game ended, as an index into ENDINGS, -1 while it goes on.

        0 king captured; 1 checkmate (legal rules only: the side to move has no move and is in
        check); 2 stalemate (no move otherwise, under either rules, a start position without a
        move included); 3 ply cap (the game is truncated). Kept until the game restarts.
        """
        return self._ending

    @property
    def result(self) -> torch.Tensor:
        """(n,) int8: White's result, +1 won, -1 lost, 0 drawn; 0 while the game goes on.

        Set on the step that ends the game (where rewards[:, 0] holds the same) and kept until
        the game restarts, when rewards are back to 0.
        """
        return self._result

    @property
    def rules(self) -> str:
        return self._rules

    @property
    def threads(self) -> int:
        """Threads that share the games' work, the calling one included."""
        return int(self._core.threads)

    @property
    def bytes_per_game(self) -> int:
        """Memory a game's state takes, apart from the output tensors."""
        return int(self._core.bytes_per_game)

    def __len__(self) -> int:
        return self._n

    def __repr__(self) -> str:
        return (
            f"GameBatch({self._n}, rules={self._rules!r}, dtype={self._observation.dtype}, "
            f"threads={self.threads})"
        )

    # ------------------------------------------------------------------------------------------
    # Playing

    def _entries(self, values: Any, name: str, limit: int) -> np.ndarray:
        """`values` as a contiguous int64 array of shape (n,)."""
        if isinstance(values, torch.Tensor):
            if values.dtype is torch.int64 and values.is_cpu and not values.requires_grad:
                arr = values.numpy()  # the common case: no copy, no conversion
            elif values.dtype.is_floating_point or values.dtype.is_complex or values.dtype == torch.bool:
                raise TypeError(f"{name} must hold integers, not {values.dtype}")
            else:
                arr = values.detach().cpu().numpy()
        else:
            arr = np.asarray(values)
        if arr.dtype.kind not in "iu":
            raise TypeError(f"{name} must hold integers, not {arr.dtype}")
        if arr.shape != (self._n,):
            raise ValueError(f"{name} must have shape ({self._n},), got {tuple(arr.shape)}")
        if arr.dtype == np.uint64:
            # Too large for int64: out of range, unless the game is over and its entry ignored.
            live = ~(self._terminated.numpy() | self._truncated.numpy())
            huge = np.flatnonzero((arr > INT64_MAX) & live)
            if huge.size:
                i = int(huge[0])
                raise ValueError(f"game {i}: {name[:-1]} {int(arr[i])} is out of range (0..{limit - 1})")
            arr = np.minimum(arr, INT64_MAX)
        if arr.dtype != np.int64 or not arr.flags.c_contiguous:
            arr = np.ascontiguousarray(arr, dtype=np.int64)
        return arr

    def step(self, actions: Any, games: Any = None) -> None:
        """Plays one slot per unfinished game; finished games ignore their entry.

        A slot shared by two legal moves (a straight and a capturing promotion to one piece)
        plays the first of them in generation order. An illegal slot in an unfinished game
        raises ValueError and changes no game.

        With `games`, a bool mask, only the games where it is True move; the others are held as
        they are, their entries ignored (a finished one does not auto-reset), and show rewards 0
        and last_move -1 for this step. Games that wait for different players can so share one
        batch.
        """
        self._core.step(self._entries(actions, "actions", ACTION_SLOTS), False, self._games_mask(games))

    def step_moves(self, moves: Any, games: Any = None) -> None:
        """Plays one exact move code per unfinished game: from * 64 + to + 4096 * k. `games`
        as for step()."""
        codes = self._entries(moves, "moves", MOVE_CODES)
        self._core.step(codes, True, self._games_mask(games))

    def _games_mask(self, games: Any) -> Optional[np.ndarray]:
        """`games` as a contiguous bool array of shape (n,), or None."""
        if games is None:
            return None
        mask = games.detach().cpu().numpy() if isinstance(games, torch.Tensor) else np.asarray(games)
        if mask.dtype != np.bool_:
            raise TypeError(f"games must be a bool mask, not {mask.dtype}")
        if mask.shape != (self._n,):
            raise ValueError(f"games must have shape ({self._n},), got {tuple(mask.shape)}")
        return np.ascontiguousarray(mask)

    def random_actions(self) -> torch.Tensor:
        """(n,) int64: a uniformly drawn legal slot per unfinished game, -1 per finished one."""
        self._core.random_actions(self._draws_np)
        return self._draws.clone()

    def play_random(self, steps: int) -> dict[str, int]:
        """Plays `steps` rounds of uniformly random legal slots without returning to Python.

        The games end as `steps` calls of step(random_actions()) would leave them. Returns the
        counts of plies played and of games won by White or Black, drawn or truncated. Without
        auto_reset it returns as soon as every game is over, however many steps are left; Ctrl-C
        stops a long run with KeyboardInterrupt, the games left as the steps played so far
        made them.
        """
        steps = _whole("steps", steps)
        if steps < 0:
            raise ValueError(f"steps must not be negative, got {steps}")
        if steps > UINT64_MAX:
            raise ValueError(f"steps must be at most 2**64-1, got {steps}")
        return dict(self._core.play_random(steps))

    def reset(self, seed: Optional[int] = None, games: Any = None) -> None:
        """Restarts every game, or those where the bool mask `games` is True.

        With a seed, the restarted games' random streams start again: reset(seed=s) leaves the
        batch as a new one built with seed s.
        """
        if seed is not None:
            seed = _whole("seed", seed)
            if not 0 <= seed < 2**64:
                raise ValueError(f"seed must be in 0..2**64-1, got {seed}")
        self._core.reset(seed, self._games_mask(games))

    # ------------------------------------------------------------------------------------------
    # One game

    def _index(self, i: Any) -> int:
        index = _whole("i", i)
        if not -self._n <= index < self._n:
            raise IndexError(f"game index {index} out of range for {self._n} games")
        return index % self._n

    def legal_moves(self, i: int) -> list[chess.Move]:
        """Game i's legal moves as python-chess Moves, in the order the mask's slots were filled."""
        return [code_move(c) for c in self._core.legal_moves(self._index(i))]

    def legal_move_codes(self, i: int) -> list[int]:
        """Game i's legal moves as move codes (those of step_moves), in the order of legal_moves(i)."""
        return list(self._core.legal_moves(self._index(i)))

    def fen(self, i: int) -> str:
        """Game i's position as FEN (halfmove clock 0)."""
        return str(self._core.fen(self._index(i)))

    def game(self, i: int) -> quellor.SelfPlayGame:
        """A SelfPlayGame equal to game i: its board and its last eight positions' planes.

        Under the fog-of-war rules a game can reach positions SelfPlayGame does not hold (a
        king captured, or left where the side to move can take it): ValueError says which.
        """
        i = self._index(i)
        raw = self._core.planes(i)
        planes = torch.frombuffer(bytearray(raw), dtype=torch.uint8).view(-1, 64, 13).float()
        fen = self._core.fen(i)
        try:
            return quellor.SelfPlayGame(fen, history_tensors=list(planes))
        except ValueError as error:
            reason = _unheld(fen)
            if reason is None:
                raise
            raise ValueError(f"game {i}: SelfPlayGame cannot hold this position: {reason} ({fen})") from error

    def packed_observation(self) -> torch.Tensor:
        """(n, 105) int64: the observation bit-packed (see unpack_observation)."""
        out = torch.empty((self._n, PACKED_WORDS), dtype=torch.int64)
        self._core.packed_observation(out.numpy())
        return out


    def packed_newest(self, games: Any) -> torch.Tensor:
        """(k, 14) int64: for the games at the k indices `games`, the newest frame of
        packed_observation() (13 words) and its castling word, packed for these games alone."""
        index = np.ascontiguousarray(np.asarray(games), dtype=np.int64).reshape(-1)
        out = torch.empty((len(index), FRAME_CHANNELS + 1), dtype=torch.int64)
        self._core.packed_newest(index, out.numpy())
        return out

    def gather(self, games: Any, *, observations: bool = True, codes: bool = False) -> Gathered:
        """For the games at the k indices `games`, in one pass: their observations and their
        square codes (each if asked for, else None), the legal entries of their masks, their
        masks packed as bits and their newest frames packed.

        The observations are copies, unless `games` is every game in order: then they are
        `observation` itself, which the next step rewrites. Square codes (SQUARE_CODES a square)
        say the same as the observation in fewer bytes: the channel each of the eight frames
        sets at the square (FRAME_CHANNELS where it sets none), then the value of its two
        castling columns.
        """
        index = np.ascontiguousarray(np.asarray(games), dtype=np.int64).reshape(-1)
        k = len(index)
        every = k == self._n and bool((index == np.arange(k)).all())
        copies = None
        if observations and not every:
            copies = torch.empty((k, OBS_ROWS, OBS_COLS), dtype=self._observation.dtype)
        coded = torch.empty((k, OBS_ROWS, SQUARE_CODES), dtype=torch.uint8) if codes else None
        bits = np.empty((k, ACTION_SLOTS // 8), dtype=np.uint8)
        newest = np.empty((k, FRAME_CHANNELS + 1), dtype=np.int64)
        found = self._core.gather(index, None if copies is None else copies.numpy(),
                                  None if coded is None else coded.numpy(), bits, newest)
        if found:
            entries = torch.frombuffer(found, dtype=torch.int64)
            rows, slots = entries[: len(entries) // 2], entries[len(entries) // 2:]
        else:
            rows, slots = torch.zeros(0, dtype=torch.int64), torch.zeros(0, dtype=torch.int64)
        seen = copies if copies is not None else self._observation if observations else None
        return Gathered(seen, coded, rows, slots, bits, newest)


def native(batch: GameBatch) -> Any:
    """The native core of `batch`, for the package's native companions that work on its games (a
    belief that follows one of them, a segment that plays them); nothing else reaches it."""
    if not isinstance(batch, GameBatch):
        raise TypeError(f"batch must be a GameBatch, not {type(batch).__name__}")
    return batch._core


def adopt(n: int, rules: str, dtype: torch.dtype, auto_reset: bool, make: Any) -> GameBatch:
    """A GameBatch of n games whose native core `make(outputs)` builds, writing to the output
    tensors made for it here (a batch of positions drawn from a belief, say)."""
    batch = GameBatch.__new__(GameBatch)
    batch._n, batch._rules, batch._auto_reset = n, rules, bool(auto_reset)
    batch._core = make(batch._allocate(dtype))
    return batch


def square_codes(observations: torch.Tensor) -> torch.Tensor:
    """(..., 64, SQUARE_CODES) uint8: the square codes (see GameBatch.gather) of observations
    (..., 64, 106) of 0 and 1, of any dtype."""
    if observations.shape[-2:] != (OBS_ROWS, OBS_COLS):
        raise ValueError(f"observations must be (..., {OBS_ROWS}, {OBS_COLS}), got {tuple(observations.shape)}")
    frames = SQUARE_CODES - 1
    planes = observations[..., : frames * FRAME_CHANNELS].reshape(*observations.shape[:-1], frames, FRAME_CHANNELS) != 0
    # A frame sets one channel of a square at most: its index, or FRAME_CHANNELS for none.
    codes = torch.where(planes.any(dim=-1), planes.to(torch.uint8).argmax(dim=-1), FRAME_CHANNELS)
    flags = observations[..., CASTLING_COLUMNS.start] != 0
    return torch.cat([codes, flags[..., None]], dim=-1).to(torch.uint8)


def unpack_observation(packed: torch.Tensor, dtype: torch.dtype = torch.float32) -> torch.Tensor:
    """Decodes packed observations (..., 105) int64 into (..., 64, 106) of `dtype`.

    Word 13k + c is the bitboard of frame k, channel c (bit r set: row r holds 1 in column
    13k + c); word 104 holds the castling flags, bit 0 king side (row 0, columns 104 and 105),
    bit 1 queen side (row 1, columns 104 and 105).
    """
    if packed.dtype != torch.int64 or packed.shape[-1:] != (PACKED_WORDS,):
        raise ValueError(f"packed observations must be int64 (..., {PACKED_WORDS})")
    if packed.device.type == "cpu":
        return _unpack_on_cpu(packed, dtype)
    rows = torch.arange(OBS_ROWS, device=packed.device).view(OBS_ROWS, 1)
    bits = (packed[..., None, : PACKED_WORDS - 1] >> rows) & 1
    out = torch.zeros((*packed.shape[:-1], OBS_ROWS, OBS_COLS), dtype=dtype, device=packed.device)
    out[..., :, : PACKED_WORDS - 1] = bits.to(dtype)
    flags = packed[..., PACKED_WORDS - 1]
    out[..., 0, CASTLING_COLUMNS] = (flags & 1).to(dtype)[..., None]
    out[..., 1, CASTLING_COLUMNS] = ((flags >> 1) & 1).to(dtype)[..., None]
    return out


def _unpack_on_cpu(packed: torch.Tensor, dtype: torch.dtype) -> torch.Tensor:
    """unpack_observation by numpy's unpackbits: the bytes of a little-endian word are its
    rows eight at a time, so one call spreads every word into its 64 rows (a tenth of the time
    of shifting each word 64 times)."""
    lead = packed.shape[:-1]
    k = int(np.prod(lead)) if lead else 1
    words = np.ascontiguousarray(packed.reshape(k, PACKED_WORDS).numpy(), dtype="<i8")
    planes = np.unpackbits(words[:, : PACKED_WORDS - 1].view(np.uint8).reshape(k, PACKED_WORDS - 1, 8),
                           axis=2, bitorder="little")  # k x 104 words x 64 rows
    out = torch.empty((k, OBS_ROWS, OBS_COLS), dtype=dtype)
    out[:, :, : PACKED_WORDS - 1] = torch.from_numpy(planes).transpose(1, 2)
    flags = torch.from_numpy(words[:, PACKED_WORDS - 1])
    out[:, :, CASTLING_COLUMNS] = 0
    out[:, 0, CASTLING_COLUMNS] = (flags & 1).to(dtype)[:, None]
    out[:, 1, CASTLING_COLUMNS] = ((flags >> 1) & 1).to(dtype)[:, None]
    return out.view(*lead, OBS_ROWS, OBS_COLS)
