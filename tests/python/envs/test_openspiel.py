"""The OpenSpiel game: OpenSpiel's own game checks, then what they cannot see.

OpenSpiel's random_sim_test (with serialization) and the sim_game check of its games_sim_test
(clone, serialization, pickling, returns) play the game; beside them, the moves and
observations are checked against python-chess and GameBatch, and one of OpenSpiel's evaluators
plays the example's checkpoint bot.
"""

import os
import runpy
from pathlib import Path

import chess
import numpy as np
import pytest

pyspiel = pytest.importorskip("pyspiel")
# Imported as a module: a TestCase class in this namespace would bring all its tests along.
from open_spiel.python.algorithms.evaluate_bots import evaluate_bots  # noqa: E402
from open_spiel.python.bots.uniform_random import UniformRandomBot  # noqa: E402
from open_spiel.python.tests import games_sim_test  # noqa: E402

from support.positions import visible_squares  # noqa: E402
from quellor_selfplay import GameBatch, codes  # noqa: E402
from quellor_selfplay.envs import openspiel as qos  # noqa: E402
from quellor_selfplay.bots import GreedyPlayer  # noqa: E402
from quellor_selfplay.net import save_checkpoint, seeded_net  # noqa: E402
from quellor_selfplay.players import RandomPlayer  # noqa: E402
from support import ROOT  # noqa: E402

EXAMPLE = ROOT / "examples" / "openspiel_evaluate.py"
PROMOTIONS = "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq - 0 1"
GAMES = [
    {},
    {"rules": "legal", "max_plies": 200},
    {"fen": PROMOTIONS, "max_plies": 150},
]


@pytest.mark.parametrize("params", GAMES, ids=["dark", "legal", "promotions"])
def test_openspiel_random_sim_test(params, capfd):
    game = pyspiel.load_game(qos.GAME_NAME, params)
    pyspiel.random_sim_test(game, num_sims=4, serialize=True, verbose=True)
    assert capfd.readouterr().out.count("Reached a terminal state!") >= 4


@pytest.mark.parametrize("params", GAMES, ids=["dark", "legal", "promotions"])
def test_openspiel_games_sim_test(params, capsys):
    np.random.seed(7)
    checks = games_sim_test.GamesSimTest()
    game = pyspiel.load_game(qos.GAME_NAME, params)
    for _ in range(3):
        checks.sim_game(game)
    assert capsys.readouterr().out.count("Sim of game") == 3


@pytest.mark.parametrize("rules, seed", [("legal", 3), ("dark", 4)])
def test_moves_and_observations_ply_by_ply(rules, seed):
    """Legal actions against python-chess (legal rules) or GameBatch (dark), one id per move;
    the mover's observation tensor against GameBatch's own view, its text against
    python-chess's attack sets, and the waiting side's against what it was last shown."""
    rng = np.random.default_rng(seed)
    game = pyspiel.load_game(qos.GAME_NAME, {"rules": rules, "max_plies": 150})
    plies = 0
    while plies < 300:
        state = game.new_initial_state()
        batch = GameBatch(1, rules=rules, threads=1, dtype="float32")
        shown = [None, None]
        while not state.is_terminal():
            player = state.current_player()
            board = chess.Board(batch.fen(0))
            actions = state.legal_actions()
            assert actions == sorted(set(actions))
            texts = {state.action_to_string(player, a) for a in actions}
            if rules == "legal":
                assert texts == {m.uci() for m in board.legal_moves}
            else:
                assert texts == {m.uci() for m in batch.legal_moves(0)}
            assert {qos.action_slot(a, player) for a in actions} == set(
                np.flatnonzero(batch.legal_action_mask[0].numpy()))
            observation = np.array(state.observation_tensor(player)).reshape(64, 106)
            assert np.array_equal(observation, batch.observation[0].numpy())
            hidden = {i for i, c in enumerate(_squares(state.observation_string(player))) if c == "#"}
            assert hidden == set(chess.SQUARES) - visible_squares(board)
            waiting = np.array(state.observation_tensor(1 - player)).reshape(64, 106)
            if shown[1 - player] is None:
                assert (waiting[:, 12:104:13] == 1).all() and waiting.sum() == 64 * 8
            else:
                assert np.array_equal(waiting, shown[1 - player])
            action = int(rng.choice(actions))
            shown[player] = observation
            state.apply_action(action)
            batch.step_moves(np.array([action]))
            plies += 1
        assert state.returns() == batch.rewards[0].tolist()


