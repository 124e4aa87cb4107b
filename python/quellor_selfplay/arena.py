"""Many games at once in one GameBatch: every waiting game moves in the same step, each player
deciding for all the games where it is to move in one call.

`play_segment` plays a list of games with a fixed number of concurrent slots: a slot whose game
ends takes the next game of the list until the list is done. Everything it does follows from its
arguments (the batch's random streams and the players' sampling generator are seeded from
`seed`), so a segment plays the same games in this process, a worker process or a Ray actor.
Its result is one shard of the training data (see `data`): a row per decision, in game then ply
order, and a table of the games.
"""

from __future__ import annotations

import hashlib
from collections.abc import Callable, Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt
import torch

from quellor_selfplay.batch import GameBatch
from quellor_selfplay.belief import Belief
from quellor_selfplay.codes import FRAME_CHANNELS
from quellor_selfplay.config import GameConfig
from quellor_selfplay.data import ROW_FIELDS, pack_masks
from quellor_selfplay.ledger import count, part
from quellor_selfplay.players import Player

Arrays = dict[str, npt.NDArray[Any]]


def derive_seed(*parts: Any) -> int:
    """A 63-bit seed from the parts' text: the same in every process and on every machine."""
    digest = hashlib.sha256(":".join(["quellor-selfplay", *map(str, parts)]).encode()).digest()
    return int.from_bytes(digest[:8], "little") >> 1


def play_segment(
    table: GameConfig,
    games: Sequence[tuple[int, int, int]],
    players: Sequence[Player],
    slots: int,
    seed: int,
    on_game: Optional[Callable[[int], None]] = None,
) -> Arrays:
    """Plays `games`, each (game index, White's player, Black's player) with players given as
    indices into `players`, `slots` of them at a time; returns the shard's arrays.

    `on_game(plies)` is called as each game ends.
    """
    order = [g for g, _, _ in games]
    if order != sorted(set(order)):
        raise ValueError("the games of a segment must be distinct and in ascending order")
    total = len(games)
    game_ids = np.array(order, dtype=np.int64)
    white_of = np.array([w for _, w, _ in games], dtype=np.int64)
    black_of = np.array([b for _, _, b in games], dtype=np.int64)
    results = np.zeros(total, dtype=np.int8)
    endings = np.zeros(total, dtype=np.uint8)
    lengths = np.zeros(total, dtype=np.int32)
    chunks: list[dict[str, npt.NDArray[Any]]] = []
    if total == 0:
        return _assemble(chunks, game_ids, white_of, black_of, results, endings, lengths)

    if table.observation is None:
        raise ValueError("the game's observation layout is not set: give 'own' or 'history'")
    n = max(1, min(slots, total))
    with part("engine"):
        batch = GameBatch(n, rules=table.rules, observation=table.observation, dtype="uint8",
                          max_plies=table.max_plies, seed=derive_seed(seed, "batch"), threads=1,
                          fens=table.start_fen)
    generator = torch.Generator().manual_seed(derive_seed(seed, "policy"))
    job = np.arange(n, dtype=np.int64)  # the games-list entry each slot plays, -1 when idle
    waiting = n
    needs_random = [p.uses_random_actions for p in players]
    # Players that search keep, for every game they play, the belief of their side: made as the
    # game starts in its slot, updated after every ply.
    needs_beliefs = [bool(getattr(p, "uses_beliefs", False)) for p in players]
    beliefs: dict[tuple[int, bool], Belief] = {}

    def follow(started: Sequence[int]) -> None:
        for slot in started:
            j = job[slot]
            for white, p in ((True, white_of[j]), (False, black_of[j])):
                beliefs.pop((int(slot), white), None)
                if needs_beliefs[p]:
                    with part("beliefs"):
                        beliefs[(int(slot), white)] = Belief(
                            batch, int(slot), white, cap=getattr(players[p], "belief_cap", 100_000),
                            seed=derive_seed(seed, "belief", game_ids[j], white))

    def finish(ended: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """Records the ended slots' games and gives them the next ones; returns the slots that
        took a new game."""
        nonlocal waiting
        for slot in ended:
            j = job[slot]
            # The core says how each game ended and who won.
            results[j], endings[j] = int(batch.result[slot]), int(batch.ending[slot])
            lengths[j] = int(batch.plies[slot])
            if on_game is not None:
                on_game(int(lengths[j]))
        fresh = []
        for slot in ended:
            if waiting < total:
                job[slot] = waiting
                waiting += 1
                fresh.append(slot)
            else:
                job[slot] = -1
                beliefs.pop((int(slot), True), None)
                beliefs.pop((int(slot), False), None)
        if fresh:
            mask = np.zeros(n, dtype=np.bool_)
            mask[fresh] = True
            with part("engine"):
                batch.reset(games=mask)
            follow(fresh)
        return np.array(fresh, dtype=np.int64)

    def over() -> npt.NDArray[np.bool_]:
        return (batch.terminated | batch.truncated).numpy()

    # Games over before their first move (a start position without a move) end at once, and
    # so may the games that replace them.
    follow(range(n))
    check = np.arange(n)
    while check.size:
        check = finish(check[over()[check]])

    entries = np.zeros(n, dtype=np.int64)  # one slot per batch game, ignored where it is over
    # The players in a fixed order: a round gives each of them, in turn, every game where it is
    # to move at that moment, and steps those games alone. A game against another player thus
    # waits for it within the round, and each player decides for as many games at once as it
    # can: after the learner has moved in all its games, every pool member finds all its own
    # games waiting, where stepping all games together would split every step between them.
    order = sorted(set(white_of.tolist()) | set(black_of.tolist()))
    single = len(order) == 1
    while True:
        moved = False
        for p in order:
            with part("records"):
                live = np.flatnonzero((job >= 0) & ~over())
                if live.size == 0:
                    break
                white = batch.to_move.numpy()[live]
                if not single:
                    jobs = job[live]
                    mine = np.where(white, white_of[jobs], black_of[jobs]) == p
                    if not mine.any():
                        continue
                    live, white = live[mine], white[mine]
                jobs = job[live]
            moved = True
            actions, log_probs, masks = _decide(batch, players[p], live, white, n, needs_random[p],
                                                beliefs if needs_beliefs[p] else None, generator)
            with part("observations"):
                newest = batch.packed_newest(live).numpy()
                mask_bits = pack_masks(masks)
                plies = batch.plies.numpy()[live].astype(np.int32)
            with part("engine"):
                entries[:] = 0
                entries[live] = actions
                if single:
                    batch.step(entries)
                else:
                    stepped = np.zeros(n, dtype=np.bool_)
                    stepped[live] = True
                    batch.step(entries, games=stepped)
            if beliefs:
                with part("beliefs"):
                    # Both sides' beliefs follow every ply of their game.
                    for slot in live:
                        for white_side in (True, False):
                            held = beliefs.get((int(slot), white_side))
                            if held is not None:
                                held.update()
            with part("records"):
                # The move each slot played, as the core resolved it (a promotion slot names no square).
                codes = batch.last_move.numpy()[live]
                chunks.append({
                    "job": jobs, "ply": plies, "white": white,
                    "action": actions.astype(np.int16), "move": codes.astype(np.int16), "logp": log_probs,
                    "player": np.full(live.size, p, dtype=np.uint8), "frame": newest[:, :FRAME_CHANNELS],
                    "castling": newest[:, FRAME_CHANNELS].astype(np.uint8), "mask": mask_bits,
                })
                check = live[over()[live]]
                while check.size:
                    check = finish(check[over()[check]])
        if not moved:
            break
    with part("records"):
        return _assemble(chunks, game_ids, white_of, black_of, results, endings, lengths)


def _decide(batch: GameBatch, player: Player, live: npt.NDArray[np.int64], white: npt.NDArray[np.bool_], n: int,
            needs_random: bool, beliefs: Optional[dict[tuple[int, bool], Belief]],
            generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], torch.Tensor]:
    """`player`'s slots and their log-probabilities in the batch games `live` (where it is to
    move, White where `white`), and those games' masks."""
    count("positions", live.size)
    with part("observations"):
        if live.size == n:
            # The outputs are read before the next step rewrites them: no copy needed.
            observations, masks = batch.observation, batch.legal_action_mask
        else:
            index = torch.from_numpy(live)
            observations = torch.index_select(batch.observation, 0, index)
            masks = torch.index_select(batch.legal_action_mask, 0, index)
    drawn = None
    if needs_random:
        with part("engine"):
            drawn = torch.index_select(batch.random_actions(), 0, torch.from_numpy(live))
    extra = {} if beliefs is None else {"beliefs": [beliefs[(int(s), bool(w))] for s, w in zip(live, white)]}
    with part(getattr(player, "ledger_part", "bots")):
        actions, log_probs = player.act(observations, masks, generator, drawn, **extra)
    return np.asarray(actions, dtype=np.int64), np.asarray(log_probs, dtype=np.float32), masks


