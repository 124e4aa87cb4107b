"""Many games at once in one GameBatch, played in rounds: in a round each player in turn decides,
in one call, for every game where it is to move at that moment, and those games step. Network
players of one shape that never meet one another (a training run's pool) take their turns
together, their networks in one pass.

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
from typing import Any, Optional, cast

import numpy as np
import numpy.typing as npt
import torch

from quellor_selfplay.batch import GameBatch, Gathered
from quellor_selfplay.belief import Belief
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.codes import FRAME_CHANNELS
from quellor_selfplay.config import GameConfig
from quellor_selfplay.data import ROW_FIELDS
from quellor_selfplay.ledger import count, part
from quellor_selfplay.net import SquareNet, StackedSquares, stacking_shape
from quellor_selfplay.players import NetPlayer, Player, sample_entries

Arrays = dict[str, npt.NDArray[Any]]


def derive_seed(*parts: Any) -> int:
    """A 63-bit seed from the parts' text: the same in every process and on every machine."""
    digest = hashlib.sha256(":".join(["quellor-selfplay", *map(str, parts)]).encode()).digest()
    return int.from_bytes(digest[:8], "little") >> 1


# The keys of a segment's unfinished games (see play_segment): a row per game, then a row per
# ply of those games in game then ply order.
CARRY_GAME_KEYS = ("carry_game", "carry_white", "carry_black", "carry_plies")
CARRY_ROW_KEYS = ("carry_move", "carry_action", "carry_logp", "carry_player")
CARRY_KEYS = CARRY_GAME_KEYS + CARRY_ROW_KEYS