def _squares(text):
    """Square index (a1 = 0) -> character of an eight-line view, rank 8 first."""
    rows = text.splitlines()
    return [rows[7 - sq // 8][sq % 8] for sq in range(64)]


def test_moves_sharing_a_slot_have_ids_of_their_own():
    game = pyspiel.load_game(qos.GAME_NAME, {"fen": PROMOTIONS})
    state = game.new_initial_state()
    straight = chess.B7 * 64 + chess.B8 + 4096 * 1
    capture = chess.B7 * 64 + chess.A8 + 4096 * 1
    assert {straight, capture} <= set(state.legal_actions())
    assert qos.action_slot(straight, 0) == qos.action_slot(capture, 0) == 4096 + chess.B7 * 4
    for action, uci in ((straight, "b7b8q"), (capture, "b7a8q")):
        child = state.child(action)
        board = chess.Board(PROMOTIONS)
        board.push_uci(uci)
        assert child.fen().split()[:3] == board.fen().split()[:3]
    # Black's pair reads mirrored: b2 as b7.
    state.apply_action(chess.E1 * 64 + chess.F1)
    black = [a for a in state.legal_actions() if a // 4096 == 2 and (a % 4096) // 64 == chess.B2]
    assert len(black) == 2 and {qos.action_slot(a, 1) for a in black} == {4096 + chess.B7 * 4 + 1}


def test_a_clone_and_a_deserialized_state_play_on_alone():
    game = pyspiel.load_game(qos.GAME_NAME)
    state = game.new_initial_state()
    for action in (chess.E2 * 64 + chess.E4, chess.D7 * 64 + chess.D5, chess.E4 * 64 + chess.D5):
        state.apply_action(action)
    copy = state.clone()
    loaded = game.deserialize_state(state.serialize())
    before = (str(state), state.information_state_string(0), state.observation_tensor(1))
    for other in (copy, loaded):
        assert (str(other), other.information_state_string(0), other.observation_tensor(1)) == before
        other.apply_action(other.legal_actions()[0])
        assert (str(state), state.information_state_string(0), state.observation_tensor(1)) == before
    assert str(copy) == str(loaded) != str(state)


@pytest.mark.skipif(bool(os.environ.get("QUELLOR_ASAN")),
                    reason="the refusal is thrown back through OpenSpiel's C++ frames (see below)")
def test_information_state_tensor_is_refused_not_empty():
    state = pyspiel.load_game(qos.GAME_NAME).new_initial_state()
    state.apply_action(chess.E2 * 64 + chess.E4)
    assert "e2e4" in state.information_state_string(0)
    for player in (0, 1):
        with pytest.raises(RuntimeError) as info:
            state.information_state_tensor(player)
        assert str(info.value) == qos.NO_INFORMATION_STATE_TENSOR


@pytest.mark.parametrize(
    "params, message",
    [
        ({"rules": "chess"}, "unknown rules 'chess' (expected 'dark' or 'legal')"),
        ({"max_plies": 0}, "max_plies must be a positive int, got 0"),
        ({"max_plies": 2**64 + 1}, "max_plies must be at most 2147483647 (OpenSpiel holds a game's length in a "
                                   "32-bit int), got 18446744073709551617"),
        ({"fen": "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", "rules": "legal"},
         "the start position leaves the side to move no move: the game is over"),
    ],
)
def test_refused_parameters(params, message):
    # The constructor load_game calls: under the sanitizer run, an exception thrown back through
    # OpenSpiel's C++ frames ends the process (OpenSpiel is not built with the sanitizer).
    with pytest.raises(ValueError) as info:
        qos.FogChessGame(params)
    assert str(info.value) == message


def test_evaluate_bots_with_a_checkpoint_bot(tmp_path, capsys):
    example = runpy.run_path(str(EXAMPLE))
    means = example["evaluate"](seeded_net(1, 32), games=2, seed=1, max_plies=120)
    assert all(-1.0 <= v <= 1.0 for v in means.values())
    checkpoint = tmp_path / "net.pt"
    save_checkpoint(seeded_net(2, 32), checkpoint)
    assert example["main"](["--checkpoint", str(checkpoint), "--games", "1", "--max-plies", "80"]) == 0
    assert "2 games against a uniformly random player" in capsys.readouterr().out
    assert example["main"](["--games", "1", "--max-plies", "80", "--opponent", "greedy"]) == 0
    assert "2 games against the greedy bot" in capsys.readouterr().out

    # The bot's policy covers the legal actions alone and sums to one.
    game = pyspiel.load_game(qos.GAME_NAME, {"fen": PROMOTIONS})
    bot = qos.CheckpointBot(0, seeded_net(3, 32), np.random.default_rng(0))
    state = game.new_initial_state()
    policy, action = bot.step_with_policy(state)
    assert sorted(a for a, _ in policy) == state.legal_actions() and action in state.legal_actions()
    assert sum(p for _, p in policy) == pytest.approx(1.0)
    assert codes.code_move(action).uci() in {m.uci() for m in chess.Board(PROMOTIONS).pseudo_legal_moves}


def test_any_player_plays_through_player_bot():
    """The greedy bot wins against OpenSpiel's random bot; a player that draws from the batch's
    random slots plays legal actions to the end."""
    game = pyspiel.load_game(qos.GAME_NAME, {"max_plies": 300})
    rng = np.random.default_rng(3)
    returns = []
    for g in range(4):
        seat = g % 2
        bots = [qos.PlayerBot(seat, GreedyPlayer(), seed=g), UniformRandomBot(1 - seat, rng)]
        returns.append(evaluate_bots(game.new_initial_state(), bots if seat == 0 else bots[::-1], rng)[seat])
    assert sum(returns) >= 2, returns
    state = game.new_initial_state()
    bots = [qos.PlayerBot(0, RandomPlayer(), seed=1), qos.PlayerBot(1, RandomPlayer(), seed=2)]
    while not state.is_terminal():
        action = bots[state.current_player()].step(state)
        assert action in state.legal_actions()
        state.apply_action(action)


# ---------------------------------------------------------------------------------------------
# Serialized states: plain text, nothing run


class _Touch:
    """Unpickled, creates the file `path`: what a crafted pickle in a state would do."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (Path.touch, (Path(self.path),))


def _played(game, plies):
    state = game.new_initial_state()
    rng = np.random.default_rng(plies)
    for _ in range(plies):
        if state.is_terminal():
            break
        state.apply_action(int(rng.choice(state.legal_actions())))
    return state


def _pickled_dict(marker):
    """OpenSpiel's own form for a Python state, its attributes a pickle that creates `marker`."""
    import base64
    import pickle

    return f"history=\nmove_number=0\n__dict__={base64.b64encode(pickle.dumps({'_game': _Touch(marker)})).decode()}"


def _text(fen=chess.STARTING_FEN, moves="", rules="dark", max_plies=4, extra=""):
    return f"quellor-fog-chess-state 1\nrules={rules}\nmax_plies={max_plies}\nfen={fen}\nmoves={moves}\n{extra}"


E2E4, E7E5, G1F3, B8C6, F1C4 = 12 * 64 + 28, 52 * 64 + 36, 6 * 64 + 21, 57 * 64 + 42, 5 * 64 + 26
CRAFTED = {
    "openspiel-pickle": (lambda m: _pickled_dict(m), "does not begin with 'quellor-fog-chess-state 1'"),
    "pickle-after-our-lines": (lambda m: _text(extra=_pickled_dict(m).splitlines()[2]),
                               "has the lines rules, max_plies, fen, moves, in that order"),
    "bytes": (lambda m: _text().encode(), "a serialized state is text, not bytes"),
    "empty": (lambda m: "", "does not begin with"),
    "other-rules": (lambda m: _text(rules="legal"), "serialized with rules='legal'; this game has 'dark'"),
    "other-cap": (lambda m: _text(max_plies=9), "serialized with max_plies='9'; this game has '4'"),
    "other-fen": (lambda m: _text(fen=PROMOTIONS), "serialized with fen="),
    "uci-moves": (lambda m: _text(moves="e2e4"), "are not comma-separated move codes: 'e2e4'"),
    "negative-move": (lambda m: _text(moves="-1"), "are not comma-separated move codes"),
    "huge-move": (lambda m: _text(moves="9" * 400), "are not comma-separated move codes"),
    "illegal-move": (lambda m: _text(moves=f"{E2E4},{E2E4}"), f"move 1 ({E2E4}) is not legal in its position"),
    "after-the-end": (lambda m: _text(moves=f"{E2E4},{E7E5},{G1F3},{B8C6},{F1C4}"),
                      f"move 4 ({F1C4}) comes after the end of the game"),
}


@pytest.mark.parametrize("case", CRAFTED)
def test_deserialize_state_reads_only_its_own_text(tmp_path, case):
    game = pyspiel.load_game(qos.GAME_NAME, {"max_plies": 4})
    make, message = CRAFTED[case]
    marker = tmp_path / "marker"
    with pytest.raises(ValueError) as info:
        game.deserialize_state(make(str(marker)))
    assert message in str(info.value)
    assert not marker.exists()


@pytest.mark.parametrize("params", GAMES)
def test_a_state_round_trips_through_its_text_and_pickle(params):
    import pickle

    game = pyspiel.load_game(qos.GAME_NAME, params)
    for plies in (0, 7, 40):
        state = _played(game, plies)
        text = state.serialize()
        assert text.startswith("quellor-fog-chess-state 1\n") and "__dict__" not in text
        for copy in (game.deserialize_state(text), pickle.loads(pickle.dumps(state))):
            assert copy.history() == state.history() and str(copy) == str(state)
            assert copy.information_state_string(1) == state.information_state_string(1)
            assert copy.serialize() == text


def test_no_action_after_the_end():
    game = pyspiel.load_game(qos.GAME_NAME, {"max_plies": 4})
    state = _played(game, 4)
    assert state.is_terminal()
    text, history, returns = state.serialize(), state.history(), state.returns()
    for action in (E2E4, 0):
        with pytest.raises(ValueError, match="the game is over: no action can be applied"):
            state.apply_action(action)
    assert (state.serialize(), state.history(), state.returns()) == (text, history, returns)


@pytest.mark.parametrize("seed", range(3))
def test_a_resampled_state_looks_the_same_to_its_player(seed):
    """resample_from_infostate draws from the player's belief: at every ply of a random game the
    drawn state gives the player the same information state string and the same moves, and
    plays on as a game of its own."""
    game = pyspiel.load_game(qos.GAME_NAME, {"max_plies": 40})
    state = game.new_initial_state()
    rng = np.random.default_rng(seed)
    sampler = pyspiel.UniformProbabilitySampler(0.0, 1.0)
    differed = 0
    while not state.is_terminal():
        player = state.current_player()
        drawn = state.resample_from_infostate(player, sampler)
        assert drawn.information_state_string(player) == state.information_state_string(player)
        assert drawn.legal_actions() == state.legal_actions()
        differed += drawn.fen().split()[0] != state.fen().split()[0]
        drawn.apply_action(drawn.legal_actions()[0])
        state.apply_action(int(rng.choice(state.legal_actions())))
    # The fog hides something after the first plies: some draws are other positions.
    assert differed > 0


def test_openspiel_python_ismcts_plays_on_resampled_states():
    """OpenSpiel's own IS-MCTS bot (the Python one: its C++ bot cannot reach a Python game's
    resampling) plays against random play: every move it picks is legal in the true game."""
    from open_spiel.python.algorithms import ismcts, mcts

    game = pyspiel.load_game(qos.GAME_NAME, {"max_plies": 16})
    evaluator = mcts.RandomRolloutEvaluator(1, np.random.RandomState(0))
    bot = ismcts.ISMCTSBot(game, evaluator, 2.0, 8, random_state=np.random.RandomState(1))
    rng = np.random.default_rng(2)
    for g in range(2):
        state = game.new_initial_state()
        while not state.is_terminal():
            if state.current_player() == g % 2:
                action = int(bot.step(state))
                assert action in state.legal_actions()
            else:
                action = int(rng.choice(state.legal_actions()))
            state.apply_action(action)
        assert len(state.history()) <= 16
