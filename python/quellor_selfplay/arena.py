"""Many games at once in one GameBatch, played in rounds: in a round each unit of players in
turn decides, in one call, for every game where it is to move at that moment, and those games
step. Network players of one shape (a training run's learner and pool) are one unit, their
networks in one pass. The rounds run in the batch module (`_batch.Segment`); Python holds the
players, each a `turn.Player` that decides from the Turn it is handed.

`play_segment` plays a list of games a fixed number at a time, each in a lane of one GameBatch:
a lane whose game ends takes the next game of the list until the list is done. Everything it
does follows from its arguments (the batch's random streams and the players' sampling generator
are seeded from `seed`), so a segment plays the same games in this process, a worker process or
a Ray actor. Its result is one shard of the training data (see `data`): a row per decision, in
game then ply order, and a table of the games.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable, Sequence
from typing import Any, Optional, cast

import numpy as np
import numpy.typing as npt
import torch

from quellor_selfplay import _batch
from quellor_selfplay.batch import GameBatch, native
from quellor_selfplay.belief import Belief
from quellor_selfplay.codes import ACTION_SLOTS, OBS_COLS, OBS_ROWS
from quellor_selfplay.config import GameConfig
from quellor_selfplay.data import CARRY_FIELDS, GAME_FIELDS, ROW_FIELDS
from quellor_selfplay.ledger import count, part
from quellor_selfplay.net import SquareNet, StackedSquares, stacking_shape
from quellor_selfplay.players import NetPlayer, as_player, sample_entries
from quellor_selfplay.turn import Decision, Player, Reads, Turn

Arrays = dict[str, npt.NDArray[Any]]


def derive_seed(*parts: Any) -> int:
    """A 63-bit seed from the parts' text: the same in every process and on every machine."""
    digest = hashlib.sha256(":".join(["quellor-selfplay", *map(str, parts)]).encode()).digest()
    return int.from_bytes(digest[:8], "little") >> 1


# The keys of a segment's unfinished games (see play_segment): a row per game, then a row per
# ply of those games in game then ply order.
CARRY_KEYS = tuple(CARRY_FIELDS)
CARRY_GAME_KEYS, CARRY_ROW_KEYS = CARRY_KEYS[:4], CARRY_KEYS[4:]