def play_segment(
    table: GameConfig,
    games: Sequence[tuple[int, int, int]],
    players: Sequence[Player],
    slots: int,
    seed: int,
    on_game: Optional[Callable[[int], None]] = None,
    carried: Optional[Arrays] = None,
    early: Sequence[tuple[int, int, int]] = (),
) -> Arrays:
    """Plays `games`, each (game index, White's player, Black's player) with players given as
    indices into `players`, `slots` of them at a time; returns the shard's arrays.

    A segment can hand games on to the next. `early` lists games of the next segment (numbered
    as that segment numbers its games, whatever this one's numbers) that a slot may start once
    every game of `games` has started, rather than stand idle while the last of them play on;
    the shard then also holds, under CARRY_KEYS, those of them that were started (finished or
    not): their moves, slots, log-probabilities and players so far. Given to the next segment
    as `carried`, they are played again move for move from their starts and go on from there:
    the next shard holds them whole, the rows of their earlier moves as this segment made them.
    (The players of a carried game must be at the same indices in both segments.)

    `on_game(plies)` is called as each game ends.
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
    # Every game the segment may play, as its slots take them: the carried games (whose moves
    # are played again first), its own, then those it may start early for the next segment.
    entries = list(handed) + list(games) + list(early)
    if len(players) > 256:
        raise ValueError(f"a segment plays at most 256 players, not {len(players)}")
    if any(not 0 <= p < len(players) for _, w, b in entries for p in (w, b)):
        raise ValueError(f"a game names a player outside the {len(players)} given")
    required = len(handed) + len(games)  # the shard's games; the early ones come after them
    total = len(entries)
    game_ids = np.array([g for g, _, _ in entries], dtype=np.int64)
    white_of = np.array([w for _, w, _ in entries], dtype=np.int64)
    black_of = np.array([b for _, _, b in entries], dtype=np.int64)
    results = np.zeros(total, dtype=np.int8)
    endings = np.zeros(total, dtype=np.uint8)
    lengths = np.zeros(total, dtype=np.int32)
    chunks: list[dict[str, npt.NDArray[Any]]] = []
    if required == 0:
        return _assemble(chunks, game_ids, white_of, black_of, results, endings, lengths, 0, bool(early))

    if table.observation is None:
        raise ValueError("the game's observation layout is not set: give 'own' or 'history'")
    n = max(1, min(slots, required))
    if len(handed) > n:
        raise ValueError(f"{len(handed)} carried games do not fit in {n} slots")
    with part("engine"):
        batch = GameBatch(n, rules=table.rules, observation=table.observation, dtype="uint8",
                          max_plies=table.max_plies, seed=derive_seed(seed, "batch"), threads=1,
                          fens=table.start_fen)
    # The state of the segment's slots and games, which the core's round functions read and
    # update in place: the entry each slot plays (-1 when idle), the next entry to start, and
    # how each entry ended.
    to_move = batch.to_move.numpy()
    generator = torch.Generator().manual_seed(derive_seed(seed, "policy"))
    job = np.arange(n, dtype=np.int64)
    waiting = np.array([n], dtype=np.int64)
    schedule = (job, white_of.astype(np.uint8), black_of.astype(np.uint8), required, waiting, results, endings,
                lengths)
    rows = _Rows()
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

    def update_beliefs(stepped: npt.NDArray[np.int64]) -> None:
        # Both sides' beliefs follow every ply of their game.
        if beliefs:
            with part("beliefs"):
                for slot in stepped:
                    for white_side in (True, False):
                        held = beliefs.get((int(slot), white_side))
                        if held is not None:
                            held.update()

    def settled(words: tuple[bytearray, bytearray, bytearray]) -> None:
        """Follows up what the core's settle() did where a game ended: the games that ended,
        the slots that started a new game (the core restarted them, and ended those over at
        once too) and the slots left idle."""
        ended, started, idle = (np.frombuffer(w, dtype=np.int64) for w in words)
        if on_game is not None:
            for j in ended[ended < required]:
                on_game(int(lengths[j]))
        for slot in idle:
            beliefs.pop((int(slot), True), None)
            beliefs.pop((int(slot), False), None)
        if started.size:
            # A slot whose new game ended at once started again: its last game is the one to follow.
            follow(list(dict.fromkeys(started.tolist())))

    def play(live: npt.NDArray[np.int64], actions: npt.NDArray[np.int64], log_probs: npt.NDArray[np.float32],
             player: npt.NDArray[np.uint8], turn: Gathered, exact: Optional[npt.NDArray[np.int64]] = None) -> None:
        """Records the rows of the games in slots `live` before their move (their frames and
        masks as `turn` gathered them), plays `actions` (or the move codes `exact`, replaying
        carried games: then no game ends here) in them, notes each move the core played, and
        ends the games that are over."""
        held = rows.take(live.size)
        batch._core.record(live, actions, log_probs, player, turn.newest, turn.mask_bits, schedule, tuple(held[:-1]))
        # Beliefs follow the games' moves before the games that ended restart.
        at_once = exact is None and not beliefs
        with part("engine"):
            batch._core.play_turn(live, actions if exact is None else exact, exact is not None, held[-1])
            words = batch._core.settle(live, schedule) if at_once else None
        update_beliefs(live)
        if exact is None and not at_once:
            with part("engine"):
                words = batch._core.settle(live, schedule)
        if words is not None:
            settled(words)

    follow(range(n))
    with part("records"):
        if handed:
            _replay(batch, carried, len(handed), play)  # type: ignore[arg-type]
        # Games over before their first move (a start position without a move) end at once,
        # and so may the games that replace them; so do carried games that had ended.
        with part("engine"):
            words = batch._core.settle(np.arange(n, dtype=np.int64), schedule)
        if words is not None:
            settled(words)

    # The players in a fixed order: a round gives each of them, in turn, every game where it is
    # to move at that moment, and steps those games alone. A game against another player thus
    # waits for it within the round, and each player decides for as many games at once as it
    # can: after the learner has moved in all its games, every pool member finds all its own
    # games waiting, where stepping all games together would split every step between them.
    order_of_players = sorted(set(white_of.tolist()) | set(black_of.tolist()))
    # Networks of one shape that follow each other in that order and never meet decide together
    # in one pass (a pool's members, each in a few games a round). Each decides for games the
    # others do not play, so the round is the one they would play deciding one after the other,
    # but for a game that starts in a slot during their turn: a later member moves in it in
    # the next round rather than in this one.
    units = _stacked_units(order_of_players, players, entries, needs_random, needs_beliefs)
    # Everything a round does that no part within it names is the round's bookkeeping.
    with part("records"):
        while True:
            moved = False
            for unit, stacked in units:
                found = [batch._core.turn(p, schedule) for p in unit]
                # The segment is done once its own games are: early games left running are handed
                # on as they stand.
                if any(f is None for f in found):
                    break
                lives = [np.frombuffer(cast(bytearray, f), dtype=np.int64) for f in found]
                live = lives[0] if len(lives) == 1 else np.concatenate(lives)
                if not live.size:
                    continue
                moved = True
                if stacked is None:
                    p = unit[0]
                    actions, log_probs, turn = _decide(batch, players[p], live, to_move[live], n, needs_random[p],
                                                       beliefs if needs_beliefs[p] else None, generator)
                    mover = np.full(live.size, p, dtype=np.uint8)
                else:
                    counts = [len(lv) for lv in lives]
                    actions, log_probs, turn = _decide_stacked(batch, stacked, live, counts, generator)
                    mover = np.repeat(np.array(unit, dtype=np.uint8), counts)
                play(live, actions, log_probs, mover, turn)
            if not moved:
                break
    with part("records"):
        # Early games still running have the plies played so far.
        plies = batch.plies.numpy()
        for slot in np.flatnonzero(job >= required):
            lengths[job[slot]] = plies[slot]
        return _assemble(rows.chunks(), game_ids, white_of, black_of, results, endings, lengths, required,
                         bool(early), started=min(int(waiting[0]), total))


class _Rows:
    """The rows a segment records, in blocks of BLOCK rows (a turn's rows within one block):
    take(k) hands out the next k rows of every field (those the core writes, then "move")."""

    BLOCK = 4096
    FIELDS = (("job", np.int64, ()), ("ply", np.int32, ()), ("white", np.bool_, ()), ("action", np.int16, ()),
              ("logp", np.float32, ()), ("player", np.uint8, ()), ("frame", np.int64, (FRAME_CHANNELS,)),
              ("castling", np.uint8, ()), ("mask", np.uint8, (ROW_FIELDS["mask"][1][0],)), ("move", np.int16, ()))

    def __init__(self) -> None:
        self.blocks: list[tuple[list[npt.NDArray[Any]], int]] = []  # each block's fields and rows used
        self.fields: list[npt.NDArray[Any]] = []
        self.used = self.size = 0

    def take(self, k: int) -> list[npt.NDArray[Any]]:
        if self.used + k > self.size:
            self._close()
            self.size = max(self.BLOCK, k)
            self.fields = [np.empty((self.size, *shape), dtype) for _, dtype, shape in self.FIELDS]
            self.used = 0
        at, self.used = self.used, self.used + k
        return [field[at: self.used] for field in self.fields]

    def _close(self) -> None:
        if self.used:
            self.blocks.append((self.fields, self.used))
        self.fields, self.used, self.size = [], 0, 0

    def chunks(self) -> list[dict[str, npt.NDArray[Any]]]:
        """The rows recorded, a dict of fields per block."""
        self._close()
        return [{name: field[:used] for (name, _, _), field in zip(self.FIELDS, fields)} for fields, used in self.blocks]


def _whole_rows(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A C-contiguous array as one item a row (numpy copies a row of several items one item at
    a time when it scatters them, and a row of one item in one copy)."""
    if array.ndim == 1:
        return array
    return array.reshape(len(array), -1).view(np.dtype((np.void, array[0].nbytes))).reshape(-1)


def _fresh(shape: tuple[int, ...], dtype: Any) -> npt.NDArray[Any]:
    """np.empty(shape, dtype) in memory from torch's allocator. numpy asks the kernel for huge
    pages for an array of 4 MiB or more; where transparent huge pages are given on request, the
    kernel may first compact memory for them, in the caller's time: a train segment's 18 MiB of
    masks took 15-20 ms of system time a segment that way, against some 5 in small pages."""
    raw: npt.NDArray[Any] = torch.empty(int(np.prod(shape)) * np.dtype(dtype).itemsize, dtype=torch.uint8).numpy()
    array: npt.NDArray[Any] = raw.view(dtype).reshape(shape)
    return array


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


def _replay(batch: GameBatch, carried: Arrays, count: int, play: Callable[..., None]) -> None:
    """Plays the carried games' moves again in slots 0..count-1, ply by ply, recording their
    rows with the slots, log-probabilities and players they were played with."""
    plies = np.asarray(carried["carry_plies"], dtype=np.int64)
    starts = np.cumsum(plies) - plies
    codes = np.asarray(carried["carry_move"], dtype=np.int64)
    actions = np.asarray(carried["carry_action"], dtype=np.int64)
    log_probs = np.asarray(carried["carry_logp"], dtype=np.float32)
    players = np.asarray(carried["carry_player"], dtype=np.uint8)
    for ply in range(int(plies.max(initial=0))):
        live = np.flatnonzero(plies > ply)
        over = (batch.terminated | batch.truncated).numpy()[live]
        if over.any():
            raise ValueError(f"carried game {int(carried['carry_game'][live[over][0]])} ended before its "
                             f"move {ply}")
        at = starts[live] + ply
        play(live, actions[at], log_probs[at], players[at], batch.gather(live, observations=False), exact=codes[at])


# Whether networks of one shape decide together (see play_segment); off, each decides alone.
STACKING = True


def _stacked_units(order: list[int], players: Sequence[Player], entries: Sequence[tuple[int, int, int]],
                   needs_random: list[bool], needs_beliefs: list[bool]
                   ) -> list[tuple[list[int], Optional[StackedSquares]]]:
    """The players of `order` in the turns they take in a round: runs of network players that
    read square codes, share a network shape and never meet in `entries` take one turn together
    (with their networks stacked), every other player a turn of its own (None)."""
    met = {(w, b) for _, w, b in entries} | {(b, w) for _, w, b in entries}

    def shape(p: int) -> Any:
        player = players[p]
        if not STACKING or type(player) is not NetPlayer or not player.reads_codes or needs_random[p] \
                or needs_beliefs[p]:
            return None
        return stacking_shape(player.acting)

    runs: list[list[int]] = []
    for p in order:
        here = shape(p)
        if runs and here is not None and shape(runs[-1][0]) == here and not any((p, q) in met for q in runs[-1]):
            runs[-1].append(p)
        else:
            runs.append([p])
    return [(run, None if len(run) == 1 else
             StackedSquares([cast(SquareNet, cast(NetPlayer, players[p]).acting) for p in run])) for run in runs]


def _decide_stacked(batch: GameBatch, stacked: StackedSquares, live: npt.NDArray[np.int64], counts: list[int],
                    generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], Gathered]:
    """_decide() for the network players of `stacked`: the first counts[0] games of `live` are the
    first network's, and so on. The moves are drawn in that order from `generator`, as the
    players deciding one after the other would draw them."""
    count("positions", live.size)
    with part("observations"):
        turn = batch.gather(live, observations=False, codes=True)
    assert turn.codes is not None
    with part("sampling"):
        with part("forward"):
            count("forward rows", live.size)
            count("forward calls", 1)
            with torch.inference_mode():
                values = stacked.legal_logits_of_codes(turn.codes, counts, turn.rows, turn.slots)
        actions, log_probs = sample_entries(values, turn.rows, turn.slots, live.size, generator)
    return actions, log_probs, turn


