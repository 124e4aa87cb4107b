// Per-kind move rules that the generator needs beyond plain table lookups.
#pragma once

#include "chess/board.hpp"
#include "chess/square.hpp"

namespace chess {

struct PawnType {
    // True when the en-passant capture source -> dest leaves no enemy rook, bishop or queen
    // attacking the own king. Three squares change at once (source, dest and the taken pawn), which
    // is what makes the two-pawns-off-the-king's-rank case invisible to `pinned`.
    // Requires the board to have an ep_square and the side to move to have a king.
    static bool legal_ep_move(const Board& board, Square source, Square dest);
};

}  // namespace chess