def play_segment(
    game: GameConfig,
    games: Sequence[tuple[int, int, int]],
    players: Sequence[Any],
    lanes: int,
    seed: int,
    on_game: Optional[Callable[[int], None]] = None,
    carried: Optional[Arrays] = None,
    early: Sequence[tuple[int, int, int]] = (),
) -> Arrays:
    """Plays `games`, each (game index, White's player, Black's player) with players given as
    indices into `players`, `lanes` of them at a time; returns the shard's arrays.

    A segment can hand games on to the next. `early` lists games of the next segment (numbered
    as that segment numbers its games, whatever this one's numbers) that a lane may start once
    every game of `games` has started, rather than stand idle while the last of them play on;
    the shard then also holds, under CARRY_KEYS, those of them that were started (finished or
    not): their moves, slots, log-probabilities and players so far. Given to the next segment
    as `carried`, they are played again move for move from their starts, as the next segment's
    lanes take them before its own games, and go on from there: the next shard holds them whole,
    the rows of their earlier moves as this segment made them.
    (The players of a carried game must be at the same indices in both segments.)

    `players` are Players (see `turn`), or players of the older `act` interface. `on_game(plies)`
    is called as each game ends.
    """
    order = [g for g, _, _ in games]
    if order != sorted(set(order)):
        raise ValueError("the games of a segment must be distinct and in ascending order")
    handed = _carried_games(carried)
    ahead = [g for g, _, _ in early]
    if ahead != sorted(set(ahead)):
        raise ValueError("the early games must be distinct and in ascending order")
    if set(order) & {g for g, _, _ in handed}:
        raise ValueError("a carried game is also among the segment's own games")
    # Every game the segment may play, as its lanes take them: the carried games (whose moves
    # are played again first), its own, then those it may start early for the next segment.
    entries = list(handed) + list(games) + list(early)
    if len(players) > 256:
        raise ValueError(f"a segment plays at most 256 players, not {len(players)}")
    if any(not 0 <= p < len(players) for _, w, b in entries for p in (w, b)):
        raise ValueError(f"a game names a player outside the {len(players)} given")
    required = len(handed) + len(games)  # the shard's games; the early ones come after them
    if required == 0:
        return _empty_shard(bool(early))
    if game.observation is None:
        raise ValueError("the game's observation layout is not set: give 'own' or 'history'")
    n = max(1, min(lanes, required))
    deciders = [as_player(p, f"player {i}") for i, p in enumerate(players)]
    game_ids = np.array([g for g, _, _ in entries], dtype=np.int64)
    white_of = np.array([w for _, w, _ in entries], dtype=np.uint8)
    black_of = np.array([b for _, _, b in entries], dtype=np.uint8)
    # The players in a fixed order: a round gives each unit of them, in turn, every game where
    # it is to move at that moment, and steps those games alone. A game against another unit
    # thus waits for it within the round, and each unit decides for as many games at once as it
    # can: after the learner and the pool's networks have moved in all their games in one pass,
    # every bot finds all its own games waiting, where stepping all games together would split
    # every step between them.
    units = _stacked_units(sorted(set(white_of.tolist()) | set(black_of.tolist())), deciders, entries)
    # Players that search keep, for every game they play, the belief of their side: made as the
    # game starts in its lane, following every ply.
    believing = any(Reads.BELIEFS in p.reads for p in deciders)
    caps = [p.belief_cap if Reads.BELIEFS in p.reads else 0 for p in deciders] if believing else None
    seeds = np.array([derive_seed(seed, "belief", int(g), white) for g in game_ids for white in (True, False)],
                     dtype=np.uint64) if believing else None
    with part("engine"):
        batch = GameBatch(n, rules=game.rules, observation=game.observation, dtype=game.dtype,
                          max_plies=game.max_plies, seed=derive_seed(seed, "batch"), threads=1,
                          fens=game.start_fen)
        segment = _batch.Segment(native(batch), game_ids, white_of, black_of, required,
                                 [members for members, _ in units], [int(d.reads) for _, d in units], caps, seeds)
    generator = torch.Generator().manual_seed(derive_seed(seed, "policy"))
    dtype = batch.observation.dtype

    def ended(lengths: list[int]) -> None:
        if on_game is not None:
            for plies in lengths:
                on_game(plies)

    # Everything a round does that no part within it names is the round's bookkeeping.
    with part("records"):
        with part("engine"):
            ended(segment.start(None if carried is None else _carried_moves(carried)))
        while True:
            with part("observations"):
                found = segment.turn()
            if found is None:
                break
            unit, live, counts, white, ids, legal, newest, seen, codes, masks, drawn, beliefs = found
            k = len(live) // 8
            count("positions", k)
            entries_found = torch.frombuffer(legal, dtype=torch.int64)
            half = len(entries_found) // 2
            turn = Turn(
                games=np.frombuffer(live, dtype=np.int64), white=np.frombuffer(white, dtype=np.bool_),
                ids=np.frombuffer(ids, dtype=np.int64), rows=entries_found[:half], slots=entries_found[half:],
                newest=np.frombuffer(newest, dtype=np.int64).reshape(k, -1), generator=generator,
                observations=None if seen is None else torch.frombuffer(seen, dtype=dtype).view(k, OBS_ROWS, OBS_COLS),
                codes=None if codes is None else torch.frombuffer(codes, dtype=torch.uint8).view(k, OBS_ROWS, -1),
                masks=None if masks is None else torch.frombuffer(masks, dtype=torch.bool).view(k, ACTION_SLOTS),
                random=None if drawn is None else torch.frombuffer(drawn, dtype=torch.int64),
                beliefs=None if beliefs is None else [Belief._following(b, batch) for b in beliefs],
                counts=counts)
            decider = units[unit][1]
            with part(decider.ledger_part):
                decision = decider.decide(turn)
            decision.check(turn)
            with part("engine"):
                ended(segment.play(np.ascontiguousarray(decision.slots, dtype=np.int64),
                                   np.ascontiguousarray(decision.log_probs, dtype=np.float32)))
        return _shard(segment, required, bool(early))


def _empty_shard(carries: bool) -> Arrays:
    """The shard of a segment without games."""
    shard: Arrays = {key: np.zeros((0, *shape), dtype) for key, (dtype, shape) in ROW_FIELDS.items()}
    shard.update({key: np.zeros(0, dtype) for key, dtype in GAME_FIELDS.items()})
    if carries:
        shard.update({key: np.zeros(0, dtype) for key, dtype in CARRY_FIELDS.items()})
    return shard


def _shard(segment: Any, required: int, carries: bool) -> Arrays:
    """The shard of a segment whose rounds are done, written by the segment into arrays made
    here: the rows of its `required` games in game then ply order, a row per game, and with
    `carries` the games it started early for the next segment (their table, then their rows)."""
    rows, carried_rows, started = segment.finish()
    shard: Arrays = {key: _fresh((rows, *shape), dtype) for key, (dtype, shape) in ROW_FIELDS.items()}
    shard.update({key: np.empty(required, dtype) for key, dtype in GAME_FIELDS.items()})
    handed = None
    if carries:
        sizes = [started - required] * len(CARRY_GAME_KEYS) + [carried_rows] * len(CARRY_ROW_KEYS)
        shard.update({key: np.empty(size, dtype) for (key, dtype), size in zip(CARRY_FIELDS.items(), sizes)})
        handed = (tuple(shard[key] for key in CARRY_GAME_KEYS), tuple(shard[key] for key in CARRY_ROW_KEYS))
    segment.assemble(tuple(shard[key] for key in ROW_FIELDS), tuple(shard[key] for key in GAME_FIELDS), handed)
    return shard


