"""Starting positions and seeded random walks shared by the Stockfish perft comparison and the
Python differential games, so that both look at the same positions.

Plain Python with no imports beyond the standard library: the perft comparison runs under
whatever interpreter CMake finds.
"""

import random

# The six standard perft positions.
STANDARD = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
]

# Positions where promotions, en passant, castling and checks come thick and fast.
RICH = [
    # Promotions for both sides, with and without captures, some giving check.
    "8/PPP4k/8/8/8/8/4Kppp/8 w - - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "2r1r3/1P1P1k2/8/8/8/8/1p1p1K2/2R1R3 w - - 0 1",
    "4k3/1P4P1/8/8/8/8/1p4p1/4K3 b - - 0 1",
    "2K2r2/4P3/8/8/8/8/8/3k4 w - - 0 1",
    # En passant: available at once, pinned along a rank or diagonal, or answering a check.
    "r3k2r/8/8/2pPp3/8/8/8/R3K2R w KQkq c6 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1",
    "8/5bk1/8/2Pp4/8/1K6/8/8 w - d6 0 1",
    "3k4/3p4/8/K1P4r/8/8/8/8 b - - 0 1",
    "8/8/8/8/k1p4R/8/3P4/3K4 w - - 0 1",
    "8/8/4k3/8/2p5/8/B2P2K1/8 w - - 0 1",
    "4k3/8/8/1pPpP3/8/8/8/4K3 w - d6 0 1",
    "8/2p5/8/KP1P3r/8/8/8/7k b - - 0 1",
    # Castling with attacked, blocked and open paths, and rights about to be lost.
    "r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq - 0 1",
    "r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "5k2/8/8/8/8/8/8/4K2R w K - 0 1",
    "3k4/8/8/8/8/8/8/R3K3 w Q - 0 1",
    "r3k2r/p6p/8/B7/1pp1p3/3b4/P6P/R3K2R w KQkq - 0 1",
    "1r2k2r/8/8/8/8/8/8/R3K2R b KQk - 0 1",
    # Checks, double checks and discovered checks.
    "8/8/2k5/5q2/5n2/8/5K2/8 b - - 0 1",
    "4k3/8/8/8/1b6/8/3N4/R3K2R w KQ - 0 1",
    "4k3/4r3/8/8/8/8/2n5/4K3 w - - 0 1",
    "K1k5/8/P7/8/8/8/8/8 w - - 0 1",
    "8/k1P5/8/1K6/8/8/8/8 w - - 0 1",
    "6kq/8/8/8/8/8/8/7K w - - 0 1",
    "4k3/8/8/3N4/8/8/8/R3K2R b KQ - 0 1",
    "8/8/8/2k5/3Pp3/8/8/4K3 b - d3 0 1",
]

STARTS = STANDARD + RICH

# The walks the Stockfish comparison makes by default; the differential games start from the
# positions they visit.
PERFT_SEED = 20240611
PERFT_POSITIONS = 2000


def random_walks(legal_moves, positions, seed, min_plies=2, max_plies=24):
    """Yields `positions` triples (start FEN, moves played, legal moves there) from seeded
    random walks.

    `legal_moves(fen, moves)` lists the UCI texts of the legal moves after playing `moves` from
    `fen`. The walks start from STARTS in turn; each runs between min_plies and max_plies
    random moves (or to a position without moves), and every position met along it, the
    start included, is yielded. The sequence depends only on `seed` and on the move sets, not
    on their order.
    """
    rng = random.Random(seed)
    produced = walk = 0
    while produced < positions:
        fen = STARTS[walk % len(STARTS)]
        walk += 1
        moves = []
        for _ in range(rng.randint(min_plies, max_plies)):
            legal = list(legal_moves(fen, moves))
            yield fen, list(moves), legal
            produced += 1
            if not legal or produced >= positions:
                break
            moves.append(rng.choice(sorted(legal)))
