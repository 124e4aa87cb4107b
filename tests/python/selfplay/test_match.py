"""quellor-selfplay match: Elo and its interval on fixed outcomes, colours and sides kept apart,
and the command."""

import io
import json
import math
import sys

import chess
import numpy as np
import pytest
import torch
from torch import nn

from quellor_selfplay.codes import SQUARE_CODES
from quellor_selfplay.config import GameConfig
from quellor_selfplay.commands.cli import main
from quellor_selfplay.match import MatchResult, play_match, tally
from quellor_selfplay.net import save_checkpoint, seeded_net
from quellor_selfplay.players import PlayerConfig

ENEMY_KING = 91 + 11  # the newest frame's enemy-king channel
NEWEST_CODE = SQUARE_CODES - 2  # the newest frame's column of square codes


# Worked out by hand from E(s) = -400 log10(1/s - 1) and s -/+ 1.96 sd / sqrt(N):
#   60/20/20: s = 0.7, per-game variance (60 x 0.09 + 20 x 0.04 + 20 x 0.49) / 100 = 0.16, so
#     sigma = 0.04 and the interval is E(0.6216) .. E(0.7784).
#   10/0/0: counted as 9.5 wins and half a loss: s = 0.95, variance (9.5 x 0.0025 + 0.5 x
#     0.9025) / 10 = 0.0475, sigma = 0.06892; the upper end E(1.085) is held at E(1 - 1/20).
#   1/0/1: s = 0.5, variance 0.25, sigma = 0.3536: both ends beyond 1/4 and 3/4 are held there.
@pytest.mark.parametrize(
    "wins, draws, losses, score, elo_, low, high",
    [
        (60, 20, 20, 0.7, 147.19, 86.23, 218.25),
        (10, 0, 0, 1.0, 511.50, 257.50, 511.50),
        (0, 0, 10, 0.0, -511.50, -511.50, -257.50),
        (0, 10, 0, 0.5, 0.0, 0.0, 0.0),
        (1, 0, 1, 0.5, 0.0, -190.85, 190.85),
        (330, 40, 30, 0.875, 338.04, 296.65, 388.49),
    ],
)
def test_score_and_elo_on_fixed_outcomes(wins, draws, losses, score, elo_, low, high):
    result = MatchResult(wins, draws, losses)
    assert result.games == wins + draws + losses
    assert result.score == pytest.approx(score)
    assert result.elo == pytest.approx(elo_, abs=0.01)
    assert result.elo_interval == pytest.approx((low, high), abs=0.01)
    assert all(math.isfinite(x) for x in (result.elo, *result.elo_interval))


@pytest.mark.parametrize(
    "wins, draws, losses, low, high",
    [(60, 20, 20, 0.6216, 0.7784), (10, 0, 0, 0.8649, 1.0), (0, 10, 0, 0.5, 0.5), (1, 0, 1, 0.0, 1.0)],
)
def test_the_score_interval_is_the_mean_within_two_standard_errors(wins, draws, losses, low, high):
    assert MatchResult(wins, draws, losses).score_interval == pytest.approx((low, high), abs=1e-4)


def test_tally_counts_from_a_side_and_colour():
    # White's results of six games, and whether A had White in each.
    results = np.array([1, 1, -1, 0, -1, 1])
    a_white = np.array([True, False, True, False, False, True])
    result = tally(results, a_white)
    # A: won 0 (White), lost 1 (Black), lost 2 (White), drew 3 (Black), won 4 (Black), won 5 (White).
    assert (result.wins, result.draws, result.losses) == (3, 1, 2)
    assert result.white == (2, 0, 1) and result.black == (1, 1, 1)


class KingTaker(nn.Module):
    """Takes the enemy king whenever it stands on a square the mover sees; otherwise uniform."""

    def forward(self, observations: torch.Tensor) -> torch.Tensor:
        king = observations[:, :, 102]
        b = observations.shape[0]
        moves = (100.0 * king)[:, None, :].expand(b, 64, 64).reshape(b, 4096)
        return torch.cat([moves, torch.zeros(b, 256)], dim=1)


