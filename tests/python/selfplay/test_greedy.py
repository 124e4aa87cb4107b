"""The greedy bot and its bold variant: their one-ply reckoning against python-chess, greedy's
choices in telling positions with either colour, blindness to what the mover never saw, and
their strength against random play."""

import math
import os

import chess
import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from support import oracle
from support.fog import STARTS, unseen_change
from support.positions import action_slot, visible_squares
from quellor_selfplay import GameBatch, _batch
from quellor_selfplay.bots import BONUS_LIMIT, KING_CAPTURE, KING_LOSS, GreedyPlayer, score_moves
from quellor_selfplay.codes import FRAME_CHANNELS, code_move, move_code
from quellor_selfplay.config import GameConfig
from quellor_selfplay.match import play_match
from quellor_selfplay.players import PlayerConfig, load_player

VALUE = {chess.PAWN: 1, chess.KNIGHT: 3, chess.BISHOP: 3, chess.ROOK: 5, chess.QUEEN: 9, chess.KING: math.inf}


# -- The one-ply reckoning against a reference written with python-chess ------------------------

def reckoning(view, hidden, move, us, bold=False):
    """(gain, loss) of `move` on the mover's `view` (a board of the seen pieces only), or None
    when it takes the king; loss is inf when it leaves the king attacked. `bold` counts the
    moved piece alone (and the king)."""
    after = view.copy()
    piece = after.remove_piece_at(move.from_square)
    taken = after.remove_piece_at(move.to_square)
    if taken is not None and taken.piece_type == chess.KING:
        return None
    gain = 0 if taken is None else VALUE[taken.piece_type]
    kinds = set()
    if piece.piece_type == chess.PAWN and taken is None and \
            chess.square_file(move.from_square) != chess.square_file(move.to_square):
        after.remove_piece_at(move.to_square + (-8 if us == chess.WHITE else 8))
        gain += 1
        kinds.add("en passant")
    if move.promotion is not None:
        piece = chess.Piece(move.promotion, us)
        gain += VALUE[move.promotion] - 1
        kinds.add("promotion")
    after.set_piece_at(move.to_square, piece)
    if piece.piece_type == chess.KING and abs(move.to_square - move.from_square) == 2:
        rank = chess.square_rank(move.from_square)
        rook_from, rook_to = (7, 5) if move.to_square > move.from_square else (0, 3)
        after.set_piece_at(chess.square(rook_to, rank), after.remove_piece_at(chess.square(rook_from, rank)))
        kinds.add("castling")
    # Our own lines stop at hidden squares: stand an enemy pawn on each.
    walled = after.copy()
    for square in hidden:
        walled.set_piece_at(square, chess.Piece(chess.PAWN, not us))
    loss = 0
    for square in after.pieces(chess.KING, us):
        if after.attackers(not us, square):
            return gain, math.inf, kinds | {"king left attacked"}
    for square, mine in after.piece_map().items():
        attackers = after.attackers(not us, square)
        if mine.color != us or mine.piece_type == chess.KING or not attackers:
            continue
        if bold and square != move.to_square:
            continue
        if walled.attackers(us, square):
            cheapest = min(VALUE[after.piece_type_at(a)] for a in attackers)
            loss = max(loss, max(0, VALUE[mine.piece_type] - cheapest))
            kinds.add("exchange")
        else:
            loss = max(loss, VALUE[mine.piece_type])
            kinds.add("hanging")
    return gain, loss, kinds


REFERENCE_STARTS = [
    chess.STARTING_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "n1n4k/1P1P4/8/8/8/8/1p1p4/N1N4K b - - 0 1",
]


