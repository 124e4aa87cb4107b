#include "piece_type.hpp"

#include <cstdlib>

#include "chess/attack_tables.hpp"

namespace chess {

bool PawnType::legal_ep_move(const Board& b, Square source, Square dest) {
    // Calling this without an en-passant pawn is a caller bug, in release builds too.
    if (!b.ep_square) std::abort();
    const Color us = b.side_to_move;
    const Bitboard kings = b.pieces(us, Piece::King);
    assert(kings != 0);
    const unsigned ksq = lsb(kings);

    const Bitboard occ = (b.occupied & ~source.bb() & ~b.ep_square->bb()) | dest.bb();
    const Bitboard enemy = b.pieces(~us);
    const Bitboard queens = b.pieces(Piece::Queen);

    const Bitboard orthogonal = enemy & (b.pieces(Piece::Rook) | queens) & ORTHOGONAL_RAYS[ksq];
    if (orthogonal && (rook_attacks(ksq, occ) & orthogonal)) return false;
    const Bitboard diagonal = enemy & (b.pieces(Piece::Bishop) | queens) & DIAGONAL_RAYS[ksq];
    if (diagonal && (bishop_attacks(ksq, occ) & diagonal)) return false;
    return true;
}

}  // namespace chess