def scripted(module):
    buffer = io.BytesIO()
    with pytest.warns(DeprecationWarning):
        torch.jit.save(torch.jit.script(module), buffer)
    return PlayerConfig("script", "king-taker", script=buffer.getvalue())


@pytest.mark.parametrize("layout", ["own", "history"])
def test_sides_and_colours_stay_apart(layout):
    """A player that takes every king it sees beats random play with both colours, and the same
    games seen from the other side are the mirror image."""
    table = GameConfig("dark", layout, 300)
    taker, random = scripted(KingTaker()), PlayerConfig.random()
    ahead = play_match(taker, random, 40, table, lanes=16, seed=1)
    behind = play_match(random, taker, 40, table, lanes=16, seed=1)
    assert ahead.games == behind.games == 40
    assert ahead.white[0] > ahead.white[2] and ahead.black[0] > ahead.black[2]
    assert ahead.score > 0.7 and behind.score < 0.3
    assert behind.white[2] > behind.white[0] and behind.black[2] > behind.black[0]


def test_random_against_itself_is_even():
    result = play_match(PlayerConfig.random(), PlayerConfig.random(), 200, GameConfig("dark", "own", 300), 64, seed=2)
    low, high = result.elo_interval
    assert low < 0 < high


USER_BOTS = """
import numpy as np
import torch

from quellor_selfplay import Decision, Player, Reads

NOT_CALLABLE = 3
MOVES = []
# What the players of the new interface were handed, turn by turn.
CODES_SEEN = []
BELIEFS_SEEN = []


class FirstSlot:
    \"\"\"Plays the lowest legal slot of every game.\"\"\"

    uses_random_actions = False

    def act(self, observations, masks, generator, random_slots):
        slots = masks.to(dtype=__import__("torch").uint8).argmax(dim=1).numpy().astype(np.int64)
        MOVES.extend(slots.tolist())
        return slots, np.zeros(len(slots), dtype=np.float32)


class NoAct:
    uses_random_actions = False


class Broken:
    def __init__(self):
        raise RuntimeError("no weights")


class DecidesAlone:
    \"\"\"decide() without being a Player: neither interface.\"\"\"

    reads = Reads.NOTHING

    def decide(self, turn):
        raise AssertionError("never asked")


def first_legal(turn):
    # rows ascend, so each game's first entry is where its row first appears
    return turn.slots.numpy()[np.searchsorted(turn.rows.numpy(), np.arange(len(turn)))]


class KingHunter(Player):
    \"\"\"Reads square codes alone: takes the enemy king where the newest frame shows it,
    otherwise plays a uniformly drawn legal slot.\"\"\"

    reads = Reads.CODES

    def decide(self, turn):
        codes = turn.codes
        CODES_SEEN.append((codes.clone(), turn.newest.copy(), turn.observations, turn.masks, turn.random,
                           turn.beliefs))
        rows, slots = turn.rows.numpy(), turn.slots.numpy()
        draw = torch.rand(len(rows), generator=turn.generator).numpy()
        # enemy king: channel 11 of the newest frame (column 7)
        on_king = (slots < 4096) & (codes.numpy()[rows, slots % 64, 7] == 11)
        order = np.lexsort((-(draw + 2 * on_king), rows))
        chosen = slots[order[np.searchsorted(rows[order], np.arange(len(turn)))]]
        return Decision(chosen.astype(np.int64), np.zeros(len(turn), dtype=np.float32))


class Believer(Player):
    \"\"\"Reads its side's beliefs alone and plays each game's first legal slot.\"\"\"

    reads = Reads.BELIEFS
    belief_cap = 500

    def decide(self, turn):
        # a capped belief may have lost every position it kept: then there is none to draw
        drawn = [(b.game, b.side, b.size, b.sample(1, seed=len(BELIEFS_SEEN)) if b.size else [])
                 for b in turn.beliefs]
        BELIEFS_SEEN.append((turn.games.copy(), turn.white.copy(), turn.newest.copy(), drawn, turn.observations,
                             turn.codes, turn.masks))
        return Decision(first_legal(turn).astype(np.int64), np.zeros(len(turn), dtype=np.float32))
"""


