"""Beliefs: the positions one side of a dark-rules game cannot rule out.

The oracle is a brute-force enumeration written here on top of the pure-Python model of the
rules (support/oracle.py): it keeps every position the side's observations allow, expanding the
other side's moves one by one, and shares no code with the extension. What the side observes is
modelled here from the rules as well: after every ply the squares it sees and what stands on
them, on its own turn its full list of moves, and whether the game goes on.
"""

import math
import os
import random

import chess
import numpy as np
import pytest
import torch

from support import oracle
from support.leaks import assert_flat
from support.oracle import BISHOP, KING, KNIGHT, PAWN, QUEEN, ROOK, WHITE, bit, squares_of
from quellor_selfplay import GameBatch, codes
from quellor_selfplay.batch import ENDINGS
from quellor_selfplay.belief import BYTES_PER_POSITION, Belief
from quellor_selfplay.bots import GreedyPlayer

START = oracle.START_FEN
# Few pieces, so that six plies of enumeration stay small: castling both ways with an
# en-passant capture open at once, and pawns a step from promoting on both sides.
SMALL = [
    "r3k2r/pp3ppp/8/2pP4/8/8/PP3PPP/R3K2R w KQkq c6 0 1",
    "4k3/1P4p1/8/8/8/8/1p4P1/4K3 w - - 0 1",
    "r3k3/2p5/8/1P6/8/8/6p1/R3K2R b KQq - 0 1",
]


# -- the oracle ---------------------------------------------------------------------------------


def position(fen):
    """The model's position of FEN text, without the sanity checks that fog-of-war positions
    (a king left en prise) fail; en passant kept only while the side to move can take."""
    placement, turn, castling, ep = fen.split()[:4]
    pos = oracle.Position()
    board = chess.BaseBoard(placement)
    for square, piece in board.piece_map().items():
        pos.put(piece.piece_type - 1, WHITE if piece.color else 1 - WHITE, square)
    pos.turn = WHITE if turn == "w" else 1 - WHITE
    pos.rights = [(1 if "K" in castling else 0) | (2 if "Q" in castling else 0),
                  (1 if "k" in castling else 0) | (2 if "q" in castling else 0)]
    if ep != "-":
        passed = chess.parse_square(ep)
        pawn = passed - 8 if pos.turn == WHITE else passed + 8
        pos.ep = pawn
        if not oracle.ep_capturers(pos):
            pos.ep = None
    return pos


def key(pos):
    """Placement, side to move, castling rights and en-passant square, as FEN writes them."""
    board = chess.BaseBoard.empty()
    for square in squares_of(pos.occupied):
        board.set_piece_at(square, chess.Piece(pos.kind_at(square) + 1, pos.colour_at(square) == WHITE))
    rights = "".join(letter for colour, right, letter in
                     ((0, 1, "K"), (0, 2, "Q"), (1, 1, "k"), (1, 2, "q")) if pos.rights[colour] & right)
    ep = "-" if pos.ep is None else chess.square_name(oracle.ep_destination(pos))
    return (board.board_fen(), "w" if pos.turn == WHITE else "b", rights or "-", ep)


def fen_key(fen):
    return tuple(fen.split()[:4])


def dark_moves(pos):
    """{(from, to, promotion)}: every move of the dark rules for the side to move."""
    us = pos.turn
    k = pos.king(us)
    if k is None:
        return set()
    moves = set()
    for s in squares_of(pos.colours[us]):
        kind = pos.kind_at(s)
        for d in squares_of(oracle.pseudo_destinations(pos, s, kind)):
            if kind == PAWN and d // 8 in (0, 7):
                moves.update((s, d, p) for p in (QUEEN, ROOK, BISHOP, KNIGHT))
            else:
                moves.add((s, d, None))
    if pos.ep is not None:
        moves.update((s, oracle.ep_destination(pos), None) for s in oracle.ep_capturers(pos))
    # Castling through or out of check is allowed; the squares between king and rook must be empty.
    back = 0 if us == WHITE else 56
    if pos.rights[us] & 1 and not pos.occupied & (bit(back + 5) | bit(back + 6)):
        moves.add((k, back + 6, None))
    if pos.rights[us] & 2 and not pos.occupied & (bit(back + 1) | bit(back + 2) | bit(back + 3)):
        moves.add((k, back + 2, None))
    return moves


