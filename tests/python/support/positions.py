"""Positions chosen to exercise the rules, random games, and the fog-of-war oracle.

The oracle here is written from the visibility rules with python-chess's attack sets; it shares
no code with the extension.
"""

import random

import chess

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
START_FEN_BLACK = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"

PLANE_ROWS = 64
PLANE_COLS = 13
PLANE_LEN = PLANE_ROWS * PLANE_COLS
FRAMES = 8
HIDDEN = 12

# Positions chosen to exercise one visibility or board rule each.
TELLING_FENS = [
    START_FEN,
    START_FEN_BLACK,
    # After 1. e4: Black cannot see the pawn on e4.
    "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
    # Pawns facing each other on e4/e5, both sides to move.
    "4k3/8/8/4p3/4P3/8/8/4K3 w - - 0 1",
    "4k3/8/8/4p3/4P3/8/8/4K3 b - - 0 1",
    # Pawn on its start square with a blocker right ahead (own, then enemy).
    "4k3/8/8/8/8/4N3/4P3/K7 w - - 0 1",
    "4k3/8/8/8/8/4n3/4P3/K7 w - - 0 1",
    # Blocker two squares ahead: the double step still sees it.
    "4k3/8/8/8/4n3/8/4P3/K7 w - - 0 1",
    # Black pawn on its start square, blocked and unblocked.
    "k7/3p4/3P4/8/8/8/8/4K3 b - - 0 1",
    "k7/3p4/8/8/8/8/8/4K3 b - - 0 1",
    # Rook ray stopping at an enemy piece, at an own piece.
    "4k3/8/8/8/8/8/8/R3K3 w - - 0 1",
    "4k3/8/8/n7/8/8/8/R3K3 w - - 0 1",
    "4k3/8/8/N7/8/8/8/R3K3 w - - 0 1",
    # The same rook layouts seen by Black, whose rows are flipped.
    "r3k3/8/8/N7/8/8/8/4K3 b - - 0 1",
    "r3k3/8/8/n7/8/8/8/4K3 b - - 0 1",
    # Bishops and queens behind and in front of pieces of both colours.
    "4k3/8/2p3P1/8/4B3/8/2P5/4K3 w - - 0 1",
    "3qk3/8/3P4/8/3Q4/8/8/4K3 w - - 0 1",
    "3qk3/8/3P4/8/3Q4/8/8/4K3 b - - 0 1",
    # Knights in the corner and in the centre.
    "N3k3/8/8/3n4/8/8/8/4K2N w - - 0 1",
    "N3k3/8/8/3n4/8/8/8/4K2N b - - 0 1",
    # Pawns on edge files, pawns on the last and first ranks.
    "4k3/P6P/8/8/8/8/p6p/4K3 w - - 0 1",
    "4k3/P6P/8/8/8/8/p6p/4K3 b - - 0 1",
    "P3k3/8/8/8/8/8/8/p3K2P w - - 0 1",
    "P3k3/8/8/8/8/8/8/p3K2P b - - 0 1",
    # Side to move in check; a pinned piece sees as if free.
    "4k3/8/8/8/8/8/4r3/4K3 w - - 0 1",
    "4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1",
    # Rich middlegame positions (the perft set).
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    # Lone kings at the edge.
    "7k/8/8/8/8/8/8/K7 w - - 0 1",
    "7k/8/8/8/8/8/8/K7 b - - 0 1",
]

RICH_FENS = [
    START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
]


def random_fens(seed, plies_per_game=60, take_every=7):
    """FENs met while playing seeded random legal moves from each rich position."""
    rng = random.Random(seed)
    fens = []
    for start in RICH_FENS:
        board = chess.Board(start)
        for ply in range(plies_per_game):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
            if ply % take_every == take_every - 1:
                fens.append(board.fen())
    return fens


def random_game(seed, start, plies):
    """The python-chess Moves of a seeded random legal game of at most `plies` plies."""
    rng = random.Random(seed)
    board = chess.Board(start)
    moves = []
    for _ in range(plies):
        legal = list(board.legal_moves)
        if not legal:
            break
        move = rng.choice(legal)
        moves.append(move)
        board.push(move)
    return moves


def observer_row(square, white_observer):
    return square if white_observer else square ^ 56


def visible_squares(board):
    """Squares the side to move sees: own squares, attack sets, pawn steps ahead."""
    me = board.turn
    seen = set()
    step = 8 if me == chess.WHITE else -8
    start_rank = 1 if me == chess.WHITE else 6
    for square, piece in board.piece_map().items():
        if piece.color != me:
            continue
        seen.add(square)
        # Pawn diagonals regardless of occupancy; sliders up to and including the
        # first piece of either colour; leapers everything in reach.
        seen.update(board.attacks(square))
        if piece.piece_type == chess.PAWN:
            ahead = square + step
            if 0 <= ahead < 64:
                seen.add(ahead)
                if chess.square_rank(square) == start_rank and board.piece_at(ahead) is None:
                    seen.add(ahead + step)
    return seen


def expected_plane(fen):
    """The 64x13 plane of `fen` as seen by its side to move, as nested float lists."""
    board = chess.Board(fen)
    me = board.turn
    seen = visible_squares(board)
    plane = [[0.0] * PLANE_COLS for _ in range(PLANE_ROWS)]
    for square in chess.SQUARES:
        row = plane[observer_row(square, me == chess.WHITE)]
        if square not in seen:
            row[HIDDEN] = 1.0
            continue
        piece = board.piece_at(square)
        if piece is not None:
            kind = piece.piece_type - 1  # python-chess counts from 1
            row[kind if piece.color == me else 6 + kind] = 1.0
    return plane


def frames(game):
    """The eight 64x13 frames of game.encode(), oldest first, as nested float lists."""
    rows = game.encode().tolist()
    return [[row[13 * k : 13 * k + 13] for row in rows] for k in range(FRAMES)]


def newest_frame(game):
    return frames(game)[-1]


def filled_plane(value):
    """A nested 64x13 plane holding `value` everywhere."""
    return [[float(value)] * PLANE_COLS for _ in range(PLANE_ROWS)]


def numbered_plane(offset=0.0):
    """A nested 64x13 plane whose element (r, c) is r * 13 + c + offset."""
    return [[float(r * 13 + c + offset) for c in range(PLANE_COLS)] for r in range(PLANE_ROWS)]


def flatten(plane):
    return [v for row in plane for v in row]


def board_view(fen):
    """The 8x8 signed piece-code list of `fen` computed from python-chess."""
    board = chess.Board(fen)
    view = [[0] * 8 for _ in range(8)]
    for square, piece in board.piece_map().items():
        code = piece.piece_type  # Pawn 1 .. King 6
        view[7 - chess.square_rank(square)][chess.square_file(square)] = (
            code if piece.color == chess.WHITE else -code
        )
    return view


def action_slot(uci, white_to_move):
    """The policy slot of a move text from python-chess's reading of it."""
    move = chess.Move.from_uci(uci)
    f, t = move.from_square, move.to_square
    if not white_to_move:
        f, t = chess.square_mirror(f), chess.square_mirror(t)
    if move.promotion is None:
        return f * 64 + t
    k = {chess.QUEEN: 0, chess.ROOK: 1, chess.BISHOP: 2, chess.KNIGHT: 3}[move.promotion]
    return 4096 + f * 4 + k
