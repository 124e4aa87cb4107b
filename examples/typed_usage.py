"""Every member of quellor.SelfPlayGame, with the types its stubs give them.

`mypy --strict examples/typed_usage.py` checks it; running it plays one short random game.
"""

from __future__ import annotations

import random

import chess
import torch

import quellor


def policy_slots(game: quellor.SelfPlayGame) -> list[int]:
    moves: list[chess.Move] = game.legal_actions()
    return [game.action_index(move) for move in moves]


def play(seed: int, max_plies: int = 40) -> tuple[list[torch.Tensor], float]:
    rng = random.Random(seed)
    game = quellor.SelfPlayGame()
    observations: list[torch.Tensor] = []
    while not game.is_terminal() and len(observations) < max_plies:
        moves = game.legal_actions()
        if not moves:
            break
        observations.append(game.encode())
        game.apply(rng.choice(moves))
    white: bool = game.current_player()
    value: float = game.terminal_value(player_is_white=white)
    return observations, value


def main() -> None:
    start = quellor.SelfPlayGame(chess.Board())
    from_text = quellor.SelfPlayGame(board="4k3/8/8/8/8/8/4P3/4K3 w - - 0 1")
    with_history = quellor.SelfPlayGame(None, history_tensors=[start.encode()[:, 91:104]])
    kingside, queenside = start.castle_eligible()
    copy: quellor.SelfPlayGame = start.clone()
    copy.apply("e2e4")
    copy.apply(chess.Move.from_uci("e7e5"))
    slot: int = copy.action_index("g1f3")
    rows: list[list[int]] = from_text.board
    to_move: bool = with_history.turn
    observations, value = play(seed=7)
    print(
        f"castling {kingside}/{queenside}, g1f3 -> slot {slot}, e1 holds {rows[7][4]}, "
        f"White to move: {to_move}, {len(policy_slots(start))} opening slots, "
        f"{len(observations)} observations, value {value}"
    )


if __name__ == "__main__":
    main()