def observation(pos, side, own_turn_moves):
    """What `side` observes of `pos`: the squares it sees with their occupants, and on its turn
    its moves."""
    looking = pos.copy()
    looking.turn = side
    seen = oracle.visible(looking)
    pieces = tuple((s, pos.kind_at(s), pos.colour_at(s)) for s in squares_of(seen))
    moves = frozenset(dark_moves(pos)) if own_turn_moves and pos.turn == side else None
    return seen, pieces, moves


def goes_on(pos, ending):
    """Whether `pos` agrees with what the game's ending (or its going on) says of the side to
    move's moves."""
    if ending == ENDINGS.index("king captured"):
        return True
    has_moves = bool(dark_moves(pos))
    return not has_moves if ending == ENDINGS.index("stalemate") else has_moves


class Enumeration:
    """The belief by brute force: a dict of key -> position."""

    def __init__(self, fen, side):
        self.side = side
        start = position(fen)
        self.members = {key(start): start}

    def own_move(self, move, seen, ending):
        nxt = {}
        for pos in self.members.values():
            if move not in dark_moves(pos):
                continue
            child = oracle.play(pos, *move)
            if observation(child, self.side, False) == seen and goes_on(child, ending):
                nxt[key(child)] = child
        self.members = nxt

    def other_move(self, seen):
        nxt = {}
        for pos in self.members.values():
            for move in dark_moves(pos):
                child = oracle.play(pos, *move)
                if observation(child, self.side, True) == seen:
                    nxt[key(child)] = child
        self.members = nxt


def as_move(code):
    move = chess.Move.from_uci(code.uci()) if hasattr(code, "uci") else code
    promotion = None if move.promotion is None else move.promotion - 1
    return move.from_square, move.to_square, promotion


# -- the brute-force comparison -------------------------------------------------------------------

BRUTE_CASES = [(START, seed) for seed in range(3)] + [(fen, seed) for fen in SMALL for seed in range(2)]


@pytest.mark.parametrize("start,seed", BRUTE_CASES)
def test_belief_equals_brute_force_enumeration(start, seed):
    rng = random.Random(seed)
    batch = GameBatch(1, rules="dark", fens=start, threads=1)
    beliefs = {side: Belief(batch, 0, side, seed=seed) for side in (True, False)}
    oracles = {side: Enumeration(start, WHITE if side else 1 - WHITE) for side in (True, False)}
    for ply in range(6):
        if batch.terminated[0]:
            break
        moves = batch.legal_moves(0)
        truth = position(batch.fen(0))
        # The oracle's own move list must be the game's, or nothing below means anything.
        assert {as_move(m) for m in moves} == dark_moves(truth)
        move = moves[rng.randrange(len(moves))]
        mover = bool(batch.to_move[0])
        batch.step_moves(np.array([move.from_square * 64 + move.to_square
                                   + 4096 * (0 if move.promotion is None else 6 - move.promotion)]))
        after = position(batch.fen(0))
        for side, enumeration in oracles.items():
            if side == mover:
                enumeration.own_move(as_move(move), observation(after, enumeration.side, False),
                                     int(batch.ending[0]))
            else:
                enumeration.other_move(observation(after, enumeration.side, True))
            belief = beliefs[side]
            assert belief.update() is True
            found = sorted(fen_key(f) for f in belief.positions())
            assert len(found) == belief.size == len(set(found))
            assert found == sorted(enumeration.members), f"ply {ply + 1}, side {belief.side}"
            assert belief.exact and key(after) in enumeration.members
            oracle.count("belief/brute-force positions compared", len(found))


# -- the true position at every ply --------------------------------------------------------------

# QUELLOR_BELIEF_GAMES and QUELLOR_BELIEF_GREEDY_GAMES set the numbers of random and greedy
# games (make test-long follows more, and longer).
MEMBERSHIP_GAMES = int(os.environ.get("QUELLOR_BELIEF_GAMES", "200"))
GREEDY_GAMES = int(os.environ.get("QUELLOR_BELIEF_GREEDY_GAMES", "40"))
MEMBERSHIP_PLIES = int(os.environ.get("QUELLOR_BELIEF_PLIES", "12"))
CHUNK = 100


