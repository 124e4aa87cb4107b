"""How a game of SelfPlayGame ends when nothing is left to play.

`SelfPlayGame.legal_actions()` never leaves a king attacked, so a game played through it ends
where the list is empty, and the list does not say why: checkmate, a loss for the side to move,
when its king is attacked, stalemate, a draw, otherwise. `king_attacked` tells them apart from
the game's `board` view. (GameBatch reports its endings itself, in `GameBatch.ending`.)
"""

from __future__ import annotations

from collections.abc import Sequence

from quellor_selfplay.codes import CHECKMATE, ENDINGS, KING_CAPTURED, PLY_CAP, STALEMATE

__all__ = ["king_attacked", "ENDINGS", "KING_CAPTURED", "CHECKMATE", "STALEMATE", "PLY_CAP"]

KNIGHT_STEPS = ((1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2))
KING_STEPS = ((1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1))
ROOK_RAYS = ((1, 0), (-1, 0), (0, 1), (0, -1))
BISHOP_RAYS = ((1, 1), (1, -1), (-1, 1), (-1, -1))
PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING = range(1, 7)


def king_attacked(view: Sequence[Sequence[int]], white: bool) -> bool:
    """Whether the king of one colour stands attacked on a board view.

    `view` is `SelfPlayGame.board`: 8 rows of 8 signed piece codes, row 0 = rank 8, positive
    codes White. A side without a king is not attacked.
    """
    own_king = KING if white else -KING
    enemy = -1 if white else 1
    spot = next(
        ((r, c) for r in range(8) for c in range(8) if view[r][c] == own_king), None
    )
    if spot is None:
        return False
    row, col = spot

    def enemy_at(r: int, c: int, kinds: tuple[int, ...]) -> bool:
        return 0 <= r < 8 and 0 <= c < 8 and view[r][c] * enemy in kinds

    # Rows count down the ranks, so an enemy pawn that attacks the White king stands one
    # row above it (a Black pawn moves down) and one that attacks the Black king one row below.
    pawn_row = row - 1 if white else row + 1
    if enemy_at(pawn_row, col - 1, (PAWN,)) or enemy_at(pawn_row, col + 1, (PAWN,)):
        return True
    if any(enemy_at(row + dr, col + dc, (KNIGHT,)) for dr, dc in KNIGHT_STEPS):
        return True
    if any(enemy_at(row + dr, col + dc, (KING,)) for dr, dc in KING_STEPS):
        return True
    for rays, kinds in ((ROOK_RAYS, (ROOK, QUEEN)), (BISHOP_RAYS, (BISHOP, QUEEN))):
        for dr, dc in rays:
            r, c = row + dr, col + dc
            while 0 <= r < 8 and 0 <= c < 8:
                if view[r][c] != 0:
                    if view[r][c] * enemy in kinds:
                        return True
                    break
                r, c = r + dr, c + dc
    return False
