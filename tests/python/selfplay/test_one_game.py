"""Self-play games: how they end, what each decision records, and the policies that play them."""

import random

import chess
import numpy as np
import pytest
import torch

import quellor
from support.positions import TELLING_FENS, board_view, random_fens
from one_game import (
    CHECKMATE,
    KING_CAPTURED,
    PLY_CAP,
    STALEMATE,
    NetPolicy,
    RandomPolicy,
    pack_observations,
    play_game,
    unpack_observations,
)
from quellor_selfplay.endings import king_attacked
from quellor_selfplay.net import PolicyValueNet

FOOLS_MATE = ["f2f3", "e7e5", "g2g4", "d8h4"]
MATED_WHITE = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"

# Kings attacked by each kind of piece, and near misses: a pawn behind the king, a blocked
# slider, a knight one step off. Some leave the side not to move in check: the view is only a
# board, so that does not matter here.
ATTACK_FENS = [
    "4k3/8/8/8/8/8/3p4/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/3pK3 w - - 0 1",
    "4k3/8/8/8/8/8/8/4K3 w - - 0 1",
    "4k3/3P4/8/8/8/8/8/4K3 b - - 0 1",
    "3Pk3/8/8/8/8/8/8/4K3 b - - 0 1",
    "4k3/8/8/8/8/8/5P2/4K3 b - - 0 1",
    "4k3/8/8/8/8/5n2/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/4n3/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/r3K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/r1N1K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/r1n1K3 w - - 0 1",
    "4k3/8/8/8/b7/8/8/4K3 w - - 0 1",
    "4k3/8/8/8/b7/8/2P5/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/4K2q w - - 0 1",
    "4k3/8/8/8/7q/8/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/4K1Bq w - - 0 1",
    "8/8/8/8/8/8/3k4/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/4K3 w - - 0 1",
    "4k2R/8/8/8/8/8/8/4K3 b - - 0 1",
    "4k3/8/8/B7/8/8/8/4K3 b - - 0 1",
    "4k3/8/5N2/8/8/8/8/4K3 b - - 0 1",
    "8/8/8/8/8/8/8/K6k w - - 0 1",
]


class Scripted:
    """Plays the given moves in order, whatever is legal."""

    def __init__(self, moves):
        self.moves = iter(moves)

    def choose(self, game, observation, moves, rng):
        return chess.Move.from_uci(next(self.moves))


def attacked_by_rule(fen, white):
    board = chess.Board(fen)
    color = chess.WHITE if white else chess.BLACK
    return board.is_attacked_by(not color, board.king(color))


@pytest.mark.parametrize("fen", ATTACK_FENS + TELLING_FENS + random_fens(seed=23))
@pytest.mark.parametrize("white", [True, False])
def test_king_attacked_agrees_with_python_chess(fen, white):
    assert king_attacked(board_view(fen), white) == attacked_by_rule(fen, white)


def test_king_attacked_without_that_king():
    view = board_view("8/8/8/8/8/8/8/r3K3 w - - 0 1")
    view[7][4] = 0
    assert not king_attacked(view, True)


def check_record_against_replay(record, start_fen=None):
    """Every recorded decision matches a replay of the game's moves."""
    game = quellor.SelfPlayGame(start_fen)
    observations = unpack_observations(record.packed_observations)
    assert len(observations) == len(record.actions) == len(record.values) == record.plies
    for ply, uci in enumerate(record.moves):
        assert record.movers_white[ply] == game.turn
        assert record.actions[ply] == game.action_index(uci)
        assert np.array_equal(observations[ply], game.encode().numpy())
        game.apply(uci)
    return game


@pytest.mark.parametrize(
    "start_fen, moves, max_plies, ending, winner, values",
    [
        pytest.param(None, FOOLS_MATE, 10, CHECKMATE, False, [-1, 1, -1, 1], id="fools-mate"),
        # Mate on the last allowed ply is still a mate, not a cap.
        pytest.param(None, FOOLS_MATE, 4, CHECKMATE, False, [-1, 1, -1, 1], id="mate-at-cap"),
        pytest.param(MATED_WHITE, [], 10, CHECKMATE, False, [], id="mated-at-start"),
        pytest.param("7k/8/6K1/8/8/8/8/5Q2 w - - 0 1", ["f1f7"], 10, STALEMATE, None, [0],
                     id="stalemate"),
        pytest.param("4r2k/8/8/8/8/8/8/3K4 w - - 0 1", ["d1e1", "e8e1"], 10, KING_CAPTURED,
                     False, [-1, 1], id="black-captures-king"),
        pytest.param("3k4/8/8/8/8/8/8/4R2K b - - 0 1", ["d8e8", "e1e8"], 10, KING_CAPTURED,
                     True, [-1, 1], id="white-captures-king"),
        pytest.param(None, ["e2e4", "e7e5", "g1f3"], 3, PLY_CAP, None, [0, 0, 0], id="ply-cap"),
    ],
)
def test_game_endings_and_values(start_fen, moves, max_plies, ending, winner, values):
    record = play_game(Scripted(moves), 0, seed=1, max_plies=max_plies, start_fen=start_fen)
    assert record.ending == ending
    assert record.winner == winner
    assert record.moves == moves
    assert record.values.tolist() == values
    assert record.values.dtype == np.float32 and record.actions.dtype == np.int64
    check_record_against_replay(record, start_fen)


