"""GameBatch as a trainer drives it: outputs in place, resets, auto-reset, threads, refusals."""

import gc
import os
import sys
import threading

import chess
import numpy as np
import pytest
import torch

from quellor import SelfPlayGame
from quellor_selfplay import GameBatch
from quellor_selfplay.batch import unpack_observation
from quellor_selfplay.codes import ENDINGS
from support import ROOT

OUTPUTS = ("observation", "legal_action_mask", "to_move", "rewards", "terminated", "truncated", "plies",
           "last_move", "ending", "result")


def snapshot(batch):
    return {name: getattr(batch, name).clone() for name in OUTPUTS}


def assert_same(a, b):
    for name in OUTPUTS:
        assert torch.equal(a[name], b[name]), name


def random_steps(batch, steps):
    """Snapshots after each of `steps` rounds of step(random_actions())."""
    shots = []
    for _ in range(steps):
        batch.step(batch.random_actions())
        shots.append(snapshot(batch))
    return shots


def check_endings(batch):
    """What the ending outputs must say, read off the flags and rewards of a step just made:
    each game's ending agrees with terminated and truncated, and its result with the rewards
    of the step that ended it."""
    over = batch.terminated | batch.truncated
    assert torch.equal(batch.ending >= 0, over)
    assert torch.equal(batch.ending == ENDINGS.index("ply cap"), batch.truncated)
    assert not batch.result[~over].any()
    decided = batch.result != 0
    assert torch.equal(decided & (batch.ending == ENDINGS.index("stalemate")), torch.zeros_like(decided))
    ended_now = batch.rewards[:, 0] != 0
    assert torch.equal(batch.result[ended_now].float(), batch.rewards[ended_now, 0])


# ---------------------------------------------------------------------------------------------
# Determinism: threads, play_random, reset


@pytest.mark.parametrize("rules", ["dark", "legal"])
def test_results_do_not_depend_on_threads(rules):
    kwargs = dict(rules=rules, max_plies=30, seed=11, auto_reset=True)
    runs = [random_steps(GameBatch(37, threads=t, **kwargs), 70) for t in (1, 2, 5)]
    # Games going on and games cut at the cap are among those compared.
    assert {-1, 3} <= {int(e) for shot in runs[0] for e in shot["ending"]}
    for other in runs[1:]:
        for a, b in zip(runs[0], other):
            assert_same(a, b)
    tallies = [GameBatch(37, threads=t, **kwargs).play_random(200) for t in (1, 3)]
    assert tallies[0] == tallies[1]


@pytest.mark.parametrize("auto_reset", [False, True])
def test_play_random_is_step_of_random_actions(auto_reset):
    kwargs = dict(max_plies=25, seed=5, auto_reset=auto_reset, threads=2)
    stepped, played = GameBatch(20, **kwargs), GameBatch(20, **kwargs)
    for _ in range(60):
        stepped.step(stepped.random_actions())
        check_endings(stepped)
    tally = played.play_random(60)
    assert_same(snapshot(stepped), snapshot(played))
    # Round by round too: a round that finds a game over leaves no last move.
    for _ in range(3):
        stepped.step(stepped.random_actions())
        played.play_random(1)
        assert_same(snapshot(stepped), snapshot(played))
    ended = tally["white_wins"] + tally["black_wins"] + tally["draws"] + tally["truncations"]
    assert ended >= 20 if auto_reset else ended == 20
    assert torch.equal(stepped.random_actions(), played.random_actions())


# Where the order of the moves is easiest to get wrong: pins of every kind, en passant (beside
# a pin too), promotions (four slots a pawn, by capture and by push), castling both ways.
TRICKY_FENS = [
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/8/K1pP3r/8/8/8/7k w - c6 0 1",
]


