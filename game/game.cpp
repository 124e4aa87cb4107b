#include "game.hpp"

#include <algorithm>
#include <cstring>

#include "chess/attack_tables.hpp"

namespace quellor {

using chess::Bitboard;
using chess::Color;
using chess::Piece;

namespace {
constexpr Bitboard RANK_2 = 0x000000000000FF00ULL;
constexpr Bitboard RANK_7 = 0x00FF000000000000ULL;
}  // namespace

namespace {

// What the pawns and king of `us` see, with the squares its own pieces stand on.
Bitboard pawn_and_king_view(const chess::Board& b, Color us) {
    const Bitboard occ = b.occupied;
    Bitboard seen = b.pieces(us);

    // Pawns see both diagonals whatever stands there, the square ahead whatever stands there,
    // and from the start rank the square two ahead when the first is empty.
    const Bitboard pawns = b.pieces(us, Piece::Pawn);
    if (us == Color::White) {
        seen |= ((pawns & ~0x0101010101010101ULL) << 7) | ((pawns & ~0x8080808080808080ULL) << 9);
        seen |= pawns << 8;
        seen |= (((pawns & RANK_2) << 8) & ~occ) << 8;
    } else {
        seen |= ((pawns & ~0x0101010101010101ULL) >> 9) | ((pawns & ~0x8080808080808080ULL) >> 7);
        seen |= pawns >> 8;
        seen |= (((pawns & RANK_7) >> 8) & ~occ) >> 8;
    }
    for (Bitboard m = b.pieces(us, Piece::King); m;) seen |= chess::KING_TARGETS[chess::pop_lsb(m)];
    return seen;
}

}  // namespace

Bitboard visible_squares(const chess::Board& b) { return visible_squares(b, b.side_to_move); }

Bitboard visible_squares(const chess::Board& b, Color side) {
    const Bitboard own = b.pieces(side);
    const Bitboard occ = b.occupied;
    Bitboard seen = pawn_and_king_view(b, side);
    for (Bitboard m = own & b.pieces(Piece::Knight); m;) seen |= chess::KNIGHT_TARGETS[chess::pop_lsb(m)];
    for (Bitboard m = own & (b.pieces(Piece::Bishop) | b.pieces(Piece::Queen)); m;)
        seen |= chess::bishop_attacks(chess::pop_lsb(m), occ);
    for (Bitboard m = own & (b.pieces(Piece::Rook) | b.pieces(Piece::Queen)); m;)
        seen |= chess::rook_attacks(chess::pop_lsb(m), occ);
    return seen;
}

Bitboard visible_squares(const chess::Board& b, const chess::MoveGen::Summary& pseudo_legal) {
    // A side without a king has no moves at all, yet its pieces still see.
    if (!b.pieces(b.side_to_move, Piece::King)) return visible_squares(b);
    // The king's destinations hold its castlings, which it does not see; KING_TARGETS stands
    // in for the rest of them.
    return pawn_and_king_view(b, b.side_to_move) | pseudo_legal.non_king_targets;
}

void write_plane(const chess::Board& b, Plane& plane) noexcept {
    plane.fill(0.0f);
    const Color us = b.side_to_move;
    const unsigned flip = us == Color::White ? 0 : 56;
    const Bitboard seen = visible_squares(b);

    for (Bitboard hidden = ~seen; hidden;) {
        const unsigned sq = chess::pop_lsb(hidden);
        plane[(sq ^ flip) * PLANE_CHANNELS + HIDDEN_CHANNEL] = 1.0f;
    }
    for (std::size_t k = 0; k < chess::PIECE_KINDS; ++k) {
        for (std::size_t side = 0; side < 2; ++side) {
            const bool own = side == chess::index(us);
            const std::size_t channel = own ? k : 6 + k;
            for (Bitboard m = b.piece_masks[k] & b.color_masks[side] & seen; m;) {
                const unsigned sq = chess::pop_lsb(m);
                plane[(sq ^ flip) * PLANE_CHANNELS + channel] = 1.0f;
            }
        }
    }
}

double SelfPlayGame::terminal_value(bool player_is_white) const {
    if (!board.pieces(Color::White, Piece::King)) return player_is_white ? -1.0 : 1.0;
    if (!board.pieces(Color::Black, Piece::King)) return player_is_white ? 1.0 : -1.0;
    return 0.0;
}

void SelfPlayGame::encode(Observation& out) const noexcept {
    // Frame k of the eight: with n planes held, the first 8 - n frames repeat the oldest.
    const std::size_t n = history.size();
    const Plane* frames[HISTORY_LEN];
    for (std::size_t k = 0; k < HISTORY_LEN; ++k) frames[k] = &history[k + n < HISTORY_LEN ? 0 : k + n - HISTORY_LEN];

    float* row = out.data();
    for (std::size_t r = 0; r < OBS_ROWS; ++r, row += OBS_COLS) {
        for (std::size_t k = 0; k < HISTORY_LEN; ++k)
            std::memcpy(row + k * PLANE_CHANNELS, frames[k]->data() + r * PLANE_CHANNELS, PLANE_CHANNELS * sizeof(float));
        row[OBS_COLS - 2] = row[OBS_COLS - 1] = 0.0f;
    }
    const auto [king_side, queen_side] = castle_eligible();
    out[0 * OBS_COLS + OBS_COLS - 2] = out[0 * OBS_COLS + OBS_COLS - 1] = king_side ? 1.0f : 0.0f;
    out[1 * OBS_COLS + OBS_COLS - 2] = out[1 * OBS_COLS + OBS_COLS - 1] = queen_side ? 1.0f : 0.0f;
}

std::array<std::array<std::int8_t, 8>, 8> SelfPlayGame::board_view() const noexcept {
    std::array<std::array<std::int8_t, 8>, 8> view{};
    for (std::size_t k = 0; k < chess::PIECE_KINDS; ++k) {
        for (std::size_t side = 0; side < 2; ++side) {
            const auto code = static_cast<std::int8_t>(side == 0 ? k + 1 : -static_cast<int>(k + 1));
            for (Bitboard m = board.piece_masks[k] & board.color_masks[side]; m;) {
                const unsigned sq = chess::pop_lsb(m);
                view[7 - (sq >> 3)][sq & 7] = code;
            }
        }
    }
    return view;
}

}  // namespace quellor
