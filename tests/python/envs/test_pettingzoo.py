"""The PettingZoo environment: PettingZoo's own API and seed tests, then what they cannot see.

PettingZoo's tests take any AEC environment; beside them, the masks, observations and endings are
checked ply by ply against a GameBatch and python-chess, and the shared-slot rule and the
pictures against python-chess's attack sets.
"""

import warnings

import chess
import numpy as np
import pytest

pytest.importorskip("pettingzoo")
# PettingZoo's test module imports its connect-four game, which warns about PettingZoo's own old
# creation API once pygame is installed (make bench installs it).
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "The old environment creation API", DeprecationWarning)
    from pettingzoo.test import api_test, seed_test  # noqa: E402

from support.positions import action_slot, visible_squares  # noqa: E402
from quellor_selfplay import GameBatch  # noqa: E402
from quellor_selfplay.bots import GreedyPlayer  # noqa: E402
from quellor_selfplay.envs import pettingzoo as qpz  # noqa: E402
from quellor_selfplay.players import RandomPlayer  # noqa: E402

# PettingZoo's API test asks for Box observations, and notes any other kind, unless the game is
# one of its own classic games, whose dict observations (observation and action_mask) this one
# copies.
DICT_OBSERVATION_NOTES = {
    "Observation space for each agent probably should be gymnasium.spaces.box or gymnasium.spaces.discrete",
    "Observation is not a NumPy array",
}
SETTINGS = [
    dict(rules="dark", observation="own"),
    dict(rules="legal", observation="history", dtype="float32", max_plies=300),
]


@pytest.mark.parametrize("kwargs", SETTINGS)
@pytest.mark.parametrize("make", [qpz.env, qpz.raw_env], ids=["env", "raw_env"])
def test_pettingzoo_api_test(make, kwargs, capsys):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        api_test(make(render_mode="ansi", **kwargs), num_cycles=1000)
    assert "Passed API test" in capsys.readouterr().out
    assert {str(w.message) for w in caught} <= DICT_OBSERVATION_NOTES


@pytest.mark.parametrize("kwargs", SETTINGS)
def test_pettingzoo_seed_test(kwargs):
    seed_test(lambda: qpz.env(**kwargs), num_cycles=300)


def test_a_seed_repeats_random_actions():
    def draws(seed):
        game = qpz.raw_env()
        game.reset(seed=seed)
        out = []
        while not (game.terminations[game.agent_selection] or game.truncations[game.agent_selection]):
            out.append(game.random_action())
            game.step(out[-1])
        return out

    assert draws(5) == draws(5) != draws(6)


@pytest.mark.parametrize("rules, games, seed", [("dark", 6, 1), ("legal", 3, 2)])
def test_each_ply_against_game_batch(rules, games, seed):
    """Masks, observations, turns and endings against a GameBatch fed the same slots; under
    the legal rules, the mask also against python-chess's legal moves."""
    game = qpz.raw_env(rules=rules, max_plies=120)
    plies = 0
    for g in range(games):
        game.reset(seed=seed + g)
        batch = GameBatch(1, rules=rules, max_plies=120, threads=1)
        shown = {agent: None for agent in qpz.AGENTS}
        for agent in game.agent_iter():
            obs, reward, terminated, truncated, _ = game.last()
            white = agent == "player_0"
            mover = "player_0" if batch.to_move[0] else "player_1"
            # The side to move sees the position now; the other holds what it was last shown.
            for name in qpz.AGENTS:
                held = game.observe(name)
                if name == mover:
                    assert np.array_equal(held["observation"], batch.observation[0].numpy())
                elif shown[name] is None:
                    assert (held["observation"][:, 12:104:13] == 1).all()
                else:
                    assert np.array_equal(held["observation"], shown[name])
                    assert not held["action_mask"].any()
            assert np.array_equal(obs["observation"], game.observe(agent)["observation"])
            if terminated or truncated:
                assert terminated == bool(batch.terminated[0]) and truncated == bool(batch.truncated[0])
                assert reward == batch.rewards[0, 0 if white else 1].item()
                assert not obs["action_mask"].any()
                game.step(None)
                continue
            assert agent == mover and obs["action_mask"].dtype == np.int8
            assert np.array_equal(obs["action_mask"].astype(bool), batch.legal_action_mask[0].numpy())
            if rules == "legal":
                board = chess.Board(batch.fen(0))
                expected = {action_slot(m.uci(), white) for m in board.legal_moves}
                assert set(np.flatnonzero(obs["action_mask"])) == expected
            assert reward == 0.0
            slot = game.random_action()
            shown[agent] = obs["observation"]
            game.step(slot)
            batch.step(np.array([slot]))
            plies += 1
    assert plies >= 300


def test_the_ply_cap_truncates_both_agents():
    game = qpz.env(max_plies=8)
    game.reset(seed=3)
    turns = {agent: 0 for agent in qpz.AGENTS}
    for agent in game.agent_iter():
        turns[agent] += 1
        obs, reward, terminated, truncated, _ = game.last()
        if truncated:
            assert not terminated and reward == 0.0
            game.step(None)
        else:
            game.step(game.unwrapped.random_action())
    # Four moves each, then the step that removes the truncated agent.
    assert turns == {"player_0": 5, "player_1": 5}


