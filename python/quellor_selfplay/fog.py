"""What each side saw at one ply of a recorded game, as text for a terminal or as SVG.

The game is replayed from its moves. At ply p the side to move's view is the newest plane of
`encode()`, and the other side's view is the plane it was given when it last moved, at ply p - 1
(the plane before it in the same tensor); at ply 0 the other side has seen nothing yet. Both are
read back from the planes alone: a hidden square shows nothing, and a seen square shows what its
plane says stands there. The true board is the game's `board` view at ply p.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Optional

import quellor
from quellor_selfplay.codes import HIDDEN_CHANNEL, NEWEST_FRAME, PREVIOUS_FRAME

PIECE_LETTERS = "pnbrqk"
HIDDEN_FILL = "#4a4a4acc"
BOARD_PIXELS = 300
CAPTION_PIXELS = 30


@dataclasses.dataclass
class SideView:
    """One side's plane, decoded: for each square (a1 = 0), None when hidden, else the signed
    piece code it shows (0 for a seen empty square)."""

    white: bool
    ply: int
    squares: list[Optional[int]]

    @property
    def name(self) -> str:
        return "White" if self.white else "Black"


@dataclasses.dataclass
class FogView:
    game: int
    ply: int
    plies: int
    white_to_move: bool
    last_move: Optional[str]
    board: list[list[int]]
    mover: SideView
    other: Optional[SideView]

    def side(self, white: bool) -> Optional[SideView]:
        return self.mover if self.mover.white == white else self.other


def decode_plane(plane: Sequence[Sequence[float]], white: bool, ply: int) -> SideView:
    """Reads a 64 x 13 plane whose rows are seen by `white` (rows are squares for White,
    squares mirrored by rank for Black)."""
    squares: list[Optional[int]] = [None] * 64
    for row, channels in enumerate(plane):
        square = row if white else row ^ 56
        if channels[HIDDEN_CHANNEL] == 1.0:
            continue
        code = 0
        for channel in range(12):
            if channels[channel] == 1.0:
                kind = channel % 6 + 1
                own = channel < 6
                code = kind if own == white else -kind
                break
        squares[square] = code
    return SideView(white, ply, squares)


def fog_view(
    moves: Sequence[str], ply: int, game: int = 0, start_fen: Optional[str] = None
) -> FogView:
    """Replays `moves` up to `ply` and reads both sides' views there."""
    if not 0 <= ply <= len(moves):
        raise ValueError(f"ply must lie in 0..{len(moves)} for game {game}")
    position = quellor.SelfPlayGame(start_fen)
    for move in moves[:ply]:
        position.apply(move)
    frames = position.encode().tolist()
    mover_white = position.turn
    mover = decode_plane([row[NEWEST_FRAME] for row in frames], mover_white, ply)
    other = None
    if ply > 0:
        other = decode_plane([row[PREVIOUS_FRAME] for row in frames], not mover_white, ply - 1)
    return FogView(
        game=game,
        ply=ply,
        plies=len(moves),
        white_to_move=mover_white,
        last_move=moves[ply - 1] if ply > 0 else None,
        board=position.board,
        mover=mover,
        other=other,
    )


def _letter(code: int) -> str:
    letter = PIECE_LETTERS[abs(code) - 1]
    return letter.upper() if code > 0 else letter


def _captions(view: FogView) -> list[str]:
    captions = [f"True board, ply {view.ply}"]
    for white in (True, False):
        side = view.side(white)
        name = "White" if white else "Black"
        if side is None:
            captions.append(f"{name}: nothing seen yet")
        elif side is view.mover:
            captions.append(f"{name} sees (ply {side.ply})")
        else:
            captions.append(f"{name} saw (ply {side.ply})")
    return captions


def _heading(view: FogView) -> str:
    mover = "White" if view.white_to_move else "Black"
    last = f", last move {view.last_move}" if view.last_move else ""
    return f"Game {view.game}, ply {view.ply} of {view.plies}: {mover} to move{last}"


def render_text(view: FogView) -> str:
    """Three boards side by side, rank 8 at the top: the true board, White's view, Black's.
    `#` is a hidden square, `.` an empty one, upper case White and lower case Black."""
    boards: list[list[str]] = []
    true_rows = [" ".join(_letter(c) if c else "." for c in row) for row in view.board]
    boards.append(true_rows)
    for white in (True, False):
        side = view.side(white)
        rows = []
        for rank in range(7, -1, -1):
            cells = []
            for file in range(8):
                code = None if side is None else side.squares[rank * 8 + file]
                cells.append("#" if code is None else _letter(code) if code else ".")
            rows.append(" ".join(cells))
        boards.append(rows)
    captions = _captions(view)
    width = max(18, *(len(caption) for caption in captions))
    lines = [_heading(view), ""]
    lines.append("   ".join(f"{caption:<{width}}" for caption in captions).rstrip())
    for i in range(8):
        lines.append("   ".join(f"{f'{8 - i}  {board[i]}':<{width}}" for board in boards).rstrip())
    lines.append("   ".join(f"{'   a b c d e f g h':<{width}}" for _ in boards).rstrip())
    lines.append("# hidden   . empty   upper case White, lower case Black")
    return "\n".join(lines) + "\n"


def _svg_board(board_view: Optional[list[list[int]]], side: Optional[SideView], last: Optional[str]) -> str:
    import chess
    import chess.svg

    board = chess.BaseBoard(None)
    fill: dict[int, str] = {}
    if board_view is not None:
        for i, row in enumerate(board_view):
            for j, code in enumerate(row):
                if code:
                    board.set_piece_at((7 - i) * 8 + j, chess.Piece(abs(code), code > 0))
    else:
        for square in range(64):
            shown = None if side is None else side.squares[square]
            if shown is None:
                fill[square] = HIDDEN_FILL
            elif shown:
                board.set_piece_at(square, chess.Piece(abs(shown), shown > 0))
    lastmove = chess.Move.from_uci(last) if last else None
    return chess.svg.board(board, fill=fill, lastmove=lastmove, size=BOARD_PIXELS)


def render_svg(view: FogView) -> str:
    """One SVG picture: the true board (with the last move marked), then what White and Black
    saw, hidden squares shaded."""
    boards = [
        _svg_board(view.board, None, view.last_move),
        _svg_board(None, view.side(True), None),
        _svg_board(None, view.side(False), None),
    ]
    gap = 20
    width = 3 * BOARD_PIXELS + 4 * gap
    height = BOARD_PIXELS + 2 * CAPTION_PIXELS + 2 * gap
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
        f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
        f'<rect width="{width}" height="{height}" fill="#ffffff"/>',
        f'<text x="{gap}" y="{gap + 14}" font-family="sans-serif" font-size="16" '
        f'font-weight="bold">{_escape(_heading(view))}</text>',
    ]
    top = gap + CAPTION_PIXELS
    for i, (svg, caption) in enumerate(zip(boards, _captions(view))):
        x = gap + i * (BOARD_PIXELS + gap)
        parts.append(
            f'<text x="{x + BOARD_PIXELS // 2}" y="{top + 16}" font-family="sans-serif" '
            f'font-size="15" text-anchor="middle">{_escape(caption)}</text>'
        )
        # A nested <svg> is a viewport of its own: placing it is all the layout needs.
        parts.append(svg.replace("<svg ", f'<svg x="{x}" y="{top + CAPTION_PIXELS}" ', 1))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
