// Policy slots: the one place where a move becomes the index of its policy entry and back. Both
// extension modules and the batch core read the mapping from here.
//
// A slot is seen from the side to move: its squares are that side's view of the board, ranks
// mirrored for Black (square ^ 56), so that a network reads either side's moves alike.
//
//   0 .. 4095            plain moves        from * 64 + to
//   4096 .. 4351         promotions         PROMOTION_BASE + from * 4 + k,  k: 0 queen, 1 rook,
//                                                                           2 bishop, 3 knight
//
// A promotion keeps only its from-square and piece: a straight and a capturing promotion to the
// same piece share one slot, and playing the slot takes the pawn's first destination.
#pragma once

#include <cstdint>
#include <optional>

#include "chess/chess_move.hpp"
#include "chess/color.hpp"
#include "chess/piece.hpp"

namespace quellor {

inline constexpr int PROMOTION_BASE = 4096;
inline constexpr int PROMOTION_KINDS = 4;
inline constexpr int ACTION_COUNT = PROMOTION_BASE + 64 * PROMOTION_KINDS;  // 4352

// What a square is XORed with to go from the board to `side`'s view of it, and back.
constexpr unsigned view_flip(chess::Color side) { return side == chess::Color::White ? 0u : 56u; }

// The slot of a plain move between two viewed squares.
constexpr int plain_slot(unsigned from, unsigned to) { return static_cast<int>(from * 64 + to); }

// The slot of a promotion from a viewed square to kind k (0 queen .. 3 knight).
constexpr int promotion_slot(unsigned from, unsigned k) {
    return PROMOTION_BASE + static_cast<int>(from * PROMOTION_KINDS + k);
}

// The piece of promotion kind k, and the kind of a piece; no kind for a pawn or a king.
constexpr chess::Piece promotion_piece(unsigned k) { return chess::piece_from_index(4 - k); }
constexpr std::optional<unsigned> promotion_kind(chess::Piece p) {
    if (p == chess::Piece::Pawn || p == chess::Piece::King) return std::nullopt;
    return static_cast<unsigned>(4 - chess::index(p));
}
static_assert(promotion_piece(0) == chess::Piece::Queen && promotion_piece(3) == chess::Piece::Knight);

// A slot read back, for slots in 0..ACTION_COUNT - 1: its viewed from-square, and either its
// viewed to-square (a plain slot) or its promotion kind.
constexpr bool is_promotion_slot(std::int64_t slot) { return slot >= PROMOTION_BASE; }
constexpr unsigned slot_from(std::int64_t slot) {
    return static_cast<unsigned>(is_promotion_slot(slot) ? (slot - PROMOTION_BASE) / PROMOTION_KINDS : slot / 64);
}
constexpr unsigned slot_to(std::int64_t slot) { return static_cast<unsigned>(slot % 64); }
constexpr unsigned slot_kind(std::int64_t slot) {
    return static_cast<unsigned>((slot - PROMOTION_BASE) % PROMOTION_KINDS);
}

// The slot of `move` for the side to move; empty for a promotion to a pawn or a king, which
// has no slot (move text cannot name one, so this only guards the mapping).
inline std::optional<int> action_index(chess::Color side_to_move, const chess::ChessMove& move) {
    const unsigned flip = view_flip(side_to_move);
    const unsigned from = move.from_square ^ flip;
    if (!move.promotion) return plain_slot(from, move.to_square ^ flip);
    const std::optional<unsigned> k = promotion_kind(*move.promotion);
    if (!k) return std::nullopt;
    return promotion_slot(from, *k);
}

}  // namespace quellor