def user_bots(tmp_path, monkeypatch):
    (tmp_path / "user_bots.py").write_text(USER_BOTS)
    monkeypatch.syspath_prepend(str(tmp_path))
    # A fresh module each test, so that what its players record is this test's alone.
    monkeypatch.delitem(sys.modules, "user_bots", raising=False)


def test_a_player_of_the_users_own_plays_a_match(tmp_path, capsys, monkeypatch):
    user_bots(tmp_path, monkeypatch)
    import user_bots as bots

    status = main(["match", "user_bots:FirstSlot", "random", "--games", "6", "--max-plies", "40", "--batch", "3",
                   "--no-progress", "--json", str(tmp_path / "m.json")])
    assert status == 0
    assert "A: user_bots:FirstSlot" in capsys.readouterr().out
    saved = json.loads((tmp_path / "m.json").read_text())
    assert saved["games"] == 6
    # Every move of A's side came from the user's player: at least one per game it played.
    assert len(bots.MOVES) >= 6 and all(0 <= slot < 4352 for slot in bots.MOVES)


def newest_codes(newest):
    """(k, 64) the channel each square shows in the newest frames' bitboards, 13 where none."""
    bits = (newest[:, :13, None] >> np.arange(64)) & 1
    return np.where(bits.any(axis=1), bits.argmax(axis=1), 13)


def test_a_player_of_the_users_own_that_reads_codes_is_handed_them(tmp_path, capsys, monkeypatch):
    """The segment's fast path, square codes in place of observations, serves a user's player
    named on the command line: it is handed codes of its own games and nothing else it did not
    ask for, and a king it sees in them is one it can take."""
    user_bots(tmp_path, monkeypatch)
    import user_bots as bots

    status = main(["match", "user_bots:KingHunter", "random", "--games", "40", "--batch", "8", "--no-progress",
                   "--json", str(tmp_path / "m.json")])
    assert status == 0
    assert bots.CODES_SEEN
    for codes, newest, *unasked in bots.CODES_SEEN:
        assert unasked == [None] * 4
        assert codes.dtype == torch.uint8 and codes.shape == (len(newest), 64, SQUARE_CODES)
        assert np.array_equal(codes[:, :, NEWEST_CODE].numpy(), newest_codes(newest))
        flags = codes[:, :, SQUARE_CODES - 1].numpy()
        assert np.array_equal(flags[:, 0], newest[:, 13] & 1) and np.array_equal(flags[:, 1], newest[:, 13] >> 1 & 1)
        assert not flags[:, 2:].any()
    # Codes of some other game, or garbage, would find no king to take: the hunter would play as
    # random play does.
    saved = json.loads((tmp_path / "m.json").read_text())
    assert saved["games"] == 40 and saved["score"] > 0.7


def test_a_player_of_the_users_own_that_reads_beliefs_gets_its_sides_own(tmp_path, capsys, monkeypatch):
    """Under the dark rules a user's player that declares Reads.BELIEFS gets one belief per game,
    of that game and the side to move, kept at its belief_cap: a position drawn from it has the
    mover's pieces where the mover sees them."""
    user_bots(tmp_path, monkeypatch)
    import user_bots as bots

    status = main(["match", "user_bots:Believer", "random", "--games", "4", "--max-plies", "40", "--batch", "4",
                   "--no-progress"])
    assert status == 0
    sides, drawn_positions = set(), 0
    for games, white, newest, drawn, *unasked in bots.BELIEFS_SEEN:
        assert unasked == [None] * 3
        assert [(game, side) for game, side, _, _ in drawn] == [
            (game, "white" if w else "black") for game, w in zip(games.tolist(), white.tolist())]
        for (_, side, size, fens), own in zip(drawn, newest):
            assert size <= bots.Believer.belief_cap
            sides.add(side)
            for fen in fens:
                drawn_positions += 1
                board = chess.Board(fen)
                assert board.turn == (side == "white")
                for kind in range(6):
                    mask = board.pieces_mask(kind + 1, board.turn)
                    seen = mask if board.turn else chess.flip_vertical(mask)
                    assert seen == int(own[kind]) & (2**64 - 1), (fen, kind)
    assert sides == {"white", "black"} and drawn_positions > 20