@pytest.mark.parametrize("start", REFERENCE_STARTS)
def test_gain_and_loss_of_every_move_are_the_references(start):
    """Along random dark games, every legal slot's material won and left hanging is what the
    python-chess reference reckons for the move the slot plays (a promotion slot: the first of
    its moves by square), from the seen pieces only."""
    met = set()
    for seed in range(3):
        batch = GameBatch(1, rules="dark", fens=start, seed=seed, threads=1)
        for _ in range(40):
            if batch.terminated[0] or not bool(batch.legal_action_mask[0].any()):
                break
            board = chess.Board(batch.fen(0))
            us, seen = board.turn, visible_squares(board)
            view = chess.Board(None)
            for square in seen:
                view.set_piece_at(square, board.piece_at(square))
            hidden = [square for square in chess.SQUARES if square not in seen]
            for bold in (False, True):
                expected = {}
                for move in batch.legal_moves(0):
                    expected.setdefault(action_slot(move.uci(), us == chess.WHITE),
                                        reckoning(view, hidden, move, us, bold))
                scores = score_moves(batch.observation, batch.legal_action_mask, bold)
                assert sorted(scores.slots.tolist()) == sorted(expected)
                for slot, gain, loss, total in zip(scores.slots, scores.gain, scores.loss, scores.total):
                    want = expected[int(slot)]
                    if want is None:
                        assert total == KING_CAPTURE
                        met.add("king taken")
                        continue
                    assert gain == want[0], (batch.fen(0), int(slot), bold)
                    assert loss == (KING_LOSS if want[1] == math.inf else want[1]), (batch.fen(0), int(slot), bold)
                    assert total < KING_CAPTURE
                    met |= want[2]
                    if bold and want[1] == 0 and guarded[int(slot)][1] > 0:
                        met.add("bold spared")  # greedy would guard a piece the move leaves
                guarded = expected
                oracle.count("selfplay/greedy reckonings checked", len(expected))
            batch.step(batch.random_actions())
    # Each start is there for a rule the reckoning must get right.
    needed = {chess.STARTING_FEN: {"hanging", "exchange"}, REFERENCE_STARTS[1]: {"castling", "king left attacked"},
              REFERENCE_STARTS[2]: {"promotion"}, REFERENCE_STARTS[3]: {"en passant"},
              REFERENCE_STARTS[4]: {"promotion"}}
    # Somewhere a piece left hanging elsewhere is bold's to ignore.
    assert start != chess.STARTING_FEN or "bold spared" in met
    assert needed[start] <= met


# -- Choices in telling positions ---------------------------------------------------------------

# White to move after the moves given (a start position may not leave a king to take); each
# runs mirrored with Black to move too, and with several seeds.
CHOICES = [
    # Takes the king the rook sees rather than the queen the knight could take.
    ("1k6/8/8/7q/5N2/8/8/R3K3 b - - 0 1", ["b8a8"], {"a1a8"}),
    # Takes the bishop, not the rook that bishop defends: Qxd6 would also bare the king.
    ("7k/8/3r4/8/1b6/8/3Q4/4K3 w - - 0 1", [], {"d2b4"}),
    # Takes the pawn with the pawn, not the pawn the c6 pawn guards with the queen.
    ("4k3/8/2p5/1P1p4/8/3Q4/8/4K3 w - - 0 1", [], {"b5c6"}),
    # Takes the knight off the square the e5 pawn attacks.
    ("7k/8/8/4p3/3NP3/8/8/4K3 w - - 0 1", [], {"d4b3", "d4b5", "d4c2", "d4c6", "d4e2", "d4e6", "d4f3", "d4f5"}),
    # Keeps the king off the enemy king's squares, and next to the pawn it defends.
    ("8/8/8/4k3/4P3/4K3/8/8 w - - 0 1", [], {"e3d3", "e3f3"}),
    # The knight attacks the king: step out of it rather than take the queen.
    ("k6q/8/8/8/8/2n5/2P5/3K3R w - - 0 1", [], {"d1c1", "d1d2", "d1e1"}),
    # Promotes to a queen, taking the rook (the slot plays the capture on a8).
    ("rn5k/1P6/8/8/8/8/8/K7 w - - 0 1", [], {"b7a8q"}),
]


def mirrored(fen, before, moves):
    def flip(uci):
        move = chess.Move.from_uci(uci)
        return chess.Move(chess.square_mirror(move.from_square), chess.square_mirror(move.to_square),
                          move.promotion).uci()

    return chess.Board(fen).mirror().fen(), [flip(m) for m in before], {flip(m) for m in moves}


