// Making moves: a pure function from a position and a move to the next position, with pieces,
// hash, castling rights, en-passant pawn, side to move, checks and pins all brought up to date
// from the move alone.
#pragma once

#include <cstdint>

#include "board.hpp"
#include "chess_move.hpp"
#include "error.hpp"

namespace chess {

// Why a move cannot be played on a board. Each of these would otherwise leave the board
// inconsistent (a square in two masks, a piece appearing or vanishing).
enum class MoveFault : std::uint8_t {
    EmptyFromSquare,        // nothing stands on the from-square
    NotSideToMove,          // the piece on the from-square belongs to the side not to move
    OwnPieceOnTarget,       // a piece of the mover stands on the to-square (also from == to)
    CastlingRookMissing,    // a castling king move without the mover's rook on its corner
    CastlingRookBlocked,    // a castling king move whose rook would land on an occupied square
};

// Short lower-case reason, meant to be followed by the square it concerns: the from-square for
// the first two, the to-square for OwnPieceOnTarget, the rook's corner for CastlingRookMissing and
// the rook's landing square for CastlingRookBlocked (see castling_rook_squares).
const char* describe(MoveFault fault);

// A king move between two of c1, e1, g1, c8, e8, g8 castles: the mover's rook moves along the
// mover's back rank, h-file to f-file when the king lands on files e-h, a-file to d-file otherwise.
constexpr bool is_castling_king_move(Square from, Square to) {
    constexpr Bitboard CASTLING_SQUARES = 0x5400000000000054ULL;  // c, e and g on ranks 1 and 8
    return contains(CASTLING_SQUARES, from) && contains(CASTLING_SQUARES, to);
}

struct RookSquares {
    Square from;
    Square to;
};

// Corner and landing square of the rook that a castling king move of `mover` takes along.
constexpr RookSquares castling_rook_squares(Color mover, Square king_to) {
    const unsigned back = mover == Color::White ? 0 : 56;
    const bool king_side = king_to.file() >= 4;
    return RookSquares{Square(back + (king_side ? 7 : 0)), Square(back + (king_side ? 5 : 3))};
}

// Plays `move` for the side to move and returns the new position; the input is untouched.
// No legality test is made: a move may ignore how its piece moves, leave the mover's own king
// attacked, or capture the enemy king. Only moves that would corrupt the board are refused.
Result<Board, MoveFault> play_move(const Board& board, const ChessMove& move);

// play_move without the refusals, for moves known to be playable (those of MoveGen, say).
// Any move that play_move would refuse corrupts the board; debug builds assert against it.
Board play_move_unchecked(const Board& board, const ChessMove& move);

// play_move_unchecked for the fog-of-war rules, whose pseudo-legal generation reads neither
// checks nor pins: `checkers` and `pinned` of the result are left empty, which saves working
// them out on every move. Only generate_pseudo_legal may be asked about the result.
Board play_pseudo_legal_move(const Board& board, const ChessMove& move);

// The two above played on `board` itself, for callers that keep only the new position.
void apply_move_unchecked(Board& board, const ChessMove& move);
void apply_pseudo_legal_move(Board& board, const ChessMove& move);

}  // namespace chess
