"""Checks a self-play run on disk against a replay of its games.

Each game is replayed from the moves in the summary, both with quellor and with python-chess;
every row of the data file must hold the observation, action slot and value that the replay
gives at that ply, and every game must end the way python-chess says it ended.
"""

import json

import chess
import torch

import quellor
from quellor_selfplay import DATA_FILE, SUMMARY_FILE

RESULT_FOR_WHITE = {"1-0": 1.0, "0-1": -1.0, "1/2-1/2": 0.0}


def load_run(out_dir):
    data = torch.load(out_dir / DATA_FILE, weights_only=True)
    summary = json.loads((out_dir / SUMMARY_FILE).read_text())
    return data, summary


def check_run(out_dir, max_plies):
    """Loads a run the way a learner would and checks every row; returns (data, summary)."""
    data, summary = load_run(out_dir)
    rows = summary["positions"]
    assert sorted(data) == ["actions", "game", "observations", "ply", "values"]
    assert data["observations"].shape == (rows, 64, 106)
    assert data["observations"].dtype == torch.float32
    for key, dtype in (("actions", torch.int64), ("values", torch.float32),
                       ("game", torch.int64), ("ply", torch.int64)):
        assert data[key].shape == (rows,), key
        assert data[key].dtype == dtype, key

    row = 0
    for record in summary["game_records"]:
        assert record["first_row"] == row
        game = quellor.SelfPlayGame(record["start_fen"])
        board = chess.Board(record["start_fen"] or chess.STARTING_FEN)
        white_value = RESULT_FOR_WHITE[record["result"]]
        for ply, uci in enumerate(record["moves"]):
            legal = game.legal_actions()
            action = int(data["actions"][row])
            assert action in {game.action_index(move) for move in legal}
            assert uci in {move.uci() for move in legal}
            assert game.action_index(uci) == action
            assert torch.equal(data["observations"][row], game.encode())
            expected_value = white_value if game.turn else -white_value
            assert float(data["values"][row]) == expected_value
            assert int(data["game"][row]) == record["game"]
            assert int(data["ply"][row]) == ply
            game.apply(uci)
            board.push_uci(uci)
            row += 1
        assert record["plies"] == len(record["moves"])
        ending = record["ending"]
        if ending == "checkmate":
            assert board.is_checkmate()
            assert record["result"] == ("0-1" if board.turn == chess.WHITE else "1-0")
        elif ending == "stalemate":
            assert board.is_stalemate()
            assert record["result"] == "1/2-1/2"
        else:
            assert ending == "ply cap"
            assert record["plies"] == max_plies
            assert any(board.legal_moves)
            assert record["result"] == "1/2-1/2"
    assert row == rows
    return data, summary