@pytest.mark.parametrize(
    "fen, slot, played",
    [
        # b7 promotes straight (b8) or by taking on a8: the queen promotions share a slot, and
        # generation lists the capture first.
        ("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", 4096 + chess.B7 * 4 + 0, "b7a8q"),
        ("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", 4096 + chess.B7 * 4 + 3, "b7a8n"),
        # The same for Black, whose slots are mirrored: b2 reads as b7.
        ("4k3/8/8/8/8/8/1p6/R3K3 b - - 0 1", 4096 + chess.B7 * 4 + 1, "b2a1r"),
        # Only the straight promotion: its slot plays it.
        ("4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", 4096 + chess.B7 * 4 + 2, "b7b8b"),
    ],
)
def test_a_shared_slot_plays_the_first_legal_move(fen, slot, played):
    game = qpz.raw_env(fen=fen)
    white = game.agent_selection == "player_0"
    behind = [m.uci() for m in game.legal_moves() if action_slot(m.uci(), white) == slot]
    assert behind[0] == played
    board = chess.Board(fen)
    board.push_uci(played)
    game.step(slot)
    assert game.fen().split()[:4] == board.fen().split()[:4]


def test_an_illegal_slot(caplog):
    game = qpz.raw_env()
    with pytest.raises(ValueError, match="game 0: action 797 is not a legal slot"):
        game.step(797)
    assert game.batch.plies.tolist() == [0] and game.agent_selection == "player_0"
    with pytest.raises(TypeError, match="action must be an int slot, not float"):
        game.step(796.0)
    # Wrapped as PettingZoo's classic games are, it ends the game as a loss for the player.
    wrapped = qpz.env()
    wrapped.reset()
    wrapped.step(797)
    assert "Illegal move made" in caplog.text
    assert wrapped.terminations == {"player_0": True, "player_1": True}
    assert wrapped.rewards == {"player_0": -1, "player_1": 0}


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(render_mode="human"), ValueError, "unknown render_mode 'human' (expected 'ansi', 'rgb_array' or None)"),
        (dict(dtype="int16"), ValueError, "unknown dtype 'int16' (expected 'uint8' or 'float32')"),
        (dict(rules="chess"), ValueError, "unknown rules 'chess' (expected 'dark' or 'legal')"),
        (dict(max_plies=0), ValueError, "max_plies must be positive or None, got 0"),
        (dict(fen="7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", rules="legal"), ValueError,
         "the start position leaves the side to move no move: the game is over"),
    ],
)
def test_construction_refusals(kwargs, error, message):
    with pytest.raises(error) as info:
        qpz.raw_env(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("plies", [6, 7])
def test_renders_show_what_the_mover_sees(plies):
    """rgb_array: hidden squares are grey exactly where python-chess's attack sets say the mover
    sees nothing, drawn from the mover's seat. ansi: the text view names the same squares."""
    game = qpz.raw_env(render_mode="rgb_array")
    game.reset(seed=9)
    for _ in range(plies):
        game.step(game.random_action())
    board = chess.Board(game.fen())
    seen = visible_squares(board)
    image = game.render()
    assert image.shape == (8 * qpz.CELL, 8 * qpz.CELL, 3) and image.dtype == np.uint8
    for square in chess.SQUARES:
        rank, file = chess.square_rank(square), chess.square_file(square)
        row, col = (7 - rank, file) if board.turn else (rank, 7 - file)
        corner = image[row * qpz.CELL + 1, col * qpz.CELL + 1]
        assert (tuple(corner) == qpz.HIDDEN) == (square not in seen), chess.square_name(square)
    game.render_mode = "ansi"
    text = game.render()
    mover = 1 if board.turn else 2  # which of the three boards: true, White's, Black's
    rows = [line.split("   ")[mover] for line in text.splitlines()[3:11]]
    hidden = {chess.square(f, 7 - i) for i, row in enumerate(rows) for f, c in enumerate(row.split()[1:]) if c == "#"}
    assert hidden == set(chess.SQUARES) - seen


def test_a_package_player_chooses_from_an_agents_observation():
    """player_action: the greedy bot, as White, against a player drawing random slots; the
    waiting agent has nothing to choose."""
    import torch

    totals = []
    for seed in range(3):
        game = qpz.env(rules="dark", max_plies=300)
        game.reset(seed=seed)
        generator = torch.Generator().manual_seed(seed)
        total = 0.0
        for agent in game.agent_iter():
            obs, reward, terminated, truncated, _ = game.last()
            if agent == qpz.AGENTS[0]:
                total += reward
            if terminated or truncated:
                game.step(None)
                continue
            waiting = game.observe(qpz.AGENTS[1] if agent == qpz.AGENTS[0] else qpz.AGENTS[0])
            with pytest.raises(ValueError, match="no legal slot"):
                qpz.player_action(GreedyPlayer(), waiting, generator)
            player = GreedyPlayer() if agent == qpz.AGENTS[0] else RandomPlayer()
            slot = qpz.player_action(player, obs, generator)
            assert obs["action_mask"][slot] == 1
            game.step(slot)
        totals.append(total)
    assert sum(totals) >= 2, totals