def _decide(batch: GameBatch, player: Player, live: npt.NDArray[np.int64], white: npt.NDArray[np.bool_], n: int,
            needs_random: bool, beliefs: Optional[dict[tuple[int, bool], Belief]],
            generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], Gathered]:
    """`player`'s slots and their log-probabilities in the batch games `live` (where it is to
    move, White where `white`), and what was gathered of those games, which the record reuses."""
    count("positions", live.size)
    # A network player or a bot takes the legal entries the gather found, a network its square
    # codes where it reads them, a bot the newest frames; the others take the observations and
    # masks.
    kind = getattr(type(player), "act", None)
    on_entries = kind in (NetPlayer.act, GreedyPlayer.act) and not needs_random and beliefs is None
    on_boards = on_entries and kind is GreedyPlayer.act
    on_codes = on_entries and bool(getattr(player, "reads_codes", False))
    with part("observations"):
        turn = batch.gather(live, observations=not (on_codes or on_boards), codes=on_codes)
    masks = None
    if not on_entries:
        with part("observations"):
            masks = batch.legal_action_mask if live.size == n else torch.index_select(
                batch.legal_action_mask, 0, torch.from_numpy(live))
    drawn = None
    if needs_random:
        with part("engine"):
            drawn = torch.index_select(batch.random_actions(), 0, torch.from_numpy(live))
    extra = {} if beliefs is None else {"beliefs": [beliefs[(int(s), bool(w))] for s, w in zip(live, white)]}
    with part(getattr(player, "ledger_part", "bots")):
        if on_boards:
            assert isinstance(player, GreedyPlayer)
            boards = np.ascontiguousarray(turn.newest[:, :FRAME_CHANNELS]).view(np.uint64)
            actions, log_probs = player.act_on_entries(boards, turn.rows.numpy(), turn.slots.numpy(), generator)
        elif masks is None:
            assert isinstance(player, NetPlayer)
            if turn.codes is not None:
                actions, log_probs = player.act_on_codes(turn.codes, turn.rows, turn.slots, generator)
            else:
                assert turn.observations is not None
                actions, log_probs = player.act_on_entries(turn.observations, turn.rows, turn.slots, generator)
        else:
            assert turn.observations is not None
            actions, log_probs = player.act(turn.observations, masks, generator, drawn, **extra)
    return np.asarray(actions, dtype=np.int64), np.asarray(log_probs, dtype=np.float32), turn