def _assemble(chunks: list[dict[str, npt.NDArray[Any]]], game_ids: npt.NDArray[np.int64],
              white_of: npt.NDArray[np.int64], black_of: npt.NDArray[np.int64],
              results: npt.NDArray[np.int8], endings: npt.NDArray[np.uint8],
              lengths: npt.NDArray[np.int32]) -> Arrays:
    """The shard: rows in game then ply order, each chunk's rows written straight to their
    places (a game's rows start where those of the games before it end), one copy of the
    masks and frames rather than a concatenation and a sort."""
    starts = np.cumsum(lengths, dtype=np.int64) - lengths
    total = int(lengths.sum())
    shard = {key: np.empty((total, *shape), dtype=dtype) for key, (dtype, shape) in ROW_FIELDS.items()}
    recorded = [key for key in ROW_FIELDS if key not in ("game", "value")]
    filled = 0
    for chunk in chunks:
        jobs = chunk["job"]
        at = starts[jobs] + chunk["ply"]
        for key in recorded:
            shard[key][at] = chunk[key]
        shard["game"][at] = game_ids[jobs]
        white_result = results[jobs]
        shard["value"][at] = np.where(chunk["white"], white_result, -white_result)
        filled += len(jobs)
    if filled != total:
        raise RuntimeError(f"a segment recorded {filled} rows for games of {total} plies")
    shard.update({
        "game_index": game_ids,
        "game_plies": lengths,
        "game_result": results,
        "game_ending": endings,
        "game_white": white_of.astype(np.uint8),
        "game_black": black_of.astype(np.uint8),
    })
    return shard