@pytest.mark.parametrize("rules", ["dark", "legal"])
def test_random_draws_follow_generation_order(rules):
    """random_actions() draws from what the batch keeps of each position's moves, play_random
    from the moves generated afresh: in every position both must draw the same slot."""
    n = 4 * len(TRICKY_FENS)
    kwargs = dict(rules=rules, fens=[TRICKY_FENS[i % len(TRICKY_FENS)] for i in range(n)], seed=3,
                  auto_reset=True, max_plies=30, threads=1)
    stepped, played = GameBatch(n, **kwargs), GameBatch(n, **kwargs)
    promotions = en_passant = 0
    for _ in range(150):
        before = [chess.Board(stepped.fen(i)) for i in range(n)]
        stepped.step(stepped.random_actions())
        played.play_random(1)
        assert torch.equal(stepped.last_move, played.last_move)
        for board, code in zip(before, stepped.last_move.tolist()):
            if code >= 0:
                move = chess.Move(code % 4096 // 64, code % 64)
                promotions += code >= 4096
                en_passant += board.is_en_passant(move)
    assert_same(snapshot(stepped), snapshot(played))
    assert promotions > 20 and en_passant > 0


def test_reset_with_a_seed_is_a_new_batch():
    batch = GameBatch(12, seed=1, max_plies=40, auto_reset=True)
    random_steps(batch, 50)
    batch.reset(seed=99)
    fresh = GameBatch(12, seed=99, max_plies=40, auto_reset=True)
    assert_same(snapshot(batch), snapshot(fresh))
    assert torch.equal(batch.random_actions(), fresh.random_actions())


def test_a_clone_plays_on_alone():
    batch = GameBatch(5, seed=6, max_plies=30, auto_reset=True, dtype="float32", observation="history")
    random_steps(batch, 13)
    copy = batch.clone()
    assert_same(snapshot(batch), snapshot(copy))
    assert copy.observation.data_ptr() != batch.observation.data_ptr()
    # Both continue the same random streams, and stepping one leaves the other as it was.
    held = snapshot(copy)
    ahead = random_steps(batch, 20)
    assert_same(held, snapshot(copy))
    for shot in random_steps(copy, 20):
        assert_same(shot, ahead.pop(0))


def test_reset_of_some_games():
    batch = GameBatch(6, seed=3)
    random_steps(batch, 9)
    before = snapshot(batch)
    chosen = torch.tensor([True, False, True, False, False, True])
    batch.reset(games=chosen)
    fresh = snapshot(GameBatch(6))
    for name in OUTPUTS:
        got = getattr(batch, name)
        assert torch.equal(got[chosen], fresh[name][chosen]), name
        assert torch.equal(got[~chosen], before[name][~chosen]), name


# Black steps its king into the rook's file; White takes it on the next ply.
KING_FALLS = "4k3/8/8/8/8/8/8/3RK3 b - - 0 1"
STEP_INTO_CHECK = chess.E8 * 64 + chess.D7
TAKE_KING = chess.D1 * 64 + chess.D7


def test_auto_reset_restarts_a_finished_game_on_the_next_step():
    batch = GameBatch(2, fens=KING_FALLS, auto_reset=True)
    batch.step_moves(np.array([chess.E8 * 64 + chess.F7, STEP_INTO_CHECK]))
    batch.step_moves(np.array([chess.E1 * 64 + chess.E2, TAKE_KING]))
    assert batch.terminated.tolist() == [False, True]
    assert batch.rewards.tolist() == [[0.0, 0.0], [1.0, -1.0]]
    assert not batch.legal_action_mask[1].any()
    assert batch.last_move.tolist() == [chess.E1 * 64 + chess.E2, TAKE_KING]
    assert batch.ending.tolist() == [-1, ENDINGS.index("king captured")] and batch.result.tolist() == [0, 1]
    batch.step_moves(np.array([chess.F7 * 64 + chess.E6, 123456]))
    assert batch.plies.tolist() == [3, 0]
    assert batch.terminated.tolist() == [False, False] and batch.rewards[1].tolist() == [0.0, 0.0]
    assert batch.last_move.tolist() == [chess.F7 * 64 + chess.E6, -1]
    assert batch.ending.tolist() == [-1, -1] and batch.result.tolist() == [0, 0]
    assert batch.fen(1) == KING_FALLS
    assert batch.legal_action_mask[1].any()


def test_without_auto_reset_a_finished_game_stays_over():
    batch = GameBatch(1, fens=KING_FALLS)
    batch.step_moves(np.array([STEP_INTO_CHECK]))
    batch.step_moves(np.array([TAKE_KING]))
    assert batch.rewards.tolist() == [[1.0, -1.0]]
    for entry in (-7, 99999, 0):
        batch.step(np.array([entry]))
        assert batch.terminated.tolist() == [True] and batch.plies.tolist() == [2]
        assert batch.rewards.tolist() == [[0.0, 0.0]]
        # The game stays won: its ending and result outlast the step's rewards.
        assert batch.last_move.tolist() == [-1] and batch.ending.tolist() == [0] and batch.result.tolist() == [1]
    assert batch.random_actions().tolist() == [-1]


@pytest.mark.parametrize(
    "fen, rules, terminated, rewards",
    [
        # Mate under the legal rules: Black to move has no move and is in check.
        ("7k/8/5KQ1/8/8/8/8/8 w - - 0 1", "legal", True, [1.0, -1.0]),
        # Under the fog-of-war rules the same move leaves Black a king move into check.
        ("7k/8/5KQ1/8/8/8/8/8 w - - 0 1", "dark", False, [0.0, 0.0]),
    ],
)
def test_mate_ends_only_the_legal_game(fen, rules, terminated, rewards):
    batch = GameBatch(1, fens=fen, rules=rules)
    batch.step_moves(np.array([chess.G6 * 64 + chess.G7]))
    assert bool(batch.terminated[0]) is terminated
    assert batch.rewards[0].tolist() == rewards
    assert batch.ending.tolist() == [ENDINGS.index("checkmate") if terminated else -1]
    assert batch.result.tolist() == [int(rewards[0])]


# Start positions that leave the side to move (Black) no legal move. In the last two, Black's
# pieces block each other and White's pawns block Black's, so it has no pseudo-legal move
# either; in the last, a knight on f7 gives check as well.
MATED = "7k/6Q1/6K1/8/8/8/8/8 b - - 0 1"
STALEMATED = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"
BOXED_IN = "5brk/4p1pr/4P1Pp/7P/8/8/8/K7 b - - 0 1"
BOXED_IN_CHECK = "5brk/4pNpr/4P1Pp/7P/8/8/8/K7 b - - 0 1"


@pytest.mark.parametrize(
    "fen, rules, ending, result",
    [
        (MATED, "legal", "checkmate", 1),
        (MATED, "dark", None, 0),  # Kxg7 is a pseudo-legal move
        (STALEMATED, "legal", "stalemate", 0),
        (STALEMATED, "dark", None, 0),
        (BOXED_IN, "legal", "stalemate", 0),
        (BOXED_IN, "dark", "stalemate", 0),
        (BOXED_IN_CHECK, "legal", "checkmate", 1),
        # Without a move at all the fog-of-war game is drawn, in check or not.
        (BOXED_IN_CHECK, "dark", "stalemate", 0),
    ],
)
def test_a_start_position_without_a_move_is_over_from_the_start(fen, rules, ending, result):
    batch = GameBatch(2, fens=[fen, chess.STARTING_FEN], rules=rules, auto_reset=True)
    index = -1 if ending is None else ENDINGS.index(ending)
    expected = {"terminated": [ending is not None, False], "ending": [index, -1], "result": [result, 0],
                "last_move": [-1, -1], "plies": [0, 0]}
    shots = [snapshot(batch), snapshot(batch.clone())]
    batch.step(batch.random_actions())
    batch.reset(games=torch.tensor([True, True]))
    shots.append(snapshot(batch))
    for shot in shots:
        assert {name: shot[name].tolist() for name in expected} == expected
        assert shot["rewards"].tolist() == [[0.0, 0.0], [0.0, 0.0]]
    if ending is not None:
        # With auto-reset, the step restarts it, over again, and it plays nothing.
        batch.step(batch.random_actions())
        assert (batch.last_move[0], batch.ending[0], batch.result[0]) == (-1, index, result)


def test_max_plies_truncates():
    batch = GameBatch(3, max_plies=4, rules="legal")
    random_steps(batch, 4)
    assert batch.truncated.all() and not batch.terminated.any() and batch.plies.tolist() == [4, 4, 4]
    assert not batch.legal_action_mask.any()
    assert batch.ending.tolist() == [ENDINGS.index("ply cap")] * 3 and batch.result.tolist() == [0, 0, 0]


# ---------------------------------------------------------------------------------------------
# Outputs


def test_outputs_share_memory_with_the_batch():
    batch = GameBatch(4, seed=2)
    pointers = {name: getattr(batch, name).data_ptr() for name in OUTPUTS}
    held = batch.observation
    before = held.clone()
    random_steps(batch, 6)
    assert {name: getattr(batch, name).data_ptr() for name in OUTPUTS} == pointers
    assert not torch.equal(held, before)


def test_tensors_outlive_the_batch():
    batch = GameBatch(3)
    obs, mask = batch.observation, batch.legal_action_mask
    expected = obs.clone()
    del batch
    gc.collect()
    assert torch.equal(obs, expected) and int(mask.sum()) == 60


@pytest.mark.parametrize("observation", ["own", "history"])
def test_float32_uint8_and_packed_observations_agree(observation):
    kwargs = dict(observation=observation, seed=8, max_plies=60, auto_reset=True)
    small, wide = GameBatch(9, dtype="uint8", **kwargs), GameBatch(9, dtype=torch.float32, **kwargs)
    for _ in range(40):
        actions = small.random_actions()
        assert torch.equal(actions, wide.random_actions())
        small.step(actions)
        wide.step(actions)
        assert torch.equal(small.observation.float(), wide.observation)
        assert torch.equal(unpack_observation(small.packed_observation()), wide.observation)
        assert torch.equal(unpack_observation(small.packed_observation(), torch.uint8), small.observation)


def test_game_and_legal_moves_of_one_game():
    batch = GameBatch(2, rules="legal", observation="history", dtype="float32", seed=4)
    random_steps(batch, 11)
    for i in range(2):
        game = batch.game(i)
        assert isinstance(game, SelfPlayGame)
        assert torch.equal(game.encode(), batch.observation[i])
        assert [m.uci() for m in game.legal_actions()] == [m.uci() for m in batch.legal_moves(i)]
        assert batch.legal_move_codes(i) == [
            m.from_square * 64 + m.to_square + 4096 * (0 if m.promotion is None else 6 - m.promotion)
            for m in game.legal_actions()]
    with pytest.raises(IndexError, match="game index 2 out of range for 2 games"):
        batch.game(2)


@pytest.mark.parametrize(
    "moves, message",
    [
        # The king left en prise: SelfPlayGame reads no position whose side to move can take it.
        ([STEP_INTO_CHECK], "game 0: SelfPlayGame cannot hold this position: White, to move, can capture Black's "
                            "king, which Black left en prise (8/3k4/8/8/8/8/8/3RK3 w - - 0 2)"),
        # A king captured: nor one without both kings.
        ([STEP_INTO_CHECK, TAKE_KING], "game 0: SelfPlayGame cannot hold this position: Black's king was captured "
                                       "(8/3R4/8/8/8/8/8/4K3 b - - 0 2)"),
    ],
)
def test_game_of_a_position_selfplaygame_refuses(moves, message):
    batch = GameBatch(1, fens=KING_FALLS)
    for move in moves:
        batch.step_moves(np.array([move]))
    with pytest.raises(ValueError) as info:
        batch.game(0)
    assert str(info.value) == message


def test_a_shared_promotion_slot_plays_the_first_move():
    # b7 can promote straight (b8) or by taking on a8; both queen promotions share one slot.
    batch = GameBatch(1, fens="r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", rules="legal")
    slot = 4096 + chess.B7 * 4 + 0
    assert [m.uci() for m in batch.legal_moves(0)][:8] == [
        "b7a8q", "b7a8n", "b7a8r", "b7a8b", "b7b8q", "b7b8n", "b7b8r", "b7b8b"]
    batch.step(np.array([slot]))
    assert batch.fen(0).startswith("Q3k3/8/")
    assert batch.last_move.tolist() == [chess.B7 * 64 + chess.A8 + 4096]


# ---------------------------------------------------------------------------------------------
# Refusals


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(n=0), ValueError, "n must be positive, got 0"),
        (dict(n=-3), ValueError, "n must be positive, got -3"),
        (dict(n=2.0), TypeError, "n must be an int, not float"),
        (dict(n=True), TypeError, "n must be an int, not bool"),
        (dict(rules="chess"), ValueError, "unknown rules 'chess' (expected 'dark' or 'legal')"),
        (dict(observation="all"), ValueError, "unknown observation 'all' (expected 'own' or 'history')"),
        (dict(dtype="float64"), ValueError, "unknown dtype 'float64' (expected 'uint8' or 'float32')"),
        (dict(dtype=torch.int16), ValueError, "unknown dtype 'int16' (expected 'uint8' or 'float32')"),
        (dict(max_plies=0), ValueError, "max_plies must be positive or None, got 0"),
        (dict(threads=0), ValueError, "threads must be positive, got 0"),
        (dict(seed=-1), ValueError, "seed must be in 0..2**64-1, got -1"),
        (dict(seed="1"), TypeError, "seed must be an int, not str"),
        (dict(auto_reset=1), TypeError, "auto_reset must be a bool, not int"),
        (dict(fens="not a fen"), ValueError, "game 0: Invalid FEN string"),
        (dict(n=3, fens=[chess.STARTING_FEN, chess.STARTING_FEN, "8/8/8/8/8/8/8/8 w - - 0 1"]),
         ValueError, "game 2: Invalid FEN string"),
        (dict(n=2, fens=[chess.STARTING_FEN, 5]), ValueError,
         "game 1: board must be a python-chess Board or FEN string"),
        (dict(n=2, fens=[chess.STARTING_FEN] * 3), ValueError, "fens must hold one FEN or 2, got 3"),
        (dict(n=2, fens=[None, None]), TypeError, "game 0: FEN must be a str or a python-chess Board, not None"),
        (dict(n=2, fens=[chess.STARTING_FEN, None]), TypeError,
         "game 1: FEN must be a str or a python-chess Board, not None"),
        # What the engine's lenient reader would drop unread, a start position refuses.
        (dict(fens=chess.STARTING_FEN + " garbage"), ValueError,
         "game 0: Invalid FEN string: it has text after its sixth field"),
        (dict(fens=chess.STARTING_FEN + "\0"), ValueError, "game 0: Invalid FEN string: it holds a NUL character"),
        (dict(n=2, fens=[chess.STARTING_FEN, "4k3/8/8/8/8/8/8/4K3 w - -\0 0 1"]), ValueError,
         "game 1: Invalid FEN string: it holds a NUL character"),
        (dict(fens="4k3/8/8/8/8/8/8/4K3 w - - x 1"), ValueError,
         "game 0: Invalid FEN string: its halfmove clock is not a number"),
        (dict(fens="4k3/8/8/8/8/8/8/4K3 w - - 0 -1"), ValueError,
         "game 0: Invalid FEN string: its fullmove number is not a number"),
        (dict(fens="4k3/8/8/8/8/8/8/4K3 w - - 0 1 "), ValueError,
         "game 0: Invalid FEN string: it has text after its sixth field"),
    ],
)
def test_construction_refusals(kwargs, error, message):
    kwargs.setdefault("n", 2)
    n = kwargs.pop("n")
    with pytest.raises(error) as info:
        GameBatch(n, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("fen", ["4k3/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 w - - 7",
                                 "4k3/8/8/8/8/8/8/4K3 b - - 12 40"])
def test_fens_of_four_to_six_fields_are_read(fen):
    batch = GameBatch(1, fens=fen)
    assert batch.fen(0).split()[:4] == fen.split()[:4]


def test_fens_take_python_chess_boards():
    board = chess.Board()
    board.push_san("e4")
    batch = GameBatch(2, fens=[board, chess.STARTING_FEN])
    assert batch.to_move.tolist() == [False, True]


@pytest.mark.parametrize(
    "actions, error, message",
    [
        (np.zeros(3, dtype=np.int64), ValueError, "actions must have shape (2,), got (3,)"),
        (np.zeros((2, 1), dtype=np.int64), ValueError, "actions must have shape (2,), got (2, 1)"),
        (np.zeros(2, dtype=np.float32), TypeError, "actions must hold integers, not float32"),
        (torch.zeros(2), TypeError, "actions must hold integers, not torch.float32"),
        (torch.zeros(2, dtype=torch.bool), TypeError, "actions must hold integers, not torch.bool"),
        ([796, "e2e4"], TypeError, "actions must hold integers, not <U21"),
        ([796, 4352], ValueError, "game 1: action 4352 is out of range (0..4351)"),
        ([796, -1], ValueError, "game 1: action -1 is out of range (0..4351)"),
        (np.array([796, 2**64 - 1], dtype=np.uint64), ValueError,
         "game 1: action 18446744073709551615 is out of range (0..4351)"),
        ([796, 797], ValueError, "game 1: action 797 is not a legal slot"),
        ([28, 796], ValueError, "game 0: action 28 is not a legal slot"),
    ],
)
def test_step_refusals_change_nothing(actions, error, message):
    batch = GameBatch(2, seed=1)
    before = snapshot(batch)
    with pytest.raises(error) as info:
        batch.step(actions)
    assert str(info.value) == message
    assert_same(before, snapshot(batch))
    batch.step(torch.tensor([796, 796], dtype=torch.int32))  # still playable
    assert batch.plies.tolist() == [1, 1]


@pytest.mark.parametrize(
    "moves, message",
    [
        ([chess.E2 * 64 + chess.E4, 20480], "game 1: move code 20480 is out of range (0..20479)"),
        ([chess.E2 * 64 + chess.E5, 0], "game 0: move code 804 (e2e5) is not legal"),
        ([chess.E2 * 64 + chess.E4 + 4096, 0], "game 0: move code 4892 (e2e4q) is not legal"),
    ],
)
def test_step_moves_refusals(moves, message):
    batch = GameBatch(2, seed=1)
    with pytest.raises(ValueError) as info:
        batch.step_moves(moves)
    assert str(info.value) == message
    assert batch.plies.tolist() == [0, 0]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(games=[True, False]), ValueError, "games must have shape (3,), got (2,)"),
        (dict(games=[1, 0, 1]), TypeError, "games must be a bool mask, not int64"),
        (dict(seed=2**64), ValueError, "seed must be in 0..2**64-1, got 18446744073709551616"),
    ],
)
def test_reset_refusals(kwargs, error, message):
    batch = GameBatch(3)
    with pytest.raises(error) as info:
        batch.reset(**kwargs)
    assert str(info.value) == message