def _assemble(chunks: list[dict[str, npt.NDArray[Any]]], game_ids: npt.NDArray[np.int64],
              white_of: npt.NDArray[np.int64], black_of: npt.NDArray[np.int64],
              results: npt.NDArray[np.int8], endings: npt.NDArray[np.uint8],
              lengths: npt.NDArray[np.int32], required: int, carries: bool, started: int = 0) -> Arrays:
    """The shard: the rows of entries 0..required-1 in game then ply order (a game's rows start
    where those of the games before it end), written from the chunks' rows in one copy per
    field. With `carries`, the early entries required..started-1 go under CARRY_KEYS."""
    # The shard's games in game order: carried games come first among the entries.
    shard_order = np.argsort(game_ids[:required], kind="stable")
    sorted_lengths = lengths[:required][shard_order]
    starts = np.zeros(len(game_ids), dtype=np.int64)
    starts[shard_order] = np.cumsum(sorted_lengths, dtype=np.int64) - sorted_lengths
    # The early games after them, in entry order (which is game order).
    early_lengths = lengths[required:started].astype(np.int64)
    starts[required:started] = np.cumsum(early_lengths) - early_lengths
    total = int(sorted_lengths.sum())
    early_rows = int(early_lengths.sum())
    # Where each recorded row goes: the shard's rows by game then ply, the early games' rows
    # after theirs. Each field is written there straight from the blocks the rows were recorded
    # in, one copy per field.
    jobs = np.concatenate([chunk["job"] for chunk in chunks]) if chunks else np.zeros(0, np.int64)
    plies = np.concatenate([chunk["ply"] for chunk in chunks]) if chunks else np.zeros(0, np.int32)
    at = starts[jobs] + plies
    own = jobs < required
    # Each of the shard's rows (and of the early games') recorded exactly once.
    if (int(own.sum()) != total or len(own) - int(own.sum()) != early_rows
            or not np.array_equal(np.bincount(at[own], minlength=total), np.ones(total, np.int64))
            or not np.array_equal(np.bincount(at[~own], minlength=early_rows), np.ones(early_rows, np.int64))):
        raise RuntimeError(f"a segment recorded {int(own.sum())} rows for games of {total} plies")
    shard = {key: _fresh((total, *shape), dtype) for key, (dtype, shape) in ROW_FIELDS.items()}
    handed: Arrays = {key: np.empty(early_rows, dtype) for key, dtype in (
        ("carry_move", np.int16), ("carry_action", np.int16), ("carry_logp", np.float32), ("carry_player", np.uint8))}
    recorded = [key for key in ROW_FIELDS if key not in ("game", "value")]
    begin = 0
    for chunk in chunks:
        end = begin + len(chunk["job"])
        mine, where = own[begin:end], at[begin:end]
        whole = bool(mine.all())
        for key in recorded:
            into, rows = _whole_rows(shard[key]), _whole_rows(chunk[key])
            into[where if whole else where[mine]] = rows if whole else rows[mine]
        if not whole:
            for key in handed:
                handed[key][where[~mine]] = chunk[key.removeprefix("carry_")][~mine]
        begin = end
    owner = np.empty(total, dtype=np.int64)
    owner[at[own]] = jobs[own]
    white_result = results[owner]
    shard["game"] = game_ids[owner]
    shard["value"] = np.where(shard["white"], white_result, -white_result).astype(np.int8)
    shard.update({
        "game_index": game_ids[:required][shard_order],
        "game_plies": sorted_lengths,
        "game_result": results[:required][shard_order],
        "game_ending": endings[:required][shard_order],
        "game_white": white_of[:required][shard_order].astype(np.uint8),
        "game_black": black_of[:required][shard_order].astype(np.uint8),
    })
    if carries:
        shard.update({
            "carry_game": game_ids[required:started].copy(),
            "carry_white": white_of[required:started].copy(),
            "carry_black": black_of[required:started].copy(),
            "carry_plies": lengths[required:started].astype(np.int32),
            **handed,
        })
    return shard