def _fresh(shape: tuple[int, ...], dtype: Any) -> npt.NDArray[Any]:
    """np.empty(shape, dtype) in memory from torch's allocator. numpy asks the kernel for huge
    pages for an array of 4 MiB or more; where transparent huge pages are given on request, the
    kernel may first compact memory for them, in the caller's time: a train segment's 18 MiB of
    masks took 15-20 ms of system time a segment that way, against some 5 in small pages."""
    raw: npt.NDArray[Any] = torch.empty(int(np.prod(shape)) * np.dtype(dtype).itemsize, dtype=torch.uint8).numpy()
    array: npt.NDArray[Any] = raw.view(dtype).reshape(shape)
    return array


def _carried_moves(carried: Arrays) -> tuple[npt.NDArray[Any], ...]:
    """The carried games' plies and moves, as the segment plays them again."""
    return tuple(np.ascontiguousarray(carried[key], dtype=CARRY_FIELDS[key]) for key in (
        "carry_plies", "carry_move", "carry_action", "carry_logp", "carry_player"))


def _carried_games(carried: Optional[Arrays]) -> list[tuple[int, int, int]]:
    """The (game, White, Black) entries of a segment's carried games; ValueError when the
    arrays do not hold whole games."""
    if carried is None:
        return []
    missing = [key for key in CARRY_KEYS if key not in carried]
    if missing:
        raise ValueError(f"the carried games lack {', '.join(missing)}")
    count = len(carried["carry_game"])
    if any(len(carried[key]) != count for key in CARRY_GAME_KEYS):
        raise ValueError("the carried games' tables differ in length")
    rows = int(np.sum(carried["carry_plies"], dtype=np.int64))
    if (np.asarray(carried["carry_plies"]) < 0).any() or any(len(carried[key]) != rows for key in CARRY_ROW_KEYS):
        raise ValueError("the carried games' rows do not match their plies")
    ids = np.asarray(carried["carry_game"]).tolist()
    if ids != sorted(set(ids)):
        raise ValueError("the carried games must be distinct and in ascending order")
    return [(int(g), int(w), int(b)) for g, w, b in zip(ids, carried["carry_white"], carried["carry_black"])]


# Which networks of one shape decide together, in one pass: "shape", all of them (a game between
# two of them then moves once a round, where deciding apart it moves twice); "apart", only those
# that never meet, so that every game moves as it would with each deciding alone; None, none.
STACKING: Optional[str] = "shape"


def _stacked_units(order: list[int], players: Sequence[Player], entries: Sequence[tuple[int, int, int]]
                   ) -> list[tuple[list[int], Player]]:
    """The players of `order` in the turns they take in a round, each turn's players with the
    Player that decides for them. Network players that read square codes and share a network
    shape take one turn together, with their networks stacked, where STACKING allows: all of
    them ("shape"), in the place of the first; or runs of them that never meet in `entries`
    ("apart"). Every other player takes a turn of its own."""
    met = {(w, b) for _, w, b in entries} | {(b, w) for _, w, b in entries}

    def shape(p: int) -> Any:
        player = players[p]
        if STACKING is None or type(player) is not NetPlayer or not player.reads_codes:
            return None
        return stacking_shape(player.acting)

    runs: list[list[int]] = []
    placed: dict[Any, list[int]] = {}
    for p in order:
        here = shape(p)
        if here is not None and STACKING == "shape" and here in placed:
            placed[here].append(p)
        elif runs and here is not None and STACKING == "apart" and shape(runs[-1][0]) == here \
                and not any((p, q) in met for q in runs[-1]):
            runs[-1].append(p)
        else:
            runs.append([p])
            if here is not None:
                placed.setdefault(here, runs[-1])
    return [(run, players[run[0]] if len(run) == 1 else
             _Stacked(StackedSquares([cast(SquareNet, cast(NetPlayer, players[p]).acting) for p in run])))
            for run in runs]


class _Stacked(Player):
    """Network players that decide together: the first counts[0] games of a turn are the first
    network's, and so on. The moves are drawn in that order from the turn's generator, as the
    players deciding one after the other would draw them."""

    reads = Reads.CODES
    ledger_part = "sampling"

    def __init__(self, stacked: StackedSquares) -> None:
        self.stacked = stacked

    def decide(self, turn: Turn) -> Decision:
        assert turn.codes is not None
        with part("forward"):
            count("forward rows", len(turn))
            count("forward calls", 1)
            with torch.inference_mode():
                values = self.stacked.legal_logits_of_codes(turn.codes, list(turn.counts), turn.rows, turn.slots)
        return Decision(*sample_entries(values, turn.rows, turn.slots, len(turn), turn.generator))
