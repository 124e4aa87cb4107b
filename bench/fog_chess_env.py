"""A straightforward fog-of-war chess environment written with python-chess: the environment a
user would write instead of using quellor, kept as the peer of the self-play benchmarks.

It keeps the same record as quellor's SelfPlayGame: the board, and the last eight 64 x 13
visibility planes, each seen by the side to move when it was made (rows are squares from that
side's point of view, rank-mirrored for Black; channels 0-5 own pieces, 6-11 enemy pieces, 12
hidden). Legal moves, move making and attack sets are python-chess's own; the observation is
the same 64 x 106 nested list handed to torch.tensor.
"""

import collections

import chess

HISTORY_LEN = 8
CHANNELS = 13

_RANK_2 = chess.BB_RANK_2
_RANK_7 = chess.BB_RANK_7


def visible_squares(board):
    """The squares the side to move sees, as a python-chess bitboard."""
    us = board.turn
    own = board.occupied_co[us]
    seen = own
    for square in chess.scan_forward(own):
        seen |= board.attacks_mask(square)
    pawns = board.pawns & own
    empty = ~board.occupied & chess.BB_ALL
    if us == chess.WHITE:
        seen |= (pawns << 8) & chess.BB_ALL
        seen |= (((pawns & _RANK_2) << 8) & empty) << 8
    else:
        seen |= pawns >> 8
        seen |= (((pawns & _RANK_7) >> 8) & empty) >> 8
    return seen


def plane(board):
    """The 64 x 13 visibility plane of the side to move, as nested lists of floats."""
    us = board.turn
    flip = 0 if us == chess.WHITE else 56
    seen = visible_squares(board)
    rows = [[0.0] * CHANNELS for _ in range(64)]
    for square in range(64):
        row = rows[square ^ flip]
        if not (seen >> square) & 1:
            row[12] = 1.0
            continue
        piece = board.piece_at(square)
        if piece is not None:
            row[piece.piece_type - 1 + (0 if piece.color == us else 6)] = 1.0
    return rows


class FogChessEnv:
    """One game: python-chess board plus the last eight visibility planes."""

    def __init__(self, fen=chess.STARTING_FEN):
        self.board = chess.Board(fen)
        self.history = collections.deque(maxlen=HISTORY_LEN)
        self.history.append(plane(self.board))

    def legal_actions(self):
        return list(self.board.legal_moves)

    def apply(self, move):
        self.board.push(move)
        self.history.append(plane(self.board))

    def is_terminal(self):
        return self.board.king(chess.WHITE) is None or self.board.king(chess.BLACK) is None

    def clone(self):
        other = FogChessEnv.__new__(FogChessEnv)
        other.board = self.board.copy(stack=False)
        other.history = collections.deque(self.history, maxlen=HISTORY_LEN)
        return other

    def observation(self):
        """The 64 x 106 nested list: eight frames (the oldest repeated while fewer are held)
        interleaved by row, then the side to move's castling flags in rows 0 and 1."""
        frames = list(self.history)
        frames = [frames[0]] * (HISTORY_LEN - len(frames)) + frames
        board = self.board
        king_side = 1.0 if board.has_kingside_castling_rights(board.turn) else 0.0
        queen_side = 1.0 if board.has_queenside_castling_rights(board.turn) else 0.0
        rows = []
        for r in range(64):
            row = []
            for frame in frames:
                row.extend(frame[r])
            flag = king_side if r == 0 else queen_side if r == 1 else 0.0
            row.append(flag)
            row.append(flag)
            rows.append(row)
        return rows

    def encode(self):
        import torch

        return torch.tensor(self.observation(), dtype=torch.float32)