def greedy_actions(batch, player):
    """The greedy bot's slot in every game that goes on (0 in the others, which step ignores)."""
    live = ~(batch.terminated | batch.truncated)
    actions = torch.zeros(len(batch), dtype=torch.int64)
    index = live.nonzero().flatten()
    if len(index):
        slots, _ = player.act(batch.observation[index], batch.legal_action_mask[index], torch.Generator(), None)
        actions[index] = torch.from_numpy(slots)
    return actions


@pytest.mark.parametrize("policy, chunk", [("random", c) for c in range((MEMBERSHIP_GAMES + CHUNK - 1) // CHUNK)]
                         + [("greedy", c) for c in range((GREEDY_GAMES + CHUNK - 1) // CHUNK)])
def test_true_position_is_held_at_every_ply(policy, chunk):
    """The greedy bot's games go where random play rarely does (captures, a king hunted)."""
    total = MEMBERSHIP_GAMES if policy == "random" else GREEDY_GAMES
    n = min(CHUNK, total - chunk * CHUNK)
    starts = [[START, *SMALL][i % 4] for i in range(n)]
    batch = GameBatch(n, rules="dark", fens=starts, seed=700 + chunk, threads=1)
    beliefs = [Belief(batch, i, side, cap=4_000, seed=i) for i in range(n) for side in ("white", "black")]
    bot = GreedyPlayer()
    checked = updates = 0
    for _ in range(MEMBERSHIP_PLIES):
        if bool(batch.terminated.all()):
            break
        batch.step(batch.random_actions() if policy == "random" else greedy_actions(batch, bot))
        for belief in beliefs:
            if belief.ply == int(batch.plies[belief.game]):
                continue
            assert belief.update()
            updates += 1
            if belief.exact:
                assert belief.contains(batch.fen(belief.game)), belief
                checked += 1
            else:
                oracle.count("belief/plies past the cap (4,000)", 1)
    # Most (game, side, ply) triples are exact below the cap: the check is not vacuous. (The
    # greedy bot's games often end within a few plies, so the count is of the plies played.)
    assert updates >= n and checked >= updates // 2
    oracle.count(f"belief/true positions found ({policy})", checked)


# -- sampled members replayed ---------------------------------------------------------------------

# QUELLOR_BELIEF_REPLAY_GAMES sets the games per policy whose samples are replayed.
REPLAY_GAMES = int(os.environ.get("QUELLOR_BELIEF_REPLAY_GAMES", "3"))


def squares_text(fen):
    """The placement as 64 characters by square (a1 = 0), "." for empty: positions one move
    apart differ in at most four of them."""
    rows = []
    for row in fen.split()[0].split("/"):
        rows.append("".join("." * int(c) if c.isdigit() else c for c in row))
    return "".join(reversed(rows))


def parent_of(child_fen, snapshot, own_move):
    """A position of `snapshot` (a ply's FENs) and the move that leads from it to `child_fen`
    under the model's rules: the side's own move when it was the side's ply, any move of the
    other side's otherwise. None when there is none."""
    target = squares_text(child_fen)
    wanted = fen_key(child_fen)
    for fen in snapshot:
        text = squares_text(fen)
        if sum(a != b for a, b in zip(text, target)) > 4:
            continue
        pos = position(fen)
        for move in ([own_move] if own_move is not None else dark_moves(pos)):
            if move in dark_moves(pos) and key(oracle.play(pos, *move)) == wanted:
                return fen, move
    return None


@pytest.mark.parametrize("policy,side", [("random", "white"), ("random", "black"), ("greedy", "white"),
                                         ("greedy", "black")])
def test_sampled_members_replay_to_the_sides_views(policy, side):
    """Positions drawn from a belief carry no history: each is traced back ply by ply through the
    earlier sets to the start, and the path is replayed in the pure-Python model, which must
    show the side, at every ply, exactly what the game showed it."""
    me = WHITE if side == "white" else 1 - WHITE
    bot = GreedyPlayer()
    traced = plies = games = 0
    for g in range(4 * REPLAY_GAMES):
        if games == REPLAY_GAMES:
            break
        batch = GameBatch(1, rules="dark", seed=900 + g, threads=1)
        belief = Belief(batch, 0, side, cap=600, seed=g)
        snapshots, seen, endings, moves = [belief.positions()], [], [], []
        for _ in range(18):
            if batch.terminated[0]:
                break
            mover = bool(batch.to_move[0]) == (side == "white")
            batch.step(batch.random_actions() if policy == "random" else greedy_actions(batch, bot))
            code = int(batch.last_move[0])
            moves.append(as_move(codes.code_move(code)) if mover else None)
            truth = position(batch.fen(0))
            seen.append(observation(truth, me, not mover))
            endings.append(int(batch.ending[0]))
            belief.update()
            snapshots.append(belief.positions())
        # A capped set can lose every position it kept (the true one was cut early): no path.
        games += belief.size > 0
        for fen in belief.sample(min(4, belief.size), seed=g):
            path = [fen]
            for ply in range(len(moves), 0, -1):
                found = parent_of(path[0], snapshots[ply - 1], moves[ply - 1])
                assert found is not None, (ply, path[0])
                path.insert(0, found[0])
            assert fen_key(path[0]) == fen_key(START)
            # The replay: from the start, each step a move of the model's rules, each position
            # looking to the side as the game looked.
            pos = position(path[0])
            for ply in range(len(moves)):
                options = [m for m in dark_moves(pos) if key(oracle.play(pos, *m)) == fen_key(path[ply + 1])]
                assert options and (moves[ply] is None or moves[ply] in options)
                pos = oracle.play(pos, *(moves[ply] or options[0]))
                assert observation(pos, me, moves[ply] is None) == seen[ply], (ply, fen)
                assert moves[ply] is None or goes_on(pos, endings[ply])
            traced += 1
            plies += len(moves)
    # Greedy games can end within a few plies, with a belief of one position.
    assert games == REPLAY_GAMES and traced >= REPLAY_GAMES and plies >= 4 * REPLAY_GAMES
    oracle.count(f"belief/sampled members replayed ({policy})", traced)


# -- cap and seed ---------------------------------------------------------------------------------


def follow(codes, side, cap, seed, start=START):
    batch = GameBatch(1, rules="dark", fens=start, threads=1)
    belief = Belief(batch, 0, side, cap=cap, seed=seed)
    sizes = []
    for code in codes:
        batch.step_moves(np.array([code]))
        belief.update()
        sizes.append(belief.size)
    return batch, belief, sizes


def random_codes(seed, plies, start=START):
    rng = random.Random(seed)
    batch = GameBatch(1, rules="dark", fens=start, threads=1)
    codes = []
    for _ in range(plies):
        if batch.terminated[0]:
            break
        codes.append(rng.choice(batch.legal_move_codes(0)))
        batch.step_moves(np.array(codes[-1:]))
    return codes


# A cap a third of the largest set, and one so small that an update cuts its set while
# gathering it, many times over.
@pytest.mark.parametrize("fraction", [3, 40])
def test_cap_keeps_a_seeded_subset_of_the_exact_set(fraction):
    for seed in range(20):
        codes = random_codes(seed, 8)
        _, whole, sizes = follow(codes, "black", 10**6, 0)
        if max(sizes) > 300:
            break
    assert whole.exact and max(sizes) > 300
    cap = max(sizes) // fraction
    _, a, capped = follow(codes, "black", cap, 11)
    _, b, _ = follow(codes, "black", cap, 11)
    _, c, _ = follow(codes, "black", cap, 12)
    assert not a.exact and max(capped) <= cap
    assert a.positions() == b.positions() and a.sample(20, 3) == b.sample(20, 3)
    assert set(a.positions()) != set(c.positions())
    # Every position kept was consistent: the capped set only ever loses positions.
    assert set(a.positions()) <= set(whole.positions())
    # Exact up to the first ply past the cap, and not after.
    first = next(i for i, s in enumerate(sizes) if s > cap)
    assert capped[:first] == sizes[:first]


def test_capped_sets_and_samples_are_uniform():
    # After 1. e4 Nf6, White cannot tell Black's reply from a dozen others: none of them is
    # favoured by a cut to five or by a sample of five, over 400 seeds (each count stays within
    # five standard deviations of its expectation).
    codes = [chess.E2 * 64 + chess.E4, chess.G8 * 64 + chess.F6]
    _, whole, _ = follow(codes, "white", 100, 0)
    assert whole.size >= 10 and whole.exact
    p = 5 / whole.size
    expected, spread = 400 * p, 5 * math.sqrt(400 * p * (1 - p))
    kept = {fen: 0 for fen in whole.positions()}
    drawn = dict(kept)
    for seed in range(400):
        _, capped, _ = follow(codes, "white", 5, seed)
        assert not capped.exact
        for fen in capped.positions():
            kept[fen] += 1
        for fen in whole.sample(5, seed):
            drawn[fen] += 1
    assert all(abs(count - expected) < spread for count in kept.values()), kept
    assert all(abs(count - expected) < spread for count in drawn.values()), drawn


def test_samples_are_distinct_members_and_seeded():
    codes = random_codes(5, 7)
    _, belief, _ = follow(codes, "white", 10**6, 0)
    members = set(belief.positions())
    k = min(50, belief.size)
    drawn = belief.sample(k, 9)
    assert len(set(drawn)) == k and set(drawn) <= members
    assert drawn == belief.sample(k, 9) and set(belief.sample(belief.size, 1)) == members
    for fen in drawn:
        assert belief.contains(fen) and fen in belief
    assert BYTES_PER_POSITION <= 80


@pytest.mark.parametrize("seed,side,cap", [(2, "white", 10**6), (5, "black", 10**6), (3, "black", 30)])
def test_occupancy_counts_the_other_sides_pieces_of_the_members(seed, side, cap):
    _, belief, _ = follow(random_codes(seed, 9), side, cap, 0)
    expected = np.zeros((6, 64), dtype=np.int64)
    other = chess.BLACK if side == "white" else chess.WHITE
    for fen in belief.positions():
        for square, piece in chess.Board(fen).piece_map().items():
            if piece.color == other:
                expected[piece.piece_type - 1, square] += 1
    assert belief.size > 3
    assert (belief.occupancy() == expected).all()


def test_sampled_positions_start_batches_that_round_trip():
    # Castling rights and en passant survive the trip through FEN into a new GameBatch, and
    # start() takes the positions only fog-of-war play reaches, which the FEN reader refuses.
    refused = 0
    for start, seed, side, plies in [(SMALL[0], 2, "black", 7), (START, 3, "white", 9), (START, 8, "white", 9)]:
        codes = random_codes(seed, plies, start)
        _, belief, _ = follow(codes, side, 10**6, 0, start)
        fens = belief.positions()
        readable = [f for f in fens if GameBatch_accepts(f)]
        refused += len(fens) - len(readable)
        read = GameBatch(len(readable), rules="dark", fens=readable, threads=1)
        assert [fen_key(read.fen(i)) for i in range(len(readable))] == [fen_key(f) for f in readable]
        k = min(belief.size, 40)
        games = belief.start(k, 5, max_plies=3, threads=2)
        # The new games count their moves from 1: the positions are compared, not the clocks.
        assert [fen_key(games.fen(i)) for i in range(k)] == [fen_key(f) for f in belief.sample(k, 5)]
        assert games.rules == "dark" and not bool(games.terminated.any())
        games.step(games.random_actions())
    assert refused > 0


def GameBatch_accepts(fen):
    try:
        GameBatch(1, rules="dark", fens=fen, threads=1)
    except ValueError:
        return False
    return True


# -- the fog invariant ----------------------------------------------------------------------------


def views(codes, side, start=START):
    """The side's observations along a game, or None when a move cannot be played."""
    batch = GameBatch(1, rules="dark", fens=start, threads=1)
    seen = []
    for code in codes:
        if batch.terminated[0] or code not in batch.legal_move_codes(0):
            return None
        mover = bool(batch.to_move[0])
        batch.step_moves(np.array([code]))
        pos = position(batch.fen(0))
        seen.append((observation(pos, side, mover != (side == WHITE)), int(batch.ending[0])))
    return seen


def twins(seed, plies, side):
    """Two games from the start whose other-side moves differ and look the same to `side`."""
    codes = random_codes(seed, plies)
    mine = views(codes, side)
    other_plies = [j for j in range(len(codes)) if (j % 2 == 0) != (side == WHITE)]
    for j in other_plies:
        batch = GameBatch(1, rules="dark", threads=1)
        for code in codes[:j]:
            batch.step_moves(np.array([code]))
        for alternative in batch.legal_move_codes(0):
            changed = codes[:j] + [alternative] + codes[j + 1:]
            if alternative != codes[j] and views(changed, side) == mine:
                return codes, changed
    return None


@pytest.mark.parametrize("side,cap", [("white", 10**6), ("black", 10**6), ("white", 40), ("black", 40)])
def test_fog_invariant_same_views_same_belief(side, cap):
    found = 0
    for seed in range(40):
        pair = twins(seed, 8, WHITE if side == "white" else 1 - WHITE)
        if pair is None:
            continue
        a_batch, a, _ = follow(pair[0], side, cap, 5)
        b_batch, b, _ = follow(pair[1], side, cap, 5)
        assert a_batch.fen(0) != b_batch.fen(0)
        assert a.positions() == b.positions() and a.exact == b.exact
        assert a.sample(min(5, a.size), 1) == b.sample(min(5, b.size), 1)
        found += 1
        if found == 3:
            break
    assert found == 3


# -- refusals -------------------------------------------------------------------------------------


def test_refusals():
    dark = GameBatch(2, rules="dark", threads=1)
    legal = GameBatch(1, rules="legal", threads=1)
    cases = [
        (lambda: Belief(legal, 0, "white"), ValueError,
         "a belief follows a game played under the dark rules, not 'legal'"),
        (lambda: Belief(dark, 0, "red"), ValueError, "unknown side 'red' (expected 'white' or 'black')"),
        (lambda: Belief(dark, 0, 1), TypeError, "side must be 'white', 'black' or a bool, not int"),
        (lambda: Belief(dark, 2, "white"), IndexError, "game index 2 out of range for 2 games"),
        (lambda: Belief("batch", 0, "white"), TypeError, "batch must be a GameBatch, not str"),
        (lambda: Belief(dark, 0, "white", cap=0), ValueError, "cap must be in 1..4294967294, got 0"),
        (lambda: Belief(dark, 0, "white", seed=-1), ValueError, "seed must be in 0..2**64-1, got -1"),
        (lambda: Belief(dark, 0, "white").sample(21, 0), ValueError,
         "cannot sample 21 positions from a belief of 1"),
        (lambda: Belief(dark, 0, "white").contains("not a fen"), ValueError, "Invalid FEN string"),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == message


def test_refusals_of_games_out_of_step():
    def refused(call, message):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message

    batch = GameBatch(1, rules="dark", threads=1)
    skipped = Belief(batch, 0, "white")
    assert skipped.update() is False
    for _ in range(2):
        batch.step(batch.random_actions())
    refused(skipped.update, "game 0 is at ply 2, the belief at ply 0: update() must follow every ply")
    refused(lambda: Belief(batch, 0, "black"), "game 0 has played 2 plies: a belief follows its game from the start")
    # A refused update leaves the belief as it was.
    assert (skipped.ply, skipped.size) == (0, 1)

    ended = GameBatch(1, rules="dark", max_plies=1, threads=1)
    ended.step(ended.random_actions())
    refused(lambda: Belief(ended, 0, "white"), "game 0 is over: there is nothing to follow")

    pair = GameBatch(2, rules="dark", threads=1)
    late = Belief(pair, 0, "white")
    pair.step(pair.random_actions())
    pair.step(pair.random_actions(), games=np.array([False, True]))
    refused(late.update,
            "game 0 no longer shows its last move: a step left it out since; update() must follow every step")

    restarted = GameBatch(1, rules="dark", threads=1)
    behind = Belief(restarted, 0, "black")
    restarted.step(restarted.random_actions())
    assert behind.update()
    restarted.reset()
    refused(behind.update, "game 0 is at ply 0, behind the belief's ply 1: it was restarted")
    assert (behind.ply, behind.size) == (1, 20)


# -- no leaks -------------------------------------------------------------------------------------


def churn(rounds):
    for r in range(rounds):
        batch = GameBatch(1, rules="dark", seed=r, threads=1)
        beliefs = [Belief(batch, 0, side, cap=300, seed=r) for side in ("white", "black")]
        for _ in range(6):
            batch.step(batch.random_actions())
            for belief in beliefs:
                belief.update()
        for belief in beliefs:
            belief.sample(min(3, belief.size), r)
            belief.contains(batch.fen(0))
            games = belief.start(1, r, threads=1, repeat=3)
            games.step(games.random_actions())
            belief.occupancy()
            with pytest.raises(ValueError):
                belief.sample(belief.size + 1, 0)
            with pytest.raises(ValueError):
                belief.start(1, r, repeat=0)
            with pytest.raises(ValueError):
                belief.contains("8/8 w")
        batch.step(batch.random_actions())
        batch.step(batch.random_actions())
        with pytest.raises(ValueError):
            beliefs[0].update()


def test_beliefs_leave_memory_flat():
    assert_flat(churn, 30, 300)