@pytest.mark.parametrize("fen, before, moves",
                         [c for case in CHOICES for c in (case, mirrored(*case))])
def test_choices_in_telling_positions(fen, before, moves):
    player = GreedyPlayer()
    for seed in range(4):
        batch = GameBatch(1, rules="dark", fens=fen, threads=1)
        for uci in before:
            batch.step_moves(np.array([move_code(chess.Move.from_uci(uci))]))
        slots, log_probs = player.act(batch.observation, batch.legal_action_mask,
                                      torch.Generator().manual_seed(seed), None)
        assert log_probs.tolist() == [0.0]
        batch.step(slots)
        assert code_move(int(batch.last_move[0])).uci() in moves


def test_the_seed_decides_between_equal_moves():
    """Nb1-c3 and Ng1-f3 stand level in the start position (the view is the same on both
    wings): seeds choose between them, each seed always the same way, for many games at once,
    from uint8 and float32 observations alike."""
    player = GreedyPlayer()
    picks = []
    for seed, dtype in ((5, "uint8"), (6, "uint8"), (5, "float32")):
        batch = GameBatch(32, rules="dark", dtype=dtype, threads=1)
        picks.append(player.act(batch.observation, batch.legal_action_mask, torch.Generator().manual_seed(seed),
                                None)[0])
    assert np.array_equal(picks[0], picks[2])
    assert not np.array_equal(picks[0], picks[1])
    assert {chess.Move(int(c) // 64, int(c) % 64).uci() for c in np.concatenate(picks)} == {"b1c3", "g1f3"}


# -- Blind to what the mover never saw ----------------------------------------------------------

@settings(max_examples=60 if os.environ.get("QUELLOR_ASAN") else 300, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(start=st.sampled_from(STARTS), seed=st.integers(0, 2**32), plies=st.integers(2, 40), data=st.data())
def test_what_the_mover_never_saw_changes_no_choice(start, seed, plies, data):
    """A random dark game, then the same game from a start altered only where the side to move
    at the end never looked: with the same seed the greedy bot, and the bold one, make the
    same choice."""
    games = unseen_change(start, seed, plies, data)
    if games is None:
        return
    batch, altered = games
    for bold in (False, True):
        player = GreedyPlayer(bold)
        choices = [player.act(b.observation, b.legal_action_mask, torch.Generator().manual_seed(seed), None)[0]
                   for b in (batch, altered)]
        assert choices[0].tolist() == choices[1].tolist()
    assert altered.fen(0) != batch.fen(0)
    event("altered game compared")
    oracle.count("selfplay/greedy fog choices compared", 1)


# -- Strength -----------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["greedy", "bold"])
def test_the_bots_beat_random_play(name):
    bot = load_player(name)
    assert bot.name == name and isinstance(bot.build(), GreedyPlayer) and bot.build().bold == (name == "bold")
    result = play_match(bot, PlayerConfig.random(), 100, GameConfig("dark", "own", 300), lanes=50, seed=11)
    oracle.count(f"selfplay/{name} score against random play (x100)", round(100 * result.score))
    assert result.games == 100 and result.score >= 0.9


def test_bold_picks_among_the_best_trades_without_taste():
    """Along random games, bold takes a king it sees, and otherwise a move whose material
    balance (won less put at risk) is within the bonus's range of the best; the seed spreads
    its quiet moves where greedy's taste settles on one."""
    bold, greedy = GreedyPlayer(bold=True), GreedyPlayer()
    batch = GameBatch(24, rules="dark", seed=3, threads=1)
    spread = {"bold": set(), "greedy": set()}
    for ply in range(30):
        scores = score_moves(batch.observation, batch.legal_action_mask, bold=True)
        slots, _ = bold.act(batch.observation, batch.legal_action_mask, torch.Generator().manual_seed(ply), None)
        for game, slot in enumerate(slots):
            mine = scores.rows == game
            picked = mine & (scores.slots == slot)
            balance = np.where(scores.total >= KING_CAPTURE, KING_CAPTURE, scores.gain - scores.loss)
            assert balance[picked].item() >= balance[mine].max() - 2 * BONUS_LIMIT
        if ply == 0:
            for seed in range(6):
                generator = torch.Generator().manual_seed(seed)
                spread["bold"].add(int(bold.act(batch.observation[:1], batch.legal_action_mask[:1], generator, None)[0][0]))
                generator = torch.Generator().manual_seed(seed)
                spread["greedy"].add(int(greedy.act(batch.observation[:1], batch.legal_action_mask[:1], generator, None)[0][0]))
        batch.step(slots)
        if bool(batch.terminated.any()):
            batch.reset(games=batch.terminated)
    assert len(spread["bold"]) > len(spread["greedy"]) == 2


# -- The batch module's reckoning against the numpy formulation of the same rules --------------

@pytest.mark.parametrize("bold", [False, True])
def test_the_native_reckoning_is_the_numpy_ones_to_the_bit(bold):
    """Every legal move of the positions of seeded random games, scored by the batch module and
    by the numpy oracle: the same gain, loss, bonus and total, exactly."""
    from support.greedy_numpy import score_moves as numpy_scores

    compared = 0
    for seed in range(2):
        batch = GameBatch(48, rules="dark", observation="own", dtype="uint8", seed=seed, max_plies=200)
        for _ in range(120):
            live = torch.nonzero(~(batch.terminated | batch.truncated)).squeeze(1)
            if len(live) == 0:
                break
            observations, masks = batch.observation[live], batch.legal_action_mask[live]
            native, reference = score_moves(observations, masks, bold), numpy_scores(observations, masks, bold)
            assert np.array_equal(native.rows, reference.rows) and np.array_equal(native.slots, reference.slots)
            for field in ("gain", "loss", "bonus", "total"):
                assert np.array_equal(getattr(native, field), getattr(reference, field)), field
            compared += len(native.rows)
            batch.step(batch.random_actions())
    assert compared > 50_000
    oracle.count("selfplay/greedy native reckonings compared", compared)


@pytest.mark.parametrize("bold", [False, True])
def test_a_bot_chooses_from_a_gather_what_it_chooses_from_observations_and_masks(bold):
    """The arena hands a bot the newest frames and legal entries of GameBatch.gather; its
    choices are those it makes from the observations and masks, under the same draws."""
    player, chosen = GreedyPlayer(bold), 0
    batch = GameBatch(40, rules="dark", observation="history", dtype="uint8", seed=5, max_plies=150)
    for step in range(150):
        live = torch.nonzero(~(batch.terminated | batch.truncated)).squeeze(1)
        if len(live) == 0:
            break
        turn = batch.gather(live.numpy(), observations=False)
        boards = np.ascontiguousarray(turn.newest[:, :FRAME_CHANNELS]).view(np.uint64)
        plain = player.act(batch.observation[live], batch.legal_action_mask[live],
                           torch.Generator().manual_seed(step), None)
        gathered = player.act_on_entries(boards, turn.rows.numpy(), turn.slots.numpy(),
                                         torch.Generator().manual_seed(step))
        assert np.array_equal(plain[0], gathered[0]) and np.array_equal(plain[1], gathered[1])
        chosen += len(live)
        actions = torch.full((len(batch),), -1, dtype=torch.int64)
        actions[live] = torch.from_numpy(plain[0])
        batch.step(actions)
    assert chosen > 1_000


def test_the_native_reckoning_refuses_what_is_out_of_range():
    boards = np.zeros((2, 13), dtype=np.uint64)
    out = [np.empty(1), np.empty(1), np.empty(1), np.empty(1, dtype=np.bool_)]
    with pytest.raises(IndexError, match="row 2 out of range for 2 views"):
        _batch.greedy_scores(boards, np.array([2]), np.array([12]), False, *out)
    with pytest.raises(ValueError, match="slot 4352 is out of range"):
        _batch.greedy_scores(boards, np.array([0]), np.array([4352]), False, *out)
    with pytest.raises(ValueError, match="rows of 13 words"):
        _batch.greedy_scores(np.zeros(14, dtype=np.uint64), np.array([0]), np.array([12]), False, *out)