def test_a_player_of_the_users_own_that_reads_beliefs_plays_the_dark_rules_only(tmp_path, capsys, monkeypatch):
    user_bots(tmp_path, monkeypatch)
    assert main(["match", "random", "user_bots:Believer", "--rules", "legal", "--no-progress"]) == 2
    assert ("user_bots:Believer reads beliefs of the positions its side cannot rule out, which only fog-of-war "
            "games have: use --rules dark, not legal") in capsys.readouterr().err


def test_the_command_prints_and_writes_the_result(tmp_path, capsys):
    net = seeded_net(seed=1, arch="squares", config={"channels": 8, "blocks": 1, "keys": 4})
    save_checkpoint(net, tmp_path / "net.pt", observation="own")
    status = main(["match", str(tmp_path / "net.pt"), "random", "--games", "10", "--max-plies", "60",
                   "--batch", "4", "--no-progress", "--json", str(tmp_path / "m.json")])
    out = capsys.readouterr().out
    assert status == 0
    saved = json.loads((tmp_path / "m.json").read_text())
    assert saved["games"] == 10 and saved["observation"] == "own"
    assert saved["wins"] + saved["draws"] + saved["losses"] == 10
    assert f"total            10 {saved['wins']:>6} {saved['draws']:>6} {saved['losses']:>7}" in out
    assert "Elo difference A - B: " in out and "95% interval" in out
    assert saved["as_white"][0] + saved["as_black"][0] == saved["wins"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.pt", "random"], "checkpoint missing.pt does not exist"),
        (["random", "random", "--games", "0"], "argument --games: must be at least 1"),
        (["OWN", "HISTORY"], "trained on different observations"),
        (["OWN", "random", "--observation", "history"], "a checkpoint was trained on 'own'"),
        (["random", "random", "--json", "no/such/dir/m.json"], "its directory does not exist"),
        (["no_such_module:Bot", "random"], "player no_such_module:Bot: cannot import no_such_module"),
        (["user_bots:Missing", "random"], "player user_bots:Missing: user_bots has no Missing"),
        (["user_bots:NOT_CALLABLE", "random"], "player user_bots:NOT_CALLABLE: NOT_CALLABLE is not callable"),
        (["random", "user_bots:NoAct"], "NoAct() made a NoAct, which lacks the player interface: a "
                                        "quellor_selfplay.Player with decide(turn), or act(observations, masks, "
                                        "generator, random_slots) and a bool uses_random_actions"),
        (["user_bots:DecidesAlone", "random"], "player user_bots:DecidesAlone: DecidesAlone() made a DecidesAlone, "
                                               "which has decide() but is no quellor_selfplay.Player: subclass "
                                               "Player and set its reads (or give it act(observations, masks, "
                                               "generator, random_slots) and a bool uses_random_actions)"),
        (["grredy", "random"], "unknown player 'grredy': expected random, greedy, bold, script:PATH, "
                               "search[...]:PATH, module:callable or a checkpoint file"),
        (["random", "user_bots:Broken"], "player user_bots:Broken: Broken() failed: RuntimeError: no weights"),
    ],
)
def test_the_command_refuses_bad_input(tmp_path, capsys, monkeypatch, args, message):
    user_bots(tmp_path, monkeypatch)
    for layout in ("own", "history"):
        save_checkpoint(seeded_net(seed=0, hidden=4), tmp_path / f"{layout}.pt", observation=layout)
    args = [str(tmp_path / f"{a.lower()}.pt") if a in ("OWN", "HISTORY") else a for a in args]
    try:
        status = main(["match", *args, "--no-progress"])
    except SystemExit as exit_:
        status = exit_.code
    assert status == 2
    assert message in capsys.readouterr().err