def test_play_random_refuses_negative_steps():
    with pytest.raises(ValueError, match="steps must not be negative, got -1"):
        GameBatch(1).play_random(-1)


def test_a_batch_in_use_refuses_another_call():
    batch = GameBatch(64, max_plies=50, auto_reset=True, threads=1)
    refused = []
    worker = threading.Thread(target=batch.play_random, args=(20000,))
    worker.start()
    while worker.is_alive() and not refused:
        try:
            batch.fen(0)
        except RuntimeError as error:
            refused.append(str(error))
    worker.join()
    assert refused == ["GameBatch is in use by another call"]


@pytest.mark.skipif(bool(os.environ.get("QUELLOR_ASAN")),
                    reason="torch's training dominates it; its batch calls are sanitized in the tests around it")
def test_the_readme_training_loop_learns_from_finished_games():
    sys.path.insert(0, str(ROOT / "examples"))
    import batch_reinforce

    torch.manual_seed(0)
    untrained = torch.nn.Sequential(
        torch.nn.Flatten(), torch.nn.Linear(64 * 106, 128), torch.nn.ReLU(), torch.nn.Linear(128, 4352)
    ).state_dict()
    net, results = batch_reinforce.train(steps=220, games=16, seed=0)
    assert results and set(results) <= {-1.0, 0.0, 1.0} and any(results)
    # The loop seeds torch the same way, so any difference comes from its updates.
    assert any(not torch.equal(untrained[k], v) for k, v in net.state_dict().items())