@pytest.mark.parametrize("game_index", [0, 1, 17])
def test_random_games_replay_and_repeat(game_index):
    first = play_game(RandomPolicy(), game_index, seed=5, max_plies=60)
    again = play_game(RandomPolicy(), game_index, seed=5, max_plies=60)
    other = play_game(RandomPolicy(), game_index + 1, seed=5, max_plies=60)
    assert first.moves == again.moves
    assert np.array_equal(first.packed_observations, again.packed_observations)
    assert first.moves != other.moves
    check_record_against_replay(first)


def test_pack_round_trip_and_refusal():
    rng = np.random.default_rng(3)
    observations = [torch.from_numpy((rng.random((64, 106)) < 0.2).astype(np.float32))
                    for _ in range(5)]
    packed = pack_observations(observations)
    assert packed.dtype == np.uint8
    assert np.array_equal(unpack_observations(packed), np.stack([o.numpy() for o in observations]))
    assert unpack_observations(pack_observations([])).shape == (0, 64, 106)
    observations[2][10, 40] = 0.5
    with pytest.raises(ValueError, match="other than 0.0 and 1.0"):
        pack_observations(observations)


def biased_net(bias):
    """A network whose policy is all zeros except the given slot biases."""
    net = PolicyValueNet(hidden=4)
    with torch.no_grad():
        for parameter in net.parameters():
            parameter.zero_()
        for slot, value in bias.items():
            net.policy.bias[slot] = value
    return net


def choose_many(net, fen, draws=40):
    game = quellor.SelfPlayGame(fen)
    legal = game.legal_actions()
    policy = NetPolicy(net)
    rng = random.Random(11)
    return [policy.choose(game, game.encode(), legal, rng).uci() for _ in range(draws)], legal


@pytest.mark.parametrize(
    "fen, favoured, allowed",
    [
        # A strongly favoured legal slot is always taken.
        (chess.STARTING_FEN, "e2e4", {"e2e4"}),
        ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", "e7e5", {"e7e5"}),
        # A straight and a capturing promotion share a slot: both are drawn.
        ("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8q", {"b7b8q", "b7a8q"}),
    ],
)
def test_net_policy_takes_the_favoured_slot(fen, favoured, allowed):
    slot = quellor.SelfPlayGame(fen).action_index(favoured)
    picks, _ = choose_many(biased_net({slot: 60.0}), fen)
    assert set(picks) == allowed


def test_net_policy_masks_illegal_slots():
    game = quellor.SelfPlayGame()
    illegal = [game.action_index(text) for text in ("e2e5", "a1h8", "e1e2", "d1d8")]
    picks, legal = choose_many(biased_net({slot: 80.0 for slot in illegal}), None, draws=200)
    assert set(picks) <= {move.uci() for move in legal}
    assert len(set(picks)) > 10  # the rest stays uniform: the mask did not favour one move


def test_net_policy_probabilities_cover_exactly_the_legal_slots():
    game = quellor.SelfPlayGame()
    slots = [game.action_index(move) for move in game.legal_actions()]
    torch.manual_seed(0)
    probabilities = NetPolicy(PolicyValueNet(hidden=16)).slot_probabilities(game.encode(), slots)
    assert len(probabilities) == len(slots)
    assert all(p > 0.0 for p in probabilities)
    assert sum(probabilities) == pytest.approx(1.0, abs=1e-5)


def test_net_policy_refuses_a_broken_network():
    net = biased_net({})
    with torch.no_grad():
        net.policy.bias.fill_(float("nan"))
    with pytest.raises(ValueError, match="no finite probabilities"):
        choose_many(net, None, draws=1)


def test_net_games_replay():
    torch.manual_seed(0)
    record = play_game(NetPolicy(PolicyValueNet(hidden=8)), 2, seed=9, max_plies=30)
    check_record_against_replay(record)