@pytest.mark.parametrize("auto_reset", [False, True])
@pytest.mark.parametrize("exact", [False, True])
def test_step_of_some_games_holds_the_others(auto_reset, exact):
    """step(games=mask) against a clone that steps every game: the games that move end as the
    clone's, the held ones exactly as they were (a finished one not restarted), but for rewards 0
    and last_move -1."""
    rng = np.random.default_rng(5)
    batch = GameBatch(24, rules="dark", seed=7, max_plies=40, auto_reset=auto_reset)
    for step in range(120):
        before = snapshot(batch)
        fens = [batch.fen(i) for i in range(len(batch))]
        both = batch.clone()
        actions = batch.random_actions()
        if exact:
            live = actions >= 0
            actions = torch.tensor([
                batch.legal_move_codes(i)[0] if live[i] else 0 for i in range(len(batch))], dtype=torch.int64)
        games = rng.random(len(batch)) < 0.5
        (batch.step_moves if exact else batch.step)(actions, games=games)
        (both.step_moves if exact else both.step)(actions)
        after, full = snapshot(batch), snapshot(both)
        for i in range(len(batch)):
            if games[i]:
                assert batch.fen(i) == both.fen(i)
                for name in OUTPUTS:
                    assert torch.equal(after[name][i], full[name][i]), (step, i, name)
            else:
                assert batch.fen(i) == fens[i]
                for name in OUTPUTS:
                    held = before[name][i]
                    if name == "rewards":
                        held = torch.zeros_like(held)
                    elif name == "last_move":
                        held = torch.tensor(-1)
                    assert torch.equal(after[name][i], held), (step, i, name)


@pytest.mark.parametrize("games, error, message", [
    ([True, False], ValueError, "games must have shape (3,), got (2,)"),
    ([1, 0, 1], TypeError, "games must be a bool mask, not int64"),
])
def test_step_refuses_a_bad_games_mask(games, error, message):
    batch = GameBatch(3, seed=1)
    before = snapshot(batch)
    with pytest.raises(error) as caught:
        batch.step(batch.random_actions(), games=np.array(games))
    assert str(caught.value) == message
    assert_same(snapshot(batch), before)
